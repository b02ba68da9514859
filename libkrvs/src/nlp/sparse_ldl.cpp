#include "sparse_ldl.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <queue>
#include <string>
#include <utility>

#include "core/guard.h"

namespace krvs::nlp {

namespace {

// The eligible variables by (degree, node), smallest first: a heap that
// holds each node once and moves it when its degree changes, so it stays
// as small as the graph (a heap of stale entries grows with the fill).
class DegreeHeap {
 public:
  explicit DegreeHeap(const std::vector<int> &degree) : degree_(degree), pos_(degree.size(), -1) {}
  bool empty() const { return heap_.empty(); }
  // Inserts u, or moves it after its degree changed.
  void update(int u) {
    int at = pos_[size_t(u)];
    if (at < 0) {
      at = int(heap_.size());
      heap_.push_back(u);
      pos_[size_t(u)] = at;
    }
    down(up(at));
  }
  int pop() {
    const int top = heap_.front();
    pos_[size_t(top)] = -1;
    const int last = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) {
      heap_[0] = last;
      pos_[size_t(last)] = 0;
      down(0);
    }
    return top;
  }

 private:
  bool less(int a, int b) const {
    return degree_[size_t(a)] != degree_[size_t(b)] ? degree_[size_t(a)] < degree_[size_t(b)] : a < b;
  }
  void place(int at, int u) {
    heap_[size_t(at)] = u;
    pos_[size_t(u)] = at;
  }
  int up(int at) {
    const int u = heap_[size_t(at)];
    while (at > 0) {
      const int parent = (at - 1) / 2;
      if (!less(u, heap_[size_t(parent)])) break;
      place(at, heap_[size_t(parent)]);
      at = parent;
    }
    place(at, u);
    return at;
  }
  void down(int at) {
    const int size = int(heap_.size());
    const int u = heap_[size_t(at)];
    for (;;) {
      int child = 2 * at + 1;
      if (child >= size) break;
      if (child + 1 < size && less(heap_[size_t(child) + 1], heap_[size_t(child)])) ++child;
      if (!less(heap_[size_t(child)], u)) break;
      place(at, heap_[size_t(child)]);
      at = child;
    }
    place(at, u);
  }

  const std::vector<int> &degree_;
  std::vector<int> heap_, pos_;
};

}  // namespace

