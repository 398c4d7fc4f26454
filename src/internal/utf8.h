// UTF-8 walking and the Unicode White_Space set. Text reaching the core comes from Python's
// strict encoder and is well formed; a stray invalid byte still decodes (as U+FFFD, one byte)
// so that no input can make a walk overrun. Not API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quelvane::internal::utf8 {

struct Scalar {
  char32_t value;
  size_t length;  // bytes the scalar occupies, 1 to 4
};

// Decodes the scalar value starting at byte `at` (which must be < text.size()).
inline Scalar decode(std::string_view text, size_t at) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data()) + at;
  const size_t left = text.size() - at;
  const uint8_t b0 = p[0];
  if (b0 < 0x80) return {b0, 1};
  auto cont = [&](size_t i) { return i < left && (p[i] & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 < 0xE0 && cont(1)) return {char32_t((b0 & 0x1F) << 6 | (p[1] & 0x3F)), 2};
  if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) && cont(2)) {
    const char32_t c = (b0 & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F);
    if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) return {c, 3};
  }
  if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) && cont(2) && cont(3)) {
    const char32_t c = (b0 & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 | (p[3] & 0x3F);
    if (c >= 0x10000 && c <= 0x10FFFF) return {c, 4};
  }
  return {0xFFFD, 1};
}

// Writes the UTF-8 form of a scalar value at `out`, which has room for four bytes; returns its
// length.
inline size_t encode(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// Appends the UTF-8 form of a scalar value.
inline void append(std::string& out, char32_t c) {
  char bytes[4];
  out.append(bytes, encode(c, bytes));
}

// The Unicode White_Space property. The set has been stable since Unicode 6.3.
constexpr bool is_white_space(char32_t c) {
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || c == 0x20;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid(std::string_view text);

// `text` without leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view text);

// Where bytes stop being well-formed UTF-8: the first `valid_up_to` bytes are, and then comes
// an ill-formed sequence of `invalid_length` bytes (1 to 3: the maximal subpart of the Unicode
// Standard) or, when `invalid_length` is 0, the end of the input inside a sequence.
struct Malformed {
  size_t valid_up_to;
  size_t invalid_length;
};

// The first malformation in `bytes`, or nothing when they are well-formed UTF-8.
std::optional<Malformed> find_malformed(std::string_view bytes);

}  // namespace quelvane::internal::utf8
