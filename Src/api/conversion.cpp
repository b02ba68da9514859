#include "api/conversion.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <cstdarg>
#include <cstring>
#include <string>
#include <utility>

#include "api/errors.h"
#include "api/handles.h"
#include "constraint/constraint.h"
#include "constraint/sos.h"
#include "krvs.h"
#include "maps/maps.h"
#include "numpy_types/npy_api.h"
#include "problem/problem.h"
#include "python_model/allocator.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int64_t kIteratorInitialCapacity = 256;

bool is_power_of_two(int64_t n) { return n > 0 && (n & (n - 1)) == 0; }

// Converts one element into slot i of the array.
int convert_element(problem_s *p, PyObject *item, void *array, int64_t i, int kind) {
  switch (kind) {
    case CONV_ROW:
    case CONV_COL:
    case CONV_SET:
      return ObjInt2int(item, p, static_cast<int *>(array) + i, kind);
    case CONV_INT:
    case CONV_INT64: {
      if (!is_int_like(item)) return -1;  // the wrapper reports through the common error path
      long long v = PyLong_AsLongLong(item);
      if (v == -1 && PyErr_Occurred()) return -1;
      if (kind == CONV_INT && (v < INT_MIN || v > INT_MAX)) {
        PyErr_Format(korvo_model_error, "Integer %lld does not fit 32 bits", v);
        return -1;
      }
      if (kind == CONV_INT)
        static_cast<int *>(array)[i] = int(v);
      else
        static_cast<int64_t *>(array)[i] = v;
      return 0;
    }
    case CONV_DOUBLE: {
      double v = PyFloat_AsDouble(item);
      if (v == -1.0 && PyErr_Occurred()) return -1;
      static_cast<double *>(array)[i] = v;
      return 0;
    }
    case CONV_CHAR: {
      if (!PyUnicode_Check(item) || PyUnicode_GetLength(item) < 1) {
        PyErr_SetString(korvo_model_error, "Expected a one-character string");
        return -1;
      }
      static_cast<char *>(array)[i] = char(PyUnicode_ReadChar(item, 0) & 0xff);
      return 0;
    }
    case CONV_CHARCODE: {
      long v = PyLong_AsLong(item);
      if (v == -1 && PyErr_Occurred()) return -1;
      static_cast<char *>(array)[i] = char(v & 0xff);
      return 0;
    }
    case CONV_POOLCUT:
      return poolcut_getcut(item, static_cast<void **>(array) + i);
    case CONV_OBJECT: {
      void *object = krvsobject_getobj(item);
      if (!object && PyErr_Occurred()) return -1;
      static_cast<void **>(array)[i] = object;
      return 0;
    }
    default:
      PyErr_Format(korvo_interface_error, "Conversion of kind %d is not supported for arguments", kind);
      return -1;
  }
}

}  // namespace

size_t conv_element_size(int kind) {
  switch (kind) {
    case CONV_ROW: case CONV_COL: case CONV_SET: case CONV_INT: case CONV_ROWCOL: return sizeof(int);
    case CONV_INT64: return sizeof(int64_t);
    case CONV_DOUBLE: return sizeof(double);
    case CONV_CHAR: case CONV_CHARCODE: return 1;
    default: return sizeof(void *);
  }
}

bool is_int_like(PyObject *obj) {
  return PyLong_Check(obj) || PyArray_IsScalar(obj, Int) || PyArray_IsScalar(obj, Long);
}

