// Arithmetic of variables, linear terms, quadratic terms and expressions.
//
// Addition, subtraction, multiplication and the logical operators are done by
// the function of the highest-ranked operand kind (number < variable <
// linear term < quadratic term < expression < nonlinear); division forwards
// by the kind of the left operand, power by the kind of the base. Results are
// always the simplest object that holds the value.
#include "expression/arithmetic.h"

#include <algorithm>
#include <cmath>

#include "expression/expression.h"
#include "expression/linterm.h"
#include "expression/quadterm.h"
#include "nonlin/nonlinear.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

PyObject *obj_of(const var_s *v) { return reinterpret_cast<PyObject *>(const_cast<var_s *>(v)); }
PyObject *new_float(double v) { return PyFloat_FromDouble(v); }

PyObject *model_error(const char *message) {
  if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, message);
  return nullptr;
}

// Type tests of the forwarding rules, without the subtype test for exact types.
bool is_var_object(PyObject *obj) { return is_operand_of_type(obj, &korvo_varType); }
bool is_nonlin_object(PyObject *obj) { return is_operand_of_type(obj, &korvo_nonlinType); }

// Value of a numeric constant (kind 0); -1.0 with an exception set on failure.
double number_of(PyObject *obj) { return PyFloat_AsDouble(obj); }

// The variable and coefficient of a variable or linear term.
void linear_parts(PyObject *obj, PyObject **var, double *coef) {
  if (is_var_object(obj)) {
    *var = obj;
    *coef = 1.0;
  } else {
    *var = obj_of(as_linterm(obj)->var);
    *coef = as_linterm(obj)->coef;
  }
}

// A variable or linear term as one map entry.
linmap_entry term_entry(PyObject *obj) {
  PyObject *var;
  double coef;
  linear_parts(obj, &var, &coef);
  return {as_var(var), coef};
}

bool is_linear_kind(int kind) { return kind == EXPR_VAR || kind == EXPR_LINTERM; }

// a + f*b as a new expression; ka and kb are the operands' kinds (0 to 4).
// Two variables or linear terms on different variables, the most frequent
// case, go straight into a new linear map, smaller identity first.
// Whether obj (of kind `kind`) times f brings a linear entry: an expression
// gets a linear map only with its first nonzero term.
bool adds_linear_entry(PyObject *obj, int kind, double f) {
  if (!is_linear_kind(kind)) return false;
  PyObject *var;
  double coef;
  linear_parts(obj, &var, &coef);
  return f * coef != 0.0;
}

PyObject *build_sum(PyObject *a, int ka, PyObject *b, int kb, double f) {
  PyRef result(expression_with_room(size_t(adds_linear_entry(a, ka, 1.0)) + size_t(adds_linear_entry(b, kb, f))));
  if (!result) return nullptr;
  if (is_linear_kind(ka) && is_linear_kind(kb)) {
    // One merge of the two terms: ordered, summed when on one variable, and
    // left out when zero.
    linmap_entry first = term_entry(a), second = term_entry(b);
    expression_s *e = as_expression(result.get());
    size_t n = first.coef != 0.0, m = f * second.coef != 0.0;  // the room counted above
    if (expression_lin(e) && linmap_assign_combination(expression_lin(e), &first, n, 1.0, &second, m, f) < 0)
      return PyErr_NoMemory();
    return result.release();
  }
  if (expression_addOperand(result.get(), a, ka, 1.0) < 0 || expression_addOperand(result.get(), b, kb, f) < 0)
    return nullptr;
  return result.release();
}

bool same_pair(const quadterm_s *s, const quadterm_s *t) {
  return same_variable(s->first, t->first) && same_variable(s->second, t->second);
}

// ---- NumPy arrays on the right: let NumPy apply the operation element-wise --

enum class ArrayOp { add, sub, mul, div, and_, or_ };

PyObject *array_right(ArrayOp op, PyObject *a, PyObject *arr) {
  switch (op) {
    case ArrayOp::add: return PyNumber_Add(arr, a);
    case ArrayOp::sub: {
      PyRef negated(PyNumber_Negative(arr));
      return negated ? PyNumber_Add(negated.get(), a) : nullptr;
    }
    case ArrayOp::mul: return PyNumber_Multiply(arr, a);
    case ArrayOp::div: {
      PyRef one(new_float(1.0));
      if (!one) return nullptr;
      PyRef inverse(PyNumber_TrueDivide(one.get(), arr));
      return inverse ? PyNumber_Multiply(inverse.get(), a) : nullptr;
    }
    case ArrayOp::and_: return PyNumber_And(arr, a);
    case ArrayOp::or_: return PyNumber_Or(arr, a);
  }
  return nullptr;
}

PyObject *vector_exponent_error() { return model_error("Cannot obtain a power with a vector as an exponent"); }

// A NumPy array, tested only for operands that are none of the kinds: the
// modelling types and numbers never are arrays.
bool is_array_operand(PyObject *obj, int kind) { return kind == EXPR_INVALID && obj && isNumpyArray(obj); }

// ---- sums -------------------------------------------------------------------
// Each takes the operands with their kinds (exprKind), classified once by
// the caller.

PyObject *var_sum(PyObject *a, int ka, PyObject *b, int kb, double f) {
  if (ka == EXPR_VAR && kb == EXPR_VAR) {
    if (same_variable(as_var(a), as_var(b))) return linterm_fill(a, 1.0 + f);
    return build_sum(a, ka, b, kb, f);
  }
  if (ka == EXPR_VAR && kb == EXPR_CONSTANT) {
    double n = number_of(b);
    if (n == -1.0 && PyErr_Occurred()) return nullptr;
    if (n == 0.0) return Py_NewRef(a);
    return build_sum(a, ka, b, kb, f);
  }
  if (ka == EXPR_CONSTANT && kb == EXPR_VAR) return build_sum(a, ka, b, kb, f);
  return model_error(f > 0 ? "Invalid operands in addition" : "Invalid object in subtraction");
}

