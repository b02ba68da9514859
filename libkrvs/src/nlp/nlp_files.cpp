// Reading and writing a nonlinear problem: the linear and quadratic parts
// through the optimizer's own files, the nonlinear part (coefficients with
// their token formulas, row statuses, SLP column settings) in a companion
// text file named after the problem file with ".knl" appended.
#include <cmath>
#include <cstdio>
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
      fc.vars.emplace_back(j, v);
    } else if (key == "END") {
      return fc;
    } else {
      throw bad("unknown item " + key);
    }
  }
  throw bad("missing END");
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
    out << kMagic << "\n";
    for (const auto &c : nlprob->coefs) {
      out << "COEF " << c.row << ' ' << c.col << ' ' << number(c.factor) << ' ' << c.formula->tokens.size() + 1;
      for (const auto &t : c.formula->tokens) out << ' ' << t.type << ' ' << number(t.value);
      out << " 0 0\n";
    }
    for (const auto &[r, s] : nlprob->row_status) out << "ROWSTATUS " << r << ' ' << s << "\n";
    for (const auto &[j, v] : nlprob->vars)
      out << "VAR " << j << ' ' << v.detrow << ' ' << number(v.initstepbound) << ' ' << number(v.stepbound) << ' '
          << (v.has_initial ? 1 : 0) << ' ' << number(v.initial) << "\n";
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
    const Model &m = *nlprob->optprob->model;
    for (const auto &[r, s] : fc.statuses) {
      if (r < 0 || r >= m.rows()) throw Error("Invalid nonlinear file " + path + ": row status of a missing row");
      nlprob->row_status[r] = s;
    }
    for (const auto &[j, v] : fc.vars) {
      if (j < 0 || j >= m.cols() || v.detrow >= m.rows())
        throw Error("Invalid nonlinear file " + path + ": settings of a missing column");
      nlprob->vars[j] = v;
    }
  });
}

}  // extern "C"
