// Python protocols of the modelling objects and problems beyond their own
// operations: pickling and copying, and the views notebooks show
// (_repr_html_, and a problem's solution as a table), which are written in
// Python (korvo/_notebook.py) and reached through thin methods here.
//
// Pickling.
// Every object reduces to a rebuild function of this module and the plain
// values it is made of; objects inside (the variables of an expression, the
// body of a constraint, the variables of a problem) are handed to pickle as
// objects, so pickle's memo keeps one object for one object: the same
// variable in two constraints and in the caller's list is one variable after
// unpickling. Rebuilt variables, constraints and sets take fresh identities
// of the process that rebuilds them.
//
// A problem travels as the engine's snapshot of its model (with names,
// controls, solution and basis), the nonlinear solver's part of it, and the
// registry: the variable, constraint and set objects with their engine
// indices, and its user functions (pickled by pickle, which names one it
// cannot send). Callback registrations belong to this process and are
// refused with an error that says so.
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "api/wrapper_table.h"
#include "constraint/constraint.h"
#include "constraint/sos.h"
#include "expression/expression.h"
#include "expression/linterm.h"
#include "expression/quadterm.h"
#include "knls.h"
#include "krvs.h"
#include "maps/maps.h"
#include "nonlin/convert.h"
#include "nonlin/nonlinear.h"
#include "problem/change_journal.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/method_tables.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int kColumnsAttribute = 1214;
constexpr int kRowsAttribute = 1124;
constexpr int kSetsAttribute = 1194;

PyObject *interface_error(const char *text) {
  PyErr_SetString(korvo_interface_error, text);
  return nullptr;
}

// The module's rebuild function of that name (borrowed). Looked up once:
// reductions of a million variables must not import a million times. The
// cache holds one reference to each function for the life of the process.
PyObject *rebuild_function(const char *name) {
  static PyObject *cache = nullptr;
  if (!cache && !(cache = PyDict_New())) return nullptr;
  PyObject *fn = PyDict_GetItemString(cache, name);
  if (fn) return fn;
  PyRef module(PyImport_ImportModule("korvo.korvolib"));
  PyRef found(module ? PyObject_GetAttrString(module.get(), name) : nullptr);
  if (!found || PyDict_SetItemString(cache, name, found.get()) < 0) return nullptr;
  return found.get();  // the cache keeps it alive
}

// (rebuild function, args); steals args.
PyObject *reduction(const char *name, PyObject *args) {
  PyRef owned(args);
  if (!owned) return nullptr;
  PyObject *fn = rebuild_function(name);
  if (!fn) return nullptr;
  return PyTuple_Pack(2, fn, owned.get());
}

PyObject *bad_state(const char *what) {
  PyErr_Format(korvo_interface_error, "Cannot rebuild a korvo object from this data: %s", what);
  return nullptr;
}

// ---- variables ---------------------------------------------------------------

// (name or None, lb, ub, threshold, vartype), trailing defaults left out: a
// default variable pickles as an empty tuple.
PyObject *var_reduce(PyObject *self, PyObject *) {
  const uint64_t info = as_var(self)->info;
  PyRef name(var_has_own_name(info) ? get_var_name(info) : Py_NewRef(Py_None));
  if (!name) return nullptr;
  const double lb = get_var_lbound(info), ub = get_var_ubound(info), threshold = get_var_thold(info);
  const int type = get_var_type(info);
  int n = type != 0 ? 5 : threshold != -KRV_INFINITY ? 4 : ub != KRV_INFINITY ? 3 : lb != 0.0 ? 2 : name.get() != Py_None ? 1 : 0;
  PyRef args(PyTuple_New(n));
  if (!args) return nullptr;
  PyObject *items[5] = {Py_NewRef(name.get()), PyFloat_FromDouble(lb), PyFloat_FromDouble(ub),
                        PyFloat_FromDouble(threshold), PyLong_FromLong(type)};
  bool ok = true;
  for (int i = 0; i < 5; ++i) {
    if (!items[i]) ok = false;
    if (i < n && items[i])
      PyTuple_SET_ITEM(args.get(), i, items[i]);
    else
      Py_XDECREF(items[i]);
  }
  if (!ok) return nullptr;
  return reduction("_rebuild_var", args.release());
}

PyObject *rebuild_var(PyObject *, PyObject *args) {
  PyObject *name = Py_None;
  double lb = 0.0, ub = KRV_INFINITY, threshold = -KRV_INFINITY;
  long long type = 0;
  if (!PyArg_ParseTuple(args, "|OdddL:_rebuild_var", &name, &lb, &ub, &threshold, &type)) return nullptr;
  if (type < 0 || type > 7) return bad_state("variable type out of range");
  PyRef var(var_base());
  if (!var) return nullptr;
  uint64_t *info = &as_var(var.get())->info;
  if (set_var_lbound(info, lb) < 0 || set_var_ubound(info, ub) < 0 || set_var_thold(info, threshold) < 0)
    return nullptr;
  set_var_type(info, type);
  if (name != Py_None && set_var_name(info, name) < 0) return nullptr;
  return var.release();
}

