#include "solve/stored_basis.h"

#include <string>

#include "Highs.h"
#include "core/guard.h"
#include "core/problem.h"
#include "model/model.h"
#include "solve/solve_state.h"

namespace krvs {

const StoredBasis &current_basis(const char *fn, KRVSprob prob) {
  const StoredBasis &b = prob->solve->basis;
  const Model &m = *prob->model;
  if (!b.valid)
    throw Error(std::string(fn) + ": no basis is available (solve the problem as an LP with the simplex method, or "
                                  "read or load a basis first)");
  if (b.structure_version != m.structure_version || b.col_status.size() != size_t(m.cols()) ||
      b.row_status.size() != size_t(m.rows()))
    throw Error(std::string(fn) + ": the basis no longer fits the model: rows, columns or coefficients changed since "
                                  "it was found");
  return b;
}

int column_status_code(int8_t highs_status) {
  switch (HighsBasisStatus(highs_status)) {
    case HighsBasisStatus::kBasic: return 1;
    case HighsBasisStatus::kUpper: return 2;
    case HighsBasisStatus::kZero: return 3;
    default: return 0;
  }
}

int row_status_code(const Model &m, int row, int8_t highs_status) {
  switch (HighsBasisStatus(highs_status)) {
    case HighsBasisStatus::kBasic: return 1;
    case HighsBasisStatus::kZero: return 3;
    case HighsBasisStatus::kLower: return m.rowtype[size_t(row)] == 'E' ? 0 : 2;  // activity at its lower limit
    default: return 0;  // activity at its upper limit: the slack is 0
  }
}

int8_t column_highs_status(int code) {
  switch (code) {
    case 0: return int8_t(HighsBasisStatus::kLower);
    case 1: return int8_t(HighsBasisStatus::kBasic);
    case 2: return int8_t(HighsBasisStatus::kUpper);
    case 3: return int8_t(HighsBasisStatus::kZero);
    default: return -1;
  }
}

int8_t row_highs_status(const Model &m, int row, int code) {
  const char type = m.rowtype[size_t(row)];
  switch (code) {
    case 0: return int8_t(type == 'G' || type == 'E' ? HighsBasisStatus::kLower : HighsBasisStatus::kUpper);
    case 1: return int8_t(HighsBasisStatus::kBasic);
    case 2: return int8_t(type == 'L' ? HighsBasisStatus::kUpper : HighsBasisStatus::kLower);
    case 3: return int8_t(HighsBasisStatus::kZero);
    default: return -1;
  }
}

void store_basis(KRVSprob prob, const int8_t *col_status, const int8_t *row_status) {
  const Model &m = *prob->model;
  StoredBasis &b = prob->solve->basis;
  b.col_status.assign(col_status, col_status + m.cols());
  b.row_status.assign(row_status, row_status + m.rows());
  b.structure_version = m.structure_version;
  b.valid = true;
}

}  // namespace krvs
