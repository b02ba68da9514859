// Branching directives, secure rows and columns, and bounds stored for the
// branching of the search.
#include <map>
#include <vector>

#include "analysis/presolve.h"
#include "api/model_checks.h"

using namespace krvs;

namespace {

// Directives for ndirs columns; missing arrays keep the defaults.
std::map<int, Directive> gather_directives(const char *fn, const Model &m, int ndirs, const int *colind,
                                           const int *priority, const char *dir, const double *up,
                                           const double *down) {
  check_count(fn, ndirs, "directives");
  check_array(fn, colind, ndirs, "of columns");
  std::map<int, Directive> out;
  for (int k = 0; k < ndirs; ++k) {
    check_index(fn, colind[k], m.cols(), "column");
    Directive d;
    if (priority) {
      if (priority[k] < 0) fail(fn, "negative priority " + std::to_string(priority[k]));
      d.priority = priority[k];
    }
    if (dir) {
      if (dir[k] != 'U' && dir[k] != 'D' && dir[k] != 'N')
        fail(fn, "invalid branching direction " + quoted_char(dir[k]) + " ('U' up, 'D' down or 'N' either)");
      d.direction = dir[k];
    }
    for (const auto &[values, field] : {std::pair{up, &d.up_pseudo}, std::pair{down, &d.down_pseudo}}) {
      if (!values) continue;
      check_finite(fn, values[k], "pseudo cost");
      if (values[k] < 0) fail(fn, "negative pseudo cost " + std::to_string(values[k]));
      *field = values[k];
    }
    out[colind[k]] = d;
  }
  return out;
}

int load_directives(const char *fn, KRVSprob prob, int ndirs, const int *colind, const int *priority,
                    const char *dir, const double *up, const double *down) {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    auto dirs = gather_directives(fn, m, ndirs, colind, priority, dir, up, down);
    m.mip.directives = std::move(dirs);
  });
}

}  // namespace

extern "C" {

int KRVSloaddirs(KRVSprob prob, int ndirs, const int colind[], const int priority[], const char dir[],
                 const double uppseudo[], const double downpseudo[]) noexcept {
  return load_directives("KRVSloaddirs", prob, ndirs, colind, priority, dir, uppseudo, downpseudo);
}

int KRVSloadpresolvedirs(KRVSprob prob, int ndirs, const int colind[], const int priority[], const char dir[],
                         const double uppseudo[], const double downpseudo[]) noexcept {
  const char *fn = "KRVSloadpresolvedirs";
  std::vector<int> original;
  if (prob && ndirs > 0 && colind && analysis::presolved_handle(prob)) {
    const int presolved_cols = analysis::presolved_handle(prob)->model->cols();
    std::vector<int> map(static_cast<size_t>(presolved_cols));
    if (presolved_cols > 0 && KRVSgetpresolvemap(prob, nullptr, map.data()) != 0) return 1;
    original.resize(size_t(ndirs));
    for (int k = 0; k < ndirs; ++k) {
      if (colind[k] < 0 || colind[k] >= presolved_cols) {
        set_problem_error(prob, std::string(fn) + ": column index " + std::to_string(colind[k]) +
                                    " out of range (the presolved problem has " + std::to_string(presolved_cols) +
                                    " columns)");
        return 1;
      }
      original[size_t(k)] = map[size_t(colind[k])];
    }
    colind = original.data();
  }
  return load_directives(fn, prob, ndirs, colind, priority, dir, uppseudo, downpseudo);
}

int KRVSloadbranchdirs(KRVSprob prob, int ncols, const int colind[], const int dir[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSloadbranchdirs";
    Model &m = model_of(prob);
    check_count(fn, ncols, "columns");
    check_array(fn, colind, ncols, "of columns");
    for (int k = 0; k < ncols; ++k) check_index(fn, colind[k], m.cols(), "column");
    for (int k = 0; k < ncols; ++k) {
      Directive &d = m.mip.directives[colind[k]];  // a new one has the default priority
      d.direction = !dir || dir[k] == 0 ? 'N' : dir[k] > 0 ? 'U' : 'D';
    }
  });
}

int KRVSgetdirs(KRVSprob prob, int *ndirs, int colind[], int priority[], char dir[], double uppseudo[],
                double downpseudo[]) noexcept {
  return guard_problem(prob, [&] {
    int k = 0;
    for (const auto &[col, d] : model_of(prob).mip.directives) {
      if (colind) colind[k] = col;
      if (priority) priority[k] = d.priority;
      if (dir) dir[k] = d.direction;
      if (uppseudo) uppseudo[k] = d.up_pseudo;
      if (downpseudo) downpseudo[k] = d.down_pseudo;
      ++k;
    }
    if (ndirs) *ndirs = k;
  });
}

