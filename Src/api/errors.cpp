#include "api/errors.h"

#include "api/branchobj.h"

#include <cstring>

#include "knls.h"
#include "krvs.h"
#include "problem/problem.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

void raise_global_error() {
  int code = 0;
  char msg[512] = {0};
  KRVS_ge_getlasterror(&code, msg, sizeof msg, nullptr);
  PyErr_SetString(korvo_interface_error,
                  msg[0] ? msg : "Unidentified error associated with the global environment");
}

}  // namespace

void raise_engine_error(KRVSprob prob, KNLSprob nlprob) {
  char msg[512] = {0};
  if (prob) KRVSgetlasterror(prob, msg);
  if (!msg[0] && nlprob) {
    int use_count;
    {
      MutexGuard lock(krv_py_env.mutexes[MUTEX_LIB_USE]);
      use_count = krv_py_env.lib_use_count;
    }
    if (use_count != 0) {
      int code = 0;
      KNLSgetlasterror(nlprob, &code, msg);
    }
  }
  PyErr_SetString(korvo_solver_error, msg[0] ? msg : "Unidentified error associated with optimization problem");
}

namespace {

void raise_problem_error(problem_s *p) { raise_engine_error(p->prob, p->nlprob); }

}  // namespace

void setKrvsErrIfNull(PyObject *context, PyObject *result) {
  if (result || PyErr_Occurred()) return;
  if (context && PyObject_TypeCheck(context, &korvo_problemType)) {
    raise_problem_error(reinterpret_cast<problem_s *>(context));
  } else if (context && PyObject_TypeCheck(context, &korvo_branchobjType)) {
    char msg[2048] = "";
    int code = 0;
    if (KRVSbranchobject bo = branchobj_engine_object(context)) KRVS_bo_getlasterror(bo, &code, msg, sizeof msg, nullptr);
    PyErr_SetString(korvo_solver_error, msg[0] ? msg : "Unidentified error associated with a branching object");
  } else {
    raise_global_error();
  }
}

PyObject *krvs_result(int rc) {
  if (rc != 0) return nullptr;
  Py_RETURN_NONE;
}
