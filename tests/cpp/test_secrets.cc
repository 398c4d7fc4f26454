// Secret key material does not outlive its use: SecretBytes wipes itself, and no block that
// libcrypto or C++ frees while we derive a public key or sign still holds the secret key, its
// SHA-512 expansion or the pruned scalar; none that is freed while a key is decoded from hex
// (well formed or not) or used for a watermark or a cross-check tag still holds that key or
// the placement MAC. Tags are compared in constant time.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "crosscheck.h"
#include "internal/crypto.h"
#include "internal/hex.h"
#include "manifest.h"
#include "stego.h"

namespace quelvane {
namespace {

namespace crypto = internal::crypto;

// libcrypto's allocations go through these from before its first one (a static initialiser
// below installs them), and so do C++'s (operator new and delete are replaced below), so
// every block either frees can be searched for secrets first.
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

// Watches `needles` while `work` runs; returns how many freed blocks still held one, after
// checking that blocks were freed at all.
size_t freed_blocks_holding(std::vector<Needle> needles, const std::function<void()>& work) {
  g_freed.needles = std::move(needles);
  g_freed.scanned = 0;
  g_freed.holding = 0;
  g_freed.watching = true;
  work();
  g_freed.watching = false;
  EXPECT_GT(g_freed.scanned.load(), 0u);
  return g_freed.holding.load();
}

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

TEST(Secrets, FreedCxxBlocksAreSearched) {
  g_freed.needles = {kSecret};
  g_freed.holding = 0;
  g_freed.watching = true;
  Needle* volatile block = new Needle(kSecret);  // volatile: the pair may not be optimised away
  delete block;
  g_freed.watching = false;
  EXPECT_EQ(g_freed.holding.load(), 1u);
}

TEST(Secrets, SigningLeavesNoKeyMaterialInFreedMemory) {
  ASSERT_TRUE(g_hooks_installed) << "libcrypto allocated before the hooks could be installed";
  const std::vector<uint8_t> payload = {'p', 'a', 'y', 'l', 'o', 'a', 'd'};
  ASSERT_TRUE(manifest::sign_cose(payload, kSecret).ok());  // libcrypto sets up its caches
  manifest::PublicKey public_key;
  Result<std::vector<uint8_t>> envelope = std::vector<uint8_t>{};
  EXPECT_EQ(freed_blocks_holding(secret_material(),
                                 [&] {
                                   public_key = manifest::public_key(kSecret);
                                   envelope = manifest::sign_cose(payload, kSecret);
                                 }),
            0u);
  ASSERT_TRUE(envelope.ok());
  EXPECT_TRUE(manifest::verify_cose(*envelope, public_key).ok());
}

// The key as hex text, `key_hex` of the Python functions, with some surrounding white space.
std::string key_hex(std::span<const uint8_t> key) { return " " + internal::hex::encode(key) + "\n"; }

TEST(Secrets, KeysDecodedFromHexAreWiped) {
  ASSERT_TRUE(g_hooks_installed) << "libcrypto allocated before the hooks could be installed";
  const std::string good = key_hex(kSecret);
  // A bad digit after the key: the whole key is decoded before the failure shows.
  const std::string bad_end = " " + internal::hex::encode(kSecret) + "0z\n";
  EXPECT_EQ(freed_blocks_holding({kSecret},
                                 [&] {
                                   EXPECT_TRUE(internal::hex::decode_secret_trimmed(good).ok());
                                   EXPECT_FALSE(internal::hex::decode_secret_trimmed(bad_end).ok());
                                   EXPECT_FALSE(internal::hex::decode_trimmed(bad_end).ok());
                                 }),
            0u);
}

TEST(Secrets, WatermarksAndCrossChecksLeaveNoKeyInFreedMemory) {
  ASSERT_TRUE(g_hooks_installed) << "libcrypto allocated before the hooks could be installed";
  std::string text;
  for (int i = 0; i < 60; ++i) text += "word" + std::to_string(i) + " ";
  const std::vector<uint8_t> pointer(16, 0x42);
  const stego::ContentHash hash = stego::content_hash(text);
  // A key within HMAC's block and one beyond it, which is replaced by its SHA-256.
  std::vector<uint8_t> long_key(kSecret.begin(), kSecret.end());
  long_key.resize(100, 0x5a);
  for (const std::vector<uint8_t>& key : {std::vector<uint8_t>(kSecret.begin(), kSecret.end()), long_key}) {
    Needle placement;
    crypto::hmac_sha256(key, {crypto::as_bytes("zwc-watermark-v2-placement"), hash}, placement);
    std::vector<Needle> needles = {kSecret, placement, crypto::sha256(key)};
    EXPECT_EQ(freed_blocks_holding(needles,
                                   [&] {
                                     const auto decoded = internal::hex::decode_secret_trimmed(key_hex(key));
                                     ASSERT_TRUE(decoded.ok());
                                     const auto marked = stego::embed(text, decoded->span(), pointer);
                                     ASSERT_TRUE(marked.ok());
                                     const auto found = stego::extract(*marked, decoded->span());
                                     ASSERT_TRUE(found.ok());
                                     EXPECT_TRUE(found->tag_verified);
                                     (void)crosscheck::crosscheck_tag(decoded->span(), crypto::as_bytes("repo"), hash);
                                   }),
              0u)
        << key.size() << "-byte key";
  }
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

// C++'s own allocations, through the same watched blocks. The array, nothrow and sized forms
// come back to these two; the aligned forms keep their own pair.
void* operator new(size_t size) {
  void* block = quelvane::watched_malloc(size, __FILE__, __LINE__);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void operator delete(void* block) noexcept { quelvane::watched_free(block, __FILE__, __LINE__); }

void operator delete(void* block, size_t) noexcept { quelvane::watched_free(block, __FILE__, __LINE__); }
