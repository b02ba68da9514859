// The objective: linear, quadratic, and nonlinear through a transfer row
// and column.
#include <Python.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "api/errors.h"
#include "constraint/constraint.h"
#include "expression/expression.h"
#include "knls.h"
#include "krvs.h"
#include "nonlin/convert.h"
#include "numpy_types/npy_api.h"
#include "problem/change_journal.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int kStateAttrib = 12062;
constexpr int kStateConstructed = 0x1;
constexpr int kStatePresolved = 0x20000000;
constexpr int kObjSenseControl = 12146;
constexpr int kTransferRowStatus = 0x800;

PyObject *self_of(problem_s *p) { return reinterpret_cast<PyObject *>(p); }

int engine_failed(problem_s *p) {
  setKrvsErrIfNull(self_of(p), nullptr);
  return -1;
}

// Clears the quadratic objective of n columns.
int clear_quadratic_objective(problem_s *p, int n) {
  if (n == 0) return 0;
  int count = 0;
  if (KRVSgetmqobj(p->prob, nullptr, nullptr, nullptr, 0, &count, 0, n - 1) != 0) return engine_failed(p);
  if (count == 0) return 0;
  std::vector<int> starts(static_cast<size_t>(n) + 1), second(static_cast<size_t>(count));
  std::vector<double> values(static_cast<size_t>(count));
  if (KRVSgetmqobj(p->prob, starts.data(), second.data(), values.data(), count, &count, 0, n - 1) != 0)
    return engine_failed(p);
  std::vector<int> first(static_cast<size_t>(count));
  for (int j = 0; j < n; ++j)
    for (int k = starts[size_t(j)]; k < starts[size_t(j) + 1]; ++k) first[size_t(k)] = j;
  std::vector<double> none(size_t(count), 0.0);
  if (KRVSchgmqobj(p->prob, count, first.data(), second.data(), none.data()) != 0) return engine_failed(p);
  return 0;
}

// Deletes the nonlinear coefficients of one row, last to first.
int delete_row_coefficients(problem_s *p, int row) {
  int count = 0;
  if (KNLSgetcoefs(p->nlprob, &count, nullptr, nullptr) != 0) return engine_failed(p);
  if (count == 0) return 0;
  std::vector<int> rows(static_cast<size_t>(count)), cols(static_cast<size_t>(count));
  if (KNLSgetcoefs(p->nlprob, &count, rows.data(), cols.data()) != 0) return engine_failed(p);
  for (int k = count - 1; k >= 0; --k)
    if (rows[size_t(k)] == row && KNLSdelcoefs(p->nlprob, 1, &rows[size_t(k)], &cols[size_t(k)]) != 0)
      return engine_failed(p);
  return 0;
}

// Removes the objective transfer row and column from the engine and the registry.
int remove_transfer(problem_s *p) {
  int col = p->transfer_col, row = p->transfer_row;
  if (col >= 0) {
    double zero = 0.0;
    if (KRVSchgobj(p->prob, 1, &col, &zero) != 0) return engine_failed(p);
  }
  if (row >= 0) {
    if (delete_row_coefficients(p, row) < 0) return -1;
    int status = 0;
    if (KNLSgetrowstatus(p->nlprob, row, &status) != 0) return engine_failed(p);
    status &= ~kTransferRowStatus;
    if (KNLSchgrowstatus(p->nlprob, row, &status) != 0) return engine_failed(p);
  }
  if (col >= 0) {
    int none = -1;
    if (KNLSchgvar(p->nlprob, col, &none, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr) != 0 ||
        KNLSdelvars(p->nlprob, 1, &col) != 0 || KRVSdelcols(p->prob, 1, &col) != 0)
      return engine_failed(p);
    if (registry_remove(p, 0, col) < 0) return -1;
  }
  if (row >= 0) {
    if (KRVSdelrows(p->prob, 1, &row) != 0) return engine_failed(p);
    if (registry_remove(p, 1, row) < 0) return -1;
  }
  p->transfer_col = -1;
  p->transfer_row = -1;
  p->nl_objective = 0;
  return 0;
}

