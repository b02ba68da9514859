// Solving a problem with HiGHS and keeping the results in its SolveState.
#pragma once

#include "krvs.h"

namespace krvs {

enum class SolveRequest {
  Lp,   // KRVSlpoptimize: the LP (or QP) relaxation of the model
  Mip,  // KRVSmipoptimize: every discrete entity enforced
};

// Runs one solve; throws Error for a failing return (the statuses are set
// before it throws where the outcome has a status of its own, e.g. a
// non-convex objective gives LP status 8).
void optimize(KRVSprob prob, const char *flags, SolveRequest request);

}  // namespace krvs
