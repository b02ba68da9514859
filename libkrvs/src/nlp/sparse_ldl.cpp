#include "sparse_ldl.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <string>
#include <utility>

#include "core/guard.h"

namespace krvs::nlp {

std::vector<int> minimum_degree_order(std::vector<std::vector<int>> adj, const std::vector<char> &has_diagonal) {
  const int n = int(adj.size());
  std::vector<int> perm;
  perm.reserve(size_t(n));
  // Dense nodes (an objective row over every column, say) would make every
  // elimination touch them: they leave the graph and come last.
  const size_t dense_degree = size_t(std::max(16.0, 10.0 * std::sqrt(double(n))));
  std::vector<char> dense(size_t(n), 0), done(size_t(n), 0), eligible(size_t(n), 0);
  std::vector<int> dense_nodes;
  for (int u = 0; u < n; ++u)
    if (adj[size_t(u)].size() > dense_degree) {
      dense[size_t(u)] = 1;
      dense_nodes.push_back(u);
    }
  if (!dense_nodes.empty())
    for (int u = 0; u < n; ++u) {
      auto &a = adj[size_t(u)];
      if (dense[size_t(u)]) {
        a.clear();
        continue;
      }
      a.erase(std::remove_if(a.begin(), a.end(), [&](int w) { return dense[size_t(w)] != 0; }), a.end());
    }
  using Entry = std::pair<size_t, int>;  // (degree, node), smallest first
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> ready, any;
  for (int u = 0; u < n; ++u) {
    if (dense[size_t(u)]) continue;
    eligible[size_t(u)] = has_diagonal.empty() || has_diagonal[size_t(u)];
    if (eligible[size_t(u)]) ready.push({adj[size_t(u)].size(), u});
    any.push({adj[size_t(u)].size(), u});
  }
  std::vector<int> mark(size_t(n), -1);
  std::vector<int> leftover;  // nodes no neighbour gave a diagonal: after the dense ones
  int stamp = 0;
  const auto current = [&](const Entry &e) { return !done[size_t(e.second)] && adj[size_t(e.second)].size() == e.first; };
  for (;;) {
    int v = -1;
    while (!ready.empty()) {
      Entry e = ready.top();
      ready.pop();
      if (current(e)) {
        v = e.second;
        break;
      }
    }
    if (v < 0) break;
    done[size_t(v)] = 1;
    perm.push_back(v);
    std::vector<int> nbrs = std::move(adj[size_t(v)]);
    adj[size_t(v)].clear();
    adj[size_t(v)].shrink_to_fit();
    // The neighbours of v become a clique (the fill of eliminating v).
    for (int u : nbrs) {
      ++stamp;
      auto &a = adj[size_t(u)];
      size_t kept = 0;
      for (int w : a)
        if (w != v) {
          mark[size_t(w)] = stamp;
          a[kept++] = w;
        }
      a.resize(kept);
      for (int w : nbrs)
        if (w != u && mark[size_t(w)] != stamp) a.push_back(w);
      eligible[size_t(u)] = 1;
      ready.push({a.size(), u});
    }
  }
  // Nodes still waiting: their neighbours wait too, or are dense.
  while (!any.empty()) {
    Entry e = any.top();
    any.pop();
    if (!done[size_t(e.second)]) {
      done[size_t(e.second)] = 1;
      leftover.push_back(e.second);
    }
  }
  std::sort(dense_nodes.begin(), dense_nodes.end(), [&](int a, int b) { return a < b; });
  perm.insert(perm.end(), dense_nodes.begin(), dense_nodes.end());
  perm.insert(perm.end(), leftover.begin(), leftover.end());
  return perm;
}

void SparseLdl::analyse(int n, const std::vector<int> &start, const std::vector<int> &index,
                        const std::vector<char> *has_diagonal, bool natural) {
  analysed_ = false;
  if (n < 0 || start.size() != size_t(n) + 1 || start[0] != 0 || size_t(start[size_t(n)]) != index.size())
    throw Error("Sparse factorisation: malformed column starts");
  if (has_diagonal && has_diagonal->size() != size_t(n)) throw Error("Sparse factorisation: wrong diagonal flags");
  for (int j = 0; j < n; ++j) {
    if (start[size_t(j) + 1] < start[size_t(j)]) throw Error("Sparse factorisation: malformed column starts");
    for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p)
      if (index[size_t(p)] < j || index[size_t(p)] >= n)
        throw Error("Sparse factorisation: entry outside the lower triangle");
  }
  n_ = n;
  if (natural) {
    perm_.resize(size_t(n));
    for (int k = 0; k < n; ++k) perm_[size_t(k)] = k;
  } else {
    std::vector<std::vector<int>> adj;
    adj.resize(size_t(n));
    std::vector<char> diag(size_t(n), has_diagonal ? 0 : 1);
    if (has_diagonal) diag = *has_diagonal;
    for (int j = 0; j < n; ++j)
      for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
        int i = index[size_t(p)];
        if (i == j) continue;
        adj[size_t(i)].push_back(j);
        adj[size_t(j)].push_back(i);
      }
    for (auto &a : adj) {
      std::sort(a.begin(), a.end());
      a.erase(std::unique(a.begin(), a.end()), a.end());
    }
    perm_ = minimum_degree_order(std::move(adj), diag);
  }
  pinv_.assign(size_t(n), 0);
  for (int k = 0; k < n; ++k) pinv_[size_t(perm_[size_t(k)])] = k;

  // Permuted upper triangle by columns: entry (i, j) of the input goes to
  // column max(pi, pj), row min(pi, pj).
  std::vector<int> count(size_t(n) + 1, 0);
  for (int j = 0; j < n; ++j)
    for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
      int i = index[size_t(p)];
      if (i != j) ++count[size_t(std::max(pinv_[size_t(i)], pinv_[size_t(j)]))];
    }
  cu_start_.assign(size_t(n) + 1, 0);
  for (int k = 0; k < n; ++k) cu_start_[size_t(k) + 1] = cu_start_[size_t(k)] + count[size_t(k)] + 1;
  cu_index_.assign(size_t(cu_start_[size_t(n)]), 0);
  cu_src_.assign(size_t(cu_start_[size_t(n)]), -1);
  std::vector<int> fill(cu_start_.begin(), cu_start_.end() - 1);
  std::vector<int> diag_src(size_t(n), -1);
  for (int j = 0; j < n; ++j)
    for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
      int i = index[size_t(p)];
      if (i == j) {
        if (diag_src[size_t(j)] >= 0) throw Error("Sparse factorisation: repeated diagonal entry");
        diag_src[size_t(j)] = p;
        continue;
      }
      int a = pinv_[size_t(i)], b = pinv_[size_t(j)];
      int col = std::max(a, b);
      cu_index_[size_t(fill[size_t(col)])] = std::min(a, b);
      cu_src_[size_t(fill[size_t(col)]++)] = p;
    }
  for (int k = 0; k < n; ++k) {
    cu_index_[size_t(fill[size_t(k)])] = k;
    cu_src_[size_t(fill[size_t(k)])] = diag_src[size_t(perm_[size_t(k)])];
  }

  // Elimination tree and column counts of L.
  parent_.assign(size_t(n), -1);
  lnz_.assign(size_t(n), 0);
  flag_.assign(size_t(n), -1);
  for (int k = 0; k < n; ++k) {
    flag_[size_t(k)] = k;
    for (int p = cu_start_[size_t(k)]; p < cu_start_[size_t(k) + 1]; ++p) {
      int i = cu_index_[size_t(p)];
      for (; i < k && flag_[size_t(i)] != k; i = parent_[size_t(i)]) {
        if (parent_[size_t(i)] == -1) parent_[size_t(i)] = k;
        ++lnz_[size_t(i)];
        flag_[size_t(i)] = k;
      }
    }
  }
  lp_.assign(size_t(n) + 1, 0);
  for (int k = 0; k < n; ++k) {
    lp_[size_t(k) + 1] = lp_[size_t(k)] + lnz_[size_t(k)];
    if (lp_[size_t(k) + 1] < lp_[size_t(k)]) throw Error("Sparse factorisation: factor too large");
  }
  li_.assign(size_t(lp_[size_t(n)]), 0);
  lx_.assign(size_t(lp_[size_t(n)]), 0.0);
  d_.assign(size_t(n), 0.0);
  y_.assign(size_t(n), 0.0);
  pattern_.assign(size_t(n), 0);
  work_.assign(size_t(n), 0.0);
  analysed_ = true;
}

