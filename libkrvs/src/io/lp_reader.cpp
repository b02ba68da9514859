// LP-format reader. Sections start with a keyword as the first word of a
// line (any case): Maximize/Minimize (max, min, ...), Subject To (st, s.t.,
// such that), Bounds, General (gen, integers), Binary (bin), Semi-continuous
// (semi, semis), SOS, GenCons, PWLCons, End. Comments run from '\' to the
// end of the line.
//
// The objective reads  [name:] terms [+ constant]  with quadratic terms in
// "[ ... ] / 2"; a constraint reads  [name:] [col = 0|1 ->] terms sense rhs
// or  [name:] lower <= terms <= upper, with quadratic terms in "[ ... ]".
// General constraints read  [name:] resultant = TYPE ( operand , ... )  and
// piecewise-linear ones  [name:] resultant = PWL ( column ) : ( x , y ) ...,
// tokens separated by blanks (the writer's form); the names are not kept.
// Columns are numbered in order of first appearance.
#include <cmath>
#include <string_view>

#include "io/formats.h"
#include "io/model_builder.h"
#include "io/text.h"

namespace krvs::io {
namespace {

enum class Kind { Number, Name, Op };

struct Token {
  Kind kind;
  std::string text;  // operator or name
  double value = 0;  // number
  int line = 0;
};

enum class Section { None, Objective, Constraints, Bounds, General, Binary, Semi, Sos, GenCons, PwlCons };

bool name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '!' || c == '"' || c == '#' ||
         c == '$' || c == '%' || c == '&' || c == '(' || c == ')' || c == ',' || c == ';' || c == '?' || c == '@' ||
         c == '\'' || c == '{' || c == '}' || c == '|' || c == '~';
}
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9') || c == '.'; }

class LpReader {
 public:
  LpReader(const std::string &path, ModelBuilder &b) : path_(path), b_(b) {}

  void run() {
    std::string text = read_file(path_);
    std::string_view all(text);
    size_t pos = 0;
    int line_no = 0;
    bool ended = false;
    while (pos < all.size() && !ended) {
      size_t end = all.find('\n', pos);
      if (end == std::string_view::npos) end = all.size();
      std::string_view line = all.substr(pos, end - pos);
      pos = end + 1;
      ++line_no;
      size_t comment = line.find('\\');
      if (comment != std::string_view::npos) {
        // The writer's first line names the problem.
        std::string_view note = line.substr(comment + 1);
        size_t at = note.find("Problem name:");
        if (at != std::string_view::npos && b_.problem_name.empty()) {
          auto words = split_blanks(note.substr(at + 13));
          if (!words.empty()) b_.problem_name = std::string(words[0]);
        }
        line = line.substr(0, comment);
      }
      auto words = split_blanks(line);
      if (words.empty()) continue;
      std::string first = lower(words[0]);
      std::string second = words.size() > 1 ? lower(words[1]) : "";
      size_t skip = 0;  // characters of the line taken by the keyword
      Section next = Section::None;
      auto keyword_end = [&](size_t nwords) {
        std::string_view last = words[nwords - 1];
        return size_t(last.data() + last.size() - line.data());
      };
      if (first == "max" || first == "maximize" || first == "maximise" || first == "maximum" || first == "min" ||
          first == "minimize" || first == "minimise" || first == "minimum") {
        b_.obj_sense = first.substr(0, 3) == "max" ? -1 : 1;
        next = Section::Objective;
        skip = keyword_end(1);
      } else if ((first == "subject" && second == "to") || (first == "such" && second == "that")) {
        next = Section::Constraints;
        skip = keyword_end(2);
      } else if (first == "subject" && second == "to:") {
        next = Section::Constraints;
        skip = keyword_end(2);
      } else if (first == "st" || first == "s.t." || first == "st." || first == "st:" || first == "s.t.:") {
        next = Section::Constraints;
        skip = keyword_end(1);
      } else if (first == "bounds" || first == "bound") {
        next = Section::Bounds;
        skip = keyword_end(1);
      } else if (first == "gencons" && words.size() == 1) {
        // Alone on its line: files of older writers may have a column of that name.
        next = Section::GenCons;
        skip = keyword_end(1);
      } else if (first == "pwlcons" && words.size() == 1) {
        next = Section::PwlCons;
        skip = keyword_end(1);
      } else if (first == "general" || first == "generals" || first == "gen" || first == "integer" ||
                 first == "integers") {
        next = Section::General;
        skip = keyword_end(1);
      } else if (first == "binary" || first == "binaries" || first == "bin") {
        next = Section::Binary;
        skip = keyword_end(1);
      } else if (first == "semi-continuous" || first == "semis" || first == "semi") {
        next = Section::Semi;
        skip = keyword_end(1);
      } else if (first == "sos" || first == "sos1" || first == "sos2") {
        next = Section::Sos;
        skip = keyword_end(1);
      } else if (first == "end") {
        ended = true;
        continue;
      }
      if (next != Section::None) {
        finish_section();
        section_ = next;
        line = line.substr(skip);
      } else if (section_ == Section::None) {
        parse_error(path_, line_no, "text before the first section: '" + std::string(words[0]) + "'");
      }
      tokenize(line, line_no);
    }
    finish_section();
    settle_types();
  }

