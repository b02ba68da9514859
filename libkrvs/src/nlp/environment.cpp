// The nonlinear solver's environment, problem life cycle, controls and
// attributes.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/guard.h"
#include "core/problem.h"
#include "nlp_guard.h"
#include "nlp_problem.h"
#include "model/model.h"

namespace krvs {

const ControlTable &nlp_control_table() {
  static const ControlTable table([] {
    std::vector<ControlInfo> table;
#define KRVS_CONTROL KRVS_CONTROL_ROW
#include "nlp_control_table.def"
#undef KRVS_CONTROL
    return table;
  }());
  return table;
}

const std::vector<AttribInfo> &nlp_attrib_table() {
  static const std::vector<AttribInfo> table = [] {
    std::vector<AttribInfo> rows;
#define KRVS_ATTRIB(id, name, type, doc) rows.push_back(AttribInfo{id, name, ValueType(#type[0]), doc});
#include "nlp_attribute_table.def"
#undef KRVS_ATTRIB
    return rows;
  }();
  return table;
}

void set_nlp_error(KNLSprob prob, const std::string &msg) noexcept {
  try {
    std::lock_guard<std::mutex> lock(prob->error_mutex);
    prob->last_code = 1;
    prob->last_error = msg;
  } catch (...) {
  }
  set_global_error(1, msg);
}

namespace {

std::mutex env_mutex;
int use_count = 0;

bool nlp_int_attribute(KNLSprob prob, int id, int &value) {
  int64_t v = 0;
  switch (id) {
    case 11999: int_attribute(prob->optprob, 1124, v); value = int(v); return true;
    case 12000: int_attribute(prob->optprob, 1214, v); value = int(v); return true;
    case 12013: value = -1; return true;
    case 12016: value = int(prob->coefs.size()); return true;
    case 12026: {
      std::vector<int> rows;
      for (const auto &c : prob->coefs) rows.push_back(c.row);
      std::sort(rows.begin(), rows.end());
      value = int(std::unique(rows.begin(), rows.end()) - rows.begin());
      return true;
    }
    case 12044: value = prob->status; return true;
    case 12045: value = prob->stop_status; return true;
    case 12070: value = prob->iterations; return true;
    case 12181: value = prob->ms_jobs_run; return true;
    case 12182: value = prob->ms_winner; return true;
    case 12183: value = int(std::min<long long>(prob->global_nodes, 2147483647)); return true;
    case 12062: value = prob->state_flags; return true;
    default: break;
  }
  for (const auto &a : nlp_attrib_table())
    if (a.id == id && a.type == ValueType::Int) {
      value = 0;
      return true;
    }
  return false;
}

// Fills the three parallel arrays of a list whose entry 0 is unused and
// which ends at the first null name.
struct CaList {
  std::vector<int> ids, flags;
  std::vector<const char *> names;
  CaList() {
    ids.push_back(0);
    names.push_back("");
    flags.push_back(0);
  }
  void finish() {
    ids.push_back(0);
    names.push_back(nullptr);
    flags.push_back(0);
  }
};

int type_flag(ValueType type) {
  return type == ValueType::Int ? KNLS_CA_INT : type == ValueType::Double ? KNLS_CA_DOUBLE : KNLS_CA_STRING;
}

}  // namespace
}  // namespace krvs

using namespace krvs;

extern "C" {

int KNLSinit(const char *) noexcept {
  return guard_global([] {
    std::lock_guard<std::mutex> lock(env_mutex);
    ++use_count;
  });
}

int KNLSfree(void) noexcept {
  return guard_global([] {
    std::lock_guard<std::mutex> lock(env_mutex);
    if (use_count > 0) --use_count;
  });
}

int KNLScreateprob(KNLSprob *nlprob, KRVSprob *optprob) noexcept {
  return guard_global([&] {
    if (!nlprob || !optprob || !*optprob) throw Error("KNLScreateprob: an optimizer problem is needed");
    *nlprob = nullptr;
    auto *p = new knls_problem_s();
    p->optprob = *optprob;
    (*optprob)->nonlinear = p;
    *nlprob = p;
  });
}

int KNLSdestroyprob(KNLSprob nlprob) noexcept {
  return guard_global([&] {
    if (nlprob && nlprob->optprob && nlprob->optprob->nonlinear == nlprob) nlprob->optprob->nonlinear = nullptr;
    delete nlprob;
  });
}

// Copies the nonlinear part (coefficients, row statuses, SLP column
// settings, user functions and controls); the optimizer problems are copied
// by KRVScopyprob.
int KNLScopyprob(KNLSprob dest, KNLSprob src, const char *) noexcept {
  return guard_nlp(dest, [&] {
    if (!src) throw Error("KNLScopyprob: null source problem");
    if (src == dest) return;
    dest->controls = src->controls;
    dest->coefs = src->coefs;  // formulas are immutable and shared
    dest->row_status = src->row_status;
    dest->vars = src->vars;
    dest->items = src->items;
    dest->strings = src->strings;
    dest->userfuncs = src->userfuncs;
    dest->message_fn = nullptr;
    dest->message_data = nullptr;
    dest->status = 0;
    dest->state_flags = 0;
    dest->iterations = 0;
    dest->solution = nlp::SlpSolution{};
  });
}

int KNLScopycontrols(KNLSprob dest, KNLSprob src) noexcept {
  return guard_nlp(dest, [&] {
    if (!src) throw Error("KNLScopycontrols: null source problem");
    dest->controls = src->controls;
  });
}

// Resets one control to its default; an unknown id changes nothing.
int KNLSsetdefaultcontrol(KNLSprob nlprob, int id) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->controls.reset(id); });
}

