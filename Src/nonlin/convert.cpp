// Splitting expressions into linear, quadratic and token-formula parts, and
// Python user functions of the nonlinear solver.
#include "nonlin/convert.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include "api/errors.h"
#include "expression/expression.h"
#include "expression/linterm.h"
#include "expression/quadterm.h"
#include "knls.h"
#include "maps/maps.h"
#include "nonlin/nonlinear.h"
#include "problem/problem.h"
#include "python_model/allocator.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

// Formula trees deeper than this (leaves included) are refused.
constexpr int kFormulaDepth = 64;
constexpr int kFormulaColumnAttrib = 12013;

const char kTooDeep[] =
    "The expression tree depth reached the maximum limit, please reformulate or simplify the expression";

// Token types and operator codes of the nonlinear solver's formulas.
enum : int { TOK_END = 0, TOK_CONST = 1, TOK_COL = 10, TOK_USER = 11, TOK_FUNC = 12, TOK_DELIM = 22, TOK_OP = 31 };
enum : int { OP_NEG = 1, OP_POW = 2, OP_MUL = 3, OP_DIV = 4, OP_ADD = 5, OP_SUB = 6 };

// Token of each node operator, indexed by op. "and" and "or" use the
// solver's logical functions, which share the tolerance of evaluation.
struct op_token {
  int type, value;
};
constexpr op_token py_to_slp[] = {
    {TOK_OP, OP_ADD},   {TOK_OP, OP_SUB},   {TOK_OP, OP_NEG},   {TOK_OP, OP_MUL},   {TOK_OP, OP_DIV},
    {TOK_OP, OP_POW},   {TOK_FUNC, 16},     {TOK_FUNC, 15},     {TOK_FUNC, 14},     {TOK_FUNC, 27},
    {TOK_FUNC, 28},     {TOK_FUNC, 29},     {TOK_FUNC, 30},     {TOK_FUNC, 31},     {TOK_FUNC, 32},
    {TOK_FUNC, 34},     {TOK_FUNC, 33},     {TOK_FUNC, 17},     {TOK_FUNC, 46},     {TOK_FUNC, 49},
    {TOK_FUNC, 50},     {TOK_FUNC, 18},     {TOK_FUNC, 51},     {TOK_FUNC, 52},     {TOK_FUNC, 35},
    {TOK_USER, 0},      {TOK_USER, 0},
};
constexpr uint32_t kOpCount = sizeof py_to_slp / sizeof py_to_slp[0];

bool is_binary_operator(uint32_t op) { return op == NL_MINUS || op == NL_DIV || op == NL_POW; }
bool is_nary_function(uint32_t op) {
  return op == NL_MAX || op == NL_MIN || op == NL_AND || op == NL_OR || op == NL_PWL || op == NL_USER ||
         op == NL_USER_DERIV;
}

int model_error(const char *text) {
  PyErr_SetString(korvo_model_error, text);
  return -1;
}

// Column of a variable in p, or -1 with ModelError(message).
int column_of(problem_s *p, const var_s *v, const char *message) {
  PyObject *found = nullptr;
  if (rowcolmap_get(p->var_index, var_id(v), &found) != 0) return model_error(message);
  return int(reinterpret_cast<intptr_t>(found));
}

// Growth of the target's arrays (grow mode) or a check against the counted
// capacity (fixed mode).
template <class T>
bool grow_array(T **array, uint64_t capacity) {
  void *block = *array;
  int rc = block ? ko_MemoryAllocator_Realloc_Untyped(ko_MemoryAllocator_DefaultHeap, &block, capacity * sizeof(T))
                 : ko_MemoryAllocator_Alloc_Untyped(ko_MemoryAllocator_DefaultHeap, capacity * sizeof(T), &block);
  if (rc != 0) return false;
  *array = static_cast<T *>(block);
  return true;
}

// Capacity for need entries in grow mode: at least double the old one, so
// that appending term by term costs amortised constant time.
uint64_t grown_capacity(uint64_t capacity, uint64_t need) {
  uint64_t grown = capacity < 8 ? 16 : capacity * 2;
  return grown < need ? need : grown;
}

int out_of_room() {
  PyErr_SetString(korvo_interface_error, "Formula conversion exceeded the space reserved for it");
  return -1;
}

