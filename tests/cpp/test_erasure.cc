#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <random>
#include <vector>

#include "erasure/reed_solomon.h"

namespace quelvane::erasure {
namespace {

// Carry-less multiplication reduced by x^8 + x^4 + x^3 + x^2 + 1, bit by bit: an
// arithmetic independent of the coder's log and exponent tables.
uint8_t slow_multiply(uint8_t a, uint8_t b) {
  unsigned product = 0;
  unsigned x = a;
  for (; b != 0; b >>= 1) {
    if (b & 1) product ^= x;
    x <<= 1;
    if (x & 0x100) x ^= 0x11D;
  }
  return static_cast<uint8_t>(product);
}

using Rows = std::vector<std::vector<uint8_t>>;

uint8_t table_multiply(uint8_t a, uint8_t b) {
  static const auto kProducts = [] {
    std::array<std::array<uint8_t, 256>, 256> table{};
    for (unsigned x = 0; x < 256; ++x) {
      for (unsigned y = 0; y < 256; ++y) table[x][y] = slow_multiply(static_cast<uint8_t>(x), static_cast<uint8_t>(y));
    }
    return table;
  }();
  return kProducts[a][b];
}

Rows product(const Rows& left, const Rows& right) {
  Rows out(left.size(), std::vector<uint8_t>(right.front().size(), 0));
  for (size_t r = 0; r < left.size(); ++r) {
    for (size_t k = 0; k < right.size(); ++k) {
      for (size_t c = 0; c < out[r].size(); ++c) out[r][c] ^= table_multiply(left[r][k], right[k][c]);
    }
  }
  return out;
}

// Gauss-Jordan elimination on [M | I].
Rows gauss_jordan_inverse(const Rows& m) {
  const size_t d = m.size();
  Rows aug(d, std::vector<uint8_t>(2 * d, 0));
  for (size_t r = 0; r < d; ++r) {
    std::copy(m[r].begin(), m[r].end(), aug[r].begin());
    aug[r][d + r] = 1;
  }
  for (size_t col = 0; col < d; ++col) {
    size_t pivot = col;
    while (aug[pivot][col] == 0) ++pivot;
    std::swap(aug[pivot], aug[col]);
    uint8_t inverse = 1;
    while (table_multiply(inverse, aug[col][col]) != 1) ++inverse;
    for (uint8_t& x : aug[col]) x = table_multiply(x, inverse);
    for (size_t r = 0; r < d; ++r) {
      const uint8_t f = aug[r][col];
      if (r == col || f == 0) continue;
      for (size_t c = 0; c < 2 * d; ++c) aug[r][c] ^= table_multiply(f, aug[col][c]);
    }
  }
  Rows inverse(d);
  for (size_t r = 0; r < d; ++r) inverse[r].assign(aug[r].begin() + d, aug[r].end());
  return inverse;
}

// The encoding matrix exactly as defined: V[r][c] = r^c over the points 0..n-1, T the top
// d x d block of V, E = V * T^-1.
Rows defined_encoding_matrix(size_t data_shards, size_t parity_shards) {
  Rows v(data_shards + parity_shards, std::vector<uint8_t>(data_shards));
  for (size_t r = 0; r < v.size(); ++r) {
    uint8_t power = 1;
    for (size_t c = 0; c < data_shards; ++c, power = table_multiply(power, static_cast<uint8_t>(r))) v[r][c] = power;
  }
  return product(v, gauss_jordan_inverse(Rows(v.begin(), v.begin() + data_shards)));
}

ReedSolomon build(size_t data_shards, size_t parity_shards) {
  auto coder = ReedSolomon::build(data_shards, parity_shards);
  EXPECT_TRUE(coder.ok());
  return std::move(coder).value();
}

Rows matrix_of(const ReedSolomon& coder) {
  Rows rows(coder.total_shard_count());
  for (size_t r = 0; r < rows.size(); ++r) {
    for (size_t c = 0; c < coder.data_shard_count(); ++c) rows[r].push_back(coder.coefficient(r, c));
  }
  return rows;
}

// A full codeword of `length`-byte shards over random data.
std::vector<Shard> random_codeword(const ReedSolomon& coder, size_t length, std::mt19937& rng) {
  std::vector<Shard> shards(coder.total_shard_count(), Shard(length, 0));
  for (size_t i = 0; i < coder.data_shard_count(); ++i) {
    for (uint8_t& b : shards[i]) b = static_cast<uint8_t>(rng());
  }
  EXPECT_TRUE(coder.encode(shards).ok());
  return shards;
}

std::vector<ShardSlot> to_slots(const std::vector<Shard>& shards) {
  return {shards.begin(), shards.end()};
}

TEST(Erasure, SmallMatricesAreVandermondeDerived) {
  EXPECT_EQ(matrix_of(build(2, 1)), (Rows{{1, 0}, {0, 1}, {3, 2}}));
  EXPECT_EQ(matrix_of(build(3, 2)), (Rows{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}, {15, 8, 6}}));
}

TEST(Erasure, WatermarkMatrixIsSystematicVandermondeTimesInverseTop) {
  const auto matrix = matrix_of(build(24, 24));
  EXPECT_EQ(matrix, defined_encoding_matrix(24, 24));
  for (size_t r = 0; r < 24; ++r) {
    for (size_t c = 0; c < 24; ++c) EXPECT_EQ(matrix[r][c], r == c ? 1 : 0);
  }
}

TEST(Erasure, AllShapesMatchTheDefinedMatrix) {
  for (auto [d, p] : {std::pair<size_t, size_t>{1, 1}, {1, 255}, {255, 1}, {128, 128}, {17, 200}, {5, 3}}) {
    EXPECT_EQ(matrix_of(build(d, p)), defined_encoding_matrix(d, p)) << d << "+" << p;
  }
}

TEST(Erasure, EncodesParityAsMatrixProduct) {
  std::vector<Shard> shards = {{0x12, 0x00}, {0x34, 0x01}, {0xAA, 0xAA}};
  ASSERT_TRUE(build(2, 1).encode(shards).ok());
  EXPECT_EQ(shards[0], (Shard{0x12, 0x00}));
  EXPECT_EQ(shards[1], (Shard{0x34, 0x01}));
  EXPECT_EQ(shards[2], (Shard{static_cast<uint8_t>(slow_multiply(3, 0x12) ^ slow_multiply(2, 0x34)), 2}));
}

TEST(Erasure, ZeroDataHasZeroParity) {
  std::vector<Shard> shards(48, Shard{0x5A});
  for (size_t i = 0; i < 24; ++i) shards[i] = {0};
  ASSERT_TRUE(build(24, 24).encode(shards).ok());
  for (const Shard& shard : shards) EXPECT_EQ(shard, Shard{0});
}

TEST(Erasure, RebuildsFromAny24Of48) {
  const ReedSolomon coder = build(24, 24);
  std::mt19937 rng(20240611);
  std::vector<size_t> order(48);
  std::iota(order.begin(), order.end(), 0);
  for (int trial = 0; trial < 300; ++trial) {
    const std::vector<Shard> codeword = random_codeword(coder, trial % 3 + 1, rng);
    std::shuffle(order.begin(), order.end(), rng);
    const size_t erased = 1 + trial % 24;
    std::vector<ShardSlot> slots = to_slots(codeword);
    for (size_t i = 0; i < erased; ++i) slots[order[i]].reset();
    ASSERT_TRUE(coder.reconstruct(slots).ok());
    for (size_t i = 0; i < 48; ++i) ASSERT_EQ(slots[i], codeword[i]) << "trial " << trial << " slot " << i;
  }
}

TEST(Erasure, RebuildsFromOnlyDataOrOnlyParity) {
  const ReedSolomon coder = build(24, 24);
  std::mt19937 rng(7);
  const std::vector<Shard> codeword = random_codeword(coder, 4, rng);
  for (size_t first_erased : {0, 24}) {
    std::vector<ShardSlot> slots = to_slots(codeword);
    for (size_t i = first_erased; i < first_erased + 24; ++i) slots[i].reset();
    ASSERT_TRUE(coder.reconstruct(slots).ok());
    for (size_t i = 0; i < 48; ++i) EXPECT_EQ(slots[i], codeword[i]);
  }
}

TEST(Erasure, TwentyThreePresentIsTooFew) {
  const ReedSolomon coder = build(24, 24);
  std::mt19937 rng(11);
  std::vector<ShardSlot> slots = to_slots(random_codeword(coder, 1, rng));
  for (size_t i = 0; i < 25; ++i) slots[(i * 7) % 48].reset();
  auto result = coder.reconstruct(slots);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), CodingError::TooFewShardsPresent);
  EXPECT_EQ(error_name(result.error()), "TooFewShardsPresent");

  std::vector<ShardSlot> none(48);
  ASSERT_FALSE(coder.reconstruct(none).ok());
  EXPECT_EQ(coder.reconstruct(none).error(), CodingError::TooFewShardsPresent);
}

