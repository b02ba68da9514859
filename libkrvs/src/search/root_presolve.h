// HiGHS's MIP presolve of the search's root model. The search then works on
// the reduced model, and every solution it accepts is turned back into one
// of the original columns by HiGHS's postsolve.
//
// Presolve keeps an optimal solution but may drop other feasible ones (dual
// reductions), and the reduced model has other columns and rows. So the
// search presolves only when nothing needs the original columns at the
// nodes or may refuse a solution presolve kept: no node callbacks, no
// branching objects or directives, no held-back rows, no pending MIP
// starts, no semi-continuous columns and a linear objective.
#pragma once

#include <vector>

#include "Highs.h"

namespace krvs {

class RootPresolve {
 public:
  // Presolves `model` (a discrete HiGHS model); true when it was reduced
  // to a model the search can use, which reduced() then gives.
  bool run(const HighsModel &model, double time_limit);
  const HighsModel &reduced() const { return highs_.getPresolvedModel(); }
  // The original columns' values of a solution of the reduced model
  // (its leading entries; cut rows after the reduced model's are ignored).
  // False when postsolve fails.
  bool restore(const std::vector<double> &reduced_x, std::vector<double> &original_x);

 private:
  Highs highs_;
};

}  // namespace krvs
