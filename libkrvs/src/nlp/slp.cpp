// Sequential linear programming with a trust region and an exact l1 penalty.
//
// Each iteration linearises every nonlinear coefficient and every quadratic
// part at the current point x and solves, with HiGHS, the linear program
//   min  g'd (+ 0.5 d'Bd) + mu * sum(errors)
//   s.t. linear rows as they are; linearised nonlinear rows relaxed by
//        penalty error columns (so the subproblem is always feasible);
//        |d_j| <= step bound for every column in a nonlinear term.
// B is the exact Hessian of the Lagrangian at x, with the multipliers of
// the last accepted subproblem, shifted where needed to make it positive
// definite (continuous problems whose nonlinear part is not tiny, see
// knls_steptype; without it the subproblem is a pure LP). A step is accepted when the exact penalty merit function
// sense*f + mu * violation falls by a fair share of what the model
// predicted; the step bound grows after good steps and shrinks after poor
// ones. Integer columns ('g' flag) make every subproblem a MIP; once the
// integer values settle they are fixed and the continuous part is polished.
#include "slp.h"

#include <Highs.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <unordered_map>

#include "core/messages.h"
#include "core/problem.h"
#include "model/model.h"
#include "nlp_problem.h"
#include "point_eval.h"
#include "qp_step.h"
#include "qp_warm_start.h"
#include "slp_subproblem.h"
#include "solve/solve_state.h"
#include "user_functions.h"

namespace krvs::nlp {

namespace {

constexpr double kInf = 1e20;
// Largest model that takes second-order steps by default (knls_steptype 0).
constexpr int kQuadraticStepColumns = 250;

double project(double v, double lo, double hi) { return std::min(std::max(v, lo), hi); }
double highs_bound(double v) { return v <= -kInf ? -kHighsInf : v >= kInf ? kHighsInf : v; }

bool is_integer_type(char t) { return t == 'B' || t == 'I' || t == 'P'; }

// Row bounds lo <= row <= hi from the row type.
void row_bounds(const Model &m, int r, double &lo, double &hi) {
  double rhs = m.rhs[size_t(r)];
  switch (m.rowtype[size_t(r)]) {
    case 'L': lo = -kInf; hi = rhs; break;
    case 'G': lo = rhs; hi = kInf; break;
    case 'E': lo = hi = rhs; break;
    case 'R': lo = rhs - std::fabs(m.range[size_t(r)]); hi = rhs; break;
    default: lo = -kInf; hi = kInf; break;
  }
}

double violation(double value, double lo, double hi) {
  if (lo > -kInf && value < lo) return lo - value;
  if (hi < kInf && value > hi) return value - hi;
  return 0.0;
}

struct SparseGrad {
  std::vector<int> index;
  std::vector<double> value;
};

class SlpSolver {
 public:
  SlpSolver(KNLSprob prob, bool keep_integers, bool start_events = true)
      : prob_(prob), m_(*prob->optprob->model), users_(prob), keep_integers_(keep_integers),
        start_events_(start_events) {
    // The subproblem stays with the problem: the next solve starts from
    // this one's last basis.
    if (!prob_->kept_subproblem) prob_->kept_subproblem = std::make_shared<SlpSubproblem>();
    sub_ = prob_->kept_subproblem;
    // A solve started from a callback of another solve of this problem
    // hands the interrupt test back when it ends.
    outer_stop_test_ = sub_->stop_test();
    sub_->set_stop_test([this] { return stop_requested(); });
  }
  ~SlpSolver() { sub_->set_stop_test(std::move(outer_stop_test_)); }
  SlpSolver(const SlpSolver &) = delete;
  SlpSolver &operator=(const SlpSolver &) = delete;
  void run();

 private:
  // ---- setup ----
  void classify();
  // ---- evaluation ----
  bool evaluate(const std::vector<double> &x, bool with_gradients, std::string *error);
  double objective(const std::vector<double> &x) const;
  double merit(const std::vector<double> &x, double &viol) const;
  void determine_transfer_columns(std::vector<double> &x) const;
  void row_activity(const std::vector<double> &x, std::vector<double> &activity) const;
  // ---- subproblems ----
  enum class SubStatus { Optimal, Infeasible, Unbounded, Failed };
  SubStatus solve_subproblem(const std::vector<double> &x, double mu, bool use_box, bool with_hessian);
  bool project_onto_linear_rows(std::vector<double> &x);
  // ---- curvature ----
  bool ensure_curvature(const std::vector<double> &x);
  bool take_multipliers();
  template <class ErrRow>
  bool equality_step(const HighsModel &model, const std::vector<double> &x, double mu, size_t nerr, ErrRow err_row);
  void steer_quadratic_step(const std::vector<double> &x, double max_penalty, bool use_box);
  bool curvature_worthwhile() const;
  bool curvature_only_in_objective() const;
  // ---- loop ----
  int iterate(std::vector<double> &x, bool mip, bool second_order, int iteration_budget);
  void finish(const std::vector<double> &x, int status);
  void log(const std::string &line) const;
  void end_of_iteration();
  bool evaluation_failed(const std::string &error);
  int node_polish(std::vector<double> &x, int status, bool second_order, int limit);
  bool stop_requested() const;
  double elapsed() const;

  KNLSprob prob_;
  const Model &m_;
  ProblemUserFunctions users_;
  Tape tape_;
  bool keep_integers_;
  bool start_events_;  // raise the construct and start events
  int n_ = 0, rows_ = 0;
  double sense_ = 1.0;
  double feastol_ = 1e-6, steptol_ = 1e-7, objtol_ = 1e-7;
  std::chrono::steady_clock::time_point start_time_;

  std::vector<int> nl_rows_;                    // rows with nonlinear terms
  std::vector<int> row_pos_;                    // row -> position in nl_rows_, -1 linear
  std::vector<std::vector<int>> row_coefs_;     // per nonlinear row: coefficient indices
  std::vector<const std::vector<QuadEntry> *> row_quad_;
  std::vector<int> transfer_col_;               // per nonlinear row: the column it determines, or -1
  std::vector<double> transfer_coef_;           // that column's coefficient in the row
  std::vector<char> nl_col_;                    // column enters a nonlinear term
  std::vector<int> nl_cols_;                    // the nonlinear columns, ascending
  std::vector<int> nl_col_pos_;                 // column -> position in nl_cols_, -1
  std::vector<double> lb_, ub_;                 // column bounds used by the subproblems
  std::vector<char> integer_;                   // column kept integer in subproblems
  bool any_integer_ = false;

  // Evaluation at the current point: nonlinear part of each nonlinear row,
  // its gradient, and the objective's gradient.
  std::vector<double> h_;
  std::vector<SparseGrad> h_grad_;
  std::vector<double> obj_grad_;
  std::vector<double> dense_;  // scratch, one entry per column

  // The subproblems, kept in one HiGHS instance changed in place; the start
  // point projection has its own.
  std::shared_ptr<SlpSubproblem> sub_;
  std::function<bool()> outer_stop_test_;
  Highs highs_;
  // Subproblem results.
  QpWarmStart qp_start_;
  std::vector<double> sub_x_, sub_row_dual_, sub_col_dual_;
  std::vector<double> soc_shift_;  // per nonlinear row: extra constant of its linearisation
  double sub_errors_ = 0.0;   // sum of error columns
  double sub_werrors_ = 0.0;  // the same with each row's weight
  std::vector<double> err_weight_;  // weight of each error column's row
  mutable double wviol_ = 0.0;  // weighted violation found by the last merit()
  long long evaluations_ = 0;   // formula evaluations of this solve
  int nerr_ = 0;

