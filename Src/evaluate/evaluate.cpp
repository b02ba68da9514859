// korvo.evaluate and the evaluation behind problem.getSolution: the walk
// over containers, which keeps their shape, and the value walk over one
// modelling object.
#include "evaluate/evaluate.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "api/conversion.h"
#include "api/errors.h"
#include "expression/expression.h"
#include "expression/linterm.h"
#include "expression/quadterm.h"
#include "nonlin/nonlinear.h"
#include "numpy_types/npy_api.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/allocator.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int kMaxDepth = 64;
constexpr double kDefaultLogicTolerance = 5e-6;

int depth_exceeded() {
  PyErr_SetString(PyExc_RuntimeError, "Evaluation of expression exceeded recursion depth limit");
  return -1;
}

int model_error(const char *message) {
  if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, message);
  return -1;
}

// ---- values of variables --------------------------------------------------------

int variable_value(PyObject *var, const eval_context *ctx, double *value) {
  if (ctx->dictionary) {
    PyRef item(PyObject_GetItem(ctx->dictionary, var));
    if (!item) return -1;
    *value = PyFloat_AsDouble(item.get());
    return *value == -1.0 && PyErr_Occurred() ? -1 : 0;
  }
  PyObject *found = nullptr;
  if (!ctx->problem || !ctx->values ||
      rowcolmap_get(ctx->problem->var_index, var_id(as_var(var)), &found) != 0)
    return model_error("Object does not belong to problem or cannot be identified within expression");
  int64_t index = static_cast<int64_t>(reinterpret_cast<intptr_t>(found));
  if (index < 0 || index >= ctx->value_count)
    return model_error("Object does not belong to problem or cannot be identified within expression");
  *value = ctx->values[index];
  return 0;
}

PyObject *as_object(const var_s *v) { return reinterpret_cast<PyObject *>(const_cast<var_s *>(v)); }

// In dictionary mode a look-up may run Python code (a dict subclass, a key
// with its own __eq__) that could amend the expression; its terms are
// therefore copied out, with their variables held, before any look-up.
int expression_value_by_dictionary(const expression_s *e, const eval_context *ctx, double *value) {
  struct Term {
    PyRef first, second;
    double coef;
  };
  std::vector<Term> terms;
  const var_s *key;
  double coef;
  map_cursor cursor = nullptr;
  if (expression_lin(e))
    while (linmap_next(expression_lin(e), &key, &coef, &cursor)) terms.push_back({PyRef::borrow(as_object(key)), PyRef(), coef});
  if (e->quad) {
    linmap *inner;
    map_cursor outer = nullptr;
    while (quadmap_next(e->quad, &key, &inner, &outer)) {
      const var_s *second;
      while (linmap_next(inner, &second, &coef, &cursor))
        terms.push_back({PyRef::borrow(as_object(key)), PyRef::borrow(as_object(second)), coef});
    }
  }
  double total = e->constant;
  for (const Term &t : terms) {
    double v1, v2 = 1.0;
    if (variable_value(t.first.get(), ctx, &v1) < 0) return -1;
    if (t.second && variable_value(t.second.get(), ctx, &v2) < 0) return -1;
    total += t.coef * v1 * v2;
  }
  *value = total;
  return 0;
}

int expression_value(PyObject *obj, const eval_context *ctx, double *value) {
  const expression_s *e = as_expression(obj);
  if (ctx->dictionary) return expression_value_by_dictionary(e, ctx, value);
  double total = e->constant;
  if (expression_lin(e)) {
    const var_s *key;
    double coef;
    map_cursor cursor = nullptr;
    while (linmap_next(expression_lin(e), &key, &coef, &cursor)) {
      double v;
      if (variable_value(as_object(key), ctx, &v) < 0) {
        linmap_iter_free(&cursor);
        return -1;
      }
      total += coef * v;
    }
    linmap_iter_free(&cursor);
  }
  if (e->quad) {
    const var_s *first;
    linmap *inner;
    map_cursor outer = nullptr;
    while (quadmap_next(e->quad, &first, &inner, &outer)) {
      double v1;
      if (variable_value(as_object(first), ctx, &v1) < 0) {
        quadmap_iter_free(&outer);
        return -1;
      }
      const var_s *second;
      double coef;
      map_cursor cursor = nullptr;
      while (linmap_next(inner, &second, &coef, &cursor)) {
        double v2;
        if (variable_value(as_object(second), ctx, &v2) < 0) {
          linmap_iter_free(&cursor);
          quadmap_iter_free(&outer);
          return -1;
        }
        total += coef * v1 * v2;
      }
      linmap_iter_free(&cursor);
    }
    quadmap_iter_free(&outer);
  }
  *value = total;
  return 0;
}

