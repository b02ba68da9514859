#include "solve/highs_build.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <numeric>
#include <sstream>

#include "core/guard.h"

namespace krvs {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double lower_of(double v) { return v <= -KRVS_INFINITY ? -kInf : v; }
double upper_of(double v) { return v >= KRVS_INFINITY ? kInf : v; }

std::string number_text(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}

// Collects the internal columns and rows of the reformulations.
class Builder {
 public:
  Builder(const Model &m, BuildMode mode, double bigm) : m_(m), mode_(mode), bigm_(bigm) {}

  BuiltModel build();
  BuiltTail tail();

 private:
  // Every reformulation's columns, rows and coefficients, and the cuts' rows.
  void lay_out();
  int add_col(double lower, double upper, HighsVarType type) {
    col_lower_.push_back(lower);
    col_upper_.push_back(upper);
    integrality_.push_back(type);
    return int(col_lower_.size()) - 1;
  }
  int add_binary() { return add_col(0.0, 1.0, HighsVarType::kInteger); }
  // An internal row lower <= sum(entries) <= upper.
  int add_row(double lower, double upper, std::initializer_list<std::pair<int, double>> entries) {
    int row = int(row_lower_.size());
    row_lower_.push_back(lower);
    row_upper_.push_back(upper);
    for (const auto &[col, value] : entries)
      if (value != 0.0) extra_.push_back(Triplet{row, col, value});
    return row;
  }

  // Checks that a bound a reformulation relies on is finite and not beyond bigm.
  void require_bound(double bound, const std::string &what) const {
    if (std::isinf(bound))
      throw Error(what + " needs a finite bound, but it is infinite");
    if (std::fabs(bound) > bigm_)
      throw Error(what + " needs a bound of magnitude at most " + number_text(bigm_) +
                  " (the bigm control), but it is " + number_text(bound));
  }

  void columns();
  void semi_column(int j);
  void partially_integer_column(int j);
  void sets();
  void indicators();
  void general_constraints();
  void piecewise_linear();
  void active_cuts();
  void rows();
  // Bounds of a user column as the solver sees them (a semi-continuous
  // column may also be 0).
  void column_range(int col, double &lo, double &up) const {
    lo = col_lower_[size_t(col)];
    up = col_upper_[size_t(col)];
    if (integrality_[size_t(col)] == HighsVarType::kSemiContinuous ||
        integrality_[size_t(col)] == HighsVarType::kSemiInteger) {
      lo = std::min(lo, 0.0);
      up = std::max(up, 0.0);
    }
  }
  bool is_binary(int col) const {
    return integrality_[size_t(col)] == HighsVarType::kInteger && col_lower_[size_t(col)] >= 0.0 &&
           col_upper_[size_t(col)] <= 1.0;
  }
  int add_row_entries(double lower, double upper, const std::vector<std::pair<int, double>> &entries) {
    int row = int(row_lower_.size());
    row_lower_.push_back(lower);
    row_upper_.push_back(upper);
    for (const auto &[col, value] : entries)
      if (value != 0.0) extra_.push_back(Triplet{row, col, value});
    return row;
  }
  void max_or_min(const GeneralConstraint &g, const std::string &what);
  void matrix(HighsLp &lp) const;
  void hessian(HighsModel &model) const;

