// Argument conversion shared by every problem method that wraps an engine
// function: Python sequences to typed arrays and back, object-to-index
// resolution, two-spelling keyword parsing and missing-argument messages.
#ifndef KORVO_CONVERSION_H
#define KORVO_CONVERSION_H

#include <Python.h>

#include <cstdint>

struct problem_s;

enum conv_kind {
  CONV_ROW = 0,       // int32 row index: int, row name, korvo.constraint of the problem
  CONV_COL = 1,       // int32 column index: int, column name, korvo.var of the problem
  CONV_SET = 2,       // int32 set index: int, name, korvo.sos of the problem
  CONV_INT = 3,       // int32 from an int-like
  CONV_INT64 = 4,     // int64 from an int-like
  CONV_DOUBLE = 5,    // double from anything float() accepts
  CONV_CHAR = 6,      // char from a one-character str
  CONV_CHARCODE = 7,  // char from an int's low byte
  CONV_STRING = 8,    // const char* (output only)
  CONV_POOLCUT = 9,   // cut-pool handle
  CONV_OBJECT = 10,   // engine object handle
  CONV_ROWCOL = 11,   // combined row/column index (output only)
};

// Size in bytes of one element of a kind.
size_t conv_element_size(int kind);

// Python int (bool included) or NumPy intc / int_ scalar.
bool is_int_like(PyObject *obj);

// Converts obj (None or missing: nothing) to a new array of the kind made
// with the module allocator; the caller frees it. *length is the shared
// length slot (-1 unset). 0, or -1 with the out array null.
int conv_obj2arr(problem_s *p, int64_t *length, PyObject *obj, void **out, int kind);
// Writes count elements into the caller's list *target (None: a new list
// replaces it), shortening or extending the list in place. 0 or -1.
int conv_arr2obj(problem_s *p, int64_t count, const void *array, PyObject **target, int kind);
// One object to a row, column or set index; 0 or -1.
int ObjInt2int(PyObject *obj, problem_s *p, int *index, int kind);
// Constraint (rows first) or variable of a combined index; new reference.
PyObject *convSeqToRowCol(problem_s *p, int index);

// Like PyArg_ParseTupleAndKeywords, retried with the legacy keyword names
// (same order) when the current ones fail; the first error is kept.
bool ko_ParseTupleAndKeywords(PyObject *args, PyObject *kwargs, const char *format, const char *const *current,
                              const char *const *legacy, ...);
// InterfaceError "Must provide argument(s) a, b"; names end with null.
void ko_PyErr_MissingArgs(const char *first, ...);
// The same for keyword names [first, end) of a keyword list.
void ko_PyErr_MissingArgsRange(const char *const *keywords, int first, int end);

#endif
