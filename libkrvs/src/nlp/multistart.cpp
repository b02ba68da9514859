#include "multistart.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/problem.h"
#include "model/model.h"
#include "nlp_guard.h"
#include "nlp_problem.h"
#include "slp.h"

using namespace krvs;
using namespace krvs::nlp;

namespace krvs::nlp {

namespace {

constexpr double kInf = 1e20;
// Half-width of the range drawn from around the start value where a bound
// is infinite.
constexpr double kOpenRange = 100.0;

std::unique_ptr<knls_problem_s> job_copy(KNLSprob prob) {
  auto copy = std::make_unique<knls_problem_s>();
  copy->optprob = prob->optprob;  // read only during the solves
  copy->origin = prob;
  copy->callbacks.forward_to = prob;  // its events reach the problem's registrations
  copy->controls = prob->controls;
  copy->coefs = prob->coefs;
  copy->row_status = prob->row_status;
  copy->vars = prob->vars;
  copy->strings = prob->strings;
  copy->userfuncs = prob->userfuncs;
  copy->items = prob->items;
  return copy;
}

// Start values drawn uniformly within each column's bounds (around the
// plain start value where a bound is infinite).
void random_start(knls_problem_s &job, const Model &m, const std::vector<double> &start, uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (int j = 0; j < m.cols(); ++j) {
    double s = start[size_t(j)];
    double lo = m.lb[size_t(j)] > -kInf ? m.lb[size_t(j)] : s - kOpenRange * std::max(1.0, std::fabs(s));
    double hi = m.ub[size_t(j)] < kInf ? m.ub[size_t(j)] : s + kOpenRange * std::max(1.0, std::fabs(s));
    if (m.lb[size_t(j)] <= -kInf && m.ub[size_t(j)] < kInf) lo = std::min(lo, hi - kOpenRange);
    if (m.ub[size_t(j)] >= kInf && m.lb[size_t(j)] > -kInf) hi = std::max(hi, lo + kOpenRange);
    double v = lo + (hi - lo) * std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    SlpVariable &var = job.vars[j];
    var.initial = v;
    var.has_initial = true;
  }
}

// Control variations: the penalty weight and the initial step bound cycle
// through a few scales.
void vary_controls(knls_problem_s &job, int index) {
  static const double penalty_scale[] = {1.0, 100.0, 0.1, 1e4};
  static const double step_scale[] = {0.1, 1.0, 10.0, 0.5};
  double penalty = job.controls.get_double(12408) * penalty_scale[index % 4];
  job.controls.set_double(12408, std::min(std::max(penalty, 1e-6), job.controls.get_double(12410)));
  job.controls.set_double(12411, std::max(job.controls.get_double(12411) * step_scale[(index / 4 + index) % 4], 1e-6));
}

void apply_job(knls_problem_s &copy, const MsJob &job, const Model &m, const std::vector<double> &start, int job_number) {
  if (job.preset == KNLS_MSPRESET_RANDOM || job.preset == KNLS_MSPRESET_RANDOM_CONTROLS)
    random_start(copy, m, start, 0x9E3779B97F4A7C15ull * uint64_t(job_number) + uint64_t(job.preset_index));
  if (job.preset == KNLS_MSPRESET_CONTROLS || job.preset == KNLS_MSPRESET_RANDOM_CONTROLS)
    vary_controls(copy, job.preset_index);
  for (size_t k = 0; k < job.cols.size(); ++k) {
    SlpVariable &v = copy.vars[job.cols[k]];
    v.initial = job.values[k];
    v.has_initial = true;
  }
  for (const auto &[id, value] : job.int_controls) copy.controls.set_int(id, value);
  for (const auto &[id, value] : job.dbl_controls) copy.controls.set_double(id, value);
}

bool feasible_status(int status) {
  return status == KNLS_NLP_LOCALLY_OPTIMAL || status == KNLS_NLP_GLOBALLY_OPTIMAL;
}

}  // namespace

void run_multistart(KNLSprob prob, const std::string &flags) {
  const Model &m = *prob->optprob->model;
  // Build the model's lazily kept arrays now: the workers only read it.
  m.by_rows();
  m.by_cols();
  const std::vector<double> start = start_point(prob);
  const size_t njobs = prob->ms_jobs.size() + 1;  // the plain start first
  // Each job's copy lives only while it is solved; its result is kept.
  struct JobResult {
    int status = KNLS_NLP_UNSTARTED;
    double objective = 0.0;
    int iterations = 0;
    double final_penalty = 0.0;
    long long evaluations = 0;
    bool excluded = false;  // a job-end callback kept it out of the choice
    SlpSolution solution;
  };
  std::vector<JobResult> results(njobs);
  std::vector<std::exception_ptr> errors(njobs);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto worker = [&] {
    for (size_t k; (k = next.fetch_add(1)) < njobs;) {
      if (failed.load() || prob->interrupt_reason.load() != 0) break;
      try {
        const MsJob *job = k > 0 ? &prob->ms_jobs[k - 1] : nullptr;
        if (job && fire_job(prob, NLCB_MSJOBSTART, job->job_object, job->description) != 0) continue;
        std::unique_ptr<knls_problem_s> copy = job_copy(prob);
        if (job) apply_job(*copy, *job, m, start, int(k));
        run_slp(copy.get(), flags);
        JobResult &r = results[k];
        if (job && fire_job(prob, NLCB_MSJOBEND, job->job_object, job->description) != 0) r.excluded = true;
        r.status = copy->status;
        r.objective = copy->objective_value;
        r.iterations = copy->iterations;
        r.final_penalty = copy->items.final_penalty;
        r.evaluations = copy->items.evaluations;
        r.solution = std::move(copy->solution);
      } catch (...) {
        errors[k] = std::current_exception();
        failed.store(true);
      }
    }
  };
  int nthreads = int(prob->controls.get_int(12416));
  if (nthreads <= 0) nthreads = int(std::max(1u, std::thread::hardware_concurrency()));
  nthreads = int(std::min<size_t>(size_t(nthreads), njobs));
  std::vector<std::thread> threads;
  for (int t = 1; t < nthreads; ++t) threads.emplace_back(worker);
  worker();  // the calling thread works too
  for (auto &t : threads) t.join();
  for (auto &e : errors)
    if (e) std::rethrow_exception(e);

  double sense = prob->controls.get_double(12146) < 0 ? -1.0 : 1.0;
  if (m.obj_sense == -1 && prob->controls.get_double(12146) > 0) sense = -1.0;
  size_t winner = 0;
  for (size_t k = 1; k < njobs; ++k) {
    const JobResult &c = results[k], &w = results[winner];
    if (c.excluded || c.solution.x.empty() || !feasible_status(c.status)) continue;
    if (!feasible_status(w.status) || sense * c.objective < sense * w.objective - 1e-9 * (1 + std::fabs(w.objective)))
      winner = k;
  }
  JobResult &w = results[winner];
  prob->status = w.status;
  prob->solution = std::move(w.solution);
  prob->objective_value = w.objective;
  int iterations = 0;
  for (const JobResult &r : results) iterations += r.iterations;
  prob->iterations = iterations;
  prob->items.final_penalty = w.final_penalty;
  prob->items.evaluations = w.evaluations;
  for (auto &[j, v] : prob->vars)
    if (j < m.cols()) {
      v.oldvalue = v.value;
      v.value = prob->solution.x.empty() ? v.value : prob->solution.x[size_t(j)];
    }
  prob->ms_jobs_run = int(njobs);
  prob->ms_winner = int(winner);
  {
    char line[200];
    snprintf(line, sizeof line, "Multistart: %zu solves on %d threads; kept %s%s, objective %.12g", njobs, nthreads,
             winner == 0 ? "the plain start" : "job ", winner == 0 ? "" : prob->ms_jobs[winner - 1].description.c_str(),
             prob->objective_value);
    if (prob->message_fn) prob->message_fn(prob, prob->message_data, line, int(strlen(line)), 1);
    fire_message(prob, line, 1);
  }
  if (winner == 0)
    fire_job(prob, NLCB_MSWINNER, nullptr, "");
  else
    fire_job(prob, NLCB_MSWINNER, prob->ms_jobs[winner - 1].job_object, prob->ms_jobs[winner - 1].description);
}

}  // namespace krvs::nlp

