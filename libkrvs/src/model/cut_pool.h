// The cut pool of a problem: valid inequalities over the columns, each with a
// user type and a handle id. A cut is "stored" when it was put in the pool
// for later use (storecuts) and "active" while it applies to the problem
// (addcuts, loadcuts); delcuts makes a cut inactive and forgets it unless it
// is stored, delcpcuts removes inactive stored cuts.
//
// The HiGHS road hands every active cut to the solver as a row after the
// model's own rows, in id order. The engine's own tree search reads and
// changes the pool through this class directly.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace krvs {

struct Cut {
  int type = 0;        // the user's classification, matched by CutPool::matches
  char rowtype = 'L';  // 'L' <=, 'G' >=, 'E' =
  double rhs = 0.0;
  std::vector<int> cols;  // distinct, ascending
  std::vector<double> coefs;
  bool stored = false;
  bool active = false;

  // rhs - activity at x (x holds at least every column of the cut).
  double slack(const std::vector<double> &x) const;
  // How far x is from satisfying the cut (0 when it holds).
  double violation(const std::vector<double> &x) const;
};

class CutPool {
 public:
  // Cut selection by type: interp -1 every cut, 1 type equal to `type`,
  // 2 type sharing a bit with `type`, 3 type holding every bit of `type`.
  static bool valid_interp(int interp) { return interp == -1 || (interp >= 1 && interp <= 3); }
  static bool matches(const Cut &cut, int type, int interp);

  // Adds a cut and returns its id.
  uint64_t add(Cut cut);
  // The id of a cut with the same row type, right-hand side and coefficients
  // (and the same type when same_type), or 0.
  uint64_t find_duplicate(const Cut &cut, bool same_type) const;

  const Cut *find(uint64_t id) const;
  Cut *find(uint64_t id);
  void erase(uint64_t id) { cuts_.erase(id); }
  void clear() { cuts_.clear(); }
  bool empty() const { return cuts_.empty(); }

  // Every cut, in id (= creation) order.
  const std::map<uint64_t, Cut> &cuts() const { return cuts_; }
  // Ids of the active cuts in id order: the k-th of them is row
  // model rows + k of the matrix handed to the solver.
  std::vector<uint64_t> active_ids() const;

  // Follows a column deletion: a cut that involves a deleted column (with a
  // non-zero coefficient) is no longer valid and is dropped.
  void cols_deleted(const std::vector<int> &colmap);

 private:
  std::map<uint64_t, Cut> cuts_;
};

}  // namespace krvs
