// Queries of single solution values, quadratic coefficients, the basis and
// the control and attribute tables, and computations on solutions the
// caller hands in (objective, slacks, reduced costs, infeasibilities).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <string>

#include "analysis/presolve.h"
#include "api/model_checks.h"
#include "core/controls.h"
#include "core/messages.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"
#include "solve/stored_basis.h"

using namespace krvs;

namespace {

// The LP solution of the last solve, checked to still fit the model.
const SolutionVectors &current_lp(const char *fn, KRVSprob prob, bool duals) {
  const SolveState &state = *prob->solve;
  const Model &m = model_of(prob);
  if (!state.lp.valid) fail(fn, "no LP solution is available (LP status " + std::to_string(state.lp_status) + ")");
  if (state.lp.x.size() != size_t(m.cols()) || state.lp.slack.size() != size_t(m.rows()))
    fail(fn, "the LP solution no longer fits the model: rows or columns were added or deleted since the solve");
  if (duals && (state.lp.duals.size() != size_t(m.rows()) || state.lp.djs.size() != size_t(m.cols())))
    fail(fn, "the last LP solve left no dual values");
  return state.lp;
}

const SolutionVectors &current_mip(const char *fn, KRVSprob prob) {
  const SolveState &state = *prob->solve;
  const Model &m = model_of(prob);
  if (!state.mip.valid) fail(fn, "no MIP solution is available (MIP status " + std::to_string(state.mip_status) + ")");
  if (state.mip.x.size() != size_t(m.cols()) || state.mip.slack.size() != size_t(m.rows()))
    fail(fn, "the MIP solution no longer fits the model: rows or columns were added or deleted since the solve");
  return state.mip;
}

void check_optional_index(const char *fn, int index, int count, const char *kind) {
  if (index < -1 || index >= count)
    fail(fn, std::string(kind) + " index " + std::to_string(index) + " out of range (the problem has " +
                 std::to_string(count) + " " + kind + "s; -1 asks for none)");
}

// The quadratic part of one row as a symmetric map (i <= j) -> Q_ij, with
// duplicate entries added up.
std::map<std::pair<int, int>, double> row_quadratic(const Model &m, int row) {
  std::map<std::pair<int, int>, double> q;
  auto it = m.qrows.find(row);
  if (it == m.qrows.end()) return q;
  for (const QuadEntry &e : it->second) {
    auto key = e.i <= e.j ? std::make_pair(e.i, e.j) : std::make_pair(e.j, e.i);
    q[key] += e.q;
  }
  for (auto p = q.begin(); p != q.end();) p = p->second == 0.0 ? q.erase(p) : std::next(p);
  return q;
}

bool same_name(const char *a, const char *b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower((unsigned char)*a) != std::tolower((unsigned char)*b)) return false;
  return *a == *b;
}

int type_code(ValueType t) {
  switch (t) {
    case ValueType::Int: return KRVS_TYPE_INT;
    case ValueType::Double: return KRVS_TYPE_DOUBLE;
    default: return KRVS_TYPE_STRING;
  }
}

// Row activities of a solution: A x plus, for quadratic rows, x'Qx.
std::vector<double> activities(const Model &m, const double *x) {
  std::vector<double> act(size_t(m.rows()), 0.0);
  const CompressedMatrix &by_cols = m.by_cols();
  for (int j = 0; j < m.cols(); ++j) {
    const double xj = x[j];
    if (xj == 0.0) continue;
    for (int64_t p = by_cols.start[size_t(j)]; p < by_cols.start[size_t(j) + 1]; ++p)
      act[size_t(by_cols.index[size_t(p)])] += by_cols.value[size_t(p)] * xj;
  }
  for (const auto &[row, entries] : m.qrows) {
    if (row < 0 || row >= m.rows()) continue;
    double sum = 0.0;
    for (const QuadEntry &e : entries) sum += (e.i == e.j ? 1.0 : 2.0) * e.q * x[e.i] * x[e.j];
    act[size_t(row)] += sum;
  }
  return act;
}

void check_values(const char *fn, const double *v, int n, const char *what) {
  if (!v && n > 0) fail(fn, std::string("null array of ") + what);
  for (int k = 0; k < n; ++k)
    if (std::isnan(v[k])) fail(fn, std::string("NaN in the ") + what + " at index " + std::to_string(k));
}

