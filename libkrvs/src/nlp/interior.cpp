// Primal-dual interior-point method for continuous nonlinear problems.
//
// The problem  min sense*f(x)  s.t.  lo <= g(x) <= hi,  l <= x <= u  is
// solved as a sequence of barrier problems
//   min F(x) - mu * sum ln(bound gaps of x and s)  s.t.  g_E(x) = b,
//   g_I(x) - s = 0,
// one slack s per inequality or range row. Each iteration takes a Newton
// step on the primal-dual equations; the slacks are eliminated, so the
// linear system is
//   [ W + Sx + dw I    J'                    ] [ dx ]
//   [ J                -(Ss + dw)^-1 - dc I  ] [-dy ]
// (W the exact Hessian of the Lagrangian, Sx, Ss the bound terms; the
// inequality rows carry the eliminated slacks' diagonal), factorised by
// the sparse LDL' whose ordering is found once. The Hessian block is
// shifted by dw until the inertia shows it positive definite on the null
// space of J (n positive, m negative pivots); a small dc keeps rank-
// deficient Jacobians factorisable. Steps stop short of the bounds
// (fraction to the boundary), an exact-penalty merit function with a
// second-order correction decides their length, and mu falls monotonically
// once the barrier problem is solved well enough.
//
// Objective transfer rows (a free column that only carries the objective's
// nonlinear part) are folded into the objective, and their columns are
// recomputed at the end; the objective and the rows are scaled when their
// gradients at the start are large.
#include "interior.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <unordered_map>

#include "callbacks.h"
#include "core/messages.h"
#include "core/problem.h"
#include "hessian.h"
#include "model/model.h"
#include "nlp_problem.h"
#include "point_eval.h"
#include "slp.h"
#include "solve/solve_state.h"
#include "sparse_ldl.h"
#include "user_functions.h"

namespace krvs::nlp {

namespace {

constexpr double kInf = 1e20;
// Above this many columns the automatic choice considers the interior road
// (below it the sequential solver's second-order steps do as well).
constexpr int kInteriorColumns = 250;
// The automatic choice leaves the interior road for the sequential solver
// when one factorisation of the Newton system would take more than this
// many floating-point operations (about 10 s at the 7-11 GFlop/s the
// supernodal kernel reaches on one core, so tens of minutes over a solve)
// or hold more than this many entries (0.8 GB).
constexpr double kInteriorFactorFlops = 1e11;
constexpr double kInteriorFactorEntries = 1e8;

bool is_integer_type(char t) { return t == 'B' || t == 'I' || t == 'P'; }

enum class Outcome { Optimal, Infeasible, Unbounded, Stopped, Failed };

class InteriorSolver {
 public:
  explicit InteriorSolver(KNLSprob prob) : prob_(prob), m_(*prob->optprob->model), users_(prob) {}
  // Runs the method; on Failed, *reason says why.
  // explicit: the caller asked for this road (a start point where the
  // formulas cannot be evaluated is then an error, as on the sequential
  // road; otherwise a failure that hands the problem over).
  Outcome run(bool explicit_choice, std::string *reason);
  // Stores the solution and the status on the record and raises the end
  // events.
  void finish(Outcome outcome);
  // Sets up a second attempt after `first`, which found no feasible point:
  // its start point moved into the interior of the nonlinear columns'
  // bounds (rows whose slope vanishes at the start, x*y at 0, give Newton
  // nothing to go on).
  void restart_after(const InteriorSolver &first) {
    restart_ = true;
    iterations_ = first.iterations_;
    evaluations_ = first.evaluations_;
  }
  int iterations() const { return iterations_; }

 private:
  void setup();
  void start_point();
  bool evaluate(const std::vector<double> &x, std::string *error);
  double barrier_merit(const std::vector<double> &x, const std::vector<double> &s, double nu, double mu) const;
  double constraint_norm1() const;
  void constraint_residual(const std::vector<double> &s);
  void build_system();
  double slack_sigma(int k) const;
  bool factorise(bool identity_hessian);
  void solve(std::vector<double> &rhs);
  void multiply(const std::vector<double> &v, std::vector<double> &out) const;
  void add_jacobian_transpose(const std::vector<double> &y, double weight, std::vector<double> &out) const;
  double optimality_error(double mu, double *dual_error, double *compl_error) const;
  double max_violation() const;
  bool stop_requested() const;
  double elapsed() const;
  void log(const std::string &line) const { nlp_log(prob_, line, MSG_INFO); }
  void end_of_iteration();
  void multiplier_estimate();
  bool fire_coefevalerror_stop();

  KNLSprob prob_;
  const Model &m_;
  ProblemUserFunctions users_;
  Tape tape_;
  std::chrono::steady_clock::time_point start_time_;
  int n_ = 0, rows_ = 0;
  double sense_ = 1.0, feastol_ = 1e-6;
  double obj_scale_ = 1.0;

  // Columns: eliminated ones (fixed, or carrying a transfer row) keep
  // their value and take no step.
  std::vector<char> active_;
  std::vector<double> lb_, ub_;
  std::vector<int> has_lb_, has_ub_;
  std::vector<double> obj_lin_;  // sense * linear objective with the transfer rows folded in

  // Rows with a nonlinear part, in the Lagrangian's order.
  std::vector<int> nl_rows_;
  std::vector<int> nl_pos_;                  // model row -> position in nl_rows_, -1
  std::vector<std::vector<int>> nl_coefs_;   // per nonlinear row: coefficient indices
  std::vector<const std::vector<QuadEntry> *> nl_quad_;
  std::unique_ptr<LagrangianHessian> lag_;
  std::vector<double> h_;                    // nonlinear part of each nonlinear row at the point
  std::vector<std::vector<std::pair<int, double>>> h_grad_;
  std::vector<double> partials_;             // scratch: partial derivatives of one formula
  std::vector<double> h_mag_;                // sum of the magnitudes of the pieces of each h_

  // Objective transfer rows: row, its column, that column's coefficient and
  // cost.
  struct Transfer {
    int row, col;
    double coef, cost;
  };
  std::vector<Transfer> transfers_;
  std::vector<double> transfer_weight_;      // per nonlinear row: weight in the objective, 0 none

  // Constraints (rows other than free and transfer rows).
  int m_cons_ = 0;
  std::vector<int> con_row_;                 // model row of each constraint
  std::vector<int> row_con_;                 // model row -> constraint, -1
  std::vector<double> con_scale_;
  std::vector<char> con_slack_;              // inequality (has a slack)
  std::vector<double> con_rhs_;              // equality target (scaled)
  std::vector<double> slo_, shi_;            // slack bounds (scaled), +-kInf
  std::vector<int> jac_start_, jac_col_;     // Jacobian pattern by constraints (active columns)
  std::vector<double> jac_lin_, jac_val_;    // linear part (scaled) and values at the point
  std::vector<double> con_const_;            // linear contribution of eliminated columns (scaled)

  // Point, multipliers.
  std::vector<double> x_, s_, y_, zl_, zu_, vl_, vu_;
  double f_ = 0.0;                  // scaled objective at x_
  // Sum of the magnitudes of the pieces that make up f_: a bound on the
  // rounding in f_ is a small multiple of machine precision times this.
  double f_mag_ = 0.0;
  std::vector<double> grad_;        // its gradient (active columns)
  std::vector<double> g_;           // constraint values (scaled), without slack
  std::vector<double> c_;           // residual: g - s (inequality) or g - b (equality)

  // Linear system.
  SparseLdl ldl_;
  int nk_ = 0;                                  // n_ + m_cons_
  std::vector<int> kkt_start_, kkt_index_;
  std::vector<int> hess_pos_, jac_pos_;
  std::vector<double> kkt_val_, diag_add_, hess_val_, row_weight_;
  double last_shift_ = 0.0;
  std::vector<int> diag_pos_;
  double shift_ = 0.0;                          // shift of the Hessian block in the last factorisation
  double dc_ = 1e-8;
  std::vector<double> ref_r_;
  std::vector<int> where_;                      // scratch: column -> Jacobian entry of a row
  bool have_point_ = false;
  int failed_row_ = -1, failed_col_ = -1;  // the coefficient whose evaluation failed last
  double nu_ = 0.0;                         // penalty weight of the merit function
  // A second attempt from a moved start point: no start events, the
  // iterations counted on from the first attempt's.
  bool restart_ = false;

