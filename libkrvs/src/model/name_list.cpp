#include "model/name_list.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "core/guard.h"

namespace krvs {

namespace {

constexpr size_t kNotFound = std::numeric_limits<size_t>::max();

// Decimal digits of a non-negative number.
size_t digits(size_t v) {
  size_t n = 1;
  for (; v >= 10; v /= 10) ++n;
  return n;
}

// A 32-bit hash of a name; its low bits choose the home slot.
uint32_t name_hash(std::string_view s) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
  const char *p = s.data();
  size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
  }
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  h = (h ^ w) * 0x94D049BB133111EBull;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return uint32_t(h);
}

}  // namespace

// ---- reading ----------------------------------------------------------------

std::string_view NameList::view(int index, GeneratedName &scratch) const {
  size_t i = size_t(index);
  if (length_[i] > 0) return std::string_view(chars_.data() + offset_[i], length_[i]);
  scratch.text[0] = prefix_;
  char *end = std::to_chars(scratch.text + 1, scratch.text + sizeof scratch.text, generated_number(i)).ptr;
  return std::string_view(scratch.text, size_t(end - scratch.text));
}

std::string NameList::get(int index) const {
  GeneratedName scratch;
  return std::string(view(index, scratch));
}

size_t NameList::effective_length(size_t index) const {
  return length_[index] > 0 ? length_[index] : 1 + digits(generated_number(index));
}

size_t NameList::length(int index) const { return effective_length(size_t(index)); }

size_t NameList::longest() const {
  if (!longest_valid_) {
    longest_ = 0;
    for (size_t i = 0; i < size(); ++i) longest_ = std::max(longest_, effective_length(i));
    longest_valid_ = true;
  }
  return longest_;
}

// ---- changes ----------------------------------------------------------------

void NameList::store(size_t index, std::string_view name) {
  if (name.size() > std::numeric_limits<uint32_t>::max()) throw Error("a name is longer than 2^32 - 1 characters");
  const uint32_t old = length_[index];
  if (name.empty()) {
    dead_ += old;
    length_[index] = 0;
    offset_[index] = kByPosition;
    return;
  }
  if (name.size() <= old) {  // fits where the old name was
    std::memmove(chars_.data() + offset_[index], name.data(), name.size());
    dead_ += old - name.size();
    length_[index] = uint32_t(name.size());
    return;
  }
  // The name may be a view of this list's own characters, which the append
  // below can move: copy it out first.
  std::string copy;
  if (name.data() >= chars_.data() && name.data() < chars_.data() + chars_.size()) {
    copy.assign(name);
    name = copy;
  }
  dead_ += old;
  offset_[index] = chars_.size();
  length_[index] = uint32_t(name.size());
  chars_.append(name.data(), name.size());
}

// Rewrites the buffer without the characters of replaced names once they
// are the larger part of it and at least one per entry, so the rewrite's
// cost is paid for by the changes that left them behind.
void NameList::compact_if_wasteful() {
  if (dead_ < std::max<size_t>(4096, size()) || 2 * dead_ < chars_.size()) return;
  std::string kept;
  kept.reserve(chars_.size() - dead_);
  for (size_t i = 0; i < size(); ++i) {
    if (length_[i] == 0) continue;
    uint64_t at = kept.size();
    kept.append(chars_, size_t(offset_[i]), length_[i]);
    offset_[i] = at;
  }
  chars_.swap(kept);
  dead_ = 0;
}

template <class Write>
void NameList::change_name(size_t i, Write write) {
  const size_t before = effective_length(i);
  if (lookup_valid_) lookup_remove(int(i));
  write();
  if (lookup_valid_) lookup_insert(int(i));
  if (longest_valid_) {
    const size_t after = effective_length(i);
    if (after >= longest_)
      longest_ = after;
    else if (before == longest_)
      longest_valid_ = false;
  }
}

void NameList::set(int index, std::string_view name) {
  const size_t i = size_t(index);
  change_name(i, [&] { store(i, name); });
  compact_if_wasteful();
}

void NameList::set_range(int first, const std::vector<std::string_view> &names) {
  // Keeping the lookup current costs a hash update per name; for a batch
  // that is large next to the list, rebuilding it on the next lookup is cheaper.
  if (lookup_valid_ && names.size() > std::max<size_t>(1024, size() / 4)) drop_lookup();
  // The batch's characters land at the end of the buffer: room for all of
  // them at once, not a doubling (and a copy of every name so far) per
  // power of two on the way.
  size_t batch = 0;
  for (std::string_view name : names) batch += name.size();
  if (chars_.size() + batch > chars_.capacity()) chars_.reserve(chars_.size() + batch);
  for (size_t k = 0; k < names.size(); ++k) set(first + int(k), names[k]);
}

