// Problem methods on solutions and the basis, computations on solutions the
// caller gives, the engine's own solve entry points, and the control and
// attribute tables.
#include <Python.h>

#include <cstring>
#include "api/callbacks.h"
#include "api/conversion.h"
#include "api/errors.h"
#include "api/wrapper_table.h"
#include "krvs.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

constexpr double kNotAsked = -1.0e20;

// Rows and columns of the unpresolved problem into slots 1 and 0.
int original_dimensions(wrap_call &c) { return wrap_dimensions(c, 1124, 1214); }

// Checks that an input array given for argument i holds `expected` values.
int check_length(wrap_call &c, int i, int slot, int64_t expected, const char *what) {
  if (!c.arrays[i] || c.slots[slot] == expected) return 0;
  PyErr_Format(korvo_interface_error, "Argument %s must have one value per %s: expected %lld, found %lld",
               what, slot == 0 ? "column" : "row", (long long)expected, (long long)c.slots[slot]);
  return -1;
}

// ---- solution vectors ------------------------------------------------------
// getlpsol(x, slack, duals, djs)
int getlpsol_prepare(wrap_call &c) {
  static const int slots[4] = {0, 1, 1, 0};
  return original_dimensions(c) < 0 ? -1 : wrap_allocate_given(c, 4, slots, sizeof(double));
}
int getlpsol_call(wrap_call &c) {
  return KRVSgetlpsol(c.p->prob, c.array<double>(0), c.array<double>(1), c.array<double>(2), c.array<double>(3));
}
// getmipsol(x, slack)
int getmipsol_prepare(wrap_call &c) {
  static const int slots[2] = {0, 1};
  return original_dimensions(c) < 0 ? -1 : wrap_allocate_given(c, 2, slots, sizeof(double));
}
int getmipsol_call(wrap_call &c) { return KRVSgetmipsol(c.p->prob, c.array<double>(0), c.array<double>(1)); }

// getlpsolval(col, row), getmipsolval(col, row): either may be None.
int solval_prepare(wrap_call &c) {
  if (original_dimensions(c) < 0) return -1;
  if (!c.given(0)) c.ints[0] = -1;
  if (!c.given(1)) c.ints[1] = -1;
  if (c.ints[0] < -1 || c.ints[0] >= c.slots[0] || c.ints[1] < -1 || c.ints[1] >= c.slots[1] ||
      (c.given(0) && c.ints[0] < 0) || (c.given(1) && c.ints[1] < 0)) {
    PyErr_SetString(korvo_interface_error, "Invalid row or column index");
    return -1;
  }
  for (int k = 0; k < 4; ++k) c.dbls[4 + k] = kNotAsked;
  return 0;
}
int getlpsolval_call(wrap_call &c) {
  const int col = int(c.ints[0]), row = int(c.ints[1]);
  if (col < 0 && row < 0) return 0;
  return KRVSgetlpsolval(c.p->prob, col, row, col >= 0 ? &c.dbls[4] : nullptr, row >= 0 ? &c.dbls[5] : nullptr,
                         row >= 0 ? &c.dbls[6] : nullptr, col >= 0 ? &c.dbls[7] : nullptr);
}
PyObject *getlpsolval_result(wrap_call &c) {
  return Py_BuildValue("(dddd)", c.dbls[4], c.dbls[5], c.dbls[6], c.dbls[7]);
}
int getmipsolval_call(wrap_call &c) {
  const int col = int(c.ints[0]), row = int(c.ints[1]);
  if (col < 0 && row < 0) return 0;
  return KRVSgetmipsolval(c.p->prob, col, row, col >= 0 ? &c.dbls[4] : nullptr, row >= 0 ? &c.dbls[5] : nullptr);
}
PyObject *getmipsolval_result(wrap_call &c) { return Py_BuildValue("(dd)", c.dbls[4], c.dbls[5]); }