// ---- terms and expressions -----------------------------------------------------

PyObject *linterm_reduce(PyObject *self, PyObject *) {
  linterm_s *t = as_linterm(self);
  if (!t->var) return interface_error("A linear term without a variable cannot be pickled");
  return reduction("_rebuild_linterm", Py_BuildValue("(dO)", t->coef, reinterpret_cast<PyObject *>(t->var)));
}

PyObject *rebuild_linterm(PyObject *, PyObject *args) {
  double coef = 0;
  PyObject *var = nullptr;
  if (!PyArg_ParseTuple(args, "dO!:_rebuild_linterm", &coef, &korvo_varType, &var)) return nullptr;
  PyRef term(linterm_base());
  if (!term) return nullptr;
  as_linterm(term.get())->coef = coef;
  as_linterm(term.get())->var = reinterpret_cast<var_s *>(Py_NewRef(var));
  return term.release();
}

PyObject *quadterm_reduce(PyObject *self, PyObject *) {
  quadterm_s *t = as_quadterm(self);
  if (!t->first || !t->second) return interface_error("A quadratic term without variables cannot be pickled");
  return reduction("_rebuild_quadterm", Py_BuildValue("(dOO)", t->coef, reinterpret_cast<PyObject *>(t->first),
                                                      reinterpret_cast<PyObject *>(t->second)));
}

PyObject *rebuild_quadterm(PyObject *, PyObject *args) {
  double coef = 0;
  PyObject *x = nullptr, *y = nullptr;
  if (!PyArg_ParseTuple(args, "dO!O!:_rebuild_quadterm", &coef, &korvo_varType, &x, &korvo_varType, &y))
    return nullptr;
  return quadterm_fill(x, y, coef);
}

// (constant, variables, linear positions, their coefficients, positions of
// the quadratic terms' two variables, their coefficients, frozen): the
// variables once each in identity order, positions as packed 32-bit
// integers and coefficients as packed doubles, so that an expression costs
// pickle a handful of objects whatever its length. Rebuilt in that order,
// the variables keep their relative order (and so the order terms print
// in) unless pickle met them earlier.
PyObject *expression_reduce(PyObject *self, PyObject *) {
  PyRef lin(expression_extractLinear(self, nullptr));
  PyRef quad(lin ? expression_extractQuadratic(self, nullptr) : nullptr);
  if (!quad) return nullptr;
  PyObject *lin_vars = PyTuple_GET_ITEM(lin.get(), 0), *lin_coefs = PyTuple_GET_ITEM(lin.get(), 1);
  PyObject *firsts = PyTuple_GET_ITEM(quad.get(), 0), *seconds = PyTuple_GET_ITEM(quad.get(), 1),
           *quad_coefs = PyTuple_GET_ITEM(quad.get(), 2);
  auto by_id = [](PyObject *a, PyObject *b) { return var_id(as_var(a)) < var_id(as_var(b)); };
  std::vector<PyObject *> all;
  for (PyObject *list : {lin_vars, firsts, seconds})
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) all.push_back(PyList_GET_ITEM(list, i));
  std::sort(all.begin(), all.end(), by_id);
  all.erase(std::unique(all.begin(), all.end(),
                        [](PyObject *a, PyObject *b) { return var_id(as_var(a)) == var_id(as_var(b)); }),
            all.end());
  auto position = [&](PyObject *v) { return int32_t(std::lower_bound(all.begin(), all.end(), v, by_id) - all.begin()); };
  const Py_ssize_t n = PyList_GET_SIZE(lin_vars), nq = PyList_GET_SIZE(firsts);
  std::vector<int32_t> lin_pos(static_cast<size_t>(n)), quad_pos(static_cast<size_t>(2 * nq));
  std::vector<double> lin_val(static_cast<size_t>(n)), quad_val(static_cast<size_t>(nq));
  for (Py_ssize_t i = 0; i < n; ++i) {
    lin_pos[size_t(i)] = position(PyList_GET_ITEM(lin_vars, i));
    lin_val[size_t(i)] = PyFloat_AsDouble(PyList_GET_ITEM(lin_coefs, i));
  }
  for (Py_ssize_t i = 0; i < nq; ++i) {
    quad_pos[size_t(2 * i)] = position(PyList_GET_ITEM(firsts, i));
    quad_pos[size_t(2 * i + 1)] = position(PyList_GET_ITEM(seconds, i));
    quad_val[size_t(i)] = PyFloat_AsDouble(PyList_GET_ITEM(quad_coefs, i));
  }
  if (PyErr_Occurred()) return nullptr;
  PyRef variables(PyList_New(Py_ssize_t(all.size())));
  if (!variables) return nullptr;
  for (size_t i = 0; i < all.size(); ++i) PyList_SET_ITEM(variables.get(), Py_ssize_t(i), Py_NewRef(all[i]));
  auto packed = [](const auto &v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(v.data()), Py_ssize_t(v.size() * sizeof v[0]));
  };
  expression_s *e = as_expression(self);
  return reduction("_rebuild_expression",
                   Py_BuildValue("(dONNNNO)", e->constant, variables.get(), packed(lin_pos), packed(lin_val),
                                 packed(quad_pos), packed(quad_val), expression_frozen(e) ? Py_True : Py_False));
}

