#include "solve/live_model.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <mutex>

#include "Highs.h"
#include "core/problem.h"
#include "model/model.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"

namespace krvs {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// More single coefficient changes than this are cheaper as a new hand-over:
// HiGHS moves the rest of the matrix for every new non-zero.
constexpr size_t kMaxCoefChanges = 2000;

// Whether the model's build in `mode` is its rows and columns and active
// cuts alone, apart from what single columns need (checked column by column
// with plain_column): the relaxation drops sets, general and
// piecewise-linear constraints.
bool without_reformulation(const Model &m, BuildMode mode) {
  return mode == BuildMode::Relaxation ||
         (m.indicators.empty() && m.sets.empty() && m.mip.gencons.empty() && m.mip.pwlcons.empty());
}

// A row's bounds as the build hands them to HiGHS: the relaxation frees the
// rows of indicator constraints.
void live_row_bounds(const Model &m, int row, bool discrete, double &lower, double &upper) {
  if (!discrete && !m.indicators.empty() && m.indicators.count(row)) {
    lower = -kInf;
    upper = kInf;
    return;
  }
  row_bounds(m, row, lower, upper);
}

// Sorted, without repeats, and inside [0, count).
void normalise(std::vector<int> &set, int count) {
  std::sort(set.begin(), set.end());
  set.erase(std::unique(set.begin(), set.end()), set.end());
  set.erase(std::lower_bound(set.begin(), set.end(), count), set.end());
}

// New index of every old one after a deletion (-1: deleted).
std::vector<int> new_indices(const std::vector<bool> &removed) {
  std::vector<int> map(removed.size(), -1);
  int next = 0;
  for (size_t k = 0; k < removed.size(); ++k)
    if (!removed[k]) map[k] = next++;
  return map;
}

// Drops the flags of removed entries (one flag per entry before the removal).
void erase_removed(std::vector<char> &flags, const std::vector<bool> &removed) {
  size_t out = 0;
  for (size_t k = 0; k < flags.size(); ++k)
    if (k >= removed.size() || !removed[k]) flags[out++] = flags[k];
  flags.resize(out);
}

// Positions (row, column) renumbered; those in a deleted row or column go.
void renumber_positions(std::vector<std::pair<int, int>> &positions, const std::vector<int> &row_map,
                        const std::vector<int> &col_map) {
  auto moved = [](int k, const std::vector<int> &map) {
    if (map.empty()) return k;  // this dimension did not change
    return k >= 0 && size_t(k) < map.size() ? map[size_t(k)] : -1;
  };
  size_t out = 0;
  for (const auto &[row, col] : positions) {
    const int r = moved(row, row_map), c = moved(col, col_map);
    if (r >= 0 && c >= 0) positions[out++] = {r, c};
  }
  positions.resize(out);
}

void renumber(std::vector<int> &set, const std::vector<int> &map) {
  size_t out = 0;
  for (int k : set)
    if (k >= 0 && size_t(k) < map.size() && map[size_t(k)] >= 0) set[out++] = map[size_t(k)];
  set.resize(out);
}

void append(std::vector<int> &set, const int *items, int64_t n) {
  if (n > 0) set.insert(set.end(), items, items + n);
}

// HiGHS instances of small models that no problem uses any more, cleared,
// for the next problem that needs one: making a new instance builds its
// option records (about 40 us, more than a small model's whole solve),
// clearing one resets their values, the model and the solver's data (about
// 1 us). Never destroyed: instances kept at exit are left to the process's
// end.
class SpareInstances {
 public:
  std::unique_ptr<Highs> take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spares_.empty()) {
        std::unique_ptr<Highs> highs = std::move(spares_.back());
        spares_.pop_back();
        return highs;
      }
    }
    return std::make_unique<Highs>();
  }
  void give(std::unique_ptr<Highs> highs) noexcept {
    if (!highs) return;
    try {
      // Cleared, an instance keeps the room its arrays had: only those of
      // small models are kept, where the making weighs against the solve.
      const HighsLp &lp = highs->getLp();
      if (int64_t(lp.num_col_) + lp.num_row_ + lp.a_matrix_.numNz() > kMaxSpareModel) return;
      if (highs->clear() == HighsStatus::kError) return;
      std::lock_guard<std::mutex> lock(mutex_);
      if (spares_.size() < kMaxSpares) spares_.push_back(std::move(highs));
    } catch (...) {
      // Not kept: the instance is destroyed on the way out.
    }
  }

 private:
  static constexpr size_t kMaxSpares = 4;
  static constexpr int64_t kMaxSpareModel = 20000;  // columns, rows and coefficients
  std::mutex mutex_;
  std::vector<std::unique_ptr<Highs>> spares_;
};