  // Trust region and curvature.
  std::vector<double> radius_;  // per nonlinear column
  std::vector<double> step_cap_;  // per nonlinear column: its step bound, or infinity
  std::vector<const TolSet *> col_tolset_;  // per nonlinear column: its tolerance set in use, or null
  std::unique_ptr<QpCurvature> curvature_;  // built on first use
  bool qp_solver_allowed_ = true;  // curved subproblems may go to HiGHS's QP solver
  bool sub_curved_ = false;        // the last subproblem solved had curvature
  std::vector<double> multipliers_;  // row duals the curvature is evaluated with
  double mu_ = 1e3;
  int iterations_ = 0;
  bool stop_after_iteration_ = false;  // an iteration-end callback asked to stop
  // Why an unfinished solve stopped (a stop_* value, 0 unknown) and the
  // largest change of a nonlinear column the last subproblem proposed
  // (negative before the first), for the closing report.
  int limit_reached_ = 0;
  double last_step_ = -1.0;
  // Integer solutions: every accepted point of a mixed-integer solve that
  // satisfies the rows and improves on the best one so far raises intsol.
  double best_integer_ = std::numeric_limits<double>::infinity();  // sense * objective
  void integer_solution(const std::vector<double> &x);
  bool polishing_ = false;
  bool projection_undecided_ = false;  // the start point projection stopped early
  int failed_row_ = -1, failed_col_ = -1;  // the coefficient whose evaluation failed last
  // Cascading: the determined columns recomputed at every point tried, in
  // this order (empty when cascading is off).
  std::vector<int> cascade_order_;
  std::unique_ptr<PointEvaluator> cascade_eval_;
  void setup_cascade();
  // Convergence by columns: their deltas and tolerance sets.
  bool setup_deltas();
  bool within_delta(size_t p, double step, double value) const;
  bool converged_by_tolset(const TolSet &set, size_t p, double step, double value, double fscale) const;
  void record_step_accuracy(const std::vector<double> &from, const std::vector<double> &to,
                            const std::vector<double> &h_from, const std::vector<SparseGrad> &grad_from);
  std::vector<DeltaType> col_delta_;         // per nonlinear column; value 0: none
  double last_objective_change_ = kInf;      // |change of f| at the last accepted step
  std::vector<double> row_lin_error_;        // per nonlinear row: |h(new) - linearisation| at that step
  std::vector<double> row_lin_error_rel_;    // the same over 1 + |h(new)|
  std::vector<std::vector<int>> col_rows_;   // per nonlinear column: the nonlinear rows it enters
  // Delta factors: per nonlinear row, (column, coefficient) pairs that
  // replace the row's derivative in the linearisations until the first
  // convergence (see run()).
  std::vector<std::vector<std::pair<int, double>>> row_dfs_;
  void cascade(std::vector<double> &x);
};

// ---------------------------------------------------------------- setup ----

void SlpSolver::classify() {
  n_ = m_.cols();
  lb_ = m_.lb;
  ub_ = m_.ub;
  rows_ = m_.rows();
  sense_ = prob_->controls.get_double(12146) < 0 ? -1.0 : 1.0;
  if (m_.obj_sense == -1 && prob_->controls.get_double(12146) > 0) sense_ = -1.0;
  feastol_ = prob_->controls.get_double(12405);
  steptol_ = prob_->controls.get_double(12406);
  objtol_ = prob_->controls.get_double(12407);
  mu_ = prob_->controls.get_double(12408);

  row_pos_.assign(size_t(rows_), -1);
  nl_col_.assign(size_t(n_), 0);
  auto mark_row = [&](int r) {
    if (row_pos_[size_t(r)] < 0) {
      row_pos_[size_t(r)] = int(nl_rows_.size());
      nl_rows_.push_back(r);
      row_coefs_.emplace_back();
      row_quad_.push_back(nullptr);
    }
    return row_pos_[size_t(r)];
  };
  for (size_t k = 0; k < prob_->coefs.size(); ++k) {
    const Coefficient &c = prob_->coefs[k];
    if (c.row >= rows_ || c.col >= n_ || (!c.formula->columns.empty() && c.formula->columns.back() >= n_))
      throw Error("A nonlinear coefficient refers to a row or column that no longer exists");
    row_coefs_[size_t(mark_row(c.row))].push_back(int(k));
    if (c.col >= 0) nl_col_[size_t(c.col)] = 1;
    for (int j : c.formula->columns) nl_col_[size_t(j)] = 1;
  }
  for (const auto &[r, entries] : m_.qrows) {
    if (entries.empty()) continue;
    row_quad_[size_t(mark_row(r))] = &entries;
    for (const auto &e : entries) nl_col_[size_t(e.i)] = nl_col_[size_t(e.j)] = 1;
  }
  for (const auto &e : m_.qobj) nl_col_[size_t(e.i)] = nl_col_[size_t(e.j)] = 1;
  std::sort(nl_rows_.begin(), nl_rows_.end());
  // Keep the per-row lists aligned with the sorted order.
  {
    std::vector<std::vector<int>> coefs(nl_rows_.size());
    std::vector<const std::vector<QuadEntry> *> quad(nl_rows_.size());
    for (size_t p = 0; p < nl_rows_.size(); ++p) {
      int old = row_pos_[size_t(nl_rows_[p])];
      coefs[p] = std::move(row_coefs_[size_t(old)]);
      quad[p] = row_quad_[size_t(old)];
    }
    for (size_t p = 0; p < nl_rows_.size(); ++p) row_pos_[size_t(nl_rows_[p])] = int(p);
    row_coefs_ = std::move(coefs);
    row_quad_ = std::move(quad);
  }
  nl_col_pos_.assign(size_t(n_), -1);
  for (int j = 0; j < n_; ++j)
    if (nl_col_[size_t(j)]) {
      nl_col_pos_[size_t(j)] = int(nl_cols_.size());
      nl_cols_.push_back(j);
    }

  col_rows_.assign(nl_cols_.size(), {});
  for (size_t p = 0; p < nl_rows_.size(); ++p) {
    std::vector<int> cols;
    for (int k : row_coefs_[p]) {
      const Coefficient &c = prob_->coefs[size_t(k)];
      if (c.col >= 0) cols.push_back(c.col);
      cols.insert(cols.end(), c.formula->columns.begin(), c.formula->columns.end());
    }
    if (row_quad_[p])
      for (const auto &e : *row_quad_[p]) {
        cols.push_back(e.i);
        cols.push_back(e.j);
      }
    std::sort(cols.begin(), cols.end());
    cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
    for (int j : cols) col_rows_[size_t(nl_col_pos_[size_t(j)])].push_back(int(p));
  }
  // Delta factors of linear rows change nothing: their coefficients are
  // exact.
  row_dfs_.assign(nl_rows_.size(), {});
  for (const auto &[key, value] : prob_->items.dfs) {
    const auto [col, row] = key;
    if (col < 0 || col >= n_ || row < 0 || row >= rows_ || row_pos_[size_t(row)] < 0) continue;
    row_dfs_[size_t(row_pos_[size_t(row)])].emplace_back(col, value);
  }

  // The objective transfer rows: each determines a free column that appears
  // only linearly in it; such a row needs no error columns, and the column
  // is recomputed from the row after every step.
  transfer_col_.assign(nl_rows_.size(), -1);
  transfer_coef_.assign(nl_rows_.size(), 0.0);
  const CompressedMatrix &byrow = m_.by_rows();
  const CompressedMatrix &bycol = m_.by_cols();
  std::unordered_map<int, int> detcol;
  for (const auto &[j, v] : prob_->vars)
    if (v.detrow >= 0 && j < n_) detcol[v.detrow] = j;
  for (size_t p = 0; p < nl_rows_.size(); ++p) {
    int r = nl_rows_[p];
    auto st = prob_->row_status.find(r);
    if (st == prob_->row_status.end() || !(st->second & KNLS_ROW_OBJTRANSFER)) continue;
    if (m_.rowtype[size_t(r)] != 'E') continue;
    auto pick = [&](int j) {
      if (j < 0 || nl_col_[size_t(j)]) return false;
      if (lb_[size_t(j)] > -kInf || ub_[size_t(j)] < kInf) return false;
      if (bycol.start[size_t(j) + 1] - bycol.start[size_t(j)] != 1) return false;
      double a = m_.coef(r, j);
      if (a == 0.0) return false;
      transfer_col_[p] = j;
      transfer_coef_[p] = a;
      return true;
    };
    auto d = detcol.find(r);
    if (d != detcol.end() && pick(d->second)) continue;
    for (int64_t k = byrow.start[size_t(r)]; k < byrow.start[size_t(r) + 1]; ++k)
      if (pick(byrow.index[size_t(k)])) break;
  }

  integer_.assign(size_t(n_), 0);
  if (keep_integers_) {
    if (!m_.sets.empty() || !m_.indicators.empty())
      throw Error("The nonlinear solver does not handle special ordered sets or indicator constraints");
    for (int j = 0; j < n_; ++j)
      if (is_integer_type(m_.coltype[size_t(j)])) {
        integer_[size_t(j)] = 1;
        any_integer_ = true;
      } else if (m_.coltype[size_t(j)] != 'C') {
        throw Error("The nonlinear solver does not handle semi-continuous columns");
      }
  }
  h_.assign(nl_rows_.size(), 0.0);
  h_grad_.assign(nl_rows_.size(), SparseGrad{});
  dense_.assign(size_t(n_), 0.0);
}

// ----------------------------------------------------------- evaluation ----

bool SlpSolver::evaluate(const std::vector<double> &x, bool with_gradients, std::string *error) {
  std::vector<int> touched;
  try {
    for (size_t p = 0; p < nl_rows_.size(); ++p) {
      double sum = 0.0;
      touched.clear();
      auto add = [&](int j, double g) {
        if (dense_[size_t(j)] == 0.0) touched.push_back(j);
        dense_[size_t(j)] += g;
        if (dense_[size_t(j)] == 0.0) dense_[size_t(j)] = 1e-300;  // stays marked
      };
      for (int k : row_coefs_[p]) {
        const Coefficient &c = prob_->coefs[size_t(k)];
        failed_row_ = c.row;
        failed_col_ = c.col;
        double F = tape_.evaluate(*c.formula, x.data(), &users_, with_gradients);
        ++evaluations_;
        double mult = c.col >= 0 ? x[size_t(c.col)] : 1.0;
        sum += c.factor * mult * F;
        if (with_gradients) {
          const double w = c.factor * mult;
          if (w != 0.0) tape_.for_each_partial([&](int j, double d) { add(j, w * d); });
          if (c.col >= 0) add(c.col, c.factor * F);
        }
      }
      if (row_quad_[p]) {
        for (const auto &e : *row_quad_[p]) {
          double xi = x[size_t(e.i)], xj = x[size_t(e.j)];
          if (e.i == e.j) {
            sum += e.q * xi * xi;
            if (with_gradients) add(e.i, 2 * e.q * xi);
          } else {
            sum += 2 * e.q * xi * xj;
            if (with_gradients) {
              add(e.i, 2 * e.q * xj);
              add(e.j, 2 * e.q * xi);
            }
          }
        }
      }
      if (!std::isfinite(sum)) {
        failed_row_ = nl_rows_[p];
        failed_col_ = -1;
        throw EvalError("The nonlinear part of a row is not a finite number");
      }
      h_[p] = sum;
      if (with_gradients) {
        std::sort(touched.begin(), touched.end());
        SparseGrad &g = h_grad_[p];
        g.index.clear();
        g.value.clear();
        for (int j : touched) {
          double v = dense_[size_t(j)];
          dense_[size_t(j)] = 0.0;
          if (std::fabs(v) < 1e-250) continue;
          if (!std::isfinite(v)) throw EvalError("A derivative is not a finite number");
          g.index.push_back(j);
          g.value.push_back(v);
        }
      }
    }
  } catch (const EvalError &e) {
    for (int j : touched) dense_[size_t(j)] = 0.0;
    if (error) *error = e.what();
    return false;
  }
  if (with_gradients) {
    obj_grad_.assign(m_.obj.begin(), m_.obj.end());
    for (const auto &e : m_.qobj) {
      if (e.i == e.j) {
        obj_grad_[size_t(e.i)] += e.q * x[size_t(e.i)];
      } else {
        obj_grad_[size_t(e.i)] += e.q * x[size_t(e.j)];
        obj_grad_[size_t(e.j)] += e.q * x[size_t(e.i)];
      }
    }
  }
  return true;
}

double SlpSolver::objective(const std::vector<double> &x) const {
  double f = m_.obj_constant;
  for (int j = 0; j < n_; ++j) f += m_.obj[size_t(j)] * x[size_t(j)];
  for (const auto &e : m_.qobj)
    f += e.i == e.j ? 0.5 * e.q * x[size_t(e.i)] * x[size_t(e.i)] : e.q * x[size_t(e.i)] * x[size_t(e.j)];
  return f;
}

void SlpSolver::row_activity(const std::vector<double> &x, std::vector<double> &activity) const {
  const CompressedMatrix &a = m_.by_rows();
  activity.assign(size_t(rows_), 0.0);
  for (int r = 0; r < rows_; ++r) {
    double s = 0;
    for (int64_t k = a.start[size_t(r)]; k < a.start[size_t(r) + 1]; ++k) s += a.value[size_t(k)] * x[size_t(a.index[size_t(k)])];
    activity[size_t(r)] = s;
  }
  for (size_t p = 0; p < nl_rows_.size(); ++p) activity[size_t(nl_rows_[p])] += h_[p];
}

// Needs h_ evaluated at x.
void SlpSolver::determine_transfer_columns(std::vector<double> &x) const {
  const CompressedMatrix &a = m_.by_rows();
  for (size_t p = 0; p < nl_rows_.size(); ++p) {
    int j = transfer_col_[p];
    if (j < 0) continue;
    int r = nl_rows_[p];
    double rest = h_[p];
    for (int64_t k = a.start[size_t(r)]; k < a.start[size_t(r) + 1]; ++k)
      if (a.index[size_t(k)] != j) rest += a.value[size_t(k)] * x[size_t(a.index[size_t(k)])];
    x[size_t(j)] = (m_.rhs[size_t(r)] - rest) / transfer_coef_[p];
  }
}

// Needs h_ evaluated at x. The violation counts the nonlinear rows (linear
// rows hold in every subproblem solution).
double SlpSolver::merit(const std::vector<double> &x, double &viol) const {
  const CompressedMatrix &a = m_.by_rows();
  viol = 0.0;
  double weighted = 0.0;  // the violation with each row's weight
  for (size_t p = 0; p < nl_rows_.size(); ++p) {
    int r = nl_rows_[p];
    double act = h_[p];
    for (int64_t k = a.start[size_t(r)]; k < a.start[size_t(r) + 1]; ++k) act += a.value[size_t(k)] * x[size_t(a.index[size_t(k)])];
    double lo, hi;
    row_bounds(m_, r, lo, hi);
    double v = violation(act, lo, hi);
    viol += v;
    weighted += prob_->items.row_weight_of(r) * v;
  }
  wviol_ = weighted;
  return sense_ * objective(x) + mu_ * weighted;
}

// ----------------------------------------------------------- subproblems ----

SlpSolver::SubStatus SlpSolver::solve_subproblem(const std::vector<double> &x, double mu, bool use_box,
                                                 bool with_hessian) {
  const CompressedMatrix &byrow = m_.by_rows();
  // Error columns: one per direction in which a nonlinear row may be relaxed.
  struct ErrCol {
    int row;
    double coef;
  };
  std::vector<ErrCol> errs;
  for (size_t p = 0; p < nl_rows_.size(); ++p) {
    if (transfer_col_[p] >= 0) continue;
    int r = nl_rows_[p];
    char t = m_.rowtype[size_t(r)];
    if (t == 'L' || t == 'E' || t == 'R') errs.push_back(ErrCol{r, -1.0});
    if (t == 'G' || t == 'E' || t == 'R') errs.push_back(ErrCol{r, 1.0});
  }
  nerr_ = int(errs.size());
  err_weight_.resize(errs.size());
  for (size_t k = 0; k < errs.size(); ++k) err_weight_[k] = prob_->items.row_weight_of(errs[k].row);
  const int ncols = n_ + nerr_;

  HighsModel model;
  HighsLp &lp = model.lp_;
  lp.num_col_ = ncols;
  lp.num_row_ = rows_;
  lp.sense_ = ObjSense::kMinimize;
  lp.col_cost_.assign(size_t(ncols), 0.0);
  lp.col_lower_.assign(size_t(ncols), 0.0);
  lp.col_upper_.assign(size_t(ncols), kHighsInf);
  for (int j = 0; j < n_; ++j) {
    lp.col_cost_[size_t(j)] = sense_ * obj_grad_[size_t(j)];
    double lo = lb_[size_t(j)], hi = ub_[size_t(j)];
    int p = nl_col_pos_[size_t(j)];
    if (use_box && p >= 0) {
      double r = radius_[size_t(p)];
      double xl = x[size_t(j)] - r, xu = x[size_t(j)] + r;
      if (integer_[size_t(j)]) {
        xl = std::ceil(xl - 1e-9);
        xu = std::floor(xu + 1e-9);
      }
      lo = std::max(lo, xl);
      hi = std::min(hi, xu);
      if (lo > hi) lo = hi = project(x[size_t(j)], lb_[size_t(j)], ub_[size_t(j)]);
    }
    lp.col_lower_[size_t(j)] = highs_bound(lo);
    lp.col_upper_[size_t(j)] = highs_bound(hi);
  }
  // Each row's errors cost its weight times the penalty.
  for (int k = 0; k < nerr_; ++k) lp.col_cost_[size_t(n_ + k)] = mu * prob_->items.row_weight_of(errs[size_t(k)].row);
  if (any_integer_) {
    lp.integrality_.assign(size_t(ncols), HighsVarType::kContinuous);
    for (int j = 0; j < n_; ++j)
      if (integer_[size_t(j)]) lp.integrality_[size_t(j)] = HighsVarType::kInteger;
  }

  // Rows: linear part plus the gradient of the nonlinear part; the
  // right-hand side moves by the linearisation's constant h(x) - grad'x.
  lp.row_lower_.resize(size_t(rows_));
  lp.row_upper_.resize(size_t(rows_));
  std::vector<int64_t> count(size_t(ncols) + 1, 0);
  std::vector<int> trip_row, trip_col;
  std::vector<double> trip_val;
  trip_row.reserve(byrow.index.size() + 16);
  for (int r = 0; r < rows_; ++r) {
    double lo, hi;
    row_bounds(m_, r, lo, hi);
    int p = row_pos_[size_t(r)];
    if (p < 0) {
      for (int64_t k = byrow.start[size_t(r)]; k < byrow.start[size_t(r) + 1]; ++k) {
        trip_row.push_back(r);
        trip_col.push_back(byrow.index[size_t(k)]);
        trip_val.push_back(byrow.value[size_t(k)]);
      }
    } else {
      const SparseGrad &g = h_grad_[size_t(p)];
      double shift = h_[size_t(p)] + (soc_shift_.empty() ? 0.0 : soc_shift_[size_t(p)]);
      for (size_t k = 0; k < g.index.size(); ++k) {
        dense_[size_t(g.index[k])] += g.value[k];
        shift -= g.value[k] * x[size_t(g.index[k])];
      }
      std::vector<int> cols;
      for (int64_t k = byrow.start[size_t(r)]; k < byrow.start[size_t(r) + 1]; ++k) {
        int j = byrow.index[size_t(k)];
        dense_[size_t(j)] += byrow.value[size_t(k)];
        cols.push_back(j);
      }
      cols.insert(cols.end(), g.index.begin(), g.index.end());
      // A delta factor is the row's derivative with respect to its column
      // in the linearisation; the constant follows, so that the
      // linearisation still passes through the row's value at x.
      for (const auto &[j, df] : row_dfs_[size_t(p)]) {
        shift -= (df - dense_[size_t(j)]) * x[size_t(j)];
        dense_[size_t(j)] = df;
        cols.push_back(j);
      }
      std::sort(cols.begin(), cols.end());
      cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
      for (int j : cols) {
        double v = dense_[size_t(j)];
        dense_[size_t(j)] = 0.0;
        if (v == 0.0) continue;
        trip_row.push_back(r);
        trip_col.push_back(j);
        trip_val.push_back(v);
      }
      if (lo > -kInf) lo -= shift;
      if (hi < kInf) hi -= shift;
    }
    lp.row_lower_[size_t(r)] = highs_bound(lo);
    lp.row_upper_[size_t(r)] = highs_bound(hi);
  }
  for (int k = 0; k < nerr_; ++k) {
    trip_row.push_back(errs[size_t(k)].row);
    trip_col.push_back(n_ + k);
    trip_val.push_back(errs[size_t(k)].coef);
  }
  // Compress by columns in one pass.
  for (int c : trip_col) ++count[size_t(c) + 1];
  for (int j = 0; j < ncols; ++j) count[size_t(j) + 1] += count[size_t(j)];
  HighsSparseMatrix &a = lp.a_matrix_;
  a.format_ = MatrixFormat::kColwise;
  a.num_col_ = ncols;
  a.num_row_ = rows_;
  a.start_.assign(count.begin(), count.end());
  a.index_.resize(trip_col.size());
  a.value_.resize(trip_col.size());
  {
    std::vector<int64_t> next(count.begin(), count.end() - 1);
    for (size_t t = 0; t < trip_col.size(); ++t) {
      int64_t pos = next[size_t(trip_col[t])]++;
      a.index_[size_t(pos)] = trip_row[t];
      a.value_[size_t(pos)] = trip_val[t];
    }
  }

  // 0.5 d'Bd with d = x' - x: the curvature and the linear term -Bx.
  std::vector<double> linear_cost;
  sub_curved_ = false;
  if (with_hessian && curvature_ && curvature_->ready()) {
    if (!qp_solver_allowed_) linear_cost = lp.col_cost_;
    curvature_->fill(model, ncols, x, lp.col_cost_);
  }
  // Only with curvature that needed no shift: a shifted (or still
  // unknown) curvature makes the exact linearisation a poor guide, which
  // the penalty subproblem weighs against the row errors.
  if (model.hessian_.dim_ > 0 && !any_integer_ && curvature_->shift() == 0.0 &&
      equality_step(model, x, mu, errs.size(), [&](size_t k) { return errs[k].row; })) {
    sub_curved_ = true;
    return SubStatus::Optimal;
  }
  if (model.hessian_.dim_ > 0 && !qp_solver_allowed_) {
    // Too large for the QP solver (whose time grows with the cube of the
    // free columns and which cannot be interrupted): a linear step.
    model.hessian_ = HighsHessian();
    lp.col_cost_ = linear_cost;
  }
  const bool qp = model.hessian_.dim_ > 0;
  sub_curved_ = qp;
  if (!sub_->load(std::move(model))) return SubStatus::Failed;
  Highs &highs = sub_->highs();
  double remaining = prob_->controls.get_double(12404) - elapsed();
  // The active-set QP solver can stall on nearly singular curvature; a
  // subproblem that does not finish is retried without curvature.
  highs.setOptionValue("qp_iteration_limit", std::max(1000, 20 * (ncols + rows_)));
  highs.setOptionValue("qp_allow_hot_start", false);
  const bool warm = qp && qp_start_.offer(highs, x.data(), n_);
  HighsModelStatus st = sub_->run(std::max(remaining, 1.0), warm);
  if (warm && (st != HighsModelStatus::kOptimal || !QpWarmStart::solution_feasible(highs, 1e-7)) &&
      !stop_requested()) {
    // The subproblem is feasible (x with its elastic columns): anything
    // but a feasible optimum from the warm start is retried from scratch.
    highs.setOptionValue("qp_allow_hot_start", false);
    highs.setBasis();
    highs.run();
    st = highs.getModelStatus();
  }
  if (st == HighsModelStatus::kOptimal && !any_integer_)
    qp_start_.remember(highs);
  else
    qp_start_.forget();
  if (st == HighsModelStatus::kInfeasible) return SubStatus::Infeasible;
  if (st == HighsModelStatus::kUnbounded || st == HighsModelStatus::kUnboundedOrInfeasible)
    return SubStatus::Unbounded;
  const HighsSolution &sol = highs.getSolution();
  if (!sol.value_valid) return SubStatus::Failed;
  if (st != HighsModelStatus::kOptimal && !(any_integer_ && st == HighsModelStatus::kTimeLimit))
    return SubStatus::Failed;
  sub_x_.assign(sol.col_value.begin(), sol.col_value.begin() + n_);
  sub_errors_ = 0.0;
  sub_werrors_ = 0.0;
  for (int k = 0; k < nerr_; ++k) {
    double e = std::max(0.0, sol.col_value[size_t(n_ + k)]);
    sub_errors_ += e;
    sub_werrors_ += err_weight_[size_t(k)] * e;
  }
  if (sol.dual_valid) {
    sub_row_dual_ = sol.row_dual;
    sub_col_dual_.assign(sol.col_dual.begin(), sol.col_dual.begin() + n_);
  } else {
    sub_row_dual_.assign(size_t(rows_), 0.0);
    sub_col_dual_.assign(size_t(n_), 0.0);
  }
  return SubStatus::Optimal;
}

// Moves x to the nearest point (in the l1 sense) that satisfies the linear
// rows, the bounds and, for a MIP, integrality. False when none exists.
bool SlpSolver::project_onto_linear_rows(std::vector<double> &x) {
  std::vector<double> act;
  row_activity(x, act);
  bool ok = true;
  for (int r = 0; r < rows_ && ok; ++r) {
    if (row_pos_[size_t(r)] >= 0) continue;
    double lo, hi;
    row_bounds(m_, r, lo, hi);
    ok = violation(act[size_t(r)], lo, hi) <= feastol_ * std::max(1.0, std::fabs(m_.rhs[size_t(r)]));
  }
  if (ok) return true;
  // min sum(p + q) s.t. linear rows, x - p + q = x0, bounds.
  const CompressedMatrix &bycol = m_.by_cols();
  HighsLp lp;
  const int ncols = 3 * n_;
  int nlin = 0;
  std::vector<int> linrow(size_t(rows_), -1);
  for (int r = 0; r < rows_; ++r)
    if (row_pos_[size_t(r)] < 0) linrow[size_t(r)] = nlin++;
  lp.num_col_ = ncols;
  lp.num_row_ = nlin + n_;
  lp.col_cost_.assign(size_t(ncols), 1.0);
  lp.col_lower_.assign(size_t(ncols), 0.0);
  lp.col_upper_.assign(size_t(ncols), kHighsInf);
  for (int j = 0; j < n_; ++j) {
    lp.col_cost_[size_t(j)] = 0.0;
    lp.col_lower_[size_t(j)] = highs_bound(lb_[size_t(j)]);
    lp.col_upper_[size_t(j)] = highs_bound(ub_[size_t(j)]);
  }
  for (int r = 0; r < rows_; ++r) {
    if (linrow[size_t(r)] < 0) continue;
    double lo, hi;
    row_bounds(m_, r, lo, hi);
    lp.row_lower_.push_back(highs_bound(lo));
    lp.row_upper_.push_back(highs_bound(hi));
  }
  for (int j = 0; j < n_; ++j) {
    lp.row_lower_.push_back(x[size_t(j)]);
    lp.row_upper_.push_back(x[size_t(j)]);
  }
  HighsSparseMatrix &a = lp.a_matrix_;
  a.format_ = MatrixFormat::kColwise;
  a.num_col_ = ncols;
  a.num_row_ = lp.num_row_;
  a.start_.assign(1, 0);
  for (int j = 0; j < n_; ++j) {
    for (int64_t k = bycol.start[size_t(j)]; k < bycol.start[size_t(j) + 1]; ++k) {
      int r = linrow[size_t(bycol.index[size_t(k)])];
      if (r < 0) continue;
      a.index_.push_back(r);
      a.value_.push_back(bycol.value[size_t(k)]);
    }
    a.index_.push_back(nlin + j);
    a.value_.push_back(1.0);
    a.start_.push_back(int(a.index_.size()));
  }
  for (int s = 0; s < 2; ++s)
    for (int j = 0; j < n_; ++j) {
      a.index_.push_back(nlin + j);
      a.value_.push_back(s == 0 ? -1.0 : 1.0);
      a.start_.push_back(int(a.index_.size()));
    }
  if (any_integer_) {
    lp.integrality_.assign(size_t(ncols), HighsVarType::kContinuous);
    for (int j = 0; j < n_; ++j)
      if (integer_[size_t(j)]) lp.integrality_[size_t(j)] = HighsVarType::kInteger;
  }
  highs_.clearModel();
  if (highs_.passModel(std::move(lp)) == HighsStatus::kError) throw Error("Could not set up the start point projection");
  highs_.run();
  const HighsModelStatus st = highs_.getModelStatus();
  const HighsSolution &sol = highs_.getSolution();
  if (st != HighsModelStatus::kOptimal) {
    // Interrupted or out of time with a point in hand: take it; otherwise
    // only a proven infeasibility says the rows cannot hold.
    projection_undecided_ = st != HighsModelStatus::kInfeasible;
    if (!projection_undecided_ || !sol.value_valid) return false;
  }
  for (int j = 0; j < n_; ++j) x[size_t(j)] = sol.col_value[size_t(j)];
  return true;
}

// ------------------------------------------------------------- curvature ----

// The curvature at x with the current multipliers; false when it cannot be
// evaluated there (the iteration then takes a linear step).
bool SlpSolver::ensure_curvature(const std::vector<double> &x) {
  if (!curvature_) {
    std::vector<LagrangianHessian::Row> rows(nl_rows_.size());
    for (size_t p = 0; p < nl_rows_.size(); ++p) {
      for (int k : row_coefs_[p]) {
        const Coefficient &c = prob_->coefs[size_t(k)];
        rows[p].terms.push_back(LagrangianHessian::Term{c.factor, c.col, c.formula.get()});
      }
      rows[p].quad = row_quad_[p];
    }
    curvature_ = std::make_unique<QpCurvature>(n_, std::move(rows), m_.qobj.empty() ? nullptr : &m_.qobj);
  }
  if (curvature_->ready()) return true;
  // Gradient of sense*f - sum y_r h_r (the row duals follow HiGHS's sign
  // convention for a minimisation).
  std::vector<double> weights(nl_rows_.size(), 0.0);
  if (multipliers_.size() == size_t(rows_))
    for (size_t p = 0; p < nl_rows_.size(); ++p) weights[p] = -multipliers_[size_t(nl_rows_[p])];
  std::string err;
  return curvature_->update(x.data(), weights.data(), sense_, &users_, &err);
}

// A subproblem whose rows are all equalities: the KKT system of its
// equality-constrained QP, solved by a sparse factorisation, replaces the
// active-set QP solver (whose dense null space makes it slow beyond a few
// hundred free columns) when its solution is the subproblem's: inside the
// column bounds and the step box (or, on a large model, shortened into
// them), with every multiplier within its row's penalty. False, the QP
// solver to be used, otherwise.
template <class ErrRow>
bool SlpSolver::equality_step(const HighsModel &model, const std::vector<double> &x, double mu, size_t nerr,
                              ErrRow err_row) {
  const HighsLp &lp = model.lp_;
  for (int r = 0; r < rows_; ++r)
    if (lp.row_lower_[size_t(r)] != lp.row_upper_[size_t(r)] || !std::isfinite(lp.row_lower_[size_t(r)])) return false;
  std::vector<double> target, duals;
  if (!solve_equality_qp(model, n_, target, duals)) return false;
  // The QP's own solution when no bound holds it back and no row would
  // rather take errors (its multiplier within its penalty). On a model too
  // large for the QP solver, a step that leaves the box is shortened into
  // it instead (the rows then take errors for what it leaves undone).
  double alpha = 1.0;
  for (int j = 0; j < n_; ++j) {
    const double d = target[size_t(j)] - x[size_t(j)];
    const double lo = lp.col_lower_[size_t(j)], hi = lp.col_upper_[size_t(j)];
    if (d > 0 && target[size_t(j)] > hi) alpha = std::min(alpha, std::max(0.0, (hi - x[size_t(j)]) / d));
    if (d < 0 && target[size_t(j)] < lo) alpha = std::min(alpha, std::max(0.0, (lo - x[size_t(j)]) / d));
  }
  if (alpha < 1.0) {
    if (n_ <= kQuadraticStepColumns || alpha < 0.01) return false;
    for (int j = 0; j < n_; ++j)
      target[size_t(j)] = std::min(std::max(x[size_t(j)] + alpha * (target[size_t(j)] - x[size_t(j)]),
                                            lp.col_lower_[size_t(j)]), lp.col_upper_[size_t(j)]);
  }
  for (size_t k = 0; k < nerr; ++k)
    if (std::fabs(duals[size_t(err_row(k))]) > mu * err_weight_[k]) return false;
  // Rounding leaves tiny row errors; a transfer row moves its column.
  const HighsSparseMatrix &a = lp.a_matrix_;
  std::vector<double> residual(lp.row_lower_.begin(), lp.row_lower_.end());
  for (int j = 0; j < n_; ++j)
    for (HighsInt k = a.start_[size_t(j)]; k < a.start_[size_t(j) + 1]; ++k)
      residual[size_t(a.index_[size_t(k)])] -= a.value_[size_t(k)] * target[size_t(j)];
  for (size_t p = 0; p < nl_rows_.size(); ++p) {
    const int t = transfer_col_[p];
    if (t < 0) continue;
    target[size_t(t)] += residual[size_t(nl_rows_[p])] / transfer_coef_[p];
    residual[size_t(nl_rows_[p])] = 0.0;
  }
  sub_errors_ = sub_werrors_ = 0.0;
  std::vector<char> counted(size_t(rows_), 0);
  for (size_t k = 0; k < nerr; ++k) {
    const int r = err_row(k);
    if (counted[size_t(r)]) continue;
    counted[size_t(r)] = 1;
    sub_errors_ += std::fabs(residual[size_t(r)]);
    sub_werrors_ += err_weight_[k] * std::fabs(residual[size_t(r)]);
  }
  sub_x_ = std::move(target);
  sub_row_dual_ = duals;
  sub_col_dual_.assign(size_t(n_), 0.0);
  return true;
}

// Raises the penalty until the quadratic step removes at least a tenth of
// the weighted errors a linear step could remove within the region (the
// linear step is found with the largest penalty). The quadratic
// subproblem's results are those of the last penalty tried that solved.
void SlpSolver::steer_quadratic_step(const std::vector<double> &x, double max_penalty, bool use_box) {
  std::vector<double> keep_x = sub_x_, keep_rd = sub_row_dual_, keep_cd = sub_col_dual_;
  double keep_err = sub_errors_, keep_werr = sub_werrors_;
  auto restore = [&] {
    sub_x_ = keep_x;
    sub_row_dual_ = keep_rd;
    sub_col_dual_ = keep_cd;
    sub_errors_ = keep_err;
    sub_werrors_ = keep_werr;
  };
  double viol = 0;
  merit(x, viol);
  const double at_x = wviol_;
  if (solve_subproblem(x, max_penalty, use_box, false) != SubStatus::Optimal) {
    restore();
    return;
  }
  const double least = sub_werrors_;
  restore();
  const double target = least + 0.9 * std::max(0.0, at_x - least);
  while (sub_werrors_ > target + feastol_ && sub_errors_ > feastol_ && mu_ < max_penalty) {
    const double new_mu = std::min(mu_ * 10, max_penalty);
    if (solve_subproblem(x, new_mu, use_box, true) != SubStatus::Optimal) {
      restore();
      return;
    }
    mu_ = new_mu;
    keep_x = sub_x_;
    keep_rd = sub_row_dual_;
    keep_cd = sub_col_dual_;
    keep_err = sub_errors_;
    keep_werr = sub_werrors_;
  }
}

// Takes the last subproblem's row duals as the multipliers of the
// curvature. A row's dual at its penalty (the row relaxed by its errors)
// says nothing of the row's multiplier: the last one stays. True when some
// multiplier moved by more than a tenth.
bool SlpSolver::take_multipliers() {
  bool moved = false;
  for (int r = 0; r < rows_ && size_t(r) < sub_row_dual_.size(); ++r) {
    const double y = sub_row_dual_[size_t(r)];
    const bool at_penalty = row_pos_[size_t(r)] >= 0 && transfer_col_[size_t(row_pos_[size_t(r)])] < 0 &&
                            std::fabs(y) >= 0.99 * mu_ * prob_->items.row_weight_of(r);
    if (at_penalty) continue;
    double &old = multipliers_[size_t(r)];
    if (std::fabs(y - old) > 0.1 * std::max(std::fabs(old), 1e-3)) moved = true;
    old = y;
  }
  return moved;
}

// Automatic step choice: quadratic subproblems where they are affordable
// and the nonlinear part is not tiny. Small models use HiGHS's active-set QP
// solver, which keeps a dense factor of the reduced Hessian; larger ones
// only when the nonlinear columns are at least a twentieth of all and
// either every row is an equality (their subproblems are solved through a
// sparse factorisation of the optimality system) or the curvature is the
// objective's alone.
bool SlpSolver::curvature_worthwhile() const {
  const size_t nn = nl_cols_.size();
  if (nn == 0) return false;
  if (n_ <= kQuadraticStepColumns) return true;
  if (nn * 20 < size_t(n_)) return false;
  if (curvature_only_in_objective()) return true;
  for (int r = 0; r < rows_; ++r)
    if (m_.rowtype[size_t(r)] != 'E') return false;
  return true;
}

// Every nonlinear row defines the objective (a transfer row): the rows of
// the subproblems are then the model's linear rows, whose active set
// changes little from one subproblem to the next, and the QP solver's warm
// start keeps it fast also on large models.
bool SlpSolver::curvature_only_in_objective() const {
  return std::all_of(transfer_col_.begin(), transfer_col_.end(), [](int t) { return t >= 0; });
}

// ----------------------------------------------------------------- loop ----

void SlpSolver::log(const std::string &line) const { nlp_log(prob_, line, MSG_INFO); }

bool SlpSolver::stop_requested() const { return stop_after_iteration_ || stop_asked(prob_); }

double SlpSolver::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_time_).count();
}

