// The solve entry points and the solution queries.
#include <algorithm>
#include <string>

#include "analysis/presolve.h"
#include "core/guard.h"
#include "core/problem.h"
#include "model/model.h"
#include "solve/solve_state.h"
#include "solve/solver.h"

using namespace krvs;

namespace {

// Checks that a stored solution still has the model's dimensions; a model
// changed in size since the solve has no solution until it is solved again.
void check_current(const SolutionVectors &sol, const Model &m, const char *kind) {
  if (sol.x.size() != size_t(m.cols()) || sol.slack.size() != size_t(m.rows()))
    throw Error(std::string("The ") + kind +
                " solution no longer fits the model: rows or columns were added or deleted since the solve");
}

void copy_out(const std::vector<double> &from, double *to) {
  if (to) std::copy(from.begin(), from.end(), to);
}

}  // namespace

extern "C" {

int KRVSlpoptimize(KRVSprob prob, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    std::string other_flags;
    if (analysis::wants_kept_presolve(flags, other_flags)) {
      analysis::presolve_and_solve(prob, other_flags);
      return;
    }
    if (!prob->solve->running.value.load()) analysis::drop_presolve(prob);
    optimize(prob, flags, SolveRequest::Lp);
  });
}

int KRVSmipoptimize(KRVSprob prob, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    if (!prob->solve->running.value.load()) analysis::drop_presolve(prob);
    optimize(prob, flags, SolveRequest::Mip);
  });
}

int KRVSgetlpsol(KRVSprob prob, double x[], double slack[], double duals[], double djs[]) noexcept {
  return guard_problem(prob, [&] {
    const SolveState &state = *prob->solve;
    if (!state.lp.valid)
      throw Error(state.lp_status == LP_UNSTARTED
                      ? "No LP solution is available: the problem has not been solved as an LP"
                      : "No LP solution is available: the last LP solve found none (LP status " +
                            std::to_string(state.lp_status) + ")");
    check_current(state.lp, *prob->model, "LP");
    if ((duals || djs) && (state.lp.duals.empty() && prob->model->rows() > 0))
      throw Error("No dual values are available from the last LP solve (LP status " +
                  std::to_string(state.lp_status) + ")");
    copy_out(state.lp.x, x);
    copy_out(state.lp.slack, slack);
    copy_out(state.lp.duals, duals);
    if (djs) {
      if (state.lp.djs.size() == state.lp.x.size()) copy_out(state.lp.djs, djs);
      else throw Error("No reduced costs are available from the last LP solve");
    }
  });
}

int KRVSgetmipsol(KRVSprob prob, double x[], double slack[]) noexcept {
  return guard_problem(prob, [&] {
    const SolveState &state = *prob->solve;
    if (!state.mip.valid)
      throw Error(state.mip_status == MIP_NOT_LOADED || state.mip_status == MIP_LP_OPTIMAL ||
                          state.mip_status == MIP_LP_NOT_OPTIMAL
                      ? "No MIP solution is available: the problem has not been solved as a MIP"
                      : "No MIP solution is available: the last MIP solve found none (MIP status " +
                            std::to_string(state.mip_status) + ")");
    check_current(state.mip, *prob->model, "MIP");
    copy_out(state.mip.x, x);
    copy_out(state.mip.slack, slack);
  });
}

}  // extern "C"
