// The problem's registry of modelling objects: adding variables, sets and
// indicators, deleting and looking up objects by index, range or object.
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "api/conversion.h"
#include "api/errors.h"
#include "constraint/constraint.h"
#include "constraint/sos.h"
#include "expression/expression.h"
#include "knls.h"
#include "krvs.h"
#include "maps/maps.h"
#include "problem/change_journal.h"
#include "problem/flush.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "problem/walk.h"
#include "python_model/allocator.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/numbers.h"
#include "python_model/pyref.h"
#include "variable/name_patterns.h"
#include "variable/var.h"

namespace {

constexpr int kColsAttrib = 1214;
constexpr int kRowsAttrib = 1124;
constexpr int kSetsAttrib = 1194;
constexpr Py_ssize_t kMaxEngineName = KORVO_MAX_NAME_LENGTH;

PyObject *self_of(problem_s *p) { return reinterpret_cast<PyObject *>(p); }

bool int_attrib(problem_s *p, int id, int64_t *value) {
  if (KRVSgetintattrib64(p->prob, id, value) == 0) return true;
  setKrvsErrIfNull(self_of(p), nullptr);
  return false;
}

int map_index(PyObject *value) { return int(reinterpret_cast<intptr_t>(value)); }
PyObject *index_value(int64_t index) { return reinterpret_cast<PyObject *>(intptr_t(index)); }

// ---- the three object kinds --------------------------------------------------

struct object_kind {
  PyObject *problem_s::*list;
  rowcolmap *problem_s::*map;
  int conv_kind;
  int (*engine_delete)(KRVSprob, int, const int *);
  bool (*is_kind)(PyObject *);
  uint64_t (*identity)(PyObject *);
  const char *deleter;  // the method that deletes objects of the kind
};

bool is_var_object(PyObject *o) { return isVar(o); }
bool is_con_object(PyObject *o) { return isConstraint(o); }
bool is_sos_object(PyObject *o) { return isSos(o); }
uint64_t var_identity(PyObject *o) { return var_id(as_var(o)); }
uint64_t con_identity(PyObject *o) { return con_id(as_constraint(o)->info); }
uint64_t sos_identity(PyObject *o) { return uint64_t(reinterpret_cast<sos_s *>(o)->id); }

const object_kind kVariables{&problem_s::variables, &problem_s::var_index, CONV_COL,     KRVSdelcols,
                             is_var_object,       var_identity,         "delVariable()"};
const object_kind kConstraints{&problem_s::constraints, &problem_s::con_index, CONV_ROW,       KRVSdelrows,
                               is_con_object,          con_identity,          "delConstraint()"};
const object_kind kSets{&problem_s::sets, &problem_s::sos_index, CONV_SET, KRVSdelsets,
                        is_sos_object,    sos_identity,          "delSOS()"};

// ---- addVariable ---------------------------------------------------------------

// The columns of one addVariable call. New engine columns are continuous,
// so only the others have their types changed.
struct new_columns {
  int64_t base;
  std::vector<double> lower, upper;  // one entry per column
  std::vector<int> typed_cols;       // columns that are not continuous
  std::vector<char> typed_letters;
  std::vector<int> threshold_cols;
  std::vector<double> thresholds;
  std::string names;  // zero-terminated names one after the other; empty for a default name
  // Per column: the identity of a default name "C<id>", or kNamedRow;
  // empty while every column so far has a name of its own (then nothing
  // is numbered).
  std::vector<uint64_t> name_numbers;
  bool any_named = false;
  size_t expected = 0;  // columns the call will likely add