PyObject *rebuild_expression(PyObject *, PyObject *args) {
  double constant = 0;
  PyObject *variables, *lin_pos, *lin_val, *quad_pos, *quad_val;
  int frozen = 0;
  if (!PyArg_ParseTuple(args, "dO!SSSSp:_rebuild_expression", &constant, &PyList_Type, &variables, &lin_pos, &lin_val,
                        &quad_pos, &quad_val, &frozen))
    return nullptr;
  const Py_ssize_t nv = PyList_GET_SIZE(variables);
  const Py_ssize_t n = PyBytes_GET_SIZE(lin_pos) / Py_ssize_t(sizeof(int32_t));
  const Py_ssize_t nq = PyBytes_GET_SIZE(quad_val) / Py_ssize_t(sizeof(double));
  if (PyBytes_GET_SIZE(lin_pos) != n * Py_ssize_t(sizeof(int32_t)) ||
      PyBytes_GET_SIZE(lin_val) != n * Py_ssize_t(sizeof(double)) ||
      PyBytes_GET_SIZE(quad_val) != nq * Py_ssize_t(sizeof(double)) ||
      PyBytes_GET_SIZE(quad_pos) != 2 * nq * Py_ssize_t(sizeof(int32_t)))
    return bad_state("lists of different lengths in an expression");
  for (Py_ssize_t i = 0; i < nv; ++i)
    if (!isVar(PyList_GET_ITEM(variables, i))) return bad_state("an expression term without a variable");
  std::vector<int32_t> lp(static_cast<size_t>(n)), qp(static_cast<size_t>(2 * nq));
  std::vector<double> lv(static_cast<size_t>(n)), qv(static_cast<size_t>(nq));
  if (n) {
    std::memcpy(lp.data(), PyBytes_AS_STRING(lin_pos), lp.size() * sizeof(int32_t));
    std::memcpy(lv.data(), PyBytes_AS_STRING(lin_val), lv.size() * sizeof(double));
  }
  if (nq) {
    std::memcpy(qp.data(), PyBytes_AS_STRING(quad_pos), qp.size() * sizeof(int32_t));
    std::memcpy(qv.data(), PyBytes_AS_STRING(quad_val), qv.size() * sizeof(double));
  }
  for (int32_t k : lp)
    if (k < 0 || k >= nv) return bad_state("a term position outside the variables");
  for (int32_t k : qp)
    if (k < 0 || k >= nv) return bad_state("a term position outside the variables");
  PyRef e(n > 0 ? expression_with_room(size_t(n)) : expression_base());
  if (!e) return nullptr;
  as_expression(e.get())->constant = constant;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (expression_addToLinTerm(e.get(), PyList_GET_ITEM(variables, lp[size_t(i)]), lv[size_t(i)]) < 0) return nullptr;
  for (Py_ssize_t i = 0; i < nq; ++i)
    if (expression_addToQuadTerm(e.get(), PyList_GET_ITEM(variables, qp[size_t(2 * i)]),
                                 PyList_GET_ITEM(variables, qp[size_t(2 * i + 1)]), qv[size_t(i)]) < 0)
      return nullptr;
  if (frozen) {
    if (linmap *lin_map = expression_lin(as_expression(e.get()))) linmap_freeze(lin_map);
  }
  return e.release();
}

// ---- nonlinear trees -----------------------------------------------------------

PyObject *nonlin_reduce(PyObject *self, PyObject *) {
  nonlin_s *node = as_nonlin(self);
  if (!node->args || node->op == NL_NONE) return interface_error("An empty nonlinear node cannot be pickled");
  return reduction("_rebuild_nonlinear", Py_BuildValue("(IO)", node->op, node->args));
}

// The operand container each operator's constructors make, so that a
// rebuilt node has exactly the shape the formula conversion expects.
PyObject *rebuild_nonlinear(PyObject *, PyObject *args) {
  unsigned int op = 0;
  PyObject *operands = nullptr;
  if (!PyArg_ParseTuple(args, "IO:_rebuild_nonlinear", &op, &operands)) return nullptr;
  const char *name = nonlin_op_name(op);
  if (!name) return bad_state("unknown nonlinear operator");
  switch (op) {
    case NL_SUM:
    case NL_PROD:
    case NL_PWL:
      if (!PyList_CheckExact(operands) || PyList_GET_SIZE(operands) == 0) return bad_state("malformed operand list");
      return nonlin_create(true, op, operands);
    case NL_MINUS:
    case NL_DIV:
    case NL_POW:
      if (!PyTuple_CheckExact(operands) || PyTuple_GET_SIZE(operands) != 2) return bad_state("malformed operand pair");
      return nonlin_create(true, op, operands);
    case NL_MAX:
    case NL_MIN:
    case NL_AND:
    case NL_OR:
    case NL_USER:
    case NL_USER_DERIV:
      if (!(PyTuple_CheckExact(operands) || PyList_CheckExact(operands)) || PySequence_Fast_GET_SIZE(operands) == 0)
        return bad_state("malformed operand list");
      return nonlin_create(true, op, operands);
    default:
      return nonlin_create(false, op, operands);
  }
}

