// Checking and evaluating reverse Polish token formulas. Evaluation records
// every node's local partial derivatives, so one backward sweep gives the
// exact gradient (reverse-mode automatic differentiation).
#include "formula.h"

#include <algorithm>
#include <cmath>

#include "knls.h"

namespace krvs::nlp {

namespace {

constexpr int kMarker = -1;  // an argument-list delimiter on the stack

enum class Arity { Unary, Binary, Variadic, Unknown };

Arity ifun_arity(int code) {
  switch (code) {
    case KNLS_IFUN_LOG10: case KNLS_IFUN_LN: case KNLS_IFUN_EXP: case KNLS_IFUN_ABS: case KNLS_IFUN_SQRT:
    case KNLS_IFUN_SIN: case KNLS_IFUN_COS: case KNLS_IFUN_TAN: case KNLS_IFUN_ARCSIN: case KNLS_IFUN_ARCCOS:
    case KNLS_IFUN_ARCTAN: case KNLS_IFUN_SIGN: case KNLS_IFUN_ERF: case KNLS_IFUN_ERFC:
      return Arity::Unary;
    case KNLS_IFUN_MIN: case KNLS_IFUN_MAX: case KNLS_IFUN_PWL: case KNLS_IFUN_AND: case KNLS_IFUN_OR:
      return Arity::Variadic;
    default:
      return Arity::Unknown;
  }
}

Arity op_arity(int code) {
  if (code == KNLS_OP_UMINUS) return Arity::Unary;
  if (code >= KNLS_OP_EXPONENT && code <= KNLS_OP_MINUS) return Arity::Binary;
  return Arity::Unknown;
}

int as_code(double v) { return std::isfinite(v) && std::fabs(v) < 1e9 ? int(std::lround(v)) : -1; }

// Removes the arguments of a function from a simulated or real stack: a
// unary function takes the top item and the delimiter right below it when
// there is one; a variadic function everything down to its delimiter.
// Returns the number of arguments, -1 when the stack does not hold them.
template <class Stack>
int take_arguments(Stack &stack, Arity arity, std::vector<int> *taken) {
  if (arity == Arity::Unary) {
    if (stack.empty() || stack.back() == kMarker) return -1;
    if (taken) taken->push_back(stack.back());
    stack.pop_back();
    if (!stack.empty() && stack.back() == kMarker) stack.pop_back();
    return 1;
  }
  int n = 0;
  while (!stack.empty() && stack.back() != kMarker) {
    if (taken) taken->push_back(stack.back());
    stack.pop_back();
    ++n;
  }
  if (stack.empty()) return -1;
  stack.pop_back();
  return n;
}

}  // namespace

std::string function_name(int type, int code) {
  if (type == KNLS_TOK_OP) {
    static const char *ops[] = {"?", "negation", "power", "product", "quotient", "sum", "difference"};
    return code >= 1 && code <= 6 ? ops[code] : "operator " + std::to_string(code);
  }
  if (type == KNLS_TOK_FUN) return "user function " + std::to_string(code);
  switch (code) {
    case KNLS_IFUN_LOG10: return "log10";
    case KNLS_IFUN_LN: return "log";
    case KNLS_IFUN_EXP: return "exp";
    case KNLS_IFUN_ABS: return "abs";
    case KNLS_IFUN_SQRT: return "sqrt";
    case KNLS_IFUN_SIN: return "sin";
    case KNLS_IFUN_COS: return "cos";
    case KNLS_IFUN_TAN: return "tan";
    case KNLS_IFUN_ARCSIN: return "asin";
    case KNLS_IFUN_ARCCOS: return "acos";
    case KNLS_IFUN_ARCTAN: return "atan";
    case KNLS_IFUN_MIN: return "min";
    case KNLS_IFUN_MAX: return "max";
    case KNLS_IFUN_PWL: return "pwl";
    case KNLS_IFUN_SIGN: return "sign";
    case KNLS_IFUN_ERF: return "erf";
    case KNLS_IFUN_ERFC: return "erfc";
    case KNLS_IFUN_AND: return "and";
    case KNLS_IFUN_OR: return "or";
    default: return "function " + std::to_string(code);
  }
}

Formula compile_formula(const int *type, const double *value, size_t count) {
  if (count > 0 && (!type || !value)) throw Error("Null token array");
  Formula f;
  std::vector<int> stack;  // 0 a value, kMarker a delimiter
  for (size_t k = 0; k < count; ++k) {
    const int t = type[k];
    const double v = value[k];
    if (t == KNLS_TOK_EOF) break;
    const std::string where = " at token " + std::to_string(k);
    switch (t) {
      case KNLS_TOK_CON:
        if (std::isnan(v)) throw Error("Constant that is not a number in formula" + where);
        stack.push_back(0);
        break;
      case KNLS_TOK_COL: {
        int c = as_code(v);
        if (c < 0 || double(c) != v) throw Error("Invalid column index in formula" + where);
        f.columns.push_back(c);
        stack.push_back(0);
        break;
      }
      case KNLS_TOK_DEL:
        stack.push_back(kMarker);
        break;
      case KNLS_TOK_OP: {
        Arity a = op_arity(as_code(v));
        if (a == Arity::Unknown) throw Error("Unknown operator code in formula" + where);
        int need = a == Arity::Unary ? 1 : 2;
        for (int i = 0; i < need; ++i) {
          if (stack.empty() || stack.back() == kMarker)
            throw Error("Missing operand of " + function_name(t, as_code(v)) + " in formula" + where);
          stack.pop_back();
        }
        stack.push_back(0);
        break;
      }
      case KNLS_TOK_IFUN: {
        Arity a = ifun_arity(as_code(v));
        if (a == Arity::Unknown) throw Error("Unknown function code in formula" + where);
        int n = take_arguments(stack, a, nullptr);
        if (n < 0 || (a == Arity::Variadic && n == 0))
          throw Error("Missing arguments of " + function_name(t, as_code(v)) + " in formula" + where);
        if (as_code(v) == KNLS_IFUN_PWL && (n < 5 || n % 2 == 0))
          throw Error("A piecewise linear function needs its argument and at least two points" + where);
        stack.push_back(0);
        break;
      }
      case KNLS_TOK_FUN: {
        if (as_code(v) < 1) throw Error("Invalid user function index in formula" + where);
        if (take_arguments(stack, Arity::Variadic, nullptr) < 0)
          throw Error("Missing argument list of user function in formula" + where);
        f.calls_user_function = true;
        stack.push_back(0);
        break;
      }
      default:
        throw Error("Unknown token type " + std::to_string(t) + " in formula" + where);
    }
    f.tokens.push_back(Token{t, v});
  }
  if (stack.size() != 1 || stack.back() == kMarker)
    throw Error(f.tokens.empty() ? "Empty formula" : "Formula does not reduce to a single value");
  std::sort(f.columns.begin(), f.columns.end());
  f.columns.erase(std::unique(f.columns.begin(), f.columns.end()), f.columns.end());
  return f;
}

int Tape::push(double value, int column) {
  value_.push_back(value);
  column_.push_back(column);
  arg_begin_.push_back(int(args_.size()));
  arg_count_.push_back(0);
  return int(value_.size()) - 1;
}

namespace {

[[noreturn]] void domain_error(const std::string &what, double arg) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.17g", arg);
  throw EvalError(what + " (argument " + buf + ")");
}

// Value and derivative of a one-argument internal function.
void unary(int code, double a, double &value, double &deriv) {
  static const double two_over_sqrt_pi = 2.0 / std::sqrt(M_PI);
  switch (code) {
    case KNLS_IFUN_LOG10:
      if (a <= 0) domain_error("Logarithm of a number that is not positive", a);
      value = std::log(a) / M_LN10;
      deriv = 1.0 / (a * M_LN10);
      return;
    case KNLS_IFUN_LN:
      if (a <= 0) domain_error("Logarithm of a number that is not positive", a);
      value = std::log(a);
      deriv = 1.0 / a;
      return;
    case KNLS_IFUN_EXP:
      value = deriv = std::exp(a);
      return;
    case KNLS_IFUN_ABS:
      value = std::fabs(a);
      deriv = a > 0 ? 1.0 : a < 0 ? -1.0 : 0.0;
      return;
    case KNLS_IFUN_SQRT:
      if (a < 0) domain_error("Square root of a negative number", a);
      value = std::sqrt(a);
      // At 0 the slope is unbounded; a large finite one keeps the
      // linearisation usable.
      deriv = value > 0 ? 0.5 / value : 1e8;
      return;
    case KNLS_IFUN_SIN: value = std::sin(a); deriv = std::cos(a); return;
    case KNLS_IFUN_COS: value = std::cos(a); deriv = -std::sin(a); return;
    case KNLS_IFUN_TAN:
      value = std::tan(a);
      deriv = 1.0 + value * value;
      return;
    case KNLS_IFUN_ARCSIN:
    case KNLS_IFUN_ARCCOS: {
      if (a < -1 || a > 1) domain_error(std::string(code == KNLS_IFUN_ARCSIN ? "asin" : "acos") + " of a number outside [-1, 1]", a);
      value = code == KNLS_IFUN_ARCSIN ? std::asin(a) : std::acos(a);
      double r = std::sqrt(std::max(1.0 - a * a, 1e-16));
      deriv = code == KNLS_IFUN_ARCSIN ? 1.0 / r : -1.0 / r;
      return;
    }
    case KNLS_IFUN_ARCTAN: value = std::atan(a); deriv = 1.0 / (1.0 + a * a); return;
    case KNLS_IFUN_SIGN: value = a > 0 ? 1.0 : a < 0 ? -1.0 : 0.0; deriv = 0.0; return;
    case KNLS_IFUN_ERF: value = std::erf(a); deriv = two_over_sqrt_pi * std::exp(-a * a); return;
    case KNLS_IFUN_ERFC: value = std::erfc(a); deriv = -two_over_sqrt_pi * std::exp(-a * a); return;
    default: throw EvalError("Unknown function " + std::to_string(code));
  }
}

}  // namespace