SpareInstances &spare_instances() {
  static SpareInstances *spares = new SpareInstances;
  return *spares;
}

}  // namespace

LiveModel::LiveModel() = default;
LiveModel::~LiveModel() { spare_instances().give(std::move(highs_)); }
LiveModel::LiveModel(const LiveModel &) {}
LiveModel &LiveModel::operator=(const LiveModel &) {
  mark_stale();
  return *this;
}

void LiveModel::mark_stale() noexcept {
  stale_ = true;
  tail_dirty_ = false;
  clear_pending();
  if (solving_ == 0) spare_instances().give(std::move(highs_));
}

void LiveModel::clear_pending() {
  dirty_bounds_.clear();
  dirty_costs_.clear();
  dirty_rows_.clear();
  dirty_types_.clear();
  dirty_coefs_.clear();
  sense_dirty_ = offset_dirty_ = hessian_dirty_ = false;
}

bool LiveModel::none_held(const std::vector<char> &held, const int *items, int64_t n) {
  for (int64_t k = 0; k < n; ++k)
    if (items[k] < 0 || size_t(items[k]) >= held.size() || held[size_t(items[k])]) return false;
  return true;
}

void LiveModel::bounds_changed(const int *cols, int64_t n) {
  if (stale_) return;
  // Reformulations read the bounds of their columns (big-M values, the
  // internal columns of semi-continuous ones).
  if (!simple_ && !none_held(held_cols_, cols, n)) tail_dirty_ = true;
  append(dirty_bounds_, cols, n);
}

void LiveModel::costs_changed(const int *cols, int64_t n) {
  if (stale_) return;
  append(dirty_costs_, cols, n);
}

void LiveModel::rows_changed(const int *rows, int64_t n) {
  if (stale_) return;
  if (!simple_ && !none_held(held_rows_, rows, n)) tail_dirty_ = true;
  append(dirty_rows_, rows, n);
}

void LiveModel::coef_changed(int row, int col) {
  if (stale_) return;
  if (dirty_coefs_.size() >= kMaxCoefChanges) return mark_stale();
  if (!simple_ && !none_held(held_rows_, &row, 1)) tail_dirty_ = true;
  dirty_coefs_.emplace_back(row, col);
}

void LiveModel::coltypes_changed(const int *cols, int64_t n) {
  if (stale_) return;
  if (!simple_ && !none_held(held_cols_, cols, n)) tail_dirty_ = true;
  // Whether a column of the new type still enters HiGHS alone is decided
  // when the change is applied.
  append(dirty_types_, cols, n);
  append(dirty_bounds_, cols, n);  // binary and semi-continuous bounds differ
}

void LiveModel::limits_changed(const int *cols, int64_t n) {
  if (stale_) return;
  if (!simple_ && !none_held(held_cols_, cols, n)) tail_dirty_ = true;
  append(dirty_types_, cols, n);
  append(dirty_bounds_, cols, n);
}

void LiveModel::cuts_changed() {
  if (stale_) return;
  if (!simple_) tail_dirty_ = true;  // the cut rows follow other internal rows
}

void LiveModel::indicators_changed(const int *rows, int64_t n) {
  if (stale_) return;
  if (mode_ != int(BuildMode::Relaxation) || !simple_) tail_dirty_ = true;
  append(dirty_rows_, rows, n);  // freed or enforced again
}

void LiveModel::discrete_structure_changed() {
  if (stale_) return;
  // Not in the relaxation the instance holds; a MIP solve lays the tail anew.
  if (mode_ != int(BuildMode::Relaxation)) tail_dirty_ = true;
}

void LiveModel::appended() {
  if (stale_) return;
  if (!simple_) tail_dirty_ = true;  // new rows and columns go before the tail
}

