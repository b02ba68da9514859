// Sensitivity ranges, row dual ranges, basis condition estimates and strong
// branching, all on the simplex basis of the last LP solve. Each function
// re-solves the model from that basis in a HiGHS instance of its own (no
// iterations when the basis is still optimal) and asks HiGHS for what it
// needs; the problem's solve results stay as they are.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "analysis/lp_session.h"
#include "api/model_checks.h"
#include "lp_data/HighsRanging.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"

using namespace krvs;
using namespace krvs::analysis;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

void check_indices(const char *fn, int n, const int *index, int count, const char *kind) {
  check_count(fn, n, (std::string(kind) + "s").c_str());
  check_array(fn, index, n, "of indices");
  for (int k = 0; k < n; ++k) check_index(fn, index[k], count, kind);
}

// The optimal basis of the last LP solve, restored in a session of its own.
class OptimalBasis {
 public:
  OptimalBasis(KRVSprob prob, const char *fn) : session_(prob) {
    session_.warm_start(prob);
    if (session_.run(fn) != HighsModelStatus::kOptimal)
      throw Error(std::string(fn) + ": the model has no optimal basis any more; solve it again");
  }
  Highs &highs() { return session_.highs(); }
  HighsRanging ranging(const char *fn) {
    HighsRanging r;
    if (highs().getRanging(r) != HighsStatus::kOk || !r.valid)
      throw Error(std::string(fn) + ": the solver could not compute ranges for this basis");
    return r;
  }

 private:
  LpSession session_;
};

}  // namespace

extern "C" {

int KRVSobjsa(KRVSprob prob, int ncols, const int colind[], double lower[], double upper[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSobjsa";
    check_indices(fn, ncols, colind, prob->model->cols(), "column");
    require_optimal_lp(prob, fn);
    OptimalBasis basis(prob, fn);
    const HighsRanging r = basis.ranging(fn);
    for (int k = 0; k < ncols; ++k) {
      const size_t j = size_t(colind[k]);
      if (lower) lower[k] = engine_value(r.col_cost_dn.value_[j]);
      if (upper) upper[k] = engine_value(r.col_cost_up.value_[j]);
    }
  });
}

int KRVSrhssa(KRVSprob prob, int nrows, const int rowind[], double lower[], double upper[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSrhssa";
    const Model &m = *prob->model;
    check_indices(fn, nrows, rowind, m.rows(), "row");
    require_optimal_lp(prob, fn);
    OptimalBasis basis(prob, fn);
    const HighsRanging r = basis.ranging(fn);
    const HighsBasis &b = basis.highs().getBasis();
    const std::vector<double> &activity = basis.highs().getSolution().row_value;
    for (int k = 0; k < nrows; ++k) {
      const size_t i = size_t(rowind[k]);
      const char type = m.rowtype[i];
      const double range = type == 'R' ? std::fabs(m.range[i]) : 0.0;
      double lo, hi;
      if (type == 'N') {
        lo = -kInf;
        hi = kInf;
      } else if (b.row_status[i] == HighsBasisStatus::kBasic) {
        // A row that is not binding: the right-hand side may move up to the
        // row's activity from its slack side.
        const double a = activity[i];
        if (type == 'L') lo = a, hi = kInf;
        else if (type == 'G') lo = -kInf, hi = a;
        else if (type == 'R') lo = a, hi = a + range;
        else lo = hi = m.rhs[i];
      } else {
        // Binding: the active side moves over HiGHS's range; a range row at
        // its lower side carries the right-hand side `range` above it.
        const double shift = type == 'R' && b.row_status[i] == HighsBasisStatus::kLower ? range : 0.0;
        lo = r.row_bound_dn.value_[i] + shift;
        hi = r.row_bound_up.value_[i] + shift;
      }
      if (lower) lower[k] = engine_value(lo);
      if (upper) upper[k] = engine_value(hi);
    }
  });
}

