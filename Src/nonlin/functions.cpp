// Module functions that build nonlinear expressions: the one-argument
// functions (on numbers, arrays and expressions), min, max, And, Or, user
// and pwl.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "evaluate/evaluate.h"
#include "expression/expression.h"
#include "expression/linterm.h"
#include "nonlin/nonlinear.h"
#include "numpy_types/npy_api.h"
#include "python_model/docstrings.h"
#include "python_model/method_tables.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int kMaxArrayDims = 64;

PyObject *model_error(const char *message) {
  if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, message);
  return nullptr;
}

// ---- one-argument functions ---------------------------------------------------

using RealFunction = double (*)(double);

// Applies the function to each element of arr into a new array of the same
// shape: float64 for numeric arrays, objects (floats or nodes) otherwise.
PyObject *vector_compose_op(PyObject *arr, PyObject *(*apply)(PyObject *)) {
  PyArrayObject *in = reinterpret_cast<PyArrayObject *>(arr);
  bool numeric = PyArray_ISNUMBER(in) || PyArray_ISBOOL(in);
  PyArray_Descr *descr = PyArray_DescrFromType(numeric ? NPY_DOUBLE : NPY_OBJECT);
  if (!descr) return nullptr;
  PyRef out(PyArray_NewLikeArray(in, NPY_CORDER, descr, 0));  // steals descr
  if (!out) return nullptr;
  PyRef in_it(PyArray_IterNew(arr));
  PyRef out_it(in_it ? PyArray_IterNew(out.get()) : nullptr);
  if (!in_it || !out_it) {
    if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Cannot iterate on sequence of arguments");
    return nullptr;
  }
  auto *src = reinterpret_cast<PyArrayIterObject *>(in_it.get());
  auto *dst = reinterpret_cast<PyArrayIterObject *>(out_it.get());
  PyArrayObject *out_arr = reinterpret_cast<PyArrayObject *>(out.get());
  while (PyArray_ITER_NOTDONE(src)) {
    PyRef item(PyArray_GETITEM(in, static_cast<char *>(PyArray_ITER_DATA(src))));
    PyRef value(item ? apply(item.get()) : nullptr);
    if (!value || PyArray_SETITEM(out_arr, static_cast<char *>(PyArray_ITER_DATA(dst)), value.get()) < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Cannot iterate on sequence of arguments");
      return nullptr;
    }
    PyArray_ITER_NEXT(src);
    PyArray_ITER_NEXT(dst);
  }
  return out.release();
}

PyObject *apply_unary(uint32_t op, RealFunction fn, PyObject *arg) {
  if (isNumericScalar(arg)) {
    double v = PyFloat_AsDouble(arg);
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(fn(v));
  }
  return nonlin_create(false, op, arg);
}

#define KORVO_UNARY_FUNCTION(name, op, value, what)                                                    \
  double real_##name(double v) { return value; }                                                       \
  PyObject *element_##name(PyObject *arg) { return apply_unary(op, real_##name, arg); }                \
  PyObject *korvomod_##name(PyObject *, PyObject *arg) {                                               \
    if (isNumpyArray(arg)) return vector_compose_op(arg, element_##name);                              \
    return element_##name(arg);                                                                         \
  }
#include "nonlin/unary_functions.def"
#undef KORVO_UNARY_FUNCTION

// ---- min, max, And, Or ------------------------------------------------------------

struct NaryFunction {
  const char *name;       // as shown in messages
  uint32_t op;
  bool empty_is_error;    // no argument: error, or the float empty_value
  double empty_value;
};

const NaryFunction kMin{"min", NL_MIN, true, 0.0};
const NaryFunction kMax{"max", NL_MAX, true, 0.0};
const NaryFunction kAnd{"And", NL_AND, false, 1.0};
const NaryFunction kOr{"Or", NL_OR, false, 0.0};

