#include "soft_binding.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <system_error>
#include <utility>
#include <cmath>
#include <functional>
#include <limits>

#include "internal/cbor.h"
#include "internal/hex.h"
#include "internal/quote.h"
#include "internal/utf8.h"

namespace quelvane::soft_binding {
namespace {

using internal::cbor::Head;
using internal::cbor::Major;
using internal::cbor::Reader;
using internal::cbor::Writer;

constexpr std::string_view kAlgKey = "alg";
constexpr std::string_view kBlocksKey = "blocks";
constexpr std::string_view kNameKey = "name";
constexpr std::string_view kPadKey = "pad";
constexpr std::string_view kScopeKey = "scope";
constexpr std::string_view kValueKey = "value";
constexpr std::string_view kRegionKey = "region";  // both Scope.region and RegionOfInterest.region
constexpr std::string_view kTypeKey = "type";
constexpr std::string_view kTextKey = "text";
constexpr std::string_view kSelectorsKey = "selectors";
constexpr std::string_view kSelectorKey = "selector";
constexpr std::string_view kFragmentKey = "fragment";
constexpr std::string_view kStartKey = "start";
constexpr std::string_view kEndKey = "end";
constexpr std::string_view kTextual = "textual";

// ---- Writing ----

void write_offset(Writer& out, std::optional<int32_t> offset) {
  if (offset) {
    out.integer(*offset);
  } else {
    out.null();
  }
}

void write_selector(Writer& out, const TextSelector& selector) {
  out.head(Major::Map, 3);  // absent offsets are written as null, so always three entries
  out.text(kFragmentKey);
  out.text(selector.fragment);
  out.text(kStartKey);
  write_offset(out, selector.start);
  out.text(kEndKey);
  write_offset(out, selector.end);
}

void write_text(Writer& out, const Text& text) {
  out.head(Major::Map, 1);
  out.text(kSelectorsKey);
  out.head(Major::Array, text.selectors.size());
  for (const TextSelectorRange& range : text.selectors) {
    out.head(Major::Map, 1);
    out.text(kSelectorKey);
    write_selector(out, range.selector);
  }
}

void write_range(Writer& out, const Range& range) {
  out.head(Major::Map, range.text ? 2 : 1);
  out.text(kTypeKey);
  out.text(kTextual);
  if (range.text) {
    out.text(kTextKey);
    write_text(out, *range.text);
  }
}

void write_scope(Writer& out, const Scope& scope) {
  out.head(Major::Map, scope.region ? 1 : 0);
  if (!scope.region) return;
  out.text(kRegionKey);
  out.head(Major::Map, 1);
  out.text(kRegionKey);
  out.head(Major::Array, scope.region->region.size());
  for (const Range& range : scope.region->region) write_range(out, range);
}

void write_block(Writer& out, const Block& block) {
  out.head(Major::Map, 2);
  out.text(kScopeKey);
  write_scope(out, block.scope);
  out.text(kValueKey);
  out.text(block.value);
}

// Room a record takes besides its texts: the top-level heads and keys, and per block those of a
// window block (one range, one selector, offsets of up to five bytes, value head of up to nine).
// Only a hint for the writer's buffer: a larger record still fits.
constexpr size_t kRecordBytes = 48;
constexpr size_t kBlockBytes = 111;

// ---- Building ----

constexpr size_t kValueBytes = sizeof(uint64_t);  // per MinHash value, most significant first

// Character offsets are i32 in the record; larger ones are written as its maximum.
int32_t saturate(size_t offset) {
  constexpr size_t kMaxOffset = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::min(offset, kMaxOffset));
}

// A block carrying `value` for the characters `start` to `end` of the text, as the builder
// writes window blocks.
Block range_block(std::optional<int32_t> start, std::optional<int32_t> end, std::string value) {
  // Filled in place: a braced list would copy the range, and the vector inside it.
  Block block{Scope{RegionOfInterest{}}, std::move(value)};
  Range& range = block.scope.region->region.emplace_back();
  range.text.emplace().selectors.push_back(TextSelectorRange{TextSelector{"", start, end}});
  return block;
}

// A block selecting the window's characters, start to start + len.
Block window_block(const simhash::WindowFp& window) {
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  const size_t end = window.len > kMax - window.start ? kMax : window.start + window.len;
  return range_block(saturate(window.start), saturate(end), window.hash.hex());
}

// What write_block puts around the offsets and the value of a range block with offsets, after
// its map head (split where a letter would extend a hex escape).
constexpr std::string_view kRangeBlockHead =
    "\x65" "scope" "\xA1\x66" "region" "\xA1\x66" "region" "\x81\xA2\x64" "type" "\x67" "textual" "\x64" "text"
    "\xA1\x69" "selectors" "\x81\xA1\x68" "selector" "\xA3\x68" "fragment" "\x60\x65" "start";
constexpr std::string_view kRangeBlockMiddle = "\x63" "end";
constexpr std::string_view kRangeBlockTail = "\x65" "value";

// ---- Reading ----

// Decoding failures are descriptions until from_cbor wraps them in an Error.
template <typename T>
using Decoded = Result<T, std::string>;
using Status = Result<Ok, std::string>;

// As deep as arrays and maps may nest, counting the outermost map as level 1.
constexpr size_t kMaxDepth = 256;
// Longest key compared against the field names; longer keys are refused, not copied.
constexpr uint64_t kMaxKeyBytes = 4096;
constexpr uint64_t kPositiveBignumTag = 2;
constexpr uint64_t kNegativeBignumTag = 3;
constexpr size_t kMaxFloatChars = 400;  // the longest double in shortest fixed notation, and some

constexpr std::string_view kTooLarge = "integer too large";

// A CBOR integer, `n` for a non-negative one and -1 - `n` otherwise (as the head carries it).
struct Integer {
  bool negative;
  uint64_t n;
};

std::string describe(Integer value) {
  constexpr std::string_view kMinus2To64 = "-18446744073709551616";  // -1 - n overflows only here
  if (!value.negative) return "integer `" + std::to_string(value.n) + "`";
  if (value.n == std::numeric_limits<uint64_t>::max()) return "integer `" + std::string(kMinus2To64) + "`";
  return "integer `-" + std::to_string(value.n + 1) + "`";
}

// A float as the serde family shows it: shortest round-trip digits, never an exponent,
// always a decimal point ("1.0", "0.5", "NaN", "-inf").
std::string describe_float(double value) {
  if (std::isnan(value)) return "floating point `NaN`";
  if (std::isinf(value)) return value > 0 ? "floating point `inf`" : "floating point `-inf`";
  char buffer[kMaxFloatChars];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  std::string digits(buffer, ec == std::errc() ? end : buffer);
  if (digits.find('.') == std::string::npos) digits += ".0";
  return "floating point `" + digits + "`";
}

bool is_absent(const Head& head) {
  return head.major == Major::Simple && !head.is_break &&
         (head.value == internal::cbor::kNull || head.value == internal::cbor::kUndefined);
}

std::string duplicate_field(std::string_view key) { return "duplicate field `" + std::string(key) + "`"; }
std::string missing_field(std::string_view key) { return "missing field `" + std::string(key) + "`"; }

template <typename T>
Status assign(T& target, Decoded<T> value) {
  if (!value) return fail(std::move(value).error());
  target = std::move(value).value();
  return Ok{};
}

enum class Presence { Required, Optional };

// A key a record knows: whether it must occur, and how its value is read from its first head.
struct Field {
  std::string_view key;
  Presence presence;
  std::function<Status(const Head&)> read;
};
constexpr size_t kMaxFields = 4;  // SoftBinding has the most

// Reads one soft-binding record from untrusted bytes. Each record type has one method taking the
// first head of its item; the known structure nests 11 levels, so plain recursion is bounded,
// and values under unknown keys are skipped iteratively.
class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> bytes) : reader_(bytes) {}

  Decoded<SoftBinding> read() {
    QV_ASSIGN_OR_RETURN(const Head head, next());
    return soft_binding(head);
  }

 private:
  Decoded<SoftBinding> soft_binding(const Head& head);
  Decoded<Block> block(const Head& head);
  // A range block exactly as this module writes it, read without the general machinery (a
  // window record holds thousands); absent, having read nothing, for any other bytes.
  std::optional<Block> own_range_block(const Head& head);
  Decoded<Scope> scope(const Head& head);
  Decoded<RegionOfInterest> region_of_interest(const Head& head);
  Decoded<Range> range(const Head& head);
  Decoded<Text> text(const Head& head);
  Decoded<TextSelectorRange> selector_range(const Head& head);
  Decoded<TextSelector> selector(const Head& head);

  Decoded<std::string> string(const Head& head);
  Decoded<std::vector<uint8_t>> bytes(const Head& head);
  Decoded<uint8_t> byte(const Head& head);
  Decoded<std::optional<int32_t>> offset(const Head& head);
  Decoded<RangeType> range_type(const Head& head);
  Decoded<std::optional<Integer>> integer(Head head, bool absent_allowed);
  Decoded<Integer> bignum(const Head& head, bool negative);

  // Reads a map into the known `fields` (in declaration order, at most kMaxFields), skipping
  // the values of other keys; then fails for the first required field that did not occur.
  Status record(const Head& first, std::initializer_list<Field> fields);
  // Null or undefined (tags ignored) read as absent, anything else with `read`.
  template <typename T>
  Decoded<std::optional<T>> optional(const Head& first, Decoded<T> (Decoder::*read)(const Head&));
  // Reads an array, each element with `element`.
  template <typename T>
  Decoded<std::vector<T>> array(const Head& first, Decoded<T> (Decoder::*element)(const Head&));

  // The next head; a string cut short still gives its head (Reader::next_or_cut), so that an
  // item of the wrong type is reported as such.
  Decoded<Head> next() { return reader_.next_or_cut(); }
  Decoded<Head> untag(Head head);
  Decoded<std::string_view> key(const Head& first);
  Status enter(const Head& head);
  // The serde-style failure for an item of the wrong type, e.g. "invalid type: sequence, expected map".
  std::string invalid_type(const Head& head, std::string_view expected);

  Reader reader_;
  size_t depth_ = 0;  // arrays and maps currently open
};