namespace {

void check_job_input(KNLSprob prob, int ninitial, const int cols[], const double values[], int nint, const int intids[],
                     const int intvals[], int ndbl, const int dblids[], const double dblvals[], const char *where) {
  const Model &m = *prob->optprob->model;
  if (ninitial < 0 || nint < 0 || ndbl < 0) throw Error(std::string(where) + ": negative count");
  if ((ninitial > 0 && (!cols || !values)) || (nint > 0 && (!intids || !intvals)) || (ndbl > 0 && (!dblids || !dblvals)))
    throw Error(std::string(where) + ": null array");
  for (int k = 0; k < ninitial; ++k) {
    if (cols[k] < 0 || cols[k] >= m.cols())
      throw Error(std::string(where) + ": column index " + std::to_string(cols[k]) + " out of range");
    if (!std::isfinite(values[k])) throw Error(std::string(where) + ": start value that is not a finite number");
  }
  // The controls are checked on a scratch copy, against their ranges.
  ControlValues scratch = prob->controls;
  for (int k = 0; k < nint; ++k) scratch.set_int(intids[k], intvals[k]);
  for (int k = 0; k < ndbl; ++k) scratch.set_double(dblids[k], dblvals[k]);
}

MsJob make_job(const char *description, int ninitial, const int cols[], const double values[], int nint,
               const int intids[], const int intvals[], int ndbl, const int dblids[], const double dblvals[],
               void *job_object) {
  MsJob job;
  job.description = description ? description : "";
  job.cols.assign(cols, cols + ninitial);
  job.values.assign(values, values + ninitial);
  for (int k = 0; k < nint; ++k) job.int_controls.emplace_back(intids[k], intvals[k]);
  for (int k = 0; k < ndbl; ++k) job.dbl_controls.emplace_back(dblids[k], dblvals[k]);
  job.job_object = job_object;
  return job;
}

void add_preset(KNLSprob prob, const MsJob &base, int preset, int count, const char *where) {
  if (preset < KNLS_MSPRESET_RANDOM || preset > KNLS_MSPRESET_RANDOM_CONTROLS)
    throw Error(std::string(where) + ": unknown preset " + std::to_string(preset));
  if (count < 0 || count > 100000) throw Error(std::string(where) + ": the job count must be between 0 and 100000");
  std::vector<MsJob> jobs(size_t(count), base);
  for (int k = 0; k < count; ++k) {
    jobs[size_t(k)].preset = preset;
    jobs[size_t(k)].preset_index = k;
  }
  prob->ms_jobs.insert(prob->ms_jobs.end(), jobs.begin(), jobs.end());
}

}  // namespace

