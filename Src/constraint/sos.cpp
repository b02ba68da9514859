// korvo.sos: a special ordered set (variables, weights, type 1 or 2).
#include "constraint/sos.h"

#include <structmember.h>

#include "python_model/docstrings.h"
#include "python_model/pyref.h"

namespace {

sos_s *as_sos(PyObject *obj) { return reinterpret_cast<sos_s *>(obj); }

int64_t take_sos_id() {
  MutexGuard lock(krv_py_env.mutexes[MUTEX_SOS_ID]);
  return krv_py_env.next_sos_id++;
}

void release_parts(sos_s *s) {
  Py_CLEAR(s->indices);
  Py_CLEAR(s->weights);
  Py_CLEAR(s->name);
}

void sos_dealloc(PyObject *self) {
  release_parts(as_sos(self));
  Py_TYPE(self)->tp_free(self);
}

PyObject *sos_str(PyObject *self) {
  PyObject *name = as_sos(self)->name;
  if (!name) return PyUnicode_FromFormat("sos%lld", static_cast<long long>(as_sos(self)->id));
  return PyObject_Str(name);
}

int sos_init(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"indices", "weights", "type", "name", nullptr};
  sos_s *s = as_sos(self);
  release_parts(s);
  s->id = take_sos_id();
  s->type = 1;
  PyObject *indices = nullptr, *weights = nullptr, *type = nullptr, *name = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO", const_cast<char **>(keywords), &indices, &weights, &type,
                                   &name))
    return -1;
  s->name = (name && name != Py_None) ? Py_NewRef(name)
                                      : PyUnicode_FromFormat("sos%lld", static_cast<long long>(s->id));
  if (!s->name) return -1;
  if (type && type != Py_None) {
    long value = PyLong_AsLong(type);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (value != 1 && value != 2) {
      PyErr_SetString(korvo_model_error, "SOS type must be 1 or 2");
      return -1;
    }
    s->type = static_cast<int32_t>(value);
  }
  if (!PyList_Check(weights)) {
    PyErr_SetString(korvo_model_error, "SOS weights must be passed as a list");
    return -1;
  }
  if (!PyList_Check(indices)) {
    PyErr_SetString(korvo_model_error, "SOS indices must be passed as a list");
    return -1;
  }
  s->indices = Py_NewRef(indices);
  s->weights = Py_NewRef(weights);
  return 0;
}

PyMemberDef sos_members[] = {
    {"name", T_OBJECT, offsetof(sos_s, name), 0, "SOS's name"},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef sos_methods[] = {
    {"copy", sos_copy, METH_NOARGS,
     KORVO_DOC("Returns a copy of the set with a new identity.", "s2 = s.copy()", KORVO_NO_ARGS,
               "s2 = korvo.sos([x, y], [1, 2]).copy()",
               "The copy holds new lists of the same variables and weights and is named sos<id>_copy_<name>.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject *sos_new(PyTypeObject *type) {
  PyObject *obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  sos_s *s = as_sos(obj);
  s->id = take_sos_id();
  s->type = 1;
  s->name = s->indices = s->weights = nullptr;
  return obj;
}

PyObject *sos_copy(PyObject *self, PyObject *) {
  sos_s *src = as_sos(self);
  PyRef copy(sos_new(&korvo_sosType));
  if (!copy) return nullptr;
  sos_s *s = as_sos(copy.get());
  s->type = src->type;
  if (src->indices && !(s->indices = PyList_GetSlice(src->indices, 0, PyList_GET_SIZE(src->indices))))
    return nullptr;
  if (src->weights && !(s->weights = PyList_GetSlice(src->weights, 0, PyList_GET_SIZE(src->weights))))
    return nullptr;
  PyRef source_name(sos_str(self));
  if (!source_name) return nullptr;
  s->name = PyUnicode_FromFormat("sos%lld_copy_%S", static_cast<long long>(src->id), source_name.get());
  if (!s->name) return nullptr;
  return copy.release();
}

PyTypeObject korvo_sosType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "korvo.sos",
    .tp_basicsize = sizeof(sos_s),
    .tp_dealloc = sos_dealloc,
    .tp_str = sos_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = KORVO_DOC("A special ordered set of type 1 or 2.", "s = korvo.sos(indices, weights, type=1, name=None)",
                        KORVO_ARGS("indices: list of variables\n"
                                   "  weights: list of weights, one per variable\n"
                                   "  type: 1 or 2\n"
                                   "  name: the set's name; default sos<id>"),
                        "s = korvo.sos([x, y, z], [1, 2, 3], type=2)",
                        "The lists are held, not copied; their contents are checked when a problem adds the set."),
    .tp_methods = sos_methods,
    .tp_members = sos_members,
    .tp_init = sos_init,
};
