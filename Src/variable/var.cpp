// korvo.var: identity, bounds, threshold, type and name of a decision variable.
#include "variable/var.h"

#include <cstring>

#include "python_model/docstrings.h"
#include "python_model/pyref.h"
#include "constraint/constraint.h"
#include "expression/arithmetic.h"
#include "expression/linterm.h"
#include "problem/change_journal.h"
#include "variable/name_patterns.h"

namespace {

// The side tables may already be gone when a variable dies after module teardown.
boundmap *lb_table() { return krv_py_env.var_lb_map; }
boundmap *ub_table() { return krv_py_env.var_ub_map; }
boundmap *thold_table() { return krv_py_env.var_threshold_map; }
namemap *name_table() { return krv_py_env.var_name_map; }

int store_bound(boundmap *table, uint64_t key, double value) {
  if (!table || boundmap_set(table, key, value) < 0) {
    PyErr_SetString(korvo_model_error, "Cannot store variable bound");
    return -1;
  }
  return 0;
}

// Removes every side-table entry of a variable and resets its word to the defaults.
void drop_side_entries(uint64_t *info) {
  uint64_t id = var_id(*info);
  if ((*info & VAR_LB_STORED) && lb_table()) boundmap_del(lb_table(), id);
  if ((*info & VAR_UB_STORED) && ub_table()) boundmap_del(ub_table(), id);
  if ((*info & VAR_THOLD_STORED) && thold_table()) boundmap_del(thold_table(), id);
  if ((*info & VAR_NAME_STORED) && name_table()) namemap_del(name_table(), id);
  if (*info & VAR_NAME_PATTERN) name_pattern_release(id);
  *info &= ~(VAR_LB_CODE | VAR_LB_STORED | VAR_UB_CODE | VAR_UB_STORED | VAR_THOLD_STORED | VAR_NAME_STORED |
             VAR_NAME_PATTERN);
}

bool name_is(const char *text, const char *wanted) { return strcmp(text, wanted) == 0; }

void var_dealloc(PyObject *self) {
  drop_side_entries(&as_var(self)->info);
  Py_TYPE(self)->tp_free(self);
}

int var_init(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"name", "lb", "ub", "threshold", "vartype", nullptr};
  uint64_t *info = &as_var(self)->info;
  // A variable re-initialised in place leaves no stale entries under its old identity.
  if (var_id(*info) != 0) {
    drop_side_entries(info);
    *info &= ~VAR_TYPE_MASK;
  }
  *info = (*info & ~VAR_ID_MASK) | var_take_ids(1);

  PyObject *name = nullptr;
  double lb = 0.0, ub = KRV_INFINITY, threshold = -KRV_INFINITY;
  long long vartype = 0;
  bool no_arguments = PyTuple_GET_SIZE(args) == 0 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0);
  if (!no_arguments &&
      !PyArg_ParseTupleAndKeywords(args, kwargs, "|OdddL", const_cast<char **>(keywords), &name, &lb, &ub,
                                   &threshold, &vartype))
    return -1;
  if (check_var_type(vartype) < 0) return -1;
  if (lb > ub + 1e-6) {
    PyErr_SetString(korvo_model_error, "Variable has empty feasible set: lower bound > upper bound");
    return -1;
  }
  if (vartype == 1) {
    if (lb < 0) lb = 0;
    if (ub > 1) ub = 1;
  }
  if (lb != 0.0 && set_var_lbound(info, lb) < 0) return -1;
  if (ub != KRV_INFINITY && set_var_ubound(info, ub) < 0) return -1;
  if (threshold != -KRV_INFINITY && set_var_thold(info, threshold) < 0) return -1;
  if (vartype != 0) set_var_type(info, vartype);
  if (name && name != Py_None) {
    if (!PyUnicode_Check(name) && !PyBytes_Check(name)) {
      PyErr_SetString(korvo_model_error, "Invalid variable name (must be a string)");
      return -1;
    }
    if (set_var_name(info, name) < 0) return -1;
  }
  return 0;
}

