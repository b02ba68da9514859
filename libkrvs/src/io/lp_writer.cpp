// LP-format writer. Every column appears in the objective (with a zero
// coefficient where it has none) so that columns keep their number and
// order when read back. Range rows are written two-sided, free rows as
// ">= -inf", indicators as "col = 1 -> ...". Names the format cannot hold
// (a leading digit or point, operators, blanks, keywords) are replaced by
// generated ones. The format has no partially integer columns: a model with
// one is refused.
//
// General and piecewise-linear constraints have sections of their own after
// SOS, one constraint per line, every token separated by blanks:
//   GenCons
//    r = MAX ( x , y , 2.5 )        (MAX, MIN: columns and numbers; AND, OR:
//    b = AND ( b1 , b2 )             columns; ABS: one column)
//   PWLCons
//    y = PWL ( x ) : ( 0 , 0 ) ( 1 , 2 ) ( 3 , 2.5 )
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "core/guard.h"
#include "io/formats.h"
#include "io/text.h"

namespace krvs::io {
namespace {

bool lp_usable(const std::string &name) {
  static const std::unordered_set<std::string> keywords = {
      "max", "maximize", "maximise", "maximum", "min", "minimize", "minimise", "minimum", "subject", "such", "st",
      "s.t.", "st.", "bounds", "bound", "general", "generals", "gen", "integer", "integers", "binary", "binaries",
      "bin", "semi", "semis", "semi-continuous", "sos", "sos1", "sos2", "s1", "s2", "end", "free", "inf", "infinity",
      "gencons", "pwlcons"};
  if (name.empty() || name.size() > 255) return false;
  char c0 = name[0];
  if (!((c0 >= 'a' && c0 <= 'z') || (c0 >= 'A' && c0 <= 'Z') || c0 == '_')) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
          c == '#' || c == '$' || c == '%' || c == '&' || c == '@' || c == '~' || c == '(' || c == ')' || c == '{' ||
          c == '}' || c == '|' || c == '!' || c == '?' || c == '\'' || c == '"' || c == ',' || c == ';'))
      return false;
  return keywords.count(lower(name)) == 0;
}

// Collects terms and breaks lines every few terms.
class Expr {
 public:
  explicit Expr(std::string &out) : out_(out) {}
  void term(double coef, const std::string &what) {
    if (n_ > 0 && n_ % 8 == 0) out_ += "\n   ";
    out_ += coef < 0 ? " - " : " + ";
    double a = coef < 0 ? -coef : coef;
    if (a != 1.0 || what.empty()) {
      out_ += format_number(a);
      if (!what.empty()) out_ += ' ';
    }
    out_ += what;
    ++n_;
  }
  int count() const { return n_; }

 private:
  std::string &out_;
  int n_ = 0;
};

std::vector<std::string> all_names(const NameList &list) {
  std::vector<std::string> out(list.size());
  for (size_t i = 0; i < list.size(); ++i) out[i] = list.get(int(i));
  return out;
}

}  // namespace

