// korvo.nonlinear: operator nodes over modelling objects and numbers.
//
// Sums and products hold a list, binary operators a 2-tuple, unary operators
// the operand itself, n-ary functions a tuple. Two shapes are kept by every
// constructor: a product keeps its one number last, and a sum keeps all its
// constant, linear and quadratic terms in one item placed after the
// nonlinear terms. That item is always an object the sum owns alone or an
// immutable one, so that `+=` can amend it in place without touching any
// other holder.
#include "nonlin/nonlinear.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "constraint/constraint.h"
#include "expression/arithmetic.h"
#include "expression/expression.h"
#include "expression/linterm.h"
#include "expression/quadterm.h"
#include "python_model/docstrings.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int kMaxDepth = 64;

struct OperatorRow {
  const char *name;
  int arity;  // -1: any number
  bool infix;
};

// Indexed by the operator code.
const OperatorRow printToolArray[] = {
    {"+", -1, true},     {"-", 2, true},      {"-", 1, false},     {"*", -1, true},     {"/", 2, true},
    {"**", 2, true},     {"exp", 1, false},   {"log", 1, false},   {"log10", 1, false}, {"sin", 1, false},
    {"cos", 1, false},   {"tan", 1, false},   {"asin", 1, false},  {"acos", 1, false},  {"atan", 1, false},
    {"max", -1, false},  {"min", -1, false},  {"abs", 1, false},   {"sign", 1, false},  {"erf", 1, false},
    {"erfc", 1, false},  {"sqrt", 1, false},  {"and", -1, false},  {"or", -1, false},   {"pwl", -1, false},
    {"user", -1, false}, {"user", -1, false},
};
constexpr uint32_t kNumOperators = sizeof printToolArray / sizeof printToolArray[0];

PyObject *model_error(const char *message) {
  if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, message);
  return nullptr;
}

// Replaces a modelling error raised underneath by a more precise one; other
// exceptions (memory) are kept.
PyObject *restate_model_error(const char *message) {
  if (!PyErr_Occurred() || PyErr_ExceptionMatches(korvo_model_error)) {
    PyErr_Clear();
    PyErr_SetString(korvo_model_error, message);
  }
  return nullptr;
}

PyObject *new_list2(PyObject *a, PyObject *b) {
  PyObject *list = PyList_New(2);
  if (!list) return nullptr;
  PyList_SET_ITEM(list, 0, Py_NewRef(a));
  PyList_SET_ITEM(list, 1, Py_NewRef(b));
  return list;
}

bool is_node(PyObject *obj, uint32_t op) { return isNonlin(obj) && as_nonlin(obj)->op == op && as_nonlin(obj)->args; }
bool is_user_op(uint32_t op) { return op == NL_USER || op == NL_USER_DERIV; }

bool is_number(PyObject *obj, double value) {
  if (!isNumericScalar(obj)) return false;
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return v == value;
}

// Numbers, variables, linear and quadratic terms and expressions: what the
// one linear item of a sum may be.
bool is_linear_part(PyObject *obj) {
  int kind = exprKind(obj);
  return kind >= EXPR_CONSTANT && kind <= EXPR_EXPRESSION;
}

// Objects that may be amended in place and must therefore not be shared
// into a new sum as its linear item.
bool is_mutable_operand(PyObject *obj) { return isExpression(obj) || isNonlin(obj); }

PyObject *make_node(uint32_t op, PyObject *args_owned) {
  if (!args_owned) return nullptr;
  PyObject *node = nonlin_base();
  if (!node) {
    Py_DECREF(args_owned);
    return nullptr;
  }
  as_nonlin(node)->args = args_owned;
  as_nonlin(node)->op = op;
  return node;
}

void replace_args(PyObject *node, PyObject *args_owned) {
  PyObject *old = as_nonlin(node)->args;
  as_nonlin(node)->args = args_owned;
  Py_XDECREF(old);
}

// f*b as an operand of a sum or product: b itself for f = 1, the negation
// for -1, otherwise the product by the float f.
PyObject *scaled_operand(PyObject *b, double f) {
  if (f == 1.0) return Py_NewRef(b);
  if (f == -1.0) return general_neg(b);
  PyRef k(PyFloat_FromDouble(f));
  return k ? general_mul(b, k.get()) : nullptr;
}

// A node of a one-operand function (sin(sin(...))) holds its operand
// directly, so freeing a long chain would take one C frame per node and
// overflow the stack. Nodes that only this chain holds are instead taken
// apart in a loop; operands in lists and tuples are freed by those
// containers, which defer deep nesting themselves.
void nonlin_dealloc(PyObject *self) {
  PyObject *operand = as_nonlin(self)->args;
  as_nonlin(self)->args = nullptr;
  Py_TYPE(self)->tp_free(self);
  while (operand && Py_IS_TYPE(operand, &korvo_nonlinType) && Py_REFCNT(operand) == 1) {
    PyObject *next = as_nonlin(operand)->args;
    as_nonlin(operand)->args = nullptr;
    Py_DECREF(operand);  // now without an operand: no recursion
    operand = next;
  }
  Py_XDECREF(operand);
}

// ---- string form -------------------------------------------------------------

bool append_text(PyObject *obj, int depth, std::string *out);

bool append_str(PyObject *obj, std::string *out) {
  PyRef text(PyObject_Str(obj));
  if (!text) return false;
  Py_ssize_t size;
  const char *data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!data) return false;
  out->append(data, static_cast<size_t>(size));
  return true;
}

// How an operand's own text binds, for placing it under an infix operator:
// a sum of several pieces ("  x + y"), a product or power of a term ("2*x",
// "x*y", "x**2"), a text led by a minus ("-3", "- (x)"), or a single unit.
enum class Binding { unit, signed_unit, multiplicative, additive };

