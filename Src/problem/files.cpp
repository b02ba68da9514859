// Reading a problem from a file (rebuilding the registry) and writing one.
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api/conversion.h"
#include "api/errors.h"
#include "constraint/constraint.h"
#include "constraint/sos.h"
#include "knls.h"
#include "krvs.h"
#include "maps/maps.h"
#include "problem/change_journal.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/output.h"
#include "python_model/pyref.h"
#include "variable/var.h"

// The nonlinear solver's file functions may be missing from an engine built
// without them; the problem then reads and writes linear files only.
#pragma weak KNLSreadprob
#pragma weak KNLSwriteprob

namespace {

constexpr int kNameBlock = 256;

// p may be the staging record of a read (no Python object).
int engine_failed(problem_s *p) {
  raise_engine_error(p->prob, p->nlprob);
  return -1;
}

// Names of one kind fetched in blocks of 256 into fixed-width slots.
class name_reader {
 public:
  name_reader(problem_s *p, int type, int64_t count, int64_t width)
      : p_(p), type_(type), count_(count), slot_(size_t(width) * 8 + 1), buffer_(slot_ * kNameBlock) {}
  // The name of item i (fetching its block when i starts one); null with an exception.
  PyObject *name(int64_t i) {
    if (i % kNameBlock == 0) {
      int last = int(std::min(i + kNameBlock - 1, count_ - 1));
      if (KRVSgetnames(p_->prob, type_, buffer_.data(), int(i), last) != 0) {
        engine_failed(p_);
        return nullptr;
      }
    }
    const char *text = buffer_.data() + size_t(i % kNameBlock) * slot_;
    return PyUnicode_DecodeUTF8(text, Py_ssize_t(strnlen(text, slot_)), "replace");
  }