  int iterations_ = 0;
  bool stop_after_iteration_ = false;
  int limit_reached_ = 0;
  double last_step_ = -1.0;
  long long evaluations_ = 0;
  std::vector<int> nl_cols_;  // columns in nonlinear terms (for the per-column events)
};

// ---------------------------------------------------------------- setup ----

void InteriorSolver::setup() {
  n_ = m_.cols();
  rows_ = m_.rows();
  sense_ = prob_->controls.get_double(12146) < 0 ? -1.0 : 1.0;
  if (m_.obj_sense == -1 && prob_->controls.get_double(12146) > 0) sense_ = -1.0;
  feastol_ = prob_->controls.get_double(12405);
  lb_ = m_.lb;
  ub_ = m_.ub;
  for (int j = 0; j < n_; ++j)
    if (lb_[size_t(j)] > ub_[size_t(j)]) throw Error("Column " + std::to_string(j) + " has a lower bound above its upper bound");

  std::vector<int> lag_rows;
  lag_ = std::make_unique<LagrangianHessian>(problem_lagrangian(prob_, lag_rows));
  nl_rows_ = lag_rows;
  nl_pos_.assign(size_t(rows_), -1);
  for (size_t p = 0; p < nl_rows_.size(); ++p) nl_pos_[size_t(nl_rows_[p])] = int(p);
  nl_coefs_.assign(nl_rows_.size(), {});
  nl_quad_.assign(nl_rows_.size(), nullptr);
  std::vector<char> nl_col(size_t(n_), 0);
  for (size_t k = 0; k < prob_->coefs.size(); ++k) {
    const Coefficient &c = prob_->coefs[k];
    nl_coefs_[size_t(nl_pos_[size_t(c.row)])].push_back(int(k));
    if (c.col >= 0) nl_col[size_t(c.col)] = 1;
    for (int j : c.formula->columns) nl_col[size_t(j)] = 1;
  }
  for (const auto &[r, entries] : m_.qrows) {
    if (entries.empty()) continue;
    nl_quad_[size_t(nl_pos_[size_t(r)])] = &entries;
    for (const auto &e : entries) nl_col[size_t(e.i)] = nl_col[size_t(e.j)] = 1;
  }
  for (const auto &e : m_.qobj) nl_col[size_t(e.i)] = nl_col[size_t(e.j)] = 1;
  for (int j = 0; j < n_; ++j)
    if (nl_col[size_t(j)]) nl_cols_.push_back(j);
  h_.assign(nl_rows_.size(), 0.0);
  h_grad_.assign(nl_rows_.size(), {});

  // Transfer rows, as the sequential solver finds them.
  const CompressedMatrix &byrow = m_.by_rows();
  const CompressedMatrix &bycol = m_.by_cols();
  std::unordered_map<int, int> detcol;
  for (const auto &[j, v] : prob_->vars)
    if (v.detrow >= 0 && j < n_) detcol[v.detrow] = j;
  active_.assign(size_t(n_), 1);
  transfer_weight_.assign(nl_rows_.size(), 0.0);
  std::vector<char> is_transfer_row(size_t(rows_), 0);
  for (size_t p = 0; p < nl_rows_.size(); ++p) {
    int r = nl_rows_[p];
    auto st = prob_->row_status.find(r);
    if (st == prob_->row_status.end() || !(st->second & KNLS_ROW_OBJTRANSFER)) continue;
    if (m_.rowtype[size_t(r)] != 'E') continue;
    int chosen = -1;
    auto pick = [&](int j) {
      if (j < 0 || nl_col[size_t(j)] || !active_[size_t(j)]) return false;
      if (lb_[size_t(j)] > -kInf || ub_[size_t(j)] < kInf) return false;
      if (bycol.start[size_t(j) + 1] - bycol.start[size_t(j)] != 1) return false;
      if (m_.coef(r, j) == 0.0) return false;
      chosen = j;
      return true;
    };
    auto d = detcol.find(r);
    if (!(d != detcol.end() && pick(d->second)))
      for (int64_t k = byrow.start[size_t(r)]; k < byrow.start[size_t(r) + 1]; ++k)
        if (pick(byrow.index[size_t(k)])) break;
    if (chosen < 0) continue;
    transfers_.push_back(Transfer{r, chosen, m_.coef(r, chosen), m_.obj[size_t(chosen)]});
    active_[size_t(chosen)] = 0;
    is_transfer_row[size_t(r)] = 1;
  }
  // Fixed columns take no step.
  for (int j = 0; j < n_; ++j)
    if (active_[size_t(j)] && lb_[size_t(j)] == ub_[size_t(j)]) active_[size_t(j)] = 0;
  has_lb_.assign(size_t(n_), 0);
  has_ub_.assign(size_t(n_), 0);
  for (int j = 0; j < n_; ++j)
    if (active_[size_t(j)]) {
      has_lb_[size_t(j)] = lb_[size_t(j)] > -kInf;
      has_ub_[size_t(j)] = ub_[size_t(j)] < kInf;
    }

  // Objective: sense * (c'x + 0.5 x'Qx), each transfer row r with column t
  // adding  cost_t * t = cost_t / a_t * (rhs_r - rest of row r).
  obj_lin_.assign(size_t(n_), 0.0);
  for (int j = 0; j < n_; ++j) obj_lin_[size_t(j)] = sense_ * m_.obj[size_t(j)];
  for (const Transfer &t : transfers_) {
    const double w = -sense_ * t.cost / t.coef;
    obj_lin_[size_t(t.col)] = 0.0;
    for (int64_t k = byrow.start[size_t(t.row)]; k < byrow.start[size_t(t.row) + 1]; ++k) {
      int j = byrow.index[size_t(k)];
      if (j != t.col) obj_lin_[size_t(j)] += w * byrow.value[size_t(k)];
    }
    transfer_weight_[size_t(nl_pos_[size_t(t.row)])] = w;
  }

  // Constraints.
  row_con_.assign(size_t(rows_), -1);
  for (int r = 0; r < rows_; ++r) {
    if (is_transfer_row[size_t(r)] || m_.rowtype[size_t(r)] == 'N') continue;
    row_con_[size_t(r)] = m_cons_++;
    con_row_.push_back(r);
  }
  con_scale_.assign(size_t(m_cons_), 1.0);
  con_slack_.assign(size_t(m_cons_), 0);
  con_rhs_.assign(size_t(m_cons_), 0.0);
  slo_.assign(size_t(m_cons_), -kInf);
  shi_.assign(size_t(m_cons_), kInf);
  jac_start_.assign(size_t(m_cons_) + 1, 0);
  con_const_.assign(size_t(m_cons_), 0.0);
  std::vector<int> where(size_t(n_), -1);
  for (int k = 0; k < m_cons_; ++k) {
    const int r = con_row_[size_t(k)];
    const size_t begin = jac_col_.size();
    auto add_col = [&](int j, double v) {
      if (!active_[size_t(j)]) return;
      if (where[size_t(j)] < 0) {
        where[size_t(j)] = int(jac_col_.size());
        jac_col_.push_back(j);
        jac_lin_.push_back(0.0);
      }
      jac_lin_[size_t(where[size_t(j)])] += v;
    };
    for (int64_t e = byrow.start[size_t(r)]; e < byrow.start[size_t(r) + 1]; ++e) {
      int j = byrow.index[size_t(e)];
      if (active_[size_t(j)]) add_col(j, byrow.value[size_t(e)]);
      else con_const_[size_t(k)] += byrow.value[size_t(e)] * lb_[size_t(j)];
    }
    int p = nl_pos_[size_t(r)];
    if (p >= 0) {
      for (int c : nl_coefs_[size_t(p)]) {
        const Coefficient &co = prob_->coefs[size_t(c)];
        if (co.col >= 0) add_col(co.col, 0.0);
        for (int j : co.formula->columns) add_col(j, 0.0);
      }
      if (nl_quad_[size_t(p)])
        for (const auto &e : *nl_quad_[size_t(p)]) {
          add_col(e.i, 0.0);
          add_col(e.j, 0.0);
        }
    }
    // Sorted columns within the row (the pattern is fixed from here on).
    std::vector<std::pair<int, double>> entries;
    for (size_t q = begin; q < jac_col_.size(); ++q) {
      entries.emplace_back(jac_col_[q], jac_lin_[q]);
      where[size_t(jac_col_[q])] = -1;
    }
    std::sort(entries.begin(), entries.end());
    for (size_t q = 0; q < entries.size(); ++q) {
      jac_col_[begin + q] = entries[q].first;
      jac_lin_[begin + q] = entries[q].second;
    }
    jac_start_[size_t(k) + 1] = int(jac_col_.size());
    double lo, hi;
    row_bounds(m_, r, lo, hi);
    if (lo == hi) {
      con_rhs_[size_t(k)] = lo;
    } else {
      con_slack_[size_t(k)] = 1;
      slo_[size_t(k)] = lo;
      shi_[size_t(k)] = hi;
    }
  }
  jac_val_.assign(jac_col_.size(), 0.0);
}

// ----------------------------------------------------------- evaluation ----

// Values and first derivatives of the objective and the constraints at x
// (scaled); false with the reason when a formula cannot be evaluated.
bool InteriorSolver::evaluate(const std::vector<double> &x, std::string *error) {
  try {
    h_mag_.resize(nl_rows_.size());
    for (size_t p = 0; p < nl_rows_.size(); ++p) {
      double sum = 0.0, mag = 0.0;
      auto &grad = h_grad_[p];
      grad.clear();
      for (size_t t = 0; t < nl_coefs_[p].size(); ++t) {
        const Coefficient &c = prob_->coefs[size_t(nl_coefs_[p][t])];
        failed_row_ = c.row;
        failed_col_ = c.col;
        const double mult = c.col >= 0 ? x[size_t(c.col)] : 1.0;
        const double w = c.factor * mult;
        double F;
        // Small formulas go through their compiled form (one forward sweep
        // with the derivatives), the others through the tape.
        const int dense_id = lag_->term_dense_id(p, t);
        if (dense_id >= 0) {
          DenseFormulas &compiled = lag_->dense_formulas();
          const int *cols = compiled.columns(dense_id), ncols = compiled.column_count(dense_id);
          partials_.resize(size_t(ncols));
          F = compiled.evaluate(dense_id, x.data(), partials_.data(), nullptr);
          if (w != 0.0)
            for (int q = 0; q < ncols; ++q) grad.emplace_back(cols[q], w * partials_[size_t(q)]);
        } else {
          F = tape_.evaluate(*c.formula, x.data(), &users_, true);
          if (w != 0.0) tape_.for_each_partial([&](int j, double d) { grad.emplace_back(j, w * d); });
        }
        ++evaluations_;
        sum += c.factor * mult * F;
        mag += std::fabs(c.factor * mult * F);
        if (c.col >= 0) grad.emplace_back(c.col, c.factor * F);
      }
      if (nl_quad_[p])
        for (const auto &e : *nl_quad_[p]) {
          const double xi = x[size_t(e.i)], xj = x[size_t(e.j)];
          if (e.i == e.j) {
            sum += e.q * xi * xi;
            mag += std::fabs(e.q * xi * xi);
            grad.emplace_back(e.i, 2 * e.q * xi);
          } else {
            sum += 2 * e.q * xi * xj;
            mag += std::fabs(2 * e.q * xi * xj);
            grad.emplace_back(e.i, 2 * e.q * xj);
            grad.emplace_back(e.j, 2 * e.q * xi);
          }
        }
      failed_row_ = nl_rows_[p];
      failed_col_ = -1;
      if (!std::isfinite(sum)) throw EvalError("The nonlinear part of a row is not a finite number");
      for (const auto &[j, d] : grad)
        if (!std::isfinite(d)) throw EvalError("A derivative is not a finite number");
      h_[p] = sum;
      h_mag_[p] = mag;
      failed_row_ = -1;
    }
  } catch (const EvalError &e) {
    if (error) *error = e.what();
    return false;
  }
  // Objective.
  double f = sense_ * m_.obj_constant;
  double mag = std::fabs(f);
  grad_.assign(size_t(n_), 0.0);
  for (int j = 0; j < n_; ++j) {
    f += obj_lin_[size_t(j)] * x[size_t(j)];
    mag += std::fabs(obj_lin_[size_t(j)] * x[size_t(j)]);
    grad_[size_t(j)] = obj_lin_[size_t(j)];
  }
  for (const auto &e : m_.qobj) {
    const double q = sense_ * e.q;
    if (e.i == e.j) {
      f += 0.5 * q * x[size_t(e.i)] * x[size_t(e.i)];
      mag += std::fabs(0.5 * q * x[size_t(e.i)] * x[size_t(e.i)]);
      grad_[size_t(e.i)] += q * x[size_t(e.i)];
    } else {
      f += q * x[size_t(e.i)] * x[size_t(e.j)];
      mag += std::fabs(q * x[size_t(e.i)] * x[size_t(e.j)]);
      grad_[size_t(e.i)] += q * x[size_t(e.j)];
      grad_[size_t(e.j)] += q * x[size_t(e.i)];
    }
  }
  for (const Transfer &t : transfers_) {
    const size_t p = size_t(nl_pos_[size_t(t.row)]);
    const double w = transfer_weight_[p];
    f += w * (h_[p] - m_.rhs[size_t(t.row)]);
    mag += std::fabs(w) * (h_mag_[p] + std::fabs(m_.rhs[size_t(t.row)]));
    for (const auto &[j, d] : h_grad_[p]) grad_[size_t(j)] += w * d;
  }
  f_ = obj_scale_ * f;
  f_mag_ = obj_scale_ * mag;
  for (int j = 0; j < n_; ++j) grad_[size_t(j)] = active_[size_t(j)] ? obj_scale_ * grad_[size_t(j)] : 0.0;
  if (!std::isfinite(f_)) {
    if (error) *error = "The objective is not a finite number";
    return false;
  }
  // Constraints.
  g_.assign(size_t(m_cons_), 0.0);
  std::vector<int> &where = where_;
  where.resize(size_t(n_), -1);
  for (int k = 0; k < m_cons_; ++k) {
    const int r = con_row_[size_t(k)];
    const double sc = con_scale_[size_t(k)];
    double v = con_const_[size_t(k)];
    for (int q = jac_start_[size_t(k)]; q < jac_start_[size_t(k) + 1]; ++q) {
      v += jac_lin_[size_t(q)] * x[size_t(jac_col_[size_t(q)])];
      jac_val_[size_t(q)] = jac_lin_[size_t(q)];
    }
    const int p = nl_pos_[size_t(r)];
    if (p >= 0) {
      v += h_[size_t(p)];
      for (int q = jac_start_[size_t(k)]; q < jac_start_[size_t(k) + 1]; ++q) where[size_t(jac_col_[size_t(q)])] = q;
      for (const auto &[j, d] : h_grad_[size_t(p)])
        if (active_[size_t(j)]) jac_val_[size_t(where[size_t(j)])] += d;
      for (int q = jac_start_[size_t(k)]; q < jac_start_[size_t(k) + 1]; ++q) where[size_t(jac_col_[size_t(q)])] = -1;
    }
    g_[size_t(k)] = sc * v;
    if (sc != 1.0)
      for (int q = jac_start_[size_t(k)]; q < jac_start_[size_t(k) + 1]; ++q) jac_val_[size_t(q)] *= sc;
  }
  return true;
}

void InteriorSolver::constraint_residual(const std::vector<double> &s) {
  c_.assign(size_t(m_cons_), 0.0);
  for (int k = 0; k < m_cons_; ++k)
    c_[size_t(k)] = con_slack_[size_t(k)] ? g_[size_t(k)] - s[size_t(k)] : g_[size_t(k)] - con_rhs_[size_t(k)];
}

double InteriorSolver::constraint_norm1() const {
  double sum = 0.0;
  for (double v : c_) sum += std::fabs(v);
  return sum;
}

// The barrier function plus nu times the constraints' l1 norm, at a point
// whose evaluation (f_, c_) is current.
double InteriorSolver::barrier_merit(const std::vector<double> &x, const std::vector<double> &s, double nu,
                                     double mu) const {
  double phi = f_;
  double logs = 0.0;
  for (int j = 0; j < n_; ++j) {
    if (has_lb_[size_t(j)]) logs += std::log(x[size_t(j)] - lb_[size_t(j)]);
    if (has_ub_[size_t(j)]) logs += std::log(ub_[size_t(j)] - x[size_t(j)]);
  }
  for (int k = 0; k < m_cons_; ++k) {
    if (!con_slack_[size_t(k)]) continue;
    if (slo_[size_t(k)] > -kInf) logs += std::log(s[size_t(k)] - slo_[size_t(k)]);
    if (shi_[size_t(k)] < kInf) logs += std::log(shi_[size_t(k)] - s[size_t(k)]);
  }
  return phi - mu * logs + nu * constraint_norm1();
}

// ------------------------------------------------------------ start point ----

void InteriorSolver::start_point() {
  x_ = krvs::nlp::start_point(prob_);
  if (restart_)
    for (int j : nl_cols_) {
      const double lo = lb_[size_t(j)], hi = ub_[size_t(j)];
      double v = x_[size_t(j)] + 0.5 * std::max(1.0, std::fabs(x_[size_t(j)]));
      if (hi < kInf && v > hi) v = lo > -kInf ? 0.5 * (lo + hi) : hi;
      x_[size_t(j)] = v;
    }
  // Into the interior of the bounds, as far as a hundredth of the bound's
  // size (or of the gap when both are near).
  auto push = [](double v, double lo, double hi) {
    const double k1 = 1e-2, k2 = 1e-2;
    if (lo > -kInf && hi < kInf) {
      const double pl = std::min(k1 * std::max(1.0, std::fabs(lo)), k2 * (hi - lo));
      const double pu = std::min(k1 * std::max(1.0, std::fabs(hi)), k2 * (hi - lo));
      return std::min(std::max(v, lo + pl), hi - pu);
    }
    if (lo > -kInf) return std::max(v, lo + k1 * std::max(1.0, std::fabs(lo)));
    if (hi < kInf) return std::min(v, hi - k1 * std::max(1.0, std::fabs(hi)));
    return v;
  };
  for (int j = 0; j < n_; ++j) {
    if (!active_[size_t(j)]) {
      if (lb_[size_t(j)] == ub_[size_t(j)]) x_[size_t(j)] = lb_[size_t(j)];
      continue;
    }
    x_[size_t(j)] = push(x_[size_t(j)], has_lb_[size_t(j)] ? lb_[size_t(j)] : -kInf, has_ub_[size_t(j)] ? ub_[size_t(j)] : kInf);
  }
  where_.assign(size_t(n_), -1);
  std::string err;
  if (!evaluate(x_, &err)) throw EvalError("Evaluation failed at the start point: " + err);
  // Scaling: gradients larger than 100 are brought down to 100.
  double gmax = 0.0;
  for (int j = 0; j < n_; ++j) gmax = std::max(gmax, std::fabs(grad_[size_t(j)]));
  obj_scale_ = gmax > 100.0 ? 100.0 / gmax : 1.0;
  for (int k = 0; k < m_cons_; ++k) {
    double rmax = 0.0;
    for (int q = jac_start_[size_t(k)]; q < jac_start_[size_t(k) + 1]; ++q) rmax = std::max(rmax, std::fabs(jac_val_[size_t(q)]));
    const double sc = rmax > 100.0 ? 100.0 / rmax : 1.0;
    con_scale_[size_t(k)] = sc;
    con_rhs_[size_t(k)] *= sc;
    if (slo_[size_t(k)] > -kInf) slo_[size_t(k)] *= sc;
    if (shi_[size_t(k)] < kInf) shi_[size_t(k)] *= sc;
  }
  if (!evaluate(x_, &err)) throw EvalError("Evaluation failed at the start point: " + err);
  s_.assign(size_t(m_cons_), 0.0);
  for (int k = 0; k < m_cons_; ++k)
    if (con_slack_[size_t(k)]) s_[size_t(k)] = push(g_[size_t(k)], slo_[size_t(k)], shi_[size_t(k)]);
  constraint_residual(s_);
  zl_.assign(size_t(n_), 0.0);
  zu_.assign(size_t(n_), 0.0);
  for (int j = 0; j < n_; ++j) {
    if (has_lb_[size_t(j)]) zl_[size_t(j)] = 1.0;
    if (has_ub_[size_t(j)]) zu_[size_t(j)] = 1.0;
  }
  vl_.assign(size_t(m_cons_), 0.0);
  vu_.assign(size_t(m_cons_), 0.0);
  for (int k = 0; k < m_cons_; ++k) {
    if (!con_slack_[size_t(k)]) continue;
    if (slo_[size_t(k)] > -kInf) vl_[size_t(k)] = 1.0;
    if (shi_[size_t(k)] < kInf) vu_[size_t(k)] = 1.0;
  }
  y_.assign(size_t(m_cons_), 0.0);
}

// ---------------------------------------------------------- linear system ----

void InteriorSolver::build_system() {
  nk_ = n_ + m_cons_;
  struct Entry {
    int col, row, kind, src;  // kind 0 diagonal, 1 Hessian, 2 Jacobian
  };
  std::vector<Entry> entries;
  entries.reserve(size_t(nk_) + lag_->nonzeros() + jac_col_.size());
  for (int v = 0; v < nk_; ++v) entries.push_back(Entry{v, v, 0, v});
  std::vector<char> hess_diag(size_t(n_), 0);
  const auto &hs = lag_->start();
  const auto &hi = lag_->index();
  for (int j = 0; j < n_; ++j)
    for (int e = hs[size_t(j)]; e < hs[size_t(j) + 1]; ++e) {
      const int i = hi[size_t(e)];
      if (!active_[size_t(i)] || !active_[size_t(j)]) continue;
      if (i == j) hess_diag[size_t(j)] = 1;
      else entries.push_back(Entry{j, i, 1, e});
    }
  for (int k = 0; k < m_cons_; ++k)
    for (int q = jac_start_[size_t(k)]; q < jac_start_[size_t(k) + 1]; ++q)
      entries.push_back(Entry{jac_col_[size_t(q)], n_ + k, 2, q});
  std::sort(entries.begin(), entries.end(),
            [](const Entry &a, const Entry &b) { return a.col != b.col ? a.col < b.col : a.row < b.row; });
  kkt_start_.assign(size_t(nk_) + 1, 0);
  kkt_index_.resize(entries.size());
  hess_pos_.assign(lag_->nonzeros(), -1);
  jac_pos_.assign(jac_col_.size(), -1);
  diag_pos_.assign(size_t(nk_), -1);
  for (size_t p = 0; p < entries.size(); ++p) {
    const Entry &e = entries[p];
    kkt_index_[p] = e.row;
    ++kkt_start_[size_t(e.col) + 1];
    if (e.kind == 0) diag_pos_[size_t(e.src)] = int(p);
    else if (e.kind == 1) hess_pos_[size_t(e.src)] = int(p);
    else jac_pos_[size_t(e.src)] = int(p);
  }
  for (int v = 0; v < nk_; ++v) kkt_start_[size_t(v) + 1] += kkt_start_[size_t(v)];
  // Hessian diagonal entries go to the diagonal positions.
  for (int j = 0; j < n_; ++j)
    for (int e = hs[size_t(j)]; e < hs[size_t(j) + 1]; ++e)
      if (hi[size_t(e)] == j && active_[size_t(j)]) hess_pos_[size_t(e)] = diag_pos_[size_t(j)];
  std::vector<char> has_diag(size_t(nk_), 0);
  for (int j = 0; j < n_; ++j)
    has_diag[size_t(j)] = !active_[size_t(j)] || has_lb_[size_t(j)] || has_ub_[size_t(j)] || hess_diag[size_t(j)];
  for (int k = 0; k < m_cons_; ++k) has_diag[size_t(n_ + k)] = con_slack_[size_t(k)];
  ldl_.analyse(nk_, kkt_start_, kkt_index_, &has_diag);
  kkt_val_.assign(kkt_index_.size(), 0.0);
  diag_add_.assign(size_t(nk_), 0.0);
}

double InteriorSolver::slack_sigma(int k) const {
  double sig = 0.0;
  if (slo_[size_t(k)] > -kInf) sig += vl_[size_t(k)] / (s_[size_t(k)] - slo_[size_t(k)]);
  if (shi_[size_t(k)] < kInf) sig += vu_[size_t(k)] / (shi_[size_t(k)] - s_[size_t(k)]);
  return sig;
}

// Fills and factorises the system at the current point, shifting the
// Hessian block until the inertia is right; false when no shift helps.
bool InteriorSolver::factorise(bool identity_hessian) {
  std::fill(kkt_val_.begin(), kkt_val_.end(), 0.0);
  if (!identity_hessian)
    for (size_t e = 0; e < hess_pos_.size(); ++e)
      if (hess_pos_[e] >= 0) kkt_val_[size_t(hess_pos_[e])] += hess_val_[e];
  for (size_t q = 0; q < jac_pos_.size(); ++q) kkt_val_[size_t(jac_pos_[q])] = jac_val_[q];
  std::vector<double> base(size_t(nk_), 0.0);
  for (int j = 0; j < n_; ++j) {
    if (!active_[size_t(j)]) {
      base[size_t(j)] = 1.0;
      continue;
    }
    double sig = identity_hessian ? 1.0 : 0.0;
    if (has_lb_[size_t(j)]) sig += zl_[size_t(j)] / (x_[size_t(j)] - lb_[size_t(j)]);
    if (has_ub_[size_t(j)]) sig += zu_[size_t(j)] / (ub_[size_t(j)] - x_[size_t(j)]);
    base[size_t(j)] = sig;
  }
  auto attempt = [&](double dw) {
    for (int j = 0; j < n_; ++j) diag_add_[size_t(j)] = base[size_t(j)] + (active_[size_t(j)] ? dw : 0.0);
    for (int k = 0; k < m_cons_; ++k)
      diag_add_[size_t(n_ + k)] = con_slack_[size_t(k)] ? -1.0 / (slack_sigma(k) + dw) - dc_ : -dc_;
    ldl_.factorise(kkt_val_.data(), diag_add_.data());
    const Inertia &in = ldl_.inertia();
    return in.zero == 0 && in.positive == n_ && in.negative == m_cons_;
  };
  shift_ = 0.0;
  if (attempt(0.0)) return true;
  if (identity_hessian) return false;
  double dw = last_shift_ == 0.0 ? 1e-4 : std::max(1e-20, last_shift_ / 3);
  for (;;) {
    if (attempt(dw)) {
      shift_ = last_shift_ = dw;
      return true;
    }
    dw *= last_shift_ == 0.0 ? 100.0 : 8.0;
    if (dw > 1e40) return false;
  }
}

// out = K v for the matrix last factorised.
void InteriorSolver::multiply(const std::vector<double> &v, std::vector<double> &out) const {
  out.assign(size_t(nk_), 0.0);
  for (int j = 0; j < nk_; ++j) {
    out[size_t(j)] += diag_add_[size_t(j)] * v[size_t(j)];
    for (int p = kkt_start_[size_t(j)]; p < kkt_start_[size_t(j) + 1]; ++p) {
      const int i = kkt_index_[size_t(p)];
      out[size_t(i)] += kkt_val_[size_t(p)] * v[size_t(j)];
      if (i != j) out[size_t(j)] += kkt_val_[size_t(p)] * v[size_t(i)];
    }
  }
}

// Solves K sol = rhs in place, refining while the residual is large.
void InteriorSolver::solve(std::vector<double> &rhs) {
  std::vector<double> b = rhs;
  ldl_.solve(rhs.data());
  double bnorm = 0.0;
  for (double v : b) bnorm = std::max(bnorm, std::fabs(v));
  for (int step = 0; step < 3; ++step) {
    multiply(rhs, ref_r_);
    double rnorm = 0.0;
    for (int i = 0; i < nk_; ++i) {
      ref_r_[size_t(i)] = b[size_t(i)] - ref_r_[size_t(i)];
      rnorm = std::max(rnorm, std::fabs(ref_r_[size_t(i)]));
    }
    if (rnorm <= 1e-12 * (1.0 + bnorm)) break;
    ldl_.solve(ref_r_.data());
    for (int i = 0; i < nk_; ++i) rhs[size_t(i)] += ref_r_[size_t(i)];
  }
}

// ------------------------------------------------------------- multipliers ----

// J'y added to out (active columns).
void InteriorSolver::add_jacobian_transpose(const std::vector<double> &y, double weight, std::vector<double> &out) const {
  for (int k = 0; k < m_cons_; ++k) {
    const double yk = weight * y[size_t(k)];
    if (yk == 0.0) continue;
    for (int q = jac_start_[size_t(k)]; q < jac_start_[size_t(k) + 1]; ++q) out[size_t(jac_col_[size_t(q)])] += yk * jac_val_[size_t(q)];
  }
}

// Least-squares multipliers at the start: the y minimising the dual
// residual's norm, kept only when moderate.
void InteriorSolver::multiplier_estimate() {
  if (m_cons_ == 0) return;
  if (!factorise(true)) return;
  std::vector<double> rhs(size_t(nk_), 0.0);
  for (int j = 0; j < n_; ++j)
    if (active_[size_t(j)]) rhs[size_t(j)] = -(grad_[size_t(j)] - zl_[size_t(j)] + zu_[size_t(j)]);
  for (int k = 0; k < m_cons_; ++k)
    if (con_slack_[size_t(k)]) rhs[size_t(n_ + k)] = 0.0;
  solve(rhs);
  double ymax = 0.0;
  for (int k = 0; k < m_cons_; ++k) ymax = std::max(ymax, std::fabs(rhs[size_t(n_ + k)]));
  if (ymax > 1e3 || !std::isfinite(ymax)) return;
  // [I J'; J D] [w; q] = [-(grad - z); 0] gives q = -y.
  for (int k = 0; k < m_cons_; ++k) y_[size_t(k)] = -rhs[size_t(n_ + k)];
}

// Optimality error of the barrier problem for mu (0: of the problem).
double InteriorSolver::optimality_error(double mu, double *dual_out, double *compl_out) const {
  std::vector<double> rd(grad_);
  add_jacobian_transpose(y_, -1.0, rd);
  double dual = 0.0, compl_err = 0.0, ysum = 0.0, zsum = 0.0;
  int zcount = 0;
  for (int j = 0; j < n_; ++j) {
    if (!active_[size_t(j)]) continue;
    dual = std::max(dual, std::fabs(rd[size_t(j)] - zl_[size_t(j)] + zu_[size_t(j)]));
    if (has_lb_[size_t(j)]) {
      compl_err = std::max(compl_err, std::fabs(zl_[size_t(j)] * (x_[size_t(j)] - lb_[size_t(j)]) - mu));
      zsum += zl_[size_t(j)];
      ++zcount;
    }
    if (has_ub_[size_t(j)]) {
      compl_err = std::max(compl_err, std::fabs(zu_[size_t(j)] * (ub_[size_t(j)] - x_[size_t(j)]) - mu));
      zsum += zu_[size_t(j)];
      ++zcount;
    }
  }
  for (int k = 0; k < m_cons_; ++k) {
    ysum += std::fabs(y_[size_t(k)]);
    if (!con_slack_[size_t(k)]) continue;
    dual = std::max(dual, std::fabs(y_[size_t(k)] - vl_[size_t(k)] + vu_[size_t(k)]));
    if (slo_[size_t(k)] > -kInf) {
      compl_err = std::max(compl_err, std::fabs(vl_[size_t(k)] * (s_[size_t(k)] - slo_[size_t(k)]) - mu));
      zsum += vl_[size_t(k)];
      ++zcount;
    }
    if (shi_[size_t(k)] < kInf) {
      compl_err = std::max(compl_err, std::fabs(vu_[size_t(k)] * (shi_[size_t(k)] - s_[size_t(k)]) - mu));
      zsum += vu_[size_t(k)];
      ++zcount;
    }
  }
  const double smax = 100.0;
  const double sd = std::max(smax, (ysum + zsum) / std::max(1, m_cons_ + zcount)) / smax;
  const double sc = std::max(smax, zsum / std::max(1, zcount)) / smax;
  double primal = 0.0;
  for (double v : c_) primal = std::max(primal, std::fabs(v));
  if (dual_out) *dual_out = dual / sd;
  if (compl_out) *compl_out = compl_err / sc;
  return std::max({dual / sd, primal, compl_err / sc});
}

// Largest violation of the model's rows and bounds at x (unscaled), with
// the transfer columns recomputed.
double InteriorSolver::max_violation() const {
  double v = 0.0;
  for (int k = 0; k < m_cons_; ++k) {
    const double sc = con_scale_[size_t(k)];
    const double g = g_[size_t(k)] / sc;
    double lo, hi;
    row_bounds(m_, con_row_[size_t(k)], lo, hi);
    v = std::max(v, bound_violation(g, lo, hi));
  }
  for (int j = 0; j < n_; ++j) v = std::max(v, bound_violation(x_[size_t(j)], lb_[size_t(j)], ub_[size_t(j)]));
  return v;
}

bool InteriorSolver::stop_requested() const { return stop_after_iteration_ || stop_asked(prob_); }

double InteriorSolver::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_time_).count();
}

