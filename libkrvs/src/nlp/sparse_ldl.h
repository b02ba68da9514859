// Sparse symmetric LDL' factorisation with a fill-reducing ordering.
//
// analyse() orders the matrix once per structure (approximate minimum
// degree on the quotient graph, dense nodes last) and finds the structure of L from
// the elimination tree; factorise() then computes L and D for new values
// as often as needed, and reports the inertia (signs of the pivots of D),
// which is the inertia of the matrix itself. There is no pivoting: the
// ordering keeps a node whose diagonal is structurally zero (a constraint
// row of a saddle-point system, a column without curvature) from being
// eliminated before a neighbour has given it a diagonal, so saddle-point
// systems with a small regularisation of their constraint block factorise
// stably; exactly zero pivots are counted and their directions dropped.
#pragma once

#include <cstddef>
#include <vector>

namespace krvs::nlp {

struct Inertia {
  int positive = 0, negative = 0, zero = 0;
};

class SparseLdl {
 public:
  // The lower triangle (row >= column) compressed by columns: column j's
  // entries are index[start[j] .. start[j+1]-1]. Diagonal entries may be
  // absent (factorise's diag_add still reaches them). has_diagonal (one
  // flag per node, null: every node) tells which diagonals can be nonzero
  // before any elimination. natural: keep the natural order. Throws
  // krvs::Error on an invalid pattern.
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
  // Nonzeros of L below the diagonal.
  size_t factor_nonzeros() const { return li_.size(); }
  const std::vector<int> &permutation() const { return perm_; }
  bool analysed() const { return analysed_; }

 private:
  int n_ = 0;
  bool analysed_ = false;
  std::vector<int> perm_, pinv_;  // perm_[k]: original node eliminated k-th; pinv_ its inverse
  // Permuted matrix, upper triangle by columns with the diagonal: rows
  // cu_index_ (< k, then k itself), each taken from input entry cu_src_
  // (-1: a diagonal absent from the pattern).
  std::vector<int> cu_start_, cu_index_, cu_src_;
  std::vector<int> parent_, lp_, lnz_;
  mutable std::vector<int> flag_, pattern_;
  std::vector<int> li_;
  std::vector<double> lx_, d_, y_;
  mutable std::vector<double> work_;
  Inertia inertia_;
};

// A minimum-degree ordering of the graph whose adjacency lists are given
// (symmetric, no self loops), on the quotient graph with approximate
// degrees: perm[k] is the k-th node eliminated. Nodes without a diagonal
// (has_diagonal[u] == 0) wait until a neighbour has been eliminated; nodes
// of very high degree go last.
std::vector<int> minimum_degree_order(std::vector<std::vector<int>> adjacency, const std::vector<char> &has_diagonal);

}  // namespace krvs::nlp
