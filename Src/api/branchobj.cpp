// korvo.branchobj: the constructor from constraints, the methods that read
// and change the engine's branching object, and its life cycle. The engine
// object is owned by the handle until store() hands it to the problem; the
// candidate a chgbranchobject callback receives is the search's, borrowed
// for the call only.
#include "api/branchobj.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api/conversion.h"
#include "api/errors.h"
#include "constraint/constraint.h"
#include "nonlin/convert.h"
#include "problem/problem.h"
#include "python_model/allocator.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

const char *const kCreationMessage =
    "Incorrect creation of branching object: must provide a problem and, optionally, a list of branches and a "
    "True/False flag. The flag must be True if the list of branches is provided";
const char *const kNoObjectMessage =
    "The branching object has no engine object: it was stored, or it was handed to a callback that has returned";

branchobj_s *as_bo(PyObject *self) { return reinterpret_cast<branchobj_s *>(self); }
problem_s *problem_of(PyObject *self) { return reinterpret_cast<problem_s *>(as_bo(self)->problem); }

// An array made by conv_obj2arr, freed with the module allocator.
struct conv_array {
  void *ptr = nullptr;
  ~conv_array() { ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &ptr); }
  template <class T>
  T *as() const {
    return static_cast<T *>(ptr);
  }
};

// Converts obj (a sequence) into a; the conversions leave some failures
// without an exception, which become a ModelError naming the argument.
int convert(PyObject *self, int64_t *length, PyObject *obj, conv_array &a, int kind, const char *name) {
  if (conv_obj2arr(problem_of(self), length, obj, &a.ptr, kind) == 0) return 0;
  if (!PyErr_Occurred()) PyErr_Format(korvo_model_error, "Invalid element in argument %s", name);
  return -1;
}

int column_kind(PyObject *self) { return as_bo(self)->isoriginal ? CONV_COL : CONV_INT; }

// The engine object, or null with the exception of a handle that has none.
KRVSbranchobject engine(PyObject *self) {
  KRVSbranchobject obj = as_bo(self)->obj;
  if (!obj) PyErr_SetString(korvo_solver_error, kNoObjectMessage);
  return obj;
}

PyObject *engine_result(PyObject *self, int rc) {
  if (rc == 0) Py_RETURN_NONE;
  setKrvsErrIfNull(self, nullptr);
  return nullptr;
}

bool missing(PyObject *obj) { return !obj || obj == Py_None; }

// ---- the constructor ---------------------------------------------------------

// The bounds a one-term constraint lb <= a x <= ub gives x.
int add_bound_branch(PyObject *self, int branch, int col, double a, double lb, double ub) {
  if (a == 0.0) {
    PyErr_SetString(korvo_model_error, "Coefficient zero in branch");
    return -1;
  }
  double lower = -1e20, upper = 1e20;
  if (a > 0) {
    if (lb > -5e19) lower = lb / a;
    if (ub < 5e19) upper = ub / a;
  } else {
    if (ub < 5e19) lower = ub / a;
    if (lb > -5e19) upper = lb / a;
  }
  char types[2];
  int cols[2];
  double values[2];
  int n = 0;
  if (lower > -1e20) types[n] = 'L', cols[n] = col, values[n++] = lower;
  if (upper < 1e20) types[n] = 'U', cols[n] = col, values[n++] = upper;
  if (n == 0) return 0;
  return KRVS_bo_addbounds(as_bo(self)->obj, branch, n, types, cols, values) == 0 ? 0 : -1;
}

int add_row_branch(PyObject *self, int branch, const conv_target &t, double lb, double ub) {
  if (lb <= -1e20 && ub >= 1e20) {
    PyErr_SetString(korvo_model_error, "Branch cannot have a free row");
    return -1;
  }
  struct one_row {
    char type;
    double rhs;
  } rows[2];
  int n = 0;
  if (lb == ub) rows[n++] = {'E', lb};
  else if (ub >= 1e20) rows[n++] = {'G', lb};
  else if (lb <= -1e20) rows[n++] = {'L', ub};
  else {
    rows[n++] = {'G', lb};
    rows[n++] = {'L', lb + (ub - lb)};
  }
  const int count = int(t.linear_count);
  for (int r = 0; r < n; ++r) {
    int start[2] = {0, count};
    if (KRVS_bo_addrows(as_bo(self)->obj, branch, 1, count, &rows[r].type, &rows[r].rhs, start, t.linear_cols,
                        t.linear_vals) != 0)
      return -1;
  }
  return 0;
}