  const Model &m_;
  BuildMode mode_;
  double bigm_;
  std::vector<double> col_lower_, col_upper_, row_lower_, row_upper_;
  std::vector<HighsVarType> integrality_;
  std::vector<Triplet> extra_;
  bool integer_ = false;
};

void Builder::columns() {
  const int n = m_.cols();
  // Filled in one pass from the model's bounds (not cleared first), with
  // room for a few internal columns of the reformulations.
  col_lower_.reserve(size_t(n) + 16);
  col_upper_.reserve(size_t(n) + 16);
  std::transform(m_.lb.begin(), m_.lb.end(), std::back_inserter(col_lower_), lower_of);
  std::transform(m_.ub.begin(), m_.ub.end(), std::back_inserter(col_upper_), upper_of);
  integrality_.assign(size_t(n), HighsVarType::kContinuous);
  for (int j = 0; j < n; ++j) {
    const char type = m_.coltype[size_t(j)];
    if (type == 'C') continue;
    if (plain_column(m_, j, mode_, col_lower_[size_t(j)], col_upper_[size_t(j)], integrality_[size_t(j)])) continue;
    if (type == 'P')
      partially_integer_column(j);
    else
      semi_column(j);
  }
}

// x = 0 or L <= x <= ub with L = max(lb, limit) (x integer too for 'R').
// HiGHS takes such columns natively while their upper bound is small enough
// to serve it as a big-M (plain_column); larger ones get a binary of our own.
void Builder::semi_column(int j) {
  const bool integral = m_.coltype[size_t(j)] == 'R';
  // Copies: adding the binary below may move the bound vectors.
  const double lo = col_lower_[size_t(j)], up = col_upper_[size_t(j)];
  const double on_lower = std::max(lo, m_.limit[size_t(j)]);
  const HighsVarType plain = integral ? HighsVarType::kInteger : HighsVarType::kContinuous;
  if (on_lower <= 0.0) {  // zero lies in [lo, ub]: an ordinary column
    integrality_[size_t(j)] = plain;
    return;
  }
  if (up <= kMaxSemiVariableUpper) {
    col_lower_[size_t(j)] = on_lower;
    integrality_[size_t(j)] = integral ? HighsVarType::kSemiInteger : HighsVarType::kSemiContinuous;
    return;
  }
  require_bound(up, std::string(integral ? "semi-integer" : "semi-continuous") + " column " + m_.colnames.get(j));
  // z = 0: x = 0; z = 1: on_lower <= x <= up.
  integrality_[size_t(j)] = plain;
  col_lower_[size_t(j)] = 0.0;
  int z = add_binary();
  add_row(-kInf, 0.0, {{j, 1.0}, {z, -up}});
  add_row(0.0, kInf, {{j, 1.0}, {z, -on_lower}});
}

// Integer below the threshold, continuous from it up to the upper bound:
// x = y + v with y integer in [lb, ceil(limit) - 1] when z = 0 and v in
// [limit, ub] when z = 1 (the other part is 0).
void Builder::partially_integer_column(int j) {
  const double limit = m_.limit[size_t(j)];
  const double lo = col_lower_[size_t(j)], up = col_upper_[size_t(j)];
  if (lo >= limit) return;  // entirely in the continuous part
  if (up < limit) {         // entirely in the integer part
    integrality_[size_t(j)] = HighsVarType::kInteger;
    return;
  }
  const std::string what = "partially integer column " + m_.colnames.get(j);
  require_bound(lo, what);
  require_bound(up, what);
  const double y_max = std::ceil(limit) - 1.0;
  int y = add_col(std::min(lo, 0.0), std::max(y_max, 0.0), HighsVarType::kInteger);
  int v = add_col(std::min(limit, 0.0), std::max(up, 0.0), HighsVarType::kContinuous);
  int z = add_binary();
  add_row(0.0, 0.0, {{j, 1.0}, {y, -1.0}, {v, -1.0}});
  add_row(-kInf, y_max, {{y, 1.0}, {z, y_max}});  // z = 1 forces y <= 0
  add_row(lo, kInf, {{y, 1.0}, {z, lo}});         // z = 1 forces y >= 0
  add_row(0.0, kInf, {{v, 1.0}, {z, -limit}});
  add_row(-kInf, 0.0, {{v, 1.0}, {z, -up}});
}

// SOS1: one binary per member, at most one of them on. SOS2: one binary per
// pair of neighbours (in weight order), at most one pair on. A member whose
// binaries are all off is held at zero through its finite bounds.
void Builder::sets() {
  for (size_t k = 0; k < m_.sets.size(); ++k) {
    const SpecialOrderedSet &set = m_.sets[k];
    const size_t count = set.cols.size();
    const bool type2 = set.type == '2';
    if (count <= (type2 ? 2u : 1u)) continue;  // no restriction
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), size_t(0));
    if (set.weights.size() == count)
      std::stable_sort(order.begin(), order.end(),
                       [&](size_t a, size_t b) { return set.weights[a] < set.weights[b]; });
    const std::string set_name = m_.setnames.get(int(k));
    const size_t nbin = type2 ? count - 1 : count;
    std::vector<int> binaries(nbin);
    for (auto &b : binaries) b = add_binary();
    {
      int row = int(row_lower_.size());
      row_lower_.push_back(-kInf);
      row_upper_.push_back(1.0);
      for (int b : binaries) extra_.push_back(Triplet{row, b, 1.0});
    }
    for (size_t pos = 0; pos < count; ++pos) {
      const int col = set.cols[order[pos]];
      if (col < 0 || col >= m_.cols())
        throw Error("special ordered set " + set_name + " refers to column " + std::to_string(col) +
                    ", which does not exist");
      const double lo = col_lower_[size_t(col)], up = col_upper_[size_t(col)];
      const std::string what = "special ordered set " + set_name + " (member column " + m_.colnames.get(col) + ")";
      // The binaries that allow this member to be non-zero.
      std::vector<int> allow;
      if (type2) {
        if (pos > 0) allow.push_back(binaries[pos - 1]);
        if (pos + 1 < count) allow.push_back(binaries[pos]);
      } else {
        allow.push_back(binaries[pos]);
      }
      if (up > 0.0) {  // x <= up * sum(allow)
        require_bound(up, what);
        int row = int(row_lower_.size());
        row_lower_.push_back(-kInf);
        row_upper_.push_back(0.0);
        extra_.push_back(Triplet{row, col, 1.0});
        for (int b : allow) extra_.push_back(Triplet{row, b, -up});
      }
      if (lo < 0.0) {  // x >= lo * sum(allow)
        require_bound(lo, what);
        int row = int(row_lower_.size());
        row_lower_.push_back(0.0);
        row_upper_.push_back(kInf);
        extra_.push_back(Triplet{row, col, 1.0});
        for (int b : allow) extra_.push_back(Triplet{row, b, -lo});
      }
    }
  }
}

