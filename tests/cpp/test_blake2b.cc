// Every form of the batch hash (portable, and each vector form this CPU runs) against
// libcrypto's BLAKE2b-512, on messages of every length the batch takes and every byte value.
#include "internal/blake2b.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <random>

#include "internal/hex.h"

namespace quelvane::internal::blake2b {
namespace {

Half libcrypto_half(const ShortMessage& message) {
  unsigned char digest[64];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(message.bytes.data(), message.length, digest, &length, EVP_blake2b512(), nullptr), 1);
  Half out;
  std::copy(digest, digest + out.size(), out.begin());
  return out;
}

ShortMessage message_of(std::string_view text) {
  ShortMessage message;
  std::copy(text.begin(), text.end(), message.bytes.begin());
  message.length = static_cast<uint8_t>(text.size());
  return message;
}

TEST(Blake2b, KnownAnswerInEveryLane) {
  Batch batch;
  batch.fill(message_of("a"));
  for (const BatchHash form : batch_hashes()) {
    Halves out;
    form(batch, out);
    for (const Half& half : out) {
      EXPECT_EQ(hex::encode(half), "333fcb4ee1aa7c115355ec66ceac917c8bfd815bf7587d325aec1864edd24e34");
    }
  }
}

TEST(Blake2b, EveryFormMatchesLibcrypto) {
  std::mt19937 rng(2);
  std::uniform_int_distribution<int> byte(0, 255);
  const auto forms = batch_hashes();
  for (int round = 0; round < 2000; ++round) {
    Batch batch;
    for (size_t k = 0; k < kBatch; ++k) {
      ShortMessage& message = batch[k];
      // Every length in every lane; high bytes (the signs of the words) as often as low ones.
      message.length = static_cast<uint8_t>((round + 3 * k) % (kShortBytes + 1));
      for (size_t i = 0; i < message.length; ++i) message.bytes[i] = static_cast<uint8_t>(round % 7 == 0 ? 0xff : byte(rng));
    }
    for (size_t f = 0; f < forms.size(); ++f) {
      Halves out;
      forms[f](batch, out);
      for (size_t k = 0; k < kBatch; ++k) {
        ASSERT_EQ(out[k], libcrypto_half(batch[k])) << "form " << f << ", round " << round << ", lane " << k;
      }
    }
  }
}

TEST(Blake2b, FirstHalvesMatchPortableForm) {
  Batch batch;
  for (size_t k = 0; k < kBatch; ++k) batch[k] = message_of(std::string(k, 'x'));
  Halves widest, portable;
  first_halves(batch, widest);
  batch_hashes().front()(batch, portable);
  EXPECT_EQ(widest, portable);
}

}  // namespace
}  // namespace quelvane::internal::blake2b
