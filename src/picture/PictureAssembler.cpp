#include "picture/PictureAssembler.h"

#include <cmath>
#include <cstddef>

#include "profiles/ReceiverProfile.h"
#include "shell/Conversions.h"
#include "shell/ReceiverSettings.h"

namespace nbtv {

namespace {

std::size_t plane(ColourComponent component) {
    return static_cast<std::size_t>(component);
}

} // namespace

PictureStore::PictureStore(const ReceiverProfile& profile)
    : pictureMatrix(profile.frameColumns(), profile.bufferRows),
      planes{Matrix<std::int32_t>(profile.fieldWidth, profile.bufferRows),
             Matrix<std::int32_t>(profile.fieldWidth, profile.bufferRows),
             Matrix<std::int32_t>(profile.fieldWidth, profile.bufferRows)},
      scopeHistory(profile.geometry.scopeHistoryRows.size(),
                   std::vector<std::int32_t>(static_cast<std::size_t>(profile.frameColumns() + 1))),
      pictureSurface(profile.surfaceWidth, profile.pictureSurfaceHeight),
      monitorSurface(profile.surfaceWidth, profile.monitorSurfaceHeight) {}

PictureAssembler::PictureAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer,
                                   PictureStore& store)
    : profile_(profile), buffer_(receiveBuffer), store_(store) {}

float PictureAssembler::level(float value, const ReceiverSettings& s) {
    float v =
        static_cast<float>((100.0 + s.contrast) * static_cast<double>(value) + s.brightness + 20.0);
    if (!(v <= 255.0f)) {
        v = 255.0f; // also not-a-number: a carrier without energy shows white
    }
    if (v < 0.0f) {
        v = 0.0f;
    }
    return v;
}

void PictureAssembler::assembleBlock(int f, const ReceiverSettings& settings) {
    updateScopeHistory();
    smooth(f);
    for (int c = f + 1; c <= f + 9; ++c) {
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
            // Not-a-number (a silent bin) counts as 0, so the trace rests on its baseline.
            const float value = values[c - 1];
            const double v = std::isnan(value) ? 0.0 : static_cast<double>(value);
            const std::size_t i = static_cast<std::size_t>(c);
            history[i] = roundHalfEven((100.0 * v + history[i]) / 2.0);
        }
    }
}

void PictureAssembler::smooth(int f) {
    // Centres f+8 down to f+2; each uses its right neighbour as already smoothed.
    for (int k = f + 8; k >= f + 2; --k) {
        for (int r = 3; r <= profile_.bufferRows; r += 3) {
            buffer_(k, r) = static_cast<float>(
                (2.0 * buffer_(k, r) + buffer_(k + 1, r) + buffer_(k - 1, r)) / 4.0);
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
    const Matrix<float>& pm = store_.pictureMatrix;
    const PictureGeometry& g = profile_.geometry;
    PixelSurface& monitor = store_.monitorSurface;
    for (int c = f + 9; c >= f + 3; c -= 3) {
        const int x = c / 3 - 1; // monitor column c / 3, counted from 1
        for (int y = 1; y <= g.monitorRows; ++y) {
            const std::int32_t grey = floorToInt(pm(c, 3 * y + g.monitorRowBase));
            monitor.at(x, y - 1) = greyPixel(static_cast<std::uint32_t>(grey));
        }
    }
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
    const Matrix<std::int32_t>& red = store_.planes[plane(ColourComponent::Red)];
    const Matrix<std::int32_t>& green = store_.planes[plane(ColourComponent::Green)];
    const Matrix<std::int32_t>& blue = store_.planes[plane(ColourComponent::Blue)];
    const Matrix<std::int32_t>& mono = store_.planes[plane(g.fieldPlanes[0])];
    const PixelRect& area = g.pictureArea;
    for (int y = area.y0; y < area.y0 + area.height; ++y) {
        const int r = y + 1 + g.planeRowShift;
        for (int x = area.x0; x < area.x0 + area.width; ++x) {
            const int c = x + 1 + g.planeColumnShift;
            std::uint32_t pixel = 0;
            if (settings.colourMode == 1) {
                pixel = rgbPixel(static_cast<std::uint32_t>(red(c, r)),
                                 static_cast<std::uint32_t>(green(c, r)),
                                 static_cast<std::uint32_t>(blue(c, r)));
            } else {
                pixel = greyPixel(static_cast<std::uint32_t>(mono(c, r)));
            }
            store_.pictureSurface.at(x, y) = pixel;
        }
    }
}

} // namespace nbtv
