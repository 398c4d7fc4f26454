// The surface SimHash fingerprint of a text (id 41) and the 256-bit value type, hash and
// majority vote it shares with the structural fingerprint. Texts that differ in a few places
// get fingerprints that differ in a few bits; long texts also get one per 512-character window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelvane::internal::crypto {
class Blake2b512;
}

namespace quelvane::simhash {

// A 256-bit value: bit i is bit 7 - i % 8 of byte i / 8, so bits count from the most
// significant bit of the first byte.
struct Hash256 {
  std::array<uint8_t, 32> bytes{};

  bool bit(size_t i) const { return (bytes[i / 8] >> (7 - i % 8)) & 1; }

  // 64 lower-case hex digits, byte 0 first.
  std::string hex() const;
  // Exactly 64 hex digits of either case, nothing else (no trimming); absent otherwise.
  static std::optional<Hash256> from_hex(std::string_view text);
  // Number of bit positions in which the two values differ, 0 to 256.
  int hamming(const Hash256& other) const;

  friend bool operator==(const Hash256&, const Hash256&) = default;
};

// The first 32 bytes of unkeyed BLAKE2b-512 of `bytes` (not BLAKE2b-256, whose parameter
// block differs).
Hash256 blake2_256(std::span<const uint8_t> bytes);

// How many of the values added have each of the 256 bits set (defined where it is used).
class Tally;

// The SimHash vote: each item's blake2_256 adds its weight to the 256 counters where it has
// a 1 bit and subtracts it where it has a 0; the result has a 1 where the counter ends above
// zero. Linear in the weights, so the order of items does not matter.
class Vote {
 public:
  Vote();
  ~Vote();

  // Hashes `item` with blake2_256 and votes with `weight`.
  void add(std::span<const uint8_t> item, int64_t weight);
  void add(std::string_view item, int64_t weight) {
    add({reinterpret_cast<const uint8_t*>(item.data()), item.size()}, weight);
  }
  // Votes with an already hashed item.
  void add_hash(const Hash256& hash, int64_t weight);

  Hash256 result();

 private:
  void add_waiting(int64_t weight, const Hash256& hash);

  struct Waiting;  // items short enough for the batched hash, waiting for it with their weights

  // Behind a pointer, so that libcrypto's headers stay out of every unit that includes this one;
  // made by the first add of a long item, so that a vote over hashes alone never asks libcrypto.
  std::unique_ptr<internal::crypto::Blake2b512> hasher_;
  std::unique_ptr<Waiting> waiting_;
  std::vector<Tally> planes_;     // plane b tallies the hashes whose weight has bit b set
  uint64_t total_ = 0;            // sum of the weights, modulo 2^64
};

inline constexpr size_t kWindowChars = 512;
inline constexpr size_t kWindowStride = 256;

// The fingerprint of one window of the canonical stream; `start` and `len` count scalars.
struct WindowFp {
  Hash256 hash;
  size_t start = 0;
  size_t len = 0;

  friend bool operator==(const WindowFp&, const WindowFp&) = default;
};

struct Fingerprint {
  Hash256 whole;                 // simhash_4grams of the whole canonical stream
  std::vector<WindowFp> windows;  // stride 256, up to 512 characters each; none up to 512

  // The whole-text fingerprint and the windows of the canonical stream of `text`.
  static Fingerprint compute(std::string_view text);
  // Only the whole-text fingerprint, without the work the windows take.
  static Hash256 compute_whole(std::string_view text);
};

}  // namespace quelvane::simhash
