// Problem methods that write and read solution, basis and snapshot files.
// Names and flags are passed to the engine as given; flags default to "".
#include <Python.h>

#include "api/conversion.h"
#include "api/errors.h"
#include "api/wrapper_table.h"
#include "krvs.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"

namespace {

const char *flags_of(const wrap_call &c) { return c.strs[1] ? c.strs[1] : ""; }

#define FILE_CALL(name, fn) \
  int name(wrap_call &c) { return fn(c.p->prob, c.strs[0] ? c.strs[0] : "", flags_of(c)); }
FILE_CALL(writesol_call, KRVSwritesol)
FILE_CALL(writeprtsol_call, KRVSwriteprtsol)
FILE_CALL(writeslxsol_call, KRVSwriteslxsol)
FILE_CALL(readslxsol_call, KRVSreadslxsol)
FILE_CALL(writebinsol_call, KRVSwritebinsol)
FILE_CALL(readbinsol_call, KRVSreadbinsol)
FILE_CALL(writebasis_call, KRVSwritebasis)
FILE_CALL(readbasis_call, KRVSreadbasis)
#undef FILE_CALL

int writedirs_call(wrap_call &c) { return KRVSwritedirs(c.p->prob, c.strs[0]); }
int readdirs_call(wrap_call &c) { return KRVSreaddirs(c.p->prob, c.strs[0]); }

// save(filename=None): a snapshot under the given name or the problem's.
// The nonlinear formulas live outside the optimizer's model, which is all
// a snapshot holds: such problems are refused rather than saved in part.
int save_prepare(wrap_call &c) {
  if (problem_is_nonlinear(c.p)) {
    PyErr_SetString(korvo_interface_error,
                    "save() keeps the optimizer's model only, and this problem has nonlinear formulas; write it with "
                    "write() instead");
    return -1;
  }
  return 0;
}
int save_call(wrap_call &c) { return c.strs[0] ? KRVSsaveas(c.p->prob, c.strs[0]) : KRVSsave(c.p->prob); }

#define STR(kw) {kw, kw, WR_STRING, CONV_STRING, -1, false}
#define OPT_STR(kw) {kw, kw, WR_STRING, CONV_STRING, -1, true}

#define FILE_DEF(var, name, call, purpose, example, further)                                               \
  const wrapper_def var{name,                                                                              \
                        KORVO_DOC(purpose, "p." name "(filename, flags='')",                               \
                                  KORVO_ARGS("filename: the file;\n  flags: see below."), example, further), \
                        2,                                                                                 \
                        {STR("filename"), OPT_STR("flags")},                                               \
                        nullptr,                                                                           \
                        call,                                                                              \
                        nullptr};
FILE_DEF(kWritesol, "writesol", writesol_call, "Writes the solution as CSV.", "p.writesol('solution.csv')",
         "Header type,index,name,value,slack,dual,reduced_cost; a C line per column and an R line per row (value "
         "is the row's activity). The best MIP solution when there is one, else the LP solution; duals and reduced "
         "costs for LP solutions only. No flags.")
FILE_DEF(kWriteprtsol, "writeprtsol", writeprtsol_call, "Writes a printable report of the solution.",
         "p.writeprtsol('solution.txt')",
         "Problem, status and objective, then a rows section (activity, slack, dual, rhs) and a columns section "
         "(value, reduced cost, bounds). No flags.")
FILE_DEF(kWriteslxsol, "writeslxsol", writeslxsol_call, "Writes the solution as a plain text file that reads back.",
         "p.writeslxsol('solution.slx')",
         "A line 'C name value' per column; for an LP solution also 'R name slack dual' per row and 'D name "
         "reduced-cost' per column. Read it back with readslxsol. No flags.")
FILE_DEF(kReadslxsol, "readslxsol", readslxsol_call, "Reads a plain text solution file written by writeslxsol.",
         "p.readslxsol('solution.slx')",
         "Values are matched by column names (missing ones are 0) and become the problem's MIP solution (flag "
         "'m', or a file of a MIP solution) or LP solution (flag 'l'); slacks and the objective are computed from "
         "them unless the file gives every slack and dual.")
FILE_DEF(kWritebinsol, "writebinsol", writebinsol_call, "Writes the solutions and statuses to a binary file.",
         "p.writebinsol('solution.bin')", "Read it back with readbinsol. No flags.")
FILE_DEF(kReadbinsol, "readbinsol", readbinsol_call, "Reads solutions and statuses written by writebinsol.",
         "p.readbinsol('solution.bin')",
         "The problem must have the same numbers of rows and columns; the LP and MIP solutions, statuses and "
         "objective values become those of the file. No flags.")
FILE_DEF(kReadbasis, "readbasis", readbasis_call, "Reads a basis in the MPS basis format.", "p.readbasis('basis.bss')",
         "The basis becomes the one the next LP solve starts from and the one getbasis reports. No flags.")
#undef FILE_DEF

const wrapper_def kWritebasis{
    "writebasis",
    KORVO_DOC("Writes the basis in the MPS basis format.", "p.writebasis(filename='', flags='')",
              KORVO_ARGS("filename: the file (default: the problem's name + '.bss');\n  flags: none yet."),
              "p.writebasis('basis.bss')",
              "XU/XL lines pair a basic column with a row whose slack is nonbasic at its upper/lower end, UL names "
              "columns at their upper bound and LL free columns at zero."),
    2,
    {OPT_STR("filename"), OPT_STR("flags")},
    nullptr,
    writebasis_call,
    nullptr};

const wrapper_def kWritedirs{
    "writedirs",
    KORVO_DOC("Writes the branching directives to a text file.", "p.writedirs(filename)", KORVO_ARG("filename: the file."),
              "p.writedirs('search.dir')",
              "A line ' UP|DN|PR column priority up-pseudo-cost down-pseudo-cost' per column with a directive (UP: "
              "up branch first, DN: down first, PR: the search's choice), between NAME and ENDATA lines."),
    1,
    {STR("filename")},
    nullptr,
    writedirs_call,
    nullptr};

const wrapper_def kReaddirs{
    "readdirs",
    KORVO_DOC("Reads branching directives written by writedirs.", "p.readdirs(filename)", KORVO_ARG("filename: the file."),
              "p.readdirs('search.dir')",
              "The directives read replace all of the problem's; columns are matched by name and the numbers after "
              "a column may be left out (priority 500, no pseudo costs)."),
    1,
    {STR("filename")},
    nullptr,
    readdirs_call,
    nullptr};

const wrapper_def kSave{
    "save",
    KORVO_DOC("Saves a snapshot of the whole problem: model, names, controls, solutions, statuses and basis.",
              "p.save(filename=None)",
              KORVO_ARG("filename: the snapshot's name (default: the problem's name); '.svf' is added."),
              "p.save('mymodel')", "Restore it with restore(), into this or another problem."),
    1,
    {OPT_STR("filename")},
    save_prepare,
    save_call,
    nullptr};

PyMethodDef file_methods[] = {KORVO_WRAPPER_METHOD(kWritesol),    KORVO_WRAPPER_METHOD(kWriteprtsol),
                              KORVO_WRAPPER_METHOD(kWriteslxsol), KORVO_WRAPPER_METHOD(kReadslxsol),
                              KORVO_WRAPPER_METHOD(kWritebinsol), KORVO_WRAPPER_METHOD(kReadbinsol),
                              KORVO_WRAPPER_METHOD(kWritebasis),  KORVO_WRAPPER_METHOD(kReadbasis),
                              KORVO_WRAPPER_METHOD(kSave),        KORVO_WRAPPER_METHOD(kWritedirs),
                              KORVO_WRAPPER_METHOD(kReaddirs),    {nullptr, nullptr, 0, nullptr}};

}  // namespace

KORVO_REGISTER_PROBLEM_METHODS(file_methods);