PyObject *linterm_sum(PyObject *a, int ka, PyObject *b, int kb, double f) {
  if (is_linear_kind(ka) && is_linear_kind(kb)) {
    PyObject *va, *vb;
    double ca, cb;
    linear_parts(a, &va, &ca);
    linear_parts(b, &vb, &cb);
    if (same_variable(as_var(va), as_var(vb))) return linterm_fill(va, ca + f * cb);
    return build_sum(a, ka, b, kb, f);
  }
  if (ka == EXPR_LINTERM && kb == EXPR_CONSTANT) {
    double n = number_of(b);
    if (n == -1.0 && PyErr_Occurred()) return nullptr;
    return n == 0.0 ? linterm_copy(a, 1.0) : build_sum(a, ka, b, kb, f);
  }
  if (ka == EXPR_CONSTANT && kb == EXPR_LINTERM) {
    double n = number_of(a);
    if (n == -1.0 && PyErr_Occurred()) return nullptr;
    return n == 0.0 ? linterm_copy(b, f) : build_sum(a, ka, b, kb, f);
  }
  return model_error("Invalid operands in sum");
}

PyObject *quadterm_sum(PyObject *a, int ka, PyObject *b, int kb, double f) {
  if (ka == EXPR_QUADTERM && kb == EXPR_QUADTERM) {
    const quadterm_s *s = as_quadterm(a), *t = as_quadterm(b);
    if (same_pair(s, t)) return quadterm_fill(obj_of(s->first), obj_of(s->second), s->coef + f * t->coef);
    return build_sum(a, ka, b, kb, f);
  }
  if (ka == EXPR_QUADTERM && kb == EXPR_CONSTANT) {
    double n = number_of(b);
    if (n == -1.0 && PyErr_Occurred()) return nullptr;
    return n == 0.0 ? quadterm_copy(a, 1.0) : build_sum(a, ka, b, kb, f);
  }
  if (ka == EXPR_CONSTANT && kb == EXPR_QUADTERM) {
    double n = number_of(a);
    if (n == -1.0 && PyErr_Occurred()) return nullptr;
    return n == 0.0 ? quadterm_copy(b, f) : build_sum(a, ka, b, kb, f);
  }
  if ((ka == EXPR_QUADTERM && is_linear_kind(kb)) || (kb == EXPR_QUADTERM && is_linear_kind(ka)))
    return build_sum(a, ka, b, kb, f);
  return model_error("Invalid operands in sum with quadratic term");
}

// a + f*b of a linear expression without quadratic part and a variable or
// linear term (either way round), f = 1 or -1: one merge into a result sized
// for it, instead of a copy and then an insert.
PyObject *linear_expression_plus_term(PyObject *a, int ka, PyObject *b, double f) {
  bool expression_first = ka == EXPR_EXPRESSION;
  const expression_s *e = as_expression(expression_first ? a : b);
  linmap_entry term = term_entry(expression_first ? b : a);
  size_t n = 0;
  const linmap_entry *entries = linmap_data(expression_lin(e), &n);
  PyRef result(expression_with_room(n + 1));
  if (!result) return nullptr;
  expression_s *r = as_expression(result.get());
  int rc = expression_first ? linmap_assign_combination(expression_lin(r), entries, n, 1.0, &term, 1, f)
                            : linmap_assign_combination(expression_lin(r), &term, 1, 1.0, entries, n, f);
  if (rc < 0) return PyErr_NoMemory();
  r->constant = expression_first ? e->constant : f * e->constant;
  return result.release();
}

PyObject *expression_sum_of(PyObject *a, int ka, PyObject *b, int kb, double f) {
  if (ka < EXPR_CONSTANT || ka > EXPR_EXPRESSION || kb < EXPR_CONSTANT || kb > EXPR_EXPRESSION)
    return model_error("Invalid object in operation");
  if (ka == EXPR_EXPRESSION && kb == EXPR_EXPRESSION) return expression_sum(a, b, f);
  if ((f == 1.0 || f == -1.0) && is_linear_kind(ka == EXPR_EXPRESSION ? kb : ka) &&
      !as_expression(ka == EXPR_EXPRESSION ? a : b)->quad)
    return linear_expression_plus_term(a, ka, b, f);
  // The copy keeps room for the term added to it.
  size_t room = is_linear_kind(ka == EXPR_EXPRESSION ? kb : ka) ? 1 : 0;
  PyRef result(ka == EXPR_EXPRESSION ? expression_copy_with_room(a, 1.0, room)
                                     : expression_copy_with_room(b, f, room));
  if (!result) return nullptr;
  int rc = ka == EXPR_EXPRESSION ? expression_addOperand(result.get(), b, kb, f)
                                 : expression_addOperand(result.get(), a, ka, 1.0);
  if (rc < 0) return model_error("Error adding expressions");
  return result.release();
}

}  // namespace

PyObject *linterm_alg_sum(PyObject *a, PyObject *b, double f) {
  return linterm_sum(a, exprKind(a), b, exprKind(b), f);
}

PyObject *quadterm_alg_sum(PyObject *a, PyObject *b, double f) {
  return quadterm_sum(a, exprKind(a), b, exprKind(b), f);
}

PyObject *expression_alg_sum(PyObject *a, PyObject *b, double f) {
  return expression_sum_of(a, exprKind(a), b, exprKind(b), f);
}

