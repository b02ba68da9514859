// korvo.constraint: a body between a lower and an upper bound.
//
// Layout of info:
//   bits  0-56  identity (from the module's constraint counter)
//   bits 57-58  lower-bound code: 0 -> -1e20, 1 -> 0.0, 2 -> 1.0, 3 -> lower-bound map
//   bit  59     lower bound stored in the map
//   bits 60-61  upper-bound code: 0 -> +1e20, 1 -> 0.0, 2 -> 1.0, 3 -> upper-bound map
//   bit  62     upper bound stored in the map
//   bit  63     name stored in the name map (else "R<id>")
#ifndef KORVO_CONSTRAINT_H
#define KORVO_CONSTRAINT_H

#include <Python.h>

#include <cstdint>

#include "python_model/korvo_module.h"

struct constraint_s {
  PyObject_HEAD
  uint64_t info;
  PyObject *body;  // one reference owned; null for a constraint without body
};

constexpr uint64_t CON_ID_MASK = 0x1FFFFFFFFFFFFFFULL;
// Set when the constraint's name lives in the name side table; otherwise
// its name is "R" followed by its identity.
constexpr uint64_t CON_NAME_STORED = 1ULL << 63;

inline bool isConstraint(PyObject *obj) { return PyObject_TypeCheck(obj, &korvo_constraintType); }
inline constraint_s *as_constraint(PyObject *obj) { return reinterpret_cast<constraint_s *>(obj); }
inline uint64_t con_id(uint64_t info) { return info & CON_ID_MASK; }

PyObject *constraint_new(PyTypeObject *type);
// A new constraint with a fresh identity, free bounds and no body.
PyObject *constraint_base(void);
PyObject *constraint_copy(PyObject *self, PyObject *unused);

double get_con_lbound(uint64_t info);
int set_con_lbound(uint64_t *info, double value);
double get_con_ubound(uint64_t info);
int set_con_ubound(uint64_t *info, double value);
PyObject *get_con_name(uint64_t info);  // new reference
int set_con_name(uint64_t *info, PyObject *name);

// lhs op rhs as a constraint (op a rich-comparison code); NumPy arrays are
// compared element-wise by NumPy.
PyObject *make_constraint(PyObject *lhs, PyObject *rhs, int op);
PyObject *var_cmp(PyObject *a, PyObject *b, int op);
PyObject *linterm_cmp(PyObject *a, PyObject *b, int op);
PyObject *quadterm_cmp(PyObject *a, PyObject *b, int op);
PyObject *expression_cmp(PyObject *a, PyObject *b, int op);

#endif
