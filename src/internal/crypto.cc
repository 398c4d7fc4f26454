#include "internal/crypto.h"

#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <new>
#include <vector>

namespace quelvane::internal::crypto {

Digest32 sha256(Bytes data) {
  Digest32 out;
  SHA256(data.data(), data.size(), out.data());
  return out;
}

Digest32 hmac_sha256(Bytes key, std::initializer_list<Bytes> parts) {
  // One contiguous message keeps this on the one-shot HMAC; the messages here are short.
  std::vector<uint8_t> message;
  for (Bytes part : parts) message.insert(message.end(), part.begin(), part.end());
  // A key longer than the 64-byte block is replaced by its digest, as HMAC itself does; doing
  // it here keeps any key length within the int that OpenSSL takes. The digest stands for the
  // key, so it is wiped like one.
  constexpr size_t kBlockBytes = 64;
  SecretBytes<SHA256_DIGEST_LENGTH> hashed_key;
  if (key.size() > kBlockBytes) {
    SHA256(key.data(), key.size(), hashed_key.data());
    key = Bytes(hashed_key.data(), hashed_key.size());
  }
  Digest32 out;
  unsigned int length = 0;
  static const uint8_t kEmpty = 0;
  const uint8_t* key_data = key.empty() ? &kEmpty : key.data();
  if (HMAC(EVP_sha256(), key_data, static_cast<int>(key.size()), message.data(), message.size(), out.data(),
           &length) == nullptr) {
    clear_errors();
    throw std::bad_alloc();  // HMAC-SHA-256 fails only when memory runs out
  }
  return out;
}

namespace {

// A libcrypto call on a digest context fails only when memory runs out.
void check_digest(int status) {
  if (status != 1) {
    clear_errors();
    throw std::bad_alloc();
  }
}

}  // namespace

Blake2b512::Blake2b512() : initial_(EVP_MD_CTX_new()), work_(EVP_MD_CTX_new()) {
  if (!initial_ || !work_) throw std::bad_alloc();
  check_digest(EVP_DigestInit_ex(initial_.get(), EVP_blake2b512(), nullptr));
}

void Blake2b512::digest(Bytes data, std::span<uint8_t, kDigestBytes> out) {
  check_digest(EVP_MD_CTX_copy_ex(work_.get(), initial_.get()));
  check_digest(EVP_DigestUpdate(work_.get(), data.data(), data.size()));
  unsigned int length = 0;
  check_digest(EVP_DigestFinal_ex(work_.get(), out.data(), &length));
}

bool equal_constant_time(Bytes a, Bytes b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void clear_errors() { ERR_clear_error(); }

}  // namespace quelvane::internal::crypto
