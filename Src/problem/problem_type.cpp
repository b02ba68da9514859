// The korvo.problem type: life cycle (construction, copy, reset,
// destruction), its name, controls and attributes, solving and statuses.
// Registry operations (adding, deleting and looking up modelling objects)
// live in registry.cpp, objective and solution queries in objective.cpp and
// solution.cpp.
#include <Python.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "api/callbacks.h"
#include "api/errors.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "krvs.h"
#include "problem/change_journal.h"
#include "nonlin/convert.h"
#include "problem/controls.h"
#include "problem/flush.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/output.h"
#include "python_model/pyref.h"

namespace {

constexpr int kNlsAutoSolveControl = 12415;
constexpr int kOutputLogControl = 8035;

// Creates the engine problems of a problem object and loads an empty model.
int create_engine_problems(problem_s *p, const char *name) {
  if (KRVScreateprob(&p->prob) != 0) return -1;
  if (KNLScreateprob(&p->nlprob, &p->prob) != 0) return -1;
  if (KNLSsetintcontrol(p->nlprob, kNlsAutoSolveControl, 0) != 0) return -1;
  int outputlog = 1;
  if (KRVSgetintcontrol(p->prob, kOutputLogControl, &outputlog) != 0) return -1;
  if (KRVSsetintcontrol(p->prob, kOutputLogControl, 0) != 0) return -1;
  int rc = KRVSloadlp(p->prob, name, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                      nullptr, nullptr);
  if (KRVSsetintcontrol(p->prob, kOutputLogControl, outputlog) != 0) return -1;
  return rc;
}

void destroy_engine_problems(problem_s *p) {
  if (p->nlprob) Py_XDECREF(take_user_function_error(p->nlprob));
  if (p->nlprob) KNLSdestroyprob(p->nlprob);
  p->nlprob = nullptr;
  if (p->prob) KRVSdestroyprob(p->prob);
  p->prob = nullptr;
}

int create_registry(problem_s *p) {
  p->variables = PyList_New(0);
  p->constraints = PyList_New(0);
  p->sets = PyList_New(0);
  p->var_index = rowcolmap_new();
  p->con_index = rowcolmap_new();
  p->sos_index = rowcolmap_new();
  if (!p->variables || !p->constraints || !p->sets || !p->var_index || !p->con_index || !p->sos_index) {
    if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Could not create problem maps");
    return -1;
  }
  return 0;
}

void reset_markers(problem_s *p) {
  p->nl_const_col = -1;
  p->transfer_col = -1;
  p->transfer_row = -1;
  p->nl_coef_count = 0;
  p->nl_objective = 0;
  p->last_solve_nonlinear = 0;
}

int problem_init(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  const char *name = nullptr;
  PyObject *sense_obj = nullptr;
  if (kwargs) {
    PyRef empty(PyTuple_New(0));
    static const char *keywords[] = {"name", "sense", nullptr};
    if (!empty || !PyArg_ParseTupleAndKeywords(empty.get(), kwargs, "|$zO", const_cast<char **>(keywords), &name,
                                               &sense_obj))
      return -1;
  }
  long sense = 1;
  if (sense_obj) {
    sense = PyLong_Check(sense_obj) ? PyLong_AsLong(sense_obj) : 0;
    if (sense == -1 && PyErr_Occurred()) PyErr_Clear();
  }
  if (sense != 1 && sense != -1) {
    PyErr_SetString(korvo_model_error, "Invalid optimization sense");
    return -1;
  }
  if (p->prob) {
    PyErr_SetString(korvo_model_error, "A problem cannot be initialised twice");
    return -1;
  }
  if (create_registry(p) < 0) return -1;
  if (turnKRVSon(0) < 0) return -1;
  reset_markers(p);
  p->user_functions = nullptr;
  if (create_engine_problems(p, name ? name : "noname") != 0) {
    setKrvsErrIfNull(p->prob ? self : nullptr, nullptr);
    return -1;
  }
  journal_follow(p);
  p->controls = ctrl_new_for_problem(self);
  p->attributes = attr_new_for_problem(self);
  if (!p->controls || !p->attributes) return -1;
  if (KRVSaddcbmessage(p->prob, krv_py_print_prob, nullptr, 1) != 0 ||
      KNLSsetcbmessage(p->nlprob, krv_py_print_probNL, nullptr) != 0) {
    setKrvsErrIfNull(self, nullptr);
    return -1;
  }
  if (problem_apply_default_controls(p) < 0) return -1;
  return problem_add_elements(p, args, sense);
}

void problem_dealloc(PyObject *self) {
  auto *p = reinterpret_cast<problem_s *>(self);
  journal_unfollow(p);
  if (p->shadow_owner) {
    // A callback's problem: the engine problems and index maps are the
    // registering problem's.
    p->prob = nullptr;
    p->nlprob = nullptr;
    p->var_index = p->con_index = p->sos_index = nullptr;
  }
  Py_CLEAR(p->callback_error);
  if (p->prob) KRVSremovecbmessage(p->prob, krv_py_print_prob, nullptr);
  problem_release_user_functions(p);
  destroy_engine_problems(p);
  problem_clear_callbacks(p);
  Py_CLEAR(p->controls);
  Py_CLEAR(p->attributes);
  Py_CLEAR(p->variables);
  Py_CLEAR(p->constraints);
  Py_CLEAR(p->sets);
  Py_CLEAR(p->user_functions);
  Py_CLEAR(p->ms_job_objects);
  rowcolmap_free(&p->var_index);
  rowcolmap_free(&p->con_index);
  rowcolmap_free(&p->sos_index);
  Py_CLEAR(p->shadow_owner);
  Py_TYPE(self)->tp_free(self);
}

PyObject *problem_str(PyObject *self) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (!p->prob) return PyUnicode_FromString("");
  PyObject *name = problem_name(self, nullptr);
  return name;
}

