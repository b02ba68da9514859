// Branching objects: how a node of the tree search is divided. Each branch
// is a set of column bounds, rows and cut-pool cuts that its child node
// imposes on top of the node's own. The user builds them (to store for a
// node, or to hand back from a chgbranchobject callback) and the search
// builds its own candidate for that callback.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/object.h"
#include "krvs.h"

namespace krvs {

struct BranchBound {
  char type;  // 'L' lower, 'U' upper, 'B' both (fixes the column)
  int col;
  double value;
};

struct BranchRow {
  char type;  // 'L' <=, 'G' >=, 'E' =
  double rhs;
  std::vector<int> cols;
  std::vector<double> coefs;
};

struct Branch {
  std::vector<BranchBound> bounds;
  std::vector<BranchRow> rows;
  std::vector<uint64_t> cuts;  // cut-pool ids, read when the branch is made
};

// Outcome of checking an object against its problem (KRVS_BO_ codes of krvs.h).
struct BranchCheck {
  int status = 0;
  std::string message;
};

// Branching objects stored for nodes of the search: node number -> objects
// in storing order. Node 1 is the root, which is also where objects stored
// outside a search are used. The search takes an object when it divides
// its node; whatever it has not used when it ends is dropped.
class StoredBranchings {
 public:
  void store(int64_t node, std::unique_ptr<krvs_branchobj_s> object);
  // The object for a node (lowest priority value, then the first stored),
  // taken out of the store together with every other object of that node.
  std::unique_ptr<krvs_branchobj_s> take(int64_t node);
  void clear();
  bool empty() const;

 private:
  mutable std::mutex mutex_;
  std::map<int64_t, std::vector<std::unique_ptr<krvs_branchobj_s>>> by_node_;
};

// Checks an object against the problem's current model: branches, column
// indices, bound and row types, finite numbers, cuts still in the pool,
// the preferred branch.
BranchCheck check_branch_object(const krvs_branchobj_s &object);

// The problem's store of branching objects, made on first use.
StoredBranchings &stored_branchings(KRVSprob prob);

}  // namespace krvs

struct krvs_branchobj_s {
  krvs::ObjectHeader header{"KRVSbranchobject"};
  KRVSprob prob = nullptr;
  bool isoriginal = true;
  // Made by the search for a chgbranchobject callback: the search owns it,
  // so it can be read and changed there but neither stored nor destroyed.
  bool search_owned = false;
  int64_t id = 0;
  int priority = 0;
  int preferred = -1;  // branch explored first; -1: the search decides
  std::vector<krvs::Branch> branches;
  int last_error_code = 0;
  std::string last_error;
};
