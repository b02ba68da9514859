// Second derivatives through the library interface: the Hessian of one
// formula and the Hessian of the problem's Lagrangian at the current point.
#include <algorithm>
#include <cmath>

#include "core/problem.h"
#include "hessian.h"
#include "model/model.h"
#include "nlp_guard.h"
#include "nlp_problem.h"
#include "slp.h"
#include "user_functions.h"

using namespace krvs;
using namespace krvs::nlp;

namespace {

// Copies lower-triangle entries to the caller's arrays (or only counts them).
void hand_out(const std::vector<int> &rows, const std::vector<int> &cols, const std::vector<double> &vals,
              int maxentries, int *nentries, int hrow[], int hcol[], double hval[]) {
  if (!nentries) throw Error("Null entry count passed for a Hessian");
  const bool copy = hrow || hcol || hval;
  if (copy && (!hrow || !hcol || !hval)) throw Error("Hessian output arrays must all be given or all be null");
  if (copy && maxentries < int(rows.size()))
    throw Error("Hessian output arrays too short: " + std::to_string(rows.size()) + " entries needed");
  *nentries = int(rows.size());
  if (!copy) return;
  std::copy(rows.begin(), rows.end(), hrow);
  std::copy(cols.begin(), cols.end(), hcol);
  std::copy(vals.begin(), vals.end(), hval);
}

}  // namespace

namespace krvs::nlp {

LagrangianHessian problem_lagrangian(KNLSprob prob, std::vector<int> &rows) {
  const Model &m = *prob->optprob->model;
  rows.clear();
  for (const Coefficient &c : prob->coefs) rows.push_back(c.row);
  for (const auto &[r, entries] : m.qrows)
    if (!entries.empty()) rows.push_back(r);
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  std::vector<LagrangianHessian::Row> lrows(rows.size());
  for (const Coefficient &c : prob->coefs) {
    if (c.row >= m.rows() || c.col >= m.cols() || (!c.formula->columns.empty() && c.formula->columns.back() >= m.cols()))
      throw Error("A nonlinear coefficient refers to a row or column that no longer exists");
    size_t p = size_t(std::lower_bound(rows.begin(), rows.end(), c.row) - rows.begin());
    lrows[p].terms.push_back(LagrangianHessian::Term{c.factor, c.col, c.formula.get()});
  }
  for (const auto &[r, entries] : m.qrows)
    if (!entries.empty()) lrows[size_t(std::lower_bound(rows.begin(), rows.end(), r) - rows.begin())].quad = &entries;
  return LagrangianHessian(m.cols(), std::move(lrows), m.qobj.empty() ? nullptr : &m.qobj);
}

}  // namespace krvs::nlp

extern "C" {

int KNLSevaluateformulahessian(KNLSprob nlprob, int parsed, const int type[], const double value[], double *result,
                               double gradient[], int maxentries, int *nentries, int hrow[], int hcol[],
                               double hval[]) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!result || !type || !value || !nentries) throw Error("Null argument passed for formula evaluation");
    if (parsed != 1) throw Error("Only parsed (reverse Polish) formulas are accepted");
    size_t len = 0;
    while (type[len] != KNLS_TOK_EOF)
      if (++len > 100000000) throw Error("Formula without end token");
    Formula f = compile_formula(type, value, len);
    std::vector<double> x = current_point(nlprob);
    if (!f.columns.empty() && size_t(f.columns.back()) >= x.size())
      throw Error("Column " + std::to_string(f.columns.back()) + " of the formula does not exist");
    ProblemUserFunctions users(nlprob);
    FormulaHessian h(f);
    std::vector<double> hess(h.pattern_rows().size()), grad(h.columns().size());
    double v = h.evaluate(x.data(), &users, hess.data(), grad.data());
    hand_out(h.pattern_rows(), h.pattern_cols(), hess, maxentries, nentries, hrow, hcol, hval);
    *result = v;
    if (gradient) {
      std::fill(gradient, gradient + x.size(), 0.0);
      for (size_t k = 0; k < grad.size(); ++k) gradient[h.columns()[k]] = grad[k];
    }
  });
}

int KNLSevaluatelagrangianhessian(KNLSprob nlprob, const double rowweight[], double objweight, int maxentries,
                                  int *nentries, int hrow[], int hcol[], double hval[]) noexcept {
  return guard_nlp(nlprob, [&] {
    const Model &m = *nlprob->optprob->model;
    if (!rowweight && m.rows() > 0) throw Error("Null row weights passed for the Lagrangian");
    if (!std::isfinite(objweight)) throw Error("Objective weight of the Lagrangian is not a finite number");
    for (int r = 0; r < m.rows(); ++r)
      if (!std::isfinite(rowweight[r])) throw Error("Row weight " + std::to_string(r) + " is not a finite number");
    std::vector<int> rows;
    LagrangianHessian lag = problem_lagrangian(nlprob, rows);
    std::vector<double> weights(rows.size());
    for (size_t p = 0; p < rows.size(); ++p) weights[p] = rowweight[rows[p]];
    std::vector<double> x = current_point(nlprob), vals;
    ProblemUserFunctions users(nlprob);
    lag.values(x.data(), weights.data(), objweight, &users, vals);
    std::vector<int> hr, hc;
    for (int j = 0; j < lag.cols(); ++j)
      for (int k = lag.start()[size_t(j)]; k < lag.start()[size_t(j) + 1]; ++k) {
        hr.push_back(lag.index()[size_t(k)]);
        hc.push_back(j);
      }
    hand_out(hr, hc, vals, maxentries, nentries, hrow, hcol, hval);
  });
}

}  // extern "C"
