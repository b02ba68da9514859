// Argument checks shared by the model entry points. Every entry point checks
// all of its input before it changes anything, so that a refused call leaves
// the model as it was.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/guard.h"
#include "core/problem.h"
#include "model/model.h"

namespace krvs {

inline Model &model_of(KRVSprob prob) { return *prob->model; }

[[noreturn]] inline void fail(const char *fn, const std::string &what) { throw Error(std::string(fn) + ": " + what); }

inline void check_count(const char *fn, int64_t n, const char *what) {
  if (n < 0) fail(fn, std::string("negative number of ") + what + " (" + std::to_string(n) + ")");
}

// `p` may be null only when nothing is to be read from it.
template <class T>
void check_array(const char *fn, const T *p, int64_t n, const char *what) {
  if (!p && n > 0) fail(fn, std::string("null array ") + what);
}

// kind: "row", "column", "set".
inline void check_index(const char *fn, int64_t index, int64_t count, const char *kind) {
  if (index < 0 || index >= count)
    fail(fn, std::string(kind) + " index " + std::to_string(index) + " out of range (the problem has " +
                 std::to_string(count) + " " + kind + "s)");
}

inline void check_range(const char *fn, int first, int last, int count, const char *kind) {
  if (first < 0 || last >= count || first > last)
    fail(fn, "invalid range " + std::to_string(first) + ".." + std::to_string(last) + " of " + kind +
                 "s (the problem has " + std::to_string(count) + " " + kind + "s)");
}

inline void check_number(const char *fn, double v, const char *what) {
  if (std::isnan(v)) fail(fn, std::string("NaN given as ") + what);
}

inline void check_finite(const char *fn, double v, const char *what) {
  if (!std::isfinite(v)) fail(fn, std::string("not a finite number given as ") + what);
}

// Bounds, right-hand sides: magnitudes of 1e20 and more are infinite.
inline double clamp_infinite(double v) { return v >= 1e20 ? 1e20 : v <= -1e20 ? -1e20 : v; }

inline bool valid_rowtype(char t) { return t == 'L' || t == 'G' || t == 'E' || t == 'R' || t == 'N'; }
inline bool valid_coltype(char t) {
  return t == 'C' || t == 'B' || t == 'I' || t == 'S' || t == 'R' || t == 'P';
}
inline bool has_limit(char t) { return t == 'S' || t == 'R' || t == 'P'; }

inline std::string quoted_char(char c) {
  if (c >= 32 && c < 127) return std::string("'") + c + "'";
  return "code " + std::to_string(int((unsigned char)c));
}

// A block of sparse vectors (rows or columns) copied into contiguous
// arrays with n + 1 starts, checked against the number of indices allowed.
struct SparseBlock {
  std::vector<int64_t> start;
  std::vector<int> index;
  std::vector<double> value;
};

// Vector k has its entries at begin(k) .. end(k) - 1 of idx/val. `limit` is
// the number of rows (or columns) the indices must stay below.
template <class Begin, class End>
SparseBlock gather_block(const char *fn, int n, Begin begin, End end, const int *idx, const double *val,
                         int64_t limit, const char *kind) {
  SparseBlock b;
  b.start.resize(size_t(n) + 1, 0);
  int64_t total = 0;
  for (int k = 0; k < n; ++k) {
    int64_t s = begin(k), e = end(k);
    if (s < 0 || e < s) fail(fn, "invalid start or length of entry " + std::to_string(k));
    total += e - s;
  }
  if (total > 0 && (!idx || !val)) fail(fn, "null index or coefficient array");
  b.index.reserve(size_t(total));
  b.value.reserve(size_t(total));
  for (int k = 0; k < n; ++k) {
    for (int64_t p = begin(k), e = end(k); p < e; ++p) {
      check_index(fn, idx[p], limit, kind);
      check_finite(fn, val[p], "coefficient");
      b.index.push_back(idx[p]);
      b.value.push_back(val[p]);
    }
    b.start[size_t(k) + 1] = int64_t(b.index.size());
  }
  return b;
}

// Quadratic triplets checked against the number of columns.
inline void check_triplets(const char *fn, int64_t n, const int *c1, const int *c2, const double *q, int ncols) {
  check_count(fn, n, "quadratic coefficients");
  check_array(fn, c1, n, "of first columns");
  check_array(fn, c2, n, "of second columns");
  check_array(fn, q, n, "of quadratic coefficients");
  for (int64_t k = 0; k < n; ++k) {
    check_index(fn, c1[k], ncols, "column");
    check_index(fn, c2[k], ncols, "column");
    check_finite(fn, q[k], "quadratic coefficient");
  }
}

}  // namespace krvs
