// Reading and writing a nonlinear problem: the linear and quadratic parts
// through the optimizer's own files, the nonlinear part (coefficients with
// their token formulas, row statuses, SLP column settings) in a companion
// text file named after the problem file with ".knl" appended.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/problem.h"
#include "model/model.h"
#include "nlp_guard.h"
#include "nlp_problem.h"

using namespace krvs;
using namespace krvs::nlp;

namespace {

constexpr const char *kMagic = "KNLS-NONLINEAR 1";

std::string number(double v) {
  char buf[40];
  snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

struct FileContents {
  struct Coef {
    int row, col;
    double factor;
    std::vector<int> types;
    std::vector<double> values;
  };
  std::vector<Coef> coefs;
  std::vector<std::pair<int, int>> statuses;
  std::vector<std::pair<int, SlpVariable>> vars;
  bool has_items = false;  // the file carries the SLP items below (older files do not)
  std::vector<TolSet> tolsets;
  std::vector<std::pair<std::pair<int, int>, double>> dfs;
  std::vector<std::pair<int, double>> row_weights;
  std::vector<std::pair<int, DeltaType>> delta_types;
  std::vector<std::pair<int, int>> cascade_limits;
};

FileContents parse(std::istream &in, const std::string &path) {
  FileContents fc;
  std::string line;
  auto bad = [&](const std::string &what) { return Error("Invalid nonlinear file " + path + ": " + what); };
  if (!std::getline(in, line) || line != kMagic) throw bad("missing header");
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string key;
    if (!(ls >> key)) continue;
    if (key == "COEF") {
      FileContents::Coef c;
      int n = 0;
      if (!(ls >> c.row >> c.col >> c.factor >> n) || n < 0 || n > 100000000) throw bad("bad COEF line");
      c.types.resize(size_t(n));
      c.values.resize(size_t(n));
      for (int k = 0; k < n; ++k)
        if (!(ls >> c.types[size_t(k)] >> c.values[size_t(k)])) throw bad("bad formula token");
      fc.coefs.push_back(std::move(c));
    } else if (key == "ROWSTATUS") {
      int r = 0, s = 0;
      if (!(ls >> r >> s)) throw bad("bad ROWSTATUS line");
      fc.statuses.emplace_back(r, s);
    } else if (key == "VAR") {
      int j = 0, has_initial = 0;
      SlpVariable v;
      if (!(ls >> j >> v.detrow >> v.initstepbound >> v.stepbound >> has_initial >> v.initial))
        throw bad("bad VAR line");
      v.has_initial = has_initial != 0;
      // Later fields, absent from older files.
      ls >> v.seqnum >> v.tolset >> v.vartype >> v.penalty >> v.damp;
      fc.vars.emplace_back(j, v);
    } else if (key == "TOLSET") {
      TolSet t;
      if (!(ls >> t.status)) throw bad("bad TOLSET line");
      for (double &v : t.tol)
        if (!(ls >> v) || !(v >= 0) || !std::isfinite(v)) throw bad("bad TOLSET line");
      fc.tolsets.push_back(t);
      fc.has_items = true;
    } else if (key == "DF") {
      int j = 0, r = 0;
      double v = 0;
      if (!(ls >> j >> r >> v) || !std::isfinite(v)) throw bad("bad DF line");
      fc.dfs.push_back({{j, r}, v});
      fc.has_items = true;
    } else if (key == "ROWWT") {
      int r = 0;
      double v = 0;
      if (!(ls >> r >> v) || !(v > 0) || !std::isfinite(v)) throw bad("bad ROWWT line");
      fc.row_weights.emplace_back(r, v);
      fc.has_items = true;
    } else if (key == "DELTATYPE") {
      int j = 0;
      DeltaType d;
      if (!(ls >> j >> d.type >> d.value) || (d.type != 0 && d.type != 1) || !(d.value > 0)) throw bad("bad DELTATYPE line");
      fc.delta_types.emplace_back(j, d);
      fc.has_items = true;
    } else if (key == "CASCADELIMIT") {
      int j = 0, n = 0;
      if (!(ls >> j >> n) || n < 0) throw bad("bad CASCADELIMIT line");
      fc.cascade_limits.emplace_back(j, n);
      fc.has_items = true;
    } else if (key == "END") {
      return fc;
    } else {
      throw bad("unknown item " + key);
    }
  }
  throw bad("missing END");
}


void write_items(std::ostream &out, const knls_problem_s *nlprob) {
  out << kMagic << "\n";
  for (const auto &c : nlprob->coefs) {
    out << "COEF " << c.row << ' ' << c.col << ' ' << number(c.factor) << ' ' << c.formula->tokens.size() + 1;
    for (const auto &t : c.formula->tokens) out << ' ' << t.type << ' ' << number(t.value);
    out << " 0 0\n";
  }
  for (const auto &[r, s] : nlprob->row_status) out << "ROWSTATUS " << r << ' ' << s << "\n";
  for (const auto &[j, v] : nlprob->vars)
    out << "VAR " << j << ' ' << v.detrow << ' ' << number(v.initstepbound) << ' ' << number(v.stepbound) << ' '
        << (v.has_initial ? 1 : 0) << ' ' << number(v.initial) << ' ' << v.seqnum << ' ' << v.tolset << ' '
        << v.vartype << ' ' << number(v.penalty) << ' ' << number(v.damp) << "\n";
  const SlpItems &items = nlprob->items;
  for (const TolSet &t : items.tolsets) {
    out << "TOLSET " << t.status;
    for (double v : t.tol) out << ' ' << number(v);
    out << "\n";
  }
  for (const auto &[key, v] : items.dfs) out << "DF " << key.first << ' ' << key.second << ' ' << number(v) << "\n";
  for (const auto &[r, w] : items.row_weight) out << "ROWWT " << r << ' ' << number(w) << "\n";
  for (const auto &[j, d] : items.delta_type) out << "DELTATYPE " << j << ' ' << d.type << ' ' << number(d.value) << "\n";
  for (const auto &[j, n] : items.cascade_limit) out << "CASCADELIMIT " << j << ' ' << n << "\n";
}

// Replaces the nonlinear part of the problem (whose optimizer model is
// already the one the items belong to) with the items read.
void load_items(knls_problem_s *nlprob, const FileContents &fc, const std::string &path) {
  const Model &m = *nlprob->optprob->model;
  for (const auto &[r, s] : fc.statuses)
    if (r < 0 || r >= m.rows()) throw Error("Invalid nonlinear file " + path + ": row status of a missing row");
  for (const auto &[j, v] : fc.vars)
    if (j < 0 || j >= m.cols() || v.detrow >= m.rows() || v.tolset < 0 || size_t(v.tolset) > fc.tolsets.size())
      throw Error("Invalid nonlinear file " + path + ": settings of a missing column or tolerance set");
  auto bad_col = [&](int j) { return j < 0 || j >= m.cols(); };
  auto bad_row = [&](int r) { return r < 0 || r >= m.rows(); };
  for (const auto &[key, v] : fc.dfs)
    if (bad_col(key.first) || bad_row(key.second)) throw Error("Invalid nonlinear file " + path + ": delta factor of a missing row or column");
  for (const auto &[r, w] : fc.row_weights)
    if (bad_row(r)) throw Error("Invalid nonlinear file " + path + ": weight of a missing row");
  for (const auto &[j, d] : fc.delta_types)
    if (bad_col(j)) throw Error("Invalid nonlinear file " + path + ": delta of a missing column");
  for (const auto &[j, n] : fc.cascade_limits)
    if (bad_col(j)) throw Error("Invalid nonlinear file " + path + ": cascade limit of a missing column");
  nlprob->coefs.clear();
  nlprob->row_status.clear();
  nlprob->vars.clear();
  nlprob->solution = SlpSolution{};
  nlprob->status = 0;
  std::vector<int> rows, cols, starts{0}, types;
  std::vector<double> factors, values;
  for (const auto &c : fc.coefs) {
    rows.push_back(c.row);
    cols.push_back(c.col);
    factors.push_back(c.factor);
    types.insert(types.end(), c.types.begin(), c.types.end());
    values.insert(values.end(), c.values.begin(), c.values.end());
    starts.push_back(int(types.size()));
  }
  if (!rows.empty() && KNLSloadcoefs(nlprob, int(rows.size()), rows.data(), cols.data(), factors.data(),
                                     starts.data(), 1, types.data(), values.data()) != 0)
    throw Error("Invalid nonlinear file " + path + ": " + nlprob->last_error);
  for (const auto &[r, s] : fc.statuses) nlprob->row_status[r] = s;
  for (const auto &[j, v] : fc.vars) nlprob->vars[j] = v;
  SlpItems &items = nlprob->items;
  items.tolsets = fc.tolsets;
  items.dfs.clear();
  for (const auto &[key, v] : fc.dfs) items.dfs[key] = v;
  items.row_weight.clear();
  for (const auto &[r, w] : fc.row_weights) items.row_weight[r] = w;
  items.delta_type.clear();
  for (const auto &[j, d] : fc.delta_types) items.delta_type[j] = d;
  items.cascade_limit.clear();
  for (const auto &[j, n] : fc.cascade_limits) items.cascade_limit[j] = n;
  items.cascade_order.clear();
}

// A number written by number() read back exactly, infinities and NaN included.
bool read_number(std::istream &in, double &value) {
  std::string word;
  if (!(in >> word)) return false;
  char *end = nullptr;
  value = std::strtod(word.c_str(), &end);
  return end && *end == 0 && end != word.c_str();
}

void write_vector(std::ostream &out, const char *key, const std::vector<double> &v) {
  out << key << ' ' << v.size();
  for (double x : v) out << ' ' << number(x);
  out << "\n";
}

std::vector<double> read_vector(std::istream &in, const std::string &path) {
  size_t n = 0;
  if (!(in >> n) || n > 1000000000) throw Error("Invalid nonlinear snapshot " + path + ": bad vector length");
  std::vector<double> v(n);
  for (double &x : v)
    if (!read_number(in, x)) throw Error("Invalid nonlinear snapshot " + path + ": bad number");
  return v;
}
}  // namespace

