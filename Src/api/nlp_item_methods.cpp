// Problem methods on the nonlinear solver's SLP items: SLP variables,
// tolerance sets, delta factors and types, row statuses and weights,
// cascade limits, coefficients given as tokens or text, and the row and
// column information queries. One table row each.
#include <Python.h>

#include <cstring>

#include "api/conversion.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

int refuse(const char *message) {
  PyErr_SetString(korvo_interface_error, message);
  return -1;
}

// The engine reads a token formula up to its end token: a list of tokens
// without one gets it appended, so the engine never reads past the list.
// Tokens are arrays ti (ints) and vi (doubles) of count slot; the copies
// go to arrays ti_out and vi_out.
int terminated_formula(wrap_call &c, int ti, int vi, int slot, int ti_out, int vi_out) {
  int64_t n = c.slots[slot] < 0 ? 0 : c.slots[slot];
  if (wrap_allocate(c, ti_out, n + 1, sizeof(int)) < 0 || wrap_allocate(c, vi_out, n + 1, sizeof(double)) < 0) return -1;
  if (n > 0) {
    std::memcpy(c.arrays[ti_out], c.arrays[ti], size_t(n) * sizeof(int));
    std::memcpy(c.arrays[vi_out], c.arrays[vi], size_t(n) * sizeof(double));
  }
  c.array<int>(ti_out)[n] = KNLS_TOK_EOF;
  c.array<double>(vi_out)[n] = 0.0;
  return 0;
}

// A flag that must be True or False; -1 when it is neither.
int bool_flag(PyObject *obj) { return obj == Py_True ? 1 : obj == Py_False ? 0 : -1; }

// An optional factor: None leaves the engine's pointer null.
int optional_factor(wrap_call &c, int i, const char *message) {
  if (!c.given(i)) return 0;
  c.dbls[i] = PyFloat_AsDouble(c.objects[i]);
  if (c.dbls[i] == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return refuse(message);
  }
  return 0;
}

// ---- SLP variables ----
int addvars_call(wrap_call &c) {
  return KNLSaddvars(c.p->nlprob, int(c.slots[0]), c.array<int>(0), c.array<int>(1), c.array<int>(2), c.array<int>(3),
                     c.array<int>(4), c.array<double>(5), c.array<double>(6));
}
int loadvars_call(wrap_call &c) {
  return KNLSloadvars(c.p->nlprob, int(c.slots[0]), c.array<int>(0), c.array<int>(1), c.array<int>(2),
                      c.array<int>(3), c.array<int>(4), c.array<double>(5), c.array<double>(6));
}

#define KORVO_VARS_ARGS                                                                                          \
  7, {                                                                                                           \
    {"colindex", nullptr, WR_ARRAY, CONV_COL, 0, false}, {"vartype", nullptr, WR_ARRAY, CONV_INT, 0, true},      \
        {"detrow", nullptr, WR_ARRAY, CONV_ROW, 0, true}, {"seqnum", nullptr, WR_ARRAY, CONV_INT, 0, true},      \
        {"tolindex", nullptr, WR_ARRAY, CONV_INT, 0, true}, {"initvalue", nullptr, WR_ARRAY, CONV_DOUBLE, 0, true}, \
        {"stepbound", nullptr, WR_ARRAY, CONV_DOUBLE, 0, true}                                                   \
  }

