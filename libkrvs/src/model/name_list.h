// Names of the rows, columns or sets of a model.
//
// All names live back to back in one character buffer, each entry holding an
// offset and a length, so a million names cost two small arrays and one
// buffer rather than a million strings. An entry without a name (length 0)
// reads as the generated name: the list's prefix and the entry's position
// ("C0", "R3", "S1"), which follows the entry when earlier ones are deleted,
// or the prefix and a number of the caller's (the modelling layer names its
// objects after their identities, "C1042"), kept where the offset of a
// stored name would be and unchanged by deletions.
//
// Lookup by name goes through an open-addressing table of positions, built
// on the first lookup and kept up to date by small changes afterwards; a
// large batch of changes drops it instead, to be rebuilt by the next lookup.
// When several entries carry the same name, the lookup gives the first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace krvs {

// Room for a generated name: one prefix letter and up to 20 digits.
struct GeneratedName {
  char text[24];
};

class NameList {
 public:
  explicit NameList(char prefix) : prefix_(prefix) {}

  size_t size() const { return length_.size(); }
  // The stored name, or the generated one when none was given.
  std::string get(int index) const;
  // The same without a copy: a view of the stored characters, or of
  // `scratch` for a generated name. Valid until the list changes.
  std::string_view view(int index, GeneratedName &scratch) const;
  size_t length(int index) const;

  // Sets one name; the empty name returns the entry to its generated name.
  void set(int index, std::string_view name);
  // Sets names[k] at position first + k, for all k.
  void set_range(int first, const std::vector<std::string_view> &names);
  // The same for `count` zero-terminated names one after the other in
  // `names`, `chars` characters in all (terminators not counted).
  void set_packed(int first, size_t count, const char *names, size_t chars);
  // Gives entry first + k the generated name prefix + numbers[k], for all k
  // (count entries); kLeaveName leaves an entry's name as it is.
  void set_numbered(int first, const uint64_t *numbers, size_t count);
  static constexpr uint64_t kLeaveName = ~uint64_t(0);
  // Grows with unnamed entries (or shrinks).
  void resize(size_t n);
  // Erase positions marked true in `remove` (size() entries), keeping order.
  void erase(const std::vector<bool> &remove);

  // Position of the first entry with this name, or -1.
  int find(std::string_view name) const;
  // Length of the longest name (generated ones included).
  size_t longest() const;

 private:
  struct Slot {
    uint32_t hash;
    int32_t index;  // -1: empty
  };

  // The number in the generated name of an unnamed entry.
  uint64_t generated_number(size_t index) const { return offset_[index] == kByPosition ? index : offset_[index]; }
  size_t effective_length(size_t index) const;
  // Runs write() to change entry i's name, keeping the lookup and the
  // longest length up to date around it.
  template <class Write>
  void change_name(size_t i, Write write);
  void store(size_t index, std::string_view name);
  void compact_if_wasteful();
  void drop_lookup() const;
  void build_lookup() const;
  void lookup_insert(int index) const;
  void lookup_insert(int index, uint32_t hash) const;
  void lookup_remove(int index) const;
  size_t lookup_find(std::string_view name, uint32_t hash) const;
  void lookup_grow() const;

  char prefix_;
  std::string chars_;             // the stored names, back to back
  // Per entry: start in chars_; for an unnamed entry the number of its
  // generated name, or kByPosition for its position.
  std::vector<uint64_t> offset_;
  static constexpr uint64_t kByPosition = ~uint64_t(0);
  std::vector<uint32_t> length_;  // per entry: length, 0 for no name
  size_t dead_ = 0;               // characters in chars_ no entry uses

  mutable std::vector<Slot> slots_;  // size a power of two, at most half full
  mutable size_t used_ = 0;
  mutable bool lookup_valid_ = false;
  mutable bool has_duplicates_ = false;

  mutable size_t longest_ = 0;
  mutable bool longest_valid_ = true;
};

}  // namespace krvs
