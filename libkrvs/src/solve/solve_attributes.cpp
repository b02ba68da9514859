#include "solve/solve_state.h"

#include "core/guard.h"

namespace krvs {

void reset_results(SolveState &state) {
  state.lp_status = LP_UNSTARTED;
  state.mip_status = MIP_NOT_LOADED;
  state.stop_status = STOP_NONE;
  state.simplex_iterations = state.barrier_iterations = state.nodes = state.mip_solutions = 0;
  state.lp_objective = state.mip_objective = state.best_bound = state.mip_gap = state.solve_time = 0.0;
  state.lp.clear();
  state.mip.clear();
  state.barrier.clear();
  state.barrier_status = LP_UNSTARTED;
}

RunningHold::RunningHold(SolveState &state) : state_(state) {
  if (state_.running.value.exchange(true)) throw Error("A solve of this problem is already running");
}

bool solve_int_attribute(const SolveState &s, int id, int64_t &value) {
  switch (id) {
    case 1010: value = s.lp_status; return true;
    case 1011: value = s.mip_status; return true;
    case 1012: value = s.stop_status; return true;
    case 1013: value = s.simplex_iterations; return true;
    case 1014: value = s.barrier_iterations; return true;
    case 1015: value = s.nodes; return true;
    case 1016: value = s.mip_solutions; return true;
    case 1401: value = s.current_node; return true;
    case 1402: value = s.node_depth; return true;
    case 1403: value = s.active_nodes; return true;
    default: return false;
  }
}

bool solve_double_attribute(const SolveState &s, int id, double &value) {
  switch (id) {
    case 2001: value = s.lp_objective; return true;
    case 2003: value = s.mip_objective; return true;
    case 2004: value = s.best_bound; return true;
    case 2005: value = s.mip_gap; return true;
    case 2006: value = s.solve_time; return true;
    default: return false;
  }
}

}  // namespace krvs