// ---- constraints and sets --------------------------------------------------------

PyObject *constraint_reduce(PyObject *self, PyObject *) {
  constraint_s *c = as_constraint(self);
  PyRef name(c->info & CON_NAME_STORED ? get_con_name(c->info) : Py_NewRef(Py_None));
  if (!name) return nullptr;
  return reduction("_rebuild_constraint", Py_BuildValue("(OddO)", c->body ? c->body : Py_None,
                                                        get_con_lbound(c->info), get_con_ubound(c->info), name.get()));
}

PyObject *rebuild_constraint(PyObject *, PyObject *args) {
  PyObject *body = nullptr, *name = nullptr;
  double lb = 0, ub = 0;
  if (!PyArg_ParseTuple(args, "OddO:_rebuild_constraint", &body, &lb, &ub, &name)) return nullptr;
  // Constraints read from a file have no body.
  if (body != Py_None && getExprType(body) < 0) return nullptr;
  PyRef con(constraint_base());
  if (!con) return nullptr;
  constraint_s *c = as_constraint(con.get());
  if (set_con_lbound(&c->info, lb) < 0 || set_con_ubound(&c->info, ub) < 0) return nullptr;
  if (name != Py_None && set_con_name(&c->info, name) < 0) return nullptr;
  if (body != Py_None) c->body = Py_NewRef(body);
  return con.release();
}

PyObject *sos_reduce(PyObject *self, PyObject *) {
  sos_s *s = reinterpret_cast<sos_s *>(self);
  if (!s->indices || !s->weights) return interface_error("An unfinished set cannot be pickled");
  return reduction("_rebuild_sos", Py_BuildValue("(OOiO)", s->indices, s->weights, int(s->type),
                                                 s->name ? s->name : Py_None));
}

PyObject *rebuild_sos(PyObject *, PyObject *args) {
  PyObject *indices, *weights, *name;
  int type = 1;
  if (!PyArg_ParseTuple(args, "O!O!iO:_rebuild_sos", &PyList_Type, &indices, &PyList_Type, &weights, &type, &name))
    return nullptr;
  if (type != 1 && type != 2) return bad_state("set type other than 1 or 2");
  PyRef obj(sos_new(&korvo_sosType));
  if (!obj) return nullptr;
  sos_s *s = reinterpret_cast<sos_s *>(obj.get());
  s->type = type;
  Py_XSETREF(s->indices, Py_NewRef(indices));
  Py_XSETREF(s->weights, Py_NewRef(weights));
  if (name != Py_None) Py_XSETREF(s->name, Py_NewRef(name));
  return obj.release();
}

// Terms and nonlinear nodes never change once built: a shallow copy is the
// object itself, as for numbers.
PyObject *same_object(PyObject *self, PyObject *) { return Py_NewRef(self); }

// ---- problems ----------------------------------------------------------------------

const char *callback_kind_name(int kind) {
  static const char *const names[] = {"bariteration", "barlog",  "chgbranchobject", "cutlog",   "destroymt",
                                      "gapnotify",    "globallog", "infnode",         "intsol",   "lplog",
                                      "message",      "mipthread", "newnode",         "nodecutoff", "optnode",
                                      "preintsol",    "prenode",   "usersolnotify",   "checktime"};
  return kind >= 0 && kind < int(sizeof names / sizeof names[0]) ? names[kind] : nullptr;
}

// Engine buffers released on every path.
struct engine_buffer {
  void *data = nullptr;
  int64_t size = 0;
  ~engine_buffer() { KRVSfreebuffer(data); }
  PyObject *bytes() const { return PyBytes_FromStringAndSize(static_cast<const char *>(data), Py_ssize_t(size)); }
};

// Engine indices of a list's objects, as packed 32-bit integers.
PyObject *registry_indices(PyObject *list, rowcolmap *map, uint64_t (*identity)(PyObject *)) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  std::vector<int32_t> indices(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *value = nullptr;
    if (rowcolmap_get(map, identity(PyList_GET_ITEM(list, i)), &value) < 0)
      return interface_error("The problem's registry is inconsistent; it cannot be pickled");
    indices[size_t(i)] = int32_t(reinterpret_cast<intptr_t>(value));
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(indices.data()),
                                   Py_ssize_t(indices.size() * sizeof(int32_t)));
}

uint64_t var_identity(PyObject *o) { return var_id(as_var(o)); }
uint64_t con_identity(PyObject *o) { return con_id(as_constraint(o)->info); }
uint64_t sos_identity(PyObject *o) { return uint64_t(reinterpret_cast<sos_s *>(o)->id); }