// Minimum degree on the quotient graph: eliminated nodes become elements
// (cliques kept as the list of their variables, never formed explicitly),
// and each variable's degree is the usual approximate bound
//   min(n - k, d_i + |Lp \ i|, |Ai \ i| + |Lp \ i| + sum_e |Le \ Lp|),
// so one elimination costs about the size of the lists it touches.
std::vector<int> minimum_degree_order(std::vector<std::vector<int>> adj, const std::vector<char> &has_diagonal) {
  const int n = int(adj.size());
  std::vector<int> perm;
  perm.reserve(size_t(n));
  const size_t dense_degree = size_t(std::max(16.0, 10.0 * std::sqrt(double(n))));
  enum : char { kVariable, kElement, kAbsorbed, kDense };
  std::vector<char> state(size_t(n), kVariable), eligible(size_t(n), 0);
  std::vector<int> dense_nodes;
  for (int u = 0; u < n; ++u)
    if (adj[size_t(u)].size() > dense_degree) {
      state[size_t(u)] = kDense;
      dense_nodes.push_back(u);
    }
  if (!dense_nodes.empty())
    for (int u = 0; u < n; ++u) {
      auto &a = adj[size_t(u)];
      if (state[size_t(u)] == kDense) {
        a.clear();
        continue;
      }
      a.erase(std::remove_if(a.begin(), a.end(), [&](int w) { return state[size_t(w)] == kDense; }), a.end());
    }
  std::vector<std::vector<int>> elems(static_cast<size_t>(n));   // per variable: adjacent elements
  std::vector<std::vector<int>> members(static_cast<size_t>(n));  // per element: its variables
  std::vector<int> degree(size_t(n), 0);
  using Entry = std::pair<int, int>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> any;
  DegreeHeap ready(degree);
  int live = 0;
  for (int u = 0; u < n; ++u) {
    if (state[size_t(u)] == kDense) continue;
    ++live;
    degree[size_t(u)] = int(adj[size_t(u)].size());
    eligible[size_t(u)] = has_diagonal.empty() || has_diagonal[size_t(u)];
    if (eligible[size_t(u)]) ready.update(u);
    any.push({degree[size_t(u)], u});
  }
  std::vector<int> mark(size_t(n), -1), w(size_t(n), -1);
  int stamp = 0;
  std::vector<int> lp;
  int eliminated = 0;
  for (;;) {
    int p = -1;
    if (!ready.empty()) p = ready.pop();
    if (p < 0) break;
    perm.push_back(p);
    ++eliminated;
    // Lp: the variables adjacent to p directly or through its elements.
    ++stamp;
    mark[size_t(p)] = stamp;
    lp.clear();
    for (int v : adj[size_t(p)])
      if (state[size_t(v)] == kVariable && mark[size_t(v)] != stamp) {
        mark[size_t(v)] = stamp;
        lp.push_back(v);
      }
    for (int e : elems[size_t(p)]) {
      if (state[size_t(e)] != kElement) continue;
      for (int v : members[size_t(e)])
        if (state[size_t(v)] == kVariable && mark[size_t(v)] != stamp) {
          mark[size_t(v)] = stamp;
          lp.push_back(v);
        }
      state[size_t(e)] = kAbsorbed;
      members[size_t(e)].clear();
      members[size_t(e)].shrink_to_fit();
    }
    state[size_t(p)] = kElement;
    members[size_t(p)] = lp;
    adj[size_t(p)].clear();
    adj[size_t(p)].shrink_to_fit();
    elems[size_t(p)].clear();
    elems[size_t(p)].shrink_to_fit();
    const int lp_size = int(lp.size());
    // |Le \ Lp| for the other elements of Lp's variables.
    for (int i : lp)
      for (int e : elems[size_t(i)]) {
        if (state[size_t(e)] != kElement || e == p) continue;
        if (w[size_t(e)] < 0) {
          int count = 0;
          for (int v : members[size_t(e)]) count += state[size_t(v)] == kVariable;
          w[size_t(e)] = count;
        }
        --w[size_t(e)];
      }
    for (int i : lp) {
      // Prune: absorbed elements leave, p joins; variables of Lp leave Ai
      // (they are reached through p now).
      auto &ei = elems[size_t(i)];
      size_t kept = 0;
      int ext = 0;
      for (int e : ei) {
        if (state[size_t(e)] != kElement || e == p) continue;
        if (w[size_t(e)] == 0) {  // Le within Lp: absorbed into p
          state[size_t(e)] = kAbsorbed;
          continue;
        }
        ei[kept++] = e;
        ext += w[size_t(e)];
      }
      ei.resize(kept);
      ei.push_back(p);
      auto &ai = adj[size_t(i)];
      kept = 0;
      for (int v : ai)
        if (state[size_t(v)] == kVariable && mark[size_t(v)] != stamp) ai[kept++] = v;
      ai.resize(kept);
      const int bound = std::min({live - eliminated - 1, degree[size_t(i)] + lp_size - 1, int(ai.size()) + lp_size - 1 + ext});
      degree[size_t(i)] = std::max(bound, 0);
      eligible[size_t(i)] = 1;
      ready.update(i);
    }
    for (int i : lp)
      for (int e : elems[size_t(i)]) w[size_t(e)] = -1;
  }
  std::vector<int> leftover;
  while (!any.empty()) {
    Entry e = any.top();
    any.pop();
    if (state[size_t(e.second)] == kVariable) {
      state[size_t(e.second)] = kElement;
      leftover.push_back(e.second);
    }
  }
  perm.insert(perm.end(), dense_nodes.begin(), dense_nodes.end());
  perm.insert(perm.end(), leftover.begin(), leftover.end());
  return perm;
}

namespace {

using Clock = std::chrono::steady_clock;

// Floating-point operations per factor entry from which the supernodal
// kernels beat the column-by-column one (measured on bands, grids, random
// structures and saddle-point systems: below it the factor is too thin for
// dense blocks to repay their bookkeeping).
constexpr double kSupernodalFlopsPerEntry = 10.0;

template <class... Vectors>
void release(Vectors &...vectors) {
  ((vectors.clear(), vectors.shrink_to_fit()), ...);
}

// Rows above the diagonal of each column of the permuted matrix (entry
// (i, j) of the input is row min(pi, pj) of column max(pi, pj)): what the
// elimination tree and the column counts walk.
void upper_structure(int n, const std::vector<int> &start, const std::vector<int> &index, const std::vector<int> &pinv,
                     std::vector<int> &ustart, std::vector<int> &uindex) {
  ustart.assign(size_t(n) + 1, 0);
  for (int j = 0; j < n; ++j)
    for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
      const int i = index[size_t(p)];
      if (i != j) ++ustart[size_t(std::max(pinv[size_t(i)], pinv[size_t(j)])) + 1];
    }
  for (int k = 0; k < n; ++k) ustart[size_t(k) + 1] += ustart[size_t(k)];
  uindex.assign(size_t(ustart[size_t(n)]), 0);
  std::vector<int> fill(ustart.begin(), ustart.end() - 1);
  for (int j = 0; j < n; ++j)
    for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
      const int i = index[size_t(p)];
      if (i == j) continue;
      const int a = pinv[size_t(i)], b = pinv[size_t(j)];
      uindex[size_t(fill[size_t(std::max(a, b))]++)] = std::min(a, b);
    }
}

