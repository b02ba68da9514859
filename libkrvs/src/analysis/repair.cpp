// Repair of an infeasible model: the least relaxation of its rows and column
// bounds, weighted by preferences, then optionally the best original
// objective within (a little more than) that relaxation.
//
// Every relaxable side gets a violation column s >= 0: a row's <= side
// becomes a x - s <= b, its >= side a x + s >= b; a column's relaxable
// bounds move onto a row lb <= x + t_lower - t_upper <= ub. The penalty is
// sum w s ('l'), sum w s^2 ('q') or sum w z with binaries z >= s / M ('c'),
// w = 1 / preference. Phase one minimises the penalty; phase two fixes the
// penalty within (1 + delta) of its minimum (each violation, for 'q') and
// optimises the original objective.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "analysis/lp_session.h"
#include "api/model_checks.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"

using namespace krvs;
using namespace krvs::analysis;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Preferences and limits of one repair; any array may be null.
struct RepairRequest {
  const double *lepref = nullptr, *gepref = nullptr, *lbpref = nullptr, *ubpref = nullptr;
  double le_all = 0, ge_all = 0, lb_all = 0, ub_all = 0;  // used where the array is null
  bool uniform = false;
  const double *lerelax = nullptr, *gerelax = nullptr, *lbrelax = nullptr, *ubrelax = nullptr;
  char penalty = 'l';
  bool phase2 = false;
  double delta = 0;
  bool discrete = true;
  char algorithm = 0;  // 'd', 'p', 'b' or 0
};

double pick(const double *array, int k, double all, bool uniform) {
  return array ? array[k] : uniform ? all : 0.0;
}
double cap_of(const double *array, int k) {
  if (!array) return kInf;
  return array[k] >= KRVS_INFINITY ? kInf : array[k];
}

struct Violation {
  int column;    // the violation column in the HiGHS model
  double weight; // 1 / preference
};

enum RepairStatus { REPAIR_OPTIMAL = 0, REPAIR_INFEASIBLE = 1, REPAIR_UNBOUNDED = 2, REPAIR_LIMIT = 3 };

void check_request(const char *fn, const Model &m, const RepairRequest &r) {
  if (r.penalty != 'l' && r.penalty != 'q' && r.penalty != 'c')
    fail(fn, "invalid penalty '" + std::string(1, r.penalty) +
                 "' (use 'l' sum of violations, 'q' sum of squares, 'c' count of violations)");
  check_number(fn, r.delta, "delta");
  if (r.delta < 0) fail(fn, "negative delta (" + std::to_string(r.delta) + ")");
  auto check_array_values = [&](const double *a, int n, const char *what, bool limit) {
    if (!a) return;
    for (int k = 0; k < n; ++k) {
      check_number(fn, a[k], what);
      if (limit && a[k] < 0) fail(fn, std::string("negative ") + what + " at index " + std::to_string(k));
    }
  };
  for (double v : {r.le_all, r.ge_all, r.lb_all, r.ub_all}) check_number(fn, v, "preference");
  check_array_values(r.lepref, m.rows(), "preference", false);
  check_array_values(r.gepref, m.rows(), "preference", false);
  check_array_values(r.lbpref, m.cols(), "preference", false);
  check_array_values(r.ubpref, m.cols(), "preference", false);
  check_array_values(r.lerelax, m.rows(), "relaxation limit", true);
  check_array_values(r.gerelax, m.rows(), "relaxation limit", true);
  check_array_values(r.lbrelax, m.cols(), "relaxation limit", true);
  check_array_values(r.ubrelax, m.cols(), "relaxation limit", true);
  if (has_quadratic_rows(m)) fail(fn, "the model has quadratic rows; repair relaxes linear rows and bounds only");
  if (r.penalty == 'q' && r.discrete && has_discrete_entities(m))
    fail(fn, "a sum-of-squares penalty with discrete entities enforced is a mixed-integer quadratic problem, which "
             "the solver does not handle; repair the continuous relaxation or use the 'l' or 'c' penalty");
  if (r.phase2 && r.discrete && has_discrete_entities(m) && quadratic_objective_entries(m) > 0)
    fail(fn, "optimising a quadratic objective with discrete entities enforced is not supported by the solver");
}

