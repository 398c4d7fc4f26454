// Hex text: every byte string crosses the Python boundary as hex. Input is trimmed of
// White_Space and read in either case; output is always lower case. Not API.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "internal/crypto.h"
#include "internal/result.h"

namespace quelvane::internal::hex {

// Two lower-case digits per byte, high nibble first.
std::string encode(std::span<const uint8_t> bytes);

// Decodes hex digits of either case with no trimming. The error is the reason a caller shows,
// "Odd number of digits" or "Invalid character 'z' at position 0". What was decoded before a
// failure is wiped, as the text may be a key.
Result<std::vector<uint8_t>, std::string> decode(std::string_view text);

// The hex input rule: trims White_Space at both ends, then decodes.
Result<std::vector<uint8_t>, std::string> decode_trimmed(std::string_view text);

// The hex input rule for keys: the bytes go straight into a buffer that wipes itself.
Result<crypto::SecretBytes<>, std::string> decode_secret_trimmed(std::string_view text);

}  // namespace quelvane::internal::hex