// getinfeas(x, slack, duals, djs): counts first, then the lists.
using infeas_fn = int (*)(KRVSprob, int *, int *, int *, int *, int[], int[], int[], int[]) noexcept;
template <infeas_fn Fn>
int infeas_prepare(wrap_call &c) {
  int counts[4] = {0, 0, 0, 0};
  if (Fn(c.p->prob, &counts[0], &counts[1], &counts[2], &counts[3], nullptr, nullptr, nullptr, nullptr) != 0)
    return -1;
  for (int i = 0; i < 4; ++i) {
    c.slots[i] = counts[i];
    if (wrap_allocate(c, i, counts[i], sizeof(int)) < 0) return -1;
  }
  return 0;
}
template <infeas_fn Fn>
int infeas_call(wrap_call &c) {
  int counts[4];
  return Fn(c.p->prob, &counts[0], &counts[1], &counts[2], &counts[3], c.array<int>(0), c.array<int>(1),
            c.array<int>(2), c.array<int>(3));
}

// ---- basis -----------------------------------------------------------------
// getbasis(rowstat, colstat)
int getbasis_prepare(wrap_call &c) {
  static const int slots[2] = {1, 0};
  return original_dimensions(c) < 0 ? -1 : wrap_allocate_given(c, 2, slots, sizeof(int));
}
int getbasis_call(wrap_call &c) {
  if (!c.arrays[0] && !c.arrays[1]) return 0;
  return KRVSgetbasis(c.p->prob, c.array<int>(0), c.array<int>(1));
}
// getbasisval(row, col)
int getbasisval_prepare(wrap_call &c) {
  if (!c.given(0)) c.ints[0] = -1;
  if (!c.given(1)) c.ints[1] = -1;
  return 0;
}
int getbasisval_call(wrap_call &c) {
  int rowstat = 0, colstat = 0;
  int rc = KRVSgetbasisval(c.p->prob, int(c.ints[0]), int(c.ints[1]), &rowstat, &colstat);
  c.ints[4] = rowstat;
  c.ints[5] = colstat;
  return rc;
}
PyObject *getbasisval_result(wrap_call &c) { return Py_BuildValue("(LL)", c.ints[4], c.ints[5]); }

// ftran(vec), btran(vec): the list is solved in place.
int basis_vector_prepare(wrap_call &c) {
  if (!PyList_Check(c.objects[0])) {
    PyErr_SetString(korvo_interface_error, "Argument vec must be a list, which receives the result");
    return -1;
  }
  int rows = 0;
  if (KRVSgetintattrib(c.p->prob, 1001, &rows) != 0) return -1;
  return check_length(c, 0, 1, rows, "vec");
}
template <int (*Solve)(KRVSprob, double[]) noexcept>
int basis_vector_call(wrap_call &c) {
  return Solve(c.p->prob, c.array<double>(0));
}
PyObject *basis_vector_result(wrap_call &c) {
  PyObject *target = c.objects[0];
  if (conv_arr2obj(c.p, c.slots[1], c.arrays[0], &target, CONV_DOUBLE) < 0) return nullptr;
  Py_RETURN_NONE;
}

// getpivotorder(pivotorder)
int getpivotorder_prepare(wrap_call &c) {
  int rows = 0;
  if (KRVSgetintattrib(c.p->prob, 1001, &rows) != 0) return -1;
  c.slots[0] = rows;
  return wrap_allocate(c, 0, rows, sizeof(int));
}
int getpivotorder_call(wrap_call &c) { return KRVSgetpivotorder(c.p->prob, c.array<int>(0)); }

