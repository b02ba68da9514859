// A condition estimate of the basis matrix of the last LP solve: the norm of
// B from its columns and the norm of its inverse, exact for small bases and
// otherwise by Hager's estimator, which needs only a few solves with B and
// its transpose (HiGHS's factorisation).
#include <algorithm>
#include <cmath>
#include <vector>

#include "analysis/lp_session.h"
#include "api/model_checks.h"
#include "solve/solve_state.h"

using namespace krvs;
using namespace krvs::analysis;

namespace {

// Solves with B (or B') on the session's factorisation, with the column
// scaling D applied: (BD)^-1 v = D^-1 B^-1 v and (BD)^-T v = B^-T D^-1 v.
class ScaledSolver {
 public:
  ScaledSolver(Highs &highs, std::vector<double> scale) : highs_(highs), scale_(std::move(scale)) {}
  std::vector<double> solve(const std::vector<double> &v, bool transpose) {
    const size_t n = v.size();
    std::vector<double> in = v, out(n, 0.0);
    if (transpose)
      for (size_t k = 0; k < n; ++k) in[k] /= scale_[k];
    HighsStatus s = transpose ? highs_.getBasisTransposeSolve(in.data(), out.data())
                              : highs_.getBasisSolve(in.data(), out.data());
    if (s != HighsStatus::kOk) throw Error("KRVSbasisstability: the solver could not solve with the basis matrix");
    if (!transpose)
      for (size_t k = 0; k < n; ++k) out[k] /= scale_[k];
    return out;
  }

 private:
  Highs &highs_;
  std::vector<double> scale_;
};

// Bases up to this size have the norm of their inverse computed exactly,
// one solve per unit vector.
constexpr size_t kExactInverseNorm = 200;

// The 1-norm of M^-1 (the infinity norm: of M^-T): exactly for small bases,
// else Hager's estimate, never below Higham's alternating test vector.
double inverse_norm_estimate(ScaledSolver &solver, size_t n, bool one_norm) {
  if (n <= kExactInverseNorm) {
    double largest = 0.0;
    std::vector<double> unit(n, 0.0);
    for (size_t k = 0; k < n; ++k) {
      unit[k] = 1.0;
      const std::vector<double> column = solver.solve(unit, !one_norm);
      unit[k] = 0.0;
      double sum = 0.0;
      for (double v : column) sum += std::fabs(v);
      largest = std::max(largest, sum);
    }
    return largest;
  }
  std::vector<double> alternating(n);
  for (size_t k = 0; k < n; ++k)
    alternating[k] = (k % 2 == 0 ? 1.0 : -1.0) * (1.0 + double(k) / double(n - 1));
  double higham = 0.0;
  for (double v : solver.solve(alternating, !one_norm)) higham += std::fabs(v);
  higham = 2.0 * higham / (3.0 * double(n));
  std::vector<double> x(n, 1.0 / double(n));
  double estimate = 0.0;
  for (int iteration = 0; iteration < 5; ++iteration) {
    const std::vector<double> y = solver.solve(x, !one_norm);
    double norm = 0.0;
    for (double v : y) norm += std::fabs(v);
    if (iteration > 0 && norm <= estimate) break;
    estimate = norm;
    std::vector<double> sign(n);
    for (size_t k = 0; k < n; ++k) sign[k] = y[k] >= 0 ? 1.0 : -1.0;
    const std::vector<double> z = solver.solve(sign, one_norm);
    size_t best = 0;
    double zx = 0.0;
    for (size_t k = 0; k < n; ++k) {
      zx += z[k] * x[k];
      if (std::fabs(z[k]) > std::fabs(z[best])) best = k;
    }
    if (std::fabs(z[best]) <= zx) break;
    std::fill(x.begin(), x.end(), 0.0);
    x[best] = 1.0;
  }
  return std::max(estimate, higham);
}

}  // namespace

extern "C" {

int KRVSbasisstability(KRVSprob prob, int type, int norm, int scaled, double *value) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSbasisstability";
    if (!value) fail(fn, "null output");
    if (type < 0 || type > 2)
      fail(fn, "invalid type " + std::to_string(type) +
                   " (0 condition estimate, 1 norm of the inverse, 2 norm of the basis matrix)");
    if (norm != 0 && norm != 1)
      fail(fn, "invalid norm " + std::to_string(norm) + " (1 the 1-norm, 0 the infinity norm)");
    if (scaled != 0 && scaled != 1) fail(fn, "invalid scaled flag " + std::to_string(scaled) + " (0 or 1)");
    const Model &m = *prob->model;
    const StoredBasis &stored = prob->solve->basis;
    if (!stored.valid || stored.structure_version != m.structure_version)
      fail(fn, "no basis is available; solve the LP first");
    if (m.rows() == 0) {
      *value = 0.0;
      return;
    }
    LpSession session(prob);
    if (!session.warm_start(prob)) fail(fn, "the basis of the last solve does not fit the model");
    Highs &highs = session.highs();
    const size_t n = size_t(highs.getLp().num_row_);
    std::vector<HighsInt> basic(n);
    if (highs.getBasicVariables(basic.data()) != HighsStatus::kOk)
      fail(fn, "the basis of the last solve is singular");
    // Columns of B, their scales, and the norm of B D.
    const CompressedMatrix &a = m.by_cols();
    std::vector<double> scale(n, 1.0), row_sums(n, 0.0);
    double col_norm = 0.0;
    for (size_t k = 0; k < n; ++k) {
      std::vector<std::pair<int, double>> column;
      if (basic[k] >= 0) {
        const int j = basic[k];
        for (int64_t p = a.start[size_t(j)]; p < a.start[size_t(j) + 1]; ++p)
          column.push_back({a.index[size_t(p)], a.value[size_t(p)]});
      } else {
        column.push_back({int(-basic[k] - 1), 1.0});
      }
      double largest = 0.0, sum = 0.0;
      for (const auto &entry : column) largest = std::max(largest, std::fabs(entry.second));
      if (scaled && largest > 0) scale[k] = 1.0 / largest;
      for (const auto &entry : column) {
        const double v = std::fabs(entry.second) * scale[k];
        sum += v;
        row_sums[size_t(entry.first)] += v;
      }
      col_norm = std::max(col_norm, sum);
    }
    const double basis_norm = norm == 1 ? col_norm : *std::max_element(row_sums.begin(), row_sums.end());
    if (type == 2) {
      *value = basis_norm;
      return;
    }
    ScaledSolver solver(highs, scale);
    const double inverse_norm = inverse_norm_estimate(solver, n, norm == 1);
    *value = type == 1 ? inverse_norm : basis_norm * inverse_norm;
  });
}

}  // extern "C"
