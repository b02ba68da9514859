// korvo.constraint: identity, bounds and name packed in one word, plus the body.
#include "constraint/constraint.h"

#include <structmember.h>

#include <cstring>

#include "expression/arithmetic.h"
#include "expression/expression.h"
#include "nonlin/nonlinear.h"
#include "problem/change_journal.h"
#include "numpy_types/npy_api.h"
#include "python_model/docstrings.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int CON_LB_SHIFT = 57;
constexpr uint64_t CON_LB_CODE = 3ULL << CON_LB_SHIFT;
constexpr uint64_t CON_LB_STORED = 1ULL << 59;
constexpr int CON_UB_SHIFT = 60;
constexpr uint64_t CON_UB_CODE = 3ULL << CON_UB_SHIFT;
constexpr uint64_t CON_UB_STORED = 1ULL << 62;

// Constructor arguments left out carry these values (beyond the infinity 1e20).
constexpr double kOmittedLow = -2e20;
constexpr double kOmittedHigh = 2e20;

boundmap *lb_table() { return krv_py_env.con_lb_map; }
boundmap *ub_table() { return krv_py_env.con_ub_map; }
namemap *name_table() { return krv_py_env.con_name_map; }

uint64_t take_con_id() {
  MutexGuard lock(krv_py_env.mutexes[MUTEX_CON_ID]);
  return static_cast<uint64_t>(krv_py_env.next_con_id++) & CON_ID_MASK;
}

void drop_side_entries(uint64_t *info) {
  uint64_t id = con_id(*info);
  if ((*info & CON_LB_STORED) && lb_table()) boundmap_del(lb_table(), id);
  if ((*info & CON_UB_STORED) && ub_table()) boundmap_del(ub_table(), id);
  if ((*info & CON_NAME_STORED) && name_table()) namemap_del(name_table(), id);
  *info &= CON_ID_MASK;
}

int store_bound(boundmap *table, uint64_t key, double value) {
  if (!table || boundmap_set(table, key, value) < 0) {
    PyErr_SetString(korvo_model_error, "Cannot store constraint bound");
    return -1;
  }
  return 0;
}

PyObject *model_error(const char *message) {
  PyErr_SetString(korvo_model_error, message);
  return nullptr;
}

void constraint_dealloc(PyObject *self) {
  constraint_s *c = as_constraint(self);
  Py_CLEAR(c->body);
  drop_side_entries(&c->info);
  Py_TYPE(self)->tp_free(self);
}

PyObject *constraint_str(PyObject *self) {
  PyRef name(get_con_name(as_constraint(self)->info));
  if (!name || PyUnicode_Check(name.get())) return name.release();
  return PyObject_Str(name.get());
}

// Element at index zero in every dimension of an array body.
PyObject *first_array_element(PyObject *arr) {
  PyArrayObject *array = reinterpret_cast<PyArrayObject *>(arr);
  if (PyArray_SIZE(array) == 0) return model_error("Invalid expression passed as body of constraint");
  return PyArray_GETITEM(array, static_cast<const char *>(PyArray_DATA(array)));
}

