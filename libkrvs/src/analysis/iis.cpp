// Irreducible infeasible sets (IIS) of rows and column bounds.
//
// The first set: the Farkas certificate of the continuous relaxation (HiGHS's
// dual ray) names a small infeasible subsystem; a deletion filter then drops
// members while the rest stays infeasible, trying blocks of members at once
// and single members where a block cannot go. What is left is irreducible:
// a member is kept only when the set without it was feasible, and the set
// only shrinks after that. Problems with discrete columns are filtered with
// MIP feasibility checks, starting from the relaxation's subsystem when the
// relaxation is infeasible already.
//
// Further sets: any new set must miss at least one member of every set found
// so far. A depth-first search picks such members (a hitting set), pruning
// as soon as the model without them is feasible; the model without a full
// hitting set that is still infeasible holds a new set, which the filter
// above extracts.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/lp_session.h"
#include "api/model_checks.h"
#include "io/formats.h"
#include "solve/highs_build.h"

using namespace krvs;
using namespace krvs::analysis;

namespace krvs::analysis {
AnalysisState &analysis_state(KRVSprob prob) {
  if (!prob->analysis) prob->analysis = std::make_shared<AnalysisState>();
  return *prob->analysis;
}
}  // namespace krvs::analysis

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr size_t kMaxSets = 1000;
constexpr int64_t kMaxSearchChecks = 2000;

using Member = IisMember;

bool finite_bound(double v) { return v > -KRVS_INFINITY && v < KRVS_INFINITY; }

// Every row that constrains (indicator rows are left to the solver: dropped
// in the relaxation, kept in MIP checks) and every finite column bound.
std::vector<Member> universe(const Model &m) {
  std::vector<Member> out;
  for (int i = 0; i < m.rows(); ++i)
    if (m.rowtype[size_t(i)] != 'N' && !m.indicators.count(i)) out.push_back(Member{true, i, m.rowtype[size_t(i)]});
  for (int j = 0; j < m.cols(); ++j) {
    if (finite_bound(m.lb[size_t(j)])) out.push_back(Member{false, j, 'L'});
    if (finite_bound(m.ub[size_t(j)])) out.push_back(Member{false, j, 'U'});
  }
  return out;
}

int64_t key_of(const Model &m, const Member &e) {
  return e.is_row ? e.index : int64_t(m.rows()) + 2 * int64_t(e.index) + (e.side == 'U' ? 1 : 0);
}

// Feasibility checks of a set of members whose members can be switched off
// and on. Continuous: a HiGHS LP of the members' rows and the columns in
// them, with only the members' bounds. Discrete: the whole MIP with every
// row and bound that is not a member relaxed.
class Subsystem {
 public:
  Subsystem(KRVSprob prob, std::vector<Member> members, bool discrete)
      : m_(*prob->model), discrete_(discrete), members_(std::move(members)) {
    HighsModel model;
    if (discrete_)
      build_discrete(prob, model);
    else
      build_continuous(model);
    session_ = std::make_unique<LpSession>(prob, std::move(model));
    if (discrete_) session_->highs().setOptionValue("presolve", std::string("on"));
  }

  size_t size() const { return members_.size(); }
  const Member &member(size_t k) const { return members_[k]; }

  void set(size_t k, bool active) {
    const Member &e = members_[k];
    Highs &highs = session_->highs();
    const HighsLp &lp = highs.getLp();
    const int at = position_[k];
    if (e.is_row) {
      double lower = -kInf, upper = kInf;
      if (active) row_bounds(m_, e.index, lower, upper);
      highs.changeRowBounds(at, lower, upper);
    } else {
      double lower = lp.col_lower_[size_t(at)], upper = lp.col_upper_[size_t(at)];
      const double bound = e.side == 'L' ? m_.lb[size_t(e.index)] : m_.ub[size_t(e.index)];
      if (e.side == 'L') lower = active ? bound : -kInf;
      else upper = active ? bound : kInf;
      highs.changeColBounds(at, lower, upper);
    }
  }

