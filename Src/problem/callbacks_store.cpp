// The problem's callback slots: release and copy.
#include "knls.h"
#include "problem/problem_methods.h"

void problem_clear_callbacks(problem_s *p) {
  for (PyObject *&slot : p->callbacks) Py_CLEAR(slot);
}

int problem_copy_callbacks(problem_s *, problem_s *) {
  // No callback kind can be registered yet, so there is nothing to copy.
  return 0;
}

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