TEST(Erasure, AllPresentIsReturnedUnchangedEvenIfAltered) {
  const ReedSolomon coder = build(24, 24);
  std::mt19937 rng(3);
  std::vector<ShardSlot> slots = to_slots(random_codeword(coder, 1, rng));
  (*slots[5])[0] ^= 0xFF;
  (*slots[40])[0] ^= 0x01;
  const std::vector<ShardSlot> before = slots;
  ASSERT_TRUE(coder.reconstruct(slots).ok());
  EXPECT_EQ(slots, before);
}

TEST(Erasure, OnlyFirst24PresentSlotsDetermineRebuiltData) {
  const ReedSolomon coder = build(24, 24);
  std::mt19937 rng(5);
  const std::vector<Shard> codeword = random_codeword(coder, 1, rng);
  std::vector<ShardSlot> slots = to_slots(codeword);
  slots[0].reset();
  slots[1].reset();
  (*slots[30])[0] ^= 0x5C;  // present, but beyond slots 2..25
  ASSERT_TRUE(coder.reconstruct(slots).ok());
  for (size_t i = 0; i < 48; ++i) {
    if (i != 30) EXPECT_EQ(slots[i], codeword[i]) << "slot " << i;
  }
  EXPECT_EQ((*slots[30])[0], codeword[30][0] ^ 0x5C);  // a present shard is never altered
}

