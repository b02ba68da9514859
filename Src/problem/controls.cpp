#include "problem/controls.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api/errors.h"
#include "knls.h"
#include "krvs.h"
#include "problem/change_journal.h"
#include "problem/problem.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"

namespace {

constexpr size_t kMaxNameLength = 1024;

bool is_module_level(const ctrl_attr_s *obj) { return obj->problem == nullptr; }

PyObject *ctrl_attr_new(PyTypeObject *type, PyObject *problem, PyObject *dict) {
  ctrl_attr_s *obj = PyObject_New(ctrl_attr_s, type);
  if (!obj) return nullptr;
  obj->problem = problem;
  obj->dict = dict;
  obj->owns_problem = 0;
  return reinterpret_cast<PyObject *>(obj);
}

void ctrl_attr_dealloc(PyObject *self) {
  auto *obj = reinterpret_cast<ctrl_attr_s *>(self);
  Py_XDECREF(obj->dict);
  if (obj->owns_problem) Py_XDECREF(obj->problem);
  PyObject_Free(self);
}

size_t edit_distance(const char *a, const char *b) {
  const size_t n = strlen(a), m = strlen(b);
  std::vector<size_t> row(m + 1);
  for (size_t j = 0; j <= m; ++j) row[j] = j;
  for (size_t i = 1; i <= n; ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= m; ++j) {
      size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[m];
}

// Sets exc with "<what> '<name>'" followed by the closest known names, so a
// misspelled control says what was meant.
void unknown_name_error(PyObject *exc, const char *what, const char *name, PyObject *table) {
  std::string lower(name);
  for (char &c : lower) c = char(tolower(static_cast<unsigned char>(c)));
  std::vector<std::pair<size_t, std::string>> close;
  const size_t limit = std::max<size_t>(2, lower.size() / 3);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (table && PyDict_Next(table, &pos, &key, &value)) {
    const char *known = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (!known) {
      PyErr_Clear();
      continue;
    }
    size_t distance = edit_distance(lower.c_str(), known);
    // A name that contains the given one (or the other way round) is close too.
    if (distance > limit && lower.size() >= 4 && (strstr(known, lower.c_str()) || lower.find(known) != std::string::npos))
      distance = limit;
    if (distance <= limit) close.emplace_back(distance, known);
  }
  std::sort(close.begin(), close.end());
  std::string message = std::string(what) + " '" + name + "'";
  for (size_t i = 0; i < close.size() && i < 3; ++i) message += (i == 0 ? "; closest names: " : ", ") + close[i].second;
  PyErr_SetString(exc, message.c_str());
}

// Looks a folded name up in an info table; returns a borrowed (id, type, kind) or null.
PyObject *info_lookup(PyObject *table, const char *lower) { return PyDict_GetItemString(table, lower); }

bool unpack_info(PyObject *info, int *id, int *type, int *kind) {
  if (!info || !PyTuple_Check(info) || PyTuple_GET_SIZE(info) != 3) return false;
  *id = int(PyLong_AsLong(PyTuple_GET_ITEM(info, 0)));
  *type = int(PyLong_AsLong(PyTuple_GET_ITEM(info, 1)));
  *kind = int(PyLong_AsLong(PyTuple_GET_ITEM(info, 2)));
  return !PyErr_Occurred();
}

PyObject *ctrl_attr_get(PyObject *self, PyObject *name, bool is_control) {
  auto *obj = reinterpret_cast<ctrl_attr_s *>(self);
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(korvo_model_error, is_control ? "Bad control request" : "Bad attribute request");
    return nullptr;
  }
  const char *text = PyUnicode_AsUTF8(name);
  if (!text) return nullptr;
  if (strcmp(text, "__dict__") == 0) return Py_NewRef(obj->dict);
  if (strcmp(text, "__class__") == 0) return Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(self)));
  // Python's own protocol names (__doc__, __name__, __wrapped__ ...) are
  // never controls: the ordinary lookup answers them, as help() needs.
  if (text[0] == '_' && text[1] == '_') return PyObject_GenericGetAttr(self, name);
  char lower[kMaxNameLength + 1];
  if (to_lowercase_all(text, lower) < 0) return nullptr;

  if (is_module_level(obj)) {
    PyObject *value;
    {
      MutexGuard lock(krv_py_env.mutexes[MUTEX_DEFAULT_CONTROLS]);
      value = PyDict_GetItemString(krv_py_env.default_controls, lower);
      Py_XINCREF(value);
    }
    if (value) return value;
    value = PyDict_GetItemString(obj->dict, lower);
    if (value) return Py_NewRef(value);
  } else {
    PyObject *table = is_control ? krv_py_env.ctrl_info : krv_py_env.attr_info;
    int id, type, kind;
    if (unpack_info(info_lookup(table, lower), &id, &type, &kind))
      return problem_getInfo_single(reinterpret_cast<problem_s *>(obj->problem), id, type, is_control, kind);
  }
  if (!PyErr_Occurred())
    unknown_name_error(korvo_unknown_name_error, is_control ? "Incorrect control name" : "Incorrect attribute name",
                       text, is_control ? krv_py_env.ctrl_info : krv_py_env.attr_info);
  return nullptr;
}

