#include "internal/hex.h"

#include <cstdio>
#include <optional>

#include "internal/utf8.h"

namespace quelvane::internal::hex {
namespace {

// The lower-case digit of a nibble, branch-free so that the compiler vectorises the loops.
inline char digit(uint8_t nibble) { return static_cast<char>(nibble < 10 ? '0' + nibble : 'a' - 10 + nibble); }

// The value of a hex digit of either case, branch-free like `digit`; any other byte gets
// kNotADigit, a bit no digit has, so a whole run is checked with one OR.
constexpr uint8_t kNotADigit = 0x10;
inline uint8_t nibble(uint8_t c) {
  const uint8_t decimal = static_cast<uint8_t>(c - '0');
  const uint8_t letter = static_cast<uint8_t>((c | 0x20) - 'a');  // either case
  const uint8_t value = decimal < 10 ? decimal : static_cast<uint8_t>(letter + 10);
  return decimal < 10 || letter < 6 ? value : kNotADigit;
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

// The reason for the first byte of `text` that is not a hex digit (there is one).
std::string invalid_character(std::string_view text) {
  size_t at = 0;
  while (nibble(static_cast<uint8_t>(text[at])) != kNotADigit) ++at;
  return "Invalid character " + quoted_byte(static_cast<uint8_t>(text[at])) + " at position " + std::to_string(at);
}

}  // namespace

std::string encode(std::span<const uint8_t> bytes) {
  std::string out(2 * bytes.size(), '\0');
  char* const p = out.data();  // held locally: stores through it may alias `out` itself
  const uint8_t* const in = bytes.data();
  const size_t n = bytes.size();
  for (size_t i = 0; i < n; ++i) {
    p[2 * i] = digit(in[i] >> 4);
    p[2 * i + 1] = digit(in[i] & 15);
  }
  return out;
}

namespace {

// Decodes `text`, of even length, into `out`, half as long. On failure `out` is wiped and the
// reason returned.
std::optional<std::string> decode_into(std::string_view text, std::span<uint8_t> out) {
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  uint8_t* const bytes = out.data();  // held locally: stores through it may alias the owner
  const size_t n = out.size();
  uint8_t seen = 0;  // the OR of every nibble: kNotADigit is set if any byte was not a digit
  for (size_t i = 0; i < n; ++i) {
    const uint8_t hi = nibble(in[2 * i]);
    const uint8_t lo = nibble(in[2 * i + 1]);
    seen |= hi | lo;
    bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  if (!(seen & kNotADigit)) return std::nullopt;
  OPENSSL_cleanse(out.data(), out.size());
  return invalid_character(text);
}

constexpr std::string_view kOddDigits = "Odd number of digits";

}  // namespace

Result<std::vector<uint8_t>, std::string> decode(std::string_view text) {
  if (text.size() % 2 != 0) return fail(std::string(kOddDigits));
  std::vector<uint8_t> out(text.size() / 2);
  if (auto reason = decode_into(text, out)) return fail(std::move(*reason));
  return out;
}

Result<std::vector<uint8_t>, std::string> decode_trimmed(std::string_view text) {
  return decode(utf8::trim_white_space(text));
}

Result<crypto::SecretBytes<>, std::string> decode_secret_trimmed(std::string_view text) {
  text = utf8::trim_white_space(text);
  if (text.size() % 2 != 0) return fail(std::string(kOddDigits));
  crypto::SecretBytes<> out(text.size() / 2);
  if (auto reason = decode_into(text, out.span())) return fail(std::move(*reason));
  return out;
}

}  // namespace quelvane::internal::hex
