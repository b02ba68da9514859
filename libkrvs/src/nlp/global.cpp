// Spatial branch and bound over the nonlinear problem's formulas.
//
// Every nonlinear term (coefficient formulas, quadratic parts of rows and
// objective) becomes a tree of operations; each operation gets an
// auxiliary column of the relaxation, bounded by interval arithmetic over
// the node's box and tied to its arguments by linear inequalities that hold
// for every point of the box: McCormick envelopes for products and
// quotients, tangents below and a secant above convex functions (the other
// way round for concave ones), and the interval bounds alone for the rest.
// The relaxation is a linear program whose optimum bounds the node from
// below; SLP runs from its solution give feasible points. Nodes split on a
// fractional integer column, else on the column whose operations the
// relaxation misses most.
#include "global.h"

#include <Highs.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "callbacks.h"
#include "core/messages.h"
#include "core/problem.h"
#include "model/model.h"
#include "nlp_problem.h"
#include "point_eval.h"
#include "slp.h"

namespace krvs::nlp {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kModelInf = 1e20;
constexpr double kPi = 3.14159265358979323846;

struct Iv {
  double lo, hi;
  bool empty() const { return lo > hi; }
};

double to_model_bound(double v) { return v <= -kModelInf ? -kInf : v >= kModelInf ? kInf : v; }
double highs_bound(double v) { return v <= -kModelInf ? -kHighsInf : v >= kModelInf ? kHighsInf : v; }

// Product of two bounds, with 0 * infinity = 0.
double mul_bound(double a, double b) { return a == 0.0 || b == 0.0 ? 0.0 : a * b; }

Iv iv_mul(Iv a, Iv b) {
  double c[4] = {mul_bound(a.lo, b.lo), mul_bound(a.lo, b.hi), mul_bound(a.hi, b.lo), mul_bound(a.hi, b.hi)};
  return {*std::min_element(c, c + 4), *std::max_element(c, c + 4)};
}

Iv iv_div(Iv a, Iv b) {
  if (b.lo <= 0.0 && b.hi >= 0.0) return {-kInf, kInf};
  return iv_mul(a, Iv{1.0 / b.hi, 1.0 / b.lo});
}

enum class Op { Const, Col, Neg, Add, Sub, Mul, Div, Pow, Exp, Ln, Log10, Sqrt, Abs, Sin, Cos, Tan, Asin, Acos, Atan,
                Sign, Erf, Erfc, Min, Max, And, Or };

struct Node {
  Op op;
  std::vector<int> args;
  double value = 0.0;  // Const
  int col = -1;        // Col
};

// Whether an operation of one argument is convex or concave on an
// interval (neither: only its bounds relax it).
enum class Shape { None, Convex, Concave };

bool integral(double c) { return std::fabs(c) < 1e9 && c == std::round(c); }

double power(double x, double c) { return std::pow(x, c); }

Iv iv_pow_const(Iv a, double c) {
  if (c == 0.0) return {1.0, 1.0};
  if (integral(c)) {
    const long k = std::lround(c);
    if (k > 0) {
      if (k % 2 == 1) return {a.lo == -kInf ? -kInf : power(a.lo, c), a.hi == kInf ? kInf : power(a.hi, c)};
      double flo = a.lo == -kInf ? kInf : power(a.lo, c), fhi = a.hi == kInf ? kInf : power(a.hi, c);
      if (a.lo >= 0) return {flo, fhi};
      if (a.hi <= 0) return {fhi, flo};
      return {0.0, std::max(flo, fhi)};
    }
    if (a.lo <= 0 && a.hi >= 0) return {-kInf, kInf};
    double f1 = std::isinf(a.lo) ? 0.0 : power(a.lo, c), f2 = std::isinf(a.hi) ? 0.0 : power(a.hi, c);
    return {std::min(f1, f2), std::max(f1, f2)};
  }
  // A fractional power exists for non-negative numbers only.
  Iv d{std::max(a.lo, 0.0), a.hi};
  if (d.empty()) return {1.0, 0.0};
  if (c > 0) return {power(d.lo, c), d.hi == kInf ? kInf : power(d.hi, c)};
  return {d.hi == kInf ? 0.0 : power(d.hi, c), d.lo == 0.0 ? kInf : power(d.lo, c)};
}

Shape pow_shape(Iv a, double c) {
  if (c == 0.0 || c == 1.0) return Shape::None;
  if (integral(c)) {
    const long k = std::lround(c);
    if (k > 0 && k % 2 == 0) return Shape::Convex;
    if (a.lo >= 0) return k > 1 || k < 0 ? (a.lo > 0 || k > 0 ? Shape::Convex : Shape::None) : Shape::None;
    if (a.hi <= 0) {
      if (k > 1) return Shape::Concave;
      if (k < 0 && a.hi < 0) return k % 2 == 0 ? Shape::Convex : Shape::Concave;
    }
    return Shape::None;
  }
  if (a.lo < 0) return Shape::None;
  return c > 1 || c < 0 ? Shape::Convex : Shape::Concave;
}

Iv iv_trig(Iv a, bool cosine) {
  if (!std::isfinite(a.lo) || !std::isfinite(a.hi) || a.hi - a.lo >= 2 * kPi) return {-1.0, 1.0};
  auto f = [&](double v) { return cosine ? std::cos(v) : std::sin(v); };
  double lo = std::min(f(a.lo), f(a.hi)), hi = std::max(f(a.lo), f(a.hi));
  // Extremes inside: sin peaks at pi/2 + 2k pi, cos at 2k pi.
  const double phase = cosine ? 0.0 : kPi / 2;
  for (double k = std::ceil((a.lo - phase) / kPi); phase + k * kPi <= a.hi; k += 1.0) {
    if (std::fmod(std::fabs(k), 2.0) == 0.0)
      hi = 1.0;
    else
      lo = -1.0;
  }
  return {lo, hi};
}

class GlobalSolver {
 public:
  explicit GlobalSolver(KNLSprob prob) : prob_(prob), m_(*prob->optprob->model) {}
  void run();

