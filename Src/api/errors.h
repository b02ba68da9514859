// The single error path of every engine call.
#ifndef KORVO_ERRORS_H
#define KORVO_ERRORS_H

#include <Python.h>

#include "knls.h"
#include "krvs.h"

// When result is null and no Python exception is pending, raises the
// engine's last error: InterfaceError for the global environment (context
// null or None), SolverError for a problem or a branching object.
void setKrvsErrIfNull(PyObject *context, PyObject *result);
// Raises the last error of a pair of engine problems as SolverError (the
// optimizer's, else the nonlinear solver's), as setKrvsErrIfNull does for
// a problem object; for engine problems not (yet) owned by one.
void raise_engine_error(KRVSprob prob, KNLSprob nlprob);

// Engine return code to result object: Py_None (new reference) on 0, null otherwise.
PyObject *krvs_result(int rc);

#endif
