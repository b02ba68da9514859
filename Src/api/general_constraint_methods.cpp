// Problem methods on general constraints (max, min, and, or, abs),
// piecewise-linear constraints and indicator constraints, one table row each.
#include <Python.h>

#include <algorithm>

#include "api/conversion.h"
#include "api/wrapper_table.h"
#include "krvs.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"

namespace {

int64_t count_of(const wrap_call &c, int slot) { return c.slots[slot] > 0 ? c.slots[slot] : 0; }

// A range [first, last] of an engine list of `total` entries, from optional
// WR_INDEX arguments; false with an exception for an empty explicit range.
// An omitted range of an empty list is empty (*count 0) without an error.
bool query_range(wrap_call &c, int first_arg, int last_arg, int64_t total, int64_t *count) {
  if (!c.given(first_arg)) c.ints[first_arg] = 0;
  if (!c.given(last_arg)) c.ints[last_arg] = total - 1;
  *count = c.ints[last_arg] - c.ints[first_arg] + 1;
  if (*count <= 0) {
    if (!c.given(first_arg) && !c.given(last_arg)) {
      *count = 0;
      return true;
    }
    PyErr_SetString(korvo_interface_error, "Empty range of columns requested");
    return false;
  }
  return true;
}

int int_attribute(wrap_call &c, int id, int64_t *value) { return KRVSgetintattrib64(c.p->prob, id, value); }

// Empties the given output lists (a query over an empty range).
int clear_outputs(wrap_call &c, std::initializer_list<int> outputs) {
  for (int i : outputs)
    if (c.given(i) && PyList_Check(c.objects[i]) &&
        PyList_SetSlice(c.objects[i], 0, PyList_GET_SIZE(c.objects[i]), nullptr) < 0)
      return -1;
  return 0;
}

// ---- general constraints -------------------------------------------------------

// addgencons(contype, resultant, colstart, colind, valstart=None, val=None)
int addgencons_prepare(wrap_call &c) {
  if (c.given(4) != c.given(5)) {
    PyErr_SetString(korvo_interface_error, "Arguments valstart and val must be given together");
    return -1;
  }
  return 0;
}
int addgencons_call(wrap_call &c) {
  return KRVSaddgencons64(c.p->prob, int(count_of(c, 0)), count_of(c, 1), count_of(c, 2), c.array<int>(0),
                          c.array<int>(1), c.array<int64_t>(2), c.array<int>(3), c.array<int64_t>(4),
                          c.array<double>(5));
}

// getgencons(contype, resultant, colstart, colind, maxcols, valstart, val, maxvals, first=None, last=None)
// -> (ncols, nvals); the totals go to ints[10] and ints[11].
int getgencons_prepare(wrap_call &c) {
  int64_t total = 0, count = 0;
  if (int_attribute(c, 1431, &total) != 0) return -1;
  if (!query_range(c, 8, 9, total, &count)) return -1;
  c.slots[0] = count;
  c.slots[1] = c.slots[2] = 0;
  c.ints[10] = c.ints[11] = 0;
  if (count == 0) return clear_outputs(c, {0, 1, 2, 3, 5, 6});
  int64_t ncols = 0, nvals = 0;
  if (KRVSgetgencons64(c.p->prob, nullptr, nullptr, nullptr, nullptr, 0, &ncols, nullptr, nullptr, 0, &nvals,
                       int(c.ints[8]), int(c.ints[9])) != 0)
    return -1;
  c.ints[10] = ncols;
  c.ints[11] = nvals;
  c.slots[1] = std::max<int64_t>(0, std::min<int64_t>(ncols, c.ints[4]));
  c.slots[2] = std::max<int64_t>(0, std::min<int64_t>(nvals, c.ints[7]));
  const struct {
    int arg;
    int64_t n;
    size_t size;
  } outputs[] = {{0, count, sizeof(int)},     {1, count, sizeof(int)},        {2, count, sizeof(int64_t)},
                 {3, c.slots[1], sizeof(int)}, {5, count, sizeof(int64_t)}, {6, c.slots[2], sizeof(double)}};
  for (const auto &o : outputs)
    if (c.given(o.arg) && wrap_allocate(c, o.arg, o.n, o.size) < 0) return -1;
  return 0;
}
int getgencons_call(wrap_call &c) {
  if (c.slots[0] == 0) return 0;
  int64_t ncols = 0, nvals = 0;
  return KRVSgetgencons64(c.p->prob, c.array<int>(0), c.array<int>(1), c.array<int64_t>(2), c.array<int>(3),
                          c.slots[1], &ncols, c.array<int64_t>(5), c.array<double>(6), c.slots[2], &nvals,
                          int(c.ints[8]), int(c.ints[9]));
}
PyObject *getgencons_result(wrap_call &c) { return Py_BuildValue("(LL)", c.ints[10], c.ints[11]); }

int delgencons_call(wrap_call &c) { return KRVSdelgencons(c.p->prob, int(count_of(c, 0)), c.array<int>(0)); }

// ---- piecewise-linear constraints --------------------------------------------------

int addpwlcons_call(wrap_call &c) {
  return KRVSaddpwlcons64(c.p->prob, int(count_of(c, 0)), count_of(c, 1), c.array<int>(0), c.array<int>(1),
                          c.array<int64_t>(2), c.array<double>(3), c.array<double>(4));
}

// getpwlcons(colind, resultant, start, xval, yval, maxpoints, first=None, last=None) -> npoints (ints[10]).
int getpwlcons_prepare(wrap_call &c) {
  int64_t total = 0, count = 0;
  if (int_attribute(c, 1432, &total) != 0) return -1;
  if (!query_range(c, 6, 7, total, &count)) return -1;
  c.slots[0] = count;
  c.slots[1] = 0;
  c.ints[10] = 0;
  if (count == 0) return clear_outputs(c, {0, 1, 2, 3, 4});
  int64_t npoints = 0;
  if (KRVSgetpwlcons64(c.p->prob, nullptr, nullptr, nullptr, nullptr, nullptr, 0, &npoints, int(c.ints[6]),
                       int(c.ints[7])) != 0)
    return -1;
  c.ints[10] = npoints;
  c.slots[1] = std::max<int64_t>(0, std::min<int64_t>(npoints, c.ints[5]));
  const struct {
    int arg;
    int64_t n;
    size_t size;
  } outputs[] = {{0, count, sizeof(int)},         {1, count, sizeof(int)}, {2, count, sizeof(int64_t)},
                 {3, c.slots[1], sizeof(double)}, {4, c.slots[1], sizeof(double)}};
  for (const auto &o : outputs)
    if (c.given(o.arg) && wrap_allocate(c, o.arg, o.n, o.size) < 0) return -1;
  return 0;
}
int getpwlcons_call(wrap_call &c) {
  if (c.slots[0] == 0) return 0;
  int64_t npoints = 0;
  return KRVSgetpwlcons64(c.p->prob, c.array<int>(0), c.array<int>(1), c.array<int64_t>(2), c.array<double>(3),
                          c.array<double>(4), c.slots[1], &npoints, int(c.ints[6]), int(c.ints[7]));
}
PyObject *getpwlcons_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[10]); }

