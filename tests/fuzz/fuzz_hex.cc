// The hex input rule on arbitrary bytes. Decoding either gives bytes whose hex is the trimmed
// input in lower case, or fails with one of its two reasons, naming the first byte that is not
// a digit. On well-formed UTF-8 the trim is checked against a forward walk.
#include <algorithm>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "internal/hex.h"
#include "internal/utf8.h"

namespace quelvane::fuzz {
namespace {

namespace hex = internal::hex;
namespace utf8 = internal::utf8;

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// White_Space trimmed by walking the scalars forwards only.
std::string_view forward_trim(std::string_view text) {
  size_t begin = text.size(), end = 0;
  for (size_t i = 0; i < text.size();) {
    const auto s = utf8::decode(text, i);
    if (!utf8::is_white_space(s.value)) {
      begin = std::min(begin, i);
      end = i + s.length;
    }
    i += s.length;
  }
  return begin < end ? text.substr(begin, end - begin) : std::string_view();
}

void check(std::string_view text) {
  const std::string_view trimmed = utf8::trim_white_space(text);
  if (!utf8::find_malformed(text)) FUZZ_CHECK(trimmed == forward_trim(text));
  const auto decoded = hex::decode_trimmed(text);
  // Keys take their own path into a wiped buffer: it must read them exactly the same.
  const auto secret = hex::decode_secret_trimmed(text);
  FUZZ_CHECK(secret.ok() == decoded.ok());
  if (decoded) {
    FUZZ_CHECK(std::ranges::equal(secret->span(), *decoded));
  } else {
    FUZZ_CHECK(secret.error() == decoded.error());
  }
  if (decoded) {
    FUZZ_CHECK(decoded->size() * 2 == trimmed.size());
    std::string lower(trimmed);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    FUZZ_CHECK(hex::encode(*decoded) == lower);
    return;
  }
  const std::string& reason = decoded.error();
  if (trimmed.size() % 2 != 0) {
    FUZZ_CHECK(reason == "Odd number of digits");
    return;
  }
  const size_t bad = static_cast<size_t>(std::find_if_not(trimmed.begin(), trimmed.end(), is_hex_digit) - trimmed.begin());
  FUZZ_CHECK(bad < trimmed.size());
  FUZZ_CHECK(reason.starts_with("Invalid character '"));
  FUZZ_CHECK(reason.ends_with("' at position " + std::to_string(bad)));
}

}  // namespace
}  // namespace quelvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quelvane::fuzz::check(quelvane::fuzz::as_text({data, size}));
  return 0;
}
