// The nonlinear solver's problem record: wraps one optimizer problem and
// adds the nonlinear coefficients, the SLP settings of columns and rows, the
// user functions and the results of the last solve.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/controls.h"
#include "core/object.h"
#include "callbacks.h"
#include "formula.h"
#include "knls.h"

namespace krvs {
const ControlTable &nlp_control_table();
const std::vector<AttribInfo> &nlp_attrib_table();

namespace nlp {

class SlpSubproblem;

// One nonlinear coefficient: adds factor * x[col] * F(x) to its row
// (col -1: factor * F(x)).
struct Coefficient {
  int row;
  int col;
  double factor;
  std::shared_ptr<const Formula> formula;
};

// Per-column SLP settings (only columns that were given some).
struct SlpVariable {
  int detrow = -1;
  double initstepbound = 0.0;
  double stepbound = 0.0;
  double penalty = 0.0;
  double damp = 0.0;
  double initial = 0.0;
  bool has_initial = false;
  double value = 0.0;
  double oldvalue = 0.0;
  int tolset = 0;
  int history = 0;
  int converged = 0;
  int vartype = 0;
  int seqnum = 0;  // place among the determined columns when cascading (0: none given)
};

struct UserFunction {
  std::string name;
  std::string linkage;
  int flags = 0;
  int outputs = 1;
  KNLSuserfunc_fn address = nullptr;
  void *object = nullptr;
  bool returns_derivatives() const { return (flags & KNLS_UF_DERIVATIVES) != 0; }
};

// A tolerance set: nine tolerances and the bits (1 << k) of those in use.
// 0 absolute step, 1 relative step, 2 absolute objective change, 3 relative
// objective change, 4 absolute impact (|gradient * step|), 5 relative
// impact, 6 absolute slack, 7 relative slack, 8 closure.
constexpr int kTolerancesPerSet = 9;
struct TolSet {
  int status = 0;
  std::array<double, kTolerancesPerSet> tol{};
};

// Delta type of a column: 0 relative, 1 absolute, with its value.
struct DeltaType {
  int type = 0;
  double value = 0.0;
};

// SLP settings of rows and columns beyond those of SlpVariable, and the
// results of the last validation, scaling and cascade ordering.
struct SlpItems {
  std::vector<TolSet> tolsets;                       // set k+1 is tolsets[k]
  std::map<std::pair<int, int>, double> dfs;         // (column, row) -> delta factor
  std::unordered_map<int, double> row_weight;        // row -> penalty weight (1 when absent)
  std::unordered_map<int, DeltaType> delta_type;     // column -> delta type
  std::unordered_map<int, int> cascade_limit;        // column -> most Newton steps when cascading
  std::vector<int> cascade_order;                    // determined columns in the order they are computed
  std::vector<double> row_violation;                 // per row, from the last validation
  std::vector<double> col_kkt_residual;              // per column, from the last KKT validation
  std::vector<double> row_kkt_residual;              // per row, complementarity residual
  std::vector<double> row_scale;                     // per row, from the last scaling
  double final_penalty = 0.0;                        // penalty weight at the end of the last solve
  long long evaluations = 0;                         // formula evaluations of the last solve
  double row_weight_of(int row) const {
    auto it = row_weight.find(row);
    return it == row_weight.end() ? 1.0 : it->second;
  }
};

// A multistart job: an independent solve of a copy of the problem from
// other start values and/or with other controls.
struct MsJob {
  std::string description;
  std::vector<int> cols;          // start values given for these columns
  std::vector<double> values;
  std::vector<std::pair<int, int>> int_controls;
  std::vector<std::pair<int, double>> dbl_controls;
  int preset = 0;                 // 0 none; else the preset that fills in start values / controls
  int preset_index = 0;           // the job's number within its preset (varies what the preset draws)
  void *job_object = nullptr;     // the caller's object, handed back in callbacks
};

// Results of the last solve.
struct SlpSolution {
  std::vector<double> x, slack, duals, djs;
};

}  // namespace nlp
}  // namespace krvs

struct knls_problem_s {
  krvs::ObjectHeader header{"KNLSprob"};
  KRVSprob optprob = nullptr;
  // A multistart job's copy: the problem it solves for, which user functions
  // see as theirs (KNLSgetfuncobject). Null otherwise.
  knls_problem_s *origin = nullptr;
  krvs::ControlValues controls{krvs::nlp_control_table()};
  std::mutex error_mutex;
  int last_code = 0;
  std::string last_error;
  KNLSmessage_fn message_fn = nullptr;
  void *message_data = nullptr;

  std::vector<krvs::nlp::Coefficient> coefs;
  std::unordered_map<int, int> row_status;
  std::unordered_map<int, krvs::nlp::SlpVariable> vars;
  std::vector<std::string> strings;                 // index k+1 is strings[k]
  std::vector<krvs::nlp::UserFunction> userfuncs;   // index k+1 is userfuncs[k]

  // Event registrations (not copied with the problem: they belong to its owner).
  krvs::nlp::CallbackLists callbacks;

  // Set by KNLSinterrupt from any thread; polled by the running solve.
  std::atomic<int> interrupt_reason{0};

  int status = 0;
  int stop_status = 0;  // why the last solve stopped early: a stop reason, 0 when it finished
  int state_flags = 0;
  int iterations = 0;
  double solve_time = 0.0;
  double objective_value = 0.0;
  krvs::nlp::SlpSolution solution;
  krvs::nlp::SlpItems items;
  std::vector<krvs::nlp::MsJob> ms_jobs;
  int ms_jobs_run = 0;   // solves of the last multistart, the plain start included
  int ms_winner = -1;    // its winning job: 0 the plain start, k the k-th job; -1 no multistart
  // The sequential solver's last subproblem, kept for the next solve's
  // warm start (not copied with the problem).
  std::shared_ptr<krvs::nlp::SlpSubproblem> kept_subproblem;
  long long global_nodes = 0;   // nodes of the last global solve
  double global_bound = 0.0;    // its proven bound on the objective
};