// Objective gradient at x: c + Qx (Q of the 0.5 x'Qx form).
std::vector<double> objective_gradient(const Model &m, const double *x) {
  std::vector<double> g(m.obj.begin(), m.obj.end());
  if (!x) return g;
  for (const QuadEntry &e : m.qobj) {
    g[size_t(e.i)] += e.q * x[e.j];
    if (e.i != e.j) g[size_t(e.j)] += e.q * x[e.i];
  }
  return g;
}

std::vector<double> reduced_costs(const Model &m, const double *duals, const double *x) {
  std::vector<double> dj = objective_gradient(m, x);
  const CompressedMatrix &by_cols = m.by_cols();
  for (int j = 0; j < m.cols(); ++j)
    for (int64_t p = by_cols.start[size_t(j)]; p < by_cols.start[size_t(j) + 1]; ++p)
      dj[size_t(j)] -= by_cols.value[size_t(p)] * duals[by_cols.index[size_t(p)]];
  return dj;
}

double objective_value(const Model &m, const double *x) {
  double value = m.obj_constant;
  for (int j = 0; j < m.cols(); ++j) value += m.obj[size_t(j)] * x[j];
  for (const QuadEntry &e : m.qobj) value += (e.i == e.j ? 0.5 : 1.0) * e.q * x[e.i] * x[e.j];
  return value;
}

// How far a row activity lies outside the row's limits (0 inside).
double row_violation(const Model &m, int i, double activity) {
  double lower, upper;
  row_bounds(m, i, lower, upper);
  return std::max({lower - activity, activity - upper, 0.0});
}

double column_violation(const Model &m, int j, double x) {
  const double lb = m.lb[size_t(j)] <= -KRVS_INFINITY ? -INFINITY : m.lb[size_t(j)];
  const double ub = m.ub[size_t(j)] >= KRVS_INFINITY ? INFINITY : m.ub[size_t(j)];
  return std::max({lb - x, x - ub, 0.0});
}

// How far a dual value has the wrong sign for its row (see krvs.h for the
// sign conventions). Range rows and equalities take either sign.
double row_dual_violation(const Model &m, int i, double dual) {
  const double d = m.obj_sense < 0 ? -dual : dual;
  switch (m.rowtype[size_t(i)]) {
    case 'L': return std::max(d, 0.0);
    case 'G': return std::max(-d, 0.0);
    case 'N': return std::fabs(d);
    default: return 0.0;
  }
}

// How far a reduced cost has the wrong sign for where its column lies.
double column_dual_violation(const Model &m, int j, double x, double dj, double tol) {
  const double d = m.obj_sense < 0 ? -dj : dj;
  const bool at_lower = m.lb[size_t(j)] > -KRVS_INFINITY && x <= m.lb[size_t(j)] + tol;
  const bool at_upper = m.ub[size_t(j)] < KRVS_INFINITY && x >= m.ub[size_t(j)] - tol;
  if (at_lower && at_upper) return 0.0;
  if (at_lower) return std::max(-d, 0.0);
  if (at_upper) return std::max(d, 0.0);
  return std::fabs(d);
}

// Row and column scale factors (powers of two near 1 / the largest
// coefficient magnitude), the view in which the solver measures its
// tolerances when it scales; the caller's factors where the caller gave
// some (KRVSscale).
void scale_factors(const Model &m, std::vector<double> &row_scale, std::vector<double> &col_scale) {
  row_scale.assign(size_t(m.rows()), 1.0);
  col_scale.assign(size_t(m.cols()), 1.0);
  if (!m.row_scale_exp.empty() || !m.col_scale_exp.empty()) {
    for (size_t i = 0; i < m.row_scale_exp.size() && i < row_scale.size(); ++i)
      row_scale[i] = std::ldexp(1.0, m.row_scale_exp[i]);
    for (size_t j = 0; j < m.col_scale_exp.size() && j < col_scale.size(); ++j)
      col_scale[j] = std::ldexp(1.0, m.col_scale_exp[j]);
    return;
  }
  const CompressedMatrix &by_rows = m.by_rows();
  for (int i = 0; i < m.rows(); ++i) {
    double big = 0.0;
    for (int64_t p = by_rows.start[size_t(i)]; p < by_rows.start[size_t(i) + 1]; ++p)
      big = std::max(big, std::fabs(by_rows.value[size_t(p)]));
    if (big > 0.0) row_scale[size_t(i)] = std::ldexp(1.0, -std::ilogb(big));
  }
  const CompressedMatrix &by_cols = m.by_cols();
  for (int j = 0; j < m.cols(); ++j) {
    double big = 0.0;
    for (int64_t p = by_cols.start[size_t(j)]; p < by_cols.start[size_t(j) + 1]; ++p)
      big = std::max(big, std::fabs(by_cols.value[size_t(p)]) * row_scale[size_t(by_cols.index[size_t(p)])]);
    if (big > 0.0) col_scale[size_t(j)] = std::ldexp(1.0, -std::ilogb(big));
  }
}

