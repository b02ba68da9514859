// Solves with the basis matrix, the basis order and the ratio test of a
// pivot, on the stored basis of the last LP solve (or a basis read or
// loaded since).
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "analysis/presolve.h"
#include "Highs.h"
#include "api/model_checks.h"
#include "solve/basis_solver.h"
#include "solve/solve_state.h"
#include "solve/stored_basis.h"

using namespace krvs;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double finite_or_inf(double v) { return v >= KRVS_INFINITY ? kInf : v <= -KRVS_INFINITY ? -kInf : v; }

// Bounds of row i's slack rhs - activity.
void slack_bounds(const Model &m, int i, double &lower, double &upper) {
  switch (m.rowtype[size_t(i)]) {
    case 'L': lower = 0.0; upper = kInf; break;
    case 'G': lower = -kInf; upper = 0.0; break;
    case 'E': lower = upper = 0.0; break;
    case 'R': lower = 0.0; upper = m.range[size_t(i)]; break;
    default: lower = -kInf; upper = kInf; break;
  }
}

}  // namespace

extern "C" {

int KRVSftran(KRVSprob prob, double vec[]) noexcept {
  return guard_problem(prob, [&] {
    if (analysis::on_presolved(prob, [&](KRVSprob h) { return KRVSftran(h, vec); })) return;
    BasisSolver solver(prob, "KRVSftran");
    check_array("KRVSftran", vec, solver.rows(), "vec");
    solver.ftran(vec, vec);
  });
}

int KRVSbtran(KRVSprob prob, double vec[]) noexcept {
  return guard_problem(prob, [&] {
    if (analysis::on_presolved(prob, [&](KRVSprob h) { return KRVSbtran(h, vec); })) return;
    BasisSolver solver(prob, "KRVSbtran");
    check_array("KRVSbtran", vec, solver.rows(), "vec");
    solver.btran(vec, vec);
  });
}

int KRVSgetpivotorder(KRVSprob prob, int pivotorder[]) noexcept {
  return guard_problem(prob, [&] {
    analysis::refuse_while_presolved(prob, "KRVSgetpivotorder");
    BasisSolver solver(prob, "KRVSgetpivotorder");
    check_array("KRVSgetpivotorder", pivotorder, solver.rows(), "pivotorder");
    std::vector<int> basic = solver.basic_variables();
    std::copy(basic.begin(), basic.end(), pivotorder);
  });
}

int KRVSgetpivots(KRVSprob prob, int enter, int outlist[], double x[], double *objval, int *npiv,
                  int maxpiv) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetpivots";
    analysis::refuse_while_presolved(prob, fn);
    const Model &m = model_of(prob);
    const int rows = m.rows(), cols = m.cols();
    check_index(fn, enter, int64_t(rows) + cols, "variable (combined row and column)");
    if (maxpiv < 0) fail(fn, "negative maximum number of pivots");
    if (maxpiv > 0 && !outlist) fail(fn, "null array outlist");
    const SolveState &state = *prob->solve;
    const StoredBasis &basis = current_basis(fn, prob);
    if (!state.lp.valid || state.lp.x.size() != size_t(cols) || state.lp.slack.size() != size_t(rows))
      fail(fn, "no LP solution that fits the model is available");
    const bool is_row = enter < rows;
    const int q = is_row ? enter : enter - rows;
    const int8_t enter_status = is_row ? basis.row_status[size_t(q)] : basis.col_status[size_t(q)];
    if (enter_status == int8_t(HighsBasisStatus::kBasic)) fail(fn, "the entering variable is basic already");

    BasisSolver solver(prob, fn);
    // Values and bounds of every variable, slacks first.
    std::vector<double> value(size_t(rows) + size_t(cols)), lower(value.size()), upper(value.size());
    for (int i = 0; i < rows; ++i) {
      value[size_t(i)] = state.lp.slack[size_t(i)];
      slack_bounds(m, i, lower[size_t(i)], upper[size_t(i)]);
    }
    for (int j = 0; j < cols; ++j) {
      value[size_t(rows + j)] = state.lp.x[size_t(j)];
      lower[size_t(rows + j)] = finite_or_inf(m.lb[size_t(j)]);
      upper[size_t(rows + j)] = finite_or_inf(m.ub[size_t(j)]);
    }
    // The entering variable's column of [I A] and its reduced cost.
    std::vector<double> column(size_t(rows), 0.0);
    double dj = 0.0;
    const bool have_duals = state.lp.duals.size() == size_t(rows) && state.lp.djs.size() == size_t(cols);
    if (is_row) {
      column[size_t(q)] = 1.0;
      if (have_duals) dj = -state.lp.duals[size_t(q)];
    } else {
      const CompressedMatrix &by_cols = m.by_cols();
      for (int64_t p = by_cols.start[size_t(q)]; p < by_cols.start[size_t(q) + 1]; ++p)
        column[size_t(by_cols.index[size_t(p)])] = by_cols.value[size_t(p)];
      if (have_duals) dj = state.lp.djs[size_t(q)];
    }
    solver.ftran(column.data(), column.data());
    // At a lower bound the entering variable moves up, at an upper one down;
    // a free one moves the way that improves the objective.
    const int code = is_row ? row_status_code(m, q, enter_status) : column_status_code(enter_status);
    const double dir = code == 2 ? -1.0 : code == 3 ? (dj * m.obj_sense < 0 ? 1.0 : -1.0) : 1.0;
    const std::vector<int> basic = solver.basic_variables();
    const double eps = 1e-12;
    std::vector<double> limit(size_t(rows), kInf);
    double theta = upper[size_t(enter)] - lower[size_t(enter)];
    for (int k = 0; k < rows; ++k) {
      const int v = basic[size_t(k)];
      const double delta = -dir * column[size_t(k)];
      if (delta < -eps && lower[size_t(v)] > -kInf) limit[size_t(k)] = std::max(0.0, (value[size_t(v)] - lower[size_t(v)]) / -delta);
      else if (delta > eps && upper[size_t(v)] < kInf) limit[size_t(k)] = std::max(0.0, (upper[size_t(v)] - value[size_t(v)]) / delta);
      theta = std::min(theta, limit[size_t(k)]);
    }
    int found = 0;
    if (theta < kInf) {
      const double tie = theta * (1.0 + 1e-9) + 1e-12;
      for (int k = 0; k < rows && found < maxpiv; ++k)
        if (limit[size_t(k)] <= tie) outlist[found++] = basic[size_t(k)];
      if (found < maxpiv && upper[size_t(enter)] - lower[size_t(enter)] <= tie) outlist[found++] = enter;
      for (int k = 0; k < rows; ++k) value[size_t(basic[size_t(k)])] -= dir * theta * column[size_t(k)];
      value[size_t(enter)] += dir * theta;
    }
    if (npiv) *npiv = found;
    if (objval) *objval = state.lp_objective + (theta < kInf ? dir * theta * dj : 0.0);
    if (x) std::copy(value.begin(), value.end(), x);
  });
}

}  // extern "C"
