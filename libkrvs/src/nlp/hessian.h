// Exact second derivatives of token formulas and of the Lagrangian of a
// nonlinear problem.
//
// A FormulaHessian records the formula once as a fixed graph (every
// operand of min, max and pwl stays an argument, so the graph is the same
// at every point), finds the pattern of its Hessian from the nonlinear
// interactions of the graph, and colours the formula's columns so that
// columns sharing a colour never meet in a row of the pattern. At a point,
// one forward sweep records values with first and second local partials,
// one reverse sweep gives the adjoints, and one forward-over-reverse sweep
// per colour gives the Hessian times the colour's indicator vector, from
// which every entry is read directly. The cost per point is the number of
// colours times the formula's size (a sum of separable terms needs one to
// three colours whatever its length).
#pragma once

#include <memory>
#include <vector>

#include "formula.h"
#include "knls.h"
#include "model/model.h"

namespace krvs::nlp {

class FormulaHessian {
 public:
  explicit FormulaHessian(const Formula &f);

  // The pattern: lower-triangle entries (row >= col) in column indices of
  // the model, sorted by column then row.
  const std::vector<int> &pattern_rows() const { return hrow_; }
  const std::vector<int> &pattern_cols() const { return hcol_; }
  int colours() const { return ncolours_; }

  // The formula's distinct columns, ascending.
  const std::vector<int> &columns() const { return columns_; }

  // Evaluates the formula at x: returns its value, stores the Hessian
  // entries in hess (one per pattern entry) and, when grad is not null,
  // the partial derivatives in grad (one per entry of columns()). Throws
  // EvalError as Tape::evaluate does.
  double evaluate(const double *x, UserFunctionCaller *users, double *hess, double *grad);

 private:
  struct Node {
    int type;   // token type
    int code;   // operator or function code, column index, or 0
    double constant;
    int arg_begin, arg_count;      // slots in args_
    int second_begin, second_count;  // entries in second_
    int first;  // first node of this node's subtree (subtrees are contiguous)
  };
  struct SecondEntry {
    int slot_a, slot_b;  // argument slots (slot_a <= slot_b), relative to arg_begin
  };
  void build(const Formula &f);
  void build_pattern();
  void colour();
  void forward(const double *x, UserFunctionCaller *users);
  void local_pwl(const Node &n);
  void local_user(const Node &n, UserFunctionCaller *users);

  std::vector<Node> nodes_;
  std::vector<int> args_;
  std::vector<SecondEntry> second_;
  std::vector<int> columns_;          // the formula's distinct columns
  std::vector<int> local_of_node_;    // per column node: position in columns_
  std::vector<int> colour_;           // per position in columns_
  int ncolours_ = 0;
  std::vector<int> hrow_, hcol_;      // pattern in model columns
  std::vector<int> hrow_local_, hcol_local_;

  // Per point.
  std::vector<double> value_, partial_, second_value_, adjoint_, tangent_, second_adjoint_, column_acc_;
  std::vector<double> scratch_in_, scratch_grad_, scratch_grad2_;
};

// Small formulas compiled into one flat program: at most kColumns columns,
// built from arithmetic (exponents that read no column) and the
// one-argument functions. Such a formula is evaluated in one forward sweep
// in which every node carries its gradient and Hessian with respect to the
// formula's columns, in a work area shared by all formulas. Small formulas
// are the common case (one coefficient per term of a sum, thousands of
// them); kept apart, each with its own tape and buffers, their evaluation
// spends its time fetching memory and on per-colour bookkeeping rather
// than on the arithmetic.
class DenseFormulas {
 public:
  static constexpr int kColumns = 4;
  // Compiles f; returns its id, or -1 when it does not qualify.
  int add(const Formula &f);
  // The formula's distinct columns, ascending.
  const int *columns(int id) const { return cols_.data() + col_start_[size_t(id)]; }
  int column_count(int id) const { return col_start_[size_t(id) + 1] - col_start_[size_t(id)]; }
  // Value at x; grad receives one partial derivative per column and, when
  // hess is not null, hess the Hessian's lower triangle packed by rows
  // (entry i * (i + 1) / 2 + j for column positions i >= j). Throws
  // EvalError with the evaluation tape's messages.
  double evaluate(int id, const double *x, double *grad, double *hess);
  static int packed(int i, int j) { return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i; }

