#include "internal/utf8.h"

namespace quelvane::internal::utf8 {

bool is_valid(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    if (static_cast<uint8_t>(text[at]) < 0x80) {
      ++at;
      continue;
    }
    const Scalar s = decode(text, at);
    if (s.length == 1) return false;  // decode's stand-in for a byte that starts no scalar
    at += s.length;
  }
  return true;
}

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

}  // namespace quelvane::internal::utf8
