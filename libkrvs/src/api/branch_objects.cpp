// Branching objects (KRVS_bo_...): built and read by the caller, stored for
// a node of the tree search, or handed to and returned by chgbranchobject
// callbacks. Every input is checked before the object changes.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <string>

#include "api/model_checks.h"
#include "core/guard.h"
#include "core/problem.h"
#include "search/branch_object.h"
#include "solve/solve_state.h"

using namespace krvs;

namespace {

std::atomic<int64_t> next_object_id{1};

// Runs fn for an object: failures become the object's last error.
template <class Fn>
int guard_object(KRVSbranchobject object, Fn &&fn) noexcept {
  if (!object) {
    set_global_error(1, "Null branching object");
    return 1;
  }
  try {
    fn();
    return 0;
  } catch (const std::bad_alloc &) {
    object->last_error = "Out of memory";
  } catch (const std::exception &e) {
    object->last_error = e.what();
  } catch (...) {
    object->last_error = "Unknown internal error";
  }
  object->last_error_code = 1;
  return 1;
}

Branch &branch_of(const char *fn, KRVSbranchobject object, int ibranch) {
  if (ibranch < 0 || ibranch >= int(object->branches.size()))
    fail(fn, "branch " + std::to_string(ibranch) + " does not exist (the object has " +
                 std::to_string(object->branches.size()) + " branches)");
  return object->branches[size_t(ibranch)];
}

void check_column(const char *fn, KRVSbranchobject object, int col) {
  const int cols = object->prob->model->cols();
  if (col < 0 || col >= cols)
    fail(fn, "column " + std::to_string(col) + " out of range (the model has " + std::to_string(cols) + " columns)");
}

}  // namespace

