// Functions shared by the files that make up the korvo.problem type.
#ifndef KORVO_PROBLEM_METHODS_H
#define KORVO_PROBLEM_METHODS_H

#include <Python.h>

#include <cstdint>

#include "problem/problem.h"

// True when the problem has nonlinear constraints or a nonlinear objective.
bool problem_is_nonlinear(const problem_s *p);
// 1 when results (solution, duals, status, objective) come from the nonlinear
// solver: for nonlinear problems and after one of its solves (nlpoptimize of a
// problem the optimizer refused); 0 for the optimizer; -1 with an exception.
int problem_results_from_nonlinear(problem_s *p);
// Raises the engine's last error for the context (problem, or null for the
// global environment) and returns null.
PyObject *krvs_error(PyObject *context);
PyObject *problem_name(PyObject *self, PyObject *);

// Constructor elements: names, variables, constraints, SOS and the
// objective, in order; 0 or -1 with an exception.
int problem_add_elements(problem_s *p, PyObject *elements, long sense);

// Callback registrations: released without touching the engine (at
// destruction), and copied onto a new problem (by copy()).
void problem_clear_callbacks(problem_s *p);
int problem_copy_callbacks(problem_s *target, problem_s *source);
// Drops the references the module gave the engine's user-function objects.
void problem_release_user_functions(problem_s *p);

// Fills korvo_problemType.tp_methods from the method tables of every problem
// file; called once before the type is readied.
int problem_type_prepare(void);

// Registry entries: appends obj (which: 0 variable, 1 constraint, 2 SOS)
// at engine index `index`; removes the object at one position, moving the
// later ones down. 0 or -1 with an exception.
int registry_append(problem_s *p, int which, PyObject *obj, int64_t index);
int registry_remove(problem_s *p, int which, int position);

// Number of columns (rows) as the solver of the problem sees them; -1 with
// an exception.
int64_t problem_column_count(problem_s *p);
int64_t problem_row_count(problem_s *p);
// 1 when the problem has discrete entities, 0 when not, -1 with an exception.
int problem_is_mip(problem_s *p);
// Takes a constructed or presolved nonlinear problem back before changes.
int check_nl_unconstruct(problem_s *p);
// Sets the objective (sense 1 or -1); 0 or -1 with an exception.
int problem_set_objective(problem_s *p, PyObject *objective, long sense);

// Around an engine solve of p that runs with the interpreter lock released
// (nestable, from any thread): while it runs, Ctrl-C asks the engine to
// stop with stop reason 2 (stop_ctrlc) and keeps what it found. set returns
// a slot to hand to reset; reset returns -1 with the exception of Python's
// SIGINT handler (KeyboardInterrupt by default) when a SIGINT came, else 0.
int setSigIntHandler(problem_s *p);
int resetSigIntHandler(int slot);

// Marks a problem as being solved for the scope of a solve that releases
// the interpreter lock: other threads' changes to it are refused meanwhile
// (problem_refuse_while_solving, change_journal.h).
struct problem_solving_scope {
  problem_s *p;
  explicit problem_solving_scope(problem_s *problem) : p(problem) { ++p->solving; }
  ~problem_solving_scope() { --p->solving; }
  problem_solving_scope(const problem_solving_scope &) = delete;
  problem_solving_scope &operator=(const problem_solving_scope &) = delete;
};

// Method tables (each ended by a null entry).
PyMethodDef *problem_base_method_table(void);
PyMethodDef *problem_registry_method_table(void);
PyMethodDef *problem_objective_method_table(void);
PyMethodDef *problem_solution_method_table(void);
PyMethodDef *problem_files_method_table(void);

#endif
