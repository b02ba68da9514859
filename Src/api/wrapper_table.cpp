// The common body of every table-described wrapper method.
#include "api/wrapper_table.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/conversion.h"
#include "api/errors.h"
#include "problem/change_journal.h"
#include "problem/problem.h"
#include "python_model/allocator.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"

namespace {

struct owned_arrays {
  wrap_call &call;
  ~owned_arrays() {
    for (void *&block : call.arrays) ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &block);
  }
};

// Parses every argument as an object, with the current and then the legacy
// keywords; required ones first.
bool parse_objects(PyObject *args, PyObject *kwargs, const wrapper_def &def, PyObject **objects) {
  std::string format;
  const char *current[kWrapMaxArgs + 1] = {nullptr};
  const char *legacy[kWrapMaxArgs + 1] = {nullptr};
  bool optional = false;
  for (int i = 0; i < def.nargs; ++i) {
    if (def.args[i].optional && !optional) {
      format += '|';
      optional = true;
    } else if (!def.args[i].optional && optional) {
      PyErr_Format(korvo_interface_error, "Method %s lists a required argument after an optional one", def.name);
      return false;
    }
    format += 'O';
    current[i] = def.args[i].keyword;
    legacy[i] = def.args[i].legacy ? def.args[i].legacy : def.args[i].keyword;
  }
  PyObject **o = objects;
  static_assert(kWrapMaxArgs == 12, "the target list below names every slot");
  return ko_ParseTupleAndKeywords(args, kwargs, format.c_str(), current, legacy, &o[0], &o[1], &o[2], &o[3], &o[4],
                                  &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11]);
}

int convert_argument(wrap_call &call, const wrap_arg &arg, int i) {
  PyObject *obj = call.objects[i];
  if (arg.role == WR_OUTLIST) return 0;
  if (!obj || obj == Py_None) return 0;  // optional and left out; required ones are checked before
  switch (arg.role) {
    case WR_INT:
      if (!is_int_like(obj)) {
        PyErr_Format(korvo_model_error, "Argument %s must be an integer", arg.keyword);
        return -1;
      }
      call.ints[i] = PyLong_AsLongLong(obj);
      return call.ints[i] == -1 && PyErr_Occurred() ? -1 : 0;
    case WR_DOUBLE:
      call.dbls[i] = PyFloat_AsDouble(obj);
      return call.dbls[i] == -1.0 && PyErr_Occurred() ? -1 : 0;
    case WR_STRING:
      if (PyBytes_Check(obj)) {
        call.strs[i] = PyBytes_AS_STRING(obj);
        return 0;
      }
      if (!PyUnicode_Check(obj)) {
        PyErr_Format(korvo_model_error, "Argument %s must be a string", arg.keyword);
        return -1;
      }
      call.strs[i] = PyUnicode_AsUTF8(obj);
      return call.strs[i] ? 0 : -1;
    case WR_INDEX: {
      int index = 0;
      if (ObjInt2int(obj, call.p, &index, arg.kind) < 0) return -1;
      call.ints[i] = index;
      return 0;
    }
    case WR_ARRAY:
    case WR_ARRAY_OR_NONE: {
      int64_t unused = -1;
      int64_t *slot = arg.slot >= 0 ? &call.slots[arg.slot] : &unused;
      const int64_t expected = *slot;
      if (conv_obj2arr(call.p, slot, obj, &call.arrays[i], arg.kind) < 0) return -1;
      // An iterator sets the slot to its own count; one that disagrees with
      // an earlier array of the slot would make the engine read past the
      // shorter array.
      if (expected >= 0 && *slot != expected) {
        PyErr_Format(korvo_model_error, "Mismatched lengths in arguments: expected %lld, found %lld",
                     (long long)expected, (long long)*slot);
        return -1;
      }
      return 0;
    }
    case WR_OUTLIST:
    case WR_OBJECT:
    case WR_OBJECT_OR_NONE:
      return 0;
  }
  return 0;
}

}  // namespace

int wrap_allocate(wrap_call &call, int i, int64_t n, size_t size) {
  ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &call.arrays[i]);
  size_t bytes = size_t(n > 0 ? n : 1) * size;
  if (ko_MemoryAllocator_Alloc_Untyped(ko_MemoryAllocator_DefaultHeap, bytes, &call.arrays[i]) != 0) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

int wrap_allocate_given(wrap_call &call, int n, const int *slot_of, size_t size) {
  for (int i = 0; i < n; ++i)
    if (call.given(i) && wrap_allocate(call, i, call.slots[slot_of[i]], size) < 0) return -1;
  return 0;
}

