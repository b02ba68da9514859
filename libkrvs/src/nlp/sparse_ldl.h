// Sparse symmetric LDL' factorisation with a fill-reducing ordering.
//
// analyse() orders the matrix once per structure (approximate minimum
// degree on the quotient graph, dense nodes last) and finds the structure of L from
// the elimination tree, grouping columns of equal structure into
// supernodes; factorise() then computes L and D for new values as often as
// needed, supernode by supernode with dense block kernels, and reports the
// inertia (signs of the pivots of D),
// which is the inertia of the matrix itself. There is no pivoting: the
// ordering keeps a node whose diagonal is structurally zero (a constraint
// row of a saddle-point system, a column without curvature) from being
// eliminated before a neighbour has given it a diagonal, so saddle-point
// systems with a small regularisation of their constraint block factorise
// stably; exactly zero pivots are counted and their directions dropped.
#pragma once

#include <cstddef>
#include <vector>

#include "core/guard.h"

namespace krvs::nlp {

// analyse() refuses a structure whose factor is beyond the limits set.
class FactorTooCostly : public Error {
 public:
  using Error::Error;
};

struct Inertia {
  int positive = 0, negative = 0, zero = 0;
};

class SparseLdl {
 public:
  // Numeric kernel: automatic picks supernodes where the factor is dense
  // enough for them to pay (taken at the next analyse()).
  enum class Kernel { automatic, columns, supernodal };
  void set_kernel(Kernel kernel) { kernel_ = kernel; }
  // Limits on one numeric factorisation's floating-point operations and on
  // the factor's entries (0: none): analyse() throws FactorTooCostly, before
  // it allocates the factor, for a structure beyond them.
  void set_limits(double max_flops, double max_entries) {
    max_flops_ = max_flops;
    max_entries_ = max_entries;
  }

  // The lower triangle (row >= column) compressed by columns: column j's
  // entries are index[start[j] .. start[j+1]-1]. Diagonal entries may be
  // absent (factorise's diag_add still reaches them). has_diagonal (one
  // flag per node, null: every node) tells which diagonals can be nonzero
  // before any elimination. natural: keep the natural order (up to a
  // postorder of the elimination tree, which changes neither the fill nor
  // the pivots). Throws krvs::Error on an invalid pattern.
  void analyse(int n, const std::vector<int> &start, const std::vector<int> &index,
               const std::vector<char> *has_diagonal = nullptr, bool natural = false);

  // Factorises for values given per pattern entry (layout of analyse) plus
  // diag_add[j] on each diagonal (null: none). Pivots of magnitude at most
  // zero_tolerance count as zero and their directions are dropped.
  void factorise(const double *values, const double *diag_add = nullptr, double zero_tolerance = 0.0);
  const Inertia &inertia() const { return inertia_; }

  // Solves L D L' x = rhs in place (after factorise).
  void solve(double *rhs) const;

  int size() const { return n_; }
  // Nonzeros of L below the diagonal (the zeros stored to make bigger
  // supernodes not included).
  size_t factor_nonzeros() const { return factor_nonzeros_; }
  const std::vector<int> &permutation() const { return perm_; }
  bool analysed() const { return analysed_; }
  // Figures of the last analyse(): seconds spent ordering and in the
  // symbolic analysis, the floating-point operations of one numeric
  // factorisation, the supernodes and the largest one's columns.
  double ordering_seconds() const { return ordering_seconds_; }
  double symbolic_seconds() const { return symbolic_seconds_; }
  double factor_flops() const { return factor_flops_; }
  // 0 when the factor is computed column by column.
  int supernodes() const { return supernodal_ && !sn_start_.empty() ? int(sn_start_.size()) - 1 : 0; }
  int largest_supernode() const;

 private:
  void find_supernodes(const std::vector<int> &parent, const std::vector<int> &below);
  void update_from(int d, int s, double *block);
  void factorise_panel(int s, double *block, double zero_tolerance);
  void factorise_columns(const double *values, const double *diag_add, double zero_tolerance);

  int n_ = 0;
  bool analysed_ = false, supernodal_ = false;
  Kernel kernel_ = Kernel::automatic;
  double max_flops_ = 0.0, max_entries_ = 0.0;
  std::vector<int> perm_;  // perm_[k]: original node eliminated k-th
  // Permuted matrix, lower triangle by columns, the diagonal first: rows
  // cl_index_, each taken from input entry cl_src_ (-1: a diagonal absent
  // from the pattern).
  std::vector<int> cl_start_, cl_index_, cl_src_;
  // Supernodes: columns sn_start_[s] .. sn_start_[s+1]-1 share one row
  // structure sn_rows_ (from sn_row_start_[s]; the supernode's own columns
  // first, then the rows below, increasing). L's values of supernode s are
  // a dense column-major block (rows x columns) from sn_value_start_[s].
  std::vector<int> sn_start_, sn_row_start_, sn_rows_, column_sn_;
  std::vector<size_t> sn_value_start_;
  // Column by column: the permuted upper triangle by columns (diagonal
  // last, entry sources as above), the elimination tree, and L by columns
  // (lp_, li_; lnz_ counts the entries filled so far).
  std::vector<int> cu_start_, cu_index_, cu_src_, parent_, lp_, lnz_, li_;
  std::vector<int> flag_, pattern_;
  std::vector<double> y_;
  // lx_: L's values (supernode blocks or columns); d_: the pivots, 0 for a
  // dropped one; d_inverse_: their inverses (0 for a dropped one, whose
  // direction the solve leaves at zero).
  std::vector<double> lx_, d_, d_inverse_;
  // Numeric work: per supernode, the list of later supernodes' updates it
  // still owes (left-looking), the position of its next row, and buffers.
  std::vector<int> pending_head_, pending_next_, next_row_, relative_, row_target_;
  std::vector<size_t> column_target_;
  std::vector<double> packed_rows_, packed_cols_;
  mutable std::vector<double> work_;
  size_t factor_nonzeros_ = 0;
  Inertia inertia_;
  double ordering_seconds_ = 0.0, symbolic_seconds_ = 0.0, factor_flops_ = 0.0;
};

// A minimum-degree ordering of the graph whose adjacency lists are given
// (symmetric, no self loops), on the quotient graph with approximate
// degrees: perm[k] is the k-th node eliminated. Nodes without a diagonal
// (has_diagonal[u] == 0) wait until a neighbour has been eliminated; nodes
// of very high degree go last.
std::vector<int> minimum_degree_order(std::vector<std::vector<int>> adjacency, const std::vector<char> &has_diagonal);

}  // namespace krvs::nlp
