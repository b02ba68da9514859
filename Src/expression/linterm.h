// korvo.linterm: a coefficient times one variable.
#ifndef KORVO_LINTERM_H
#define KORVO_LINTERM_H

#include <Python.h>

#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "variable/var.h"

struct linterm_s {
  PyObject_HEAD
  double coef;
  var_s *var;  // one reference owned; null only for a term made by korvo.linterm()
};

inline bool isLinterm(PyObject *obj) { return is_operand_of_type(obj, &korvo_lintermType); }
inline linterm_s *as_linterm(PyObject *obj) { return reinterpret_cast<linterm_s *>(obj); }

PyObject *linterm_new(PyTypeObject *type);
PyObject *linterm_base(void);
// coef 0: the float 0.0; otherwise a new term holding a reference to var.
PyObject *linterm_fill(PyObject *var, double coef);
PyObject *linterm_copy(PyObject *term, double factor);
PyObject *linterm_neg(PyObject *term);
PyObject *linterm_str(PyObject *self);
PyObject *linterm_extractLinear(PyObject *self, PyObject *unused);
PyObject *linterm_extractQuadratic(PyObject *self, PyObject *unused);

#endif
