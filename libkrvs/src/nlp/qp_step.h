// Curvature for the second-order steps of the sequential solver: the exact
// Hessian of the Lagrangian at the current point and multipliers, shifted
// where needed so that the quadratic subproblem is convex, in the lower
// triangle by columns that the QP solver takes.
#pragma once

#include <string>
#include <vector>

#include "hessian.h"

class HighsModel;

namespace krvs::nlp {

class QpCurvature {
 public:
  QpCurvature(int ncols, std::vector<LagrangianHessian::Row> rows, const std::vector<QuadEntry> *objective_quad);

  // The Hessian at x of  sigma * q(x) + sum_p row_weight[p] * h_p(x), made
  // positive definite on the columns it touches by the smallest shift
  // delta * I found (0 when it already is). False, with the reason in
  // *error, when an evaluation fails.
  bool update(const double *x, const double *row_weight, double sigma, UserFunctionCaller *users, std::string *error);
  bool ready() const { return ready_; }
  // A larger shift on every curved column (at least the diagonal's size).
  void strengthen();
  void invalidate() { ready_ = false; }
  double shift() const { return shift_; }
  size_t nonzeros() const { return lag_.nonzeros(); }

  // Puts 0.5 (x'-x)' H (x'-x) into the subproblem over x' (total_cols
  // columns, the first ncols the model's): the Hessian, and -Hx added to
  // the linear cost.
  void fill(HighsModel &model, int total_cols, const std::vector<double> &x, std::vector<double> &cost) const;
  // d'Hd for d over the model's columns.
  double quadratic_form(const std::vector<double> &d) const;

 private:
  bool factorises(double delta);
  void build_factor_structure();
  void gershgorin_shift();
  void multiply(const std::vector<double> &v, std::vector<double> &out) const;

  LagrangianHessian lag_;
  std::vector<double> value_;   // per entry of lag_
  std::vector<double> diag_shift_;  // per column: added to the diagonal
  double shift_ = 0.0, last_shift_ = 0.0, scale_ = 1.0;
  bool ready_ = false;

  // Positive-definiteness test: LDL' of the curved columns' submatrix in
  // natural order (up-looking, by rows of the lower triangle).
  std::vector<int> curved_;          // model column of each position
  std::vector<int> pos_of_;          // model column -> position, -1
  std::vector<int> row_start_, row_index_, row_entry_;  // strictly-lower rows: (position, entry of lag_)
  std::vector<int> diag_entry_;      // per position: diagonal entry of lag_, or -1
  std::vector<int> parent_, lnz_, lp_, flag_, pattern_;
  std::vector<int> li_;
  std::vector<double> lx_, d_, y_;
  bool factor_too_dense_ = false;
};

// Solves min c'x + 0.5 x'Hx subject to A x = b over the first n columns of
// a subproblem whose rows are all equalities (b their lower bounds), the
// other columns and every column bound left out: x and the row duals y (in
// HiGHS's convention, c + Hx - A'y = 0). False when the system cannot be
// factorised in the natural order or its solution is not accurate.
bool solve_equality_qp(const HighsModel &model, int n, std::vector<double> &x, std::vector<double> &y);

}  // namespace krvs::nlp
