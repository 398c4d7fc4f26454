#include "stego.h"

#include <algorithm>
#include <bit>
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

bool is_variation_selector(char32_t c) { return c >= 0xFE00 && c <= 0xFE0F; }

// The placement is keyed on this label so that it is independent of the binding tag.
constexpr std::string_view kPlacementLabel = "zwc-watermark-v2-placement";
constexpr uint64_t kZeroSeedReplacement = 0x9E3779B97F4A7C15;
constexpr uint64_t kXorshiftMultiplier = 0x2545F4914F6CDD1D;

// The placement generator's start: the first 8 bytes of an HMAC, little-endian, never zero.
uint64_t placement_seed(std::span<const uint8_t> key, const ContentHash& hash) {
  // Whoever holds this MAC can find the runs in any copy of the text, so it is wiped like a key.
  internal::crypto::SecretBytes<32> mac;
  internal::crypto::hmac_sha256(key, {as_bytes(kPlacementLabel), hash}, mac.span());
  uint64_t x = 0;
  for (int i = 7; i >= 0; --i) x = x << 8 | mac.data()[i];  // little-endian
  return x == 0 ? kZeroSeedReplacement : x;
}

constexpr uint64_t xorshift(uint64_t x) {
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  return x;
}

// The state xorshift came from: each of its three steps undone, the last first.
constexpr uint64_t xorshift_back(uint64_t x) {
  x ^= x >> 27 ^ x >> 54;
  x ^= x << 25 ^ x << 50;
  x ^= x >> 12 ^ x >> 24 ^ x >> 36 ^ x >> 48 ^ x >> 60;
  return x;
}
static_assert(xorshift_back(xorshift(0x0123456789ABCDEF)) == 0x0123456789ABCDEF);

Error coding_error(erasure::CodingError error) { return Error::coding(std::string(erasure::error_name(error))); }

Result<erasure::ReedSolomon> watermark_coder() {
  auto coder = erasure::ReedSolomon::build(kDataShards, kParityShards);
  if (!coder) return coding_error(coder.error());
  return std::move(coder).value();
}

// Texts are walked eight bytes at a time while those bytes are ASCII, as most are. In such a
// block byte i is bits 8i..8i+7 of a little-endian word, and masks keep one flag per byte in
// its high bit.
constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;
constexpr size_t kBlockBytes = 8;

// The eight bytes at `at` as a word, if all are ASCII.
std::optional<uint64_t> ascii_block(std::string_view text, size_t at) {
  uint64_t block;
  if (text.size() - at < kBlockBytes) return std::nullopt;
  std::memcpy(&block, text.data() + at, kBlockBytes);
  if (block & kHighBits) return std::nullopt;
  return block;
}

// Flags the bytes of an ASCII block that are not White_Space (U+0009..U+000D, U+0020).
uint64_t word_bytes(uint64_t block) {
  constexpr uint64_t kLow7 = ~kHighBits;
  const uint64_t spaces = block ^ (0x20 * kOnes);
  const uint64_t is_space = ~(((spaces & kLow7) + kLow7) | spaces) & kHighBits;  // bytes == 0x20
  // No byte exceeds 0x7F, so these additions carry into no neighbour.
  const uint64_t from_tab = (block + (0x80 - 0x09) * kOnes) & kHighBits;
  const uint64_t from_shift_out = (block + (0x80 - 0x0E) * kOnes) & kHighBits;
  return ~(is_space | (from_tab & ~from_shift_out)) & kHighBits;
}

// How many bytes a mask flags. (std::popcount is a library call on baseline x86-64.)
unsigned count_flagged(uint64_t mask) { return static_cast<unsigned>(((mask >> 7) * kOnes) >> 56); }

// The byte positions (0..7) flagged in a mask, lowest first, are visited by this loop.
template <typename OnByte>
void for_each_flagged(uint64_t mask, OnByte on_byte) {
  for (; mask != 0; mask &= mask - 1) on_byte(static_cast<size_t>(std::countr_zero(mask)) / 8);
}

