// The structural tokeniser's rule: the words of a sentence are its runs of alphanumeric
// characters, each lower-cased as a whole string. The fingerprint never builds these strings
// (it lower-cases character by character, which decides function words the same way); the
// rule is kept here, where its cases are pinned down.
#include <gtest/gtest.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>

#include <string>
#include <string_view>
#include <vector>

#include "internal/utf8.h"
#include "normalize.h"

namespace quelvane::structure {
namespace {

using Tokens = std::vector<std::string>;

std::string lower_string(std::string_view piece) {
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())), sink,
                            nullptr, status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  return out;
}

Tokens word_tokens(std::string_view sentence) {
  constexpr size_t kNone = std::string_view::npos;
  Tokens tokens;
  size_t begin = kNone;  // where the current word starts, if inside one
  for (size_t i = 0; i < sentence.size();) {
    const auto s = internal::utf8::decode(sentence, i);
    if (normalize::is_alphanumeric(s.value)) {
      if (begin == kNone) begin = i;
    } else if (begin != kNone) {
      tokens.push_back(lower_string(sentence.substr(begin, i - begin)));
      begin = kNone;
    }
    i += s.length;
  }
  if (begin != kNone) tokens.push_back(lower_string(sentence.substr(begin)));
  return tokens;
}

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