void SparseLdl::factorise(const double *values, const double *diag_add, double zero_tolerance) {
  if (!analysed_) throw Error("Sparse factorisation: no structure analysed");
  const int n = n_;
  inertia_ = Inertia{};
  std::fill(flag_.begin(), flag_.end(), -1);
  for (int k = 0; k < n; ++k) {
    // Row k of L from the elimination tree: the nodes reached from the
    // entries of column k of the permuted upper triangle.
    y_[size_t(k)] = 0.0;
    int top = n;
    flag_[size_t(k)] = k;
    lnz_[size_t(k)] = 0;
    for (int p = cu_start_[size_t(k)]; p < cu_start_[size_t(k) + 1]; ++p) {
      int i = cu_index_[size_t(p)];
      int src = cu_src_[size_t(p)];
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
      int i = pattern_[size_t(top)];
      double yi = y_[size_t(i)];
      y_[size_t(i)] = 0.0;
      int p2 = lp_[size_t(i)] + lnz_[size_t(i)];
      for (int p = lp_[size_t(i)]; p < p2; ++p) y_[size_t(li_[size_t(p)])] -= lx_[size_t(p)] * yi;
      double lki = yi / d_[size_t(i)];
      dk -= lki * yi;
      li_[size_t(p2)] = k;
      lx_[size_t(p2)] = lki;
      ++lnz_[size_t(i)];
    }
    if (!(std::fabs(dk) > zero_tolerance) || !std::isfinite(dk)) {
      // A zero (or broken) pivot: count it and drop its direction.
      ++inertia_.zero;
      dk = std::numeric_limits<double>::infinity();
    } else if (dk > 0) {
      ++inertia_.positive;
    } else {
      ++inertia_.negative;
    }
    d_[size_t(k)] = dk;
  }
}

void SparseLdl::solve(double *rhs) const {
  const int n = n_;
  double *x = work_.data();
  for (int k = 0; k < n; ++k) x[k] = rhs[perm_[size_t(k)]];
  for (int j = 0; j < n; ++j) {
    const double xj = x[j];
    if (xj == 0.0) continue;
    for (int p = lp_[size_t(j)]; p < lp_[size_t(j) + 1]; ++p) x[li_[size_t(p)]] -= lx_[size_t(p)] * xj;
  }
  for (int j = 0; j < n; ++j) x[j] /= d_[size_t(j)];
  for (int j = n - 1; j >= 0; --j) {
    double s = x[j];
    for (int p = lp_[size_t(j)]; p < lp_[size_t(j) + 1]; ++p) s -= lx_[size_t(p)] * x[li_[size_t(p)]];
    x[j] = s;
  }
  for (int k = 0; k < n; ++k) rhs[perm_[size_t(k)]] = x[k];
}

}  // namespace krvs::nlp
