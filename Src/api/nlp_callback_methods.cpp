// Nonlinear solver callbacks (kinds 19-39): the registration methods
// setcb<kind>/unsetcb<kind> and the native trampolines the nonlinear solver
// calls. Registrations live in the problem's callback store (callbacks.h),
// one slot list per kind like the optimizer's kinds; this family tells the
// store how each kind is registered with the engine.
#include <Python.h>

#include <cstdio>
#include <cstring>

#include "api/callbacks.h"
#include "api/errors.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"

namespace {

constexpr int kStopUser = 9;
const char *const kDefaultMessage = "Problem in callback, stopping optimization\n";

enum : int {
  kCascadeEnd = 19,
  kCascadeStart,
  kCascadeVar,
  kCascadeVarFail,
  kCoefEvalError,
  kConstruct,
  kDestroy,
  kDrCol,
  kIterEnd,
  kIterStart,
  kIterVar,
  kMsJobEnd,
  kMsJobStart,
  kMsWinner,
  kSlpEnd,
  kSlpNode,
  kSlpStart,
  kMessage,
  kIntSol,
  kOptNode,
  kPreNode,
};

// ---- trampolines -------------------------------------------------------------

// (problem, data) events whose int result goes back to the solver; -1 after
// an exception (the solve has been asked to stop).
int wrapper_int(KNLSprob prob, void *entry) {
  GilGuard gil;
  PyRef r(callback_call_nonlinear(prob, entry, kDefaultMessage, nullptr));
  return r ? callback_int_result(r.get()) : -1;
}

// (problem, data, column) events.
int column_event(KNLSprob prob, void *entry, int col, const char *message, bool use_result) {
  GilGuard gil;
  PyRef extra(Py_BuildValue("(i)", col));
  if (!extra) return -1;
  PyRef r(callback_call_nonlinear(prob, entry, message, extra.get()));
  if (!r) return -1;
  return use_result ? callback_int_result(r.get()) : 0;
}
int wrapper_cascadevar(KNLSprob prob, void *entry, int col) {
  return column_event(prob, entry, col, "Problem in cascadevar() callback, stopping optimization\n", true);
}
int wrapper_cascadevarfail(KNLSprob prob, void *entry, int col) {
  return column_event(prob, entry, col, "Problem in cascadevarfail() callback, stopping optimization\n", true);
}
int wrapper_itervar(KNLSprob prob, void *entry, int col) {
  return column_event(prob, entry, col, "Problem in itervar() callback, stopping optimization\n", false);
}

int wrapper_coefevalerror(KNLSprob prob, void *entry, int row, int col) {
  GilGuard gil;
  PyRef extra(Py_BuildValue("(ii)", row, col));
  if (!extra) return -1;
  PyRef r(callback_call_nonlinear(prob, entry, "Problem in coefevalerror() callback, stopping optimization\n",
                                  extra.get()));
  return r ? callback_int_result(r.get()) : -1;
}

// The result replaces the determined column's value: a number (None keeps
// the value the solver computed). Anything else stops the solve.
int wrapper_drcol(KNLSprob prob, void *entry, int col, double *value, double lb, double ub) {
  GilGuard gil;
  PyRef extra(Py_BuildValue("(iddd)", col, value ? *value : 0.0, lb, ub));
  if (!extra) return -1;
  PyRef r(callback_call_nonlinear(prob, entry, "Problem in drcol() callback, stopping optimization\n", extra.get()));
  if (!r) return -1;
  if (r.get() == Py_None) return 0;
  double v = is_float_or_integer_value(r.get()) ? PyFloat_AsDouble(r.get()) : -1.0;
  if (!is_float_or_integer_value(r.get()) || (v == -1.0 && PyErr_Occurred())) {
    PyErr_Clear();
    fputs("Problem in drcol() callback: must return a number or None.\n", stderr);
    fflush(stderr);
    KNLSinterrupt(prob, kStopUser);
    return -1;
  }
  if (value) *value = v;
  return 0;
}

// Multistart job events: (problem, data, job object, description); the int
// result is the job's status.
int job_event(KNLSprob prob, void *entry, void *job_object, const char *description, int *status, const char *message,
              bool use_result) {
  GilGuard gil;
  PyObject *job = job_object ? static_cast<PyObject *>(job_object) : Py_None;
  PyRef text(PyUnicode_DecodeUTF8(description ? description : "", description ? Py_ssize_t(strlen(description)) : 0,
                                  "replace"));
  if (!text) return -1;
  PyRef extra(PyTuple_Pack(2, job, text.get()));
  if (!extra) return -1;
  PyRef r(callback_call_nonlinear(prob, entry, message, extra.get()));
  if (!r) return -1;
  if (use_result && status) *status = callback_int_result(r.get());
  return 0;
}
int wrapper_msjobstart(KNLSprob prob, void *entry, void *job, const char *description, int *status) {
  return job_event(prob, entry, job, description, status, "Problem in msjobstart() callback, stopping optimization\n",
                   true);
}
int wrapper_msjobend(KNLSprob prob, void *entry, void *job, const char *description, int *status) {
  return job_event(prob, entry, job, description, status, "Problem in msjobend() callback, stopping optimization\n",
                   true);
}
int wrapper_mswinner(KNLSprob prob, void *entry, void *job, const char *description, int *status) {
  return job_event(prob, entry, job, description, status, "Problem in mswinner() callback, stopping optimization\n",
                   false);
}

void wrapper_message(KNLSprob prob, void *entry, const char *msg, int len, int msgtype) {
  GilGuard gil;
  PyObject *text = msg ? PyUnicode_DecodeUTF8(msg, len >= 0 ? Py_ssize_t(len) : Py_ssize_t(strlen(msg)), "replace")
                       : Py_NewRef(Py_None);
  if (!text) {
    PyErr_Clear();
    return;
  }
  PyRef extra(Py_BuildValue("(Ni)", text, msgtype));
  if (!extra) {
    PyErr_Clear();
    return;
  }
  PyRef r(callback_call_nonlinear(prob, entry, "Problem in message callback, stopping optimization\n", extra.get()));
}

// Node events: the int result is the node's infeasibility flag.
void wrapper_node(KNLSprob prob, void *entry, int *infeasible) {
  GilGuard gil;
  PyRef r(callback_call_nonlinear(prob, entry, kDefaultMessage, nullptr));
  if (r && infeasible) *infeasible = callback_int_result(r.get());
}

// ---- engine registration of each kind ---------------------------------------

#define KORVO_NL_KIND(ident, engine_name, wrapper)                                                          \
  const callback_nl_kind ident{                                                                            \
      [](KNLSprob prob, void *entry) { return KNLSaddcb##engine_name(prob, wrapper, entry); },              \
      [](KNLSprob prob, void *entry) { return KNLSremovecb##engine_name(prob, wrapper, entry); }};

KORVO_NL_KIND(kCascadeEndKind, cascadeend, wrapper_int)
KORVO_NL_KIND(kCascadeStartKind, cascadestart, wrapper_int)
KORVO_NL_KIND(kCascadeVarKind, cascadevar, wrapper_cascadevar)
KORVO_NL_KIND(kCascadeVarFailKind, cascadevarfail, wrapper_cascadevarfail)
KORVO_NL_KIND(kCoefEvalErrorKind, coefevalerror, wrapper_coefevalerror)
KORVO_NL_KIND(kConstructKind, construct, wrapper_int)
KORVO_NL_KIND(kDestroyKind, destroy, wrapper_int)
KORVO_NL_KIND(kDrColKind, drcol, wrapper_drcol)
KORVO_NL_KIND(kIterEndKind, iterend, wrapper_int)
KORVO_NL_KIND(kIterStartKind, iterstart, wrapper_int)
KORVO_NL_KIND(kIterVarKind, itervar, wrapper_itervar)
KORVO_NL_KIND(kMsJobEndKind, msjobend, wrapper_msjobend)
KORVO_NL_KIND(kMsJobStartKind, msjobstart, wrapper_msjobstart)
KORVO_NL_KIND(kMsWinnerKind, mswinner, wrapper_mswinner)
KORVO_NL_KIND(kSlpEndKind, slpend, wrapper_int)
KORVO_NL_KIND(kSlpNodeKind, slpnode, wrapper_int)
KORVO_NL_KIND(kSlpStartKind, slpstart, wrapper_int)
KORVO_NL_KIND(kMessageKind, message, wrapper_message)
KORVO_NL_KIND(kIntSolKind, intsol, wrapper_int)
KORVO_NL_KIND(kOptNodeKind, optnode, wrapper_node)
KORVO_NL_KIND(kPreNodeKind, prenode, wrapper_node)

struct nonlinear_kinds_registration {
  nonlinear_kinds_registration() {
    const callback_nl_kind *kinds[] = {
        &kCascadeEndKind, &kCascadeStartKind, &kCascadeVarKind, &kCascadeVarFailKind, &kCoefEvalErrorKind,
        &kConstructKind,  &kDestroyKind,      &kDrColKind,      &kIterEndKind,        &kIterStartKind,
        &kIterVarKind,    &kMsJobEndKind,     &kMsJobStartKind, &kMsWinnerKind,       &kSlpEndKind,
        &kSlpNodeKind,    &kSlpStartKind,     &kMessageKind,    &kIntSolKind,         &kOptNodeKind,
        &kPreNodeKind};
    for (int k = 0; k < int(sizeof kinds / sizeof kinds[0]); ++k) callback_register_nonlinear_kind(kCascadeEnd + k, kinds[k]);
  }
};
[[maybe_unused]] const nonlinear_kinds_registration kRegisterNonlinearKinds;

// ---- methods -------------------------------------------------------------------

// While a solve runs the engine reads the registrations: they change only
// between solves.
bool refuse_while_solving(problem_s *p, const char *message) {
  if (p->solving <= 0) return false;
  PyErr_SetString(korvo_interface_error, message);
  return true;
}

template <int K>
PyObject *setcb_method(PyObject *self, PyObject *args, PyObject *kwargs) {
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
  auto *p = reinterpret_cast<problem_s *>(self);
  if ((priority == -1 && PyErr_Occurred()) || priority > INT32_MAX || priority < INT32_MIN || !p->prob) {
    PyErr_Clear();
    PyErr_SetString(korvo_interface_error, "Cannot add callback");
    return nullptr;
  }
  if (refuse_while_solving(p, "Cannot add callback while the problem is being solved")) return nullptr;
  if (callbackInList(p, K, callable, data, int(priority)) < 0) return nullptr;
  Py_RETURN_NONE;
}

template <int K>
PyObject *unsetcb_method(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"callback", "data", nullptr};
  PyObject *callable = nullptr, *data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO", const_cast<char **>(keywords), &callable, &data) ||
      (callable && callable != Py_None && !PyCallable_Check(callable))) {
    PyErr_Clear();
    PyErr_SetString(korvo_interface_error, "Cannot remove callback");
    return nullptr;
  }
  auto *p = reinterpret_cast<problem_s *>(self);
  if (refuse_while_solving(p, "Cannot remove callback while the problem is being solved")) return nullptr;
  if (removeCallback(p, K, callable, data, true) < 0) return nullptr;
  Py_RETURN_NONE;
}

#define KORVO_NLCB_SET_DOC(kind, call, returns)                                                                \
  KORVO_DOC("Registers a function called by the nonlinear solver at its " kind " event.",                       \
            "p.setcb" kind "(callback, data=None, priority=0)",                                                 \
            KORVO_ARGS("callback: called as " call ";\n  data: any object, handed to every call;\n  priority: " \
                       "kept with the registration (calls follow the order of registration)."),                \
            "p.setcb" kind "(f, None)", returns)
#define KORVO_NLCB_UNSET_DOC(kind)                                                                              \
  KORVO_DOC("Removes functions registered with setcb" kind "().", "p.unsetcb" kind "(callback=None, data=None)", \
            KORVO_ARGS("callback, data: remove only the registrations of this very function and data object; " \
                       "None matches any."),                                                                    \
            "p.unsetcb" kind "(f)", "Without arguments every registration of the kind is removed.")

#define KORVO_NLCB_METHODS(K, set_name, unset_name, kind, call, returns)                                   \
  KORVO_CALLBACK_METHOD_PAIR(set_name, setcb_method<K>, KORVO_NLCB_SET_DOC(kind, call, returns), unset_name, \
                             unsetcb_method<K>, KORVO_NLCB_UNSET_DOC(kind))

#define KORVO_NL_INT(what) "The result is an int (None counts as 0, anything else but an int as -1): " what "."

PyMethodDef nlp_callback_methods[] = {
    KORVO_NLCB_METHODS(kCascadeEnd, "setcbcascadeend", "unsetcbcascadeend", "cascadeend", "callback(problem, data) after the determined columns are recomputed",
                       KORVO_NL_INT("nonzero stops the solve")),
    KORVO_NLCB_METHODS(kCascadeStart, "setcbcascadestart", "unsetcbcascadestart", "cascadestart",
                       "callback(problem, data) before the determined columns are recomputed",
                       KORVO_NL_INT("nonzero skips this recomputation")),
    KORVO_NLCB_METHODS(kCascadeVar, "setcbcascadevar", "unsetcbcascadevar", "cascadevar", "callback(problem, data, colindex) after a determined column is recomputed",
                       KORVO_NL_INT("nonzero gives the column back its previous value")),
    KORVO_NLCB_METHODS(kCascadeVarFail, "setcbcascadevarfail", "unsetcbcascadevarfail", "cascadevarfail",
                       "callback(problem, data, colindex) when a determined column cannot bring its row within bounds",
                       KORVO_NL_INT("nonzero stops the solve")),
    KORVO_NLCB_METHODS(kCoefEvalError, "setcbcoefevalerror", "unsetcbcoefevalerror", "coefevalerror",
                       "callback(problem, data, rowindex, colindex) when a coefficient cannot be evaluated at a point "
                       "the solver tries (colindex -1: a formula that multiplies no column)",
                       KORVO_NL_INT("nonzero stops the solve; otherwise the point is refused")),
    KORVO_NLCB_METHODS(kConstruct, "setcbconstruct", "unsetcbconstruct", "construct", "callback(problem, data) when a solve has built its structures",
                       KORVO_NL_INT("nonzero stops the solve before any iteration")),
    KORVO_NLCB_METHODS(kDestroy, "setcbdestroy", "unsetcbdestroy", "destroy", "callback(problem, data) when a solve releases its structures",
                       "The result is ignored."),
    KORVO_NLCB_METHODS(kDrCol, "setcbdrcol", "unsetcbdrcol", "drcol",
                       "callback(problem, data, drcolindex, drcolvalue, vlb, vub) with a determined column's "
                       "recomputed value and bounds",
                       "A number replaces the value (kept within the bounds); None keeps it."),
    KORVO_NLCB_METHODS(kIterEnd, "setcbiterend", "unsetcbiterend", "iterend", "callback(problem, data) at the end of every SLP iteration",
                       KORVO_NL_INT("nonzero stops the solve")),
    KORVO_NLCB_METHODS(kIterStart, "setcbiterstart", "unsetcbiterstart", "iterstart", "callback(problem, data) at the start of every SLP iteration",
                       KORVO_NL_INT("nonzero stops the solve")),
    KORVO_NLCB_METHODS(kIterVar, "setcbitervar", "unsetcbitervar", "itervar",
                       "callback(problem, data, colindex) after every iteration for each column in a nonlinear term",
                       "The result is ignored."),
    KORVO_NLCB_METHODS(kMsJobEnd, "setcbmsjobend", "unsetcbmsjobend", "msjobend", "callback(problem, data, job_object, description) after a multistart job",
                       KORVO_NL_INT("nonzero keeps the job's result out of the choice of the best")),
    KORVO_NLCB_METHODS(kMsJobStart, "setcbmsjobstart", "unsetcbmsjobstart", "msjobstart",
                       "callback(problem, data, job_object, description) before a multistart job",
                       KORVO_NL_INT("nonzero skips the job")),
    KORVO_NLCB_METHODS(kMsWinner, "setcbmswinner", "unsetcbmswinner", "mswinner",
                       "callback(problem, data, job_object, description) with the job whose result is kept (None and "
                       "'' for the plain start)",
                       "The result is ignored."),
    KORVO_NLCB_METHODS(kSlpEnd, "setcbslpend", "unsetcbslpend", "slpend", "callback(problem, data) at the end of a solve, the solution in place",
                       "The result is ignored."),
    KORVO_NLCB_METHODS(kSlpNode, "setcbslpnode", "unsetcbslpnode", "slpnode", "callback(problem, data) before the SLP at a node of a search",
                       KORVO_NL_INT("nonzero skips that SLP")),
    KORVO_NLCB_METHODS(kSlpStart, "setcbslpstart", "unsetcbslpstart", "slpstart", "callback(problem, data) at the start of a solve",
                       KORVO_NL_INT("nonzero stops the solve before any iteration")),
    KORVO_NLCB_METHODS(kMessage, "setcbmessage", "unsetcbmessage", "message", "callback(problem, data, message, msgtype) for every line of the solver's log",
                       "The result is ignored; lines come also when the log is not written (knls_outputlog 0)."),
    KORVO_NLCB_METHODS(kIntSol, "setcbintsol", "unsetcbintsol", "intsol", "callback(problem, data) at every new integer-feasible solution",
                       "The result is ignored."),
    KORVO_NLCB_METHODS(kOptNode, "setcboptnode", "unsetcboptnode", "optnode", "callback(problem, data) after the local solve of a node",
                       KORVO_NL_INT("nonzero refuses the node's result")),
    KORVO_NLCB_METHODS(kPreNode, "setcbprenode", "unsetcbprenode", "prenode", "callback(problem, data) before the local solve of a node",
                       KORVO_NL_INT("nonzero drops the node")),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(nlp_callback_methods);