// Deltas (KNLSchgdeltatype): a column whose step is at most its delta,
// absolute or relative to its value, has converged.
bool SlpSolver::setup_deltas() {
  col_delta_.assign(nl_cols_.size(), DeltaType{0, 0.0});
  bool any = false;
  for (size_t p = 0; p < nl_cols_.size(); ++p) {
    auto d = prob_->items.delta_type.find(nl_cols_[p]);
    if (d == prob_->items.delta_type.end()) continue;
    col_delta_[p] = d->second;
    any = true;
  }
  return any;
}

bool SlpSolver::within_delta(size_t p, double step, double value) const {
  const DeltaType &d = col_delta_[p];
  if (d.value <= 0) return false;
  return step <= (d.type == 1 ? d.value : d.value * std::fabs(value));
}

// Tolerances of a set (any one in use suffices): 0/1 the step, absolute or
// relative to the value; 2/3 the objective change of the last accepted
// step, absolute or relative to |f|; 4/5 the step's impact |df/dx_j * d|,
// absolute or relative to |f|; 6/7 the slack between the column's
// nonlinear rows and their linearisations at the last accepted step,
// absolute or relative to the rows' values; 8 closure: the column's step
// bound has closed to at most the tolerance.
bool SlpSolver::converged_by_tolset(const TolSet &set, size_t p, double step, double value, double fscale) const {
  const auto used = [&](int k) { return (set.status >> k) & 1; };
  const int j = nl_cols_[p];
  const double impact = std::fabs(obj_grad_[size_t(j)] * step);
  double slack = last_objective_change_ < kInf ? 0.0 : kInf, slack_rel = slack;
  for (int q : col_rows_[p]) {
    slack = std::max(slack, row_lin_error_[size_t(q)]);
    slack_rel = std::max(slack_rel, row_lin_error_rel_[size_t(q)]);
  }
  return (used(0) && step <= set.tol[0]) || (used(1) && step <= set.tol[1] * std::fabs(value)) ||
         (used(2) && last_objective_change_ <= set.tol[2]) || (used(3) && last_objective_change_ <= set.tol[3] * fscale) ||
         (used(4) && impact <= set.tol[4]) || (used(5) && impact <= set.tol[5] * fscale) ||
         (used(6) && slack <= set.tol[6]) || (used(7) && slack_rel <= set.tol[7]) ||
         (used(8) && radius_[p] <= set.tol[8]);
}