// One triangle of the permuted pattern gathered by columns, each entry with
// its source in the input (-1: absent from the pattern). The lower triangle
// has the diagonal first in every column: the layout of the supernodal
// factorisation, which scatters column j below its pivot. The upper triangle
// has it last: the layout of the column-by-column factorisation, which
// builds row k of L from column k.
void triangle_with_sources(int n, const std::vector<int> &start, const std::vector<int> &index,
                           const std::vector<int> &pinv, const std::vector<int> &perm,
                           const std::vector<int> &diag_src, bool lower, std::vector<int> &tstart,
                           std::vector<int> &tindex, std::vector<int> &tsrc) {
  tstart.assign(size_t(n) + 1, 0);
  for (int j = 0; j < n; ++j)
    for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
      const int i = index[size_t(p)];
      if (i == j) continue;
      const int a = pinv[size_t(i)], b = pinv[size_t(j)];
      ++tstart[size_t(lower ? std::min(a, b) : std::max(a, b)) + 1];
    }
  for (int k = 0; k < n; ++k) tstart[size_t(k) + 1] += tstart[size_t(k)] + 1;
  tindex.assign(size_t(tstart[size_t(n)]), 0);
  tsrc.assign(size_t(tstart[size_t(n)]), -1);
  std::vector<int> fill(tstart.begin(), tstart.end() - 1);
  const auto place_diagonals = [&] {
    for (int k = 0; k < n; ++k) {
      tindex[size_t(fill[size_t(k)])] = k;
      tsrc[size_t(fill[size_t(k)]++)] = diag_src[size_t(perm[size_t(k)])];
    }
  };
  if (lower) place_diagonals();
  for (int j = 0; j < n; ++j)
    for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
      const int i = index[size_t(p)];
      if (i == j) continue;
      const int a = pinv[size_t(i)], b = pinv[size_t(j)];
      const int col = lower ? std::min(a, b) : std::max(a, b);
      tindex[size_t(fill[size_t(col)])] = lower ? std::max(a, b) : std::min(a, b);
      tsrc[size_t(fill[size_t(col)]++)] = p;
    }
  if (!lower) place_diagonals();
}

// The elimination tree, with path compression through ancestor links.
std::vector<int> elimination_tree(int n, const std::vector<int> &ustart, const std::vector<int> &uindex) {
  std::vector<int> parent(size_t(n), -1), ancestor(size_t(n), -1);
  for (int k = 0; k < n; ++k)
    for (int p = ustart[size_t(k)]; p < ustart[size_t(k) + 1]; ++p)
      for (int i = uindex[size_t(p)]; i != -1 && i < k;) {
        const int next = ancestor[size_t(i)];
        ancestor[size_t(i)] = k;
        if (next == -1) parent[size_t(i)] = k;
        i = next;
      }
  return parent;
}

// A postorder of the forest: every subtree's nodes become contiguous, so
// that chains of columns with one structure end up next to each other.
std::vector<int> postorder(const std::vector<int> &parent) {
  const int n = int(parent.size());
  std::vector<int> head(size_t(n), -1), next(size_t(n), -1), post, stack;
  post.reserve(size_t(n));
  for (int j = n - 1; j >= 0; --j)
    if (parent[size_t(j)] != -1) {
      next[size_t(j)] = head[size_t(parent[size_t(j)])];
      head[size_t(parent[size_t(j)])] = j;
    }
  for (int root = 0; root < n; ++root) {
    if (parent[size_t(root)] != -1) continue;
    stack.push_back(root);
    while (!stack.empty()) {
      const int p = stack.back();
      const int child = head[size_t(p)];
      if (child == -1) {
        stack.pop_back();
        post.push_back(p);
      } else {
        head[size_t(p)] = next[size_t(child)];
        stack.push_back(child);
      }
    }
  }
  return post;
}

typedef double Pair __attribute__((vector_size(16)));

