// korvo.nonlinear: operator nodes over modelling objects and numbers.
//
// This file holds the node type, its constructors and the arithmetic entry
// points that the linear layer calls when a result stops being linear or
// quadratic. The nodes keep the layout of the full operator table: sums and
// products hold a list, binary operators a 2-tuple, unary ones the operand.
#include "nonlin/nonlinear.h"

#include <string>

#include "constraint/constraint.h"
#include "expression/arithmetic.h"
#include "expression/expression.h"
#include "expression/linterm.h"
#include "variable/var.h"
#include "python_model/docstrings.h"
#include "python_model/pyref.h"

namespace {

constexpr int kMaxDepth = 64;

struct OperatorRow {
  const char *name;
  int arity;      // -1: any number
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

PyObject *list_pack(Py_ssize_t, PyObject *a, PyObject *b) {
  PyObject *list = PyList_New(2);
  if (!list) return nullptr;
  PyList_SET_ITEM(list, 0, Py_NewRef(a));
  PyList_SET_ITEM(list, 1, Py_NewRef(b));
  return list;
}

PyObject *model_error(const char *message) {
  if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, message);
  return nullptr;
}

bool is_node(PyObject *obj, uint32_t op) { return isNonlin(obj) && as_nonlin(obj)->op == op; }

bool is_number(PyObject *obj, double value) {
  if (!isNumericScalar(obj)) return false;
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return v == value;
}

bool is_linear_part(PyObject *obj) {
  int kind = exprKind(obj);
  return kind >= EXPR_CONSTANT && kind <= EXPR_EXPRESSION;
}

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

// f*b for a term placed in a sum: b itself when f is 1 and b is immutable,
// a copy otherwise, the negation for -1.
PyObject *scaled_term(PyObject *b, double f) {
  if (f == -1.0) return general_neg(b);
  if (f == 1.0 && (isNonlin(b) || isVar(b) || isNumericScalar(b))) return Py_NewRef(b);
  return general_copy(b, f);
}

void nonlin_dealloc(PyObject *self) {
  Py_XDECREF(as_nonlin(self)->args);
  Py_TYPE(self)->tp_free(self);
}

// ---- string form -------------------------------------------------------------

bool node_text(PyObject *obj, int depth, std::string *out);

bool operand_text(PyObject *obj, int depth, std::string *out) {
  if (isNonlin(obj)) return node_text(obj, depth + 1, out);
  PyRef text(PyCallable_Check(obj) && !isNonlin(obj) ? PyUnicode_FromString("user") : PyObject_Str(obj));
  if (!text) return false;
  const char *data = PyUnicode_AsUTF8(text.get());
  if (!data) return false;
  *out += data;
  return true;
}

bool node_text(PyObject *obj, int depth, std::string *out) {
  if (depth > kMaxDepth) {
    *out += "[MAX RECURS LEV]";
    return true;
  }
  nonlin_s *node = as_nonlin(obj);
  if (node->op >= kNumOperators || !node->args) {
    *out += "<invalid nonlinear expression>";
    return true;
  }
  const OperatorRow &row = printToolArray[node->op];
  PyObject *args = node->args;
  if (row.arity == 1) {
    *out += row.name;
    *out += " (";
    if (!operand_text(args, depth, out)) return false;
    *out += ")";
    return true;
  }
  if (!PyList_Check(args) && !PyTuple_Check(args)) return model_error("Invalid binary nonlinear expression"), false;
  PyRef items(PySequence_Fast(args, "nonlinear arguments"));
  if (!items) return false;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  PyObject **item = PySequence_Fast_ITEMS(items.get());
  if (row.arity == 2) {
    if (n != 2) return model_error("Invalid binary nonlinear expression"), false;
    if (row.infix) {
      *out += "(";
      if (!operand_text(item[0], depth, out)) return false;
      *out += std::string(" ") + row.name + " ";
      if (!operand_text(item[1], depth, out)) return false;
    } else {
      *out += std::string(row.name) + " (";
      if (!operand_text(item[0], depth, out)) return false;
      *out += ", ";
      if (!operand_text(item[1], depth, out)) return false;
    }
    *out += ")";
    return true;
  }
  *out += row.infix ? "(" : std::string(row.name) + " (";
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i > 0) *out += row.infix ? std::string(" ") + row.name + " " : std::string(", ");
    if (!operand_text(item[i], depth, out)) return false;
  }
  *out += ")";
  return true;
}

