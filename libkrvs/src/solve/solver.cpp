#include "solve/solver.h"

#include <atomic>
#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "Highs.h"
#include "core/guard.h"
#include "core/messages.h"
#include "core/problem.h"
#include "model/model.h"
#include "nlp/qcqp.h"
#include "solve/callback_events.h"
#include "solve/convexity.h"
#include "solve/highs_build.h"
#include "solve/live_model.h"
#include "solve/user_scaling.h"
#include "solve/mip_starts.h"
#include "solve/solve_state.h"
#include "search/tree_search.h"

namespace krvs {
namespace {

enum class LpAlgorithm { Default = 1, Dual = 2, Primal = 3, Barrier = 4 };

LpAlgorithm parse_flags(const char *flags, const char *caller) {
  LpAlgorithm alg = LpAlgorithm::Default;
  if (!flags) return alg;
  for (const char *c = flags; *c; ++c) {
    switch (*c) {
      case 'd':
      case 'n': alg = LpAlgorithm::Dual; break;  // no network simplex: its work goes to the dual
      case 'p': alg = LpAlgorithm::Primal; break;
      case 'b': alg = LpAlgorithm::Barrier; break;
      case 'g':  // global search: implied by the MIP solve
      case ' ': break;
      default:
        throw Error(std::string(caller) + ": unknown flag '" + std::string(1, *c) +
                    "' (use 'd' dual simplex, 'p' primal simplex, 'b' barrier or 'n' network)");
    }
  }
  return alg;
}

double engine_number(double v) {
  if (std::isinf(v)) return v > 0 ? KRVS_INFINITY : -KRVS_INFINITY;
  return v;
}

std::string format_number(double v) {
  char text[64];
  snprintf(text, sizeof text, "%.10g", v);
  return text;
}

// Collects log text (the engine's and HiGHS's) and hands it on as whole
// lines. When the log is switched off nothing is handed on, but the last
// error line is still kept for the error text of a failing solve.
class LogSink {
 public:
  LogSink(KRVSprob prob, bool enabled) : prob_(prob), enabled_(enabled) {}
  ~LogSink() { flush(); }

  void text(const std::string &chunk, int type, int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (char c : chunk) {
      if (c == '\n') {
        deliver();
      } else if (c != '\r') {
        if (pending_.empty()) {
          pending_type_ = type;
          pending_code_ = code;
        }
        pending_ += c;
      }
    }
  }
  void line(const std::string &text_line, int type = MSG_INFO, int code = MSGCODE_NONE) {
    text(text_line + "\n", type, code);
  }
  void flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty()) deliver();
  }
  bool enabled() const { return enabled_; }
  std::string last_error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_error_;
  }

 private:
  void deliver() {
    if (pending_type_ == MSG_ERROR) {
      size_t text = pending_.rfind("ERROR:", 0) == 0 ? pending_.find_first_not_of(' ', 6) : 0;
      last_error_ = pending_.substr(text == std::string::npos ? pending_.size() : text);
    }
    if (enabled_) emit_problem(prob_, pending_, pending_type_, pending_code_);
    pending_.clear();
    pending_type_ = MSG_INFO;
    pending_code_ = MSGCODE_NONE;
  }

  KRVSprob prob_;
  bool enabled_;
  std::mutex mutex_;
  std::string pending_;
  int pending_type_ = MSG_INFO;
  int pending_code_ = MSGCODE_NONE;
  std::string last_error_;
};

int message_type(int highs_log_type) {
  switch (HighsLogType(highs_log_type)) {
    case HighsLogType::kWarning: return MSG_WARNING;
    case HighsLogType::kError: return MSG_ERROR;
    default: return MSG_INFO;
  }
}

void store_solution(SolutionVectors &out, const Model &m, const HighsSolution &sol, bool with_duals,
                    bool activities);

// State the HiGHS callback reads and writes while a solve runs.
struct RunContext {
  KRVSprob prob = nullptr;
  LogSink *log = nullptr;
  std::atomic<int64_t> improving_solutions{0};
  // What the optimizer callbacks need on this road.
  bool discrete = false;
  bool barrier = false;
  int sense = 1;
  TimeCheck time_check;
  GapNotify gap_notify;
  double initial_relstop = 0, initial_absstop = 0;
  // The caller's scale factors in the model handed to HiGHS.
  const UserScaling *scaling = nullptr;
};

// One dispatcher for every HiGHS callback: the log, the stop requests
// (KRVSinterrupt, the user's callbacks) and the optimizer callbacks that
// HiGHS's events stand for.
class HighsEvents {
 public:
  explicit HighsEvents(RunContext &ctx) : ctx_(ctx) {}