inline Pair load_pair(const double *p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The symmetric low-rank update at the heart of the factorisation:
//   target[row_target[r] + column_target[c]] -= sum_k A(r, k) dd[k] A(c, k)
// for c < k1 and c <= r < k2, A column-major with leading dimension lda
// and depth columns. Both operands are packed in strips of four rows so
// that a 4 x 4 block of the product accumulates in registers over the
// whole depth.
void lower_update(const double *a, int lda, int k2, int k1, int depth, const double *dd, double *target,
                  const int *row_target, const size_t *column_target, std::vector<double> &packed_rows,
                  std::vector<double> &packed_cols) {
  if (k1 <= 0 || depth <= 0) return;
  if (k1 < 4 || depth < 4) {
    // Too small to repay the packing (the sparse end of the matrix).
    for (int c = 0; c < k1; ++c) {
      double *column = target + column_target[c];
      for (int k = 0; k < depth; ++k) {
        const double *ak = a + size_t(k) * size_t(lda);
        const double w = ak[c] * dd[k];
        if (w == 0.0) continue;
        for (int r = c; r < k2; ++r) column[row_target[r]] -= ak[r] * w;
      }
    }
    return;
  }
  const int row_strips = (k2 + 3) / 4, col_strips = (k1 + 3) / 4;
  const size_t strip = size_t(depth) * 4;
  if (packed_rows.size() < size_t(row_strips) * strip) packed_rows.resize(size_t(row_strips) * strip);
  if (packed_cols.size() < size_t(col_strips) * strip) packed_cols.resize(size_t(col_strips) * strip);
  double *rows = packed_rows.data(), *cols = packed_cols.data();
  for (int rs = 0; rs < row_strips; ++rs) {
    double *out = rows + size_t(rs) * strip;
    const int r0 = rs * 4, count = std::min(4, k2 - r0);
    for (int k = 0; k < depth; ++k) {
      const double *in = a + r0 + size_t(k) * size_t(lda);
      for (int i = 0; i < 4; ++i) out[4 * k + i] = i < count ? in[i] : 0.0;
    }
  }
  for (int cs = 0; cs < col_strips; ++cs) {
    const double *in = rows + size_t(cs) * strip;  // the first k1 rows are the columns' rows
    double *out = cols + size_t(cs) * strip;
    for (int k = 0; k < depth; ++k)
      for (int i = 0; i < 4; ++i) out[4 * k + i] = in[4 * k + i] * dd[k];
  }
  for (int cs = 0; cs < col_strips; ++cs) {
    const double *pc = cols + size_t(cs) * strip;
    const int c0 = cs * 4, ccount = std::min(4, k1 - c0);
    for (int rs = cs; rs < row_strips; ++rs) {
      const double *pr = rows + size_t(rs) * strip;
      Pair acc[4][2] = {};
      for (int k = 0; k < depth; ++k) {
        const Pair lo = load_pair(pr + 4 * k), hi = load_pair(pr + 4 * k + 2);
        for (int i = 0; i < 4; ++i) {
          const Pair w = {pc[4 * k + i], pc[4 * k + i]};
          acc[i][0] += lo * w;
          acc[i][1] += hi * w;
        }
      }
      const int r0 = rs * 4, rcount = std::min(4, k2 - r0);
      for (int i = 0; i < ccount; ++i) {
        const int c = c0 + i;
        double *column = target + column_target[c];
        for (int j = 0; j < rcount; ++j)
          if (r0 + j >= c) column[row_target[r0 + j]] -= acc[i][j >> 1][j & 1];
      }
    }
  }
}

}  // namespace