 private:
  problem_s *p_;
  int type_;
  int64_t count_;
  size_t slot_;
  std::vector<char> buffer_;
};

int read_columns(problem_s *p, int64_t n, int64_t width) {
  if (n == 0) return 0;
  std::vector<double> lb(static_cast<size_t>(n)), ub(static_cast<size_t>(n));
  std::vector<char> types(static_cast<size_t>(n));
  if (KRVSgetlb(p->prob, lb.data(), 0, int(n) - 1) != 0 || KRVSgetub(p->prob, ub.data(), 0, int(n) - 1) != 0 ||
      KRVSgetcoltype(p->prob, types.data(), 0, int(n) - 1) != 0)
    return engine_failed(p);
  name_reader names(p, 2, n, width);
  static const char letters[] = "CBISRP";
  for (int64_t j = 0; j < n; ++j) {
    PyRef name(names.name(j));
    if (!name) return -1;
    PyRef v(var_base());
    if (!v) return -1;
    uint64_t *info = &as_var(v.get())->info;
    const char *letter = strchr(letters, types[size_t(j)]);
    if (set_var_name(info, name.get()) < 0 || set_var_lbound(info, lb[size_t(j)]) < 0 ||
        set_var_ubound(info, ub[size_t(j)]) < 0)
      goto failed;
    if (letter && types[size_t(j)]) set_var_type(info, letter - letters);
    if (registry_append(p, 0, v.get(), j) < 0) goto failed;
    continue;
  failed:
    if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Could not read problem");
    return -1;
  }
  return 0;
}

int read_rows(problem_s *p, int64_t m, int64_t width) {
  if (m == 0) return 0;
  std::vector<double> rhs(static_cast<size_t>(m)), range(static_cast<size_t>(m));
  std::vector<char> types(static_cast<size_t>(m));
  if (KRVSgetrhs(p->prob, rhs.data(), 0, int(m) - 1) != 0 || KRVSgetrhsrange(p->prob, range.data(), 0, int(m) - 1) != 0 ||
      KRVSgetrowtype(p->prob, types.data(), 0, int(m) - 1) != 0)
    return engine_failed(p);
  name_reader names(p, 1, m, width);
  for (int64_t i = 0; i < m; ++i) {
    PyRef name(names.name(i));
    if (!name) return -1;
    PyRef c(constraint_base());
    if (!c) return -1;
    uint64_t *info = &as_constraint(c.get())->info;
    double b = rhs[size_t(i)];
    int rc = set_con_name(info, name.get());
    switch (types[size_t(i)]) {
      case 'E': rc = rc < 0 ? rc : std::min(set_con_lbound(info, b), set_con_ubound(info, b)); break;
      case 'L': rc = rc < 0 ? rc : set_con_ubound(info, b); break;
      case 'G': rc = rc < 0 ? rc : set_con_lbound(info, b); break;
      case 'R': rc = rc < 0 ? rc : std::min(set_con_lbound(info, b - range[size_t(i)]), set_con_ubound(info, b)); break;
      default: break;
    }
    if (rc < 0 || registry_append(p, 1, c.get(), i) < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Cannot read constraint from problem");
      return -1;
    }
  }
  return 0;
}

int read_sets(problem_s *p, int64_t k, int64_t width) {
  if (k == 0) return 0;
  name_reader names(p, 3, k, width);
  for (int64_t s = 0; s < k; ++s) {
    PyRef name(names.name(s));
    if (!name) return -1;
    PyRef set(sos_new(&korvo_sosType));
    if (!set) return -1;
    Py_XSETREF(reinterpret_cast<sos_s *>(set.get())->name, name.release());
    if (registry_append(p, 2, set.get(), s) < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(korvo_model_error, "Cannot read SOS from problem");
      return -1;
    }
  }
  return 0;
}

// A model read from a file, before it replaces the problem's: new engine
// problems and the registry built from them. Freed unless taken.
struct staged_read {
  problem_s record{};  // engine handles and registry only; not a Python object
  staged_read() = default;
  staged_read(const staged_read &) = delete;
  staged_read &operator=(const staged_read &) = delete;
  ~staged_read() {
    if (record.nlprob) KNLSdestroyprob(record.nlprob);
    if (record.prob) KRVSdestroyprob(record.prob);
    Py_XDECREF(record.variables);
    Py_XDECREF(record.constraints);
    Py_XDECREF(record.sets);
    rowcolmap_free(&record.var_index);
    rowcolmap_free(&record.con_index);
    rowcolmap_free(&record.sos_index);
  }
};

constexpr int kNlsAutoSolveControl = 12415;

// Reads the file into new engine problems with the problem's controls and
// builds their registry; 0, or -1 with an exception (the problem untouched).
// With `snapshot`, the file is a snapshot made by save() rather than a model file.
int stage_read(problem_s *p, const char *filename, const char *options, staged_read *staged, bool snapshot = false) {
  problem_s *r = &staged->record;
  if (KRVScreateprob(&r->prob) != 0 || KNLScreateprob(&r->nlprob, &r->prob) != 0) {
    setKrvsErrIfNull(nullptr, nullptr);
    return -1;
  }
  if (KNLSsetintcontrol(r->nlprob, kNlsAutoSolveControl, 0) != 0 || KRVScopycontrols(r->prob, p->prob) != 0 ||
      KNLScopycontrols(r->nlprob, p->nlprob) != 0)
    return engine_failed(r);
  // The nonlinear solver's reader takes the optimizer's file and, when there
  // is one, its nonlinear companion (filename + ".knl").
  int rc = snapshot       ? KRVSrestore(r->prob, filename, options)
           : KNLSreadprob ? KNLSreadprob(r->nlprob, filename, options)
                          : KRVSreadprob(r->prob, filename, options);
  if (rc != 0) return engine_failed(r);
  r->variables = PyList_New(0);
  r->constraints = PyList_New(0);
  r->sets = PyList_New(0);
  r->var_index = rowcolmap_new();
  r->con_index = rowcolmap_new();
  r->sos_index = rowcolmap_new();
  if (!r->variables || !r->constraints || !r->sets || !r->var_index || !r->con_index || !r->sos_index) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return -1;
  }
  int64_t cols = 0, rows = 0, sets = 0, width = 0;
  if (KRVSgetintattrib64(r->prob, 1214, &cols) != 0 || KRVSgetintattrib64(r->prob, 1124, &rows) != 0 ||
      KRVSgetintattrib64(r->prob, 1194, &sets) != 0 || KRVSgetintattrib64(r->prob, 1028, &width) != 0)
    return engine_failed(r);
  if (read_columns(r, cols, width) < 0 || read_rows(r, rows, width) < 0 || read_sets(r, sets, width) < 0) return -1;
  int nl_coefs = 0, nl_other = 0;
  if (KNLSgetintattrib(r->nlprob, 12026, &nl_coefs) != 0 || KNLSgetintattrib(r->nlprob, 12016, &nl_other) != 0)
    return engine_failed(r);
  r->nl_coef_count = nl_coefs + nl_other;
  return 0;
}

