#include "internal/blake2b.h"

#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

namespace quelvane::internal::blake2b {
namespace {

constexpr std::array<uint64_t, 8> kIv = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};
// The parameter block's first word: digest length 64, no key, fan-out 1, depth 1. The rest is
// zero (no salt, no personalisation), so the other chaining words start as the IV.
constexpr uint64_t kParameters = 0x01010040;
constexpr uint64_t kH0 = kIv[0] ^ kParameters;

constexpr size_t kRounds = 12;
constexpr std::array<std::array<uint8_t, 16>, 10> kSigma = {{
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
}};

// The compression of one final block whose words 2 to 15 are zero, written once for any lane
// type V: uint64_t for one message, or a vector of 64-bit lanes holding one message each. The
// helpers are always inlined, so a vector form compiles with the instructions of the function
// that calls them (its target attribute), and the zero words' additions vanish at compile time.
// Vectors pass only between always inlined helpers, never across a call, so the warning that
// their calling convention depends on the instruction set does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

using V4 = uint64_t __attribute__((vector_size(32)));
using V8 = uint64_t __attribute__((vector_size(64)));
using Bytes32 = uint8_t __attribute__((vector_size(32)));

// Byte j of each 64-bit lane of the result is byte (j + K) mod 8 of the same lane of x.
template <size_t K, size_t... I>
[[gnu::always_inline]] inline void rotate_bytes(V4& x, std::index_sequence<I...>) {
  const auto bytes = std::bit_cast<Bytes32>(x);
  x = std::bit_cast<V4>(__builtin_shufflevector(bytes, bytes, ((I & ~size_t{7}) | ((I + K) & 7))...));
}

// x rotated right by N bits in every lane. Without AVX-512 a 256-bit vector has no rotation,
// and one by whole bytes is a single byte shuffle instead of two shifts and an or.
template <int N, typename V>
[[gnu::always_inline]] inline void ror(V& x) {
  if constexpr (std::is_same_v<V, V4> && N % 8 == 0) {
    rotate_bytes<N / 8>(x, std::make_index_sequence<32>());
  } else {
    x = (x >> N) | (x << (64 - N));
  }
}

// a += word I of the message: words 0 and 1 hold it, the others are zero.
template <size_t I, typename V>
[[gnu::always_inline]] inline void add_word(V& a, const V& m0, const V& m1) {
  if constexpr (I == 0) {
    a += m0;
  } else if constexpr (I == 1) {
    a += m1;
  }
}

// Half of the mixing function G: one message word in, then two rotations.
template <size_t X, int R1, int R2, typename V>
[[gnu::always_inline]] inline void half_mix(V& a, V& b, V& c, V& d, const V& m0, const V& m1) {
  a += b;
  add_word<X>(a, m0, m1);
  d ^= a;
  ror<R1>(d);
  c += d;
  b ^= c;
  ror<R2>(b);
}

template <size_t X, size_t Y, typename V>
[[gnu::always_inline]] inline void mix(V& a, V& b, V& c, V& d, const V& m0, const V& m1) {
  half_mix<X, 32, 24>(a, b, c, d, m0, m1);
  half_mix<Y, 16, 63>(a, b, c, d, m0, m1);
}

template <size_t R, typename V>
[[gnu::always_inline]] inline void round(std::array<V, 16>& v, const V& m0, const V& m1) {
  constexpr const auto& s = kSigma[R % kSigma.size()];
  mix<s[0], s[1]>(v[0], v[4], v[8], v[12], m0, m1);
  mix<s[2], s[3]>(v[1], v[5], v[9], v[13], m0, m1);
  mix<s[4], s[5]>(v[2], v[6], v[10], v[14], m0, m1);
  mix<s[6], s[7]>(v[3], v[7], v[11], v[15], m0, m1);
  mix<s[8], s[9]>(v[0], v[5], v[10], v[15], m0, m1);
  mix<s[10], s[11]>(v[1], v[6], v[11], v[12], m0, m1);
  mix<s[12], s[13]>(v[2], v[7], v[8], v[13], m0, m1);
  mix<s[14], s[15]>(v[3], v[4], v[9], v[14], m0, m1);
}

template <typename V, size_t... R>
[[gnu::always_inline]] inline void rounds(std::array<V, 16>& v, const V& m0, const V& m1, std::index_sequence<R...>) {
  (round<R>(v, m0, m1), ...);
}

// The first four chaining words after compressing the one block (m0, m1, zeros) of messages of
// `length` bytes, the block being the last: one lane per message.
template <typename V>
[[gnu::always_inline]] inline void compress(const V& m0, const V& m1, const V& length, std::array<V, 4>& h) {
  std::array<V, 16> v;
  v[0] = V{} + kH0;
  for (size_t i = 1; i < 8; ++i) v[i] = V{} + kIv[i];
  for (size_t i = 0; i < 8; ++i) v[8 + i] = V{} + kIv[i];
  v[12] ^= length;  // the byte counter, whose high word stays zero
  v[14] = ~v[14];   // the last block
  rounds(v, m0, m1, std::make_index_sequence<kRounds>());
  h[0] = (V{} + kH0) ^ v[0] ^ v[8];
  for (size_t i = 1; i < 4; ++i) h[i] = (V{} + kIv[i]) ^ v[i] ^ v[8 + i];
}

uint64_t load64(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;  // little-endian, as BLAKE2b reads its words
}

// Messages first to first + Lanes of the batch, one per lane of V.
template <typename V, size_t Lanes>
[[gnu::always_inline]] inline void hash_lanes(const Batch& in, Halves& out, size_t first) {
  V m0, m1, length;
  for (size_t k = 0; k < Lanes; ++k) {
    const ShortMessage& message = in[first + k];
    m0[k] = load64(message.bytes.data());
    m1[k] = load64(message.bytes.data() + 8);
    length[k] = message.length;
  }
  std::array<V, 4> h;
  compress(m0, m1, length, h);
  for (size_t k = 0; k < Lanes; ++k) {
    for (size_t i = 0; i < h.size(); ++i) {
      const uint64_t word = h[i][k];
      std::memcpy(out[first + k].data() + 8 * i, &word, sizeof word);
    }
  }
}

void hash_portable(const Batch& in, Halves& out) {
  for (size_t k = 0; k < kBatch; ++k) {
    std::array<uint64_t, 4> h;
    compress<uint64_t>(load64(in[k].bytes.data()), load64(in[k].bytes.data() + 8), in[k].length, h);
    std::memcpy(out[k].data(), h.data(), out[k].size());
  }
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void hash_avx2(const Batch& in, Halves& out) {
  constexpr size_t kLanes = sizeof(V4) / sizeof(uint64_t);
  for (size_t first = 0; first < kBatch; first += kLanes) hash_lanes<V4, kLanes>(in, out, first);
}

__attribute__((target("avx512f"))) void hash_avx512(const Batch& in, Halves& out) {
  constexpr size_t kLanes = sizeof(V8) / sizeof(uint64_t);
  static_assert(kLanes == kBatch);
  hash_lanes<V8, kLanes>(in, out, 0);
}
#endif

}  // namespace

std::vector<BatchHash> batch_hashes() {
  std::vector<BatchHash> forms = {hash_portable};
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) forms.push_back(hash_avx2);
  if (__builtin_cpu_supports("avx512f")) forms.push_back(hash_avx512);
#endif
  return forms;
}

void first_halves(const Batch& in, Halves& out) {
  static const BatchHash widest = batch_hashes().back();
  widest(in, out);
}

}  // namespace quelvane::internal::blake2b