  void operator()(int type, const std::string &message, const HighsCallbackOutput *out, HighsCallbackInput *in) {
    KRVSprob prob = ctx_.prob;
    switch (type) {
      case kCallbackLogging: {
        const int kind = out ? message_type(int(out->log_type)) : MSG_INFO;
        ctx_.log->text(message, kind,
                       kind == MSG_ERROR     ? MSGCODE_SOLVER_ERROR
                       : kind == MSG_WARNING ? MSGCODE_SOLVER_WARNING
                                             : MSGCODE_SOLVER_INFO);
        if (!ctx_.discrete) raise_stop_event(prob, ctx_.barrier ? CB_BARLOG : CB_LPLOG);
        break;
      }
      case kCallbackMipLogging: raise_stop_event(prob, CB_GLOBALLOG); break;
      case kCallbackIpmInterrupt:
        if (prob->callbacks.any(CB_BARITERATION)) {
          for (const CallbackEntry &e : prob->callbacks.snapshot(CB_BARITERATION)) {
            int action = 0;
            reinterpret_cast<KRVScbbariteration_fn>(e.fn)(prob, e.data, &action);
            if (action != 0) {
              int none = 0;
              prob->interrupt_reason.compare_exchange_strong(none, STOP_USER);
            }
          }
        }
        break;
      case kCallbackMipImprovingSolution:
        ctx_.improving_solutions.fetch_add(1);
        if (out && prob->callbacks.any(CB_INTSOL)) {
          publish_incumbent(*out);
          call_each<KRVScbintsol_fn>(prob->callbacks, CB_INTSOL, prob);
        }
        break;
      case kCallbackMipInterrupt:
        if (out) {
          const double primal = out->mip_primal_bound, dual = out->mip_dual_bound;
          ctx_.gap_notify.check(prob, primal, dual, ctx_.sense);
          // A callback may have loosened the stopping gap meanwhile.
          if ((prob->controls.get_double(CTRL_7002) != ctx_.initial_relstop ||
               prob->controls.get_double(CTRL_7003) != ctx_.initial_absstop) &&
              gap_reached(prob, primal, dual)) {
            int none = 0;
            prob->interrupt_reason.compare_exchange_strong(none, STOP_MIPGAP);
          }
        }
        break;
      default: break;
    }
    const bool interrupt_event =
        type == kCallbackSimplexInterrupt || type == kCallbackIpmInterrupt || type == kCallbackMipInterrupt;
    if (interrupt_event) ctx_.time_check.poll(prob);
    if (prob->interrupt_reason.load(std::memory_order_relaxed) != 0) {
      if (interrupt_event && in) in->user_interrupt = true;
      // A stop asked for by a callback of another event: HiGHS sees it at
      // its next interrupt event, which may not have been started yet.
      else prob->interrupt_wake.wake();
    }
  }

 private:
  // The new incumbent, readable through KRVSgetmipsol and the attributes
  // while the intsol callbacks run.
  void publish_incumbent(const HighsCallbackOutput &out) {
    SolveState &state = *ctx_.prob->solve;
    const Model &m = *ctx_.prob->model;
    HighsSolution sol;
    sol.value_valid = true;
    sol.col_value = out.mip_solution;
    if (ctx_.scaling) unscale_solution(*ctx_.scaling, sol);
    store_solution(state.mip, m, sol, false, false);
    state.mip_objective = out.objective_function_value;
    state.best_bound = engine_number(out.mip_dual_bound);
    state.mip_gap = engine_number(out.mip_gap);
    state.nodes = out.mip_node_count;
    state.mip_solutions = ctx_.improving_solutions.load();
  }

  RunContext &ctx_;
};

// The dispatcher is installed for one solve and removed after it: the live
// instance outlives the solve's context. HiGHS's interrupt events are asked
// at every iteration and cost a few hundred instructions each even when
// nothing listens: they are started only for the callbacks that must run on
// them; a stop request starts them while the solve runs (InterruptWake).
class CallbackInstallation {
 public:
  CallbackInstallation(Highs &highs, RunContext &ctx);
  ~CallbackInstallation() {
    ctx_.prob->interrupt_wake.withdraw();
    for (int type : kTypes) highs_.stopCallback(type);
    highs_.setCallback(HighsCallbackFunctionType(), nullptr);
  }
  CallbackInstallation(const CallbackInstallation &) = delete;
  CallbackInstallation &operator=(const CallbackInstallation &) = delete;

 private:
  static constexpr int kTypes[] = {kCallbackSimplexInterrupt, kCallbackIpmInterrupt, kCallbackMipInterrupt,
                                   kCallbackMipImprovingSolution, kCallbackLogging, kCallbackMipLogging};
  Highs &highs_;
  RunContext &ctx_;
};

CallbackInstallation::CallbackInstallation(Highs &highs, RunContext &ctx) : highs_(highs), ctx_(ctx) {
  auto callback = [&ctx](int type, const std::string &message, const HighsCallbackOutput *out,
                         HighsCallbackInput *in, void *) {
    try {
      HighsEvents events(ctx);
      events(type, message, out, in);
    } catch (...) {
      // Nothing may escape into HiGHS.
    }
  };
  highs.setCallback(callback, nullptr);
  const CallbackStore &callbacks = ctx.prob->callbacks;
  const bool time_checks = callbacks.any(CB_CHECKTIME);
  if (time_checks) highs.startCallback(kCallbackSimplexInterrupt);
  if (time_checks || callbacks.any(CB_BARITERATION)) highs.startCallback(kCallbackIpmInterrupt);
  if (time_checks || callbacks.any(CB_GAPNOTIFY)) highs.startCallback(kCallbackMipInterrupt);
  highs.startCallback(kCallbackMipImprovingSolution);
  highs.startCallback(kCallbackLogging);
  if (callbacks.any(CB_GLOBALLOG)) highs.startCallback(kCallbackMipLogging);
  ctx.prob->interrupt_wake.publish(&highs);
  // A stop requested before the instance was published (Ctrl-C during the
  // hand-over) is seen at HiGHS's first ask.
  if (ctx.prob->interrupt_reason.load() != 0) ctx.prob->interrupt_wake.wake();
}

