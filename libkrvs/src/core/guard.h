// Every exported function runs its body through krvs_guard: C++ exceptions
// never cross the C interface; they become an error code and a last-error
// text on the problem (or on the global environment).
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "krvs.h"

namespace krvs {

// An error the caller made or the engine detected; its text is shown as is.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Last error of the global environment (thread-local, as callers read it
// right after the failing call on the same thread).
void set_global_error(int code, const std::string &msg) noexcept;
void clear_global_error() noexcept;

void set_problem_error(KRVSprob prob, const std::string &msg) noexcept;

// Runs fn; returns 0 on success, 1 after storing the exception's text.
template <class Fn>
int guard_global(Fn &&fn) noexcept {
  try {
    fn();
    return 0;
  } catch (const std::bad_alloc &) {
    set_global_error(1, "Out of memory");
  } catch (const std::exception &e) {
    set_global_error(1, e.what());
  } catch (...) {
    set_global_error(1, "Unknown internal error");
  }
  return 1;
}

template <class Fn>
int guard_problem(KRVSprob prob, Fn &&fn) noexcept {
  if (!prob) {
    set_global_error(1, "Null problem handle");
    return 1;
  }
  try {
    fn();
    return 0;
  } catch (const std::bad_alloc &) {
    set_problem_error(prob, "Out of memory");
  } catch (const std::exception &e) {
    set_problem_error(prob, e.what());
  } catch (...) {
    set_problem_error(prob, "Unknown internal error");
  }
  return 1;
}

// Copies text into a caller's buffer of capacity bytes, always terminated.
void copy_text(const std::string &text, char *buffer, size_t capacity) noexcept;

}  // namespace krvs