  bool infeasible() {
    ++checks_;
    Highs &highs = session_->highs();
    HighsModelStatus status = HighsModelStatus::kNotset;
    try {
      status = session_->run("a feasibility check");
    } catch (const Error &) {
      // Last resort for a subsystem the simplex cannot settle: presolve.
      highs.clearSolver();
      highs.setOptionValue("presolve", std::string("on"));
      highs.run();
      status = highs.getModelStatus();
      if (!discrete_) highs.setOptionValue("presolve", std::string("off"));
    }
    switch (status) {
      case HighsModelStatus::kInfeasible:
      case HighsModelStatus::kUnboundedOrInfeasible: return true;
      case HighsModelStatus::kOptimal:
      case HighsModelStatus::kModelEmpty:
      case HighsModelStatus::kUnbounded: return false;
      default:
        if (highs.getInfo().primal_solution_status == kSolutionStatusFeasible) return false;
        throw Error("the feasibility of a subsystem could not be decided (" + highs.modelStatusToString(status) +
                    ")");
    }
  }

  // Farkas multipliers of the members after an infeasible continuous check:
  // rows get their dual ray entry, bounds -(y'A)_j on the side it leans on.
  bool certificate(std::vector<double> &member_dual) {
    if (discrete_) return false;
    Highs &highs = session_->highs();
    const HighsLp &lp = highs.getLp();
    std::vector<double> y(size_t(lp.num_row_), 0.0);
    bool has = false;
    if (highs.getDualRay(has, y.data()) != HighsStatus::kOk || !has) return false;
    double scale = 0.0;
    for (double v : y) scale = std::max(scale, std::fabs(v));
    if (scale == 0.0) return false;
    for (double &v : y)
      if (std::fabs(v) < 1e-9 * scale) v = 0.0;
    for (int sign : {1, -1}) {
      std::vector<double> r(size_t(lp.num_col_), 0.0), magnitude(size_t(lp.num_col_), 0.0);
      double rows_min = 0.0, box_max = 0.0;
      bool valid = true;
      for (HighsInt i = 0; i < lp.num_row_ && valid; ++i) {
        const double v = sign * y[size_t(i)];
        if (v == 0.0) continue;
        const double side = v > 0 ? lp.row_lower_[size_t(i)] : lp.row_upper_[size_t(i)];
        valid = std::isfinite(side);
        rows_min += v * side;
        for (HighsInt p = row_start_[size_t(i)]; p < row_start_[size_t(i) + 1]; ++p) {
          r[size_t(row_index_[size_t(p)])] += v * row_value_[size_t(p)];
          magnitude[size_t(row_index_[size_t(p)])] += std::fabs(v * row_value_[size_t(p)]);
        }
      }
      for (HighsInt j = 0; j < lp.num_col_ && valid; ++j) {
        const double v = r[size_t(j)];
        // Rounding residues of cancelling terms count as zero.
        if (std::fabs(v) <= 1e-9 * magnitude[size_t(j)]) {
          r[size_t(j)] = 0.0;
          continue;
        }
        const double bound = v > 0 ? lp.col_upper_[size_t(j)] : lp.col_lower_[size_t(j)];
        valid = std::isfinite(bound);
        box_max += v * bound;
      }
      if (!valid || rows_min - box_max <= 1e-9 * scale) continue;
      member_dual.assign(members_.size(), 0.0);
      for (size_t k = 0; k < members_.size(); ++k) {
        const Member &e = members_[k];
        const int at = position_[k];
        if (e.is_row) member_dual[k] = sign * y[size_t(at)];
        else if ((e.side == 'U' && r[size_t(at)] > 0) || (e.side == 'L' && r[size_t(at)] < 0))
          member_dual[k] = -r[size_t(at)];
      }
      return true;
    }
    return false;
  }

  int64_t checks() const { return checks_; }

