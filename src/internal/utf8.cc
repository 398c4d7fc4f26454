#include "internal/utf8.h"

namespace quelvane::internal::utf8 {

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