// ---- nonlinear nodes ------------------------------------------------------------

int value_at(PyObject *obj, const eval_context *ctx, int depth, double *value);

// Tolerance of and/or: the module-wide default of miptol when one is set.
double logic_tolerance() {
  PyObject *tol = krv_py_env.default_controls ? PyDict_GetItemString(krv_py_env.default_controls, "miptol") : nullptr;
  if (!tol) return kDefaultLogicTolerance;
  double v = PyFloat_AsDouble(tol);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return kDefaultLogicTolerance;
  }
  return v;
}

// Operand i of an n-ary node (list or tuple), held while it is evaluated;
// null past the end. A user function called during the evaluation may amend
// a sum or product in place, so the size is read again at every step.
PyRef operand_at(PyObject *args, Py_ssize_t i) {
  if (PyList_Check(args)) return i < PyList_GET_SIZE(args) ? PyRef::borrow(PyList_GET_ITEM(args, i)) : PyRef();
  return i < PyTuple_GET_SIZE(args) ? PyRef::borrow(PyTuple_GET_ITEM(args, i)) : PyRef();
}

bool is_sequence_args(PyObject *args) { return args && (PyList_Check(args) || PyTuple_Check(args)); }

int pwl_value(PyObject *args, const eval_context *ctx, int depth, double *value) {
  if (!is_sequence_args(args) || PySequence_Fast_GET_SIZE(args) < 3 || PySequence_Fast_GET_SIZE(args) % 2 == 0)
    return model_error("Invalid piecewise linear function");
  PyRef variable = operand_at(args, 0);
  double t;
  if (value_at(variable.get(), ctx, depth, &t) < 0) return -1;
  std::vector<double> xs, ys;
  for (Py_ssize_t i = 1;; i += 2) {
    PyRef px = operand_at(args, i), py = operand_at(args, i + 1);
    if (!px || !py) break;
    xs.push_back(PyFloat_AsDouble(px.get()));
    ys.push_back(PyFloat_AsDouble(py.get()));
  }
  if (PyErr_Occurred()) return -1;
  Py_ssize_t count = static_cast<Py_ssize_t>(xs.size());
  auto line = [t](double x0, double y0, double x1, double y1) { return y0 + (y1 - y0) / (x1 - x0) * (t - x0); };
  Py_ssize_t i = 0;
  while (i < count && !(xs[i] > t)) ++i;
  if (i > 0 && i < count) {
    *value = line(xs[i - 1], ys[i - 1], xs[i], ys[i]);
    return 0;
  }
  if (i == 0) {
    PyRef t_obj(PyFloat_FromDouble(t));
    if (!t_obj) return -1;
    if (count < 2) {
      PyErr_Format(korvo_interface_error, "Not enough points to extrapolate value of piecewise linear containing fraction for %S = %S",
                   variable.get(), t_obj.get());
      return -1;
    }
    if (xs[0] == xs[1]) {
      PyErr_Format(korvo_interface_error,
                   "Piecewise linear function has discontinuity at first breakpoint %S = %S and can't be evaluated at %S",
                   variable.get(), operand_at(args, 1).get(), t_obj.get());
      return -1;
    }
    *value = line(xs[0], ys[0], xs[1], ys[1]);
    return 0;
  }
  // At or beyond the last breakpoint: continue the last piece. A jump at the
  // last breakpoint leaves no piece to continue; the function then stays at
  // the value after the jump.
  if (count < 2 || xs[count - 2] == xs[count - 1]) {
    *value = ys[count - 1];
    return 0;
  }
  *value = line(xs[count - 2], ys[count - 2], xs[count - 1], ys[count - 1]);
  return 0;
}

