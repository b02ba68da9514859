// Problem methods on controls, the log, messages and the problem name, and
// those that hand the next solve a starting basis or point, or scaling.
#include <Python.h>

#include <climits>

#include "api/conversion.h"
#include "api/wrapper_table.h"
#include "knls.h"
#include "krvs.h"
#include "problem/controls.h"
#include "problem/problem.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"

namespace {

constexpr int kRowsAttrib = 1124, kColsAttrib = 1214;
constexpr int kPresolvedRowsAttrib = 1001, kPresolvedColsAttrib = 1018;

// copycontrols(src): every control of the optimizer and of the nonlinear solver.
int copycontrols_prepare(wrap_call &c) {
  if (!PyObject_TypeCheck(c.objects[0], &korvo_problemType)) {
    PyErr_SetString(korvo_model_error, "A problem must be passed for copying controls");
    return -1;
  }
  return 0;
}
int copycontrols_call(wrap_call &c) {
  auto *src = reinterpret_cast<problem_s *>(c.objects[0]);
  if (src == c.p) return 0;
  int rc = KRVScopycontrols(c.p->prob, src->prob);
  if (rc == 0 && c.p->nlprob && src->nlprob) rc = KNLScopycontrols(c.p->nlprob, src->nlprob);
  return rc;
}

// setdefaultcontrol(control): the control's id from the module's name table.
int setdefaultcontrol_prepare(wrap_call &c) {
  char lower[1025];
  if (to_lowercase_all(c.strs[0], lower) < 0) return -1;
  PyObject *info = nullptr;
  int id = 0, type = 0, kind = 0;
  {
    MutexGuard lock(krv_py_env.mutexes[MUTEX_CTRL_INFO]);
    info = PyDict_GetItemString(krv_py_env.ctrl_info, lower);
    if (info && PyTuple_Check(info) && PyTuple_GET_SIZE(info) == 3) {
      id = int(PyLong_AsLong(PyTuple_GET_ITEM(info, 0)));
      type = int(PyLong_AsLong(PyTuple_GET_ITEM(info, 1)));
      kind = int(PyLong_AsLong(PyTuple_GET_ITEM(info, 2)));
    } else {
      info = nullptr;
    }
  }
  if (PyErr_Occurred()) return -1;
  if (!info) {
    PyErr_SetString(korvo_interface_error, "Incorrect control name");
    return -1;
  }
  (void)type;
  c.ints[1] = id;
  c.ints[2] = kind;
  return 0;
}
int setdefaultcontrol_call(wrap_call &c) {
  if (c.ints[2] == LIBKIND_OPTIMIZER) return KRVSsetdefaultcontrol(c.p->prob, int(c.ints[1]));
  if (!c.p->nlprob) {
    PyErr_Format(korvo_interface_error, "Control %s belongs to the nonlinear solver, which this problem lacks",
                 c.strs[0]);
    return -1;
  }
  return KNLSsetdefaultcontrol(c.p->nlprob, int(c.ints[1]));
}

int setdefaults_call(wrap_call &c) { return KRVSsetdefaults(c.p->prob); }
int setlogfile_call(wrap_call &c) { return KRVSsetlogfile(c.p->prob, c.strs[0]); }
int setmessagestatus_prepare(wrap_call &c) {
  if (c.ints[0] < INT_MIN || c.ints[0] > INT_MAX || c.ints[1] < INT_MIN || c.ints[1] > INT_MAX) {
    PyErr_SetString(korvo_model_error, "Message code and status must fit 32-bit integers");
    return -1;
  }
  return 0;
}
int setmessagestatus_call(wrap_call &c) { return KRVSsetmessagestatus(c.p->prob, int(c.ints[0]), int(c.ints[1])); }
int getmessagestatus_prepare(wrap_call &c) {
  if (c.ints[0] < INT_MIN || c.ints[0] > INT_MAX) {
    PyErr_SetString(korvo_model_error, "Message code must fit a 32-bit integer");
    return -1;
  }
  return 0;
}
int getmessagestatus_call(wrap_call &c) {
  int status = 0;
  const int rc = KRVSgetmessagestatus(c.p->prob, int(c.ints[0]), &status);
  c.ints[1] = status;
  return rc;
}
PyObject *getmessagestatus_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[1]); }
int setprobname_call(wrap_call &c) { return KRVSsetprobname(c.p->prob, c.strs[0]); }


