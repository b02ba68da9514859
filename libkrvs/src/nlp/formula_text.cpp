// Formulas as infix text: the printer writes a coefficient's reverse Polish
// tokens as text, the parser reads such text back into tokens, so that text
// given by KNLSgetccoef reads back into the same formula.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/problem.h"
#include "model/model.h"
#include "nlp_guard.h"
#include "nlp_problem.h"

using namespace krvs;
using namespace krvs::nlp;

namespace {

struct FunctionName {
  const char *name;
  int code;
};
// Printed names first; the parser also accepts the later spellings.
const FunctionName kFunctions[] = {
    {"LN", KNLS_IFUN_LN},         {"LOG10", KNLS_IFUN_LOG10},   {"EXP", KNLS_IFUN_EXP},     {"ABS", KNLS_IFUN_ABS},
    {"SQRT", KNLS_IFUN_SQRT},     {"SIN", KNLS_IFUN_SIN},       {"COS", KNLS_IFUN_COS},     {"TAN", KNLS_IFUN_TAN},
    {"ARCSIN", KNLS_IFUN_ARCSIN}, {"ARCCOS", KNLS_IFUN_ARCCOS}, {"ARCTAN", KNLS_IFUN_ARCTAN}, {"MIN", KNLS_IFUN_MIN},
    {"MAX", KNLS_IFUN_MAX},       {"PWL", KNLS_IFUN_PWL},       {"SIGN", KNLS_IFUN_SIGN},   {"ERF", KNLS_IFUN_ERF},
    {"ERFC", KNLS_IFUN_ERFC},     {"AND", KNLS_IFUN_AND},       {"OR", KNLS_IFUN_OR},       {"LOG", KNLS_IFUN_LN},
    {"ASIN", KNLS_IFUN_ARCSIN},   {"ACOS", KNLS_IFUN_ARCCOS},   {"ATAN", KNLS_IFUN_ARCTAN},
};

bool is_unary_function(int code) {
  return code != KNLS_IFUN_MIN && code != KNLS_IFUN_MAX && code != KNLS_IFUN_PWL && code != KNLS_IFUN_AND &&
         code != KNLS_IFUN_OR;
}

int internal_function(const std::string &name) {
  std::string upper = name;
  for (char &c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  for (const auto &f : kFunctions)
    if (upper == f.name) return f.code;
  return -1;
}

const char *internal_function_name(int code) {
  for (const auto &f : kFunctions)
    if (f.code == code) return f.name;
  return nullptr;
}

// Shortest text that reads back as the same double.
std::string number_text(double v) {
  if (std::isinf(v)) return v > 0 ? "1e999" : "-1e999";
  char buf[40];
  for (int digits = 15; digits <= 17; ++digits) {
    snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

bool plain_name(const std::string &s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  for (char c : s)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  return true;
}

// A name that the parser would not read back as itself is quoted.
std::string name_text(const std::string &name) {
  if (plain_name(name) && internal_function(name) < 0) return name;
  std::string out = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Precedences: 1 sum, 2 product, 3 negation, 4 power, 9 atom.
struct Printed {
  std::string text;
  int prec;
  bool marker;
};

std::string wrap(const Printed &p, bool parens) { return parens ? "(" + p.text + ")" : p.text; }

std::string print_formula(KNLSprob prob, const Formula &f) {
  const Model &m = *prob->optprob->model;
  std::vector<Printed> stack;
  auto pop = [&] {
    if (stack.empty() || stack.back().marker) throw Error("Formula cannot be printed: missing operand");
    Printed p = stack.back();
    stack.pop_back();
    return p;
  };
  auto pop_arguments = [&](bool unary) {
    std::vector<Printed> args;
    if (unary) {
      args.push_back(pop());
      if (!stack.empty() && stack.back().marker) stack.pop_back();
      return args;
    }
    while (!stack.empty() && !stack.back().marker) args.push_back(pop());
    if (!stack.empty()) stack.pop_back();
    std::reverse(args.begin(), args.end());
    return args;
  };
  auto call_text = [](const std::string &name, const std::vector<Printed> &args) {
    std::string s = name + "(";
    for (size_t k = 0; k < args.size(); ++k) s += (k ? ", " : "") + args[k].text;
    return s + ")";
  };
  for (const Token &t : f.tokens) {
    switch (t.type) {
      case KNLS_TOK_CON: stack.push_back({number_text(t.value), t.value < 0 || std::signbit(t.value) ? 3 : 9, false}); break;
      case KNLS_TOK_COL: stack.push_back({name_text(m.colnames.get(int(t.value))), 9, false}); break;
      case KNLS_TOK_DEL: stack.push_back({"", 0, true}); break;
      case KNLS_TOK_OP: {
        int op = int(t.value);
        if (op == KNLS_OP_UMINUS) {
          Printed a = pop();
          stack.push_back({"-" + wrap(a, a.prec < 3), 3, false});
          break;
        }
        Printed b = pop(), a = pop();
        static const int prec[] = {0, 3, 4, 2, 2, 1, 1};
        static const char *sym[] = {"", "-", " ^ ", " * ", " / ", " + ", " - "};
        int p = prec[op];
        bool left = op == KNLS_OP_EXPONENT ? a.prec <= p : a.prec < p;
        bool right = op == KNLS_OP_EXPONENT ? b.prec < p
                                            : b.prec < p || (b.prec == p && (op == KNLS_OP_MINUS || op == KNLS_OP_DIVIDE));
        stack.push_back({wrap(a, left) + sym[op] + wrap(b, right), p, false});
        break;
      }
      case KNLS_TOK_IFUN: {
        int code = int(t.value);
        stack.push_back({call_text(internal_function_name(code), pop_arguments(is_unary_function(code))), 9, false});
        break;
      }
      case KNLS_TOK_FUN: {
        int index = int(t.value);
        if (index < 1 || size_t(index) > prob->userfuncs.size() || prob->userfuncs[size_t(index) - 1].name.empty())
          throw Error("Formula calls user function " + std::to_string(index) + ", which has no name");
        stack.push_back({call_text(name_text(prob->userfuncs[size_t(index) - 1].name), pop_arguments(false)), 9, false});
        break;
      }
      default: throw Error("Formula cannot be printed: token type " + std::to_string(t.type));
    }
  }
  if (stack.size() != 1) throw Error("Formula cannot be printed");
  return stack.back().text;
}

// Recursive descent over the text, emitting reverse Polish tokens.
class Parser {
 public:
  Parser(KNLSprob prob, const char *text) : prob_(prob), m_(*prob->optprob->model), s_(text) {}

  void parse(std::vector<int> &type, std::vector<double> &value) {
    expression(0);
    skip();
    if (s_[pos_]) fail("unexpected '" + std::string(1, s_[pos_]) + "'");
    type = std::move(type_);
    value = std::move(value_);
    type.push_back(KNLS_TOK_EOF);
    value.push_back(0.0);
  }

 private:
  [[noreturn]] void fail(const std::string &what) const {
    throw Error("Formula text, position " + std::to_string(pos_ + 1) + ": " + what);
  }
  void skip() {
    while (s_[pos_] && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool accept(char c) {
    skip();
    if (s_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  void emit(int t, double v) {
    type_.push_back(t);
    value_.push_back(v);
  }
  void expression(int depth) {
    if (depth > 200) fail("nested too deeply");
    term(depth);
    for (;;) {
      if (accept('+')) {
        term(depth);
        emit(KNLS_TOK_OP, KNLS_OP_PLUS);
      } else if (accept('-')) {
        term(depth);
        emit(KNLS_TOK_OP, KNLS_OP_MINUS);
      } else {
        return;
      }
    }
  }
  void term(int depth) {
    unary(depth);
    for (;;) {
      if (accept('*')) {
        unary(depth);
        emit(KNLS_TOK_OP, KNLS_OP_MULTIPLY);
      } else if (accept('/')) {
        unary(depth);
        emit(KNLS_TOK_OP, KNLS_OP_DIVIDE);
      } else {
        return;
      }
    }
  }
  void unary(int depth) {
    if (depth > 200) fail("nested too deeply");
    if (accept('-')) {
      size_t first = type_.size();
      unary(depth + 1);
      // A negated number is a negative constant.
      if (type_.size() == first + 1 && type_[first] == KNLS_TOK_CON)
        value_[first] = -value_[first];
      else
        emit(KNLS_TOK_OP, KNLS_OP_UMINUS);
      return;
    }
    if (accept('+')) return unary(depth + 1);
    power(depth);
  }
  void power(int depth) {
    primary(depth);
    if (accept('^')) {
      unary(depth + 1);
      emit(KNLS_TOK_OP, KNLS_OP_EXPONENT);
    }
  }
  std::string quoted() {
    std::string name;
    while (s_[pos_] && s_[pos_] != '"') {
      if (s_[pos_] == '\\' && s_[pos_ + 1]) ++pos_;
      name += s_[pos_++];
    }
    if (!s_[pos_]) fail("unterminated quoted name");
    ++pos_;
    return name;
  }
  void primary(int depth) {
    skip();
    const char c = s_[pos_];
    if (c == '(') {
      ++pos_;
      expression(depth + 1);
      if (!accept(')')) fail("')' expected");
      return;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
      char *end = nullptr;
      double v = std::strtod(s_ + pos_, &end);
      if (end == s_ + pos_) fail("malformed number");
      pos_ = size_t(end - s_);
      emit(KNLS_TOK_CON, v);
      return;
    }
    std::string name;
    bool was_quoted = false;
    if (c == '"') {
      ++pos_;
      name = quoted();
      was_quoted = true;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      while (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_') name += s_[pos_++];
    } else {
      fail(c ? "unexpected '" + std::string(1, c) + "'" : "unexpected end of text");
    }
    if (accept('(')) return call(name, was_quoted, depth);
    int col = m_.colnames.find(name);
    if (col < 0) fail("unknown column '" + name + "'");
    emit(KNLS_TOK_COL, col);
  }
  void call(const std::string &name, bool was_quoted, int depth) {
    int code = was_quoted ? -1 : internal_function(name);
    int user = -1;
    if (code < 0) {
      for (size_t k = 0; k < prob_->userfuncs.size(); ++k)
        if (prob_->userfuncs[k].name == name) user = int(k) + 1;
      if (user < 0) fail("unknown function '" + name + "'");
    }
    emit(KNLS_TOK_DEL, 0);
    size_t args = 0;
    if (!accept(')')) {
      do {
        expression(depth + 1);
        ++args;
      } while (accept(','));
      if (!accept(')')) fail("')' expected after the arguments of " + name);
    }
    if (code >= 0 && is_unary_function(code) && args != 1) fail(name + " takes one argument");
    emit(code >= 0 ? KNLS_TOK_IFUN : KNLS_TOK_FUN, code >= 0 ? code : user);
  }

  KNLSprob prob_;
  const Model &m_;
  const char *s_;
  size_t pos_ = 0;
  std::vector<int> type_;
  std::vector<double> value_;
};

}  // namespace

extern "C" {

int KNLSchgccoef(KNLSprob nlprob, int row, int col, const double *factor, const char *formula) noexcept {
  std::vector<int> type;
  std::vector<double> value;
  int rc = guard_nlp(nlprob, [&] {
    if (!formula) throw Error("KNLSchgccoef: null formula");
    Parser(nlprob, formula).parse(type, value);
  });
  if (rc != 0) return rc;
  // The store checks the row, column and token sequence like any formula.
  return KNLSchgcoef(nlprob, row, col, factor, 1, type.data(), value.data());
}

int KNLSgetccoef(KNLSprob nlprob, int row, int col, double *factor, char *formula, int maxbytes) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!formula || maxbytes < 1) throw Error("KNLSgetccoef: no buffer for the formula");
    auto it = std::find_if(nlprob->coefs.begin(), nlprob->coefs.end(),
                           [&](const Coefficient &e) { return e.row == row && e.col == col; });
    if (it == nlprob->coefs.end())
      throw Error("No nonlinear coefficient at row " + std::to_string(row) + ", column " + std::to_string(col));
    std::string text = print_formula(nlprob, *it->formula);
    if (text.size() + 1 > size_t(maxbytes))
      throw Error("The formula needs " + std::to_string(text.size() + 1) + " bytes, more than the " +
                  std::to_string(maxbytes) + " given");
    std::memcpy(formula, text.c_str(), text.size() + 1);
    if (factor) *factor = it->factor;
  });
}

}  // extern "C"
