// The fast paths of the surface fingerprint (gram index, bit tallies, block sums shared by
// overlapping windows) against a slow reference that counts grams in a map, hashes each with
// a one-shot libcrypto call and votes bit by bit, window by window.
#include "simhash.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "internal/crypto.h"
#include "internal/utf8.h"
#include "normalize.h"
#include "reference.h"

namespace quelvane::simhash {
namespace {

void set_bit(Hash256& value, size_t i) { value.bytes[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8)); }

Hash256 reference_blake2_256(const std::string& bytes) {
  unsigned char digest[64];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_blake2b512(), nullptr);
  Hash256 out;
  std::copy(digest, digest + 32, out.bytes.begin());
  return out;
}

std::string utf8_of(std::u32string_view chars) {
  std::string out;
  for (char32_t c : chars) internal::utf8::append(out, c);
  return out;
}

Hash256 reference_simhash(std::u32string_view chars) {
  if (chars.empty()) return {};
  const size_t k = std::min<size_t>(chars.size(), 4);
  std::map<std::u32string, int64_t> counts;
  for (size_t p = 0; p + k <= chars.size(); ++p) ++counts[std::u32string(chars.substr(p, k))];
  std::array<int64_t, 256> counters{};
  for (const auto& [gram, count] : counts) {
    const Hash256 h = reference_blake2_256(utf8_of(gram));
    for (size_t i = 0; i < 256; ++i) counters[i] += h.bit(i) ? count : -count;
  }
  Hash256 out;
  for (size_t i = 0; i < 256; ++i) {
    if (counters[i] > 0) set_bit(out, i);
  }
  return out;
}

std::u32string decode_all(std::string_view text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    const auto s = internal::utf8::decode(text, i);
    out += s.value;
    i += s.length;
  }
  return out;
}

Fingerprint reference_fingerprint(std::string_view text) {
  const std::u32string chars = decode_all(normalize::canonical(text));
  Fingerprint out{reference_simhash(chars), {}};
  if (chars.size() <= 512) return out;
  for (size_t start = 0;; start += 256) {
    const size_t end = std::min(start + 512, chars.size());
    out.windows.push_back({reference_simhash(std::u32string_view(chars).substr(start, end - start)), start, end - start});
    if (end == chars.size()) break;
  }
  return out;
}

// A text of `words` words drawn from a small vocabulary (so grams repeat, as in prose) mixing
// ASCII, accented and decomposed Latin, Greek, CJK and a supplementary-plane letter.
std::string random_text(std::mt19937& rng, size_t words) {
  static const std::vector<std::string> vocabulary = {
      "the", "cat", "Sat", "on", "mat", "déjà", "vu", "e\xCC\x81t\xC3\xA9", "λόγος", "ΟΔΟΣ", "漢字", "かな",
      "\xF0\x9D\x90\x80" "bc", "x1", "42", "naïve", "-", "...", "\xE2\x80\x8B"};
  std::uniform_int_distribution<size_t> pick(0, vocabulary.size() - 1);
  std::string out;
  for (size_t i = 0; i < words; ++i) out += vocabulary[pick(rng)] + (i % 7 == 6 ? ", " : " ");
  return out;
}

TEST(Hash256, HexRoundTripAndHamming) {
  const Hash256 a = blake2_256(internal::crypto::as_bytes("a"));
  EXPECT_EQ(a.hex(), "333fcb4ee1aa7c115355ec66ceac917c8bfd815bf7587d325aec1864edd24e34");
  EXPECT_EQ(Hash256::from_hex(a.hex()), a);
  EXPECT_EQ(Hash256::from_hex("333FCB4EE1AA7C115355EC66CEAC917C8BFD815BF7587D325AEC1864EDD24E34"), a);
  EXPECT_EQ(a.hamming(a), 0);
  EXPECT_EQ(Hash256{}.hamming(*Hash256::from_hex(std::string(64, 'f'))), 256);
  for (const char* bad : {"", "0", "00", "0x33", " 333fcb4ee1aa7c115355ec66ceac917c8bfd815bf7587d325aec1864edd24e34"}) {
    EXPECT_FALSE(Hash256::from_hex(bad).has_value()) << bad;
  }
  EXPECT_FALSE(Hash256::from_hex(a.hex() + "00").has_value());
}

