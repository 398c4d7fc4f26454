#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "stego.h"

namespace quelvane::stego {
namespace {

using Gaps = std::vector<size_t>;

TEST(Stego, WordGapsEndAtWhiteSpace) {
  EXPECT_EQ(word_gaps("ab  c\u200B" "d"), (Gaps{2, 9}));
  EXPECT_EQ(word_gaps(strip_zero_width("ab  c\u200B" "d")), (Gaps{2, 6}));
  EXPECT_EQ(word_gaps(""), Gaps{});
  EXPECT_EQ(word_gaps(" \t\r\n\u3000\u00A0\u0085\u2028 "), Gaps{});
  // Non-ASCII word characters count by their bytes.
  EXPECT_EQ(word_gaps("caf\u00E9\u2003na\u00EFve"), (Gaps{5, 14}));
  // U+180E and U+200E are not White_Space: they are word characters.
  EXPECT_EQ(word_gaps("a\u180E b\u200E"), (Gaps{4, 9}));
}

TEST(Stego, WordGapsSeeThroughZeroWidthCharacters) {
  // Inside a word, before it, after it or on their own, zero-width characters make no word.
  EXPECT_EQ(word_gaps("x\uFE0Fy\uFEFFz"), (Gaps{9}));
  EXPECT_EQ(word_gaps("\uFEFF\n\u200Bab \u200D\uFEFF cd\u200B\t"), (Gaps{9, 19}));
  // A run goes after the variation selectors that directly follow a word, not into an emoji.
  EXPECT_EQ(word_gaps("\u2764\uFE0F \u2764\uFE0F\uFE0E\uFEFF\uFE0F"), (Gaps{6, 16}));
  EXPECT_EQ(word_gaps("1\uFE0F\u20E3 \U0001F468\u200D\U0001F469"), (Gaps{7, 19}));
}

TEST(Stego, WordGapsTreatStrayBytesAsWordCharacters) {
  EXPECT_EQ(word_gaps("a\xFF b\xE2\x80"), (Gaps{2, 6}));
  EXPECT_EQ(word_gaps("\xE2\x80\x8B\xE2\x80"), (Gaps{5}));
}

// One character at a time, with the White_Space set and a few zero-width characters spelled out.
Gaps naive_word_gaps(std::string_view text) {
  Gaps gaps;
  bool in_word = false;
  bool after_base = false;
  size_t end = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<uint8_t>(text[i]);
    const bool space = byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
    const bool selector = text.substr(i, 3) == "\uFE0F";
    const bool zero_width = selector || text.substr(i, 3) == "\u200B" || text.substr(i, 3) == "\uFEFF";
    if (space) {
      if (in_word) gaps.push_back(end);
      in_word = false;
    } else if (!zero_width) {
      in_word = after_base = true;
      end = i + 1;
    } else {
      i += 2;
      if (selector && after_base) end = i + 1;
      after_base = after_base && selector;
    }
  }
  if (in_word) gaps.push_back(end);
  return gaps;
}

TEST(Stego, WordGapsAgreeWithACharacterWalkAcrossAsciiBlocks) {
  std::mt19937 rng(17);
  const std::string pieces[] = {" ", "\t", "\n", "\r", "\x0B", "\x0C", "\x08", "\x0E", "\x1F", "\x7F",
                                std::string(1, '\0'), "a", "Z", "9", "\u200B", "\uFEFF", "\uFE0F"};
  for (int trial = 0; trial < 500; ++trial) {
    std::string text;
    const int length = static_cast<int>(rng() % 40);
    for (int i = 0; i < length; ++i) text += pieces[rng() % (trial % 2 ? 14 : 17)];
    ASSERT_EQ(word_gaps(text), naive_word_gaps(text)) << "trial " << trial;
  }
}

// The placement follows 48 positions back through the swaps instead of shuffling every word:
// it must agree with the full shuffle, including counts where the tracked positions collide
// with each other and with the top of the array.
TEST(Stego, PlacementIsTheStartOfTheShuffle) {
  std::mt19937_64 random(7);
  for (size_t count : {size_t{48}, size_t{49}, size_t{50}, size_t{64}, size_t{97}, size_t{1000}, size_t{100003}}) {
    for (int trial = 0; trial < 20; ++trial) {
      ContentHash hash;
      for (uint8_t& b : hash) b = static_cast<uint8_t>(random());
      const std::vector<uint8_t> key = {static_cast<uint8_t>(trial), 1, 2};
      const std::vector<size_t> order = fisher_yates(count, key, hash);
      const auto first = placement(count, key, hash);
      ASSERT_TRUE(std::equal(first.begin(), first.end(), order.begin())) << count << " trial " << trial;
    }
  }
}

TEST(Stego, RoutingPointerIsCutOrZeroPadded) {
  const std::vector<uint8_t> longer(20, 0xAB);
  Pointer cut;
  cut.fill(0xAB);
  EXPECT_EQ(routing_pointer(longer), cut);
  const std::vector<uint8_t> shorter = {1, 2, 3};
  EXPECT_EQ(routing_pointer(shorter), (Pointer{1, 2, 3}));
  EXPECT_EQ(routing_pointer({}), Pointer{});
}

TEST(Stego, DecodeNeedsAtLeast24Slots) {
  const ContentHash hash{};
  const std::vector<uint8_t> pointer = {9, 8, 7};
  auto codeword = encode_payload(pointer, {}, hash);
  ASSERT_TRUE(codeword.ok());
  CodewordSlots slots;
  for (size_t i = 0; i < kCodewordBytes; ++i) slots[i] = i % 2 == 0 ? std::optional<uint8_t>((*codeword)[i]) : std::nullopt;
  auto decoded = decode_payload(slots, {}, hash);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded->pointer, routing_pointer(pointer));
  EXPECT_TRUE(decoded->tag_verified);
  EXPECT_EQ(decoded->shards_recovered, 24u);
  slots[0].reset();
  auto lost = decode_payload(slots, {}, hash);
  ASSERT_FALSE(lost.ok());
  EXPECT_EQ(lost.error().message(), "watermark could not be recovered from remaining positions");
}

