// The model store: appends, deletions, coefficient changes and the lazily
// built compressed forms of the matrix.
#include "model/model.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <utility>

namespace krvs {

// ---- large arrays -------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds keep every array on the checked heap.
void *allocate_large_array(size_t bytes) { return ::operator new(bytes); }
void free_large_array(void *p, size_t) noexcept { ::operator delete(p); }
#else
namespace {
constexpr size_t kHugePage = size_t(2) << 20;
size_t huge_pages_for(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }
}  // namespace

// A mapping aligned to a huge page: map one page more than needed, trim
// both ends to the alignment, and ask for huge pages (only a hint: without
// them the mapping keeps ordinary pages).
void *allocate_large_array(size_t bytes) {
  const size_t size = huge_pages_for(bytes);
  void *raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t begin = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (begin + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  if (aligned > begin) munmap(raw, aligned - begin);
  const size_t tail = begin + size + kHugePage - (aligned + size);
  if (tail > 0) munmap(reinterpret_cast<void *>(aligned + size), tail);
  madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void *>(aligned);
}

void free_large_array(void *p, size_t bytes) noexcept { munmap(p, huge_pages_for(bytes)); }
#endif

// ---- model ------------------------------------------------------------------

Model::Model() = default;

namespace {
uint64_t key_of(int row, int col) { return (uint64_t(uint32_t(col)) << 32) | uint32_t(row); }
}  // namespace

void Model::clear() {
  obj.clear();
  lb.clear();
  ub.clear();
  coltype.clear();
  limit.clear();
  rowtype.clear();
  rhs.clear();
  range.clear();
  obj_constant = 0.0;
  obj_sense = 1;
  qobj.clear();
  qrows.clear();
  sets.clear();
  indicators.clear();
  row_scale_exp.clear();
  col_scale_exp.clear();
  mip = MipStructures{};
  rownames.resize(0);
  colnames.resize(0);
  setnames.resize(0);
  name.clear();
  release_pending();
  cols_ = CompressedMatrix{};
  rows_ = CompressedMatrix{};
  rows_valid_ = false;
  ++structure_version;
  ++data_version;
}

void Model::reserve_pending(size_t extra) {
  // Geometric growth: reserving the exact size batch after batch would copy
  // all pending triplets every time.
  size_t need = pending_row_.size() + extra;
  if (need <= pending_row_.capacity()) return;
  size_t cap = std::max(need, 2 * pending_row_.capacity());
  pending_row_.reserve(cap);
  pending_col_.reserve(cap);
  pending_value_.reserve(cap);
}

void Model::release_pending() const {
  RawVector<int>().swap(pending_row_);
  RawVector<int>().swap(pending_col_);
  RawVector<double>().swap(pending_value_);
  std::vector<size_t>().swap(pending_replace_at_);
  std::unordered_map<uint64_t, PendingEffect>().swap(pending_index_);
  pending_index_valid_ = false;
}

void Model::push_pending(int row, int col, double value, bool replace) {
  if (replace) pending_replace_at_.push_back(pending_row_.size());
  pending_row_.push_back(row);
  pending_col_.push_back(col);
  pending_value_.push_back(value);
  if (pending_index_valid_) {
    auto [it, fresh] = pending_index_.emplace(key_of(row, col), PendingEffect{replace, value});
    if (!fresh) {
      if (replace)
        it->second = PendingEffect{true, value};
      else
        it->second.value += value;
    }
  }
}

void Model::build_pending_index() const {
  pending_index_.clear();
  pending_index_.reserve(pending_row_.size());
  auto next_replace = pending_replace_at_.begin();
  for (size_t k = 0; k < pending_row_.size(); ++k) {
    const bool replace = next_replace != pending_replace_at_.end() && *next_replace == k;
    if (replace) ++next_replace;
    auto [it, fresh] = pending_index_.emplace(key_of(pending_row_[k], pending_col_[k]),
                                              PendingEffect{replace, pending_value_[k]});
    if (!fresh) {
      if (replace)
        it->second = PendingEffect{true, pending_value_[k]};
      else
        it->second.value += pending_value_[k];
    }
  }
  pending_index_valid_ = true;
}

void Model::add_rows(int nrows, const char *type, const double *rhs_in, const double *range_in,
                     const int64_t *start, const int *colind, const double *value) {
  int first = rows();
  size_t n = size_t(nrows);
  rowtype.insert(rowtype.end(), type, type + n);
  rhs.insert(rhs.end(), rhs_in, rhs_in + n);
  range.resize(rhs.size(), 0.0);
  for (size_t i = 0; i < n; ++i) {
    if (type[i] == 'R' && range_in) range[size_t(first) + i] = std::fabs(range_in[i]);
  }
  rownames.resize(rhs.size());
  if (!row_scale_exp.empty()) row_scale_exp.resize(rhs.size(), 0);
  if (start && nrows > 0) {
    const size_t count = size_t(start[n] - start[0]);
    reserve_pending(count);
    if (pending_index_valid_) {
      for (size_t i = 0; i < n; ++i)
        for (int64_t k = start[i]; k < start[i + 1]; ++k)
          if (value[k] != 0.0) push_pending(first + int(i), colind[k], value[k], false);
    } else {
      // Written in place, every entry; zero coefficients are overwritten by
      // the next one (the position only advances past non-zeros).
      const size_t base = pending_row_.size();
      pending_row_.resize(base + count);
      pending_col_.resize(base + count);
      pending_value_.resize(base + count);
      int *row_out = pending_row_.data() + base, *col_out = pending_col_.data() + base;
      double *value_out = pending_value_.data() + base;
      size_t out = 0;
      for (size_t i = 0; i < n; ++i) {
        const int row = first + int(i);
        for (int64_t k = start[i]; k < start[i + 1]; ++k) {
          row_out[out] = row;
          col_out[out] = colind[k];
          value_out[out] = value[k];
          out += value[k] != 0.0;
        }
      }
      pending_row_.resize(base + out);
      pending_col_.resize(base + out);
      pending_value_.resize(base + out);
    }
  }
  rows_valid_ = false;
  ++structure_version;
  ++data_version;
}

void Model::add_cols(int ncols, const double *obj_in, const int64_t *start, const int *rowind,
                     const double *value, const double *lb_in, const double *ub_in) {
  int first = cols();
  size_t n = size_t(ncols);
  if (obj_in)
    obj.insert(obj.end(), obj_in, obj_in + n);
  else
    obj.resize(obj.size() + n, 0.0);
  if (lb_in)
    lb.insert(lb.end(), lb_in, lb_in + n);
  else
    lb.resize(lb.size() + n, 0.0);
  if (ub_in)
    ub.insert(ub.end(), ub_in, ub_in + n);
  else
    ub.resize(ub.size() + n, 1e20);
  coltype.resize(obj.size(), 'C');
  limit.resize(obj.size(), 0.0);
  colnames.resize(obj.size());
  if (!col_scale_exp.empty()) col_scale_exp.resize(obj.size(), 0);
  if (start && ncols > 0) {
    reserve_pending(size_t(start[n] - start[0]));
    for (size_t j = 0; j < n; ++j)
      for (int64_t k = start[j]; k < start[j + 1]; ++k)
        if (value[k] != 0.0) append_pending(rowind[k], first + int(j), value[k]);
  }
  rows_valid_ = false;
  ++structure_version;
  ++data_version;
}

const CompressedMatrix &Model::by_cols() const {
  const size_t n = size_t(cols());
  const size_t old_cols = cols_.start.empty() ? 0 : cols_.start.size() - 1;
  if (cols_.start.empty()) cols_.start.push_back(0);
  if (pending_row_.empty()) {
    // Only new empty columns (or none) since the last build.
    cols_.start.resize(n + 1, cols_.start[old_cols]);
    return cols_;
  }

  // Column sizes before merging: the compressed entries and the pending
  // triplets of every column.
  CompressedMatrix out;
  out.start.assign(n + 1, 0);
  for (size_t j = 0; j < old_cols; ++j) out.start[j + 1] = cols_.start[j + 1] - cols_.start[j];
  for (int c : pending_col_) ++out.start[size_t(c) + 1];
  for (size_t j = 0; j < n; ++j) out.start[j + 1] += out.start[j];
  const size_t total = size_t(out.start[n]);
  out.index.resize(total);
  out.value.resize(total);

  // Scatter: each column's compressed entries first, then its triplets in
  // the order they came, which is the order their effects apply in.
  std::vector<int64_t> next(out.start.begin(), out.start.end() - 1);
  for (size_t j = 0; j < old_cols; ++j) {
    const int64_t b = cols_.start[j], len = cols_.start[j + 1] - b;
    std::copy_n(cols_.index.begin() + b, len, out.index.begin() + next[j]);
    std::copy_n(cols_.value.begin() + b, len, out.value.begin() + next[j]);
    next[j] += len;
  }
  std::vector<char> replaced;  // per scattered entry, only when there are replacing effects
  if (!pending_replace_at_.empty()) replaced.assign(total, 0);
  auto next_replace = pending_replace_at_.begin();
  for (size_t k = 0; k < pending_col_.size(); ++k) {
    const size_t pos = size_t(next[size_t(pending_col_[k])]++);
    out.index[pos] = pending_row_[k];
    out.value[pos] = pending_value_[k];
    if (next_replace != pending_replace_at_.end() && *next_replace == k) {
      replaced[pos] = 1;
      ++next_replace;
    }
  }
  release_pending();

  // A column is ready as scattered when its rows ascend strictly and no
  // effect replaces another; otherwise its entries are sorted by row (stably,
  // so effects keep their order) and folded, dropping zero results. Columns
  // shift left over the entries folded away.
  struct Entry {
    int row;
    bool replace;
    double value;
  };
  std::vector<Entry> merge;
  int64_t w = 0, b = 0;
  for (size_t j = 0; j < n; ++j) {
    const int64_t e = out.start[j + 1];
    const int64_t old_len = j < old_cols ? cols_.start[j + 1] - cols_.start[j] : 0;
    bool ready = old_len == 0 || old_len == e - b;
    for (int64_t k = b + 1; ready && k < e; ++k) ready = out.index[size_t(k)] > out.index[size_t(k - 1)];
    if (ready && !replaced.empty())
      ready = std::find(replaced.begin() + b, replaced.begin() + e, 1) == replaced.begin() + e;
    if (ready) {
      if (w != b) {
        std::copy(out.index.begin() + b, out.index.begin() + e, out.index.begin() + w);
        std::copy(out.value.begin() + b, out.value.begin() + e, out.value.begin() + w);
      }
      w += e - b;
    } else {
      merge.clear();
      for (int64_t k = b; k < e; ++k)
        merge.push_back({out.index[size_t(k)], k < b + old_len || (!replaced.empty() && replaced[size_t(k)]),
                         out.value[size_t(k)]});
      std::stable_sort(merge.begin(), merge.end(), [](const Entry &x, const Entry &y) { return x.row < y.row; });
      for (size_t a = 0; a < merge.size();) {
        size_t c = a;
        double v = 0.0;
        for (; c < merge.size() && merge[c].row == merge[a].row; ++c)
          v = merge[c].replace ? merge[c].value : v + merge[c].value;
        if (v != 0.0) {
          out.index[size_t(w)] = merge[a].row;
          out.value[size_t(w)] = v;
          ++w;
        }
        a = c;
      }
    }
    out.start[j + 1] = w;
    b = e;
  }
  out.index.resize(size_t(w));
  out.value.resize(size_t(w));
  cols_ = std::move(out);
  return cols_;
}

const CompressedMatrix &Model::by_rows() const {
  const CompressedMatrix &c = by_cols();
  size_t m = size_t(rows());
  if (rows_valid_ && rows_.start.size() == m + 1) return rows_;
  rows_.start.assign(m + 1, 0);
  for (int r : c.index) ++rows_.start[size_t(r) + 1];
  for (size_t i = 0; i < m; ++i) rows_.start[i + 1] += rows_.start[i];
  rows_.index.resize(c.index.size());
  rows_.value.resize(c.value.size());
  std::vector<int64_t> fill(rows_.start.begin(), rows_.start.end() - 1);
  size_t n = c.start.size() - 1;
  for (size_t j = 0; j < n; ++j)
    for (int64_t k = c.start[j]; k < c.start[j + 1]; ++k) {
      size_t pos = size_t(fill[size_t(c.index[size_t(k)])]++);
      rows_.index[pos] = int(j);
      rows_.value[pos] = c.value[size_t(k)];
    }
  rows_valid_ = true;
  return rows_;
}

int64_t Model::nonzeros() const { return int64_t(by_cols().index.size()); }

double Model::coef(int row, int col) const {
  double v = 0.0;
  size_t old_cols = cols_.start.empty() ? 0 : cols_.start.size() - 1;
  if (size_t(col) < old_cols) {
    auto b = cols_.index.begin() + cols_.start[size_t(col)], e = cols_.index.begin() + cols_.start[size_t(col) + 1];
    auto it = std::lower_bound(b, e, row);
    if (it != e && *it == row) v = cols_.value[size_t(it - cols_.index.begin())];
  }
  if (!pending_row_.empty()) {
    if (!pending_index_valid_) build_pending_index();
    auto it = pending_index_.find(key_of(row, col));
    if (it != pending_index_.end()) v = it->second.replace ? it->second.value : v + it->second.value;
  }
  return v;
}

void Model::set_coef(int row, int col, double value) {
  push_pending(row, col, value, true);
  rows_valid_ = false;
  ++structure_version;
  ++data_version;
}

namespace {

// Removes flagged positions of a per-item vector, keeping order.
template <class T>
void compact(std::vector<T> &v, const std::vector<bool> &remove) {
  size_t out = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (remove[i]) continue;
    // Never onto itself: a vector moved onto itself is left empty (the
    // members of the sets kept before the first deleted one).
    if (out != i) v[out] = std::move(v[i]);
    ++out;
  }
  v.resize(out);
}

// New position of every old one, -1 for removed ones.
std::vector<int> shift_table(const std::vector<bool> &remove) {
  std::vector<int> map(remove.size());
  int next = 0;
  for (size_t i = 0; i < remove.size(); ++i) map[i] = remove[i] ? -1 : next++;
  return map;
}

void remap_quadratic(std::vector<QuadEntry> &entries, const std::vector<int> &colmap) {
  size_t out = 0;
  for (auto &e : entries) {
    int i = colmap[size_t(e.i)], j = colmap[size_t(e.j)];
    if (i < 0 || j < 0) continue;
    entries[out++] = QuadEntry{i, j, e.q};
  }
  entries.resize(out);
}

}  // namespace

void Model::delete_rows(const std::vector<bool> &remove) {
  const CompressedMatrix &c = by_cols();
  std::vector<int> rowmap = shift_table(remove);
  CompressedMatrix out;
  out.start.resize(c.start.size());
  out.index.reserve(c.index.size());
  out.value.reserve(c.value.size());
  for (size_t j = 0; j + 1 < c.start.size(); ++j) {
    for (int64_t k = c.start[j]; k < c.start[j + 1]; ++k) {
      int r = rowmap[size_t(c.index[size_t(k)])];
      if (r < 0) continue;
      out.index.push_back(r);
      out.value.push_back(c.value[size_t(k)]);
    }
    out.start[j + 1] = int64_t(out.index.size());
  }
  cols_ = std::move(out);
  compact(rowtype, remove);
  compact(rhs, remove);
  compact(range, remove);
  if (!row_scale_exp.empty()) compact(row_scale_exp, remove);
  rownames.erase(remove);

  std::unordered_map<int, std::vector<QuadEntry>> q;
  for (auto &[row, entries] : qrows)
    if (rowmap[size_t(row)] >= 0) q.emplace(rowmap[size_t(row)], std::move(entries));
  qrows = std::move(q);
  std::unordered_map<int, Indicator> ind;
  for (auto &[row, indicator] : indicators)
    if (rowmap[size_t(row)] >= 0) ind.emplace(rowmap[size_t(row)], indicator);
  indicators = std::move(ind);
  mip.rows_deleted(rowmap);

  rows_valid_ = false;
  ++structure_version;
  ++data_version;
}

void Model::delete_cols(const std::vector<bool> &remove) {
  const CompressedMatrix &c = by_cols();
  std::vector<int> colmap = shift_table(remove);
  CompressedMatrix out;
  out.start.push_back(0);
  for (size_t j = 0; j + 1 < c.start.size(); ++j) {
    if (remove[j]) continue;
    for (int64_t k = c.start[j]; k < c.start[j + 1]; ++k) {
      out.index.push_back(c.index[size_t(k)]);
      out.value.push_back(c.value[size_t(k)]);
    }
    out.start.push_back(int64_t(out.index.size()));
  }
  cols_ = std::move(out);
  compact(obj, remove);
  compact(lb, remove);
  compact(ub, remove);
  compact(coltype, remove);
  compact(limit, remove);
  if (!col_scale_exp.empty()) compact(col_scale_exp, remove);
  colnames.erase(remove);

  remap_quadratic(qobj, colmap);
  for (auto it = qrows.begin(); it != qrows.end();) {
    remap_quadratic(it->second, colmap);
    it = it->second.empty() ? qrows.erase(it) : std::next(it);
  }
  for (auto &set : sets) {
    size_t out_k = 0;
    for (size_t k = 0; k < set.cols.size(); ++k) {
      int j = colmap[size_t(set.cols[k])];
      if (j < 0) continue;
      set.cols[out_k] = j;
      set.weights[out_k] = set.weights[k];
      ++out_k;
    }
    set.cols.resize(out_k);
    set.weights.resize(out_k);
  }
  for (auto it = indicators.begin(); it != indicators.end();) {
    int j = colmap[size_t(it->second.col)];
    if (j < 0) {
      it = indicators.erase(it);
    } else {
      it->second.col = j;
      ++it;
    }
  }
  mip.cols_deleted(colmap);
  rows_valid_ = false;
  ++structure_version;
  ++data_version;
}

void Model::delete_sets(const std::vector<bool> &remove) {
  compact(sets, remove);
  setnames.erase(remove);
  ++structure_version;
  ++data_version;
}

// ---- quadratic parts, sets, types -------------------------------------------

namespace {

uint64_t pair_key(int i, int j) {
  if (i > j) std::swap(i, j);
  return key_of(i, j);
}

void sort_entries(std::vector<QuadEntry> &v) {
  std::sort(v.begin(), v.end(), [](const QuadEntry &a, const QuadEntry &b) {
    return a.i != b.i ? a.i < b.i : a.j < b.j;
  });
}

// Adds (or, with `replace`, sets) entries to an upper-triangle list with at
// most one entry per pair; zeros are dropped at the end.
void merge_entries(std::vector<QuadEntry> &list, int64_t n, const int *col1, const int *col2, const double *q,
                   bool replace) {
  std::unordered_map<uint64_t, size_t> where;
  where.reserve(list.size() + size_t(n));
  for (size_t k = 0; k < list.size(); ++k) where.emplace(pair_key(list[k].i, list[k].j), k);
  for (int64_t k = 0; k < n; ++k) {
    int i = std::min(col1[k], col2[k]), j = std::max(col1[k], col2[k]);
    auto [it, fresh] = where.emplace(pair_key(i, j), list.size());
    if (fresh)
      list.push_back(QuadEntry{i, j, q[k]});
    else if (replace)
      list[it->second].q = q[k];
    else
      list[it->second].q += q[k];
  }
  list.erase(std::remove_if(list.begin(), list.end(), [](const QuadEntry &e) { return e.q == 0.0; }), list.end());
  sort_entries(list);
}

}  // namespace

void Model::add_qobj(int64_t n, const int *col1, const int *col2, const double *q) {
  merge_entries(qobj, n, col1, col2, q, false);
  ++structure_version;
  ++data_version;
}

void Model::change_qobj(int64_t n, const int *col1, const int *col2, const double *q) {
  merge_entries(qobj, n, col1, col2, q, true);
  ++structure_version;
  ++data_version;
}

void Model::add_qrow(int row, int64_t n, const int *col1, const int *col2, const double *q) {
  auto &list = qrows[row];
  merge_entries(list, n, col1, col2, q, false);
  if (list.empty()) qrows.erase(row);
  ++structure_version;
  ++data_version;
}

namespace {

// One entry of a sorted upper-triangle list set in place (0 removes it).
void set_sorted_entry(std::vector<QuadEntry> &list, int i, int j, double q) {
  if (i > j) std::swap(i, j);
  auto it = std::lower_bound(list.begin(), list.end(), QuadEntry{i, j, 0.0}, [](const QuadEntry &a, const QuadEntry &b) {
    return a.i != b.i ? a.i < b.i : a.j < b.j;
  });
  const bool present = it != list.end() && it->i == i && it->j == j;
  if (present && q == 0.0)
    list.erase(it);
  else if (present)
    it->q = q;
  else if (q != 0.0)
    list.insert(it, QuadEntry{i, j, q});
}

}  // namespace

void Model::set_qobj_entry(int i, int j, double q) {
  set_sorted_entry(qobj, i, j, q);
  ++structure_version;
  ++data_version;
}

void Model::set_qrow_entry(int row, int i, int j, double q) {
  auto found = qrows.find(row);
  if (found == qrows.end()) {
    if (q == 0.0) return;
    found = qrows.emplace(row, std::vector<QuadEntry>()).first;
  }
  set_sorted_entry(found->second, i, j, q);
  if (found->second.empty()) qrows.erase(found);
  ++structure_version;
  ++data_version;
}

void Model::delete_qrow(int row) {
  if (qrows.erase(row) == 0) return;
  ++structure_version;
  ++data_version;
}

double Model::qobj_coef(int i, int j) const {
  if (i > j) std::swap(i, j);
  auto it = std::lower_bound(qobj.begin(), qobj.end(), QuadEntry{i, j, 0.0}, [](const QuadEntry &a, const QuadEntry &b) {
    return a.i != b.i ? a.i < b.i : a.j < b.j;
  });
  return it != qobj.end() && it->i == i && it->j == j ? it->q : 0.0;
}

void Model::add_set(char type, int64_t n, const int *cols, const double *weights) {
  SpecialOrderedSet set;
  set.type = type;
  set.cols.assign(cols, cols + n);
  if (weights)
    set.weights.assign(weights, weights + n);
  else
    for (int64_t k = 0; k < n; ++k) set.weights.push_back(double(k + 1));
  sets.push_back(std::move(set));
  setnames.resize(sets.size());
  ++structure_version;
  ++data_version;
}

void Model::set_coltype(int col, char type) {
  size_t j = size_t(col);
  coltype[j] = type;
  if (type == 'B') {
    lb[j] = std::max(lb[j], 0.0);
    ub[j] = std::min(ub[j], 1.0);
  }
  if (type != 'S' && type != 'R' && type != 'P') limit[j] = 0.0;
  ++structure_version;
  ++data_version;
}


int name_units(const Model &m) {
  size_t longest = std::max({m.rownames.longest(), m.colnames.longest(), m.setnames.longest()});
  return std::max(1, int((longest + 7) / 8));
}

const NameList *name_list(const Model &m, int type) {
  switch (type) {
    case 1: return &m.rownames;
    case 2: return &m.colnames;
    case 3: return &m.setnames;
    default: return nullptr;
  }
}

NameList *name_list(Model &m, int type) { return const_cast<NameList *>(name_list(std::as_const(m), type)); }

}  // namespace krvs