PyObject *problem_reset(PyObject *self, PyObject *) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (p->shadow_owner) {
    PyErr_SetString(korvo_interface_error, "reset() cannot be used on the problem given to a callback");
    return nullptr;
  }
  if (problem_refuse_while_solving(p, "reset()") < 0) return nullptr;
  // The objects leave the problem: changes made to them so far no longer concern it.
  journal_follow(p);
  for (PyObject **list : {&p->variables, &p->constraints, &p->sets}) {
    PyObject *fresh = PyList_New(0);
    if (!fresh) return nullptr;
    Py_XSETREF(*list, fresh);
  }
  rowcolmap_clear(p->var_index);
  rowcolmap_clear(p->con_index);
  rowcolmap_clear(p->sos_index);
  if (!p->prob) Py_RETURN_NONE;
  // The new engine problem keeps printing through the problem's routine.
  KRVSremovecbmessage(p->prob, krv_py_print_prob, nullptr);
  problem_release_user_functions(p);
  Py_CLEAR(p->user_functions);
  destroy_engine_problems(p);
  Py_CLEAR(p->ms_job_objects);
  reset_markers(p);
  if (create_engine_problems(p, "") != 0 || KRVSsetprobname(p->prob, "") != 0 ||
      KRVSaddcbmessage(p->prob, krv_py_print_prob, nullptr, 1) != 0 ||
      KNLSsetcbmessage(p->nlprob, krv_py_print_probNL, nullptr) != 0) {
    setKrvsErrIfNull(p->prob ? self : nullptr, nullptr);
    return nullptr;
  }
  if (problem_apply_default_controls(p) < 0) return nullptr;
  Py_RETURN_NONE;
}

// What the copied nonlinear problem needs besides the engine's copy: the
// markers that make solve() use the nonlinear solver and find the
// objective transfer, and the user functions, whose stored objects the
// engine copy points to and of which the copy keeps its own references (the
// original releases its own when it goes). 0 or -1 with an exception.
int copy_nonlinear_state(problem_s *copy, const problem_s *old) {
  copy->nl_const_col = old->nl_const_col;
  copy->nl_coef_count = old->nl_coef_count;
  copy->nl_objective = old->nl_objective;
  copy->transfer_col = old->transfer_col;
  copy->transfer_row = old->transfer_row;
  if (!old->user_functions) return 0;
  PyRef functions(PyDict_Copy(old->user_functions));
  if (!functions) return -1;
  Py_ssize_t n = PyDict_Size(functions.get());
  for (Py_ssize_t i = 1; i <= n; ++i) {
    void *object = nullptr;
    if (KNLSgetuserfuncobject(copy->nlprob, int(i), &object) != 0) object = nullptr;
    Py_XINCREF(static_cast<PyObject *>(object));
  }
  copy->user_functions = functions.release();
  return 0;
}