// ---- sums --------------------------------------------------------------------

// Items of a sum node's list: nonlinear terms first, then at most one linear part.
struct SumParts {
  PyRef terms;   // new list of the nonlinear terms
  PyRef linear;  // the linear part or null
};

bool split_sum(PyObject *node, SumParts *parts) {
  PyObject *list = as_nonlin(node)->args;
  parts->terms = PyRef(PyList_New(0));
  if (!parts->terms) return false;
  Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *item = PyList_GET_ITEM(list, i);
    if (!parts->linear && is_linear_part(item) && i >= n - 3) {
      parts->linear = PyRef::borrow(item);
    } else if (PyList_Append(parts->terms.get(), item) < 0) {
      return false;
    }
  }
  return true;
}

// linear + f*b for two linear objects, always a new object.
PyObject *linear_merge(PyObject *linear, PyObject *b, double f) {
  if (!linear) return scaled_term(b, f);
  if (!b) return Py_NewRef(linear);
  return f > 0 ? general_add(linear, b) : general_sub(linear, b);
}

// Rebuilds node's list from terms followed by the linear part (dropped when it is the number 0).
PyObject *store_sum(PyObject *node, PyObject *terms, PyObject *linear) {
  if (linear && !is_number(linear, 0.0) && PyList_Append(terms, linear) < 0) return nullptr;
  PyObject *old = as_nonlin(node)->args;
  as_nonlin(node)->args = Py_NewRef(terms);
  Py_XDECREF(old);
  return Py_NewRef(node);
}

// ---- extraction -----------------------------------------------------------------

bool collect(PyObject *obj, double factor, int depth, bool quadratic, PyObject *target);

bool collect_items(PyObject *args, double factor, int depth, bool quadratic, PyObject *target) {
  PyRef items(PySequence_Fast(args, "nonlinear arguments"));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i)
    if (!collect(PySequence_Fast_GET_ITEM(items.get(), i), factor, depth, quadratic, target)) return false;
  return true;
}

bool collect(PyObject *obj, double factor, int depth, bool quadratic, PyObject *target) {
  if (depth > kMaxDepth) return model_error("Maximum recursion depth reached in nonlinear expression"), false;
  int kind = exprKind(obj);
  if (kind == EXPR_NONLINEAR) {
    nonlin_s *node = as_nonlin(obj);
    PyObject *args = node->args;
    switch (node->op) {
      case NL_SUM: return collect_items(args, factor, depth + 1, quadratic, target);
      case NL_MINUS:
        return collect(PyTuple_GET_ITEM(args, 0), factor, depth + 1, quadratic, target) &&
               collect(PyTuple_GET_ITEM(args, 1), -factor, depth + 1, quadratic, target);
      case NL_NEG: return collect(args, -factor, depth + 1, quadratic, target);
      case NL_PROD: {
        PyObject *single = nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args); ++i) {
          PyObject *item = PyList_GET_ITEM(args, i);
          if (isNumericScalar(item)) {
            factor *= PyFloat_AsDouble(item);
          } else if (single) {
            return true;  // a product of two or more non-numbers adds nothing linear or quadratic
          } else {
            single = item;
          }
        }
        return single ? collect(single, factor, depth + 1, quadratic, target) : true;
      }
      case NL_DIV: {
        PyObject *den = PyTuple_GET_ITEM(args, 1);
        if (!isNumericScalar(den) || is_number(den, 0.0)) return true;
        return collect(PyTuple_GET_ITEM(args, 0), factor / PyFloat_AsDouble(den), depth + 1, quadratic, target);
      }
      case NL_POW:
        if (is_number(PyTuple_GET_ITEM(args, 1), 1.0))
          return collect(PyTuple_GET_ITEM(args, 0), factor, depth + 1, quadratic, target);
        return true;
      default: return true;
    }
  }
  if (kind == EXPR_CONSTANT) return true;
  PyRef scaled(general_copy(obj, factor));
  if (!scaled) return false;
  // Only the part of the wanted degree is kept: strip the other one through a
  // fresh expression and add it into the target.
  PyRef part(expression_copy(scaled.get(), 1.0));
  if (!part || !isExpression(part.get())) return static_cast<bool>(part);
  expression_s *e = as_expression(part.get());
  e->constant = 0.0;
  if (quadratic) {
    linmap_free(&e->lin);
  } else {
    quadmap_free(&e->quad);
    indexset_free(&e->quadvars);
  }
  return expression_addObject(target, part.get(), 1.0) == 0;
}