// A nonlinear objective written by this module comes back as its transfer
// row and column (by their names, the row marked as the objective's): the
// problem takes them as its own again, so that a new objective replaces
// them rather than adding a second one.
void find_objective_transfer(problem_s *p) {
  int row = -1, col = -1, status = 0;
  if (p->nl_coef_count <= 0 || KRVSgetindex(p->prob, 1, "objtransferrow", &row) != 0 ||
      KRVSgetindex(p->prob, 2, "objtransfercol", &col) != 0 || row < 0 || col < 0 ||
      KNLSgetrowstatus(p->nlprob, row, &status) != 0 || !(status & 0x800))
    return;
  p->transfer_row = row;
  p->transfer_col = col;
  p->nl_objective = 1;
}

// Replaces the problem's model (and, from a snapshot, its name, controls,
// solution and basis) with a file's and rebuilds the registry.
PyObject *replace_from_file(PyObject *self, const char *filename, const char *options, bool snapshot) {
  auto *p = reinterpret_cast<problem_s *>(self);
  // Read into new engine problems first: a file that cannot be read changes
  // nothing, neither the engine model nor the registry.
  staged_read staged;
  if (stage_read(p, filename, options, &staged, snapshot) < 0) return nullptr;
  problem_s *r = &staged.record;
  // The problem keeps its engine problems (and whatever is registered with
  // them) and takes the model read; its user functions go with the old model.
  problem_release_user_functions(p);
  if (snapshot) {
    // The nonlinear problem first: it copies the model underneath too, which
    // the restore then replaces with everything the snapshot holds.
    if (KNLScopyprob(p->nlprob, r->nlprob, "") != 0 || KRVSrestore(p->prob, filename, options) != 0 ||
        KNLSsetcbmessage(p->nlprob, krv_py_print_probNL, nullptr) != 0)
      return krvs_error(self);
  } else if (KRVScopyprob(p->prob, r->prob, "") != 0 || KNLScopyprob(p->nlprob, r->nlprob, "") != 0 ||
             KNLSsetcbmessage(p->nlprob, krv_py_print_probNL, nullptr) != 0) {
    return krvs_error(self);
  }
  Py_CLEAR(p->user_functions);
  std::swap(p->variables, r->variables);
  std::swap(p->constraints, r->constraints);
  std::swap(p->sets, r->sets);
  std::swap(p->var_index, r->var_index);
  std::swap(p->con_index, r->con_index);
  std::swap(p->sos_index, r->sos_index);
  p->nl_coef_count = r->nl_coef_count;
  p->nl_const_col = -1;
  p->transfer_col = p->transfer_row = -1;
  p->nl_objective = 0;
  p->last_solve_nonlinear = 0;
  find_objective_transfer(p);
  // The objects of the old model left the problem: their changes no longer concern it.
  journal_follow(p);
  Py_RETURN_NONE;
}

PyObject *problem_read(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (problem_refuse_while_solving(p, "read()") < 0) return nullptr;
  static const char *const keywords[] = {"filename", "options", nullptr};
  const char *filename = nullptr, *options = "";
  if (!ko_ParseTupleAndKeywords(args, kwargs, "s|s", keywords, nullptr, &filename, &options)) return nullptr;
  return replace_from_file(self, filename, options, false);
}