// Deletions go to the instance at once, while the model's indices still
// name its rows and columns: only the user's, never the tail's after them.
void LiveModel::rows_deleted(const std::vector<bool> &removed) {
  if (stale_) return;
  if (solving_ > 0 || !highs_ || removed.size() < size_t(live_rows_)) return mark_stale();
  std::vector<HighsInt> mask(size_t(highs_->getLp().num_row_), 0);
  HighsInt count = 0;
  for (size_t i = 0; i < size_t(live_rows_); ++i)
    if (removed[i]) {
      mask[i] = 1;
      ++count;
    }
  if (count > 0 && highs_->deleteRows(mask.data()) == HighsStatus::kError) return mark_stale();
  live_rows_ -= count;
  const std::vector<int> map = new_indices(removed);
  renumber(dirty_rows_, map);
  renumber_positions(dirty_coefs_, map, {});
  if (!simple_) {
    erase_removed(held_rows_, removed);
    renumber_positions(reformulated_coefs_, map, {});
    tail_dirty_ = true;
  }
}

void LiveModel::cols_deleted(const std::vector<bool> &removed) {
  if (stale_) return;
  if (solving_ > 0 || !highs_ || removed.size() < size_t(live_cols_)) return mark_stale();
  std::vector<HighsInt> mask(size_t(highs_->getLp().num_col_), 0);
  HighsInt count = 0;
  for (size_t j = 0; j < size_t(live_cols_); ++j)
    if (removed[j]) {
      mask[j] = 1;
      ++count;
    }
  if (count > 0 && highs_->deleteCols(mask.data()) == HighsStatus::kError) return mark_stale();
  live_cols_ -= count;
  const std::vector<int> map = new_indices(removed);
  renumber(dirty_bounds_, map);
  renumber(dirty_costs_, map);
  renumber(dirty_types_, map);
  renumber_positions(dirty_coefs_, {}, map);
  if (!simple_) {
    erase_removed(held_cols_, removed);
    renumber_positions(reformulated_coefs_, {}, map);
    tail_dirty_ = true;
  }
  // The quadratic objective is passed again in the new column numbering.
  if (has_hessian_) hessian_dirty_ = true;
}

Highs &LiveModel::fresh() {
  // A kept instance, cleared, serves as well as a new one.
  if (!highs_ || highs_->clear() == HighsStatus::kError) highs_ = spare_instances().take();
  live_cuts_.clear();
  stale_ = true;
  tail_dirty_ = false;
  options_set = false;
  clear_pending();
  return *highs_;
}

void LiveModel::passed(const Model &m, const BuiltModel &built, BuildMode mode, double bigm) {
  model_ = &m;
  synced_version_ = m.data_version;
  mode_ = int(mode);
  bigm_ = bigm;
  live_cols_ = built.user_cols;
  live_rows_ = built.user_rows;
  const HighsLp &lp = built.model.lp_;
  live_cuts_ = m.mip.cuts.active_ids();
  // Every column on its own and no internal rows but the active cuts'.
  simple_ = lp.num_col_ == built.user_cols && size_t(lp.num_row_) == size_t(built.user_rows) + live_cuts_.size() &&
            without_reformulation(m, mode);
  has_hessian_ = built.model.hessian_.dim_ > 0;
  held_cols_.clear();
  held_rows_.clear();
  reformulated_coefs_ = built.reformulated_coefs;
  if (!simple_) reformulation_inputs(m, mode);
  stale_ = false;
  tail_dirty_ = false;
  clear_pending();
}