// Room for need entries in a group of parallel arrays sharing one capacity.
// A failed growth leaves the capacity as it was (arrays already grown keep
// their larger blocks, which the capacity still covers).
template <class... T>
int reserve_arrays(conv_target *t, uint64_t need, uint64_t *capacity, T **...arrays) {
  if (need <= *capacity) return 0;
  if (!t->grow) return out_of_room();
  uint64_t grown = grown_capacity(*capacity, need);
  if (!(grow_array(arrays, grown) && ...)) {
    PyErr_NoMemory();
    return -1;
  }
  *capacity = grown;
  return 0;
}

int reserve_linear(conv_target *t, uint64_t extra) {
  return reserve_arrays(t, t->linear_count + extra, &t->linear_capacity, &t->linear_cols, &t->linear_vals);
}

int reserve_quad(conv_target *t, uint64_t extra) {
  return reserve_arrays(t, t->quad_count + extra, &t->quad_capacity, &t->quad_col1, &t->quad_col2, &t->quad_vals);
}

int reserve_tokens(conv_target *t, uint64_t extra) {
  return reserve_arrays(t, t->token_count + extra, &t->token_capacity, &t->token_types, &t->token_vals);
}

// Room for one more formula: its column, factor and end start (starts has
// one entry more than formulas, and its first entry is 0).
int reserve_formula(conv_target *t) {
  bool first = t->formula_starts == nullptr;
  if (reserve_arrays(t, t->formula_count + 2, &t->formula_capacity, &t->formula_cols, &t->formula_factors,
                     &t->formula_starts) < 0)
    return -1;
  if (first && t->formula_starts) t->formula_starts[0] = 0;
  return 0;
}

void push_token(conv_target *t, int type, double value) {
  t->token_types[t->token_count] = type;
  t->token_vals[t->token_count] = value;
  ++t->token_count;
}

// ---- linear split ------------------------------------------------------------

int add_linear(conv_target *t, int col, double coef) {
  if (reserve_linear(t, 1) < 0) return -1;
  t->linear_cols[t->linear_count] = col;
  t->linear_vals[t->linear_count] = coef;
  ++t->linear_count;
  return 0;
}

// c*x_i*x_j in the solvers' quadratic conventions.
int add_quad(conv_target *t, int i, int j, double coef, bool objective) {
  double c = i != j ? coef / 2 : coef;
  if (objective) c *= 2;
  if (c == 0.0) return 0;
  if (reserve_quad(t, 1) < 0) return -1;
  t->quad_col1[t->quad_count] = i;
  t->quad_col2[t->quad_count] = j;
  t->quad_vals[t->quad_count] = c;
  ++t->quad_count;
  return 0;
}

int split_expression(problem_s *p, expression_s *e, double f, conv_target *t, bool objective) {
  t->constant += f * e->constant;
  if (expression_lin(e)) {
    // Room for every term at once; the loop then only stores.
    size_t size = 0;
    const linmap_entry *entries = linmap_data(expression_lin(e), &size);
    if (reserve_linear(t, size) < 0) return -1;
    uint64_t n = t->linear_count;
    if (rowcolmap_get_indices(p->var_index, entries, size, t->linear_cols + n) != size)
      return model_error("Variable in linear part of constraint has not been added to problem yet");
    double *vals = t->linear_vals + n;
    for (size_t k = 0; k < size; ++k) vals[k] = f * entries[k].coef;
    t->linear_count = n + size;
  }
  if (e->quad) {
    const var_s *x;
    linmap *inner;
    map_cursor outer = nullptr;
    const char *absent = "Variable in quadratic part of constraint has not been added to problem yet";
    while (quadmap_next(e->quad, &x, &inner, &outer)) {
      int i = column_of(p, x, absent);
      if (i < 0) {
        quadmap_iter_free(&outer);
        return -1;
      }
      const var_s *y;
      double coef;
      map_cursor cursor = nullptr;
      while (linmap_next(inner, &y, &coef, &cursor)) {
        if (coef == 0.0) continue;
        int j = column_of(p, y, absent);
        if (j < 0 || add_quad(t, i, j, f * coef, objective) < 0) {
          linmap_iter_free(&cursor);
          quadmap_iter_free(&outer);
          return -1;
        }
      }
    }
  }
  return 0;
}