int delpwlcons_call(wrap_call &c) { return KRVSdelpwlcons(c.p->prob, int(count_of(c, 0)), c.array<int>(0)); }

// ---- indicator constraints ------------------------------------------------------------

int setindicators_call(wrap_call &c) {
  return KRVSsetindicators(c.p->prob, int(count_of(c, 0)), c.array<int>(0), c.array<int>(1), c.array<int>(2));
}

// delindicators(first=None, last=None): the whole range by default.
int delindicators_prepare(wrap_call &c) {
  int64_t rows = 0;
  if (int_attribute(c, 1124, &rows) != 0) return -1;
  if (rows <= 0) {
    PyErr_SetString(korvo_interface_error, "No rows in problem, cannot use delindicators()");
    return -1;
  }
  if (!c.given(0)) c.ints[0] = 0;
  if (!c.given(1)) c.ints[1] = rows - 1;
  return 0;
}
int delindicators_call(wrap_call &c) { return KRVSdelindicators(c.p->prob, int(c.ints[0]), int(c.ints[1])); }

// getindicators(colind, complement, first=None, last=None)
int getindicators_prepare(wrap_call &c) {
  int64_t rows = 0, count = 0;
  if (int_attribute(c, 1124, &rows) != 0) return -1;
  if (!query_range(c, 2, 3, rows, &count)) return -1;
  c.slots[0] = count;
  if (count == 0) return clear_outputs(c, {0, 1});
  for (int arg : {0, 1})
    if (c.given(arg) && wrap_allocate(c, arg, count, sizeof(int)) < 0) return -1;
  return 0;
}
int getindicators_call(wrap_call &c) {
  if (c.slots[0] == 0) return 0;
  return KRVSgetindicators(c.p->prob, c.array<int>(0), c.array<int>(1), int(c.ints[2]), int(c.ints[3]));
}

