#include "point_eval.h"

#include <cmath>

#include "core/problem.h"
#include "model/model.h"
#include "nlp_problem.h"

namespace krvs::nlp {

void row_bounds(const Model &m, int r, double &lo, double &hi) {
  double rhs = m.rhs[size_t(r)];
  switch (m.rowtype[size_t(r)]) {
    case 'L': lo = -kInfinity; hi = rhs; break;
    case 'G': lo = rhs; hi = kInfinity; break;
    case 'E': lo = hi = rhs; break;
    case 'R': lo = rhs - std::fabs(m.range[size_t(r)]); hi = rhs; break;
    default: lo = -kInfinity; hi = kInfinity; break;
  }
}

double bound_violation(double value, double lo, double hi) {
  if (lo > -kInfinity && value < lo) return lo - value;
  if (hi < kInfinity && value > hi) return value - hi;
  return 0.0;
}

PointEvaluator::PointEvaluator(KNLSprob prob) : prob_(prob), m_(*prob->optprob->model), users_(prob) {
  row_coefs_.resize(size_t(m_.rows()));
  for (size_t k = 0; k < prob->coefs.size(); ++k) {
    const Coefficient &c = prob->coefs[k];
    if (c.row >= m_.rows() || c.col >= m_.cols() || (!c.formula->columns.empty() && c.formula->columns.back() >= m_.cols()))
      throw Error("A nonlinear coefficient refers to a row or column that no longer exists");
    row_coefs_[size_t(c.row)].push_back(int(k));
  }
}

const std::vector<int> &PointEvaluator::coefficients_of(int r) const { return row_coefs_[size_t(r)]; }

double PointEvaluator::row_activity(int r, const std::vector<double> &x) {
  const CompressedMatrix &a = m_.by_rows();
  double s = 0.0;
  for (int64_t k = a.start[size_t(r)]; k < a.start[size_t(r) + 1]; ++k) s += a.value[size_t(k)] * x[size_t(a.index[size_t(k)])];
  auto q = m_.qrows.find(r);
  if (q != m_.qrows.end())
    for (const auto &e : q->second)
      s += e.i == e.j ? e.q * x[size_t(e.i)] * x[size_t(e.i)] : 2 * e.q * x[size_t(e.i)] * x[size_t(e.j)];
  for (int k : row_coefs_[size_t(r)]) {
    const Coefficient &c = prob_->coefs[size_t(k)];
    double F = tape_.evaluate(*c.formula, x.data(), &users_, false);
    ++evaluations_;
    s += c.factor * (c.col >= 0 ? x[size_t(c.col)] : 1.0) * F;
  }
  if (!std::isfinite(s)) throw EvalError("The activity of row " + std::to_string(r) + " is not a finite number");
  return s;
}

void PointEvaluator::add_row_gradient(int r, const std::vector<double> &x, double weight, std::vector<double> &grad) {
  const CompressedMatrix &a = m_.by_rows();
  for (int64_t k = a.start[size_t(r)]; k < a.start[size_t(r) + 1]; ++k)
    grad[size_t(a.index[size_t(k)])] += weight * a.value[size_t(k)];
  auto q = m_.qrows.find(r);
  if (q != m_.qrows.end())
    for (const auto &e : q->second) {
      if (e.i == e.j) {
        grad[size_t(e.i)] += weight * 2 * e.q * x[size_t(e.i)];
      } else {
        grad[size_t(e.i)] += weight * 2 * e.q * x[size_t(e.j)];
        grad[size_t(e.j)] += weight * 2 * e.q * x[size_t(e.i)];
      }
    }
  for (int k : row_coefs_[size_t(r)]) {
    const Coefficient &c = prob_->coefs[size_t(k)];
    double F = tape_.evaluate(*c.formula, x.data(), &users_, true);
    ++evaluations_;
    double mult = c.col >= 0 ? x[size_t(c.col)] : 1.0;
    tape_.add_gradient(weight * c.factor * mult, grad);
    if (c.col >= 0) grad[size_t(c.col)] += weight * c.factor * F;
  }
}

double PointEvaluator::objective(const std::vector<double> &x) const {
  double f = m_.obj_constant;
  for (int j = 0; j < m_.cols(); ++j) f += m_.obj[size_t(j)] * x[size_t(j)];
  for (const auto &e : m_.qobj)
    f += e.i == e.j ? 0.5 * e.q * x[size_t(e.i)] * x[size_t(e.i)] : e.q * x[size_t(e.i)] * x[size_t(e.j)];
  return f;
}

void PointEvaluator::add_objective_gradient(const std::vector<double> &x, std::vector<double> &grad) const {
  for (int j = 0; j < m_.cols(); ++j) grad[size_t(j)] += m_.obj[size_t(j)];
  for (const auto &e : m_.qobj) {
    if (e.i == e.j) {
      grad[size_t(e.i)] += e.q * x[size_t(e.i)];
    } else {
      grad[size_t(e.i)] += e.q * x[size_t(e.j)];
      grad[size_t(e.j)] += e.q * x[size_t(e.i)];
    }
  }
}

}  // namespace krvs::nlp
