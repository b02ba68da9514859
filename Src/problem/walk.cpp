// The nested-argument walk.
#include "problem/walk.h"

#include "numpy_types/npy_api.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

const char kBadNesting[] = "Incorrect (nested) array/list/sequence passed. Perhaps this is a NumPy array containing a tuple?";
const char kBadElement[] = "Incorrect objects used in Sum, Dot, Prod, or aggregate functions";

bool is_module_dtype(const PyArray_Descr *descr) {
  for (const _PyArray_Descr *own : {krv_py_env.npvar, krv_py_env.npexpr, krv_py_env.npconstraint})
    if (own && reinterpret_cast<const PyArray_Descr *>(own)->type_num == descr->type_num) return true;
  return false;
}

// The element of an array at data as a new reference: the stored object for
// object and modelling dtypes, a float for float64, int32 and bool arrays.
PyObject *array_element(PyArrayObject *array, char *data) {
  PyArray_Descr *descr = PyArray_DESCR(array);
  switch (descr->type_num) {
    case NPY_OBJECT: {
      PyObject *item = *reinterpret_cast<PyObject **>(data);
      return Py_NewRef(item ? item : Py_None);
    }
    case NPY_DOUBLE: return PyFloat_FromDouble(*reinterpret_cast<double *>(data));
    case NPY_INT: return PyFloat_FromDouble(double(*reinterpret_cast<npy_int *>(data)));
    case NPY_BOOL: return PyFloat_FromDouble(*reinterpret_cast<npy_bool *>(data) ? 1.0 : 0.0);
    default:
      if (is_module_dtype(descr)) return PyArray_GETITEM(array, data);
      PyErr_SetString(korvo_model_error, kBadElement);
      return nullptr;
  }
}

int walk_array(problem_s *p, PyArrayObject *array, leaf_visitor visitor, void *context, int budget) {
  if (PyArray_SIZE(array) == 0) return WALK_CONTINUE;
  PyArray_Descr *descr = PyArray_DESCR(array);
  bool objects = descr->type_num == NPY_OBJECT;
  // Object and modelling dtypes hold object pointers: read straight from
  // the slots, and the objects a few elements ahead are fetched into cache
  // while the current one is visited (an addVariable of a million variables
  // reads a million objects in creation order).
  bool pointers = objects || is_module_dtype(descr);
  NpyIter *iter = NpyIter_New(array, NPY_ITER_READONLY | NPY_ITER_REFS_OK | NPY_ITER_EXTERNAL_LOOP, NPY_KEEPORDER,
                              NPY_NO_CASTING, nullptr);
  if (!iter) return WALK_ERROR;
  struct IterHolder {
    NpyIter *it;
    ~IterHolder() { NpyIter_Deallocate(it); }
  } holder{iter};
  NpyIter_IterNextFunc *next = NpyIter_GetIterNext(iter, nullptr);
  if (!next) return WALK_ERROR;
  char **data = NpyIter_GetDataPtrArray(iter);
  npy_intp *stride = NpyIter_GetInnerStrideArray(iter);
  npy_intp *count = NpyIter_GetInnerLoopSizePtr(iter);
  constexpr npy_intp kAhead = 8;
  do {
    char *at = data[0];
    const npy_intp step = stride[0], n = *count;
    for (npy_intp i = 0; i < n; ++i, at += step) {
      PyRef item;
      if (pointers) {
        if (i + kAhead < n) {
          PyObject *ahead = *reinterpret_cast<PyObject **>(at + kAhead * step);
          if (ahead) __builtin_prefetch(ahead);
        }
        PyObject *slot = *reinterpret_cast<PyObject **>(at);
        item.reset(Py_NewRef(slot ? slot : Py_None));
      } else {
        item.reset(array_element(array, at));
      }
      if (!item) {
        if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, kBadElement);
        return WALK_ERROR;
      }
      int rc = objects ? walkLeaves(p, item.get(), visitor, context, budget - 1) : visitor(p, item.get(), context);
      if (rc != WALK_CONTINUE) return rc;
    }
  } while (next(iter));
  return WALK_CONTINUE;
}

}  // namespace

