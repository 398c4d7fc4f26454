#include "minhash.h"

#if defined(__x86_64__)
// GCC 12 warns that the AVX-512 intrinsics' own placeholder operand (_mm512_undefined) may be
// used uninitialised when they inline into a target-attributed function; the warning is about
// the header, not this code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>

#include "normalize.h"

namespace quelvane::minhash {
namespace {

constexpr uint64_t kFnvOffsetBasis = 0xCBF29CE484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001B3ULL;

constexpr uint64_t fnv1a_byte(uint64_t hash, uint8_t byte) { return (hash ^ byte) * kFnvPrime; }

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

// Calls at_space(i) for the offset i of every U+0020 in the text, in order.
template <typename AtSpace>
void for_each_space(std::string_view text, AtSpace&& at_space) {
  size_t i = 0;
#if defined(__SSE2__)
  constexpr size_t kBlock = 16;
  const __m128i spaces = _mm_set1_epi8(' ');
  for (; i + kBlock <= text.size(); i += kBlock) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    for (auto found = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, spaces))); found != 0;
         found &= found - 1) {
      at_space(i + static_cast<size_t>(__builtin_ctz(found)));
    }
  }
#endif
  for (; i < text.size(); ++i) {
    if (text[i] == ' ') at_space(i);
  }
}

// The shingles of a canonical stream read in pieces (see normalize::for_each_canonical_piece):
// the stream's words are joined by single spaces, so a shingle is the span from the start of
// its first word to the end of its fifth. Between pieces only the words a later shingle starts
// with and the unfinished word are kept.
class ShingleWindow {
 public:
  // `text_bytes`: the size of the text whose stream is read. A word longer than a piece grows
  // the window at once to that size rather than by doubling, which would hold two copies of it.
  explicit ShingleWindow(size_t text_bytes) : text_bytes_(text_bytes) {}

  // Calls f(shingle) for each shingle that ends in the piece, as a view that lives until the
  // next call.
  template <typename F>
  void read(std::string_view piece, F&& f) {
    drop_read_words();
    const size_t scanned = text_.size();
    if (const size_t needed = scanned + piece.size(); needed > text_.capacity()) {
      text_.reserve(scanned > piece.size() ? std::max(needed, text_bytes_) : 2 * needed);
    }
    text_.append(piece);
    for_each_space(std::string_view(text_).substr(scanned), [&](size_t i) { end_word(scanned + i, f); });
  }

  // Calls f(shingle) for the shingles that end with the stream.
  template <typename F>
  void finish(F&& f) {
    if (begin_ < text_.size()) end_word(text_.size(), f);
    if (words_ > 0 && words_ < kShingleWords) f(std::string_view(text_));  // one shingle of all the words
  }

 private:
  template <typename F>
  void end_word(size_t end, F& f) {
    starts_[words_ % kShingleWords] = begin_;
    ++words_;
    if (words_ >= kShingleWords) {
      const size_t first = starts_[words_ % kShingleWords];
      f(std::string_view(text_).substr(first, end - first));
    }
    begin_ = end + 1;
  }

  // The next shingle starts at the fourth word from the end; nothing before it is read again.
  void drop_read_words() {
    if (words_ < kShingleWords) return;
    const size_t keep = starts_[(words_ + 1) % kShingleWords];
    text_.erase(0, keep);
    for (size_t& start : starts_) start -= std::min(start, keep);
    begin_ -= keep;
  }

  size_t text_bytes_;
  std::string text_;
  std::array<size_t, kShingleWords> starts_{};  // of the last five words, cyclically
  size_t words_ = 0;
  size_t begin_ = 0;  // of the word being read
};

std::array<uint64_t, kNumBands> bands_of(const std::array<uint64_t, kNumPerm>& signature) {
  std::array<uint64_t, kNumBands> bands;
  for (size_t j = 0; j < kNumBands; ++j) {
    const uint64_t* r = &signature[kBandRows * j];
    bands[j] = band_hash(r[0], r[1], r[2], r[3]);
  }
  return bands;
}

// FNV-1a of up to kFnvLanes byte strings at once. One string's hash is a chain of dependent
// multiplications; running several chains side by side lets them overlap. The lanes run in
// lockstep to the end of the shortest string, then past their own ends keep their hash
// without a branch (reading, and not using, their last byte).
constexpr size_t kFnvLanes = 4;