  size_t count() const { return lower.size(); }
};

char column_type_letter(int type) {
  static const char letters[] = {'C', 'B', 'I', 'S', 'R', 'P'};
  return type >= 0 && type < 6 ? letters[type] : 0;
}

int visitVariableLeaf(problem_s *p, PyObject *leaf, void *context) {
  auto *cols = static_cast<new_columns *>(context);
  if (!isVar(leaf)) {
    PyErr_SetString(korvo_model_error, "Incorrect objects added as variables to problem");
    return WALK_ERROR;
  }
  uint64_t info = as_var(leaf)->info;
  if (rowcolmap_has(p->var_index, var_id(info))) {
    PyErr_SetString(korvo_model_error, "Variable already added to problem");
    return WALK_ERROR;
  }
  char letter = column_type_letter(get_var_type(info));
  if (!letter) {
    PyErr_SetString(korvo_model_error, "Incorrect variable type passed to addVariable()");
    return WALK_ERROR;
  }
  double lb = get_var_lbound(info), ub = get_var_ubound(info);
  double threshold = 0.0;
  bool semi = letter == 'S' || letter == 'R' || letter == 'P';
  if (semi) {
    threshold = get_var_thold(info);
    if (!(lb <= threshold && threshold <= ub)) {
      PyErr_SetString(korvo_model_error,
                      "Incorrect semi-continuous, semi-integer, or partially integer variable; check that its "
                      "threshold is between its lower and upper bounds");
      return WALK_ERROR;
    }
  }
  // A default name ("C<id>") reaches the engine as the identity alone; a
  // plain name from the vars() call's pattern is written straight into the
  // buffer, without a Python string.
  PyRef name;
  const char *text = "";
  size_t text_length = 0;
  uint64_t name_number = var_id(info);
  bool written = false;
  if ((info & VAR_NAME_PATTERN) && name_pattern_append_plain(var_id(info), size_t(kMaxEngineName), &cols->names)) {
    // The first name gives the size of the others of a large call: room
    // for all of them at once.
    if (cols->count() == 0 && cols->names.size() * cols->expected > cols->names.capacity())
      cols->names.reserve(cols->names.size() * cols->expected + cols->expected);
    written = true;
    name_number = kNamedRow;
    cols->any_named = true;
  } else if (var_has_own_name(info)) {
    name.reset(get_var_name(info));
    if (!name) return WALK_ERROR;
    if (!PyUnicode_Check(name.get())) {
      PyErr_SetString(korvo_model_error, "Invalid variable name (must be a string)");
      return WALK_ERROR;
    }
    if (PyUnicode_GetLength(name.get()) > kMaxEngineName) {
      name.reset(PyUnicode_Substring(name.get(), 0, kMaxEngineName));
      if (!name) return WALK_ERROR;
    }
    Py_ssize_t length = 0;
    text = PyUnicode_AsUTF8AndSize(name.get(), &length);
    text_length = size_t(length);
    if (!text) return WALK_ERROR;
    if (strlen(text) != size_t(length)) {
      // The library takes names as one zero-separated buffer.
      PyErr_SetString(korvo_model_error, "Names cannot contain a zero character");
      return WALK_ERROR;
    }
    name_number = kNamedRow;
    cols->any_named = true;
  }
  int64_t column = cols->base + int64_t(cols->count());
  if (PyList_Append(p->variables, leaf) < 0) return WALK_ERROR;
  if (rowcolmap_set(p->var_index, var_id(info), index_value(column)) < 0) {
    PyErr_SetString(korvo_model_error, "Could not amend variable map");
    return WALK_ERROR;
  }
  if (letter != 'C') {
    cols->typed_cols.push_back(int(column));
    cols->typed_letters.push_back(letter);
  }
  cols->lower.push_back(lb);
  cols->upper.push_back(ub);
  if (semi) {
    cols->threshold_cols.push_back(int(column));
    cols->thresholds.push_back(threshold);
  }
  if (!written) cols->names.append(text, text_length + 1);  // with its terminating zero
  if (name_number != kNamedRow && cols->name_numbers.empty()) {
    if (cols->name_numbers.capacity() == 0) cols->name_numbers.reserve(cols->expected);
    cols->name_numbers.assign(cols->count() - 1, kNamedRow);
  }
  if (!cols->name_numbers.empty() || name_number != kNamedRow) cols->name_numbers.push_back(name_number);
  return WALK_CONTINUE;
}

// Takes the objects at positions from..end of a kind's list out of the
// registry again.
void forget_tail(problem_s *p, const object_kind &kind, Py_ssize_t from) {
  PyObject *list = p->*kind.list;
  Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = from; i < n; ++i) rowcolmap_del(p->*kind.map, kind.identity(PyList_GET_ITEM(list, i)));
  if (n > from) PyList_SetSlice(list, from, n, nullptr);
}

