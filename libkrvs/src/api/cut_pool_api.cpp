// The cut pool: cuts added to the problem or stored for later, loaded,
// deleted and queried by handle. A handle is the cut's id, never a pointer
// that is followed, so a stale or foreign handle is refused.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

#include "api/model_checks.h"
#include "solve/live_model.h"
#include "solve/solve_state.h"

using namespace krvs;

namespace {

uint64_t id_of(KRVScut handle) { return uint64_t(reinterpret_cast<uintptr_t>(handle)); }
KRVScut handle_of(uint64_t id) { return reinterpret_cast<KRVScut>(uintptr_t(id)); }

Cut *cut_of(const char *fn, Model &m, KRVScut handle) {
  Cut *cut = m.mip.cuts.find(id_of(handle));
  if (!cut) fail(fn, "unknown cut " + std::to_string(id_of(handle)) + " (deleted, or of another problem)");
  return cut;
}

void check_selection(const char *fn, int interp) {
  if (!CutPool::valid_interp(interp))
    fail(fn, "invalid interp " + std::to_string(interp) +
                 " (-1 every cut, 1 equal type, 2 type sharing a bit, 3 type holding every bit)");
}

// Cuts given as rows: start has ncuts + 1 entries.
std::vector<Cut> gather_cuts(const char *fn, const Model &m, int ncuts, const int *cuttype, const char *rowtype,
                             const double *rhs, const int64_t *start, const int *colind, const double *cutcoef) {
  check_count(fn, ncuts, "cuts");
  check_array(fn, cuttype, ncuts, "of cut types");
  check_array(fn, rowtype, ncuts, "of row types");
  check_array(fn, rhs, ncuts, "of right-hand sides");
  check_array(fn, start, ncuts, "of starts");
  std::vector<Cut> cuts(static_cast<size_t>(ncuts));
  if (ncuts == 0) return cuts;
  SparseBlock block = gather_block(
      fn, ncuts, [&](int k) { return start[k]; }, [&](int k) { return start[k + 1]; }, colind, cutcoef, m.cols(),
      "column");
  for (int k = 0; k < ncuts; ++k) {
    Cut &c = cuts[size_t(k)];
    if (rowtype[k] != 'L' && rowtype[k] != 'G' && rowtype[k] != 'E')
      fail(fn, "invalid row type " + quoted_char(rowtype[k]) + " of cut " + std::to_string(k) + " ('L', 'G' or 'E')");
    check_finite(fn, rhs[k], "right-hand side");
    c.type = cuttype[k];
    c.rowtype = rowtype[k];
    c.rhs = rhs[k];
    // Columns ascending, repeated ones summed.
    std::map<int, double> terms;
    for (int64_t p = block.start[size_t(k)]; p < block.start[size_t(k) + 1]; ++p)
      terms[block.index[size_t(p)]] += block.value[size_t(p)];
    for (const auto &[col, v] : terms) {
      c.cols.push_back(col);
      c.coefs.push_back(v);
    }
  }
  return cuts;
}

// The cuts named by handles (all of them checked first), or, with ncuts -1,
// every cut of the pool that `wanted` accepts and that matches the type.
template <class Wanted>
std::vector<uint64_t> select_cuts(const char *fn, Model &m, int cuttype, int interp, int ncuts,
                                  const KRVScut *cutind, Wanted wanted) {
  std::vector<uint64_t> ids;
  if (ncuts < 0) {
    check_selection(fn, interp);
    for (const auto &[id, c] : m.mip.cuts.cuts())
      if (wanted(c) && CutPool::matches(c, cuttype, interp)) ids.push_back(id);
    return ids;
  }
  check_array(fn, cutind, ncuts, "of cuts");
  for (int k = 0; k < ncuts; ++k) {
    cut_of(fn, m, cutind[k]);
    ids.push_back(id_of(cutind[k]));
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

// The solution cuts are measured at: the last LP solution, else the last
// MIP solution, of the current columns; null when there is none.
const std::vector<double> *current_point(KRVSprob prob) {
  const SolveState &s = *prob->solve;
  const int n = prob->model->cols();
  if (s.lp.valid && int(s.lp.x.size()) == n) return &s.lp.x;
  if (s.mip.valid && int(s.mip.x.size()) == n) return &s.mip.x;
  return nullptr;
}

void bump(Model &m) {
  ++m.structure_version;
  ++m.data_version;
}

}  // namespace

extern "C" {

int KRVSaddcuts64(KRVSprob prob, int ncuts, const int cuttype[], const char rowtype[], const double rhs[],
                  const int64_t start[], const int colind[], const double cutcoef[]) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    std::vector<Cut> cuts = gather_cuts("KRVSaddcuts64", m, ncuts, cuttype, rowtype, rhs, start, colind, cutcoef);
    if (cuts.empty()) return;
    ModelEdit edit(prob);
    for (Cut &c : cuts) {
      c.active = true;
      m.mip.cuts.add(std::move(c));
    }
    bump(m);
    edit.cuts_changed();
  });
}