extern "C" {

int KNLSwriteprob(KNLSprob nlprob, const char *filename, const char *flags) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!filename || !*filename) throw Error("KNLSwriteprob: no file name given");
    // A user function is a function of the calling program: the file could
    // name it but not bring it back, so such problems are not written at all.
    for (const auto &c : nlprob->coefs)
      if (c.formula->calls_user_function)
        throw Error("KNLSwriteprob: the problem's formulas call user functions, which cannot be written to a file");
    if (KRVSwriteprob(nlprob->optprob, filename, flags) != 0) {
      char msg[512];
      KRVSgetlasterror(nlprob->optprob, msg);
      throw Error(msg);
    }
    const std::string path = std::string(filename) + ".knl";
    std::ofstream out(path);
    if (!out) throw Error("KNLSwriteprob: cannot write " + path);
    write_items(out, nlprob);
    out << "END\n";
    if (!out) throw Error("KNLSwriteprob: error writing " + path);
  });
}

int KNLSreadprob(KNLSprob nlprob, const char *filename, const char *flags) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!filename || !*filename) throw Error("KNLSreadprob: no file name given");
    const std::string path = std::string(filename) + ".knl";
    FileContents fc;
    std::ifstream in(path);
    if (in) fc = parse(in, path);
    if (KRVSreadprob(nlprob->optprob, filename, flags) != 0) {
      char msg[512];
      KRVSgetlasterror(nlprob->optprob, msg);
      throw Error(msg);
    }
    // The model was replaced: the nonlinear part is the file's (or none).
    load_items(nlprob, fc, path);
  });
}

