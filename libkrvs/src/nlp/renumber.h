// Keeps the nonlinear coefficients, row statuses and SLP column settings in
// step when rows or columns of the wrapped optimizer problem are deleted.
#pragma once

#include <vector>

#include "krvs.h"

namespace krvs::nlp {

// `remove` has one entry per row (column) before the deletion. Coefficients
// on deleted rows, multiplying deleted columns or reading them are dropped;
// the others are renumbered. No-ops without a nonlinear problem.
void rows_deleted(KRVSprob prob, const std::vector<bool> &remove);
void cols_deleted(KRVSprob prob, const std::vector<bool> &remove);

// The optimizer problem got a new model (a load or a file read): everything
// that spoke of the old rows and columns goes (coefficients, row statuses,
// SLP column settings, tolerance sets, delta factors, row weights, cascading,
// multistart jobs, the last solution). Controls, user functions and
// callbacks stay. No-op without a nonlinear problem.
void model_replaced(KRVSprob prob);

}  // namespace krvs::nlp
