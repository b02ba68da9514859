// Problem methods for the mixed-integer search: MIP starts, fixing the
// discrete columns, the cut pool, model cuts and delayed rows, branching
// directives, secure rows and columns, and stored branching bounds.
#include <Python.h>

#include <algorithm>

#include "api/conversion.h"
#include "api/handles.h"
#include "api/wrapper_table.h"
#include "krvs.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

int count_of(const wrap_call &c, int slot) { return c.slots[slot] > 0 ? int(c.slots[slot]) : 0; }
KRVScut *cuts_of(const wrap_call &c, int i) { return c.array<KRVScut>(i); }
// A cut list given (its length), or -1 for "every cut of the type".
int cut_selection(const wrap_call &c, int arg, int slot) { return c.given(arg) ? count_of(c, slot) : -1; }

// A start array (WR_OBJECT argument `arg`) of n + 1 entries for rows whose
// coefficients are arrays coef_a and coef_b (count in slot coef_slot): the
// last start must be the number of coefficients, so that no row reaches
// beyond them.
int convert_starts(wrap_call &c, int arg, int nrows, int coef_a, int coef_slot) {
  const int64_t expected = int64_t(nrows) + 1;
  int64_t slot = expected;
  if (conv_obj2arr(c.p, &slot, c.objects[arg], &c.arrays[arg], CONV_INT64) < 0) return -1;
  if (!c.arrays[arg]) return 0;  // reported by the engine as a missing array
  if (slot != expected) {  // an iterator of another length
    PyErr_Format(korvo_model_error, "Mismatched lengths in arguments: expected %lld, found %lld", (long long)expected,
                 (long long)slot);
    return -1;
  }
  const int64_t coefs = c.array<int64_t>(arg)[nrows];
  const int64_t given = c.arrays[coef_a] ? c.slots[coef_slot] : 0;
  if (coefs != given) {
    PyErr_Format(korvo_model_error, "Mismatched lengths in arguments: expected %lld, found %lld", (long long)coefs,
                 (long long)given);
    return -1;
  }
  return 0;
}

// ---- MIP starts -----------------------------------------------------------------

int addmipsol_call(wrap_call &c) {
  return KRVSaddmipsol(c.p->prob, count_of(c, 0), c.array<double>(0), c.array<int>(1), c.given(2) ? c.strs[2] : nullptr);
}

int loadmipsol_prepare(wrap_call &c) {
  if (!c.given(0)) {
    ko_PyErr_MissingArgs("dsol", nullptr);
    return -1;
  }
  int64_t cols = 0;
  if (KRVSgetintattrib64(c.p->prob, 1214, &cols) != 0) return -1;
  c.slots[0] = cols;
  if (conv_obj2arr(c.p, &c.slots[0], c.objects[0], &c.arrays[0], CONV_DOUBLE) < 0) return -1;
  if (c.slots[0] != cols) {  // an iterator of another length
    PyErr_Format(korvo_model_error, "Mismatched lengths in arguments: expected %lld, found %lld", (long long)cols,
                 (long long)c.slots[0]);
    return -1;
  }
  return 0;
}
int loadmipsol_call(wrap_call &c) {
  int status = 0;
  int rc = KRVSloadmipsol(c.p->prob, c.array<double>(0), &status);
  c.ints[1] = status;
  return rc;
}
PyObject *loadmipsol_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[1]); }

int fixglobals_call(wrap_call &c) { return KRVSfixglobals(c.p->prob, int(c.ints[0])); }

// ---- cuts ------------------------------------------------------------------------

// addcuts(cuttype, rowtype, rhs, start, colind, cutcoef)
int addcuts_prepare(wrap_call &c) { return convert_starts(c, 3, count_of(c, 0), 4, 2); }
int addcuts_call(wrap_call &c) {
  return KRVSaddcuts64(c.p->prob, count_of(c, 0), c.array<int>(0), c.array<char>(1), c.array<double>(2),
                       c.array<int64_t>(3), c.array<int>(4), c.array<double>(5));
}

// storecuts(nodups, cuttype, rowtype, rhs, start, cutind, colind, cutcoef)
int storecuts_prepare(wrap_call &c) {
  if (convert_starts(c, 4, count_of(c, 0), 6, 2) < 0) return -1;
  return c.given(5) ? wrap_allocate(c, 5, count_of(c, 0), sizeof(KRVScut)) : 0;
}
int storecuts_call(wrap_call &c) {
  return KRVSstorecuts64(c.p->prob, count_of(c, 0), int(c.ints[0]), c.array<int>(1), c.array<char>(2),
                         c.array<double>(3), c.array<int64_t>(4), cuts_of(c, 5), c.array<int>(6),
                         c.array<double>(7));
}

