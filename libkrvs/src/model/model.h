// The engine's own copy of a model: columns, rows, the constraint matrix,
// the objective (constant, linear, quadratic), quadratic rows, special
// ordered sets, indicator constraints and names.
//
// The solver side reads the public data below and never changes it; all
// changes go through the member functions (model.cpp), which keep the
// invariants: every per-column vector has cols() entries, every per-row
// vector rows() entries, and the compressed matrix views are rebuilt lazily
// after appends or changes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <unordered_map>
#include <vector>

#include "model/mip_structures.h"
#include "model/name_list.h"

namespace krvs {

// One quadratic entry (i <= j) of a symmetric matrix Q, Q_ij = Q_ji = q.
// In a row the quadratic part is x'Qx: an entry adds q x_i^2 (i == j) or
// 2q x_i x_j (i < j). In the objective it is 0.5 x'Qx: an entry adds
// 0.5q x_i^2 (i == j) or q x_i x_j (i < j). These are the conventions of the
// C interface (see KRVS_QOBJ_ARGS and KRVS_QROW_ARGS in krvs.h).
struct QuadEntry {
  int i;
  int j;
  double q;
};

struct SpecialOrderedSet {
  char type;  // '1' or '2'
  std::vector<int> cols;
  std::vector<double> weights;
};

struct Indicator {
  int col;         // binary column
  int complement;  // 1: row holds when col = 1; -1: when col = 0
};

// Arrays of this size and more get memory of their own, on huge pages
// where the system grants them: one page fault per 2 MB instead of 512.
constexpr size_t kLargeArrayBytes = size_t(8) << 20;
void *allocate_large_array(size_t bytes);
void free_large_array(void *p, size_t bytes) noexcept;

// An allocator that leaves new elements uninitialised when no value is
// given: a vector of it can grow to a size that is then written in full
// without first clearing the memory (for arrays of millions of entries).
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() noexcept = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U> &) noexcept {}
  template <class U, class... Args>
  void construct(U *p, Args &&...args) {
    if constexpr (sizeof...(Args) == 0)
      ::new (static_cast<void *>(p)) U;
    else
      ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
  }
  T *allocate(size_t n) {
    if (n * sizeof(T) >= kLargeArrayBytes) return static_cast<T *>(allocate_large_array(n * sizeof(T)));
    return std::allocator<T>::allocate(n);
  }
  void deallocate(T *p, size_t n) noexcept {
    if (n * sizeof(T) >= kLargeArrayBytes)
      free_large_array(p, n * sizeof(T));
    else
      std::allocator<T>::deallocate(p, n);
  }
};
template <class T>
using RawVector = std::vector<T, UninitialisedAllocator<T>>;

// A compressed sparse matrix (by columns or by rows).
struct CompressedMatrix {
  std::vector<int64_t> start;  // size = number of columns (or rows) + 1
  RawVector<int> index;
  RawVector<double> value;
};

class Model {
 public:
  Model();

  int rows() const { return int(rhs.size()); }
  int cols() const { return int(obj.size()); }

  // ---- columns ----
  std::vector<double> obj;      // linear objective
  std::vector<double> lb, ub;   // bounds, +-1e20 infinite
  std::vector<char> coltype;    // 'C', 'B', 'I', 'S', 'R', 'P'
  // Threshold of 'S', 'R', 'P' columns (0 otherwise): an 'S' column is 0 or
  // in [limit, ub]; an 'R' column likewise and integer; a 'P' column is
  // integer below limit and continuous from limit on.
  std::vector<double> limit;

  // ---- rows ----
  std::vector<char> rowtype;    // 'L', 'G', 'E', 'R', 'N'
  std::vector<double> rhs;
  std::vector<double> range;    // 'R' rows: rhs - range <= row <= rhs (range >= 0; 0 for other rows)

  // ---- objective ----
  double obj_constant = 0.0;
  int obj_sense = 1;            // 1 minimise, -1 maximise
  std::vector<QuadEntry> qobj;  // upper triangle, at most one entry per (i, j)

  // ---- other parts ----
  std::unordered_map<int, std::vector<QuadEntry>> qrows;  // row -> quadratic part
  std::vector<SpecialOrderedSet> sets;   // members in order of increasing weight as given
  std::unordered_map<int, Indicator> indicators;          // row -> indicator
  // General and piecewise-linear constraints, directives, the cut pool,
  // MIP starts and the other data of the mixed-integer search.
  MipStructures mip;

