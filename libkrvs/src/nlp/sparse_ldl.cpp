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
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> ready, any;
  int live = 0;
  for (int u = 0; u < n; ++u) {
    if (state[size_t(u)] == kDense) continue;
    ++live;
    degree[size_t(u)] = int(adj[size_t(u)].size());
    eligible[size_t(u)] = has_diagonal.empty() || has_diagonal[size_t(u)];
    if (eligible[size_t(u)]) ready.push({degree[size_t(u)], u});
    any.push({degree[size_t(u)], u});
  }
  std::vector<int> mark(size_t(n), -1), w(size_t(n), -1);
  int stamp = 0;
  std::vector<int> lp;
  int eliminated = 0;
  for (;;) {
    int p = -1;
    while (!ready.empty()) {
      Entry e = ready.top();
      ready.pop();
      if (state[size_t(e.second)] == kVariable && degree[size_t(e.second)] == e.first) {
        p = e.second;
        break;
      }
    }
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
      ready.push({degree[size_t(i)], i});
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
