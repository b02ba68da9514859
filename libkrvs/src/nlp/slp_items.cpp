// SLP settings of columns and rows beyond the formulas: SLP variables,
// tolerance sets, delta factors and types, row weights, cascading, and the
// row and column information queries.
#include <algorithm>
#include <cmath>
#include <functional>

#include "core/problem.h"
#include "model/model.h"
#include "nlp_guard.h"
#include "nlp_problem.h"
#include "point_eval.h"
#include "slp.h"

using namespace krvs;
using namespace krvs::nlp;

namespace {

int columns(KNLSprob prob) { return prob->optprob->model->cols(); }
int rows(KNLSprob prob) { return prob->optprob->model->rows(); }

void check_column(KNLSprob prob, int col, const char *where) {
  if (col < 0 || col >= columns(prob))
    throw Error(std::string(where) + ": column index " + std::to_string(col) + " out of range");
}

void check_row(KNLSprob prob, int row, const char *where) {
  if (row < 0 || row >= rows(prob))
    throw Error(std::string(where) + ": row index " + std::to_string(row) + " out of range");
}

void check_count(int n, const void *first, const char *where) {
  if (n < 0) throw Error(std::string(where) + ": negative count");
  if (n > 0 && !first) throw Error(std::string(where) + ": null array");
}

// Checks a batch of SLP variables; the caller applies it only when the whole
// batch is valid.
void check_vars(KNLSprob prob, int n, const int colindex[], const int detrow[], const int tolindex[],
                const double initvalue[], const double stepbound[], const char *where) {
  check_count(n, colindex, where);
  for (int k = 0; k < n; ++k) {
    check_column(prob, colindex[k], where);
    if (detrow && detrow[k] != -1) check_row(prob, detrow[k], where);
    if (tolindex && (tolindex[k] < 0 || size_t(tolindex[k]) > prob->items.tolsets.size()))
      throw Error(std::string(where) + ": tolerance set " + std::to_string(tolindex[k]) + " does not exist");
    if (initvalue && !std::isfinite(initvalue[k])) throw Error(std::string(where) + ": start value that is not a finite number");
    if (stepbound && !(stepbound[k] >= 0 && std::isfinite(stepbound[k])))
      throw Error(std::string(where) + ": step bound must be a nonnegative number");
  }
}

void apply_vars(KNLSprob prob, int n, const int colindex[], const int vartype[], const int detrow[],
                const int seqnum[], const int tolindex[], const double initvalue[], const double stepbound[]) {
  for (int k = 0; k < n; ++k) {
    SlpVariable &v = prob->vars[colindex[k]];
    if (vartype) v.vartype = vartype[k];
    if (detrow) v.detrow = detrow[k];
    if (seqnum) v.seqnum = seqnum[k];
    if (tolindex) v.tolset = tolindex[k];
    if (initvalue) {
      v.initial = initvalue[k];
      v.has_initial = true;
    }
    if (stepbound) v.stepbound = stepbound[k];
  }
  prob->items.cascade_order.clear();
}

std::vector<TolSet> checked_tolsets(int n, const double tol[], const char *where) {
  check_count(n, tol, where);
  std::vector<TolSet> sets(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k)
    for (int t = 0; t < kTolerancesPerSet; ++t) {
      double v = tol[size_t(k) * kTolerancesPerSet + size_t(t)];
      if (!(v >= 0 && std::isfinite(v))) throw Error(std::string(where) + ": tolerances must be nonnegative numbers");
      sets[size_t(k)].tol[size_t(t)] = v;
      if (v > 0) sets[size_t(k)].status |= 1 << t;
    }
  return sets;
}

TolSet &tolset_at(KNLSprob prob, int index, const char *where) {
  if (index < 1 || size_t(index) > prob->items.tolsets.size())
    throw Error(std::string(where) + ": tolerance set " + std::to_string(index) + " does not exist");
  return prob->items.tolsets[size_t(index) - 1];
}

void check_dfs(KNLSprob prob, int n, const int colindex[], const int rowindex[], const double value[], const char *where) {
  check_count(n, colindex, where);
  if (n > 0 && (!rowindex || !value)) throw Error(std::string(where) + ": null array");
  for (int k = 0; k < n; ++k) {
    check_column(prob, colindex[k], where);
    check_row(prob, rowindex[k], where);
    if (!std::isfinite(value[k])) throw Error(std::string(where) + ": delta factor that is not a finite number");
  }
}

// Determined columns (those with a determining row), ordered so that each
// comes after the determined columns its row reads; among columns free to
// go, the lower sequence number (0 last) and then the lower index first.
std::vector<int> compute_cascade_order(KNLSprob prob) {
  const Model &m = *prob->optprob->model;
  std::unordered_map<int, int> determined;  // column -> its row
  for (const auto &[j, v] : prob->vars)
    if (v.detrow >= 0 && j < m.cols() && v.detrow < m.rows()) determined[j] = v.detrow;
  // Columns read by each determining row.
  std::unordered_map<int, std::vector<int>> reads;
  const CompressedMatrix &a = m.by_rows();
  for (const auto &[j, r] : determined) {
    std::vector<int> &cols = reads[j];
    for (int64_t k = a.start[size_t(r)]; k < a.start[size_t(r) + 1]; ++k) cols.push_back(a.index[size_t(k)]);
    auto q = m.qrows.find(r);
    if (q != m.qrows.end())
      for (const auto &e : q->second) {
        cols.push_back(e.i);
        cols.push_back(e.j);
      }
    for (const Coefficient &c : prob->coefs)
      if (c.row == r) {
        if (c.col >= 0) cols.push_back(c.col);
        cols.insert(cols.end(), c.formula->columns.begin(), c.formula->columns.end());
      }
  }
  auto rank = [&](int j) {
    int s = prob->vars[j].seqnum;
    return std::make_pair(s > 0 ? s : 1 << 30, j);
  };
  std::vector<int> pending;
  for (const auto &[j, r] : determined) pending.push_back(j);
  std::sort(pending.begin(), pending.end(), [&](int x, int y) { return rank(x) < rank(y); });
  std::vector<int> order;
  std::unordered_map<int, bool> done;
  while (!pending.empty()) {
    auto ready = std::find_if(pending.begin(), pending.end(), [&](int j) {
      for (int c : reads[j])
        if (c != j && determined.count(c) && !done[c]) return false;
      return true;
    });
    // A cycle of determined columns: take the first by rank and go on.
    if (ready == pending.end()) ready = pending.begin();
    done[*ready] = true;
    order.push_back(*ready);
    pending.erase(ready);
  }
  return order;
}

int cascade_limit_of(KNLSprob prob, int col) {
  auto it = prob->items.cascade_limit.find(col);
  return it == prob->items.cascade_limit.end() ? 20 : it->second;
}

}  // namespace

