#include "internal/edwards25519.h"

#include <array>

namespace quelvane::internal::edwards25519 {
namespace {

using Wide = unsigned __int128;

constexpr int kLimbBits = 51;
constexpr uint64_t kLimbMask = (uint64_t{1} << kLimbBits) - 1;

// An element of GF(p), p = 2^255 - 19, as five limbs of 51 bits, least significant first.
// Between operations a limb may carry a few bits more; `canonical` gives the unique form.
struct Fe {
  std::array<uint64_t, 5> v;
};

constexpr Fe kZero{{0, 0, 0, 0, 0}};
constexpr Fe kOne{{1, 0, 0, 0, 0}};
// d = -121665 / 121666, the curve constant of edwards25519.
constexpr Fe kD{{929955233495203, 466365720129213, 1662059464998953, 2033849074728123, 1442794654840575}};

uint64_t load_le64(const uint8_t* p) {
  uint64_t x = 0;
  for (int i = 7; i >= 0; --i) x = x << 8 | p[i];
  return x;
}

// The low 255 bits of a little-endian 32-byte string.
Fe from_bytes(std::span<const uint8_t, 32> s) {
  const uint64_t w0 = load_le64(&s[0]);
  const uint64_t w1 = load_le64(&s[8]);
  const uint64_t w2 = load_le64(&s[16]);
  const uint64_t w3 = load_le64(&s[24]) & (~uint64_t{0} >> 1);
  return {{w0 & kLimbMask, (w0 >> 51 | w1 << 13) & kLimbMask, (w1 >> 38 | w2 << 26) & kLimbMask,
           (w2 >> 25 | w3 << 39) & kLimbMask, w3 >> 12}};
}

// Moves the excess of every limb up; what leaves the top limb re-enters at the bottom times
// 19, since 2^255 = 19 (mod p).
Fe carry(Fe f) {
  for (int i = 0; i < 4; ++i) {
    f.v[i + 1] += f.v[i] >> kLimbBits;
    f.v[i] &= kLimbMask;
  }
  f.v[0] += 19 * (f.v[4] >> kLimbBits);
  f.v[4] &= kLimbMask;
  return f;
}

Fe add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] + b.v[i];
  return carry(r);
}

// a - b, computed as a + 4p - b so that no limb goes below zero (b's limbs stay below 2^53).
Fe sub(const Fe& a, const Fe& b) {
  constexpr uint64_t kFourPLow = (kLimbMask - 18) * 4;
  constexpr uint64_t kFourP = kLimbMask * 4;
  Fe r;
  r.v[0] = a.v[0] + kFourPLow - b.v[0];
  for (int i = 1; i < 5; ++i) r.v[i] = a.v[i] + kFourP - b.v[i];
  return carry(r);
}

// Reduces five double-width column sums to limbs.
Fe reduce_columns(Wide r0, Wide r1, Wide r2, Wide r3, Wide r4) {
  r1 += r0 >> kLimbBits;
  r2 += r1 >> kLimbBits;
  r3 += r2 >> kLimbBits;
  r4 += r3 >> kLimbBits;
  Fe f{{static_cast<uint64_t>(r0) & kLimbMask, static_cast<uint64_t>(r1) & kLimbMask,
        static_cast<uint64_t>(r2) & kLimbMask, static_cast<uint64_t>(r3) & kLimbMask,
        static_cast<uint64_t>(r4) & kLimbMask}};
  const Wide low = f.v[0] + (r4 >> kLimbBits) * 19;
  f.v[0] = static_cast<uint64_t>(low) & kLimbMask;
  f.v[1] += static_cast<uint64_t>(low >> kLimbBits);
  return f;
}

Fe mul(const Fe& a, const Fe& b) {
  const auto [a0, a1, a2, a3, a4] = a.v;
  const auto [b0, b1, b2, b3, b4] = b.v;
  const uint64_t b1_19 = 19 * b1, b2_19 = 19 * b2, b3_19 = 19 * b3, b4_19 = 19 * b4;
  return reduce_columns(
      Wide{a0} * b0 + Wide{a1} * b4_19 + Wide{a2} * b3_19 + Wide{a3} * b2_19 + Wide{a4} * b1_19,
      Wide{a0} * b1 + Wide{a1} * b0 + Wide{a2} * b4_19 + Wide{a3} * b3_19 + Wide{a4} * b2_19,
      Wide{a0} * b2 + Wide{a1} * b1 + Wide{a2} * b0 + Wide{a3} * b4_19 + Wide{a4} * b3_19,
      Wide{a0} * b3 + Wide{a1} * b2 + Wide{a2} * b1 + Wide{a3} * b0 + Wide{a4} * b4_19,
      Wide{a0} * b4 + Wide{a1} * b3 + Wide{a2} * b2 + Wide{a3} * b1 + Wide{a4} * b0);
}