int KRVSbndsa(KRVSprob prob, int ncols, const int colind[], double lblower[], double lbupper[], double ublower[],
              double ubupper[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSbndsa";
    const Model &m = *prob->model;
    check_indices(fn, ncols, colind, m.cols(), "column");
    require_optimal_lp(prob, fn);
    OptimalBasis basis(prob, fn);
    const HighsRanging r = basis.ranging(fn);
    const HighsBasis &b = basis.highs().getBasis();
    const std::vector<double> &x = basis.highs().getSolution().col_value;
    for (int k = 0; k < ncols; ++k) {
      const size_t j = size_t(colind[k]);
      // The range of each bound over which the basis stays optimal: the
      // active bound moves over HiGHS's range of the column's value (and not
      // past the other bound); an inactive bound may move up to the value.
      double lb_lo = -kInf, lb_hi = x[j], ub_lo = x[j], ub_hi = kInf;
      if (b.col_status[j] == HighsBasisStatus::kLower) {
        lb_lo = r.col_bound_dn.value_[j];
        lb_hi = std::min(r.col_bound_up.value_[j], m.ub[j] >= KRVS_INFINITY ? kInf : m.ub[j]);
      } else if (b.col_status[j] == HighsBasisStatus::kUpper) {
        ub_lo = std::max(r.col_bound_dn.value_[j], m.lb[j] <= -KRVS_INFINITY ? -kInf : m.lb[j]);
        ub_hi = r.col_bound_up.value_[j];
      }
      if (lblower) lblower[k] = engine_value(lb_lo);
      if (lbupper) lbupper[k] = engine_value(lb_hi);
      if (ublower) ublower[k] = engine_value(ub_lo);
      if (ubupper) ubupper[k] = engine_value(ub_hi);
    }
  });
}

int KRVSestimaterowdualranges(KRVSprob prob, int nrows, const int rowind[], int iterlim, double mindual[],
                              double maxdual[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSestimaterowdualranges";
    const Model &m = *prob->model;
    check_indices(fn, nrows, rowind, m.rows(), "row");
    if (iterlim < 0) fail(fn, "negative iteration limit (" + std::to_string(iterlim) + ")");
    require_optimal_lp(prob, fn);
    OptimalBasis basis(prob, fn);
    Highs &highs = basis.highs();
    // A tight feasibility tolerance, so that the small moves of the right-hand
    // side below are not absorbed by it.
    highs.setOptionValue("primal_feasibility_tolerance", 1e-9);
    const HighsBasis optimal = highs.getBasis();
    const std::vector<double> duals = highs.getSolution().row_dual;
    const bool minimise = m.obj_sense >= 0;
    highs.setOptionValue("simplex_iteration_limit", HighsInt(iterlim));
    for (int k = 0; k < nrows; ++k) {
      const int i = rowind[k];
      double lower, upper;
      row_bounds(m, i, lower, upper);
      // The duals just below and just above the right-hand side are the
      // one-sided slopes of the optimal value; with a unique dual both equal
      // the row's dual.
      double slope[2];
      const double step = 1e-6 * std::max(1.0, std::fabs(m.rhs[size_t(i)]));
      for (int side = 0; side < 2; ++side) {
        const double move = side == 0 ? -step : step;
        if (m.rowtype[size_t(i)] == 'N') {
          slope[side] = 0.0;
          continue;
        }
        highs.changeRowBounds(i, std::isfinite(lower) ? lower + move : lower,
                              std::isfinite(upper) ? upper + move : upper);
        highs.setBasis(optimal);
        const HighsModelStatus status = basis.highs().run() == HighsStatus::kError
                                            ? HighsModelStatus::kSolveError
                                            : highs.getModelStatus();
        if (status == HighsModelStatus::kInfeasible)
          // The value jumps to infinity on this side.
          slope[side] = (side == 0) == minimise ? -kInf : kInf;
        else if (status == HighsModelStatus::kOptimal || status == HighsModelStatus::kIterationLimit)
          slope[side] = highs.getSolution().dual_valid ? highs.getSolution().row_dual[size_t(i)] : duals[size_t(i)];
        else
          slope[side] = duals[size_t(i)];
        highs.changeRowBounds(i, lower, upper);
      }
      if (mindual) mindual[k] = engine_value(std::min(slope[0], slope[1]));
      if (maxdual) maxdual[k] = engine_value(std::max(slope[0], slope[1]));
    }
  });
}

