// Checks of a point against the model (feasibility, first-order optimality)
// and the actions on the solver's state that take no arguments.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "core/problem.h"
#include "model/model.h"
#include "nlp_guard.h"
#include "nlp_problem.h"
#include "point_eval.h"
#include "slp.h"

using namespace krvs;
using namespace krvs::nlp;

namespace {

void message(KNLSprob prob, const std::string &line) {
  if (prob->message_fn) prob->message_fn(prob, prob->message_data, line.c_str(), int(line.size()), 1);
  fire_message(prob, line, 1);
}

struct Feasibility {
  double sum = 0.0, max = 0.0;
};

// Violations of every row and bound at x; per-row violations into rowviol.
Feasibility check_point(KNLSprob prob, const std::vector<double> &x, std::vector<double> *rowviol) {
  const Model &m = *prob->optprob->model;
  PointEvaluator eval(prob);
  Feasibility f;
  if (rowviol) rowviol->assign(size_t(m.rows()), 0.0);
  for (int r = 0; r < m.rows(); ++r) {
    double lo, hi;
    row_bounds(m, r, lo, hi);
    double v = bound_violation(eval.row_activity(r, x), lo, hi);
    if (rowviol) (*rowviol)[size_t(r)] = v;
    f.sum += v;
    f.max = std::max(f.max, v);
  }
  for (int j = 0; j < m.cols(); ++j) {
    double v = bound_violation(x[size_t(j)], m.lb[size_t(j)], m.ub[size_t(j)]);
    f.sum += v;
    f.max = std::max(f.max, v);
  }
  return f;
}

const SlpSolution &solved(KNLSprob prob, const char *where) {
  const Model &m = *prob->optprob->model;
  const SlpSolution &s = prob->solution;
  if (prob->status == KNLS_NLP_UNSTARTED || s.x.size() != size_t(m.cols()) || s.duals.size() != size_t(m.rows()))
    throw Error(std::string(where) + ": no nonlinear solution of the current problem is available");
  return s;
}

}  // namespace

extern "C" {

int KNLSvalidatevector(KNLSprob nlprob, const double point[], double *sumviol, double *maxviol, double *objective) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!point) throw Error("KNLSvalidatevector: null point");
    const Model &m = *nlprob->optprob->model;
    std::vector<double> x(point, point + m.cols());
    for (double v : x)
      if (!std::isfinite(v)) throw Error("KNLSvalidatevector: a value of the point is not a finite number");
    Feasibility f = check_point(nlprob, x, nullptr);
    if (sumviol) *sumviol = f.sum;
    if (maxviol) *maxviol = f.max;
    if (objective) *objective = PointEvaluator(nlprob).objective(x);
  });
}

int KNLSvalidaterow(KNLSprob nlprob, int row) noexcept {
  return guard_nlp(nlprob, [&] {
    const Model &m = *nlprob->optprob->model;
    if (row < 0 || row >= m.rows()) throw Error("KNLSvalidaterow: row index " + std::to_string(row) + " out of range");
    std::vector<double> x = current_point(nlprob);
    double act = PointEvaluator(nlprob).row_activity(row, x);
    double lo, hi;
    row_bounds(m, row, lo, hi);
    double v = bound_violation(act, lo, hi);
    SlpItems &items = nlprob->items;
    if (items.row_violation.size() != size_t(m.rows())) items.row_violation.assign(size_t(m.rows()), 0.0);
    items.row_violation[size_t(row)] = v;
    char line[200];
    snprintf(line, sizeof line, "Row %d: activity %.10g, bounds [%.10g, %.10g], violation %.3g", row, act, lo, hi, v);
    message(nlprob, line);
  });
}

int KNLSvalidate(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] {
    std::vector<double> viol;
    Feasibility f = check_point(nlprob, current_point(nlprob), &viol);
    nlprob->items.row_violation = std::move(viol);
    char line[160];
    snprintf(line, sizeof line, "Validation: sum of violations %.6g, largest violation %.6g", f.sum, f.max);
    message(nlprob, line);
  });
}