void InteriorSolver::end_of_iteration() {
  if (fire_iteration_end(prob_, nl_cols_)) stop_after_iteration_ = true;
}

// ------------------------------------------------------------------ loop ----

Outcome InteriorSolver::run(bool explicit_choice, std::string *reason) {
  start_time_ = std::chrono::steady_clock::now();
  prob_->solution = SlpSolution{};
  setup();
  {
    char line[200];
    snprintf(line, sizeof line, "Interior-point solve: %d columns, %d rows, %zu nonlinear rows", n_, rows_,
             nl_rows_.size());
    log(line);
  }
  if ((!restart_ && (fire(prob_, NLCB_CONSTRUCT) || fire(prob_, NLCB_SLPSTART))) || stop_requested()) {
    x_ = krvs::nlp::start_point(prob_);
    have_point_ = false;
    return Outcome::Stopped;
  }
  try {
    start_point();
  } catch (const EvalError &e) {
    if (explicit_choice) throw Error(e.what());
    *reason = e.what();
    return Outcome::Failed;
  }
  have_point_ = true;
  if (!explicit_choice) ldl_.set_limits(kInteriorFactorFlops, kInteriorFactorEntries);
  try {
    build_system();
  } catch (const FactorTooCostly &e) {
    *reason = e.what();
    return Outcome::Failed;
  }
  multiplier_estimate();

  const double tol = 1e-8, mu_min = 1e-11;
  const int limit = int(prob_->controls.get_int(12402));
  const double time_limit = prob_->controls.get_double(12404);
  double mu = 0.1, nu = 1.0;
  int acceptable = 0, tiny_steps = 0, stalled = 0;
  std::vector<double> rhs;
  std::vector<double> dx(static_cast<size_t>(n_), 0.0), ds(static_cast<size_t>(m_cons_), 0.0);
  std::vector<double> dy(static_cast<size_t>(m_cons_), 0.0), rs(static_cast<size_t>(m_cons_), 0.0);
  std::vector<double> sig(static_cast<size_t>(m_cons_), 0.0);
  std::vector<double> xt, st, c0, rhs_x;
  for (;;) {
    const double e0 = optimality_error(0.0, nullptr, nullptr);
    const double viol = max_violation();
    if (viol <= feastol_) {
      if (e0 <= tol) return Outcome::Optimal;
      acceptable = e0 <= 1e-6 ? acceptable + 1 : 0;
      if (acceptable >= 15) return Outcome::Optimal;
      double xmax = 0.0;
      for (int j = 0; j < n_; ++j) xmax = std::max(xmax, std::fabs(x_[size_t(j)]));
      if (f_ / obj_scale_ < -1e19 || xmax >= 1e19) return Outcome::Unbounded;
    } else {
      acceptable = 0;
      if (nu > 1e10) return Outcome::Infeasible;
    }
    if (iterations_ >= limit) {
      limit_reached_ = STOP_ITERLIMIT;
      return Outcome::Stopped;
    }
    if (!stop_requested() && elapsed() > time_limit) {
      limit_reached_ = STOP_TIMELIMIT;
      return Outcome::Stopped;
    }
    if (stop_requested() || fire(prob_, NLCB_ITERSTART)) return Outcome::Stopped;
    ++iterations_;
    prob_->iterations = iterations_;
    struct IterationEnd {
      InteriorSolver *solver;
      ~IterationEnd() { solver->end_of_iteration(); }
    } iteration_end{this};

    // Barrier parameter: falls once the barrier problem is solved closely.
    while (mu > mu_min && optimality_error(mu, nullptr, nullptr) <= 10.0 * mu)
      mu = std::max(mu_min, std::min(0.2 * mu, std::pow(mu, 1.5)));
    const double tau = std::max(0.99, 1.0 - mu);

    // Newton system.
    row_weight_.assign(nl_rows_.size(), 0.0);
    for (size_t p = 0; p < nl_rows_.size(); ++p) {
      const int k = row_con_[size_t(nl_rows_[p])];
      if (k >= 0) row_weight_[p] = -con_scale_[size_t(k)] * y_[size_t(k)];
      else row_weight_[p] = obj_scale_ * transfer_weight_[p];
    }
    try {
      lag_->values(x_.data(), row_weight_.data(), obj_scale_ * sense_, &users_, hess_val_);
    } catch (const EvalError &e) {
      *reason = std::string("the Hessian could not be evaluated: ") + e.what();
      return Outcome::Failed;
    }
    if (!factorise(false)) {
      *reason = "the Newton system could not be made regular";
      return Outcome::Failed;
    }
    rhs.assign(size_t(nk_), 0.0);
    {
      std::vector<double> rx(grad_);
      add_jacobian_transpose(y_, -1.0, rx);
      for (int j = 0; j < n_; ++j) {
        if (!active_[size_t(j)]) continue;
        double r = rx[size_t(j)];
        if (has_lb_[size_t(j)]) r -= mu / (x_[size_t(j)] - lb_[size_t(j)]);
        if (has_ub_[size_t(j)]) r += mu / (ub_[size_t(j)] - x_[size_t(j)]);
        rhs[size_t(j)] = -r;
      }
    }
    for (int k = 0; k < m_cons_; ++k) {
      if (!con_slack_[size_t(k)]) {
        rhs[size_t(n_ + k)] = -c_[size_t(k)];
        continue;
      }
      double r = y_[size_t(k)];
      if (slo_[size_t(k)] > -kInf) r -= mu / (s_[size_t(k)] - slo_[size_t(k)]);
      if (shi_[size_t(k)] < kInf) r += mu / (shi_[size_t(k)] - s_[size_t(k)]);
      rs[size_t(k)] = r;
      sig[size_t(k)] = slack_sigma(k) + shift_;
      rhs[size_t(n_ + k)] = -c_[size_t(k)] - r / sig[size_t(k)];
    }
    rhs_x.assign(rhs.begin(), rhs.begin() + n_);
    solve(rhs);
    auto take_direction = [&](const std::vector<double> &sol) {
      for (int j = 0; j < n_; ++j) dx[size_t(j)] = active_[size_t(j)] ? sol[size_t(j)] : 0.0;
      for (int k = 0; k < m_cons_; ++k) {
        dy[size_t(k)] = -sol[size_t(n_ + k)];
        ds[size_t(k)] = con_slack_[size_t(k)] ? (-rs[size_t(k)] - dy[size_t(k)]) / sig[size_t(k)] : 0.0;
      }
    };
    take_direction(rhs);
    // Longest step that keeps a fraction tau of every gap.
    auto step_to_boundary = [&](const std::vector<double> &px, const std::vector<double> &ps) {
      double a = 1.0;
      for (int j = 0; j < n_; ++j) {
        const double d = px[size_t(j)];
        if (has_lb_[size_t(j)] && d < 0) a = std::min(a, -tau * (x_[size_t(j)] - lb_[size_t(j)]) / d);
        if (has_ub_[size_t(j)] && d > 0) a = std::min(a, tau * (ub_[size_t(j)] - x_[size_t(j)]) / d);
      }
      for (int k = 0; k < m_cons_; ++k) {
        if (!con_slack_[size_t(k)]) continue;
        const double d = ps[size_t(k)];
        if (slo_[size_t(k)] > -kInf && d < 0) a = std::min(a, -tau * (s_[size_t(k)] - slo_[size_t(k)]) / d);
        if (shi_[size_t(k)] < kInf && d > 0) a = std::min(a, tau * (shi_[size_t(k)] - s_[size_t(k)]) / d);
      }
      return a;
    };
    const double alpha_max = step_to_boundary(dx, ds);

    // Merit: barrier function plus nu times the l1 violation.
    const double theta = constraint_norm1();
    double gphi = 0.0;
    for (int j = 0; j < n_; ++j) {
      if (!active_[size_t(j)]) continue;
      double g = grad_[size_t(j)];
      if (has_lb_[size_t(j)]) g -= mu / (x_[size_t(j)] - lb_[size_t(j)]);
      if (has_ub_[size_t(j)]) g += mu / (ub_[size_t(j)] - x_[size_t(j)]);
      gphi += g * dx[size_t(j)];
    }
    for (int k = 0; k < m_cons_; ++k) {
      if (!con_slack_[size_t(k)]) continue;
      double g = 0.0;
      if (slo_[size_t(k)] > -kInf) g -= mu / (s_[size_t(k)] - slo_[size_t(k)]);
      if (shi_[size_t(k)] < kInf) g += mu / (shi_[size_t(k)] - s_[size_t(k)]);
      gphi += g * ds[size_t(k)];
    }
    double ynew = 0.0;
    for (int k = 0; k < m_cons_; ++k) ynew = std::max(ynew, std::fabs(y_[size_t(k)] + dy[size_t(k)]));
    if (theta > 0) {
      // Large enough for the step to be a descent direction of the merit
      // function and to exceed the multipliers; allowed to fall again
      // (halving) once a poor start has blown it up, or it would hold
      // back every later step that bends the rows a little.
      double needed = 1.1 * ynew;
      if (gphi - needed * theta > -0.1 * needed * theta) needed = std::max(needed, 2.0 * gphi / theta);
      nu = std::max(needed, 0.5 * nu);
    }
    nu_ = nu;
    const double phi0 = barrier_merit(x_, s_, nu, mu);
    const double slope = gphi - nu * theta;
    // Decreases of the objective below its rounding cannot be seen: near
    // an optimum whose objective is a small difference of large pieces
    // (an expanded square (1 - x)^2 = 1 - 2x + x^2 over many columns),
    // every step would look like an increase and the solve would end
    // short of the optimum with its Newton steps still converging.
    const double mag0 = f_mag_;
    auto decrease_ok = [&](double phi_trial, double a) {
      const double rounding = 10.0 * std::numeric_limits<double>::epsilon() * std::max(mag0, f_mag_);
      return phi_trial <= phi0 + 1e-4 * a * slope + rounding;
    };
    double dmax = 0.0;
    for (int j = 0; j < n_; ++j) dmax = std::max(dmax, std::fabs(dx[size_t(j)]) / (1.0 + std::fabs(x_[size_t(j)])));
    for (int k = 0; k < m_cons_; ++k) dmax = std::max(dmax, std::fabs(ds[size_t(k)]) / (1.0 + std::fabs(s_[size_t(k)])));
    const bool tiny = dmax < 1e-14 || (slope >= 0.0 && theta == 0.0 && dmax < 1e-10);
    tiny_steps = tiny ? tiny_steps + 1 : 0;

    c0 = c_;
    double alpha = alpha_max;
    bool accepted = false;
    std::string err;
    for (int trial = 0; trial < 60 && !accepted; ++trial) {
      xt = x_;
      st = s_;
      for (int j = 0; j < n_; ++j) xt[size_t(j)] += alpha * dx[size_t(j)];
      for (int k = 0; k < m_cons_; ++k) st[size_t(k)] += alpha * ds[size_t(k)];
      if (evaluate(xt, &err)) {
        constraint_residual(st);
        const double phi = barrier_merit(xt, st, nu, mu);
        if (tiny || decrease_ok(phi, alpha)) {
          accepted = true;
          break;
        }
        if (trial == 0 && m_cons_ > 0 && constraint_norm1() >= theta) {
          // Second-order correction: the same system with the constraints
          // at the trial point, against the curvature the step missed.
          std::vector<double> rhs2(static_cast<size_t>(nk_), 0.0);
          for (int j = 0; j < n_; ++j) rhs2[size_t(j)] = rhs_x[size_t(j)];
          for (int k = 0; k < m_cons_; ++k) {
            const double csoc = alpha * c0[size_t(k)] + c_[size_t(k)];
            rhs2[size_t(n_ + k)] = con_slack_[size_t(k)] ? -csoc - rs[size_t(k)] / sig[size_t(k)] : -csoc;
          }
          solve(rhs2);
          std::vector<double> keep_dx = dx, keep_ds = ds, keep_dy = dy;
          take_direction(rhs2);
          const double asoc = step_to_boundary(dx, ds);
          xt = x_;
          st = s_;
          for (int j = 0; j < n_; ++j) xt[size_t(j)] += asoc * dx[size_t(j)];
          for (int k = 0; k < m_cons_; ++k) st[size_t(k)] += asoc * ds[size_t(k)];
          if (evaluate(xt, &err)) {
            constraint_residual(st);
            if (decrease_ok(barrier_merit(xt, st, nu, mu), alpha)) {
              accepted = true;
              alpha = asoc;
              break;
            }
          }
          dx = keep_dx;
          ds = keep_ds;
          dy = keep_dy;
        }
      } else if (fire_coefevalerror_stop()) {
        break;
      }
      alpha *= 0.5;
      if (alpha * dmax < 1e-16) break;
    }
    if (!accepted) {
      evaluate(x_, nullptr);
      constraint_residual(s_);
      if (max_violation() > feastol_) return Outcome::Infeasible;
      if (optimality_error(0.0, nullptr, nullptr) <= 1e-6) return Outcome::Optimal;
      *reason = "the line search found no acceptable step";
      return Outcome::Failed;
    }
    // Bound multipliers follow the primal step taken.
    std::vector<double> dzl(static_cast<size_t>(n_), 0.0), dzu(static_cast<size_t>(n_), 0.0);
    std::vector<double> dvl(static_cast<size_t>(m_cons_), 0.0), dvu(static_cast<size_t>(m_cons_), 0.0);
    double alpha_z = 1.0;
    for (int j = 0; j < n_; ++j) {
      if (has_lb_[size_t(j)]) {
        const double gap = x_[size_t(j)] - lb_[size_t(j)];
        dzl[size_t(j)] = mu / gap - zl_[size_t(j)] - zl_[size_t(j)] / gap * dx[size_t(j)];
        if (dzl[size_t(j)] < 0) alpha_z = std::min(alpha_z, -tau * zl_[size_t(j)] / dzl[size_t(j)]);
      }
      if (has_ub_[size_t(j)]) {
        const double gap = ub_[size_t(j)] - x_[size_t(j)];
        dzu[size_t(j)] = mu / gap - zu_[size_t(j)] + zu_[size_t(j)] / gap * dx[size_t(j)];
        if (dzu[size_t(j)] < 0) alpha_z = std::min(alpha_z, -tau * zu_[size_t(j)] / dzu[size_t(j)]);
      }
    }
    for (int k = 0; k < m_cons_; ++k) {
      if (!con_slack_[size_t(k)]) continue;
      if (slo_[size_t(k)] > -kInf) {
        const double gap = s_[size_t(k)] - slo_[size_t(k)];
        dvl[size_t(k)] = mu / gap - vl_[size_t(k)] - vl_[size_t(k)] / gap * ds[size_t(k)];
        if (dvl[size_t(k)] < 0) alpha_z = std::min(alpha_z, -tau * vl_[size_t(k)] / dvl[size_t(k)]);
      }
      if (shi_[size_t(k)] < kInf) {
        const double gap = shi_[size_t(k)] - s_[size_t(k)];
        dvu[size_t(k)] = mu / gap - vu_[size_t(k)] + vu_[size_t(k)] / gap * ds[size_t(k)];
        if (dvu[size_t(k)] < 0) alpha_z = std::min(alpha_z, -tau * vu_[size_t(k)] / dvu[size_t(k)]);
      }
    }
    last_step_ = 0.0;
    for (int j = 0; j < n_; ++j) last_step_ = std::max(last_step_, std::fabs(xt[size_t(j)] - x_[size_t(j)]));
    x_.swap(xt);
    s_.swap(st);
    for (int k = 0; k < m_cons_; ++k) y_[size_t(k)] += alpha * dy[size_t(k)];
    // Bound multipliers stay within a factor 1e10 of mu / gap.
    auto keep_near = [&](double z, double gap) {
      const double target = mu / gap;
      return std::min(std::max(z, target / 1e10), target * 1e10);
    };
    for (int j = 0; j < n_; ++j) {
      if (has_lb_[size_t(j)]) zl_[size_t(j)] = keep_near(zl_[size_t(j)] + alpha_z * dzl[size_t(j)], x_[size_t(j)] - lb_[size_t(j)]);
      if (has_ub_[size_t(j)]) zu_[size_t(j)] = keep_near(zu_[size_t(j)] + alpha_z * dzu[size_t(j)], ub_[size_t(j)] - x_[size_t(j)]);
    }
    for (int k = 0; k < m_cons_; ++k) {
      if (!con_slack_[size_t(k)]) continue;
      if (slo_[size_t(k)] > -kInf) vl_[size_t(k)] = keep_near(vl_[size_t(k)] + alpha_z * dvl[size_t(k)], s_[size_t(k)] - slo_[size_t(k)]);
      if (shi_[size_t(k)] < kInf) vu_[size_t(k)] = keep_near(vu_[size_t(k)] + alpha_z * dvu[size_t(k)], shi_[size_t(k)] - s_[size_t(k)]);
    }
    // Infeasible rows that the steps no longer reduce: a stationary point
    // of the violation (or a region the method cannot leave).
    const double theta_new = constraint_norm1();
    stalled = max_violation() > feastol_ && theta_new > (1.0 - 1e-3) * theta ? stalled + 1 : 0;
    if (stalled >= 25) return Outcome::Infeasible;
    if (tiny_steps >= 3 && mu <= mu_min) {
      if (max_violation() <= feastol_ && optimality_error(0.0, nullptr, nullptr) <= 1e-6) return Outcome::Optimal;
      *reason = "the steps became too small to make progress";
      return Outcome::Failed;
    }
  }
}