PyObject *incorrect_argument(const NaryFunction &fn) {
  if (!PyErr_Occurred()) PyErr_Format(korvo_model_error, "Incorrect argument for korvo.%s function", fn.name);
  return nullptr;
}

// The elements of an array as Python objects (numbers as int or float).
PyObject *array_elements(PyObject *arr) {
  PyArrayObject *a = reinterpret_cast<PyArrayObject *>(arr);
  if (PyArray_NDIM(a) > kMaxArrayDims)
    return model_error("Array has far too many dimensions to be used in a nonlinear expression");
  PyRef it(PyArray_IterNew(arr));
  if (!it) return nullptr;
  PyRef items(PyTuple_New(PyArray_SIZE(a)));
  if (!items) return nullptr;
  auto *iter = reinterpret_cast<PyArrayIterObject *>(it.get());
  for (Py_ssize_t i = 0; PyArray_ITER_NOTDONE(iter); ++i) {
    PyObject *item = PyArray_GETITEM(a, static_cast<char *>(PyArray_ITER_DATA(iter)));
    if (!item) return nullptr;
    PyTuple_SET_ITEM(items.get(), i, item);
    PyArray_ITER_NEXT(iter);
  }
  return items.release();
}

// The operands of min, max, And and Or: the positional arguments, or the
// elements of a single list, tuple, sequence or array.
PyObject *unpack_operands(PyObject *args, const NaryFunction &fn) {
  if (!PyTuple_Check(args)) return model_error("Insufficient number of arguments declared for operator");
  if (PyTuple_GET_SIZE(args) != 1) return Py_NewRef(args);
  PyObject *only = PyTuple_GET_ITEM(args, 0);
  if (isNumpyArray(only)) {
    PyObject *items = array_elements(only);
    return items ? items : incorrect_argument(fn);
  }
  bool text = PyUnicode_Check(only) || PyBytes_Check(only) || PyByteArray_Check(only);
  if (PyList_Check(only) || PyTuple_Check(only) || (!text && exprKind(only) < 0 && PySequence_Check(only))) {
    PyObject *items = PySequence_Tuple(only);
    return items ? items : incorrect_argument(fn);
  }
  return Py_NewRef(args);
}

PyObject *nary_function(const NaryFunction &fn, PyObject *args) {
  PyRef operands(unpack_operands(args, fn));
  if (!operands) return nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(operands.get());
  if (n == 0) {
    if (fn.empty_is_error) {
      PyErr_Format(korvo_model_error, "The function korvo.%s must have at least one argument", fn.name);
      return nullptr;
    }
    return PyFloat_FromDouble(fn.empty_value);
  }
  if (n == 1) {
    PyObject *only = PyTuple_GET_ITEM(operands.get(), 0);
    if (exprKind(only) < 0) return model_error("Incorrect argument for expression");
    return Py_NewRef(only);
  }
  return nonlin_create(true, fn.op, operands.get());
}

PyObject *korvomod_min(PyObject *, PyObject *args) { return nary_function(kMin, args); }
PyObject *korvomod_max(PyObject *, PyObject *args) { return nary_function(kMax, args); }
PyObject *korvomod_And(PyObject *, PyObject *args) { return nary_function(kAnd, args); }
PyObject *korvomod_Or(PyObject *, PyObject *args) { return nary_function(kOr, args); }

// ---- user functions -----------------------------------------------------------------

PyObject *korvomod_user(PyObject *, PyObject *args, PyObject *kwargs) {
  bool derivatives = false;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "derivatives") != 0) {
        PyErr_Format(PyExc_TypeError, "korvo.user() got an unexpected keyword argument '%S'", key);
        return nullptr;
      }
      int truth = PyObject_IsTrue(value);
      if (truth < 0) return nullptr;
      derivatives = truth != 0;
    }
  }
  if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) == 0)
    return model_error("Insufficient number of arguments declared for operator");
  return nonlin_create(true, derivatives ? NL_USER_DERIV : NL_USER, args);
}

