// Readers and writers of model files. Readers replace the whole model (and
// give the problem name); a file that cannot be read raises an error naming
// the file and line, and leaves the model untouched.
#pragma once

#include <string>

#include "model/model.h"

namespace krvs::io {

void read_mps(const std::string &path, Model &m, std::string &probname);
void read_lp(const std::string &path, Model &m, std::string &probname);
void write_mps(const std::string &path, const Model &m, const std::string &probname);
void write_lp(const std::string &path, const Model &m, const std::string &probname);

}  // namespace krvs::io