int add_constraint(PyObject *self, int branch, PyObject *con) {
  constraint_s *c = as_constraint(con);
  conv_target t{};
  t.grow = true;
  struct freed {
    conv_target *t;
    ~freed() { conv_target_free(t); }
  } release{&t};
  problem_s *p = problem_of(self);
  if (c->body && convertExpr(p, c->body, &t, false) < 0) {
    // Say which object the variable is missing for.
    if (PyErr_ExceptionMatches(korvo_model_error)) {
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      PyRef text(value ? PyObject_Str(value) : nullptr);
      const char *s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      if (s && strstr(s, "has not been added to problem yet")) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        PyErr_Clear();
        PyErr_SetString(korvo_model_error, "Variable in branching object has not been added to problem yet");
      } else {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
      }
    }
    return -1;
  }
  if (t.quad_count > 0 || t.formula_count > 0) {
    PyErr_Format(korvo_model_error, "Branch %i contains a quadratic or nonlinear constraint, invalid", branch);
    return -1;
  }
  double lb = get_con_lbound(c->info), ub = get_con_ubound(c->info);
  if (lb > -1e20) lb -= t.constant;
  if (ub < 1e20) ub -= t.constant;
  if (t.linear_count == 1) return add_bound_branch(self, branch, t.linear_cols[0], t.linear_vals[0], lb, ub);
  return add_row_branch(self, branch, t, lb, ub);
}

int add_branch_element(PyObject *self, int branch, PyObject *element) {
  if (isConstraint(element)) return add_constraint(self, branch, element);
  if (PyList_Check(element) || PyTuple_Check(element)) {
    PyRef items(PySequence_Fast(element, ""));
    if (!items) {
      PyErr_Format(korvo_model_error, "Branch %i is invalid: %s", branch, "could not get element of branch");
      return -1;
    }
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
      PyObject *item = PySequence_Fast_GET_ITEM(items.get(), k);
      if (!isConstraint(item)) {
        PyErr_Format(korvo_model_error, "Branch %i is invalid: %s", branch,
                     "element of branch not of the valid type (constraint)");
        return -1;
      }
      if (add_constraint(self, branch, item) < 0) return -1;
    }
    return 0;
  }
  PyErr_Format(korvo_model_error, "Branch %i is invalid: %s", branch,
               "element of branch not of the valid type (constraint)");
  return -1;
}

PyObject *branchobj_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"prob", "branches", "isoriginal", nullptr};
  PyObject *prob = nullptr, *branches = Py_None, *isoriginal_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO", const_cast<char **>(keywords), &prob, &branches,
                                   &isoriginal_obj) ||
      !PyObject_TypeCheck(prob, &korvo_problemType) || !reinterpret_cast<problem_s *>(prob)->prob) {
    PyErr_Clear();
    PyErr_SetString(korvo_model_error, kCreationMessage);
    return nullptr;
  }
  int isoriginal = 1;
  if (isoriginal_obj && isoriginal_obj != Py_True) {
    isoriginal = 0;
    if (is_integer_value(isoriginal_obj)) {
      const long v = PyLong_AsLong(isoriginal_obj);
      if (v == -1 && PyErr_Occurred()) PyErr_Clear();
      else isoriginal = v == 1;
    }
  }
  if (!isoriginal && branches != Py_None) {
    PyErr_SetString(korvo_model_error, "Cannot define the branches of a branching object if the isoriginal flag is false");
    return nullptr;
  }
  if (branches != Py_None && !PyList_Check(branches) && !PyTuple_Check(branches)) {
    PyErr_SetString(korvo_model_error,
                    "The branches parameter must be a list or a tuple of elements. Each element of the list/tuple "
                    "must be a constraint, a variable bound, or a list/tuple thereof.");
    return nullptr;
  }
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  branchobj_s *bo = as_bo(self.get());
  bo->problem = Py_NewRef(prob);
  bo->isoriginal = isoriginal;
  bo->owned = 1;
  if (KRVS_bo_create(&bo->obj, reinterpret_cast<problem_s *>(prob)->prob, isoriginal) != 0) {
    bo->obj = nullptr;
    setKrvsErrIfNull(prob, nullptr);
    return nullptr;
  }
  if (branches == Py_None) return self.release();
  PyRef items(PySequence_Fast(branches, ""));
  if (!items) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  if (n > INT32_MAX || KRVS_bo_addbranches(bo->obj, int(n)) != 0) {
    setKrvsErrIfNull(self.get(), nullptr);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < n; ++i)
    if (add_branch_element(self.get(), int(i), PySequence_Fast_GET_ITEM(items.get(), i)) < 0) {
      setKrvsErrIfNull(self.get(), nullptr);
      return nullptr;
    }
  return self.release();
}

