// The c2pa.soft-binding assertion: one record describes every soft binding the module makes, and
// travels as CBOR. The writer emits one exact byte layout; the reader accepts what other C2PA tools
// write (any key order, extra keys, indefinite lengths, tags) and is safe on hostile bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "internal/result.h"
#include "minhash.h"
#include "simhash.h"

namespace quelvane::soft_binding {

// The `alg` texts of the four algorithms (ids 41 to 44 in the documentation, never in the bytes).
inline constexpr std::string_view kFingerprintAlg = "com.lanternquill.text-fingerprint.1";  // 41
inline constexpr std::string_view kWatermarkAlg = "com.lanternquill.zwc-watermark.2";       // 42
inline constexpr std::string_view kStructureAlg = "com.lanternquill.text-structure.1";      // 43
inline constexpr std::string_view kMinhashAlg = "com.lanternquill.text-minhash.1";          // 44

// The only range type, written as the text "textual".
enum class RangeType { Textual };

// Offsets count Unicode scalar values of the canonical text stream; `end` is exclusive.
struct TextSelector {
  std::string fragment;
  std::optional<int32_t> start;
  std::optional<int32_t> end;
  bool operator==(const TextSelector&) const = default;
};

struct TextSelectorRange {
  TextSelector selector;
  bool operator==(const TextSelectorRange&) const = default;
};

struct Text {
  std::vector<TextSelectorRange> selectors;
  bool operator==(const Text&) const = default;
};

struct Range {
  RangeType type = RangeType::Textual;
  std::optional<Text> text;
  bool operator==(const Range&) const = default;
};

struct RegionOfInterest {
  std::vector<Range> region;
  bool operator==(const RegionOfInterest&) const = default;
};

// No region: the block covers the whole text.
struct Scope {
  std::optional<RegionOfInterest> region;
  bool operator==(const Scope&) const = default;
};

// One fingerprint value, as lower-case hex, and the part of the text it covers.
struct Block {
  Scope scope;
  std::string value;
  bool operator==(const Block&) const = default;
};

struct SoftBinding {
  std::string alg;
  std::vector<Block> blocks;
  std::optional<std::string> name;
  std::vector<uint8_t> pad;

  // One whole-text block carrying `value`, no name, an empty pad.
  static SoftBinding whole(std::string_view alg, std::string value);

  // The CBOR form: definite-length maps with keys in field order, shortest heads, null for an
  // absent offset, absent optional fields left out with their keys. The failure (GenerationFailed)
  // is an encoder's; writing into memory has none.
  [[nodiscard]] Result<std::vector<uint8_t>> to_cbor() const;

  // Reads the first CBOR data item of `bytes` (the rest is ignored) without reading past the span.
  // Fails with InvalidInput "soft-binding CBOR decode: ..." on malformed or mistyped input.
  [[nodiscard]] static Result<SoftBinding> from_cbor(std::span<const uint8_t> bytes);

  bool operator==(const SoftBinding&) const = default;
};

// The id 41 record: the whole-text value in a block without region, then one block per window
// selecting its characters; offsets beyond the i32 range are written as its maximum.
SoftBinding from_fingerprint(const simhash::Fingerprint& fingerprint);

// from_fingerprint(fingerprint).to_cbor(), without holding that record: for a long text its
// blocks, a few allocations each, take about as much memory as the text.
[[nodiscard]] Result<std::vector<uint8_t>> fingerprint_cbor(const simhash::Fingerprint& fingerprint);

// The id 44 record: one whole-text block carrying the 128 signature values, each as 8 bytes most
// significant first, in hex (2048 digits).
SoftBinding from_minhash(const minhash::MinHash& minhash);

// The signature an id 44 block value carries: exactly 2048 hex digits of either case, nothing
// else (no trimming); absent otherwise.
std::optional<std::array<uint64_t, minhash::kNumPerm>> minhash_values(std::string_view value);

}  // namespace quelvane::soft_binding
