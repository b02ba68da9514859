// The callback store of a problem and the machinery every callback kind
// shares: registration entries, the problem handed to a callback, and the
// call of a Python callback from an engine thread.
#ifndef KORVO_CALLBACKS_H
#define KORVO_CALLBACKS_H

#include <Python.h>

#include "knls.h"
#include "krvs.h"

struct problem_s;

// Registers (callable, data, priority) for a kind (0-39) on the problem and
// with the engine; the slot is unchanged when it fails. 0 or -1 with an
// exception.
int callbackInList(problem_s *p, int kind, PyObject *callable, PyObject *data, int priority);
// Removes matching registrations (null or None filters match any; identity
// otherwise), from the engine too when call_engine is set. 0 or -1.
int removeCallback(problem_s *p, int kind, PyObject *callable, PyObject *data, bool call_engine);

// The nonlinear solver's kinds (19-39): the family that serves them tells
// the store how to set and unset a trampoline with an entry as user data.
struct callback_nl_kind {
  int (*set)(KNLSprob prob, void *entry);
  int (*unset)(KNLSprob prob, void *entry);
};
void callback_register_nonlinear_kind(int kind, const callback_nl_kind *how);

// A registration method and its remover as two rows of a method table, each
// named in full so that a search for a method's name finds its row.
#define KORVO_CALLBACK_METHOD_PAIR(register_name, register_fn, register_doc, remove_name, remove_fn, remove_doc)  \
  PyMethodDef{register_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(register_fn)),         \
              METH_VARARGS | METH_KEYWORDS, register_doc},                                                         \
      PyMethodDef {                                                                                                \
    remove_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(remove_fn)),                       \
        METH_VARARGS | METH_KEYWORDS, remove_doc                                                                   \
  }

// Calls the entry's callable with (problem for the callback, data, *extra)
// under the interpreter lock (which the caller holds). Null when the call
// was skipped (an earlier callback of the solve failed) or raised; then
// `message` has been written to stderr, the exception is kept for the solve
// method and the engine problem is asked to stop.
PyObject *callback_call(KRVSprob handle, void *entry, const char *message, PyObject *extra);
// Same for the nonlinear solver's callbacks.
PyObject *callback_call_nonlinear(KNLSprob handle, void *entry, const char *message, PyObject *extra);
// A result of the wrong shape: writes the message and asks the engine to stop.
void callback_refuse_result(KRVSprob handle, const char *message);
// Int results: int (bool included) or NumPy integer scalar as its value,
// None as 0, anything else as -1.
int callback_int_result(PyObject *result);

// Around every engine solve of a problem: the solve method raises what a
// callback raised meanwhile (callbacks_solve_end returns -1 with it set).
void callbacks_solve_begin(problem_s *p);
int callbacks_solve_end(problem_s *p);

#endif