// At an accepted step from `from` to `to` (h_ evaluated at `to`): the
// objective change and how far each nonlinear row moved from its
// linearisation at `from`.
void SlpSolver::record_step_accuracy(const std::vector<double> &from, const std::vector<double> &to,
                                     const std::vector<double> &h_from, const std::vector<SparseGrad> &grad_from) {
  last_objective_change_ = std::fabs(objective(to) - objective(from));
  for (size_t p = 0; p < nl_rows_.size(); ++p) {
    double predicted = h_from[p];
    const SparseGrad &g = grad_from[p];
    for (size_t k = 0; k < g.index.size(); ++k) predicted += g.value[k] * (to[size_t(g.index[k])] - from[size_t(g.index[k])]);
    row_lin_error_[p] = std::fabs(h_[p] - predicted);
    row_lin_error_rel_[p] = row_lin_error_[p] / (1.0 + std::fabs(h_[p]));
  }
}

// A failed evaluation at a point the solve tried: the coefficient-error
// registrations may stop the solve. False when the solve goes on (the
// point is refused as usual) and also when the solve stops: the caller's
// stop test reads stop_after_iteration_.
bool SlpSolver::evaluation_failed(const std::string &) {
  if (failed_row_ >= 0 && fire_coefevalerror(prob_, failed_row_, failed_col_)) stop_after_iteration_ = true;
  return false;
}