 private:
  // ---- the operation trees ----
  int add_node(Node n);
  int build_formula(const Formula &f);
  int column_node(int j);
  int product_node(int a, int b);
  void build();
  // ---- one node of the search ----
  struct Box {
    std::vector<double> lb, ub;
    double bound = -kInf;  // the parent's relaxation bound
    int depth = 0;
  };
  bool intervals(const Box &box, std::vector<Iv> &iv) const;
  enum class Relax { Solved, Infeasible, Failed };
  Relax relax(const Box &box, double &bound, std::vector<double> &point);
  void add_envelope(int node, const std::vector<Iv> &iv);
  double node_value(int node, const std::vector<double> &col_values, bool &ok) const;
  int choose_branch(const Box &box, const std::vector<double> &point, double &at) const;
  void try_local_solve(const std::vector<double> &from);
  bool gap_closed(double bound) const;
  bool stop_requested() const;
  void log(const std::string &line) const { nlp_log(prob_, line, 1); }

  KNLSprob prob_;
  const Model &m_;
  int n_ = 0;
  double sense_ = 1.0;
  std::vector<Node> nodes_;
  std::vector<std::vector<int>> node_cols_;  // per node: the columns below it
  std::vector<int> aux_;                     // per node: its relaxation column, -1 for leaves
  int naux_ = 0;
  // Each row's and the objective's nonlinear part: (coefficient, node).
  std::vector<std::vector<std::pair<double, int>>> row_terms_;
  std::vector<std::pair<double, int>> obj_terms_;
  std::vector<char> in_nonlinear_;
  bool any_integer_ = false;

  // Relaxation rows being built: triplets and bounds.
  std::vector<int> r_start_, r_index_;
  std::vector<double> r_value_, r_lo_, r_hi_;
  void add_row(std::initializer_list<std::pair<int, double>> entries, double lo, double hi);
  void push_row(std::vector<std::pair<int, double>> entries, double lo, double hi);
  int lp_col(int node) const { return nodes_[size_t(node)].op == Op::Col ? nodes_[size_t(node)].col : aux_[size_t(node)]; }

