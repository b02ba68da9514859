#include "solve/mip_starts.h"

#include <cmath>

#include "core/problem.h"
#include "solve/callback_events.h"
#include "model/model.h"

namespace krvs {
namespace {

constexpr double kStartTolerance = 1e-6;
constexpr HighsInt kCompletionNodes = 1000;
constexpr double kCompletionSeconds = 10.0;

bool integral(HighsVarType t) { return t == HighsVarType::kInteger || t == HighsVarType::kSemiInteger; }

// Solves `model` with the given columns fixed; false when a value lies
// outside its column's range.
bool fixed_solve(const HighsModel &model, const MipStart &start, bool integral_only, Highs &sub) {
  HighsModel copy = model;
  HighsLp &lp = copy.lp_;
  for (size_t k = 0; k < start.cols.size(); ++k) {
    const size_t j = size_t(start.cols[k]);
    const HighsVarType type = lp.integrality_.empty() ? HighsVarType::kContinuous : lp.integrality_[j];
    if (integral_only && !integral(type)) continue;
    double v = start.vals[k];
    if (integral(type)) v = std::round(v);
    const bool semi = type == HighsVarType::kSemiContinuous || type == HighsVarType::kSemiInteger;
    const bool zero_allowed = semi && std::fabs(v) <= kStartTolerance;
    if (!zero_allowed && (v < lp.col_lower_[j] - kStartTolerance || v > lp.col_upper_[j] + kStartTolerance))
      return false;
    if (zero_allowed) v = 0.0;
    lp.col_lower_[j] = lp.col_upper_[j] = v;
    // A fixed column needs no integrality; without it a start that fixes
    // every integral column of a quadratic model leaves a QP to solve.
    if ((semi && v == 0.0) || integral(type)) lp.integrality_[j] = HighsVarType::kContinuous;
  }
  sub.setOptionValue("output_flag", false);
  sub.setOptionValue("mip_max_nodes", kCompletionNodes);
  sub.setOptionValue("time_limit", kCompletionSeconds);
  if (sub.passModel(std::move(copy)) == HighsStatus::kError) return false;
  sub.run();
  return true;
}

}  // namespace

StartCompletion complete_mip_start(const HighsModel &model, int user_cols, const MipStart &start) {
  StartCompletion out;
  for (int j : start.cols)
    if (j < 0 || j >= user_cols || j >= model.lp_.num_col_) {
      out.status = MIPSTART_DROPPED;
      return out;
    }
  bool any_continuous = false;
  for (int j : start.cols)
    any_continuous = any_continuous || model.lp_.integrality_.empty() || !integral(model.lp_.integrality_[size_t(j)]);
  for (bool integral_only : {false, true}) {
    if (integral_only && !any_continuous) break;
    Highs sub;
    const bool in_range = fixed_solve(model, start, integral_only, sub);
    if (in_range && sub.getInfo().primal_solution_status == kSolutionStatusFeasible) {
      out.solution = sub.getSolution().col_value;
      out.objective = sub.getInfo().objective_function_value;
      // "As given" needs every column given and no integral value moved by rounding.
      bool as_given = !integral_only && int(start.cols.size()) == user_cols;
      for (size_t k = 0; k < start.cols.size() && as_given; ++k) {
        const HighsVarType t = model.lp_.integrality_.empty() ? HighsVarType::kContinuous
                                                              : model.lp_.integrality_[size_t(start.cols[k])];
        as_given = !integral(t) || std::fabs(start.vals[k] - std::round(start.vals[k])) <= kStartTolerance;
      }
      out.status = as_given ? MIPSTART_FEASIBLE : MIPSTART_COMPLETED;
      return out;
    }
    const bool decided = !in_range || sub.getModelStatus() == HighsModelStatus::kInfeasible;
    out.status = decided ? MIPSTART_INFEASIBLE : MIPSTART_DROPPED;
  }
  return out;
}

namespace {

const char *start_status_text(int status) {
  switch (status) {
    case MIPSTART_FEASIBLE: return "feasible, used as it is";
    case MIPSTART_COMPLETED: return "completed and used";
    case MIPSTART_INFEASIBLE: return "infeasible, not used";
    default: return "dropped";
  }
}

// The registered usersolnotify callbacks learn the start's fate, then any
// in-process listener of the problem record.
void notify(KRVSprob prob, const MipStart &s) {
  notify_user_solution(prob, s.name, s.status);
  if (prob->user_solution_notify) prob->user_solution_notify(prob, s.name, s.status);
}

std::string start_label(const MipStart &s, size_t k) {
  return "MIP start " + (s.name.empty() ? std::to_string(k) : "'" + s.name + "'");
}

}  // namespace

void offer_mip_starts(KRVSprob prob, Highs &highs, int user_cols, const std::function<void(const std::string &)> &log,
                      const std::vector<double> &col_scale) {
  auto &starts = prob->model->mip.mip_starts;
  bool any = false;
  for (const MipStart &s : starts) any = any || s.status == MIPSTART_PENDING;
  if (!any) return;
  const HighsModel model = highs.getModel();
  for (size_t k = 0; k < starts.size(); ++k) {
    MipStart &s = starts[k];
    if (s.status != MIPSTART_PENDING) continue;
    StartCompletion done;
    if (col_scale.empty()) {
      done = complete_mip_start(model, user_cols, s);
    } else {
      MipStart scaled = s;
      for (size_t k = 0; k < scaled.cols.size(); ++k)
        if (scaled.cols[k] >= 0 && size_t(scaled.cols[k]) < col_scale.size())
          scaled.vals[k] /= col_scale[size_t(scaled.cols[k])];
      done = complete_mip_start(model, user_cols, scaled);
    }
    s.status = done.status;
    if (done.status == MIPSTART_FEASIBLE || done.status == MIPSTART_COMPLETED) {
      HighsSolution solution;
      solution.value_valid = true;
      solution.col_value = std::move(done.solution);
      s.objective = done.objective;
      if (highs.setSolution(solution) == HighsStatus::kError) s.status = MIPSTART_DROPPED;
    }
    log(start_label(s, k) + ": " + start_status_text(s.status) +
        (s.status == MIPSTART_FEASIBLE || s.status == MIPSTART_COMPLETED
             ? " (objective " + std::to_string(s.objective) + ")"
             : std::string()));
    notify(prob, s);
  }
}

void drop_mip_starts(KRVSprob prob, const std::function<void(const std::string &)> &log) {
  auto &starts = prob->model->mip.mip_starts;
  for (size_t k = 0; k < starts.size(); ++k) {
    MipStart &s = starts[k];
    if (s.status != MIPSTART_PENDING) continue;
    s.status = MIPSTART_DROPPED;
    log(start_label(s, k) + ": dropped, the model has no discrete entities to start the search from");
    notify(prob, s);
  }
}

}  // namespace krvs
