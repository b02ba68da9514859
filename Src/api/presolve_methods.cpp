// Problem methods on the presolved problem that an LP solve with the flag
// 'k' keeps: the maps to the original rows and columns, its solution and
// basis, rows rewritten in its columns, and postsolve. Without a kept
// presolved problem they read the problem itself.
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

constexpr int kRhs = kWrapMaxArgs - 1;     // dbls[]: the presolved right-hand side
constexpr int kStatus = kWrapMaxArgs - 1;  // ints[]: presolverow's status

// Rows and columns of the current (presolved, when one is kept) problem
// into slots 1 and 0.
int presolved_dimensions(wrap_call &c) { return wrap_dimensions(c, 1001, 1018); }

// getpresolvemap(rowmap, colmap)
int getpresolvemap_prepare(wrap_call &c) {
  static const int slot_of[2] = {1, 0};
  return presolved_dimensions(c) < 0 ? -1 : wrap_allocate_given(c, 2, slot_of, sizeof(int));
}
int getpresolvemap_call(wrap_call &c) {
  if (!c.arrays[0] && !c.arrays[1]) return 0;
  return KRVSgetpresolvemap(c.p->prob, c.array<int>(0), c.array<int>(1));
}

// getpresolvesol(x, slack, duals, djs)
int getpresolvesol_prepare(wrap_call &c) {
  static const int slot_of[4] = {0, 1, 1, 0};
  return presolved_dimensions(c) < 0 ? -1 : wrap_allocate_given(c, 4, slot_of, sizeof(double));
}
int getpresolvesol_call(wrap_call &c) {
  return KRVSgetpresolvesol(c.p->prob, c.array<double>(0), c.array<double>(1), c.array<double>(2),
                            c.array<double>(3));
}

// getpresolvebasis(rowstat, colstat)
int getpresolvebasis_prepare(wrap_call &c) {
  static const int slot_of[2] = {1, 0};
  return presolved_dimensions(c) < 0 ? -1 : wrap_allocate_given(c, 2, slot_of, sizeof(int));
}
int getpresolvebasis_call(wrap_call &c) {
  if (!c.arrays[0] && !c.arrays[1]) return 0;
  return KRVSgetpresolvebasis(c.p->prob, c.array<int>(0), c.array<int>(1));
}

// presolverow(rowtype, origcolind, origrowcoef, origrhs, maxcoefs, colind, rowcoef)
int presolverow_prepare(wrap_call &c) {
  const char *type = c.strs[0];
  if (!type || !type[0] || type[1]) {
    PyErr_SetString(korvo_interface_error, "Argument rowtype must be a single character");
    return -1;
  }
  if (c.ints[4] < 0 || c.ints[4] > INT_MAX) {
    PyErr_SetString(korvo_interface_error, "Argument maxcoefs must be between 0 and 2147483647");
    return -1;
  }
  if (c.slots[0] > INT_MAX) {
    PyErr_SetString(korvo_interface_error, "Too many coefficients in the row");
    return -1;
  }
  // The outputs share slot 1: the number written, known after the call.
  return wrap_allocate(c, 5, c.ints[4], sizeof(int)) < 0 || wrap_allocate(c, 6, c.ints[4], sizeof(double)) < 0
             ? -1
             : 0;
}
int presolverow_call(wrap_call &c) {
  int ncoefs = 0, status = 0;
  const int n = c.slots[0] < 0 ? 0 : int(c.slots[0]);
  const int rc = KRVSpresolverow(c.p->prob, c.strs[0][0], n, c.array<int>(1), c.array<double>(2), c.dbls[3],
                                 int(c.ints[4]), &ncoefs, c.array<int>(5), c.array<double>(6), &c.dbls[kRhs], &status);
  c.slots[1] = ncoefs < c.ints[4] ? ncoefs : c.ints[4];
  c.ints[kStatus] = status;
  return rc;
}
PyObject *presolverow_result(wrap_call &c) { return Py_BuildValue("(dL)", c.dbls[kRhs], c.ints[kStatus]); }

int postsolve_call(wrap_call &c) { return KRVSpostsolve(c.p->prob); }

#define OUT(kw, legacy, kind, slot) {kw, legacy, WR_OUTLIST, kind, slot, false}
#define OPT_OUT(kw, legacy, kind, slot) {kw, legacy, WR_OUTLIST, kind, slot, true}


const wrapper_def kGetpresolvemap{
    "getpresolvemap",
    KORVO_DOC("Returns the original row and column of each row and column of the presolved problem.",
              "p.getpresolvemap(rowmap, colmap)",
              KORVO_ARGS("rowmap: list that receives the original row index of each presolved row;\n  colmap: list "
                         "that receives the original column index of each presolved column. None skips one."),
              "p.lpoptimize('k'); r, c = list[int](), list[int](); p.getpresolvemap(r, c)",
              "The presolved problem is the one kept by lpoptimize with the flag 'k' until postsolve, the next "
              "solve or a change of the model; without it, the problem itself (the maps are the identity)."),
    2,
    {OUT("rowmap", "rowmap", CONV_INT, 1), OUT("colmap", "colmap", CONV_INT, 0)},
    getpresolvemap_prepare,
    getpresolvemap_call,
    nullptr};

