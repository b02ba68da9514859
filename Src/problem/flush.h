// Batched transfer of constraints to the optimizer: the pending-row buffer,
// row types and right-hand sides, and the flush.
#ifndef KORVO_FLUSH_H
#define KORVO_FLUSH_H

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "nonlin/convert.h"

struct problem_s;

// Rows waiting to be passed to the engine. Linear, quadratic, nonlinear and
// token entries live in `entries` (filled in place by convertExpr); each
// group's capacity starts at 2048 and doubles.
struct pending_rows {
  uint64_t row_capacity;
  uint64_t name_capacity;
  int row_count;
  uint64_t name_bytes;
  int64_t *row_starts;  // row_count + 1
  int64_t *quad_counts;  // set from the first row with a quadratic part on
  int quad_rows_from;    // that row + 1; 0 while no row has one
  int *nl_rows;         // engine row of each nonlinear coefficient
  double *rhs;
  double *ranges;        // set for range rows only (the engine reads no others)
  char *names;            // zero-terminated, one per row; empty for a default name
  uint64_t *name_numbers;  // per row: the identity of a default name "R<id>", or kNamedRow
  bool any_named;          // some row has a name of its own
  char *row_types;
  conv_target entries;
  int64_t first_row;           // engine index of the first pending row
  Py_ssize_t committed;        // length of the problem's constraint list at the last flush
  uint64_t row_hint;           // rows the call will likely add (0: unknown)
};

// Row type and right-hand side from a constraint's bounds; *rhs comes in as
// minus the body's constant and is completed here.
void getRhsSense(PyObject *constraint, char *row_type, double *rhs, double *range);

// Adds one constraint to the buffer (checks, conversion, registry); 0 or -1.
int pending_rows_add(problem_s *p, pending_rows *buffer, PyObject *constraint);
// Passes the pending rows to the engine: one row call, one name call, one
// quadratic call per quadratic row, one nonlinear-coefficient call. 0 or
// the failing engine code (its error is raised as SolverError); the buffer
// is always emptied.
int flushConstraints(problem_s *p, pending_rows *buffer);
// Frees the buffer without passing anything; the constraints added since
// the last flush leave the registry again.
void pending_rows_discard(problem_s *p, pending_rows *buffer);
// An empty buffer for p (reads the engine's row count); 0 or -1.
int pending_rows_start(problem_s *p, pending_rows *buffer);

// In name_numbers: the row has a name of its own (the engine's marker for
// "leave this name").
constexpr uint64_t kNamedRow = ~uint64_t(0);

PyMethodDef *problem_flush_method_table(void);

#endif