int user_value(PyObject *args, const eval_context *ctx, int depth, double *value) {
  if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1 || !PyCallable_Check(PyTuple_GET_ITEM(args, 0)))
    return model_error("Invalid user function in nonlinear expression");
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  PyRef call_args(PyTuple_New(n - 1));
  if (!call_args) return -1;
  for (Py_ssize_t i = 1; i < n; ++i) {
    double v;
    if (value_at(PyTuple_GET_ITEM(args, i), ctx, depth, &v) < 0) return -1;
    PyObject *number = PyFloat_FromDouble(v);
    if (!number) return -1;
    PyTuple_SET_ITEM(call_args.get(), i - 1, number);
  }
  PyRef result(PyObject_Call(PyTuple_GET_ITEM(args, 0), call_args.get(), nullptr));
  if (!result) return -1;
  PyObject *first = result.get();
  if (PyTuple_Check(first)) {
    if (PyTuple_GET_SIZE(first) == 0) return model_error("User function returned an empty tuple");
    first = PyTuple_GET_ITEM(first, 0);
  }
  *value = PyFloat_AsDouble(first);
  return *value == -1.0 && PyErr_Occurred() ? -1 : 0;
}

// Value of the one-argument function op at v; false for other codes.
bool unary_value(uint32_t op, double v, double *out) {
  if (op == NL_LOG10) {
    *out = std::log(v) / 2.302585092994046;
    return true;
  }
  switch (op) {
#define KORVO_UNARY_FUNCTION(name, code, expr, what) \
  case code: *out = (expr); return true;
#include "nonlin/unary_functions.def"
#undef KORVO_UNARY_FUNCTION
    default: return false;
  }
}

// depth: the number of nodes from the root down to this one.
int node_value(const nonlin_s *node, const eval_context *ctx, int depth, double *value) {
  if (depth > kMaxDepth) return depth_exceeded();
  // The operands stay alive even if the node is amended meanwhile.
  PyRef held = PyRef::borrow(node->args);
  PyObject *args = held.get();
  switch (node->op) {
    case NL_SUM:
    case NL_PROD: {
      if (!is_sequence_args(args)) break;
      double total = node->op == NL_SUM ? 0.0 : 1.0;
      for (Py_ssize_t i = 0;; ++i) {
        PyRef item = operand_at(args, i);
        if (!item) break;
        double v;
        if (value_at(item.get(), ctx, depth, &v) < 0) return -1;
        total = node->op == NL_SUM ? total + v : total * v;
      }
      *value = total;
      return 0;
    }
    case NL_MINUS:
    case NL_DIV:
    case NL_POW: {
      if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 2) break;
      double a, b;
      if (value_at(PyTuple_GET_ITEM(args, 0), ctx, depth, &a) < 0 ||
          value_at(PyTuple_GET_ITEM(args, 1), ctx, depth, &b) < 0)
        return -1;
      if (node->op == NL_MINUS) {
        *value = a - b;
      } else if (node->op == NL_POW) {
        *value = std::pow(a, b);
      } else {
        if (b == 0.0) {
          PyErr_SetString(PyExc_ZeroDivisionError, "Division by zero in evaluation of expression containing fraction");
          return -1;
        }
        *value = a / b;
      }
      return 0;
    }
    case NL_MAX:
    case NL_MIN: {
      if (!is_sequence_args(args)) break;
      PyRef first = operand_at(args, 0);
      if (!first) break;
      double best;
      if (value_at(first.get(), ctx, depth, &best) < 0) return -1;
      for (Py_ssize_t i = 1;; ++i) {
        PyRef item = operand_at(args, i);
        if (!item) break;
        double v;
        if (value_at(item.get(), ctx, depth, &v) < 0) return -1;
        if (node->op == NL_MAX ? v > best : v < best) best = v;
      }
      *value = best;
      return 0;
    }
    case NL_AND:
    case NL_OR: {
      if (!is_sequence_args(args)) break;
      double tol = logic_tolerance();
      bool is_and = node->op == NL_AND;
      for (Py_ssize_t i = 0;; ++i) {
        PyRef item = operand_at(args, i);
        if (!item) break;
        double v;
        if (value_at(item.get(), ctx, depth, &v) < 0) return -1;
        if (is_and ? v <= tol : v > 1.0 - tol) {
          *value = is_and ? 0.0 : 1.0;
          return 0;
        }
      }
      *value = is_and ? 1.0 : 0.0;
      return 0;
    }
    case NL_PWL: return pwl_value(args, ctx, depth, value);
    case NL_USER:
    case NL_USER_DERIV: return user_value(args, ctx, depth, value);
    case NL_NEG: {
      if (!args) break;
      double a;
      if (value_at(args, ctx, depth, &a) < 0) return -1;
      *value = -a;
      return 0;
    }
    default: {
      double a, result;
      if (!args || !unary_value(node->op, 0.0, &result)) return model_error("Unknown nonlinear type");
      if (value_at(args, ctx, depth, &a) < 0) return -1;
      unary_value(node->op, a, value);
      return 0;
    }
  }
  return model_error("Invalid nonlinear expression");
}