// The length of array argument i must be `expected` (the engine reads that many).
int check_length(const wrap_call &c, int slot, int64_t expected) {
  if (c.slots[slot] >= 0 && c.slots[slot] != expected) {
    PyErr_Format(korvo_model_error, "Mismatched lengths in arguments: expected %lld, found %lld", (long long)expected,
                 (long long)c.slots[slot]);
    return -1;
  }
  return 0;
}

int check_lengths(wrap_call &c, int rows_attrib, int cols_attrib) {
  int64_t rows = 0, cols = 0;
  if (KRVSgetintattrib64(c.p->prob, rows_attrib, &rows) != 0 || KRVSgetintattrib64(c.p->prob, cols_attrib, &cols) != 0)
    return -1;  // the engine's error is raised by the common path
  return check_length(c, 0, rows) < 0 || check_length(c, 1, cols) < 0 ? -1 : 0;
}

int scale_call(wrap_call &c) { return KRVSscale(c.p->prob, c.array<int>(0), c.array<int>(1)); }
// The engine reads one exponent per row and per column.
int scale_prepare(wrap_call &c) {
  int64_t rows = 0, cols = 0;
  if (KRVSgetintattrib64(c.p->prob, kRowsAttrib, &rows) != 0 || KRVSgetintattrib64(c.p->prob, kColsAttrib, &cols) != 0)
    return -1;
  return check_length(c, 0, rows) < 0 || check_length(c, 1, cols) < 0 ? -1 : 0;
}

int loadbasis_prepare(wrap_call &c) { return check_lengths(c, kRowsAttrib, kColsAttrib); }
int loadbasis_call(wrap_call &c) { return KRVSloadbasis(c.p->prob, c.array<int>(0), c.array<int>(1)); }
int loadpresolvebasis_prepare(wrap_call &c) { return check_lengths(c, kPresolvedRowsAttrib, kPresolvedColsAttrib); }
int loadpresolvebasis_call(wrap_call &c) {
  return KRVSloadpresolvebasis(c.p->prob, c.array<int>(0), c.array<int>(1));
}

// loadlpsol(x, slack, duals, djs): columns, rows, rows, columns.
int loadlpsol_prepare(wrap_call &c) {
  int64_t rows = 0, cols = 0;
  if (KRVSgetintattrib64(c.p->prob, kRowsAttrib, &rows) != 0 || KRVSgetintattrib64(c.p->prob, kColsAttrib, &cols) != 0)
    return -1;
  return check_length(c, 0, cols) < 0 || check_length(c, 1, rows) < 0 || check_length(c, 2, rows) < 0 ||
                 check_length(c, 3, cols) < 0
             ? -1
             : 0;
}
int loadlpsol_call(wrap_call &c) {
  int status = 0;
  int rc = KRVSloadlpsol(c.p->prob, c.array<double>(0), c.array<double>(1), c.array<double>(2), c.array<double>(3),
                         &status);
  c.ints[0] = status;
  return rc;
}
PyObject *loadlpsol_result(wrap_call &c) { return PyLong_FromLongLong(c.ints[0]); }

const wrapper_def kCopycontrols{
    "copycontrols",
    KORVO_DOC("Copies every control of another problem onto this one.", "p.copycontrols(src)",
              KORVO_ARG("src: the problem whose controls are copied."), "p.copycontrols(q)",
              "The optimizer's and the nonlinear solver's controls are copied."),
    1,
    {{"src", "src", WR_OBJECT, CONV_OBJECT, -1, false}},
    copycontrols_prepare,
    copycontrols_call,
    nullptr};

