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
        const float* in = buffer_.row(r);
        float* out = pm.row(r);
        for (int i = first - 1; i < last; ++i) { // column i + 1
            out[i] = PictureAssembler::level(in[i], settings);
        }
    }
    // Only the green field's columns produce colour; the red and blue field arrived first.
    const int lastColour = std::min(last, profile_.fieldWidth);
    if (first <= lastColour) {
        reconstructLines(first, lastColour);
        interpolatePlanes(first, lastColour);
        filterPlanes(first, lastColour, settings);
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

void RggbAssembler::reconstructLines(int first, int last) {
    const Matrix<float>& pm = store_.pictureMatrix;
    const int w = profile_.fieldWidth;
    // Pairs (r, r + 1) from row 2: row r is the odd bin (blue), row r + 1 the even bin (red).
    // Rows 1 and 128 have no partner.
    for (int r = 2; r + 1 < profile_.bufferRows; r += 2) {
        for (int c = first; c <= last; ++c) {
            rggb_.lines[green](c, r) = roundHalfEven(pm(c, r));
            rggb_.lines[green](c, r + 1) = roundHalfEven(pm(c, r + 1));
            const std::int32_t redLevel = roundHalfEven(pm(c + w, r + 1));
            const std::int32_t blueLevel = roundHalfEven(pm(c + w, r));
            rggb_.lines[red](c, r) = redLevel;
            rggb_.lines[red](c, r + 1) = redLevel;
            rggb_.lines[blue](c, r) = blueLevel;
            rggb_.lines[blue](c, r + 1) = blueLevel;
        }
    }
}

void RggbAssembler::interpolatePlanes(int first, int last) {
    const int k = planeRowsPerCarrier;
    for (std::size_t colour = 0; colour < 3; ++colour) {
        Matrix<std::int32_t>& plane = store_.planes[colour];
        const Matrix<std::int32_t>& lines = rggb_.lines[colour];
        for (int r = 2; r < profile_.bufferRows; ++r) {
            for (int c = first; c <= last; ++c) {
                plane(c, k * r) = lines(c, r);
            }
        }
        for (int r = k * profile_.bufferRows; r >= 2 * k; r -= k) {
            for (int c = first; c <= last; ++c) {
                const std::int64_t here = plane(c, r);
                const std::int64_t above = plane(c, r - k);
                plane(c, r - 1) = roundHalfEvenQuotient<3>(2 * here + above);
                plane(c, r - 2) = roundHalfEvenQuotient<3>(2 * above + here);
            }
        }
    }
}

void RggbAssembler::filterPlanes(int first, int last, const ReceiverSettings& settings) {
    // Runs whether or not the filter is shown, so switching it on shows a settled picture.
    const NoiseFilterWeights w = settings.noiseFilterWeights;
    const PictureGeometry& g = profile_.geometry;
    const int top = g.pictureArea.y0 + 1;
    const int bottom = g.pictureArea.y0 + g.pictureArea.height;
    // Rounded to nearest: a floor would settle up to divisor - 1 levels too dark. The menu's
    // weights divide in integers (a constant divisor), any others through a double.
    const auto run = [&](auto divide) {
        for (std::size_t colour = 0; colour < 3; ++colour) {
            Matrix<std::int32_t>& filtered = rggb_.filteredPlanes[colour];
            const Matrix<std::int32_t>& plane = store_.planes[colour];
            for (int y = bottom; y >= top; --y) {
                for (int c = first; c <= last; ++c) {
                    filtered(c, y) = divide(static_cast<std::int64_t>(w.keep) * filtered(c, y) +
                                            plane(c, y + g.planeRowShift));
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
