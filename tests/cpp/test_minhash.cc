// MinHash internals Python cannot see: the hash parameters, the shingling step, and the
// in-place shingle hashing of `compute` against the plain formulas over `shingles`, with
// division for the modular reductions.
#include "minhash.h"

#include <gtest/gtest.h>

#include <random>

#include "normalize.h"
#include "reference.h"

namespace quelvane::minhash {
namespace {

uint64_t reference_fnv(std::string_view bytes) {
  uint64_t hash = 0xCBF29CE484222325ULL;
  for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001B3ULL;
  return hash;
}

MinHash reference_minhash(std::string_view text) {
  const std::vector<std::string> words = reference::words(normalize::canonical(text));
  std::array<uint64_t, kNumPerm> signature{};
  const std::vector<std::string> all = reference::shingles(words);
  if (!all.empty()) signature.fill(~uint64_t{0});
  for (const std::string& shingle : all) {
    const unsigned __int128 x = reference_fnv(shingle) % kPrime;
    for (size_t i = 0; i < kNumPerm; ++i) {
      const auto v = static_cast<uint64_t>((parameters().a[i] * x % kPrime + parameters().b[i]) % kPrime);
      signature[i] = std::min(signature[i], v);
    }
  }
  return MinHash::from_signature(signature);
}

TEST(MinHash, ParametersComeFromSplitMix64) {
  const Parameters& p = parameters();
  EXPECT_EQ(p.a[0], 0x157A3807A48FAA9EULL);
  EXPECT_EQ(p.b[0], 0x1573529B34A1D099ULL);
  EXPECT_EQ(p.a[1], 0x0F90B72E996DCCC1ULL);
  EXPECT_EQ(p.b[1], 0x02D419334C4667F1ULL);
  for (size_t i = 0; i < kNumPerm; ++i) {
    EXPECT_GE(p.a[i], 1u);
    EXPECT_LE(p.a[i], kPrime - 1);
    EXPECT_LE(p.b[i], kPrime - 1);
  }
}

TEST(MinHash, ReferenceShinglesTakeFiveWords) {
  using V = std::vector<std::string>;
  EXPECT_EQ(reference::shingles(V{}), V{});
  EXPECT_EQ(reference::shingles(V{"a"}), V{"a"});
  EXPECT_EQ(reference::shingles(V{"a", "b", "c", "d"}), V{"a b c d"});
  EXPECT_EQ(reference::shingles(V{"a", "b", "c", "d", "e"}), V{"a b c d e"});
  EXPECT_EQ(reference::shingles(V({"a", "b", "c", "d", "e", "f", "a"})), V({"a b c d e", "b c d e f", "c d e f a"}));
}

TEST(MinHash, KnownValues) {
  const MinHash hello = MinHash::compute("Hello, World!");
  EXPECT_EQ(hello.signature[0], 1948724933775172566ULL);
  EXPECT_EQ(hello.signature[1], 1292420737957313527ULL);
  EXPECT_EQ(hello.bands[0], 6803327177779274473ULL);
  const MinHash empty = MinHash::compute("");
  for (uint64_t v : empty.signature) EXPECT_EQ(v, 0u);
  for (uint64_t band : empty.bands) EXPECT_EQ(band, 0x0C8210784D8AF5A5ULL);
}

TEST(MinHash, InPlaceShinglesMatchPlainFormulas) {
  std::mt19937 rng(17);
  const std::vector<std::string> vocabulary = {"The", "cat", "sat", "on", "mat", "déjà", "vu", "ΟΔΟΣ", "漢字",
                                               "x1", "--", "naïve", "İstanbul", "\xF0\x9D\x90\x80"};
  std::uniform_int_distribution<size_t> pick(0, vocabulary.size() - 1);
  // 40000 words make a stream of several pieces, cut inside words.
  for (size_t words : {0, 1, 4, 5, 6, 9, 200, 40000}) {
    std::string text;
    for (size_t i = 0; i < words; ++i) text += vocabulary[pick(rng)] + ", ";
    const MinHash got = MinHash::compute(text);
    const MinHash expected = reference_minhash(text);
    EXPECT_EQ(got.signature, expected.signature) << words;
    EXPECT_EQ(got.bands, expected.bands) << words;
    for (uint64_t v : got.signature) EXPECT_LT(v, kPrime);
  }
}

// The stream is read in pieces of about 64 KB: words longer than a piece, within the first five
// words and after them, and a text that is one such word.
TEST(MinHash, WordsLongerThanAPiece) {
  const std::string long_word(150000, 'b');
  for (const std::string& text : {"x " + long_word + " c d e f " + std::string(70000, 'g') + " h", long_word,
                                  "a b c d e f " + long_word + " " + long_word + " g"}) {
    EXPECT_EQ(MinHash::compute(text).signature, reference_minhash(text).signature) << text.size();
  }
}

uint64_t mul_mod_reference(uint64_t a, uint64_t b) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % kPrime);
}

