// The sequential linear programming solver.
#pragma once

#include <string>
#include <vector>

#include "knls.h"

namespace krvs::nlp {

// The start point: each column's initial value when one was given, else 0
// moved into the column's bounds.
std::vector<double> start_point(KNLSprob prob);

// The last solution when there is one for the current columns, else the
// start point.
std::vector<double> current_point(KNLSprob prob);

// Solves the problem; sets the status, solution, objective value, iteration
// count and solve time on the record. Throws krvs::Error when the solve
// cannot run (bad input, an evaluation that fails at the start point or a
// user function that fails).
// flags: 'g' keeps integer columns integer (the linearisations are solved
// as MIPs); otherwise they are relaxed.
void run_slp(KNLSprob prob, const std::string &flags);

}  // namespace krvs::nlp