namespace krvs::nlp {

std::vector<int> cascade_order_in_use(KNLSprob prob) {
  return prob->items.cascade_order.empty() ? compute_cascade_order(prob) : prob->items.cascade_order;
}

bool cascade_point(KNLSprob prob, PointEvaluator &eval, const std::vector<int> &order, std::vector<double> &x) {
  const Model &m = *prob->optprob->model;
  auto stopped = [&] { return prob->interrupt_reason.load() != 0; };
  if (order.empty()) return false;
  if (fire(prob, NLCB_CASCADESTART)) return stopped();
  std::vector<double> grad(x.size());
  for (int j : order) {
    if (stopped()) return true;
    const int r = prob->vars[j].detrow;
    double lo, hi;
    row_bounds(m, r, lo, hi);
    const double lbj = m.lb[size_t(j)], ubj = m.ub[size_t(j)];
    const double previous = x[size_t(j)];
    // Newton steps on the row's activity in x_j towards the nearest of its
    // bounds, kept within the column's bounds.
    bool within = false;
    try {
      for (int step = 0;; ++step) {
        double act = eval.row_activity(r, x);
        double target = act < lo ? lo : act > hi ? hi : act;
        double gap = target - act;
        if (std::fabs(gap) <= 1e-9 * (1.0 + std::fabs(target))) {
          within = true;
          break;
        }
        if (step >= cascade_limit_of(prob, j)) break;
        std::fill(grad.begin(), grad.end(), 0.0);
        eval.add_row_gradient(r, x, 1.0, grad);
        double slope = grad[size_t(j)];
        if (slope == 0.0 || !std::isfinite(slope)) break;
        double next = std::min(std::max(x[size_t(j)] + gap / slope, lbj), ubj);
        if (next == x[size_t(j)]) break;
        x[size_t(j)] = next;
      }
    } catch (const EvalError &) {
      // A formula of the row fails on the way: the column keeps its value.
      x[size_t(j)] = previous;
    }
    if (!within && fire_column(prob, NLCB_CASCADEVARFAIL, j)) return true;
    double value = x[size_t(j)];
    fire_drcol(prob, j, &value, lbj, ubj);
    x[size_t(j)] = value;
    if (fire_column(prob, NLCB_CASCADEVAR, j)) x[size_t(j)] = previous;
  }
  return fire(prob, NLCB_CASCADEEND) || stopped();
}

}  // namespace krvs::nlp