int KNLSgetlasterror(KNLSprob nlprob, int *code, char *msg) noexcept {
  if (!nlprob) return 1;
  std::lock_guard<std::mutex> lock(nlprob->error_mutex);
  if (code) *code = nlprob->last_code;
  if (msg) copy_text(nlprob->last_error, msg, 512);
  return 0;
}

int KNLSsetcbmessage(KNLSprob nlprob, KNLSmessage_fn fn, void *user_data) noexcept {
  return guard_nlp(nlprob, [&] {
    nlprob->message_fn = fn;
    nlprob->message_data = user_data;
  });
}

int KNLSgetintcontrol(KNLSprob nlprob, int id, int *value) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!value) throw Error("KNLSgetintcontrol: null argument");
    *value = int(nlprob->controls.get_int(id));
  });
}

int KNLSsetintcontrol(KNLSprob nlprob, int id, int value) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->controls.set_int(id, value); });
}

int KNLSgetdblcontrol(KNLSprob nlprob, int id, double *value) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!value) throw Error("KNLSgetdblcontrol: null argument");
    *value = nlprob->controls.get_double(id);
  });
}

int KNLSsetdblcontrol(KNLSprob nlprob, int id, double value) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->controls.set_double(id, value); });
}

int KNLSgetstrcontrol(KNLSprob nlprob, int id, char *value) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!value) throw Error("KNLSgetstrcontrol: null buffer");
    copy_text(nlprob->controls.get_string(id), value, 2048);
  });
}

int KNLSsetstrcontrol(KNLSprob nlprob, int id, const char *value) noexcept {
  return guard_nlp(nlprob, [&] { nlprob->controls.set_string(id, value ? value : ""); });
}

int KNLSgetintattrib(KNLSprob nlprob, int id, int *value) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!value) throw Error("KNLSgetintattrib: null argument");
    if (!nlp_int_attribute(nlprob, id, *value)) throw Error("Unknown integer attribute id " + std::to_string(id));
  });
}

int KNLSgetdblattrib(KNLSprob nlprob, int id, double *value) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!value) throw Error("KNLSgetdblattrib: null argument");
    if (id == 12179) {
      *value = nlprob->objective_value;
      return;
    }
    if (id == 12180) {
      *value = nlprob->solve_time;
      return;
    }
    if (id == 12184) {
      *value = nlprob->global_bound;
      return;
    }
    for (const auto &a : nlp_attrib_table())
      if (a.id == id && a.type == ValueType::Double) {
        *value = 0.0;
        return;
      }
    throw Error("Unknown double attribute id " + std::to_string(id));
  });
}

int KNLSgetstrattrib(KNLSprob nlprob, int id, char *) noexcept {
  return guard_nlp(nlprob, [&] { throw Error("Unknown string attribute id " + std::to_string(id)); });
}

int KNLSgetptrattrib(KNLSprob nlprob, int id, void **value) noexcept {
  return guard_nlp(nlprob, [&] {
    if (!value) throw Error("KNLSgetptrattrib: null argument");
    if (id != KNLS_PTRATTR_OPTPROB) throw Error("Unknown pointer attribute id " + std::to_string(id));
    *value = nlprob->optprob;
  });
}

int KNLScontrolcode(const char *name, int *id, int *flags) noexcept {
  return guard_global([&] {
    if (!name) throw Error("KNLScontrolcode: null name");
    for (const auto &c : nlp_control_table().rows())
      if (strcmp(c.name, name) == 0) {
        if (id) *id = c.id;
        if (flags) *flags = type_flag(c.type) | KNLS_CA_CONTROL;
        return;
      }
    for (const auto &a : nlp_attrib_table())
      if (strcmp(a.name, name) == 0) {
        if (id) *id = a.id;
        if (flags) *flags = type_flag(a.type);
        return;
      }
    throw Error(std::string("Unknown control or attribute name ") + name);
  });
}

int KNLSgetcalist(const int **ids, const char *const **names, const int **flags) noexcept {
  return guard_global([&] {
    static const CaList list = [] {
      CaList l;
      for (const auto &c : nlp_control_table().rows()) {
        l.ids.push_back(c.id);
        l.names.push_back(c.name);
        l.flags.push_back(type_flag(c.type) | KNLS_CA_CONTROL);
      }
      for (const auto &a : nlp_attrib_table()) {
        l.ids.push_back(a.id);
        l.names.push_back(a.name);
        l.flags.push_back(type_flag(a.type));
      }
      l.finish();
      return l;
    }();
    if (ids) *ids = list.ids.data();
    if (names) *names = list.names.data();
    if (flags) *flags = list.flags.data();
  });
}

int KNLSgetKTRcalist(const int **ids, const char *const **names, const int **flags) noexcept {
  // The second list is empty: every nonlinear control lives in the first.
  return guard_global([&] {
    static const CaList list = [] {
      CaList l;
      l.finish();
      return l;
    }();
    if (ids) *ids = list.ids.data();
    if (names) *names = list.names.data();
    if (flags) *flags = list.flags.data();
  });
}

}  // extern "C"
