// Test-only extension: drives the expression maps directly, including the
// calls no Python API reaches (get, set, del) and the size of a map's pending
// tail. Built by tests/test_flat_maps.py; maps are handled as integers.
#include "maps/maps.cpp"
#include "python_model/pyref.h"

namespace {

PyTypeObject *variable_type = nullptr;

linmap *lin_of(PyObject *handle) { return static_cast<linmap *>(PyLong_AsVoidPtr(handle)); }
quadmap *quad_of(PyObject *handle) { return static_cast<quadmap *>(PyLong_AsVoidPtr(handle)); }

bool as_variable(PyObject *obj, const var_s **out) {
  if (!variable_type || !PyObject_TypeCheck(obj, variable_type)) {
    PyErr_SetString(PyExc_TypeError, "expected a variable");
    return false;
  }
  *out = reinterpret_cast<const var_s *>(obj);
  return true;
}

PyObject *status(int rc) {
  if (rc < 0) return PyErr_NoMemory();
  Py_RETURN_NONE;
}

PyObject *probe_use_type(PyObject *, PyObject *type) {
  Py_XSETREF(variable_type, reinterpret_cast<PyTypeObject *>(Py_NewRef(type)));
  Py_RETURN_NONE;
}

PyObject *probe_new(PyObject *, PyObject *) { return PyLong_FromVoidPtr(linmap_new()); }

// A map embedded at the start of a block of its own, as an expression holds
// one after its header; embed_free releases the map and then the block.
PyObject *probe_embed(PyObject *, PyObject *room) {
  size_t entries = PyLong_AsSize_t(room);
  if (PyErr_Occurred()) return nullptr;
  void *memory = PyMem_Malloc(linmap_embedded_size(entries));
  if (!memory) return PyErr_NoMemory();
  return PyLong_FromVoidPtr(linmap_embed(memory, entries));
}

PyObject *probe_embed_free(PyObject *, PyObject *handle) {
  linmap *map = lin_of(handle);
  void *memory = map;
  linmap_free(&map);
  PyMem_Free(memory);
  Py_RETURN_NONE;
}

PyObject *probe_free(PyObject *, PyObject *handle) {
  linmap *map = lin_of(handle);
  linmap_free(&map);
  Py_RETURN_NONE;
}

PyObject *probe_add(PyObject *, PyObject *args) {
  PyObject *handle, *obj;
  double coef;
  const var_s *v;
  if (!PyArg_ParseTuple(args, "OOd", &handle, &obj, &coef) || !as_variable(obj, &v)) return nullptr;
  return status(linmap_add(lin_of(handle), v, coef));
}

PyObject *probe_set(PyObject *, PyObject *args) {
  PyObject *handle, *obj;
  double coef;
  const var_s *v;
  if (!PyArg_ParseTuple(args, "OOd", &handle, &obj, &coef) || !as_variable(obj, &v)) return nullptr;
  return status(linmap_set(lin_of(handle), v, coef));
}

PyObject *probe_del(PyObject *, PyObject *args) {
  PyObject *handle, *obj;
  const var_s *v;
  if (!PyArg_ParseTuple(args, "OO", &handle, &obj) || !as_variable(obj, &v)) return nullptr;
  linmap_del(lin_of(handle), v);
  Py_RETURN_NONE;
}

PyObject *probe_get(PyObject *, PyObject *args) {
  PyObject *handle, *obj;
  const var_s *v;
  if (!PyArg_ParseTuple(args, "OO", &handle, &obj) || !as_variable(obj, &v)) return nullptr;
  double coef = 0.0;
  bool has = linmap_has(lin_of(handle), v);
  if (linmap_get(lin_of(handle), v, &coef) < 0) {
    if (has) return PyErr_Format(PyExc_AssertionError, "has and get disagree");
    Py_RETURN_NONE;
  }
  if (!has) return PyErr_Format(PyExc_AssertionError, "has and get disagree");
  return PyFloat_FromDouble(coef);
}

PyObject *probe_size(PyObject *, PyObject *handle) { return PyLong_FromSize_t(linmap_size(lin_of(handle))); }

PyObject *probe_pending(PyObject *, PyObject *handle) {
  const linmap *map = lin_of(handle);
  return PyLong_FromSize_t(map->size - map->sorted);
}

PyObject *probe_items(PyObject *, PyObject *handle) {
  PyObject *out = PyList_New(0);
  if (!out) return nullptr;
  map_cursor cursor = nullptr;
  const var_s *key;
  double coef;
  while (linmap_next(lin_of(handle), &key, &coef, &cursor)) {
    PyObject *item = Py_BuildValue("(Od)", reinterpret_cast<PyObject *>(const_cast<var_s *>(key)), coef);
    if (!item || PyList_Append(out, item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(out);
      linmap_iter_free(&cursor);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return out;
}

PyObject *probe_copy(PyObject *, PyObject *handle) {
  linmap *copy = nullptr;
  if (linmap_copy(&copy, lin_of(handle)) < 0) return PyErr_NoMemory();
  return PyLong_FromVoidPtr(copy);
}

PyObject *probe_scale(PyObject *, PyObject *args) {
  PyObject *handle;
  double factor;
  if (!PyArg_ParseTuple(args, "Od", &handle, &factor)) return nullptr;
  return status(linmap_scale(lin_of(handle), factor));
}

PyObject *probe_add_scaled(PyObject *, PyObject *args) {
  PyObject *dst, *src;
  double factor;
  if (!PyArg_ParseTuple(args, "OOd", &dst, &src, &factor)) return nullptr;
  return status(linmap_add_scaled(lin_of(dst), lin_of(src), factor));
}

PyObject *probe_reserve(PyObject *, PyObject *args) {
  PyObject *handle;
  Py_ssize_t count;
  if (!PyArg_ParseTuple(args, "On", &handle, &count)) return nullptr;
  return status(linmap_reserve(lin_of(handle), size_t(count)));
}

PyObject *probe_quad_new(PyObject *, PyObject *) { return PyLong_FromVoidPtr(quadmap_new()); }

PyObject *probe_quad_free(PyObject *, PyObject *handle) {
  quadmap *map = quad_of(handle);
  quadmap_free(&map);
  Py_RETURN_NONE;
}

PyObject *probe_quad_add(PyObject *, PyObject *args) {
  PyObject *handle, *x, *y;
  double coef;
  const var_s *vx, *vy;
  if (!PyArg_ParseTuple(args, "OOOd", &handle, &x, &y, &coef) || !as_variable(x, &vx) || !as_variable(y, &vy))
    return nullptr;
  return status(quadmap_add(quad_of(handle), vx, vy, coef));
}

PyObject *probe_quad_del(PyObject *, PyObject *args) {
  PyObject *handle, *x, *y;
  const var_s *vx, *vy;
  if (!PyArg_ParseTuple(args, "OOO", &handle, &x, &y) || !as_variable(x, &vx) || !as_variable(y, &vy))
    return nullptr;
  quadmap_del(quad_of(handle), vx, vy);
  Py_RETURN_NONE;
}

PyObject *probe_quad_size(PyObject *, PyObject *handle) { return PyLong_FromSize_t(quadmap_size(quad_of(handle))); }

PyObject *probe_quad_copy(PyObject *, PyObject *handle) {
  quadmap *copy = nullptr;
  if (quadmap_copy(&copy, quad_of(handle)) < 0) return PyErr_NoMemory();
  return PyLong_FromVoidPtr(copy);
}

PyObject *probe_quad_scale(PyObject *, PyObject *args) {
  PyObject *handle;
  double factor;
  if (!PyArg_ParseTuple(args, "Od", &handle, &factor)) return nullptr;
  return status(quadmap_scale(quad_of(handle), factor));
}

// (x, y, coef) triples in iteration order.
PyObject *probe_quad_items(PyObject *, PyObject *handle) {
  PyObject *out = PyList_New(0);
  if (!out) return nullptr;
  map_cursor outer = nullptr;
  const var_s *x;
  linmap *inner;
  while (quadmap_next(quad_of(handle), &x, &inner, &outer)) {
    map_cursor cursor = nullptr;
    const var_s *y;
    double coef;
    while (linmap_next(inner, &y, &coef, &cursor)) {
      PyObject *item = Py_BuildValue("(OOd)", reinterpret_cast<PyObject *>(const_cast<var_s *>(x)),
                                     reinterpret_cast<PyObject *>(const_cast<var_s *>(y)), coef);
      if (!item || PyList_Append(out, item) < 0) {
        Py_XDECREF(item);
        Py_DECREF(out);
        return nullptr;
      }
      Py_DECREF(item);
    }
  }
  return out;
}

indexset *set_of(PyObject *handle) { return static_cast<indexset *>(PyLong_AsVoidPtr(handle)); }

PyObject *probe_set_new(PyObject *, PyObject *) { return PyLong_FromVoidPtr(indexset_new()); }

PyObject *probe_set_free(PyObject *, PyObject *handle) {
  indexset *set = set_of(handle);
  indexset_free(&set);
  Py_RETURN_NONE;
}

// op: 'a' add, 'd' delete, 'h' has (returns a bool).
PyObject *probe_set_op(PyObject *, PyObject *args) {
  PyObject *handle;
  int op;
  long long index;
  if (!PyArg_ParseTuple(args, "OCL", &handle, &op, &index)) return nullptr;
  switch (op) {
    case 'a': return status(indexset_add(set_of(handle), index));
    case 'd': indexset_del(set_of(handle), index); Py_RETURN_NONE;
    default: return PyBool_FromLong(indexset_has(set_of(handle), index));
  }
}

PyObject *probe_set_items(PyObject *, PyObject *handle) {
  PyObject *out = PyList_New(0);
  map_cursor cursor = nullptr;
  int64_t index;
  while (out && indexset_next(set_of(handle), &index, &cursor)) {
    PyObject *item = PyLong_FromLongLong(index);
    if (!item || PyList_Append(out, item) < 0) Py_CLEAR(out);
    Py_XDECREF(item);
  }
  if (out && PyList_GET_SIZE(out) != Py_ssize_t(indexset_size(set_of(handle))))
    return PyErr_Format(PyExc_AssertionError, "size and iteration disagree");
  return out;
}

PyObject *probe_set_copy(PyObject *, PyObject *handle) {
  indexset *copy = nullptr;
  if (indexset_copy(&copy, set_of(handle)) < 0) return PyErr_NoMemory();
  return PyLong_FromVoidPtr(copy);
}

// Index maps (identity -> integer value), driven with Python integers.
rowcolmap *rc_of(PyObject *handle) { return static_cast<rowcolmap *>(PyLong_AsVoidPtr(handle)); }

PyObject *probe_rc_new(PyObject *, PyObject *) { return PyLong_FromVoidPtr(rowcolmap_new()); }

PyObject *probe_rc_free(PyObject *, PyObject *handle) {
  rowcolmap *map = rc_of(handle);
  rowcolmap_free(&map);
  Py_RETURN_NONE;
}

PyObject *probe_rc_set(PyObject *, PyObject *args) {
  PyObject *handle;
  unsigned long long key, value;
  if (!PyArg_ParseTuple(args, "OKK", &handle, &key, &value)) return nullptr;
  return status(rowcolmap_set(rc_of(handle), key, reinterpret_cast<PyObject *>(uintptr_t(value))));
}

PyObject *probe_rc_get(PyObject *, PyObject *args) {
  PyObject *handle;
  unsigned long long key;
  if (!PyArg_ParseTuple(args, "OK", &handle, &key)) return nullptr;
  PyObject *value = nullptr;
  bool has = rowcolmap_has(rc_of(handle), key);
  if (rowcolmap_get(rc_of(handle), key, &value) != 0) {
    if (has) return PyErr_Format(PyExc_AssertionError, "has and get disagree");
    Py_RETURN_NONE;
  }
  if (!has) return PyErr_Format(PyExc_AssertionError, "has and get disagree");
  return PyLong_FromUnsignedLongLong(uintptr_t(value));
}

PyObject *probe_rc_del(PyObject *, PyObject *args) {
  PyObject *handle;
  unsigned long long key;
  if (!PyArg_ParseTuple(args, "OK", &handle, &key)) return nullptr;
  rowcolmap_del(rc_of(handle), key);
  Py_RETURN_NONE;
}

// (size, {key: value}) from an iteration over the map.
PyObject *probe_rc_items(PyObject *, PyObject *handle) {
  rowcolmap *map = rc_of(handle);
  PyRef items(PyDict_New());
  if (!items) return nullptr;
  map_cursor cursor = nullptr;
  uint64_t key;
  PyObject *value;
  while (rowcolmap_next(map, &key, &value, &cursor)) {
    PyRef k(PyLong_FromUnsignedLongLong(key)), v(PyLong_FromUnsignedLongLong(uintptr_t(value)));
    if (!k || !v) return nullptr;
    if (PyDict_Contains(items.get(), k.get())) return PyErr_Format(PyExc_AssertionError, "key %llu twice", key);
    if (PyDict_SetItem(items.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return Py_BuildValue("(nO)", Py_ssize_t(rowcolmap_size(map)), items.get());
}

PyObject *probe_rc_copy(PyObject *, PyObject *handle) {
  rowcolmap *copy = nullptr;
  if (rowcolmap_copy(&copy, rc_of(handle)) < 0) return PyErr_NoMemory();
  return PyLong_FromVoidPtr(copy);
}

// A new map holding first + factor * second.
PyObject *probe_sum(PyObject *, PyObject *args) {
  PyObject *first, *second;
  double factor;
  if (!PyArg_ParseTuple(args, "OOd", &first, &second, &factor)) return nullptr;
  linmap *map = linmap_new();
  if (!map) return PyErr_NoMemory();
  size_t expected = linmap_union_size(lin_of(first), lin_of(second));
  if (linmap_assign_sum(map, lin_of(first), lin_of(second), factor) < 0) {
    linmap_free(&map);
    return PyErr_NoMemory();
  }
  if (linmap_size(map) > expected) return PyErr_Format(PyExc_AssertionError, "sum larger than the union");
  return PyLong_FromVoidPtr(map);
}

PyMethodDef probe_methods[] = {
    {"sum", probe_sum, METH_VARARGS, nullptr},
    {"rc_new", probe_rc_new, METH_NOARGS, nullptr},
    {"rc_free", probe_rc_free, METH_O, nullptr},
    {"rc_set", probe_rc_set, METH_VARARGS, nullptr},
    {"rc_get", probe_rc_get, METH_VARARGS, nullptr},
    {"rc_del", probe_rc_del, METH_VARARGS, nullptr},
    {"rc_items", probe_rc_items, METH_O, nullptr},
    {"rc_copy", probe_rc_copy, METH_O, nullptr},
    {"set_new", probe_set_new, METH_NOARGS, nullptr},
    {"set_free", probe_set_free, METH_O, nullptr},
    {"set_op", probe_set_op, METH_VARARGS, nullptr},
    {"set_items", probe_set_items, METH_O, nullptr},
    {"set_copy", probe_set_copy, METH_O, nullptr},
    {"use_type", probe_use_type, METH_O, nullptr},
    {"new", probe_new, METH_NOARGS, nullptr},
    {"embed", probe_embed, METH_O, nullptr},
    {"embed_free", probe_embed_free, METH_O, nullptr},
    {"free", probe_free, METH_O, nullptr},
    {"add", probe_add, METH_VARARGS, nullptr},
    {"set", probe_set, METH_VARARGS, nullptr},
    {"delete", probe_del, METH_VARARGS, nullptr},
    {"get", probe_get, METH_VARARGS, nullptr},
    {"size", probe_size, METH_O, nullptr},
    {"pending", probe_pending, METH_O, nullptr},
    {"items", probe_items, METH_O, nullptr},
    {"copy", probe_copy, METH_O, nullptr},
    {"scale", probe_scale, METH_VARARGS, nullptr},
    {"add_scaled", probe_add_scaled, METH_VARARGS, nullptr},
    {"reserve", probe_reserve, METH_VARARGS, nullptr},
    {"quad_new", probe_quad_new, METH_NOARGS, nullptr},
    {"quad_free", probe_quad_free, METH_O, nullptr},
    {"quad_add", probe_quad_add, METH_VARARGS, nullptr},
    {"quad_del", probe_quad_del, METH_VARARGS, nullptr},
    {"quad_size", probe_quad_size, METH_O, nullptr},
    {"quad_copy", probe_quad_copy, METH_O, nullptr},
    {"quad_scale", probe_quad_scale, METH_VARARGS, nullptr},
    {"quad_items", probe_quad_items, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {PyModuleDef_HEAD_INIT, "flat_maps_probe", nullptr, -1, probe_methods,
                            nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_flat_maps_probe(void) { return PyModule_Create(&probe_module); }
