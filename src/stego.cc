#include "stego.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "erasure/reed_solomon.h"
#include "internal/crypto.h"
#include "internal/utf8.h"
#include "normalize.h"

namespace quelvane::stego {
namespace {

using internal::crypto::as_bytes;
using internal::utf8::decode;
using internal::utf8::is_white_space;

constexpr size_t kDataShards = 24;
constexpr size_t kParityShards = 24;
constexpr size_t kMostMissingSlots = kParityShards;

// Each codeword byte is written as four two-bit symbols, most significant pair first.
constexpr size_t kSymbolsPerByte = 4;
constexpr size_t kSymbolCharBytes = 3;
constexpr size_t kWatermarkBytes = kCodewordBytes * kSymbolsPerByte * kSymbolCharBytes;  // 576

// The characters of symbol values 0 to 3: U+200B, U+200C, U+200D, U+2060.
constexpr std::array<std::string_view, 4> kSymbolChars = {"\xE2\x80\x8B", "\xE2\x80\x8C", "\xE2\x80\x8D",
                                                          "\xE2\x81\xA0"};

// Symbol value of a watermark alphabet character, or -1 for any other character.
int symbol_value(char32_t c) {
  switch (c) {
    case 0x200B: return 0;
    case 0x200C: return 1;
    case 0x200D: return 2;
    case 0x2060: return 3;
    default: return -1;
  }
}

// The placement is keyed on this label so that it is independent of the binding tag.
constexpr std::string_view kPlacementLabel = "zwc-watermark-v2-placement";
constexpr uint64_t kZeroSeedReplacement = 0x9E3779B97F4A7C15;
constexpr uint64_t kXorshiftMultiplier = 0x2545F4914F6CDD1D;

Error coding_error(erasure::CodingError error) { return Error::coding(std::string(erasure::error_name(error))); }

Result<erasure::ReedSolomon> watermark_coder() {
  auto coder = erasure::ReedSolomon::build(kDataShards, kParityShards);
  if (!coder) return coding_error(coder.error());
  return std::move(coder).value();
}

// White_Space among the ASCII bytes: the walks below classify most bytes by this table alone.
constexpr std::array<bool, 128> kAsciiWhiteSpace = [] {
  std::array<bool, 128> table{};
  for (char32_t c = 0; c < table.size(); ++c) table[c] = is_white_space(c);
  return table;
}();

// Offset of the next E2 or EF byte at or after `at`, or the text length. ASCII is skipped
// eight bytes at a time.
size_t find_zero_width_lead(std::string_view text, size_t at) {
  constexpr uint64_t kHighBits = 0x8080808080808080;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  while (at < text.size()) {
    uint64_t eight;
    if (at + sizeof eight <= text.size()) {
      std::memcpy(&eight, bytes + at, sizeof eight);
      if ((eight & kHighBits) == 0) {
        at += sizeof eight;
        continue;
      }
    }
    if (bytes[at] == 0xE2 || bytes[at] == 0xEF) return at;
    ++at;
  }
  return at;
}

void append_symbol_run(std::string& out, uint8_t byte) {
  for (int shift = 6; shift >= 0; shift -= 2) out.append(kSymbolChars[(byte >> shift) & 3]);
}

// The symbols that follow one word of a text, up to its next word.
struct WordSymbols {
  size_t word;
  size_t count;   // symbols seen
  uint8_t value;  // the byte spelled by the first four
};

// Collects the symbols that follow each word. Only White_Space separates words here: the
// alphabet characters belong to the word they follow, and U+FEFF and the variation selectors
// are word characters. Ordered by word index, since words are met in order.
std::vector<WordSymbols> collect_symbol_runs(std::string_view text) {
  std::vector<WordSymbols> runs;
  size_t words = 0;
  bool in_word = false;
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x80) {
      const bool word = !kAsciiWhiteSpace[byte];
      words += word && !in_word;
      in_word = word;
      ++i;
      continue;
    }
    const auto scalar = decode(text, i);
    i += scalar.length;
    const int symbol = symbol_value(scalar.value);
    if (symbol >= 0) {
      if (words == 0) continue;  // nothing to attach to before the first word
      if (runs.empty() || runs.back().word != words - 1) runs.push_back({words - 1, 0, 0});
      WordSymbols& run = runs.back();
      if (run.count < kSymbolsPerByte) run.value = static_cast<uint8_t>(run.value << 2 | symbol);
      ++run.count;
    } else {
      const bool word = !is_white_space(scalar.value);
      words += word && !in_word;
      in_word = word;
    }
  }
  return runs;
}

