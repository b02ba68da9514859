// Reading a problem from a file (rebuilding the registry) and writing one.
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "api/conversion.h"
#include "api/errors.h"
#include "constraint/constraint.h"
#include "constraint/sos.h"
#include "knls.h"
#include "krvs.h"
#include "maps/maps.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/docstrings.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"
#include "variable/var.h"

// The nonlinear solver's file functions may be missing from an engine built
// without them; the problem then reads and writes linear files only.
#pragma weak KNLSreadprob
#pragma weak KNLSwriteprob

namespace {

constexpr int kNameBlock = 256;

PyObject *self_of(problem_s *p) { return reinterpret_cast<PyObject *>(p); }

int engine_failed(problem_s *p) {
  setKrvsErrIfNull(self_of(p), nullptr);
  return -1;
}

int empty_registry(problem_s *p) {
  for (PyObject **list : {&p->variables, &p->constraints, &p->sets}) {
    PyObject *fresh = PyList_New(0);
    if (!fresh) return -1;
    Py_XSETREF(*list, fresh);
  }
  rowcolmap_clear(p->var_index);
  rowcolmap_clear(p->con_index);
  rowcolmap_clear(p->sos_index);
  return 0;
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

PyObject *problem_read(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  if (empty_registry(p) < 0) return nullptr;
  static const char *const keywords[] = {"filename", "options", nullptr};
  const char *filename = nullptr, *options = "";
  if (!ko_ParseTupleAndKeywords(args, kwargs, "s|s", keywords, nullptr, &filename, &options)) return nullptr;
  if (KRVSreadprob(p->prob, filename, options) != 0) {
    if (!KNLSreadprob || KNLSreadprob(p->nlprob, filename, options) != 0) return krvs_error(self);
  }
  int64_t cols = 0, rows = 0, sets = 0, width = 0;
  if (KRVSgetintattrib64(p->prob, 1214, &cols) != 0 || KRVSgetintattrib64(p->prob, 1124, &rows) != 0 ||
      KRVSgetintattrib64(p->prob, 1194, &sets) != 0 || KRVSgetintattrib64(p->prob, 1028, &width) != 0)
    return krvs_error(self);
  // A read model has no objective transfer of this problem's making.
  p->transfer_col = p->transfer_row = -1;
  p->nl_objective = 0;
  if (read_columns(p, cols, width) < 0 || read_rows(p, rows, width) < 0 || read_sets(p, sets, width) < 0) {
    empty_registry(p);
    return nullptr;
  }
  int nl_coefs = 0, nl_other = 0;
  if (KNLSgetintattrib(p->nlprob, 12026, &nl_coefs) != 0 || KNLSgetintattrib(p->nlprob, 12016, &nl_other) != 0)
    return krvs_error(self);
  p->nl_coef_count = nl_coefs + nl_other;
  Py_RETURN_NONE;
}

PyObject *problem_write(PyObject *self, PyObject *args, PyObject *kwargs) {
  auto *p = reinterpret_cast<problem_s *>(self);
  static const char *const keywords[] = {"filename", "flags", nullptr};
  const char *filename = nullptr, *flags = "";
  if (!ko_ParseTupleAndKeywords(args, kwargs, "s|s", keywords, nullptr, &filename, &flags)) return nullptr;
  if (problem_is_nonlinear(p) || strchr(flags, 'g')) {
    if (!KNLSwriteprob) {
      PyErr_SetString(korvo_solver_error, "This build of the library cannot write nonlinear problems");
      return nullptr;
    }
    if (KNLSwriteprob(p->nlprob, filename, flags) != 0) return krvs_error(self);
  } else if (KRVSwriteprob(p->prob, filename, flags) != 0) {
    return krvs_error(self);
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
               "getVariable(), getConstraint() and getSOS().")},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(problem_write)),
     METH_VARARGS | METH_KEYWORDS,
     KORVO_DOC("Writes the problem to a file.", "p.write(filename, flags='')",
               KORVO_ARGS("filename: the file; its ending (.mps, .lp) chooses the format;\n  flags: 'l' LP, 'x' "
                          "MPS; 'g' writes the nonlinear solver's files."),
               "p.write('model.lp')", "Nonlinear problems are written by the nonlinear solver.")},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef *problem_files_method_table(void) { return files_methods; }