double Tape::evaluate(const Formula &f, const double *x, UserFunctionCaller *users, bool want_derivatives) {
  value_.clear();
  column_.clear();
  arg_begin_.clear();
  arg_count_.clear();
  args_.clear();
  partial_.clear();
  derivatives_ = want_derivatives;
  std::vector<int> &stack = stack_;
  std::vector<int> &taken = taken_;
  stack.clear();
  auto add_arg = [&](int node, int arg, double partial) {
    args_.push_back(arg);
    partial_.push_back(partial);
    ++arg_count_[node];
  };
  for (const Token &tok : f.tokens) {
    const int code = as_code(tok.value);
    switch (tok.type) {
      case KNLS_TOK_CON:
        stack.push_back(push(tok.value, -1));
        break;
      case KNLS_TOK_COL:
        stack.push_back(push(x[code], code));
        break;
      case KNLS_TOK_DEL:
        stack.push_back(kMarker);
        break;
      case KNLS_TOK_OP: {
        if (code == KNLS_OP_UMINUS) {
          int a = stack.back();
          stack.pop_back();
          int node = push(-value_[a], -1);
          add_arg(node, a, -1.0);
          stack.push_back(node);
          break;
        }
        int b = stack.back();
        stack.pop_back();
        int a = stack.back();
        stack.pop_back();
        const double va = value_[a], vb = value_[b];
        double v = 0, da = 0, db = 0;
        switch (code) {
          case KNLS_OP_PLUS: v = va + vb; da = 1; db = 1; break;
          case KNLS_OP_MINUS: v = va - vb; da = 1; db = -1; break;
          case KNLS_OP_MULTIPLY: v = va * vb; da = vb; db = va; break;
          case KNLS_OP_DIVIDE:
            if (vb == 0) throw EvalError("Division by zero");
            v = va / vb;
            da = 1.0 / vb;
            db = -v / vb;
            break;
          case KNLS_OP_EXPONENT: {
            double rb = std::round(vb);
            bool integral = rb == vb && std::fabs(vb) < 1e15;
            if (va < 0 && !integral) domain_error("Negative number raised to a fractional power", va);
            if (va == 0 && vb < 0) throw EvalError("Zero raised to a negative power");
            v = std::pow(va, vb);
            if (vb == 0)
              da = 0;
            else if (va == 0)
              // At 0 the slope is 1 for b = 1, 0 for b > 1 and unbounded for
              // 0 < b < 1 (a large finite one, as for sqrt).
              da = vb == 1 ? 1.0 : vb > 1 ? 0.0 : 1e8;
            else
              da = vb * std::pow(va, vb - 1);
            db = va > 0 ? v * std::log(va) : 0.0;
            break;
          }
        }
        if (!std::isfinite(v)) throw EvalError("The " + function_name(tok.type, code) + " is not a finite number");
        int node = push(v, -1);
        add_arg(node, a, da);
        add_arg(node, b, db);
        stack.push_back(node);
        break;
      }
      case KNLS_TOK_IFUN: {
        taken.clear();
        Arity arity = ifun_arity(code);
        take_arguments(stack, arity, &taken);
        int node = 0;
        if (arity == Arity::Unary) {
          double v = 0, d = 0;
          unary(code, value_[taken[0]], v, d);
          if (!std::isfinite(v)) throw EvalError("The value of " + function_name(tok.type, code) + " is not a finite number");
          node = push(v, -1);
          add_arg(node, taken[0], d);
        } else if (code == KNLS_IFUN_MIN || code == KNLS_IFUN_MAX) {
          size_t best = 0;
          for (size_t i = 1; i < taken.size(); ++i) {
            double vi = value_[taken[i]], vbest = value_[taken[best]];
            if (code == KNLS_IFUN_MIN ? vi < vbest : vi > vbest) best = i;
          }
          node = push(value_[taken[best]], -1);
          add_arg(node, taken[best], 1.0);
        } else if (code == KNLS_IFUN_AND || code == KNLS_IFUN_OR) {
          double v = code == KNLS_IFUN_AND ? 1.0 : 0.0;
          for (int a : taken) {
            if (code == KNLS_IFUN_AND && value_[a] <= kLogicalTolerance) { v = 0.0; break; }
            if (code == KNLS_IFUN_OR && value_[a] > 1.0 - kLogicalTolerance) { v = 1.0; break; }
          }
          node = push(v, -1);
        } else {  // piecewise linear: taken = t, x0, y0, x1, y1, ...
          const int t = taken[0];
          const size_t npts = (taken.size() - 1) / 2;
          auto X = [&](int i) { return value_[taken[size_t(1 + 2 * i)]]; };
          const double tv = value_[t];
          const size_t p = size_t(piecewise_segment(int(npts), tv, X)), q = p + 1;  // the segment used
          const int xp = taken[1 + 2 * p], yp = taken[2 + 2 * p], xq = taken[1 + 2 * q], yq = taken[2 + 2 * q];
          double v, slope = 0, s = 0;
          if (value_[xq] == value_[xp]) {
            // A jump at the last breakpoint: beyond it the function keeps
            // the last value.
            v = value_[yq];
            node = push(v, -1);
            add_arg(node, yq, 1.0);
          } else {
            const double w = value_[xq] - value_[xp];
            slope = (value_[yq] - value_[yp]) / w;
            s = (tv - value_[xp]) / w;
            v = value_[yp] + slope * (tv - value_[xp]);
            node = push(v, -1);
            add_arg(node, t, slope);
            add_arg(node, yp, 1.0 - s);
            add_arg(node, yq, s);
            add_arg(node, xp, slope * (s - 1.0));
            add_arg(node, xq, -slope * s);
          }
        }
        stack.push_back(node);
        break;
      }
      case KNLS_TOK_FUN: {
        taken.clear();
        take_arguments(stack, Arity::Variadic, &taken);
        if (!users) throw EvalError("User function " + std::to_string(code) + " called without a problem");
        scratch_.resize(taken.size());
        for (size_t i = 0; i < taken.size(); ++i) scratch_[i] = value_[taken[i]];
        scratch_grad_.assign(taken.size(), 0.0);
        double v = users->value_and_gradient(code, scratch_.data(), int(taken.size()),
                                             want_derivatives ? scratch_grad_.data() : nullptr);
        if (!std::isfinite(v)) throw EvalError("User function " + std::to_string(code) + " returned a value that is not a finite number");
        int node = push(v, -1);
        for (size_t i = 0; i < taken.size(); ++i) add_arg(node, taken[i], scratch_grad_[i]);
        stack.push_back(node);
        break;
      }
    }
  }
  return value_[stack.back()];
}

void Tape::sweep() {
  adjoint_.assign(value_.size(), 0.0);
  if (value_.empty()) return;
  adjoint_.back() = 1.0;
  // Nodes are in evaluation order, so every node comes after its arguments.
  for (size_t k = value_.size(); k-- > 0;) {
    const double a = adjoint_[k];
    if (a == 0.0) continue;
    for (int s = arg_begin_[k], e = s + arg_count_[k]; s < e; ++s) adjoint_[args_[s]] += a * partial_[s];
  }
}

void Tape::add_gradient(double weight, std::vector<double> &grad) {
  sweep();
  for (size_t k = 0; k < column_.size(); ++k)
    if (column_[k] >= 0) grad[column_[k]] += weight * adjoint_[k];
}

}  // namespace krvs::nlp
