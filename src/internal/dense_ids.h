// Open addressing from keys to the dense ids (0, 1, 2, ... in order of first sight) that their
// caller counts or stores things by, for the distinct-item loops of the fingerprints, or to the
// number of times each key was counted. The table doubles when half full; lookups touch one
// small slot per probe. Not API.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quelvane::internal {

// `Mix` maps a key to 64 bits whose high bits are well mixed (they pick the slot).
template <typename Key, typename Mix>
class DenseIds {
 public:
  explicit DenseIds(int initial_bits = 6) { resize(initial_bits); }

  // The id stored for `key`, or, when it is new, `fresh` after storing it with that id.
  uint32_t find_or_insert(const Key& key, uint32_t fresh) {
    for (size_t i = slot_of(key);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.id_plus_one == 0) {
        slot = {key, fresh + 1};
        if (2 * ++size_ > slots_.size()) resize(std::countr_zero(slots_.size()) + 1);
        return fresh;
      }
      if (slot.key == key) return slot.id_plus_one - 1;
    }
  }

  // Counts one occurrence of `key` in its own slot, for a table used only this way: false,
  // changing nothing, when the key is new and `may_insert` is false, or its count is full.
  bool count(const Key& key, bool may_insert) {
    for (size_t i = slot_of(key);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.id_plus_one == 0) {  // the count doubles as the mark of a used slot
        if (!may_insert) return false;
        slot = {key, 1};
        if (2 * ++size_ > slots_.size()) resize(std::countr_zero(slots_.size()) + 1);
        return true;
      }
      if (slot.key == key) {
        if (slot.id_plus_one == UINT32_MAX) return false;  // over 4 GB of text: the caller takes the rest
        ++slot.id_plus_one;
        return true;
      }
    }
  }

  // Calls f(key, value) for every key stored, in no particular order: the value is the key's
  // count in a table used by count(), its id plus one otherwise.
  template <typename F>
  void for_each(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.id_plus_one != 0) f(slot.key, slot.id_plus_one);
    }
  }

  // Brings the slot where `key` is looked up first into the cache, ahead of a lookup.
  void prefetch(const Key& key) const { __builtin_prefetch(&slots_[slot_of(key)]); }

  // The number of keys stored.
  size_t size() const { return size_; }

  // The id stored for `key`, or `absent` when it has none.
  uint32_t find(const Key& key, uint32_t absent) const {
    for (size_t i = slot_of(key);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.id_plus_one == 0) return absent;
      if (slot.key == key) return slot.id_plus_one - 1;
    }
  }

 private:
  struct Slot {
    Key key;
    uint32_t id_plus_one;  // 0: empty
  };

  size_t slot_of(const Key& key) const { return static_cast<size_t>(Mix()(key) >> shift_); }

  void resize(int bits) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size_t{1} << bits, Slot{}));
    mask_ = slots_.size() - 1;
    shift_ = 64 - bits;
    for (const Slot& slot : old) {
      if (slot.id_plus_one == 0) continue;
      size_t i = slot_of(slot.key);
      while (slots_[i].id_plus_one != 0) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
  size_t mask_ = 0;
  int shift_ = 0;
};

// Fibonacci hashing of an integer key: multiplying by 2^64 / golden ratio spreads it into the
// high bits.
struct MixInteger {
  uint64_t operator()(uint64_t key) const { return key * 0x9E3779B97F4A7C15ULL; }
};

}  // namespace quelvane::internal
