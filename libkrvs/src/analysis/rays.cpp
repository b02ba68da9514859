// Rays (certificates of unboundedness and infeasibility), the entering
// variable of an unbounded primal simplex, and a condition estimate of the
// basis.
//
// Every ray handed out is checked as a certificate before it is handed out;
// its sign is chosen so that the documented inequality holds (krvs.h).
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/lp_session.h"
#include "api/model_checks.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"

using namespace krvs;
using namespace krvs::analysis;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool bounded(double v) { return v > -KRVS_INFINITY && v < KRVS_INFINITY; }

// Row activities A d.
std::vector<double> activities(const Model &m, const std::vector<double> &d) {
  std::vector<double> out(size_t(m.rows()), 0.0);
  const CompressedMatrix &a = m.by_cols();
  for (int j = 0; j < m.cols(); ++j) {
    if (d[size_t(j)] == 0.0) continue;
    for (int64_t p = a.start[size_t(j)]; p < a.start[size_t(j) + 1]; ++p)
      out[size_t(a.index[size_t(p)])] += a.value[size_t(p)] * d[size_t(j)];
  }
  return out;
}

// Q d for a list of symmetric upper-triangle entries.
std::vector<double> quadratic_times(const std::vector<QuadEntry> &q, const std::vector<double> &d, size_t n) {
  std::vector<double> out(n, 0.0);
  for (const QuadEntry &e : q) {
    out[size_t(e.i)] += e.q * d[size_t(e.j)];
    if (e.i != e.j) out[size_t(e.j)] += e.q * d[size_t(e.i)];
  }
  return out;
}

}  // namespace

namespace krvs::analysis {

bool is_primal_ray(const Model &m, const std::vector<double> &d, double tol) {
  double scale = 0.0;
  for (double v : d) scale = std::max(scale, std::fabs(v));
  if (scale == 0.0) return false;
  const double t = tol * scale;
  for (int j = 0; j < m.cols(); ++j) {
    const double v = d[size_t(j)];
    if ((v < -t && bounded(m.lb[size_t(j)])) || (v > t && bounded(m.ub[size_t(j)]))) return false;
  }
  const std::vector<double> ad = activities(m, d);
  for (int i = 0; i < m.rows(); ++i) {
    if (m.indicators.count(i)) continue;  // the relaxation drops indicator rows
    double lower, upper;
    row_bounds(m, i, lower, upper);
    const double v = ad[size_t(i)];
    if ((v < -t && std::isfinite(lower)) || (v > t && std::isfinite(upper))) return false;
  }
  if (!m.qobj.empty()) {
    const std::vector<double> qd = quadratic_times(m.qobj, d, size_t(m.cols()));
    for (double v : qd)
      if (std::fabs(v) > t) return false;
  }
  for (const auto &[row, entries] : m.qrows) {
    const std::vector<double> qd = quadratic_times(entries, d, size_t(m.cols()));
    for (double v : qd)
      if (std::fabs(v) > t) return false;
  }
  double gain = 0.0;
  for (int j = 0; j < m.cols(); ++j) gain += m.obj[size_t(j)] * d[size_t(j)];
  return m.obj_sense >= 0 ? gain < -t : gain > t;
}

double farkas_gap(const Model &m, const std::vector<double> &y) {
  // max over the bounds of (y'A) x  against  min over the row ranges of y'r.
  // (y'A)_j, and the size of its terms: an entry that is only the rounding
  // residue of cancelling terms counts as zero.
  std::vector<double> r(size_t(m.cols()), 0.0), magnitude(size_t(m.cols()), 0.0);
  const CompressedMatrix &a = m.by_rows();
  for (int i = 0; i < m.rows(); ++i) {
    if (y[size_t(i)] == 0.0) continue;
    for (int64_t p = a.start[size_t(i)]; p < a.start[size_t(i) + 1]; ++p) {
      const double term = a.value[size_t(p)] * y[size_t(i)];
      r[size_t(a.index[size_t(p)])] += term;
      magnitude[size_t(a.index[size_t(p)])] += std::fabs(term);
    }
  }
  double box_max = 0.0, rows_min = 0.0;
  for (int j = 0; j < m.cols(); ++j) {
    const double v = r[size_t(j)];
    if (std::fabs(v) <= 1e-9 * magnitude[size_t(j)]) continue;
    const double bound = v > 0 ? m.ub[size_t(j)] : m.lb[size_t(j)];
    if (!bounded(bound)) return -kInf;
    box_max += v * bound;
  }
  for (int i = 0; i < m.rows(); ++i) {
    const double v = y[size_t(i)];
    if (v == 0.0) continue;
    double lower, upper;
    row_bounds(m, i, lower, upper);
    const double side = v > 0 ? lower : upper;
    if (!std::isfinite(side)) return -kInf;
    rows_min += v * side;
  }
  return rows_min - box_max;
}

}  // namespace krvs::analysis