PyObject *extract(PyObject *self, bool quadratic) {
  PyRef target(expression_base());
  if (!target || !collect(self, 1.0, 0, quadratic, target.get())) return nullptr;
  return quadratic ? expression_extractQuadratic(target.get(), nullptr)
                   : expression_extractLinear(target.get(), nullptr);
}

PyObject *nonlin_extractLinear(PyObject *self, PyObject *) { return extract(self, false); }
PyObject *nonlin_extractQuadratic(PyObject *self, PyObject *) { return extract(self, true); }

PyMethodDef nonlin_methods[] = {
    {"extractLinear", nonlin_extractLinear, METH_NOARGS,
     KORVO_DOC("Returns the linear terms that the nonlinear expression contains additively.",
               "(vars, coefs) = e.extractLinear()", KORVO_NO_ARGS,
               "(korvo.exp(x) + 2*y).extractLinear()  # ([y], [2.0])",
               "Terms inside functions or products of non-constants are not part of the result.")},
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

PyObject *array_first(PyObject *arr, PyObject *(*op)(PyObject *, PyObject *), PyObject *other) {
  return op(arr, other);
}

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

PyObject *nonlin_instantiate_unary(uint32_t op, PyObject *x) {
  if (getExprType(x) < 0) return nullptr;
  return make_node(op, Py_NewRef(x));
}

PyObject *nonlin_instantiate_binary(uint32_t op, PyObject *a, PyObject *b) {
  if (getExprType(a) < 0 || getExprType(b) < 0) return nullptr;
  if (op == NL_SUM || op == NL_PROD) {
    if (!isNonlin(a)) std::swap(a, b);
    return make_node(op, list_pack(2, a, b));
  }
  return make_node(op, PyTuple_Pack(2, a, b));
}

PyObject *nonlin_instantiate_nary(uint32_t op, PyObject *list) { return make_node(op, Py_NewRef(list)); }

// ---- arithmetic -------------------------------------------------------------------

PyObject *nonlin_add(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return array_first(b, PyNumber_Add, a);
  return nonlin_alg_sum(a, b, 1.0);
}

PyObject *nonlin_sub(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) {
    PyRef negated(PyNumber_Negative(b));
    return negated ? PyNumber_Add(negated.get(), a) : nullptr;
  }
  if (getExprType(a) < 0 || getExprType(b) < 0) return nullptr;
  if (is_number(a, 0.0)) return general_neg(b);
  if (is_number(b, 0.0)) return general_copy(a, 1.0);
  if (is_node(a, NL_SUM)) return nonlin_alg_sum(a, b, -1.0);
  return nonlin_instantiate_binary(NL_MINUS, a, b);
}