void SparseLdl::analyse(int n, const std::vector<int> &start, const std::vector<int> &index,
                        const std::vector<char> *has_diagonal, bool natural) {
  analysed_ = false;
  if (n < 0 || start.size() != size_t(n) + 1 || start[0] != 0 || size_t(start[size_t(n)]) != index.size())
    throw Error("Sparse factorisation: malformed column starts");
  if (has_diagonal && has_diagonal->size() != size_t(n)) throw Error("Sparse factorisation: wrong diagonal flags");
  std::vector<int> diag_src(size_t(n), -1);
  for (int j = 0; j < n; ++j) {
    if (start[size_t(j) + 1] < start[size_t(j)]) throw Error("Sparse factorisation: malformed column starts");
    for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
      if (index[size_t(p)] < j || index[size_t(p)] >= n)
        throw Error("Sparse factorisation: entry outside the lower triangle");
      if (index[size_t(p)] == j) {
        if (diag_src[size_t(j)] >= 0) throw Error("Sparse factorisation: repeated diagonal entry");
        diag_src[size_t(j)] = p;
      }
    }
  }
  n_ = n;
  const auto ordering_start = Clock::now();
  std::vector<int> order(static_cast<size_t>(n));
  if (natural) {
    for (int k = 0; k < n; ++k) order[size_t(k)] = k;
  } else {
    std::vector<std::vector<int>> adj(static_cast<size_t>(n));
    std::vector<char> diag(size_t(n), has_diagonal ? 0 : 1);
    if (has_diagonal) diag = *has_diagonal;
    for (int j = 0; j < n; ++j)
      for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
        const int i = index[size_t(p)];
        if (i == j) continue;
        adj[size_t(i)].push_back(j);
        adj[size_t(j)].push_back(i);
      }
    for (auto &a : adj) {
      std::sort(a.begin(), a.end());
      a.erase(std::unique(a.begin(), a.end()), a.end());
    }
    order = minimum_degree_order(std::move(adj), diag);
  }
  const auto symbolic_start = Clock::now();
  ordering_seconds_ = std::chrono::duration<double>(symbolic_start - ordering_start).count();

  // Postorder the elimination tree of the ordered matrix: the same
  // eliminations in another topological order (same fill, same pivots;
  // a node still follows the neighbour that gives it its diagonal, as
  // that neighbour is its descendant), with supernodes contiguous.
  std::vector<int> pinv(static_cast<size_t>(n)), ustart, uindex;
  for (int k = 0; k < n; ++k) pinv[size_t(order[size_t(k)])] = k;
  upper_structure(n, start, index, pinv, ustart, uindex);
  const std::vector<int> post = postorder(elimination_tree(n, ustart, uindex));
  perm_.resize(size_t(n));
  for (int k = 0; k < n; ++k) perm_[size_t(k)] = order[size_t(post[size_t(k)])];
  for (int k = 0; k < n; ++k) pinv[size_t(perm_[size_t(k)])] = k;
  upper_structure(n, start, index, pinv, ustart, uindex);
  const std::vector<int> parent = elimination_tree(n, ustart, uindex);

  // Column counts of L below the diagonal: row k of L holds the nodes on
  // the tree paths from the entries of row k of A up to k.
  std::vector<int> below(size_t(n), 0), flag(size_t(n), -1);
  for (int k = 0; k < n; ++k) {
    flag[size_t(k)] = k;
    for (int p = ustart[size_t(k)]; p < ustart[size_t(k) + 1]; ++p)
      for (int i = uindex[size_t(p)]; flag[size_t(i)] != k; i = parent[size_t(i)]) {
        ++below[size_t(i)];
        flag[size_t(i)] = k;
      }
  }
  factor_nonzeros_ = 0;
  factor_flops_ = 0.0;
  for (int k = 0; k < n; ++k) {
    factor_nonzeros_ += size_t(below[size_t(k)]);
    factor_flops_ += double(below[size_t(k)]) * double(below[size_t(k)] + 2);
  }
  if ((max_flops_ > 0 && factor_flops_ > max_flops_) || (max_entries_ > 0 && double(factor_nonzeros_) > max_entries_)) {
    char text[240];
    std::snprintf(text, sizeof text,
                  "factorising the %d x %d system would be too costly: %.3g factor entries and %.3g "
                  "floating-point operations per factorisation",
                  n, n, double(factor_nonzeros_) + n, factor_flops_);
    throw FactorTooCostly(text);
  }

  // Permuted lower triangle by columns, the diagonal first.
  triangle_with_sources(n, start, index, pinv, perm_, diag_src, true, cl_start_, cl_index_, cl_src_);

  // Supernodes pay where the factor is dense enough for block kernels;
  // a thin factor (a band, a chain, a saddle-point system of simple
  // structure) is factorised faster column by column.
  supernodal_ = kernel_ == Kernel::supernodal ||
                (kernel_ == Kernel::automatic && factor_flops_ >= kSupernodalFlopsPerEntry * double(std::max<size_t>(factor_nonzeros_, 1)));
  if (supernodal_) {
    find_supernodes(parent, below);
    release(cu_start_, cu_index_, cu_src_, parent_, lp_, lnz_, flag_, pattern_, li_);
    release(y_);
  } else {
    triangle_with_sources(n, start, index, pinv, perm_, diag_src, false, cu_start_, cu_index_, cu_src_);
    parent_ = parent;
    lp_.assign(size_t(n) + 1, 0);
    for (int k = 0; k < n; ++k) lp_[size_t(k) + 1] = lp_[size_t(k)] + below[size_t(k)];
    if (size_t(lp_[size_t(n)]) != factor_nonzeros_) throw Error("Sparse factorisation: factor too large");
    li_.assign(factor_nonzeros_, 0);
    lx_.assign(factor_nonzeros_, 0.0);
    lnz_.assign(size_t(n), 0);
    flag_.assign(size_t(n), -1);
    pattern_.assign(size_t(n), 0);
    y_.assign(size_t(n), 0.0);
    release(sn_start_, sn_row_start_, sn_rows_, column_sn_, pending_head_, pending_next_, next_row_, row_target_);
    release(sn_value_start_, column_target_);
  }
  d_.assign(size_t(n), 0.0);
  d_inverse_.assign(size_t(n), 0.0);
  work_.assign(size_t(n), 0.0);
  relative_.assign(size_t(n), 0);
  symbolic_seconds_ = std::chrono::duration<double>(Clock::now() - symbolic_start).count();
  analysed_ = true;
}