// The x for which hash function i takes the value `target`: (target - b) / a modulo P.
uint64_t x_with_value(size_t i, uint64_t target) {
  uint64_t inverse = 1, base = parameters().a[i];
  for (uint64_t e = kPrime - 2; e > 0; e >>= 1, base = mul_mod_reference(base, base)) {
    if (e & 1) inverse = mul_mod_reference(inverse, base);
  }
  return mul_mod_reference((target + kPrime - parameters().b[i]) % kPrime, inverse);
}

TEST(MinHash, EveryVectorFormMatchesThePortableOne) {
  std::mt19937_64 rng(23);
  // Values at the edges of the last reduction (0 to 3 and P - 1) for some functions.
  std::vector<uint64_t> xs = {0, 1, 2, kPrime - 1, kPrime - 2, (uint64_t{1} << 32) - 1, uint64_t{1} << 32};
  for (size_t i : {0, 5, 63, 64, 127}) {
    for (uint64_t target : {uint64_t{0}, uint64_t{1}, uint64_t{3}, kPrime - 1}) xs.push_back(x_with_value(i, target));
  }
  for (int i = 0; i < 3000; ++i) xs.push_back(rng() % kPrime);
  const std::vector<SignatureUpdate> forms = signature_updates();
  std::array<uint64_t, kNumPerm> expected;
  expected.fill(kPrime);
  forms.front()(xs, expected);
  for (size_t f = 1; f < forms.size(); ++f) {
    std::array<uint64_t, kNumPerm> got;
    got.fill(kPrime);
    forms[f](xs, got);
    EXPECT_EQ(got, expected) << "form " << f;
  }
  EXPECT_EQ(expected[0], 0u);
  // Each x alone, so that every value a form computes is compared, not only the minima.
  for (uint64_t x : std::vector<uint64_t>(xs.begin(), xs.begin() + 230)) {
    std::array<uint64_t, kNumPerm> one;
    one.fill(kPrime);
    forms.front()(std::span<const uint64_t>(&x, 1), one);
    for (size_t f = 1; f < forms.size(); ++f) {
      std::array<uint64_t, kNumPerm> got;
      got.fill(kPrime);
      forms[f](std::span<const uint64_t>(&x, 1), got);
      EXPECT_EQ(got, one) << "form " << f << " x " << x;
    }
  }
}

TEST(MinHash, SharesBandAtAnyIndex) {
  MinHash a = MinHash::compute("one two three four five six");
  MinHash b = MinHash::compute("a wholly different text of words");
  EXPECT_FALSE(a.shares_band(b));
  b.bands[17] = a.bands[3];
  EXPECT_TRUE(a.shares_band(b));
  EXPECT_TRUE(b.shares_band(a));
  const MinHash rebuilt = MinHash::from_signature(a.signature);
  EXPECT_EQ(rebuilt.bands, a.bands);
  EXPECT_TRUE(rebuilt.shares_band(a));
  EXPECT_TRUE(MinHash::compute("").shares_band(MinHash::compute("?!")));
}

TEST(MinHash, BandHashIsFnvOfLittleEndianBytes) {
  EXPECT_EQ(band_hash(0, 0, 0, 0), 0x0C8210784D8AF5A5ULL);
  std::string bytes;
  for (uint64_t v : {1ULL, 0x0102030405060708ULL, ~0ULL, 42ULL}) {
    for (int i = 0; i < 8; ++i) bytes += static_cast<char>(v >> (8 * i));
  }
  EXPECT_EQ(band_hash(1, 0x0102030405060708ULL, ~0ULL, 42), reference_fnv(bytes));
}

}  // namespace
}  // namespace quelvane::minhash