PyObject *problem_addVariable(PyObject *self, PyObject *args) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (problem_refuse_while_solving(p, "addVariable()") < 0) return nullptr;
  new_columns cols;
  if (!int_attrib(p, kColsAttrib, &cols.base)) return nullptr;
  Py_ssize_t before = PyList_GET_SIZE(p->variables);
  try {
    size_t expected = expected_leaves(args);
    cols.expected = expected;
    cols.lower.reserve(expected);
    cols.upper.reserve(expected);
    cols.names.reserve(expected);
    if (walkLeaves(p, args, visitVariableLeaf, &cols, WALK_BUDGET) == WALK_ERROR) {
      // Nothing reached the engine: the registry forgets this call's variables.
      forget_tail(p, kVariables, before);
      return nullptr;
    }
  } catch (const std::bad_alloc &) {
    forget_tail(p, kVariables, before);
    return PyErr_NoMemory();
  }
  int n = int(cols.count());
  if (n == 0) Py_RETURN_NONE;
  // No coefficients: the engine needs neither starts nor an objective (zero).
  if (KRVSaddcols64(p->prob, n, 0, nullptr, nullptr, nullptr, nullptr, cols.lower.data(), cols.upper.data()) != 0) {
    setKrvsErrIfNull(self, nullptr);
    forget_tail(p, kVariables, before);
    return nullptr;
  }
  int64_t after = 0;
  if (!int_attrib(p, kColsAttrib, &after)) return nullptr;
  if ((!cols.typed_cols.empty() && KRVSchgcoltype(p->prob, int(cols.typed_cols.size()), cols.typed_cols.data(),
                                                  cols.typed_letters.data()) != 0) ||
      (cols.any_named && KRVSaddnames(p->prob, 2, cols.names.data(), int(cols.base), int(after) - 1) != 0) ||
      (!cols.name_numbers.empty() &&
       KRVSaddnumberednames(p->prob, 2, cols.name_numbers.data(), int(cols.base), int(after) - 1) != 0) ||
      (!cols.thresholds.empty() && KRVSchgglblimit(p->prob, int(cols.thresholds.size()), cols.threshold_cols.data(),
                                                   cols.thresholds.data()) != 0))
    return krvs_error(self);
  Py_RETURN_NONE;
}

// ---- addSOS --------------------------------------------------------------------

int problem_addSOS_single(problem_s *p, PyObject *leaf, void *) {
  if (!isSos(leaf)) {
    PyErr_SetString(korvo_model_error, "Object added is not a SOS");
    return WALK_ERROR;
  }
  auto *s = reinterpret_cast<sos_s *>(leaf);
  if (rowcolmap_has(p->sos_index, uint64_t(s->id))) {
    PyErr_SetString(korvo_model_error, "SOS already added to problem");
    return WALK_ERROR;
  }
  PyRef members(s->indices ? PySequence_Fast(s->indices, "SOS indices must be passed as a list") : PyList_New(0));
  PyRef weights(s->weights ? PySequence_Fast(s->weights, "SOS weights must be passed as a list") : PyList_New(0));
  if (!members || !weights) return WALK_ERROR;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(members.get());
  if (PySequence_Fast_GET_SIZE(weights.get()) != n) {
    PyErr_SetString(korvo_model_error, "SOS weights and indices must have the same length");
    return WALK_ERROR;
  }
  std::vector<int> cols(static_cast<size_t>(n));
  std::vector<double> refs(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *member = PySequence_Fast_GET_ITEM(members.get(), i);
    if (isVar(member)) {
      PyObject *found = nullptr;
      if (rowcolmap_get(p->var_index, var_id(as_var(member)), &found) != 0) {
        PyErr_SetString(korvo_model_error, "SOS contains variable that was not added to the problem");
        return WALK_ERROR;
      }
      cols[size_t(i)] = map_index(found);
    } else if (is_integer_value(member)) {
      long v = PyLong_AsLong(member);
      if (v == -1 && PyErr_Occurred()) return WALK_ERROR;
      cols[size_t(i)] = int(v);
    } else {
      PyErr_SetString(korvo_model_error, "SOS indices must be passed as a list");
      return WALK_ERROR;
    }
    refs[size_t(i)] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(weights.get(), i));
    if (refs[size_t(i)] == -1.0 && PyErr_Occurred()) return WALK_ERROR;
  }
  // The set's name goes to the engine with it, so files name the set as the
  // program does; it is checked before anything is added.
  PyRef name(s->name && PyUnicode_Check(s->name) ? Py_NewRef(s->name)
             : s->name && s->name != Py_None  ? PyObject_Str(s->name)
                                               : nullptr);
  if (s->name && s->name != Py_None && !name) return WALK_ERROR;
  if (name && PyUnicode_GET_LENGTH(name.get()) > kMaxEngineName) {
    name.reset(PyUnicode_Substring(name.get(), 0, kMaxEngineName));
    if (!name) return WALK_ERROR;
  }
  const char *name_text = nullptr;
  if (name) {
    Py_ssize_t length = 0;
    name_text = PyUnicode_AsUTF8AndSize(name.get(), &length);
    if (!name_text) return WALK_ERROR;
    for (Py_ssize_t k = 0; k < length; ++k)
      if (static_cast<unsigned char>(name_text[k]) < ' ') {
        PyErr_SetString(korvo_model_error, "The name of a SOS cannot contain control characters");
        return WALK_ERROR;
      }
  }
  char type = s->type == 2 ? '2' : '1';
  int64_t starts[2] = {0, int64_t(n)};
  if (KRVSaddsets64(p->prob, 1, int64_t(n), &type, starts, cols.data(), refs.data()) != 0) {
    setKrvsErrIfNull(self_of(p), nullptr);
    return WALK_ERROR;
  }
  int64_t sets = 0;
  if (!int_attrib(p, kSetsAttrib, &sets)) return WALK_ERROR;
  if (name_text && KRVSaddnames(p->prob, 3, name_text, int(sets - 1), int(sets - 1)) != 0) {
    setKrvsErrIfNull(self_of(p), nullptr);
    int last = int(sets - 1);
    KRVSdelsets(p->prob, 1, &last);  // the set goes with its refused name
    return WALK_ERROR;
  }
  if (PyList_Append(p->sets, leaf) < 0 || rowcolmap_set(p->sos_index, uint64_t(s->id), index_value(sets - 1)) < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Could not amend SOS map");
    return WALK_ERROR;
  }
  return WALK_CONTINUE;
}