const wrapper_def kSetdefaultcontrol{
    "setdefaultcontrol",
    KORVO_DOC("Resets one control of the optimizer or of the nonlinear solver to its default value.",
              "p.setdefaultcontrol(control)",
              KORVO_ARG("control: the control's name (all lower or all upper case)."), "p.setdefaultcontrol('presolve')",
              "Legacy keyword: ipar."),
    1,
    {{"control", "ipar", WR_STRING, CONV_STRING, -1, false}},
    setdefaultcontrol_prepare,
    setdefaultcontrol_call,
    nullptr};

const wrapper_def kSetdefaults{"setdefaults",
                               KORVO_DOC("Resets every optimizer control of the problem to its default value.",
                                         "p.setdefaults()", KORVO_NO_ARGS, "p.setdefaults()",
                                         "The module-wide defaults of korvo.controls are not applied again."),
                               0,
                               {},
                               nullptr,
                               setdefaults_call,
                               nullptr};

const wrapper_def kSetlogfile{
    "setlogfile",
    KORVO_DOC("Writes the problem's log to a file as well.", "p.setlogfile(filename)",
              KORVO_ARG("filename: the file, appended to; an empty name closes the current one."),
              "p.setlogfile('run.log')", "The lines also go to the message handlers and standard output as before."),
    1,
    {{"filename", "filename", WR_STRING, CONV_STRING, -1, false}},
    nullptr,
    setlogfile_call,
    nullptr};

const wrapper_def kSetmessagestatus{
    "setmessagestatus",
    KORVO_DOC("Shows or drops the log lines of one message code.", "p.setmessagestatus(msgcode, status)",
              KORVO_ARGS("msgcode: 101 solve start, 102 warm start, 103 solve summary, 104 solve failure, 201/202/"
                         "203 the solver's information, warning and error lines, 301 the nonlinear solver's "
                         "iterations;\n  status: 0 drops the lines, any other value shows them."),
              "p.setmessagestatus(201, 0)", "Legacy keyword: errcode."),
    2,
    {{"msgcode", "errcode", WR_INT, CONV_INT, -1, false}, {"status", "status", WR_INT, CONV_INT, -1, false}},
    setmessagestatus_prepare,
    setmessagestatus_call,
    nullptr};

const wrapper_def kGetmessagestatus{
    "getmessagestatus",
    KORVO_DOC("Tells whether the log lines of one message code are shown.", "status = p.getmessagestatus(msgcode)",
              KORVO_ARG("msgcode: a message code as for setmessagestatus."), "p.getmessagestatus(201)",
              "Returns 1 when the lines are shown (the default), 0 when setmessagestatus dropped them. An unknown "
              "code raises korvo.SolverError. Legacy keyword: errcode."),
    1,
    {{"msgcode", "errcode", WR_INT, CONV_INT, -1, false}},
    getmessagestatus_prepare,
    getmessagestatus_call,
    getmessagestatus_result};

const wrapper_def kSetprobname{
    "setprobname",
    KORVO_DOC("Sets the problem's name.", "p.setprobname(probname)", KORVO_ARG("probname: the new name."),
              "p.setprobname('blend')", "The name is written to problem files and returned by name()."),
    1,
    {{"probname", "probname", WR_STRING, CONV_STRING, -1, false}},
    nullptr,
    setprobname_call,
    nullptr};

const wrapper_def kScale{
    "scale",
    KORVO_DOC("Sets how the problem is scaled for the solver.", "p.scale(rowscale=None, colscale=None)",
              KORVO_ARGS("rowscale: one exponent e per row (-64 to 64): the row is multiplied by 2**e;\n  "
                         "colscale: one exponent e per column: the solver works with the column in units of "
                         "2**e (its coefficients and cost multiplied, its bounds divided by 2**e)."),
              "p.scale(rowscale=[0, -10], colscale=[3, 0, 0])",
              "Without arguments the solver scales with factors of its own at every solve and factors given "
              "earlier are dropped. Given factors stay with the model (new rows and columns get 0) and apply to "
              "every lpoptimize and mipoptimize; integer columns keep factor 1. Solutions, duals, reduced costs "
              "and every other answer stay in the model's own units. Legacy keywords: mrscal, mcscal."),
    2,
    {{"rowscale", "mrscal", WR_ARRAY, CONV_INT, 0, true}, {"colscale", "mcscal", WR_ARRAY, CONV_INT, 1, true}},
    scale_prepare,
    scale_call,
    nullptr};

