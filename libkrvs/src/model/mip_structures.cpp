// Keeping the mixed-integer parts of a model consistent with deletions.
#include "model/mip_structures.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace krvs {

const char *general_constraint_type_name(int type) {
  switch (type) {
    case GENCONS_MAX: return "max";
    case GENCONS_MIN: return "min";
    case GENCONS_AND: return "and";
    case GENCONS_OR: return "or";
    case GENCONS_ABS: return "abs";
    default: return "unknown";
  }
}

uint64_t next_handle_id() {
  static std::atomic<uint64_t> counter{0};
  return ++counter;
}

namespace {

std::set<int> remap_set(const std::set<int> &indices, const std::vector<int> &map) {
  std::set<int> out;
  for (int i : indices)
    if (i >= 0 && size_t(i) < map.size() && map[size_t(i)] >= 0) out.insert(map[size_t(i)]);
  return out;
}

int mapped(const std::vector<int> &map, int i) { return i >= 0 && size_t(i) < map.size() ? map[size_t(i)] : -1; }

}  // namespace

void MipStructures::rows_deleted(const std::vector<int> &rowmap) {
  secure_rows = remap_set(secure_rows, rowmap);
  model_cut_rows = remap_set(model_cut_rows, rowmap);
  delayed_rows = remap_set(delayed_rows, rowmap);
}

void MipStructures::cols_deleted(const std::vector<int> &colmap) {
  // A general constraint loses the deleted operands, as a row loses the
  // coefficients of deleted columns; without its resultant or without any
  // operand left it is gone.
  size_t kept = 0;
  // Moves an item down to position `kept` (not onto itself, which would empty it).
  auto keep = [&kept](auto &list, auto &item) {
    if (&list[kept] != &item) list[kept] = std::move(item);
    ++kept;
  };
  for (auto &g : gencons) {
    g.resultant = mapped(colmap, g.resultant);
    size_t out = 0;
    for (int c : g.cols)
      if (int j = mapped(colmap, c); j >= 0) g.cols[out++] = j;
    g.cols.resize(out);
    if (g.resultant < 0 || (g.cols.empty() && g.vals.empty())) continue;
    keep(gencons, g);
  }
  gencons.resize(kept);

  kept = 0;
  for (auto &p : pwlcons) {
    p.col = mapped(colmap, p.col);
    p.resultant = mapped(colmap, p.resultant);
    if (p.col < 0 || p.resultant < 0) continue;
    keep(pwlcons, p);
  }
  pwlcons.resize(kept);

  std::map<int, Directive> dirs;
  for (const auto &[col, d] : directives)
    if (int j = mapped(colmap, col); j >= 0) dirs.emplace(j, d);
  directives = std::move(dirs);
  secure_cols = remap_set(secure_cols, colmap);

  cuts.cols_deleted(colmap);

  kept = 0;
  for (auto &s : mip_starts) {
    size_t out = 0;
    for (size_t k = 0; k < s.cols.size(); ++k)
      if (int j = mapped(colmap, s.cols[k]); j >= 0) {
        s.cols[out] = j;
        s.vals[out++] = s.vals[k];
      }
    s.cols.resize(out);
    s.vals.resize(out);
    if (out == 0) continue;
    keep(mip_starts, s);
  }
  mip_starts.resize(kept);

  for (auto &[id, b] : stored_bounds) {
    size_t out = 0;
    for (size_t k = 0; k < b.cols.size(); ++k)
      if (int j = mapped(colmap, b.cols[k]); j >= 0) {
        b.cols[out] = j;
        b.types[out] = b.types[k];
        b.vals[out++] = b.vals[k];
      }
    b.cols.resize(out);
    b.types.resize(out);
    b.vals.resize(out);
  }
}

// ---- cut pool -------------------------------------------------------------------

double Cut::slack(const std::vector<double> &x) const {
  double activity = 0.0;
  for (size_t k = 0; k < cols.size(); ++k) activity += coefs[k] * x[size_t(cols[k])];
  return rhs - activity;
}

double Cut::violation(const std::vector<double> &x) const {
  const double s = slack(x);
  switch (rowtype) {
    case 'L': return std::max(0.0, -s);
    case 'G': return std::max(0.0, s);
    default: return std::fabs(s);
  }
}

bool CutPool::matches(const Cut &cut, int type, int interp) {
  switch (interp) {
    case -1: return true;
    case 1: return cut.type == type;
    case 2: return (cut.type & type) != 0;
    case 3: return (cut.type & type) == type;
    default: return false;
  }
}

uint64_t CutPool::add(Cut cut) {
  const uint64_t id = next_handle_id();
  cuts_.emplace(id, std::move(cut));
  return id;
}

uint64_t CutPool::find_duplicate(const Cut &cut, bool same_type) const {
  for (const auto &[id, c] : cuts_)
    if ((!same_type || c.type == cut.type) && c.rowtype == cut.rowtype && c.rhs == cut.rhs && c.cols == cut.cols &&
        c.coefs == cut.coefs)
      return id;
  return 0;
}

const Cut *CutPool::find(uint64_t id) const {
  auto it = cuts_.find(id);
  return it == cuts_.end() ? nullptr : &it->second;
}

Cut *CutPool::find(uint64_t id) {
  auto it = cuts_.find(id);
  return it == cuts_.end() ? nullptr : &it->second;
}

std::vector<uint64_t> CutPool::active_ids() const {
  std::vector<uint64_t> ids;
  for (const auto &[id, c] : cuts_)
    if (c.active) ids.push_back(id);
  return ids;
}

void CutPool::cols_deleted(const std::vector<int> &colmap) {
  for (auto it = cuts_.begin(); it != cuts_.end();) {
    Cut &c = it->second;
    bool lost = false;
    for (size_t k = 0; k < c.cols.size() && !lost; ++k) lost = mapped(colmap, c.cols[k]) < 0 && c.coefs[k] != 0.0;
    if (lost) {
      it = cuts_.erase(it);
      continue;
    }
    size_t out = 0;
    for (size_t k = 0; k < c.cols.size(); ++k)
      if (int j = mapped(colmap, c.cols[k]); j >= 0) {
        c.cols[out] = j;
        c.coefs[out++] = c.coefs[k];
      }
    c.cols.resize(out);
    c.coefs.resize(out);
    ++it;
  }
}

}  // namespace krvs