// ---- piecewise linear functions -------------------------------------------------------

struct Interval {
  double a, b, ya, yb;
};

// Slope, intercept and variable (null for a constant) of a piece.
int linear_piece(PyObject *value, double *slope, double *intercept, PyObject **var) {
  *slope = 0.0;
  *intercept = 0.0;
  *var = nullptr;
  switch (exprKind(value)) {
    case EXPR_CONSTANT:
      *intercept = PyFloat_AsDouble(value);
      return PyErr_Occurred() ? -1 : 0;
    case EXPR_VAR:
      *slope = 1.0;
      *var = value;
      return 0;
    case EXPR_LINTERM:
      *slope = as_linterm(value)->coef;
      *var = reinterpret_cast<PyObject *>(as_linterm(value)->var);
      return 0;
    case EXPR_EXPRESSION: {
      expression_s *e = as_expression(value);
      if (e->quad && quadmap_size(e->quad) > 0) break;
      *intercept = e->constant;
      if (!expression_lin(e) || linmap_size(expression_lin(e)) == 0) return 0;
      if (linmap_size(expression_lin(e)) > 1) {
        PyErr_Format(korvo_model_error,
                     "Expression %S not suitable for a piecewise linear function; it must contain one variable only",
                     value);
        return -1;
      }
      const var_s *key;
      map_cursor cursor = nullptr;
      linmap_next(expression_lin(e), &key, slope, &cursor);
      linmap_iter_free(&cursor);
      *var = reinterpret_cast<PyObject *>(const_cast<var_s *>(key));
      return 0;
    }
    default: break;
  }
  PyErr_Clear();
  PyErr_Format(korvo_model_error,
               "Expression %S not suitable for a piecewise linear function; it must be a constant or a linear function",
               value);
  return -1;
}

bool finite_bound(double v) { return std::fabs(v) < 1e20; }

PyObject *float_obj(double v) { return PyFloat_FromDouble(v); }

