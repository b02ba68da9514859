// globalsol: the nonlinear solver's global solve (spatial branch and
// bound), run like nlpoptimize with the interpreter lock released.
#include <Python.h>

#include "api/callbacks.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "nonlin/convert.h"
#include "problem/change_journal.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

int globalsol_call(wrap_call &c) {
  problem_s *p = c.p;
  // Changes made to the problem's objects reach the engine model first.
  if (problem_apply_object_changes(p) < 0) return -1;
  problem_solving_scope solving(p);
  Py_XDECREF(take_user_function_error(p->nlprob));
  callbacks_solve_begin(p);
  int slot = setSigIntHandler(p);
  int rc;
  Py_BEGIN_ALLOW_THREADS;
  rc = KNLSglobal(p->nlprob);
  Py_END_ALLOW_THREADS;
  PyRef user_error(take_user_function_error(p->nlprob));
  const int interrupted = resetSigIntHandler(slot);
  p->last_solve_nonlinear = 1;
  if (callbacks_solve_end(p) < 0 || interrupted < 0 || PyErr_Occurred()) return -1;
  if (user_error) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(user_error.get())), user_error.get());
    return -1;
  }
  return rc;
}

const wrapper_def kGlobalsol{
    "globalsol",
    KORVO_DOC("Solves the nonlinear problem to global optimality by spatial branch and bound.", "p.globalsol()",
              KORVO_NO_ARGS, "p.globalsol()",
              "Lower bounds come from linear relaxations of every nonlinear term over each node's box (interval "
              "bounds, McCormick envelopes of products and quotients, tangents and secants of convex and concave "
              "functions), upper bounds from SLP runs started at the relaxations' solutions; nodes split on integer "
              "and continuous columns until the best solution is within knls_globalabsgap or knls_globalrelgap of "
              "the bound. Attribute knls_status is then nlp_globally_optimal (or infeasible); when "
              "knls_globalnodelimit or knls_timelimit stops the search it is locally optimal with the best solution "
              "found. knls_globalnodes and knls_globalbound report the search. Every column of a nonlinear term "
              "needs finite bounds; user functions cannot be bounded and are refused (korvo.SolverError)."),
    0,
    {},
    nullptr,
    globalsol_call,
    nullptr};

PyMethodDef nlp_global_methods[] = {KORVO_WRAPPER_METHOD(kGlobalsol), {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(nlp_global_methods);