namespace {

// a + f*b by the function of the highest-ranked kind.
PyObject *sum_dispatch(PyObject *a, PyObject *b, double f) {
  int kb = exprKind(b);
  if (is_array_operand(b, kb)) return array_right(f > 0 ? ArrayOp::add : ArrayOp::sub, a, b);
  int ka = exprKind(a);
  switch (std::max(ka, kb)) {
    case EXPR_NONLINEAR: return f > 0 ? nonlin_add(a, b) : nonlin_sub(a, b);
    case EXPR_EXPRESSION: return expression_sum_of(a, ka, b, kb, f);
    case EXPR_QUADTERM: return quadterm_sum(a, ka, b, kb, f);
    case EXPR_LINTERM: return linterm_sum(a, ka, b, kb, f);
    case EXPR_VAR: return var_sum(a, ka, b, kb, f);
    default: return f > 0 ? constant_add(a, b) : constant_sub(a, b);
  }
}

// ---- products ---------------------------------------------------------------

PyObject *product_node(PyObject *a, PyObject *b) { return nonlin_instantiate_binary(NL_PROD, a, b); }

PyObject *var_mul_impl(PyObject *a, int ka, PyObject *b, int kb) {
  if (ka == EXPR_VAR && kb == EXPR_VAR) return quadterm_fill(a, b, 1.0);
  if ((ka == EXPR_VAR && kb == EXPR_CONSTANT) || (ka == EXPR_CONSTANT && kb == EXPR_VAR)) {
    PyObject *var = ka == EXPR_VAR ? a : b;
    double k = number_of(ka == EXPR_VAR ? b : a);
    if (k == -1.0 && PyErr_Occurred()) return nullptr;
    return var_copy(var, k);
  }
  return model_error("Invalid operands in multiplication");
}

PyObject *linterm_mul_impl(PyObject *a, int ka, PyObject *b, int kb) {
  if (is_linear_kind(ka) && is_linear_kind(kb)) {
    PyObject *va, *vb;
    double ca, cb;
    linear_parts(a, &va, &ca);
    linear_parts(b, &vb, &cb);
    return quadterm_fill(va, vb, ca * cb);
  }
  if ((ka == EXPR_LINTERM && kb == EXPR_CONSTANT) || (ka == EXPR_CONSTANT && kb == EXPR_LINTERM)) {
    PyObject *term = ka == EXPR_LINTERM ? a : b;
    double k = number_of(ka == EXPR_LINTERM ? b : a);
    if (k == -1.0 && PyErr_Occurred()) return nullptr;
    return linterm_copy(term, k);
  }
  return model_error("Invalid operands in product of linear terms");
}

PyObject *quadterm_mul_impl(PyObject *a, PyObject *b) {
  int ka = getExprType(a), kb = getExprType(b);
  if (ka < 0 || kb < 0) return nullptr;
  if (ka == EXPR_CONSTANT || kb == EXPR_CONSTANT) {
    double k = number_of(ka == EXPR_CONSTANT ? a : b);
    if (k == -1.0 && PyErr_Occurred()) return nullptr;
    return quadterm_copy(ka == EXPR_CONSTANT ? b : a, k);
  }
  return product_node(a, b);
}

// (c1 + L1) * (c2 + L2) for two expressions without quadratic parts.
PyObject *linear_product(const expression_s *p, const expression_s *q) {
  PyRef result(expression_base());
  if (!result) return nullptr;
  as_expression(result.get())->constant = p->constant * q->constant;
  map_cursor cursor = nullptr;
  const var_s *x;
  double a;
  for (auto [from, scale] : {std::pair{p, q->constant}, std::pair{q, p->constant}}) {
    if (!expression_lin(from) || scale == 0.0) continue;
    while (linmap_next(expression_lin(from), &x, &a, &cursor))
      if (expression_addToLinTerm(result.get(), obj_of(x), scale * a) < 0) {
        linmap_iter_free(&cursor);
        return model_error("Cannot create linear term in expression");
      }
  }
  if (!expression_lin(p) || !expression_lin(q)) return result.release();
  // Each unordered pair ends up once, under the variable with the smaller id,
  // with the products of both orderings summed (x before y in p's order).
  while (linmap_next(expression_lin(p), &x, &a, &cursor)) {
    map_cursor inner = nullptr;
    const var_s *y;
    double b;
    while (linmap_next(expression_lin(q), &y, &b, &inner))
      if (expression_addToQuadTerm(result.get(), obj_of(x), obj_of(y), a * b) < 0) {
        linmap_iter_free(&inner);
        linmap_iter_free(&cursor);
        return model_error("Cannot create quadratic term in expression");
      }
  }
  return result.release();
}

// (coef * var) * (c + L) for an expression without quadratic part.
PyObject *linear_times_expression(PyObject *term, const expression_s *e) {
  PyObject *var;
  double coef;
  linear_parts(term, &var, &coef);
  PyRef result(expression_base());
  if (!result) return nullptr;
  if (expression_addToLinTerm(result.get(), var, coef * e->constant) < 0)
    return model_error("Cannot create linear term for expression");
  map_cursor cursor = nullptr;
  const var_s *y;
  double b;
  while (expression_lin(e) && linmap_next(expression_lin(e), &y, &b, &cursor))
    if (expression_addToQuadTerm(result.get(), var, obj_of(y), coef * b) < 0) {
      linmap_iter_free(&cursor);
      return model_error("Cannot create quadratic term in expression");
    }
  return result.release();
}

PyObject *expression_mul_impl(PyObject *a, int ka, PyObject *b, int kb) {
  if (ka < EXPR_CONSTANT || ka > EXPR_EXPRESSION || kb < EXPR_CONSTANT || kb > EXPR_EXPRESSION)
    return model_error("Invalid object in operation");
  if (ka == EXPR_CONSTANT || kb == EXPR_CONSTANT) {
    double k = number_of(ka == EXPR_CONSTANT ? a : b);
    if (k == -1.0 && PyErr_Occurred()) return nullptr;
    return expression_copy(ka == EXPR_CONSTANT ? b : a, k);
  }
  double k;
  if (isObjectConst(a, nullptr, &k)) return multiply_by_const_expr(b, &kb, k);
  if (isObjectConst(b, nullptr, &k)) return multiply_by_const_expr(a, &ka, k);
  // Both operands are non-constant and at least one is an expression.
  if (ka == EXPR_EXPRESSION && kb == EXPR_EXPRESSION) {
    const expression_s *p = as_expression(a), *q = as_expression(b);
    if (!p->quad && !q->quad) return linear_product(p, q);
    return product_node(a, b);
  }
  PyObject *other = ka == EXPR_EXPRESSION ? b : a;
  const expression_s *e = as_expression(ka == EXPR_EXPRESSION ? a : b);
  if (is_linear_kind(ka == EXPR_EXPRESSION ? kb : ka) && !e->quad) return linear_times_expression(other, e);
  return product_node(a, b);
}

PyObject *mul_dispatch(PyObject *a, PyObject *b) {
  int kb = exprKind(b);
  if (is_array_operand(b, kb)) return array_right(ArrayOp::mul, a, b);
  int ka = exprKind(a);
  switch (std::max(ka, kb)) {
    case EXPR_NONLINEAR: return nonlin_mul(a, b);
    case EXPR_EXPRESSION: return expression_mul_impl(a, ka, b, kb);
    case EXPR_QUADTERM: return quadterm_mul_impl(a, b);
    case EXPR_LINTERM: return linterm_mul_impl(a, ka, b, kb);
    case EXPR_VAR: return var_mul_impl(a, ka, b, kb);
    default: return constant_mul(a, b);
  }
}

// ---- division ---------------------------------------------------------------

PyObject *quotient_node(PyObject *a, PyObject *b) { return nonlin_instantiate_binary(NL_DIV, a, b); }

// A number or an expression with neither linear nor quadratic part.
bool constant_value(PyObject *obj, double *value) { return isObjectConst(obj, nullptr, value); }

bool nonconstant_expression(PyObject *obj) { return isExpression(obj) && !constant_value(obj, nullptr); }

// Quotient node of the number `numerator` over a variable.
PyObject *number_over(double numerator, PyObject *var) {
  PyRef number(new_float(numerator));
  return number ? quotient_node(number.get(), var) : nullptr;
}

// The variable of quadratic term t that is not v (v itself for a square).
PyObject *other_variable(const quadterm_s *t, const var_s *v) {
  return obj_of(same_variable(t->first, v) ? t->second : t->first);
}

bool shares_variable(const quadterm_s *t, const var_s *v) {
  return same_variable(t->first, v) || same_variable(t->second, v);
}

PyObject *div_dispatch(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return array_right(ArrayOp::div, a, b);
  return nullptr;
}

}  // namespace

