#include "analysis/lp_session.h"

#include "core/guard.h"
#include "parallel/HighsParallel.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"

namespace krvs::analysis {

void quiet_options(Highs &highs, const ControlValues &controls) {
  highs.setOptionValue("output_flag", false);
  highs.setOptionValue("log_to_console", false);
  highs.setOptionValue("presolve", std::string("off"));
  highs.setOptionValue("solver", std::string("simplex"));
  highs.setOptionValue("simplex_strategy", HighsInt(kSimplexStrategyDual));
  highs.setOptionValue("primal_feasibility_tolerance", controls.get_double(CTRL_7004));
  highs.setOptionValue("dual_feasibility_tolerance", controls.get_double(CTRL_7005));
  highs.setOptionValue("mip_feasibility_tolerance", controls.get_double(CTRL_7006));
  const double time_limit = controls.get_double(CTRL_7001);
  if (time_limit < KRVS_INFINITY) highs.setOptionValue("time_limit", time_limit);
  // A HiGHS run refuses a thread count other than that of the scheduler
  // already running on this thread (the solver's, started by a solve).
  HighsSplitDeque *deque = HighsTaskExecutor::getThisWorkerDeque();
  highs.setOptionValue("threads", HighsInt(deque ? deque->getNumWorkers() : 1));
}

LpSession::LpSession(KRVSprob prob) {
  quiet_options(highs_, prob->controls);
  BuiltModel built = build_highs_model(*prob->model, BuildMode::Relaxation, prob->controls.get_double(CTRL_7008));
  if (highs_.passModel(std::move(built.model)) == HighsStatus::kError)
    throw Error("The solver refused the model");
}

LpSession::LpSession(KRVSprob prob, HighsModel model) {
  quiet_options(highs_, prob->controls);
  if (highs_.passModel(std::move(model)) == HighsStatus::kError) throw Error("The solver refused the model");
}

bool LpSession::warm_start(KRVSprob prob) {
  const StoredBasis &stored = prob->solve->basis;
  const HighsLp &lp = highs_.getLp();
  if (!stored.valid || stored.structure_version != prob->model->structure_version ||
      int(stored.col_status.size()) != lp.num_col_ || int(stored.row_status.size()) != lp.num_row_)
    return false;
  HighsBasis basis;
  basis.col_status.resize(stored.col_status.size());
  basis.row_status.resize(stored.row_status.size());
  for (size_t j = 0; j < stored.col_status.size(); ++j) basis.col_status[j] = HighsBasisStatus(stored.col_status[j]);
  for (size_t i = 0; i < stored.row_status.size(); ++i) basis.row_status[i] = HighsBasisStatus(stored.row_status[i]);
  basis.valid = true;
  basis.alien = true;
  return highs_.setBasis(basis, "last basis") == HighsStatus::kOk;
}

namespace {
bool decided(HighsModelStatus s) {
  switch (s) {
    case HighsModelStatus::kOptimal:
    case HighsModelStatus::kInfeasible:
    case HighsModelStatus::kUnbounded:
    case HighsModelStatus::kUnboundedOrInfeasible:
    case HighsModelStatus::kModelEmpty:
    case HighsModelStatus::kIterationLimit:
    case HighsModelStatus::kTimeLimit:
    case HighsModelStatus::kInterrupt:
    case HighsModelStatus::kObjectiveBound:
    case HighsModelStatus::kObjectiveTarget: return true;
    default: return false;
  }
}
}  // namespace

HighsModelStatus LpSession::run(const char *what) {
  double primal = 0.0, dual = 0.0;
  HighsInt strategy = 0;
  highs_.getOptionValue("primal_feasibility_tolerance", primal);
  highs_.getOptionValue("dual_feasibility_tolerance", dual);
  highs_.getOptionValue("simplex_strategy", strategy);
  HighsModelStatus status = HighsModelStatus::kNotset;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (attempt > 0) highs_.clearSolver();
    if (attempt == 2) {
      highs_.setOptionValue("primal_feasibility_tolerance", primal / 10);
      highs_.setOptionValue("dual_feasibility_tolerance", dual / 10);
    }
    if (attempt == 3) highs_.setOptionValue("simplex_strategy", HighsInt(kSimplexStrategyPrimal));
    highs_.run();
    status = highs_.getModelStatus();
    if (decided(status)) break;
  }
  highs_.setOptionValue("primal_feasibility_tolerance", primal);
  highs_.setOptionValue("dual_feasibility_tolerance", dual);
  highs_.setOptionValue("simplex_strategy", strategy);
  if (!decided(status))
    throw Error(std::string(what) + ": the solver failed (" + highs_.modelStatusToString(status) + ")");
  return status;
}

bool has_quadratic_rows(const Model &m) {
  for (const auto &entry : m.qrows)
    for (const QuadEntry &e : entry.second)
      if (e.q != 0.0) return true;
  return false;
}

void require_optimal_lp(KRVSprob prob, const char *fn) {
  const Model &m = *prob->model;
  const SolveState &state = *prob->solve;
  if (has_discrete_entities(m))
    throw Error(std::string(fn) +
                ": the problem has discrete entities; sensitivity information is defined on an LP's optimal basis");
  if (quadratic_objective_entries(m) > 0 || has_quadratic_rows(m))
    throw Error(std::string(fn) +
                ": the problem is quadratic; sensitivity information is defined on an LP's optimal basis");
  if (state.lp_status != LP_OPTIMAL || !state.basis.valid || state.basis.structure_version != m.structure_version)
    throw Error(std::string(fn) + ": no optimal basis is available; solve the LP to optimality first");
}

}  // namespace krvs::analysis