int loadcuts_call(wrap_call &c) {
  return KRVSloadcuts(c.p->prob, int(c.ints[0]), int(c.ints[1]), cut_selection(c, 2, 0), cuts_of(c, 2));
}
int delcuts_call(wrap_call &c) {
  return KRVSdelcuts(c.p->prob, int(c.ints[0]), int(c.ints[1]), int(c.ints[2]), c.dbls[3], cut_selection(c, 4, 0),
                     cuts_of(c, 4));
}
int delcpcuts_call(wrap_call &c) {
  return KRVSdelcpcuts(c.p->prob, int(c.ints[0]), int(c.ints[1]), cut_selection(c, 2, 0), cuts_of(c, 2));
}

// getcutlist(cuttype, interp, maxcuts, cutind)
int getcutlist_prepare(wrap_call &c) {
  int total = 0;
  if (KRVSgetcutlist(c.p->prob, int(c.ints[0]), int(c.ints[1]), &total, 0, nullptr) != 0) return -1;
  c.slots[0] = std::max<int64_t>(0, std::min<int64_t>(total, c.ints[2]));
  return c.given(3) ? wrap_allocate(c, 3, c.slots[0], sizeof(KRVScut)) : 0;
}
int getcutlist_call(wrap_call &c) {
  int total = 0;
  return KRVSgetcutlist(c.p->prob, int(c.ints[0]), int(c.ints[1]), &total, count_of(c, 0), cuts_of(c, 3));
}

// getcpcutlist(cuttype, interp, delta, maxcuts, cutind, viol) -> the number of cuts
int getcpcutlist_prepare(wrap_call &c) {
  int total = 0;
  if (KRVSgetcpcutlist(c.p->prob, int(c.ints[0]), int(c.ints[1]), c.dbls[2], &total, 0, nullptr, nullptr) != 0)
    return -1;
  c.ints[6] = total;
  c.slots[0] = std::max<int64_t>(0, std::min<int64_t>(total, c.ints[3]));
  if (c.given(4) && wrap_allocate(c, 4, c.slots[0], sizeof(KRVScut)) < 0) return -1;
  return c.given(5) ? wrap_allocate(c, 5, c.slots[0], sizeof(double)) : 0;
}
int getcpcutlist_call(wrap_call &c) {
  int total = 0;
  return KRVSgetcpcutlist(c.p->prob, int(c.ints[0]), int(c.ints[1]), c.dbls[2], &total, count_of(c, 0),
                          cuts_of(c, 4), c.array<double>(5));
}
PyObject *getcpcutlist_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[6]); }

// getcpcuts(rowind, maxcoefs, cuttype, rowtype, start, colind, cutcoef, rhs)
int getcpcuts_prepare(wrap_call &c) {
  const int n = count_of(c, 0);
  c.slots[1] = n + 1;
  // The total number of coefficients first, from the starts alone.
  if (wrap_allocate(c, 4, n + 1, sizeof(int64_t)) < 0) return -1;
  if (KRVSgetcpcuts64(c.p->prob, cuts_of(c, 0), n, 0, nullptr, nullptr, c.array<int64_t>(4), nullptr, nullptr,
                      nullptr) != 0)
    return -1;
  c.slots[2] = std::max<int64_t>(0, std::min<int64_t>(c.array<int64_t>(4)[n], c.ints[1]));
  const struct {
    int arg;
    int64_t n;
    size_t size;
  } outputs[] = {{2, n, sizeof(int)},         {3, n, 1},
                 {5, c.slots[2], sizeof(int)}, {6, c.slots[2], sizeof(double)}, {7, n, sizeof(double)}};
  for (const auto &o : outputs)
    if (c.given(o.arg) && wrap_allocate(c, o.arg, o.n, o.size) < 0) return -1;
  return 0;
}
int getcpcuts_call(wrap_call &c) {
  return KRVSgetcpcuts64(c.p->prob, cuts_of(c, 0), count_of(c, 0), c.slots[2], c.array<int>(2), c.array<char>(3),
                         c.array<int64_t>(4), c.array<int>(5), c.array<double>(6), c.array<double>(7));
}

// getcutmap(cutind, cutmap)
int getcutmap_prepare(wrap_call &c) { return wrap_allocate(c, 1, count_of(c, 0), sizeof(int)); }
int getcutmap_call(wrap_call &c) { return KRVSgetcutmap(c.p->prob, count_of(c, 0), cuts_of(c, 0), c.array<int>(1)); }