void fnv1a_lanes(const std::array<std::string_view, kFnvLanes>& strings, size_t count, uint64_t* out) {
  static constexpr uint8_t kNoByte = 0;
  std::array<uint64_t, kFnvLanes> hash;
  std::array<const uint8_t*, kFnvLanes> bytes;
  std::array<size_t, kFnvLanes> size;
  hash.fill(kFnvOffsetBasis);
  for (size_t s = 0; s < kFnvLanes; ++s) {
    const bool used = s < count && !strings[s].empty();
    bytes[s] = used ? reinterpret_cast<const uint8_t*>(strings[s].data()) : &kNoByte;
    size[s] = used ? strings[s].size() : 0;
  }
  const size_t shortest = *std::min_element(size.begin(), size.end());
  const size_t longest = *std::max_element(size.begin(), size.end());
  for (size_t j = 0; j < shortest; ++j) {
    for (size_t s = 0; s < kFnvLanes; ++s) hash[s] = fnv1a_byte(hash[s], bytes[s][j]);
  }
  for (size_t j = shortest; j < longest; ++j) {
    for (size_t s = 0; s < kFnvLanes; ++s) {
      const uint64_t inside = uint64_t{0} - (j < size[s]);  // all ones while j is inside
      const uint64_t next = fnv1a_byte(hash[s], bytes[s][std::min(j, size[s] - (size[s] > 0))]);
      hash[s] = (next & inside) | (hash[s] & ~inside);
    }
  }
  std::copy(hash.begin(), hash.begin() + count, out);
}

// Shingles wait for others of their length before they are hashed, kFnvLanes at a time, so
// that the lanes end together: each length below kExactLengths has a queue of its own, longer
// shingles share one per kCoarseStep bytes of length, and the last queue takes the rest.
constexpr size_t kExactLengths = 64;
constexpr size_t kCoarseStep = 16;
constexpr size_t kQueues = 128;

constexpr size_t queue_of(size_t length) {
  if (length < kExactLengths) return length;
  return std::min(kExactLengths + (length - kExactLengths) / kCoarseStep, kQueues - 1);
}

// Calls on_values(xs) with x = FNV-1a mod P for every shingle of the text's canonical stream,
// read in pieces, in batches of up to kBatchValues and in no particular order (a minimum does
// not depend on it), except that a value found in a small direct-mapped cache of recent values
// is dropped: a repeated shingle cannot change a minimum, and repeats in text (boilerplate,
// refrains, lists) are mostly near each other. Nothing is kept per shingle.
template <typename OnValues>
void for_each_shingle_values(std::string_view text, OnValues&& on_values) {
  constexpr int kCacheBits = 12;
  constexpr size_t kBatchValues = 4096;
  std::vector<uint64_t> recent(size_t{1} << kCacheBits, ~uint64_t{0});  // never a value mod P
  std::vector<uint64_t> values;
  values.reserve(kBatchValues);
  std::vector<std::array<std::string_view, kFnvLanes>> queues(kQueues);
  std::array<uint8_t, kQueues> waiting{};
  auto hash = [&](const std::array<std::string_view, kFnvLanes>& batch, size_t count) {
    std::array<uint64_t, kFnvLanes> hashes;
    fnv1a_lanes(batch, count, hashes.data());
    for (size_t s = 0; s < count; ++s) {
      const uint64_t x = reduce64(hashes[s]);
      uint64_t& slot = recent[(x * 0x9E3779B97F4A7C15ULL) >> (64 - kCacheBits)];
      if (slot == x) continue;
      slot = x;
      values.push_back(x);
    }
    if (values.size() + kFnvLanes > kBatchValues) {
      on_values(std::span<const uint64_t>(values));
      values.clear();
    }
  };
  // Waiting shingles are views into the window, hashed before it moves on: the rest of each
  // queue goes with the rest of the next ones, in order of length.
  auto hash_waiting = [&] {
    std::array<std::string_view, kFnvLanes> batch;
    size_t count = 0;
    for (size_t q = 0; q < kQueues; ++q) {
      for (size_t s = 0; s < waiting[q]; ++s) {
        batch[count++] = queues[q][s];
        if (count == kFnvLanes) {
          hash(batch, count);
          count = 0;
        }
      }
      waiting[q] = 0;
    }
    hash(batch, count);
  };
  auto queue = [&](std::string_view shingle) {
    const size_t q = queue_of(shingle.size());
    queues[q][waiting[q]] = shingle;
    if (++waiting[q] == kFnvLanes) {
      hash(queues[q], kFnvLanes);
      waiting[q] = 0;
    }
  };
  ShingleWindow window(text.size());
  normalize::for_each_canonical_piece(text, [&](std::string_view piece) {
    window.read(piece, queue);
    hash_waiting();
  });
  window.finish(queue);
  hash_waiting();
  if (!values.empty()) on_values(std::span<const uint64_t>(values));
}

