// Values of modelling objects (variables, terms, expressions, nonlinear
// trees, and nested containers of them) at given variable values.
#ifndef KORVO_EVALUATE_H
#define KORVO_EVALUATE_H

#include <Python.h>

#include <cstdint>

struct problem_s;

// Where the variable values come from: a vector indexed by the columns of a
// problem (array mode), or a dictionary keyed by variables (dictionary mode).
struct eval_context {
  problem_s *problem;     // the problem whose column map resolves variables; may be null in dictionary mode
  const double *values;   // array mode: values by column; null in dictionary mode
  int64_t value_count;    // length of values
  PyObject *dictionary;   // dictionary mode: borrowed variable -> value mapping; null in array mode
  bool index_mode;        // integers are column indices and strings column names (problem.getSolution)
};

// Structure-preserving evaluation of one object or any nesting of tuples,
// dictionaries, lists/sequences and NumPy arrays of them: tuples give tuples,
// dictionaries dictionaries with the same keys, other sequences lists, arrays
// float64 arrays, everything else a float. Variables are resolved through p's
// column map against x[0..ncols). In index mode (getSolution) an integer is a
// column index and a str/bytes a column name. New reference, or null with an
// exception set.
PyObject *evaluate_with_problem(PyObject *objects, problem_s *p, const double *x, int64_t ncols,
                                bool index_mode);

// The same walk, with the values taken from a dictionary keyed by variables.
PyObject *evaluate_with_dictionary(PyObject *objects, PyObject *dictionary);

// The walk under an explicit context.
PyObject *evaluate_structure(PyObject *objects, const eval_context *ctx);

// Value of one modelling object (number, variable, term, expression or
// nonlinear node); 0 on success, -1 with an exception set.
int evaluate_value(PyObject *obj, const eval_context *ctx, double *value);

// korvo.evaluate(*objects, problem=None, solution=None).
PyObject *korvomod_evaluate(PyObject *self, PyObject *args, PyObject *kwargs);

#endif
