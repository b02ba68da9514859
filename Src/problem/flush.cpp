// The pending-row buffer and its flush to the engine; addConstraint.
#include "problem/flush.h"

#include <cstring>
#include <initializer_list>
#include <utility>

#include "api/errors.h"
#include "constraint/constraint.h"
#include "knls.h"
#include "problem/change_journal.h"
#include "krvs.h"
#include "maps/maps.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "problem/walk.h"
#include "python_model/allocator.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int kRowsAttrib = 1124;
constexpr uint64_t kFirstCapacity = 2048;

struct array_ref {
  void **array;
  size_t element_size;
};

template <class T>
array_ref ref(T **array) {
  return {reinterpret_cast<void **>(array), sizeof(T)};
}

// Grows a group of parallel arrays when need reaches the capacity: from 0
// to 2048, then doubling until the capacity exceeds need. False when an
// allocation fails (arrays already grown keep their new size; the
// capacity stays, which is safe since it only ever covers every array).
bool grow_group(uint64_t *capacity, uint64_t need, std::initializer_list<array_ref> arrays) {
  if (need < *capacity) return true;
  uint64_t grown = *capacity ? *capacity : kFirstCapacity;
  while (grown <= need) grown *= 2;
  for (const array_ref &a : arrays) {
    void *block = *a.array;
    int rc = block ? ko_MemoryAllocator_Realloc_Untyped(ko_MemoryAllocator_DefaultHeap, &block, grown * a.element_size)
                   : ko_MemoryAllocator_Alloc_Untyped(ko_MemoryAllocator_DefaultHeap, grown * a.element_size, &block);
    if (rc != 0) return false;
    *a.array = block;
  }
  *capacity = grown;
  return true;
}

void free_buffer(pending_rows *b) {
  for (void **block : {reinterpret_cast<void **>(&b->row_starts), reinterpret_cast<void **>(&b->quad_counts),
                       reinterpret_cast<void **>(&b->nl_rows), reinterpret_cast<void **>(&b->rhs),
                       reinterpret_cast<void **>(&b->ranges), reinterpret_cast<void **>(&b->names),
                       reinterpret_cast<void **>(&b->name_numbers), reinterpret_cast<void **>(&b->row_types)})
    ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, block);
  conv_target_free(&b->entries);
  int64_t first_row = b->first_row;
  Py_ssize_t committed = b->committed;
  std::memset(static_cast<void *>(b), 0, sizeof *b);
  b->first_row = first_row;
  b->committed = committed;
}

// Takes the constraints appended since the last flush out of the registry.
void roll_back(problem_s *p, pending_rows *b) {
  Py_ssize_t n = PyList_GET_SIZE(p->constraints);
  for (Py_ssize_t i = b->committed; i < n; ++i)
    rowcolmap_del(p->con_index, con_id(as_constraint(PyList_GET_ITEM(p->constraints, i))->info));
  if (n > b->committed) PyList_SetSlice(p->constraints, b->committed, n, nullptr);
}

// Whether every group already has room for one more row of the given size
// (the test grow_group makes first), so the common row skips the growth calls.
bool has_room(const pending_rows *b, uint64_t name_length, const conv_counts &c) {
  const conv_target &e = b->entries;
  return uint64_t(b->row_count) + 1 < b->row_capacity && b->name_bytes + name_length + 1 < b->name_capacity &&
         e.linear_count + c.linear + 1 < e.linear_capacity && e.quad_count + c.quad + 1 < e.quad_capacity &&
         e.formula_count + c.formulas + 2 < e.formula_capacity && e.token_count + c.tokens + 1 < e.token_capacity;
}

// Linear entries reserved up front at most (the first row's size times the
// expected rows can overshoot when rows differ in length).
constexpr uint64_t kMaxHintedEntries = uint64_t(1) << 24;

