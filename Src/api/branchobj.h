// korvo.branchobj: a Python handle of one of the engine's branching objects.
#ifndef KORVO_BRANCHOBJ_H
#define KORVO_BRANCHOBJ_H

#include <Python.h>

#include "krvs.h"

struct branchobj_s {
  PyObject_HEAD
  // The engine's object: owned until it is stored or handed to the search,
  // borrowed while it is the search's candidate in a callback; null after.
  KRVSbranchobject obj;
  PyObject *problem;  // the korvo.problem it belongs to (a reference)
  int isoriginal;     // columns of the original problem (1) or plain indices (0)
  int owned;          // 1 when releasing the Python object destroys obj
};

// A handle wrapping an object the search owns (chgbranchobject's
// candidate), for `problem`; new reference or null.
PyObject *branchobj_wrap_borrowed(PyObject *problem, KRVSbranchobject obj);
// The engine object of a handle (null when it has none).
KRVSbranchobject branchobj_engine_object(PyObject *self);
// Gives up the handle's engine object: the engine has taken it over or it
// is the search's; releasing the handle then destroys nothing.
void branchobj_release_engine_object(PyObject *self);

#endif
