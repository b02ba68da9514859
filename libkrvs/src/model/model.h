// The engine's own copy of a model (columns, rows, matrix, objective,
// quadratic parts, sets, indicators, names).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krvs {

class Model {
 public:
  int rows() const { return 0; }
  int cols() const { return 0; }
};

}  // namespace krvs
