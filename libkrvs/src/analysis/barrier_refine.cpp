// The interior-point solution of the last barrier solve, crossover from it
// (or from the LP solution) to a basic solution, and the refinement of a
// MIP solution by re-optimising its continuous part.
#include <algorithm>
#include <cmath>
#include <string>

#include "Highs.h"
#include "api/model_checks.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"
#include "solve/stored_basis.h"

using namespace krvs;

namespace {

bool fits(const SolutionVectors &sol, const Model &m) {
  return sol.valid && sol.x.size() == size_t(m.cols()) && sol.slack.size() == size_t(m.rows());
}

// A quiet HiGHS instance holding the model, with the problem's tolerances.
void load(Highs &h, KRVSprob prob, const char *fn, HighsModel model) {
  h.setOptionValue("output_flag", false);
  h.setOptionValue("threads", HighsInt(1));
  h.setOptionValue("primal_feasibility_tolerance", prob->controls.get_double(CTRL_7004));
  h.setOptionValue("dual_feasibility_tolerance", prob->controls.get_double(CTRL_7005));
  if (h.passModel(std::move(model)) == HighsStatus::kError) fail(fn, "the solver refused the model");
}

// x, slacks rhs - activity, duals and reduced costs of a HiGHS solution.
void keep_solution(SolutionVectors &out, const Model &m, const HighsSolution &sol) {
  out.clear();
  out.valid = true;
  out.x.assign(sol.col_value.begin(), sol.col_value.begin() + m.cols());
  out.slack.assign(m.rhs.begin(), m.rhs.end());
  for (int i = 0; i < m.rows(); ++i) out.slack[size_t(i)] -= sol.row_value[size_t(i)];
  if (sol.dual_valid) {
    out.duals.assign(sol.row_dual.begin(), sol.row_dual.begin() + m.rows());
    out.djs.assign(sol.col_dual.begin(), sol.col_dual.begin() + m.cols());
  }
}

void copy_out(const std::vector<double> &from, double *to) {
  if (to) std::copy(from.begin(), from.end(), to);
}

}  // namespace

extern "C" {

int KRVSgetlastbarsol(KRVSprob prob, double x[], double slack[], double duals[], double djs[],
                      int *status) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetlastbarsol";
    const SolveState &state = *prob->solve;
    const Model &m = model_of(prob);
    if (!state.barrier.valid)
      fail(fn, "no barrier solution is kept: the last LP solve was not a barrier solve without crossover (set the "
               "crossover control to 0 to keep the interior-point solution)");
    if (!fits(state.barrier, m)) fail(fn, "the barrier solution no longer fits the model: rows or columns changed");
    if ((duals || djs) && state.barrier.duals.empty()) fail(fn, "the barrier solve left no dual values");
    copy_out(state.barrier.x, x);
    copy_out(state.barrier.slack, slack);
    copy_out(state.barrier.duals, duals);
    copy_out(state.barrier.djs, djs);
    if (status) *status = state.barrier_status;
  });
}