// Adds f*obj for a number, variable, term or expression; other objects are
// left alone.
int linear_split(problem_s *p, PyObject *obj, double f, conv_target *t, bool objective) {
  if (f == 0.0) return 0;
  // Rows are mostly expressions: test that first (the numeric test costs
  // several subtype checks when it fails).
  if (isExpression(obj)) return split_expression(p, as_expression(obj), f, t, objective);
  if (isNumericScalar(obj)) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return -1;
    t->constant += f * v;
    return 0;
  }
  if (isVar(obj)) {
    int col = column_of(p, as_var(obj), "Variable in linear term defining constraint has not been added to problem yet");
    return col < 0 ? -1 : add_linear(t, col, f);
  }
  if (isLinterm(obj)) {
    linterm_s *term = as_linterm(obj);
    if (term->coef == 0.0 || !term->var) return 0;
    int col = column_of(p, term->var, "Variable in linear term defining constraint has not been added to problem yet");
    return col < 0 ? -1 : add_linear(t, col, f * term->coef);
  }
  if (isQuadterm(obj)) {
    quadterm_s *term = as_quadterm(obj);
    if (term->coef == 0.0 || !term->first || !term->second) return 0;
    const char *absent = "Variable in quadratic term defining constraint has not been added to problem yet";
    int i = column_of(p, term->first, absent);
    if (i < 0) return -1;
    int j = column_of(p, term->second, absent);
    if (j < 0) return -1;
    return add_quad(t, i, j, f * term->coef, objective);
  }
  return 0;
}

// ---- counting -----------------------------------------------------------------

// Tokens an operand can take when written (an upper bound).
int count_tokens(PyObject *obj, int depth, uint64_t *tokens);

int count_operands(PyObject *holder, int depth, uint64_t *tokens, uint64_t *count) {
  if (!PyList_Check(holder) && !PyTuple_Check(holder))
    return model_error("N-ary operator should have list or tuple of arguments");
  Py_ssize_t n = PySequence_Fast_GET_SIZE(holder);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (count_tokens(PySequence_Fast_GET_ITEM(holder, i), depth - 1, tokens) < 0) return -1;
  *count = uint64_t(n);
  return 0;
}

int count_tokens(PyObject *obj, int depth, uint64_t *tokens) {
  if (depth <= 0) return model_error(kTooDeep);
  if (isNumericScalar(obj) || isVar(obj) || (PyCallable_Check(obj) && !isNonlin(obj))) {
    *tokens += 1;
    return 0;
  }
  if (isLinterm(obj)) {
    *tokens += 3;
    return 0;
  }
  if (isQuadterm(obj)) {
    *tokens += 5;
    return 0;
  }
  if (isExpression(obj)) {
    expression_s *e = as_expression(obj);
    uint64_t n = (e->constant != 0.0 ? 2 : 0) + 4 * (expression_lin(e) ? linmap_size(expression_lin(e)) : 0) +
                 6 * (e->quad ? quadmap_size(e->quad) : 0);
    *tokens += n > 1 ? n - 1 : 1;
    return 0;
  }
  if (!isNonlin(obj)) return model_error("Unrecognized member of a nonlinear expression");
  nonlin_s *node = as_nonlin(obj);
  uint64_t count = 0;
  if (node->op == NL_SUM || node->op == NL_PROD) {
    if (count_operands(node->args, depth, tokens, &count) < 0) return -1;
    *tokens += count + 1;
    return 0;
  }
  if (is_binary_operator(node->op)) {
    if (!PyTuple_Check(node->args) || PyTuple_GET_SIZE(node->args) != 2)
      return model_error("Binary operator should have tuple for arguments");
    if (count_operands(node->args, depth, tokens, &count) < 0) return -1;
    *tokens += 1;
    return 0;
  }
  if (is_nary_function(node->op)) {
    if (count_operands(node->args, depth, tokens, &count) < 0) return -1;
    *tokens += 2 * count + 2;
    return 0;
  }
  if (node->op >= kOpCount) return model_error("Unrecognized member of a nonlinear expression");
  if (count_tokens(node->args, depth - 1, tokens) < 0) return -1;
  *tokens += 2;
  return 0;
}

int count_linear(PyObject *obj, conv_counts *c, double sign = 1.0) {
  if (isExpression(obj)) {
    expression_s *e = as_expression(obj);
    c->constant += sign * e->constant;
    c->linear += expression_lin(e) ? linmap_size(expression_lin(e)) : 0;
    c->quad += e->quad ? quadmap_size(e->quad) : 0;
  } else if (isNumericScalar(obj)) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return -1;
    c->constant += sign * v;
  } else if (isVar(obj) || isLinterm(obj)) {
    c->linear += 1;
  } else if (isQuadterm(obj)) {
    c->quad += 1;
  }
  return 0;
}

int count_formula(PyObject *node, conv_counts *c) {
  c->formulas += 1;
  c->tokens += 1;  // end token
  return count_tokens(node, kFormulaDepth, &c->tokens);
}

// ---- writing formulas -------------------------------------------------------------

struct formula_writer {
  problem_s *p;
  conv_target *t;
};

