// User functions: registration (strings, definitions, names, addresses,
// objects) and calls through the registered entry point.
#include "user_functions.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "nlp_guard.h"
#include "nlp_problem.h"

namespace krvs::nlp {

namespace {

const UserFunction &lookup(KNLSprob prob, int index) {
  if (index < 1 || size_t(index) > prob->userfuncs.size())
    throw EvalError("Unknown user function " + std::to_string(index));
  return prob->userfuncs[size_t(index) - 1];
}

std::string describe(const UserFunction &uf, int index) {
  return "User function " + (uf.name.empty() ? std::to_string(index) : "'" + uf.name + "'");
}

}  // namespace

double ProblemUserFunctions::call(int index, const double *input, int n, double *grad) {
  const UserFunction &uf = lookup(prob_, index);
  if (!uf.address) throw EvalError(describe(uf, index) + " has no address");
  const double sentinel = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> output(size_t(n) + 1, sentinel);
  std::vector<double> deltas(size_t(n) + 1, 1.0);
  UserCallContext ctx{prob_->origin ? prob_->origin : prob_, n, 1, grad ? 1 : 0, index};
  // The value always comes back in output[0]: a failing entry point leaves
  // it unset, which tells a failure from a legitimate return value.
  uf.address(input, &ctx, grad ? deltas.data() : nullptr, output.data());
  if (!std::isfinite(output[0]))
    throw EvalError(describe(uf, index) + " failed or returned a value that is not a finite number");
  if (grad)
    for (int i = 0; i < n; ++i) grad[i] = output[size_t(i) + 1];
  return output[0];
}

double ProblemUserFunctions::value_and_gradient(int index, const double *input, int n, double *grad) {
  const UserFunction &uf = lookup(prob_, index);
  if (!grad) return call(index, input, n, nullptr);
  if (uf.returns_derivatives()) {
    for (int i = 0; i < n; ++i) grad[i] = std::numeric_limits<double>::quiet_NaN();
    double v = call(index, input, n, grad);
    bool complete = true;
    for (int i = 0; i < n; ++i) complete = complete && std::isfinite(grad[i]);
    if (complete) return v;
  }
  double v = call(index, input, n, nullptr);
  // Central differences with a step of about the cube root of the machine
  // precision relative to the argument; one-sided where the function fails
  // on one side.
  std::vector<double> point(input, input + n);
  for (int i = 0; i < n; ++i) {
    const double h = 6e-6 * std::max(1.0, std::fabs(input[i]));
    double up = 0, down = 0;
    bool up_ok = true, down_ok = true;
    point[size_t(i)] = input[i] + h;
    try { up = call(index, point.data(), n, nullptr); } catch (const EvalError &) { up_ok = false; }
    point[size_t(i)] = input[i] - h;
    try { down = call(index, point.data(), n, nullptr); } catch (const EvalError &) { down_ok = false; }
    point[size_t(i)] = input[i];
    if (up_ok && down_ok)
      grad[i] = (up - down) / (2 * h);
    else if (up_ok)
      grad[i] = (up - v) / h;
    else if (down_ok)
      grad[i] = (v - down) / h;
    else
      throw EvalError(describe(uf, index) + " fails next to the point where its derivative is needed");
  }
  return v;
}

}  // namespace krvs::nlp

using namespace krvs;
using namespace krvs::nlp;

extern "C" {

int KNLSsetstring(KNLSprob nlprob, int *index, const char *text) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!text) throw Error("KNLSsetstring: null text");
    nlprob->strings.emplace_back(text);
    if (index) *index = int(nlprob->strings.size());
  });
}

