// Reduced-cost fixing: with an optimal relaxation of objective z, reduced
// costs d (minimisation form) and an incumbent limit U, every solution in
// the relaxation's domain with objective below U keeps an integer column j
// that sits at its lower bound l (d_j > 0) within l + (U - z) / d_j, and one
// at its upper bound u (d_j < 0) within u - (U - z) / -d_j. Valid wherever
// that relaxation's domain is: at a node for its subtree, at the root for
// the whole search.
#pragma once

#include <vector>

#include "Highs.h"

namespace krvs {

struct TightenedBound {
  int col;
  double lower, upper;
};

// The bounds reduced-cost fixing tightens. x, d, lower and upper are over
// the relaxation's columns; `limit` is the objective a solution must stay
// below (minimisation form), `objective` the relaxation's; `tol` the
// integrality tolerance.
std::vector<TightenedBound> reduced_cost_fixings(const std::vector<HighsVarType> &integrality,
                                                 const std::vector<double> &lower, const std::vector<double> &upper,
                                                 const std::vector<double> &x, const std::vector<double> &d,
                                                 double objective, double limit, double tol);

}  // namespace krvs