 private:
  void build_continuous(HighsModel &model) {
    HighsLp &lp = model.lp_;
    std::unordered_map<int, int> column_at;
    auto column = [&](int j) {
      auto [it, added] = column_at.emplace(j, int(column_at.size()));
      if (added) {
        lp.col_lower_.push_back(-kInf);
        lp.col_upper_.push_back(kInf);
      }
      return it->second;
    };
    const CompressedMatrix &a = m_.by_rows();
    row_start_.assign(1, 0);
    position_.resize(members_.size());
    for (size_t k = 0; k < members_.size(); ++k) {
      const Member &e = members_[k];
      if (!e.is_row) continue;
      double lower, upper;
      row_bounds(m_, e.index, lower, upper);
      position_[k] = int(lp.row_lower_.size());
      lp.row_lower_.push_back(lower);
      lp.row_upper_.push_back(upper);
      for (int64_t p = a.start[size_t(e.index)]; p < a.start[size_t(e.index) + 1]; ++p) {
        row_index_.push_back(column(a.index[size_t(p)]));
        row_value_.push_back(a.value[size_t(p)]);
      }
      row_start_.push_back(HighsInt(row_index_.size()));
    }
    for (size_t k = 0; k < members_.size(); ++k) {
      const Member &e = members_[k];
      if (e.is_row) continue;
      const int at = column(e.index);
      position_[k] = at;
      if (e.side == 'L') lp.col_lower_[size_t(at)] = m_.lb[size_t(e.index)];
      else lp.col_upper_[size_t(at)] = m_.ub[size_t(e.index)];
    }
    lp.num_col_ = HighsInt(lp.col_lower_.size());
    lp.num_row_ = HighsInt(lp.row_lower_.size());
    lp.col_cost_.assign(size_t(lp.num_col_), 0.0);
    HighsSparseMatrix &mat = lp.a_matrix_;
    mat.format_ = MatrixFormat::kRowwise;
    mat.num_col_ = lp.num_col_;
    mat.num_row_ = lp.num_row_;
    mat.start_ = row_start_;
    mat.index_ = row_index_;
    mat.value_ = row_value_;
  }

  void build_discrete(KRVSprob prob, HighsModel &model) {
    BuiltModel built = build_highs_model(m_, BuildMode::Discrete, prob->controls.get_double(CTRL_7008));
    model = std::move(built.model);
    model.hessian_.clear();
    HighsLp &lp = model.lp_;
    std::fill(lp.col_cost_.begin(), lp.col_cost_.end(), 0.0);
    // Rows and bounds that are not members are relaxed.
    std::vector<char> row_member(size_t(m_.rows()), 0), lower_member(size_t(m_.cols()), 0),
        upper_member(size_t(m_.cols()), 0);
    position_.resize(members_.size());
    for (size_t k = 0; k < members_.size(); ++k) {
      const Member &e = members_[k];
      position_[k] = e.index;
      if (e.is_row) row_member[size_t(e.index)] = 1;
      else (e.side == 'L' ? lower_member : upper_member)[size_t(e.index)] = 1;
    }
    for (int i = 0; i < m_.rows(); ++i)
      if (!row_member[size_t(i)] && !m_.indicators.count(i)) {
        lp.row_lower_[size_t(i)] = -kInf;
        lp.row_upper_[size_t(i)] = kInf;
      }
    for (int j = 0; j < m_.cols(); ++j) {
      if (!lower_member[size_t(j)] && finite_bound(m_.lb[size_t(j)])) lp.col_lower_[size_t(j)] = -kInf;
      if (!upper_member[size_t(j)] && finite_bound(m_.ub[size_t(j)])) lp.col_upper_[size_t(j)] = kInf;
    }
  }

  const Model &m_;
  bool discrete_;
  std::vector<Member> members_;
  std::vector<int> position_;
  std::vector<HighsInt> row_start_, row_index_;
  std::vector<double> row_value_;
  std::unique_ptr<LpSession> session_;
  int64_t checks_ = 0;
};

