// Problem methods that add rows and columns from arrays, replace the whole
// model (loadproblem) and name sets. Rows and columns they create get new
// korvo.constraint / korvo.var objects in the problem's registry.
//
// Every method checks all of its input first, then changes the engine, and
// registers the new objects only once the engine has taken the change: a
// refused call leaves the engine's model and the registry as they were.
#include <Python.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "api/conversion.h"
#include "api/errors.h"
#include "api/wrapper_table.h"
#include "constraint/constraint.h"
#include "constraint/sos.h"
#include "knls.h"
#include "krvs.h"
#include "maps/maps.h"
#include "problem/change_journal.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/allocator.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

constexpr int kRowsAttrib = 1124, kColsAttrib = 1214, kSetsAttrib = 1194;
constexpr Py_ssize_t kMaxEngineName = 150;
constexpr char kColumnTypes[] = "CBISRP";  // in the order of the variable type codes

PyObject *self_of(problem_s *p) { return reinterpret_cast<PyObject *>(p); }

int engine_failed(problem_s *p) {
  setKrvsErrIfNull(self_of(p), nullptr);
  return -1;
}

int64_t int_attrib(problem_s *p, int id) {
  int64_t value = 0;
  if (KRVSgetintattrib64(p->prob, id, &value) != 0) return engine_failed(p);
  return value;
}

int mismatch(int64_t expected, int64_t found) {
  PyErr_Format(korvo_model_error, "Mismatched lengths in arguments: expected %lld, found %lld", (long long)expected,
               (long long)found);
  return -1;
}

// Starts of n vectors (n + 1 entries, or n with lengths): non-negative,
// non-decreasing, and within the nz coefficients given.
int check_starts(const int64_t *start, const int *length, int64_t n, int64_t nz, const char *what) {
  if (length) {
    for (int64_t k = 0; k < n; ++k)
      if (start[k] < 0 || length[k] < 0 || start[k] + length[k] > nz) {
        PyErr_Format(korvo_model_error, "Entry %lld of %s and its length reach beyond the %lld coefficients given",
                     (long long)k, what, (long long)nz);
        return -1;
      }
    return 0;
  }
  if (n >= 0 && start[0] < 0) {
    PyErr_Format(korvo_model_error, "Negative first entry of %s", what);
    return -1;
  }
  for (int64_t k = 0; k < n; ++k)
    if (start[k + 1] < start[k]) {
      PyErr_Format(korvo_model_error, "Entries of %s must not decrease (entry %lld)", what, (long long)k + 1);
      return -1;
    }
  if (start[n] != nz) {
    PyErr_Format(korvo_model_error, "The last entry of %s (%lld) must be the number of coefficients given (%lld)",
                 what, (long long)start[n], (long long)nz);
    return -1;
  }
  return 0;
}

// A list of names: each a str (cut to the engine's length) packed with its
// terminating zero into one buffer.
int pack_names(PyObject *names, int64_t n, bool exact, const char *length_message, const char *item_message,
               std::string *packed, std::vector<PyObject *> *items) {
  if (!PyList_Check(names) && !PyTuple_Check(names)) {
    PyErr_SetString(korvo_model_error, length_message);
    return -1;
  }
  Py_ssize_t size = PySequence_Fast_GET_SIZE(names);
  if (exact ? size != n : size < n) {
    PyErr_SetString(korvo_model_error, length_message);
    return -1;
  }
  PyObject **item = PySequence_Fast_ITEMS(names);
  items->reserve(size_t(n));
  for (int64_t i = 0; i < n; ++i) {
    PyObject *name = item[i];
    if (!PyUnicode_Check(name)) {
      PyErr_Format(korvo_model_error, item_message, int(i));
      return -1;
    }
    Py_ssize_t length = 0;
    const char *text = PyUnicode_AsUTF8AndSize(name, &length);
    if (!text) return -1;
    if (strlen(text) != size_t(length)) {
      PyErr_SetString(korvo_model_error, "Names cannot contain a zero character");
      return -1;
    }
    if (PyUnicode_GetLength(name) > kMaxEngineName) {
      PyRef cut(PyUnicode_Substring(name, 0, kMaxEngineName));
      if (!cut) return -1;
      const char *cut_text = PyUnicode_AsUTF8(cut.get());
      if (!cut_text) return -1;
      packed->append(cut_text, strlen(cut_text) + 1);
    } else {
      packed->append(text, size_t(length) + 1);
    }
    items->push_back(name);
  }
  return 0;
}

// ---- new modelling objects and their registration --------------------------

uint64_t identity_of(int which, PyObject *o) {
  return which == 0 ? var_id(as_var(o)) : which == 1 ? con_id(as_constraint(o)->info)
                                                     : uint64_t(reinterpret_cast<sos_s *>(o)->id);
}
PyObject *problem_s::*list_of(int which) {
  return which == 0 ? &problem_s::variables : which == 1 ? &problem_s::constraints : &problem_s::sets;
}
rowcolmap *problem_s::*map_of(int which) {
  return which == 0 ? &problem_s::var_index : which == 1 ? &problem_s::con_index : &problem_s::sos_index;
}

