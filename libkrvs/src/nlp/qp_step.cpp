// Convexified Lagrangian curvature for the quadratic subproblems.
//
// The shift follows the usual inertia-correcting pattern: try the exact
// Hessian; when its LDL' factorisation meets a pivot that is not clearly
// positive, add delta * I, starting from a third of the last shift that
// worked (or a small multiple of the diagonal's size) and growing it
// eightfold until the factorisation succeeds. Factorisations whose fill
// would be far larger than the Hessian fall back to a per-column shift that
// makes the matrix diagonally dominant (Gershgorin), which needs no
// factorisation.
#include "qp_step.h"

#include <Highs.h>

#include <algorithm>
#include <cmath>

namespace krvs::nlp {

QpCurvature::QpCurvature(int ncols, std::vector<LagrangianHessian::Row> rows,
                         const std::vector<QuadEntry> *objective_quad)
    : lag_(ncols, std::move(rows), objective_quad) {
  build_factor_structure();
}

void QpCurvature::build_factor_structure() {
  const int n = lag_.cols();
  const auto &start = lag_.start();
  const auto &index = lag_.index();
  pos_of_.assign(size_t(n), -1);
  std::vector<char> curved(size_t(n), 0);
  for (int j = 0; j < n; ++j)
    for (int k = start[size_t(j)]; k < start[size_t(j) + 1]; ++k) curved[size_t(j)] = curved[size_t(index[size_t(k)])] = 1;
  for (int j = 0; j < n; ++j)
    if (curved[size_t(j)]) {
      pos_of_[size_t(j)] = int(curved_.size());
      curved_.push_back(j);
    }
  const size_t m = curved_.size();
  diag_entry_.assign(m, -1);
  // Rows of the strict lower triangle: entry (i, j), i > j, is in row i.
  std::vector<int> count(m + 1, 0);
  for (int j = 0; j < n; ++j)
    for (int k = start[size_t(j)]; k < start[size_t(j) + 1]; ++k) {
      int i = index[size_t(k)];
      if (i == j)
        diag_entry_[size_t(pos_of_[size_t(j)])] = k;
      else
        ++count[size_t(pos_of_[size_t(i)]) + 1];
    }
  for (size_t p = 0; p < m; ++p) count[p + 1] += count[p];
  row_start_ = count;
  row_index_.resize(size_t(count[m]));
  row_entry_.resize(size_t(count[m]));
  std::vector<int> next(count.begin(), count.end() - 1);
  for (int j = 0; j < n; ++j)
    for (int k = start[size_t(j)]; k < start[size_t(j) + 1]; ++k) {
      int i = index[size_t(k)];
      if (i == j) continue;
      int slot = next[size_t(pos_of_[size_t(i)])]++;
      row_index_[size_t(slot)] = pos_of_[size_t(j)];
      row_entry_[size_t(slot)] = k;
    }
  // Symbolic factorisation: elimination tree and column counts of L.
  parent_.assign(m, -1);
  lnz_.assign(m, 0);
  flag_.assign(m, -1);
  for (size_t k = 0; k < m; ++k) {
    flag_[k] = int(k);
    for (int s = row_start_[k]; s < row_start_[k + 1]; ++s)
      for (int i = row_index_[size_t(s)]; flag_[size_t(i)] != int(k); i = parent_[size_t(i)]) {
        if (parent_[size_t(i)] == -1) parent_[size_t(i)] = int(k);
        ++lnz_[size_t(i)];
        flag_[size_t(i)] = int(k);
      }
  }
  lp_.assign(m + 1, 0);
  for (size_t k = 0; k < m; ++k) lp_[k + 1] = lp_[k] + lnz_[k];
  const double fill = double(lp_[m]);
  factor_too_dense_ = fill > 20.0 * double(lag_.nonzeros() + m) + 1e5;
  if (!factor_too_dense_) {
    li_.resize(size_t(lp_[m]));
    lx_.resize(size_t(lp_[m]));
  }
  d_.resize(m);
  y_.assign(m, 0.0);
  pattern_.resize(m);
}

// Numeric LDL' of the curved submatrix plus delta * I; true when every
// pivot is clearly positive.
bool QpCurvature::factorises(double delta) {
  const size_t m = curved_.size();
  double scale = 1.0;
  for (size_t k = 0; k < m; ++k)
    if (diag_entry_[k] >= 0) scale = std::max(scale, std::fabs(value_[size_t(diag_entry_[k])]));
  const double tiny = 1e-10 * scale;
  std::fill(flag_.begin(), flag_.end(), -1);
  for (size_t k = 0; k < m; ++k) {
    y_[k] = 0.0;
    int top = int(m);
    flag_[k] = int(k);
    lnz_[k] = 0;
    for (int s = row_start_[k]; s < row_start_[k + 1]; ++s) {
      int i = row_index_[size_t(s)];
      y_[size_t(i)] += value_[size_t(row_entry_[size_t(s)])];
      int len = 0;
      for (; flag_[size_t(i)] != int(k); i = parent_[size_t(i)]) {
        pattern_[size_t(len++)] = i;
        flag_[size_t(i)] = int(k);
      }
      while (len > 0) pattern_[size_t(--top)] = pattern_[size_t(--len)];
    }
    double dk = (diag_entry_[k] >= 0 ? value_[size_t(diag_entry_[k])] : 0.0) + delta;
    for (; top < int(m); ++top) {
      const int i = pattern_[size_t(top)];
      const double yi = y_[size_t(i)];
      y_[size_t(i)] = 0.0;
      const int p2 = lp_[size_t(i)] + lnz_[size_t(i)];
      for (int p = lp_[size_t(i)]; p < p2; ++p) y_[size_t(li_[size_t(p)])] -= lx_[size_t(p)] * yi;
      const double lki = yi / d_[size_t(i)];
      dk -= lki * yi;
      li_[size_t(p2)] = int(k);
      lx_[size_t(p2)] = lki;
      ++lnz_[size_t(i)];
    }
    if (!(dk > tiny)) {
      // Leave the work arrays clean for the next attempt.
      std::fill(y_.begin(), y_.end(), 0.0);
      return false;
    }
    d_[k] = dk;
  }
  return true;
}

void QpCurvature::gershgorin_shift() {
  const int n = lag_.cols();
  const auto &start = lag_.start();
  const auto &index = lag_.index();
  std::vector<double> off(size_t(n), 0.0), diag(size_t(n), 0.0);
  for (int j = 0; j < n; ++j)
    for (int k = start[size_t(j)]; k < start[size_t(j) + 1]; ++k) {
      int i = index[size_t(k)];
      if (i == j) {
        diag[size_t(j)] = value_[size_t(k)];
      } else {
        off[size_t(i)] += std::fabs(value_[size_t(k)]);
        off[size_t(j)] += std::fabs(value_[size_t(k)]);
      }
    }
  shift_ = 0.0;
  for (int j : curved_) {
    double s = std::max(0.0, off[size_t(j)] - diag[size_t(j)]) + 1e-8 * std::max(1.0, std::fabs(diag[size_t(j)]));
    diag_shift_[size_t(j)] = s;
    shift_ = std::max(shift_, s);
  }
}

bool QpCurvature::update(const double *x, const double *row_weight, double sigma, UserFunctionCaller *users,
                         std::string *error) {
  ready_ = false;
  try {
    lag_.values(x, row_weight, sigma, users, value_);
  } catch (const EvalError &e) {
    if (error) *error = e.what();
    return false;
  }
  diag_shift_.assign(size_t(lag_.cols()), 0.0);
  shift_ = 0.0;
  if (curved_.empty()) {
    ready_ = true;
    return true;
  }
  if (factor_too_dense_) {
    gershgorin_shift();
    ready_ = true;
    return true;
  }
  double scale = 1.0;
  for (size_t k = 0; k < curved_.size(); ++k)
    if (diag_entry_[k] >= 0) scale = std::max(scale, std::fabs(value_[size_t(diag_entry_[k])]));
  scale_ = scale;
  double delta = 0.0;
  bool ok = factorises(0.0);
  if (!ok) {
    // Not too small a shift: nearly flat curvature on a degenerate
    // subproblem makes the QP solver cycle.
    delta = last_shift_ > 0 ? std::max(last_shift_ / 3.0, 1e-3 * scale) : 1e-2 * scale;
    for (int attempt = 0; attempt < 60 && !(ok = factorises(delta)); ++attempt) delta *= 8.0;
  }
  if (!ok) {
    gershgorin_shift();
  } else {
    shift_ = delta;
    for (int j : curved_) diag_shift_[size_t(j)] = delta;
    last_shift_ = delta;
  }
  ready_ = true;
  return true;
}

void QpCurvature::strengthen() {
  const double delta = std::max(10.0 * shift_, scale_);
  for (int j : curved_) diag_shift_[size_t(j)] = std::max(diag_shift_[size_t(j)], delta);
  shift_ = delta;
}

void QpCurvature::multiply(const std::vector<double> &v, std::vector<double> &out) const {
  const int n = lag_.cols();
  const auto &start = lag_.start();
  const auto &index = lag_.index();
  out.assign(size_t(n), 0.0);
  for (int j = 0; j < n; ++j) {
    out[size_t(j)] += diag_shift_[size_t(j)] * v[size_t(j)];
    for (int k = start[size_t(j)]; k < start[size_t(j) + 1]; ++k) {
      const int i = index[size_t(k)];
      out[size_t(i)] += value_[size_t(k)] * v[size_t(j)];
      if (i != j) out[size_t(j)] += value_[size_t(k)] * v[size_t(i)];
    }
  }
}

void QpCurvature::fill(HighsModel &model, int total_cols, const std::vector<double> &x,
                       std::vector<double> &cost) const {
  const int n = lag_.cols();
  const auto &start = lag_.start();
  const auto &index = lag_.index();
  HighsHessian &hs = model.hessian_;
  hs.dim_ = total_cols;
  hs.format_ = HessianFormat::kTriangular;
  hs.start_.assign(size_t(total_cols) + 1, 0);
  hs.index_.clear();
  hs.value_.clear();
  hs.index_.reserve(lag_.nonzeros() + curved_.size());
  hs.value_.reserve(lag_.nonzeros() + curved_.size());
  for (int j = 0; j < total_cols; ++j) {
    hs.start_[size_t(j)] = int(hs.index_.size());
    if (j >= n) continue;
    int k = start[size_t(j)];
    const int end = start[size_t(j) + 1];
    const double s = diag_shift_[size_t(j)];
    if (k < end && index[size_t(k)] == j) {
      hs.index_.push_back(j);
      hs.value_.push_back(value_[size_t(k)] + s);
      ++k;
    } else if (s != 0.0) {
      hs.index_.push_back(j);
      hs.value_.push_back(s);
    }
    for (; k < end; ++k) {
      if (value_[size_t(k)] == 0.0) continue;
      hs.index_.push_back(index[size_t(k)]);
      hs.value_.push_back(value_[size_t(k)]);
    }
  }
  hs.start_[size_t(total_cols)] = int(hs.index_.size());
  std::vector<double> xm(x.begin(), x.begin() + n), hx;
  multiply(xm, hx);
  for (int j = 0; j < n; ++j) cost[size_t(j)] -= hx[size_t(j)];
}

double QpCurvature::quadratic_form(const std::vector<double> &d) const {
  std::vector<double> hd;
  multiply(d, hd);
  double s = 0.0;
  for (size_t j = 0; j < hd.size(); ++j) s += d[j] * hd[j];
  return s;
}

}  // namespace krvs::nlp