void NameList::set_packed(int first, size_t count, const char *names, size_t chars) {
  if (lookup_valid_ && count > std::max<size_t>(1024, size() / 4)) drop_lookup();
  if (chars_.size() + chars > chars_.capacity()) chars_.reserve(chars_.size() + chars);
  const char *p = names;
  size_t k = 0;
  if (!lookup_valid_) {
    // Entries that have no stored name yet take theirs straight from the
    // buffer: nothing to release, no lookup to keep. The longest length is
    // kept when some new name reaches it (a replaced generated name may
    // have been the longest otherwise).
    size_t longest_new = 0;
    for (; k < count; ++k) {
      const size_t i = size_t(first) + k;
      const size_t len = std::strlen(p);
      if (length_[i] != 0 || len == 0) break;
      if (len > std::numeric_limits<uint32_t>::max()) throw Error("a name is longer than 2^32 - 1 characters");
      offset_[i] = chars_.size();
      length_[i] = uint32_t(len);
      chars_.append(p, len);
      longest_new = std::max(longest_new, len);
      p += len + 1;
    }
    if (k > 0 && longest_valid_) {
      if (longest_new >= longest_)
        longest_ = longest_new;
      else
        longest_valid_ = false;
    }
  }
  for (; k < count; ++k) {
    const size_t len = std::strlen(p);
    set(first + int(k), std::string_view(p, len));
    p += len + 1;
  }
}

void NameList::set_numbered(int first, const uint64_t *numbers, size_t count) {
  if (lookup_valid_ && count > std::max<size_t>(1024, size() / 4)) drop_lookup();
  if (lookup_valid_) {
    for (size_t k = 0; k < count; ++k) {
      if (numbers[k] == kLeaveName) continue;
      const size_t i = size_t(first) + k;
      change_name(i, [&] {
        dead_ += length_[i];
        length_[i] = 0;
        offset_[i] = numbers[k];
      });
    }
    compact_if_wasteful();
    return;
  }
  // No lookup to keep current: one pass writes the numbers, and the longest
  // length is settled once for the batch (from its largest number) rather
  // than from each name's digits before and after.
  uint64_t largest = 0;
  bool any = false;
  for (size_t k = 0; k < count; ++k) {
    const uint64_t number = numbers[k];
    if (number == kLeaveName) continue;
    const size_t i = size_t(first) + k;
    dead_ += length_[i];
    length_[i] = 0;
    offset_[i] = number;
    largest = std::max(largest, number);
    any = true;
  }
  if (any && longest_valid_) {
    // A batch as long as the longest name keeps the longest known; a shorter
    // one may have replaced it, so it is counted again when next asked for.
    const size_t batch_longest = 1 + digits(largest);
    if (batch_longest >= longest_)
      longest_ = batch_longest;
    else
      longest_valid_ = false;
  }
  compact_if_wasteful();
}

void NameList::resize(size_t n) {
  const size_t old = size();
  if (n == 0) {
    chars_.clear();
    chars_.shrink_to_fit();
    offset_.clear();
    length_.clear();
    dead_ = 0;
    drop_lookup();
    longest_ = 0;
    longest_valid_ = true;
    return;
  }
  if (n < old) {
    for (size_t i = n; i < old; ++i) dead_ += length_[i];
    offset_.resize(n);
    length_.resize(n);
    drop_lookup();
    longest_valid_ = false;
    compact_if_wasteful();
    return;
  }
  offset_.resize(n, kByPosition);
  length_.resize(n, 0);
  if (n == old) return;
  if (longest_valid_) longest_ = std::max(longest_, 1 + digits(n - 1));
  if (!lookup_valid_) return;
  if (n - old > std::max<size_t>(1024, old / 4)) {
    drop_lookup();
    return;
  }
  for (size_t i = old; i < n; ++i) lookup_insert(int(i));
}

void NameList::erase(const std::vector<bool> &remove) {
  std::string kept;
  kept.reserve(chars_.size() - dead_);
  size_t out = 0;
  for (size_t i = 0; i < size(); ++i) {
    if (remove[i]) continue;
    const uint32_t len = length_[i];
    const uint64_t at = kept.size();
    if (len > 0) kept.append(chars_, size_t(offset_[i]), len);
    offset_[out] = len > 0 ? at : offset_[i];  // a generated name keeps its number
    length_[out] = len;
    ++out;
  }
  offset_.resize(out);
  length_.resize(out);
  chars_.swap(kept);
  dead_ = 0;
  drop_lookup();
  longest_valid_ = false;
}