const wrapper_def kAddvars{
    "addvars",
    KORVO_DOC("Sets SLP items of columns: type, determining row, cascade order, tolerance set, start value and step "
              "bound.",
              "p.addvars(colindex, vartype=None, detrow=None, seqnum=None, tolindex=None, initvalue=None, "
              "stepbound=None)",
              KORVO_ARGS("colindex: the columns (variables, names or indices);\n  vartype, seqnum, tolindex: ints, "
                         "one per column (tolindex: a tolerance set from 1, 0 none);\n  detrow: determining rows (-1 "
                         "none);\n  initvalue: start values;\n  stepbound: caps on each column's step (0 none)."),
              "p.addvars([x, y], initvalue=[1.0, 2.0], stepbound=[0.5, 0.5])",
              "Items left out (None) keep their values; loadvars first drops every column's items."),
    KORVO_VARS_ARGS,
    nullptr,
    addvars_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in addvars"};

const wrapper_def kLoadvars{
    "loadvars",
    KORVO_DOC("Replaces the SLP items of all columns by those given.",
              "p.loadvars(colindex, vartype=None, detrow=None, seqnum=None, tolindex=None, initvalue=None, "
              "stepbound=None)",
              KORVO_ARGS("as addvars."), "p.loadvars([x], initvalue=[3.0])",
              "Columns not named lose their SLP items (start value, step bound, determining row, ...)."),
    KORVO_VARS_ARGS,
    nullptr,
    loadvars_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in loadvars"};

int chgvar_call(wrap_call &c) {
  // The engine takes 32-bit ints; each given one is narrowed into its own slot.
  int narrow[kWrapMaxArgs];
  auto ni = [&](int k) -> const int * {
    if (!c.given(k)) return nullptr;
    narrow[k] = int(c.ints[k]);
    return &narrow[k];
  };
  auto d = [&](int k) -> const double * { return c.given(k) ? &c.dbls[k] : nullptr; };
  return KNLSchgvar(c.p->nlprob, int(c.ints[0]), ni(1), d(2), d(3), d(4), d(5), d(6), d(7), ni(8), ni(9), ni(10),
                    ni(11));
}

const wrapper_def kChgvar{
    "chgvar",
    KORVO_DOC("Changes SLP items of one column.",
              "p.chgvar(col, detrow=None, initstepbound=None, stepbound=None, penalty=None, damp=None, initial=None, "
              "value=None, tolset=None, history=None, converged=None, vartype=None)",
              KORVO_ARGS("col: the column (variable, name or index);\n  detrow: its determining row (-1 none);\n  "
                         "initstepbound, stepbound: step bounds at the first iteration and as a cap (0 none);\n  "
                         "penalty, damp, initial, value: numbers (initial is the start value);\n  tolset, history, "
                         "converged, vartype: ints."),
              "p.chgvar(x, initial=2.0, stepbound=0.5)", "Items left out or None stay as they are."),
    12,
    {{"col", "colindex", WR_INDEX, CONV_COL, -1, false},
     {"detrow", "detrow", WR_INDEX, CONV_ROW, -1, true},
     {"initstepbound", "initstepbound", WR_DOUBLE, CONV_DOUBLE, -1, true},
     {"stepbound", "stepbound", WR_DOUBLE, CONV_DOUBLE, -1, true},
     {"penalty", "penalty", WR_DOUBLE, CONV_DOUBLE, -1, true},
     {"damp", "damp", WR_DOUBLE, CONV_DOUBLE, -1, true},
     {"initial", "initvalue", WR_DOUBLE, CONV_DOUBLE, -1, true},
     {"value", "value", WR_DOUBLE, CONV_DOUBLE, -1, true},
     {"tolset", "tolset", WR_INT, CONV_INT, -1, true},
     {"history", "history", WR_INT, CONV_INT, -1, true},
     {"converged", "converged", WR_INT, CONV_INT, -1, true},
     {"vartype", "vartype", WR_INT, CONV_INT, -1, true}},
    nullptr,
    chgvar_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect arguments to chgvar"};

struct var_items {
  int detrow, tolset, history, converged, vartype, delta, penaltydelta, updaterow;
  double initstepbound, stepbound, penalty, damp, initial, value, oldvalue;
};
int getvar_prepare(wrap_call &c) { return wrap_allocate(c, 1, 1, sizeof(var_items)); }
int getvar_call(wrap_call &c) {
  var_items &v = *c.array<var_items>(1);
  return KNLSgetvar(c.p->nlprob, int(c.ints[0]), &v.detrow, &v.initstepbound, &v.stepbound, &v.penalty, &v.damp,
                    &v.initial, &v.value, &v.tolset, &v.history, &v.converged, &v.vartype, &v.delta, &v.penaltydelta,
                    &v.updaterow, &v.oldvalue);
}
PyObject *getvar_result(wrap_call &c) {
  const var_items &v = *c.array<var_items>(1);
  return Py_BuildValue("(iddddddiiiiiiid)", v.detrow, v.initstepbound, v.stepbound, v.penalty, v.damp, v.initial,
                       v.value, v.tolset, v.history, v.converged, v.vartype, v.delta, v.penaltydelta, v.updaterow,
                       v.oldvalue);
}

const wrapper_def kGetvar{
    "getvar",
    KORVO_DOC("Returns the SLP items of one column.",
              "(detrow, initstepbound, stepbound, penalty, damp, initial, value, tolset, history, converged, "
              "vartype, delta, penaltydelta, updaterow, oldvalue) = p.getvar(col)",
              KORVO_ARG("col: the column (variable, name or index)."), "items = p.getvar(x)",
              "initial is the start value (the given one, else 0 moved into the bounds); value and oldvalue the "
              "column's value after the last and the solve before; delta is the delta type (-1 none)."),
    1,
    {{"col", "colindex", WR_INDEX, CONV_COL, -1, false}},
    getvar_prepare,
    getvar_call,
    getvar_result,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect arguments in getvar"};

int delvars_call(wrap_call &c) { return KNLSdelvars(c.p->nlprob, int(c.slots[0]), c.array<int>(0)); }
const wrapper_def kDelvars{
    "delvars",
    KORVO_DOC("Drops the SLP items of columns; the columns stay.", "p.delvars(colind)",
              KORVO_ARG("colind: the columns (variables, names or indices)."), "p.delvars([x])",
              "The columns then use the defaults: start value 0 moved into the bounds, no step bound."),
    1,
    {{"colind", "index", WR_ARRAY, CONV_COL, 0, false}},
    nullptr,
    delvars_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect arguments to delvars"};

// ---- tolerance sets ----
int tolsets_prepare(wrap_call &c) {
  if (c.slots[0] < 0 || c.slots[0] % 9 != 0) return refuse("The \"tol\" argument should have a multiple of 9 elements");
  return 0;
}
int addtolsets_call(wrap_call &c) { return KNLSaddtolsets(c.p->nlprob, int(c.slots[0] / 9), c.array<double>(0)); }
int loadtolsets_call(wrap_call &c) { return KNLSloadtolsets(c.p->nlprob, int(c.slots[0] / 9), c.array<double>(0)); }

const wrapper_def kAddtolsets{
    "addtolsets",
    KORVO_DOC("Adds tolerance sets of nine tolerances each.", "p.addtolsets(tol)",
              KORVO_ARG("tol: nine nonnegative numbers per set: absolute and relative step, absolute and relative "
                        "objective change, absolute and relative impact, absolute and relative slack, closure."),
              "p.addtolsets([1e-4, 0, 0, 0, 0, 0, 0, 0, 0])",
              "Sets are numbered from 1 in the order added; a positive tolerance is in use. A column given a set "
              "(addvars tolindex, chgvar tolset) has converged when its step meets one of its set's step or "
              "impact tolerances."),
    1,
    {{"tol", nullptr, WR_ARRAY, CONV_DOUBLE, 0, false}},
    tolsets_prepare,
    addtolsets_call,
    nullptr};

const wrapper_def kLoadtolsets{
    "loadtolsets",
    KORVO_DOC("Replaces every tolerance set by those given.", "p.loadtolsets(tol)",
              KORVO_ARG("tol: nine numbers per set, as in addtolsets."), "p.loadtolsets([0.1] * 9)",
              "Refused when a column uses a set beyond the new ones."),
    1,
    {{"tol", nullptr, WR_ARRAY, CONV_DOUBLE, 0, false}},
    tolsets_prepare,
    loadtolsets_call,
    nullptr};

int chgtolset_prepare(wrap_call &c) {
  return c.slots[0] != 9 ? refuse("Wrong number of elements in tols (should be 9)") : 0;
}
int chgtolset_call(wrap_call &c) {
  int status = int(c.ints[1]);
  return KNLSchgtolset(c.p->nlprob, int(c.ints[0]), &status, c.array<double>(2));
}
const wrapper_def kChgtolset{
    "chgtolset",
    KORVO_DOC("Changes a tolerance set.", "p.chgtolset(tolset, status, tols)",
              KORVO_ARGS("tolset: the set (from 1);\n  status: bits (1 << k) of the tolerances in use;\n  tols: the "
                         "nine tolerances."),
              "p.chgtolset(1, 1, [1e-3, 0, 0, 0, 0, 0, 0, 0, 0])", "See addtolsets for the order of the tolerances."),
    3,
    {{"tolset", "ntol", WR_INT, CONV_INT, -1, false},
     {"status", "status", WR_INT, CONV_INT, -1, false},
     {"tols", "tols", WR_ARRAY, CONV_DOUBLE, 0, false}},
    chgtolset_prepare,
    chgtolset_call,
    nullptr};

int gettolset_prepare(wrap_call &c) {
  c.slots[0] = 9;
  return wrap_allocate(c, 1, 9, sizeof(double));
}
int gettolset_call(wrap_call &c) {
  int status = 0;
  int rc = KNLSgettolset(c.p->nlprob, int(c.ints[0]), &status, c.array<double>(1));
  c.ints[2] = status;
  return rc;
}
PyObject *gettolset_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[2]); }
const wrapper_def kGettolset{
    "gettolset",
    KORVO_DOC("Returns a tolerance set's status and, into a list, its nine tolerances.",
              "status = p.gettolset(tolset, tols=None)",
              KORVO_ARGS("tolset: the set (from 1);\n  tols: a list that receives the nine tolerances (filled in "
                         "place)."),
              "tols = []; status = p.gettolset(1, tols)", "The status has bit (1 << k) set for each tolerance in use."),
    2,
    {{"tolset", "nslptol", WR_INT, CONV_INT, -1, false}, {"tols", "tols", WR_OUTLIST, CONV_DOUBLE, 0, true}},
    gettolset_prepare,
    gettolset_call,
    gettolset_result,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect arguments in gettolset"};

int deltolsets_call(wrap_call &c) { return KNLSdeltolsets(c.p->nlprob, int(c.slots[0]), c.array<int>(0)); }
const wrapper_def kDeltolsets{
    "deltolsets",
    KORVO_DOC("Deletes tolerance sets.", "p.deltolsets(tolind)", KORVO_ARG("tolind: the sets (from 1)."),
              "p.deltolsets([1])", "Later sets move down; columns that used a deleted set use none."),
    1,
    {{"tolind", "index", WR_ARRAY, CONV_INT, 0, false}},
    nullptr,
    deltolsets_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect arguments to deltolsets"};

// ---- delta factors and types ----
#define KORVO_DFS_ARGS                                                                                   \
  3, {                                                                                                   \
    {"colindex", nullptr, WR_ARRAY, CONV_COL, 0, false}, {"rowindex", nullptr, WR_ARRAY, CONV_ROW, 0, false}, \
        {"value", nullptr, WR_ARRAY, CONV_DOUBLE, 0, false}                                              \
  }
int adddfs_call(wrap_call &c) {
  return KNLSadddfs(c.p->nlprob, int(c.slots[0]), c.array<int>(0), c.array<int>(1), c.array<double>(2));
}
int loaddfs_call(wrap_call &c) {
  return KNLSloaddfs(c.p->nlprob, int(c.slots[0]), c.array<int>(0), c.array<int>(1), c.array<double>(2));
}
const wrapper_def kAdddfs{
    "adddfs",
    KORVO_DOC("Sets delta factors of (column, row) pairs.", "p.adddfs(colindex, rowindex, value)",
              KORVO_ARGS("colindex, rowindex: columns and rows of equal length;\n  value: the factors."),
              "p.adddfs([x], [c1], [0.5])", "A pair given again gets the new factor."),
    KORVO_DFS_ARGS,
    nullptr,
    adddfs_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in adddfs"};
const wrapper_def kLoaddfs{
    "loaddfs",
    KORVO_DOC("Replaces every delta factor by those given.", "p.loaddfs(colindex, rowindex, value)",
              KORVO_ARGS("as adddfs."), "p.loaddfs([x], [c1], [0.5])", "Pairs not given lose their factor."),
    KORVO_DFS_ARGS,
    nullptr,
    loaddfs_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in loaddfs"};

int chgdf_call(wrap_call &c) { return KNLSchgdf(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), &c.dbls[2]); }
PyObject *float_result_2(wrap_call &c) { return PyFloat_FromDouble(c.dbls[2]); }
const wrapper_def kChgdf{
    "chgdf",
    KORVO_DOC("Sets the delta factor of a (column, row) pair and returns the one it had.",
              "previous = p.chgdf(col, row, value)",
              KORVO_ARGS("col, row: the column and row;\n  value: the new factor."), "old = p.chgdf(x, c1, 0.25)",
              "The previous factor is 0 when the pair had none."),
    3,
    {{"col", "colindex", WR_INDEX, CONV_COL, -1, false},
     {"row", "rowindex", WR_INDEX, CONV_ROW, -1, false},
     {"value", "value", WR_DOUBLE, CONV_DOUBLE, -1, false}},
    nullptr,
    chgdf_call,
    float_result_2,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in chgdf"};

int getdf_call(wrap_call &c) { return KNLSgetdf(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), &c.dbls[2]); }
const wrapper_def kGetdf{
    "getdf",
    KORVO_DOC("Returns the delta factor of a (column, row) pair.", "value = p.getdf(col, row)",
              KORVO_ARGS("col, row: the column and row."), "v = p.getdf(x, c1)",
              "A pair without a factor raises korvo.SolverError."),
    2,
    {{"col", "colindex", WR_INDEX, CONV_COL, -1, false}, {"row", "rowindex", WR_INDEX, CONV_ROW, -1, false}},
    nullptr,
    getdf_call,
    float_result_2,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect arguments in getdf"};

int chgdeltatype_call(wrap_call &c) {
  return KNLSchgdeltatype(c.p->nlprob, int(c.slots[0]), c.array<int>(0), c.array<int>(1), c.array<double>(2));
}
const wrapper_def kChgdeltatype{
    "chgdeltatype",
    KORVO_DOC("Sets the delta types of columns.", "p.chgdeltatype(varind, deltatypes, values)",
              KORVO_ARGS("varind: the columns;\n  deltatypes: 0 relative, 1 absolute;\n  values: positive deltas."),
              "p.chgdeltatype([x], [1], [1e-6])", "getvar reports a column's delta type (-1 none)."),
    3,
    {{"varind", "vars", WR_ARRAY, CONV_COL, 0, false},
     {"deltatypes", "deltatypes", WR_ARRAY, CONV_INT, 0, false},
     {"values", "values", WR_ARRAY, CONV_DOUBLE, 0, false}},
    nullptr,
    chgdeltatype_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in chgdeltatypes"};

int chgcascadenlimit_call(wrap_call &c) {
  return KNLSchgcascadenlimit(c.p->nlprob, int(c.ints[0]), int(c.ints[1]));
}
const wrapper_def kChgcascadenlimit{
    "chgcascadenlimit",
    KORVO_DOC("Sets the most Newton steps spent on a determined column when cascading.",
              "p.chgcascadenlimit(col, limit)", KORVO_ARGS("col: the column;\n  limit: a nonnegative int (default 20)."),
              "p.chgcascadenlimit(x, 5)", "See cascade."),
    2,
    {{"col", "icol", WR_INDEX, CONV_COL, -1, false}, {"limit", "cascadenlimit", WR_INT, CONV_INT, -1, false}},
    nullptr,
    chgcascadenlimit_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in chgcascadenlimit"};

// ---- rows ----
int chgrowstatus_call(wrap_call &c) {
  int status = int(c.ints[1]);
  return KNLSchgrowstatus(c.p->nlprob, int(c.ints[0]), &status);
}
const wrapper_def kChgrowstatus{
    "chgrowstatus",
    KORVO_DOC("Sets a row's SLP status bits.", "p.chgrowstatus(row, status)",
              KORVO_ARGS("row: the row (constraint, name or index);\n  status: the bits (0x800: the row defines an "
                         "objective transfer column)."),
              "p.chgrowstatus(c1, 0)", "Status 0 clears the row's bits."),
    2,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false}, {"status", "status", WR_INT, CONV_INT, -1, false}},
    nullptr,
    chgrowstatus_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect call to chgrowstatus"};

int getrowstatus_call(wrap_call &c) {
  int status = 0;
  int rc = KNLSgetrowstatus(c.p->nlprob, int(c.ints[0]), &status);
  c.ints[1] = status;
  return rc;
}
PyObject *int_result_1(wrap_call &c) { return PyLong_FromLongLong(c.ints[1]); }
const wrapper_def kGetrowstatus{
    "getrowstatus",
    KORVO_DOC("Returns a row's SLP status bits.", "status = p.getrowstatus(row)",
              KORVO_ARG("row: the row (constraint, name or index)."), "s = p.getrowstatus(c1)", "See chgrowstatus."),
    1,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false}},
    nullptr,
    getrowstatus_call,
    int_result_1};

int chgrowwt_call(wrap_call &c) { return KNLSchgrowwt(c.p->nlprob, int(c.ints[0]), &c.dbls[1]); }
const wrapper_def kChgrowwt{
    "chgrowwt",
    KORVO_DOC("Sets a row's weight in the SLP penalty.", "p.chgrowwt(row, weight)",
              KORVO_ARGS("row: the row;\n  weight: a positive number (default 1)."), "p.chgrowwt(c1, 10.0)",
              "The SLP's penalty on the row's violation is multiplied by the weight."),
    2,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false}, {"weight", "value", WR_DOUBLE, CONV_DOUBLE, -1, false}},
    nullptr,
    chgrowwt_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect call to chgrowwt"};

int getrowwt_call(wrap_call &c) { return KNLSgetrowwt(c.p->nlprob, int(c.ints[0]), &c.dbls[1]); }
PyObject *float_result_1(wrap_call &c) { return PyFloat_FromDouble(c.dbls[1]); }
const wrapper_def kGetrowwt{
    "getrowwt",
    KORVO_DOC("Returns a row's weight in the SLP penalty.", "weight = p.getrowwt(row)", KORVO_ARG("row: the row."),
              "w = p.getrowwt(c1)", "Rows without a weight of their own have weight 1."),
    1,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false}},
    nullptr,
    getrowwt_call,
    float_result_1};

// ---- information ----
int rowinfo_prepare(wrap_call &c) { return wrap_allocate(c, 2, 1, sizeof(KNLSinfo)); }
int getrowinfo_call(wrap_call &c) {
  return KNLSgetrowinfo(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), c.array<KNLSinfo>(2));
}
int getcolinfo_call(wrap_call &c) {
  return KNLSgetcolinfo(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), c.array<KNLSinfo>(2));
}
PyObject *info_result(wrap_call &c) {
  const KNLSinfo &info = *c.array<KNLSinfo>(2);
  return info.type == 1 ? PyLong_FromLong(info.ivalue) : PyFloat_FromDouble(info.dvalue);
}
const wrapper_def kGetrowinfo{
    "getrowinfo",
    KORVO_DOC("Returns an item of information about a row.", "value = p.getrowinfo(infotype, rowindex)",
              KORVO_ARGS("infotype: 1 nonlinear coefficients (int), 2 weight, 3 status (int), 4 activity at the "
                         "current point, 5 violation found by the last validation, 6 complementarity residual of "
                         "the last KKT validation, 7 factor of the last scaling;\n  rowindex: the row."),
              "n = p.getrowinfo(1, c1)", "The current point is the last solution, else the start values."),
    2,
    {{"infotype", "infotype", WR_INT, CONV_INT, -1, false}, {"rowindex", "rowindex", WR_INDEX, CONV_ROW, -1, false}},
    rowinfo_prepare,
    getrowinfo_call,
    info_result,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect argument to getrowinfo"};
const wrapper_def kGetcolinfo{
    "getcolinfo",
    KORVO_DOC("Returns an item of information about a column.", "value = p.getcolinfo(infotype, colindex)",
              KORVO_ARGS("infotype: 1 enters a nonlinear term (int), 2 value at the current point, 3 determining "
                         "row (int), 4 place in the cascade order (int, -1 none), 5 stationarity residual of the "
                         "last KKT validation, 6 cascade step limit (int);\n  colindex: the column."),
              "v = p.getcolinfo(2, x)", "The current point is the last solution, else the start values."),
    2,
    {{"infotype", "infotype", WR_INT, CONV_INT, -1, false}, {"colindex", "colindex", WR_INDEX, CONV_COL, -1, false}},
    rowinfo_prepare,
    getcolinfo_call,
    info_result,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect argument to getcolinfo"};

// ---- coefficients ----
// addcoefs/loadcoefs(rowindex, colindex, factor, fstart, parsed, type, value):
// arrays 7 and 8 hold the token arrays with an end token after the last.
int coefs_prepare(wrap_call &c, const char *message) {
  int parsed = bool_flag(c.objects[4]);
  if (parsed < 0) return refuse(message);
  c.ints[4] = parsed;
  const int64_t n = c.slots[0] < 0 ? 0 : c.slots[0];
  const int64_t ntokens = c.slots[2] < 0 ? 0 : c.slots[2];
  if (c.slots[1] != n + 1) {
    PyErr_Format(korvo_model_error, "fstart must have one more element than rowindex: expected %lld, found %lld",
                 (long long)(n + 1), (long long)c.slots[1]);
    return -1;
  }
  const int *start = c.array<int>(3);
  for (int64_t k = 0; k < n; ++k)
    if (start[k] < 0 || start[k + 1] < start[k] || start[k + 1] > ntokens) {
      PyErr_SetString(korvo_model_error, "fstart must hold nondecreasing offsets into type and value");
      return -1;
    }
  if (start[0] < 0 || start[0] > ntokens) {
    PyErr_SetString(korvo_model_error, "fstart must hold nondecreasing offsets into type and value");
    return -1;
  }
  return terminated_formula(c, 5, 6, 2, 7, 8);
}
int addcoefs_prepare(wrap_call &c) { return coefs_prepare(c, "Wrong arguments in addcoefs"); }
int loadcoefs_prepare(wrap_call &c) { return coefs_prepare(c, "Wrong arguments in loadcoefs"); }
int addcoefs_call(wrap_call &c) {
  return KNLSaddcoefs(c.p->nlprob, int(c.slots[0]), c.array<int>(0), c.array<int>(1), c.array<double>(2),
                      c.array<int>(3), int(c.ints[4]), c.array<int>(7), c.array<double>(8));
}
int loadcoefs_call(wrap_call &c) {
  return KNLSloadcoefs(c.p->nlprob, int(c.slots[0]), c.array<int>(0), c.array<int>(1), c.array<double>(2),
                       c.array<int>(3), int(c.ints[4]), c.array<int>(7), c.array<double>(8));
}
#define KORVO_COEFS_ARGS                                                                                        \
  7, {                                                                                                          \
    {"rowindex", nullptr, WR_ARRAY, CONV_ROW, 0, false}, {"colindex", nullptr, WR_ARRAY, CONV_COL, 0, false},   \
        {"factor", nullptr, WR_ARRAY_OR_NONE, CONV_DOUBLE, 0, false},                                           \
        {"fstart", nullptr, WR_ARRAY, CONV_INT, 1, false}, {"parsed", nullptr, WR_OBJECT_OR_NONE, CONV_INT, -1, false}, \
        {"type", nullptr, WR_ARRAY, CONV_INT, 2, false}, {"value", nullptr, WR_ARRAY, CONV_DOUBLE, 2, false}    \
  }
const wrapper_def kAddcoefs{
    "addcoefs",
    KORVO_DOC("Adds nonlinear coefficients given as token formulas.",
              "p.addcoefs(rowindex, colindex, factor, fstart, parsed, type, value)",
              KORVO_ARGS("rowindex, colindex: rows and columns (column -1: the formula multiplies no variable);\n  "
                         "factor: one factor per coefficient, or None for 1.0;\n  fstart: offsets of each formula in "
                         "type and value, one more than the coefficients;\n  parsed: True for reverse Polish "
                         "tokens;\n  type, value: the tokens."),
              "p.addcoefs([c1], [-1], None, [0, 4], True, [10, 10, 31, 0], [0, 1, 3, 0])",
              "Coefficient (r, c, f, F) adds f * x_c * F(x) to row r; several at one pair add up."),
    KORVO_COEFS_ARGS,
    addcoefs_prepare,
    addcoefs_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in addcoefs"};
const wrapper_def kLoadcoefs{
    "loadcoefs",
    KORVO_DOC("Replaces every nonlinear coefficient by those given.",
              "p.loadcoefs(rowindex, colindex, factor, fstart, parsed, type, value)", KORVO_ARGS("as addcoefs."),
              "p.loadcoefs([c1], [x], [2.0], [0, 2], True, [10, 0], [1, 0])",
              "Nothing changes when a formula is refused."),
    KORVO_COEFS_ARGS,
    loadcoefs_prepare,
    loadcoefs_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in loadcoefs"};

int chgnlcoef_prepare(wrap_call &c) {
  int parsed = bool_flag(c.objects[3]);
  if (parsed < 0) return refuse("Wrong arguments in chgnlcoef");
  c.ints[3] = parsed;
  if (optional_factor(c, 2, "Wrong arguments in chgnlcoef") < 0) return -1;
  return terminated_formula(c, 4, 5, 0, 6, 7);
}
int chgnlcoef_call(wrap_call &c) {
  return KNLSchgcoef(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), c.given(2) ? &c.dbls[2] : nullptr, int(c.ints[3]),
                     c.array<int>(6), c.array<double>(7));
}
const wrapper_def kChgnlcoef{
    "chgnlcoef",
    KORVO_DOC("Replaces the nonlinear coefficients at a row and column by one token formula.",
              "p.chgnlcoef(row, col, factor, parsed, type, value)",
              KORVO_ARGS("row, col: the row and column (column -1: no variable);\n  factor: a number, or None for "
                         "1.0;\n  parsed: True for reverse Polish tokens;\n  type, value: the tokens."),
              "p.chgnlcoef(c1, x, None, True, [10, 0], [1, 0])", "The end token may be left out."),
    6,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false},
     {"col", "colindex", WR_INDEX, CONV_COL, -1, false},
     {"factor", "factor", WR_OBJECT_OR_NONE, CONV_DOUBLE, -1, false},
     {"parsed", "parsed", WR_OBJECT_OR_NONE, CONV_INT, -1, false},
     {"type", "type", WR_ARRAY, CONV_INT, 0, false},
     {"value", "value", WR_ARRAY, CONV_DOUBLE, 0, false}},
    chgnlcoef_prepare,
    chgnlcoef_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in chgnlcoef"};

int chgccoef_prepare(wrap_call &c) { return optional_factor(c, 2, "Wrong arguments in chgccoef"); }
int chgccoef_call(wrap_call &c) {
  return KNLSchgccoef(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), c.given(2) ? &c.dbls[2] : nullptr, c.strs[3]);
}
const wrapper_def kChgccoef{
    "chgccoef",
    KORVO_DOC("Replaces the nonlinear coefficients at a row and column by one formula given as text.",
              "p.chgccoef(row, col, factor, formula)",
              KORVO_ARGS("row, col: the row and column (column -1: no variable);\n  factor: a number, or None for "
                         "1.0;\n  formula: infix text with column names, numbers, + - * / ^, parentheses and "
                         "functions (LN, EXP, SQRT, SIN, MIN, MAX, ..., user functions by name)."),
              "p.chgccoef(c1, -1, 2.0, 'x * EXP(y) + y ^ 2')",
              "Names that are not plain identifiers are written in double quotes; getccoef gives text that reads "
              "back into the same formula."),
    4,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false},
     {"col", "colindex", WR_INDEX, CONV_COL, -1, false},
     {"factor", "factor", WR_OBJECT_OR_NONE, CONV_DOUBLE, -1, false},
     {"formula", "formula", WR_STRING, CONV_STRING, -1, false}},
    chgccoef_prepare,
    chgccoef_call,
    nullptr,
    WRAP_REFUSED_WHILE_SOLVING,
    "Wrong arguments in chgccoef"};

