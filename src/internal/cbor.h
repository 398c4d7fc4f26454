// CBOR (RFC 8949) at the level of item heads, read and written by hand: every head is a few
// bytes of fixed layout, and no library rule (such as refusing unassigned tags) gets in between.
// Readers of untrusted bytes build on Reader: it never allocates for a declared length, so a
// hostile length or count costs nothing until the bytes are really there. Not API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "internal/result.h"

namespace quelvane::internal::cbor {

enum class Major : uint8_t {
  Unsigned = 0,
  Negative = 1,
  Bytes = 2,
  Text = 3,
  Array = 4,
  Map = 5,
  Tag = 6,
  Simple = 7,
};

// Simple values a head of major type 7 may carry in `value`.
inline constexpr uint64_t kFalse = 20;
inline constexpr uint64_t kTrue = 21;
inline constexpr uint64_t kNull = 22;
inline constexpr uint64_t kUndefined = 23;
inline constexpr uint64_t kFloat = 25;  // any half, single or double float

struct Head {
  Major major = Major::Simple;
  // Unsigned: the value. Negative: n for the integer -1 - n. Bytes, Text: the length.
  // Array, Map: the element or pair count. Tag: the tag number. Simple: see the constants.
  uint64_t value = 0;
  bool indefinite = false;             // an indefinite-length string, array or map
  bool is_break = false;               // the 0xFF stop code of an indefinite item
  std::span<const uint8_t> payload{};  // the bytes of a definite-length string
  double number = 0;                   // the value of a float (Simple with kFloat), widened to double
  size_t offset = 0;                   // where the head starts in the input
  bool cut = false;                    // a definite-length string whose content the input cuts short
};

// Walks the heads of a CBOR byte string in order. Errors are descriptions, e.g.
// "unexpected end of input at offset 4". Every simple value RFC 8949 calls well formed is read,
// including the unassigned ones (0xE0..0xF3, 0xF8 with a value of 32 or more).
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> input) : input_(input) {}

  // Reads the next head (with its payload for a definite-length string).
  Result<Head, std::string> next();
  // Like next(), except that a definite-length string whose content the input cuts short gives
  // its head, marked `cut`, with an empty payload, and the reader stays where it was: a type
  // mismatch can be reported from the head alone. Reading the content of a cut head fails.
  Result<Head, std::string> next_or_cut();
  size_t offset() const { return offset_; }
  bool at_end() const { return offset_ == input_.size(); }
  // Skips `bytes` if the input continues with exactly them; otherwise reads nothing and returns
  // false. For readers that recognise a layout they know byte for byte.
  bool consume(std::string_view bytes);

 private:
  std::span<const uint8_t> input_;
  size_t offset_ = 0;
};

// Reads the content of the string whose head was just read: a definite-length string, or the
// concatenated chunks of an indefinite one (each a definite string of the same major type).
// A text string, chunk by chunk, must be valid UTF-8.
Result<std::string, std::string> read_string(Reader& reader, const Head& head);
// The same content as bytes, for byte strings held as such.
Result<std::vector<uint8_t>, std::string> read_bytes(Reader& reader, const Head& head);

// The content of a definite-length string head, unchecked; fails for a cut one.
Result<std::span<const uint8_t>, std::string> payload(const Head& head);

// Skips the rest of the item whose head was just read, whatever it holds, opening at most `levels`
// nested arrays and maps (beyond that it fails with "recursion limit exceeded"). Only the
// structure is checked: what a skipped text string holds is never read, so it need not be
// UTF-8. Iterative, so hostile nesting costs no stack.
Result<Ok, std::string> skip(Reader& reader, const Head& head, size_t levels);

// Appends CBOR items with shortest-form heads and definite lengths to a byte vector.
class Writer {
 public:
  void head(Major major, uint64_t value);
  void integer(int64_t value);
  void text(std::string_view text);
  void bytes(std::span<const uint8_t> bytes);
  void null();
  // Room for `bytes` in all, so that a large item is not copied as it grows.
  void reserve(size_t bytes) { out_.reserve(bytes); }

  const std::vector<uint8_t>& data() const { return out_; }
  std::vector<uint8_t> take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
};

}  // namespace quelvane::internal::cbor