PyObject *problem_addSOS(PyObject *self, PyObject *args) {
  if (problem_refuse_while_solving(reinterpret_cast<problem_s *>(self), "addSOS()") < 0) return nullptr;
  try {
    if (walkLeaves(reinterpret_cast<problem_s *>(self), args, problem_addSOS_single, nullptr, WALK_BUDGET) ==
        WALK_ERROR)
      return nullptr;
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

// ---- addIndicator --------------------------------------------------------------

const char kIndicatorUsage[] =
    "Invalid declaration of indicator constraints.\nThe problem.addIndicator function accepts either two "
    "constraints or one or more TUPLES of constraints,\nas in the following examples:\n\np.addIndicator(z==1, "
    "2*x + 4*y <= 4)\n\np.addIndicator((y1==1, 2*x1 + 4*x2 <= 4),\n               (y2==1, 3*x1 -   x2 >= 2),\n"
    "               (y3==1, 2*x1 + 4*x2 <= 4))\n";

int indicator_error(const char *text) {
  PyErr_SetString(korvo_model_error, text);
  return -1;
}

// The indicator column and complement flag of a condition constraint.
int indicator_condition(problem_s *p, PyObject *condition, int *column, int *complement) {
  PyObject *body = as_constraint(condition)->body;
  const var_s *v = nullptr;
  double coef = 1.0;
  if (body && isVar(body)) {
    v = as_var(body);
  } else if (body && isExpression(body)) {
    expression_s *e = as_expression(body);
    if (e->constant != 0.0) return indicator_error("Invalid condition for indicator constraints: must be a variable");
    if (!expression_lin(e) || linmap_size(expression_lin(e)) != 1)
      return indicator_error("Invalid condition for indicator constraints: there must be exactly one variable");
    if (e->quad && quadmap_size(e->quad) > 0)
      return indicator_error("Invalid condition for indicator constraints: it cannot contain a quadratic expression");
    map_cursor cursor = nullptr;
    linmap_next(expression_lin(e), &v, &coef, &cursor);
    linmap_iter_free(&cursor);
  } else {
    return indicator_error("Invalid indicator expression. Must be var==0 or var==1, where var is a binary variable");
  }
  PyObject *found = nullptr;
  if (rowcolmap_get(p->var_index, var_id(v), &found) != 0)
    return indicator_error("Indicator variable has not been added to problem yet");
  if (coef != 1.0) return indicator_error("Indicator variable must have coefficient 1");
  double lb = get_con_lbound(as_constraint(condition)->info), ub = get_con_ubound(as_constraint(condition)->info);
  if (lb == 0.0 && ub == 0.0) {
    *complement = -1;
  } else if (lb == 1.0 && ub == 1.0) {
    *complement = 1;
  } else {
    PyRef name(get_var_name(v->info));
    if (!name) return -1;
    PyErr_Format(korvo_model_error,
                 "Invalid condition for indicator constraints: must be %S == 0 or %S == 1", name.get(), name.get());
    return -1;
  }
  *column = map_index(found);
  return 0;
}

int add_indicator(problem_s *p, PyObject *condition, PyObject *implied) {
  PyObject *body = as_constraint(implied)->body;
  int kind = body ? exprKind(body) : EXPR_CONSTANT;
  if (kind < 0) return indicator_error("Invalid constraint assigned to indicator");
  if (kind == EXPR_NONLINEAR) return indicator_error("Nonlinear indicator constraints are not allowed");
  int column = -1, complement = 0;
  if (indicator_condition(p, condition, &column, &complement) < 0) return -1;
  pending_rows row;
  if (pending_rows_start(p, &row) < 0) return -1;
  int64_t index = row.first_row;
  if (pending_rows_add(p, &row, implied) < 0) {
    pending_rows_discard(p, &row);
    return -1;
  }
  if (flushConstraints(p, &row) != 0) return -1;
  int row_index = int(index);
  if (KRVSsetindicators(p->prob, 1, &row_index, &column, &complement) != 0) {
    setKrvsErrIfNull(self_of(p), nullptr);
    return -1;
  }
  return 0;
}

PyObject *problem_addIndicator(PyObject *self, PyObject *args) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (problem_refuse_while_solving(p, "addIndicator()") < 0) return nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n == 2 && isConstraint(PyTuple_GET_ITEM(args, 0)) && isConstraint(PyTuple_GET_ITEM(args, 1)))
    return add_indicator(p, PyTuple_GET_ITEM(args, 0), PyTuple_GET_ITEM(args, 1)) < 0 ? nullptr : Py_NewRef(Py_None);
  // Every pair is checked before the first one is added.
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *pair = PyTuple_GET_ITEM(args, i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_SetString(korvo_model_error, kIndicatorUsage);
      return nullptr;
    }
    if (!isConstraint(PyTuple_GET_ITEM(pair, 0)) || !isConstraint(PyTuple_GET_ITEM(pair, 1))) {
      PyErr_SetString(korvo_model_error, "Invalid declaration of indicator constraints.");
      return nullptr;
    }
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *pair = PyTuple_GET_ITEM(args, i);
    if (add_indicator(p, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

// ---- selecting by index, range or object --------------------------------------

struct selection_args {
  PyObject *index = nullptr;
  long long first = -1, last = -1;
};

bool parse_selection(PyObject *args, PyObject *kwargs, selection_args *sel) {
  static const char *keywords[] = {"index", "first", "last", nullptr};
  return PyArg_ParseTupleAndKeywords(args, kwargs, "|OLL", const_cast<char **>(keywords), &sel->index, &sel->first,
                                     &sel->last) != 0;
}

int model_error(const char *text) {
  PyErr_SetString(korvo_model_error, text);
  return -1;
}

// first/last checks shared by deletion and lookup; out_of_range is the
// message of each.
int check_range(const selection_args &sel, Py_ssize_t size, const char *out_of_range) {
  if (sel.index && sel.index != Py_None)
    return model_error("Parameters 'first' and 'last' cannot be specified if 'index' is also specified");
  if (sel.first < 0 || sel.last < 0) return model_error("Parameters 'first' and 'last' must be both nonnegative when specified");
  if (sel.first >= size || sel.last >= size) return model_error(out_of_range);
  return 0;
}

// The sorted, distinct positions a deletion selects.
int deletion_positions(problem_s *p, const object_kind &kind, const selection_args &sel, std::vector<int> *out) {
  Py_ssize_t size = PyList_GET_SIZE(p->*kind.list);
  if (sel.first < 0 && sel.last < 0) {
    if (!sel.index || sel.index == Py_None) return model_error("At least one parameter must be specified");
    if (is_integer_value(sel.index) || kind.is_kind(sel.index)) {
      int index = -1;
      if (is_integer_value(sel.index)) {
        long long v = PyLong_AsLongLong(sel.index);
        if (v == -1 && PyErr_Occurred()) return -1;
        if (v < 0) return model_error("Index out of bounds");
        index = v > INT32_MAX ? INT32_MAX : int(v);
      } else if (ObjInt2int(sel.index, p, &index, kind.conv_kind) < 0) {
        return -1;
      }
      out->push_back(index);
    } else {
      int64_t length = -1;
      void *array = nullptr;
      if (conv_obj2arr(p, &length, sel.index, &array, kind.conv_kind) < 0) {
        setKrvsErrIfNull(self_of(p), nullptr);
        return -1;
      }
      KoArray<int> indices;
      indices.adopt(static_cast<int *>(array));
      out->assign(indices.get(), indices.get() + (length > 0 ? length : 0));
    }
  } else {
    if (check_range(sel, size, "Parameters 'first' or 'last' are out of range") < 0) return -1;
    if (sel.last < sel.first) return model_error("Parameter 'first' must be less than, or equal to, 'last'");
    for (long long i = sel.first; i <= sel.last; ++i) out->push_back(int(i));
  }
  for (int index : *out)
    if (index < 0 || index >= size) return model_error("Index out of bounds");
  // Repeated positions are deleted once.
  std::sort(out->begin(), out->end());
  out->erase(std::unique(out->begin(), out->end()), out->end());
  return 0;
}

// Registry side of a deletion: deleted objects leave the map, the others
// move down by the number of deleted positions before them, and the list
// closes up. positions are sorted and distinct.
int registry_remove_positions(problem_s *p, const object_kind &kind, const std::vector<int> &positions) {
  PyObject *list = p->*kind.list;
  rowcolmap *map = p->*kind.map;
  Py_ssize_t size = PyList_GET_SIZE(list);
  PyRef kept(PyList_New(0));
  if (!kept) return -1;
  size_t next_deleted = 0;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject *item = PyList_GET_ITEM(list, i);
    if (next_deleted < positions.size() && positions[next_deleted] == i) {
      ++next_deleted;
      rowcolmap_del(map, kind.identity(item));
      continue;
    }
    if (next_deleted > 0 && rowcolmap_set(map, kind.identity(item), index_value(i - Py_ssize_t(next_deleted))) < 0) {
      PyErr_SetString(korvo_model_error, "Cannot delete item from problem");
      return -1;
    }
    if (PyList_Append(kept.get(), item) < 0) return -1;
  }
  if (PyList_SetSlice(list, 0, size, kept.get()) < 0) return -1;
  // The objective transfer column and row move with the others.
  int *transfer = &kind == &kVariables ? &p->transfer_col : &kind == &kConstraints ? &p->transfer_row : nullptr;
  if (transfer && *transfer >= 0)
    *transfer -= int(std::lower_bound(positions.begin(), positions.end(), *transfer) - positions.begin());
  return 0;
}

const object_kind &kind_of(int which) { return which == 0 ? kVariables : which == 1 ? kConstraints : kSets; }

PyObject *delete_objects(PyObject *self, PyObject *args, PyObject *kwargs, const object_kind &kind) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (problem_refuse_while_solving(p, kind.deleter) < 0) return nullptr;
  selection_args sel;
  if (!parse_selection(args, kwargs, &sel)) return nullptr;
  std::vector<int> positions;
  try {
    if (deletion_positions(p, kind, sel, &positions) < 0) return nullptr;
    if (positions.empty()) Py_RETURN_NONE;
    for (int position : positions)
      if ((&kind == &kVariables && position == p->transfer_col) ||
          (&kind == &kConstraints && position == p->transfer_row)) {
        PyErr_SetString(korvo_model_error,
                        "The objective transfer row and column cannot be deleted; set a new objective instead");
        return nullptr;
      }
    if (kind.engine_delete(p->prob, int(positions.size()), positions.data()) != 0) return krvs_error(self);
    if (registry_remove_positions(p, kind, positions) < 0) return nullptr;
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

struct lookup_context {
  PyObject *list;
  PyObject *result;
};

int visitLookupIndex(problem_s *, PyObject *leaf, void *context) {
  auto *ctx = static_cast<lookup_context *>(context);
  if (!is_integer_value(leaf)) {
    PyErr_SetString(korvo_model_error, "Error in index list(s): must contain only integers");
    return WALK_ERROR;
  }
  Py_ssize_t i = PyNumber_AsSsize_t(leaf, PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) return WALK_ERROR;
  PyObject *item = PyList_GetItem(ctx->list, i);
  if (!item || PyList_Append(ctx->result, item) < 0) return WALK_ERROR;
  return WALK_CONTINUE;
}

PyObject *lookup_objects(PyObject *self, PyObject *args, PyObject *kwargs, const object_kind &kind) {
  auto *p = reinterpret_cast<problem_s *>(self);
  selection_args sel;
  if (!parse_selection(args, kwargs, &sel)) return nullptr;
  PyObject *list = p->*kind.list;
  Py_ssize_t size = PyList_GET_SIZE(list);
  bool has_index = sel.index && sel.index != Py_None;
  if (sel.first < 0 && sel.last < 0) {
    if (!has_index) return PyList_GetSlice(list, 0, size);
    if (is_integer_value(sel.index)) {
      Py_ssize_t i = PyNumber_AsSsize_t(sel.index, PyExc_IndexError);
      if (i == -1 && PyErr_Occurred()) return nullptr;
      return Py_XNewRef(PyList_GetItem(list, i));
    }
    PyRef result(PyList_New(0));
    if (!result) return nullptr;
    lookup_context ctx{list, result.get()};
    if (walkLeaves(p, sel.index, visitLookupIndex, &ctx, WALK_BUDGET) == WALK_ERROR) return nullptr;
    return result.release();
  }
  if (check_range(sel, size, "Parameters 'first' and 'last' are out of range") < 0) return nullptr;
  if (sel.last < sel.first) return PyList_New(0);
  return PyList_GetSlice(list, Py_ssize_t(sel.first), Py_ssize_t(sel.last) + 1);
}

PyObject *problem_delVariable(PyObject *self, PyObject *args, PyObject *kwargs) {
  return delete_objects(self, args, kwargs, kVariables);
}
PyObject *problem_delConstraint(PyObject *self, PyObject *args, PyObject *kwargs) {
  return delete_objects(self, args, kwargs, kConstraints);
}
PyObject *problem_delSOS(PyObject *self, PyObject *args, PyObject *kwargs) {
  return delete_objects(self, args, kwargs, kSets);
}
PyObject *problem_getVariable(PyObject *self, PyObject *args, PyObject *kwargs) {
  return lookup_objects(self, args, kwargs, kVariables);
}
PyObject *problem_getConstraint(PyObject *self, PyObject *args, PyObject *kwargs) {
  return lookup_objects(self, args, kwargs, kConstraints);
}
PyObject *problem_getSOS(PyObject *self, PyObject *args, PyObject *kwargs) {
  return lookup_objects(self, args, kwargs, kSets);
}

PyObject *problem_getIndex(PyObject *self, PyObject *obj) {
  auto *p = reinterpret_cast<problem_s *>(self);
  for (const object_kind *kind : {&kVariables, &kConstraints, &kSets}) {
    if (!kind->is_kind(obj)) continue;
    PyObject *found = nullptr;
    if (rowcolmap_get(p->*kind->map, kind->identity(obj), &found) == 0) return PyLong_FromLong(map_index(found));
    break;
  }
  PyErr_SetString(korvo_model_error, "Incorrect object(s) passed: need variable, constraint, or SOS");
  return nullptr;
}

PyObject *problem_getIndexFromName(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *const keywords[] = {"type", "name", nullptr};
  static const char *const legacy[] = {"type", "name", nullptr};
  int type = 0;
  const char *name = nullptr;
  if (!ko_ParseTupleAndKeywords(args, kwargs, "is", keywords, legacy, &type, &name)) return nullptr;
  int index = -1;
  if (KRVSgetindex(reinterpret_cast<problem_s *>(self)->prob, type, name, &index) != 0) return krvs_error(self);
  return PyLong_FromLong(index);
}

#define REGISTRY_METHOD(name, fn, flags, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), flags, doc}
#define SELECTION_ARGS                                                                                      \
  KORVO_ARGS("index: an index, an object of the problem, or a list/array of them;\n  first, last: an "      \
             "inclusive range of indices instead of index.")

PyMethodDef registry_methods[] = {
    REGISTRY_METHOD("addVariable", problem_addVariable, METH_VARARGS,
                    KORVO_DOC("Adds variables to the problem as new columns.", "p.addVariable(*variables)",
                              KORVO_ARGS("variables: variables, or lists, tuples, dicts, generators or NumPy arrays "
                                         "of them."),
                              "p.addVariable(x, y, [z1, z2])", "A variable can be added to a problem only once.")),
    REGISTRY_METHOD("addSOS", problem_addSOS, METH_VARARGS,
                    KORVO_DOC("Adds special ordered sets to the problem.", "p.addSOS(*sets)",
                              KORVO_ARGS("sets: korvo.sos objects, or containers of them."),
                              "p.addSOS(korvo.sos([x, y, z], [1, 2, 3], type=2))",
                              "The sets' variables must already be in the problem.")),
    REGISTRY_METHOD("addIndicator", problem_addIndicator, METH_VARARGS,
                    KORVO_DOC("Adds indicator constraints: a constraint that must hold when a binary variable is 0 "
                              "or 1.",
                              "p.addIndicator(condition, constraint) or p.addIndicator((condition, constraint), ...)",
                              KORVO_ARGS("condition: var == 0 or var == 1 for a variable of the problem;\n  "
                                         "constraint: a linear or quadratic constraint."),
                              "p.addIndicator(z == 1, 2*x + 4*y <= 4)", "The constraint becomes a row of the problem.")),
    REGISTRY_METHOD("delVariable", problem_delVariable, METH_VARARGS | METH_KEYWORDS,
                    KORVO_DOC("Deletes variables (columns) from the problem.",
                              "p.delVariable(index=None, first=-1, last=-1)", SELECTION_ARGS, "p.delVariable([x, y])",
                              "Later columns move down.")),
    REGISTRY_METHOD("delConstraint", problem_delConstraint, METH_VARARGS | METH_KEYWORDS,
                    KORVO_DOC("Deletes constraints (rows) from the problem.",
                              "p.delConstraint(index=None, first=-1, last=-1)", SELECTION_ARGS,
                              "p.delConstraint(first=0, last=2)", "Later rows move down.")),
    REGISTRY_METHOD("delSOS", problem_delSOS, METH_VARARGS | METH_KEYWORDS,
                    KORVO_DOC("Deletes special ordered sets from the problem.",
                              "p.delSOS(index=None, first=-1, last=-1)", SELECTION_ARGS, "p.delSOS(0)",
                              "Later sets move down.")),
    REGISTRY_METHOD("getVariable", problem_getVariable, METH_VARARGS | METH_KEYWORDS,
                    KORVO_DOC("Returns the problem's variables: all, one by index, or a selection.",
                              "p.getVariable(index=None, first=-1, last=-1)", SELECTION_ARGS,
                              "x0 = p.getVariable(0)", "Without arguments, a list of all variables in column order.")),
    REGISTRY_METHOD("getConstraint", problem_getConstraint, METH_VARARGS | METH_KEYWORDS,
                    KORVO_DOC("Returns the problem's constraints: all, one by index, or a selection.",
                              "p.getConstraint(index=None, first=-1, last=-1)", SELECTION_ARGS,
                              "rows = p.getConstraint(first=0, last=4)", "Constraints are in row order.")),
    REGISTRY_METHOD("getSOS", problem_getSOS, METH_VARARGS | METH_KEYWORDS,
                    KORVO_DOC("Returns the problem's special ordered sets: all, one by index, or a selection.",
                              "p.getSOS(index=None, first=-1, last=-1)", SELECTION_ARGS, "s = p.getSOS(0)",
                              "Sets are in the library's order.")),
    REGISTRY_METHOD("getIndex", problem_getIndex, METH_O,
                    KORVO_DOC("Returns the library index of a variable, constraint or SOS of the problem.",
                              "i = p.getIndex(obj)", KORVO_ARG("obj: a variable, constraint or SOS of the problem."),
                              "col = p.getIndex(x)", "Indices count from 0.")),
    REGISTRY_METHOD("getIndexFromName", problem_getIndexFromName, METH_VARARGS | METH_KEYWORDS,
                    KORVO_DOC("Returns the index of a row or column given its name.",
                              "i = p.getIndexFromName(type, name)",
                              KORVO_ARGS("type: 1 for rows, 2 for columns;\n  name: the name."),
                              "p.getIndexFromName(2, 'x')", "An unknown name raises korvo.SolverError.")),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef *problem_registry_method_table(void) { return registry_methods; }

int registry_append(problem_s *p, int which, PyObject *obj, int64_t index) {
  const object_kind &kind = kind_of(which);
  if (PyList_Append(p->*kind.list, obj) < 0) return -1;
  if (rowcolmap_set(p->*kind.map, kind.identity(obj), index_value(index)) < 0) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

int registry_remove(problem_s *p, int which, int position) {
  try {
    return registry_remove_positions(p, kind_of(which), std::vector<int>{position});
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return -1;
  }
}