void branchobj_dealloc(PyObject *self) {
  branchobj_s *bo = as_bo(self);
  if (bo->obj && bo->owned) KRVS_bo_destroy(bo->obj);
  bo->obj = nullptr;
  Py_CLEAR(bo->problem);
  Py_TYPE(self)->tp_free(self);
}

// ---- methods -------------------------------------------------------------------

#define KORVO_BO_KEYWORDS(...) static const char *const current[] = {__VA_ARGS__, nullptr}
#define KORVO_BO_LEGACY(...) static const char *const legacy[] = {__VA_ARGS__, nullptr}

PyObject *bo_addbranches(PyObject *self, PyObject *args, PyObject *kwargs) {
  KORVO_BO_KEYWORDS("nbranches");
  int n = 0;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "i", current, nullptr, &n)) return nullptr;
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  return engine_result(self, KRVS_bo_addbranches(obj, n));
}

PyObject *bo_addbounds(PyObject *self, PyObject *args, PyObject *kwargs) {
  KORVO_BO_KEYWORDS("branch", "bndtype", "colind", "bndval");
  KORVO_BO_LEGACY("ibranch", "bndtype", "bndcol", "bndval");
  int branch = 0;
  PyObject *types = nullptr, *cols = nullptr, *values = nullptr;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "iOOO", current, legacy, &branch, &types, &cols, &values))
    return nullptr;
  if (missing(types) || missing(cols) || missing(values)) {
    ko_PyErr_MissingArgs("bndtype", "colind", "bndval", nullptr);
    return nullptr;
  }
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  int64_t n = -1;
  conv_array t, c, v;
  if (convert(self, &n, types, t, CONV_CHAR, "bndtype") < 0 || convert(self, &n, cols, c, column_kind(self), "colind") < 0 ||
      convert(self, &n, values, v, CONV_DOUBLE, "bndval") < 0)
    return nullptr;
  if (n > INT32_MAX) return PyErr_Format(korvo_model_error, "Too many bounds");
  return engine_result(self, KRVS_bo_addbounds(obj, branch, int(n), t.as<char>(), c.as<int>(), v.as<double>()));
}