PyObject *problem_copy(PyObject *self, PyObject *) {
  auto *old = reinterpret_cast<problem_s *>(self);
  if (!old->prob) {
    PyErr_SetString(korvo_model_error, "Cannot copy a problem without a library problem");
    return nullptr;
  }
  // The copy starts from the model as the objects are now.
  if (problem_refuse_while_solving(old, "copy()") < 0 || problem_apply_object_changes(old) < 0) return nullptr;
  PyRef copy_obj(PyType_GenericAlloc(&korvo_problemType, 0));
  if (!copy_obj) return nullptr;
  auto *copy = reinterpret_cast<problem_s *>(copy_obj.get());
  reset_markers(copy);
  if (create_registry(copy) < 0) return nullptr;
  copy->controls = ctrl_new_for_problem(copy_obj.get());
  copy->attributes = attr_new_for_problem(copy_obj.get());
  if (!copy->controls || !copy->attributes) return nullptr;
  if (KRVScreateprob(&copy->prob) != 0 || KNLScreateprob(&copy->nlprob, &copy->prob) != 0) {
    setKrvsErrIfNull(nullptr, nullptr);
    return nullptr;
  }
  if (problem_apply_default_controls(copy) < 0) return nullptr;
  if (KRVScopyprob(copy->prob, old->prob, "") != 0 ||
      (old->nlprob && KNLScopyprob(copy->nlprob, old->nlprob, "") != 0)) {
    setKrvsErrIfNull(copy_obj.get(), nullptr);
    return nullptr;
  }
  if (old->nlprob && copy_nonlinear_state(copy, old) < 0) return nullptr;
  if (problem_copy_callbacks(copy, old) < 0) return nullptr;
  if (KRVScopycontrols(copy->prob, old->prob) != 0 ||
      (old->nlprob && KNLScopycontrols(copy->nlprob, old->nlprob) != 0)) {
    setKrvsErrIfNull(copy_obj.get(), nullptr);
    return nullptr;
  }
  rowcolmap_free(&copy->var_index);
  rowcolmap_free(&copy->con_index);
  rowcolmap_free(&copy->sos_index);
  if (rowcolmap_copy(&copy->var_index, old->var_index) < 0 || rowcolmap_copy(&copy->con_index, old->con_index) < 0 ||
      rowcolmap_copy(&copy->sos_index, old->sos_index) < 0) {
    PyErr_SetString(korvo_model_error, "Could not create problem maps");
    return nullptr;
  }
  if (PyList_SetSlice(copy->variables, 0, 0, old->variables) < 0 ||
      PyList_SetSlice(copy->constraints, 0, 0, old->constraints) < 0 ||
      PyList_SetSlice(copy->sets, 0, 0, old->sets) < 0)
    return nullptr;
  journal_follow(copy);
  return copy_obj.release();
}

// ---- solving ---------------------------------------------------------------

// Ctrl-C while a solve runs. Python's own SIGINT handler only notes the
// signal for the interpreter, which cannot act on it until the solve is
// over; so while a solve runs our handler asks the engine to stop every
// solve in progress (an atomic store each, safe in a signal handler), and
// when the solve is back the signal is handed to Python, whose handler (the
// default one raises KeyboardInterrupt, or the program's own) runs then.
constexpr int kStopCtrlC = 2;  // the engine's stop reason for Ctrl-C (stop_ctrlc)
int sigint_nesting = 0;  // changed with the interpreter lock held
struct sigaction saved_sigint_action;
bool sigint_handler_installed = false;
std::atomic<int> sigint_received{0};

// The engine problems of the solves in progress; a solve that finds no free
// slot (more than kSolveSlots at once) is still stopped when it returns.
constexpr int kSolveSlots = 32;
struct solving_slot {
  std::atomic<KRVSprob> prob{nullptr};
  std::atomic<KNLSprob> nlprob{nullptr};
};
solving_slot solving[kSolveSlots];

