// How strongly a text is bound to a manifest: the anti-transfer cross-check tag (a keyed tag over
// a repository identifier and a text's content hash, which the host stores and compares), and
// the match tier that combines a soft-binding assertion's fingerprint with the host's findings.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "soft_binding.h"

namespace quelvane::crosscheck {

// HMAC-SHA-256(key, repo_id ‖ content_hash), the two parts joined with no separator. Keys and
// content hashes of any length, including empty, are accepted.
std::array<uint8_t, 32> crosscheck_tag(std::span<const uint8_t> key, std::span<const uint8_t> repo_id,
                                       std::span<const uint8_t> content_hash);

enum class Tier { Bound, Likely, Review };

// "BOUND", "LIKELY" or "REVIEW".
std::string_view tier_name(Tier tier);

// What `verify` compares a text with, read from a record: only the values of the blocks that
// the record's algorithm uses, parsed. Much smaller than an id 41 record of a long text, which
// holds a block for every window.
struct Candidate {
  enum class Kind { Fingerprint, Structure, Minhash, None };
  Kind kind = Kind::None;
  // Fingerprint: every block value that parses, in block order. Structure: the first block's
  // value, if it parses.
  std::vector<simhash::Hash256> hashes;
  // Minhash: the first block's signature, if its value is one.
  std::optional<std::array<uint64_t, minhash::kNumPerm>> signature;

  static Candidate of(const soft_binding::SoftBinding& binding);
};

// Recomputes from `text` only the fingerprint that `binding.alg` names and compares it with the
// record's values; a fingerprint match is BOUND with `crosscheck_ok` and LIKELY without it, and
// without one, structural closeness or `watermark_verified` give LIKELY. Both flags are taken
// as the host established them. Block values that do not parse are no evidence.
Tier verify(std::string_view text, const soft_binding::SoftBinding& binding, bool watermark_verified,
            bool crosscheck_ok);
Tier verify(std::string_view text, const Candidate& candidate, bool watermark_verified, bool crosscheck_ok);

}  // namespace quelvane::crosscheck