// Drops members while the rest stays infeasible; returns the positions kept.
std::vector<size_t> deletion_filter(Subsystem &s) {
  const size_t n = s.size();
  std::vector<size_t> kept;
  size_t pos = 0, block = std::max<size_t>(1, n / 8);
  while (pos < n) {
    const size_t end = std::min(n, pos + block);
    for (size_t k = pos; k < end; ++k) s.set(k, false);
    if (s.infeasible()) {
      pos = end;
      block = std::min(n, block * 2);
      continue;
    }
    for (size_t k = pos; k < end; ++k) s.set(k, true);
    if (block == 1) kept.push_back(pos++);
    else block = std::max<size_t>(1, block / 2);
  }
  return kept;
}

// The least total violation of the set's members when they may be violated
// (continuous relaxation), and how many are violated then.
void measure_violation(KRVSprob prob, Iis &iis) {
  const Model &m = *prob->model;
  std::unordered_map<int, int> column_at;
  auto column = [&](int j) { return column_at.emplace(j, int(column_at.size())).first->second; };
  // Rows hold (column, value); elastic columns are numbered -1, -2, ... and
  // placed after the model's columns below.
  std::vector<std::vector<std::pair<int, double>>> rows;
  std::vector<double> lower, upper;
  int elastic = 0;
  auto add_elastic = [&](std::vector<std::pair<int, double>> &row, double sign) {
    row.push_back({-(++elastic), sign});
  };
  const CompressedMatrix &a = m.by_rows();
  for (const Member &e : iis.rows) {
    std::vector<std::pair<int, double>> row;
    for (int64_t p = a.start[size_t(e.index)]; p < a.start[size_t(e.index) + 1]; ++p)
      row.push_back({column(a.index[size_t(p)]), a.value[size_t(p)]});
    double lo, hi;
    row_bounds(m, e.index, lo, hi);
    if (std::isfinite(lo)) add_elastic(row, 1.0);
    if (std::isfinite(hi)) add_elastic(row, -1.0);
    rows.push_back(std::move(row));
    lower.push_back(lo);
    upper.push_back(hi);
  }
  for (const Member &e : iis.bounds) {
    std::vector<std::pair<int, double>> row{{column(e.index), 1.0}};
    if (e.side == 'L') {
      add_elastic(row, 1.0);
      lower.push_back(m.lb[size_t(e.index)]);
      upper.push_back(kInf);
    } else {
      add_elastic(row, -1.0);
      lower.push_back(-kInf);
      upper.push_back(m.ub[size_t(e.index)]);
    }
    rows.push_back(std::move(row));
  }
  const int structural = int(column_at.size());
  HighsLp out;
  out.num_col_ = structural + elastic;
  out.col_lower_.assign(size_t(structural), -kInf);
  out.col_upper_.assign(size_t(structural), kInf);
  out.col_cost_.assign(size_t(structural), 0.0);
  out.col_lower_.resize(size_t(out.num_col_), 0.0);
  out.col_upper_.resize(size_t(out.num_col_), kInf);
  out.col_cost_.resize(size_t(out.num_col_), 1.0);
  out.num_row_ = HighsInt(rows.size());
  out.row_lower_ = lower;
  out.row_upper_ = upper;
  HighsSparseMatrix &mat = out.a_matrix_;
  mat.format_ = MatrixFormat::kRowwise;
  mat.num_col_ = out.num_col_;
  mat.num_row_ = out.num_row_;
  mat.start_.assign(1, 0);
  for (const auto &row : rows) {
    for (const auto &[col, value] : row) {
      mat.index_.push_back(col >= 0 ? col : structural + (-col - 1));
      mat.value_.push_back(value);
    }
    mat.start_.push_back(HighsInt(mat.index_.size()));
  }
  HighsModel model;
  model.lp_ = std::move(out);
  LpSession session(prob, std::move(model));
  iis.sum_infeas = 0.0;
  iis.num_infeas = 0;
  if (session.run("KRVSiisstatus") != HighsModelStatus::kOptimal) return;
  iis.sum_infeas = session.highs().getInfo().objective_function_value;
  const std::vector<double> &x = session.highs().getSolution().col_value;
  // Members violated: rows and bounds with a positive elastic column.
  size_t at = size_t(structural);
  for (const auto &row : rows) {
    bool violated = false;
    for (const auto &entry : row)
      if (entry.first < 0 && x[at++] > 1e-9) violated = true;
    iis.num_infeas += violated ? 1 : 0;
  }
}

