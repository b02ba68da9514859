// MIP starts (addmipsol, loadmipsol) and fixing the discrete columns at the
// MIP solution (fixglobals).
#include <cmath>
#include <cstring>
#include <map>

#include "api/model_checks.h"
#include "core/controls.h"
#include "solve/highs_build.h"
#include "solve/mip_starts.h"
#include "solve/solve_state.h"

using namespace krvs;

extern "C" {

int KRVSaddmipsol(KRVSprob prob, int length, const double solval[], const int colind[], const char *name) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSaddmipsol";
    Model &m = model_of(prob);
    check_count(fn, length, "values");
    check_array(fn, solval, length, "of solution values");
    if (length == 0) fail(fn, "an empty solution");
    if (!colind && length != m.cols())
      fail(fn, "a solution without column indices must have one value per column (" + std::to_string(m.cols()) +
                   "), not " + std::to_string(length));
    std::map<int, double> values;
    for (int k = 0; k < length; ++k) {
      const int col = colind ? colind[k] : k;
      check_index(fn, col, m.cols(), "column");
      check_finite(fn, solval[k], "solution value");
      if (!values.emplace(col, solval[k]).second)
        fail(fn, "column " + std::to_string(col) + " is given more than once");
    }
    MipStart start;
    start.name = name ? name : "";
    for (const auto &[col, v] : values) {
      start.cols.push_back(col);
      start.vals.push_back(v);
    }
    m.mip.mip_starts.push_back(std::move(start));
  });
}

int KRVSloadmipsol(KRVSprob prob, const double solval[], int *status) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSloadmipsol";
    Model &m = model_of(prob);
    check_array(fn, solval, m.cols(), "of solution values");
    if (!status) fail(fn, "null status argument");
    MipStart start;
    for (int j = 0; j < m.cols(); ++j) {
      check_finite(fn, solval[j], "solution value");
      start.cols.push_back(j);
      start.vals.push_back(solval[j]);
    }
    BuiltModel built = build_highs_model(m, BuildMode::Discrete, prob->controls.get_double(CTRL_7008));
    StartCompletion done = complete_mip_start(built.model, m.cols(), start);
    *status = done.status;
    if (done.status != MIPSTART_FEASIBLE && done.status != MIPSTART_COMPLETED) return;
    // Kept, with its completed values, as a start of the next solve.
    for (int j = 0; j < m.cols(); ++j) start.vals[size_t(j)] = done.solution[size_t(j)];
    m.mip.mip_starts.push_back(std::move(start));
  });
}

int KRVSgetmipsolstatus(KRVSprob prob, int index, int *status, char name[], int maxbytes) noexcept {
  return guard_problem(prob, [&] {
    const auto &starts = model_of(prob).mip.mip_starts;
    check_index("KRVSgetmipsolstatus", index, int64_t(starts.size()), "MIP start");
    if (status) *status = starts[size_t(index)].status;
    if (name && maxbytes > 0) copy_text(starts[size_t(index)].name, name, size_t(maxbytes));
  });
}

int KRVSfixglobals(KRVSprob prob, int options) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVSfixglobals";
    if (options != 0 && options != 1) fail(fn, "invalid options " + std::to_string(options) + " (0 or 1)");
    Model &m = model_of(prob);
    const SolutionVectors &mip = prob->solve->mip;
    if (!mip.valid || int(mip.x.size()) != m.cols())
      fail(fn, "there is no MIP solution of the current model to fix the discrete columns at");
    ModelEdit edit(prob);
    std::vector<int> fixed;
    for (int j = 0; j < m.cols(); ++j) {
      const char t = m.coltype[size_t(j)];
      if (t == 'C') continue;
      double v = mip.x[size_t(j)];
      // Integral values are rounded: a fractional fixed value would leave an
      // integer column no feasible value.
      if (t == 'B' || t == 'I' || t == 'R' || (t == 'P' && v < m.limit[size_t(j)])) v = std::round(v);
      m.lb[size_t(j)] = m.ub[size_t(j)] = v;
      fixed.push_back(j);
    }
    ++m.data_version;
    edit.bounds_changed(int(fixed.size()), fixed.data());
  });
}

}  // extern "C"