const wrapper_def kLoadbasis{
    "loadbasis",
    KORVO_DOC("Gives the next LP solve a starting basis.", "p.loadbasis(rowstat, colstat)",
              KORVO_ARGS("rowstat: per row 0 tight at its right-hand side, 1 basic, 2 (range rows) tight at the "
                         "other end, 3 free nonbasic;\n  colstat: per column 0 at its lower bound, 1 basic, 2 at its "
                         "upper bound, 3 free at zero."),
              "p.loadbasis([1, 0], [1, 0, 2])",
              "As many basic entries as rows. The basis is used by the next simplex solve unless rows or columns "
              "change first. Legacy keywords: rstatus, cstatus."),
    2,
    {{"rowstat", "rstatus", WR_ARRAY, CONV_INT, 0, false}, {"colstat", "cstatus", WR_ARRAY, CONV_INT, 1, false}},
    loadbasis_prepare,
    loadbasis_call,
    nullptr};

const wrapper_def kLoadpresolvebasis{
    "loadpresolvebasis",
    KORVO_DOC("Gives the next LP solve a starting basis of the presolved problem.",
              "p.loadpresolvebasis(rowstat, colstat)",
              KORVO_ARGS("rowstat, colstat: statuses as for loadbasis, one per row and column of the presolved "
                         "problem."),
              "p.loadpresolvebasis([1, 0], [1, 0, 2])",
              "The engine presolves inside each solve, so the presolved problem seen here is the problem itself. "
              "Legacy keywords: rstatus, cstatus."),
    2,
    {{"rowstat", "rstatus", WR_ARRAY, CONV_INT, 0, false}, {"colstat", "cstatus", WR_ARRAY, CONV_INT, 1, false}},
    loadpresolvebasis_prepare,
    loadpresolvebasis_call,
    nullptr};

const wrapper_def kLoadlpsol{
    "loadlpsol",
    KORVO_DOC("Gives the next LP solve a starting point.", "status = p.loadlpsol(x=None, slack=None, duals=None, "
                                                          "djs=None)",
              KORVO_ARGS("x: one value per column;\n  slack: one per row (needs x);\n  duals: one per row;\n  djs: "
                         "reduced costs, one per column (given with duals)."),
              "p.loadlpsol(x=[1, 0, 2])", "Returns 0. Legacy keywords: dual, dj."),
    4,
    {{"x", "x", WR_ARRAY, CONV_DOUBLE, 0, true},
     {"slack", "slack", WR_ARRAY, CONV_DOUBLE, 1, true},
     {"duals", "dual", WR_ARRAY, CONV_DOUBLE, 2, true},
     {"djs", "dj", WR_ARRAY, CONV_DOUBLE, 3, true}},
    loadlpsol_prepare,
    loadlpsol_call,
    loadlpsol_result};

PyMethodDef control_methods[] = {KORVO_WRAPPER_METHOD(kCopycontrols),     KORVO_WRAPPER_METHOD(kGetmessagestatus),     KORVO_WRAPPER_METHOD(kLoadbasis),
                                 KORVO_WRAPPER_METHOD(kLoadlpsol),        KORVO_WRAPPER_METHOD(kLoadpresolvebasis),
                                 KORVO_WRAPPER_METHOD(kScale),            KORVO_WRAPPER_METHOD(kSetdefaultcontrol),
                                 KORVO_WRAPPER_METHOD(kSetdefaults),      KORVO_WRAPPER_METHOD(kSetlogfile),
                                 KORVO_WRAPPER_METHOD(kSetmessagestatus), KORVO_WRAPPER_METHOD(kSetprobname),
                                 {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(control_methods);
