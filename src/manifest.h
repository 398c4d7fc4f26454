// The signing envelope: COSE_Sign1 (RFC 9052) with EdDSA over Ed25519 (RFC 8032), tag 18, an
// empty unprotected header and the protected header {1: -8}. Keys are the 32-byte RFC 8032
// seed and the 32-byte encoded public point.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "internal/result.h"

namespace quelvane::manifest {

inline constexpr size_t kKeyBytes = 32;
using SecretKey = std::span<const uint8_t, kKeyBytes>;
using PublicKey = std::array<uint8_t, kKeyBytes>;

// The RFC 8032 §5.1.5 public key of a secret key. Throws internal::Fault if libcrypto fails.
PublicKey public_key(SecretKey secret);

// A signed envelope held as the bytes around its payload, which stays the caller's: a large
// envelope can then be written out piece by piece without ever being assembled.
struct Envelope {
  std::vector<uint8_t> before_payload;  // from tag 18 to the payload's byte-string head
  std::vector<uint8_t> after_payload;   // the signature item

  // The whole envelope around `payload`, the one it was signed with.
  std::vector<uint8_t> assemble(std::span<const uint8_t> payload) const;
};

// The tagged COSE_Sign1 envelope of `payload`, signed with `secret` (deterministic). A signer
// failure, which cannot happen short of a broken libcrypto, throws internal::Fault.
[[nodiscard]] Result<Envelope> sign_cose_parts(std::span<const uint8_t> payload, SecretKey secret);
// The same, assembled.
[[nodiscard]] Result<std::vector<uint8_t>> sign_cose(std::span<const uint8_t> payload, SecretKey secret);

// Checks a tagged or untagged COSE_Sign1 envelope against `public_key` and returns its payload.
// Errors: InvalidInput for a key that is not a canonical curve point (checked before the
// envelope is read), an envelope that does not decode, a signature not of 64 bytes, or a nil
// payload under a valid signature; TagMismatch when the signature does not verify.
[[nodiscard]] Result<std::vector<uint8_t>> verify_cose(std::span<const uint8_t> envelope,
                                                       std::span<const uint8_t, kKeyBytes> public_key);

}  // namespace quelvane::manifest