Decoded<Head> Decoder::untag(Head head) {
  while (head.major == Major::Tag) {
    QV_ASSIGN_OR_RETURN(head, next());
  }
  return head;
}

Status Decoder::enter(const Head& head) {
  if (depth_ == kMaxDepth) return fail("recursion limit exceeded at offset " + std::to_string(head.offset));
  ++depth_;
  return Ok{};
}

std::string Decoder::invalid_type(const Head& head, std::string_view expected) {
  std::string unexpected;
  switch (head.major) {
    case Major::Unsigned: unexpected = describe(Integer{false, head.value}); break;
    case Major::Negative: unexpected = describe(Integer{true, head.value}); break;
    case Major::Bytes: unexpected = "byte array"; break;
    case Major::Text: {
      // The head decides the mismatch; the content is shown when it can be read.
      const auto content = internal::cbor::read_string(reader_, head);
      unexpected = content ? "string " + internal::debug_quoted(*content) : "string";
      break;
    }
    case Major::Array: unexpected = "sequence"; break;
    case Major::Map: unexpected = "map"; break;
    case Major::Tag: unexpected = "tag"; break;
    case Major::Simple:
      if (head.is_break) return "unexpected break at offset " + std::to_string(head.offset);
      switch (head.value) {
        case internal::cbor::kFalse: unexpected = "boolean `false`"; break;
        case internal::cbor::kTrue: unexpected = "boolean `true`"; break;
        case internal::cbor::kNull: unexpected = "null"; break;
        case internal::cbor::kUndefined: unexpected = "undefined"; break;
        case internal::cbor::kFloat: unexpected = describe_float(head.number); break;
        default: unexpected = "simple value `" + std::to_string(head.value) + "`";
      }
      break;
  }
  return "invalid type: " + unexpected + ", expected " + std::string(expected);
}