int KNLSvalidatekkt(KNLSprob nlprob, int mode, int respectbasis, int updatemult, double violtarget) noexcept {
  return guard_nlp(nlprob, [&] {
    if (mode != 0 && mode != 1) throw Error("KNLSvalidatekkt: mode must be 0 or 1");
    if ((respectbasis != 0 && respectbasis != 1) || (updatemult != 0 && updatemult != 1))
      throw Error("KNLSvalidatekkt: respectbasis and updatemult must be 0 or 1");
    if (!(violtarget >= 0)) throw Error("KNLSvalidatekkt: the target must be nonnegative");
    const Model &m = *nlprob->optprob->model;
    SlpSolution &s = const_cast<SlpSolution &>(solved(nlprob, "KNLSvalidatekkt"));
    const std::vector<double> &x = s.x;
    PointEvaluator eval(nlprob);
    // Gradient of the Lagrangian f - sum y_r g_r.
    std::vector<double> lag(size_t(m.cols()), 0.0);
    eval.add_objective_gradient(x, lag);
    for (int r = 0; r < m.rows(); ++r)
      if (s.duals[size_t(r)] != 0.0) eval.add_row_gradient(r, x, -s.duals[size_t(r)], lag);
    std::vector<double> djs = mode == 1 ? lag : s.djs;
    if (djs.size() != size_t(m.cols())) djs.assign(size_t(m.cols()), 0.0);
    std::vector<double> colres(size_t(m.cols()), 0.0);
    for (int j = 0; j < m.cols(); ++j) {
      double res = std::fabs(lag[size_t(j)] - djs[size_t(j)]);
      if (respectbasis) {
        // A column strictly inside its bounds must have no reduced cost.
        const double lo = m.lb[size_t(j)], hi = m.ub[size_t(j)], v = x[size_t(j)];
        const double tol = 1e-7 * (1.0 + std::fabs(v));
        if (v > lo + tol && v < hi - tol) res = std::max(res, std::fabs(djs[size_t(j)]));
      }
      colres[size_t(j)] = res;
    }
    std::vector<double> rowres(size_t(m.rows()), 0.0);
    for (int r = 0; r < m.rows(); ++r) {
      double lo, hi;
      row_bounds(m, r, lo, hi);
      if (lo == hi) continue;  // equalities need no complementarity
      double act = eval.row_activity(r, x);
      double dist = std::min(lo > -kInfinity ? std::fabs(act - lo) : kInfinity, hi < kInfinity ? std::fabs(hi - act) : kInfinity);
      rowres[size_t(r)] = dist >= kInfinity ? std::fabs(s.duals[size_t(r)]) : std::fabs(s.duals[size_t(r)]) * dist;
    }
    double worst = 0.0;
    for (double v : colres) worst = std::max(worst, v);
    for (double v : rowres) worst = std::max(worst, v);
    if (updatemult) s.djs = djs;
    nlprob->items.col_kkt_residual = std::move(colres);
    nlprob->items.row_kkt_residual = std::move(rowres);
    char line[160];
    snprintf(line, sizeof line, "KKT validation: largest residual %.6g (%s the target %.3g)", worst,
             worst <= violtarget ? "within" : "above", violtarget);
    message(nlprob, line);
  });
}

int KNLSfixpenalties(KNLSprob nlprob, int *status) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!status) throw Error("KNLSfixpenalties: null argument");
    double mu = nlprob->items.final_penalty;
    if (nlprob->status == KNLS_NLP_UNSTARTED || !(mu > 0)) {
      *status = 1;
      return;
    }
    nlprob->controls.set_double(12408, std::min(mu, nlprob->controls.get_double(12410)));
    *status = 0;
  });
}

int KNLSsetcurrentiv(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] {
    std::vector<double> x = current_point(nlprob);
    for (size_t j = 0; j < x.size(); ++j) {
      SlpVariable &v = nlprob->vars[int(j)];
      v.initial = x[j];
      v.has_initial = true;
    }
  });
}