int write_node(formula_writer &w, PyObject *obj, int depth);

// Writes (coef) col1 [col2 *] [* | neg] for a term c*x or c*x*y.
int write_term(formula_writer &w, double coef, const var_s *x, const var_s *y) {
  const char *absent = "Variable in nonlinear expression has not been added to problem yet";
  int i = column_of(w.p, x, absent);
  if (i < 0) return -1;
  int j = y ? column_of(w.p, y, absent) : 0;
  if (j < 0) return -1;
  bool unit = coef == 1.0 || coef == -1.0;
  if (reserve_tokens(w.t, 5) < 0) return -1;
  if (!unit) push_token(w.t, TOK_CONST, coef);
  push_token(w.t, TOK_COL, i);
  if (y) {
    push_token(w.t, TOK_COL, j);
    push_token(w.t, TOK_OP, OP_MUL);
  }
  if (!unit)
    push_token(w.t, TOK_OP, OP_MUL);
  else if (coef == -1.0)
    push_token(w.t, TOK_OP, OP_NEG);
  return 0;
}

// Operators between h operands as a balanced tree: after operand m (from 1)
// one operator per trailing zero bit of m; the rest after the last one.
struct balanced_ops {
  int op;
  uint64_t written = 0, emitted = 0;
  int after_operand(conv_target *t, uint64_t h) {
    ++written;
    uint64_t due = 0;
    if (written < h)
      for (uint64_t m = written; (m & 1) == 0; m >>= 1) ++due;
    else
      due = h - 1 - emitted;
    if (reserve_tokens(t, due) < 0) return -1;
    for (uint64_t k = 0; k < due; ++k) push_token(t, TOK_OP, op);
    emitted += due;
    return 0;
  }
};

int write_expression(formula_writer &w, expression_s *e) {
  uint64_t h = (e->constant != 0.0 ? 1 : 0) + (expression_lin(e) ? linmap_size(expression_lin(e)) : 0) + (e->quad ? quadmap_size(e->quad) : 0);
  if (h == 0) {
    if (reserve_tokens(w.t, 1) < 0) return -1;
    push_token(w.t, TOK_CONST, 0.0);
    return 0;
  }
  balanced_ops ops{OP_ADD};
  if (e->constant != 0.0) {
    if (reserve_tokens(w.t, 1) < 0) return -1;
    push_token(w.t, TOK_CONST, e->constant);
    if (ops.after_operand(w.t, h) < 0) return -1;
  }
  if (expression_lin(e)) {
    const var_s *v;
    double coef;
    map_cursor cursor = nullptr;
    while (linmap_next(expression_lin(e), &v, &coef, &cursor)) {
      if (write_term(w, coef, v, nullptr) < 0 || ops.after_operand(w.t, h) < 0) {
        linmap_iter_free(&cursor);
        return -1;
      }
    }
  }
  if (e->quad) {
    const var_s *x;
    linmap *inner;
    map_cursor outer = nullptr;
    while (quadmap_next(e->quad, &x, &inner, &outer)) {
      const var_s *y;
      double coef;
      map_cursor cursor = nullptr;
      while (linmap_next(inner, &y, &coef, &cursor)) {
        if (write_term(w, coef, x, y) < 0 || ops.after_operand(w.t, h) < 0) {
          linmap_iter_free(&cursor);
          quadmap_iter_free(&outer);
          return -1;
        }
      }
    }
  }
  return 0;
}

int write_leaf(formula_writer &w, PyObject *obj) {
  if (isNumericScalar(obj)) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return -1;
    if (reserve_tokens(w.t, 1) < 0) return -1;
    push_token(w.t, TOK_CONST, v);
    return 0;
  }
  if (isVar(obj)) {
    int col = column_of(w.p, as_var(obj), "Variable in nonlinear part of constraint has not been added to problem yet");
    if (col < 0 || reserve_tokens(w.t, 1) < 0) return -1;
    push_token(w.t, TOK_COL, col);
    return 0;
  }
  if (isLinterm(obj) && as_linterm(obj)->var) return write_term(w, as_linterm(obj)->coef, as_linterm(obj)->var, nullptr);
  if (isQuadterm(obj) && as_quadterm(obj)->first)
    return write_term(w, as_quadterm(obj)->coef, as_quadterm(obj)->first, as_quadterm(obj)->second);
  if (isExpression(obj)) return write_expression(w, as_expression(obj));
  return model_error("Incorrect argument of nonlinear function");
}

