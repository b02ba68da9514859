#include "solve/convexity.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>

namespace krvs {
namespace {

struct DisjointSets {
  std::vector<int> parent;
  explicit DisjointSets(int n) : parent(size_t(n)) { std::iota(parent.begin(), parent.end(), 0); }
  int find(int a) {
    while (parent[size_t(a)] != a) {
      parent[size_t(a)] = parent[size_t(parent[size_t(a)])];
      a = parent[size_t(a)];
    }
    return a;
  }
  void join(int a, int b) { parent[size_t(find(a))] = find(b); }
};

// LDL' factorisation without pivoting of a dense symmetric block (lower
// triangle used). A negative pivot, or a zero pivot with a non-zero entry
// left in its column, proves the block is not positive semidefinite.
bool dense_block_is_psd(std::vector<double> &a, int n) {
  double scale = 0.0;
  for (size_t e = 0; e < a.size(); ++e) scale = std::max(scale, std::fabs(a[e]));
  if (scale == 0.0) return true;
  const double pivot_tol = 1e-10 * scale;
  const double entry_tol = 1e-7 * scale;
  auto at = [&](int r, int c) -> double & { return a[size_t(r) * size_t(n) + size_t(c)]; };
  for (int k = 0; k < n; ++k) {
    double d = at(k, k);
    if (d < -pivot_tol) return false;
    if (d <= pivot_tol) {
      for (int i = k + 1; i < n; ++i)
        if (std::fabs(at(i, k)) > entry_tol) return false;
      continue;
    }
    for (int i = k + 1; i < n; ++i) {
      double l = at(i, k) / d;
      if (l == 0.0) continue;
      for (int j = k + 1; j <= i; ++j) at(i, j) -= l * at(j, k);
    }
  }
  return true;
}

}  // namespace

Definiteness check_semidefinite(const std::vector<SymmetricEntry> &entries, double sign, int max_block) {
  // Number the indices that occur, then group them into connected blocks.
  std::unordered_map<int, int> local;
  for (const auto &e : entries) {
    if (e.value == 0.0) continue;
    local.emplace(e.i, int(local.size()));
    local.emplace(e.j, int(local.size()));
  }
  const int n = int(local.size());
  if (n == 0) return Definiteness::Semidefinite;
  DisjointSets sets(n);
  for (const auto &e : entries)
    if (e.value != 0.0) sets.join(local[e.i], local[e.j]);

  std::vector<int> block_of(size_t(n), -1), position(size_t(n), 0), block_size;
  for (int v = 0; v < n; ++v) {
    int root = sets.find(v);
    if (block_of[size_t(root)] < 0) {
      block_of[size_t(root)] = int(block_size.size());
      block_size.push_back(0);
    }
    int b = block_of[size_t(root)];
    position[size_t(v)] = block_size[size_t(b)]++;
  }
  for (int size : block_size)
    if (size > max_block) return Definiteness::Unknown;

  std::vector<std::vector<double>> dense(block_size.size());
  for (size_t b = 0; b < block_size.size(); ++b) dense[b].assign(size_t(block_size[b]) * size_t(block_size[b]), 0.0);
  for (const auto &e : entries) {
    if (e.value == 0.0) continue;
    int u = local[e.i], v = local[e.j];
    int b = block_of[size_t(sets.find(u))];
    int pu = position[size_t(u)], pv = position[size_t(v)];
    int n_b = block_size[size_t(b)];
    double value = sign * e.value;
    if (pu == pv) {
      dense[size_t(b)][size_t(pu) * size_t(n_b) + size_t(pu)] += value;
    } else {
      dense[size_t(b)][size_t(std::max(pu, pv)) * size_t(n_b) + size_t(std::min(pu, pv))] += value;
    }
  }
  for (size_t b = 0; b < dense.size(); ++b)
    if (!dense_block_is_psd(dense[b], block_size[b])) return Definiteness::Indefinite;
  return Definiteness::Semidefinite;
}

}  // namespace krvs
