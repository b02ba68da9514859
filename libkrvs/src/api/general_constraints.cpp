// General (max, min, and, or, abs) and piecewise-linear constraints: adding,
// reading back and deleting them.
#include <algorithm>
#include <vector>

#include "api/model_checks.h"
#include "solve/live_model.h"

using namespace krvs;

namespace {

// End (exclusive) of entry k of a start array with n entries whose last
// entry runs up to total.
int64_t entry_end(const int64_t *start, int n, int k, int64_t total) {
  return k + 1 < n ? start[k + 1] : total;
}

// Starts given for n entries over `total` items: from 0 up, ascending, within total.
void check_starts(const char *fn, const int64_t *start, int n, int64_t total, const char *what) {
  if (n == 0) return;
  if (!start) {
    if (total > 0) fail(fn, std::string("null array of ") + what + " starts");
    return;
  }
  for (int k = 0; k < n; ++k) {
    const int64_t b = start[k], e = entry_end(start, n, k, total);
    if (b < 0 || e < b || e > total)
      fail(fn, std::string("invalid ") + what + " start " + std::to_string(b) + " of entry " + std::to_string(k) +
                   " (starts must ascend from 0 up to " + std::to_string(total) + ")");
  }
  if (start[0] != 0)
    fail(fn, std::string("the first ") + what + " start must be 0, not " + std::to_string(start[0]));
}

void check_deletion(const char *fn, int n, const int *index, size_t count, const char *kind,
                    std::vector<bool> &remove) {
  check_count(fn, n, kind);
  check_array(fn, index, n, "of indices");
  remove.assign(count, false);
  for (int k = 0; k < n; ++k) {
    if (index[k] < 0 || size_t(index[k]) >= count)
      fail(fn, std::string(kind) + " index " + std::to_string(index[k]) + " out of range (the problem has " +
                   std::to_string(count) + ")");
    remove[size_t(index[k])] = true;
  }
}

template <class T>
void erase_flagged(std::vector<T> &v, const std::vector<bool> &remove) {
  size_t out = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (remove[i]) continue;
    if (out != i) v[out] = std::move(v[i]);  // never onto itself, which would empty it
    ++out;
  }
  v.resize(out);
}

void bump(Model &m) {
  ++m.structure_version;
  ++m.data_version;
}

}  // namespace

extern "C" {

int KRVSaddgencons64(KRVSprob prob, int ncons, int64_t ncols, int64_t nvals, const int contype[],
                     const int resultant[], const int64_t colstart[], const int colind[], const int64_t valstart[],
                     const double val[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSaddgencons64";
    Model &m = model_of(prob);
    check_count(fn, ncons, "general constraints");
    check_count(fn, ncols, "columns");
    check_count(fn, nvals, "values");
    check_array(fn, contype, ncons, "of constraint types");
    check_array(fn, resultant, ncons, "of resultants");
    check_array(fn, colind, ncols, "of columns");
    check_array(fn, val, nvals, "of values");
    if (ncons == 0 && (ncols > 0 || nvals > 0)) fail(fn, "columns or values given without constraints");
    check_starts(fn, colstart, ncons, ncols, "column");
    check_starts(fn, valstart, ncons, nvals, "value");
    for (int64_t p = 0; p < ncols; ++p) check_index(fn, colind[p], m.cols(), "column");
    for (int64_t p = 0; p < nvals; ++p) check_finite(fn, val[p], "value");

    std::vector<GeneralConstraint> added(static_cast<size_t>(ncons));
    for (int k = 0; k < ncons; ++k) {
      GeneralConstraint &g = added[size_t(k)];
      const std::string which = "general constraint " + std::to_string(k) + " of the call";
      g.type = contype[k];
      if (g.type < GENCONS_MAX || g.type > GENCONS_ABS)
        fail(fn, "invalid type " + std::to_string(g.type) + " of " + which +
                     " (0 max, 1 min, 2 and, 3 or, 4 abs)");
      check_index(fn, resultant[k], m.cols(), "resultant column");
      g.resultant = resultant[k];
      if (colstart)
        g.cols.assign(colind + colstart[k], colind + entry_end(colstart, ncons, k, ncols));
      if (valstart)
        g.vals.assign(val + valstart[k], val + entry_end(valstart, ncons, k, nvals));
      const char *type_name = general_constraint_type_name(g.type);
      switch (g.type) {
        case GENCONS_MAX:
        case GENCONS_MIN:
          if (g.cols.empty() && g.vals.empty()) fail(fn, "the " + std::string(type_name) + " " + which + " has no operands");
          break;
        case GENCONS_AND:
        case GENCONS_OR:
          if (!g.vals.empty()) fail(fn, "the " + std::string(type_name) + " " + which + " takes no values");
          if (g.cols.empty()) fail(fn, "the " + std::string(type_name) + " " + which + " has no columns");
          break;
        case GENCONS_ABS:
          if (!g.vals.empty() || g.cols.size() != 1)
            fail(fn, "the abs " + which + " takes exactly one column and no values");
          break;
      }
    }
    ModelEdit edit(prob);
    m.mip.gencons.reserve(m.mip.gencons.size() + added.size());
    for (auto &g : added) m.mip.gencons.push_back(std::move(g));
    bump(m);
    edit.discrete_structure_changed();
  });
}