// HiGHS runs the parallel work of a solve on a scheduler that belongs to the
// calling thread and whose thread count is fixed when it starts. A solve
// that wants another count restarts that thread's scheduler, unless a solve
// of this thread is already running (a solve started from a callback), which
// then shares the running scheduler and its count.
class SchedulerLease {
 public:
  SchedulerLease(int64_t wanted, LogSink &log) : threads_(int(wanted)) {
    State &s = state();
    if (s.threads < 0 || (s.active == 0 && wanted != 0 && wanted != s.threads)) {
      // Also on this thread's first solve: other HiGHS users may have started one.
      Highs::resetGlobalScheduler(true);
      s.threads = threads_;
    } else if (wanted != s.threads && wanted != 0) {
      log.line("The threads control (" + std::to_string(wanted) + ") does not apply to a solve inside another solve, " +
                   "which uses " + std::to_string(s.threads) + " threads",
               MSG_WARNING);
      threads_ = s.threads;
    }
    ++s.active;
  }
  ~SchedulerLease() { --state().active; }
  SchedulerLease(const SchedulerLease &) = delete;
  SchedulerLease &operator=(const SchedulerLease &) = delete;
  int threads() const { return threads_; }

 private:
  struct State {
    int threads = -1;  // -1: not started on this thread yet; 0: HiGHS's own choice
    int active = 0;
  };
  static State &state() {
    thread_local State instance;
    return instance;
  }
  int threads_;
};

void set_option(Highs &highs, const std::string &name, const ControlInfo *control, double number) {
  HighsOptionType type;
  if (highs.getOptionType(name, type) != HighsStatus::kOk)
    throw Error("The solver has no option '" + name + "'");
  HighsStatus status = HighsStatus::kOk;
  switch (type) {
    case HighsOptionType::kBool: status = highs.setOptionValue(name, number != 0.0); break;
    case HighsOptionType::kInt: {
      double clamped = std::min(std::max(number, -2147483647.0), 2147483647.0);
      status = highs.setOptionValue(name, HighsInt(clamped));
      break;
    }
    case HighsOptionType::kDouble: status = highs.setOptionValue(name, number); break;
    case HighsOptionType::kString:
      status = highs.setOptionValue(name, std::string(number > 0 ? "on" : "off"));
      break;
  }
  if (status == HighsStatus::kError)
    throw Error(std::string("The value ") + format_number(number) + " of control " +
                (control ? control->name : name.c_str()) + " is not accepted by the solver");
}

// Passes every control that drives a HiGHS option, then those the engine
// interprets itself. A live instance skips this while option_key() is
// unchanged: whatever is read here must be among the controls or in the key.
void apply_controls(Highs &highs, const ControlValues &controls, bool discrete, bool quadratic, LpAlgorithm alg,
                    bool fresh) {
  // From HiGHS's defaults, as on a new instance: the live one keeps what
  // the last solve set.
  if (!fresh) highs.resetOptions();
  // HiGHS always logs to our sink, which drops the lines when outputlog is 0.
  highs.setOptionValue("log_to_console", false);
  highs.setOptionValue("output_flag", true);
  for (const ControlInfo &c : control_table().rows()) {
    if (!c.highs_option || !*c.highs_option) continue;
    double value = c.type == ValueType::Int ? double(controls.get_int(c.id)) : controls.get_double(c.id);
    set_option(highs, c.highs_option, &c, value);
  }
  if (controls.get_int(CTRL_8011) == 0) highs.setOptionValue("simplex_scale_strategy", HighsInt(0));
  const int64_t max_solutions = controls.get_int(CTRL_8007);
  if (max_solutions > 0) set_option(highs, "mip_max_improving_sols", nullptr, double(max_solutions));
  if (discrete || quadratic) return;  // the MIP and QP solvers choose their own LP algorithm
  if (alg == LpAlgorithm::Default) alg = LpAlgorithm(controls.get_int(CTRL_8003));
  switch (alg) {
    case LpAlgorithm::Barrier: highs.setOptionValue("solver", std::string("ipm")); break;
    case LpAlgorithm::Primal:
      highs.setOptionValue("solver", std::string("simplex"));
      highs.setOptionValue("simplex_strategy", HighsInt(kSimplexStrategyPrimal));
      break;
    default:  // automatic choice and dual: the dual simplex
      highs.setOptionValue("solver", std::string("simplex"));
      highs.setOptionValue("simplex_strategy", HighsInt(kSimplexStrategyDual));
      break;
  }
}

// Everything apply_controls() depends on: the controls (by their version)
// and the kind of solve.
LiveModel::OptionKey option_key(const ControlValues &controls, bool discrete, bool quadratic, LpAlgorithm alg,
                                int threads) {
  return LiveModel::OptionKey{controls.version(), discrete, quadratic, int(alg), threads};
}

