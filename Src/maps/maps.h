// Maps of the modelling layer behind a plain function interface and opaque
// handles. Expression maps (linmap, quadmap) and index sets are ordered;
// the identity-keyed tables (rowcolmap, boundmap, namemap) are hash tables
// whose iteration order is unspecified.
#ifndef KORVO_MAPS_H
#define KORVO_MAPS_H

#include <Python.h>

#include <cstddef>
#include <cstdint>

struct var_s;

typedef struct linmap_s linmap;      // variable -> coefficient; owns a reference to each key
typedef struct quadmap_s quadmap;    // variable -> inner linmap; owns outer keys and inner maps
typedef struct rowcolmap_s rowcolmap;  // unsigned 64-bit id -> borrowed object or index
typedef struct indexset_s indexset;  // set of signed 64-bit integers
typedef struct boundmap_s boundmap;  // unsigned 64-bit id -> double
typedef struct namemap_s namemap;    // unsigned 64-bit id -> owned Python str
typedef void *map_cursor;            // iteration cursor, null when not started

// One entry of a linear map as its readers see it.
struct linmap_entry {
  const var_s *key;
  double coef;
};

// Variable-keyed maps order their keys by variable identity (creation order),
// never by address. Coefficients are never stored as 0.0: setting or summing
// to zero removes the entry and releases the key.
linmap *linmap_new(void);
// A map placed inside memory its owner allocated (an expression object holds
// its linear map in its own block): linmap_embedded_size(room) bytes, 8-byte
// aligned, with inline room for `room` entries (at least 1, at most kLinmapMaxEmbeddedRoom).
// linmap_free on it releases the keys and any block it grew into, never the
// memory itself.
constexpr size_t kLinmapMaxEmbeddedRoom = 16;
size_t linmap_embedded_size(size_t room);
linmap *linmap_embed(void *memory, size_t room);
// An embedded map may also stand unused (an owner without a linear part):
// linmap_embed_unused places it so, linmap_use puts it to use (empty) and
// linmap_release releases its keys and any block and makes it unused again.
// Only a map in use is handed to the other functions.
void linmap_embed_unused(void *memory, size_t room);
bool linmap_in_use(const linmap *map);
void linmap_use(linmap *map);
void linmap_release(linmap *map);
void linmap_free(linmap **map);
// A mark the map's owner keeps for itself (the map is unchanged by it): an
// expression shared as a constraint's body is no longer amended in place.
void linmap_freeze(linmap *map);
bool linmap_frozen(const linmap *map);
size_t linmap_size(const linmap *map);
int linmap_get(const linmap *map, const var_s *var, double *coef);  // 0 present, -1 absent
bool linmap_has(const linmap *map, const var_s *var);
int linmap_set(linmap *map, const var_s *var, double coef);
int linmap_add(linmap *map, const var_s *var, double coef);
void linmap_del(linmap *map, const var_s *var);
int linmap_copy(linmap **dst, const linmap *src);
// Multiplies every coefficient by factor (nonzero); entries that underflow to 0 go.
int linmap_scale(linmap *map, double factor);
int linmap_next(const linmap *map, const var_s **key, double *value, map_cursor *cursor);
// The entries in identity order, *size of them (an empty map or none: 0),
// for loops over every term: valid until the map changes.
const linmap_entry *linmap_data(const linmap *map, size_t *size);
// dst (empty) = first + factor * second, either of them may be null: one
// ordered merge; sums and products of exactly 0 are left out. 0, or -1
// with dst unchanged.
int linmap_assign_sum(linmap *dst, const linmap *first, const linmap *second, double factor);
// dst (empty) = fa * a + fb * b for entry spans sorted by identity without
// repeats (a map's linmap_data, or one term): the same one merge.
int linmap_assign_combination(linmap *dst, const linmap_entry *a, size_t n, double fa, const linmap_entry *b, size_t m,
                              double fb);
