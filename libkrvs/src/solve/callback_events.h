// The optimizer callback events that both MIP roads raise (HiGHS's MIP and
// the engine's own search): log lines, time checks, gap notification and
// solutions given by the user.
#pragma once

#include <chrono>
#include <string>

#include "core/callbacks.h"
#include "krvs.h"

namespace krvs {

// Calls the int-returning callbacks of a kind (lplog, barlog, globallog,
// cutlog, checktime); true when one of them asks to stop, in which case the
// problem's interrupt reason is set to the user's stop.
bool raise_stop_event(KRVSprob prob, CallbackKind kind);

// checktime at most every `period` (the first time at once).
class TimeCheck {
 public:
  explicit TimeCheck(double period_seconds = 0.01) : period_(period_seconds) {}
  // True when a checktime callback asks to stop.
  bool poll(KRVSprob prob);

 private:
  double period_;
  bool started_ = false;
  std::chrono::steady_clock::time_point last_;
};

// The gapnotify targets of a solve, taken from the controls when it starts
// and replaced by what the callbacks return. A target that fired is off
// afterwards unless a callback sets a new one.
class GapNotify {
 public:
  void load(KRVSprob prob);
  // primal: incumbent objective (infinite without one), dual: best bound,
  // both in the user's sense (sense 1 minimise, -1 maximise).
  void check(KRVSprob prob, double primal, double dual, int sense);

 private:
  double rel_ = -1, abs_ = -1, obj_ = 1e20, bound_ = 1e20;
};

// True when the incumbent and bound satisfy the miprelstop and mipabsstop
// controls as they stand now (a callback may have changed them).
bool gap_reached(KRVSprob prob, double primal, double dual);

// Tells the usersolnotify callbacks what became of a solution the user gave
// (a MIP start): status as defined by whoever loads the solution.
void notify_user_solution(KRVSprob prob, const std::string &name, int status);

}  // namespace krvs
