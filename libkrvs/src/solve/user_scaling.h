// Scale factors of the caller's choice (Model::row_scale_exp and
// col_scale_exp) applied to the HiGHS model of a solve, and the solver's
// answers taken back to the caller's units.
//
// With R = diag(row factors), C = diag(column factors), the solver sees
// A' = R A C, costs C c, bounds C^-1 l and C^-1 u, row bounds R l and R u,
// and the Hessian C Q C; its answers map back as x = C x', row activity
// = R^-1 activity', duals y = R y', reduced costs d = C^-1 d'. The factors are
// powers of two, so nothing is rounded either way.
#pragma once

#include <vector>

#include "Highs.h"
#include "model/model.h"

namespace krvs {

struct UserScaling {
  bool active = false;
  std::vector<double> row;  // one per row of the HiGHS model (1 beyond the user's rows)
  std::vector<double> col;  // one per column of the HiGHS model (1 beyond the user's and for integer ones)
};

// Applies the model's factors to `model` (the HiGHS model built from it);
// inactive when the model has none.
UserScaling apply_user_scaling(const Model &m, HighsModel &model);

// Solver units -> the caller's (a solution read from HiGHS) and back (a
// starting solution handed to HiGHS); parts not valid are left alone.
void unscale_solution(const UserScaling &s, HighsSolution &sol);
void scale_solution(const UserScaling &s, HighsSolution &sol);

}  // namespace krvs