// Appends objects to the registry at indices first, first + 1, ...; on a
// failure the objects appended so far are taken out again.
int register_objects(problem_s *p, int which, const std::vector<PyRef> &objects, int64_t first) {
  PyObject *list = p->*list_of(which);
  rowcolmap *map = p->*map_of(which);
  Py_ssize_t before = PyList_GET_SIZE(list);
  if (rowcolmap_reserve(map, rowcolmap_size(map) + objects.size()) < 0) {
    PyErr_NoMemory();
    return -1;
  }
  size_t done = 0;
  for (; done < objects.size(); ++done) {
    PyObject *o = objects[done].get();
    if (PyList_Append(list, o) < 0) break;
    if (rowcolmap_set(map, identity_of(which, o), reinterpret_cast<PyObject *>(intptr_t(first + int64_t(done)))) < 0) {
      PyList_SetSlice(list, PyList_GET_SIZE(list) - 1, PyList_GET_SIZE(list), nullptr);
      PyErr_SetString(korvo_interface_error, which == 0 ? "Could not amend variable map"
                                                        : "Internal error -- Could not amend constraint map");
      break;
    }
  }
  if (done == objects.size()) return 0;
  for (size_t k = 0; k < done; ++k) rowcolmap_del(map, identity_of(which, objects[k].get()));
  PyList_SetSlice(list, before, PyList_GET_SIZE(list), nullptr);
  return -1;
}

// n constraints, named from the packed names when given, with the bounds
// their rows have (types, right-hand sides and ranges may be null), so that
// the objects describe their rows.
int make_constraints(int64_t n, const std::vector<PyObject *> &names, const char *types, const double *rhs,
                     const double *range, std::vector<PyRef> *out) {
  out->reserve(size_t(n));
  for (int64_t i = 0; i < n; ++i) {
    PyRef c(constraint_base());
    if (!c) return -1;
    uint64_t *info = &as_constraint(c.get())->info;
    if (!names.empty() && set_con_name(info, names[size_t(i)]) < 0) return -1;
    const double b = rhs ? rhs[i] : 0.0;
    int rc = 0;
    switch (types ? types[i] : 'N') {
      case 'E': rc = set_con_lbound(info, b) < 0 || set_con_ubound(info, b) < 0 ? -1 : 0; break;
      case 'L': rc = set_con_ubound(info, b); break;
      case 'G': rc = set_con_lbound(info, b); break;
      case 'R': {
        const double r = range ? (range[i] < 0 ? -range[i] : range[i]) : 0.0;
        rc = set_con_lbound(info, b - r) < 0 || set_con_ubound(info, b) < 0 ? -1 : 0;
        break;
      }
      default: break;
    }
    if (rc < 0) return -1;
    out->push_back(std::move(c));
  }
  return 0;
}

// What a new column's variable object carries.
struct column_traits {
  const double *lb = nullptr, *ub = nullptr;
  const char *types = nullptr;      // per column, or null (all continuous)
  const double *limits = nullptr;   // per column (with types), or null
};

int make_variables(int64_t n, const std::vector<PyObject *> &names, const column_traits &t, std::vector<PyRef> *out) {
  out->reserve(size_t(n));
  for (int64_t j = 0; j < n; ++j) {
    PyRef v(var_base());
    if (!v) return -1;
    uint64_t *info = &as_var(v.get())->info;
    if (!names.empty() && set_var_name(info, names[size_t(j)]) < 0) return -1;
    if (t.lb && t.lb[j] != 0.0 && set_var_lbound(info, t.lb[j]) < 0) return -1;
    if (t.ub && t.ub[j] < KRV_INFINITY && set_var_ubound(info, t.ub[j]) < 0) return -1;
    if (t.types && t.types[j] != 'C') {
      set_var_type(info, strchr(kColumnTypes, t.types[j]) - kColumnTypes);
      if (t.limits && t.limits[j] > -KRV_INFINITY && set_var_thold(info, t.limits[j]) < 0) return -1;
    }
    out->push_back(std::move(v));
  }
  return 0;
}

// Column types given as a list of one-character strings (exactly n).
int read_types(PyObject *types, int64_t n, std::vector<char> *out) {
  if (!PyList_Check(types) && !PyTuple_Check(types)) {
    PyErr_SetString(korvo_model_error, "Incorrect length of variable type list");
    return -1;
  }
  if (PySequence_Fast_GET_SIZE(types) != n) {
    PyErr_SetString(korvo_model_error, "Incorrect length of variable type list");
    return -1;
  }
  PyObject **item = PySequence_Fast_ITEMS(types);
  out->resize(size_t(n));
  for (int64_t j = 0; j < n; ++j) {
    if (!PyUnicode_Check(item[j]) || PyUnicode_GetLength(item[j]) != 1) {
      PyErr_Format(korvo_model_error, "Cannot get variable type with index %d", int(j));
      return -1;
    }
    Py_UCS4 letter = PyUnicode_ReadChar(item[j], 0);
    if (letter > 127 || !letter || !strchr(kColumnTypes, char(letter))) {
      PyErr_SetString(korvo_model_error, "Incorrect variable type");
      return -1;
    }
    (*out)[size_t(j)] = char(letter);
  }
  return 0;
}

