// Warm starts of the quadratic subproblems of the sequential solver.
//
// HiGHS's active-set QP solver starts, by default, from a vertex that a
// phase-one LP finds from scratch and then walks to the optimum one
// active-set change at a time: on a model of a thousand columns that costs
// hundreds of factorisations per subproblem, although consecutive
// subproblems differ only in the linearisation of the nonlinear rows and
// the box around the new point. Started instead from the current point
// (the step d = 0, always feasible thanks to the elastic columns) with the
// last subproblem's active set, it needs only the few changes the new
// linearisation brings.
#pragma once

#include <lp_data/HStruct.h>

class Highs;
class HighsLp;

namespace krvs::nlp {

class QpWarmStart {
 public:
  // Hands `highs` (holding the subproblem, a QP) a start: the columns
  // [0, first_elastic) at x moved into their bounds, the elastic columns
  // [first_elastic, num_col) (one entry each) at the least values that make
  // their rows hold, and the last remembered basis with every constraint
  // that no longer binds at that point made inactive. False when no start
  // was given (no remembered basis of this shape).
  bool offer(Highs &highs, const double *x, int first_elastic);
  // The solver's solution holds the bounds and rows of its model within
  // tol (relative to 1 + |bound|). A warm-started QP solve can end
  // "optimal" at a point that does not: it must then be solved afresh.
  static bool solution_feasible(const Highs &highs, double tol);
  // Keeps the basis of the subproblem just solved for the next offer.
  void remember(const Highs &highs);
  // Forgets the remembered basis (the next subproblem starts afresh).
  void forget() { basis_.valid = false; }

 private:
  static bool repair_singular(const HighsLp &lp, HighsBasis &basis);
  HighsBasis basis_;
};

}  // namespace krvs::nlp
