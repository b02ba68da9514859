// The HiGHS model a problem keeps between solves.
//
// Each engine problem owns one live HiGHS instance, built from the engine's
// model at the first solve and kept afterwards, so that a re-solve after a
// small change costs the change and not a new hand-over of the whole model,
// and HiGHS's basis stays for a warm start. The engine's own model stays the
// source of truth: queries and files never read the live instance.
//
// Every function that changes the engine's model tells the live model what
// it changed, through a ModelEdit created before the change:
//
//   ModelEdit edit(prob);            // before anything changes
//   ... change the engine's model ...
//   edit.bounds_changed(n, colind);  // what changed
//
// Reported changes are applied to the live instance with HiGHS's batch
// calls at the next solve (deletions at once). What cannot be applied in
// place, or is not worth it, is reported with edit.stale() and makes the
// next solve pass the whole model again. The live model is also stale,
// without any report, when the model's data version moved in a way no edit
// accounted for, or an edit reported nothing although the model changed: a
// function that forgets to report costs a full hand-over, never a wrong
// answer.
//
// What follows the user's columns and rows in the instance (the internal
// columns and rows of a MIP build's reformulations: sets, indicators,
// general and piecewise-linear constraints, columns that need internal
// columns; then the rows of the active cuts) is its tail. A model without
// reformulations takes every change in place, its cut rows appended and
// deleted one by one. With reformulations, changes of what no reformulation
// reads (see reformulation_inputs()) are applied in place as well; a change
// of what one reads, of the sets, indicators, general or piecewise-linear
// constraints themselves, of the cuts or of bigm, and every append or
// deletion instead lay the tail anew at the next solve: the old tail is
// deleted, the user's block takes its changes in place, and the tail built
// for the current model (build_highs_tail) is appended, with what it
// changes in the user's block (the bounds and big-M coefficients of
// indicator rows, the bounds and kinds of columns with internal columns) set
// again. The user's matrix itself is never passed again. Sets, general and
// piecewise-linear constraints are not part of a relaxation (which frees
// the rows of indicator constraints): a switch between a MIP and an LP
// solve changes the integrality of the instance's columns, and lays the
// tail anew where either build reformulates something.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "krvs.h"

class Highs;

namespace krvs {

class Model;
enum class BuildMode;
struct BuiltModel;
struct BuiltTail;

class LiveModel {
 public:
  LiveModel();
  ~LiveModel();
  // A copy of a problem starts without a live instance.
  LiveModel(const LiveModel &);
  LiveModel &operator=(const LiveModel &);

  // The next solve passes the whole model (the instance is freed now unless
  // a solve is using it).
  void mark_stale() noexcept;

  // ---- journal (use through ModelEdit) ----
  void bounds_changed(const int *cols, int64_t n);
  void costs_changed(const int *cols, int64_t n);
  // Row type, right-hand side or range.
  void rows_changed(const int *rows, int64_t n);
  void coef_changed(int row, int col);
  // Column types (their bounds may have changed with them).
  void coltypes_changed(const int *cols, int64_t n);
  // Thresholds of semi-continuous, semi-integer or partially integer columns.
  void limits_changed(const int *cols, int64_t n);
  // Cuts made active or inactive (read from the pool at the next solve).
  void cuts_changed();
  // Rows or columns appended at the end (read from the model at the next solve).
  void appended();
  // `removed` has one flag per row (column) of the model before the deletion.
  void rows_deleted(const std::vector<bool> &removed);
  void cols_deleted(const std::vector<bool> &removed);
  void sense_changed() { sense_dirty_ = true; }
  void constant_changed() { offset_dirty_ = true; }
  void quadratic_objective_changed() { hessian_dirty_ = true; }
  // Sets, general or piecewise-linear constraints added or deleted.
  void discrete_structure_changed();
  // Indicator constraints set or removed on these rows.
  void indicators_changed(const int *rows, int64_t n);

  // ---- solver side ----
  // The live instance brought up to date with `m` for a solve in `mode`, or
  // null when the whole model has to be passed (to the instance of fresh(),
  // followed by passed()).
  Highs *up_to_date(const Model &m, BuildMode mode, double bigm);
  Highs &fresh();
  // Records that `built` (made from `m` in `mode`) was passed to the instance.
  void passed(const Model &m, const BuiltModel &built, BuildMode mode, double bigm);
  // Whether the last up_to_date() laid the instance's tail anew.
  bool tail_laid_anew() const { return tail_laid_anew_; }
  // What the solver's options were made from at the last solve; the solver
  // compares and sets them again only when they differ (or are unknown).
  struct OptionKey {
    uint64_t controls_version = 0;
    bool discrete = false, quadratic = false;
    int algorithm = 0, threads = 0;
    bool operator==(const OptionKey &o) const {
      return controls_version == o.controls_version && discrete == o.discrete && quadratic == o.quadratic &&
             algorithm == o.algorithm && threads == o.threads;
    }
  };
  OptionKey options;
  bool options_set = false;

