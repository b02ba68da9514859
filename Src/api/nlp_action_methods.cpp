// Problem methods that check points against the nonlinear model and act on
// the nonlinear solver's state: validation, penalties, start values,
// linearisation, scaling, cascading and the reports. One table row each.
#include <Python.h>

#include "api/callbacks.h"
#include "api/conversion.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"

namespace {

// The reports of these actions reach the message callbacks (setcbmessage):
// what one of them raises is what the method raises.
template <class Call>
int with_callbacks(wrap_call &c, Call &&call) {
  callbacks_solve_begin(c.p);
  int rc = call();
  if (callbacks_solve_end(c.p) < 0) return -1;
  return rc;
}

int validaterow_call(wrap_call &c) {
  return with_callbacks(c, [&] { return KNLSvalidaterow(c.p->nlprob, int(c.ints[0])); });
}
const wrapper_def kValidaterow{
    "validaterow",
    KORVO_DOC("Checks one row at the current point and reports its activity, bounds and violation.",
              "p.validaterow(row)", KORVO_ARG("row: the row (constraint, name or index)."), "p.validaterow(c1)",
              "The violation is kept as row information 5 (getrowinfo). The current point is the last solution, "
              "else the start values."),
    1,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false}},
    nullptr,
    validaterow_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in validaterow"};

int validatevector_prepare(wrap_call &c) {
  int ncols = 0;
  if (KNLSgetintattrib(c.p->nlprob, 12000, &ncols) != 0) return -1;
  if (c.slots[0] != ncols) {
    PyErr_SetString(korvo_interface_error, "Wrong vector size in validatevector");
    return -1;
  }
  return 0;
}
int validatevector_call(wrap_call &c) {
  return KNLSvalidatevector(c.p->nlprob, c.array<double>(0), &c.dbls[1], &c.dbls[2], &c.dbls[3]);
}
PyObject *validatevector_result(wrap_call &c) { return Py_BuildValue("(ddd)", c.dbls[1], c.dbls[2], c.dbls[3]); }
const wrapper_def kValidatevector{
    "validatevector",
    KORVO_DOC("Checks a point against the rows and bounds of the nonlinear model.",
              "sumviol, maxviol, objective = p.validatevector(solution)",
              KORVO_ARG("solution: one value per column."), "s, m, f = p.validatevector([1.0, 2.0])",
              "Returns the sum of the violations of rows and bounds, the largest single violation and the "
              "objective value at the point."),
    1,
    {{"solution", "vector", WR_ARRAY, CONV_DOUBLE, 0, false}},
    validatevector_prepare,
    validatevector_call,
    validatevector_result,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in validatevector"};

int validatekkt_call(wrap_call &c) {
  return with_callbacks(
      c, [&] { return KNLSvalidatekkt(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), int(c.ints[2]), c.dbls[3]); });
}
const wrapper_def kValidatekkt{
    "validatekkt",
    KORVO_DOC("Checks the first-order optimality conditions at the last nonlinear solution.",
              "p.validatekkt(mode, respectbasis, updatemult, violtarget)",
              KORVO_ARGS("mode: 0 uses the solution's reduced costs, 1 recomputes them from the duals;\n  "
                         "respectbasis: 1 also counts a reduced cost of a column strictly inside its bounds;\n  "
                         "updatemult: 1 keeps recomputed reduced costs in the solution;\n  violtarget: the residual "
                         "the message compares against."),
              "p.validatekkt(0, 1, 0, 1e-6)",
              "Column residuals (gradient of the objective minus the rows' gradients times their duals, minus the "
              "reduced cost) are column information 5, row complementarity residuals (dual times distance to the "
              "nearest bound) row information 6."),
    4,
    {{"mode", "calculationmode", WR_INT, CONV_INT, -1, false},
     {"respectbasis", "respectbasisstatus", WR_INT, CONV_INT, -1, false},
     {"updatemult", "updatemultipliers", WR_INT, CONV_INT, -1, false},
     {"violtarget", "kktviolationtarget", WR_DOUBLE, CONV_DOUBLE, -1, false}},
    nullptr,
    validatekkt_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in validatekkt"};

int fixpenalties_call(wrap_call &c) {
  int status = 0;
  int rc = KNLSfixpenalties(c.p->nlprob, &status);
  c.ints[0] = status;
  return rc;
}
PyObject *fixpenalties_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[0]); }
const wrapper_def kFixpenalties{
    "fixpenalties",
    KORVO_DOC("Makes the next nonlinear solves start with the penalty weight the last one ended with.",
              "status = p.fixpenalties()", KORVO_NO_ARGS, "status = p.fixpenalties()",
              "Returns 0 when the weight was taken over (control knls_penalty), 1 when no solve has run."),
    0,
    {},
    nullptr,
    fixpenalties_call,
    fixpenalties_result};

