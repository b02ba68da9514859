// Solution queries: values, slacks, duals and reduced costs by object,
// index or name, and values of expressions at the solution.
#include <Python.h>

#include <vector>

#include "api/errors.h"
#include "constraint/constraint.h"
#include "constraint/sos.h"
#include "evaluate/evaluate.h"
#include "expression/expression.h"
#include "knls.h"
#include "krvs.h"
#include "maps/maps.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "problem/walk.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int kNlStatusAttrib = 12044;

enum query { Q_SOLUTION, Q_SLACK, Q_DUAL, Q_RCOST };

bool by_rows(query q) { return q == Q_SLACK || q == Q_DUAL; }

PyObject *self_of(problem_s *p) { return reinterpret_cast<PyObject *>(p); }

// Fills values with the query's vector; -1 with an exception.
int fetch_vector(problem_s *p, query q, std::vector<double> *values) {
  int nonlinear = problem_results_from_nonlinear(p);
  if (nonlinear < 0) return -1;
  int64_t size = 0;
  if (nonlinear) {
    int n = 0;
    if (KNLSgetintattrib(p->nlprob, by_rows(q) ? 11999 : 12000, &n) != 0) {
      setKrvsErrIfNull(self_of(p), nullptr);
      return -1;
    }
    size = n;
  } else if (KRVSgetintattrib64(p->prob, by_rows(q) ? 1124 : 1214, &size) != 0) {
    setKrvsErrIfNull(self_of(p), nullptr);
    return -1;
  }
  values->assign(size_t(size), 0.0);
  double *v = values->data();
  if (nonlinear) {
    int rc = KNLSgetslpsol(p->nlprob, q == Q_SOLUTION ? v : nullptr, q == Q_SLACK ? v : nullptr,
                           q == Q_DUAL ? v : nullptr, q == Q_RCOST ? v : nullptr);
    if (rc != 0) setKrvsErrIfNull(self_of(p), nullptr);
    return rc != 0 ? -1 : 0;
  }
  int mip = problem_is_mip(p);
  if (mip < 0) return -1;
  if (mip && q == Q_DUAL) {
    PyErr_SetString(korvo_solver_error, "Cannot retrieve dual variables in a MIP");
    return -1;
  }
  if (mip && q == Q_RCOST) {
    PyErr_SetString(korvo_solver_error, "Cannot retrieve reduced cost in a MIP");
    return -1;
  }
  int rc = mip ? KRVSgetmipsol(p->prob, q == Q_SOLUTION ? v : nullptr, q == Q_SLACK ? v : nullptr)
               : KRVSgetlpsol(p->prob, q == Q_SOLUTION ? v : nullptr, q == Q_SLACK ? v : nullptr,
                              q == Q_DUAL ? v : nullptr, q == Q_RCOST ? v : nullptr);
  if (rc == 0) return 0;
  static const char *const failures[] = {nullptr, "Could not get constraints' slack", "Could not get dual solution",
                                         "Could not retrieve reduced costs"};
  if (failures[q])
    PyErr_SetString(korvo_solver_error, failures[q]);
  else
    setKrvsErrIfNull(self_of(p), nullptr);
  return -1;
}

struct resolve_context {
  query q;
  const std::vector<double> *values;
  PyObject *result;
};

int index_out_of_range() {
  PyErr_SetString(korvo_model_error, "Index out of range");
  return -1;
}

// Index of one leaf in the query's vector; -1 with an exception.
int64_t leaf_index(problem_s *p, query q, PyObject *leaf, int64_t size) {
  PyObject *found = nullptr;
  int64_t index = -1;
  if (by_rows(q) && isConstraint(leaf)) {
    if (rowcolmap_get(p->con_index, con_id(as_constraint(leaf)->info), &found) != 0) return index_out_of_range();
    index = int64_t(reinterpret_cast<intptr_t>(found));
  } else if (by_rows(q) && isSos(leaf)) {
    if (rowcolmap_get(p->sos_index, uint64_t(reinterpret_cast<sos_s *>(leaf)->id), &found) != 0)
      return index_out_of_range();
    index = int64_t(reinterpret_cast<intptr_t>(found));
  } else if (!by_rows(q) && isVar(leaf)) {
    if (rowcolmap_get(p->var_index, var_id(as_var(leaf)), &found) != 0) return index_out_of_range();
    index = int64_t(reinterpret_cast<intptr_t>(found));
  } else if (PyUnicode_Check(leaf) || PyBytes_Check(leaf)) {
    const char *name = PyUnicode_Check(leaf) ? PyUnicode_AsUTF8(leaf) : PyBytes_AS_STRING(leaf);
    if (!name) return -1;
    int found_index = -1;
    if (KRVSgetindex(p->prob, by_rows(q) ? 1 : 2, name, &found_index) != 0) return index_out_of_range();
    index = found_index;
  } else if (is_integer_value(leaf)) {
    index = PyLong_AsLongLong(leaf);
    if (index == -1 && PyErr_Occurred()) return -1;
  } else {
    PyErr_SetString(korvo_model_error, "Incorrect object(s) passed: need index, variable, constraint, or SOS");
    return -1;
  }
  if (index < 0 || index >= size) return index_out_of_range();
  return index;
}

