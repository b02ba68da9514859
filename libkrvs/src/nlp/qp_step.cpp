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

namespace krvs::nlp {

// The KKT system of an equality-constrained QP, regularised into a
// quasi-definite matrix
//     [ H + delta I    A' ]
//     [ A        -eps I  ]
// which has an LDL' factorisation in any order (positive pivots for the
// columns, negative for the rows), solved up-looking over the elimination
// tree. Columns first, rows after: the rows' block fills only where rows
// share columns.
bool solve_equality_qp(const HighsModel &model, int n, std::vector<double> &x, std::vector<double> &y) {
  const HighsLp &lp = model.lp_;
  const HighsHessian &hs = model.hessian_;
  const int m = int(lp.num_row_), N = n + m;
  const double delta = 1e-9, eps = 1e-9;
  // Strict upper triangle by columns of K (row index < column index).
  std::vector<std::vector<std::pair<int, double>>> upper(static_cast<size_t>(N));
  std::vector<double> diag(size_t(N), 0.0);
  for (int j = 0; j < n; ++j) {
    diag[size_t(j)] = delta;
    if (hs.dim_ > j)
      for (HighsInt k = hs.start_[size_t(j)]; k < hs.start_[size_t(j) + 1]; ++k) {
        const int i = int(hs.index_[size_t(k)]);
        if (i == j)
          diag[size_t(j)] += hs.value_[size_t(k)];
        else if (i < n)
          upper[size_t(i)].emplace_back(j, hs.value_[size_t(k)]);  // K(j, i) with j < i
      }
    for (HighsInt k = lp.a_matrix_.start_[size_t(j)]; k < lp.a_matrix_.start_[size_t(j) + 1]; ++k)
      upper[size_t(n + lp.a_matrix_.index_[size_t(k)])].emplace_back(j, lp.a_matrix_.value_[size_t(k)]);
  }
  for (int r = 0; r < m; ++r) diag[size_t(n + r)] = -eps;
  // Symbolic: elimination tree and counts.
  std::vector<int> parent(size_t(N), -1), lnz(size_t(N), 0), flag(size_t(N), -1);
  for (int k = 0; k < N; ++k) {
    flag[size_t(k)] = k;
    for (const auto &[i0, v] : upper[size_t(k)]) {
      (void)v;
      for (int i = i0; flag[size_t(i)] != k; i = parent[size_t(i)]) {
        if (parent[size_t(i)] == -1) parent[size_t(i)] = k;
        ++lnz[size_t(i)];
        flag[size_t(i)] = k;
      }
    }
  }
  std::vector<long long> lp_start(size_t(N) + 1, 0);
  for (int k = 0; k < N; ++k) lp_start[size_t(k) + 1] = lp_start[size_t(k)] + lnz[size_t(k)];
  if (lp_start[size_t(N)] > 50LL * (N + 1) + 1000000LL) return false;  // too much fill for this order
  std::vector<int> li(size_t(lp_start[size_t(N)]));
  std::vector<double> lx(size_t(lp_start[size_t(N)])), d(static_cast<size_t>(N)), work(size_t(N), 0.0);
  std::vector<int> pattern(static_cast<size_t>(N));
  std::fill(flag.begin(), flag.end(), -1);
  std::fill(lnz.begin(), lnz.end(), 0);
  for (int k = 0; k < N; ++k) {
    int top = N;
    flag[size_t(k)] = k;
    for (const auto &[i0, v] : upper[size_t(k)]) {
      work[size_t(i0)] += v;
      int len = 0;
      for (int i = i0; flag[size_t(i)] != k; i = parent[size_t(i)]) {
        pattern[size_t(len++)] = i;
        flag[size_t(i)] = k;
      }
      while (len > 0) pattern[size_t(--top)] = pattern[size_t(--len)];
    }
    double dk = diag[size_t(k)];
    for (; top < N; ++top) {
      const int i = pattern[size_t(top)];
      const double yi = work[size_t(i)];
      work[size_t(i)] = 0.0;
      const long long p2 = lp_start[size_t(i)] + lnz[size_t(i)];
      for (long long p = lp_start[size_t(i)]; p < p2; ++p) work[size_t(li[size_t(p)])] -= lx[size_t(p)] * yi;
      const double lki = yi / d[size_t(i)];
      dk -= lki * yi;
      li[size_t(p2)] = k;
      lx[size_t(p2)] = lki;
      ++lnz[size_t(i)];
    }
    // Quasi-definite: columns keep positive pivots, rows negative ones.
    if (!std::isfinite(dk) || (k < n ? !(dk > 0) : !(dk < 0))) return false;
    d[size_t(k)] = dk;
  }
  auto solve = [&](std::vector<double> &v) {
    for (int k = 0; k < N; ++k)
      for (long long p = lp_start[size_t(k)]; p < lp_start[size_t(k)] + lnz[size_t(k)]; ++p)
        v[size_t(li[size_t(p)])] -= lx[size_t(p)] * v[size_t(k)];
    for (int k = 0; k < N; ++k) v[size_t(k)] /= d[size_t(k)];
    for (int k = N - 1; k >= 0; --k)
      for (long long p = lp_start[size_t(k)]; p < lp_start[size_t(k)] + lnz[size_t(k)]; ++p)
        v[size_t(k)] -= lx[size_t(p)] * v[size_t(li[size_t(p)])];
  };
  // Right-hand side [-c; b]; unknowns [x; -y].
  std::vector<double> rhs(static_cast<size_t>(N));
  for (int j = 0; j < n; ++j) rhs[size_t(j)] = -lp.col_cost_[size_t(j)];
  for (int r = 0; r < m; ++r) rhs[size_t(n + r)] = lp.row_lower_[size_t(r)];
  double scale = 1.0;
  for (double v : rhs) scale = std::max(scale, std::fabs(v));
  std::vector<double> z = rhs, res(static_cast<size_t>(N));
  solve(z);
  // Iterative refinement against the system without regularisation, so
  // that the rows hold to rounding.
  for (int round = 0; round < 4; ++round) {
    res = rhs;
    double worst = 0.0;
    for (int k = 0; k < N; ++k) {
      res[size_t(k)] -= (k < n ? diag[size_t(k)] - delta : 0.0) * z[size_t(k)];
      for (const auto &[i, v] : upper[size_t(k)]) {
        res[size_t(k)] -= v * z[size_t(i)];
        res[size_t(i)] -= v * z[size_t(k)];
      }
    }
    for (double v : res) worst = std::max(worst, std::fabs(v));
    if (!std::isfinite(worst)) return false;
    if (worst <= 1e-13 * scale) break;
    solve(res);
    for (int k = 0; k < N; ++k) z[size_t(k)] += res[size_t(k)];
    if (round == 3 && !(worst <= 1e-7 * scale)) return false;
  }
  x.assign(z.begin(), z.begin() + n);
  y.resize(size_t(m));
  for (int r = 0; r < m; ++r) y[size_t(r)] = -z[size_t(n + r)];
  return true;
}

}  // namespace krvs::nlp