extern "C" {

int KNLSaddvars(KNLSprob nlprob, int nvars, const int colindex[], const int vartype[], const int detrow[],
                const int seqnum[], const int tolindex[], const double initvalue[], const double stepbound[]) noexcept {
  return guard_nlp(nlprob, [&] {
    check_vars(nlprob, nvars, colindex, detrow, tolindex, initvalue, stepbound, "KNLSaddvars");
    apply_vars(nlprob, nvars, colindex, vartype, detrow, seqnum, tolindex, initvalue, stepbound);
  });
}

int KNLSloadvars(KNLSprob nlprob, int nvars, const int colindex[], const int vartype[], const int detrow[],
                 const int seqnum[], const int tolindex[], const double initvalue[], const double stepbound[]) noexcept {
  return guard_nlp(nlprob, [&] {
    check_vars(nlprob, nvars, colindex, detrow, tolindex, initvalue, stepbound, "KNLSloadvars");
    nlprob->vars.clear();
    apply_vars(nlprob, nvars, colindex, vartype, detrow, seqnum, tolindex, initvalue, stepbound);
  });
}

int KNLSaddtolsets(KNLSprob nlprob, int ntolsets, const double tol[]) noexcept {
  return guard_nlp(nlprob, [&] {
    std::vector<TolSet> sets = checked_tolsets(ntolsets, tol, "KNLSaddtolsets");
    nlprob->items.tolsets.insert(nlprob->items.tolsets.end(), sets.begin(), sets.end());
  });
}

int KNLSloadtolsets(KNLSprob nlprob, int ntolsets, const double tol[]) noexcept {
  return guard_nlp(nlprob, [&] {
    std::vector<TolSet> sets = checked_tolsets(ntolsets, tol, "KNLSloadtolsets");
    for (const auto &[j, v] : nlprob->vars)
      if (v.tolset > ntolsets)
        throw Error("KNLSloadtolsets: column " + std::to_string(j) + " uses tolerance set " + std::to_string(v.tolset) +
                    ", which the new sets do not have");
    nlprob->items.tolsets = std::move(sets);
  });
}

int KNLSchgtolset(KNLSprob nlprob, int tolset, const int *status, const double tols[]) noexcept {
  return guard_nlp(nlprob, [&] {
    TolSet &set = tolset_at(nlprob, tolset, "KNLSchgtolset");
    TolSet changed = set;
    if (tols) changed = checked_tolsets(1, tols, "KNLSchgtolset")[0];
    changed.status = status ? *status : set.status;
    if (changed.status < 0 || changed.status >= (1 << kTolerancesPerSet))
      throw Error("KNLSchgtolset: status must be a combination of the nine tolerance bits");
    set = changed;
  });
}

int KNLSgettolset(KNLSprob nlprob, int tolset, int *status, double tols[]) noexcept {
  return guard_nlp(nlprob, [&] {
    const TolSet &set = tolset_at(nlprob, tolset, "KNLSgettolset");
    if (status) *status = set.status;
    if (tols) std::copy(set.tol.begin(), set.tol.end(), tols);
  });
}

int KNLSdeltolsets(KNLSprob nlprob, int ntolsets, const int index[]) noexcept {
  return guard_nlp(nlprob, [&] {
    check_count(ntolsets, index, "KNLSdeltolsets");
    const size_t count = nlprob->items.tolsets.size();
    std::vector<bool> remove(count + 1, false);
    for (int k = 0; k < ntolsets; ++k) {
      tolset_at(nlprob, index[k], "KNLSdeltolsets");
      remove[size_t(index[k])] = true;
    }
    std::vector<int> renumber(count + 1, 0);
    std::vector<TolSet> kept;
    for (size_t s = 1; s <= count; ++s)
      if (!remove[s]) {
        kept.push_back(nlprob->items.tolsets[s - 1]);
        renumber[s] = int(kept.size());
      }
    nlprob->items.tolsets = std::move(kept);
    for (auto &[j, v] : nlprob->vars)
      if (v.tolset > 0) v.tolset = renumber[size_t(v.tolset)];
  });
}

int KNLSadddfs(KNLSprob nlprob, int ndfs, const int colindex[], const int rowindex[], const double value[]) noexcept {
  return guard_nlp(nlprob, [&] {
    check_dfs(nlprob, ndfs, colindex, rowindex, value, "KNLSadddfs");
    for (int k = 0; k < ndfs; ++k) nlprob->items.dfs[{colindex[k], rowindex[k]}] = value[k];
  });
}

int KNLSloaddfs(KNLSprob nlprob, int ndfs, const int colindex[], const int rowindex[], const double value[]) noexcept {
  return guard_nlp(nlprob, [&] {
    check_dfs(nlprob, ndfs, colindex, rowindex, value, "KNLSloaddfs");
    nlprob->items.dfs.clear();
    for (int k = 0; k < ndfs; ++k) nlprob->items.dfs[{colindex[k], rowindex[k]}] = value[k];
  });
}

int KNLSchgdf(KNLSprob nlprob, int col, int row, double *value) noexcept {
  return guard_nlp(nlprob, [&] {
    check_column(nlprob, col, "KNLSchgdf");
    check_row(nlprob, row, "KNLSchgdf");
    if (value && !std::isfinite(*value)) throw Error("KNLSchgdf: delta factor that is not a finite number");
    auto &dfs = nlprob->items.dfs;
    auto it = dfs.find({col, row});
    double previous = it == dfs.end() ? 0.0 : it->second;
    if (value) {
      dfs[{col, row}] = *value;
      *value = previous;
    } else if (it != dfs.end()) {
      dfs.erase(it);
    }
  });
}

int KNLSgetdf(KNLSprob nlprob, int col, int row, double *value) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!value) throw Error("KNLSgetdf: null argument");
    check_column(nlprob, col, "KNLSgetdf");
    check_row(nlprob, row, "KNLSgetdf");
    auto it = nlprob->items.dfs.find({col, row});
    if (it == nlprob->items.dfs.end())
      throw Error("KNLSgetdf: no delta factor for column " + std::to_string(col) + " in row " + std::to_string(row));
    *value = it->second;
  });
}

