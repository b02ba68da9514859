// Turns the engine's model into one HiGHS model, in one pass over its arrays.
//
// The user's columns and rows keep their indices at the front of the HiGHS
// model; whatever a reformulation needs (binaries for special ordered sets,
// indicator constraints, large semi-continuous columns and partially integer
// columns, and their linking rows) is appended after them, so results map
// back by taking the leading entries.
#pragma once

#include <utility>
#include <vector>

#include "Highs.h"
#include "model/model.h"

namespace krvs {

enum class BuildMode {
  Relaxation,  // integrality, sets and indicator rows dropped
  Discrete,    // every discrete entity enforced
};

// A coefficient a reformulation adds to the HiGHS matrix.
struct Triplet {
  int row;
  int col;
  double value;
};

struct BuiltModel {
  HighsModel model;
  int user_cols = 0;
  int user_rows = 0;
  bool integer = false;  // the HiGHS model has integer or semi-continuous columns
  // Positions in the user's rows where a reformulation adds to the user's
  // coefficient (an indicator's binary in its row's big-M form).
  std::vector<std::pair<int, int>> reformulated_coefs;
};

// What a build lays after and over the user's columns and rows, without the
// user's own matrix: enough for a kept HiGHS model that holds the user's
// block to take its reformulations anew. Internal columns have coefficients
// in internal rows only.
struct BuiltTail {
  int user_cols = 0;
  int user_rows = 0;
  // Every column of the build, the user's first: bounds and kinds.
  std::vector<double> col_lower, col_upper;
  std::vector<HighsVarType> integrality;
  // Every row of the build: the user's, the internal ones, the active cuts'.
  std::vector<double> row_lower, row_upper;
  // What reformulations add to coefficients of the user's rows, summed per
  // position, sorted by row and column.
  std::vector<Triplet> user_block_terms;
  // The rows after the user's, row-wise: tail_start has one entry per such
  // row and a last one; columns in a row are sorted and distinct.
  std::vector<HighsInt> tail_start, tail_index;
  std::vector<double> tail_value;
};

// True when the model has integer, binary, semi-continuous, semi-integer or
// partially integer columns, sets or indicator constraints.
bool has_discrete_entities(const Model &m);

// Number of quadratic objective entries that are not zero.
size_t quadratic_objective_entries(const Model &m);

// Builds the HiGHS model. `bigm` is the largest bound magnitude a
// reformulation may rely on; a needed bound that is infinite or larger makes
// the build fail with an Error naming the column, set or row.
BuiltModel build_highs_model(const Model &m, BuildMode mode, double bigm);

// The same build's tail (see BuiltTail), with the same checks and errors.
BuiltTail build_highs_tail(const Model &m, BuildMode mode, double bigm);

// The objective's quadratic part as HiGHS's Hessian of `dim` columns (left
// empty, dimension 0, when there is none).
void build_hessian(const Model &m, int dim, HighsHessian &hessian);

// How column j of the model enters HiGHS's model in `mode` by itself: its
// bounds and kind. False when it needs internal columns and rows instead:
// a semi-continuous or semi-integer column whose upper bound is too large
// for HiGHS's own kinds, a partially integer column that reaches both of
// its parts. Binary columns are clamped to [0, 1].
bool plain_column(const Model &m, int j, BuildMode mode, double &lower, double &upper, HighsVarType &type);

// The bounds of an active cut's row.
void cut_row_bounds(const Cut &cut, double &lower, double &upper);

// Lower and upper bound of a row in HiGHS form (+-inf where open).
void row_bounds(const Model &m, int row, double &lower, double &upper);

}  // namespace krvs