namespace {

// A direction of unboundedness from an LP of its own: the best direction
// within the unit box of the recession cone of the constraints (quadratic
// parts must be flat along it).
bool recession_ray(KRVSprob prob, std::vector<double> &ray) {
  const Model &m = *prob->model;
  const int n = m.cols();
  HighsModel model;
  HighsLp &lp = model.lp_;
  lp.num_col_ = n;
  lp.sense_ = m.obj_sense < 0 ? ObjSense::kMaximize : ObjSense::kMinimize;
  lp.col_cost_ = m.obj;
  lp.col_lower_.resize(size_t(n));
  lp.col_upper_.resize(size_t(n));
  for (int j = 0; j < n; ++j) {
    lp.col_lower_[size_t(j)] = bounded(m.lb[size_t(j)]) ? 0.0 : -1.0;
    lp.col_upper_[size_t(j)] = bounded(m.ub[size_t(j)]) ? 0.0 : 1.0;
  }
  // Rows: the linear rows' recession cones, then Q d = 0 for every quadratic part.
  std::vector<std::vector<std::pair<int, double>>> extra;
  auto add_flat = [&](const std::vector<QuadEntry> &q) {
    std::vector<std::vector<std::pair<int, double>>> rows(static_cast<size_t>(n));
    for (const QuadEntry &e : q) {
      if (e.q == 0.0) continue;
      rows[size_t(e.i)].push_back({e.j, e.q});
      if (e.i != e.j) rows[size_t(e.j)].push_back({e.i, e.q});
    }
    for (auto &row : rows)
      if (!row.empty()) extra.push_back(std::move(row));
  };
  add_flat(m.qobj);
  for (const auto &entry : m.qrows) add_flat(entry.second);
  const CompressedMatrix &a = m.by_rows();
  HighsSparseMatrix &mat = lp.a_matrix_;
  mat.format_ = MatrixFormat::kRowwise;
  mat.num_col_ = n;
  mat.start_.assign(1, 0);
  for (int i = 0; i < m.rows(); ++i) {
    double lower, upper;
    row_bounds(m, i, lower, upper);
    if (m.indicators.count(i)) lower = -kInf, upper = kInf;
    lp.row_lower_.push_back(std::isfinite(lower) ? 0.0 : -kInf);
    lp.row_upper_.push_back(std::isfinite(upper) ? 0.0 : kInf);
    for (int64_t p = a.start[size_t(i)]; p < a.start[size_t(i) + 1]; ++p) {
      mat.index_.push_back(a.index[size_t(p)]);
      mat.value_.push_back(a.value[size_t(p)]);
    }
    mat.start_.push_back(HighsInt(mat.index_.size()));
  }
  for (const auto &row : extra) {
    lp.row_lower_.push_back(0.0);
    lp.row_upper_.push_back(0.0);
    for (const auto &[col, value] : row) {
      mat.index_.push_back(col);
      mat.value_.push_back(value);
    }
    mat.start_.push_back(HighsInt(mat.index_.size()));
  }
  lp.num_row_ = HighsInt(lp.row_lower_.size());
  mat.num_row_ = lp.num_row_;
  LpSession session(prob, std::move(model));
  if (session.run("recession direction") != HighsModelStatus::kOptimal) return false;
  ray = session.highs().getSolution().col_value;
  ray.resize(size_t(n));
  return is_primal_ray(m, ray, 1e-7);
}

bool primal_ray(KRVSprob prob, std::vector<double> &ray) {
  const Model &m = *prob->model;
  const SolveState &state = *prob->solve;
  if (state.lp_status != LP_UNBOUNDED && state.mip_status != MIP_UNBOUNDED) return false;
  if (m.cols() == 0) return false;
  const bool linear = quadratic_objective_entries(m) == 0 && !has_quadratic_rows(m);
  if (linear) {
    LpSession session(prob);
    session.warm_start(prob);
    if (session.run("KRVSgetprimalray") == HighsModelStatus::kUnbounded) {
      bool has = false;
      ray.assign(size_t(session.highs().getLp().num_col_), 0.0);
      if (session.highs().getPrimalRay(has, ray.data()) == HighsStatus::kOk && has) {
        ray.resize(size_t(m.cols()));
        if (is_primal_ray(m, ray, 1e-7)) return true;
        for (double &v : ray) v = -v;
        if (is_primal_ray(m, ray, 1e-7)) return true;
      }
    }
  }
  return recession_ray(prob, ray);
}

bool dual_ray(KRVSprob prob, std::vector<double> &ray) {
  const Model &m = *prob->model;
  const SolveState &state = *prob->solve;
  if (state.lp_status != LP_INFEAS && state.mip_status != MIP_INFEAS) return false;
  if (m.rows() == 0) return false;
  // Feasibility does not depend on the objective: a zero objective keeps the
  // LP linear for quadratic problems too.
  BuiltModel built = build_highs_model(m, BuildMode::Relaxation, prob->controls.get_double(CTRL_7008));
  built.model.hessian_.clear();
  std::fill(built.model.lp_.col_cost_.begin(), built.model.lp_.col_cost_.end(), 0.0);
  LpSession session(prob, std::move(built.model));
  if (session.run("KRVSgetdualray") != HighsModelStatus::kInfeasible) return false;
  bool has = false;
  ray.assign(size_t(session.highs().getLp().num_row_), 0.0);
  if (session.highs().getDualRay(has, ray.data()) != HighsStatus::kOk || !has) return false;
  ray.resize(size_t(m.rows()));
  double scale = 0.0;
  for (double v : ray) scale = std::max(scale, std::fabs(v));
  if (scale == 0.0) return false;
  for (double &v : ray)
    if (std::fabs(v) < 1e-9 * scale) v = 0.0;
  const double tol = 1e-9 * scale;
  if (farkas_gap(m, ray) > tol) return true;
  for (double &v : ray) v = -v;
  return farkas_gap(m, ray) > tol;
}

}  // namespace

