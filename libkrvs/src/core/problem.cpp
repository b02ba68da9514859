// Problem life cycle, names, last error, message callbacks, interrupt and
// the control/attribute entry points.
#include "problem.h"

#include <algorithm>
#include <cstring>

#include "guard.h"
#include "model/model.h"
#include "solve/solve_state.h"

krvs_problem_s::krvs_problem_s()
    : model(std::make_unique<krvs::Model>()), solve(std::make_unique<krvs::SolveState>()) {}
krvs_problem_s::~krvs_problem_s() {
  if (log_file) std::fclose(log_file);
}

namespace krvs {

namespace {
// A search worker's problem shares the controls of the problem being solved.
ControlValues &controls_of(KRVSprob prob) {
  return prob->search_origin ? prob->search_origin->controls : prob->controls;
}
}  // namespace

void refuse_on_search_worker(KRVSprob prob, const char *function) {
  if (prob->search_origin)
    throw Error(std::string(function) +
                ": callbacks cannot be changed on the problem of a search worker; change them on the problem being "
                "solved");
}

void set_problem_error(KRVSprob prob, const std::string &msg) noexcept {
  try {
    std::lock_guard<std::mutex> lock(prob->error_mutex);
    prob->last_error = msg;
  } catch (...) {
  }
  set_global_error(1, msg);
}

}  // namespace krvs

using namespace krvs;

extern "C" {

int KRVScreateprob(KRVSprob *prob) noexcept {
  return guard_global([&] {
    if (!prob) throw Error("KRVScreateprob: null argument");
    *prob = nullptr;
    *prob = new krvs_problem_s();
  });
}

int KRVSdestroyprob(KRVSprob prob) noexcept {
  return guard_global([&] { delete prob; });
}

int KRVSsetprobname(KRVSprob prob, const char *name) noexcept {
  return guard_problem(prob, [&] { prob->name = name ? name : ""; });
}

int KRVSgetprobname(KRVSprob prob, char *name) noexcept {
  return guard_problem(prob, [&] {
    if (!name) throw Error("KRVSgetprobname: null buffer");
    memcpy(name, prob->name.c_str(), prob->name.size() + 1);
  });
}

int KRVSgetlasterror(KRVSprob prob, char *msg) noexcept {
  if (!prob || !msg) return 1;
  std::lock_guard<std::mutex> lock(prob->error_mutex);
  copy_text(prob->last_error, msg, 512);
  return 0;
}

int KRVSaddcbmessage(KRVSprob prob, KRVSmessage_fn fn, void *user_data, int priority) noexcept {
  return guard_problem(prob, [&] {
    if (!fn) throw Error("KRVSaddcbmessage: null callback");
    refuse_on_search_worker(prob, "KRVSaddcbmessage");
    std::lock_guard<std::mutex> lock(prob->callback_mutex);
    auto &list = prob->message_callbacks;
    auto pos = std::find_if(list.begin(), list.end(),
                            [&](const MessageCallback &c) { return c.priority < priority; });
    list.insert(pos, MessageCallback{fn, user_data, priority});
  });
}

int KRVSremovecbmessage(KRVSprob prob, KRVSmessage_fn fn, void *user_data) noexcept {
  // A null function removes all callbacks (with the user data as filter when given).
  return guard_problem(prob, [&] {
    refuse_on_search_worker(prob, "KRVSremovecbmessage");
    std::lock_guard<std::mutex> lock(prob->callback_mutex);
    auto &list = prob->message_callbacks;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const MessageCallback &c) {
                                return (!fn || c.fn == fn) && (!user_data || c.user_data == user_data);
                              }),
               list.end());
  });
}

int KRVSinterrupt(KRVSprob prob, int reason) noexcept {
  if (!prob) return 1;
  prob->interrupt_reason.store(reason == 0 ? 9 : reason);
  prob->interrupt_wake.wake();
  // A search worker's stop ends the whole search.
  if (prob->search_origin) {
    prob->search_origin->interrupt_reason.store(reason == 0 ? 9 : reason);
    prob->search_origin->interrupt_wake.wake();
  }
  return 0;
}

// ---- controls -----------------------------------------------------------

int KRVSgetintcontrol(KRVSprob prob, int id, int *value) noexcept {
  return guard_problem(prob, [&] {
    if (!value) throw Error("KRVSgetintcontrol: null argument");
    int64_t v = controls_of(prob).get_int(id);
    *value = v > INT32_MAX ? INT32_MAX : int(v);
  });
}

int KRVSgetintcontrol64(KRVSprob prob, int id, int64_t *value) noexcept {
  return guard_problem(prob, [&] {
    if (!value) throw Error("KRVSgetintcontrol64: null argument");
    *value = controls_of(prob).get_int(id);
  });
}

int KRVSsetintcontrol(KRVSprob prob, int id, int value) noexcept {
  return guard_problem(prob, [&] { controls_of(prob).set_int(id, value); });
}

int KRVSsetintcontrol64(KRVSprob prob, int id, int64_t value) noexcept {
  return guard_problem(prob, [&] { controls_of(prob).set_int(id, value); });
}

