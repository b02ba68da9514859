// The module-wide journal of changes to modelling objects and how a problem
// applies them to its engine model (see change_journal.h).
#include "problem/change_journal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "api/errors.h"
#include "constraint/constraint.h"
#include "knls.h"
#include "krvs.h"
#include "maps/maps.h"
#include "nonlin/convert.h"
#include "problem/flush.h"
#include "problem/problem.h"
#include "problem/problem_methods.h"
#include "python_model/korvo_module.h"
#include "python_model/pyref.h"
#include "variable/var.h"

namespace {

// An entry is the object's identity (at most 57 bits) with the kind of
// change in the bits above it.
constexpr int kChangeShift = 58;
constexpr uint64_t kIdentityMask = (uint64_t(1) << kChangeShift) - 1;
// Entries kept at most for problems that are not brought up to date (8
// bytes each); beyond them such problems reapply all of their objects.
constexpr size_t kJournalCap = size_t(1) << 22;
constexpr size_t kFirstTrim = size_t(1) << 12;
constexpr Py_ssize_t kMaxEngineName = KORVO_MAX_NAME_LENGTH;

struct journal_state {
  std::vector<uint64_t> entries;
  uint64_t base = 0;  // sequence number of entries[0]
  std::vector<problem_s *> followers;
  size_t trim_at = kFirstTrim;
  uint64_t end() const { return base + entries.size(); }
};

journal_state &journal() {
  static journal_state state;
  return state;
}

// Every follower reapplies all of its objects at its next update; the
// entries are no longer needed.
void drop_all_positions(journal_state &j) {
  uint64_t end = j.end();
  for (problem_s *p : j.followers) {
    if (p->journal_position < end) p->journal_resync = 1;
    p->journal_position = end;
  }
  j.entries.clear();
  j.base = end;
}

// Drops the entries every follower has applied; when too many remain,
// the followers still behind give up their positions.
void trim(journal_state &j) {
  uint64_t lowest = j.end();
  for (const problem_s *p : j.followers) lowest = std::min(lowest, p->journal_position);
  size_t applied = size_t(lowest - j.base);
  j.entries.erase(j.entries.begin(), j.entries.begin() + std::ptrdiff_t(applied));
  j.base = lowest;
  if (j.entries.size() > kJournalCap) drop_all_positions(j);
  // The next trim comes at twice the entries kept, and at the latest just
  // past the cap, so that the cap bounds the journal.
  j.trim_at = std::min(kJournalCap + 1, std::max(kFirstTrim, 2 * j.entries.size()));
}

// ---- what one update applies ---------------------------------------------------

enum : uint8_t {
  CH_LB = 1,
  CH_UB = 2,
  CH_THRESHOLD = 4,
  CH_TYPE = 8,
  CH_NAME = 16,
  CH_BOUNDS = 32,  // rows
  CH_BODY = 64,    // rows
  CH_ALL_VAR = CH_LB | CH_UB | CH_THRESHOLD | CH_TYPE | CH_NAME,
  CH_ALL_CON = CH_BOUNDS | CH_NAME,
};

uint8_t change_flag(journal_change change) {
  switch (change) {
    case JOURNAL_VAR_LB: return CH_LB;
    case JOURNAL_VAR_UB: return CH_UB;
    case JOURNAL_VAR_THRESHOLD: return CH_THRESHOLD;
    case JOURNAL_VAR_TYPE: return CH_TYPE;
    case JOURNAL_VAR_NAME: return CH_NAME;
    case JOURNAL_CON_BOUNDS: return CH_BOUNDS;
    case JOURNAL_CON_NAME: return CH_NAME;
    case JOURNAL_CON_BODY: return CH_BODY;
  }
  return 0;
}

bool is_row_change(journal_change change) {
  return change == JOURNAL_CON_BOUNDS || change == JOURNAL_CON_NAME || change == JOURNAL_CON_BODY;
}

// The engine calls of one update, gathered first so that a change that
// cannot be applied is found before anything reaches the engine.
struct engine_changes {
  std::vector<int> bound_cols;
  std::vector<char> bound_types;
  std::vector<double> bound_values;
  std::vector<int> type_cols;
  std::vector<char> type_letters;
  std::vector<int> limit_cols;
  std::vector<double> limits;
  std::vector<std::pair<int, std::string>> col_names, row_names;
  std::vector<int> rows;
  std::vector<char> row_types;
  std::vector<double> rhs;
  std::vector<int> range_rows;
  std::vector<double> ranges;
  // Replaced linear bodies: old coefficients are zeroed, then the new ones set.
  std::vector<int> coef_rows, coef_cols;
  std::vector<double> coef_values;
};

char column_type_letter(int type) {
  static const char letters[] = {'C', 'B', 'I', 'S', 'R', 'P'};
  return type >= 0 && type < 6 ? letters[type] : 0;
}

// The engine's text of an object's stored name; false with an exception.
bool engine_name(PyObject *name_obj, const char *kind, PyObject *object, Py_ssize_t max_length, std::string *out) {
  PyRef name(name_obj);
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(korvo_model_error, "Invalid name of %s %S in the problem (must be a string)", kind, object);
    return false;
  }
  if (max_length > 0 && PyUnicode_GetLength(name.get()) > max_length) {
    name.reset(PyUnicode_Substring(name.get(), 0, max_length));
    if (!name) return false;
  }
  Py_ssize_t length = 0;
  const char *text = PyUnicode_AsUTF8AndSize(name.get(), &length);
  if (!text) return false;
  if (strlen(text) != size_t(length)) {
    PyErr_Format(korvo_model_error, "The name of %s %S contains a zero character", kind, object);
    return false;
  }
  out->assign(text, size_t(length));
  return true;
}