// Adds the transfer row (t - f(x) = 0 once the formulas are in) and the
// free column t with objective coefficient 1, both registered like any row
// and column of the problem.
int add_transfer(problem_s *p, const conv_target &t) {
  bool nonlinear_rows = p->nl_coef_count > 0;
  int64_t rows = 0, cols = 0;
  int nl_count = 0;
  if (nonlinear_rows) {
    if (KNLSgetintattrib(p->nlprob, 11999, &nl_count) != 0) return engine_failed(p);
    rows = nl_count;
  } else if (KRVSgetintattrib64(p->prob, 1124, &rows) != 0) {
    return engine_failed(p);
  }
  char type = 'E';
  double rhs = 0.0, zero = 0.0;
  int64_t row_starts[2] = {0, 0};
  int col0 = 0;
  if (KRVSaddrows64(p->prob, 1, 0, &type, &rhs, nullptr, row_starts, &col0, &zero) != 0) return engine_failed(p);
  PyRef row_obj(constraint_base());
  if (!row_obj) return -1;
  PyRef row_name(PyUnicode_FromString("objtransferrow"));
  if (!row_name || set_con_name(&as_constraint(row_obj.get())->info, row_name.get()) < 0 ||
      set_con_lbound(&as_constraint(row_obj.get())->info, 0.0) < 0 ||
      set_con_ubound(&as_constraint(row_obj.get())->info, 0.0) < 0)
    return -1;
  p->transfer_row = int(rows);
  p->nl_objective = 1;
  if (registry_append(p, 1, row_obj.get(), rows) < 0) return -1;
  if (KRVSaddnames(p->prob, 1, "objtransferrow", int(rows), int(rows)) != 0) return engine_failed(p);
  if (nonlinear_rows) {
    if (KNLSgetintattrib(p->nlprob, 12000, &nl_count) != 0) return engine_failed(p);
    cols = nl_count;
  } else if (KRVSgetintattrib64(p->prob, 1214, &cols) != 0) {
    return engine_failed(p);
  }
  double objective = 1.0, coef = -1.0, lb = -KRV_INFINITY, ub = KRV_INFINITY;
  int64_t col_starts[2] = {0, 1};
  int row_index = int(rows);
  if (KRVSaddcols64(p->prob, 1, 1, &objective, col_starts, &row_index, &coef, &lb, &ub) != 0) return engine_failed(p);
  PyRef col_obj(var_base());
  if (!col_obj) return -1;
  PyRef col_name(PyUnicode_FromString("objtransfercol"));
  uint64_t *info = &as_var(col_obj.get())->info;
  if (!col_name || set_var_name(info, col_name.get()) < 0 || set_var_lbound(info, lb) < 0 ||
      set_var_ubound(info, ub) < 0)
    return -1;
  p->transfer_col = int(cols);
  if (registry_append(p, 0, col_obj.get(), cols) < 0) return -1;
  if (KRVSaddnames(p->prob, 2, "objtransfercol", int(cols), int(cols)) != 0) return engine_failed(p);
  int detrow = int(rows);
  if (KNLSchgvar(p->nlprob, int(cols), &detrow, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                 nullptr, nullptr, nullptr) != 0)
    return engine_failed(p);
  int status = 0;
  if (KNLSgetrowstatus(p->nlprob, int(rows), &status) != 0) return engine_failed(p);
  status |= kTransferRowStatus;
  if (KNLSchgrowstatus(p->nlprob, int(rows), &status) != 0) return engine_failed(p);
  std::vector<int> formula_rows(t.formula_count, int(rows));
  if (KNLSaddcoefs(p->nlprob, int(t.formula_count), formula_rows.data(), t.formula_cols, t.formula_factors,
                   t.formula_starts, 1, t.token_types, t.token_vals) != 0)
    return engine_failed(p);
  return 0;
}

int column_out_of_range() {
  PyErr_SetString(korvo_interface_error, "Objective refers to a column the problem does not have");
  return -1;
}

// Replaces the constant and the linear objective of all n columns with
// those of the conversion, repeated columns summed, in one call each: the
// new coefficients are laid over zeros, which clears every other column.
int set_constant_and_linear(problem_s *p, const conv_target &t, int n) {
  int minus_one = -1;
  double constant = t.constant != 0.0 ? -t.constant : 0.0;
  if (KRVSchgobj(p->prob, 1, &minus_one, &constant) != 0) return engine_failed(p);
  if (n == 0) return t.linear_count > 0 ? column_out_of_range() : 0;
  std::vector<double> dense(size_t(n), 0.0);
  for (uint64_t k = 0; k < t.linear_count; ++k) {
    int col = t.linear_cols[k];
    if (col < 0 || col >= n) return column_out_of_range();
    dense[size_t(col)] += t.linear_vals[k];
  }
  std::vector<int> cols(static_cast<size_t>(n));
  for (int j = 0; j < n; ++j) cols[size_t(j)] = j;
  if (KRVSchgobj(p->prob, n, cols.data(), dense.data()) != 0) return engine_failed(p);
  return 0;
}

