// The CBOR head reader: every well-formed head, including the unassigned simple values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "internal/cbor.h"

namespace quelvane::internal::cbor {
namespace {

using Bytes = std::vector<uint8_t>;

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
      {{0xFC}, "malformed item at offset 0"},
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

TEST(CborWriter, WritesShortestHeads) {
  Writer writer;
  writer.integer(23);
  writer.integer(24);
  writer.integer(-25);
  writer.head(Major::Map, 65536);
  writer.text("é");
  writer.null();
  EXPECT_EQ(writer.data(), (Bytes{0x17, 0x18, 0x18, 0x38, 0x18, 0xBA, 0x00, 0x01, 0x00, 0x00, 0x62, 0xC3, 0xA9, 0xF6}));
}

}  // namespace
}  // namespace quelvane::internal::cbor
