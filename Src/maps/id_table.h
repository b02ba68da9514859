// Hash table from 64-bit identities to small values: open addressing in
// one flat array, deletion by backward shift (no tombstones). Lookups of the
// registry and side tables run once per term of every row passed to the
// engine, so they must not chase tree nodes, and since identities are
// handed out consecutively and mostly looked up in that order, consecutive
// identities sit in consecutive slots.
//
// Layout: the slots form blocks of 2^block_bits_ (up to 128). The
// identities of one run (those equal but for their low block_bits_ bits)
// share a home block and a rotation, both from Fibonacci hashing of the
// run number, and each identity's offset in a block is its low bits plus
// the rotation. A collision moves on to the same offset of the next block,
// so a displaced run stays contiguous, a lookup checks one slot per block,
// and walking through a run of identities reads memory sequentially.
#ifndef KORVO_ID_TABLE_H
#define KORVO_ID_TABLE_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

template <class Value>
class IdTable {
 public:
  size_t size() const { return count_ + (has_last_key_ ? 1 : 0); }

  // Pointer to the value of key, or null.
  Value *find(uint64_t key) {
    if (key == kEmpty) return has_last_key_ ? &last_key_value_ : nullptr;
    if (count_ == 0) return nullptr;
    size_t i = home(key);
    for (size_t left = blocks(); left; --left, i = next(i)) {
      Slot &s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == kEmpty) return nullptr;
    }
    return nullptr;
  }
  const Value *find(uint64_t key) const { return const_cast<IdTable *>(this)->find(key); }

  // Sets table[key] = value. False when memory runs out (the table is
  // unchanged then).
  bool set(uint64_t key, const Value &value) {
    if (key == kEmpty) {
      has_last_key_ = true;
      last_key_value_ = value;
      return true;
    }
    // At most 5/8 full: probe sequences stay short. A full table grows
    // first unless the key is already there.
    if ((count_ + 1) * 8 > slots_.size() * 5) {
      if (Value *v = find(key)) {
        *v = value;
        return true;
      }
      if (!rehash(slots_.empty() ? 16 : slots_.size() * 2)) return false;
    }
    // One walk along the key's chain: it holds the key, or ends at the
    // free slot the key goes to.
    for (;;) {
      size_t i = home(key);
      for (size_t left = blocks(); left; --left, i = next(i)) {
        Slot &s = slots_[i];
        if (s.key == key) {
          s.value = value;
          return true;
        }
        if (s.key != kEmpty) continue;
        s = Slot{key, value};
        ++count_;
        return true;
      }
      // This offset's chain runs through every block without the key: grow.
      if (!rehash(slots_.size() * 2)) return false;
    }
  }

  // Room for `more` new keys without growing on the way; best effort (false,
  // table unchanged, when memory runs out).
  bool reserve(size_t more) {
    size_t wanted = count_ + more, capacity = slots_.empty() ? 16 : slots_.size();
    while (wanted * 8 > capacity * 5) capacity *= 2;
    return capacity == slots_.size() || rehash(capacity);
  }

  // Removes key; true (and *old) when it was present.
  bool erase(uint64_t key, Value *old = nullptr) {
    if (key == kEmpty) {
      if (!has_last_key_) return false;
      if (old) *old = last_key_value_;
      has_last_key_ = false;
      return true;
    }
    if (count_ == 0) return false;
    size_t i = home(key);
    for (size_t left = blocks();; --left, i = next(i)) {
      if (left == 0 || slots_[i].key == kEmpty) return false;
      if (slots_[i].key == key) break;
    }
    if (old) *old = slots_[i].value;
    // Along the hole's chain (same offset, following blocks), move back a
    // member whose home does not lie cyclically after the hole, i.e. one
    // at least as far from its home as from the hole.
    size_t hole = i, mask = slots_.size() - 1;
    for (size_t j = next(hole), left = blocks() - 1; left && slots_[j].key != kEmpty; j = next(j), --left) {
      size_t h = home(slots_[j].key);
      if (((j - h) & mask) < ((j - hole) & mask)) continue;
      slots_[hole] = slots_[j];
      hole = j;
    }
    slots_[hole].key = kEmpty;
    --count_;
    return true;
  }

  void clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    count_ = 0;
    has_last_key_ = false;
  }

  // Walks the entries in slot order: position starts at 0; false at the end.
  bool next_entry(size_t *position, uint64_t *key, Value *value) const {
    for (size_t i = *position; i < slots_.size(); ++i) {
      if (slots_[i].key == kEmpty) continue;
      *key = slots_[i].key;
      *value = slots_[i].value;
      *position = i + 1;
      return true;
    }
    if (has_last_key_ && *position <= slots_.size()) {
      *key = kEmpty;
      *value = last_key_value_;
      *position = slots_.size() + 1;
      return true;
    }
    *position = slots_.size() + 1;
    return false;
  }

  // Calls f(key, value) for every entry.
  template <class F>
  void for_each(F f) const {
    for (const Slot &s : slots_)
      if (s.key != kEmpty) f(s.key, s.value);
    if (has_last_key_) f(kEmpty, last_key_value_);
  }

 private:
  // Marks a free slot; the one key equal to it is kept aside.
  static constexpr uint64_t kEmpty = ~uint64_t(0);
  // Blocks of 128 slots (2 KiB): long enough that a run of identities is
  // read at memory speed, short enough that a sparse table wastes little.
  static constexpr unsigned kMaxBlockBits = 7;
  struct Slot {
    uint64_t key;
    Value value;
  };

  size_t blocks() const { return slots_.size() >> block_bits_; }

  // Home slot: the run's hash gives the block (top bits) and the rotation
  // (the bits below them); the key's low bits, rotated, the offset.
  size_t home(uint64_t key) const {
    uint64_t hash = (key >> block_bits_) * 0x9E3779B97F4A7C15ull;
    uint64_t slot = hash >> shift_;  // log2(size) bits
    uint64_t offset_mask = (uint64_t(1) << block_bits_) - 1;
    return size_t((slot & ~offset_mask) | ((slot + key) & offset_mask));
  }
  // The same offset in the next block.
  size_t next(size_t i) const { return (i + (size_t(1) << block_bits_)) & (slots_.size() - 1); }

  void set_geometry() {
    unsigned bits = 0;
    while ((size_t(1) << bits) < slots_.size()) ++bits;
    // At least two blocks, so that a collision has somewhere to go.
    block_bits_ = bits - 1 < kMaxBlockBits ? bits - 1 : kMaxBlockBits;
    shift_ = 64 - bits;
  }

  // Moves the entries into `capacity` slots (more if some offset's chain
  // overflows). False when memory runs out; the table is unchanged then.
  bool rehash(size_t capacity) {
    std::vector<Slot> old;
    old.swap(slots_);
    unsigned old_block_bits = block_bits_, old_shift = shift_;
    for (;; capacity *= 2) {
      try {
        slots_.assign(capacity, Slot{kEmpty, Value()});
      } catch (const std::bad_alloc &) {
        slots_.swap(old);
        block_bits_ = old_block_bits;
        shift_ = old_shift;
        return false;
      }
      set_geometry();
      if (place_all(old)) return true;
    }
  }

  // Puts the entries of old into the empty slots; false when a chain is full.
  bool place_all(const std::vector<Slot> &old) {
    for (const Slot &s : old) {
      if (s.key == kEmpty) continue;
      size_t i = home(s.key), left = blocks();
      while (left && slots_[i].key != kEmpty) {
        i = next(i);
        --left;
      }
      if (!left) return false;
      slots_[i] = s;
    }
    return true;
  }

  std::vector<Slot> slots_;
  size_t count_ = 0;  // keys in slots_
  unsigned block_bits_ = 0;
  unsigned shift_ = 63;
  bool has_last_key_ = false;
  Value last_key_value_ = Value();
};

#endif
