#include "internal/cbor.h"

#include <cbor.h>

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
void on_float(void* context, float) { set(context, Major::Simple, kFloat); }
void on_double(void* context, double) { set(context, Major::Simple, kFloat); }
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

constexpr uint8_t kFirstTag = 0xC0;      // initial byte of tag 0
constexpr uint8_t kDirectValues = 24;    // values 0 to 23 need no following bytes

}  // namespace

Result<Head, std::string> Reader::next() {
  if (at_end()) return fail("unexpected end of input at offset " + std::to_string(offset_));
  // A tag number below 24 sits in the initial byte. libcbor 0.8's streaming decoder refuses
  // 6 to 20 as unassigned, though they are well-formed (18 is COSE_Sign1), so read them here.
  const uint8_t initial = input_[offset_];
  if (initial >= kFirstTag && initial < kFirstTag + kDirectValues) {
    ++offset_;
    Head tag;
    tag.major = Major::Tag;
    tag.value = initial - kFirstTag;
    return tag;
  }
  Capture context;
  const cbor_decoder_result result =
      cbor_stream_decode(input_.data() + offset_, input_.size() - offset_, &kCallbacks, &context);
  switch (result.status) {
    case CBOR_DECODER_FINISHED:
      offset_ += result.read;
      return context.head;
    case CBOR_DECODER_NEDATA:
      return fail("unexpected end of input at offset " + std::to_string(offset_));
    default:
      return fail("malformed item at offset " + std::to_string(offset_));
  }
}

void Writer::head(Major major, uint64_t value) {
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
