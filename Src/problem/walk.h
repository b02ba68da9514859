// The nested-argument walk: the one way in which problem methods accept an
// object or any nesting of containers of objects.
#ifndef KORVO_WALK_H
#define KORVO_WALK_H

#include <Python.h>

struct problem_s;

// Visitor results: go on with the next leaf, stop the walk without error,
// or stop it with a Python exception set.
enum walk_result { WALK_CONTINUE = 0, WALK_STOP = 1, WALK_ERROR = -1 };

typedef int (*leaf_visitor)(problem_s *p, PyObject *leaf, void *context);

// Nesting a walk follows before it gives up.
constexpr int WALK_BUDGET = 32;

// Calls visitor(p, leaf, context) for each leaf of obj in order: tuples and
// lists item by item, other sequences through their fast-sequence form,
// dicts by value, iterators until exhaustion, NumPy arrays element by
// element in memory order (object elements are walked again); strings,
// bytes and everything else are leaves. Returns WALK_CONTINUE when every
// leaf was visited, WALK_STOP when a visitor stopped it, WALK_ERROR with an
// exception set.
int walkLeaves(problem_s *p, PyObject *obj, leaf_visitor visitor, void *context, int budget);

// Leaves a walk of args (a tuple of arguments) will likely visit: the sizes
// of its arrays, lists, tuples and dicts without looking inside them. Callers
// reserve room for that many objects; a wrong guess only costs a growth.
size_t expected_leaves(PyObject *args);

// True for an object whose type has a working iterator-next slot.
bool has_iternext(PyObject *obj);

#endif