// Finds an infeasible set among `candidates`; false when they are feasible.
bool find_iis(KRVSprob prob, const std::vector<Member> &candidates, bool reduce, Iis &out) {
  const Model &m = *prob->model;
  const bool discrete = has_discrete_entities(m);
  // A column whose bounds cross is a set of two by itself.
  for (const Member &e : candidates)
    if (!e.is_row && e.side == 'L' && finite_bound(m.ub[size_t(e.index)]) &&
        m.lb[size_t(e.index)] > m.ub[size_t(e.index)]) {
      out = Iis{};
      out.bounds = {Member{false, e.index, 'L'}, Member{false, e.index, 'U'}};
      out.bound_duals = {1.0, -1.0};
      out.sum_infeas = m.lb[size_t(e.index)] - m.ub[size_t(e.index)];
      out.num_infeas = 1;
      return true;
    }
  std::vector<Member> members = candidates;
  {
    Subsystem relaxation(prob, members, false);
    if (relaxation.infeasible()) {
      std::vector<double> dual;
      if (relaxation.certificate(dual)) {
        std::vector<Member> support;
        for (size_t k = 0; k < members.size(); ++k)
          if (dual[k] != 0.0) support.push_back(members[k]);
        Subsystem check(prob, support, false);
        if (check.infeasible()) members = std::move(support);
      }
    } else {
      if (!discrete) return false;
      Subsystem whole(prob, members, true);
      if (!whole.infeasible()) return false;
    }
  }
  std::vector<Member> result;
  if (reduce) {
    Subsystem filter(prob, members, discrete);
    if (discrete && !filter.infeasible()) return false;
    for (size_t k : deletion_filter(filter)) result.push_back(filter.member(k));
  } else {
    result = members;
  }
  out = Iis{};
  out.irreducible = reduce;
  // Rows first, then bounds, each in index order.
  std::sort(result.begin(), result.end(), [&](const Member &x, const Member &y) {
    return key_of(m, x) < key_of(m, y);
  });
  std::vector<double> dual;
  Subsystem final_set(prob, result, false);
  const bool certified = final_set.infeasible() && final_set.certificate(dual);
  for (size_t k = 0; k < result.size(); ++k) {
    const Member &e = result[k];
    (e.is_row ? out.rows : out.bounds).push_back(e);
    (e.is_row ? out.row_duals : out.bound_duals).push_back(certified ? dual[k] : 0.0);
  }
  out.row_isolation.assign(out.rows.size(), -1);
  out.bound_isolation.assign(out.bounds.size(), -1);
  measure_violation(prob, out);
  return true;
}

std::vector<Member> members_of(const Iis &iis) {
  std::vector<Member> out = iis.rows;
  out.insert(out.end(), iis.bounds.begin(), iis.bounds.end());
  return out;
}

// Depth-first search for members, one from each known set, whose removal
// leaves the model infeasible.
class HittingSearch {
 public:
  HittingSearch(KRVSprob prob, const std::vector<Iis> &known)
      : prob_(prob),
        m_(*prob->model),
        all_(universe(m_)),
        whole_(prob, all_, has_discrete_entities(m_)),
        started_(std::chrono::steady_clock::now()) {
    for (size_t k = 0; k < all_.size(); ++k) position_[key_of(m_, all_[k])] = k;
    for (const Iis &iis : known) {
      std::vector<size_t> set;
      for (const Member &e : members_of(iis)) {
        auto it = position_.find(key_of(m_, e));
        if (it != position_.end()) set.push_back(it->second);
      }
      sets_.push_back(std::move(set));
    }
    removed_.assign(all_.size(), 0);
    time_limit_ = prob->controls.get_double(CTRL_7001);
  }