int KNLSupdatelinearization(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] {
    // Evaluates every row and its gradient at the current point, so that a
    // point where the model cannot be linearised is reported now.
    const Model &m = *nlprob->optprob->model;
    std::vector<double> x = current_point(nlprob);
    PointEvaluator eval(nlprob);
    std::vector<double> grad(x.size());
    for (int r = 0; r < m.rows(); ++r)
      if (!eval.coefficients_of(r).empty() || m.qrows.count(r)) {
        try {
          eval.row_activity(r, x);
          eval.add_row_gradient(r, x, 1.0, grad);
        } catch (const EvalError &e) {
          throw Error("Row " + std::to_string(r) + " cannot be linearised at the current point: " + e.what());
        }
        for (double g : grad)
          if (!std::isfinite(g)) throw Error("Row " + std::to_string(r) + " has a gradient that is not finite");
      }
    nlprob->items.evaluations = eval.evaluations();
  });
}

int KNLSscaling(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] {
    const Model &m = *nlprob->optprob->model;
    std::vector<double> x = current_point(nlprob);
    PointEvaluator eval(nlprob);
    std::vector<double> scale(size_t(m.rows()), 1.0), grad(x.size());
    for (int r = 0; r < m.rows(); ++r) {
      std::fill(grad.begin(), grad.end(), 0.0);
      eval.add_row_gradient(r, x, 1.0, grad);
      double big = 0.0;
      for (double g : grad) big = std::max(big, std::fabs(g));
      if (big > 0 && std::isfinite(big)) scale[size_t(r)] = 1.0 / big;
    }
    nlprob->items.row_scale = std::move(scale);
  });
}

int KNLSreinitialize(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] {
    nlprob->status = KNLS_NLP_UNSTARTED;
    nlprob->stop_status = 0;
    nlprob->iterations = 0;
    nlprob->objective_value = 0.0;
    nlprob->solution = SlpSolution{};
    nlprob->items.final_penalty = 0.0;
    nlprob->items.row_violation.clear();
    nlprob->items.col_kkt_residual.clear();
    nlprob->items.row_kkt_residual.clear();
    for (auto &[j, v] : nlprob->vars) {
      v.value = 0.0;
      v.oldvalue = 0.0;
      v.converged = 0;
    }
  });
}

int KNLSprintevalinfo(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] {
    size_t tokens = 0;
    int userfunc_formulas = 0;
    for (const Coefficient &c : nlprob->coefs) {
      tokens += c.formula->tokens.size();
      userfunc_formulas += c.formula->calls_user_function ? 1 : 0;
    }
    char line[240];
    snprintf(line, sizeof line,
             "Evaluation: %zu nonlinear coefficients, %zu tokens, %d calling user functions, %zu user functions, "
             "%lld formula evaluations in the last solve",
             nlprob->coefs.size(), tokens, userfunc_formulas, nlprob->userfuncs.size(), nlprob->items.evaluations);
    message(nlprob, line);
  });
}

int KNLSprintmemory(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] {
    size_t formulas = 0;
    for (const Coefficient &c : nlprob->coefs)
      formulas += sizeof(Coefficient) + c.formula->tokens.capacity() * sizeof(Token) + c.formula->columns.capacity() * sizeof(int);
    const SlpItems &items = nlprob->items;
    size_t vars = nlprob->vars.size() * (sizeof(SlpVariable) + sizeof(int) + 2 * sizeof(void *));
    size_t other = items.tolsets.size() * sizeof(TolSet) + items.dfs.size() * (sizeof(double) + 2 * sizeof(int) + 4 * sizeof(void *)) +
                   (items.row_violation.capacity() + items.col_kkt_residual.capacity() + items.row_kkt_residual.capacity() +
                    items.row_scale.capacity()) * sizeof(double);
    const SlpSolution &s = nlprob->solution;
    size_t solution = (s.x.capacity() + s.slack.capacity() + s.duals.capacity() + s.djs.capacity()) * sizeof(double);
    char line[240];
    snprintf(line, sizeof line, "Memory: formulas %zu bytes, SLP variables %zu bytes, other SLP items %zu bytes, solution %zu bytes",
             formulas, vars, other, solution);
    message(nlprob, line);
  });
}

}  // extern "C"
