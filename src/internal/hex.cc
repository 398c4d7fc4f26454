#include "internal/hex.h"

#include <cstdio>

#include "internal/utf8.h"

namespace quelvane::internal::hex {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

int nibble(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A byte shown as the quoted Latin-1 character it would be, with the usual escapes for
// quotes, backslash and control characters, and \u{..} for what does not print.
std::string quoted_byte(uint8_t b) {
  switch (b) {
    case '\t': return "'\\t'";
    case '\r': return "'\\r'";
    case '\n': return "'\\n'";
    case '\'': return "'\\''";
    case '\\': return "'\\\\'";
    case '\0': return "'\\0'";
  }
  const bool printable = (b >= 0x20 && b < 0x7F) || (b > 0xA0 && b != 0xAD);
  if (!printable) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "'\\u{%x}'", b);
    return buf;
  }
  std::string out = "'";
  utf8::append(out, b);
  return out + "'";
}

}  // namespace

void encode_to(std::string& out, std::span<const uint8_t> bytes) {
  const size_t at = out.size();
  out.resize(at + 2 * bytes.size());
  char* p = out.data() + at;
  for (uint8_t b : bytes) {
    *p++ = kDigits[b >> 4];
    *p++ = kDigits[b & 15];
  }
}

std::string encode(std::span<const uint8_t> bytes) {
  std::string out;
  encode_to(out, bytes);
  return out;
}

Result<std::vector<uint8_t>, std::string> decode(std::string_view text) {
  if (text.size() % 2 != 0) return fail(std::string("Odd number of digits"));
  std::vector<uint8_t> out(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const auto hi = static_cast<uint8_t>(text[i]);
    const auto lo = static_cast<uint8_t>(text[i + 1]);
    const int h = nibble(hi);
    if (h < 0) return fail("Invalid character " + quoted_byte(hi) + " at position " + std::to_string(i));
    const int l = nibble(lo);
    if (l < 0) return fail("Invalid character " + quoted_byte(lo) + " at position " + std::to_string(i + 1));
    out[i / 2] = static_cast<uint8_t>(h << 4 | l);
  }
  return out;
}

Result<std::vector<uint8_t>, std::string> decode_trimmed(std::string_view text) {
  return decode(utf8::trim_white_space(text));
}

}  // namespace quelvane::internal::hex
