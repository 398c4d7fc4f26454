#include "internal/cbor.h"

#include <cbor.h>

#include <cstring>

#include "internal/utf8.h"

namespace quelvane::internal::cbor {
namespace {

// The streaming decoder reports one head through a callback; this records it.
struct Capture {
  Head head;
};

Capture& capture(void* context) { return *static_cast<Capture*>(context); }

void set(void* context, Major major, uint64_t value) {
  capture(context).head.major = major;
  capture(context).head.value = value;
}

template <typename T>
void on_unsigned(void* context, T value) { set(context, Major::Unsigned, value); }
template <typename T>
void on_negative(void* context, T value) { set(context, Major::Negative, value); }
template <Major M>
void on_string(void* context, cbor_data data, uint64_t length) {
  set(context, M, length);
  capture(context).head.payload = {data, static_cast<size_t>(length)};
}
template <Major M>
void on_indefinite(void* context) {
  set(context, M, 0);
  capture(context).head.indefinite = true;
}
template <Major M>
void on_collection(void* context, uint64_t count) { set(context, M, count); }
void on_tag(void* context, uint64_t tag) { set(context, Major::Tag, tag); }
void on_float(void* context, float value) {
  set(context, Major::Simple, kFloat);
  capture(context).head.number = value;
}
void on_double(void* context, double value) {
  set(context, Major::Simple, kFloat);
  capture(context).head.number = value;
}
void on_null(void* context) { set(context, Major::Simple, kNull); }
void on_undefined(void* context) { set(context, Major::Simple, kUndefined); }
void on_boolean(void* context, bool value) { set(context, Major::Simple, value ? kTrue : kFalse); }
void on_break(void* context) {
  set(context, Major::Simple, 0);
  capture(context).head.is_break = true;
}

cbor_callbacks make_callbacks() {
  cbor_callbacks callbacks = cbor_empty_callbacks;
  callbacks.uint8 = on_unsigned<uint8_t>;
  callbacks.uint16 = on_unsigned<uint16_t>;
  callbacks.uint32 = on_unsigned<uint32_t>;
  callbacks.uint64 = on_unsigned<uint64_t>;
  callbacks.negint8 = on_negative<uint8_t>;
  callbacks.negint16 = on_negative<uint16_t>;
  callbacks.negint32 = on_negative<uint32_t>;
  callbacks.negint64 = on_negative<uint64_t>;
  callbacks.byte_string = on_string<Major::Bytes>;
  callbacks.byte_string_start = on_indefinite<Major::Bytes>;
  callbacks.string = on_string<Major::Text>;
  callbacks.string_start = on_indefinite<Major::Text>;
  callbacks.array_start = on_collection<Major::Array>;
  callbacks.indef_array_start = on_indefinite<Major::Array>;
  callbacks.map_start = on_collection<Major::Map>;
  callbacks.indef_map_start = on_indefinite<Major::Map>;
  callbacks.tag = on_tag;
  callbacks.float2 = on_float;
  callbacks.float4 = on_float;
  callbacks.float8 = on_double;
  callbacks.null = on_null;
  callbacks.undefined = on_undefined;
  callbacks.boolean = on_boolean;
  callbacks.indef_break = on_break;
  return callbacks;
}

const cbor_callbacks kCallbacks = make_callbacks();

// libcbor's streaming decoder rejects some well-formed heads, which are read here instead.
// Tag numbers below 24 sit in the initial byte; libcbor 0.8 refuses 6 to 20 as unassigned,
// though 18 is COSE_Sign1.
constexpr uint8_t kFirstTag = 0xC0;    // initial byte of tag 0
constexpr uint8_t kDirectValues = 24;  // values 0 to 23 need no following bytes
// The unassigned simple values: 0xE0..0xF3 carry the value in the initial byte, 0xF8 in one
// following byte.
constexpr uint8_t kFirstDirectSimple = 0xE0;
constexpr uint8_t kLastUnassignedDirectSimple = 0xF3;
constexpr uint8_t kOneByteSimple = 0xF8;
constexpr uint8_t kFirstOneByteSimpleValue = 32;  // smaller values in 0xF8 form are not well formed
constexpr uint8_t kAdditionalInfoMask = 0x1F;
// Additional information 24 to 27: the argument follows in 1, 2, 4 or 8 bytes, big-endian.
constexpr uint8_t kOneByteArgument = 24;
constexpr uint8_t kEightByteArgument = 27;

// How many bytes follow the initial byte to hold the argument of a head of major type 0 to 5.
size_t argument_bytes(uint8_t info) { return info < kOneByteArgument ? 0 : size_t{1} << (info - kOneByteArgument); }

uint64_t big_endian(std::span<const uint8_t> bytes) {
  uint64_t value = 0;
  for (const uint8_t b : bytes) value = value << 8 | b;
  return value;
}

Head direct_head(Major major, uint64_t value, size_t offset) {
  Head head;
  head.major = major;
  head.value = value;
  head.offset = offset;
  return head;
}

std::string at(std::string_view what, size_t offset) {
  return std::string(what) + " at offset " + std::to_string(offset);
}

}  // namespace

Result<Head, std::string> Reader::next() {
  if (at_end()) return fail(at("unexpected end of input", offset_));
  const uint8_t initial = input_[offset_];
  // Definite heads of integers, strings, arrays and maps, the bulk of any record, are read
  // here; libcbor reads the rest.
  const auto major = static_cast<Major>(initial >> 5);
  const uint8_t info = initial & kAdditionalInfoMask;
  if (major <= Major::Map && info <= kEightByteArgument) {
    const size_t following = argument_bytes(info);
    if (input_.size() - offset_ <= following) return fail(at("unexpected end of input", offset_));
    const uint64_t value = following ? big_endian(input_.subspan(offset_ + 1, following)) : info;
    const size_t start = offset_;
    size_t end = offset_ + 1 + following;
    std::span<const uint8_t> payload;
    if (major == Major::Bytes || major == Major::Text) {
      if (input_.size() - end < value) return fail(at("unexpected end of input", offset_));
      payload = input_.subspan(end, value);
      end += value;
    }
    offset_ = end;
    // Built in one expression: a Head filled field by field and then copied out costs a
    // store-forwarding stall per head, a third of the time of reading a record.
    return Head{.major = major, .value = value, .payload = payload, .offset = start};
  }
  if (initial >= kFirstTag && initial < kFirstTag + kDirectValues) {
    return direct_head(Major::Tag, initial - kFirstTag, offset_++);
  }
  if (initial >= kFirstDirectSimple && initial <= kLastUnassignedDirectSimple) {
    return direct_head(Major::Simple, initial & kAdditionalInfoMask, offset_++);
  }
  if (initial == kOneByteSimple) {
    if (input_.size() - offset_ < 2) return fail(at("unexpected end of input", offset_));
    if (input_[offset_ + 1] < kFirstOneByteSimpleValue) return fail(at("malformed item", offset_));
    offset_ += 2;
    return direct_head(Major::Simple, input_[offset_ - 1], offset_ - 2);
  }
  Capture context;
  context.head.offset = offset_;
  const cbor_decoder_result result =
      cbor_stream_decode(input_.data() + offset_, input_.size() - offset_, &kCallbacks, &context);
  switch (result.status) {
    case CBOR_DECODER_FINISHED:
      offset_ += result.read;
      return context.head;
    case CBOR_DECODER_NEDATA:
      return fail(at("unexpected end of input", offset_));
    default:
      return fail(at("malformed item", offset_));
  }
}

Result<Head, std::string> Reader::next_or_cut() {
  auto head = next();
  if (head || at_end()) return head;
  const uint8_t initial = input_[offset_];
  const auto major = static_cast<Major>(initial >> 5);
  const uint8_t info = initial & kAdditionalInfoMask;
  if ((major != Major::Bytes && major != Major::Text) || info > kEightByteArgument) return head;
  const size_t following = argument_bytes(info);
  if (input_.size() - offset_ <= following) return head;  // the head itself is cut short
  const uint64_t length = following ? big_endian(input_.subspan(offset_ + 1, following)) : info;
  return Head{.major = major, .value = length, .payload = {}, .offset = offset_, .cut = true};
}

bool Reader::consume(std::string_view bytes) {
  if (input_.size() - offset_ < bytes.size() || std::memcmp(input_.data() + offset_, bytes.data(), bytes.size()) != 0) {
    return false;
  }
  offset_ += bytes.size();
  return true;
}

namespace {

bool is_string(Major major) { return major == Major::Bytes || major == Major::Text; }

// Walks the chunks of the string `head` starts; if `out` is given, checks that each chunk of a
// text string is UTF-8 and appends it there.
Result<Ok, std::string> walk_string(Reader& reader, const Head& head, std::string* out) {
  auto take = [&](const Head& chunk) -> Result<Ok, std::string> {
    QV_ASSIGN_OR_RETURN(const std::span<const uint8_t> content, payload(chunk));
    if (!out) return Ok{};
    const std::string_view text(reinterpret_cast<const char*>(content.data()), content.size());
    if (chunk.major == Major::Text && !utf8::is_valid(text)) {
      return fail(at("invalid UTF-8 in text string", chunk.offset));
    }
    out->append(text);
    return Ok{};
  };
  if (!head.indefinite) return take(head);
  for (;;) {
    QV_ASSIGN_OR_RETURN(const Head chunk, reader.next());
    if (chunk.is_break) return Ok{};
    if (chunk.major != head.major || chunk.indefinite) {
      return fail(at("invalid chunk in indefinite-length string", chunk.offset));
    }
    QV_RETURN_IF_ERROR(take(chunk));
  }
}

// An array or map being skipped: how many items it holds and how many have been read.
struct Open {
  uint64_t items;  // for a map, keys and values both count
  uint64_t read = 0;
  bool indefinite;
  bool map;
};

uint64_t item_count(const Head& head) {
  if (head.major == Major::Array) return head.value;
  // A count this large is never met by real input, which ends first; saturating keeps it sound.
  return head.value > UINT64_MAX / 2 ? UINT64_MAX : head.value * 2;
}

// Counts one finished item in the innermost open container and closes every container that
// thereby ends. True when the outermost item is complete.
bool finish_item(std::vector<Open>& open) {
  while (!open.empty()) {
    Open& innermost = open.back();
    ++innermost.read;
    if (innermost.indefinite || innermost.read < innermost.items) return false;
    open.pop_back();
  }
  return true;
}

}  // namespace

Result<std::span<const uint8_t>, std::string> payload(const Head& head) {
  if (head.cut) return fail(at("unexpected end of input", head.offset));
  return head.payload;
}

Result<std::string, std::string> read_string(Reader& reader, const Head& head) {
  std::string out;
  QV_RETURN_IF_ERROR(walk_string(reader, head, &out));
  return out;
}

Result<Ok, std::string> skip(Reader& reader, const Head& first, size_t levels) {
  std::vector<Open> open;
  Head head = first;
  bool tagged = false;  // the previous head was a tag, so `head` is the item it tags
  for (;;) {
    if (head.is_break) {
      if (tagged || open.empty() || !open.back().indefinite || (open.back().map && open.back().read % 2)) {
        return fail(at("unexpected break", head.offset));
      }
      open.pop_back();
      if (finish_item(open)) return Ok{};
    } else if (head.major == Major::Tag) {
      tagged = true;
    } else if (head.major == Major::Array || head.major == Major::Map) {
      if (open.size() >= levels) return fail(at("recursion limit exceeded", head.offset));
      if (head.indefinite || head.value) {
        open.push_back({item_count(head), 0, head.indefinite, head.major == Major::Map});
      } else if (finish_item(open)) {
        return Ok{};
      }
    } else {
      if (is_string(head.major)) {
        QV_RETURN_IF_ERROR(walk_string(reader, head, nullptr));
      }
      if (finish_item(open)) return Ok{};
    }
    if (head.major != Major::Tag) tagged = false;
    QV_ASSIGN_OR_RETURN(head, reader.next());
  }
}

void Writer::head(Major major, uint64_t value) {
  if (value < kDirectValues) {  // the argument fits in the initial byte, as most do
    out_.push_back(static_cast<uint8_t>(static_cast<uint8_t>(major) << 5 | value));
    return;
  }
  unsigned char buffer[9];
  size_t written = 0;
  switch (major) {
    case Major::Unsigned: written = cbor_encode_uint(value, buffer, sizeof buffer); break;
    case Major::Negative: written = cbor_encode_negint(value, buffer, sizeof buffer); break;
    case Major::Bytes: written = cbor_encode_bytestring_start(value, buffer, sizeof buffer); break;
    case Major::Text: written = cbor_encode_string_start(value, buffer, sizeof buffer); break;
    case Major::Array: written = cbor_encode_array_start(value, buffer, sizeof buffer); break;
    case Major::Map: written = cbor_encode_map_start(value, buffer, sizeof buffer); break;
    case Major::Tag: written = cbor_encode_tag(value, buffer, sizeof buffer); break;
    case Major::Simple: written = cbor_encode_ctrl(static_cast<uint8_t>(value), buffer, sizeof buffer); break;
  }
  if (written == 0) ok_ = false;
  out_.insert(out_.end(), buffer, buffer + written);
}

void Writer::integer(int64_t value) {
  if (value >= 0) {
    head(Major::Unsigned, static_cast<uint64_t>(value));
  } else {
    head(Major::Negative, static_cast<uint64_t>(-(value + 1)));
  }
}

void Writer::text(std::string_view text) {
  head(Major::Text, text.size());
  out_.insert(out_.end(), text.begin(), text.end());
}

void Writer::bytes(std::span<const uint8_t> bytes) {
  head(Major::Bytes, bytes.size());
  out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void Writer::null() { head(Major::Simple, kNull); }

}  // namespace quelvane::internal::cbor
