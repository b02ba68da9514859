// korvo.expression: constant + linear map + quadratic map; operand
// classification, copies, in-place amendments, string form and extraction.
#include "expression/expression.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "constraint/constraint.h"
#include "expression/arithmetic.h"
#include "expression/linterm.h"
#include "expression/quadterm.h"
#include "nonlin/nonlinear.h"
#include "numpy_types/npy_api.h"
#include "python_model/docstrings.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

PyObject *obj_of(const var_s *v) { return reinterpret_cast<PyObject *>(const_cast<var_s *>(v)); }

void expression_dealloc(PyObject *self) {
  expression_s *e = as_expression(self);
  linmap_release(expression_map_slot(e));
  quadmap_free(&e->quad);
  Py_TYPE(self)->tp_free(self);
}

int ensure_quad(expression_s *e) {
  if (!e->quad) e->quad = quadmap_new();
  return e->quad ? 0 : -1;
}

// Orders a pair of variables so that the first has the smaller identity.
void order_pair(PyObject **x, PyObject **y) {
  if (less_variable()(as_var(*y), as_var(*x))) std::swap(*x, *y);
}

// Adds factor times every linear entry of src into e (e and src are different objects).
int add_linear_parts(PyObject *e, const expression_s *src, double factor) {
  const linmap *lin = expression_lin(src);
  if (!lin || linmap_size(lin) == 0 || factor == 0.0) return 0;
  expression_s *target = as_expression(e);
  bool had_map = expression_lin(target) != nullptr;
  linmap *into = expression_make_lin(target);
  if (linmap_add_scaled(into, lin, factor) < 0) {
    if (!had_map) linmap_release(into);
    PyErr_SetString(korvo_model_error, "Error amending linear expression");
    return -1;
  }
  // Products that all underflowed to zero leave no linear part behind.
  if (!had_map && linmap_size(into) == 0) linmap_release(into);
  return 0;
}

// Adds factor times every quadratic entry of src into e (e and src are different objects).
int add_quadratic_parts(PyObject *e, const expression_s *src, double factor) {
  map_cursor cursor = nullptr;
  const var_s *x;
  linmap *inner;
  while (src->quad && quadmap_next(src->quad, &x, &inner, &cursor)) {
    map_cursor inner_cursor = nullptr;
    const var_s *y;
    double coef;
    while (linmap_next(inner, &y, &coef, &inner_cursor))
      if (expression_addToQuadTerm(e, obj_of(x), obj_of(y), factor * coef) < 0) {
        linmap_iter_free(&inner_cursor);
        quadmap_iter_free(&cursor);
        return -1;
      }
  }
  return 0;
}

int add_expression_parts(PyObject *e, const expression_s *src, double factor) {
  if (add_linear_parts(e, src, factor) < 0) return -1;
  return add_quadratic_parts(e, src, factor);
}

