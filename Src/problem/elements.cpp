// Elements given to the problem constructor.
#include "knls.h"
#include "krvs.h"
#include "problem/problem_methods.h"
#include "python_model/korvo_module.h"

int problem_add_elements(problem_s *p, PyObject *elements, long) {
  bool named = false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(elements); ++i) {
    PyObject *item = PyTuple_GET_ITEM(elements, i);
    if (PyUnicode_Check(item) || PyBytes_Check(item)) {
      if (named) {
        PyErr_SetString(korvo_model_error, "More than one string passed in problem declaration");
        return -1;
      }
      named = true;
      const char *name = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : PyBytes_AS_STRING(item);
      if (!name) return -1;
      if (KRVSsetprobname(p->prob, name) != 0) {
        krvs_error(reinterpret_cast<PyObject *>(p));
        return -1;
      }
      continue;
    }
    PyErr_SetString(korvo_model_error, "Modelling objects cannot be passed to korvo.problem() yet");
    return -1;
  }
  return 0;
}
