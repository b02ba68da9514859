// Maps of expressions (linear and quadratic coefficients), problem index
// tables and index sets.
#include <cstring>
#include <iterator>
#include <map>
#include <new>
#include <set>
#include <type_traits>

#include "maps/id_table.h"
#include "maps/maps.h"
#include "variable/var.h"

using LinEntries = std::map<const var_s *, double, less_variable>;
using QuadEntries = std::map<const var_s *, linmap *, less_variable>;

struct linmap_s {
  LinEntries entries;
};
struct quadmap_s {
  QuadEntries entries;
  size_t terms = 0;  // total number of inner entries
};
struct rowcolmap_s {
  IdTable<PyObject *> entries;
};
struct indexset_s {
  std::set<int64_t> entries;
};

namespace {

PyObject *as_object(const var_s *v) { return reinterpret_cast<PyObject *>(const_cast<var_s *>(v)); }
void take_ref(const var_s *v) { Py_INCREF(as_object(v)); }
void drop_ref(const var_s *v) { Py_DECREF(as_object(v)); }

// Cursor over a std::map or std::set. A tree iterator is one node pointer,
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

// Models are mostly built in creation order, so a new variable usually goes
// after the last key: check that first and insert at the end in constant time.
bool append_at_end(LinEntries &entries, const var_s *var, double coef, int *rc) {
  if (!entries.empty() && !less_variable()(std::prev(entries.end())->first, var)) return false;
  try {
    entries.emplace_hint(entries.end(), var, coef);
  } catch (...) {
    *rc = -1;
    return true;
  }
  take_ref(var);
  *rc = 0;
  return true;
}

void release_keys(LinEntries &entries) {
  for (auto &entry : entries) drop_ref(entry.first);
  entries.clear();
}

}  // namespace

// ---- linmap ---------------------------------------------------------------

linmap *linmap_new(void) { return new (std::nothrow) linmap_s(); }

void linmap_free(linmap **map) {
  if (!*map) return;
  // Detach the entries first: releasing a key may run arbitrary deallocation code.
  LinEntries entries;
  entries.swap((*map)->entries);
  delete *map;
  *map = nullptr;
  release_keys(entries);
}

size_t linmap_size(const linmap *map) { return map ? map->entries.size() : 0; }

int linmap_get(const linmap *map, const var_s *var, double *coef) {
  auto it = map->entries.find(var);
  if (it == map->entries.end()) return -1;
  if (coef) *coef = it->second;
  return 0;
}

bool linmap_has(const linmap *map, const var_s *var) { return map->entries.count(var) != 0; }

int linmap_set(linmap *map, const var_s *var, double coef) {
  int rc;
  if (coef != 0.0 && append_at_end(map->entries, var, coef, &rc)) return rc;
  auto it = map->entries.lower_bound(var);
  bool present = it != map->entries.end() && !less_variable()(var, it->first);
  if (coef == 0.0) {
    if (present) {
      const var_s *key = it->first;
      map->entries.erase(it);
      drop_ref(key);
    }
    return 0;
  }
  if (present) {
    it->second = coef;
    return 0;
  }
  try {
    map->entries.emplace_hint(it, var, coef);
  } catch (...) {
    return -1;
  }
  take_ref(var);
  return 0;
}

int linmap_add(linmap *map, const var_s *var, double coef) {
  if (coef == 0.0) return 0;
  int rc;
  if (append_at_end(map->entries, var, coef, &rc)) return rc;
  auto it = map->entries.lower_bound(var);
  if (it != map->entries.end() && !less_variable()(var, it->first)) {
    double sum = it->second + coef;
    if (sum == 0.0) {
      const var_s *key = it->first;
      map->entries.erase(it);
      drop_ref(key);
    } else {
      it->second = sum;
    }
    return 0;
  }
  try {
    map->entries.emplace_hint(it, var, coef);
  } catch (...) {
    return -1;
  }
  take_ref(var);
  return 0;
}

void linmap_del(linmap *map, const var_s *var) {
  auto it = map->entries.find(var);
  if (it == map->entries.end()) return;
  const var_s *key = it->first;
  map->entries.erase(it);
  drop_ref(key);
}

int linmap_copy(linmap **dst, const linmap *src) {
  linmap *copy = linmap_new();
  if (!copy) return -1;
  try {
    copy->entries = src->entries;
  } catch (...) {
    delete copy;
    return -1;
  }
  for (auto &entry : copy->entries) take_ref(entry.first);
  *dst = copy;
  return 0;
}

int linmap_scale(linmap *map, double factor) {
  for (auto it = map->entries.begin(); it != map->entries.end();) {
    it->second *= factor;
    if (it->second == 0.0) {
      const var_s *key = it->first;
      it = map->entries.erase(it);
      drop_ref(key);
    } else {
      ++it;
    }
  }
  return 0;
}

int linmap_next(const linmap *map, const var_s **key, double *value, map_cursor *cursor) {
  LinEntries::const_iterator it;
  if (!advance_cursor(map->entries, cursor, &it)) return 0;
  *key = it->first;
  *value = it->second;
  return 1;
}

void linmap_iter_free(map_cursor *cursor) { free_cursor(cursor); }

// ---- quadmap --------------------------------------------------------------

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

size_t quadmap_size(const quadmap *map) { return map ? map->terms : 0; }

