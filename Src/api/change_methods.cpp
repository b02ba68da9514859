// Problem methods that change the engine's copy of the model in place:
// bounds, types, thresholds, coefficients (linear and quadratic), the
// objective and its sense, right-hand sides, ranges and row types.
#include <Python.h>

#include <climits>

#include "api/conversion.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "krvs.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"

namespace {

constexpr int kNonlinearSenseControl = 12146;

// The shared length of a call's arrays as the engine's 32-bit count.
int count_of(const wrap_call &c, int slot = 0) { return int(c.slots[slot] < 0 ? 0 : c.slots[slot]); }

// Arrays of one call longer than the engine's counts can hold are refused
// before anything changes.
int check_count(wrap_call &c) {
  if (c.slots[0] > INT_MAX) {
    PyErr_Format(korvo_model_error, "Too many entries in one call: %lld (at most %d)", (long long)c.slots[0], INT_MAX);
    return -1;
  }
  return 0;
}

int chgbounds_call(wrap_call &c) {
  return KRVSchgbounds(c.p->prob, count_of(c), c.array<int>(0), c.array<char>(1), c.array<double>(2));
}
int chgcoef_call(wrap_call &c) { return KRVSchgcoef(c.p->prob, int(c.ints[0]), int(c.ints[1]), c.dbls[2]); }
int chgcoltype_call(wrap_call &c) {
  return KRVSchgcoltype(c.p->prob, count_of(c), c.array<int>(0), c.array<char>(1));
}
int chgglblimit_call(wrap_call &c) {
  return KRVSchgglblimit(c.p->prob, count_of(c), c.array<int>(0), c.array<double>(1));
}
int chgmcoef_call(wrap_call &c) {
  return KRVSchgmcoef(c.p->prob, count_of(c), c.array<int>(0), c.array<int>(1), c.array<double>(2));
}
int chgmqobj_call(wrap_call &c) {
  return KRVSchgmqobj64(c.p->prob, c.slots[0] < 0 ? 0 : c.slots[0], c.array<int>(0), c.array<int>(1),
                        c.array<double>(2));
}

// A nonlinear problem's built formulation is taken back first, so that the
// next nonlinear solve sees the new objective.
int chgobj_prepare(wrap_call &c) { return check_count(c) < 0 || check_nl_unconstruct(c.p) < 0 ? -1 : 0; }
int chgobj_call(wrap_call &c) { return KRVSchgobj(c.p->prob, count_of(c), c.array<int>(0), c.array<double>(1)); }

// Only 1 and -1 are senses: any other number is refused rather than taken
// for one of them.
int chgobjsense_prepare(wrap_call &c) {
  if (c.ints[0] != 1 && c.ints[0] != -1) {
    PyErr_Format(korvo_model_error, "Invalid optimization sense %lld: use 1 (minimize) or -1 (maximize)",
                 c.ints[0]);
    return -1;
  }
  return 0;
}
int chgobjsense_call(wrap_call &c) {
  if (problem_is_nonlinear(c.p)) return KNLSsetdblcontrol(c.p->nlprob, kNonlinearSenseControl, double(c.ints[0]));
  return KRVSchgobjsense(c.p->prob, int(c.ints[0]));
}
int chgqobj_call(wrap_call &c) { return KRVSchgqobj(c.p->prob, int(c.ints[0]), int(c.ints[1]), c.dbls[2]); }
int chgqrowcoeff_call(wrap_call &c) {
  return KRVSchgqrowcoeff(c.p->prob, int(c.ints[0]), int(c.ints[1]), int(c.ints[2]), c.dbls[3]);
}
int chgrhs_call(wrap_call &c) { return KRVSchgrhs(c.p->prob, count_of(c), c.array<int>(0), c.array<double>(1)); }
int chgrhsrange_call(wrap_call &c) {
  return KRVSchgrhsrange(c.p->prob, count_of(c), c.array<int>(0), c.array<double>(1));
}
int chgrowtype_call(wrap_call &c) {
  return KRVSchgrowtype(c.p->prob, count_of(c), c.array<int>(0), c.array<char>(1));
}
int addqmatrix_call(wrap_call &c) {
  return KRVSaddqmatrix64(c.p->prob, int(c.ints[0]), c.slots[0] < 0 ? 0 : c.slots[0], c.array<int>(1),
                          c.array<int>(2), c.array<double>(3));
}
int delqmatrix_call(wrap_call &c) { return KRVSdelqmatrix(c.p->prob, int(c.ints[0])); }

#define COLS_ARG(kw, legacy) {kw, legacy, WR_ARRAY, CONV_COL, 0, false}
#define ROWS_ARG(kw, legacy) {kw, legacy, WR_ARRAY, CONV_ROW, 0, false}
#define DOUBLES_ARG(kw, legacy) {kw, legacy, WR_ARRAY, CONV_DOUBLE, 0, false}
#define CHARS_ARG(kw, legacy) {kw, legacy, WR_ARRAY, CONV_CHAR, 0, false}

const wrapper_def kChgbounds{
    "chgbounds",
    KORVO_DOC("Changes bounds of columns.", "p.chgbounds(colind, bndtype, bndval)",
              KORVO_ARGS("colind: columns (variables, names or indices);\n  bndtype: per entry 'L' lower, 'U' upper "
                         "or 'B' both bounds;\n  bndval: the new bounds (1e20 and beyond: infinite)."),
              "p.chgbounds([x, y], ['U', 'B'], [4, 1])",
              "All three have one length. Legacy keywords: mindex, qbtype, bnd."),
    3,
    {COLS_ARG("colind", "mindex"), CHARS_ARG("bndtype", "qbtype"), DOUBLES_ARG("bndval", "bnd")},
    check_count,
    chgbounds_call,
    nullptr};

const wrapper_def kChgcoef{
    "chgcoef",
    KORVO_DOC("Changes one coefficient of the constraint matrix.", "p.chgcoef(row, col, coef)",
              KORVO_ARGS("row: a constraint, name or index;\n  col: a variable, name or index;\n  coef: the new "
                         "coefficient (0 removes it)."),
              "p.chgcoef(c1, x, 2.5)", "Legacy keywords: irow, icol, dval."),
    3,
    {{"row", "irow", WR_INDEX, CONV_ROW, -1, false},
     {"col", "icol", WR_INDEX, CONV_COL, -1, false},
     {"coef", "dval", WR_DOUBLE, CONV_DOUBLE, -1, false}},
    nullptr,
    chgcoef_call,
    nullptr};

const wrapper_def kChgcoltype{
    "chgcoltype",
    KORVO_DOC("Changes the types of columns.", "p.chgcoltype(colind, coltype)",
              KORVO_ARGS("colind: columns;\n  coltype: per column 'C' continuous, 'B' binary, 'I' integer, 'S' "
                         "semi-continuous, 'R' semi-integer, 'P' partially integer."),
              "p.chgcoltype([x, y], 'IB')",
              "Type 'B' clamps the bounds to [0, 1]; thresholds of 'S', 'R', 'P' are set with chgglblimit. Legacy "
              "keywords: mindex, qctype."),
    2,
    {COLS_ARG("colind", "mindex"), CHARS_ARG("coltype", "qctype")},
    check_count,
    chgcoltype_call,
    nullptr};

const wrapper_def kChgglblimit{
    "chgglblimit",
    KORVO_DOC("Changes the thresholds of semi-continuous, semi-integer and partially integer columns.",
              "p.chgglblimit(colind, limit)",
              KORVO_ARGS("colind: columns of type 'S', 'R' or 'P';\n  limit: their new thresholds."),
              "p.chgglblimit([s], [2.0])", "Legacy keywords: mindex, dlimit."),
    2,
    {COLS_ARG("colind", "mindex"), DOUBLES_ARG("limit", "dlimit")},
    check_count,
    chgglblimit_call,
    nullptr};

const wrapper_def kChgmcoef{
    "chgmcoef",
    KORVO_DOC("Changes several coefficients of the constraint matrix.", "p.chgmcoef(rowind, colind, rowcoef)",
              KORVO_ARGS("rowind: rows;\n  colind: columns;\n  rowcoef: the new coefficients (0 removes one)."),
              "p.chgmcoef([c1, c2], [x, x], [1, -1])", "Legacy keywords: mrow, mcol, dval."),
    3,
    {ROWS_ARG("rowind", "mrow"), COLS_ARG("colind", "mcol"), DOUBLES_ARG("rowcoef", "dval")},
    check_count,
    chgmcoef_call,
    nullptr};

const wrapper_def kChgmqobj{
    "chgmqobj",
    KORVO_DOC("Changes several coefficients of the quadratic objective.", "p.chgmqobj(objqcol1, objqcol2, objqcoef)",
              KORVO_ARGS("objqcol1, objqcol2: the two columns of each entry;\n  objqcoef: the new entries Q_ij of "
                         "the objective's 0.5 x'Qx (0 removes one)."),
              "p.chgmqobj([x, x], [x, y], [2, 1])",
              "An entry (i, j), i != j, sets both Q_ij and Q_ji: the objective gains Q_ij x_i x_j. Legacy keywords: "
              "mqcol1, mqcol2, dval."),
    3,
    {COLS_ARG("objqcol1", "mqcol1"), COLS_ARG("objqcol2", "mqcol2"), DOUBLES_ARG("objqcoef", "dval")},
    nullptr,
    chgmqobj_call,
    nullptr};

const wrapper_def kChgobj{
    "chgobj",
    KORVO_DOC("Changes linear objective coefficients.", "p.chgobj(colind, objcoef)",
              KORVO_ARGS("colind: columns (index -1: the objective's constant, given negated);\n  objcoef: the new "
                         "coefficients."),
              "p.chgobj([x, y], [1, -2])", "Legacy keywords: mindex, obj."),
    2,
    {COLS_ARG("colind", "mindex"), DOUBLES_ARG("objcoef", "obj")},
    chgobj_prepare,
    chgobj_call,
    nullptr};

const wrapper_def kChgobjsense{
    "chgobjsense",
    KORVO_DOC("Changes the objective sense.", "p.chgobjsense(objsense)",
              KORVO_ARG("objsense: 1 (korvo.minimize) or -1 (korvo.maximize)."), "p.chgobjsense(korvo.maximize)",
              "Other values are refused. Legacy keyword: sense."),
    1,
    {{"objsense", "sense", WR_INT, CONV_INT, -1, false}},
    chgobjsense_prepare,
    chgobjsense_call,
    nullptr};

const wrapper_def kChgqobj{
    "chgqobj",
    KORVO_DOC("Changes one coefficient of the quadratic objective.", "p.chgqobj(objqcol1, objqcol2, objqcoef)",
              KORVO_ARGS("objqcol1, objqcol2: two columns (the same for a square term);\n  objqcoef: the new entry "
                         "Q_ij of the objective's 0.5 x'Qx."),
              "p.chgqobj(x, x, 2.0)  # objective gains x**2",
              "An entry (i, j), i != j, sets Q_ij and Q_ji: the objective gains objqcoef x_i x_j. Legacy keywords: "
              "icol, jcol, dval."),
    3,
    {{"objqcol1", "icol", WR_INDEX, CONV_COL, -1, false},
     {"objqcol2", "jcol", WR_INDEX, CONV_COL, -1, false},
     {"objqcoef", "dval", WR_DOUBLE, CONV_DOUBLE, -1, false}},
    nullptr,
    chgqobj_call,
    nullptr};

const wrapper_def kChgqrowcoeff{
    "chgqrowcoeff",
    KORVO_DOC("Changes one coefficient of a row's quadratic part.", "p.chgqrowcoeff(row, rowqcol1, rowqcol2, rowqcoef)",
              KORVO_ARGS("row: a constraint, name or index;\n  rowqcol1, rowqcol2: two columns;\n  rowqcoef: the new "
                         "entry Q_ij of the row's x'Qx (0 removes it)."),
              "p.chgqrowcoeff(c1, x, y, 0.5)  # the row gains x*y",
              "An entry (i, j), i != j, stands for Q_ij and Q_ji: the row gains 2 rowqcoef x_i x_j. Legacy keywords: "
              "irow, icol, jcol, dval."),
    4,
    {{"row", "irow", WR_INDEX, CONV_ROW, -1, false},
     {"rowqcol1", "icol", WR_INDEX, CONV_COL, -1, false},
     {"rowqcol2", "jcol", WR_INDEX, CONV_COL, -1, false},
     {"rowqcoef", "dval", WR_DOUBLE, CONV_DOUBLE, -1, false}},
    nullptr,
    chgqrowcoeff_call,
    nullptr};

const wrapper_def kChgrhs{
    "chgrhs",
    KORVO_DOC("Changes right-hand sides of rows.", "p.chgrhs(rowind, rhs)",
              KORVO_ARGS("rowind: rows (constraints, names or indices);\n  rhs: the new right-hand sides."),
              "p.chgrhs([c1], [10])", "Legacy keyword: mindex."),
    2,
    {ROWS_ARG("rowind", "mindex"), DOUBLES_ARG("rhs", "rhs")},
    check_count,
    chgrhs_call,
    nullptr};

const wrapper_def kChgrhsrange{
    "chgrhsrange",
    KORVO_DOC("Makes rows range rows with the given ranges.", "p.chgrhsrange(rowind, rng)",
              KORVO_ARGS("rowind: rows;\n  rng: the ranges (their magnitudes count)."), "p.chgrhsrange([c1], [3])",
              "An 'L', 'E' or 'N' row keeps its right-hand side as the upper end, a 'G' row as the lower end. Legacy "
              "keyword: mindex."),
    2,
    {ROWS_ARG("rowind", "mindex"), DOUBLES_ARG("rng", "rng")},
    check_count,
    chgrhsrange_call,
    nullptr};

const wrapper_def kChgrowtype{
    "chgrowtype",
    KORVO_DOC("Changes the types of rows.", "p.chgrowtype(rowind, rowtype)",
              KORVO_ARGS("rowind: rows;\n  rowtype: per row 'L' (<=), 'G' (>=), 'E' (=), 'R' (range) or 'N' (free)."),
              "p.chgrowtype([c1, c2], 'GE')", "Legacy keywords: mindex, qrtype."),
    2,
    {ROWS_ARG("rowind", "mindex"), CHARS_ARG("rowtype", "qrtype")},
    check_count,
    chgrowtype_call,
    nullptr};

const wrapper_def kAddqmatrix{
    "addqmatrix",
    KORVO_DOC("Adds to the quadratic part of a row.", "p.addqmatrix(row, rowqcol1, rowqcol2, rowqcoef)",
              KORVO_ARGS("row: a constraint, name or index;\n  rowqcol1, rowqcol2: the two columns of each entry;\n  "
                         "rowqcoef: entries Q_ij of the row's x'Qx, added to what is there."),
              "p.addqmatrix(c1, [x, x], [x, y], [1, 0.5])  # the row gains x**2 + x*y",
              "An entry (i, j), i != j, stands for Q_ij and Q_ji. Legacy keywords: irow, mqc1, mqc2, dqe."),
    4,
    {{"row", "irow", WR_INDEX, CONV_ROW, -1, false},
     COLS_ARG("rowqcol1", "mqc1"),
     COLS_ARG("rowqcol2", "mqc2"),
     DOUBLES_ARG("rowqcoef", "dqe")},
    nullptr,
    addqmatrix_call,
    nullptr};

const wrapper_def kDelqmatrix{
    "delqmatrix",
    KORVO_DOC("Removes the quadratic part of a row.", "p.delqmatrix(row)",
              KORVO_ARG("row: a constraint, name or index."), "p.delqmatrix(c1)",
              "The row's linear part stays."),
    1,
    {{"row", "row", WR_INDEX, CONV_ROW, -1, false}},
    nullptr,
    delqmatrix_call,
    nullptr};

PyMethodDef change_methods[] = {KORVO_WRAPPER_METHOD(kAddqmatrix),   KORVO_WRAPPER_METHOD(kChgbounds),
                                KORVO_WRAPPER_METHOD(kChgcoef),      KORVO_WRAPPER_METHOD(kChgcoltype),
                                KORVO_WRAPPER_METHOD(kChgglblimit),  KORVO_WRAPPER_METHOD(kChgmcoef),
                                KORVO_WRAPPER_METHOD(kChgmqobj),     KORVO_WRAPPER_METHOD(kChgobj),
                                KORVO_WRAPPER_METHOD(kChgobjsense),  KORVO_WRAPPER_METHOD(kChgqobj),
                                KORVO_WRAPPER_METHOD(kChgqrowcoeff), KORVO_WRAPPER_METHOD(kChgrhs),
                                KORVO_WRAPPER_METHOD(kChgrhsrange),  KORVO_WRAPPER_METHOD(kChgrowtype),
                                KORVO_WRAPPER_METHOD(kDelqmatrix),   {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(change_methods);
