// MPS reader. Fields are separated by blanks, which reads free MPS and fixed
// MPS whose names contain no blanks. Sections: NAME, OBJSENSE, OBJNAME, ROWS,
// COLUMNS (with integer markers), RHS (an entry on the objective row is
// minus the objective constant), RANGES, BOUNDS (UP LO FX FR MI PL BV LI UI
// SC SI, and PI for a partially integer column's threshold), SOS, QUADOBJ /
// QSECTION (upper triangle), QMATRIX (whole matrix), QCMATRIX (a row's whole
// matrix), INDICATORS, GENCONS and PWLCONS (general and piecewise-linear
// constraints, in the layout the writer documents) and ENDATA.
#include <cmath>
#include <string_view>

#include "io/formats.h"
#include "io/model_builder.h"
#include "io/text.h"

namespace krvs::io {
namespace {

enum class Section { None, ObjSense, ObjName, Rows, Columns, Rhs, Ranges, Bounds, Sos, QuadObj, QMatrix, QcMatrix,
                     Indicators, GenCons, PwlCons };

std::string upper(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return out;
}

class MpsReader {
 public:
  MpsReader(const std::string &path, ModelBuilder &b) : path_(path), b_(b) {}

  void run() {
    std::string text = read_file(path_);
    std::string_view all(text);
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find('\n', pos);
      if (end == std::string_view::npos) end = all.size();
      std::string_view line = all.substr(pos, end - pos);
      pos = end + 1;
      ++line_;
      if (line.empty() || line[0] == '*') continue;
      auto tokens = split_blanks(line);
      if (tokens.empty()) continue;
      if (line[0] != ' ' && line[0] != '\t') {
        if (!header(line, tokens)) break;  // ENDATA
      } else {
        data(tokens);
      }
    }
    apply_ranges();
    check_structures();
  }

 private:
  [[noreturn]] void error(const std::string &what) { parse_error(path_, line_, what); }

  double number(std::string_view t) {
    double v;
    if (!parse_number(t, v)) error("invalid number '" + std::string(t) + "'");
    return v;
  }

  int row_of(std::string_view name) {
    int r = b_.find_row(std::string(name));
    if (r < 0) error("unknown row '" + std::string(name) + "'");
    return r;
  }

  int col_of(std::string_view name) {
    int c = b_.find_col(std::string(name));
    if (c < 0) error("unknown column '" + std::string(name) + "'");
    return c;
  }

  bool is_objective(std::string_view name) const { return !objname_.empty() && name == objname_; }

  // False at ENDATA.
  bool header(std::string_view line, const std::vector<std::string_view> &t) {
    std::string key = upper(t[0]);
    if (key == "NAME") {
      std::string_view rest = line.substr(4);
      size_t b = rest.find_first_not_of(" \t"), e = rest.find_last_not_of(" \t");
      b_.problem_name = b == std::string_view::npos ? "" : std::string(rest.substr(b, e - b + 1));
      section_ = Section::None;
    } else if (key == "OBJSENSE") {
      section_ = Section::ObjSense;
      if (t.size() > 1) sense(t[1]);
    } else if (key == "OBJNAME") {
      section_ = Section::ObjName;
      if (t.size() > 1) objname_ = std::string(t[1]);
    } else if (key == "ROWS") {
      section_ = Section::Rows;
    } else if (key == "COLUMNS") {
      section_ = Section::Columns;
    } else if (key == "RHS") {
      section_ = Section::Rhs;
    } else if (key == "RANGES") {
      section_ = Section::Ranges;
    } else if (key == "BOUNDS") {
      section_ = Section::Bounds;
    } else if (key == "SOS") {
      section_ = Section::Sos;
    } else if (key == "QUADOBJ" || key == "QSECTION") {
      // A QSECTION naming a constraint row holds that row's upper triangle.
      if (t.size() > 1 && !is_objective(t[1])) {
        qrow_ = row_of(t[1]);
        qrow_whole_ = false;
        section_ = Section::QcMatrix;
      } else {
        section_ = Section::QuadObj;
      }
    } else if (key == "QMATRIX") {
      section_ = Section::QMatrix;
    } else if (key == "QCMATRIX") {
      if (t.size() < 2) error("QCMATRIX without a row name");
      qrow_ = row_of(t[1]);
      qrow_whole_ = true;
      section_ = Section::QcMatrix;
    } else if (key == "INDICATORS") {
      section_ = Section::Indicators;
    } else if (key == "GENCONS") {
      section_ = Section::GenCons;
    } else if (key == "PWLCONS") {
      section_ = Section::PwlCons;
    } else if (key == "ENDATA") {
      return false;
    } else {
      error("unknown section '" + std::string(t[0]) + "'");
    }
    return true;
  }

