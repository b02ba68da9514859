// Solution, basis and snapshot files.
//
// Text files: a CSV of the solution, a printable report, a plain solution
// file of named values that reads back, and the basis in the MPS basis
// format. Binary files: the solution vectors with their statuses, and a
// snapshot of the whole problem (model, names, controls, solution, basis).
// Every reader checks the whole file before it changes anything.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "Highs.h"
#include "api/model_checks.h"
#include "core/controls.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"
#include "solve/stored_basis.h"

using namespace krvs;

namespace {

// ---- helpers ------------------------------------------------------------------

std::string number(double v) {
  char text[40];
  snprintf(text, sizeof text, "%.17g", v);
  return text;
}

void write_file(const char *fn, const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) fail(fn, "cannot open '" + path + "' for writing: " + std::strerror(errno));
  out.write(content.data(), std::streamsize(content.size()));
  out.close();
  if (!out) fail(fn, "could not write '" + path + "'");
}

std::string read_file(const char *fn, const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(fn, "cannot open '" + path + "' for reading: " + std::strerror(errno));
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void check_filename(const char *fn, const char *filename) {
  if (!filename || !*filename) fail(fn, "no file name given");
}

// A name with the given ending unless it has one already.
std::string with_ending(const char *filename, const char *ending) {
  std::string name(filename);
  const size_t n = strlen(ending);
  if (name.size() >= n && name.compare(name.size() - n, n, ending) == 0) return name;
  return name + ending;
}

bool fits(const SolutionVectors &sol, const Model &m) {
  return sol.valid && sol.x.size() == size_t(m.cols()) && sol.slack.size() == size_t(m.rows());
}

// The solution files show: the best MIP solution when there is one, else
// the LP solution.
struct Reported {
  const SolutionVectors *sol;
  bool mip;
  double objective;
  bool duals() const { return !mip && !sol->duals.empty(); }
};

Reported reported_solution(const char *fn, KRVSprob prob) {
  const SolveState &state = *prob->solve;
  const Model &m = model_of(prob);
  if (fits(state.mip, m)) return {&state.mip, true, state.mip_objective};
  if (fits(state.lp, m)) return {&state.lp, false, state.lp_objective};
  fail(fn, "there is no solution to write (solve the problem first)");
}

// Names in CSV cells are quoted when they hold a comma, quote or space.
std::string csv_cell(const std::string &text) {
  if (text.find_first_of(",\" \t") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// Splits a line of a text file into words separated by blanks.
std::vector<std::string> words(const std::string &line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

double parse_number(const char *fn, const std::string &text, const std::string &where) {
  char *end = nullptr;
  errno = 0;
  double v = strtod(text.c_str(), &end);
  if (text.empty() || *end || std::isnan(v)) fail(fn, where + ": '" + text + "' is not a number");
  return v;
}

// Index of a named row or column, or a failure naming the line.
int find_name(const char *fn, const NameList &names, const std::string &name, const char *kind,
              const std::string &where) {
  int index = names.find(name);
  if (index < 0) fail(fn, where + ": no " + std::string(kind) + " is named '" + name + "'");
  return index;
}

// ---- binary encoding ------------------------------------------------------------

class Encoder {
 public:
  template <class T>
  void put(T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    data_.append(reinterpret_cast<const char *>(&v), sizeof v);
  }
  template <class T, class A>
  void put_vector(const std::vector<T, A> &v) {
    put<uint64_t>(v.size());
    if (!v.empty()) data_.append(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(T));
  }
  void put_string(const std::string &s) {
    put<uint64_t>(s.size());
    data_ += s;
  }
  const std::string &data() const { return data_; }

 private:
  std::string data_;
};

class Decoder {
 public:
  Decoder(const char *fn, const std::string &data, const std::string &path) : fn_(fn), data_(data), path_(path) {}
  template <class T>
  T get() {
    T v;
    need(sizeof v);
    memcpy(&v, data_.data() + pos_, sizeof v);
    pos_ += sizeof v;
    return v;
  }
  template <class T>
  std::vector<T> get_vector(uint64_t expected = UINT64_MAX) {
    uint64_t n = get<uint64_t>();
    if (expected != UINT64_MAX && n != expected) damaged();
    if (n > (data_.size() - pos_) / sizeof(T)) damaged();
    std::vector<T> v(static_cast<size_t>(n));
    if (n) memcpy(v.data(), data_.data() + pos_, size_t(n) * sizeof(T));
    pos_ += size_t(n) * sizeof(T);
    return v;
  }
  std::string get_string() {
    uint64_t n = get<uint64_t>();
    need(n);
    std::string s = data_.substr(pos_, size_t(n));
    pos_ += size_t(n);
    return s;
  }
  bool at_end() const { return pos_ == data_.size(); }
  [[noreturn]] void damaged() const { fail(fn_, "'" + path_ + "' is damaged or not a file of this kind"); }

 private:
  void need(uint64_t n) const {
    if (n > data_.size() - pos_) damaged();
  }
  const char *fn_;
  const std::string &data_;
  std::string path_;
  size_t pos_ = 0;
};

void put_solution(Encoder &e, const SolutionVectors &s) {
  e.put<uint8_t>(s.valid);
  e.put_vector(s.x);
  e.put_vector(s.slack);
  e.put_vector(s.duals);
  e.put_vector(s.djs);
}

SolutionVectors get_solution(Decoder &d, int rows, int cols) {
  SolutionVectors s;
  s.valid = d.get<uint8_t>() != 0;
  s.x = d.get_vector<double>();
  s.slack = d.get_vector<double>();
  s.duals = d.get_vector<double>();
  s.djs = d.get_vector<double>();
  auto sized = [](const std::vector<double> &v, int n) { return v.empty() || v.size() == size_t(n); };
  if (!sized(s.x, cols) || !sized(s.slack, rows) || !sized(s.duals, rows) || !sized(s.djs, cols) ||
      (s.valid && (s.x.size() != size_t(cols) || s.slack.size() != size_t(rows))))
    d.damaged();
  return s;
}

// Statuses, counters, objective values and both solutions.
void put_results(Encoder &e, const SolveState &s) {
  for (int v : {s.lp_status, s.mip_status, s.stop_status}) e.put<int32_t>(v);
  for (int64_t v : {s.simplex_iterations, s.barrier_iterations, s.nodes, s.mip_solutions}) e.put<int64_t>(v);
  for (double v : {s.lp_objective, s.mip_objective, s.best_bound, s.mip_gap, s.solve_time}) e.put<double>(v);
  put_solution(e, s.lp);
  put_solution(e, s.mip);
}

void get_results(Decoder &d, SolveState &s, int rows, int cols) {
  s.lp_status = d.get<int32_t>();
  s.mip_status = d.get<int32_t>();
  s.stop_status = d.get<int32_t>();
  s.simplex_iterations = d.get<int64_t>();
  s.barrier_iterations = d.get<int64_t>();
  s.nodes = d.get<int64_t>();
  s.mip_solutions = d.get<int64_t>();
  s.lp_objective = d.get<double>();
  s.mip_objective = d.get<double>();
  s.best_bound = d.get<double>();
  s.mip_gap = d.get<double>();
  s.solve_time = d.get<double>();
  s.lp = get_solution(d, rows, cols);
  s.mip = get_solution(d, rows, cols);
}

constexpr char kSolutionMagic[8] = {'K', 'R', 'V', 'S', 'S', 'O', 'L', '1'};
constexpr char kSnapshotMagic[8] = {'K', 'R', 'V', 'S', 'S', 'N', 'P', '2'};

void put_magic(Encoder &e, const char (&magic)[8]) {
  for (char c : magic) e.put<char>(c);
}
void check_magic(Decoder &d, const char (&magic)[8]) {
  for (char c : magic)
    if (d.get<char>() != c) d.damaged();
}

void put_names(Encoder &e, const NameList &names, int n) {
  for (int i = 0; i < n; ++i) e.put_string(names.get(i));
}
std::vector<std::string> get_names(Decoder &d, size_t n) {
  std::vector<std::string> names(n);
  for (auto &name : names) name = d.get_string();
  return names;
}
void set_names(NameList &list, const std::vector<std::string> &names) {
  list.resize(names.size());
  std::vector<std::string_view> views(names.begin(), names.end());
  if (!views.empty()) list.set_range(0, views);
}

// General and piecewise-linear constraints, directives, row and column
// marks and MIP starts. The cut pool and stored branching bounds are
// handles of the running process and stay out of a snapshot.
template <class Set>
void put_set(Encoder &e, const Set &set) {
  e.put_vector(std::vector<int>(set.begin(), set.end()));
}

void put_mip_structures(Encoder &e, const MipStructures &mip) {
  e.put<uint64_t>(mip.gencons.size());
  for (const GeneralConstraint &g : mip.gencons) {
    e.put<int32_t>(g.type);
    e.put<int32_t>(g.resultant);
    e.put_vector(g.cols);
    e.put_vector(g.vals);
  }
  e.put<uint64_t>(mip.pwlcons.size());
  for (const PiecewiseLinear &w : mip.pwlcons) {
    e.put<int32_t>(w.col);
    e.put<int32_t>(w.resultant);
    e.put_vector(w.x);
    e.put_vector(w.y);
  }
  e.put<uint64_t>(mip.directives.size());
  for (const auto &[col, d] : mip.directives) {
    e.put<int32_t>(col);
    e.put<int32_t>(d.priority);
    e.put<char>(d.direction);
    e.put<double>(d.up_pseudo);
    e.put<double>(d.down_pseudo);
  }
  put_set(e, mip.secure_rows);
  put_set(e, mip.secure_cols);
  put_set(e, mip.model_cut_rows);
  put_set(e, mip.delayed_rows);
  e.put<uint64_t>(mip.mip_starts.size());
  for (const MipStart &start : mip.mip_starts) {
    e.put_string(start.name);
    e.put_vector(start.cols);
    e.put_vector(start.vals);
    e.put<int32_t>(start.status);
    e.put<double>(start.objective);
  }
}

MipStructures get_mip_structures(Decoder &d, int rows, int cols) {
  MipStructures mip;
  auto check_cols = [&](const std::vector<int> &v) {
    for (int j : v)
      if (j < 0 || j >= cols) d.damaged();
  };
  auto check_col = [&](int j) { check_cols(std::vector<int>{j}); };
  const uint64_t ng = d.get<uint64_t>();
  for (uint64_t k = 0; k < ng; ++k) {
    GeneralConstraint g;
    g.type = d.get<int32_t>();
    g.resultant = d.get<int32_t>();
    g.cols = d.get_vector<int>();
    g.vals = d.get_vector<double>();
    if (g.type < GENCONS_MAX || g.type > GENCONS_ABS) d.damaged();
    check_col(g.resultant);
    check_cols(g.cols);
    mip.gencons.push_back(std::move(g));
  }
  const uint64_t nw = d.get<uint64_t>();
  for (uint64_t k = 0; k < nw; ++k) {
    PiecewiseLinear w;
    w.col = d.get<int32_t>();
    w.resultant = d.get<int32_t>();
    w.x = d.get_vector<double>();
    w.y = d.get_vector<double>(w.x.size());
    check_col(w.col);
    check_col(w.resultant);
    mip.pwlcons.push_back(std::move(w));
  }
  const uint64_t nd = d.get<uint64_t>();
  for (uint64_t k = 0; k < nd; ++k) {
    const int col = d.get<int32_t>();
    Directive dir;
    dir.priority = d.get<int32_t>();
    dir.direction = d.get<char>();
    dir.up_pseudo = d.get<double>();
    dir.down_pseudo = d.get<double>();
    check_col(col);
    mip.directives[col] = dir;
  }
  auto get_set = [&](std::set<int> &out, int limit) {
    for (int i : d.get_vector<int>()) {
      if (i < 0 || i >= limit) d.damaged();
      out.insert(i);
    }
  };
  get_set(mip.secure_rows, rows);
  get_set(mip.secure_cols, cols);
  get_set(mip.model_cut_rows, rows);
  get_set(mip.delayed_rows, rows);
  const uint64_t ns = d.get<uint64_t>();
  for (uint64_t k = 0; k < ns; ++k) {
    MipStart start;
    start.name = d.get_string();
    start.cols = d.get_vector<int>();
    start.vals = d.get_vector<double>(start.cols.size());
    start.status = d.get<int32_t>();
    start.objective = d.get<double>();
    check_cols(start.cols);
    mip.mip_starts.push_back(std::move(start));
  }
  return mip;
}

void put_model(Encoder &e, const Model &m) {
  e.put<int32_t>(m.cols());
  e.put<int32_t>(m.rows());
  e.put_vector(m.obj);
  e.put_vector(m.lb);
  e.put_vector(m.ub);
  e.put_vector(m.coltype);
  e.put_vector(m.limit);
  e.put_vector(m.rowtype);
  e.put_vector(m.rhs);
  e.put_vector(m.range);
  e.put<double>(m.obj_constant);
  e.put<int32_t>(m.obj_sense);
  const CompressedMatrix &a = m.by_rows();
  e.put_vector(a.start);
  e.put_vector(a.index);
  e.put_vector(a.value);
  e.put_vector(m.qobj);
  e.put<uint64_t>(m.qrows.size());
  for (const auto &[row, entries] : m.qrows) {
    e.put<int32_t>(row);
    e.put_vector(entries);
  }
  e.put<uint64_t>(m.sets.size());
  for (const SpecialOrderedSet &s : m.sets) {
    e.put<char>(s.type);
    e.put_vector(s.cols);
    e.put_vector(s.weights);
  }
  e.put<uint64_t>(m.indicators.size());
  for (const auto &[row, ind] : m.indicators) {
    e.put<int32_t>(row);
    e.put<int32_t>(ind.col);
    e.put<int32_t>(ind.complement);
  }
  put_names(e, m.rownames, m.rows());
  put_names(e, m.colnames, m.cols());
  put_names(e, m.setnames, int(m.sets.size()));
  put_mip_structures(e, m.mip);
}

// Rebuilds a model through its own functions, checking every index.
Model get_model(Decoder &d) {
  const int cols = d.get<int32_t>(), rows = d.get<int32_t>();
  if (cols < 0 || rows < 0) d.damaged();
  const size_t n = size_t(cols), r = size_t(rows);
  auto obj = d.get_vector<double>(n), lb = d.get_vector<double>(n), ub = d.get_vector<double>(n);
  auto coltype = d.get_vector<char>(n);
  auto limit = d.get_vector<double>(n);
  auto rowtype = d.get_vector<char>(r);
  auto rhs = d.get_vector<double>(r), range = d.get_vector<double>(r);
  const double constant = d.get<double>();
  const int sense = d.get<int32_t>();
  auto start = d.get_vector<int64_t>(r + 1);
  auto index = d.get_vector<int>();
  auto value = d.get_vector<double>(index.size());
  if ((sense != 1 && sense != -1) || start[0] != 0 || start[r] != int64_t(index.size())) d.damaged();
  for (size_t i = 0; i < r; ++i)
    if (start[i + 1] < start[i] || !valid_rowtype(rowtype[i])) d.damaged();
  for (int j : index)
    if (j < 0 || j >= cols) d.damaged();
  for (char t : coltype)
    if (!valid_coltype(t)) d.damaged();
  auto check_quad = [&](const std::vector<QuadEntry> &entries) {
    for (const QuadEntry &q : entries)
      if (q.i < 0 || q.j < 0 || q.i >= cols || q.j >= cols) d.damaged();
  };
  Model m;
  m.add_cols(cols, obj.data(), nullptr, nullptr, nullptr, lb.data(), ub.data());
  m.add_rows(rows, rowtype.data(), rhs.data(), range.data(), start.data(), index.data(), value.data());
  for (int j = 0; j < cols; ++j) m.set_coltype(j, coltype[size_t(j)]);
  m.lb = lb;  // as saved, whatever set_coltype clamped
  m.ub = ub;
  m.limit = limit;
  m.obj_constant = constant;
  m.obj_sense = sense;
  auto qobj = d.get_vector<QuadEntry>();
  check_quad(qobj);
  m.qobj = qobj;
  const uint64_t nq = d.get<uint64_t>();
  for (uint64_t k = 0; k < nq; ++k) {
    const int row = d.get<int32_t>();
    auto entries = d.get_vector<QuadEntry>();
    if (row < 0 || row >= rows) d.damaged();
    check_quad(entries);
    m.qrows[row] = entries;
  }
  const uint64_t ns = d.get<uint64_t>();
  for (uint64_t k = 0; k < ns; ++k) {
    const char type = d.get<char>();
    auto members = d.get_vector<int>();
    auto weights = d.get_vector<double>(members.size());
    for (int j : members)
      if (j < 0 || j >= cols) d.damaged();
    m.add_set(type, int64_t(members.size()), members.data(), weights.data());
  }
  const uint64_t ni = d.get<uint64_t>();
  for (uint64_t k = 0; k < ni; ++k) {
    const int row = d.get<int32_t>(), col = d.get<int32_t>(), complement = d.get<int32_t>();
    if (row < 0 || row >= rows || col < 0 || col >= cols) d.damaged();
    m.indicators[row] = Indicator{col, complement};
  }
  set_names(m.rownames, get_names(d, r));
  set_names(m.colnames, get_names(d, n));
  set_names(m.setnames, get_names(d, m.sets.size()));
  m.mip = get_mip_structures(d, rows, cols);
  return m;
}

void put_controls(Encoder &e, const ControlValues &values) {
  const auto &rows = control_table().rows();
  e.put<uint64_t>(rows.size());
  for (const ControlInfo &c : rows) {
    e.put<int32_t>(c.id);
    e.put<char>(char(c.type));
    switch (c.type) {
      case ValueType::Int: e.put<int64_t>(values.get_int(c.id)); break;
      case ValueType::Double: e.put<double>(values.get_double(c.id)); break;
      default: e.put_string(values.get_string(c.id)); break;
    }
  }
}

// Controls the engine no longer knows are skipped; the others take the saved value.
ControlValues get_controls(Decoder &d) {
  ControlValues values;
  const uint64_t n = d.get<uint64_t>();
  for (uint64_t k = 0; k < n; ++k) {
    const int id = d.get<int32_t>();
    const char type = d.get<char>();
    const int pos = control_table().position(id);
    const bool known = pos >= 0 && char(control_table().rows()[size_t(pos)].type) == type;
    switch (type) {
      case 'I': {
        int64_t v = d.get<int64_t>();
        if (known) values.set_int(id, v);
        break;
      }
      case 'D': {
        double v = d.get<double>();
        if (known) values.set_double(id, v);
        break;
      }
      case 'S': {
        std::string v = d.get_string();
        if (known) values.set_string(id, v);
        break;
      }
      default: d.damaged();
    }
  }
  return values;
}

// ---- the MPS basis format ------------------------------------------------------------

std::string basis_text(KRVSprob prob, const char *fn) {
  const Model &m = model_of(prob);
  const StoredBasis &b = current_basis(fn, prob);
  std::vector<int> basic_cols, nonbasic_rows;
  for (int j = 0; j < m.cols(); ++j)
    if (column_status_code(b.col_status[size_t(j)]) == 1) basic_cols.push_back(j);
  for (int i = 0; i < m.rows(); ++i)
    if (row_status_code(m, i, b.row_status[size_t(i)]) != 1) nonbasic_rows.push_back(i);
  if (basic_cols.size() != nonbasic_rows.size())
    fail(fn, "the basis has " + std::to_string(basic_cols.size()) + " basic columns for " +
                 std::to_string(nonbasic_rows.size()) + " nonbasic rows");
  std::string text = "NAME          " + (prob->name.empty() ? std::string("noname") : prob->name) + "\n";
  for (size_t k = 0; k < basic_cols.size(); ++k) {
    const int i = nonbasic_rows[k];
    const bool upper = row_status_code(m, i, b.row_status[size_t(i)]) == 2;
    text += std::string(upper ? " XU " : " XL ") + m.colnames.get(basic_cols[k]) + " " + m.rownames.get(i) + "\n";
  }
  for (int j = 0; j < m.cols(); ++j) {
    const int code = column_status_code(b.col_status[size_t(j)]);
    // Nonbasic at the lower bound is the default, written only where the
    // column has no finite lower bound to be at (a free column at 0).
    if (code == 2) text += " UL " + m.colnames.get(j) + "\n";
    else if (code == 3) text += " LL " + m.colnames.get(j) + "\n";
  }
  return text + "ENDATA\n";
}

void read_basis_text(KRVSprob prob, const char *fn, const std::string &path, const std::string &content) {
  const Model &m = model_of(prob);
  // Defaults: columns nonbasic at a finite bound (free ones at zero), rows basic.
  std::vector<int8_t> cols(size_t(m.cols())), rows(size_t(m.rows()), int8_t(HighsBasisStatus::kBasic));
  auto nonbasic_default = [&](int j) {
    if (m.lb[size_t(j)] > -KRVS_INFINITY) return int8_t(HighsBasisStatus::kLower);
    if (m.ub[size_t(j)] < KRVS_INFINITY) return int8_t(HighsBasisStatus::kUpper);
    return int8_t(HighsBasisStatus::kZero);
  };
  for (int j = 0; j < m.cols(); ++j) cols[size_t(j)] = nonbasic_default(j);
  std::istringstream in(content);
  std::string line;
  int lineno = 0;
  bool ended = false;
  while (std::getline(in, line)) {
    ++lineno;
    const std::string where = path + " line " + std::to_string(lineno);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto w = words(line);
    if (w.empty() || line[0] == '*') continue;
    if (line[0] != ' ') {
      if (w[0] == "NAME") continue;
      if (w[0] == "ENDATA") {
        ended = true;
        break;
      }
      fail(fn, where + ": unexpected section '" + w[0] + "'");
    }
    if (w[0] == "XU" || w[0] == "XL") {
      if (w.size() != 3) fail(fn, where + ": " + w[0] + " takes a column and a row");
      const int j = find_name(fn, m.colnames, w[1], "column", where);
      const int i = find_name(fn, m.rownames, w[2], "row", where);
      cols[size_t(j)] = int8_t(HighsBasisStatus::kBasic);
      rows[size_t(i)] = row_highs_status(m, i, w[0] == "XU" ? 2 : 0);
    } else if (w[0] == "UL" || w[0] == "LL") {
      if (w.size() != 2) fail(fn, where + ": " + w[0] + " takes one column");
      const int j = find_name(fn, m.colnames, w[1], "column", where);
      if (w[0] == "UL") cols[size_t(j)] = int8_t(HighsBasisStatus::kUpper);
      else cols[size_t(j)] = m.lb[size_t(j)] > -KRVS_INFINITY ? int8_t(HighsBasisStatus::kLower)
                                                             : int8_t(HighsBasisStatus::kZero);
    } else {
      fail(fn, where + ": unknown basis entry '" + w[0] + "' (XU, XL, UL or LL)");
    }
  }
  if (!ended) fail(fn, path + ": no ENDATA line");
  store_basis(prob, cols.data(), rows.data());
}

// ---- text solution files ---------------------------------------------------------------

std::string solution_csv(KRVSprob prob, const char *fn) {
  const Model &m = model_of(prob);
  const Reported r = reported_solution(fn, prob);
  std::string text = "type,index,name,value,slack,dual,reduced_cost\n";
  for (int j = 0; j < m.cols(); ++j)
    text += "C," + std::to_string(j) + "," + csv_cell(m.colnames.get(j)) + "," + number(r.sol->x[size_t(j)]) + ",,," +
            (r.duals() ? number(r.sol->djs[size_t(j)]) : std::string()) + "\n";
  for (int i = 0; i < m.rows(); ++i)
    text += "R," + std::to_string(i) + "," + csv_cell(m.rownames.get(i)) + "," +
            number(m.rhs[size_t(i)] - r.sol->slack[size_t(i)]) + "," + number(r.sol->slack[size_t(i)]) + "," +
            (r.duals() ? number(r.sol->duals[size_t(i)]) : std::string()) + ",\n";
  return text;
}

std::string printable_report(KRVSprob prob, const char *fn) {
  const Model &m = model_of(prob);
  const SolveState &state = *prob->solve;
  const Reported r = reported_solution(fn, prob);
  auto fmt = [](const char *format, auto... values) {
    char line[512];
    snprintf(line, sizeof line, format, values...);
    return std::string(line);
  };
  auto bound = [](double v) { return std::fabs(v) >= KRVS_INFINITY ? std::string(v > 0 ? "inf" : "-inf") : number(v); };
  std::string text = "Problem: " + (prob->name.empty() ? std::string("noname") : prob->name) + "\n";
  text += r.mip ? fmt("Solution: MIP (status %d)\n", state.mip_status) : fmt("Solution: LP (status %d)\n", state.lp_status);
  text += "Objective: " + number(r.objective) + (m.obj_sense < 0 ? " (maximised)\n" : " (minimised)\n");
  text += fmt("Rows: %d  Columns: %d\n\nRows section\n", m.rows(), m.cols());
  text += fmt("%8s  %-16s %-4s %24s %24s %24s %24s\n", "Number", "Name", "Type", "Activity", "Slack", "Dual", "Rhs");
  for (int i = 0; i < m.rows(); ++i)
    text += fmt("%8d  %-16s %-4c %24s %24s %24s %24s\n", i, m.rownames.get(i).c_str(), m.rowtype[size_t(i)],
                number(m.rhs[size_t(i)] - r.sol->slack[size_t(i)]).c_str(), number(r.sol->slack[size_t(i)]).c_str(),
                r.duals() ? number(r.sol->duals[size_t(i)]).c_str() : "-", bound(m.rhs[size_t(i)]).c_str());
  text += "\nColumns section\n";
  text += fmt("%8s  %-16s %-4s %24s %24s %24s %24s\n", "Number", "Name", "Type", "Value", "Reduced cost", "Lower",
              "Upper");
  for (int j = 0; j < m.cols(); ++j)
    text += fmt("%8d  %-16s %-4c %24s %24s %24s %24s\n", j, m.colnames.get(j).c_str(), m.coltype[size_t(j)],
                number(r.sol->x[size_t(j)]).c_str(), r.duals() ? number(r.sol->djs[size_t(j)]).c_str() : "-",
                bound(m.lb[size_t(j)]).c_str(), bound(m.ub[size_t(j)]).c_str());
  return text;
}

// NAME line, "C name value" per column, for an LP solution with duals also
// "R name slack dual" per row and "D name reduced-cost" per column, then ".".
std::string plain_solution(KRVSprob prob, const char *fn) {
  const Model &m = model_of(prob);
  const Reported r = reported_solution(fn, prob);
  std::string text = "NAME " + (prob->name.empty() ? std::string("noname") : prob->name) + (r.mip ? " MIP\n" : " LP\n");
  for (int j = 0; j < m.cols(); ++j) text += "C " + m.colnames.get(j) + " " + number(r.sol->x[size_t(j)]) + "\n";
  if (r.duals()) {
    for (int i = 0; i < m.rows(); ++i)
      text += "R " + m.rownames.get(i) + " " + number(r.sol->slack[size_t(i)]) + " " + number(r.sol->duals[size_t(i)]) +
              "\n";
    for (int j = 0; j < m.cols(); ++j) text += "D " + m.colnames.get(j) + " " + number(r.sol->djs[size_t(j)]) + "\n";
  }
  return text + ".\n";
}

// Slacks of x from the model: rhs - activity (quadratic rows included).
std::vector<double> slacks_of(const Model &m, const std::vector<double> &x) {
  std::vector<double> slack(m.rhs.begin(), m.rhs.end());
  const CompressedMatrix &by_cols = m.by_cols();
  for (int j = 0; j < m.cols(); ++j)
    for (int64_t p = by_cols.start[size_t(j)]; p < by_cols.start[size_t(j) + 1]; ++p)
      slack[size_t(by_cols.index[size_t(p)])] -= by_cols.value[size_t(p)] * x[size_t(j)];
  for (const auto &[row, entries] : m.qrows)
    for (const QuadEntry &e : entries)
      slack[size_t(row)] -= (e.i == e.j ? 1.0 : 2.0) * e.q * x[size_t(e.i)] * x[size_t(e.j)];
  return slack;
}

double objective_of(const Model &m, const std::vector<double> &x) {
  double v = m.obj_constant;
  for (int j = 0; j < m.cols(); ++j) v += m.obj[size_t(j)] * x[size_t(j)];
  for (const QuadEntry &e : m.qobj) v += (e.i == e.j ? 0.5 : 1.0) * e.q * x[size_t(e.i)] * x[size_t(e.j)];
  return v;
}

void read_plain_solution(KRVSprob prob, const char *fn, const std::string &path, const std::string &content,
                         const char *flags) {
  const Model &m = model_of(prob);
  std::vector<double> x(size_t(m.cols()), 0.0), slack, duals, djs;
  std::vector<bool> slack_seen(size_t(m.rows()), false), dj_seen(size_t(m.cols()), false);
  bool mip = has_discrete_entities(m);
  std::istringstream in(content);
  std::string line;
  int lineno = 0;
  bool ended = false;
  while (std::getline(in, line)) {
    ++lineno;
    const std::string where = path + " line " + std::to_string(lineno);
    auto w = words(line);
    if (w.empty()) continue;
    if (w[0] == ".") {
      ended = true;
      break;
    }
    if (w[0] == "NAME") {
      if (w.size() >= 3 && (w.back() == "LP" || w.back() == "MIP")) mip = w.back() == "MIP";
      continue;
    }
    if (w[0] == "C" && w.size() == 3) {
      x[size_t(find_name(fn, m.colnames, w[1], "column", where))] = parse_number(fn, w[2], where);
    } else if (w[0] == "R" && w.size() == 4) {
      if (slack.empty()) slack.assign(size_t(m.rows()), 0.0), duals.assign(size_t(m.rows()), 0.0);
      const int i = find_name(fn, m.rownames, w[1], "row", where);
      slack[size_t(i)] = parse_number(fn, w[2], where);
      duals[size_t(i)] = parse_number(fn, w[3], where);
      slack_seen[size_t(i)] = true;
    } else if (w[0] == "D" && w.size() == 3) {
      if (djs.empty()) djs.assign(size_t(m.cols()), 0.0);
      const int j = find_name(fn, m.colnames, w[1], "column", where);
      djs[size_t(j)] = parse_number(fn, w[2], where);
      dj_seen[size_t(j)] = true;
    } else {
      fail(fn, where + ": expected 'C name value', 'R name slack dual', 'D name reduced-cost' or '.'");
    }
  }
  if (!ended) fail(fn, path + ": no closing '.' line");
  for (const char *f = flags ? flags : ""; *f; ++f) {
    if (*f == 'm') mip = true;
    else if (*f == 'l') mip = false;
    else fail(fn, std::string("unknown flag '") + *f + "' (use 'l' for an LP solution, 'm' for a MIP solution)");
  }
  const bool complete_duals = !slack.empty() && !djs.empty() &&
                              std::find(slack_seen.begin(), slack_seen.end(), false) == slack_seen.end() &&
                              std::find(dj_seen.begin(), dj_seen.end(), false) == dj_seen.end();
  SolveState &state = *prob->solve;
  SolutionVectors &target = mip ? state.mip : state.lp;
  target.clear();
  target.valid = true;
  target.x = x;
  target.slack = complete_duals && !mip ? slack : slacks_of(m, x);
  if (complete_duals && !mip) {
    target.duals = duals;
    target.djs = djs;
  }
  (mip ? state.mip_objective : state.lp_objective) = objective_of(m, x);
}

// ---- directives ------------------------------------------------------------------

// "NAME <problem>", then per column with a directive " <UP|DN|PR> <column>
// <priority> <up pseudo cost> <down pseudo cost>", then "ENDATA".
std::string directives_text(KRVSprob prob) {
  const Model &m = model_of(prob);
  std::string text = "NAME " + (prob->name.empty() ? std::string("noname") : prob->name) + "\n";
  for (const auto &[col, d] : m.mip.directives)
    text += std::string(d.direction == 'U' ? " UP " : d.direction == 'D' ? " DN " : " PR ") + m.colnames.get(col) +
            " " + std::to_string(d.priority) + " " + number(d.up_pseudo) + " " + number(d.down_pseudo) + "\n";
  return text + "ENDATA\n";
}

void read_directives(KRVSprob prob, const char *fn, const std::string &path, const std::string &content) {
  Model &m = model_of(prob);
  std::map<int, Directive> read;
  std::istringstream in(content);
  std::string line;
  int lineno = 0;
  bool ended = false;
  while (std::getline(in, line)) {
    ++lineno;
    const std::string where = path + " line " + std::to_string(lineno);
    auto w = words(line);
    if (w.empty() || line[0] == '*') continue;
    if (w[0] == "NAME") continue;
    if (w[0] == "ENDATA") {
      ended = true;
      break;
    }
    if ((w[0] != "UP" && w[0] != "DN" && w[0] != "PR") || w.size() < 2 || w.size() > 5)
      fail(fn, where + ": expected 'UP|DN|PR column [priority [up-pseudo-cost [down-pseudo-cost]]]'");
    Directive d;
    d.direction = w[0] == "UP" ? 'U' : w[0] == "DN" ? 'D' : 'N';
    const int col = find_name(fn, m.colnames, w[1], "column", where);
    if (w.size() > 2) {
      const double priority = parse_number(fn, w[2], where);
      if (priority != std::floor(priority) || std::fabs(priority) > 1e9)
        fail(fn, where + ": the priority must be an integer");
      d.priority = int(priority);
    }
    if (w.size() > 3) d.up_pseudo = parse_number(fn, w[3], where);
    if (w.size() > 4) d.down_pseudo = parse_number(fn, w[4], where);
    read[col] = d;
  }
  if (!ended) fail(fn, path + ": no ENDATA line");
  m.mip.directives = std::move(read);
}

// ---- snapshots ---------------------------------------------------------------

std::string snapshot_of(KRVSprob prob) {
  const Model &m = model_of(prob);
  const SolveState &state = *prob->solve;
  Encoder e;
  put_magic(e, kSnapshotMagic);
  e.put_string(prob->name);
  put_model(e, m);
  put_controls(e, prob->controls);
  put_results(e, state);
  const bool basis = state.basis.valid && state.basis.structure_version == m.structure_version &&
                     state.basis.col_status.size() == size_t(m.cols()) &&
                     state.basis.row_status.size() == size_t(m.rows());
  e.put<uint8_t>(basis);
  if (basis) {
    e.put_vector(state.basis.col_status);
    e.put_vector(state.basis.row_status);
  }
  return e.data();
}

// Replaces all of the problem with the snapshot in content (read from
// `origin`, named in messages); the whole snapshot is decoded before
// anything changes.
void restore_snapshot(KRVSprob prob, const char *fn, const std::string &content, const std::string &origin) {
  Decoder d(fn, content, origin);
  check_magic(d, kSnapshotMagic);
  std::string name = d.get_string();
  Model model = get_model(d);
  ControlValues controls = get_controls(d);
  SolveState results;
  get_results(d, results, model.rows(), model.cols());
  std::vector<int8_t> col_status, row_status;
  const bool basis = d.get<uint8_t>() != 0;
  if (basis) {
    col_status = d.get_vector<int8_t>(size_t(model.cols()));
    row_status = d.get_vector<int8_t>(size_t(model.rows()));
  }
  if (!d.at_end()) d.damaged();
  SolveState &state = *prob->solve;
  if (state.running.value.load()) fail(fn, "a solve of this problem is running");
  // Versions continue past the problem's own, so that nothing taken from
  // the old model (a basis, a solution) is mistaken for the new one's.
  model.structure_version = std::max(model.structure_version, prob->model->structure_version) + 1;
  model.data_version = std::max(model.data_version, prob->model->data_version) + 1;
  *prob->model = std::move(model);
  prob->name = name;
  prob->controls = controls;
  results.basis.valid = basis;
  results.basis.structure_version = prob->model->structure_version;
  results.basis.col_status = std::move(col_status);
  results.basis.row_status = std::move(row_status);
  state = results;
}

}  // namespace

extern "C" {

int KRVSwritedirs(KRVSprob prob, const char *filename) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSwritedirs";
    check_filename(fn, filename);
    write_file(fn, filename, directives_text(prob));
  });
}

int KRVSreaddirs(KRVSprob prob, const char *filename) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSreaddirs";
    check_filename(fn, filename);
    if (prob->solve->running.value.load()) fail(fn, "a solve of this problem is running");
    read_directives(prob, fn, filename, read_file(fn, filename));
  });
}

