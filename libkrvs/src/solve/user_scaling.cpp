#include "solve/user_scaling.h"

#include <cmath>

namespace krvs {

UserScaling apply_user_scaling(const Model &m, HighsModel &model) {
  UserScaling s;
  if (m.row_scale_exp.empty() && m.col_scale_exp.empty()) return s;
  HighsLp &lp = model.lp_;
  const size_t nrows = size_t(lp.num_row_), ncols = size_t(lp.num_col_);
  s.row.assign(nrows, 1.0);
  s.col.assign(ncols, 1.0);
  for (size_t i = 0; i < m.row_scale_exp.size() && i < nrows; ++i) s.row[i] = std::ldexp(1.0, m.row_scale_exp[i]);
  for (size_t j = 0; j < m.col_scale_exp.size() && j < ncols; ++j) {
    // An integer column solved in other units would no longer be integer.
    const bool continuous = lp.integrality_.empty() || lp.integrality_[j] == HighsVarType::kContinuous;
    if (continuous) s.col[j] = std::ldexp(1.0, m.col_scale_exp[j]);
  }
  s.active = true;

  lp.a_matrix_.ensureColwise();
  HighsSparseMatrix &a = lp.a_matrix_;
  for (size_t j = 0; j < ncols; ++j)
    for (HighsInt k = a.start_[j]; k < a.start_[j + 1]; ++k) a.value_[size_t(k)] *= s.row[size_t(a.index_[size_t(k)])] * s.col[j];
  for (size_t j = 0; j < ncols; ++j) {
    lp.col_cost_[j] *= s.col[j];
    lp.col_lower_[j] /= s.col[j];  // infinite bounds stay infinite
    lp.col_upper_[j] /= s.col[j];
  }
  for (size_t i = 0; i < nrows; ++i) {
    lp.row_lower_[i] *= s.row[i];
    lp.row_upper_[i] *= s.row[i];
  }
  HighsHessian &h = model.hessian_;
  for (HighsInt j = 0; j < h.dim_ && size_t(j) < ncols; ++j)
    for (HighsInt k = h.start_[size_t(j)]; k < h.start_[size_t(j) + 1]; ++k)
      h.value_[size_t(k)] *= s.col[size_t(j)] * s.col[size_t(h.index_[size_t(k)])];
  return s;
}

namespace {

void multiply(std::vector<double> &v, const std::vector<double> &f, bool divide) {
  for (size_t k = 0; k < v.size() && k < f.size(); ++k) v[k] = divide ? v[k] / f[k] : v[k] * f[k];
}

}  // namespace

void unscale_solution(const UserScaling &s, HighsSolution &sol) {
  if (!s.active) return;
  multiply(sol.col_value, s.col, false);
  multiply(sol.row_value, s.row, true);
  multiply(sol.row_dual, s.row, false);
  multiply(sol.col_dual, s.col, true);
}

void scale_solution(const UserScaling &s, HighsSolution &sol) {
  if (!s.active) return;
  multiply(sol.col_value, s.col, true);
  multiply(sol.row_value, s.row, false);
  multiply(sol.row_dual, s.row, true);
  multiply(sol.col_dual, s.col, false);
}

}  // namespace krvs
