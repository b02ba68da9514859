// The engine's problem record. The model store and solver state live in
// their own components; this record ties them to the controls, the last
// error and the message callbacks.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "callbacks.h"
#include "controls.h"
#include "krvs.h"
#include "object.h"
#include "solve/interrupt_wake.h"

namespace krvs {
class Model;        // model/model.h
struct SolveState;  // solve/solve_state.h
namespace analysis {
struct AnalysisState;  // analysis/analysis.h
}
class StoredBranchings;  // search/branch_object.h

struct MessageCallback {
  KRVSmessage_fn fn;
  void *user_data;
  int priority;
};

}  // namespace krvs

struct krvs_problem_s {
  krvs::ObjectHeader header{"KRVSprob"};
  std::string name;
  krvs::ControlValues controls;

  std::mutex error_mutex;
  std::string last_error;

  std::mutex callback_mutex;
  std::vector<krvs::MessageCallback> message_callbacks;  // highest priority first
  // Under callback_mutex as well: message codes switched off (status 0) and
  // the file that receives a copy of every line that is shown.
  std::unordered_map<int, int> message_status;
  std::string log_file_name;
  std::FILE *log_file = nullptr;
  krvs::CallbackStore callbacks;                         // every other optimizer callback kind

  // Set by KRVSinterrupt (any thread); polled by the running solve.
  std::atomic<int> interrupt_reason{0};
  // Makes a HiGHS run that polls for no stop request see one (see
  // solve/interrupt_wake.h); KRVSinterrupt goes through it.
  krvs::InterruptWake interrupt_wake;

  // Called when a MIP solve has decided on a user's MIP start: the start's
  // name and its KRVS_MIPSTART_ status (solving thread). Empty: nobody listens.
  std::function<void(KRVSprob, const std::string &, int)> user_solution_notify;

  // Shared with the problems of the search's workers while it runs.
  std::shared_ptr<krvs::Model> model;
  std::unique_ptr<krvs::SolveState> solve;
  // Infeasible sets and the tuned method, made by the first analysis call
  // that keeps something (shared_ptr: destroyed without its full type here).
  std::shared_ptr<krvs::analysis::AnalysisState> analysis;
  // Branching objects stored for nodes of the tree search (made on first use).
  std::shared_ptr<krvs::StoredBranchings> stored_branchings;

  // The nonlinear problem that wraps this one (if any); row and column
  // deletions are passed on to it so that its coefficients follow the
  // renumbering (nlp/renumber.h).
  struct knls_problem_s *nonlinear = nullptr;

  // Set on the problem of a search worker (search/workers.h): the problem
  // being solved, whose controls it reads and sets and which an interrupt
  // of the worker stops.
  krvs_problem_s *search_origin = nullptr;
  // The problems of this problem's search workers, kept as long as it is:
  // a callback may keep the problem object it was handed.
  std::vector<std::unique_ptr<krvs_problem_s>> search_workers;

  krvs_problem_s();
  ~krvs_problem_s();
};

namespace krvs {
// Callback registrations belong to the problem being solved: changing them
// through a search worker's problem throws.
void refuse_on_search_worker(KRVSprob prob, const char *function);
// Attribute values of a problem; false when the id is unknown.
bool int_attribute(KRVSprob prob, int id, int64_t &value);
bool double_attribute(KRVSprob prob, int id, double &value);
bool string_attribute(KRVSprob prob, int id, std::string &value);
}  // namespace krvs