int value_at(PyObject *obj, const eval_context *ctx, int depth, double *value) {
  switch (exprKind(obj)) {
    case EXPR_CONSTANT:
      *value = PyFloat_AsDouble(obj);
      return *value == -1.0 && PyErr_Occurred() ? -1 : 0;
    case EXPR_VAR: return variable_value(obj, ctx, value);
    case EXPR_LINTERM: {
      double v;
      if (variable_value(as_object(as_linterm(obj)->var), ctx, &v) < 0) return -1;
      *value = as_linterm(obj)->coef * v;
      return 0;
    }
    case EXPR_QUADTERM: {
      const quadterm_s *q = as_quadterm(obj);
      double v1, v2;
      if (variable_value(as_object(q->first), ctx, &v1) < 0) return -1;
      if (same_variable(q->first, q->second)) {
        v2 = v1;
      } else if (variable_value(as_object(q->second), ctx, &v2) < 0) {
        return -1;
      }
      *value = q->coef * v1 * v2;
      return 0;
    }
    case EXPR_EXPRESSION: return expression_value(obj, ctx, value);
    case EXPR_NONLINEAR: return node_value(as_nonlin(obj), ctx, depth + 1, value);
    default: return model_error("Evaluation of object of incorrect type");
  }
}

// ---- the walk over containers ------------------------------------------------------

bool is_text(PyObject *obj) { return PyUnicode_Check(obj) || PyBytes_Check(obj); }

// Value of one leaf: in index mode integers and names stand for columns.
int leaf_value(PyObject *obj, const eval_context *ctx, double *value) {
  if (ctx->index_mode && ctx->problem && (is_int_like(obj) || is_text(obj))) {
    int64_t index;
    if (is_text(obj)) {
      const char *name = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : PyBytes_AS_STRING(obj);
      if (!name) return -1;
      int found = -1;
      if (KRVSgetindex(ctx->problem->prob, 2, name, &found) != 0) {
        setKrvsErrIfNull(reinterpret_cast<PyObject *>(ctx->problem), nullptr);
        return -1;
      }
      index = found;
    } else {
      long long v = PyLong_AsLongLong(obj);
      if (v == -1 && PyErr_Occurred()) return -1;
      index = v;
    }
    if (!ctx->values || index < 0 || index >= ctx->value_count)
      return model_error("Call to korvo.problem.getSolution() contains an out-of-range index");
    *value = ctx->values[index];
    return 0;
  }
  return value_at(obj, ctx, 0, value);
}

bool evaluable_array(PyArrayObject *arr, const eval_context *ctx) {
  PyArray_Descr *descr = PyArray_DESCR(arr);
  if (descr->type_num == NPY_OBJECT) return true;
  if (ctx->index_mode && PyArray_ISINTEGER(arr)) return true;  // column indices
  for (PyArray_Descr *known : {krv_py_env.npvar, krv_py_env.npexpr, krv_py_env.npconstraint})
    if (known && PyArray_EquivTypes(descr, known)) return true;
  return false;
}