// x has integral integer columns (the subproblems keep them integral, the
// polish fixes them) and satisfies the rows. The callbacks read its
// objective value through the problem's attributes.
void SlpSolver::integer_solution(const std::vector<double> &x) {
  const double value = sense_ * objective(x);
  if (std::isfinite(best_integer_) && value >= best_integer_ - 1e-9 * (1.0 + std::fabs(best_integer_))) return;
  best_integer_ = value;
  prob_->objective_value = objective(x);
  fire(prob_, NLCB_INTSOL);
}

void SlpSolver::end_of_iteration() {
  if (fire_iteration_end(prob_, nl_cols_)) stop_after_iteration_ = true;
}

// Cascading (control knls_cascade) recomputes each determined column from
// its row at every point the solve tries. Only columns whose every row is a
// nonlinear row take part: the merit function counts those rows, while the
// linear rows, which the subproblems keep satisfied, would otherwise be
// broken unseen. Integer columns of a mixed-integer solve stay as the
// subproblems set them.
void SlpSolver::setup_cascade() {
  cascade_order_.clear();
  if (prob_->controls.get_int(12417) == 0) return;
  const CompressedMatrix &bycol = m_.by_cols();
  for (int j : cascade_order_in_use(prob_)) {
    if (j >= n_ || integer_[size_t(j)]) continue;
    bool only_nonlinear_rows = true;
    for (int64_t k = bycol.start[size_t(j)]; k < bycol.start[size_t(j) + 1] && only_nonlinear_rows; ++k)
      only_nonlinear_rows = row_pos_[size_t(bycol.index[size_t(k)])] >= 0;
    if (only_nonlinear_rows) cascade_order_.push_back(j);
  }
  if (!cascade_order_.empty()) cascade_eval_ = std::make_unique<PointEvaluator>(prob_);
}