// Names for the engine: the given ones, or the objects' default names
// ("R<id>", "C<id>"), which the engine keeps as numbers.
int pass_names(problem_s *p, int type, const std::string &packed, const std::vector<PyRef> &objects, int64_t first) {
  if (objects.empty()) return 0;
  int last = int(first + int64_t(objects.size()) - 1);
  if (!packed.empty()) return KRVSaddnames(p->prob, type, packed.data(), int(first), last);
  std::vector<uint64_t> numbers(objects.size());
  for (size_t k = 0; k < objects.size(); ++k) numbers[k] = identity_of(type == 1 ? 1 : 0, objects[k].get());
  return KRVSaddnumberednames(p->prob, type, numbers.data(), int(first), last);
}

// Removes rows or columns first..first+n-1 again after a later step failed.
void undo_append(problem_s *p, int type, int64_t first, int64_t n) {
  std::vector<int> indices(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) indices[size_t(k)] = int(first + k);
  PyObject *type_, *value, *trace;
  PyErr_Fetch(&type_, &value, &trace);
  if (type == 1)
    KRVSdelrows(p->prob, int(n), indices.data());
  else
    KRVSdelcols(p->prob, int(n), indices.data());
  PyErr_Restore(type_, value, trace);
}

// ---- addrows ------------------------------------------------------------------
// Arguments: 0 rowtype, 1 rhs, 2 start, 3 colind, 4 rowcoef, 5 range, 6 names.
// Slots: 0 rows, 1 starts, 2 coefficients.

struct add_state {
  std::string packed;
  std::vector<PyObject *> names;
  std::vector<char> types;
  std::vector<PyRef> objects;
};

int addrows_prepare(wrap_call &c) {
  int64_t n = c.slots[0];
  if (n <= 0) {
    PyErr_SetString(korvo_model_error, "No rows to add: rowtype is empty");
    return -1;
  }
  if (n > INT_MAX) return mismatch(INT_MAX, n);
  if (c.slots[1] != n + 1) return mismatch(n + 1, c.slots[1]);
  int64_t nz = c.slots[2] < 0 ? 0 : c.slots[2];
  return check_starts(c.array<int64_t>(2), nullptr, n, nz, "start");
}

int addrows_call(wrap_call &c) {
  problem_s *p = c.p;
  const int64_t n = c.slots[0], nz = c.slots[2] < 0 ? 0 : c.slots[2];
  add_state s;
  if (c.given(6) && pack_names(c.objects[6], n, false, "Names must be a list of at least as many strings as rows",
                               "Erroneous name for constraint %d", &s.packed, &s.names) < 0)
    return -1;
  if (make_constraints(n, s.names, c.array<char>(0), c.array<double>(1), c.array<double>(5), &s.objects) < 0)
    return -1;
  int64_t r0 = int_attrib(p, kRowsAttrib);
  if (r0 < 0) return -1;
  if (KRVSaddrows64(p->prob, int(n), nz, c.array<char>(0), c.array<double>(1), c.array<double>(5), c.array<int64_t>(2),
                    c.array<int>(3), c.array<double>(4)) != 0)
    return engine_failed(p);
  if (pass_names(p, 1, s.packed, s.objects, r0) != 0) {
    engine_failed(p);
    undo_append(p, 1, r0, n);
    return -1;
  }
  if (register_objects(p, 1, s.objects, r0) < 0) {
    undo_append(p, 1, r0, n);
    return -1;
  }
  return 0;
}

// ---- addcols ------------------------------------------------------------------
// Arguments: 0 objcoef, 1 start, 2 rowind, 3 rowcoef, 4 lb, 5 ub, 6 names, 7 types.

int addcols_prepare(wrap_call &c) {
  int64_t n = c.slots[0];
  if (n <= 0) {
    PyErr_SetString(korvo_model_error, "No columns to add: objcoef is empty");
    return -1;
  }
  if (n > INT_MAX) return mismatch(INT_MAX, n);
  if (c.slots[1] != n + 1) return mismatch(n + 1, c.slots[1]);
  int64_t nz = c.slots[2] < 0 ? 0 : c.slots[2];
  return check_starts(c.array<int64_t>(1), nullptr, n, nz, "start");
}

