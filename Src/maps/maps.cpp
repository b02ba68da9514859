// Maps of expressions (linear and quadratic coefficients), problem index
// tables and index sets.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <map>
#include <new>
#include <type_traits>
#include <vector>

#include "maps/id_table.h"
#include "maps/maps.h"
#include "variable/var.h"

using QuadEntries = std::map<const var_s *, linmap *, less_variable>;

// One term of a linear map: 16 bytes. The identity is read from the
// variable rather than cached: every entry made or dropped touches the
// variable's reference count, on the same cache line, while a cached copy
// made each map a third larger and array arithmetic is bound by the memory
// its maps take.
struct LinEntry {
  const var_s *key;
  double coef;
  uint64_t id() const { return var_id(key); }
};

// Most expressions of a model have one to three terms: these live inside the
// map object, so such an expression costs no allocation for its entries.
// Three entries, 32-bit counts and no separate entry pointer make the map 64
// bytes, one small-object block; a fourth entry (a block of 80) measured slower.
constexpr size_t kInlineEntries = 3;
// Up to this size a key arriving out of order is inserted in place; larger
// maps collect such keys in a pending tail and merge it in bulk.
constexpr size_t kSmallMap = 64;

// Entries [0, sorted) are sorted by id, unique and nonzero. Entries
// [sorted, size) are the pending tail: nonzero, in arrival order, and may
// repeat each other's or sorted keys. Every entry, pending or not, owns one
// reference to its key. Counts are 32-bit: a map holds at most 2^32 - 1
// entries (64 GiB). A tail exists only once the map has outgrown kSmallMap,
// so its block is then on the heap, and a map never moves back inline.
// Reads merge the tail first (through const handles too: callers hold the GIL).
// The entries live inline, right after the header, while capacity is at most
// inline_room (kInlineEntries for a map of its own, the room its owner made
// for an embedded one), in a block of their own (whose pointer takes the
// inline room) once it is larger.
// The header lives inside its owner's memory and is never freed on its own.
constexpr uint16_t kEmbeddedMap = 1;
// Marked by the owner as shared: the owner is no longer amended in place.
constexpr uint16_t kFrozenMap = 2;
// An embedded map its owner uses; without it the map is empty and has no
// block (an owner's zeroed memory reads as an unused map).
constexpr uint16_t kMapInUse = 4;

struct linmap_s {
  uint32_t size;
  uint32_t sorted;
  uint32_t capacity;
  uint16_t inline_room;
  uint16_t flags;  // kEmbeddedMap, kFrozenMap
  union {
    LinEntry inline_entries[kInlineEntries];
    LinEntry *block;
  };
  // Inline entries may run past the declared array in an embedded map: they
  // are addressed from the header, not through the array's bound.
  LinEntry *inline_base() { return reinterpret_cast<LinEntry *>(reinterpret_cast<char *>(this) + kHeaderBytes); }
  const LinEntry *inline_base() const {
    return reinterpret_cast<const LinEntry *>(reinterpret_cast<const char *>(this) + kHeaderBytes);
  }
  LinEntry *entries() { return capacity > inline_room ? block : inline_base(); }
  const LinEntry *entries() const { return capacity > inline_room ? block : inline_base(); }
  static constexpr size_t kHeaderBytes = 16;
};
static_assert(offsetof(linmap_s, block) == linmap_s::kHeaderBytes, "inline entries start right after the header");
// An embedded map keeps at most this many entries inline (a 16-term
// expression stays one small object of 320 bytes).
constexpr size_t kMaxEmbeddedRoom = kLinmapMaxEmbeddedRoom;
static_assert(sizeof(linmap_s) <= 64, "a linear map should fit one small-object block of 64 bytes");
struct quadmap_s {
  QuadEntries entries;
  size_t terms = 0;     // total number of inner entries, exact unless stale
  bool stale = false;   // an inner map may hold a pending tail
};
// Keys first .. first + count - 1 mapped to values value .. value + count - 1
// (values read as integers).
struct IdRun {
  uint64_t first;
  uintptr_t value;
  uint64_t count;
  bool holds(uint64_t key) const { return key - first < count; }
  uintptr_t value_of(uint64_t key) const { return value + uintptr_t(key - first); }
};

// The problem's index maps: identity -> row, column or set index. Objects
// made together have consecutive identities and are added together, taking
// consecutive indices, so most of a map is a few runs: kept as such, a
// million columns cost a few words instead of a 16 MiB table, and a lookup is
// a search among the runs in cache. Keys outside runs live in the hash table.
// Runs are sorted, disjoint, and hold no key of the table.
struct rowcolmap_s {
  IdTable<PyObject *> entries;
  std::vector<IdRun> runs;
  size_t run_keys = 0;  // keys held by runs

  // Shorter runs are not worth a run: when a new one starts, the last one
  // goes to the table if it is still this short.
  static constexpr uint64_t kShortRun = 8;
  // Runs are at most this long (an iteration cursor holds the offset in 33 bits).
  static constexpr uint64_t kMaxRun = (uint64_t(1) << 33) - 1;