// What cannot leave the process, as an InterfaceError; 0 when nothing.
int refuse_process_bound_parts(problem_s *p, const char *what) {
  for (int kind = 0; kind < KORVO_NUM_CALLBACK_KINDS; ++kind) {
    PyObject *slot = p->callbacks[kind];
    if (!slot || PyList_GET_SIZE(slot) == 0) continue;
    const char *name = callback_kind_name(kind);
    if (name)
      PyErr_Format(korvo_interface_error,
                   "%s: the problem has a registered %s callback, and callbacks are functions of this process; "
                   "remove it (removecb%s) and register it again on the new problem",
                   what, name, name);
    else
      PyErr_Format(korvo_interface_error,
                   "%s: the problem has a registered nonlinear solver callback, and callbacks are functions of "
                   "this process; remove it and register it again on the new problem",
                   what);
    return -1;
  }
  return 0;
}

// The problem's user functions in index order, each as (callable, whether
// it returns derivatives): pickled with the problem, they are defined again
// in the same order before the formulas that call them by index are
// restored. A function that cannot be pickled makes pickle say so by name.
PyObject *user_function_list(problem_s *p) {
  const Py_ssize_t n = p->user_functions ? PyDict_Size(p->user_functions) : 0;
  PyRef list(PyList_New(n));
  if (!list) return nullptr;
  Py_ssize_t pos = 0;
  PyObject *fn, *index;
  while (n && PyDict_Next(p->user_functions, &pos, &fn, &index)) {
    const long k = PyLong_AsLong(index);
    if (k < 1 || k > n) return interface_error("The problem's user functions are inconsistent; it cannot be pickled");
    int flags = 0;
    if (KNLSgetuserfuncflags(p->nlprob, int(k), &flags) != 0) return krvs_error(reinterpret_cast<PyObject *>(p));
    PyObject *entry = Py_BuildValue("(OO)", fn, (flags & KNLS_UF_DERIVATIVES) ? Py_True : Py_False);
    if (!entry) return nullptr;
    PyList_SET_ITEM(list.get(), k - 1, entry);
  }
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!PyList_GET_ITEM(list.get(), i)) return interface_error("The problem's user functions are inconsistent; it cannot be pickled");
  return list.release();
}

PyObject *problem_reduce(PyObject *self, PyObject *) {
  auto *p = reinterpret_cast<problem_s *>(self);
  const char *what = "This problem cannot be pickled or deep-copied";
  if (p->shadow_owner) return interface_error("The problem handed to a callback cannot be pickled or copied");
  if (!p->prob) return interface_error("A problem without a library problem cannot be pickled");
  if (problem_refuse_while_solving(p, "pickling") < 0 || problem_apply_object_changes(p) < 0) return nullptr;
  if (refuse_process_bound_parts(p, what) < 0) return nullptr;
  engine_buffer model, nonlinear;
  if (KRVSsavebuffer(p->prob, &model.data, &model.size) != 0) return krvs_error(self);
  if (p->nlprob && KNLSsavebuffer(p->nlprob, &nonlinear.data, &nonlinear.size) != 0) return krvs_error(self);
  PyRef state(PyDict_New());
  if (!state) return nullptr;
  PyRef model_bytes(model.bytes());
  PyRef nonlinear_bytes(p->nlprob ? nonlinear.bytes() : Py_NewRef(Py_None));
  PyRef var_cols(registry_indices(p->variables, p->var_index, var_identity));
  PyRef con_rows(var_cols ? registry_indices(p->constraints, p->con_index, con_identity) : nullptr);
  PyRef set_indices(con_rows ? registry_indices(p->sets, p->sos_index, sos_identity) : nullptr);
  PyRef functions(user_function_list(p));
  if (!functions) return nullptr;
  PyRef markers(Py_BuildValue("(iiiiii)", p->nl_const_col, p->nl_coef_count, p->nl_objective, p->transfer_col,
                              p->transfer_row, p->last_solve_nonlinear));
  if (!model_bytes || !nonlinear_bytes || !set_indices || !markers) return nullptr;
  // Copies of the lists: pickle and deepcopy see the objects as they are now.
  PyRef variables(PyList_GetSlice(p->variables, 0, PY_SSIZE_T_MAX));
  PyRef constraints(PyList_GetSlice(p->constraints, 0, PY_SSIZE_T_MAX));
  PyRef sets(PyList_GetSlice(p->sets, 0, PY_SSIZE_T_MAX));
  if (!variables || !constraints || !sets) return nullptr;
  const struct {
    const char *key;
    PyObject *value;
  } items[] = {{"format", nullptr},
               {"model", model_bytes.get()},
               {"nonlinear", nonlinear_bytes.get()},
               {"variables", variables.get()},
               {"columns", var_cols.get()},
               {"constraints", constraints.get()},
               {"rows", con_rows.get()},
               {"sets", sets.get()},
               {"set_indices", set_indices.get()},
               {"markers", markers.get()},
               {"user_functions", functions.get()}};
  PyRef format(PyLong_FromLong(1));
  if (!format) return nullptr;
  for (const auto &item : items)
    if (PyDict_SetItemString(state.get(), item.key, item.value ? item.value : format.get()) < 0) return nullptr;
  return reduction("_rebuild_problem", Py_BuildValue("(O)", state.get()));
}

