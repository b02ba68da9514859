// MPS writer. Fields are aligned as in fixed MPS when names fit in 8
// characters and separated by blanks in any case, so the reader (and any
// free-MPS reader) takes the file back. Everything the model holds is
// written: range rows as 'L' rows with a RANGES entry, the objective
// constant as minus a right-hand side of the objective row, integer columns
// between markers, binaries as BV, semi-continuous and semi-integer columns
// as SC / SI bounds with their threshold as lower bound, a partially integer
// column's threshold as a PI bound, the objective's upper triangle as
// QUADOBJ, each quadratic row's whole matrix as QCMATRIX, sets, indicators.
#include <algorithm>

#include "io/formats.h"
#include "io/text.h"

namespace krvs::io {
namespace {

bool mps_usable(const std::string &name) {
  if (name.empty()) return false;
  for (char c : name)
    if ((unsigned char)c <= ' ') return false;
  return name[0] != '*';
}

class Lines {
 public:
  std::string text;
  void raw(const std::string &s) {
    text += s;
    text += '\n';
  }
  // "    name  key  value" with fixed-format alignment where it fits.
  void field(const std::string &head, const std::string &a, const std::string &b, const std::string &c = "") {
    std::string line = head;
    pad_to(line, 4);
    line += a;
    pad_to(line, 14);
    line += b;
    if (!c.empty()) {
      pad_to(line, 24);
      line += c;
    }
    raw(line);
  }