// What the build's reformulations read: a column that does not enter HiGHS
// by itself, the members of sets (their bounds make the linking rows), the
// binary of an indicator and every column of its row (the big-M comes from
// their bounds), the row itself (its side and coefficients make the big-M
// form and its second row), and the columns of general and
// piecewise-linear constraints (their bounds make the big-M values).
void LiveModel::reformulation_inputs(const Model &m, BuildMode mode) {
  held_cols_.assign(size_t(live_cols_), 0);
  held_rows_.assign(size_t(live_rows_), 0);
  auto hold_col = [this](int j) {
    if (j >= 0 && j < live_cols_) held_cols_[size_t(j)] = 1;
  };
  double lower, upper;
  HighsVarType type;
  for (int j = 0; j < live_cols_ && j < m.cols(); ++j)
    if (!plain_column(m, j, mode, lower, upper, type)) held_cols_[size_t(j)] = 1;
  if (mode != BuildMode::Discrete) return;
  for (const SpecialOrderedSet &set : m.sets)
    for (int j : set.cols) hold_col(j);
  if (!m.indicators.empty()) {
    const CompressedMatrix &by_rows = m.by_rows();
    for (const auto &[row, indicator] : m.indicators) {
      hold_col(indicator.col);
      if (row < 0 || row >= live_rows_ || row >= m.rows()) continue;
      held_rows_[size_t(row)] = 1;
      for (int64_t p = by_rows.start[size_t(row)]; p < by_rows.start[size_t(row) + 1]; ++p)
        hold_col(by_rows.index[size_t(p)]);
    }
  }
  for (const GeneralConstraint &g : m.mip.gencons) {
    hold_col(g.resultant);
    for (int j : g.cols) hold_col(j);
  }
  for (const PiecewiseLinear &f : m.mip.pwlcons) {
    hold_col(f.col);
    hold_col(f.resultant);
  }
}

Highs *LiveModel::up_to_date(const Model &m, BuildMode mode, double bigm) {
  tail_laid_anew_ = false;
  if (stale_ || !highs_ || model_ != &m || synced_version_ != m.data_version) return nullptr;
  if (bigm_ != bigm) {
    bigm_ = bigm;
    if (!simple_) tail_dirty_ = true;  // big-M values are checked against it
  }
  if (mode_ != int(mode)) {
    // Between a MIP and an LP solve the integrality differs, and the tail
    // where either build reformulates something.
    if (!simple_ || !without_reformulation(m, mode)) tail_dirty_ = true;
    mode_ = int(mode);
    for (int j = 0; j < live_cols_ && j < m.cols(); ++j)
      if (m.coltype[size_t(j)] != 'C') {
        dirty_types_.push_back(j);
        dirty_bounds_.push_back(j);  // semi-continuous columns relax to other bounds
      }
  }
  if (!apply(m)) {
    mark_stale();
    return nullptr;
  }
  return highs_.get();
}

bool LiveModel::apply(const Model &m) {
  const BuildMode mode = BuildMode(mode_);
  if (!tail_dirty_ && mode == BuildMode::Discrete) {
    // A column that now needs internal columns (a new one, or one of a new
    // type or bounds) takes its place in a new tail.
    double lower, upper;
    HighsVarType type;
    auto needs_internal = [&](int j) { return j < m.cols() && !plain_column(m, j, mode, lower, upper, type); };
    for (int j = live_cols_; j < m.cols() && !tail_dirty_; ++j) tail_dirty_ = needs_internal(j);
    tail_dirty_ = tail_dirty_ || std::any_of(dirty_types_.begin(), dirty_types_.end(), needs_internal) ||
                  std::any_of(dirty_bounds_.begin(), dirty_bounds_.end(), needs_internal);
  }
  if (!tail_dirty_) return apply_pending(m, false);
  // Built before the instance is touched: a model the build refuses is
  // passed whole, whose build reports why.
  BuiltTail tail;
  try {
    tail = build_highs_tail(m, mode, bigm_);
  } catch (...) {
    return false;
  }
  if (!drop_tail() || !apply_pending(m, true) || !lay_tail(m, tail)) return false;
  tail_dirty_ = false;
  tail_laid_anew_ = true;
  return true;
}

bool LiveModel::drop_tail() {
  const HighsInt rows = highs_->getLp().num_row_, cols = highs_->getLp().num_col_;
  if (rows > live_rows_ && highs_->deleteRows(live_rows_, rows - 1) == HighsStatus::kError) return false;
  if (cols > live_cols_ && highs_->deleteCols(live_cols_, cols - 1) == HighsStatus::kError) return false;
  live_cuts_.clear();
  return true;
}