Decoded<std::string_view> Decoder::key(const Head& first) {
  QV_ASSIGN_OR_RETURN(const Head head, untag(first));
  if (head.major != Major::Text && head.major != Major::Bytes) return fail(invalid_type(head, "str or bytes"));
  if (head.indefinite) {
    return fail(std::string("invalid type: indefinite-length string, expected str or bytes of definite length"));
  }
  if (head.value > kMaxKeyBytes) {
    return fail("invalid length " + std::to_string(head.value) + ", expected str or bytes of at most " +
                std::to_string(kMaxKeyBytes) + " bytes");
  }
  // Matched bytewise: a text key that is not UTF-8 matches no field and is skipped.
  QV_ASSIGN_OR_RETURN(const std::span<const uint8_t> name, internal::cbor::payload(head));
  return std::string_view(reinterpret_cast<const char*>(name.data()), name.size());
}

Status Decoder::record(const Head& first, std::initializer_list<Field> fields) {
  QV_ASSIGN_OR_RETURN(const Head head, untag(first));
  if (head.major != Major::Map) return fail(invalid_type(head, "map"));
  QV_RETURN_IF_ERROR(enter(head));
  std::array<bool, kMaxFields> seen{};
  for (uint64_t i = 0; head.indefinite || i < head.value; ++i) {
    QV_ASSIGN_OR_RETURN(const Head key_head, next());
    if (head.indefinite && key_head.is_break) break;
    QV_ASSIGN_OR_RETURN(const std::string_view name, key(key_head));
    const auto field = std::find_if(fields.begin(), fields.end(), [&](const Field& f) { return f.key == name; });
    const bool known = field != fields.end();
    if (known && std::exchange(seen[field - fields.begin()], true)) return fail(duplicate_field(name));
    QV_ASSIGN_OR_RETURN(const Head value, next());
    if (known) {
      QV_RETURN_IF_ERROR(field->read(value));
    } else {
      QV_RETURN_IF_ERROR(internal::cbor::skip(reader_, value, kMaxDepth - depth_));
    }
  }
  --depth_;
  for (const Field& field : fields) {
    if (field.presence == Presence::Required && !seen[&field - fields.begin()]) return fail(missing_field(field.key));
  }
  return Ok{};
}

