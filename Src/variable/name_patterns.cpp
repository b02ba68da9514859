// Names of the variables of one korvo.vars() call, made when asked for.
#include "variable/name_patterns.h"

#include <charconv>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <utility>

#include "python_model/korvo_module.h"

struct NamePattern {
  uint64_t first_id = 0;
  uint64_t count = 0;
  uint64_t holders = 0;  // variables that read their names from it
  std::string prefix;
  std::vector<NamePatternDimension> dims;
  // Every name it makes is ASCII without a zero character (a prefix and
  // labels of that kind; counts are digits), so the engine's form needs no
  // scan of each name.
  bool ascii = false;
};

namespace {

// Longest name text vars() writes before decoding (bytes, without the zero).
constexpr size_t kNameTextLimit = 2499;

// Patterns by first identity. Allocated once and never freed, so that
// variables that die late in the interpreter's shutdown still find it.
std::map<uint64_t, std::unique_ptr<NamePattern>> &patterns() {
  static auto *table = new std::map<uint64_t, std::unique_ptr<NamePattern>>();
  return *table;
}

// The last pattern found: variables are mostly read in identity order.
NamePattern *last_found = nullptr;

NamePattern *find(uint64_t id) {
  if (last_found && id - last_found->first_id < last_found->count) return last_found;
  auto &table = patterns();
  auto it = table.upper_bound(id);
  if (it == table.begin()) return nullptr;
  NamePattern *pattern = std::prev(it)->second.get();
  if (id - pattern->first_id >= pattern->count) return nullptr;
  last_found = pattern;
  return pattern;
}

// The indices of the last position made: addVariable reads a call's
// variables one after the other, and the next position's indices are one
// step of a counter instead of a division per index set.
struct Odometer {
  const NamePattern *pattern = nullptr;
  uint64_t position = 0;
  std::vector<uint64_t> index;
};
Odometer odometer;

// The indices of `position` in the pattern's index sets (the last one
// varying fastest).
const uint64_t *indices_of(const NamePattern &pattern, uint64_t position) {
  const size_t n = pattern.dims.size();
  if (odometer.pattern == &pattern && position == odometer.position) return odometer.index.data();
  if (odometer.pattern == &pattern && position == odometer.position + 1) {
    odometer.position = position;
    for (size_t d = n; d-- > 0;) {
      if (++odometer.index[d] < pattern.dims[d].size) break;
      odometer.index[d] = 0;
    }
    return odometer.index.data();
  }
  odometer.pattern = nullptr;  // unusable until filled in full
  odometer.index.resize(n);
  odometer.position = position;
  for (size_t d = n; d-- > 0;) {
    odometer.index[d] = position % pattern.dims[d].size;
    position /= pattern.dims[d].size;
  }
  odometer.pattern = &pattern;
  return odometer.index.data();
}

bool plain_ascii(const std::string &text) {
  for (unsigned char c : text)
    if (c == 0 || c >= 0x80) return false;
  return true;
}

void erase(NamePattern *pattern) {
  if (last_found == pattern) last_found = nullptr;
  if (odometer.pattern == pattern) odometer.pattern = nullptr;
  patterns().erase(pattern->first_id);
}

// Keeps at most `limit` bytes of UTF-8 text without splitting a character.
void truncate_utf8(std::string *text, size_t limit) {
  if (text->size() <= limit) return;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>((*text)[end]) & 0xC0) == 0x80) --end;
  text->resize(end);
}

// Appends prefix(i,j,...) for the variable at `position` of the call (the
// last index varying fastest), as vars() has always written it.
void append_text(const NamePattern &pattern, uint64_t position, std::string *out) {
  const size_t start = out->size();
  const size_t n = pattern.dims.size();
  const uint64_t *index = indices_of(pattern, position);
  out->append(pattern.prefix);
  out->push_back('(');
  for (size_t d = 0; d < n; ++d) {
    if (d) out->push_back(',');
    const NamePatternDimension &dim = pattern.dims[d];
    if (dim.is_count) {
      char digits[24];
      auto result = std::to_chars(digits, digits + sizeof digits, index[d]);
      out->append(digits, result.ptr);
    } else {
      out->append(dim.labels[size_t(index[d])]);
    }
  }
  out->push_back(')');
  if (out->size() - start > kNameTextLimit) {
    std::string text = out->substr(start);
    truncate_utf8(&text, kNameTextLimit);
    out->resize(start);
    out->append(text);
  }
}

}  // namespace

NamePattern *name_pattern_add(uint64_t first_id, uint64_t count, std::string prefix,
                              std::vector<NamePatternDimension> dims) {
  auto pattern = std::make_unique<NamePattern>();
  pattern->first_id = first_id;
  pattern->count = count;
  pattern->prefix = std::move(prefix);
  pattern->dims = std::move(dims);
  pattern->ascii = plain_ascii(pattern->prefix);
  for (const NamePatternDimension &dim : pattern->dims)
    for (const std::string &label : dim.labels) pattern->ascii = pattern->ascii && plain_ascii(label);
  NamePattern *raw = pattern.get();
  auto &slot = patterns()[first_id];
  if (slot && last_found == slot.get()) last_found = nullptr;
  if (slot && odometer.pattern == slot.get()) odometer.pattern = nullptr;
  slot = std::move(pattern);
  return raw;
}

void name_pattern_hold(NamePattern *pattern) { ++pattern->holders; }

void name_pattern_drop_if_unused(NamePattern *pattern) {
  if (pattern && pattern->holders == 0) erase(pattern);
}

void name_pattern_release(uint64_t id) {
  NamePattern *pattern = find(id);
  if (pattern && --pattern->holders == 0) erase(pattern);
}

PyObject *name_pattern_name(uint64_t id) {
  const NamePattern *pattern = find(id);
  if (!pattern) {
    PyErr_SetString(korvo_interface_error, "Internal error in variable name");
    return nullptr;
  }
  std::string text;
  try {
    append_text(*pattern, id - pattern->first_id, &text);
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  PyObject *name = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (name && PyUnicode_GET_LENGTH(name) > KORVO_MAX_NAME_LENGTH) {
    PyObject *cut = PyUnicode_Substring(name, 0, KORVO_MAX_NAME_LENGTH);
    Py_DECREF(name);
    name = cut;
  }
  return name;
}

bool name_pattern_append_plain(uint64_t id, size_t max_length, std::string *out) {
  const NamePattern *pattern = find(id);
  if (!pattern) return false;
  const size_t start = out->size();
  append_text(*pattern, id - pattern->first_id, out);
  bool plain = out->size() - start <= max_length;
  for (size_t k = start; plain && !pattern->ascii && k < out->size(); ++k) {
    const unsigned char c = static_cast<unsigned char>((*out)[k]);
    plain = c != 0 && c < 0x80;
  }
  if (!plain) {
    out->resize(start);
    return false;
  }
  out->push_back('\0');
  return true;
}

size_t name_pattern_count(void) { return patterns().size(); }
