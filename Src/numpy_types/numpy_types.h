// NumPy data types of the modelling objects and their element loops.
#ifndef KORVO_NUMPY_TYPES_H
#define KORVO_NUMPY_TYPES_H

#include <Python.h>

// Imports NumPy's C interface and registers the data types and loops;
// 0, or -1 with an exception set.
int setAltNumOps(void);
// Publishes npvar, npexpr and npconstraint on the module.
int numpy_types_publish(PyObject *module);

// Type numbers of the registered data types (-1 before registration).
int npvar_typenum(void);
int npexpr_typenum(void);
int npconstraint_typenum(void);

#endif
