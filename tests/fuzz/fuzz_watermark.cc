// The zero-width watermark on arbitrary text and keys. The first byte is the key length (0 to
// 63), then come the key and the text (repaired to well-formed UTF-8, as the boundary
// guarantees). Extraction either reads a pointer or fails as documented; embedding adds exactly
// one watermark and leaves the content hash alone, and on a text that held no zero-width
// character extraction gives back the pointer, verified, with nothing rebuilt.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "normalize.h"
#include "stego.h"

namespace quelvane::fuzz {
namespace {

constexpr size_t kKeyLengthMask = 63;
constexpr size_t kWatermarkBytes = 576;  // 48 runs of four three-byte characters

bool has_zero_width(std::string_view text) { return stego::strip_zero_width(text).size() != text.size(); }

void check_gaps(std::string_view text, const std::vector<size_t>& gaps) {
  for (size_t i = 0; i < gaps.size(); ++i) {
    FUZZ_CHECK(gaps[i] > (i == 0 ? 0 : gaps[i - 1]) && gaps[i] <= text.size());
    // A gap is a character boundary.
    FUZZ_CHECK(gaps[i] == text.size() || (static_cast<uint8_t>(text[gaps[i]]) & 0xC0) != 0x80);
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
    FUZZ_CHECK(marked.error().kind() == error::Kind::ContentTooShort && gaps.size() < stego::kCodewordBytes);
    return;
  }
  FUZZ_CHECK(gaps.size() >= stego::kCodewordBytes);
  FUZZ_CHECK(marked->size() == text.size() + kWatermarkBytes);
  FUZZ_CHECK(stego::strip_zero_width(*marked) == stego::strip_zero_width(text));
  FUZZ_CHECK(stego::content_hash(*marked) == stego::content_hash(text));
  if (has_zero_width(text)) return;
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
