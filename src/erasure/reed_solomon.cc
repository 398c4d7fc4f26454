#include "erasure/reed_solomon.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

namespace quelvane::erasure {
namespace {

// GF(2^8) with reduction polynomial x^8 + x^4 + x^3 + x^2 + 1 and generator 2.
constexpr unsigned kFieldPolynomial = 0x11D;
constexpr unsigned kNonZeroElements = 255;

struct FieldTables {
  // exp is stored twice over so that log a + log b indexes it without a reduction.
  std::array<uint8_t, 2 * kNonZeroElements> exp{};
  std::array<uint8_t, 256> log{};
};

constexpr FieldTables make_field_tables() {
  FieldTables tables;
  unsigned x = 1;
  for (unsigned i = 0; i < kNonZeroElements; ++i) {
    tables.exp[i] = tables.exp[i + kNonZeroElements] = static_cast<uint8_t>(x);
    tables.log[x] = static_cast<uint8_t>(i);
    x <<= 1;
    if (x & 0x100) x ^= kFieldPolynomial;
  }
  return tables;
}

constexpr FieldTables kField = make_field_tables();

// The full product table (64 KiB): row operations index it without a branch on zero.
using ProductTable = std::array<std::array<uint8_t, 256>, 256>;

constexpr ProductTable make_product_table() {
  ProductTable table{};
  for (unsigned a = 1; a < 256; ++a) {
    for (unsigned b = 1; b < 256; ++b) table[a][b] = kField.exp[kField.log[a] + kField.log[b]];
  }
  return table;
}

constexpr ProductTable kProduct = make_product_table();

// The multiplicative inverse of a non-zero element.
uint8_t reciprocal(uint8_t a) { return kField.exp[kNonZeroElements - kField.log[a]]; }

// Row `point` of the Vandermonde matrix: point^0, point^1, ..., with 0^0 = 1.
std::vector<uint8_t> vandermonde_row(uint8_t point, size_t columns) {
  std::vector<uint8_t> row(columns);
  uint8_t value = 1;
  for (uint8_t& entry : row) {
    entry = value;
    value = kProduct[value][point];
  }
  return row;
}

// dst[i] ^= factor * src[i] for every i: the one row operation everything here is built on.
void multiply_add(std::span<uint8_t> dst, std::span<const uint8_t> src, uint8_t factor) {
  if (factor == 0) return;
  const std::array<uint8_t, 256>& times_factor = kProduct[factor];
  for (size_t i = 0; i < dst.size(); ++i) dst[i] ^= times_factor[src[i]];
}

void scale(std::span<uint8_t> row, uint8_t factor) {
  const std::array<uint8_t, 256>& times_factor = kProduct[factor];
  for (uint8_t& value : row) value = times_factor[value];
}

class Matrix {
 public:
  Matrix(size_t rows, size_t columns) : rows_(rows), columns_(columns), entries_(rows * columns, 0) {}

  static Matrix identity(size_t size) {
    Matrix m(size, size);
    for (size_t i = 0; i < size; ++i) m.at(i, i) = 1;
    return m;
  }

  size_t rows() const { return rows_; }
  uint8_t& at(size_t row, size_t column) { return entries_[row * columns_ + column]; }
  uint8_t at(size_t row, size_t column) const { return entries_[row * columns_ + column]; }
  std::span<uint8_t> row(size_t r) { return {entries_.data() + r * columns_, columns_}; }
  std::span<const uint8_t> row(size_t r) const { return {entries_.data() + r * columns_, columns_}; }
  void swap_rows(size_t a, size_t b) { std::swap_ranges(row(a).begin(), row(a).end(), row(b).begin()); }
  std::vector<uint8_t> release() && { return std::move(entries_); }
  // The same matrix grown (with zero rows) or cut to `rows` rows.
  Matrix with_rows(size_t rows) && {
    entries_.resize(rows * columns_, 0);
    rows_ = rows;
    return std::move(*this);
  }