std::string utf8_of(PyObject *text) {
  Py_ssize_t size = 0;
  const char *data = PyUnicode_AsUTF8AndSize(text, &size);
  return data ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// Name of a variable as UTF-8 text; false with an exception set on failure.
bool var_name_text(const var_s *v, std::string *out) {
  PyRef name(var_str(obj_of(v)));
  if (!name) return false;
  *out = utf8_of(name.get());
  return !PyErr_Occurred();
}

std::string format_number(const char *format, double value) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// One signed piece of the string form: " x", " + x", " - x", " 2 x", " +2 x".
void append_term(std::string *out, double coef, const std::string &text) {
  bool leading = out->empty();
  if (coef == 1.0) {
    *out += leading ? "  " : " + ";
  } else if (coef == -1.0) {
    *out += " - ";
  } else {
    *out += format_number(leading ? " %g " : " %+g ", coef);
  }
  *out += text;
}

PyObject *list_pair(PyObject *a, PyObject *b) { return PyTuple_Pack(2, a, b); }

PyMethodDef expression_methods[] = {
    {"extractLinear", expression_extractLinear, METH_NOARGS,
     KORVO_DOC("Returns the linear part of the expression.", "(vars, coefs) = e.extractLinear()", KORVO_NO_ARGS,
               "(3 + 2*x - y).extractLinear()  # ([x, y], [2.0, -1.0])",
               "Variables come in creation order; the constant is not part of the result.")},
    {"extractQuadratic", expression_extractQuadratic, METH_NOARGS,
     KORVO_DOC("Returns the quadratic part of the expression.", "(vars1, vars2, coefs) = e.extractQuadratic()",
               KORVO_NO_ARGS, "(x**2 - 4*x*y).extractQuadratic()  # ([x, x], [x, y], [1.0, -4.0])",
               "Each product appears once, with the variable created first in vars1.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

// ---- classification ---------------------------------------------------------

int exprKind_bySubtype(PyObject *obj) {
  if (!obj) return EXPR_INVALID;
  if (isExpression(obj)) return EXPR_EXPRESSION;
  if (isLinterm(obj)) return as_linterm(obj)->var ? EXPR_LINTERM : EXPR_INVALID;
  if (isVar(obj)) return EXPR_VAR;
  if (isNonlin(obj)) return as_nonlin(obj)->args ? EXPR_NONLINEAR : EXPR_INVALID;
  if (isQuadterm(obj)) return as_quadterm(obj)->first && as_quadterm(obj)->second ? EXPR_QUADTERM : EXPR_INVALID;
  if (isNumericScalar(obj)) return EXPR_CONSTANT;
  return EXPR_INVALID;
}

int getExprType(PyObject *obj) {
  int kind = exprKind(obj);
  if (kind == EXPR_INVALID && !PyErr_Occurred()) {
    if (obj)
      PyErr_Format(korvo_model_error, "Invalid object in operation: <%S>", obj);
    else
      PyErr_SetString(korvo_model_error, "Invalid object in operation: <NULL>");
  }
  return kind;
}

bool isObjectConst(PyObject *obj, int *code, double *value) {
  int kind = exprKind(obj);
  if (kind == EXPR_CONSTANT) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    if (code) *code = EXPR_CONSTANT;
    if (value) *value = v;
    return true;
  }
  if (kind == EXPR_EXPRESSION && !expression_lin(as_expression(obj)) && !as_expression(obj)->quad) {
    if (code) *code = EXPR_EXPRESSION;
    if (value) *value = as_expression(obj)->constant;
    return true;
  }
  return false;
}

bool expression_has_terms(const expression_s *e) {
  return linmap_size(expression_lin(e)) != 0 || quadmap_size(e->quad) != 0;
}

// ---- construction and copies ------------------------------------------------

namespace {

// The parts of an empty expression: no constant, no quadratic part, and a
// linear map with `room` inline entries, empty and in use or unused.
PyObject *empty_parts(PyObject *obj, size_t room, bool linear) {
  expression_s *e = as_expression(obj);
  e->constant = 0.0;
  e->quad = nullptr;
  if (linear)
    linmap_embed(expression_map_slot(e), room);
  else
    linmap_embed_unused(expression_map_slot(e), room);
  return obj;
}

}  // namespace

namespace {
// korvo.expression(): an empty expression (arguments are refused by object.__init__).
PyObject *expression_tp_new(PyTypeObject *type, PyObject *, PyObject *) { return expression_new(type); }
}  // namespace

PyObject *expression_new(PyTypeObject *type) {
  PyObject *obj = type->tp_alloc(type, 0);
  return obj ? empty_parts(obj, 1, false) : nullptr;
}

// Made for every element of every array operation: skip the generic
// allocator's size computation and zero-filling.
PyObject *expression_base(void) {
  expression_s *e = PyObject_New(expression_s, &korvo_expressionType);
  return e ? empty_parts(reinterpret_cast<PyObject *>(e), 1, false) : nullptr;
}

PyObject *expression_with_room(size_t linear_entries) {
  if (linear_entries == 0) return expression_base();
  // One block holds the object and its map: one allocation per expression,
  // and the map sits next to the object in memory. Too many entries to keep
  // inline go to a block of the map's own, reserved in full.
  size_t room = std::min(linear_entries, kLinmapMaxEmbeddedRoom);
  void *memory = PyObject_Malloc(expression_block_size(room));
  if (!memory) return PyErr_NoMemory();
  PyRef result(empty_parts(PyObject_Init(static_cast<PyObject *>(memory), &korvo_expressionType), room, true));
  if (linear_entries > room && linmap_reserve(expression_map_slot(as_expression(result.get())), linear_entries) < 0)
    return PyErr_NoMemory();
  return result.release();
}

PyObject *expression_copy(PyObject *obj, double factor) { return expression_copy_with_room(obj, factor, 0); }

namespace {

// Linear entries a copy of obj (of the given kind) times factor starts with.
size_t copied_linear_entries(PyObject *obj, int kind, double factor) {
  switch (kind) {
    case EXPR_VAR: return factor != 0.0 ? 1 : 0;
    case EXPR_LINTERM: return factor * as_linterm(obj)->coef != 0.0 ? 1 : 0;
    case EXPR_EXPRESSION: {
      const linmap *lin = expression_lin(as_expression(obj));
      // A copy keeps an empty map as an empty map: one entry of room.
      return lin ? std::max<size_t>(linmap_size(lin), 1) : 0;
    }
    default: return 0;
  }
}

}  // namespace

PyObject *expression_copy_with_room(PyObject *obj, double factor, size_t room) {
  int kind = exprKind(obj);
  if (factor != 0.0 && (kind == EXPR_NONLINEAR || (kind == EXPR_INVALID && isNonlin(obj))))
    return nonlin_copy(obj, factor);
  if (factor == 0.0) return expression_base();
  size_t entries = copied_linear_entries(obj, kind, factor);
  PyRef result(expression_with_room(entries ? entries + room : 0));
  if (!result) return nullptr;
  expression_s *e = as_expression(result.get());
  switch (kind) {
    case EXPR_CONSTANT: {
      double v = PyFloat_AsDouble(obj);
      if (v == -1.0 && PyErr_Occurred()) return nullptr;
      e->constant = factor * v;
      return result.release();
    }
    case EXPR_VAR:
      if (expression_setLinTerm(result.get(), obj, factor) < 0) {
        PyErr_SetString(korvo_model_error, "Cannot copy expression");
        return nullptr;
      }
      return result.release();
    case EXPR_LINTERM: {
      linterm_s *t = as_linterm(obj);
      if (expression_setLinTerm(result.get(), reinterpret_cast<PyObject *>(t->var), factor * t->coef) < 0) {
        PyErr_SetString(korvo_model_error, "Cannot copy linear term into expression");
        return nullptr;
      }
      return result.release();
    }
    case EXPR_QUADTERM: {
      quadterm_s *t = as_quadterm(obj);
      if (expression_addToQuadTerm(result.get(), reinterpret_cast<PyObject *>(t->first),
                                   reinterpret_cast<PyObject *>(t->second), factor * t->coef) < 0) {
        PyErr_SetString(korvo_model_error, "Cannot copy quadratic term into expression");
        return nullptr;
      }
      return result.release();
    }
    case EXPR_EXPRESSION: {
      const expression_s *src = as_expression(obj);
      e->constant = factor * src->constant;
      bool exact = std::fabs(factor - 1.0) <= 1e-15;
      int rc = 0;
      // The result's map is empty and sized for src: factor*src is one append
      // pass (products that underflow to 0 are left out, as scaling would drop them).
      if (const linmap *lin = expression_lin(src)) {
        size_t n = 0;
        const linmap_entry *entries = linmap_data(lin, &n);
        rc |= linmap_assign_combination(expression_lin(e), entries, n, exact ? 1.0 : factor, nullptr, 0, 0.0);
      }
      if (src->quad) rc |= quadmap_copy(&e->quad, src->quad);
      if (rc == 0 && !exact && e->quad) quadmap_scale(e->quad, factor);
      if (rc != 0) {
        PyErr_SetString(korvo_model_error, "Cannot copy expression");
        return nullptr;
      }
      return result.release();
    }
    default:
      getExprType(obj);
      return nullptr;
  }
}

PyObject *general_copy(PyObject *obj, double factor) {
  if (isNumpyArray(obj)) {
    PyRef copy(PyArray_NewCopy(reinterpret_cast<PyArrayObject *>(obj), NPY_ANYORDER));
    if (!copy || factor == 1.0) return copy.release();
    PyRef k(PyFloat_FromDouble(factor));
    if (!k) return nullptr;
    return PyNumber_Multiply(copy.get(), k.get());
  }
  switch (exprKind(obj)) {
    case EXPR_CONSTANT: {
      if (factor == 1.0) return Py_NewRef(obj);
      double v = PyFloat_AsDouble(obj);
      if (v == -1.0 && PyErr_Occurred()) return nullptr;
      return PyFloat_FromDouble(factor * v);
    }
    case EXPR_VAR: return var_copy(obj, factor);
    case EXPR_LINTERM: return linterm_copy(obj, factor);
    case EXPR_QUADTERM: return quadterm_copy(obj, factor);
    case EXPR_EXPRESSION: return expression_copy(obj, factor);
    case EXPR_NONLINEAR: return nonlin_copy(obj, factor);
    default:
      if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Invalid object being copied");
      return nullptr;
  }
}

PyObject *expression_scale(PyObject *e, double factor) {
  if (factor == 0.0) {
    Py_DECREF(e);
    return PyFloat_FromDouble(0.0);
  }
  if (factor == 1.0) return e;
  expression_s *ex = as_expression(e);
  ex->constant *= factor;
  if (linmap *lin = expression_lin(ex); lin && linmap_scale(lin, factor) < 0) {
    Py_DECREF(e);
    PyErr_SetString(korvo_model_error, "Could not modify linear part in multiplication");
    return nullptr;
  }
  if (ex->quad && quadmap_scale(ex->quad, factor) < 0) {
    Py_DECREF(e);
    PyErr_SetString(korvo_model_error, "Could not modify quadratic part in multiplication");
    return nullptr;
  }
  return e;
}

// ---- amending in place -------------------------------------------------------

int expression_setLinTerm(PyObject *e, PyObject *x, double coef) {
  expression_s *ex = as_expression(e);
  if (!expression_lin(ex) && coef == 0.0) return 0;
  if (linmap_set(expression_make_lin(ex), as_var(x), coef) < 0) {
    PyErr_SetString(korvo_model_error, "Error amending expression");
    return -1;
  }
  return 0;
}

int expression_addToLinTerm(PyObject *e, PyObject *x, double coef) {
  if (coef == 0.0) return 0;
  expression_s *ex = as_expression(e);
  if (linmap_add(expression_make_lin(ex), as_var(x), coef) < 0) {
    PyErr_SetString(korvo_model_error, "Error amending linear expression");
    return -1;
  }
  return 0;
}

int expression_setQuadTerm(PyObject *e, PyObject *x, PyObject *y, double coef) {
  expression_s *ex = as_expression(e);
  order_pair(&x, &y);
  if (!ex->quad && coef == 0.0) return 0;
  if (ensure_quad(ex) < 0) {
    PyErr_SetString(korvo_model_error, "Cannot amend quadratic expression");
    return -1;
  }
  if (quadmap_add(ex->quad, as_var(x), as_var(y), coef) < 0) {
    PyErr_SetString(korvo_model_error, "Error setting quadratic expression");
    return -1;
  }
  return 0;
}

int expression_addToQuadTerm(PyObject *e, PyObject *x, PyObject *y, double coef) {
  if (coef == 0.0) return 0;
  expression_s *ex = as_expression(e);
  order_pair(&x, &y);
  if (ensure_quad(ex) < 0 ||
      quadmap_add(ex->quad, as_var(x), as_var(y), coef) < 0) {
    PyErr_SetString(korvo_model_error, "Cannot amend quadratic expression");
    return -1;
  }
  return 0;
}

int expression_addObject(PyObject *e, PyObject *obj, double factor) {
  int kind = getExprType(obj);
  return kind < 0 ? -1 : expression_addOperand(e, obj, kind, factor);
}

int expression_addOperand(PyObject *e, PyObject *obj, int kind, double factor) {
  expression_s *ex = as_expression(e);
  switch (kind) {
    case EXPR_CONSTANT: {
      double v = PyFloat_AsDouble(obj);
      if (v == -1.0 && PyErr_Occurred()) return -1;
      ex->constant += factor * v;
      return 0;
    }
    case EXPR_VAR: return expression_addToLinTerm(e, obj, factor);
    case EXPR_LINTERM:
      return expression_addToLinTerm(e, reinterpret_cast<PyObject *>(as_linterm(obj)->var),
                                     factor * as_linterm(obj)->coef);
    case EXPR_QUADTERM: {
      quadterm_s *t = as_quadterm(obj);
      return expression_addToQuadTerm(e, reinterpret_cast<PyObject *>(t->first),
                                      reinterpret_cast<PyObject *>(t->second), factor * t->coef);
    }
    case EXPR_EXPRESSION: {
      if (obj == e) {
        // e + f*e: walking e's maps while amending them would invalidate the walk.
        double scale = 1.0 + factor;
        ex->constant *= scale;
        if (linmap *lin = expression_lin(ex)) linmap_scale(lin, scale);
        if (ex->quad) quadmap_scale(ex->quad, scale);
        return 0;
      }
      ex->constant += factor * as_expression(obj)->constant;
      return add_expression_parts(e, as_expression(obj), factor);
    }
    case EXPR_NONLINEAR:
      PyErr_SetString(korvo_model_error, "Invalid object in operation");
      return -1;
    default:
      if (!PyErr_Occurred()) getExprType(obj);
      return -1;
  }
}

PyObject *expression_sum(PyObject *a, PyObject *b, double factor) {
  const expression_s *p = as_expression(a), *q = as_expression(b);
  // The copy of a keeps its (possibly empty) linear map; b adds one only
  // when it has entries. Sized for the union of both (shared variables are
  // common in models), so that the result holds its entries in its own block.
  const linmap *p_lin = expression_lin(p), *q_lin = expression_lin(q);
  bool linear = p_lin || linmap_size(q_lin) != 0;
  size_t entries = linear ? std::max<size_t>(linmap_union_size(p_lin, q_lin), 1) : 0;
  PyRef result(expression_with_room(entries));
  if (!result) return nullptr;
  expression_s *e = as_expression(result.get());
  // The same arithmetic as copying a and then adding factor*b to the copy.
  e->constant = p->constant;
  e->constant += factor * q->constant;
  int rc = linear ? linmap_assign_sum(expression_lin(e), p_lin, q_lin, factor) : 0;
  if (rc == 0 && p->quad) rc = quadmap_copy(&e->quad, p->quad);
  // Quadratic parts are rare and short next to linear ones: amend the copy.
  if (rc == 0 && q->quad) rc = add_quadratic_parts(result.get(), q, factor);
  if (rc < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Error adding expressions");
    return nullptr;
  }
  return result.release();
}

// ---- string form and extraction --------------------------------------------

PyObject *expression_str(PyObject *self) {
  const expression_s *e = as_expression(self);
  std::string out;
  // (-0.0 prints as 0 like +0.0)
  if (e->constant != 0.0 || !expression_has_terms(e)) out = format_number("%g", e->constant + 0.0);
  map_cursor cursor = nullptr;
  const var_s *x;
  double coef;
  std::string name;
  if (const linmap *lin = expression_lin(e)) {
    while (linmap_next(lin, &x, &coef, &cursor)) {
      if (!var_name_text(x, &name)) {
        linmap_iter_free(&cursor);
        return nullptr;
      }
      append_term(&out, coef, name);
    }
  }
  if (e->quad) {
    linmap *inner;
    std::string second;
    while (quadmap_next(e->quad, &x, &inner, &cursor)) {
      if (!var_name_text(x, &name)) {
        quadmap_iter_free(&cursor);
        return nullptr;
      }
      map_cursor inner_cursor = nullptr;
      const var_s *y;
      while (linmap_next(inner, &y, &coef, &inner_cursor)) {
        if (same_variable(x, y)) {
          append_term(&out, coef, name + "**2");
          continue;
        }
        if (!var_name_text(y, &second)) {
          linmap_iter_free(&inner_cursor);
          quadmap_iter_free(&cursor);
          return nullptr;
        }
        append_term(&out, coef, name + "*" + second);
      }
    }
  }
  return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject *expression_extractLinear(PyObject *self, PyObject *) {
  const expression_s *e = as_expression(self);
  const linmap *lin = expression_lin(e);
  Py_ssize_t n = static_cast<Py_ssize_t>(linmap_size(lin));
  PyRef vars(PyList_New(n)), coefs(PyList_New(n));
  if (!vars || !coefs) return nullptr;
  map_cursor cursor = nullptr;
  const var_s *x;
  double coef;
  for (Py_ssize_t i = 0; lin && linmap_next(lin, &x, &coef, &cursor); ++i) {
    PyObject *value = PyFloat_FromDouble(coef);
    if (!value) {
      linmap_iter_free(&cursor);
      return nullptr;
    }
    PyList_SET_ITEM(vars.get(), i, Py_NewRef(obj_of(x)));
    PyList_SET_ITEM(coefs.get(), i, value);
  }
  return list_pair(vars.get(), coefs.get());
}

PyObject *expression_extractQuadratic(PyObject *self, PyObject *) {
  const expression_s *e = as_expression(self);
  Py_ssize_t n = static_cast<Py_ssize_t>(quadmap_size(e->quad));
  PyRef firsts(PyList_New(n)), seconds(PyList_New(n)), coefs(PyList_New(n));
  if (!firsts || !seconds || !coefs) return nullptr;
  map_cursor cursor = nullptr;
  const var_s *x;
  linmap *inner;
  Py_ssize_t i = 0;
  while (e->quad && quadmap_next(e->quad, &x, &inner, &cursor)) {
    map_cursor inner_cursor = nullptr;
    const var_s *y;
    double coef;
    while (linmap_next(inner, &y, &coef, &inner_cursor)) {
      PyObject *value = PyFloat_FromDouble(coef);
      if (!value || i >= n) {
        Py_XDECREF(value);
        linmap_iter_free(&inner_cursor);
        quadmap_iter_free(&cursor);
        if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Inconsistent quadratic part of expression");
        return nullptr;
      }
      PyList_SET_ITEM(firsts.get(), i, Py_NewRef(obj_of(x)));
      PyList_SET_ITEM(seconds.get(), i, Py_NewRef(obj_of(y)));
      PyList_SET_ITEM(coefs.get(), i, value);
      ++i;
    }
  }
  return PyTuple_Pack(3, firsts.get(), seconds.get(), coefs.get());
}

PyTypeObject korvo_expressionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.expression",
    .tp_basicsize = static_cast<Py_ssize_t>(expression_block_size(1)),
    .tp_dealloc = expression_dealloc,
    .tp_repr = expression_str,
    .tp_as_number = &expression_number_methods,
    .tp_str = expression_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = KORVO_DOC("A linear or quadratic expression: a constant plus linear and quadratic terms.",
                        "e = 3 + 2*x - y", KORVO_NO_ARGS, "e = x + 2*y; e += x*y",
                        "Objects of this class cannot be created explicitly by the user (korvo.expression() "
                        "gives an empty expression); the class may be used for type hints. +=, -=, *= and /= "
                        "amend an expression in place, except one that a comparison took as a constraint's "
                        "body: for that one they give a new expression, and the constraint keeps its body."),
    .tp_richcompare = expression_cmp,
    .tp_methods = expression_methods,
    .tp_new = expression_tp_new,
};
