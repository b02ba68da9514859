#include "qp_warm_start.h"

#include <Highs.h>
#include <util/HFactor.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace krvs::nlp {

namespace {

bool at_value(double v, double bound) { return std::fabs(v - bound) <= 1e-9 * (1.0 + std::fabs(bound)); }

// A constraint the basis holds active at a bound it is no longer at stays
// in the basis, inactive: the basis keeps its size and its constraints.
void deactivate_if_loose(HighsBasisStatus &status, double value, double lower, double upper) {
  if ((status == HighsBasisStatus::kLower && !at_value(value, lower)) ||
      (status == HighsBasisStatus::kUpper && !at_value(value, upper)))
    status = HighsBasisStatus::kNonbasic;
}

}  // namespace

bool QpWarmStart::offer(Highs &highs, const double *x, int first_elastic) {
  const HighsLp &lp = highs.getLp();
  const int ncols = int(lp.num_col_), nrows = int(lp.num_row_);
  const HighsSparseMatrix &a = lp.a_matrix_;
  if (a.format_ != MatrixFormat::kColwise || first_elastic > ncols) return false;
  HighsSolution start;
  start.col_value.assign(size_t(ncols), 0.0);
  start.row_value.assign(size_t(nrows), 0.0);
  for (int j = 0; j < first_elastic; ++j) {
    const double v = std::min(std::max(x[j], lp.col_lower_[size_t(j)]), lp.col_upper_[size_t(j)]);
    start.col_value[size_t(j)] = v;
    for (HighsInt k = a.start_[size_t(j)]; k < a.start_[size_t(j) + 1]; ++k)
      start.row_value[size_t(a.index_[size_t(k)])] += a.value_[size_t(k)] * v;
  }
  for (int j = first_elastic; j < ncols; ++j) {
    if (a.start_[size_t(j) + 1] - a.start_[size_t(j)] != 1) return false;
    const HighsInt k = a.start_[size_t(j)];
    const int r = int(a.index_[size_t(k)]);
    const double c = a.value_[size_t(k)];
    double &act = start.row_value[size_t(r)];
    // The shortfall this column can close (it only moves the row one way).
    double need = 0.0;
    if (c > 0 && act < lp.row_lower_[size_t(r)]) need = (lp.row_lower_[size_t(r)] - act) / c;
    if (c < 0 && act > lp.row_upper_[size_t(r)]) need = (lp.row_upper_[size_t(r)] - act) / c;
    need = std::max(need, lp.col_lower_[size_t(j)]);
    start.col_value[size_t(j)] = need;
    act += c * need;
  }
  start.value_valid = true;

  // Without a basis of the same shape the solver's own start is better
  // than any made up here: one with every column by its bounds leaves the
  // whole interior to the null space, which the solver keeps dense.
  if (!basis_.valid || basis_.col_status.size() != size_t(ncols) || basis_.row_status.size() != size_t(nrows))
    return false;
  HighsBasis basis = basis_;
  if (!repair_singular(lp, basis)) return false;
  basis.valid = true;
  basis.alien = false;
  for (int j = 0; j < ncols; ++j)
    deactivate_if_loose(basis.col_status[size_t(j)], start.col_value[size_t(j)], lp.col_lower_[size_t(j)],
                        lp.col_upper_[size_t(j)]);
  for (int r = 0; r < nrows; ++r)
    deactivate_if_loose(basis.row_status[size_t(r)], start.row_value[size_t(r)], lp.row_lower_[size_t(r)],
                        lp.row_upper_[size_t(r)]);
  if (highs.setSolution(start) == HighsStatus::kError || highs.setBasis(basis) == HighsStatus::kError) return false;
  highs.setOptionValue("qp_allow_hot_start", true);
  return true;
}

