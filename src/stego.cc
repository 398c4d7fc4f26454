#include "stego.h"

#include "internal/crypto.h"
#include "internal/utf8.h"
#include "normalize.h"

namespace quelvane::stego {

std::string strip_zero_width(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    // Every zero-width character is three bytes; anything else is copied as it stands.
    const auto s = internal::utf8::decode(text, i);
    if (!normalize::is_zero_width(s.value)) out.append(text.substr(i, s.length));
    i += s.length;
  }
  return out;
}

std::array<uint8_t, 32> content_hash(std::string_view text) {
  return internal::crypto::sha256(internal::crypto::as_bytes(normalize::canonical(text)));
}

}  // namespace quelvane::stego