int add_column(engine_changes &out, int col, uint8_t flags, PyObject *object) {
  uint64_t info = as_var(object)->info;
  int type = get_var_type(info);
  char letter = column_type_letter(type);
  if (!letter) {
    PyErr_Format(korvo_model_error, "Variable %S has an incorrect variable type (%d)", object, type);
    return -1;
  }
  double lb = get_var_lbound(info), ub = get_var_ubound(info);
  if (std::isnan(lb) || std::isnan(ub)) {
    PyErr_Format(korvo_model_error, "Variable %S has a bound that is not a number", object);
    return -1;
  }
  if (letter == 'B') {  // as the constructor does for binary variables
    lb = std::max(lb, 0.0);
    ub = std::min(ub, 1.0);
  }
  // A new type goes with both bounds: the engine narrows the bounds of a
  // binary column, which a later type must not inherit.
  if (flags & (CH_LB | CH_TYPE)) {
    out.bound_cols.push_back(col);
    out.bound_types.push_back('L');
    out.bound_values.push_back(lb);
  }
  if (flags & (CH_UB | CH_TYPE)) {
    out.bound_cols.push_back(col);
    out.bound_types.push_back('U');
    out.bound_values.push_back(ub);
  }
  if (flags & CH_TYPE) {
    out.type_cols.push_back(col);
    out.type_letters.push_back(letter);
  }
  bool semi = letter == 'S' || letter == 'R' || letter == 'P';
  if (semi && (flags & (CH_LB | CH_UB | CH_TYPE | CH_THRESHOLD))) {
    double threshold = get_var_thold(info);
    if (!(lb <= threshold && threshold <= ub)) {
      PyErr_Format(korvo_model_error,
                   "Incorrect semi-continuous, semi-integer, or partially integer variable %S; check that its "
                   "threshold is between its lower and upper bounds",
                   object);
      return -1;
    }
    out.limit_cols.push_back(col);
    out.limits.push_back(threshold);
  }
  if ((flags & CH_NAME) && var_has_own_name(info)) {
    std::string text;
    if (!engine_name(get_var_name(info), "variable", object, kMaxEngineName, &text)) return -1;
    out.col_names.emplace_back(col, std::move(text));
  }
  return 0;
}