int write_operands_balanced(formula_writer &w, PyObject *list, int op, int depth) {
  if (!PyList_Check(list) && !PyTuple_Check(list))
    return model_error("N-ary operator should have list or tuple of arguments");
  uint64_t h = uint64_t(PySequence_Fast_GET_SIZE(list));
  balanced_ops ops{op};
  for (uint64_t m = 0; m < h; ++m) {
    if (write_node(w, PySequence_Fast_GET_ITEM(list, Py_ssize_t(m)), depth - 1) < 0) return -1;
    if (ops.after_operand(w.t, h) < 0) return -1;
  }
  return 0;
}

int write_node(formula_writer &w, PyObject *obj, int depth) {
  if (depth <= 0) return model_error(kTooDeep);
  if (!isNonlin(obj)) return write_leaf(w, obj);
  nonlin_s *node = as_nonlin(obj);
  uint32_t op = node->op;
  if (op >= kOpCount) return model_error("Unrecognized member of a nonlinear expression");
  if (op == NL_SUM || op == NL_PROD) return write_operands_balanced(w, node->args, op == NL_SUM ? OP_ADD : OP_MUL, depth);
  bool delimited = op != NL_NEG && !is_binary_operator(op);
  if (delimited) {
    if (reserve_tokens(w.t, 1) < 0) return -1;
    push_token(w.t, TOK_DELIM, 0);
  }
  int user_index = 0;
  if (is_binary_operator(op)) {
    if (!PyTuple_Check(node->args) || PyTuple_GET_SIZE(node->args) != 2)
      return model_error("Binary operator should have tuple for arguments");
    for (Py_ssize_t i = 0; i < 2; ++i)
      if (write_node(w, PyTuple_GET_ITEM(node->args, i), depth - 1) < 0) return -1;
  } else if (is_nary_function(op)) {
    PyObject *args = node->args;
    if (!PyList_Check(args) && !PyTuple_Check(args))
      return model_error("N-ary operator should have list or tuple of arguments");
    Py_ssize_t n = PySequence_Fast_GET_SIZE(args);
    if (op == NL_USER || op == NL_USER_DERIV) {
      if (n < 1 || !PyCallable_Check(PySequence_Fast_GET_ITEM(args, 0)) || isNonlin(PySequence_Fast_GET_ITEM(args, 0)))
        return model_error("First argument of a user() operator must be the function itself");
      PyRef operands(PySequence_Tuple(args));
      if (!operands) return -1;
      int rc = createUserFunction(w.p, operands.get(), &user_index, op == NL_USER_DERIV);
      if (rc != 0) {
        setKrvsErrIfNull(reinterpret_cast<PyObject *>(w.p), nullptr);
        return -1;
      }
      for (Py_ssize_t i = n - 1; i >= 1; --i)
        if (write_node(w, PySequence_Fast_GET_ITEM(args, i), depth - 1) < 0) return -1;
    } else if (op == NL_PWL) {
      // The solver takes the points and then the argument from the top of
      // its stack, so the list goes in reverse.
      for (Py_ssize_t i = n - 1; i >= 0; --i)
        if (write_node(w, PySequence_Fast_GET_ITEM(args, i), depth - 1) < 0) return -1;
    } else {
      for (Py_ssize_t i = 0; i < n; ++i)
        if (write_node(w, PySequence_Fast_GET_ITEM(args, i), depth - 1) < 0) return -1;
    }
  } else {
    if (write_node(w, node->args, depth - 1) < 0) return -1;
  }
  if (reserve_tokens(w.t, 1) < 0) return -1;
  const op_token &tok = py_to_slp[op];
  push_token(w.t, tok.type, tok.type == TOK_USER ? double(user_index) : double(tok.value));
  return 0;
}

int formula_column(problem_s *p, int *col) {
  if (p->nl_const_col == -1) {
    int value = -1;
    if (KNLSgetintattrib(p->nlprob, kFormulaColumnAttrib, &value) != 0) {
      setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
      return -1;
    }
    p->nl_const_col = value;
  }
  *col = p->nl_const_col;
  return 0;
}

