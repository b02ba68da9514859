// Problem methods that read the model back: ranges of rows and columns, the
// matrix, quadratic parts, discrete entities and names.
#include <Python.h>

#include <cstring>
#include <algorithm>
#include <string>

#include "api/conversion.h"
#include "api/errors.h"
#include "api/wrapper_table.h"
#include "krvs.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

bool int_attribute(wrap_call &c, int id, int *value) {
  return KRVSgetintattrib(c.p->prob, id, value) == 0;
}

// Number of entries from ints[first] to ints[last]; InterfaceError `empty`
// when there are none.
int range_count(wrap_call &c, int first, int last, const char *empty) {
  const long long count = c.ints[last] - c.ints[first] + 1;
  if (count <= 0) {
    PyErr_SetString(korvo_interface_error, empty);
    return -1;
  }
  return int(count);
}

constexpr const char *kEmptyRows = "Empty range of rows requested";
constexpr const char *kEmptyCols = "Empty range of columns requested";

// ---- matrix by rows or columns, quadratic objective ------------------------
// Arguments: 0 start, 1 indices, 2 coefficients, 3 maxcoefs, 4 first, 5 last.
// The total count is asked first; arrays only for the outputs given (start
// whenever anything is wanted, as the engine writes the others by it).
template <class Query>
int vectors_prepare(wrap_call &c, const char *empty, Query query) {
  const int count = range_count(c, 4, 5, empty);
  if (count < 0) return -1;
  if (c.ints[3] < 0) {
    PyErr_SetString(korvo_interface_error, "Argument maxcoefs must not be negative");
    return -1;
  }
  int64_t total = 0;
  if (query(c, nullptr, nullptr, nullptr, &total) != 0) return -1;
  const int64_t kept = std::min<int64_t>(total, c.ints[3]);
  c.slots[0] = count + 1;
  c.slots[1] = kept;
  c.ints[6] = total;
  if (!c.given(0) && !c.given(1) && !c.given(2)) return 0;
  return wrap_allocate(c, 0, count + 1, sizeof(int64_t)) < 0 ||
                 (c.given(1) && wrap_allocate(c, 1, kept, sizeof(int)) < 0) ||
                 (c.given(2) && wrap_allocate(c, 2, kept, sizeof(double)) < 0)
             ? -1
             : 0;
}

int rows_query(wrap_call &c, int64_t *start, int *index, double *value, int64_t *total) {
  return KRVSgetrows64(c.p->prob, start, index, value, c.slots[1] < 0 ? 0 : c.slots[1], total, int(c.ints[4]),
                       int(c.ints[5]));
}
int cols_query(wrap_call &c, int64_t *start, int *index, double *value, int64_t *total) {
  return KRVSgetcols64(c.p->prob, start, index, value, c.slots[1] < 0 ? 0 : c.slots[1], total, int(c.ints[4]),
                       int(c.ints[5]));
}
int mqobj_query(wrap_call &c, int64_t *start, int *index, double *value, int64_t *total) {
  return KRVSgetmqobj64(c.p->prob, start, index, value, c.slots[1] < 0 ? 0 : c.slots[1], total, int(c.ints[4]),
                        int(c.ints[5]));
}

template <int (*Query)(wrap_call &, int64_t *, int *, double *, int64_t *)>
int vectors_call(wrap_call &c) {
  if (!c.arrays[0]) return 0;
  int64_t total = 0;
  return Query(c, c.array<int64_t>(0), c.array<int>(1), c.array<double>(2), &total);
}

int getrows_prepare(wrap_call &c) { return vectors_prepare(c, kEmptyRows, rows_query); }
int getcols_prepare(wrap_call &c) { return vectors_prepare(c, kEmptyCols, cols_query); }
int getmqobj_prepare(wrap_call &c) { return vectors_prepare(c, kEmptyCols, mqobj_query); }
PyObject *total_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[6]); }