// At the first growth of a call expected to add many rows: room for all of
// them (and for as many entries as the first row's size suggests), so that
// the arrays are not copied at every doubling. Best effort: whatever cannot
// be had is left to the regular growth.
void reserve_expected(problem_s *p, pending_rows *b, uint64_t name_length, const conv_counts &c) {
  uint64_t rows = b->row_hint;
  b->row_hint = 0;
  if (rows <= kFirstCapacity) return;
  // The registry's table too: it would otherwise double (and move every
  // entry) about log2(rows) times.
  rowcolmap_reserve(p->con_index, size_t(rows));
  conv_target &e = b->entries;
  uint64_t entries = c.linear * rows;
  if (c.linear != 0 && entries / c.linear != rows) entries = kMaxHintedEntries;
  if (entries > kMaxHintedEntries) entries = kMaxHintedEntries;
  if (!grow_group(&b->row_capacity, rows,
                  {ref(&b->rhs), ref(&b->ranges), ref(&b->row_types), ref(&b->row_starts), ref(&b->quad_counts),
                   ref(&b->name_numbers)}) ||
      !grow_group(&b->name_capacity, rows * (name_length + 1), {ref(&b->names)}))
    return;
  if (entries > kFirstCapacity)
    grow_group(&e.linear_capacity, entries, {ref(&e.linear_cols), ref(&e.linear_vals)});
}

// Room for one more row of the given size in every group.
bool make_room(problem_s *p, pending_rows *b, uint64_t name_length, const conv_counts &c) {
  if (has_room(b, name_length, c)) return true;
  if (b->row_hint) reserve_expected(p, b, name_length, c);
  if (has_room(b, name_length, c)) return true;
  conv_target &e = b->entries;
  bool first_formula = e.formula_starts == nullptr;
  bool ok = grow_group(&b->row_capacity, uint64_t(b->row_count) + 1,
                       {ref(&b->rhs), ref(&b->ranges), ref(&b->row_types), ref(&b->row_starts), ref(&b->quad_counts),
                   ref(&b->name_numbers)}) &&
            grow_group(&b->name_capacity, b->name_bytes + name_length + 1, {ref(&b->names)}) &&
            grow_group(&e.linear_capacity, e.linear_count + c.linear + 1, {ref(&e.linear_cols), ref(&e.linear_vals)}) &&
            grow_group(&e.quad_capacity, e.quad_count + c.quad + 1,
                       {ref(&e.quad_col1), ref(&e.quad_col2), ref(&e.quad_vals)}) &&
            grow_group(&e.formula_capacity, e.formula_count + c.formulas + 2,
                       {ref(&b->nl_rows), ref(&e.formula_cols), ref(&e.formula_starts), ref(&e.formula_factors)}) &&
            grow_group(&e.token_capacity, e.token_count + c.tokens + 1, {ref(&e.token_types), ref(&e.token_vals)});
  if (first_formula && e.formula_starts) e.formula_starts[0] = 0;
  return ok;
}

int check_constraint(problem_s *p, PyObject *obj) {
  if (!isConstraint(obj)) {
    PyErr_SetString(korvo_model_error, "Invalid constraint");
    return -1;
  }
  if (!as_constraint(obj)->body) {
    PyErr_SetString(korvo_model_error, "Stale expression link, cannot add constraint");
    return -1;
  }
  if (rowcolmap_has(p->con_index, con_id(as_constraint(obj)->info))) {
    PyErr_SetString(korvo_model_error, "Constraint already added to problem");
    return -1;
  }
  return 0;
}

int visitConstraintLeaf(problem_s *p, PyObject *leaf, void *context) {
  return pending_rows_add(p, static_cast<pending_rows *>(context), leaf) < 0 ? WALK_ERROR : WALK_CONTINUE;
}

