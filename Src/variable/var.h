// korvo.var: a decision variable packed into one 64-bit word.
//
// Layout of info:
//   bits  0-51  identity (from the module's variable counter)
//   bits 52-53  lower-bound code: 0 -> 0.0, 1 -> -1e20, 2 -> 1.0, 3 -> lower-bound map
//   bit  54     lower bound stored in the map
//   bits 55-56  upper-bound code: 0 -> +1e20, 1 -> 0.0, 2 -> 1.0, 3 -> upper-bound map
//   bit  57     upper bound stored in the map
//   bit  58     threshold stored in the map (else -1e20)
//   bit  59     name stored in the name map (else "C<id>")
//   bits 60-62  variable type
//   bit  63     name made from the vars() call's pattern (name_patterns.h)
#ifndef KORVO_VAR_H
#define KORVO_VAR_H

#include <Python.h>

#include <cstdint>

#include "python_model/korvo_module.h"

struct var_s {
  PyObject_HEAD
  uint64_t info;
};

constexpr uint64_t VAR_ID_MASK = 0xFFFFFFFFFFFFFULL;
constexpr int VAR_LB_SHIFT = 52;
constexpr uint64_t VAR_LB_CODE = 3ULL << VAR_LB_SHIFT;
constexpr uint64_t VAR_LB_STORED = 1ULL << 54;
constexpr int VAR_UB_SHIFT = 55;
constexpr uint64_t VAR_UB_CODE = 3ULL << VAR_UB_SHIFT;
constexpr uint64_t VAR_UB_STORED = 1ULL << 57;
constexpr uint64_t VAR_THOLD_STORED = 1ULL << 58;
constexpr uint64_t VAR_NAME_STORED = 1ULL << 59;
constexpr uint64_t VAR_NAME_PATTERN = 1ULL << 63;
constexpr int VAR_TYPE_SHIFT = 60;
constexpr uint64_t VAR_TYPE_MASK = 7ULL << VAR_TYPE_SHIFT;

constexpr double KRV_INFINITY = 1e20;

inline uint64_t var_id(uint64_t info) { return info & VAR_ID_MASK; }
inline uint64_t var_id(const var_s *v) { return v->info & VAR_ID_MASK; }
inline bool isVar(PyObject *obj) { return PyObject_TypeCheck(obj, &korvo_varType); }
inline var_s *as_var(PyObject *obj) { return reinterpret_cast<var_s *>(obj); }

// Orders variables by identity, i.e. by creation order.
struct less_variable {
  bool operator()(const var_s *a, const var_s *b) const {
    return static_cast<int64_t>(a->info & VAR_ID_MASK) < static_cast<int64_t>(b->info & VAR_ID_MASK);
  }
};
inline bool same_variable(const var_s *a, const var_s *b) { return var_id(a) == var_id(b); }

// Allocates a variable of the given type with a fresh identity (no constructor run).
PyObject *var_new(PyTypeObject *type);
// var_new for korvo.var: default bounds, continuous, default name.
PyObject *var_base(void);
// Reserves count consecutive identities; returns the first one.
uint64_t var_take_ids(uint64_t count);

double get_var_lbound(uint64_t info);
int set_var_lbound(uint64_t *info, double value);
double get_var_ubound(uint64_t info);
int set_var_ubound(uint64_t *info, double value);
double get_var_thold(uint64_t info);
int set_var_thold(uint64_t *info, double value);
int get_var_type(uint64_t info);
void set_var_type(uint64_t *info, int64_t type);
// 0 for one of the six variable types; otherwise -1 with ModelError set.
int check_var_type(long long type);
// A name of the variable's own (given, or from its vars() call), as opposed
// to the default "C<id>".
inline bool var_has_own_name(uint64_t info) { return (info & (VAR_NAME_STORED | VAR_NAME_PATTERN)) != 0; }
// New reference to the variable's own name or to a new "C<id>" string.
PyObject *get_var_name(uint64_t info);
// Stores name (a new reference is taken); 0 or -1 with an exception set.
int set_var_name(uint64_t *info, PyObject *name);

Py_hash_t var_hash(PyObject *self);
// factor 1: the variable; 0: the float 0.0; otherwise the linear term factor*var.
PyObject *var_copy(PyObject *var, double factor);
PyObject *var_extractLinear(PyObject *self, PyObject *unused);
PyObject *var_extractQuadratic(PyObject *self, PyObject *unused);
PyObject *var_str(PyObject *self);

#endif
