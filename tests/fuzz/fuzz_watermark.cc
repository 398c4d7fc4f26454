// The zero-width watermark on arbitrary text and keys. The first byte is the key length (0 to
// 63), then come the key and the text (repaired to well-formed UTF-8, as the boundary
// guarantees). Extraction either reads a pointer or fails as documented; embedding adds exactly
// one watermark and leaves the content hash alone, and whatever it accepts, extraction gives
// back the pointer, verified, with nothing rebuilt. It refuses a text only when the text is too
// short or a word chosen for a run already ends in symbols.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "normalize.h"
#include "stego.h"

namespace quelvane::fuzz {
namespace {

constexpr size_t kKeyLengthMask = 63;
constexpr size_t kWatermarkBytes = 576;  // 48 runs of four three-byte characters

// Whether the text holds a character of the watermark's alphabet.
bool has_symbol(std::string_view text) {
  constexpr std::array<std::string_view, 4> kSymbols = {"\u200B", "\u200C", "\u200D", "\u2060"};
  return std::ranges::any_of(kSymbols, [&](std::string_view symbol) { return text.find(symbol) != text.npos; });
}

// Whether a variation selector (U+FE00 to U+FE0F, EF B8 80 to EF B8 8F) starts at `at`.
bool selector_at(std::string_view text, size_t at) {
  return text.substr(at, 2) == "\xEF\xB8" && at + 2 < text.size() &&
         (static_cast<uint8_t>(text[at + 2]) & 0xF0) == 0x80;
}

void check_gaps(std::string_view text, const std::vector<size_t>& gaps) {
  // As many words as the text has once stripped, which is what extraction counts.
  FUZZ_CHECK(gaps.size() == stego::word_gaps(stego::strip_zero_width(text)).size());
  for (size_t i = 0; i < gaps.size(); ++i) {
    FUZZ_CHECK(gaps[i] > (i == 0 ? 0 : gaps[i - 1]) && gaps[i] <= text.size());
    // A gap is a character boundary, never between a character and its variation selector.
    FUZZ_CHECK(gaps[i] == text.size() || (static_cast<uint8_t>(text[gaps[i]]) & 0xC0) != 0x80);
    FUZZ_CHECK(!selector_at(text, gaps[i]));
  }
}

void check_extract(std::string_view text, std::span<const uint8_t> key) {
  const auto found = stego::extract(text, key);
  if (found) {
    FUZZ_CHECK(found->shards_recovered <= 24);
    return;
  }
  const auto kind = found.error().kind();
  FUZZ_CHECK(kind == error::Kind::ContentTooShort || kind == error::Kind::WatermarkUnrecoverable);
  if (kind == error::Kind::ContentTooShort) {
    FUZZ_CHECK(stego::word_gaps(stego::strip_zero_width(text)).size() < stego::kCodewordBytes);
  }
}

void check_embed(std::string_view text, std::span<const uint8_t> key) {
  // The pointer is the key read backwards: any length, cut or padded to 16 bytes.
  const std::vector<uint8_t> pointer(key.rbegin(), key.rend());
  const std::vector<size_t> gaps = stego::word_gaps(text);
  check_gaps(text, gaps);
  const auto marked = stego::embed(text, key, pointer);
  if (!marked) {
    const auto kind = marked.error().kind();
    FUZZ_CHECK((kind == error::Kind::ContentTooShort && gaps.size() < stego::kCodewordBytes) ||
               (kind == error::Kind::InvalidInput && has_symbol(text)));
    return;
  }
  FUZZ_CHECK(gaps.size() >= stego::kCodewordBytes);
  FUZZ_CHECK(marked->size() == text.size() + kWatermarkBytes);
  FUZZ_CHECK(stego::strip_zero_width(*marked) == stego::strip_zero_width(text));
  FUZZ_CHECK(stego::content_hash(*marked) == stego::content_hash(text));
  const auto found = stego::extract(*marked, key);
  FUZZ_CHECK(found.ok());
  FUZZ_CHECK(found->pointer == stego::routing_pointer(pointer));
  FUZZ_CHECK(found->tag_verified && found->shards_recovered == 0);
}

}  // namespace
}  // namespace quelvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quelvane::fuzz;
  Input input(data, size);
  const auto key = input.take(input.byte() & kKeyLengthMask);
  const std::string text = repaired_utf8(as_text(input.rest()));
  check_extract(text, key);
  check_embed(text, key);
  return 0;
}
