// The sequential solver's subproblem, kept in one HiGHS instance.
//
// Consecutive subproblems differ in little: the linearised coefficients of
// the curved rows, the objective's gradient, the step box around the new
// point and the right-hand sides the linearisations move. Handing HiGHS a
// new model for each of them throws away its factorisation and its dual
// steepest-edge weights, whose recomputation (one backward solve per row)
// costs more than the handful of simplex iterations the new subproblem
// needs. The kept instance is changed in place instead: every array of the
// new subproblem is compared with HiGHS's copy and only what differs is
// changed, so that HiGHS keeps its basis. The comparison covers the whole
// model, which lets the instance outlive a solve: the next solve of the
// same problem starts from the last basis whatever changed in between.
#pragma once

#include <Highs.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace krvs::nlp {

class SlpSubproblem {
 public:
  SlpSubproblem();
  SlpSubproblem(const SlpSubproblem &) = delete;
  SlpSubproblem &operator=(const SlpSubproblem &) = delete;

  // The test that interrupts a running subproblem (empty: never).
  void set_stop_test(std::function<bool()> stop) { stop_ = std::move(stop); }
  const std::function<bool()> &stop_test() const { return stop_; }

  // Makes `model` HiGHS's model: in place when it has HiGHS's shape and
  // integrality and few of its coefficients moved in or out of the matrix
  // (each such change shifts HiGHS's arrays), otherwise by passing it
  // whole. False when HiGHS refuses the model (nothing then stays loaded).
  bool load(HighsModel &&model);

  // Solves the loaded model. An LP starts from HiGHS's basis when it is
  // one of an LP (kept through the in-place changes), else from the last
  // LP basis of this shape; without either, a large LP is solved by the
  // interior point method with crossover, which on the models this solver
  // meets needs a fraction of the dual simplex's time from the slack
  // basis. A QP is left to the caller's warm start (`warm`) or starts
  // afresh.
  HighsModelStatus run(double time_limit, bool warm);

  // The next LP starts without a basis (after numerical trouble).
  void forget_basis();

  Highs &highs() { return highs_; }

  // What the loads did, for the solver's closing statistics.
  struct Counts {
    int64_t passed = 0;         // models handed over whole
    int64_t changed = 0;        // models changed in place
    int64_t coefficients = 0;   // coefficients changed in place
  };
  const Counts &counts() const { return counts_; }

 private:
  bool change_in_place(HighsModel &model);
  bool lp_basis_fits() const;

  Highs highs_;
  std::function<bool()> stop_;
  bool loaded_ = false;
  // HiGHS's current basis is an LP's (not a QP's active set, not lost).
  bool basis_is_lps_ = false;
  bool weights_lost_ = true;
  HighsBasis lp_basis_;  // the last LP's optimal basis
  Counts counts_;
  // Scratch of the matrix comparison: per row, the position + 1 of the
  // row's entry in the column being compared (0: none).
  std::vector<int64_t> row_mark_;
  struct CoefChange {
    HighsInt row, col;
    double value;
  };
  std::vector<CoefChange> coef_changes_;
  std::vector<HighsInt> set_;
  std::vector<double> lower_, upper_, cost_;
};

}  // namespace krvs::nlp
