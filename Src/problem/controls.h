// Controls and attributes by name: the control and attribute types, the
// name tables read from the engine, module-wide defaults.
#ifndef KORVO_CONTROLS_H
#define KORVO_CONTROLS_H

#include <Python.h>

struct problem_s;

// Value types of the info tables.
enum { INFO_INT = 1, INFO_DOUBLE = 2, INFO_STRING = 3 };
// Library kinds: 0 optimizer, 1 and 2 the nonlinear solver's two lists.
enum { LIBKIND_OPTIMIZER = 0, LIBKIND_NLS = 1, LIBKIND_NLS_SECOND = 2 };

struct ctrl_attr_s {
  PyObject_HEAD
  PyObject *problem;  // null for the module-level controls object
  PyObject *dict;
  // 1 when problem is an owned reference: objects handed to Python code.
  // The problem's own objects borrow it, as the problem owns them.
  int owns_problem;
};

// The module-level controls object (bound to no problem), with an empty dictionary.
PyObject *ctrl_new_module_level(void);
// Control / attribute objects bound to a problem (borrowed back-pointer).
PyObject *ctrl_new_for_problem(PyObject *problem);
PyObject *attr_new_for_problem(PyObject *problem);
// A new object like the given problem-bound one that holds its own
// reference to the problem, so that it stays usable after the caller drops
// the problem: what p.controls and p.attributes hand out.
PyObject *ctrl_attr_handout(PyObject *stored);
// Copies with the same problem and a copy of the dictionary.
PyObject *ctrl_copy(PyObject *ctrl);
PyObject *attr_copy(PyObject *attr);

// Reads the control and attribute lists from the engine into ctrl_info,
// attr_info and the defaults of korvo.controls. flag 0: at module start
// (an engine that cannot start leaves the tables empty); flag 1: from the
// first start request.
int ctrl_attr_fill_typeobj(int flag);

// Folds a name to lower case: all-lower or all-upper names only, at most
// 1024 characters. Writes into out (1025 bytes); 0 or -1 with ModelError.
int to_lowercase_all(const char *name, char *out);
// Same for a Python str; new reference or null.
PyObject *to_lowercase_object(PyObject *name);

// Stores a module-wide default (in the dictionary of korvo.controls and in
// default_controls) without a type check; used at start-up.
int ctrl_set_module_default(const char *name, PyObject *value);

// Value check of a control by value type; 0 or -1 with ModelError.
int check_setCtrl(int type, PyObject *value);

// One value from the engine: problem, id, value type, is-control, library kind.
PyObject *problem_getInfo_single(problem_s *p, int id, int type, int is_control, int kind);
// Sets one control; returns the engine's result (0 success), -1 on a failed check.
int problem_setControl_single(problem_s *p, int id, int type, int kind, PyObject *value);
// Applies default_controls to a new problem; 0 or -1 with an exception.
int problem_apply_default_controls(problem_s *p);

// getControl / getAttrib / setControl (problem methods).
PyObject *problem_getControl(PyObject *self, PyObject *args);
PyObject *problem_getAttrib(PyObject *self, PyObject *args);
PyObject *problem_setControl(PyObject *self, PyObject *args);

#endif