// A solution report written to a file; none of these writers takes flags.
static int write_report(KRVSprob prob, const char *fn, const char *filename, const char *flags,
                        std::string (*produce)(KRVSprob, const char *)) {
  return guard_problem(prob, [&] {
    check_filename(fn, filename);
    if (flags && *flags) fail(fn, std::string("unknown flags '") + flags + "'");
    write_file(fn, filename, produce(prob, fn));
  });
}

int KRVSwritesol(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return write_report(prob, "KRVSwritesol", filename, flags, solution_csv);
}

int KRVSwriteprtsol(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return write_report(prob, "KRVSwriteprtsol", filename, flags, printable_report);
}

int KRVSwriteslxsol(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return write_report(prob, "KRVSwriteslxsol", filename, flags, plain_solution);
}

int KRVSreadslxsol(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSreadslxsol";
    check_filename(fn, filename);
    read_plain_solution(prob, fn, filename, read_file(fn, filename), flags);
  });
}

int KRVSwritebinsol(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSwritebinsol";
    check_filename(fn, filename);
    if (flags && *flags) fail(fn, std::string("unknown flags '") + flags + "'");
    const Model &m = model_of(prob);
    const SolveState &state = *prob->solve;
    if (!fits(state.lp, m) && !fits(state.mip, m)) fail(fn, "there is no solution to write (solve the problem first)");
    Encoder e;
    put_magic(e, kSolutionMagic);
    e.put<int32_t>(m.rows());
    e.put<int32_t>(m.cols());
    SolveState shown = state;
    if (!fits(shown.lp, m)) shown.lp.clear();
    if (!fits(shown.mip, m)) shown.mip.clear();
    put_results(e, shown);
    write_file(fn, filename, e.data());
  });
}