// getcutslack(cutind) -> float
int getcutslack_prepare(wrap_call &c) {
  if (!PyObject_TypeCheck(c.objects[0], &korvo_poolcutType)) {
    PyErr_SetString(korvo_interface_error, "getcutslack must be provided a single cut as the only argument");
    return -1;
  }
  void *cut = nullptr;
  if (poolcut_getcut(c.objects[0], &cut) < 0) return -1;
  c.arrays[1] = nullptr;
  c.strs[0] = static_cast<const char *>(cut);  // the handle, carried to the call
  return 0;
}
int getcutslack_call(wrap_call &c) {
  return KRVSgetcutslack(c.p->prob, reinterpret_cast<KRVScut>(const_cast<char *>(c.strs[0])), &c.dbls[0]);
}
PyObject *getcutslack_result(wrap_call &c) { return PyFloat_FromDouble(c.dbls[0]); }

int loadmodelcuts_call(wrap_call &c) { return KRVSloadmodelcuts(c.p->prob, count_of(c, 0), c.array<int>(0)); }
int loaddelayedrows_call(wrap_call &c) { return KRVSloaddelayedrows(c.p->prob, count_of(c, 0), c.array<int>(0)); }

// ---- directives, secure vectors, branching bounds ----------------------------------------

int loaddirs_call(wrap_call &c) {
  return KRVSloaddirs(c.p->prob, count_of(c, 0), c.array<int>(0), c.array<int>(1), c.array<char>(2),
                      c.array<double>(3), c.array<double>(4));
}
int loadpresolvedirs_call(wrap_call &c) {
  return KRVSloadpresolvedirs(c.p->prob, count_of(c, 0), c.array<int>(0), c.array<int>(1), c.array<char>(2),
                              c.array<double>(3), c.array<double>(4));
}
int loadbranchdirs_call(wrap_call &c) {
  return KRVSloadbranchdirs(c.p->prob, count_of(c, 0), c.array<int>(0), c.array<int>(1));
}

// getdirs(indices, prios, branchdirs, uppseudo, downpseudo): nothing to do
// without directives; otherwise every list is required.
int getdirs_prepare(wrap_call &c) {
  int count = 0;
  if (KRVSgetdirs(c.p->prob, &count, nullptr, nullptr, nullptr, nullptr, nullptr) != 0) return -1;
  c.slots[0] = count;
  if (count == 0) return 0;
  for (int i = 0; i < 5; ++i)
    if (!c.given(i) || !PyList_Check(c.objects[i])) {
      PyErr_SetString(korvo_interface_error, "Must provide arguments (as lists) to getdirs");
      return -1;
    }
  const size_t sizes[] = {sizeof(int), sizeof(int), 1, sizeof(double), sizeof(double)};
  for (int i = 0; i < 5; ++i)
    if (wrap_allocate(c, i, count, sizes[i]) < 0) return -1;
  return 0;
}
int getdirs_call(wrap_call &c) {
  if (c.slots[0] == 0) return 0;
  int count = 0;
  return KRVSgetdirs(c.p->prob, &count, c.array<int>(0), c.array<int>(1), c.array<char>(2), c.array<double>(3),
                     c.array<double>(4));
}

int loadsecurevecs_call(wrap_call &c) {
  return KRVSloadsecurevecs(c.p->prob, count_of(c, 0), count_of(c, 1), c.array<int>(0), c.array<int>(1));
}

// storebounds(colind, bndtype, bndval) -> korvo.generic; the handle is kept in strs[0].
int storebounds_call(wrap_call &c) {
  void *bounds = nullptr;
  int rc = KRVSstorebounds(c.p->prob, count_of(c, 0), c.array<int>(0), c.array<char>(1), c.array<double>(2), &bounds);
  c.strs[0] = static_cast<const char *>(bounds);
  return rc;
}
PyObject *storebounds_result(wrap_call &c) { return voidstar_create(const_cast<char *>(c.strs[0])); }

int setbranchbounds_prepare(wrap_call &c) {
  void *bounds = voidstar_getobj(c.objects[0]);
  if (!bounds && PyErr_Occurred()) return -1;
  c.strs[0] = static_cast<const char *>(bounds);
  return 0;
}
int setbranchbounds_call(wrap_call &c) { return KRVSsetbranchbounds(c.p->prob, const_cast<char *>(c.strs[0])); }

int setbranchcuts_call(wrap_call &c) { return KRVSsetbranchcuts(c.p->prob, count_of(c, 0), cuts_of(c, 0)); }

// ---- the table -----------------------------------------------------------------------------