// getpivots(enter, outlist, x, maxpivots): an int is the combined index as
// given; an object or name is a row if it resolves as one, else a column,
// whose combined index is rows + spare rows + j.
int getpivots_prepare(wrap_call &c) {
  PyObject *enter = c.objects[0];
  int rows = 0, spare = 0, cols = 0;
  if (KRVSgetintattrib(c.p->prob, 1001, &rows) != 0 || KRVSgetintattrib(c.p->prob, 1019, &spare) != 0 ||
      KRVSgetintattrib(c.p->prob, 1018, &cols) != 0)
    return -1;
  if (enter == Py_None) {
    PyErr_SetString(korvo_interface_error, "Must provide argument enter");
    return -1;
  }
  int index = 0;
  if (is_int_like(enter)) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(enter, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow || value < INT32_MIN || value > INT32_MAX) {
      PyErr_SetString(korvo_interface_error, "Argument enter is out of range");
      return -1;
    }
    index = int(value);
  } else if (ObjInt2int(enter, c.p, &index, CONV_ROW) < 0) {
    PyErr_Clear();
    if (ObjInt2int(enter, c.p, &index, CONV_COL) < 0) return -1;
    index += rows + spare;
  }
  c.ints[0] = index;
  if (c.ints[3] < 0 || c.ints[3] > INT32_MAX) {
    PyErr_SetString(korvo_interface_error, "Argument maxpivots must be between 0 and 2147483647");
    return -1;
  }
  c.slots[1] = int64_t(rows) + spare + cols;
  return wrap_allocate(c, 1, c.ints[3], sizeof(int)) < 0 ||
                 (c.given(2) && wrap_allocate(c, 2, c.slots[1], sizeof(double)) < 0)
             ? -1
             : 0;
}
int getpivots_call(wrap_call &c) {
  int found = 0;
  int rc = KRVSgetpivots(c.p->prob, int(c.ints[0]), c.array<int>(1), c.array<double>(2), &c.dbls[4], &found,
                         int(c.ints[3]));
  c.slots[0] = found;
  return rc;
}
PyObject *getpivots_result(wrap_call &c) {
  return Py_BuildValue("(dL)", c.dbls[4], (long long)c.slots[0]);
}

// ---- computations ------------------------------------------------------------
int current_dimensions(wrap_call &c, int *rows, int *cols) {
  return KRVSgetintattrib(c.p->prob, 1001, rows) != 0 || KRVSgetintattrib(c.p->prob, 1018, cols) != 0 ? -1 : 0;
}

// calcobjective(solution)
int calcobjective_prepare(wrap_call &c) {
  int rows = 0, cols = 0;
  if (current_dimensions(c, &rows, &cols) < 0) return -1;
  return check_length(c, 0, 0, cols, "solution");
}
int calcobjective_call(wrap_call &c) { return KRVScalcobjective(c.p->prob, c.array<double>(0), &c.dbls[4]); }
PyObject *double_result(wrap_call &c) { return PyFloat_FromDouble(c.dbls[4]); }

// calcslacks(solution, slacks)
int calcslacks_prepare(wrap_call &c) {
  int rows = 0, cols = 0;
  if (current_dimensions(c, &rows, &cols) < 0 || check_length(c, 0, 0, cols, "solution") < 0) return -1;
  c.slots[1] = rows;
  return wrap_allocate(c, 1, rows, sizeof(double));
}
int calcslacks_call(wrap_call &c) { return KRVScalcslacks(c.p->prob, c.array<double>(0), c.array<double>(1)); }

// calcreducedcosts(duals, solution, djs)
int calcreducedcosts_prepare(wrap_call &c) {
  int rows = 0, cols = 0;
  if (current_dimensions(c, &rows, &cols) < 0 || check_length(c, 0, 1, rows, "duals") < 0 ||
      check_length(c, 1, 0, cols, "solution") < 0)
    return -1;
  c.slots[2] = cols;
  return wrap_allocate(c, 2, cols, sizeof(double));
}
int calcreducedcosts_call(wrap_call &c) {
  return KRVScalcreducedcosts(c.p->prob, c.array<double>(0), c.array<double>(1), c.array<double>(2));
}

// calcsolinfo(solution, duals, property)
int calcsolinfo_prepare(wrap_call &c) {
  int rows = 0, cols = 0;
  if (current_dimensions(c, &rows, &cols) < 0 || check_length(c, 0, 0, cols, "solution") < 0 ||
      check_length(c, 1, 1, rows, "duals") < 0)
    return -1;
  if (c.ints[2] < INT32_MIN || c.ints[2] > INT32_MAX) {
    PyErr_SetString(korvo_interface_error, "Argument property is out of range");
    return -1;
  }
  return 0;
}
int calcsolinfo_call(wrap_call &c) {
  return KRVScalcsolinfo(c.p->prob, c.array<double>(0), c.array<double>(1), int(c.ints[2]), &c.dbls[4]);
}