Binding binding_of(PyObject *obj) {
  switch (exprKind(obj)) {
    case EXPR_CONSTANT: return PyFloat_AsDouble(obj) < 0.0 ? Binding::signed_unit : Binding::unit;
    case EXPR_LINTERM: {
      double c = as_linterm(obj)->coef;
      return c == 1.0 ? Binding::unit : Binding::multiplicative;
    }
    case EXPR_QUADTERM: return Binding::multiplicative;
    case EXPR_EXPRESSION: {
      const expression_s *e = as_expression(obj);
      size_t pieces = (e->constant != 0.0 ? 1 : 0) + (expression_lin(e) ? linmap_size(expression_lin(e)) : 0) +
                      (e->quad ? quadmap_size(e->quad) : 0);
      if (pieces > 1) return Binding::additive;
      if (pieces == 0) return Binding::unit;
      if (e->constant != 0.0) return e->constant < 0.0 ? Binding::signed_unit : Binding::unit;
      if (e->quad && quadmap_size(e->quad) > 0) return Binding::multiplicative;
      const var_s *key;
      double coef = 1.0;
      map_cursor cursor = nullptr;
      linmap_next(expression_lin(e), &key, &coef, &cursor);
      linmap_iter_free(&cursor);
      return coef == 1.0 ? Binding::unit : coef == -1.0 ? Binding::signed_unit : Binding::multiplicative;
    }
    case EXPR_NONLINEAR: return as_nonlin(obj)->op == NL_NEG ? Binding::signed_unit : Binding::unit;
    default: return Binding::unit;
  }
}

// Whether operand `position` (0 left, 1 right) of infix operator op must be
// put in parentheses so that the text reads as the tree is built.
bool needs_parentheses(uint32_t op, int position, PyObject *operand) {
  Binding b = binding_of(operand);
  if (PyErr_Occurred()) PyErr_Clear();
  switch (op) {
    case NL_MINUS: return position == 1 && b == Binding::additive;
    case NL_PROD: return b == Binding::additive;
    case NL_DIV: return b == Binding::additive || (position == 1 && b == Binding::multiplicative);
    case NL_POW: return b != Binding::unit && !(position == 1 && b == Binding::signed_unit);
    default: return false;
  }
}

bool append_operand(uint32_t op, int position, PyObject *operand, int depth, std::string *out) {
  if (!needs_parentheses(op, position, operand)) return append_text(operand, depth, out);
  *out += "(";
  if (!append_text(operand, depth, out)) return false;
  *out += ")";
  return true;
}

bool node_text(PyObject *obj, int depth, std::string *out) {
  if (depth <= 0) {
    *out += "[MAX RECURS LEV]";
    return true;
  }
  nonlin_s *node = as_nonlin(obj);
  if (node->op >= kNumOperators) return model_error("Invalid nonlinear expression"), false;
  const OperatorRow &row = printToolArray[node->op];
  PyObject *args = node->args;
  if (row.arity == 1) {
    if (!args) return model_error("Invalid unary nonlinear expression"), false;
    *out += row.name;
    *out += " (";
    if (!append_text(args, depth - 1, out)) return false;
    *out += ")";
    return true;
  }
  if (row.arity == 2) {
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 2)
      return model_error("Invalid binary nonlinear expression"), false;
    *out += row.infix ? "(" : std::string(row.name) + " (";
    if (!append_operand(node->op, 0, PyTuple_GET_ITEM(args, 0), depth - 1, out)) return false;
    *out += row.infix ? std::string(" ") + row.name + " " : std::string(", ");
    if (!append_operand(node->op, 1, PyTuple_GET_ITEM(args, 1), depth - 1, out)) return false;
    *out += ")";
    return true;
  }
  if (!args || (!PyList_Check(args) && !PyTuple_Check(args)))
    return model_error("Invalid n-ary nonlinear expression"), false;
  *out += row.infix ? "(" : std::string(row.name) + " (";
  Py_ssize_t n = PySequence_Fast_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i > 0) *out += row.infix ? std::string(" ") + row.name + " " : std::string(", ");
    if (!append_operand(node->op, i > 0, PySequence_Fast_GET_ITEM(args, i), depth - 1, out)) return false;
  }
  *out += ")";
  return true;
}

bool append_text(PyObject *obj, int depth, std::string *out) {
  if (isNonlin(obj)) return node_text(obj, depth, out);
  if (PyCallable_Check(obj)) {
    *out += "user";
    return true;
  }
  return append_str(obj, out);
}

// True when node is reachable from b (b itself included). An in-place
// operator that stored b into node would then make the tree contain itself.
// Shared subtrees are visited once, so the walk is linear in the nodes of b.
bool reaches(PyObject *b, PyObject *node) {
  if (!isNonlin(b)) return false;
  std::vector<PyObject *> pending{b};
  std::unordered_set<PyObject *> seen;
  while (!pending.empty()) {
    PyObject *current = pending.back();
    pending.pop_back();
    if (current == node) return true;
    if (!seen.insert(current).second) continue;
    PyObject *args = as_nonlin(current)->args;
    if (!args) continue;
    if (PyList_Check(args) || PyTuple_Check(args)) {
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(args); ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(args, i);
        if (isNonlin(item)) pending.push_back(item);
      }
    } else if (isNonlin(args)) {
      pending.push_back(args);
    }
  }
  return false;
}

// ---- sums --------------------------------------------------------------------

// Index of the linear item of a sum list, looked for among the last three
// items; -1 when there is none.
Py_ssize_t linear_index(PyObject *list) {
  Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = n - 1; i >= 0 && i >= n - 3; --i)
    if (is_linear_part(PyList_GET_ITEM(list, i))) return i;
  return -1;
}

