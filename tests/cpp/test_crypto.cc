// A libcrypto failure never comes back as a value: each digest, made to fail inside libcrypto,
// throws an internal fault that names it, leaves OpenSSL's error queue empty, and the next
// call after the failure gives the right answer again.
#include "internal/crypto.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <functional>
#include <string>
#include <vector>

#include "crosscheck.h"
#include "internal/fault.h"
#include "internal/hex.h"
#include "simhash.h"
#include "stego.h"

namespace quelvane::internal::crypto {
namespace {

const std::string kProse =
    "The harbour town woke slowly, its fishing boats knocking against the pier while gulls argued over the "
    "night's catch and the baker opened his shutters to the smell of bread, salt and diesel in the cold air of "
    "a grey morning that promised rain before noon and wind from the sea by evening, as it always did in spring.";

// The message of the fault `call` throws, or what it did instead.
std::string fault_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const Fault& fault) {
    return fault.what();
  } catch (const std::exception& other) {
    return std::string("not a fault: ") + other.what();
  }
  return "no failure";
}

TEST(Crypto, BrokenDigestsAreFaultsNotValues) {
  const std::vector<uint8_t> short_key(16, 0x6b);
  const std::vector<uint8_t> long_key(100, 0x6b);  // hashed with SHA-256 before HMAC sees it
  const std::vector<uint8_t> pointer(16, 0x01);
  const stego::ContentHash hash = stego::content_hash(kProse);
  const auto marked = stego::embed(kProse, short_key, pointer);
  ASSERT_TRUE(marked.ok());
  struct Row {
    const char* what;
    std::function<void()> call;
    const char* fault;
  };
  const Row rows[] = {
      {"sha256", [] { (void)sha256(as_bytes("hello world")); }, "SHA-256 failed"},
      {"content_hash", [] { (void)stego::content_hash(kProse); }, "SHA-256 failed"},
      {"hmac", [&] { (void)hmac_sha256(short_key, {as_bytes("m")}); }, "HMAC-SHA-256 failed"},
      {"hmac long key", [&] { (void)hmac_sha256(long_key, {as_bytes("m")}); }, "SHA-256 failed"},
      {"crosscheck", [&] { (void)crosscheck::crosscheck_tag(short_key, as_bytes("r"), hash); },
       "HMAC-SHA-256 failed"},
      {"blake2_256", [] { (void)simhash::blake2_256(as_bytes("a")); }, "BLAKE2b-512 failed"},
      {"embed", [&] { (void)stego::embed(kProse, short_key, pointer); }, "SHA-256 failed"},
      {"extract", [&] { (void)stego::extract(*marked, short_key); }, "SHA-256 failed"},
      {"placement", [&] { (void)stego::fisher_yates(48, short_key, hash); }, "HMAC-SHA-256 failed"},
  };
  for (const Row& row : rows) {
    ERR_clear_error();
    {
      const BrokenDigests broken;
      EXPECT_EQ(fault_of(row.call), row.fault) << row.what;
    }
    EXPECT_EQ(ERR_peek_error(), 0u) << row.what << ": the error queue was left behind";
  }
  // The surface fingerprint hashes its grams with its own BLAKE2b, so it does not depend on
  // libcrypto's digests at all.
  const simhash::Fingerprint fingerprint = simhash::Fingerprint::compute(kProse);
  {
    const BrokenDigests broken;
    const simhash::Fingerprint again = simhash::Fingerprint::compute(kProse);
    EXPECT_EQ(again.whole, fingerprint.whole);
    EXPECT_EQ(again.windows, fingerprint.windows);
    EXPECT_EQ(simhash::Fingerprint::compute_whole(kProse), fingerprint.whole);
  }
  // Nothing of the failures stays behind.
  EXPECT_EQ(hex::encode(sha256(as_bytes("hello world"))),
            "b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde9");
  EXPECT_EQ(stego::content_hash(kProse), hash);
  EXPECT_EQ(simhash::blake2_256(as_bytes("a")).hex(),
            "333fcb4ee1aa7c115355ec66ceac917c8bfd815bf7587d325aec1864edd24e34");
}

// RFC 4231 test cases 1 (a 20-byte key) and 6 (a 131-byte key, longer than the block), and the
// empty key, whose HMAC needs the key's address to be given.
TEST(Crypto, HmacSha256KnownAnswers) {
  const std::vector<uint8_t> key1(20, 0x0b);
  EXPECT_EQ(hex::encode(hmac_sha256(key1, {as_bytes("Hi "), as_bytes("There")})),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  const std::vector<uint8_t> key6(131, 0xaa);
  EXPECT_EQ(hex::encode(hmac_sha256(key6, {as_bytes("Test Using Larger Than Block-Size Key - Hash Key First")})),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  SecretBytes<32> into;
  hmac_sha256({}, {}, into.span());
  EXPECT_EQ(hex::encode(into.span()), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

}  // namespace
}  // namespace quelvane::internal::crypto
