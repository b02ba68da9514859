// The nonlinear coefficients of a problem: adding, loading, changing,
// listing, deleting and evaluating them.
#include <algorithm>
#include <cmath>
#include <memory>

#include "core/problem.h"
#include "model/model.h"
#include "nlp_guard.h"
#include "nlp_problem.h"
#include "slp.h"
#include "user_functions.h"

using namespace krvs;
using namespace krvs::nlp;

namespace {

// Checks a batch of coefficients against the model and compiles the
// formulas; nothing is stored unless the whole batch is valid.
std::vector<Coefficient> checked_batch(KNLSprob prob, int ncoefs, const int rowindex[], const int colindex[],
                                       const double factor[], const int formulastart[], int parsed,
                                       const int type[], const double value[]) {
  if (ncoefs < 0) throw Error("Negative number of nonlinear coefficients");
  if (ncoefs == 0) return {};
  if (!rowindex || !colindex || !formulastart || !type || !value)
    throw Error("Null array passed for nonlinear coefficients");
  if (parsed != 1) throw Error("Only parsed (reverse Polish) formulas are accepted");
  const Model &m = *prob->optprob->model;
  std::vector<Coefficient> batch;
  batch.reserve(size_t(ncoefs));
  for (int k = 0; k < ncoefs; ++k) {
    const std::string which = "nonlinear coefficient " + std::to_string(k);
    if (rowindex[k] < 0 || rowindex[k] >= m.rows())
      throw Error("Row index " + std::to_string(rowindex[k]) + " out of range in " + which);
    if (colindex[k] < -1 || colindex[k] >= m.cols())
      throw Error("Column index " + std::to_string(colindex[k]) + " out of range in " + which);
    if (formulastart[k] < 0 || formulastart[k + 1] < formulastart[k])
      throw Error("Invalid formula start of " + which);
    if (factor && !std::isfinite(factor[k])) throw Error("Factor of " + which + " is not a finite number");
    Formula f;
    try {
      f = compile_formula(type + formulastart[k], value + formulastart[k], size_t(formulastart[k + 1] - formulastart[k]));
    } catch (const Error &e) {
      throw Error(std::string(e.what()) + " (" + which + ")");
    }
    if (!f.columns.empty() && f.columns.back() >= m.cols())
      throw Error("Column " + std::to_string(f.columns.back()) + " of the formula does not exist (" + which + ")");
    batch.push_back(Coefficient{rowindex[k], colindex[k], factor ? factor[k] : 1.0,
                                std::make_shared<const Formula>(std::move(f))});
  }
  return batch;
}

void erase_at(KNLSprob prob, int row, int col) {
  auto &c = prob->coefs;
  c.erase(std::remove_if(c.begin(), c.end(), [&](const Coefficient &e) { return e.row == row && e.col == col; }),
          c.end());
}

// Evaluates one formula given by the caller at the current point.
void evaluate_standalone(KNLSprob prob, int parsed, const int type[], const double value[], double *result,
                         double gradient[]) {
  if (!result || !type || !value) throw Error("Null argument passed for formula evaluation");
  if (parsed != 1) throw Error("Only parsed (reverse Polish) formulas are accepted");
  size_t len = 0;
  while (type[len] != KNLS_TOK_EOF) {
    if (++len > 100000000) throw Error("Formula without end token");
  }
  Formula f = compile_formula(type, value, len);
  std::vector<double> x = current_point(prob);
  if (!f.columns.empty() && size_t(f.columns.back()) >= x.size())
    throw Error("Column " + std::to_string(f.columns.back()) + " of the formula does not exist");
  ProblemUserFunctions users(prob);
  Tape tape;
  *result = tape.evaluate(f, x.data(), &users, gradient != nullptr);
  if (gradient) {
    std::vector<double> g(x.size(), 0.0);
    tape.add_gradient(1.0, g);
    std::copy(g.begin(), g.end(), gradient);
  }
}

}  // namespace

