// Exact Hessians of token formulas by forward-over-reverse differentiation
// over a fixed graph, with the formula's columns coloured so that a few
// sweeps recover every entry; and their assembly into the Lagrangian.
#include "hessian.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "knls.h"

namespace krvs::nlp {

namespace {

constexpr int kMarker = -1;

int as_code(double v) { return std::isfinite(v) && std::fabs(v) < 1e9 ? int(std::lround(v)) : -1; }

bool is_unary_function(int code) {
  switch (code) {
    case KNLS_IFUN_LOG10: case KNLS_IFUN_LN: case KNLS_IFUN_EXP: case KNLS_IFUN_ABS: case KNLS_IFUN_SQRT:
    case KNLS_IFUN_SIN: case KNLS_IFUN_COS: case KNLS_IFUN_TAN: case KNLS_IFUN_ARCSIN: case KNLS_IFUN_ARCCOS:
    case KNLS_IFUN_ARCTAN: case KNLS_IFUN_SIGN: case KNLS_IFUN_ERF: case KNLS_IFUN_ERFC:
      return true;
    default:
      return false;
  }
}

// Functions whose second derivative vanishes wherever it exists.
bool piecewise_linear_unary(int code) { return code == KNLS_IFUN_ABS || code == KNLS_IFUN_SIGN; }

[[noreturn]] void domain_error(const std::string &what, double arg) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.17g", arg);
  throw EvalError(what + " (argument " + buf + ")");
}

// Value, first and second derivative of a ^ b in a, with the refusals and
// the conventions at a = 0 of the evaluation tape (shared by the Hessian
// sweep and the compiled formulas).
void power_in_base(double va, double vb, double &v, double &d1, double &d2) {
  const double rb = std::round(vb);
  const bool integral = rb == vb && std::fabs(vb) < 1e15;
  if (va < 0 && !integral) domain_error("Negative number raised to a fractional power", va);
  if (va == 0 && vb < 0) throw EvalError("Zero raised to a negative power");
  v = std::pow(va, vb);
  d2 = 0.0;
  if (vb == 0) {
    d1 = 0.0;
  } else if (va == 0) {
    d1 = vb == 1 ? 1.0 : vb > 1 ? 0.0 : 1e8;
    d2 = vb == 2 ? 2.0 : 0.0;
  } else {
    d1 = vb * std::pow(va, vb - 1);
    d2 = vb == 1 ? 0.0 : vb * (vb - 1) * std::pow(va, vb - 2);
  }
}

// Value, first and second derivative of a one-argument function. Values and
// first derivatives (and the refusals) are those of the evaluation tape;
// where the second derivative is unbounded (sqrt at 0) it is taken as 0.
void unary2(int code, double a, double &v, double &d1, double &d2) {
  static const double two_over_sqrt_pi = 2.0 / std::sqrt(M_PI);
  switch (code) {
    case KNLS_IFUN_LOG10:
    case KNLS_IFUN_LN: {
      if (a <= 0) domain_error("Logarithm of a number that is not positive", a);
      const double scale = code == KNLS_IFUN_LN ? 1.0 : 1.0 / M_LN10;
      v = std::log(a) * scale;
      d1 = scale / a;
      d2 = -scale / (a * a);
      return;
    }
    case KNLS_IFUN_EXP: v = d1 = d2 = std::exp(a); return;
    case KNLS_IFUN_ABS: v = std::fabs(a); d1 = a > 0 ? 1.0 : a < 0 ? -1.0 : 0.0; d2 = 0; return;
    case KNLS_IFUN_SQRT:
      if (a < 0) domain_error("Square root of a negative number", a);
      v = std::sqrt(a);
      d1 = v > 0 ? 0.5 / v : 1e8;
      d2 = v > 0 ? -0.25 / (v * a) : 0.0;
      return;
    case KNLS_IFUN_SIN: v = std::sin(a); d1 = std::cos(a); d2 = -v; return;
    case KNLS_IFUN_COS: v = std::cos(a); d1 = -std::sin(a); d2 = -v; return;
    case KNLS_IFUN_TAN: v = std::tan(a); d1 = 1.0 + v * v; d2 = 2.0 * v * d1; return;
    case KNLS_IFUN_ARCSIN:
    case KNLS_IFUN_ARCCOS: {
      if (a < -1 || a > 1)
        domain_error(std::string(code == KNLS_IFUN_ARCSIN ? "asin" : "acos") + " of a number outside [-1, 1]", a);
      const double sign = code == KNLS_IFUN_ARCSIN ? 1.0 : -1.0;
      v = code == KNLS_IFUN_ARCSIN ? std::asin(a) : std::acos(a);
      const double r = std::sqrt(std::max(1.0 - a * a, 1e-16));
      d1 = sign / r;
      d2 = sign * a / (r * r * r);
      return;
    }
    case KNLS_IFUN_ARCTAN: {
      v = std::atan(a);
      const double q = 1.0 + a * a;
      d1 = 1.0 / q;
      d2 = -2.0 * a / (q * q);
      return;
    }
    case KNLS_IFUN_SIGN: v = a > 0 ? 1.0 : a < 0 ? -1.0 : 0.0; d1 = d2 = 0; return;
    case KNLS_IFUN_ERF:
    case KNLS_IFUN_ERFC: {
      const double sign = code == KNLS_IFUN_ERF ? 1.0 : -1.0;
      v = code == KNLS_IFUN_ERF ? std::erf(a) : std::erfc(a);
      d1 = sign * two_over_sqrt_pi * std::exp(-a * a);
      d2 = -2.0 * a * d1;
      return;
    }
    default: throw EvalError("Unknown function " + std::to_string(code));
  }
}

}  // namespace