// A replaced body: its linear part takes the place of the row's
// coefficients. The engine cannot take quadratic or nonlinear parts of a
// row back, so such a body (new or old) is refused with a message saying
// what to do instead. Sets *constant to the new body's constant.
int replace_linear_body(problem_s *p, engine_changes &out, int row, PyObject *object, double *constant) {
  PyObject *body = as_constraint(object)->body;
  static const char kHowTo[] =
      "The body of constraint %S was replaced after it was added to the problem, and only linear bodies can be "
      "replaced in a problem; delete the constraint and add a new one instead";
  conv_counts counts{};
  if (convertExpr_count(p, body, &counts) < 0) return -1;
  int64_t old_quad = 0;
  if (KRVSgetqrowqmatrixtriplets(p->prob, row, &old_quad, nullptr, nullptr, nullptr) != 0) {
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    return -1;
  }
  bool old_nonlinear = false;
  if (p->nl_coef_count > 0) {
    int count = 0;
    if (KNLSgetcoefs(p->nlprob, &count, nullptr, nullptr) != 0) {
      setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
      return -1;
    }
    std::vector<int> rows(size_t(count > 0 ? count : 1)), cols(size_t(count > 0 ? count : 1));
    if (count > 0 && KNLSgetcoefs(p->nlprob, &count, rows.data(), cols.data()) != 0) {
      setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
      return -1;
    }
    old_nonlinear = std::find(rows.begin(), rows.begin() + count, row) != rows.begin() + count;
  }
  if (counts.quad > 0 || counts.formulas > 0 || old_quad > 0 || old_nonlinear) {
    PyErr_Format(korvo_model_error, kHowTo, object);
    return -1;
  }
  conv_target target{};
  target.grow = true;
  struct freed {
    conv_target *t;
    ~freed() { conv_target_free(t); }
  } release{&target};
  if (convertExpr(p, body, &target, false) < 0) return -1;
  int64_t old_count = 0;
  if (KRVSgetrows64(p->prob, nullptr, nullptr, nullptr, 0, &old_count, row, row) != 0) {
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    return -1;
  }
  if (old_count > 0) {
    int64_t starts[2] = {0, 0};
    std::vector<int> cols(static_cast<size_t>(old_count));
    std::vector<double> values(static_cast<size_t>(old_count));
    int64_t got = 0;
    if (KRVSgetrows64(p->prob, starts, cols.data(), values.data(), old_count, &got, row, row) != 0) {
      setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
      return -1;
    }
    for (int64_t k = 0; k < got && k < old_count; ++k) {
      out.coef_rows.push_back(row);
      out.coef_cols.push_back(cols[size_t(k)]);
      out.coef_values.push_back(0.0);
    }
  }
  for (uint64_t k = 0; k < target.linear_count; ++k) {
    out.coef_rows.push_back(row);
    out.coef_cols.push_back(target.linear_cols[k]);
    out.coef_values.push_back(target.linear_vals[k]);
  }
  *constant = target.constant;
  return 0;
}

