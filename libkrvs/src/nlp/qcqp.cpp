// Convex quadratically constrained problems solved for the optimizer.
#include "qcqp.h"

#include <algorithm>

#include "core/controls.h"
#include "core/problem.h"
#include "model/model.h"
#include "nlp_problem.h"
#include "slp.h"
#include "solve/convexity.h"
#include "solve/solve_state.h"

namespace krvs::nlp {

namespace {

bool convex(const std::vector<QuadEntry> &entries, double sign) {
  std::vector<SymmetricEntry> sym;
  for (const auto &e : entries)
    if (e.q != 0.0) sym.push_back(SymmetricEntry{std::min(e.i, e.j), std::max(e.i, e.j), e.q});
  return sym.empty() || check_semidefinite(sym, sign) == Definiteness::Semidefinite;
}

}  // namespace

bool solve_convex_qcqp(KRVSprob prob, bool discrete, SolveState &state) {
  const Model &m = *prob->model;
  bool any = false;
  for (const auto &[row, entries] : m.qrows) {
    if (std::none_of(entries.begin(), entries.end(), [](const QuadEntry &e) { return e.q != 0.0; })) continue;
    if (row < 0 || row >= m.rows()) return false;
    const char type = m.rowtype[size_t(row)];
    // A convex row: x'Qx <= b with Q positive semidefinite, or >= with Q
    // negative semidefinite.
    if (!((type == 'L' && convex(entries, 1.0)) || (type == 'G' && convex(entries, -1.0)))) return false;
    any = true;
  }
  if (!any) return false;
  if (!convex(m.qobj, m.obj_sense < 0 ? -1.0 : 1.0)) return false;
  if (discrete && (!m.sets.empty() || !m.indicators.empty())) return false;

  knls_problem_s nl;
  nl.optprob = prob;
  nl.controls.set_double(12146, m.obj_sense < 0 ? -1.0 : 1.0);
  nl.controls.set_double(12404, prob->controls.get_double(CTRL_7001));
  nl.controls.set_double(12405, std::clamp(prob->controls.get_double(CTRL_7004), 1e-12, 1e-1));
  nl.controls.set_int(12403, prob->controls.get_int(CTRL_8035));
  run_slp(&nl, discrete ? "g" : "");

  SolutionVectors result;
  result.valid = !nl.solution.x.empty();
  result.x = nl.solution.x;
  result.slack = nl.solution.slack;
  const double objective = nl.objective_value;
  const bool optimal = nl.status == KNLS_NLP_LOCALLY_OPTIMAL || nl.status == KNLS_NLP_GLOBALLY_OPTIMAL;
  if (prob->interrupt_reason.load() != 0) state.stop_status = STOP_USER;
  if (discrete) {
    switch (nl.status) {
      case KNLS_NLP_LOCALLY_OPTIMAL:
      case KNLS_NLP_GLOBALLY_OPTIMAL: state.mip_status = MIP_SOLUTION; break;
      case KNLS_NLP_UNBOUNDED: state.mip_status = MIP_UNBOUNDED; break;
      case KNLS_NLP_UNFINISHED: state.mip_status = result.valid ? MIP_SOLUTION : MIP_NO_SOL_FOUND; break;
      default: state.mip_status = MIP_INFEAS; break;
    }
    if (state.mip_status == MIP_SOLUTION) {
      state.mip = result;
      state.mip_objective = objective;
    }
    return true;
  }
  switch (nl.status) {
    case KNLS_NLP_LOCALLY_OPTIMAL:
    case KNLS_NLP_GLOBALLY_OPTIMAL: state.lp_status = LP_OPTIMAL; break;
    case KNLS_NLP_UNBOUNDED: state.lp_status = LP_UNBOUNDED; break;
    case KNLS_NLP_UNFINISHED: state.lp_status = LP_UNFINISHED; break;
    default: state.lp_status = LP_INFEAS; break;
  }
  result.duals = nl.solution.duals;
  result.djs = nl.solution.djs;
  state.lp = result;
  state.lp_objective = optimal ? objective : 0.0;
  return true;
}

}  // namespace krvs::nlp