const wrapper_def kAddmipsol{
    "addmipsol",
    KORVO_DOC("Gives a full or partial MIP solution as a start for the next mipoptimize.",
              "p.addmipsol(solval, colind=None, name=None)",
              KORVO_ARGS("solval: the values;\n  colind: their columns (None: solval has one value per column);\n  "
                         "name: a name for the solution, reported with its outcome."),
              "p.addmipsol([1, 0, 2], [x, y, z], 'guess')",
              "The next mipoptimize fixes the given columns (integral ones at rounded values), solves for the "
              "rest and hands the result to the solver as a starting solution; an infeasible start is not used. "
              "The outcome is reported to a usersolnotify callback."),
    3,
    {{"solval", "mipsolval", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"colind", "mipsolcol", WR_ARRAY, CONV_COL, 0, true},
     {"name", "solname", WR_STRING, CONV_STRING, -1, true}},
    nullptr,
    addmipsol_call,
    nullptr};

const wrapper_def kLoadmipsol{
    "loadmipsol",
    KORVO_DOC("Checks a full MIP solution at once and keeps it as a start for the next mipoptimize if it is usable.",
              "status = p.loadmipsol(x)",
              KORVO_ARG("x: one value per column."), "status = p.loadmipsol([1, 0, 2])",
              "Returns 1 when the solution is feasible as given, 2 when it was made feasible by re-solving its "
              "continuous columns (both kept as a start), 3 when it is infeasible, 4 when no answer was found in "
              "time (both not kept)."),
    1,
    {{"x", "dsol", WR_OBJECT, CONV_DOUBLE, -1, true}},
    loadmipsol_prepare,
    loadmipsol_call,
    loadmipsol_result};

const wrapper_def kFixglobals{
    "fixglobals",
    KORVO_DOC("Fixes every discrete column at its value in the last MIP solution.", "p.fixglobals(options)",
              KORVO_ARG("options: 0 or 1 (the same: integral values are always rounded)."), "p.fixglobals(1)",
              "The columns' bounds are set to the values; a following lpoptimize solves for the continuous columns."),
    1,
    {{"options", "options", WR_INT, CONV_INT, -1, false}},
    nullptr,
    fixglobals_call,
    nullptr};

const wrapper_def kAddcuts{
    "addcuts",
    KORVO_DOC("Adds cuts that apply to the problem from now on.",
              "p.addcuts(cuttype, rowtype, rhs, start, colind, cutcoef)",
              KORVO_ARGS("cuttype: a type of the user's choice per cut;\n  rowtype: 'L', 'G' or 'E' per cut;\n  rhs: "
                         "the right-hand sides;\n  start: where each cut's coefficients start, plus their total;\n  "
                         "colind, cutcoef: the columns and coefficients."),
              "p.addcuts([1], ['L'], [4.0], [0, 2], [x, y], [1.0, 1.0])",
              "Every solve has the active cuts as rows after the model's rows; they must be valid for the "
              "problem. delcuts removes them again."),
    6,
    {{"cuttype", "mtype", WR_ARRAY, CONV_INT, 0, false},
     {"rowtype", "rtype", WR_ARRAY, CONV_CHAR, 0, false},
     {"rhs", "rhs", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"start", "mstart", WR_OBJECT, CONV_INT64, -1, false},
     {"colind", "mcols", WR_ARRAY, CONV_COL, 2, false},
     {"cutcoef", "dmatval", WR_ARRAY, CONV_DOUBLE, 2, false}},
    addcuts_prepare,
    addcuts_call,
    nullptr,
    WRAP_ALLOWED_IN_CALLBACK};

const wrapper_def kStorecuts{
    "storecuts",
    KORVO_DOC("Puts cuts in the cut pool, without applying them, and returns their handles.",
              "p.storecuts(nodups, cuttype, rowtype, rhs, start, cutind, colind, cutcoef)",
              KORVO_ARGS("nodups: 0 keep duplicates, 1 do not store a cut equal to one of the same type in the pool, "
                         "2 nor one of any type;\n  cutind: a list that receives a korvo.poolcut per cut (for a "
                         "duplicate, the cut already in the pool);\n  the rest as for addcuts."),
              "cuts: list = []; p.storecuts(0, [1], ['L'], [4.0], [0, 2], cuts, [x, y], [1.0, 1.0])",
              "loadcuts applies stored cuts."),
    8,
    {{"nodups", "nodupl", WR_INT, CONV_INT, -1, false},
     {"cuttype", "mtype", WR_ARRAY, CONV_INT, 0, false},
     {"rowtype", "rtype", WR_ARRAY, CONV_CHAR, 0, false},
     {"rhs", "rhs", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"start", "mstart", WR_OBJECT, CONV_INT64, -1, false},
     {"cutind", "mindex", WR_OUTLIST, CONV_POOLCUT, 0, false},
     {"colind", "mcols", WR_ARRAY, CONV_COL, 2, false},
     {"cutcoef", "dmatval", WR_ARRAY, CONV_DOUBLE, 2, false}},
    storecuts_prepare,
    storecuts_call,
    nullptr,
    WRAP_ALLOWED_IN_CALLBACK};

