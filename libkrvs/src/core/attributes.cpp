// Attribute values, computed from the model store and the last solve.
#include <cstring>

#include "HConfig.h"
#include "model/model.h"
#include "problem.h"
#include "solve/solve_state.h"

namespace krvs {

bool int_attribute(KRVSprob prob, int id, int64_t &value) {
  const Model &m = *prob->model;
  const SolveState &s = *prob->solve;
  switch (id) {
    case 1001: case 1124: value = m.rows(); return true;
    case 1018: case 1214: value = m.cols(); return true;
    case 1019: value = 0; return true;
    case 1010: value = s.lp_status; return true;
    case 1011: value = s.mip_status; return true;
    case 1012: value = s.stop_status; return true;
    case 1158: value = int64_t(prob->name.size()); return true;
    default: break;
  }
  const AttribInfo *info = find_attrib(id);
  if (info && info->type == ValueType::Int) {
    value = 0;
    return true;
  }
  return false;
}

bool double_attribute(KRVSprob prob, int id, double &value) {
  (void)prob;
  const AttribInfo *info = find_attrib(id);
  if (info && info->type == ValueType::Double) {
    value = 0.0;
    return true;
  }
  return false;
}

bool string_attribute(KRVSprob prob, int id, std::string &value) {
  switch (id) {
    case 3001: value = prob->name; return true;
    case 3002:
      value = std::to_string(HIGHS_VERSION_MAJOR) + "." + std::to_string(HIGHS_VERSION_MINOR) + "." +
              std::to_string(HIGHS_VERSION_PATCH);
      return true;
    default: return false;
  }
}

}  // namespace krvs