PyObject *expression_div(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return div_dispatch(a, b);
  double k;
  if (isExpression(a) && constant_value(b, &k)) {
    if (k == 0.0) return model_error("Division by zero");
    return expression_copy(a, 1.0 / k);
  }
  return nonlin_div(a, b);
}

PyObject *quadterm_div(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return div_dispatch(a, b);
  if (is_nonlin_object(a) || is_nonlin_object(b)) return nonlin_div(a, b);
  if (isExpression(a) || nonconstant_expression(b)) return expression_div(a, b);
  int ka = getExprType(a);
  if (ka < 0) return nullptr;
  int kb = getExprType(b);
  if (kb < 0) return nullptr;
  double k;
  if (ka == EXPR_QUADTERM) {
    const quadterm_s *t = as_quadterm(a);
    if (constant_value(b, &k)) {
      if (k == 0.0) return model_error("Division by zero of a bilinear term");
      return quadterm_copy(a, 1.0 / k);
    }
    if (is_linear_kind(kb)) {
      PyObject *var;
      double coef;
      linear_parts(b, &var, &coef);
      if (shares_variable(t, as_var(var))) {
        if (coef == 0.0) return model_error("Division by zero of a bilinear term");
        return linterm_fill(other_variable(t, as_var(var)), t->coef / coef);
      }
    }
    if (kb == EXPR_QUADTERM) {
      const quadterm_s *u = as_quadterm(b);
      if (same_pair(t, u)) {
        if (u->coef == 0.0) return model_error("Division by zero of a bilinear term");
        return new_float(t->coef / u->coef);
      }
      const var_s *shared = shares_variable(u, t->first)    ? t->first
                            : shares_variable(u, t->second) ? t->second
                                                            : nullptr;
      if (shared) {
        if (u->coef == 0.0) return model_error("Division by zero of a bilinear term");
        PyRef numerator(linterm_fill(other_variable(t, shared), t->coef / u->coef));
        if (!numerator) return nullptr;
        return quotient_node(numerator.get(), other_variable(u, shared));
      }
    }
    return quotient_node(a, b);
  }
  if (kb == EXPR_QUADTERM && is_linear_kind(ka)) {
    const quadterm_s *u = as_quadterm(b);
    PyObject *var;
    double coef;
    linear_parts(a, &var, &coef);
    if (shares_variable(u, as_var(var))) {
      if (u->coef == 0.0)
        return model_error(ka == EXPR_VAR ? "Division by zero of a variable" : "Division by zero of a linear term");
      return number_over(coef / u->coef, other_variable(u, as_var(var)));
    }
  }
  return quotient_node(a, b);
}