int add_row(problem_s *p, engine_changes &out, int row, uint8_t flags, PyObject *object) {
  constraint_s *c = as_constraint(object);
  if (flags & (CH_BOUNDS | CH_BODY)) {
    double constant = 0.0;
    if (flags & CH_BODY) {
      if (!c->body) {
        PyErr_Format(korvo_model_error, "Constraint %S of the problem has no body", object);
        return -1;
      }
      if (replace_linear_body(p, out, row, object, &constant) < 0) return -1;
    } else if (c->body) {
      conv_counts counts{};
      if (convertExpr_count(p, c->body, &counts) < 0) return -1;
      constant = counts.constant;
    }
    // As the constructor refuses them: the engine has no row for them.
    if (get_con_lbound(c->info) > get_con_ubound(c->info) + 1e-6) {
      PyErr_Format(korvo_model_error, "Constraint %S defined infeasible: lower bound > upper bound", object);
      return -1;
    }
    char row_type = 'N';
    double rhs = -constant, range = 0.0;
    getRhsSense(object, &row_type, &rhs, &range);
    out.rows.push_back(row);
    out.row_types.push_back(row_type);
    out.rhs.push_back(rhs);
    if (row_type == 'R') {
      out.range_rows.push_back(row);
      out.ranges.push_back(range);
    }
  }
  if ((flags & CH_NAME) && (c->info & CON_NAME_STORED)) {
    std::string text;
    if (!engine_name(get_con_name(c->info), "constraint", object, kMaxEngineName, &text)) return -1;
    out.row_names.emplace_back(row, std::move(text));
  }
  return 0;
}

// Index -> accumulated change flags, sorted by index with one entry each.
using change_list = std::vector<std::pair<int, uint8_t>>;

void merge_changes(change_list &list) {
  std::sort(list.begin(), list.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
  size_t kept = 0;
  for (size_t k = 0; k < list.size(); ++k) {
    if (kept > 0 && list[kept - 1].first == list[k].first)
      list[kept - 1].second |= list[k].second;
    else
      list[kept++] = list[k];
  }
  list.resize(kept);
}

int engine_apply(problem_s *p, const engine_changes &c) {
  KRVSprob prob = p->prob;
  auto count = [](const auto &v) { return int(v.size()); };
  if ((!c.bound_cols.empty() && KRVSchgbounds(prob, count(c.bound_cols), c.bound_cols.data(), c.bound_types.data(),
                                              c.bound_values.data()) != 0) ||
      (!c.type_cols.empty() &&
       KRVSchgcoltype(prob, count(c.type_cols), c.type_cols.data(), c.type_letters.data()) != 0) ||
      (!c.limit_cols.empty() && KRVSchgglblimit(prob, count(c.limit_cols), c.limit_cols.data(), c.limits.data()) != 0) ||
      (!c.coef_rows.empty() && KRVSchgmcoef64(prob, int64_t(c.coef_rows.size()), c.coef_rows.data(),
                                              c.coef_cols.data(), c.coef_values.data()) != 0) ||
      (!c.rows.empty() && (KRVSchgrowtype(prob, count(c.rows), c.rows.data(), c.row_types.data()) != 0 ||
                           KRVSchgrhs(prob, count(c.rows), c.rows.data(), c.rhs.data()) != 0)) ||
      (!c.range_rows.empty() && KRVSchgrhsrange(prob, count(c.range_rows), c.range_rows.data(), c.ranges.data()) != 0))
    return -1;
  for (const auto &[col, name] : c.col_names)
    if (KRVSaddnames(prob, 2, name.c_str(), col, col) != 0) return -1;
  for (const auto &[row, name] : c.row_names)
    if (KRVSaddnames(prob, 1, name.c_str(), row, row) != 0) return -1;
  return 0;
}

// The object at index of a registry list when it still has this identity
// (the list and the map always agree; the check costs nothing).
PyObject *registered(PyObject *list, rowcolmap *map, uint64_t id, bool rows, int *index) {
  PyObject *found = nullptr;
  if (rowcolmap_get(map, id, &found) != 0) return nullptr;
  Py_ssize_t i = Py_ssize_t(reinterpret_cast<intptr_t>(found));
  if (i < 0 || i >= PyList_GET_SIZE(list)) return nullptr;
  PyObject *object = PyList_GET_ITEM(list, i);
  uint64_t actual = rows ? (isConstraint(object) ? con_id(as_constraint(object)->info) : ~uint64_t(0))
                         : (isVar(object) ? var_id(as_var(object)) : ~uint64_t(0));
  if (actual != id) return nullptr;
  *index = int(i);
  return object;
}

int gather_and_apply(problem_s *p, uint64_t from, uint64_t to, bool everything) {
  journal_state &j = journal();
  change_list cols, rows;
  if (everything) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p->variables); ++i) cols.emplace_back(int(i), CH_ALL_VAR);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p->constraints); ++i) rows.emplace_back(int(i), CH_ALL_CON);
  }
  for (uint64_t seq = from; seq < to; ++seq) {
    uint64_t entry = j.entries[size_t(seq - j.base)];
    auto change = journal_change(entry >> kChangeShift);
    uint64_t id = entry & kIdentityMask;
    bool row_change = is_row_change(change);
    int index = -1;
    if (row_change ? !registered(p->constraints, p->con_index, id, true, &index)
                   : !registered(p->variables, p->var_index, id, false, &index))
      continue;
    (row_change ? rows : cols).emplace_back(index, change_flag(change));
  }
  if (cols.empty() && rows.empty()) return 0;
  merge_changes(cols);
  merge_changes(rows);
  engine_changes changes;
  for (const auto &[col, flags] : cols)
    if (add_column(changes, col, flags, PyList_GET_ITEM(p->variables, col)) < 0) return -1;
  for (const auto &[row, flags] : rows)
    if (add_row(p, changes, row, flags, PyList_GET_ITEM(p->constraints, row)) < 0) return -1;
  if (engine_apply(p, changes) != 0) {
    setKrvsErrIfNull(reinterpret_cast<PyObject *>(p), nullptr);
    return -1;
  }
  return 0;
}

}  // namespace

