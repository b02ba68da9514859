// Results and status of the last solve of a problem.
#pragma once

namespace krvs {

struct SolveState {
  int lp_status = 0;
  int mip_status = 0;
  int stop_status = 0;
};

}  // namespace krvs