// The relaxed point x (and, from a continuous solve, its duals) becomes the
// problem's solution.
void keep_solution(KRVSprob prob, const std::vector<double> &x, const HighsSolution *duals, bool mip_solve,
                   bool discrete_model, bool optimal) {
  const Model &m = *prob->model;
  SolveState &state = *prob->solve;
  SolutionVectors out;
  out.valid = true;
  out.x.assign(x.begin(), x.begin() + m.cols());
  out.slack.assign(m.rhs.begin(), m.rhs.end());
  const CompressedMatrix &a = m.by_cols();
  for (int j = 0; j < m.cols(); ++j)
    for (int64_t p = a.start[size_t(j)]; p < a.start[size_t(j) + 1]; ++p)
      out.slack[size_t(a.index[size_t(p)])] -= a.value[size_t(p)] * out.x[size_t(j)];
  if (!mip_solve && duals && duals->dual_valid) {
    out.duals.assign(duals->row_dual.begin(), duals->row_dual.begin() + m.rows());
    out.djs.assign(duals->col_dual.begin(), duals->col_dual.begin() + m.cols());
  }
  // The original objective at the relaxed point.
  double objective = m.obj_constant;
  for (int j = 0; j < m.cols(); ++j) objective += m.obj[size_t(j)] * out.x[size_t(j)];
  for (const QuadEntry &e : m.qobj)
    objective += (e.i == e.j ? 0.5 : 1.0) * e.q * out.x[size_t(e.i)] * out.x[size_t(e.j)];
  state.lp_status = optimal ? LP_OPTIMAL : LP_UNFINISHED;
  state.stop_status = STOP_NONE;
  state.lp_objective = objective;
  state.lp = out;
  if (discrete_model || mip_solve) {
    state.mip = out;
    state.mip.duals.clear();
    state.mip.djs.clear();
    state.mip_status = mip_solve ? (optimal ? MIP_OPTIMAL : MIP_SOLUTION) : MIP_LP_OPTIMAL;
    state.mip_objective = objective;
    state.mip_solutions = 1;
    if (!mip_solve) state.mip.clear();
  } else {
    state.mip.clear();
    state.mip_status = MIP_NOT_LOADED;
  }
}

