// Appending rows, columns, sets, quadratic row parts and names. Each call
// costs time in proportion to what it adds.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

#include "api/model_checks.h"
#include "solve/solve_state.h"

using namespace krvs;

namespace {

// The end of vector k in a block given by starts: the next start, or the
// total count for the last vector (so callers may pass n or n + 1 starts).
int64_t block_end(const int64_t *start, int k, int n, int64_t total) { return k + 1 < n ? start[k + 1] : total; }

// Clamps to +-1e20, when it goes out of scope (after the model took a batch,
// on every path), the entries each array gained from position `first` on.
class ClampAppended {
 public:
  ClampAppended(size_t first, std::initializer_list<std::vector<double> *> arrays) : first_(first), arrays_(arrays) {}
  ~ClampAppended() {
    for (std::vector<double> *a : arrays_)
      for (size_t i = first_; i < a->size(); ++i) (*a)[i] = clamp_infinite((*a)[i]);
  }
  ClampAppended(const ClampAppended &) = delete;
  ClampAppended &operator=(const ClampAppended &) = delete;

 private:
  size_t first_;
  std::vector<std::vector<double> *> arrays_;
};

// Whether a batch's starts ascend from 0 with its coefficients in place:
// then it is checked and handed on as it is, without a copy (the common case
// of a large batch).
bool plain_block(const int64_t *start, int n, int64_t ncoefs, const int *index, const double *value) {
  if (start[0] != 0 || !index || !value) return false;
  for (int k = 0; k < n; ++k) {
    int64_t e = block_end(start, k, n, ncoefs);
    if (e < start[k] || e > ncoefs) return false;
  }
  return true;
}

// Checks a batch's indices (0 <= index < count) and coefficients (finite).
// One pass without branches over millions of entries; only a batch with a
// fault is read again entry by entry, to name the first one.
void check_entries(const char *fn, const int *index, const double *value, int64_t n, int64_t count,
                   const char *kind) {
  int lowest = 0, highest = 0;
  bool finite = true;
  if (n > 0) lowest = highest = index[0];
  for (int64_t k = 0; k < n; ++k) {
    lowest = std::min(lowest, index[k]);
    highest = std::max(highest, index[k]);
    finite &= std::isfinite(value[k]);
  }
  if (lowest >= 0 && highest < count && finite) return;
  for (int64_t k = 0; k < n; ++k) {
    check_index(fn, index[k], count, kind);
    check_finite(fn, value[k], "coefficient");
  }
}

}  // namespace

extern "C" {

int KRVSaddrows64(KRVSprob prob, int nrows, int64_t ncoefs, const char rowtype[], const double rhs[],
                  const double range[], const int64_t start[], const int colind[], const double rowcoef[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSaddrows64";
    Model &m = model_of(prob);
    check_count(fn, nrows, "rows");
    check_count(fn, ncoefs, "coefficients");
    if (nrows == 0) return;
    check_array(fn, rowtype, nrows, "of row types");
    check_array(fn, rhs, nrows, "of right-hand sides");
    // Checked here, taken over by the model as given (it reads ranges of
    // 'R' rows only), and clamped to +-1e20 in place afterwards: no copies
    // of a batch's arrays.
    for (int i = 0; i < nrows; ++i) {
      if (!valid_rowtype(rowtype[i]))
        fail(fn, "invalid row type " + quoted_char(rowtype[i]) + " of new row " + std::to_string(i));
      check_number(fn, rhs[i], "right-hand side");
      if (range && rowtype[i] == 'R') check_number(fn, range[i], "range");
    }
    const size_t first = size_t(m.rows());
    ModelEdit edit(prob);
    edit.appended();
    ClampAppended clamp(first, {&m.rhs});
    SparseBlock b;
    if (ncoefs > 0) {
      check_array(fn, start, nrows, "of row starts");
      if (plain_block(start, nrows, ncoefs, colind, rowcoef)) {
        check_entries(fn, colind, rowcoef, ncoefs, m.cols(), "column");
        std::vector<int64_t> s(start, start + nrows);
        s.push_back(ncoefs);
        m.add_rows(nrows, rowtype, rhs, range, s.data(), colind, rowcoef);
        return;
      }
      auto begin = [&](int i) { return start[i]; };
      auto end = [&](int i) { return block_end(start, i, nrows, ncoefs); };
      b = gather_block(fn, nrows, begin, end, colind, rowcoef, m.cols(), "column");
    } else {
      b.start.assign(size_t(nrows) + 1, 0);
    }
    m.add_rows(nrows, rowtype, rhs, range, b.start.data(), b.index.data(), b.value.data());
  });
}

