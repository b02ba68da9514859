// Names of rows, columns and sets: setting, fetching and lookup.
#include <cstring>
#include <string_view>
#include <vector>

#include "analysis/presolve.h"
#include "api/model_checks.h"

using namespace krvs;

namespace {

NameList &list_for(const char *fn, Model &m, int type) {
  NameList *list = name_list(m, type);
  if (!list) fail(fn, "invalid name type " + std::to_string(type) + " (1 rows, 2 columns, 3 sets)");
  return *list;
}

const char *kind_of(int type) { return type == 1 ? "row" : type == 2 ? "column" : "set"; }

void add_names(const char *fn, KRVSprob prob, int type, const char *names, int first, int last) {
  Model &m = model_of(prob);
  NameList &list = list_for(fn, m, type);
  check_range(fn, first, last, int(list.size()), kind_of(type));
  if (!names) fail(fn, "null name buffer");
  // Check all names first: a refused name leaves the old ones in place.
  const char *p = names;
  size_t chars = 0;
  for (int i = first; i <= last; ++i) {
    size_t len = strlen(p);
    for (size_t k = 0; k < len; ++k)
      if ((unsigned char)p[k] < ' ')
        fail(fn, "the name of " + std::string(kind_of(type)) + " " + std::to_string(i) +
                     " contains a control character");
    chars += len;
    p += len + 1;
  }
  list.set_packed(first, size_t(last - first + 1), names, chars);
}

}  // namespace

extern "C" {

int KRVSaddnames(KRVSprob prob, int type, const char names[], int first, int last) noexcept {
  return guard_problem(prob, [&] { add_names("KRVSaddnames", prob, type, names, first, last); });
}

int KRVSaddnumberednames(KRVSprob prob, int type, const uint64_t numbers[], int first, int last) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSaddnumberednames";
    NameList &list = list_for(fn, model_of(prob), type);
    check_range(fn, first, last, int(list.size()), kind_of(type));
    if (!numbers) fail(fn, "null number array");
    list.set_numbered(first, numbers, size_t(last - first + 1));
  });
}

int KRVSaddsetnames(KRVSprob prob, const char names[], int first, int last) noexcept {
  return guard_problem(prob, [&] { add_names("KRVSaddsetnames", prob, 3, names, first, last); });
}

int KRVSgetnames(KRVSprob prob, int type, char names[], int first, int last) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetnames";
    Model &m = model_of(prob);
    NameList &list = list_for(fn, m, type);
    check_range(fn, first, last, int(list.size()), kind_of(type));
    if (!names) fail(fn, "null name buffer");
    size_t slot = size_t(8 * name_units(m) + 1);
    GeneratedName scratch;
    for (int i = first; i <= last; ++i) {
      std::string_view name = list.view(i, scratch);
      char *out = names + size_t(i - first) * slot;
      memcpy(out, name.data(), name.size());
      memset(out + name.size(), 0, slot - name.size());
    }
  });
}

int KRVSgetnamelist(KRVSprob prob, int type, char names[], int names_len, int *names_len_reqd, int first,
                    int last) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetnamelist";
    if (analysis::on_presolved(prob, [&](KRVSprob h) {
          return KRVSgetnamelist(h, type, names, names_len, names_len_reqd, first, last);
        }))
      return;
    Model &m = model_of(prob);
    NameList &list = list_for(fn, m, type);
    check_range(fn, first, last, int(list.size()), kind_of(type));
    int64_t need = 0;
    for (int i = first; i <= last; ++i) need += int64_t(list.length(i)) + 1;
    if (need > INT32_MAX) fail(fn, "the names need more than 2^31 bytes");
    if (names_len_reqd) *names_len_reqd = int(need);
    if (!names) return;
    if (names_len < need)
      fail(fn, "name buffer of " + std::to_string(names_len) + " bytes is too small (" + std::to_string(need) +
                   " needed)");
    char *out = names;
    GeneratedName scratch;
    for (int i = first; i <= last; ++i) {
      std::string_view name = list.view(i, scratch);
      memcpy(out, name.data(), name.size());
      out[name.size()] = '\0';
      out += name.size() + 1;
    }
  });
}

int KRVSgetindex(KRVSprob prob, int type, const char *name, int *index) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetindex";
    Model &m = model_of(prob);
    NameList &list = list_for(fn, m, type);
    if (!name || !index) fail(fn, "null argument");
    int found = list.find(name);
    if (found < 0) fail(fn, "no " + std::string(kind_of(type)) + " named '" + name + "'");
    *index = found;
  });
}

}  // extern "C"
