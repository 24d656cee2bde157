#pragma once
// The rules of the dialogs that do not depend on widgets: number readings, slider positions,
// font sizes and the texts that differ per program.

#include <QString>
#include <QStringList>

#include <string>
#include <string_view>

namespace nbtv {

// The plain decimal reading of a text: blanks, then an optional sign, digits with an optional
// decimal point and an optional exponent; whatever follows is ignored; 0 when no number leads.
// A magnitude beyond the range of double reads as an infinity.
double plainDecimalValue(std::string_view text);

// What "Apply" of the frame-rate dialog stores for the typed text: the rounded reading, at least
// 1; the text as typed, or the number text of 1 when the reading was raised to 1.
struct FrameRateEntry {
    int rate = 1;
    std::string text;
};
FrameRateEntry frameRateEntry(const std::string& typed);

// The calibration slider: positions 0..2000, 1000 for no offset, 50000 positions per unit.
inline constexpr int calibrationCentre = 1000;
inline constexpr int calibrationRange = 2000;
inline constexpr double calibrationScale = 50000.0;
double sampleRateOffsetAt(int position);
int calibrationPosition(double sampleRateOffset);

// Pixel height of the 14-point title font at `logicalDpi` (the quotient truncated).
int titleFontPixelSize(int logicalDpi);

// The texts of the help and about windows that differ per program.
struct ProgramTexts {
    QStringList helpLines;
    QString colourLine;
    QString versionLine;
    QString dateLine;
};
// The texts of the program `name` ("nbtv48", "nbtv96", "nbtv96rggb"); nbtv48's for any other.
const ProgramTexts& programTexts(const std::string& name);

} // namespace nbtv
