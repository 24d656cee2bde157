#include "Arguments.h"

#include <charconv>
#include <cmath>

namespace nbtv::cli {

namespace {

const OptionRule* find(const std::vector<OptionRule>& rules, const std::string& name) {
    for (const OptionRule& rule : rules) {
        if (rule.name == name) {
            return &rule;
        }
    }
    return nullptr;
}

template <class T>
bool parseWhole(const std::string& text, T& value) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin; // from_chars takes no plus sign; users write "+3"
        if (begin != end && *begin == '-') {
            return false;
        }
    }
    auto [ptr, ec] = std::from_chars(begin, end, value);
    return ec == std::errc() && ptr == end;
}

std::string range(double min, double max) {
    auto show = [](double v) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%g", v);
        return std::string(buffer);
    };
    return show(min) + " to " + show(max);
}

} // namespace

Arguments::Arguments(const std::vector<std::string>& args, const std::vector<OptionRule>& rules) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positionals_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        const OptionRule* rule = find(rules, name);
        if (rule == nullptr) {
            throw UsageError("unknown option '" + name + "'");
        }
        if (!rule->takesValue) {
            if (inlineValue) {
                throw UsageError("option '" + name + "' takes no value");
            }
            flags_.insert(name);
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                throw UsageError("option '" + name + "' needs a value");
            }
            inlineValue = args[++i];
        }
        values_[name] = *inlineValue;
    }
}

bool Arguments::has(const std::string& name) const {
    return flags_.count(name) != 0 || values_.count(name) != 0;
}

std::optional<std::string> Arguments::text(const std::string& name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) {
        return std::nullopt;
    }
    return it->second;
}

long long Arguments::integer(const std::string& name, long long min, long long max,
                             long long fallback) const {
    const auto value = text(name);
    if (!value) {
        return fallback;
    }
    long long n = 0;
    if (!parseWhole(*value, n) || n < min || n > max) {
        throw UsageError("option '" + name + "' needs a whole number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not '" + *value + "'");
    }
    return n;
}

std::uint64_t Arguments::unsignedInteger(const std::string& name, std::uint64_t fallback) const {
    const auto value = text(name);
    if (!value) {
        return fallback;
    }
    std::uint64_t n = 0;
    if (!parseWhole(*value, n)) {
        throw UsageError("option '" + name + "' needs a whole number of 0 or more, not '" + *value +
                         "'");
    }
    return n;
}

std::optional<double> Arguments::optionalReal(const std::string& name, double min,
                                              double max) const {
    const auto value = text(name);
    if (!value) {
        return std::nullopt;
    }
    double x = 0.0;
    if (!parseWhole(*value, x) || !std::isfinite(x) || x < min || x > max) {
        throw UsageError("option '" + name + "' needs a number from " + range(min, max) +
                         ", not '" + *value + "'");
    }
    return x;
}

double Arguments::real(const std::string& name, double min, double max, double fallback) const {
    return optionalReal(name, min, max).value_or(fallback);
}

} // namespace nbtv::cli