TEST(Hash256, BitsCountFromTheMostSignificantBitOfTheFirstByte) {
  const Hash256 h = *Hash256::from_hex("8040" + std::string(58, '0') + "01");
  EXPECT_TRUE(h.bit(0) && h.bit(9) && h.bit(255));
  EXPECT_FALSE(h.bit(1) || h.bit(8));
}

TEST(Vote, MatchesBitByBitCountersForAnyWeights) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int64_t> weight(-3000, 3000);
  Vote vote;
  std::array<int64_t, 256> counters{};
  for (int item = 0; item < 700; ++item) {  // more than a byte lane holds
    // Items up to 16 bytes are hashed in batches, longer ones one by one: both kinds, and empty.
    const std::string bytes = item % 7 == 0 ? std::string(item % 3, 'i')
                              : std::string(item % 2 ? "" : "a longer item ") + "item " + std::to_string(item % 300);
    const int64_t w = item % 5 == 0 ? 1 : weight(rng);
    vote.add(bytes, w);
    const Hash256 h = reference_blake2_256(bytes);
    for (size_t i = 0; i < 256; ++i) counters[i] += h.bit(i) ? w : -w;
  }
  Hash256 expected;
  for (size_t i = 0; i < 256; ++i) {
    if (counters[i] > 0) set_bit(expected, i);
  }
  EXPECT_EQ(vote.result(), expected);
}

TEST(Vote, ZeroCounterGivesZeroBit) {
  Vote vote;
  vote.add("x", 5);
  vote.add("x", -5);
  EXPECT_EQ(vote.result(), Hash256{});
}

// The whole-text fingerprint, and the map-counted recomputation the fuzz harness checks
// windows against, both equal the vote counted bit by bit here.
TEST(Simhash, WholeTextMatchesBitByBitVote) {
  std::mt19937 rng(11);
  std::vector<std::string> texts = {"a", "ab", "a b", "\xF0\x9D\x90\x80", "abcd"};
  for (size_t words : {0, 1, 2, 5, 40, 300}) texts.push_back(random_text(rng, words));
  for (const std::string& text : texts) {
    const std::u32string chars = decode_all(normalize::canonical(text));
    const Hash256 expected = reference_simhash(chars);
    EXPECT_EQ(Fingerprint::compute_whole(text), expected) << text;
    EXPECT_EQ(reference::simhash_4grams(chars), expected) << text;
  }
}

TEST(Fingerprint, KnownValues) {
  EXPECT_EQ(Fingerprint::compute("A").whole.hex(), "333fcb4ee1aa7c115355ec66ceac917c8bfd815bf7587d325aec1864edd24e34");
  EXPECT_EQ(Fingerprint::compute("Hello, World!").whole.hex(),
            "2b005c60c729ca85b554583c63ab2ee43ab07680cda8e013b3041b9004a25030");
  for (const char* empty : {"", " ,.! ", "\xE2\x80\x8B"}) {
    const Fingerprint f = Fingerprint::compute(empty);
    EXPECT_EQ(f.whole, Hash256{});
    EXPECT_TRUE(f.windows.empty());
  }
}

TEST(Fingerprint, WindowStartsAndLengths) {
  struct Case {
    size_t n;
    std::vector<std::pair<size_t, size_t>> windows;
  };
  const Case cases[] = {
      {512, {}},
      {513, {{0, 512}, {256, 257}}},
      {768, {{0, 512}, {256, 512}}},
      {769, {{0, 512}, {256, 512}, {512, 257}}},
      {1024, {{0, 512}, {256, 512}, {512, 512}}},
      {1025, {{0, 512}, {256, 512}, {512, 512}, {768, 257}}},
  };
  for (const Case& c : cases) {
    std::string text;
    for (size_t i = 0; i < c.n; ++i) text += static_cast<char>('a' + (i * 7 + i / 26) % 26);
    const Fingerprint f = Fingerprint::compute(text);
    std::vector<std::pair<size_t, size_t>> got;
    for (const WindowFp& w : f.windows) got.emplace_back(w.start, w.len);
    EXPECT_EQ(got, c.windows) << c.n;
  }
}