void Builder::rows() {
  const int m = m_.rows();
  row_lower_.resize(size_t(m));
  row_upper_.resize(size_t(m));
  for (int i = 0; i < m; ++i) row_bounds(m_, i, row_lower_[size_t(i)], row_upper_[size_t(i)]);
}

// An indicator row holds when its binary is at the active value and is
// switched off otherwise by a big-M taken from the row's activity range over
// the column bounds. The user's row keeps its index and carries the upper
// side; a range or equality row gets a second, internal row for its lower side.
void Builder::indicators() {
  if (m_.indicators.empty()) return;
  std::vector<int> rows_with_indicator;
  for (const auto &entry : m_.indicators) rows_with_indicator.push_back(entry.first);
  std::sort(rows_with_indicator.begin(), rows_with_indicator.end());
  if (mode_ == BuildMode::Relaxation) {
    for (int r : rows_with_indicator) {
      if (r < 0 || r >= m_.rows()) continue;
      row_lower_[size_t(r)] = -kInf;
      row_upper_[size_t(r)] = kInf;
    }
    return;
  }
  const CompressedMatrix &by_rows = m_.by_rows();
  for (int r : rows_with_indicator) {
    const Indicator &ind = m_.indicators.at(r);
    if (r < 0 || r >= m_.rows()) throw Error("Indicator constraint on row " + std::to_string(r) + " out of range");
    const std::string what = "indicator constraint " + m_.rownames.get(r);
    const int z = ind.col;
    if (z < 0 || z >= m_.cols()) throw Error(what + " refers to column " + std::to_string(z) + ", which does not exist");
    const char ztype = m_.coltype[size_t(z)];
    if (!(ztype == 'B' || (ztype == 'I' && col_lower_[size_t(z)] >= 0.0 && col_upper_[size_t(z)] <= 1.0)))
      throw Error(what + " needs a binary indicator column, but column " + m_.colnames.get(z) + " is not binary");
    if (ind.complement != 1 && ind.complement != -1) continue;

    double min_act = 0.0, max_act = 0.0;
    std::string unbounded_col;
    for (int64_t p = by_rows.start[size_t(r)]; p < by_rows.start[size_t(r) + 1]; ++p) {
      const int col = by_rows.index[size_t(p)];
      const double a = by_rows.value[size_t(p)];
      if (a == 0.0) continue;
      double lo = col_lower_[size_t(col)], up = col_upper_[size_t(col)];
      if (integrality_[size_t(col)] == HighsVarType::kSemiContinuous ||
          integrality_[size_t(col)] == HighsVarType::kSemiInteger) {
        lo = std::min(lo, 0.0);  // a semi-continuous column may also be 0
        up = std::max(up, 0.0);
      }
      if ((std::isinf(lo) || std::isinf(up)) && unbounded_col.empty()) unbounded_col = m_.colnames.get(col);
      min_act += a > 0 ? a * lo : a * up;
      max_act += a > 0 ? a * up : a * lo;
    }
    const double lower = row_lower_[size_t(r)], upper = row_upper_[size_t(r)];
    auto big_m = [&](double m_value) {
      if (std::isinf(m_value) || std::isnan(m_value))
        throw Error(what + " needs finite bounds on the columns of its row, but column " + unbounded_col +
                    " has an infinite bound");
      if (m_value > bigm_)
        throw Error(what + " needs a big-M of " + number_text(m_value) +
                    " from the bounds of its columns, more than the bigm control allows (" + number_text(bigm_) + ")");
      return m_value;
    };
    const bool active_at_one = ind.complement == 1;
    // Upper side: a'x <= upper + M (1 - z)  or  a'x <= upper + M z.
    double new_upper = upper;
    double z_coef_upper = 0.0;
    if (!std::isinf(upper) && max_act > upper) {
      const double M = big_m(max_act - upper);
      z_coef_upper = active_at_one ? M : -M;
      new_upper = active_at_one ? upper + M : upper;
    }
    // Lower side: a'x >= lower - M (1 - z)  or  a'x >= lower - M z.
    double new_lower = lower;
    double z_coef_lower = 0.0;
    if (!std::isinf(lower) && min_act < lower) {
      const double M = big_m(lower - min_act);
      z_coef_lower = active_at_one ? -M : M;
      new_lower = active_at_one ? lower - M : lower;
    }
    const bool two_sided = !std::isinf(lower) && !std::isinf(upper);
    if (!two_sided) {
      row_lower_[size_t(r)] = std::isinf(lower) ? -kInf : new_lower;
      row_upper_[size_t(r)] = std::isinf(upper) ? kInf : new_upper;
      double z_coef = std::isinf(upper) ? z_coef_lower : z_coef_upper;
      if (z_coef != 0.0) extra_.push_back(Triplet{r, z, z_coef});
      continue;
    }
    row_lower_[size_t(r)] = -kInf;
    row_upper_[size_t(r)] = new_upper;
    if (z_coef_upper != 0.0) extra_.push_back(Triplet{r, z, z_coef_upper});
    int second = int(row_lower_.size());
    row_lower_.push_back(new_lower);
    row_upper_.push_back(kInf);
    for (int64_t p = by_rows.start[size_t(r)]; p < by_rows.start[size_t(r) + 1]; ++p)
      extra_.push_back(Triplet{second, by_rows.index[size_t(p)], by_rows.value[size_t(p)]});
    if (z_coef_lower != 0.0) extra_.push_back(Triplet{second, z, z_coef_lower});
  }
}

