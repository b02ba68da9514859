#include "solve/callback_events.h"

#include <cmath>

#include "core/problem.h"
#include "solve/solve_state.h"

namespace krvs {

bool raise_stop_event(KRVSprob prob, CallbackKind kind) {
  bool stop = false;
  for (const CallbackEntry &e : prob->callbacks.snapshot(kind))
    if (reinterpret_cast<int (*)(KRVSprob, void *)>(e.fn)(prob, e.data) != 0) stop = true;
  if (stop) {
    int none = 0;
    prob->interrupt_reason.compare_exchange_strong(none, STOP_USER);
  }
  return stop;
}

bool TimeCheck::poll(KRVSprob prob) {
  if (!prob->callbacks.any(CB_CHECKTIME)) return false;
  const auto now = std::chrono::steady_clock::now();
  if (started_ && std::chrono::duration<double>(now - last_).count() < period_) return false;
  started_ = true;
  last_ = now;
  return raise_stop_event(prob, CB_CHECKTIME);
}

void GapNotify::load(KRVSprob prob) {
  rel_ = prob->controls.get_double(CTRL_7401);
  abs_ = prob->controls.get_double(CTRL_7402);
  obj_ = prob->controls.get_double(CTRL_7403);
  bound_ = prob->controls.get_double(CTRL_7404);
}

void GapNotify::check(KRVSprob prob, double primal, double dual, int sense) {
  if (!prob->callbacks.any(CB_GAPNOTIFY)) return;
  if (!std::isfinite(primal) || std::fabs(primal) >= 1e20) primal = NAN;
  const double gap = std::fabs(primal - dual);
  const double rel = gap / std::max(std::fabs(primal), 1e-10);
  // NaN comparisons are false: nothing fires on a missing incumbent.
  bool fired = false;
  if (rel_ >= 0 && rel <= rel_) fired = true, rel_ = -1;
  if (abs_ >= 0 && gap <= abs_) fired = true, abs_ = -1;
  if (std::fabs(obj_) < 1e20 && (sense > 0 ? primal <= obj_ : primal >= obj_)) fired = true, obj_ = 1e20;
  if (std::fabs(bound_) < 1e20 && std::isfinite(dual) && (sense > 0 ? dual >= bound_ : dual <= bound_))
    fired = true, bound_ = 1e20;
  if (!fired) return;
  for (const CallbackEntry &e : prob->callbacks.snapshot(CB_GAPNOTIFY))
    reinterpret_cast<KRVScbgapnotify_fn>(e.fn)(prob, e.data, &rel_, &abs_, &obj_, &bound_);
}

bool gap_reached(KRVSprob prob, double primal, double dual) {
  if (!std::isfinite(primal) || std::fabs(primal) >= 1e20 || !std::isfinite(dual)) return false;
  const double gap = std::fabs(primal - dual);
  return gap <= prob->controls.get_double(CTRL_7003) ||
         gap / std::max(std::fabs(primal), 1e-10) <= prob->controls.get_double(CTRL_7002);
}

void notify_user_solution(KRVSprob prob, const std::string &name, int status) {
  call_each<KRVScbusersolnotify_fn>(prob->callbacks, CB_USERSOLNOTIFY, prob, name.c_str(), status);
}

}  // namespace krvs
