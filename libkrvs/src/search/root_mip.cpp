#include "search/root_mip.h"

#include <algorithm>
#include <cmath>

#include "solve/interrupt_wake.h"

namespace krvs {

namespace {

// A row or bound holds within the tolerance, loosened a little for large
// magnitudes where an absolute tolerance is below the arithmetic's reach.
bool within(double value, double lower, double upper, double tol) {
  const double lower_tol = tol * std::max(1.0, 1e-3 * std::fabs(lower));
  const double upper_tol = tol * std::max(1.0, 1e-3 * std::fabs(upper));
  return value >= lower - lower_tol && value <= upper + upper_tol;
}

// Keeps the pool a callback hands over when it is over the model's columns;
// of several, the largest.
void keep_pool(const HighsCallbackOutput &out, HighsInt num_col, CutRows &cuts) {
  if (out.cutpool_num_col != num_col || out.cutpool_num_cut <= cuts.count()) return;
  const size_t count = size_t(out.cutpool_num_cut);
  if (out.cutpool_lower.size() < count || out.cutpool_upper.size() < count || out.cutpool_start.size() < count ||
      out.cutpool_value.size() != out.cutpool_index.size())
    return;
  CutRows taken;
  for (size_t k = 0; k < count; ++k) {
    const size_t begin = size_t(out.cutpool_start[k]);
    const size_t end = k + 1 < out.cutpool_start.size() ? size_t(out.cutpool_start[k + 1]) : out.cutpool_index.size();
    if (begin > end || end > out.cutpool_index.size()) return;
    const double lower = out.cutpool_lower[k], upper = out.cutpool_upper[k];
    bool sound = !std::isnan(lower) && !std::isnan(upper) && (lower > -kHighsInf || upper < kHighsInf);
    for (size_t p = begin; p < end && sound; ++p)
      sound = out.cutpool_index[p] >= 0 && out.cutpool_index[p] < num_col && std::isfinite(out.cutpool_value[p]);
    if (!sound || begin == end) continue;
    taken.lower.push_back(out.cutpool_lower[k]);
    taken.upper.push_back(out.cutpool_upper[k]);
    taken.index.insert(taken.index.end(), out.cutpool_index.begin() + long(begin), out.cutpool_index.begin() + long(end));
    taken.value.insert(taken.value.end(), out.cutpool_value.begin() + long(begin), out.cutpool_value.begin() + long(end));
    taken.start.push_back(HighsInt(taken.index.size()));
  }
  cuts = std::move(taken);
}

// The instance is where a stop request lands while it runs: published on
// the wake with its callback function installed, and withdrawn before that
// function's captures go away. HiGHS's MIP solves its LPs on an inner
// instance that asks no interrupt events of its own, so a stop is seen at
// the MIP's next limit check, after the LP that is running.
class RunWake {
 public:
  RunWake(InterruptWake &wake, Highs &highs, const std::function<bool()> &interrupted) : wake_(wake) {
    wake_.publish(&highs);
    if (interrupted()) wake_.wake();
  }
  ~RunWake() { wake_.withdraw(); }
  RunWake(const RunWake &) = delete;
  RunWake &operator=(const RunWake &) = delete;

 private:
  InterruptWake &wake_;
};

}  // namespace

std::string check_solution(const HighsLp &lp, const std::vector<double> &x, double integrality_tol,
                           double feasibility_tol) {
  const size_t n = size_t(lp.num_col_);
  if (x.size() < n) return "the solution has " + std::to_string(x.size()) + " values for " + std::to_string(n) + " columns";
  for (size_t j = 0; j < n; ++j) {
    const double v = x[j];
    if (!std::isfinite(v)) return "column " + std::to_string(j) + " is not a finite number";
    const HighsVarType type = lp.integrality_.size() > j ? lp.integrality_[j] : HighsVarType::kContinuous;
    const bool semi = type == HighsVarType::kSemiContinuous || type == HighsVarType::kSemiInteger;
    if (semi && std::fabs(v) <= feasibility_tol) continue;
    if (!within(v, lp.col_lower_[j], lp.col_upper_[j], feasibility_tol))
      return "column " + std::to_string(j) + " is outside its bounds";
    if ((type == HighsVarType::kInteger || type == HighsVarType::kSemiInteger) &&
        std::fabs(v - std::round(v)) > integrality_tol)
      return "column " + std::to_string(j) + " is not integral";
  }
  std::vector<double> activity(size_t(lp.num_row_), 0.0);
  const HighsSparseMatrix &a = lp.a_matrix_;
  if (a.isColwise()) {
    for (size_t j = 0; j < n; ++j)
      for (HighsInt p = a.start_[j]; p < a.start_[j + 1]; ++p) activity[size_t(a.index_[size_t(p)])] += a.value_[size_t(p)] * x[j];
  } else {
    for (size_t i = 0; i < activity.size(); ++i)
      for (HighsInt p = a.start_[i]; p < a.start_[i + 1]; ++p) activity[i] += a.value_[size_t(p)] * x[size_t(a.index_[size_t(p)])];
  }
  for (size_t i = 0; i < activity.size(); ++i)
    if (!within(activity[i], lp.row_lower_[i], lp.row_upper_[i], feasibility_tol))
      return "row " + std::to_string(i) + " is violated";
  return "";
}

RootMipResult run_root_mip(HighsModel model, const RootMipSettings &settings,
                           const std::function<bool()> &interrupted, InterruptWake &wake) {
  RootMipResult result;
  const HighsInt num_col = model.lp_.num_col_;
  Highs mip;
  mip.setOptionValue("output_flag", false);
  mip.setOptionValue("log_to_console", false);
  mip.setOptionValue("threads", HighsInt(1));
  // Presolve would renumber the columns, and the pool's cuts would then be
  // over columns the search does not have.
  mip.setOptionValue("presolve", std::string("off"));
  mip.setOptionValue("mip_max_nodes", HighsInt(std::max(settings.max_nodes, 1)));
  mip.setOptionValue("mip_feasibility_tolerance", settings.integrality_tol);
  if (settings.time_limit < 1e20) mip.setOptionValue("time_limit", std::max(settings.time_limit, 0.0));
  CutRows &cuts = result.cuts;
  const bool want_cuts = settings.want_cuts;
  mip.setCallback(
      [&interrupted, &cuts, num_col, want_cuts](int type, const std::string &, const HighsCallbackOutput *out,
                                                HighsCallbackInput *in, void *) {
        if (type == kCallbackMipGetCutPool && out && want_cuts) keep_pool(*out, num_col, cuts);
        if (in && interrupted()) in->user_interrupt = true;
      },
      nullptr);
  if (want_cuts) mip.startCallback(kCallbackMipGetCutPool);
  if (mip.passModel(std::move(model)) == HighsStatus::kError) return RootMipResult{};
  {
    RunWake published(wake, mip, interrupted);
    mip.run();
  }
  if (mip.getInfo().primal_solution_status != kSolutionStatusFeasible) return result;
  result.found = true;
  result.found_objective = mip.getInfo().objective_function_value;
  const std::vector<double> &x = mip.getSolution().col_value;
  const HighsLp &lp = mip.getLp();
  result.rejected = check_solution(lp, x, settings.integrality_tol, settings.feasibility_tol);
  if (!result.rejected.empty()) return result;
  result.has_solution = true;
  result.x.assign(x.begin(), x.begin() + num_col);
  double objective = lp.offset_;
  for (HighsInt j = 0; j < num_col; ++j) objective += lp.col_cost_[size_t(j)] * result.x[size_t(j)];
  result.objective = objective;
  return result;
}

}  // namespace krvs