// ---- a quadratic row's matrix ---------------------------------------------
// Arguments: 0 row, 1 start, 2 colind, 3 coefficients, 4 maxcoefs, 5 first, 6 last.
int getqrowqmatrix_prepare(wrap_call &c) {
  const long long count = c.ints[6] - c.ints[5] + 1;
  if (count <= 0) {
    PyErr_SetString(korvo_interface_error, kEmptyCols);
    return -1;
  }
  if (c.ints[4] < 0 || c.ints[4] > INT32_MAX) {
    PyErr_SetString(korvo_interface_error, "Argument maxcoefs must be between 0 and 2147483647");
    return -1;
  }
  int total = 0;
  if (KRVSgetqrowqmatrix(c.p->prob, int(c.ints[0]), nullptr, nullptr, nullptr, 0, &total, int(c.ints[5]),
                         int(c.ints[6])) != 0)
    return -1;
  const int kept = std::min<int>(total, int(c.ints[4]));
  c.slots[0] = count + 1;
  c.slots[1] = kept;
  c.ints[7] = total;
  if (!c.given(1) && !c.given(2) && !c.given(3)) return 0;
  return wrap_allocate(c, 1, count + 1, sizeof(int)) < 0 || (c.given(2) && wrap_allocate(c, 2, kept, sizeof(int)) < 0) ||
                 (c.given(3) && wrap_allocate(c, 3, kept, sizeof(double)) < 0)
             ? -1
             : 0;
}
int getqrowqmatrix_call(wrap_call &c) {
  if (!c.arrays[1]) return 0;
  int total = 0;
  return KRVSgetqrowqmatrix(c.p->prob, int(c.ints[0]), c.array<int>(1), c.array<int>(2), c.array<double>(3),
                            int(c.slots[1]), &total, int(c.ints[5]), int(c.ints[6]));
}
PyObject *getqrowqmatrix_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[7]); }

// getqrowqmatrixtriplets(row, rowqcol1, rowqcol2, rowqcoef)
int triplets_prepare(wrap_call &c) {
  int64_t total = 0;
  if (KRVSgetqrowqmatrixtriplets(c.p->prob, int(c.ints[0]), &total, nullptr, nullptr, nullptr) != 0) return -1;
  c.slots[0] = total;
  return (c.given(1) && wrap_allocate(c, 1, total, sizeof(int)) < 0) ||
                 (c.given(2) && wrap_allocate(c, 2, total, sizeof(int)) < 0) ||
                 (c.given(3) && wrap_allocate(c, 3, total, sizeof(double)) < 0)
             ? -1
             : 0;
}
int triplets_call(wrap_call &c) {
  int64_t total = 0;
  return KRVSgetqrowqmatrixtriplets(c.p->prob, int(c.ints[0]), &total, c.array<int>(1), c.array<int>(2),
                                    c.array<double>(3));
}

// getqrows(rowind)
int getqrows_prepare(wrap_call &c) {
  int count = 0;
  if (KRVSgetqrows(c.p->prob, &count, nullptr) != 0) return -1;
  c.slots[0] = count;
  return c.given(0) ? wrap_allocate(c, 0, count, sizeof(int)) : 0;
}
int getqrows_call(wrap_call &c) {
  int count = 0;
  return KRVSgetqrows(c.p->prob, &count, c.array<int>(0));
}

int getqobj_call(wrap_call &c) { return KRVSgetqobj(c.p->prob, int(c.ints[0]), int(c.ints[1]), &c.dbls[4]); }
int getqrowcoeff_call(wrap_call &c) {
  return KRVSgetqrowcoeff(c.p->prob, int(c.ints[0]), int(c.ints[1]), int(c.ints[2]), &c.dbls[4]);
}
int getcoef_call(wrap_call &c) { return KRVSgetcoef(c.p->prob, int(c.ints[0]), int(c.ints[1]), &c.dbls[4]); }
PyObject *double_result(wrap_call &c) { return PyFloat_FromDouble(c.dbls[4]); }

// ---- per-row and per-column vectors -----------------------------------------
// Arguments: 0 the output list, 1 first, 2 last.
template <size_t Size>
int range_prepare(wrap_call &c, const char *empty) {
  const int count = range_count(c, 1, 2, empty);
  if (count < 0) return -1;
  c.slots[0] = count;
  return wrap_allocate(c, 0, count, Size);
}
int rows_double_prepare(wrap_call &c) { return range_prepare<sizeof(double)>(c, kEmptyRows); }
int rows_char_prepare(wrap_call &c) { return range_prepare<sizeof(char)>(c, kEmptyRows); }
int cols_double_prepare(wrap_call &c) { return range_prepare<sizeof(double)>(c, kEmptyCols); }
int coltype_prepare(wrap_call &c) {
  return range_prepare<sizeof(char)>(c, "Empty or invalid range of columns requested");
}
// getrhs and getrhsrange name both of their keywords when the list is missing.
int rhs_prepare(wrap_call &c) {
  if (!c.given(0)) {
    PyErr_Format(korvo_interface_error, "Must provide argument: %s or %s", "rng", "rhs");
    return -1;
  }
  return rows_double_prepare(c);
}