// y = max(operands): y >= every operand, and y <= the operand picked by a
// binary (one of them), relaxed for the others by the largest upper bound
// minus the operand's lower bound. y = min(operands) mirrors it.
void Builder::max_or_min(const GeneralConstraint &g, const std::string &what) {
  const bool is_max = g.type == GENCONS_MAX;
  const int y = g.resultant;
  struct Operand {
    int col;  // -1 for the constant
    double value, lo, up;
  };
  std::vector<Operand> ops;
  for (int c : g.cols) {
    double lo, up;
    column_range(c, lo, up);
    ops.push_back(Operand{c, 0.0, lo, up});
  }
  if (!g.vals.empty()) {
    const double c = is_max ? *std::max_element(g.vals.begin(), g.vals.end())
                            : *std::min_element(g.vals.begin(), g.vals.end());
    ops.push_back(Operand{-1, c, c, c});
  }
  const double side = is_max ? 1.0 : -1.0;
  // y >= x_i (max) or y <= x_i (min).
  for (const Operand &o : ops) {
    if (o.col < 0)
      add_row_entries(is_max ? o.value : -kInf, is_max ? kInf : o.value, {{y, 1.0}});
    else
      add_row_entries(is_max ? 0.0 : -kInf, is_max ? kInf : 0.0, {{y, 1.0}, {o.col, -1.0}});
  }
  if (ops.size() == 1) {  // y is that operand
    const Operand &o = ops[0];
    if (o.col < 0)
      add_row_entries(o.value, o.value, {{y, 1.0}});
    else
      add_row_entries(0.0, 0.0, {{y, 1.0}, {o.col, -1.0}});
    return;
  }
  double extreme = is_max ? -kInf : kInf;  // largest upper (max) or smallest lower (min) bound
  for (const Operand &o : ops) {
    const std::string operand = o.col < 0 ? what : what + " (operand column " + m_.colnames.get(o.col) + ")";
    require_bound(o.lo, operand);
    require_bound(o.up, operand);
    extreme = is_max ? std::max(extreme, o.up) : std::min(extreme, o.lo);
  }
  std::vector<std::pair<int, double>> pick;
  for (const Operand &o : ops) {
    const int b = add_binary();
    pick.emplace_back(b, 1.0);
    // max: y - x_i + M b <= M with M = extreme - lo_i; min: y - x_i - M b >= -M with M = up_i - extreme.
    const double big = is_max ? extreme - o.lo : o.up - extreme;
    std::vector<std::pair<int, double>> entries{{y, 1.0}, {b, side * big}};
    double rhs = side * big;
    if (o.col >= 0)
      entries.emplace_back(o.col, -1.0);
    else
      rhs += o.value;
    if (is_max)
      add_row_entries(-kInf, rhs, entries);
    else
      add_row_entries(rhs, kInf, entries);
  }
  add_row_entries(1.0, 1.0, pick);
}

