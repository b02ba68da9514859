// Loading a whole model (linear, quadratic, with discrete entities and
// quadratic rows) and copying one problem into another.
#include <algorithm>
#include <memory>
#include <type_traits>

#include "api/model_checks.h"
#include "api/model_replace.h"
#include "nlp/renumber.h"
#include "solve/solve_state.h"

namespace krvs {
namespace {

struct LpArgs {
  const char *probname;
  int ncols, nrows;
  const char *rowtype;
  const double *rhs, *range, *obj;
  const int64_t *start;
  const int *collen, *rowind;
  const double *rowcoef, *lb, *ub;
};

struct QobjArgs {
  int64_t n = 0;
  const int *col1 = nullptr, *col2 = nullptr;
  const double *coef = nullptr;
};

struct QrowArgs {
  int nqrows = 0;
  const int *qrowind = nullptr;
  const int64_t *nrowqcoefs = nullptr;
  const int *col1 = nullptr, *col2 = nullptr;
  const double *coef = nullptr;
};

struct GlobalArgs {
  int nentities = 0, nsets = 0;
  const char *coltype = nullptr;
  const int *entind = nullptr;
  const double *limit = nullptr;
  const char *settype = nullptr;
  const int64_t *setstart = nullptr;
  const int *setind = nullptr;
  const double *refval = nullptr;
};

// Checks everything, builds the new model aside, and only then replaces the
// problem's model: a refused load leaves the old model in place.
void load(KRVSprob prob, const char *fn, const LpArgs &a, const QobjArgs &qo, const QrowArgs &qr,
          const GlobalArgs &g) {
  check_count(fn, a.ncols, "columns");
  check_count(fn, a.nrows, "rows");
  check_array(fn, a.rowtype, a.nrows, "of row types");
  for (int i = 0; i < a.nrows; ++i) {
    if (!valid_rowtype(a.rowtype[i]))
      fail(fn, "invalid row type " + quoted_char(a.rowtype[i]) + " of row " + std::to_string(i));
    if (a.rhs) check_number(fn, a.rhs[i], "right-hand side");
    if (a.range && a.rowtype[i] == 'R') check_number(fn, a.range[i], "range");
  }
  for (int j = 0; j < a.ncols; ++j) {
    if (a.obj) check_finite(fn, a.obj[j], "objective coefficient");
    if (a.lb) check_number(fn, a.lb[j], "lower bound");
    if (a.ub) check_number(fn, a.ub[j], "upper bound");
  }
  SparseBlock cols;
  if (a.start) {
    auto begin = [&](int j) { return a.start[j]; };
    auto end = [&](int j) { return a.collen ? a.start[j] + a.collen[j] : a.start[j + 1]; };
    cols = gather_block(fn, a.ncols, begin, end, a.rowind, a.rowcoef, a.nrows, "row");
  } else {
    if (a.collen)
      for (int j = 0; j < a.ncols; ++j)
        if (a.collen[j] != 0) fail(fn, "column lengths given without column starts");
    cols.start.assign(size_t(a.ncols) + 1, 0);
  }

  check_triplets(fn, qo.n, qo.col1, qo.col2, qo.coef, a.ncols);

  check_count(fn, qr.nqrows, "quadratic rows");
  check_array(fn, qr.qrowind, qr.nqrows, "of quadratic rows");
  check_array(fn, qr.nrowqcoefs, qr.nqrows, "of quadratic row lengths");
  int64_t qrow_total = 0;
  for (int k = 0; k < qr.nqrows; ++k) {
    check_index(fn, qr.qrowind[k], a.nrows, "row");
    check_count(fn, qr.nrowqcoefs[k], "quadratic row coefficients");
    qrow_total += qr.nrowqcoefs[k];
  }
  check_triplets(fn, qrow_total, qr.col1, qr.col2, qr.coef, a.ncols);

  check_count(fn, g.nentities, "discrete entities");
  check_count(fn, g.nsets, "sets");
  check_array(fn, g.coltype, g.nentities, "of entity types");
  check_array(fn, g.entind, g.nentities, "of entity columns");
  for (int k = 0; k < g.nentities; ++k) {
    check_index(fn, g.entind[k], a.ncols, "column");
    if (g.coltype[k] == 'C' || !valid_coltype(g.coltype[k]))
      fail(fn, "invalid entity type " + quoted_char(g.coltype[k]) + " of entity " + std::to_string(k));
    if (g.limit && has_limit(g.coltype[k])) check_number(fn, g.limit[k], "threshold");
  }
  check_array(fn, g.settype, g.nsets, "of set types");
  check_array(fn, g.setstart, g.nsets ? g.nsets + 1 : 0, "of set starts");
  for (int k = 0; k < g.nsets; ++k) {
    if (g.settype[k] != '1' && g.settype[k] != '2')
      fail(fn, "invalid set type " + quoted_char(g.settype[k]) + " of set " + std::to_string(k));
    int64_t s = g.setstart[k], e = g.setstart[k + 1];
    if (s < 0 || e < s) fail(fn, "invalid start of set " + std::to_string(k));
    if (e > s) check_array(fn, g.setind, 1, "of set members");
    for (int64_t p = s; p < e; ++p) {
      check_index(fn, g.setind[p], a.ncols, "column");
      if (g.refval) check_finite(fn, g.refval[p], "set weight");
    }
  }

  // Build.
  auto m = std::make_unique<Model>();
  std::vector<double> rhs(size_t(a.nrows), 0.0), range(size_t(a.nrows), 0.0);
  for (int i = 0; i < a.nrows; ++i) {
    if (a.rhs) rhs[size_t(i)] = clamp_infinite(a.rhs[i]);
    if (a.range && a.rowtype[i] == 'R') range[size_t(i)] = a.range[i];
  }
  m->add_rows(a.nrows, a.rowtype, rhs.data(), range.data(), nullptr, nullptr, nullptr);
  std::vector<double> lb(size_t(a.ncols), 0.0), ub(size_t(a.ncols), 1e20);
  for (int j = 0; j < a.ncols; ++j) {
    if (a.lb) lb[size_t(j)] = clamp_infinite(a.lb[j]);
    if (a.ub) ub[size_t(j)] = clamp_infinite(a.ub[j]);
  }
  m->add_cols(a.ncols, a.obj, cols.start.data(), cols.index.data(), cols.value.data(), lb.data(), ub.data());
  if (qo.n > 0) m->add_qobj(qo.n, qo.col1, qo.col2, qo.coef);
  int64_t offset = 0;
  for (int k = 0; k < qr.nqrows; ++k) {
    int64_t n = qr.nrowqcoefs[k];
    m->add_qrow(qr.qrowind[k], n, qr.col1 + offset, qr.col2 + offset, qr.coef + offset);
    offset += n;
  }
  for (int k = 0; k < g.nentities; ++k) {
    int j = g.entind[k];
    m->set_coltype(j, g.coltype[k]);
    if (has_limit(g.coltype[k])) m->limit[size_t(j)] = g.limit ? clamp_infinite(g.limit[k]) : 0.0;
  }
  for (int k = 0; k < g.nsets; ++k) {
    int64_t s = g.setstart[k];
    m->add_set(g.settype[k], g.setstart[k + 1] - s, g.setind + s, g.refval ? g.refval + s : nullptr);
  }
  m->by_cols();

  // Replace in place: the solver side may keep a pointer to the model.
  Model &old = model_of(prob);
  m->structure_version = old.structure_version + 1;
  m->data_version = old.data_version + 1;
  old = std::move(*m);
  prob->name = a.probname ? a.probname : "";
  forget_replaced_model(prob);
}

template <class StartT>
LpArgs lp_args(const char *probname, int ncols, int nrows, const char *rowtype, const double *rhs,
               const double *range, const double *obj, const StartT *start, const int *collen, const int *rowind,
               const double *rowcoef, const double *lb, const double *ub, std::vector<int64_t> &wide) {
  const int64_t *start64;
  if constexpr (std::is_same_v<StartT, int64_t>) {
    start64 = start;
  } else {
    if (start) {
      size_t n = collen ? size_t(std::max(ncols, 0)) : size_t(std::max(ncols, 0)) + 1;
      wide.assign(start, start + n);
      start64 = wide.data();
    } else {
      start64 = nullptr;
    }
  }
  return LpArgs{probname, ncols, nrows, rowtype, rhs, range, obj, start64, collen, rowind, rowcoef, lb, ub};
}

}  // namespace

void forget_replaced_model(KRVSprob prob) {
  SolveState &state = *prob->solve;
  state.lp_status = LP_UNSTARTED;
  state.mip_status = MIP_NOT_LOADED;
  state.stop_status = STOP_NONE;
  state.simplex_iterations = state.barrier_iterations = state.nodes = state.mip_solutions = 0;
  state.current_node = state.node_depth = state.active_nodes = 0;
  state.lp_objective = state.mip_objective = state.best_bound = state.mip_gap = state.solve_time = 0.0;
  state.lp.clear();
  state.mip.clear();
  state.basis = StoredBasis{};
  state.start = StartingPoint{};
  nlp::model_replaced(prob);
}

}  // namespace krvs