int constraint_init(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"constraint", "body", "lb", "ub", "sense", "rhs", "name", nullptr};
  constraint_s *c = as_constraint(self);
  // A constraint re-initialised in place leaves nothing behind under its old identity.
  drop_side_entries(&c->info);
  c->info = take_con_id();
  Py_CLEAR(c->body);

  PyObject *source = nullptr, *body = nullptr, *name = nullptr;
  double lb = kOmittedLow, ub = kOmittedHigh, rhs = kOmittedLow;
  long long sense = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOddLdO", const_cast<char **>(keywords), &source, &body, &lb,
                                   &ub, &sense, &rhs, &name))
    return -1;
  if (source == Py_None) source = nullptr;
  if (body == Py_None) body = nullptr;
  // korvo.constraint(x + y, lb=1, ub=3): a modelling object given first, by
  // position, is the body; that is how a two-sided constraint is written.
  if (source && !body && PyTuple_GET_SIZE(args) > 0 && !Py_IS_TYPE(source, &korvo_constraintType) &&
      (isNumpyArray(source) || exprKind(source) > 0)) {
    body = source;
    source = nullptr;
  }
  if (name && name != Py_None && set_con_name(&c->info, name) < 0) return -1;
  if (lb > ub + 1e-6) {
    PyErr_SetString(korvo_model_error, "Constraint defined infeasible: lower bound > upper bound");
    return -1;
  }
  if (lb != kOmittedLow && set_con_lbound(&c->info, lb) < 0) return -1;
  if (ub != kOmittedHigh && set_con_ubound(&c->info, ub) < 0) return -1;

  PyRef body_ref;
  if (body) {
    if (isNumpyArray(body)) {
      body_ref = PyRef(first_array_element(body));
      if (!body_ref) {
        if (!PyErr_Occurred())
          PyErr_SetString(korvo_model_error, "Cannot allocate memory to retrieve element of NumPy array");
        return -1;
      }
    } else {
      body_ref = PyRef::borrow(body);
    }
    if (exprKind(body_ref.get()) < 0) {
      PyErr_Clear();
      PyErr_SetString(korvo_model_error, "Invalid expression passed as body of constraint");
      return -1;
    }
  }

  if (source) {
    if (!Py_IS_TYPE(source, &korvo_constraintType)) {
      PyErr_SetString(korvo_model_error,
                      "Attempt to generate an empty constraint failed. Consider using "
                      "korvo.constraint(body=..., sense=..., rhs=...) instead.");
      return -1;
    }
    constraint_s *from = as_constraint(source);
    if (set_con_lbound(&c->info, get_con_lbound(from->info)) < 0 ||
        set_con_ubound(&c->info, get_con_ubound(from->info)) < 0)
      return -1;
    c->body = Py_XNewRef(from->body);
    return 0;
  }

  bool has_lb = lb != kOmittedLow, has_ub = ub != kOmittedHigh;
  if (!body_ref || (sense == 0 && !has_lb && !has_ub)) {
    PyErr_SetString(korvo_model_error,
                    "Arguments required for korvo.constraint(): constraint OR {body, lb and/or ub} OR "
                    "{body,sense,rhs}.");
    return -1;
  }
  if (rhs != kOmittedLow) {
    if (has_lb || has_ub) {
      PyErr_SetString(korvo_model_error, "Cannot create constraint by specifying both rhs AND lb/ub.");
      return -1;
    }
    if ((sense == 2 || sense == 3) && set_con_lbound(&c->info, rhs) < 0) return -1;
    if ((sense == 1 || sense == 3) && set_con_ubound(&c->info, rhs) < 0) return -1;
  }
  c->body = body_ref.release();
  return 0;
}

bool name_is(const char *text, const char *wanted) { return strcmp(text, wanted) == 0; }

PyObject *con_getattr(PyObject *self, PyObject *attr) {
  const char *text = PyUnicode_Check(attr) ? PyUnicode_AsUTF8(attr) : nullptr;
  if (!text) return PyObject_GenericGetAttr(self, attr);
  constraint_s *c = as_constraint(self);
  if (name_is(text, "lb")) return PyFloat_FromDouble(get_con_lbound(c->info));
  if (name_is(text, "ub")) return PyFloat_FromDouble(get_con_ubound(c->info));
  if (name_is(text, "name")) return get_con_name(c->info);
  if (name_is(text, "body")) {
    if (!c->body) {
      PyErr_SetString(PyExc_AttributeError, "The constraint has no body");
      return nullptr;
    }
    return Py_NewRef(c->body);
  }
  if (name_is(text, "__class__")) return Py_NewRef(reinterpret_cast<PyObject *>(&korvo_constraintType));
  if (name_is(text, "__dict__")) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const char *key : {"lb", "ub", "name", "body", "copy"})
      if (PyDict_SetItemString(dict.get(), key, Py_None) < 0) return nullptr;
    return dict.release();
  }
  return PyObject_GenericGetAttr(self, attr);
}

int con_setattr(PyObject *self, PyObject *attr, PyObject *value) {
  const char *text = PyUnicode_Check(attr) ? PyUnicode_AsUTF8(attr) : nullptr;
  if (!text) return PyObject_GenericSetAttr(self, attr, value);
  constraint_s *c = as_constraint(self);
  bool is_lb = name_is(text, "lb"), is_ub = name_is(text, "ub"), is_name = name_is(text, "name");
  // Problems that hold the constraint take the change before they next use
  // their engine model.
  if (name_is(text, "body")) {
    if (PyObject_GenericSetAttr(self, attr, value) < 0) return -1;
    journal_note(con_id(c->info), JOURNAL_CON_BODY);
    return 0;
  }
  if (!is_lb && !is_ub && !is_name) return PyObject_GenericSetAttr(self, attr, value);
  if (!value) {
    PyErr_Format(korvo_interface_error, "Attribute %s of korvo.constraint cannot be deleted", text);
    return -1;
  }
  if (is_name) {
    if (set_con_name(&c->info, value) < 0) return -1;
    journal_note(con_id(c->info), JOURNAL_CON_NAME);
    return 0;
  }
  double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return -1;
  if ((is_lb ? set_con_lbound(&c->info, number) : set_con_ubound(&c->info, number)) < 0) return -1;
  journal_note(con_id(c->info), JOURNAL_CON_BOUNDS);
  return 0;
}

