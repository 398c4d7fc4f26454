#include "crosscheck.h"

#include "internal/crypto.h"

namespace quelvane::crosscheck {

std::array<uint8_t, 32> crosscheck_tag(std::span<const uint8_t> key, std::span<const uint8_t> repo_id,
                                       std::span<const uint8_t> content_hash) {
  return internal::crypto::hmac_sha256(key, {repo_id, content_hash});
}

}  // namespace quelvane::crosscheck
