// Module-level functions come from several files; each contributes one
// method table (ended by a null entry) that module start-up merges.
#ifndef KORVO_METHOD_TABLES_H
#define KORVO_METHOD_TABLES_H

#include <Python.h>

extern PyMethodDef korvo_library_methods[];  // init, free, getbanner, ... (library_start.cpp)
extern PyMethodDef korvo_output_methods[];   // setOutputEnabled, message handlers (output.cpp)
extern PyMethodDef korvo_arrays_methods[];   // vars, Sum, Prod, Dot (arrays.cpp)
extern PyMethodDef korvo_nonlinear_methods[];  // sin ... erfc, min, max, And, Or, pwl, user, evaluate (nonlin/functions.cpp)

#endif
