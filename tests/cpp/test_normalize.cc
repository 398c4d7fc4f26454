// The streams Python cannot see directly: structural, words, strip_zero_width, and the hex rule.
#include <gtest/gtest.h>

#include "internal/crypto.h"
#include "internal/hex.h"
#include "internal/utf8.h"
#include "normalize.h"
#include "reference.h"
#include "stego.h"

namespace quelvane {
namespace {

TEST(Normalize, StructuralKeepsEverythingButZeroWidth) {
  EXPECT_EQ(normalize::structural("  Hello, World!  "), "  Hello, World!  ");
  EXPECT_EQ(normalize::structural("a\r\n\tb  c\u200b\ufeffd"), "a\r\n\tb  cd");
  EXPECT_EQ(normalize::structural("A\u0300"), "\u00c0");
  EXPECT_EQ(normalize::structural("e\u200b\u0301"), "e\u0301");  // removed after composition
  EXPECT_EQ(normalize::structural(""), "");
}

TEST(Normalize, CanonicalExamples) {
  EXPECT_EQ(normalize::canonical("  Hello, World!  "), "hello world");
  EXPECT_EQ(normalize::canonical("co\u200bop"), "coop");
  EXPECT_EQ(normalize::canonical("\u00c0B"), "\u00e0b");
  EXPECT_EQ(normalize::canonical("--"), "");
}

TEST(Normalize, CanonicalAcrossPieceBoundaries) {
  // Inputs longer than one normalisation piece, with composing pairs straddling every offset.
  std::string text;
  std::string expected;
  for (int i = 0; i < 12000; ++i) {
    text += "Ae\u0301 ";
    expected += (i ? " ae\u0301" : "ae\u0301");
  }
  // "é" composes to U+00E9, which is Alphabetic.
  std::string composed;
  for (int i = 0; i < 12000; ++i) composed += (i ? " a\u00e9" : "a\u00e9");
  EXPECT_EQ(normalize::canonical(text), composed);
}

// Every character of the plane and a few beyond it, each in a text of its own (so a piece is NFC
// as it stands exactly when that character allows) and after a letter and before a combining
// mark (which can compose with both): the copied runs, the per-process table and the general
// path each give the stream by its plain rules.
TEST(Normalize, EveryCharacterGivesTheStreamOfItsRules) {
  std::vector<char32_t> characters;
  for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) characters.push_back(c);
  }
  for (char32_t c : {0x10000, 0x1D400, 0x1D7CE, 0x1F600, 0x20000, 0x2F800, 0xE0100, 0x10FFFF}) characters.push_back(c);
  for (char32_t c : characters) {
    std::string unit;
    internal::utf8::append(unit, c);
    for (const std::string& text : {"Ab" + unit + unit + "cd " + unit + ". " + unit + "9" + unit,
                                    "e" + unit + "\u0301" + unit + "\u0308x"}) {
      ASSERT_EQ(normalize::canonical(text), reference::canonical(text)) << std::hex << static_cast<uint32_t>(c);
    }
  }
}

// Bytes that are not well-formed UTF-8 never reach the core from Python; if they did, each
// ill-formed byte is U+FFFD, a separator, on every path.
TEST(Normalize, IllFormedBytesSeparate) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\xE0\x83\xA9" "b", "a b"},       // overlong form of U+00E9
      {"\xED\xA0\x80x\xE4\xB8", "x"},     // a surrogate; a cut-off sequence at the end
      {"\xC3\xA9\xC3", "\u00e9"},         // a lead byte alone
      {"\xE4\xB8\xAD\xB8\xAD\xE4\xB8\xAD", "\u4e2d \u4e2d"},  // stray continuation bytes
      {"\xF0\x9F\x98\xC3\x89t\xC3\xA9", "\u00e9t\u00e9"},
  };
  for (const auto& [text, stream] : cases) EXPECT_EQ(normalize::canonical(text), stream);
}

std::string repeated(std::string_view unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

TEST(Normalize, LongRunsOfMarksInAnyOrder) {
  // Runs longer than the normaliser reorders by insertion, against ICU's own NFC: marks of two
  // classes alternating, a character of class 0 whose decomposition is two marks (U+0F73), a
  // letter with a decomposition inside the run, and jamo that compose backwards.
  for (const std::string& text : {"a" + repeated("\u0301\u0323", 200), "x" + repeated("\u0f73", 100),
                                  "o" + repeated("\u0308\u0315\u0327", 50) + "\u00e9" + repeated("\u0301\u0316", 40),
                                  repeated("\u1100\u1161\u11a8\u0301\u0323", 60) + repeated("\u0344", 70)}) {
    EXPECT_EQ(normalize::structural(text), reference::nfc(text));
  }
}

TEST(Normalize, LongRunOfMarksTakesLinearTime) {
  // ICU alone takes minutes on this; in canonical order it composes at once. U+0323 is class
  // 220 and U+0301 class 230, and only the first U+0323 composes with the "a".
  constexpr size_t kPairs = 200000;
  const std::string text = "a" + repeated("\u0301\u0323", kPairs);
  EXPECT_EQ(normalize::structural(text), "\u1ea1" + repeated("\u0323", kPairs - 1) + repeated("\u0301", kPairs));
  EXPECT_EQ(normalize::canonical(text), "\u1ea1");
}

// The watermark reader hashes a text as it stands, without stripping it, when every run of
// zero-width characters is followed by such a boundary; that needs one before each of them too.
TEST(Normalize, EveryZeroWidthCharacterHasAnNfcBoundaryBefore) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (normalize::is_zero_width(c)) EXPECT_TRUE(normalize::has_nfc_boundary_before(c)) << std::hex << static_cast<uint32_t>(c);
  }
}