PyObject *ctrl_getattro(PyObject *self, PyObject *name) { return ctrl_attr_get(self, name, true); }
PyObject *attr_getattro(PyObject *self, PyObject *name) { return ctrl_attr_get(self, name, false); }

int ctrl_setattro(PyObject *self, PyObject *name, PyObject *value) {
  auto *obj = reinterpret_cast<ctrl_attr_s *>(self);
  if (!value) {
    PyErr_SetString(korvo_model_error, "Controls cannot be deleted");
    return -1;
  }
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(korvo_model_error, "Bad control request");
    return -1;
  }
  const char *text = PyUnicode_AsUTF8(name);
  if (!text) return -1;
  char lower[kMaxNameLength + 1];
  if (to_lowercase_all(text, lower) < 0) return -1;
  int id, type, kind;
  bool found;
  {
    MutexGuard lock(krv_py_env.mutexes[MUTEX_CTRL_INFO]);
    found = unpack_info(info_lookup(krv_py_env.ctrl_info, lower), &id, &type, &kind);
  }
  if (!found) {
    if (!PyErr_Occurred()) unknown_name_error(korvo_unknown_name_error, "Incorrect control name", text, krv_py_env.ctrl_info);
    return -1;
  }
  if (!is_module_level(obj)) {
    int rc = problem_setControl_single(reinterpret_cast<problem_s *>(obj->problem), id, type, kind, value);
    if (rc != 0) {
      setKrvsErrIfNull(obj->problem, nullptr);
      return -1;
    }
    return 0;
  }
  if (check_setCtrl(type, value) < 0) return -1;
  MutexGuard lock(krv_py_env.mutexes[MUTEX_DEFAULT_CONTROLS]);
  return PyDict_SetItemString(krv_py_env.default_controls, lower, value);
}

int attr_setattro(PyObject *, PyObject *, PyObject *) {
  PyErr_SetString(korvo_model_error, "A problem's attribute cannot be set");
  return -1;
}

PyObject *ctrl_repr(PyObject *self) {
  auto *obj = reinterpret_cast<ctrl_attr_s *>(self);
  if (is_module_level(obj)) return PyObject_Repr(obj->dict);
  PyRef args(PyTuple_New(0));
  if (!args) return nullptr;
  PyRef all(problem_getControl(obj->problem, args.get()));
  return all ? PyObject_Repr(all.get()) : nullptr;
}

PyObject *attr_repr(PyObject *self) {
  auto *obj = reinterpret_cast<ctrl_attr_s *>(self);
  if (!obj->problem) return PyObject_Repr(obj->dict);
  PyRef args(PyTuple_New(0));
  if (!args) return nullptr;
  PyRef all(problem_getAttrib(obj->problem, args.get()));
  return all ? PyObject_Repr(all.get()) : nullptr;
}

PyObject *ctrl_dir(PyObject *self, PyObject *) {
  auto *obj = reinterpret_cast<ctrl_attr_s *>(self);
  return PyDict_Keys(is_module_level(obj) ? obj->dict : krv_py_env.ctrl_info);
}