// Infeasible columns and rows of the LP solution, primal and dual, in the
// original or the scaled view.
void infeasibilities(const char *fn, KRVSprob prob, bool scaled, int *npv, int *nps, int *nds, int *ndv, int mx[],
                     int mslack[], int mdual[], int mdj[]) {
  const Model &m = model_of(prob);
  const SolutionVectors &lp = current_lp(fn, prob, false);
  const double feastol = prob->controls.get_double(CTRL_7004);
  const double opttol = prob->controls.get_double(CTRL_7005);
  std::vector<double> row_scale, col_scale;
  if (scaled) scale_factors(m, row_scale, col_scale);
  // In the scaled problem column j's value is x_j / s_j and row i's activity r_i * activity.
  auto rs = [&](int i) { return scaled ? row_scale[size_t(i)] : 1.0; };
  auto cs = [&](int j) { return scaled ? col_scale[size_t(j)] : 1.0; };
  const bool have_duals = lp.duals.size() == size_t(m.rows()) && lp.djs.size() == size_t(m.cols());
  int counts[4] = {0, 0, 0, 0};
  for (int j = 0; j < m.cols(); ++j) {
    const double x = lp.x[size_t(j)];
    if (column_violation(m, j, x) / cs(j) > feastol) {
      if (mx) mx[counts[0]] = j;
      ++counts[0];
    }
    if (have_duals && column_dual_violation(m, j, x, lp.djs[size_t(j)], feastol) * cs(j) > opttol) {
      if (mdj) mdj[counts[3]] = j;
      ++counts[3];
    }
  }
  for (int i = 0; i < m.rows(); ++i) {
    const double activity = m.rhs[size_t(i)] - lp.slack[size_t(i)];
    if (row_violation(m, i, activity) * rs(i) > feastol) {
      if (mslack) mslack[counts[1]] = i;
      ++counts[1];
    }
    if (have_duals && row_dual_violation(m, i, lp.duals[size_t(i)]) / rs(i) > opttol) {
      if (mdual) mdual[counts[2]] = i;
      ++counts[2];
    }
  }
  if (npv) *npv = counts[0];
  if (nps) *nps = counts[1];
  if (nds) *nds = counts[2];
  if (ndv) *ndv = counts[3];
}

}  // namespace

extern "C" {

int KRVSgetqobj(KRVSprob prob, int col1, int col2, double *coef) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetqobj";
    Model &m = model_of(prob);
    check_index(fn, col1, m.cols(), "column");
    check_index(fn, col2, m.cols(), "column");
    if (!coef) fail(fn, "null argument");
    *coef = m.qobj_coef(col1, col2);
  });
}

int KRVSgetqrowcoeff(KRVSprob prob, int row, int col1, int col2, double *coef) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetqrowcoeff";
    Model &m = model_of(prob);
    check_index(fn, row, m.rows(), "row");
    check_index(fn, col1, m.cols(), "column");
    check_index(fn, col2, m.cols(), "column");
    if (!coef) fail(fn, "null argument");
    auto q = row_quadratic(m, row);
    auto it = q.find(col1 <= col2 ? std::make_pair(col1, col2) : std::make_pair(col2, col1));
    *coef = it == q.end() ? 0.0 : it->second;
  });
}

int KRVSgetqrowqmatrix(KRVSprob prob, int row, int start[], int colind[], double rowqcoef[], int maxcoefs,
                       int *ncoefs, int first, int last) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetqrowqmatrix";
    Model &m = model_of(prob);
    check_index(fn, row, m.rows(), "row");
    check_range(fn, first, last, m.cols(), "column");
    auto q = row_quadratic(m, row);
    auto b = q.lower_bound({first, -1}), e = q.lower_bound({last + 1, -1});
    if (ncoefs) *ncoefs = int(std::distance(b, e));
    if (!start && !colind && !rowqcoef) return;
    if (!start) fail(fn, "null start array");
    if (maxcoefs < 0) fail(fn, "negative maximum number of coefficients");
    int written = 0;
    auto it = b;
    for (int j = first; j <= last; ++j) {
      start[j - first] = written;
      for (; it != e && it->first.first == j; ++it) {
        if (written >= maxcoefs) continue;
        if (colind) colind[written] = it->first.second;
        if (rowqcoef) rowqcoef[written] = it->second;
        ++written;
      }
    }
    start[last - first + 1] = written;
  });
}

