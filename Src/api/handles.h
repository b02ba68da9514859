// The opaque handle types: korvo.poolcut, korvo.krvsobject, korvo.generic.
#ifndef KORVO_HANDLES_H
#define KORVO_HANDLES_H

#include <Python.h>

#include "python_model/korvo_module.h"

// New handle objects holding a pointer (new reference, or null with an exception).
PyObject *poolcut_create(void *cut);
PyObject *krvsobject_create(void *object);
PyObject *voidstar_create(void *ptr);

// The pointer of a handle: 0, or -1 with ModelError when obj is no poolcut.
int poolcut_getcut(PyObject *obj, void **cut);
// The pointer of a handle; null with ModelError for the wrong type (a
// handle may also hold null: check PyErr_Occurred).
void *krvsobject_getobj(PyObject *obj);
void *voidstar_getobj(PyObject *obj);

#endif