// The nonlinear part in memory: the items of the nonlinear file, then the
// solver's controls ("CONTROL id type value", strings as length and text)
// and the results of its last solve.
int KNLSsavebuffer(KNLSprob nlprob, void **data, int64_t *size) noexcept {
  if (data) *data = nullptr;
  if (size) *size = 0;
  return guard_nlp(nlprob, [&] {
    if (!data || !size) throw Error("KNLSsavebuffer: no place for the snapshot given");
    std::ostringstream out;
    write_items(out, nlprob);
    for (const auto &c : nlp_control_table().rows()) {
      out << "CONTROL " << c.id << ' ';
      switch (c.type) {
        case ValueType::Int: out << "I " << nlprob->controls.get_int(c.id); break;
        case ValueType::Double: out << "D " << number(nlprob->controls.get_double(c.id)); break;
        default: {
          const std::string &text = nlprob->controls.get_string(c.id);
          out << "S " << text.size() << ' ' << text;
        }
      }
      out << "\n";
    }
    for (size_t k = 0; k < nlprob->userfuncs.size(); ++k)
      out << "USERFUNC " << k + 1 << ' ' << nlprob->userfuncs[k].flags << "\n";
    out << "RESULT " << nlprob->status << ' ' << nlprob->stop_status << ' ' << nlprob->iterations << ' '
        << number(nlprob->solve_time) << ' ' << number(nlprob->objective_value) << "\n";
    write_vector(out, "X", nlprob->solution.x);
    write_vector(out, "SLACK", nlprob->solution.slack);
    write_vector(out, "DUALS", nlprob->solution.duals);
    write_vector(out, "DJS", nlprob->solution.djs);
    out << "END\n";
    const std::string content = out.str();
    void *copy = std::malloc(content.size());
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, content.data(), content.size());
    *data = copy;
    *size = int64_t(content.size());
  });
}