PyObject *var_getattr(PyObject *self, PyObject *attr) {
  const char *text = PyUnicode_Check(attr) ? PyUnicode_AsUTF8(attr) : nullptr;
  if (!text) return PyObject_GenericGetAttr(self, attr);
  uint64_t info = as_var(self)->info;
  switch (text[0]) {
    case 'l':
      if (name_is(text, "lb")) return PyFloat_FromDouble(get_var_lbound(info));
      break;
    case 'u':
      if (name_is(text, "ub")) return PyFloat_FromDouble(get_var_ubound(info));
      break;
    case 't':
      if (name_is(text, "threshold")) return PyFloat_FromDouble(get_var_thold(info));
      break;
    case 'v':
      if (name_is(text, "vartype")) return PyLong_FromLong(get_var_type(info));
      break;
    case 'n':
      if (name_is(text, "name")) {
        PyObject *name = get_var_name(info);
        if (!name && !PyErr_Occurred()) PyErr_SetString(korvo_interface_error, "Internal error in variable name");
        return name;
      }
      break;
    case '_':
      if (name_is(text, "__class__")) return Py_NewRef(reinterpret_cast<PyObject *>(&korvo_varType));
      if (name_is(text, "__dict__")) {
        PyRef dict(PyDict_New());
        if (!dict) return nullptr;
        for (const char *key : {"lb", "ub", "threshold", "vartype", "name"})
          if (PyDict_SetItemString(dict.get(), key, Py_None) < 0) return nullptr;
        return dict.release();
      }
      break;
  }
  return PyObject_GenericGetAttr(self, attr);
}

int var_setattr(PyObject *self, PyObject *attr, PyObject *value) {
  const char *text = PyUnicode_Check(attr) ? PyUnicode_AsUTF8(attr) : nullptr;
  if (!text) {
    if (!PyErr_Occurred()) PyErr_SetString(korvo_interface_error, "Incorrect member name of type korvo.var");
    return -1;
  }
  bool known = name_is(text, "lb") || name_is(text, "ub") || name_is(text, "threshold") ||
               name_is(text, "vartype") || name_is(text, "name");
  if (!known) {
    PyErr_SetString(korvo_interface_error, "Incorrect member name of type korvo.var");
    return -1;
  }
  if (!value) {
    PyErr_Format(korvo_interface_error, "Attribute %s of korvo.var cannot be deleted", text);
    return -1;
  }
  uint64_t *info = &as_var(self)->info;
  // Problems that hold the variable take the change before they next use
  // their engine model.
  if (name_is(text, "name")) {
    if (set_var_name(info, value) < 0) return -1;
    journal_note(var_id(*info), JOURNAL_VAR_NAME);
    return 0;
  }
  if (name_is(text, "vartype")) {
    long long type = PyLong_AsLongLong(value);
    if (type == -1 && PyErr_Occurred()) return -1;
    if (check_var_type(type) < 0) return -1;
    set_var_type(info, type);
    journal_note(var_id(*info), JOURNAL_VAR_TYPE);
    return 0;
  }
  double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return -1;
  int rc;
  journal_change change;
  if (name_is(text, "lb")) {
    rc = set_var_lbound(info, number);
    change = JOURNAL_VAR_LB;
  } else if (name_is(text, "ub")) {
    rc = set_var_ubound(info, number);
    change = JOURNAL_VAR_UB;
  } else {
    rc = set_var_thold(info, number);
    change = JOURNAL_VAR_THRESHOLD;
  }
  if (rc == 0) journal_note(var_id(*info), change);
  return rc;
}