 private:
  size_t rows_;
  size_t columns_;
  std::vector<uint8_t> entries_;
};

// Gauss-Jordan inverse of a square matrix. The coder only inverts d distinct rows of a
// Vandermonde-derived matrix over distinct points, which are always invertible: a missing
// pivot is a broken invariant, reported as an internal fault.
Matrix invert(Matrix m) {
  const size_t size = m.rows();
  Matrix inverse = Matrix::identity(size);
  for (size_t column = 0; column < size; ++column) {
    size_t pivot = column;
    while (pivot < size && m.at(pivot, column) == 0) ++pivot;
    if (pivot == size) throw std::logic_error("erasure coder: singular matrix");
    m.swap_rows(pivot, column);
    inverse.swap_rows(pivot, column);
    const uint8_t pivot_reciprocal = reciprocal(m.at(column, column));
    scale(m.row(column).subspan(column), pivot_reciprocal);
    scale(inverse.row(column), pivot_reciprocal);
    // Left of `column` the pivot row is already zero, so the row operations skip that part.
    for (size_t r = 0; r < size; ++r) {
      const uint8_t factor = m.at(r, column);
      if (r == column || factor == 0) continue;
      multiply_add(m.row(r).subspan(column), m.row(column).subspan(column), factor);
      multiply_add(inverse.row(r), inverse.row(column), factor);
    }
  }
  return inverse;
}

}  // namespace

std::string_view error_name(CodingError error) {
  static constexpr std::array<std::string_view, 13> kNames = {
      "TooFewShards",        "TooManyShards",      "TooFewDataShards",    "TooManyDataShards",
      "TooFewParityShards",  "TooManyParityShards", "TooFewBufferShards", "TooManyBufferShards",
      "IncorrectShardSize",  "TooFewShardsPresent", "EmptyShard",         "InvalidShardFlags",
      "InvalidIndex",
  };
  static_assert(kNames.size() == static_cast<size_t>(CodingError::InvalidIndex) + 1);
  return kNames[static_cast<size_t>(error)];
}

Result<ReedSolomon, CodingError> ReedSolomon::build(size_t data_shards, size_t parity_shards) {
  if (data_shards == 0) return fail(CodingError::TooFewDataShards);
  if (parity_shards == 0) return fail(CodingError::TooFewParityShards);
  if (data_shards + parity_shards > kMaxTotalShards) return fail(CodingError::TooManyShards);

  // E = V * T^-1, with V the Vandermonde matrix V[r][c] = r^c over the points 0..n-1 and
  // T its top d rows. The top d rows of E are T * T^-1, the identity, so data shards are
  // stored as they are; only the parity rows need the product.
  const size_t total = data_shards + parity_shards;
  Matrix top(data_shards, data_shards);
  for (size_t r = 0; r < data_shards; ++r) {
    std::ranges::copy(vandermonde_row(static_cast<uint8_t>(r), data_shards), top.row(r).begin());
  }
  const Matrix top_inverse = invert(std::move(top));
  Matrix encoding = Matrix::identity(data_shards).with_rows(total);
  for (size_t r = data_shards; r < total; ++r) {
    const std::vector<uint8_t> row = vandermonde_row(static_cast<uint8_t>(r), data_shards);
    for (size_t k = 0; k < data_shards; ++k) multiply_add(encoding.row(r), top_inverse.row(k), row[k]);
  }
  return ReedSolomon(data_shards, parity_shards, std::move(encoding).release());
}

Result<Ok, CodingError> ReedSolomon::check_shard_count(size_t count) const {
  if (count < total_shard_count()) return fail(CodingError::TooFewShards);
  if (count > total_shard_count()) return fail(CodingError::TooManyShards);
  return Ok{};
}

void ReedSolomon::combine(std::span<const uint8_t> coefficients, std::span<const Shard* const> inputs, Shard& out) {
  out.assign(inputs.front()->size(), 0);
  for (size_t j = 0; j < inputs.size(); ++j) multiply_add(out, *inputs[j], coefficients[j]);
}

Result<Ok, CodingError> ReedSolomon::encode(std::span<Shard> shards) const {
  if (auto counted = check_shard_count(shards.size()); !counted) return counted;
  if (std::ranges::any_of(shards, [](const Shard& s) { return s.empty(); })) return fail(CodingError::EmptyShard);
  const size_t length = shards.front().size();
  if (std::ranges::any_of(shards, [&](const Shard& s) { return s.size() != length; })) {
    return fail(CodingError::IncorrectShardSize);
  }
  std::vector<const Shard*> data(data_shards_);
  for (size_t c = 0; c < data_shards_; ++c) data[c] = &shards[c];
  const std::span<const uint8_t> entries(matrix_);
  for (size_t i = data_shards_; i < total_shard_count(); ++i) {
    combine(entries.subspan(i * data_shards_, data_shards_), data, shards[i]);
  }
  return Ok{};
}

Result<Ok, CodingError> ReedSolomon::reconstruct(std::span<ShardSlot> slots) const {
  if (auto counted = check_shard_count(slots.size()); !counted) return counted;
  std::vector<size_t> present;
  present.reserve(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!slots[i]) continue;
    if (slots[i]->empty()) return fail(CodingError::EmptyShard);
    present.push_back(i);
  }
  const size_t length = present.empty() ? 0 : slots[present.front()]->size();
  for (size_t i : present) {
    if (slots[i]->size() != length) return fail(CodingError::IncorrectShardSize);
  }
  if (present.size() == slots.size()) return Ok{};
  if (present.size() < data_shards_) return fail(CodingError::TooFewShardsPresent);

  // Only the first d present slots take part; any later ones are redundant.
  present.resize(data_shards_);
  std::vector<const Shard*> sources(data_shards_);
  for (size_t j = 0; j < data_shards_; ++j) sources[j] = &*slots[present[j]];

  // With every data slot present the first d present slots are the data itself.
  if (present.back() >= data_shards_) {
    Matrix chosen_rows(data_shards_, data_shards_);
    for (size_t j = 0; j < data_shards_; ++j) {
      std::copy_n(matrix_.begin() + present[j] * data_shards_, data_shards_, chosen_rows.row(j).begin());
    }
    const Matrix decode = invert(std::move(chosen_rows));
    for (size_t k = 0; k < data_shards_; ++k) {
      if (!slots[k]) combine(decode.row(k), sources, slots[k].emplace());
    }
  }

  std::vector<const Shard*> data(data_shards_);
  for (size_t c = 0; c < data_shards_; ++c) data[c] = &*slots[c];
  const std::span<const uint8_t> entries(matrix_);
  for (size_t i = data_shards_; i < total_shard_count(); ++i) {
    if (!slots[i]) combine(entries.subspan(i * data_shards_, data_shards_), data, slots[i].emplace());
  }
  return Ok{};
}

}  // namespace quelvane::erasure