// Removes the linear item from a sum list and hands it over.
bool take_linear(PyObject *list, PyRef *linear) {
  Py_ssize_t i = linear_index(list);
  if (i < 0) return true;
  *linear = PyRef::borrow(PyList_GET_ITEM(list, i));
  return PyList_SetSlice(list, i, i + 1, nullptr) == 0;
}

// a + f*b for operands that are not nonlinear. An expression a is amended in
// place; any other a is left alone.
PyObject *linear_sum(PyObject *a, PyObject *b, double f) {
  int ka = exprKind(a), kb = exprKind(b);
  if (ka == EXPR_CONSTANT && kb == EXPR_CONSTANT) {
    double va = PyFloat_AsDouble(a), vb = PyFloat_AsDouble(b);
    if (PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(va + f * vb);
  }
  if (ka == EXPR_EXPRESSION || kb == EXPR_EXPRESSION) return expression_incremental_alg_sum(a, b, f);
  if (f == 1.0) return general_add(a, b);
  if (f == -1.0) return general_sub(a, b);
  PyRef fb(general_copy(b, f));
  return fb ? general_add(a, fb.get()) : nullptr;
}

// linear + f*b where linear is the item taken out of a sum and held only by
// the caller: amended in place when nothing else holds it, otherwise
// combined into a new object.
PyObject *merge_linear(PyObject *linear, PyObject *b, double f) {
  if (!linear) return general_copy(b, f);
  if (isExpression(linear) && Py_REFCNT(linear) > 1) {
    PyRef copy(expression_copy(linear, 1.0));
    return copy ? linear_sum(copy.get(), b, f) : nullptr;
  }
  return linear_sum(linear, b, f);
}

// Undoes a failed amendment of a sum or product list: drops what was
// appended after `size` items and puts back the last item that had been
// taken out (the linear part or the constant), keeping the pending error.
PyObject *restore_list(PyObject *list, Py_ssize_t size, PyObject *linear) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (PyList_SetSlice(list, size, PY_SSIZE_T_MAX, nullptr) == 0 && linear) PyList_Append(list, linear);
  PyErr_Restore(type, value, traceback);
  return nullptr;
}

bool append_unless_zero(PyObject *list, PyObject *linear) {
  if (!linear || is_number(linear, 0.0)) return true;
  return PyList_Append(list, linear) == 0;
}

// Appends f times every item of b's list but its linear item; returns that
// linear item (borrowed from the snapshot) through *linear.
bool append_scaled_terms(PyObject *list, PyObject *b_items, double f, PyObject **linear) {
  Py_ssize_t li = linear_index(b_items);
  *linear = li >= 0 ? PyList_GET_ITEM(b_items, li) : nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(b_items); ++i) {
    if (i == li) continue;
    PyRef term(scaled_operand(PyList_GET_ITEM(b_items, i), f));
    if (!term || PyList_Append(list, term.get()) < 0) return false;
  }
  return true;
}

// a and b both sums: b's terms join a's list, the linear items merge.
PyObject *sum_into_sum(PyObject *a, PyObject *b, double f) {
  PyRef b_items(PyList_GetSlice(as_nonlin(b)->args, 0, PY_SSIZE_T_MAX));  // b may be a itself
  if (!b_items) return nullptr;
  PyObject *list = as_nonlin(a)->args;
  PyRef linear;
  if (!take_linear(list, &linear)) return nullptr;
  Py_ssize_t size = PyList_GET_SIZE(list);
  PyObject *b_linear;
  if (!append_scaled_terms(list, b_items.get(), f, &b_linear)) return restore_list(list, size, linear.get());
  if (b_linear) {
    PyRef merged(merge_linear(linear.get(), b_linear, f));
    if (!merged) return restore_list(list, size, linear.get());
    PyRef original = std::move(linear);
    if (!append_unless_zero(list, merged.get())) return restore_list(list, size, original.get());
    return Py_NewRef(a);
  }
  if (!append_unless_zero(list, linear.get())) return restore_list(list, size, linear.get());
  return Py_NewRef(a);
}

// a a sum, b any other operand.
PyObject *term_into_sum(PyObject *a, PyObject *b, double f) {
  PyObject *list = as_nonlin(a)->args;
  PyRef linear;
  if (!take_linear(list, &linear)) return nullptr;
  Py_ssize_t size = PyList_GET_SIZE(list);
  if (isNonlin(b) || !linear) {
    PyRef term(isNonlin(b) ? scaled_operand(b, f) : general_copy(b, f));
    if (!term || PyList_Append(list, term.get()) < 0) return restore_list(list, size, linear.get());
    if (!append_unless_zero(list, linear.get())) return restore_list(list, size, linear.get());
    return Py_NewRef(a);
  }
  PyRef merged(merge_linear(linear.get(), b, f));
  if (!merged) return restore_list(list, size, linear.get());
  PyRef original = std::move(linear);
  if (!append_unless_zero(list, merged.get())) return restore_list(list, size, original.get());
  return Py_NewRef(a);
}

// a not a sum, b a sum: a new sum of a and f times b's terms.
PyObject *sum_with_new_node(PyObject *a, PyObject *b, double f) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  bool a_nonlinear = isNonlin(a);
  if (a_nonlinear && PyList_Append(list.get(), a) < 0) return nullptr;
  PyObject *b_linear;
  if (!append_scaled_terms(list.get(), as_nonlin(b)->args, f, &b_linear)) return nullptr;
  PyRef linear;
  if (a_nonlinear) {
    if (b_linear) linear = PyRef(general_copy(b_linear, f));
  } else {
    linear = PyRef(general_copy(a, 1.0));  // a is the caller's: combine into a copy
    if (linear && b_linear) linear = PyRef(linear_sum(linear.get(), b_linear, f));
  }
  if ((b_linear || !a_nonlinear) && !linear) return nullptr;
  if (!append_unless_zero(list.get(), linear.get())) return nullptr;
  return make_node(NL_SUM, list.release());
}