TEST(Erasure, RebuildsDataWithTheInverseOfTheFirst24PresentRows) {
  const ReedSolomon coder = build(24, 24);
  std::mt19937 rng(9);
  std::vector<ShardSlot> slots = to_slots(random_codeword(coder, 2, rng));
  const std::vector<size_t> erased = {3, 10, 29, 47};
  for (size_t i : erased) slots[i].reset();
  (*slots[2])[1] ^= 0x80;  // among the first 24 present: it spoils the rebuilt shards, not itself
  const std::vector<ShardSlot> before = slots;
  ASSERT_TRUE(coder.reconstruct(slots).ok());
  for (size_t i = 0; i < 48; ++i) {
    ASSERT_TRUE(slots[i].has_value());
    if (before[i]) EXPECT_EQ(slots[i], before[i]) << "present slot " << i << " altered";
  }

  const Rows e = defined_encoding_matrix(24, 24);
  std::vector<size_t> chosen;
  for (size_t i = 0; chosen.size() < 24; ++i) {
    if (before[i]) chosen.push_back(i);
  }
  Rows s;
  for (size_t i : chosen) s.push_back(e[i]);
  const Rows decode = gauss_jordan_inverse(s);
  for (size_t k : {3, 10}) {
    for (size_t byte = 0; byte < 2; ++byte) {
      uint8_t expected = 0;
      for (size_t j = 0; j < 24; ++j) expected ^= table_multiply(decode[k][j], (*before[chosen[j]])[byte]);
      EXPECT_EQ((*slots[k])[byte], expected) << "slot " << k;
    }
  }
}

TEST(Erasure, BuildRejectsBadShardCounts) {
  struct Case {
    size_t data, parity;
    CodingError error;
  };
  for (const Case& c : {Case{0, 1, CodingError::TooFewDataShards}, Case{0, 0, CodingError::TooFewDataShards},
                        Case{1, 0, CodingError::TooFewParityShards}, Case{200, 57, CodingError::TooManyShards},
                        Case{256, 1, CodingError::TooManyShards}}) {
    auto coder = ReedSolomon::build(c.data, c.parity);
    ASSERT_FALSE(coder.ok()) << c.data << "+" << c.parity;
    EXPECT_EQ(coder.error(), c.error) << c.data << "+" << c.parity;
  }
  EXPECT_TRUE(ReedSolomon::build(128, 128).ok());
}

TEST(Erasure, EncodeRejectsBadShards) {
  const ReedSolomon coder = build(2, 1);
  struct Case {
    std::vector<Shard> shards;
    CodingError error;
  };
  for (Case c : {Case{{{1}, {2}}, CodingError::TooFewShards}, Case{{{1}, {2}, {3}, {4}}, CodingError::TooManyShards},
                 Case{{{1}, {}, {3}}, CodingError::EmptyShard}, Case{{{1}, {2, 2}, {3}}, CodingError::IncorrectShardSize},
                 Case{{{1}, {2}, {3, 3}}, CodingError::IncorrectShardSize}}) {
    auto result = coder.encode(c.shards);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.error) << error_name(c.error);
  }
}

TEST(Erasure, ReconstructRejectsBadSlots) {
  const ReedSolomon coder = build(2, 1);
  struct Case {
    std::vector<ShardSlot> slots;
    CodingError error;
  };
  for (Case c : {Case{{Shard{1}, Shard{2}}, CodingError::TooFewShards},
                 Case{{Shard{1}, Shard{2}, Shard{3}, std::nullopt}, CodingError::TooManyShards},
                 Case{{Shard{1}, Shard{}, std::nullopt}, CodingError::EmptyShard},
                 Case{{Shard{1, 1}, std::nullopt, Shard{3}}, CodingError::IncorrectShardSize},
                 Case{{Shard{1}, std::nullopt, std::nullopt}, CodingError::TooFewShardsPresent}}) {
    auto result = coder.reconstruct(c.slots);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.error) << error_name(c.error);
  }
}

TEST(Erasure, ErrorNames) {
  const std::vector<std::pair<CodingError, std::string_view>> names = {
      {CodingError::TooFewShards, "TooFewShards"},
      {CodingError::TooManyShards, "TooManyShards"},
      {CodingError::TooFewDataShards, "TooFewDataShards"},
      {CodingError::TooFewParityShards, "TooFewParityShards"},
      {CodingError::IncorrectShardSize, "IncorrectShardSize"},
      {CodingError::TooFewShardsPresent, "TooFewShardsPresent"},
      {CodingError::EmptyShard, "EmptyShard"},
  };
  for (const auto& [error, name] : names) EXPECT_EQ(error_name(error), name);
}

}  // namespace
}  // namespace quelvane::erasure
