// The sparse symmetric factorisation through the library interface, for
// callers that factorise matrices of their own and for checking it.
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
