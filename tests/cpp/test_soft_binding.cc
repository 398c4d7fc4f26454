// The soft-binding record and its CBOR form: the exact bytes written, the tolerances of the
// reader, its failure texts, and its behaviour on hostile input; and the window offsets and
// MinHash values of the builders, beyond what a Python caller can reach. The CBOR here is built
// by hand, independently of the writer under test.
#include <gtest/gtest.h>

#include <cctype>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "soft_binding.h"

namespace quelvane::soft_binding {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A head with the shortest argument, as RFC 8949 lays it out.
Bytes head(int major, uint64_t value) {
  const uint8_t initial = static_cast<uint8_t>(major << 5);
  if (value < 24) return {static_cast<uint8_t>(initial | value)};
  int size = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFF ? 4 : 8;
  Bytes out = {static_cast<uint8_t>(initial | (size == 1 ? 24 : size == 2 ? 25 : size == 4 ? 26 : 27))};
  for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return out;
}

Bytes raw(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes text(std::string_view s) { return head(3, s.size()) + raw(s); }
Bytes map(uint64_t n) { return head(5, n); }
Bytes array(uint64_t n) { return head(4, n); }
Bytes integer(int64_t v) { return v >= 0 ? head(0, v) : head(1, static_cast<uint64_t>(-(v + 1))); }
const Bytes kNull = {0xF6};
const Bytes kUndefined = {0xF7};
const Bytes kEmptyBytes = {0x40};
const Bytes kBreak = {0xFF};

const std::string kValue64(64, 'a');

// The whole-text record for `alg` carrying `value`, written out by hand.
Bytes whole_record(std::string_view alg, std::string_view value) {
  return map(3) + text("alg") + text(alg) + text("blocks") + array(1) + map(2) + text("scope") + map(0) +
         text("value") + text(value) + text("pad") + kEmptyBytes;
}

Bytes selector_bytes(const Bytes& start, const Bytes& end) {
  return map(3) + text("fragment") + text("") + text("start") + start + text("end") + end;
}

// A block that covers one range of the text, written out by hand.
Bytes window_block(const Bytes& start, const Bytes& end, std::string_view value) {
  return map(2) + text("scope") + map(1) + text("region") + map(1) + text("region") + array(1) + map(2) +
         text("type") + text("textual") + text("text") + map(1) + text("selectors") + array(1) + map(1) +
         text("selector") + selector_bytes(start, end) + text("value") + text(value);
}

Block window(std::optional<int32_t> start, std::optional<int32_t> end, std::string value) {
  Range range;
  range.text = Text{{TextSelectorRange{TextSelector{"", start, end}}}};
  return Block{Scope{RegionOfInterest{{range}}}, std::move(value)};
}

Bytes encode(const SoftBinding& record) {
  auto bytes = record.to_cbor();
  EXPECT_TRUE(bytes) << bytes.error().message();
  return bytes ? *bytes : Bytes{};
}

// The full message of the decoding failure, or "" when `input` decodes.
std::string decode_error(const Bytes& input) {
  auto decoded = SoftBinding::from_cbor(input);
  return decoded ? "" : decoded.error().message();
}

SoftBinding decode(const Bytes& input) {
  auto decoded = SoftBinding::from_cbor(input);
  EXPECT_TRUE(decoded) << decoded.error().message();
  return decoded ? *decoded : SoftBinding{};
}

constexpr std::string_view kPrefix = "invalid input: soft-binding CBOR decode: ";

// ---- Writing ----

TEST(SoftBindingWrite, WholeRecordIsAlgOneBlockAndEmptyPadIn133Bytes) {
  const Bytes bytes = encode(SoftBinding::whole(kStructureAlg, kValue64));
  EXPECT_EQ(bytes.size(), 133u);
  EXPECT_EQ(bytes, whole_record(kStructureAlg, kValue64));
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 6), (Bytes{0xA3, 0x63, 'a', 'l', 'g', 0x78}));
  EXPECT_EQ(bytes[6], 0x21);  // 33 characters, in one following byte
}

TEST(SoftBindingWrite, WindowRecordHasTheWholeBlockThenTheWindowBlock) {
  SoftBinding record = SoftBinding::whole(kFingerprintAlg, kValue64);
  record.blocks.push_back(window(256, 768, kValue64));
  const Bytes bytes = encode(record);

  const Bytes block = window_block({0x19, 0x01, 0x00}, {0x19, 0x03, 0x00}, kValue64);
  EXPECT_EQ(block.size(), 164u);
  const Bytes expected = map(3) + text("alg") + text(kFingerprintAlg) + text("blocks") + array(2) + map(2) + text("scope") +
             map(0) + text("value") + text(kValue64) + block + text("pad") + kEmptyBytes;
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(bytes.size(), 135u + 164u);
}

