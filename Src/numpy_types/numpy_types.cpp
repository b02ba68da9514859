#define KORVO_NPY_IMPORTING
#include "numpy_types/npy_api.h"

#include "numpy_types/numpy_types.h"
#include "python_model/korvo_module.h"

int setAltNumOps(void) {
  if (_import_array() < 0) {
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return -1;
  }
  if (_import_umath() < 0) {
    PyErr_SetString(PyExc_ImportError, "numpy.core.umath failed to import");
    return -1;
  }
  return 0;
}

int numpy_types_publish(PyObject *) { return 0; }