int quadmap_get(const quadmap *map, const var_s *var, linmap **inner) {
  auto it = map->entries.find(var);
  if (it == map->entries.end()) return -1;
  if (inner) *inner = it->second;
  return 0;
}

int quadmap_set(quadmap *map, const var_s *var, linmap *inner) {
  auto it = map->entries.lower_bound(var);
  if (it != map->entries.end() && !less_variable()(var, it->first)) {
    map->terms -= it->second ? it->second->entries.size() : 0;
    it->second = inner;
  } else {
    try {
      map->entries.emplace_hint(it, var, inner);
    } catch (...) {
      return -1;
    }
    take_ref(var);
  }
  map->terms += inner ? inner->entries.size() : 0;
  return 0;
}

int quadmap_add(quadmap *map, const var_s *x, const var_s *y, double coef) {
  if (coef == 0.0) return 0;
  auto it = map->entries.lower_bound(x);
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
  size_t before = inner->entries.size();
  if (linmap_add(inner, y, coef) < 0) return -1;
  map->terms = map->terms - before + inner->entries.size();
  if (inner->entries.empty()) {
    const var_s *key = it->first;
    map->entries.erase(it);
    linmap_free(&inner);
    drop_ref(key);
  }
  return 0;
}

void quadmap_del(quadmap *map, const var_s *x, const var_s *y) {
  auto it = map->entries.find(x);
  if (it == map->entries.end()) return;
  linmap *inner = it->second;
  if (!linmap_has(inner, y)) return;
  linmap_del(inner, y);
  --map->terms;
  if (inner->entries.empty()) {
    const var_s *key = it->first;
    map->entries.erase(it);
    linmap_free(&inner);
    drop_ref(key);
  }
}

int quadmap_copy(quadmap **dst, const quadmap *src) {
  quadmap *copy = quadmap_new();
  if (!copy) return -1;
  for (auto &entry : src->entries) {
    linmap *inner = nullptr;
    if (linmap_copy(&inner, entry.second) < 0 || quadmap_set(copy, entry.first, inner) < 0) {
      linmap_free(&inner);
      quadmap_free(&copy);
      return -1;
    }
  }
  *dst = copy;
  return 0;
}

int quadmap_scale(quadmap *map, double factor) {
  for (auto it = map->entries.begin(); it != map->entries.end();) {
    linmap *inner = it->second;
    size_t before = inner->entries.size();
    linmap_scale(inner, factor);
    map->terms = map->terms - before + inner->entries.size();
    if (inner->entries.empty()) {
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
size_t rowcolmap_size(const rowcolmap *map) { return map->entries.size(); }
int rowcolmap_get(const rowcolmap *map, uint64_t key, PyObject **value) {
  PyObject *const *found = map->entries.find(key);
  if (!found) return -1;
  if (value) *value = *found;
  return 0;
}
bool rowcolmap_has(const rowcolmap *map, uint64_t key) { return map->entries.find(key) != nullptr; }
int rowcolmap_set(rowcolmap *map, uint64_t key, PyObject *value) { return map->entries.set(key, value) ? 0 : -1; }
void rowcolmap_del(rowcolmap *map, uint64_t key) { map->entries.erase(key); }
void rowcolmap_clear(rowcolmap *map) { map->entries.clear(); }
int rowcolmap_copy(rowcolmap **dst, const rowcolmap *src) {
  rowcolmap *copy = rowcolmap_new();
  if (!copy) return -1;
  try {
    copy->entries = src->entries;
  } catch (...) {
    delete copy;
    return -1;
  }
  *dst = copy;
  return 0;
}
// Entries come in no particular order. The cursor holds the next slot + 1.
int rowcolmap_next(const rowcolmap *map, uint64_t *key, PyObject **value, map_cursor *cursor) {
  size_t position = *cursor ? size_t(reinterpret_cast<uintptr_t>(*cursor)) - 1 : 0;
  if (!map->entries.next_entry(&position, key, value)) {
    *cursor = nullptr;
    return 0;
  }
  *cursor = reinterpret_cast<map_cursor>(uintptr_t(position) + 1);
  return 1;
}
void rowcolmap_iter_free(map_cursor *cursor) { *cursor = nullptr; }

// ---- indexset -------------------------------------------------------------

indexset *indexset_new(void) { return new (std::nothrow) indexset_s(); }
void indexset_free(indexset **set) {
  delete *set;
  *set = nullptr;
}
size_t indexset_size(const indexset *set) { return set->entries.size(); }
int indexset_add(indexset *set, int64_t index) {
  try {
    set->entries.insert(index);
  } catch (...) {
    return -1;
  }
  return 0;
}
bool indexset_has(const indexset *set, int64_t index) { return set->entries.count(index) != 0; }
void indexset_del(indexset *set, int64_t index) { set->entries.erase(index); }
int indexset_copy(indexset **dst, const indexset *src) {
  indexset *copy = indexset_new();
  if (!copy) return -1;
  try {
    copy->entries = src->entries;
  } catch (...) {
    delete copy;
    return -1;
  }
  *dst = copy;
  return 0;
}
int indexset_next(const indexset *set, int64_t *index, map_cursor *cursor) {
  std::set<int64_t>::const_iterator it;
  if (!advance_cursor(set->entries, cursor, &it)) return 0;
  *index = *it;
  return 1;
}
void indexset_iter_free(map_cursor *cursor) { free_cursor(cursor); }
