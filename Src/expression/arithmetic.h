// Arithmetic of variables, terms and expressions: the number protocol of the
// four types, the general_* family (any operand pair, None meaning an empty
// accumulator) and the constant_* family (two numbers).
#ifndef KORVO_ARITHMETIC_H
#define KORVO_ARITHMETIC_H

#include <Python.h>

extern PyNumberMethods var_number_methods;
extern PyNumberMethods linterm_number_methods;
extern PyNumberMethods quadterm_number_methods;
extern PyNumberMethods expression_number_methods;

// Slot functions; each takes the operands in source order.
#define KORVO_ARITH_SLOTS(T)                          \
  PyObject *T##_add(PyObject *a, PyObject *b);        \
  PyObject *T##_sub(PyObject *a, PyObject *b);        \
  PyObject *T##_mul(PyObject *a, PyObject *b);        \
  PyObject *T##_div(PyObject *a, PyObject *b);        \
  PyObject *T##_pow(PyObject *a, PyObject *b, PyObject *m); \
  PyObject *T##_neg(PyObject *a);                     \
  PyObject *T##_abs(PyObject *a);                     \
  PyObject *T##_and(PyObject *a, PyObject *b);        \
  PyObject *T##_or(PyObject *a, PyObject *b);         \
  PyObject *T##_iadd(PyObject *a, PyObject *b);       \
  PyObject *T##_isub(PyObject *a, PyObject *b);       \
  PyObject *T##_imul(PyObject *a, PyObject *b);       \
  PyObject *T##_idiv(PyObject *a, PyObject *b);       \
  PyObject *T##_ipow(PyObject *a, PyObject *b, PyObject *m);
KORVO_ARITH_SLOTS(var)
KORVO_ARITH_SLOTS(linterm)
KORVO_ARITH_SLOTS(quadterm)
KORVO_ARITH_SLOTS(expression)
#undef KORVO_ARITH_SLOTS

// a + f*b (f is +1 or -1), a new object.
PyObject *linterm_alg_sum(PyObject *a, PyObject *b, double f);
PyObject *quadterm_alg_sum(PyObject *a, PyObject *b, double f);
PyObject *expression_alg_sum(PyObject *a, PyObject *b, double f);
// acc + f*b; an expression acc is amended in place (and returned with a new reference).
PyObject *expression_incremental_alg_sum(PyObject *acc, PyObject *b, double f);
// k times obj; *code caches obj's kind (pass -2 when unknown).
PyObject *multiply_by_const_expr(PyObject *obj, int *code, double k);

PyObject *general_add(PyObject *a, PyObject *b);
PyObject *general_sub(PyObject *a, PyObject *b);
PyObject *general_mul(PyObject *a, PyObject *b);
PyObject *general_div(PyObject *a, PyObject *b);
PyObject *general_pow(PyObject *a, PyObject *b);
PyObject *general_sqr(PyObject *a);
PyObject *general_neg(PyObject *a);
PyObject *general_and(PyObject *a, PyObject *b);
PyObject *general_or(PyObject *a, PyObject *b);
PyObject *general_iadd(PyObject *a, PyObject *b);
PyObject *general_isub(PyObject *a, PyObject *b);
PyObject *general_imul(PyObject *a, PyObject *b);
PyObject *general_idiv(PyObject *a, PyObject *b);
PyObject *general_ipow(PyObject *a, PyObject *b);

PyObject *constant_add(PyObject *a, PyObject *b);
PyObject *constant_sub(PyObject *a, PyObject *b);
PyObject *constant_mul(PyObject *a, PyObject *b);
PyObject *constant_div(PyObject *a, PyObject *b);
PyObject *constant_pow(PyObject *a, PyObject *b);
PyObject *constant_neg(PyObject *a);
PyObject *constant_and(PyObject *a, PyObject *b);
PyObject *constant_or(PyObject *a, PyObject *b);
PyObject *constant_iadd(PyObject *a, PyObject *b);
PyObject *constant_isub(PyObject *a, PyObject *b);
PyObject *constant_imul(PyObject *a, PyObject *b);
PyObject *constant_idiv(PyObject *a, PyObject *b);
PyObject *constant_ipow(PyObject *a, PyObject *b);

#endif