const wrapper_def kAddgencons{
    "addgencons",
    KORVO_DOC("Adds general constraints: a resultant column equal to the maximum, minimum, logical and, logical or "
              "or absolute value of other columns (and constants).",
              "p.addgencons(contype, resultant, colstart, colind, valstart=None, val=None)",
              KORVO_ARGS("contype: the type of each constraint: 0 max, 1 min, 2 and, 3 or, 4 abs;\n  resultant: the "
                         "resultant column of each constraint;\n  colstart: where each constraint's columns start in "
                         "colind (one entry per constraint; the last runs to the end of colind);\n  colind: the "
                         "operand columns;\n  valstart, val: where each constraint's constant operands start in val, "
                         "and those constants (max and min only; give both or neither)."),
              "p.addgencons([0], [y], [0], [x1, x2], [0], [3.0])  # y = max(x1, x2, 3)",
              "and/or need binary columns; abs takes exactly one column. mipoptimize enforces them with binaries "
              "and big-M rows from the column bounds (a needed infinite bound raises an error naming the "
              "constraint); lpoptimize ignores them."),
    6,
    {{"contype", "type", WR_ARRAY, CONV_INT, 0, false},
     {"resultant", "resultant", WR_ARRAY, CONV_COL, 0, false},
     {"colstart", "colstart", WR_ARRAY, CONV_INT64, 0, false},
     {"colind", "col", WR_ARRAY, CONV_COL, 1, false},
     {"valstart", "valstart", WR_ARRAY, CONV_INT64, 0, true},
     {"val", "val", WR_ARRAY, CONV_DOUBLE, 2, true}},
    addgencons_prepare,
    addgencons_call,
    nullptr};

const wrapper_def kGetgencons{
    "getgencons",
    KORVO_DOC("Returns general constraints first..last.",
              "ncols, nvals = p.getgencons(contype, resultant, colstart, colind, maxcols, valstart, val, maxvals, "
              "first=None, last=None)",
              KORVO_ARGS("contype, resultant, colstart, colind, valstart, val: lists filled in place in the layout "
                         "of addgencons (None: not required);\n  maxcols, maxvals: the most columns and values "
                         "returned;\n  first, last: the range of constraints (default: all)."),
              "t, r, cs, c, vs, v = [], [], [], [], [], []; p.getgencons(t, r, cs, c, 100, vs, v, 100)",
              "Returns the total number of columns and of values of the range, which may exceed maxcols and "
              "maxvals."),
    10,
    {{"contype", "type", WR_OUTLIST, CONV_INT, 0, false},
     {"resultant", "resultant", WR_OUTLIST, CONV_COL, 0, false},
     {"colstart", "colstart", WR_OUTLIST, CONV_INT64, 0, false},
     {"colind", "col", WR_OUTLIST, CONV_COL, 1, false},
     {"maxcols", "colsize", WR_INT, CONV_INT, -1, false},
     {"valstart", "valstart", WR_OUTLIST, CONV_INT64, 0, false},
     {"val", "val", WR_OUTLIST, CONV_DOUBLE, 2, false},
     {"maxvals", "valsize", WR_INT, CONV_INT, -1, false},
     {"first", "first", WR_INDEX, CONV_ROW, -1, true},
     {"last", "last", WR_INDEX, CONV_ROW, -1, true}},
    getgencons_prepare,
    getgencons_call,
    getgencons_result};

const wrapper_def kDelgencons{
    "delgencons",
    KORVO_DOC("Deletes general constraints.", "p.delgencons(conind)",
              KORVO_ARG("conind: the indices of the general constraints to delete."), "p.delgencons([0, 2])",
              "Later constraints move down to close the gaps."),
    1,
    {{"conind", "mindex", WR_ARRAY, CONV_ROW, 0, false}},
    nullptr,
    delgencons_call,
    nullptr};

const wrapper_def kAddpwlcons{
    "addpwlcons",
    KORVO_DOC("Adds piecewise-linear constraints resultant = f(column), f the line through given points.",
              "p.addpwlcons(colind, resultant, start, xval, yval)",
              KORVO_ARGS("colind: the argument column of each constraint;\n  resultant: its resultant column;\n  "
                         "start: where each constraint's points start (one entry per constraint);\n  xval, yval: the "
                         "points, x not decreasing within a constraint."),
              "p.addpwlcons([x], [y], [0], [0, 1, 2], [0, 2, 3])",
              "Two points with the same x make a jump; beyond the first and last point f continues with the "
              "slope of the first and last segment. mipoptimize enforces them (an argument column whose bounds "
              "reach beyond the points needs finite bounds); lpoptimize ignores them."),
    5,
    {{"colind", "col", WR_ARRAY, CONV_COL, 0, false},
     {"resultant", "resultant", WR_ARRAY, CONV_COL, 0, false},
     {"start", "start", WR_ARRAY, CONV_INT64, 0, false},
     {"xval", "xval", WR_ARRAY, CONV_DOUBLE, 1, false},
     {"yval", "yval", WR_ARRAY, CONV_DOUBLE, 1, false}},
    nullptr,
    addpwlcons_call,
    nullptr};

