// Attribute values, computed from the model store and the last solve.
#include <algorithm>
#include <cstring>

#include "HConfig.h"
#include "analysis/presolve.h"
#include "model/model.h"
#include "problem.h"
#include "solve/solve_state.h"

namespace krvs {
namespace {

int64_t model_count_coltypes(const Model &m, const char *types) {
  // A table of the wanted letters rather than a search per column: solves
  // from Python ask these counts every time (is the problem a MIP?), over
  // models of millions of columns.
  // Most models hold continuous columns only, which a first pass of plain
  // byte compares (vectorised) finds out.
  uint32_t continuous = 0;
  const char *type = m.coltype.data();
  const size_t n_cols = m.coltype.size();
  for (size_t done = 0; done < n_cols;) {
    const size_t block = std::min<size_t>(n_cols - done, 1u << 20);
    continuous = 0;
    for (size_t j = 0; j < block; ++j) continuous += type[done + j] == 'C';
    if (continuous != block) break;
    done += block;
    if (done == n_cols) return strchr(types, 'C') ? int64_t(n_cols) : 0;
  }
  bool wanted[256] = {};
  for (const char *t = types; *t; ++t) wanted[static_cast<unsigned char>(*t)] = true;
  int64_t n = 0;
  for (char t : m.coltype) n += wanted[static_cast<unsigned char>(t)];
  return n;
}

int64_t model_set_members(const Model &m) {
  int64_t n = 0;
  for (const auto &s : m.sets) n += int64_t(s.cols.size());
  return n;
}

int64_t model_quadratic_rows(const Model &m) {
  int64_t n = 0;
  for (const auto &[row, entries] : m.qrows) n += entries.empty() ? 0 : 1;
  return n;
}

}  // namespace

bool int_attribute(KRVSprob prob, int id, int64_t &value) {
  const Model &m = *prob->model;
  if (solve_int_attribute(*prob->solve, id, value)) return true;
  switch (id) {
    // Model counts: 1001 and 1018 are those of the current problem, which is
    // the presolved one while an LP solve keeps it.
    case 1001:
    case 1018: {
      KRVSprob presolved = analysis::presolved_handle(prob);
      const Model &current = presolved ? *presolved->model : m;
      value = id == 1001 ? current.rows() : current.cols();
      return true;
    }
    case 1124: value = m.rows(); return true;
    case 1214: value = m.cols(); return true;
    case 1019: value = 0; return true;
    case 1004: case 1194: value = int64_t(m.sets.size()); return true;
    case 1005: value = model_set_members(m); return true;
    case 1020: value = m.nonzeros(); return true;
    case 1021: value = int64_t(m.qobj.size()); return true;
    case 1022: value = model_quadratic_rows(m); return true;
    case 1024: value = m.obj_sense; return true;
    case 1028: value = name_units(m); return true;
    case 1032: value = model_count_coltypes(m, "BIP"); return true;
    case 1325: value = model_count_coltypes(m, "SR"); return true;
    case 1327: value = int64_t(m.indicators.size()); return true;
    case 1431: value = int64_t(m.mip.gencons.size()); return true;
    case 1432: value = int64_t(m.mip.pwlcons.size()); return true;
    case 1433: value = int64_t(m.mip.mip_starts.size()); return true;
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
  if (solve_double_attribute(*prob->solve, id, value)) return true;
  if (id == 2007) {  // model data
    value = prob->model->obj_constant;
    return true;
  }
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