namespace {

// A one-dimensional NumPy array whose items convert like the items of its
// list form, copied without making that list: float64, float32, int32 and
// int64 arrays for doubles, int32 and int64 arrays (the platform's int and
// long, whose items are int-like) for integers and indices. 1 when done, 0
// when the array is left to the general path (other types, values that do
// not fit), -1 with an exception.
template <class From, class To>
bool copy_items(PyArrayObject *a, To *to, int64_t n) {
  const char *base = static_cast<const char *>(PyArray_DATA(a));
  const npy_intp stride = PyArray_STRIDE(a, 0);
  for (int64_t i = 0; i < n; ++i) {
    From v;
    std::memcpy(&v, base + i * stride, sizeof v);
    if constexpr (std::is_same_v<To, int> && std::is_same_v<From, int64_t>)
      if (v < INT32_MIN || v > INT32_MAX) return false;
    to[i] = To(v);
  }
  return true;
}

int numpy_fast_path(PyObject *obj, int64_t *length, void **out, int kind) {
  if (!PyArray_Check(obj)) return 0;
  auto *a = reinterpret_cast<PyArrayObject *>(obj);
  if (PyArray_NDIM(a) != 1 || PyArray_ISBYTESWAPPED(a)) return 0;
  const int type = PyArray_TYPE(a);
  const bool doubles = kind == CONV_DOUBLE;
  const bool ints = kind == CONV_INT || kind == CONV_INT64 || kind == CONV_ROW || kind == CONV_COL || kind == CONV_SET;
  if (!doubles && !ints) return 0;
  if (ints && type != NPY_INT32 && type != NPY_INT64) return 0;
  if (doubles && type != NPY_FLOAT64 && type != NPY_FLOAT32 && type != NPY_INT32 && type != NPY_INT64) return 0;
  const int64_t n = PyArray_DIM(a, 0);
  if (*length >= 0 && *length != n) {
    PyErr_Format(korvo_model_error, "Mismatched lengths in arguments: expected %lld, found %lld", (long long)*length,
                 (long long)n);
    return -1;
  }
  void *block = nullptr;
  if (ko_MemoryAllocator_Alloc_Untyped(ko_MemoryAllocator_DefaultHeap, size_t(n > 0 ? n : 1) * conv_element_size(kind),
                                       &block) != 0) {
    PyErr_NoMemory();
    return -1;
  }
  bool done;
  if (doubles) {
    auto *to = static_cast<double *>(block);
    done = type == NPY_FLOAT64   ? copy_items<double>(a, to, n)
           : type == NPY_FLOAT32 ? copy_items<float>(a, to, n)
           : type == NPY_INT32   ? copy_items<int32_t>(a, to, n)
                                 : copy_items<int64_t>(a, to, n);
  } else if (kind == CONV_INT64) {
    auto *to = static_cast<int64_t *>(block);
    done = type == NPY_INT32 ? copy_items<int32_t>(a, to, n) : copy_items<int64_t>(a, to, n);
  } else {
    auto *to = static_cast<int *>(block);
    done = type == NPY_INT32 ? copy_items<int32_t>(a, to, n) : copy_items<int64_t>(a, to, n);
  }
  if (!done) {
    ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &block);
    return 0;
  }
  *length = n;
  *out = block;
  return 1;
}

}  // namespace

int conv_obj2arr(problem_s *p, int64_t *length, PyObject *obj, void **out, int kind) {
  *out = nullptr;
  if (!obj || obj == Py_None) return 0;
  if (int fast = numpy_fast_path(obj, length, out, kind)) return fast < 0 ? -1 : 0;
  size_t size = conv_element_size(kind);
  bool is_list = PyList_Check(obj), is_tuple = PyTuple_Check(obj);
  bool is_iterator = !is_list && !is_tuple && Py_TYPE(obj)->tp_iternext &&
                     Py_TYPE(obj)->tp_iternext != &_PyObject_NextNotImplemented;
  if (!is_list && !is_tuple && !is_iterator && !PySequence_Check(obj)) {
    PyErr_SetString(korvo_model_error, "Invalid sequence of objects");
    return -1;
  }
  // The block is freed on every failure path; on success it goes to *out.
  struct Block {
    void *ptr = nullptr;
    ~Block() { ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &ptr); }
    bool resize(size_t bytes) {
      if (!ptr) return ko_MemoryAllocator_Alloc_Untyped(ko_MemoryAllocator_DefaultHeap, bytes, &ptr) == 0;
      return ko_MemoryAllocator_Realloc_Untyped(ko_MemoryAllocator_DefaultHeap, &ptr, bytes) == 0;
    }
  } block;
  if (is_iterator) {
    int64_t n = 0;
    if (!block.resize(size_t(kIteratorInitialCapacity) * size)) {
      PyErr_NoMemory();
      return -1;
    }
    while (PyRef item{PyIter_Next(obj)}) {
      if (n >= kIteratorInitialCapacity && is_power_of_two(n) && !block.resize(size_t(2 * n) * size)) {
        PyErr_NoMemory();
        return -1;
      }
      if (convert_element(p, item.get(), block.ptr, n, kind) < 0) return -1;
      ++n;
    }
    if (PyErr_Occurred()) return -1;
    *length = n;
    // Give back the unused tail when the buffer is clearly larger than needed.
    if (n > 0 && std::log2(double(n + 1)) + 0.5 > std::ceil(std::log2(double(n + 1)))) block.resize(size_t(n) * size);
    *out = std::exchange(block.ptr, nullptr);
    return 0;
  }
  PyRef fast;
  PyObject *seq = obj;
  if (!is_list && !is_tuple) {
    fast.reset(PySequence_Fast(obj, "Unable to scan sequence"));
    if (!fast) return -1;
    seq = fast.get();
  }
  int64_t n = PySequence_Fast_GET_SIZE(seq);
  if (*length >= 0 && *length != n) {
    PyErr_Format(korvo_model_error, "Mismatched lengths in arguments: expected %lld, found %lld", (long long)*length,
                 (long long)n);
    return -1;
  }
  *length = n;
  if (!block.resize(size_t(n > 0 ? n : 1) * size)) {
    PyErr_NoMemory();
    return -1;
  }
  PyObject **items = PySequence_Fast_ITEMS(seq);
  for (int64_t i = 0; i < n; ++i)
    if (convert_element(p, items[i], block.ptr, i, kind) < 0) return -1;
  *out = std::exchange(block.ptr, nullptr);
  return 0;
}

