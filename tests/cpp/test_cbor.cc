// The CBOR head reader and its generic helpers: unassigned simple values, string chunks, and
// skipping whole items of any shape without recursion.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "internal/cbor.h"
#include "internal/utf8.h"

namespace quelvane::internal::cbor {
namespace {

using Bytes = std::vector<uint8_t>;

// Skips the first item of `input`; returns "" and the offset after it, or the error.
std::pair<std::string, size_t> skip_first(const Bytes& input, size_t levels = 256) {
  Reader reader(input);
  auto head = reader.next();
  if (!head) return {head.error(), 0};
  auto skipped = skip(reader, *head, levels);
  if (!skipped) return {skipped.error(), 0};
  return {"", reader.offset()};
}

TEST(CborReader, ReadsEveryWellFormedSimpleValue) {
  struct Row {
    Bytes input;
    uint64_t value;
  };
  const Row rows[] = {{{0xE0}, 0}, {{0xF3}, 19}, {{0xF4}, kFalse}, {{0xF7}, kUndefined},
                      {{0xF8, 0x20}, 32}, {{0xF8, 0xFF}, 255}};
  for (const Row& row : rows) {
    Reader reader(row.input);
    auto head = reader.next();
    ASSERT_TRUE(head) << head.error();
    EXPECT_EQ(head->major, Major::Simple);
    EXPECT_EQ(head->value, row.value);
    EXPECT_TRUE(reader.at_end());
  }
}

TEST(CborReader, RejectsMalformedHeads) {
  struct Row {
    Bytes input;
    const char* error;
  };
  const Row rows[] = {
      {{0xF8, 0x1F}, "malformed item at offset 0"},  // one-byte simple below 32
      {{0xF8}, "unexpected end of input at offset 0"},
      {{0x1C}, "malformed item at offset 0"},  // reserved additional information
      {{0x3F}, "malformed item at offset 0"},  // indefinite negative integer
      {{0x1F}, "malformed item at offset 0"},  // indefinite unsigned integer
      {{0xDF}, "malformed item at offset 0"},  // indefinite tag
      {{0xDC}, "malformed item at offset 0"},
      {{0xFC}, "malformed item at offset 0"},
      {{0xFE}, "malformed item at offset 0"},
      {{0xD8}, "unexpected end of input at offset 0"},
      {{0xF9, 0x3E}, "unexpected end of input at offset 0"},
      {{0xFB, 0x3F, 0xF8, 0, 0, 0, 0, 0}, "unexpected end of input at offset 0"},
      {{0x19, 0x01}, "unexpected end of input at offset 0"},
      {{0x5A, 0x00, 0x01, 0x00, 0x00}, "unexpected end of input at offset 0"},
      {{}, "unexpected end of input at offset 0"},
  };
  for (const Row& row : rows) {
    Reader reader(row.input);
    auto head = reader.next();
    ASSERT_FALSE(head);
    EXPECT_EQ(head.error(), row.error);
  }
}

// Every definite head of the first six major types, whole and cut short, against RFC 8949's
// layout.
TEST(CborReader, ReadsEveryDefiniteHeadOfTheFirstSixMajorTypes) {
  for (uint8_t major = 0; major <= 5; ++major) {
    for (uint8_t info = 0; info <= 27; ++info) {
      const size_t argument_bytes = info < 24 ? 0 : size_t{1} << (info - 24);
      Bytes input = {static_cast<uint8_t>(major << 5 | info)};
      uint64_t value = info;
      if (argument_bytes > 0) {
        value = 3;  // in the last of the argument bytes
        input.insert(input.end(), argument_bytes - 1, 0);
        input.push_back(3);
      }
      const bool string = major == 2 || major == 3;
      if (string) input.insert(input.end(), value, 'x');
      const Bytes tail = {0xF6};
      input.insert(input.end(), tail.begin(), tail.end());

      Reader reader(input);
      auto head = reader.next();
      ASSERT_TRUE(head) << int(major) << "/" << int(info) << ": " << head.error();
      EXPECT_EQ(head->major, static_cast<Major>(major));
      EXPECT_EQ(head->value, value);
      EXPECT_FALSE(head->indefinite);
      EXPECT_EQ(head->offset, 0u);
      EXPECT_EQ(head->payload.size(), string ? value : 0u);
      if (string) EXPECT_EQ(head->payload.data(), input.data() + 1 + argument_bytes);
      EXPECT_EQ(reader.offset(), input.size() - tail.size());
      for (size_t size = 0; size + tail.size() < input.size(); ++size) {
        Reader cut(std::span<const uint8_t>(input.data(), size));
        auto truncated = cut.next();
        ASSERT_FALSE(truncated) << int(major) << "/" << int(info) << " cut to " << size;
        EXPECT_EQ(truncated.error(), "unexpected end of input at offset 0");
        EXPECT_EQ(cut.offset(), 0u);
      }
    }
  }
}

TEST(CborReader, KeepsFloatValuesAndOffsets) {
  const Bytes input = {0x00, 0xF9, 0x3E, 0x00, 0xFA, 0x3F, 0xC0, 0x00, 0x00};  // 0, 1.5 (half), 1.5 (single)
  Reader reader(input);
  ASSERT_TRUE(reader.next());
  auto half = reader.next();
  auto single = reader.next();
  ASSERT_TRUE(half && single);
  EXPECT_EQ(half->value, kFloat);
  EXPECT_EQ(half->number, 1.5);
  EXPECT_EQ(half->offset, 1u);
  EXPECT_EQ(single->number, 1.5);
  EXPECT_EQ(single->offset, 4u);
}

TEST(CborReader, WidensEveryKindOfFloat) {
  struct Row {
    Bytes input;
    double number;
  };
  const Row rows[] = {
      {{0xF9, 0x00, 0x01}, 5.960464477539063e-8},  // the smallest half subnormal, 2^-24
      {{0xF9, 0x03, 0xFF}, 6.097555160522461e-5},  // the largest half subnormal
      {{0xF9, 0x3C, 0x00}, 1.0},
      {{0xF9, 0x7B, 0xFF}, 65504.0},
      {{0xF9, 0x80, 0x00}, -0.0},
      {{0xF9, 0xFC, 0x00}, -INFINITY},
      {{0xFA, 0x47, 0xC3, 0x50, 0x00}, 100000.0},
      {{0xFB, 0x3F, 0xF1, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}, 1.1},
  };
  for (const Row& row : rows) {
    Reader reader(row.input);
    auto head = reader.next();
    ASSERT_TRUE(head) << head.error();
    EXPECT_EQ(head->value, kFloat);
    EXPECT_EQ(head->number, row.number);
    EXPECT_EQ(std::signbit(head->number), std::signbit(row.number));
    EXPECT_TRUE(reader.at_end());
  }
  for (const Bytes& nan : {Bytes{0xF9, 0x7E, 0x00}, Bytes{0xFA, 0x7F, 0xC0, 0x00, 0x00}}) {
    Reader reader(nan);
    auto head = reader.next();
    ASSERT_TRUE(head) << head.error();
    EXPECT_TRUE(std::isnan(head->number));
  }
}

TEST(CborReader, ReadsIndefiniteStartsAndTheBreak) {
  const Bytes input = {0x5F, 0x7F, 0x9F, 0xBF, 0xFF};
  Reader reader(input);
  for (const Major major : {Major::Bytes, Major::Text, Major::Array, Major::Map}) {
    auto head = reader.next();
    ASSERT_TRUE(head) << head.error();
    EXPECT_EQ(head->major, major);
    EXPECT_TRUE(head->indefinite);
    EXPECT_FALSE(head->is_break);
  }
  auto stop = reader.next();
  ASSERT_TRUE(stop) << stop.error();
  EXPECT_TRUE(stop->is_break);
  EXPECT_EQ(stop->offset, 4u);
  EXPECT_TRUE(reader.at_end());
}

TEST(CborReadString, ConcatenatesChunksAndChecksThem) {
  struct Row {
    Bytes input;
    std::string content;  // or the error
    bool ok;
  };
  const Row rows[] = {
      {{0x63, 'a', 'b', 'c'}, "abc", true},
      {{0x7F, 0x61, 'a', 0x60, 0x62, 'b', 'c', 0xFF}, "abc", true},
      {{0x5F, 0x41, 0x00, 0x42, 0xFF, 0xFE, 0xFF}, std::string("\0\xFF\xFE", 3), true},  // bytes need no UTF-8
      {{0x7F, 0x41, 'a', 0xFF}, "invalid chunk in indefinite-length string at offset 1", false},
      {{0x7F, 0x7F, 0xFF, 0xFF}, "invalid chunk in indefinite-length string at offset 1", false},
      {{0x7F, 0x61, 'a'}, "unexpected end of input at offset 3", false},
      {{0x62, 0xC3, 0x28}, "invalid UTF-8 in text string at offset 0", false},
      // A character split across two chunks: each chunk must be valid on its own.
      {{0x7F, 0x61, 0xC3, 0x61, 0xA9, 0xFF}, "invalid UTF-8 in text string at offset 1", false},
  };
  for (const Row& row : rows) {
    Reader reader(row.input);
    auto head = reader.next();
    ASSERT_TRUE(head);
    auto content = read_string(reader, *head);
    ASSERT_EQ(content.ok(), row.ok);
    EXPECT_EQ(row.ok ? *content : content.error(), row.content);
  }
}

TEST(CborSkip, SkipsWholeItemsOfEveryShape) {
  struct Row {
    Bytes input;
    size_t end;  // where the first item ends
  };
  const Row rows[] = {
      {{0x00, 0x01}, 1},
      {{0xC0, 0xC1, 0x61, 'x', 0x01}, 4},                        // tags
      {{0x82, 0x01, 0x82, 0x02, 0x03, 0x04}, 5},                 // nested array
      {{0xA1, 0x61, 'k', 0xA0, 0x00}, 4},                        // map holding an empty map
      {{0x9F, 0x01, 0x9F, 0xFF, 0xBF, 0x01, 0x02, 0xFF, 0xFF, 0x00}, 9},  // indefinite containers
      {{0x7F, 0x61, 'a', 0xFF, 0x00}, 4},                        // indefinite string
      {{0x80, 0x00}, 1},
      {{0x82, 0xFB, 0, 0, 0, 0, 0, 0, 0, 0, 0xE5, 0x00}, 11},   // float, unassigned simple
      // What a skipped text string holds is not read: it need not be UTF-8.
      {{0x82, 0x61, 0xFF, 0x7F, 0x61, 0xC3, 0xFF, 0x00}, 7},
  };
  for (const Row& row : rows) {
    const auto [error, end] = skip_first(row.input);
    EXPECT_EQ(error, "");
    EXPECT_EQ(end, row.end);
  }
}

TEST(CborSkip, RejectsMisplacedBreaksAndBadContent) {
  struct Row {
    Bytes input;
    const char* error;
  };
  const Row rows[] = {
      {{0xFF}, "unexpected break at offset 0"},
      {{0x81, 0xFF}, "unexpected break at offset 1"},                // break in a definite array
      {{0xBF, 0x01, 0xFF}, "unexpected break at offset 2"},          // map closed after a key
      {{0x9F, 0xC0, 0xFF}, "unexpected break at offset 2"},          // tag on a break
      {{0x7F, 0x41, 'a', 0xFF}, "invalid chunk in indefinite-length string at offset 1"},
      {{0x82, 0x62, 'a'}, "unexpected end of input at offset 1"},
      {{0x9F, 0x01}, "unexpected end of input at offset 2"},
      {{0x9B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "unexpected end of input at offset 9"},
      {{0xBB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, "unexpected end of input at offset 10"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(skip_first(row.input).first, row.error);
  }
}

// A string cut short still shows its head, so that a reader can say it is a string; its
// content cannot be read, skipped or used, and the reader stays where it was.
TEST(CborReader, GivesTheHeadOfACutString) {
  const Bytes cut_text = {0x6A, 'a'};
  Reader reader(cut_text);
  EXPECT_EQ(reader.next().error(), "unexpected end of input at offset 0");
  auto head = reader.next_or_cut();
  ASSERT_TRUE(head);
  EXPECT_EQ(head->major, Major::Text);
  EXPECT_EQ(head->value, 10u);
  EXPECT_TRUE(head->cut);
  EXPECT_EQ(reader.offset(), 0u);
  EXPECT_EQ(read_string(reader, *head).error(), "unexpected end of input at offset 0");
  EXPECT_EQ(payload(*head).error(), "unexpected end of input at offset 0");
  EXPECT_EQ(skip(reader, *head, 1).error(), "unexpected end of input at offset 0");

  const Bytes cut_bytes = {0x59, 0x01, 0x00, 0x00};  // 256 bytes declared
  Reader bytes_reader(cut_bytes);
  head = bytes_reader.next_or_cut();
  ASSERT_TRUE(head);
  EXPECT_EQ(head->major, Major::Bytes);
  EXPECT_EQ(head->value, 256u);
  // Anything else that fails fails as with next(): a cut head, a cut array, a complete string.
  for (const Bytes& input : {Bytes{0x59, 0x01}, Bytes{0x98}, Bytes{0x9F}, Bytes{0x7F, 0x61}}) {
    Reader other(input);
    const auto plain = Reader(input).next();
    const auto lenient = other.next_or_cut();
    ASSERT_EQ(plain.ok(), lenient.ok());
    if (!plain) EXPECT_EQ(plain.error(), lenient.error());
    if (plain) EXPECT_FALSE(lenient->cut);
  }
}

TEST(CborSkip, LimitsNestingWithoutRecursion) {
  EXPECT_EQ(skip_first({0x81, 0x81, 0x00}, 2).first, "");
  EXPECT_EQ(skip_first({0x81, 0x81, 0x80}, 2).first, "recursion limit exceeded at offset 2");
  EXPECT_EQ(skip_first({0x81, 0xA0}, 1).first, "recursion limit exceeded at offset 1");

  // A million levels would overflow a recursive skipper's stack long before the input ends.
  const Bytes deep(1'000'000, 0x81);
  EXPECT_EQ(skip_first(deep, 256).first, "recursion limit exceeded at offset 256");
  const Bytes deep_unlimited_tags(1'000'000, 0xC0);  // tags do not nest
  EXPECT_EQ(skip_first(deep_unlimited_tags).first, "unexpected end of input at offset 1000000");
}

TEST(CborWriter, WritesShortestHeads) {
  Writer writer;
  writer.integer(23);
  writer.integer(24);
  writer.integer(-25);
  writer.head(Major::Map, 65536);
  writer.text("é");
  writer.null();
  EXPECT_EQ(writer.data(), (Bytes{0x17, 0x18, 0x18, 0x38, 0x18, 0xBA, 0x00, 0x01, 0x00, 0x00, 0x62, 0xC3, 0xA9, 0xF6}));

  // Each head, by the width of its argument: 1, 2, 4 and 8 following bytes, at both ends.
  struct Row {
    Major major;
    uint64_t value;
    Bytes bytes;
  };
  const Row rows[] = {
      {Major::Tag, 18, {0xD2}},
      {Major::Bytes, 255, {0x58, 0xFF}},
      {Major::Simple, 255, {0xF8, 0xFF}},
      {Major::Text, 256, {0x79, 0x01, 0x00}},
      {Major::Tag, 55799, {0xD9, 0xD9, 0xF7}},
      {Major::Array, 65536, {0x9A, 0x00, 0x01, 0x00, 0x00}},
      {Major::Negative, 0xFFFFFFFF, {0x3A, 0xFF, 0xFF, 0xFF, 0xFF}},
      {Major::Unsigned, 0x100000000, {0x1B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}},
      {Major::Map, UINT64_MAX, {0xBB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Row& row : rows) {
    Writer head;
    head.head(row.major, row.value);
    EXPECT_EQ(head.data(), row.bytes) << row.value;
  }
}

TEST(Utf8, IsValidAcceptsOnlyWellFormedText) {
  EXPECT_TRUE(utf8::is_valid(""));
  EXPECT_TRUE(utf8::is_valid("plain ascii"));
  EXPECT_TRUE(utf8::is_valid("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD"));  // é € 😀 U+FFFD
  for (const char* bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xF8\x88\x80\x80\x80", "ok\xFF", "\xE2\x82"}) {
    EXPECT_FALSE(utf8::is_valid(bad)) << bad;
  }
}

TEST(CborReader, ReadsEveryOneByteTag) {
  for (uint8_t tag = 0; tag < 24; ++tag) {
    const std::vector<uint8_t> bytes = {static_cast<uint8_t>(0xC0 + tag), 0x01};
    Reader reader(bytes);
    auto head = reader.next();
    ASSERT_TRUE(head.ok()) << "tag " << int{tag} << ": " << head.error();
    EXPECT_EQ(head->major, Major::Tag);
    EXPECT_EQ(head->value, tag);
    EXPECT_EQ(reader.offset(), 1u);
    auto item = reader.next();
    ASSERT_TRUE(item.ok());
    EXPECT_EQ(item->major, Major::Unsigned);
    EXPECT_TRUE(reader.at_end());
  }
}

TEST(CborReader, ReadsWiderTags) {
  const std::vector<uint8_t> bytes = {0xD8, 0x12, 0xD9, 0x01, 0x00};
  Reader reader(bytes);
  auto first = reader.next();
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->value, 18u);
  auto second = reader.next();
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second->value, 256u);
}

TEST(CborReader, HostileLengthCostsNothing) {
  // A byte string claiming 2^64 - 1 bytes, with four present.
  const std::vector<uint8_t> bytes = {0x5B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4};
  Reader reader(bytes);
  auto head = reader.next();
  ASSERT_FALSE(head.ok());
  EXPECT_EQ(head.error(), "unexpected end of input at offset 0");
}

}  // namespace
}  // namespace quelvane::internal::cbor
