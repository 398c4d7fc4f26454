// The anti-transfer cross-check tag: a keyed tag over a repository identifier and a text's
// content hash. The host stores and compares tags; this unit only computes them.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace quelvane::crosscheck {

// HMAC-SHA-256(key, repo_id ‖ content_hash), the two parts joined with no separator. Keys and
// content hashes of any length, including empty, are accepted.
std::array<uint8_t, 32> crosscheck_tag(std::span<const uint8_t> key, std::span<const uint8_t> repo_id,
                                       std::span<const uint8_t> content_hash);

}  // namespace quelvane::crosscheck