// The structural stream in pieces is the stream: pieces hold whole characters, and a piece of
// normalised characters is cut when it grows large.
TEST(Normalize, StructuralPiecesMakeTheStream) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += i % 7 ? "\U0001D160a\u200b" : "plain ASCII words. ";
  std::string joined;
  size_t pieces = 0;
  normalize::for_each_structural_piece(text, [&](std::string_view piece) {
    EXPECT_TRUE(internal::utf8::is_valid(piece));
    joined.append(piece);
    ++pieces;
  });
  EXPECT_EQ(joined, normalize::structural(text));
  EXPECT_GT(pieces, 10u);
}

// The canonical stream in pieces is the stream, whatever a piece ends on: a separator run
// at a cut, a run of separators ending the text, or nothing kept at all. No piece starts or ends
// the stream with a space.
TEST(Normalize, CanonicalPiecesMakeTheStream) {
  std::string mixed;
  for (int i = 0; i < 20000; ++i) mixed += i % 7 ? "\u00c9t\u00e9, \u4e2d\u6587 \u200b" : "Plain ASCII words.  ";
  for (const std::string& text : {mixed, mixed + " -- ", std::string(200000, ' '), std::string(200000, 'a') + " !",
                                  std::string()}) {
    std::string joined;
    normalize::for_each_canonical_piece(text, [&](std::string_view piece) {
      EXPECT_FALSE(piece.empty());
      EXPECT_TRUE(internal::utf8::is_valid(piece));
      joined.append(piece);
    });
    const std::string stream = normalize::canonical(text);
    EXPECT_EQ(joined, stream);
    EXPECT_FALSE(stream.starts_with(' ') || stream.ends_with(' '));
    EXPECT_EQ(stego::content_hash(text), internal::crypto::sha256(internal::crypto::as_bytes(stream)));
  }
}

TEST(Stego, StripZeroWidthRemovesOnlyTheSet) {
  EXPECT_EQ(stego::strip_zero_width("a\u200bb\u200c\u200d\u2060c\ufe00\ufe0f\ufeffd"), "abcd");
  EXPECT_EQ(stego::strip_zero_width("x\u00ad\U000E0100y"), "x\u00ad\U000E0100y");
}

TEST(Hex, DecodeReasons) {
  EXPECT_EQ(internal::hex::decode("abc").error(), "Odd number of digits");
  EXPECT_EQ(internal::hex::decode("0g").error(), "Invalid character 'g' at position 1");
  EXPECT_EQ(*internal::hex::decode("00Ff"), (std::vector<uint8_t>{0x00, 0xff}));
  EXPECT_EQ(*internal::hex::decode_trimmed("\u3000 0a \n"), (std::vector<uint8_t>{0x0a}));
  EXPECT_EQ(internal::hex::encode(std::vector<uint8_t>{0xab, 0x01}), "ab01");
}

// The digit loops are vectorised: every byte value, in every position of long runs.
TEST(Hex, EveryByteAtEveryPosition) {
  auto reference = [](int c) {
    return std::string_view("0123456789abcdef0123456789ABCDEF").find(static_cast<char>(c));
  };
  std::vector<uint8_t> all(256);
  for (int b = 0; b < 256; ++b) all[b] = static_cast<uint8_t>(b);
  std::string digits;
  for (int b = 0; b < 256; ++b) digits += std::string{"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  EXPECT_EQ(internal::hex::encode(all), digits);
  for (int c = 0; c < 256; ++c) {
    for (size_t at : {0, 1, 2, 31, 32, 33, 64, 255, 510, 511}) {
      std::string text = digits;
      text[at] = static_cast<char>(c);
      const auto decoded = internal::hex::decode(text);
      if (reference(c) == std::string_view::npos) {
        ASSERT_FALSE(decoded) << c << " at " << at;
        EXPECT_EQ(decoded.error().rfind("Invalid character ", 0), 0u);
        EXPECT_NE(decoded.error().find(" at position " + std::to_string(at)), std::string::npos);
      } else {
        ASSERT_TRUE(decoded) << c << " at " << at;
        std::vector<uint8_t> expected = all;
        const uint8_t nibble = static_cast<uint8_t>(reference(c) % 16);
        uint8_t& byte = expected[at / 2];
        byte = at % 2 ? static_cast<uint8_t>((byte & 0xF0) | nibble)
                      : static_cast<uint8_t>((byte & 0x0F) | nibble << 4);
        EXPECT_EQ(*decoded, expected) << c << " at " << at;
      }
    }
  }
}

TEST(Utf8, TrimWhiteSpace) {
  EXPECT_EQ(internal::utf8::trim_white_space("\u2028 a b\u00a0\u3000"), "a b");
  EXPECT_EQ(internal::utf8::trim_white_space(" \t "), "");
  EXPECT_EQ(internal::utf8::trim_white_space("\u200ba"), "\u200ba");  // ZWSP is not White_Space
}

}  // namespace
}  // namespace quelvane
