// A HiGHS instance holding the problem's LP with its stored basis factored,
// for solves with the basis matrix B and its transpose.
//
// B is made of the columns of [I A] that the basis names: row i's slack
// (rhs - activity) has the unit column e_i, column j has A's column j.
// Position k of a vector in basis order belongs to the k-th basic variable
// of basic_variables().
#pragma once

#include <memory>
#include <vector>

#include "krvs.h"

class Highs;

namespace krvs {

class BasisSolver {
 public:
  // Throws Error (naming fn) when the problem has no basis that fits the
  // model, or the basis cannot be factored.
  BasisSolver(KRVSprob prob, const char *fn);
  ~BasisSolver();
  BasisSolver(const BasisSolver &) = delete;
  BasisSolver &operator=(const BasisSolver &) = delete;

  int rows() const { return rows_; }
  int cols() const { return cols_; }
  // x = B^-1 b and x = B^-T b; b and x have rows() entries (may alias).
  void ftran(const double *b, double *x);
  void btran(const double *b, double *x);
  // The basic variable of each basis position as a combined index: row i's
  // slack is i, column j is rows() + j.
  std::vector<int> basic_variables();

 private:
  const char *fn_;
  int rows_ = 0, cols_ = 0;
  std::unique_ptr<Highs> highs_;
};

}  // namespace krvs