constexpr long long kMaxFormulaText = 1 << 24;
int getccoef_prepare(wrap_call &c) {
  if (c.ints[2] < 1 || c.ints[2] > kMaxFormulaText)
    return refuse("Incorrect argument to getccoef or excessive formula length requested");
  return wrap_allocate(c, 3, c.ints[2], 1);
}
int getccoef_call(wrap_call &c) {
  return KNLSgetccoef(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), &c.dbls[0], c.array<char>(3), int(c.ints[2]));
}
PyObject *getccoef_result(wrap_call &c) { return Py_BuildValue("(ds)", c.dbls[0], c.array<char>(3)); }
const wrapper_def kGetccoef{
    "getccoef",
    KORVO_DOC("Returns the first nonlinear coefficient at a row and column: its factor and formula as text.",
              "factor, formula = p.getccoef(row, col, maxbytes)",
              KORVO_ARGS("row, col: the row and column (column -1: no variable);\n  maxbytes: the longest text "
                         "accepted (terminating zero included)."),
              "factor, text = p.getccoef(c1, -1, 1000)", "A formula longer than maxbytes raises korvo.SolverError."),
    3,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false},
     {"col", "colindex", WR_INDEX, CONV_COL, -1, false},
     {"maxbytes", "flen", WR_INT, CONV_INT, -1, false}},
    getccoef_prepare,
    getccoef_call,
    getccoef_result,
    WRAP_REFUSED_WHILE_SOLVING,
    "Incorrect argument to getccoef or excessive formula length requested"};

