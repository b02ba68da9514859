// Opaque handles: one engine pointer each. The engine's cut and stored-bound
// handles are ids it checks, so a stale handle is refused, never followed.
// Handles compare equal (and hash alike) when they hold the same pointer, so
// a cut returned by two queries is recognised as the same cut.
#include "api/handles.h"

namespace {

struct handle_s {
  PyObject_HEAD
  void *ptr;
};

PyObject *handle_compare(PyObject *a, PyObject *b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  const bool same = reinterpret_cast<handle_s *>(a)->ptr == reinterpret_cast<handle_s *>(b)->ptr;
  return PyBool_FromLong(op == Py_EQ ? same : !same);
}

Py_hash_t handle_hash(PyObject *self) {
  Py_hash_t h = Py_hash_t(reinterpret_cast<uintptr_t>(reinterpret_cast<handle_s *>(self)->ptr));
  return h == -1 ? -2 : h;
}

PyObject *handle_create(PyTypeObject *type, void *ptr) {
  PyObject *obj = PyType_GenericAlloc(type, 0);
  if (obj) reinterpret_cast<handle_s *>(obj)->ptr = ptr;
  return obj;
}

void *handle_get(PyObject *obj, PyTypeObject *type, const char *what) {
  if (!obj || !PyObject_TypeCheck(obj, type)) {
    PyErr_Format(korvo_model_error, "Expected a %s handle", what);
    return nullptr;
  }
  return reinterpret_cast<handle_s *>(obj)->ptr;
}

PyTypeObject handle_type(const char *name, const char *doc) {
  PyTypeObject t = {PyVarObject_HEAD_INIT(NULL, 0) name};
  t.tp_basicsize = sizeof(handle_s);
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = doc;
  t.tp_richcompare = handle_compare;
  t.tp_hash = handle_hash;
  return t;
}

}  // namespace

PyTypeObject korvo_poolcutType = handle_type(
    "korvo.poolcut", "A cut of a problem's cut pool, as returned by storecuts, getcutlist and getcpcutlist.");
PyTypeObject korvo_krvsobjectType = handle_type("korvo.krvsobject", "An object of the optimizer library.");
PyTypeObject korvo_voidstarType =
    handle_type("korvo.generic", "An opaque handle, for example of bounds kept by storebounds.");

PyObject *poolcut_create(void *cut) { return handle_create(&korvo_poolcutType, cut); }
int poolcut_getcut(PyObject *obj, void **cut) {
  if (!obj || !PyObject_TypeCheck(obj, &korvo_poolcutType)) {
    PyErr_SetString(korvo_model_error, "Expected a korvo.poolcut");
    return -1;
  }
  *cut = reinterpret_cast<handle_s *>(obj)->ptr;
  return 0;
}
PyObject *krvsobject_create(void *object) { return handle_create(&korvo_krvsobjectType, object); }
void *krvsobject_getobj(PyObject *obj) { return handle_get(obj, &korvo_krvsobjectType, "korvo.krvsobject"); }
PyObject *voidstar_create(void *ptr) { return handle_create(&korvo_voidstarType, ptr); }
void *voidstar_getobj(PyObject *obj) { return handle_get(obj, &korvo_voidstarType, "korvo.generic"); }