int ObjInt2int(PyObject *obj, problem_s *p, int *index, int kind) {
  if (is_int_like(obj)) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) return -1;
    // Cut to 32 bits a huge number would name some other row or column.
    if (v < INT_MIN || v > INT_MAX) {
      PyErr_Format(korvo_model_error, "Index %ld out of range", v);
      return -1;
    }
    *index = int(v);
    return 0;
  }
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    const char *name = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : PyBytes_AS_STRING(obj);
    if (!name) return -1;
    if (KRVSgetindex(p->prob, kind == CONV_ROW ? 1 : kind == CONV_SET ? 3 : 2, name, index) != 0) {
      setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
      return -1;
    }
    return 0;
  }
  PyObject *found = nullptr;
  if (Py_TYPE(obj) == &korvo_varType && kind == CONV_COL) {
    if (rowcolmap_get(p->var_index, var_id(as_var(obj)), &found) == 0) {
      *index = int(reinterpret_cast<intptr_t>(found));
      return 0;
    }
    PyErr_Format(korvo_model_error, "Variable %S not in problem", obj);
    return -1;
  }
  if (Py_TYPE(obj) == &korvo_constraintType && kind == CONV_ROW) {
    if (rowcolmap_get(p->con_index, con_id(as_constraint(obj)->info), &found) == 0) {
      *index = int(reinterpret_cast<intptr_t>(found));
      return 0;
    }
    PyErr_Format(korvo_model_error, "Constraint %S not in problem", obj);
    return -1;
  }
  if (Py_TYPE(obj) == &korvo_sosType && kind == CONV_SET) {
    if (rowcolmap_get(p->sos_index, uint64_t(reinterpret_cast<sos_s *>(obj)->id), &found) == 0) {
      *index = int(reinterpret_cast<intptr_t>(found));
      return 0;
    }
    PyErr_Format(korvo_model_error, "SOS %S not in problem", obj);
    return -1;
  }
  const char *format = kind == CONV_ROW   ? "Invalid constraint object %S"
                       : kind == CONV_COL ? "Invalid variable object %S"
                       : kind == CONV_SET ? "Invalid SOS object %S"
                                          : "Invalid object %S";
  PyErr_Format(korvo_model_error, format, obj);
  return -1;
}

PyObject *convSeqToRowCol(problem_s *p, int index) {
  int64_t rows = 0, spare = 0;
  if (KRVSgetintattrib64(p->prob, 1001, &rows) != 0 || KRVSgetintattrib64(p->prob, 1019, &spare) != 0) {
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    return nullptr;
  }
  PyObject *list = index < rows + spare ? p->constraints : p->variables;
  Py_ssize_t pos = index < rows + spare ? index : index - Py_ssize_t(rows + spare);
  PyObject *item = PyList_GetItem(list, pos);
  return item ? Py_NewRef(item) : nullptr;
}

