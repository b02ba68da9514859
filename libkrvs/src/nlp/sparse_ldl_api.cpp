// The sparse symmetric factorisation through the library interface, for
// callers that factorise matrices of their own and for checking it.
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "core/guard.h"
#include "knls.h"
#include "sparse_ldl.h"

using namespace krvs;
using namespace krvs::nlp;

namespace {

// out = A x for the symmetric A given by its lower triangle.
void multiply_symmetric(int n, const std::vector<int> &start, const std::vector<int> &index, const double *values,
                        const std::vector<double> &x, std::vector<double> &out) {
  out.assign(size_t(n), 0.0);
  for (int j = 0; j < n; ++j)
    for (int p = start[size_t(j)]; p < start[size_t(j) + 1]; ++p) {
      int i = index[size_t(p)];
      out[size_t(i)] += values[p] * x[size_t(j)];
      if (i != j) out[size_t(j)] += values[p] * x[size_t(i)];
    }
}

}  // namespace

extern "C" int KNLSfactorsymmetric(int n, const int start[], const int index[], const double values[], int natural,
                                   double rhs[], int inertia[3], int64_t *factor_nonzeros) noexcept {
  return guard_global([&] {
    if (n < 0) throw Error("KNLSfactorsymmetric: negative order");
    if (!start) throw Error("KNLSfactorsymmetric: null column starts");
    if (start[0] != 0 || start[n] < 0) throw Error("KNLSfactorsymmetric: malformed column starts");
    const int nnz = start[n];
    if (nnz > 0 && (!index || !values)) throw Error("KNLSfactorsymmetric: null entries");
    std::vector<int> st(start, start + n + 1), ix(index, index + nnz);
    for (int p = 0; p < nnz; ++p)
      if (!std::isfinite(values[p])) throw Error("KNLSfactorsymmetric: value that is not a finite number");
    SparseLdl ldl;
    ldl.analyse(n, st, ix, nullptr, natural != 0);
    ldl.factorise(values);
    if (inertia) {
      inertia[0] = ldl.inertia().positive;
      inertia[1] = ldl.inertia().negative;
      inertia[2] = ldl.inertia().zero;
    }
    if (factor_nonzeros) *factor_nonzeros = int64_t(ldl.factor_nonzeros());
    if (!rhs) return;
    std::vector<double> b(rhs, rhs + n), x(rhs, rhs + n), r;
    ldl.solve(x.data());
    for (int step = 0; step < 2; ++step) {
      multiply_symmetric(n, st, ix, values, x, r);
      for (int i = 0; i < n; ++i) r[size_t(i)] = b[size_t(i)] - r[size_t(i)];
      ldl.solve(r.data());
      for (int i = 0; i < n; ++i) x[size_t(i)] += r[size_t(i)];
    }
    for (int i = 0; i < n; ++i) rhs[i] = x[size_t(i)];
  });
}

extern "C" int KNLSfactorsymmetricseries(int n, const int start[], const int index[], int sets, const double values[],
                                         int options, double rhs[], int inertia[], double stats[7],
                                         double max_factor_flops) noexcept {
  return guard_global([&] {
    if (n < 0) throw Error("KNLSfactorsymmetricseries: negative order");
    if (sets < 0) throw Error("KNLSfactorsymmetricseries: negative number of value sets");
    if (options & ~(KNLS_FACTOR_NATURAL | KNLS_FACTOR_COLUMNS | KNLS_FACTOR_SUPERNODAL) ||
        ((options & KNLS_FACTOR_COLUMNS) && (options & KNLS_FACTOR_SUPERNODAL)))
      throw Error("KNLSfactorsymmetricseries: unknown or conflicting options");
    if (!(max_factor_flops >= 0)) throw Error("KNLSfactorsymmetricseries: negative or undefined flop limit");
    if (!start) throw Error("KNLSfactorsymmetricseries: null column starts");
    if (start[0] != 0 || start[n] < 0) throw Error("KNLSfactorsymmetricseries: malformed column starts");
    const int nnz = start[n];
    for (int j = 0; j < n; ++j)
      if (start[j + 1] < start[j]) throw Error("KNLSfactorsymmetricseries: malformed column starts");
    if (nnz > 0 && !index) throw Error("KNLSfactorsymmetricseries: null entries");
    if (sets > 0 && nnz > 0 && !values) throw Error("KNLSfactorsymmetricseries: null values");
    const size_t total = size_t(sets) * size_t(nnz);
    for (size_t p = 0; p < total; ++p)
      if (!std::isfinite(values[p])) throw Error("KNLSfactorsymmetricseries: value that is not a finite number");
    std::vector<int> st(start, start + n + 1), ix(index, index + nnz);
    // A node whose diagonal is absent from the pattern has none to pivot on
    // until a neighbour's elimination gives it one.
    std::vector<char> has_diagonal(size_t(n), 0);
    for (int j = 0; j < n; ++j)
      for (int p = st[size_t(j)]; p < st[size_t(j) + 1]; ++p)
        if (ix[size_t(p)] == j) has_diagonal[size_t(j)] = 1;
    SparseLdl ldl;
    if (options & KNLS_FACTOR_COLUMNS) ldl.set_kernel(SparseLdl::Kernel::columns);
    if (options & KNLS_FACTOR_SUPERNODAL) ldl.set_kernel(SparseLdl::Kernel::supernodal);
    ldl.set_limits(max_factor_flops, 0.0);
    ldl.analyse(n, st, ix, &has_diagonal, (options & KNLS_FACTOR_NATURAL) != 0);
    double numeric_seconds = 0.0;
    for (int k = 0; k < sets; ++k) {
      const auto t0 = std::chrono::steady_clock::now();
      ldl.factorise(values + size_t(k) * size_t(nnz));
      numeric_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (inertia) {
        inertia[3 * k] = ldl.inertia().positive;
        inertia[3 * k + 1] = ldl.inertia().negative;
        inertia[3 * k + 2] = ldl.inertia().zero;
      }
      if (rhs) ldl.solve(rhs + size_t(k) * size_t(n));
    }
    if (stats) {
      stats[0] = ldl.ordering_seconds();
      stats[1] = ldl.symbolic_seconds();
      stats[2] = numeric_seconds;
      stats[3] = double(ldl.factor_nonzeros());
      stats[4] = ldl.factor_flops();
      stats[5] = double(ldl.supernodes());
      stats[6] = double(ldl.largest_supernode());
    }
  });
}
