// Tuning: the model is solved under a set of control combinations, each run
// limited to a little more than twice the fastest time so far (a slower run
// cannot win), and the fastest finished run wins: its controls are set on
// the problem and its results are kept.
//
// Method files are plain text:
//   korvo tuner method 1
//   # comments start with '#'
//   presolve = 0
//   defaultalg = 3
// one control per line by name (any case), blank lines allowed.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/presolve.h"
#include "api/model_checks.h"
#include "core/messages.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"
#include "solve/solver.h"

using namespace krvs;
using namespace krvs::analysis;

namespace {

constexpr const char *kHeader = "korvo tuner method 1";

using Method = std::vector<std::pair<int, double>>;

// The combinations tried: LPs vary presolve, the algorithm and scaling; MIPs
// presolve and the effort spent in primal heuristics.
std::vector<Method> combinations(bool mip) {
  std::vector<Method> out;
  if (mip) {
    for (double presolve : {1.0, 0.0})
      for (double effort : {0.05, 0.01, 0.3}) out.push_back({{CTRL_8002, presolve}, {CTRL_7009, effort}});
    return out;
  }
  for (double alg : {2.0, 3.0, 4.0})
    for (double presolve : {1.0, 0.0})
      for (double scaling : {1.0, 0.0}) out.push_back({{CTRL_8002, presolve}, {CTRL_8003, alg}, {CTRL_8011, scaling}});
  return out;
}

const ControlInfo &control_info(int id) {
  const ControlTable &table = control_table();
  return table.rows()[size_t(table.position(id))];
}

void apply_method(ControlValues &controls, const Method &method) {
  for (const auto &[id, value] : method) {
    if (control_info(id).type == ValueType::Int) controls.set_int(id, int64_t(std::llround(value)));
    else controls.set_double(id, value);
  }
}

Method current(const ControlValues &controls, const Method &shape) {
  Method out;
  for (const auto &entry : shape)
    out.push_back({entry.first, control_info(entry.first).type == ValueType::Int
                                    ? double(controls.get_int(entry.first))
                                    : controls.get_double(entry.first)});
  return out;
}

std::string describe(const Method &method) {
  std::string out;
  for (const auto &[id, value] : method) {
    char text[64];
    snprintf(text, sizeof text, "%s%s=%g", out.empty() ? "" : " ", control_info(id).name, value);
    out += text;
  }
  return out;
}

bool finished(const SolveState &s, bool mip) {
  if (s.stop_status != STOP_NONE) return false;
  if (mip) return s.mip_status == MIP_OPTIMAL || s.mip_status == MIP_INFEAS || s.mip_status == MIP_UNBOUNDED;
  return s.lp_status == LP_OPTIMAL || s.lp_status == LP_INFEAS || s.lp_status == LP_UNBOUNDED;
}

std::string lowercase(std::string s) {
  for (char &c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string &s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

extern "C" {

int KRVStune(KRVSprob prob, const char *flags) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVStune";
    if (!prob->solve->running.value.load()) drop_presolve(prob);
    int forced = 0;  // 1 LP, 2 MIP
    for (const char *c = flags ? flags : ""; *c; ++c) {
      if (*c == 'l') forced = 1;
      else if (*c == 'g') forced = 2;
      else if (*c != ' ')
        fail(fn, "unknown flag '" + std::string(1, *c) + "' (use 'l' to tune the LP solve, 'g' the MIP solve)");
    }
    const bool mip = forced == 2 || (forced == 0 && has_discrete_entities(*prob->model));
    const SolveRequest request = mip ? SolveRequest::Mip : SolveRequest::Lp;
    const ControlValues saved = prob->controls;
    const bool log = saved.get_int(CTRL_8035) != 0;
    std::vector<Method> tried = combinations(mip);
    // The problem's own settings run first: the baseline the others must beat.
    const Method baseline = current(saved, tried.front());
    tried.erase(std::remove(tried.begin(), tried.end(), baseline), tried.end());
    tried.insert(tried.begin(), baseline);

    const double budget = saved.get_double(CTRL_7001);
    double spent = 0.0, best_time = -1.0, baseline_time = -1.0;
    Method best;
    SolveState best_state;
    for (size_t k = 0; k < tried.size(); ++k) {
      const double remaining = budget - spent;
      if (remaining <= 0) break;
      ControlValues trial = saved;
      apply_method(trial, tried[k]);
      trial.set_int(CTRL_8035, 0);
      // Every run starts cold: a warm start from the previous run's basis
      // would make all runs after the first look fast.
      trial.set_int(CTRL_8010, 0);
      trial.set_double(CTRL_7001, std::max(1e-3, best_time < 0 ? remaining : std::min(remaining, 2 * best_time + 0.5)));
      prob->controls = trial;
      std::string outcome;
      try {
        optimize(prob, "", request);
      } catch (const Error &e) {
        outcome = std::string("failed: ") + e.what();
      }
      prob->controls = saved;
      const SolveState &state = *prob->solve;
      spent += state.solve_time;
      const bool done = outcome.empty() && finished(state, mip);
      if (done && k == 0) baseline_time = state.solve_time;
      if (done && (best_time < 0 || state.solve_time < best_time)) {
        best_time = state.solve_time;
        best = tried[k];
        best_state = state;
      }
      if (log) {
        char text[64];
        snprintf(text, sizeof text, "%.4f s", state.solve_time);
        emit_problem(prob, "Tuning " + describe(tried[k]) + ": " +
                               (outcome.empty() ? (done ? std::string(text) : "stopped at its time limit") : outcome),
                     MSG_INFO);
      }
      if (state.stop_status == STOP_USER || state.stop_status == STOP_CTRLC) break;
    }
    if (best_time < 0) {
      *prob->solve = best_state;
      fail(fn, "no combination of controls finished within the time limit");
    }
    apply_method(prob->controls, best);
    *prob->solve = best_state;
    AnalysisState &analysis = analysis_state(prob);
    analysis.tuned_controls = best;
    analysis.tuned = true;
    analysis.tuned_time = best_time;
    analysis.baseline_time = baseline_time;
    if (log) {
      char text[160];
      snprintf(text, sizeof text, "Tuning chose %s: %.4f s (the problem's own controls: %.4f s)",
               describe(best).c_str(), best_time, baseline_time);
      emit_problem(prob, text, MSG_INFO);
    }
  });
}

int KRVStunerwritemethod(KRVSprob prob, const char *methodfile) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVStunerwritemethod";
    if (!methodfile || !*methodfile) fail(fn, "no file name given");
    AnalysisState &analysis = analysis_state(prob);
    const bool mip = has_discrete_entities(*prob->model);
    // Untuned: the problem's current values of the controls tuning varies.
    const Method method = analysis.tuned ? analysis.tuned_controls : current(prob->controls, combinations(mip).front());
    std::ofstream out(methodfile);
    if (!out) fail(fn, std::string("cannot open file ") + methodfile + " for writing");
    out << kHeader << "\n";
    if (analysis.tuned) {
      char text[160];
      snprintf(text, sizeof text, "# the fastest combination tried: %.4f s (the problem's own controls: %.4f s)",
               analysis.tuned_time, analysis.baseline_time);
      out << text << "\n";
    } else {
      out << "# the problem's current controls (no tuning run)\n";
    }
    for (const auto &[id, value] : method) {
      char text[64];
      snprintf(text, sizeof text, "%.17g", value);
      out << control_info(id).name << " = " << text << "\n";
    }
    out.flush();
    if (!out) fail(fn, std::string("cannot write file ") + methodfile);
  });
}