// Number of distinct keys of first and second (either may be null).
size_t linmap_union_size(const linmap *first, const linmap *second);
void linmap_iter_free(map_cursor *cursor);
// Room for count entries in total, so that adding up to that many allocates
// nothing more; 0, or -1 (map unchanged) without memory.
int linmap_reserve(linmap *map, size_t count);
// Adds factor times every entry of src to dst (src may be dst): one linear
// merge rather than an insert per entry. 0, or -1 with dst unchanged.
int linmap_add_scaled(linmap *dst, const linmap *src, double factor);

quadmap *quadmap_new(void);
void quadmap_free(quadmap **map);
size_t quadmap_size(const quadmap *map);  // number of (x, y) terms
int quadmap_get(const quadmap *map, const var_s *var, linmap **inner);  // 0 present, -1 absent
int quadmap_set(quadmap *map, const var_s *var, linmap *inner);  // takes over inner
int quadmap_add(quadmap *map, const var_s *x, const var_s *y, double coef);
void quadmap_del(quadmap *map, const var_s *x, const var_s *y);
int quadmap_copy(quadmap **dst, const quadmap *src);
int quadmap_scale(quadmap *map, double factor);
int quadmap_next(const quadmap *map, const var_s **key, linmap **inner, map_cursor *cursor);
void quadmap_iter_free(map_cursor *cursor);

rowcolmap *rowcolmap_new(void);
void rowcolmap_free(rowcolmap **map);
size_t rowcolmap_size(const rowcolmap *map);
int rowcolmap_get(const rowcolmap *map, uint64_t key, PyObject **value);  // 0 present, -1 absent
// The index values (as ints) of the variables of n map entries, into
// indices; returns how many were found before the first absent one (n when
// all were).
size_t rowcolmap_get_indices(const rowcolmap *map, const linmap_entry *entries, size_t n, int *indices);
bool rowcolmap_has(const rowcolmap *map, uint64_t key);
int rowcolmap_set(rowcolmap *map, uint64_t key, PyObject *value);
void rowcolmap_del(rowcolmap *map, uint64_t key);
void rowcolmap_clear(rowcolmap *map);
// Room for `count` more keys, so that adding them never regrows the table;
// 0, or -1 (map unchanged) without memory.
int rowcolmap_reserve(rowcolmap *map, size_t count);
int rowcolmap_copy(rowcolmap **dst, const rowcolmap *src);
int rowcolmap_next(const rowcolmap *map, uint64_t *key, PyObject **value, map_cursor *cursor);
void rowcolmap_iter_free(map_cursor *cursor);

indexset *indexset_new(void);
void indexset_free(indexset **set);
size_t indexset_size(const indexset *set);
int indexset_add(indexset *set, int64_t index);
bool indexset_has(const indexset *set, int64_t index);
void indexset_del(indexset *set, int64_t index);
int indexset_copy(indexset **dst, const indexset *src);
int indexset_next(const indexset *set, int64_t *index, map_cursor *cursor);
void indexset_iter_free(map_cursor *cursor);

boundmap *boundmap_new(void);
void boundmap_free(boundmap **map);
double boundmap_get(const boundmap *map, uint64_t key);
bool boundmap_has(const boundmap *map, uint64_t key);
int boundmap_set(boundmap *map, uint64_t key, double value);
void boundmap_del(boundmap *map, uint64_t key);

namemap *namemap_new(void);
void namemap_free(namemap **map);
PyObject *namemap_get(const namemap *map, uint64_t key);  // borrowed
bool namemap_has(const namemap *map, uint64_t key);
int namemap_set(namemap *map, uint64_t key, PyObject *name);  // steals the reference
void namemap_del(namemap *map, uint64_t key);
int namemap_next(const namemap *map, uint64_t *key, PyObject **value, map_cursor *cursor);
void namemap_iter_free(map_cursor *cursor);

#endif