// A formula could not be evaluated at a trial point: the coefficient-error
// registrations hear of it and may stop the solve.
bool InteriorSolver::fire_coefevalerror_stop() {
  if (failed_row_ >= 0 && fire_coefevalerror(prob_, failed_row_, failed_col_)) stop_after_iteration_ = true;
  return stop_after_iteration_;
}

void InteriorSolver::finish(Outcome outcome) {
  SlpSolution &sol = prob_->solution;
  std::vector<double> x = x_;
  if (!have_point_) {
    x = krvs::nlp::start_point(prob_);
    x_ = x;
  }
  // Values at the final point (the transfer columns need the rows' parts).
  std::string err;
  const bool evaluated = evaluate(x, &err);
  const CompressedMatrix &byrow = m_.by_rows();
  if (evaluated)
    for (const Transfer &t : transfers_) {
      double rest = h_[size_t(nl_pos_[size_t(t.row)])];
      for (int64_t k = byrow.start[size_t(t.row)]; k < byrow.start[size_t(t.row) + 1]; ++k)
        if (byrow.index[size_t(k)] != t.col) rest += byrow.value[size_t(k)] * x[size_t(byrow.index[size_t(k)])];
      x[size_t(t.col)] = (m_.rhs[size_t(t.row)] - rest) / t.coef;
    }
  sol.x = x;
  sol.slack.assign(size_t(rows_), 0.0);
  double max_viol = 0.0;
  for (int r = 0; r < rows_; ++r) {
    double act = 0.0;
    for (int64_t k = byrow.start[size_t(r)]; k < byrow.start[size_t(r) + 1]; ++k) act += byrow.value[size_t(k)] * x[size_t(byrow.index[size_t(k)])];
    if (evaluated && nl_pos_[size_t(r)] >= 0) act += h_[size_t(nl_pos_[size_t(r)])];
    sol.slack[size_t(r)] = m_.rhs[size_t(r)] - act;
    double lo, hi;
    row_bounds(m_, r, lo, hi);
    max_viol = std::max(max_viol, bound_violation(act, lo, hi));
  }
  // Multipliers in the sequential solver's convention: row duals y and
  // reduced costs d of the minimised sense*f with  grad(sense*f) = J'y + d,
  // then multiplied by the sense.
  std::vector<double> ydual(size_t(rows_), 0.0);
  if (have_point_) {
    for (int k = 0; k < m_cons_; ++k) ydual[size_t(con_row_[size_t(k)])] = y_[size_t(k)] * con_scale_[size_t(k)] / obj_scale_;
    for (const Transfer &t : transfers_) ydual[size_t(t.row)] = sense_ * t.cost / t.coef;
  }
  std::vector<double> dj(size_t(n_), 0.0);
  if (have_point_ && evaluated) {
    for (int j = 0; j < n_; ++j) dj[size_t(j)] = sense_ * m_.obj[size_t(j)];
    for (const auto &e : m_.qobj) {
      const double q = sense_ * e.q;
      if (e.i == e.j) {
        dj[size_t(e.i)] += q * x[size_t(e.i)];
      } else {
        dj[size_t(e.i)] += q * x[size_t(e.j)];
        dj[size_t(e.j)] += q * x[size_t(e.i)];
      }
    }
    for (int r = 0; r < rows_; ++r) {
      const double y = ydual[size_t(r)];
      if (y == 0.0) continue;
      for (int64_t k = byrow.start[size_t(r)]; k < byrow.start[size_t(r) + 1]; ++k) dj[size_t(byrow.index[size_t(k)])] -= y * byrow.value[size_t(k)];
      if (nl_pos_[size_t(r)] >= 0)
        for (const auto &[j, d] : h_grad_[size_t(nl_pos_[size_t(r)])]) dj[size_t(j)] -= y * d;
    }
  }
  sol.duals.resize(size_t(rows_));
  sol.djs.resize(size_t(n_));
  for (int r = 0; r < rows_; ++r) sol.duals[size_t(r)] = sense_ * ydual[size_t(r)];
  for (int j = 0; j < n_; ++j) sol.djs[size_t(j)] = sense_ * dj[size_t(j)];

  int status = KNLS_NLP_UNFINISHED;
  switch (outcome) {
    case Outcome::Optimal: status = KNLS_NLP_LOCALLY_OPTIMAL; break;
    case Outcome::Infeasible: status = KNLS_NLP_LOCALLY_INFEASIBLE; break;
    case Outcome::Unbounded: status = KNLS_NLP_UNBOUNDED; break;
    default: status = KNLS_NLP_UNFINISHED; break;
  }
  double f = m_.obj_constant;
  for (int j = 0; j < n_; ++j) f += m_.obj[size_t(j)] * x[size_t(j)];
  for (const auto &e : m_.qobj)
    f += e.i == e.j ? 0.5 * e.q * x[size_t(e.i)] * x[size_t(e.i)] : e.q * x[size_t(e.i)] * x[size_t(e.j)];
  prob_->status = status;
  prob_->objective_value = f;
  prob_->iterations = iterations_;
  prob_->items.evaluations = evaluations_;
  prob_->items.final_penalty = std::max(nu_, 1.0);
  for (auto &[j, v] : prob_->vars)
    if (j < n_) {
      v.oldvalue = v.value;
      v.value = x[size_t(j)];
    }
  if (status == KNLS_NLP_UNFINISHED) {
    if (limit_reached_ != 0) prob_->stop_status = limit_reached_;
    log_unfinished(prob_, limit_reached_, outcome == Outcome::Failed, max_viol, last_step_);
  }
  log_finished_and_end(prob_, status, iterations_);
}