PyObject *korvomod_pwl(PyObject *, PyObject *args) {
  PyObject *dict = nullptr;
  if (PyTuple_GET_SIZE(args) == 1) dict = PyTuple_GET_ITEM(args, 0);
  if (!dict || !PyDict_Check(dict))
    return model_error(
        "Function korvo.pwl only accepts a dictionary; a call must be for example "
        "korvo.pwl({(1,4): 2*x+1, (4,6): 4*x+5, ...})");
  PyObject *variable = nullptr;  // borrowed from the dictionary's contents
  PyObject *none_value = PyDict_GetItemWithError(dict, Py_None);
  if (!none_value && PyErr_Occurred()) return nullptr;
  if (none_value) {
    if (!isVar(none_value)) {
      PyErr_Format(korvo_model_error, "Tuple (None, Obj) must have an korvo.var() object as Obj, found <%S>",
                   none_value);
      return nullptr;
    }
    variable = none_value;
  }
  std::vector<Interval> pieces;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (key == Py_None) continue;
    if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) {
      PyErr_Format(korvo_model_error, "All keys in the dictionary argument of korvo.pwl must be two-tuples; <%S> is not",
                   key);
      return nullptr;
    }
    PyObject *ka = PyTuple_GET_ITEM(key, 0), *kb = PyTuple_GET_ITEM(key, 1);
    double a = 0.0, b = 0.0;
    bool numbers = isNumericScalar(ka) && isNumericScalar(kb);
    if (numbers) {
      a = PyFloat_AsDouble(ka);
      b = PyFloat_AsDouble(kb);
      if (PyErr_Occurred()) return nullptr;
    }
    if (!numbers || !(a <= b)) {
      PyErr_Format(korvo_model_error,
                   "All keys in the dictionary argument of korvo.pwl must be two-tuples with two constant numbers: "
                   "[a,b] such that a<b; <%S> is not",
                   key);
      return nullptr;
    }
    double slope, intercept;
    PyObject *piece_var;
    if (linear_piece(value, &slope, &intercept, &piece_var) < 0) return nullptr;
    if (piece_var) {
      if (!variable) {
        variable = piece_var;
      } else if (!same_variable(as_var(variable), as_var(piece_var))) {
        PyErr_Format(korvo_model_error,
                     "Expression in [%S,%S] interval contains variable %S while another variable has been used in "
                     "the same function",
                     ka, kb, piece_var);
        return nullptr;
      }
    }
    Interval iv{a, b, slope * a + intercept, slope * b + intercept};
    // An unbounded end is replaced by a point at a fixed distance from the
    // finite one, so that the piece still fixes the slope.
    if ((!finite_bound(iv.ya) || iv.a <= -1e20) && finite_bound(iv.b) && finite_bound(iv.yb)) {
      iv.a = iv.b - 0.88;
      iv.ya = slope * iv.a + intercept;
    }
    if ((!finite_bound(iv.yb) || iv.b >= 1e20) && finite_bound(iv.a) && finite_bound(iv.ya)) {
      iv.b = iv.a + 0.88;
      iv.yb = slope * iv.b + intercept;
    }
    pieces.push_back(iv);
  }
  if (!variable) {
    PyErr_Format(korvo_model_error,
                 "No variable specified for this piecewise linear function: %S; Are all values constant? If so, add "
                 "a key-value pair (None: x) to the dictionary with the variable associated to the piecewise linear",
                 dict);
    return nullptr;
  }
  // Ties on the start are broken by the end, so that a point interval comes
  // before the piece that starts there.
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Interval &p, const Interval &q) { return p.a < q.a || (p.a == q.a && p.b < q.b); });
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    if (pieces[i + 1].a < pieces[i].b) {
      PyRef a1(float_obj(pieces[i].a)), b1(float_obj(pieces[i].b));
      PyRef a2(float_obj(pieces[i + 1].a)), b2(float_obj(pieces[i + 1].b));
      if (!a1 || !b1 || !a2 || !b2) return nullptr;
      PyErr_Format(korvo_model_error, "Interval [%S,%S] overlaps with [%S,%S] in piecewise linear function", a1.get(),
                   b1.get(), a2.get(), b2.get());
      return nullptr;
    }
  }
  std::vector<double> points;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Interval &p = pieces[i];
    points.push_back(p.a);
    points.push_back(p.ya);
    bool last = i + 1 == pieces.size();
    if (last || pieces[i + 1].a - p.b > 1e-6 || std::fabs(p.yb - pieces[i + 1].ya) > 1e-6) {
      points.push_back(p.b);
      points.push_back(p.yb);
    }
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(points.size()) + 1));
  if (!list) return nullptr;
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(variable));
  for (size_t i = 0; i < points.size(); ++i) {
    PyObject *number = float_obj(points[i]);
    if (!number) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i) + 1, number);
  }
  return nonlin_instantiate_nary(NL_PWL, list.get());
}

#define KORVO_FN(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

}  // namespace

