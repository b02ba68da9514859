// Side-table maps (bounds and names keyed by object identity).
#include <map>
#include <new>

#include "maps/maps.h"

struct boundmap_s {
  std::map<uint64_t, double> entries;
};
struct namemap_s {
  std::map<uint64_t, PyObject *> entries;
};

namespace {

// Generic cursor over one std::map: created at the first call, freed at the end.
template <class Map, class Value>
int map_next(const Map &entries, uint64_t *key, Value *value, map_cursor *cursor) {
  using It = typename Map::const_iterator;
  It *it = static_cast<It *>(*cursor);
  if (!it) {
    it = new (std::nothrow) It(entries.begin());
    if (!it) return 0;
    *cursor = it;
  }
  if (*it == entries.end()) {
    delete it;
    *cursor = nullptr;
    return 0;
  }
  *key = (*it)->first;
  *value = (*it)->second;
  ++*it;
  return 1;
}

// Sets entries[key]. New objects take the largest identity so far, so most
// keys go at the end, where a hinted insert takes constant time.
template <class Map, class Value>
void map_set(Map &entries, uint64_t key, Value value) {
  if (entries.empty() || entries.rbegin()->first < key)
    entries.emplace_hint(entries.end(), key, value);
  else
    entries[key] = value;
}

}  // namespace

boundmap *boundmap_new(void) { return new (std::nothrow) boundmap_s(); }
void boundmap_free(boundmap **map) {
  delete *map;
  *map = nullptr;
}
double boundmap_get(const boundmap *map, uint64_t key) {
  auto it = map->entries.find(key);
  return it == map->entries.end() ? 0.0 : it->second;
}
bool boundmap_has(const boundmap *map, uint64_t key) { return map->entries.count(key) != 0; }
int boundmap_set(boundmap *map, uint64_t key, double value) {
  try {
    map_set(map->entries, key, value);
    return 0;
  } catch (...) {
    return -1;
  }
}
void boundmap_del(boundmap *map, uint64_t key) { map->entries.erase(key); }
int boundmap_next(const boundmap *map, uint64_t *key, double *value, map_cursor *cursor) {
  return map_next(map->entries, key, value, cursor);
}
void boundmap_iter_free(map_cursor *cursor) {
  delete static_cast<std::map<uint64_t, double>::const_iterator *>(*cursor);
  *cursor = nullptr;
}

namemap *namemap_new(void) { return new (std::nothrow) namemap_s(); }
void namemap_free(namemap **map) {
  if (*map) {
    for (auto &entry : (*map)->entries) Py_XDECREF(entry.second);
  }
  delete *map;
  *map = nullptr;
}
PyObject *namemap_get(const namemap *map, uint64_t key) {
  auto it = map->entries.find(key);
  return it == map->entries.end() ? nullptr : it->second;
}
bool namemap_has(const namemap *map, uint64_t key) { return map->entries.count(key) != 0; }
int namemap_set(namemap *map, uint64_t key, PyObject *name) {
  try {
    map_set(map->entries, key, name);
    return 0;
  } catch (...) {
    return -1;
  }
}
void namemap_del(namemap *map, uint64_t key) {
  auto it = map->entries.find(key);
  if (it == map->entries.end()) return;
  PyObject *name = it->second;
  map->entries.erase(it);
  Py_XDECREF(name);
}
int namemap_next(const namemap *map, uint64_t *key, PyObject **value, map_cursor *cursor) {
  return map_next(map->entries, key, value, cursor);
}
void namemap_iter_free(map_cursor *cursor) {
  delete static_cast<std::map<uint64_t, PyObject *>::const_iterator *>(*cursor);
  *cursor = nullptr;
}
