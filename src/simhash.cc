#include "simhash.h"

#include <bit>
#include <cstring>

#include "internal/hex.h"
#include "internal/utf8.h"
#include "normalize.h"

namespace quelvane::simhash {
namespace {

constexpr size_t kGramChars = 4;
constexpr int kCharBits = 21;  // every scalar value is below 0x110000
using GramKey = unsigned __int128;
constexpr GramKey kGramKeyMask = (GramKey{1} << (kGramChars * kCharBits)) - 1;

// For each byte value, a word whose byte j is bit 7 - j of it: adding these words counts the
// bits of a byte in eight byte lanes at once, in the order bits are numbered.
constexpr std::array<uint64_t, 256> make_spread() {
  std::array<uint64_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    for (int j = 0; j < 8; ++j) table[b] |= static_cast<uint64_t>((b >> (7 - j)) & 1) << (8 * j);
  }
  return table;
}
constexpr auto kSpread = make_spread();

// The value whose bit i is set when 2 * ones[i] > total, that is when the votes for bit i
// (ones[i] for, total - ones[i] against) end above zero. Sums are taken modulo 2^64 and
// read as signed, which is exact whenever the true counters fit in 64 bits.
template <typename Counts>
Hash256 majority(const Counts& ones, uint64_t total) {
  Hash256 out;
  for (size_t i = 0; i < 256; ++i) {
    if (static_cast<int64_t>(2 * static_cast<uint64_t>(ones[i]) - total) > 0) out.set_bit(i);
  }
  return out;
}

// Writes the UTF-8 bytes of the four scalars packed in a gram key, oldest first, to `out`.
void gram_utf8(GramKey key, std::string& out) {
  out.clear();
  for (size_t i = kGramChars; i-- > 0;) {
    internal::utf8::append(out, static_cast<char32_t>((key >> (i * kCharBits)) & ((1u << kCharBits) - 1)));
  }
}

// The distinct 4-grams of a stream of scalars fed one at a time, each with its number of
// occurrences and, when asked for, the distinct gram at every position. Open addressing on
// the gram's packed scalars; the table doubles when half full.
class GramIndex {
 public:
  explicit GramIndex(bool keep_positions) : keep_positions_(keep_positions) { rehash(kInitialBits); }

  void push(char32_t c) {
    key_ = ((key_ << kCharBits) | c) & kGramKeyMask;
    if (++chars_ < kGramChars) return;
    const uint32_t id = find_or_insert(key_);
    ++counts_[id];
    if (keep_positions_) positions_.push_back(id);
  }

  size_t chars() const { return chars_; }
  size_t distinct() const { return keys_.size(); }
  uint64_t count(uint32_t id) const { return counts_[id]; }
  const std::vector<uint32_t>& positions() const { return positions_; }

  // blake2_256 of each distinct gram's UTF-8 bytes, by gram id.
  std::vector<Hash256> hashes() const {
    internal::crypto::Blake2b512 hasher;
    std::vector<Hash256> out(keys_.size());
    std::array<uint8_t, internal::crypto::Blake2b512::kDigestBytes> digest;
    std::string utf8;
    for (size_t id = 0; id < keys_.size(); ++id) {
      gram_utf8(keys_[id], utf8);
      hasher.digest(internal::crypto::as_bytes(utf8), digest);
      std::memcpy(out[id].bytes.data(), digest.data(), out[id].bytes.size());
    }
    return out;
  }

 private:
  static constexpr int kInitialBits = 12;

  struct Slot {
    uint64_t low = 0;
    uint32_t high = 0;
    uint32_t id_plus_one = 0;  // 0: empty
  };