// ---- solving -----------------------------------------------------------------
// lpoptimize(flags=''), mipoptimize(flags=''): the interpreter lock is
// released for the solve; an exception raised in a callback meanwhile is
// what the method raises.
template <int (*Solve)(KRVSprob, const char *) noexcept>
int solve_call(wrap_call &c) {
  const char *flags = c.strs[0] ? c.strs[0] : "";
  KRVSprob prob = c.p->prob;
  int rc;
  problem_solving_scope solving(c.p);  // other threads' changes are refused meanwhile
  callbacks_solve_begin(c.p);
  int slot = setSigIntHandler(c.p);
  Py_BEGIN_ALLOW_THREADS;
  rc = Solve(prob, flags);
  Py_END_ALLOW_THREADS;
  int interrupted = resetSigIntHandler(slot);
  c.p->last_solve_nonlinear = 0;
  if (callbacks_solve_end(c.p) < 0 || interrupted < 0 || PyErr_Occurred()) return -1;
  return rc;
}

int interrupt_call(wrap_call &c) {
  if (c.ints[0] < INT32_MIN || c.ints[0] > INT32_MAX) {
    PyErr_SetString(korvo_interface_error, "Argument reason is out of range");
    return -1;
  }
  return KRVSinterrupt(c.p->prob, int(c.ints[0]));
}

// ---- errors, controls and attributes -------------------------------------------
int getlasterror_call(wrap_call &c) {
  if (wrap_allocate(c, 0, 512, 1) < 0) return -1;
  return KRVSgetlasterror(c.p->prob, c.array<char>(0));
}
PyObject *getlasterror_result(wrap_call &c) {
  return PyUnicode_DecodeUTF8(c.array<char>(0), Py_ssize_t(strnlen(c.array<char>(0), 512)), "replace");
}

int getcontrolinfo_call(wrap_call &c) {
  int id = 0, type = 0;
  int rc = KRVSgetcontrolinfo(c.p->prob, c.strs[0], &id, &type);
  c.ints[4] = id;
  c.ints[5] = type;
  return rc;
}
int getattribinfo_call(wrap_call &c) {
  int id = 0, type = 0;
  int rc = KRVSgetattribinfo(c.p->prob, c.strs[0], &id, &type);
  c.ints[4] = id;
  c.ints[5] = type;
  return rc;
}
PyObject *info_result(wrap_call &c) { return Py_BuildValue("(LL)", c.ints[4], c.ints[5]); }

int dumpcontrols_call(wrap_call &c) { return KRVSdumpcontrols(c.p->prob); }

// ---- table -----------------------------------------------------------------
#define OUT(kw, legacy, kind, slot) {kw, legacy, WR_OUTLIST, kind, slot, false}
#define OPT_OUT(kw, legacy, kind, slot) {kw, legacy, WR_OUTLIST, kind, slot, true}
#define OPT_IDX(kw, legacy, kind) {kw, legacy, WR_INDEX, kind, -1, true}
#define ARRAY(kw, legacy, slot) {kw, legacy, WR_ARRAY, CONV_DOUBLE, slot, false}
#define ARRAY_OR_NONE(kw, legacy, slot) {kw, legacy, WR_ARRAY_OR_NONE, CONV_DOUBLE, slot, false}

