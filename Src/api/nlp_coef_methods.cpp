// Problem methods on the nonlinear solver's coefficients, one table row each.
#include <Python.h>

#include "api/conversion.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

// getcoefs(rowind=None, colind=None): both output lists sized by a first count call.
int getcoefs_prepare(wrap_call &c) {
  int count = 0;
  if (KNLSgetcoefs(c.p->nlprob, &count, nullptr, nullptr) != 0) return -1;
  c.slots[0] = count;
  return wrap_allocate(c, 0, count, sizeof(int)) < 0 || wrap_allocate(c, 1, count, sizeof(int)) < 0 ? -1 : 0;
}
int getcoefs_call(wrap_call &c) {
  int count = int(c.slots[0]);
  return KNLSgetcoefs(c.p->nlprob, &count, c.array<int>(0), c.array<int>(1));
}

// getcoefformula(row, col, parsed, maxtypes) -> (factor, ntokens, types, values); the token
// buffers are arrays 4 and 5, beyond the arguments.
constexpr int kMaxFormulaBuffer = 1 << 24;
int getcoefformula_prepare(wrap_call &c) {
  long long size = c.ints[3];
  if (size < 0 || size > kMaxFormulaBuffer) {
    PyErr_SetString(korvo_interface_error, "Incorrect argument to getcoefformula or excessive buffersize");
    return -1;
  }
  return wrap_allocate(c, 4, size, sizeof(int)) < 0 || wrap_allocate(c, 5, size, sizeof(double)) < 0 ? -1 : 0;
}
int getcoefformula_call(wrap_call &c) {
  int ntokens = 0;
  int rc = KNLSgetcoefformula(c.p->nlprob, int(c.ints[0]), int(c.ints[1]), &c.dbls[0], int(c.ints[2]), int(c.ints[3]),
                              &ntokens, c.array<int>(4), c.array<double>(5));
  c.ints[4] = ntokens;
  return rc;
}
PyObject *getcoefformula_result(wrap_call &c) {
  int64_t shown = c.ints[4] < c.ints[3] ? c.ints[4] : c.ints[3];
  PyObject *types = nullptr, *values = nullptr;
  if (conv_arr2obj(c.p, shown, c.arrays[4], &types, CONV_INT) < 0) return nullptr;
  PyRef types_ref(types);
  if (conv_arr2obj(c.p, shown, c.arrays[5], &values, CONV_DOUBLE) < 0) return nullptr;
  PyRef values_ref(values);
  return Py_BuildValue("(dLOO)", c.dbls[0], c.ints[4], types, values);
}

// delcoefs(rowind, colind)
int delcoefs_call(wrap_call &c) {
  return KNLSdelcoefs(c.p->nlprob, int(c.slots[0]), c.array<int>(0), c.array<int>(1));
}

const wrapper_def kGetcoefs{
    "getcoefs",
    KORVO_DOC("Returns the rows and columns of all nonlinear coefficients.", "p.getcoefs(rowind=None, colind=None)",
              KORVO_ARGS("rowind, colind: lists that receive the row and column indices (filled in place)."),
              "rows, cols = [], []; p.getcoefs(rows, cols)", "Column -1 marks formulas that multiply no variable."),
    2,
    {{"rowind", "rowindex", WR_OUTLIST, CONV_INT, 0, true}, {"colind", "colindex", WR_OUTLIST, CONV_INT, 0, true}},
    getcoefs_prepare,
    getcoefs_call,
    nullptr};

const wrapper_def kGetcoefformula{
    "getcoefformula",
    KORVO_DOC("Returns the first nonlinear coefficient at a row and column: its factor and formula.",
              "factor, ntokens, types, values = p.getcoefformula(row, col, parsed, maxtypes)",
              KORVO_ARGS("row, col: the coefficient's row and column (objects, names or indices; column -1 for "
                         "formulas that multiply no variable);\n  parsed: 1 for reverse Polish tokens;\n  maxtypes: "
                         "the most tokens returned."),
              "p.getcoefformula(c1, x, 1, 100)", "ntokens counts the whole formula, end token included."),
    4,
    {{"row", "rowindex", WR_INDEX, CONV_ROW, -1, false},
     {"col", "colindex", WR_INDEX, CONV_COL, -1, false},
     {"parsed", "parsed", WR_INT, CONV_INT, -1, false},
     {"maxtypes", "bufsize", WR_INT, CONV_INT, -1, false}},
    getcoefformula_prepare,
    getcoefformula_call,
    getcoefformula_result};

const wrapper_def kDelcoefs{
    "delcoefs",
    KORVO_DOC("Deletes every nonlinear coefficient at the given (row, column) pairs.", "p.delcoefs(rowind, colind)",
              KORVO_ARGS("rowind, colind: rows and columns of equal length (objects, names or indices)."),
              "p.delcoefs([c1], [x])", "Other coefficients of the same rows stay."),
    2,
    {{"rowind", "rowindex", WR_ARRAY, CONV_ROW, 0, false}, {"colind", "colindex", WR_ARRAY, CONV_COL, 0, false}},
    nullptr,
    delcoefs_call,
    nullptr};

PyMethodDef nlp_coef_methods[] = {KORVO_WRAPPER_METHOD(kGetcoefs), KORVO_WRAPPER_METHOD(kGetcoefformula),
                                  KORVO_WRAPPER_METHOD(kDelcoefs), {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(nlp_coef_methods);
