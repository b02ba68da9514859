// korvo.expression: constant + linear part + quadratic part, and the
// classification of operands shared by all modelling operations.
#ifndef KORVO_EXPRESSION_H
#define KORVO_EXPRESSION_H

#include <Python.h>

#include "expression/linterm.h"
#include "maps/maps.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"

// The linear map lives in the object's own block, right after these fields
// (room for at least one entry inline): array arithmetic makes one
// expression per element, and is bound by the memory they take, so the
// header is kept to 32 bytes and the map costs no pointer of its own.
struct expression_s {
  PyObject_HEAD
  double constant;
  quadmap *quad;  // terms stored once, under the variable with the smaller id
};
static_assert(sizeof(expression_s) == 32, "expression header and map share 16-byte-aligned blocks");

// Bytes of an expression whose map has `room` inline entries (1 to kLinmapMaxEmbeddedRoom).
inline size_t expression_block_size(size_t room) { return sizeof(expression_s) + linmap_embedded_size(room); }
inline linmap *expression_map_slot(const expression_s *e) {
  return reinterpret_cast<linmap *>(const_cast<expression_s *>(e) + 1);
}
// The linear part, null until the first linear term.
inline linmap *expression_lin(const expression_s *e) {
  linmap *map = expression_map_slot(e);
  return linmap_in_use(map) ? map : nullptr;
}
// The linear part, made (empty) when there is none.
inline linmap *expression_make_lin(expression_s *e) {
  linmap *map = expression_map_slot(e);
  linmap_use(map);
  return map;
}

// A comparison may take an expression as the body of its constraint without
// copying it; the expression is frozen then: operators that would amend it
// in place (+=, -=, *=, /=) give a new expression instead, so the
// constraint's body never changes behind it. Only an expression with a
// linear map can be frozen (the mark is kept in the map).
inline bool expression_frozen(const expression_s *e) {
  const linmap *lin = expression_lin(e);
  return lin && linmap_frozen(lin);
}

inline bool isExpression(PyObject *obj) { return is_operand_of_type(obj, &korvo_expressionType); }
inline expression_s *as_expression(PyObject *obj) { return reinterpret_cast<expression_s *>(obj); }

// Operand kinds, lowest to highest rank.
enum expr_kind {
  EXPR_INVALID = -1,
  EXPR_CONSTANT = 0,
  EXPR_VAR = 1,
  EXPR_LINTERM = 2,
  EXPR_QUADTERM = 3,
  EXPR_EXPRESSION = 4,
  EXPR_NONLINEAR = 5,
};

// Kind of obj; for anything else raises ModelError "Invalid object in operation: <obj>" and returns -1.
int getExprType(PyObject *obj);
// exprKind for objects that are not of one of the exact types tried inline
// (subclasses, NumPy scalars, nonlinear nodes, quadratic terms, foreign objects).
int exprKind_bySubtype(PyObject *obj);
// Kind of obj without raising (-1 for anything else, and for terms without
// variables). Every arithmetic operation classifies its operands, so the
// exact types met in models are tried first: a subtype test walks the MRO.
inline int exprKind(PyObject *obj) {
  if (!obj) return EXPR_INVALID;
  PyTypeObject *type = Py_TYPE(obj);
  if (type == &korvo_varType) return EXPR_VAR;
  if (type == &korvo_expressionType) return EXPR_EXPRESSION;
  if (type == &korvo_lintermType) return as_linterm(obj)->var ? EXPR_LINTERM : EXPR_INVALID;
  if (type == &PyFloat_Type || type == &PyLong_Type) return EXPR_CONSTANT;
  return exprKind_bySubtype(obj);
}
// A number (code 0) or an expression without linear and quadratic handles (code 4).
bool isObjectConst(PyObject *obj, int *code, double *value);

PyObject *expression_new(PyTypeObject *type);
PyObject *expression_base(void);
// An empty expression whose linear map has room for `linear_entries` entries
// (none: no map); small maps live in the expression's own memory block.
PyObject *expression_with_room(size_t linear_entries);
// A new expression equal to factor*obj (number, variable, term, expression; a
// nonlinear object gives nonlin_copy).
PyObject *expression_copy(PyObject *obj, double factor);
// expression_copy whose linear part has room for `room` more entries.
PyObject *expression_copy_with_room(PyObject *obj, double factor, size_t room);
// A copy of any operand times factor (numbers, terms, expressions, nonlinear
// objects, NumPy arrays).
PyObject *general_copy(PyObject *obj, double factor);
// Scales e in place; steals the caller's reference to e and returns a new one
// (the float 0.0 for factor 0).
PyObject *expression_scale(PyObject *e, double factor);

int expression_setLinTerm(PyObject *e, PyObject *x, double coef);
int expression_addToLinTerm(PyObject *e, PyObject *x, double coef);
int expression_setQuadTerm(PyObject *e, PyObject *x, PyObject *y, double coef);
int expression_addToQuadTerm(PyObject *e, PyObject *x, PyObject *y, double coef);
// Adds factor*obj (number, variable, linear or quadratic term, expression) to e in place.
int expression_addObject(PyObject *e, PyObject *obj, double factor);
// expression_addObject for an operand whose kind (exprKind) is known.
int expression_addOperand(PyObject *e, PyObject *obj, int kind, double factor);
// a + factor*b as a new expression, a and b being expressions (possibly the
// same object); the linear parts are merged in one ordered pass.
PyObject *expression_sum(PyObject *a, PyObject *b, double factor);

PyObject *expression_str(PyObject *self);
PyObject *expression_extractLinear(PyObject *self, PyObject *unused);
PyObject *expression_extractQuadratic(PyObject *self, PyObject *unused);
bool expression_has_terms(const expression_s *e);

#endif
