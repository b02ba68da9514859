// Optimizer callbacks: the registration methods addcb<kind>/removecb<kind>
// (one row of the kind table each), copycallbacks, the problem object handed
// to a callback, and the native trampolines the engine calls.
//
// A registration is an entry [problem, callable, data, priority] kept in the
// problem's slot list of its kind; the entry is also the user-data pointer
// the engine hands back to the trampoline. The problem item is a borrowed
// pointer (the problem owns its slots, so a reference would make a cycle);
// it is replaced by None before an entry is dropped.
#include <Python.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "api/branchobj.h"
#include "api/callbacks.h"
#include "api/errors.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "krvs.h"
#include "problem/controls.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"

namespace {

constexpr int kStopUser = 9;
constexpr int kOptimizerKinds = 19;

const char *const kDefaultMessage = "Problem in callback, stopping optimization\n";

// ---- the problem handed to a callback ----------------------------------------

// A problem object bound to the engine handle of the call. It shares the
// registering problem's object lists and index maps (the handle is the
// registering problem's own engine problem, or the problem of one of its
// search's worker threads, which shares its model, so indices agree), which
// makes its cost independent of the model's size; it owns no engine problem.
PyObject *make_callback_problem(problem_s *owner, KRVSprob handle) {
  PyRef obj(PyType_GenericAlloc(&korvo_problemType, 0));
  if (!obj) return nullptr;
  auto *shadow = reinterpret_cast<problem_s *>(obj.get());
  shadow->shadow_owner = Py_NewRef(reinterpret_cast<PyObject *>(owner));
  shadow->prob = handle;
  shadow->nlprob = nullptr;
  shadow->variables = Py_NewRef(owner->variables);
  shadow->constraints = Py_NewRef(owner->constraints);
  shadow->sets = Py_NewRef(owner->sets);
  shadow->var_index = owner->var_index;
  shadow->con_index = owner->con_index;
  shadow->sos_index = owner->sos_index;
  for (int k = 0; k < KORVO_NUM_CALLBACK_KINDS; ++k) shadow->callbacks[k] = Py_XNewRef(owner->callbacks[k]);
  shadow->nl_const_col = owner->nl_const_col;
  shadow->nl_coef_count = owner->nl_coef_count;
  shadow->nl_objective = owner->nl_objective;
  shadow->transfer_col = owner->transfer_col;
  shadow->transfer_row = owner->transfer_row;
  // What the registering problem refuses while it is solved, the callback's
  // problem refuses too. It follows no change journal: the registering
  // problem brought the engine model up to date before its solve.
  shadow->solving = owner->solving;
  shadow->controls = ctrl_new_for_problem(obj.get());
  shadow->attributes = attr_new_for_problem(obj.get());
  if (!shadow->controls || !shadow->attributes) return nullptr;
  return obj.release();
}

// Everything the callback may keep (variables it read, say) stays valid:
// the lists are shared, not copied.
struct callback_problem {
  PyRef obj;
  problem_s *get() const { return reinterpret_cast<problem_s *>(obj.get()); }
};

problem_s *entry_problem(PyObject *entry) {
  if (!entry || !PyList_Check(entry) || PyList_GET_SIZE(entry) != 4) return nullptr;
  PyObject *owner = PyList_GET_ITEM(entry, 0);
  return owner && Py_IS_TYPE(owner, &korvo_problemType) ? reinterpret_cast<problem_s *>(owner) : nullptr;
}

// Keeps the exception of a failed callback on the registering problem, so
// that the solve method raises it whichever thread the callback ran on.
void keep_callback_error(problem_s *owner, const char *message) {
  fputs(message, stderr);
  fflush(stderr);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  if (owner && owner->solves_running > 0 && !owner->callback_error) {
    owner->callback_error = value ? value : Py_NewRef(type);
    if (value) value = nullptr;
  } else {
    // Outside a solve (a message while a file is read) nobody raises it.
    PyErr_Restore(Py_XNewRef(type), Py_XNewRef(value), Py_XNewRef(traceback));
    PyErr_WriteUnraisable(owner ? reinterpret_cast<PyObject *>(owner) : Py_None);
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

bool callbacks_failed(problem_s *owner) { return (owner && owner->callback_error) || PyErr_Occurred(); }

}  // namespace

// ---- trampolines -------------------------------------------------------------

namespace {

// Steps shared by every trampoline: skip when an earlier callback of the
// solve failed, make the callback's problem, call, keep a raised exception
// and ask the engine (through `stop`) to end the solve.
template <class Stop>
PyObject *call_entry(void *entry_ptr, KRVSprob handle, KNLSprob nl_handle, const char *message, PyObject *extra,
                     Stop &&stop) {
  auto *entry = static_cast<PyObject *>(entry_ptr);
  problem_s *owner = entry_problem(entry);
  if (callbacks_failed(owner)) {
    stop();
    return nullptr;
  }
  if (!owner) return nullptr;
  PyObject *callable = PyList_GET_ITEM(entry, 1);
  PyObject *data = PyList_GET_ITEM(entry, 2);
  PyRef shadow(make_callback_problem(owner, handle ? handle : owner->prob));
  PyObject *result = nullptr;
  if (shadow) {
    reinterpret_cast<problem_s *>(shadow.get())->nlprob = nl_handle;
    Py_ssize_t n_extra = extra ? PyTuple_GET_SIZE(extra) : 0;
    PyRef args(PyTuple_New(2 + n_extra));
    if (args) {
      PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(shadow.get()));
      PyTuple_SET_ITEM(args.get(), 1, Py_NewRef(data));
      for (Py_ssize_t i = 0; i < n_extra; ++i)
        PyTuple_SET_ITEM(args.get(), 2 + i, Py_NewRef(PyTuple_GET_ITEM(extra, i)));
      result = PyObject_Call(callable, args.get(), nullptr);
    }
  }
  if (!result) {
    keep_callback_error(owner, message);
    stop();
  }
  return result;
}

}  // namespace

PyObject *callback_call(KRVSprob handle, void *entry, const char *message, PyObject *extra) {
  return call_entry(entry, handle, nullptr, message, extra, [&] { KRVSinterrupt(handle, kStopUser); });
}

PyObject *callback_call_nonlinear(KNLSprob handle, void *entry, const char *message, PyObject *extra) {
  return call_entry(entry, nullptr, handle, message, extra, [&] { KNLSinterrupt(handle, kStopUser); });
}

void callback_refuse_result(KRVSprob handle, const char *message) {
  fputs(message, stderr);
  fflush(stderr);
  KRVSinterrupt(handle, kStopUser);
}

int callback_int_result(PyObject *result) {
  if (result == Py_None) return 0;
  if (!is_integer_value(result)) return -1;
  long long v = PyLong_AsLongLong(result);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return -1;
  }
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : int(v);
}