int visitResultLeaf(problem_s *p, PyObject *leaf, void *context) {
  auto *ctx = static_cast<resolve_context *>(context);
  int64_t index = leaf_index(p, ctx->q, leaf, int64_t(ctx->values->size()));
  if (index < 0) return WALK_ERROR;
  PyRef value(PyFloat_FromDouble((*ctx->values)[size_t(index)]));
  if (!value || PyList_Append(ctx->result, value.get()) < 0) return WALK_ERROR;
  return WALK_CONTINUE;
}

bool is_single_argument(PyObject *obj) {
  return !PyList_Check(obj) && !PyTuple_Check(obj) && !PySequence_Check(obj) && !has_iternext(obj) &&
         !PyDict_Check(obj);
}

PyObject *shaped_result(problem_s *p, query q, PyObject *args) {
  std::vector<double> values;
  if (fetch_vector(p, q, &values) < 0) return nullptr;
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs == 0) {
    PyRef all(PyList_New(Py_ssize_t(values.size())));
    if (!all) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
      PyObject *v = PyFloat_FromDouble(values[i]);
      if (!v) return nullptr;
      PyList_SET_ITEM(all.get(), Py_ssize_t(i), v);
    }
    return all.release();
  }
  if (nargs == 1 && is_single_argument(PyTuple_GET_ITEM(args, 0))) {
    int64_t index = leaf_index(p, q, PyTuple_GET_ITEM(args, 0), int64_t(values.size()));
    return index < 0 ? nullptr : PyFloat_FromDouble(values[size_t(index)]);
  }
  PyRef result(PyList_New(0));
  if (!result) return nullptr;
  resolve_context ctx{q, &values, result.get()};
  if (walkLeaves(p, args, visitResultLeaf, &ctx, WALK_BUDGET) == WALK_ERROR) return nullptr;
  return result.release();
}

PyObject *query_method(PyObject *self, PyObject *args, query q) {
  return shaped_result(reinterpret_cast<problem_s *>(self), q, args);
}

PyObject *problem_getSolution(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  bool flatten = false;
  if (kwargs) {
    PyRef empty(PyTuple_New(0));
    static const char *keywords[] = {"flatten", nullptr};
    int flag = 0;
    if (!empty || !PyArg_ParseTupleAndKeywords(empty.get(), kwargs, "|$p", const_cast<char **>(keywords), &flag))
      return nullptr;
    flatten = flag != 0;
  }
  if (PyTuple_GET_SIZE(args) == 0 || flatten) return query_method(self, args, Q_SOLUTION);
  std::vector<double> x;
  if (fetch_vector(p, Q_SOLUTION, &x) < 0) return nullptr;
  // One object gives its own result, several a tuple of results.
  PyObject *objects = PyTuple_GET_SIZE(args) == 1 ? PyTuple_GET_ITEM(args, 0) : args;
  return evaluate_with_problem(objects, p, x.data(), int64_t(x.size()), true);
}

PyObject *problem_getSlack(PyObject *self, PyObject *args) { return query_method(self, args, Q_SLACK); }
PyObject *problem_getDual(PyObject *self, PyObject *args) { return query_method(self, args, Q_DUAL); }
PyObject *problem_getRCost(PyObject *self, PyObject *args) { return query_method(self, args, Q_RCOST); }

#define QUERY_ARGS                                                                                         \
  KORVO_ARGS("objects: none (the whole vector), or objects, indices or names, in any nesting of lists, " \
             "tuples and arrays.")

PyMethodDef solution_methods[] = {
    {"getSolution", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(problem_getSolution)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Returns solution values of variables and expressions.", "v = p.getSolution(*objects, flatten=False)",
               KORVO_ARGS("objects: variables, expressions, indices or names, in any containers; the result has "
                          "the same shape;\n  flatten: True for one flat list of column values."),
               "xv, yv = p.getSolution(x, y)", "Without arguments, the list of all column values.")},
    {"getSlack", problem_getSlack, METH_VARARGS,
     KORVO_DOC("Returns slacks (right-hand side minus activity) of constraints.", "s = p.getSlack(*objects)",
               QUERY_ARGS, "p.getSlack(c1)", "One object gives a float, anything else a list.")},
    {"getDual", problem_getDual, METH_VARARGS,
     KORVO_DOC("Returns dual values of constraints.", "d = p.getDual(*objects)", QUERY_ARGS, "p.getDual(c1)",
               "Not available for MIPs.")},
    {"getRCost", problem_getRCost, METH_VARARGS,
     KORVO_DOC("Returns reduced costs of variables.", "r = p.getRCost(*objects)", QUERY_ARGS, "p.getRCost(x)",
               "Not available for MIPs.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef *problem_solution_method_table(void) { return solution_methods; }