// The quadratic part of a conversion, each pair once (first column not
// above the second) with repeated pairs summed, as the engine's objective
// changes replace rather than add.
int set_quadratic(problem_s *p, const conv_target &t) {
  if (t.quad_count == 0) return 0;
  struct entry {
    int first, second;
    double value;
  };
  std::vector<entry> entries(size_t(t.quad_count));
  for (uint64_t k = 0; k < t.quad_count; ++k) {
    int i = t.quad_col1[k], j = t.quad_col2[k];
    entries[size_t(k)] = {std::min(i, j), std::max(i, j), t.quad_vals[k]};
  }
  std::stable_sort(entries.begin(), entries.end(), [](const entry &a, const entry &b) {
    return a.first != b.first ? a.first < b.first : a.second < b.second;
  });
  std::vector<int> first, second;
  std::vector<double> values;
  first.reserve(entries.size());
  second.reserve(entries.size());
  values.reserve(entries.size());
  for (const entry &e : entries) {
    if (!first.empty() && first.back() == e.first && second.back() == e.second) {
      values.back() += e.value;
      continue;
    }
    first.push_back(e.first);
    second.push_back(e.second);
    values.push_back(e.value);
  }
  if (KRVSchgmqobj64(p->prob, int64_t(values.size()), first.data(), second.data(), values.data()) != 0)
    return engine_failed(p);
  return 0;
}

// Moves the converted column indices above a deleted column down by one,
// as the deletion moves the columns themselves.
void shift_columns_above(conv_target *t, int deleted) {
  auto shift = [deleted](int &col) {
    if (col > deleted) --col;
  };
  for (uint64_t k = 0; k < t->linear_count; ++k) shift(t->linear_cols[k]);
  for (uint64_t k = 0; k < t->quad_count; ++k) {
    shift(t->quad_col1[k]);
    shift(t->quad_col2[k]);
  }
  for (uint64_t k = 0; k < t->formula_count; ++k) shift(t->formula_cols[k]);
  for (uint64_t k = 0; k < t->token_count; ++k)
    if (t->token_types[k] == KNLS_TOK_COL && t->token_vals[k] > double(deleted)) t->token_vals[k] -= 1.0;
}

bool uses_column(const conv_target &t, int col) {
  for (uint64_t k = 0; k < t.linear_count; ++k)
    if (t.linear_cols[k] == col) return true;
  for (uint64_t k = 0; k < t.quad_count; ++k)
    if (t.quad_col1[k] == col || t.quad_col2[k] == col) return true;
  for (uint64_t k = 0; k < t.formula_count; ++k)
    if (t.formula_cols[k] == col) return true;
  for (uint64_t k = 0; k < t.token_count; ++k)
    if (t.token_types[k] == KNLS_TOK_COL && int(t.token_vals[k]) == col) return true;
  return false;
}

int parse_sense(PyObject *obj, long *sense) {
  *sense = 1;
  if (obj) {
    *sense = PyLong_Check(obj) ? PyLong_AsLong(obj) : 0;
    if (*sense == -1 && PyErr_Occurred()) PyErr_Clear();
  }
  if (*sense != 1 && *sense != -1) {
    PyErr_SetString(korvo_model_error, "Invalid optimization sense");
    return -1;
  }
  return 0;
}

