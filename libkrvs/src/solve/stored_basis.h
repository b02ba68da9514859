// The stored simplex basis of a problem as the C interface shows it.
//
// Status codes: columns 0 nonbasic at the lower bound, 1 basic, 2 nonbasic
// at the upper bound, 3 nonbasic free (superbasic). Rows speak of their
// slack (rhs - activity): 0 when the slack is at its lower end (an 'L' or
// 'E' row, or a range row at its rhs, is tight), 2 at its upper end (a 'G'
// row is tight, or a range row at rhs - range), 1 basic, 3 free.
#pragma once

#include <cstdint>

#include "krvs.h"

namespace krvs {

class Model;
struct StoredBasis;

// The problem's basis, checked to fit the current model; throws Error (with
// fn in the text) when there is none.
const StoredBasis &current_basis(const char *fn, KRVSprob prob);

int column_status_code(int8_t highs_status);
int row_status_code(const Model &m, int row, int8_t highs_status);
// The inverse mappings; -1 for a code outside 0..3.
int8_t column_highs_status(int code);
int8_t row_highs_status(const Model &m, int row, int code);

// Replaces the problem's basis with the given one (HiGHS statuses, one per
// column and row of the model), stamped with the model's structure, so that
// the next LP solve starts from it.
void store_basis(KRVSprob prob, const int8_t *col_status, const int8_t *row_status);

}  // namespace krvs