template <typename T>
Decoded<std::vector<T>> Decoder::array(const Head& first, Decoded<T> (Decoder::*element)(const Head&)) {
  QV_ASSIGN_OR_RETURN(const Head head, untag(first));
  if (head.major != Major::Array) return fail(invalid_type(head, "array"));
  QV_RETURN_IF_ERROR(enter(head));
  std::vector<T> out;  // grows with the elements really present, never with the declared count
  for (uint64_t i = 0; head.indefinite || i < head.value; ++i) {
    QV_ASSIGN_OR_RETURN(const Head item, next());
    if (head.indefinite && item.is_break) break;
    QV_ASSIGN_OR_RETURN(T value, (this->*element)(item));
    out.push_back(std::move(value));
  }
  --depth_;
  return out;
}

template <typename T>
Decoded<std::optional<T>> Decoder::optional(const Head& first, Decoded<T> (Decoder::*read)(const Head&)) {
  QV_ASSIGN_OR_RETURN(const Head head, untag(first));
  if (is_absent(head)) return std::optional<T>();
  QV_ASSIGN_OR_RETURN(T value, (this->*read)(head));
  return std::optional<T>(std::move(value));
}

Decoded<std::string> Decoder::string(const Head& first) {
  QV_ASSIGN_OR_RETURN(const Head head, untag(first));
  if (head.major != Major::Text) return fail(invalid_type(head, "string"));
  return internal::cbor::read_string(reader_, head);
}