 private:
  static void pad_to(std::string &line, size_t col) {
    if (line.size() < col)
      line.append(col - line.size(), ' ');
    else
      line += ' ';
  }
};

std::vector<std::string> all_names(const NameList &list) {
  std::vector<std::string> out(list.size());
  for (size_t i = 0; i < list.size(); ++i) out[i] = list.get(int(i));
  return out;
}

}  // namespace

void write_mps(const std::string &path, const Model &m, const std::string &probname) {
  const NameChecker check{mps_usable, true, "MPS"};
  std::vector<std::string> rows = file_names(all_names(m.rownames), "row", 'R', check);
  std::vector<std::string> cols = file_names(all_names(m.colnames), "column", 'C', check);
  std::vector<std::string> sets = file_names(all_names(m.setnames), "set", 'S', check);
  std::string objname = "obj";
  {
    std::vector<std::string> sorted = rows;
    std::sort(sorted.begin(), sorted.end());
    for (int k = 1; std::binary_search(sorted.begin(), sorted.end(), objname); ++k) objname = "obj_" + std::to_string(k);
  }
  const CompressedMatrix &a = m.by_cols();
  Lines out;
  out.raw(probname.empty() ? "NAME" : "NAME          " + probname);
  if (m.obj_sense == -1) {
    out.raw("OBJSENSE");
    out.raw("    MAX");
  }
  out.raw("ROWS");
  out.raw(" N  " + objname);
  for (int i = 0; i < m.rows(); ++i) {
    char t = m.rowtype[size_t(i)];
    out.raw(std::string(" ") + (t == 'R' ? 'L' : t) + "  " + rows[size_t(i)]);
  }

  out.raw("COLUMNS");
  bool marked = false;
  int marker = 0;
  for (int j = 0; j < m.cols(); ++j) {
    bool integer = m.coltype[size_t(j)] == 'I';
    if (integer != marked) {
      out.field("", "MARKER" + std::to_string(marker++), "'MARKER'", integer ? "'INTORG'" : "'INTEND'");
      marked = integer;
    }
    std::vector<std::pair<const std::string *, double>> entries;
    if (m.obj[size_t(j)] != 0.0) entries.emplace_back(&objname, m.obj[size_t(j)]);
    for (int64_t k = a.start[size_t(j)]; k < a.start[size_t(j) + 1]; ++k)
      entries.emplace_back(&rows[size_t(a.index[size_t(k)])], a.value[size_t(k)]);
    if (entries.empty()) entries.emplace_back(&objname, 0.0);  // the column must appear
    const std::string &c = cols[size_t(j)];
    for (size_t k = 0; k < entries.size(); k += 2) {
      std::string line = "    " + c + "  " + *entries[k].first + "  " + format_number(entries[k].second);
      if (k + 1 < entries.size())
        line += "  " + *entries[k + 1].first + "  " + format_number(entries[k + 1].second);
      out.raw(line);
    }
  }
  if (marked) out.field("", "MARKER" + std::to_string(marker++), "'MARKER'", "'INTEND'");

  out.raw("RHS");
  if (m.obj_constant != 0.0) out.field("", "RHS", objname, format_number(-m.obj_constant));
  for (int i = 0; i < m.rows(); ++i)
    if (m.rhs[size_t(i)] != 0.0) out.field("", "RHS", rows[size_t(i)], format_number(m.rhs[size_t(i)]));

  bool any_range = std::find(m.rowtype.begin(), m.rowtype.end(), 'R') != m.rowtype.end();
  if (any_range) {
    out.raw("RANGES");
    for (int i = 0; i < m.rows(); ++i)
      if (m.rowtype[size_t(i)] == 'R') out.field("", "RNG", rows[size_t(i)], format_number(m.range[size_t(i)]));
  }

  Lines bounds;
  for (int j = 0; j < m.cols(); ++j) {
    size_t k = size_t(j);
    const std::string &c = cols[k];
    double lo = m.lb[k], up = m.ub[k];
    char t = m.coltype[k];
    auto bound = [&](const char *type, double v) { bounds.field(std::string(" ") + type, "BND", c, format_number(v)); };
    auto flag = [&](const char *type) { bounds.field(std::string(" ") + type, "BND", c); };
    if (t == 'B') {
      flag("BV");
      if (lo != 0.0) bound("LO", lo);
      if (up != 1.0) bound("UP", up);
      continue;
    }
    if (t == 'S' || t == 'R') {
      bound(t == 'S' ? "SC" : "SI", up);
      if (m.limit[k] > 0.0)
        bound("LO", m.limit[k]);
      else if (lo != 0.0)
        bound(lo <= -1e20 ? "MI" : "LO", lo);
      continue;
    }
    if (lo == up) {
      bound("FX", lo);
    } else if (lo <= -1e20 && up >= 1e20) {
      flag("FR");
    } else {
      if (lo <= -1e20)
        flag("MI");
      else if (lo != 0.0 || up < 0.0)
        bound("LO", lo);
      if (up < 1e20) bound("UP", up);
    }
    if (t == 'P') bound("PI", m.limit[k]);
  }
  if (!bounds.text.empty()) {
    out.raw("BOUNDS");
    out.text += bounds.text;
  }

  if (!m.sets.empty()) {
    out.raw("SOS");
    for (size_t s = 0; s < m.sets.size(); ++s) {
      out.raw(std::string(" S") + m.sets[s].type + " SOS  " + sets[s]);
      for (size_t e = 0; e < m.sets[s].cols.size(); ++e)
        out.field("", cols[size_t(m.sets[s].cols[e])], format_number(m.sets[s].weights[e]));
    }
  }
  if (!m.qobj.empty()) {
    out.raw("QUADOBJ");
    for (const auto &e : m.qobj) out.field("", cols[size_t(e.i)], cols[size_t(e.j)], format_number(e.q));
  }
  std::vector<int> qrows;
  for (const auto &[row, entries] : m.qrows)
    if (!entries.empty()) qrows.push_back(row);
  std::sort(qrows.begin(), qrows.end());
  for (int r : qrows) {
    out.raw("QCMATRIX   " + rows[size_t(r)]);
    for (const auto &e : m.qrows.at(r)) {
      out.field("", cols[size_t(e.i)], cols[size_t(e.j)], format_number(e.q));
      if (e.i != e.j) out.field("", cols[size_t(e.j)], cols[size_t(e.i)], format_number(e.q));
    }
  }
  if (!m.indicators.empty()) {
    out.raw("INDICATORS");
    std::vector<int> ind;
    for (const auto &[row, indicator] : m.indicators) ind.push_back(row);
    std::sort(ind.begin(), ind.end());
    for (int r : ind) {
      const Indicator &x = m.indicators.at(r);
      out.raw(" IF " + rows[size_t(r)] + "  " + cols[size_t(x.col)] + "  " + (x.complement == 1 ? "1" : "0"));
    }
  }
  // General constraints, one block each: a line "<TYPE> <resultant>" (TYPE
  // one of MAX, MIN, AND, OR, ABS), then a line "COL <column>" per operand
  // column and "VAL <number>" per constant operand.
  if (!m.mip.gencons.empty()) {
    out.raw("GENCONS");
    for (const GeneralConstraint &g : m.mip.gencons) {
      std::string type = general_constraint_type_name(g.type);
      for (char &c : type) c = char(c - 'a' + 'A');
      out.raw(" " + type + "  " + cols[size_t(g.resultant)]);
      for (int c : g.cols) out.raw("    COL  " + cols[size_t(c)]);
      for (double v : g.vals) out.raw("    VAL  " + format_number(v));
    }
  }
  // Piecewise-linear constraints: "PWL <resultant> <argument column>", then
  // one line "PT <x> <y>" per point.
  if (!m.mip.pwlcons.empty()) {
    out.raw("PWLCONS");
    for (const PiecewiseLinear &f : m.mip.pwlcons) {
      out.raw(" PWL  " + cols[size_t(f.resultant)] + "  " + cols[size_t(f.col)]);
      for (size_t k = 0; k < f.x.size(); ++k) out.raw("    PT  " + format_number(f.x[k]) + "  " + format_number(f.y[k]));
    }
  }
  out.raw("ENDATA");
  write_file(path, out.text);
}

}  // namespace krvs::io
