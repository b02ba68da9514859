// Functions shared by the files that make up the korvo.problem type.
#ifndef KORVO_PROBLEM_METHODS_H
#define KORVO_PROBLEM_METHODS_H

#include <Python.h>

#include "problem/problem.h"

// True when the problem has nonlinear constraints or a nonlinear objective.
bool problem_is_nonlinear(const problem_s *p);
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

// Method tables (each ended by a null entry).
PyMethodDef *problem_base_method_table(void);

#endif
