// Digests and MACs over OpenSSL's libcrypto, with an owner for every handle and a byte
// buffer for secrets that wipes itself. Not API.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace quelvane::internal::crypto {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;

// Bytes that are overwritten with zeros when they die, on every path.
template <size_t N>
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::span<const uint8_t, N> bytes) { std::copy(bytes.begin(), bytes.end(), bytes_.begin()); }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { OPENSSL_cleanse(bytes_.data(), N); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  std::span<uint8_t, N> span() { return bytes_; }
  std::span<const uint8_t, N> span() const { return bytes_; }
  static constexpr size_t size() { return N; }

 private:
  std::array<uint8_t, N> bytes_{};
};

using Digest32 = std::array<uint8_t, 32>;
using Bytes = std::span<const uint8_t>;

// Views of text as bytes, for feeding digests.
inline Bytes as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Digest32 sha256(Bytes data);

// HMAC-SHA-256 (RFC 2104) keyed with `key` of any length over the concatenation of `parts`.
Digest32 hmac_sha256(Bytes key, std::initializer_list<Bytes> parts);

// Unkeyed BLAKE2b-512 (RFC 7693) for many messages in a row. The algorithm is looked up once,
// when the hasher is made, and each message starts from a copy of one initialised context,
// which keeps the per-message cost close to the compression itself.
class Blake2b512 {
 public:
  static constexpr size_t kDigestBytes = 64;
  Blake2b512();  // throws std::bad_alloc when libcrypto cannot allocate a context

  void digest(Bytes data, std::span<uint8_t, kDigestBytes> out);

 private:
  MdCtx initial_;
  MdCtx work_;
};

// Constant-time equality of two byte strings of the same length.
bool equal_constant_time(Bytes a, Bytes b);

// Reports a failed libcrypto call: clears OpenSSL's error queue so no state travels upward.
void clear_errors();

}  // namespace quelvane::internal::crypto