// Columns in nonlinear terms, for the automatic choice.
int nonlinear_columns(KNLSprob prob) {
  const Model &m = *prob->optprob->model;
  std::vector<char> nl(size_t(m.cols()), 0);
  for (const Coefficient &c : prob->coefs) {
    if (c.col >= 0 && c.col < m.cols()) nl[size_t(c.col)] = 1;
    for (int j : c.formula->columns)
      if (j < m.cols()) nl[size_t(j)] = 1;
  }
  for (const auto &[r, entries] : m.qrows)
    for (const auto &e : entries) nl[size_t(e.i)] = nl[size_t(e.j)] = 1;
  for (const auto &e : m.qobj) nl[size_t(e.i)] = nl[size_t(e.j)] = 1;
  return int(std::count(nl.begin(), nl.end(), 1));
}

// Settings only the sequential solver honours: a problem that uses them
// stays with it unless the interior road is asked for.
bool uses_sequential_settings(KNLSprob prob) {
  if (prob->controls.get_int(12417) != 0 || prob->controls.get_int(12409) == 0) return true;
  if (prob->controls.get_int(12421) != 0) return true;
  if (!prob->items.dfs.empty() || !prob->items.delta_type.empty() || !prob->items.row_weight.empty()) return true;
  for (const auto &[j, v] : prob->vars)
    if (v.stepbound > 0 || v.initstepbound > 0 || v.tolset > 0) return true;
  return false;
}

}  // namespace

