// Calling user functions through their registered entry points, with
// partial derivatives from the function itself or by central differences.
#pragma once

#include "formula.h"
#include "knls.h"

namespace krvs::nlp {

// What a user-function entry point can ask about the call it serves
// (KNLSgetfuncinfo, KNLSgetfuncobject).
struct UserCallContext {
  KNLSprob prob;
  int ninputs;
  int value_in_output;
  int derivatives;
  int index;
};

class ProblemUserFunctions : public UserFunctionCaller {
 public:
  explicit ProblemUserFunctions(KNLSprob prob) : prob_(prob) {}
  double value_and_gradient(int index, const double *input, int n, double *grad) override;

 private:
  // One call of the entry point; throws EvalError when it fails.
  double call(int index, const double *input, int n, double *grad);
  KNLSprob prob_;
};

}  // namespace krvs::nlp