int KRVSreadbinsol(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSreadbinsol";
    check_filename(fn, filename);
    if (flags && *flags) fail(fn, std::string("unknown flags '") + flags + "'");
    const Model &m = model_of(prob);
    const std::string content = read_file(fn, filename);
    Decoder d(fn, content, filename);
    check_magic(d, kSolutionMagic);
    const int rows = d.get<int32_t>(), cols = d.get<int32_t>();
    if (rows != m.rows() || cols != m.cols())
      fail(fn, std::string("'") + filename + "' holds a solution of " + std::to_string(rows) + " rows and " +
                   std::to_string(cols) + " columns; the problem has " + std::to_string(m.rows()) + " and " +
                   std::to_string(m.cols()));
    SolveState read;
    get_results(d, read, rows, cols);
    if (!d.at_end()) d.damaged();
    SolveState &state = *prob->solve;
    if (state.running.value.load()) fail(fn, "a solve of this problem is running");
    read.basis = state.basis;
    state = read;
  });
}

int KRVSwritebasis(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSwritebasis";
    if (flags && *flags) fail(fn, std::string("unknown flags '") + flags + "'");
    const std::string path = filename && *filename ? std::string(filename)
                                                   : (prob->name.empty() ? std::string("noname") : prob->name) + ".bss";
    write_file(fn, path, basis_text(prob, fn));
  });
}