// Calls on_word_end with the offset where each word's run goes, in text order. A word is a
// maximal run of non-White_Space characters holding at least one character outside the
// zero-width set: zero-width characters inside, before or after a word neither split it nor
// make a word of their own, so a text has as many words as its stripped form. The run goes just
// after the word's last other character and the variation selectors that directly follow it,
// since one put between a character and its selector would make the selector show.
template <typename OnWordEnd>
void for_each_word_end(std::string_view text, OnWordEnd on_word_end) {
  bool in_word = false;     // a word has begun since the last White_Space
  bool after_base = false;  // only variation selectors since the word's last other character
  size_t end = 0;           // where the current word's run goes
  for (size_t i = 0; i < text.size();) {
    if (const auto block = ascii_block(text, i)) {
      const uint64_t word = word_bytes(*block);
      const uint64_t after_word = word << 8 | (in_word ? 0x80 : 0);
      for_each_flagged(after_word & ~word & kHighBits, [&](size_t byte) { on_word_end(byte == 0 ? end : i + byte); });
      in_word = after_base = word >> 63;
      i += kBlockBytes;
      end = i;
      continue;
    }
    const auto scalar = decode(text, i);
    i += scalar.length;
    if (is_white_space(scalar.value)) {
      if (in_word) on_word_end(end);
      in_word = false;
    } else if (!normalize::is_zero_width(scalar.value)) {
      in_word = after_base = true;
      end = i;
    } else if (is_variation_selector(scalar.value)) {
      if (after_base) end = i;
    } else {
      after_base = false;
    }
  }
  if (in_word) on_word_end(end);
}

// Offset of the next E2 or EF byte at or after `at`, or the text length.
size_t find_zero_width_lead(std::string_view text, size_t at) {
  while (at < text.size()) {
    if (ascii_block(text, at)) {
      at += kBlockBytes;
      continue;
    }
    const auto byte = static_cast<uint8_t>(text[at]);
    if (byte == 0xE2 || byte == 0xEF) return at;
    ++at;
  }
  return at;
}

// Every zero-width character is three bytes long, with lead byte E2 or EF.
constexpr size_t kZeroWidthCharBytes = 3;

// Offset of the next zero-width character at or after `at`, or the text length. A lead byte
// is never inside another character, so the text between two E2 or EF bytes is skipped whole.
size_t find_zero_width(std::string_view text, size_t at) {
  for (at = find_zero_width_lead(text, at); at < text.size(); at = find_zero_width_lead(text, at)) {
    const auto scalar = decode(text, at);
    if (normalize::is_zero_width(scalar.value)) return at;
    at += scalar.length;
  }
  return at;
}

void append_symbol_run(std::string& out, uint8_t byte) {
  for (int shift = 6; shift >= 0; shift -= 2) out.append(kSymbolChars[(byte >> shift) & 3]);
}

// The symbols read after one word of a text, up to its next word.
struct WordSymbols {
  size_t word;
  size_t count;   // symbols seen
  uint8_t value;  // the byte spelled by the first four
};

void add_symbol(WordSymbols& symbols, int symbol) {
  if (symbols.count < kSymbolsPerByte) symbols.value = static_cast<uint8_t>(symbols.value << 2 | symbol);
  ++symbols.count;
}

// Appends `tail`, symbols read after word `word`, to that word's entry (the last one, if any).
void add_symbols(std::vector<WordSymbols>& runs, size_t word, const WordSymbols& tail) {
  if (runs.empty() || runs.back().word != word) runs.push_back({word, 0, 0});
  WordSymbols& run = runs.back();
  if (run.count + tail.count <= kSymbolsPerByte) {
    run.value = static_cast<uint8_t>(run.value << (2 * tail.count) | tail.value);
  }
  run.count += tail.count;
}

// Collects the symbols read after each word, with words counted as in for_each_word_end. An
// alphabet character is a symbol only when nothing but zero-width characters stands between it
// and the next White_Space or the end of the text: one inside or before a word (the joiner of
// an emoji sequence, a zero-width space in a long word) belongs to the text. A symbol belongs to
// the last word begun before it, across White_Space too. Ordered by word index, since words are
// met in order.
std::vector<WordSymbols> collect_symbol_runs(std::string_view text) {
  std::vector<WordSymbols> runs;
  WordSymbols tail{0, 0, 0};  // symbols since the last White_Space or character of a word
  size_t words = 0;
  bool in_word = false;
  const auto keep_tail = [&] {
    if (tail.count != 0 && words != 0) add_symbols(runs, words - 1, tail);
    tail = {0, 0, 0};
  };
  for (size_t i = 0; i < text.size();) {
    if (const auto block = ascii_block(text, i)) {
      const uint64_t word = word_bytes(*block);
      if (word & 0x80) {
        tail = {0, 0, 0};  // followed by the word character that starts the block
      } else {
        keep_tail();
      }
      const uint64_t after_word = word << 8 | (in_word ? 0x80 : 0);
      words += count_flagged(word & ~after_word);
      in_word = word >> 63;
      i += kBlockBytes;
      continue;
    }
    const auto scalar = decode(text, i);
    i += scalar.length;
    if (const int symbol = symbol_value(scalar.value); symbol >= 0) {
      add_symbol(tail, symbol);
    } else if (is_white_space(scalar.value)) {
      keep_tail();
      in_word = false;
    } else if (!normalize::is_zero_width(scalar.value)) {
      tail = {0, 0, 0};
      words += !in_word;
      in_word = true;
    }
  }
  keep_tail();
  return runs;
}