int repair(KRVSprob prob, const char *fn, const RepairRequest &r) {
  const Model &m = *prob->model;
  check_request(fn, m, r);
  const bool discrete = r.discrete && has_discrete_entities(m);
  const bool count = r.penalty == 'c';
  BuiltModel built = build_highs_model(m, discrete ? BuildMode::Discrete : BuildMode::Relaxation,
                                       prob->controls.get_double(CTRL_7008));
  const HighsHessian original_hessian = built.model.hessian_;
  const std::vector<double> original_cost = built.model.lp_.col_cost_;
  const ObjSense original_sense = built.model.lp_.sense_;
  const double original_offset = built.model.lp_.offset_;
  const int base_cols = built.model.lp_.num_col_;
  const int base_rows = built.model.lp_.num_row_;
  LpSession session(prob, std::move(built.model));
  Highs &highs = session.highs();
  if (discrete || count) highs.setOptionValue("presolve", std::string("on"));
  if (r.algorithm == 'p') highs.setOptionValue("simplex_strategy", HighsInt(kSimplexStrategyPrimal));
  if (r.algorithm == 'b') highs.setOptionValue("solver", std::string("ipm"));

  // Rows for relaxable column bounds: lb <= x + t_lower - t_upper <= ub.
  std::vector<double> row_lower, row_upper, bound_lower, bound_upper;
  std::vector<HighsInt> row_start{0}, row_index, bound_cols;
  std::vector<double> row_value;
  std::vector<int> bound_row(size_t(m.cols()), -1);
  const HighsLp &lp = highs.getLp();
  for (int j = 0; j < m.cols(); ++j) {
    const double lw = pick(r.lbpref, j, r.lb_all, r.uniform), uw = pick(r.ubpref, j, r.ub_all, r.uniform);
    const bool relax_lb = lw > 0 && m.lb[size_t(j)] > -KRVS_INFINITY;
    const bool relax_ub = uw > 0 && m.ub[size_t(j)] < KRVS_INFINITY;
    if (!relax_lb && !relax_ub) continue;
    bound_row[size_t(j)] = base_rows + int(row_lower.size());
    row_lower.push_back(relax_lb ? m.lb[size_t(j)] : -kInf);
    row_upper.push_back(relax_ub ? m.ub[size_t(j)] : kInf);
    row_index.push_back(j);
    row_value.push_back(1.0);
    row_start.push_back(HighsInt(row_index.size()));
    bound_cols.push_back(j);
    bound_lower.push_back(relax_lb ? -kInf : lp.col_lower_[size_t(j)]);
    bound_upper.push_back(relax_ub ? kInf : lp.col_upper_[size_t(j)]);
  }
  if (!row_lower.empty()) {
    row_start.pop_back();
    highs.addRows(HighsInt(row_lower.size()), row_lower.data(), row_upper.data(), HighsInt(row_index.size()),
                  row_start.data(), row_index.data(), row_value.data());
    highs.changeColsBounds(HighsInt(bound_cols.size()), bound_cols.data(), bound_lower.data(), bound_upper.data());
  }

  // Violation columns, each with one entry.
  std::vector<Violation> violations;
  std::vector<double> cap;
  std::vector<HighsInt> entry_row;
  std::vector<double> entry_value;
  auto add_violation = [&](int row, double sign, double preference, double limit) {
    if (!(preference > 0) || limit == 0) return;
    violations.push_back(Violation{base_cols + int(violations.size()), 1.0 / preference});
    cap.push_back(limit);
    entry_row.push_back(row);
    entry_value.push_back(sign);
  };
  for (int i = 0; i < m.rows(); ++i) {
    if (m.indicators.count(i)) continue;
    double lower, upper;
    row_bounds(m, i, lower, upper);
    if (std::isfinite(upper))
      add_violation(i, -1.0, pick(r.lepref, i, r.le_all, r.uniform), cap_of(r.lerelax, i));
    if (std::isfinite(lower))
      add_violation(i, 1.0, pick(r.gepref, i, r.ge_all, r.uniform), cap_of(r.gerelax, i));
  }
  for (int j = 0; j < m.cols(); ++j) {
    if (bound_row[size_t(j)] < 0) continue;
    const int row = bound_row[size_t(j)];
    if (m.lb[size_t(j)] > -KRVS_INFINITY)
      add_violation(row, 1.0, pick(r.lbpref, j, r.lb_all, r.uniform), cap_of(r.lbrelax, j));
    if (m.ub[size_t(j)] < KRVS_INFINITY)
      add_violation(row, -1.0, pick(r.ubpref, j, r.ub_all, r.uniform), cap_of(r.ubrelax, j));
  }
  const int nv = int(violations.size());
  {
    std::vector<double> zero(size_t(nv), 0.0);
    std::vector<HighsInt> start(static_cast<size_t>(nv));
    for (int k = 0; k < nv; ++k) start[size_t(k)] = k;
    if (nv > 0)
      highs.addCols(nv, zero.data(), zero.data(), cap.data(), nv, start.data(), entry_row.data(), entry_value.data());
  }
  // Count penalty: a binary per violation, s <= M z.
  const double bigm = prob->controls.get_double(CTRL_7008);
  if (count && nv > 0) {
    std::vector<double> zero(size_t(nv), 0.0), one(size_t(nv), 1.0), rlo(size_t(nv), -kInf), rup(size_t(nv), 0.0);
    std::vector<HighsInt> none(size_t(nv), 0);
    highs.addCols(nv, zero.data(), zero.data(), one.data(), 0, none.data(), nullptr, nullptr);
    std::vector<HighsInt> start, index;
    std::vector<double> value;
    for (int k = 0; k < nv; ++k) {
      start.push_back(HighsInt(index.size()));
      index.push_back(violations[size_t(k)].column);
      value.push_back(1.0);
      index.push_back(base_cols + nv + k);
      value.push_back(-(std::isfinite(cap[size_t(k)]) ? cap[size_t(k)] : bigm));
    }
    highs.addRows(nv, rlo.data(), rup.data(), HighsInt(index.size()), start.data(), index.data(), value.data());
    std::vector<HighsVarType> binary(size_t(nv), HighsVarType::kInteger);
    highs.changeColsIntegrality(base_cols + nv, base_cols + 2 * nv - 1, binary.data());
  }
  const int total_cols = highs.getLp().num_col_;

  // Phase one: the penalty alone.
  std::vector<double> cost(size_t(total_cols), 0.0);
  HighsHessian penalty_hessian;
  penalty_hessian.dim_ = total_cols;
  penalty_hessian.format_ = HessianFormat::kTriangular;
  penalty_hessian.start_.assign(size_t(total_cols) + 1, 0);
  for (int k = 0; k < nv; ++k) {
    const Violation &v = violations[size_t(k)];
    if (r.penalty == 'l') cost[size_t(v.column)] = v.weight;
    else if (count) cost[size_t(base_cols + nv + k)] = v.weight;
  }
  if (r.penalty == 'q') {
    for (int c = 0; c < total_cols; ++c) {
      penalty_hessian.start_[size_t(c) + 1] = penalty_hessian.start_[size_t(c)];
      if (c >= base_cols && c < base_cols + nv) {
        penalty_hessian.index_.push_back(c);
        penalty_hessian.value_.push_back(2.0 * violations[size_t(c - base_cols)].weight);
        ++penalty_hessian.start_[size_t(c) + 1];
      }
    }
  }
  highs.changeColsCost(0, total_cols - 1, cost.data());
  highs.changeObjectiveSense(ObjSense::kMinimize);
  highs.changeObjectiveOffset(0.0);
  highs.passHessian(r.penalty == 'q' && nv > 0 ? penalty_hessian : HighsHessian());
  const bool mip_solve = discrete || count;

  auto solved = [&](HighsModelStatus s) {
    return s == HighsModelStatus::kOptimal || s == HighsModelStatus::kModelEmpty;
  };
  auto has_point = [&] { return highs.getInfo().primal_solution_status == kSolutionStatusFeasible; };
  HighsModelStatus status = session.run(fn);
  if (status == HighsModelStatus::kInfeasible) return REPAIR_INFEASIBLE;
  if (!solved(status)) {
    if (has_point()) keep_solution(prob, highs.getSolution().col_value, nullptr, mip_solve, discrete, false);
    return REPAIR_LIMIT;
  }
  const double least = highs.getInfo().objective_function_value;
  if (!r.phase2) {
    keep_solution(prob, highs.getSolution().col_value, &highs.getSolution(), mip_solve, discrete, true);
    return REPAIR_OPTIMAL;
  }
  // Phase two: the original objective within the relaxation found.
  const std::vector<double> phase_one(highs.getSolution().col_value);
  const double slack = 1e-9 * std::max(1.0, std::fabs(least));
  if (r.penalty == 'q') {
    std::vector<HighsInt> cols;
    std::vector<double> lo, up;
    for (int k = 0; k < nv; ++k) {
      cols.push_back(violations[size_t(k)].column);
      lo.push_back(0.0);
      up.push_back(std::min(cap[size_t(k)], phase_one[size_t(violations[size_t(k)].column)] * (1 + r.delta) + slack));
    }
    if (nv > 0) highs.changeColsBounds(nv, cols.data(), lo.data(), up.data());
  } else if (nv > 0) {
    std::vector<HighsInt> index;
    std::vector<double> value;
    for (int k = 0; k < total_cols; ++k)
      if (cost[size_t(k)] != 0.0) {
        index.push_back(k);
        value.push_back(cost[size_t(k)]);
      }
    highs.addRow(-kInf, least * (1 + r.delta) + slack, HighsInt(index.size()), index.data(), value.data());
  }
  std::vector<double> phase_two_cost(size_t(total_cols), 0.0);
  std::copy(original_cost.begin(), original_cost.end(), phase_two_cost.begin());
  highs.changeColsCost(0, total_cols - 1, phase_two_cost.data());
  highs.changeObjectiveSense(original_sense);
  highs.changeObjectiveOffset(original_offset);
  HighsHessian hessian = original_hessian;
  if (hessian.dim_ > 0) {
    hessian.dim_ = total_cols;
    hessian.start_.resize(size_t(total_cols) + 1, hessian.start_.back());
  }
  highs.passHessian(hessian);
  status = session.run(fn);
  if (solved(status)) {
    keep_solution(prob, highs.getSolution().col_value, &highs.getSolution(), mip_solve, discrete, true);
    return REPAIR_OPTIMAL;
  }
  // The phase-one point stands when phase two cannot finish.
  keep_solution(prob, phase_one, nullptr, mip_solve, discrete, true);
  if (status == HighsModelStatus::kUnbounded || status == HighsModelStatus::kUnboundedOrInfeasible)
    return REPAIR_UNBOUNDED;
  return REPAIR_LIMIT;
}

}  // namespace

