// Queries of the model: per-row and per-column values, the matrix, the
// quadratic parts, discrete entities, sets and indicators.
#include <algorithm>

#include "api/model_checks.h"

using namespace krvs;

namespace {

template <class T>
void copy_range(const char *fn, const std::vector<T> &from, T *out, int first, int last, const char *kind) {
  check_range(fn, first, last, int(from.size()), kind);
  if (!out) fail(fn, "null output array");
  std::copy(from.begin() + first, from.begin() + last + 1, out);
}

// Writes vectors first..last of a compressed matrix (columns or rows).
void get_vectors(const char *fn, const CompressedMatrix &c, int count, const char *kind, int64_t start[], int index[],
                 double value[], int64_t maxcoefs, int64_t *ncoefs, int first, int last) {
  check_range(fn, first, last, count, kind);
  int64_t total = c.start[size_t(last) + 1] - c.start[size_t(first)];
  if (ncoefs) *ncoefs = total;
  if (!start && !index && !value) return;
  if (!start) fail(fn, "null start array");
  if (maxcoefs < 0) fail(fn, "negative maximum number of coefficients");
  int64_t written = 0;
  for (int k = first; k <= last; ++k) {
    start[k - first] = written;
    for (int64_t p = c.start[size_t(k)]; p < c.start[size_t(k) + 1] && written < maxcoefs; ++p, ++written) {
      if (index) index[written] = c.index[size_t(p)];
      if (value) value[written] = c.value[size_t(p)];
    }
  }
  start[last - first + 1] = written;
}

template <class StartT>
void get_mqobj(const char *fn, KRVSprob prob, StartT start[], int colind[], double objqcoef[], int64_t maxcoefs,
               StartT *ncoefs, int first, int last) {
  Model &m = model_of(prob);
  check_range(fn, first, last, m.cols(), "column");
  // qobj is sorted by (i, j) with i <= j: the entries of column j are the
  // run with i == j.
  auto lower = [&](int col) {
    return std::lower_bound(m.qobj.begin(), m.qobj.end(), col, [](const QuadEntry &e, int c) { return e.i < c; });
  };
  auto b = lower(first), e = lower(last + 1);
  if (ncoefs) *ncoefs = StartT(e - b);
  if (!start && !colind && !objqcoef) return;
  if (!start) fail(fn, "null start array");
  int64_t written = 0;
  auto it = b;
  for (int j = first; j <= last; ++j) {
    start[j - first] = StartT(written);
    for (; it != e && it->i == j; ++it) {
      if (written >= maxcoefs) continue;
      if (colind) colind[written] = it->j;
      if (objqcoef) objqcoef[written] = it->q;
      ++written;
    }
  }
  start[last - first + 1] = StartT(written);
}

}  // namespace

extern "C" {

// One entry point per per-row or per-column vector of the model.
#define KRVS_RANGE_GETTER(fn, type, member, kind)                            \
  int fn(KRVSprob prob, type out[], int first, int last) noexcept {          \
    return guard_problem(prob, [&] {                                         \
      copy_range(#fn, model_of(prob).member, out, first, last, kind);        \
    });                                                                      \
  }
KRVS_RANGE_GETTER(KRVSgetlb, double, lb, "column")
KRVS_RANGE_GETTER(KRVSgetub, double, ub, "column")
KRVS_RANGE_GETTER(KRVSgetcoltype, char, coltype, "column")
KRVS_RANGE_GETTER(KRVSgetobj, double, obj, "column")
KRVS_RANGE_GETTER(KRVSgetrhs, double, rhs, "row")
KRVS_RANGE_GETTER(KRVSgetrhsrange, double, range, "row")
KRVS_RANGE_GETTER(KRVSgetrowtype, char, rowtype, "row")
#undef KRVS_RANGE_GETTER

int KRVSgetrows64(KRVSprob prob, int64_t start[], int colind[], double colcoef[], int64_t maxcoefs, int64_t *ncoefs,
                  int first, int last) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    get_vectors("KRVSgetrows64", m.by_rows(), m.rows(), "row", start, colind, colcoef, maxcoefs, ncoefs, first, last);
  });
}

