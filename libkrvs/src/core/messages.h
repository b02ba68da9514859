// Routing of log lines: a problem's lines go to its own message callbacks and
// to the global handlers (with the problem as sender); lines that belong to
// no problem go to the global handlers only.
#pragma once

#include <string>

#include "krvs.h"

namespace krvs {

enum MessageType { MSG_INFO = 1, MSG_WARNING = 3, MSG_ERROR = 4 };

// The environment object that sends messages belonging to no problem.
KRVSobject global_sender() noexcept;

// Splits text into lines and hands each whole line on.
void emit_global(KRVSobject sender, const std::string &text, int type) noexcept;
void emit_problem(KRVSprob prob, const std::string &text, int type) noexcept;

}  // namespace krvs
