#include "crosscheck.h"

#include <algorithm>
#include <optional>

#include "internal/crypto.h"
#include "minhash.h"
#include "simhash.h"
#include "structure.h"

namespace quelvane::crosscheck {
namespace {

using simhash::Hash256;

// A surface fingerprint within this many bits of a block value is the same content; an
// excerpt of a longer text lies this close to the window it was cut from.
constexpr int kFingerprintMatchBits = 32;
// A structural fingerprint within this many bits is close, which alone is weaker evidence.
constexpr int kStructureCloseBits = 24;
// At least 70% of the MinHash values equal (89.6 rounded up) is the same content.
constexpr size_t kMinhashMatchValues = (minhash::kNumPerm * 7 + 9) / 10;
static_assert(kMinhashMatchValues == 90);

struct Evidence {
  bool strong_match = false;
  bool structurally_close = false;
};

// Any block, the whole-text one or a window's, close to the text's whole-text fingerprint.
// The text is fingerprinted only when some block value parsed, and the search stops at a match.
bool fingerprint_matches(std::string_view text, const Candidate& candidate) {
  if (candidate.hashes.empty()) return false;
  const Hash256 whole = simhash::Fingerprint::compute_whole(text);
  return std::ranges::any_of(candidate.hashes,
                             [&](const Hash256& value) { return value.hamming(whole) <= kFingerprintMatchBits; });
}

bool structure_close(std::string_view text, const Candidate& candidate) {
  return !candidate.hashes.empty() && candidate.hashes.front().hamming(structure::compute(text)) <= kStructureCloseBits;
}

// Enough equal signature values, or else any shared band.
bool minhash_matches(std::string_view text, const Candidate& candidate) {
  if (!candidate.signature) return false;
  const minhash::MinHash theirs = minhash::MinHash::from_signature(*candidate.signature);
  const minhash::MinHash own = minhash::MinHash::compute(text);
  size_t equal = 0;
  for (size_t i = 0; i < minhash::kNumPerm; ++i) equal += own.signature[i] == theirs.signature[i];
  return equal >= kMinhashMatchValues || own.shares_band(theirs);
}

Evidence gather(std::string_view text, const Candidate& candidate) {
  switch (candidate.kind) {
    case Candidate::Kind::Fingerprint: return {.strong_match = fingerprint_matches(text, candidate)};
    case Candidate::Kind::Structure: return {.structurally_close = structure_close(text, candidate)};
    case Candidate::Kind::Minhash: return {.strong_match = minhash_matches(text, candidate)};
    case Candidate::Kind::None: break;
  }
  return {};  // the watermark's record and unknown algorithms carry no fingerprint
}

}  // namespace

std::array<uint8_t, 32> crosscheck_tag(std::span<const uint8_t> key, std::span<const uint8_t> repo_id,
                                       std::span<const uint8_t> content_hash) {
  return internal::crypto::hmac_sha256(key, {repo_id, content_hash});
}

std::string_view tier_name(Tier tier) {
  constexpr std::string_view kNames[] = {"BOUND", "LIKELY", "REVIEW"};  // in the order of Tier
  return kNames[static_cast<size_t>(tier)];
}

Candidate Candidate::of(const soft_binding::SoftBinding& binding) {
  Candidate out;
  const std::string_view alg = binding.alg;
  if (alg == soft_binding::kFingerprintAlg) {
    out.kind = Kind::Fingerprint;
    for (const soft_binding::Block& block : binding.blocks) {
      if (auto value = Hash256::from_hex(block.value)) out.hashes.push_back(*value);
    }
  } else if (alg == soft_binding::kStructureAlg) {
    out.kind = Kind::Structure;
    if (!binding.blocks.empty()) {
      if (auto value = Hash256::from_hex(binding.blocks.front().value)) out.hashes.push_back(*value);
    }
  } else if (alg == soft_binding::kMinhashAlg) {
    out.kind = Kind::Minhash;
    if (!binding.blocks.empty()) out.signature = soft_binding::minhash_values(binding.blocks.front().value);
  }
  return out;
}

Tier verify(std::string_view text, const soft_binding::SoftBinding& binding, bool watermark_verified,
            bool crosscheck_ok) {
  return verify(text, Candidate::of(binding), watermark_verified, crosscheck_ok);
}

Tier verify(std::string_view text, const Candidate& candidate, bool watermark_verified, bool crosscheck_ok) {
  const Evidence evidence = gather(text, candidate);
  if (evidence.strong_match) return crosscheck_ok ? Tier::Bound : Tier::Likely;
  if (evidence.structurally_close || watermark_verified) return Tier::Likely;
  return Tier::Review;
}

}  // namespace quelvane::crosscheck