void update_portable(std::span<const uint64_t> xs, std::array<uint64_t, kNumPerm>& signature) {
  for (uint64_t x : xs) {
    for (size_t i = 0; i < kNumPerm; ++i) {
      signature[i] = std::min(signature[i], add_mod(mul_mod(kParameters.a[i], x), kParameters.b[i]));
    }
  }
}

#if defined(__x86_64__)
// The vector form multiplies 31-bit pieces, which 32-bit lane products take exactly: with
// a = a1 2^31 + a0 and x = x1 2^31 + x0 (a1, x1 below 2^30),
//   a x = a1 x1 2^62 + (a1 x0 + a0 x1) 2^31 + a0 x0,
// and modulo P (where 2^61 is 1 and 2^62 is 2) this is 2 a1 x1 + m 2^31 + a0 x0 with
// m 2^31 = (m >> 30) 2^61 + (m mod 2^30) 2^31 folding to (m >> 30) + (m mod 2^30) 2^31.
// With b the sum stays below 5 2^61 + 2^32 (no overflow) and folds once more, to at most
// P + 4; one conditional subtraction of P ends it. Each pass keeps a group of functions'
// parameters and minima in registers and runs every x through them.
constexpr uint64_t kLow30 = (uint64_t{1} << 30) - 1;
constexpr uint64_t kLow31 = (uint64_t{1} << 31) - 1;

// The pieces of every a: a0, a1 and 2 a1, each below 2^31.
struct Pieces {
  std::array<uint64_t, kNumPerm> low, high, high_twice;
};
constexpr Pieces kPieces = [] {
  Pieces p{};
  for (size_t i = 0; i < kNumPerm; ++i) {
    p.low[i] = kParameters.a[i] & kLow31;
    p.high[i] = kParameters.a[i] >> 31;
    p.high_twice[i] = 2 * p.high[i];
  }
  return p;
}();

// Four functions per register; the folded values stay below 2^62, so signed comparisons order
// them.
__attribute__((target("avx2"))) void update_avx2(std::span<const uint64_t> xs,
                                                 std::array<uint64_t, kNumPerm>& signature) {
  constexpr size_t kLanes = 4;
  constexpr size_t kGroup = 2;  // registers per pass
  const __m256i prime = _mm256_set1_epi64x(static_cast<int64_t>(kPrime));
  const __m256i below_prime = _mm256_set1_epi64x(static_cast<int64_t>(kPrime - 1));
  const __m256i low30 = _mm256_set1_epi64x(static_cast<int64_t>(kLow30));
  for (size_t first = 0; first < kNumPerm; first += kLanes * kGroup) {
    __m256i a0[kGroup], a1[kGroup], a1x2[kGroup], b[kGroup], min[kGroup];
    for (size_t g = 0; g < kGroup; ++g) {
      const size_t i = first + kLanes * g;
      a0[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&kPieces.low[i]));
      a1[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&kPieces.high[i]));
      a1x2[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&kPieces.high_twice[i]));
      b[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&kParameters.b[i]));
      min[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&signature[i]));
    }
    for (uint64_t x : xs) {
      const __m256i x0 = _mm256_set1_epi64x(static_cast<int64_t>(x & kLow31));
      const __m256i x1 = _mm256_set1_epi64x(static_cast<int64_t>(x >> 31));
      for (size_t g = 0; g < kGroup; ++g) {
        const __m256i m = _mm256_add_epi64(_mm256_mul_epu32(a1[g], x0), _mm256_mul_epu32(a0[g], x1));
        __m256i s = _mm256_add_epi64(_mm256_mul_epu32(a0[g], x0), _mm256_mul_epu32(a1x2[g], x1));
        s = _mm256_add_epi64(s, _mm256_add_epi64(_mm256_srli_epi64(m, 30), b[g]));
        s = _mm256_add_epi64(s, _mm256_slli_epi64(_mm256_and_si256(m, low30), 31));
        __m256i t = _mm256_add_epi64(_mm256_and_si256(s, prime), _mm256_srli_epi64(s, 61));
        t = _mm256_sub_epi64(t, _mm256_and_si256(_mm256_cmpgt_epi64(t, below_prime), prime));
        min[g] = _mm256_blendv_epi8(min[g], t, _mm256_cmpgt_epi64(min[g], t));
      }
    }
    for (size_t g = 0; g < kGroup; ++g) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(&signature[first + kLanes * g]), min[g]);
    }
  }
}

