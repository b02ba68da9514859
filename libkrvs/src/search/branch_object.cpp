#include "search/branch_object.h"

#include <cmath>

#include "core/problem.h"
#include "model/model.h"

namespace krvs {

void StoredBranchings::store(int64_t node, std::unique_ptr<krvs_branchobj_s> object) {
  std::lock_guard<std::mutex> lock(mutex_);
  by_node_[node].push_back(std::move(object));
}

std::unique_ptr<krvs_branchobj_s> StoredBranchings::take(int64_t node) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = by_node_.find(node);
  if (it == by_node_.end()) return nullptr;
  std::vector<std::unique_ptr<krvs_branchobj_s>> objects = std::move(it->second);
  by_node_.erase(it);
  size_t best = 0;
  for (size_t k = 1; k < objects.size(); ++k)
    if (objects[k]->priority < objects[best]->priority) best = k;
  return std::move(objects[best]);
}

void StoredBranchings::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  by_node_.clear();
}

bool StoredBranchings::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return by_node_.empty();
}

StoredBranchings &stored_branchings(KRVSprob prob) {
  if (!prob->stored_branchings) prob->stored_branchings = std::make_shared<StoredBranchings>();
  return *prob->stored_branchings;
}

BranchCheck check_branch_object(const krvs_branchobj_s &object) {
  const Model &m = *object.prob->model;
  const int cols = m.cols();
  auto bad = [](int status, std::string text) { return BranchCheck{status, std::move(text)}; };
  if (object.branches.empty()) return bad(KRVS_BO_NO_BRANCHES, "the branching object has no branches");
  if (object.preferred >= int(object.branches.size()))
    return bad(KRVS_BO_BAD_PREFERRED, "preferred branch " + std::to_string(object.preferred) + " of " +
                                          std::to_string(object.branches.size()) + " branches");
  for (size_t b = 0; b < object.branches.size(); ++b) {
    const Branch &branch = object.branches[b];
    const std::string where = "branch " + std::to_string(b) + ": ";
    for (const BranchBound &bd : branch.bounds) {
      if (bd.col < 0 || bd.col >= cols)
        return bad(KRVS_BO_BAD_COLUMN, where + "bound on column " + std::to_string(bd.col) + ", the model has " +
                                           std::to_string(cols) + " columns");
      if ((bd.type != 'L' && bd.type != 'U' && bd.type != 'B') || std::isnan(bd.value))
        return bad(KRVS_BO_BAD_BOUND, where + "bound on column " + std::to_string(bd.col) +
                                          " has an invalid type or value");
    }
    for (const BranchRow &row : branch.rows) {
      if ((row.type != 'L' && row.type != 'G' && row.type != 'E') || !std::isfinite(row.rhs) ||
          std::fabs(row.rhs) >= KRVS_INFINITY)
        return bad(KRVS_BO_BAD_ROW, where + "a row has an invalid type or right-hand side");
      for (size_t k = 0; k < row.cols.size(); ++k) {
        if (row.cols[k] < 0 || row.cols[k] >= cols)
          return bad(KRVS_BO_BAD_COLUMN, where + "row coefficient of column " + std::to_string(row.cols[k]) +
                                             ", the model has " + std::to_string(cols) + " columns");
        if (!std::isfinite(row.coefs[k])) return bad(KRVS_BO_BAD_ROW, where + "a row has a coefficient that is not finite");
      }
    }
    for (uint64_t id : branch.cuts)
      if (!m.mip.cuts.find(id))
        return bad(KRVS_BO_BAD_CUT, where + "cut " + std::to_string(id) + " is no longer in the cut pool");
  }
  return BranchCheck{};
}

}  // namespace krvs
