// Problem methods on the barrier's interior-point solution, crossover to a
// basic solution and the refinement of a MIP solution.
#include <Python.h>

#include <climits>
#include <cstdint>

#include "api/conversion.h"
#include "api/errors.h"
#include "api/wrapper_table.h"
#include "krvs.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"

namespace {

constexpr int kStatus = kWrapMaxArgs - 1;  // where calls leave the engine's status

PyObject *status_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[kStatus]); }

// getlastbarsol(x, slack, duals, djs): lengths of the unpresolved problem.
int getlastbarsol_prepare(wrap_call &c) {
  int rows = 0, cols = 0;
  if (KRVSgetintattrib(c.p->prob, 1124, &rows) != 0 || KRVSgetintattrib(c.p->prob, 1214, &cols) != 0) return -1;
  c.slots[0] = cols;
  c.slots[1] = rows;
  static const int slot_of[4] = {0, 1, 1, 0};
  for (int i = 0; i < 4; ++i)
    if (c.given(i) && wrap_allocate(c, i, c.slots[slot_of[i]], sizeof(double)) < 0) return -1;
  return 0;
}
int getlastbarsol_call(wrap_call &c) {
  int status = 0;
  const int rc = KRVSgetlastbarsol(c.p->prob, c.array<double>(0), c.array<double>(1), c.array<double>(2),
                                   c.array<double>(3), &status);
  c.ints[kStatus] = status;
  return rc;
}

int crossoverlpsol_call(wrap_call &c) {
  int status = 0;
  const int rc = KRVScrossoverlpsol(c.p->prob, &status);
  c.ints[kStatus] = status;
  return rc;
}

// refinemipsol(options, flags, solution, refined): one value per column.
int refinemipsol_prepare(wrap_call &c) {
  int cols = 0;
  if (KRVSgetintattrib(c.p->prob, 1214, &cols) != 0) return -1;
  if (c.slots[0] != cols) {
    PyErr_Format(korvo_interface_error, "Argument solution must have one value per column: expected %d, found %lld",
                 cols, (long long)c.slots[0]);
    return -1;
  }
  if (c.ints[0] < INT_MIN || c.ints[0] > INT_MAX) {
    PyErr_SetString(korvo_interface_error, "Argument options is out of range");
    return -1;
  }
  c.slots[1] = cols;
  return wrap_allocate(c, 3, cols, sizeof(double));
}
int refinemipsol_call(wrap_call &c) {
  int status = 0;
  const int rc = KRVSrefinemipsol(c.p->prob, int(c.ints[0]), c.strs[1] ? c.strs[1] : "", c.array<double>(2),
                                  c.array<double>(3), &status);
  c.ints[kStatus] = status;
  return rc;
}

#define OPT_OUT(kw, legacy, kind, slot) {kw, legacy, WR_OUTLIST, kind, slot, true}

const wrapper_def kGetlastbarsol{
    "getlastbarsol",
    KORVO_DOC("Returns the interior-point solution of the last barrier solve, before any crossover.",
              "status = p.getlastbarsol(x=None, slack=None, duals=None, djs=None)",
              KORVO_ARGS("x: list that receives one value per column;\n  slack: list that receives one slack per "
                         "row;\n  duals: list that receives one dual value per row;\n  djs: list that receives one "
                         "reduced cost per column. None asks for nothing."),
              "p.controls.crossover = 0; p.lpoptimize('b'); x = list[float](); status = p.getlastbarsol(x)",
              "The status is the barrier solve's LP status (1 optimal, 4 unfinished). The interior point is kept "
              "by barrier solves of an LP run with the crossover control 0; otherwise korvo.SolverError. Legacy "
              "keywords: dual, dj."),
    4,
    {OPT_OUT("x", "x", CONV_DOUBLE, 0), OPT_OUT("slack", "slack", CONV_DOUBLE, 1),
     OPT_OUT("duals", "dual", CONV_DOUBLE, 1), OPT_OUT("djs", "dj", CONV_DOUBLE, 0)},
    getlastbarsol_prepare,
    getlastbarsol_call,
    status_result};

const wrapper_def kCrossoverlpsol{
    "crossoverlpsol",
    KORVO_DOC("Turns the barrier solution (or else the LP solution) of an LP into a basic optimal solution.",
              "status = p.crossoverlpsol()", KORVO_NO_ARGS, "status = p.crossoverlpsol()",
              "0: a basic solution was found; it becomes the LP solution and basis (getlpsol, getbasis) and starts "
              "the next simplex solve. 1: no optimal basis was reached within lpiterlimit; nothing changed. Linear "
              "programs only; without a solution korvo.SolverError."),
    0,
    {},
    nullptr,
    crossoverlpsol_call,
    status_result};

const wrapper_def kRefinemipsol{
    "refinemipsol",
    KORVO_DOC("Re-optimises the continuous part of a MIP solution with its discrete columns fixed.",
              "status = p.refinemipsol(options, flags, solution, refined)",
              KORVO_ARGS("options: 0 (no options are defined);\n  flags: '' (no flags are defined);\n  solution: "
                         "one value per column;\n  refined: list that receives the refined solution."),
              "r = list[float](); status = p.refinemipsol(0, '', x, r)",
              "Status 0: refined holds the best solution with the same discrete values; 1: those values admit no "
              "feasible solution; 2: the solution is not integral where it must be. refined is the given solution "
              "for statuses 1 and 2. Legacy keyword: refined_solution."),
    4,
    {{"options", "options", WR_INT, CONV_INT, -1, false},
     {"flags", "flags", WR_STRING, CONV_STRING, -1, false},
     {"solution", "solution", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"refined", "refined_solution", WR_OUTLIST, CONV_DOUBLE, 1, false}},
    refinemipsol_prepare,
    refinemipsol_call,
    status_result};

PyMethodDef crossover_refine_methods[] = {
    KORVO_WRAPPER_METHOD(kGetlastbarsol), KORVO_WRAPPER_METHOD(kCrossoverlpsol),
    KORVO_WRAPPER_METHOD(kRefinemipsol), {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(crossover_refine_methods);
