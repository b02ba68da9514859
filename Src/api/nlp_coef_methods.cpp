// Problem methods that read the nonlinear solver's coefficients back.
#include <Python.h>

#include <vector>

#include "api/conversion.h"
#include "api/errors.h"
#include "knls.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

PyObject *KNLS_PY_getcoefformula(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  static const char *const keywords[] = {"row", "col", "parsed", "maxtypes", nullptr};
  static const char *const legacy[] = {"rowindex", "colindex", "parsed", "bufsize", nullptr};
  PyObject *row_obj = nullptr, *col_obj = nullptr;
  int parsed = 1, maxtypes = 0;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "OOii", keywords, legacy, &row_obj, &col_obj, &parsed, &maxtypes))
    return nullptr;
  int row = 0, col = 0;
  if (ObjInt2int(row_obj, p, &row, CONV_ROW) < 0 || ObjInt2int(col_obj, p, &col, CONV_COL) < 0) return nullptr;
  if (maxtypes < 0 || maxtypes > (1 << 24)) {
    PyErr_SetString(korvo_interface_error, "Incorrect argument to getcoefformula or excessive buffersize");
    return nullptr;
  }
  std::vector<int> types(static_cast<size_t>(maxtypes) + 1);
  std::vector<double> values(static_cast<size_t>(maxtypes) + 1);
  double factor = 0.0;
  int ntokens = 0;
  if (KNLSgetcoefformula(p->nlprob, row, col, &factor, parsed, maxtypes, &ntokens, types.data(), values.data()) != 0) {
    setKrvsErrIfNull(self, nullptr);
    return nullptr;
  }
  int shown = ntokens < maxtypes ? ntokens : maxtypes;
  PyRef type_list(PyList_New(shown)), value_list(PyList_New(shown));
  if (!type_list || !value_list) return nullptr;
  for (int k = 0; k < shown; ++k) {
    PyObject *t = PyLong_FromLong(types[size_t(k)]);
    PyObject *v = PyFloat_FromDouble(values[size_t(k)]);
    if (!t || !v) {
      Py_XDECREF(t);
      Py_XDECREF(v);
      return nullptr;
    }
    PyList_SET_ITEM(type_list.get(), k, t);
    PyList_SET_ITEM(value_list.get(), k, v);
  }
  return Py_BuildValue("(diOO)", factor, ntokens, type_list.get(), value_list.get());
}

PyObject *KNLS_PY_getcoefs(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  static const char *const keywords[] = {"rowind", "colind", nullptr};
  static const char *const legacy[] = {"rowindex", "colindex", nullptr};
  PyObject *rows_out = Py_None, *cols_out = Py_None;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "|OO", keywords, legacy, &rows_out, &cols_out)) return nullptr;
  int count = 0;
  if (KNLSgetcoefs(p->nlprob, &count, nullptr, nullptr) != 0) {
    setKrvsErrIfNull(self, nullptr);
    return nullptr;
  }
  std::vector<int> rows(static_cast<size_t>(count) + 1), cols(static_cast<size_t>(count) + 1);
  if (KNLSgetcoefs(p->nlprob, &count, rows.data(), cols.data()) != 0) {
    setKrvsErrIfNull(self, nullptr);
    return nullptr;
  }
  // Plain indices: the formula column of constant formulas is not a column of the problem.
  PyObject *row_target = rows_out, *col_target = cols_out;
  if (conv_arr2obj(p, count, rows.data(), &row_target, CONV_INT) < 0 ||
      conv_arr2obj(p, count, cols.data(), &col_target, CONV_INT) < 0) {
    if (row_target != rows_out) Py_XDECREF(row_target);
    if (col_target != cols_out) Py_XDECREF(col_target);
    return nullptr;
  }
  if (row_target != rows_out) Py_DECREF(row_target);
  if (col_target != cols_out) Py_DECREF(col_target);
  Py_RETURN_NONE;
}

#define NLP_METHOD(name, fn, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef nlp_coef_methods[] = {
    NLP_METHOD("getcoefformula", KNLS_PY_getcoefformula,
               KORVO_DOC("Returns the first nonlinear coefficient at a row and column: its factor and formula.",
                         "factor, ntokens, types, values = p.getcoefformula(row, col, parsed, maxtypes)",
                         KORVO_ARGS("row, col: the coefficient's row and column (objects, names or indices);\n  "
                                    "parsed: 1 for reverse Polish tokens;\n  maxtypes: the most tokens returned."),
                         "p.getcoefformula(c1, x, 1, 100)", "ntokens counts the whole formula, end token included.")),
    NLP_METHOD("getcoefs", KNLS_PY_getcoefs,
               KORVO_DOC("Returns the rows and columns of all nonlinear coefficients.",
                         "p.getcoefs(rowind=None, colind=None)",
                         KORVO_ARGS("rowind, colind: lists that receive the row and column indices."),
                         "rows, cols = [], []; p.getcoefs(rows, cols)", "The lists are filled in place.")),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef *problem_nlp_coef_method_table(void) { return nlp_coef_methods; }