void Builder::general_constraints() {
  const auto &list = m_.mip.gencons;
  for (size_t k = 0; k < list.size(); ++k) {
    const GeneralConstraint &g = list[k];
    const std::string what =
        "general constraint " + std::to_string(k) + " (" + general_constraint_type_name(g.type) + " into column " +
        (g.resultant >= 0 && g.resultant < m_.cols() ? m_.colnames.get(g.resultant) : std::to_string(g.resultant)) +
        ")";
    if (g.resultant < 0 || g.resultant >= m_.cols()) throw Error(what + " refers to a column that does not exist");
    for (int c : g.cols)
      if (c < 0 || c >= m_.cols()) throw Error(what + " refers to a column that does not exist");
    const int y = g.resultant;
    switch (g.type) {
      case GENCONS_MAX:
      case GENCONS_MIN: max_or_min(g, what); break;
      case GENCONS_AND:
      case GENCONS_OR: {
        const bool is_and = g.type == GENCONS_AND;
        if (!is_binary(y)) throw Error(what + " needs a binary resultant, but column " + m_.colnames.get(y) + " is not binary");
        std::vector<std::pair<int, double>> sum{{y, -1.0}};
        for (int c : g.cols) {
          if (!is_binary(c)) throw Error(what + " needs binary columns, but column " + m_.colnames.get(c) + " is not binary");
          // and: y <= x_i; or: y >= x_i.
          add_row_entries(is_and ? -kInf : 0.0, is_and ? 0.0 : kInf, {{y, 1.0}, {c, -1.0}});
          sum.emplace_back(c, 1.0);
        }
        // and: sum x - y <= n - 1; or: sum x - y >= 0.
        if (is_and)
          add_row_entries(-kInf, double(g.cols.size()) - 1.0, sum);
        else
          add_row_entries(0.0, kInf, sum);
        break;
      }
      case GENCONS_ABS: {
        const int x = g.cols.at(0);
        double lo, up;
        column_range(x, lo, up);
        if (lo >= 0.0) {
          add_row_entries(0.0, 0.0, {{y, 1.0}, {x, -1.0}});
          break;
        }
        if (up <= 0.0) {
          add_row_entries(0.0, 0.0, {{y, 1.0}, {x, 1.0}});
          break;
        }
        const std::string operand = what + " (operand column " + m_.colnames.get(x) + ")";
        require_bound(lo, operand);
        require_bound(up, operand);
        // y >= x, y >= -x; b = 1: y <= x, b = 0: y <= -x.
        const int b = add_binary();
        add_row_entries(0.0, kInf, {{y, 1.0}, {x, -1.0}});
        add_row_entries(0.0, kInf, {{y, 1.0}, {x, 1.0}});
        add_row_entries(-kInf, -2.0 * lo, {{y, 1.0}, {x, -1.0}, {b, -2.0 * lo}});
        add_row_entries(-kInf, 0.0, {{y, 1.0}, {x, 1.0}, {b, -2.0 * up}});
        break;
      }
      default: throw Error(what + " has an unknown type");
    }
  }
}

// y = f(x) as a convex combination of neighbouring points: weights l_p of the
// points sum to 1, x and y are the weighted sums, and a binary per segment
// (one of them on) allows only the weights of its two end points. Points are
// added at the bounds of x where they reach beyond the given ones, on the
// first and last segment's lines; vertical segments (jumps) get no binary, so
// at a jump y takes the value of one side.
void Builder::piecewise_linear() {
  const auto &list = m_.mip.pwlcons;
  for (size_t k = 0; k < list.size(); ++k) {
    const PiecewiseLinear &f = list[k];
    if (f.col < 0 || f.col >= m_.cols() || f.resultant < 0 || f.resultant >= m_.cols() || f.x.empty())
      throw Error("piecewise-linear constraint " + std::to_string(k) + " refers to a column that does not exist");
    const std::string what = "piecewise-linear constraint " + std::to_string(k) + " (column " +
                             m_.colnames.get(f.resultant) + " as a function of column " + m_.colnames.get(f.col) + ")";
    std::vector<double> px(f.x), py(f.y);
    double lo, up;
    column_range(f.col, lo, up);
    auto slope = [](double x0, double y0, double x1, double y1) { return x1 > x0 ? (y1 - y0) / (x1 - x0) : 0.0; };
    if (lo < px.front()) {
      require_bound(lo, what + " (lower bound of its argument below the first point)");
      const double s = px.size() > 1 ? slope(px[0], py[0], px[1], py[1]) : 0.0;
      py.insert(py.begin(), py.front() + s * (lo - px.front()));
      px.insert(px.begin(), lo);
    }
    if (up > px.back()) {
      require_bound(up, what + " (upper bound of its argument beyond the last point)");
      const size_t n = px.size();
      const double s = n > 1 ? slope(px[n - 2], py[n - 2], px[n - 1], py[n - 1]) : 0.0;
      py.push_back(py.back() + s * (up - px.back()));
      px.push_back(up);
    }
    const int x = f.col, y = f.resultant;
    std::vector<size_t> segments;  // segment s joins points s and s + 1
    for (size_t s = 0; s + 1 < px.size(); ++s)
      if (px[s + 1] > px[s]) segments.push_back(s);
    if (segments.empty()) {  // a single point: x and y fixed there
      add_row_entries(px[0], px[0], {{x, 1.0}});
      add_row_entries(py[0], py[0], {{y, 1.0}});
      continue;
    }
    std::vector<int> weight(px.size(), -1);
    for (size_t s : segments)
      for (size_t p : {s, s + 1})
        if (weight[p] < 0) weight[p] = add_col(0.0, 1.0, HighsVarType::kContinuous);
    std::vector<std::pair<int, double>> total, xsum{{x, -1.0}}, ysum{{y, -1.0}};
    for (size_t p = 0; p < px.size(); ++p) {
      if (weight[p] < 0) continue;
      total.emplace_back(weight[p], 1.0);
      xsum.emplace_back(weight[p], px[p]);
      ysum.emplace_back(weight[p], py[p]);
    }
    add_row_entries(1.0, 1.0, total);
    add_row_entries(0.0, 0.0, xsum);
    add_row_entries(0.0, 0.0, ysum);
    if (segments.size() == 1) continue;  // the two weights are the whole choice
    std::vector<std::vector<std::pair<int, double>>> allow(px.size());
    std::vector<std::pair<int, double>> pick;
    for (size_t s : segments) {
      const int z = add_binary();
      pick.emplace_back(z, 1.0);
      allow[s].emplace_back(z, -1.0);
      allow[s + 1].emplace_back(z, -1.0);
    }
    add_row_entries(1.0, 1.0, pick);
    for (size_t p = 0; p < px.size(); ++p) {
      if (weight[p] < 0) continue;
      std::vector<std::pair<int, double>> entries{{weight[p], 1.0}};
      entries.insert(entries.end(), allow[p].begin(), allow[p].end());
      add_row_entries(-kInf, 0.0, entries);  // l_p <= sum of the binaries of its segments
    }
  }
}