int KRVSloadsecurevecs(KRVSprob prob, int nrows, int ncols, const int rowind[], const int colind[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSloadsecurevecs";
    Model &m = model_of(prob);
    check_count(fn, nrows, "rows");
    check_count(fn, ncols, "columns");
    check_array(fn, rowind, nrows, "of rows");
    check_array(fn, colind, ncols, "of columns");
    for (int k = 0; k < nrows; ++k) check_index(fn, rowind[k], m.rows(), "row");
    for (int k = 0; k < ncols; ++k) check_index(fn, colind[k], m.cols(), "column");
    m.mip.secure_rows.insert(rowind, rowind + nrows);
    m.mip.secure_cols.insert(colind, colind + ncols);
  });
}

int KRVSgetsecurevecs(KRVSprob prob, int *nrows, int *ncols, int rowind[], int colind[]) noexcept {
  return guard_problem(prob, [&] {
    const auto &mip = model_of(prob).mip;
    if (nrows) *nrows = int(mip.secure_rows.size());
    if (ncols) *ncols = int(mip.secure_cols.size());
    if (rowind) std::copy(mip.secure_rows.begin(), mip.secure_rows.end(), rowind);
    if (colind) std::copy(mip.secure_cols.begin(), mip.secure_cols.end(), colind);
  });
}

int KRVSstorebounds(KRVSprob prob, int nbounds, const int colind[], const char bndtype[], const double bndval[],
                    void **bounds) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSstorebounds";
    Model &m = model_of(prob);
    check_count(fn, nbounds, "bounds");
    check_array(fn, colind, nbounds, "of columns");
    check_array(fn, bndtype, nbounds, "of bound types");
    check_array(fn, bndval, nbounds, "of bounds");
    if (!bounds) fail(fn, "null result argument");
    StoredBounds stored;
    for (int k = 0; k < nbounds; ++k) {
      check_index(fn, colind[k], m.cols(), "column");
      if (bndtype[k] != 'L' && bndtype[k] != 'U' && bndtype[k] != 'B')
        fail(fn, "invalid bound type " + quoted_char(bndtype[k]) + " ('L', 'U' or 'B')");
      check_number(fn, bndval[k], "bound");
      stored.cols.push_back(colind[k]);
      stored.types.push_back(bndtype[k]);
      stored.vals.push_back(clamp_infinite(bndval[k]));
    }
    const uint64_t id = next_handle_id();
    m.mip.stored_bounds.emplace(id, std::move(stored));
    *bounds = reinterpret_cast<void *>(uintptr_t(id));
  });
}

int KRVSsetbranchbounds(KRVSprob prob, void *bounds) noexcept {
  return guard_problem(prob, [&] {
    const uint64_t id = uint64_t(reinterpret_cast<uintptr_t>(bounds));
    Model &m = model_of(prob);
    if (!m.mip.stored_bounds.count(id))
      fail("KRVSsetbranchbounds", "unknown stored bounds (not made by storebounds of this problem)");
    m.mip.branch_bounds = id;
  });
}

int KRVSsetbranchcuts(KRVSprob prob, int ncuts, const KRVScut cutind[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSsetbranchcuts";
    Model &m = model_of(prob);
    check_count(fn, ncuts, "cuts");
    check_array(fn, cutind, ncuts, "of cuts");
    std::vector<uint64_t> ids;
    for (int k = 0; k < ncuts; ++k) {
      const uint64_t id = uint64_t(reinterpret_cast<uintptr_t>(cutind[k]));
      if (!m.mip.cuts.find(id)) fail(fn, "unknown cut " + std::to_string(id) + " (deleted, or of another problem)");
      ids.push_back(id);
    }
    m.mip.branch_cuts = std::move(ids);
  });
}

int KRVSgetbranchbounds(KRVSprob prob, void *bounds, int *nbounds, int maxbounds, int colind[], char bndtype[],
                        double bndval[]) noexcept {
  return guard_problem(prob, [&] {
    const auto &stored = model_of(prob).mip.stored_bounds;
    auto it = stored.find(uint64_t(reinterpret_cast<uintptr_t>(bounds)));
    if (it == stored.end()) fail("KRVSgetbranchbounds", "unknown stored bounds");
    const StoredBounds &b = it->second;
    for (size_t k = 0; k < b.cols.size() && int(k) < maxbounds; ++k) {
      if (colind) colind[k] = b.cols[k];
      if (bndtype) bndtype[k] = b.types[k];
      if (bndval) bndval[k] = b.vals[k];
    }
    if (nbounds) *nbounds = int(b.cols.size());
  });
}

}  // extern "C"