// A byte string, or in its place an array of integers 0 to 255.
Decoded<std::vector<uint8_t>> Decoder::bytes(const Head& first) {
  QV_ASSIGN_OR_RETURN(const Head head, untag(first));
  if (head.major == Major::Array) return array(head, &Decoder::byte);
  if (head.major != Major::Bytes) return fail(invalid_type(head, "bytes"));
  QV_ASSIGN_OR_RETURN(const std::string content, internal::cbor::read_string(reader_, head));
  return std::vector<uint8_t>(content.begin(), content.end());
}

Decoded<uint8_t> Decoder::byte(const Head& head) {
  QV_ASSIGN_OR_RETURN(const std::optional<Integer> value, integer(head, false));
  if (value->negative || value->n > std::numeric_limits<uint8_t>::max()) {
    return fail("invalid value: " + describe(*value) + ", expected u8");
  }
  return static_cast<uint8_t>(value->n);
}

Decoded<std::optional<int32_t>> Decoder::offset(const Head& head) {
  QV_ASSIGN_OR_RETURN(const std::optional<Integer> value, integer(head, true));
  if (!value) return std::optional<int32_t>();
  // Offsets are read through the 64-bit signed range, as serde-based readers of this record
  // do: what lies beyond it is "too large" before it is out of the i32 range.
  constexpr uint64_t kMaxI64Magnitude = std::numeric_limits<int64_t>::max();  // -1 - n reaches INT64_MIN
  if (value->n > kMaxI64Magnitude) return fail(std::string(kTooLarge));
  constexpr uint64_t kMaxMagnitude = std::numeric_limits<int32_t>::max();  // -1 - n reaches INT32_MIN
  if (value->n > kMaxMagnitude) return fail("invalid value: " + describe(*value) + ", expected i32");
  const int64_t n = static_cast<int64_t>(value->n);
  return std::optional<int32_t>(static_cast<int32_t>(value->negative ? -1 - n : n));
}

// An integer (null or undefined too when `absent_allowed`). Tags in front are ignored, except
// that the innermost one being 2 or 3 makes a byte string a bignum.
Decoded<std::optional<Integer>> Decoder::integer(Head head, bool absent_allowed) {
  std::optional<uint64_t> tag;  // the innermost
  while (head.major == Major::Tag) {
    tag = head.value;
    QV_ASSIGN_OR_RETURN(head, next());
  }
  if (absent_allowed && is_absent(head)) return std::optional<Integer>();
  switch (head.major) {
    case Major::Unsigned: return std::optional<Integer>(Integer{false, head.value});
    case Major::Negative:
      if (head.value == std::numeric_limits<uint64_t>::max()) return fail(std::string(kTooLarge));
      return std::optional<Integer>(Integer{true, head.value});
    case Major::Bytes:
      if (tag == kPositiveBignumTag || tag == kNegativeBignumTag) {
        QV_ASSIGN_OR_RETURN(const Integer value, bignum(head, tag == kNegativeBignumTag));
        return std::optional<Integer>(value);
      }
      break;
    default: break;
  }
  return fail(invalid_type(head, "integer"));
}

// The big-endian magnitude in a bignum's byte string; more than 64 bits is too large.
Decoded<Integer> Decoder::bignum(const Head& head, bool negative) {
  QV_ASSIGN_OR_RETURN(const std::string content, internal::cbor::read_string(reader_, head));
  const size_t first = content.find_first_not_of('\0');
  const std::string_view digits = first == std::string::npos ? "" : std::string_view(content).substr(first);
  if (digits.size() > sizeof(uint64_t)) return fail(std::string(kTooLarge));
  uint64_t n = 0;
  for (const char digit : digits) n = n << 8 | static_cast<uint8_t>(digit);
  if (negative && n == std::numeric_limits<uint64_t>::max()) return fail(std::string(kTooLarge));
  return Integer{negative, n};
}

Decoded<RangeType> Decoder::range_type(const Head& head) {
  QV_ASSIGN_OR_RETURN(const std::string name, string(head));
  if (name != kTextual) return fail("unknown variant `" + name + "`, expected `" + std::string(kTextual) + "`");
  return RangeType::Textual;
}

