// Systematic Reed-Solomon erasure code over GF(2^8): d data shards and p parity shards,
// any d of which rebuild all the others. The watermark codeword is laid out with this
// code, so the field polynomial, the encoding matrix and the choice of shards are fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "internal/result.h"

namespace quelvane::erasure {

// The failures the coder reports; error_name gives the name carried in a Coding error.
enum class CodingError {
  TooFewShards,
  TooManyShards,
  TooFewDataShards,
  TooFewParityShards,
  IncorrectShardSize,
  TooFewShardsPresent,
  EmptyShard,
};

// The failure's name as other implementations of the format spell it, e.g. "TooFewShardsPresent".
std::string_view error_name(CodingError error);

using Shard = std::vector<uint8_t>;
// A shard that may have been lost: std::nullopt marks an erasure.
using ShardSlot = std::optional<Shard>;

class ReedSolomon {
 public:
  static constexpr size_t kMaxTotalShards = 256;

  // A coder for `data_shards` + `parity_shards` shards. Fails with TooFewDataShards (d = 0),
  // TooFewParityShards (p = 0) or TooManyShards (d + p > 256).
  [[nodiscard]] static Result<ReedSolomon, CodingError> build(size_t data_shards, size_t parity_shards);

  size_t data_shard_count() const { return data_shards_; }
  size_t total_shard_count() const { return data_shards_ + parity_shards_; }

  // Entry (row, column) of the encoding matrix: total_shard_count() rows, data_shard_count() columns.
  uint8_t coefficient(size_t row, size_t column) const { return matrix_[row * data_shards_ + column]; }

  // Overwrites the parity shards (the last p of `shards`) with the parity of the first d.
  // All shards must be non-empty and of one length.
  [[nodiscard]] Result<Ok, CodingError> encode(std::span<Shard> shards) const;

  // Fills every empty slot, data and parity, from the first d present slots in slot order.
  // Present shards are never altered; with all slots present they are left as they are, with
  // no check that they still form a codeword.
  // Fails with TooFewShardsPresent when fewer than d slots hold a shard.
  [[nodiscard]] Result<Ok, CodingError> reconstruct(std::span<ShardSlot> slots) const;

 private:
  ReedSolomon(size_t data_shards, size_t parity_shards, std::vector<uint8_t> matrix)
      : data_shards_(data_shards), parity_shards_(parity_shards), matrix_(std::move(matrix)) {}

  Result<Ok, CodingError> check_shard_count(size_t count) const;
  // Writes into `out` the combination of `inputs` weighted by `coefficients` (one per input).
  static void combine(std::span<const uint8_t> coefficients, std::span<const Shard* const> inputs, Shard& out);

  size_t data_shards_;
  size_t parity_shards_;
  std::vector<uint8_t> matrix_;  // row-major, total_shard_count() x data_shard_count()
};

}  // namespace quelvane::erasure
