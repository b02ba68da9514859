#include "python_model/output.h"

#include <Python.h>

#include <cstring>

#include "api/errors.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"

namespace {

// Writes one message line to sys.stdout when output is switched on.
void krv_py_print_general(const char *msg) {
  uint32_t enabled;
  {
    MutexGuard lock(krv_py_env.mutexes[MUTEX_OUTPUT]);
    enabled = krv_py_env.output_enabled;
  }
  if (!enabled || !msg) return;
  GilGuard gil;
  // PySys_FormatStdout cuts nothing, unlike PySys_WriteStdout's 1000 bytes.
  PySys_FormatStdout("%s\n", msg);
}

PyObject *korvomod_setOutputEnabled(PyObject *, PyObject *value) {
  if (!is_integer_value(value)) {
    PyErr_SetString(korvo_model_error, "Incorrect argument in setOutputEnabled: should be True or False");
    return nullptr;
  }
  int truth = PyObject_IsTrue(value);
  if (truth < 0) return nullptr;
  MutexGuard lock(krv_py_env.mutexes[MUTEX_OUTPUT]);
  krv_py_env.output_enabled = truth ? 1 : 0;
  Py_RETURN_NONE;
}

PyObject *korvomod_getOutputEnabled(PyObject *, PyObject *) {
  MutexGuard lock(krv_py_env.mutexes[MUTEX_OUTPUT]);
  return PyBool_FromLong(krv_py_env.output_enabled);
}

// Calls the user's handler stored in the [callable, data] entry.
int wrapper_msghandler(KRVSobject sender, void *user_data, void *opaque, const char *msg, int, int msgtype) {
  GilGuard gil;
  if (PyErr_Occurred()) return 0;
  PyObject *entry = static_cast<PyObject *>(user_data);
  if (!entry || !PyList_Check(entry) || PyList_GET_SIZE(entry) < 2) {
    PyErr_SetString(korvo_interface_error, "Incorrect general environment message handler detected");
    return -1;
  }
  PyObject *callable = PyList_GET_ITEM(entry, 0);
  PyObject *data = PyList_GET_ITEM(entry, 1);
  PyRef sender_handle(PyCapsule_New(sender ? sender : entry, "korvo.krvsobject", nullptr));
  PyRef opaque_handle(opaque ? PyCapsule_New(opaque, "korvo.voidstar", nullptr) : Py_NewRef(Py_None));
  if (!sender_handle || !opaque_handle) return 0;
  PyRef result(PyObject_CallFunction(callable, "(OOOsll)", sender_handle.get(), data, opaque_handle.get(),
                                     msg ? msg : "", long(msgtype), 0L));
  return 0;
}

PyObject *korvomod_addcbmsghandler(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"msghandler", "data", "priority", nullptr};
  PyObject *handler, *data;
  int priority;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOi", const_cast<char **>(keywords), &handler, &data,
                                   &priority)) {
    PyErr_SetString(korvo_interface_error,
                    "Incorrect arguments in addcbmsghandler. Must provide correct list of three arguments");
    return nullptr;
  }
  PyRef entry(Py_BuildValue("[OO]", handler, data));
  if (!entry) return nullptr;
  {
    MutexGuard lock(krv_py_env.mutexes[MUTEX_MSG_HANDLERS]);
    if (PyList_Append(krv_py_env.msg_handlers, entry.get()) < 0) return nullptr;
  }
  if (turnKRVSon(0) < 0) return nullptr;
  PyObject *result = krvs_result(KRVS_ge_addcbmsghandler(wrapper_msghandler, entry.get(), priority));
  setKrvsErrIfNull(nullptr, result);
  return result;
}

PyObject *korvomod_removecbmsghandler(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"msghandler", "data", nullptr};
  PyObject *handler = Py_None, *data = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO", const_cast<char **>(keywords), &handler, &data)) {
    PyErr_SetString(korvo_interface_error,
                    "Incorrect arguments in removecbmsghandler. Must provide correct list of two arguments");
    return nullptr;
  }
  MutexGuard lock(krv_py_env.mutexes[MUTEX_MSG_HANDLERS]);
  PyObject *list = krv_py_env.msg_handlers;
  bool found = false;
  for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i) {
    PyObject *entry = PyList_GET_ITEM(list, i);
    if (!PyList_Check(entry) || PyList_GET_SIZE(entry) < 2) {
      PyErr_SetString(korvo_interface_error, "Incorrect data stored in callback");
      return nullptr;
    }
    if ((handler == Py_None || PyList_GET_ITEM(entry, 0) == handler) &&
        (data == Py_None || PyList_GET_ITEM(entry, 1) == data)) {
      found = true;
      if (turnKRVSon(0) < 0) return nullptr;
      if (KRVS_ge_removecbmsghandler(wrapper_msghandler, entry) != 0) {
        setKrvsErrIfNull(nullptr, nullptr);
        return nullptr;
      }
      if (PySequence_DelItem(list, i) < 0) return nullptr;
    }
  }
  if (!found) {
    PyErr_SetString(korvo_interface_error, "Callback not found");
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

int krv_py_print(KRVSobject sender, void *, void *, const char *msg, int, int) {
  const char *type_name = nullptr;
  if (sender && KRVSgetobjecttypename(sender, &type_name) == 0 && type_name && strcmp(type_name, "KRVSprob") == 0)
    return 0;
  krv_py_print_general(msg);
  return 0;
}

void krv_py_print_prob(KRVSprob, void *, const char *msg, int, int) { krv_py_print_general(msg); }

void krv_py_print_probNL(KNLSprob, void *, const char *msg, int, int) { krv_py_print_general(msg); }

PyMethodDef korvo_output_methods[] = {
    {"setOutputEnabled", korvomod_setOutputEnabled, METH_O,
     KORVO_DOC("Switches the library's messages on Python's standard output on or off.",
               "korvo.setOutputEnabled(enabled)", KORVO_ARG("enabled: True or False (or an integer)."),
               "korvo.setOutputEnabled(False)", "Output goes through sys.stdout, so redirecting it redirects the log.")},
    {"getOutputEnabled", korvomod_getOutputEnabled, METH_NOARGS,
     KORVO_DOC("Tells whether the library's messages are printed.", "enabled = korvo.getOutputEnabled()",
               KORVO_NO_ARGS, "korvo.getOutputEnabled()", "See also setOutputEnabled().")},
    {"addcbmsghandler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(korvomod_addcbmsghandler)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Registers a Python function that receives every message of the library's global environment.",
               "korvo.addcbmsghandler(msghandler, data, priority)",
               KORVO_ARGS("msghandler: called as msghandler(object, data, opaque, message, type, code);\n"
                          "  data: any object, handed to the function;\n  priority: an integer, higher first."),
               "korvo.addcbmsghandler(lambda o, d, p, m, t, c: print(m), None, 0)",
               "See also removecbmsghandler().")},
    {"removecbmsghandler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(korvomod_removecbmsghandler)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Removes message handlers registered with addcbmsghandler.", "korvo.removecbmsghandler(msghandler, data)",
               KORVO_ARGS("msghandler: the function, or None for any;\n  data: the data object, or None for any."),
               "korvo.removecbmsghandler(None, None)", "Handlers match by identity.")},
    {nullptr, nullptr, 0, nullptr}};