PyObject *attr_dir(PyObject *, PyObject *) { return PyDict_Keys(krv_py_env.attr_info); }

PyMethodDef ctrl_methods[] = {{"__dir__", ctrl_dir, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyMethodDef attr_methods[] = {{"__dir__", attr_dir, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

// Reads one engine list into the info tables (see ctrl_attr_fill_typeobj).
int fill_from_list(KRVSprob prob, KNLSprob nlprob, int kind) {
  const int *ids = nullptr, *flags = nullptr;
  const char *const *names = nullptr;
  int rc = kind == LIBKIND_OPTIMIZER ? KRVSgetcalist_c(&ids, &names, &flags)
           : kind == LIBKIND_NLS     ? KNLSgetcalist(&ids, &names, &flags)
                                     : KNLSgetKTRcalist(&ids, &names, &flags);
  if (rc != 0 || !ids || !names) {
    PyErr_SetString(PyExc_RuntimeError, "Could not get control/attribute list from Korvo");
    return -1;
  }
  for (int i = kind == LIBKIND_OPTIMIZER ? 0 : 1;; ++i) {
    if (kind == LIBKIND_OPTIMIZER ? ids[i] == 0 : names[i] == nullptr) break;
    bool is_control;
    int type;
    if (kind == LIBKIND_OPTIMIZER) {
      is_control = (flags[i] & KRVS_CA_CONTROL) != 0;
      type = (flags[i] & 0x1) ? INFO_INT : (flags[i] & 0x2) ? INFO_DOUBLE : INFO_STRING;
    } else {
      int id = 0, code = 0;
      if (KNLScontrolcode(names[i], &id, &code) != 0) continue;
      if (code & KNLS_CA_HIDDEN) continue;
      type = (code & 0x1) ? INFO_INT : (code & 0x2) ? INFO_DOUBLE : (code & 0x4) ? INFO_STRING : -1;
      if (type < 0) continue;
      is_control = (code & KNLS_CA_CONTROL) != 0;
    }
    char lower[129];
    size_t n = 0;
    for (; names[i][n] && n < 128; ++n) lower[n] = char(tolower(static_cast<unsigned char>(names[i][n])));
    lower[n] = '\0';
    PyRef info(Py_BuildValue("(iii)", ids[i], type, kind));
    if (!info) return -1;
    if (!is_control) {
      if (PyDict_SetItemString(krv_py_env.attr_info, lower, info.get()) < 0) return -1;
      continue;
    }
    PyRef value;
    if (kind == LIBKIND_OPTIMIZER) {
      if (type == INFO_INT) {
        int v;
        if (KRVSgetintcontrol(prob, ids[i], &v) == 0) value.reset(PyLong_FromLong(v));
      } else if (type == INFO_DOUBLE) {
        double v;
        if (KRVSgetdblcontrol(prob, ids[i], &v) == 0) value.reset(PyFloat_FromDouble(v));
      } else {
        char v[2048];
        if (KRVSgetstrcontrol(prob, ids[i], v) == 0) value.reset(PyUnicode_FromString(v));
      }
    } else {
      if (type == INFO_INT) {
        int v;
        if (KNLSgetintcontrol(nlprob, ids[i], &v) == 0) value.reset(PyLong_FromLong(v));
      } else if (type == INFO_DOUBLE) {
        double v;
        if (KNLSgetdblcontrol(nlprob, ids[i], &v) == 0) value.reset(PyFloat_FromDouble(v));
      } else {
        char v[2048];
        if (KNLSgetstrcontrol(nlprob, ids[i], v) == 0) value.reset(PyUnicode_FromString(v));
      }
    }
    if (PyErr_Occurred()) return -1;
    if (!value) continue;  // a default that cannot be read leaves the control out
    PyObject *defaults = reinterpret_cast<ctrl_attr_s *>(krv_py_env.controls)->dict;
    if (PyDict_SetItemString(krv_py_env.ctrl_info, lower, info.get()) < 0 ||
        PyDict_SetItemString(defaults, lower, value.get()) < 0)
      return -1;
  }
  return 0;
}

}  // namespace

PyTypeObject korvo_ctrlType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.control",
    .tp_basicsize = sizeof(ctrl_attr_s),
    .tp_dealloc = ctrl_attr_dealloc,
    .tp_repr = ctrl_repr,
    .tp_getattro = ctrl_getattro,
    .tp_setattro = ctrl_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Controls of a problem, or the module-wide defaults for new problems, by name.",
    .tp_methods = ctrl_methods,
};

PyTypeObject korvo_attrType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.attribute",
    .tp_basicsize = sizeof(ctrl_attr_s),
    .tp_dealloc = ctrl_attr_dealloc,
    .tp_repr = attr_repr,
    .tp_getattro = attr_getattro,
    .tp_setattro = attr_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Attributes (read-only results) of a problem, by name.",
    .tp_methods = attr_methods,
};

PyObject *ctrl_new_module_level(void) {
  PyObject *dict = PyDict_New();
  if (!dict) return nullptr;
  PyObject *obj = ctrl_attr_new(&korvo_ctrlType, nullptr, dict);
  if (!obj) Py_DECREF(dict);
  return obj;
}

PyObject *ctrl_new_for_problem(PyObject *problem) {
  return ctrl_attr_new(&korvo_ctrlType, problem, Py_NewRef(krv_py_env.ctrl_info));
}

PyObject *attr_new_for_problem(PyObject *problem) {
  return ctrl_attr_new(&korvo_attrType, problem, Py_NewRef(krv_py_env.attr_info));
}

static PyObject *copy_with_dict(PyObject *src) {
  auto *obj = reinterpret_cast<ctrl_attr_s *>(src);
  PyObject *dict = PyDict_Copy(obj->dict);
  if (!dict) return nullptr;
  PyObject *copy = ctrl_attr_new(Py_TYPE(src), obj->problem, dict);
  if (!copy) Py_DECREF(dict);
  return copy;
}

PyObject *ctrl_attr_handout(PyObject *stored) {
  auto *obj = reinterpret_cast<ctrl_attr_s *>(stored);
  PyObject *handout = ctrl_attr_new(Py_TYPE(stored), Py_XNewRef(obj->problem), Py_NewRef(obj->dict));
  if (!handout) {
    Py_XDECREF(obj->problem);
    Py_DECREF(obj->dict);
    return nullptr;
  }
  reinterpret_cast<ctrl_attr_s *>(handout)->owns_problem = 1;
  return handout;
}

PyObject *ctrl_copy(PyObject *ctrl) { return copy_with_dict(ctrl); }
PyObject *attr_copy(PyObject *attr) { return copy_with_dict(attr); }

int to_lowercase_all(const char *name, char *out) {
  size_t n = strlen(name);
  if (n > kMaxNameLength) {
    PyErr_SetString(korvo_model_error, "Control or attribute name is too long");
    return -1;
  }
  bool has_lower = false, has_upper = false, other = false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 'a' && c <= 'z') has_lower = true;
    else if (c >= 'A' && c <= 'Z') has_upper = true;
    else if (!(c >= '0' && c <= '9') && c != '_') other = true;
  }
  if (other || (has_lower && has_upper)) {
    PyErr_SetString(korvo_model_error, "Control or attribute is neither all-lower nor all-upper case");
    return -1;
  }
  for (size_t i = 0; i < n; ++i) out[i] = char(tolower(static_cast<unsigned char>(name[i])));
  out[n] = '\0';
  return 0;
}