int KRVSreadbasis(KRVSprob prob, const char *filename, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSreadbasis";
    if (flags && *flags) fail(fn, std::string("unknown flags '") + flags + "'");
    const std::string path = filename && *filename ? std::string(filename)
                                                   : (prob->name.empty() ? std::string("noname") : prob->name) + ".bss";
    read_basis_text(prob, fn, path, read_file(fn, path));
  });
}

int KRVSsaveas(KRVSprob prob, const char *filename) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSsaveas";
    check_filename(fn, filename);
    write_file(fn, with_ending(filename, ".svf"), snapshot_of(prob));
  });
}

int KRVSsave(KRVSprob prob) noexcept {
  if (!prob) return KRVSsaveas(prob, nullptr);
  const std::string name = prob->name.empty() ? std::string("noname") : prob->name;
  return KRVSsaveas(prob, name.c_str());
}

int KRVSrestore(KRVSprob prob, const char *probname, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSrestore";
    if (flags && *flags) fail(fn, std::string("unknown flags '") + flags + "'");
    const std::string path = with_ending(probname && *probname ? probname : "noname", ".svf");
    restore_snapshot(prob, fn, read_file(fn, path), path);
  });
}

int KRVSsavebuffer(KRVSprob prob, void **data, int64_t *size) noexcept {
  if (data) *data = nullptr;
  if (size) *size = 0;
  return guard_problem(prob, [&] {
    const char *fn = "KRVSsavebuffer";
    if (!data || !size) fail(fn, "no place for the snapshot given");
    const std::string content = snapshot_of(prob);
    void *copy = std::malloc(content.size() ? content.size() : 1);
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, content.data(), content.size());
    *data = copy;
    *size = int64_t(content.size());
  });
}

int KRVSrestorebuffer(KRVSprob prob, const void *data, int64_t size) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSrestorebuffer";
    if (!data || size < 0) fail(fn, "no snapshot given");
    restore_snapshot(prob, fn, std::string(static_cast<const char *>(data), size_t(size)), "snapshot in memory");
  });
}

void KRVSfreebuffer(void *data) noexcept { std::free(data); }

}  // extern "C"
