#include "internal/crypto.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/params.h>

#include <atomic>
#include <new>
#include <string>

#include "internal/fault.h"

namespace quelvane::internal::crypto {
namespace {

using LibraryContext = std::unique_ptr<OSSL_LIB_CTX, Deleter<OSSL_LIB_CTX, OSSL_LIB_CTX_free>>;
using Md = std::unique_ptr<EVP_MD, Deleter<EVP_MD, EVP_MD_free>>;
using Mac = std::unique_ptr<EVP_MAC, Deleter<EVP_MAC, EVP_MAC_free>>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX, EVP_MAC_CTX_free>>;

constexpr std::string_view kSha256 = "SHA-256";
constexpr std::string_view kHmacSha256 = "HMAC-SHA-256";
constexpr std::string_view kBlake2b512 = "BLAKE2b-512";
constexpr std::string_view kSignature = "signature operation";
constexpr char kSha256Name[] = "SHA2-256";  // libcrypto's own name for it
constexpr size_t kHmacBlockBytes = 64;

// Everything the module asks of libcrypto, fetched once from a library context of its own. A
// fresh context loads no configuration and reads no environment; its first fetch activates the
// default provider, which is built into libcrypto, so no provider module is looked for either.
struct Algorithms {
  LibraryContext context;
  Md sha256;
  Md blake2b512;
  Mac hmac;
};

const Algorithms& algorithms() {
  // Made on first use, under the static's own lock, and kept for the life of the process:
  // released at exit, it could outlive libcrypto's own clean-up. A failed set-up is retried
  // by the next call.
  static const Algorithms* const fetched = [] {
    auto out = std::make_unique<Algorithms>();
    out->context.reset(OSSL_LIB_CTX_new());
    if (!out->context) fail("making the libcrypto library context");
    out->sha256.reset(EVP_MD_fetch(out->context.get(), kSha256Name, nullptr));
    if (!out->sha256) fail("fetching SHA-256");
    out->blake2b512.reset(EVP_MD_fetch(out->context.get(), "BLAKE2B-512", nullptr));
    if (!out->blake2b512) fail("fetching BLAKE2b-512");
    out->hmac.reset(EVP_MAC_fetch(out->context.get(), "HMAC", nullptr));
    if (!out->hmac) fail("fetching HMAC");
    return out.release();
  }();
  return *fetched;
}

#ifdef QUELVANE_TEST_HOOKS
std::atomic<bool> g_digests_broken{false};
#endif

// The digest as handed to libcrypto; none at all while a test breaks digests.
const EVP_MD* usable(const Md& md) {
#ifdef QUELVANE_TEST_HOOKS
  if (g_digests_broken) return nullptr;
#endif
  return md.get();
}

// The name of HMAC's digest; one no provider has while a test breaks digests.
const char* hmac_digest_name() {
#ifdef QUELVANE_TEST_HOOKS
  if (g_digests_broken) return "QUELVANE-BROKEN-DIGEST";
#endif
  return kSha256Name;
}

MdCtx new_md_ctx() {
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();  // it only allocates
  return ctx;
}

void sha256_into(Bytes data, std::span<uint8_t, 32> out) {
  Sha256 hasher;
  hasher.update(data);
  hasher.finish(out);
}

PKey ed25519_key(EVP_PKEY* (*make)(OSSL_LIB_CTX*, const char*, const char*, const unsigned char*, size_t),
                 std::span<const uint8_t, 32> bytes) {
  PKey key(make(library_context(), "ED25519", nullptr, bytes.data(), bytes.size()));
  if (!key) fail(kSignature);
  return key;
}

}  // namespace

Sha256::Sha256() : ctx_(new_md_ctx()) {
  check(EVP_DigestInit_ex2(ctx_.get(), usable(algorithms().sha256), nullptr), kSha256);
}

void Sha256::update(Bytes data) { check(EVP_DigestUpdate(ctx_.get(), data.data(), data.size()), kSha256); }

void Sha256::finish(std::span<uint8_t, 32> out) {
  unsigned int length = 0;
  check(EVP_DigestFinal_ex(ctx_.get(), out.data(), &length), kSha256);
  if (length != out.size()) fail(kSha256);
}

Digest32 sha256(Bytes data) {
  Digest32 out;
  sha256_into(data, out);
  return out;
}

void hmac_sha256(Bytes key, std::initializer_list<Bytes> parts, std::span<uint8_t, 32> out) {
  // A key longer than the block is replaced by its digest, as HMAC itself does; doing it here
  // keeps any key length within the int that libcrypto's HMAC takes. The digest stands for the
  // key, so it is wiped like one.
  SecretBytes<32> hashed_key;
  if (key.size() > kHmacBlockBytes) {
    sha256_into(key, hashed_key.span());
    key = hashed_key.span();
  }
  MacCtx ctx(EVP_MAC_CTX_new(algorithms().hmac.get()));
  if (!ctx) fail(kHmacSha256);
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(hmac_digest_name()), 0),
      OSSL_PARAM_construct_end(),
  };
  // HMAC takes a null key as "keep the previous key", so the empty key needs an address.
  static const uint8_t kEmpty = 0;
  check(EVP_MAC_init(ctx.get(), key.empty() ? &kEmpty : key.data(), key.size(), params), kHmacSha256);
  for (Bytes part : parts) check(EVP_MAC_update(ctx.get(), part.data(), part.size()), kHmacSha256);
  size_t length = 0;
  check(EVP_MAC_final(ctx.get(), out.data(), &length, out.size()), kHmacSha256);
  if (length != out.size()) fail(kHmacSha256);
}

Digest32 hmac_sha256(Bytes key, std::initializer_list<Bytes> parts) {
  Digest32 out;
  hmac_sha256(key, parts, out);
  return out;
}

Blake2b512::Blake2b512() : initial_(new_md_ctx()), work_(new_md_ctx()) {
  check(EVP_DigestInit_ex2(initial_.get(), usable(algorithms().blake2b512), nullptr), kBlake2b512);
}

void Blake2b512::digest(Bytes data, std::span<uint8_t, kDigestBytes> out) {
  check(EVP_MD_CTX_copy_ex(work_.get(), initial_.get()), kBlake2b512);
  check(EVP_DigestUpdate(work_.get(), data.data(), data.size()), kBlake2b512);
  unsigned int length = 0;
  check(EVP_DigestFinal_ex(work_.get(), out.data(), &length), kBlake2b512);
  if (length != out.size()) fail(kBlake2b512);
}

PKey ed25519_secret_key(std::span<const uint8_t, 32> seed) {
  return ed25519_key(EVP_PKEY_new_raw_private_key_ex, seed);
}

PKey ed25519_public_key(std::span<const uint8_t, 32> point) {
  return ed25519_key(EVP_PKEY_new_raw_public_key_ex, point);
}

OSSL_LIB_CTX* library_context() { return algorithms().context.get(); }

bool equal_constant_time(Bytes a, Bytes b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void fail(std::string_view operation) {
  // Which of the queued errors caused the failure is not known, so any allocation failure
  // among them counts. Taking them off the queue clears it.
  bool out_of_memory = false;
  while (const unsigned long error = ERR_get_error()) {
    out_of_memory |= ERR_GET_REASON(error) == ERR_R_MALLOC_FAILURE;
  }
  if (out_of_memory) throw std::bad_alloc();
  throw Fault(std::string(operation) + " failed");
}

#ifdef QUELVANE_TEST_HOOKS
BrokenDigests::BrokenDigests() { g_digests_broken = true; }
BrokenDigests::~BrokenDigests() { g_digests_broken = false; }
#endif

}  // namespace quelvane::internal::crypto