const wrapper_def kGetlpsol{
    "getlpsol",
    KORVO_DOC("Returns the LP solution: values, slacks, duals and reduced costs.",
              "p.getlpsol(x=None, slack=None, duals=None, djs=None)",
              KORVO_ARGS("x: list that receives one value per column;\n  slack: list that receives one slack (rhs - "
                         "activity) per row;\n  duals: list that receives one dual value per row;\n  djs: list that "
                         "receives one reduced cost per column. None asks for nothing."),
              "x, d = list[float](), list[float](); p.getlpsol(x, None, d)", "Raises korvo.SolverError when there is no LP solution."),
    4,
    {OPT_OUT("x", "x", CONV_DOUBLE, 0), OPT_OUT("slack", "slack", CONV_DOUBLE, 1),
     OPT_OUT("duals", "dual", CONV_DOUBLE, 1), OPT_OUT("djs", "dj", CONV_DOUBLE, 0)},
    getlpsol_prepare,
    getlpsol_call,
    nullptr};

const wrapper_def kGetmipsol{
    "getmipsol",
    KORVO_DOC("Returns the best MIP solution: values and slacks.", "p.getmipsol(x=None, slack=None)",
              KORVO_ARGS("x: list that receives one value per column;\n  slack: list that receives one slack per "
                         "row. None asks for nothing."),
              "x = list[float](); p.getmipsol(x)", "Raises korvo.SolverError when the last MIP solve found no solution."),
    2,
    {OPT_OUT("x", "x", CONV_DOUBLE, 0), OPT_OUT("slack", "slack", CONV_DOUBLE, 1)},
    getmipsol_prepare,
    getmipsol_call,
    nullptr};

const wrapper_def kGetlpsolval{
    "getlpsolval",
    KORVO_DOC("Returns one column's and one row's values of the LP solution.",
              "x, slack, dual, dj = p.getlpsolval(col, row)",
              KORVO_ARGS("col: the column (or None);\n  row: the row (or None)."), "x, s, d, dj = p.getlpsolval(x1, c1)",
              "Values not asked for are -1e20."),
    2,
    {OPT_IDX("col", "column", CONV_COL), OPT_IDX("row", "row", CONV_ROW)},
    solval_prepare,
    getlpsolval_call,
    getlpsolval_result};

const wrapper_def kGetmipsolval{
    "getmipsolval",
    KORVO_DOC("Returns one column's value and one row's slack in the best MIP solution.",
              "x, slack = p.getmipsolval(col, row)", KORVO_ARGS("col: the column (or None);\n  row: the row (or None)."),
              "x, s = p.getmipsolval(x1, None)", "Values not asked for are -1e20."),
    2,
    {OPT_IDX("col", "column", CONV_COL), OPT_IDX("row", "row", CONV_ROW)},
    solval_prepare,
    getmipsolval_call,
    getmipsolval_result};

#define INFEAS_DEF(var, name, fn, purpose)                                                                       \
  const wrapper_def var{                                                                                         \
      name,                                                                                                      \
      KORVO_DOC(purpose, "p." name "(x, slack, duals, djs)",                                                     \
                KORVO_ARGS("x: list that receives the variables outside their bounds;\n  slack: list that "     \
                           "receives the constraints outside their limits;\n  duals: list that receives the "      \
                           "constraints whose dual has the wrong sign;\n  djs: list that receives the variables " \
                           "whose reduced cost has the wrong sign."),                                            \
                "x, s = list[korvo.var](), list[korvo.constraint](); d, dj = list[korvo.constraint](), list[korvo.var](); p." name "(x, s, d, dj)",                                         \
                "Measured against the feastol and optimalitytol controls."),                                     \
      4,                                                                                                         \
      {OUT("x", "mx", CONV_COL, 0), OUT("slack", "mslack", CONV_ROW, 1), OUT("duals", "mdual", CONV_ROW, 2),    \
       OUT("djs", "mdj", CONV_COL, 3)},                                                                          \
      infeas_prepare<fn>,                                                                                        \
      infeas_call<fn>,                                                                                           \
      nullptr};
INFEAS_DEF(kGetinfeas, "getinfeas", KRVSgetinfeas, "Lists the primal and dual infeasibilities of the LP solution.")
INFEAS_DEF(kGetscaledinfeas, "getscaledinfeas", KRVSgetscaledinfeas,
           "Lists the infeasibilities of the LP solution measured in the scaled problem.")
#undef INFEAS_DEF

