// Module-level builders: vars (many variables at once), Sum and Prod, and
// the argument walk that Sum, Prod and Dot share.
#ifndef KORVO_ARRAYS_H
#define KORVO_ARRAYS_H

#include <Python.h>

// Called once per item of a reduction with a borrowed reference; 0 or -1
// with an exception set (which stops the walk).
typedef int (*reduction_visit)(PyObject *item, void *context);

// Walks the items of a reduction: with exactly one argument the items of
// that container (tuple, list, other sequence, dict values, iterator, NumPy
// array) or the argument itself when it is a single modelling object or
// number; with several arguments, the arguments. None items are skipped.
// 0 or -1 with an exception set.
int reduction_walk(PyObject *args, reduction_visit visit, void *context);
// The same walk over the items of one container; 1 when obj is not a container.
int reduction_walk_container(PyObject *obj, reduction_visit visit, void *context);

PyObject *korvomod_vars(PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *korvomod_Sum(PyObject *self, PyObject *args);
PyObject *korvomod_Prod(PyObject *self, PyObject *args);

#endif
