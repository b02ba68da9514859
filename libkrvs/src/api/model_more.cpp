// Single quadratic coefficients, quadratic rows, bases and starting points
// for the next solve, scaling, the log file and message switches.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "analysis/presolve.h"
#include "api/model_checks.h"
#include "core/messages.h"
#include "solve/solve_state.h"

using namespace krvs;

namespace {

// Basis statuses of the C interface, per column: 0 at its lower bound,
// 1 basic, 2 at its upper bound, 3 nonbasic free (superbasic, at 0). Per
// row: 0 tight at its right-hand side, 1 basic, 2 a range row tight at the
// other end (rhs - range), 3 a free row that is nonbasic.
constexpr int kAtLower = 0, kBasic = 1, kAtUpper = 2, kSuperbasic = 3;

// Scale factors are powers of two within 2^-64 .. 2^64: exact to apply and
// to undo, and far from overflowing any coefficient the model accepts.
constexpr int kMaxScaleExponent = 64;

int8_t column_status(int status) {
  switch (status) {
    case kAtLower: return int8_t(0);  // HiGHS kLower
    case kBasic: return int8_t(1);    // kBasic
    case kAtUpper: return int8_t(2);  // kUpper
    default: return int8_t(3);        // kZero
  }
}

// HiGHS's row statuses speak of the row activity's bounds.
int8_t row_status(char rowtype, int status) {
  switch (status) {
    case kBasic: return int8_t(1);
    case kSuperbasic: return int8_t(3);
    case kAtUpper: return int8_t(0);  // range row at rhs - range: the activity's lower end
    default: return rowtype == 'G' || rowtype == 'E' ? int8_t(0) : int8_t(2);
  }
}

void load_basis(const char *fn, KRVSprob prob, const int rowstat[], const int colstat[]) {
  Model &m = model_of(prob);
  const int rows = m.rows(), cols = m.cols();
  check_array(fn, rowstat, rows, "of row statuses");
  check_array(fn, colstat, cols, "of column statuses");
  int basic = 0;
  for (int i = 0; i < rows; ++i) {
    if (rowstat[i] < kAtLower || rowstat[i] > kSuperbasic)
      fail(fn, "invalid status " + std::to_string(rowstat[i]) + " of row " + std::to_string(i) + " (0 to 3)");
    // Status 2 is a range row at rhs - range, or a tight 'G' row, as
    // KRVSgetbasis reports it (its slack at the upper end, 0), so that a
    // basis read back loads as it was.
    if (rowstat[i] == kAtUpper && m.rowtype[size_t(i)] != 'R' && m.rowtype[size_t(i)] != 'G')
      fail(fn, "row " + std::to_string(i) + " is not a range row or a 'G' row and cannot be at its other end "
                   "(status 2)");
    basic += rowstat[i] == kBasic;
  }
  for (int j = 0; j < cols; ++j) {
    if (colstat[j] < kAtLower || colstat[j] > kSuperbasic)
      fail(fn, "invalid status " + std::to_string(colstat[j]) + " of column " + std::to_string(j) + " (0 to 3)");
    basic += colstat[j] == kBasic;
  }
  if (basic != rows)
    fail(fn, "the basis has " + std::to_string(basic) + " basic rows and columns; a basis of this problem has " +
                 std::to_string(rows));
  StoredBasis &stored = prob->solve->basis;
  stored.row_status.resize(size_t(rows));
  stored.col_status.resize(size_t(cols));
  for (int i = 0; i < rows; ++i) stored.row_status[size_t(i)] = row_status(m.rowtype[size_t(i)], rowstat[i]);
  for (int j = 0; j < cols; ++j) stored.col_status[size_t(j)] = column_status(colstat[j]);
  stored.structure_version = m.structure_version;
  stored.valid = true;
  stored.loaded = true;
}

void copy_values(const char *fn, std::vector<double> &to, const double *from, int n, const char *what) {
  to.clear();
  if (!from) return;
  for (int k = 0; k < n; ++k)
    if (!std::isfinite(from[k])) fail(fn, std::string("not a finite number in the ") + what + " at " + std::to_string(k));
  to.assign(from, from + n);
}

}  // namespace

extern "C" {

int KRVSchgqobj(KRVSprob prob, int col1, int col2, double coef) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgqobj";
    Model &m = model_of(prob);
    check_index(fn, col1, m.cols(), "column");
    check_index(fn, col2, m.cols(), "column");
    check_finite(fn, coef, "quadratic coefficient");
    ModelEdit edit(prob);
    m.set_qobj_entry(col1, col2, coef);
    edit.quadratic_objective_changed();
  });
}

int KRVSchgqrowcoeff(KRVSprob prob, int row, int col1, int col2, double coef) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSchgqrowcoeff";
    Model &m = model_of(prob);
    check_index(fn, row, m.rows(), "row");
    check_index(fn, col1, m.cols(), "column");
    check_index(fn, col2, m.cols(), "column");
    check_finite(fn, coef, "quadratic coefficient");
    ModelEdit edit(prob);
    m.set_qrow_entry(row, col1, col2, coef);
    edit.solver_model_unaffected();
  });
}

int KRVSdelqmatrix(KRVSprob prob, int row) noexcept {
  return guard_problem(prob, [&] {
    Model &m = model_of(prob);
    check_index("KRVSdelqmatrix", row, m.rows(), "row");
    ModelEdit edit(prob);
    m.delete_qrow(row);
    edit.solver_model_unaffected();
  });
}

