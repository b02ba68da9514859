// Changing columns, rows, coefficients, the objective and indicators.
#include <algorithm>

#include "api/model_checks.h"
#include "nlp/renumber.h"
#include "solve/live_model.h"
#include "solve/solve_state.h"

using namespace krvs;

namespace {

void check_cols(const char *fn, const Model &m, int n, const int *colind) {
  check_count(fn, n, "columns");
  check_array(fn, colind, n, "of column indices");
  for (int k = 0; k < n; ++k) check_index(fn, colind[k], m.cols(), "column");
}

void check_rows(const char *fn, const Model &m, int n, const int *rowind) {
  check_count(fn, n, "rows");
  check_array(fn, rowind, n, "of row indices");
  for (int k = 0; k < n; ++k) check_index(fn, rowind[k], m.rows(), "row");
}

void bump_data(Model &m) { ++m.data_version; }
void bump_structure(Model &m) {
  ++m.structure_version;
  ++m.data_version;
}

}  // namespace

extern "C" {

int KRVSchgcoltype(KRVSprob prob, int ncols, const int colind[], const char coltype[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgcoltype";
    Model &m = model_of(prob);
    check_cols(fn, m, ncols, colind);
    check_array(fn, coltype, ncols, "of column types");
    for (int k = 0; k < ncols; ++k)
      if (!valid_coltype(coltype[k]))
        fail(fn, "invalid column type " + quoted_char(coltype[k]) + " for column " + std::to_string(colind[k]));
    ModelEdit edit(prob);
    for (int k = 0; k < ncols; ++k) m.set_coltype(colind[k], coltype[k]);
    edit.coltypes_changed(ncols, colind);
  });
}

int KRVSchgglblimit(KRVSprob prob, int ncols, const int colind[], const double limit[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgglblimit";
    Model &m = model_of(prob);
    check_cols(fn, m, ncols, colind);
    check_array(fn, limit, ncols, "of thresholds");
    for (int k = 0; k < ncols; ++k) {
      if (!has_limit(m.coltype[size_t(colind[k])]))
        fail(fn, "column " + std::to_string(colind[k]) +
                     " is not semi-continuous, semi-integer or partially integer");
      check_number(fn, limit[k], "threshold");
    }
    ModelEdit edit(prob);
    for (int k = 0; k < ncols; ++k) m.limit[size_t(colind[k])] = clamp_infinite(limit[k]);
    bump_structure(m);
    edit.limits_changed(ncols, colind);
  });
}

int KRVSchgbounds(KRVSprob prob, int nbounds, const int colind[], const char bndtype[],
                  const double bndval[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgbounds";
    Model &m = model_of(prob);
    check_cols(fn, m, nbounds, colind);
    check_array(fn, bndtype, nbounds, "of bound types");
    check_array(fn, bndval, nbounds, "of bounds");
    for (int k = 0; k < nbounds; ++k) {
      if (bndtype[k] != 'L' && bndtype[k] != 'U' && bndtype[k] != 'B')
        fail(fn, "invalid bound type " + quoted_char(bndtype[k]) + " (L, U or B)");
      check_number(fn, bndval[k], "bound");
    }
    ModelEdit edit(prob);
    for (int k = 0; k < nbounds; ++k) {
      size_t j = size_t(colind[k]);
      double v = clamp_infinite(bndval[k]);
      if (bndtype[k] != 'U') m.lb[j] = v;
      if (bndtype[k] != 'L') m.ub[j] = v;
    }
    bump_data(m);
    edit.bounds_changed(nbounds, colind);
  });
}

int KRVSchgrhs(KRVSprob prob, int nrows, const int rowind[], const double rhs[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgrhs";
    Model &m = model_of(prob);
    check_rows(fn, m, nrows, rowind);
    check_array(fn, rhs, nrows, "of right-hand sides");
    for (int k = 0; k < nrows; ++k) check_number(fn, rhs[k], "right-hand side");
    ModelEdit edit(prob);
    for (int k = 0; k < nrows; ++k) m.rhs[size_t(rowind[k])] = clamp_infinite(rhs[k]);
    bump_data(m);
    edit.rows_changed(nrows, rowind);
  });
}