bool LiveModel::lay_tail(const Model &m, const BuiltTail &tail) {
  Highs &h = *highs_;
  const int ncols = tail.user_cols, nrows = tail.user_rows;
  if (ncols != live_cols_ || nrows != live_rows_) return false;
  // In the user's block: what the old tail changed there goes back to the
  // model's own, what the new one changes is set.
  const std::vector<char> old_cols = std::move(held_cols_), old_rows = std::move(held_rows_);
  std::vector<std::pair<int, int>> coefs = std::move(reformulated_coefs_);
  const bool discrete = BuildMode(mode_) == BuildMode::Discrete;
  simple_ = tail.col_lower.size() == size_t(ncols) && without_reformulation(m, BuildMode(mode_));
  held_cols_.clear();
  held_rows_.clear();
  if (!simple_) reformulation_inputs(m, BuildMode(mode_));
  auto either = [](const std::vector<char> &a, const std::vector<char> &b, int count) {
    std::vector<HighsInt> set;
    for (int k = 0; k < count; ++k)
      if ((size_t(k) < a.size() && a[size_t(k)]) || (size_t(k) < b.size() && b[size_t(k)])) set.push_back(k);
    return set;
  };
  const std::vector<HighsInt> cols = either(old_cols, held_cols_, ncols);
  if (!cols.empty()) {
    std::vector<double> lower(cols.size()), upper(cols.size());
    std::vector<HighsVarType> type(cols.size());
    for (size_t k = 0; k < cols.size(); ++k) {
      lower[k] = tail.col_lower[size_t(cols[k])];
      upper[k] = tail.col_upper[size_t(cols[k])];
      type[k] = discrete ? tail.integrality[size_t(cols[k])] : HighsVarType::kContinuous;
    }
    if (h.changeColsBounds(HighsInt(cols.size()), cols.data(), lower.data(), upper.data()) == HighsStatus::kError ||
        h.changeColsIntegrality(HighsInt(cols.size()), cols.data(), type.data()) == HighsStatus::kError)
      return false;
  }
  const std::vector<HighsInt> rows = either(old_rows, held_rows_, nrows);
  if (!rows.empty()) {
    std::vector<double> lower(rows.size()), upper(rows.size());
    for (size_t k = 0; k < rows.size(); ++k) {
      lower[k] = tail.row_lower[size_t(rows[k])];
      upper[k] = tail.row_upper[size_t(rows[k])];
    }
    if (h.changeRowsBounds(HighsInt(rows.size()), rows.data(), lower.data(), upper.data()) == HighsStatus::kError)
      return false;
  }
  for (const Triplet &t : tail.user_block_terms) coefs.emplace_back(t.row, t.col);
  std::sort(coefs.begin(), coefs.end());
  coefs.erase(std::unique(coefs.begin(), coefs.end()), coefs.end());
  for (const auto &[row, col] : coefs) {
    if (row < 0 || row >= nrows || col < 0 || col >= ncols) continue;
    const auto term = std::lower_bound(
        tail.user_block_terms.begin(), tail.user_block_terms.end(), std::make_pair(row, col),
        [](const Triplet &t, const std::pair<int, int> &at) { return std::make_pair(t.row, t.col) < at; });
    const bool added = term != tail.user_block_terms.end() && term->row == row && term->col == col;
    if (h.changeCoeff(row, col, m.coef(row, col) + (added ? term->value : 0.0)) == HighsStatus::kError) return false;
  }
  reformulated_coefs_.clear();
  for (const Triplet &t : tail.user_block_terms) reformulated_coefs_.emplace_back(t.row, t.col);

  // The internal columns (coefficients in internal rows only), then the
  // internal and cut rows with all of theirs.
  const HighsInt new_cols = HighsInt(tail.col_lower.size()) - ncols;
  if (new_cols > 0) {
    const std::vector<double> cost(size_t(new_cols), 0.0);
    const std::vector<HighsInt> start(size_t(new_cols), 0);
    const HighsInt no_index = 0;
    const double no_value = 0.0;
    if (h.addCols(new_cols, cost.data(), tail.col_lower.data() + ncols, tail.col_upper.data() + ncols, 0,
                  start.data(), &no_index, &no_value) == HighsStatus::kError)
      return false;
    if (discrete && h.changeColsIntegrality(ncols, ncols + new_cols - 1, tail.integrality.data() + ncols) ==
                        HighsStatus::kError)
      return false;
  }
  const HighsInt new_rows = HighsInt(tail.row_lower.size()) - nrows;
  if (new_rows > 0 &&
      h.addRows(new_rows, tail.row_lower.data() + nrows, tail.row_upper.data() + nrows,
                HighsInt(tail.tail_index.size()), tail.tail_start.data(), tail.tail_index.data(),
                tail.tail_value.data()) == HighsStatus::kError)
    return false;
  live_cuts_ = m.mip.cuts.active_ids();
  // The quadratic objective in the instance's new column count.
  if (!has_hessian_ && m.qobj.empty()) return true;
  return pass_hessian(m);
}