// ---- products ----------------------------------------------------------------

// The number that ends a product list, if any.
bool trailing_constant(PyObject *list, double *value) {
  Py_ssize_t n = PyList_GET_SIZE(list);
  if (n == 0 || !isNumericScalar(PyList_GET_ITEM(list, n - 1))) return false;
  *value = PyFloat_AsDouble(PyList_GET_ITEM(list, n - 1));
  return !(*value == -1.0 && PyErr_Occurred());
}

// Inserts item before the trailing number of a product list, or appends it.
bool insert_factor(PyObject *list, PyObject *item) {
  double c;
  if (trailing_constant(list, &c)) return PyList_Insert(list, PyList_GET_SIZE(list) - 1, item) == 0;
  if (PyErr_Occurred()) return false;
  return PyList_Append(list, item) == 0;
}

// Sets the trailing number of a product list to c (removing it for 1); a
// failure leaves the list as it was.
bool set_trailing_constant(PyObject *list, bool present, double c) {
  Py_ssize_t n = PyList_GET_SIZE(list);
  if (c == 1.0) return !present || PyList_SetSlice(list, n - 1, n, nullptr) == 0;
  PyObject *value = PyFloat_FromDouble(c);
  if (!value) return false;
  if (present) return PyList_SetItem(list, n - 1, value) == 0;  // steals value
  bool ok = PyList_Append(list, value) == 0;
  Py_DECREF(value);
  return ok;
}

// factor * b for the denominator of a quotient or the exponent of a power
// that is being amended: a product gets b among its factors (in a copy, so
// that the product stays unchanged wherever else it is used).
PyObject *multiply_operand(PyObject *operand, PyObject *b) {
  if (!is_node(operand, NL_PROD)) return general_mul(operand, b);
  PyRef copy(nonlin_copy(operand, 1.0));
  if (!copy) return nullptr;
  if (!insert_factor(as_nonlin(copy.get())->args, b)) return nullptr;
  return copy.release();
}

// ---- extraction ----------------------------------------------------------------

bool collect(PyObject *obj, double factor, int depth, bool quadratic, PyObject *target);

bool collect_sequence(PyObject *args, double factor, int depth, bool quadratic, PyObject *target) {
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(args); ++i)
    if (!collect(PySequence_Fast_GET_ITEM(args, i), factor, depth, quadratic, target)) return false;
  return true;
}

bool collect_node(nonlin_s *node, double factor, int depth, bool quadratic, PyObject *target) {
  PyObject *args = node->args;
  bool pair = args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 2;
  switch (node->op) {
    case NL_SUM:
      return !PyList_Check(args) || collect_sequence(args, factor, depth + 1, quadratic, target);
    case NL_MINUS:
      return !pair || (collect(PyTuple_GET_ITEM(args, 0), factor, depth + 1, quadratic, target) &&
                       collect(PyTuple_GET_ITEM(args, 1), -factor, depth + 1, quadratic, target));
    case NL_NEG: return collect(args, -factor, depth + 1, quadratic, target);
    case NL_PROD: {
      if (!PyList_Check(args)) return true;
      PyObject *single = nullptr;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args); ++i) {
        PyObject *item = PyList_GET_ITEM(args, i);
        if (isNumericScalar(item)) {
          factor *= PyFloat_AsDouble(item);
        } else if (single) {
          return true;  // a product of two non-numbers holds nothing linear or quadratic
        } else {
          single = item;
        }
      }
      return !single || collect(single, factor, depth + 1, quadratic, target);
    }
    case NL_DIV: {
      if (!pair) return true;
      PyObject *den = PyTuple_GET_ITEM(args, 1);
      if (!isNumericScalar(den) || is_number(den, 0.0)) return true;
      return collect(PyTuple_GET_ITEM(args, 0), factor / PyFloat_AsDouble(den), depth + 1, quadratic, target);
    }
    case NL_POW:
      if (pair && is_number(PyTuple_GET_ITEM(args, 1), 1.0))
        return collect(PyTuple_GET_ITEM(args, 0), factor, depth + 1, quadratic, target);
      return true;
    default: return true;
  }
}

bool collect(PyObject *obj, double factor, int depth, bool quadratic, PyObject *target) {
  if (depth > kMaxDepth) {
    PyErr_SetString(PyExc_RuntimeError, "Extraction of terms from a nonlinear expression exceeded recursion depth limit");
    return false;
  }
  switch (exprKind(obj)) {
    case EXPR_NONLINEAR: return collect_node(as_nonlin(obj), factor, depth, quadratic, target);
    case EXPR_VAR: return quadratic || expression_addToLinTerm(target, obj, factor) == 0;
    case EXPR_LINTERM:
      return quadratic ||
             expression_addToLinTerm(target, reinterpret_cast<PyObject *>(as_linterm(obj)->var),
                                     factor * as_linterm(obj)->coef) == 0;
    case EXPR_QUADTERM: {
      if (!quadratic) return true;
      const quadterm_s *q = as_quadterm(obj);
      return expression_addToQuadTerm(target, reinterpret_cast<PyObject *>(q->first),
                                      reinterpret_cast<PyObject *>(q->second), factor * q->coef) == 0;
    }
    case EXPR_EXPRESSION: {
      // Only the part of the wanted degree: strip the rest from a scaled copy.
      PyRef part(expression_copy(obj, factor));
      if (!part) return false;
      if (!isExpression(part.get())) return true;
      expression_s *p = as_expression(part.get());
      p->constant = 0.0;
      if (quadratic) {
        linmap_release(expression_map_slot(p));
      } else {
        quadmap_free(&p->quad);
      }
      return expression_addObject(target, part.get(), 1.0) == 0;
    }
    default: return true;
  }
}