void SparseLdl::find_supernodes(const std::vector<int> &parent, const std::vector<int> &below) {
  const int n = n_;
  // Fundamental chains: column j+1 continues j's supernode when it is j's
  // parent and j's structure is its own plus j+1.
  std::vector<int> chain_start;
  for (int j = 0; j < n; ++j)
    if (j == 0 || parent[size_t(j) - 1] != j || below[size_t(j) - 1] != below[size_t(j)] + 1) chain_start.push_back(j);
  chain_start.push_back(n);
  const int chains = int(chain_start.size()) - 1;
  std::vector<int> column_chain(size_t(n), 0);
  for (int c = 0; c < chains; ++c)
    for (int j = chain_start[size_t(c)]; j < chain_start[size_t(c) + 1]; ++j) column_chain[size_t(j)] = c;

  // Relaxed supernodes: a chain joins the next one when that holds its
  // parent and the zeros stored for it stay a small share of the block
  // (larger blocks for a few zeros make the dense kernels pay).
  auto entries = [](double columns, double rows) { return columns * rows - columns * (columns - 1) / 2; };
  sn_start_.assign(1, 0);
  double columns = 0, true_entries = 0;
  for (int c = 0; c < chains; ++c) {
    const int first = chain_start[size_t(c)], last = chain_start[size_t(c) + 1] - 1;
    const double c_columns = last - first + 1, c_rows = c_columns + below[size_t(last)];
    double c_true = 0;
    for (int j = first; j <= last; ++j) c_true += below[size_t(j)] + 1;
    bool join = false;
    if (c > 0) {
      const int up = parent[size_t(first) - 1];
      if (up != -1 && column_chain[size_t(up)] == c) {
        const double merged_columns = columns + c_columns, merged_rows = columns + c_rows;
        const double merged = entries(merged_columns, merged_rows);
        const double zeros = (merged - true_entries - c_true) / merged;
        join = (merged_columns <= 4 && zeros < 0.5) || (merged_columns <= 16 && zeros < 0.2) ||
               (merged_columns <= 48 && zeros < 0.1) || zeros < 0.05;
        if (join) {
          columns = merged_columns;
          true_entries += c_true;
        }
      }
    }
    if (!join) {
      if (c > 0) sn_start_.push_back(first);
      columns = c_columns;
      true_entries = c_true;
    }
  }
  if (n > 0) sn_start_.push_back(n);
  const int ns = int(sn_start_.size()) - 1;
  column_sn_.assign(size_t(n), 0);
  for (int s = 0; s < ns; ++s)
    for (int j = sn_start_[size_t(s)]; j < sn_start_[size_t(s) + 1]; ++j) column_sn_[size_t(j)] = s;

  // Row structures: a supernode's own columns, then the rows below it of
  // its columns in A and of its children's structures.
  std::vector<int> child_head(size_t(ns), -1), child_next(size_t(ns), -1);
  for (int s = ns - 1; s >= 0; --s) {
    const int up = parent[size_t(sn_start_[size_t(s) + 1]) - 1];
    if (up == -1) continue;
    const int p = column_sn_[size_t(up)];
    child_next[size_t(s)] = child_head[size_t(p)];
    child_head[size_t(p)] = s;
  }
  sn_row_start_.assign(size_t(ns) + 1, 0);
  sn_value_start_.assign(size_t(ns) + 1, 0);
  sn_rows_.clear();
  std::vector<int> mark(size_t(n), -1);
  size_t largest_rows = 0;
  for (int s = 0; s < ns; ++s) {
    const int f = sn_start_[size_t(s)], l = sn_start_[size_t(s) + 1];
    for (int j = f; j < l; ++j) {
      sn_rows_.push_back(j);
      mark[size_t(j)] = s;
    }
    const size_t own_end = sn_rows_.size();
    for (int j = f; j < l; ++j)
      for (int p = cl_start_[size_t(j)] + 1; p < cl_start_[size_t(j) + 1]; ++p) {
        const int r = cl_index_[size_t(p)];
        if (mark[size_t(r)] != s) {
          mark[size_t(r)] = s;
          sn_rows_.push_back(r);
        }
      }
    for (int c = child_head[size_t(s)]; c != -1; c = child_next[size_t(c)]) {
      const int c_columns = sn_start_[size_t(c) + 1] - sn_start_[size_t(c)];
      for (int p = sn_row_start_[size_t(c)] + c_columns; p < sn_row_start_[size_t(c) + 1]; ++p) {
        const int r = sn_rows_[size_t(p)];
        if (mark[size_t(r)] != s) {
          mark[size_t(r)] = s;
          sn_rows_.push_back(r);
        }
      }
    }
    std::sort(sn_rows_.begin() + std::ptrdiff_t(own_end), sn_rows_.end());
    if (sn_rows_.size() > size_t(std::numeric_limits<int>::max())) throw Error("Sparse factorisation: factor too large");
    sn_row_start_[size_t(s) + 1] = int(sn_rows_.size());
    const size_t nr = sn_rows_.size() - size_t(sn_row_start_[size_t(s)]);
    largest_rows = std::max(largest_rows, nr);
    sn_value_start_[size_t(s) + 1] = sn_value_start_[size_t(s)] + nr * size_t(l - f);
  }
  lx_.assign(sn_value_start_[size_t(ns)], 0.0);
  pending_head_.assign(size_t(ns), -1);
  pending_next_.assign(size_t(ns), -1);
  next_row_.assign(size_t(ns), 0);
  row_target_.assign(largest_rows, 0);
  column_target_.assign(largest_rows, 0);
}

int SparseLdl::largest_supernode() const {
  int largest = 0;
  for (size_t s = 0; s + 1 < sn_start_.size(); ++s) largest = std::max(largest, sn_start_[s + 1] - sn_start_[s]);
  return largest;
}

// Left-looking: supernode d, factorised earlier, updates s's columns with
// its rows that fall in them, then waits for the supernode of its next row.
void SparseLdl::update_from(int d, int s, double *block) {
  const int f = sn_start_[size_t(s)], l = sn_start_[size_t(s) + 1];
  const int s_rows = sn_row_start_[size_t(s) + 1] - sn_row_start_[size_t(s)];
  const int *rows = sn_rows_.data() + sn_row_start_[size_t(d)];
  const int nr = sn_row_start_[size_t(d) + 1] - sn_row_start_[size_t(d)];
  const int nc = sn_start_[size_t(d) + 1] - sn_start_[size_t(d)];
  const int p0 = next_row_[size_t(d)];
  int p1 = p0;
  while (p1 < nr && rows[p1] < l) ++p1;
  const int k1 = p1 - p0, k2 = nr - p0;
  for (int r = 0; r < k2; ++r) row_target_[size_t(r)] = relative_[size_t(rows[p0 + r])];
  for (int c = 0; c < k1; ++c) column_target_[size_t(c)] = size_t(rows[p0 + c] - f) * size_t(s_rows);
  lower_update(lx_.data() + sn_value_start_[size_t(d)] + p0, nr, k2, k1, nc, d_.data() + sn_start_[size_t(d)], block,
               row_target_.data(), column_target_.data(), packed_rows_, packed_cols_);
  next_row_[size_t(d)] = p1;
  if (p1 < nr) {
    const int t = column_sn_[size_t(rows[p1])];
    pending_next_[size_t(d)] = pending_head_[size_t(t)];
    pending_head_[size_t(t)] = d;
  }
}

