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
#include <string>
#include <unordered_map>
#include <vector>

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

// A compressed sparse matrix (by columns or by rows).
struct CompressedMatrix {
  std::vector<int64_t> start;  // size = number of columns (or rows) + 1
  std::vector<int> index;
  std::vector<double> value;
};

// A list of names with hashed lookup by name. Names may be empty (no name
// given); lookups then use the engine's generated name ("C0", "R3", "S1").
class NameList {
 public:
  explicit NameList(char prefix) : prefix_(prefix) {}
  size_t size() const { return names_.size(); }
  // The stored name, or the generated default when none was given.
  std::string get(int index) const;
  void set(int index, const std::string &name);
  void resize(size_t n) { names_.resize(n); index_valid_ = false; }
  // Erase positions marked true in `remove` (size() entries), keeping order.
  void erase(const std::vector<bool> &remove);
  // Index of a name, or -1.
  int find(const std::string &name) const;
  size_t longest() const;

 private:
  char prefix_;
  std::vector<std::string> names_;
  mutable std::unordered_map<std::string, int> index_;
  mutable bool index_valid_ = false;
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
  std::vector<double> limit;    // threshold of 'S', 'R', 'P' columns (0 otherwise)

  // ---- rows ----
  std::vector<char> rowtype;    // 'L', 'G', 'E', 'R', 'N'
  std::vector<double> rhs;
  std::vector<double> range;    // 'R' rows: rhs - range <= row <= rhs

  // ---- objective ----
  double obj_constant = 0.0;
  int obj_sense = 1;            // 1 minimise, -1 maximise
  std::vector<QuadEntry> qobj;  // upper triangle, at most one entry per (i, j)

  // ---- other parts ----
  std::unordered_map<int, std::vector<QuadEntry>> qrows;  // row -> quadratic part
  std::vector<SpecialOrderedSet> sets;
  std::unordered_map<int, Indicator> indicators;          // row -> indicator

  NameList rownames{'R'}, colnames{'C'}, setnames{'S'};
  std::string name;

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
  void set_coef(int row, int col, double value);

 private:
  mutable std::vector<int> pending_row_, pending_col_;
  mutable std::vector<double> pending_value_;
  mutable CompressedMatrix cols_, rows_;
  mutable bool cols_valid_ = true, rows_valid_ = true;
};

}  // namespace krvs