// ---- lookup -----------------------------------------------------------------

int NameList::find(std::string_view name) const {
  if (!lookup_valid_) build_lookup();
  const size_t pos = lookup_find(name, name_hash(name));
  return pos == kNotFound ? -1 : slots_[pos].index;
}

void NameList::drop_lookup() const {
  lookup_valid_ = false;
  has_duplicates_ = false;
  used_ = 0;
  std::vector<Slot>().swap(slots_);
}

void NameList::build_lookup() const {
  size_t cap = 16;
  while (cap < 2 * size() + 2) cap *= 2;
  slots_.assign(cap, Slot{0, -1});
  used_ = 0;
  has_duplicates_ = false;
  lookup_valid_ = true;
  // Hashes first, then the inserts with the home slot of an entry a few
  // places ahead already on its way into the cache: the table is far larger
  // than the cache and each insert would otherwise wait for memory.
  std::vector<uint32_t> hashes(size());
  GeneratedName scratch;
  for (size_t i = 0; i < size(); ++i) hashes[i] = name_hash(view(int(i), scratch));
  constexpr size_t kAhead = 16;
  const size_t mask = cap - 1;
  for (size_t i = 0; i < size(); ++i) {
    if (i + kAhead < size()) __builtin_prefetch(&slots_[hashes[i + kAhead] & mask]);
    lookup_insert(int(i), hashes[i]);
  }
}

void NameList::lookup_grow() const {
  std::vector<Slot> old;
  old.swap(slots_);
  slots_.assign(std::max<size_t>(16, 2 * old.size()), Slot{0, -1});
  const size_t mask = slots_.size() - 1;
  for (const Slot &s : old) {
    if (s.index < 0) continue;
    size_t pos = s.hash & mask;
    while (slots_[pos].index >= 0) pos = (pos + 1) & mask;
    slots_[pos] = s;
  }
}

size_t NameList::lookup_find(std::string_view name, uint32_t hash) const {
  if (slots_.empty()) return kNotFound;
  const size_t mask = slots_.size() - 1;
  GeneratedName scratch;
  for (size_t pos = hash & mask; slots_[pos].index >= 0; pos = (pos + 1) & mask)
    if (slots_[pos].hash == hash && view(slots_[pos].index, scratch) == name) return pos;
  return kNotFound;
}

// Records entry `index` under its current name unless an earlier entry has
// the same name (the earliest position is the one a lookup gives).
void NameList::lookup_insert(int index) const {
  GeneratedName scratch;
  lookup_insert(index, name_hash(view(index, scratch)));
}

void NameList::lookup_insert(int index, uint32_t hash) const {
  if (2 * (used_ + 1) > slots_.size()) lookup_grow();
  GeneratedName scratch;
  const std::string_view name = view(index, scratch);
  const size_t mask = slots_.size() - 1;
  GeneratedName other;
  size_t pos = hash & mask;
  for (; slots_[pos].index >= 0; pos = (pos + 1) & mask) {
    Slot &s = slots_[pos];
    if (s.hash != hash || view(s.index, other) != name) continue;
    has_duplicates_ = true;
    if (s.index > index) s.index = index;
    return;
  }
  slots_[pos] = Slot{hash, index};
  ++used_;
}

// Forgets entry `index` under its current name. With duplicates about, a
// later entry may carry the same name and should then be found; rather than
// search for it the lookup is dropped.
void NameList::lookup_remove(int index) const {
  GeneratedName scratch;
  const std::string_view name = view(index, scratch);
  size_t pos = lookup_find(name, name_hash(name));
  if (pos == kNotFound || slots_[pos].index != index) return;
  if (has_duplicates_) {
    drop_lookup();
    return;
  }
  // Backward-shift deletion: pull later members of the probe run into the
  // hole when the hole lies between their home slot and where they sit.
  const size_t mask = slots_.size() - 1;
  size_t hole = pos;
  for (size_t next = (hole + 1) & mask; slots_[next].index >= 0; next = (next + 1) & mask) {
    const size_t home = slots_[next].hash & mask;
    const bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
    if (movable) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole].index = -1;
  --used_;
}

}  // namespace krvs