  // 0 found (into `remaining`), 1 none exists, 2 stopped at a limit.
  int search(std::vector<Member> &remaining) {
    if (!whole_.infeasible()) return 1;
    const int outcome = descend();
    if (outcome == 0)
      for (size_t k = 0; k < all_.size(); ++k)
        if (!removed_[k]) remaining.push_back(all_[k]);
    return outcome;
  }

 private:
  // With the current removals the model is infeasible.
  int descend() {
    size_t open = sets_.size();
    for (size_t s = 0; s < sets_.size() && open == sets_.size(); ++s) {
      bool hit = false;
      for (size_t k : sets_[s]) hit = hit || removed_[k];
      if (!hit) open = s;
    }
    if (open == sets_.size()) return 0;
    bool limited = false;
    for (size_t k : sets_[open]) {
      if (whole_.checks() >= kMaxSearchChecks ||
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count() > time_limit_)
        return 2;
      removed_[k] = 1;
      whole_.set(k, false);
      if (whole_.infeasible()) {
        const int outcome = descend();
        if (outcome == 0) return 0;
        limited = limited || outcome == 2;
      }
      removed_[k] = 0;
      whole_.set(k, true);
    }
    return limited ? 2 : 1;
  }

  KRVSprob prob_;
  const Model &m_;
  std::vector<Member> all_;
  Subsystem whole_;
  std::unordered_map<int64_t, size_t> position_;
  std::vector<std::vector<size_t>> sets_;
  std::vector<char> removed_;
  std::chrono::steady_clock::time_point started_;
  double time_limit_;
};

void check_no_quadratic_rows(const Model &m, const char *fn) {
  if (has_quadratic_rows(m)) fail(fn, "the model has quadratic rows; infeasible sets are found for linear rows only");
}

// The sets found, when the model is the one they were found for.
AnalysisState &current_sets(KRVSprob prob, const char *fn) {
  AnalysisState &state = analysis_state(prob);
  const Model &m = *prob->model;
  if (!state.iis_started) fail(fn, "no infeasible sets have been searched for; call KRVSiisfirst or KRVSiisall first");
  if (state.iis_structure_version != m.structure_version || state.iis_data_version != m.data_version)
    fail(fn, "the model has changed since its infeasible sets were found; search again");
  return state;
}

const Iis &set_number(AnalysisState &state, int num, const char *fn) {
  if (num < 1 || size_t(num) > state.iis.size())
    fail(fn, "no infeasible set number " + std::to_string(num) + " (" + std::to_string(state.iis.size()) +
                 " found; they count from 1)");
  return state.iis[size_t(num) - 1];
}

void start_search(KRVSprob prob) {
  AnalysisState &state = analysis_state(prob);
  state.iis.clear();
  state.iis_started = true;
  state.iis_exhausted = false;
  state.iis_structure_version = prob->model->structure_version;
  state.iis_data_version = prob->model->data_version;
}

int first_set(KRVSprob prob, bool reduce) {
  start_search(prob);
  Iis iis;
  if (!find_iis(prob, universe(*prob->model), reduce, iis)) {
    analysis_state(prob).iis_exhausted = true;
    return 1;
  }
  analysis_state(prob).iis.push_back(std::move(iis));
  return 0;
}

int next_set(KRVSprob prob) {
  AnalysisState &state = analysis_state(prob);
  if (state.iis_exhausted) return 1;
  if (state.iis.size() >= kMaxSets) return 2;
  HittingSearch search(prob, state.iis);
  std::vector<Member> remaining;
  const int outcome = search.search(remaining);
  if (outcome != 0) {
    if (outcome == 1) state.iis_exhausted = true;
    return outcome;
  }
  Iis iis;
  if (!find_iis(prob, remaining, true, iis)) return 2;  // should not happen: the rest was infeasible
  state.iis.push_back(std::move(iis));
  return 0;
}

}  // namespace