int KNLSrestorebuffer(KNLSprob nlprob, const void *data, int64_t size) noexcept {
  return guard_nlp(nlprob, [&] {
    const std::string path = "in memory";
    if (!data || size < 0) throw Error("KNLSrestorebuffer: no snapshot given");
    std::istringstream in(std::string(static_cast<const char *>(data), size_t(size)));
    // Items first (up to the first line the file format does not know),
    // then the rest; everything is read before anything changes.
    std::string items_text, line;
    while (std::getline(in, line) && line.rfind("CONTROL ", 0) != 0) items_text += line + "\n";
    std::istringstream items_in(items_text + "END\n");
    FileContents fc = parse(items_in, path);
    ControlValues controls{nlp_control_table()};
    int status = 0, stop_status = 0, iterations = 0;
    double solve_time = 0, objective = 0;
    SlpSolution solution;
    std::vector<int> userfunc_flags;
    auto bad = [&](const std::string &what) { return Error("Invalid nonlinear snapshot: " + what); };
    bool ended = false;
    do {
      std::istringstream ls(line);
      std::string key;
      if (!(ls >> key)) continue;
      if (key == "CONTROL") {
        int id = 0;
        char type = 0;
        if (!(ls >> id >> type)) throw bad("bad CONTROL line");
        const int pos = nlp_control_table().position(id);
        if (pos < 0 || char(nlp_control_table().rows()[size_t(pos)].type) != type) continue;  // no longer known
        if (type == 'I') {
          long long v = 0;
          if (!(ls >> v)) throw bad("bad CONTROL line");
          controls.set_int(id, v);
        } else if (type == 'D') {
          double v = 0;
          if (!read_number(ls, v)) throw bad("bad CONTROL line");
          controls.set_double(id, v);
        } else {
          size_t n = 0;
          if (!(ls >> n) || ls.get() != ' ') throw bad("bad CONTROL line");
          std::string text(n, '\0');
          if (!ls.read(&text[0], std::streamsize(n))) throw bad("bad CONTROL line");
          controls.set_string(id, text);
        }
      } else if (key == "USERFUNC") {
        int index = 0, flags = 0;
        if (!(ls >> index >> flags) || index != int(userfunc_flags.size()) + 1) throw bad("bad USERFUNC line");
        userfunc_flags.push_back(flags);
      } else if (key == "RESULT") {
        if (!(ls >> status >> stop_status >> iterations) || !read_number(ls, solve_time) ||
            !read_number(ls, objective))
          throw bad("bad RESULT line");
      } else if (key == "X") {
        solution.x = read_vector(ls, path);
      } else if (key == "SLACK") {
        solution.slack = read_vector(ls, path);
      } else if (key == "DUALS") {
        solution.duals = read_vector(ls, path);
      } else if (key == "DJS") {
        solution.djs = read_vector(ls, path);
      } else if (key == "END") {
        ended = true;
        break;
      } else {
        throw bad("unknown item " + key);
      }
    } while (std::getline(in, line));
    if (!ended) throw bad("missing END");
    const Model &m = *nlprob->optprob->model;
    if (!solution.x.empty() && (solution.x.size() != size_t(m.cols()) || solution.slack.size() != size_t(m.rows())))
      throw bad("the solution does not fit the model");
    // The formulas name user functions by index: the problem must have the
    // same functions, defined in the same order, before they are loaded.
    bool functions_match = nlprob->userfuncs.size() == userfunc_flags.size();
    for (size_t k = 0; functions_match && k < userfunc_flags.size(); ++k)
      functions_match = nlprob->userfuncs[k].flags == userfunc_flags[k];
    if (!functions_match)
      throw bad("its formulas call " + std::to_string(userfunc_flags.size()) +
                " user functions, which must be defined on the problem (in the same order) before it is restored");
    load_items(nlprob, fc, path);
    nlprob->controls = controls;
    nlprob->status = status;
    nlprob->stop_status = stop_status;
    nlprob->iterations = iterations;
    nlprob->solve_time = solve_time;
    nlprob->objective_value = objective;
    nlprob->solution = std::move(solution);
  });
}

}  // extern "C"