// Refuses what HiGHS cannot solve, with the status the caller expects.
void check_model_class(const Model &m, bool discrete, SolveState &state) {
  for (const auto &[row, entries] : m.qrows) {
    std::vector<SymmetricEntry> sym;
    for (const auto &e : entries)
      if (e.q != 0.0) sym.push_back(SymmetricEntry{e.i, e.j, e.q});
    if (sym.empty()) continue;
    const char type = row >= 0 && row < m.rows() ? m.rowtype[size_t(row)] : 'N';
    const std::string name = row >= 0 && row < m.rows() ? m.rownames.get(row) : std::to_string(row);
    bool convex = (type == 'L' && check_semidefinite(sym, 1.0) == Definiteness::Semidefinite) ||
                  (type == 'G' && check_semidefinite(sym, -1.0) == Definiteness::Semidefinite);
    state.lp_status = LP_NONCONVEX;
    if (discrete) state.mip_status = LP_NONCONVEX;  // the MIP status callers read for a MIP
    if (!convex)
      throw Error("The quadratic constraint " + name +
                  " is not convex; the LP/MIP solver cannot solve problems with non-convex quadratic constraints");
    throw Error("The quadratic constraint " + name +
                " is convex, but quadratic constraints are not supported by the LP/MIP solver yet");
  }
  const size_t quadratic = quadratic_objective_entries(m);
  if (quadratic == 0) return;
  std::vector<SymmetricEntry> sym;
  sym.reserve(quadratic);
  for (const auto &e : m.qobj)
    if (e.q != 0.0) sym.push_back(SymmetricEntry{e.i, e.j, e.q});
  const double sign = m.obj_sense < 0 ? -1.0 : 1.0;
  if (check_semidefinite(sym, sign) == Definiteness::Indefinite) {
    state.lp_status = LP_NONCONVEX;
    if (discrete) state.mip_status = LP_NONCONVEX;
    throw Error(sign > 0 ? "The quadratic objective is not convex, so it cannot be minimised (its matrix is not "
                           "positive semidefinite)"
                         : "The quadratic objective is not concave, so it cannot be maximised (its matrix is not "
                           "negative semidefinite)");
  }
  // A convex quadratic objective with discrete entities goes to the
  // engine's own search (run below), which HiGHS's MIP cannot replace.
}

// x, slacks and (for continuous solves) duals in the user's indices. The
// slacks come from HiGHS's row activities when `activities` says that its
// leading rows are the model's rows as they stand (no indicator's term added
// to them, no change to the model during the solve): one pass over the rows
// instead of one over the matrix. Otherwise, and for a solution without
// activities (an incumbent handed to a callback), from the matrix.
void store_solution(SolutionVectors &out, const Model &m, const HighsSolution &sol, bool with_duals,
                    bool activities) {
  const int n = m.cols(), rows = m.rows();
  out.clear();
  if (!sol.value_valid || int(sol.col_value.size()) < n) return;
  out.valid = true;
  out.x.assign(sol.col_value.begin(), sol.col_value.begin() + n);
  const double *rhs = m.rhs.data();
  if (activities && int(sol.row_value.size()) >= rows) {
    out.slack.reserve(size_t(rows));
    std::transform(rhs, rhs + rows, sol.row_value.data(), std::back_inserter(out.slack), std::minus<double>());
  } else {
    out.slack.assign(size_t(rows), 0.0);
    double *slack = out.slack.data();
    const CompressedMatrix &by_cols = m.by_cols();
    for (int j = 0; j < n; ++j) {
      const double xj = out.x[size_t(j)];
      if (xj == 0.0) continue;
      for (int64_t p = by_cols.start[size_t(j)]; p < by_cols.start[size_t(j) + 1]; ++p)
        slack[by_cols.index[size_t(p)]] -= by_cols.value[size_t(p)] * xj;
    }
    for (int i = 0; i < rows; ++i) slack[i] += rhs[i];
  }
  if (with_duals && sol.dual_valid && int(sol.row_dual.size()) >= rows && int(sol.col_dual.size()) >= n) {
    out.duals.assign(sol.row_dual.begin(), sol.row_dual.begin() + rows);
    out.djs.assign(sol.col_dual.begin(), sol.col_dual.begin() + n);
  }
}

// A model without columns: every row's activity is 0.
void solve_without_columns(const Model &m, double feastol, bool mip, SolveState &state) {
  bool feasible = true;
  for (int i = 0; i < m.rows() && feasible; ++i) {
    double lower, upper;
    row_bounds(m, i, lower, upper);
    feasible = lower <= feastol && upper >= -feastol;
  }
  state.lp_status = feasible ? LP_OPTIMAL : LP_INFEAS;
  state.lp_objective = m.obj_constant;
  if (feasible) {
    SolutionVectors &lp = state.lp;
    lp.valid = true;
    lp.slack.assign(m.rhs.begin(), m.rhs.end());
    lp.duals.assign(size_t(m.rows()), 0.0);
    if (mip) state.mip = lp;
  }
  if (mip) {
    state.mip_status = feasible ? MIP_OPTIMAL : MIP_INFEAS;
    state.mip_objective = m.obj_constant;
    state.best_bound = m.obj_constant;
    state.mip_solutions = feasible ? 1 : 0;
  }
}

const char *lp_status_text(int status) {
  static const char *names[] = {"unstarted", "optimal",  "infeasible", "cut off", "unfinished",
                                "unbounded", "cut off in dual", "unsolved",   "non-convex"};
  return status >= 0 && status <= 8 ? names[status] : "unknown";
}