int KRVSgetlpsolval(KRVSprob prob, int col, int row, double *x, double *slack, double *dual, double *dj) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetlpsolval";
    const Model &m = model_of(prob);
    check_optional_index(fn, col, m.cols(), "column");
    check_optional_index(fn, row, m.rows(), "row");
    const bool want_duals = (row >= 0 && dual) || (col >= 0 && dj);
    const SolutionVectors &lp = current_lp(fn, prob, want_duals);
    if (col >= 0) {
      if (x) *x = lp.x[size_t(col)];
      if (dj) *dj = lp.djs[size_t(col)];
    }
    if (row >= 0) {
      if (slack) *slack = lp.slack[size_t(row)];
      if (dual) *dual = lp.duals[size_t(row)];
    }
  });
}

int KRVSgetmipsolval(KRVSprob prob, int col, int row, double *x, double *slack) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetmipsolval";
    const Model &m = model_of(prob);
    check_optional_index(fn, col, m.cols(), "column");
    check_optional_index(fn, row, m.rows(), "row");
    const SolutionVectors &mip = current_mip(fn, prob);
    if (col >= 0 && x) *x = mip.x[size_t(col)];
    if (row >= 0 && slack) *slack = mip.slack[size_t(row)];
  });
}

int KRVSgetinfeas(KRVSprob prob, int *npv, int *nps, int *nds, int *ndv, int mx[], int mslack[], int mdual[],
                  int mdj[]) noexcept {
  return guard_problem(prob, [&] {
    infeasibilities("KRVSgetinfeas", prob, false, npv, nps, nds, ndv, mx, mslack, mdual, mdj);
  });
}

int KRVSgetscaledinfeas(KRVSprob prob, int *npv, int *nps, int *nds, int *ndv, int mx[], int mslack[], int mdual[],
                        int mdj[]) noexcept {
  return guard_problem(prob, [&] {
    infeasibilities("KRVSgetscaledinfeas", prob, true, npv, nps, nds, ndv, mx, mslack, mdual, mdj);
  });
}

int KRVScalcobjective(KRVSprob prob, const double solution[], double *objective) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVScalcobjective";
    if (analysis::on_presolved(prob, [&](KRVSprob h) { return KRVScalcobjective(h, solution, objective); })) return;
    const Model &m = model_of(prob);
    check_values(fn, solution, m.cols(), "solution");
    if (!objective) fail(fn, "null argument");
    *objective = objective_value(m, solution);
  });
}

int KRVScalcslacks(KRVSprob prob, const double solution[], double slacks[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVScalcslacks";
    if (analysis::on_presolved(prob, [&](KRVSprob h) { return KRVScalcslacks(h, solution, slacks); })) return;
    const Model &m = model_of(prob);
    check_values(fn, solution, m.cols(), "solution");
    check_array(fn, slacks, m.rows(), "of slacks");
    std::vector<double> act = activities(m, solution);
    for (int i = 0; i < m.rows(); ++i) slacks[i] = m.rhs[size_t(i)] - act[size_t(i)];
  });
}

int KRVScalcreducedcosts(KRVSprob prob, const double duals[], const double solution[], double djs[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVScalcreducedcosts";
    if (analysis::on_presolved(prob, [&](KRVSprob h) { return KRVScalcreducedcosts(h, duals, solution, djs); })) return;
    const Model &m = model_of(prob);
    check_values(fn, duals, m.rows(), "duals");
    if (solution) check_values(fn, solution, m.cols(), "solution");
    else if (!m.qobj.empty()) fail(fn, "a problem with a quadratic objective needs the solution as well");
    check_array(fn, djs, m.cols(), "of reduced costs");
    std::vector<double> dj = reduced_costs(m, duals, solution);
    std::copy(dj.begin(), dj.end(), djs);
  });
}