PyObject *linterm_div(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return div_dispatch(a, b);
  if (is_nonlin_object(a) || is_nonlin_object(b)) return nonlin_div(a, b);
  if (isQuadterm(a) || isQuadterm(b)) return quadterm_div(a, b);
  if (isExpression(a) || nonconstant_expression(b)) return expression_div(a, b);
  int ka = exprKind(a), kb = exprKind(b);
  double k;
  if (ka == EXPR_LINTERM && constant_value(b, &k)) {
    if (k == 0.0) return model_error("Division by zero");
    return linterm_fill(obj_of(as_linterm(a)->var), as_linterm(a)->coef / k);
  }
  if (is_linear_kind(ka) && is_linear_kind(kb)) {
    PyObject *va, *vb;
    double ca, cb;
    linear_parts(a, &va, &ca);
    linear_parts(b, &vb, &cb);
    if (!same_variable(as_var(va), as_var(vb))) return quotient_node(a, b);
    if (cb == 0.0) return model_error("Division by zero");
    return new_float(ca / cb);
  }
  if (ka == EXPR_CONSTANT && kb == EXPR_LINTERM) return quotient_node(a, b);
  if (ka == EXPR_VAR && constant_value(b, &k)) return var_div(a, b);
  return model_error("Invalid operands in product of linear terms");
}

PyObject *var_div(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return div_dispatch(a, b);
  if (isLinterm(a)) return linterm_div(a, b);
  if (isQuadterm(a)) return quadterm_div(a, b);
  if (isExpression(a)) return expression_div(a, b);
  if (is_nonlin_object(a)) return nonlin_div(a, b);
  int ka = exprKind(a), kb = exprKind(b);
  double k;
  if (ka == EXPR_VAR) {
    if (constant_value(b, &k)) {
      if (k == 0.0) return model_error("Division of variable by zero");
      return var_copy(a, 1.0 / k);
    }
    if (kb == EXPR_VAR && same_variable(as_var(a), as_var(b))) return new_float(1.0);
    if (kb >= EXPR_VAR) return quotient_node(a, b);
  } else if (ka == EXPR_CONSTANT && kb == EXPR_VAR) {
    k = number_of(a);
    if (k == -1.0 && PyErr_Occurred()) return nullptr;
    if (k == 0.0) return new_float(0.0);
    return quotient_node(a, b);
  }
  return model_error("Invalid operands in division");
}

// ---- power ------------------------------------------------------------------

