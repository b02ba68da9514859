// Control and attribute tables and the per-problem control values.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace krvs {

enum class ValueType : char { Int = 'I', Double = 'D', String = 'S' };

struct ControlInfo {
  int id;
  const char *name;
  ValueType type;
  double default_number;
  const char *default_text;
  double min_value;
  double max_value;
  const char *highs_option;  // "" when the engine itself consumes the value
  const char *meaning;
};

struct AttribInfo {
  int id;
  const char *name;
  ValueType type;
  const char *meaning;
};

// Lets a string default and a numeric default share one table column.
struct ControlDefault {
  double number;
  const char *text;
  ControlDefault(double v) : number(v), text("") {}
  ControlDefault(int v) : number(v), text("") {}
  ControlDefault(const char *t) : number(0), text(t) {}
};

// Expands one row of a control table file into a push onto `table`.
#define KRVS_CONTROL_ROW(id, name, type, def, lo, hi, opt, doc)                                   \
  {                                                                                               \
    ::krvs::ControlDefault d_(def);                                                               \
    table.push_back(::krvs::ControlInfo{id, name, ::krvs::ValueType(#type[0]), d_.number, d_.text, \
                                        double(lo), double(hi), opt, doc});                       \
  }

// Control ids the engine itself reads.
enum ControlId : int {
#define KRVS_CONTROL(id, name, type, def, lo, hi, opt, doc) CTRL_##id = id,
#include "control_table.def"
#undef KRVS_CONTROL
};

// A list of controls with lookup by id; the optimizer and the nonlinear
// solver each have one.
class ControlTable {
 public:
  explicit ControlTable(std::vector<ControlInfo> rows);
  const std::vector<ControlInfo> &rows() const { return rows_; }
  // Position of a control in the table, or -1.
  int position(int id) const noexcept;

 private:
  std::vector<ControlInfo> rows_;
  std::unordered_map<int, int> positions_;
};

const ControlTable &control_table();
const std::vector<AttribInfo> &attrib_table();
const AttribInfo *find_attrib(int id) noexcept;

// One problem's control values, one slot per table row.
class ControlValues {
 public:
  explicit ControlValues(const ControlTable &table = control_table());
  int64_t get_int(int id) const;
  double get_double(int id) const;
  const std::string &get_string(int id) const;
  void set_int(int id, int64_t value);
  void set_double(int id, double value);
  void set_string(int id, const std::string &value);
  void reset(int id);
  void reset_all();
  // Changes with every set or reset, to a number no other state of any
  // ControlValues had: equal versions mean equal values (a copy keeps it).
  uint64_t version() const { return version_; }

 private:
  const ControlInfo &checked(int id, ValueType type) const;
  int position(int id) const;
  const ControlTable *table_;
  std::vector<double> numbers_;
  std::vector<std::string> texts_;
  uint64_t version_ = 0;
};

}  // namespace krvs