PyObject *state_item(PyObject *state, const char *key, PyTypeObject *type) {
  PyObject *item = PyDict_GetItemString(state, key);
  if (!item || (type && !PyObject_TypeCheck(item, type))) {
    PyErr_Format(korvo_interface_error, "Cannot rebuild a korvo problem from this data: '%s' missing or wrong", key);
    return nullptr;
  }
  return item;
}

// Puts the objects of one list into the registry at the engine indices
// recorded for them, each index within the engine's count and used once.
int register_objects(problem_s *p, int which, PyObject *objects, PyObject *packed, int64_t count,
                     PyTypeObject *type) {
  const Py_ssize_t n = PyList_GET_SIZE(objects);
  if (PyBytes_GET_SIZE(packed) != Py_ssize_t(n * sizeof(int32_t))) return bad_state("index list of the wrong length"), -1;
  std::vector<int32_t> indices(static_cast<size_t>(n));
  if (n) std::memcpy(indices.data(), PyBytes_AS_STRING(packed), size_t(n) * sizeof(int32_t));
  std::vector<char> used(size_t(count), 0);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const int32_t index = indices[size_t(i)];
    if (index < 0 || index >= count || used[size_t(index)]) return bad_state("an index outside the model"), -1;
    used[size_t(index)] = 1;
    if (Py_TYPE(PyList_GET_ITEM(objects, i)) != type) return bad_state("an object of the wrong type"), -1;
  }
  for (Py_ssize_t i = 0; i < n; ++i)
    if (registry_append(p, which, PyList_GET_ITEM(objects, i), indices[size_t(i)]) < 0) return -1;
  return 0;
}

PyObject *rebuild_problem(PyObject *, PyObject *args) {
  PyObject *state = nullptr;
  if (!PyArg_ParseTuple(args, "O!:_rebuild_problem", &PyDict_Type, &state)) return nullptr;
  PyObject *format = state_item(state, "format", &PyLong_Type);
  if (!format) return nullptr;
  if (PyLong_AsLong(format) != 1) return interface_error("This problem was pickled by a newer korvo");
  PyObject *model = state_item(state, "model", &PyBytes_Type);
  PyObject *nonlinear = model ? state_item(state, "nonlinear", nullptr) : nullptr;
  PyObject *variables = nonlinear ? state_item(state, "variables", &PyList_Type) : nullptr;
  PyObject *columns = variables ? state_item(state, "columns", &PyBytes_Type) : nullptr;
  PyObject *constraints = columns ? state_item(state, "constraints", &PyList_Type) : nullptr;
  PyObject *rows = constraints ? state_item(state, "rows", &PyBytes_Type) : nullptr;
  PyObject *sets = rows ? state_item(state, "sets", &PyList_Type) : nullptr;
  PyObject *set_indices = sets ? state_item(state, "set_indices", &PyBytes_Type) : nullptr;
  PyObject *markers = set_indices ? state_item(state, "markers", &PyTuple_Type) : nullptr;
  if (!markers) return nullptr;
  if (nonlinear != Py_None && !PyBytes_Check(nonlinear)) return bad_state("nonlinear part of the wrong type");
  int nl_const_col, nl_coef_count, nl_objective, transfer_col, transfer_row, last_solve_nonlinear;
  if (!PyArg_ParseTuple(markers, "iiiiii", &nl_const_col, &nl_coef_count, &nl_objective, &transfer_col, &transfer_row,
                        &last_solve_nonlinear))
    return nullptr;

  PyRef obj(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&korvo_problemType)));
  if (!obj) return nullptr;
  auto *p = reinterpret_cast<problem_s *>(obj.get());
  if (KRVSrestorebuffer(p->prob, PyBytes_AS_STRING(model), PyBytes_GET_SIZE(model)) != 0) return krvs_error(obj.get());
  // Optional: data pickled before user functions travelled has none.
  PyObject *functions = PyDict_GetItemString(state, "user_functions");
  if (functions && !PyList_Check(functions)) return bad_state("user functions of the wrong type");
  for (Py_ssize_t i = 0; functions && i < PyList_GET_SIZE(functions); ++i) {
    PyObject *entry = PyList_GET_ITEM(functions, i);
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2 || !PyCallable_Check(PyTuple_GET_ITEM(entry, 0)))
      return bad_state("a user function that is not callable");
    PyRef operands(PyTuple_Pack(1, PyTuple_GET_ITEM(entry, 0)));
    int index = 0;
    if (!operands) return nullptr;
    const int rc = createUserFunction(p, operands.get(), &index, PyObject_IsTrue(PyTuple_GET_ITEM(entry, 1)) == 1);
    if (rc > 0) return krvs_error(obj.get());
    if (rc < 0) return nullptr;
    if (index != i + 1) return bad_state("the same user function twice");
  }
  if (nonlinear != Py_None &&
      KNLSrestorebuffer(p->nlprob, PyBytes_AS_STRING(nonlinear), PyBytes_GET_SIZE(nonlinear)) != 0)
    return krvs_error(obj.get());
  int64_t cols = 0, nrows = 0, nsets = 0;
  if (KRVSgetintattrib64(p->prob, kColumnsAttribute, &cols) != 0 ||
      KRVSgetintattrib64(p->prob, kRowsAttribute, &nrows) != 0 ||
      KRVSgetintattrib64(p->prob, kSetsAttribute, &nsets) != 0)
    return krvs_error(obj.get());
  if ((transfer_col >= cols) || (transfer_row >= nrows)) return bad_state("objective transfer outside the model");
  if (register_objects(p, 0, variables, columns, cols, &korvo_varType) < 0 ||
      register_objects(p, 1, constraints, rows, nrows, &korvo_constraintType) < 0 ||
      register_objects(p, 2, sets, set_indices, nsets, &korvo_sosType) < 0)
    return nullptr;
  p->nl_const_col = nl_const_col;
  p->nl_coef_count = nl_coef_count;
  p->nl_objective = nl_objective;
  p->transfer_col = transfer_col;
  p->transfer_row = transfer_row;
  p->last_solve_nonlinear = last_solve_nonlinear;
  return obj.release();
}

