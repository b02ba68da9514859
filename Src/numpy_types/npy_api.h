// Include this (never numpy headers directly) in every file that uses the
// NumPy C interface: all files share one API table, imported at start-up.
#ifndef KORVO_NPY_API_H
#define KORVO_NPY_API_H

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL KORVO_OPT_ARRAY_API
#define PY_UFUNC_UNIQUE_SYMBOL KORVO_OPT_UFUNC_API
#ifndef KORVO_NPY_IMPORTING
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#endif