const wrapper_def kLoadcuts{
    "loadcuts",
    KORVO_DOC("Applies cuts of the cut pool to the problem.", "p.loadcuts(coltype, interp, cutind)",
              KORVO_ARGS("cutind: the korvo.poolcut handles, or None for every stored cut of the type;\n  "
                         "coltype, interp: which cuts when cutind is None (coltype is the cut type): interp -1 "
                         "every cut, 1 cuts of type coltype, 2 cuts whose type shares a bit with coltype, 3 cuts "
                         "whose type holds every bit."),
              "p.loadcuts(0, -1, None)", "Loaded cuts are rows of every solve until delcuts. Legacy keyword: itype."),
    3,
    {{"coltype", "itype", WR_INT, CONV_INT, -1, false},
     {"interp", "interp", WR_INT, CONV_INT, -1, false},
     {"cutind", "cutind", WR_ARRAY_OR_NONE, CONV_POOLCUT, 0, false}},
    nullptr,
    loadcuts_call,
    nullptr,
    WRAP_ALLOWED_IN_CALLBACK};

const wrapper_def kDelcuts{
    "delcuts",
    KORVO_DOC("Stops applying cuts to the problem.", "p.delcuts(basis, cuttype, interp, delta, cutind)",
              KORVO_ARGS("basis: 1 keeps the cuts that are tight at the last solution;\n  delta: only cuts whose "
                         "absolute slack at the last solution exceeds delta go (-korvo.infinity: all);\n  cutind: "
                         "the handles, or None for every applied cut of the type (cuttype, interp as for loadcuts)."),
              "p.delcuts(0, 0, -1, -1e20, None)",
              "A stored cut stays in the pool; a cut added by addcuts is forgotten. Without a solution the slack "
              "tests are skipped."),
    5,
    {{"basis", "ibasis", WR_INT, CONV_INT, -1, false},
     {"cuttype", "itype", WR_INT, CONV_INT, -1, false},
     {"interp", "interp", WR_INT, CONV_INT, -1, false},
     {"delta", "delta", WR_DOUBLE, CONV_DOUBLE, -1, false},
     {"cutind", "cutind", WR_ARRAY_OR_NONE, CONV_POOLCUT, 0, false}},
    nullptr,
    delcuts_call,
    nullptr};

const wrapper_def kDelcpcuts{
    "delcpcuts",
    KORVO_DOC("Removes stored cuts that are not applied from the cut pool.", "p.delcpcuts(cuttype, interp, cutind)",
              KORVO_ARGS("cutind: the handles (a cut still applied is refused), or None for every stored, "
                         "unapplied cut of the type (cuttype, interp as for loadcuts)."),
              "p.delcpcuts(0, -1, None)", "Handles of removed cuts are refused afterwards."),
    3,
    {{"cuttype", "itype", WR_INT, CONV_INT, -1, false},
     {"interp", "interp", WR_INT, CONV_INT, -1, false},
     {"cutind", "cutind", WR_ARRAY_OR_NONE, CONV_POOLCUT, 0, false}},
    nullptr,
    delcpcuts_call,
    nullptr};

const wrapper_def kGetcutlist{
    "getcutlist",
    KORVO_DOC("Returns the handles of the cuts applied to the problem.", "p.getcutlist(cuttype, interp, maxcuts, cutind)",
              KORVO_ARGS("cuttype, interp: which cuts, as for loadcuts;\n  maxcuts: the most handles returned;\n  "
                         "cutind: a list that receives the korvo.poolcut handles."),
              "cuts: list = []; p.getcutlist(0, -1, 100, cuts)", "Handles are in the order of the cuts' rows."),
    4,
    {{"cuttype", "itype", WR_INT, CONV_INT, -1, false},
     {"interp", "interp", WR_INT, CONV_INT, -1, false},
     {"maxcuts", "size", WR_INT, CONV_INT, -1, false},
     {"cutind", "mcutind", WR_OUTLIST, CONV_POOLCUT, 0, false}},
    getcutlist_prepare,
    getcutlist_call,
    nullptr};

