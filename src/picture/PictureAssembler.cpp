#include "picture/PictureAssembler.h"

#include <cmath>
#include <cstddef>

#include "core/Conversions.h"
#include "core/ReceiverSettings.h"
#include "picture/DisplayLevel.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

std::size_t plane(ColourComponent component) {
    return static_cast<std::size_t>(component);
}

Matrix<std::int32_t> planeMatrix(const ReceiverProfile& profile) {
    if (profile.pictureScheme == PictureScheme::Rggb) {
        return {profile.frameColumns(), 3 * profile.bufferRows};
    }
    return {profile.fieldWidth, profile.bufferRows};
}

// RGGB: the upper pilot's row, both pilots combined, the lower pilot's row.
std::size_t scopeTraces(const ReceiverProfile& profile) {
    return profile.pictureScheme == PictureScheme::Rggb ? 3
                                                        : profile.geometry.scopeHistoryRows.size();
}

} // namespace

PictureStore::PictureStore(const ReceiverProfile& profile)
    : pictureMatrix(profile.frameColumns(), profile.bufferRows), planes{planeMatrix(profile),
                                                                        planeMatrix(profile),
                                                                        planeMatrix(profile)},
      scopeHistory(scopeTraces(profile),
                   std::vector<std::int32_t>(static_cast<std::size_t>(profile.frameColumns() + 1))),
      pictureSurface(profile.surfaceWidth, profile.pictureSurfaceHeight),
      monitorSurface(profile.surfaceWidth, profile.monitorSurfaceHeight) {}

namespace pictureSteps {

std::int32_t scopeAverage(float value, std::int32_t previous) {
    const double v = std::isnan(value) ? 0.0 : static_cast<double>(value);
    return roundHalfEven((100.0 * v + previous) / 2.0);
}

void smoothBlock(Matrix<float>& buffer, int f, int rowStep) {
    for (int k = f + 8; k >= f + 2; --k) {
        for (int r = rowStep; r <= buffer.rows(); r += rowStep) {
            buffer(k, r) = static_cast<float>(
                (2.0 * buffer(k, r) + buffer(k + 1, r) + buffer(k - 1, r)) / 4.0);
        }
    }
}

void drawMonitorColumns(const Matrix<float>& pm, const PictureGeometry& g, int f,
                        PixelSurface& monitor) {
    for (int c = f + columnsPerBlock; c >= f + 3; c -= 3) {
        const int x = c / 3 - 1; // monitor column c / 3, counted from 1
        for (int y = 1; y <= g.monitorRows; ++y) {
            const std::int32_t grey = floorToInt(pm(c, g.monitorRowStep * y + g.monitorRowBase));
            monitor.at(x, y - 1) = greyPixel(static_cast<std::uint32_t>(grey));
        }
    }
}

void composeColour(const std::array<Matrix<std::int32_t>, 3>& planes, const PixelRect& area,
                   int rowShift, int columnShift, PixelSurface& surface) {
    const Matrix<std::int32_t>& red = planes[plane(ColourComponent::Red)];
    const Matrix<std::int32_t>& green = planes[plane(ColourComponent::Green)];
    const Matrix<std::int32_t>& blue = planes[plane(ColourComponent::Blue)];
    for (int y = area.y0; y < area.y0 + area.height; ++y) {
        const int r = y + 1 + rowShift;
        for (int x = area.x0; x < area.x0 + area.width; ++x) {
            const int c = x + 1 + columnShift;
            surface.at(x, y) = rgbPixel(static_cast<std::uint32_t>(red(c, r)),
                                        static_cast<std::uint32_t>(green(c, r)),
                                        static_cast<std::uint32_t>(blue(c, r)));
        }
    }
}

} // namespace pictureSteps

PictureAssembler::PictureAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer,
                                   PictureStore& store)
    : profile_(profile), buffer_(receiveBuffer), store_(store) {}

float PictureAssembler::level(float value, const ReceiverSettings& s) {
    float v =
        static_cast<float>(displayLevel(static_cast<double>(value), s.brightness, s.contrast));
    if (!(v <= 255.0f)) {
        v = 255.0f; // also not-a-number: a carrier without energy shows white
    }
    if (v < 0.0f) {
        v = 0.0f;
    }
    return v;
}

void PictureAssembler::assembleBlock(int f, const ReceiverSettings& settings) {
    if (keepScopeHistories_) {
        updateScopeHistory();
    }
    pictureSteps::smoothBlock(buffer_, f, profile_.rowsPerBin);
    for (int c = f + 1; c <= f + columnsPerBlock; ++c) {
        copyWithoutPilot(c);
        interpolate(c);
        applyLevels(c, settings);
        if (c <= profile_.fieldWidth) {
            fillPlanes(c);
        }
    }
    drawMonitor(f, settings);
}