  Highs highs_;
  double incumbent_ = kInf;  // sense * objective of the best feasible point
  bool have_incumbent_ = false;
  SlpSolution best_;
  double best_objective_ = 0.0;
  double abs_gap_ = 1e-6, rel_gap_ = 1e-6;
  std::chrono::steady_clock::time_point start_;
  long long nodes_done_ = 0;
  long long local_solves_ = 0;
};

int GlobalSolver::add_node(Node n) {
  nodes_.push_back(std::move(n));
  return int(nodes_.size()) - 1;
}

int GlobalSolver::column_node(int j) {
  in_nonlinear_[size_t(j)] = 1;
  Node n{Op::Col, {}, 0.0, j};
  return add_node(n);
}

int GlobalSolver::product_node(int a, int b) { return add_node(Node{Op::Mul, {a, b}}); }

int GlobalSolver::build_formula(const Formula &f) {
  constexpr int kMarker = -1;
  std::vector<int> stack;
  for (const Token &tok : f.tokens) {
    const int code = int(std::lround(tok.value));
    switch (tok.type) {
      case KNLS_TOK_CON: stack.push_back(add_node(Node{Op::Const, {}, tok.value})); break;
      case KNLS_TOK_COL: stack.push_back(column_node(code)); break;
      case KNLS_TOK_DEL: stack.push_back(kMarker); break;
      case KNLS_TOK_FUN:
        throw Error("The global solve cannot bound user functions: their values over a range are unknown");
      case KNLS_TOK_OP: {
        if (code == KNLS_OP_UMINUS) {
          int a = stack.back();
          stack.pop_back();
          stack.push_back(add_node(Node{Op::Neg, {a}}));
          break;
        }
        int b = stack.back();
        stack.pop_back();
        int a = stack.back();
        stack.pop_back();
        Op op = code == KNLS_OP_PLUS ? Op::Add : code == KNLS_OP_MINUS ? Op::Sub : code == KNLS_OP_MULTIPLY ? Op::Mul
                : code == KNLS_OP_DIVIDE ? Op::Div : Op::Pow;
        stack.push_back(add_node(Node{op, {a, b}}));
        break;
      }
      case KNLS_TOK_IFUN: {
        std::vector<int> args;
        while (!stack.empty() && stack.back() != kMarker) {
          args.push_back(stack.back());
          stack.pop_back();
          if (code != KNLS_IFUN_MIN && code != KNLS_IFUN_MAX && code != KNLS_IFUN_AND && code != KNLS_IFUN_OR &&
              code != KNLS_IFUN_PWL)
            break;
        }
        if (!stack.empty() && stack.back() == kMarker) stack.pop_back();
        Op op;
        switch (code) {
          case KNLS_IFUN_EXP: op = Op::Exp; break;
          case KNLS_IFUN_LN: op = Op::Ln; break;
          case KNLS_IFUN_LOG10: op = Op::Log10; break;
          case KNLS_IFUN_SQRT: op = Op::Sqrt; break;
          case KNLS_IFUN_ABS: op = Op::Abs; break;
          case KNLS_IFUN_SIN: op = Op::Sin; break;
          case KNLS_IFUN_COS: op = Op::Cos; break;
          case KNLS_IFUN_TAN: op = Op::Tan; break;
          case KNLS_IFUN_ARCSIN: op = Op::Asin; break;
          case KNLS_IFUN_ARCCOS: op = Op::Acos; break;
          case KNLS_IFUN_ARCTAN: op = Op::Atan; break;
          case KNLS_IFUN_SIGN: op = Op::Sign; break;
          case KNLS_IFUN_ERF: op = Op::Erf; break;
          case KNLS_IFUN_ERFC: op = Op::Erfc; break;
          case KNLS_IFUN_MIN: op = Op::Min; break;
          case KNLS_IFUN_MAX: op = Op::Max; break;
          case KNLS_IFUN_AND: op = Op::And; break;
          case KNLS_IFUN_OR: op = Op::Or; break;
          default:
            throw Error("The global solve cannot bound the " + function_name(tok.type, code) +
                        " function of a formula");
        }
        stack.push_back(add_node(Node{op, args}));
        break;
      }
      default: throw Error("Unknown token in a formula");
    }
  }
  if (stack.size() != 1) throw Error("A formula could not be read by the global solve");
  return stack.back();
}

void GlobalSolver::build() {
  n_ = m_.cols();
  in_nonlinear_.assign(size_t(n_), 0);
  row_terms_.assign(size_t(m_.rows()), {});
  for (const Coefficient &c : prob_->coefs) {
    if (c.row >= m_.rows() || c.col >= n_) throw Error("A nonlinear coefficient refers to a row or column that no longer exists");
    int f = build_formula(*c.formula);
    if (c.col >= 0) f = product_node(column_node(c.col), f);
    row_terms_[size_t(c.row)].emplace_back(c.factor, f);
  }
  for (const auto &[r, entries] : m_.qrows)
    for (const auto &e : entries) {
      int term = product_node(column_node(e.i), column_node(e.j));
      row_terms_[size_t(r)].emplace_back(e.i == e.j ? e.q : 2 * e.q, term);
    }
  for (const auto &e : m_.qobj) {
    int term = product_node(column_node(e.i), column_node(e.j));
    obj_terms_.emplace_back(e.i == e.j ? 0.5 * e.q : e.q, term);
  }
  aux_.assign(nodes_.size(), -1);
  node_cols_.assign(nodes_.size(), {});
  for (size_t k = 0; k < nodes_.size(); ++k) {
    const Node &nd = nodes_[k];
    if (nd.op == Op::Col) {
      node_cols_[k] = {nd.col};
      continue;
    }
    if (nd.op == Op::Const) continue;
    aux_[k] = n_ + naux_++;
    std::vector<int> cols;
    for (int a : nd.args) cols.insert(cols.end(), node_cols_[size_t(a)].begin(), node_cols_[size_t(a)].end());
    std::sort(cols.begin(), cols.end());
    cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
    node_cols_[k] = std::move(cols);
  }
  for (int j = 0; j < n_; ++j) {
    const char t = m_.coltype[size_t(j)];
    if (t == 'B' || t == 'I') any_integer_ = true;
    else if (t != 'C') throw Error("The global solve does not handle semi-continuous columns");
    if (in_nonlinear_[size_t(j)] && (m_.lb[size_t(j)] <= -kModelInf || m_.ub[size_t(j)] >= kModelInf))
      throw Error("The global solve needs finite bounds on column " + std::to_string(j) +
                  ", which enters a nonlinear term");
  }
  if (!m_.sets.empty() || !m_.indicators.empty())
    throw Error("The global solve does not handle special ordered sets or indicator constraints");
}

// Interval of every node over the box; false when some operation has no
// value anywhere in it (the box holds no point where the formulas exist).
bool GlobalSolver::intervals(const Box &box, std::vector<Iv> &iv) const {
  iv.assign(nodes_.size(), Iv{0, 0});
  for (size_t k = 0; k < nodes_.size(); ++k) {
    const Node &nd = nodes_[k];
    auto arg = [&](size_t i) { return iv[size_t(nd.args[i])]; };
    Iv r{-kInf, kInf};
    switch (nd.op) {
      case Op::Const: r = {nd.value, nd.value}; break;
      case Op::Col: r = {to_model_bound(box.lb[size_t(nd.col)]), to_model_bound(box.ub[size_t(nd.col)])}; break;
      case Op::Neg: r = {-arg(0).hi, -arg(0).lo}; break;
      case Op::Add: r = {arg(0).lo + arg(1).lo, arg(0).hi + arg(1).hi}; break;
      case Op::Sub: r = {arg(0).lo - arg(1).hi, arg(0).hi - arg(1).lo}; break;
      case Op::Mul: r = nd.args[0] == nd.args[1] ? iv_pow_const(arg(0), 2.0) : iv_mul(arg(0), arg(1)); break;
      case Op::Div: r = iv_div(arg(0), arg(1)); break;
      case Op::Pow:
        if (arg(1).lo == arg(1).hi) {
          r = iv_pow_const(arg(0), arg(1).lo);
        } else {
          Iv base{std::max(arg(0).lo, 0.0), arg(0).hi};
          if (base.empty()) return false;
          Iv ln{base.lo > 0 ? std::log(base.lo) : -kInf, std::log(base.hi)};
          Iv e = iv_mul(ln, arg(1));
          r = {std::exp(e.lo), std::exp(e.hi)};
        }
        break;
      case Op::Exp: r = {std::exp(arg(0).lo), std::exp(arg(0).hi)}; break;
      case Op::Ln:
      case Op::Log10: {
        if (arg(0).hi <= 0) return false;
        const double s = nd.op == Op::Ln ? 1.0 : 1.0 / std::log(10.0);
        r = {arg(0).lo > 0 ? s * std::log(arg(0).lo) : -kInf, s * std::log(arg(0).hi)};
        break;
      }
      case Op::Sqrt:
        if (arg(0).hi < 0) return false;
        r = {std::sqrt(std::max(arg(0).lo, 0.0)), std::sqrt(arg(0).hi)};
        break;
      case Op::Abs: {
        Iv a = arg(0);
        r = a.lo >= 0 ? a : a.hi <= 0 ? Iv{-a.hi, -a.lo} : Iv{0.0, std::max(-a.lo, a.hi)};
        break;
      }
      case Op::Sin: r = iv_trig(arg(0), false); break;
      case Op::Cos: r = iv_trig(arg(0), true); break;
      case Op::Tan: {
        Iv a = arg(0);
        const double k = std::floor((a.lo + kPi / 2) / kPi);
        // Increasing between asymptotes; one in the range: unbounded.
        if (std::isfinite(a.lo) && std::isfinite(a.hi) && a.hi < kPi / 2 + k * kPi)
          r = {std::tan(a.lo), std::tan(a.hi)};
        break;
      }
      case Op::Asin:
      case Op::Acos: {
        Iv a{std::max(arg(0).lo, -1.0), std::min(arg(0).hi, 1.0)};
        if (a.empty()) return false;
        r = nd.op == Op::Asin ? Iv{std::asin(a.lo), std::asin(a.hi)} : Iv{std::acos(a.hi), std::acos(a.lo)};
        break;
      }
      case Op::Atan: r = {std::atan(arg(0).lo), std::atan(arg(0).hi)}; break;
      case Op::Sign: r = {arg(0).lo < 0 ? -1.0 : arg(0).lo > 0 ? 1.0 : 0.0, arg(0).hi > 0 ? 1.0 : arg(0).hi < 0 ? -1.0 : 0.0}; break;
      case Op::Erf: r = {std::erf(arg(0).lo), std::erf(arg(0).hi)}; break;
      case Op::Erfc: r = {std::erfc(arg(0).hi), std::erfc(arg(0).lo)}; break;
      case Op::Min:
      case Op::Max: {
        r = arg(0);
        for (size_t i = 1; i < nd.args.size(); ++i) {
          Iv a = arg(i);
          r = nd.op == Op::Min ? Iv{std::min(r.lo, a.lo), std::min(r.hi, a.hi)} : Iv{std::max(r.lo, a.lo), std::max(r.hi, a.hi)};
        }
        break;
      }
      case Op::And:
      case Op::Or: r = {0.0, 1.0}; break;
    }
    if (std::isnan(r.lo) || std::isnan(r.hi)) r = {-kInf, kInf};
    if (r.empty()) return false;
    iv[k] = r;
  }
  return true;
}

void GlobalSolver::add_row(std::initializer_list<std::pair<int, double>> entries, double lo, double hi) {
  push_row(std::vector<std::pair<int, double>>(entries), lo, hi);
}

// A relaxation row; entries of the same column (x + x, a linear term and a
// formula of one column) are merged, as the LP takes each column once.
void GlobalSolver::push_row(std::vector<std::pair<int, double>> entries, double lo, double hi) {
  std::sort(entries.begin(), entries.end());
  for (size_t k = 0; k < entries.size();) {
    const int c = entries[k].first;
    double v = 0.0;
    for (; k < entries.size() && entries[k].first == c; ++k) v += entries[k].second;
    if (v == 0.0) continue;
    r_index_.push_back(c);
    r_value_.push_back(v);
  }
  r_start_.push_back(int(r_index_.size()));
  r_lo_.push_back(lo);
  r_hi_.push_back(hi);
}

// Linear inequalities between a node's relaxation column and its
// arguments that hold over the box (iv: the intervals of every node).
void GlobalSolver::add_envelope(int k, const std::vector<Iv> &iv) {
  const Node &nd = nodes_[size_t(k)];
  const int w = aux_[size_t(k)];
  auto is_const = [&](int a) { return nodes_[size_t(a)].op == Op::Const; };
  auto cval = [&](int a) { return nodes_[size_t(a)].value; };
  auto finite = [](Iv a) { return std::isfinite(a.lo) && std::isfinite(a.hi); };
  // w = sum of coef * argument + constant
  auto linear = [&](std::vector<std::pair<int, double>> terms) {
    double constant = 0.0;
    std::vector<std::pair<int, double>> row{{w, 1.0}};
    for (const auto &[a, c] : terms) {
      if (is_const(a))
        constant += c * cval(a);
      else
        row.emplace_back(lp_col(a), -c);
    }
    push_row(std::move(row), constant, constant);
  };
  // z = x * y over the intervals of x and y (McCormick).
  auto mccormick = [&](int z, Iv, int x, Iv xi, int y, Iv yi) {
    if (!finite(xi) || !finite(yi)) return;
    add_row({{z, 1.0}, {x, -yi.lo}, {y, -xi.lo}}, -xi.lo * yi.lo, kHighsInf);
    add_row({{z, 1.0}, {x, -yi.hi}, {y, -xi.hi}}, -xi.hi * yi.hi, kHighsInf);
    add_row({{z, 1.0}, {x, -yi.lo}, {y, -xi.hi}}, -kHighsInf, -xi.hi * yi.lo);
    add_row({{z, 1.0}, {x, -yi.hi}, {y, -xi.lo}}, -kHighsInf, -xi.lo * yi.hi);
  };
  // w = f(a), f convex or concave over a's interval: tangents on the one
  // side, the secant on the other.
  auto univariate = [&](int a, Shape shape, auto f, auto df) {
    const Iv ai = iv[size_t(a)];
    if (shape == Shape::None) return;
    const int x = lp_col(a);
    const double sign = shape == Shape::Convex ? 1.0 : -1.0;
    std::vector<double> at;
    if (std::isfinite(ai.lo)) at.push_back(ai.lo);
    if (std::isfinite(ai.hi)) at.push_back(ai.hi);
    if (finite(ai)) {
      at.push_back(0.5 * (ai.lo + ai.hi));
      at.push_back(0.75 * ai.lo + 0.25 * ai.hi);
      at.push_back(0.25 * ai.lo + 0.75 * ai.hi);
    }
    for (double t : at) {
      double ft = f(t), dt = df(t);
      if (!std::isfinite(ft) || !std::isfinite(dt)) continue;
      // convex: w >= f(t) + f'(t)(x - t)
      if (sign > 0)
        add_row({{w, 1.0}, {x, -dt}}, ft - dt * t, kHighsInf);
      else
        add_row({{w, 1.0}, {x, -dt}}, -kHighsInf, ft - dt * t);
    }
    if (finite(ai) && ai.hi - ai.lo > 1e-12) {
      double fl = f(ai.lo), fh = f(ai.hi);
      if (!std::isfinite(fl) || !std::isfinite(fh)) return;
      double slope = (fh - fl) / (ai.hi - ai.lo);
      // convex: w <= fl + slope (x - lo)
      if (sign > 0)
        add_row({{w, 1.0}, {x, -slope}}, -kHighsInf, fl - slope * ai.lo);
      else
        add_row({{w, 1.0}, {x, -slope}}, fl - slope * ai.lo, kHighsInf);
    }
  };
  switch (nd.op) {
    case Op::Neg: linear({{nd.args[0], -1.0}}); break;
    case Op::Add: linear({{nd.args[0], 1.0}, {nd.args[1], 1.0}}); break;
    case Op::Sub: linear({{nd.args[0], 1.0}, {nd.args[1], -1.0}}); break;
    case Op::Mul: {
      const int a = nd.args[0], b = nd.args[1];
      if (is_const(a) || is_const(b)) {
        linear({{is_const(a) ? b : a, is_const(a) ? cval(a) : cval(b)}});
      } else if (a == b) {
        univariate(a, Shape::Convex, [](double t) { return t * t; }, [](double t) { return 2 * t; });
      } else {
        mccormick(w, iv[size_t(k)], lp_col(a), iv[size_t(a)], lp_col(b), iv[size_t(b)]);
      }
      break;
    }
    case Op::Div: {
      const int a = nd.args[0], b = nd.args[1];
      if (is_const(b)) {
        linear({{a, 1.0 / cval(b)}});
      } else if (!is_const(a)) {
        // a = w * b
        mccormick(lp_col(a), iv[size_t(a)], w, iv[size_t(k)], lp_col(b), iv[size_t(b)]);
      } else {
        // c = w * b with c constant: McCormick with a fixed left side.
        const Iv wi = iv[size_t(k)], bi = iv[size_t(b)];
        const double c = cval(a);
        if (finite(wi) && finite(bi)) {
          const int bc = lp_col(b);
          add_row({{w, bi.lo}, {bc, wi.lo}}, -kHighsInf, c + wi.lo * bi.lo);
          add_row({{w, bi.hi}, {bc, wi.hi}}, -kHighsInf, c + wi.hi * bi.hi);
          add_row({{w, bi.lo}, {bc, wi.hi}}, c + wi.hi * bi.lo, kHighsInf);
          add_row({{w, bi.hi}, {bc, wi.lo}}, c + wi.lo * bi.hi, kHighsInf);
        }
      }
      break;
    }
    case Op::Pow: {
      const int a = nd.args[0], b = nd.args[1];
      if (!is_const(b)) break;
      const double c = cval(b);
      if (c == 1.0) {
        linear({{a, 1.0}});
        break;
      }
      univariate(a, pow_shape(iv[size_t(a)], c), [c](double t) { return std::pow(t, c); },
                 [c](double t) { return c * std::pow(t, c - 1); });
      break;
    }
    case Op::Exp:
      univariate(nd.args[0], Shape::Convex, [](double t) { return std::exp(t); }, [](double t) { return std::exp(t); });
      break;
    case Op::Ln:
    case Op::Log10: {
      const double s = nd.op == Op::Ln ? 1.0 : 1.0 / std::log(10.0);
      if (iv[size_t(nd.args[0])].lo > 0)
        univariate(nd.args[0], Shape::Concave, [s](double t) { return s * std::log(t); }, [s](double t) { return s / t; });
      break;
    }
    case Op::Sqrt:
      if (iv[size_t(nd.args[0])].lo >= 0)
        univariate(nd.args[0], Shape::Concave, [](double t) { return std::sqrt(t); },
                   [](double t) { return t > 0 ? 0.5 / std::sqrt(t) : kInf; });
      break;
    case Op::Abs:
      univariate(nd.args[0], Shape::Convex, [](double t) { return std::fabs(t); },
                 [](double t) { return t >= 0 ? 1.0 : -1.0; });
      break;
    case Op::Max:
      for (int a : nd.args)
        if (!is_const(a)) add_row({{w, 1.0}, {lp_col(a), -1.0}}, 0.0, kHighsInf);
      break;
    case Op::Min:
      for (int a : nd.args)
        if (!is_const(a)) add_row({{w, 1.0}, {lp_col(a), -1.0}}, -kHighsInf, 0.0);
      break;
    default: break;  // bounds only
  }
}

GlobalSolver::Relax GlobalSolver::relax(const Box &box, double &bound, std::vector<double> &point) {
  std::vector<Iv> iv;
  if (!intervals(box, iv)) return Relax::Infeasible;
  const int ncols = n_ + naux_;
  HighsLp lp;
  lp.num_col_ = ncols;
  lp.sense_ = ObjSense::kMinimize;
  lp.col_cost_.assign(size_t(ncols), 0.0);
  lp.col_lower_.resize(size_t(ncols));
  lp.col_upper_.resize(size_t(ncols));
  for (int j = 0; j < n_; ++j) {
    lp.col_cost_[size_t(j)] = sense_ * m_.obj[size_t(j)];
    lp.col_lower_[size_t(j)] = highs_bound(box.lb[size_t(j)]);
    lp.col_upper_[size_t(j)] = highs_bound(box.ub[size_t(j)]);
  }
  for (size_t k = 0; k < nodes_.size(); ++k) {
    const int c = aux_[k];
    if (c < 0) continue;
    lp.col_lower_[size_t(c)] = std::isfinite(iv[k].lo) ? iv[k].lo : -kHighsInf;
    lp.col_upper_[size_t(c)] = std::isfinite(iv[k].hi) ? iv[k].hi : kHighsInf;
  }
  r_start_.assign(1, 0);
  r_index_.clear();
  r_value_.clear();
  r_lo_.clear();
  r_hi_.clear();
  // The model's rows with each nonlinear term replaced by its column.
  const CompressedMatrix &byrow = m_.by_rows();
  for (int r = 0; r < m_.rows(); ++r) {
    std::vector<std::pair<int, double>> entries;
    for (int64_t k = byrow.start[size_t(r)]; k < byrow.start[size_t(r) + 1]; ++k)
      entries.emplace_back(byrow.index[size_t(k)], byrow.value[size_t(k)]);
    double constant = 0.0;
    for (const auto &[coef, node] : row_terms_[size_t(r)]) {
      if (nodes_[size_t(node)].op == Op::Const)
        constant += coef * nodes_[size_t(node)].value;
      else
        entries.emplace_back(lp_col(node), coef);
    }
    double lo, hi;
    row_bounds(m_, r, lo, hi);
    push_row(std::move(entries), lo <= -kModelInf ? -kHighsInf : lo - constant, hi >= kModelInf ? kHighsInf : hi - constant);
  }
  double obj_constant = m_.obj_constant;
  for (const auto &[coef, node] : obj_terms_) {
    if (nodes_[size_t(node)].op == Op::Const)
      obj_constant += coef * nodes_[size_t(node)].value;
    else
      lp.col_cost_[size_t(lp_col(node))] += sense_ * coef;
  }
  for (size_t k = 0; k < nodes_.size(); ++k)
    if (aux_[k] >= 0) add_envelope(int(k), iv);
  lp.num_row_ = int(r_lo_.size());
  lp.row_lower_ = r_lo_;
  lp.row_upper_ = r_hi_;
  lp.a_matrix_.format_ = MatrixFormat::kRowwise;
  lp.a_matrix_.num_col_ = ncols;
  lp.a_matrix_.num_row_ = lp.num_row_;
  lp.a_matrix_.start_ = r_start_;
  lp.a_matrix_.index_ = r_index_;
  lp.a_matrix_.value_ = r_value_;
  lp.a_matrix_.ensureColwise();
  highs_.clearModel();
  if (highs_.passModel(std::move(lp)) == HighsStatus::kError) return Relax::Failed;
  highs_.run();
  const HighsModelStatus st = highs_.getModelStatus();
  if (st == HighsModelStatus::kInfeasible) return Relax::Infeasible;
  if (st != HighsModelStatus::kOptimal) {
      return Relax::Failed;
  }
  const HighsSolution &sol = highs_.getSolution();
  point.assign(sol.col_value.begin(), sol.col_value.end());
  bound = highs_.getInfo().objective_function_value + sense_ * obj_constant;
  return Relax::Solved;
}

// The true value of a node at the relaxation's column values.
double GlobalSolver::node_value(int k, const std::vector<double> &v, bool &ok) const {
  const Node &nd = nodes_[size_t(k)];
  auto arg = [&](size_t i) {
    const int a = nd.args[i];
    const Node &an = nodes_[size_t(a)];
    return an.op == Op::Const ? an.value : v[size_t(lp_col(a))];
  };
  double r = 0.0;
  switch (nd.op) {
    case Op::Const: return nd.value;
    case Op::Col: return v[size_t(nd.col)];
    case Op::Neg: r = -arg(0); break;
    case Op::Add: r = arg(0) + arg(1); break;
    case Op::Sub: r = arg(0) - arg(1); break;
    case Op::Mul: r = arg(0) * arg(1); break;
    case Op::Div: r = arg(0) / arg(1); break;
    case Op::Pow: r = std::pow(arg(0), arg(1)); break;
    case Op::Exp: r = std::exp(arg(0)); break;
    case Op::Ln: r = std::log(arg(0)); break;
    case Op::Log10: r = std::log10(arg(0)); break;
    case Op::Sqrt: r = std::sqrt(arg(0)); break;
    case Op::Abs: r = std::fabs(arg(0)); break;
    case Op::Sin: r = std::sin(arg(0)); break;
    case Op::Cos: r = std::cos(arg(0)); break;
    case Op::Tan: r = std::tan(arg(0)); break;
    case Op::Asin: r = std::asin(arg(0)); break;
    case Op::Acos: r = std::acos(arg(0)); break;
    case Op::Atan: r = std::atan(arg(0)); break;
    case Op::Sign: r = arg(0) > 0 ? 1.0 : arg(0) < 0 ? -1.0 : 0.0; break;
    case Op::Erf: r = std::erf(arg(0)); break;
    case Op::Erfc: r = std::erfc(arg(0)); break;
    case Op::Min:
    case Op::Max: {
      r = arg(0);
      for (size_t i = 1; i < nd.args.size(); ++i) r = nd.op == Op::Min ? std::min(r, arg(i)) : std::max(r, arg(i));
      break;
    }
    case Op::And:
    case Op::Or: return v[size_t(aux_[size_t(k)])];  // no gap counted: bounds only
  }
  if (!std::isfinite(r)) ok = false;
  return r;
}

// The column to split: a fractional integer column first, else the
// column whose operations the relaxation misses most (each operation's
// miss shared among the columns below it, weighted by their widths).
// -1 when the relaxation's point needs no split.
int GlobalSolver::choose_branch(const Box &box, const std::vector<double> &point, double &at) const {
  int best = -1;
  double best_frac = 1e-6;
  for (int j = 0; j < n_; ++j) {
    const char t = m_.coltype[size_t(j)];
    if (t != 'B' && t != 'I') continue;
    double f = std::fabs(point[size_t(j)] - std::round(point[size_t(j)]));
    if (f > best_frac) {
      best_frac = f;
      best = j;
    }
  }
  if (best >= 0) {
    at = point[size_t(best)];
    return best;
  }
  std::vector<double> score(size_t(n_), 0.0);
  double total = 0.0;
  for (size_t k = 0; k < nodes_.size(); ++k) {
    if (aux_[k] < 0) continue;
    bool ok = true;
    double truth = node_value(int(k), point, ok);
    double miss = ok ? std::fabs(truth - point[size_t(aux_[k])]) : 1e10;
    if (miss <= 1e-9 * (1.0 + std::fabs(truth))) continue;
    total += miss;
    for (int j : node_cols_[k]) {
      double width = box.ub[size_t(j)] - box.lb[size_t(j)];
      if (width > 1e-9 * (1.0 + std::fabs(box.lb[size_t(j)]))) score[size_t(j)] += miss * width;
    }
  }
  if (total <= 0.0) return -1;
  for (int j = 0; j < n_; ++j)
    if (score[size_t(j)] > 0 && (best < 0 || score[size_t(j)] > score[size_t(best)])) best = j;
  if (best < 0) return -1;
  const double lo = box.lb[size_t(best)], hi = box.ub[size_t(best)], w = hi - lo;
  at = point[size_t(best)];
  if (at <= lo + 0.1 * w || at >= hi - 0.1 * w) at = lo + 0.5 * w;
  return best;
}

// An SLP run from a point on a copy of the problem; a feasible result
// becomes the incumbent when it is better.
void GlobalSolver::try_local_solve(const std::vector<double> &from) {
  if (prob_->callbacks.any(NLCB_SLPNODE) && fire(prob_, NLCB_SLPNODE)) return;
  auto copy = std::make_unique<knls_problem_s>();
  copy->optprob = prob_->optprob;
  copy->origin = prob_;
  copy->controls = prob_->controls;
  copy->coefs = prob_->coefs;
  copy->row_status = prob_->row_status;
  copy->vars = prob_->vars;
  copy->strings = prob_->strings;
  copy->userfuncs = prob_->userfuncs;
  copy->items = prob_->items;
  copy->controls.set_int(12403, 0);  // the nodes' solves write no log of their own
  for (int j = 0; j < n_; ++j) {
    SlpVariable &v = copy->vars[j];
    v.initial = std::min(std::max(from[size_t(j)], m_.lb[size_t(j)]), m_.ub[size_t(j)]);
    v.has_initial = true;
  }
  ++local_solves_;
  run_slp(copy.get(), any_integer_ ? "g" : "");
  if (copy->status != KNLS_NLP_LOCALLY_OPTIMAL && copy->status != KNLS_NLP_GLOBALLY_OPTIMAL) return;
  const double value = sense_ * copy->objective_value;
  if (value >= incumbent_ - 1e-9 * (1.0 + std::fabs(incumbent_))) return;
  incumbent_ = value;
  have_incumbent_ = true;
  best_ = std::move(copy->solution);
  best_objective_ = copy->objective_value;
  prob_->solution = best_;
  prob_->objective_value = best_objective_;
  fire(prob_, NLCB_INTSOL);
  char line[200];
  snprintf(line, sizeof line, "Global: new best solution %.12g after %lld nodes", best_objective_, nodes_done_);
  log(line);
}

bool GlobalSolver::gap_closed(double bound) const {
  return have_incumbent_ && bound >= incumbent_ - std::max(abs_gap_, rel_gap_ * std::fabs(incumbent_));
}

bool GlobalSolver::stop_requested() const {
  return prob_->interrupt_reason.load() != 0 || prob_->optprob->interrupt_reason.load() != 0 ||
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count() >
             prob_->controls.get_double(12404);
}

void GlobalSolver::run() {
  start_ = std::chrono::steady_clock::now();
  sense_ = prob_->controls.get_double(12146) < 0 ? -1.0 : 1.0;
  if (m_.obj_sense == -1 && prob_->controls.get_double(12146) > 0) sense_ = -1.0;
  abs_gap_ = prob_->controls.get_double(12420);
  rel_gap_ = prob_->controls.get_double(12419);
  const long long node_limit = prob_->controls.get_int(12418);
  build();
  highs_.setOptionValue("output_flag", false);
  highs_.setOptionValue("threads", 1);
  prob_->solution = SlpSolution{};
  prob_->global_nodes = 0;
  prob_->global_bound = -kInf;
  if (fire(prob_, NLCB_CONSTRUCT) || fire(prob_, NLCB_SLPSTART) || stop_requested()) {
    prob_->status = KNLS_NLP_UNFINISHED;
    fire(prob_, NLCB_SLPEND);
    fire(prob_, NLCB_DESTROY);
    return;
  }
  // A first feasible point from the plain start.
  try_local_solve(start_point(prob_));

  Box root;
  root.lb = m_.lb;
  root.ub = m_.ub;
  auto worse = [](const Box &a, const Box &b) { return a.bound > b.bound; };
  std::priority_queue<Box, std::vector<Box>, decltype(worse)> open(worse);
  open.push(root);
  bool limited = false;
  double proven = kInf;  // smallest bound of the nodes given up on by a limit
  std::vector<double> point;
  while (!open.empty()) {
    Box box = open.top();
    open.pop();
    if (gap_closed(box.bound)) continue;
    if (nodes_done_ >= node_limit || stop_requested()) {
      limited = true;
      proven = std::min(proven, box.bound);
      continue;
    }
    ++nodes_done_;
    if (fire_node(prob_, NLCB_PRENODE)) continue;
    double bound = 0.0;
    Relax rel = relax(box, bound, point);
    if (rel == Relax::Infeasible) continue;
    if (rel == Relax::Failed) {
      // No bound from this box: split it in half on its widest nonlinear
      // column, or give up on it when it is a point.
      int widest = -1;
      for (int j = 0; j < n_; ++j)
        if (in_nonlinear_[size_t(j)] &&
            (widest < 0 || box.ub[size_t(j)] - box.lb[size_t(j)] > box.ub[size_t(widest)] - box.lb[size_t(widest)]))
          widest = j;
      if (widest < 0 || box.ub[size_t(widest)] - box.lb[size_t(widest)] < 1e-9) {
        limited = true;
        proven = std::min(proven, box.bound);
        continue;
      }
      const double mid = 0.5 * (box.lb[size_t(widest)] + box.ub[size_t(widest)]);
      Box left = box, right = box;
      left.ub[size_t(widest)] = mid;
      right.lb[size_t(widest)] = mid;
      left.depth = right.depth = box.depth + 1;
      open.push(left);
      open.push(right);
      continue;
    }
    bound = std::max(bound, box.bound);
    if (fire_node(prob_, NLCB_OPTNODE)) continue;
    if (gap_closed(bound)) continue;
    std::vector<double> x(point.begin(), point.begin() + n_);
    // Upper bounds: a local solve from the relaxation's point, at every node
    // near the root and every tenth node further down.
    if (box.depth <= 4 || nodes_done_ % 10 == 0) try_local_solve(x);
    if (gap_closed(bound)) continue;
    double at = 0.0;
    int j = choose_branch(box, point, at);
    if (j < 0) {
      // The relaxation is exact at its point: that point solves the node.
      try_local_solve(x);
      if (!gap_closed(bound)) {
        limited = true;
        proven = std::min(proven, bound);
      }
      continue;
    }
    Box left = box, right = box;
    left.bound = right.bound = bound;
    left.depth = right.depth = box.depth + 1;
    const char t = m_.coltype[size_t(j)];
    if (t == 'B' || t == 'I') {
      left.ub[size_t(j)] = std::floor(at);
      right.lb[size_t(j)] = std::ceil(at);
    } else {
      left.ub[size_t(j)] = at;
      right.lb[size_t(j)] = at;
    }
    open.push(left);
    open.push(right);
    if (nodes_done_ % 200 == 0) {
      char line[200];
      snprintf(line, sizeof line, "Global: %lld nodes, %zu open, bound %.10g, best %.10g", nodes_done_, open.size(),
               sense_ * std::min(bound, open.empty() ? bound : open.top().bound),
               have_incumbent_ ? sense_ * incumbent_ : std::nan(""));
      log(line);
    }
  }
  prob_->global_nodes = nodes_done_;
  const double final_bound = limited ? std::min(proven, have_incumbent_ ? incumbent_ : kInf) : (have_incumbent_ ? incumbent_ : kInf);
  prob_->global_bound = sense_ * final_bound;
  if (have_incumbent_) {
    prob_->status = limited ? KNLS_NLP_LOCALLY_OPTIMAL : KNLS_NLP_GLOBALLY_OPTIMAL;
    prob_->solution = best_;
    prob_->objective_value = best_objective_;
  } else {
    prob_->status = limited ? KNLS_NLP_UNFINISHED : KNLS_NLP_INFEASIBLE;
    prob_->solution = SlpSolution{};
    prob_->solution.x = start_point(prob_);
  }
  prob_->iterations = int(std::min<long long>(nodes_done_, 2147483647));
  char line[200];
  snprintf(line, sizeof line, "Global solve finished: %s after %lld nodes and %lld local solves",
           prob_->status == KNLS_NLP_GLOBALLY_OPTIMAL ? "globally optimal"
           : prob_->status == KNLS_NLP_INFEASIBLE    ? "infeasible"
           : prob_->status == KNLS_NLP_LOCALLY_OPTIMAL ? "best solution found, not proven optimal (a limit stopped the search)"
                                                     : "no solution found (a limit stopped the search)",
           nodes_done_, local_solves_);
  log(line);
  fire(prob_, NLCB_SLPEND);
  fire(prob_, NLCB_DESTROY);
}

}  // namespace

void run_global(KNLSprob prob) {
  GlobalSolver solver(prob);
  solver.run();
}

}  // namespace krvs::nlp