  void sense(std::string_view word) {
    std::string w = upper(word);
    if (w == "MAX" || w == "MAXIMIZE" || w == "MAXIMISE")
      b_.obj_sense = -1;
    else if (w == "MIN" || w == "MINIMIZE" || w == "MINIMISE")
      b_.obj_sense = 1;
    else
      error("invalid objective sense '" + std::string(word) + "'");
  }

  void data(const std::vector<std::string_view> &t) {
    switch (section_) {
      case Section::None: error("data line outside a section");
      case Section::ObjSense: sense(t[0]); break;
      case Section::ObjName: objname_ = std::string(t[0]); break;
      case Section::Rows: rows_line(t); break;
      case Section::Columns: columns_line(t); break;
      case Section::Rhs: rhs_line(t, false); break;
      case Section::Ranges: rhs_line(t, true); break;
      case Section::Bounds: bounds_line(t); break;
      case Section::Sos: sos_line(t); break;
      case Section::QuadObj:
      case Section::QMatrix:
      case Section::QcMatrix: quadratic_line(t); break;
      case Section::Indicators: indicator_line(t); break;
      case Section::GenCons: gencons_line(t); break;
      case Section::PwlCons: pwlcons_line(t); break;
    }
  }

  void rows_line(const std::vector<std::string_view> &t) {
    if (t.size() < 2) error("a row needs a type and a name");
    std::string type = upper(t[0]);
    std::string name(t[1]);
    if (type == "N" && objname_.empty()) {
      objname_ = name;
      return;
    }
    if (type == "N" && name == objname_) return;
    if (type != "N" && type != "L" && type != "G" && type != "E") error("invalid row type '" + std::string(t[0]) + "'");
    if (name == objname_ || b_.add_row(name, type[0]) < 0) error("duplicate row '" + name + "'");
  }

  void columns_line(const std::vector<std::string_view> &t) {
    if (t.size() >= 3 && upper(t[1]) == "'MARKER'") {
      std::string what = upper(t[2]);
      if (what == "'INTORG'")
        integer_ = true;
      else if (what == "'INTEND'")
        integer_ = false;
      else
        error("unknown marker " + std::string(t[2]));
      return;
    }
    if (t.size() % 2 == 0) error("a column line needs a column name and pairs of row and value");
    int c = b_.col(std::string(t[0]));
    if (integer_ && b_.coltype[size_t(c)] == 'C') b_.coltype[size_t(c)] = 'I';
    for (size_t k = 1; k + 1 < t.size(); k += 2) {
      double v = number(t[k + 1]);
      if (is_objective(t[k]))
        b_.add_obj(c, v);
      else
        b_.add_coef(row_of(t[k]), c, v);
    }
  }

  void rhs_line(const std::vector<std::string_view> &t, bool ranges) {
    size_t first = t.size() % 2 == 1 ? 1 : 0;  // an odd count starts with the set name
    if (t.size() < 2) error(ranges ? "a range needs a row and a value" : "a right-hand side needs a row and a value");
    for (size_t k = first; k + 1 < t.size(); k += 2) {
      double v = number(t[k + 1]);
      if (is_objective(t[k])) {
        if (!ranges) b_.obj_constant = -v;
        continue;
      }
      int r = row_of(t[k]);
      if (ranges) {
        b_.range[size_t(r)] = v;
        b_.has_range[size_t(r)] = 1;
      } else {
        b_.rhs[size_t(r)] = v;
      }
    }
  }