PyObject *problem_addConstraint(PyObject *self, PyObject *args) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (problem_refuse_while_solving(p, "addConstraint()") < 0) return nullptr;
  pending_rows buffer;
  std::memset(static_cast<void *>(&buffer), 0, sizeof buffer);
  if (pending_rows_start(p, &buffer) < 0) return nullptr;
  buffer.row_hint = expected_leaves(args);
  if (walkLeaves(p, args, visitConstraintLeaf, &buffer, WALK_BUDGET) == WALK_ERROR) {
    pending_rows_discard(p, &buffer);
    return nullptr;
  }
  if (flushConstraints(p, &buffer) != 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef flush_methods[] = {
    {"addConstraint", problem_addConstraint, METH_VARARGS,
     KORVO_DOC("Adds constraints to the problem.", "p.addConstraint(*constraints)",
               KORVO_ARGS("constraints: constraints, or lists, tuples, dicts, generators or NumPy arrays of them."),
               "p.addConstraint(x + y <= 4, [x - y >= -1, 2*x + 3*y == 6])",
               "All constraints of one call reach the library in one batch; they are in the problem when the "
               "call returns.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void getRhsSense(PyObject *constraint, char *row_type, double *rhs, double *range) {
  uint64_t info = as_constraint(constraint)->info;
  double lb = get_con_lbound(info), ub = get_con_ubound(info);
  bool has_lb = lb > -KRV_INFINITY;  // false for NaN
  bool has_ub = ub < KRV_INFINITY;   // false for NaN
  if (has_lb && !has_ub) {
    *row_type = 'G';
    *rhs += lb;
  } else if (has_lb && ub == lb) {
    *row_type = 'E';
    *rhs += lb;
  } else if (has_lb) {
    *row_type = 'R';
    *rhs += ub;
    *range = ub - lb;
  } else if (!has_ub) {
    *row_type = 'N';
  } else {
    *row_type = 'L';
    *rhs += ub;
  }
}

int pending_rows_start(problem_s *p, pending_rows *b) {
  std::memset(static_cast<void *>(b), 0, sizeof *b);
  if (KRVSgetintattrib64(p->prob, kRowsAttrib, &b->first_row) != 0) {
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    return -1;
  }
  b->committed = PyList_GET_SIZE(p->constraints);
  return 0;
}

int pending_rows_add(problem_s *p, pending_rows *b, PyObject *constraint) {
  if (check_constraint(p, constraint) < 0) return -1;
  uint64_t info = as_constraint(constraint)->info;
  // Bounds set after construction may cross; the engine has no such row
  // (it would take the gap as a range), so refuse as the constructor does.
  if (get_con_lbound(info) > get_con_ubound(info) + 1e-6) {
    PyErr_Format(korvo_model_error, "Constraint %S defined infeasible: lower bound > upper bound", constraint);
    return -1;
  }
  // A default name ("R<id>") reaches the engine as the identity alone.
  PyRef name;
  Py_ssize_t name_length = 0;
  const char *name_text = "";
  uint64_t name_number = con_id(info);
  if (info & CON_NAME_STORED) {
    name.reset(get_con_name(info));
    if (!name) return -1;
    if (PyUnicode_Check(name.get()) && PyUnicode_GET_LENGTH(name.get()) > KORVO_MAX_NAME_LENGTH)
      name.reset(PyUnicode_Substring(name.get(), 0, KORVO_MAX_NAME_LENGTH));
    if (!name) return -1;
    name_text = PyUnicode_AsUTF8AndSize(name.get(), &name_length);
    if (!name_text) return -1;
    if (strlen(name_text) != size_t(name_length)) {
      // The library takes names as one zero-separated buffer.
      PyErr_SetString(korvo_model_error, "Names cannot contain a zero character");
      return -1;
    }
    name_number = kNamedRow;
  }
  PyObject *body = as_constraint(constraint)->body;
  conv_counts counts;
  if (convertExpr_count(p, body, &counts) < 0) return -1;
  while (!make_room(p, b, uint64_t(name_length), counts)) {
    if (b->row_count == 0) {
      PyErr_NoMemory();
      return -1;
    }
    // Out of memory in mid-batch: pass what is pending and go on with an empty buffer.
    if (flushConstraints(p, b) != 0) return -1;
  }
  // Appended only now: a flush above must not take this constraint as passed.
  if (PyList_Append(p->constraints, constraint) < 0) return -1;
  conv_target &e = b->entries;
  uint64_t linear_before = e.linear_count, quad_before = e.quad_count, formulas_before = e.formula_count;
  e.constant = 0.0;
  if (convertExpr(p, body, &e, false) < 0) return -1;
  int64_t row = b->first_row + b->row_count;
  for (uint64_t k = formulas_before; k < e.formula_count; ++k) b->nl_rows[k] = int(row);
  double rhs = -e.constant, range = 0.0;
  char row_type = 'N';
  getRhsSense(constraint, &row_type, &rhs, &range);
  int i = b->row_count;
  b->rhs[i] = rhs;
  if (row_type == 'R') b->ranges[i] = range;
  b->row_types[i] = row_type;
  if (i == 0) b->row_starts[0] = 0;
  b->row_starts[i + 1] = b->row_starts[i] + int64_t(e.linear_count - linear_before);
  // Purely linear batches leave quad_counts alone.
  int64_t quad_terms = int64_t(e.quad_count - quad_before);
  if (quad_terms > 0 && b->quad_rows_from == 0) b->quad_rows_from = i + 1;
  if (b->quad_rows_from > 0) b->quad_counts[i] = quad_terms;
  std::memcpy(b->names + b->name_bytes, name_text, size_t(name_length) + 1);
  b->name_bytes += uint64_t(name_length) + 1;
  b->name_numbers[i] = name_number;
  b->any_named |= name_number == kNamedRow;
  if (rowcolmap_set(p->con_index, con_id(as_constraint(constraint)->info),
                    reinterpret_cast<PyObject *>(intptr_t(row))) < 0) {
    e.linear_count = linear_before;
    e.quad_count = quad_before;
    e.formula_count = formulas_before;
    b->name_bytes -= uint64_t(name_length) + 1;
    PyErr_SetString(korvo_model_error, "Cannot add constraint to problem");
    return -1;
  }
  ++b->row_count;
  return 0;
}

int flushConstraints(problem_s *p, pending_rows *b) {
  struct Emptied {
    pending_rows *b;
    ~Emptied() { free_buffer(b); }
  } emptied{b};
  if (b->row_count == 0) return 0;
  conv_target &e = b->entries;
  int first = int(b->first_row);
  int rc = KRVSaddrows64(p->prob, b->row_count, int64_t(e.linear_count), b->row_types, b->rhs, b->ranges,
                         b->row_starts, e.linear_cols, e.linear_vals);
  if (rc != 0) {
    // Nothing reached the engine: the registry forgets these rows too.
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    roll_back(p, b);
    return rc;
  }
  // From here on the rows are in the engine and stay in the registry.
  b->first_row += b->row_count;
  b->committed = PyList_GET_SIZE(p->constraints);
  int last = first + b->row_count - 1;
  if (b->any_named) rc = KRVSaddnames(p->prob, 1, b->names, first, last);
  if (rc == 0) rc = KRVSaddnumberednames(p->prob, 1, b->name_numbers, first, last);
  if (rc == 0 && e.quad_count > 0) {
    uint64_t offset = 0;
    for (int i = b->quad_rows_from - 1; i < b->row_count && rc == 0; ++i) {
      int64_t q = b->quad_counts[i];
      if (q == 0) continue;
      rc = KRVSaddqmatrix64(p->prob, first + i, q, e.quad_col1 + offset, e.quad_col2 + offset, e.quad_vals + offset);
      offset += uint64_t(q);
    }
  }
  if (rc == 0 && e.formula_count > 0) {
    rc = KNLSaddcoefs(p->nlprob, int(e.formula_count), b->nl_rows, e.formula_cols, e.formula_factors,
                      e.formula_starts, 1, e.token_types, e.token_vals);
    if (rc == 0) ++p->nl_coef_count;
  }
  if (rc != 0) setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
  return rc;
}

void pending_rows_discard(problem_s *p, pending_rows *b) {
  roll_back(p, b);
  free_buffer(b);
}

PyMethodDef *problem_flush_method_table(void) { return flush_methods; }