Fe square(const Fe& a) {
  const auto [a0, a1, a2, a3, a4] = a.v;
  const uint64_t a0_2 = 2 * a0, a1_2 = 2 * a1, a3_19 = 19 * a3, a4_19 = 19 * a4;
  return reduce_columns(Wide{a0} * a0 + Wide{a1} * (2 * a4_19) + Wide{a2} * (2 * a3_19),
                        Wide{a0_2} * a1 + Wide{a3} * a3_19 + Wide{a2} * (2 * a4_19),
                        Wide{a0_2} * a2 + Wide{a1} * a1 + Wide{a3} * (2 * a4_19),
                        Wide{a0_2} * a3 + Wide{a1_2} * a2 + Wide{a4} * a4_19,
                        Wide{a0_2} * a4 + Wide{a1_2} * a3 + Wide{a2} * a2);
}

Fe square_times(Fe a, int n) {
  for (int i = 0; i < n; ++i) a = square(a);
  return a;
}

// z^((p - 5) / 8) = z^(2^252 - 3), by the usual addition chain.
Fe pow_p58(const Fe& z) {
  const Fe z2 = square(z);
  const Fe z9 = mul(z, square_times(z2, 2));
  const Fe z11 = mul(z2, z9);
  const Fe e5 = mul(z9, square(z11));  // exponent 2^5 - 1
  const Fe e10 = mul(square_times(e5, 5), e5);
  const Fe e20 = mul(square_times(e10, 10), e10);
  const Fe e40 = mul(square_times(e20, 20), e20);
  const Fe e50 = mul(square_times(e40, 10), e10);
  const Fe e100 = mul(square_times(e50, 50), e50);
  const Fe e200 = mul(square_times(e100, 100), e100);
  const Fe e250 = mul(square_times(e200, 50), e50);
  return mul(square_times(e250, 2), z);
}

// The unique representative below p.
std::array<uint64_t, 5> canonical(Fe f) {
  f = carry(carry(f));
  // Now f < 2^255 + 19; f >= p exactly when f + 19 carries out of bit 255.
  uint64_t q = (f.v[0] + 19) >> kLimbBits;
  for (int i = 1; i < 5; ++i) q = (f.v[i] + q) >> kLimbBits;
  f.v[0] += 19 * q;
  for (int i = 0; i < 4; ++i) {
    f.v[i + 1] += f.v[i] >> kLimbBits;
    f.v[i] &= kLimbMask;
  }
  f.v[4] &= kLimbMask;
  return f.v;
}

bool equal(const Fe& a, const Fe& b) { return canonical(a) == canonical(b); }
bool is_zero(const Fe& a) { return canonical(a) == kZero.v; }

// Whether the 255-bit y of an encoding is below p = 2^255 - 19, i.e. not one of the 19 values
// from p to 2^255 - 1 (ED FF .. FF 7F up to FF FF .. FF 7F, ignoring the sign bit).
bool y_below_p(std::span<const uint8_t, 32> s) {
  if (s[0] < 0xED || (s[31] & 0x7F) != 0x7F) return true;
  for (int i = 1; i < 31; ++i) {
    if (s[i] != 0xFF) return true;
  }
  return false;
}

}  // namespace

bool is_point_encoding(std::span<const uint8_t, 32> encoding) {
  if (!y_below_p(encoding)) return false;
  const bool x_negative = encoding[31] >> 7;
  const Fe y = from_bytes(encoding);
  const Fe y2 = square(y);
  const Fe u = sub(y2, kOne);             // x^2 = u / v
  const Fe v = add(mul(kD, y2), kOne);    // never 0: d is not a square mod p
  const Fe v3 = mul(square(v), v);
  const Fe v7 = mul(square(v3), v);
  const Fe x = mul(mul(u, v3), pow_p58(mul(u, v7)));
  const Fe vx2 = mul(v, square(x));
  // x is a root when v x^2 = u; when v x^2 = -u, x times sqrt(-1) is. Either way a point exists.
  if (!equal(vx2, u) && !equal(vx2, sub(kZero, u))) return false;
  // x = 0 exactly when u = 0, and then a set sign bit names no point.
  return !(x_negative && is_zero(u));
}

}  // namespace quelvane::internal::edwards25519
