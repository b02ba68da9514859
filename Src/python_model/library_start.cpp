// Starting and stopping the engine (use-counted), and the module functions
// that only forward to the engine's global environment.
#include <Python.h>

#include "api/errors.h"
#include "knls.h"
#include "krvs.h"
#include "problem/controls.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/output.h"
#include "python_model/pyref.h"

int turnKRVSon(int force) {
  int count;
  {
    MutexGuard lock(krv_py_env.mutexes[MUTEX_LIB_USE]);
    count = ++krv_py_env.lib_use_count;
  }
  if (!force && count > 1) return 0;
  if (KRVSinit(nullptr) != 0) {
    {
      MutexGuard lock(krv_py_env.mutexes[MUTEX_LIB_USE]);
      --krv_py_env.lib_use_count;
    }
    char msg[2048] = {0};
    int code = 0;
    KRVS_ge_getlasterror(&code, msg, sizeof msg, nullptr);
    PyErr_SetString(korvo_interface_error, msg[0] ? msg : "Could not start the optimizer library");
    return -1;
  }
  KRVS_ge_addcbmsghandler(krv_py_print, nullptr, 1);
  if (KNLSinit(nullptr) != 0) {
    PyErr_SetString(korvo_interface_error, "Error initializing KNLS environment");
    return -1;
  }
  if (PyDict_Size(krv_py_env.attr_info) == 0 && ctrl_attr_fill_typeobj(1) < 0) return -1;
  return 0;
}

int turnKRVSoff(int force) {
  int count;
  {
    MutexGuard lock(krv_py_env.mutexes[MUTEX_LIB_USE]);
    count = --krv_py_env.lib_use_count;
  }
  if (!force && count != 0) return 0;
  if (KNLSfree() != 0) {
    setKrvsErrIfNull(nullptr, nullptr);
    return -1;
  }
  KRVS_ge_removecbmsghandler(krv_py_print, nullptr);
  if (KRVSfree() != 0) {
    setKrvsErrIfNull(nullptr, nullptr);
    return -1;
  }
  return 0;
}

namespace {

PyObject *none_or_error(int rc) {
  PyObject *result = krvs_result(rc);
  setKrvsErrIfNull(nullptr, result);
  return result;
}

PyObject *korvomod_init(PyObject *, PyObject *) {
  if (turnKRVSon(1) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *korvomod_free(PyObject *, PyObject *) {
  if (turnKRVSoff(1) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *korvomod_getbanner(PyObject *, PyObject *) {
  if (turnKRVSon(0) < 0) return nullptr;
  char banner[1024] = {0};
  if (KRVSgetbanner(banner) != 0) return none_or_error(1);
  return PyUnicode_FromString(banner);
}

PyObject *korvomod_getversion(PyObject *, PyObject *) {
  if (turnKRVSon(0) < 0) return nullptr;
  char version[32] = {0};
  if (KRVSgetversion(version) != 0) return none_or_error(1);
  return PyUnicode_FromString(version);
}

PyObject *korvomod_getcheckedmode(PyObject *, PyObject *) {
  if (turnKRVSon(0) < 0) return nullptr;
  int mode = 0;
  if (KRVSgetcheckedmode(&mode) != 0) return none_or_error(1);
  return PyBool_FromLong(mode != 0);
}

PyObject *korvomod_setcheckedmode(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"checked_mode", nullptr};
  PyObject *mode;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char **>(keywords), &mode)) return nullptr;
  if (turnKRVSon(0) < 0) return nullptr;
  return none_or_error(KRVSsetcheckedmode(mode == Py_True ? 1 : 0));
}

PyObject *korvomod_setarchconsistency(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"ifArchConsistent", nullptr};
  PyObject *value;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char **>(keywords), &value)) return nullptr;
  return none_or_error(KRVS_ge_setarchconsistency(value == Py_None || value == Py_False ? 0 : 1));
}

PyObject *korvomod_getcomputeallowed(PyObject *, PyObject *) {
  int allowed = -1;
  if (KRVS_ge_getcomputeallowed(&allowed) != 0) return none_or_error(1);
  return PyLong_FromLong(allowed);
}

PyObject *korvomod_setcomputeallowed(PyObject *, PyObject *value) {
  if (!is_integer_value(value)) {
    PyErr_SetString(korvo_model_error, "Incorrect argument in setcomputeallowed: should be integer");
    return nullptr;
  }
  long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) return nullptr;
  return none_or_error(KRVS_ge_setcomputeallowed(int(v)));
}

PyObject *korvomod_getlasterror(PyObject *, PyObject *) {
  if (turnKRVSon(0) < 0) return nullptr;
  int code = 0;
  char msg[1024] = {0};
  if (KRVS_ge_getlasterror(&code, msg, sizeof msg, nullptr) != 0) return none_or_error(1);
  return Py_BuildValue("(is)", code, msg);
}