int KRVSaddcols64(KRVSprob prob, int ncols, int64_t ncoefs, const double obj[], const int64_t start[],
                  const int rowind[], const double rowcoef[], const double lb[], const double ub[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSaddcols64";
    Model &m = model_of(prob);
    check_count(fn, ncols, "columns");
    check_count(fn, ncoefs, "coefficients");
    if (ncols == 0) return;
    // As for rows: checked here, taken over as given, clamped in place.
    for (int j = 0; j < ncols; ++j) {
      if (obj) check_finite(fn, obj[j], "objective coefficient");
      if (lb) check_number(fn, lb[j], "lower bound");
      if (ub) check_number(fn, ub[j], "upper bound");
    }
    const size_t first = size_t(m.cols());
    ModelEdit edit(prob);
    edit.appended();
    ClampAppended clamp(first, {&m.lb, &m.ub});
    if (ncoefs > 0) {
      check_array(fn, start, ncols, "of column starts");
      if (plain_block(start, ncols, ncoefs, rowind, rowcoef)) {
        check_entries(fn, rowind, rowcoef, ncoefs, m.rows(), "row");
        std::vector<int64_t> s(start, start + ncols);
        s.push_back(ncoefs);
        m.add_cols(ncols, obj, s.data(), rowind, rowcoef, lb, ub);
        return;
      }
      auto begin = [&](int j) { return start[j]; };
      auto end = [&](int j) { return block_end(start, j, ncols, ncoefs); };
      SparseBlock b = gather_block(fn, ncols, begin, end, rowind, rowcoef, m.rows(), "row");
      m.add_cols(ncols, obj, b.start.data(), b.index.data(), b.value.data(), lb, ub);
    } else {
      m.add_cols(ncols, obj, nullptr, nullptr, nullptr, lb, ub);
    }
  });
}

int KRVSaddsets64(KRVSprob prob, int nsets, int64_t nelems, const char settype[], const int64_t start[],
                  const int colind[], const double refval[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSaddsets64";
    Model &m = model_of(prob);
    check_count(fn, nsets, "sets");
    check_count(fn, nelems, "set members");
    if (nsets == 0) return;
    check_array(fn, settype, nsets, "of set types");
    check_array(fn, start, nsets, "of set starts");
    check_array(fn, colind, nelems, "of set members");
    for (int k = 0; k < nsets; ++k) {
      if (settype[k] != '1' && settype[k] != '2')
        fail(fn, "invalid set type " + quoted_char(settype[k]) + " of new set " + std::to_string(k));
      int64_t s = start[k], e = block_end(start, k, nsets, nelems);
      if (s < 0 || e < s || e > nelems) fail(fn, "invalid start of new set " + std::to_string(k));
      for (int64_t p = s; p < e; ++p) {
        check_index(fn, colind[p], m.cols(), "column");
        if (refval) check_finite(fn, refval[p], "set weight");
      }
    }
    ModelEdit edit(prob);
    for (int k = 0; k < nsets; ++k) {
      int64_t s = start[k], e = block_end(start, k, nsets, nelems);
      m.add_set(settype[k], e - s, colind + s, refval ? refval + s : nullptr);
    }
    edit.discrete_structure_changed();
  });
}

int KRVSaddqmatrix64(KRVSprob prob, int row, int64_t ncoefs, const int rowqcol1[], const int rowqcol2[],
                     const double rowqcoef[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSaddqmatrix64";
    Model &m = model_of(prob);
    check_index(fn, row, m.rows(), "row");
    check_triplets(fn, ncoefs, rowqcol1, rowqcol2, rowqcoef, m.cols());
    if (ncoefs == 0) return;
    ModelEdit edit(prob);
    m.add_qrow(row, ncoefs, rowqcol1, rowqcol2, rowqcoef);
    edit.solver_model_unaffected();
  });
}

}  // extern "C"