extern "C" void interrupt_solves_on_sigint(int) {
  const int saved_errno = errno;
  sigint_received.store(1);
  for (solving_slot &slot : solving) {
    if (KRVSprob prob = slot.prob.load()) KRVSinterrupt(prob, kStopCtrlC);
    if (KNLSprob nlprob = slot.nlprob.load()) KNLSinterrupt(nlprob, kStopCtrlC);
  }
  errno = saved_errno;
}

}  // namespace

int setSigIntHandler(problem_s *p) {
  int slot = -1;
  for (int i = 0; i < kSolveSlots && slot < 0; ++i) {
    KRVSprob expected = nullptr;
    if (solving[i].prob.compare_exchange_strong(expected, p->prob)) slot = i;
  }
  if (slot >= 0) solving[slot].nlprob.store(p->nlprob);
  if (sigint_nesting++ == 0) {
    sigint_received.store(0);
    sigaction(SIGINT, nullptr, &saved_sigint_action);
    // A program that ignores SIGINT, or left it at the default action,
    // keeps that behaviour during the solve.
    sigint_handler_installed =
        !(saved_sigint_action.sa_flags & SA_SIGINFO) && saved_sigint_action.sa_handler != SIG_IGN &&
        saved_sigint_action.sa_handler != SIG_DFL;
    if (sigint_handler_installed) {
      struct sigaction action;
      memset(&action, 0, sizeof action);
      action.sa_handler = interrupt_solves_on_sigint;
      sigemptyset(&action.sa_mask);
      sigaction(SIGINT, &action, nullptr);
    }
  }
  return slot;
}

int resetSigIntHandler(int slot) {
  if (slot >= 0) {
    solving[slot].nlprob.store(nullptr);
    solving[slot].prob.store(nullptr);
  }
  if (--sigint_nesting == 0 && sigint_handler_installed) {
    sigaction(SIGINT, &saved_sigint_action, nullptr);
    sigint_handler_installed = false;
  }
  if (sigint_received.exchange(0) == 0) return 0;
  // The interpreter's handler runs now, as if the signal had just come:
  // KeyboardInterrupt by default, or whatever the program's handler does.
  PyErr_SetInterruptEx(SIGINT);
  return PyErr_CheckSignals();
}

namespace {

// An exception raised inside a user function stopped the solve: it is raised
// itself, as it would be from ordinary Python code, with the solver's own
// account of the failure added as a note.
void raise_user_function_error(problem_s *p, int rc, PyObject *error) {
  if (rc != 0) {
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef solver_text(value ? PyObject_Str(value) : nullptr);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();
    if (solver_text) {
      PyRef note(PyUnicode_FromFormat("raised in a korvo.user function during the solve; the solver reported: %U",
                                      solver_text.get()));
      PyRef added(note ? PyObject_CallMethod(error, "add_note", "O", note.get()) : nullptr);
      PyErr_Clear();  // a note is a courtesy: without one the error still stands
    }
  }
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error)), error);
  Py_DECREF(error);
}

// Runs an engine solve of p with the interpreter lock released (callbacks
// take it themselves) and Ctrl-C stopping the engine. -1 when an exception
// is pending afterwards (Ctrl-C, or what a callback raised), else 0 and the engine's
// result in *rc.
template <class Solve>
int run_engine_solve(problem_s *p, int *rc, Solve &&solve) {
  problem_solving_scope solving(p);  // other threads cannot change the problem meanwhile
  if (p->nlprob) Py_XDECREF(take_user_function_error(p->nlprob));
  callbacks_solve_begin(p);
  int slot = setSigIntHandler(p);
  Py_BEGIN_ALLOW_THREADS;
  *rc = solve();
  Py_END_ALLOW_THREADS;
  PyRef user_error(p->nlprob ? take_user_function_error(p->nlprob) : nullptr);
  const int interrupted = resetSigIntHandler(slot);
  // A Ctrl-C raised by the interpreter's handler stands; then a callback's
  // exception; then a user function's.
  if (callbacks_solve_end(p) < 0 || interrupted < 0 || PyErr_Occurred()) return -1;
  if (user_error) {
    raise_user_function_error(p, *rc, user_error.release());
    return -1;
  }
  return 0;
}