PyObject *extract(PyObject *self, bool quadratic) {
  PyRef target(expression_base());
  if (!target || !collect(self, 1.0, 0, quadratic, target.get())) return nullptr;
  return quadratic ? expression_extractQuadratic(target.get(), nullptr)
                   : expression_extractLinear(target.get(), nullptr);
}

PyMethodDef nonlin_methods[] = {
    {"extractLinear", nonlin_extractLinear, METH_NOARGS,
     KORVO_DOC("Returns the linear terms that the nonlinear expression contains additively.",
               "(vars, coefs) = e.extractLinear()", KORVO_NO_ARGS,
               "(korvo.exp(x) + 2*y).extractLinear()  # ([y], [2.0])",
               "Terms inside functions or in products of two or more non-constants are not part of the "
               "result; constants are never part of it.")},
    {"extractQuadratic", nonlin_extractQuadratic, METH_NOARGS,
     KORVO_DOC("Returns the quadratic terms that the nonlinear expression contains additively.",
               "(vars1, vars2, coefs) = e.extractQuadratic()", KORVO_NO_ARGS,
               "(korvo.exp(x) + x*y).extractQuadratic()  # ([x], [y], [1.0])", "See also extractLinear.")},
    {nullptr, nullptr, 0, nullptr}};

PyNumberMethods nonlin_number_methods = {
    .nb_add = nonlin_add,
    .nb_subtract = nonlin_sub,
    .nb_multiply = nonlin_mul,
    .nb_power = nonlin_pow,
    .nb_negative = nonlin_neg,
    .nb_absolute = nonlin_abs,
    .nb_and = nonlin_and,
    .nb_or = nonlin_or,
    .nb_inplace_add = nonlin_iadd,
    .nb_inplace_subtract = nonlin_isub,
    .nb_inplace_multiply = nonlin_imul,
    .nb_inplace_power = nonlin_ipow,
    .nb_inplace_and = nonlin_and,
    .nb_inplace_or = nonlin_or,
    .nb_true_divide = nonlin_div,
    .nb_inplace_true_divide = nonlin_idiv,
};

PyObject *reciprocal_times(PyObject *arr, PyObject *a) {
  PyRef one(PyFloat_FromDouble(1.0));
  if (!one) return nullptr;
  PyRef inverse(PyNumber_TrueDivide(one.get(), arr));
  return inverse ? PyNumber_Multiply(inverse.get(), a) : nullptr;
}

PyObject *negated_plus(PyObject *arr, PyObject *a) {
  PyRef negated(PyNumber_Negative(arr));
  return negated ? PyNumber_Add(negated.get(), a) : nullptr;
}

// Nodes arise from operators and module functions only.
PyObject *nonlin_refuse_new(PyTypeObject *, PyObject *, PyObject *) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'korvo.nonlinear' instances");
  return nullptr;
}

PyObject *vector_exponent_error() { return model_error("Cannot obtain a power with a vector as an exponent"); }

}  // namespace

// ---- constructors -------------------------------------------------------------

PyObject *nonlin_new(PyTypeObject *type) {
  PyObject *obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  as_nonlin(obj)->args = nullptr;
  as_nonlin(obj)->op = NL_NONE;
  return obj;
}

PyObject *nonlin_base(void) { return nonlin_new(&korvo_nonlinType); }

namespace {

// An operand of a node: an expression of any kind that is not a container.
bool valid_operand(PyObject *obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj) || isNumpyArray(obj)) return false;
  return exprKind(obj) != EXPR_INVALID;
}

}  // namespace

PyObject *nonlin_create(bool nary, uint32_t op, PyObject *operands) {
  if (op >= kNumOperators) return model_error("Unknown nonlinear operator");
  bool sequence = PyList_Check(operands) || PyTuple_Check(operands);
  if (nary) {
    if (!sequence)
      return model_error("Could not create an n-ary nonlinear expression: the arguments must be in a list or tuple");
    Py_ssize_t n = PySequence_Fast_GET_SIZE(operands);
    if (is_user_op(op) && n == 0) return model_error("Insufficient number of arguments declared for operator");
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject *item = PySequence_Fast_GET_ITEM(operands, i);
      // A user function's node is headed by its callable; everything else is an expression.
      bool ok = is_user_op(op) && i == 0 ? PyCallable_Check(item) && !isNonlin(item) : valid_operand(item);
      if (!ok) return model_error("Invalid object in n-ary operation");
    }
  } else {
    if (sequence) return model_error("Could not create a unary nonlinear expression: the argument must be a single expression");
    if (!valid_operand(operands)) return model_error("Invalid object in unary operation");
  }
  return make_node(op, Py_NewRef(operands));
}

PyObject *nonlin_instantiate_unary(uint32_t op, PyObject *x) {
  if (getExprType(x) < 0) return nullptr;
  return nonlin_create(false, op, x);
}

PyObject *nonlin_instantiate_binary(uint32_t op, PyObject *a, PyObject *b) {
  if (getExprType(a) < 0 || getExprType(b) < 0) return nullptr;
  if (op == NL_SUM || op == NL_PROD) {
    if (!isNonlin(a)) std::swap(a, b);
    return make_node(op, new_list2(a, b));
  }
  return make_node(op, PyTuple_Pack(2, a, b));
}