int conv_arr2obj(problem_s *p, int64_t count, const void *array, PyObject **target, int kind) {
  if (!array) return 0;
  if (!*target || *target == Py_None) {
    PyObject *fresh = PyList_New(0);
    if (!fresh) return -1;
    *target = fresh;  // the caller owns the new list
  } else if (!PyList_Check(*target)) {
    PyErr_SetString(korvo_model_error, "Unexpected argument to conv_arr2obj");
    return -1;
  }
  PyObject *list = *target;
  if (PyList_GET_SIZE(list) > count && PyList_SetSlice(list, Py_ssize_t(count), PyList_GET_SIZE(list), nullptr) < 0)
    return -1;
  for (int64_t i = 0; i < count; ++i) {
    PyRef item;
    switch (kind) {
      case CONV_ROW:
      case CONV_COL:
      case CONV_ROWCOL: {
        int index = static_cast<const int *>(array)[i];
        if (index < 0)
          item.reset(PyLong_FromLong(-1));
        else if (kind == CONV_ROWCOL)
          item.reset(convSeqToRowCol(p, index));
        else
          item.reset(Py_XNewRef(PyList_GetItem(kind == CONV_ROW ? p->constraints : p->variables, index)));
        break;
      }
      case CONV_INT: item.reset(PyLong_FromLong(static_cast<const int *>(array)[i])); break;
      case CONV_INT64: item.reset(PyLong_FromLongLong(static_cast<const int64_t *>(array)[i])); break;
      case CONV_DOUBLE: item.reset(PyFloat_FromDouble(static_cast<const double *>(array)[i])); break;
      case CONV_CHAR: item.reset(PyUnicode_FromStringAndSize(static_cast<const char *>(array) + i, 1)); break;
      case CONV_CHARCODE:
        item.reset(PyUnicode_FromFormat("%d", int(static_cast<const unsigned char *>(array)[i])));
        break;
      case CONV_STRING: item.reset(PyUnicode_FromString(static_cast<const char *const *>(array)[i])); break;
      case CONV_POOLCUT: item.reset(poolcut_create(static_cast<void *const *>(array)[i])); break;
      case CONV_OBJECT: item.reset(krvsobject_create(static_cast<void *const *>(array)[i])); break;
      default:
        PyErr_Format(korvo_interface_error, "Wrong item returned from API call, type %d", kind);
        return -1;
    }
    if (!item) return -1;
    if (i < PyList_GET_SIZE(list)) {
      if (PyList_SetItem(list, Py_ssize_t(i), item.release()) < 0) return -1;
    } else if (PyList_Append(list, item.get()) < 0) {
      return -1;
    }
  }
  return 0;
}

bool ko_ParseTupleAndKeywords(PyObject *args, PyObject *kwargs, const char *format, const char *const *current,
                              const char *const *legacy, ...) {
  va_list targets, retry;
  va_start(targets, legacy);
  va_copy(retry, targets);
  bool ok = PyArg_VaParseTupleAndKeywords(args, kwargs, format, const_cast<char **>(current), targets) != 0;
  va_end(targets);
  if (!ok && legacy) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    ok = PyArg_VaParseTupleAndKeywords(args, kwargs, format, const_cast<char **>(legacy), retry) != 0;
    if (ok) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
    } else {
      PyErr_Clear();
      PyErr_Restore(type, value, traceback);
    }
  }
  va_end(retry);
  return ok;
}

void ko_PyErr_MissingArgs(const char *first, ...) {
  std::string names = first ? first : "";
  int count = first ? 1 : 0;
  va_list rest;
  va_start(rest, first);
  while (const char *name = va_arg(rest, const char *)) {
    names += ", ";
    names += name;
    ++count;
  }
  va_end(rest);
  std::string text = (count == 1 ? "Must provide argument " : "Must provide arguments ") + names;
  if (text.size() > 255) text.resize(255);
  PyErr_SetString(korvo_interface_error, text.c_str());
}

void ko_PyErr_MissingArgsRange(const char *const *keywords, int first, int end) {
  std::string text = end - first == 1 ? "Must provide argument" : "Must provide arguments";
  for (int i = first; i < end; ++i) {
    text += i == first ? " " : ", ";
    text += keywords[i];
  }
  if (text.size() > 255) text.resize(255);
  PyErr_SetString(korvo_interface_error, text.c_str());
}