  // Index of the run holding key, or runs.size().
  size_t run_of(uint64_t key) const {
    size_t lo = 0, hi = runs.size();
    while (lo < hi) {  // first run whose first key is greater than key
      size_t mid = (lo + hi) / 2;
      if (runs[mid].first <= key)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo > 0 && runs[lo - 1].holds(key) ? lo - 1 : runs.size();
  }

  // Moves run r's keys into the table (false, map unchanged, without memory).
  bool spill(size_t r) {
    IdRun run = runs[r];
    if (!entries.reserve(size_t(run.count))) return false;
    for (uint64_t k = 0; k < run.count; ++k)
      entries.set(run.first + k, reinterpret_cast<PyObject *>(run.value + uintptr_t(k)));
    runs.erase(runs.begin() + std::ptrdiff_t(r));
    run_keys -= size_t(run.count);
    return true;
  }

  // Keys of one batch of new objects come after every key of the map: with
  // no key in the table, they are known absent without a search.
  bool beyond_every_key(uint64_t key) const {
    return entries.size() == 0 && (runs.empty() || key >= runs.back().first + runs.back().count);
  }

  bool find(uint64_t key, PyObject **value) const {
    if (beyond_every_key(key)) return false;
    size_t r = run_of(key);
    if (r != runs.size()) {
      if (value) *value = reinterpret_cast<PyObject *>(runs[r].value_of(key));
      return true;
    }
    PyObject *const *found = entries.find(key);
    if (!found) return false;
    if (value) *value = *found;
    return true;
  }

  bool set(uint64_t key, PyObject *value) {
    uintptr_t v = reinterpret_cast<uintptr_t>(value);
    if (entries.size() == 0 && !runs.empty()) {
      // The common case of a batch: the next key and the next value of the last run.
      IdRun &last = runs.back();
      if (key == last.first + last.count && v == last.value_of(key) && last.count < kMaxRun) {
        ++last.count;
        ++run_keys;
        return true;
      }
    }
    size_t r = run_of(key);
    if (r != runs.size()) {
      if (runs[r].value_of(key) == v) return true;
      if (!spill(r)) return false;
      return entries.set(key, value);
    }
    if (entries.find(key)) return entries.set(key, value);
    try {
      if (!runs.empty()) {
        IdRun &last = runs.back();
        if (key == last.first + last.count && v == last.value_of(key) && last.count < kMaxRun) {
          ++last.count;
          ++run_keys;
          return true;
        }
        if (key < last.first + last.count) return entries.set(key, value);  // behind the runs
        if (last.count < kShortRun && !spill(runs.size() - 1)) return false;
      }
      if (key == ~uint64_t(0)) return entries.set(key, value);  // no run can end after it
      runs.reserve(runs.size() + 1);
    } catch (const std::bad_alloc &) {
      return false;
    }
    runs.push_back(IdRun{key, v, 1});
    ++run_keys;
    return true;
  }

  void erase(uint64_t key) {
    size_t r = run_of(key);
    if (r == runs.size()) {
      entries.erase(key);
      return;
    }
    if (key != runs[r].first && key != runs[r].first + runs[r].count - 1) {
      // Splitting the run in two needs room for one more run first; without
      // it the run's keys move to the table, where erasing needs no memory.
      bool room = true;
      try {
        runs.reserve(runs.size() + 1);
      } catch (const std::bad_alloc &) {
        room = false;
      }
      if (!room) {
        if (spill(r)) entries.erase(key);
        return;
      }
    }
    IdRun &run = runs[r];
    --run_keys;
    if (key == run.first) {
      ++run.first;
      ++run.value;
      if (--run.count == 0) runs.erase(runs.begin() + std::ptrdiff_t(r));
      return;
    }
    uint64_t before = key - run.first;
    IdRun tail{key + 1, run.value_of(key) + 1, run.count - before - 1};
    run.count = before;
    if (tail.count > 0) runs.insert(runs.begin() + std::ptrdiff_t(r) + 1, tail);
  }

  size_t size() const { return entries.size() + run_keys; }
  void clear() {
    entries.clear();
    runs.clear();
    runs.shrink_to_fit();
    run_keys = 0;
  }
};
// Same layout as linmap_s: [0, sorted) sorted and unique, [sorted, size) a
// pending tail in arrival order (repeats allowed), merged before any read.
struct indexset_s {
  int64_t *data;
  size_t size;
  size_t sorted;
  size_t capacity;
  int64_t inline_items[kInlineEntries];
};

namespace {

PyObject *as_object(const var_s *v) { return reinterpret_cast<PyObject *>(const_cast<var_s *>(v)); }
void take_ref(const var_s *v) { Py_INCREF(as_object(v)); }
void drop_ref(const var_s *v) { Py_DECREF(as_object(v)); }

// Cursor over a std::map (the outer quadratic map). A tree iterator is one node pointer,
// never null, so it lives in the cursor itself: iterating allocates nothing.
template <class Container>
using cursor_iterator = typename Container::const_iterator;

template <class It>
It cursor_load(map_cursor cursor) {
  static_assert(sizeof(It) == sizeof(map_cursor) && std::is_trivially_copyable<It>::value,
                "a tree iterator must fit in a cursor");
  It it;
  std::memcpy(static_cast<void *>(&it), &cursor, sizeof it);
  return it;
}

template <class It>
void cursor_store(map_cursor *cursor, It it) {
  std::memcpy(cursor, static_cast<const void *>(&it), sizeof it);
}

// The iterator at the cursor (begin() when not started), or false at the
// end, where the cursor is reset to null.
template <class Container>
bool advance_cursor(const Container &entries, map_cursor *cursor, cursor_iterator<Container> *out) {
  auto it = *cursor ? cursor_load<cursor_iterator<Container>>(*cursor) : entries.begin();
  if (it == entries.end()) {
    *cursor = nullptr;
    return false;
  }
  *out = it;
  cursor_store(cursor, std::next(it));
  return true;
}

void free_cursor(map_cursor *cursor) { *cursor = nullptr; }

// ---- flat linear map internals ----

// A function object, so that sorts inline the comparison.
struct id_less {
  bool operator()(const LinEntry &a, const LinEntry &b) const { return a.id() < b.id(); }
};

linmap_s *writable(const linmap *map) { return const_cast<linmap_s *>(map); }
bool is_inline(const linmap_s *m) { return m->capacity <= m->inline_room; }

// Capacity for `needed` entries in total; false (map unchanged) without memory.
bool lin_reserve(linmap_s *m, size_t needed) {
  if (needed <= m->capacity) return true;
  size_t doubled = size_t(m->capacity) * 2;
  size_t capacity = doubled > needed ? doubled : needed;
  if (capacity > UINT32_MAX) return false;
  void *block;
  if (is_inline(m)) {
    block = PyMem_Malloc(capacity * sizeof(LinEntry));
    if (block && m->size) std::memcpy(block, m->entries(), m->size * sizeof(LinEntry));
  } else {
    block = PyMem_Realloc(m->block, capacity * sizeof(LinEntry));
  }
  if (!block) return false;
  m->block = static_cast<LinEntry *>(block);  // inline entries, if any, were copied first
  m->capacity = capacity;
  return true;
}

// Releases the keys of entries that have left their map. The keys are copied
// out first: releasing one can run arbitrary code, which may write into the
// slots they came from.
void release_entries(const LinEntry *entries, size_t count) {
  if (count == 0) return;
  const var_s *local[kSmallMap];
  const var_s **keys = local;
  if (count > kSmallMap) keys = static_cast<const var_s **>(PyMem_Malloc(count * sizeof *keys));
  if (!keys) {  // no memory to copy them: release them where they are
    for (size_t i = 0; i < count; ++i) drop_ref(entries[i].key);
    return;
  }
  for (size_t i = 0; i < count; ++i) keys[i] = entries[i].key;
  for (size_t i = 0; i < count; ++i) drop_ref(keys[i]);
  if (keys != local) PyMem_Free(keys);
}

// Sorts the pending tail into the sorted part when the tail interleaves a
// few ascending sequences, as a sum over an array of expressions gives
// (x[i], y[i], x[i+1], y[i+1], ...): each tail entry goes to the first of at
// most kMaxPiles piles whose last id is smaller (the piles' last ids then
// never increase from one pile to the next, so repeats of an id land in
// later piles in arrival order), the piles are laid out one after the other
// in scratch memory, and everything is merged backwards into the block,
// ties taken from the latest pile first and from the sorted part last. The
// order is then the one a stable sort and merge would give, for two reads
// of each tail entry's id instead of one per comparison. False, with the
// map unchanged, when the tail needs more piles or scratch memory is short.
bool merge_tail_in_piles(linmap_s *m) {
  constexpr size_t kMaxPiles = 8;
  LinEntry *data = m->entries();
  const size_t sorted = m->sorted, tail = m->size - sorted;
  // Scratch memory: the block's unused capacity when it has room (memory the
  // map owns anyway), else a block of its own.
  const size_t pile_bytes = (tail + sizeof(LinEntry) - 1) / sizeof(LinEntry);
  const bool in_block = m->capacity - m->size >= tail + pile_bytes;
  LinEntry *scratch = in_block ? data + m->size : static_cast<LinEntry *>(PyMem_Malloc(tail * sizeof(LinEntry)));
  unsigned char *pile_of = in_block ? reinterpret_cast<unsigned char *>(data + m->size + tail)
                                    : static_cast<unsigned char *>(PyMem_Malloc(tail));
  auto release_scratch = [&] {
    if (in_block) return;
    PyMem_Free(scratch);
    PyMem_Free(pile_of);
  };
  if (!scratch || !pile_of) {
    release_scratch();
    return false;
  }
  uint64_t last[kMaxPiles];
  size_t count[kMaxPiles] = {}, piles = 0;
  for (size_t j = 0; j < tail; ++j) {
    uint64_t id = data[sorted + j].id();
    size_t p = 0;
    while (p < piles && last[p] >= id) ++p;
    if (p == piles) {
      if (piles == kMaxPiles) {
        release_scratch();
        return false;
      }
      ++piles;
    }
    last[p] = id;
    ++count[p];
    pile_of[j] = static_cast<unsigned char>(p);
  }
  size_t begin[kMaxPiles], end[kMaxPiles];
  for (size_t p = 0, at = 0; p < piles; at += count[p], ++p) begin[p] = end[p] = at;
  for (size_t j = 0; j < tail; ++j) scratch[end[pile_of[j]]++] = data[sorted + j];
  // Backwards: the write position never passes the sorted entries still to be read.
  constexpr size_t kSortedPart = kMaxPiles;
  uint64_t head[kMaxPiles + 1];
  for (size_t p = 0; p < piles; ++p) head[p] = scratch[end[p] - 1].id();
  size_t sorted_end = sorted;
  if (sorted_end) head[kSortedPart] = data[sorted_end - 1].id();
  constexpr size_t kNone = kMaxPiles + 1;
  for (size_t out = m->size; out-- > 0;) {
    size_t best = kNone;
    for (size_t p = piles; p-- > 0;)
      if (end[p] > begin[p] && (best == kNone || head[p] > head[best])) best = p;
    if (sorted_end > 0 && (best == kNone || head[kSortedPart] > head[best])) best = kSortedPart;
    if (best == kSortedPart) {
      data[out] = data[--sorted_end];
      if (sorted_end) head[kSortedPart] = data[sorted_end - 1].id();
    } else {
      data[out] = scratch[--end[best]];
      if (end[best] > begin[best]) head[best] = scratch[end[best] - 1].id();
    }
  }
  release_scratch();
  return true;
}

// Folds the pending tail into the sorted part: coefficients of equal keys are
// summed in arrival order, zero sums go, and every surplus reference is
// released. Works in place, so it cannot fail (the sorts fall back to
// in-place algorithms when no scratch memory is available).
void lin_merge_tail(linmap_s *m) {
  while (m->sorted != m->size) {
    LinEntry *data = m->entries();
    size_t n = m->size;
    if (!merge_tail_in_piles(m)) {
      std::stable_sort(data + m->sorted, data + n, id_less());
      std::inplace_merge(data, data + m->sorted, data + n, id_less());
    }
    // Equal ids are now adjacent, the oldest first. Keep one summed entry per
    // id at the front; every other entry is swapped behind the kept ones.
    size_t kept = 0;
    for (size_t group = 0; group < n;) {
      size_t end = group + 1;
      double sum = data[group].coef;
      for (; end < n && data[end].id() == data[group].id(); ++end) sum += data[end].coef;
      if (sum != 0.0) {
        data[group].coef = sum;
        std::swap(data[kept], data[group]);
        ++kept;
      }
      group = end;
    }
    m->size = m->sorted = kept;
    release_entries(data + kept, n - kept);
    // Released keys may have run code that added to this map: loop until clean.
  }
}

void lin_normalise(const linmap *map) {
  if (map->sorted != map->size) lin_merge_tail(writable(map));
}

// Position of the first sorted entry whose id is not less than id.
size_t lin_lower_bound(const linmap_s *m, uint64_t id) {
  const LinEntry *first = m->entries(), *last = m->entries() + m->sorted;
  if (m->sorted <= 8) {
    while (first != last && first->id() < id) ++first;
    return size_t(first - m->entries());
  }
  size_t count = m->sorted;
  while (count > 0) {
    size_t half = count / 2;
    if (first[half].id() < id) {
      first += half + 1;
      count -= half + 1;
    } else {
      count = half;
    }
  }
  return size_t(first - m->entries());
}

// Index of the entry of id in a map without pending tail, or size.
size_t lin_find(const linmap_s *m, uint64_t id) {
  size_t pos = lin_lower_bound(m, id);
  return pos < m->size && m->entries()[pos].id() == id ? pos : m->size;
}

// Removes the entry at pos (no pending tail) and then releases its key.
void lin_erase(linmap_s *m, size_t pos) {
  const var_s *key = m->entries()[pos].key;
  std::memmove(m->entries() + pos, m->entries() + pos + 1, (m->size - pos - 1) * sizeof(LinEntry));
  --m->size;
  --m->sorted;
  drop_ref(key);
}

// Adds coef (nonzero) to the entry of var: appended in constant time when var
// comes after every key, inserted in place in small maps, otherwise queued in
// the pending tail.
int lin_add(linmap_s *m, const var_s *var, double coef) {
  uint64_t id = var_id(var);
  size_t size = m->size;
  bool in_order = size == 0 || (m->sorted == size && m->entries()[size - 1].id() < id);
  if (in_order || m->sorted != size || size >= kSmallMap) {
    if (size == m->capacity && !lin_reserve(m, size + 1)) return -1;
    m->entries()[size] = LinEntry{var, coef};
    m->size = size + 1;
    take_ref(var);
    if (in_order) {
      m->sorted = size + 1;
    } else if (m->size - m->sorted > m->sorted / 2) {
      lin_merge_tail(m);
    }
    return 0;
  }
  size_t pos = lin_lower_bound(m, id);
  if (m->entries()[pos].id() == id) {  // pos < size: the last key is not less than id
    double sum = m->entries()[pos].coef + coef;
    if (sum == 0.0)
      lin_erase(m, pos);
    else
      m->entries()[pos].coef = sum;
    return 0;
  }
  if (size == m->capacity && !lin_reserve(m, size + 1)) return -1;
  std::memmove(m->entries() + pos + 1, m->entries() + pos, (size - pos) * sizeof(LinEntry));
  m->entries()[pos] = LinEntry{var, coef};
  m->size = m->sorted = size + 1;
  take_ref(var);
  return 0;
}

// Drops entries whose coefficient became zero, keeping the order of the others.
void lin_drop_zeros(linmap_s *m) {
  size_t kept = 0, n = m->size;
  for (size_t i = 0; i < n; ++i)
    if (m->entries()[i].coef != 0.0) std::swap(m->entries()[kept++], m->entries()[i]);
  if (kept == n) return;
  m->size = m->sorted = kept;
  release_entries(m->entries() + kept, n - kept);
}

// Empties an embedded map (its memory stays with the owner), then releases
// the keys it held and the block it grew into.
void release_embedded_entries(linmap_s *m) {
  size_t n = m->size;
  LinEntry *entries = m->entries();
  bool own_block = !is_inline(m);
  m->size = m->sorted = 0;
  m->capacity = m->inline_room;
  for (size_t i = 0; i < n; ++i) drop_ref(entries[i].key);
  if (own_block) PyMem_Free(entries);
}

}  // namespace

// ---- linmap ---------------------------------------------------------------

linmap *linmap_new(void) {
  void *memory = PyMem_Malloc(sizeof(linmap_s));
  if (!memory) return nullptr;
  linmap_s *m = static_cast<linmap_s *>(memory);
  m->size = m->sorted = 0;
  m->capacity = m->inline_room = kInlineEntries;
  m->flags = 0;
  return m;
}

size_t linmap_embedded_size(size_t room) {
  room = std::min(std::max(room, size_t(1)), kMaxEmbeddedRoom);
  return linmap_s::kHeaderBytes + room * sizeof(LinEntry);
}

linmap *linmap_embed(void *memory, size_t room) {
  room = std::min(std::max(room, size_t(1)), kMaxEmbeddedRoom);
  linmap_s *m = static_cast<linmap_s *>(memory);
  m->size = m->sorted = 0;
  m->capacity = m->inline_room = uint16_t(room);
  m->flags = kEmbeddedMap | kMapInUse;
  return m;
}

void linmap_embed_unused(void *memory, size_t room) { linmap_embed(memory, room)->flags &= uint16_t(~kMapInUse); }
bool linmap_in_use(const linmap *map) { return (map->flags & kMapInUse) != 0; }
void linmap_use(linmap *map) { map->flags |= kMapInUse; }

void linmap_release(linmap *map) {
  if (!linmap_in_use(map)) return;
  // Unused before any key goes: releasing a key may run deallocation code
  // that reaches the owner.
  map->flags &= uint16_t(~(kFrozenMap | kMapInUse));
  release_embedded_entries(map);
}

void linmap_free(linmap **map) {
  linmap_s *m = *map;
  if (!m) return;
  *map = nullptr;
  // Detach the entries first: releasing a key may run arbitrary deallocation code.
  size_t n = m->size;
  if (m->flags & kEmbeddedMap) {
    // Unreachable once its owner's pointer is cleared, and its memory stays
    // with the owner.
    release_embedded_entries(m);
    return;
  }
  if (is_inline(m)) {
    LinEntry entries[kInlineEntries];
    std::memcpy(entries, m->entries(), n * sizeof(LinEntry));
    PyMem_Free(m);
    for (size_t i = 0; i < n; ++i) drop_ref(entries[i].key);
    return;
  }
  LinEntry *block = m->entries();
  PyMem_Free(m);
  for (size_t i = 0; i < n; ++i) drop_ref(block[i].key);
  PyMem_Free(block);
}

size_t linmap_size(const linmap *map) {
  if (!map) return 0;
  lin_normalise(map);
  return map->size;
}

int linmap_get(const linmap *map, const var_s *var, double *coef) {
  lin_normalise(map);
  size_t pos = lin_find(map, var_id(var));
  if (pos == map->size) return -1;
  if (coef) *coef = map->entries()[pos].coef;
  return 0;
}

bool linmap_has(const linmap *map, const var_s *var) {
  lin_normalise(map);
  return lin_find(map, var_id(var)) != map->size;
}

int linmap_set(linmap *map, const var_s *var, double coef) {
  lin_normalise(map);
  size_t pos = lin_find(map, var_id(var));
  if (pos != map->size) {
    if (coef == 0.0)
      lin_erase(map, pos);
    else
      map->entries()[pos].coef = coef;
    return 0;
  }
  return coef == 0.0 ? 0 : lin_add(map, var, coef);
}

int linmap_add(linmap *map, const var_s *var, double coef) {
  if (coef == 0.0) return 0;
  return lin_add(map, var, coef);
}

void linmap_freeze(linmap *map) { map->flags |= kFrozenMap; }
bool linmap_frozen(const linmap *map) { return (map->flags & kFrozenMap) != 0; }

int linmap_reserve(linmap *map, size_t count) { return lin_reserve(map, count) ? 0 : -1; }

namespace {

// Appends factor times src's entries (products of 0 left out) behind dst's
// entries, taking a reference to each key; dst has the room.
void append_products(linmap_s *dst, const linmap_s *src, double factor) {
  LinEntry *out = dst->entries() + dst->size;
  for (size_t i = 0; i < src->size; ++i) {
    const LinEntry &e = src->entries()[i];
    double product = factor * e.coef;
    if (product == 0.0) continue;
    *out++ = LinEntry{e.key, product};
    take_ref(e.key);
  }
  dst->size = uint32_t(out - dst->entries());
}

}  // namespace

int linmap_add_scaled(linmap *dst, const linmap *src, double factor) {
  if (dst == src) {  // e += f * e: add from a snapshot
    linmap *snapshot = nullptr;
    if (linmap_copy(&snapshot, src) < 0) return -1;
    int rc = linmap_add_scaled(dst, snapshot, factor);
    linmap_free(&snapshot);
    return rc;
  }
  lin_normalise(src);
  if (src->size == 0) return 0;
  if (dst->size >= kSmallMap) {
    // A large map: the products join the pending tail (or extend the sorted
    // part when they come after it) and are merged in bulk, as single adds
    // are; a sum of many small expressions costs a copy per entry.
    size_t n = dst->size, m = src->size;
    if (!lin_reserve(dst, n + m)) return -1;
    bool in_order = dst->sorted == n && dst->entries()[n - 1].id() < src->entries()[0].id();
    append_products(dst, src, factor);
    if (in_order)
      dst->sorted = dst->size;
    else if (dst->size - dst->sorted > dst->sorted / 2)
      lin_merge_tail(dst);
    return 0;
  }
  lin_normalise(dst);
  size_t n = dst->size, m = src->size;
  if (n == 0 || dst->entries()[n - 1].id() < src->entries()[0].id()) {
    // Every key comes after dst's last one: append the products in one go.
    if (!lin_reserve(dst, n + m)) return -1;
    append_products(dst, src, factor);
    dst->sorted = dst->size;
    return 0;
  }
  if (m <= 8 && n + m <= kSmallMap) {
    // A few terms into a small map: in-place inserts. Capacity first, so that
    // running out of memory leaves dst untouched.
    if (!lin_reserve(dst, n + m)) return -1;
    for (size_t i = 0; i < m; ++i) {
      double product = factor * src->entries()[i].coef;
      if (product != 0.0) lin_add(dst, src->entries()[i].key, product);
    }
    return 0;
  }
  // Merge both sorted runs into a new block; dst's entries that cancel are
  // collected at the front of the old block (never ahead of the read position).
  size_t capacity = std::max(n + m, size_t(dst->inline_room) + 1);  // a block is never inline-sized
  if (capacity > UINT32_MAX) return -1;
  LinEntry *merged = static_cast<LinEntry *>(PyMem_Malloc(capacity * sizeof(LinEntry)));
  if (!merged) return -1;
  LinEntry *old = dst->entries();
  const LinEntry *theirs = src->entries();
  size_t i = 0, j = 0, k = 0, dropped = 0;
  while (i < n && j < m) {
    if (old[i].id() < theirs[j].id()) {
      merged[k++] = old[i++];
    } else if (theirs[j].id() < old[i].id()) {
      double product = factor * theirs[j].coef;
      if (product != 0.0) {
        merged[k++] = LinEntry{theirs[j].key, product};
        take_ref(theirs[j].key);
      }
      ++j;
    } else {
      double sum = old[i].coef + factor * theirs[j].coef;
      if (sum != 0.0) {
        merged[k] = old[i];
        merged[k++].coef = sum;
      } else {
        old[dropped++] = old[i];
      }
      ++i;
      ++j;
    }
  }
  for (; i < n; ++i) merged[k++] = old[i];
  for (; j < m; ++j) {
    double product = factor * theirs[j].coef;
    if (product == 0.0) continue;
    merged[k++] = LinEntry{theirs[j].key, product};
    take_ref(theirs[j].key);
  }
  // Detach the old entries before releasing their keys: inline ones are
  // copied out, since the map object stays reachable.
  bool was_inline = is_inline(dst);
  LinEntry local[kMaxEmbeddedRoom];
  const LinEntry *gone = old;
  if (was_inline) {
    std::memcpy(local, old, dropped * sizeof(LinEntry));
    gone = local;
  }
  dst->block = merged;  // inline entries were read (and the dropped ones copied out) first
  dst->size = dst->sorted = k;
  dst->capacity = capacity;
  for (size_t d = 0; d < dropped; ++d) drop_ref(gone[d].key);
  if (!was_inline) PyMem_Free(old);
  return 0;
}

void linmap_del(linmap *map, const var_s *var) {
  lin_normalise(map);
  size_t pos = lin_find(map, var_id(var));
  if (pos != map->size) lin_erase(map, pos);
}

int linmap_copy(linmap **dst, const linmap *src) {
  lin_normalise(src);
  linmap *copy = linmap_new();
  if (!copy) return -1;
  if (!lin_reserve(copy, src->size)) {
    PyMem_Free(copy);
    return -1;
  }
  if (src->size) std::memcpy(copy->entries(), src->entries(), src->size * sizeof(LinEntry));
  copy->size = copy->sorted = src->size;
  for (size_t i = 0; i < copy->size; ++i) take_ref(copy->entries()[i].key);
  *dst = copy;
  return 0;
}

int linmap_scale(linmap *map, double factor) {
  lin_normalise(map);
  bool underflow = false;
  for (size_t i = 0; i < map->size; ++i) {
    map->entries()[i].coef *= factor;
    underflow |= map->entries()[i].coef == 0.0;
  }
  if (underflow) lin_drop_zeros(map);
  return 0;
}

int linmap_next(const linmap *map, const var_s **key, double *value, map_cursor *cursor) {
  lin_normalise(map);
  size_t position = *cursor ? size_t(reinterpret_cast<uintptr_t>(*cursor)) - 1 : 0;
  if (position >= map->size) {
    *cursor = nullptr;
    return 0;
  }
  *key = map->entries()[position].key;
  *value = map->entries()[position].coef;
  *cursor = reinterpret_cast<map_cursor>(uintptr_t(position) + 2);
  return 1;
}

void linmap_iter_free(map_cursor *cursor) { free_cursor(cursor); }

static_assert(sizeof(linmap_entry) == sizeof(LinEntry) && offsetof(linmap_entry, coef) == offsetof(LinEntry, coef),
              "readers see the entries as they are stored");

const linmap_entry *linmap_data(const linmap *map, size_t *size) {
  if (!map) {
    *size = 0;
    return nullptr;
  }
  lin_normalise(map);
  *size = map->size;
  return reinterpret_cast<const linmap_entry *>(map->entries());
}

namespace {

size_t span_union_size(const linmap_entry *a, size_t n, const linmap_entry *b, size_t m) {
  size_t i = 0, j = 0, count = 0;
  for (; i < n && j < m; ++count) {
    uint64_t x = var_id(a[i].key), y = var_id(b[j].key);
    i += x <= y;
    j += y <= x;
  }
  return count + (n - i) + (m - j);
}

}  // namespace

size_t linmap_union_size(const linmap *first, const linmap *second) {
  size_t n = 0, m = 0;
  const linmap_entry *a = linmap_data(first, &n), *b = linmap_data(second, &m);
  return span_union_size(a, n, b, m);
}

int linmap_assign_combination(linmap *dst, const linmap_entry *a, size_t n, double fa, const linmap_entry *b, size_t m,
                              double fb) {
  if (dst->size != 0) return -1;
  // Room for every entry of both, or (when they may share keys and the map
  // was sized for the exact count) for their union.
  if (dst->capacity < n + m && !lin_reserve(dst, span_union_size(a, n, b, m))) return -1;
  LinEntry *out = dst->entries();
  size_t i = 0, j = 0, k = 0;
  auto put = [&](const var_s *key, double coef) {
    if (coef == 0.0) return;
    out[k++] = LinEntry{key, coef};
    take_ref(key);
  };
  while (i < n && j < m) {
    uint64_t x = var_id(a[i].key), y = var_id(b[j].key);
    if (x < y) {
      put(a[i].key, fa * a[i].coef);
      ++i;
    } else if (y < x) {
      put(b[j].key, fb * b[j].coef);
      ++j;
    } else {
      put(a[i].key, fa * a[i].coef + fb * b[j].coef);
      ++i;
      ++j;
    }
  }
  for (; i < n; ++i) put(a[i].key, fa * a[i].coef);
  for (; j < m; ++j) put(b[j].key, fb * b[j].coef);
  dst->size = dst->sorted = uint32_t(k);
  return 0;
}

int linmap_assign_sum(linmap *dst, const linmap *first, const linmap *second, double factor) {
  size_t n = 0, m = 0;
  const linmap_entry *a = linmap_data(first, &n), *b = linmap_data(second, &m);
  return linmap_assign_combination(dst, a, n, 1.0, b, m, factor);
}

// ---- quadmap --------------------------------------------------------------

namespace {

// Brings a stale quadmap up to date: merges the inner maps' tails, removes
// inner maps that ended up empty and recounts the terms.
void quad_normalise(const quadmap *map) {
  if (!map->stale) return;
  quadmap_s *q = const_cast<quadmap_s *>(map);
  q->stale = false;
  size_t terms = 0;
  for (auto it = q->entries.begin(); it != q->entries.end();) {
    linmap *inner = it->second;
    size_t size = linmap_size(inner);
    if (size == 0) {
      const var_s *key = it->first;
      it = q->entries.erase(it);
      linmap_free(&inner);
      drop_ref(key);
      continue;
    }
    terms += size;
    ++it;
  }
  q->terms = terms;
}

size_t inner_size(const linmap *inner) { return inner ? linmap_size(inner) : 0; }

}  // namespace

quadmap *quadmap_new(void) { return new (std::nothrow) quadmap_s(); }

void quadmap_free(quadmap **map) {
  if (!*map) return;
  QuadEntries entries;
  entries.swap((*map)->entries);
  delete *map;
  *map = nullptr;
  for (auto &entry : entries) {
    linmap_free(&entry.second);
    drop_ref(entry.first);
  }
}

size_t quadmap_size(const quadmap *map) {
  if (!map) return 0;
  quad_normalise(map);
  return map->terms;
}

int quadmap_get(const quadmap *map, const var_s *var, linmap **inner) {
  quad_normalise(map);
  auto it = map->entries.find(var);
  if (it == map->entries.end()) return -1;
  if (inner) *inner = it->second;
  return 0;
}

int quadmap_set(quadmap *map, const var_s *var, linmap *inner) {
  quad_normalise(map);
  auto it = map->entries.lower_bound(var);
  if (it != map->entries.end() && !less_variable()(var, it->first)) {
    map->terms -= inner_size(it->second);
    it->second = inner;
  } else {
    try {
      map->entries.emplace_hint(it, var, inner);
    } catch (...) {
      return -1;
    }
    take_ref(var);
  }
  map->terms += inner_size(inner);
  return 0;
}

int quadmap_add(quadmap *map, const var_s *x, const var_s *y, double coef) {
  if (coef == 0.0) return 0;
  // Rows mostly arrive in order: after the last row or into it.
  auto it = map->entries.end();
  if (!map->entries.empty()) {
    auto last = std::prev(it);
    if (!less_variable()(last->first, x)) it = less_variable()(x, last->first) ? map->entries.lower_bound(x) : last;
  }
  if (it == map->entries.end() || less_variable()(x, it->first)) {
    linmap *inner = linmap_new();
    if (!inner) return -1;
    if (linmap_add(inner, y, coef) < 0) {
      linmap_free(&inner);
      return -1;
    }
    try {
      map->entries.emplace_hint(it, x, inner);
    } catch (...) {
      linmap_free(&inner);
      return -1;
    }
    take_ref(x);
    ++map->terms;
    return 0;
  }
  linmap *inner = it->second;
  // Sizes are exact only while the inner map has no pending tail; otherwise
  // the count is settled on the next read.
  bool exact_before = inner->sorted == inner->size;
  size_t before = inner->size;
  if (linmap_add(inner, y, coef) < 0) return -1;
  if (!exact_before || inner->sorted != inner->size) {
    map->stale = true;
    return 0;
  }
  map->terms = map->terms - before + inner->size;
  if (inner->size == 0) {
    const var_s *key = it->first;
    map->entries.erase(it);
    linmap_free(&inner);
    drop_ref(key);
  }
  return 0;
}

void quadmap_del(quadmap *map, const var_s *x, const var_s *y) {
  quad_normalise(map);
  auto it = map->entries.find(x);
  if (it == map->entries.end()) return;
  linmap *inner = it->second;
  if (!linmap_has(inner, y)) return;
  linmap_del(inner, y);
  --map->terms;
  if (inner->size == 0) {
    const var_s *key = it->first;
    map->entries.erase(it);
    linmap_free(&inner);
    drop_ref(key);
  }
}

int quadmap_copy(quadmap **dst, const quadmap *src) {
  quad_normalise(src);
  quadmap *copy = quadmap_new();
  if (!copy) return -1;
  // The source is sorted: every row goes at the end, in constant time.
  for (auto &entry : src->entries) {
    linmap *inner = nullptr;
    if (linmap_copy(&inner, entry.second) < 0) {
      quadmap_free(&copy);
      return -1;
    }
    try {
      copy->entries.emplace_hint(copy->entries.end(), entry.first, inner);
    } catch (...) {
      linmap_free(&inner);
      quadmap_free(&copy);
      return -1;
    }
    take_ref(entry.first);
    copy->terms += inner->size;
  }
  *dst = copy;
  return 0;
}

int quadmap_scale(quadmap *map, double factor) {
  quad_normalise(map);
  for (auto it = map->entries.begin(); it != map->entries.end();) {
    linmap *inner = it->second;
    size_t before = inner->size;
    linmap_scale(inner, factor);
    map->terms = map->terms - before + inner->size;
    if (inner->size == 0) {
      const var_s *key = it->first;
      it = map->entries.erase(it);
      linmap_free(&inner);
      drop_ref(key);
    } else {
      ++it;
    }
  }
  return 0;
}

int quadmap_next(const quadmap *map, const var_s **key, linmap **inner, map_cursor *cursor) {
  if (!*cursor) quad_normalise(map);
  QuadEntries::const_iterator it;
  if (!advance_cursor(map->entries, cursor, &it)) return 0;
  *key = it->first;
  *inner = it->second;
  return 1;
}

void quadmap_iter_free(map_cursor *cursor) { free_cursor(cursor); }

// ---- rowcolmap ------------------------------------------------------------

rowcolmap *rowcolmap_new(void) { return new (std::nothrow) rowcolmap_s(); }
void rowcolmap_free(rowcolmap **map) {
  delete *map;
  *map = nullptr;
}
size_t rowcolmap_size(const rowcolmap *map) { return map->size(); }
int rowcolmap_get(const rowcolmap *map, uint64_t key, PyObject **value) { return map->find(key, value) ? 0 : -1; }
size_t rowcolmap_get_indices(const rowcolmap *map, const linmap_entry *entries, size_t n, int *indices) {
  // The terms of a row mostly fall into a few runs (the variables of one
  // array): the run of the last hit is tried first.
  size_t r = map->runs.size();
  for (size_t k = 0; k < n; ++k) {
    uint64_t key = var_id(entries[k].key);
    if (r == map->runs.size() || !map->runs[r].holds(key)) r = map->run_of(key);
    if (r != map->runs.size()) {
      indices[k] = int(map->runs[r].value_of(key));
      continue;
    }
    PyObject *const *found = map->entries.find(key);
    if (!found) return k;
    indices[k] = int(reinterpret_cast<intptr_t>(*found));
  }
  return n;
}
bool rowcolmap_has(const rowcolmap *map, uint64_t key) { return map->find(key, nullptr); }
int rowcolmap_set(rowcolmap *map, uint64_t key, PyObject *value) { return map->set(key, value) ? 0 : -1; }
void rowcolmap_del(rowcolmap *map, uint64_t key) { map->erase(key); }
// Keys that arrive as runs take no room in the table: nothing is reserved
// ahead (a table sized for them would be written in full and never used).
int rowcolmap_reserve(rowcolmap *, size_t) { return 0; }

void rowcolmap_clear(rowcolmap *map) { map->clear(); }
int rowcolmap_copy(rowcolmap **dst, const rowcolmap *src) {
  rowcolmap *copy = rowcolmap_new();
  if (!copy) return -1;
  try {
    copy->entries = src->entries;
    copy->runs = src->runs;
    copy->run_keys = src->run_keys;
  } catch (...) {
    delete copy;
    return -1;
  }
  *dst = copy;
  return 0;
}
// Entries come in no particular order: the runs' keys, then the table's.
// The cursor holds, in the runs, the top bit, the run and the offset in it
// (30 and 33 bits); in the table, the next slot + 1.
// Runs are never empty, so the position after a run's last key is the next run's first.
int rowcolmap_next(const rowcolmap *map, uint64_t *key, PyObject **value, map_cursor *cursor) {
  constexpr uintptr_t kInRuns = uintptr_t(1) << 63, kOffsetBits = 33;
  constexpr uintptr_t kOffsetMask = (uintptr_t(1) << kOffsetBits) - 1;
  uintptr_t c = reinterpret_cast<uintptr_t>(*cursor);
  if (c == 0 && !map->runs.empty()) c = kInRuns;
  if (c & kInRuns) {
    size_t r = size_t((c & ~kInRuns) >> kOffsetBits);
    uint64_t offset = c & kOffsetMask;
    if (r < map->runs.size() && offset < map->runs[r].count) {
      const IdRun &run = map->runs[r];
      *key = run.first + offset;
      *value = reinterpret_cast<PyObject *>(run.value_of(*key));
      uintptr_t next = offset + 1 < run.count ? (uintptr_t(r) << kOffsetBits) | (offset + 1)
                                              : uintptr_t(r + 1) << kOffsetBits;
      *cursor = reinterpret_cast<map_cursor>(kInRuns | next);
      return 1;
    }
    c = 0;  // runs done: the table from its first slot
  }
  size_t position = c ? size_t(c) - 1 : 0;
  if (!map->entries.next_entry(&position, key, value)) {
    *cursor = nullptr;
    return 0;
  }
  *cursor = reinterpret_cast<map_cursor>(uintptr_t(position) + 1);
  return 1;
}
void rowcolmap_iter_free(map_cursor *cursor) { *cursor = nullptr; }

// ---- indexset -------------------------------------------------------------

namespace {

bool set_reserve(indexset_s *set, size_t needed) {
  if (needed <= set->capacity) return true;
  size_t capacity = set->capacity * 2 > needed ? set->capacity * 2 : needed;
  if (capacity > PY_SSIZE_T_MAX / sizeof(int64_t)) return false;
  void *block;
  if (set->data == set->inline_items) {
    block = PyMem_Malloc(capacity * sizeof(int64_t));
    if (block && set->size) std::memcpy(block, set->data, set->size * sizeof(int64_t));
  } else {
    block = PyMem_Realloc(set->data, capacity * sizeof(int64_t));
  }
  if (!block) return false;
  set->data = static_cast<int64_t *>(block);
  set->capacity = capacity;
  return true;
}

// Sorts the tail into the sorted part and drops repeats; cannot fail.
void set_normalise(const indexset *set) {
  if (set->sorted == set->size) return;
  indexset_s *s = const_cast<indexset_s *>(set);
  int64_t *data = s->data;
  std::sort(data + s->sorted, data + s->size);
  std::inplace_merge(data, data + s->sorted, data + s->size);
  s->size = s->sorted = size_t(std::unique(data, data + s->size) - data);
}

// Position of index in a normalised set, or size.
size_t set_find(const indexset_s *set, int64_t index) {
  const int64_t *first = set->data, *end = set->data + set->size;
  const int64_t *it = std::lower_bound(first, end, index);
  return it != end && *it == index ? size_t(it - set->data) : set->size;
}

}  // namespace

indexset *indexset_new(void) {
  void *memory = PyMem_Malloc(sizeof(indexset_s));
  if (!memory) return nullptr;
  indexset_s *set = static_cast<indexset_s *>(memory);
  set->data = set->inline_items;
  set->size = set->sorted = 0;
  set->capacity = kInlineEntries;
  return set;
}

void indexset_free(indexset **set) {
  indexset_s *s = *set;
  if (!s) return;
  if (s->data != s->inline_items) PyMem_Free(s->data);
  PyMem_Free(s);
  *set = nullptr;
}

size_t indexset_size(const indexset *set) {
  set_normalise(set);
  return set->size;
}

int indexset_add(indexset *set, int64_t index) {
  size_t size = set->size;
  if (set->sorted == size && size > 0 && set->data[size - 1] >= index) {
    if (set->data[size - 1] == index) return 0;
    if (size < kSmallMap) {
      size_t pos = size_t(std::lower_bound(set->data, set->data + size, index) - set->data);
      if (set->data[pos] == index) return 0;
      if (size == set->capacity && !set_reserve(set, size + 1)) return -1;
      std::memmove(set->data + pos + 1, set->data + pos, (size - pos) * sizeof(int64_t));
      set->data[pos] = index;
      set->size = set->sorted = size + 1;
      return 0;
    }
  }
  // In order (sorted part grows) or queued in the tail.
  bool in_order = set->sorted == size && (size == 0 || set->data[size - 1] < index);
  if (size == set->capacity && !set_reserve(set, size + 1)) return -1;
  set->data[size] = index;
  set->size = size + 1;
  if (in_order)
    set->sorted = size + 1;
  else if (set->size - set->sorted > set->sorted / 2)
    set_normalise(set);
  return 0;
}

bool indexset_has(const indexset *set, int64_t index) {
  set_normalise(set);
  return set_find(set, index) != set->size;
}

void indexset_del(indexset *set, int64_t index) {
  set_normalise(set);
  size_t pos = set_find(set, index);
  if (pos == set->size) return;
  std::memmove(set->data + pos, set->data + pos + 1, (set->size - pos - 1) * sizeof(int64_t));
  set->size = --set->sorted;
}

int indexset_copy(indexset **dst, const indexset *src) {
  set_normalise(src);
  indexset *copy = indexset_new();
  if (!copy) return -1;
  if (!set_reserve(copy, src->size)) {
    PyMem_Free(copy);
    return -1;
  }
  if (src->size) std::memcpy(copy->data, src->data, src->size * sizeof(int64_t));
  copy->size = copy->sorted = src->size;
  *dst = copy;
  return 0;
}

// The cursor holds the next position + 1.
int indexset_next(const indexset *set, int64_t *index, map_cursor *cursor) {
  set_normalise(set);
  size_t position = *cursor ? size_t(reinterpret_cast<uintptr_t>(*cursor)) - 1 : 0;
  if (position >= set->size) {
    *cursor = nullptr;
    return 0;
  }
  *index = set->data[position];
  *cursor = reinterpret_cast<map_cursor>(uintptr_t(position) + 2);
  return 1;
}

void indexset_iter_free(map_cursor *cursor) { free_cursor(cursor); }
