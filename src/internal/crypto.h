// Digests, MACs and Ed25519 keys over OpenSSL's libcrypto, with an owner for every handle and a
// byte buffer for secrets that wipes itself. Not API.
//
// Every algorithm is fetched from the module's own library context, made on first use with no
// configuration loaded, so that no OPENSSL_CONF, OPENSSL_MODULES or openssl.cnf of the host
// changes a result. A libcrypto call that fails throws: std::bad_alloc when libcrypto ran out of
// memory, internal::Fault naming the operation ("SHA-256 failed") otherwise; OpenSSL's error
// queue is cleared either way, so no library state travels upward.
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
template <size_t N = std::dynamic_extent>
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

// The same for secrets whose length is known only at run time (keys of any length). It can be
// moved, which hands the buffer over whole; it is never copied or resized.
template <>
class SecretBytes<std::dynamic_extent> {
 public:
  explicit SecretBytes(size_t size) : bytes_(size) {}
  SecretBytes(SecretBytes&&) noexcept = default;
  SecretBytes& operator=(SecretBytes&&) = delete;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  std::span<uint8_t> span() { return bytes_; }
  std::span<const uint8_t> span() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

using Digest32 = std::array<uint8_t, 32>;
using Bytes = std::span<const uint8_t>;

// Views of text as bytes, for feeding digests.
inline Bytes as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Digest32 sha256(Bytes data);

// SHA-256 of a message handed over in parts, for a message never held whole.
class Sha256 {
 public:
  Sha256();
  void update(Bytes data);
  void finish(std::span<uint8_t, 32> out);

 private:
  MdCtx ctx_;
};

// HMAC-SHA-256 (RFC 2104) keyed with `key` of any length over the concatenation of `parts`.
Digest32 hmac_sha256(Bytes key, std::initializer_list<Bytes> parts);
// The same into `out`, for a MAC that is itself a secret and lives in a SecretBytes.
void hmac_sha256(Bytes key, std::initializer_list<Bytes> parts, std::span<uint8_t, 32> out);

// Unkeyed BLAKE2b-512 (RFC 7693) for many messages in a row. The algorithm is looked up once,
// when the hasher is made, and each message starts from a copy of one initialised context,
// which keeps the per-message cost close to the compression itself.
class Blake2b512 {
 public:
  static constexpr size_t kDigestBytes = 64;
  Blake2b512();

  void digest(Bytes data, std::span<uint8_t, kDigestBytes> out);

 private:
  MdCtx initial_;
  MdCtx work_;
};

// Ed25519 keys of the module's library context from their 32 raw bytes (the RFC 8032 seed, or
// the encoded public point, which libcrypto takes as it is). A failure is reported as
// "signature operation failed". libcrypto computes the public point from the seed at once; it
// keeps the seed in memory it wipes on release, and wipes the expanded secret itself.
PKey ed25519_secret_key(std::span<const uint8_t, 32> seed);
PKey ed25519_public_key(std::span<const uint8_t, 32> point);

// The module's library context, for the calls that take one (EVP_DigestSignInit_ex and the like).
OSSL_LIB_CTX* library_context();

// Constant-time equality of two byte strings of the same length.
bool equal_constant_time(Bytes a, Bytes b);

// Throws for a failed libcrypto call, as the header says: std::bad_alloc if the error queue
// holds an allocation failure, else internal::Fault("<operation> failed").
[[noreturn]] void fail(std::string_view operation);

// fail(operation) unless `status` is 1, libcrypto's success.
inline void check(int status, std::string_view operation) {
  if (status != 1) fail(operation);
}

#ifdef QUELVANE_TEST_HOOKS
// Built into the unit tests only, never into the module: while one lives, SHA-256, BLAKE2b-512
// and the digest under HMAC are asked of libcrypto in a form it does not have, so that each
// really fails inside libcrypto, as with a broken provider.
class BrokenDigests {
 public:
  BrokenDigests();
  ~BrokenDigests();
  BrokenDigests(const BrokenDigests&) = delete;
  BrokenDigests& operator=(const BrokenDigests&) = delete;
};
#endif

}  // namespace quelvane::internal::crypto