// One nonlinear coefficient: factor * column * formula(node), the formula
// multiplied by `sign`.
int write_formula(problem_s *p, PyObject *node, double sign, conv_target *t) {
  if (reserve_formula(t) < 0) return -1;
  uint64_t k = t->formula_count;
  int column = -2;  // none taken yet
  double factor = sign;
  formula_writer w{p, t};
  if (isNonlin(node) && as_nonlin(node)->op == NL_PROD) {
    PyObject *list = as_nonlin(node)->args;
    if (!PyList_Check(list) && !PyTuple_Check(list))
      return model_error("N-ary operator should have list or tuple of arguments");
    Py_ssize_t n = PySequence_Fast_GET_SIZE(list);
    Py_ssize_t taken = -1;
    uint64_t h = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject *item = PySequence_Fast_GET_ITEM(list, i);
      if (isNumericScalar(item)) {
        double v = PyFloat_AsDouble(item);
        if (v == -1.0 && PyErr_Occurred()) return -1;
        factor *= v;
      } else if (taken < 0 && isVar(item)) {
        column = column_of(p, as_var(item), "Variable in nonlinear term not added to problem yet");
        if (column < 0) return -1;
        taken = i;
      } else {
        ++h;
      }
    }
    balanced_ops ops{OP_MUL};
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject *item = PySequence_Fast_GET_ITEM(list, i);
      if (i == taken || isNumericScalar(item)) continue;
      if (write_node(w, item, kFormulaDepth - 1) < 0 || ops.after_operand(t, h) < 0) return -1;
    }
    if (h == 0) {
      if (reserve_tokens(t, 1) < 0) return -1;
      push_token(t, TOK_CONST, 1.0);
    }
  } else if (write_node(w, node, kFormulaDepth) < 0) {
    return -1;
  }
  if (column == -2 && formula_column(p, &column) < 0) return -1;
  if (reserve_tokens(t, 1) < 0) return -1;
  push_token(t, TOK_END, 0);
  t->formula_cols[k] = column;
  t->formula_factors[k] = factor;
  t->formula_starts[k + 1] = int(t->token_count);
  t->formula_count = k + 1;
  return 0;
}

// Rolls a target back to an earlier state after a failed conversion.
struct target_mark {
  double constant;
  uint64_t linear, quad, formulas, tokens;
  explicit target_mark(const conv_target *t)
      : constant(t->constant), linear(t->linear_count), quad(t->quad_count), formulas(t->formula_count),
        tokens(t->token_count) {}
  void restore(conv_target *t) const {
    t->constant = constant;
    t->linear_count = linear;
    t->quad_count = quad;
    t->formula_count = formulas;
    t->token_count = tokens;
  }
};

int convert_checked(problem_s *p, PyObject *expr, conv_target *t, bool objective) {
  if (!expr) return model_error("Cannot convert expression");
  int kind = exprKind(expr);
  if (kind < 0) return model_error("Invalid expression");
  if (kind != EXPR_NONLINEAR) return linear_split(p, expr, 1.0, t, objective);
  nonlin_s *node = as_nonlin(expr);
  if (node->op == NL_SUM) {
    if (!PyList_Check(node->args)) return model_error("Erroneous type for argument of sum");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node->args); ++i) {
      PyObject *item = PyList_GET_ITEM(node->args, i);
      if (isNonlin(item)) {
        if (write_formula(p, item, 1.0, t) < 0) return -1;
      } else if (exprKind(item) < 0) {
        return model_error("Invalid expression in nonlinear sum");
      } else if (linear_split(p, item, 1.0, t, objective) < 0) {
        return -1;
      }
    }
    return 0;
  }
  if (node->op == NL_MINUS) {
    if (!PyTuple_Check(node->args) || PyTuple_GET_SIZE(node->args) != 2)
      return model_error("Erroneous type for argument of difference expression");
    for (Py_ssize_t i = 0; i < 2; ++i) {
      PyObject *item = PyTuple_GET_ITEM(node->args, i);
      double sign = i == 0 ? 1.0 : -1.0;
      if (isNonlin(item)) {
        if (write_formula(p, item, sign, t) < 0) return -1;
      } else if (exprKind(item) < 0) {
        return model_error("Invalid expression");
      } else if (linear_split(p, item, sign, t, objective) < 0) {
        return -1;
      }
    }
    return 0;
  }
  return write_formula(p, expr, 1.0, t);
}

// A Python user function's stored (callable, index) pair.
PyObject *stored_user_function(void *context, int *ninputs, int *value_in_output, int *derivatives) {
  KNLSprob nlprob = nullptr;
  void *object = nullptr;
  int index = 0;
  if (KNLSgetfuncobject(context, KNLS_FUNCOBJ_NLPROB, reinterpret_cast<void **>(&nlprob)) != 0 ||
      KNLSgetfuncinfo(context, ninputs, value_in_output, derivatives, &index) != 0 ||
      KNLSgetuserfuncobject(nlprob, index, &object) != 0 || !object)
    return nullptr;
  return static_cast<PyObject *>(object);
}

