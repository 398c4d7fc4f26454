// Unkeyed BLAKE2b-512 (RFC 7693) of short messages, several at a time, for the surface
// fingerprint: it hashes one character 4-gram of at most 16 bytes per distinct gram, and for
// such a message libcrypto's one-message interface costs more than the compression itself.
// Vector forms hash a batch in parallel lanes, one message per lane. Not API.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quelvane::internal::blake2b {

// The longest message hashed here: one block's first two words, the rest of it zero.
inline constexpr size_t kShortBytes = 16;
// Messages per call: the lanes of the widest form.
inline constexpr size_t kBatch = 8;

// A message of up to kShortBytes bytes; the bytes past `length` are zero.
struct ShortMessage {
  std::array<uint8_t, kShortBytes> bytes{};
  uint8_t length = 0;
};

// The first 32 bytes of a BLAKE2b-512 digest (not BLAKE2b-256, whose parameter block differs).
using Half = std::array<uint8_t, 32>;
using Batch = std::array<ShortMessage, kBatch>;
using Halves = std::array<Half, kBatch>;

// out[i] = the first half of BLAKE2b-512 of in[i], for every i. Cannot fail.
using BatchHash = void (*)(const Batch& in, Halves& out);

// The forms this CPU can run: the portable one first, then wider vector forms. Each gives the
// same bytes; the tests hold them all to libcrypto.
std::vector<BatchHash> batch_hashes();

// The widest form this CPU runs, chosen once.
void first_halves(const Batch& in, Halves& out);

}  // namespace quelvane::internal::blake2b
