// The structural tokeniser, which Python reaches only through the fingerprint.
#include "structure.h"

#include <gtest/gtest.h>

namespace quelvane::structure {
namespace {

using Tokens = std::vector<std::string>;

TEST(Structure, WordTokensSplitAtEveryNonAlphanumeric) {
  EXPECT_EQ(word_tokens("don't stop"), (Tokens{"don", "t", "stop"}));
  EXPECT_EQ(word_tokens("e-mail 3.14 THE"), (Tokens{"e", "mail", "3", "14", "the"}));
  EXPECT_EQ(word_tokens("  ...  "), Tokens{});
  EXPECT_EQ(word_tokens(""), Tokens{});
}

TEST(Structure, WordTokensLowerCaseWholeStrings) {
  // A final capital sigma takes the final form; one inside a word does not.
  EXPECT_EQ(word_tokens("ΟΔΟΣ ΣΑΣ"), (Tokens{"οδος", "σας"}));
  // U+0130 lower-cases to i followed by U+0307, which stays in the token.
  EXPECT_EQ(word_tokens("İSTANBUL"), (Tokens{"i\xCC\x87stanbul"}));
  EXPECT_EQ(word_tokens("ＡＢ½"), (Tokens{"ａｂ½"}));
}

}  // namespace
}  // namespace quelvane::structure