int KNLSchgrowwt(KNLSprob nlprob, int row, const double *weight) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!weight) throw Error("KNLSchgrowwt: null argument");
    check_row(nlprob, row, "KNLSchgrowwt");
    if (!(*weight > 0 && *weight < 1e20)) throw Error("KNLSchgrowwt: the weight must be a positive number");
    if (*weight == 1.0)
      nlprob->items.row_weight.erase(row);
    else
      nlprob->items.row_weight[row] = *weight;
  });
}

int KNLSgetrowwt(KNLSprob nlprob, int row, double *weight) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!weight) throw Error("KNLSgetrowwt: null argument");
    check_row(nlprob, row, "KNLSgetrowwt");
    *weight = nlprob->items.row_weight_of(row);
  });
}

int KNLSchgdeltatype(KNLSprob nlprob, int nvars, const int varind[], const int deltatypes[], const double values[]) noexcept {
  return guard_nlp(nlprob, [&] {
    check_count(nvars, varind, "KNLSchgdeltatype");
    if (nvars > 0 && (!deltatypes || !values)) throw Error("KNLSchgdeltatype: null array");
    for (int k = 0; k < nvars; ++k) {
      check_column(nlprob, varind[k], "KNLSchgdeltatype");
      if (deltatypes[k] != 0 && deltatypes[k] != 1) throw Error("KNLSchgdeltatype: delta type must be 0 or 1");
      if (!(values[k] > 0 && std::isfinite(values[k]))) throw Error("KNLSchgdeltatype: delta must be a positive number");
    }
    for (int k = 0; k < nvars; ++k) nlprob->items.delta_type[varind[k]] = DeltaType{deltatypes[k], values[k]};
  });
}

int KNLSchgcascadenlimit(KNLSprob nlprob, int col, int limit) noexcept {
  return guard_nlp(nlprob, [&] {
    check_column(nlprob, col, "KNLSchgcascadenlimit");
    if (limit < 0) throw Error("KNLSchgcascadenlimit: negative limit");
    nlprob->items.cascade_limit[col] = limit;
  });
}

int KNLScascadeorder(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->items.cascade_order = compute_cascade_order(nlprob); });
}