void SlpSolver::cascade(std::vector<double> &x) {
  if (cascade_order_.empty()) return;
  if (cascade_point(prob_, *cascade_eval_, cascade_order_, x)) stop_after_iteration_ = true;
}

// The integer-fixed polish of a mixed-integer solve is the search's one
// node: prenode may drop it, slpnode skip its SLP, optnode refuse its
// result. x and status are those before the polish; returns the status.
int SlpSolver::node_polish(std::vector<double> &x, int status, bool second_order, int limit) {
  if (fire_node(prob_, NLCB_PRENODE) || stop_requested()) return status;
  if (fire(prob_, NLCB_SLPNODE) || stop_requested()) return status;
  for (int j = 0; j < n_; ++j)
    if (integer_[size_t(j)]) lb_[size_t(j)] = ub_[size_t(j)] = std::round(x[size_t(j)]);
  std::vector<double> polished = x;
  polishing_ = true;
  int polish_status = iterate(polished, false, second_order, limit);
  polishing_ = false;
  double v0 = 0, v1 = 0;
  std::string err;
  evaluate(x, false, &err);
  double f0 = merit(x, v0);
  evaluate(polished, false, &err);
  double f1 = merit(polished, v1);
  if (fire_node(prob_, NLCB_OPTNODE)) return status;
  if (polish_status == KNLS_NLP_LOCALLY_OPTIMAL && v1 <= feastol_ && (f1 <= f0 + 1e-9 * (1 + std::fabs(f0)) || v0 > feastol_)) {
    x = polished;
    return polish_status;
  }
  return status;
}