  void bounds_line(const std::vector<std::string_view> &t) {
    std::string type = upper(t[0]);
    bool needs_value = type == "UP" || type == "LO" || type == "FX" || type == "LI" || type == "UI" || type == "PI";
    std::string_view colname, valtext;
    if (t.size() >= 4) {
      colname = t[2];
      valtext = t[3];
    } else if (t.size() == 3) {
      if (!needs_value && b_.find_col(std::string(t[2])) >= 0) {
        colname = t[2];
      } else {
        colname = t[1];
        valtext = t[2];
      }
    } else if (t.size() == 2) {
      colname = t[1];
    } else {
      error("a bound needs a type and a column");
    }
    if (needs_value && valtext.empty()) error("bound type " + type + " needs a value");
    int c = col_of(colname);
    size_t j = size_t(c);
    double v = valtext.empty() ? 0.0 : number(valtext);
    if (type == "UP") {
      b_.ub[j] = v;
      if (v < 0 && !b_.lb_given[j]) b_.lb[j] = -1e20;  // the classic rule of the format
    } else if (type == "LO") {
      b_.lb[j] = v;
      b_.lb_given[j] = 1;
    } else if (type == "FX") {
      b_.lb[j] = b_.ub[j] = v;
      b_.lb_given[j] = 1;
    } else if (type == "FR") {
      b_.lb[j] = -1e20;
      b_.ub[j] = 1e20;
      b_.lb_given[j] = 1;
    } else if (type == "MI") {
      b_.lb[j] = -1e20;
      b_.lb_given[j] = 1;
    } else if (type == "PL") {
      b_.ub[j] = 1e20;
    } else if (type == "BV") {
      b_.coltype[j] = 'B';
      b_.lb[j] = 0.0;
      b_.ub[j] = 1.0;
      b_.lb_given[j] = 1;
    } else if (type == "LI") {
      b_.coltype[j] = 'I';
      b_.lb[j] = v;
      b_.lb_given[j] = 1;
    } else if (type == "UI") {
      b_.coltype[j] = 'I';
      b_.ub[j] = v;
      if (v < 0 && !b_.lb_given[j]) b_.lb[j] = -1e20;
    } else if (type == "SC" || type == "SI") {
      b_.coltype[j] = type == "SC" ? 'S' : 'R';
      b_.ub[j] = valtext.empty() || v == 0.0 ? 1e20 : v;
    } else if (type == "PI") {
      b_.coltype[j] = 'P';
      b_.limit[j] = v;
    } else {
      error("invalid bound type '" + std::string(t[0]) + "'");
    }
  }

  void sos_line(const std::vector<std::string_view> &t) {
    std::string first = upper(t[0]);
    if ((first == "S1" || first == "S2") && (t.size() == 1 || upper(t[1]) == "SOS" || b_.find_col(std::string(t[0])) < 0)) {
      std::string name;
      if (t.size() >= 3 && upper(t[1]) == "SOS")
        name = std::string(t[2]);
      else if (t.size() >= 2 && upper(t[1]) != "SOS")
        name = std::string(t[1]);
      else
        name = "SOS" + std::to_string(b_.setnames.size());
      b_.add_set(name, first[1]);
      return;
    }
    if (b_.setnames.empty()) error("set member before any set");
    std::string_view colname, weight;
    if (t.size() == 1) {
      size_t colon = t[0].find(':');
      if (colon == std::string_view::npos) error("a set member needs a column and a weight");
      colname = t[0].substr(0, colon);
      weight = t[0].substr(colon + 1);
    } else if (t.size() == 2) {
      colname = t[0];
      weight = t[1];
    } else {
      colname = t[1];
      weight = t[2];
    }
    b_.add_set_member(col_of(colname), number(weight));
  }

  void quadratic_line(const std::vector<std::string_view> &t) {
    if (t.size() < 3) error("a quadratic entry needs two columns and a value");
    int i = col_of(t[0]), j = col_of(t[1]);
    double v = number(t[2]);
    switch (section_) {
      case Section::QuadObj: b_.add_qobj(i, j, v); break;
      // Whole matrices list each off-diagonal entry twice.
      case Section::QMatrix: b_.add_qobj(i, j, i == j ? v : 0.5 * v); break;
      default: b_.add_qrow(qrow_, i, j, i == j || !qrow_whole_ ? v : 0.5 * v); break;
    }
  }

  void indicator_line(const std::vector<std::string_view> &t) {
    if (t.size() < 4 || upper(t[0]) != "IF") error("an indicator reads: IF row column value");
    int r = row_of(t[1]);
    int c = col_of(t[2]);
    double v = number(t[3]);
    if (v != 0.0 && v != 1.0) error("the value of an indicator must be 0 or 1");
    b_.set_indicator(r, c, v == 1.0 ? 1 : -1);
  }

