// Problem methods that wrap one engine function, described by a table row
// each: the arguments (keyword, legacy keyword, role, conversion kind,
// length slot), an optional preparation step, the engine call and an
// optional result. run_wrapper does the parsing, conversions, the call,
// the output lists and the error path for all of them.
//
// Two rules hold for every row without code of its own:
// - While the problem is being solved (by another thread, the solve having
//   released the interpreter lock), a wrapper method is refused with
//   korvo.InterfaceError, since it may change the model or read state the
//   solve is writing. Only rows marked WRAP_ALLOWED_WHILE_SOLVING run
//   then: those that are safe at any time, such as interrupting the solve.
// - Otherwise, changes made to the problem's variables and constraints
//   since it last used its engine model (x.ub = 5, ...) are applied before
//   the row's engine call, so the row sees and changes the model as the
//   objects describe it.
#ifndef KORVO_WRAPPER_TABLE_H
#define KORVO_WRAPPER_TABLE_H

#include <Python.h>

#include <cstdint>

struct problem_s;

enum wrap_role : uint8_t {
  WR_INT,      // int-like -> ints[i]
  WR_DOUBLE,   // anything float() accepts -> dbls[i]
  WR_STRING,   // str or bytes -> strs[i]
  WR_INDEX,    // one row, column or set (object, name or index; kind CONV_ROW/COL/SET) -> ints[i]
  WR_ARRAY,    // a sequence converted with conv_obj2arr(kind, slot) -> arrays[i]
  WR_OUTLIST,  // the caller's list (or None), filled after the call from arrays[i] (prepared), count slots[slot]
  WR_ARRAY_OR_NONE,  // as WR_ARRAY, but None leaves arrays[i] null even where the argument is required
  WR_OBJECT,   // taken as given in objects[i]; the preparation step interprets it
  WR_OBJECT_OR_NONE,  // as WR_OBJECT, but None reaches the preparation step even where the argument is required
};

constexpr int kWrapMaxArgs = 12;
constexpr int kWrapSlots = 4;

struct wrap_arg {
  const char *keyword;  // current spelling
  const char *legacy;   // legacy spelling
  wrap_role role;
  int8_t kind;  // CONV_* for WR_INDEX, WR_ARRAY, WR_OUTLIST
  int8_t slot;  // length slot of WR_ARRAY / WR_OUTLIST, -1 for none
  bool optional;  // optional arguments come after the required ones
};

// Values of one call. Arrays are allocated with the module allocator (by
// the conversions or by a preparation step) and freed by run_wrapper.
struct wrap_call {
  problem_s *p;
  PyObject *objects[kWrapMaxArgs];  // as given (borrowed), null when left out
  long long ints[kWrapMaxArgs];
  double dbls[kWrapMaxArgs];
  const char *strs[kWrapMaxArgs];
  void *arrays[kWrapMaxArgs];
  int64_t slots[kWrapSlots];  // -1 until set
  template <class T>
  T *array(int i) const {
    return static_cast<T *>(arrays[i]);
  }
  bool given(int i) const { return objects[i] && objects[i] != Py_None; }
};

enum wrap_solve_rule : uint8_t {
  WRAP_REFUSED_WHILE_SOLVING = 0,  // the default of every row
  WRAP_ALLOWED_WHILE_SOLVING,      // safe during a solve of the same problem
  // Refused while the problem is being solved, except on the problem a
  // callback of that solve receives: for what the engine's search takes
  // from its callbacks (cuts, stored bounds, the bounds and cuts of a branch).
  WRAP_ALLOWED_IN_CALLBACK,
};

struct wrapper_def {
  const char *name;
  const char *doc;
  int nargs;
  wrap_arg args[kWrapMaxArgs];
  // Before the call, after the conversions: allocate output arrays, check
  // combinations. 0, or -1 with an exception.
  int (*prepare)(wrap_call &call);
  // The engine call; its return code (non-zero: the engine's error is raised).
  int (*call)(wrap_call &call);
  // The method's result (new reference); null pointer: None.
  PyObject *(*result)(wrap_call &call);
  // Left out in most rows: refused while the problem is being solved.
  wrap_solve_rule while_solving = WRAP_REFUSED_WHILE_SOLVING;
  // Left out in most rows: the parser's own message. Otherwise the message
  // of the korvo.InterfaceError raised when the arguments cannot be parsed
  // or a number or string argument has the wrong type.
  const char *parse_error = nullptr;
};

// Allocates n elements of size bytes each with the module allocator into
// call.arrays[i]; 0, or -1 with MemoryError.
int wrap_allocate(wrap_call &call, int i, int64_t n, size_t size);
// Arrays for the output lists given (not None) among the first n arguments:
// argument i gets call.slots[slot_of[i]] elements of size bytes. 0 or -1.
int wrap_allocate_given(wrap_call &call, int n, const int *slot_of, size_t size);
// The integer attributes rows_attrib and cols_attrib of the engine problem
// (a row and a column count) into slots 1 and 0. 0 or -1.
int wrap_dimensions(wrap_call &call, int rows_attrib, int cols_attrib);

PyObject *run_wrapper(PyObject *self, PyObject *args, PyObject *kwargs, const wrapper_def &def);

// A method-table row for a wrapper_def defined at namespace scope.
#define KORVO_WRAPPER_METHOD(def)                                                                          \
  PyMethodDef {                                                                                            \
    def.name,                                                                                              \
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                                    \
            +[](PyObject *self, PyObject *args, PyObject *kwargs) { return run_wrapper(self, args, kwargs, def); })), \
        METH_VARARGS | METH_KEYWORDS, def.doc                                                              \
  }

// Method families register their tables themselves, so a new family file
// needs no edit elsewhere: at namespace scope,
//   KORVO_REGISTER_PROBLEM_METHODS(my_family_methods);
// problem_type_prepare merges every registered table into the type, families
// in link order, rows in table order.
void problem_register_method_table(PyMethodDef *table);
PyMethodDef *const *problem_registered_method_tables(int *count);
struct problem_method_registration {
  explicit problem_method_registration(PyMethodDef *table) { problem_register_method_table(table); }
};
#define KORVO_REGISTER_PROBLEM_METHODS(table) \
  [[maybe_unused]] static const problem_method_registration korvo_registration_##table{table}

#endif