int evaluatecoef_call(wrap_call &c) {
  return KNLSevaluatecoef(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), &c.dbls[2]);
}
const wrapper_def kEvaluatecoef{
    "evaluatecoef",
    KORVO_DOC("Returns the value of the nonlinear terms at a row and column at the current point.",
              "value = p.evaluatecoef(row, col)", KORVO_ARGS("row, col: the row and column (column -1: no variable)."),
              "v = p.evaluatecoef(c1, -1)", "The current point is the last solution, else the start values."),
    2,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false}, {"col", "colindex", WR_INDEX, CONV_COL, -1, false}},
    nullptr,
    evaluatecoef_call,
    float_result_2};

int evaluateformula_prepare(wrap_call &c) { return terminated_formula(c, 1, 2, 0, 3, 4); }
int evaluateformula_call(wrap_call &c) {
  return KNLSevaluateformula(c.p->nlprob, int(c.ints[0]), c.array<int>(3), c.array<double>(4), &c.dbls[0]);
}
PyObject *float_result_0(wrap_call &c) { return PyFloat_FromDouble(c.dbls[0]); }
const wrapper_def kEvaluateformula{
    "evaluateformula",
    KORVO_DOC("Returns the value of a token formula at the current point.",
              "value = p.evaluateformula(parsed, type, values)",
              KORVO_ARGS("parsed: 1 for reverse Polish tokens;\n  type, values: the tokens."),
              "v = p.evaluateformula(1, [10, 1, 31, 0], [0, 2.0, 3, 0])",
              "The current point is the last solution, else the start values."),
    3,
    {{"parsed", "parsed", WR_INT, CONV_INT, -1, false},
     {"type", "type", WR_ARRAY, CONV_INT, 0, false},
     {"values", "value", WR_ARRAY, CONV_DOUBLE, 0, false}},
    evaluateformula_prepare,
    evaluateformula_call,
    float_result_0};