Decoded<TextSelector> Decoder::selector(const Head& head) {
  TextSelector out;
  QV_RETURN_IF_ERROR(record(head, {
      {kFragmentKey, Presence::Required, [&](const Head& value) { return assign(out.fragment, string(value)); }},
      {kStartKey, Presence::Optional, [&](const Head& value) { return assign(out.start, offset(value)); }},
      {kEndKey, Presence::Optional, [&](const Head& value) { return assign(out.end, offset(value)); }},
  }));
  return out;
}

Decoded<TextSelectorRange> Decoder::selector_range(const Head& head) {
  TextSelectorRange out;
  QV_RETURN_IF_ERROR(record(head, {
      {kSelectorKey, Presence::Required, [&](const Head& value) { return assign(out.selector, selector(value)); }},
  }));
  return out;
}

Decoded<Text> Decoder::text(const Head& head) {
  Text out;
  QV_RETURN_IF_ERROR(record(head, {
      {kSelectorsKey, Presence::Required,
       [&](const Head& value) { return assign(out.selectors, array(value, &Decoder::selector_range)); }},
  }));
  return out;
}

Decoded<Range> Decoder::range(const Head& head) {
  Range out;
  QV_RETURN_IF_ERROR(record(head, {
      {kTypeKey, Presence::Required, [&](const Head& value) { return assign(out.type, range_type(value)); }},
      {kTextKey, Presence::Optional,
       [&](const Head& value) { return assign(out.text, optional(value, &Decoder::text)); }},
  }));
  return out;
}

Decoded<RegionOfInterest> Decoder::region_of_interest(const Head& head) {
  RegionOfInterest out;
  QV_RETURN_IF_ERROR(record(head, {
      {kRegionKey, Presence::Required,
       [&](const Head& value) { return assign(out.region, array(value, &Decoder::range)); }},
  }));
  return out;
}

Decoded<Scope> Decoder::scope(const Head& head) {
  Scope out;
  QV_RETURN_IF_ERROR(record(head, {
      {kRegionKey, Presence::Optional,
       [&](const Head& value) { return assign(out.region, optional(value, &Decoder::region_of_interest)); }},
  }));
  return out;
}

// An offset the writer put there: a non-negative integer in the i32 range, no tags.
std::optional<int32_t> plain_offset(Reader& reader) {
  const auto head = reader.next();
  if (!head || head->major != Major::Unsigned || head->value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(head->value);
}

std::optional<Block> Decoder::own_range_block(const Head& head) {
  if (head.major != Major::Map || head.indefinite || head.value != 2) return std::nullopt;
  Reader probe = reader_;
  if (!probe.consume(kRangeBlockHead)) return std::nullopt;
  const auto start = plain_offset(probe);
  if (!start || !probe.consume(kRangeBlockMiddle)) return std::nullopt;
  const auto end = plain_offset(probe);
  if (!end || !probe.consume(kRangeBlockTail)) return std::nullopt;
  const auto value = probe.next();
  if (!value || value->major != Major::Text || value->indefinite) return std::nullopt;
  const std::string_view text(reinterpret_cast<const char*>(value->payload.data()), value->payload.size());
  if (!internal::utf8::is_valid(text)) return std::nullopt;
  reader_ = probe;
  return range_block(start, end, std::string(text));
}

Decoded<Block> Decoder::block(const Head& head) {
  if (auto own = own_range_block(head)) return std::move(*own);
  Block out;
  QV_RETURN_IF_ERROR(record(head, {
      {kScopeKey, Presence::Required, [&](const Head& value) { return assign(out.scope, scope(value)); }},
      {kValueKey, Presence::Required, [&](const Head& value) { return assign(out.value, string(value)); }},
  }));
  return out;
}

Decoded<SoftBinding> Decoder::soft_binding(const Head& head) {
  SoftBinding out;
  QV_RETURN_IF_ERROR(record(head, {
      {kAlgKey, Presence::Required, [&](const Head& value) { return assign(out.alg, string(value)); }},
      {kBlocksKey, Presence::Required,
       [&](const Head& value) { return assign(out.blocks, array(value, &Decoder::block)); }},
      {kNameKey, Presence::Optional,
       [&](const Head& value) { return assign(out.name, optional(value, &Decoder::string)); }},
      {kPadKey, Presence::Required, [&](const Head& value) { return assign(out.pad, bytes(value)); }},
  }));
  return out;
}

}  // namespace

