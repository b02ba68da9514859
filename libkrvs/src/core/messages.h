// Routing of log lines: a problem's lines go to its own message callbacks and
// to the global handlers (with the problem as sender); lines that belong to
// no problem go to the global handlers only.
#pragma once

#include <string>

#include "krvs.h"

namespace krvs {

enum MessageType { MSG_INFO = 1, MSG_WARNING = 3, MSG_ERROR = 4 };

// Codes of the lines a problem's log carries; each can be switched off per
// problem (KRVSsetmessagestatus). Lines of HiGHS's own log carry the code of
// their kind.
enum MessageCode : int {
  MSGCODE_NONE = 0,            // lines without a code of their own, always shown
  MSGCODE_SOLVE_START = 101,   // "Solving LP with ... rows ..."
  MSGCODE_WARM_START = 102,    // "Starting from the previous basis" / a loaded basis or start
  MSGCODE_SOLVE_SUMMARY = 103, // "Solve finished: ..."
  MSGCODE_SOLVE_FAILED = 104,  // "Solve failed: ..."
  MSGCODE_SOLVER_INFO = 201,   // HiGHS's information lines
  MSGCODE_SOLVER_WARNING = 202,
  MSGCODE_SOLVER_ERROR = 203,
  MSGCODE_NONLINEAR = 301,     // the nonlinear solver's iteration log
};
bool known_message_code(int code) noexcept;

// The environment object that sends messages belonging to no problem.
KRVSobject global_sender() noexcept;

// Splits text into lines and hands each whole line on.
void emit_global(KRVSobject sender, const std::string &text, int type) noexcept;
// A line whose code the problem has switched off is dropped; every other
// line also goes to the problem's log file, when it has one.
void emit_problem(KRVSprob prob, const std::string &text, int type, int code = MSGCODE_NONE) noexcept;

}  // namespace krvs