const wrapper_def kGetbasis{
    "getbasis",
    KORVO_DOC("Returns the basis statuses of the rows and columns.", "p.getbasis(rowstat=None, colstat=None)",
              KORVO_ARGS("rowstat: list that receives one status per row;\n  colstat: list that receives one status "
                         "per column. None skips one."),
              "r, c = list[int](), list[int](); p.getbasis(r, c)",
              "Columns: 0 at lower bound, 1 basic, 2 at upper bound, 3 free nonbasic. Rows, of their slack: 0 "
              "tight 'L' or 'E' row (slack at its lower end), 1 basic, 2 tight 'G' row, 3 free."),
    2,
    {OPT_OUT("rowstat", "rstatus", CONV_INT, 1), OPT_OUT("colstat", "cstatus", CONV_INT, 0)},
    getbasis_prepare,
    getbasis_call,
    nullptr};

const wrapper_def kGetbasisval{
    "getbasisval",
    KORVO_DOC("Returns the basis status of one row and one column.", "rowstat, colstat = p.getbasisval(row, col)",
              KORVO_ARGS("row: the row (or None);\n  col: the column (or None)."), "r, c = p.getbasisval(c1, x)",
              "A status not asked for is 0; the codes are those of getbasis."),
    2,
    {OPT_IDX("row", "row", CONV_ROW), OPT_IDX("col", "column", CONV_COL)},
    getbasisval_prepare,
    getbasisval_call,
    getbasisval_result};

#define BASIS_VECTOR_DEF(var, name, fn, purpose, further)                                                        \
  const wrapper_def var{name,                                                                                     \
                        KORVO_DOC(purpose, "p." name "(vec)",                                                     \
                                  KORVO_ARG("vec: a list of one value per row, replaced by the result."),        \
                                  "v = [1.0, 0.0, 0.0]; p." name "(v)", further),                                        \
                        1,                                                                                        \
                        {ARRAY("vec", "vec", 1)},                                                                 \
                        basis_vector_prepare,                                                                     \
                        basis_vector_call<fn>,                                                                    \
                        basis_vector_result};
BASIS_VECTOR_DEF(kFtran, "ftran", KRVSftran, "Solves B x = vec with the basis matrix B.",
                 "B's columns are those of [I A] named by the basis, in the order of getpivotorder; with a column "
                 "of A this gives its representation in the basis.")
BASIS_VECTOR_DEF(kBtran, "btran", KRVSbtran, "Solves B' x = vec with the transposed basis matrix B.",
                 "With a unit vector e_k this gives row k of the basis inverse.")
#undef BASIS_VECTOR_DEF

const wrapper_def kGetpivotorder{
    "getpivotorder",
    KORVO_DOC("Returns the basic variable of each basis position.", "p.getpivotorder(pivotorder)",
              KORVO_ARG("pivotorder: list that receives one constraint (its slack) or variable per row."),
              "order = list[object](); p.getpivotorder(order)", "The order of the vectors of ftran and btran."),
    1,
    {OUT("pivotorder", "mpiv", CONV_ROWCOL, 0)},
    getpivotorder_prepare,
    getpivotorder_call,
    nullptr};

const wrapper_def kGetpivots{
    "getpivots",
    KORVO_DOC("Returns the variables that would leave the basis if a nonbasic one entered it.",
              "objval, npiv = p.getpivots(enter, outlist, x, maxpivots)",
              KORVO_ARGS("enter: the entering variable or constraint (its slack), or a combined index (rows "
                         "first);\n  outlist: list that receives the leaving candidates (or None);\n  x: list that "
                         "receives the values of every slack and column after the step (or None);\n  maxpivots: the "
                         "most candidates returned."),
              "out = list[object](); obj, n = p.getpivots(y, out, None, 5)",
              "The entering variable itself is a candidate when it reaches its other bound first; an unbounded "
              "step has none."),
    4,
    {{"enter", "in", WR_OBJECT, CONV_ROWCOL, -1, false}, OUT("outlist", "outlist", CONV_ROWCOL, 0),
     OUT("x", "x", CONV_DOUBLE, 1), {"maxpivots", "maxpiv", WR_INT, CONV_INT, -1, false}},
    getpivots_prepare,
    getpivots_call,
    getpivots_result};