PyObject *bo_addrows(PyObject *self, PyObject *args, PyObject *kwargs) {
  KORVO_BO_KEYWORDS("branch", "rowtype", "rhs", "start", "colind", "rowcoef");
  KORVO_BO_LEGACY("ibranch", "rtype", "rhs", "beg", "mcol", "val");
  int branch = 0;
  PyObject *types = nullptr, *rhs = nullptr, *start = nullptr, *cols = nullptr, *coefs = nullptr;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "iOOOOO", current, legacy, &branch, &types, &rhs, &start, &cols,
                                &coefs))
    return nullptr;
  if (missing(types) || missing(rhs)) {
    ko_PyErr_MissingArgs("rowtype", "rhs", nullptr);
    return nullptr;
  }
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  int64_t nrows = -1, nelems = -1, nstart = -1;
  conv_array t, r, s, c, v;
  if (convert(self, &nrows, types, t, CONV_CHAR, "rowtype") < 0 || convert(self, &nrows, rhs, r, CONV_DOUBLE, "rhs") < 0)
    return nullptr;
  if (nrows > 0 && missing(start)) {
    ko_PyErr_MissingArgs("start", nullptr);
    return nullptr;
  }
  if (convert(self, &nstart, start, s, CONV_INT, "start") < 0 || convert(self, &nelems, cols, c, column_kind(self), "colind") < 0 ||
      convert(self, &nelems, coefs, v, CONV_DOUBLE, "rowcoef") < 0)
    return nullptr;
  if (nrows <= 0) Py_RETURN_NONE;
  if (nelems < 0) nelems = 0;
  if (nrows > INT32_MAX || nelems > INT32_MAX) return PyErr_Format(korvo_model_error, "Too many rows or coefficients");
  // The starts may leave out the end of the last row.
  if (nstart != nrows && nstart != nrows + 1)
    return PyErr_Format(korvo_model_error, "start must have one entry per row (found %lld for %lld rows)",
                        (long long)nstart, (long long)nrows);
  std::vector<int> starts(s.as<int>(), s.as<int>() + nstart);
  if (nstart == nrows) starts.push_back(int(nelems));
  return engine_result(self, KRVS_bo_addrows(obj, branch, int(nrows), int(nelems), t.as<char>(), r.as<double>(),
                                             starts.data(), c.as<int>(), v.as<double>()));
}

PyObject *bo_addcuts(PyObject *self, PyObject *args, PyObject *kwargs) {
  KORVO_BO_KEYWORDS("branch", "cutind");
  KORVO_BO_LEGACY("ibranch", "cutind");
  int branch = 0;
  PyObject *cuts = nullptr;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "iO", current, legacy, &branch, &cuts)) return nullptr;
  if (missing(cuts)) {
    ko_PyErr_MissingArgs("cutind", nullptr);
    return nullptr;
  }
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  int64_t n = -1;
  conv_array c;
  if (convert(self, &n, cuts, c, CONV_POOLCUT, "cutind") < 0) return nullptr;
  if (n > INT32_MAX) return PyErr_Format(korvo_model_error, "Too many cuts");
  return engine_result(self, KRVS_bo_addcuts(obj, branch, int(n), c.as<KRVScut>()));
}

// Fills the caller's list (None: nothing) with count entries of an array.
int fill(PyObject *self, PyObject *target, int64_t count, const void *array, int kind) {
  if (missing(target)) return 0;
  if (!PyList_Check(target)) {
    PyErr_SetString(korvo_model_error, "Output arguments must be lists");
    return -1;
  }
  return conv_arr2obj(problem_of(self), count, array, &target, kind);
}

PyObject *bo_getbounds(PyObject *self, PyObject *args, PyObject *kwargs) {
  KORVO_BO_KEYWORDS("branch", "maxbounds", "bndtype", "colind", "bndval");
  KORVO_BO_LEGACY("ibranch", "nbounds_size", "bndtype", "bndcol", "bndval");
  int branch = 0, maxbounds = 0;
  PyObject *types = nullptr, *cols = nullptr, *values = nullptr;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "ii|OOO", current, legacy, &branch, &maxbounds, &types, &cols,
                                &values))
    return nullptr;
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  int count = 0;
  if (KRVS_bo_getbounds(obj, branch, &count, 0, nullptr, nullptr, nullptr) != 0) return engine_result(self, 1);
  const int shown = std::max(0, std::min(count, maxbounds));
  std::vector<char> t(size_t(shown) + 1);
  std::vector<int> c(size_t(shown) + 1);
  std::vector<double> v(size_t(shown) + 1);
  if (KRVS_bo_getbounds(obj, branch, &count, shown, t.data(), c.data(), v.data()) != 0) return engine_result(self, 1);
  if (fill(self, types, shown, t.data(), CONV_CHAR) < 0 || fill(self, cols, shown, c.data(), as_bo(self)->isoriginal ? CONV_COL : CONV_INT) < 0 ||
      fill(self, values, shown, v.data(), CONV_DOUBLE) < 0)
    return nullptr;
  return PyLong_FromLong(count);
}