PyObject *to_lowercase_object(PyObject *name) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(korvo_model_error, "Control or attribute name must be a string");
    return nullptr;
  }
  const char *text = PyUnicode_AsUTF8(name);
  if (!text) return nullptr;
  char lower[kMaxNameLength + 1];
  if (to_lowercase_all(text, lower) < 0) return nullptr;
  return PyUnicode_FromString(lower);
}

int ctrl_set_module_default(const char *name, PyObject *value) {
  PyObject *defaults = reinterpret_cast<ctrl_attr_s *>(krv_py_env.controls)->dict;
  if (PyDict_SetItemString(defaults, name, value) < 0) return -1;
  MutexGuard lock(krv_py_env.mutexes[MUTEX_DEFAULT_CONTROLS]);
  return PyDict_SetItemString(krv_py_env.default_controls, name, value);
}

int check_setCtrl(int type, PyObject *value) {
  switch (type) {
    case INFO_DOUBLE:
      if (is_float_or_integer_value(value)) return 0;
      PyErr_SetString(korvo_model_error, "Cannot set non-numerical value to a floating-point control");
      return -1;
    case INFO_STRING:
      if (PyUnicode_Check(value)) return 0;
      PyErr_SetString(korvo_model_error, "Cannot set non-string value to a string control");
      return -1;
    case INFO_INT:
      if (is_integer_value(value)) return 0;
      PyErr_SetString(korvo_model_error, "Cannot set non-integer value to an integer control");
      return -1;
    default:
      PyErr_SetString(korvo_model_error, "setControl called with unknown ID");
      return -1;
  }
}