  size_t slot_of(GramKey key) const {
    const auto low = static_cast<uint64_t>(key);
    const auto high = static_cast<uint64_t>(key >> 64);
    const uint64_t mixed = (low ^ (high * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
    return static_cast<size_t>(mixed >> shift_);
  }

  uint32_t find_or_insert(GramKey key) {
    const auto low = static_cast<uint64_t>(key);
    const auto high = static_cast<uint32_t>(key >> 64);
    for (size_t i = slot_of(key);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.id_plus_one == 0) {
        const auto id = static_cast<uint32_t>(keys_.size());
        slot = {low, high, id + 1};
        keys_.push_back(key);
        counts_.push_back(0);
        if (2 * keys_.size() > slots_.size()) rehash(std::countr_zero(slots_.size()) + 1);
        return id;
      }
      if (slot.low == low && slot.high == high) return slot.id_plus_one - 1;
    }
  }

  void rehash(int bits) {
    slots_.assign(size_t{1} << bits, Slot{});
    mask_ = slots_.size() - 1;
    shift_ = 64 - bits;
    for (uint32_t id = 0; id < keys_.size(); ++id) {
      size_t i = slot_of(keys_[id]);
      while (slots_[i].id_plus_one != 0) i = (i + 1) & mask_;
      slots_[i] = {static_cast<uint64_t>(keys_[id]), static_cast<uint32_t>(keys_[id] >> 64), id + 1};
    }
  }

  bool keep_positions_;
  GramKey key_ = 0;
  size_t chars_ = 0;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  int shift_ = 0;
  std::vector<GramKey> keys_;      // by id, in order of first occurrence
  std::vector<uint64_t> counts_;   // by id
  std::vector<uint32_t> positions_;  // the id of the gram starting at each position
};

// Indexes the grams of a canonical stream, decoding it in place.
GramIndex index_stream(std::string_view stream, bool keep_positions) {
  GramIndex index(keep_positions);
  for (size_t i = 0; i < stream.size();) {
    const auto b = static_cast<uint8_t>(stream[i]);
    if (b < 0x80) {
      index.push(b);
      ++i;
      continue;
    }
    const auto s = internal::utf8::decode(stream, i);
    index.push(s.value);
    i += s.length;
  }
  return index;
}

// Every distinct gram votes once per occurrence.
Hash256 vote_counts(const GramIndex& index) {
  const std::vector<Hash256> hashes = index.hashes();
  Vote vote;
  for (uint32_t id = 0; id < hashes.size(); ++id) vote.add_hash(hashes[id], static_cast<int64_t>(index.count(id)));
  return vote.result();
}

// Grams in a 512-character window start at 509 positions: all 256 of the window's first
// stride block and the first 253 of the next; the last three of that block cross the edge.
constexpr size_t kGramsInWindow = kWindowChars - (kGramChars - 1);
constexpr size_t kHeadGrams = kGramsInWindow - kWindowStride;

// Bit counts over one stride block of gram positions: `head` over its first kHeadGrams
// positions, `all` over every position the block has.
struct BlockCounts {
  std::array<uint64_t, 256> head{};
  std::array<uint64_t, 256> all{};
};

BlockCounts count_block(const std::vector<Hash256>& hashes, std::span<const uint32_t> ids) {
  BlockCounts out;
  BitTally tally;
  const size_t head = std::min(ids.size(), kHeadGrams);
  for (size_t p = 0; p < head; ++p) tally.add(hashes[ids[p]]);
  out.head = tally.counts();
  for (size_t p = head; p < ids.size(); ++p) tally.add(hashes[ids[p]]);
  out.all = tally.counts();
  return out;
}

// The windows and the whole fingerprint from per-block counts: by linearity of the vote, a
// window's counters are the sum of its first block's and the head of the next block's, and
// the whole text's are the sum over all blocks. Each gram position is counted once.
Fingerprint windowed(const GramIndex& index) {
  const std::vector<Hash256> hashes = index.hashes();
  const std::vector<uint32_t>& ids = index.positions();
  const size_t n = index.chars();
  const size_t window_count = 1 + (n - kWindowChars + kWindowStride - 1) / kWindowStride;
  auto block = [&](size_t j) {
    const size_t begin = std::min(j * kWindowStride, ids.size());
    const size_t end = std::min(begin + kWindowStride, ids.size());
    return count_block(hashes, std::span<const uint32_t>(ids).subspan(begin, end - begin));
  };

  Fingerprint out;
  out.windows.reserve(window_count);
  std::array<uint64_t, 256> whole{};
  BlockCounts current = block(0);
  for (size_t k = 0; k < window_count; ++k) {
    const BlockCounts next = block(k + 1);
    const size_t start = k * kWindowStride;
    const size_t end = std::min(start + kWindowChars, n);
    std::array<uint64_t, 256> ones;
    for (size_t i = 0; i < 256; ++i) {
      ones[i] = current.all[i] + next.head[i];
      whole[i] += current.all[i];
    }
    out.windows.push_back({majority(ones, end - start - (kGramChars - 1)), start, end - start});
    current = next;
  }
  for (size_t i = 0; i < 256; ++i) whole[i] += current.all[i];
  out.whole = majority(whole, ids.size());
  return out;
}

// The fingerprint of a stream too short for 4-grams: its one gram votes alone, so the result
// is that gram's hash (all zero for the empty stream).
Hash256 short_stream(std::string_view stream) {
  return stream.empty() ? Hash256{} : blake2_256(internal::crypto::as_bytes(stream));
}

}  // namespace

std::string Hash256::hex() const { return internal::hex::encode(bytes); }

std::optional<Hash256> Hash256::from_hex(std::string_view text) {
  auto decoded = internal::hex::decode(text);
  if (!decoded || decoded->size() != 32) return std::nullopt;
  Hash256 out;
  std::copy(decoded->begin(), decoded->end(), out.bytes.begin());
  return out;
}

int Hash256::hamming(const Hash256& other) const {
  int distance = 0;
  for (size_t i = 0; i < bytes.size(); i += 8) {
    uint64_t a, b;
    std::memcpy(&a, bytes.data() + i, 8);
    std::memcpy(&b, other.bytes.data() + i, 8);
    distance += std::popcount(a ^ b);
  }
  return distance;
}

Hash256 blake2_256(std::span<const uint8_t> bytes) {
  internal::crypto::Blake2b512 hasher;
  std::array<uint8_t, internal::crypto::Blake2b512::kDigestBytes> digest;
  hasher.digest(bytes, digest);
  Hash256 out;
  std::memcpy(out.bytes.data(), digest.data(), out.bytes.size());
  return out;
}

void BitTally::add(const Hash256& value) {
  for (size_t k = 0; k < lanes_.size(); ++k) lanes_[k] += kSpread[value.bytes[k]];
  if (++pending_ == kLaneLimit) spill();
}

const std::array<uint64_t, 256>& BitTally::counts() {
  spill();
  return counts_;
}

void BitTally::spill() {
  for (size_t k = 0; k < lanes_.size(); ++k) {
    for (size_t j = 0; j < 8; ++j) counts_[8 * k + j] += (lanes_[k] >> (8 * j)) & 0xFF;
  }
  lanes_ = {};
  pending_ = 0;
}

void Vote::add(std::span<const uint8_t> item, int64_t weight) {
  std::array<uint8_t, internal::crypto::Blake2b512::kDigestBytes> digest;
  hasher_.digest(item, digest);
  Hash256 hash;
  std::memcpy(hash.bytes.data(), digest.data(), hash.bytes.size());
  add_hash(hash, weight);
}

void Vote::add_hash(const Hash256& hash, int64_t weight) {
  // Split the weight into its binary digits: plane b counts the hashes whose weight has bit
  // b set, so every add is an unweighted tally and most weights touch one or two planes.
  auto bits = static_cast<uint64_t>(weight);
  total_ += bits;
  for (size_t b = 0; bits != 0; ++b, bits >>= 1) {
    if (b == planes_.size()) planes_.emplace_back();
    if (bits & 1) planes_[b].add(hash);
  }
}

Hash256 Vote::result() {
  std::array<uint64_t, 256> ones{};
  for (size_t b = 0; b < planes_.size(); ++b) {
    const auto& counts = planes_[b].counts();
    for (size_t i = 0; i < 256; ++i) ones[i] += counts[i] << b;
  }
  return majority(ones, total_);
}

Hash256 simhash_4grams(std::span<const char32_t> chars) {
  if (chars.size() < kGramChars) {
    std::string utf8;
    for (char32_t c : chars) internal::utf8::append(utf8, c);
    return short_stream(utf8);
  }
  GramIndex index(false);
  for (char32_t c : chars) index.push(c);
  return vote_counts(index);
}

Fingerprint Fingerprint::compute(std::string_view text) {
  const std::string stream = normalize::canonical(text);
  const GramIndex index = index_stream(stream, true);
  if (index.chars() < kGramChars) return {short_stream(stream), {}};
  if (index.chars() <= kWindowChars) return {vote_counts(index), {}};
  return windowed(index);
}

Hash256 Fingerprint::compute_whole(std::string_view text) {
  const std::string stream = normalize::canonical(text);
  const GramIndex index = index_stream(stream, false);
  if (index.chars() < kGramChars) return short_stream(stream);
  return vote_counts(index);
}

}  // namespace quelvane::simhash