int KRVSgetcols64(KRVSprob prob, int64_t start[], int rowind[], double rowcoef[], int64_t maxcoefs, int64_t *ncoefs,
                  int first, int last) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    get_vectors("KRVSgetcols64", m.by_cols(), m.cols(), "column", start, rowind, rowcoef, maxcoefs, ncoefs, first,
                last);
  });
}

int KRVSgetcoef(KRVSprob prob, int row, int col, double *coef) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetcoef";
    Model &m = model_of(prob);
    check_index(fn, row, m.rows(), "row");
    check_index(fn, col, m.cols(), "column");
    if (!coef) fail(fn, "null argument");
    *coef = m.coef(row, col);
  });
}

int KRVSgetmqobj(KRVSprob prob, int start[], int colind[], double objqcoef[], int maxcoefs, int *ncoefs, int first,
                 int last) noexcept {
  return guard_problem(prob, [&] {
    get_mqobj<int>("KRVSgetmqobj", prob, start, colind, objqcoef, maxcoefs, ncoefs, first, last);
  });
}

int KRVSgetmqobj64(KRVSprob prob, int64_t start[], int colind[], double objqcoef[], int64_t maxcoefs,
                   int64_t *ncoefs, int first, int last) noexcept {
  return guard_problem(prob, [&] {
    get_mqobj<int64_t>("KRVSgetmqobj64", prob, start, colind, objqcoef, maxcoefs, ncoefs, first, last);
  });
}

int KRVSgetqrows(KRVSprob prob, int *nrows, int rowind[]) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    std::vector<int> rows;
    for (const auto &[row, entries] : m.qrows)
      if (!entries.empty()) rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    if (nrows) *nrows = int(rows.size());
    if (rowind) std::copy(rows.begin(), rows.end(), rowind);
  });
}

int KRVSgetqrowqmatrixtriplets(KRVSprob prob, int row, int64_t *ncoefs, int rowqcol1[], int rowqcol2[],
                               double rowqcoef[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetqrowqmatrixtriplets";
    Model &m = model_of(prob);
    check_index(fn, row, m.rows(), "row");
    auto it = m.qrows.find(row);
    static const std::vector<QuadEntry> none;
    const std::vector<QuadEntry> &entries = it == m.qrows.end() ? none : it->second;
    if (ncoefs) *ncoefs = int64_t(entries.size());
    for (size_t k = 0; k < entries.size(); ++k) {
      const QuadEntry &e = entries[k];
      if (rowqcol1) rowqcol1[k] = e.i;
      if (rowqcol2) rowqcol2[k] = e.j;
      if (rowqcoef) rowqcoef[k] = e.q;
    }
  });
}

int KRVSgetglobal64(KRVSprob prob, int *nentities, int *nsets, char coltype[], int colind[], double limit[],
                    char settype[], int64_t setstart[], int setcols[], double refval[]) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    int n = 0;
    for (int j = 0; j < m.cols(); ++j) {
      char t = m.coltype[size_t(j)];
      if (t == 'C') continue;
      if (coltype) coltype[n] = t;
      if (colind) colind[n] = j;
      if (limit) limit[n] = m.limit[size_t(j)];
      ++n;
    }
    if (nentities) *nentities = n;
    if (nsets) *nsets = int(m.sets.size());
    int64_t p = 0;
    for (size_t k = 0; k < m.sets.size(); ++k) {
      const SpecialOrderedSet &s = m.sets[k];
      if (settype) settype[k] = s.type;
      if (setstart) setstart[k] = p;
      for (size_t e = 0; e < s.cols.size(); ++e, ++p) {
        if (setcols) setcols[p] = s.cols[e];
        if (refval) refval[p] = s.weights[e];
      }
    }
    if (setstart) setstart[m.sets.size()] = p;
  });
}

int KRVSgetindicators(KRVSprob prob, int colind[], int complement[], int first, int last) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetindicators";
    Model &m = model_of(prob);
    check_range(fn, first, last, m.rows(), "row");
    for (int i = first; i <= last; ++i) {
      auto it = m.indicators.find(i);
      if (colind) colind[i - first] = it == m.indicators.end() ? -1 : it->second.col;
      if (complement) complement[i - first] = it == m.indicators.end() ? 0 : it->second.complement;
    }
  });
}

}  // extern "C"
