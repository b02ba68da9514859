// korvo.nonlinear: a node of a nonlinear expression tree.
#ifndef KORVO_NONLINEAR_H
#define KORVO_NONLINEAR_H

#include <Python.h>

#include <cstdint>

#include "python_model/korvo_module.h"

struct nonlin_s {
  PyObject_HEAD
  PyObject *args;  // list, tuple or single operand; one reference owned
  uint32_t op;     // operator code below; 0xFFFFFFFF for a fresh node
};

enum nonlin_op : uint32_t {
  NL_SUM = 0,        // list
  NL_MINUS = 1,      // 2-tuple (a, b)
  NL_NEG = 2,        // one operand
  NL_PROD = 3,       // list
  NL_DIV = 4,        // 2-tuple (numerator, denominator)
  NL_POW = 5,        // 2-tuple (base, exponent)
  NL_EXP = 6, NL_LOG = 7, NL_LOG10 = 8, NL_SIN = 9, NL_COS = 10, NL_TAN = 11,
  NL_ASIN = 12, NL_ACOS = 13, NL_ATAN = 14,
  NL_MAX = 15, NL_MIN = 16,
  NL_ABS = 17, NL_SIGN = 18, NL_ERF = 19, NL_ERFC = 20, NL_SQRT = 21,
  NL_AND = 22, NL_OR = 23,
  NL_PWL = 24, NL_USER = 25, NL_USER_DERIV = 26,
  NL_NONE = 0xFFFFFFFFu,
};

inline bool isNonlin(PyObject *obj) { return PyObject_TypeCheck(obj, &korvo_nonlinType); }
inline nonlin_s *as_nonlin(PyObject *obj) { return reinterpret_cast<nonlin_s *>(obj); }

PyObject *nonlin_new(PyTypeObject *type);
PyObject *nonlin_base(void);
// Creates a node after checking its operands: n-ary nodes take a tuple or
// list of expressions (for user functions headed by the callable), unary
// nodes one expression. The node takes a new reference to operands.
PyObject *nonlin_create(bool nary, uint32_t op, PyObject *operands);
PyObject *nonlin_instantiate_unary(uint32_t op, PyObject *x);
// op 0 or 3: args is the list [a, b] (swapped when a is not nonlinear); else the tuple (a, b).
PyObject *nonlin_instantiate_binary(uint32_t op, PyObject *a, PyObject *b);
// The node takes a new reference to list.
PyObject *nonlin_instantiate_nary(uint32_t op, PyObject *list);

// Uniform iteration over a node's operands (list, tuple or single operand):
// borrowed references, null at the end (with an exception set when node is
// not a nonlinear expression).
PyObject *nonlin_arg_first(PyObject *node, Py_ssize_t *i);
PyObject *nonlin_arg_next(PyObject *node, Py_ssize_t *i);
// Number of operands, -1 for an object that is not a node.
Py_ssize_t nonlin_arg_size(PyObject *node);

// Print name of an operator code, null for an unknown code.
const char *nonlin_op_name(uint32_t op);

PyObject *nonlin_add(PyObject *a, PyObject *b);
PyObject *nonlin_sub(PyObject *a, PyObject *b);
PyObject *nonlin_mul(PyObject *a, PyObject *b);
PyObject *nonlin_div(PyObject *a, PyObject *b);
PyObject *nonlin_pow(PyObject *a, PyObject *b, PyObject *m);
PyObject *nonlin_neg(PyObject *a);
PyObject *nonlin_abs(PyObject *a);
PyObject *nonlin_and(PyObject *a, PyObject *b);
PyObject *nonlin_or(PyObject *a, PyObject *b);
PyObject *nonlin_iadd(PyObject *a, PyObject *b);
PyObject *nonlin_isub(PyObject *a, PyObject *b);
PyObject *nonlin_imul(PyObject *a, PyObject *b);
PyObject *nonlin_idiv(PyObject *a, PyObject *b);
PyObject *nonlin_ipow(PyObject *a, PyObject *b, PyObject *m);

PyObject *nonlin_copy(PyObject *node, double factor);
PyObject *nonlin_alg_sum(PyObject *a, PyObject *b, double f);
PyObject *nonlin_incremental_alg_sum(PyObject *a, PyObject *b, double f);

// The linear (quadratic) terms that a tree holds additively, in the shape of
// expression.extractLinear (extractQuadratic).
PyObject *nonlin_extractLinear(PyObject *self, PyObject *unused);
PyObject *nonlin_extractQuadratic(PyObject *self, PyObject *unused);

PyObject *nonlin_str(PyObject *self);
PyObject *nonlin_cmp(PyObject *a, PyObject *b, int op);

#endif