namespace {

PyObject *power_node(PyObject *a, PyObject *b) { return nonlin_instantiate_binary(NL_POW, a, b); }

PyObject *pow_dispatch(PyObject *a, PyObject *b, PyObject *modulus) {
  if (modulus && modulus != Py_None) return model_error("Invalid operands in exponentiation");
  if (isNumpyArray(b)) return vector_exponent_error();
  int ka = exprKind(a), kb = exprKind(b);
  if (ka == EXPR_NONLINEAR || kb == EXPR_NONLINEAR) return nonlin_pow(a, b, Py_None);
  if (ka < 0 || kb < 0 || (ka == EXPR_CONSTANT && kb == EXPR_CONSTANT)) {
    if (ka == EXPR_CONSTANT && kb == EXPR_CONSTANT) return constant_pow(a, b);
    return model_error("Invalid operands in exponentiation");
  }
  if (kb != EXPR_CONSTANT) {
    if (ka == EXPR_CONSTANT) {
      double base = number_of(a);
      if (base == -1.0 && PyErr_Occurred()) return nullptr;
      if (base == 1.0) return new_float(1.0);
      return kb == EXPR_EXPRESSION ? nonlin_pow(a, b, Py_None) : power_node(a, b);
    }
    return ka == EXPR_EXPRESSION ? nonlin_pow(a, b, Py_None) : power_node(a, b);
  }
  double k = number_of(b);
  if (k == -1.0 && PyErr_Occurred()) return nullptr;
  if (k == 0.0) return new_float(1.0);
  switch (ka) {
    case EXPR_VAR:
      if (k == 1.0) return Py_NewRef(a);
      if (k == 2.0) return quadterm_fill(a, a, 1.0);
      return power_node(a, b);
    case EXPR_LINTERM: {
      const linterm_s *t = as_linterm(a);
      if (k == 1.0) return Py_NewRef(a);
      if (k == 2.0) return quadterm_fill(obj_of(t->var), obj_of(t->var), t->coef * t->coef);
      return power_node(a, b);
    }
    case EXPR_QUADTERM:
      if (k == 1.0) return quadterm_copy(a, 1.0);
      return power_node(a, b);
    default:  // expression
      if (k == 1.0) return expression_copy(a, 1.0);
      if (k == 2.0) return expression_mul_impl(a, EXPR_EXPRESSION, a, EXPR_EXPRESSION);
      return nonlin_pow(a, b, Py_None);
  }
}

// ---- unary and logical operators ----------------------------------------------

PyObject *neg_dispatch(PyObject *a) {
  switch (exprKind(a)) {
    case EXPR_VAR: return linterm_fill(a, -1.0);
    case EXPR_LINTERM: return linterm_neg(a);
    case EXPR_QUADTERM: return quadterm_neg(a);
    case EXPR_EXPRESSION: return expression_copy(a, -1.0);
    case EXPR_NONLINEAR: return nonlin_neg(a);
    case EXPR_CONSTANT: return constant_neg(a);
    default: getExprType(a); return nullptr;
  }
}

PyObject *abs_dispatch(PyObject *a) { return nonlin_instantiate_unary(NL_ABS, a); }

PyObject *logic_dispatch(uint32_t op, PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return array_right(op == NL_AND ? ArrayOp::and_ : ArrayOp::or_, a, b);
  int ka = exprKind(a), kb = exprKind(b);
  if (ka == EXPR_CONSTANT && kb == EXPR_CONSTANT) return op == NL_AND ? constant_and(a, b) : constant_or(a, b);
  return nonlin_instantiate_binary(op, a, b);
}

// ---- in-place operators of variables and terms ----------------------------------

bool is_number_equal(PyObject *obj, double value) {
  if (!isNumericScalar(obj)) return false;
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return v == value;
}

PyObject *term_iadd(PyObject *a, PyObject *b, double f) {
  if (is_number_equal(b, 0.0)) return Py_NewRef(a);
  return sum_dispatch(a, b, f);
}

PyObject *term_imul(PyObject *a, PyObject *b) {
  if (is_number_equal(b, 1.0)) return Py_NewRef(a);
  return mul_dispatch(a, b);
}

PyObject *term_idiv(PyObject *a, PyObject *b, PyObject *(*divide)(PyObject *, PyObject *)) {
  double k;
  if (constant_value(b, &k)) {
    if (k == 1.0) return Py_NewRef(a);
    if (k == 0.0) return model_error("Division by zero");
  }
  return divide(a, b);
}

PyObject *term_ipow(PyObject *a, PyObject *b, PyObject *modulus) {
  if (is_number_equal(b, 1.0)) return Py_NewRef(a);
  if (is_number_equal(b, 0.0)) return new_float(1.0);
  return pow_dispatch(a, b, modulus);
}

// ---- in-place operators of expressions --------------------------------------------

PyObject *expression_inplace_sum(PyObject *a, PyObject *b, double f) {
  if (isNumpyArray(b)) return array_right(f > 0 ? ArrayOp::add : ArrayOp::sub, a, b);
  if (!isExpression(a)) return sum_dispatch(a, b, f);
  return expression_incremental_alg_sum(a, b, f);
}

// An expression that may be amended in place (not frozen as a constraint's body).
bool amendable_expression(PyObject *a) { return isExpression(a) && !expression_frozen(as_expression(a)); }

PyObject *expression_inplace_mul(PyObject *a, PyObject *b) {
  double k;
  if (amendable_expression(a) && constant_value(b, &k)) return expression_scale(Py_NewRef(a), k);
  return mul_dispatch(a, b);
}

PyObject *expression_inplace_div(PyObject *a, PyObject *b) {
  if (isNumpyArray(b)) return array_right(ArrayOp::div, a, b);
  if (isExpression(a) && expression_frozen(as_expression(a))) return expression_div(a, b);
  double k;
  if (amendable_expression(a) && constant_value(b, &k)) {
    if (k == 0.0) return model_error("Division by zero");
    if (k == 1.0) return Py_NewRef(a);
    return expression_scale(Py_NewRef(a), 1.0 / k);
  }
  if (isExpression(a)) return nonlin_div(a, b);
  return var_div(a, b);
}

PyObject *expression_inplace_pow(PyObject *a, PyObject *b, PyObject *modulus) {
  if (is_number_equal(b, 1.0)) return Py_NewRef(a);
  if (is_number_equal(b, 0.0)) return new_float(1.0);
  return pow_dispatch(a, b, modulus);
}

}  // namespace

// ---- slot functions -------------------------------------------------------------

#define KORVO_COMMON_SLOTS(T)                                                                  \
  PyObject *T##_add(PyObject *a, PyObject *b) { return sum_dispatch(a, b, 1.0); }              \
  PyObject *T##_sub(PyObject *a, PyObject *b) { return sum_dispatch(a, b, -1.0); }             \
  PyObject *T##_mul(PyObject *a, PyObject *b) { return mul_dispatch(a, b); }                   \
  PyObject *T##_pow(PyObject *a, PyObject *b, PyObject *m) { return pow_dispatch(a, b, m); }   \
  PyObject *T##_abs(PyObject *a) { return abs_dispatch(a); }                                   \
  PyObject *T##_and(PyObject *a, PyObject *b) { return logic_dispatch(NL_AND, a, b); }         \
  PyObject *T##_or(PyObject *a, PyObject *b) { return logic_dispatch(NL_OR, a, b); }
KORVO_COMMON_SLOTS(var)
KORVO_COMMON_SLOTS(linterm)
KORVO_COMMON_SLOTS(quadterm)
KORVO_COMMON_SLOTS(expression)
#undef KORVO_COMMON_SLOTS

// linterm_neg and quadterm_neg are the term operations themselves.
PyObject *var_neg(PyObject *a) { return neg_dispatch(a); }
PyObject *expression_neg(PyObject *a) { return neg_dispatch(a); }

#define KORVO_TERM_INPLACE_SLOTS(T)                                                               \
  PyObject *T##_iadd(PyObject *a, PyObject *b) { return term_iadd(a, b, 1.0); }                   \
  PyObject *T##_isub(PyObject *a, PyObject *b) { return term_iadd(a, b, -1.0); }                  \
  PyObject *T##_imul(PyObject *a, PyObject *b) { return term_imul(a, b); }                        \
  PyObject *T##_idiv(PyObject *a, PyObject *b) { return term_idiv(a, b, T##_div); }               \
  PyObject *T##_ipow(PyObject *a, PyObject *b, PyObject *m) { return term_ipow(a, b, m); }
