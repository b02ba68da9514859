// The nonlinear solver's event callbacks: every kind keeps a list of
// registrations (function, user data) in registration order, and the solver
// raises each event through one of the functions below, at one place per
// event.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "knls.h"

namespace krvs::nlp {

enum CallbackKind {
  NLCB_CASCADEEND,
  NLCB_CASCADESTART,
  NLCB_CASCADEVAR,
  NLCB_CASCADEVARFAIL,
  NLCB_COEFEVALERROR,
  NLCB_CONSTRUCT,
  NLCB_DESTROY,
  NLCB_DRCOL,
  NLCB_ITEREND,
  NLCB_ITERSTART,
  NLCB_ITERVAR,
  NLCB_MSJOBEND,
  NLCB_MSJOBSTART,
  NLCB_MSWINNER,
  NLCB_SLPEND,
  NLCB_SLPNODE,
  NLCB_SLPSTART,
  NLCB_MESSAGE,
  NLCB_INTSOL,
  NLCB_OPTNODE,
  NLCB_PRENODE,
  NLCB_KINDS
};

using AnyCallback = void (*)(void);

struct CallbackRegistration {
  AnyCallback fn = nullptr;
  void *data = nullptr;
};

// Per-kind registration lists of a nonlinear problem.
struct CallbackLists {
  std::vector<CallbackRegistration> kind[NLCB_KINDS];
  bool any(CallbackKind k) const { return !kind[k].empty(); }
  // A multistart job's copy has no registrations of its own: it raises its
  // events with those of the problem it solves for, passing itself as the
  // problem.
  KNLSprob forward_to = nullptr;
  // Events raised from several threads (multistart workers) reach the
  // registrations one at a time: a registration returns before the next
  // event starts, even when it lets other threads run meanwhile. Recursive:
  // a registration may cause an event of its own.
  std::recursive_mutex event_mutex;
  // Guards `kind` while a registration is added or removed during a solve
  // that other threads raise events of. Never held while calling out.
  std::mutex list_mutex;
};

// True when an event of this kind would reach a registration (of the
// problem, or of the one a multistart copy solves for).
bool listening(KNLSprob prob, CallbackKind kind);

void callback_add(KNLSprob prob, CallbackKind kind, AnyCallback fn, void *data);
// Removes registrations matching fn and data (null matches any).
void callback_remove(KNLSprob prob, CallbackKind kind, AnyCallback fn, void *data);

// (problem, data) events; true when a registration returned non-zero.
bool fire(KNLSprob prob, CallbackKind kind);
// (problem, data, column) events; true when a registration returned non-zero.
bool fire_column(KNLSprob prob, CallbackKind kind, int col);
// A coefficient that could not be evaluated; true when a registration asks
// the solve to stop.
bool fire_coefevalerror(KNLSprob prob, int row, int col);
// A determined column's new value, which the registrations may replace.
void fire_drcol(KNLSprob prob, int col, double *value, double lb, double ub);
// Multistart job events; the status the registrations leave (0 to go on).
int fire_job(KNLSprob prob, CallbackKind kind, void *job_object, const std::string &description);
// Node events of a search; true when a registration marks the node
// infeasible.
bool fire_node(KNLSprob prob, CallbackKind kind);

// Hands a line to the message registrations only.
void fire_message(KNLSprob prob, const std::string &line, int msgtype);

// A stop asked of the problem (KNLSinterrupt), of its optimizer problem, or,
// for a multistart job's copy, of the problem the job solves for.
bool stop_asked(KNLSprob prob);
// The events that close an iteration: its end, then one per nonlinear
// column when anybody listens. True when a callback asked to stop after it.
bool fire_iteration_end(KNLSprob prob, const std::vector<int> &nl_cols);
// One line of the solver's log: written through the problem's message route
// (when the log is on) and handed to the message registrations.
void nlp_log(KNLSprob prob, const std::string &line, int msgtype);

// One line saying where an unfinished solve stopped (at a limit, the
// control that raises it; `failed`: on a numerical failure), how far its
// point is from feasible and how large its last step was (negative: none).
void log_unfinished(KNLSprob prob, int limit_reached, bool failed, double max_violation, double last_step);
// The closing line of a solve and its end events.
void log_finished_and_end(KNLSprob prob, int status, int iterations);

}  // namespace krvs::nlp
