#include "search/tree_search.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <set>
#include <vector>

#include "Highs.h"
#include "core/callbacks.h"
#include "core/guard.h"
#include "core/problem.h"
#include "model/model.h"
#include "search/branch_object.h"
#include "search/root_mip.h"
#include "search/root_presolve.h"
#include "search/reduced_cost_fixing.h"
#include "search/workers.h"
#include "solve/callback_events.h"
#include "solve/highs_build.h"
#include "solve/mip_starts.h"
#include "solve/solve_state.h"

namespace krvs {

bool tree_search_wanted(KRVSprob prob, bool quadratic) {
  if (quadratic || prob->controls.get_int(CTRL_8401) != 0) return true;
  for (int kind : {CB_CHGBRANCHOBJECT, CB_CUTLOG, CB_INFNODE, CB_NEWNODE, CB_NODECUTOFF, CB_OPTNODE, CB_PREINTSOL,
                   CB_PRENODE})
    if (prob->callbacks.any(kind)) return true;
  // Directives and branching objects stored for the root only the search can use.
  if (!prob->model->mip.directives.empty()) return true;
  return prob->stored_branchings && !prob->stored_branchings->empty();
}

namespace {

struct BoundChange {
  int col;
  double lb, ub;
};

// A row that only a subtree has (from a branching object's branch), over
// the model's columns; HiGHS gets it after the rows every node has.
struct LocalRow {
  double lower, upper;
  std::vector<int> cols;
  std::vector<double> coefs;
  bool violated(const std::vector<double> &x, double tol) const {
    double activity = 0;
    for (size_t k = 0; k < cols.size(); ++k) activity += coefs[k] * x[size_t(cols[k])];
    return activity < lower - tol || activity > upper + tol;
  }
};
using LocalRows = std::vector<std::shared_ptr<const LocalRow>>;

// One child of a division: its bound changes and its new rows.
struct ChildSpec {
  std::vector<BoundChange> changes;
  LocalRows rows;
};

// A node waiting to be solved: the bounds that differ from the root's (the
// whole path's changes, later ones winning), the parent's basis and what
// the parent's relaxation promised.
struct Node {
  int id = 1;
  int parent = 0;
  int depth = 1;
  int branch = 0;
  double bound = -INFINITY;  // parent's relaxation objective, minimisation form
  std::vector<BoundChange> changes;
  LocalRows rows;  // the path's local rows, in the order the branches added them
  // The parent's basis, taken when HiGHS had the rows every node has (of
  // which basis_global_rows were added by the search) and the parent's
  // basis_local_rows local rows.
  std::shared_ptr<const HighsBasis> basis;
  int basis_global_rows = 0;
  int basis_local_rows = 0;
  // For the pseudo-costs: the column branched on, its distance to the new
  // bound, and the direction (-1 down, +1 up).
  int branch_col = -1;
  double branch_distance = 0;
  int direction = 0;
  bool taken = false;  // processed: the other container skips it
};

struct WorseBound {
  bool operator()(const std::shared_ptr<Node> &a, const std::shared_ptr<Node> &b) const {
    if (a->bound != b->bound) return a->bound > b->bound;
    return a->id > b->id;  // equal bounds: the older node first, for a deterministic order
  }
};

// What one worker of the search has to itself: the HiGHS instance holding
// its copy of the relaxation, the bounds and local rows of the node it
// solves, and the child it dives into next. With one thread the solving
// thread is the only worker and its callbacks get the problem itself; with
// more, each worker runs on a thread of its own with a problem of its own
// (search/workers.h).
struct Worker {
  KRVSprob prob = nullptr;      // handed to the node callbacks
  SolveState *state = nullptr;  // where they read the node's results
  Highs highs;
  std::vector<double> lb, ub;   // bounds of the node being solved
  LocalRows in_highs;           // local rows HiGHS holds now, after the global ones
  size_t global_rows = 0;       // rows of the search's global row list HiGHS holds
  std::vector<char> held_applied;  // per held row: its bounds given back here
  int last_solved = 0;          // node whose basis HiGHS holds now
  std::shared_ptr<Node> dive;   // the child solved next, if any
  const Node *processing = nullptr;
  uint64_t incumbent_seen = 0;  // version of the incumbent copied into `state`
  std::unique_lock<std::mutex> *lock = nullptr;  // the search's lock, held but around LP solves
};

// While a node's LP runs, its worker's instance is where a stop request
// must land: published on the worker problem's InterruptWake (the problem
// being solved itself for a search on one thread), whose wake() starts the
// instance's interrupt events. A request made before the LP started is
// seen at HiGHS's first ask. Afterwards the events are stopped again, so
// that the next node's LP runs without them.
class NodeLpWake {
 public:
  explicit NodeLpWake(Worker &w) : w_(w) {
    KRVSprob origin = w.prob->search_origin ? w.prob->search_origin : w.prob;
    w.prob->interrupt_wake.publish(&w.highs);
    if (w.prob->interrupt_reason.load() != 0 || origin->interrupt_reason.load() != 0) w.prob->interrupt_wake.wake();
  }
  ~NodeLpWake() {
    w_.prob->interrupt_wake.withdraw();
    w_.highs.stopCallback(kCallbackSimplexInterrupt);
    w_.highs.stopCallback(kCallbackIpmInterrupt);
    w_.highs.stopCallback(kCallbackMipInterrupt);
  }
  NodeLpWake(const NodeLpWake &) = delete;
  NodeLpWake &operator=(const NodeLpWake &) = delete;

 private:
  Worker &w_;
};

class Search {
 public:
  Search(KRVSprob prob, const std::function<void(const std::string &)> &log)
      : prob_(prob), m_(*prob->model), state_(*prob->solve), log_(log) {}

  void run();

 private:
  enum class NodeResult { Optimal, Infeasible, Unbounded, Unsolved, Stopped };

  void setup();
  void init_worker(Worker &w, HighsModel model);
  void work(Worker &w);
  void run_workers();
  NodeResult solve_node(Worker &w, const Node &node, bool again = false);
  bool activate_violated_rows(Worker &w, bool integral);
  bool add_new_pool_cuts(Worker &w);
  bool sync_global_rows(Worker &w);
  void apply_user_branch_items(Worker &w, Node &child);
  void offer_mip_starts(const HighsModel &discrete_model);
  void process(Worker &w, std::shared_ptr<Node> node);
  bool candidate(Worker &w, const std::vector<double> &x, double objective, int soltype);
  int choose_branch(const std::vector<double> &x, double &value) const;
  int reliable_choice(Worker &w, const std::vector<double> &x, int col, double &value, double objective,
                      bool &infeasible);
  void run_unlocked(Worker &w);
  void branch(Worker &w, const Node &node, int col, double value, double objective, const std::vector<double> &x);
  std::unique_ptr<krvs_branchobj_s> own_branching(int col, double value) const;
  std::vector<ChildSpec> children_of(const Worker &w, const krvs_branchobj_s &object) const;
  bool usable_replacement(const krvs_branchobj_s &object, const std::vector<ChildSpec> &children,
                          const std::vector<double> &x, int node_id);
  void make_children(Worker &w, const Node &node, std::vector<ChildSpec> children, int first, double objective,
                     const std::vector<double> &x);
  void sync_rows(Worker &w, const Node &node);
  void restore_basis(Worker &w, const Node &node);
  void warn(const std::string &text) const { log_("Warning: " + text); }
  void update_pseudocost(const Node &node, double objective);
  void publish_node_solution(Worker &w);
  void sync_state(Worker &w);
  int interrupted(Worker &w);
  bool in_search(KRVSprob p) const;
  bool should_stop(Worker &w);
  double best_bound(const Worker *self = nullptr) const;
  double user(double internal) const { return sense_ * internal; }
  double cutoff_margin() const {
    if (!std::isfinite(cutoff_)) return 0;
    return std::max(prob_->controls.get_double(CTRL_7003),
                    prob_->controls.get_double(CTRL_7002) * std::fabs(cutoff_));
  }
  void log_progress(bool force);
  void push_open(std::shared_ptr<Node> node) {
    ++open_count_;
    stack_.push_back(node);
    open_.push(std::move(node));
  }
  std::shared_ptr<Node> pop_open();
  void heuristic();
  void fix_by_reduced_costs(Worker &w, Node &node, double objective);
  void fix_globally();
  bool presolve_allowed(const HighsModel &model) const;
  void add_root_cuts(const CutRows &cuts);

  KRVSprob prob_;
  const Model &m_;
  SolveState &state_;
  const std::function<void(const std::string &)> &log_;

  // The solving thread: the only worker with one thread; with more it only
  // offers the MIP starts and the heuristic's solution before the workers start.
  Worker solving_thread_;
  std::vector<std::unique_ptr<Worker>> threads_;
  std::vector<Worker *> workers_;  // the workers that solve nodes
  // Everything below that the workers share (open nodes, incumbent, pseudo
  // costs, global rows, the model's cut pool) is used under this lock, and
  // so are all callbacks: they never run at the same time.
  std::mutex mutex_;
  std::condition_variable wake_;
  int busy_ = 0;              // workers processing a node
  bool finished_ = false;     // the gap is closed or a worker failed: every worker ends
  bool unbounded_ = false;
  uint64_t incumbent_version_ = 0;

