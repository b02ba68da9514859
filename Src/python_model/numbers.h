// Which Python objects count as numbers where the module accepts them.
#ifndef KORVO_NUMBERS_H
#define KORVO_NUMBERS_H

#include <Python.h>

// Python int (bool included) or a NumPy 32- or 64-bit integer scalar.
bool is_integer_value(PyObject *obj);
// A Python float (or subclass) or an integer value as above.
bool is_float_or_integer_value(PyObject *obj);

#endif
