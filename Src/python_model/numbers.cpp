#include "python_model/numbers.h"

#include "numpy_types/npy_api.h"
#include "python_model/korvo_module.h"

bool is_integer_value(PyObject *obj) {
  return PyLong_Check(obj) || PyArray_IsScalar(obj, Int32) || PyArray_IsScalar(obj, Int64);
}

bool is_float_or_integer_value(PyObject *obj) { return PyFloat_Check(obj) || is_integer_value(obj); }

bool isNumericScalar(PyObject *obj) {
  return PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_IsScalar(obj, Float32) ||
         PyArray_IsScalar(obj, Float64) || PyArray_IsScalar(obj, Int32) || PyArray_IsScalar(obj, Int64);
}

// Asked of every right operand of every operation: the exact types met in
// models answer without the subtype test, which walks the type's MRO.
bool isNumpyArray(PyObject *obj) {
  PyTypeObject *type = Py_TYPE(obj);
  if (type == &PyArray_Type) return true;
  if (type == &PyFloat_Type || type == &PyLong_Type || type == &korvo_varType || type == &korvo_lintermType ||
      type == &korvo_expressionType || type == &korvo_quadtermType || type == &korvo_nonlinType)
    return false;
  return PyArray_Check(obj);
}