extern "C" {

int KRVS_bo_create(KRVSbranchobject *object, KRVSprob prob, int isoriginal) noexcept {
  return guard_problem(prob, [&] {
    if (!object) throw Error("KRVS_bo_create: null object pointer");
    auto made = std::make_unique<krvs_branchobj_s>();
    made->prob = prob;
    made->isoriginal = isoriginal != 0;
    made->id = next_object_id.fetch_add(1);
    *object = made.release();
  });
}

int KRVS_bo_destroy(KRVSbranchobject object) noexcept {
  if (!object) return 0;
  if (object->search_owned) {
    object->last_error_code = 1;
    object->last_error = "KRVS_bo_destroy: the object belongs to the search";
    return 1;
  }
  delete object;
  return 0;
}

int KRVS_bo_store(KRVSbranchobject object, int *node) noexcept {
  if (!object) {
    set_global_error(1, "Null branching object");
    return 1;
  }
  KRVSprob prob = object->prob;
  return guard_problem(prob, [&] {
    if (object->search_owned)
      throw Error("KRVS_bo_store: the object belongs to the search (hand it back from the callback instead)");
    const BranchCheck check = check_branch_object(*object);
    if (check.status != KRVS_BO_VALID) throw Error("KRVS_bo_store: invalid branching object: " + check.message);
    // During a tree search the callbacks run at the node being processed.
    const int64_t at = prob->solve && prob->solve->current_node > 0 ? prob->solve->current_node : 1;
    stored_branchings(prob).store(at, std::unique_ptr<krvs_branchobj_s>(object));
    if (node) *node = int(at);
  });
}

int KRVS_bo_validate(KRVSbranchobject object, int *status) noexcept {
  return guard_object(object, [&] {
    if (!status) fail("KRVS_bo_validate", "null status");
    const BranchCheck check = check_branch_object(*object);
    *status = check.status;
    if (check.status != KRVS_BO_VALID) {
      object->last_error_code = check.status;
      object->last_error = check.message;
    }
  });
}

int KRVS_bo_addbranches(KRVSbranchobject object, int nbranches) noexcept {
  return guard_object(object, [&] {
    if (nbranches < 0) fail("KRVS_bo_addbranches", "negative number of branches (" + std::to_string(nbranches) + ")");
    object->branches.resize(object->branches.size() + size_t(nbranches));
  });
}

int KRVS_bo_getbranches(KRVSbranchobject object, int *nbranches) noexcept {
  return guard_object(object, [&] {
    if (!nbranches) fail("KRVS_bo_getbranches", "null output");
    *nbranches = int(object->branches.size());
  });
}

int KRVS_bo_addbounds(KRVSbranchobject object, int ibranch, int nbounds, const char bndtype[], const int colind[],
                      const double bndval[]) noexcept {
  return guard_object(object, [&] {
    const char *fn = "KRVS_bo_addbounds";
    Branch &branch = branch_of(fn, object, ibranch);
    check_count(fn, nbounds, "bounds");
    check_array(fn, bndtype, nbounds, "of bound types");
    check_array(fn, colind, nbounds, "of columns");
    check_array(fn, bndval, nbounds, "of bound values");
    for (int k = 0; k < nbounds; ++k) {
      check_column(fn, object, colind[k]);
      const char t = bndtype[k];
      if (t != 'L' && t != 'U' && t != 'B')
        fail(fn, std::string("invalid bound type '") + t + "' (L lower, U upper, B both)");
      if (std::isnan(bndval[k])) fail(fn, "bound value is not a number");
      if ((t == 'L' && bndval[k] >= KRVS_INFINITY) || (t == 'U' && bndval[k] <= -KRVS_INFINITY) ||
          (t == 'B' && std::fabs(bndval[k]) >= KRVS_INFINITY))
        fail(fn, "infinite bound value " + std::to_string(bndval[k]) + " of type " + t + " leaves no value");
    }
    for (int k = 0; k < nbounds; ++k) branch.bounds.push_back(BranchBound{bndtype[k], colind[k], bndval[k]});
  });
}

int KRVS_bo_getbounds(KRVSbranchobject object, int ibranch, int *nbounds, int maxbounds, char bndtype[],
                      int colind[], double bndval[]) noexcept {
  return guard_object(object, [&] {
    const char *fn = "KRVS_bo_getbounds";
    const Branch &branch = branch_of(fn, object, ibranch);
    const int count = int(branch.bounds.size());
    if (nbounds) *nbounds = count;
    for (int k = 0; k < count && k < maxbounds; ++k) {
      if (bndtype) bndtype[k] = branch.bounds[size_t(k)].type;
      if (colind) colind[k] = branch.bounds[size_t(k)].col;
      if (bndval) bndval[k] = branch.bounds[size_t(k)].value;
    }
  });
}

int KRVS_bo_addrows(KRVSbranchobject object, int ibranch, int nrows, int nelems, const char rowtype[],
                    const double rhs[], const int start[], const int colind[], const double rowcoef[]) noexcept {
  return guard_object(object, [&] {
    const char *fn = "KRVS_bo_addrows";
    Branch &branch = branch_of(fn, object, ibranch);
    check_count(fn, nrows, "rows");
    check_count(fn, nelems, "coefficients");
    if (nrows == 0) return;
    check_array(fn, rowtype, nrows, "of row types");
    check_array(fn, rhs, nrows, "of right-hand sides");
    check_array(fn, start, nrows + 1, "of starts");
    check_array(fn, colind, nelems, "of columns");
    check_array(fn, rowcoef, nelems, "of coefficients");
    if (start[0] != 0 || start[nrows] != nelems)
      fail(fn, "starts must run from 0 to the number of coefficients (" + std::to_string(nelems) + ")");
    std::vector<BranchRow> rows(static_cast<size_t>(nrows));
    for (int r = 0; r < nrows; ++r) {
      const char t = rowtype[r];
      if (t != 'L' && t != 'G' && t != 'E') fail(fn, std::string("invalid row type '") + t + "' (L, G or E)");
      if (!std::isfinite(rhs[r]) || std::fabs(rhs[r]) >= KRVS_INFINITY)
        fail(fn, "right-hand side of row " + std::to_string(r) + " is not a finite number");
      if (start[r + 1] < start[r]) fail(fn, "starts must not decrease");
      BranchRow &row = rows[size_t(r)];
      row.type = t;
      row.rhs = rhs[r];
      for (int k = start[r]; k < start[r + 1]; ++k) {
        check_column(fn, object, colind[k]);
        if (!std::isfinite(rowcoef[k])) fail(fn, "coefficient is not a finite number");
        if (rowcoef[k] == 0.0) continue;
        row.cols.push_back(colind[k]);
        row.coefs.push_back(rowcoef[k]);
      }
    }
    for (BranchRow &row : rows) branch.rows.push_back(std::move(row));
  });
}

int KRVS_bo_getrows(KRVSbranchobject object, int ibranch, int *nrows, int maxrows, int *nelems, int maxelems,
                    char rowtype[], double rhs[], int start[], int colind[], double rowcoef[]) noexcept {
  return guard_object(object, [&] {
    const char *fn = "KRVS_bo_getrows";
    const Branch &branch = branch_of(fn, object, ibranch);
    int total = 0;
    for (const BranchRow &row : branch.rows) total += int(row.cols.size());
    if (nrows) *nrows = int(branch.rows.size());
    if (nelems) *nelems = total;
    const int shown = std::min(std::max(maxrows, 0), int(branch.rows.size()));
    int pos = 0;
    for (int r = 0; r < shown; ++r) {
      const BranchRow &row = branch.rows[size_t(r)];
      if (rowtype) rowtype[r] = row.type;
      if (rhs) rhs[r] = row.rhs;
      if (start) start[r] = pos;
      for (size_t k = 0; k < row.cols.size(); ++k, ++pos) {
        if (pos >= maxelems) continue;
        if (colind) colind[pos] = row.cols[k];
        if (rowcoef) rowcoef[pos] = row.coefs[k];
      }
    }
    if (start && maxrows >= 0) start[shown] = pos;
  });
}

int KRVS_bo_addcuts(KRVSbranchobject object, int ibranch, int ncuts, const KRVScut cutind[]) noexcept {
  return guard_object(object, [&] {
    const char *fn = "KRVS_bo_addcuts";
    Branch &branch = branch_of(fn, object, ibranch);
    check_count(fn, ncuts, "cuts");
    check_array(fn, cutind, ncuts, "of cuts");
    const Model &m = *object->prob->model;
    for (int k = 0; k < ncuts; ++k) {
      const uint64_t id = uint64_t(reinterpret_cast<uintptr_t>(cutind[k]));
      if (!m.mip.cuts.find(id))
        fail(fn, "unknown cut " + std::to_string(id) + " (deleted, or of another problem)");
    }
    for (int k = 0; k < ncuts; ++k) branch.cuts.push_back(uint64_t(reinterpret_cast<uintptr_t>(cutind[k])));
  });
}

int KRVS_bo_getid(KRVSbranchobject object, int *id) noexcept {
  return guard_object(object, [&] {
    if (!id) fail("KRVS_bo_getid", "null output");
    *id = int(object->id);
  });
}

int KRVS_bo_setpriority(KRVSbranchobject object, int priority) noexcept {
  return guard_object(object, [&] { object->priority = priority; });
}

int KRVS_bo_setpreferredbranch(KRVSbranchobject object, int ibranch) noexcept {
  return guard_object(object, [&] {
    if (ibranch != -1) branch_of("KRVS_bo_setpreferredbranch", object, ibranch);
    object->preferred = ibranch;
  });
}

int KRVS_bo_getlasterror(KRVSbranchobject object, int *code, char msg[], int maxbytes, int *msglen) noexcept {
  if (!object) {
    return KRVS_ge_getlasterror(code, msg, maxbytes, msglen);
  }
  if (code) *code = object->last_error_code;
  if (msg && maxbytes > 0) copy_text(object->last_error, msg, size_t(maxbytes));
  if (msglen) *msglen = int(object->last_error.size());
  return 0;
}

}  // extern "C"