bool int_attribute(problem_s *p, int id, int64_t *value) {
  if (KRVSgetintattrib64(p->prob, id, value) != 0) {
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    return false;
  }
  return true;
}

}  // namespace

int problem_is_mip(problem_s *p) {
  // Discrete columns, sets, indicators, semi-continuous columns, general and
  // piecewise-linear constraints.
  for (int id : {1032, 1004, 1327, 1325, 1431, 1432}) {
    int64_t count = 0;
    if (!int_attribute(p, id, &count)) return -1;
    if (count != 0) return 1;
  }
  return 0;
}

namespace {

// Before a solve: a second solve of the same problem is refused as the
// engine refuses it, and the changes made to the problem's objects reach
// the engine model. 0 or -1 with an exception.
int begin_solve(problem_s *p) {
  if (p->solving > 0) {
    PyErr_SetString(korvo_solver_error, "A solve of this problem is already running");
    return -1;
  }
  return problem_apply_object_changes(p);
}

PyObject *problem_solve(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  static const char *keywords[] = {"flags", nullptr};
  PyObject *flags_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char **>(keywords), &flags_obj)) return nullptr;
  std::string flags;
  bool have_flags = flags_obj && flags_obj != Py_None;
  if (have_flags) {
    if (PyUnicode_Check(flags_obj)) {
      const char *text = PyUnicode_AsUTF8(flags_obj);
      if (!text) return nullptr;
      flags = text;
    } else if (PyBytes_Check(flags_obj)) {
      flags = PyBytes_AS_STRING(flags_obj);
    } else {
      PyErr_SetString(korvo_interface_error, "The optional 'flags' parameter should be a string");
      return nullptr;
    }
  }
  if (begin_solve(p) < 0) return nullptr;
  int mip = problem_is_mip(p);
  if (mip < 0) return nullptr;
  bool nonlinear = problem_is_nonlinear(p);
  if (nonlinear) {
    if (flags.size() > 511) flags.resize(511);
    if (mip && flags.find('g') == std::string::npos) {
      if (flags.size() > 510) {
        PyErr_SetString(korvo_solver_error,
                        "Problem is mixed integer but the flag string is full; cannot add 'g' to the flags");
        return nullptr;
      }
      flags += 'g';
    }
  }
  const char *f = have_flags || nonlinear ? flags.c_str() : nullptr;
  int rc = 0;
  int interrupted = run_engine_solve(p, &rc, [&] {
    return nonlinear ? KNLSnlpoptimize(p->nlprob, f) : mip ? KRVSmipoptimize(p->prob, f) : KRVSlpoptimize(p->prob, f);
  });
  // Results now come from the solver just run, whatever an earlier
  // nonlinear solve left behind.
  p->last_solve_nonlinear = nonlinear ? 1 : 0;
  if (interrupted < 0) return nullptr;
  if (rc == 0) Py_RETURN_NONE;
  if (!nonlinear) {
    int64_t status = 0;
    if (KRVSgetintattrib64(p->prob, mip ? 1011 : 1010, &status) == 0 && status == 8) {
      PyErr_SetString(korvo_solver_error,
                      "The problem was determined to be nonconvex, and the optimizer cannot solve it. Call "
                      "nlpoptimize() to find a solution using SLP");
      return nullptr;
    }
  }
  setKrvsErrIfNull(self, nullptr);
  return nullptr;
}

// Runs the nonlinear solver on the problem, whatever its class: the way to
// solve a problem with non-convex quadratic parts, which the optimizer
// refuses.
PyObject *problem_nlpoptimize(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  static const char *keywords[] = {"flags", nullptr};
  const char *given = "";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|s", const_cast<char **>(keywords), &given)) return nullptr;
  std::string flags = given;
  if (begin_solve(p) < 0) return nullptr;
  int mip = problem_is_mip(p);
  if (mip < 0) return nullptr;
  // As in solve(): integer columns are kept integer unless the caller relaxes
  // them on purpose, which the engine has no flag for.
  if (mip && flags.find('g') == std::string::npos) flags += 'g';
  int rc = 0;
  int interrupted = run_engine_solve(p, &rc, [&] { return KNLSnlpoptimize(p->nlprob, flags.c_str()); });
  p->last_solve_nonlinear = 1;
  if (interrupted < 0) return nullptr;
  if (rc == 0) Py_RETURN_NONE;
  return krvs_error(self);
}