// copy.copy(p): the problem's own copy(), which keeps the same modelling
// objects and the callbacks.
PyObject *problem_shallow_copy(PyObject *self, PyObject *) { return PyObject_CallMethod(self, "copy", nullptr); }

// ---- notebook views -------------------------------------------------------------

// Calls korvo._notebook.<function>(self, *args, **kwargs).
PyObject *notebook_call(const char *function, PyObject *self, PyObject *args, PyObject *kwargs) {
  PyRef module(PyImport_ImportModule("korvo._notebook"));
  PyRef fn(module ? PyObject_GetAttrString(module.get(), function) : nullptr);
  if (!fn) return nullptr;
  const Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
  PyRef full(PyTuple_New(n + 1));
  if (!full) return nullptr;
  PyTuple_SET_ITEM(full.get(), 0, Py_NewRef(self));
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(full.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
  return PyObject_Call(fn.get(), full.get(), kwargs);
}

#define NOTEBOOK_VIEW(name, function) \
  PyObject *name(PyObject *self, PyObject *) { return notebook_call(function, self, nullptr, nullptr); }
NOTEBOOK_VIEW(problem_html, "problem_html")
NOTEBOOK_VIEW(var_html, "var_html")
NOTEBOOK_VIEW(expression_html, "expression_html")
NOTEBOOK_VIEW(nonlinear_html, "nonlinear_html")
NOTEBOOK_VIEW(constraint_html, "constraint_html")
NOTEBOOK_VIEW(sos_html, "sos_html")
NOTEBOOK_VIEW(problem_solution_array, "solution_array")
#undef NOTEBOOK_VIEW

PyObject *problem_solution_frame(PyObject *self, PyObject *args, PyObject *kwargs) {
  return notebook_call("solution_frame", self, args, kwargs);
}

#define HTML_ROW(fn) {"_repr_html_", fn, METH_NOARGS, "A compact HTML summary, shown by notebooks."}

#define REDUCE_DOC(what)                                                                                           \
  KORVO_DOC("Support for pickle and copy.deepcopy.", "obj.__reduce__()", "Arguments:\n  none.",                    \
            "pickle.loads(pickle.dumps(" what "))",                                                                \
            "Rebuilt objects take fresh identities; objects shared inside one pickle stay shared.")

PyMethodDef var_pickle_methods[] = {{"__reduce__", var_reduce, METH_NOARGS, REDUCE_DOC("x")}, HTML_ROW(var_html), {}};
PyMethodDef linterm_pickle_methods[] = {{"__reduce__", linterm_reduce, METH_NOARGS, REDUCE_DOC("2*x")},
                                        {"__copy__", same_object, METH_NOARGS, "Terms never change: the term itself."},
                                        HTML_ROW(expression_html),
                                        {}};
PyMethodDef quadterm_pickle_methods[] = {{"__reduce__", quadterm_reduce, METH_NOARGS, REDUCE_DOC("x*y")},
                                         {"__copy__", same_object, METH_NOARGS, "Terms never change: the term itself."},
                                         HTML_ROW(expression_html),
                                         {}};
PyMethodDef expression_pickle_methods[] = {{"__reduce__", expression_reduce, METH_NOARGS, REDUCE_DOC("x + y")},
                                           HTML_ROW(expression_html),
                                           {}};
PyMethodDef nonlin_pickle_methods[] = {
    {"__reduce__", nonlin_reduce, METH_NOARGS, REDUCE_DOC("korvo.exp(x)")},
    {"__copy__", same_object, METH_NOARGS, "Nonlinear expressions never change: the expression itself."},
    HTML_ROW(nonlinear_html),
    {}};
PyMethodDef constraint_pickle_methods[] = {{"__reduce__", constraint_reduce, METH_NOARGS, REDUCE_DOC("x <= 1")},
                                           HTML_ROW(constraint_html),
                                           {}};
PyMethodDef sos_pickle_methods[] = {{"__reduce__", sos_reduce, METH_NOARGS, REDUCE_DOC("korvo.sos([x, y], [1, 2])")},
                                    HTML_ROW(sos_html),
                                    {}};

PyMethodDef problem_pickle_methods[] = {
    {"__reduce__", problem_reduce, METH_NOARGS,
     KORVO_DOC("Support for pickle and copy.deepcopy.", "p.__reduce__()", "Arguments:\n  none.",
               "q = pickle.loads(pickle.dumps(p))",
               "The model with its names, the controls, the solution and basis, the nonlinear formulas and the "
               "variables, constraints and sets of the problem travel; getSolution(x) on the rebuilt problem takes "
               "the rebuilt x. User functions travel when pickle can send them (functions defined at the top "
               "level of a module); registered callbacks cannot travel and are refused with korvo.InterfaceError.")},
    {"__copy__", problem_shallow_copy, METH_NOARGS,
     KORVO_DOC("Support for copy.copy: the same as p.copy().", "copy.copy(p)", "Arguments:\n  none.",
               "q = copy.copy(p)", "The copy holds the same variable, constraint and set objects.")},
    HTML_ROW(problem_html),
    {"solution_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(problem_solution_frame)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Returns the solution as a pandas DataFrame.", "df = p.solution_frame(rows=False)",
               KORVO_ARG("rows: False for the variables (value, reduced cost for an LP, bounds, type), True for the "
                         "constraints (slack, dual for an LP)."),
               "p.solve(); df = p.solution_frame(); df.loc['x', 'value']",
               "Indexed by names. Needs pandas, which korvo does not install; without it, ImportError says so and "
               "solution_array() gives the same data as NumPy arrays.")},
    {"solution_array", problem_solution_array, METH_NOARGS,
     KORVO_DOC("Returns the solution as NumPy arrays.", "d = p.solution_array()", KORVO_NO_ARGS,
               "p.solve(); values = p.solution_array()['value']",
               "A dict of float arrays: 'value' per column and 'slack' per row; for a problem solved as an LP also "
               "'reduced_cost' and 'dual'. Raises korvo.SolverError when there is no solution.")},
    {}};