namespace {

// An item of gapnotify's and preintsol's tuples: None (nothing written), an
// integer value or a float. False for anything else.
bool optional_number(PyObject *item, bool *given, double *value) {
  *given = false;
  if (item == Py_None) return true;
  if (!is_float_or_integer_value(item)) return false;
  double v = PyFloat_AsDouble(item);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *given = true;
  *value = v;
  return true;
}

template <class F>
auto with_gil(F &&body) {
  GilGuard gil;
  return body();
}

// (problem, data) callbacks whose result is an int handed back to the engine.
int int_returning(KRVSprob prob, void *entry) {
  return with_gil([&] {
    PyRef r(callback_call(prob, entry, kDefaultMessage, nullptr));
    return r ? callback_int_result(r.get()) : 1;  // a failed call asks for the stop it has requested
  });
}

// (problem, data) callbacks whose result is ignored.
void plain(KRVSprob prob, void *entry, const char *message) {
  with_gil([&] {
    PyRef r(callback_call(prob, entry, message, nullptr));
    return 0;
  });
}

void wrapper_bariteration(KRVSprob prob, void *entry, int *action) {
  with_gil([&] {
    PyRef r(callback_call(prob, entry, kDefaultMessage, nullptr));
    if (r && action) *action = callback_int_result(r.get());
    return 0;
  });
}
int wrapper_barlog(KRVSprob prob, void *entry) { return int_returning(prob, entry); }
int wrapper_cutlog(KRVSprob prob, void *entry) { return int_returning(prob, entry); }
int wrapper_globallog(KRVSprob prob, void *entry) { return int_returning(prob, entry); }
int wrapper_lplog(KRVSprob prob, void *entry) { return int_returning(prob, entry); }
int wrapper_checktime(KRVSprob prob, void *entry) { return int_returning(prob, entry); }
void wrapper_destroymt(KRVSprob prob, void *entry) { plain(prob, entry, kDefaultMessage); }
void wrapper_infnode(KRVSprob prob, void *entry) { plain(prob, entry, kDefaultMessage); }
void wrapper_intsol(KRVSprob prob, void *entry) { plain(prob, entry, kDefaultMessage); }

void wrapper_gapnotify(KRVSprob prob, void *entry, double *relgap, double *absgap, double *absobj,
                       double *absbound) {
  with_gil([&] {
    PyRef r(callback_call(prob, entry, "Problem in gapnotify() callback, stopping optimization\n", nullptr));
    if (!r) return 0;
    double *targets[4] = {relgap, absgap, absobj, absbound};
    bool given[4] = {false, false, false, false};
    double values[4] = {0, 0, 0, 0};
    bool ok = PyTuple_Check(r.get()) && PyTuple_GET_SIZE(r.get()) == 4;
    for (int i = 0; ok && i < 4; ++i) ok = optional_number(PyTuple_GET_ITEM(r.get(), i), &given[i], &values[i]);
    if (!ok) {
      callback_refuse_result(
          prob, "Problem in GapNotify callback: must return tuple of four elements, each being a number or None.\n");
      return 0;
    }
    for (int i = 0; i < 4; ++i)
      if (given[i] && targets[i]) *targets[i] = values[i];
    return 0;
  });
}

void wrapper_message(KRVSprob prob, void *entry, const char *msg, int, int msgtype) {
  with_gil([&] {
    PyRef extra(Py_BuildValue("(Oi)", Py_None, msgtype));
    if (!extra) return 0;
    if (msg) {
      PyObject *text = PyUnicode_DecodeUTF8(msg, Py_ssize_t(strlen(msg)), "replace");
      if (!text) return 0;
      PyTuple_SetItem(extra.get(), 0, text);
    }
    PyRef r(callback_call(prob, entry, "Problem in message() callback, stopping optimization\n", extra.get()));
    return 0;
  });
}

void wrapper_mipthread(KRVSprob prob, void *entry, KRVSprob threadprob) {
  with_gil([&] {
    problem_s *owner = entry_problem(static_cast<PyObject *>(entry));
    if (!owner) return 0;
    PyRef thread_problem(make_callback_problem(owner, threadprob));
    if (!thread_problem) {
      keep_callback_error(owner, "Problem in mipthread() callback, stopping optimization\n");
      KRVSinterrupt(prob, kStopUser);
      return 0;
    }
    PyRef extra(PyTuple_Pack(1, thread_problem.get()));
    if (!extra) return 0;
    PyRef r(callback_call(prob, entry, "Problem in mipthread() callback, stopping optimization\n", extra.get()));
    return 0;
  });
}

void wrapper_newnode(KRVSprob prob, void *entry, int parent, int node, int branch) {
  with_gil([&] {
    PyRef extra(Py_BuildValue("(iii)", parent, node, branch));
    if (!extra) return 0;
    PyRef r(callback_call(prob, entry, "Problem in newnode() callback, stopping optimization\n", extra.get()));
    return 0;
  });
}

void wrapper_nodecutoff(KRVSprob prob, void *entry, int node) {
  with_gil([&] {
    PyRef extra(Py_BuildValue("(i)", node));
    if (!extra) return 0;
    PyRef r(callback_call(prob, entry, "Problem in nodecutoff() callback, stopping optimization\n", extra.get()));
    return 0;
  });
}

void node_flag(KRVSprob prob, void *entry, int *infeasible) {
  with_gil([&] {
    PyRef r(callback_call(prob, entry, kDefaultMessage, nullptr));
    if (r && infeasible) *infeasible = callback_int_result(r.get());
    return 0;
  });
}
void wrapper_optnode(KRVSprob prob, void *entry, int *infeasible) { node_flag(prob, entry, infeasible); }
void wrapper_prenode(KRVSprob prob, void *entry, int *infeasible) { node_flag(prob, entry, infeasible); }

void wrapper_preintsol(KRVSprob prob, void *entry, int soltype, int *reject, double *cutoff) {
  with_gil([&] {
    PyRef extra(Py_BuildValue("(id)", soltype, cutoff ? *cutoff : 0.0));
    if (!extra) return 0;
    PyRef r(callback_call(prob, entry, "Problem in preintsol() callback, stopping optimization\n", extra.get()));
    if (!r) return 0;
    bool reject_given = false, cutoff_given = false;
    double reject_value = 0, cutoff_value = 0;
    bool ok = PyTuple_Check(r.get()) && PyTuple_GET_SIZE(r.get()) == 2;
    if (ok) {
      PyObject *flag = PyTuple_GET_ITEM(r.get(), 0);
      ok = flag == Py_None || is_integer_value(flag);
      if (ok && flag != Py_None) {
        reject_given = true;
        reject_value = callback_int_result(flag);
      }
    }
    if (ok) ok = optional_number(PyTuple_GET_ITEM(r.get(), 1), &cutoff_given, &cutoff_value);
    if (!ok) {
      callback_refuse_result(
          prob, "Problem in PreIntSol callback: must return tuple of two elements, both being a number or None.\n");
      return 0;
    }
    if (reject_given && reject) *reject = int(reject_value);
    if (cutoff_given && cutoff) *cutoff = cutoff_value;
    return 0;
  });
}

// The search's candidate is lent to the callback: its handle loses the
// engine object when the call returns. A branching object handed back is
// taken over by the search (its handle loses it too).
void wrapper_chgbranchobject(KRVSprob prob, void *entry, KRVSbranchobject candidate, KRVSbranchobject *newobject) {
  with_gil([&] {
    const char *message = "Problem in chgbranchobject() callback, stopping optimization\n";
    problem_s *owner = entry_problem(static_cast<PyObject *>(entry));
    if (!owner || callbacks_failed(owner)) {
      KRVSinterrupt(prob, kStopUser);
      return 0;
    }
    PyRef handed(branchobj_wrap_borrowed(reinterpret_cast<PyObject *>(owner), candidate));
    PyRef extra(handed ? PyTuple_Pack(1, handed.get()) : nullptr);
    if (!extra) {
      keep_callback_error(owner, message);
      KRVSinterrupt(prob, kStopUser);
      return 0;
    }
    PyRef r(callback_call(prob, entry, message, extra.get()));
    KRVSbranchobject returned = r ? branchobj_engine_object(r.get()) : nullptr;
    branchobj_release_engine_object(handed.get());
    if (!r) return 0;
    if (!returned) {
      callback_refuse_result(prob, "returned object from chgbranchobject() should be a branching object\n");
      return 0;
    }
    if (newobject) *newobject = returned;
    branchobj_release_engine_object(r.get());
    return 0;
  });
}

void wrapper_usersolnotify(KRVSprob prob, void *entry, const char *solname, int status) {
  with_gil([&] {
    PyRef extra(Py_BuildValue("(si)", solname ? solname : "", status));
    if (!extra) return 0;
    PyRef r(callback_call(prob, entry, "Problem in usersolnotify() callback, stopping optimization\n", extra.get()));
    return 0;
  });
}

// ---- the kind table ----------------------------------------------------------

struct callback_kind {
  int kind;
  const char *name;
  int (*add)(KRVSprob prob, void *entry, int priority);
  int (*remove)(KRVSprob prob, void *entry);
};

#define KORVO_CALLBACK_KIND(id, name, engine_name)                                                       \
  callback_kind {                                                                                        \
    id, name, [](KRVSprob prob, void *entry, int priority) {                                             \
      return KRVSaddcb##engine_name(prob, wrapper_##engine_name, entry, priority);                       \
    },                                                                                                   \
        [](KRVSprob prob, void *entry) { return KRVSremovecb##engine_name(prob, wrapper_##engine_name, entry); } \
  }

const callback_kind kCallbackKinds[kOptimizerKinds] = {
    KORVO_CALLBACK_KIND(0, "bariteration", bariteration),
    KORVO_CALLBACK_KIND(1, "barlog", barlog),
    KORVO_CALLBACK_KIND(2, "chgbranchobject", chgbranchobject),
    KORVO_CALLBACK_KIND(3, "cutlog", cutlog),
    KORVO_CALLBACK_KIND(4, "destroymt", destroymt),
    KORVO_CALLBACK_KIND(5, "gapnotify", gapnotify),
    KORVO_CALLBACK_KIND(6, "globallog", globallog),
    KORVO_CALLBACK_KIND(7, "infnode", infnode),
    KORVO_CALLBACK_KIND(8, "intsol", intsol),
    KORVO_CALLBACK_KIND(9, "lplog", lplog),
    callback_kind{10, "message",
                  [](KRVSprob prob, void *entry, int priority) {
                    return KRVSaddcbmessage(prob, wrapper_message, entry, priority);
                  },
                  [](KRVSprob prob, void *entry) { return KRVSremovecbmessage(prob, wrapper_message, entry); }},
    KORVO_CALLBACK_KIND(11, "mipthread", mipthread),
    KORVO_CALLBACK_KIND(12, "newnode", newnode),
    KORVO_CALLBACK_KIND(13, "nodecutoff", nodecutoff),
    KORVO_CALLBACK_KIND(14, "optnode", optnode),
    KORVO_CALLBACK_KIND(15, "preintsol", preintsol),
    KORVO_CALLBACK_KIND(16, "prenode", prenode),
    KORVO_CALLBACK_KIND(17, "usersolnotify", usersolnotify),
    KORVO_CALLBACK_KIND(18, "checktime", checktime),
};

// Nonlinear kinds (19-39) are served by the nonlinear solver's family through
// the same store; their engine registration is set here once that family
// provides it.
const callback_nl_kind *nonlinear_kinds[KORVO_NUM_CALLBACK_KINDS] = {};
const callback_nl_kind *nl_kind(int kind) {
  return kind >= kOptimizerKinds && kind < KORVO_NUM_CALLBACK_KINDS ? nonlinear_kinds[kind] : nullptr;
}

}  // namespace

void callback_register_nonlinear_kind(int kind, const callback_nl_kind *how) {
  if (kind >= kOptimizerKinds && kind < KORVO_NUM_CALLBACK_KINDS) nonlinear_kinds[kind] = how;
}

// ---- the store -----------------------------------------------------------------

namespace {

// Drops an entry: the borrowed problem item is replaced first, so that the
// list's release does not release the problem.
void detach_entry(PyObject *entry) {
  if (PyList_Check(entry) && PyList_GET_SIZE(entry) >= 1) {
    PyObject *old = PyList_GET_ITEM(entry, 0);
    if (old != Py_None) PyList_SET_ITEM(entry, 0, Py_NewRef(Py_None));
    (void)old;  // borrowed: no reference to drop
  }
}

int engine_add(problem_s *p, int kind, PyObject *entry, int priority) {
  if (kind >= 0 && kind < kOptimizerKinds) {
    if (!kCallbackKinds[kind].add) {
      PyErr_Format(korvo_interface_error, "%s callbacks cannot be registered: the search has no branching objects yet",
                   kCallbackKinds[kind].name);
      return -1;
    }
    return kCallbackKinds[kind].add(p->prob, entry, priority);
  }
  const callback_nl_kind *nl = nl_kind(kind);
  if (!nl) {
    PyErr_SetString(korvo_interface_error, "Incorrect callback function");
    return -1;
  }
  if (!p->nlprob) {
    PyErr_SetString(korvo_interface_error, "Nonlinear callbacks need the problem's nonlinear solver");
    return -1;
  }
  return nl->set(p->nlprob, entry);
}

int engine_remove(problem_s *p, int kind, PyObject *entry) {
  if (kind >= 0 && kind < kOptimizerKinds)
    return kCallbackKinds[kind].remove ? kCallbackKinds[kind].remove(p->prob, entry) : 0;
  const callback_nl_kind *nl = nl_kind(kind);
  if (!nl || !p->nlprob) {
    PyErr_SetString(korvo_interface_error, "Incorrect callback function");
    return -1;
  }
  return nl->unset(p->nlprob, entry);
}

}  // namespace

int callbackInList(problem_s *p, int kind, PyObject *callable, PyObject *data, int priority) {
  if (kind < 0 || kind >= KORVO_NUM_CALLBACK_KINDS) {
    PyErr_SetString(korvo_interface_error, "Incorrect callback function");
    return -1;
  }
  PyRef entry(PyList_New(4));
  PyRef prio(PyLong_FromLong(priority));
  if (!entry || !prio) return -1;
  PyList_SET_ITEM(entry.get(), 0, reinterpret_cast<PyObject *>(p));  // borrowed, see detach_entry
  PyList_SET_ITEM(entry.get(), 1, Py_NewRef(callable));
  PyList_SET_ITEM(entry.get(), 2, Py_NewRef(data));
  PyList_SET_ITEM(entry.get(), 3, prio.release());
  PyRef fresh_slot;
  PyObject *slot = p->callbacks[kind];
  if (!slot) {
    fresh_slot.reset(PyList_New(0));
    if (!fresh_slot) {
      detach_entry(entry.get());
      return -1;
    }
  }
  // Room first, so that a registered entry is never left outside the list.
  PyObject *list = slot ? slot : fresh_slot.get();
  if (PyList_Append(list, entry.get()) < 0) {
    detach_entry(entry.get());
    return -1;
  }
  if (engine_add(p, kind, entry.get(), priority) != 0) {
    PySequence_DelItem(list, PyList_GET_SIZE(list) - 1);
    detach_entry(entry.get());
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    return -1;
  }
  if (!slot) p->callbacks[kind] = fresh_slot.release();
  return 0;
}

int removeCallback(problem_s *p, int kind, PyObject *callable, PyObject *data, bool call_engine) {
  PyObject *slot = p->callbacks[kind];
  const bool any_callable = !callable || callable == Py_None;
  const bool any_data = !data || data == Py_None;
  if (!slot) {
    if (any_callable) return 0;
    PyErr_SetString(korvo_interface_error, "Cannot remove callback from an empty set");
    return -1;
  }
  PyRef hold = PyRef::borrow(slot);
  bool matched = false;
  for (Py_ssize_t i = PyList_GET_SIZE(slot) - 1; i >= 0; --i) {
    PyObject *entry = PyList_GET_ITEM(slot, i);
    if (!PyList_Check(entry) || PyList_GET_SIZE(entry) != 4) {
      PyErr_SetString(korvo_interface_error, "Incorrect data stored in callback");
      return -1;
    }
    if (!(any_callable || PyList_GET_ITEM(entry, 1) == callable)) continue;
    if (!(any_data || PyList_GET_ITEM(entry, 2) == data)) continue;
    matched = true;
    if (call_engine && p->prob && engine_remove(p, kind, entry) != 0) {
      setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
      return -1;
    }
    PyRef held = PyRef::borrow(entry);
    detach_entry(entry);
    if (PySequence_DelItem(slot, i) < 0) return -1;
  }
  if ((!callable && !data) || PyList_GET_SIZE(slot) == 0) Py_CLEAR(p->callbacks[kind]);
  if (!matched) {
    PyErr_SetString(korvo_interface_error, "Callback not found");
    return -1;
  }
  return 0;
}

void problem_clear_callbacks(problem_s *p) {
  for (int k = 0; k < KORVO_NUM_CALLBACK_KINDS; ++k) {
    if (!p->callbacks[k]) continue;
    if (p->shadow_owner) {
      // Shared with the registering problem, which keeps them.
      Py_CLEAR(p->callbacks[k]);
      continue;
    }
    PyObject *slot = p->callbacks[k];
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(slot); ++i) detach_entry(PyList_GET_ITEM(slot, i));
    Py_CLEAR(p->callbacks[k]);
  }
}

