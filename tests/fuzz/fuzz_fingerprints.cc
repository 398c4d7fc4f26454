// The three fingerprints on arbitrary well-formed UTF-8, against plain recomputations:
// - the surface fingerprint's windows (computed together from shared block counts) against
//   a plain recomputation over each window's characters, and the whole against both that
//   and compute_whole;
// - the MinHash (shingle hashes deduplicated, signature updated in vector forms) against a
//   scalar loop over every shingle with 128-bit products, and every update form against it;
// - every form of the batch BLAKE2b-512 the surface fingerprint hashes its grams with, against
//   libcrypto, on messages cut from the input;
// - the structural fingerprint, which has no second implementation, for memory and UB faults.
#include <openssl/evp.h>

#include <array>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "internal/blake2b.h"
#include "minhash.h"
#include "normalize.h"
#include "reference.h"
#include "simhash.h"
#include "structure.h"

namespace quelvane::fuzz {
namespace {

// Windows are checked one by one only where there are few; otherwise the first and last two.
constexpr size_t kAllWindowsUpTo = 6;
constexpr size_t kEdgeWindows = 2;

std::vector<char32_t> scalars(std::string_view text) {
  std::vector<char32_t> out;
  for (size_t i = 0; i < text.size();) {
    const auto s = internal::utf8::decode(text, i);
    out.push_back(s.value);
    i += s.length;
  }
  return out;
}

void check_surface(std::string_view text) {
  const simhash::Fingerprint fingerprint = simhash::Fingerprint::compute(text);
  const std::vector<char32_t> chars = scalars(normalize::canonical(text));
  const size_t n = chars.size();
  FUZZ_CHECK(fingerprint.whole == simhash::Fingerprint::compute_whole(text));
  FUZZ_CHECK(fingerprint.whole == reference::simhash_4grams(chars));
  const auto& windows = fingerprint.windows;
  const size_t expected = n <= simhash::kWindowChars
                              ? 0
                              : 1 + (n - simhash::kWindowChars + simhash::kWindowStride - 1) / simhash::kWindowStride;
  FUZZ_CHECK(windows.size() == expected);
  for (size_t i = 0; i < windows.size(); ++i) {
    const size_t start = i * simhash::kWindowStride;
    FUZZ_CHECK(windows[i].start == start && windows[i].len == std::min(simhash::kWindowChars, n - start));
    if (windows.size() > kAllWindowsUpTo && i >= kEdgeWindows && i + kEdgeWindows < windows.size()) continue;
    FUZZ_CHECK(windows[i].hash == reference::simhash_4grams(std::span(chars).subspan(start, windows[i].len)));
  }
  if (!windows.empty()) FUZZ_CHECK(windows.back().start + windows.back().len == n);
}

// The input cut into messages of 0 to 16 bytes, the length of each taken from a byte of it.
void check_batch_hashes(std::span<const uint8_t> data) {
  namespace blake2b = internal::blake2b;
  blake2b::Batch batch;
  for (blake2b::ShortMessage& message : batch) {
    const size_t length = data.empty() ? 0 : std::min<size_t>(data[0] % (blake2b::kShortBytes + 1), data.size() - 1);
    message = {};
    if (!data.empty()) {
      std::copy_n(data.begin() + 1, length, message.bytes.begin());
      data = data.subspan(1 + length);
    }
    message.length = static_cast<uint8_t>(length);
  }
  std::array<blake2b::Half, blake2b::kBatch> expected;
  for (size_t k = 0; k < blake2b::kBatch; ++k) {
    unsigned char digest[64];
    unsigned int length = 0;
    FUZZ_CHECK(EVP_Digest(batch[k].bytes.data(), batch[k].length, digest, &length, EVP_blake2b512(), nullptr) == 1);
    std::copy_n(digest, expected[k].size(), expected[k].begin());
  }
  for (const blake2b::BatchHash form : blake2b::batch_hashes()) {
    blake2b::Halves out;
    form(batch, out);
    FUZZ_CHECK(out == expected);
  }
}

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = 0xCBF29CE484222325;
  for (char c : bytes) hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001B3;
  return hash;
}

// Every shingle, hashed and minimised one by one with exact 128-bit products.
std::array<uint64_t, minhash::kNumPerm> reference_signature(const std::vector<uint64_t>& xs) {
  std::array<uint64_t, minhash::kNumPerm> signature{};
  if (xs.empty()) return signature;
  signature.fill(UINT64_MAX);
  const auto& p = minhash::parameters();
  for (uint64_t x : xs) {
    for (size_t i = 0; i < minhash::kNumPerm; ++i) {
      const auto product = static_cast<unsigned __int128>(p.a[i]) * x % minhash::kPrime;
      signature[i] = std::min(signature[i], static_cast<uint64_t>((product + p.b[i]) % minhash::kPrime));
    }
  }
  return signature;
}

void check_minhash(std::string_view text) {
  const minhash::MinHash computed = minhash::MinHash::compute(text);
  std::vector<uint64_t> xs;
  for (const std::string& shingle : reference::shingles(reference::words(normalize::canonical(text)))) {
    xs.push_back(fnv1a(shingle) % minhash::kPrime);
  }
  const auto expected = reference_signature(xs);
  FUZZ_CHECK(computed.signature == expected);
  for (size_t j = 0; j < minhash::kNumBands; ++j) {
    const uint64_t* row = &expected[j * minhash::kBandRows];
    FUZZ_CHECK(computed.bands[j] == minhash::band_hash(row[0], row[1], row[2], row[3]));
  }
  FUZZ_CHECK(minhash::MinHash::from_signature(computed.signature).bands == computed.bands);
  if (xs.empty()) return;
  for (const minhash::SignatureUpdate update : minhash::signature_updates()) {
    std::array<uint64_t, minhash::kNumPerm> signature;
    signature.fill(minhash::kPrime);
    update(xs, signature);
    FUZZ_CHECK(signature == expected);
  }
}

}  // namespace
}  // namespace quelvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quelvane::fuzz;
  const std::string text = repaired_utf8(as_text({data, size}));
  check_batch_hashes({data, size});
  check_surface(text);
  check_minhash(text);
  (void)quelvane::structure::compute(text);
  return 0;
}
