// Global optimisation of small non-convex nonlinear problems by spatial
// branch and bound.
#pragma once

#include "knls.h"

namespace krvs::nlp {

// Solves the problem to global optimality within the global gap controls:
// lower bounds from convex relaxations (interval bounds of every operator,
// McCormick envelopes of products and quotients, tangents and secants of
// convex and concave functions) solved as linear programs, upper bounds
// from SLP runs started at the relaxations' solutions, branching on
// integer and continuous columns. Sets the status (globally optimal,
// infeasible, or locally optimal / unfinished when a limit stopped it),
// the solution and the node attributes. Throws krvs::Error for a formula
// it cannot bound (user functions, piecewise linear functions) or a column
// of a nonlinear term without finite bounds.
void run_global(KNLSprob prob);

}  // namespace krvs::nlp
