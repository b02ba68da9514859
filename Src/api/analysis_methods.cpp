// Problem methods of the analysis family: sensitivity ranges, rays, the
// basis condition estimate, strong branching and irreducible infeasible
// sets. One table row each; the engine checks the problem's state and
// refuses what does not apply with a message of its own.
#include <Python.h>

#include <initializer_list>

#include "api/conversion.h"
#include "api/wrapper_table.h"
#include "krvs.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

// Allocates the arrays of the output lists the caller passed (None: no
// array, nothing asked), each as long as its length slot.
int allocate_outputs(wrap_call &c, const wrapper_def &def, std::initializer_list<int> outputs) {
  for (int i : outputs) {
    if (!c.given(i)) continue;
    const int slot = def.args[i].slot;
    const int64_t n = slot >= 0 ? c.slots[slot] : 0;
    if (wrap_allocate(c, i, n < 0 ? 0 : n, conv_element_size(def.args[i].kind)) < 0) return -1;
  }
  return 0;
}

extern const wrapper_def kObjsa, kRhssa, kBndsa, kEstimaterowdualranges, kStrongbranch, kGetiisdata;

// ---- sensitivity ---------------------------------------------------------
int objsa_prepare(wrap_call &c) {
  if (c.slots[0] < 0) c.slots[0] = 0;
  return allocate_outputs(c, kObjsa, {1, 2});
}
int objsa_call(wrap_call &c) {
  return KRVSobjsa(c.p->prob, int(c.slots[0]), c.array<int>(0), c.array<double>(1), c.array<double>(2));
}

int rhssa_prepare(wrap_call &c) {
  if (c.slots[0] < 0) c.slots[0] = 0;
  return allocate_outputs(c, kRhssa, {1, 2});
}
int rhssa_call(wrap_call &c) {
  return KRVSrhssa(c.p->prob, int(c.slots[0]), c.array<int>(0), c.array<double>(1), c.array<double>(2));
}

int bndsa_prepare(wrap_call &c) {
  if (c.slots[0] < 0) c.slots[0] = 0;
  return allocate_outputs(c, kBndsa, {1, 2, 3, 4});
}
int bndsa_call(wrap_call &c) {
  return KRVSbndsa(c.p->prob, int(c.slots[0]), c.array<int>(0), c.array<double>(1), c.array<double>(2),
                   c.array<double>(3), c.array<double>(4));
}

int estimaterowdualranges_prepare(wrap_call &c) {
  if (c.slots[0] < 0) c.slots[0] = 0;
  return allocate_outputs(c, kEstimaterowdualranges, {2, 3});
}
int estimaterowdualranges_call(wrap_call &c) {
  return KRVSestimaterowdualranges(c.p->prob, int(c.slots[0]), c.array<int>(0), int(c.ints[1]), c.array<double>(2),
                                   c.array<double>(3));
}

// ---- rays and the basis ----------------------------------------------------
int problem_size(wrap_call &c, int attribute, int64_t &n) {
  int value = 0;
  if (KRVSgetintattrib(c.p->prob, attribute, &value) != 0) return -1;
  n = value;
  return 0;
}
int ray_prepare(wrap_call &c, int attribute) {
  if (!c.given(0)) {
    PyErr_SetString(korvo_interface_error, "Must provide argument to retrieve (primal or dual) ray");
    return -1;
  }
  if (problem_size(c, attribute, c.slots[0]) < 0) return -1;
  return wrap_allocate(c, 0, c.slots[0], sizeof(double));
}
int primalray_prepare(wrap_call &c) { return ray_prepare(c, 1018); }
int dualray_prepare(wrap_call &c) { return ray_prepare(c, 1001); }
int getprimalray_call(wrap_call &c) {
  int has = 0;
  return KRVSgetprimalray(c.p->prob, c.array<double>(0), &has);
}
int getdualray_call(wrap_call &c) {
  int has = 0;
  return KRVSgetdualray(c.p->prob, c.array<double>(0), &has);
}
int hasprimalray_call(wrap_call &c) {
  int has = 0;
  int rc = KRVSgetprimalray(c.p->prob, nullptr, &has);
  c.ints[0] = has;
  return rc;
}
int hasdualray_call(wrap_call &c) {
  int has = 0;
  int rc = KRVSgetdualray(c.p->prob, nullptr, &has);
  c.ints[0] = has;
  return rc;
}
PyObject *bool_result(wrap_call &c) { return PyBool_FromLong(long(c.ints[0])); }

int getunbvec_call(wrap_call &c) {
  int seq = -1;
  int rc = KRVSgetunbvec(c.p->prob, &seq);
  c.ints[0] = seq;
  return rc;
}
PyObject *getunbvec_result(wrap_call &c) {
  if (c.ints[0] < 0) {
    PyErr_SetString(korvo_solver_error,
                    "getunbvec returns a valid object only if the problem is found unbounded within the primal "
                    "simplex. Call solve('p') to use the primal simplex.");
    return nullptr;
  }
  return convSeqToRowCol(c.p, int(c.ints[0]));
}