const char *mip_status_text(int status) {
  static const char *names[] = {"not loaded", "LP not optimal", "LP optimal", "no solution found",
                                "solution found", "infeasible", "optimal", "unbounded"};
  return status >= 0 && status <= 7 ? names[status] : "unknown";
}

// Stop reason and "finished early" for the HiGHS statuses that mean a limit.
bool limit_reached(HighsModelStatus status, int interrupt_reason, int64_t improving, int64_t max_solutions,
                   int &stop) {
  switch (status) {
    case HighsModelStatus::kTimeLimit: stop = STOP_TIMELIMIT; return true;
    case HighsModelStatus::kIterationLimit: stop = STOP_ITERLIMIT; return true;
    case HighsModelStatus::kSolutionLimit:
      stop = max_solutions > 0 && improving >= max_solutions ? STOP_SOLLIMIT : STOP_NODELIMIT;
      return true;
    case HighsModelStatus::kInterrupt:
    case HighsModelStatus::kHighsInterrupt: stop = interrupt_reason != 0 ? interrupt_reason : STOP_USER; return true;
    default: return false;
  }
}

std::string failure_text(const std::string &what, const Highs &highs, HighsModelStatus status, LogSink &log) {
  log.flush();
  std::string reason = log.last_error();
  return what + " (" + highs.modelStatusToString(status) + ")" + (reason.empty() ? std::string() : ": " + reason);
}