extern "C" {

int KNLSaddcoefs(KNLSprob nlprob, int ncoefs, const int rowindex[], const int colindex[], const double factor[],
                 const int formulastart[], int parsed, const int type[], const double value[]) noexcept {
  return guard_nlp(nlprob, [&] {
    auto batch = checked_batch(nlprob, ncoefs, rowindex, colindex, factor, formulastart, parsed, type, value);
    nlprob->coefs.insert(nlprob->coefs.end(), batch.begin(), batch.end());
  });
}

int KNLSloadcoefs(KNLSprob nlprob, int ncoefs, const int rowindex[], const int colindex[], const double factor[],
                  const int formulastart[], int parsed, const int type[], const double value[]) noexcept {
  return guard_nlp(nlprob, [&] {
    auto batch = checked_batch(nlprob, ncoefs, rowindex, colindex, factor, formulastart, parsed, type, value);
    nlprob->coefs = std::move(batch);
  });
}

int KNLSchgcoef(KNLSprob nlprob, int row, int col, const double *factor, int parsed, const int type[],
                const double value[]) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!type) {
      erase_at(nlprob, row, col);
      return;
    }
    // A single formula: its extent is up to its end token.
    int len = 0;
    while (type[len] != KNLS_TOK_EOF) {
      if (++len > 100000000) throw Error("Formula without end token");
    }
    int starts[2] = {0, len + 1};
    auto batch = checked_batch(nlprob, 1, &row, &col, factor, starts, parsed, type, value);
    erase_at(nlprob, row, col);
    nlprob->coefs.push_back(batch.front());
  });
}

int KNLSgetcoefs(KNLSprob nlprob, int *ncoefs, int rowindex[], int colindex[]) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!ncoefs) throw Error("KNLSgetcoefs: null count");
    *ncoefs = int(nlprob->coefs.size());
    for (size_t k = 0; k < nlprob->coefs.size(); ++k) {
      if (rowindex) rowindex[k] = nlprob->coefs[k].row;
      if (colindex) colindex[k] = nlprob->coefs[k].col;
    }
  });
}

int KNLSdelcoefs(KNLSprob nlprob, int ncoefs, const int rowindex[], const int colindex[]) noexcept {
  return guard_nlp(nlprob, [&] {
    if (ncoefs < 0 || (ncoefs > 0 && (!rowindex || !colindex))) throw Error("KNLSdelcoefs: invalid arguments");
    for (int k = 0; k < ncoefs; ++k) erase_at(nlprob, rowindex[k], colindex[k]);
  });
}

int KNLSgetcoefformula(KNLSprob nlprob, int row, int col, double *factor, int parsed, int buffersize, int *ntokens,
                       int type[], double value[]) noexcept {
  return guard_nlp(nlprob, [&] {
    if (parsed != 1) throw Error("Formulas are only given in parsed (reverse Polish) form");
    auto it = std::find_if(nlprob->coefs.begin(), nlprob->coefs.end(),
                           [&](const Coefficient &e) { return e.row == row && e.col == col; });
    if (it == nlprob->coefs.end())
      throw Error("No nonlinear coefficient at row " + std::to_string(row) + ", column " + std::to_string(col));
    const auto &tokens = it->formula->tokens;
    if (factor) *factor = it->factor;
    if (ntokens) *ntokens = int(tokens.size()) + 1;
    if (!type || !value) return;
    if (buffersize < int(tokens.size()) + 1) throw Error("Token buffer too short for the formula");
    for (size_t k = 0; k < tokens.size(); ++k) {
      type[k] = tokens[k].type;
      value[k] = tokens[k].value;
    }
    type[tokens.size()] = KNLS_TOK_EOF;
    value[tokens.size()] = 0.0;
  });
}

int KNLSevaluatecoef(KNLSprob nlprob, int row, int col, double *value) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!value) throw Error("KNLSevaluatecoef: null argument");
    std::vector<double> x = current_point(nlprob);
    ProblemUserFunctions users(nlprob);
    Tape tape;
    double sum = 0;
    bool found = false;
    for (const auto &c : nlprob->coefs) {
      if (c.row != row || c.col != col) continue;
      found = true;
      double f = tape.evaluate(*c.formula, x.data(), &users, false);
      sum += c.factor * f * (c.col >= 0 ? x[size_t(c.col)] : 1.0);
    }
    if (!found)
      throw Error("No nonlinear coefficient at row " + std::to_string(row) + ", column " + std::to_string(col));
    *value = sum;
  });
}

int KNLSevaluateformula(KNLSprob nlprob, int parsed, const int type[], const double value[], double *result) noexcept {
  return guard_nlp(nlprob, [&] { evaluate_standalone(nlprob, parsed, type, value, result, nullptr); });
}

int KNLSevaluateformulagradient(KNLSprob nlprob, int parsed, const int type[], const double value[], double *result,
                                double gradient[]) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!gradient) throw Error("KNLSevaluateformulagradient: null gradient");
    evaluate_standalone(nlprob, parsed, type, value, result, gradient);
  });
}

}  // extern "C"
