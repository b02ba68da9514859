// Side-table maps (bounds and names keyed by object identity). Objects
// store an entry here only when their flag bit says so, and every lookup
// of such a bound or name goes through one hash probe.
#include <new>
#include <vector>

#include "maps/id_table.h"
#include "maps/maps.h"

// Bounds set by one array operation (a comparison with an array of
// right-hand sides, variables made with an array of bounds) belong to
// objects with consecutive identities: they are kept as runs of values, a
// few bytes per entry, and read without hashing. Other keys live in the
// table. Runs are sorted, disjoint and hold no key of the table.
struct BoundRun {
  uint64_t first;
  std::vector<double> values;     // the value of first + k
  std::vector<uint64_t> present;  // bit k: whether first + k holds a value
  size_t live = 0;                // values present
  uint64_t end() const { return first + values.size(); }
  bool has(size_t k) const { return (present[k / 64] >> (k % 64)) & 1; }
  void mark(size_t k, bool on) {
    uint64_t bit = uint64_t(1) << (k % 64);
    present[k / 64] = on ? present[k / 64] | bit : present[k / 64] & ~bit;
  }
  // Appends the value of end() (may throw std::bad_alloc, the run unchanged).
  void append(double value) {
    size_t k = values.size();
    if (k % 64 == 0) present.push_back(0);
    try {
      values.push_back(value);
    } catch (...) {
      if (k % 64 == 0) present.pop_back();
      throw;
    }
    mark(k, true);
    ++live;
  }
};

struct boundmap_s {
  IdTable<double> entries;
  std::vector<BoundRun> runs;

  // Shorter runs are not worth a run: when a new one starts, the last one
  // goes to the table if it holds fewer values than this.
  static constexpr size_t kShortRun = 8;

  // The run whose range holds key, or null.
  BoundRun *run_of(uint64_t key) {
    if (runs.empty() || key < runs.front().first || key >= runs.back().end()) return nullptr;
    if (key >= runs.back().first) return &runs.back();
    size_t lo = 0, hi = runs.size();
    while (lo < hi) {  // first run starting after key
      size_t mid = (lo + hi) / 2;
      if (runs[mid].first <= key)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo > 0 && key < runs[lo - 1].end() ? &runs[lo - 1] : nullptr;
  }

  const double *find(uint64_t key) {
    if (BoundRun *run = run_of(key)) {
      size_t k = size_t(key - run->first);
      return run->has(k) ? &run->values[k] : nullptr;
    }
    return entries.find(key);
  }

  // Moves the last run's values into the table (false, map unchanged, without memory).
  bool spill_last() {
    BoundRun &run = runs.back();
    if (!entries.reserve(run.live)) return false;
    for (size_t k = 0; k < run.values.size(); ++k)
      if (run.has(k)) entries.set(run.first + k, run.values[k]);
    runs.pop_back();
    return true;
  }

  bool set(uint64_t key, double value) {
    try {
      if (BoundRun *run = run_of(key)) {
        size_t k = size_t(key - run->first);
        if (!run->has(k)) {
          run->mark(k, true);
          ++run->live;
        }
        run->values[k] = value;
        return true;
      }
      if (double *found = entries.find(key)) {
        *found = value;
        return true;
      }
      if (!runs.empty() && key == runs.back().end()) {
        runs.back().append(value);
        return true;
      }
      // Behind the runs, or no further key can follow it: the table.
      if ((!runs.empty() && key < runs.back().end()) || key == ~uint64_t(0)) return entries.set(key, value);
      if (!runs.empty() && runs.back().live < kShortRun && !spill_last()) return false;
      runs.reserve(runs.size() + 1);
      BoundRun run;
      run.first = key;
      run.append(value);
      runs.push_back(std::move(run));
      return true;
    } catch (const std::bad_alloc &) {
      return false;
    }
  }

  void erase(uint64_t key) {
    BoundRun *run = run_of(key);
    if (!run) {
      entries.erase(key);
      return;
    }
    size_t k = size_t(key - run->first);
    if (!run->has(k)) return;
    run->mark(k, false);
    if (--run->live == 0) runs.erase(runs.begin() + (run - runs.data()));
  }
};
struct namemap_s {
  IdTable<PyObject *> entries;
};

namespace {

// Cursor over a table in slot order: the next slot + 1, null when not
// started and again at the end.
template <class Value>
int table_next(const IdTable<Value> &entries, uint64_t *key, Value *value, map_cursor *cursor) {
  size_t position = *cursor ? size_t(reinterpret_cast<uintptr_t>(*cursor)) - 1 : 0;
  if (!entries.next_entry(&position, key, value)) {
    *cursor = nullptr;
    return 0;
  }
  *cursor = reinterpret_cast<map_cursor>(uintptr_t(position) + 1);
  return 1;
}

}  // namespace

boundmap *boundmap_new(void) { return new (std::nothrow) boundmap_s(); }
void boundmap_free(boundmap **map) {
  delete *map;
  *map = nullptr;
}
double boundmap_get(const boundmap *map, uint64_t key) {
  const double *found = const_cast<boundmap *>(map)->find(key);
  return found ? *found : 0.0;
}
bool boundmap_has(const boundmap *map, uint64_t key) { return const_cast<boundmap *>(map)->find(key) != nullptr; }
int boundmap_set(boundmap *map, uint64_t key, double value) { return map->set(key, value) ? 0 : -1; }
void boundmap_del(boundmap *map, uint64_t key) { map->erase(key); }

namemap *namemap_new(void) { return new (std::nothrow) namemap_s(); }
void namemap_free(namemap **map) {
  if (*map) (*map)->entries.for_each([](uint64_t, PyObject *name) { Py_XDECREF(name); });
  delete *map;
  *map = nullptr;
}
PyObject *namemap_get(const namemap *map, uint64_t key) {
  PyObject *const *found = map->entries.find(key);
  return found ? *found : nullptr;
}
bool namemap_has(const namemap *map, uint64_t key) { return map->entries.find(key) != nullptr; }
int namemap_set(namemap *map, uint64_t key, PyObject *name) { return map->entries.set(key, name) ? 0 : -1; }
void namemap_del(namemap *map, uint64_t key) {
  PyObject *name = nullptr;
  if (map->entries.erase(key, &name)) Py_XDECREF(name);
}
int namemap_next(const namemap *map, uint64_t *key, PyObject **value, map_cursor *cursor) {
  return table_next(map->entries, key, value, cursor);
}
void namemap_iter_free(map_cursor *cursor) { *cursor = nullptr; }