KORVO_TERM_INPLACE_SLOTS(var)
KORVO_TERM_INPLACE_SLOTS(linterm)
KORVO_TERM_INPLACE_SLOTS(quadterm)
#undef KORVO_TERM_INPLACE_SLOTS

PyObject *expression_iadd(PyObject *a, PyObject *b) { return expression_inplace_sum(a, b, 1.0); }
PyObject *expression_isub(PyObject *a, PyObject *b) { return expression_inplace_sum(a, b, -1.0); }
PyObject *expression_imul(PyObject *a, PyObject *b) { return expression_inplace_mul(a, b); }
PyObject *expression_idiv(PyObject *a, PyObject *b) { return expression_inplace_div(a, b); }
PyObject *expression_ipow(PyObject *a, PyObject *b, PyObject *m) { return expression_inplace_pow(a, b, m); }

// One number-protocol table per type; the slots not listed stay empty.
#define KORVO_NUMBER_METHODS(T)                \
  PyNumberMethods T##_number_methods = {       \
      .nb_add = T##_add,                       \
      .nb_subtract = T##_sub,                  \
      .nb_multiply = T##_mul,                  \
      .nb_power = T##_pow,                     \
      .nb_negative = T##_neg,                  \
      .nb_absolute = T##_abs,                  \
      .nb_and = T##_and,                       \
      .nb_or = T##_or,                         \
      .nb_inplace_add = T##_iadd,              \
      .nb_inplace_subtract = T##_isub,         \
      .nb_inplace_multiply = T##_imul,         \
      .nb_inplace_power = T##_ipow,            \
      .nb_inplace_and = T##_and,               \
      .nb_inplace_or = T##_or,                 \
      .nb_true_divide = T##_div,               \
      .nb_inplace_true_divide = T##_idiv,      \
  };
KORVO_NUMBER_METHODS(var)
KORVO_NUMBER_METHODS(linterm)
KORVO_NUMBER_METHODS(quadterm)
KORVO_NUMBER_METHODS(expression)
#undef KORVO_NUMBER_METHODS

// ---- accumulation -----------------------------------------------------------------

PyObject *expression_incremental_alg_sum(PyObject *acc, PyObject *b, double f) {
  if (!acc || acc == Py_None) return expression_copy(b, f);
  int kacc = exprKind(acc), kb = getExprType(b);
  if (kb < 0) return nullptr;
  if (kacc == EXPR_EXPRESSION && expression_frozen(as_expression(acc))) return sum_dispatch(acc, b, f);
  if (kacc == EXPR_EXPRESSION) {
    if (kb == EXPR_NONLINEAR) return nonlin_alg_sum(acc, b, f);
    if (expression_addOperand(acc, b, kb, f) < 0)
      return model_error(kb == EXPR_QUADTERM ? "Could not add quadratic part" : "Could not add linear part");
    return Py_NewRef(acc);
  }
  if (kacc == EXPR_NONLINEAR || kb == EXPR_NONLINEAR) return nonlin_incremental_alg_sum(acc, b, f);
  if (kacc == EXPR_CONSTANT) {
    double a = number_of(acc);
    if (a == -1.0 && PyErr_Occurred()) return nullptr;
    if (kb == EXPR_CONSTANT) {
      double v = number_of(b);
      if (v == -1.0 && PyErr_Occurred()) return nullptr;
      return new_float(a + f * v);
    }
    PyRef result(expression_copy(b, f));
    if (!result) return nullptr;
    as_expression(result.get())->constant += a;
    return result.release();
  }
  double v;
  if (constant_value(b, &v)) {
    PyRef scaled(new_float(f * v));
    return scaled ? general_add(acc, scaled.get()) : nullptr;
  }
  if (kacc < 0) {
    getExprType(acc);
    return nullptr;
  }
  PyRef result(expression_copy(b, f));
  if (!result) return nullptr;
  if (expression_addOperand(result.get(), acc, kacc, 1.0) < 0)
    return model_error(kacc == EXPR_QUADTERM ? "Could not add quadratic part" : "Could not add linear part");
  return result.release();
}

PyObject *multiply_by_const_expr(PyObject *obj, int *code, double k) {
  if (*code == -2) *code = exprKind(obj);
  switch (*code) {
    case EXPR_CONSTANT: {
      double v = number_of(obj);
      if (v == -1.0 && PyErr_Occurred()) return nullptr;
      return new_float(k * v);
    }
    case EXPR_VAR: return var_copy(obj, k);
    case EXPR_LINTERM: return linterm_copy(obj, k);
    case EXPR_QUADTERM: return quadterm_copy(obj, k);
    case EXPR_EXPRESSION: return expression_copy(obj, k);
    case EXPR_NONLINEAR: return nonlin_copy(obj, k);
    default: return model_error("Error multiplying expressions");
  }
}

// ---- general_* --------------------------------------------------------------------

namespace {

bool is_none(PyObject *obj) { return !obj || obj == Py_None; }

}  // namespace

PyObject *general_add(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  return sum_dispatch(a, b, 1.0);
}

PyObject *general_sub(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, -1.0);
  if (is_none(b)) return Py_NewRef(a);
  return sum_dispatch(a, b, -1.0);
}

PyObject *general_mul(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  return mul_dispatch(a, b);
}

PyObject *general_div(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  if (isNumpyArray(b)) return array_right(ArrayOp::div, a, b);
  switch (std::max(exprKind(a), exprKind(b))) {
    case EXPR_NONLINEAR: return nonlin_div(a, b);
    case EXPR_EXPRESSION: return expression_div(a, b);
    case EXPR_QUADTERM: return quadterm_div(a, b);
    case EXPR_LINTERM: return linterm_div(a, b);
    case EXPR_VAR: return var_div(a, b);
    default: return constant_div(a, b);
  }
}