int KNLSadduserfuncs(KNLSprob nlprob, int nuserfuncs, const int type[], const double value[]) noexcept {
  return guard_nlp(nlprob, [&] {
    if (nuserfuncs < 0) throw Error("KNLSadduserfuncs: negative count");
    if (nuserfuncs > 0 && (!type || !value)) throw Error("KNLSadduserfuncs: null token arrays");
    std::vector<UserFunction> added;
    auto string_at = [&](double v) {
      long k = std::lround(v);
      if (k < 1 || size_t(k) > nlprob->strings.size()) throw Error("KNLSadduserfuncs: unknown string index");
      return nlprob->strings[size_t(k) - 1];
    };
    size_t pos = 0;
    for (int f = 0; f < nuserfuncs; ++f) {
      UserFunction uf;
      int strings_seen = 0;
      for (;; ++pos) {
        if (pos > 1000000) throw Error("KNLSadduserfuncs: definition without end token");
        int t = type[pos];
        if (t == 0) { ++pos; break; }
        if (t == KNLS_UF_STRING) {
          (strings_seen++ == 0 ? uf.name : uf.linkage) = string_at(value[pos]);
        } else if (t == KNLS_UF_FLAGS) {
          uf.flags = int(std::lround(value[pos]));
        } else if (t == KNLS_UF_OUTPUTS) {
          uf.outputs = int(std::lround(value[pos]));
          if (uf.outputs != 1) throw Error("KNLSadduserfuncs: only user functions with one result are supported");
        } else {
          throw Error("KNLSadduserfuncs: unknown item type " + std::to_string(t));
        }
      }
      added.push_back(std::move(uf));
    }
    for (auto &uf : added) nlprob->userfuncs.push_back(std::move(uf));
  });
}

int KNLSaddnames(KNLSprob nlprob, int type, const char names[], int first, int last) noexcept {
  return guard_nlp(nlprob, [&] {
    if (type != 5) throw Error("KNLSaddnames: only user function names (type 5) are kept here");
    if (!names || first < 1 || last < first || size_t(last) > nlprob->userfuncs.size())
      throw Error("KNLSaddnames: invalid user function range");
    const char *p = names;
    for (int k = first; k <= last; ++k) {
      nlprob->userfuncs[size_t(k) - 1].name = p;
      p += strlen(p) + 1;
    }
  });
}

int KNLSchguserfuncaddress(KNLSprob nlprob, int index, KNLSuserfunc_fn address) noexcept {
  return guard_nlp(nlprob, [&] {
    if (index < 1 || size_t(index) > nlprob->userfuncs.size()) throw Error("Unknown user function index");
    nlprob->userfuncs[size_t(index) - 1].address = address;
  });
}

int KNLSsetuserfuncobject(KNLSprob nlprob, int index, void *object) noexcept {
  return guard_nlp(nlprob, [&] {
    if (index < 1 || size_t(index) > nlprob->userfuncs.size()) throw Error("Unknown user function index");
    nlprob->userfuncs[size_t(index) - 1].object = object;
  });
}

int KNLSgetuserfuncobject(KNLSprob nlprob, int index, void **object) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!object) throw Error("KNLSgetuserfuncobject: null argument");
    if (index < 1 || size_t(index) > nlprob->userfuncs.size()) throw Error("Unknown user function index");
    *object = nlprob->userfuncs[size_t(index) - 1].object;
  });
}

int KNLSgetuserfuncflags(KNLSprob nlprob, int index, int *flags) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!flags) throw Error("KNLSgetuserfuncflags: null argument");
    if (index < 1 || size_t(index) > nlprob->userfuncs.size()) throw Error("Unknown user function index");
    *flags = nlprob->userfuncs[size_t(index) - 1].flags;
  });
}

int KNLSgetfuncobject(void *context, int id, void **object) noexcept {
  return guard_global([&] {
    if (!context || !object) throw Error("KNLSgetfuncobject: null argument");
    if (id != KNLS_FUNCOBJ_NLPROB) throw Error("KNLSgetfuncobject: unknown object id " + std::to_string(id));
    *object = static_cast<UserCallContext *>(context)->prob;
  });
}

int KNLSgetfuncinfo(void *context, int *ninputs, int *value_in_output, int *derivatives, int *index) noexcept {
  return guard_global([&] {
    if (!context) throw Error("KNLSgetfuncinfo: null context");
    auto *ctx = static_cast<UserCallContext *>(context);
    if (ninputs) *ninputs = ctx->ninputs;
    if (value_in_output) *value_in_output = ctx->value_in_output;
    if (derivatives) *derivatives = ctx->derivatives;
    if (index) *index = ctx->index;
  });
}

}  // extern "C"
