#pragma once
// The program's plain number text: a blank before a value that is not negative, a minus sign
// before a negative one, then the number with up to `significantDigits` significant digits.

#include <string>

namespace nbtv {

std::string numberText(double value, int significantDigits = 15);

} // namespace nbtv