int addcols_call(wrap_call &c) {
  problem_s *p = c.p;
  const int64_t n = c.slots[0], nz = c.slots[2] < 0 ? 0 : c.slots[2];
  add_state s;
  if (c.given(6) && pack_names(c.objects[6], n, true, "Incorrect length of variable name list",
                               "Erroneous name for variable %d", &s.packed, &s.names) < 0)
    return -1;
  if (c.given(7) && read_types(c.objects[7], n, &s.types) < 0) return -1;
  column_traits traits;
  traits.lb = c.array<double>(4);
  traits.ub = c.array<double>(5);
  traits.types = s.types.empty() ? nullptr : s.types.data();
  if (make_variables(n, s.names, traits, &s.objects) < 0) return -1;
  int64_t c0 = int_attrib(p, kColsAttrib);
  if (c0 < 0) return -1;
  if (KRVSaddcols64(p->prob, int(n), nz, c.array<double>(0), c.array<int64_t>(1), c.array<int>(2), c.array<double>(3),
                    c.array<double>(4), c.array<double>(5)) != 0)
    return engine_failed(p);
  int rc = pass_names(p, 2, s.packed, s.objects, c0);
  if (rc == 0 && !s.types.empty()) {
    std::vector<int> indices;
    std::vector<char> letters;
    for (int64_t j = 0; j < n; ++j)
      if (s.types[size_t(j)] != 'C') {
        indices.push_back(int(c0 + j));
        letters.push_back(s.types[size_t(j)]);
      }
    if (!indices.empty()) rc = KRVSchgcoltype(p->prob, int(indices.size()), indices.data(), letters.data());
  }
  if (rc != 0) {
    engine_failed(p);
    undo_append(p, 2, c0, n);
    return -1;
  }
  if (register_objects(p, 0, s.objects, c0) < 0) {
    undo_append(p, 2, c0, n);
    return -1;
  }
  return 0;
}

// ---- addsetnames ----------------------------------------------------------------

int addsetnames_call(wrap_call &c) {
  problem_s *p = c.p;
  int64_t sets = int_attrib(p, kSetsAttrib);
  if (sets < 0) return -1;
  if (sets == 0) {
    PyErr_SetString(korvo_model_error, "No global sets in problem, cannot use addsetnames()");
    return -1;
  }
  int64_t first = c.given(1) ? c.ints[1] : 0;
  int64_t last = c.given(2) ? c.ints[2] : c.given(1) && PyList_Check(c.objects[0])
                                             ? first + PyList_GET_SIZE(c.objects[0]) - 1
                                             : sets - 1;
  if (first < 0 || last >= sets || first > last) {
    PyErr_Format(korvo_model_error, "Invalid range of sets %lld..%lld (the problem has %lld sets)", (long long)first,
                 (long long)last, (long long)sets);
    return -1;
  }
  std::string packed;
  std::vector<PyObject *> names;
  if (pack_names(c.objects[0], last - first + 1, true, "The number of names must match the range of sets",
                 "Erroneous name for set %d", &packed, &names) < 0)
    return -1;
  if (KRVSaddsetnames(p->prob, packed.data(), int(first), int(last)) != 0) return engine_failed(p);
  // The registry's SOS objects carry the names as well.
  PyObject *list = p->sets;
  for (int64_t k = first; k <= last && k < PyList_GET_SIZE(list); ++k) {
    PyObject *item = PyList_GET_ITEM(list, k);
    if (isSos(item)) Py_XSETREF(reinterpret_cast<sos_s *>(item)->name, Py_NewRef(names[size_t(k - first)]));
  }
  return 0;
}

const wrapper_def kAddrows{
    "addrows",
    KORVO_DOC("Adds rows given by arrays; each gets a new constraint object in the problem.",
              "p.addrows(rowtype, rhs, start, colind, rowcoef, range=None, names=None)",
              KORVO_ARGS("rowtype: per row 'L', 'G', 'E', 'R' or 'N';\n  rhs: right-hand sides;\n  start: n + 1 "
                         "offsets into colind/rowcoef, the last being their length;\n  colind: columns (variables, "
                         "names or indices);\n  rowcoef: coefficients;\n  range: ranges of 'R' rows;\n  names: a list "
                         "of row names."),
              "p.addrows('LG', [4, 1], [0, 2, 3], [x, y, x], [1, 1, 1])",
              "A refused call adds nothing. Legacy keywords: qrtype, rhs, mstart, mclind, dmatval, range, names."),
    7,
    {{"rowtype", "qrtype", WR_ARRAY, CONV_CHAR, 0, false},
     {"rhs", "rhs", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"start", "mstart", WR_ARRAY, CONV_INT64, 1, false},
     {"colind", "mclind", WR_ARRAY, CONV_COL, 2, false},
     {"rowcoef", "dmatval", WR_ARRAY, CONV_DOUBLE, 2, false},
     {"range", "range", WR_ARRAY, CONV_DOUBLE, 0, true},
     {"names", "names", WR_OBJECT, CONV_STRING, -1, true}},
    addrows_prepare,
    addrows_call,
    nullptr};

