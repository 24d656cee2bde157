#include "picture/RggbAssembler.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>

#include "core/Conversions.h"
#include "core/ReceiverSettings.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

constexpr std::size_t red = static_cast<std::size_t>(ColourComponent::Red);
constexpr std::size_t green = static_cast<std::size_t>(ColourComponent::Green);
constexpr std::size_t blue = static_cast<std::size_t>(ColourComponent::Blue);

// Three plane rows per carrier row.
constexpr int planeRowsPerCarrier = 3;

double zeroIfNaN(float v) {
    return std::isnan(v) ? 0.0 : static_cast<double>(v);
}

} // namespace

RggbStore::RggbStore(const ReceiverProfile& profile)
    : lines{Matrix<std::int32_t>(profile.frameColumns(), profile.bufferRows),
            Matrix<std::int32_t>(profile.frameColumns(), profile.bufferRows),
            Matrix<std::int32_t>(profile.frameColumns(), profile.bufferRows)},
      filteredPlanes{
          Matrix<std::int32_t>(profile.fieldWidth, planeRowsPerCarrier * profile.bufferRows),
          Matrix<std::int32_t>(profile.fieldWidth, planeRowsPerCarrier * profile.bufferRows),
          Matrix<std::int32_t>(profile.fieldWidth, planeRowsPerCarrier * profile.bufferRows)} {}

RggbAssembler::RggbAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer,
                             PictureStore& store)
    : profile_(profile), buffer_(receiveBuffer), store_(store), rggb_(profile),
      scopeInputs_(profile.frameColumns()),
      lineBlock_(3 * static_cast<std::size_t>(profile.bufferRows + 1) * columnsPerBlock),
      planeBlock_(3 * static_cast<std::size_t>(planeRowsPerCarrier * profile.bufferRows + 1) *
                  columnsPerBlock),
      upperPilotRow_(
          profile.rowOfBin(std::max(profile.carriers.pilotBin, profile.carriers.secondPilotBin))),
      lowerPilotRow_(
          profile.rowOfBin(std::min(profile.carriers.pilotBin, profile.carriers.secondPilotBin))) {}

void RggbAssembler::assembleBlock(int f, const ReceiverSettings& settings) {
    if (keepScopeHistories_) {
        updateScopeHistories();
    }
    pictureSteps::smoothBlock(buffer_, f, profile_.rowsPerBin);
    const PictureGeometry& g = profile_.geometry;
    Matrix<float>& pm = store_.pictureMatrix;
    // Each step takes the block's columns row by row: the columns are independent, and a row's
    // columns lie side by side in memory.
    const int first = f + 1;
    const int last = f + columnsPerBlock;
    for (int r = g.levelRowFirst; r <= g.levelRowLast; ++r) {
        const auto at = static_cast<std::size_t>(first - 1); // column first
        pictureSteps::levels(buffer_.row(r) + at, pm.row(r) + at, columnsPerBlock, settings);
    }
    // Only the green field's columns produce colour; the red and blue field arrived first.
    const int lastColour = std::min(last, profile_.fieldWidth);
    if (first <= lastColour) {
        reconstructLines(first, lastColour);
        interpolatePlanes(first, lastColour);
        if (keepFilteredPlanes_) {
            filterPlanes(first, lastColour, settings);
        }
    }
    if (keepMonitor_) {
        pictureSteps::drawMonitorColumns([&](int c, int r) { return pm(c, r); }, g, f,
                                         store_.monitorSurface);
    }
}

void RggbAssembler::updateScopeHistories() {
    const float* upper = buffer_.row(upperPilotRow_);
    const float* lower = buffer_.row(lowerPilotRow_);
    std::vector<std::int32_t>& upperHistory = store_.scopeHistory[0];
    std::vector<std::int32_t>& combined = store_.scopeHistory[1];
    std::vector<std::int32_t>& lowerHistory = store_.scopeHistory[2];
    const std::size_t columns = static_cast<std::size_t>(profile_.frameColumns());
    for (std::size_t i = 1; i <= columns; ++i) {
        const float u = upper[i - 1];
        const float l = lower[i - 1];
        const std::uint64_t input =
            std::bit_cast<std::uint32_t>(u) |
            (static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(l)) << 32);
        if (scopeInputs_.settled(i, input)) {
            continue;
        }
        // Both pilots swing in phase; the upper history enters as it was before this block.
        const std::int32_t both =
            roundHalfEven((43.0 * (zeroIfNaN(l) + zeroIfNaN(u)) + upperHistory[i]) / 2.0);
        const std::int32_t up = pictureSteps::scopeAverage(u, upperHistory[i]);
        const std::int32_t low = pictureSteps::scopeAverage(l, lowerHistory[i]);
        scopeInputs_.averaged(
            i, input, both != combined[i] || up != upperHistory[i] || low != lowerHistory[i]);
        combined[i] = both;
        upperHistory[i] = up;
        lowerHistory[i] = low;
    }
}

