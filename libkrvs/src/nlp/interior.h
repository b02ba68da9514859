// A primal-dual interior-point method for continuous nonlinear problems.
#pragma once

#include <string>

#include "knls.h"

namespace krvs::nlp {

// How a solve chose its road (control knls_algorithm): 0 automatic,
// 1 the sequential solver, 2 the interior-point method.
constexpr int kAlgorithmControl = 12422;

// Solves the problem with the road knls_algorithm chooses; the automatic
// choice takes the interior-point method for large continuous problems with
// a substantial nonlinear part and falls back to the sequential solver,
// with a log line, when the interior-point method fails. Sets the status,
// solution and attributes on the record as run_slp does.
void run_nonlinear(KNLSprob prob, const std::string &flags);

// True when the interior-point method can take the problem at all
// (continuous columns, or integers relaxed; no special ordered sets or
// semi-continuous columns kept); the reason in *why otherwise.
bool interior_applicable(KNLSprob prob, const std::string &flags, std::string *why);

}  // namespace krvs::nlp