PyObject *nonlin_instantiate_nary(uint32_t op, PyObject *list) { return make_node(op, Py_NewRef(list)); }

PyObject *nonlin_arg_first(PyObject *node, Py_ssize_t *i) {
  if (!isNonlin(node))
    return model_error("Accessing first argument list of an object that is not a nonlinear expression");
  *i = 0;
  return nonlin_arg_next(node, i);
}

PyObject *nonlin_arg_next(PyObject *node, Py_ssize_t *i) {
  if (!isNonlin(node))
    return model_error("Accessing next argument list of an object that is not a nonlinear expression");
  PyObject *args = as_nonlin(node)->args;
  if (!args) return nullptr;
  if (PyList_Check(args) || PyTuple_Check(args)) {
    if (*i >= PySequence_Fast_GET_SIZE(args)) return nullptr;
    return PySequence_Fast_GET_ITEM(args, (*i)++);
  }
  return (*i)++ == 0 ? args : nullptr;
}

Py_ssize_t nonlin_arg_size(PyObject *node) {
  if (!isNonlin(node)) return -1;
  PyObject *args = as_nonlin(node)->args;
  if (!args) return 0;
  if (PyList_Check(args) || PyTuple_Check(args)) return PySequence_Fast_GET_SIZE(args);
  return 1;
}

const char *nonlin_op_name(uint32_t op) { return op < kNumOperators ? printToolArray[op].name : nullptr; }

// ---- binary operators -----------------------------------------------------------

PyObject *nonlin_add(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return PyNumber_Add(b, a);
  return nonlin_alg_sum(a, b, 1.0);
}

PyObject *nonlin_sub(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return negated_plus(b, a);
  if (getExprType(a) < 0 || getExprType(b) < 0) return nullptr;
  if (is_number(a, 0.0)) return general_neg(b);
  if (is_number(b, 0.0)) return general_copy(a, 1.0);
  if (is_node(a, NL_SUM)) return nonlin_alg_sum(a, b, -1.0);
  return nonlin_instantiate_binary(NL_MINUS, a, b);
}

namespace {

// A constant expression (no linear or quadratic part) as a float, so that
// products treat it as the number it is; any other operand unchanged.
PyRef as_number_if_constant(PyObject *obj) {
  double k;
  if (isExpression(obj) && isObjectConst(obj, nullptr, &k)) return PyRef(PyFloat_FromDouble(k));
  return PyRef::borrow(obj);
}

}  // namespace

PyObject *nonlin_mul(PyObject *a_in, PyObject *b_in) {
  if (isNumpyArray(b_in)) return PyNumber_Multiply(b_in, a_in);
  if (getExprType(a_in) < 0 || getExprType(b_in) < 0) return nullptr;
  PyRef a_held = as_number_if_constant(a_in), b_held = as_number_if_constant(b_in);
  if (!a_held || !b_held) return nullptr;
  PyObject *a = a_held.get(), *b = b_held.get();
  if (is_number(a, 0.0) || is_number(b, 0.0)) return PyFloat_FromDouble(0.0);
  if (is_number(a, 1.0)) return general_copy(b, 1.0);
  if (is_number(b, 1.0)) return general_copy(a, 1.0);
  if (is_number(a, -1.0)) return make_node(NL_NEG, Py_NewRef(b));
  if (is_number(b, -1.0)) return make_node(NL_NEG, Py_NewRef(a));
  // A number factor is kept as a float.
  PyRef fa(isNumericScalar(a) ? PyNumber_Float(a) : Py_NewRef(a));
  PyRef fb(isNumericScalar(b) ? PyNumber_Float(b) : Py_NewRef(b));
  if (!fa || !fb) return nullptr;
  return nonlin_instantiate_binary(NL_PROD, fa.get(), fb.get());
}

PyObject *nonlin_div(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return reciprocal_times(b, a);
  if (getExprType(a) < 0 || getExprType(b) < 0) return nullptr;
  double value;
  if (isObjectConst(a, nullptr, &value) && value == 0.0) return PyFloat_FromDouble(0.0);
  if (isObjectConst(b, nullptr, &value)) {
    if (value == 0.0) return model_error("Division by zero");
    if (value == 1.0) return general_copy(a, 1.0);
  }
  return nonlin_instantiate_binary(NL_DIV, a, b);
}

PyObject *nonlin_pow(PyObject *a, PyObject *b, PyObject *) {
  if (isNumpyArray(b)) return vector_exponent_error();
  if (getExprType(a) < 0 || getExprType(b) < 0) return nullptr;
  if (is_number(a, 1.0) || is_number(b, 0.0)) return PyFloat_FromDouble(1.0);
  if (is_number(b, 1.0)) return general_copy(a, 1.0);
  return nonlin_instantiate_binary(NL_POW, a, b);
}

PyObject *nonlin_neg(PyObject *a) { return nonlin_instantiate_unary(NL_NEG, a); }
PyObject *nonlin_abs(PyObject *a) { return nonlin_instantiate_unary(NL_ABS, a); }

PyObject *nonlin_and(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return PyNumber_And(b, a);
  return nonlin_instantiate_binary(NL_AND, a, b);
}

PyObject *nonlin_or(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return PyNumber_Or(b, a);
  return nonlin_instantiate_binary(NL_OR, a, b);
}

// ---- in-place operators -------------------------------------------------------------

PyObject *nonlin_iadd(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return nonlin_add(a, b);
  return nonlin_incremental_alg_sum(a, b, 1.0);
}

PyObject *nonlin_isub(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return nonlin_sub(a, b);
  return nonlin_incremental_alg_sum(a, b, -1.0);
}

