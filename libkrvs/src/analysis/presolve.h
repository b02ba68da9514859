// The presolved problem an LP solve may keep (flag 'k' of KRVSlpoptimize):
// HiGHS's presolve of the LP, kept as an engine problem of its own with the
// solution and basis of its solve, the maps from its rows and columns to
// the original ones, and HiGHS's postsolve record. It is kept until the
// next solve, KRVSpostsolve, or any change of the model.
#pragma once

#include <string>

#include "core/guard.h"
#include "krvs.h"

namespace krvs::analysis {

struct PresolvedProblem;

// The kept presolved problem, or null when none is kept (or the model has
// changed since it was made, which drops it).
PresolvedProblem *kept_presolve(KRVSprob prob);
// The kept presolved problem as an engine problem (its model, LP solution
// and basis in its own indices), or null.
KRVSprob presolved_handle(KRVSprob prob);
void drop_presolve(KRVSprob prob);

// The text of a problem's last error.
std::string last_error_of(KRVSprob handle);

// Runs call(handle) on the kept presolved problem when there is one, its
// error raised (as an Error) for the caller; false when none is kept.
template <class Call>
bool on_presolved(KRVSprob prob, Call &&call) {
  KRVSprob handle = presolved_handle(prob);
  if (!handle) return false;
  if (call(handle) != 0) throw Error(last_error_of(handle));
  return true;
}

// True when flags ask for the presolved problem to be kept; rest receives
// the other flags.
bool wants_kept_presolve(const char *flags, std::string &rest);
// The LP solve that keeps the presolved problem: presolve, a solve of the
// presolved LP under the problem's controls, postsolve into the problem's
// LP solution and basis.
void presolve_and_solve(KRVSprob prob, const std::string &flags);

// Refuses (an Error naming fn) calls that read the original problem's basis
// positions while a presolved problem is kept.
void refuse_while_presolved(KRVSprob prob, const char *fn);

}  // namespace krvs::analysis
