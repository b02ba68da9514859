// Ordered maps of the modelling layer behind a plain function interface.
// Each map is a standard ordered container behind an opaque handle.
#ifndef KORVO_MAPS_H
#define KORVO_MAPS_H

#include <Python.h>

#include <cstdint>

typedef struct boundmap_s boundmap;  // unsigned 64-bit id -> double
typedef struct namemap_s namemap;    // unsigned 64-bit id -> owned Python str
typedef void *map_cursor;            // iteration cursor, null when not started

boundmap *boundmap_new(void);
void boundmap_free(boundmap **map);
double boundmap_get(const boundmap *map, uint64_t key);
bool boundmap_has(const boundmap *map, uint64_t key);
int boundmap_set(boundmap *map, uint64_t key, double value);
void boundmap_del(boundmap *map, uint64_t key);
int boundmap_next(const boundmap *map, uint64_t *key, double *value, map_cursor *cursor);
void boundmap_iter_free(map_cursor *cursor);

namemap *namemap_new(void);
void namemap_free(namemap **map);
PyObject *namemap_get(const namemap *map, uint64_t key);  // borrowed
bool namemap_has(const namemap *map, uint64_t key);
int namemap_set(namemap *map, uint64_t key, PyObject *name);  // steals the reference
void namemap_del(namemap *map, uint64_t key);
int namemap_next(const namemap *map, uint64_t *key, PyObject **value, map_cursor *cursor);
void namemap_iter_free(map_cursor *cursor);

#endif