// The codeword byte read after word `word`: present only for a run of exactly four symbols.
std::optional<uint8_t> slot_of(const std::vector<WordSymbols>& runs, size_t word) {
  const auto run = std::ranges::lower_bound(runs, word, {}, &WordSymbols::word);
  if (run == runs.end() || run->word != word || run->count != kSymbolsPerByte) return std::nullopt;
  return run->value;
}

}  // namespace

std::string strip_zero_width(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // Every zero-width character is encoded with lead byte E2 or EF, and a lead byte is never
  // inside another character, so the text between two such bytes is copied whole.
  size_t copied = 0;
  for (size_t i = find_zero_width_lead(text, 0); i < text.size(); i = find_zero_width_lead(text, i)) {
    const auto scalar = decode(text, i);
    if (normalize::is_zero_width(scalar.value)) {
      out.append(text.substr(copied, i - copied));
      copied = i + scalar.length;
    }
    i += scalar.length;
  }
  out.append(text.substr(copied));
  return out;
}

ContentHash content_hash(std::string_view text) {
  return internal::crypto::sha256(internal::crypto::as_bytes(normalize::canonical(text)));
}

Pointer routing_pointer(std::span<const uint8_t> bytes) {
  Pointer pointer{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), pointer.size()), pointer.begin());
  return pointer;
}

BindingTag binding_tag(std::span<const uint8_t> key, const ContentHash& hash, const Pointer& pointer) {
  const auto mac = internal::crypto::hmac_sha256(key, {hash, pointer});
  BindingTag tag;
  std::copy_n(mac.begin(), tag.size(), tag.begin());
  return tag;
}

Result<Codeword> encode_payload(std::span<const uint8_t> pointer_bytes, std::span<const uint8_t> key,
                                const ContentHash& hash) {
  const Pointer pointer = routing_pointer(pointer_bytes);
  const BindingTag tag = binding_tag(key, hash, pointer);
  QV_ASSIGN_OR_RETURN(const erasure::ReedSolomon coder, watermark_coder());
  std::vector<erasure::Shard> shards(kCodewordBytes, erasure::Shard(1, 0));
  for (size_t i = 0; i < kPointerBytes; ++i) shards[i][0] = pointer[i];
  for (size_t i = 0; i < kTagBytes; ++i) shards[kPointerBytes + i][0] = tag[i];
  if (auto encoded = coder.encode(shards); !encoded) return coding_error(encoded.error());
  Codeword codeword;
  for (size_t i = 0; i < kCodewordBytes; ++i) codeword[i] = shards[i][0];
  return codeword;
}

Result<Extraction> decode_payload(const CodewordSlots& slots, std::span<const uint8_t> key, const ContentHash& hash) {
  const size_t missing = std::ranges::count_if(slots, [](const auto& slot) { return !slot; });
  if (missing > kMostMissingSlots) return Error::watermark_unrecoverable();
  QV_ASSIGN_OR_RETURN(const erasure::ReedSolomon coder, watermark_coder());
  std::vector<erasure::ShardSlot> shards(kCodewordBytes);
  for (size_t i = 0; i < kCodewordBytes; ++i) {
    if (slots[i]) shards[i].emplace(1, *slots[i]);
  }
  if (auto rebuilt = coder.reconstruct(shards); !rebuilt) return coding_error(rebuilt.error());

  Extraction extraction{{}, false, missing};
  for (size_t i = 0; i < kPointerBytes; ++i) extraction.pointer[i] = (*shards[i])[0];
  BindingTag stored;
  for (size_t i = 0; i < kTagBytes; ++i) stored[i] = (*shards[kPointerBytes + i])[0];
  extraction.tag_verified =
      internal::crypto::equal_constant_time(binding_tag(key, hash, extraction.pointer), stored);
  return extraction;
}

