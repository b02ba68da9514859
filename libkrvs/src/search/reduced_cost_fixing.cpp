#include "search/reduced_cost_fixing.h"

#include <algorithm>
#include <cmath>

namespace krvs {

std::vector<TightenedBound> reduced_cost_fixings(const std::vector<HighsVarType> &integrality,
                                                 const std::vector<double> &lower, const std::vector<double> &upper,
                                                 const std::vector<double> &x, const std::vector<double> &d,
                                                 double objective, double limit, double tol) {
  std::vector<TightenedBound> tightened;
  // A little room for the relaxation's own tolerances: reduced costs of
  // other columns may be off by the dual feasibility tolerance.
  const double gap = limit - objective + 1e-7 * std::max(1.0, std::fabs(limit));
  if (!(gap >= 0) || !std::isfinite(gap)) return tightened;
  const size_t n = std::min({integrality.size(), lower.size(), upper.size(), x.size(), d.size()});
  for (size_t j = 0; j < n; ++j) {
    if (integrality[j] != HighsVarType::kInteger) continue;
    const double l = lower[j], u = upper[j], dj = d[j];
    if (!(u - l >= 1 - tol) || std::fabs(dj) < 1e-6) continue;
    // The whole number of steps the objective can afford away from the bound.
    const double steps = std::floor(gap / std::fabs(dj) + 1e-6);
    if (dj > 0 && std::isfinite(l) && x[j] <= l + tol && l + steps < u - 0.5)
      tightened.push_back(TightenedBound{int(j), l, l + steps});
    else if (dj < 0 && std::isfinite(u) && x[j] >= u - tol && u - steps > l + 0.5)
      tightened.push_back(TightenedBound{int(j), u - steps, u});
  }
  return tightened;
}

}  // namespace krvs