extern "C" {

int KNLSmsaddjob(KNLSprob nlprob, const char *description, int ninitial, const int colindex[],
                 const double initial[], int nintcontrols, const int intcontrolid[], const int intcontrolvalue[],
                 int ndblcontrols, const int dblcontrolid[], const double dblcontrolvalue[], void *job_object) noexcept {
  return guard_nlp(nlprob, [&] {
    check_job_input(nlprob, ninitial, colindex, initial, nintcontrols, intcontrolid, intcontrolvalue, ndblcontrols,
                    dblcontrolid, dblcontrolvalue, "KNLSmsaddjob");
    nlprob->ms_jobs.push_back(make_job(description, ninitial, colindex, initial, nintcontrols, intcontrolid,
                                       intcontrolvalue, ndblcontrols, dblcontrolid, dblcontrolvalue, job_object));
  });
}

int KNLSmsaddpreset(KNLSprob nlprob, const char *description, int preset, int count, void *job_object) noexcept {
  return guard_nlp(nlprob, [&] {
    MsJob base;
    base.description = description ? description : "";
    base.job_object = job_object;
    add_preset(nlprob, base, preset, count, "KNLSmsaddpreset");
  });
}

int KNLSmsaddcustompreset(KNLSprob nlprob, const char *description, int preset, int count, int ninitial,
                          const int colindex[], const double initial[], int nintcontrols, const int intcontrolid[],
                          const int intcontrolvalue[], int ndblcontrols, const int dblcontrolid[],
                          const double dblcontrolvalue[], void *job_object) noexcept {
  return guard_nlp(nlprob, [&] {
    check_job_input(nlprob, ninitial, colindex, initial, nintcontrols, intcontrolid, intcontrolvalue, ndblcontrols,
                    dblcontrolid, dblcontrolvalue, "KNLSmsaddcustompreset");
    MsJob base = make_job(description, ninitial, colindex, initial, nintcontrols, intcontrolid, intcontrolvalue,
                          ndblcontrols, dblcontrolid, dblcontrolvalue, job_object);
    add_preset(nlprob, base, preset, count, "KNLSmsaddcustompreset");
  });
}

int KNLSmsclear(KNLSprob nlprob) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->ms_jobs.clear(); });
}

int KNLSmsgetjobobject(KNLSprob nlprob, int job, void **job_object) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!job_object) throw Error("KNLSmsgetjobobject: null argument");
    if (job < 1 || size_t(job) > nlprob->ms_jobs.size()) throw Error("KNLSmsgetjobobject: no job " + std::to_string(job));
    *job_object = nlprob->ms_jobs[size_t(job) - 1].job_object;
  });
}

}  // extern "C"