bool interior_applicable(KNLSprob prob, const std::string &flags, std::string *why) {
  const Model &m = *prob->optprob->model;
  const bool keep_integers = flags.find('g') != std::string::npos;
  for (int j = 0; j < m.cols(); ++j) {
    const char t = m.coltype[size_t(j)];
    if (t == 'C') continue;
    if (is_integer_type(t) && !keep_integers) continue;
    if (why) *why = is_integer_type(t) ? "it has integer columns" : "it has semi-continuous columns";
    return false;
  }
  if (keep_integers && (!m.sets.empty() || !m.indicators.empty())) {
    if (why) *why = "it has special ordered sets or indicator constraints";
    return false;
  }
  return true;
}

void run_nonlinear(KNLSprob prob, const std::string &flags) {
  const int algorithm = int(prob->controls.get_int(kAlgorithmControl));
  std::string why;
  const bool applicable = interior_applicable(prob, flags, &why);
  if (algorithm == 1) {
    run_slp(prob, flags);
    return;
  }
  if (algorithm == 0) {
    const int n = prob->optprob->model->cols();
    const int nl = nonlinear_columns(prob);
    const bool choose = applicable && n > kInteriorColumns && nl > 0 && nl * 20 >= n && !uses_sequential_settings(prob);
    if (!choose) {
      run_slp(prob, flags);
      return;
    }
  } else if (!applicable) {
    throw Error("The interior-point method cannot solve this problem: " + why);
  }
  std::unique_ptr<InteriorSolver> solver = std::make_unique<InteriorSolver>(prob);
  std::string reason;
  Outcome outcome = solver->run(algorithm == 2, &reason);
  if (outcome == Outcome::Infeasible && solver->iterations() < prob->controls.get_int(12402)) {
    auto second = std::make_unique<InteriorSolver>(prob);
    second->restart_after(*solver);
    std::string second_reason;
    Outcome again = second->run(false, &second_reason);
    if (again != Outcome::Infeasible && again != Outcome::Failed) {
      solver = std::move(second);
      outcome = again;
    } else if (again == Outcome::Infeasible) {
      solver = std::move(second);
    }
  }
  if (algorithm == 0 && (outcome == Outcome::Failed || outcome == Outcome::Infeasible)) {
    nlp_log(prob,
            "Interior-point method " +
                (outcome == Outcome::Failed ? "failed: " + reason : std::string("found no feasible point")) +
                "; solving with the sequential solver",
            MSG_INFO);
    prob->iterations = 0;
    run_slp(prob, flags, false);
    return;
  }
  if (outcome == Outcome::Failed) nlp_log(prob, "Interior-point method failed: " + reason, MSG_INFO);
  solver->finish(outcome);
}

}  // namespace krvs::nlp
