// MIP starts: completing a user's (full or partial) solution against the
// model handed to HiGHS, and offering the results to the MIP solve.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Highs.h"
#include "krvs.h"
#include "model/mip_structures.h"

namespace krvs {

struct StartCompletion {
  int status = MIPSTART_PENDING;  // a MipStartStatus
  std::vector<double> solution;   // every column of the HiGHS model (statuses 1 and 2)
  double objective = 0.0;
};

// Fixes the start's columns (integral ones at their rounded values) in a
// copy of `model` and solves the rest with a small node limit. A start that
// fixes every user column and is feasible as it stands is "feasible"; one
// that needed its other columns solved for (or, when fixing all of its
// columns fails, only its integral ones) is "completed"; one without any
// feasible completion "infeasible"; a search that ends without an answer
// leaves it "dropped".
StartCompletion complete_mip_start(const HighsModel &model, int user_cols, const MipStart &start);

// Offers every pending start of the problem to `highs` (whose model is the
// one built for the MIP solve), records the outcome on each start and calls
// the problem's usersolnotify callbacks and user-solution hook for it. `log`
// receives one line per start. `col_scale` (empty: none) holds the factors
// of the caller's column scaling in `highs`'s model: a start's values are
// divided by them before they meet that model.
void offer_mip_starts(KRVSprob prob, Highs &highs, int user_cols, const std::function<void(const std::string &)> &log,
                      const std::vector<double> &col_scale = {});

// Marks the pending starts as dropped (a solve that does not use them).
void drop_mip_starts(KRVSprob prob, const std::function<void(const std::string &)> &log);

}  // namespace krvs
