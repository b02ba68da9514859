// The problem's callback slots: release and copy.
#include "problem/problem_methods.h"

void problem_clear_callbacks(problem_s *p) {
  for (PyObject *&slot : p->callbacks) Py_CLEAR(slot);
}

int problem_copy_callbacks(problem_s *, problem_s *) {
  // No callback kind can be registered yet, so there is nothing to copy.
  return 0;
}

void problem_release_user_functions(problem_s *) {}