const wrapper_def kGetcpcutlist{
    "getcpcutlist",
    KORVO_DOC("Returns the stored cuts violated by at least delta at the last solution, with their violations.",
              "n = p.getcpcutlist(cuttype, interp, delta, maxcuts, cutind, viol)",
              KORVO_ARGS("cuttype, interp: which cuts, as for loadcuts;\n  delta: the least violation (0 or less: "
                         "every cut);\n  maxcuts: the most returned;\n  cutind, viol: lists that receive the handles "
                         "and violations."),
              "cuts: list = []; viol: list = []; n = p.getcpcutlist(0, -1, 0.0, 100, cuts, viol)",
              "Returns the number of such cuts. Without a solution every violation is 0."),
    6,
    {{"cuttype", "itype", WR_INT, CONV_INT, -1, false},
     {"interp", "interp", WR_INT, CONV_INT, -1, false},
     {"delta", "delta", WR_DOUBLE, CONV_DOUBLE, -1, false},
     {"maxcuts", "size", WR_INT, CONV_INT, -1, false},
     {"cutind", "mcutind", WR_OUTLIST, CONV_POOLCUT, 0, false},
     {"viol", "dviol", WR_OUTLIST, CONV_DOUBLE, 0, false}},
    getcpcutlist_prepare,
    getcpcutlist_call,
    getcpcutlist_result};

const wrapper_def kGetcpcuts{
    "getcpcuts",
    KORVO_DOC("Returns the rows of cuts of the cut pool.",
              "p.getcpcuts(rowind, maxcoefs, cuttype, rowtype, start, colind, cutcoef, rhs)",
              KORVO_ARGS("rowind: the korvo.poolcut handles;\n  maxcoefs: the most coefficients returned;\n  cuttype, "
                         "rowtype, start, colind, cutcoef, rhs: lists filled in the layout of addcuts (None: not "
                         "required)."),
              "t: list = []; r: list = []; s: list = []; c: list = []; v: list = []; b: list = []\n  "
              "p.getcpcuts(cuts, 100, t, r, s, c, v, b)",
              "The last start is the total number of coefficients."),
    8,
    {{"rowind", "index", WR_ARRAY, CONV_POOLCUT, 0, false},
     {"maxcoefs", "size", WR_INT, CONV_INT, -1, false},
     {"cuttype", "type", WR_OUTLIST, CONV_INT, 0, false},
     {"rowtype", "rtype", WR_OUTLIST, CONV_CHAR, 0, false},
     {"start", "mstart", WR_OUTLIST, CONV_INT64, 1, false},
     {"colind", "mcols", WR_OUTLIST, CONV_COL, 2, false},
     {"cutcoef", "dmatval", WR_OUTLIST, CONV_DOUBLE, 2, false},
     {"rhs", "drhs", WR_OUTLIST, CONV_DOUBLE, 0, false}},
    getcpcuts_prepare,
    getcpcuts_call,
    nullptr};

const wrapper_def kGetcutmap{
    "getcutmap",
    KORVO_DOC("Returns the row each cut has in the matrix of a solve.", "p.getcutmap(cutind, cutmap)",
              KORVO_ARGS("cutind: the korvo.poolcut handles;\n  cutmap: a list that receives the rows (-1 for a cut "
                         "not applied)."),
              "rows: list = []; p.getcutmap(cuts, rows)",
              "Applied cuts follow the model's rows, in the order of getcutlist."),
    2,
    {{"cutind", "cuts", WR_ARRAY, CONV_POOLCUT, 0, false}, {"cutmap", "cutmap", WR_OUTLIST, CONV_INT, 0, false}},
    getcutmap_prepare,
    getcutmap_call,
    nullptr};

const wrapper_def kGetcutslack{
    "getcutslack",
    KORVO_DOC("Returns a cut's slack (right-hand side minus activity) at the last solution.",
              "slack = p.getcutslack(cutind)", KORVO_ARG("cutind: one korvo.poolcut."),
              "slack = p.getcutslack(cuts[0])", "The last LP solution is used, else the last MIP solution."),
    1,
    {{"cutind", "cut", WR_OBJECT, CONV_POOLCUT, -1, false}},
    getcutslack_prepare,
    getcutslack_call,
    getcutslack_result};

const wrapper_def kLoadmodelcuts{
    "loadmodelcuts",
    KORVO_DOC("Marks rows as model cuts: rows the search may hold back until they are violated.",
              "p.loadmodelcuts(rowind)", KORVO_ARG("rowind: the rows."), "p.loadmodelcuts([c1])",
              "mipoptimize on HiGHS keeps them as ordinary rows; they are never dropped."),
    1,
    {{"rowind", "mrows", WR_ARRAY, CONV_ROW, 0, false}},
    nullptr,
    loadmodelcuts_call,
    nullptr};