// Active cuts of the pool are rows after the model's own, in id order.
void Builder::active_cuts() {
  for (const auto &[id, cut] : m_.mip.cuts.cuts()) {
    if (!cut.active) continue;
    double lower, upper;
    cut_row_bounds(cut, lower, upper);
    std::vector<std::pair<int, double>> entries;
    for (size_t k = 0; k < cut.cols.size(); ++k) {
      if (cut.cols[k] < 0 || cut.cols[k] >= m_.cols())
        throw Error("cut " + std::to_string(id) + " refers to a column that does not exist");
      entries.emplace_back(cut.cols[k], cut.coefs[k]);
    }
    add_row_entries(lower, upper, entries);
  }
}

// The column-wise matrix: the user's columns from the model's compressed
// copy, merged with the reformulation's coefficients (summing duplicates).
void Builder::matrix(HighsLp &lp) const {
  const CompressedMatrix &by_cols = m_.by_cols();
  const int user_cols = m_.cols();
  const int ncols = lp.num_col_;
  HighsSparseMatrix &a = lp.a_matrix_;
  a.format_ = MatrixFormat::kColwise;
  a.num_col_ = ncols;
  a.num_row_ = lp.num_row_;
  const int64_t user_nz = user_cols > 0 ? by_cols.start[size_t(user_cols)] : 0;
  const int64_t total = user_nz + int64_t(extra_.size());
  if (total > int64_t(std::numeric_limits<HighsInt>::max()))
    throw Error("The constraint matrix has too many coefficients for the solver (" + std::to_string(total) + ")");
  if (extra_.empty()) {
    a.start_.assign(by_cols.start.begin(), by_cols.start.end());
    if (a.start_.empty()) a.start_.push_back(0);
    a.index_.assign(by_cols.index.begin(), by_cols.index.begin() + user_nz);
    a.value_.assign(by_cols.value.begin(), by_cols.value.begin() + user_nz);
    return;
  }
  std::vector<HighsInt> count(size_t(ncols) + 1, 0);
  for (int j = 0; j < user_cols; ++j) count[size_t(j)] = HighsInt(by_cols.start[size_t(j) + 1] - by_cols.start[size_t(j)]);
  for (const auto &t : extra_) ++count[size_t(t.col)];
  a.start_.assign(size_t(ncols) + 1, 0);
  for (int j = 0; j < ncols; ++j) a.start_[size_t(j) + 1] = a.start_[size_t(j)] + count[size_t(j)];
  a.index_.resize(size_t(total));
  a.value_.resize(size_t(total));
  std::vector<HighsInt> fill(a.start_.begin(), a.start_.end() - 1);
  std::vector<bool> touched(size_t(ncols), false);
  for (int j = 0; j < user_cols; ++j)
    for (int64_t p = by_cols.start[size_t(j)]; p < by_cols.start[size_t(j) + 1]; ++p) {
      a.index_[size_t(fill[size_t(j)])] = by_cols.index[size_t(p)];
      a.value_[size_t(fill[size_t(j)]++)] = by_cols.value[size_t(p)];
    }
  for (const auto &t : extra_) {
    touched[size_t(t.col)] = t.col < user_cols || touched[size_t(t.col)];
    a.index_[size_t(fill[size_t(t.col)])] = t.row;
    a.value_[size_t(fill[size_t(t.col)]++)] = t.value;
  }
  // A user column that received extra coefficients may now hold one row
  // twice (an indicator's binary that also appears in its own row).
  std::vector<HighsInt> new_start(size_t(ncols) + 1, 0);
  HighsInt out = 0;
  std::vector<std::pair<HighsInt, double>> entries;
  for (int j = 0; j < ncols; ++j) {
    const HighsInt begin = a.start_[size_t(j)], end = a.start_[size_t(j) + 1];
    new_start[size_t(j)] = out;
    if (!touched[size_t(j)]) {
      for (HighsInt p = begin; p < end; ++p) {
        a.index_[size_t(out)] = a.index_[size_t(p)];
        a.value_[size_t(out++)] = a.value_[size_t(p)];
      }
      continue;
    }
    entries.clear();
    for (HighsInt p = begin; p < end; ++p) entries.emplace_back(a.index_[size_t(p)], a.value_[size_t(p)]);
    std::sort(entries.begin(), entries.end(), [](const auto &x, const auto &y) { return x.first < y.first; });
    for (size_t e = 0; e < entries.size();) {
      HighsInt row = entries[e].first;
      double sum = 0.0;
      for (; e < entries.size() && entries[e].first == row; ++e) sum += entries[e].second;
      a.index_[size_t(out)] = row;
      a.value_[size_t(out++)] = sum;
    }
  }
  new_start[size_t(ncols)] = out;
  a.start_ = std::move(new_start);
  a.index_.resize(size_t(out));
  a.value_.resize(size_t(out));
}