const wrapper_def kCalcobjective{
    "calcobjective",
    KORVO_DOC("Computes the objective value of a solution.", "value = p.calcobjective(solution)",
              KORVO_ARG("solution: one value per column."), "v = p.calcobjective([1, 0, 2])",
              "The objective's constant and quadratic part are included."),
    1,
    {ARRAY("solution", "solution", 0)},
    calcobjective_prepare,
    calcobjective_call,
    double_result};

const wrapper_def kCalcslacks{
    "calcslacks",
    KORVO_DOC("Computes the slacks (rhs - activity) of a solution.", "p.calcslacks(solution, slacks)",
              KORVO_ARGS("solution: one value per column;\n  slacks: list that receives one slack per row."),
              "s = list[float](); p.calcslacks([1, 0, 2], s)", "Quadratic rows count their quadratic part."),
    2,
    {ARRAY("solution", "solution", 0), OUT("slacks", "calculatedslacks", CONV_DOUBLE, 1)},
    calcslacks_prepare,
    calcslacks_call,
    nullptr};

const wrapper_def kCalcreducedcosts{
    "calcreducedcosts",
    KORVO_DOC("Computes the reduced costs c + Qx - A'duals of given duals.",
              "p.calcreducedcosts(duals, solution, djs)",
              KORVO_ARGS("duals: one value per row;\n  solution: one value per column (None without a quadratic "
                         "objective);\n  djs: list that receives one reduced cost per column."),
              "dj = list[float](); p.calcreducedcosts(duals, None, dj)", "With the LP solution's duals this gives its djs."),
    3,
    {ARRAY("duals", "duals", 1), ARRAY_OR_NONE("solution", "solution", 0),
     OUT("djs", "calculateddjs", CONV_DOUBLE, 2)},
    calcreducedcosts_prepare,
    calcreducedcosts_call,
    nullptr};

const wrapper_def kCalcsolinfo{
    "calcsolinfo",
    KORVO_DOC("Computes a measure of a solution's infeasibility.", "value = p.calcsolinfo(solution, duals, property)",
              KORVO_ARGS("solution: one value per column;\n  duals: one value per row (None for the primal "
                         "properties);\n  property: 0 largest bound or row violation, 1 the same relative to 1 + "
                         "|value|, 2 largest sign error of a reduced cost or dual, 3 the same, relative."),
              "v = p.calcsolinfo(x, None, 0)", "0 for a feasible (dual feasible) solution."),
    3,
    {ARRAY("solution", "solution", 0), ARRAY_OR_NONE("duals", "dual", 1),
     {"property", "property", WR_INT, CONV_INT, -1, false}},
    calcsolinfo_prepare,
    calcsolinfo_call,
    double_result};

#define SOLVE_DEF(var, name, fn, purpose, further)                                                              \
  const wrapper_def var{name,                                                                                   \
                        KORVO_DOC(purpose, "p." name "(flags='')",                                              \
                                  KORVO_ARG("flags: 'd' dual simplex, 'p' primal simplex, 'b' barrier, 'n' "   \
                                            "network; empty: the defaultalg control decides."),               \
                                  "p." name "('d')", further),                                                  \
                        1,                                                                                      \
                        {{"flags", "flags", WR_STRING, CONV_STRING, -1, true}},                                 \
                        nullptr,                                                                                \
                        solve_call<fn>,                                                                         \
                        nullptr};
SOLVE_DEF(kLpoptimize, "lpoptimize", KRVSlpoptimize, "Solves the LP (or convex QP) relaxation of the problem.",
          "Integrality, sets and indicators are dropped; results through getlpsol and the attributes.")
SOLVE_DEF(kMipoptimize, "mipoptimize", KRVSmipoptimize, "Solves the problem with every discrete entity enforced.",
          "An exception raised in a callback stops the solve and is raised here.")
#undef SOLVE_DEF