// The symbols read after word `word`, or nullptr if there are none.
const WordSymbols* symbols_after(const std::vector<WordSymbols>& runs, size_t word) {
  const auto run = std::ranges::lower_bound(runs, word, {}, &WordSymbols::word);
  return run == runs.end() || run->word != word ? nullptr : &*run;
}

// The codeword byte read after word `word`: present only for a run of exactly four symbols.
std::optional<uint8_t> slot_of(const std::vector<WordSymbols>& runs, size_t word) {
  const WordSymbols* run = symbols_after(runs, word);
  if (run == nullptr || run->count != kSymbolsPerByte) return std::nullopt;
  return run->value;
}

// Whether the stripped text has the same canonical stream as the text, which drops the
// zero-width set only after NFC. It has unless removing a run of zero-width characters lets
// NFC join what followed the run to what preceded it: every character of the set has an NFC
// boundary before it, so a run followed by a character with one (or by the end) changes nothing.
bool strip_keeps_canonical(std::string_view text) {
  for (size_t i = find_zero_width_lead(text, 0); i < text.size(); i = find_zero_width_lead(text, i)) {
    auto scalar = decode(text, i);
    if (!normalize::is_zero_width(scalar.value)) {
      i += scalar.length;
      continue;
    }
    while (normalize::is_zero_width(scalar.value)) {
      i += scalar.length;
      if (i == text.size()) return true;
      scalar = decode(text, i);
    }
    if (!normalize::has_nfc_boundary_before(scalar.value)) return false;
  }
  return true;
}

// A word chosen to carry a run must not already be followed by symbols (an earlier watermark,
// a trailing zero-width space or joiner): it would read back with more than four.
Result<Ok> check_chosen_words_bare(std::string_view text, std::span<const size_t> chosen) {
  const std::vector<WordSymbols> runs = collect_symbol_runs(text);
  if (std::ranges::any_of(chosen, [&](size_t word) { return symbols_after(runs, word) != nullptr; })) {
    return Error::invalid_input(
        "text cannot carry a readable watermark: a word chosen to carry it is already followed by "
        "U+200B, U+200C, U+200D or U+2060");
  }
  return Ok{};
}

// The content hash a watermark is bound to: that of the text without its zero-width characters,
// which extraction reads and which may compose differently once they are gone (e, U+200B,
// U+0301). The stripped copy is made only when that can happen.
ContentHash hash_of_stripped(std::string_view text) {
  return strip_keeps_canonical(text) ? content_hash(text) : content_hash(strip_zero_width(text));
}

}  // namespace

std::string strip_zero_width(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  for (size_t i = find_zero_width(text, 0); i < text.size(); i = find_zero_width(text, copied)) {
    out.append(text.substr(copied, i - copied));
    copied = i + kZeroWidthCharBytes;
  }
  out.append(text.substr(copied));
  return out;
}

ContentHash content_hash(std::string_view text) {
  internal::crypto::Sha256 hasher;
  normalize::for_each_canonical_piece(text,
                                      [&](std::string_view piece) { hasher.update(internal::crypto::as_bytes(piece)); });
  ContentHash hash;
  hasher.finish(hash);
  return hash;
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
  std::vector<size_t> gaps;
  for_each_word_end(text, [&](size_t offset) { gaps.push_back(offset); });
  return gaps;
}

std::vector<size_t> fisher_yates(size_t count, std::span<const uint8_t> key, const ContentHash& hash) {
  uint64_t x = placement_seed(key, hash);
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  for (size_t k = count; k >= 2; --k) {
    x = xorshift(x);
    std::swap(order[k - 1], order[(x * kXorshiftMultiplier) % k]);
  }
  return order;
}

