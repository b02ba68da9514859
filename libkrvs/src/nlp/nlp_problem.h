// The nonlinear solver's problem record: wraps one optimizer problem.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/controls.h"
#include "core/object.h"
#include "knls.h"

namespace krvs {
const ControlTable &nlp_control_table();
const std::vector<AttribInfo> &nlp_attrib_table();
}  // namespace krvs

struct knls_problem_s {
  krvs::ObjectHeader header{"KNLSprob"};
  KRVSprob optprob = nullptr;
  krvs::ControlValues controls{krvs::nlp_control_table()};
  std::mutex error_mutex;
  int last_code = 0;
  std::string last_error;
  KNLSmessage_fn message_fn = nullptr;
  void *message_data = nullptr;
  int status = 0;
  int state_flags = 0;
  double objective_value = 0.0;
};
