// Multistart: the problem's jobs solved as independent SLPs on copies of
// the problem, on worker threads; the best feasible result is kept.
#pragma once

#include <string>

#include "knls.h"

namespace krvs::nlp {

// Solves from the plain start and for every job; the record gets the
// winner's status, solution and objective. Throws krvs::Error when a solve
// cannot run (the first such error, after every worker has stopped).
void run_multistart(KNLSprob prob, const std::string &flags);

}  // namespace krvs::nlp
