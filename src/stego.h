// The zero-width watermark and the texts it is computed on: the stripped text and the content
// hash, SHA-256 of the canonical stream, which embedding a watermark does not change.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quelvane::stego {

// The text with every zero-width-set character removed, nothing else changed or normalised.
std::string strip_zero_width(std::string_view text);

// SHA-256 of the canonical stream of the text.
std::array<uint8_t, 32> content_hash(std::string_view text);

}  // namespace quelvane::stego