void run(KRVSprob prob, LpAlgorithm alg, SolveRequest request, LogSink &log) {
  const Model &m = *prob->model;
  SolveState &state = *prob->solve;
  const ControlValues &controls = prob->controls;

  const bool has_discrete = has_discrete_entities(m);
  const bool discrete = request == SolveRequest::Mip && has_discrete;
  const bool mip_request = request == SolveRequest::Mip;
  if (nlp::solve_convex_qcqp(prob, discrete, state)) {
    // Convex quadratic rows: solved by the nonlinear solver's machinery.
    if (request == SolveRequest::Lp && has_discrete) {
      state.mip_status = state.lp_status == LP_OPTIMAL ? MIP_LP_OPTIMAL : MIP_LP_NOT_OPTIMAL;
    } else if (mip_request && !discrete) {
      state.mip_status = state.lp_status == LP_OPTIMAL     ? MIP_OPTIMAL
                         : state.lp_status == LP_UNBOUNDED ? MIP_UNBOUNDED
                         : state.lp_status == LP_INFEAS    ? MIP_INFEAS
                                                           : MIP_NO_SOL_FOUND;
      if (state.mip_status == MIP_OPTIMAL) {
        state.mip = state.lp;
        state.mip_objective = state.lp_objective;
        state.mip_solutions = 1;
      }
    }
    return;
  }
  check_model_class(m, discrete, state);
  const bool quadratic = quadratic_objective_entries(m) > 0;

  if (discrete && tree_search_wanted(prob, quadratic)) {
    log.line(std::string("Solving ") + (quadratic ? "MIQP" : "MIP") + " with " + std::to_string(m.rows()) +
             " rows, " + std::to_string(m.cols()) + " columns and " + std::to_string(m.nonzeros()) +
             " coefficients by the engine's branch-and-bound search");
    SchedulerLease scheduler(controls.get_int(CTRL_8001), log);
    run_tree_search(prob, [&log](const std::string &text) { log.line(text); });
    return;
  }

  // The live HiGHS model takes the changes since the last solve; when it
  // cannot, the whole model is built and passed. With the caller's scale
  // factors the instance holds a scaled copy, which changes reported in the
  // caller's units cannot update: such a solve always passes the whole model.
  const BuildMode mode = discrete ? BuildMode::Discrete : BuildMode::Relaxation;
  const double bigm = controls.get_double(CTRL_7008);
  LiveModel &live = state.live;
  const bool user_scaled = !m.row_scale_exp.empty() || !m.col_scale_exp.empty();
  if (user_scaled) live.mark_stale();
  Highs *live_highs = live.up_to_date(m, mode, bigm);
  // The model as handed over; HiGHS's row activities are its rows' only while it stays so.
  const uint64_t version_handed = m.data_version;
  const bool rebuild = live_highs == nullptr;
  // Made only for a hand-over (an empty HiGHS model costs a thousand
  // instructions to make and free, a tenth of a warm solve's own cost).
  std::unique_ptr<BuiltModel> built;
  if (rebuild) built = std::make_unique<BuiltModel>(build_highs_model(m, mode, bigm));
  // The caller's scale factors (KRVSscale) go into the model handed to HiGHS
  // only; everything read back from HiGHS is unscaled before it is kept.
  const UserScaling scaling = rebuild ? apply_user_scaling(m, built->model) : UserScaling{};
  const HighsLp &lp = rebuild ? built->model.lp_ : live_highs->getLp();
  const int highs_cols = lp.num_col_, highs_rows = lp.num_row_;
  const char *kind = discrete ? "MIP" : quadratic ? "QP" : "LP";
  if (log.enabled())
    log.line(std::string("Solving ") + (request == SolveRequest::Lp && has_discrete ? "the relaxation of a MIP as " : "") +
           kind + " with " + std::to_string(m.rows()) + " rows, " + std::to_string(m.cols()) + " columns and " +
           std::to_string(m.nonzeros()) + " coefficients" +
           (highs_cols > m.cols() || highs_rows > m.rows()
                ? " (" + std::to_string(highs_cols - m.cols()) + " internal columns, " +
                      std::to_string(highs_rows - m.rows()) + " internal rows)"
                : std::string()),
           MSG_INFO, MSGCODE_SOLVE_START);

  if (scaling.active)
    log.line("Scaling " + std::to_string(m.row_scale_exp.size()) + " rows and " +
             std::to_string(m.col_scale_exp.size()) + " columns with the factors given by scale()");

  if (highs_cols == 0) {
    solve_without_columns(m, controls.get_double(CTRL_7004), mip_request, state);
    if (request == SolveRequest::Lp && has_discrete)
      state.mip_status = state.lp_status == LP_OPTIMAL ? MIP_LP_OPTIMAL : MIP_LP_NOT_OPTIMAL;
    return;
  }

  SchedulerLease scheduler(controls.get_int(CTRL_8001), log);
  LiveModel::SolveScope solving(live);
  // A solve that ends in an error leaves the instance to be rebuilt.
  struct StaleUnlessFinished {
    LiveModel &live;
    bool finished = false;
    ~StaleUnlessFinished() {
      if (!finished) live.mark_stale();
    }
  } stale_unless_finished{live};
  if (rebuild) live_highs = &live.fresh();
  Highs &highs = *live_highs;
  RunContext ctx;
  ctx.prob = prob;
  ctx.log = &log;
  ctx.discrete = discrete;
  const bool barrier = alg == LpAlgorithm::Barrier || (alg == LpAlgorithm::Default && controls.get_int(CTRL_8003) == 4);
  ctx.barrier = !discrete && !quadratic && barrier;
  ctx.sense = m.obj_sense < 0 ? -1 : 1;
  ctx.gap_notify.load(prob);
  ctx.initial_relstop = controls.get_double(CTRL_7002);
  ctx.initial_absstop = controls.get_double(CTRL_7003);
  ctx.scaling = scaling.active ? &scaling : nullptr;
  // HiGHS looks every option up by name: the live instance keeps the
  // options of its last solve while the controls that make them are the same.
  const LiveModel::OptionKey options = option_key(controls, discrete, quadratic, alg, scheduler.threads());
  if (rebuild || !live.options_set || !(options == live.options)) {
    live.options_set = false;  // unknown until all are set
    apply_controls(highs, controls, discrete, quadratic, alg, rebuild);
    highs.setOptionValue("threads", HighsInt(scheduler.threads()));
    live.options = options;
    live.options_set = true;
  }
  CallbackInstallation callbacks(highs, ctx);
  if (!rebuild && log.enabled())
    log.line("Solving the solver's model of the last solve with the changes made since", MSG_INFO, MSGCODE_WARM_START);
  if (!rebuild && live.tail_laid_anew() && log.enabled())
    log.line("Laid the internal columns and rows of the reformulations and the cut rows anew after the model's own",
             MSG_INFO, MSGCODE_WARM_START);
  if (rebuild) {
    live.passed(m, *built, mode, bigm);
    if (highs.passModel(std::move(built->model)) == HighsStatus::kError) {
      log.flush();
      const std::string reason = log.last_error();
      throw Error("The solver refused the model" + (reason.empty() ? std::string() : ": " + reason));
    }
  }
  // HiGHS formats every log line it hands to the dispatcher: while nobody
  // reads the log, the solve runs without it (the hand-over above kept it,
  // for the reason of a refused model).
  // HiGHS's output itself stays on: its results depend on it (an LP that
  // it proves infeasible with output on can end "unknown" with it off).
  if (!log.enabled() && !prob->callbacks.any(CB_LPLOG) && !prob->callbacks.any(CB_BARLOG))
    highs.stopCallback(kCallbackLogging);
  StoredBasis &stored = state.basis;
  const bool simplex_lp = !discrete && !quadratic && !barrier;
  // The live instance starts from its own last basis; a MIP, QP or barrier
  // solve, or one with keepbasis off, starts cold as on a new instance.
  if (!rebuild && (!simplex_lp || (controls.get_int(CTRL_8010) == 0 && !stored.loaded))) highs.clearSolver();

  // The user's MIP starts, completed and handed over as starting solutions.
  auto log_line = [&log](const std::string &text) { log.line(text); };
  if (discrete)
    offer_mip_starts(prob, highs, m.cols(), log_line, scaling.active ? scaling.col : std::vector<double>());
  else if (mip_request)
    drop_mip_starts(prob, log_line);

  // A new instance warm-starts from the last basis when only bounds, costs
  // or right-hand sides changed since it was found; a loaded basis replaces
  // the live instance's own.
  const HighsLp &passed = highs.getLp();
  if (simplex_lp && (rebuild || stored.loaded) && (controls.get_int(CTRL_8010) != 0 || stored.loaded) &&
      stored.valid && stored.structure_version == m.structure_version &&
      int(stored.col_status.size()) == passed.num_col_ && int(stored.row_status.size()) == passed.num_row_) {
    HighsBasis basis;
    basis.col_status.resize(stored.col_status.size());
    basis.row_status.resize(stored.row_status.size());
    for (size_t j = 0; j < stored.col_status.size(); ++j) basis.col_status[j] = HighsBasisStatus(stored.col_status[j]);
    for (size_t i = 0; i < stored.row_status.size(); ++i) basis.row_status[i] = HighsBasisStatus(stored.row_status[i]);
    basis.valid = true;
    basis.alien = true;
    if (highs.setBasis(basis, "krvs warm start") == HighsStatus::kOk)
      log.line(stored.loaded ? "Starting from the loaded basis" : "Starting from the previous basis", MSG_INFO,
               MSGCODE_WARM_START);
    else if (stored.loaded)
      log.line("The loaded basis was refused by the solver; starting without it", MSG_WARNING, MSGCODE_WARM_START);
  } else if (stored.loaded && stored.valid) {
    log.line("The loaded basis does not fit this solve (structure changed, or not a simplex LP solve); not used",
             MSG_WARNING, MSGCODE_WARM_START);
  }
  stored.loaded = false;
  // A starting point given with KRVSloadlpsol: handed to HiGHS once.
  StartingPoint &start = state.start;
  if (start.valid && !discrete && start.structure_version == m.structure_version) {
    HighsSolution given;
    const size_t n = size_t(m.cols()), rows = size_t(m.rows());
    if (start.x.size() == n) {
      given.col_value = start.x;
      given.col_value.resize(size_t(passed.num_col_), 0.0);
      given.row_value.assign(size_t(passed.num_row_), 0.0);
      if (start.slack.size() == rows) {
        for (size_t i = 0; i < rows; ++i) given.row_value[i] = m.rhs[i] - start.slack[i];
      } else {
        const CompressedMatrix &by_cols = m.by_cols();
        for (size_t j = 0; j < n; ++j)
          for (int64_t p = by_cols.start[j]; p < by_cols.start[j + 1]; ++p)
            given.row_value[size_t(by_cols.index[size_t(p)])] += by_cols.value[size_t(p)] * start.x[j];
      }
      given.value_valid = true;
    }
    if (start.duals.size() == rows && start.djs.size() == n) {
      given.row_dual = start.duals;
      given.row_dual.resize(size_t(passed.num_row_), 0.0);
      given.col_dual = start.djs;
      given.col_dual.resize(size_t(passed.num_col_), 0.0);
      given.dual_valid = true;
    }
    scale_solution(scaling, given);
    if ((given.value_valid || given.dual_valid) && highs.setSolution(given) != HighsStatus::kError)
      log.line("Starting from the loaded solution", MSG_INFO, MSGCODE_WARM_START);
  }
  start.valid = false;

  HighsStatus run_status = highs.run();
  if (highs.getModelStatus() == HighsModelStatus::kUnboundedOrInfeasible) {
    // Presolve could not tell the two apart; the solver without it can.
    std::string presolve;
    highs.getOptionValue("presolve", presolve);
    if (presolve != "off") {
      highs.setOptionValue("presolve", std::string("off"));
      run_status = highs.run();
      highs.setOptionValue("presolve", presolve);
    }
  }
  log.flush();
  stale_unless_finished.finished = true;

  // HiGHS's leading rows are the model's rows unless an indicator's term was
  // added to one of them (the MIP's big-M form) or a callback changed the
  // model meanwhile.
  const bool activities = m.data_version == version_handed && !(discrete && !m.indicators.empty());
  const HighsInfo &info = highs.getInfo();
  HighsSolution unscaled;
  if (scaling.active) {
    unscaled = highs.getSolution();
    unscale_solution(scaling, unscaled);
  }
  const HighsSolution &sol = scaling.active ? unscaled : highs.getSolution();
  const HighsModelStatus status = highs.getModelStatus();
  state.simplex_iterations = std::max<int64_t>(info.simplex_iteration_count, 0) +
                             std::max<int64_t>(info.qp_iteration_count, 0);
  state.barrier_iterations = std::max<int64_t>(info.ipm_iteration_count, 0);
  state.nodes = std::max<int64_t>(info.mip_node_count, 0);
  const int64_t improving = ctx.improving_solutions.load();
  int stop = STOP_NONE;
  const bool limited = limit_reached(status, prob->interrupt_reason.load(), improving,
                                     controls.get_int(CTRL_8007), stop);
  state.stop_status = stop;

  if (discrete) {
    const bool incumbent = info.primal_solution_status == kSolutionStatusFeasible;
    state.mip_solutions = improving;
    switch (status) {
      case HighsModelStatus::kOptimal:
        state.mip_status = MIP_OPTIMAL;
        if (info.mip_gap > 1e-9 && std::isfinite(info.mip_gap)) state.stop_status = STOP_MIPGAP;
        break;
      case HighsModelStatus::kInfeasible: state.mip_status = MIP_INFEAS; break;
      case HighsModelStatus::kUnbounded:
      case HighsModelStatus::kUnboundedOrInfeasible:
        state.mip_status = incumbent || status == HighsModelStatus::kUnbounded ? MIP_UNBOUNDED : MIP_INFEAS;
        break;
      default:
        if (!limited) throw Error(failure_text("The MIP solver failed", highs, status, log));
        // Stopped because a callback loosened the stopping gap: optimal within it.
        state.mip_status = incumbent ? (stop == STOP_MIPGAP ? MIP_OPTIMAL : MIP_SOLUTION) : MIP_NO_SOL_FOUND;
        break;
    }
    if (incumbent) {
      store_solution(state.mip, m, sol, false, activities);
      state.mip_objective = info.objective_function_value;
    }
    state.best_bound = engine_number(info.mip_dual_bound);
    state.mip_gap = engine_number(info.mip_gap);
  } else {
    switch (status) {
      case HighsModelStatus::kOptimal:
      case HighsModelStatus::kModelEmpty: state.lp_status = LP_OPTIMAL; break;
      case HighsModelStatus::kInfeasible: state.lp_status = LP_INFEAS; break;
      case HighsModelStatus::kUnbounded: state.lp_status = LP_UNBOUNDED; break;
      case HighsModelStatus::kUnboundedOrInfeasible: state.lp_status = LP_INFEAS; break;
      case HighsModelStatus::kObjectiveBound:
      case HighsModelStatus::kObjectiveTarget: state.lp_status = LP_CUTOFF; break;
      default:
        if (limited) {
          state.lp_status = LP_UNFINISHED;
        } else {
          state.lp_status = LP_UNSOLVED;
          throw Error(failure_text("The solver failed on the " + std::string(kind), highs, status, log));
        }
        break;
    }
    if (run_status == HighsStatus::kError && state.lp_status == LP_OPTIMAL) state.lp_status = LP_UNSOLVED;
    // An infeasible LP's last iterate is no solution to hand out, and neither
    // is the point where an unbounded LP found its ray.
    if (state.lp_status != LP_INFEAS && state.lp_status != LP_UNBOUNDED) store_solution(state.lp, m, sol, true, activities);
    if (ctx.barrier && controls.get_int(CTRL_8009) == 0 && state.lp.valid) {
      state.barrier = state.lp;  // the interior point itself, kept for getlastbarsol and crossoverlpsol
      state.barrier_status = state.lp_status;
    }
    state.lp_objective = status == HighsModelStatus::kModelEmpty ? m.obj_constant : info.objective_function_value;
    if (highs.getBasis().valid && !quadratic) {
      const HighsBasis &basis = highs.getBasis();
      stored.valid = true;
      stored.structure_version = m.structure_version;
      // HiGHS's status codes are bytes with the values kept: copied as they are.
      static_assert(sizeof(HighsBasisStatus) == sizeof(int8_t), "basis status codes are single bytes");
      const auto *cols = reinterpret_cast<const int8_t *>(basis.col_status.data());
      const auto *rows = reinterpret_cast<const int8_t *>(basis.row_status.data());
      stored.col_status.assign(cols, cols + basis.col_status.size());
      stored.row_status.assign(rows, rows + basis.row_status.size());
    }
    if (request == SolveRequest::Lp && has_discrete) {
      state.mip_status = state.lp_status == LP_OPTIMAL ? MIP_LP_OPTIMAL : MIP_LP_NOT_OPTIMAL;
    } else if (mip_request) {
      // A MIP solve of a model without discrete entities is its LP solve.
      switch (state.lp_status) {
        case LP_OPTIMAL: state.mip_status = MIP_OPTIMAL; break;
        case LP_INFEAS: state.mip_status = MIP_INFEAS; break;
        case LP_UNBOUNDED: state.mip_status = MIP_UNBOUNDED; break;
        default:
          state.mip_status = info.primal_solution_status == kSolutionStatusFeasible ? MIP_SOLUTION : MIP_NO_SOL_FOUND;
          break;
      }
      if (state.mip_status == MIP_OPTIMAL || state.mip_status == MIP_SOLUTION) {
        store_solution(state.mip, m, sol, false, activities);
        state.mip_objective = state.lp_objective;
        state.best_bound = state.lp_status == LP_OPTIMAL ? state.lp_objective : 0.0;
        state.mip_solutions = 1;
      }
    }
  }
}

}  // namespace

