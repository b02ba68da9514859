// Convex quadratically constrained problems for the optimizer's own solve:
// HiGHS takes no quadratic rows, so they are solved by the nonlinear
// solver's machinery (linearisations with a curvature term; for a convex
// problem its local optimum is the optimum).
#pragma once

#include "krvs.h"

namespace krvs {
struct SolveState;

namespace nlp {

// When the problem has quadratic rows and every one of them (and the
// quadratic objective) is convex, solves it, fills the LP (or, with
// `discrete`, the MIP) results of `state` and returns true. Returns false,
// leaving everything untouched, when there are no quadratic rows or one of
// them is not convex (the caller then refuses the problem).
bool solve_convex_qcqp(KRVSprob prob, bool discrete, SolveState &state);

}  // namespace nlp
}  // namespace krvs
