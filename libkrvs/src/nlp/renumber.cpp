// Renumbering of the nonlinear problem after deletions in the optimizer
// problem.
#include "renumber.h"

#include <algorithm>
#include <memory>

#include "core/problem.h"
#include "nlp_problem.h"

namespace krvs::nlp {

namespace {

// New index of every old index, -1 for removed ones.
std::vector<int> new_indices(const std::vector<bool> &remove) {
  std::vector<int> map(remove.size(), -1);
  int next = 0;
  for (size_t k = 0; k < remove.size(); ++k)
    if (!remove[k]) map[k] = next++;
  return map;
}

int mapped(const std::vector<int> &map, int index) {
  return index >= 0 && size_t(index) < map.size() ? map[size_t(index)] : -1;
}

// Per-row and per-column results refer to the old numbering.
void clear_row_results(SlpItems &items) {
  items.cascade_order.clear();
  items.row_violation.clear();
  items.col_kkt_residual.clear();
  items.row_kkt_residual.clear();
  items.row_scale.clear();
}

}  // namespace

void rows_deleted(KRVSprob prob, const std::vector<bool> &remove) {
  KNLSprob nl = prob->nonlinear;
  if (!nl) return;
  const std::vector<int> map = new_indices(remove);
  std::vector<Coefficient> kept;
  for (auto &c : nl->coefs) {
    int r = mapped(map, c.row);
    if (r < 0) continue;
    c.row = r;
    kept.push_back(std::move(c));
  }
  nl->coefs = std::move(kept);
  std::unordered_map<int, int> status;
  for (const auto &[r, s] : nl->row_status)
    if (mapped(map, r) >= 0) status[mapped(map, r)] = s;
  nl->row_status = std::move(status);
  for (auto &[j, v] : nl->vars)
    if (v.detrow >= 0) v.detrow = mapped(map, v.detrow);
  SlpItems &items = nl->items;
  std::map<std::pair<int, int>, double> dfs;
  for (const auto &[key, value] : items.dfs)
    if (mapped(map, key.second) >= 0) dfs[{key.first, mapped(map, key.second)}] = value;
  items.dfs = std::move(dfs);
  std::unordered_map<int, double> weights;
  for (const auto &[r, w] : items.row_weight)
    if (mapped(map, r) >= 0) weights[mapped(map, r)] = w;
  items.row_weight = std::move(weights);
  clear_row_results(items);
  nl->solution = SlpSolution{};
}

void cols_deleted(KRVSprob prob, const std::vector<bool> &remove) {
  KNLSprob nl = prob->nonlinear;
  if (!nl) return;
  const std::vector<int> map = new_indices(remove);
  std::vector<Coefficient> kept;
  for (auto &c : nl->coefs) {
    if (c.col >= 0 && mapped(map, c.col) < 0) continue;
    bool reads_removed = std::any_of(c.formula->columns.begin(), c.formula->columns.end(),
                                     [&](int j) { return mapped(map, j) < 0; });
    if (reads_removed) continue;
    if (c.col >= 0) c.col = mapped(map, c.col);
    bool shifts = std::any_of(c.formula->columns.begin(), c.formula->columns.end(),
                              [&](int j) { return mapped(map, j) != j; });
    if (shifts) {
      auto f = std::make_shared<Formula>(*c.formula);
      for (auto &t : f->tokens)
        if (t.type == KNLS_TOK_COL) t.value = double(mapped(map, int(t.value)));
      for (int &j : f->columns) j = mapped(map, j);
      c.formula = std::move(f);
    }
    kept.push_back(std::move(c));
  }
  nl->coefs = std::move(kept);
  std::unordered_map<int, SlpVariable> vars;
  for (const auto &[j, v] : nl->vars)
    if (mapped(map, j) >= 0) vars[mapped(map, j)] = v;
  nl->vars = std::move(vars);
  SlpItems &items = nl->items;
  std::map<std::pair<int, int>, double> dfs;
  for (const auto &[key, value] : items.dfs)
    if (mapped(map, key.first) >= 0) dfs[{mapped(map, key.first), key.second}] = value;
  items.dfs = std::move(dfs);
  std::unordered_map<int, DeltaType> deltas;
  for (const auto &[j, d] : items.delta_type)
    if (mapped(map, j) >= 0) deltas[mapped(map, j)] = d;
  items.delta_type = std::move(deltas);
  std::unordered_map<int, int> limits;
  for (const auto &[j, l] : items.cascade_limit)
    if (mapped(map, j) >= 0) limits[mapped(map, j)] = l;
  items.cascade_limit = std::move(limits);
  clear_row_results(items);
  nl->solution = SlpSolution{};
}

}  // namespace krvs::nlp

namespace krvs::nlp {

void model_replaced(KRVSprob prob) {
  KNLSprob nl = prob->nonlinear;
  if (!nl) return;
  nl->coefs.clear();
  nl->row_status.clear();
  nl->vars.clear();
  nl->items = SlpItems{};
  nl->ms_jobs.clear();
  nl->ms_jobs_run = 0;
  nl->ms_winner = -1;
  nl->solution = SlpSolution{};
  nl->status = 0;
  nl->stop_status = 0;
  nl->state_flags = 0;
  nl->iterations = 0;
  nl->solve_time = 0.0;
  nl->objective_value = 0.0;
}

}  // namespace krvs::nlp
