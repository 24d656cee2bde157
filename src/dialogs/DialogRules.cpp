#include "dialogs/DialogRules.h"

#include <clocale>
#include <cstdlib>
#include <locale.h>

#include "core/Conversions.h"
#include "core/NumberText.h"

namespace nbtv {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// strtod in the "C" locale: the program's own locale may use another decimal separator.
double readCNumber(const std::string& number) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return strtod_l(number.c_str(), nullptr, cLocale);
}

} // namespace

double plainDecimalValue(std::string_view text) {
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    const std::size_t start = i;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < n && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return 0.0;
    }
    std::size_t end = i;
    // An exponent counts only with digits ("5e" reads as 5).
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) {
            ++j;
        }
        if (j < n && isDigit(text[j])) {
            while (j < n && isDigit(text[j])) {
                ++j;
            }
            end = j;
        }
    }
    // Only the checked prefix reaches strtod, so hexadecimal, "inf" and "nan" never read.
    return readCNumber(std::string(text.substr(start, end - start)));
}

FrameRateEntry frameRateEntry(const std::string& typed) {
    // Saturates for readings beyond int instead of overflowing.
    const int rate = roundHalfEven(plainDecimalValue(typed));
    if (rate < 1) {
        return {1, numberText(1)};
    }
    return {rate, typed};
}

double sampleRateOffsetAt(int position) {
    return (position - calibrationCentre) / calibrationScale;
}

int calibrationPosition(double sampleRateOffset) {
    // Rounded, not floored: the offsets the slider writes are binary fractions a hair below
    // or above the position they came from, and flooring would show some a position low.
    return calibrationCentre + roundHalfEven(calibrationScale * sampleRateOffset);
}

int titleFontPixelSize(int logicalDpi) {
    return 14 * logicalDpi / 72;
}

const ProgramTexts& programTexts(const std::string& name) {
    static const ProgramTexts nbtv48{
        {
            "1. Tune to get (3) fields in small monitor window",
            "2. Fine tune pilot carrier to centre sine wave",
            "3. Click the mouse between two of the frames in monitor screen",
            "    (one in three chance of getting colours correct by trial and error)",
            "4. Adjust soundcard samplerate offset if picture is badly shaded from top to bottom",
            "5. Save video to file available",
            "6. Basic picture is 48 x 48 pixels oversampled by a factor of three",
        },
        "Multicarrier RGB colour",
        "Version 2.0 Build 12.07.08",
        "This version:July 2008",
    };
    static const ProgramTexts nbtv96{
        {
            "1. Tune to get (3) fields in small monitor window",
            "2. Fine tune pilot carrier to centre sine wave",
            "3. Click the mouse on the dotted frame line in monitor screen",
            "4. Adjust soundcard samplerate offset if picture is badly shaded from top to bottom",
            "5. Save video to file available",
            "6. Basic picture is 96 x 72 pixels oversampled by a factor of three",
        },
        "Multicarrier RGB/MONO",
        "Version 2.0 Build 12.07.08",
        "This version:July 2008",
    };
    static const ProgramTexts nbtv96rggb{
        {
            "1. Compressed RGB colour - one red and blue line for two green lines",
            "2. Tune to get (2) fields in small monitor window",
            "3. Fine tune pilot carrier to centre sine wave",
            "4. Click the mouse on the left edge of the \"good\" frame in monitor screen",
            "5. Adjust soundcard samplerate offset if picture is badly shaded from top to bottom",
            "6. Save video to file available",
            "7. Basic picture is 96 x 72 pixels oversampled by a factor of three",
        },
        "Multicarrier RGGB colour",
        "Version 2.0 Build 16.09.07",
        "This version:September 2007",
    };
    if (name == "nbtv96") {
        return nbtv96;
    }
    if (name == "nbtv96rggb") {
        return nbtv96rggb;
    }
    return nbtv48;
}

} // namespace nbtv
