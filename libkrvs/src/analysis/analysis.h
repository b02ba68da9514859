// What the analysis functions keep between calls (irreducible infeasible
// sets, the tuned method), and the certificate checks they share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "krvs.h"
#include "model/model.h"

namespace krvs::analysis {

// One member of an infeasible subsystem: a row, or one bound of a column.
struct IisMember {
  bool is_row;
  int index;
  char side;  // rows: their type; columns: 'L' lower, 'U' upper bound
};

struct Iis {
  std::vector<IisMember> rows;     // row members
  std::vector<IisMember> bounds;   // column bound members
  std::vector<double> row_duals;   // Farkas multipliers of the rows
  std::vector<double> bound_duals; // and of the bounds
  double sum_infeas = 0.0;         // least total violation of the set (phase one)
  int num_infeas = 0;              // members violated at that point
  bool irreducible = true;
  // Per member: -1 not tested, 0 not an isolation, 1 an isolation (relaxing
  // it alone makes the whole model feasible).
  std::vector<int8_t> row_isolation, bound_isolation;
};

struct PresolvedProblem;  // analysis/presolve.h

struct AnalysisState {
  // The presolved problem kept by the last LP solve with the flag 'k'.
  std::shared_ptr<PresolvedProblem> presolved;

  // Irreducible infeasible sets found so far, for the model version below.
  std::vector<Iis> iis;
  bool iis_started = false;
  bool iis_exhausted = false;
  uint64_t iis_structure_version = 0, iis_data_version = 0;

  // Controls chosen by the last tune (tuned) or read from a method file,
  // and the times of the winner and of the problem's own controls.
  std::vector<std::pair<int, double>> tuned_controls;
  bool tuned = false;
  double tuned_time = 0.0, baseline_time = 0.0;
};

// True when d is a direction along which the model's (relaxed) feasible set
// is unbounded and the objective improves without limit.
bool is_primal_ray(const Model &m, const std::vector<double> &d, double tol);

// For row multipliers y: min over the row ranges of y'r minus max over the
// column bounds of (y'A)x. Positive means y proves the rows infeasible
// (-inf when y leans on an infinite side).
double farkas_gap(const Model &m, const std::vector<double> &y);

AnalysisState &analysis_state(KRVSprob prob);

}  // namespace krvs::analysis