const wrapper_def kGetpresolvesol{
    "getpresolvesol",
    KORVO_DOC("Returns the solution of the presolved problem: values, slacks, duals and reduced costs.",
              "p.getpresolvesol(x=None, slack=None, duals=None, djs=None)",
              KORVO_ARGS("x: list that receives one value per presolved column;\n  slack: list that receives one "
                         "slack per presolved row;\n  duals: list that receives one dual value per presolved row;\n  "
                         "djs: list that receives one reduced cost per presolved column. None asks for nothing."),
              "p.lpoptimize('k'); x = list[float](); p.getpresolvesol(x)",
              "The presolved problem is the one kept by lpoptimize with the flag 'k' until postsolve, the next "
              "solve or a change of the model; without it, the problem itself (getlpsol). Legacy keywords: dual, "
              "dj."),
    4,
    {OPT_OUT("x", "x", CONV_DOUBLE, 0), OPT_OUT("slack", "slack", CONV_DOUBLE, 1),
     OPT_OUT("duals", "dual", CONV_DOUBLE, 1), OPT_OUT("djs", "dj", CONV_DOUBLE, 0)},
    getpresolvesol_prepare,
    getpresolvesol_call,
    nullptr};

const wrapper_def kGetpresolvebasis{
    "getpresolvebasis",
    KORVO_DOC("Returns the basis statuses of the presolved problem's rows and columns.",
              "p.getpresolvebasis(rowstat=None, colstat=None)",
              KORVO_ARGS("rowstat: list that receives one status per presolved row;\n  colstat: list that receives "
                         "one status per presolved column. None skips one."),
              "p.lpoptimize('k'); r, c = list[int](), list[int](); p.getpresolvebasis(r, c)",
              "Codes as for getbasis. The presolved problem is the one kept by lpoptimize with the flag 'k' until "
              "postsolve, the next solve or a change of the model; without it, the problem itself (getbasis). "
              "Legacy keywords: rstatus, cstatus."),
    2,
    {OPT_OUT("rowstat", "rstatus", CONV_INT, 1), OPT_OUT("colstat", "cstatus", CONV_INT, 0)},
    getpresolvebasis_prepare,
    getpresolvebasis_call,
    nullptr};

const wrapper_def kPresolverow{
    "presolverow",
    KORVO_DOC("Rewrites a row given in the original columns in the presolved problem's columns.",
              "rhs, status = p.presolverow(rowtype, origcolind, origrowcoef, origrhs, maxcoefs, colind, rowcoef)",
              KORVO_ARGS("rowtype: 'L', 'G', 'E' or 'N';\n  origcolind: the row's original columns;\n  origrowcoef: "
                         "their coefficients;\n  origrhs: the right-hand side;\n  maxcoefs: the most coefficients "
                         "returned;\n  colind: list that receives the presolved column indices;\n  rowcoef: list "
                         "that receives their coefficients."),
              "ci, cv = list[int](), list[float](); rhs, status = p.presolverow('L', [x, y], [1, 2], 4, 10, ci, cv)",
              "Columns that presolve fixed move to the right-hand side. Status 0: done; 1: the row uses a column "
              "that presolve removed by a reduction other than fixing, so it has no form in the presolved columns "
              "(the lists are emptied); 2: more than maxcoefs coefficients (the lists hold the first maxcoefs). "
              "Legacy keywords: qrtype, mcolso, dvalo, drhso, maxcoeffs, mcolsp, dvalp."),
    7,
    {{"rowtype", "qrtype", WR_STRING, CONV_STRING, -1, false},
     {"origcolind", "mcolso", WR_ARRAY, CONV_COL, 0, false},
     {"origrowcoef", "dvalo", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"origrhs", "drhso", WR_DOUBLE, CONV_DOUBLE, -1, false},
     {"maxcoefs", "maxcoeffs", WR_INT, CONV_INT, -1, false},
     OUT("colind", "mcolsp", CONV_INT, 1),
     OUT("rowcoef", "dvalp", CONV_DOUBLE, 1)},
    presolverow_prepare,
    presolverow_call,
    presolverow_result};

const wrapper_def kPostsolve{
    "postsolve",
    KORVO_DOC("Returns from the presolved problem to the original one.", "p.postsolve()", KORVO_NO_ARGS,
              "p.lpoptimize('k'); p.postsolve()",
              "A presolved solution that the solve left unpostsolved (it stopped early) becomes the LP solution "
              "of the original problem first. Without a kept presolved problem nothing happens."),
    0,
    {},
    nullptr,
    postsolve_call,
    nullptr};

PyMethodDef presolve_methods[] = {KORVO_WRAPPER_METHOD(kGetpresolvemap), KORVO_WRAPPER_METHOD(kGetpresolvesol),
                                  KORVO_WRAPPER_METHOD(kGetpresolvebasis), KORVO_WRAPPER_METHOD(kPresolverow),
                                  KORVO_WRAPPER_METHOD(kPostsolve), {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(presolve_methods);
