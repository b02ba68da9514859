// korvo.Dot: products of NumPy arrays of numbers and modelling objects with
// the shape rule of NumPy's dot.
#ifndef KORVO_DOT_H
#define KORVO_DOT_H

#include <Python.h>

// The product of two arrays, or of a sparse matrix and an array (a is None on
// the first step of a reduction: b is returned). out, when not null, receives the result. New reference or null
// with ModelError set.
PyObject *tensor_mult(PyObject *a, PyObject *b, PyObject *out);

// Replaces *obj (an owned reference) by its expression form: a number becomes
// a constant expression; an array holding numbers becomes an array of the same
// shape with constant expressions in their place; modelling objects and arrays
// of them stay. 0, or -1 with ModelError set (*obj unchanged).
int convert_const_to_expr(PyObject **obj);

PyObject *korvomod_Dot(PyObject *self, PyObject *args, PyObject *kwargs);

#endif
