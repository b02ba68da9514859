// Semidefiniteness of a sparse symmetric matrix, used to tell convex
// quadratic objectives and rows from non-convex ones before a solve.
#pragma once

#include <vector>

namespace krvs {

// One entry Q_ij = Q_ji = value of a symmetric matrix, given once (i <= j).
struct SymmetricEntry {
  int i;
  int j;
  double value;
};

enum class Definiteness { Semidefinite, Indefinite, Unknown };

// Whether sign * Q is positive semidefinite (sign 1) or negative semidefinite
// (sign -1). The matrix is split into its connected blocks and each block is
// factorised densely; a block larger than max_block gives Unknown.
Definiteness check_semidefinite(const std::vector<SymmetricEntry> &entries, double sign, int max_block = 2000);

}  // namespace krvs
