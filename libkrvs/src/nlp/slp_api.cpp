// SLP column and row settings, the solve entry points and the solution.
#include <chrono>
#include <cmath>

#include "core/problem.h"
#include "model/model.h"
#include "nlp_guard.h"
#include "nlp_problem.h"
#include "global.h"
#include "interior.h"
#include "multistart.h"
#include "slp.h"
#include "solve/solve_state.h"

using namespace krvs;
using namespace krvs::nlp;

namespace {

void check_column(KNLSprob prob, int col) {
  if (col < 0 || col >= prob->optprob->model->cols()) throw Error("Column index " + std::to_string(col) + " out of range");
}

void check_row(KNLSprob prob, int row) {
  if (row < 0 || row >= prob->optprob->model->rows()) throw Error("Row index " + std::to_string(row) + " out of range");
}

int solve(KNLSprob prob, const std::string &flags, bool global = false) {
  return guard_nlp(prob, [&] {
    prob->interrupt_reason.store(0);
    prob->optprob->interrupt_reason.store(0);
    prob->status = KNLS_NLP_UNSTARTED;
    prob->stop_status = STOP_NONE;
    prob->iterations = 0;
    auto t0 = std::chrono::steady_clock::now();
    try {
      prob->ms_jobs_run = 0;
      prob->ms_winner = -1;
      if (global)
        run_global(prob);
      else if (prob->ms_jobs.empty())
        run_nonlinear(prob, flags);
      else
        run_multistart(prob, flags);
    } catch (...) {
      prob->solve_time = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      prob->status = KNLS_NLP_UNSTARTED;
      prob->solution = SlpSolution{};
      throw;
    }
    prob->solve_time = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    prob->state_flags |= KNLS_STATE_CONSTRUCTED;
    // Why an unfinished solve stopped: an interrupt says its own reason
    // (Ctrl-C, a caller's KNLSinterrupt), else the limit that was reached
    // (the solver says which when it knows).
    int reason = prob->interrupt_reason.load();
    if (reason == 0) reason = prob->optprob->interrupt_reason.load();
    if (reason != 0) prob->stop_status = reason;
    else if (prob->status == KNLS_NLP_UNFINISHED && prob->stop_status == STOP_NONE)
      prob->stop_status = prob->solve_time >= prob->controls.get_double(12404) ? STOP_TIMELIMIT
                          : prob->iterations >= prob->controls.get_int(12402) ? STOP_ITERLIMIT
                                                                              : STOP_USER;
  });
}

}  // namespace