PyObject *nonlin_imul(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return PyNumber_Multiply(b, a);
  if (!a || a == Py_None || is_number(a, 1.0)) return general_copy(b, 1.0);
  if (!is_node(a, NL_PROD) || !PyList_Check(as_nonlin(a)->args) || reaches(b, a)) return nonlin_mul(a, b);
  if (getExprType(b) < 0) return nullptr;
  PyObject *list = as_nonlin(a)->args;
  double ca = 1.0;
  bool has_ca = trailing_constant(list, &ca);
  if (PyErr_Occurred()) return nullptr;
  if (!has_ca) ca = 1.0;

  if (is_node(b, NL_PROD) && PyList_Check(as_nonlin(b)->args)) {
    PyRef b_items(PyList_GetSlice(as_nonlin(b)->args, 0, PY_SSIZE_T_MAX));  // b may be a itself
    if (!b_items) return nullptr;
    double cb = 1.0;
    bool has_cb = trailing_constant(b_items.get(), &cb);
    if (PyErr_Occurred()) return nullptr;
    if (!has_cb) cb = 1.0;
    double c = ca * cb;
    if (c == 0.0) return PyFloat_FromDouble(0.0);
    PyRef a_constant;
    if (has_ca) {
      a_constant = PyRef::borrow(PyList_GET_ITEM(list, PyList_GET_SIZE(list) - 1));
      if (PyList_SetSlice(list, PyList_GET_SIZE(list) - 1, PyList_GET_SIZE(list), nullptr) < 0) return nullptr;
    }
    Py_ssize_t size = PyList_GET_SIZE(list);
    Py_ssize_t nb = PyList_GET_SIZE(b_items.get()) - (has_cb ? 1 : 0);
    for (Py_ssize_t i = 0; i < nb; ++i)
      if (PyList_Append(list, PyList_GET_ITEM(b_items.get(), i)) < 0) return restore_list(list, size, a_constant.get());
    if (!set_trailing_constant(list, false, c)) return restore_list(list, size, a_constant.get());
    return Py_NewRef(a);
  }
  if (isNumericScalar(b)) {
    double v = PyFloat_AsDouble(b);
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    double c = ca * v;
    if (c == 0.0) return PyFloat_FromDouble(0.0);
    if (!set_trailing_constant(list, has_ca, c)) return nullptr;
    return Py_NewRef(a);
  }
  if (!insert_factor(list, b)) return nullptr;
  return Py_NewRef(a);
}

PyObject *nonlin_idiv(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return reciprocal_times(b, a);
  double c;
  if (isObjectConst(b, nullptr, &c)) {
    if (c == 0.0) return model_error("Division by zero");
    if (c == 1.0) return Py_NewRef(a);
    PyRef inverse(PyFloat_FromDouble(1.0 / c));
    return inverse ? nonlin_imul(a, inverse.get()) : nullptr;
  }
  if (getExprType(b) < 0) return nullptr;
  if (is_node(a, NL_DIV) && PyTuple_Check(as_nonlin(a)->args) && PyTuple_GET_SIZE(as_nonlin(a)->args) == 2 &&
      !reaches(b, a)) {
    PyObject *args = as_nonlin(a)->args;
    PyRef denominator(multiply_operand(PyTuple_GET_ITEM(args, 1), b));
    if (!denominator) return nullptr;
    PyObject *pair = PyTuple_Pack(2, PyTuple_GET_ITEM(args, 0), denominator.get());
    if (!pair) return nullptr;
    replace_args(a, pair);
    return Py_NewRef(a);
  }
  return nonlin_div(a, b);
}

PyObject *nonlin_ipow(PyObject *a, PyObject *b, PyObject *m) {
  if (isNumpyArray(b)) return vector_exponent_error();
  if (is_number(b, 0.0)) return PyFloat_FromDouble(1.0);
  if (is_number(b, 1.0)) return Py_NewRef(a);
  if (getExprType(b) < 0) return nullptr;
  if (is_node(a, NL_POW) && PyTuple_Check(as_nonlin(a)->args) && PyTuple_GET_SIZE(as_nonlin(a)->args) == 2 &&
      !reaches(b, a)) {
    PyObject *args = as_nonlin(a)->args;
    PyRef exponent(multiply_operand(PyTuple_GET_ITEM(args, 1), b));
    if (!exponent) return nullptr;
    PyObject *pair = PyTuple_Pack(2, PyTuple_GET_ITEM(args, 0), exponent.get());
    if (!pair) return nullptr;
    replace_args(a, pair);
    return Py_NewRef(a);
  }
  return nonlin_pow(a, b, m);
}

// ---- copies and sums ------------------------------------------------------------------

namespace {

PyObject *nonlin_copy_node(PyObject *node, double factor);

}  // namespace

// Copies recurse through the tree; the interpreter's recursion limit turns a
// runaway depth into a RecursionError instead of exhausting the C stack.
PyObject *nonlin_copy(PyObject *node, double factor) {
  if (Py_EnterRecursiveCall(" while copying a nonlinear expression")) return nullptr;
  PyObject *copy = nonlin_copy_node(node, factor);
  Py_LeaveRecursiveCall();
  return copy;
}