int basisstability_call(wrap_call &c) {
  return KRVSbasisstability(c.p->prob, int(c.ints[0]), int(c.ints[1]), int(c.ints[2]), &c.dbls[0]);
}
PyObject *float_result(wrap_call &c) { return PyFloat_FromDouble(c.dbls[0]); }

int strongbranch_prepare(wrap_call &c) {
  if (c.slots[0] < 0) c.slots[0] = 0;
  return allocate_outputs(c, kStrongbranch, {4, 5});
}
int strongbranch_call(wrap_call &c) {
  return KRVSstrongbranch(c.p->prob, int(c.slots[0]), c.array<int>(0), c.array<char>(1), c.array<double>(2),
                          int(c.ints[3]), c.array<double>(4), c.array<int>(5));
}

// ---- irreducible infeasible sets ---------------------------------------------
PyObject *int_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[kWrapMaxArgs - 1]); }

int iisfirst_call(wrap_call &c) {
  int status = 0;
  int rc = KRVSiisfirst(c.p->prob, int(c.ints[0]), &status);
  c.ints[kWrapMaxArgs - 1] = status;
  return rc;
}
int iisnext_call(wrap_call &c) {
  int status = 0;
  int rc = KRVSiisnext(c.p->prob, &status);
  c.ints[kWrapMaxArgs - 1] = status;
  return rc;
}
int iisall_call(wrap_call &c) { return KRVSiisall(c.p->prob); }
int iisclear_call(wrap_call &c) { return KRVSiisclear(c.p->prob); }
int iisisolations_call(wrap_call &c) { return KRVSiisisolations(c.p->prob, int(c.ints[0])); }

extern const wrapper_def kIisstatus;
int iisstatus_prepare(wrap_call &c) {
  int count = 0;
  if (KRVSiisstatus(c.p->prob, &count, nullptr, nullptr, nullptr, nullptr) != 0) return -1;
  c.slots[0] = count;
  return allocate_outputs(c, kIisstatus, {0, 1, 2, 3});
}
int iisstatus_call(wrap_call &c) {
  int count = int(c.slots[0]);
  int rc = KRVSiisstatus(c.p->prob, &count, c.array<int>(0), c.array<int>(1), c.array<double>(2), c.array<int>(3));
  c.ints[kWrapMaxArgs - 1] = count;
  return rc;
}

// The isolation flags (-1, 0, 1) are signed bytes: they go to arrays 10 and
// 11, beyond the arguments, and are written as signed decimal text below.
int getiisdata_prepare(wrap_call &c) {
  int nrows = 0, ncols = 0;
  if (KRVSgetiisdata(c.p->prob, int(c.ints[0]), &nrows, &ncols, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr) != 0)
    return -1;
  c.slots[0] = nrows;
  c.slots[1] = ncols;
  if (allocate_outputs(c, kGetiisdata, {1, 2, 3, 4, 5, 6}) < 0) return -1;
  if (c.given(7) && wrap_allocate(c, 10, nrows, 1) < 0) return -1;
  if (c.given(8) && wrap_allocate(c, 11, ncols, 1) < 0) return -1;
  return 0;
}
int getiisdata_call(wrap_call &c) {
  int nrows = 0, ncols = 0;
  return KRVSgetiisdata(c.p->prob, int(c.ints[0]), &nrows, &ncols, c.array<int>(1), c.array<int>(2),
                        c.array<char>(3), c.array<char>(4), c.array<double>(5), c.array<double>(6),
                        c.array<char>(10), c.array<char>(11));
}
int fill_flags(PyObject *target, const signed char *flags, int64_t n) {
  if (!PyList_Check(target)) {
    PyErr_SetString(korvo_model_error, "Unexpected argument to conv_arr2obj");
    return -1;
  }
  if (PyList_GET_SIZE(target) > n && PyList_SetSlice(target, n, PyList_GET_SIZE(target), nullptr) < 0) return -1;
  for (int64_t k = 0; k < n; ++k) {
    PyObject *item = PyUnicode_FromFormat("%d", int(flags[k]));
    if (!item) return -1;
    if (k < PyList_GET_SIZE(target)) {
      if (PyList_SetItem(target, k, item) < 0) return -1;  // steals item, drops the old one
      continue;
    }
    const int rc = PyList_Append(target, item);
    Py_DECREF(item);
    if (rc < 0) return -1;
  }
  return 0;
}
PyObject *getiisdata_result(wrap_call &c) {
  if (c.given(7) && fill_flags(c.objects[7], c.array<signed char>(10), c.slots[0]) < 0) return nullptr;
  if (c.given(8) && fill_flags(c.objects[8], c.array<signed char>(11), c.slots[1]) < 0) return nullptr;
  return Py_NewRef(Py_None);
}