  // Scale factors of the caller's choice (KRVSscale), as powers of two: row
  // i is multiplied by 2^row_scale_exp[i], column j's values are 2^col_scale_exp[j]
  // times those the solver sees. Empty: none given (the solver's own scaling).
  // Applied to the model handed to the solver only; this copy, and every
  // answer, stays in the caller's units.
  std::vector<int> row_scale_exp, col_scale_exp;

  NameList rownames{'R'}, colnames{'C'}, setnames{'S'};
  std::string name;  // unused: the problem record keeps the problem name

  // Bumped by every change; the solver compares them to decide whether a
  // stored basis can warm-start the next solve (only bound, cost and
  // right-hand-side changes keep the structure).
  uint64_t structure_version = 0;
  uint64_t data_version = 0;

  // The constraint matrix, compressed by columns / by rows (built on demand).
  const CompressedMatrix &by_cols() const;
  const CompressedMatrix &by_rows() const;
  int64_t nonzeros() const;

  // ---- changes (implemented in model.cpp) ----
  void clear();
  // Appends rows; the coefficients are given by rows (start has nrows+1 entries).
  void add_rows(int nrows, const char *type, const double *rhs, const double *range, const int64_t *start,
                const int *colind, const double *value);
  // Appends columns; the coefficients are given by columns.
  void add_cols(int ncols, const double *obj, const int64_t *start, const int *rowind, const double *value,
                const double *lb, const double *ub);
  void delete_rows(const std::vector<bool> &remove);
  void delete_cols(const std::vector<bool> &remove);
  void delete_sets(const std::vector<bool> &remove);
  double coef(int row, int col) const;
  // Replaces one coefficient (0 removes it).
  void set_coef(int row, int col, double value);

  // Adds to the objective's quadratic part: entry (i, j) stands for
  // Q_ij = Q_ji += q (duplicates add up).
  void add_qobj(int64_t n, const int *col1, const int *col2, const double *q);
  // Replaces entries of the objective's quadratic part (0 removes one).
  void change_qobj(int64_t n, const int *col1, const int *col2, const double *q);
  // Adds to the quadratic part of a row (entry (i, j) adds to Q_ij = Q_ji,
  // duplicates add up).
  void add_qrow(int row, int64_t n, const int *col1, const int *col2, const double *q);
  // Sets one entry Q_ij = Q_ji = q of the objective's quadratic part, or of
  // a row's (0 removes it); a binary search in the sorted entries, so a run
  // of single changes does not rescan the whole matrix each time.
  void set_qobj_entry(int i, int j, double q);
  void set_qrow_entry(int row, int i, int j, double q);
  // Drops the quadratic part of a row.
  void delete_qrow(int row);
  // The objective's quadratic coefficient Q_ij, or 0.
  double qobj_coef(int i, int j) const;
  void add_set(char type, int64_t n, const int *cols, const double *weights);
  // Columns: resets the type and keeps bounds consistent ('B' clamps them to [0, 1]).
  void set_coltype(int col, char type);

 private:
  struct PendingEffect {
    bool replace;  // the value replaces the compressed one; otherwise it adds to it
    double value;
  };
  void push_pending(int row, int col, double value, bool replace);
  // An adding effect, in the inner loop of the batch appends.
  void append_pending(int row, int col, double value) {
    if (pending_index_valid_) {
      push_pending(row, col, value, false);
      return;
    }
    pending_row_.push_back(row);
    pending_col_.push_back(col);
    pending_value_.push_back(value);
  }
  void reserve_pending(size_t extra);
  void release_pending() const;
  void build_pending_index() const;

  // The matrix is the compressed form `cols_` plus triplets appended since
  // it was built; by_cols() folds them in, in time proportional to the
  // matrix size. Coefficient queries in between use a hash of the pending
  // effects, built on the first query and then kept up to date.
  // Replacing effects (coefficient changes) are rare next to additions:
  // their positions among the triplets, ascending, stand in for a flag each.
  mutable RawVector<int> pending_row_, pending_col_;
  mutable RawVector<double> pending_value_;
  mutable std::vector<size_t> pending_replace_at_;
  mutable std::unordered_map<uint64_t, PendingEffect> pending_index_;
  mutable bool pending_index_valid_ = false;
  mutable CompressedMatrix cols_, rows_;
  mutable bool rows_valid_ = false;
};

// Longest row, column or set name in units of 8 characters (at least 1).
int name_units(const Model &m);

// The name list of type 1 (rows), 2 (columns) or 3 (sets), or null.
const NameList *name_list(const Model &m, int type);
NameList *name_list(Model &m, int type);

}  // namespace krvs