using namespace krvs;

#define KRVS_LP_PASS probname, ncols, nrows, rowtype, rhs, range, obj, start, collen, rowind, rowcoef, lb, ub, wide
#define KRVS_QOBJ_PASS \
  QobjArgs { nobjqcoefs, objqcol1, objqcol2, objqcoef }
#define KRVS_QROW_PASS \
  QrowArgs { nqrows, qrowind, nrowqcoefs, rowqcol1, rowqcol2, rowqcoef }
#define KRVS_GLOBAL_PASS \
  GlobalArgs { nentities, nsets, coltype, entind, limit, settype, setstart, setind, refval }

extern "C" {

int KRVSloadlp(KRVS_LP_ARGS(int)) noexcept {
  return guard_problem(prob, [&] {
    std::vector<int64_t> wide;
    load(prob, "KRVSloadlp", lp_args(KRVS_LP_PASS), QobjArgs{}, QrowArgs{}, GlobalArgs{});
  });
}

int KRVSloadlp64(KRVS_LP_ARGS(int64_t)) noexcept {
  return guard_problem(prob, [&] {
    std::vector<int64_t> wide;
    load(prob, "KRVSloadlp64", lp_args(KRVS_LP_PASS), QobjArgs{}, QrowArgs{}, GlobalArgs{});
  });
}

int KRVSloadqp64(KRVS_LP_ARGS(int64_t), KRVS_QOBJ_ARGS) noexcept {
  return guard_problem(prob, [&] {
    std::vector<int64_t> wide;
    load(prob, "KRVSloadqp64", lp_args(KRVS_LP_PASS), KRVS_QOBJ_PASS, QrowArgs{}, GlobalArgs{});
  });
}

int KRVSloadglobal64(KRVS_LP_ARGS(int64_t), KRVS_GLOBAL_ARGS) noexcept {
  return guard_problem(prob, [&] {
    std::vector<int64_t> wide;
    load(prob, "KRVSloadglobal64", lp_args(KRVS_LP_PASS), QobjArgs{}, QrowArgs{}, KRVS_GLOBAL_PASS);
  });
}

int KRVSloadqglobal64(KRVS_LP_ARGS(int64_t), KRVS_QOBJ_ARGS, KRVS_GLOBAL_ARGS) noexcept {
  return guard_problem(prob, [&] {
    std::vector<int64_t> wide;
    load(prob, "KRVSloadqglobal64", lp_args(KRVS_LP_PASS), KRVS_QOBJ_PASS, QrowArgs{}, KRVS_GLOBAL_PASS);
  });
}

int KRVSloadqcqp64(KRVS_LP_ARGS(int64_t), KRVS_QOBJ_ARGS, KRVS_QROW_ARGS) noexcept {
  return guard_problem(prob, [&] {
    std::vector<int64_t> wide;
    load(prob, "KRVSloadqcqp64", lp_args(KRVS_LP_PASS), KRVS_QOBJ_PASS, KRVS_QROW_PASS, GlobalArgs{});
  });
}

int KRVSloadqcqpglobal64(KRVS_LP_ARGS(int64_t), KRVS_QOBJ_ARGS, KRVS_QROW_ARGS, KRVS_GLOBAL_ARGS) noexcept {
  return guard_problem(prob, [&] {
    std::vector<int64_t> wide;
    load(prob, "KRVSloadqcqpglobal64", lp_args(KRVS_LP_PASS), KRVS_QOBJ_PASS, KRVS_QROW_PASS, KRVS_GLOBAL_PASS);
  });
}

int KRVScopyprob(KRVSprob dest, KRVSprob src, const char *probname) noexcept {
  return guard_problem(dest, [&] {
    if (!src) throw Error("KRVScopyprob: null source problem");
    if (src == dest) return;
    Model copy(*src->model);
    copy.structure_version = std::max(dest->model->structure_version, src->model->structure_version) + 1;
    copy.data_version = std::max(dest->model->data_version, src->model->data_version) + 1;
    *dest->model = std::move(copy);
    dest->name = probname && *probname ? std::string(probname) : src->name;
  });
}

}  // extern "C"
