// korvo.quadterm: a coefficient times the product of two variables.
#include "expression/quadterm.h"

#include <cstdio>
#include <utility>

#include "constraint/constraint.h"
#include "expression/arithmetic.h"
#include "python_model/docstrings.h"
#include "python_model/pyref.h"

namespace {

void quadterm_dealloc(PyObject *self) {
  Py_XDECREF(reinterpret_cast<PyObject *>(as_quadterm(self)->first));
  Py_XDECREF(reinterpret_cast<PyObject *>(as_quadterm(self)->second));
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef quadterm_methods[] = {
    {"extractLinear", quadterm_extractLinear, METH_NOARGS,
     KORVO_DOC("Returns the linear part of the term, which is empty.", "(vars, coefs) = t.extractLinear()",
               KORVO_NO_ARGS, "(x*y).extractLinear()  # ([], [])", "See also extractQuadratic.")},
    {"extractQuadratic", quadterm_extractQuadratic, METH_NOARGS,
     KORVO_DOC("Returns the quadratic part of the term.", "(vars1, vars2, coefs) = t.extractQuadratic()",
               KORVO_NO_ARGS, "(2*x*y).extractQuadratic()  # ([x], [y], [2.0])",
               "The variable with the smaller identity comes first; see also extractLinear.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject *quadterm_new(PyTypeObject *type) {
  PyObject *obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  as_quadterm(obj)->coef = 0.0;
  as_quadterm(obj)->first = nullptr;
  as_quadterm(obj)->second = nullptr;
  return obj;
}

// One per element of products of variable arrays: skip the generic allocator.
PyObject *quadterm_base(void) {
  quadterm_s *t = PyObject_New(quadterm_s, &korvo_quadtermType);
  if (!t) return nullptr;
  t->coef = 0.0;
  t->first = nullptr;
  t->second = nullptr;
  return reinterpret_cast<PyObject *>(t);
}

PyObject *quadterm_fill(PyObject *x, PyObject *y, double coef) {
  PyObject *obj = quadterm_base();
  if (!obj) return nullptr;
  if (less_variable()(as_var(y), as_var(x))) std::swap(x, y);
  quadterm_s *t = as_quadterm(obj);
  t->coef = coef;
  t->first = reinterpret_cast<var_s *>(Py_NewRef(x));
  t->second = reinterpret_cast<var_s *>(Py_NewRef(y));
  return obj;
}

PyObject *quadterm_copy(PyObject *term, double factor) {
  quadterm_s *t = as_quadterm(term);
  if (!isQuadterm(term) || !t->first || !t->second) {
    PyErr_SetString(korvo_model_error, "Quadterm copy using an invalid object");
    return nullptr;
  }
  return quadterm_fill(reinterpret_cast<PyObject *>(t->first), reinterpret_cast<PyObject *>(t->second),
                       factor * t->coef);
}

PyObject *quadterm_neg(PyObject *term) { return quadterm_copy(term, -1.0); }

PyObject *quadterm_str(PyObject *self) {
  quadterm_s *t = as_quadterm(self);
  if (!t->first || !t->second) return PyUnicode_FromString("<empty quadratic term>");
  char prefix[512] = "";
  if (t->coef != 1.0) snprintf(prefix, sizeof prefix, "%g*", t->coef);
  PyRef first(var_str(reinterpret_cast<PyObject *>(t->first)));
  if (!first) return nullptr;
  if (same_variable(t->first, t->second)) return PyUnicode_FromFormat("%s%S**2", prefix, first.get());
  PyRef second(var_str(reinterpret_cast<PyObject *>(t->second)));
  if (!second) return nullptr;
  return PyUnicode_FromFormat("%s%S*%S", prefix, first.get(), second.get());
}

PyObject *quadterm_extractLinear(PyObject *, PyObject *) { return Py_BuildValue("([][])"); }

PyObject *quadterm_extractQuadratic(PyObject *self, PyObject *) {
  quadterm_s *t = as_quadterm(self);
  if (!t->first || !t->second) return Py_BuildValue("([][][])");
  return Py_BuildValue("([O][O][d])", reinterpret_cast<PyObject *>(t->first),
                       reinterpret_cast<PyObject *>(t->second), t->coef);
}

PyTypeObject korvo_quadtermType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.quadterm",
    .tp_basicsize = sizeof(quadterm_s),
    .tp_dealloc = quadterm_dealloc,
    .tp_repr = quadterm_str,
    .tp_as_number = &quadterm_number_methods,
    .tp_str = quadterm_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = KORVO_DOC("A quadratic term: a coefficient times the product of two variables.", "t = 3 * x * y",
                        KORVO_NO_ARGS, "t = x * y",
                        "Objects of this class cannot be created explicitly by the user; they result from "
                        "multiplying variables or linear terms."),
    .tp_richcompare = quadterm_cmp,
    .tp_methods = quadterm_methods,
};
