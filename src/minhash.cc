#include "minhash.h"

#include <algorithm>
#include <limits>

#include "normalize.h"

namespace quelvane::minhash {
namespace {

constexpr uint64_t kFnvOffsetBasis = 0xCBF29CE484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001B3ULL;

constexpr uint64_t fnv1a_byte(uint64_t hash, uint8_t byte) { return (hash ^ byte) * kFnvPrime; }

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = kFnvOffsetBasis;
  for (char c : bytes) hash = fnv1a_byte(hash, static_cast<uint8_t>(c));
  return hash;
}

// x mod P for any 64-bit x: 2^61 is 1 modulo P, so the bits above 61 fold onto the low ones.
constexpr uint64_t reduce64(uint64_t x) {
  const uint64_t r = (x & kPrime) + (x >> 61);
  return r >= kPrime ? r - kPrime : r;
}

// a * x mod P for a, x below P. The exact product has up to 122 bits; its part above bit 61
// is below 2^61 and folds onto the low 61 bits as above, with no division.
constexpr uint64_t mul_mod(uint64_t a, uint64_t x) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * x;
  const uint64_t r = (static_cast<uint64_t>(product) & kPrime) + static_cast<uint64_t>(product >> 61);
  return r >= kPrime ? r - kPrime : r;
}

constexpr uint64_t add_mod(uint64_t a, uint64_t b) {
  const uint64_t r = a + b;
  return r >= kPrime ? r - kPrime : r;
}

constexpr uint64_t kSplitMixSeed = 0x0123456789ABCDEFULL;

class SplitMix64 {
 public:
  constexpr explicit SplitMix64(uint64_t state) : state_(state) {}
  constexpr uint64_t next() {
    state_ += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

 private:
  uint64_t state_;
};

constexpr Parameters make_parameters() {
  SplitMix64 generator(kSplitMixSeed);
  Parameters p{};
  for (size_t i = 0; i < kNumPerm; ++i) {
    p.a[i] = 1 + generator.next() % (kPrime - 1);
    p.b[i] = generator.next() % kPrime;
  }
  return p;
}

constexpr Parameters kParameters = make_parameters();

// Calls f(shingle) for each shingle of a canonical stream, as a view into it: the stream's
// words are already joined by single spaces, so a shingle is the span from the start of its
// first word to the end of its fifth.
template <typename F>
void for_each_shingle(std::string_view stream, F&& f) {
  std::array<size_t, kShingleWords> starts{};  // of the last five words, cyclically
  size_t words = 0;
  for (size_t begin = 0; begin < stream.size();) {
    size_t end = stream.find(' ', begin);
    if (end == std::string_view::npos) end = stream.size();
    starts[words % kShingleWords] = begin;
    ++words;
    if (words >= kShingleWords) {
      const size_t first = starts[words % kShingleWords];
      f(stream.substr(first, end - first));
    }
    begin = end + 1;
  }
  if (words > 0 && words < kShingleWords) f(stream);
}

std::array<uint64_t, kNumBands> bands_of(const std::array<uint64_t, kNumPerm>& signature) {
  std::array<uint64_t, kNumBands> bands;
  for (size_t j = 0; j < kNumBands; ++j) {
    const uint64_t* r = &signature[kBandRows * j];
    bands[j] = band_hash(r[0], r[1], r[2], r[3]);
  }
  return bands;
}

}  // namespace

const Parameters& parameters() { return kParameters; }

MinHash MinHash::compute(std::string_view text) {
  const std::string stream = normalize::canonical(text);
  MinHash out;
  if (!stream.empty()) {
    out.signature.fill(std::numeric_limits<uint64_t>::max());
    for_each_shingle(stream, [&](std::string_view shingle) {
      const uint64_t x = reduce64(fnv1a(shingle));
      for (size_t i = 0; i < kNumPerm; ++i) {
        const uint64_t v = add_mod(mul_mod(kParameters.a[i], x), kParameters.b[i]);
        out.signature[i] = std::min(out.signature[i], v);
      }
    });
  }
  out.bands = bands_of(out.signature);
  return out;
}

MinHash MinHash::from_signature(std::span<const uint64_t, kNumPerm> values) {
  MinHash out;
  std::copy(values.begin(), values.end(), out.signature.begin());
  out.bands = bands_of(out.signature);
  return out;
}

bool MinHash::shares_band(const MinHash& other) const {
  for (uint64_t mine : bands) {
    if (std::find(other.bands.begin(), other.bands.end(), mine) != other.bands.end()) return true;
  }
  return false;
}

uint64_t band_hash(uint64_t r0, uint64_t r1, uint64_t r2, uint64_t r3) {
  uint64_t hash = kFnvOffsetBasis;
  for (uint64_t value : {r0, r1, r2, r3}) {
    for (int byte = 0; byte < 8; ++byte) hash = fnv1a_byte(hash, static_cast<uint8_t>(value >> (8 * byte)));
  }
  return hash;
}

std::vector<std::string> shingles(std::span<const std::string> words) {
  std::vector<std::string> out;
  if (words.empty()) return out;
  const size_t count = words.size() < kShingleWords ? 1 : words.size() - kShingleWords + 1;
  const size_t width = std::min(words.size(), kShingleWords);
  for (size_t k = 0; k < count; ++k) {
    std::string& shingle = out.emplace_back(words[k]);
    for (size_t w = k + 1; w < k + width; ++w) shingle.append(" ").append(words[w]);
  }
  return out;
}

}  // namespace quelvane::minhash
