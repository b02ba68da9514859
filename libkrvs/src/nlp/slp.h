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
// as MIPs); otherwise they are relaxed. start_events false: the solve's
// construct and start events were raised already (by another road that
// handed the problem over).
void run_slp(KNLSprob prob, const std::string &flags, bool start_events = true);

class PointEvaluator;
// The determined columns in the order they are recomputed: the order set
// by KNLScascadeorder, else a fresh one.
std::vector<int> cascade_order_in_use(KNLSprob prob);
// Recomputes the determined columns of x in the given order from their
// rows, raising the cascade events. True when the solve is to stop.
bool cascade_point(KNLSprob prob, PointEvaluator &eval, const std::vector<int> &order, std::vector<double> &x);

}  // namespace krvs::nlp
