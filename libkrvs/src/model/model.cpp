#include "model/model.h"

namespace krvs {

Model::Model() = default;

}  // namespace krvs