// ------------------------------------------------------------ structure ----

FormulaHessian::FormulaHessian(const Formula &f) {
  build(f);
  build_pattern();
  colour();
  value_.resize(nodes_.size());
  adjoint_.resize(nodes_.size());
  tangent_.resize(nodes_.size());
  second_adjoint_.resize(nodes_.size());
  partial_.resize(args_.size());
  second_value_.resize(second_.size());
  column_acc_.resize(columns_.size());
}

void FormulaHessian::build(const Formula &f) {
  columns_ = f.columns;
  std::vector<int> stack;
  std::vector<char> varies;  // per node: its subtree reads a column
  std::vector<int> taken;
  auto add_node = [&](int type, int code, double constant, const std::vector<int> &operands) {
    Node n{type, code, constant, int(args_.size()), int(operands.size()), int(second_.size()), 0, int(nodes_.size())};
    bool v = type == KNLS_TOK_COL;
    for (int a : operands) {
      args_.push_back(a);
      n.first = std::min(n.first, nodes_[size_t(a)].first);
      v = v || varies[size_t(a)];
    }
    nodes_.push_back(n);
    varies.push_back(v);
    local_of_node_.push_back(type == KNLS_TOK_COL
                                 ? int(std::lower_bound(columns_.begin(), columns_.end(), code) - columns_.begin())
                                 : -1);
    return int(nodes_.size()) - 1;
  };
  // Second-derivative entries between argument slots, kept only where both
  // arguments depend on some column.
  auto add_second = [&](int node, int sa, int sb) {
    const Node &n = nodes_[size_t(node)];
    if (!varies[size_t(args_[size_t(n.arg_begin + sa)])] || !varies[size_t(args_[size_t(n.arg_begin + sb)])]) return;
    second_.push_back(SecondEntry{sa, sb});
    ++nodes_[size_t(node)].second_count;
  };
  auto all_pairs = [&](int node) {
    const int count = nodes_[size_t(node)].arg_count;
    for (int a = 0; a < count; ++a)
      for (int b = a; b < count; ++b) add_second(node, a, b);
  };
  for (const Token &tok : f.tokens) {
    const int code = as_code(tok.value);
    switch (tok.type) {
      case KNLS_TOK_CON: stack.push_back(add_node(tok.type, 0, tok.value, {})); break;
      case KNLS_TOK_COL: stack.push_back(add_node(tok.type, code, 0.0, {})); break;
      case KNLS_TOK_DEL: stack.push_back(kMarker); break;
      case KNLS_TOK_OP: {
        if (code == KNLS_OP_UMINUS) {
          int a = stack.back();
          stack.pop_back();
          stack.push_back(add_node(tok.type, code, 0.0, {a}));
          break;
        }
        int b = stack.back();
        stack.pop_back();
        int a = stack.back();
        stack.pop_back();
        int node = add_node(tok.type, code, 0.0, {a, b});
        if (code == KNLS_OP_MULTIPLY) add_second(node, 0, 1);
        if (code == KNLS_OP_DIVIDE) {
          add_second(node, 0, 1);
          add_second(node, 1, 1);
        }
        if (code == KNLS_OP_EXPONENT) all_pairs(node);
        stack.push_back(node);
        break;
      }
      case KNLS_TOK_IFUN:
      case KNLS_TOK_FUN: {
        taken.clear();
        const bool unary = tok.type == KNLS_TOK_IFUN && is_unary_function(code);
        if (unary) {
          taken.push_back(stack.back());
          stack.pop_back();
          if (!stack.empty() && stack.back() == kMarker) stack.pop_back();
        } else {
          while (stack.back() != kMarker) {
            taken.push_back(stack.back());
            stack.pop_back();
          }
          stack.pop_back();  // operands from the top down, as the tape takes them
        }
        int node = add_node(tok.type, code, 0.0, taken);
        if (unary && !piecewise_linear_unary(code)) add_second(node, 0, 0);
        if (tok.type == KNLS_TOK_FUN || code == KNLS_IFUN_PWL) all_pairs(node);
        stack.push_back(node);
        break;
      }
    }
  }
}