namespace {

// flags of the weighted repairs: 'g' enforce discrete entities (the
// default), 'n' the continuous relaxation, 'd', 'p', 'b' the LP algorithm.
void parse_flags(const char *fn, const char *flags, RepairRequest &r) {
  for (const char *c = flags ? flags : ""; *c; ++c) {
    switch (*c) {
      case 'g': r.discrete = true; break;
      case 'n': r.discrete = false; break;
      case 'd':
      case 'p':
      case 'b': r.algorithm = *c; break;
      case ' ': break;
      default:
        fail(fn, "unknown flag '" + std::string(1, *c) +
                     "' (use 'g' discrete entities enforced, 'n' continuous relaxation, 'd', 'p' or 'b' the "
                     "algorithm)");
    }
  }
}

bool parse_phase2(const char *fn, char phase2) {
  if (phase2 != 'o' && phase2 != 'n')
    fail(fn, "invalid phase two flag '" + std::string(1, phase2) +
                 "' ('o' optimises the original objective within the relaxation, 'n' stops after it)");
  return phase2 == 'o';
}

// Per row side and column bound: preferences or caps, each array null when
// not given.
struct PerSide {
  const double *le = nullptr, *ge = nullptr, *lb = nullptr, *ub = nullptr;
};

// The weighted repairs: the same request with or without caps on the relaxation.
int weighted_repair(const char *fn, KRVSprob prob, int *status, PerSide pref, PerSide relax, char phase2,
                    double delta, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    RepairRequest r;
    r.lepref = pref.le;
    r.gepref = pref.ge;
    r.lbpref = pref.lb;
    r.ubpref = pref.ub;
    r.lerelax = relax.le;
    r.gerelax = relax.ge;
    r.lbrelax = relax.lb;
    r.ubrelax = relax.ub;
    r.phase2 = parse_phase2(fn, phase2);
    r.delta = delta;
    parse_flags(fn, flags, r);
    const int outcome = repair(prob, fn, r);
    if (status) *status = outcome;
  });
}

}  // namespace