// A range given for a row that is not a range row makes it one: an 'L',
// 'E' or 'N' row keeps its right-hand side as the upper end, a 'G' row keeps
// it as the lower end.
int KRVSchgrhsrange(KRVSprob prob, int nrows, const int rowind[], const double range[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgrhsrange";
    Model &m = model_of(prob);
    check_rows(fn, m, nrows, rowind);
    check_array(fn, range, nrows, "of ranges");
    for (int k = 0; k < nrows; ++k) check_finite(fn, range[k], "range");
    ModelEdit edit(prob);
    for (int k = 0; k < nrows; ++k) {
      size_t i = size_t(rowind[k]);
      double r = std::fabs(range[k]);
      if (m.rowtype[i] == 'G') m.rhs[i] = clamp_infinite(m.rhs[i] + r);
      m.rowtype[i] = 'R';
      m.range[i] = r;
    }
    bump_data(m);
    edit.rows_changed(nrows, rowind);
  });
}

int KRVSchgrowtype(KRVSprob prob, int nrows, const int rowind[], const char rowtype[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgrowtype";
    Model &m = model_of(prob);
    check_rows(fn, m, nrows, rowind);
    check_array(fn, rowtype, nrows, "of row types");
    for (int k = 0; k < nrows; ++k)
      if (!valid_rowtype(rowtype[k]))
        fail(fn, "invalid row type " + quoted_char(rowtype[k]) + " for row " + std::to_string(rowind[k]));
    ModelEdit edit(prob);
    for (int k = 0; k < nrows; ++k) {
      size_t i = size_t(rowind[k]);
      m.rowtype[i] = rowtype[k];
      if (rowtype[k] != 'R') m.range[i] = 0.0;
    }
    bump_data(m);
    edit.rows_changed(nrows, rowind);
  });
}

int KRVSchgcoef(KRVSprob prob, int row, int col, double coef) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgcoef";
    Model &m = model_of(prob);
    check_index(fn, row, m.rows(), "row");
    check_index(fn, col, m.cols(), "column");
    check_finite(fn, coef, "coefficient");
    ModelEdit edit(prob);
    m.set_coef(row, col, coef);
    edit.coef_changed(row, col);
  });
}

int KRVSchgmcoef64(KRVSprob prob, int64_t ncoefs, const int rowind[], const int colind[],
                   const double rowcoef[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgmcoef64";
    Model &m = model_of(prob);
    check_count(fn, ncoefs, "coefficients");
    check_array(fn, rowind, ncoefs, "of row indices");
    check_array(fn, colind, ncoefs, "of column indices");
    check_array(fn, rowcoef, ncoefs, "of coefficients");
    for (int64_t k = 0; k < ncoefs; ++k) {
      check_index(fn, rowind[k], m.rows(), "row");
      check_index(fn, colind[k], m.cols(), "column");
      check_finite(fn, rowcoef[k], "coefficient");
    }
    ModelEdit edit(prob);
    for (int64_t k = 0; k < ncoefs; ++k) {
      m.set_coef(rowind[k], colind[k], rowcoef[k]);
      edit.coef_changed(rowind[k], colind[k]);
    }
  });
}

int KRVSchgobj(KRVSprob prob, int ncols, const int colind[], const double objcoef[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgobj";
    Model &m = model_of(prob);
    check_count(fn, ncols, "columns");
    check_array(fn, colind, ncols, "of column indices");
    check_array(fn, objcoef, ncols, "of objective coefficients");
    for (int k = 0; k < ncols; ++k) {
      if (colind[k] != -1) check_index(fn, colind[k], m.cols(), "column");
      check_finite(fn, objcoef[k], "objective coefficient");
    }
    ModelEdit edit(prob);
    for (int k = 0; k < ncols; ++k) {
      if (colind[k] == -1) {
        m.obj_constant = -objcoef[k];
        edit.constant_changed();
      } else {
        m.obj[size_t(colind[k])] = objcoef[k];
        edit.costs_changed(1, &colind[k]);
      }
    }
    bump_data(m);
  });
}

int KRVSchgmqobj64(KRVSprob prob, int64_t ncoefs, const int objqcol1[], const int objqcol2[],
                   const double objqcoef[]) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    check_triplets("KRVSchgmqobj64", ncoefs, objqcol1, objqcol2, objqcoef, m.cols());
    ModelEdit edit(prob);
    if (ncoefs > 0) m.change_qobj(ncoefs, objqcol1, objqcol2, objqcoef);
    edit.quadratic_objective_changed();
  });
}