void write_lp(const std::string &path, const Model &m, const std::string &probname) {
  for (int j = 0; j < m.cols(); ++j)
    if (m.coltype[size_t(j)] == 'P')
      throw Error("cannot write column " + std::to_string(j) +
                  " in LP format: the format has no partially integer columns (write MPS instead)");
  const NameChecker check{lp_usable, false, "LP"};
  std::vector<std::string> rows = file_names(all_names(m.rownames), "row", 'R', check);
  std::vector<std::string> cols = file_names(all_names(m.colnames), "column", 'C', check);
  std::vector<std::string> sets = file_names(all_names(m.setnames), "set", 'S', check);
  const CompressedMatrix &a = m.by_rows();
  std::string out;
  if (!probname.empty()) out += "\\ Problem name: " + probname + "\n";
  out += m.obj_sense == -1 ? "Maximize\n" : "Minimize\n";
  out += " obj:";
  {
    Expr e(out);
    for (int j = 0; j < m.cols(); ++j) e.term(m.obj[size_t(j)], cols[size_t(j)]);
    if (!m.qobj.empty()) {
      out += "\n   + [";
      Expr q(out);
      // Q_ii x_i^2 + 2 Q_ij x_i x_j, halved by the "/ 2".
      for (const auto &t : m.qobj)
        q.term(t.i == t.j ? t.q : 2.0 * t.q, t.i == t.j ? cols[size_t(t.i)] + " ^ 2"
                                                         : cols[size_t(t.i)] + " * " + cols[size_t(t.j)]);
      out += " ] / 2";
    }
    if (m.obj_constant != 0.0) e.term(m.obj_constant, "");
  }
  out += "\nSubject To\n";
  for (int i = 0; i < m.rows(); ++i) {
    size_t k = size_t(i);
    out += " " + rows[k] + ":";
    auto ind = m.indicators.find(i);
    if (ind != m.indicators.end())
      out += " " + cols[size_t(ind->second.col)] + (ind->second.complement == 1 ? " = 1 ->" : " = 0 ->");
    char t = m.rowtype[k];
    if (t == 'R') out += " " + format_number(m.rhs[k] - m.range[k]) + " <=";
    Expr e(out);
    for (int64_t p = a.start[k]; p < a.start[k + 1]; ++p) e.term(a.value[size_t(p)], cols[size_t(a.index[size_t(p)])]);
    auto q = m.qrows.find(i);
    if (q != m.qrows.end() && !q->second.empty()) {
      out += " + [";
      Expr qe(out);
      for (const auto &x : q->second)
        qe.term(x.i == x.j ? x.q : 2.0 * x.q, x.i == x.j ? cols[size_t(x.i)] + " ^ 2"
                                                        : cols[size_t(x.i)] + " * " + cols[size_t(x.j)]);
      out += " ]";
    } else if (e.count() == 0) {
      // A row without entries still needs a term.
      if (m.cols() > 0)
        out += " 0 " + cols[0];
      else
        out += " 0";
    }
    switch (t) {
      case 'L':
      case 'R': out += " <= " + format_number(m.rhs[k]); break;
      case 'G': out += " >= " + format_number(m.rhs[k]); break;
      case 'E': out += " = " + format_number(m.rhs[k]); break;
      default: out += " >= -inf"; break;
    }
    out += "\n";
  }

  std::string bounds;
  auto bound_text = [](double v) { return v >= 1e20 ? std::string("+inf") : v <= -1e20 ? std::string("-inf") : format_number(v); };
  for (int j = 0; j < m.cols(); ++j) {
    size_t k = size_t(j);
    char t = m.coltype[k];
    double lo = m.lb[k], up = m.ub[k];
    if (t == 'S' || t == 'R') {
      double threshold = m.limit[k] > 0 ? m.limit[k] : lo;
      bounds += " " + bound_text(threshold) + " <= " + cols[k] + " <= " + bound_text(up) + "\n";
      continue;
    }
    if (t == 'B' && lo == 0.0 && up == 1.0) continue;
    if (lo == 0.0 && up >= 1e20) continue;
    if (lo <= -1e20 && up >= 1e20)
      bounds += " " + cols[k] + " free\n";
    else if (lo == up)
      bounds += " " + cols[k] + " = " + format_number(lo) + "\n";
    else
      bounds += " " + bound_text(lo) + " <= " + cols[k] + " <= " + bound_text(up) + "\n";
  }
  if (!bounds.empty()) out += "Bounds\n" + bounds;
  auto list = [&](const char *title, const char *types) {
    std::string names;
    int n = 0;
    for (int j = 0; j < m.cols(); ++j)
      if (strchr(types, m.coltype[size_t(j)])) {
        names += (n % 10 == 0 ? "\n " : " ") + cols[size_t(j)];
        ++n;
      }
    if (n) out += std::string(title) + names + "\n";
  };
  list("Generals", "IR");
  list("Binaries", "B");
  list("Semi-continuous", "SR");
  if (!m.sets.empty()) {
    out += "SOS\n";
    for (size_t s = 0; s < m.sets.size(); ++s) {
      out += " " + sets[s] + ": S" + m.sets[s].type + "::";
      for (size_t e = 0; e < m.sets[s].cols.size(); ++e)
        out += " " + cols[size_t(m.sets[s].cols[e])] + ":" + format_number(m.sets[s].weights[e]);
      out += "\n";
    }
  }
  if (!m.mip.gencons.empty()) {
    out += "GenCons\n";
    for (const GeneralConstraint &g : m.mip.gencons) {
      std::string type = general_constraint_type_name(g.type);
      for (char &c : type) c = char(c - 'a' + 'A');
      out += " " + cols[size_t(g.resultant)] + " = " + type + " (";
      bool first = true;
      for (int c : g.cols) {
        out += (first ? " " : " , ") + cols[size_t(c)];
        first = false;
      }
      for (double v : g.vals) {
        out += (first ? " " : " , ") + format_number(v);
        first = false;
      }
      out += " )\n";
    }
  }
  if (!m.mip.pwlcons.empty()) {
    out += "PWLCons\n";
    for (const PiecewiseLinear &f : m.mip.pwlcons) {
      out += " " + cols[size_t(f.resultant)] + " = PWL ( " + cols[size_t(f.col)] + " ) :";
      for (size_t k = 0; k < f.x.size(); ++k)
        out += " ( " + format_number(f.x[k]) + " , " + format_number(f.y[k]) + " )";
      out += "\n";
    }
  }
  out += "End\n";
  write_file(path, out);
}

}  // namespace krvs::io