int KRVSchgmcoef(KRVSprob prob, int ncoefs, const int rowind[], const int colind[], const double rowcoef[]) noexcept {
  return KRVSchgmcoef64(prob, ncoefs, rowind, colind, rowcoef);
}

int KRVSloadbasis(KRVSprob prob, const int rowstat[], const int colstat[]) noexcept {
  return guard_problem(prob, [&] { load_basis("KRVSloadbasis", prob, rowstat, colstat); });
}

// Solves presolve inside HiGHS, so without a kept presolved problem the
// presolved problem seen from outside is the problem itself. A kept one
// (lpoptimize 'k') is not the start of a solve: refused then.
int KRVSloadpresolvebasis(KRVSprob prob, const int rowstat[], const int colstat[]) noexcept {
  return guard_problem(prob, [&] {
    analysis::refuse_while_presolved(prob, "KRVSloadpresolvebasis");
    load_basis("KRVSloadpresolvebasis", prob, rowstat, colstat);
  });
}

int KRVSloadlpsol(KRVSprob prob, const double x[], const double slack[], const double duals[], const double djs[],
                  int *status) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSloadlpsol";
    Model &m = model_of(prob);
    if (!x && !slack && !duals && !djs) fail(fn, "no part of a solution given");
    if ((duals == nullptr) != (djs == nullptr)) fail(fn, "duals and reduced costs must be given together");
    if (slack && !x) fail(fn, "slacks need the primal values x as well");
    StartingPoint point;
    copy_values(fn, point.x, x, m.cols(), "primal values");
    copy_values(fn, point.slack, slack, m.rows(), "slacks");
    copy_values(fn, point.duals, duals, m.rows(), "duals");
    copy_values(fn, point.djs, djs, m.cols(), "reduced costs");
    point.structure_version = m.structure_version;
    point.valid = true;
    prob->solve->start = std::move(point);
    if (status) *status = 0;
  });
}

// Factors of the caller's choice replace any given before; without them
// the solver goes back to scaling with factors of its own.
int KRVSscale(KRVSprob prob, const int rowscale[], const int colscale[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSscale";
    Model &m = model_of(prob);
    auto check_exponents = [&](const int *exps, int n, const char *what) {
      for (int k = 0; exps && k < n; ++k)
        if (exps[k] < -kMaxScaleExponent || exps[k] > kMaxScaleExponent)
          fail(fn, std::string("scale exponent ") + std::to_string(exps[k]) + " of " + what + " " +
                       std::to_string(k) + " out of range (-" + std::to_string(kMaxScaleExponent) + " to " +
                       std::to_string(kMaxScaleExponent) + ")");
    };
    check_exponents(rowscale, m.rows(), "row");
    check_exponents(colscale, m.cols(), "column");
    auto nonzero = [](const int *exps, int n) {
      for (int k = 0; exps && k < n; ++k)
        if (exps[k] != 0) return true;
      return false;
    };
    // The next solve hands the solver the model scaled anew (or unscaled).
    ModelEdit edit(prob);
    if (rowscale)
      m.row_scale_exp.assign(rowscale, rowscale + m.rows());
    else
      m.row_scale_exp.clear();
    if (colscale)
      m.col_scale_exp.assign(colscale, colscale + m.cols());
    else
      m.col_scale_exp.clear();
    // All-zero exponents scale nothing: no work at each solve.
    if (!nonzero(rowscale, m.rows())) m.row_scale_exp.clear();
    if (!nonzero(colscale, m.cols())) m.col_scale_exp.clear();
    edit.stale();
    if (!rowscale && !colscale) prob->controls.set_int(8011, 1);
    ++m.data_version;
  });
}

int KRVSsetlogfile(KRVSprob prob, const char *filename) noexcept {
  return guard_problem(prob, [&] {
    std::FILE *opened = nullptr;
    if (filename && *filename) {
      opened = std::fopen(filename, "a");
      if (!opened)
        fail("KRVSsetlogfile", std::string("cannot open the log file '") + filename + "': " + std::strerror(errno));
    }
    std::lock_guard<std::mutex> lock(prob->callback_mutex);
    if (prob->log_file) std::fclose(prob->log_file);
    prob->log_file = opened;
    prob->log_file_name = opened ? filename : "";
  });
}

int KRVSsetmessagestatus(KRVSprob prob, int code, int status) noexcept {
  return guard_problem(prob, [&] {
    if (!known_message_code(code))
      fail("KRVSsetmessagestatus", "unknown message code " + std::to_string(code));
    std::lock_guard<std::mutex> lock(prob->callback_mutex);
    if (status == 0)
      prob->message_status[code] = 0;
    else
      prob->message_status.erase(code);
  });
}

int KRVSgetmessagestatus(KRVSprob prob, int code, int *status) noexcept {
  return guard_problem(prob, [&] {
    if (!status) fail("KRVSgetmessagestatus", "null argument");
    if (!known_message_code(code))
      fail("KRVSgetmessagestatus", "unknown message code " + std::to_string(code));
    std::lock_guard<std::mutex> lock(prob->callback_mutex);
    *status = prob->message_status.count(code) ? 0 : 1;
  });
}

}  // extern "C"
