#include "simhash.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <tuple>
#include <utility>

#include "internal/blake2b.h"
#include "internal/crypto.h"
#include "internal/dense_ids.h"
#include "internal/hex.h"
#include "internal/utf8.h"
#include "normalize.h"

namespace quelvane::simhash {
namespace {

constexpr size_t kGramChars = 4;

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

// blake2_256 with a hasher reused across many items.
Hash256 blake2_256_with(internal::crypto::Blake2b512& hasher, std::span<const uint8_t> bytes) {
  std::array<uint8_t, internal::crypto::Blake2b512::kDigestBytes> digest;
  hasher.digest(bytes, digest);
  Hash256 out;
  std::memcpy(out.bytes.data(), digest.data(), out.bytes.size());
  return out;
}

// The value whose bit i is set when 2 * ones[i] > total, that is when the votes for bit i
// (ones[i] for, total - ones[i] against) end above zero. Sums are taken modulo 2^64 and
// read as signed, which is exact whenever the true counters fit in 64 bits.
// Branch-free: the bits are as good as random, so a branch per bit would mispredict half the time.
template <typename Counts>
Hash256 majority(const Counts& ones, uint64_t total) {
  Hash256 out;
  for (size_t k = 0; k < out.bytes.size(); ++k) {
    unsigned byte = 0;
    for (size_t j = 0; j < 8; ++j) {
      const bool above = static_cast<int64_t>(2 * static_cast<uint64_t>(ones[8 * k + j]) - total) > 0;
      byte |= static_cast<unsigned>(above) << (7 - j);
    }
    out.bytes[k] = static_cast<uint8_t>(byte);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Distinct grams.

// A gram of four scalars that are not all ASCII, packed 21 bits each (every scalar value is
// below 0x110000): 84 bits, of which `high` holds the top 20.
// Packed to 12 bytes, so that a table slot with a 4-byte count takes 16.
struct __attribute__((packed)) WideKey {
  uint64_t low;
  uint32_t high;
  bool operator==(const WideKey&) const = default;
};

constexpr int kCharBits = 21;

WideKey wide_key(const std::array<char32_t, kGramChars>& ring, size_t oldest) {
  unsigned __int128 packed = 0;
  for (size_t i = 0; i < kGramChars; ++i) packed = (packed << kCharBits) | ring[(oldest + i) % kGramChars];
  return {static_cast<uint64_t>(packed), static_cast<uint32_t>(packed >> 64)};
}

struct MixWideKey {
  uint64_t operator()(const WideKey& key) const {
    return (key.low ^ (key.high * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
  }
};

// Calls on_gram(key, bytes) for the 4-gram starting at each character position of a UTF-8
// stream, in order, and returns the number of characters. A gram made only of ASCII characters
// (the common case) is keyed by its four bytes as a uint32_t, any other by a WideKey; `bytes`
// are its UTF-8 bytes in the stream. The scalars are decoded in place; the last four
// characters' starts and values are kept in small rings.
template <typename OnGram>
size_t for_each_gram(std::string_view stream, OnGram&& on_gram) {
  std::array<size_t, kGramChars> starts{};
  std::array<char32_t, kGramChars> chars{};
  size_t count = 0;
  size_t ascii_run = 0;  // ASCII characters ending at the current one
  for (size_t i = 0; i < stream.size();) {
    if (ascii_run >= kGramChars - 1) {
      // Inside ASCII text every byte is a character and every gram four bytes: read them
      // straight from the stream, and refill the rings from the bytes on leaving.
      const size_t from = i;
      for (; i < stream.size() && static_cast<uint8_t>(stream[i]) < 0x80; ++i) {
        const char* const gram = stream.data() + i - (kGramChars - 1);
        uint32_t key;
        std::memcpy(&key, gram, sizeof key);
        on_gram(key, std::string_view(gram, kGramChars));
      }
      if (i > from) {
        count += i - from;
        ascii_run += i - from;
        for (size_t back = 1; back < kGramChars; ++back) {
          starts[(count - back) % kGramChars] = i - back;
          chars[(count - back) % kGramChars] = static_cast<uint8_t>(stream[i - back]);
        }
        continue;
      }
    }
    const auto b = static_cast<uint8_t>(stream[i]);
    char32_t c = b;
    size_t length = 1;
    if (b < 0x80) {
      ++ascii_run;
    } else {
      const auto s = internal::utf8::decode(stream, i);
      c = s.value;
      length = s.length;
      ascii_run = 0;
    }
    starts[count % kGramChars] = i;
    chars[count % kGramChars] = c;
    ++count;
    i += length;
    if (count < kGramChars) continue;
    const size_t oldest = count % kGramChars;
    const size_t first = starts[oldest];
    const std::string_view bytes = stream.substr(first, i - first);
    if (ascii_run >= kGramChars) {
      uint32_t key;
      std::memcpy(&key, bytes.data(), sizeof key);
      on_gram(key, bytes);
    } else {
      on_gram(wide_key(chars, oldest), bytes);
    }
  }
  return count;
}

// Calls on_gram(key, bytes) for every 4-gram of the canonical stream of `text`, as
// for_each_gram does on the whole stream, and returns the stream's number of characters; the
// stream is never held whole, only a piece of it with the last three characters of the piece
// before, where the grams that cross the cut start. `bytes` stay valid until on_piece_end()
// is called, after each piece. `tail` ends holding the whole stream when it has fewer than
// four characters.
template <typename OnGram, typename OnPieceEnd>
size_t for_each_canonical_gram(std::string_view text, std::string& tail, OnGram&& on_gram, OnPieceEnd&& on_piece_end) {
  size_t count = 0;
  size_t carried = 0;  // characters at the front of `tail` already counted
  normalize::for_each_canonical_piece(text, [&](std::string_view piece) {
    tail.append(piece);
    const size_t chars = for_each_gram(tail, on_gram);
    on_piece_end();
    count += chars - carried;
    // Keep the start of the last (kGramChars - 1) characters: the grams starting there were
    // not complete yet.
    size_t from = tail.size();
    carried = 0;
    while (from > 0 && carried < kGramChars - 1) {
      --from;
      if ((static_cast<uint8_t>(tail[from]) & 0xC0) != 0x80) ++carried;
    }
    tail.erase(0, from);
  });
  return count;
}

// Grams waiting to be hashed kBatch at a time, in the lanes of one vector compression, each
// with a tag that says where its hash goes: on_hash(tag, hash) gets every result.
template <typename Tag>
class HashBatch {
 public:
  template <typename OnHash>
  void add(std::string_view bytes, Tag tag, OnHash&& on_hash) {
    internal::blake2b::ShortMessage& message = messages_[waiting_];
    message = {};
    std::memcpy(message.bytes.data(), bytes.data(), bytes.size());
    message.length = static_cast<uint8_t>(bytes.size());
    tags_[waiting_] = tag;
    if (++waiting_ == internal::blake2b::kBatch) flush(on_hash);
  }

  template <typename OnHash>
  void flush(OnHash&& on_hash) {
    if (waiting_ == 0) return;
    internal::blake2b::Halves halves;
    internal::blake2b::first_halves(messages_, halves);
    for (size_t k = 0; k < waiting_; ++k) {
      Hash256 hash;
      hash.bytes = halves[k];
      on_hash(tags_[k], hash);
    }
    waiting_ = 0;
  }

 private:
  internal::blake2b::Batch messages_;
  std::array<Tag, internal::blake2b::kBatch> tags_{};
  size_t waiting_ = 0;
};

// A gram table keeps the first kMostGrams distinct grams it meets, so that a text with
// millions of them (high-entropy or CJK text) costs a few megabytes at most: a later new gram
// is hashed at each occurrence and votes for that occurrence alone. The vote is a sum over
// occurrences, so that gives the same counters. The grams that recur in a text are met early.
constexpr uint32_t kMostGrams = 1 << 15;

// The gram tables start with room for the grams of a stream of `bytes` bytes, at most 2^12
// slots, and double as they fill: zeroing and scanning thousands of slots would cost a short
// text more than its grams do. The wide table starts at the least, as most texts have no wide
// gram. Neither changes a result: what a table keeps is bounded by kMostGrams, not its slots.
constexpr int kMostInitialBits = 12;
constexpr int kLeastInitialBits = 6;
int initial_bits(size_t bytes) {
  return std::clamp(static_cast<int>(std::bit_width(bytes)) + 1, kLeastInitialBits, kMostInitialBits);
}

// Once a gram table is full most new grams are not in it (in CJK text most grams occur once),
// and a bit per kept key, in a filter small enough to stay in the cache, turns most of them
// away without a probe of the large table. The bit comes from middle bits of the key's mix,
// well away from the top ones that pick the slot.
template <typename Key, typename Mix>
class KeptFilter {
 public:
  // Sets the bit of every key of the full table.
  template <typename Table>
  void fill(const Table& table) {
    words_.assign(kWords, 0);
    table.for_each([&](const Key& key, uint32_t) { word(key) |= uint64_t{1} << (bit(key) % 64); });
  }

  // False only when `key` is certainly not in the table.
  bool may_hold(const Key& key) const { return (word(key) >> (bit(key) % 64)) & 1; }
  void prefetch(const Key& key) const { __builtin_prefetch(&word(key)); }

 private:
  static constexpr int kBits = 19;  // 64 KB
  static constexpr int kShift = 24;
  static constexpr size_t kWords = (size_t{1} << kBits) / 64;
  static size_t bit(const Key& key) { return (Mix()(key) >> kShift) & ((size_t{1} << kBits) - 1); }
  uint64_t& word(const Key& key) { return words_[bit(key) / 64]; }
  const uint64_t& word(const Key& key) const { return words_[bit(key) / 64]; }

  std::vector<uint64_t> words_;
};

// The distinct grams of a stream with their blake2_256, each hashed once, for the windows,
// which need the hash of the gram at every position. Positions are read a chunk at a time;
// their hashes are ready when the chunk ends.
class GramIndex {
 public:
  // A gram's reference: a kept gram's id, or kUnkept plus its place among the unkept grams
  // of the current chunk.
  static constexpr uint32_t kUnkept = uint32_t{1} << 31;

  // An index for a stream of `bytes` bytes.
  explicit GramIndex(size_t bytes) : ascii_(initial_bits(bytes)), wide_(kLeastInitialBits) {}

  // The reference of the gram with key `key` and UTF-8 bytes `bytes`; its hash is ready once
  // the chunk ends (finish_chunk).
  template <typename Key>
  uint32_t ref(const Key& key, std::string_view bytes) {
    const auto fresh = static_cast<uint32_t>(hashes_.size());
    if (fresh == kMostGrams) {
      const uint32_t found = filter(key).may_hold(key) ? table(key).find(key, kUnkept) : kUnkept;
      if (found != kUnkept) return found;
      const uint32_t unkept = kUnkept | static_cast<uint32_t>(unkept_.size());
      unkept_.emplace_back();
      waiting_.add(bytes, unkept, std::bind_front(&GramIndex::store, this));
      return unkept;
    }
    const uint32_t found = table(key).find_or_insert(key, fresh);
    if (found == fresh) {
      hashes_.emplace_back();
      waiting_.add(bytes, found, std::bind_front(&GramIndex::store, this));
      if (hashes_.size() == kMostGrams) {
        ascii_filter_.fill(ascii_);
        wide_filter_.fill(wide_);
      }
    }
    return found;
  }

  // Hashes the grams still waiting: every reference given out so far has its hash.
  void finish_chunk() { waiting_.flush(std::bind_front(&GramIndex::store, this)); }
  // Forgets the unkept grams of the chunk, whose references are then no longer valid.
  void next_chunk() { unkept_.clear(); }

  const Hash256& hash(uint32_t ref) const { return ref & kUnkept ? unkept_[ref & ~kUnkept] : hashes_[ref]; }

 private:
  void store(uint32_t ref, const Hash256& hash) { (ref & kUnkept ? unkept_[ref & ~kUnkept] : hashes_[ref]) = hash; }

  using AsciiIds = internal::DenseIds<uint32_t, internal::MixInteger>;
  using WideIds = internal::DenseIds<WideKey, MixWideKey>;
  AsciiIds& table(uint32_t) { return ascii_; }
  WideIds& table(const WideKey&) { return wide_; }
  const KeptFilter<uint32_t, internal::MixInteger>& filter(uint32_t) const { return ascii_filter_; }
  const KeptFilter<WideKey, MixWideKey>& filter(const WideKey&) const { return wide_filter_; }

  // About 2.5 MB when full (each table doubles when half full, so it has 2^16 slots at most).
  AsciiIds ascii_;
  WideIds wide_;
  KeptFilter<uint32_t, internal::MixInteger> ascii_filter_;  // once the index is full
  KeptFilter<WideKey, MixWideKey> wide_filter_;
  std::vector<Hash256> hashes_;  // by id
  std::vector<Hash256> unkept_;  // by place in the chunk
  HashBatch<uint32_t> waiting_;
};

// Calls on_chunk(refs) with the references of the 4-grams starting at each character position
// of the canonical stream of `text`, in order, a chunk of positions at a time, and returns the
// number of characters (see for_each_canonical_gram for `tail`).
template <typename OnChunk>
size_t for_each_chunk(std::string_view text, std::string& tail, GramIndex& index, OnChunk&& on_chunk) {
  constexpr size_t kChunk = 4096;
  std::vector<uint32_t> refs;
  const auto end_chunk = [&] {
    index.finish_chunk();
    on_chunk(std::span<const uint32_t>(refs));
    refs.clear();
    index.next_chunk();
  };
  // A reference's bytes are copied as it is made, so a chunk may span pieces of the stream.
  const size_t count = for_each_canonical_gram(
      text, tail,
      [&](const auto& key, std::string_view bytes) {
        refs.push_back(index.ref(key, bytes));
        if (refs.size() == kChunk) end_chunk();
      },
      [] {});
  if (!refs.empty()) end_chunk();
  return count;
}

// ---------------------------------------------------------------------------------------------
// Counting bits over many values.

// 256 one-bit lanes: one bit position of every value added, side by side.
using Bits = uint64_t __attribute__((vector_size(32)));

// Carry-save adder: adds a and b into the sum bits `low`, leaving the carries in `high`.
inline void csa(Bits& high, Bits& low, const Bits& a, const Bits& b) {
  const Bits u = low ^ a;
  high = (low & a) | (u & b);
  low = u ^ b;
}

// Counts, for each of the 256 bit positions, how many of up to 256 values added have it set.
// The counters are bit-sliced (one 256-bit plane per binary digit) and fed by a Harley-Seal
// carry-save tree over groups of 16 values: about one full adder per value instead of 256
// additions.
class BlockCounter {
 public:
  static constexpr size_t kCapacity = 256;

  void add(const Hash256& value) {
    std::memcpy(&group_[pending_], value.bytes.data(), sizeof(Bits));
    if (++pending_ == kGroup) add_group();
  }

  // Digit d (weight 2^d) of the count of every bit position, one plane per digit.
  using Planes = std::array<Bits, 9>;

  // The counts of the values added so far, bit-sliced.
  const Planes& planes() {
    if (pending_ > 0) {
      std::fill(group_.begin() + pending_, group_.end(), Bits{});
      add_group();
    }
    return planes_;
  }

  // The counts of the values added since the last call, which starts a new block.
  std::array<uint16_t, 256> take() {
    planes();
    std::array<uint16_t, 256> counts = low_counts();
    Hash256 top;
    std::memcpy(top.bytes.data(), &planes_[kTopDigit], top.bytes.size());
    if (top != Hash256{}) {  // only when some bit is set in all 256 values
      for (size_t i = 0; i < 256; ++i) counts[i] += top.bit(i) << kTopDigit;
    }
    *this = {};
    return counts;
  }

 private:
  static constexpr size_t kGroupDigits = 4;
  static constexpr size_t kGroup = size_t{1} << kGroupDigits;  // values per carry-save tree
  static constexpr size_t kTopDigit = 8;  // 256 = 2^8: set only when all 256 values have the bit

  // Adds the 16 values of the group with a tree of carry-save adders: pairs of values into
  // the ones plane, pairs of their carries into the twos, and so on; what carries out of the
  // eights ripples on through the planes above.
  void add_group() {
    Bits carry;
    add_tree<kGroupDigits>(carry, group_.data());
    for (size_t d = kGroupDigits; d < planes_.size(); ++d) {
      const Bits next = planes_[d] & carry;
      planes_[d] ^= carry;
      carry = next;
    }
    pending_ = 0;
  }

  // Adds the 2^level values from `g` into planes 0 to level - 1; `carry` gets their carries
  // out of plane level - 1.
  template <size_t Level>
  void add_tree(Bits& carry, const Bits* g) {
    if constexpr (Level == 1) {
      csa(carry, planes_[0], g[0], g[1]);
    } else {
      Bits a, b;
      add_tree<Level - 1>(a, g);
      add_tree<Level - 1>(b, g + (size_t{1} << (Level - 1)));
      csa(carry, planes_[Level - 1], a, b);
    }
  }

  // The planes of digits 1 to 128 summed in byte lanes, which cannot overflow below 256.
  std::array<uint16_t, 256> low_counts() const {
    std::array<std::array<uint8_t, 32>, kTopDigit> bytes;
    for (size_t d = 0; d < kTopDigit; ++d) std::memcpy(bytes[d].data(), &planes_[d], bytes[d].size());
    std::array<uint16_t, 256> counts;
    for (size_t k = 0; k < 32; ++k) {
      uint64_t lanes = 0;
      for (size_t d = 0; d < kTopDigit; ++d) lanes += kSpread[bytes[d][k]] << d;
      for (size_t j = 0; j < 8; ++j) counts[8 * k + j] = (lanes >> (8 * j)) & 0xFF;
    }
    return counts;
  }

  std::array<Bits, kGroup> group_{};
  size_t pending_ = 0;
  Planes planes_{};  // plane d holds digit d (weight 2^d) of every count
  static_assert(std::tuple_size_v<Planes> == kTopDigit + 1);
};

}  // namespace

// How many of the values added have each of the 256 bits set, with no bound on their number:
// a BlockCounter's blocks of 256 summed into 64-bit counts.
class Tally {
 public:
  void add(const Hash256& value) {
    block_.add(value);
    if (++in_block_ == BlockCounter::kCapacity) spill();
  }

  // The counts so far, indexed by bit number.
  const std::array<uint64_t, 256>& counts() {
    spill();
    return counts_;
  }

 private:
  void spill() {
    const std::array<uint16_t, 256> block = block_.take();
    for (size_t i = 0; i < 256; ++i) counts_[i] += block[i];
    in_block_ = 0;
  }

  BlockCounter block_;
  size_t in_block_ = 0;
  std::array<uint64_t, 256> counts_{};
};

namespace {

// ---------------------------------------------------------------------------------------------
// Fingerprints.

// The fingerprint of a stream too short for 4-grams: its one gram votes alone, so the result
// is that gram's hash (all zero for the empty stream).
Hash256 short_stream(std::string_view stream) {
  Hash256 out;
  if (stream.empty()) return out;
  HashBatch<int> batch;
  const auto keep = [&](int, const Hash256& hash) { out = hash; };
  batch.add(stream, 0, keep);
  batch.flush(keep);
  return out;
}

// The UTF-8 bytes of a wide gram from its key.
std::string utf8_of(const WideKey& key) {
  const unsigned __int128 packed = (static_cast<unsigned __int128>(key.high) << 64) | key.low;
  constexpr char32_t kCharMask = (char32_t{1} << kCharBits) - 1;
  std::string out;
  for (int i = kGramChars - 1; i >= 0; --i) internal::utf8::append(out, static_cast<char32_t>(packed >> (kCharBits * i)) & kCharMask);
  return out;
}

// The whole-text fingerprint: each distinct gram is counted in its slot as the stream is read,
// then hashed once and votes with its count; one the tables no longer take votes at each
// occurrence.
class WholeCounter {
 public:
  // A counter for a stream of `bytes` bytes.
  explicit WholeCounter(size_t bytes) : ascii_(initial_bits(bytes)), wide_(kLeastInitialBits) {}

  // Counts the ASCII gram `key`, whose UTF-8 bytes are its own. The table of ASCII grams is
  // small enough for the cache to keep up with, counted at once.
  void add(uint32_t key, std::string_view bytes) {
    if (!ascii_.count(key)) waiting_.add(bytes, 1, std::bind_front(&WholeCounter::vote, this));
  }

  // Counts the wide gram `key` with UTF-8 bytes `bytes`, which must stay alive until the next
  // end_piece() or result().
  // Wide grams (CJK text is made of them) wait in a short queue, their slots fetched into the
  // cache as they join it, so that the misses of their larger table overlap instead of
  // following each other; the order of counting does not change the vote.
  void add(const WideKey& key, std::string_view bytes) {
    wide_.prefetch(key);
    queued_[queue_size_++] = {key, bytes};
    if (queue_size_ == kQueued) drain();
  }

  // Counts the grams still queued, whose bytes are about to go.
  void end_piece() { drain(); }

  Hash256 result() {
    drain();
    ascii_.table.for_each([&](const uint32_t& key, uint64_t count) {
      waiting_.add({reinterpret_cast<const char*>(&key), sizeof key}, count, std::bind_front(&WholeCounter::vote, this));
    });
    wide_.table.for_each([&](const WideKey& key, uint64_t count) {
      waiting_.add(utf8_of(key), count, std::bind_front(&WholeCounter::vote, this));
    });
    waiting_.flush(std::bind_front(&WholeCounter::vote, this));
    return vote_.result();
  }

 private:
  static constexpr size_t kQueued = 16;

  // Occurrence counts by key, for the first kMostGrams distinct keys.
  template <typename Key, typename Mix>
  struct Counts {
    explicit Counts(int initial_bits) : table(initial_bits) {}

    internal::DenseIds<Key, Mix> table;  // counts, not ids
    KeptFilter<Key, Mix> filter;         // once the table is full

    bool full() const { return table.size() == kMostGrams; }

    // Counts the key; false when the table does not take it.
    bool count(const Key& key) {
      if (full()) return filter.may_hold(key) && table.count(key, false);
      const bool counted = table.count(key, true);
      if (full()) filter.fill(table);
      return counted;
    }

    // Brings what count(key) looks at first into the cache.
    void prefetch(const Key& key) const {
      if (full()) {
        filter.prefetch(key);
      } else {
        table.prefetch(key);
      }
    }
  };

  void drain() {
    for (size_t i = 0; i < queue_size_; ++i) {
      const auto& [key, bytes] = queued_[i];
      if (!wide_.count(key)) waiting_.add(bytes, 1, std::bind_front(&WholeCounter::vote, this));
    }
    queue_size_ = 0;
  }

  void vote(uint64_t weight, const Hash256& hash) { vote_.add_hash(hash, static_cast<int64_t>(weight)); }

  Counts<uint32_t, internal::MixInteger> ascii_;  // 512 KB when full
  Counts<WideKey, MixWideKey> wide_;              // 1 MB when full
  std::array<std::pair<WideKey, std::string_view>, kQueued> queued_{};
  size_t queue_size_ = 0;
  HashBatch<uint64_t> waiting_;  // tagged with the weight to vote
  Vote vote_;
};

// The whole-text fingerprint of the canonical stream of `text`.
Hash256 whole_only(std::string_view text) {
  WholeCounter counter(text.size());
  std::string tail;
  const size_t n = for_each_canonical_gram(
      text, tail, [&](const auto& key, std::string_view bytes) { counter.add(key, bytes); },
      [&] { counter.end_piece(); });
  if (n < kGramChars) return short_stream(tail);
  return counter.result();
}

// Grams in a 512-character window start at 509 positions: all 256 of the window's first
// stride block and the first 253 ("head") of the next; the last three of that block cross the
// window's edge.
constexpr size_t kGramsInWindow = kWindowChars - (kGramChars - 1);
constexpr size_t kHeadGrams = kGramsInWindow - kWindowStride;
static_assert(kWindowStride == BlockCounter::kCapacity);

using Planes = BlockCounter::Planes;

// a + b, digit by digit with carries, for sums below 2^9 (a window's counts reach 509).
Planes add_planes(const Planes& a, const Planes& b) {
  Planes sum;
  Bits carry{};
  for (size_t d = 0; d < sum.size(); ++d) {
    const Bits half = a[d] ^ b[d];
    sum[d] = half ^ carry;
    carry = (a[d] & b[d]) | (half & carry);
  }
  return sum;
}

// The value whose bit i is set when count i is at least `threshold` (below 2^9): a
// subtraction of the threshold that keeps only its final borrow.
Hash256 at_least(const Planes& counts, uint64_t threshold) {
  Bits borrow{};
  for (size_t d = 0; d < counts.size(); ++d) {
    borrow = (threshold >> d) & 1 ? ~counts[d] | borrow : ~counts[d] & borrow;
  }
  const Bits above = ~borrow;
  Hash256 out;
  std::memcpy(out.bytes.data(), &above, out.bytes.size());
  return out;
}

// The windows and the whole fingerprint in one pass over the grams. By linearity of the vote,
// a window's counters are its first block's plus the head of the next block's, and the whole
// text's are the sum over all blocks: each gram position is counted once, not once per window.
// The block counts stay bit-sliced: a window's sum and its majority are a few operations on
// its nine planes, and the whole text's counts add up each block's planes in a tally per digit.
class WindowedCounter {
 public:
  explicit WindowedCounter(const GramIndex& index) : index_(index) {}

  void add(uint32_t id) {
    counter_.add(index_.hash(id));
    if (++in_block_ == kHeadGrams) head_ = counter_.planes();
    if (in_block_ == kWindowStride) end_block();
  }

  // Ends the stream: counts the last, partial block and an empty one after it, which close the
  // remaining windows.
  Fingerprint finish() {
    end_block();
    end_block();
    std::array<uint64_t, 256> whole{};
    for (size_t d = 0; d < whole_digits_.size(); ++d) {
      const auto& counts = whole_digits_[d].counts();
      for (size_t i = 0; i < 256; ++i) whole[i] += counts[i] << d;
    }
    out_.whole = majority(whole, positions_);
    return std::move(out_);
  }

 private:
  void end_block() {
    const Planes all = counter_.planes();
    if (in_block_ < kHeadGrams) head_ = all;  // a last block too short to reach past its head
    for (size_t d = 0; d < all.size(); ++d) {
      Hash256 plane;
      std::memcpy(plane.bytes.data(), &all[d], plane.bytes.size());
      whole_digits_[d].add(plane);
    }
    positions_ += in_block_;
    in_block_ = 0;
    counter_ = {};
    if (blocks_ > 0) close_window();
    previous_ = all;
    ++blocks_;
  }

  // The window that starts at the previous block, if the stream reaches past its start plus
  // one stride (the windows stop at the first that ends at the end of the stream). While the
  // stream is still being read this holds and the window is a full one; at the end the
  // positions counted are all there are, n - 3. Its bit i is 1 when more than half of its
  // grams have it, that is when twice the count exceeds the number of grams.
  void close_window() {
    const size_t n = positions_ + kGramChars - 1;
    const size_t start = (blocks_ - 1) * kWindowStride;
    if (n <= kWindowChars || start + kWindowStride >= n) return;
    const size_t len = std::min(kWindowChars, n - start);
    const size_t grams = len - (kGramChars - 1);
    out_.windows.push_back({at_least(add_planes(previous_, head_), grams / 2 + 1), start, len});
  }

  const GramIndex& index_;
  BlockCounter counter_;
  size_t in_block_ = 0;
  Planes head_{};      // the counts of the current block's head
  Planes previous_{};  // the counts of the whole previous block
  size_t blocks_ = 0;
  std::array<Tally, std::tuple_size_v<Planes>> whole_digits_;  // tally d adds up digit d of every block
  uint64_t positions_ = 0;
  Fingerprint out_;
};

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
  return blake2_256_with(hasher, bytes);
}

// A short item costs libcrypto's context copy and finalization several times over its one
// compression; batched, such items share the vector compressions of the grams.
struct Vote::Waiting {
  HashBatch<int64_t> batch;
};

Vote::Vote() = default;
Vote::~Vote() = default;

void Vote::add(std::span<const uint8_t> item, int64_t weight) {
  if (item.size() <= internal::blake2b::kShortBytes) {
    if (!waiting_) waiting_ = std::make_unique<Waiting>();
    waiting_->batch.add({reinterpret_cast<const char*>(item.data()), item.size()}, weight,
                        std::bind_front(&Vote::add_waiting, this));
    return;
  }
  if (!hasher_) hasher_ = std::make_unique<internal::crypto::Blake2b512>();
  add_hash(blake2_256_with(*hasher_, item), weight);
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

void Vote::add_waiting(int64_t weight, const Hash256& hash) { add_hash(hash, weight); }

Hash256 Vote::result() {
  if (waiting_) waiting_->batch.flush(std::bind_front(&Vote::add_waiting, this));
  std::array<uint64_t, 256> ones{};
  for (size_t b = 0; b < planes_.size(); ++b) {
    const auto& counts = planes_[b].counts();
    for (size_t i = 0; i < 256; ++i) ones[i] += counts[i] << b;
  }
  return majority(ones, total_);
}

// The canonical stream is read a piece at a time, never held whole: for a long text it is
// about as large as the text.
Fingerprint Fingerprint::compute(std::string_view text) {
  GramIndex index(text.size());
  WindowedCounter counter(index);
  std::string tail;
  const size_t n = for_each_chunk(text, tail, index, [&](std::span<const uint32_t> refs) {
    for (const uint32_t ref : refs) counter.add(ref);
  });
  if (n < kGramChars) return {short_stream(tail), {}};
  return counter.finish();
}

Hash256 Fingerprint::compute_whole(std::string_view text) { return whole_only(text); }

}  // namespace quelvane::simhash