extern "C" {

int KRVSrepairinfeas(KRVSprob prob, int *status, char penalty, char phase2, char flags, double lepref,
                     double gepref, double lbpref, double ubpref, double delta) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSrepairinfeas";
    RepairRequest r;
    r.uniform = true;
    r.le_all = lepref;
    r.ge_all = gepref;
    r.lb_all = lbpref;
    r.ub_all = ubpref;
    r.penalty = penalty;
    r.phase2 = parse_phase2(fn, phase2);
    r.delta = delta;
    if (flags != 'g' && flags != 'n')
      fail(fn, "invalid flag '" + std::string(1, flags) +
                   "' ('g' enforces discrete entities, 'n' repairs the continuous relaxation)");
    r.discrete = flags == 'g';
    const int outcome = repair(prob, fn, r);
    if (status) *status = outcome;
  });
}

int KRVSrepairweightedinfeas(KRVSprob prob, int *status, const double lepref[], const double gepref[],
                             const double lbpref[], const double ubpref[], char phase2, double delta,
                             const char *flags) noexcept {
  return weighted_repair("KRVSrepairweightedinfeas", prob, status, {lepref, gepref, lbpref, ubpref}, {}, phase2,
                         delta, flags);
}

int KRVSrepairweightedinfeasbounds(KRVSprob prob, int *status, const double lepref[], const double gepref[],
                                   const double lbpref[], const double ubpref[], const double lerelax[],
                                   const double gerelax[], const double lbrelax[], const double ubrelax[],
                                   char phase2, double delta, const char *flags) noexcept {
  return weighted_repair("KRVSrepairweightedinfeasbounds", prob, status, {lepref, gepref, lbpref, ubpref},
                         {lerelax, gerelax, lbrelax, ubrelax}, phase2, delta, flags);
}

}  // extern "C"