void optimize(KRVSprob prob, const char *flags, SolveRequest request) {
  // Bad flags are refused before anything of the last solve is dropped.
  const LpAlgorithm alg =
      parse_flags(flags, request == SolveRequest::Mip ? "KRVSmipoptimize" : "KRVSlpoptimize");
  SolveState &state = *prob->solve;
  RunningHold running(state);
  reset_results(state);
  prob->interrupt_reason.store(0);
  const auto started = std::chrono::steady_clock::now();
  LogSink log(prob, prob->controls.get_int(CTRL_8035) != 0);
  auto finish = [&] {
    state.solve_time = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  try {
    run(prob, alg, request, log);
  } catch (const Error &e) {
    finish();
    log.line(std::string("Solve failed: ") + e.what(), MSG_ERROR, MSGCODE_SOLVE_FAILED);
    throw;
  }
  finish();
  if (!log.enabled()) return;
  std::string summary = "Solve finished:";
  if (state.lp_status != LP_UNSTARTED) summary += " LP status " + std::string(lp_status_text(state.lp_status)) + ",";
  if (request == SolveRequest::Mip || state.mip_status != MIP_NOT_LOADED)
    summary += " MIP status " + std::string(mip_status_text(state.mip_status)) + ",";
  if (state.stop_status != STOP_NONE) summary += " stopped (reason " + std::to_string(state.stop_status) + "),";
  if (state.mip.valid) summary += " objective " + format_number(state.mip_objective) + ",";
  else if (state.lp.valid) summary += " objective " + format_number(state.lp_objective) + ",";
  summary += " " + format_number(state.solve_time) + " s";
  log.line(summary, MSG_INFO, MSGCODE_SOLVE_SUMMARY);
}

}  // namespace krvs
