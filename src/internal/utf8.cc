#include "internal/utf8.h"

#include <cstring>

namespace quelvane::internal::utf8 {

bool is_valid(std::string_view text) { return !find_malformed(text); }

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const Scalar s = decode(text, begin);
    if (!is_white_space(s.value)) break;
    begin += s.length;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;  // step back to the lead byte of the last scalar
    while (start > begin && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    if (!is_white_space(decode(text, start).value)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::optional<Malformed> find_malformed(std::string_view bytes) {
  constexpr uint64_t kHighBits = 0x8080808080808080;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {  // ASCII runs, eight bytes at a time
      uint64_t word;
      while (i + 8 <= n) {
        std::memcpy(&word, p + i, sizeof word);
        if ((word & kHighBits) != 0) break;
        i += 8;
      }
      while (i < n && p[i] < 0x80) ++i;
      continue;
    }
    // The lead byte fixes the length and the range of the second byte, which excludes
    // overlong forms, surrogates and values above U+10FFFF.
    const uint8_t lead = p[i];
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      return Malformed{i, 1};
    }
    for (size_t k = 1; k < length; ++k) {
      if (i + k == n) return Malformed{i, 0};
      const uint8_t b = p[i + k];
      if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return Malformed{i, k};
    }
    i += length;
  }
  return std::nullopt;
}

}  // namespace quelvane::internal::utf8