int KRVSchgmqobj(KRVSprob prob, int ncoefs, const int objqcol1[], const int objqcol2[],
                 const double objqcoef[]) noexcept {
  return KRVSchgmqobj64(prob, ncoefs, objqcol1, objqcol2, objqcoef);
}

int KRVSchgobjsense(KRVSprob prob, int objsense) noexcept {
  return guard_problem(prob, [&] {
    if (objsense != 1 && objsense != -1)
      fail("KRVSchgobjsense", "invalid objective sense " + std::to_string(objsense) + " (1 minimise, -1 maximise)");
    Model &m = model_of(prob);
    ModelEdit edit(prob);
    m.obj_sense = objsense;
    bump_data(m);
    edit.sense_changed();
  });
}

int KRVSsetindicators(KRVSprob prob, int nrows, const int rowind[], const int colind[],
                      const int complement[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSsetindicators";
    Model &m = model_of(prob);
    check_rows(fn, m, nrows, rowind);
    check_array(fn, colind, nrows, "of indicator columns");
    check_array(fn, complement, nrows, "of complement flags");
    for (int k = 0; k < nrows; ++k) {
      if (complement[k] < -1 || complement[k] > 1)
        fail(fn, "invalid complement flag " + std::to_string(complement[k]) + " (-1, 0 or 1)");
      if (complement[k] != 0) check_index(fn, colind[k], m.cols(), "column");
    }
    ModelEdit edit(prob);
    for (int k = 0; k < nrows; ++k) {
      if (complement[k] == 0)
        m.indicators.erase(rowind[k]);
      else
        m.indicators[rowind[k]] = Indicator{colind[k], complement[k]};
    }
    bump_structure(m);
    edit.indicators_changed(nrows, rowind);
  });
}

int KRVSdelindicators(KRVSprob prob, int first, int last) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    check_range("KRVSdelindicators", first, last, m.rows(), "row");
    ModelEdit edit(prob);
    std::vector<int> rows;
    for (auto it = m.indicators.begin(); it != m.indicators.end();) {
      if (it->first >= first && it->first <= last) {
        rows.push_back(it->first);
        it = m.indicators.erase(it);
      } else {
        it = std::next(it);
      }
    }
    bump_structure(m);
    edit.indicators_changed(int(rows.size()), rows.data());
  });
}

// ---- deletions --------------------------------------------------------------

int KRVSdelrows(KRVSprob prob, int nrows, const int rowind[]) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    check_rows("KRVSdelrows", m, nrows, rowind);
    if (nrows == 0) return;
    std::vector<bool> remove(size_t(m.rows()), false);
    for (int k = 0; k < nrows; ++k) remove[size_t(rowind[k])] = true;
    ModelEdit edit(prob);
    m.delete_rows(remove);
    edit.rows_deleted(remove);
    nlp::rows_deleted(prob, remove);
  });
}

int KRVSdelcols(KRVSprob prob, int ncols, const int colind[]) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    check_cols("KRVSdelcols", m, ncols, colind);
    if (ncols == 0) return;
    std::vector<bool> remove(size_t(m.cols()), false);
    for (int k = 0; k < ncols; ++k) remove[size_t(colind[k])] = true;
    ModelEdit edit(prob);
    m.delete_cols(remove);
    edit.cols_deleted(remove);
    nlp::cols_deleted(prob, remove);
  });
}

int KRVSdelsets(KRVSprob prob, int nsets, const int setind[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSdelsets";
    Model &m = model_of(prob);
    check_count(fn, nsets, "sets");
    check_array(fn, setind, nsets, "of set indices");
    for (int k = 0; k < nsets; ++k) check_index(fn, setind[k], int64_t(m.sets.size()), "set");
    if (nsets == 0) return;
    std::vector<bool> remove(m.sets.size(), false);
    for (int k = 0; k < nsets; ++k) remove[size_t(setind[k])] = true;
    ModelEdit edit(prob);
    m.delete_sets(remove);
    edit.discrete_structure_changed();
  });
}

}  // extern "C"