const wrapper_def kInterrupt{
    "interrupt",
    KORVO_DOC("Asks the running solve of the problem to stop.", "p.interrupt(reason)",
              KORVO_ARG("reason: the stop reason reported afterwards (a stop_* constant)."),
              "p.interrupt(korvo.stop_user)", "Meant for callbacks; one made before a solve starts is forgotten."),
    1,
    {{"reason", "reason", WR_INT, CONV_INT, -1, false}},
    nullptr,
    interrupt_call,
    nullptr,
    WRAP_ALLOWED_WHILE_SOLVING};

const wrapper_def kGetlasterror{
    "getlasterror",
    KORVO_DOC("Returns the text of the problem's last engine error.", "text = p.getlasterror()", KORVO_NO_ARGS,
              "print(p.getlasterror())", "Empty when there was none."),
    0,
    {},
    nullptr,
    getlasterror_call,
    getlasterror_result};

const wrapper_def kGetcontrolinfo{
    "getcontrolinfo",
    KORVO_DOC("Returns the id and value type of a control.", "id, type = p.getcontrolinfo(name)",
              KORVO_ARG("name: the control's name (any case)."), "i, t = p.getcontrolinfo('feastol')",
              "Types: 1 integer, 2 64-bit integer, 3 double, 4 string. An unknown name raises korvo.SolverError."),
    1,
    {{"name", "name", WR_STRING, CONV_STRING, -1, false}},
    nullptr,
    getcontrolinfo_call,
    info_result};

const wrapper_def kGetattribinfo{
    "getattribinfo",
    KORVO_DOC("Returns the id and value type of an attribute.", "id, type = p.getattribinfo(name)",
              KORVO_ARG("name: the attribute's name (any case)."), "i, t = p.getattribinfo('rows')",
              "Types: 1 integer, 2 64-bit integer, 3 double, 4 string. An unknown name raises korvo.SolverError."),
    1,
    {{"name", "name", WR_STRING, CONV_STRING, -1, false}},
    nullptr,
    getattribinfo_call,
    info_result};

const wrapper_def kDumpcontrols{
    "dumpcontrols",
    KORVO_DOC("Writes the controls that differ from their defaults to the problem's log.", "p.dumpcontrols()",
              KORVO_NO_ARGS, "p.dumpcontrols()", "One line per control, after a heading line."),
    0,
    {},
    nullptr,
    dumpcontrols_call,
    nullptr};

PyMethodDef solution_methods[] = {
    KORVO_WRAPPER_METHOD(kGetlpsol),        KORVO_WRAPPER_METHOD(kGetmipsol),
    KORVO_WRAPPER_METHOD(kGetlpsolval),     KORVO_WRAPPER_METHOD(kGetmipsolval),
    KORVO_WRAPPER_METHOD(kGetinfeas),       KORVO_WRAPPER_METHOD(kGetscaledinfeas),
    KORVO_WRAPPER_METHOD(kGetbasis),        KORVO_WRAPPER_METHOD(kGetbasisval),
    KORVO_WRAPPER_METHOD(kCalcobjective),   KORVO_WRAPPER_METHOD(kCalcslacks),
    KORVO_WRAPPER_METHOD(kCalcreducedcosts), KORVO_WRAPPER_METHOD(kCalcsolinfo),
    KORVO_WRAPPER_METHOD(kLpoptimize),      KORVO_WRAPPER_METHOD(kMipoptimize),
    KORVO_WRAPPER_METHOD(kInterrupt),       KORVO_WRAPPER_METHOD(kGetlasterror),
    KORVO_WRAPPER_METHOD(kGetcontrolinfo),  KORVO_WRAPPER_METHOD(kGetattribinfo),
    KORVO_WRAPPER_METHOD(kDumpcontrols),    KORVO_WRAPPER_METHOD(kFtran),
    KORVO_WRAPPER_METHOD(kBtran),           KORVO_WRAPPER_METHOD(kGetpivotorder),
    KORVO_WRAPPER_METHOD(kGetpivots),       {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(solution_methods);
