#include "picture/PictureAssembler.h"

#include <algorithm>
#include <bit>
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
    for (int r = rowStep; r <= buffer.rows(); r += rowStep) {
        float* row = buffer.row(r);
        for (int i = f + 7; i >= f + 1; --i) { // column i + 1
            row[i] = static_cast<float>((2.0 * row[i] + row[i + 1] + row[i - 1]) / 4.0);
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
    : profile_(profile), buffer_(receiveBuffer), store_(store),
      scopeInputs_(profile.geometry.scopeHistoryRows.size(),
                   SettledColumns(profile.frameColumns())) {}

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
    // Each step takes the block's columns row by row: the columns are independent, and a row's
    // columns lie side by side in memory.
    const int first = f + 1;
    const int last = f + columnsPerBlock;
    copyWithoutPilot(first, last);
    interpolate(first, last);
    applyLevels(first, last, settings);
    fillPlanes(first, std::min(last, profile_.fieldWidth));
    if (keepMonitor_) {
        drawMonitor(f, settings);
    }
}

void PictureAssembler::updateScopeHistory() {
    const std::vector<int>& rows = profile_.geometry.scopeHistoryRows;
    const std::size_t columns = static_cast<std::size_t>(profile_.frameColumns());
    for (std::size_t h = 0; h < rows.size(); ++h) {
        const float* values = buffer_.row(rows[h]);
        std::vector<std::int32_t>& history = store_.scopeHistory[h];
        SettledColumns& inputs = scopeInputs_[h];
        for (std::size_t c = 1; c <= columns; ++c) {
            const float value = values[c - 1];
            const std::uint64_t input = std::bit_cast<std::uint32_t>(value);
            if (inputs.settled(c, input)) {
                continue;
            }
            const std::int32_t next = pictureSteps::scopeAverage(value, history[c]);
            inputs.averaged(c, input, next != history[c]);
            history[c] = next;
        }
    }
}

void PictureAssembler::copyWithoutPilot(int first, int last) {
    Matrix<float>& pm = store_.pictureMatrix;
    const int pilotRow = profile_.rowOfBin(profile_.carriers.pilotBin);
    for (int r = pilotRow + 3; r <= profile_.bufferRows; r += 3) {
        for (int c = first; c <= last; ++c) {
            pm(c, r) = buffer_(c, r);
        }
    }
    for (int r = 3; r <= pilotRow - 3; r += 3) {
        for (int c = first; c <= last; ++c) {
            pm(c, r + 3) = buffer_(c, r);
        }
    }
}

void PictureAssembler::interpolate(int first, int last) {
    Matrix<float>& pm = store_.pictureMatrix;
    for (int r = profile_.bufferRows; r >= profile_.geometry.levelRowFirst + 2; r -= 3) {
        for (int c = first; c <= last; ++c) {
            const double upper = pm(c, r - 3);
            const double lower = pm(c, r);
            pm(c, r - 1) = static_cast<float>((2.0 * lower + upper) / 3.0);
            pm(c, r - 2) = static_cast<float>((lower + 2.0 * upper) / 3.0);
        }
    }
}

void PictureAssembler::applyLevels(int first, int last, const ReceiverSettings& settings) {
    Matrix<float>& pm = store_.pictureMatrix;
    const PictureGeometry& g = profile_.geometry;
    for (int r = g.levelRowFirst; r <= g.levelRowLast; ++r) {
        float* row = pm.row(r);
        for (int c = first; c <= last; ++c) {
            row[c - 1] = level(row[c - 1], settings);
        }
    }
}

void PictureAssembler::fillPlanes(int first, int last) {
    if (last < first) {
        return; // the block lies beyond the first field
    }
    const Matrix<float>& pm = store_.pictureMatrix;
    const PictureGeometry& g = profile_.geometry;
    const int w = profile_.fieldWidth;
    Matrix<std::int32_t>& same = store_.planes[plane(g.fieldPlanes[0])];
    Matrix<std::int32_t>& second = store_.planes[plane(g.fieldPlanes[1])];
    Matrix<std::int32_t>& third = store_.planes[plane(g.fieldPlanes[2])];
    for (int r = g.planeRowFirst; r <= g.planeRowLast; ++r) {
        const float* here = pm.row(r);
        const float* above = pm.row(r - 1);
        std::int32_t* sameRow = same.row(r);
        std::int32_t* secondRow = second.row(r);
        std::int32_t* thirdRow = third.row(r);
        const std::size_t count = static_cast<std::size_t>(last - first + 1);
        const std::size_t at = static_cast<std::size_t>(first - 1); // column first
        roundHalfEven(here + at, sameRow + at, count);
        roundHalfEven(above + at + w, secondRow + at, count);
        roundHalfEven(above + at + 2 * w, thirdRow + at, count);
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