const wrapper_def kAddcols{
    "addcols",
    KORVO_DOC("Adds columns given by arrays; each gets a new variable object in the problem.",
              "p.addcols(objcoef, start, rowind, rowcoef, lb, ub, names=None, types=None)",
              KORVO_ARGS("objcoef: objective coefficients;\n  start: n + 1 offsets into rowind/rowcoef, the last "
                         "being their length;\n  rowind: rows (constraints, names or indices);\n  rowcoef: "
                         "coefficients;\n  lb, ub: bounds;\n  names: a list of n names;\n  types: a list of n types "
                         "'C', 'B', 'I', 'S', 'R', 'P'."),
              "p.addcols([1, 2], [0, 1, 2], [c1, c1], [1, 1], [0, 0], [10, 1e20])",
              "A refused call adds nothing. Legacy keywords: objx, mstart, mrwind, dmatval, bdl, bdu."),
    8,
    {{"objcoef", "objx", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"start", "mstart", WR_ARRAY, CONV_INT64, 1, false},
     {"rowind", "mrwind", WR_ARRAY, CONV_ROW, 2, false},
     {"rowcoef", "dmatval", WR_ARRAY, CONV_DOUBLE, 2, false},
     {"lb", "bdl", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"ub", "bdu", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"names", "names", WR_OBJECT, CONV_STRING, -1, true},
     {"types", "types", WR_OBJECT, CONV_CHAR, -1, true}},
    addcols_prepare,
    addcols_call,
    nullptr};

const wrapper_def kAddsetnames{
    "addsetnames",
    KORVO_DOC("Names special ordered sets.", "p.addsetnames(names, first=0, last=...)",
              KORVO_ARGS("names: a list of strings, one per set of the range;\n  first, last: the range of sets "
                         "(default: from the first set, as many as names, or all sets)."),
              "p.addsetnames(['s1', 's2'])", "Legacy keywords: start, end."),
    3,
    {{"names", "names", WR_OBJECT, CONV_STRING, -1, false},
     {"first", "start", WR_INT, CONV_INT, -1, true},
     {"last", "end", WR_INT, CONV_INT, -1, true}},
    nullptr,
    addsetnames_call,
    nullptr};

// ---- loadproblem ------------------------------------------------------------------
// Written by hand: it has 28 arguments in optional groups.

enum lp_arg {
  A_PROBNAME, A_ROWTYPE, A_RHS, A_RNG, A_OBJCOEF, A_START, A_COLLEN, A_ROWIND, A_ROWCOEF, A_LB, A_UB,
  A_OBJQCOL1, A_OBJQCOL2, A_OBJQCOEF,
  A_QROWIND, A_NROWQCOEFS, A_ROWQCOL1, A_ROWQCOL2, A_ROWQCOEF,
  A_COLTYPE, A_ENTIND, A_LIMIT,
  A_SETTYPE, A_SETSTART, A_SETIND, A_REFVAL,
  A_COLNAMES, A_ROWNAMES, A_COUNT
};

const char *const kLoadKeywords[] = {
    "probname", "rowtype",  "rhs",      "rng",      "objcoef",    "start",    "collen",   "rowind",
    "rowcoef",  "lb",       "ub",       "objqcol1", "objqcol2",   "objqcoef", "qrowind",  "nrowqcoefs",
    "rowqcol1", "rowqcol2", "rowqcoef", "coltype",  "entind",     "limit",    "settype",  "setstart",
    "setind",   "refval",   "colnames", "rownames", nullptr};
const char *const kLoadLegacy[] = {
    "probname", "qrtype",   "rhs",      "range",    "obj",      "mstart",  "mnel",    "mrwind",
    "dmatval",  "dlb",      "dub",      "mqcol1",   "mqcol2",   "dqval",   "qcrows",  "qcnquads",
    "qcmqcol1", "qcmqcol2", "qcdqval",  "qgtype",   "mgcols",   "dlim",    "qstype",  "msstart",
    "mscols",   "dref",     "colnames", "rownames", nullptr};

struct owned_array_list {
  void *arrays[A_COUNT] = {nullptr};
  ~owned_array_list() {
    for (void *&a : arrays) ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &a);
  }
  template <class T>
  T *get(int i) const {
    return static_cast<T *>(arrays[i]);
  }
};

bool given(PyObject *o) { return o && o != Py_None; }

// All members of an optional group, or none: 1 present, 0 absent, -1 error.
int group(PyObject *const *o, std::initializer_list<int> members, const char *message) {
  int count = 0;
  for (int m : members) count += given(o[m]);
  if (count == 0) return 0;
  if (count == int(members.size())) return 1;
  PyErr_SetString(korvo_interface_error, message);
  return -1;
}

int sum_counts(const int64_t *counts, int64_t n, int64_t *total) {
  *total = 0;
  for (int64_t k = 0; k < n; ++k) {
    if (counts[k] < 0) {
      PyErr_Format(korvo_model_error, "Negative count of quadratic coefficients for quadratic row %lld", (long long)k);
      return -1;
    }
    *total += counts[k];
  }
  return 0;
}