int ctrl_attr_fill_typeobj(int flag) {
  if (KRVSinit(nullptr) != 0) {
    if (flag == 0) return 0;
    setKrvsErrIfNull(nullptr, nullptr);
    return -1;
  }
  KNLSinit(nullptr);
  KRVSprob prob = nullptr;
  KNLSprob nlprob = nullptr;
  int result = 0;
  if (KRVScreateprob(&prob) != 0 || KNLScreateprob(&nlprob, &prob) != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Could not create temporary problem");
    result = -1;
  } else {
    MutexGuard lock(krv_py_env.mutexes[MUTEX_CTRL_INFO]);
    for (int kind : {LIBKIND_OPTIMIZER, LIBKIND_NLS, LIBKIND_NLS_SECOND})
      if (fill_from_list(prob, nlprob, kind) < 0) {
        result = -1;
        break;
      }
  }
  if (nlprob) KNLSdestroyprob(nlprob);
  if (prob) KRVSdestroyprob(prob);
  if (KNLSfree() != 0 || KRVSfree() != 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Error initializing optimization environment");
    return -1;
  }
  return result;
}

PyObject *problem_getInfo_single(problem_s *p, int id, int type, int is_control, int kind) {
  // Attributes describe the model as its objects are now (x.vartype = ...).
  if (!is_control && problem_apply_object_changes(p) < 0) return nullptr;
  int rc;
  PyObject *result = nullptr;
  bool optimizer = kind == LIBKIND_OPTIMIZER;
  switch (type) {
    case INFO_INT: {
      if (optimizer) {
        int64_t v = 0;
        rc = is_control ? KRVSgetintcontrol64(p->prob, id, &v) : KRVSgetintattrib64(p->prob, id, &v);
        if (rc == 0) result = PyLong_FromLongLong(v);
      } else {
        int v = 0;
        rc = is_control ? KNLSgetintcontrol(p->nlprob, id, &v) : KNLSgetintattrib(p->nlprob, id, &v);
        if (rc == 0) result = PyLong_FromLong(v);
      }
      break;
    }
    case INFO_DOUBLE: {
      double v = 0;
      rc = optimizer ? (is_control ? KRVSgetdblcontrol(p->prob, id, &v) : KRVSgetdblattrib(p->prob, id, &v))
                     : (is_control ? KNLSgetdblcontrol(p->nlprob, id, &v) : KNLSgetdblattrib(p->nlprob, id, &v));
      if (rc == 0) result = PyFloat_FromDouble(v);
      break;
    }
    case INFO_STRING: {
      char v[2048] = {0};
      rc = optimizer ? (is_control ? KRVSgetstringcontrol(p->prob, id, v, sizeof v, nullptr)
                                   : KRVSgetstringattrib(p->prob, id, v, sizeof v, nullptr))
                     : (is_control ? KNLSgetstrcontrol(p->nlprob, id, v) : KNLSgetstrattrib(p->nlprob, id, v));
      if (rc == 0) result = PyUnicode_FromString(v);
      break;
    }
    default:
      PyErr_SetString(korvo_model_error,
                      is_control ? "getControl() called with unknown ID" : "getAttrib() called with unknown ID");
      return nullptr;
  }
  setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), result);
  return result;
}