size_t expected_leaves(PyObject *args) {
  if (!PyTuple_Check(args)) return 1;
  size_t total = 0;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
    PyObject *arg = PyTuple_GET_ITEM(args, i);
    if (PyList_Check(arg) || PyTuple_Check(arg))
      total += size_t(PySequence_Fast_GET_SIZE(arg));
    else if (PyArray_Check(arg))
      total += size_t(PyArray_SIZE(reinterpret_cast<PyArrayObject *>(arg)));
    else if (PyDict_Check(arg))
      total += size_t(PyDict_Size(arg));
    else
      total += 1;
  }
  return total;
}

bool has_iternext(PyObject *obj) {
  iternextfunc next = Py_TYPE(obj)->tp_iternext;
  return next && next != &_PyObject_NextNotImplemented;
}

int walkLeaves(problem_s *p, PyObject *obj, leaf_visitor visitor, void *context, int budget) {
  if (!obj) {
    PyErr_SetString(korvo_model_error, kBadNesting);
    return WALK_ERROR;
  }
  // The objects problems take are leaves; their exact types answer before
  // the container tests (the array test walks the type's MRO).
  PyTypeObject *type = Py_TYPE(obj);
  if (type == &korvo_constraintType || type == &korvo_varType || type == &korvo_sosType) {
    if (budget < 0) {
      PyErr_SetString(korvo_model_error, "Maximum recursion (inclusion) level reached");
      return WALK_ERROR;
    }
    return visitor(p, obj, context);
  }
  if (PyArray_Check(obj) && PyArray_SIZE(reinterpret_cast<PyArrayObject *>(obj)) == 1) {
    auto *array = reinterpret_cast<PyArrayObject *>(obj);
    PyRef item(array_element(array, static_cast<char *>(PyArray_DATA(array))));
    if (!item) return WALK_ERROR;
    return walkLeaves(p, item.get(), visitor, context, budget - 1);
  }
  enum { LEAF, TUPLE_OR_LIST, ARRAY, SEQUENCE, DICT, ITERATOR } shape;
  if (PyTuple_Check(obj) || PyList_Check(obj))
    shape = TUPLE_OR_LIST;
  else if (PyArray_Check(obj))
    shape = ARRAY;
  else if (PyUnicode_Check(obj) || PyBytes_Check(obj))
    shape = LEAF;
  else if (PySequence_Check(obj))
    shape = SEQUENCE;
  else if (PyDict_Check(obj))
    shape = DICT;
  else if (has_iternext(obj))
    shape = ITERATOR;
  else
    shape = LEAF;
  if (budget < 0) {
    PyErr_SetString(korvo_model_error, "Maximum recursion (inclusion) level reached");
    return WALK_ERROR;
  }
  switch (shape) {
    case LEAF:
      return visitor(p, obj, context);
    case TUPLE_OR_LIST:
    case SEQUENCE: {
      PyRef fast(PySequence_Fast(obj, "Unable to scan sequence"));
      if (!fast) return WALK_ERROR;
      // A list may change under a visitor that runs Python code; the fast
      // form holds its own references.
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
        PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(fast.get(), i));
        int rc = walkLeaves(p, item.get(), visitor, context, budget - 1);
        if (rc != WALK_CONTINUE) return rc;
      }
      return WALK_CONTINUE;
    }
    case DICT: {
      PyRef values(PyDict_Values(obj));
      if (!values) return WALK_ERROR;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        int rc = walkLeaves(p, PyList_GET_ITEM(values.get(), i), visitor, context, budget - 1);
        if (rc != WALK_CONTINUE) return rc;
      }
      return WALK_CONTINUE;
    }
    case ITERATOR: {
      while (PyRef item{PyIter_Next(obj)}) {
        int rc = walkLeaves(p, item.get(), visitor, context, budget - 1);
        if (rc != WALK_CONTINUE) return rc;
      }
      return PyErr_Occurred() ? WALK_ERROR : WALK_CONTINUE;
    }
    case ARRAY:
      return walk_array(p, reinterpret_cast<PyArrayObject *>(obj), visitor, context, budget);
  }
  return WALK_CONTINUE;
}
