// What a problem drops when its whole model is replaced (a load or a file
// read): results, bases and starting points of the old model and the
// nonlinear data attached to its rows and columns.
#pragma once

#include "krvs.h"

namespace krvs {

// Call after the new model is in place.
void forget_replaced_model(KRVSprob prob);

}  // namespace krvs