int problem_setControl_single(problem_s *p, int id, int type, int kind, PyObject *value) {
  // A callback (on the solving thread, the solve paused) may change controls
  // that the running solve reads, such as the stopping gap.
  if ((!p->shadow_owner && problem_refuse_while_solving(p, "setting a control") < 0) ||
      check_setCtrl(type, value) < 0)
    return -1;
  bool optimizer = kind == LIBKIND_OPTIMIZER;
  switch (type) {
    case INFO_INT: {
      long long v = PyLong_AsLongLong(value);
      if (v == -1 && PyErr_Occurred()) return -1;
      return optimizer ? KRVSsetintcontrol64(p->prob, id, v) : KNLSsetintcontrol(p->nlprob, id, int(v));
    }
    case INFO_DOUBLE: {
      double v = PyFloat_AsDouble(value);
      if (v == -1.0 && PyErr_Occurred()) return -1;
      return optimizer ? KRVSsetdblcontrol(p->prob, id, v) : KNLSsetdblcontrol(p->nlprob, id, v);
    }
    default: {
      const char *v = PyUnicode_AsUTF8(value);
      if (!v) return -1;
      return optimizer ? KRVSsetstrcontrol(p->prob, id, v) : KNLSsetstrcontrol(p->nlprob, id, v);
    }
  }
}

int problem_apply_default_controls(problem_s *p) {
  MutexGuard lock_info(krv_py_env.mutexes[MUTEX_CTRL_INFO]);
  MutexGuard lock_defaults(krv_py_env.mutexes[MUTEX_DEFAULT_CONTROLS]);
  Py_ssize_t pos = 0;
  PyObject *name, *value;
  while (PyDict_Next(krv_py_env.default_controls, &pos, &name, &value)) {
    int id, type, kind;
    if (!unpack_info(PyDict_GetItem(krv_py_env.ctrl_info, name), &id, &type, &kind)) {
      if (!PyErr_Occurred()) PyErr_SetString(korvo_interface_error, "Incorrect control name in initialization");
      return -1;
    }
    int rc = problem_setControl_single(p, id, type, kind, value);
    if (rc != 0) {
      if (rc > 0) setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
      return -1;
    }
  }
  return 0;
}

