#include "io/model_builder.h"

#include <algorithm>

namespace krvs::io {

int ModelBuilder::find_row(const std::string &name) const {
  auto it = rowindex_.find(name);
  return it == rowindex_.end() ? -1 : it->second;
}

int ModelBuilder::find_col(const std::string &name) const {
  auto it = colindex_.find(name);
  return it == colindex_.end() ? -1 : it->second;
}

int ModelBuilder::add_row(const std::string &name, char type) {
  int index = rows();
  // An unnamed row keeps the engine's default name.
  if (!name.empty() && !rowindex_.emplace(name, index).second) return -1;
  rownames.push_back(name);
  rowtype.push_back(type);
  rhs.push_back(0.0);
  range.push_back(0.0);
  has_range.push_back(0);
  return index;
}

int ModelBuilder::col(const std::string &name) {
  auto [it, fresh] = colindex_.emplace(name, cols());
  if (fresh) {
    colnames.push_back(name);
    obj.push_back(0.0);
    lb.push_back(0.0);
    ub.push_back(1e20);
    limit.push_back(0.0);
    coltype.push_back('C');
    lb_given.push_back(0);
  }
  return it->second;
}

void ModelBuilder::add_coef(int row, int c, double v) {
  trow_.push_back(row);
  tcol_.push_back(c);
  tval_.push_back(v);
}

void ModelBuilder::add_qobj(int i, int j, double q) { qobj_.push_back(QuadEntry{std::min(i, j), std::max(i, j), q}); }

void ModelBuilder::add_qrow(int row, int i, int j, double q) {
  qrows_[row].push_back(QuadEntry{std::min(i, j), std::max(i, j), q});
}

void ModelBuilder::add_set(const std::string &name, char type) {
  sets_.push_back(SpecialOrderedSet{type, {}, {}});
  setnames.push_back(name);
}

void ModelBuilder::add_set_member(int c, double weight) {
  sets_.back().cols.push_back(c);
  sets_.back().weights.push_back(weight);
}

void ModelBuilder::set_indicator(int row, int c, int complement) { indicators_[row] = Indicator{c, complement}; }

namespace {
void add_entries(const std::vector<QuadEntry> &entries, Model &m, int row) {
  std::vector<int> c1, c2;
  std::vector<double> q;
  for (const auto &e : entries) {
    c1.push_back(e.i);
    c2.push_back(e.j);
    q.push_back(e.q);
  }
  if (row < 0)
    m.add_qobj(int64_t(q.size()), c1.data(), c2.data(), q.data());
  else
    m.add_qrow(row, int64_t(q.size()), c1.data(), c2.data(), q.data());
}
}  // namespace

void ModelBuilder::finish(Model &m) {
  Model out;
  int nr = rows(), nc = cols();
  out.add_rows(nr, rowtype.data(), rhs.data(), range.data(), nullptr, nullptr, nullptr);
  // Columns compressed from the triplets (a counting sort by column).
  std::vector<int64_t> start(size_t(nc) + 1, 0);
  for (int c : tcol_) ++start[size_t(c) + 1];
  for (int j = 0; j < nc; ++j) start[size_t(j) + 1] += start[size_t(j)];
  std::vector<int> index(trow_.size());
  std::vector<double> value(trow_.size());
  {
    std::vector<int64_t> fill(start.begin(), start.end() - 1);
    for (size_t k = 0; k < trow_.size(); ++k) {
      size_t pos = size_t(fill[size_t(tcol_[k])]++);
      index[pos] = trow_[k];
      value[pos] = tval_[k];
    }
  }
  out.add_cols(nc, obj.data(), start.data(), index.data(), value.data(), lb.data(), ub.data());
  for (int j = 0; j < nc; ++j) {
    size_t k = size_t(j);
    out.coltype[k] = coltype[k];
    out.limit[k] = limit[k];
    // Files give the threshold of a semi-continuous (semi-integer) column as
    // its lower bound: the column is 0 or between that bound and the upper one.
    if ((coltype[k] == 'S' || coltype[k] == 'R') && lb[k] > 0) {
      out.limit[k] = lb[k];
      out.lb[k] = 0.0;
    }
  }
  for (int i = 0; i < nr; ++i)
    if (!rownames[size_t(i)].empty()) out.rownames.set(i, rownames[size_t(i)]);
  for (int j = 0; j < nc; ++j) out.colnames.set(j, colnames[size_t(j)]);
  if (!qobj_.empty()) add_entries(qobj_, out, -1);
  for (const auto &[row, entries] : qrows_) add_entries(entries, out, row);
  for (size_t k = 0; k < sets_.size(); ++k) {
    const auto &s = sets_[k];
    out.add_set(s.type, int64_t(s.cols.size()), s.cols.data(), s.weights.data());
    out.setnames.set(int(k), setnames[k]);
  }
  out.indicators = indicators_;
  out.obj_constant = obj_constant;
  out.obj_sense = obj_sense;
  out.by_cols();
  out.structure_version = m.structure_version + 1;
  out.data_version = m.data_version + 1;
  m = std::move(out);
}

}  // namespace krvs::io