int KNLScascade(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] {
    nlprob->interrupt_reason.store(0);
    std::vector<int> order = cascade_order_in_use(nlprob);
    std::vector<double> x = current_point(nlprob);
    PointEvaluator eval(nlprob);
    cascade_point(nlprob, eval, order, x);
    if (nlprob->status != KNLS_NLP_UNSTARTED && nlprob->solution.x.size() == x.size()) {
      nlprob->solution.x = x;
    } else {
      for (int j : order) {
        SlpVariable &v = nlprob->vars[j];
        v.initial = x[size_t(j)];
        v.has_initial = true;
      }
    }
    for (int j : order) nlprob->vars[j].value = x[size_t(j)];
  });
}

int KNLSgetrowinfo(KNLSprob nlprob, int infotype, int row, KNLSinfo *info) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!info) throw Error("KNLSgetrowinfo: null argument");
    check_row(nlprob, row, "KNLSgetrowinfo");
    const SlpItems &items = nlprob->items;
    auto from = [&](const std::vector<double> &values, const char *what) {
      if (size_t(row) >= values.size()) throw Error(std::string("KNLSgetrowinfo: no ") + what + " has been computed");
      return values[size_t(row)];
    };
    KNLSinfo out{1, 0, 0.0};
    switch (infotype) {
      case KNLS_ROWINFO_NCOEFS:
        out.ivalue = int(std::count_if(nlprob->coefs.begin(), nlprob->coefs.end(), [&](const Coefficient &c) { return c.row == row; }));
        break;
      case KNLS_ROWINFO_STATUS: {
        auto it = nlprob->row_status.find(row);
        out.ivalue = it == nlprob->row_status.end() ? 0 : it->second;
        break;
      }
      case KNLS_ROWINFO_WEIGHT: out = {2, 0, items.row_weight_of(row)}; break;
      case KNLS_ROWINFO_ACTIVITY: {
        PointEvaluator eval(nlprob);
        out = {2, 0, eval.row_activity(row, current_point(nlprob))};
        break;
      }
      case KNLS_ROWINFO_VIOLATION: out = {2, 0, from(items.row_violation, "validation")}; break;
      case KNLS_ROWINFO_KKT: out = {2, 0, from(items.row_kkt_residual, "KKT validation")}; break;
      case KNLS_ROWINFO_SCALE: out = {2, 0, from(items.row_scale, "scaling")}; break;
      default: throw Error("KNLSgetrowinfo: unknown information type " + std::to_string(infotype));
    }
    *info = out;
  });
}

int KNLSgetcolinfo(KNLSprob nlprob, int infotype, int col, KNLSinfo *info) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!info) throw Error("KNLSgetcolinfo: null argument");
    check_column(nlprob, col, "KNLSgetcolinfo");
    const SlpItems &items = nlprob->items;
    auto var = nlprob->vars.find(col);
    KNLSinfo out{1, 0, 0.0};
    switch (infotype) {
      case KNLS_COLINFO_NONLINEAR: {
        const Model &m = *nlprob->optprob->model;
        bool nl = false;
        for (const Coefficient &c : nlprob->coefs)
          nl = nl || c.col == col || std::binary_search(c.formula->columns.begin(), c.formula->columns.end(), col);
        for (const auto &[r, entries] : m.qrows)
          for (const auto &e : entries) nl = nl || e.i == col || e.j == col;
        out.ivalue = nl ? 1 : 0;
        break;
      }
      case KNLS_COLINFO_VALUE: out = {2, 0, current_point(nlprob)[size_t(col)]}; break;
      case KNLS_COLINFO_DETROW: out.ivalue = var == nlprob->vars.end() ? -1 : var->second.detrow; break;
      case KNLS_COLINFO_CASCADEPOS: {
        auto it = std::find(items.cascade_order.begin(), items.cascade_order.end(), col);
        out.ivalue = it == items.cascade_order.end() ? -1 : int(it - items.cascade_order.begin());
        break;
      }
      case KNLS_COLINFO_KKT:
        if (size_t(col) >= items.col_kkt_residual.size()) throw Error("KNLSgetcolinfo: no KKT validation has been done");
        out = {2, 0, items.col_kkt_residual[size_t(col)]};
        break;
      case KNLS_COLINFO_CASCADELIMIT: out.ivalue = cascade_limit_of(nlprob, col); break;
      default: throw Error("KNLSgetcolinfo: unknown information type " + std::to_string(infotype));
    }
    *info = out;
  });
}

}  // extern "C"
