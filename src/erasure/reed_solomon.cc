#include "erasure/reed_solomon.h"

#include <algorithm>
#include <array>
#include <numeric>
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
  // Row a is the exp table read from log a on. Plain pointers in the inner loop keep constant
  // evaluation within clang's step limit, which std::array's operator[] calls exceed.
  for (unsigned a = 1; a < 256; ++a) {
    uint8_t* row = table[a].data();
    const uint8_t* exp_from_a = kField.exp.data() + kField.log[a];
    const uint8_t* log = kField.log.data();
    for (unsigned b = 1; b < 256; ++b) row[b] = exp_from_a[log[b]];
  }
  return table;
}

constexpr ProductTable kProduct = make_product_table();

// dst[i] ^= factor * src[i] for every i.
void multiply_add(std::span<uint8_t> dst, std::span<const uint8_t> src, uint8_t factor) {
  if (factor == 0) return;
  const std::array<uint8_t, 256>& times_factor = kProduct[factor];
  for (size_t i = 0; i < dst.size(); ++i) dst[i] ^= times_factor[src[i]];
}

// Interpolation through d distinct points p_0..p_(d-1) of GF(2^8). Let V_p be the Vandermonde
// matrix V_p[j][c] = p_j^c. The values at the points of a polynomial of degree < d determine
// it, and its value at x is sum_j L_j(x) * value_j with the Lagrange basis
//   L_j(x) = prod_(m != j) (x - p_m) / (p_j - p_m),
// so the row (L_j(x))_j is (x^c)_c * V_p^-1: the closed form of the inverse of a Vandermonde
// matrix, which needs no elimination and cannot meet a singular matrix. Subtraction is XOR;
// the products are taken as sums of logarithms, every factor being non-zero.
class Interpolation {
 public:
  explicit Interpolation(std::vector<uint8_t> points) : points_(std::move(points)), log_weights_(points_.size()) {
    for (size_t j = 0; j < points_.size(); ++j) {
      unsigned log_denominator = 0;
      for (size_t m = 0; m < points_.size(); ++m) {
        if (m != j) log_denominator += kField.log[points_[j] ^ points_[m]];
      }
      log_weights_[j] = kNonZeroElements - log_denominator % kNonZeroElements;
    }
  }

  // (L_j(x))_j for a point x that is not one of the d points.
  void row_at(uint8_t x, std::span<uint8_t> out) const {
    unsigned log_all = 0;  // log of prod_m (x - p_m)
    for (uint8_t p : points_) log_all += kField.log[x ^ p];
    log_all %= kNonZeroElements;
    for (size_t j = 0; j < points_.size(); ++j) {
      const unsigned log_entry = log_all + log_weights_[j] + kNonZeroElements - kField.log[x ^ points_[j]];
      out[j] = kField.exp[log_entry % kNonZeroElements];
    }
  }

 private:
  std::vector<uint8_t> points_;
  std::vector<unsigned> log_weights_;  // log of 1 / prod_(m != j) (p_j - p_m), in 1..255
};

}  // namespace

std::string_view error_name(CodingError error) {
  static constexpr std::array<std::string_view, 7> kNames = {
      "TooFewShards",       "TooManyShards",       "TooFewDataShards", "TooFewParityShards",
      "IncorrectShardSize", "TooFewShardsPresent", "EmptyShard",
  };
  static_assert(kNames.size() == static_cast<size_t>(CodingError::EmptyShard) + 1);
  return kNames[static_cast<size_t>(error)];
}

Result<ReedSolomon, CodingError> ReedSolomon::build(size_t data_shards, size_t parity_shards) {
  if (data_shards == 0) return fail(CodingError::TooFewDataShards);
  if (parity_shards == 0) return fail(CodingError::TooFewParityShards);
  if (data_shards + parity_shards > kMaxTotalShards) return fail(CodingError::TooManyShards);

  // E = V * T^-1, with V the Vandermonde matrix V[r][c] = r^c over the points 0..n-1 and T
  // its top d rows. Row r of E is (r^c)_c * T^-1, interpolation through the points 0..d-1
  // at x = r: a codeword holds the values at 0..n-1 of the polynomial of degree < d whose
  // values at 0..d-1 are the data. The top d rows are T * T^-1, the identity.
  const size_t total = data_shards + parity_shards;
  std::vector<uint8_t> data_points(data_shards);
  std::iota(data_points.begin(), data_points.end(), uint8_t{0});
  const Interpolation from_data(std::move(data_points));
  std::vector<uint8_t> matrix(total * data_shards, 0);
  for (size_t r = 0; r < data_shards; ++r) matrix[r * data_shards + r] = 1;
  for (size_t r = data_shards; r < total; ++r) {
    from_data.row_at(static_cast<uint8_t>(r), std::span(matrix).subspan(r * data_shards, data_shards));
  }
  return ReedSolomon(data_shards, parity_shards, std::move(matrix));
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

  // With every data slot present the first d present slots are the data itself. Otherwise
  // the decode matrix S^-1, S being the rows of E at the chosen slots, is interpolation
  // through those slots' points: S = V_chosen * T^-1, so S^-1 = T * V_chosen^-1 and its
  // row k is (k^c)_c * V_chosen^-1.
  if (present.back() >= data_shards_) {
    std::vector<uint8_t> chosen_points(data_shards_);
    std::ranges::transform(present, chosen_points.begin(), [](size_t i) { return static_cast<uint8_t>(i); });
    const Interpolation from_chosen(std::move(chosen_points));
    std::vector<uint8_t> decode_row(data_shards_);
    for (size_t k = 0; k < data_shards_; ++k) {
      if (slots[k]) continue;
      from_chosen.row_at(static_cast<uint8_t>(k), decode_row);
      combine(decode_row, sources, slots[k].emplace());
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
