// The parts of a model that only the mixed-integer search uses: general
// constraints, piecewise-linear constraints, branching directives, secure
// rows and columns, rows marked as model cuts or delayed rows, the cut pool,
// the user's MIP starts and stored branching bounds.
//
// They live in the model store so that they follow its row and column
// deletions, are copied with it and are dropped when a new model is loaded.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "model/cut_pool.h"

namespace krvs {

// Types of general constraints (resultant = f(operands)).
enum GeneralConstraintType : int {
  GENCONS_MAX = 0,  // resultant = max(columns, values)
  GENCONS_MIN = 1,  // resultant = min(columns, values)
  GENCONS_AND = 2,  // binary resultant = 1 iff every binary column is 1
  GENCONS_OR = 3,   // binary resultant = 1 iff some binary column is 1
  GENCONS_ABS = 4,  // resultant = |column|
};
const char *general_constraint_type_name(int type);

struct GeneralConstraint {
  int type;
  int resultant;
  std::vector<int> cols;
  std::vector<double> vals;  // constants among the operands (max and min only)
};

// resultant = f(col), f piecewise linear through the points (x ascending;
// two points with the same x make a jump), extended beyond the first and
// last point by the slopes of the first and last segment.
struct PiecewiseLinear {
  int col;
  int resultant;
  std::vector<double> x, y;
};

// A branching directive of a column.
struct Directive {
  int priority = kDefaultPriority;  // smaller values are branched on first
  char direction = 'N';             // 'U' up branch first, 'D' down first, 'N' the search's choice
  double up_pseudo = 0.0;           // pseudo costs per unit change (0: none given)
  double down_pseudo = 0.0;
  static constexpr int kDefaultPriority = 500;
};

// What the last mipoptimize made of a MIP start.
enum MipStartStatus : int {
  MIPSTART_PENDING = 0,    // not yet offered to a solve
  MIPSTART_FEASIBLE = 1,   // a complete, feasible solution, handed to the solver as it is
  MIPSTART_COMPLETED = 2,  // partial or slightly off: completed by solving for the columns not fixed by it
  MIPSTART_INFEASIBLE = 3, // no feasible solution agrees with it: not used
  MIPSTART_DROPPED = 4,    // its columns were all deleted, or the solve ended before it was looked at
};

struct MipStart {
  std::string name;
  std::vector<int> cols;  // ascending, distinct
  std::vector<double> vals;
  int status = MIPSTART_PENDING;
  double objective = 0.0;  // of the solution handed to the solver (statuses 1 and 2)
};

// Bounds kept by storebounds for a branch of the search.
struct StoredBounds {
  std::vector<int> cols;
  std::vector<char> types;  // 'L', 'U', 'B'
  std::vector<double> vals;
};

struct MipStructures {
  std::vector<GeneralConstraint> gencons;
  std::vector<PiecewiseLinear> pwlcons;
  std::map<int, Directive> directives;  // column -> directive
  std::set<int> secure_rows, secure_cols;
  std::set<int> model_cut_rows, delayed_rows;
  CutPool cuts;
  std::vector<MipStart> mip_starts;
  // Handles of stored bounds (ids issued from a process-wide counter).
  std::map<uint64_t, StoredBounds> stored_bounds;
  // What setbranchbounds / setbranchcuts set last, for the branching of the
  // node being processed: a stored-bounds id (0: none) and cut ids.
  uint64_t branch_bounds = 0;
  std::vector<uint64_t> branch_cuts;

  bool empty_for_solve() const { return gencons.empty() && pwlcons.empty(); }

  // Keep everything consistent with a deletion; rowmap / colmap give each
  // old index its new one, or -1 when it is deleted.
  void rows_deleted(const std::vector<int> &rowmap);
  void cols_deleted(const std::vector<int> &colmap);
};

// Ids of cuts and stored bounds: distinct across problems, never reused, so
// a stale handle is recognised instead of being followed.
uint64_t next_handle_id();

}  // namespace krvs