int problem_copy_callbacks(problem_s *target, problem_s *source) {
  for (int k = 0; k < KORVO_NUM_CALLBACK_KINDS; ++k) {
    PyObject *slot = source->callbacks[k];
    if (!slot) continue;
    PyRef hold = PyRef::borrow(slot);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(slot); ++i) {
      PyObject *entry = PyList_GET_ITEM(slot, i);
      if (!PyList_Check(entry) || PyList_GET_SIZE(entry) != 4) {
        PyErr_SetString(korvo_interface_error, "Invalid callback to be copied");
        return -1;
      }
      long priority = PyLong_AsLong(PyList_GET_ITEM(entry, 3));
      if (priority == -1 && PyErr_Occurred()) return -1;
      if (callbackInList(target, k, PyList_GET_ITEM(entry, 1), PyList_GET_ITEM(entry, 2), int(priority)) < 0)
        return -1;
    }
  }
  return 0;
}

void callbacks_solve_begin(problem_s *p) {
  if (p->solves_running++ == 0) Py_CLEAR(p->callback_error);
}

int callbacks_solve_end(problem_s *p) {
  if (--p->solves_running > 0 || !p->callback_error) return 0;
  PyObject *error = p->callback_error;
  p->callback_error = nullptr;
  if (PyErr_Occurred()) {
    Py_DECREF(error);
    return -1;
  }
  if (PyExceptionInstance_Check(error)) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error)), error);
    Py_DECREF(error);
  } else {
    PyErr_SetNone(error);
    Py_DECREF(error);
  }
  return -1;
}

