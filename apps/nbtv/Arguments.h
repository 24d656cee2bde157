#pragma once
// Command-line parsing for the nbtv tool: options with or without a value, positionals, and
// checked conversion of values. Every failure is one line naming the problem.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace nbtv::cli {

// A usage error: the message is shown as "nbtv: <message>".
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct OptionRule {
    std::string name; // "--frames" or "-o"
    bool takesValue = false;
};

class Arguments {
  public:
    // Throws UsageError for unknown options and missing values.
    Arguments(const std::vector<std::string>& args, const std::vector<OptionRule>& rules);

    bool has(const std::string& name) const;
    std::optional<std::string> text(const std::string& name) const;
    const std::vector<std::string>& positionals() const { return positionals_; }

    // The option's value as a number in [min, max]; `fallback` when absent.
    long long integer(const std::string& name, long long min, long long max,
                      long long fallback) const;
    std::uint64_t unsignedInteger(const std::string& name, std::uint64_t fallback) const;
    double real(const std::string& name, double min, double max, double fallback) const;
    std::optional<double> optionalReal(const std::string& name, double min, double max) const;

  private:
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positionals_;
};

} // namespace nbtv::cli