// Appends first (new columns with their entries in the rows the instance
// has, then new rows with all of theirs), then the changed values read from
// the model, each kind in one batch call.
bool LiveModel::apply_pending(const Model &m, bool tail_follows) {
  Highs &h = *highs_;
  const BuildMode mode = BuildMode(mode_);
  const bool discrete = mode == BuildMode::Discrete;
  const int ncols = m.cols(), nrows = m.rows();
  if (ncols < live_cols_ || nrows < live_rows_) return false;
  if (ncols > live_cols_) {
    const CompressedMatrix &a = m.by_cols();
    const int first = live_cols_, count = ncols - first;
    std::vector<double> cost(m.obj.begin() + first, m.obj.end()), lower(static_cast<size_t>(count)), upper(static_cast<size_t>(count));
    std::vector<HighsInt> start(size_t(count) + 1, 0), index;
    std::vector<double> value;
    HighsVarType type;
    for (int j = first; j < ncols; ++j) {
      if (!plain_column(m, j, mode, lower[size_t(j - first)], upper[size_t(j - first)], type) && !tail_follows)
        return false;
      for (int64_t p = a.start[size_t(j)]; p < a.start[size_t(j) + 1]; ++p)
        if (a.index[size_t(p)] < live_rows_) {
          index.push_back(a.index[size_t(p)]);
          value.push_back(a.value[size_t(p)]);
        }
      start[size_t(j - first) + 1] = HighsInt(index.size());
    }
    if (h.addCols(count, cost.data(), lower.data(), upper.data(), HighsInt(index.size()), start.data(), index.data(),
                  value.data()) == HighsStatus::kError)
      return false;
    live_cols_ = ncols;
    if (discrete)
      for (int j = first; j < ncols; ++j)
        if (m.coltype[size_t(j)] != 'C') dirty_types_.push_back(j);
    if (has_hessian_ || !m.qobj.empty()) hessian_dirty_ = true;
  }
  // The model's rows come before the cut rows: new ones go in after taking
  // the cut rows out (they come back below).
  if (nrows > live_rows_ && !live_cuts_.empty() && !remove_cut_rows(std::vector<bool>(live_cuts_.size(), true)))
    return false;
  if (nrows > live_rows_) {
    const CompressedMatrix &a = m.by_rows();
    const int first = live_rows_, count = nrows - first;
    std::vector<double> lower(static_cast<size_t>(count)), upper(static_cast<size_t>(count));
    for (int i = first; i < nrows; ++i)
      live_row_bounds(m, i, discrete, lower[size_t(i - first)], upper[size_t(i - first)]);
    const int64_t begin = a.start[size_t(first)], end = a.start[size_t(nrows)];
    std::vector<HighsInt> start(static_cast<size_t>(count));
    for (int i = first; i < nrows; ++i) start[size_t(i - first)] = HighsInt(a.start[size_t(i)] - begin);
    std::vector<HighsInt> index(a.index.begin() + begin, a.index.begin() + end);
    if (h.addRows(count, lower.data(), upper.data(), HighsInt(end - begin), start.data(), index.data(),
                  a.value.data() + begin) == HighsStatus::kError)
      return false;
    live_rows_ = nrows;
  }
  if (!tail_follows && !sync_cuts(m)) return false;
  if (!dirty_bounds_.empty()) {
    normalise(dirty_bounds_, ncols);
    std::vector<double> lower(dirty_bounds_.size()), upper(dirty_bounds_.size());
    HighsVarType type;
    for (size_t k = 0; k < dirty_bounds_.size(); ++k)
      if (!plain_column(m, dirty_bounds_[k], mode, lower[k], upper[k], type) && !tail_follows) return false;
    if (h.changeColsBounds(HighsInt(dirty_bounds_.size()), dirty_bounds_.data(), lower.data(), upper.data()) ==
        HighsStatus::kError)
      return false;
  }
  if (!dirty_costs_.empty()) {
    normalise(dirty_costs_, ncols);
    std::vector<double> cost(dirty_costs_.size());
    for (size_t k = 0; k < dirty_costs_.size(); ++k) cost[k] = m.obj[size_t(dirty_costs_[k])];
    if (h.changeColsCost(HighsInt(dirty_costs_.size()), dirty_costs_.data(), cost.data()) == HighsStatus::kError)
      return false;
  }
  if (!dirty_rows_.empty()) {
    normalise(dirty_rows_, nrows);
    std::vector<double> lower(dirty_rows_.size()), upper(dirty_rows_.size());
    for (size_t k = 0; k < dirty_rows_.size(); ++k) live_row_bounds(m, dirty_rows_[k], discrete, lower[k], upper[k]);
    if (h.changeRowsBounds(HighsInt(dirty_rows_.size()), dirty_rows_.data(), lower.data(), upper.data()) ==
        HighsStatus::kError)
      return false;
  }
  if (!dirty_types_.empty()) {
    normalise(dirty_types_, ncols);
    std::vector<HighsVarType> type(dirty_types_.size());
    double lower, upper;
    for (size_t k = 0; k < dirty_types_.size(); ++k)
      if (!plain_column(m, dirty_types_[k], mode, lower, upper, type[k]) && !tail_follows) return false;
    if (h.changeColsIntegrality(HighsInt(dirty_types_.size()), dirty_types_.data(), type.data()) ==
        HighsStatus::kError)
      return false;
  }
  if (!dirty_coefs_.empty()) {
    std::sort(dirty_coefs_.begin(), dirty_coefs_.end());
    dirty_coefs_.erase(std::unique(dirty_coefs_.begin(), dirty_coefs_.end()), dirty_coefs_.end());
    for (const auto &[row, col] : dirty_coefs_)
      if (row < nrows && col < ncols && h.changeCoeff(row, col, m.coef(row, col)) == HighsStatus::kError)
        return false;
  }
  if (sense_dirty_ &&
      h.changeObjectiveSense(m.obj_sense < 0 ? ObjSense::kMaximize : ObjSense::kMinimize) == HighsStatus::kError)
    return false;
  if (offset_dirty_ && h.changeObjectiveOffset(m.obj_constant) == HighsStatus::kError) return false;
  // With a tail to follow, passed after the tail's columns.
  if (hessian_dirty_ && !tail_follows && !pass_hessian(m)) return false;
  clear_pending();
  return true;
}