#define RANGE_CALL(name, fn, type) \
  int name(wrap_call &c) { return fn(c.p->prob, c.array<type>(0), int(c.ints[1]), int(c.ints[2])); }
RANGE_CALL(getobj_call, KRVSgetobj, double)
RANGE_CALL(getrhs_call, KRVSgetrhs, double)
RANGE_CALL(getrhsrange_call, KRVSgetrhsrange, double)
RANGE_CALL(getrowtype_call, KRVSgetrowtype, char)
RANGE_CALL(getcoltype_call, KRVSgetcoltype, char)
RANGE_CALL(getlb_call, KRVSgetlb, double)
RANGE_CALL(getub_call, KRVSgetub, double)
#undef RANGE_CALL

// getlb(lb=None, first=None, last=None): the whole range of columns by
// default; an empty range does nothing.
int bounds_prepare(wrap_call &c) {
  int cols = 0;
  if (!int_attribute(c, 1214, &cols)) return -1;
  if (!c.given(1)) c.ints[1] = 0;
  if (!c.given(2)) c.ints[2] = cols - 1;
  const long long count = c.ints[2] - c.ints[1] + 1;
  c.slots[0] = count;
  if (count <= 0) return 0;
  return wrap_allocate(c, 0, count, sizeof(double));
}
template <int (*Call)(wrap_call &)>
int bounds_call(wrap_call &c) {
  return c.slots[0] <= 0 ? 0 : Call(c);
}
// A new list when the caller gave none, None otherwise.
PyObject *bounds_result(wrap_call &c) {
  if (c.given(0) || c.slots[0] <= 0) Py_RETURN_NONE;
  PyObject *list = nullptr;
  if (conv_arr2obj(c.p, c.slots[0], c.arrays[0], &list, CONV_DOUBLE) < 0) return nullptr;
  return list;
}

// ---- discrete entities and sets -------------------------------------------
// getglobal(coltype, colind, limit, settype, start, setcols, refval)
int getglobal_prepare(wrap_call &c) {
  int entities = 0, sets = 0, members = 0;
  if (KRVSgetglobal64(c.p->prob, &entities, &sets, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                      nullptr) != 0 ||
      !int_attribute(c, 1005, &members))
    return -1;
  c.slots[0] = entities;
  c.slots[1] = sets;
  c.slots[2] = sets + 1;
  c.slots[3] = members;
  const int64_t counts[7] = {entities, entities, entities, sets, sets + 1, members, members};
  const size_t sizes[7] = {sizeof(char), sizeof(int), sizeof(double), sizeof(char), sizeof(int64_t), sizeof(int),
                           sizeof(double)};
  for (int i = 0; i < 7; ++i)
    if (c.given(i) && wrap_allocate(c, i, counts[i], sizes[i]) < 0) return -1;
  return 0;
}
int getglobal_call(wrap_call &c) {
  int entities = 0, sets = 0;
  return KRVSgetglobal64(c.p->prob, &entities, &sets, c.array<char>(0), c.array<int>(1), c.array<double>(2),
                         c.array<char>(3), c.array<int64_t>(4), c.array<int>(5), c.array<double>(6));
}