  bool quadratic_ = false;
  int n_ = 0;        // columns of the HiGHS model (user's first)
  int user_cols_ = 0;
  double sense_ = 1;  // objective values are handled as minimisation: sense * value
  double tol_ = 1e-6;
  std::vector<HighsVarType> integrality_;
  std::vector<double> root_lb_, root_ub_, sc_lower_;
  int base_rows_ = 0;    // rows of the model handed to HiGHS
  double feastol_ = 1e-6;
  // Model rows HiGHS holds free until a solution violates them: model cuts
  // (checked at every node), delayed rows (checked at integral solutions).
  struct HeldRow {
    int row;
    double lower, upper;
    bool delayed;
    bool active = false;
  };
  std::vector<HeldRow> held_rows_;
  std::set<uint64_t> known_cuts_;  // active pool cuts in the global rows
  // Branching directives by column: priority (smaller first), direction
  // ('U', 'D', 'N') and the pseudo costs given for columns without history.
  std::vector<int> priority_;
  std::vector<char> direction_;
  std::vector<double> given_up_pc_, given_down_pc_;
  // Rows every node has that the search added after the model's (the
  // root's cuts, pool cuts), in the order every worker's HiGHS instance gets them.
  LocalRows global_rows_;
  int root_cut_count_ = 0;  // of which the root's cuts

  std::priority_queue<std::shared_ptr<Node>, std::vector<std::shared_ptr<Node>>, WorseBound> open_;
  std::vector<std::shared_ptr<Node>> stack_;  // the same open nodes, newest last (depth first)
  size_t open_count_ = 0;
  int next_id_ = 1;
  int64_t nodes_ = 0;

  // Incumbent and cutoff, minimisation form.
  bool have_incumbent_ = false;
  double incumbent_ = INFINITY;
  double cutoff_ = INFINITY;
  // The lowest bound of what was pruned only thanks to the gap tolerance
  // (bound above the cutoff less its margin but below the cutoff): such
  // parts of the tree may hold better solutions than the incumbent, so the
  // reported best bound must not pass them.
  double margin_pruned_bound_ = INFINITY;
  void note_pruned(double bound) {
    if (bound < cutoff_) margin_pruned_bound_ = std::min(margin_pruned_bound_, bound);
  }
  bool incomplete_ = false;  // a node could not be solved: optimality not proven
  int stop_ = STOP_NONE;

  std::vector<double> pc_down_sum_, pc_up_sum_;
  std::vector<int> pc_down_count_, pc_up_count_;
  std::unique_ptr<HighsModel> starts_model_;  // the discrete model, kept while MIP starts wait
  // Set when the search works on HiGHS's presolved model: then its columns
  // are the reduced model's and solutions are postsolved when accepted.
  std::unique_ptr<RootPresolve> presolve_;
  std::unique_ptr<HighsModel> reduced_discrete_;  // the reduced model with integrality, for the heuristic
  // The root relaxation's solution and reduced costs (minimisation form):
  // each better incumbent fixes columns for the whole search from them.
  double root_objective_ = -INFINITY;
  std::vector<double> root_x_, root_d_;

