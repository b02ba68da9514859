// The engine's own branch-and-bound search over HiGHS relaxations: LP
// relaxations warm-started from the parent's basis, or QP relaxations for a
// convex quadratic objective (how MIQP is solved). It serves what HiGHS's
// MIP cannot: the node-level callbacks (prenode, optnode, newnode,
// nodecutoff, infnode, preintsol, cutlog) and quadratic objectives with
// discrete columns. With one thread it is deterministic.
#pragma once

#include <functional>
#include <string>

#include "krvs.h"

namespace krvs {

class Model;

// True when a MIP solve of the problem must go through the search: a
// node-level callback is registered, the treesearch control asks for it,
// or the objective is quadratic.
bool tree_search_wanted(KRVSprob prob, bool quadratic);

// Solves the problem's discrete model; results go to the problem's
// SolveState like those of HiGHS's MIP. `log` writes one line.
void run_tree_search(KRVSprob prob, const std::function<void(const std::string &)> &log);

}  // namespace krvs
