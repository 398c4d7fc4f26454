// The normalised forms of a text that every fingerprint, hash and tag is computed on.
// The canonical stream keeps only lower-case alphanumeric runs joined by single spaces; the
// structural stream keeps everything visible. Both apply NFC and drop the zero-width set.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quelvane::normalize {

// U+200B, U+200C, U+200D, U+2060, U+FE00..U+FE0F and U+FEFF: removed by every stream.
constexpr bool is_zero_width(char32_t c) {
  return (c >= 0x200B && c <= 0x200D) || c == 0x2060 || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF;
}

// Whether NFC never joins `c` to what comes before it (a string cut before `c` normalises as
// its two parts do).
bool has_nfc_boundary_before(char32_t c);

// Alphabetic, or general category Nd, Nl or No.
bool is_alphanumeric(char32_t c);

// The full lower-case mapping of one character without context: one to three scalars,
// written to `out`; returns how many.
int lower(char32_t c, char32_t out[3]);

// NFC of the text, lower-cased character by character, alphanumeric runs joined by one space.
std::string canonical(std::string_view text);

// Calls on_piece with consecutive pieces of the canonical stream, whole characters each, so
// that a reader of the stream never needs it whole: canonical(text) is their concatenation.
void for_each_canonical_piece(std::string_view text, const std::function<void(std::string_view)>& on_piece);

// NFC of the text with the zero-width set removed; case, punctuation and spacing kept.
std::string structural(std::string_view text);

// Calls on_piece with consecutive pieces of the structural stream, whole characters each, so
// that a reader of the stream never needs it whole: structural(text) is their concatenation.
void for_each_structural_piece(std::string_view text, const std::function<void(std::string_view)>& on_piece);

}  // namespace quelvane::normalize