extern "C" {

int KNLSchgvar(KNLSprob nlprob, int col, const int *detrow, const double *initstepbound, const double *stepbound,
               const double *penalty, const double *damp, const double *initial, const double *value,
               const int *tolset, const int *history, const int *converged, const int *vartype) noexcept {
  return guard_nlp(nlprob, [&] {
    check_column(nlprob, col);
    if (detrow && *detrow != -1) check_row(nlprob, *detrow);
    for (const double *d : {initstepbound, stepbound, penalty, damp, initial, value})
      if (d && !std::isfinite(*d)) throw Error("KNLSchgvar: value that is not a finite number");
    if (initstepbound && *initstepbound < 0) throw Error("KNLSchgvar: negative step bound");
    if (stepbound && *stepbound < 0) throw Error("KNLSchgvar: negative step bound");
    SlpVariable &v = nlprob->vars[col];
    if (detrow) v.detrow = *detrow;
    if (initstepbound) v.initstepbound = *initstepbound;
    if (stepbound) v.stepbound = *stepbound;
    if (penalty) v.penalty = *penalty;
    if (damp) v.damp = *damp;
    if (initial) {
      v.initial = *initial;
      v.has_initial = true;
    }
    if (value) v.value = *value;
    if (tolset) v.tolset = *tolset;
    if (history) v.history = *history;
    if (converged) v.converged = *converged;
    if (vartype) v.vartype = *vartype;
  });
}

int KNLSgetvar(KNLSprob nlprob, int col, int *detrow, double *initstepbound, double *stepbound, double *penalty,
               double *damp, double *initial, double *value, int *tolset, int *history, int *converged, int *vartype,
               int *delta, int *penaltydelta, int *updaterow, double *oldvalue) noexcept {
  return guard_nlp(nlprob, [&] {
    check_column(nlprob, col);
    SlpVariable v;
    auto it = nlprob->vars.find(col);
    if (it != nlprob->vars.end()) v = it->second;
    if (!v.has_initial) v.initial = start_point(nlprob)[size_t(col)];
    if (detrow) *detrow = v.detrow;
    if (initstepbound) *initstepbound = v.initstepbound;
    if (stepbound) *stepbound = v.stepbound;
    if (penalty) *penalty = v.penalty;
    if (damp) *damp = v.damp;
    if (initial) *initial = v.initial;
    if (value) *value = v.value;
    if (tolset) *tolset = v.tolset;
    if (history) *history = v.history;
    if (converged) *converged = v.converged;
    if (vartype) *vartype = v.vartype;
    if (delta) {
      auto d = nlprob->items.delta_type.find(col);
      *delta = d == nlprob->items.delta_type.end() ? -1 : d->second.type;
    }
    if (penaltydelta) *penaltydelta = -1;
    if (updaterow) *updaterow = -1;
    if (oldvalue) *oldvalue = v.oldvalue;
  });
}

int KNLSdelvars(KNLSprob nlprob, int nvars, const int colindex[]) noexcept {
  return guard_nlp(nlprob, [&] {
    if (nvars < 0 || (nvars > 0 && !colindex)) throw Error("KNLSdelvars: invalid arguments");
    for (int k = 0; k < nvars; ++k) nlprob->vars.erase(colindex[k]);
  });
}

int KNLSgetrowstatus(KNLSprob nlprob, int row, int *status) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!status) throw Error("KNLSgetrowstatus: null argument");
    check_row(nlprob, row);
    auto it = nlprob->row_status.find(row);
    *status = it == nlprob->row_status.end() ? 0 : it->second;
  });
}

int KNLSchgrowstatus(KNLSprob nlprob, int row, const int *status) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!status) throw Error("KNLSchgrowstatus: null argument");
    check_row(nlprob, row);
    if (*status == 0)
      nlprob->row_status.erase(row);
    else
      nlprob->row_status[row] = *status;
  });
}

int KNLSnlpoptimize(KNLSprob nlprob, const char *flags) noexcept {
  return solve(nlprob, flags ? flags : "");
}

int KNLSglobal(KNLSprob nlprob) noexcept { return solve(nlprob, "g", true); }

int KNLSinterrupt(KNLSprob nlprob, int reason) noexcept {
  if (!nlprob) return 1;
  nlprob->interrupt_reason.store(reason == 0 ? 9 : reason);
  return 0;
}

int KNLSconstruct(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->state_flags |= KNLS_STATE_CONSTRUCTED; });
}

int KNLSunconstruct(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->state_flags &= ~KNLS_STATE_CONSTRUCTED; });
}

int KNLSpresolve(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->state_flags |= KNLS_STATE_PRESOLVED; });
}

int KNLSpostsolve(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->state_flags &= ~KNLS_STATE_PRESOLVED; });
}

int KNLSgetslpsol(KNLSprob nlprob, double x[], double slack[], double duals[], double djs[]) noexcept {
  return guard_nlp(nlprob, [&] {
    const SlpSolution &s = nlprob->solution;
    const Model &m = *nlprob->optprob->model;
    if (nlprob->status == KNLS_NLP_UNSTARTED || s.x.empty())
      throw Error("No nonlinear solution is available");
    if (s.x.size() != size_t(m.cols()) || s.slack.size() != size_t(m.rows()))
      throw Error("The problem changed since the last nonlinear solve");
    if (x) std::copy(s.x.begin(), s.x.end(), x);
    if (slack) std::copy(s.slack.begin(), s.slack.end(), slack);
    if (duals) std::copy(s.duals.begin(), s.duals.end(), duals);
    if (djs) std::copy(s.djs.begin(), s.djs.end(), djs);
  });
}

}  // extern "C"