  // While a solve runs, changes only mark the instance stale and never touch it.
  class SolveScope {
   public:
    explicit SolveScope(LiveModel &live) : live_(live) { ++live_.solving_; }
    ~SolveScope() { --live_.solving_; }
    SolveScope(const SolveScope &) = delete;
    SolveScope &operator=(const SolveScope &) = delete;

   private:
    LiveModel &live_;
  };

 private:
  friend class ModelEdit;
  void clear_pending();
  // Of a built model with reformulations: flags the columns and rows whose
  // data the reformulations read (their internal rows and columns are made
  // from them), which therefore cannot change in place.
  void reformulation_inputs(const Model &m, BuildMode mode);
  // True when none of `items` is flagged in `held` (and all are inside it).
  static bool none_held(const std::vector<char> &held, const int *items, int64_t n);
  // `tail_follows`: the tail was dropped and is laid anew after, which sets
  // columns that need internal columns and the cut rows itself.
  bool apply_pending(const Model &m, bool tail_follows);
  // Deletes every column and row after the user's.
  bool drop_tail();
  // Appends `tail` after the user's block and sets in that block what the
  // old and the new tail change there.
  bool lay_tail(const Model &m, const BuiltTail &tail);
  // Brings the instance up to date, laying the tail anew when needed.
  bool apply(const Model &m);
  bool sync_cuts(const Model &m);
  // Passes the model's quadratic objective (an empty one when it has none)
  // in the instance's column count.
  bool pass_hessian(const Model &m);
  // Deletes the cut rows flagged in `drop` (one flag per entry of live_cuts_).
  bool remove_cut_rows(const std::vector<bool> &drop);

  std::unique_ptr<Highs> highs_;
  bool stale_ = true;
  int solving_ = 0;
  // What the instance was built from.
  const Model *model_ = nullptr;
  uint64_t synced_version_ = 0;
  int mode_ = 0;
  double bigm_ = 0.0;
  bool simple_ = false;  // no reformulation: structural changes apply in place
  // Without simple_: the user's columns and rows a reformulation reads, and
  // the positions in the user's rows where one adds to a coefficient.
  std::vector<char> held_cols_, held_rows_;
  std::vector<std::pair<int, int>> reformulated_coefs_;
  bool tail_dirty_ = false;  // the tail is laid anew at the next solve
  bool tail_laid_anew_ = false;
  bool has_hessian_ = false;
  int live_cols_ = 0, live_rows_ = 0;  // the user's columns and rows the instance holds
  // The ids of the cuts whose rows follow the user's rows, in row order.
  std::vector<uint64_t> live_cuts_;
  // Changes not yet applied, in the model's current indices.
  std::vector<int> dirty_bounds_, dirty_costs_, dirty_rows_, dirty_types_;
  std::vector<std::pair<int, int>> dirty_coefs_;
  bool sense_dirty_ = false, offset_dirty_ = false, hessian_dirty_ = false;
};

// The journal of one change of a problem's model; see the top of this file.
class ModelEdit {
 public:
  explicit ModelEdit(KRVSprob prob);
  ~ModelEdit();
  ModelEdit(const ModelEdit &) = delete;
  ModelEdit &operator=(const ModelEdit &) = delete;

  void bounds_changed(int n, const int *cols);
  void costs_changed(int n, const int *cols);
  void rows_changed(int n, const int *rows);
  void coef_changed(int row, int col);
  void coltypes_changed(int n, const int *cols);
  void limits_changed(int n, const int *cols);
  void cuts_changed();
  void appended();
  void rows_deleted(const std::vector<bool> &removed);
  void cols_deleted(const std::vector<bool> &removed);
  void sense_changed();
  void constant_changed();
  void quadratic_objective_changed();
  void discrete_structure_changed();
  void indicators_changed(int n, const int *rows);
  // A change of something the instance does not hold (quadratic rows, which
  // HiGHS never receives).
  void solver_model_unaffected();
  // A change the live instance cannot follow: the next solve passes the whole model.
  void stale();

 private:
  LiveModel &live();
  KRVSprob prob_;
  uint64_t version_before_;
  int exceptions_before_;
  bool reported_ = false;
};

}  // namespace krvs
