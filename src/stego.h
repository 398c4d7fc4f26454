// The zero-width watermark and the texts it is computed on: the stripped text and the content
// hash, SHA-256 of the canonical stream, which embedding a watermark does not change. The
// watermark carries a 16-byte routing pointer as 48 runs of four zero-width characters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "internal/result.h"

namespace quelvane::stego {

inline constexpr size_t kPointerBytes = 16;
inline constexpr size_t kTagBytes = 8;
inline constexpr size_t kCodewordBytes = 48;  // also the fewest words a text must have

using ContentHash = std::array<uint8_t, 32>;
using Pointer = std::array<uint8_t, kPointerBytes>;
using BindingTag = std::array<uint8_t, kTagBytes>;
using Codeword = std::array<uint8_t, kCodewordBytes>;
// Codeword bytes as read back from a text; std::nullopt where a byte could not be read.
using CodewordSlots = std::array<std::optional<uint8_t>, kCodewordBytes>;

struct Extraction {
  Pointer pointer;
  bool tag_verified;        // the tag matches this key and this text's content hash
  size_t shards_recovered;  // codeword bytes that were missing and rebuilt, 0 to 24
};

// The text with every zero-width-set character removed, nothing else changed or normalised.
std::string strip_zero_width(std::string_view text);

// SHA-256 of the canonical stream of the text.
ContentHash content_hash(std::string_view text);

// The pointer the watermark carries: the first 16 bytes of `bytes`, zero-padded on the right.
Pointer routing_pointer(std::span<const uint8_t> bytes);

// First 8 bytes of HMAC-SHA-256 under `key` over the content hash followed by the pointer.
BindingTag binding_tag(std::span<const uint8_t> key, const ContentHash& hash, const Pointer& pointer);

// The 48-byte codeword: pointer and binding tag, then 24 Reed-Solomon parity bytes.
// Fails with Coding only if the erasure coder does.
[[nodiscard]] Result<Codeword> encode_payload(std::span<const uint8_t> pointer, std::span<const uint8_t> key,
                                              const ContentHash& hash);

// Rebuilds up to 24 missing slots and checks the tag against `key` and `hash` (a mismatch is
// tag_verified = false). Fails with WatermarkUnrecoverable when 25 or more slots are missing.
[[nodiscard]] Result<Extraction> decode_payload(const CodewordSlots& slots, std::span<const uint8_t> key,
                                                const ContentHash& hash);

// Byte offsets where each word's run goes, in text order. A word is a maximal run of
// non-White_Space characters holding at least one character outside the zero-width set; its
// offset is just after the last such character and the variation selectors directly after it.
std::vector<size_t> word_gaps(std::string_view text);

// The placement permutation of 0..count-1 for a key and a content hash (xorshift64* draws
// seeded from an HMAC). Entry i is the gap that receives codeword byte i.
std::vector<size_t> fisher_yates(size_t count, std::span<const uint8_t> key, const ContentHash& hash);

// The first 48 entries of fisher_yates(count, key, hash), for a count of at least 48, without
// the permutation: memory stays the same whatever the number of words.
std::array<size_t, kCodewordBytes> placement(size_t count, std::span<const uint8_t> key, const ContentHash& hash);

// One run of the watermark: the codeword byte it spells and the byte offset in the text it
// goes before.
struct Insertion {
  size_t offset;
  uint8_t byte;
};

// The 48 runs embed() inserts, in increasing order of offset, or embed()'s failures;
// a caller that builds the marked text itself never needs a second copy of it.
[[nodiscard]] Result<std::array<Insertion, kCodewordBytes>> insertions(std::string_view text,
                                                                       std::span<const uint8_t> key,
                                                                       std::span<const uint8_t> pointer);

// The four characters of the watermark's alphabet that spell `byte`, as UTF-8.
std::string symbol_run(uint8_t byte);

// The text with the watermark for `pointer` inserted after 48 of its words; 576 bytes longer.
// Fails with ContentTooShort when the text has fewer than 48 words, and with InvalidInput when
// a word chosen to carry a run is already followed by characters of the watermark's alphabet.
[[nodiscard]] Result<std::string> embed(std::string_view text, std::span<const uint8_t> key,
                                        std::span<const uint8_t> pointer);

// Reads the watermark back from the text alone. Fails with ContentTooShort (fewer than 48
// words once stripped) or WatermarkUnrecoverable (more than 24 runs lost or unreadable).
[[nodiscard]] Result<Extraction> extract(std::string_view text, std::span<const uint8_t> key);

}  // namespace quelvane::stego
