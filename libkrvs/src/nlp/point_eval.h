// Values and gradients of rows and of the objective at a given point, for
// the actions that work outside a solve (validation, cascading, scaling).
#pragma once

#include <vector>

#include "formula.h"
#include "knls.h"
#include "user_functions.h"

namespace krvs {
class Model;
}

namespace krvs::nlp {

constexpr double kInfinity = 1e20;

// Row bounds lo <= row <= hi from the row type (infinite: +-1e20).
void row_bounds(const Model &m, int r, double &lo, double &hi);
// How far value lies outside [lo, hi].
double bound_violation(double value, double lo, double hi);

class PointEvaluator {
 public:
  explicit PointEvaluator(KNLSprob prob);
  // Activity of row r at x: linear, quadratic and nonlinear parts. Throws
  // EvalError when a formula cannot be evaluated.
  double row_activity(int r, const std::vector<double> &x);
  // Adds weight * d(row r)/dx to grad (one entry per column).
  void add_row_gradient(int r, const std::vector<double> &x, double weight, std::vector<double> &grad);
  double objective(const std::vector<double> &x) const;
  void add_objective_gradient(const std::vector<double> &x, std::vector<double> &grad) const;
  // Rows that carry nonlinear coefficients.
  const std::vector<int> &coefficients_of(int r) const;
  long long evaluations() const { return evaluations_; }

 private:
  KNLSprob prob_;
  const Model &m_;
  ProblemUserFunctions users_;
  Tape tape_;
  std::vector<std::vector<int>> row_coefs_;
  long long evaluations_ = 0;
};

}  // namespace krvs::nlp
