// Module-level functions come from several files; each contributes one
// method table (ended by a null entry) that module start-up merges.
#ifndef KORVO_METHOD_TABLES_H
#define KORVO_METHOD_TABLES_H

#include <Python.h>

extern PyMethodDef korvo_library_methods[];  // init, free, getbanner, ... (library_start.cpp)
extern PyMethodDef korvo_output_methods[];   // setOutputEnabled, message handlers (output.cpp)
extern PyMethodDef korvo_arrays_methods[];   // vars, Sum, Prod, Dot (arrays.cpp)
extern PyMethodDef korvo_nonlinear_methods[];  // sin ... erfc, min, max, And, Or, pwl, user, evaluate (nonlin/functions.cpp)
extern PyMethodDef korvo_pickling_methods[];   // _rebuild_var ... _rebuild_problem (pickling.cpp)

// Adds __reduce__ (and __copy__ where it differs) to the modelling types;
// called once before the types are readied (pickling.cpp).
int pickling_prepare_types(void);

#endif