// Actions without arguments, one engine function each.
#define KORVO_ACTION(ident, pyname, fn, purpose, further)                                                     \
  int ident##_call(wrap_call &c) { return with_callbacks(c, [&] { return fn(c.p->nlprob); }); }             \
  const wrapper_def ident{pyname, KORVO_DOC(purpose, "p." pyname "()", KORVO_NO_ARGS, "p." pyname "()", further), \
                          0,      {},                                                                          \
                          nullptr, ident##_call,                                                               \
                          nullptr};

KORVO_ACTION(kValidate, "validate", KNLSvalidate, "Checks every row at the current point and reports the violations.",
             "Each row's violation is kept as row information 5 (getrowinfo).")
KORVO_ACTION(kUpdatelinearization, "updatelinearization", KNLSupdatelinearization,
             "Evaluates every nonlinear row and its gradient at the current point.",
             "Raises korvo.SolverError when a row cannot be linearised there (a formula outside its domain).")
KORVO_ACTION(kUnconstruct, "unconstruct", KNLSunconstruct, "Marks the nonlinear problem as not constructed.",
             "State flag 0x1 of attribute knls_state is cleared.")
KORVO_ACTION(kConstruct, "construct", KNLSconstruct, "Marks the nonlinear problem as constructed.",
             "State flag 0x1 of attribute knls_state is set.")
KORVO_ACTION(kSetcurrentiv, "setcurrentiv", KNLSsetcurrentiv,
             "Makes the current point (the last solution, else the start values) the start values of every column.",
             "The next solve starts from there (see getvar).")
KORVO_ACTION(kScaling, "scaling", KNLSscaling,
             "Computes a factor per row: 1 over the largest entry of its gradient at the current point.",
             "The factors are row information 7 (getrowinfo).")
KORVO_ACTION(kReinitialize, "reinitialize", KNLSreinitialize,
             "Forgets the last nonlinear solve: its solution, status and the columns' values.",
             "Start values and other SLP items stay.")
KORVO_ACTION(kPrintevalinfo, "printevalinfo", KNLSprintevalinfo,
             "Reports the formulas and the evaluations of the last solve as a message.",
             "Messages go to the output like the solver's log.")
KORVO_ACTION(kPrintmemory, "printmemory", KNLSprintmemory,
             "Reports the memory held by the nonlinear items as a message.",
             "Messages go to the output like the solver's log.")
KORVO_ACTION(kPresolve, "presolve", KNLSpresolve, "Marks the nonlinear problem as presolved.",
             "State flag 0x20000000 of attribute knls_state is set.")
KORVO_ACTION(kCascadeorder, "cascadeorder", KNLScascadeorder,
             "Orders the determined columns (those with a determining row) for cascading.",
             "Each comes after the determined columns its row reads, ties by sequence number; the place is column "
             "information 4.")
// Cascading raises the cascade callbacks: what one of them raises is what
// the method raises.
int cascade_call(wrap_call &c) {
  return with_callbacks(c, [&] { return KNLScascade(c.p->nlprob); });
}
const wrapper_def kCascade{
    "cascade",
    KORVO_DOC("Recomputes every determined column from its determining row at the current point.", "p.cascade()",
              KORVO_NO_ARGS, "p.cascade()",
              "Newton steps (at most the column's cascade limit) bring the row to its nearest bound within the "
              "column's bounds; the result becomes the current point. The cascade callbacks (setcbcascadestart, "
              "setcbdrcol, ...) are called as in a solve."),
    0,
    {},
    nullptr,
    cascade_call,
    nullptr};

PyMethodDef nlp_action_methods[] = {
    KORVO_WRAPPER_METHOD(kValidaterow),   KORVO_WRAPPER_METHOD(kValidatevector), KORVO_WRAPPER_METHOD(kValidatekkt),
    KORVO_WRAPPER_METHOD(kFixpenalties),  KORVO_WRAPPER_METHOD(kValidate),       KORVO_WRAPPER_METHOD(kUpdatelinearization),
    KORVO_WRAPPER_METHOD(kUnconstruct),   KORVO_WRAPPER_METHOD(kConstruct),      KORVO_WRAPPER_METHOD(kSetcurrentiv),
    KORVO_WRAPPER_METHOD(kScaling),       KORVO_WRAPPER_METHOD(kReinitialize),   KORVO_WRAPPER_METHOD(kPrintevalinfo),
    KORVO_WRAPPER_METHOD(kPrintmemory),   KORVO_WRAPPER_METHOD(kPresolve),       KORVO_WRAPPER_METHOD(kCascadeorder),
    KORVO_WRAPPER_METHOD(kCascade),       {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(nlp_action_methods);
