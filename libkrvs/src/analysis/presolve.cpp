// The presolved problem kept by an LP solve with the flag 'k', and the
// queries that read it: the maps to the original rows and columns, its
// solution and basis, rows rewritten in its columns, and postsolve.
#include "analysis/presolve.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "Highs.h"
#include "analysis/analysis.h"
#include "api/model_checks.h"
#include "core/messages.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"
#include "solve/stored_basis.h"

namespace krvs::analysis {

struct PresolvedProblem {
  uint64_t structure_version = 0, data_version = 0;
  // HiGHS holding the original LP and the record of its presolve; null when
  // presolve left the LP as it was (then the maps are the identity).
  std::unique_ptr<Highs> presolver;
  // Presolved row i is original row row_map[i]; likewise for columns.
  std::vector<int> row_map, col_map;
  // The presolved LP as an engine problem of its own: model, names,
  // solution and basis of its solve.
  KRVSprob handle = nullptr;
  // The problem's LP solution came from postsolving this one's.
  bool postsolved = false;

  PresolvedProblem() = default;
  PresolvedProblem(const PresolvedProblem &) = delete;
  PresolvedProblem &operator=(const PresolvedProblem &) = delete;
  ~PresolvedProblem() {
    if (handle) KRVSdestroyprob(handle);
  }
};

PresolvedProblem *kept_presolve(KRVSprob prob) {
  if (!prob->analysis || !prob->analysis->presolved) return nullptr;
  PresolvedProblem *kept = prob->analysis->presolved.get();
  const Model &m = *prob->model;
  if (kept->structure_version != m.structure_version || kept->data_version != m.data_version) {
    prob->analysis->presolved.reset();  // the model changed: the presolved problem no longer describes it
    return nullptr;
  }
  return kept;
}

KRVSprob presolved_handle(KRVSprob prob) {
  PresolvedProblem *kept = kept_presolve(prob);
  return kept ? kept->handle : nullptr;
}

void drop_presolve(KRVSprob prob) {
  if (prob->analysis) prob->analysis->presolved.reset();
}

void refuse_while_presolved(KRVSprob prob, const char *fn) {
  if (kept_presolve(prob))
    throw Error(std::string(fn) +
                ": a presolved problem is kept (lpoptimize with flag 'k'); call postsolve to return to the "
                "original problem first");
}

std::string last_error_of(KRVSprob handle) {
  char text[512] = {0};
  KRVSgetlasterror(handle, text);
  return text;
}

bool wants_kept_presolve(const char *flags, std::string &rest) {
  bool keep = false;
  rest.clear();
  for (const char *c = flags ? flags : ""; *c; ++c) {
    if (*c == 'k') keep = true;
    else rest += *c;
  }
  return keep;
}

namespace {

constexpr const char *kSolveFn = "KRVSlpoptimize";

// Runs an engine call on another problem (the kept presolved one) and
// raises its error as this call's.
template <class Call>
void on_handle(KRVSprob handle, Call &&call) {
  if (call(handle) != 0) throw Error(last_error_of(handle));
}

double engine_bound(double v) { return v >= kHighsInf ? KRVS_INFINITY : v <= -kHighsInf ? -KRVS_INFINITY : v; }

// The presolved LP loaded into a fresh engine problem, with the original
// names of its rows and columns and the problem's controls (log off).
KRVSprob make_presolved_problem(KRVSprob prob, HighsLp lp, const std::vector<int> &row_map,
                                const std::vector<int> &col_map) {
  lp.ensureColwise();
  const int rows = int(lp.num_row_), cols = int(lp.num_col_);
  const size_t nrows = static_cast<size_t>(rows), ncols = static_cast<size_t>(cols);
  std::vector<char> rowtype(nrows);
  std::vector<double> rhs(nrows), range(nrows, 0.0), lb(ncols), ub(ncols);
  for (int i = 0; i < rows; ++i) {
    const double lo = lp.row_lower_[size_t(i)], up = lp.row_upper_[size_t(i)];
    const bool has_lo = lo > -kHighsInf, has_up = up < kHighsInf;
    if (has_lo && has_up && lo == up) rowtype[size_t(i)] = 'E', rhs[size_t(i)] = lo;
    else if (has_lo && has_up) rowtype[size_t(i)] = 'R', rhs[size_t(i)] = up, range[size_t(i)] = up - lo;
    else if (has_up) rowtype[size_t(i)] = 'L', rhs[size_t(i)] = up;
    else if (has_lo) rowtype[size_t(i)] = 'G', rhs[size_t(i)] = lo;
    else rowtype[size_t(i)] = 'N', rhs[size_t(i)] = 0.0;
  }
  for (int j = 0; j < cols; ++j) {
    lb[size_t(j)] = engine_bound(lp.col_lower_[size_t(j)]);
    ub[size_t(j)] = engine_bound(lp.col_upper_[size_t(j)]);
  }
  std::vector<int64_t> start(lp.a_matrix_.start_.begin(), lp.a_matrix_.start_.end());
  if (start.empty()) start.assign(size_t(cols) + 1, 0);
  std::vector<int> index(lp.a_matrix_.index_.begin(), lp.a_matrix_.index_.end());

  KRVSprob handle = nullptr;
  if (KRVScreateprob(&handle) != 0) throw Error(std::string(kSolveFn) + ": could not create the presolved problem");
  std::unique_ptr<krvs_problem_s, int (*)(KRVSprob) noexcept> owner(handle, KRVSdestroyprob);
  handle->controls = prob->controls;
  handle->controls.set_int(CTRL_8035, 0);  // the presolved solve is summarised in the problem's own log
  on_handle(handle, [&](KRVSprob h) {
    return KRVSloadlp64(h, "presolved", cols, rows, rowtype.data(), rhs.data(), range.data(), lp.col_cost_.data(),
                        start.data(), nullptr, index.data(), lp.a_matrix_.value_.data(), lb.data(), ub.data());
  });
  if (lp.sense_ == ObjSense::kMaximize) on_handle(handle, [](KRVSprob h) { return KRVSchgobjsense(h, -1); });
  if (lp.offset_ != 0.0) {
    const int constant = -1;
    const double minus_offset = -lp.offset_;
    on_handle(handle, [&](KRVSprob h) { return KRVSchgobj(h, 1, &constant, &minus_offset); });
  }
  const Model &m = *prob->model;
  auto names = [&](int type, const std::vector<int> &map, const NameList &list) {
    if (map.empty()) return;
    std::string packed;
    for (int original : map) {
      packed += list.get(original);
      packed += '\0';
    }
    on_handle(handle, [&](KRVSprob h) { return KRVSaddnames(h, type, packed.data(), 0, int(map.size()) - 1); });
  };
  names(1, row_map, m.rownames);
  names(2, col_map, m.colnames);
  return owner.release();
}

// Stops the presolved problem's solve when the problem is interrupted.
int relay_interrupt(KRVSprob, void *data) {
  return static_cast<KRVSprob>(data)->interrupt_reason.load() != 0 ? 1 : 0;
}

// The HiGHS solution and basis of a solved engine problem (pure LP).
void solution_of(KRVSprob handle, HighsSolution &sol, HighsBasis &basis) {
  const Model &m = *handle->model;
  const SolveState &state = *handle->solve;
  sol = HighsSolution();
  basis = HighsBasis();
  if (!state.lp.valid) return;
  sol.col_value = state.lp.x;
  sol.row_value.assign(size_t(m.rows()), 0.0);
  for (int i = 0; i < m.rows(); ++i) sol.row_value[size_t(i)] = m.rhs[size_t(i)] - state.lp.slack[size_t(i)];
  sol.value_valid = true;
  if (state.lp.duals.size() == size_t(m.rows()) && state.lp.djs.size() == size_t(m.cols())) {
    sol.row_dual = state.lp.duals;
    sol.col_dual = state.lp.djs;
    sol.dual_valid = true;
  }
  const StoredBasis &stored = state.basis;
  if (stored.valid && stored.structure_version == m.structure_version &&
      stored.col_status.size() == size_t(m.cols()) && stored.row_status.size() == size_t(m.rows())) {
    basis.col_status.resize(stored.col_status.size());
    basis.row_status.resize(stored.row_status.size());
    for (size_t j = 0; j < stored.col_status.size(); ++j) basis.col_status[j] = HighsBasisStatus(stored.col_status[j]);
    for (size_t i = 0; i < stored.row_status.size(); ++i) basis.row_status[i] = HighsBasisStatus(stored.row_status[i]);
    basis.valid = true;
  }
}

// Makes the original solution (and basis) from the presolved one: HiGHS's
// postsolve, or the solution itself when presolve changed nothing.
void postsolve_into(KRVSprob prob, PresolvedProblem &kept, const char *fn) {
  HighsSolution sol;
  HighsBasis basis;
  solution_of(kept.handle, sol, basis);
  if (!sol.value_valid) fail(fn, "the presolved problem has no solution to postsolve");
  const Model &m = *prob->model;
  if (kept.presolver) {
    const HighsStatus rc = basis.valid ? kept.presolver->postsolve(sol, basis) : kept.presolver->postsolve(sol);
    if (rc == HighsStatus::kError) fail(fn, "postsolve of the presolved solution failed");
    sol = kept.presolver->getSolution();
    basis = kept.presolver->getBasis();
  }
  if (!sol.value_valid || sol.col_value.size() < size_t(m.cols()) || sol.row_value.size() < size_t(m.rows()))
    fail(fn, "postsolve gave no solution of the original problem");
  SolutionVectors &lp = prob->solve->lp;
  lp.clear();
  lp.valid = true;
  lp.x.assign(sol.col_value.begin(), sol.col_value.begin() + m.cols());
  lp.slack.assign(m.rhs.begin(), m.rhs.end());
  for (int i = 0; i < m.rows(); ++i) lp.slack[size_t(i)] -= sol.row_value[size_t(i)];
  if (sol.dual_valid && sol.row_dual.size() >= size_t(m.rows()) && sol.col_dual.size() >= size_t(m.cols())) {
    lp.duals.assign(sol.row_dual.begin(), sol.row_dual.begin() + m.rows());
    lp.djs.assign(sol.col_dual.begin(), sol.col_dual.begin() + m.cols());
  }
  if (basis.valid && basis.col_status.size() == size_t(m.cols()) && basis.row_status.size() == size_t(m.rows())) {
    std::vector<int8_t> cols(basis.col_status.size()), rows(basis.row_status.size());
    for (size_t j = 0; j < cols.size(); ++j) cols[j] = int8_t(basis.col_status[j]);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = int8_t(basis.row_status[i]);
    store_basis(prob, cols.data(), rows.data());
  }
  kept.postsolved = true;
}

void log_line(KRVSprob prob, const std::string &text) {
  if (prob->controls.get_int(CTRL_8035) != 0) emit_problem(prob, text, MSG_INFO, MSGCODE_SOLVE_SUMMARY);
}

// Presolves and solves; false when there is no presolved problem to keep
// (presolve found the LP infeasible or unbounded, or the presolved LP is),
// in which case nothing was kept and the caller solves the LP as usual.
bool solve_presolved(KRVSprob prob, const std::string &flags) {
  const char *fn = kSolveFn;
  const Model &m = *prob->model;
  SolveState &state = *prob->solve;
  const ControlValues &controls = prob->controls;
  const auto started = std::chrono::steady_clock::now();

  BuiltModel built = build_highs_model(m, BuildMode::Relaxation, controls.get_double(CTRL_7008));
  if (built.model.lp_.num_col_ != m.cols() || built.model.lp_.num_row_ != m.rows())
    fail(fn, "flag 'k' keeps the presolved problem of a linear program only");
  auto kept = std::make_shared<PresolvedProblem>();
  auto presolver = std::make_unique<Highs>();
  presolver->setOptionValue("output_flag", false);
  presolver->setOptionValue("threads", HighsInt(1));
  presolver->setOptionValue("primal_feasibility_tolerance", controls.get_double(CTRL_7004));
  presolver->setOptionValue("dual_feasibility_tolerance", controls.get_double(CTRL_7005));
  presolver->setOptionValue("time_limit", controls.get_double(CTRL_7001));
  if (presolver->passModel(std::move(built.model)) == HighsStatus::kError) fail(fn, "the solver refused the model");
  presolver->presolve();
  const HighsPresolveStatus presolve_status = presolver->getModelPresolveStatus();
  HighsLp reduced;
  switch (presolve_status) {
    case HighsPresolveStatus::kNotReduced:
    case HighsPresolveStatus::kNotPresolved:
      reduced = presolver->getLp();
      kept->row_map.resize(size_t(m.rows()));
      kept->col_map.resize(size_t(m.cols()));
      for (int i = 0; i < m.rows(); ++i) kept->row_map[size_t(i)] = i;
      for (int j = 0; j < m.cols(); ++j) kept->col_map[size_t(j)] = j;
      break;
    case HighsPresolveStatus::kReduced:
    case HighsPresolveStatus::kReducedToEmpty: {
      reduced = presolver->getPresolvedLp();
      const HighsInt *rows = presolver->getPresolveOrigRowsIndex(), *cols = presolver->getPresolveOrigColsIndex();
      if ((reduced.num_row_ > 0 && !rows) || (reduced.num_col_ > 0 && !cols))
        fail(fn, "presolve left no map of the presolved problem's rows and columns");
      kept->row_map.assign(rows, rows + reduced.num_row_);
      kept->col_map.assign(cols, cols + reduced.num_col_);
      kept->presolver = std::move(presolver);
      break;
    }
    default:
      log_line(prob, "Presolve found the LP infeasible or unbounded, or did not finish: solving it without "
                     "keeping a presolved problem");
      return false;
  }
  kept->handle = make_presolved_problem(prob, std::move(reduced), kept->row_map, kept->col_map);
  KRVSprob handle = kept->handle;
  if (KRVSaddcbchecktime(handle, relay_interrupt, prob, 0) != 0) throw Error(last_error_of(handle));
  on_handle(handle, [&](KRVSprob h) { return KRVSlpoptimize(h, flags.c_str()); });

  const SolveState &solved = *handle->solve;
  if (solved.lp_status != LP_OPTIMAL && solved.lp_status != LP_UNFINISHED) {
    log_line(prob, "The presolved LP is not optimal (LP status " + std::to_string(solved.lp_status) +
                       "): solving the LP without keeping a presolved problem");
    return false;
  }
  state.simplex_iterations = solved.simplex_iterations;
  state.barrier_iterations = solved.barrier_iterations;
  state.stop_status = solved.stop_status;
  if (solved.stop_status == STOP_USER && prob->interrupt_reason.load() != 0)
    state.stop_status = prob->interrupt_reason.load();
  state.lp_status = solved.lp_status;
  state.lp_objective = solved.lp_objective;
  kept->structure_version = m.structure_version;
  kept->data_version = m.data_version;
  if (solved.lp_status == LP_OPTIMAL) postsolve_into(prob, *kept, fn);
  state.solve_time = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  analysis_state(prob).presolved = kept;
  log_line(prob, "Presolved problem kept: " + std::to_string(kept->row_map.size()) + " of " +
                     std::to_string(m.rows()) + " rows, " + std::to_string(kept->col_map.size()) + " of " +
                     std::to_string(m.cols()) + " columns; LP status " + std::to_string(state.lp_status) +
                     (kept->postsolved ? ", postsolved" : ", not postsolved (call postsolve)"));
  return true;
}

}  // namespace

void presolve_and_solve(KRVSprob prob, const std::string &flags) {
  const Model &m = *prob->model;
  for (char c : flags)
    if (!std::strchr("dpbng ", c))
      fail(kSolveFn, std::string("unknown flag '") + c +
                         "' (use 'd' dual simplex, 'p' primal simplex, 'b' barrier, 'n' network or 'k' keep the "
                         "presolved problem)");
  if (has_discrete_entities(m) || quadratic_objective_entries(m) > 0 || !m.qrows.empty())
    fail(kSolveFn, "flag 'k' keeps the presolved problem of a linear program only (this problem has discrete "
                   "entities or quadratic parts)");
  drop_presolve(prob);
  bool kept = false;
  {
    RunningHold running(*prob->solve);
    reset_results(*prob->solve);
    prob->interrupt_reason.store(0);
    kept = solve_presolved(prob, flags);
  }
  if (!kept && KRVSlpoptimize(prob, flags.c_str()) != 0) throw Error(last_error_of(prob));
}

}  // namespace krvs::analysis