bool LiveModel::pass_hessian(const Model &m) {
  Highs &h = *highs_;
  HighsHessian hessian;
  build_hessian(m, h.getLp().num_col_, hessian);
  has_hessian_ = hessian.dim_ > 0;
  if (!has_hessian_) {
    // No quadratic part (any more): an empty matrix of the right size.
    hessian.dim_ = h.getLp().num_col_;
    hessian.format_ = HessianFormat::kTriangular;
    hessian.start_.assign(size_t(hessian.dim_) + 1, 0);
  }
  return h.passHessian(std::move(hessian)) != HighsStatus::kError;
}

bool LiveModel::remove_cut_rows(const std::vector<bool> &drop) {
  std::vector<HighsInt> mask(size_t(live_rows_) + live_cuts_.size(), 0);
  bool any = false;
  for (size_t k = 0; k < live_cuts_.size(); ++k)
    if (drop[k]) mask[size_t(live_rows_) + k] = 1, any = true;
  if (!any) return true;
  if (highs_->deleteRows(mask.data()) == HighsStatus::kError) return false;
  size_t out = 0;
  for (size_t k = 0; k < live_cuts_.size(); ++k)
    if (!drop[k]) live_cuts_[out++] = live_cuts_[k];
  live_cuts_.resize(out);
  return true;
}