PyObject *korvomod_setdefaults(PyObject *, PyObject *) {
  MutexGuard lock(krv_py_env.mutexes[MUTEX_DEFAULT_CONTROLS]);
  PyDict_Clear(krv_py_env.default_controls);
  Py_RETURN_NONE;
}

PyObject *korvomod_setdefaultcontrol(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"ipar", nullptr};
  const char *name;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s", const_cast<char **>(keywords), &name)) return nullptr;
  char lower[1025];
  if (to_lowercase_all(name, lower) < 0) return nullptr;
  MutexGuard lock(krv_py_env.mutexes[MUTEX_DEFAULT_CONTROLS]);
  if (PyDict_GetItemString(krv_py_env.default_controls, lower) &&
      PyDict_DelItemString(krv_py_env.default_controls, lower) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

#define KORVO_METH_NOARGS(name, fn, doc) {name, fn, METH_NOARGS, doc}
#define KORVO_METH_KW(name, fn, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef korvo_library_methods[] = {
    KORVO_METH_NOARGS("init", korvomod_init,
                      KORVO_DOC("Starts the optimizer library, even when it was started before.", "korvo.init()",
                                KORVO_NO_ARGS, "korvo.init()",
                                "The library also starts by itself on the first call that needs it.")),
    KORVO_METH_NOARGS("free", korvomod_free,
                      KORVO_DOC("Stops the optimizer library at once.", "korvo.free()", KORVO_NO_ARGS,
                                "korvo.free()", "Problems keep their library handles across free().")),
    KORVO_METH_NOARGS("getbanner", korvomod_getbanner,
                      KORVO_DOC("Returns the banner of the optimizer library: its name, version and the solver underneath.",
                                "banner = korvo.getbanner()", KORVO_NO_ARGS, "print(korvo.getbanner())",
                                "See also getversion().")),
    KORVO_METH_NOARGS("getversion", korvomod_getversion,
                      KORVO_DOC("Returns the version of the optimizer library as a string.",
                                "version = korvo.getversion()", KORVO_NO_ARGS, "print(korvo.getversion())",
                                "See also getbanner().")),
    KORVO_METH_NOARGS("getcheckedmode", korvomod_getcheckedmode,
                      KORVO_DOC("Tells whether the library checks the arguments of its calls.",
                                "checked = korvo.getcheckedmode()", KORVO_NO_ARGS, "korvo.getcheckedmode()",
                                "See also setcheckedmode().")),
    KORVO_METH_KW("setcheckedmode", korvomod_setcheckedmode,
                  KORVO_DOC("Switches argument checking of the library on (True) or off (anything else).",
                            "korvo.setcheckedmode(checked_mode)",
                            KORVO_ARG("checked_mode: True switches checking on; any other object switches it off."),
                            "korvo.setcheckedmode(True)", "See also getcheckedmode().")),
    KORVO_METH_KW("setarchconsistency", korvomod_setarchconsistency,
                  KORVO_DOC("Asks the library for results that are the same on every architecture.",
                            "korvo.setarchconsistency(ifArchConsistent)",
                            KORVO_ARG("ifArchConsistent: None or False switches consistency off; anything else on."),
                            "korvo.setarchconsistency(True)", "Consistent results may cost some speed.")),
    KORVO_METH_NOARGS("getcomputeallowed", korvomod_getcomputeallowed,
                      KORVO_DOC("Returns the library's compute-allowed setting.", "value = korvo.getcomputeallowed()",
                                KORVO_NO_ARGS, "korvo.getcomputeallowed()", "See also setcomputeallowed().")),
    {"setcomputeallowed", korvomod_setcomputeallowed, METH_O,
     KORVO_DOC("Sets the library's compute-allowed setting.", "korvo.setcomputeallowed(value)",
               KORVO_ARG("value: an integer."), "korvo.setcomputeallowed(1)", "See also getcomputeallowed().")},
    KORVO_METH_NOARGS("getlasterror", korvomod_getlasterror,
                      KORVO_DOC("Returns the last error of the library's global environment as (code, message).",
                                "code, message = korvo.getlasterror()", KORVO_NO_ARGS,
                                "print(korvo.getlasterror())", "Errors of a problem are raised as SolverError.")),
    KORVO_METH_NOARGS("setdefaults", korvomod_setdefaults,
                      KORVO_DOC("Forgets every module-wide control default; new problems get the library's defaults.",
                                "korvo.setdefaults()", KORVO_NO_ARGS, "korvo.setdefaults()",
                                "Problems created before keep their controls.")),
    KORVO_METH_KW("setdefaultcontrol", korvomod_setdefaultcontrol,
                  KORVO_DOC("Forgets the module-wide default of one control.", "korvo.setdefaultcontrol(ipar)",
                            KORVO_ARG("ipar: the control's name, all lower or all upper case."),
                            "korvo.setdefaultcontrol('presolve')", "See also korvo.controls and setdefaults().")),
    {nullptr, nullptr, 0, nullptr}};