const wrapper_def kLoaddelayedrows{
    "loaddelayedrows",
    KORVO_DOC("Marks rows as delayed rows: rows checked only at candidate solutions.", "p.loaddelayedrows(rowind)",
              KORVO_ARG("rowind: the rows."), "p.loaddelayedrows([c1])",
              "mipoptimize on HiGHS keeps them as ordinary rows; they are never dropped."),
    1,
    {{"rowind", "mrows", WR_ARRAY, CONV_ROW, 0, false}},
    nullptr,
    loaddelayedrows_call,
    nullptr};

#define KORVO_DIRECTIVE_ARGS                                                                                       \
  {{"colind", "mcols", WR_ARRAY, CONV_COL, 0, false},                                                            \
   {"priority", "mpri", WR_ARRAY, CONV_INT, 0, true},                                                            \
   {"dir", "qbr", WR_ARRAY, CONV_CHAR, 0, true},                                                                 \
   {"uppseudo", "dupc", WR_ARRAY, CONV_DOUBLE, 0, true},                                                         \
   {"downpseudo", "ddpc", WR_ARRAY, CONV_DOUBLE, 0, true}}

const wrapper_def kLoaddirs{
    "loaddirs",
    KORVO_DOC("Replaces the branching directives of the columns.",
              "p.loaddirs(colind, priority=None, dir=None, uppseudo=None, downpseudo=None)",
              KORVO_ARGS("colind: the columns;\n  priority: 0 or more, smaller ones branched on first (default "
                         "500);\n  dir: 'U' up branch first, 'D' down first, 'N' either (default);\n  uppseudo, "
                         "downpseudo: pseudo costs, 0 or more (default 0)."),
              "p.loaddirs([x, y], [1, 2], 'UD')",
              "HiGHS's search takes no directives: mipoptimize keeps them, unchanged, for the engine's own search; "
              "getdirs returns them."),
    5,
    KORVO_DIRECTIVE_ARGS,
    nullptr,
    loaddirs_call,
    nullptr};

const wrapper_def kLoadpresolvedirs{
    "loadpresolvedirs",
    KORVO_DOC("Replaces the branching directives, given for the presolved problem's columns.",
              "p.loadpresolvedirs(colind, priority=None, dir=None, uppseudo=None, downpseudo=None)",
              KORVO_ARGS("as for loaddirs."), "p.loadpresolvedirs([x], [1])",
              "The engine's presolved problem keeps the model's columns, so this is loaddirs."),
    5,
    KORVO_DIRECTIVE_ARGS,
    nullptr,
    loadpresolvedirs_call,
    nullptr};

const wrapper_def kLoadbranchdirs{
    "loadbranchdirs",
    KORVO_DOC("Sets the branching direction of columns.", "p.loadbranchdirs(colind, dir=None)",
              KORVO_ARGS("colind: the columns;\n  dir: per column, more than 0 up branch first, less than 0 down "
                         "first, 0 either (None: either)."),
              "p.loadbranchdirs([x], [1])",
              "Priorities and pseudo costs stay; a column without a directive gets one with the defaults."),
    2,
    {{"colind", "mcols", WR_ARRAY, CONV_COL, 0, false}, {"dir", "mbranch", WR_ARRAY, CONV_INT, 0, true}},
    nullptr,
    loadbranchdirs_call,
    nullptr};

const wrapper_def kGetdirs{
    "getdirs",
    KORVO_DOC("Returns the branching directives.",
              "p.getdirs(indices=None, prios=None, branchdirs=None, uppseudo=None, downpseudo=None)",
              KORVO_ARGS("indices, prios, branchdirs, uppseudo, downpseudo: lists that receive the columns, "
                         "priorities, directions and pseudo costs."),
              "c: list = []; pr: list = []; d: list = []; u: list = []; w: list = []; p.getdirs(c, pr, d, u, w)",
              "Without directives nothing is done; otherwise all five lists are required."),
    5,
    {{"indices", "mcols", WR_OUTLIST, CONV_COL, 0, true},
     {"prios", "mpri", WR_OUTLIST, CONV_INT, 0, true},
     {"branchdirs", "qbr", WR_OUTLIST, CONV_CHAR, 0, true},
     {"uppseudo", "dupc", WR_OUTLIST, CONV_DOUBLE, 0, true},
     {"downpseudo", "ddpc", WR_OUTLIST, CONV_DOUBLE, 0, true}},
    getdirs_prepare,
    getdirs_call,
    nullptr};

