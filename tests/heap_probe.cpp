// Test-only extension: drives the module's heap (the allocator of every
// array handed to the engine) through allocations, resizes of small and
// large blocks, and frees. Built by tests/test_module_heap.py.
#include <Python.h>

#include <cstdint>
#include <vector>

#include "python_model/allocator.h"

namespace {

unsigned char pattern(size_t i) { return static_cast<unsigned char>((i * 131u + 7u) & 0xFF); }

// cycle(sizes): a block of sizes[0] bytes, filled with a pattern, then
// resized to each further size in turn; after every resize the bytes both
// sizes share must still hold the pattern, and the new bytes are filled.
// Returns the block's address after each step.
PyObject *probe_cycle(PyObject *, PyObject *arg) {
  PyObject *seq = PySequence_Fast(arg, "sizes must be a sequence");
  if (!seq) return nullptr;
  std::vector<size_t> sizes;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i)
    sizes.push_back(PyLong_AsSize_t(PySequence_Fast_GET_ITEM(seq, i)));
  Py_DECREF(seq);
  if (PyErr_Occurred() || sizes.empty()) return nullptr;
  PyObject *addresses = PyList_New(0);
  if (!addresses) return nullptr;
  void *block = nullptr;
  if (ko_MemoryAllocator_Alloc_Untyped(ko_MemoryAllocator_DefaultHeap, sizes[0], &block) != 0) {
    Py_DECREF(addresses);
    return PyErr_NoMemory();
  }
  size_t filled = sizes[0];
  for (size_t i = 0; i < filled; ++i) static_cast<unsigned char *>(block)[i] = pattern(i);
  for (size_t step = 0;; ++step) {
    PyObject *address = PyLong_FromVoidPtr(block);
    if (!address || PyList_Append(addresses, address) < 0) {
      Py_XDECREF(address);
      ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &block);
      Py_DECREF(addresses);
      return nullptr;
    }
    Py_DECREF(address);
    if (step + 1 == sizes.size()) break;
    size_t next = sizes[step + 1];
    if (ko_MemoryAllocator_Realloc_Untyped(ko_MemoryAllocator_DefaultHeap, &block, next) != 0) {
      ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &block);
      Py_DECREF(addresses);
      return PyErr_NoMemory();
    }
    size_t kept = filled < next ? filled : next;
    for (size_t i = 0; i < kept; ++i)
      if (static_cast<unsigned char *>(block)[i] != pattern(i)) {
        ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &block);
        Py_DECREF(addresses);
        return PyErr_Format(PyExc_AssertionError, "byte %zu lost in the resize to %zu bytes", i, next);
      }
    for (size_t i = kept; i < next; ++i) static_cast<unsigned char *>(block)[i] = pattern(i);
    filled = next;
  }
  ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &block);
  if (block) {
    Py_DECREF(addresses);
    PyErr_SetString(PyExc_AssertionError, "free left the block pointer set");
    return nullptr;
  }
  return addresses;
}

PyMethodDef methods[] = {
    {"cycle", probe_cycle, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "heap_probe", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_heap_probe(void) { return PyModule_Create(&module_def); }
