#include "core/NumberText.h"

#include <cmath>
#include <cstdio>

namespace nbtv {

std::string numberText(double value, int significantDigits) {
    if (std::isnan(value)) {
        return " NaN";
    }
    if (value == 0.0) {
        value = 0.0; // -0 shows as " 0"
    }
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.*g", significantDigits, value);
    std::string text(value < 0.0 ? "" : " ");
    text.append(digits);
    return text;
}

} // namespace nbtv
