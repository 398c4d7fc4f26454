#include "internal/edwards25519.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace quelvane::internal::edwards25519 {
namespace {

using Encoding = std::array<uint8_t, 32>;

// Little-endian y with the sign bit of x in the top bit of the last byte.
Encoding encode(std::initializer_list<uint8_t> low_bytes, uint8_t top = 0) {
  Encoding e{};
  std::copy(low_bytes.begin(), low_bytes.end(), e.begin());
  e[31] |= top;
  return e;
}

// y = p - k for small k, i.e. -k mod p.
Encoding minus(uint8_t k) {
  Encoding e;
  e.fill(0xFF);
  e[0] = static_cast<uint8_t>(0xED - k);
  e[31] = 0x7F;
  return e;
}

TEST(Edwards25519, AcceptsTheBasePointAndRfc8032Keys) {
  // y = 4/5 of the base point, and the public key of RFC 8032 §7.1 test 1.
  const Encoding base = {0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                         0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
  const Encoding test1 = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe, 0xd3, 0xc9, 0x64, 0x07, 0x3a,
                          0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6, 0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
  EXPECT_TRUE(is_point_encoding(base));
  EXPECT_TRUE(is_point_encoding(test1));
}

TEST(Edwards25519, AcceptsSmallOrderPoints) {
  EXPECT_TRUE(is_point_encoding(encode({1})));  // the identity (0, 1)
  EXPECT_TRUE(is_point_encoding(minus(1)));     // (0, -1), order 2
  EXPECT_TRUE(is_point_encoding(encode({})));   // y = 0: (+-sqrt(-1), 0), order 4
  EXPECT_TRUE(is_point_encoding(encode({}, 0x80)));
}

TEST(Edwards25519, RejectsYWithoutASquareRoot) {
  EXPECT_FALSE(is_point_encoding(encode({2})));  // y = 2 is not on the curve
}

TEST(Edwards25519, RejectsNonCanonicalEncodings) {
  // x = 0 with the sign bit set.
  EXPECT_FALSE(is_point_encoding(encode({1}, 0x80)));
  EXPECT_FALSE(is_point_encoding([] { auto e = minus(1); e[31] |= 0x80; return e; }()));
  // y >= p: p itself (= 0) and p + 1 (= 1) name curve points but are not their encodings.
  EXPECT_FALSE(is_point_encoding(minus(0)));
  Encoding p_plus_1 = minus(0);
  p_plus_1[0] = 0xEE;
  EXPECT_FALSE(is_point_encoding(p_plus_1));
  // Just below p: -1, on the curve, as above.
  EXPECT_TRUE(is_point_encoding(minus(1)));
}

}  // namespace
}  // namespace quelvane::internal::edwards25519