// ---- names -------------------------------------------------------------------
// getnamelist(type, first=None, last=None) -> list of str
int getnamelist_prepare(wrap_call &c) {
  const long long type = c.ints[0];
  if (type < 1 || type > 3) {
    PyErr_SetString(korvo_interface_error, "Argument type must be 1 (rows), 2 (columns), or 3 (sets)");
    return -1;
  }
  int n = 0;
  if (!int_attribute(c, type == 1 ? 1001 : type == 2 ? 1018 : 1004, &n)) return -1;
  const long long first = c.given(1) ? c.ints[1] : 0;
  const long long last = c.given(2) ? c.ints[2] : n - 1;
  if (n == 0 && last >= 0) {
    PyErr_SetString(korvo_interface_error, "No names for type chosen");
    return -1;
  }
  if (first < 0 || last >= n || last < first) {
    PyErr_Format(korvo_interface_error,
                 "Arguments %s and %s must be such that 0 <= %s <= %s and both must be within the number of rows, "
                 "columns, or sets",
                 "first", "last", "first", "last");
    return -1;
  }
  c.ints[1] = first;
  c.ints[2] = last;
  return 0;
}
int getnamelist_call(wrap_call &c) {
  int needed = 0;
  const int type = int(c.ints[0]), first = int(c.ints[1]), last = int(c.ints[2]);
  if (KRVSgetnamelist(c.p->prob, type, nullptr, 0, &needed, first, last) != 0) return -1;
  if (wrap_allocate(c, 3, needed + 1, 1) < 0) {
    PyErr_SetString(korvo_interface_error,
                    "Could not allocate enough memory for reading all names; please try with a smaller range");
    return -1;
  }
  c.ints[3] = needed;
  return KRVSgetnamelist(c.p->prob, type, c.array<char>(3), needed, &needed, first, last);
}
PyObject *getnamelist_result(wrap_call &c) {
  const long long count = c.ints[2] - c.ints[1] + 1;
  PyRef list(PyList_New(Py_ssize_t(count)));
  if (!list) return nullptr;
  const char *text = c.array<char>(3);
  const char *end = text + c.ints[3];
  for (long long k = 0; k < count; ++k) {
    const char *stop = static_cast<const char *>(memchr(text, 0, size_t(end - text)));
    const size_t length = stop ? size_t(stop - text) : size_t(end - text);
    PyObject *name = PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "replace");
    if (!name) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(k), name);
    text = stop ? stop + 1 : end;
  }
  return list.release();
}

// ---- table ---------------------------------------------------------------------
#define OUT(kw, legacy, kind, slot) {kw, legacy, WR_OUTLIST, kind, slot, false}
#define OPT_OUT(kw, legacy, kind, slot) {kw, legacy, WR_OUTLIST, kind, slot, true}
#define IDX(kw, legacy, kind) {kw, legacy, WR_INDEX, kind, -1, false}
#define OPT_IDX(kw, legacy, kind) {kw, legacy, WR_INDEX, kind, -1, true}
#define INT(kw, legacy) {kw, legacy, WR_INT, CONV_INT, -1, false}
#define OPT_INT(kw, legacy) {kw, legacy, WR_INT, CONV_INT, -1, true}

const wrapper_def kGetrows{
    "getrows",
    KORVO_DOC("Returns the coefficients of a range of rows.",
              "p.getrows(start, colind, colcoef, maxcoefs, first, last)",
              KORVO_ARGS("start: list that receives last - first + 2 row starts (or None);\n  colind: list that "
                         "receives the variables of the coefficients (or None);\n  colcoef: list that receives the "
                         "coefficients (or None);\n  maxcoefs: the most coefficients returned;\n  first, last: the "
                         "range of rows (constraints, names or indices)."),
              "start, cols, coefs = list[int](), list[korvo.var](), list[float](); p.getrows(start, cols, coefs, 100, 0, 2)",
              "Row k's coefficients are at start[k] .. start[k+1]-1 of colind and colcoef."),
    6,
    {OUT("start", "mstart", CONV_INT64, 0), OUT("colind", "mclind", CONV_COL, 1),
     OUT("colcoef", "dmatval", CONV_DOUBLE, 1), INT("maxcoefs", "size"), IDX("first", "first", CONV_ROW),
     IDX("last", "last", CONV_ROW)},
    getrows_prepare,
    vectors_call<rows_query>,
    nullptr};

const wrapper_def kGetcols{
    "getcols",
    KORVO_DOC("Returns the coefficients of a range of columns.",
              "p.getcols(start, rowind, rowcoef, maxcoefs, first, last)",
              KORVO_ARGS("start: list that receives last - first + 2 column starts (or None);\n  rowind: list that "
                         "receives the constraints of the coefficients (or None);\n  rowcoef: list that receives the "
                         "coefficients (or None);\n  maxcoefs: the most coefficients returned;\n  first, last: the "
                         "range of columns (variables, names or indices)."),
              "start, rows, coefs = list[int](), list[korvo.constraint](), list[float](); p.getcols(start, rows, coefs, 100, x, y)",
              "Column k's coefficients are at start[k] .. start[k+1]-1 of rowind and rowcoef."),
    6,
    {OUT("start", "mstart", CONV_INT64, 0), OUT("rowind", "mrwind", CONV_ROW, 1),
     OUT("rowcoef", "dmatval", CONV_DOUBLE, 1), INT("maxcoefs", "size"), IDX("first", "first", CONV_COL),
     IDX("last", "last", CONV_COL)},
    getcols_prepare,
    vectors_call<cols_query>,
    nullptr};

