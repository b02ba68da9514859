#include "slp_subproblem.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace krvs::nlp {

namespace {

// Rows plus columns from which an LP without a basis goes to the interior
// point method: below it the dual simplex from the slack basis is as fast.
constexpr HighsInt kInteriorPointSize = 4000;

bool is_integral(const HighsLp &lp, HighsInt j) {
  return !lp.integrality_.empty() && lp.integrality_[size_t(j)] != HighsVarType::kContinuous;
}

bool same_hessian(const HighsHessian &a, const HighsHessian &b) {
  return a.dim_ == b.dim_ && a.format_ == b.format_ && a.start_ == b.start_ && a.index_ == b.index_ &&
         a.value_ == b.value_;
}

}  // namespace

SlpSubproblem::SlpSubproblem() {
  highs_.setOptionValue("output_flag", false);
  highs_.setOptionValue("threads", 1);
  // An interrupt also stops a long subproblem, not only the next iteration.
  highs_.setCallback(
      [this](int type, const std::string &, const HighsCallbackOutput *, HighsCallbackInput *in, void *) {
        if (in && (type == kCallbackSimplexInterrupt || type == kCallbackIpmInterrupt || type == kCallbackMipInterrupt) &&
            stop_ && stop_())
          in->user_interrupt = true;
      },
      nullptr);
  for (int type : {kCallbackSimplexInterrupt, kCallbackIpmInterrupt, kCallbackMipInterrupt}) highs_.startCallback(type);
}

bool SlpSubproblem::load(HighsModel &&model) {
  if (loaded_ && change_in_place(model)) {
    ++counts_.changed;
    return true;
  }
  highs_.clearModel();
  basis_is_lps_ = false;
  weights_lost_ = true;
  loaded_ = highs_.passModel(std::move(model)) != HighsStatus::kError;
  if (loaded_) ++counts_.passed;
  return loaded_;
}

// Everything is compared before anything changes; false (the model to be
// passed whole) when the shapes differ, when too many coefficients moved,
// or when HiGHS refuses a change.
bool SlpSubproblem::change_in_place(HighsModel &model) {
  const HighsModel &held = highs_.getModel();
  const HighsLp &now = held.lp_;
  const HighsLp &lp = model.lp_;
  const HighsInt ncols = lp.num_col_, nrows = lp.num_row_;
  if (now.num_col_ != ncols || now.num_row_ != nrows || now.sense_ != lp.sense_ || now.offset_ != lp.offset_ ||
      now.a_matrix_.format_ != MatrixFormat::kColwise || lp.a_matrix_.format_ != MatrixFormat::kColwise ||
      now.col_cost_.size() != size_t(ncols) || lp.col_cost_.size() != size_t(ncols) ||
      lp.col_lower_.size() != size_t(ncols) || lp.col_upper_.size() != size_t(ncols) ||
      lp.row_lower_.size() != size_t(nrows) || lp.row_upper_.size() != size_t(nrows) ||
      lp.a_matrix_.start_.size() != size_t(ncols) + 1)
    return false;
  for (HighsInt j = 0; j < ncols; ++j)
    if (is_integral(now, j) != is_integral(lp, j)) return false;

  // The matrix, column by column. HiGHS drops entries no larger than its
  // small-value tolerance; such an entry counts as absent.
  const double small = highs_.getOptions().small_matrix_value;
  const HighsSparseMatrix &a_now = now.a_matrix_, &a_new = lp.a_matrix_;
  row_mark_.assign(size_t(nrows), 0);
  coef_changes_.clear();
  const size_t most_moves = std::max<size_t>(64, size_t(a_new.start_[size_t(ncols)]) / 8);
  size_t moved = 0;  // coefficients that enter or leave the matrix
  for (HighsInt j = 0; j < ncols; ++j) {
    const HighsInt os = a_now.start_[size_t(j)], oe = a_now.start_[size_t(j) + 1];
    const HighsInt ns = a_new.start_[size_t(j)], ne = a_new.start_[size_t(j) + 1];
    const bool same_pattern =
        oe - os == ne - ns && std::equal(a_now.index_.begin() + os, a_now.index_.begin() + oe, a_new.index_.begin() + ns);
    if (same_pattern) {
      for (HighsInt k = 0; k < ne - ns; ++k) {
        const double v = a_new.value_[size_t(ns + k)];
        if (v != a_now.value_[size_t(os + k)])
        {
          coef_changes_.push_back({a_new.index_[size_t(ns + k)], j, std::fabs(v) <= small ? 0.0 : v});
          if (std::fabs(v) <= small) ++moved;
        }
      }
    } else {
      for (HighsInt k = os; k < oe; ++k) row_mark_[size_t(a_now.index_[size_t(k)])] = int64_t(k) + 1;
      for (HighsInt k = ns; k < ne; ++k) {
        const HighsInt r = a_new.index_[size_t(k)];
        if (r < 0 || r >= nrows) return false;
        double v = a_new.value_[size_t(k)];
        if (std::fabs(v) <= small) v = 0.0;
        const int64_t mark = row_mark_[size_t(r)];
        const double old = mark > 0 ? a_now.value_[size_t(mark - 1)] : 0.0;
        if (v != old) {
          coef_changes_.push_back({r, j, v});
          if (v == 0.0 || old == 0.0) ++moved;
        }
        row_mark_[size_t(r)] = -1;  // seen
      }
      for (HighsInt k = os; k < oe; ++k) {
        const HighsInt r = a_now.index_[size_t(k)];
        if (row_mark_[size_t(r)] > 0) {
          coef_changes_.push_back({r, j, 0.0});
          ++moved;
        }
        row_mark_[size_t(r)] = 0;
      }
      for (HighsInt k = ns; k < ne; ++k) row_mark_[size_t(a_new.index_[size_t(k)])] = 0;
    }
    if (moved > most_moves) return false;
  }

  auto changed_entries = [&](const std::vector<double> &held_lo, const std::vector<double> &held_hi,
                             const std::vector<double> &lo, const std::vector<double> &hi, HighsInt count) {
    set_.clear();
    lower_.clear();
    upper_.clear();
    for (HighsInt i = 0; i < count; ++i)
      if (held_lo[size_t(i)] != lo[size_t(i)] || held_hi[size_t(i)] != hi[size_t(i)]) {
        set_.push_back(i);
        lower_.push_back(lo[size_t(i)]);
        upper_.push_back(hi[size_t(i)]);
      }
  };
  changed_entries(now.col_cost_, now.col_cost_, lp.col_cost_, lp.col_cost_, ncols);
  if (!set_.empty() &&
      highs_.changeColsCost(HighsInt(set_.size()), set_.data(), lower_.data()) == HighsStatus::kError)
    return false;
  changed_entries(now.col_lower_, now.col_upper_, lp.col_lower_, lp.col_upper_, ncols);
  if (!set_.empty() && highs_.changeColsBounds(HighsInt(set_.size()), set_.data(), lower_.data(), upper_.data()) ==
                           HighsStatus::kError)
    return false;
  changed_entries(now.row_lower_, now.row_upper_, lp.row_lower_, lp.row_upper_, nrows);
  if (!set_.empty() && highs_.changeRowsBounds(HighsInt(set_.size()), set_.data(), lower_.data(), upper_.data()) ==
                           HighsStatus::kError)
    return false;
  for (const CoefChange &c : coef_changes_)
    if (highs_.changeCoeff(c.row, c.col, c.value) == HighsStatus::kError) return false;
  if (!coef_changes_.empty()) weights_lost_ = true;
  counts_.coefficients += int64_t(coef_changes_.size());

  // The curvature changes with the point and the multipliers: it is handed
  // over whenever it differs; a linear subproblem after a quadratic one
  // drops it.
  if (model.hessian_.dim_ > 0) {
    if (!same_hessian(held.hessian_, model.hessian_) &&
        highs_.passHessian(std::move(model.hessian_)) == HighsStatus::kError)
      return false;
  } else if (held.hessian_.dim_ > 0) {
    if (highs_.passHessian(HighsHessian()) == HighsStatus::kError) return false;
  }
  return true;
}

