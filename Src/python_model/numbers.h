// Which Python objects count as numbers where the module accepts them.
#ifndef KORVO_NUMBERS_H
#define KORVO_NUMBERS_H

#include <Python.h>

#include "python_model/korvo_module.h"

// Python int (bool included) or a NumPy 32- or 64-bit integer scalar.
bool is_integer_value(PyObject *obj);
// A Python float (or subclass) or an integer value as above.
bool is_float_or_integer_value(PyObject *obj);

// The numeric constants of modelling operations: Python int/float (and
// subclasses, bool included) or a NumPy float32/float64/int32/int64 scalar.
bool isNumericScalar(PyObject *obj);
// A NumPy array (or subclass).
bool isNumpyArray(PyObject *obj);

// True when obj is exactly a variable, term, expression, nonlinear node,
// float or int. None of these types derives from another, so a type test
// against one of them is answered by comparing types, without the subtype
// test that walks the MRO.
inline bool is_exact_operand_type(PyObject *obj) {
  PyTypeObject *type = Py_TYPE(obj);
  return type == &korvo_varType || type == &korvo_lintermType || type == &korvo_expressionType ||
         type == &PyFloat_Type || type == &PyLong_Type || type == &korvo_quadtermType || type == &korvo_nonlinType;
}
// PyObject_TypeCheck(obj, type) for one of the types above.
inline bool is_operand_of_type(PyObject *obj, PyTypeObject *type) {
  return Py_IS_TYPE(obj, type) || (!is_exact_operand_type(obj) && PyType_IsSubtype(Py_TYPE(obj), type));
}

#endif