PyMethodDef korvo_nonlinear_methods[] = {
#define KORVO_UNARY_FUNCTION(name, op, value, what)                                                             \
  {#name, korvomod_##name, METH_O,                                                                               \
   KORVO_DOC("Returns the " what " of a number, of each element of a NumPy array, or of a modelling object as "  \
             "a nonlinear expression.",                                                                          \
             "y = korvo." #name "(x)",                                                                           \
             KORVO_ARG("x: a number, a NumPy array, a variable, or a linear, quadratic or nonlinear expression."), \
             "y = korvo." #name "(2 * x + 1)",                                                                   \
             "A number gives a float and an array a new array of the same shape; use korvo.evaluate() for the "  \
             "value of an expression at given variable values.")},
#include "nonlin/unary_functions.def"
#undef KORVO_UNARY_FUNCTION
    {"min", korvomod_min, METH_VARARGS,
     KORVO_DOC("Returns the minimum of its arguments as a nonlinear expression.", "y = korvo.min(a, b, ...)",
               KORVO_ARGS("a, b, ...: expressions or numbers, or one list, tuple or NumPy array of them."),
               "m = korvo.min(x, 2 * y, 4)",
               "A single argument is returned itself; at least one argument is required.")},
    {"max", korvomod_max, METH_VARARGS,
     KORVO_DOC("Returns the maximum of its arguments as a nonlinear expression.", "y = korvo.max(a, b, ...)",
               KORVO_ARGS("a, b, ...: expressions or numbers, or one list, tuple or NumPy array of them."),
               "m = korvo.max([x, y, z])",
               "A single argument is returned itself; at least one argument is required.")},
    {"And", korvomod_And, METH_VARARGS,
     KORVO_DOC("Returns the logical conjunction of its arguments as a nonlinear expression.",
               "y = korvo.And(a, b, ...)",
               KORVO_ARGS("a, b, ...: expressions (usually binary variables), or one list, tuple or array of them."),
               "both = korvo.And(x, y)",
               "An argument counts as true when it exceeds the tolerance miptol; without arguments the result is "
               "1.0. The operator & gives the same for two operands.")},
    {"Or", korvomod_Or, METH_VARARGS,
     KORVO_DOC("Returns the logical disjunction of its arguments as a nonlinear expression.",
               "y = korvo.Or(a, b, ...)",
               KORVO_ARGS("a, b, ...: expressions (usually binary variables), or one list, tuple or array of them."),
               "any_of = korvo.Or(x, y, z)",
               "An argument counts as true when it exceeds 1 - miptol; without arguments the result is 0.0. The "
               "operator | gives the same for two operands.")},
    {"user", KORVO_FN(korvomod_user), METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Returns a call of a Python function as a nonlinear expression.",
               "y = korvo.user(func, a, b, ..., derivatives=False)",
               KORVO_ARGS("func: a callable taking one float per operand and returning a float (or a tuple "
                          "whose first item is the value);\n  a, b, ...: the operands, expressions or numbers;\n"
                          "  derivatives: True when func also returns the partial derivatives."),
               "f = korvo.user(lambda a, b: a * math.exp(b), x, y)",
               "The function is called with floats whenever the expression is evaluated.")},
    {"pwl", korvomod_pwl, METH_VARARGS,
     KORVO_DOC("Returns a piecewise linear function of one variable.", "y = korvo.pwl(pieces)",
               KORVO_ARG("pieces: a dictionary mapping intervals (a, b) to a constant or a linear function of one "
                         "variable; the key None may name the variable when all values are constant."),
               "y = korvo.pwl({(0, 1): x + 1, (1, 2): 3 * x - 1})",
               "Intervals must not overlap; a gap or a change of value between adjacent intervals is kept as a "
               "jump; an unbounded end (+-1e20) continues the slope of its piece.")},
    {"evaluate", KORVO_FN(korvomod_evaluate), METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Computes the value of modelling objects at given variable values.",
               "values = korvo.evaluate(e1, e2, ..., problem=None, solution=None)",
               KORVO_ARGS("e1, e2, ...: variables, expressions, nonlinear expressions, or tuples, lists, "
                          "dictionaries and NumPy arrays of them;\n  problem: a korvo.problem whose columns index "
                          "the solution (its current solution when solution is absent);\n  solution: a dictionary "
                          "from variables to values, or a list or one-dimensional array of values by column."),
               "korvo.evaluate(korvo.exp(x) + y, solution={x: 0, y: 2})  # 3.0",
               "Tuples give tuples, dictionaries dictionaries, other sequences lists and arrays float64 arrays; "
               "one argument gives its own result, several a tuple.")},
    {nullptr, nullptr, 0, nullptr}};
