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

// Asked of every right operand of every operation: the exact types met in
// models answer without the subtype test.
bool isNumpyArray(PyObject *obj) {
  if (Py_IS_TYPE(obj, &PyArray_Type)) return true;
  return !is_exact_operand_type(obj) && PyArray_Check(obj);
}
