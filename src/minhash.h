// The MinHash of a text (id 44): for each of 128 hash functions, the smallest hash over the
// text's 5-word shingles, so that the share of equal positions in two signatures estimates
// how many word sequences the texts share; and 32 band keys (4 values each) for discovery.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quelvane::minhash {

inline constexpr size_t kNumPerm = 128;
inline constexpr size_t kBandRows = 4;
inline constexpr size_t kNumBands = kNumPerm / kBandRows;
inline constexpr size_t kShingleWords = 5;
inline constexpr uint64_t kPrime = (uint64_t{1} << 61) - 1;  // the Mersenne prime 2^61 - 1

// The hash function i maps x to (a[i] * x mod P + b[i]) mod P.
struct Parameters {
  std::array<uint64_t, kNumPerm> a;
  std::array<uint64_t, kNumPerm> b;
};

// The 128 pairs, drawn from SplitMix64 started at 0x0123456789ABCDEF.
const Parameters& parameters();

struct MinHash {
  std::array<uint64_t, kNumPerm> signature{};
  std::array<uint64_t, kNumBands> bands{};

  // The MinHash of the shingles of the text's canonical stream; all-zero signature when it
  // has no words.
  static MinHash compute(std::string_view text);
  // A MinHash with the given signature and its bands.
  static MinHash from_signature(std::span<const uint64_t, kNumPerm> values);
  // Whether any band of this equals any band of `other`, at any index.
  bool shares_band(const MinHash& other) const;
};

// Lowers each signature[i] to the value of hash function i at every x in `xs` (shingle
// hashes below P) where that is smaller; signature values must not exceed P. Runs the widest
// vector form the CPU has; every form gives the same result.
void update_signature(std::span<const uint64_t> xs, std::array<uint64_t, kNumPerm>& signature);

using SignatureUpdate = void (*)(std::span<const uint64_t>, std::array<uint64_t, kNumPerm>&);
// The forms this CPU can run: the portable one first, then wider vector forms.
std::vector<SignatureUpdate> signature_updates();

// FNV-1a 64 over the four values as little-endian bytes.
uint64_t band_hash(uint64_t r0, uint64_t r1, uint64_t r2, uint64_t r3);

}  // namespace quelvane::minhash