// The first exception that a user function raised during a solve of each
// nonlinear problem, kept until the solve returns and raises it. Used only
// with the interpreter lock held.
std::unordered_map<KNLSprob, PyObject *> &user_function_errors() {
  static std::unordered_map<KNLSprob, PyObject *> errors;
  return errors;
}

// Takes the pending Python exception as the problem's user-function error
// (when it has none yet) and asks the solve to stop: its result is moot.
void keep_user_function_error(void *context) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  KNLSprob nlprob = nullptr;
  if (!value || KNLSgetfuncobject(context, KNLS_FUNCOBJ_NLPROB, reinterpret_cast<void **>(&nlprob)) != 0 || !nlprob) {
    Py_XDECREF(value);
    return;
  }
  try {
    auto inserted = user_function_errors().emplace(nlprob, value);
    if (!inserted.second) Py_DECREF(value);
  } catch (const std::bad_alloc &) {
    Py_DECREF(value);
  }
  KNLSinterrupt(nlprob, 9);
}

double call_user_function(const double *input, void *context, const double *deltas, double *output) {
  GilGuard gil;
  // A failure already stops this solve: later calls only report failure.
  KNLSprob nlprob = nullptr;
  if (KNLSgetfuncobject(context, KNLS_FUNCOBJ_NLPROB, reinterpret_cast<void **>(&nlprob)) == 0 &&
      user_function_errors().count(nlprob))
    return -1.0;
  int ninputs = 0, value_in_output = 0, derivatives = 0;
  PyObject *stored = stored_user_function(context, &ninputs, &value_in_output, &derivatives);
  if (!stored || !PyTuple_Check(stored) || PyTuple_GET_SIZE(stored) < 1) return -1.0;
  PyRef args(PyTuple_New(ninputs));
  if (!args) {
    PyErr_Clear();
    return -1.0;
  }
  for (int i = 0; i < ninputs; ++i) {
    PyObject *v = PyFloat_FromDouble(input[i]);
    if (!v) {
      PyErr_Clear();
      return -1.0;
    }
    PyTuple_SET_ITEM(args.get(), i, v);
  }
  PyRef result(PyObject_Call(PyTuple_GET_ITEM(stored, 0), args.get(), nullptr));
  if (!result) {
    keep_user_function_error(context);
    return -1.0;
  }
  bool is_tuple = PyTuple_Check(result.get());
  PyObject *value_obj = is_tuple ? (PyTuple_GET_SIZE(result.get()) > 0 ? PyTuple_GET_ITEM(result.get(), 0) : nullptr)
                                 : result.get();
  double value = value_obj ? PyFloat_AsDouble(value_obj) : -1.0;
  if (value_obj && value == -1.0 && PyErr_Occurred()) {
    keep_user_function_error(context);  // a result that is no number: its TypeError
    return -1.0;
  }
  if (!value_obj) return -1.0;
  if (derivatives && deltas && is_tuple) {
    for (int i = 1; i <= ninputs && i < PyTuple_GET_SIZE(result.get()); ++i) {
      if (deltas[i - 1] == 0.0) continue;
      double d = PyFloat_AsDouble(PyTuple_GET_ITEM(result.get(), i));
      if (d == -1.0 && PyErr_Occurred()) {
        keep_user_function_error(context);
        return -1.0;
      }
      output[i] = d;
    }
  }
  if (value_in_output) output[0] = value;
  return is_tuple ? 0.0 : value;
}

}  // namespace

int convertExpr_count(problem_s *, PyObject *expr, conv_counts *c) {
  *c = conv_counts{0.0, 0, 0, 0, 0};
  if (!expr) return model_error("Cannot convert expression");
  int kind = exprKind(expr);
  if (kind < 0) return model_error("Invalid expression");
  if (kind != EXPR_NONLINEAR) return count_linear(expr, c);
  nonlin_s *node = as_nonlin(expr);
  if (node->op == NL_SUM) {
    if (!PyList_Check(node->args)) return model_error("Erroneous type for argument of sum");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node->args); ++i) {
      PyObject *item = PyList_GET_ITEM(node->args, i);
      if (isNonlin(item) ? count_formula(item, c) < 0 : count_linear(item, c) < 0) return -1;
    }
    return 0;
  }
  if (node->op == NL_MINUS) {
    if (!PyTuple_Check(node->args) || PyTuple_GET_SIZE(node->args) != 2)
      return model_error("Erroneous type for argument of difference expression");
    for (Py_ssize_t i = 0; i < 2; ++i) {
      PyObject *item = PyTuple_GET_ITEM(node->args, i);
      if (isNonlin(item) ? count_formula(item, c) < 0 : count_linear(item, c, i == 0 ? 1.0 : -1.0) < 0) return -1;
    }
    return 0;
  }
  return count_formula(expr, c);
}