// ---- status ----------------------------------------------------------------

int problem_status(problem_s *p, int *kind) {
  int64_t status = 0;
  int from_nonlinear = problem_results_from_nonlinear(p);
  if (from_nonlinear < 0) return -1;
  if (from_nonlinear) {
    int v = 0;
    *kind = 0;
    if (KNLSgetintattrib(p->nlprob, 12044, &v) != 0) {
      setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
      return -1;
    }
    return v;
  }
  int mip = problem_is_mip(p);
  if (mip < 0) return -1;
  *kind = mip ? 1 : 2;
  if (!int_attribute(p, mip ? 1011 : 1010, &status)) return -1;
  return int(status);
}

PyObject *problem_getProbStatus(PyObject *self, PyObject *) {
  int kind = 2;
  int status = problem_status(reinterpret_cast<problem_s *>(self), &kind);
  return status < 0 ? nullptr : PyLong_FromLong(status);
}

PyObject *problem_getProbStatusString(PyObject *self, PyObject *) {
  static const char *const names[3][10] = {
      {"nlp_unstarted", "nlp_solution", "nlp_globally_optimal", "nlp_locally_infeasible", "nlp_infeasible",
       "nlp_unbounded", "nlp_unfinished", "nlp_unknown", "nlp_unknown", "nlp_unknown"},
      {"mip_not_loaded", "mip_lp_not_optimal", "mip_lp_optimal", "mip_no_sol_found", "mip_solution", "mip_infeas",
       "mip_optimal", "mip_unbounded", "mip_unknown", "mip_unknown"},
      {"lp_unstarted", "lp_optimal", "lp_infeas", "lp_cutoff", "lp_unfinished", "lp_unbounded", "lp_cutoff_in_dual",
       "lp_unsolved", "lp_nonconvex", "lp_unknown"}};
  int kind = 2;
  int status = problem_status(reinterpret_cast<problem_s *>(self), &kind);
  if (status < 0 && PyErr_Occurred()) return nullptr;
  return PyUnicode_FromString(names[kind][status >= 0 && status <= 8 ? status : 9]);
}

// The objective value exists only with a solution: before a solve, after an
// infeasible or unbounded one, a number would pass for a result. The error is
// the one the solution query gives, so both fail alike.
PyObject *problem_getObjVal(PyObject *self, PyObject *) {
  auto *p = reinterpret_cast<problem_s *>(self);
  double value = 0.0;
  int kind = 2;
  int status = problem_status(p, &kind);
  if (status < 0 && PyErr_Occurred()) return nullptr;
  // Unbounded: nlp_unbounded, mip_unbounded, lp_unbounded.
  if (status == (kind == 0 ? 5 : kind == 1 ? 7 : 5)) {
    PyErr_SetString(korvo_solver_error,
                    "No objective value is available: the problem is unbounded (see getProbStatusString())");
    return nullptr;
  }
  if (kind == 0) {
    // A nonlinear solve that ended infeasible keeps its last point for
    // inspection, but that point has no objective value to report.
    if (status == 0 || status == 3 || status == 4) {
      PyErr_Format(korvo_solver_error, "No objective value is available: %s",
                   status == 0 ? "the problem has not been solved" : "the last nonlinear solve found no feasible point");
      return nullptr;
    }
    if (KNLSgetslpsol(p->nlprob, nullptr, nullptr, nullptr, nullptr) != 0) return krvs_error(self);
    if (KNLSgetdblattrib(p->nlprob, 12179, &value) != 0) return krvs_error(self);
    return PyFloat_FromDouble(value);
  }
  const bool mip = kind == 1;
  int available = mip ? KRVSgetmipsol(p->prob, nullptr, nullptr) : KRVSgetlpsol(p->prob, nullptr, nullptr, nullptr, nullptr);
  if (available != 0) return krvs_error(self);
  if (KRVSgetdblattrib(p->prob, mip ? 2003 : 2001, &value) != 0) return krvs_error(self);
  return PyFloat_FromDouble(value);
}