namespace {

// Value of one name for getControl/getAttrib; new reference or null.
PyObject *info_value_by_name(problem_s *p, PyObject *name, bool is_control) {
  PyRef lower(to_lowercase_object(name));
  if (!lower) return nullptr;
  int id, type, kind;
  if (!unpack_info(PyDict_GetItem(is_control ? krv_py_env.ctrl_info : krv_py_env.attr_info, lower.get()), &id,
                   &type, &kind)) {
    if (!PyErr_Occurred()) {
      const char *text = PyUnicode_AsUTF8(lower.get());
      if (!text) return nullptr;
      unknown_name_error(korvo_interface_error,
                         is_control ? "Requested value of an unknown control" : "Requested value of an unknown attribute",
                         text, is_control ? krv_py_env.ctrl_info : krv_py_env.attr_info);
    }
    return nullptr;
  }
  return problem_getInfo_single(p, id, type, is_control, kind);
}

// Fills a dict with name -> value for every name produced by the iterable.
PyObject *info_dict_of(problem_s *p, PyObject *names, bool is_control) {
  PyRef result(PyDict_New());
  PyRef iter(PyObject_GetIter(names));
  if (!result || !iter) return nullptr;
  while (PyRef name{PyIter_Next(iter.get())}) {
    PyRef value(info_value_by_name(p, name.get(), is_control));
    PyRef lower(value ? to_lowercase_object(name.get()) : nullptr);
    if (!lower || PyDict_SetItem(result.get(), lower.get(), value.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return result.release();
}

PyObject *problem_getInfo(PyObject *self, PyObject *args, bool is_control) {
  auto *p = reinterpret_cast<problem_s *>(self);
  MutexGuard lock(krv_py_env.mutexes[MUTEX_CTRL_INFO]);
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n == 0) {
    PyObject *table = is_control ? krv_py_env.ctrl_info : krv_py_env.attr_info;
    PyRef result(PyDict_New());
    if (!result) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *name, *info;
    while (PyDict_Next(table, &pos, &name, &info)) {
      int id, type, kind;
      if (!unpack_info(info, &id, &type, &kind)) return nullptr;
      PyRef value(id == 12013 || id == 22013 ? PyLong_FromLong(-1)
                                             : problem_getInfo_single(p, id, type, is_control, kind));
      if (!value || PyDict_SetItem(result.get(), name, value.get()) < 0) return nullptr;
    }
    return result.release();
  }
  if (n == 1) {
    PyObject *arg = PyTuple_GET_ITEM(args, 0);
    if (PyTuple_Check(arg) || PyList_Check(arg) || PyIter_Check(arg)) return info_dict_of(p, arg, is_control);
    return info_value_by_name(p, arg, is_control);
  }
  return info_dict_of(p, args, is_control);
}

int set_control_by_name(problem_s *p, PyObject *name, PyObject *value) {
  PyRef lower(to_lowercase_object(name));
  if (!lower) return -1;
  int id, type, kind;
  bool found;
  {
    MutexGuard lock(krv_py_env.mutexes[MUTEX_CTRL_INFO]);
    found = unpack_info(PyDict_GetItem(krv_py_env.ctrl_info, lower.get()), &id, &type, &kind);
  }
  if (!found) {
    if (!PyErr_Occurred()) {
      const char *text = PyUnicode_AsUTF8(lower.get());
      if (!text) return -1;
      unknown_name_error(korvo_interface_error, "Incorrect control name", text, krv_py_env.ctrl_info);
    }
    return -1;
  }
  int rc = problem_setControl_single(p, id, type, kind, value);
  if (rc != 0) {
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    return -1;
  }
  return 0;
}

}  // namespace

PyObject *problem_getControl(PyObject *self, PyObject *args) { return problem_getInfo(self, args, true); }
PyObject *problem_getAttrib(PyObject *self, PyObject *args) { return problem_getInfo(self, args, false); }

PyObject *problem_setControl(PyObject *self, PyObject *args) {
  auto *p = reinterpret_cast<problem_s *>(self);
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n == 0) {
    PyErr_SetString(korvo_model_error,
                    "setControl requires at least one argument of type dictionary or two elements: parameter, value");
    return nullptr;
  }
  if (n == 1) {
    PyObject *dict = PyTuple_GET_ITEM(args, 0);
    if (!PyDict_Check(dict)) {
      PyErr_SetString(korvo_model_error, "Single argument to setControl must be a dictionary");
      return nullptr;
    }
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(dict, &pos, &name, &value))
      if (set_control_by_name(p, name, value) < 0) return nullptr;
    Py_RETURN_NONE;
  }
  if (n == 2) {
    PyObject *name = PyTuple_GET_ITEM(args, 0);
    PyRef lower(to_lowercase_object(name));
    if (!lower) return nullptr;
    int id, type, kind;
    bool found;
    {
      MutexGuard lock(krv_py_env.mutexes[MUTEX_CTRL_INFO]);
      found = unpack_info(PyDict_GetItem(krv_py_env.ctrl_info, lower.get()), &id, &type, &kind);
    }
    if (!found) {
      if (!PyErr_Occurred()) {
        const char *text = PyUnicode_AsUTF8(lower.get());
        if (!text) return nullptr;
        unknown_name_error(korvo_interface_error, "Incorrect control name", text, krv_py_env.ctrl_info);
      }
      return nullptr;
    }
    int rc = problem_setControl_single(p, id, type, kind, PyTuple_GET_ITEM(args, 1));
    if (rc != 0) {
      setKrvsErrIfNull(self, nullptr);
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  PyErr_SetString(korvo_model_error, "setControl: arguments mismatch");
  return nullptr;
}
