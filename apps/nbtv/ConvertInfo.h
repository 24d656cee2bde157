#pragma once
// nbtv convert and nbtv info: frame files, picture folders and AVI files in and out, and what a
// file holds.

#include <string>
#include <vector>

namespace nbtv::cli {

// Each returns the process's exit status; throws UsageError or RunError (Commands.h).
int runConvert(const std::vector<std::string>& args);
int runInfo(const std::vector<std::string>& args);

} // namespace nbtv::cli