// Runs SLP iterations from x (feasible for the linear rows). Returns an
// nlp status; x is the last accepted point (transfer columns determined).
int SlpSolver::iterate(std::vector<double> &x, bool mip, bool second_order, int iteration_budget) {
  const size_t nn = nl_cols_.size();
  const bool had_integers = any_integer_;
  any_integer_ = mip;
  std::string err;
  cascade(x);
  if (!evaluate(x, true, &err) && !evaluation_failed(err)) throw Error("Evaluation failed at the start point: " + err);
  determine_transfer_columns(x);
  if (!evaluate(x, true, &err) && !evaluation_failed(err)) throw Error("Evaluation failed at the start point: " + err);
  // A problem without nonlinear terms is solved exactly by one subproblem.
  const bool linear = nl_rows_.empty() && m_.qobj.empty();
  const double max_penalty = prob_->controls.get_double(12410);
  const double init_step = prob_->controls.get_double(12411);
  radius_.assign(nn, 0.0);
  step_cap_.assign(nn, kInf);
  col_tolset_.assign(nn, nullptr);
  bool any_tolset = false;
  const bool any_delta = setup_deltas();
  last_objective_change_ = kInf;
  row_lin_error_.assign(nl_rows_.size(), kInf);
  row_lin_error_rel_.assign(nl_rows_.size(), kInf);
  for (size_t p = 0; p < nn; ++p) {
    int j = nl_cols_[p];
    auto v = prob_->vars.find(j);
    double given = v != prob_->vars.end() ? v->second.initstepbound : 0.0;
    radius_[p] = given > 0 ? given : init_step * std::max(1.0, std::fabs(x[size_t(j)]));
    // A column's own step bound caps its trust region.
    double cap = v != prob_->vars.end() && v->second.stepbound > 0 ? v->second.stepbound : kInf;
    step_cap_[p] = cap;
    radius_[p] = std::min(radius_[p], cap);
    const TolSet *set = nullptr;
    if (v != prob_->vars.end() && v->second.tolset > 0 && size_t(v->second.tolset) <= prob_->items.tolsets.size())
      set = &prob_->items.tolsets[size_t(v->second.tolset) - 1];
    col_tolset_[p] = set && set->status != 0 ? set : nullptr;
    any_tolset = any_tolset || col_tolset_[p];
  }
  if (curvature_) curvature_->invalidate();
  if (multipliers_.size() != size_t(rows_)) {
    // First estimate: a transfer row's multiplier makes its free column's
    // reduced cost vanish; the others start at zero.
    multipliers_.assign(size_t(rows_), 0.0);
    for (size_t p = 0; p < nl_rows_.size(); ++p)
      if (transfer_col_[p] >= 0)
        multipliers_[size_t(nl_rows_[p])] = sense_ * m_.obj[size_t(transfer_col_[p])] / transfer_coef_[p];
  }
  double viol = 0;
  double phi = merit(x, viol);
  int small_changes = 0;
  std::vector<double> step(size_t(n_), 0.0);
  for (int it = 0; it < iteration_budget; ++it) {
    if (!stop_requested() && elapsed() > prob_->controls.get_double(12404)) limit_reached_ = STOP_TIMELIMIT;
    if (limit_reached_ || stop_requested() || fire(prob_, NLCB_ITERSTART)) {
      any_integer_ = had_integers;
      return KNLS_NLP_UNFINISHED;
    }
    ++iterations_;
    // Every iteration that starts ends with the iteration-end events,
    // whichever way it leaves the loop body.
    struct IterationEnd {
      SlpSolver *solver;
      ~IterationEnd() { solver->end_of_iteration(); }
    } iteration_end{this};
    const bool second_order_steps = second_order && !mip && nn > 0;
    // The first step is linear: it gives the first multipliers, and the
    // linear program tells an unbounded model apart, which the QP solver,
    // bounded by the step box on the curved columns only, may not.
    bool use_hessian = second_order_steps && it > 0 && ensure_curvature(x);
    SubStatus st = solve_subproblem(x, mu_, !linear, use_hessian);
    if (st == SubStatus::Failed && use_hessian) {
      // Curvature that the QP solver cannot handle (nearly flat curvature
      // can make it cycle): once more with a firmer shift, then a linear
      // step.
      curvature_->strengthen();
      st = solve_subproblem(x, mu_, !linear, use_hessian);
      if (st == SubStatus::Failed) {
        use_hessian = false;
        st = solve_subproblem(x, mu_, !linear, use_hessian);
      }
    }
    if (st == SubStatus::Unbounded) {
      any_integer_ = had_integers;
      return KNLS_NLP_UNBOUNDED;
    }
    if (st == SubStatus::Infeasible && linear) {
      any_integer_ = had_integers;
      return KNLS_NLP_INFEASIBLE;
    }
    if (st != SubStatus::Optimal) {
      // Numerical trouble in the subproblem: retry with a smaller region.
      for (double &r : radius_) r *= 0.25;
      sub_->forget_basis();
      if (std::all_of(radius_.begin(), radius_.end(), [](double r) { return r < 1e-10; })) {
        any_integer_ = had_integers;
        return viol <= feastol_ ? KNLS_NLP_LOCALLY_OPTIMAL : KNLS_NLP_LOCALLY_INFEASIBLE;
      }
      continue;
    }
    // Steering: while the linearisation leaves errors that a larger penalty
    // would remove, raise the penalty. The curvature holds a quadratic step
    // back from the region's edge, so its errors are measured against the
    // least errors a linear step reaches in the region.
    if (use_hessian && sub_errors_ > feastol_ && mu_ < max_penalty)
      steer_quadratic_step(x, max_penalty, !linear);
    // A penalty that removes some errors is kept with its subproblem; one
    // that removes less than a tenth of them ends the raising (the rest is
    // what the step box allows, or needs a far larger penalty, which the
    // next iterations try again).
    while (!use_hessian && sub_errors_ > feastol_ && mu_ < max_penalty) {
      std::vector<double> keep_x = sub_x_, keep_rd = sub_row_dual_, keep_cd = sub_col_dual_;
      const double keep_err = sub_errors_, keep_werr = sub_werrors_;
      const double new_mu = std::min(mu_ * 10, max_penalty);
      const SubStatus raised = solve_subproblem(x, new_mu, !linear, use_hessian);
      if (raised != SubStatus::Optimal || sub_errors_ >= keep_err - feastol_) {
        sub_x_ = keep_x;
        sub_row_dual_ = keep_rd;
        sub_col_dual_ = keep_cd;
        sub_errors_ = keep_err;
        sub_werrors_ = keep_werr;
        break;
      }
      mu_ = new_mu;
      if (sub_errors_ > 0.9 * keep_err) break;
    }
    phi = merit(x, viol);
    const double wviol_x = wviol_;
    if (linear) {
      x = sub_x_;
      prob_->solution.duals = sub_row_dual_;
      prob_->solution.djs = sub_col_dual_;
      evaluate(x, true, nullptr);
      any_integer_ = had_integers;
      return KNLS_NLP_GLOBALLY_OPTIMAL;
    }

    // Predicted reduction of the merit function.
    double gd = 0, dmax = 0, xmax = 0;
    for (int j = 0; j < n_; ++j) {
      double d = sub_x_[size_t(j)] - x[size_t(j)];
      gd += sense_ * obj_grad_[size_t(j)] * d;
      if (nl_col_[size_t(j)]) dmax = std::max(dmax, std::fabs(d));
      xmax = std::max(xmax, std::fabs(x[size_t(j)]));
    }
    last_step_ = dmax;
    double dBd = 0;
    if (use_hessian && sub_curved_) {
      for (int j = 0; j < n_; ++j) step[size_t(j)] = sub_x_[size_t(j)] - x[size_t(j)];
      dBd = curvature_->quadratic_form(step);
    }
    // Convergence of the step: a column converges by its delta (a step
    // within it), by any tolerance of its tolerance set, or without either
    // by the relative step tolerance.
    const bool step_small = [&] {
      const double default_ok = steptol_ * (1.0 + xmax);
      if (!any_tolset && !any_delta) return dmax <= default_ok;
      const double fscale = std::fabs(objective(x));
      for (size_t p = 0; p < nn; ++p) {
        const int j = nl_cols_[p];
        const double d = std::fabs(sub_x_[size_t(j)] - x[size_t(j)]);
        if (within_delta(p, d, x[size_t(j)])) continue;
        if (!col_tolset_[p]) {
          if (d > default_ok) return false;
          continue;
        }
        if (!converged_by_tolset(*col_tolset_[p], p, d, x[size_t(j)], fscale)) return false;
      }
      return true;
    }();
    const double pred = mu_ * wviol_x - mu_ * sub_werrors_ - gd - 0.5 * dBd;
    const double scale = 1.0 + std::fabs(phi);

    // Converged columns at a point that still violates curved rows (a
    // second-order step approaches them from outside): the step that
    // restores feasibility is taken first, and ends the solve if it does.
    const bool finishing_step = step_small && viol > feastol_ && pred > 1e-2 * objtol_ * scale;
    if ((step_small && !finishing_step) || pred <= 1e-2 * objtol_ * scale) {
      // No useful step from here.
      if (viol <= feastol_) {
        prob_->solution.duals = sub_row_dual_;
        prob_->solution.djs = sub_col_dual_;
        any_integer_ = had_integers;
        return KNLS_NLP_LOCALLY_OPTIMAL;
      }
      if (mu_ >= max_penalty || step_small) {
        any_integer_ = had_integers;
        return KNLS_NLP_LOCALLY_INFEASIBLE;
      }
      mu_ = std::min(mu_ * 10, max_penalty);
      phi = merit(x, viol);
      continue;
    }

    // Trial point.
    std::vector<double> saved_h = h_;
    std::vector<SparseGrad> saved_grad = h_grad_;
    std::vector<double> saved_obj_grad = obj_grad_;
    auto restore = [&] {
      h_ = saved_h;
      h_grad_ = saved_grad;
      obj_grad_ = saved_obj_grad;
    };
    auto try_point = [&](std::vector<double> &point, double &point_phi, double &point_viol) {
      cascade(point);
      if (!evaluate(point, false, &err)) {
        evaluation_failed(err);
        return false;
      }
      determine_transfer_columns(point);
      if (!evaluate(point, true, &err)) {
        evaluation_failed(err);
        return false;
      }
      point_phi = merit(point, point_viol);
      return true;
    };
    std::vector<double> trial = sub_x_;
    double trial_phi = std::numeric_limits<double>::infinity(), trial_viol = 0;
    bool evaluated = try_point(trial, trial_phi, trial_viol);
    double ratio = evaluated ? (phi - trial_phi) / pred : -1.0;
    if (ratio < 0.1 && evaluated && !nl_rows_.empty()) {
      // Second-order correction: solve again with the rows' curvature
      // error at the trial point added to their linearisations, which
      // pulls the step back onto curved constraints.
      std::vector<double> trial_h = h_;
      soc_shift_.assign(nl_rows_.size(), 0.0);
      for (size_t p = 0; p < nl_rows_.size(); ++p) {
        double lin = 0;
        const SparseGrad &g = saved_grad[p];
        for (size_t k = 0; k < g.index.size(); ++k) lin += g.value[k] * (trial[size_t(g.index[k])] - x[size_t(g.index[k])]);
        soc_shift_[p] = trial_h[p] - saved_h[p] - lin;
      }
      restore();
      std::vector<double> keep_rd = sub_row_dual_, keep_cd = sub_col_dual_;
      SubStatus corrected = solve_subproblem(x, mu_, true, use_hessian);
      soc_shift_.clear();
      if (corrected == SubStatus::Optimal) {
        std::vector<double> trial2 = sub_x_;
        double phi2 = 0, viol2 = 0;
        if (try_point(trial2, phi2, viol2) && (phi - phi2) / pred >= 0.1) {
          trial = trial2;
          trial_phi = phi2;
          trial_viol = viol2;
          ratio = (phi - phi2) / pred;
        } else {
          restore();
        }
      }
      sub_row_dual_ = keep_rd;
      sub_col_dual_ = keep_cd;
    }
    const double ared = phi - trial_phi;
    char line[200];
    snprintf(line, sizeof line, "SLP %5d  obj %-16.9g viol %-10.3g step %-10.3g ratio %-8.3g penalty %-8.2g", iterations_,
             objective(x), viol, dmax, ratio, mu_);
    log(line);
    if (ratio >= 0.1) {
      if (second_order_steps) {
        // The next curvature: at the new point with the new multipliers.
        take_multipliers();
        if (curvature_) curvature_->invalidate();
      }
      const bool at_boundary = [&] {
        for (size_t p = 0; p < nn; ++p)
          if (std::fabs(trial[size_t(nl_cols_[p])] - x[size_t(nl_cols_[p])]) >= 0.9 * radius_[p]) return true;
        return false;
      }();
      if (ratio > 0.75 && at_boundary)
        for (size_t p = 0; p < nn; ++p) radius_[p] = std::min(2.0 * radius_[p], step_cap_[p]);
      else if (ratio < 0.25)
        for (double &r : radius_) r *= 0.5;
      const double change = std::fabs(ared);
      record_step_accuracy(x, trial, saved_h, saved_grad);
      x = trial;
      phi = trial_phi;
      viol = trial_viol;
      prob_->solution.duals = sub_row_dual_;
      prob_->solution.djs = sub_col_dual_;
      // The polish's points wait for optnode to accept its node.
      if (had_integers && !polishing_ && viol <= feastol_) integer_solution(x);
      if (finishing_step && viol <= feastol_) {
        any_integer_ = had_integers;
        return KNLS_NLP_LOCALLY_OPTIMAL;
      }
      if (viol <= feastol_ && (change <= objtol_ * scale || step_small)) {
        if (++small_changes >= 2) {
          any_integer_ = had_integers;
          return KNLS_NLP_LOCALLY_OPTIMAL;
        }
      } else {
        small_changes = 0;
      }
    } else {
      // Rejected: restore the evaluation at x and shrink the region below
      // the step just tried. Multipliers that moved make a new curvature at
      // x (a poor step often comes from poor ones).
      restore();
      if (second_order_steps && take_multipliers() && curvature_) curvature_->invalidate();
      for (size_t p = 0; p < nn; ++p) radius_[p] = 0.5 * std::min(radius_[p], dmax);
      if (std::all_of(radius_.begin(), radius_.end(), [&](double r) { return r < 1e-12; })) {
        any_integer_ = had_integers;
        return viol <= feastol_ ? KNLS_NLP_LOCALLY_OPTIMAL : KNLS_NLP_LOCALLY_INFEASIBLE;
      }
    }
  }
  any_integer_ = had_integers;
  if (!stop_requested()) limit_reached_ = STOP_ITERLIMIT;
  return KNLS_NLP_UNFINISHED;
}