PyObject *array_result(PyObject *obj, const eval_context *ctx) {
  PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(obj);
  if (!evaluable_array(arr, ctx)) {
    PyErr_SetString(korvo_interface_error,
                    "korvo.evaluate() requires one or more Python objects;\nNumPy arrays must be of dtype "
                    "korvo.npvar, korvo.npexpr, or korvo.npconstraint.");
    return nullptr;
  }
  PyRef out(PyArray_NewLikeArray(arr, NPY_CORDER, PyArray_DescrFromType(NPY_DOUBLE), 0));
  PyRef it(out ? PyArray_IterNew(obj) : nullptr);
  if (!out || !it) {
    if (!PyErr_Occurred())
      PyErr_SetString(korvo_interface_error, "Could not initialize result of the evaluation of a NumPy array");
    return nullptr;
  }
  auto *iter = reinterpret_cast<PyArrayIterObject *>(it.get());
  double *dst = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.get())));
  while (PyArray_ITER_NOTDONE(iter)) {
    PyRef item(PyArray_GETITEM(arr, static_cast<char *>(PyArray_ITER_DATA(iter))));
    if (!item || leaf_value(item.get(), ctx, dst++) < 0) return nullptr;
    PyArray_ITER_NEXT(iter);
  }
  return out.release();
}

PyObject *walk(PyObject *obj, const eval_context *ctx, int depth) {
  if (depth > kMaxDepth) return depth_exceeded(), nullptr;
  if (PyTuple_Check(obj)) {
    Py_ssize_t n = PyTuple_GET_SIZE(obj);
    PyRef out(PyTuple_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject *item = walk(PyTuple_GET_ITEM(obj, i), ctx, depth + 1);
      if (!item) return nullptr;
      PyTuple_SET_ITEM(out.get(), i, item);
    }
    return out.release();
  }
  if (PyDict_Check(obj)) {
    PyRef out(PyDict_New());
    if (!out) return nullptr;
    PyRef pairs(PyDict_Items(obj));  // a snapshot, for the same reason as lists below
    if (!pairs) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
      PyObject *pair = PyList_GET_ITEM(pairs.get(), i);
      PyRef item(walk(PyTuple_GET_ITEM(pair, 1), ctx, depth + 1));
      if (!item || PyDict_SetItem(out.get(), PyTuple_GET_ITEM(pair, 0), item.get()) < 0) return nullptr;
    }
    return out.release();
  }
  if (isNumpyArray(obj)) return array_result(obj, ctx);
  if (!is_text(obj) && exprKind(obj) == EXPR_INVALID && (PyList_Check(obj) || PySequence_Check(obj))) {
    // A private copy: user functions called while evaluating may change the caller's list.
    PyRef items(PySequence_List(obj));
    if (!items) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
      PyErr_Clear();
      PyErr_SetString(korvo_model_error, "Cannot evaluate type of sequence");
      return nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    PyRef out(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject *item = walk(PyList_GET_ITEM(items.get(), i), ctx, depth + 1);
      if (!item) return nullptr;
      PyList_SET_ITEM(out.get(), i, item);
    }
    return out.release();
  }
  double value;
  if (leaf_value(obj, ctx, &value) < 0) return nullptr;
  return PyFloat_FromDouble(value);
}

// ---- korvo.evaluate --------------------------------------------------------------

// The problem's current solution: from the nonlinear solver when the
// problem is nonlinear or that solver has a result, else from the MIP or LP
// solution of the optimizer. *count receives the problem's column count.
bool current_solution(problem_s *p, std::vector<double> *x, int64_t *count) {
  PyObject *context = reinterpret_cast<PyObject *>(p);
  int64_t columns = problem_column_count(p);
  if (columns < 0) return false;
  bool from_nonlinear = problem_is_nonlinear(p);
  int64_t source_columns = columns;
  if (!from_nonlinear && p->nlprob) {
    int status = 0, n = 0;
    if (KNLSgetintattrib(p->nlprob, 12044, &status) == 0 && status >= 1 && status <= 6 &&
        KNLSgetintattrib(p->nlprob, 12000, &n) == 0) {
      from_nonlinear = true;
      source_columns = n;
    }
  }
  // Room for the larger of the two counts, so that the solver never writes past the end.
  x->assign(static_cast<size_t>(std::max<int64_t>({columns, source_columns, 1})), 0.0);
  int rc;
  if (from_nonlinear) {
    rc = KNLSgetslpsol(p->nlprob, x->data(), nullptr, nullptr, nullptr);
  } else {
    int mip = problem_is_mip(p);
    if (mip < 0) return false;
    rc = mip ? KRVSgetmipsol(p->prob, x->data(), nullptr) : KRVSgetlpsol(p->prob, x->data(), nullptr, nullptr, nullptr);
  }
  if (rc != 0) return setKrvsErrIfNull(context, nullptr), false;
  *count = std::min(columns, source_columns);
  return true;
}