PyObject *nonlin_mul(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return array_first(b, PyNumber_Multiply, a);
  if (getExprType(a) < 0 || getExprType(b) < 0) return nullptr;
  if (is_number(a, 0.0) || is_number(b, 0.0)) return PyFloat_FromDouble(0.0);
  if (is_number(a, 1.0)) return general_copy(b, 1.0);
  if (is_number(b, 1.0)) return general_copy(a, 1.0);
  if (is_number(a, -1.0)) return make_node(NL_NEG, Py_NewRef(b));
  if (is_number(b, -1.0)) return make_node(NL_NEG, Py_NewRef(a));
  return nonlin_instantiate_binary(NL_PROD, a, b);
}

PyObject *nonlin_div(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) {
    PyRef one(PyFloat_FromDouble(1.0));
    if (!one) return nullptr;
    PyRef inverse(PyNumber_TrueDivide(one.get(), b));
    return inverse ? PyNumber_Multiply(inverse.get(), a) : nullptr;
  }
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
  if (isNumpyArray(b)) return model_error("Cannot obtain a power with a vector as an exponent");
  if (getExprType(a) < 0 || getExprType(b) < 0) return nullptr;
  if (is_number(a, 1.0) || is_number(b, 0.0)) return PyFloat_FromDouble(1.0);
  if (is_number(b, 1.0)) return general_copy(a, 1.0);
  return nonlin_instantiate_binary(NL_POW, a, b);
}

PyObject *nonlin_neg(PyObject *a) { return nonlin_instantiate_unary(NL_NEG, a); }
PyObject *nonlin_abs(PyObject *a) { return nonlin_instantiate_unary(NL_ABS, a); }
PyObject *nonlin_and(PyObject *a, PyObject *b) { return nonlin_instantiate_binary(NL_AND, a, b); }
PyObject *nonlin_or(PyObject *a, PyObject *b) { return nonlin_instantiate_binary(NL_OR, a, b); }

PyObject *nonlin_iadd(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return nonlin_add(a, b);
  return nonlin_incremental_alg_sum(a, b, 1.0);
}

PyObject *nonlin_isub(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return nonlin_sub(a, b);
  return nonlin_incremental_alg_sum(a, b, -1.0);
}

PyObject *nonlin_imul(PyObject *a, PyObject *b) { return nonlin_mul(a, b); }

PyObject *nonlin_idiv(PyObject *a, PyObject *b) {
  double value;
  if (!isNumpyArray(b) && isObjectConst(b, nullptr, &value) && value == 1.0) return Py_NewRef(a);
  return nonlin_div(a, b);
}

PyObject *nonlin_ipow(PyObject *a, PyObject *b, PyObject *m) {
  if (!isNumpyArray(b) && is_number(b, 1.0)) return Py_NewRef(a);
  return nonlin_pow(a, b, m);
}

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
    Py_ssize_t n = PySequence_Fast_GET_SIZE(from);
    args = PyRef(PyList_Check(from) ? PyList_New(n) : PyTuple_New(n));
    if (!args) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject *item = PySequence_Fast_GET_ITEM(from, i);
      bool shared = (src->op == NL_USER || src->op == NL_USER_DERIV) && i == 0;
      PyObject *copy = shared ? Py_NewRef(item) : general_copy(item, 1.0);
      if (!copy)
        return model_error("Invalid object being copied from argument list/tuple in a nonlinear expression");
      if (PyList_Check(from))
        PyList_SET_ITEM(args.get(), i, copy);
      else
        PyTuple_SET_ITEM(args.get(), i, copy);
    }
  } else {
    args = PyRef(general_copy(from, 1.0));
    if (!args) return model_error("Invalid object being copied from single argument in a nonlinear expression");
  }
  PyRef copy(make_node(src->op, args.release()));
  if (!copy || factor == 1.0) return copy.release();
  PyRef k(PyFloat_FromDouble(factor));
  if (!k) return nullptr;
  return make_node(NL_PROD, list_pack(2, copy.get(), k.get()));
}

}  // namespace

PyObject *nonlin_alg_sum(PyObject *a, PyObject *b, double f) {
  PyRef copy(general_copy(a, 1.0));
  if (!copy) return nullptr;
  return nonlin_incremental_alg_sum(copy.get(), b, f);
}

