// User functions of the nonlinear solver held by a problem. (The callback
// slots are kept by Src/api/callback_methods.cpp.)
#include "knls.h"
#include "problem/problem_methods.h"

void problem_release_user_functions(problem_s *p) {
  if (!p->user_functions || !p->nlprob) return;
  Py_ssize_t n = PyDict_Size(p->user_functions);
  for (Py_ssize_t i = 1; i <= n; ++i) {
    void *object = nullptr;
    if (KNLSgetuserfuncobject(p->nlprob, int(i), &object) != 0) break;
    KNLSsetuserfuncobject(p->nlprob, int(i), nullptr);
    Py_XDECREF(static_cast<PyObject *>(object));
  }
}
