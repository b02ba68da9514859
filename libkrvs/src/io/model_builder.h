// Collects what a file reader finds, by name, and turns it into a Model in
// one pass at the end (whole arrays, no row-by-row additions).
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "model/model.h"

namespace krvs::io {

class ModelBuilder {
 public:
  std::string problem_name;
  double obj_constant = 0.0;
  int obj_sense = 1;

  // Rows and columns in order of appearance; -1 when unknown.
  int find_row(const std::string &name) const;
  int find_col(const std::string &name) const;
  int add_row(const std::string &name, char type);  // -1 when the name is taken
  int col(const std::string &name);                  // finds or appends

  int rows() const { return int(rowtype.size()); }
  int cols() const { return int(colnames.size()); }

  void add_coef(int row, int col, double v);
  void add_obj(int col, double v) { obj[size_t(col)] += v; }
  // Objective Hessian entry in the 0.5 x'Qx convention (Q_ij = Q_ji += q).
  void add_qobj(int i, int j, double q);
  // Row quadratic entry in the x'Qx convention (Q_ij = Q_ji += q).
  void add_qrow(int row, int i, int j, double q);
  void add_set(const std::string &name, char type);  // members go to the last set
  void add_set_member(int col, double weight);
  void set_indicator(int row, int col, int complement);

  std::vector<char> rowtype;
  std::vector<double> rhs, range;  // range: the raw value from the file, applied by the reader
  std::vector<char> has_range;
  std::vector<std::string> rownames, colnames, setnames;
  std::vector<double> obj, lb, ub, limit;
  std::vector<char> coltype;
  std::vector<char> lb_given;  // an explicit lower bound was read

  // Builds the model (replacing `m`'s content).
  void finish(Model &m);

 private:
  std::unordered_map<std::string, int> rowindex_, colindex_;
  std::vector<int> trow_, tcol_;
  std::vector<double> tval_;
  std::vector<QuadEntry> qobj_;
  std::unordered_map<int, std::vector<QuadEntry>> qrows_;
  std::vector<SpecialOrderedSet> sets_;
  std::unordered_map<int, Indicator> indicators_;
};

}  // namespace krvs::io