void Builder::hessian(HighsModel &model) const { build_hessian(m_, model.lp_.num_col_, model.hessian_); }

void Builder::lay_out() {
  rows();  // first: the user's rows keep the leading indices
  columns();
  if (mode_ == BuildMode::Discrete) {
    sets();
    general_constraints();
    piecewise_linear();
  }
  indicators();
  active_cuts();
}

BuiltModel Builder::build() {
  lay_out();
  BuiltModel built;
  for (const Triplet &t : extra_)
    if (t.row < m_.rows()) built.reformulated_coefs.emplace_back(t.row, t.col);
  built.user_cols = m_.cols();
  built.user_rows = m_.rows();
  HighsLp &lp = built.model.lp_;
  lp.num_col_ = int(col_lower_.size());
  lp.num_row_ = int(row_lower_.size());
  lp.col_cost_.reserve(size_t(lp.num_col_));
  lp.col_cost_.assign(m_.obj.begin(), m_.obj.end());
  lp.col_cost_.resize(size_t(lp.num_col_), 0.0);  // internal columns cost nothing
  lp.col_lower_ = std::move(col_lower_);
  lp.col_upper_ = std::move(col_upper_);
  lp.row_lower_ = std::move(row_lower_);
  lp.row_upper_ = std::move(row_upper_);
  lp.sense_ = m_.obj_sense < 0 ? ObjSense::kMaximize : ObjSense::kMinimize;
  lp.offset_ = m_.obj_constant;
  built.integer = std::any_of(integrality_.begin(), integrality_.end(),
                              [](HighsVarType t) { return t != HighsVarType::kContinuous; });
  if (built.integer) lp.integrality_ = std::move(integrality_);
  matrix(lp);
  hessian(built.model);
  return built;
}

BuiltTail Builder::tail() {
  lay_out();
  BuiltTail t;
  t.user_cols = m_.cols();
  t.user_rows = m_.rows();
  const size_t nrows = row_lower_.size();
  t.col_lower = std::move(col_lower_);
  t.col_upper = std::move(col_upper_);
  t.integrality = std::move(integrality_);
  t.row_lower = std::move(row_lower_);
  t.row_upper = std::move(row_upper_);
  // Sorted by row and column, so that repeats sit together and are summed:
  // an indicator's binary may also be a column of its own row.
  std::sort(extra_.begin(), extra_.end(),
            [](const Triplet &a, const Triplet &b) { return a.row != b.row ? a.row < b.row : a.col < b.col; });
  std::vector<Triplet> summed;
  summed.reserve(extra_.size());
  for (const Triplet &e : extra_) {
    if (!summed.empty() && summed.back().row == e.row && summed.back().col == e.col)
      summed.back().value += e.value;
    else
      summed.push_back(e);
  }
  const auto tail_begin = std::lower_bound(summed.begin(), summed.end(), t.user_rows,
                                           [](const Triplet &e, int row) { return e.row < row; });
  t.user_block_terms.assign(summed.begin(), tail_begin);
  t.tail_start.assign(nrows - size_t(t.user_rows) + 1, 0);
  for (auto e = tail_begin; e != summed.end(); ++e) {
    ++t.tail_start[size_t(e->row - t.user_rows) + 1];
    t.tail_index.push_back(e->col);
    t.tail_value.push_back(e->value);
  }
  for (size_t r = 1; r < t.tail_start.size(); ++r) t.tail_start[r] += t.tail_start[r - 1];
  return t;
}

}  // namespace