struct AllocatedValues {
  void *block = nullptr;
  ~AllocatedValues() { ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &block); }
};

}  // namespace

int evaluate_value(PyObject *obj, const eval_context *ctx, double *value) { return value_at(obj, ctx, 0, value); }

PyObject *evaluate_structure(PyObject *objects, const eval_context *ctx) { return walk(objects, ctx, 0); }

PyObject *evaluate_with_problem(PyObject *objects, problem_s *p, const double *x, int64_t ncols, bool index_mode) {
  eval_context ctx{p, x, ncols, nullptr, index_mode};
  return walk(objects, &ctx, 0);
}

PyObject *evaluate_with_dictionary(PyObject *objects, PyObject *dictionary) {
  eval_context ctx{nullptr, nullptr, 0, dictionary, false};
  return walk(objects, &ctx, 0);
}

PyObject *korvomod_evaluate(PyObject *, PyObject *args, PyObject *kwargs) {
  PyObject *problem = Py_None, *solution = Py_None;
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "problem") == 0) {
        problem = value;
      } else if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "solution") == 0) {
        solution = value;
      } else {
        PyErr_Format(PyExc_TypeError, "korvo.evaluate() got an unexpected keyword argument '%S'", key);
        return nullptr;
      }
    }
  }
  Py_ssize_t count = PyTuple_GET_SIZE(args);
  if (count == 0) {
    PyErr_SetString(korvo_interface_error, "korvo.evaluate() requires one or more Python objects to evaluate");
    return nullptr;
  }
  if (problem == Py_None && solution == Py_None) {
    PyErr_SetString(korvo_interface_error,
                    "korvo.evaluate() requires at least of the two arguments \"solution\" and \"problem\".\nSee the "
                    "documentation of korvo.evaluate for details.");
    return nullptr;
  }
  if (problem != Py_None && !PyObject_TypeCheck(problem, &korvo_problemType)) {
    PyErr_SetString(korvo_interface_error, "Argument \"problem\" must be an korvo.problem object");
    return nullptr;
  }
  problem_s *p = problem == Py_None ? nullptr : reinterpret_cast<problem_s *>(problem);
  eval_context ctx{p, nullptr, 0, nullptr, false};
  std::vector<double> current;
  AllocatedValues given;
  if (PyDict_Check(solution)) {
    ctx.dictionary = solution;
  } else if (solution == Py_None) {
    if (!current_solution(p, &current, &ctx.value_count)) return nullptr;
    ctx.values = current.data();
  } else if (PyList_Check(solution) || isNumpyArray(solution)) {
    if (!p) {
      PyErr_SetString(korvo_interface_error,
                      "Argument \"problem\" is necessary when passing a list or NumPy array of variable values");
      return nullptr;
    }
    int64_t n = problem_column_count(p);
    if (n < 0) return nullptr;
    int64_t length = -1;
    if (conv_obj2arr(p, &length, solution, &given.block, CONV_DOUBLE) < 0) return nullptr;
    ctx.values = static_cast<const double *>(given.block);
    ctx.value_count = std::min(std::max<int64_t>(length, 0), n);
  } else {
    PyErr_SetString(korvo_interface_error,
                    "Argument \"solution\" must be a dictionary, a list, or a one-dimensional NumPy array.\nSee the "
                    "documentation for korvo.evaluate");
    return nullptr;
  }
  if (count == 1) return walk(PyTuple_GET_ITEM(args, 0), &ctx, 0);
  return walk(args, &ctx, 0);
}