 private:
  struct Op {
    int type, code;  // token type; operator or function code, or for a column its model index
    int a, b;        // argument ops (relative to the formula's first op), or for a column its position
    double constant;
  };
  template <int k, bool Second>
  double sweep(const Op *ops, int count, const double *x, double *grad, double *hess);
  static_assert(kColumns == 4, "evaluate() dispatches on the column counts 0 to 4");
  std::vector<Op> ops_;
  std::vector<int> op_start_{0}, col_start_{0}, cols_;
  std::vector<double> work_;
};

// The Hessian of the Lagrangian  sigma * f(x) + sum_r w_r * h_r(x)  of the
// nonlinear parts h_r of rows (formula coefficients, each multiplied by its
// factor and, where it has one, its column, plus quadratic terms) and of the
// objective's quadratic part f. The pattern (lower triangle, compressed by
// columns) is fixed at construction; values() fills one value per entry.
class LagrangianHessian {
 public:
  struct Term {
    double factor;
    int col;  // the multiplying column, -1 none
    const Formula *formula;
  };
  struct Row {
    std::vector<Term> terms;
    const std::vector<QuadEntry> *quad = nullptr;
  };
  // rows: the nonlinear rows; objective_quad: the objective's quadratic
  // entries (0.5 q x_i^2 on the diagonal, q x_i x_j off it), may be null.
  LagrangianHessian(int ncols, std::vector<Row> rows, const std::vector<QuadEntry> *objective_quad);

  int cols() const { return ncols_; }
  // Compressed by columns: entries start_[j] .. start_[j+1]-1 have rows
  // index_[k] >= j; the diagonal, where present, comes first.
  const std::vector<int> &start() const { return start_; }
  const std::vector<int> &index() const { return index_; }
  size_t nonzeros() const { return index_.size(); }

  // Values at x for the given row weights (one per row given at
  // construction) and objective weight. Throws EvalError.
  void values(const double *x, const double *row_weight, double objective_weight, UserFunctionCaller *users,
              std::vector<double> &out);

  // The compiled form of term t of row r (rows and terms in the order given
  // at construction) in dense_formulas(), -1 when it has none; lets callers
  // evaluate values and gradients of the same terms without a tape.
  int term_dense_id(size_t r, size_t t) const { return maps_[r][t].dense_id; }
  DenseFormulas &dense_formulas() { return dense_; }

 private:
  struct TermMap {
    std::unique_ptr<FormulaHessian> hessian;
    std::vector<int> position;        // per formula pattern entry: global entry
    std::vector<int> cross_position;  // per formula column: entry (col, formula column), -1 without col
    std::vector<int> formula_cols;
    int dense_id = -1;       // in dense_, -1: evaluated by its FormulaHessian
    int dense_entries = 0;   // first of its pattern entries in dense_packed_
  };
  int position_of(int i, int j) const;

  int ncols_;
  std::vector<Row> rows_;
  const std::vector<QuadEntry> *objective_quad_;
  std::vector<std::vector<TermMap>> maps_;        // per row, per term
  std::vector<std::vector<int>> quad_position_;   // per row, per quadratic entry
  std::vector<int> objective_quad_position_;
  std::vector<int> start_, index_;
  std::vector<double> hess_scratch_, grad_scratch_;
  DenseFormulas dense_;
  std::vector<int> dense_packed_;  // per pattern entry of the dense terms: its packed index
};

// The Lagrangian of a problem's nonlinear rows (formula coefficients and
// quadratic parts); rows receives those rows, ascending, in the order the
// row weights are given to values().
LagrangianHessian problem_lagrangian(KNLSprob prob, std::vector<int> &rows);

}  // namespace krvs::nlp