extern "C" {

int KRVSiisfirst(KRVSprob prob, int mode, int *status) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSiisfirst";
    if (mode != 0 && mode != 1) fail(fn, "invalid mode " + std::to_string(mode) + " (0 irreducible set, 1 quick)");
    check_no_quadratic_rows(*prob->model, fn);
    const int outcome = first_set(prob, mode == 0);
    if (status) *status = outcome;
  });
}

int KRVSiisnext(KRVSprob prob, int *status) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSiisnext";
    AnalysisState &state = current_sets(prob, fn);
    for (const Iis &iis : state.iis)
      if (!iis.irreducible) fail(fn, "the first set was found in quick mode; search again with mode 0");
    const int outcome = state.iis.empty() ? 1 : next_set(prob);
    if (status) *status = outcome;
  });
}

int KRVSiisall(KRVSprob prob) noexcept {
  return guard_problem(prob, [&] {
    check_no_quadratic_rows(*prob->model, "KRVSiisall");
    if (first_set(prob, true) != 0) return;
    while (next_set(prob) == 0) {
    }
  });
}

int KRVSiisclear(KRVSprob prob) noexcept {
  return guard_problem(prob, [&] {
    AnalysisState &state = analysis_state(prob);
    state.iis.clear();
    state.iis_started = false;
    state.iis_exhausted = false;
  });
}

int KRVSiisstatus(KRVSprob prob, int *count, int rowsizes[], int colsizes[], double suminfeas[],
                  int numinfeas[]) noexcept {
  return guard_problem(prob, [&] {
    AnalysisState &state = current_sets(prob, "KRVSiisstatus");
    if (count) *count = int(state.iis.size());
    for (size_t k = 0; k < state.iis.size(); ++k) {
      const Iis &iis = state.iis[k];
      if (rowsizes) rowsizes[k] = int(iis.rows.size());
      if (colsizes) colsizes[k] = int(iis.bounds.size());
      if (suminfeas) suminfeas[k] = iis.sum_infeas;
      if (numinfeas) numinfeas[k] = iis.num_infeas;
    }
  });
}

int KRVSgetiisdata(KRVSprob prob, int num, int *nrows, int *ncols, int rowind[], int colind[], char contype[],
                   char bndtype[], double duals[], double djs[], char isolationrows[],
                   char isolationcols[]) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSgetiisdata";
    AnalysisState &state = current_sets(prob, fn);
    const Iis &iis = set_number(state, num, fn);
    if (nrows) *nrows = int(iis.rows.size());
    if (ncols) *ncols = int(iis.bounds.size());
    for (size_t k = 0; k < iis.rows.size(); ++k) {
      if (rowind) rowind[k] = iis.rows[k].index;
      if (contype) contype[k] = iis.rows[k].side;
      if (duals) duals[k] = iis.row_duals[k];
      if (isolationrows) isolationrows[k] = char(iis.row_isolation[k]);
    }
    for (size_t k = 0; k < iis.bounds.size(); ++k) {
      if (colind) colind[k] = iis.bounds[k].index;
      if (bndtype) bndtype[k] = iis.bounds[k].side;
      if (djs) djs[k] = iis.bound_duals[k];
      if (isolationcols) isolationcols[k] = char(iis.bound_isolation[k]);
    }
  });
}