PyMethodDef nlp_item_methods[] = {
    KORVO_WRAPPER_METHOD(kLoadvars),        KORVO_WRAPPER_METHOD(kAddvars),       KORVO_WRAPPER_METHOD(kChgvar),
    KORVO_WRAPPER_METHOD(kGetvar),          KORVO_WRAPPER_METHOD(kDelvars),       KORVO_WRAPPER_METHOD(kLoadtolsets),
    KORVO_WRAPPER_METHOD(kAddtolsets),      KORVO_WRAPPER_METHOD(kChgtolset),     KORVO_WRAPPER_METHOD(kGettolset),
    KORVO_WRAPPER_METHOD(kDeltolsets),      KORVO_WRAPPER_METHOD(kLoaddfs),       KORVO_WRAPPER_METHOD(kAdddfs),
    KORVO_WRAPPER_METHOD(kChgdf),           KORVO_WRAPPER_METHOD(kGetdf),         KORVO_WRAPPER_METHOD(kChgdeltatype),
    KORVO_WRAPPER_METHOD(kChgcascadenlimit), KORVO_WRAPPER_METHOD(kChgrowstatus), KORVO_WRAPPER_METHOD(kGetrowstatus),
    KORVO_WRAPPER_METHOD(kChgrowwt),        KORVO_WRAPPER_METHOD(kGetrowwt),      KORVO_WRAPPER_METHOD(kGetrowinfo),
    KORVO_WRAPPER_METHOD(kGetcolinfo),      KORVO_WRAPPER_METHOD(kLoadcoefs),     KORVO_WRAPPER_METHOD(kAddcoefs),
    KORVO_WRAPPER_METHOD(kChgnlcoef),       KORVO_WRAPPER_METHOD(kChgccoef),      KORVO_WRAPPER_METHOD(kGetccoef),
    KORVO_WRAPPER_METHOD(kEvaluatecoef),    KORVO_WRAPPER_METHOD(kEvaluateformula), {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(nlp_item_methods);