const wrapper_def kGetpwlcons{
    "getpwlcons",
    KORVO_DOC("Returns piecewise-linear constraints first..last.",
              "npoints = p.getpwlcons(colind, resultant, start, xval, yval, maxpoints, first=None, last=None)",
              KORVO_ARGS("colind, resultant, start, xval, yval: lists filled in place in the layout of addpwlcons "
                         "(None: not required);\n  maxpoints: the most points returned;\n  first, last: the range "
                         "of constraints (default: all)."),
              "c, r, s, x, y = [], [], [], [], []; p.getpwlcons(c, r, s, x, y, 100)",
              "Returns the total number of points of the range."),
    8,
    {{"colind", "col", WR_OUTLIST, CONV_COL, 0, false},
     {"resultant", "resultant", WR_OUTLIST, CONV_COL, 0, false},
     {"start", "start", WR_OUTLIST, CONV_INT64, 0, false},
     {"xval", "xval", WR_OUTLIST, CONV_DOUBLE, 1, false},
     {"yval", "yval", WR_OUTLIST, CONV_DOUBLE, 1, false},
     {"maxpoints", "size", WR_INT, CONV_INT, -1, false},
     {"first", "first", WR_INDEX, CONV_ROW, -1, true},
     {"last", "last", WR_INDEX, CONV_ROW, -1, true}},
    getpwlcons_prepare,
    getpwlcons_call,
    getpwlcons_result};

const wrapper_def kDelpwlcons{
    "delpwlcons",
    KORVO_DOC("Deletes piecewise-linear constraints.", "p.delpwlcons(pwlind)",
              KORVO_ARG("pwlind: the indices of the piecewise-linear constraints to delete."), "p.delpwlcons([0])",
              "Later constraints move down to close the gaps."),
    1,
    {{"pwlind", "mindex", WR_ARRAY, CONV_ROW, 0, false}},
    nullptr,
    delpwlcons_call,
    nullptr};

const wrapper_def kSetindicators{
    "setindicators",
    KORVO_DOC("Makes rows indicator constraints: each holds only when its binary column has the active value.",
              "p.setindicators(rowind, colind, complement)",
              KORVO_ARGS("rowind: the rows;\n  colind: the binary indicator column of each row;\n  complement: 1 "
                         "when the row holds for the column at 1, -1 when it holds for the column at 0, 0 to make "
                         "the row an ordinary row again."),
              "p.setindicators([c1], [b], [1])", "mipoptimize enforces them; lpoptimize drops the indicator rows."),
    3,
    {{"rowind", "mrows", WR_ARRAY, CONV_ROW, 0, false},
     {"colind", "inds", WR_ARRAY, CONV_COL, 0, false},
     {"complement", "comps", WR_ARRAY, CONV_INT, 0, false}},
    nullptr,
    setindicators_call,
    nullptr};

const wrapper_def kDelindicators{
    "delindicators",
    KORVO_DOC("Makes the indicator constraints among rows first..last ordinary rows again.",
              "p.delindicators(first=None, last=None)",
              KORVO_ARGS("first, last: the range of rows (default: every row)."), "p.delindicators()",
              "The rows themselves stay."),
    2,
    {{"first", "start", WR_INT, CONV_INT, -1, true}, {"last", "end", WR_INT, CONV_INT, -1, true}},
    delindicators_prepare,
    delindicators_call,
    nullptr};

const wrapper_def kGetindicators{
    "getindicators",
    KORVO_DOC("Returns the indicator column and complement flag of rows first..last.",
              "p.getindicators(colind, complement, first=None, last=None)",
              KORVO_ARGS("colind: list that receives each row's indicator column (-1 for an ordinary row);\n  "
                         "complement: list that receives 1, -1 or 0 (ordinary row);\n  first, last: the range of "
                         "rows (default: every row)."),
              "cols, comps = [], []; p.getindicators(cols, comps)", "None as a list means not required."),
    4,
    {{"colind", "inds", WR_OUTLIST, CONV_COL, 0, false},
     {"complement", "comps", WR_OUTLIST, CONV_INT, 0, false},
     {"first", "first", WR_INDEX, CONV_ROW, -1, true},
     {"last", "last", WR_INDEX, CONV_ROW, -1, true}},
    getindicators_prepare,
    getindicators_call,
    nullptr};

PyMethodDef general_constraint_methods[] = {
    KORVO_WRAPPER_METHOD(kAddgencons),    KORVO_WRAPPER_METHOD(kGetgencons),
    KORVO_WRAPPER_METHOD(kDelgencons),    KORVO_WRAPPER_METHOD(kAddpwlcons),
    KORVO_WRAPPER_METHOD(kGetpwlcons),    KORVO_WRAPPER_METHOD(kDelpwlcons),
    KORVO_WRAPPER_METHOD(kSetindicators), KORVO_WRAPPER_METHOD(kDelindicators),
    KORVO_WRAPPER_METHOD(kGetindicators), {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(general_constraint_methods);