void FormulaHessian::build_pattern() {
  const size_t m = columns_.size();
  std::vector<int64_t> keys;
  std::vector<int> mark(m, -1), cols_a, cols_b;
  int stamp = 0;
  auto subtree_columns = [&](int node, std::vector<int> &out) {
    out.clear();
    ++stamp;
    for (int k = nodes_[size_t(node)].first; k <= node; ++k) {
      int local = local_of_node_[size_t(k)];
      if (local >= 0 && mark[size_t(local)] != stamp) {
        mark[size_t(local)] = stamp;
        out.push_back(local);
      }
    }
  };
  for (const Node &n : nodes_) {
    for (int s = n.second_begin; s < n.second_begin + n.second_count; ++s) {
      subtree_columns(args_[size_t(n.arg_begin + second_[size_t(s)].slot_a)], cols_a);
      subtree_columns(args_[size_t(n.arg_begin + second_[size_t(s)].slot_b)], cols_b);
      for (int i : cols_a)
        for (int j : cols_b) keys.push_back(int64_t(std::min(i, j)) * int64_t(m) + std::max(i, j));
    }
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  // Key = col * m + row with row >= col: sorted by column, then row.
  for (int64_t key : keys) {
    int j = int(key / int64_t(m)), i = int(key % int64_t(m));
    hcol_local_.push_back(j);
    hrow_local_.push_back(i);
    hcol_.push_back(columns_[size_t(j)]);
    hrow_.push_back(columns_[size_t(i)]);
  }
}

// Greedy colouring: two columns get different colours when some row of the
// pattern holds both, so that H times a colour's indicator vector shows
// each entry of its columns alone.
void FormulaHessian::colour() {
  const size_t m = columns_.size();
  colour_.assign(m, -1);
  ncolours_ = 0;
  if (hrow_local_.empty()) return;
  std::vector<std::vector<int>> nbr(m);
  for (size_t e = 0; e < hrow_local_.size(); ++e) {
    int i = hrow_local_[e], j = hcol_local_[e];
    nbr[size_t(i)].push_back(j);
    if (i != j) nbr[size_t(j)].push_back(i);
  }
  std::vector<int> forbidden;
  for (size_t j = 0; j < m; ++j) {
    if (nbr[j].empty()) continue;
    forbidden.assign(size_t(ncolours_) + 1, 0);
    for (int i : nbr[j])
      for (int l : nbr[size_t(i)])
        if (colour_[size_t(l)] >= 0) forbidden[size_t(colour_[size_t(l)])] = 1;
    int c = 0;
    while (forbidden[size_t(c)]) ++c;
    colour_[j] = c;
    ncolours_ = std::max(ncolours_, c + 1);
  }
}

// ------------------------------------------------------------ evaluation ----

// Local partials of a piecewise linear node: v = yp + (yq - yp) * s with
// s = (t - xp) / (xq - xp) on the segment in use; other breakpoints have
// zero partials.
void FormulaHessian::local_pwl(const Node &n) {
  const int *a = &args_[size_t(n.arg_begin)];
  double *part = &partial_[size_t(n.arg_begin)];
  const int npts = (n.arg_count - 1) / 2;
  auto X = [&](int i) { return value_[size_t(a[1 + 2 * i])]; };
  const double tv = value_[size_t(a[0])];
  const int p = piecewise_segment(npts, tv, X), q = p + 1;
  for (int s = 0; s < n.arg_count; ++s) part[s] = 0.0;
  for (int s = n.second_begin; s < n.second_begin + n.second_count; ++s) second_value_[size_t(s)] = 0.0;
  const int sxp = 1 + 2 * p, syp = 2 + 2 * p, sxq = 1 + 2 * q, syq = 2 + 2 * q;
  const double xp = value_[size_t(a[sxp])], yp = value_[size_t(a[syp])];
  const double xq = value_[size_t(a[sxq])], yq = value_[size_t(a[syq])];
  if (xq == xp) {  // a jump at the last breakpoint: the last value beyond it
    value_[size_t(&n - nodes_.data())] = yq;
    part[syq] = 1.0;
    return;
  }
  const double w = xq - xp, D = yq - yp, slope = D / w, s = (tv - xp) / w;
  value_[size_t(&n - nodes_.data())] = yp + slope * (tv - xp);
  part[0] = slope;
  part[syp] = 1.0 - s;
  part[syq] = s;
  part[sxp] = slope * (s - 1.0);
  part[sxq] = -slope * s;
  // Roles 0 t, 1 xp, 2 xq, 3 yp, 4 yq; ds by role and d2s between roles.
  const double ds[3] = {1.0 / w, (s - 1.0) / w, -s / w};
  const double w2 = w * w;
  const double d2s[3][3] = {{0.0, 1.0 / w2, -1.0 / w2},
                            {1.0 / w2, 2.0 * (s - 1.0) / w2, (1.0 - 2.0 * s) / w2},
                            {-1.0 / w2, (1.0 - 2.0 * s) / w2, 2.0 * s / w2}};
  auto role = [&](int slot) {
    if (slot == 0) return 0;
    if (slot == sxp) return 1;
    if (slot == sxq) return 2;
    if (slot == syp) return 3;
    if (slot == syq) return 4;
    return -1;
  };
  for (int e = n.second_begin; e < n.second_begin + n.second_count; ++e) {
    int ra = role(second_[size_t(e)].slot_a), rb = role(second_[size_t(e)].slot_b);
    if (ra < 0 || rb < 0) continue;
    if (ra > rb) std::swap(ra, rb);
    double h = 0.0;
    if (rb < 3)
      h = D * d2s[ra][rb];
    else if (ra < 3)
      h = (rb == 3 ? -1.0 : 1.0) * ds[ra];
    second_value_[size_t(e)] = h;
  }
}

// A user function's Hessian by central differences of its gradient.
void FormulaHessian::local_user(const Node &n, UserFunctionCaller *users) {
  if (!users) throw EvalError("User function " + std::to_string(n.code) + " called without a problem");
  const int m = n.arg_count;
  scratch_in_.resize(size_t(m));
  scratch_grad_.assign(size_t(m), 0.0);
  for (int i = 0; i < m; ++i) scratch_in_[size_t(i)] = value_[size_t(args_[size_t(n.arg_begin + i)])];
  const size_t self = size_t(&n - nodes_.data());
  value_[self] = users->value_and_gradient(n.code, scratch_in_.data(), m, scratch_grad_.data());
  if (!std::isfinite(value_[self]))
    throw EvalError("User function " + std::to_string(n.code) + " returned a value that is not a finite number");
  for (int i = 0; i < m; ++i) partial_[size_t(n.arg_begin + i)] = scratch_grad_[size_t(i)];
  if (n.second_count == 0) return;
  // Columns of second differences: D[i][k] = d(grad_k)/d(input_i).
  std::vector<double> diff(size_t(m) * size_t(m), 0.0);
  std::vector<char> needed(size_t(m), 0);
  for (int e = n.second_begin; e < n.second_begin + n.second_count; ++e)
    needed[size_t(second_[size_t(e)].slot_a)] = needed[size_t(second_[size_t(e)].slot_b)] = 1;
  std::vector<double> in = scratch_in_;
  for (int i = 0; i < m; ++i) {
    if (!needed[size_t(i)]) continue;
    const double h = 1e-4 * std::max(1.0, std::fabs(scratch_in_[size_t(i)]));
    in[size_t(i)] = scratch_in_[size_t(i)] + h;
    scratch_grad_.assign(size_t(m), 0.0);
    users->value_and_gradient(n.code, in.data(), m, scratch_grad_.data());
    scratch_grad2_.assign(size_t(m), 0.0);
    in[size_t(i)] = scratch_in_[size_t(i)] - h;
    users->value_and_gradient(n.code, in.data(), m, scratch_grad2_.data());
    in[size_t(i)] = scratch_in_[size_t(i)];
    for (int k = 0; k < m; ++k)
      diff[size_t(i) * size_t(m) + size_t(k)] = (scratch_grad_[size_t(k)] - scratch_grad2_[size_t(k)]) / (2 * h);
  }
  for (int e = n.second_begin; e < n.second_begin + n.second_count; ++e) {
    const size_t a = size_t(second_[size_t(e)].slot_a), b = size_t(second_[size_t(e)].slot_b);
    second_value_[size_t(e)] = 0.5 * (diff[a * size_t(m) + b] + diff[b * size_t(m) + a]);
  }
}

void FormulaHessian::forward(const double *x, UserFunctionCaller *users) {
  for (size_t k = 0; k < nodes_.size(); ++k) {
    const Node &n = nodes_[k];
    double *part = partial_.data() + n.arg_begin;
    double *sec = second_value_.data() + n.second_begin;
    auto arg = [&](int s) { return value_[size_t(args_[size_t(n.arg_begin + s)])]; };
    double &v = value_[k];
    switch (n.type) {
      case KNLS_TOK_CON: v = n.constant; break;
      case KNLS_TOK_COL: v = x[n.code]; break;
      case KNLS_TOK_OP: {
        if (n.code == KNLS_OP_UMINUS) {
          v = -arg(0);
          part[0] = -1.0;
          break;
        }
        const double va = arg(0), vb = arg(1);
        // Second entries were kept only for varying operands: fill by slot.
        double h00 = 0, h01 = 0, h11 = 0;
        switch (n.code) {
          case KNLS_OP_PLUS: v = va + vb; part[0] = 1; part[1] = 1; break;
          case KNLS_OP_MINUS: v = va - vb; part[0] = 1; part[1] = -1; break;
          case KNLS_OP_MULTIPLY: v = va * vb; part[0] = vb; part[1] = va; h01 = 1.0; break;
          case KNLS_OP_DIVIDE:
            if (vb == 0) throw EvalError("Division by zero");
            v = va / vb;
            part[0] = 1.0 / vb;
            part[1] = -v / vb;
            h01 = -1.0 / (vb * vb);
            h11 = 2.0 * v / (vb * vb);
            break;
          case KNLS_OP_EXPONENT: {
            power_in_base(va, vb, v, part[0], h00);
            if (va > 0) {
              const double la = std::log(va);
              part[1] = v * la;
              h01 = std::pow(va, vb - 1) * (1.0 + vb * la);
              h11 = v * la * la;
            } else {
              part[1] = 0.0;
            }
            break;
          }
        }
        if (!std::isfinite(v)) throw EvalError("The " + function_name(n.type, n.code) + " is not a finite number");
        for (int e = 0; e < n.second_count; ++e) {
          const SecondEntry &se = second_[size_t(n.second_begin + e)];
          sec[e] = se.slot_a != se.slot_b ? h01 : se.slot_a == 0 ? h00 : h11;
        }
        break;
      }
      case KNLS_TOK_IFUN: {
        if (is_unary_function(n.code)) {
          double d1 = 0, d2 = 0;
          unary2(n.code, arg(0), v, d1, d2);
          if (!std::isfinite(v))
            throw EvalError("The value of " + function_name(n.type, n.code) + " is not a finite number");
          part[0] = d1;
          if (n.second_count) sec[0] = d2;
        } else if (n.code == KNLS_IFUN_MIN || n.code == KNLS_IFUN_MAX) {
          int best = 0;
          for (int s = 1; s < n.arg_count; ++s)
            if (n.code == KNLS_IFUN_MIN ? arg(s) < arg(best) : arg(s) > arg(best)) best = s;
          v = arg(best);
          for (int s = 0; s < n.arg_count; ++s) part[s] = s == best ? 1.0 : 0.0;
        } else if (n.code == KNLS_IFUN_AND || n.code == KNLS_IFUN_OR) {
          v = n.code == KNLS_IFUN_AND ? 1.0 : 0.0;
          for (int s = 0; s < n.arg_count; ++s) {
            if (n.code == KNLS_IFUN_AND && arg(s) <= kLogicalTolerance) { v = 0.0; break; }
            if (n.code == KNLS_IFUN_OR && arg(s) > 1.0 - kLogicalTolerance) { v = 1.0; break; }
          }
          for (int s = 0; s < n.arg_count; ++s) part[s] = 0.0;
        } else {
          local_pwl(n);
        }
        break;
      }
      case KNLS_TOK_FUN: local_user(n, users); break;
    }
  }
}

double FormulaHessian::evaluate(const double *x, UserFunctionCaller *users, double *hess, double *grad) {
  forward(x, users);
  const size_t N = nodes_.size();
  std::fill(adjoint_.begin(), adjoint_.end(), 0.0);
  adjoint_[N - 1] = 1.0;
  for (size_t k = N; k-- > 0;) {
    const double a = adjoint_[k];
    if (a == 0.0) continue;
    const Node &n = nodes_[k];
    for (int s = n.arg_begin; s < n.arg_begin + n.arg_count; ++s) adjoint_[size_t(args_[size_t(s)])] += a * partial_[size_t(s)];
  }
  if (grad) {
    std::fill(grad, grad + columns_.size(), 0.0);
    for (size_t k = 0; k < N; ++k)
      if (local_of_node_[k] >= 0) grad[local_of_node_[k]] += adjoint_[k];
  }
  for (int c = 0; c < ncolours_; ++c) {
    for (size_t k = 0; k < N; ++k) {
      const Node &n = nodes_[k];
      if (local_of_node_[k] >= 0) {
        tangent_[k] = colour_[size_t(local_of_node_[k])] == c ? 1.0 : 0.0;
        continue;
      }
      double t = 0.0;
      for (int s = n.arg_begin; s < n.arg_begin + n.arg_count; ++s) t += partial_[size_t(s)] * tangent_[size_t(args_[size_t(s)])];
      tangent_[k] = t;
    }
    std::fill(second_adjoint_.begin(), second_adjoint_.end(), 0.0);
    for (size_t k = N; k-- > 0;) {
      const Node &n = nodes_[k];
      const double sa = second_adjoint_[k], a = adjoint_[k];
      if (sa != 0.0)
        for (int s = n.arg_begin; s < n.arg_begin + n.arg_count; ++s)
          second_adjoint_[size_t(args_[size_t(s)])] += sa * partial_[size_t(s)];
      if (a == 0.0) continue;
      for (int e = n.second_begin; e < n.second_begin + n.second_count; ++e) {
        const int A = args_[size_t(n.arg_begin + second_[size_t(e)].slot_a)];
        const int B = args_[size_t(n.arg_begin + second_[size_t(e)].slot_b)];
        const double w = a * second_value_[size_t(e)];
        second_adjoint_[size_t(A)] += w * tangent_[size_t(B)];
        if (A != B) second_adjoint_[size_t(B)] += w * tangent_[size_t(A)];
      }
    }
    std::fill(column_acc_.begin(), column_acc_.end(), 0.0);
    for (size_t k = 0; k < N; ++k)
      if (local_of_node_[k] >= 0) column_acc_[size_t(local_of_node_[k])] += second_adjoint_[k];
    for (size_t e = 0; e < hrow_local_.size(); ++e)
      if (colour_[size_t(hcol_local_[e])] == c) hess[e] = column_acc_[size_t(hrow_local_[e])];
  }
  for (size_t e = 0; e < hrow_local_.size(); ++e)
    if (!std::isfinite(hess[e])) throw EvalError("A second derivative is not a finite number");
  return value_[N - 1];
}

// ------------------------------------------------------- dense formulas ----

namespace {

constexpr int kMaxStride = 1 + DenseFormulas::kColumns + DenseFormulas::kColumns * (DenseFormulas::kColumns + 1) / 2;

}  // namespace

int DenseFormulas::add(const Formula &f) {
  if (f.columns.size() > size_t(kColumns) || f.tokens.empty()) return -1;
  const size_t first = ops_.size();
  std::vector<int> stack;
  std::vector<char> varies;
  auto give_up = [&] {
    ops_.resize(first);
    return -1;
  };
  auto add_op = [&](int type, int code, int a, int b, double constant, bool v) {
    ops_.push_back(Op{type, code, a, b, constant});
    varies.push_back(v);
    stack.push_back(int(ops_.size() - first) - 1);
  };
  auto pop = [&] {
    const int v = stack.back();
    stack.pop_back();
    return v;
  };
  for (const Token &tok : f.tokens) {
    const int code = as_code(tok.value);
    switch (tok.type) {
      case KNLS_TOK_CON: add_op(tok.type, 0, -1, -1, tok.value, false); break;
      case KNLS_TOK_COL: {
        const int local = int(std::lower_bound(f.columns.begin(), f.columns.end(), code) - f.columns.begin());
        add_op(tok.type, code, local, -1, 0.0, true);
        break;
      }
      case KNLS_TOK_DEL: stack.push_back(kMarker); break;
      case KNLS_TOK_OP: {
        if (code == KNLS_OP_UMINUS) {
          const int a = pop();
          add_op(tok.type, code, a, -1, 0.0, varies[size_t(a)]);
          break;
        }
        const int b = pop(), a = pop();
        if (code == KNLS_OP_EXPONENT && varies[size_t(b)]) return give_up();
        add_op(tok.type, code, a, b, 0.0, varies[size_t(a)] || varies[size_t(b)]);
        break;
      }
      case KNLS_TOK_IFUN: {
        if (!is_unary_function(code)) return give_up();
        const int a = pop();
        if (!stack.empty() && stack.back() == kMarker) stack.pop_back();
        add_op(tok.type, code, a, -1, 0.0, varies[size_t(a)]);
        break;
      }
      default: return give_up();
    }
  }
  op_start_.push_back(int(ops_.size()));
  cols_.insert(cols_.end(), f.columns.begin(), f.columns.end());
  col_start_.push_back(int(cols_.size()));
  work_.resize(std::max(work_.size(), (ops_.size() - first) * size_t(kMaxStride)));
  return int(op_start_.size()) - 2;
}

// The sweep for k columns, with (Second) or without second derivatives;
// k and Second fixed at compile time so that the short loops unroll.
template <int k, bool Second>
double DenseFormulas::sweep(const Op *ops, int count, const double *x, double *grad, double *hess) {
  constexpr int k2 = Second ? k * (k + 1) / 2 : 0;
  constexpr int width = 1 + k + k2;  // entries computed per node
  constexpr size_t stride = size_t(1 + k + k * (k + 1) / 2);
  double *const base = work_.data();
  // out = d1 * a + d2 * ga ga' (the chain rule through a one-argument
  // function); the value is set by the caller.
  auto chain = [&](double *out, const double *a, double d1, double d2) {
    for (int i = 0; i < k; ++i) out[1 + i] = d1 * a[1 + i];
    if constexpr (!Second) return;
    const double *ga = a + 1, *ha = a + 1 + k;
    double *h = out + 1 + k;
    for (int i = 0, e = 0; i < k; ++i)
      for (int j = 0; j <= i; ++j, ++e) h[e] = d1 * ha[e] + d2 * ga[i] * ga[j];
  };
  for (int node = 0; node < count; ++node) {
    const Op &op = ops[node];
    double *out = base + size_t(node) * stride;
    switch (op.type) {
      case KNLS_TOK_CON:
        std::fill(out, out + width, 0.0);
        out[0] = op.constant;
        break;
      case KNLS_TOK_COL:
        std::fill(out, out + width, 0.0);
        out[0] = x[op.code];
        out[1 + op.a] = 1.0;
        break;
      case KNLS_TOK_OP: {
        const double *a = base + size_t(op.a) * stride;
        if (op.code == KNLS_OP_UMINUS) {
          for (int i = 0; i < width; ++i) out[i] = -a[i];
          break;
        }
        const double *b = base + size_t(op.b) * stride;
        const double va = a[0], vb = b[0];
        const double *ga = a + 1, *gb = b + 1, *ha = a + 1 + k, *hb = b + 1 + k;
        double *g = out + 1, *h = out + 1 + k;
        switch (op.code) {
          case KNLS_OP_PLUS:
            for (int i = 0; i < width; ++i) out[i] = a[i] + b[i];
            break;
          case KNLS_OP_MINUS:
            for (int i = 0; i < width; ++i) out[i] = a[i] - b[i];
            break;
          case KNLS_OP_MULTIPLY:
            out[0] = va * vb;
            for (int i = 0; i < k; ++i) g[i] = vb * ga[i] + va * gb[i];
            if constexpr (Second)
              for (int i = 0, e = 0; i < k; ++i)
                for (int j = 0; j <= i; ++j, ++e) h[e] = vb * ha[e] + va * hb[e] + ga[i] * gb[j] + gb[i] * ga[j];
            break;
          case KNLS_OP_DIVIDE: {
            if (vb == 0) throw EvalError("Division by zero");
            const double r = va / vb;
            out[0] = r;
            for (int i = 0; i < k; ++i) g[i] = (ga[i] - r * gb[i]) / vb;
            if constexpr (Second)
              for (int i = 0, e = 0; i < k; ++i)
                for (int j = 0; j <= i; ++j, ++e) h[e] = (ha[e] - r * hb[e] - g[i] * gb[j] - gb[i] * g[j]) / vb;
            break;
          }
          default: {  // exponent; it reads no column
            double d1 = 0, d2 = 0;
            if (vb == 2.0) {  // squares, the common case, without pow
              out[0] = va * va;
              d1 = 2.0 * va;
              d2 = 2.0;
            } else {
              power_in_base(va, vb, out[0], d1, d2);
            }
            chain(out, a, d1, d2);
            break;
          }
        }
        if (!std::isfinite(out[0])) throw EvalError("The " + function_name(op.type, op.code) + " is not a finite number");
        break;
      }
      default: {  // a one-argument function
        const double *a = base + size_t(op.a) * stride;
        double d1 = 0, d2 = 0;
        unary2(op.code, a[0], out[0], d1, d2);
        if (!std::isfinite(out[0]))
          throw EvalError("The value of " + function_name(op.type, op.code) + " is not a finite number");
        chain(out, a, d1, d2);
        break;
      }
    }
  }
  const double *last = base + size_t(count - 1) * stride;
  std::copy(last + 1, last + 1 + k, grad);
  if constexpr (Second) std::copy(last + 1 + k, last + 1 + k + k2, hess);
  return last[0];
}

double DenseFormulas::evaluate(int id, const double *x, double *grad, double *hess) {
  const Op *ops = ops_.data() + op_start_[size_t(id)];
  const int count = op_start_[size_t(id) + 1] - op_start_[size_t(id)];
  switch (column_count(id) * 2 + (hess ? 1 : 0)) {
    case 0: return sweep<0, false>(ops, count, x, grad, hess);
    case 1: return sweep<0, true>(ops, count, x, grad, hess);
    case 2: return sweep<1, false>(ops, count, x, grad, hess);
    case 3: return sweep<1, true>(ops, count, x, grad, hess);
    case 4: return sweep<2, false>(ops, count, x, grad, hess);
    case 5: return sweep<2, true>(ops, count, x, grad, hess);
    case 6: return sweep<3, false>(ops, count, x, grad, hess);
    case 7: return sweep<3, true>(ops, count, x, grad, hess);
    case 8: return sweep<4, false>(ops, count, x, grad, hess);
    default: return sweep<4, true>(ops, count, x, grad, hess);
  }
}

// ------------------------------------------------------------ Lagrangian ----

LagrangianHessian::LagrangianHessian(int ncols, std::vector<Row> rows, const std::vector<QuadEntry> *objective_quad)
    : ncols_(ncols), rows_(std::move(rows)), objective_quad_(objective_quad) {
  std::vector<std::pair<int, int>> entries;  // (col, row), row >= col
  auto add = [&](int i, int j) { entries.emplace_back(std::min(i, j), std::max(i, j)); };
  maps_.resize(rows_.size());
  for (size_t r = 0; r < rows_.size(); ++r) {
    for (const Term &t : rows_[r].terms) {
      TermMap map;
      map.hessian = std::make_unique<FormulaHessian>(*t.formula);
      const FormulaHessian &h = *map.hessian;
      for (size_t e = 0; e < h.pattern_rows().size(); ++e) add(h.pattern_rows()[e], h.pattern_cols()[e]);
      if (t.col >= 0)
        for (int c : h.columns()) add(t.col, c);
      maps_[r].push_back(std::move(map));
    }
    if (rows_[r].quad)
      for (const QuadEntry &q : *rows_[r].quad) add(q.i, q.j);
  }
  if (objective_quad_)
    for (const QuadEntry &q : *objective_quad_) add(q.i, q.j);
  std::sort(entries.begin(), entries.end());
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  start_.assign(size_t(ncols_) + 1, 0);
  index_.reserve(entries.size());
  for (const auto &[j, i] : entries) {
    ++start_[size_t(j) + 1];
    index_.push_back(i);
  }
  for (int j = 0; j < ncols_; ++j) start_[size_t(j) + 1] += start_[size_t(j)];
  for (size_t r = 0; r < rows_.size(); ++r) {
    for (size_t t = 0; t < rows_[r].terms.size(); ++t) {
      TermMap &map = maps_[r][t];
      const FormulaHessian &h = *map.hessian;
      for (size_t e = 0; e < h.pattern_rows().size(); ++e)
        map.position.push_back(position_of(h.pattern_rows()[e], h.pattern_cols()[e]));
      const int col = rows_[r].terms[t].col;
      for (int c : h.columns()) map.cross_position.push_back(col >= 0 ? position_of(col, c) : -1);
      map.dense_id = dense_.add(*rows_[r].terms[t].formula);
      if (map.dense_id >= 0) {
        map.dense_entries = int(dense_packed_.size());
        const int *cols = dense_.columns(map.dense_id), ncols = dense_.column_count(map.dense_id);
        auto local = [&](int c) { return int(std::lower_bound(cols, cols + ncols, c) - cols); };
        for (size_t e = 0; e < h.pattern_rows().size(); ++e)
          dense_packed_.push_back(DenseFormulas::packed(local(h.pattern_rows()[e]), local(h.pattern_cols()[e])));
      }
    }
    quad_position_.emplace_back();
    if (rows_[r].quad)
      for (const QuadEntry &q : *rows_[r].quad) quad_position_.back().push_back(position_of(q.i, q.j));
  }
  if (objective_quad_)
    for (const QuadEntry &q : *objective_quad_) objective_quad_position_.push_back(position_of(q.i, q.j));
}

int LagrangianHessian::position_of(int i, int j) const {
  const int col = std::min(i, j), row = std::max(i, j);
  auto first = index_.begin() + start_[size_t(col)], last = index_.begin() + start_[size_t(col) + 1];
  return int(std::lower_bound(first, last, row) - index_.begin());
}

void LagrangianHessian::values(const double *x, const double *row_weight, double objective_weight,
                               UserFunctionCaller *users, std::vector<double> &out) {
  out.assign(index_.size(), 0.0);
  for (size_t r = 0; r < rows_.size(); ++r) {
    const double w = row_weight[r];
    if (w == 0.0) continue;
    for (size_t t = 0; t < rows_[r].terms.size(); ++t) {
      const Term &term = rows_[r].terms[t];
      const double cw = w * term.factor;
      if (cw == 0.0) continue;
      TermMap &map = maps_[r][t];
      const double mult = term.col >= 0 ? x[term.col] : 1.0;
      const size_t entries = map.position.size();
      const int *cols;
      size_t ncols;
      hess_scratch_.resize(entries);
      if (map.dense_id >= 0) {
        // The compiled form: the formula's own object stays out of the cache.
        cols = dense_.columns(map.dense_id);
        ncols = size_t(dense_.column_count(map.dense_id));
        grad_scratch_.resize(ncols);
        double packed[DenseFormulas::kColumns * (DenseFormulas::kColumns + 1) / 2];
        dense_.evaluate(map.dense_id, x, grad_scratch_.data(), packed);
        const int *where = dense_packed_.data() + map.dense_entries;
        for (size_t e = 0; e < entries; ++e) {
          hess_scratch_[e] = packed[where[e]];
          if (!std::isfinite(hess_scratch_[e])) throw EvalError("A second derivative is not a finite number");
        }
      } else {
        FormulaHessian &h = *map.hessian;
        cols = h.columns().data();
        ncols = h.columns().size();
        grad_scratch_.resize(ncols);
        h.evaluate(x, users, hess_scratch_.data(), term.col >= 0 ? grad_scratch_.data() : nullptr);
      }
      for (size_t e = 0; e < entries; ++e) out[size_t(map.position[e])] += cw * mult * hess_scratch_[e];
      if (term.col >= 0)
        for (size_t k = 0; k < ncols; ++k)
          out[size_t(map.cross_position[k])] += (cols[k] == term.col ? 2.0 : 1.0) * cw * grad_scratch_[k];
    }
    if (rows_[r].quad) {
      const auto &quad = *rows_[r].quad;
      for (size_t k = 0; k < quad.size(); ++k) out[size_t(quad_position_[r][k])] += 2.0 * w * quad[k].q;
    }
  }
  if (objective_quad_ && objective_weight != 0.0)
    for (size_t k = 0; k < objective_quad_->size(); ++k)
      out[size_t(objective_quad_position_[k])] += objective_weight * (*objective_quad_)[k].q;
}

}  // namespace krvs::nlp
