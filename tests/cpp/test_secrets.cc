// Secret key material does not outlive its use: SecretBytes wipes itself, and no block that
// libcrypto frees while we derive a public key or sign still holds the secret key, its SHA-512
// expansion or the pruned scalar. Tags are compared in constant time.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "internal/crypto.h"
#include "manifest.h"

namespace quelvane {
namespace {

namespace crypto = internal::crypto;

// libcrypto's allocations go through these from before its first one (a static initialiser
// below installs them), so every block it frees can be searched for secrets first.
constexpr size_t kHeader = alignof(std::max_align_t);  // room for the block's size
using Needle = std::array<uint8_t, 32>;

struct FreedBlocks {
  std::atomic<bool> watching{false};
  std::vector<Needle> needles;       // set before watching starts
  std::atomic<size_t> scanned{0};    // blocks freed while watching
  std::atomic<size_t> holding{0};    // of those, blocks that still held a needle
};
FreedBlocks g_freed;

void scan(const void* block) {
  if (!g_freed.watching) return;
  const auto* bytes = static_cast<const uint8_t*>(block);
  size_t size;
  std::memcpy(&size, bytes - kHeader, sizeof size);
  ++g_freed.scanned;
  for (const Needle& needle : g_freed.needles) {
    if (std::search(bytes, bytes + size, needle.begin(), needle.end()) != bytes + size) ++g_freed.holding;
  }
}

void* watched_malloc(size_t size, const char*, int) {
  auto* base = static_cast<uint8_t*>(std::malloc(size + kHeader));
  if (base == nullptr) return nullptr;
  std::memcpy(base, &size, sizeof size);
  return base + kHeader;
}

void watched_free(void* block, const char*, int) {
  if (block == nullptr) return;
  scan(block);
  std::free(static_cast<uint8_t*>(block) - kHeader);
}

void* watched_realloc(void* block, size_t size, const char* file, int line) {
  if (block == nullptr) return watched_malloc(size, file, line);
  void* moved = watched_malloc(size, file, line);
  if (moved == nullptr) return nullptr;
  size_t old_size;
  std::memcpy(&old_size, static_cast<uint8_t*>(block) - kHeader, sizeof old_size);
  std::memcpy(moved, block, std::min(old_size, size));
  watched_free(block, file, line);
  return moved;
}

const bool g_hooks_installed = CRYPTO_set_mem_functions(watched_malloc, watched_realloc, watched_free) == 1;

// RFC 8032 §7.1, test 1.
constexpr std::array<uint8_t, 32> kSecret = {0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a,
                                             0xf4, 0x92, 0xec, 0x2c, 0xc4, 0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32,
                                             0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};

// The secret key, both halves of its SHA-512 expansion and the scalar pruned from the first.
std::vector<Needle> secret_material() {
  std::array<uint8_t, 64> expanded;
  SHA512(kSecret.data(), kSecret.size(), expanded.data());
  Needle low, high;
  std::copy_n(expanded.begin(), 32, low.begin());
  std::copy_n(expanded.begin() + 32, 32, high.begin());
  Needle scalar = low;
  scalar[0] &= 248;
  scalar[31] &= 127;
  scalar[31] |= 64;
  return {kSecret, low, high, scalar};
}

TEST(Secrets, SecretBytesWipesItselfWhenItDies) {
  alignas(crypto::SecretBytes<32>) std::array<uint8_t, sizeof(crypto::SecretBytes<32>)> storage;
  auto* secret = new (storage.data()) crypto::SecretBytes<32>(std::span<const uint8_t, 32>(kSecret));
  ASSERT_NE(std::search(storage.begin(), storage.end(), kSecret.begin(), kSecret.end()), storage.end());
  secret->~SecretBytes();
  EXPECT_TRUE(std::all_of(storage.begin(), storage.end(), [](uint8_t b) { return b == 0; }));
}

TEST(Secrets, FreedBlocksAreSearched) {
  // The check itself: a block freed without wiping is caught.
  ASSERT_TRUE(g_hooks_installed) << "libcrypto allocated before the hooks could be installed";
  g_freed.needles = secret_material();
  g_freed.holding = 0;
  g_freed.watching = true;
  void* block = OPENSSL_malloc(kSecret.size());
  std::memcpy(block, kSecret.data(), kSecret.size());
  OPENSSL_free(block);
  g_freed.watching = false;
  EXPECT_EQ(g_freed.holding.load(), 1u);
}

TEST(Secrets, SigningLeavesNoKeyMaterialInFreedMemory) {
  ASSERT_TRUE(g_hooks_installed) << "libcrypto allocated before the hooks could be installed";
  const std::vector<uint8_t> payload = {'p', 'a', 'y', 'l', 'o', 'a', 'd'};
  ASSERT_TRUE(manifest::sign_cose(payload, kSecret).ok());  // libcrypto sets up its caches
  g_freed.needles = secret_material();
  g_freed.scanned = 0;
  g_freed.holding = 0;
  g_freed.watching = true;
  const manifest::PublicKey public_key = manifest::public_key(kSecret);
  const auto envelope = manifest::sign_cose(payload, kSecret);
  g_freed.watching = false;
  ASSERT_TRUE(envelope.ok());
  EXPECT_TRUE(manifest::verify_cose(*envelope, public_key).ok());
  EXPECT_GT(g_freed.scanned.load(), 0u);  // the key, its contexts and the digests went through the hooks
  EXPECT_EQ(g_freed.holding.load(), 0u);
}

TEST(Secrets, TagsCompareInConstantTimeOverTheirWholeLength) {
  // CRYPTO_memcmp reads every byte whatever the first difference; what is checked here is that
  // the answer is right at each position and that lengths must match.
  std::array<uint8_t, 8> tag{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_TRUE(crypto::equal_constant_time(tag, tag));
  for (size_t i = 0; i < tag.size(); ++i) {
    std::array<uint8_t, 8> other = tag;
    other[i] ^= 0x80;
    EXPECT_FALSE(crypto::equal_constant_time(tag, other)) << i;
  }
  EXPECT_FALSE(crypto::equal_constant_time(tag, std::span<const uint8_t>(tag).first(7)));
}

}  // namespace
}  // namespace quelvane