PyMethodDef var_methods[] = {
    {"extractLinear", var_extractLinear, METH_NOARGS,
     KORVO_DOC("Returns the linear part of the variable as a term list.", "(vars, coefs) = x.extractLinear()",
               KORVO_NO_ARGS, "x.extractLinear()  # ([x], [1.0])",
               "The variable itself with coefficient 1.0; see also extractQuadratic.")},
    {"extractQuadratic", var_extractQuadratic, METH_NOARGS,
     KORVO_DOC("Returns the quadratic part of the variable, which is empty.",
               "(vars1, vars2, coefs) = x.extractQuadratic()", KORVO_NO_ARGS,
               "x.extractQuadratic()  # ([], [], [])", "See also extractLinear.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int check_var_type(long long type) {
  if (type >= 0 && type <= 5) return 0;
  PyErr_Format(korvo_model_error,
               "Invalid variable type %lld: use korvo.continuous, korvo.binary, korvo.integer, "
               "korvo.semicontinuous, korvo.semiinteger or korvo.partiallyinteger",
               type);
  return -1;
}

uint64_t var_take_ids(uint64_t count) {
  MutexGuard lock(krv_py_env.mutexes[MUTEX_VAR_ID]);
  uint64_t first = static_cast<uint64_t>(krv_py_env.next_var_id);
  krv_py_env.next_var_id += static_cast<int64_t>(count);
  return first & VAR_ID_MASK;
}

PyObject *var_new(PyTypeObject *type) {
  PyObject *obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  as_var(obj)->info = var_take_ids(1);
  return obj;
}

PyObject *var_base(void) { return var_new(&korvo_varType); }

double get_var_lbound(uint64_t info) {
  switch ((info & VAR_LB_CODE) >> VAR_LB_SHIFT) {
    case 0: return 0.0;
    case 1: return -KRV_INFINITY;
    case 2: return 1.0;
    default: return lb_table() ? boundmap_get(lb_table(), var_id(info)) : 0.0;
  }
}

int set_var_lbound(uint64_t *info, double value) {
  uint64_t code;
  if (value == 0.0) code = 0;
  else if (value <= -KRV_INFINITY) code = 1;
  else if (value == 1.0) code = 2;
  else {
    if (store_bound(lb_table(), var_id(*info), value) < 0) return -1;
    *info |= VAR_LB_CODE | VAR_LB_STORED;
    return 0;
  }
  *info = (*info & ~VAR_LB_CODE) | (code << VAR_LB_SHIFT);
  if (*info & VAR_LB_STORED) {
    *info &= ~VAR_LB_STORED;
    if (lb_table()) boundmap_del(lb_table(), var_id(*info));
  }
  return 0;
}

double get_var_ubound(uint64_t info) {
  switch ((info & VAR_UB_CODE) >> VAR_UB_SHIFT) {
    case 0: return KRV_INFINITY;
    case 1: return 0.0;
    case 2: return 1.0;
    default: return ub_table() ? boundmap_get(ub_table(), var_id(info)) : KRV_INFINITY;
  }
}

int set_var_ubound(uint64_t *info, double value) {
  uint64_t code;
  if (value >= KRV_INFINITY) code = 0;
  else if (value == 0.0) code = 1;
  else if (value == 1.0) code = 2;
  else {
    if (store_bound(ub_table(), var_id(*info), value) < 0) return -1;
    *info |= VAR_UB_CODE | VAR_UB_STORED;
    return 0;
  }
  *info = (*info & ~VAR_UB_CODE) | (code << VAR_UB_SHIFT);
  if (*info & VAR_UB_STORED) {
    *info &= ~VAR_UB_STORED;
    if (ub_table()) boundmap_del(ub_table(), var_id(*info));
  }
  return 0;
}

double get_var_thold(uint64_t info) {
  if ((info & VAR_THOLD_STORED) && thold_table()) return boundmap_get(thold_table(), var_id(info));
  return -KRV_INFINITY;
}

int set_var_thold(uint64_t *info, double value) {
  // -1e20 means "no threshold given": an existing threshold stays.
  if (value == -KRV_INFINITY) return 0;
  if (store_bound(thold_table(), var_id(*info), value) < 0) return -1;
  *info |= VAR_THOLD_STORED;
  return 0;
}

int get_var_type(uint64_t info) { return static_cast<int>((info & VAR_TYPE_MASK) >> VAR_TYPE_SHIFT); }

void set_var_type(uint64_t *info, int64_t type) {
  // Only the three type bits change; larger values keep their low three bits.
  *info = (*info & ~VAR_TYPE_MASK) | ((static_cast<uint64_t>(type) << VAR_TYPE_SHIFT) & VAR_TYPE_MASK);
}

PyObject *get_var_name(uint64_t info) {
  if ((info & VAR_NAME_STORED) && name_table()) {
    PyObject *name = namemap_get(name_table(), var_id(info));
    if (name) return Py_NewRef(name);
  }
  if (info & VAR_NAME_PATTERN) return name_pattern_name(var_id(info));
  return PyUnicode_FromFormat("C%llu", static_cast<unsigned long long>(var_id(info)));
}

int set_var_name(uint64_t *info, PyObject *name) {
  namemap *table = name_table();
  if (!table) {
    PyErr_SetString(korvo_interface_error, "Internal error in variable name");
    return -1;
  }
  uint64_t id = var_id(*info);
  Py_INCREF(name);
  PyObject *old = (*info & VAR_NAME_STORED) ? namemap_get(table, id) : nullptr;
  if (namemap_set(table, id, name) < 0) {
    Py_DECREF(name);
    PyErr_SetString(korvo_interface_error, "Internal error in variable name");
    return -1;
  }
  *info |= VAR_NAME_STORED;
  // A name set replaces the one the vars() call gave.
  if (*info & VAR_NAME_PATTERN) {
    *info &= ~VAR_NAME_PATTERN;
    name_pattern_release(id);
  }
  Py_XDECREF(old);
  return 0;
}

Py_hash_t var_hash(PyObject *self) { return static_cast<Py_hash_t>(var_id(as_var(self))); }

PyObject *var_str(PyObject *self) {
  PyRef name(get_var_name(as_var(self)->info));
  if (!name) return nullptr;
  if (PyUnicode_Check(name.get())) return name.release();
  return PyObject_Str(name.get());
}

PyObject *var_extractLinear(PyObject *self, PyObject *) { return Py_BuildValue("([O][d])", self, 1.0); }

PyObject *var_extractQuadratic(PyObject *, PyObject *) { return Py_BuildValue("([][][])"); }

PyTypeObject korvo_varType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.var",
    .tp_basicsize = sizeof(var_s),
    .tp_dealloc = var_dealloc,
    .tp_repr = var_str,
    .tp_as_number = &var_number_methods,
    .tp_hash = var_hash,
    .tp_str = var_str,
    .tp_getattro = var_getattr,
    .tp_setattro = var_setattr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = KORVO_DOC("A decision variable of an optimization problem.",
                        "x = korvo.var(name=None, lb=0, ub=korvo.infinity, threshold=-korvo.infinity, vartype=korvo.continuous)",
                        KORVO_ARGS("name: the variable's name (str or bytes); default C<id>\n"
                                   "  lb, ub: lower and upper bound\n"
                                   "  threshold: threshold of a semi-continuous or semi-integer variable\n"
                                   "  vartype: korvo.continuous, binary, integer, semicontinuous, semiinteger or partiallyinteger"),
                        "x = korvo.var(lb=-1, ub=5, vartype=korvo.integer, name='x')",
                        "Variables combine into expressions and constraints with Python operators and join a problem "
                        "through problem.addVariable. x == y builds a constraint, and a constraint has no truth "
                        "value, so 'y in [x]' and '[x, y].index(y)' raise TypeError (a variable is found only when "
                        "it is the very object tested first). To look variables up, use a dict or set: variables "
                        "hash by identity, e.g. position = {v: i for i, v in enumerate(xs)}; position[y]. "
                        "A type outside the six constants is refused with korvo.ModelError. Names of variables, "
                        "constraints and sets reach a problem and its files with at most 255 characters (longer "
                        "ones are cut there; the object keeps its name whole); korvo.vars makes names of at most "
                        "255 characters."),
    .tp_richcompare = var_cmp,
    .tp_methods = var_methods,
    .tp_init = var_init,
};

PyObject *var_copy(PyObject *var, double factor) {
  if (factor == 1.0) return Py_NewRef(var);
  return linterm_fill(var, factor);  // the float 0.0 for factor 0
}