// The QP solver's basis is a set of as many constraints as there are
// columns: the rows not marked basic and the bounds of the columns not
// marked basic. It is a basis when the rows in it, restricted to the
// basic columns, form a non-singular square matrix. The nonlinear rows'
// coefficients change between subproblems, so the last basis can lose
// rank (a column whose coefficients all vanished at the new point); the
// solver does not survive that. Each row without a pivot leaves the basis
// and the column without one joins it through its bounds.
bool QpWarmStart::repair_singular(const HighsLp &lp, HighsBasis &basis) {
  const HighsSparseMatrix &a = lp.a_matrix_;
  std::vector<int> row_pos(size_t(lp.num_row_), -1), rows_in;
  for (HighsInt r = 0; r < lp.num_row_; ++r)
    if (basis.row_status[size_t(r)] != HighsBasisStatus::kBasic) {
      row_pos[size_t(r)] = int(rows_in.size());
      rows_in.push_back(int(r));
    }
  std::vector<int> basic_cols;
  for (HighsInt j = 0; j < lp.num_col_; ++j)
    if (basis.col_status[size_t(j)] == HighsBasisStatus::kBasic) basic_cols.push_back(int(j));
  const HighsInt k = HighsInt(rows_in.size());
  if (HighsInt(basic_cols.size()) != k) return false;
  if (k == 0) return true;
  std::vector<HighsInt> start(1, 0), index;
  std::vector<double> value;
  for (int j : basic_cols) {
    for (HighsInt e = a.start_[size_t(j)]; e < a.start_[size_t(j) + 1]; ++e) {
      const int p = row_pos[size_t(a.index_[size_t(e)])];
      if (p < 0 || a.value_[size_t(e)] == 0.0) continue;
      index.push_back(p);
      value.push_back(a.value_[size_t(e)]);
    }
    start.push_back(HighsInt(index.size()));
  }
  std::vector<HighsInt> basic_index(static_cast<size_t>(k));
  for (HighsInt t = 0; t < k; ++t) basic_index[size_t(t)] = t;
  HFactor factor;
  factor.setup(k, k, start.data(), index.empty() ? nullptr : index.data(), value.empty() ? nullptr : value.data(),
               basic_index.data());
  if (factor.build() == 0) return true;
  if (factor.row_with_no_pivot.size() != size_t(factor.rank_deficiency) ||
      factor.var_with_no_pivot.size() != size_t(factor.rank_deficiency))
    return false;
  for (HighsInt t = 0; t < factor.rank_deficiency; ++t) {
    const HighsInt r = factor.row_with_no_pivot[size_t(t)], v = factor.var_with_no_pivot[size_t(t)];
    if (r < 0 || r >= k || v < 0 || v >= k) return false;
    basis.row_status[size_t(rows_in[size_t(r)])] = HighsBasisStatus::kBasic;
    basis.col_status[size_t(basic_cols[size_t(v)])] = HighsBasisStatus::kNonbasic;
  }
  return true;
}

bool QpWarmStart::solution_feasible(const Highs &highs, double tol) {
  const HighsLp &lp = highs.getLp();
  const HighsSolution &sol = highs.getSolution();
  const HighsSparseMatrix &a = lp.a_matrix_;
  if (!sol.value_valid || sol.col_value.size() != size_t(lp.num_col_) || a.format_ != MatrixFormat::kColwise) return false;
  auto outside = [&](double v, double lower, double upper) {
    return v < lower - tol * (1.0 + std::fabs(lower)) || v > upper + tol * (1.0 + std::fabs(upper));
  };
  std::vector<double> activity(size_t(lp.num_row_), 0.0);
  for (HighsInt j = 0; j < lp.num_col_; ++j) {
    const double v = sol.col_value[size_t(j)];
    if (outside(v, lp.col_lower_[size_t(j)], lp.col_upper_[size_t(j)])) return false;
    for (HighsInt k = a.start_[size_t(j)]; k < a.start_[size_t(j) + 1]; ++k)
      activity[size_t(a.index_[size_t(k)])] += a.value_[size_t(k)] * v;
  }
  for (HighsInt r = 0; r < lp.num_row_; ++r)
    if (outside(activity[size_t(r)], lp.row_lower_[size_t(r)], lp.row_upper_[size_t(r)])) return false;
  return true;
}

void QpWarmStart::remember(const Highs &highs) {
  const HighsBasis &b = highs.getBasis();
  if (b.valid)
    basis_ = b;
  else
    basis_.valid = false;
}

}  // namespace krvs::nlp
