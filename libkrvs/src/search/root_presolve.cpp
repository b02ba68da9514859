#include "search/root_presolve.h"

#include <algorithm>

namespace krvs {

bool RootPresolve::run(const HighsModel &model, double time_limit) {
  highs_.setOptionValue("output_flag", false);
  highs_.setOptionValue("log_to_console", false);
  highs_.setOptionValue("threads", HighsInt(1));
  if (time_limit < 1e20) highs_.setOptionValue("time_limit", std::max(time_limit, 0.0));
  if (highs_.passModel(model) == HighsStatus::kError) return false;
  if (highs_.presolve() == HighsStatus::kError) return false;
  // Reduced to nothing, infeasible or unbounded: the search on the original
  // model finds out the same for itself.
  if (highs_.getModelPresolveStatus() != HighsPresolveStatus::kReduced) return false;
  const HighsLp &lp = reduced().lp_;
  if (lp.num_col_ <= 0 || lp.sense_ != model.lp_.sense_) return false;
  if (reduced().hessian_.dim_ > 0) return false;
  for (HighsVarType t : lp.integrality_)
    if (t == HighsVarType::kSemiContinuous || t == HighsVarType::kSemiInteger) return false;
  return true;
}

bool RootPresolve::restore(const std::vector<double> &reduced_x, std::vector<double> &original_x) {
  const HighsLp &lp = reduced().lp_;
  if (reduced_x.size() < size_t(lp.num_col_)) return false;
  HighsSolution solution;
  solution.col_value.assign(reduced_x.begin(), reduced_x.begin() + lp.num_col_);
  solution.row_value.assign(size_t(lp.num_row_), 0.0);
  const HighsSparseMatrix &a = lp.a_matrix_;
  if (a.isColwise()) {
    for (HighsInt j = 0; j < lp.num_col_; ++j)
      for (HighsInt p = a.start_[size_t(j)]; p < a.start_[size_t(j) + 1]; ++p)
        solution.row_value[size_t(a.index_[size_t(p)])] += a.value_[size_t(p)] * solution.col_value[size_t(j)];
  } else {
    for (HighsInt i = 0; i < lp.num_row_; ++i)
      for (HighsInt p = a.start_[size_t(i)]; p < a.start_[size_t(i) + 1]; ++p)
        solution.row_value[size_t(i)] += a.value_[size_t(p)] * solution.col_value[size_t(a.index_[size_t(p)])];
  }
  solution.value_valid = true;
  solution.dual_valid = false;
  if (highs_.postsolve(solution) == HighsStatus::kError) return false;
  const HighsSolution &restored = highs_.getSolution();
  if (!restored.value_valid || restored.col_value.size() != size_t(highs_.getLp().num_col_)) return false;
  original_x = restored.col_value;
  return true;
}

}  // namespace krvs