PyObject *general_pow(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  return pow_dispatch(a, b, nullptr);
}

PyObject *general_sqr(PyObject *a) {
  if (is_none(a)) return Py_NewRef(Py_None);
  if (isNumpyArray(a)) return PyNumber_Multiply(a, a);
  PyRef two(PyLong_FromLong(2));
  return two ? pow_dispatch(a, two.get(), nullptr) : nullptr;
}

PyObject *general_neg(PyObject *a) { return neg_dispatch(a); }

PyObject *general_and(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  return logic_dispatch(NL_AND, a, b);
}

PyObject *general_or(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  return logic_dispatch(NL_OR, a, b);
}

// The in-place forms amend an expression (or nonlinear sum) on the left and
// otherwise equal the plain operations. An array on the right is combined by
// NumPy without modifying the caller's array.
PyObject *general_iadd(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  if (is_nonlin_object(a) && !isNumpyArray(b)) return nonlin_iadd(a, b);
  return expression_inplace_sum(a, b, 1.0);
}

PyObject *general_isub(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, -1.0);
  if (is_none(b)) return Py_NewRef(a);
  if (is_nonlin_object(a) && !isNumpyArray(b)) return nonlin_isub(a, b);
  return expression_inplace_sum(a, b, -1.0);
}

PyObject *general_imul(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  if (is_nonlin_object(a) && !isNumpyArray(b)) return nonlin_imul(a, b);
  return expression_inplace_mul(a, b);
}

PyObject *general_idiv(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  if (is_nonlin_object(a) && !isNumpyArray(b)) return nonlin_idiv(a, b);
  if (isExpression(a)) return expression_inplace_div(a, b);
  return general_div(a, b);
}

PyObject *general_ipow(PyObject *a, PyObject *b) {
  if (is_none(a)) return general_copy(b, 1.0);
  if (is_none(b)) return Py_NewRef(a);
  if (is_nonlin_object(a) && !isNumpyArray(b)) return nonlin_ipow(a, b, Py_None);
  return expression_inplace_pow(a, b, nullptr);
}

// ---- constant_* ---------------------------------------------------------------------

namespace {

enum class ConstOp { add, sub, mul, div, pow, and_, or_ };

PyObject *numpy_binary(ConstOp op, PyObject *a, PyObject *b) {
  switch (op) {
    case ConstOp::add: return PyNumber_Add(a, b);
    case ConstOp::sub: return PyNumber_Subtract(a, b);
    case ConstOp::mul: return PyNumber_Multiply(a, b);
    case ConstOp::div: return PyNumber_TrueDivide(a, b);
    case ConstOp::pow: return PyNumber_Power(a, b, Py_None);
    case ConstOp::and_: return PyNumber_And(a, b);
    case ConstOp::or_: return PyNumber_Or(a, b);
  }
  return nullptr;
}

PyObject *constant_binary(ConstOp op, PyObject *a, PyObject *b) {
  if (isNumpyArray(a) || isNumpyArray(b)) return numpy_binary(op, a, b);
  if (!isNumericScalar(a)) {
    getExprType(a);
    return nullptr;
  }
  if (!isNumericScalar(b)) {
    getExprType(b);
    return nullptr;
  }
  double x = number_of(a), y = number_of(b);
  if (PyErr_Occurred()) return nullptr;
  switch (op) {
    case ConstOp::add: return new_float(x + y);
    case ConstOp::sub: return new_float(x - y);
    case ConstOp::mul: return new_float(x * y);
    case ConstOp::div: return new_float(x / y);
    case ConstOp::pow: return new_float(std::pow(x, y));
    case ConstOp::and_: return new_float(x != 0.0 && y != 0.0 ? 1.0 : 0.0);
    case ConstOp::or_: return new_float(x == 0.0 && y == 0.0 ? 0.0 : 1.0);
  }
  return nullptr;
}

}  // namespace

PyObject *constant_add(PyObject *a, PyObject *b) { return constant_binary(ConstOp::add, a, b); }
PyObject *constant_sub(PyObject *a, PyObject *b) { return constant_binary(ConstOp::sub, a, b); }
PyObject *constant_mul(PyObject *a, PyObject *b) { return constant_binary(ConstOp::mul, a, b); }
PyObject *constant_div(PyObject *a, PyObject *b) { return constant_binary(ConstOp::div, a, b); }
PyObject *constant_pow(PyObject *a, PyObject *b) { return constant_binary(ConstOp::pow, a, b); }
PyObject *constant_and(PyObject *a, PyObject *b) { return constant_binary(ConstOp::and_, a, b); }
PyObject *constant_or(PyObject *a, PyObject *b) { return constant_binary(ConstOp::or_, a, b); }
PyObject *constant_iadd(PyObject *a, PyObject *b) { return constant_add(a, b); }
PyObject *constant_isub(PyObject *a, PyObject *b) { return constant_sub(a, b); }
PyObject *constant_imul(PyObject *a, PyObject *b) { return constant_mul(a, b); }
PyObject *constant_idiv(PyObject *a, PyObject *b) { return constant_div(a, b); }
PyObject *constant_ipow(PyObject *a, PyObject *b) { return constant_pow(a, b); }

PyObject *constant_neg(PyObject *a) {
  if (isNumpyArray(a)) return PyNumber_Negative(a);
  if (!isNumericScalar(a)) {
    getExprType(a);
    return nullptr;
  }
  double x = number_of(a);
  if (x == -1.0 && PyErr_Occurred()) return nullptr;
  return new_float(-x);
}
