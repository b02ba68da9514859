#include "python_model/numbers.h"

#include "numpy_types/npy_api.h"

bool is_integer_value(PyObject *obj) {
  return PyLong_Check(obj) || PyArray_IsScalar(obj, Int32) || PyArray_IsScalar(obj, Int64);
}

bool is_float_or_integer_value(PyObject *obj) { return PyFloat_Check(obj) || is_integer_value(obj); }

bool isNumericScalar(PyObject *obj) {
  return PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_IsScalar(obj, Float32) ||
         PyArray_IsScalar(obj, Float64) || PyArray_IsScalar(obj, Int32) || PyArray_IsScalar(obj, Int64);
}

bool isNumpyArray(PyObject *obj) { return PyArray_Check(obj); }