PyObject *loadproblem(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (problem_refuse_while_solving(p, "loadproblem()") < 0) return nullptr;
  PyObject *o[A_COUNT] = {nullptr};
  if (!ko_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOOO|OOOOOOOOOOOOOOOOO", kLoadKeywords, kLoadLegacy, &o[0],
                                &o[1], &o[2], &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12],
                                &o[13], &o[14], &o[15], &o[16], &o[17], &o[18], &o[19], &o[20], &o[21], &o[22], &o[23],
                                &o[24], &o[25], &o[26], &o[27]))
    return nullptr;
  // rng and collen may be None: no ranges; starts with one entry more than columns.
  {
    std::vector<const char *> missing;
    for (int i : {A_PROBNAME, A_ROWTYPE, A_RHS, A_OBJCOEF, A_START, A_ROWIND, A_ROWCOEF, A_LB, A_UB})
      if (!given(o[i])) missing.push_back(kLoadKeywords[i]);
    if (!missing.empty()) {
      std::string text = missing.size() == 1 ? "Must provide argument " : "Must provide arguments ";
      for (size_t k = 0; k < missing.size(); ++k) text += (k ? ", " : "") + std::string(missing[k]);
      PyErr_SetString(korvo_interface_error, text.c_str());
      return nullptr;
    }
  }
  if (!PyUnicode_Check(o[A_PROBNAME])) {
    PyErr_SetString(korvo_model_error, "Argument probname must be a string");
    return nullptr;
  }
  const char *probname = PyUnicode_AsUTF8(o[A_PROBNAME]);
  if (!probname) return nullptr;
  const int has_qobj = group(o, {A_OBJQCOL1, A_OBJQCOL2, A_OBJQCOEF},
                             "Incomplete list of parameters specified for the quadratic objective component");
  const int has_qrows = group(o, {A_QROWIND, A_NROWQCOEFS, A_ROWQCOL1, A_ROWQCOL2, A_ROWQCOEF},
                              "Incomplete list of parameters specified for the quadratic rows component");
  const int has_entities =
      group(o, {A_COLTYPE, A_ENTIND}, "Incomplete list of parameters specified for the global entities");
  const int has_sets =
      group(o, {A_SETTYPE, A_SETSTART, A_SETIND, A_REFVAL}, "Incomplete list of parameters specified for the SOS");
  if (has_qobj < 0 || has_qrows < 0 || has_entities < 0 || has_sets < 0) return nullptr;
  if (given(o[A_LIMIT]) && !has_entities) {
    PyErr_SetString(korvo_interface_error, "Incomplete list of parameters specified for the global entities");
    return nullptr;
  }

  owned_array_list a;
  int64_t rows = -1, cols = -1, nz = -1, starts = -1, qobj = -1, qrows = -1, qrowcoefs = -1, ents = -1, sets = -1,
          setstarts = -1, members = -1;
  auto conv = [&](int i, int64_t *slot, int kind) {
    return conv_obj2arr(p, slot, o[i], &a.arrays[i], kind) == 0;
  };
  bool ok = conv(A_ROWTYPE, &rows, CONV_CHAR) && conv(A_RHS, &rows, CONV_DOUBLE) && conv(A_RNG, &rows, CONV_DOUBLE) &&
            conv(A_OBJCOEF, &cols, CONV_DOUBLE) && conv(A_LB, &cols, CONV_DOUBLE) && conv(A_UB, &cols, CONV_DOUBLE) &&
            conv(A_START, &starts, CONV_INT64) && conv(A_COLLEN, &cols, CONV_INT) &&
            conv(A_ROWIND, &nz, CONV_INT) && conv(A_ROWCOEF, &nz, CONV_DOUBLE) &&
            conv(A_OBJQCOL1, &qobj, CONV_INT) && conv(A_OBJQCOL2, &qobj, CONV_INT) &&
            conv(A_OBJQCOEF, &qobj, CONV_DOUBLE) && conv(A_QROWIND, &qrows, CONV_INT) &&
            conv(A_NROWQCOEFS, &qrows, CONV_INT64) && conv(A_ROWQCOL1, &qrowcoefs, CONV_INT) &&
            conv(A_ROWQCOL2, &qrowcoefs, CONV_INT) && conv(A_ROWQCOEF, &qrowcoefs, CONV_DOUBLE) &&
            conv(A_COLTYPE, &ents, CONV_CHAR) && conv(A_ENTIND, &ents, CONV_INT) && conv(A_LIMIT, &ents, CONV_DOUBLE) &&
            conv(A_SETTYPE, &sets, CONV_CHAR) && conv(A_SETSTART, &setstarts, CONV_INT64) &&
            conv(A_SETIND, &members, CONV_INT) && conv(A_REFVAL, &members, CONV_DOUBLE);
  if (!ok) {
    setKrvsErrIfNull(self, nullptr);
    return nullptr;
  }
  rows = rows < 0 ? 0 : rows;
  cols = cols < 0 ? 0 : cols;
  nz = nz < 0 ? 0 : nz;
  if (rows > INT_MAX || cols > INT_MAX) {
    PyErr_SetString(korvo_model_error, "Too many rows or columns for one problem");
    return nullptr;
  }
  const bool with_lengths = given(o[A_COLLEN]);
  if (starts != (with_lengths ? cols : cols + 1)) {
    mismatch(with_lengths ? cols : cols + 1, starts);
    return nullptr;
  }
  if (check_starts(a.get<int64_t>(A_START), with_lengths ? a.get<int>(A_COLLEN) : nullptr, cols, nz, "start") < 0)
    return nullptr;
  if (has_qrows) {
    int64_t total = 0;
    if (sum_counts(a.get<int64_t>(A_NROWQCOEFS), qrows, &total) < 0) return nullptr;
    if (total != (qrowcoefs < 0 ? 0 : qrowcoefs)) {
      mismatch(total, qrowcoefs);
      return nullptr;
    }
  }
  if (has_sets) {
    sets = sets < 0 ? 0 : sets;
    if (setstarts != sets + 1) {
      mismatch(sets + 1, setstarts);
      return nullptr;
    }
    if (check_starts(a.get<int64_t>(A_SETSTART), nullptr, sets, members < 0 ? 0 : members, "setstart") < 0)
      return nullptr;
  }
  // Column types and thresholds scattered to the columns for their objects.
  std::vector<char> coltypes;
  std::vector<double> limits;
  if (has_entities) {
    coltypes.assign(size_t(cols), 'C');
    limits.assign(size_t(cols), -KRV_INFINITY);
    for (int64_t k = 0; k < ents; ++k) {
      int j = a.get<int>(A_ENTIND)[k];
      char t = a.get<char>(A_COLTYPE)[k];
      if (j < 0 || j >= cols) {
        PyErr_Format(korvo_model_error, "Entity column %d out of range (%lld columns)", j, (long long)cols);
        return nullptr;
      }
      if (!t || !strchr(kColumnTypes, t)) {
        PyErr_SetString(korvo_model_error, "Incorrect variable type");
        return nullptr;
      }
      coltypes[size_t(j)] = t;
      if (a.arrays[A_LIMIT]) limits[size_t(j)] = a.get<double>(A_LIMIT)[k];
    }
  }
  add_state col_state, row_state;
  if (given(o[A_COLNAMES]) && pack_names(o[A_COLNAMES], cols, true, "Incorrect length of variable name list",
                                         "Erroneous name for variable %d", &col_state.packed, &col_state.names) < 0)
    return nullptr;
  if (given(o[A_ROWNAMES]) &&
      pack_names(o[A_ROWNAMES], rows, true, "Incorrect length of constraint name list", "Erroneous name for constraint %d",
                 &row_state.packed, &row_state.names) < 0)
    return nullptr;
  column_traits traits;
  traits.lb = a.get<double>(A_LB);
  traits.ub = a.get<double>(A_UB);
  traits.types = coltypes.empty() ? nullptr : coltypes.data();
  traits.limits = limits.empty() ? nullptr : limits.data();
  if (make_variables(cols, col_state.names, traits, &col_state.objects) < 0 ||
      make_constraints(rows, row_state.names, a.get<char>(A_ROWTYPE), a.get<double>(A_RHS), a.get<double>(A_RNG),
                       &row_state.objects) < 0)
    return nullptr;
  std::vector<PyRef> set_objects;
  for (int64_t k = 0; has_sets && k < sets; ++k) {
    PyRef s(sos_new(&korvo_sosType));
    if (!s) return nullptr;
    reinterpret_cast<sos_s *>(s.get())->type = a.get<char>(A_SETTYPE)[k] == '2' ? 2 : 1;
    set_objects.push_back(std::move(s));
  }
  if (check_nl_unconstruct(p) < 0) return nullptr;

  // The load: the function that takes exactly the groups given.
  const int ncols = int(cols), nrows = int(rows);
  const int64_t *start = a.get<int64_t>(A_START);
  const int *collen = a.get<int>(A_COLLEN);
  const int nent = has_entities ? int(ents) : 0, nsets = has_sets ? int(sets) : 0;