extern "C" {

int KRVSgetprimalray(KRVSprob prob, double ray[], int *hasray) noexcept {
  return guard_problem(prob, [&] {
    std::vector<double> d;
    const bool has = primal_ray(prob, d);
    if (hasray) *hasray = has ? 1 : 0;
    if (!ray) return;
    if (!has)
      throw Error("KRVSgetprimalray: no primal ray is available; the last solve did not find the problem unbounded");
    std::copy(d.begin(), d.end(), ray);
  });
}

int KRVSgetdualray(KRVSprob prob, double ray[], int *hasray) noexcept {
  return guard_problem(prob, [&] {
    std::vector<double> y;
    const bool has = dual_ray(prob, y);
    if (hasray) *hasray = has ? 1 : 0;
    if (!ray) return;
    if (!has)
      throw Error(
          "KRVSgetdualray: no dual ray is available; the last solve did not find the problem's constraints infeasible");
    std::copy(y.begin(), y.end(), ray);
  });
}

int KRVSgetunbvec(KRVSprob prob, int *seq) noexcept {
  return guard_problem(prob, [&] {
    if (!seq) fail("KRVSgetunbvec", "null output");
    *seq = -1;
    const Model &m = *prob->model;
    if (prob->solve->lp_status != LP_UNBOUNDED || quadratic_objective_entries(m) > 0 || has_quadratic_rows(m) ||
        m.cols() == 0)
      return;
    LpSession session(prob);
    Highs &highs = session.highs();
    highs.setOptionValue("simplex_strategy", HighsInt(kSimplexStrategyPrimal));
    session.warm_start(prob);
    if (session.run("KRVSgetunbvec") != HighsModelStatus::kUnbounded) return;
    bool has = false;
    std::vector<double> ray(size_t(highs.getLp().num_col_), 0.0);
    if (highs.getPrimalRay(has, ray.data()) != HighsStatus::kOk || !has) return;
    ray.resize(size_t(m.cols()));
    // The entering variable is the one nonbasic variable that moves along the ray.
    const HighsBasis &basis = highs.getBasis();
    double scale = 0.0;
    for (double v : ray) scale = std::max(scale, std::fabs(v));
    const double tol = 1e-9 * std::max(scale, 1.0);
    for (int j = 0; j < m.cols(); ++j)
      if (basis.col_status[size_t(j)] != HighsBasisStatus::kBasic && std::fabs(ray[size_t(j)]) > tol) {
        *seq = m.rows() + j;
        return;
      }
    const std::vector<double> ad = activities(m, ray);
    for (int i = 0; i < m.rows(); ++i)
      if (basis.row_status[size_t(i)] != HighsBasisStatus::kBasic && std::fabs(ad[size_t(i)]) > tol) {
        *seq = i;
        return;
      }
  });
}

}  // extern "C"
