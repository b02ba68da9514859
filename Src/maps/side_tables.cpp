// Side-table maps (bounds and names keyed by object identity). Objects
// store an entry here only when their flag bit says so, and every lookup
// of such a bound or name goes through one hash probe.
#include <new>

#include "maps/id_table.h"
#include "maps/maps.h"

struct boundmap_s {
  IdTable<double> entries;
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
  const double *found = map->entries.find(key);
  return found ? *found : 0.0;
}
bool boundmap_has(const boundmap *map, uint64_t key) { return map->entries.find(key) != nullptr; }
int boundmap_set(boundmap *map, uint64_t key, double value) { return map->entries.set(key, value) ? 0 : -1; }
void boundmap_del(boundmap *map, uint64_t key) { map->entries.erase(key); }
int boundmap_next(const boundmap *map, uint64_t *key, double *value, map_cursor *cursor) {
  return table_next(map->entries, key, value, cursor);
}
void boundmap_iter_free(map_cursor *cursor) { *cursor = nullptr; }

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