// The same with eight functions per register, and AVX-512's unsigned minimum: the last
// reduction is the smaller of t and t - P (which wraps around when t is below P).
__attribute__((target("avx512f"))) void update_avx512(std::span<const uint64_t> xs,
                                                     std::array<uint64_t, kNumPerm>& signature) {
  constexpr size_t kLanes = 8;
  constexpr size_t kGroup = 4;  // registers per pass
  const __m512i prime = _mm512_set1_epi64(static_cast<int64_t>(kPrime));
  const __m512i low30 = _mm512_set1_epi64(static_cast<int64_t>(kLow30));
  for (size_t first = 0; first < kNumPerm; first += kLanes * kGroup) {
    __m512i a0[kGroup], a1[kGroup], a1x2[kGroup], b[kGroup], min[kGroup];
    for (size_t g = 0; g < kGroup; ++g) {
      const size_t i = first + kLanes * g;
      a0[g] = _mm512_loadu_si512(&kPieces.low[i]);
      a1[g] = _mm512_loadu_si512(&kPieces.high[i]);
      a1x2[g] = _mm512_loadu_si512(&kPieces.high_twice[i]);
      b[g] = _mm512_loadu_si512(&kParameters.b[i]);
      min[g] = _mm512_loadu_si512(&signature[i]);
    }
    for (uint64_t x : xs) {
      const __m512i x0 = _mm512_set1_epi64(static_cast<int64_t>(x & kLow31));
      const __m512i x1 = _mm512_set1_epi64(static_cast<int64_t>(x >> 31));
      for (size_t g = 0; g < kGroup; ++g) {
        const __m512i m = _mm512_add_epi64(_mm512_mul_epu32(a1[g], x0), _mm512_mul_epu32(a0[g], x1));
        __m512i s = _mm512_add_epi64(_mm512_mul_epu32(a0[g], x0), _mm512_mul_epu32(a1x2[g], x1));
        s = _mm512_add_epi64(s, _mm512_add_epi64(_mm512_srli_epi64(m, 30), b[g]));
        s = _mm512_add_epi64(s, _mm512_slli_epi64(_mm512_and_si512(m, low30), 31));
        __m512i t = _mm512_add_epi64(_mm512_and_si512(s, prime), _mm512_srli_epi64(s, 61));
        t = _mm512_min_epu64(t, _mm512_sub_epi64(t, prime));
        min[g] = _mm512_min_epu64(min[g], t);
      }
    }
    for (size_t g = 0; g < kGroup; ++g) _mm512_storeu_si512(&signature[first + kLanes * g], min[g]);
  }
}
#endif

}  // namespace

const Parameters& parameters() { return kParameters; }

std::vector<SignatureUpdate> signature_updates() {
  std::vector<SignatureUpdate> forms = {update_portable};
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) forms.push_back(update_avx2);
  if (__builtin_cpu_supports("avx512f")) forms.push_back(update_avx512);
#endif
  return forms;
}

void update_signature(std::span<const uint64_t> xs, std::array<uint64_t, kNumPerm>& signature) {
  static const SignatureUpdate widest = signature_updates().back();
  widest(xs, signature);
}

MinHash MinHash::compute(std::string_view text) {
  MinHash out;  // all zero when there are no shingles
  bool first = true;
  for_each_shingle_values(text, [&](std::span<const uint64_t> xs) {
    if (first) out.signature.fill(kPrime);  // above every value; all are replaced
    first = false;
    update_signature(xs, out.signature);
  });
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

}  // namespace quelvane::minhash
