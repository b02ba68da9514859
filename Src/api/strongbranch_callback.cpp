// strongbranchcb: strong branching with a Python function called after the
// re-solve of each bound change. The function receives the problem itself
// (strong branching runs on the calling thread, with the interpreter lock),
// which refuses changes to the model until strong branching is over.
#include <Python.h>

#include <cstdio>
#include <vector>

#include "api/callbacks.h"
#include "api/conversion.h"
#include "api/errors.h"
#include "api/wrapper_table.h"
#include "krvs.h"
#include "problem/change_journal.h"
#include "problem/problem.h"
#include "python_model/allocator.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

constexpr int kStopUser = 9;

// The call's context: [problem, callback, data] and the exception the
// callback raised first.
struct solve_context {
  PyObject *list;
  PyObject *error = nullptr;
};

int solvecb(KRVSprob handle, void *ctx, int branch) {
  GilGuard gil;
  auto *context = static_cast<solve_context *>(ctx);
  if (context->error) {
    KRVSinterrupt(handle, kStopUser);
    return 0;
  }
  PyRef result(PyObject_CallFunction(PyList_GET_ITEM(context->list, 1), "OOi", PyList_GET_ITEM(context->list, 0),
                                     PyList_GET_ITEM(context->list, 2), branch));
  if (!result) {
    fputs("Problem in solvecb() callback function, stopping optimization", stderr);
    fflush(stderr);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    context->error = value ? value : Py_NewRef(type);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    KRVSinterrupt(handle, kStopUser);
    return 0;
  }
  return callback_int_result(result.get());
}

struct conv_array {
  void *ptr = nullptr;
  ~conv_array() { ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &ptr); }
};

PyObject *strongbranchcb_method(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *const current[] = {"colind", "bndtype", "bndval", "iterlim", "objval",
                                        "status", "callback", "data", nullptr};
  static const char *const legacy[] = {"bndind", "bndtype", "bndval", "itrlimit", "objval",
                                       "status", "sbsolvecb", "vContext", nullptr};
  auto *p = reinterpret_cast<problem_s *>(self);
  PyObject *cols = nullptr, *types = nullptr, *values = nullptr, *objval = nullptr, *status = nullptr,
           *callback = nullptr, *data = Py_None;
  int iterlim = 0;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "OOOiOOO|O", current, legacy, &cols, &types, &values, &iterlim, &objval,
                                &status, &callback, &data))
    return nullptr;
  if (!PyCallable_Check(callback)) {
    PyErr_SetString(korvo_interface_error, "strongbranchcb() needs a callable as callback");
    return nullptr;
  }
  if ((objval != Py_None && !PyList_Check(objval)) || (status != Py_None && !PyList_Check(status))) {
    PyErr_SetString(korvo_interface_error, "objval and status must be lists or None");
    return nullptr;
  }
  if (p->solving > 0) {
    problem_refuse_while_solving(p, "strongbranchcb()");
    return nullptr;
  }
  if (problem_apply_object_changes(p) < 0) return nullptr;
  int64_t n = -1;
  conv_array c, t, v;
  if (conv_obj2arr(p, &n, cols, &c.ptr, CONV_COL) < 0 || conv_obj2arr(p, &n, types, &t.ptr, CONV_CHAR) < 0 ||
      conv_obj2arr(p, &n, values, &v.ptr, CONV_DOUBLE) < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Invalid column, bound type or bound value");
    return nullptr;
  }
  if (n < 0) n = 0;
  if (n > INT32_MAX) return PyErr_Format(korvo_model_error, "Too many bound changes");
  PyRef list(PyList_New(3));
  if (!list) return nullptr;
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(self));
  PyList_SET_ITEM(list.get(), 1, Py_NewRef(callback));
  PyList_SET_ITEM(list.get(), 2, Py_NewRef(data));
  std::vector<double> objvals(size_t(n) + 1);
  std::vector<int> statuses(size_t(n) + 1);
  solve_context context{list.get()};
  ++p->solving;  // the model stays as it is while the callback runs
  const int rc = KRVSstrongbranchcb(p->prob, int(n), static_cast<int *>(c.ptr), static_cast<char *>(t.ptr),
                                    static_cast<double *>(v.ptr), iterlim, objvals.data(), statuses.data(), solvecb,
                                    &context);
  --p->solving;
  if (context.error) {
    PyObject *error = context.error;
    if (PyExceptionInstance_Check(error)) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error)), error);
    else PyErr_SetNone(error);
    Py_DECREF(error);
    return nullptr;
  }
  if (rc != 0) {
    setKrvsErrIfNull(self, nullptr);
    return nullptr;
  }
  if (objval != Py_None && conv_arr2obj(p, n, objvals.data(), &objval, CONV_DOUBLE) < 0) return nullptr;
  if (status != Py_None && conv_arr2obj(p, n, statuses.data(), &status, CONV_INT) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef strongbranch_callback_methods[] = {
    {"strongbranchcb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(strongbranchcb_method)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Strong branching with a function called after each re-solve.",
               "p.strongbranchcb(colind, bndtype, bndval, iterlim, objval, status, callback, data=None)",
               KORVO_ARGS("colind, bndtype, bndval, iterlim, objval, status: as for strongbranch;\n  callback: called "
                          "as callback(problem, data, k) after the re-solve of bound change k;\n  data: any object "
                          "handed to every call."),
               "obj, st = [], []; p.strongbranchcb([x, x], 'UL', [2, 3], 100, obj, st, lambda q, d, k: 0)",
               "A nonzero result ends strong branching: the changes left get status 0. An exception raised by the "
               "callback ends it too and is raised by strongbranchcb; the problem cannot be changed meanwhile.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(strongbranch_callback_methods);
