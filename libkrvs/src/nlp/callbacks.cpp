// Registration and raising of the nonlinear solver's events.
#include "callbacks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/messages.h"
#include "core/problem.h"
#include "nlp_guard.h"
#include "nlp_problem.h"
#include "solve/solve_state.h"

using namespace krvs;
using namespace krvs::nlp;

namespace krvs::nlp {

void callback_add(KNLSprob prob, CallbackKind kind, AnyCallback fn, void *data) {
  if (!fn) throw Error("Null callback function");
  std::lock_guard<std::mutex> lock(prob->callbacks.list_mutex);
  prob->callbacks.kind[kind].push_back(CallbackRegistration{fn, data});
}

void callback_remove(KNLSprob prob, CallbackKind kind, AnyCallback fn, void *data) {
  std::lock_guard<std::mutex> lock(prob->callbacks.list_mutex);
  auto &list = prob->callbacks.kind[kind];
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const CallbackRegistration &r) {
                              return (!fn || r.fn == fn) && (!data || r.data == data);
                            }),
             list.end());
}

namespace {

CallbackLists &registrations_of(KNLSprob prob) {
  return prob->callbacks.forward_to ? prob->callbacks.forward_to->callbacks : prob->callbacks;
}

// A registration may add or remove registrations while it runs: the
// event goes to those present when it was raised.
template <class Fn, class Call>
void for_each_registration(KNLSprob prob, CallbackKind kind, Call &&call) {
  CallbackLists &lists = registrations_of(prob);
  std::vector<CallbackRegistration> regs;
  {
    std::lock_guard<std::mutex> lock(lists.list_mutex);
    if (lists.kind[kind].empty()) return;
    regs = lists.kind[kind];
  }
  std::lock_guard<std::recursive_mutex> one_at_a_time(lists.event_mutex);
  for (const CallbackRegistration &r : regs) call(reinterpret_cast<Fn>(r.fn), r.data);
}

}  // namespace

bool listening(KNLSprob prob, CallbackKind kind) {
  CallbackLists &lists = registrations_of(prob);
  std::lock_guard<std::mutex> lock(lists.list_mutex);
  return !lists.kind[kind].empty();
}

bool fire(KNLSprob prob, CallbackKind kind) {
  bool nonzero = false;
  for_each_registration<KNLScallback_fn>(prob, kind, [&](KNLScallback_fn fn, void *data) {
    if (fn(prob, data) != 0) nonzero = true;
  });
  return nonzero;
}

bool fire_column(KNLSprob prob, CallbackKind kind, int col) {
  bool nonzero = false;
  for_each_registration<KNLScolcallback_fn>(prob, kind, [&](KNLScolcallback_fn fn, void *data) {
    if (fn(prob, data, col) != 0) nonzero = true;
  });
  return nonzero;
}

bool fire_coefevalerror(KNLSprob prob, int row, int col) {
  bool nonzero = false;
  for_each_registration<KNLScoefcallback_fn>(prob, NLCB_COEFEVALERROR, [&](KNLScoefcallback_fn fn, void *data) {
    if (fn(prob, data, row, col) != 0) nonzero = true;
  });
  return nonzero;
}

void fire_drcol(KNLSprob prob, int col, double *value, double lb, double ub) {
  for_each_registration<KNLSdrcolcallback_fn>(prob, NLCB_DRCOL, [&](KNLSdrcolcallback_fn fn, void *data) {
    double v = *value;
    fn(prob, data, col, &v, lb, ub);
    // A value that is not a number or lies outside the bounds is brought
    // back: the column must stay within its bounds.
    if (std::isfinite(v)) *value = std::min(std::max(v, lb), ub);
  });
}

int fire_job(KNLSprob prob, CallbackKind kind, void *job_object, const std::string &description) {
  int status = 0;
  for_each_registration<KNLSjobcallback_fn>(prob, kind, [&](KNLSjobcallback_fn fn, void *data) {
    int s = 0;
    fn(prob, data, job_object, description.c_str(), &s);
    if (s != 0) status = s;
  });
  return status;
}