// Strong branching, with a function called after each re-solve (branch
// index; a nonzero result, or a stop request, ends it: the branches left
// get status 0 and objective 0).
static int strong_branch(KRVSprob prob, const char *fn, int nbounds, const int colind[], const char bndtype[],
                  const double bndval[], int iterlim, double objval[], int status[],
                  KRVSstrongbranchsolve_fn after_each, void *data) noexcept {
  return guard_problem(prob, [&] {
    const Model &m = *prob->model;
    check_indices(fn, nbounds, colind, m.cols(), "column");
    check_array(fn, bndtype, nbounds, "of bound types");
    check_array(fn, bndval, nbounds, "of bound values");
    for (int k = 0; k < nbounds; ++k) {
      if (bndtype[k] != 'L' && bndtype[k] != 'U' && bndtype[k] != 'B')
        fail(fn, "invalid bound type '" + std::string(1, bndtype[k]) + "' (use 'L', 'U' or 'B')");
      check_number(fn, bndval[k], "bound value");
    }
    if (iterlim < 0) fail(fn, "negative iteration limit (" + std::to_string(iterlim) + ")");
    if (quadratic_objective_entries(m) > 0 || has_quadratic_rows(m))
      fail(fn, "the problem is quadratic; strong branching re-solves LPs with the dual simplex");
    const SolveState &state = *prob->solve;
    if (state.lp_status != LP_OPTIMAL || !state.basis.valid || state.basis.structure_version != m.structure_version)
      fail(fn, "no optimal basis is available; solve the LP (relaxation) to optimality first");
    OptimalBasis basis(prob, fn);
    Highs &highs = basis.highs();
    const HighsBasis optimal = highs.getBasis();
    const HighsLp &lp = highs.getLp();
    const bool minimise = m.obj_sense >= 0;
    highs.setOptionValue("simplex_iteration_limit", HighsInt(iterlim));
    for (int k = 0; k < nbounds; ++k) {
      const int j = colind[k];
      const double old_lower = lp.col_lower_[size_t(j)], old_upper = lp.col_upper_[size_t(j)];
      double value = bndval[k];
      double lower = old_lower, upper = old_upper;
      if (bndtype[k] != 'U') lower = value <= -KRVS_INFINITY ? -kInf : value;
      if (bndtype[k] != 'L') upper = value >= KRVS_INFINITY ? kInf : value;
      int lp_status;
      double objective;
      if (lower > upper) {
        lp_status = LP_INFEAS;
        objective = minimise ? KRVS_INFINITY : -KRVS_INFINITY;
      } else {
        highs.changeColBounds(j, lower, upper);
        highs.setBasis(optimal);
        const HighsStatus run = highs.run();
        const HighsModelStatus s = run == HighsStatus::kError && highs.getModelStatus() == HighsModelStatus::kNotset
                                       ? HighsModelStatus::kSolveError
                                       : highs.getModelStatus();
        objective = highs.getInfo().objective_function_value;
        switch (s) {
          case HighsModelStatus::kOptimal: lp_status = LP_OPTIMAL; break;
          case HighsModelStatus::kInfeasible:
            lp_status = LP_INFEAS;
            objective = minimise ? KRVS_INFINITY : -KRVS_INFINITY;
            break;
          case HighsModelStatus::kUnbounded:
            lp_status = LP_UNBOUNDED;
            objective = minimise ? -KRVS_INFINITY : KRVS_INFINITY;
            break;
          case HighsModelStatus::kObjectiveBound: lp_status = LP_CUTOFF; break;
          case HighsModelStatus::kIterationLimit:
          case HighsModelStatus::kTimeLimit: lp_status = LP_UNFINISHED; break;
          default: lp_status = LP_UNSOLVED; break;
        }
        highs.changeColBounds(j, old_lower, old_upper);
      }
      if (objval) objval[k] = engine_value(objective);
      if (status) status[k] = lp_status;
      if (after_each && (after_each(prob, data, k) != 0 || prob->interrupt_reason.load() != 0)) {
        for (int rest = k + 1; rest < nbounds; ++rest) {
          if (objval) objval[rest] = 0.0;
          if (status) status[rest] = 0;
        }
        break;
      }
    }
  });
}

int KRVSstrongbranch(KRVSprob prob, int nbounds, const int colind[], const char bndtype[], const double bndval[],
                     int iterlim, double objval[], int status[]) noexcept {
  return strong_branch(prob, "KRVSstrongbranch", nbounds, colind, bndtype, bndval, iterlim, objval, status, nullptr,
                       nullptr);
}

int KRVSstrongbranchcb(KRVSprob prob, int nbounds, const int colind[], const char bndtype[], const double bndval[],
                       int iterlim, double objval[], int status[], KRVSstrongbranchsolve_fn solvecb,
                       void *data) noexcept {
  if (prob) prob->interrupt_reason.store(0);
  const int rc = strong_branch(prob, "KRVSstrongbranchcb", nbounds, colind, bndtype, bndval, iterlim, objval,
                               status, solvecb, data);
  if (prob) prob->interrupt_reason.store(0);
  return rc;
}

}  // extern "C"