bool SlpSubproblem::lp_basis_fits() const {
  const HighsLp &lp = highs_.getLp();
  return lp_basis_.valid && lp_basis_.col_status.size() == size_t(lp.num_col_) &&
         lp_basis_.row_status.size() == size_t(lp.num_row_);
}

HighsModelStatus SlpSubproblem::run(double time_limit, bool warm) {
  const HighsModel &held = highs_.getModel();
  const bool qp = held.hessian_.dim_ > 0;
  const bool mip = held.lp_.isMip();
  bool interior = false, from_basis = false;
  if (!qp && !mip) {
    if (basis_is_lps_ && highs_.getBasis().valid) {
      from_basis = true;
    } else if (lp_basis_fits()) {
      highs_.setBasis(lp_basis_);
      from_basis = true;
    } else {
      highs_.setBasis();
      interior = held.lp_.num_col_ + held.lp_.num_row_ >= kInteriorPointSize;
    }
  } else if (qp && !warm) {
    highs_.setBasis();
  }
  highs_.setOptionValue("time_limit", time_limit);
  // From a basis whose factorisation went with a changed coefficient (or a
  // new model), the dual simplex would first compute the exact steepest-edge
  // weights, one backward solve per row: on a banded model that is
  // quadratic in its size and dwarfs the few iterations the subproblem
  // needs. Devex weights start at one.
  const bool devex = from_basis && weights_lost_;
  highs_.setOptionValue("simplex_dual_edge_weight_strategy", devex ? 1 : -1);
  highs_.setOptionValue("solver", interior ? "ipm" : "choose");
  if (interior) highs_.setOptionValue("run_crossover", "on");
  highs_.run();
  HighsModelStatus status = highs_.getModelStatus();
  if (interior) {
    highs_.setOptionValue("solver", "choose");
    if ((status != HighsModelStatus::kOptimal || !highs_.getBasis().valid) && !(stop_ && stop_())) {
      // The interior point method did not end at an optimal vertex: the
      // simplex method decides.
      highs_.setBasis();
      highs_.run();
      status = highs_.getModelStatus();
    }
  }
  basis_is_lps_ = !qp && !mip && highs_.getBasis().valid;
  weights_lost_ = false;
  if (basis_is_lps_ && status == HighsModelStatus::kOptimal) lp_basis_ = highs_.getBasis();
  return status;
}

void SlpSubproblem::forget_basis() {
  lp_basis_ = HighsBasis();
  basis_is_lps_ = false;
  if (loaded_) highs_.setBasis();
}

}  // namespace krvs::nlp