bool fire_node(KNLSprob prob, CallbackKind kind) {
  bool infeasible = false;
  for_each_registration<KNLSnodecallback_fn>(prob, kind, [&](KNLSnodecallback_fn fn, void *data) {
    int flag = 0;
    fn(prob, data, &flag);
    if (flag != 0) infeasible = true;
  });
  return infeasible;
}

void nlp_log(KNLSprob prob, const std::string &line, int msgtype) {
  // Either switch silences the written log: the optimizer's outputlog is
  // the one a user turns off for the whole solve.
  if (prob->controls.get_int(12403) != 0 && prob->optprob->controls.get_int(8035) != 0) {
    if (prob->message_fn)
      prob->message_fn(prob, prob->message_data, line.c_str(), int(line.size()), msgtype);
    else
      emit_problem(prob->optprob, line, msgtype, MSGCODE_NONLINEAR);
  }
  fire_message(prob, line, msgtype);
}

void fire_message(KNLSprob prob, const std::string &line, int msgtype) {
  for_each_registration<KNLSmessage_fn>(prob, NLCB_MESSAGE, [&](KNLSmessage_fn fn, void *data) {
    fn(prob, data, line.c_str(), int(line.size()), msgtype);
  });
}

void log_unfinished(KNLSprob prob, int limit_reached, bool failed, double max_violation, double last_step) {
  char where[120], step[40];
  if (limit_reached == STOP_ITERLIMIT)
    snprintf(where, sizeof where, "at its iteration limit of %lld", (long long)prob->controls.get_int(12402));
  else if (limit_reached == STOP_TIMELIMIT)
    snprintf(where, sizeof where, "at its time limit of %g s", prob->controls.get_double(12404));
  else if (failed)
    snprintf(where, sizeof where, "on a numerical failure");
  else
    snprintf(where, sizeof where, "on request");
  if (last_step >= 0)
    snprintf(step, sizeof step, "%.3g", last_step);
  else
    snprintf(step, sizeof step, "none taken");
  const char *hint = limit_reached == STOP_ITERLIMIT   ? "; raise knls_iterlimit to continue"
                     : limit_reached == STOP_TIMELIMIT ? "; raise knls_timelimit to continue"
                                                       : "";
  char line[320];
  snprintf(line, sizeof line, "Nonlinear solve stopped %s before converging: largest violation %.3g, last step %s%s",
           where, max_violation, step, hint);
  nlp_log(prob, line, MSG_INFO);
}

void log_finished_and_end(KNLSprob prob, int status, int iterations) {
  static const char *names[] = {"unstarted", "locally optimal", "globally optimal", "locally infeasible",
                                "infeasible", "unbounded", "unfinished"};
  char line[160];
  snprintf(line, sizeof line, "Nonlinear solve finished: %s, objective %.12g, %d iterations", names[status],
           prob->objective_value, iterations);
  nlp_log(prob, line, MSG_INFO);
  fire(prob, NLCB_SLPEND);
  fire(prob, NLCB_DESTROY);
}

bool stop_asked(KNLSprob prob) {
  return prob->interrupt_reason.load() != 0 || prob->optprob->interrupt_reason.load() != 0 ||
         (prob->origin && prob->origin->interrupt_reason.load() != 0);
}

bool fire_iteration_end(KNLSprob prob, const std::vector<int> &nl_cols) {
  const bool stop = fire(prob, NLCB_ITEREND);
  if (listening(prob, NLCB_ITERVAR))
    for (int j : nl_cols) fire_column(prob, NLCB_ITERVAR, j);
  return stop;
}

}  // namespace krvs::nlp

