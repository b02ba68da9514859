#include "solve/basis_solver.h"

#include <string>

#include "Highs.h"
#include "core/guard.h"
#include "core/problem.h"
#include "model/model.h"
#include "solve/highs_build.h"
#include "solve/solve_state.h"
#include "solve/stored_basis.h"

namespace krvs {

BasisSolver::BasisSolver(KRVSprob prob, const char *fn) : fn_(fn), highs_(new Highs) {
  const Model &m = *prob->model;
  const StoredBasis &stored = current_basis(fn, prob);
  rows_ = m.rows();
  cols_ = m.cols();
  if (rows_ == 0) return;
  int basic = 0;
  for (int8_t s : stored.col_status) basic += s == int8_t(HighsBasisStatus::kBasic);
  for (int8_t s : stored.row_status) basic += s == int8_t(HighsBasisStatus::kBasic);
  if (basic != rows_)
    throw Error(std::string(fn) + ": the basis has " + std::to_string(basic) + " basic variables for " +
                std::to_string(rows_) + " rows");
  BuiltModel built = build_highs_model(m, BuildMode::Relaxation, prob->controls.get_double(CTRL_7008));
  built.model.hessian_.clear();
  Highs &h = *highs_;
  h.setOptionValue("output_flag", false);
  h.setOptionValue("presolve", std::string("off"));
  h.setOptionValue("solver", std::string("simplex"));
  h.setOptionValue("simplex_iteration_limit", HighsInt(0));
  if (h.passModel(std::move(built.model)) == HighsStatus::kError)
    throw Error(std::string(fn) + ": the solver refused the model");
  HighsBasis basis;
  basis.col_status.resize(size_t(cols_));
  basis.row_status.resize(size_t(rows_));
  for (int j = 0; j < cols_; ++j) basis.col_status[size_t(j)] = HighsBasisStatus(stored.col_status[size_t(j)]);
  for (int i = 0; i < rows_; ++i) basis.row_status[size_t(i)] = HighsBasisStatus(stored.row_status[size_t(i)]);
  basis.valid = true;
  basis.alien = false;
  if (h.setBasis(basis) == HighsStatus::kError) throw Error(std::string(fn) + ": the solver refused the basis");
  // No iterations: the run factors the basis and stops.
  h.run();
  if (!h.hasInvert()) throw Error(std::string(fn) + ": the basis matrix could not be factored");
}

BasisSolver::~BasisSolver() = default;

void BasisSolver::ftran(const double *b, double *x) {
  if (rows_ == 0) return;
  std::vector<double> in(b, b + rows_), out(static_cast<size_t>(rows_));
  if (highs_->getBasisSolve(in.data(), out.data()) == HighsStatus::kError)
    throw Error(std::string(fn_) + ": the solve with the basis matrix failed");
  std::copy(out.begin(), out.end(), x);
}

void BasisSolver::btran(const double *b, double *x) {
  if (rows_ == 0) return;
  std::vector<double> in(b, b + rows_), out(static_cast<size_t>(rows_));
  if (highs_->getBasisTransposeSolve(in.data(), out.data()) == HighsStatus::kError)
    throw Error(std::string(fn_) + ": the solve with the transposed basis matrix failed");
  std::copy(out.begin(), out.end(), x);
}

std::vector<int> BasisSolver::basic_variables() {
  std::vector<HighsInt> basic(static_cast<size_t>(rows_));
  if (rows_ > 0 && highs_->getBasicVariables(basic.data()) == HighsStatus::kError)
    throw Error(std::string(fn_) + ": the basic variables are not available");
  std::vector<int> combined(static_cast<size_t>(rows_));
  for (int k = 0; k < rows_; ++k)
    combined[size_t(k)] = basic[size_t(k)] >= 0 ? rows_ + int(basic[size_t(k)]) : int(-basic[size_t(k)] - 1);
  return combined;
}

}  // namespace krvs