void PictureAssembler::updateScopeHistory() {
    const std::vector<int>& rows = profile_.geometry.scopeHistoryRows;
    const int columns = profile_.frameColumns();
    for (std::size_t h = 0; h < rows.size(); ++h) {
        const float* values = buffer_.row(rows[h]);
        std::vector<std::int32_t>& history = store_.scopeHistory[h];
        for (int c = 1; c <= columns; ++c) {
            const std::size_t i = static_cast<std::size_t>(c);
            history[i] = pictureSteps::scopeAverage(values[c - 1], history[i]);
        }
    }
}

void PictureAssembler::copyWithoutPilot(int c) {
    Matrix<float>& pm = store_.pictureMatrix;
    const int pilotRow = profile_.rowOfBin(profile_.carriers.pilotBin);
    for (int r = pilotRow + 3; r <= profile_.bufferRows; r += 3) {
        pm(c, r) = buffer_(c, r);
    }
    for (int r = 3; r <= pilotRow - 3; r += 3) {
        pm(c, r + 3) = buffer_(c, r);
    }
}

void PictureAssembler::interpolate(int c) {
    Matrix<float>& pm = store_.pictureMatrix;
    for (int r = profile_.bufferRows; r >= profile_.geometry.levelRowFirst + 2; r -= 3) {
        const double upper = pm(c, r - 3);
        const double lower = pm(c, r);
        pm(c, r - 1) = static_cast<float>((2.0 * lower + upper) / 3.0);
        pm(c, r - 2) = static_cast<float>((lower + 2.0 * upper) / 3.0);
    }
}

void PictureAssembler::applyLevels(int c, const ReceiverSettings& settings) {
    Matrix<float>& pm = store_.pictureMatrix;
    const PictureGeometry& g = profile_.geometry;
    for (int r = g.levelRowFirst; r <= g.levelRowLast; ++r) {
        pm(c, r) = level(pm(c, r), settings);
    }
}

void PictureAssembler::fillPlanes(int c) {
    const Matrix<float>& pm = store_.pictureMatrix;
    const PictureGeometry& g = profile_.geometry;
    const int w = profile_.fieldWidth;
    Matrix<std::int32_t>& same = store_.planes[plane(g.fieldPlanes[0])];
    Matrix<std::int32_t>& second = store_.planes[plane(g.fieldPlanes[1])];
    Matrix<std::int32_t>& first = store_.planes[plane(g.fieldPlanes[2])];
    for (int r = g.planeRowFirst; r <= g.planeRowLast; ++r) {
        const float* here = pm.row(r) + (c - 1);
        const float* above = pm.row(r - 1) + (c - 1);
        same(c, r) = roundHalfEven(here[0]);
        second(c, r) = roundHalfEven(above[w]);
        first(c, r) = roundHalfEven(above[2 * w]);
    }
}

void PictureAssembler::drawMonitor(int f, const ReceiverSettings& settings) {
    const PictureGeometry& g = profile_.geometry;
    PixelSurface& monitor = store_.monitorSurface;
    pictureSteps::drawMonitorColumns(store_.pictureMatrix, g, f, monitor);
    if (settings.colourMode == 0) {
        const PixelRect& clear = g.monoMonitorClear;
        for (int y = clear.y0; y < clear.y0 + clear.height; ++y) {
            for (int x = clear.x0; x < clear.x0 + clear.width; ++x) {
                monitor.at(x, y) = 0;
            }
        }
    }
}

void PictureAssembler::composePicture(const ReceiverSettings& settings) {
    const PictureGeometry& g = profile_.geometry;
    const PixelRect& area = g.pictureArea;
    if (settings.colourMode == 1) {
        pictureSteps::composeColour(store_.planes, area, g.planeRowShift, g.planeColumnShift,
                                    store_.pictureSurface);
        return;
    }
    const Matrix<std::int32_t>& mono = store_.planes[plane(g.fieldPlanes[0])];
    for (int y = area.y0; y < area.y0 + area.height; ++y) {
        const int r = y + 1 + g.planeRowShift;
        for (int x = area.x0; x < area.x0 + area.width; ++x) {
            const int c = x + 1 + g.planeColumnShift;
            store_.pictureSurface.at(x, y) = greyPixel(static_cast<std::uint32_t>(mono(c, r)));
        }
    }
}

} // namespace nbtv