// rhs (an array) compared with lhs under the mirrored operator, element by
// element through NumPy's object loops, so that each element comparison
// builds a constraint rather than a truth value. Arrays of the registered
// modelling dtypes (krv_py_env.npvar, npexpr, npconstraint; null until they
// are registered) will compare through their own loops instead.
PyObject *compare_with_array(PyObject *array, PyObject *lhs, int op) {
  static const char *const mirrored_ufunc[] = {"greater", "greater_equal", "equal",
                                               "not_equal", "less", "less_equal"};
  PyRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  PyRef ufunc(PyObject_GetAttrString(numpy.get(), mirrored_ufunc[op]));
  PyRef object_type(PyObject_GetAttrString(numpy.get(), "object_"));
  if (!ufunc || !object_type) return nullptr;
  PyRef args(PyTuple_Pack(2, array, lhs));
  PyRef kwargs(Py_BuildValue("{sO}", "dtype", object_type.get()));
  if (!args || !kwargs) return nullptr;
  return PyObject_Call(ufunc.get(), args.get(), kwargs.get());
}

PyMemberDef constraint_members[] = {
    {"body", T_OBJECT_EX, offsetof(constraint_s, body), 0, "Constraint body"},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef constraint_methods[] = {
    {"copy", constraint_copy, METH_NOARGS,
     KORVO_DOC("Returns a copy of the constraint with a new identity.", "c2 = c.copy()", KORVO_NO_ARGS,
               "c2 = (x + y <= 4).copy()",
               "The body is copied, the bounds are the same and the copy is named R<id>_copy_<name>.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject *constraint_new(PyTypeObject *type) {
  PyObject *obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  as_constraint(obj)->info = take_con_id();
  as_constraint(obj)->body = nullptr;
  return obj;
}

// One per element of comparisons of arrays: skip the generic allocator.
PyObject *constraint_base(void) {
  constraint_s *c = PyObject_New(constraint_s, &korvo_constraintType);
  if (!c) return nullptr;
  c->info = take_con_id();
  c->body = nullptr;
  return reinterpret_cast<PyObject *>(c);
}

double get_con_lbound(uint64_t info) {
  switch ((info & CON_LB_CODE) >> CON_LB_SHIFT) {
    case 0: return -KRV_INFINITY;
    case 1: return 0.0;
    case 2: return 1.0;
    default: return lb_table() ? boundmap_get(lb_table(), con_id(info)) : -KRV_INFINITY;
  }
}

int set_con_lbound(uint64_t *info, double value) {
  uint64_t code;
  if (value <= -KRV_INFINITY) code = 0;
  else if (value == 0.0) code = 1;
  else if (value == 1.0) code = 2;
  else {
    if (store_bound(lb_table(), con_id(*info), value) < 0) return -1;
    *info |= CON_LB_CODE | CON_LB_STORED;
    return 0;
  }
  *info = (*info & ~CON_LB_CODE) | (code << CON_LB_SHIFT);
  if (*info & CON_LB_STORED) {
    *info &= ~CON_LB_STORED;
    if (lb_table()) boundmap_del(lb_table(), con_id(*info));
  }
  return 0;
}

double get_con_ubound(uint64_t info) {
  switch ((info & CON_UB_CODE) >> CON_UB_SHIFT) {
    case 0: return KRV_INFINITY;
    case 1: return 0.0;
    case 2: return 1.0;
    default: return ub_table() ? boundmap_get(ub_table(), con_id(info)) : KRV_INFINITY;
  }
}

int set_con_ubound(uint64_t *info, double value) {
  uint64_t code;
  if (value >= KRV_INFINITY) code = 0;
  else if (value == 0.0) code = 1;
  else if (value == 1.0) code = 2;
  else {
    if (store_bound(ub_table(), con_id(*info), value) < 0) return -1;
    *info |= CON_UB_CODE | CON_UB_STORED;
    return 0;
  }
  *info = (*info & ~CON_UB_CODE) | (code << CON_UB_SHIFT);
  if (*info & CON_UB_STORED) {
    *info &= ~CON_UB_STORED;
    if (ub_table()) boundmap_del(ub_table(), con_id(*info));
  }
  return 0;
}

PyObject *get_con_name(uint64_t info) {
  if ((info & CON_NAME_STORED) && name_table()) {
    PyObject *name = namemap_get(name_table(), con_id(info));
    if (name) return Py_NewRef(name);
  }
  return PyUnicode_FromFormat("R%llu", static_cast<unsigned long long>(con_id(info)));
}

int set_con_name(uint64_t *info, PyObject *name) {
  namemap *table = name_table();
  if (!table) {
    PyErr_SetString(korvo_interface_error, "Internal error in constraint name");
    return -1;
  }
  uint64_t id = con_id(*info);
  Py_INCREF(name);
  PyObject *old = (*info & CON_NAME_STORED) ? namemap_get(table, id) : nullptr;
  if (namemap_set(table, id, name) < 0) {
    Py_DECREF(name);
    PyErr_SetString(korvo_interface_error, "Internal error in constraint name");
    return -1;
  }
  *info |= CON_NAME_STORED;
  Py_XDECREF(old);
  return 0;
}

PyObject *constraint_copy(PyObject *self, PyObject *) {
  constraint_s *src = as_constraint(self);
  PyRef copy(constraint_base());
  if (!copy) return nullptr;
  constraint_s *c = as_constraint(copy.get());
  if (set_con_lbound(&c->info, get_con_lbound(src->info)) < 0 ||
      set_con_ubound(&c->info, get_con_ubound(src->info)) < 0)
    return nullptr;
  if (src->body) {
    c->body = general_copy(src->body, 1.0);
    if (!c->body) return nullptr;
  }
  PyRef source_name(get_con_name(src->info));
  if (!source_name) return nullptr;
  PyRef name(PyUnicode_FromFormat("R%llu_copy_%S", static_cast<unsigned long long>(con_id(src->info)),
                                  source_name.get()));
  if (!name || set_con_name(&c->info, name.get()) < 0) return nullptr;
  return copy.release();
}

namespace {

// expression <op> number for an expression with a linear map and no constant,
// the form array comparisons such as (A @ x - b) <= 0 take element by element:
// the constraint takes the expression itself as its body, frozen so that it
// is never amended in place afterwards, instead of a copy of it. Null
// without an exception when the operands do not have that form.
PyObject *constraint_on_expression(PyObject *lhs, PyObject *rhs, int op) {
  if (Py_TYPE(lhs) != &korvo_expressionType || (op != Py_LE && op != Py_EQ && op != Py_GE)) return nullptr;
  expression_s *e = as_expression(lhs);
  if (!expression_lin(e) || e->constant != 0.0 || exprKind(rhs) != EXPR_CONSTANT) return nullptr;
  double value = PyFloat_AsDouble(rhs);
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return nullptr;
  }
  // The bound as the general path computes it: minus the constant of (lhs - rhs).
  double constant = e->constant;
  constant += -1.0 * value;
  double r = -constant;
  PyRef con(constraint_base());
  if (!con) return nullptr;
  constraint_s *c = as_constraint(con.get());
  if ((op != Py_LE && set_con_lbound(&c->info, r) < 0) || (op != Py_GE && set_con_ubound(&c->info, r) < 0))
    return nullptr;
  linmap_freeze(expression_lin(e));
  c->body = Py_NewRef(lhs);
  return con.release();
}

}  // namespace

PyObject *make_constraint(PyObject *lhs, PyObject *rhs, int op) {
  if (PyObject *shared = constraint_on_expression(lhs, rhs, op)) return shared;
  if (PyErr_Occurred()) return nullptr;
  PyRef left = PyRef::borrow(lhs);
  if (exprKind(lhs) == EXPR_CONSTANT && exprKind(rhs) == EXPR_CONSTANT) {
    left = PyRef(expression_copy(lhs, 1.0));
    if (!left) return nullptr;
  }
  if (isNumpyArray(rhs)) {
    if (isNumpyArray(lhs)) {
      PyErr_SetString(korvo_interface_error, "Ill-defined constraint array");
      return nullptr;
    }
    if (op < 0 || op > 5) return model_error("Invalid constraint: unrecognized comparison operator");
    return compare_with_array(rhs, left.get(), op);
  }
  PyRef difference(var_sub(left.get(), rhs));
  if (!difference) return nullptr;

  PyRef con(constraint_base());
  if (!con) return nullptr;
  constraint_s *c = as_constraint(con.get());
  PyObject *d = difference.get();
  double r = 0.0;
  PyRef body;
  if (isExpression(d)) {
    r = -as_expression(d)->constant;
    as_expression(d)->constant = 0.0;
    body = std::move(difference);
  } else if (isNonlin(d) && as_nonlin(d)->op == NL_SUM) {
    PyObject *list = as_nonlin(d)->args;
    Py_ssize_t n = PyList_Check(list) ? PyList_GET_SIZE(list) : 0;
    if (n > 1 && isNumericScalar(PyList_GET_ITEM(list, n - 1))) {
      r = -PyFloat_AsDouble(PyList_GET_ITEM(list, n - 1));
      if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) return nullptr;
    }
    body = std::move(difference);
  } else if (isNonlin(d) && as_nonlin(d)->op == NL_MINUS && PyTuple_Check(as_nonlin(d)->args) &&
             PyTuple_GET_SIZE(as_nonlin(d)->args) == 2) {
    PyObject *a = PyTuple_GET_ITEM(as_nonlin(d)->args, 0);
    PyObject *b = PyTuple_GET_ITEM(as_nonlin(d)->args, 1);
    if (isNumericScalar(a)) {
      double value = PyFloat_AsDouble(a);
      c->body = Py_NewRef(b);
      if (op == Py_LE) return set_con_lbound(&c->info, value) < 0 ? nullptr : con.release();
      if (op == Py_GE) return set_con_ubound(&c->info, value) < 0 ? nullptr : con.release();
      r = value;
    } else if (isNumericScalar(b)) {
      body = PyRef::borrow(a);
      r = PyFloat_AsDouble(b);
    } else {
      body = std::move(difference);
    }
  } else if (exprKind(d) >= EXPR_CONSTANT) {
    // Numbers, variables, terms, and nonlinear nodes with no constant to move.
    body = std::move(difference);
  } else {
    return model_error("Invalid constraint body");
  }
  if (body) c->body = body.release();

  switch (op) {
    case Py_LE:
      if (set_con_ubound(&c->info, r) < 0) return nullptr;
      break;
    case Py_EQ:
      if (set_con_lbound(&c->info, r) < 0 || set_con_ubound(&c->info, r) < 0) return nullptr;
      break;
    case Py_GE:
      if (set_con_lbound(&c->info, r) < 0) return nullptr;
      break;
    case Py_LT:
    case Py_GT:
    case Py_NE:
      return model_error("Invalid constraint: cannot enforce f(x) != 0, f(x) > 0, or f(x) < 0");
    default:
      return model_error("Invalid constraint: unrecognized comparison operator");
  }
  return con.release();
}

PyObject *var_cmp(PyObject *a, PyObject *b, int op) { return make_constraint(a, b, op); }
PyObject *linterm_cmp(PyObject *a, PyObject *b, int op) { return make_constraint(a, b, op); }
PyObject *quadterm_cmp(PyObject *a, PyObject *b, int op) { return make_constraint(a, b, op); }
PyObject *expression_cmp(PyObject *a, PyObject *b, int op) { return make_constraint(a, b, op); }

// A constraint has no truth value: Python asks for one in a chained
// comparison (1 <= x + y <= 3 keeps only its second half) and in `if x >= 3:`,
// and either would silently give a different model than the one written.
int constraint_bool(PyObject *) {
  PyErr_SetString(PyExc_TypeError,
                  "A constraint has no truth value. A chained comparison such as 1 <= x + y <= 3 cannot be "
                  "written in Python; write a two-sided constraint as korvo.constraint(x + y, lb=1, ub=3). "
                  "To find a variable in a container, use a dict or set (variables hash by identity) or "
                  "compare with 'is'");
  return -1;
}

PyNumberMethods constraint_number_methods = {.nb_bool = constraint_bool};

PyTypeObject korvo_constraintType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.constraint",
    .tp_basicsize = sizeof(constraint_s),
    .tp_dealloc = constraint_dealloc,
    .tp_repr = constraint_str,
    .tp_as_number = &constraint_number_methods,
    .tp_str = constraint_str,
    .tp_getattro = con_getattr,
    .tp_setattro = con_setattr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = KORVO_DOC("A constraint: a body between a lower and an upper bound.",
                        "c = korvo.constraint(constraint=None, body=None, lb=-korvo.infinity, ub=korvo.infinity, "
                        "sense=None, rhs=None, name=None)",
                        KORVO_ARGS("constraint: an existing constraint whose body and bounds are taken over\n"
                                   "  body: the constrained expression\n"
                                   "  lb, ub: lower and upper bound of the body\n"
                                   "  sense: korvo.leq, korvo.geq or korvo.eq, used with rhs\n"
                                   "  rhs: right-hand side, used with sense\n"
                                   "  name: the constraint's name; default R<id>"),
                        "c = korvo.constraint(body=x + 2*y, sense=korvo.leq, rhs=4, name='cap')",
                        "Comparisons of modelling objects (x + y <= 4) also give constraints; a problem takes "
                        "them in with problem.addConstraint."),
    .tp_methods = constraint_methods,
    .tp_members = constraint_members,
    .tp_init = constraint_init,
};