TEST(SoftBindingWrite, NameComesBetweenBlocksAndPad) {
  SoftBinding record = SoftBinding::whole(kWatermarkAlg, "0a0b");
  record.name = "n";
  const Bytes bytes = encode(record);
  EXPECT_EQ(bytes, map(4) + text("alg") + text(kWatermarkAlg) + text("blocks") + array(1) + map(2) + text("scope") +
                       map(0) + text("value") + text("0a0b") + text("name") + text("n") + text("pad") +
                       kEmptyBytes);
}

TEST(SoftBindingWrite, AbsentOffsetsAreNullAndRangeTextIsOptional) {
  SoftBinding record = SoftBinding::whole(kFingerprintAlg, "");
  record.blocks = {window(std::nullopt, std::nullopt, "")};
  const Bytes with_nulls = encode(record);
  EXPECT_EQ(with_nulls, map(3) + text("alg") + text(kFingerprintAlg) + text("blocks") + array(1) +
                            window_block(kNull, kNull, "") + text("pad") + kEmptyBytes);

  record.blocks[0].scope.region->region[0].text.reset();
  const Bytes without_text = encode(record);
  EXPECT_EQ(without_text, map(3) + text("alg") + text(kFingerprintAlg) + text("blocks") + array(1) + map(2) +
                              text("scope") + map(1) + text("region") + map(1) + text("region") + array(1) +
                              map(1) + text("type") + text("textual") + text("value") + text("") + text("pad") +
                              kEmptyBytes);
}

TEST(SoftBindingWrite, OffsetsUseTheShortestHead) {
  struct Row {
    int32_t offset;
    Bytes bytes;
  };
  const Row rows[] = {
      {0, {0x00}},
      {23, {0x17}},
      {24, {0x18, 0x18}},
      {255, {0x18, 0xFF}},
      {256, {0x19, 0x01, 0x00}},
      {65535, {0x19, 0xFF, 0xFF}},
      {65536, {0x1A, 0x00, 0x01, 0x00, 0x00}},
      {2147483647, {0x1A, 0x7F, 0xFF, 0xFF, 0xFF}},
      {-1, {0x20}},
      {-24, {0x37}},
      {-25, {0x38, 0x18}},
      {-257, {0x39, 0x01, 0x00}},
      {-2147483648, {0x3A, 0x7F, 0xFF, 0xFF, 0xFF}},
  };
  for (const Row& row : rows) {
    SoftBinding record = SoftBinding::whole(kFingerprintAlg, "v");
    record.blocks = {window(row.offset, 0, "v")};
    EXPECT_EQ(encode(record), map(3) + text("alg") + text(kFingerprintAlg) + text("blocks") + array(1) +
                                  window_block(row.bytes, {0x00}, "v") + text("pad") + kEmptyBytes)
        << row.offset;
  }
}

TEST(SoftBindingWrite, PadAndLongTextsTakeLongerHeads) {
  SoftBinding record = SoftBinding::whole(kMinhashAlg, std::string(2048, 'f'));
  record.pad = Bytes(300, 0x5A);
  const Bytes bytes = encode(record);
  EXPECT_EQ(bytes, map(3) + text("alg") + text(kMinhashAlg) + text("blocks") + array(1) + map(2) + text("scope") +
                       map(0) + text("value") + head(3, 2048) + raw(std::string(2048, 'f')) + text("pad") +
                       head(2, 300) + Bytes(300, 0x5A));
  EXPECT_EQ(SoftBinding::whole(kMinhashAlg, std::string(2048, 'f')).to_cbor()->size(), 2116u);
}

// ---- Round trips ----

std::vector<SoftBinding> sample_records() {
  SoftBinding windows = SoftBinding::whole(kFingerprintAlg, kValue64);
  windows.blocks.push_back(window(0, 512, kValue64));
  windows.blocks.push_back(window(256, 513, std::string(64, 'b')));
  SoftBinding named = SoftBinding::whole("not a known alg", "XYZ not hex");
  named.name = "caf\u00e9";
  named.pad = {0, 1, 255};
  SoftBinding odd = SoftBinding::whole(kFingerprintAlg, "");
  odd.blocks = {window(-5, std::nullopt, ""), window(std::nullopt, 2147483647, "x")};
  odd.blocks[0].scope.region->region.push_back(Range{});  // a range without text
  odd.blocks[1].scope.region->region[0].text->selectors[0].selector.fragment = "frag";
  SoftBinding empty;
  empty.alg = kWatermarkAlg;
  return {SoftBinding::whole(kStructureAlg, kValue64), windows, named, odd, empty};
}

TEST(SoftBindingRoundTrip, DecodeInvertsEncodeAndReencodingReproducesBytes) {
  for (const SoftBinding& record : sample_records()) {
    const Bytes bytes = encode(record);
    const SoftBinding decoded = decode(bytes);
    EXPECT_EQ(decoded, record);
    EXPECT_EQ(encode(decoded), bytes);
  }
}

// ---- Reading tolerances ----

