// korvo.quadterm: a coefficient times the product of two variables.
#ifndef KORVO_QUADTERM_H
#define KORVO_QUADTERM_H

#include <Python.h>

#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "variable/var.h"

struct quadterm_s {
  PyObject_HEAD
  double coef;
  var_s *first;   // the variable with the smaller (or equal) identity
  var_s *second;  // the same object as first for a square
};

inline bool isQuadterm(PyObject *obj) { return is_operand_of_type(obj, &korvo_quadtermType); }
inline quadterm_s *as_quadterm(PyObject *obj) { return reinterpret_cast<quadterm_s *>(obj); }

PyObject *quadterm_new(PyTypeObject *type);
PyObject *quadterm_base(void);
// A new term coef*x*y with the variables ordered by identity; a zero
// coefficient is kept.
PyObject *quadterm_fill(PyObject *x, PyObject *y, double coef);
PyObject *quadterm_copy(PyObject *term, double factor);
PyObject *quadterm_neg(PyObject *term);
PyObject *quadterm_str(PyObject *self);
PyObject *quadterm_extractLinear(PyObject *self, PyObject *unused);
PyObject *quadterm_extractQuadratic(PyObject *self, PyObject *unused);

#endif
