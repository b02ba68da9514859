// Hash table from 64-bit identities to small values: open addressing with
// linear probing in one flat array, deletion by backward shift (no
// tombstones). Lookups of the registry and side tables run once per term of
// every row passed to the engine, so they must not chase tree nodes.
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
    for (size_t i = home(key);; i = next(i)) {
      Slot &s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == kEmpty) return nullptr;
    }
  }
  const Value *find(uint64_t key) const { return const_cast<IdTable *>(this)->find(key); }

  // Sets table[key] = value. False when memory runs out (the table is
  // unchanged then).
  bool set(uint64_t key, const Value &value) {
    if (Value *v = find(key)) {
      *v = value;
      return true;
    }
    if (key == kEmpty) {
      has_last_key_ = true;
      last_key_value_ = value;
      return true;
    }
    // At most 5/8 full: probe sequences stay short.
    if ((count_ + 1) * 8 > slots_.size() * 5 && !rehash(slots_.empty() ? 16 : slots_.size() * 2)) return false;
    size_t i = home(key);
    while (slots_[i].key != kEmpty) i = next(i);
    slots_[i] = Slot{key, value};
    ++count_;
    return true;
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
    for (;; i = next(i)) {
      if (slots_[i].key == key) break;
      if (slots_[i].key == kEmpty) return false;
    }
    if (old) *old = slots_[i].value;
    // Move later members of the probe run back into the hole when their
    // home position does not lie cyclically between the hole and them.
    size_t hole = i;
    for (size_t j = next(hole); slots_[j].key != kEmpty; j = next(j)) {
      size_t h = home(slots_[j].key);
      bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
      if (stays) continue;
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
  struct Slot {
    uint64_t key;
    Value value;
  };

  // Identities are handed out consecutively and mostly looked up in that
  // order, so runs of 8 consecutive keys keep consecutive slots (one cache
  // miss per run instead of per key), and the runs themselves are spread
  // by Fibonacci hashing, which also scatters strided keys.
  static constexpr unsigned kRunBits = 3;
  size_t home(uint64_t key) const {
    uint64_t run = ((key >> kRunBits) * 0x9E3779B97F4A7C15ull) >> shift_;
    return size_t((run << kRunBits) | (key & ((1u << kRunBits) - 1)));
  }
  size_t next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

  bool rehash(size_t capacity) {
    std::vector<Slot> old;
    try {
      std::vector<Slot> grown(capacity, Slot{kEmpty, Value()});
      old.swap(slots_);
      slots_.swap(grown);
    } catch (const std::bad_alloc &) {
      return false;
    }
    unsigned bits = 0;
    while ((size_t(1) << bits) < capacity) ++bits;
    shift_ = 64 - (bits - kRunBits);
    for (const Slot &s : old) {
      if (s.key == kEmpty) continue;
      size_t i = home(s.key);
      while (slots_[i].key != kEmpty) i = next(i);
      slots_[i] = s;
    }
    return true;
  }

  std::vector<Slot> slots_;
  size_t count_ = 0;  // keys in slots_
  unsigned shift_ = 60;
  bool has_last_key_ = false;
  Value last_key_value_ = Value();
};

#endif
