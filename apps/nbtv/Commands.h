#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "Arguments.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv::cli {

// A failure of the work itself (unreadable input, unwritable output): exit status 1.
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Each returns the process's exit status; throws UsageError or RunError.
int runEncode(const std::vector<std::string>& args);
int runDecode(const std::vector<std::string>& args);
int runTransmit(const std::vector<std::string>& args);

// The profile named by --program; a usage error when it is missing or unknown.
const ReceiverProfile& programOption(const Arguments& arguments);

} // namespace nbtv::cli