int convertExpr(problem_s *p, PyObject *expr, conv_target *t, bool objective) {
  target_mark mark(t);
  int rc = convert_checked(p, expr, t, objective);
  if (rc != 0) mark.restore(t);
  return rc;
}

void conv_target_free(conv_target *t) {
  auto release = [](auto **array) {
    void *block = *array;
    ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &block);
    *array = nullptr;
  };
  release(&t->linear_cols);
  release(&t->linear_vals);
  release(&t->quad_col1);
  release(&t->quad_col2);
  release(&t->quad_vals);
  release(&t->formula_cols);
  release(&t->formula_factors);
  release(&t->formula_starts);
  release(&t->token_types);
  release(&t->token_vals);
  std::memset(static_cast<void *>(t), 0, sizeof *t);
}

int createUserFunction(problem_s *p, PyObject *operands, int *index, bool derivatives) {
  if (!PyTuple_Check(operands) || PyTuple_GET_SIZE(operands) < 1 || !PyCallable_Check(PyTuple_GET_ITEM(operands, 0))) {
    PyErr_SetString(korvo_model_error, "Invalid user function, must specify at least one argument (the user function itself)");
    return -1;
  }
  PyObject *callable = PyTuple_GET_ITEM(operands, 0);
  if (p->user_functions) {
    PyObject *known = PyDict_GetItemWithError(p->user_functions, callable);
    if (known) {
      *index = int(PyLong_AsLong(known));
      return 0;
    }
    if (PyErr_Occurred()) return -1;
  } else {
    p->user_functions = PyDict_New();
    if (!p->user_functions) return -1;
  }
  int new_index = int(PyDict_Size(p->user_functions)) + 1;
  std::string name = "user_function";
  if (PyFunction_Check(callable)) {
    PyRef fname(PyObject_GetAttrString(callable, "__name__"));
    const char *text = fname && PyUnicode_Check(fname.get()) ? PyUnicode_AsUTF8(fname.get()) : nullptr;
    if (text)
      name = text;
    else
      PyErr_Clear();
  }
  int name_string = 0, linkage_string = 0;
  int rc = KNLSsetstring(p->nlprob, &name_string, name.c_str());
  if (rc == 0) rc = KNLSsetstring(p->nlprob, &linkage_string, "DirectC");
  if (rc != 0) return rc;
  const int types[] = {KNLS_UF_STRING, KNLS_UF_OUTPUTS, KNLS_UF_FLAGS, KNLS_UF_STRING, 0};
  const double values[] = {double(name_string), 1.0, derivatives ? 110611.0 : 19.0, double(linkage_string), 0.0};
  rc = KNLSadduserfuncs(p->nlprob, 1, types, values);
  if (rc == 0) rc = KNLSaddnames(p->nlprob, 5, name.c_str(), new_index, new_index);
  if (rc == 0)
    rc = KNLSchguserfuncaddress(p->nlprob, new_index,
                                derivatives ? kpy_generic_user_function_with_derivative
                                            : kpy_generic_user_function_no_derivative);
  if (rc != 0) return rc;
  PyRef stored(Py_BuildValue("(Oi)", callable, new_index));
  PyRef key_index(PyLong_FromLong(new_index));
  if (!stored || !key_index) return -1;
  rc = KNLSsetuserfuncobject(p->nlprob, new_index, stored.get());
  if (rc != 0) return rc;
  // The engine keeps the pair until the problem goes (problem_release_user_functions).
  PyObject *kept = stored.release();
  if (PyDict_SetItem(p->user_functions, callable, key_index.get()) < 0) {
    KNLSsetuserfuncobject(p->nlprob, new_index, nullptr);
    Py_DECREF(kept);
    return -1;
  }
  *index = new_index;
  return 0;
}

PyObject *take_user_function_error(KNLSprob nlprob) {
  auto &errors = user_function_errors();
  auto found = errors.find(nlprob);
  if (found == errors.end()) return nullptr;
  PyObject *error = found->second;
  errors.erase(found);
  return error;
}

double kpy_generic_user_function_with_derivative(const double *input, void *context, const double *deltas,
                                                 double *output) {
  return call_user_function(input, context, deltas, output);
}

double kpy_generic_user_function_no_derivative(const double *input, void *context, const double *deltas,
                                               double *output) {
  return call_user_function(input, context, deltas, output);
}