PyObject *bo_getrows(PyObject *self, PyObject *args, PyObject *kwargs) {
  KORVO_BO_KEYWORDS("branch", "maxrows", "maxcoefs", "rowtype", "rhs", "start", "colind", "rowcoef");
  KORVO_BO_LEGACY("ibranch", "nrows_size", "nelems_size", "rtype", "rrhs", "rbeg", "mcol", "dval");
  int branch = 0, maxrows = 0, maxcoefs = 0;
  PyObject *types = nullptr, *rhs = nullptr, *start = nullptr, *cols = nullptr, *coefs = nullptr;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "iii|OOOOO", current, legacy, &branch, &maxrows, &maxcoefs, &types,
                                &rhs, &start, &cols, &coefs))
    return nullptr;
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  int nrows = 0, nelems = 0;
  if (KRVS_bo_getrows(obj, branch, &nrows, 0, &nelems, 0, nullptr, nullptr, nullptr, nullptr, nullptr) != 0)
    return engine_result(self, 1);
  const int shown_rows = std::max(0, std::min(nrows, maxrows));
  const int room = std::max(0, std::min(nelems, maxcoefs));
  std::vector<char> t(size_t(shown_rows) + 1);
  std::vector<double> r(size_t(shown_rows) + 1);
  std::vector<int> s(size_t(shown_rows) + 1);
  std::vector<int> c(size_t(room) + 1);
  std::vector<double> v(size_t(room) + 1);
  if (KRVS_bo_getrows(obj, branch, &nrows, shown_rows, &nelems, room, t.data(), r.data(), s.data(), c.data(),
                      v.data()) != 0)
    return engine_result(self, 1);
  const int written = std::min(s[size_t(shown_rows)], room);
  if (fill(self, types, shown_rows, t.data(), CONV_CHAR) < 0 || fill(self, rhs, shown_rows, r.data(), CONV_DOUBLE) < 0 ||
      fill(self, start, shown_rows + 1, s.data(), CONV_INT) < 0 ||
      fill(self, cols, written, c.data(), as_bo(self)->isoriginal ? CONV_COL : CONV_INT) < 0 ||
      fill(self, coefs, written, v.data(), CONV_DOUBLE) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

PyObject *bo_getbranches(PyObject *self, PyObject *) {
  KRVSbranchobject obj = as_bo(self)->obj;
  if (!obj) return PyLong_FromLong(0);
  int n = 0;
  if (KRVS_bo_getbranches(obj, &n) != 0) return engine_result(self, 1);
  return PyLong_FromLong(n);
}

PyObject *bo_getid(PyObject *self, PyObject *) {
  KRVSbranchobject obj = as_bo(self)->obj;
  if (!obj) Py_RETURN_NONE;
  int id = 0;
  if (KRVS_bo_getid(obj, &id) != 0) return engine_result(self, 1);
  return PyLong_FromLong(id);
}

PyObject *bo_getlasterror(PyObject *self, PyObject *) {
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  char msg[2048] = "";
  int code = 0;
  KRVS_bo_getlasterror(obj, &code, msg, sizeof msg, nullptr);
  return Py_BuildValue("(is)", code, msg);
}

PyObject *bo_setpriority(PyObject *self, PyObject *args, PyObject *kwargs) {
  KORVO_BO_KEYWORDS("priority");
  int priority = 0;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "i", current, nullptr, &priority)) return nullptr;
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  return engine_result(self, KRVS_bo_setpriority(obj, priority));
}

PyObject *bo_setpreferredbranch(PyObject *self, PyObject *args, PyObject *kwargs) {
  KORVO_BO_KEYWORDS("branch");
  KORVO_BO_LEGACY("ibranch");
  int branch = 0;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "i", current, legacy, &branch)) return nullptr;
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  return engine_result(self, KRVS_bo_setpreferredbranch(obj, branch));
}