PyObject *problem_controls_get(PyObject *self, void *) {
  return ctrl_attr_handout(reinterpret_cast<problem_s *>(self)->controls);
}
PyObject *problem_attributes_get(PyObject *self, void *) {
  return ctrl_attr_handout(reinterpret_cast<problem_s *>(self)->attributes);
}

PyGetSetDef problem_getset[] = {
    {"controls", problem_controls_get, nullptr, "The problem's controls, by name.", nullptr},
    {"attributes", problem_attributes_get, nullptr, "The problem's attributes, by name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

bool problem_is_nonlinear(const problem_s *p) {
  if (p->nl_coef_count > 0 || p->nl_objective != 0) return true;
  // Coefficients given through the nonlinear solver's own methods
  // (chgccoef, addcoefs, ...) count as well: without them the optimizer
  // would solve the linear part alone.
  int engine_coefs = 0;
  return p->nlprob && KNLSgetintattrib(p->nlprob, 12016, &engine_coefs) == 0 && engine_coefs > 0;
}

int problem_results_from_nonlinear(problem_s *p) {
  if (problem_is_nonlinear(p)) return 1;
  // A nonlinear solve's status outlives it: it counts only while no
  // optimizer solve has come after it.
  if (!p->last_solve_nonlinear) return 0;
  int status = 0;
  if (KNLSgetintattrib(p->nlprob, 12044, &status) != 0) {
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    return -1;
  }
  return status >= 1 && status <= 6;
}

PyObject *krvs_error(PyObject *context) {
  setKrvsErrIfNull(context, nullptr);
  return nullptr;
}

PyObject *problem_name(PyObject *self, PyObject *) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (!p->prob) return nullptr;
  int64_t length = 0;
  if (KRVSgetintattrib64(p->prob, 1158, &length) != 0) return krvs_error(self);
  std::string buffer(static_cast<size_t>(length) + 1, '\0');
  if (KRVSgetprobname(p->prob, buffer.data()) != 0) return krvs_error(self);
  return PyUnicode_FromString(buffer.c_str());
}

#define PROBLEM_METHOD(name, fn, flags, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), flags, doc}

static PyMethodDef problem_base_methods[] = {
    PROBLEM_METHOD("name", problem_name, METH_NOARGS,
                   KORVO_DOC("Returns the problem's name.", "name = p.name()", KORVO_NO_ARGS, "print(p.name())",
                             "The name is given by korvo.problem(name=...) or a string among its arguments.")),
    PROBLEM_METHOD("reset", problem_reset, METH_NOARGS,
                   KORVO_DOC("Empties the problem: no variables, constraints, sets or objective remain.", "p.reset()",
                             KORVO_NO_ARGS, "p.reset()", "The module's default controls are applied again.")),
    PROBLEM_METHOD("copy", problem_copy, METH_NOARGS,
                   KORVO_DOC("Returns a copy of the problem holding the same modelling objects.", "q = p.copy()",
                             KORVO_NO_ARGS, "q = p.copy()", "The copy has its own library problem and controls.")),
    PROBLEM_METHOD("solve", problem_solve, METH_VARARGS | METH_KEYWORDS,
                   KORVO_DOC("Solves the problem: as a nonlinear problem, a MIP or an LP, whichever it is.",
                             "p.solve(flags=None)",
                             KORVO_ARG("flags: optional string: 'd' dual simplex, 'p' primal simplex, 'b' barrier."),
                             "p.solve()",
                             "Read the results with getSolution(), getDual(), getProbStatus(). Ctrl-C stops the "
                             "solve: the problem keeps the best solution found, attributes.stopstatus (or "
                             "knls_stopstatus for a nonlinear solve) becomes korvo.stop_ctrlc, and solve() then "
                             "raises KeyboardInterrupt (or what the program's own SIGINT handler raises).")),
    PROBLEM_METHOD("nlpoptimize", problem_nlpoptimize, METH_VARARGS | METH_KEYWORDS,
                   KORVO_DOC("Solves the problem with the nonlinear (sequential linear programming) solver.",
                             "p.nlpoptimize(flags='')",
                             KORVO_ARG("flags: optional string of solve flags; 'g' keeps integer columns integer "
                                       "(added by itself when the problem has any)."),
                             "p.nlpoptimize()",
                             "Use it for problems with non-convex quadratic parts, which solve() refuses; the "
                             "result is a local optimum. Read it with getSolution() and getObjVal(). Ctrl-C "
                             "stops it as it stops solve(), with knls_stopstatus korvo.stop_ctrlc.")),
    PROBLEM_METHOD("getProbStatus", problem_getProbStatus, METH_NOARGS,
                   KORVO_DOC("Returns the status of the last solve as a number.", "status = p.getProbStatus()",
                             KORVO_NO_ARGS, "if p.getProbStatus() == korvo.lp_optimal: ...",
                             "The LP, MIP or nonlinear status, as the problem is.")),
    PROBLEM_METHOD("getProbStatusString", problem_getProbStatusString, METH_NOARGS,
                   KORVO_DOC("Returns the status of the last solve as text.", "text = p.getProbStatusString()",
                             KORVO_NO_ARGS, "print(p.getProbStatusString())", "For example 'lp_optimal'.")),
    PROBLEM_METHOD("getObjVal", problem_getObjVal, METH_NOARGS,
                   KORVO_DOC("Returns the objective value of the last solve.", "value = p.getObjVal()", KORVO_NO_ARGS,
                             "print(p.getObjVal())",
                             "For a MIP, the value of the best solution found. Without a solution (before a "
                             "solve, after an infeasible or unbounded one) it raises korvo.SolverError, as "
                             "getSolution() does, rather than return a number that is no result.")),
    PROBLEM_METHOD("getControl", problem_getControl, METH_VARARGS,
                   KORVO_DOC("Returns controls' values: all, one, or several by name.", "value = p.getControl(*names)",
                             KORVO_ARGS("names: none (all controls), one name, several names or a list of names."),
                             "p.getControl('presolve')", "Names are all lower or all upper case.")),
    PROBLEM_METHOD("setControl", problem_setControl, METH_VARARGS,
                   KORVO_DOC("Sets one control, or several from a dictionary.",
                             "p.setControl(name, value) or p.setControl({name: value, ...})",
                             KORVO_ARGS("name, value: a control and its new value; or one dictionary."),
                             "p.setControl('timelimit', 10)", "p.controls.timelimit = 10 does the same.")),
    PROBLEM_METHOD("getAttrib", problem_getAttrib, METH_VARARGS,
                   KORVO_DOC("Returns attributes' values: all, one, or several by name.", "value = p.getAttrib(*names)",
                             KORVO_ARGS("names: none (all attributes), one name, several names or a list of names."),
                             "p.getAttrib('rows')", "p.attributes.rows does the same.")),
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject korvo_problemType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.problem",
    .tp_basicsize = sizeof(problem_s),
    .tp_dealloc = problem_dealloc,
    .tp_str = problem_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = KORVO_DOC("An optimization problem: variables, constraints, sets and an objective, solved by korvo.",
                        "p = korvo.problem(*elements, name='', sense=korvo.minimize)",
                        KORVO_ARGS("elements: variables, constraints, SOS (or containers of them) and at most one "
                                   "objective expression;\n  name: the problem's name;\n  sense: korvo.minimize or "
                                   "korvo.maximize, for an objective among the elements."),
                        "p = korvo.problem(x, y, 2*x + y <= 4, x + y, sense=korvo.maximize)",
                        "Solve with p.solve() and read results with p.getSolution()."),
    .tp_methods = nullptr,  // filled at start-up from the method tables of the problem files
    .tp_getset = problem_getset,
    .tp_init = problem_init,
};

PyMethodDef *problem_base_method_table() { return problem_base_methods; }

int problem_type_prepare(void) {
  static std::vector<PyMethodDef> methods;
  if (!methods.empty()) return 0;
  std::vector<PyMethodDef *> tables{problem_base_method_table(),     problem_registry_method_table(),
                                     problem_flush_method_table(),    problem_objective_method_table(),
                                     problem_solution_method_table(), problem_files_method_table()};
  int registered = 0;
  PyMethodDef *const *families = problem_registered_method_tables(&registered);
  tables.insert(tables.end(), families, families + registered);
  for (PyMethodDef *table : tables)
    for (PyMethodDef *def = table; def->ml_name; ++def) methods.push_back(*def);
  methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  korvo_problemType.tp_methods = methods.data();
  return 0;
}