// Dense LDL' of a supernode's block (its diagonal block and the rows below
// it), in column strips: each strip right-looking inside, then one block
// update of the columns to its right. No pivoting, so every pivot keeps its
// place and its sign counts in the inertia.
void SparseLdl::factorise_panel(int s, double *block, double zero_tolerance) {
  const int f = sn_start_[size_t(s)];
  const int nc = sn_start_[size_t(s) + 1] - f;
  const int nr = sn_row_start_[size_t(s) + 1] - sn_row_start_[size_t(s)];
  constexpr int kStrip = 32;
  for (int b0 = 0; b0 < nc; b0 += kStrip) {
    const int b1 = std::min(nc, b0 + kStrip);
    for (int k = b0; k < b1; ++k) {
      double *col = block + size_t(k) * size_t(nr);
      const double dk = col[k];
      if (!(std::fabs(dk) > zero_tolerance) || !std::isfinite(dk)) {
        // A zero (or broken) pivot: count it and drop its direction.
        ++inertia_.zero;
        d_[size_t(f + k)] = 0.0;
        d_inverse_[size_t(f + k)] = 0.0;
        std::fill(col + k + 1, col + nr, 0.0);
        continue;
      }
      ++(dk > 0 ? inertia_.positive : inertia_.negative);
      const double inverse = 1.0 / dk;
      d_[size_t(f + k)] = dk;
      d_inverse_[size_t(f + k)] = inverse;
      for (int j = k + 1; j < b1; ++j) {
        const double t = col[j] * inverse;
        if (t == 0.0) continue;
        double *cj = block + size_t(j) * size_t(nr);
        for (int i = j; i < nr; ++i) cj[i] -= col[i] * t;
      }
      for (int i = k + 1; i < nr; ++i) col[i] *= inverse;
    }
    if (b1 < nc) {
      for (int r = 0; r < nr - b1; ++r) row_target_[size_t(r)] = b1 + r;
      for (int c = 0; c < nc - b1; ++c) column_target_[size_t(c)] = size_t(b1 + c) * size_t(nr);
      lower_update(block + b1 + size_t(b0) * size_t(nr), nr, nr - b1, nc - b1, b1 - b0, d_.data() + f + b0, block,
                   row_target_.data(), column_target_.data(), packed_rows_, packed_cols_);
    }
  }
}

void SparseLdl::factorise(const double *values, const double *diag_add, double zero_tolerance) {
  if (!analysed_) throw Error("Sparse factorisation: no structure analysed");
  inertia_ = Inertia{};
  if (!supernodal_) {
    factorise_columns(values, diag_add, zero_tolerance);
    return;
  }
  const int ns = supernodes();
  std::fill(pending_head_.begin(), pending_head_.end(), -1);
  for (int s = 0; s < ns; ++s) {
    const int f = sn_start_[size_t(s)], l = sn_start_[size_t(s) + 1], nc = l - f;
    const int *rows = sn_rows_.data() + sn_row_start_[size_t(s)];
    const int nr = sn_row_start_[size_t(s) + 1] - sn_row_start_[size_t(s)];
    double *block = lx_.data() + sn_value_start_[size_t(s)];
    std::fill(block, block + size_t(nr) * size_t(nc), 0.0);
    for (int i = 0; i < nr; ++i) relative_[size_t(rows[i])] = i;
    for (int j = f; j < l; ++j) {
      double *col = block + size_t(j - f) * size_t(nr);
      for (int p = cl_start_[size_t(j)]; p < cl_start_[size_t(j) + 1]; ++p) {
        const int src = cl_src_[size_t(p)];
        if (src >= 0) col[relative_[size_t(cl_index_[size_t(p)])]] += values[src];
      }
      if (diag_add) col[j - f] += diag_add[perm_[size_t(j)]];
    }
    for (int d = pending_head_[size_t(s)]; d != -1;) {
      const int next = pending_next_[size_t(d)];
      update_from(d, s, block);
      d = next;
    }
    factorise_panel(s, block, zero_tolerance);
    if (nr > nc) {
      next_row_[size_t(s)] = nc;
      const int t = column_sn_[size_t(rows[nc])];
      pending_next_[size_t(s)] = pending_head_[size_t(t)];
      pending_head_[size_t(t)] = s;
    }
  }
}