TEST(SoftBindingRead, AcceptsKeysInAnyOrderWithUnknownKeysOfEveryKind) {
  const SoftBinding expected = sample_records()[1];
  // Unknown values: nested containers, tags, floats, simple values, bignums, indefinite strings.
  const Bytes unknown_values[] = {
      array(2) + map(1) + text("k") + array(0) + integer(-7),
      {0xC1, 0xD8, 0x64, 0xA1, 0x01, 0xF5},
      {0xFB, 0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18},
      {0xF9, 0x7C, 0x00},
      {0xE0},
      {0xF8, 0xFF},
      {0xC2, 0x51, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
      {0x7F, 0x61, 'a', 0x62, 'b', 'c', 0xFF},
      {0x9F, 0xBF, 0x61, 'x', 0x5F, 0x41, 0x00, 0xFF, 0xFF, 0xFF},
      kNull,
      kUndefined,
      // Text strings whose content is not UTF-8: a skipped value is never read.
      {0x62, 0xC3, 0x28},
      {0x7F, 0x61, 0xFF, 0x62, 0xC3, 0xA9, 0xFF},
      array(1) + map(1) + Bytes{0x61, 0x80} + Bytes{0x61, 0xE9},
  };
  for (const Bytes& unknown : unknown_values) {
    const Bytes block0 = map(3) + text("value") + text(kValue64) + text("extra") + unknown + text("scope") +
                         map(1) + text("c2pa.other") + unknown;
    const Bytes block1 = map(2) + text("value") + text(kValue64) + text("scope") + map(2) + text("x") + unknown +
                         text("region") + map(1) + text("region") + array(1) +
                         map(3) + text("text") + map(1) + text("selectors") + array(1) + map(2) + text("selector") +
                         map(4) + text("end") + integer(512) + text("fragment") + text("") + text("q") + unknown +
                         text("start") + integer(0) + text("u") + unknown + text("type") + text("textual") +
                         text("v") + unknown;
    const Bytes block2 = window_block(integer(256), integer(513), std::string(64, 'b'));
    const Bytes input = map(5) + text("pad") + kEmptyBytes + text("zzz") + unknown + text("blocks") + array(3) +
                        block0 + block1 + block2 + text("alg") + text(kFingerprintAlg) + text("hash") + unknown;
    EXPECT_EQ(decode(input), expected);
  }
}

TEST(SoftBindingRead, AcceptsIndefiniteLengthsTagsAndByteStringKeys) {
  const SoftBinding expected = sample_records()[1];
  const Bytes indefinite_text = {0x7F, 0x78, 0x1A};  // alg in two chunks: 26 characters, then 9
  const Bytes block0 = Bytes{0xBF} + Bytes{0x45} + raw("scope") + Bytes{0xD8, 0x18, 0xBF, 0xFF} + text("value") +
                       Bytes{0xC0} + text(kValue64) + kBreak;
  const Bytes block1 = Bytes{0xD9, 0xD9, 0xF7} +
                       window_block(integer(0), integer(512), kValue64);
  const Bytes block2 = map(2) + text("scope") + Bytes{0xBF} + text("region") + Bytes{0xBF} + text("region") +
                       Bytes{0x9F} + Bytes{0xBF} + text("type") + Bytes{0x7F, 0x63} + raw("tex") +
                       Bytes{0x64} + raw("tual") + kBreak + text("text") + Bytes{0xBF} + text("selectors") +
                       Bytes{0x9F} + Bytes{0xBF} + text("selector") + Bytes{0xBF} + text("fragment") +
                       Bytes{0x7F, 0xFF} + text("start") + Bytes{0xC1} + integer(256) + text("end") +
                       Bytes{0xC2, 0x42, 0x02, 0x01} + kBreak + kBreak + kBreak + kBreak + kBreak + kBreak +
                       kBreak + kBreak + text("value") + text(std::string(64, 'b'));
  const Bytes input = Bytes{0xD8, 0x2A, 0xBF} + Bytes{0x43} + raw("alg") + indefinite_text +
                      raw(kFingerprintAlg.substr(0, 26)) + Bytes{0x69} + raw(kFingerprintAlg.substr(26)) + kBreak +
                      text("blocks") + Bytes{0x9F} + block0 + block1 + block2 + kBreak + text("pad") +
                      Bytes{0x5F, 0xFF} + kBreak;
  EXPECT_EQ(decode(input), expected);
}

TEST(SoftBindingRead, IgnoresTrailingBytes) {
  const Bytes record = whole_record(kStructureAlg, kValue64);
  for (const Bytes& tail : {Bytes{0x00}, Bytes{0xFF, 0xFF}, Bytes{0x1C}, Bytes{0x5B, 0xFF}, record}) {
    EXPECT_EQ(decode(record + tail), SoftBinding::whole(kStructureAlg, kValue64));
  }
}

TEST(SoftBindingRead, OptionalFieldsMayBeAbsentNullOrUndefined) {
  for (const Bytes& absent : {kNull, kUndefined, Bytes{0xC0, 0xF6}}) {
    const Bytes input = map(4) + text("alg") + text("a") + text("name") + absent + text("blocks") + array(2) +
                        map(2) + text("scope") + map(1) + text("region") + absent + text("value") + text("v") +
                        map(2) + text("value") + text("w") + text("scope") + map(1) + text("region") + map(1) +
                        text("region") + array(2) + map(2) + text("type") + text("textual") + text("text") +
                        absent + map(2) + text("type") + text("textual") + text("text") + map(1) +
                        text("selectors") + array(1) + map(1) + text("selector") + map(3) + text("fragment") +
                        text("f") + text("start") + absent + text("end") + absent + text("pad") + kEmptyBytes;
    SoftBinding expected = SoftBinding::whole("a", "v");
    expected.blocks.push_back(window(std::nullopt, std::nullopt, "w"));
    expected.blocks[1].scope.region->region.insert(expected.blocks[1].scope.region->region.begin(), Range{});
    expected.blocks[1].scope.region->region[1].text->selectors[0].selector.fragment = "f";
    EXPECT_EQ(decode(input), expected);
  }
  // Offsets may be left out entirely, and "blocks" may be empty.
  const Bytes input = map(3) + text("alg") + text("a") + text("blocks") + array(0) + text("pad") + kEmptyBytes;
  const SoftBinding empty = decode(input);
  EXPECT_TRUE(empty.blocks.empty());
  EXPECT_EQ(decode(map(3) + text("alg") + text("a") + text("blocks") + array(1) +
                   map(2) + text("scope") + map(1) + text("region") + map(1) + text("region") + array(1) + map(2) +
                   text("type") + text("textual") + text("text") + map(1) + text("selectors") + array(1) + map(1) +
                   text("selector") + map(1) + text("fragment") + text("") + text("value") + text("v") +
                   text("pad") + kEmptyBytes)
                .blocks[0],
            window(std::nullopt, std::nullopt, "v"));
}

TEST(SoftBindingRead, PadMayBeAnArrayOfBytes) {
  const Bytes base = map(3) + text("alg") + text("a") + text("blocks") + array(0) + text("pad");
  EXPECT_EQ(decode(base + array(3) + integer(0) + integer(255) + Bytes{0x18, 0x7F}).pad, (Bytes{0, 255, 127}));
  EXPECT_EQ(decode(base + Bytes{0x9F, 0x01, 0x02, 0xFF}).pad, (Bytes{1, 2}));
  EXPECT_EQ(decode(base + head(2, 2) + Bytes{0xAB, 0xCD}).pad, (Bytes{0xAB, 0xCD}));
}

TEST(SoftBindingRead, OffsetsReadWholeI32RangeIncludingBignums) {
  struct Row {
    Bytes bytes;
    int32_t value;
  };
  const Row rows[] = {
      {integer(2147483647), 2147483647},
      {integer(-2147483648), -2147483648},
      {{0xC2, 0x42, 0x01, 0x00}, 256},                          // positive bignum
      {{0xC2, 0x49, 0, 0, 0, 0, 0, 0, 0, 0, 0x07}, 7},          // leading zeros do not count
      {{0xC3, 0x41, 0x00}, -1},                                 // negative bignum: -1 - 0
      {{0xC2, 0x40}, 0},
      {{0xD8, 0x64, 0x18, 0x2A}, 42},                           // other tags are ignored
  };
  for (const Row& row : rows) {
    SoftBinding expected = SoftBinding::whole("a", "");
    expected.blocks = {window(row.value, 0, "v")};
    EXPECT_EQ(decode(map(3) + text("alg") + text("a") + text("blocks") + array(1) +
                     window_block(row.bytes, integer(0), "v") + text("pad") + kEmptyBytes),
              expected);
  }
}

// Window blocks in the writer's own layout take a shortcut; whatever differs from that layout
// takes the general path. Both must read the same record, and fail the same way.
TEST(SoftBindingRead, OwnWindowLayoutReadsAsAnyOther) {
  auto record_with = [](const Bytes& block) {
    return map(3) + text("alg") + text("a") + text("blocks") + array(2) + block + block + text("pad") + kEmptyBytes;
  };
  const std::vector<std::pair<Bytes, std::optional<int32_t>>> offsets = {
      {integer(0), 0}, {integer(23), 23}, {integer(24), 24}, {integer(65536), 65536},
      {integer(2147483647), 2147483647}, {{0x1B, 0, 0, 0, 0, 0, 0, 0, 5}, 5}, {integer(-1), -1},
      {kNull, std::nullopt}, {{0xC1, 0x05}, 5},
  };
  for (const auto& [bytes, value] : offsets) {
    SoftBinding expected = SoftBinding::whole("a", "");
    expected.blocks = {window(value, 7, "é"), window(value, 7, "é")};
    EXPECT_EQ(decode(record_with(window_block(bytes, integer(7), "é"))), expected);
    expected.blocks = {window(7, value, ""), window(7, value, "")};
    EXPECT_EQ(decode(record_with(window_block(integer(7), bytes, ""))), expected);
  }
  const Bytes bad_utf8 = window_block(integer(0), integer(1), "\xC3\x28");
  EXPECT_EQ(decode_error(record_with(bad_utf8)).rfind(std::string(kPrefix) + "invalid UTF-8", 0), 0u);
  EXPECT_EQ(decode_error(record_with(window_block(integer(2147483648), integer(1), "v"))),
            std::string(kPrefix) + "invalid value: integer `2147483648`, expected i32");
  EXPECT_EQ(decode_error(record_with(window_block(integer(0), integer(1), "v") + text("value") + text("v"))),
            std::string(kPrefix) + "invalid type: string \"value\", expected map");
}

// Keys are compared byte for byte with the field names, so a text key that is not UTF-8 names
// no field: it is skipped with its value, like any unknown key.
TEST(SoftBindingRead, KeysThatAreNotUtf8AreUnknownKeys) {
  const Bytes not_utf8_keys[] = {
      {0x62, 0xFF, 0xFE},
      {0x64, 'a', 'l', 'g', 0xC3},        // "alg" and the start of a character
      {0x63, 'a', 'l', 0xE7},              // "al" and a Latin-1 "g with cedilla"
      {0x7B, 0, 0, 0, 0, 0, 0, 0, 1, 0x80},  // a long head for a one-byte key
  };
  const Bytes values[] = {integer(1), {0x62, 0xC3, 0x28}, text("alg"), map(1) + Bytes{0x61, 0xFF} + kNull};
  for (const Bytes& key : not_utf8_keys) {
    for (const Bytes& value : values) {
      const Bytes input = map(4) + text("alg") + text("a") + key + value + text("blocks") + array(1) + map(3) +
                          text("scope") + map(0) + key + value + text("value") + text("v") + text("pad") +
                          kEmptyBytes;
      EXPECT_EQ(decode(input), SoftBinding::whole("a", "v"));
    }
  }
}

TEST(SoftBindingRead, KeysUpTo4096Bytes) {
  const Bytes base = whole_record("a", "v");
  Bytes longest = base;
  longest[0] = 0xA4;
  longest = longest + text(std::string(4096, 'k')) + integer(1);
  EXPECT_EQ(decode(longest), SoftBinding::whole("a", "v"));
  Bytes too_long = base;
  too_long[0] = 0xA4;
  too_long = too_long + text(std::string(4097, 'k')) + integer(1);
  EXPECT_EQ(decode_error(too_long),
            std::string(kPrefix) + "invalid length 4097, expected str or bytes of at most 4096 bytes");
}

// ---- Failures ----

TEST(SoftBindingRead, FailureTexts) {
  const Bytes blocks = text("blocks") + array(0);
  const Bytes pad = text("pad") + kEmptyBytes;
  const Bytes alg = text("alg") + text("a");
  auto offsets = [](const Bytes& start) {
    return map(3) + text("alg") + text("a") + text("blocks") + array(1) + window_block(start, integer(0), "v") +
           text("pad") + kEmptyBytes;
  };
  auto with_type = [](const Bytes& type) {
    return map(3) + text("alg") + text("a") + text("blocks") + array(1) + map(2) + text("scope") + map(1) +
           text("region") + map(1) + text("region") + array(1) + map(1) + text("type") + type + text("value") +
           text("v") + text("pad") + kEmptyBytes;
  };
  auto with_pad = [&](const Bytes& value) { return map(3) + alg + blocks + text("pad") + value; };
  struct Row {
    Bytes input;
    std::string detail;
  };
  const Row rows[] = {
      {map(2) + alg + blocks, "missing field `pad`"},
      {map(1) + blocks, "missing field `alg`"},
      {map(2) + alg + pad, "missing field `blocks`"},
      {map(0), "missing field `alg`"},
      {map(4) + alg + blocks + pad + alg, "duplicate field `alg`"},
      {map(4) + alg + blocks + pad + text("alg"), "duplicate field `alg`"},  // found before its value is read
      {map(3) + alg + text("blocks") + array(1) + map(3) + text("scope") + map(0) + text("value") + text("v") +
           text("scope") + kNull + pad,
       "duplicate field `scope`"},
      {map(3) + alg + text("blocks") + array(1) + map(1) + text("scope") + map(0) + pad, "missing field `value`"},
      {with_type(text("x")), "unknown variant `x`, expected `textual`"},
      {with_type(text("Textual")), "unknown variant `Textual`, expected `textual`"},
      {with_type(integer(0)), "invalid type: integer `0`, expected string"},
      {array(0), "invalid type: sequence, expected map"},
      {integer(0), "invalid type: integer `0`, expected map"},
      {integer(-3), "invalid type: integer `-3`, expected map"},
      {head(1, UINT64_MAX), "invalid type: integer `-18446744073709551616`, expected map"},
      {text("abc"), "invalid type: string \"abc\", expected map"},
      {text("a\"b\n"), "invalid type: string \"a\\\"b\\n\", expected map"},
      {head(2, 1) + Bytes{0}, "invalid type: byte array, expected map"},
      {{0xF5}, "invalid type: boolean `true`, expected map"},
      {kNull, "invalid type: null, expected map"},
      {kUndefined, "invalid type: undefined, expected map"},
      {{0xF9, 0x3E, 0x00}, "invalid type: floating point `1.5`, expected map"},
      {{0xFB, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, "invalid type: floating point `1.0`, expected map"},
      {{0xF9, 0x7E, 0x00}, "invalid type: floating point `NaN`, expected map"},
      {{0xF9, 0xFC, 0x00}, "invalid type: floating point `-inf`, expected map"},
      {{0xF0}, "invalid type: simple value `16`, expected map"},
      {{0xC0, 0x81, 0x00}, "invalid type: sequence, expected map"},
      {map(3) + text("alg") + integer(5) + blocks + pad, "invalid type: integer `5`, expected string"},
      {map(3) + alg + text("blocks") + map(0) + pad, "invalid type: map, expected array"},
      {map(3) + alg + text("blocks") + array(1) + text("b") + pad, "invalid type: string \"b\", expected map"},
      {map(3) + alg + blocks + text("pad") + text(""), "invalid type: string \"\", expected bytes"},
      {map(3) + alg + blocks + text("name") + integer(1), "invalid type: integer `1`, expected string"},
      {map(1) + integer(1) + integer(1), "invalid type: integer `1`, expected str or bytes"},
      {map(1) + Bytes{0x7F, 0x61, 'a', 0xFF} + integer(1),
       "invalid type: indefinite-length string, expected str or bytes of definite length"},
      {offsets(integer(2147483648)), "invalid value: integer `2147483648`, expected i32"},
      {offsets(integer(-2147483649)), "invalid value: integer `-2147483649`, expected i32"},
      {offsets(head(0, UINT64_MAX)), "integer too large"},
      {offsets(head(0, uint64_t{1} << 63)), "integer too large"},
      {offsets(head(0, (uint64_t{1} << 63) - 1)), "invalid value: integer `9223372036854775807`, expected i32"},
      {offsets(head(1, (uint64_t{1} << 63) - 1)), "invalid value: integer `-9223372036854775808`, expected i32"},
      {offsets(head(1, uint64_t{1} << 63)), "integer too large"},
      {offsets(head(1, UINT64_MAX)), "integer too large"},
      {offsets({0xC2, 0x49, 1, 0, 0, 0, 0, 0, 0, 0, 0}), "integer too large"},
      {offsets({0xC3, 0x48, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), "integer too large"},
      {offsets({0xC2, 0x48, 0, 0, 0, 0, 0x80, 0, 0, 0}), "invalid value: integer `2147483648`, expected i32"},
      {offsets(text("1")), "invalid type: string \"1\", expected integer"},
      {offsets({0xF9, 0x3C, 0x00}), "invalid type: floating point `1.0`, expected integer"},
      {with_pad(array(1) + integer(256)), "invalid value: integer `256`, expected u8"},
      {with_pad(array(1) + integer(-1)), "invalid value: integer `-1`, expected u8"},
      {with_pad(array(1) + kNull), "invalid type: null, expected integer"},
      {with_pad(array(1) + head(1, UINT64_MAX)), "integer too large"},
      {with_pad(integer(1)), "invalid type: integer `1`, expected bytes"},
      // An item of the wrong type is told by its head, whatever follows it: content cut short,
      // or not UTF-8, is not shown.
      {{0x6A}, "invalid type: string, expected map"},
      {{0x78, 0x20, 'a'}, "invalid type: string, expected map"},
      {{0xC0, 0x6A, 'a', 'b'}, "invalid type: string, expected map"},
      {{0x62, 0xC3, 0x28}, "invalid type: string, expected map"},
      {{0x7F, 0x61, 'a'}, "invalid type: string, expected map"},
      {{0x5A, 0, 1, 0, 0}, "invalid type: byte array, expected map"},
      {map(3) + alg + text("blocks") + array(1) + Bytes{0x6A}, "invalid type: string, expected map"},
      {map(3) + text("alg") + Bytes{0x4A}, "invalid type: byte array, expected string"},
      {with_pad(Bytes{0x6A}), "invalid type: string, expected bytes"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(decode_error(row.input), std::string(kPrefix) + row.detail) << row.detail;
  }
}

TEST(SoftBindingRead, MalformedInputFailsWithThePrefix) {
  const Bytes alg = text("alg") + text("a");
  struct Row {
    Bytes input;
    std::string detail;
  };
  const Row rows[] = {
      {{}, "unexpected end of input at offset 0"},
      {{0xFF}, "unexpected break at offset 0"},
      {{0x1C}, "malformed item at offset 0"},
      {{0xA1, 0xFF}, "unexpected break at offset 1"},
      {{0xBF, 0x63, 'a', 'l', 'g', 0xFF}, "unexpected break at offset 5"},
      {{0xBF, 0x61, 'x', 0x9F, 0xFF}, "unexpected end of input at offset 5"},
      {{0xBF, 0x61, 'x', 0xC0, 0xFF}, "unexpected break at offset 4"},
      {map(1) + text("alg") + Bytes{0x62, 0xC3, 0x28}, "invalid UTF-8 in text string at offset 5"},
      // A string of the expected type whose content is cut short, as a value or as a key.
      {map(1) + text("alg") + Bytes{0x6A, 'a'}, "unexpected end of input at offset 5"},
      {map(1) + text("alg") + Bytes{0xC0, 0x6A}, "unexpected end of input at offset 6"},
      {map(1) + Bytes{0x6A, 'a'}, "unexpected end of input at offset 1"},
      {map(2) + alg + text("x") + Bytes{0x6A, 'a'}, "unexpected end of input at offset 9"},
      {map(3) + alg + text("blocks") + array(0) + text("pad") + Bytes{0x4A}, "unexpected end of input at offset 19"},
      {map(1) + text("alg") + Bytes{0x7F, 0x41, 'a', 0xFF}, "invalid chunk in indefinite-length string at offset 6"},
      {map(1) + text("alg") + Bytes{0xF8, 0x05}, "malformed item at offset 5"},
      {map(1) + text("alg") + Bytes{0xFC}, "malformed item at offset 5"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(decode_error(row.input), std::string(kPrefix) + row.detail) << row.detail;
  }
}

TEST(SoftBindingRead, HugeDeclaredLengthsFailFastWithoutAllocating) {
  // Each declares 2^32 or more elements or bytes within ten bytes of input.
  const Bytes k2To32 = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};  // after an 8-byte-argument head
  const Bytes kMax = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const Bytes inputs[] = {
      Bytes{0xBB} + k2To32 + Bytes{0x61},                    // 2^32 pairs at the top
      Bytes{0xBB} + kMax + Bytes{0x61},
      Bytes{0xA1, 0x61, 'x', 0x7B} + k2To32 + Bytes{0x61},   // an unknown text of 2^32 bytes
      Bytes{0xA1, 0x61, 'x', 0x5B} + kMax,                    // ... of 2^64 - 1 bytes
      Bytes{0xA1, 0x61, 'x', 0x9B} + k2To32,                  // an unknown array of 2^32 elements
      Bytes{0xA1, 0x61, 'x', 0xBB} + kMax,                    // an unknown map of 2^64 - 1 pairs
      map(2) + text("alg") + Bytes{0x7B} + k2To32,            // alg of 2^32 bytes
      map(1) + text("blocks") + Bytes{0x9B} + k2To32,
      map(1) + text("pad") + Bytes{0x9B} + kMax + Bytes{0x00},
      map(1) + text("pad") + Bytes{0x5B} + k2To32,
  };
  for (const Bytes& input : inputs) {
    const std::string error = decode_error(input);
    EXPECT_EQ(error.rfind(kPrefix, 0), 0u) << error;
    EXPECT_NE(error.find("unexpected end of input"), std::string::npos) << error;
  }
  // A key of 2^32 bytes is too long a key, whatever follows its head.
  EXPECT_EQ(decode_error(Bytes{0xA1, 0x7B} + k2To32),
            std::string(kPrefix) + "invalid length 4294967296, expected str or bytes of at most 4096 bytes");
}

// `levels` nested one-element arrays under an unknown key of an otherwise complete record.
Bytes nested_unknown(size_t levels) {
  Bytes input = whole_record("a", "v");
  input[0] = 0xA4;
  input = input + text("x") + Bytes(levels, 0x81) + integer(0);
  return input;
}

TEST(SoftBindingRead, NestingStopsAt256Levels) {
  EXPECT_EQ(decode(nested_unknown(255)), SoftBinding::whole("a", "v"));  // with the record itself: 256
  const size_t first_array = whole_record("a", "v").size() + 2;
  EXPECT_EQ(decode_error(nested_unknown(256)),
            std::string(kPrefix) + "recursion limit exceeded at offset " + std::to_string(first_array + 255));
  // Far deeper than any stack would take if skipping recursed.
  EXPECT_EQ(decode_error(nested_unknown(2'000'000)).rfind(std::string(kPrefix) + "recursion limit exceeded", 0), 0u);
  const Bytes deep_tags = map(1) + text("alg") + Bytes(2'000'000, 0xC0) + text("t");
  EXPECT_EQ(decode_error(deep_tags), std::string(kPrefix) + "missing field `blocks`");
}

TEST(SoftBindingRead, EveryTruncationAndByteFlipFailsCleanly) {
  SoftBinding record = sample_records()[3];
  const Bytes bytes = encode(record);
  for (size_t size = 0; size < bytes.size(); ++size) {
    const std::string error = decode_error(Bytes(bytes.begin(), bytes.begin() + size));
    EXPECT_EQ(error.rfind(kPrefix, 0), 0u) << size;
  }
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (const uint8_t flip : {0x01, 0x20, 0x80, 0xFF}) {
      Bytes mutated = bytes;
      mutated[at] ^= flip;
      auto decoded = SoftBinding::from_cbor(mutated);  // must not crash, hang or read past the span
      if (!decoded) EXPECT_EQ(decoded.error().message().rfind(kPrefix, 0), 0u);
    }
  }
}

TEST(SoftBindingRead, NeverReadsPastTheSpan) {
  // The span ends inside a buffer that continues with a valid tail: the reader must not see it.
  const Bytes full = whole_record(kStructureAlg, kValue64);
  for (size_t size = 0; size < full.size(); ++size) {
    auto decoded = SoftBinding::from_cbor(std::span<const uint8_t>(full.data(), size));
    EXPECT_FALSE(decoded) << size;
  }
}

// ---- Builders ----

TEST(SoftBindingBuild, FingerprintWindowsBecomeBlocksInOrder) {
  simhash::Fingerprint fingerprint;
  fingerprint.whole.bytes[0] = 0xAB;
  fingerprint.windows = {{simhash::Hash256{}, 0, 512}, {simhash::Hash256{}, 256, 257}};
  fingerprint.windows[1].hash.bytes[31] = 0x01;
  const SoftBinding record = from_fingerprint(fingerprint);
  SoftBinding expected = SoftBinding::whole(kFingerprintAlg, "ab" + std::string(62, '0'));
  expected.blocks.push_back(window(0, 512, std::string(64, '0')));
  expected.blocks.push_back(window(256, 513, std::string(63, '0') + "1"));
  EXPECT_EQ(record, expected);
  EXPECT_EQ(encode(record).size(), 461u);
}

TEST(SoftBindingBuild, FingerprintOffsetsSaturateAtI32Max) {
  constexpr size_t kI32Max = 2147483647;
  constexpr size_t kSizeMax = std::numeric_limits<size_t>::max();
  const std::vector<std::pair<simhash::WindowFp, std::pair<int32_t, int32_t>>> cases = {
      {{{}, kI32Max - 512, 512}, {kI32Max - 512, kI32Max}},
      {{{}, kI32Max - 511, 512}, {kI32Max - 511, kI32Max}},
      {{{}, kI32Max, 512}, {kI32Max, kI32Max}},
      {{{}, kI32Max + 1, 1}, {kI32Max, kI32Max}},
      {{{}, kSizeMax - 1, 512}, {kI32Max, kI32Max}},  // the end would wrap around
      {{{}, kSizeMax, kSizeMax}, {kI32Max, kI32Max}},
  };
  for (const auto& [fp, offsets] : cases) {
    simhash::Fingerprint fingerprint;
    fingerprint.windows = {fp};
    const SoftBinding record = from_fingerprint(fingerprint);
    ASSERT_EQ(record.blocks.size(), 2u);
    EXPECT_EQ(record.blocks[1], window(offsets.first, offsets.second, std::string(64, '0'))) << fp.start;
  }
}

TEST(SoftBindingBuild, FingerprintCborIsTheRecordsCbor) {
  constexpr size_t kI32Max = 2147483647;
  simhash::Fingerprint fingerprint;
  EXPECT_EQ(fingerprint_cbor(fingerprint).value(), encode(from_fingerprint(fingerprint)));
  fingerprint.whole.bytes[3] = 0x5C;
  for (size_t start = 0; start < 40 * 256; start += 256) fingerprint.windows.push_back({{}, start, 512});
  fingerprint.windows.back().hash.bytes[0] = 0xFF;
  fingerprint.windows.push_back({{}, kI32Max - 3, 300});  // an offset that saturates
  EXPECT_EQ(fingerprint_cbor(fingerprint).value(), encode(from_fingerprint(fingerprint)));
}

TEST(SoftBindingBuild, MinhashValueRoundTrips) {
  minhash::MinHash minhash;
  for (size_t i = 0; i < minhash::kNumPerm; ++i) minhash.signature[i] = 0x0123456789ABCDEFull * (i + 1);
  const SoftBinding record = from_minhash(minhash);
  ASSERT_EQ(record.blocks.size(), 1u);
  const std::string& value = record.blocks[0].value;
  ASSERT_EQ(value.size(), 2048u);
  EXPECT_EQ(value.substr(0, 32), "0123456789abcdef02468acf13579bde");
  EXPECT_EQ(record, SoftBinding::whole(kMinhashAlg, value));
  EXPECT_EQ(encode(record).size(), 2116u);

  const auto values = minhash_values(value);
  ASSERT_TRUE(values);
  EXPECT_EQ(*values, minhash.signature);
  std::string upper = value;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(minhash_values(upper), values);
}

TEST(SoftBindingBuild, MinhashValuesRefuseAnythingButExactly2048Digits) {
  const std::string value(2048, 'f');
  for (const std::string& bad : {value.substr(1), value + "0", value.substr(2), value + "00", " " + value.substr(1),
                                 value.substr(1) + "g", std::string()}) {
    EXPECT_FALSE(minhash_values(bad)) << bad.size();
  }
}

}  // namespace
}  // namespace quelvane::soft_binding
