#include "picture/RggbAssembler.h"

#include <algorithm>
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
    for (int c = f + 1; c <= f + columnsPerBlock; ++c) {
        for (int r = g.levelRowFirst; r <= g.levelRowLast; ++r) {
            pm(c, r) = PictureAssembler::level(buffer_(c, r), settings);
        }
        // Only the green field's columns produce colour; the red and blue field arrived first.
        if (c <= profile_.fieldWidth) {
            reconstructLines(c);
            interpolatePlanes(c);
            filterPlanes(c, settings);
        }
    }
    pictureSteps::drawMonitorColumns(pm, g, f, store_.monitorSurface);
}

void RggbAssembler::updateScopeHistories() {
    const float* upper = buffer_.row(upperPilotRow_);
    const float* lower = buffer_.row(lowerPilotRow_);
    std::vector<std::int32_t>& upperHistory = store_.scopeHistory[0];
    std::vector<std::int32_t>& combined = store_.scopeHistory[1];
    std::vector<std::int32_t>& lowerHistory = store_.scopeHistory[2];
    const int columns = profile_.frameColumns();
    for (int c = 1; c <= columns; ++c) {
        const std::size_t i = static_cast<std::size_t>(c);
        const float u = upper[c - 1];
        const float l = lower[c - 1];
        // Both pilots swing in phase; the upper history enters as it was before this block.
        combined[i] = roundHalfEven((43.0 * (zeroIfNaN(l) + zeroIfNaN(u)) + upperHistory[i]) / 2.0);
        upperHistory[i] = pictureSteps::scopeAverage(u, upperHistory[i]);
        lowerHistory[i] = pictureSteps::scopeAverage(l, lowerHistory[i]);
    }
}

void RggbAssembler::reconstructLines(int c) {
    const Matrix<float>& pm = store_.pictureMatrix;
    const int w = profile_.fieldWidth;
    // Pairs (r, r + 1) from row 2: row r is the odd bin (blue), row r + 1 the even bin (red).
    // Rows 1 and 128 have no partner.
    for (int r = 2; r + 1 < profile_.bufferRows; r += 2) {
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

void RggbAssembler::interpolatePlanes(int c) {
    const int k = planeRowsPerCarrier;
    for (std::size_t colour = 0; colour < 3; ++colour) {
        Matrix<std::int32_t>& plane = store_.planes[colour];
        const Matrix<std::int32_t>& lines = rggb_.lines[colour];
        for (int r = 2; r < profile_.bufferRows; ++r) {
            plane(c, k * r) = lines(c, r);
        }
        for (int r = k * profile_.bufferRows; r >= 2 * k; r -= k) {
            const double here = plane(c, r);
            const double above = plane(c, r - k);
            plane(c, r - 1) = roundHalfEven((2.0 * here + above) / 3.0);
            plane(c, r - 2) = roundHalfEven((2.0 * above + here) / 3.0);
        }
    }
}

void RggbAssembler::filterPlanes(int c, const ReceiverSettings& settings) {
    // Runs whether or not the filter is shown, so switching it on shows a settled picture.
    const NoiseFilterWeights w = settings.noiseFilterWeights;
    const PictureGeometry& g = profile_.geometry;
    const int first = g.pictureArea.y0 + 1;
    const int last = g.pictureArea.y0 + g.pictureArea.height;
    for (std::size_t colour = 0; colour < 3; ++colour) {
        Matrix<std::int32_t>& filtered = rggb_.filteredPlanes[colour];
        const Matrix<std::int32_t>& plane = store_.planes[colour];
        for (int y = last; y >= first; --y) {
            // Rounded to nearest: a floor would settle up to divisor - 1 levels too dark.
            filtered(c, y) = roundHalfEven(
                (static_cast<double>(w.keep) * filtered(c, y) + plane(c, y + g.planeRowShift)) /
                w.divisor);
        }
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
