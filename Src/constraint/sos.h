// korvo.sos: a special ordered set of type 1 or 2.
#ifndef KORVO_SOS_H
#define KORVO_SOS_H

#include <Python.h>

#include <cstdint>

#include "python_model/korvo_module.h"

struct sos_s {
  PyObject_HEAD
  int64_t id;
  PyObject *name;
  int32_t type;
  PyObject *indices;  // list of variables
  PyObject *weights;  // list of weights, one per variable
};

inline bool isSos(PyObject *obj) { return PyObject_TypeCheck(obj, &korvo_sosType); }

// A new set with a fresh identity, type 1 and no lists.
PyObject *sos_new(PyTypeObject *type);
PyObject *sos_copy(PyObject *self, PyObject *unused);

#endif
