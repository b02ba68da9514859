// Results and status of the last solve of a problem.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "solve/live_model.h"

namespace krvs {

// Values of the LP status, MIP status and stop reason attributes.
enum LpStatus : int {
  LP_UNSTARTED = 0,
  LP_OPTIMAL = 1,
  LP_INFEAS = 2,
  LP_CUTOFF = 3,
  LP_UNFINISHED = 4,
  LP_UNBOUNDED = 5,
  LP_CUTOFF_IN_DUAL = 6,
  LP_UNSOLVED = 7,
  LP_NONCONVEX = 8,
};

enum MipStatus : int {
  MIP_NOT_LOADED = 0,
  MIP_LP_NOT_OPTIMAL = 1,
  MIP_LP_OPTIMAL = 2,
  MIP_NO_SOL_FOUND = 3,
  MIP_SOLUTION = 4,
  MIP_INFEAS = 5,
  MIP_OPTIMAL = 6,
  MIP_UNBOUNDED = 7,
};

enum StopReason : int {
  STOP_NONE = 0,
  STOP_TIMELIMIT = 1,
  STOP_CTRLC = 2,
  STOP_NODELIMIT = 3,
  STOP_ITERLIMIT = 4,
  STOP_MIPGAP = 5,
  STOP_SOLLIMIT = 6,
  STOP_USER = 9,
};

// A primal (and for LPs dual) solution in the user's indices.
struct SolutionVectors {
  bool valid = false;
  std::vector<double> x;      // one per column
  std::vector<double> slack;  // one per row: rhs - activity
  std::vector<double> duals;  // one per row (LP only)
  std::vector<double> djs;    // one per column (LP only)
  void clear() {
    valid = false;
    x.clear();
    slack.clear();
    duals.clear();
    djs.clear();
  }
};

// The final simplex basis of an LP solve, kept to warm-start the next solve
// of the same structure. Status codes are HiGHS's HighsBasisStatus values.
struct StoredBasis {
  bool valid = false;
  bool loaded = false;  // given by the caller (KRVSloadbasis): used even when keepbasis is 0
  uint64_t structure_version = 0;
  std::vector<int8_t> col_status;
  std::vector<int8_t> row_status;
};

// A starting point given by the caller (KRVSloadlpsol) for the next LP
// solve of the same structure; any part may be empty (not given).
struct StartingPoint {
  bool valid = false;
  uint64_t structure_version = 0;
  std::vector<double> x, slack, duals, djs;
};

// A flag that copies as "not set", so that SolveState stays copyable.
struct RunningFlag {
  std::atomic<bool> value{false};
  RunningFlag() = default;
  RunningFlag(const RunningFlag &) {}
  RunningFlag &operator=(const RunningFlag &) { return *this; }
};

struct SolveState {
  int lp_status = LP_UNSTARTED;
  int mip_status = MIP_NOT_LOADED;
  int stop_status = STOP_NONE;

  int64_t simplex_iterations = 0;
  int64_t barrier_iterations = 0;
  int64_t nodes = 0;
  int64_t mip_solutions = 0;
  // Where the engine's own search is (read by its callbacks).
  int64_t current_node = 0;
  int64_t node_depth = 0;
  int64_t active_nodes = 0;

  double lp_objective = 0.0;
  double mip_objective = 0.0;
  double best_bound = 0.0;
  double mip_gap = 0.0;
  double solve_time = 0.0;

  SolutionVectors lp;
  SolutionVectors mip;
  StoredBasis basis;
  StartingPoint start;
  // The HiGHS model kept between solves.
  LiveModel live;
  // The interior-point solution of the last barrier solve of an LP run
  // without crossover, and its LP status.
  SolutionVectors barrier;
  int barrier_status = LP_UNSTARTED;

  // Set while a solve of this problem runs; a second solve of the same
  // problem is refused rather than racing on these results.
  RunningFlag running;
};

// Sets the running flag for the length of a solve and clears it however the
// solve ends; refuses (throws) when a solve of the problem is already running.
class RunningHold {
 public:
  explicit RunningHold(SolveState &state);
  ~RunningHold() { state_.running.value.store(false); }
  RunningHold(const RunningHold &) = delete;
  RunningHold &operator=(const RunningHold &) = delete;

 private:
  SolveState &state_;
};

}  // namespace krvs

namespace krvs {

// Forgets the results of the last solve (statuses, counters, solutions).
void reset_results(SolveState &state);

// The solve-result attributes (statuses, counters, objective values); false
// for ids that are not among them.
bool solve_int_attribute(const SolveState &state, int id, int64_t &value);
bool solve_double_attribute(const SolveState &state, int id, double &value);

}  // namespace krvs