int KRVStunerreadmethod(KRVSprob prob, const char *methodfile) noexcept {
  return guard_problem(prob, [&] {
    const char *fn = "KRVStunerreadmethod";
    if (!methodfile || !*methodfile) fail(fn, "no file name given");
    std::ifstream in(methodfile);
    if (!in) fail(fn, std::string("cannot open file ") + methodfile);
    // Every line is checked on a copy of the controls; the problem's change
    // only when the whole file is good.
    ControlValues controls = prob->controls;
    Method method;
    std::string line;
    int number = 0;
    bool header = false;
    while (std::getline(in, line)) {
      ++number;
      const std::string where = std::string(methodfile) + " line " + std::to_string(number) + ": ";
      const size_t hash = line.find('#');
      const std::string text = trim(hash == std::string::npos ? line : line.substr(0, hash));
      if (text.empty()) continue;
      if (!header) {
        if (text != kHeader) fail(fn, where + "not a tuner method file (the first line must be \"" + kHeader + "\")");
        header = true;
        continue;
      }
      const size_t eq = text.find('=');
      if (eq == std::string::npos) fail(fn, where + "expected \"name = value\"");
      const std::string name = lowercase(trim(text.substr(0, eq)));
      const std::string value = trim(text.substr(eq + 1));
      const ControlInfo *info = nullptr;
      for (const ControlInfo &c : control_table().rows())
        if (name == c.name) info = &c;
      if (!info) fail(fn, where + "unknown control \"" + name + "\"");
      try {
        if (info->type == ValueType::String) {
          controls.set_string(info->id, value);
          continue;
        }
        size_t used = 0;
        double number_value = std::stod(value, &used);
        if (used != value.size()) throw std::invalid_argument(value);
        if (info->type == ValueType::Int) {
          if (number_value != std::floor(number_value)) fail(fn, where + "control " + name + " takes an integer");
          controls.set_int(info->id, int64_t(number_value));
        } else {
          controls.set_double(info->id, number_value);
        }
        method.push_back({info->id, number_value});
      } catch (const std::invalid_argument &) {
        fail(fn, where + "\"" + value + "\" is not a number");
      } catch (const std::out_of_range &) {
        fail(fn, where + "\"" + value + "\" is out of range");
      } catch (const Error &e) {
        fail(fn, where + e.what());
      }
    }
    if (!header) fail(fn, std::string(methodfile) + ": not a tuner method file (empty)");
    prob->controls = controls;
    AnalysisState &analysis = analysis_state(prob);
    analysis.tuned_controls = method;
    analysis.tuned = false;
  });
}

}  // extern "C"
