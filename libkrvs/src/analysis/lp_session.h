// A quiet HiGHS instance over the continuous part of a problem's model, for
// the analysis functions (ranging, rays, strong branching, infeasibility
// isolation, repair). It never touches the problem's solve results; callers
// decide what to keep.
#pragma once

#include <string>
#include <vector>

#include "Highs.h"
#include "core/problem.h"
#include "model/model.h"

namespace krvs::analysis {

// Options shared by every analysis solve: no log, the problem's tolerances
// and time limit, presolve off (rays, ranging and bases refer to the model
// as given), the dual simplex unless a caller asks otherwise, and the thread
// count of the scheduler already running on this thread.
void quiet_options(Highs &highs, const ControlValues &controls);

class LpSession {
 public:
  // The continuous relaxation of the model: integrality, sets and indicator
  // rows dropped; the user's rows and columns only.
  explicit LpSession(KRVSprob prob);
  // A model built by the caller (for subsystems and elastic models).
  LpSession(KRVSprob prob, HighsModel model);

  Highs &highs() { return highs_; }
  // Sets the basis of the problem's last LP solve when it fits this model;
  // true when it was accepted.
  bool warm_start(KRVSprob prob);
  // Runs HiGHS; throws Error when HiGHS fails outright. A run that ends
  // undecided (numerical trouble: status unknown) is repeated from scratch,
  // then with tolerances ten times tighter, then with the primal simplex;
  // the options are restored afterwards.
  HighsModelStatus run(const char *what);

 private:
  Highs highs_;
};

// The simplex basis of the last LP solve must be current and optimal, and
// the model continuous and linear; otherwise an Error naming `fn` and what
// is missing.
void require_optimal_lp(KRVSprob prob, const char *fn);

bool has_quadratic_rows(const Model &m);

// HiGHS infinities back to the engine's 1e20.
inline double engine_value(double v) {
  if (v >= KRVS_INFINITY) return KRVS_INFINITY;
  if (v <= -KRVS_INFINITY) return -KRVS_INFINITY;
  return v;
}

}  // namespace krvs::analysis