int KRVSiisisolations(KRVSprob prob, int num) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSiisisolations";
    AnalysisState &state = current_sets(prob, fn);
    set_number(state, num, fn);
    Iis &iis = state.iis[size_t(num) - 1];
    const Model &m = *prob->model;
    const std::vector<Member> all = universe(m);
    std::unordered_map<int64_t, size_t> position;
    for (size_t k = 0; k < all.size(); ++k) position[key_of(m, all[k])] = k;
    Subsystem whole(prob, all, has_discrete_entities(m));
    auto isolation = [&](const Member &e) -> int8_t {
      auto it = position.find(key_of(m, e));
      if (it == position.end()) return 0;
      whole.set(it->second, false);
      const bool still = whole.infeasible();
      whole.set(it->second, true);
      return still ? 0 : 1;
    };
    std::vector<int8_t> rows, bounds;
    for (const Member &e : iis.rows) rows.push_back(isolation(e));
    for (const Member &e : iis.bounds) bounds.push_back(isolation(e));
    iis.row_isolation = std::move(rows);
    iis.bound_isolation = std::move(bounds);
  });
}

int KRVSiiswrite(KRVSprob prob, int num, const char *filename, int filetype, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSiiswrite";
    (void)flags;
    if (!filename || !*filename) fail(fn, "no file name given");
    if (filetype != 0 && filetype != 1) fail(fn, "invalid file type " + std::to_string(filetype) + " (0 LP, 1 MPS)");
    AnalysisState &state = current_sets(prob, fn);
    const Iis &iis = set_number(state, num, fn);
    const Model &m = *prob->model;
    // The set's columns: those in its rows and those whose bounds it holds.
    std::unordered_map<int, int> column_at;
    std::vector<int> columns;
    auto column = [&](int j) {
      auto [it, added] = column_at.emplace(j, int(columns.size()));
      if (added) columns.push_back(j);
      return it->second;
    };
    const CompressedMatrix &a = m.by_rows();
    std::vector<int64_t> start{0};
    std::vector<int> colind;
    std::vector<double> value, rhs, range;
    std::vector<char> type;
    for (const Member &e : iis.rows) {
      for (int64_t p = a.start[size_t(e.index)]; p < a.start[size_t(e.index) + 1]; ++p) {
        colind.push_back(column(a.index[size_t(p)]));
        value.push_back(a.value[size_t(p)]);
      }
      start.push_back(int64_t(colind.size()));
      type.push_back(m.rowtype[size_t(e.index)]);
      rhs.push_back(m.rhs[size_t(e.index)]);
      range.push_back(m.range[size_t(e.index)]);
    }
    for (const Member &e : iis.bounds) column(e.index);
    const int n = int(columns.size());
    std::vector<double> lb(size_t(n), -KRVS_INFINITY), ub(size_t(n), KRVS_INFINITY);
    for (const Member &e : iis.bounds) {
      const int at = column_at[e.index];
      if (e.side == 'L') lb[size_t(at)] = m.lb[size_t(e.index)];
      else ub[size_t(at)] = m.ub[size_t(e.index)];
    }
    Model out;
    out.add_cols(n, nullptr, nullptr, nullptr, nullptr, lb.data(), ub.data());
    out.add_rows(int(iis.rows.size()), type.data(), rhs.data(), range.data(), start.data(), colind.data(),
                 value.data());
    for (int k = 0; k < n; ++k) {
      const int j = columns[size_t(k)];
      out.colnames.set(k, m.colnames.get(j));
      // Integrality stays; a binary is written as an integer so that only
      // the set's bounds appear.
      const char t = m.coltype[size_t(j)];
      if (t == 'B' || t == 'I') out.coltype[size_t(k)] = 'I';
    }
    for (size_t k = 0; k < iis.rows.size(); ++k) out.rownames.set(int(k), m.rownames.get(iis.rows[k].index));
    std::string path = filename;
    const size_t slash = path.find_last_of('/');
    if (path.find('.', slash == std::string::npos ? 0 : slash) == std::string::npos)
      path += filetype == 0 ? ".lp" : ".mps";
    const std::string name = prob->name.empty() ? "iis" : prob->name + "_iis" + std::to_string(num);
    if (filetype == 0) io::write_lp(path, out, name);
    else io::write_mps(path, out, name);
  });
}

}  // extern "C"