PyObject *problem_restore(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (problem_refuse_while_solving(p, "restore()") < 0) return nullptr;
  static const char *const keywords[] = {"probname", "flags", nullptr};
  const char *probname = nullptr, *flags = "";
  if (!ko_ParseTupleAndKeywords(args, kwargs, "s|s", keywords, nullptr, &probname, &flags)) return nullptr;
  return replace_from_file(self, probname, flags, true);
}

PyObject *problem_write(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  static const char *const keywords[] = {"filename", "flags", nullptr};
  const char *filename = nullptr, *flags = "";
  if (!ko_ParseTupleAndKeywords(args, kwargs, "s|s", keywords, nullptr, &filename, &flags)) return nullptr;
  // The file is written as the objects describe the model now.
  if (problem_refuse_while_solving(p, "write()") < 0 || problem_apply_object_changes(p) < 0) return nullptr;
  // Coefficients given through the nonlinear solver's own methods
  // (chgccoef, addcoefs, ...) make the problem nonlinear too: writing only
  // its linear part would lose them.
  int engine_coefs = 0;
  if (p->nlprob && KNLSgetintattrib(p->nlprob, 12016, &engine_coefs) != 0) return krvs_error(self);
  if (problem_is_nonlinear(p) || engine_coefs > 0 || strchr(flags, 'g')) {
    if (!KNLSwriteprob) {
      PyErr_SetString(korvo_solver_error, "This build of the library cannot write nonlinear problems");
      return nullptr;
    }
    if (KNLSwriteprob(p->nlprob, filename, flags) != 0) return krvs_error(self);
  } else {
    if (KRVSwriteprob(p->prob, filename, flags) != 0) return krvs_error(self);
    // A nonlinear companion left by an earlier write under this name would
    // be read back with this linear file as its nonlinear part.
    std::string companion = std::string(filename) + ".knl";
    if (std::remove(companion.c_str()) != 0 && errno != ENOENT) {
      PyErr_Format(korvo_solver_error, "Cannot remove the outdated nonlinear companion file %s: %s",
                   companion.c_str(), strerror(errno));
      return nullptr;
    }
  }
  Py_RETURN_NONE;
}

PyMethodDef files_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(problem_read)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Reads a problem from a file, replacing the problem's model.", "p.read(filename, options='')",
               KORVO_ARGS("filename: an MPS or LP file (optionally gzipped);\n  options: flags for the reader, "
                          "'l' LP format, 'x' MPS format."),
               "p.read('model.mps')",
               "New variables, constraints and sets are created for the columns, rows and sets read; get them with "
               "getVariable(), getConstraint() and getSOS(). A nonlinear problem's companion file (filename + "
               "'.knl', written by write()) is read with it. A file that cannot be read changes nothing.")},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(problem_write)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Writes the problem to a file.", "p.write(filename, flags='')",
               KORVO_ARGS("filename: the file; its ending (.mps, .lp) chooses the format;\n  flags: 'l' LP, 'x' "
                          "MPS; 'g' writes the nonlinear solver's files."),
               "p.write('model.lp')",
               "Nonlinear problems are written by the nonlinear solver: the optimizer's file plus a companion "
               "filename + '.knl' with the nonlinear part; problems whose formulas call user functions "
               "(korvo.user) cannot be written.")},
    {"restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(problem_restore)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Replaces the whole problem with a snapshot written by save().", "p.restore(probname, flags='')",
               KORVO_ARGS("probname: the snapshot's name (the file is probname + '.svf');\n  flags: none yet."),
               "p.restore('mymodel')",
               "The model, names, controls, solutions, statuses and basis are those saved; new variables, "
               "constraints and sets stand for the columns, rows and sets (getVariable() and the like). A file "
               "that cannot be read changes nothing.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef *problem_files_method_table(void) { return files_methods; }