const wrapper_def kGetmqobj{
    "getmqobj",
    KORVO_DOC("Returns the quadratic objective coefficients of a range of columns.",
              "n = p.getmqobj(start, colind, objqcoef, maxcoefs, first, last)",
              KORVO_ARGS("start: list that receives last - first + 2 column starts (or None);\n  colind: list that "
                         "receives the second variable of each entry (or None);\n  objqcoef: list that receives the "
                         "coefficients Q_jk of 0.5 x'Qx (or None);\n  maxcoefs: the most entries returned;\n  first, "
                         "last: the range of columns."),
              "n = p.getmqobj(start, cols, coefs, 100, 0, 3)",
              "Column j lists its entries (j, k) with k >= j. Returns the total number of entries in the range."),
    6,
    {OUT("start", "mstart", CONV_INT64, 0), OUT("colind", "mclind", CONV_COL, 1),
     OUT("objqcoef", "dobjval", CONV_DOUBLE, 1), INT("maxcoefs", "size"), IDX("first", "first", CONV_COL),
     IDX("last", "last", CONV_COL)},
    getmqobj_prepare,
    vectors_call<mqobj_query>,
    total_result};

const wrapper_def kGetqrowqmatrix{
    "getqrowqmatrix",
    KORVO_DOC("Returns the quadratic matrix of a row for a range of columns.",
              "n = p.getqrowqmatrix(row, start, colind, rowqcoef, maxcoefs, first, last)",
              KORVO_ARGS("row: the row;\n  start: list that receives last - first + 2 column starts (or None);\n  "
                         "colind: list that receives the second variable of each entry (or None);\n  rowqcoef: list "
                         "that receives the coefficients Q_jk of x'Qx (or None);\n  maxcoefs: the most entries "
                         "returned;\n  first, last: the range of columns."),
              "n = p.getqrowqmatrix(c1, start, cols, coefs, 100, 0, 3)",
              "Column j lists its entries (j, k) with k >= j. Returns the total number of entries in the range."),
    7,
    {IDX("row", "irow", CONV_ROW), OUT("start", "mstart", CONV_INT, 0), OUT("colind", "mclind", CONV_COL, 1),
     OUT("rowqcoef", "dqe", CONV_DOUBLE, 1), INT("maxcoefs", "size"), IDX("first", "first", CONV_COL),
     IDX("last", "last", CONV_COL)},
    getqrowqmatrix_prepare,
    getqrowqmatrix_call,
    getqrowqmatrix_result};

const wrapper_def kGetqrowqmatrixtriplets{
    "getqrowqmatrixtriplets",
    KORVO_DOC("Returns the quadratic part of a row as triplets.",
              "p.getqrowqmatrixtriplets(row, rowqcol1=None, rowqcol2=None, rowqcoef=None)",
              KORVO_ARGS("row: the row;\n  rowqcol1, rowqcol2: lists that receive the two variables of each "
                         "entry;\n  rowqcoef: list that receives the coefficients Q_ij of x'Qx."),
              "r1, r2, rq = list[korvo.var](), list[korvo.var](), list[float](); p.getqrowqmatrixtriplets(row, r1, r2, rq)",
              "An entry with two different variables stands for both Q_ij and Q_ji."),
    4,
    {IDX("row", "irow", CONV_ROW), OPT_OUT("rowqcol1", "mqcol1", CONV_COL, 0),
     OPT_OUT("rowqcol2", "mqcol2", CONV_COL, 0), OPT_OUT("rowqcoef", "dqe", CONV_DOUBLE, 0)},
    triplets_prepare,
    triplets_call,
    nullptr};

const wrapper_def kGetqrows{
    "getqrows",
    KORVO_DOC("Returns the rows that have a quadratic part.", "p.getqrows(rowind)",
              KORVO_ARG("rowind: list that receives the constraints, in row order."), "rows = list[korvo.constraint](); p.getqrows(rows)",
              "The attribute qconstraints gives their number."),
    1,
    {OUT("rowind", "qcrows", CONV_ROW, 0)},
    getqrows_prepare,
    getqrows_call,
    nullptr};

