// The global environment: start/stop with a use count, banner and version,
// the global message handlers and the global last error.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "HConfig.h"
#include "guard.h"
#include "messages.h"
#include "object.h"
#include "problem.h"

#define KRVS_VERSION_TEXT "0.1.0"

namespace krvs {
namespace {

struct GlobalHandler {
  KRVSmsghandler_fn fn;
  void *user_data;
  int priority;
};

struct Environment {
  ObjectHeader header{"KRVSenv"};
  std::mutex mutex;
  int use_count = 0;
  int checked_mode = 1;
  int arch_consistent = 0;
  int compute_allowed = 1;
  std::vector<GlobalHandler> handlers;  // highest priority first, then registration order
};

Environment &env() {
  static Environment instance;
  return instance;
}

struct GlobalError {
  int code = 0;
  std::string text;
};
thread_local GlobalError tls_error;

}  // namespace

void set_global_error(int code, const std::string &msg) noexcept {
  try {
    tls_error.code = code;
    tls_error.text = msg;
  } catch (...) {
  }
}

void clear_global_error() noexcept {
  tls_error.code = 0;
  tls_error.text.clear();
}

void copy_text(const std::string &text, char *buffer, size_t capacity) noexcept {
  if (!buffer || capacity == 0) return;
  size_t n = std::min(text.size(), capacity - 1);
  memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

KRVSobject global_sender() noexcept { return &env().header; }

namespace {

template <class Deliver>
void for_each_line(const std::string &text, Deliver &&deliver) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start || end < text.size()) deliver(text.substr(start, end - start));
    if (end >= text.size()) break;
    start = end + 1;
  }
}

void deliver_global(KRVSobject sender, const std::string &line, int type) {
  // Copy the list so that a handler may add or remove handlers.
  std::vector<GlobalHandler> handlers;
  {
    std::lock_guard<std::mutex> lock(env().mutex);
    handlers = env().handlers;
  }
  for (const auto &h : handlers) h.fn(sender, h.user_data, nullptr, line.c_str(), int(line.size()), type);
}

}  // namespace

void emit_global(KRVSobject sender, const std::string &text, int type) noexcept {
  try {
    for_each_line(text, [&](const std::string &line) { deliver_global(sender, line, type); });
  } catch (...) {
  }
}

bool known_message_code(int code) noexcept {
  switch (code) {
    case MSGCODE_SOLVE_START:
    case MSGCODE_WARM_START:
    case MSGCODE_SOLVE_SUMMARY:
    case MSGCODE_SOLVE_FAILED:
    case MSGCODE_SOLVER_INFO:
    case MSGCODE_SOLVER_WARNING:
    case MSGCODE_SOLVER_ERROR:
    case MSGCODE_NONLINEAR: return true;
    default: return false;
  }
}

void emit_problem(KRVSprob prob, const std::string &text, int type, int code) noexcept {
  try {
    for_each_line(text, [&](const std::string &line) {
      std::vector<MessageCallback> callbacks;
      {
        std::lock_guard<std::mutex> lock(prob->callback_mutex);
        if (code != MSGCODE_NONE) {
          auto status = prob->message_status.find(code);
          if (status != prob->message_status.end() && status->second == 0) return;
        }
        callbacks = prob->message_callbacks;
        if (prob->log_file) {
          std::fwrite(line.data(), 1, line.size(), prob->log_file);
          std::fputc('\n', prob->log_file);
          std::fflush(prob->log_file);
        }
      }
      for (const auto &cb : callbacks) cb.fn(prob, cb.user_data, line.c_str(), int(line.size()), type);
      deliver_global(prob, line, type);
    });
  } catch (...) {
  }
}

}  // namespace krvs

using namespace krvs;