namespace {

using Ints = std::int32_t __attribute__((vector_size(16)));
using Floats = float __attribute__((vector_size(16)));

// `count` (at most columnsPerBlock) values from `in` to `out`.
void copyColumns(const std::int32_t* in, std::size_t count, std::int32_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = in[i];
    }
}

// roundHalfEvenQuotient<3>(n) of four whole numbers 0 <= n < 2^22: n / 3 in single precision
// is correctly rounded and never reaches the next whole number, so it truncates to the floor;
// a rest of 2 (twice the rest above 3) rounds up.
Ints thirds(Ints n) {
    const Floats three = {3.0f, 3.0f, 3.0f, 3.0f};
    const Ints q = __builtin_convertvector(__builtin_convertvector(n, Floats) / three, Ints);
    return q - ((n - 3 * q) == 2);
}

// roundHalfEvenQuotient<D>(n) of four whole numbers, D = 2^shift.
Ints quotients(Ints n, int shift) {
    const Ints q = n >> shift;
    const Ints twice = 2 * (n & ((1 << shift) - 1));
    const std::int32_t d = 1 << shift;
    return q - ((twice > d) | ((twice == d) & ((q & 1) != 0)));
}

} // namespace

std::int32_t* RggbAssembler::lineRow(std::size_t colour, int r) {
    return lineBlock_.data() + ((colour * static_cast<std::size_t>(profile_.bufferRows + 1)) +
                                static_cast<std::size_t>(r)) *
                                   columnsPerBlock;
}

std::int32_t* RggbAssembler::planeRow(std::size_t colour, int r) {
    return planeBlock_.data() +
           ((colour * static_cast<std::size_t>(planeRowsPerCarrier * profile_.bufferRows + 1)) +
            static_cast<std::size_t>(r)) *
               columnsPerBlock;
}

void RggbAssembler::reconstructLines(int first, int last) {
    const Matrix<float>& pm = store_.pictureMatrix;
    const auto w = static_cast<std::size_t>(profile_.fieldWidth);
    const auto at = static_cast<std::size_t>(first - 1); // column first
    const auto count = static_cast<std::size_t>(last - first + 1);
    // Pairs (r, r + 1) from row 2: row r is the odd bin (blue), row r + 1 the even bin (red).
    // Rows 1 and 128 have no partner. The block's lines are kept side by side for the planes.
    for (int r = 2; r + 1 < profile_.bufferRows; r += 2) {
        roundHalfEven(pm.row(r) + at, lineRow(green, r), count);
        roundHalfEven(pm.row(r + 1) + at, lineRow(green, r + 1), count);
        roundHalfEven(pm.row(r + 1) + at + w, lineRow(red, r), count);
        roundHalfEven(pm.row(r) + at + w, lineRow(blue, r), count);
        copyColumns(lineRow(red, r), count, lineRow(red, r + 1));
        copyColumns(lineRow(blue, r), count, lineRow(blue, r + 1));
        for (const std::size_t colour : {green, red, blue}) {
            copyColumns(lineRow(colour, r), count, rggb_.lines[colour].row(r) + at);
            copyColumns(lineRow(colour, r + 1), count, rggb_.lines[colour].row(r + 1) + at);
        }
    }
}

void RggbAssembler::interpolatePlanes(int first, int last) {
    const int k = planeRowsPerCarrier;
    const auto at = static_cast<std::size_t>(first - 1);
    const auto count = static_cast<std::size_t>(last - first + 1);
    const int rows = k * profile_.bufferRows;
    // The plane rows of the picture area (composePicture), which the filter reads as well.
    const PictureGeometry& g = profile_.geometry;
    const int shownFirst = std::max(k + 1, g.planeRowShift + g.pictureArea.y0 + 1);
    const int shownLast =
        std::min(rows - 1, g.planeRowShift + g.pictureArea.y0 + g.pictureArea.height);
    for (const std::size_t colour : {green, red, blue}) {
        Matrix<std::int32_t>& plane = store_.planes[colour];
        // The carrier rows' lines, and the two rows no line reaches (they keep what they hold).
        for (int r = 2; r < profile_.bufferRows; ++r) {
            copyColumns(lineRow(colour, r), count, planeRow(colour, k * r));
        }
        copyColumns(plane.row(k) + at, count, planeRow(colour, k));
        copyColumns(plane.row(rows) + at, count, planeRow(colour, rows));
        // The rows between: the levels are whole numbers 0 .. 255, well inside thirds' range.
        // Only the rows that the picture and the filter read.
        for (int r = rows; r >= 2 * k; r -= k) {
            if (r - 2 > shownLast) {
                continue;
            }
            if (r - 1 < shownFirst) {
                break;
            }
            const std::int32_t* here = planeRow(colour, r);
            const std::int32_t* above = planeRow(colour, r - k);
            std::int32_t* nearHere = planeRow(colour, r - 1);
            std::int32_t* nearAbove = planeRow(colour, r - 2);
            std::size_t i = 0;
            for (; i + 4 <= count; i += 4) {
                Ints h;
                Ints a;
                __builtin_memcpy(&h, here + i, sizeof h);
                __builtin_memcpy(&a, above + i, sizeof a);
                const Ints one = thirds(2 * h + a);
                const Ints two = thirds(2 * a + h);
                __builtin_memcpy(nearHere + i, &one, sizeof one);
                __builtin_memcpy(nearAbove + i, &two, sizeof two);
            }
            for (; i < count; ++i) {
                nearHere[i] = roundHalfEvenQuotient<3>(2 * std::int64_t{here[i]} + above[i]);
                nearAbove[i] = roundHalfEvenQuotient<3>(2 * std::int64_t{above[i]} + here[i]);
            }
        }
        for (int r = shownFirst; r <= shownLast; ++r) {
            copyColumns(planeRow(colour, r), count, plane.row(r) + at);
        }
    }
}