KORVO_REGISTER_PROBLEM_METHODS(problem_pickle_methods);

// Appends rows to a type's method table (before the type is readied).
int extend_methods(PyTypeObject *type, PyMethodDef *extra) {
  static std::vector<std::vector<PyMethodDef>> tables;
  std::vector<PyMethodDef> merged;
  for (PyMethodDef *def = type->tp_methods; def && def->ml_name; ++def) merged.push_back(*def);
  for (PyMethodDef *def = extra; def->ml_name; ++def) merged.push_back(*def);
  merged.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  tables.push_back(std::move(merged));
  type->tp_methods = tables.back().data();
  return 0;
}

}  // namespace

int pickling_prepare_types(void) {
  static bool done = false;
  if (done) return 0;
  done = true;
  const struct {
    PyTypeObject *type;
    PyMethodDef *methods;
  } additions[] = {{&korvo_varType, var_pickle_methods},
                   {&korvo_lintermType, linterm_pickle_methods},
                   {&korvo_quadtermType, quadterm_pickle_methods},
                   {&korvo_expressionType, expression_pickle_methods},
                   {&korvo_nonlinType, nonlin_pickle_methods},
                   {&korvo_constraintType, constraint_pickle_methods},
                   {&korvo_sosType, sos_pickle_methods}};
  for (const auto &a : additions)
    if (extend_methods(a.type, a.methods) < 0) return -1;
  return 0;
}

#define REBUILD_DOC(what)                                                                                     \
  KORVO_DOC("Rebuilds " what " from pickled data (used by pickle, not meant to be called directly).", \
            "korvo._rebuild_...(...)", "Arguments:\n  the values __reduce__ gave.", "pickle.loads(data)", \
            "Data that does not describe a valid object raises korvo.InterfaceError.")

PyMethodDef korvo_pickling_methods[] = {
    {"_rebuild_var", rebuild_var, METH_VARARGS, REBUILD_DOC("a variable")},
    {"_rebuild_linterm", rebuild_linterm, METH_VARARGS, REBUILD_DOC("a linear term")},
    {"_rebuild_quadterm", rebuild_quadterm, METH_VARARGS, REBUILD_DOC("a quadratic term")},
    {"_rebuild_expression", rebuild_expression, METH_VARARGS, REBUILD_DOC("an expression")},
    {"_rebuild_nonlinear", rebuild_nonlinear, METH_VARARGS, REBUILD_DOC("a nonlinear expression")},
    {"_rebuild_constraint", rebuild_constraint, METH_VARARGS, REBUILD_DOC("a constraint")},
    {"_rebuild_sos", rebuild_sos, METH_VARARGS, REBUILD_DOC("a special ordered set")},
    {"_rebuild_problem", rebuild_problem, METH_VARARGS, REBUILD_DOC("a problem")},
    {nullptr, nullptr, 0, nullptr}};
