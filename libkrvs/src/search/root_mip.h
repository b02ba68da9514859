// HiGHS's MIP run briefly on the whole discrete model before the search's
// root: a source of a first incumbent and of the cuts its root separated.
//
// The run keeps the model's columns as they are (no presolve), so the cuts
// of its pool are rows over the search's own columns. Such a cut is valid
// for every solution of the model that is better than the run's incumbent
// (the run may have tightened its domain with that incumbent's objective
// before separating), so the search takes the cuts only when it holds an
// incumbent at least as good as the run's, or the run found none.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Highs.h"

namespace krvs {

class InterruptWake;

// Rows in compressed form: row k has entries start[k] .. start[k + 1] - 1.
struct CutRows {
  std::vector<double> lower, upper;
  std::vector<HighsInt> start{0};
  std::vector<HighsInt> index;
  std::vector<double> value;
  int count() const { return int(lower.size()); }
};

struct RootMipSettings {
  int max_nodes = 50;
  double time_limit = 1e20;   // seconds; 1e20 for none
  double integrality_tol = 5e-6;
  double feasibility_tol = 1e-6;
  bool want_cuts = true;
};

struct RootMipResult {
  bool found = false;         // HiGHS had a solution, of objective found_objective
  double found_objective = 0;
  bool has_solution = false;  // x satisfies the whole model (checked here)
  std::vector<double> x;
  double objective = 0;       // in the model's own sense
  std::string rejected;       // why HiGHS's solution was not taken, if it had one
  CutRows cuts;               // over the model's columns
};

// Runs HiGHS's MIP (one thread, node budget and time limit of `settings`)
// on `model`. Its instance asks no interrupt events while nobody wants it
// stopped: it is published on `wake` for the run, whose wake() starts them,
// and `interrupted` (true once a stop is requested) is then polled from
// them. A stop requested before the run is seen at HiGHS's first ask; one
// requested while an LP of the MIP runs, once that LP is over.
RootMipResult run_root_mip(HighsModel model, const RootMipSettings &settings,
                           const std::function<bool()> &interrupted, InterruptWake &wake);

// Checks x against the model: column bounds (semi-continuous and
// semi-integer columns may also be 0), integrality and row bounds. Returns
// an empty string when it holds, else what fails.
std::string check_solution(const HighsLp &lp, const std::vector<double> &x, double integrality_tol,
                           double feasibility_tol);

}  // namespace krvs