PyObject *bo_store(PyObject *self, PyObject *) {
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  if (!as_bo(self)->owned) {
    PyErr_SetString(korvo_solver_error,
                    "The branching object belongs to the search: hand it back from the callback instead of storing it");
    return nullptr;
  }
  int node = 0;
  if (KRVS_bo_store(obj, &node) != 0) {
    setKrvsErrIfNull(as_bo(self)->problem, nullptr);
    return nullptr;
  }
  as_bo(self)->obj = nullptr;
  as_bo(self)->owned = 0;
  return PyLong_FromLong(node);
}

PyObject *bo_validate(PyObject *self, PyObject *) {
  KRVSbranchobject obj = engine(self);
  if (!obj) return nullptr;
  int status = 0;
  if (KRVS_bo_validate(obj, &status) != 0) return engine_result(self, 1);
  return PyLong_FromLong(status);
}

#define KORVO_BO_METHOD(name, fn, flags, doc) \
  PyMethodDef { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), flags, doc }
constexpr int kKw = METH_VARARGS | METH_KEYWORDS;

PyMethodDef branchobj_methods[] = {
    KORVO_BO_METHOD("addbranches", bo_addbranches, kKw,
                    KORVO_DOC("Adds empty branches after the existing ones.", "b.addbranches(nbranches)",
                              KORVO_ARG("nbranches: how many branches to add."), "b.addbranches(2)",
                              "Branches are numbered from 0 in the order they were added.")),
    KORVO_BO_METHOD("addbounds", bo_addbounds, kKw,
                    KORVO_DOC("Adds column bounds to a branch.", "b.addbounds(branch, bndtype, colind, bndval)",
                              KORVO_ARGS("branch: the branch;\n  bndtype: 'L' lower, 'U' upper, 'B' both;\n  colind: "
                                         "the columns (variables, names or indices; plain indices when the object "
                                         "was made with isoriginal False);\n  bndval: the bound values."),
                              "b.addbounds(0, ['U'], [x], [0])",
                              "The child node of the branch gets the bounds on top of its parent's; bounds of "
                              "integer columns are rounded inwards.")),
    KORVO_BO_METHOD("addrows", bo_addrows, kKw,
                    KORVO_DOC("Adds rows to a branch.", "b.addrows(branch, rowtype, rhs, start, colind, rowcoef)",
                              KORVO_ARGS("branch: the branch;\n  rowtype: 'L', 'G' or 'E' per row;\n  rhs: the "
                                         "right-hand sides;\n  start: where each row's coefficients begin (one entry "
                                         "per row, or one more giving the end);\n  colind, rowcoef: the "
                                         "coefficients."),
                              "b.addrows(1, ['G'], [1], [0], [x, y], [1, 1])",
                              "The rows hold in the branch's whole subtree.")),
    KORVO_BO_METHOD("addcuts", bo_addcuts, kKw,
                    KORVO_DOC("Adds cuts of the problem's cut pool to a branch.", "b.addcuts(branch, cutind)",
                              KORVO_ARGS("branch: the branch;\n  cutind: korvo.poolcut handles."),
                              "b.addcuts(0, p.storecuts(...))",
                              "The cuts' rows are taken when the branch is made.")),
    KORVO_BO_METHOD("getbounds", bo_getbounds, kKw,
                    KORVO_DOC("Reads the bounds of a branch.",
                              "n = b.getbounds(branch, maxbounds, bndtype=None, colind=None, bndval=None)",
                              KORVO_ARGS("branch: the branch;\n  maxbounds: at most this many bounds are "
                                         "returned;\n  bndtype, colind, bndval: lists filled with the bounds."),
                              "n = b.getbounds(0, 10, t, c, v)", "Returns the branch's number of bounds.")),
    KORVO_BO_METHOD("getrows", bo_getrows, kKw,
                    KORVO_DOC("Reads the rows of a branch.",
                              "b.getrows(branch, maxrows, maxcoefs, rowtype=None, rhs=None, start=None, colind=None, "
                              "rowcoef=None)",
                              KORVO_ARGS("branch: the branch;\n  maxrows, maxcoefs: at most this many rows and "
                                         "coefficients are returned;\n  rowtype, rhs, start, colind, rowcoef: lists "
                                         "filled with the rows (start has one more entry than the rows returned)."),
                              "b.getrows(0, 5, 20, t, r, s, c, v)", "Returns None.")),
    KORVO_BO_METHOD("getbranches", bo_getbranches, METH_NOARGS,
                    KORVO_DOC("Number of branches.", "b.getbranches()", KORVO_NO_ARGS, "n = b.getbranches()",
                              "0 for an object that was stored.")),
    KORVO_BO_METHOD("getid", bo_getid, METH_NOARGS,
                    KORVO_DOC("The object's number.", "b.getid()", KORVO_NO_ARGS, "i = b.getid()",
                              "None for an object that was stored; the search's own candidate has number 0.")),
    KORVO_BO_METHOD("getlasterror", bo_getlasterror, METH_NOARGS,
                    KORVO_DOC("The last error of the object.", "b.getlasterror()", KORVO_NO_ARGS,
                              "code, text = b.getlasterror()", "Code 0 when there was none.")),
    KORVO_BO_METHOD("setpriority", bo_setpriority, kKw,
                    KORVO_DOC("Sets the object's priority.", "b.setpriority(priority)",
                              KORVO_ARG("priority: among objects stored for the same node, the lowest is used."),
                              "b.setpriority(1)", "Returns None.")),
    KORVO_BO_METHOD("setpreferredbranch", bo_setpreferredbranch, kKw,
                    KORVO_DOC("Sets the branch the search explores first.", "b.setpreferredbranch(branch)",
                              KORVO_ARG("branch: the branch, or -1 for the search's choice."),
                              "b.setpreferredbranch(1)", "Without one, branch 0 goes first.")),
    KORVO_BO_METHOD("store", bo_store, METH_NOARGS,
                    KORVO_DOC("Hands the object to its problem for the branching of a node.", "b.store()",
                              KORVO_NO_ARGS, "node = b.store()",
                              "Stored in a callback of the tree search, the object divides the node being "
                              "processed; stored outside a solve, the root of the next search. Returns that node's "
                              "number; the object is checked first (SolverError when invalid) and belongs to the "
                              "problem afterwards.")),
    KORVO_BO_METHOD("validate", bo_validate, METH_NOARGS,
                    KORVO_DOC("Checks the object against its problem.", "b.validate()", KORVO_NO_ARGS,
                              "status = b.validate()",
                              "0 valid; 1 no branches, 2 a column the model does not have, 3 a bad bound, 4 a bad "
                              "row, 5 a cut no longer in the pool, 6 a preferred branch that does not exist; "
                              "getlasterror() says why.")),
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject make_branchobj_type() {
  PyTypeObject t = {PyVarObject_HEAD_INIT(NULL, 0) "korvo.branchobj"};
  t.tp_basicsize = sizeof(branchobj_s);
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc =
      "branchobj(prob, branches=None, isoriginal=True): how the tree search divides a node. Each element of "
      "branches is one branch: a constraint or a list of constraints; a constraint on one variable is a bound, any "
      "other a row.";
  t.tp_new = branchobj_new;
  t.tp_dealloc = branchobj_dealloc;
  t.tp_methods = branchobj_methods;
  return t;
}

}  // namespace

PyTypeObject korvo_branchobjType = make_branchobj_type();

PyObject *branchobj_wrap_borrowed(PyObject *problem, KRVSbranchobject obj) {
  PyObject *self = korvo_branchobjType.tp_alloc(&korvo_branchobjType, 0);
  if (!self) return nullptr;
  branchobj_s *bo = as_bo(self);
  bo->obj = obj;
  bo->problem = Py_NewRef(problem);
  bo->isoriginal = 1;
  bo->owned = 0;
  return self;
}

KRVSbranchobject branchobj_engine_object(PyObject *self) {
  return self && PyObject_TypeCheck(self, &korvo_branchobjType) ? as_bo(self)->obj : nullptr;
}

void branchobj_release_engine_object(PyObject *self) {
  if (!self || !PyObject_TypeCheck(self, &korvo_branchobjType)) return;
  as_bo(self)->obj = nullptr;
  as_bo(self)->owned = 0;
}