void journal_note(uint64_t id, journal_change change) {
  journal_state &j = journal();
  if (j.followers.empty()) return;
  try {
    j.entries.push_back((id & kIdentityMask) | (uint64_t(change) << kChangeShift));
  } catch (const std::bad_alloc &) {
    drop_all_positions(j);
    return;
  }
  if (j.entries.size() >= j.trim_at) trim(j);
}

void journal_follow(problem_s *p) {
  journal_state &j = journal();
  p->journal_position = j.end();
  p->journal_resync = 0;
  if (p->journal_followed) return;
  try {
    j.followers.push_back(p);
    p->journal_followed = 1;
  } catch (const std::bad_alloc &) {
    // Not following: the problem reapplies everything at each update.
    p->journal_resync = 1;
  }
}

void journal_unfollow(problem_s *p) {
  journal_state &j = journal();
  if (!p->journal_followed) return;
  p->journal_followed = 0;
  auto it = std::find(j.followers.begin(), j.followers.end(), p);
  if (it != j.followers.end()) {
    *it = j.followers.back();
    j.followers.pop_back();
  }
  if (j.followers.empty()) {
    j.base = j.end();
    j.entries.clear();
    j.entries.shrink_to_fit();
    j.trim_at = kFirstTrim;
  }
}

int problem_apply_object_changes(problem_s *p) {
  // A running solve has taken the model as it was; later changes wait for
  // it to return (changes to the problem itself are refused meanwhile).
  if (!p->prob || p->solving > 0) return 0;
  journal_state &j = journal();
  uint64_t end = p->journal_followed ? j.end() : p->journal_position;
  if (p->journal_position >= end && !p->journal_resync) return 0;
  try {
    if (gather_and_apply(p, p->journal_position, end, p->journal_resync != 0) < 0) return -1;
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return -1;
  }
  p->journal_position = end;
  // A problem that could not join the followers keeps reapplying everything.
  p->journal_resync = p->journal_followed ? 0 : 1;
  return 0;
}

int problem_refuse_while_solving(problem_s *p, const char *what) {
  if (p->solving <= 0) return 0;
  PyErr_Format(korvo_interface_error,
               "The problem is being solved: %s cannot run until the solve returns (nothing may change a problem "
               "while it is solved)",
               what);
  return -1;
}