const wrapper_def kGetqobj{
    "getqobj",
    KORVO_DOC("Returns one quadratic objective coefficient.", "q = p.getqobj(objqcol1, objqcol2)",
              KORVO_ARGS("objqcol1, objqcol2: the two columns."), "q = p.getqobj(x, y)",
              "The coefficient Q_ij of the objective's 0.5 x'Qx; x**2 in the objective gives 2."),
    2,
    {IDX("objqcol1", "icol", CONV_COL), IDX("objqcol2", "jcol", CONV_COL)},
    nullptr,
    getqobj_call,
    double_result};

const wrapper_def kGetqrowcoeff{
    "getqrowcoeff",
    KORVO_DOC("Returns one quadratic coefficient of a row.", "q = p.getqrowcoeff(row, rowqcol1, rowqcol2)",
              KORVO_ARGS("row: the row;\n  rowqcol1, rowqcol2: the two columns."), "q = p.getqrowcoeff(c1, x, y)",
              "The coefficient Q_ij of the row's x'Qx; 3*x*y in the row gives 1.5."),
    3,
    {IDX("row", "irow", CONV_ROW), IDX("rowqcol1", "icol", CONV_COL), IDX("rowqcol2", "jcol", CONV_COL)},
    nullptr,
    getqrowcoeff_call,
    double_result};

const wrapper_def kGetcoef{
    "getcoef",
    KORVO_DOC("Returns one coefficient of the constraint matrix.", "a = p.getcoef(row, col)",
              KORVO_ARGS("row: the row;\n  col: the column."), "a = p.getcoef(c1, x)", "0 where there is none."),
    2,
    {IDX("row", "irow", CONV_ROW), IDX("col", "icol", CONV_COL)},
    nullptr,
    getcoef_call,
    double_result};

#define RANGE_DEF(var, name, kw, legacy, kind, index_kind, prepare, call, purpose, example)                       \
  const wrapper_def var{name,                                                                                      \
                        KORVO_DOC(purpose, "p." name "(" kw ", first, last)",                                      \
                                  KORVO_ARGS(kw ": list that receives the values;\n  first, last: the range."),   \
                                  example, "The list is shortened or extended to last - first + 1 items."),        \
                        3,                                                                                         \
                        {OUT(kw, legacy, kind, 0), IDX("first", "first", index_kind), IDX("last", "last", index_kind)}, \
                        prepare,                                                                                   \
                        call,                                                                                      \
                        nullptr};
RANGE_DEF(kGetobj, "getobj", "objcoef", "obj", CONV_DOUBLE, CONV_COL, cols_double_prepare, getobj_call,
          "Returns the linear objective coefficients of a range of columns.", "c = list[float](); p.getobj(c, 0, 2)")
RANGE_DEF(kGetrhs, "getrhs", "rhs", "rhs", CONV_DOUBLE, CONV_ROW, rhs_prepare, getrhs_call,
          "Returns the right-hand sides of a range of rows.", "b = list[float](); p.getrhs(b, 0, 2)")
RANGE_DEF(kGetrhsrange, "getrhsrange", "rng", "range", CONV_DOUBLE, CONV_ROW, rhs_prepare, getrhsrange_call,
          "Returns the ranges of a range of rows (0 for rows that are not range rows).", "r = list[float](); p.getrhsrange(r, 0, 2)")
RANGE_DEF(kGetrowtype, "getrowtype", "rowtype", "qrtype", CONV_CHAR, CONV_ROW, rows_char_prepare, getrowtype_call,
          "Returns the types of a range of rows: L, G, E, R or N.", "t = list[str](); p.getrowtype(t, 0, 2)")
RANGE_DEF(kGetcoltype, "getcoltype", "coltype", "coltype", CONV_CHAR, CONV_COL, coltype_prepare, getcoltype_call,
          "Returns the types of a range of columns: C, B, I, S, R or P.", "t = list[str](); p.getcoltype(t, 0, 2)")
#undef RANGE_DEF