// ---- methods -------------------------------------------------------------------

namespace {

template <int K>
PyObject *addcb_method(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"callback", "data", "priority", nullptr};
  PyObject *callable = nullptr, *data = Py_None, *priority_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO", const_cast<char **>(keywords), &callable, &data,
                                   &priority_obj) ||
      !PyCallable_Check(callable) || (priority_obj && !is_integer_value(priority_obj))) {
    PyErr_Clear();
    PyErr_SetString(korvo_interface_error, "Cannot add callback");
    return nullptr;
  }
  long priority = priority_obj ? PyLong_AsLong(priority_obj) : 0;
  if ((priority == -1 && PyErr_Occurred()) || priority > INT32_MAX || priority < INT32_MIN) {
    PyErr_Clear();
    PyErr_SetString(korvo_interface_error, "Cannot add callback");
    return nullptr;
  }
  auto *p = reinterpret_cast<problem_s *>(self);
  if (!p->prob) {
    PyErr_SetString(korvo_interface_error, "Cannot add callback");
    return nullptr;
  }
  if (callbackInList(p, K, callable, data, int(priority)) < 0) return nullptr;
  Py_RETURN_NONE;
}

template <int K>
PyObject *removecb_method(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"callback", "data", nullptr};
  PyObject *callable = nullptr, *data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO", const_cast<char **>(keywords), &callable, &data) ||
      (callable && callable != Py_None && !PyCallable_Check(callable))) {
    PyErr_Clear();
    PyErr_SetString(korvo_interface_error, "Cannot remove callback");
    return nullptr;
  }
  if (removeCallback(reinterpret_cast<problem_s *>(self), K, callable, data, true) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *copycallbacks_method(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"src", nullptr};
  PyObject *src = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char **>(keywords), &src) ||
      !PyObject_TypeCheck(src, &korvo_problemType) || !reinterpret_cast<problem_s *>(self)->prob ||
      !reinterpret_cast<problem_s *>(src)->prob) {
    PyErr_Clear();
    PyErr_SetString(korvo_interface_error, "copycallbacks() must be called with the source problem as argument");
    return nullptr;
  }
  if (src == self) Py_RETURN_NONE;  // copying a problem's registrations onto itself would double them
  if (problem_copy_callbacks(reinterpret_cast<problem_s *>(self), reinterpret_cast<problem_s *>(src)) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

#define KORVO_CB_ADD_DOC(kind, call, returns)                                                                  \
  KORVO_DOC("Registers a function called by the optimizer at its " kind " event.",                              \
            "p.addcb" kind "(callback, data=None, priority=0)",                                                 \
            KORVO_ARGS("callback: called as " call ";\n  data: any object, handed to every call;\n  priority: " \
                       "higher priorities are called first."),                                                 \
            "p.addcb" kind "(f, None, 0)", returns)
#define KORVO_CB_REMOVE_DOC(kind)                                                                                 \
  KORVO_DOC("Removes functions registered with addcb" kind "().", "p.removecb" kind "(callback=None, data=None)", \
            KORVO_ARGS("callback, data: remove only the registrations of this very function and data object; "  \
                       "None matches any."),                                                                     \
            "p.removecb" kind "(f)", "Without arguments every registration of the kind is removed.")

#define KORVO_CB_METHODS(K, add_name, remove_name, kind, call, returns)                                 \
  KORVO_CALLBACK_METHOD_PAIR(add_name, addcb_method<K>, KORVO_CB_ADD_DOC(kind, call, returns), remove_name, \
                             removecb_method<K>, KORVO_CB_REMOVE_DOC(kind))

#define KORVO_RETURNS_INT(what) "The result is an int (None counts as 0): " what "."

PyMethodDef callback_methods[] = {
    KORVO_CB_METHODS(0, "addcbbariteration", "removecbbariteration", "bariteration", "callback(problem, data) at every barrier iteration",
                     KORVO_RETURNS_INT("nonzero stops the barrier")),
    KORVO_CB_METHODS(1, "addcbbarlog", "removecbbarlog", "barlog", "callback(problem, data) at every barrier log line",
                     KORVO_RETURNS_INT("nonzero stops the solve")),
    KORVO_CB_METHODS(2, "addcbchgbranchobject", "removecbchgbranchobject", "chgbranchobject", "callback(problem, data, branch) with the search's candidate branching",
                     "The result must be a korvo.branchobj, used for the node instead of the candidate."),
    KORVO_CB_METHODS(3, "addcbcutlog", "removecbcutlog", "cutlog", "callback(problem, data) after the cuts of a node", KORVO_RETURNS_INT("nonzero stops the solve")),
    KORVO_CB_METHODS(4, "addcbdestroymt", "removecbdestroymt", "destroymt", "callback(problem, data) when a search worker ends", "The result is ignored."),
    KORVO_CB_METHODS(5, "addcbgapnotify", "removecbgapnotify", "gapnotify",
                     "callback(problem, data) when the gap reaches a target of the gapnotify controls",
                     "The result is a tuple of four numbers or None: new relative gap, absolute gap, objective and "
                     "bound targets."),
    KORVO_CB_METHODS(6, "addcbgloballog", "removecbgloballog", "globallog", "callback(problem, data) at every line of the search log",
                     KORVO_RETURNS_INT("nonzero stops the solve")),
    KORVO_CB_METHODS(7, "addcbinfnode", "removecbinfnode", "infnode", "callback(problem, data) when a node is infeasible", "The result is ignored."),
    KORVO_CB_METHODS(8, "addcbintsol", "removecbintsol", "intsol", "callback(problem, data) at every new incumbent (getmipsol() returns it)",
                     "The result is ignored."),
    KORVO_CB_METHODS(9, "addcblplog", "removecblplog", "lplog", "callback(problem, data) at every simplex log line",
                     KORVO_RETURNS_INT("nonzero stops the solve")),
    KORVO_CB_METHODS(10, "addcbmessage", "removecbmessage", "message", "callback(problem, data, text, type) for every log line of the problem",
                     "The result is ignored; type is 1 information, 3 warning, 4 error."),
    KORVO_CB_METHODS(11, "addcbmipthread", "removecbmipthread", "mipthread", "callback(problem, data, threadproblem) when a search worker starts",
                     "The result is ignored."),
    KORVO_CB_METHODS(12, "addcbnewnode", "removecbnewnode", "newnode", "callback(problem, data, parent, node, branch) for every node created",
                     "The result is ignored."),
    KORVO_CB_METHODS(13, "addcbnodecutoff", "removecbnodecutoff", "nodecutoff", "callback(problem, data, node) when a node is cut off by the incumbent",
                     "The result is ignored."),
    KORVO_CB_METHODS(14, "addcboptnode", "removecboptnode", "optnode", "callback(problem, data) when a node's relaxation is optimal",
                     KORVO_RETURNS_INT("nonzero drops the node as infeasible")),
    KORVO_CB_METHODS(15, "addcbpreintsol", "removecbpreintsol", "preintsol",
                     "callback(problem, data, soltype, cutoff) before a candidate solution is accepted",
                     "The result is a tuple (reject, cutoff), each a number or None; a nonzero reject refuses the "
                     "candidate."),
    KORVO_CB_METHODS(16, "addcbprenode", "removecbprenode", "prenode", "callback(problem, data) before a node's relaxation is solved",
                     KORVO_RETURNS_INT("nonzero drops the node as infeasible")),
    KORVO_CB_METHODS(17, "addcbusersolnotify", "removecbusersolnotify", "usersolnotify", "callback(problem, data, name, status) for every solution given by the user",
                     "The result is ignored."),
    KORVO_CB_METHODS(18, "addcbchecktime", "removecbchecktime", "checktime", "callback(problem, data) whenever the optimizer checks its time limit",
                     KORVO_RETURNS_INT("nonzero stops the solve")),
    PyMethodDef{"copycallbacks",
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(copycallbacks_method)),
                METH_VARARGS | METH_KEYWORDS,
                KORVO_DOC("Registers every callback of another problem on this one as well.", "p.copycallbacks(src)",
                          KORVO_ARG("src: the problem whose callbacks are copied."), "p.copycallbacks(q)",
                          "Registrations this problem has already stay.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(callback_methods);
