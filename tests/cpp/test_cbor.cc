#include "internal/cbor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace quelvane::internal::cbor {
namespace {

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

TEST(CborReader, ReadsWiderTagsThroughLibcbor) {
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
