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
  size_t size() const { return count_; }

  // Pointer to the value of key, or null.
  Value *find(uint64_t key) {
    if (count_ == 0) return nullptr;
    for (size_t i = home(key);; i = next(i)) {
      Slot &s = slots_[i];
      if (!s.used) return nullptr;
      if (s.key == key) return &s.value;
    }
  }
  const Value *find(uint64_t key) const { return const_cast<IdTable *>(this)->find(key); }

  // Sets table[key] = value; *old receives the replaced value (if any).
  // False when memory runs out (the table is unchanged then).
  bool set(uint64_t key, const Value &value, Value *old = nullptr, bool *replaced = nullptr) {
    if (replaced) *replaced = false;
    if (Value *v = find(key)) {
      if (old) *old = *v;
      if (replaced) *replaced = true;
      *v = value;
      return true;
    }
    // At most 5/8 full: probe sequences stay short.
    if ((count_ + 1) * 8 > slots_.size() * 5 && !rehash(slots_.empty() ? 16 : slots_.size() * 2)) return false;
    size_t i = home(key);
    while (slots_[i].used) i = next(i);
    slots_[i] = Slot{key, value, true};
    ++count_;
    return true;
  }

  // Removes key; true (and *old) when it was present.
  bool erase(uint64_t key, Value *old = nullptr) {
    if (count_ == 0) return false;
    size_t i = home(key);
    for (;; i = next(i)) {
      if (!slots_[i].used) return false;
      if (slots_[i].key == key) break;
    }
    if (old) *old = slots_[i].value;
    // Move later members of the probe run back into the hole when their
    // home position does not lie cyclically between the hole and them.
    size_t hole = i;
    for (size_t j = next(hole); slots_[j].used; j = next(j)) {
      size_t h = home(slots_[j].key);
      bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
      if (stays) continue;
      slots_[hole] = slots_[j];
      hole = j;
    }
    slots_[hole].used = false;
    --count_;
    return true;
  }

  void clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    count_ = 0;
  }

  // Room for n entries without rehashing; false when memory runs out.
  bool reserve(size_t n) {
    size_t want = 16;
    while (n * 8 > want * 5) want *= 2;
    return want <= slots_.size() || rehash(want);
  }

  // Walks the entries in slot order: position starts at 0; false at the end.
  bool next_entry(size_t *position, uint64_t *key, Value *value) const {
    for (size_t i = *position; i < slots_.size(); ++i) {
      if (!slots_[i].used) continue;
      *key = slots_[i].key;
      *value = slots_[i].value;
      *position = i + 1;
      return true;
    }
    *position = slots_.size();
    return false;
  }

  // Calls f(key, value) for every entry.
  template <class F>
  void for_each(F f) const {
    for (const Slot &s : slots_)
      if (s.used) f(s.key, s.value);
  }

 private:
  struct Slot {
    uint64_t key;
    Value value;
    bool used;
  };

  // Identities are handed out consecutively and mostly looked up in that
  // order, so runs of kRun consecutive keys keep consecutive slots (one
  // cache miss per run instead of per key), and the runs themselves are
  // spread by Fibonacci hashing, which also scatters strided keys.
  static constexpr unsigned kRunBits = 3;
  size_t home(uint64_t key) const {
    uint64_t run = ((key >> kRunBits) * 0x9E3779B97F4A7C15ull) >> shift_;
    return size_t((run << kRunBits) | (key & ((1u << kRunBits) - 1)));
  }
  size_t next(size_t i) const { return (i + 1) & (slots_.size() - 1); }

  bool rehash(size_t capacity) {
    std::vector<Slot> old;
    try {
      std::vector<Slot> grown(capacity, Slot{0, Value(), false});
      old.swap(slots_);
      slots_.swap(grown);
    } catch (const std::bad_alloc &) {
      return false;
    }
    unsigned bits = 0;
    while ((size_t(1) << bits) < capacity) ++bits;
    shift_ = 64 - (bits - kRunBits);
    for (const Slot &s : old) {
      if (!s.used) continue;
      size_t i = home(s.key);
      while (slots_[i].used) i = next(i);
      slots_[i] = s;
    }
    return true;
  }

  std::vector<Slot> slots_;
  size_t count_ = 0;
  unsigned shift_ = 60;
};

#endif