void RggbAssembler::filterPlanes(int first, int last, const ReceiverSettings& settings) {
    // Runs whether or not the filter is shown, so switching it on shows a settled picture.
    const NoiseFilterWeights w = settings.noiseFilterWeights;
    const PictureGeometry& g = profile_.geometry;
    const int top = g.pictureArea.y0 + 1;
    const int bottom = g.pictureArea.y0 + g.pictureArea.height;
    const auto at = static_cast<std::size_t>(first - 1);
    const auto count = static_cast<std::size_t>(last - first + 1);
    // Blending toward the planes' levels 0 .. 255 with 0 <= keep < divisor keeps the filtered
    // planes there too, so their sums stay far inside 32 bits.
    const bool blendsWithin = w.keep >= 0 && w.keep < w.divisor;
    filteredWithin_ = filteredWithin_ && blendsWithin;
    int shift = 0;
    for (const NoiseFilterWeights menu : {lightFilter, mediumFilter, heavyFilter}) {
        if (w.keep == menu.keep && w.divisor == menu.divisor && filteredWithin_) {
            shift = std::countr_zero(static_cast<unsigned>(menu.divisor));
        }
    }
    static_assert(std::has_single_bit(static_cast<unsigned>(lightFilter.divisor)) &&
                  std::has_single_bit(static_cast<unsigned>(mediumFilter.divisor)) &&
                  std::has_single_bit(static_cast<unsigned>(heavyFilter.divisor)));
    if (shift > 0) {
        const Ints keep = {w.keep, w.keep, w.keep, w.keep};
        for (const std::size_t colour : {green, red, blue}) {
            Matrix<std::int32_t>& filtered = rggb_.filteredPlanes[colour];
            for (int y = bottom; y >= top; --y) {
                std::int32_t* out = filtered.row(y) + at;
                const std::int32_t* in = planeRow(colour, y + g.planeRowShift);
                std::size_t i = 0;
                for (; i + 4 <= count; i += 4) {
                    Ints f;
                    Ints p;
                    __builtin_memcpy(&f, out + i, sizeof f);
                    __builtin_memcpy(&p, in + i, sizeof p);
                    const Ints q = quotients(keep * f + p, shift);
                    __builtin_memcpy(out + i, &q, sizeof q);
                }
                for (; i < count; ++i) {
                    const Ints q = quotients(Ints{w.keep * out[i] + in[i], 0, 0, 0}, shift);
                    out[i] = q[0];
                }
            }
        }
        return;
    }
    // Otherwise in 64 bits: the menu's weights divide in integers (a constant divisor), any
    // others through a double.
    const auto run = [&](auto divide) {
        for (const std::size_t colour : {green, red, blue}) {
            Matrix<std::int32_t>& filtered = rggb_.filteredPlanes[colour];
            for (int y = bottom; y >= top; --y) {
                std::int32_t* out = filtered.row(y) + at;
                const std::int32_t* in = planeRow(colour, y + g.planeRowShift);
                for (std::size_t i = 0; i < count; ++i) {
                    out[i] = divide(static_cast<std::int64_t>(w.keep) * out[i] + in[i]);
                }
            }
        }
    };
    if (w.divisor == lightFilter.divisor) {
        run([](std::int64_t n) { return roundHalfEvenQuotient<lightFilter.divisor>(n); });
    } else if (w.divisor == mediumFilter.divisor) {
        run([](std::int64_t n) { return roundHalfEvenQuotient<mediumFilter.divisor>(n); });
    } else if (w.divisor == heavyFilter.divisor) {
        run([](std::int64_t n) { return roundHalfEvenQuotient<heavyFilter.divisor>(n); });
    } else {
        run([&](std::int64_t n) {
            return roundHalfEven(static_cast<double>(n) / static_cast<double>(w.divisor));
        });
    }
}

void RggbAssembler::composePicture(const ReceiverSettings& settings) {
    const PictureGeometry& g = profile_.geometry;
    if (settings.noiseFilterOn == 1) {
        pictureSteps::composeColour(rggb_.filteredPlanes, g.pictureArea, 0, g.planeColumnShift,
                                    store_.pictureSurface);
    } else {
        pictureSteps::composeColour(store_.planes, g.pictureArea, g.planeRowShift,
                                    g.planeColumnShift, store_.pictureSurface);
    }
}

} // namespace nbtv