#define KNLS_CALLBACK_PAIR(name, K, type)                                                           \
  int KNLSaddcb##name(KNLSprob nlprob, type fn, void *user_data) noexcept {                        \
    return guard_nlp(nlprob, [&] { callback_add(nlprob, K, reinterpret_cast<AnyCallback>(fn), user_data); }); \
  }                                                                                                \
  int KNLSremovecb##name(KNLSprob nlprob, type fn, void *user_data) noexcept {                     \
    return guard_nlp(nlprob, [&] { callback_remove(nlprob, K, reinterpret_cast<AnyCallback>(fn), user_data); }); \
  }

extern "C" {
KNLS_CALLBACK_PAIR(cascadeend, NLCB_CASCADEEND, KNLScallback_fn)
KNLS_CALLBACK_PAIR(cascadestart, NLCB_CASCADESTART, KNLScallback_fn)
KNLS_CALLBACK_PAIR(cascadevar, NLCB_CASCADEVAR, KNLScolcallback_fn)
KNLS_CALLBACK_PAIR(cascadevarfail, NLCB_CASCADEVARFAIL, KNLScolcallback_fn)
KNLS_CALLBACK_PAIR(coefevalerror, NLCB_COEFEVALERROR, KNLScoefcallback_fn)
KNLS_CALLBACK_PAIR(construct, NLCB_CONSTRUCT, KNLScallback_fn)
KNLS_CALLBACK_PAIR(destroy, NLCB_DESTROY, KNLScallback_fn)
KNLS_CALLBACK_PAIR(drcol, NLCB_DRCOL, KNLSdrcolcallback_fn)
KNLS_CALLBACK_PAIR(iterend, NLCB_ITEREND, KNLScallback_fn)
KNLS_CALLBACK_PAIR(iterstart, NLCB_ITERSTART, KNLScallback_fn)
KNLS_CALLBACK_PAIR(itervar, NLCB_ITERVAR, KNLScolcallback_fn)
KNLS_CALLBACK_PAIR(msjobend, NLCB_MSJOBEND, KNLSjobcallback_fn)
KNLS_CALLBACK_PAIR(msjobstart, NLCB_MSJOBSTART, KNLSjobcallback_fn)
KNLS_CALLBACK_PAIR(mswinner, NLCB_MSWINNER, KNLSjobcallback_fn)
KNLS_CALLBACK_PAIR(slpend, NLCB_SLPEND, KNLScallback_fn)
KNLS_CALLBACK_PAIR(slpnode, NLCB_SLPNODE, KNLScallback_fn)
KNLS_CALLBACK_PAIR(slpstart, NLCB_SLPSTART, KNLScallback_fn)
KNLS_CALLBACK_PAIR(message, NLCB_MESSAGE, KNLSmessage_fn)
KNLS_CALLBACK_PAIR(intsol, NLCB_INTSOL, KNLScallback_fn)
KNLS_CALLBACK_PAIR(optnode, NLCB_OPTNODE, KNLSnodecallback_fn)
KNLS_CALLBACK_PAIR(prenode, NLCB_PRENODE, KNLSnodecallback_fn)

#define KNLS_CALLBACK_SET(name, K)                                                           \
  int KNLSsetcb##name(KNLSprob nlprob, KNLScallback_fn fn, void *user_data) noexcept {       \
    return guard_nlp(nlprob, [&] {                                                           \
      {                                                                                      \
        std::lock_guard<std::mutex> lock(nlprob->callbacks.list_mutex);                      \
        nlprob->callbacks.kind[K].clear();                                                   \
      }                                                                                      \
      if (fn) callback_add(nlprob, K, reinterpret_cast<AnyCallback>(fn), user_data);         \
    });                                                                                      \
  }
KNLS_CALLBACK_SET(slpstart, NLCB_SLPSTART)
KNLS_CALLBACK_SET(slpend, NLCB_SLPEND)
KNLS_CALLBACK_SET(iterstart, NLCB_ITERSTART)
KNLS_CALLBACK_SET(iterend, NLCB_ITEREND)
}  // extern "C"