int KRVSgetgencons64(KRVSprob prob, int contype[], int resultant[], int64_t colstart[], int colind[],
                     int64_t maxcols, int64_t *ncols, int64_t valstart[], double val[], int64_t maxvals,
                     int64_t *nvals, int first, int last) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetgencons64";
    const auto &list = model_of(prob).mip.gencons;
    check_range(fn, first, last, int(list.size()), "general constraint");
    int64_t cols = 0, vals = 0;
    for (int k = first; k <= last; ++k) {
      const GeneralConstraint &g = list[size_t(k)];
      const int out = k - first;
      if (contype) contype[out] = g.type;
      if (resultant) resultant[out] = g.resultant;
      if (colstart) colstart[out] = cols;
      if (valstart) valstart[out] = vals;
      for (int c : g.cols) {
        if (colind && cols < maxcols) colind[cols] = c;
        ++cols;
      }
      for (double v : g.vals) {
        if (val && vals < maxvals) val[vals] = v;
        ++vals;
      }
    }
    if (ncols) *ncols = cols;
    if (nvals) *nvals = vals;
  });
}

int KRVSdelgencons(KRVSprob prob, int ncons, const int conind[]) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    std::vector<bool> remove;
    check_deletion("KRVSdelgencons", ncons, conind, m.mip.gencons.size(), "general constraint", remove);
    if (ncons == 0) return;
    ModelEdit edit(prob);
    erase_flagged(m.mip.gencons, remove);
    bump(m);
    edit.discrete_structure_changed();
  });
}

int KRVSaddpwlcons64(KRVSprob prob, int npwls, int64_t npoints, const int colind[], const int resultant[],
                     const int64_t start[], const double xval[], const double yval[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSaddpwlcons64";
    Model &m = model_of(prob);
    check_count(fn, npwls, "piecewise-linear constraints");
    check_count(fn, npoints, "points");
    check_array(fn, colind, npwls, "of columns");
    check_array(fn, resultant, npwls, "of resultants");
    check_array(fn, start, npwls, "of starts");
    check_array(fn, xval, npoints, "of x values");
    check_array(fn, yval, npoints, "of y values");
    if (npwls == 0 && npoints > 0) fail(fn, "points given without constraints");
    check_starts(fn, start, npwls, npoints, "point");
    std::vector<PiecewiseLinear> added(static_cast<size_t>(npwls));
    for (int k = 0; k < npwls; ++k) {
      PiecewiseLinear &p = added[size_t(k)];
      const std::string which = "piecewise-linear constraint " + std::to_string(k) + " of the call";
      check_index(fn, colind[k], m.cols(), "column");
      check_index(fn, resultant[k], m.cols(), "resultant column");
      p.col = colind[k];
      p.resultant = resultant[k];
      const int64_t b = start[k], e = entry_end(start, npwls, k, npoints);
      if (e == b) fail(fn, "the " + which + " has no points");
      for (int64_t q = b; q < e; ++q) {
        check_finite(fn, xval[q], "x value");
        check_finite(fn, yval[q], "y value");
        if (q > b && xval[q] < xval[q - 1])
          fail(fn, "the x values of the " + which + " must not decrease (" + std::to_string(xval[q - 1]) +
                       " is followed by " + std::to_string(xval[q]) + ")");
        if (q > b + 1 && xval[q] == xval[q - 2])
          fail(fn, "the " + which + " has more than two points at x = " + std::to_string(xval[q]));
      }
      p.x.assign(xval + b, xval + e);
      p.y.assign(yval + b, yval + e);
    }
    ModelEdit edit(prob);
    m.mip.pwlcons.reserve(m.mip.pwlcons.size() + added.size());
    for (auto &p : added) m.mip.pwlcons.push_back(std::move(p));
    bump(m);
    edit.discrete_structure_changed();
  });
}

int KRVSgetpwlcons64(KRVSprob prob, int colind[], int resultant[], int64_t start[], double xval[], double yval[],
                     int64_t maxpoints, int64_t *npoints, int first, int last) noexcept {
  return guard_problem(prob, [&] {
    const auto &list = model_of(prob).mip.pwlcons;
    check_range("KRVSgetpwlcons64", first, last, int(list.size()), "piecewise-linear constraint");
    int64_t points = 0;
    for (int k = first; k <= last; ++k) {
      const PiecewiseLinear &p = list[size_t(k)];
      const int out = k - first;
      if (colind) colind[out] = p.col;
      if (resultant) resultant[out] = p.resultant;
      if (start) start[out] = points;
      for (size_t q = 0; q < p.x.size(); ++q) {
        if (points < maxpoints) {
          if (xval) xval[points] = p.x[q];
          if (yval) yval[points] = p.y[q];
        }
        ++points;
      }
    }
    if (npoints) *npoints = points;
  });
}

int KRVSdelpwlcons(KRVSprob prob, int npwls, const int pwlind[]) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    std::vector<bool> remove;
    check_deletion("KRVSdelpwlcons", npwls, pwlind, m.mip.pwlcons.size(), "piecewise-linear constraint", remove);
    if (npwls == 0) return;
    ModelEdit edit(prob);
    erase_flagged(m.mip.pwlcons, remove);
    bump(m);
    edit.discrete_structure_changed();
  });
}

}  // extern "C"
