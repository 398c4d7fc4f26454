// Decoding check for Ed25519 public keys. OpenSSL takes any 32 bytes as a raw Ed25519 public
// key and only finds out at verification time, so the point decoding of RFC 8032 §5.1.3 is
// done here, over a small field arithmetic in GF(2^255 - 19). Not API.
#pragma once

#include <cstdint>
#include <span>

namespace quelvane::internal::edwards25519 {

// Whether `encoding` is the canonical RFC 8032 encoding of a point of edwards25519: y below p,
// y^2 - 1 = d x^2 y^2 + x^2 solvable for x, and no sign bit set on x = 0. Variable time: public
// keys are public.
bool is_point_encoding(std::span<const uint8_t, 32> encoding);

}  // namespace quelvane::internal::edwards25519
