// Worker threads of the tree search. Each worker solves nodes with a HiGHS
// instance of its own and hands its node callbacks a problem of its own: a
// problem record that shares the model, the controls and the stored
// branching objects of the problem being solved and keeps the results of
// its own node (the relaxation, the node number) for those callbacks.
#pragma once

#include <functional>

#include "krvs.h"

namespace krvs {

// Workers the threads control asks for: its value, or one per hardware
// thread for 0.
int search_worker_count(KRVSprob prob);

// The problem of worker `index` of a search of `prob`, ready for a new
// search: made on first use and kept with `prob` afterwards (a callback may
// keep the problem object it was handed, so the handle must stay valid).
KRVSprob search_worker_problem(KRVSprob prob, int index);

// After a search: drops what the workers' problems kept of it (their node
// solutions, incumbent copies).
void release_search_worker_results(KRVSprob prob);

// Runs body(0) ... body(count - 1), each on a thread of its own, and
// returns when all have ended. The first exception a body throws (or a
// failure to start a thread) is rethrown here; `on_failure` runs on the
// failing thread first so that the search can tell the others to stop.
void run_worker_threads(int count, const std::function<void(int)> &body, const std::function<void()> &on_failure);

}  // namespace krvs