// Entry i of the permutation is where the value at position i came from, so each of the first
// 48 positions is followed back through the swaps, last swap first. The generator is stepped
// to its last state and then back, its step being invertible; positions followed are marked in
// a bitmap, one bit per word, so a swap that moves none of them costs two bit tests.
std::array<size_t, kCodewordBytes> placement(size_t count, std::span<const uint8_t> key, const ContentHash& hash) {
  std::array<size_t, kCodewordBytes> at;  // where the value that ends at position i is now
  std::iota(at.begin(), at.end(), size_t{0});
  std::vector<bool> followed(count, false);
  for (size_t i = 0; i < kCodewordBytes; ++i) followed[i] = true;
  auto move = [&](size_t from, size_t to) {
    *std::ranges::find(at, from) = to;
    followed[from] = false;
    followed[to] = true;
  };
  uint64_t x = placement_seed(key, hash);
  for (size_t k = count; k >= 2; --k) x = xorshift(x);
  for (size_t k = 2; k <= count; ++k, x = xorshift_back(x)) {
    const size_t j = (x * kXorshiftMultiplier) % k;
    const bool top = followed[k - 1];
    const bool drawn = followed[j];
    if (j == k - 1 || (!top && !drawn)) continue;
    if (top && drawn) {
      std::swap(*std::ranges::find(at, k - 1), *std::ranges::find(at, j));
    } else if (top) {
      move(k - 1, j);
    } else {
      move(j, k - 1);
    }
  }
  return at;
}

Result<std::array<Insertion, kCodewordBytes>> insertions(std::string_view text, std::span<const uint8_t> key,
                                                         std::span<const uint8_t> pointer) {
  const bool plain = find_zero_width(text, 0) == text.size();  // as most texts are
  const ContentHash hash = hash_of_stripped(text);
  QV_ASSIGN_OR_RETURN(const Codeword codeword, encode_payload(pointer, key, hash));
  size_t gap_count = 0;
  for_each_word_end(text, [&](size_t) { ++gap_count; });
  if (gap_count < kCodewordBytes) return Error::content_too_short();
  const std::array<size_t, kCodewordBytes> order = placement(gap_count, key, hash);
  if (!plain) QV_RETURN_IF_ERROR(check_chosen_words_bare(text, order));

  // The gaps are found again by their index rather than kept, one per word.
  struct Placed {
    size_t gap;
    uint8_t byte;
  };
  std::array<Placed, kCodewordBytes> placed;
  for (size_t i = 0; i < kCodewordBytes; ++i) placed[i] = {order[i], codeword[i]};
  std::ranges::sort(placed, {}, &Placed::gap);
  std::array<Insertion, kCodewordBytes> out;
  size_t gap = 0;
  size_t next = 0;
  for_each_word_end(text, [&](size_t offset) {
    if (next < placed.size() && placed[next].gap == gap) {
      out[next] = {offset, placed[next].byte};
      ++next;
    }
    ++gap;
  });
  return out;
}

std::string symbol_run(uint8_t byte) {
  std::string out;
  append_symbol_run(out, byte);
  return out;
}

Result<std::string> embed(std::string_view text, std::span<const uint8_t> key, std::span<const uint8_t> pointer) {
  QV_ASSIGN_OR_RETURN(const auto runs, insertions(text, key, pointer));
  // Each run goes directly after its word, before whatever follows it.
  std::string out;
  out.reserve(text.size() + kWatermarkBytes);
  size_t copied = 0;
  for (const Insertion& insertion : runs) {
    out.append(text.substr(copied, insertion.offset - copied));
    append_symbol_run(out, insertion.byte);
    copied = insertion.offset;
  }
  out.append(text.substr(copied));
  return out;
}

Result<Extraction> extract(std::string_view text, std::span<const uint8_t> key) {
  const std::vector<WordSymbols> runs = collect_symbol_runs(text);
  // Hashed before the stripped copy is made, so that the text, the copy and a canonical
  // stream are not all held at once.
  const ContentHash hash = hash_of_stripped(text);
  const std::string stripped = strip_zero_width(text);
  size_t gap_count = 0;  // only the length of the stripped text's gap list matters here
  for_each_word_end(stripped, [&](size_t) { ++gap_count; });
  if (gap_count < kCodewordBytes) return Error::content_too_short();
  const std::array<size_t, kCodewordBytes> order = placement(gap_count, key, hash);

  CodewordSlots slots;
  for (size_t i = 0; i < kCodewordBytes; ++i) slots[i] = slot_of(runs, order[i]);
  return decode_payload(slots, key, hash);
}

}  // namespace quelvane::stego