  bool node_callbacks_ = false;
  TimeCheck time_check_;
  GapNotify gap_notify_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_log_ = started_;
};

void Search::setup() {
  const double bigm = prob_->controls.get_double(CTRL_7008);
  BuiltModel built = build_highs_model(m_, BuildMode::Discrete, bigm);
  if (presolve_allowed(built.model)) {
    auto presolve = std::make_unique<RootPresolve>();
    const double limit = prob_->controls.get_double(CTRL_7001);
    if (presolve->run(built.model, limit < 1e20 ? limit / 4 : 1e20)) {
      built.model = presolve->reduced();
      reduced_discrete_ = std::make_unique<HighsModel>(built.model);
      presolve_ = std::move(presolve);
    }
  }
  HighsLp &lp = built.model.lp_;
  n_ = lp.num_col_;
  user_cols_ = m_.cols();
  quadratic_ = built.model.hessian_.dim_ > 0;
  sense_ = lp.sense_ == ObjSense::kMaximize ? -1.0 : 1.0;
  tol_ = prob_->controls.get_double(CTRL_7006);
  integrality_ = lp.integrality_;
  integrality_.resize(size_t(n_), HighsVarType::kContinuous);
  root_lb_ = lp.col_lower_;
  root_ub_ = lp.col_upper_;
  sc_lower_.assign(size_t(n_), 0.0);
  for (int j = 0; j < n_; ++j) {
    HighsVarType t = integrality_[size_t(j)];
    if (t == HighsVarType::kSemiContinuous || t == HighsVarType::kSemiInteger) {
      // x = 0 or lower <= x <= upper: the relaxation runs from 0.
      sc_lower_[size_t(j)] = root_lb_[size_t(j)];
      root_lb_[size_t(j)] = std::min(0.0, root_lb_[size_t(j)]);
    }
  }
  lp.integrality_.clear();
  lp.col_lower_ = root_lb_;

  base_rows_ = lp.num_row_;
  feastol_ = prob_->controls.get_double(CTRL_7004);
  for (const auto &entry : m_.mip.cuts.cuts())
    if (entry.second.active) known_cuts_.insert(entry.first);
  // Model cuts and delayed rows start out free; their bounds return when a
  // solution violates them.
  for (int delayed = 0; delayed < 2; ++delayed)
    for (int r : delayed ? m_.mip.delayed_rows : m_.mip.model_cut_rows) {
      if (r < 0 || r >= m_.rows()) continue;
      HeldRow held{r, lp.row_lower_[size_t(r)], lp.row_upper_[size_t(r)], delayed == 1};
      lp.row_lower_[size_t(r)] = -kHighsInf;
      lp.row_upper_[size_t(r)] = kHighsInf;
      held_rows_.push_back(held);
    }
  priority_.assign(size_t(n_), 500);
  direction_.assign(size_t(n_), 'N');
  given_up_pc_.assign(size_t(n_), 0.0);
  given_down_pc_.assign(size_t(n_), 0.0);
  for (const auto &[col, d] : m_.mip.directives) {
    if (col < 0 || col >= user_cols_) continue;
    priority_[size_t(col)] = d.priority;
    direction_[size_t(col)] = d.direction;
    given_up_pc_[size_t(col)] = d.up_pseudo;
    given_down_pc_[size_t(col)] = d.down_pseudo;
  }
  bool pending_starts = false;
  for (const MipStart &start : m_.mip.mip_starts) pending_starts = pending_starts || start.status == MIPSTART_PENDING;
  if (pending_starts) {
    HighsModel discrete = built.model;
    discrete.lp_.integrality_ = integrality_;
    for (int j = 0; j < n_; ++j)
      if (integrality_[size_t(j)] == HighsVarType::kSemiContinuous ||
          integrality_[size_t(j)] == HighsVarType::kSemiInteger)
        discrete.lp_.col_lower_[size_t(j)] = sc_lower_[size_t(j)];
    for (const HeldRow &h : held_rows_) {
      discrete.lp_.row_lower_[size_t(h.row)] = h.lower;
      discrete.lp_.row_upper_[size_t(h.row)] = h.upper;
    }
    starts_model_ = std::make_unique<HighsModel>(std::move(discrete));
  }
  pc_down_sum_.assign(size_t(n_), 0.0);
  pc_up_sum_.assign(size_t(n_), 0.0);
  pc_down_count_.assign(size_t(n_), 0);
  pc_up_count_.assign(size_t(n_), 0);

  // Workers read the model's columns (by_cols) under the lock; built now,
  // the lazily made copy is ready before they start.
  m_.by_cols();
  solving_thread_.prob = prob_;
  solving_thread_.state = &state_;
  const int count = search_worker_count(prob_);
  if (count <= 1) {
    init_worker(solving_thread_, std::move(built.model));
    workers_.push_back(&solving_thread_);
  } else {
    for (int i = 0; i < count; ++i) {
      auto w = std::make_unique<Worker>();
      w->prob = search_worker_problem(prob_, i);
      w->state = w->prob->solve.get();
      init_worker(*w, i + 1 < count ? built.model : std::move(built.model));
      workers_.push_back(w.get());
      threads_.push_back(std::move(w));
    }
  }
  for (int kind : {CB_OPTNODE, CB_PRENODE, CB_PREINTSOL, CB_INTSOL, CB_NEWNODE, CB_INFNODE, CB_NODECUTOFF,
                   CB_CUTLOG, CB_CHGBRANCHOBJECT})
    if (prob_->callbacks.any(kind)) node_callbacks_ = true;
  gap_notify_.load(prob_);
}

void Search::init_worker(Worker &w, HighsModel model) {
  Highs &highs = w.highs;
  highs.setOptionValue("output_flag", false);
  highs.setOptionValue("log_to_console", false);
  highs.setOptionValue("threads", HighsInt(1));
  highs.setOptionValue("presolve", std::string("off"));
  highs.setOptionValue("primal_feasibility_tolerance", prob_->controls.get_double(CTRL_7004));
  highs.setOptionValue("dual_feasibility_tolerance", prob_->controls.get_double(CTRL_7005));
  if (!quadratic_) {
    highs.setOptionValue("solver", std::string("simplex"));
    highs.setOptionValue("simplex_strategy", HighsInt(kSimplexStrategyDual));
  }
  // HiGHS's interrupt events cost a few hundred instructions a simplex
  // iteration even when nothing listens: a node's LP runs without them, and
  // a stop request (Ctrl-C, KRVSinterrupt from another thread or a
  // callback) starts them on the running instance through the worker's
  // InterruptWake (see solve_node). The time limit is HiGHS's own option.
  KRVSprob prob = prob_, worker_prob = w.prob;
  highs.setCallback(
      [prob, worker_prob](int, const std::string &, const HighsCallbackOutput *, HighsCallbackInput *in, void *) {
        if (in && (prob->interrupt_reason.load(std::memory_order_relaxed) != 0 ||
                   worker_prob->interrupt_reason.load(std::memory_order_relaxed) != 0))
          in->user_interrupt = true;
      },
      nullptr);
  if (highs.passModel(std::move(model)) == HighsStatus::kError)
    throw Error("The search could not hand the relaxation to the solver");
  w.lb = root_lb_;
  w.ub = root_ub_;
  w.held_applied.assign(held_rows_.size(), 0);
}

Search::NodeResult Search::solve_node(Worker &w, const Node &node, bool again) {
  Highs &highs = w.highs;
  w.lb = root_lb_;
  w.ub = root_ub_;
  // The path's changes, within the root's bounds: fixings found later for
  // the whole search may be tighter than a change made before them.
  for (const BoundChange &c : node.changes) {
    w.lb[size_t(c.col)] = std::max(c.lb, root_lb_[size_t(c.col)]);
    w.ub[size_t(c.col)] = std::min(c.ub, root_ub_[size_t(c.col)]);
  }
  sync_global_rows(w);
  const double limit = prob_->controls.get_double(CTRL_7001);
  HighsModelStatus status;
  {
    // From here the work is on the worker's own HiGHS instance: the others
    // go on meanwhile.
    w.lock->unlock();
    struct Relock {
      std::unique_lock<std::mutex> &lock;
      ~Relock() { lock.lock(); }
    } relock{*w.lock};
    for (int j = 0; j < n_; ++j)
      if (w.lb[size_t(j)] > w.ub[size_t(j)]) return NodeResult::Infeasible;
    highs.changeColsBounds(0, n_ - 1, w.lb.data(), w.ub.data());
    sync_rows(w, node);
    // A child solved right after its parent starts from the basis HiGHS
    // holds; any other node from its parent's.
    if (!quadratic_ && node.basis && w.last_solved != node.parent && !(again && w.last_solved == node.id))
      restore_basis(w, node);
    if (limit < 1e20) {
      const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
      // HiGHS's limit applies to its clock, which runs on across runs.
      highs.setOptionValue("time_limit", highs.getRunTime() + std::max(limit - spent, 0.0));
    }
    NodeLpWake node_wake(w);
    highs.run();
    status = highs.getModelStatus();
    if (status == HighsModelStatus::kUnboundedOrInfeasible) {
      // Tell the two apart without the basis the dual simplex left.
      highs.clearSolver();
      highs.run();
      status = highs.getModelStatus();
      if (status != HighsModelStatus::kInfeasible && status != HighsModelStatus::kUnbounded)
        status = HighsModelStatus::kUnknown;
    }
  }
  w.last_solved = node.id;
  const HighsInfo &info = highs.getInfo();
  state_.simplex_iterations += std::max<int64_t>(info.simplex_iteration_count, 0) +
                               std::max<int64_t>(info.qp_iteration_count, 0);
  sync_state(w);
  switch (status) {
    case HighsModelStatus::kOptimal: return NodeResult::Optimal;
    case HighsModelStatus::kInfeasible: return NodeResult::Infeasible;
    case HighsModelStatus::kUnbounded: return NodeResult::Unbounded;
    case HighsModelStatus::kTimeLimit:
      stop_ = STOP_TIMELIMIT;
      return NodeResult::Stopped;
    case HighsModelStatus::kInterrupt: {
      const int reason = interrupted(w);
      stop_ = reason != 0 ? reason : STOP_USER;
      return NodeResult::Stopped;
    }
    default: return NodeResult::Unsolved;
  }
}

// True when nothing in the search needs the model's own columns at the
// nodes or could refuse a solution presolve keeps (see root_presolve.h).
bool Search::presolve_allowed(const HighsModel &model) const {
  if (prob_->controls.get_int(CTRL_8002) <= 0 || model.hessian_.dim_ > 0) return false;
  for (int kind : {CB_CHGBRANCHOBJECT, CB_CUTLOG, CB_INFNODE, CB_NEWNODE, CB_NODECUTOFF, CB_OPTNODE, CB_PREINTSOL,
                   CB_PRENODE})
    if (prob_->callbacks.any(kind)) return false;
  const MipStructures &mip = m_.mip;
  if (!mip.directives.empty() || !mip.delayed_rows.empty() || !mip.model_cut_rows.empty()) return false;
  if (prob_->stored_branchings && !prob_->stored_branchings->empty()) return false;
  for (const MipStart &start : mip.mip_starts)
    if (start.status == MIPSTART_PENDING) return false;
  for (HighsVarType t : model.lp_.integrality_)
    if (t == HighsVarType::kSemiContinuous || t == HighsVarType::kSemiInteger) return false;
  return true;
}

// The shared counters and the incumbent, copied into a worker's own
// results before its callbacks read them there.
void Search::sync_state(Worker &w) {
  if (w.state == &state_) return;
  SolveState &mine = *w.state;
  mine.mip_status = state_.mip_status;
  mine.stop_status = state_.stop_status;
  mine.simplex_iterations = state_.simplex_iterations;
  mine.nodes = state_.nodes;
  mine.mip_solutions = state_.mip_solutions;
  mine.mip_objective = state_.mip_objective;
  mine.best_bound = state_.best_bound;
  if (w.incumbent_seen != incumbent_version_) {
    mine.mip = state_.mip;
    w.incumbent_seen = incumbent_version_;
  }
}

// The stop asked for, by a worker's callbacks (through its own problem) or
// on the problem itself; a worker's request becomes the whole search's.
int Search::interrupted(Worker &w) {
  if (w.prob != prob_) {
    const int mine = w.prob->interrupt_reason.load();
    int none = 0;
    if (mine != 0) prob_->interrupt_reason.compare_exchange_strong(none, mine);
  }
  return prob_->interrupt_reason.load();
}

bool Search::in_search(KRVSprob p) const {
  if (p == prob_) return true;
  for (const Worker *w : workers_)
    if (w->prob == p) return true;
  return false;
}

// The node's relaxation, readable through KRVSgetlpsol in the callbacks.
void Search::publish_node_solution(Worker &w) {
  if (presolve_) return;  // only when no callback reads it
  const HighsSolution &sol = w.highs.getSolution();
  SolutionVectors &lp = w.state->lp;
  const int rows = m_.rows();
  lp.valid = true;
  lp.x.assign(sol.col_value.begin(), sol.col_value.begin() + user_cols_);
  lp.slack.assign(m_.rhs.begin(), m_.rhs.end());
  const CompressedMatrix &by_cols = m_.by_cols();
  for (int j = 0; j < user_cols_; ++j) {
    const double xj = lp.x[size_t(j)];
    if (xj == 0.0) continue;
    for (int64_t p = by_cols.start[size_t(j)]; p < by_cols.start[size_t(j) + 1]; ++p)
      lp.slack[size_t(by_cols.index[size_t(p)])] -= by_cols.value[size_t(p)] * xj;
  }
  if (sol.dual_valid && int(sol.row_dual.size()) >= rows && int(sol.col_dual.size()) >= user_cols_) {
    lp.duals.assign(sol.row_dual.begin(), sol.row_dual.begin() + rows);
    lp.djs.assign(sol.col_dual.begin(), sol.col_dual.begin() + user_cols_);
  } else {
    lp.duals.clear();
    lp.djs.clear();
  }
  w.state->lp_status = LP_OPTIMAL;
  w.state->lp_objective = w.highs.getInfo().objective_function_value;
}

// A solution whose discrete columns all take allowed values: the preintsol
// callbacks may reject it or move the cutoff; if it stands and improves, it
// becomes the incumbent. True when it was accepted.
bool Search::candidate(Worker &w, const std::vector<double> &reduced_x, double objective, int soltype) {
  std::vector<double> restored;
  if (presolve_ && !presolve_->restore(reduced_x, restored)) {
    warn("a solution of the presolved model could not be postsolved; it is not used");
    return false;
  }
  const std::vector<double> &x = presolve_ ? restored : reduced_x;
  int reject = 0;
  double cutoff = have_incumbent_ ? user(cutoff_) : sense_ * 1e20;
  for (const CallbackEntry &e : prob_->callbacks.snapshot(CB_PREINTSOL))
    reinterpret_cast<KRVScbpreintsol_fn>(e.fn)(w.prob, e.data, soltype, &reject, &cutoff);
  if (std::fabs(cutoff) < 1e20 && sense_ * cutoff < cutoff_) cutoff_ = sense_ * cutoff;
  if (reject != 0 || objective >= incumbent_) return false;
  have_incumbent_ = true;
  incumbent_ = objective;
  cutoff_ = std::min(cutoff_, objective);
  SolutionVectors &mip = state_.mip;
  mip.valid = true;
  mip.x.assign(x.begin(), x.begin() + user_cols_);
  mip.slack.assign(m_.rhs.begin(), m_.rhs.end());
  const CompressedMatrix &by_cols = m_.by_cols();
  for (int j = 0; j < user_cols_; ++j) {
    const double xj = mip.x[size_t(j)];
    if (xj == 0.0) continue;
    for (int64_t p = by_cols.start[size_t(j)]; p < by_cols.start[size_t(j) + 1]; ++p)
      mip.slack[size_t(by_cols.index[size_t(p)])] -= by_cols.value[size_t(p)] * xj;
  }
  state_.mip_objective = user(objective);
  state_.mip_solutions += 1;
  fix_globally();
  state_.best_bound = user(best_bound(&w));
  ++incumbent_version_;
  sync_state(w);
  call_each<KRVScbintsol_fn>(prob_->callbacks, CB_INTSOL, w.prob);
  return true;
}

// The fractional column to branch on (-1 when every discrete column takes
// an allowed value): the best product of pseudo-cost estimates of both
// directions; columns without history count with the average.
int Search::choose_branch(const std::vector<double> &x, double &value) const {
  double down_avg = 0, up_avg = 0;
  int down_n = 0, up_n = 0;
  for (int j = 0; j < n_; ++j) {
    if (pc_down_count_[size_t(j)] > 0) down_avg += pc_down_sum_[size_t(j)] / pc_down_count_[size_t(j)], ++down_n;
    if (pc_up_count_[size_t(j)] > 0) up_avg += pc_up_sum_[size_t(j)] / pc_up_count_[size_t(j)], ++up_n;
  }
  down_avg = down_n ? down_avg / down_n : 1.0;
  up_avg = up_n ? up_avg / up_n : 1.0;
  int best = -1;
  double best_score = -1;
  int best_priority = INT32_MAX;
  for (int j = 0; j < n_; ++j) {
    const HighsVarType t = integrality_[size_t(j)];
    if (t == HighsVarType::kContinuous || priority_[size_t(j)] > best_priority) continue;
    const double v = x[size_t(j)];
    double down = 0, up = 0;
    if (t == HighsVarType::kSemiContinuous || t == HighsVarType::kSemiInteger) {
      const double l = sc_lower_[size_t(j)];
      if (v > tol_ && v < l - tol_) {
        down = v;  // to 0
        up = l - v;
      } else if (t == HighsVarType::kSemiInteger && v >= l - tol_) {
        const double f = v - std::floor(v);
        if (std::min(f, 1 - f) <= tol_) continue;
        down = f, up = 1 - f;
      } else {
        continue;
      }
    } else {
      const double f = v - std::floor(v);
      if (std::min(f, 1 - f) <= tol_) continue;
      down = f, up = 1 - f;
    }
    // Without history a column's given pseudo costs stand in for the average.
    const double down_prior = given_down_pc_[size_t(j)] > 0 ? given_down_pc_[size_t(j)] : down_avg;
    const double up_prior = given_up_pc_[size_t(j)] > 0 ? given_up_pc_[size_t(j)] : up_avg;
    const double pd = pc_down_count_[size_t(j)] ? pc_down_sum_[size_t(j)] / pc_down_count_[size_t(j)] : down_prior;
    const double pu = pc_up_count_[size_t(j)] ? pc_up_sum_[size_t(j)] / pc_up_count_[size_t(j)] : up_prior;
    const double score = std::max(down * pd, 1e-6) * std::max(up * pu, 1e-6);
    if (priority_[size_t(j)] < best_priority) {
      best_priority = priority_[size_t(j)];
      best_score = -1;
    }
    if (score > best_score) {
      best_score = score;
      best = j;
      value = v;
    }
  }
  return best;
}

// Reliability branching: fractional integer columns whose pseudo-costs rest
// on fewer than kReliable observations in a direction (the most fractional
// first, at most kTried) get a few dual simplex iterations on each side from
// the node's basis; what the objective moves feeds their pseudo-costs, and
// the choice is then made on pseudo-costs as usual. A column one side of
// which is infeasible or beyond the cutoff is taken at once; both sides
// infeasible make the node infeasible. HiGHS is left holding the node's
// basis and bounds.
int Search::reliable_choice(Worker &w, const std::vector<double> &x, int col, double &value, double objective,
                            bool &infeasible) {
  Highs &highs = w.highs;
  constexpr int kReliable = 4, kTried = 8;
  constexpr HighsInt kIterations = 200;
  if (quadratic_ || (prob_->stored_branchings && !prob_->stored_branchings->empty())) return col;
  std::vector<std::pair<double, int>> unreliable;
  for (int j = 0; j < n_; ++j) {
    if (integrality_[size_t(j)] != HighsVarType::kInteger || priority_[size_t(j)] != priority_[size_t(col)]) continue;
    const double f = x[size_t(j)] - std::floor(x[size_t(j)]);
    if (std::min(f, 1 - f) <= tol_) continue;
    if (std::min(pc_down_count_[size_t(j)], pc_up_count_[size_t(j)]) >= kReliable) continue;
    unreliable.emplace_back(-std::min(f, 1 - f), j);
  }
  if (unreliable.empty()) return col;
  std::sort(unreliable.begin(), unreliable.end());
  if (unreliable.size() > size_t(kTried)) unreliable.resize(size_t(kTried));
  const HighsBasis basis = highs.getBasis();
  const double limit = have_incumbent_ ? cutoff_ - cutoff_margin() : INFINITY;
  highs.setOptionValue("simplex_iteration_limit", kIterations);
  int decided = -1;
  bool stopped = false;
  for (const auto &entry : unreliable) {
    const int j = entry.second;
    const double v = x[size_t(j)];
    bool side_closed[2] = {false, false};
    for (int side = 0; side < 2 && !stopped; ++side) {
      const double lo = side == 0 ? w.lb[size_t(j)] : std::ceil(v);
      const double up = side == 0 ? std::floor(v) : w.ub[size_t(j)];
      highs.changeColBounds(j, lo, up);
      run_unlocked(w);
      state_.simplex_iterations += std::max<int64_t>(highs.getInfo().simplex_iteration_count, 0);
      const HighsModelStatus status = highs.getModelStatus();
      double moved = -1;
      if (status == HighsModelStatus::kInfeasible) {
        side_closed[side] = true;
      } else if (status == HighsModelStatus::kOptimal || status == HighsModelStatus::kIterationLimit) {
        const double side_objective = sense_ * highs.getInfo().objective_function_value;
        if (status == HighsModelStatus::kOptimal && side_objective >= limit) {
          side_closed[side] = true;
          note_pruned(side_objective);
        }
        moved = std::max(side_objective - objective, 0.0);
      } else if (status == HighsModelStatus::kTimeLimit || status == HighsModelStatus::kInterrupt) {
        stopped = true;
      }
      highs.changeColBounds(j, w.lb[size_t(j)], w.ub[size_t(j)]);
      highs.setBasis(basis);
      if (moved >= 0 && std::isfinite(moved)) {
        const double distance = side == 0 ? v - std::floor(v) : std::ceil(v) - v;
        if (side == 0) pc_down_sum_[size_t(j)] += moved / distance, ++pc_down_count_[size_t(j)];
        else pc_up_sum_[size_t(j)] += moved / distance, ++pc_up_count_[size_t(j)];
      }
    }
    if (stopped) break;
    if (side_closed[0] && side_closed[1]) {
      infeasible = true;
      break;
    }
    if (side_closed[0] || side_closed[1]) {
      decided = j;
      break;
    }
  }
  highs.setOptionValue("simplex_iteration_limit", kHighsIInf);
  if (infeasible) return -1;
  if (decided >= 0) {
    value = x[size_t(decided)];
    return decided;
  }
  return choose_branch(x, value);
}

// HiGHS run on the worker's own instance; the other workers go on meanwhile.
void Search::run_unlocked(Worker &w) {
  w.lock->unlock();
  struct Relock {
    std::unique_lock<std::mutex> &lock;
    ~Relock() { lock.lock(); }
  } relock{*w.lock};
  NodeLpWake node_wake(w);
  w.highs.run();
}

void Search::update_pseudocost(const Node &node, double objective) {
  if (node.branch_col < 0 || node.branch_distance <= 0 || !std::isfinite(node.bound)) return;
  const double gain = std::max(objective - node.bound, 0.0) / node.branch_distance;
  const size_t j = size_t(node.branch_col);
  if (node.direction < 0) pc_down_sum_[j] += gain, ++pc_down_count_[j];
  else pc_up_sum_[j] += gain, ++pc_up_count_[j];
}

// Makes HiGHS hold the node's local rows after the rows every node has:
// rows past the longest prefix shared with what it holds are replaced.
void Search::sync_rows(Worker &w, const Node &node) {
  LocalRows &in_highs = w.in_highs;
  const int first_local = base_rows_ + int(w.global_rows);
  size_t shared = 0;
  while (shared < in_highs.size() && shared < node.rows.size() && in_highs[shared] == node.rows[shared]) ++shared;
  if (shared < in_highs.size()) {
    w.highs.deleteRows(first_local + int(shared), first_local + int(in_highs.size()) - 1);
    in_highs.resize(shared);
    w.last_solved = 0;  // the basis HiGHS holds no longer belongs to a node
  }
  if (shared == node.rows.size()) return;
  std::vector<double> lower, upper, value;
  std::vector<HighsInt> start, index;
  for (size_t r = shared; r < node.rows.size(); ++r) {
    const LocalRow &row = *node.rows[r];
    lower.push_back(row.lower);
    upper.push_back(row.upper);
    start.push_back(HighsInt(index.size()));
    index.insert(index.end(), row.cols.begin(), row.cols.end());
    value.insert(value.end(), row.coefs.begin(), row.coefs.end());
    in_highs.push_back(node.rows[r]);
  }
  w.highs.addRows(HighsInt(lower.size()), lower.data(), upper.data(), HighsInt(index.size()), start.data(),
                 index.data(), value.data());
}

// The parent's basis for the rows HiGHS holds now: rows added since it was
// taken (global rows, the node's own local rows) start with basic slacks.
void Search::restore_basis(Worker &w, const Node &node) {
  const HighsBasis &parent = *node.basis;
  HighsBasis basis = parent;
  basis.row_status.clear();
  const size_t kept_global = size_t(base_rows_ + node.basis_global_rows);
  if (parent.row_status.size() != kept_global + size_t(node.basis_local_rows)) return;
  basis.row_status.assign(parent.row_status.begin(), parent.row_status.begin() + long(kept_global));
  basis.row_status.resize(size_t(base_rows_) + w.global_rows, HighsBasisStatus::kBasic);
  basis.row_status.insert(basis.row_status.end(), parent.row_status.begin() + long(kept_global),
                          parent.row_status.end());
  basis.row_status.resize(size_t(base_rows_) + w.global_rows + node.rows.size(), HighsBasisStatus::kBasic);
  w.highs.setBasis(basis);
}

// The search's own division on column col at value `value`, as a
// branching object: branch 0 down, branch 1 up, the nearer side first.
std::unique_ptr<krvs_branchobj_s> Search::own_branching(int col, double value) const {
  auto object = std::make_unique<krvs_branchobj_s>();
  object->prob = prob_;
  object->search_owned = true;
  object->id = 0;
  const HighsVarType t = integrality_[size_t(col)];
  const double l = sc_lower_[size_t(col)];
  double down_ub, up_lb;
  if ((t == HighsVarType::kSemiContinuous || t == HighsVarType::kSemiInteger) && value < l - tol_) {
    down_ub = 0;
    up_lb = l;
  } else {
    down_ub = std::floor(value);
    up_lb = std::ceil(value);
    if (t == HighsVarType::kSemiInteger && down_ub < l) down_ub = 0;
  }
  object->branches.resize(2);
  object->branches[0].bounds.push_back(BranchBound{'U', col, down_ub});
  object->branches[1].bounds.push_back(BranchBound{'L', col, up_lb});
  object->preferred = value - std::floor(value) >= 0.5 ? 1 : 0;
  if (direction_[size_t(col)] == 'U') object->preferred = 1;
  if (direction_[size_t(col)] == 'D') object->preferred = 0;
  return object;
}

// The children an object makes at the node the worker has just solved.
std::vector<ChildSpec> Search::children_of(const Worker &w, const krvs_branchobj_s &object) const {
  std::vector<ChildSpec> children(object.branches.size());
  const Model &m = m_;
  for (size_t b = 0; b < object.branches.size(); ++b) {
    const Branch &branch = object.branches[b];
    ChildSpec &child = children[b];
    std::map<int, std::pair<double, double>> bounds;
    for (const BranchBound &bd : branch.bounds) {
      auto it = bounds.find(bd.col);
      if (it == bounds.end())
        it = bounds.emplace(bd.col, std::make_pair(w.lb[size_t(bd.col)], w.ub[size_t(bd.col)])).first;
      if (bd.type == 'L' || bd.type == 'B') it->second.first = std::max(it->second.first, bd.value);
      if (bd.type == 'U' || bd.type == 'B') it->second.second = std::min(it->second.second, bd.value);
    }
    for (auto &[col, range] : bounds) {
      double lo = range.first, up = range.second;
      const HighsVarType t = integrality_[size_t(col)];
      if (t == HighsVarType::kInteger) {
        lo = std::ceil(lo - tol_);
        up = std::floor(up + tol_);
      }
      child.changes.push_back(BoundChange{col, lo, up});
    }
    for (const BranchRow &row : branch.rows) {
      auto local = std::make_shared<LocalRow>();
      local->lower = row.type == 'L' ? -kHighsInf : row.rhs;
      local->upper = row.type == 'G' ? kHighsInf : row.rhs;
      local->cols = row.cols;
      local->coefs = row.coefs;
      child.rows.push_back(std::move(local));
    }
    for (uint64_t id : branch.cuts) {
      const Cut *cut = m.mip.cuts.find(id);
      if (!cut) continue;  // checked before: cannot happen
      auto local = std::make_shared<LocalRow>();
      local->lower = cut->rowtype == 'L' ? -kHighsInf : cut->rhs;
      local->upper = cut->rowtype == 'G' ? kHighsInf : cut->rhs;
      local->cols = cut->cols;
      local->coefs = cut->coefs;
      child.rows.push_back(std::move(local));
    }
  }
  return children;
}

// A branching handed back by a chgbranchobject callback is used when it is
// valid and every branch cuts off the node's relaxation solution (a branch
// that keeps it would give a child with the same relaxation, over and over).
bool Search::usable_replacement(const krvs_branchobj_s &object, const std::vector<ChildSpec> &children,
                                const std::vector<double> &x, int node_id) {
  for (size_t b = 0; b < children.size(); ++b) {
    bool excludes = false;
    for (const BoundChange &c : children[b].changes)
      if (x[size_t(c.col)] < c.lb - tol_ || x[size_t(c.col)] > c.ub + tol_ || c.lb > c.ub) excludes = true;
    for (const auto &row : children[b].rows)
      if (row->violated(x, tol_)) excludes = true;
    if (!excludes) {
      warn("branching object " + std::to_string(object.id) + " not used at node " + std::to_string(node_id) +
           ": its branch " + std::to_string(b) + " keeps the node's solution");
      return false;
    }
  }
  return true;
}

// Divides a node: by the branching object stored for it if there is one,
// else by the search's own choice on column col (col < 0: none); the
// chgbranchobject callbacks may replace either.
void Search::branch(Worker &w, const Node &node, int col, double value, double objective,
                    const std::vector<double> &x) {
  std::unique_ptr<krvs_branchobj_s> object;
  if (prob_->stored_branchings) {
    object = prob_->stored_branchings->take(node.id);
    if (object) {
      const BranchCheck check = check_branch_object(*object);
      if (check.status != KRVS_BO_VALID) {
        warn("branching object stored for node " + std::to_string(node.id) + " not used: " + check.message);
        object.reset();
      } else {
        object->search_owned = true;
      }
    }
  }
  if (!object && col < 0) return;
  if (!object) object = own_branching(col, value);
  std::vector<ChildSpec> children = children_of(w, *object);
  int first = object->preferred >= 0 ? object->preferred : 0;

  // Callbacks see the branching on the model's own columns only.
  bool shown = prob_->callbacks.any(CB_CHGBRANCHOBJECT);
  for (const Branch &b : object->branches)
    for (const BranchBound &bd : b.bounds)
      if (bd.col >= user_cols_) shown = false;
  if (shown) {
    for (const CallbackEntry &e : prob_->callbacks.snapshot(CB_CHGBRANCHOBJECT)) {
      KRVSbranchobject replacement = object.get();
      reinterpret_cast<KRVScbchgbranchobject_fn>(e.fn)(w.prob, e.data, object.get(), &replacement);
      if (interrupted(w) != 0) {
        if (replacement && replacement != object.get()) delete replacement;
        return;
      }
      if (!replacement || replacement == object.get()) {
        // Changed in place, perhaps.
        const BranchCheck check = check_branch_object(*object);
        if (check.status != KRVS_BO_VALID) {
          log_("Error: the branching object of node " + std::to_string(node.id) + " is invalid: " + check.message);
          prob_->interrupt_reason.store(STOP_USER);
          stop_ = STOP_USER;
          return;
        }
        children = children_of(w, *object);
        first = object->preferred >= 0 ? object->preferred : 0;
        continue;
      }
      std::unique_ptr<krvs_branchobj_s> taken(replacement);
      const BranchCheck check = check_branch_object(*taken);
      if (!in_search(taken->prob) || check.status != KRVS_BO_VALID) {
        log_("Error: the branching object returned by chgbranchobject at node " + std::to_string(node.id) +
             " is invalid: " + (!in_search(taken->prob) ? std::string("it belongs to another problem") : check.message));
        prob_->interrupt_reason.store(STOP_USER);
        stop_ = STOP_USER;
        return;
      }
      std::vector<ChildSpec> replaced = children_of(w, *taken);
      if (!usable_replacement(*taken, replaced, x, node.id)) continue;
      taken->search_owned = true;
      object = std::move(taken);
      children = std::move(replaced);
      first = object->preferred >= 0 ? object->preferred : 0;
    }
  }
  make_children(w, node, std::move(children), first, objective, x);
}

// Child nodes of a node, one per branch; the branch `first` is solved
// next, the others wait (in branch order when taken depth first).
void Search::make_children(Worker &w, const Node &node, std::vector<ChildSpec> children, int first,
                           double objective, const std::vector<double> &x) {
  std::shared_ptr<const HighsBasis> shared_basis;
  if (!quadratic_) shared_basis = std::make_shared<const HighsBasis>(w.highs.getBasis());
  std::vector<std::shared_ptr<Node>> made;
  for (size_t b = 0; b < children.size(); ++b) {
    auto child = std::make_shared<Node>();
    child->id = ++next_id_;
    child->parent = node.id;
    child->depth = node.depth + 1;
    child->branch = int(b);
    child->bound = objective;
    child->changes = node.changes;
    child->changes.insert(child->changes.end(), children[b].changes.begin(), children[b].changes.end());
    child->rows = node.rows;
    child->rows.insert(child->rows.end(), children[b].rows.begin(), children[b].rows.end());
    child->basis = shared_basis;
    child->basis_global_rows = int(w.global_rows);
    child->basis_local_rows = int(w.in_highs.size());
    // A single bound change feeds the pseudo-costs of its column.
    if (children[b].changes.size() == 1 && children[b].rows.empty()) {
      const BoundChange &c = children[b].changes[0];
      const double v = x[size_t(c.col)];
      if (v > c.ub) child->branch_col = c.col, child->direction = -1, child->branch_distance = v - c.ub;
      else if (v < c.lb) child->branch_col = c.col, child->direction = 1, child->branch_distance = c.lb - v;
    }
    if (prob_->callbacks.any(CB_NEWNODE)) {
      MipStructures &mip = prob_->model->mip;
      mip.branch_bounds = 0;
      mip.branch_cuts.clear();
      call_each<KRVScbnewnode_fn>(prob_->callbacks, CB_NEWNODE, w.prob, node.id, child->id, int(b));
      apply_user_branch_items(w, *child);
    }
    made.push_back(std::move(child));
  }
  if (first < 0 || first >= int(made.size())) first = 0;
  for (size_t b = made.size(); b-- > 0;)
    if (int(b) != first) push_open(made[b]);
  w.dive = made[size_t(first)];
}

// Until there is an incumbent the newest node goes first (a dive finds one
// sooner); then the best bound.
std::shared_ptr<Node> Search::pop_open() {
  std::shared_ptr<Node> node;
  if (!have_incumbent_) {
    while (!stack_.empty() && !node) {
      if (!stack_.back()->taken) node = stack_.back();
      stack_.pop_back();
    }
  } else {
    while (!open_.empty() && !node) {
      if (!open_.top()->taken) node = open_.top();
      open_.pop();
    }
  }
  node->taken = true;
  --open_count_;
  while (!open_.empty() && open_.top()->taken) open_.pop();
  while (!stack_.empty() && stack_.back()->taken) stack_.pop_back();
  return node;
}

// The lowest bound of the nodes still to do (open, dived into next, or
// being processed by a worker other than `self`) and of what was pruned
// only thanks to the gap tolerance.
double Search::best_bound(const Worker *self) const {
  double bound = std::min(have_incumbent_ ? incumbent_ : INFINITY, margin_pruned_bound_);
  if (!open_.empty()) bound = std::min(bound, open_.top()->bound);
  for (const Worker *w : workers_) {
    if (w->dive) bound = std::min(bound, w->dive->bound);
    if (w != self && w->processing) bound = std::min(bound, w->processing->bound);
  }
  return bound;
}

void Search::log_progress(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && nodes_ % 1000 != 0 && std::chrono::duration<double>(now - last_log_).count() < 1.0) return;
  last_log_ = now;
  size_t open = open_count_;
  for (const Worker *w : workers_) open += w->dive ? 1 : 0;
  char text[200];
  snprintf(text, sizeof text, "Search: %lld nodes, %zu open, best bound %.10g, incumbent %s", (long long)nodes_,
           open, user(best_bound()),
           have_incumbent_ ? std::to_string(user(incumbent_)).c_str() : "none");
  log_(text);
  raise_stop_event(prob_, CB_GLOBALLOG);
}

bool Search::should_stop(Worker &w) {
  if (stop_ != STOP_NONE) return true;
  if (time_check_.poll(prob_)) {}
  const int reason = interrupted(w);
  if (reason != 0) {
    stop_ = reason;
    return true;
  }
  if (nodes_ >= prob_->controls.get_int(CTRL_8005)) {
    stop_ = STOP_NODELIMIT;
    return true;
  }
  const double limit = prob_->controls.get_double(CTRL_7001);
  if (limit < 1e20 && std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count() >= limit) {
    stop_ = STOP_TIMELIMIT;
    return true;
  }
  return false;
}

void Search::process(Worker &w, std::shared_ptr<Node> node) {
  ++nodes_;
  state_.nodes = nodes_;
  sync_state(w);
  w.state->current_node = node->id;
  w.state->node_depth = node->depth;
  w.state->active_nodes = int64_t(open_count_);
  if (have_incumbent_ && node->bound >= cutoff_ - cutoff_margin()) {
    note_pruned(node->bound);
    call_each<KRVScbnodecutoff_fn>(prob_->callbacks, CB_NODECUTOFF, w.prob, node->id);
    return;
  }
  int infeasible = 0;
  for (const CallbackEntry &e : prob_->callbacks.snapshot(CB_PRENODE))
    reinterpret_cast<KRVScbprenode_fn>(e.fn)(w.prob, e.data, &infeasible);
  if (infeasible != 0) return;

  NodeResult result = solve_node(w, *node);
  double objective = 0;
  // Rounds: held rows a solution violates return and the node is solved
  // again; cuts the optnode callbacks add to the pool do the same.
  constexpr int kMaxCutRounds = 50;
  for (int round = 0;; ++round) {
    if (result == NodeResult::Stopped) {
      node->taken = false;
      push_open(std::move(node));  // still open: its bound counts for the best bound
      return;
    }
    if (result == NodeResult::Unsolved) {
      incomplete_ = true;
      return;
    }
    if (result == NodeResult::Infeasible) {
      call_each<KRVScbinfnode_fn>(prob_->callbacks, CB_INFNODE, w.prob);
      return;
    }
    if (result == NodeResult::Unbounded) {
      if (node->id == 1) throw Error("unbounded relaxation");
      incomplete_ = true;
      return;
    }
    objective = sense_ * w.highs.getInfo().objective_function_value;
    if (!held_rows_.empty()) {
      double unused = 0;
      const bool integral = choose_branch(w.highs.getSolution().col_value, unused) < 0;
      if (activate_violated_rows(w, integral)) {
        result = solve_node(w, *node, true);
        continue;
      }
    }
    if (round == 0) update_pseudocost(*node, objective);
    if (node->id == 1) {
      state_.best_bound = user(objective);
      sync_state(w);
    }
    if (have_incumbent_ && objective >= cutoff_ - cutoff_margin()) {
      note_pruned(objective);
      call_each<KRVScbnodecutoff_fn>(prob_->callbacks, CB_NODECUTOFF, w.prob, node->id);
      return;
    }
    if (node_callbacks_) publish_node_solution(w);
    for (const CallbackEntry &e : prob_->callbacks.snapshot(CB_OPTNODE))
      reinterpret_cast<KRVScboptnode_fn>(e.fn)(w.prob, e.data, &infeasible);
    if (infeasible != 0) {
      call_each<KRVScbinfnode_fn>(prob_->callbacks, CB_INFNODE, w.prob);
      return;
    }
    if (interrupted(w) != 0) return;
    if (round < kMaxCutRounds && add_new_pool_cuts(w)) {
      result = solve_node(w, *node, true);
      continue;
    }
    break;
  }
  raise_stop_event(w.prob, CB_CUTLOG);
  if (interrupted(w) != 0) return;
  if (!quadratic_) fix_by_reduced_costs(w, *node, objective);

  const std::vector<double> x = w.highs.getSolution().col_value;
  double value = 0;
  int col = choose_branch(x, value);
  bool infeasible_both_ways = false;
  if (col >= 0) col = reliable_choice(w, x, col, value, objective, infeasible_both_ways);
  if (infeasible_both_ways) {
    call_each<KRVScbinfnode_fn>(prob_->callbacks, CB_INFNODE, w.prob);
    return;
  }
  if (col < 0) {
    if (candidate(w, x, objective, 0)) return;
    // Rejected: a rule the rows do not state refuses this point. The node
    // goes on with a column that is not fixed yet, split at its value.
    for (int j = 0; j < n_ && col < 0; ++j)
      if (integrality_[size_t(j)] != HighsVarType::kContinuous && w.ub[size_t(j)] - w.lb[size_t(j)] > tol_) col = j;
    if (col >= 0) {
      value = std::round(x[size_t(col)]);
      // Split between value and a neighbour inside the bounds.
      value = value + 0.5 <= w.ub[size_t(col)] ? value + 0.5 : value - 0.5;
    }
    // col < 0: nothing left to split; only a branching object stored for
    // the node can still divide it.
  }
  branch(w, *node, col, value, objective, x);
}

// Tightens the node's bounds (for its subtree) by its relaxation's reduced
// costs against the incumbent; the root's fixings hold for the whole search,
// and the root's relaxation is kept for fixings by later incumbents.
void Search::fix_by_reduced_costs(Worker &w, Node &node, double objective) {
  const HighsSolution &sol = w.highs.getSolution();
  if (!sol.dual_valid || int(sol.col_dual.size()) < n_ || int(sol.col_value.size()) < n_) return;
  std::vector<double> d(sol.col_dual.begin(), sol.col_dual.begin() + n_);
  for (double &v : d) v *= sense_;
  if (node.id == 1) {
    root_objective_ = objective;
    root_x_.assign(sol.col_value.begin(), sol.col_value.begin() + n_);
    root_d_ = d;
  }
  if (!have_incumbent_) return;
  const std::vector<TightenedBound> fixings =
      reduced_cost_fixings(integrality_, w.lb, w.ub, sol.col_value, d, objective, cutoff_ - cutoff_margin(), tol_);
  if (!fixings.empty()) note_pruned(cutoff_ - cutoff_margin());
  for (const TightenedBound &t : fixings) {
    w.lb[size_t(t.col)] = t.lower;
    w.ub[size_t(t.col)] = t.upper;
    if (node.id == 1) {
      root_lb_[size_t(t.col)] = t.lower;
      root_ub_[size_t(t.col)] = t.upper;
    } else {
      node.changes.push_back(BoundChange{t.col, t.lower, t.upper});
    }
  }
}

// Fixings for the whole search from the root's relaxation and the cutoff.
void Search::fix_globally() {
  if (root_d_.empty() || !have_incumbent_) return;
  const std::vector<TightenedBound> fixings = reduced_cost_fixings(integrality_, root_lb_, root_ub_, root_x_, root_d_,
                                                                   root_objective_, cutoff_ - cutoff_margin(), tol_);
  if (!fixings.empty()) note_pruned(cutoff_ - cutoff_margin());
  for (const TightenedBound &t : fixings) {
    root_lb_[size_t(t.col)] = t.lower;
    root_ub_[size_t(t.col)] = t.upper;
  }
}

// Gives back their bounds to the held rows the node's solution violates:
// model cuts at any solution, delayed rows at integral ones. They stay for
// the rest of the search (they are rows of the model). True when one did.
bool Search::activate_violated_rows(Worker &w, bool integral) {
  const std::vector<double> &activity = w.highs.getSolution().row_value;
  bool any = false;
  for (size_t k = 0; k < held_rows_.size(); ++k) {
    HeldRow &h = held_rows_[k];
    if (w.held_applied[k]) continue;
    if (!h.active) {
      // Given back by another worker, it applies here too; else only when violated.
      if ((h.delayed && !integral) || size_t(h.row) >= activity.size()) continue;
      const double a = activity[size_t(h.row)];
      if (a >= h.lower - feastol_ && a <= h.upper + feastol_) continue;
      h.active = true;
    }
    w.held_applied[k] = 1;
    w.highs.changeRowBounds(h.row, h.lower, h.upper);
    any = true;
  }
  return any;
}

// Cuts made active in the pool since HiGHS got its rows (addcuts or
// loadcuts in a callback) join the rows every node has, before the local
// rows. True when there were any.
bool Search::add_new_pool_cuts(Worker &w) {
  for (const auto &[id, cut] : m_.mip.cuts.cuts()) {
    if (!cut.active || !known_cuts_.insert(id).second) continue;
    auto row = std::make_shared<LocalRow>();
    row->lower = cut.rowtype == 'L' ? -kHighsInf : cut.rhs;
    row->upper = cut.rowtype == 'G' ? kHighsInf : cut.rhs;
    row->cols = cut.cols;
    row->coefs = cut.coefs;
    global_rows_.push_back(std::move(row));
  }
  return sync_global_rows(w);
}

// Gives a worker's HiGHS instance the global rows and the held rows' bounds
// that other workers added since it last looked. True when it got any.
bool Search::sync_global_rows(Worker &w) {
  bool changed = false;
  for (size_t k = 0; k < held_rows_.size(); ++k)
    if (held_rows_[k].active && !w.held_applied[k]) {
      w.held_applied[k] = 1;
      w.highs.changeRowBounds(held_rows_[k].row, held_rows_[k].lower, held_rows_[k].upper);
      changed = true;
    }
  if (w.global_rows == global_rows_.size()) return changed;
  // New global rows go before the local rows, which are added again later.
  if (!w.in_highs.empty()) {
    const int first_local = base_rows_ + int(w.global_rows);
    w.highs.deleteRows(first_local, first_local + int(w.in_highs.size()) - 1);
    w.in_highs.clear();
  }
  std::vector<double> lower, upper, value;
  std::vector<HighsInt> start, index;
  for (size_t r = w.global_rows; r < global_rows_.size(); ++r) {
    const LocalRow &row = *global_rows_[r];
    lower.push_back(row.lower);
    upper.push_back(row.upper);
    start.push_back(HighsInt(index.size()));
    index.insert(index.end(), row.cols.begin(), row.cols.end());
    value.insert(value.end(), row.coefs.begin(), row.coefs.end());
  }
  w.highs.addRows(HighsInt(lower.size()), lower.data(), upper.data(), HighsInt(index.size()), start.data(),
                  index.data(), value.data());
  w.global_rows = global_rows_.size();
  return true;
}

// What a newnode callback named for the child just made: stored bounds
// (setbranchbounds) tighten its bounds, pool cuts (setbranchcuts) become
// rows of its subtree.
void Search::apply_user_branch_items(Worker &w, Node &child) {
  MipStructures &mip = prob_->model->mip;
  if (mip.branch_bounds != 0) {
    auto found = mip.stored_bounds.find(mip.branch_bounds);
    if (found != mip.stored_bounds.end()) {
      const StoredBounds &sb = found->second;
      for (size_t k = 0; k < sb.cols.size(); ++k) {
        const int col = sb.cols[k];
        if (col < 0 || col >= user_cols_) continue;
        double lo = w.lb[size_t(col)], up = w.ub[size_t(col)];
        for (const BoundChange &c : child.changes)
          if (c.col == col) lo = c.lb, up = c.ub;
        if (sb.types[k] == 'L' || sb.types[k] == 'B') lo = std::max(lo, sb.vals[k]);
        if (sb.types[k] == 'U' || sb.types[k] == 'B') up = std::min(up, sb.vals[k]);
        if (integrality_[size_t(col)] == HighsVarType::kInteger) {
          lo = std::ceil(lo - tol_);
          up = std::floor(up + tol_);
        }
        child.changes.push_back(BoundChange{col, lo, up});
      }
    }
  }
  for (uint64_t id : mip.branch_cuts) {
    const Cut *cut = mip.cuts.find(id);
    if (!cut) continue;
    auto local = std::make_shared<LocalRow>();
    local->lower = cut->rowtype == 'L' ? -kHighsInf : cut->rhs;
    local->upper = cut->rowtype == 'G' ? kHighsInf : cut->rhs;
    local->cols = cut->cols;
    local->coefs = cut->coefs;
    child.rows.push_back(std::move(local));
  }
  mip.branch_bounds = 0;
  mip.branch_cuts.clear();
}

// The user's MIP starts, completed on the discrete model, become
// incumbents through the preintsol callbacks like any other solution; the
// usersolnotify callbacks hear what became of each.
void Search::offer_mip_starts(const HighsModel &discrete_model) {
  auto &starts = prob_->model->mip.mip_starts;
  for (size_t k = 0; k < starts.size(); ++k) {
    MipStart &start = starts[k];
    if (start.status != MIPSTART_PENDING) continue;
    StartCompletion done = complete_mip_start(discrete_model, user_cols_, start);
    start.status = done.status;
    if (done.status == MIPSTART_FEASIBLE || done.status == MIPSTART_COMPLETED) {
      start.objective = done.objective;
      if (int(done.solution.size()) >= n_) candidate(solving_thread_, done.solution, sense_ * done.objective, 1);
    }
    log_("MIP start " + (start.name.empty() ? std::to_string(k) : "'" + start.name + "'") + ": status " +
         std::to_string(start.status));
    if (prob_->user_solution_notify) prob_->user_solution_notify(prob_, start.name, start.status);
    else notify_user_solution(prob_, start.name, start.status);
  }
}

// HiGHS's MIP, run briefly (a fixed node budget, one thread, so the result
// is the same every time), as a source of a first incumbent and of root
// cuts; its solution goes through the preintsol callbacks like every other.
void Search::heuristic() {
  // heureffort 0 asks for no heuristics at all.
  if (quadratic_ || prob_->controls.get_double(CTRL_7009) <= 0) return;
  HighsModel model;
  if (reduced_discrete_) {
    model = std::move(*reduced_discrete_);
    reduced_discrete_.reset();
  } else {
    model = build_highs_model(m_, BuildMode::Discrete, prob_->controls.get_double(CTRL_7008)).model;
  }
  RootMipSettings settings;
  settings.integrality_tol = tol_;
  settings.feasibility_tol = feastol_;
  const double limit = prob_->controls.get_double(CTRL_7001);
  if (limit < 1e20) settings.time_limit = limit / 4;
  // The run comes before any worker starts, on the solving thread: a stop
  // request (Ctrl-C, KRVSinterrupt from another thread) names the problem
  // being solved, whose wake reaches the run's instance.
  KRVSprob prob = prob_;
  RootMipResult root = run_root_mip(
      std::move(model), settings, [prob] { return prob->interrupt_reason.load() != 0; },
      prob_->interrupt_wake);
  if (root.has_solution) candidate(solving_thread_, root.x, sense_ * root.objective, 1);
  else if (root.found) warn("the root heuristic's solution was not used: " + root.rejected);
  // The cuts may rely on the run's incumbent: without one at least as good
  // they could cut off the optimum.
  const double found = sense_ * root.found_objective;
  const bool cuts_hold = !root.found || (have_incumbent_ && incumbent_ <= found + 1e-9 * std::max(1.0, std::fabs(found)));
  if (cuts_hold && root.cuts.count() > 0) add_root_cuts(root.cuts);
}

// Rows every node has, added before the root is solved.
void Search::add_root_cuts(const CutRows &cuts) {
  for (int k = 0; k < cuts.count(); ++k) {
    auto row = std::make_shared<LocalRow>();
    row->lower = cuts.lower[size_t(k)];
    row->upper = cuts.upper[size_t(k)];
    row->cols.assign(cuts.index.begin() + cuts.start[size_t(k)], cuts.index.begin() + cuts.start[size_t(k) + 1]);
    row->coefs.assign(cuts.value.begin() + cuts.start[size_t(k)], cuts.value.begin() + cuts.start[size_t(k) + 1]);
    global_rows_.push_back(std::move(row));
  }
  root_cut_count_ = cuts.count();
}

// One worker's part of the search: nodes from its dive or the open list
// until the tree is done, the search stops or the gap closes. Called with
// the lock held.
void Search::work(Worker &w) {
  while (!finished_) {
    if (!w.dive && open_count_ == 0) {
      bool diving = false;
      for (const Worker *other : workers_) diving = diving || other->dive;
      if (busy_ == 0 && !diving) break;  // nobody can make new nodes: the tree is done
      wake_.wait(*w.lock);
      continue;
    }
    if (should_stop(w)) break;
    const double bound = best_bound(&w);
    gap_notify_.check(prob_, have_incumbent_ ? user(incumbent_) : sense_ * 1e20, user(bound), int(sense_));
    if (have_incumbent_ && gap_reached(prob_, user(incumbent_), user(bound))) {
      finished_ = true;
      break;
    }
    std::shared_ptr<Node> node;
    if (w.dive) {
      node = std::move(w.dive);
      w.dive.reset();
    } else {
      node = pop_open();
    }
    ++busy_;
    w.processing = node.get();
    struct Done {
      Search &search;
      Worker &w;
      ~Done() {
        --search.busy_;
        w.processing = nullptr;
        // New open nodes, or the last busy worker done: the waiting ones look again.
        search.wake_.notify_all();
      }
    } done{*this, w};
    try {
      process(w, node);
    } catch (const Error &e) {
      if (std::string(e.what()) != "unbounded relaxation") throw;
      unbounded_ = true;
      finished_ = true;
    }
    log_progress(false);
  }
  // Whatever ended this worker (a stop, the gap, the end of the tree) ends the others.
  finished_ = true;
  wake_.notify_all();
}

// Every worker on a thread of its own: mipthread tells the callbacks of a
// new worker (and the problem it has), destroymt of its end.
void Search::run_workers() {
  // A stop request names the problem being solved; its wake reaches the
  // instances of the workers' node LPs.
  std::vector<InterruptWake *> wakes;
  for (Worker *w : workers_) wakes.push_back(&w->prob->interrupt_wake);
  prob_->interrupt_wake.attach_workers(wakes.data(), wakes.size());
  struct Detach {
    InterruptWake &wake;
    ~Detach() { wake.detach_workers(); }
  } detach{prob_->interrupt_wake};
  run_worker_threads(
      int(workers_.size()),
      [this](int index) {
        Worker &w = *workers_[size_t(index)];
        std::unique_lock<std::mutex> lock(mutex_);
        w.lock = &lock;
        struct End {
          Search &search;
          Worker &w;
          ~End() {
            search.sync_state(w);
            call_each<KRVScbdestroymt_fn>(search.prob_->callbacks, CB_DESTROYMT, w.prob);
            search.interrupted(w);
            w.lock = nullptr;
          }
        } end{*this, w};
        sync_state(w);
        call_each<KRVScbmipthread_fn>(prob_->callbacks, CB_MIPTHREAD, prob_, w.prob);
        interrupted(w);
        work(w);
      },
      [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        wake_.notify_all();
      });
}

void Search::run() {
  setup();
  std::unique_lock<std::mutex> lock(mutex_);
  solving_thread_.lock = &lock;
  if (starts_model_) {
    offer_mip_starts(*starts_model_);
    starts_model_.reset();
  }
  heuristic();
  if (presolve_ || root_cut_count_ > 0) {
    std::string text = "Search: ";
    if (presolve_)
      text += "presolved to " + std::to_string(presolve_->reduced().lp_.num_col_) + " columns and " +
              std::to_string(presolve_->reduced().lp_.num_row_) + " rows, ";
    log_(text + std::to_string(root_cut_count_) + " root cuts");
  }
  push_open(std::make_shared<Node>());
  if (threads_.empty()) {
    work(solving_thread_);
  } else {
    lock.unlock();
    run_workers();
    lock.lock();
  }
  // A stop asked for while the last node was processed.
  if (stop_ == STOP_NONE && prob_->interrupt_reason.load() != 0) stop_ = prob_->interrupt_reason.load();
  log_progress(true);
  // Objects stored for nodes the search did not divide are dropped.
  if (prob_->stored_branchings) prob_->stored_branchings->clear();
  state_.current_node = state_.node_depth = state_.active_nodes = 0;
  state_.lp.clear();
  state_.lp_status = LP_UNSTARTED;
  state_.stop_status = stop_;
  const double bound = best_bound();
  state_.best_bound = std::isfinite(bound) ? user(bound) : (have_incumbent_ ? user(incumbent_) : 0.0);
  if (have_incumbent_) {
    const double gap = std::fabs(incumbent_ - bound);
    state_.mip_gap = std::isfinite(gap) ? gap / std::max(std::fabs(incumbent_), 1e-10) : KRVS_INFINITY;
  }
  bool exhausted = open_count_ == 0;
  for (const Worker *w : workers_) exhausted = exhausted && !w->dive;
  if (unbounded_) {
    state_.mip_status = MIP_UNBOUNDED;
  } else if (stop_ != STOP_NONE) {
    state_.mip_status = have_incumbent_ ? MIP_SOLUTION : MIP_NO_SOL_FOUND;
  } else if (exhausted && !incomplete_) {
    state_.mip_status = have_incumbent_ ? MIP_OPTIMAL : MIP_INFEAS;
  } else if (!exhausted && have_incumbent_) {
    state_.mip_status = MIP_OPTIMAL;  // stopped by the gap
    if (state_.mip_gap > 1e-9) state_.stop_status = STOP_MIPGAP;
  } else {
    state_.mip_status = have_incumbent_ ? MIP_SOLUTION : MIP_NO_SOL_FOUND;
  }
}

}  // namespace

void run_tree_search(KRVSprob prob, const std::function<void(const std::string &)> &log) {
  struct ReleaseWorkerResults {
    KRVSprob prob;
    ~ReleaseWorkerResults() { release_search_worker_results(prob); }
  } release{prob};
  Search search(prob, log);
  search.run();
}

}  // namespace krvs
