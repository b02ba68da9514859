// Which Python objects count as numbers where the module accepts them.
#ifndef KORVO_NUMBERS_H
#define KORVO_NUMBERS_H

#include <Python.h>

// Python int (bool included) or a NumPy 32- or 64-bit integer scalar.
bool is_integer_value(PyObject *obj);
// A Python float (or subclass) or an integer value as above.
bool is_float_or_integer_value(PyObject *obj);

// The numeric constants of modelling operations: Python int/float (and
// subclasses, bool included) or a NumPy float32/float64/int32/int64 scalar.
bool isNumericScalar(PyObject *obj);
// A NumPy array (or subclass).
bool isNumpyArray(PyObject *obj);

#endif