int KRVSstorecuts64(KRVSprob prob, int ncuts, int nodups, const int cuttype[], const char rowtype[],
                    const double rhs[], const int64_t start[], KRVScut cutind[], const int colind[],
                    const double cutcoef[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSstorecuts64";
    Model &m = model_of(prob);
    if (nodups < 0 || nodups > 2)
      fail(fn, "invalid nodups " + std::to_string(nodups) +
                   " (0 keep duplicates, 1 drop duplicates of the same type, 2 drop duplicates of any type)");
    std::vector<Cut> cuts = gather_cuts(fn, m, ncuts, cuttype, rowtype, rhs, start, colind, cutcoef);
    for (size_t k = 0; k < cuts.size(); ++k) {
      Cut &c = cuts[k];
      uint64_t id = nodups ? m.mip.cuts.find_duplicate(c, nodups == 1) : 0;
      if (id) {
        m.mip.cuts.find(id)->stored = true;  // the existing cut stands for the new one
      } else {
        c.stored = true;
        id = m.mip.cuts.add(std::move(c));
      }
      if (cutind) cutind[k] = handle_of(id);
    }
  });
}

int KRVSloadcuts(KRVSprob prob, int cuttype, int interp, int ncuts, const KRVScut cutind[]) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    auto ids = select_cuts("KRVSloadcuts", m, cuttype, interp, ncuts, cutind, [](const Cut &c) { return !c.active; });
    bool changed = false;
    ModelEdit edit(prob);
    for (uint64_t id : ids) {
      Cut *c = m.mip.cuts.find(id);
      changed = changed || !c->active;
      c->active = true;
    }
    if (!changed) return;
    bump(m);
    edit.cuts_changed();
  });
}

int KRVSdelcuts(KRVSprob prob, int basis, int cuttype, int interp, double delta, int ncuts,
                const KRVScut cutind[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSdelcuts";
    Model &m = model_of(prob);
    if (basis != 0 && basis != 1) fail(fn, "invalid basis flag " + std::to_string(basis) + " (0 or 1)");
    check_number(fn, delta, "delta");
    auto ids = select_cuts(fn, m, cuttype, interp, ncuts, cutind, [](const Cut &c) { return c.active; });
    const std::vector<double> *x = current_point(prob);
    const double feastol = 1e-6;
    bool changed = false;
    ModelEdit edit(prob);
    for (uint64_t id : ids) {
      Cut *c = m.mip.cuts.find(id);
      if (!c->active) continue;
      if (x) {
        const double slack = std::fabs(c->slack(*x));
        if (slack <= delta) continue;             // not slack enough
        if (basis && slack <= feastol) continue;  // tight: its row may be in the basis
      }
      changed = true;
      if (c->stored)
        c->active = false;
      else
        m.mip.cuts.erase(id);
    }
    if (!changed) return;
    bump(m);
    edit.cuts_changed();
  });
}

int KRVSdelcpcuts(KRVSprob prob, int cuttype, int interp, int ncuts, const KRVScut cutind[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSdelcpcuts";
    Model &m = model_of(prob);
    auto ids = select_cuts(fn, m, cuttype, interp, ncuts, cutind, [](const Cut &c) { return c.stored && !c.active; });
    for (uint64_t id : ids)
      if (m.mip.cuts.find(id)->active)
        fail(fn, "cut " + std::to_string(id) + " applies to the problem; delete it with delcuts first");
    for (uint64_t id : ids) m.mip.cuts.erase(id);
  });
}

int KRVSgetcutlist(KRVSprob prob, int cuttype, int interp, int *ncuts, int maxcuts, KRVScut cutind[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetcutlist";
    check_selection(fn, interp);
    int count = 0;
    for (const auto &[id, c] : model_of(prob).mip.cuts.cuts()) {
      if (!c.active || !CutPool::matches(c, cuttype, interp)) continue;
      if (cutind && count < maxcuts) cutind[count] = handle_of(id);
      ++count;
    }
    if (ncuts) *ncuts = count;
  });
}