  void gencons_line(const std::vector<std::string_view> &t) {
    if (t.size() != 2) error("a general constraint line reads: TYPE resultant, COL column or VAL value");
    const std::string key = upper(t[0]);
    static const char *const types[] = {"MAX", "MIN", "AND", "OR", "ABS"};
    for (int type = 0; type < 5; ++type)
      if (key == types[type]) {
        gencons.push_back(GeneralConstraint{type, col_of(t[1]), {}, {}});
        return;
      }
    if (gencons.empty()) error("an operand line before the first general constraint");
    GeneralConstraint &g = gencons.back();
    if (key == "COL") {
      g.cols.push_back(col_of(t[1]));
    } else if (key == "VAL") {
      if (g.type != GENCONS_MAX && g.type != GENCONS_MIN) error("only max and min constraints take values");
      g.vals.push_back(number(t[1]));
    } else {
      error("unknown general constraint line '" + std::string(t[0]) + "'");
    }
    if (g.type == GENCONS_ABS && g.cols.size() > 1) error("an abs constraint takes one column");
  }

  void pwlcons_line(const std::vector<std::string_view> &t) {
    const std::string key = upper(t[0]);
    if (key == "PWL" && t.size() == 3) {
      pwlcons.push_back(PiecewiseLinear{col_of(t[2]), col_of(t[1]), {}, {}});
      return;
    }
    if (key != "PT" || t.size() != 3) error("a piecewise-linear line reads: PWL resultant column, or PT x y");
    if (pwlcons.empty()) error("a point before the first piecewise-linear constraint");
    PiecewiseLinear &f = pwlcons.back();
    const double x = number(t[1]), y = number(t[2]);
    if (!std::isfinite(x) || !std::isfinite(y)) error("the point of a piecewise-linear constraint must be finite");
    const size_t n = f.x.size();
    if (n > 0 && x < f.x[n - 1]) error("the x values of a piecewise-linear constraint must not decrease");
    if (n > 1 && x == f.x[n - 2]) error("more than two points of a piecewise-linear constraint at one x");
    f.x.push_back(x);
    f.y.push_back(y);
  }

  // Checks what the sections cannot check line by line.
  void check_structures() {
    for (const auto &g : gencons) {
      const bool values_allowed = g.type == GENCONS_MAX || g.type == GENCONS_MIN;
      if ((values_allowed && g.cols.empty() && g.vals.empty()) || (!values_allowed && g.cols.empty()))
        error("a general constraint without operands");
    }
    for (const auto &f : pwlcons)
      if (f.x.empty()) error("a piecewise-linear constraint without points");
  }

 public:
  std::vector<GeneralConstraint> gencons;
  std::vector<PiecewiseLinear> pwlcons;

 private:
  // RANGES, by row type: E [rhs, rhs + R] for R > 0 and [rhs + R, rhs] for
  // R < 0; L [rhs - |R|, rhs]; G [rhs, rhs + |R|].
  void apply_ranges() {
    for (int i = 0; i < b_.rows(); ++i) {
      size_t k = size_t(i);
      if (!b_.has_range[k]) continue;
      double r = b_.range[k];
      char &type = b_.rowtype[k];
      b_.range[k] = 0.0;
      if (type == 'N' || (type == 'E' && r == 0.0)) continue;
      if (type == 'G' || (type == 'E' && r > 0)) b_.rhs[k] += std::abs(r);
      type = 'R';
      b_.range[k] = std::abs(r);
    }
  }

  std::string path_;
  ModelBuilder &b_;
  int line_ = 0;
  Section section_ = Section::None;
  std::string objname_;
  bool integer_ = false;
  int qrow_ = -1;
  bool qrow_whole_ = true;
};

}  // namespace

void read_mps(const std::string &path, Model &m, std::string &probname) {
  ModelBuilder b;
  MpsReader reader(path, b);
  reader.run();
  b.finish(m);
  m.mip.gencons = std::move(reader.gencons);
  m.mip.pwlcons = std::move(reader.pwlcons);
  probname = b.problem_name;
}

}  // namespace krvs::io