TEST(Stego, ArbitraryBytesNeverBreakEmbedOrExtract) {
  std::mt19937 rng(42);
  const std::string pieces[] = {" ", "a", "\xE2\x80\x8B", "\xE2\x81\xA0", "\xEF\xBB\xBF", "\xFF", "\xE2\x80", "\n"};
  const std::vector<uint8_t> key = {1, 2, 3};
  for (int trial = 0; trial < 200; ++trial) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += pieces[rng() % std::size(pieces)];
    auto marked = embed(text, key, key);
    if (marked.ok()) {
      EXPECT_EQ(marked->size(), text.size() + 576);
      (void)extract(*marked, key);
    }
    (void)extract(text, key);
  }
}

TEST(Stego, InsertionsAreWhereEmbedPutsTheRuns) {
  const std::vector<uint8_t> key = {7, 7};
  std::string text;
  for (int i = 0; i < 200; ++i) text += i % 7 ? "word\u00e9 " : "\u4e2d\u6587\n";
  const auto runs = insertions(text, key, key);
  ASSERT_TRUE(runs.ok());
  std::string rebuilt;
  size_t copied = 0;
  for (const Insertion& run : *runs) {
    ASSERT_GE(run.offset, copied);
    rebuilt += text.substr(copied, run.offset - copied) + symbol_run(run.byte);
    copied = run.offset;
  }
  rebuilt += text.substr(copied);
  EXPECT_EQ(rebuilt, embed(text, key, key).value());
  EXPECT_EQ(symbol_run(0xB4), "\u200d\u2060\u200c\u200b");

  const auto short_text = insertions("a few words", key, key);
  ASSERT_FALSE(short_text.ok());
  EXPECT_EQ(short_text.error().message(), embed("a few words", key, key).error().message());
}

}  // namespace
}  // namespace quelvane::stego
