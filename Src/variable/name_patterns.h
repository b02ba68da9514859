// Names of the variables of one korvo.vars() call, made when asked for.
//
// korvo.vars(n, m, name='x') names its variables x(0,0), x(0,1), ...: the
// name of each follows from the call's prefix, its index sets and the
// variable's place in the call, and the place from the identity (a call
// takes consecutive identities). Instead of a string per variable, the
// call keeps one pattern; a variable marked VAR_NAME_PATTERN reads its name
// from it, and a name set later replaces it as any stored name does. The
// pattern goes when the last variable that reads from it goes.
//
// Like the other side tables of variables, the patterns are used under the
// interpreter's lock.
#ifndef KORVO_NAME_PATTERNS_H
#define KORVO_NAME_PATTERNS_H

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct NamePattern;

// One index set of a pattern: a count (labels 0..size-1) or its labels.
struct NamePatternDimension {
  bool is_count = false;
  uint64_t size = 0;
  std::vector<std::string> labels;  // empty for a count
};

// Registers the pattern of `count` variables from identity first_id on,
// with no variable holding it yet. Throws std::bad_alloc.
NamePattern *name_pattern_add(uint64_t first_id, uint64_t count, std::string prefix,
                              std::vector<NamePatternDimension> dims);
// One more variable reads its name from the pattern.
void name_pattern_hold(NamePattern *pattern);
// Removes a pattern no variable holds (after a failed vars() call).
void name_pattern_drop_if_unused(NamePattern *pattern);
// The variable of this identity no longer reads from its pattern.
void name_pattern_release(uint64_t id);

// The name of the variable of this identity as a new str, or null with an
// exception set.
PyObject *name_pattern_name(uint64_t id);
// Appends the name of the variable of this identity to out, zero-terminated,
// when it is plain ASCII of at most max_length characters without a zero
// character (the engine's form, written without a Python object); returns
// false and leaves out as it was otherwise.
bool name_pattern_append_plain(uint64_t id, size_t max_length, std::string *out);

// Patterns alive (for tests of their release).
size_t name_pattern_count(void);

#endif