extern "C" {

int KRVSinit(const char * /*path*/) noexcept {
  return guard_global([] {
    std::lock_guard<std::mutex> lock(env().mutex);
    ++env().use_count;
  });
}

int KRVSfree(void) noexcept {
  return guard_global([] {
    std::lock_guard<std::mutex> lock(env().mutex);
    if (env().use_count > 0) --env().use_count;
  });
}

int KRVSgetversion(char *version) noexcept {
  return guard_global([&] {
    if (!version) throw Error("KRVSgetversion: null buffer");
    copy_text(KRVS_VERSION_TEXT, version, 32);
  });
}

int KRVSgetbanner(char *banner) noexcept {
  return guard_global([&] {
    if (!banner) throw Error("KRVSgetbanner: null buffer");
    char text[512];
    snprintf(text, sizeof text, "korvo optimizer engine libkrvs v%s, built on HiGHS %d.%d.%d",
             KRVS_VERSION_TEXT, HIGHS_VERSION_MAJOR, HIGHS_VERSION_MINOR, HIGHS_VERSION_PATCH);
    copy_text(text, banner, 512);
  });
}

int KRVSgetcheckedmode(int *checked_mode) noexcept {
  return guard_global([&] {
    if (!checked_mode) throw Error("KRVSgetcheckedmode: null argument");
    std::lock_guard<std::mutex> lock(env().mutex);
    *checked_mode = env().checked_mode;
  });
}

int KRVSsetcheckedmode(int checked_mode) noexcept {
  return guard_global([&] {
    std::lock_guard<std::mutex> lock(env().mutex);
    env().checked_mode = checked_mode ? 1 : 0;
  });
}

int KRVSgetobjecttypename(KRVSobject object, const char **name) noexcept {
  return guard_global([&] {
    if (!object || !name) throw Error("KRVSgetobjecttypename: null argument");
    auto *header = static_cast<const ObjectHeader *>(object);
    if (header->magic != kObjectMagic) throw Error("KRVSgetobjecttypename: not an engine object");
    *name = header->type_name;
  });
}

int KRVS_ge_addcbmsghandler(KRVSmsghandler_fn handler, void *user_data, int priority) noexcept {
  return guard_global([&] {
    if (!handler) throw Error("KRVS_ge_addcbmsghandler: null handler");
    std::lock_guard<std::mutex> lock(env().mutex);
    auto &list = env().handlers;
    auto pos = std::find_if(list.begin(), list.end(),
                            [&](const GlobalHandler &h) { return h.priority < priority; });
    list.insert(pos, GlobalHandler{handler, user_data, priority});
  });
}

int KRVS_ge_removecbmsghandler(KRVSmsghandler_fn handler, void *user_data) noexcept {
  // A null handler removes every registration (with user data as filter when given).
  return guard_global([&] {
    std::lock_guard<std::mutex> lock(env().mutex);
    auto &list = env().handlers;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const GlobalHandler &h) {
                                return (!handler || h.fn == handler) &&
                                       (!user_data || h.user_data == user_data);
                              }),
               list.end());
  });
}

int KRVS_ge_getlasterror(int *code, char *msg, int maxbytes, int *msglen) noexcept {
  if (code) *code = tls_error.code;
  if (msg && maxbytes > 0) copy_text(tls_error.text, msg, size_t(maxbytes));
  if (msglen) *msglen = int(tls_error.text.size());
  return 0;
}

int KRVS_ge_setarchconsistency(int consistent) noexcept {
  return guard_global([&] {
    std::lock_guard<std::mutex> lock(env().mutex);
    env().arch_consistent = consistent ? 1 : 0;
  });
}

int KRVS_ge_getcomputeallowed(int *allowed) noexcept {
  return guard_global([&] {
    if (!allowed) throw Error("KRVS_ge_getcomputeallowed: null argument");
    std::lock_guard<std::mutex> lock(env().mutex);
    *allowed = env().compute_allowed;
  });
}

int KRVS_ge_setcomputeallowed(int allowed) noexcept {
  return guard_global([&] {
    std::lock_guard<std::mutex> lock(env().mutex);
    env().compute_allowed = allowed;
  });
}

}  // extern "C"
