// korvo.linterm: a coefficient times one variable.
#include "expression/linterm.h"

#include <cstdio>

#include "constraint/constraint.h"
#include "expression/arithmetic.h"
#include "python_model/docstrings.h"
#include "python_model/pyref.h"

namespace {

void linterm_dealloc(PyObject *self) {
  Py_XDECREF(reinterpret_cast<PyObject *>(as_linterm(self)->var));
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef linterm_methods[] = {
    {"extractLinear", linterm_extractLinear, METH_NOARGS,
     KORVO_DOC("Returns the linear part of the term.", "(vars, coefs) = t.extractLinear()", KORVO_NO_ARGS,
               "(2*x).extractLinear()  # ([x], [2.0])", "See also extractQuadratic.")},
    {"extractQuadratic", linterm_extractQuadratic, METH_NOARGS,
     KORVO_DOC("Returns the quadratic part of the term, which is empty.",
               "(vars1, vars2, coefs) = t.extractQuadratic()", KORVO_NO_ARGS,
               "(2*x).extractQuadratic()  # ([], [], [])", "See also extractLinear.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject *linterm_new(PyTypeObject *type) {
  PyObject *obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  as_linterm(obj)->coef = 0.0;
  as_linterm(obj)->var = nullptr;
  return obj;
}

// One per element of scaled variable arrays: skip the generic allocator.
PyObject *linterm_base(void) {
  linterm_s *t = PyObject_New(linterm_s, &korvo_lintermType);
  if (!t) return nullptr;
  t->coef = 0.0;
  t->var = nullptr;
  return reinterpret_cast<PyObject *>(t);
}

PyObject *linterm_fill(PyObject *var, double coef) {
  if (coef == 0.0) return PyFloat_FromDouble(0.0);
  PyObject *obj = linterm_base();
  if (!obj) return nullptr;
  as_linterm(obj)->coef = coef;
  as_linterm(obj)->var = reinterpret_cast<var_s *>(Py_NewRef(var));
  return obj;
}

PyObject *linterm_copy(PyObject *term, double factor) {
  if (!isLinterm(term) || !as_linterm(term)->var) {
    PyErr_SetString(korvo_model_error, "Linterm copy using an invalid object");
    return nullptr;
  }
  return linterm_fill(reinterpret_cast<PyObject *>(as_linterm(term)->var), factor * as_linterm(term)->coef);
}

PyObject *linterm_neg(PyObject *term) { return linterm_copy(term, -1.0); }

PyObject *linterm_str(PyObject *self) {
  linterm_s *t = as_linterm(self);
  if (!t->var) return PyUnicode_FromString("<empty linear term>");
  PyRef name(var_str(reinterpret_cast<PyObject *>(t->var)));
  if (!name) return nullptr;
  if (t->coef == 1.0) return name.release();
  char prefix[512];
  snprintf(prefix, sizeof prefix, "%g*", t->coef);
  return PyUnicode_FromFormat("%s%S", prefix, name.get());
}

PyObject *linterm_extractLinear(PyObject *self, PyObject *) {
  linterm_s *t = as_linterm(self);
  if (!t->var) return Py_BuildValue("([][])");
  return Py_BuildValue("([O][d])", reinterpret_cast<PyObject *>(t->var), t->coef);
}

PyObject *linterm_extractQuadratic(PyObject *, PyObject *) { return Py_BuildValue("([][][])"); }

PyTypeObject korvo_lintermType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.linterm",
    .tp_basicsize = sizeof(linterm_s),
    .tp_dealloc = linterm_dealloc,
    .tp_repr = linterm_str,
    .tp_as_number = &linterm_number_methods,
    .tp_str = linterm_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = KORVO_DOC("A linear term: a coefficient times a variable.", "t = 3 * x",
                        KORVO_NO_ARGS,
                        "t = 2 * korvo.var()",
                        "Objects of this class cannot be created explicitly by the user; they result from "
                        "multiplying a variable by a number."),
    .tp_richcompare = linterm_cmp,
    .tp_methods = linterm_methods,
};