int KRVSgetdblcontrol(KRVSprob prob, int id, double *value) noexcept {
  return guard_problem(prob, [&] {
    if (!value) throw Error("KRVSgetdblcontrol: null argument");
    *value = controls_of(prob).get_double(id);
  });
}

int KRVSsetdblcontrol(KRVSprob prob, int id, double value) noexcept {
  return guard_problem(prob, [&] {
    controls_of(prob).set_double(id, value);
    // A stopping gap loosened by a callback ends a running MIP solve that
    // reaches it, which HiGHS's run only sees through its interrupt events.
    if (id == CTRL_7002 || id == CTRL_7003) prob->interrupt_wake.wake();
  });
}

int KRVSgetstrcontrol(KRVSprob prob, int id, char *value) noexcept {
  return guard_problem(prob, [&] {
    if (!value) throw Error("KRVSgetstrcontrol: null buffer");
    copy_text(controls_of(prob).get_string(id), value, 2048);
  });
}

int KRVSgetstringcontrol(KRVSprob prob, int id, char *value, int maxbytes, int *nbytes) noexcept {
  return guard_problem(prob, [&] {
    const std::string &text = controls_of(prob).get_string(id);
    if (nbytes) *nbytes = int(text.size()) + 1;
    if (value && maxbytes > 0) copy_text(text, value, size_t(maxbytes));
  });
}

int KRVSsetstrcontrol(KRVSprob prob, int id, const char *value) noexcept {
  return guard_problem(prob, [&] { controls_of(prob).set_string(id, value ? value : ""); });
}

int KRVSsetdefaultcontrol(KRVSprob prob, int id) noexcept {
  return guard_problem(prob, [&] { controls_of(prob).reset(id); });
}

int KRVSsetdefaults(KRVSprob prob) noexcept {
  return guard_problem(prob, [&] { controls_of(prob).reset_all(); });
}

int KRVScopycontrols(KRVSprob dest, KRVSprob src) noexcept {
  return guard_problem(dest, [&] {
    if (!src) throw Error("KRVScopycontrols: null source problem");
    controls_of(dest) = controls_of(src);
  });
}

// ---- attributes ---------------------------------------------------------

int KRVSgetintattrib64(KRVSprob prob, int id, int64_t *value) noexcept {
  return guard_problem(prob, [&] {
    if (!value) throw Error("KRVSgetintattrib64: null argument");
    if (!int_attribute(prob, id, *value))
      throw Error("Unknown integer attribute id " + std::to_string(id));
  });
}

int KRVSgetintattrib(KRVSprob prob, int id, int *value) noexcept {
  return guard_problem(prob, [&] {
    if (!value) throw Error("KRVSgetintattrib: null argument");
    int64_t v = 0;
    if (!int_attribute(prob, id, v)) throw Error("Unknown integer attribute id " + std::to_string(id));
    *value = int(v);
  });
}

int KRVSgetdblattrib(KRVSprob prob, int id, double *value) noexcept {
  return guard_problem(prob, [&] {
    if (!value) throw Error("KRVSgetdblattrib: null argument");
    if (!double_attribute(prob, id, *value))
      throw Error("Unknown double attribute id " + std::to_string(id));
  });
}

int KRVSgetstringattrib(KRVSprob prob, int id, char *value, int maxbytes, int *nbytes) noexcept {
  return guard_problem(prob, [&] {
    std::string text;
    if (!string_attribute(prob, id, text)) throw Error("Unknown string attribute id " + std::to_string(id));
    if (nbytes) *nbytes = int(text.size()) + 1;
    if (value && maxbytes > 0) copy_text(text, value, size_t(maxbytes));
  });
}

int KRVSgetcalist_c(const int **ids, const char *const **names, const int **flags) noexcept {
  return guard_global([&] {
    // Built once from the two tables; controls first, ended by id 0.
    static const struct Lists {
      std::vector<int> ids, flags;
      std::vector<const char *> names;
      Lists() {
        for (const auto &c : control_table().rows()) {
          ids.push_back(c.id);
          names.push_back(c.name);
          int type = c.type == ValueType::Int ? KRVS_CA_INT | KRVS_CA_INT64
                     : c.type == ValueType::Double ? KRVS_CA_DOUBLE
                                                   : KRVS_CA_STRING;
          flags.push_back(type | KRVS_CA_CONTROL);
        }
        for (const auto &a : attrib_table()) {
          ids.push_back(a.id);
          names.push_back(a.name);
          flags.push_back(a.type == ValueType::Int ? KRVS_CA_INT | KRVS_CA_INT64
                          : a.type == ValueType::Double ? KRVS_CA_DOUBLE
                                                        : KRVS_CA_STRING);
        }
        ids.push_back(0);
        names.push_back(nullptr);
        flags.push_back(0);
      }
    } lists;
    if (ids) *ids = lists.ids.data();
    if (names) *names = lists.names.data();
    if (flags) *flags = lists.flags.data();
  });
}

}  // extern "C"