#define LP_PASS                                                                                                    \
  p->prob, probname, ncols, nrows, a.get<char>(A_ROWTYPE), a.get<double>(A_RHS), a.get<double>(A_RNG),            \
      a.get<double>(A_OBJCOEF), start, collen, a.get<int>(A_ROWIND), a.get<double>(A_ROWCOEF), a.get<double>(A_LB), \
      a.get<double>(A_UB)
#define QOBJ_PASS qobj < 0 ? 0 : qobj, a.get<int>(A_OBJQCOL1), a.get<int>(A_OBJQCOL2), a.get<double>(A_OBJQCOEF)
#define QROW_PASS                                                                                                 \
  int(qrows < 0 ? 0 : qrows), a.get<int>(A_QROWIND), a.get<int64_t>(A_NROWQCOEFS), a.get<int>(A_ROWQCOL1), \
      a.get<int>(A_ROWQCOL2), a.get<double>(A_ROWQCOEF)
#define GLOBAL_PASS                                                                                               \
  nent, nsets, a.get<char>(A_COLTYPE), a.get<int>(A_ENTIND), a.get<double>(A_LIMIT), a.get<char>(A_SETTYPE), \
      a.get<int64_t>(A_SETSTART), a.get<int>(A_SETIND), a.get<double>(A_REFVAL)
  const bool global = has_entities || has_sets;
  int rc;
  if (has_qrows && global)
    rc = KRVSloadqcqpglobal64(LP_PASS, QOBJ_PASS, QROW_PASS, GLOBAL_PASS);
  else if (has_qobj && global)
    rc = KRVSloadqglobal64(LP_PASS, QOBJ_PASS, GLOBAL_PASS);
  else if (has_qrows)
    rc = KRVSloadqcqp64(LP_PASS, QOBJ_PASS, QROW_PASS);
  else if (has_qobj)
    rc = KRVSloadqp64(LP_PASS, QOBJ_PASS);
  else if (global)
    rc = KRVSloadglobal64(LP_PASS, GLOBAL_PASS);
  else
    rc = KRVSloadlp64(LP_PASS);
