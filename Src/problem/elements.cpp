// Elements given to the problem constructor: a name, variables,
// constraints, sets (or containers of them) and at most one objective.
#include "constraint/constraint.h"
#include "constraint/sos.h"
#include "expression/expression.h"
#include "knls.h"
#include "krvs.h"
#include "maps/maps.h"
#include "numpy_types/npy_api.h"
#include "problem/problem_methods.h"
#include "problem/walk.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

enum leaf_kind { LEAF_OTHER = -1, LEAF_VARIABLE = 0, LEAF_CONSTRAINT = 1, LEAF_SOS = 2, LEAF_EXPRESSION = 3, LEAF_STRING = 4 };

int getLeafType(problem_s *, PyObject *leaf, void *context) {
  int *kind = static_cast<int *>(context);
  if (isVar(leaf))
    *kind = LEAF_VARIABLE;
  else if (isConstraint(leaf))
    *kind = LEAF_CONSTRAINT;
  else if (isSos(leaf))
    *kind = LEAF_SOS;
  else if (exprKind(leaf) >= EXPR_LINTERM || isExpression(leaf))
    *kind = LEAF_EXPRESSION;
  else if (PyUnicode_Check(leaf) || PyBytes_Check(leaf))
    *kind = LEAF_STRING;
  else
    *kind = LEAF_OTHER;
  return WALK_STOP;
}

// Kind of the first leaf of obj; no_leaf when obj holds none.
constexpr int kNoLeaf = -2;
int first_leaf_kind(problem_s *p, PyObject *obj, int *kind) {
  *kind = kNoLeaf;
  return walkLeaves(p, obj, getLeafType, kind, WALK_BUDGET) == WALK_ERROR ? -1 : 0;
}

int add_element(problem_s *p, const char *method, PyObject *element) {
  PyRef result(PyObject_CallMethod(reinterpret_cast<PyObject *>(p), method, "(O)", element));
  return result ? 0 : -1;
}

int model_error(const char *text) {
  PyErr_SetString(korvo_model_error, text);
  return -1;
}

}  // namespace

int problem_add_elements(problem_s *p, PyObject *elements, long sense) {
  bool named = false;
  PyRef objective;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(elements); ++i) {
    PyObject *item = PyTuple_GET_ITEM(elements, i);
    if (PyUnicode_Check(item) || PyBytes_Check(item)) {
      if (named) return model_error("More than one string passed in problem declaration");
      named = true;
      const char *name = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : PyBytes_AS_STRING(item);
      if (!name) return -1;
      if (KRVSsetprobname(p->prob, name) != 0) {
        krvs_error(reinterpret_cast<PyObject *>(p));
        return -1;
      }
      continue;
    }
    // An iterator's first item is taken here to learn the element's kind,
    // then handed on together with the rest of the iterator.
    PyRef element = PyRef::borrow(item);
    PyRef probe = PyRef::borrow(item);
    if (has_iternext(item) && !PyArray_Check(item) && !PySequence_Check(item) && !PyDict_Check(item)) {
      PyRef first(PyIter_Next(item));
      if (!first) {
        if (PyErr_Occurred()) return -1;
        continue;  // nothing in it
      }
      element.reset(Py_BuildValue("(OO)", first.get(), item));
      if (!element) return -1;
      probe = std::move(first);
    }
    int kind = kNoLeaf;
    if (first_leaf_kind(p, probe.get(), &kind) < 0) return -1;
    if (kind == kNoLeaf) continue;
    bool known_variable = isVar(item) && rowcolmap_has(p->var_index, var_id(as_var(item)));
    if (kind == LEAF_EXPRESSION || (kind == LEAF_VARIABLE && known_variable)) {
      PyRef single = PyRef::borrow(item);
      if (PyArray_Check(item)) {
        auto *array = reinterpret_cast<PyArrayObject *>(item);
        if (PyArray_SIZE(array) != 1)
          return model_error("Only one objective can be set, but a sequence or NumPy array of expressions was passed");
        single.reset(PyArray_GETITEM(array, static_cast<char *>(PyArray_DATA(array))));
        if (!single) return -1;
      }
      int expr = exprKind(single.get());
      if (expr < EXPR_VAR)
        return model_error("Incorrect way of defining an objective function (it should not be in an aggregate structure)");
      if (objective) return model_error("At most one expression can be used as an objective function");
      objective = std::move(single);
      continue;
    }
    static const char *const methods[] = {"addVariable", "addConstraint", "addSOS"};
    if (kind == LEAF_VARIABLE || kind == LEAF_CONSTRAINT || kind == LEAF_SOS) {
      if (add_element(p, methods[kind], element.get()) < 0) return -1;
      continue;
    }
    return model_error(
        "Erroneous problem declaration; argument contained object that was not a variable, constraint, or expression");
  }
  // The objective is set last, once every variable it uses is in the problem.
  if (objective && problem_set_objective(p, objective.get(), sense) < 0) return -1;
  return 0;
}