SoftBinding SoftBinding::whole(std::string_view alg, std::string value) {
  SoftBinding out;
  out.alg = alg;
  out.blocks.push_back(Block{Scope{}, std::move(value)});
  return out;
}

namespace {

// The CBOR form of `record` with `more` blocks after its own, which write_more(out) writes and
// which take about `more_room` bytes.
template <typename WriteMore>
std::vector<uint8_t> record_cbor(const SoftBinding& record, size_t more, size_t more_room, WriteMore&& write_more) {
  Writer out;
  size_t room = kRecordBytes + record.alg.size() + (record.name ? record.name->size() : 0) + record.pad.size() + more_room;
  for (const Block& block : record.blocks) room += kBlockBytes + block.value.size();
  out.reserve(room);
  out.head(Major::Map, record.name ? 4 : 3);
  out.text(kAlgKey);
  out.text(record.alg);
  out.text(kBlocksKey);
  out.head(Major::Array, record.blocks.size() + more);
  for (const Block& block : record.blocks) write_block(out, block);
  write_more(out);
  if (record.name) {
    out.text(kNameKey);
    out.text(*record.name);
  }
  out.text(kPadKey);
  out.bytes(record.pad);
  return out.take();
}

}  // namespace

Result<std::vector<uint8_t>> SoftBinding::to_cbor() const {
  return record_cbor(*this, 0, 0, [](Writer&) {});
}

Result<SoftBinding> SoftBinding::from_cbor(std::span<const uint8_t> bytes) {
  Decoder decoder(bytes);
  auto decoded = decoder.read();
  if (!decoded) return Error::invalid_input("soft-binding CBOR decode: " + std::move(decoded).error());
  return std::move(decoded).value();
}

SoftBinding from_fingerprint(const simhash::Fingerprint& fingerprint) {
  SoftBinding out = SoftBinding::whole(kFingerprintAlg, fingerprint.whole.hex());
  out.blocks.reserve(1 + fingerprint.windows.size());
  for (const simhash::WindowFp& window : fingerprint.windows) out.blocks.push_back(window_block(window));
  return out;
}

// Each window's block is made and written in turn, so only one is held at a time.
Result<std::vector<uint8_t>> fingerprint_cbor(const simhash::Fingerprint& fingerprint) {
  const SoftBinding whole = SoftBinding::whole(kFingerprintAlg, fingerprint.whole.hex());
  const size_t windows = fingerprint.windows.size();
  return record_cbor(whole, windows, windows * (kBlockBytes + 2 * sizeof(simhash::Hash256)), [&](Writer& out) {
    for (const simhash::WindowFp& window : fingerprint.windows) write_block(out, window_block(window));
  });
}

SoftBinding from_minhash(const minhash::MinHash& minhash) {
  std::array<uint8_t, minhash::kNumPerm * kValueBytes> bytes;
  for (size_t i = 0; i < minhash::kNumPerm; ++i) {
    for (size_t b = 0; b < kValueBytes; ++b) {
      bytes[i * kValueBytes + b] = static_cast<uint8_t>(minhash.signature[i] >> (8 * (kValueBytes - 1 - b)));
    }
  }
  return SoftBinding::whole(kMinhashAlg, internal::hex::encode(bytes));
}

std::optional<std::array<uint64_t, minhash::kNumPerm>> minhash_values(std::string_view value) {
  const auto bytes = internal::hex::decode(value);
  if (!bytes || bytes->size() != minhash::kNumPerm * kValueBytes) return std::nullopt;
  std::array<uint64_t, minhash::kNumPerm> values{};
  for (size_t i = 0; i < bytes->size(); ++i) values[i / kValueBytes] = values[i / kValueBytes] << 8 | (*bytes)[i];
  return values;
}

}  // namespace quelvane::soft_binding