int KRVSgetcpcutlist(KRVSprob prob, int cuttype, int interp, double delta, int *ncuts, int maxcuts, KRVScut cutind[],
                     double viol[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetcpcutlist";
    check_selection(fn, interp);
    check_number(fn, delta, "delta");
    const std::vector<double> *x = current_point(prob);
    int count = 0;
    for (const auto &[id, c] : model_of(prob).mip.cuts.cuts()) {
      if (!c.stored || !CutPool::matches(c, cuttype, interp)) continue;
      const double v = x ? c.violation(*x) : 0.0;
      if (v < delta) continue;
      if (count < maxcuts) {
        if (cutind) cutind[count] = handle_of(id);
        if (viol) viol[count] = v;
      }
      ++count;
    }
    if (ncuts) *ncuts = count;
  });
}

int KRVSgetcpcuts64(KRVSprob prob, const KRVScut rowind[], int ncuts, int64_t maxcoefs, int cuttype[],
                    char rowtype[], int64_t start[], int colind[], double cutcoef[], double rhs[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetcpcuts64";
    Model &m = model_of(prob);
    check_count(fn, ncuts, "cuts");
    check_array(fn, rowind, ncuts, "of cuts");
    std::vector<const Cut *> cuts;
    for (int k = 0; k < ncuts; ++k) cuts.push_back(cut_of(fn, m, rowind[k]));
    int64_t total = 0;
    for (int k = 0; k < ncuts; ++k) {
      const Cut &c = *cuts[size_t(k)];
      if (cuttype) cuttype[k] = c.type;
      if (rowtype) rowtype[k] = c.rowtype;
      if (rhs) rhs[k] = c.rhs;
      if (start) start[k] = total;
      for (size_t p = 0; p < c.cols.size(); ++p, ++total)
        if (total < maxcoefs) {
          if (colind) colind[total] = c.cols[p];
          if (cutcoef) cutcoef[total] = c.coefs[p];
        }
    }
    if (start) start[ncuts] = total;
  });
}

int KRVSgetcutmap(KRVSprob prob, int ncuts, const KRVScut cutind[], int cutmap[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetcutmap";
    Model &m = model_of(prob);
    check_count(fn, ncuts, "cuts");
    check_array(fn, cutind, ncuts, "of cuts");
    check_array(fn, cutmap, ncuts, "for the map");
    for (int k = 0; k < ncuts; ++k) cut_of(fn, m, cutind[k]);
    const std::vector<uint64_t> active = m.mip.cuts.active_ids();
    for (int k = 0; k < ncuts; ++k) {
      auto it = std::lower_bound(active.begin(), active.end(), id_of(cutind[k]));
      cutmap[k] = it != active.end() && *it == id_of(cutind[k]) ? m.rows() + int(it - active.begin()) : -1;
    }
  });
}

int KRVSgetcutslack(KRVSprob prob, KRVScut cut, double *slack) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetcutslack";
    Cut *c = cut_of(fn, model_of(prob), cut);
    if (!slack) fail(fn, "null slack argument");
    const std::vector<double> *x = current_point(prob);
    if (!x) fail(fn, "there is no solution of the current model to measure the cut at");
    *slack = c->slack(*x);
  });
}

int KRVSloadmodelcuts(KRVSprob prob, int nrows, const int rowind[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSloadmodelcuts";
    Model &m = model_of(prob);
    check_count(fn, nrows, "rows");
    check_array(fn, rowind, nrows, "of rows");
    for (int k = 0; k < nrows; ++k) check_index(fn, rowind[k], m.rows(), "row");
    m.mip.model_cut_rows.insert(rowind, rowind + nrows);
  });
}

int KRVSloaddelayedrows(KRVSprob prob, int nrows, const int rowind[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSloaddelayedrows";
    Model &m = model_of(prob);
    check_count(fn, nrows, "rows");
    check_array(fn, rowind, nrows, "of rows");
    for (int k = 0; k < nrows; ++k) check_index(fn, rowind[k], m.rows(), "row");
    m.mip.delayed_rows.insert(rowind, rowind + nrows);
  });
}

int KRVSgetmodelcuts(KRVSprob prob, int *nrows, int maxrows, int rowind[], int delayed) noexcept {
  return guard_problem(prob, [&] {
    const auto &rows = delayed ? model_of(prob).mip.delayed_rows : model_of(prob).mip.model_cut_rows;
    int count = 0;
    for (int r : rows) {
      if (rowind && count < maxrows) rowind[count] = r;
      ++count;
    }
    if (nrows) *nrows = count;
  });
}

}  // extern "C"
