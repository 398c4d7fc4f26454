// COSE_Sign1 verification on arbitrary envelope and key bytes, and signing round trips.
// The first byte picks what the rest is:
//   0: an envelope checked against the public key of a fixed signer, so that mutated copies of
//      real envelopes reach the signature check and the payload;
//   1: a 32-byte public key, then an envelope;
//   2: a payload, signed by the fixed signer and verified back, tagged and untagged.
// Every failure must be one of the documented errors.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "manifest.h"

namespace quelvane::fuzz {
namespace {

// RFC 8032 §7.1, test 1.
constexpr std::array<uint8_t, 32> kSecret = {0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a,
                                             0xf4, 0x92, 0xec, 0x2c, 0xc4, 0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32,
                                             0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};
constexpr std::array<uint8_t, 32> kPublic = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                                             0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                                             0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};

bool documented(const Error& error) {
  if (error.kind() == error::Kind::TagMismatch) return true;
  if (error.kind() != error::Kind::InvalidInput) return false;
  const std::string& detail = error.detail();
  return detail == "invalid public key: signature::Error {}" || detail == "malformed signature: signature::Error {}" ||
         detail == "COSE envelope has no payload" ||
         (detail.starts_with("COSE decode failed: ") && detail.size() > std::string_view("COSE decode failed: ").size());
}

void verify(std::span<const uint8_t> envelope, std::span<const uint8_t, 32> key) {
  const auto payload = manifest::verify_cose(envelope, key);
  if (!payload) FUZZ_CHECK(documented(payload.error()));
}

void round_trip(std::span<const uint8_t> payload) {
  FUZZ_CHECK(manifest::public_key(kSecret) == kPublic);
  const auto envelope = manifest::sign_cose(payload, kSecret);
  FUZZ_CHECK(envelope.ok());
  const std::vector<uint8_t> bytes = *envelope;
  const auto back = manifest::verify_cose(bytes, kPublic);
  FUZZ_CHECK(back.ok() && std::ranges::equal(*back, payload));
  const auto untagged = manifest::verify_cose(std::span(bytes).subspan(1), kPublic);
  FUZZ_CHECK(untagged.ok() && std::ranges::equal(*untagged, payload));
}

}  // namespace
}  // namespace quelvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quelvane::fuzz;
  Input input(data, size);
  switch (input.byte() % 3) {
    case 0:
      verify(input.rest(), kPublic);
      break;
    case 1: {
      std::array<uint8_t, 32> key{};
      const auto given = input.take(key.size());
      std::copy(given.begin(), given.end(), key.begin());
      verify(input.rest(), key);
      break;
    }
    case 2:
      round_trip(input.rest());
      break;
  }
  return 0;
}