int wrap_dimensions(wrap_call &call, int rows_attrib, int cols_attrib) {
  int rows = 0, cols = 0;
  if (KRVSgetintattrib(call.p->prob, rows_attrib, &rows) != 0 ||
      KRVSgetintattrib(call.p->prob, cols_attrib, &cols) != 0)
    return -1;
  call.slots[0] = cols;
  call.slots[1] = rows;
  return 0;
}

namespace {

PyObject *run_wrapper_unguarded(PyObject *self, PyObject *args, PyObject *kwargs, const wrapper_def &def) {
  wrap_call call{};
  call.p = reinterpret_cast<problem_s *>(self);
  for (int64_t &slot : call.slots) slot = -1;
  owned_arrays owned{call};
  PyObject *result = nullptr;
  if (call.p->solving > 0) {
    // Inside a callback the solve is paused on this thread: the engine's
    // queries (get...) read what the search publishes for the callback.
    const bool callback_query = call.p->shadow_owner && strncmp(def.name, "get", 3) == 0;
    const bool callback_change = call.p->shadow_owner && def.while_solving == WRAP_ALLOWED_IN_CALLBACK;
    if (def.while_solving != WRAP_ALLOWED_WHILE_SOLVING && !callback_query && !callback_change) {
      std::string what = std::string(def.name) + "()";
      problem_refuse_while_solving(call.p, what.c_str());
      return nullptr;
    }
  } else if (problem_apply_object_changes(call.p) < 0) {
    return nullptr;
  }
  if (!parse_objects(args, kwargs, def, call.objects)) {
    if (def.parse_error) {
      PyErr_Clear();
      PyErr_SetString(korvo_interface_error, def.parse_error);
    }
    setKrvsErrIfNull(self, result);
    return nullptr;
  }
  // Required arguments given as None.
  std::string missing;
  int missing_count = 0;
  for (int i = 0; i < def.nargs; ++i)
    if (!def.args[i].optional && def.args[i].role != WR_OUTLIST && def.args[i].role != WR_ARRAY_OR_NONE &&
        def.args[i].role != WR_OBJECT_OR_NONE && call.objects[i] == Py_None) {
      missing += missing_count++ ? ", " : "";
      missing += def.args[i].keyword;
    }
  if (missing_count) {
    std::string text = (missing_count == 1 ? "Must provide argument " : "Must provide arguments ") + missing;
    if (text.size() > 255) text.resize(255);
    PyErr_SetString(korvo_interface_error, text.c_str());
    return nullptr;
  }
  for (int i = 0; i < def.nargs; ++i)
    if (convert_argument(call, def.args[i], i) < 0) {
      // A number or string of the wrong type counts as a wrong argument list
      // in rows that name one.
      const wrap_role role = def.args[i].role;
      if (def.parse_error && (role == WR_INT || role == WR_DOUBLE || role == WR_STRING)) {
        PyErr_Clear();
        PyErr_SetString(korvo_interface_error, def.parse_error);
      }
      setKrvsErrIfNull(self, result);
      return nullptr;
    }
  if (def.prepare && def.prepare(call) < 0) {
    setKrvsErrIfNull(self, result);  // an engine query inside the preparation
    return nullptr;
  }
  if (def.call(call) != 0) {
    setKrvsErrIfNull(self, result);
    return nullptr;
  }
  for (int i = 0; i < def.nargs; ++i) {
    const wrap_arg &arg = def.args[i];
    if (arg.role != WR_OUTLIST || !call.given(i) || !call.arrays[i]) continue;
    PyObject *target = call.objects[i];
    if (conv_arr2obj(call.p, arg.slot >= 0 ? call.slots[arg.slot] : 0, call.arrays[i], &target, arg.kind) < 0)
      return nullptr;
  }
  result = def.result ? def.result(call) : Py_NewRef(Py_None);
  setKrvsErrIfNull(self, result);
  return result;
}

}  // namespace

// No C++ exception may reach the interpreter: a container of a preparation
// or result step that runs out of memory is a MemoryError.
PyObject *run_wrapper(PyObject *self, PyObject *args, PyObject *kwargs, const wrapper_def &def) {
  try {
    return run_wrapper_unguarded(self, args, kwargs, def);
  } catch (const std::bad_alloc &) {
  } catch (const std::length_error &) {
  }
  PyErr_Clear();
  return PyErr_NoMemory();
}

namespace {
// Filled by static registrations before the module's start-up runs.
std::vector<PyMethodDef *> &registered_tables() {
  static std::vector<PyMethodDef *> tables;
  return tables;
}
}  // namespace

void problem_register_method_table(PyMethodDef *table) { registered_tables().push_back(table); }

PyMethodDef *const *problem_registered_method_tables(int *count) {
  *count = int(registered_tables().size());
  return registered_tables().data();
}