std::vector<size_t> word_gaps(std::string_view text) {
  // A word ends at the offset of the White_Space or zero-width character after it. Every
  // character's offset is stored and the count advanced only at word ends, with no branch
  // on word boundaries, so the vector is kept large enough for one gap per character ahead.
  constexpr size_t kChunkBytes = 4096;
  std::vector<size_t> gaps;
  size_t count = 0;
  bool in_word = false;
  for (size_t i = 0; i < text.size();) {
    const size_t chunk_end = std::min(text.size(), i + kChunkBytes);
    const size_t room = count + (chunk_end - i) + 1;
    if (gaps.size() < room) gaps.resize(std::max(room, 2 * gaps.size()));
    size_t* out = gaps.data();
    while (i < chunk_end) {
      const auto byte = static_cast<uint8_t>(text[i]);
      bool word;
      size_t length = 1;
      if (byte < 0x80) {
        word = !kAsciiWhiteSpace[byte];
      } else {
        const auto scalar = decode(text, i);
        word = !is_white_space(scalar.value) && !normalize::is_zero_width(scalar.value);
        length = scalar.length;
      }
      out[count] = i;
      count += in_word && !word;
      in_word = word;
      i += length;
    }
  }
  gaps.resize(count);
  if (in_word) gaps.push_back(text.size());
  return gaps;
}

std::vector<size_t> fisher_yates(size_t count, std::span<const uint8_t> key, const ContentHash& hash) {
  const auto mac = internal::crypto::hmac_sha256(key, {as_bytes(kPlacementLabel), hash});
  uint64_t x = 0;
  for (int i = 7; i >= 0; --i) x = x << 8 | mac[i];  // little-endian
  if (x == 0) x = kZeroSeedReplacement;

  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  for (size_t k = count; k >= 2; --k) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    std::swap(order[k - 1], order[(x * kXorshiftMultiplier) % k]);
  }
  return order;
}

Result<std::string> embed(std::string_view text, std::span<const uint8_t> key, std::span<const uint8_t> pointer) {
  const ContentHash hash = content_hash(text);
  QV_ASSIGN_OR_RETURN(const Codeword codeword, encode_payload(pointer, key, hash));
  const std::vector<size_t> gaps = word_gaps(text);
  if (gaps.size() < kCodewordBytes) return Error::content_too_short();
  const std::vector<size_t> order = fisher_yates(gaps.size(), key, hash);

  struct Insertion {
    size_t offset;
    uint8_t byte;
  };
  std::array<Insertion, kCodewordBytes> insertions;
  for (size_t i = 0; i < kCodewordBytes; ++i) insertions[i] = {gaps[order[i]], codeword[i]};
  std::ranges::sort(insertions, {}, &Insertion::offset);

  // Each run goes directly after its word, before whatever follows it.
  std::string out;
  out.reserve(text.size() + kWatermarkBytes);
  size_t copied = 0;
  for (const Insertion& insertion : insertions) {
    out.append(text.substr(copied, insertion.offset - copied));
    append_symbol_run(out, insertion.byte);
    copied = insertion.offset;
  }
  out.append(text.substr(copied));
  return out;
}

Result<Extraction> extract(std::string_view text, std::span<const uint8_t> key) {
  const std::vector<WordSymbols> runs = collect_symbol_runs(text);
  const std::string stripped = strip_zero_width(text);
  const ContentHash hash = content_hash(stripped);
  const size_t gap_count = word_gaps(stripped).size();
  if (gap_count < kCodewordBytes) return Error::content_too_short();
  const std::vector<size_t> order = fisher_yates(gap_count, key, hash);

  CodewordSlots slots;
  for (size_t i = 0; i < kCodewordBytes; ++i) slots[i] = slot_of(runs, order[i]);
  return decode_payload(slots, key, hash);
}

}  // namespace quelvane::stego