int KRVScalcsolinfo(KRVSprob prob, const double solution[], const double duals[], int property,
                    double *value) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVScalcsolinfo";
    if (analysis::on_presolved(prob, [&](KRVSprob h) { return KRVScalcsolinfo(h, solution, duals, property, value); })) return;
    const Model &m = model_of(prob);
    if (property < KRVS_SOLINFO_ABSPRIMALINFEAS || property > KRVS_SOLINFO_RELDUALINFEAS)
      fail(fn, "unknown property " + std::to_string(property) + " (0 to 3)");
    if (!value) fail(fn, "null argument");
    const bool primal = property <= KRVS_SOLINFO_RELPRIMALINFEAS;
    check_values(fn, solution, m.cols(), "solution");
    if (!primal) check_values(fn, duals, m.rows(), "duals");
    const bool relative = property == KRVS_SOLINFO_RELPRIMALINFEAS || property == KRVS_SOLINFO_RELDUALINFEAS;
    double worst = 0.0;
    if (primal) {
      std::vector<double> act = activities(m, solution);
      for (int j = 0; j < m.cols(); ++j) {
        const double v = column_violation(m, j, solution[j]);
        worst = std::max(worst, relative ? v / (1.0 + std::fabs(solution[j])) : v);
      }
      for (int i = 0; i < m.rows(); ++i) {
        const double v = row_violation(m, i, act[size_t(i)]);
        worst = std::max(worst, relative ? v / (1.0 + std::fabs(m.rhs[size_t(i)])) : v);
      }
    } else {
      const double tol = prob->controls.get_double(CTRL_7004);
      std::vector<double> dj = reduced_costs(m, duals, solution);
      for (int j = 0; j < m.cols(); ++j) {
        const double v = column_dual_violation(m, j, solution[j], dj[size_t(j)], tol);
        worst = std::max(worst, relative ? v / (1.0 + std::fabs(m.obj[size_t(j)])) : v);
      }
      for (int i = 0; i < m.rows(); ++i) {
        const double v = row_dual_violation(m, i, duals[i]);
        worst = std::max(worst, relative ? v / (1.0 + std::fabs(duals[i])) : v);
      }
    }
    *value = worst;
  });
}

int KRVSgetbasis(KRVSprob prob, int rowstat[], int colstat[]) noexcept {
  return guard_problem(prob, [&] {
    const Model &m = model_of(prob);
    const StoredBasis &b = current_basis("KRVSgetbasis", prob);
    for (int i = 0; rowstat && i < m.rows(); ++i) rowstat[i] = row_status_code(m, i, b.row_status[size_t(i)]);
    for (int j = 0; colstat && j < m.cols(); ++j) colstat[j] = column_status_code(b.col_status[size_t(j)]);
  });
}

int KRVSgetbasisval(KRVSprob prob, int row, int col, int *rowstat, int *colstat) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetbasisval";
    const Model &m = model_of(prob);
    check_optional_index(fn, row, m.rows(), "row");
    check_optional_index(fn, col, m.cols(), "column");
    const StoredBasis &b = current_basis(fn, prob);
    if (rowstat) *rowstat = row >= 0 ? row_status_code(m, row, b.row_status[size_t(row)]) : 0;
    if (colstat) *colstat = col >= 0 ? column_status_code(b.col_status[size_t(col)]) : 0;
  });
}

int KRVSgetcontrolinfo(KRVSprob prob, const char *name, int *id, int *type) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetcontrolinfo";
    if (!name || !id || !type) fail(fn, "null argument");
    for (const ControlInfo &c : control_table().rows())
      if (same_name(c.name, name)) {
        *id = c.id;
        *type = type_code(c.type);
        return;
      }
    fail(fn, std::string("no control is named '") + name + "'");
  });
}

int KRVSgetattribinfo(KRVSprob prob, const char *name, int *id, int *type) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetattribinfo";
    if (!name || !id || !type) fail(fn, "null argument");
    for (const AttribInfo &a : attrib_table())
      if (same_name(a.name, name)) {
        *id = a.id;
        *type = type_code(a.type);
        return;
      }
    fail(fn, std::string("no attribute is named '") + name + "'");
  });
}

int KRVSdumpcontrols(KRVSprob prob) noexcept {
  return guard_problem(prob, [&] {
    const ControlValues &values = prob->controls;
    std::string text = "Controls that differ from their defaults:";
    int shown = 0;
    for (const ControlInfo &c : control_table().rows()) {
      std::string value;
      switch (c.type) {
        case ValueType::Int:
          if (double(values.get_int(c.id)) == c.default_number) continue;
          value = std::to_string(values.get_int(c.id));
          break;
        case ValueType::Double: {
          if (values.get_double(c.id) == c.default_number) continue;
          char number[40];
          snprintf(number, sizeof number, "%.10g", values.get_double(c.id));
          value = number;
          break;
        }
        default:
          if (values.get_string(c.id) == c.default_text) continue;
          value = "\"" + values.get_string(c.id) + "\"";
          break;
      }
      text += std::string("\n  ") + c.name + " = " + value;
      ++shown;
    }
    if (!shown) text += " none";
    emit_problem(prob, text, MSG_INFO);
  });
}

}  // extern "C"