bool plain_column(const Model &m, int j, BuildMode mode, double &lower, double &upper, HighsVarType &type) {
  const char kind = m.coltype[size_t(j)];
  lower = lower_of(m.lb[size_t(j)]);
  upper = upper_of(m.ub[size_t(j)]);
  type = HighsVarType::kContinuous;
  if (kind == 'B') {
    lower = std::max(lower, 0.0);
    upper = std::min(upper, 1.0);
  }
  if (mode == BuildMode::Relaxation) {
    // Semi-continuous and semi-integer columns relax to the hull of zero
    // and their on-range; integrality is dropped.
    if (kind == 'S' || kind == 'R') {
      if (std::max(lower, m.limit[size_t(j)]) > 0.0) lower = 0.0;
      upper = std::max(upper, 0.0);
    }
    return true;
  }
  switch (kind) {
    case 'B':
    case 'I': type = HighsVarType::kInteger; return true;
    case 'S':
    case 'R': {
      // x = 0 or L <= x <= ub with L = max(lb, limit).
      const bool integral = kind == 'R';
      const double on_lower = std::max(lower, m.limit[size_t(j)]);
      if (on_lower <= 0.0) {  // zero lies in [lb, ub]: an ordinary column
        type = integral ? HighsVarType::kInteger : HighsVarType::kContinuous;
        return true;
      }
      if (upper > kMaxSemiVariableUpper) return false;
      lower = on_lower;
      type = integral ? HighsVarType::kSemiInteger : HighsVarType::kSemiContinuous;
      return true;
    }
    case 'P': {
      const double limit = m.limit[size_t(j)];
      if (lower >= limit) return true;  // entirely in the continuous part
      if (upper < limit) {              // entirely in the integer part
        type = HighsVarType::kInteger;
        return true;
      }
      return false;
    }
    default: return true;
  }
}

void cut_row_bounds(const Cut &cut, double &lower, double &upper) {
  lower = cut.rowtype == 'L' ? -kInf : lower_of(cut.rhs);
  upper = cut.rowtype == 'G' ? kInf : upper_of(cut.rhs);
}

void row_bounds(const Model &m, int row, double &lower, double &upper) {
  const double rhs = m.rhs[size_t(row)];
  switch (m.rowtype[size_t(row)]) {
    case 'L': lower = -kInf; upper = upper_of(rhs); break;
    case 'G': lower = lower_of(rhs); upper = kInf; break;
    case 'E': lower = lower_of(rhs); upper = upper_of(rhs); break;
    case 'R':
      upper = upper_of(rhs);
      lower = lower_of(rhs - std::fabs(m.range[size_t(row)]));
      break;
    default: lower = -kInf; upper = kInf; break;  // 'N': free row
  }
}

// The objective's quadratic part as HiGHS's lower triangle by columns:
// entry (i <= j, q) goes to column i, row j.
void build_hessian(const Model &m, int dim, HighsHessian &h) {
  h.clear();
  std::vector<QuadEntry> entries;
  entries.reserve(m.qobj.size());
  for (const auto &e : m.qobj) {
    if (e.q == 0.0) continue;
    if (std::min(e.i, e.j) < 0 || std::max(e.i, e.j) >= m.cols())
      throw Error("The quadratic objective refers to a column that does not exist");
    entries.push_back(QuadEntry{std::min(e.i, e.j), std::max(e.i, e.j), e.q});
  }
  if (entries.empty()) return;
  std::sort(entries.begin(), entries.end(),
            [](const QuadEntry &x, const QuadEntry &y) { return x.i != y.i ? x.i < y.i : x.j < y.j; });
  h.dim_ = dim;
  h.format_ = HessianFormat::kTriangular;
  h.start_.assign(size_t(h.dim_) + 1, 0);
  for (size_t e = 0; e < entries.size();) {
    const int i = entries[e].i, j = entries[e].j;
    double sum = 0.0;
    for (; e < entries.size() && entries[e].i == i && entries[e].j == j; ++e) sum += entries[e].q;
    h.index_.push_back(j);
    h.value_.push_back(sum);
    ++h.start_[size_t(i) + 1];
  }
  for (int c = 0; c < h.dim_; ++c) h.start_[size_t(c) + 1] += h.start_[size_t(c)];
}

bool has_discrete_entities(const Model &m) {
  if (!m.sets.empty() || !m.indicators.empty() || !m.mip.gencons.empty() || !m.mip.pwlcons.empty()) return true;
  return std::any_of(m.coltype.begin(), m.coltype.end(), [](char t) { return t != 'C'; });
}

size_t quadratic_objective_entries(const Model &m) {
  return size_t(std::count_if(m.qobj.begin(), m.qobj.end(), [](const QuadEntry &e) { return e.q != 0.0; }));
}

BuiltModel build_highs_model(const Model &m, BuildMode mode, double bigm) {
  return Builder(m, mode, bigm).build();
}

BuiltTail build_highs_tail(const Model &m, BuildMode mode, double bigm) { return Builder(m, mode, bigm).tail(); }

}  // namespace krvs