PyObject *nonlin_incremental_alg_sum(PyObject *a, PyObject *b, double f) {
  if (a && isExpression(a) && b && (isVar(b) || isLinterm(b))) return expression_incremental_alg_sum(a, b, f);
  if (f == 0.0) return Py_NewRef(a);
  if (!a || a == Py_None) return general_copy(b, f);
  int ka = getExprType(a);
  if (ka < 0) return nullptr;
  int kb = getExprType(b);
  if (kb < 0) return nullptr;
  if (is_number(a, 0.0)) return f == 1.0 ? Py_NewRef(b) : general_copy(b, f);
  if (is_number(b, 0.0)) return general_copy(a, 1.0);
  if (ka != EXPR_NONLINEAR && kb != EXPR_NONLINEAR) {
    if (ka == EXPR_EXPRESSION || kb == EXPR_EXPRESSION) return expression_incremental_alg_sum(a, b, f);
    return f > 0 ? general_add(a, b) : general_sub(a, b);
  }
  bool a_sum = is_node(a, NL_SUM), b_sum = is_node(b, NL_SUM);
  if (a_sum) {
    SumParts pa;
    if (!split_sum(a, &pa)) return nullptr;
    PyRef linear = std::move(pa.linear);
    if (b_sum) {
      SumParts pb;
      if (!split_sum(b, &pb)) return nullptr;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pb.terms.get()); ++i) {
        PyRef term(scaled_term(PyList_GET_ITEM(pb.terms.get(), i), f));
        if (!term || PyList_Append(pa.terms.get(), term.get()) < 0) return nullptr;
      }
      if (pb.linear) {
        linear = PyRef(linear_merge(linear.get(), pb.linear.get(), f));
        if (!linear) return nullptr;
      }
    } else if (kb == EXPR_NONLINEAR) {
      PyRef term(scaled_term(b, f));
      if (!term || PyList_Append(pa.terms.get(), term.get()) < 0) return nullptr;
    } else {
      linear = PyRef(linear_merge(linear.get(), b, f));
      if (!linear) return nullptr;
    }
    return store_sum(a, pa.terms.get(), linear.get());
  }
  if (b_sum) {
    SumParts pb;
    if (!split_sum(b, &pb)) return nullptr;
    PyRef terms(PyList_New(0));
    if (!terms) return nullptr;
    PyRef linear;
    if (ka == EXPR_NONLINEAR) {
      if (PyList_Append(terms.get(), a) < 0) return nullptr;
      if (pb.linear) linear = PyRef(scaled_term(pb.linear.get(), f));
    } else {
      linear = pb.linear ? PyRef(linear_merge(a, pb.linear.get(), f)) : PyRef::borrow(a);
    }
    if ((pb.linear || ka != EXPR_NONLINEAR) && !linear) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pb.terms.get()); ++i) {
      PyRef term(scaled_term(PyList_GET_ITEM(pb.terms.get(), i), f));
      if (!term || PyList_Append(terms.get(), term.get()) < 0) return nullptr;
    }
    if (linear && !is_number(linear.get(), 0.0) && PyList_Append(terms.get(), linear.get()) < 0) return nullptr;
    return make_node(NL_SUM, terms.release());
  }
  PyRef fb(scaled_term(b, f));
  if (!fb) return nullptr;
  return nonlin_instantiate_binary(NL_SUM, a, fb.get());
}

PyObject *nonlin_str(PyObject *self) {
  std::string out;
  if (!node_text(self, 0, &out)) return nullptr;
  return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject *nonlin_cmp(PyObject *a, PyObject *b, int op) { return make_constraint(a, b, op); }

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
                        "e = x * y * z", KORVO_NO_ARGS, "e = x / y",
                        "Objects of this class cannot be created explicitly by the user; they result from "
                        "operations whose result is neither linear nor quadratic."),
    .tp_richcompare = nonlin_cmp,
    .tp_methods = nonlin_methods,
};