// The instance's cut rows made the pool's active cuts, in id order as a
// hand-over lays them out: rows of cuts no longer active are deleted, new
// ones appended when they come after all the others (a cut added since),
// and all of them laid anew otherwise (an older stored cut loaded again).
bool LiveModel::sync_cuts(const Model &m) {
  const std::vector<uint64_t> wanted = m.mip.cuts.active_ids();
  if (wanted == live_cuts_) return true;
  std::vector<bool> drop(live_cuts_.size());
  for (size_t k = 0; k < live_cuts_.size(); ++k)
    drop[k] = !std::binary_search(wanted.begin(), wanted.end(), live_cuts_[k]);
  if (!remove_cut_rows(drop)) return false;
  if (!std::equal(live_cuts_.begin(), live_cuts_.end(), wanted.begin(),
                  wanted.begin() + std::ptrdiff_t(std::min(wanted.size(), live_cuts_.size()))) &&
      !remove_cut_rows(std::vector<bool>(live_cuts_.size(), true)))
    return false;
  const size_t first = live_cuts_.size();
  const size_t count = wanted.size() - first;
  if (count == 0) return true;
  std::vector<double> lower(count), upper(count), value;
  std::vector<HighsInt> start(count), index;
  for (size_t k = 0; k < count; ++k) {
    const Cut *cut = m.mip.cuts.find(wanted[first + k]);
    if (!cut) return false;
    cut_row_bounds(*cut, lower[k], upper[k]);
    start[k] = HighsInt(index.size());
    for (size_t e = 0; e < cut->cols.size(); ++e) {
      if (cut->cols[e] < 0 || cut->cols[e] >= live_cols_) return false;
      if (cut->coefs[e] == 0.0) continue;
      index.push_back(cut->cols[e]);
      value.push_back(cut->coefs[e]);
    }
  }
  if (highs_->addRows(HighsInt(count), lower.data(), upper.data(), HighsInt(index.size()), start.data(), index.data(),
                      value.data()) == HighsStatus::kError)
    return false;
  live_cuts_.insert(live_cuts_.end(), wanted.begin() + std::ptrdiff_t(first), wanted.end());
  return true;
}

// ---- ModelEdit ----------------------------------------------------------------

ModelEdit::ModelEdit(KRVSprob prob)
    : prob_(prob), version_before_(prob->model->data_version), exceptions_before_(std::uncaught_exceptions()) {}

LiveModel &ModelEdit::live() { return prob_->solve->live; }

ModelEdit::~ModelEdit() {
  LiveModel &l = live();
  const Model &m = *prob_->model;
  if (std::uncaught_exceptions() > exceptions_before_) {
    // A change that failed half-way: whatever it did is unknown here.
    if (m.data_version != version_before_) l.mark_stale();
    return;
  }
  if (m.data_version == version_before_ && !reported_) return;
  if (!reported_ || l.stale_ || l.synced_version_ != version_before_ || l.model_ != &m)
    l.mark_stale();
  else
    l.synced_version_ = m.data_version;
}

void ModelEdit::bounds_changed(int n, const int *cols) {
  reported_ = true;
  live().bounds_changed(cols, n);
}
void ModelEdit::costs_changed(int n, const int *cols) {
  reported_ = true;
  live().costs_changed(cols, n);
}
void ModelEdit::rows_changed(int n, const int *rows) {
  reported_ = true;
  live().rows_changed(rows, n);
}
void ModelEdit::coef_changed(int row, int col) {
  reported_ = true;
  live().coef_changed(row, col);
}
void ModelEdit::coltypes_changed(int n, const int *cols) {
  reported_ = true;
  live().coltypes_changed(cols, n);
}
void ModelEdit::limits_changed(int n, const int *cols) {
  reported_ = true;
  live().limits_changed(cols, n);
}
void ModelEdit::cuts_changed() {
  reported_ = true;
  live().cuts_changed();
}
void ModelEdit::appended() {
  reported_ = true;
  live().appended();
}
void ModelEdit::rows_deleted(const std::vector<bool> &removed) {
  reported_ = true;
  live().rows_deleted(removed);
}
void ModelEdit::cols_deleted(const std::vector<bool> &removed) {
  reported_ = true;
  live().cols_deleted(removed);
}
void ModelEdit::sense_changed() {
  reported_ = true;
  live().sense_changed();
}
void ModelEdit::constant_changed() {
  reported_ = true;
  live().constant_changed();
}
void ModelEdit::quadratic_objective_changed() {
  reported_ = true;
  live().quadratic_objective_changed();
}
void ModelEdit::indicators_changed(int n, const int *rows) {
  reported_ = true;
  live().indicators_changed(rows, n);
}
void ModelEdit::discrete_structure_changed() {
  reported_ = true;
  live().discrete_structure_changed();
}
void ModelEdit::solver_model_unaffected() { reported_ = true; }
void ModelEdit::stale() {
  reported_ = true;
  live().mark_stale();
}

}  // namespace krvs