// HiGHS's own crossover from a given point refuses interior dual values, so
// the basic solution is found by the simplex method started from the point:
// the same vertex optimum, and the basis that proves it.
int KRVScrossoverlpsol(KRVSprob prob, int *status) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVScrossoverlpsol";
    SolveState &state = *prob->solve;
    const Model &m = model_of(prob);
    if (state.running.value.load()) fail(fn, "a solve of this problem is running");
    const SolutionVectors &start = fits(state.barrier, m) ? state.barrier : state.lp;
    if (!fits(start, m)) fail(fn, "there is no LP or barrier solution to start from (solve the problem first)");
    if (has_discrete_entities(m) || quadratic_objective_entries(m) > 0 || !m.qrows.empty())
      fail(fn, "crossover applies to linear programs only");
    BuiltModel built = build_highs_model(m, BuildMode::Relaxation, prob->controls.get_double(CTRL_7008));
    Highs h;
    load(h, prob, fn, std::move(built.model));
    HighsSolution point;
    point.col_value = start.x;
    point.row_value.assign(size_t(m.rows()), 0.0);
    for (int i = 0; i < m.rows(); ++i) point.row_value[size_t(i)] = m.rhs[size_t(i)] - start.slack[size_t(i)];
    point.value_valid = true;
    if (start.duals.size() == size_t(m.rows()) && start.djs.size() == size_t(m.cols())) {
      point.row_dual = start.duals;
      point.col_dual = start.djs;
      point.dual_valid = true;
    }
    h.setSolution(point);
    h.setOptionValue("solver", std::string("simplex"));
    h.setOptionValue("presolve", std::string("off"));
    const HighsInt iteration_limit = HighsInt(std::min<int64_t>(prob->controls.get_int(CTRL_8004), kHighsIInf));
    h.setOptionValue("simplex_iteration_limit", iteration_limit);
    h.run();
    const HighsBasis &basis = h.getBasis();
    const bool done = h.getModelStatus() == HighsModelStatus::kOptimal && basis.valid && h.getSolution().value_valid;
    if (status) *status = done ? 0 : 1;
    if (!done) return;
    keep_solution(state.lp, m, h.getSolution());
    state.lp_objective = h.getInfo().objective_function_value;
    state.lp_status = LP_OPTIMAL;
    state.simplex_iterations += std::max<HighsInt>(h.getInfo().simplex_iteration_count, 0);
    std::vector<int8_t> cols(basis.col_status.size()), rows(basis.row_status.size());
    for (size_t j = 0; j < cols.size(); ++j) cols[j] = int8_t(basis.col_status[j]);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = int8_t(basis.row_status[i]);
    store_basis(prob, cols.data(), rows.data());
  });
}

int KRVSrefinemipsol(KRVSprob prob, int options, const char *flags, const double solution[], double refined[],
                     int *status) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSrefinemipsol";
    const Model &m = model_of(prob);
    if (options != 0) fail(fn, "unknown options " + std::to_string(options) + " (none are defined: pass 0)");
    if (flags && *flags) fail(fn, std::string("unknown flags '") + flags + "' (none are defined)");
    check_array(fn, solution, m.cols(), "solution");
    check_array(fn, refined, m.cols(), "refined");
    for (int j = 0; j < m.cols(); ++j) check_finite(fn, solution[j], "solution value");
    if (!m.sets.empty() || !m.indicators.empty() || !m.qrows.empty())
      fail(fn, "refining needs a model without sets, indicators and quadratic rows");
    // The discrete columns keep their (rounded) values; the continuous part
    // is optimised again.
    HighsModel model = build_highs_model(m, BuildMode::Relaxation, prob->controls.get_double(CTRL_7008)).model;
    HighsLp &lp = model.lp_;
    const double tol = prob->controls.get_double(CTRL_7006);
    for (int j = 0; j < m.cols(); ++j) {
      const char t = m.coltype[size_t(j)];
      double v = solution[j];
      const bool integral = t == 'B' || t == 'I' || (t == 'R' && v != 0.0) || (t == 'P' && v < m.limit[size_t(j)]);
      if (integral) {
        if (std::fabs(v - std::round(v)) > tol) {
          std::copy(solution, solution + m.cols(), refined);
          if (status) *status = 2;  // not integral: nothing to refine
          return;
        }
        v = std::round(v);
      }
      if (integral || ((t == 'S' || t == 'R') && v == 0.0)) lp.col_lower_[size_t(j)] = lp.col_upper_[size_t(j)] = v;
    }
    Highs h;
    load(h, prob, fn, std::move(model));
    h.run();
    if (h.getModelStatus() != HighsModelStatus::kOptimal || !h.getSolution().value_valid) {
      std::copy(solution, solution + m.cols(), refined);
      if (status) *status = 1;  // the discrete values admit no feasible continuous part
      return;
    }
    const std::vector<double> &x = h.getSolution().col_value;
    std::copy(x.begin(), x.begin() + m.cols(), refined);
    if (status) *status = 0;
  });
}

}  // extern "C"