const wrapper_def kLoadsecurevecs{
    "loadsecurevecs",
    KORVO_DOC("Marks rows and columns that presolve must keep.", "p.loadsecurevecs(rowind, colind)",
              KORVO_ARGS("rowind, colind: the rows and columns (None: none)."), "p.loadsecurevecs([c1], [x])",
              "The marks add to earlier ones and follow deletions."),
    2,
    {{"rowind", "mrow", WR_ARRAY_OR_NONE, CONV_ROW, 0, false}, {"colind", "mcol", WR_ARRAY_OR_NONE, CONV_COL, 1, false}},
    nullptr,
    loadsecurevecs_call,
    nullptr};

const wrapper_def kStorebounds{
    "storebounds",
    KORVO_DOC("Stores column bounds for a branch of the search and returns their handle.",
              "bounds = p.storebounds(colind, bndtype, bndval)",
              KORVO_ARGS("colind: the columns;\n  bndtype: 'L', 'U' or 'B' per bound;\n  bndval: the values."),
              "bounds = p.storebounds([x], ['U'], [3.0])",
              "The handle (a korvo.generic) is passed to setbranchbounds; the problem keeps the bounds."),
    3,
    {{"colind", "mcols", WR_ARRAY, CONV_COL, 0, false},
     {"bndtype", "type", WR_ARRAY, CONV_CHAR, 0, false},
     {"bndval", "bds", WR_ARRAY, CONV_DOUBLE, 0, false}},
    nullptr,
    storebounds_call,
    storebounds_result,
    WRAP_ALLOWED_IN_CALLBACK};

const wrapper_def kSetbranchbounds{
    "setbranchbounds",
    KORVO_DOC("Names the stored bounds of the branch being made.", "p.setbranchbounds(bounds)",
              KORVO_ARG("bounds: a handle returned by storebounds of this problem."), "p.setbranchbounds(bounds)",
              "For the engine's own search; HiGHS's search does not branch on them."),
    1,
    {{"bounds", "mindex", WR_OBJECT, CONV_OBJECT, -1, false}},
    setbranchbounds_prepare,
    setbranchbounds_call,
    nullptr,
    WRAP_ALLOWED_IN_CALLBACK};

const wrapper_def kSetbranchcuts{
    "setbranchcuts",
    KORVO_DOC("Names the pool cuts of the branch being made.", "p.setbranchcuts(cutind)",
              KORVO_ARG("cutind: korvo.poolcut handles of this problem."), "p.setbranchcuts(cuts)",
              "For the engine's own search; HiGHS's search does not branch on them."),
    1,
    {{"cutind", "mindex", WR_ARRAY, CONV_POOLCUT, 0, false}},
    nullptr,
    setbranchcuts_call,
    nullptr,
    WRAP_ALLOWED_IN_CALLBACK};

PyMethodDef mip_search_methods[] = {
    KORVO_WRAPPER_METHOD(kAddmipsol),      KORVO_WRAPPER_METHOD(kLoadmipsol),
    KORVO_WRAPPER_METHOD(kFixglobals),     KORVO_WRAPPER_METHOD(kAddcuts),
    KORVO_WRAPPER_METHOD(kStorecuts),      KORVO_WRAPPER_METHOD(kLoadcuts),
    KORVO_WRAPPER_METHOD(kDelcuts),        KORVO_WRAPPER_METHOD(kDelcpcuts),
    KORVO_WRAPPER_METHOD(kGetcutlist),     KORVO_WRAPPER_METHOD(kGetcpcutlist),
    KORVO_WRAPPER_METHOD(kGetcpcuts),      KORVO_WRAPPER_METHOD(kGetcutmap),
    KORVO_WRAPPER_METHOD(kGetcutslack),    KORVO_WRAPPER_METHOD(kLoadmodelcuts),
    KORVO_WRAPPER_METHOD(kLoaddelayedrows), KORVO_WRAPPER_METHOD(kLoaddirs),
    KORVO_WRAPPER_METHOD(kLoadpresolvedirs), KORVO_WRAPPER_METHOD(kLoadbranchdirs),
    KORVO_WRAPPER_METHOD(kGetdirs),        KORVO_WRAPPER_METHOD(kLoadsecurevecs),
    KORVO_WRAPPER_METHOD(kStorebounds),    KORVO_WRAPPER_METHOD(kSetbranchbounds),
    KORVO_WRAPPER_METHOD(kSetbranchcuts),  {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(mip_search_methods);