int iiswrite_call(wrap_call &c) {
  return KRVSiiswrite(c.p->prob, int(c.ints[0]), c.strs[1], int(c.ints[2]), c.strs[3] ? c.strs[3] : "");
}


// ---- repair ------------------------------------------------------------------
// A one-character argument (given as str or bytes) into ints[i].
int single_character(wrap_call &c, int i, const char *keyword) {
  const char *text = c.strs[i];
  if (!text || !text[0] || text[1]) {
    PyErr_Format(korvo_interface_error, "Argument %s must be a single character", keyword);
    return -1;
  }
  c.ints[i] = text[0];
  return 0;
}

int repairinfeas_prepare(wrap_call &c) {
  return single_character(c, 0, "penalty") < 0 || single_character(c, 1, "phase2") < 0 ||
                 single_character(c, 2, "flags") < 0
             ? -1
             : 0;
}
int repairinfeas_call(wrap_call &c) {
  int status = 0;
  int rc = KRVSrepairinfeas(c.p->prob, &status, char(c.ints[0]), char(c.ints[1]), char(c.ints[2]), c.dbls[3],
                            c.dbls[4], c.dbls[5], c.dbls[6], c.dbls[7]);
  c.ints[kWrapMaxArgs - 1] = status;
  return rc;
}

// Per-row arrays share slot 0 and must have one entry per row; per-column
// arrays slot 1, one per column.
int check_repair_lengths(wrap_call &c) {
  int64_t rows = 0, cols = 0;
  if (problem_size(c, 1124, rows) < 0 || problem_size(c, 1214, cols) < 0) return -1;
  for (int slot = 0; slot < 2; ++slot) {
    const int64_t expected = slot == 0 ? rows : cols;
    if (c.slots[slot] >= 0 && c.slots[slot] != expected) {
      PyErr_Format(korvo_model_error, "Mismatched lengths in arguments: expected %lld, found %lld",
                   static_cast<long long>(expected), static_cast<long long>(c.slots[slot]));
      return -1;
    }
  }
  return 0;
}

int repairweightedinfeas_prepare(wrap_call &c) {
  return check_repair_lengths(c) < 0 || single_character(c, 4, "phase2") < 0 ? -1 : 0;
}
int repairweightedinfeas_call(wrap_call &c) {
  int status = 0;
  int rc = KRVSrepairweightedinfeas(c.p->prob, &status, c.array<double>(0), c.array<double>(1), c.array<double>(2),
                                    c.array<double>(3), char(c.ints[4]), c.dbls[5], c.strs[6] ? c.strs[6] : "");
  c.ints[kWrapMaxArgs - 1] = status;
  return rc;
}

int repairweightedinfeasbounds_prepare(wrap_call &c) {
  return check_repair_lengths(c) < 0 || single_character(c, 8, "phase2") < 0 ? -1 : 0;
}
int repairweightedinfeasbounds_call(wrap_call &c) {
  int status = 0;
  int rc = KRVSrepairweightedinfeasbounds(c.p->prob, &status, c.array<double>(0), c.array<double>(1),
                                          c.array<double>(2), c.array<double>(3), c.array<double>(4),
                                          c.array<double>(5), c.array<double>(6), c.array<double>(7),
                                          char(c.ints[8]), c.dbls[9], c.strs[10] ? c.strs[10] : "");
  c.ints[kWrapMaxArgs - 1] = status;
  return rc;
}


// ---- tuning --------------------------------------------------------------------
// tune(flags=''): the solve protocol, as for lpoptimize: the interpreter lock
// is released while the runs go on.
int tune_call(wrap_call &c) {
  const char *flags = c.strs[0] ? c.strs[0] : "";
  KRVSprob prob = c.p->prob;
  int rc;
  problem_solving_scope solving(c.p);
  int slot = setSigIntHandler(c.p);
  Py_BEGIN_ALLOW_THREADS;
  rc = KRVStune(prob, flags);
  Py_END_ALLOW_THREADS;
  int interrupted = resetSigIntHandler(slot);
  c.p->last_solve_nonlinear = 0;
  if (interrupted < 0 || PyErr_Occurred()) return -1;
  return rc;
}
int tunerwritemethod_call(wrap_call &c) { return KRVStunerwritemethod(c.p->prob, c.strs[0]); }
int tunerreadmethod_call(wrap_call &c) { return KRVStunerreadmethod(c.p->prob, c.strs[0]); }
}  // namespace