void SlpSolver::finish(const std::vector<double> &x, int status) {
  SlpSolution &sol = prob_->solution;
  sol.x = x;
  std::vector<double> act;
  std::string err;
  evaluate(x, false, &err);
  row_activity(x, act);
  sol.slack.resize(size_t(rows_));
  double max_violation = 0.0;
  for (int r = 0; r < rows_; ++r) {
    sol.slack[size_t(r)] = m_.rhs[size_t(r)] - act[size_t(r)];
    double lo, hi;
    row_bounds(m_, r, lo, hi);
    max_violation = std::max(max_violation, violation(act[size_t(r)], lo, hi));
  }
  // Multipliers of the objective as stated (HiGHS minimised sense * f).
  sol.duals.resize(size_t(rows_), 0.0);
  sol.djs.resize(size_t(n_), 0.0);
  for (double &d : sol.duals) d *= sense_;
  for (double &d : sol.djs) d *= sense_;
  prob_->status = status;
  prob_->objective_value = objective(x);
  prob_->iterations = iterations_;
  prob_->items.final_penalty = mu_;
  prob_->items.evaluations = evaluations_;
  for (auto &[j, v] : prob_->vars)
    if (j < n_) {
      v.oldvalue = v.value;
      v.value = x[size_t(j)];
    }
  if (status == KNLS_NLP_UNFINISHED) {
    if (limit_reached_ == 0 && iterations_ >= prob_->controls.get_int(12402) && !stop_requested())
      limit_reached_ = STOP_ITERLIMIT;
    if (limit_reached_ != 0) prob_->stop_status = limit_reached_;
    log_unfinished(prob_, limit_reached_, false, max_violation, last_step_);
  }
  log_finished_and_end(prob_, status, iterations_);
}

void SlpSolver::run() {
  start_time_ = std::chrono::steady_clock::now();
  highs_.setOptionValue("output_flag", false);
  highs_.setOptionValue("threads", 1);
  // An interrupt also stops a long subproblem, not only the next iteration.
  highs_.setCallback(
      [this](int type, const std::string &, const HighsCallbackOutput *, HighsCallbackInput *in, void *) {
        if (in && (type == kCallbackSimplexInterrupt || type == kCallbackIpmInterrupt || type == kCallbackMipInterrupt) &&
            stop_requested())
          in->user_interrupt = true;
      },
      nullptr);
  for (int type : {kCallbackSimplexInterrupt, kCallbackIpmInterrupt, kCallbackMipInterrupt}) highs_.startCallback(type);
  prob_->solution = SlpSolution{};
  classify();
  setup_cascade();
  if ((start_events_ && (fire(prob_, NLCB_CONSTRUCT) || fire(prob_, NLCB_SLPSTART))) || stop_requested()) {
    prob_->solution.duals.assign(size_t(rows_), 0.0);
    prob_->solution.djs.assign(size_t(n_), 0.0);
    std::vector<double> x = start_point(prob_);
    std::string err;
    evaluate(x, false, &err);
    finish(x, KNLS_NLP_UNFINISHED);
    return;
  }
  std::vector<double> x = start_point(prob_);
  if (n_ == 0) {
    // Nothing to choose: the rows hold or they do not.
    std::vector<double> act;
    row_activity(x, act);
    bool feasible = true;
    for (int r = 0; r < rows_; ++r) {
      double lo, hi;
      row_bounds(m_, r, lo, hi);
      feasible = feasible && violation(act[size_t(r)], lo, hi) <= feastol_;
    }
    prob_->solution.duals.assign(size_t(rows_), 0.0);
    finish(x, feasible ? KNLS_NLP_GLOBALLY_OPTIMAL : KNLS_NLP_INFEASIBLE);
    return;
  }
  if (any_integer_)
    for (int j = 0; j < n_; ++j)
      if (integer_[size_t(j)]) x[size_t(j)] = project(std::round(x[size_t(j)]), lb_[size_t(j)], ub_[size_t(j)]);
  if (!project_onto_linear_rows(x)) {
    prob_->solution.duals.assign(size_t(rows_), 0.0);
    prob_->solution.djs.assign(size_t(n_), 0.0);
    std::string err;
    evaluate(x, false, &err);
    finish(x, projection_undecided_ ? KNLS_NLP_UNFINISHED : KNLS_NLP_INFEASIBLE);
    return;
  }
  const int limit = int(prob_->controls.get_int(12402));
  // Steps: 0 automatic, 1 linear, 2 second order; knls_secondorder 0
  // keeps every subproblem linear.
  const int step_type = int(prob_->controls.get_int(12421));
  const bool second_order = prob_->controls.get_int(12409) != 0 && step_type != 1 &&
                            (step_type == 2 || curvature_worthwhile());
  qp_solver_allowed_ = step_type == 2 || n_ <= kQuadraticStepColumns || curvature_only_in_objective();
  {
    // A start point where a formula cannot be evaluated (log of 0 at a
    // bound, say): try points moved into the interior of the nonlinear
    // columns' bounds before giving up.
    std::string err;
    if (!evaluate(x, false, &err)) {
      for (double step : {1e-3, 0.1, 1.0}) {
        std::vector<double> moved = x;
        for (int j : nl_cols_) {
          double lo = lb_[size_t(j)], hi = ub_[size_t(j)];
          double v = moved[size_t(j)] + step * std::max(1.0, std::fabs(moved[size_t(j)]));
          if (hi < kInf && v >= hi) v = lo > -kInf ? lo + (1 - step / 2) * (hi - lo) : hi;
          moved[size_t(j)] = integer_[size_t(j)] ? project(std::round(v), lo, hi) : v;
        }
        if (evaluate(moved, false, nullptr) && project_onto_linear_rows(moved) && evaluate(moved, false, nullptr)) {
          x = moved;
          break;
        }
      }
    }
  }
  std::vector<double> x_start = x;
  int status = iterate(x, any_integer_, second_order, limit);
  if (std::any_of(row_dfs_.begin(), row_dfs_.end(), [](const auto &v) { return !v.empty(); }) &&
      (status == KNLS_NLP_LOCALLY_OPTIMAL || status == KNLS_NLP_LOCALLY_INFEASIBLE) && iterations_ < limit &&
      !stop_requested()) {
    // The delta factors steer the iterations; convergence is then confirmed
    // with the rows' true derivatives, so that a factor that differs from
    // the derivative at the solution cannot end the solve early.
    for (auto &v : row_dfs_) v.clear();
    status = iterate(x, any_integer_, second_order, limit - iterations_);
  }
  if (status == KNLS_NLP_LOCALLY_INFEASIBLE && iterations_ < limit && !stop_requested()) {
    // A start point where the violated rows have no useful slope (x^2 at
    // 0, for instance) stops the iterations at once: try again from a
    // point moved into the interior of the nonlinear columns' bounds.
    std::vector<double> moved = x_start;
    for (int j : nl_cols_) {
      double lo = lb_[size_t(j)], hi = ub_[size_t(j)];
      double v = moved[size_t(j)] + 0.5 * std::max(1.0, std::fabs(moved[size_t(j)]));
      if (hi < kInf && v > hi) v = lo > -kInf ? 0.5 * (lo + hi) : hi;
      moved[size_t(j)] = integer_[size_t(j)] ? project(std::round(v), lo, hi) : v;
    }
    if (project_onto_linear_rows(moved)) {
      int retry = iterate(moved, any_integer_, second_order, limit - iterations_);
      if (retry != KNLS_NLP_LOCALLY_INFEASIBLE) {
        x = moved;
        status = retry;
      }
    }
  }
  if (any_integer_ && (status == KNLS_NLP_LOCALLY_OPTIMAL || status == KNLS_NLP_UNFINISHED) &&
      iterations_ < limit && !stop_requested()) {
    // Fix the integer columns at their values and polish the continuous
    // part with curvature.
    status = node_polish(x, status, second_order, limit - iterations_);
  }
  if (any_integer_ && status == KNLS_NLP_LOCALLY_OPTIMAL) integer_solution(x);
  finish(x, status);
}

}  // namespace

std::vector<double> start_point(KNLSprob prob) {
  const Model &m = *prob->optprob->model;
  std::vector<double> x(size_t(m.cols()));
  for (int j = 0; j < m.cols(); ++j) {
    auto v = prob->vars.find(j);
    double x0 = v != prob->vars.end() && v->second.has_initial ? v->second.initial : 0.0;
    x[size_t(j)] = project(x0, m.lb[size_t(j)], m.ub[size_t(j)]);
  }
  return x;
}

std::vector<double> current_point(KNLSprob prob) {
  const Model &m = *prob->optprob->model;
  if (prob->status != KNLS_NLP_UNSTARTED && prob->solution.x.size() == size_t(m.cols())) return prob->solution.x;
  return start_point(prob);
}

void run_slp(KNLSprob prob, const std::string &flags, bool start_events) {
  SlpSolver solver(prob, flags.find('g') != std::string::npos, start_events);
  solver.run();
}

}  // namespace krvs::nlp