namespace {

PyObject *nonlin_copy_node(PyObject *node, double factor) {
  if (!isNonlin(node) || !as_nonlin(node)->args) return model_error("Invalid object being copied");
  if (factor == 0.0) return PyFloat_FromDouble(0.0);
  nonlin_s *src = as_nonlin(node);
  if (src->op == NL_NEG && factor != 1.0) return general_copy(src->args, -factor);
  PyRef args;
  PyObject *from = src->args;
  if (PyList_Check(from) || PyTuple_Check(from)) {
    bool is_list = PyList_Check(from);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(from);
    args = PyRef(is_list ? PyList_New(n) : PyTuple_New(n));
    if (!args) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject *item = PySequence_Fast_GET_ITEM(from, i);
      // The user's callable is shared, never copied.
      PyObject *copy = is_user_op(src->op) && i == 0 ? Py_NewRef(item) : general_copy(item, 1.0);
      if (!copy)
        return restate_model_error("Invalid object being copied from argument list/tuple in a nonlinear expression");
      if (is_list)
        PyList_SET_ITEM(args.get(), i, copy);
      else
        PyTuple_SET_ITEM(args.get(), i, copy);
    }
  } else {
    args = PyRef(general_copy(from, 1.0));
    if (!args) return restate_model_error("Invalid object being copied from single argument in a nonlinear expression");
  }
  PyRef copy(make_node(src->op, args.release()));
  if (!copy || factor == 1.0) return copy.release();
  PyRef k(PyFloat_FromDouble(factor));
  if (!k) return nullptr;
  if (src->op == NL_PROD && PyList_Check(as_nonlin(copy.get())->args)) {
    PyObject *list = as_nonlin(copy.get())->args;
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (n == 0) return k.release();
    if (n == 1 && isNumericScalar(PyList_GET_ITEM(list, 0)))
      return PyFloat_FromDouble(PyFloat_AsDouble(PyList_GET_ITEM(list, 0)) * factor);
    for (Py_ssize_t i = 0; i < 2 && i < n; ++i) {
      PyObject *item = PyList_GET_ITEM(list, i);
      if (isNumericScalar(item)) {
        double v = PyFloat_AsDouble(item);
        if (v == -1.0 && PyErr_Occurred()) return nullptr;
        PyObject *scaled = PyFloat_FromDouble(v * factor);
        if (!scaled || PyList_SetItem(list, i, scaled) < 0) return nullptr;
        return copy.release();
      }
    }
  }
  return make_node(NL_PROD, new_list2(copy.get(), k.get()));
}

}  // namespace

PyObject *nonlin_alg_sum(PyObject *a, PyObject *b, double f) {
  PyRef copy(general_copy(a, 1.0));
  if (!copy) return nullptr;
  return nonlin_incremental_alg_sum(copy.get(), b, f);
}

PyObject *nonlin_incremental_alg_sum(PyObject *a, PyObject *b, double f) {
  if (a && isExpression(a) && b && (isVar(b) || (isLinterm(b) && as_linterm(b)->var))) {
    if (expression_addToLinTerm(a, isVar(b) ? b : reinterpret_cast<PyObject *>(as_linterm(b)->var),
                                f * (isVar(b) ? 1.0 : as_linterm(b)->coef)) < 0)
      return model_error("Error creating expression");
    return Py_NewRef(a);
  }
  if (f == 0.0) return Py_NewRef(a);
  if (!a || a == Py_None) return general_copy(b, f);
  int ka = getExprType(a);
  if (ka < 0) return nullptr;
  int kb = getExprType(b);
  if (kb < 0) return nullptr;
  if (is_number(a, 0.0)) {
    // The result must not be the caller's b when b can later be amended in place.
    if (f == 1.0 && !is_mutable_operand(b)) return Py_NewRef(b);
    return general_copy(b, f);
  }
  if (is_number(b, 0.0)) return general_copy(a, 1.0);
  if (ka != EXPR_NONLINEAR && kb != EXPR_NONLINEAR) return linear_sum(a, b, f);
  bool a_sum = is_node(a, NL_SUM) && PyList_Check(as_nonlin(a)->args);
  bool b_sum = is_node(b, NL_SUM) && PyList_Check(as_nonlin(b)->args);
  // s += f(s): amend a copy, so that the sum never holds itself.
  if (a_sum && reaches(b, a)) return nonlin_alg_sum(a, b, f);
  if (a_sum && b_sum) return sum_into_sum(a, b, f);
  if (a_sum) return term_into_sum(a, b, f);
  if (b_sum) return sum_with_new_node(a, b, f);
  PyRef fb(isNonlin(b) ? scaled_operand(b, f) : general_copy(b, f));
  if (!fb) return nullptr;
  return nonlin_instantiate_binary(NL_SUM, a, fb.get());
}

PyObject *nonlin_str(PyObject *self) {
  std::string out;
  if (!node_text(self, kMaxDepth, &out)) return nullptr;
  return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject *nonlin_cmp(PyObject *a, PyObject *b, int op) { return make_constraint(a, b, op); }

PyObject *nonlin_extractLinear(PyObject *self, PyObject *) { return extract(self, false); }
PyObject *nonlin_extractQuadratic(PyObject *self, PyObject *) { return extract(self, true); }

PyTypeObject korvo_nonlinType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.nonlinear",
    .tp_basicsize = sizeof(nonlin_s),
    .tp_dealloc = nonlin_dealloc,
    .tp_repr = nonlin_str,
    .tp_as_number = &nonlin_number_methods,
    .tp_str = nonlin_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = KORVO_DOC("A nonlinear expression: an operator applied to modelling objects and numbers.",
                        "e = x * y * z", KORVO_NO_ARGS, "e = korvo.exp(x) + x / y",
                        "Objects of this class cannot be created explicitly by the user; they result from "
                        "operations whose result is neither linear nor quadratic and from the functions "
                        "korvo.sin, korvo.exp, korvo.min, korvo.pwl, korvo.user and the like."),
    .tp_richcompare = nonlin_cmp,
    .tp_methods = nonlin_methods,
    .tp_new = nonlin_refuse_new,
};
