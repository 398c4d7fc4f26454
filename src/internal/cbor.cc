#include "internal/cbor.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "internal/utf8.h"

namespace quelvane::internal::cbor {
namespace {

// An initial byte is a major type in its top three bits and additional information in the
// low five: 0 to 23 is the argument itself, 24 to 27 say that it follows in 1, 2, 4 or 8
// bytes (big-endian), 28 to 30 are reserved, and 31 opens an indefinite-length item (or, for
// major type 7, is the break that closes one).
constexpr uint8_t kAdditionalInfoMask = 0x1F;
constexpr uint8_t kDirectValues = 24;
constexpr uint8_t kOneByteArgument = 24;
constexpr uint8_t kEightByteArgument = 27;
constexpr uint8_t kIndefinite = 31;
// Major type 7: a simple value in one following byte must be 32 or more (smaller ones have the
// one-byte form); 25 to 27 are half, single and double floats.
constexpr uint64_t kFirstOneByteSimpleValue = 32;
constexpr uint8_t kHalfFloat = 25;
constexpr uint8_t kSingleFloat = 26;

// How many bytes follow the initial byte to hold the argument.
size_t argument_bytes(uint8_t info) { return info < kOneByteArgument ? 0 : size_t{1} << (info - kOneByteArgument); }

uint64_t big_endian(std::span<const uint8_t> bytes) {
  uint64_t value = 0;
  for (const uint8_t b : bytes) value = value << 8 | b;
  return value;
}

// RFC 8949 Appendix D: a half float's exponent and mantissa, widened exactly.
double half_float(uint64_t bits) {
  constexpr int kMantissaBits = 10;
  constexpr uint64_t kImplicitBit = 1 << kMantissaBits;
  constexpr uint64_t kExponentMask = 0x1F;
  constexpr uint64_t kSignBit = 0x8000;
  // The value is the mantissa, read as an integer, times 2 to the power of the exponent less
  // the bias (15) and the mantissa's width; a subnormal has the exponent of exponent 1.
  constexpr int kShift = 15 + kMantissaBits;
  const uint64_t exponent = bits >> kMantissaBits & kExponentMask;
  const auto mantissa = static_cast<double>(bits & (kImplicitBit - 1));
  double value;
  if (exponent == 0) {
    value = std::ldexp(mantissa, 1 - kShift);
  } else if (exponent != kExponentMask) {
    value = std::ldexp(mantissa + kImplicitBit, static_cast<int>(exponent) - kShift);
  } else {
    value = mantissa == 0 ? INFINITY : NAN;
  }
  return bits & kSignBit ? -value : value;
}

// The float of a major type 7 head with additional information 25 to 27 and argument `bits`.
double float_of(uint8_t info, uint64_t bits) {
  if (info == kHalfFloat) return half_float(bits);
  if (info == kSingleFloat) return std::bit_cast<float>(static_cast<uint32_t>(bits));
  return std::bit_cast<double>(bits);
}

std::string at(std::string_view what, size_t offset) {
  return std::string(what) + " at offset " + std::to_string(offset);
}

}  // namespace

Result<Head, std::string> Reader::next() {
  if (at_end()) return fail(at("unexpected end of input", offset_));
  const size_t start = offset_;
  const uint8_t initial = input_[offset_];
  const auto major = static_cast<Major>(initial >> 5);
  const uint8_t info = initial & kAdditionalInfoMask;
  if (info == kIndefinite) {
    if (major == Major::Unsigned || major == Major::Negative || major == Major::Tag) {
      return fail(at("malformed item", start));
    }
    ++offset_;
    if (major == Major::Simple) return Head{.major = major, .is_break = true, .offset = start};
    return Head{.major = major, .indefinite = true, .offset = start};
  }
  if (info > kEightByteArgument) return fail(at("malformed item", start));
  const size_t following = argument_bytes(info);
  if (input_.size() - offset_ <= following) return fail(at("unexpected end of input", start));
  const uint64_t value = following ? big_endian(input_.subspan(offset_ + 1, following)) : info;
  size_t end = offset_ + 1 + following;
  std::span<const uint8_t> payload;
  if (major == Major::Bytes || major == Major::Text) {
    if (input_.size() - end < value) return fail(at("unexpected end of input", start));
    payload = input_.subspan(end, value);
    end += value;
  } else if (major == Major::Simple && info >= kDirectValues) {
    if (info == kOneByteArgument) {
      if (value < kFirstOneByteSimpleValue) return fail(at("malformed item", start));
    } else {
      offset_ = end;
      return Head{.major = major, .value = kFloat, .number = float_of(info, value), .offset = start};
    }
  }
  offset_ = end;
  // Built in one expression: a Head filled field by field and then copied out costs a
  // store-forwarding stall per head, a third of the time of reading a record.
  return Head{.major = major, .value = value, .payload = payload, .offset = start};
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
template <typename Out>
Result<Ok, std::string> walk_string(Reader& reader, const Head& head, Out* out) {
  auto take = [&](const Head& chunk) -> Result<Ok, std::string> {
    QV_ASSIGN_OR_RETURN(const std::span<const uint8_t> content, payload(chunk));
    if (!out) return Ok{};
    const std::string_view text(reinterpret_cast<const char*>(content.data()), content.size());
    if (chunk.major == Major::Text && !utf8::is_valid(text)) {
      return fail(at("invalid UTF-8 in text string", chunk.offset));
    }
    out->insert(out->end(), content.begin(), content.end());
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

Result<std::vector<uint8_t>, std::string> read_bytes(Reader& reader, const Head& head) {
  std::vector<uint8_t> out;
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
        QV_RETURN_IF_ERROR(walk_string<std::string>(reader, head, nullptr));
      }
      if (finish_item(open)) return Ok{};
    }
    if (head.major != Major::Tag) tagged = false;
    QV_ASSIGN_OR_RETURN(head, reader.next());
  }
}

void Writer::head(Major major, uint64_t value) {
  const auto initial = static_cast<uint8_t>(static_cast<uint8_t>(major) << 5);
  if (value < kDirectValues) {  // the argument fits in the initial byte, as most do
    out_.push_back(static_cast<uint8_t>(initial | value));
    return;
  }
  // The shortest of 1, 2, 4 or 8 following bytes that holds the argument.
  uint8_t info = kOneByteArgument;
  while (info < kEightByteArgument && value >> (8 * argument_bytes(info)) != 0) ++info;
  out_.push_back(static_cast<uint8_t>(initial | info));
  for (size_t shift = 8 * argument_bytes(info); shift > 0; shift -= 8) {
    out_.push_back(static_cast<uint8_t>(value >> (shift - 8)));
  }
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