// Up-looking: row k of L from column k of the permuted upper triangle,
// the nodes of the row found on the elimination tree.
void SparseLdl::factorise_columns(const double *values, const double *diag_add, double zero_tolerance) {
  const int n = n_;
  std::fill(flag_.begin(), flag_.end(), -1);
  for (int k = 0; k < n; ++k) {
    y_[size_t(k)] = 0.0;
    int top = n;
    flag_[size_t(k)] = k;
    lnz_[size_t(k)] = 0;
    for (int p = cu_start_[size_t(k)]; p < cu_start_[size_t(k) + 1]; ++p) {
      int i = cu_index_[size_t(p)];
      const int src = cu_src_[size_t(p)];
      if (src >= 0) y_[size_t(i)] += values[src];
      int len = 0;
      for (; flag_[size_t(i)] != k; i = parent_[size_t(i)]) {
        pattern_[size_t(len++)] = i;
        flag_[size_t(i)] = k;
      }
      while (len > 0) pattern_[size_t(--top)] = pattern_[size_t(--len)];
    }
    if (diag_add) y_[size_t(k)] += diag_add[perm_[size_t(k)]];
    double dk = y_[size_t(k)];
    y_[size_t(k)] = 0.0;
    for (; top < n; ++top) {
      const int i = pattern_[size_t(top)];
      const double yi = y_[size_t(i)];
      y_[size_t(i)] = 0.0;
      const int p2 = lp_[size_t(i)] + lnz_[size_t(i)];
      for (int p = lp_[size_t(i)]; p < p2; ++p) y_[size_t(li_[size_t(p)])] -= lx_[size_t(p)] * yi;
      const double lki = yi * d_inverse_[size_t(i)];
      dk -= lki * yi;
      li_[size_t(p2)] = k;
      lx_[size_t(p2)] = lki;
      ++lnz_[size_t(i)];
    }
    if (!(std::fabs(dk) > zero_tolerance) || !std::isfinite(dk)) {
      // A zero (or broken) pivot: count it and drop its direction.
      ++inertia_.zero;
      d_[size_t(k)] = 0.0;
      d_inverse_[size_t(k)] = 0.0;
      continue;
    }
    ++(dk > 0 ? inertia_.positive : inertia_.negative);
    d_[size_t(k)] = dk;
    d_inverse_[size_t(k)] = 1.0 / dk;
  }
}

void SparseLdl::solve(double *rhs) const {
  const int n = n_, ns = supernodes();
  double *x = work_.data();
  for (int k = 0; k < n; ++k) x[k] = rhs[perm_[size_t(k)]];
  if (!supernodal_) {
    for (int j = 0; j < n; ++j) {
      const double xj = x[j];
      if (xj == 0.0) continue;
      for (int p = lp_[size_t(j)]; p < lp_[size_t(j) + 1]; ++p) x[li_[size_t(p)]] -= lx_[size_t(p)] * xj;
    }
    for (int j = 0; j < n; ++j) x[j] *= d_inverse_[size_t(j)];
    for (int j = n - 1; j >= 0; --j) {
      double sum = x[j];
      for (int p = lp_[size_t(j)]; p < lp_[size_t(j) + 1]; ++p) sum -= lx_[size_t(p)] * x[li_[size_t(p)]];
      x[j] = sum;
    }
    for (int k = 0; k < n; ++k) rhs[perm_[size_t(k)]] = x[k];
    return;
  }
  for (int s = 0; s < ns; ++s) {
    const int f = sn_start_[size_t(s)], nc = sn_start_[size_t(s) + 1] - f;
    const int *rows = sn_rows_.data() + sn_row_start_[size_t(s)];
    const int nr = sn_row_start_[size_t(s) + 1] - sn_row_start_[size_t(s)];
    const double *block = lx_.data() + sn_value_start_[size_t(s)];
    for (int k = 0; k < nc; ++k) {
      const double xk = x[f + k];
      if (xk == 0.0) continue;
      const double *col = block + size_t(k) * size_t(nr);
      for (int i = k + 1; i < nc; ++i) x[f + i] -= col[i] * xk;
      for (int i = nc; i < nr; ++i) x[rows[i]] -= col[i] * xk;
    }
  }
  for (int k = 0; k < n; ++k) x[k] *= d_inverse_[size_t(k)];
  for (int s = ns - 1; s >= 0; --s) {
    const int f = sn_start_[size_t(s)], nc = sn_start_[size_t(s) + 1] - f;
    const int *rows = sn_rows_.data() + sn_row_start_[size_t(s)];
    const int nr = sn_row_start_[size_t(s) + 1] - sn_row_start_[size_t(s)];
    const double *block = lx_.data() + sn_value_start_[size_t(s)];
    for (int k = nc - 1; k >= 0; --k) {
      const double *col = block + size_t(k) * size_t(nr);
      double sum = x[f + k];
      for (int i = k + 1; i < nc; ++i) sum -= col[i] * x[f + i];
      for (int i = nc; i < nr; ++i) sum -= col[i] * x[rows[i]];
      x[f + k] = sum;
    }
  }
  for (int k = 0; k < n; ++k) rhs[perm_[size_t(k)]] = x[k];
}

}  // namespace krvs::nlp
