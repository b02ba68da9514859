// Every exported KNLS function runs its body through guard_nlp: exceptions
// become a non-zero return and the problem's last-error text.
#pragma once

#include <string>

#include "core/guard.h"
#include "nlp_problem.h"

namespace krvs {

void set_nlp_error(KNLSprob prob, const std::string &msg) noexcept;

template <class Fn>
int guard_nlp(KNLSprob prob, Fn &&fn) noexcept {
  if (!prob) {
    set_global_error(1, "Null nonlinear problem handle");
    return 1;
  }
  try {
    fn();
    return 0;
  } catch (const std::bad_alloc &) {
    set_nlp_error(prob, "Out of memory");
  } catch (const std::exception &e) {
    set_nlp_error(prob, e.what());
  } catch (...) {
    set_nlp_error(prob, "Unknown internal error");
  }
  return 1;
}

}  // namespace krvs
