#include "controls.h"

#include <atomic>
#include <cmath>
#include <unordered_map>

#include "guard.h"

namespace krvs {

std::vector<ControlInfo> optimizer_control_rows() {
  std::vector<ControlInfo> table;
#define KRVS_CONTROL KRVS_CONTROL_ROW
#include "control_table.def"
#undef KRVS_CONTROL
  return table;
}

namespace {

std::vector<AttribInfo> make_attrib_table() {
  std::vector<AttribInfo> table;
#define KRVS_ATTRIB(id, name, type, doc) table.push_back(AttribInfo{id, name, ValueType(#type[0]), doc});
#include "attribute_table.def"
#undef KRVS_ATTRIB
  return table;
}


const char *type_word(ValueType type) {
  switch (type) {
    case ValueType::Int: return "integer";
    case ValueType::Double: return "double";
    default: return "string";
  }
}

}  // namespace

ControlTable::ControlTable(std::vector<ControlInfo> rows) : rows_(std::move(rows)) {
  for (size_t i = 0; i < rows_.size(); ++i) positions_.emplace(rows_[i].id, int(i));
}

int ControlTable::position(int id) const noexcept {
  auto it = positions_.find(id);
  return it == positions_.end() ? -1 : it->second;
}

const ControlTable &control_table() {
  static const ControlTable table(optimizer_control_rows());
  return table;
}

const std::vector<AttribInfo> &attrib_table() {
  static const std::vector<AttribInfo> table = make_attrib_table();
  return table;
}

int ControlValues::position(int id) const {
  int pos = table_->position(id);
  if (pos < 0) throw Error("Unknown control id " + std::to_string(id));
  return pos;
}

const AttribInfo *find_attrib(int id) noexcept {
  for (const auto &info : attrib_table())
    if (info.id == id) return &info;
  return nullptr;
}

namespace {
uint64_t next_controls_version() {
  static std::atomic<uint64_t> counter{0};
  return ++counter;
}
}  // namespace

ControlValues::ControlValues(const ControlTable &table) : table_(&table) { reset_all(); }

void ControlValues::reset_all() {
  const auto &table = table_->rows();
  numbers_.resize(table.size());
  texts_.resize(table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    numbers_[i] = table[i].default_number;
    texts_[i] = table[i].default_text;
  }
  version_ = next_controls_version();
}

void ControlValues::reset(int id) {
  int pos = position(id);
  const ControlInfo &info = table_->rows()[pos];
  numbers_[pos] = info.default_number;
  texts_[pos] = info.default_text;
  version_ = next_controls_version();
}

const ControlInfo &ControlValues::checked(int id, ValueType type) const {
  const ControlInfo &info = table_->rows()[position(id)];
  if (info.type != type)
    throw Error(std::string("Control ") + info.name + " (" + std::to_string(id) + ") is a " +
                type_word(info.type) + " control, not a " + type_word(type) + " one");
  return info;
}

int64_t ControlValues::get_int(int id) const {
  checked(id, ValueType::Int);
  return int64_t(numbers_[position(id)]);
}

double ControlValues::get_double(int id) const {
  checked(id, ValueType::Double);
  return numbers_[position(id)];
}

const std::string &ControlValues::get_string(int id) const {
  checked(id, ValueType::String);
  return texts_[position(id)];
}

void ControlValues::set_int(int id, int64_t value) {
  const ControlInfo &info = checked(id, ValueType::Int);
  if (double(value) < info.min_value || double(value) > info.max_value)
    throw Error(std::string("Value ") + std::to_string(value) + " is out of range for control " +
                info.name + ": it must lie in [" + std::to_string(int64_t(info.min_value)) + ", " +
                std::to_string(int64_t(info.max_value)) + "]");
  numbers_[position(id)] = double(value);
  version_ = next_controls_version();
}

void ControlValues::set_double(int id, double value) {
  const ControlInfo &info = checked(id, ValueType::Double);
  if (std::isnan(value) || value < info.min_value || value > info.max_value) {
    char text[256];
    snprintf(text, sizeof text, "Value %g is out of range for control %s: it must lie in [%g, %g]",
             value, info.name, info.min_value, info.max_value);
    throw Error(text);
  }
  numbers_[position(id)] = value;
  version_ = next_controls_version();
}

void ControlValues::set_string(int id, const std::string &value) {
  checked(id, ValueType::String);
  if (value.size() >= 2048) throw Error("String control value is longer than 2047 characters");
  texts_[position(id)] = value;
  version_ = next_controls_version();
}

}  // namespace krvs
