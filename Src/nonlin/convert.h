// Splitting modelling expressions for the solvers: a constant, linear and
// quadratic coefficients for the optimizer, and token formulas (parsed
// reverse Polish) for the nonlinear solver's nonlinear coefficients.
#ifndef KORVO_CONVERT_H
#define KORVO_CONVERT_H

#include <Python.h>

#include <cstdint>

#include "knls.h"

struct problem_s;

// The arrays one conversion writes to. Counts say how many entries are in
// use; capacities how many are allocated. With `grow` set the conversion
// enlarges the arrays itself (module allocator); otherwise the caller has
// sized them by a counting pass and the conversion refuses to write past
// the capacities. formula_starts holds formula_count + 1 entries: the
// first is where the first formula of the batch starts.
struct conv_target {
  double constant;
  uint64_t linear_count, linear_capacity;
  int *linear_cols;
  double *linear_vals;
  uint64_t quad_count, quad_capacity;
  int *quad_col1, *quad_col2;
  double *quad_vals;
  uint64_t formula_count, formula_capacity;  // capacity counts formula_starts entries
  int *formula_cols;
  double *formula_factors;
  int *formula_starts;
  uint64_t token_count, token_capacity;
  int *token_types;
  double *token_vals;
  bool grow;
};

// Upper bounds of what converting one expression adds to each group.
struct conv_counts {
  double constant;
  uint64_t linear, quad, formulas, tokens;
};

// Counting mode: the constant and upper bounds of the entries of expr.
// 0, or -1 with ModelError.
int convertExpr_count(problem_s *p, PyObject *expr, conv_counts *counts);

// Fill mode: appends expr's entries to target (the constant is added to
// target->constant). objective selects the quadratic convention: the
// objective form gives 2c for c*x^2 and c for c*x*y, the constraint form c
// and c/2. 0, or -1 with an exception (nothing is passed to the solvers).
int convertExpr(problem_s *p, PyObject *expr, conv_target *target, bool objective);

// Frees the arrays of a target made with grow set, and zeroes it.
void conv_target_free(conv_target *target);

// Registers a Python callable as a user function of p's nonlinear problem
// (once per callable); operands is the node's operand tuple, whose first
// item is the callable. *index receives the 1-based index. 0, -1 with an
// exception set, or the engine's non-zero code.
int createUserFunction(problem_s *p, PyObject *operands, int *index, bool derivatives);

// The exception (new reference) that a Python user function of nlprob
// raised first since the last call, or null; the caller raises it.
PyObject *take_user_function_error(KNLSprob nlprob);

// Entry points the nonlinear solver calls for Python user functions.
double kpy_generic_user_function_with_derivative(const double *input, void *context, const double *deltas,
                                                 double *output);
double kpy_generic_user_function_no_derivative(const double *input, void *context, const double *deltas,
                                               double *output);

#endif