using namespace krvs;
using namespace krvs::analysis;

extern "C" {

int KRVSgetpresolvemap(KRVSprob prob, int rowmap[], int colmap[]) noexcept {
  return guard_problem(prob, [&] {
    const Model &m = model_of(prob);
    if (const PresolvedProblem *kept = kept_presolve(prob)) {
      if (rowmap) std::copy(kept->row_map.begin(), kept->row_map.end(), rowmap);
      if (colmap) std::copy(kept->col_map.begin(), kept->col_map.end(), colmap);
      return;
    }
    // Without a kept presolved problem the current problem is the original one.
    if (rowmap)
      for (int i = 0; i < m.rows(); ++i) rowmap[i] = i;
    if (colmap)
      for (int j = 0; j < m.cols(); ++j) colmap[j] = j;
  });
}

int KRVSgetpresolvesol(KRVSprob prob, double x[], double slack[], double duals[], double djs[]) noexcept {
  return guard_problem(prob, [&] {
    if (!on_presolved(prob, [&](KRVSprob h) { return KRVSgetlpsol(h, x, slack, duals, djs); }) &&
        KRVSgetlpsol(prob, x, slack, duals, djs) != 0)
      throw Error(last_error_of(prob));
  });
}

int KRVSgetpresolvebasis(KRVSprob prob, int rowstat[], int colstat[]) noexcept {
  return guard_problem(prob, [&] {
    if (!on_presolved(prob, [&](KRVSprob h) { return KRVSgetbasis(h, rowstat, colstat); }) &&
        KRVSgetbasis(prob, rowstat, colstat) != 0)
      throw Error(last_error_of(prob));
  });
}

int KRVSpresolverow(KRVSprob prob, char rowtype, int norigcoefs, const int origcolind[], const double origrowcoef[],
                    double origrhs, int maxcoefs, int *ncoefs, int colind[], double rowcoef[], double *rhs,
                    int *status) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSpresolverow";
    const Model &m = model_of(prob);
    if (rowtype != 'L' && rowtype != 'G' && rowtype != 'E' && rowtype != 'N')
      fail(fn, std::string("row type '") + rowtype + "' is not 'L', 'G', 'E' or 'N'");
    check_count(fn, norigcoefs, "coefficients");
    check_count(fn, maxcoefs, "coefficients (maxcoefs)");
    check_array(fn, origcolind, norigcoefs, "of columns");
    check_array(fn, origrowcoef, norigcoefs, "of coefficients");
    check_array(fn, colind, maxcoefs, "for the presolved columns");
    check_array(fn, rowcoef, maxcoefs, "for the presolved coefficients");
    if (!ncoefs || !rhs || !status) fail(fn, "null output argument");
    for (int k = 0; k < norigcoefs; ++k) {
      check_index(fn, origcolind[k], m.cols(), "column");
      check_finite(fn, origrowcoef[k], "coefficient");
    }
    if (rowtype != 'N') check_finite(fn, origrhs, "right-hand side");
    const PresolvedProblem *kept = kept_presolve(prob);
    const int cols = kept ? int(kept->col_map.size()) : m.cols();
    // Original column -> presolved column (-1: removed by presolve).
    std::vector<int> position(size_t(m.cols()), -1);
    if (kept) {
      for (int j = 0; j < cols; ++j) position[size_t(kept->col_map[size_t(j)])] = j;
    } else {
      for (int j = 0; j < cols; ++j) position[size_t(j)] = j;
    }
    std::vector<double> dense(size_t(cols), 0.0);
    std::vector<char> used(size_t(cols), 0);
    double new_rhs = origrhs;
    for (int k = 0; k < norigcoefs; ++k) {
      const int j = origcolind[k];
      const double a = origrowcoef[k];
      if (position[size_t(j)] >= 0) {
        dense[size_t(position[size_t(j)])] += a;
        used[size_t(position[size_t(j)])] = 1;
      } else if (m.lb[size_t(j)] == m.ub[size_t(j)] && std::fabs(m.lb[size_t(j)]) < KRVS_INFINITY) {
        new_rhs -= a * m.lb[size_t(j)];  // a fixed column moves to the right-hand side
      } else if (a != 0.0) {
        // Presolve removed the column by a reduction whose value depends on
        // the presolved solution: the row has no form in the presolved columns.
        *ncoefs = 0;
        *rhs = origrhs;
        *status = 1;
        return;
      }
    }
    int count = 0;
    for (int j = 0; j < cols; ++j) {
      if (!used[size_t(j)] || dense[size_t(j)] == 0.0) continue;
      if (count < maxcoefs) {
        colind[count] = j;
        rowcoef[count] = dense[size_t(j)];
      }
      ++count;
    }
    *ncoefs = count;
    *rhs = rowtype == 'N' ? origrhs : new_rhs;
    *status = count > maxcoefs ? 2 : 0;
  });
}

int KRVSpostsolve(KRVSprob prob) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSpostsolve";
    PresolvedProblem *kept = kept_presolve(prob);
    if (!kept) return;  // the problem is the original one already
    if (prob->solve->running.value.load()) fail(fn, "a solve of this problem is running");
    if (!kept->postsolved && kept->handle->solve->lp.valid) postsolve_into(prob, *kept, fn);
    drop_presolve(prob);
  });
}

}  // extern "C"