// ---- the table ---------------------------------------------------------------
namespace {

const wrapper_def kObjsa{
    "objsa",
    KORVO_DOC("Returns the ranges of the objective coefficients over which the optimal basis stays optimal.",
              "p.objsa(colind, lower, upper)",
              KORVO_ARGS("colind: the columns (variables, names or indices);\n  lower, upper: lists that receive the "
                         "lowest and highest coefficient of each column (None: not required)."),
              "lo, up = [], []; p.objsa([x, y], lo, up)",
              "Needs the optimal basis of an LP solve; a MIP or a problem without an optimal basis raises "
              "SolverError. Infinite limits are +-1e20."),
    3,
    {{"colind", "mindex", WR_ARRAY, CONV_COL, 0, false},
     {"lower", "lower", WR_OUTLIST, CONV_DOUBLE, 0, false},
     {"upper", "upper", WR_OUTLIST, CONV_DOUBLE, 0, false}},
    objsa_prepare,
    objsa_call,
    nullptr};

const wrapper_def kRhssa{
    "rhssa",
    KORVO_DOC("Returns the ranges of the right-hand sides over which the optimal basis stays feasible.",
              "p.rhssa(rowind, lower, upper)",
              KORVO_ARGS("rowind: the rows (constraints, names or indices);\n  lower, upper: lists that receive the "
                         "lowest and highest right-hand side of each row (None: not required)."),
              "lo, up = [], []; p.rhssa([c1], lo, up)",
              "A row that is not binding may move up to its activity. Needs the optimal basis of an LP solve; "
              "infinite limits are +-1e20."),
    3,
    {{"rowind", "mindex", WR_ARRAY, CONV_ROW, 0, false},
     {"lower", "lower", WR_OUTLIST, CONV_DOUBLE, 0, false},
     {"upper", "upper", WR_OUTLIST, CONV_DOUBLE, 0, false}},
    rhssa_prepare,
    rhssa_call,
    nullptr};

const wrapper_def kBndsa{
    "bndsa",
    KORVO_DOC("Returns the ranges of the column bounds over which the optimal basis stays optimal.",
              "p.bndsa(colind, lblower=None, lbupper=None, ublower=None, ubupper=None)",
              KORVO_ARGS("colind: the columns;\n  lblower, lbupper: lists that receive the range of each lower "
                         "bound;\n  ublower, ubupper: the same for the upper bounds."),
              "a, b, c, d = [], [], [], []; p.bndsa([x], a, b, c, d)",
              "An inactive bound may move up to the column's value. Needs the optimal basis of an LP solve."),
    5,
    {{"colind", "mindex", WR_ARRAY, CONV_COL, 0, false},
     {"lblower", "lblower", WR_OUTLIST, CONV_DOUBLE, 0, true},
     {"lbupper", "lbupper", WR_OUTLIST, CONV_DOUBLE, 0, true},
     {"ublower", "ublower", WR_OUTLIST, CONV_DOUBLE, 0, true},
     {"ubupper", "ubupper", WR_OUTLIST, CONV_DOUBLE, 0, true}},
    bndsa_prepare,
    bndsa_call,
    nullptr};

const wrapper_def kEstimaterowdualranges{
    "estimaterowdualranges",
    KORVO_DOC("Estimates the least and largest dual value of rows over the optimal face.",
              "p.estimaterowdualranges(rowind, iterlim, mindual, maxdual)",
              KORVO_ARGS("rowind: the rows;\n  iterlim: simplex iterations allowed per re-solve;\n  mindual, maxdual: "
                         "lists that receive the estimates."),
              "lo, hi = [], []; p.estimaterowdualranges([c1], 100, lo, hi)",
              "The two values are the slopes of the optimal objective just below and just above the row's "
              "right-hand side; they differ where the dual solution is not unique."),
    4,
    {{"rowind", "rowIndices", WR_ARRAY, CONV_ROW, 0, false},
     {"iterlim", "iterationLimit", WR_INT, CONV_INT, -1, false},
     {"mindual", "minDualActivity", WR_OUTLIST, CONV_DOUBLE, 0, false},
     {"maxdual", "maxDualActivity", WR_OUTLIST, CONV_DOUBLE, 0, false}},
    estimaterowdualranges_prepare,
    estimaterowdualranges_call,
    nullptr};

const wrapper_def kGetprimalray{
    "getprimalray",
    KORVO_DOC("Returns a primal ray: a direction along which the problem is unbounded.", "p.getprimalray(ray)",
              KORVO_ARGS("ray: a list that receives one value per column."), "d = []; p.getprimalray(d)",
              "Raises SolverError when the last solve did not find the problem unbounded; see hasprimalray."),
    1,
    {{"ray", "ray", WR_OUTLIST, CONV_DOUBLE, 0, false}},
    primalray_prepare,
    getprimalray_call,
    nullptr};

const wrapper_def kGetdualray{
    "getdualray",
    KORVO_DOC("Returns a dual ray: row multipliers that prove the constraints infeasible.", "p.getdualray(dray)",
              KORVO_ARGS("dray: a list that receives one value per row."), "y = []; p.getdualray(y)",
              "For the multipliers y, the least value of y'r over the rows' ranges exceeds the largest value of "
              "(y'A)x over the column bounds. Raises SolverError when the last solve did not find the problem "
              "infeasible; see hasdualray."),
    1,
    {{"dray", "dray", WR_OUTLIST, CONV_DOUBLE, 0, false}},
    dualray_prepare,
    getdualray_call,
    nullptr};

const wrapper_def kHasprimalray{
    "hasprimalray",
    KORVO_DOC("Tells whether a primal ray of the last solve is available.", "p.hasprimalray()", KORVO_NO_ARGS,
              "if p.hasprimalray(): p.getprimalray(d)", "True only after a solve that found the problem unbounded."),
    0,
    {},
    nullptr,
    hasprimalray_call,
    bool_result};

const wrapper_def kHasdualray{
    "hasdualray",
    KORVO_DOC("Tells whether a dual ray of the last solve is available.", "p.hasdualray()", KORVO_NO_ARGS,
              "if p.hasdualray(): p.getdualray(y)",
              "True only after a solve that found the problem's constraints infeasible."),
    0,
    {},
    nullptr,
    hasdualray_call,
    bool_result};

const wrapper_def kGetunbvec{
    "getunbvec",
    KORVO_DOC("Returns the variable or constraint whose increase the primal simplex found unbounded.",
              "p.getunbvec()", KORVO_NO_ARGS, "v = p.getunbvec()",
              "Raises SolverError when the last LP solve did not end unbounded."),
    0,
    {},
    nullptr,
    getunbvec_call,
    getunbvec_result};

const wrapper_def kBasisstability{
    "basisstability",
    KORVO_DOC("Returns a condition estimate of the basis matrix of the last LP solve.",
              "p.basisstability(type, norm, scaled)",
              KORVO_ARGS("type: 0 the condition estimate, 1 the norm of the inverse, 2 the norm of the basis "
                         "matrix;\n  norm: 1 the 1-norm, 0 the infinity norm;\n  scaled: 1 measures the basis with "
                         "its columns scaled to largest entry 1."),
              "p.basisstability(0, 1, 0)", "The norm of the inverse is exact for bases of up to 200 rows, "
                                           "else Hager's estimate, a lower bound usually within a small factor."),
    3,
    {{"type", "type", WR_INT, CONV_INT, -1, false},
     {"norm", "norm", WR_INT, CONV_INT, -1, false},
     {"scaled", "ifscaled", WR_INT, CONV_INT, -1, false}},
    nullptr,
    basisstability_call,
    float_result};

const wrapper_def kStrongbranch{
    "strongbranch",
    KORVO_DOC("Re-solves the LP from its optimal basis with changed bounds, for a limited number of iterations.",
              "p.strongbranch(colind, bndtype, bndval, iterlim, objval, status)",
              KORVO_ARGS("colind: the columns;\n  bndtype: 'L' lower, 'U' upper or 'B' both bounds, one each;\n  "
                         "bndval: the new bound values;\n  iterlim: dual simplex iterations per re-solve;\n  objval, "
                         "status: lists that receive the objective reached and the LP status of each re-solve."),
              "obj, st = [], []; p.strongbranch([x, x], 'UL', [2, 3], 100, obj, st)",
              "Each bound change is undone after its re-solve. Status 1 optimal, 2 infeasible (objective +-1e20), "
              "4 stopped at the iteration limit."),
    6,
    {{"colind", "mbndind", WR_ARRAY, CONV_COL, 0, false},
     {"bndtype", "cbndtype", WR_ARRAY, CONV_CHAR, 0, false},
     {"bndval", "dbndval", WR_ARRAY, CONV_DOUBLE, 0, false},
     {"iterlim", "itrlimit", WR_INT, CONV_INT, -1, false},
     {"objval", "dsbobjval", WR_OUTLIST, CONV_DOUBLE, 0, false},
     {"status", "msbstatus", WR_OUTLIST, CONV_INT, 0, false}},
    strongbranch_prepare,
    strongbranch_call,
    nullptr};

const wrapper_def kIisfirst{
    "iisfirst",
    KORVO_DOC("Finds an irreducible infeasible set of rows and column bounds.", "status = p.iisfirst(mode)",
              KORVO_ARGS("mode: 0 an irreducible set, 1 only a quick infeasible subset (not reduced)."),
              "if p.iisfirst(0) == 0: p.getiisdata(1, rows, cols)",
              "Returns 0 when a set was found, 1 when the problem is feasible. Earlier sets are dropped."),
    1,
    {{"mode", "iismode", WR_INT, CONV_INT, -1, false}},
    nullptr,
    iisfirst_call,
    int_result};

const wrapper_def kIisnext{
    "iisnext",
    KORVO_DOC("Finds an irreducible infeasible set different from those found so far.", "status = p.iisnext()",
              KORVO_NO_ARGS, "while p.iisnext() == 0: pass",
              "Returns 0 when a new set was found, 1 when there is none, 2 when the search stopped at its limits."),
    0,
    {},
    nullptr,
    iisnext_call,
    int_result};

const wrapper_def kIisall{
    "iisall",
    KORVO_DOC("Finds every irreducible infeasible set (up to 1000).", "p.iisall()", KORVO_NO_ARGS,
              "p.iisall(); n = p.iisstatus(None, None, None, None)", "Earlier sets are dropped first."),
    0,
    {},
    nullptr,
    iisall_call,
    nullptr};

const wrapper_def kIisclear{
    "iisclear",
    KORVO_DOC("Drops the irreducible infeasible sets found so far.", "p.iisclear()", KORVO_NO_ARGS, "p.iisclear()",
              "Nothing else changes."),
    0,
    {},
    nullptr,
    iisclear_call,
    nullptr};

const wrapper_def kIisisolations{
    "iisisolations",
    KORVO_DOC("Finds which members of an infeasible set are isolations.", "p.iisisolations(iis)",
              KORVO_ARGS("iis: the set's number (from 1)."), "p.iisisolations(1)",
              "A member is an isolation when relaxing it alone makes the whole problem feasible; getiisdata "
              "returns the flags."),
    1,
    {{"iis", "num", WR_INT, CONV_INT, -1, false}},
    nullptr,
    iisisolations_call,
    nullptr};

const wrapper_def kIisstatus{
    "iisstatus",
    KORVO_DOC("Returns the number of infeasible sets found and their sizes.",
              "n = p.iisstatus(nrows, ncols, suminfeas, numinfeas)",
              KORVO_ARGS("nrows, ncols: lists that receive each set's number of rows and of column bounds;\n  "
                         "suminfeas: the least sum of violations of each set's members;\n  numinfeas: the number of "
                         "members violated then (None: not required)."),
              "rows, cols = [], []; n = p.iisstatus(rows, cols, None, None)",
              "The violations are those of the continuous relaxation."),
    4,
    {{"nrows", "rowsizes", WR_OUTLIST, CONV_INT, 0, false},
     {"ncols", "colsizes", WR_OUTLIST, CONV_INT, 0, false},
     {"suminfeas", "suminfeas", WR_OUTLIST, CONV_DOUBLE, 0, false},
     {"numinfeas", "numinfeas", WR_OUTLIST, CONV_INT, 0, false}},
    iisstatus_prepare,
    iisstatus_call,
    int_result};

const wrapper_def kGetiisdata{
    "getiisdata",
    KORVO_DOC("Returns the members of an infeasible set.",
              "p.getiisdata(iis, rowind=None, colind=None, contype=None, bndtype=None, duals=None, djs=None, "
              "isolationrows=None, isolationcols=None)",
              KORVO_ARGS("iis: the set's number (from 1);\n  rowind, colind: lists that receive its constraints and "
                         "the variables whose bounds it holds;\n  contype, bndtype: the row types and the bounds "
                         "('L' lower, 'U' upper);\n  duals, djs: the Farkas multipliers of the rows and bounds;\n  "
                         "isolationrows, isolationcols: '-1' not tested, '0' no, '1' an isolation."),
              "rows, cols = [], []; p.getiisdata(1, rows, cols)", "A column appears once per bound in the set."),
    9,
    {{"iis", "num", WR_INT, CONV_INT, -1, false},
     {"rowind", "miisrow", WR_OUTLIST, CONV_ROW, 0, true},
     {"colind", "miiscol", WR_OUTLIST, CONV_COL, 1, true},
     {"contype", "constrainttype", WR_OUTLIST, CONV_CHAR, 0, true},
     {"bndtype", "colbndtype", WR_OUTLIST, CONV_CHAR, 1, true},
     {"duals", "duals", WR_OUTLIST, CONV_DOUBLE, 0, true},
     {"djs", "rdcs", WR_OUTLIST, CONV_DOUBLE, 1, true},
     {"isolationrows", "isolationrows", WR_OUTLIST, CONV_CHARCODE, 0, true},
     {"isolationcols", "isolationcols", WR_OUTLIST, CONV_CHARCODE, 1, true}},
    getiisdata_prepare,
    getiisdata_call,
    getiisdata_result};

const wrapper_def kIiswrite{
    "iiswrite",
    KORVO_DOC("Writes an infeasible set as a model file.", "p.iiswrite(iis, filename, filetype, flags)",
              KORVO_ARGS("iis: the set's number (from 1);\n  filename: the file;\n  filetype: 0 LP format, 1 MPS;\n  "
                         "flags: unused, pass ''."),
              "p.iiswrite(1, 'conflict.lp', 0, '')",
              "The model has the set's rows, the columns in them with only the set's bounds, and a zero "
              "objective; reading it back gives an infeasible problem."),
    4,
    {{"iis", "num", WR_INT, CONV_INT, -1, false},
     {"filename", "fn", WR_STRING, CONV_STRING, -1, false},
     {"filetype", "type", WR_INT, CONV_INT, -1, false},
     {"flags", "typeflags", WR_STRING, CONV_STRING, -1, false}},
    nullptr,
    iiswrite_call,
    nullptr};



const wrapper_def kRepairinfeas{
    "repairinfeas",
    KORVO_DOC("Finds the least relaxation of rows and bounds that makes the problem feasible.",
              "status = p.repairinfeas(penalty, phase2, flags, lepref, gepref, lbpref, ubpref, delta)",
              KORVO_ARGS("penalty: 'l' sum of violations, 'q' sum of their squares, 'c' number of violated rows and "
                         "bounds;\n  phase2: 'o' then optimises the original objective within the relaxation, 'n' "
                         "stops after the relaxation;\n  flags: 'g' enforces discrete entities, 'n' repairs the "
                         "continuous relaxation;\n  lepref, gepref: preferences for relaxing the <= and >= sides of "
                         "rows;\n  lbpref, ubpref: for relaxing lower and upper bounds (a unit of violation costs "
                         "1/preference; 0 or less: that side stays);\n  delta: phase two may raise the penalty by "
                         "the factor 1 + delta (each violation, with 'q')."),
              "st = p.repairinfeas('l', 'o', 'n', 1, 1, 0, 0, 0.0)",
              "Returns 0 when the relaxation (and phase two) finished, 1 when even the relaxation is infeasible, 2 "
              "when phase two is unbounded (the relaxation's point is kept), 3 when a limit stopped it. The relaxed "
              "point becomes the problem's solution."),
    8,
    {{"penalty", "pflags", WR_STRING, CONV_STRING, -1, false},
     {"phase2", "oflags", WR_STRING, CONV_STRING, -1, false},
     {"flags", "gflags", WR_STRING, CONV_STRING, -1, false},
     {"lepref", "lrp", WR_DOUBLE, CONV_DOUBLE, -1, false},
     {"gepref", "grp", WR_DOUBLE, CONV_DOUBLE, -1, false},
     {"lbpref", "lbp", WR_DOUBLE, CONV_DOUBLE, -1, false},
     {"ubpref", "ubp", WR_DOUBLE, CONV_DOUBLE, -1, false},
     {"delta", "delta", WR_DOUBLE, CONV_DOUBLE, -1, false}},
    repairinfeas_prepare,
    repairinfeas_call,
    int_result};

const wrapper_def kRepairweightedinfeas{
    "repairweightedinfeas",
    KORVO_DOC("Finds the least weighted relaxation of rows and bounds that makes the problem feasible.",
              "status = p.repairweightedinfeas(lepref, gepref, lbpref, ubpref, phase2, delta, flags)",
              KORVO_ARGS("lepref, gepref: one preference per row for relaxing its <= and >= side (None: none "
                         "relaxed);\n  lbpref, ubpref: one per column for its lower and upper bound;\n  phase2: 'o' "
                         "or 'n' as in repairinfeas;\n  delta: the factor allowance of phase two;\n  flags: 'g' "
                         "enforce discrete entities (the default), 'n' continuous relaxation, 'd', 'p' or 'b' the "
                         "algorithm."),
              "st = p.repairweightedinfeas([1, 2], [1, 1], None, None, 'n', 0.0, '')",
              "The penalty is the weighted sum of violations; statuses as for repairinfeas."),
    7,
    {{"lepref", "lrp_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 0, false},
     {"gepref", "grp_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 0, false},
     {"lbpref", "lbp_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 1, false},
     {"ubpref", "ubp_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 1, false},
     {"phase2", "phase2", WR_STRING, CONV_STRING, -1, false},
     {"delta", "delta", WR_DOUBLE, CONV_DOUBLE, -1, false},
     {"flags", "optflags", WR_STRING, CONV_STRING, -1, false}},
    repairweightedinfeas_prepare,
    repairweightedinfeas_call,
    int_result};

const wrapper_def kRepairweightedinfeasbounds{
    "repairweightedinfeasbounds",
    KORVO_DOC("Finds the least weighted relaxation of rows and bounds, each within a limit.",
              "status = p.repairweightedinfeasbounds(lepref, gepref, lbpref, ubpref, lerelax, gerelax, lbrelax, "
              "ubrelax, phase2, delta, flags)",
              KORVO_ARGS("lepref, gepref, lbpref, ubpref: preferences as in repairweightedinfeas;\n  lerelax, "
                         "gerelax, lbrelax, ubrelax: the most each side may move (1e20: no limit; None: no "
                         "limits);\n  phase2, delta, flags: as in repairweightedinfeas."),
              "st = p.repairweightedinfeasbounds([1], [1], None, None, [2], [2], None, None, 'n', 0.0, '')",
              "Statuses as for repairinfeas; 1 also when the limits leave the problem infeasible."),
    11,
    {{"lepref", "lrp_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 0, false},
     {"gepref", "grp_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 0, false},
     {"lbpref", "lbp_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 1, false},
     {"ubpref", "ubp_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 1, false},
     {"lerelax", "lrb_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 0, false},
     {"gerelax", "grb_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 0, false},
     {"lbrelax", "lbb_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 1, false},
     {"ubrelax", "ubb_array", WR_ARRAY_OR_NONE, CONV_DOUBLE, 1, false},
     {"phase2", "phase2", WR_STRING, CONV_STRING, -1, false},
     {"delta", "delta", WR_DOUBLE, CONV_DOUBLE, -1, false},
     {"flags", "optflags", WR_STRING, CONV_STRING, -1, false}},
    repairweightedinfeasbounds_prepare,
    repairweightedinfeasbounds_call,
    int_result};

const wrapper_def kTune{
    "tune",
    KORVO_DOC("Solves the problem under several combinations of controls and keeps the fastest.", "p.tune(flags='')",
              KORVO_ARGS("flags: 'l' tunes the LP solve, 'g' the MIP solve; empty: the problem's class decides."),
              "p.tune('')",
              "LPs try presolve, the algorithm and scaling; MIPs presolve and the heuristic effort. Each run stops "
              "at a little more than twice the fastest time so far, and all of them within the timelimit control. "
              "The winner's controls are set and its results kept; tunerwritemethod writes them."),
    1,
    {{"flags", "flags", WR_STRING, CONV_STRING, -1, true}},
    nullptr,
    tune_call,
    nullptr};

const wrapper_def kTunerwritemethod{
    "tunerwritemethod",
    KORVO_DOC("Writes the controls chosen by the last tune to a method file.", "p.tunerwritemethod(methodfile)",
              KORVO_ARGS("methodfile: the file to write."), "p.tunerwritemethod('method.txt')",
              "Plain text: the line \"korvo tuner method 1\", then \"name = value\" per control; '#' starts a "
              "comment. Without a tune the problem's current values of those controls are written."),
    1,
    {{"methodfile", "methodfile", WR_STRING, CONV_STRING, -1, false}},
    nullptr,
    tunerwritemethod_call,
    nullptr};

const wrapper_def kTunerreadmethod{
    "tunerreadmethod",
    KORVO_DOC("Reads a method file and sets its controls.", "p.tunerreadmethod(methodfile)",
              KORVO_ARGS("methodfile: a file written by tunerwritemethod (or by hand in its format)."),
              "p.tunerreadmethod('method.txt')",
              "Every line is checked first; a bad line (unknown control, value out of range) changes nothing."),
    1,
    {{"methodfile", "methodfile", WR_STRING, CONV_STRING, -1, false}},
    nullptr,
    tunerreadmethod_call,
    nullptr};

PyMethodDef analysis_methods[] = {
    KORVO_WRAPPER_METHOD(kObjsa),         KORVO_WRAPPER_METHOD(kRhssa),
    KORVO_WRAPPER_METHOD(kBndsa),         KORVO_WRAPPER_METHOD(kEstimaterowdualranges),
    KORVO_WRAPPER_METHOD(kGetprimalray),  KORVO_WRAPPER_METHOD(kGetdualray),
    KORVO_WRAPPER_METHOD(kHasprimalray),  KORVO_WRAPPER_METHOD(kHasdualray),
    KORVO_WRAPPER_METHOD(kGetunbvec),     KORVO_WRAPPER_METHOD(kBasisstability),
    KORVO_WRAPPER_METHOD(kStrongbranch),  KORVO_WRAPPER_METHOD(kIisfirst),
    KORVO_WRAPPER_METHOD(kIisnext),       KORVO_WRAPPER_METHOD(kIisall),
    KORVO_WRAPPER_METHOD(kIisclear),      KORVO_WRAPPER_METHOD(kIisisolations),
    KORVO_WRAPPER_METHOD(kIisstatus),     KORVO_WRAPPER_METHOD(kGetiisdata),
    KORVO_WRAPPER_METHOD(kIiswrite),      KORVO_WRAPPER_METHOD(kRepairinfeas),
    KORVO_WRAPPER_METHOD(kRepairweightedinfeas), KORVO_WRAPPER_METHOD(kRepairweightedinfeasbounds),
    KORVO_WRAPPER_METHOD(kTune),          KORVO_WRAPPER_METHOD(kTunerwritemethod),
    KORVO_WRAPPER_METHOD(kTunerreadmethod), {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(analysis_methods);