TEST(Fingerprint, WindowsMatchReferenceAroundBlockEdges) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> letter(0, 5);
  // Stream lengths on and around every case of the last window and of empty last blocks.
  for (size_t n : {513, 515, 516, 517, 767, 768, 769, 770, 771, 772, 773, 1024, 1025, 1028, 1029, 2000}) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += i % 9 == 8 ? ' ' : static_cast<char>('a' + letter(rng));
    if (text.back() == ' ') text.back() = 'z';
    ASSERT_EQ(decode_all(normalize::canonical(text)).size(), n);
    const Fingerprint f = Fingerprint::compute(text);
    const Fingerprint expected = reference_fingerprint(text);
    EXPECT_EQ(f.whole, expected.whole) << n;
    EXPECT_EQ(f.windows, expected.windows) << n;
  }
}

TEST(Fingerprint, RepeatedGramsFillWholeBlocks) {
  // One gram at every position: each bit counter of a block reaches 256, its top digit.
  for (const std::string& unit : {std::string("a"), std::string("abc "), std::string("\xCE\xB1\xCE\xB2")}) {
    std::string text;
    while (text.size() < 3000) text += unit;
    const Fingerprint f = Fingerprint::compute(text);
    const Fingerprint expected = reference_fingerprint(text);
    EXPECT_EQ(f.whole, expected.whole) << unit;
    EXPECT_EQ(f.windows, expected.windows) << unit;
  }
}

TEST(Fingerprint, MixedScriptMatchesReference) {
  std::mt19937 rng(5);
  for (size_t words : {3, 90, 200, 700}) {
    const std::string text = random_text(rng, words);
    const Fingerprint f = Fingerprint::compute(text);
    const Fingerprint expected = reference_fingerprint(text);
    EXPECT_EQ(f.whole, expected.whole) << words;
    EXPECT_EQ(f.windows, expected.windows) << words;
    EXPECT_EQ(Fingerprint::compute_whole(text), f.whole) << words;
  }
}

// More distinct grams than the index keeps, of each script: the later ones are hashed at every
// occurrence, in batches that straddle the chunks of positions.
TEST(Fingerprint, GramsBeyondTheKeptOnesMatchReference) {
  std::mt19937 rng(13);
  std::uniform_int_distribution<int> letter(0, 25), ideograph(0, 3999), gap(0, 6);
  std::string latin, cjk;
  for (size_t i = 0; i < 60000; ++i) {
    latin += gap(rng) == 0 ? ' ' : static_cast<char>('a' + letter(rng));
    internal::utf8::append(cjk, gap(rng) == 0 ? U' ' : static_cast<char32_t>(0x4E00 + ideograph(rng)));
  }
  for (const std::string& text : {latin, cjk, latin.substr(0, 30000) + cjk.substr(0, 90000)}) {
    const Fingerprint f = Fingerprint::compute(text);
    const Fingerprint expected = reference_fingerprint(text);
    EXPECT_EQ(f.whole, expected.whole);
    EXPECT_EQ(f.windows, expected.windows);
    EXPECT_EQ(Fingerprint::compute_whole(text), f.whole);
  }
}

// The canonical stream is read in pieces of 64 KB: grams, windows and characters of every
// width across the cuts.
TEST(Fingerprint, StreamReadInPiecesMatchesReference) {
  std::mt19937 rng(17);
  const std::string text = random_text(rng, 60000);
  ASSERT_GT(normalize::canonical(text).size(), 3u * 65536);
  const Fingerprint f = Fingerprint::compute(text);
  const Fingerprint expected = reference_fingerprint(text);
  EXPECT_EQ(f.whole, expected.whole);
  EXPECT_EQ(f.windows, expected.windows);
  EXPECT_EQ(Fingerprint::compute_whole(text), f.whole);
}

TEST(Fingerprint, WholeOnlyMatchesFullComputation) {
  for (const char* text : {"", "A", "abc", "abcd", "Hello, World!"}) {
    EXPECT_EQ(Fingerprint::compute_whole(text), Fingerprint::compute(text).whole) << text;
  }
}

}  // namespace
}  // namespace quelvane::simhash