#undef LP_PASS
#undef QOBJ_PASS
#undef QROW_PASS
#undef GLOBAL_PASS
  if (rc != 0) return krvs_error(self);  // the engine kept the old model; so does the registry

  // The engine holds the new model: the registry follows it, even when
  // naming fails below.
  // The engine dropped everything attached to the old rows and columns,
  // nonlinear coefficients and multistart jobs included.
  p->transfer_col = p->transfer_row = -1;
  p->nl_objective = 0;
  p->nl_coef_count = 0;
  p->nl_const_col = -1;
  p->last_solve_nonlinear = 0;
  Py_CLEAR(p->ms_job_objects);
  for (PyObject **list : {&p->variables, &p->constraints, &p->sets}) {
    PyObject *fresh = PyList_New(0);
    if (!fresh) return nullptr;
    Py_XSETREF(*list, fresh);
  }
  rowcolmap_clear(p->var_index);
  rowcolmap_clear(p->con_index);
  rowcolmap_clear(p->sos_index);
  journal_follow(p);
  if (register_objects(p, 0, col_state.objects, 0) < 0 || register_objects(p, 1, row_state.objects, 0) < 0 ||
      register_objects(p, 2, set_objects, 0) < 0)
    return nullptr;
  if (pass_names(p, 2, col_state.packed, col_state.objects, 0) != 0 ||
      pass_names(p, 1, row_state.packed, row_state.objects, 0) != 0)
    return krvs_error(self);
  Py_RETURN_NONE;
}

PyMethodDef build_methods[] = {
    KORVO_WRAPPER_METHOD(kAddcols),
    KORVO_WRAPPER_METHOD(kAddrows),
    KORVO_WRAPPER_METHOD(kAddsetnames),
    {"loadproblem", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(loadproblem)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Replaces the whole model by one given in arrays; the registry gets new variable and constraint "
               "objects for all columns and rows.",
               "p.loadproblem(probname, rowtype, rhs, rng, objcoef, start, collen, rowind, rowcoef, lb, ub, "
               "objqcol1=None, objqcol2=None, objqcoef=None, qrowind=None, nrowqcoefs=None, rowqcol1=None, "
               "rowqcol2=None, rowqcoef=None, coltype=None, entind=None, limit=None, settype=None, setstart=None, "
               "setind=None, refval=None, colnames=None, rownames=None)",
               KORVO_ARGS("probname: the name;\n  rowtype, rhs, rng: rows ('L', 'G', 'E', 'R', 'N'; rng None: no "
                          "ranges);\n  objcoef, lb, ub: columns;\n  start, collen, rowind, rowcoef: the matrix by "
                          "columns (start[j] .. start[j] + collen[j] - 1; collen None: start has one entry more, "
                          "column j ending where j + 1 starts), row indices as integers;\n  objqcol1, objqcol2, "
                          "objqcoef: the quadratic objective 0.5 x'Qx (one triangle);\n  qrowind, nrowqcoefs, "
                          "rowqcol1, rowqcol2, rowqcoef: quadratic rows;\n  coltype, entind, limit: discrete columns "
                          "and thresholds;\n  settype, setstart, setind, refval: special ordered sets;\n  colnames, "
                          "rownames: lists of names."),
               "p.loadproblem('lp', 'L', [4], None, [1, 1], [0, 1, 2], None, [0, 0], [1, 2], [0, 0], [1e20, 1e20])",
               "Each optional group is given whole or not at all. A refused load keeps the old model and registry."),
     },
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(build_methods);
