// Token formulas in reverse Polish form: checking, evaluation, and exact
// first derivatives by reverse-mode automatic differentiation over the
// token sequence.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/guard.h"

namespace krvs::nlp {

struct Token {
  int type;
  double value;
};

// A checked formula: the tokens without the end token, and the distinct
// columns it reads (sorted).
struct Formula {
  std::vector<Token> tokens;
  std::vector<int> columns;
  bool calls_user_function = false;
};

// Checks the tokens (stack discipline, known types and codes) and builds a
// Formula. `count` is the number of tokens available; the formula ends at
// the first end token or after `count` tokens. Throws krvs::Error.
Formula compile_formula(const int *type, const double *value, size_t count);

// An evaluation that cannot be completed (domain error, division by zero,
// a user function that fails). Its text says what went wrong.
class EvalError : public Error {
 public:
  using Error::Error;
};

// The segment [p, p + 1] of a piecewise linear function's breakpoints used at
// t (breakpoint k at x(k), npts of them): the one holding t, or the first or
// last one beyond the ends. A function that jumps at its first breakpoint has
// no value before it.
template <class BreakpointX>
int piecewise_segment(int npts, double t, BreakpointX x) {
  int i = 0;
  while (i < npts && !(x(i) > t)) ++i;
  if (i == 0) {
    if (x(0) == x(1)) {
      char text[160];
      snprintf(text, sizeof text,
               "Piecewise linear function has a discontinuity at its first breakpoint %g and cannot be evaluated at %g",
               x(0), t);
      throw EvalError(text);
    }
    return 0;
  }
  return i == npts ? npts - 2 : i - 1;
}

// Calls of user functions during an evaluation. value_and_gradient returns
// the value at `input` (n entries) and, when grad is not null, fills grad
// with the n partial derivatives. Throws EvalError on failure.
class UserFunctionCaller {
 public:
  virtual ~UserFunctionCaller() = default;
  virtual double value_and_gradient(int index, const double *input, int n, double *grad) = 0;
};

// Tolerance of the logical functions: an argument at most this is false,
// above 1 minus this true.
constexpr double kLogicalTolerance = 5e-6;

// The record of one evaluation: every node's value and the local partial
// derivatives with respect to its arguments, for the reverse sweep.
class Tape {
 public:
  // Evaluates the formula at x (indexed by column); throws EvalError.
  double evaluate(const Formula &f, const double *x, UserFunctionCaller *users, bool want_derivatives);
  // Adds weight * dF/dx_j to grad[j] for every column j of the formula
  // (after evaluate with want_derivatives).
  void add_gradient(double weight, std::vector<double> &grad);
  // Calls fn(column, dF/dx_column) for every column read (repeated columns
  // give several calls).
  template <class Fn>
  void for_each_partial(Fn &&fn) {
    sweep();
    for (size_t k = 0; k < column_.size(); ++k)
      if (column_[k] >= 0) fn(column_[k], adjoint_[k]);
  }

 private:
  int push(double value, int column);
  void sweep();
  std::vector<double> value_, adjoint_;
  std::vector<int> column_;      // column of a column node, else -1
  std::vector<int> arg_begin_;   // first argument slot of the node
  std::vector<int> arg_count_;
  std::vector<int> args_;        // argument node of each slot
  std::vector<double> partial_;  // d node / d argument, per slot
  std::vector<double> scratch_, scratch_grad_;
  std::vector<int> stack_, taken_;  // kept between evaluations: no allocation per call
  bool derivatives_ = false;
};

// Name of an internal function or operator for messages.
std::string function_name(int type, int code);

}  // namespace krvs::nlp