PyObject *problem_setObjective(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"objective", "sense", nullptr};
  PyObject *objective = nullptr, *sense_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char **>(keywords), &objective, &sense_obj))
    return nullptr;
  long sense = 1;
  if (parse_sense(sense_obj, &sense) < 0) return nullptr;
  if (problem_set_objective(reinterpret_cast<problem_s *>(self), objective, sense) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef objective_methods[] = {
    {"setObjective", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(problem_setObjective)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Sets the objective function and its sense, replacing the previous objective.",
               "p.setObjective(objective, sense=korvo.minimize)",
               KORVO_ARGS("objective: a variable, linear, quadratic or nonlinear expression;\n  sense: "
                          "korvo.minimize (1) or korvo.maximize (-1)."),
               "p.setObjective(3*x + 2*y, sense=korvo.maximize)",
               "A nonlinear objective is passed through a row 'objtransferrow' defining a column 'objtransfercol'.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int check_nl_unconstruct(problem_s *p) {
  if (!problem_is_nonlinear(p)) return 0;
  int state = 0;
  if (KNLSgetintattrib(p->nlprob, kStateAttrib, &state) != 0) return engine_failed(p);
  if ((state & kStateConstructed) && KNLSunconstruct(p->nlprob) != 0) return engine_failed(p);
  if ((state & kStatePresolved) && KNLSpostsolve(p->nlprob) != 0) return engine_failed(p);
  return 0;
}

int64_t problem_column_count(problem_s *p) {
  if (problem_is_nonlinear(p)) {
    int n = 0;
    if (KNLSgetintattrib(p->nlprob, 12000, &n) != 0) return engine_failed(p);
    return n;
  }
  int64_t n = 0;
  if (KRVSgetintattrib64(p->prob, 1214, &n) != 0) return engine_failed(p);
  return n;
}

int64_t problem_row_count(problem_s *p) {
  if (problem_is_nonlinear(p)) {
    int n = 0;
    if (KNLSgetintattrib(p->nlprob, 11999, &n) != 0) return engine_failed(p);
    return n;
  }
  int64_t n = 0;
  if (KRVSgetintattrib64(p->prob, 1124, &n) != 0) return engine_failed(p);
  return n;
}

int problem_set_objective(problem_s *p, PyObject *objective, long sense) {
  if (problem_refuse_while_solving(p, "setObjective()") < 0) return -1;
  PyRef single = PyRef::borrow(objective);
  if (PyArray_Check(objective)) {
    auto *array = reinterpret_cast<PyArrayObject *>(objective);
    if (PyArray_SIZE(array) != 1) {
      PyErr_SetString(korvo_model_error, "Only one objective can be set, passed a sequence or NumPy array");
      return -1;
    }
    single.reset(PyArray_GETITEM(array, static_cast<char *>(PyArray_DATA(array))));
    if (!single) return -1;
  }
  if (exprKind(single.get()) < 0) {
    PyErr_SetString(korvo_model_error, "Invalid object set as objective");
    return -1;
  }
  // The conversion comes first: an objective that cannot be converted
  // leaves the current one in place.
  conv_target t{};
  t.grow = true;
  struct Freed {
    conv_target *t;
    ~Freed() { conv_target_free(t); }
  } freed{&t};
  if (convertExpr(p, single.get(), &t, true) < 0) return -1;
  if (p->transfer_col >= 0 && uses_column(t, p->transfer_col)) {
    // The column goes when the objective is replaced.
    PyErr_SetString(korvo_model_error, "The objective cannot contain the objective transfer column");
    return -1;
  }
  if (check_nl_unconstruct(p) < 0) return -1;
  // The transfer column is not part of the objective being replaced; the
  // conversion's columns above it move down with the rest.
  if (p->nl_objective) {
    int removed_col = p->transfer_col;
    if (remove_transfer(p) < 0) return -1;
    if (removed_col >= 0) shift_columns_above(&t, removed_col);
  }
  int64_t n = problem_column_count(p);
  if (n < 0 || set_constant_and_linear(p, t, int(n)) < 0 || clear_quadratic_objective(p, int(n)) < 0 ||
      set_quadratic(p, t) < 0)
    return -1;
  if (t.formula_count > 0) {
    if (add_transfer(p, t) < 0) return -1;
  } else if (p->transfer_col != -1 && remove_transfer(p) < 0) {
    return -1;
  }
  if (KRVSchgobjsense(p->prob, sense == 1 ? 1 : -1) != 0) return engine_failed(p);
  if (p->nlprob && KNLSsetdblcontrol(p->nlprob, kObjSenseControl, sense == 1 ? 1.0 : -1.0) != 0)
    return engine_failed(p);
  return 0;
}

PyMethodDef *problem_objective_method_table(void) { return objective_methods; }