#define BOUNDS_DEF(var, name, kw, call, purpose)                                                                   \
  const wrapper_def var{                                                                                           \
      name,                                                                                                        \
      KORVO_DOC(purpose, "p." name "(" kw "=None, first=None, last=None)",                                         \
                KORVO_ARGS(kw ": list that receives the bounds, or None for a new list;\n  first, last: the range " \
                              "of columns (all of them by default)."),                                             \
                "bounds = p." name "(None)",                                                                       \
                "Returns the new list when " kw " is None, else None; an empty range returns None and leaves " kw  \
                " as it is. Infinite bounds are +-1e20."),                                                          \
      3,                                                                                                           \
      {OUT(kw, kw, CONV_DOUBLE, 0), OPT_IDX("first", "first", CONV_COL), OPT_IDX("last", "last", CONV_COL)},      \
      bounds_prepare,                                                                                              \
      bounds_call<call>,                                                                                           \
      bounds_result};
BOUNDS_DEF(kGetlb, "getlb", "lb", getlb_call, "Returns the lower bounds of a range of columns.")
BOUNDS_DEF(kGetub, "getub", "ub", getub_call, "Returns the upper bounds of a range of columns.")
#undef BOUNDS_DEF

const wrapper_def kGetglobal{
    "getglobal",
    KORVO_DOC("Returns the discrete entities (columns that are not continuous) and the special ordered sets.",
              "p.getglobal(coltype, colind, limit, settype, start, setcols, refval)",
              KORVO_ARGS("coltype, colind, limit: lists that receive each entity's type, column index and "
                         "threshold;\n  settype: list that receives each set's type ('1' or '2');\n  start: list "
                         "that receives sets + 1 starts into setcols and refval;\n  setcols, refval: lists that "
                         "receive the sets' members (variables) and weights. Any may be None."),
              "t, j, l = list[str](), list[int](), list[float](); p.getglobal(t, j, l, None, None, None, None)",
              "Set k's members are at start[k] .. start[k+1]-1."),
    7,
    {OPT_OUT("coltype", "qgtype", CONV_CHAR, 0), OPT_OUT("colind", "mgcols", CONV_INT, 0),
     OPT_OUT("limit", "dlim", CONV_DOUBLE, 0), OPT_OUT("settype", "qstype", CONV_CHAR, 1),
     OPT_OUT("start", "msstart", CONV_INT64, 2), OPT_OUT("setcols", "mscols", CONV_COL, 3),
     OPT_OUT("refval", "dref", CONV_DOUBLE, 3)},
    getglobal_prepare,
    getglobal_call,
    nullptr};

const wrapper_def kGetnamelist{
    "getnamelist",
    KORVO_DOC("Returns the names of a range of rows, columns or sets.", "names = p.getnamelist(type, first, last)",
              KORVO_ARGS("type: 1 rows, 2 columns, 3 sets;\n  first, last: the range (all by default)."),
              "names = p.getnamelist(2)", "Rows and columns without a name of their own have generated names."),
    3,
    {INT("type", "type"), OPT_INT("first", "start"), OPT_INT("last", "end")},
    getnamelist_prepare,
    getnamelist_call,
    getnamelist_result};

PyMethodDef query_methods[] = {KORVO_WRAPPER_METHOD(kGetrows),       KORVO_WRAPPER_METHOD(kGetcols),
                               KORVO_WRAPPER_METHOD(kGetmqobj),      KORVO_WRAPPER_METHOD(kGetqrowqmatrix),
                               KORVO_WRAPPER_METHOD(kGetqrowqmatrixtriplets), KORVO_WRAPPER_METHOD(kGetqrows),
                               KORVO_WRAPPER_METHOD(kGetqobj),       KORVO_WRAPPER_METHOD(kGetqrowcoeff),
                               KORVO_WRAPPER_METHOD(kGetcoef),       KORVO_WRAPPER_METHOD(kGetobj),
                               KORVO_WRAPPER_METHOD(kGetrhs),        KORVO_WRAPPER_METHOD(kGetrhsrange),
                               KORVO_WRAPPER_METHOD(kGetrowtype),    KORVO_WRAPPER_METHOD(kGetcoltype),
                               KORVO_WRAPPER_METHOD(kGetlb),         KORVO_WRAPPER_METHOD(kGetub),
                               KORVO_WRAPPER_METHOD(kGetglobal),     KORVO_WRAPPER_METHOD(kGetnamelist),
                               {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(query_methods);