 private:
  [[noreturn]] void error(const std::string &what) {
    int line = pos_ < tokens_.size() ? tokens_[pos_].line : (tokens_.empty() ? 0 : tokens_.back().line);
    parse_error(path_, line, what);
  }

  void tokenize(std::string_view s, int line) {
    size_t i = 0;
    while (i < s.size()) {
      char c = s[i];
      if (c == ' ' || c == '\t') {
        ++i;
        continue;
      }
      if ((c >= '0' && c <= '9') || (c == '.' && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '9')) {
        size_t b = i;
        while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) ++i;
        if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
          size_t e = i + 1;
          if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
          if (e < s.size() && s[e] >= '0' && s[e] <= '9') {
            i = e;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
          }
        }
        Token t{Kind::Number, "", 0, line};
        if (!parse_number(s.substr(b, i - b), t.value))
          parse_error(path_, line, "invalid number '" + std::string(s.substr(b, i - b)) + "'");
        tokens_.push_back(t);
        continue;
      }
      if (name_start(c)) {
        size_t b = i;
        while (i < s.size() && name_char(s[i])) ++i;
        tokens_.push_back(Token{Kind::Name, std::string(s.substr(b, i - b)), 0, line});
        continue;
      }
      auto op = [&](const char *text, size_t len) {
        tokens_.push_back(Token{Kind::Op, text, 0, line});
        i += len;
      };
      char d = i + 1 < s.size() ? s[i + 1] : '\0';
      if (c == '<') op("<=", d == '=' ? 2 : 1);
      else if (c == '>') op(">=", d == '=' ? 2 : 1);
      else if (c == '=' && d == '<') op("<=", 2);
      else if (c == '=' && d == '>') op(">=", 2);
      else if (c == '=') op("=", d == '=' ? 2 : 1);
      else if (c == '-' && d == '>') op("->", 2);
      else if (c == ':' && d == ':') op("::", 2);
      else if (c == '+' || c == '-' || c == '*' || c == '^' || c == '[' || c == ']' || c == '/' || c == ':')
        op(std::string(1, c).c_str(), 1);
      else
        parse_error(path_, line, std::string("unexpected character '") + c + "'");
    }
  }

  // ---- token helpers ----
  bool at_end() const { return pos_ >= tokens_.size(); }
  const Token &peek(size_t ahead = 0) const {
    static const Token none{Kind::Op, "", 0, 0};
    return pos_ + ahead < tokens_.size() ? tokens_[pos_ + ahead] : none;
  }
  bool is_op(const char *text, size_t ahead = 0) const {
    const Token &t = peek(ahead);
    return pos_ + ahead < tokens_.size() && t.kind == Kind::Op && t.text == text;
  }
  bool is_sense(size_t ahead = 0) const { return is_op("<=", ahead) || is_op(">=", ahead) || is_op("=", ahead); }
  static bool is_infinity_word(const Token &t) {
    if (t.kind != Kind::Name) return false;
    std::string w = lower(t.text);
    return w == "inf" || w == "infinity";
  }
  void expect(const char *text) {
    if (!is_op(text)) error(std::string("expected '") + text + "'" + found());
    ++pos_;
  }
  std::string found() const {
    if (at_end()) return " at the end of the section";
    const Token &t = peek();
    return t.kind == Kind::Number ? " before a number" : " before '" + t.text + "'";
  }
  // A signed number (or infinity).
  bool signed_number_ahead() const {
    size_t k = 0;
    while (is_op("+", k) || is_op("-", k)) ++k;
    return pos_ + k < tokens_.size() && (peek(k).kind == Kind::Number || is_infinity_word(peek(k)));
  }
  double signed_number() {
    double sign = 1;
    while (is_op("+") || is_op("-")) {
      if (peek().text == "-") sign = -sign;
      ++pos_;
    }
    if (at_end()) error("expected a number at the end of the section");
    const Token &t = peek();
    double v;
    if (t.kind == Kind::Number)
      v = t.value;
    else if (is_infinity_word(t))
      v = 1e20;
    else
      error("expected a number" + found());
    ++pos_;
    return sign * v;
  }
  int column(const Token &t) {
    if (t.kind != Kind::Name) error("expected a column name" + found());
    return b_.col(t.text);
  }

  struct Expression {
    std::vector<std::pair<int, double>> linear;
    struct Quad {
      int i, j;
      double c;  // coefficient of x_i x_j as written (i == j for squares)
    };
    std::vector<Quad> quadratic;
    double constant = 0.0;
  };

  // Reads terms until a sense, '->', or the end of the tokens.
  Expression expression() {
    Expression e;
    bool first = true;
    while (!at_end() && !is_sense() && !is_op("->")) {
      double sign = 1;
      bool had_sign = false;
      while (is_op("+") || is_op("-")) {
        if (peek().text == "-") sign = -sign;
        had_sign = true;
        ++pos_;
      }
      if (!first && !had_sign && !is_op("[")) break;  // the next statement begins
      first = false;
      if (is_op("[")) {
        ++pos_;
        quadratic_block(e, sign);
        continue;
      }
      if (at_end()) error("a term is missing at the end of the section");
      const Token &t = peek();
      if (t.kind == Kind::Number) {
        double v = t.value;
        ++pos_;
        if (!at_end() && peek().kind == Kind::Name && !is_op(":", 1)) {
          e.linear.emplace_back(column(peek()), sign * v);
          ++pos_;
        } else {
          e.constant += sign * v;
        }
      } else if (t.kind == Kind::Name) {
        if (is_op(":", 1)) break;  // a label: the next statement begins
        e.linear.emplace_back(column(t), sign);
        ++pos_;
      } else {
        error("unexpected '" + t.text + "' in an expression");
      }
    }
    return e;
  }

  void quadratic_block(Expression &e, double outer_sign) {
    size_t block_start = e.quadratic.size();
    bool first = true;
    while (!is_op("]")) {
      if (at_end()) error("']' is missing");
      double sign = outer_sign;
      bool had_sign = false;
      while (is_op("+") || is_op("-")) {
        if (peek().text == "-") sign = -sign;
        had_sign = true;
        ++pos_;
      }
      if (!first && !had_sign) error("expected '+' or '-' between quadratic terms" + found());
      first = false;
      double coef = 1.0;
      if (peek().kind == Kind::Number) {
        coef = peek().value;
        ++pos_;
      }
      int i = column(peek());
      ++pos_;
      int j;
      if (is_op("^")) {
        ++pos_;
        if (peek().kind != Kind::Number || peek().value != 2.0) error("only squares may follow '^'");
        ++pos_;
        j = i;
      } else if (is_op("*")) {
        ++pos_;
        j = column(peek());
        ++pos_;
      } else {
        error("expected '^ 2' or '* column' in a quadratic term" + found());
      }
      e.quadratic.push_back(Expression::Quad{i, j, sign * coef});
    }
    ++pos_;  // ']'
    if (is_op("/")) {
      ++pos_;
      if (peek().kind != Kind::Number || peek().value == 0.0) error("expected a divisor after '/'");
      double d = peek().value;
      ++pos_;
      for (size_t k = block_start; k < e.quadratic.size(); ++k) e.quadratic[k].c /= d;
    }
  }

  // ---- sections ----
  void finish_section() {
    pos_ = 0;
    switch (section_) {
      case Section::Objective: objective(); break;
      case Section::Constraints:
        while (!at_end()) constraint();
        break;
      case Section::Bounds:
        while (!at_end()) bound();
        break;
      case Section::General:
      case Section::Binary:
      case Section::Semi:
        for (const Token &t : tokens_) {
          if (t.kind != Kind::Name) parse_error(path_, t.line, "expected a column name");
          int c = b_.col(t.text);
          flags_.resize(size_t(b_.cols()), 0);
          flags_[size_t(c)] |= section_ == Section::General ? 1 : section_ == Section::Binary ? 2 : 4;
        }
        break;
      case Section::Sos:
        while (!at_end()) sos();
        break;
      case Section::GenCons:
        while (!at_end()) general_constraint();
        break;
      case Section::PwlCons:
        while (!at_end()) piecewise_linear();
        break;
      case Section::None: break;
    }
    tokens_.clear();
    pos_ = 0;
  }

  void objective() {
    if (peek().kind == Kind::Name && is_op(":", 1)) pos_ += 2;
    Expression e = expression();
    if (!at_end()) error("unexpected" + found() + " in the objective");
    for (auto [c, v] : e.linear) b_.add_obj(c, v);
    // c x_i x_j counts as Q_ij x_i x_j, c x_i^2 as 0.5 Q_ii x_i^2.
    for (const auto &q : e.quadratic) b_.add_qobj(q.i, q.j, q.i == q.j ? 2.0 * q.c : q.c);
    b_.obj_constant += e.constant;
  }

  void constraint() {
    std::string name;
    if (peek().kind == Kind::Name && is_op(":", 1)) {
      name = peek().text;
      pos_ += 2;
    }
    int ind_col = -1, ind_value = 0;
    if (peek().kind == Kind::Name && is_op("=", 1) && peek(2).kind == Kind::Number && is_op("->", 3)) {
      ind_col = column(peek());
      double v = peek(2).value;
      if (v != 0.0 && v != 1.0) error("an indicator's value must be 0 or 1");
      ind_value = v == 1.0 ? 1 : -1;
      pos_ += 4;
    }
    double lower = -1e20, upper = 1e20;
    char type;
    Expression e;
    if (signed_number_ahead() && [&] {
          size_t k = 0;
          while (is_op("+", k) || is_op("-", k)) ++k;
          return is_sense(k + 1);
        }()) {
      // lower <= terms <= upper (or the mirror with >=)
      double left = signed_number();
      std::string op1 = peek().text;
      ++pos_;
      e = expression();
      if (!is_sense()) error("expected a second comparison" + found());
      std::string op2 = peek().text;
      ++pos_;
      double right = signed_number();
      if (op1 != op2 || op1 == "=") error("a two-sided constraint needs two '<=' or two '>='");
      lower = op1 == "<=" ? left : right;
      upper = op1 == "<=" ? right : left;
      lower -= e.constant;
      upper -= e.constant;
      type = 'R';
    } else {
      e = expression();
      if (!is_sense()) error("expected '<=', '>=' or '='" + found());
      std::string op = peek().text;
      ++pos_;
      double rhs = signed_number() - e.constant;
      if (op == "<=") {
        upper = rhs;
        type = 'L';
      } else if (op == ">=") {
        lower = rhs;
        type = 'G';
      } else {
        lower = upper = rhs;
        type = 'E';
      }
    }
    double rhs = 0, range = 0;
    bool low_inf = lower <= -1e20, up_inf = upper >= 1e20;
    if (low_inf && up_inf) {
      type = 'N';
    } else if (type == 'R' || type == 'E') {
      if (low_inf) {
        type = 'L';
        rhs = upper;
      } else if (up_inf) {
        type = 'G';
        rhs = lower;
      } else if (lower == upper) {
        type = 'E';
        rhs = lower;
      } else {
        if (lower > upper) error("the lower side of a constraint exceeds its upper side");
        type = 'R';
        rhs = upper;
        range = upper - lower;
      }
    } else {
      rhs = type == 'L' ? upper : lower;
    }
    int r = b_.add_row(name, type);
    if (r < 0) error("duplicate row '" + name + "'");
    b_.rhs[size_t(r)] = rhs;
    b_.range[size_t(r)] = range;
    for (auto [c, v] : e.linear) b_.add_coef(r, c, v);
    // c x_i x_j counts as 2 Q_ij x_i x_j, c x_i^2 as Q_ii x_i^2.
    for (const auto &q : e.quadratic) b_.add_qrow(r, q.i, q.j, q.i == q.j ? q.c : 0.5 * q.c);
    if (ind_col >= 0) b_.set_indicator(r, ind_col, ind_value);
  }

  void bound() {
    if (signed_number_ahead()) {
      double v = signed_number();
      if (!is_sense()) error("expected a comparison after a bound" + found());
      std::string op = peek().text;
      ++pos_;
      int c = column(peek());
      ++pos_;
      set_bound(c, op == "<=" ? ">=" : op == ">=" ? "<=" : "=", v);
      if (is_sense()) {
        std::string op2 = peek().text;
        ++pos_;
        set_bound(c, op2, signed_number());
      }
      return;
    }
    int c = column(peek());
    ++pos_;
    if (!at_end() && peek().kind == Kind::Name && lower(peek().text) == "free") {
      ++pos_;
      b_.lb[size_t(c)] = -1e20;
      b_.ub[size_t(c)] = 1e20;
      return;
    }
    if (!is_sense()) error("expected a comparison or 'free' after a column in the bounds" + found());
    std::string op = peek().text;
    ++pos_;
    set_bound(c, op, signed_number());
  }

  // Column `op` value.
  void set_bound(int c, const std::string &op, double v) {
    size_t j = size_t(c);
    if (op == "<=") {
      b_.ub[j] = v;
    } else if (op == ">=") {
      b_.lb[j] = v;
    } else {
      b_.lb[j] = v;
      b_.ub[j] = v;
    }
  }

  void sos() {
    std::string name;
    if (peek().kind == Kind::Name && is_op(":", 1) && !is_op("::", 1)) {
      name = peek().text;
      pos_ += 2;
    }
    if (peek().kind != Kind::Name || !is_op("::", 1)) error("expected 'S1::' or 'S2::'" + found());
    std::string type = lower(peek().text);
    if (type != "s1" && type != "s2") error("unknown set type '" + peek().text + "'");
    pos_ += 2;
    b_.add_set(name.empty() ? "SOS" + std::to_string(b_.setnames.size()) : name, type[1]);
    // Members until the next set starts.
    while (!at_end()) {
      if (peek().kind == Kind::Name && is_op(":", 1) && peek(2).kind == Kind::Name && is_op("::", 3)) break;
      if (peek().kind == Kind::Name && is_op("::", 1)) break;
      int c = column(peek());
      ++pos_;
      expect(":");
      b_.add_set_member(c, signed_number());
    }
  }

  // Names such as "(" and "," are punctuation in the two sections below;
  // no column name the writer writes is one of them.
  bool is_mark(const char *text, size_t ahead = 0) const {
    const Token &t = peek(ahead);
    return pos_ + ahead < tokens_.size() && t.kind == Kind::Name && t.text == text;
  }
  void expect_mark(const char *text) {
    if (!is_mark(text)) error(std::string("expected '") + text + "'" + found());
    ++pos_;
  }
  // [name:] resultant =
  int resultant() {
    if (peek().kind == Kind::Name && is_op(":", 1)) pos_ += 2;
    const int r = column(peek());
    ++pos_;
    expect("=");
    return r;
  }

  void general_constraint() {
    const int r = resultant();
    if (peek().kind != Kind::Name) error("expected MAX, MIN, AND, OR or ABS" + found());
    const std::string key = lower(peek().text);
    static const char *const types[] = {"max", "min", "and", "or", "abs"};
    int type = -1;
    for (int k = 0; k < 5; ++k)
      if (key == types[k]) type = k;
    if (type < 0) error("unknown general constraint type '" + peek().text + "' (MAX, MIN, AND, OR or ABS)");
    ++pos_;
    GeneralConstraint g{type, r, {}, {}};
    expect_mark("(");
    while (true) {
      if (signed_number_ahead()) {
        if (type != GENCONS_MAX && type != GENCONS_MIN) error("only MAX and MIN constraints take numbers");
        g.vals.push_back(signed_number());
      } else {
        g.cols.push_back(column(peek()));
        ++pos_;
      }
      if (is_mark(")")) break;
      expect_mark(",");
    }
    ++pos_;
    if (type == GENCONS_ABS && (g.cols.size() != 1 || !g.vals.empty())) error("an ABS constraint takes one column");
    gencons.push_back(std::move(g));
  }

  void piecewise_linear() {
    const int r = resultant();
    if (peek().kind != Kind::Name || lower(peek().text) != "pwl") error("expected PWL" + found());
    ++pos_;
    expect_mark("(");
    PiecewiseLinear f{column(peek()), r, {}, {}};
    ++pos_;
    expect_mark(")");
    expect(":");
    while (is_mark("(")) {
      ++pos_;
      const double x = signed_number();
      expect_mark(",");
      const double y = signed_number();
      expect_mark(")");
      if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) >= 1e20 || std::fabs(y) >= 1e20)
        error("the points of a piecewise-linear constraint must be finite");
      const size_t n = f.x.size();
      if (n > 0 && x < f.x[n - 1]) error("the x values of a piecewise-linear constraint must not decrease");
      if (n > 1 && x == f.x[n - 2]) error("more than two points of a piecewise-linear constraint at one x");
      f.x.push_back(x);
      f.y.push_back(y);
    }
    if (f.x.empty()) error("a piecewise-linear constraint without points");
    pwlcons.push_back(std::move(f));
  }

 public:
  std::vector<GeneralConstraint> gencons;
  std::vector<PiecewiseLinear> pwlcons;

 private:
  void settle_types() {
    flags_.resize(size_t(b_.cols()), 0);
    for (size_t j = 0; j < flags_.size(); ++j) {
      int f = flags_[j];
      if (f & 2) {
        b_.coltype[j] = 'B';
        b_.lb[j] = std::max(b_.lb[j], 0.0);
        b_.ub[j] = std::min(b_.ub[j], 1.0);
      } else if ((f & 1) && (f & 4)) {
        b_.coltype[j] = 'R';
      } else if (f & 4) {
        b_.coltype[j] = 'S';
      } else if (f & 1) {
        b_.coltype[j] = 'I';
      }
    }
  }

  std::string path_;
  ModelBuilder &b_;
  Section section_ = Section::None;
  std::vector<Token> tokens_;
  size_t pos_ = 0;
  std::vector<int> flags_;  // 1 general, 2 binary, 4 semi-continuous
};

}  // namespace

void read_lp(const std::string &path, Model &m, std::string &probname) {
  ModelBuilder b;
  LpReader reader(path, b);
  reader.run();
  b.finish(m);
  m.mip.gencons = std::move(reader.gencons);
  m.mip.pwlcons = std::move(reader.pwlcons);
  probname = b.problem_name;
}

}  // namespace krvs::io
