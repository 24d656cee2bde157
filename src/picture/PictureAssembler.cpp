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
    : pictureMatrix(profile.pictureScheme == PictureScheme::Rggb ? profile.frameColumns() : 0,
                    profile.pictureScheme == PictureScheme::Rggb ? profile.bufferRows : 0),
      planes{planeMatrix(profile), planeMatrix(profile), planeMatrix(profile)},
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
    // Each centre waits for its right neighbour; four rows at once keep the processor busy
    // while it does.
    const auto smooth = [](float* row, int i) {
        row[i] = static_cast<float>((2.0 * row[i] + row[i + 1] + row[i - 1]) / 4.0);
    };
    int r = rowStep;
    for (; r + 3 * rowStep <= buffer.rows(); r += 4 * rowStep) {
        float* a = buffer.row(r);
        float* b = buffer.row(r + rowStep);
        float* c = buffer.row(r + 2 * rowStep);
        float* d = buffer.row(r + 3 * rowStep);
        for (int i = f + 7; i >= f + 1; --i) { // column i + 1
            smooth(a, i);
            smooth(b, i);
            smooth(c, i);
            smooth(d, i);
        }
    }
    for (; r <= buffer.rows(); r += rowStep) {
        float* row = buffer.row(r);
        for (int i = f + 7; i >= f + 1; --i) {
            smooth(row, i);
        }
    }
}

void levels(const float* in, float* out, std::size_t count, const ReceiverSettings& s) {
    using Floats = float __attribute__((vector_size(16)));
    using Ints = std::int32_t __attribute__((vector_size(16)));
    using Doubles = double __attribute__((vector_size(32)));
    // displayLevel's arithmetic, four values at a time.
    const double gain = 100.0 + s.contrast;
    const double brightness = s.brightness;
    const Floats white = {255.0f, 255.0f, 255.0f, 255.0f};
    const auto four = [&](Floats value) {
        const Doubles d = __builtin_convertvector(value, Doubles);
        const Floats v = __builtin_convertvector(gain * d + brightness + 20.0, Floats);
        const Ints shown = v <= white; // not-a-number is not
        const Ints whiteBits = reinterpret_cast<Ints>(white);
        const Ints clipped = (reinterpret_cast<Ints>(v) & shown) | (whiteBits & ~shown);
        const Ints positive = reinterpret_cast<Floats>(clipped) >= Floats{};
        return reinterpret_cast<Floats>(clipped & positive);
    };
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Floats v;
        __builtin_memcpy(&v, in + i, sizeof v);
        const Floats r = four(v);
        __builtin_memcpy(out + i, &r, sizeof r);
    }
    for (; i < count; ++i) {
        out[i] = PictureAssembler::level(in[i], s);
    }
}

void composeColour(const std::array<Matrix<std::int32_t>, 3>& planes, const PixelRect& area,
                   int rowShift, int columnShift, PixelSurface& surface) {
    const Matrix<std::int32_t>& red = planes[plane(ColourComponent::Red)];
    const Matrix<std::int32_t>& green = planes[plane(ColourComponent::Green)];
    const Matrix<std::int32_t>& blue = planes[plane(ColourComponent::Blue)];
    for (int y = area.y0; y < area.y0 + area.height; ++y) {
        const int r = y + 1 + rowShift;
        // Pixel x0 + i shows plane column x0 + 1 + columnShift + i, at [x0 + columnShift + i].
        const auto from = static_cast<std::size_t>(area.x0 + columnShift);
        const std::int32_t* reds = red.row(r) + from;
        const std::int32_t* greens = green.row(r) + from;
        const std::int32_t* blues = blue.row(r) + from;
        std::uint32_t* out = &surface.at(area.x0, y);
        for (std::size_t i = 0; i < static_cast<std::size_t>(area.width); ++i) {
            out[i] =
                rgbPixel(static_cast<std::uint32_t>(reds[i]), static_cast<std::uint32_t>(greens[i]),
                         static_cast<std::uint32_t>(blues[i]));
        }
    }
}

} // namespace pictureSteps

PictureAssembler::PictureAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer,
                                   PictureStore& store)
    : profile_(profile), buffer_(receiveBuffer), store_(store),
      scopeInputs_(profile.geometry.scopeHistoryRows.size(),
                   SettledColumns(profile.frameColumns())),
      block_(static_cast<std::size_t>(profile.bufferRows * columnsPerBlock)),
      rounded_(static_cast<std::size_t>(profile.bufferRows * columnsPerBlock)),
      later_{Matrix<std::int32_t>(profile.fieldWidth, profile.bufferRows),
             Matrix<std::int32_t>(profile.fieldWidth, profile.bufferRows)},
      readFirst_(std::min(profile.geometry.planeRowFirst - 1,
                          profile.geometry.monitorRowStep + profile.geometry.monitorRowBase)),
      readLast_(std::max(profile.geometry.planeRowLast,
                         profile.geometry.monitorRowStep * profile.geometry.monitorRows +
                             profile.geometry.monitorRowBase)) {}

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
    // The block's columns of the picture matrix are worked on side by side in block_, nine
    // values a row.
    copyWithoutPilot(f);
    interpolate();
    applyLevels(settings);
    fillPlanes(f);
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

namespace {

// `count` values from `in` to `out`; a block's nine without a library call.
template <class T>
void copyColumns(const T* in, std::size_t count, T* out) {
    if (count == columnsPerBlock) {
        __builtin_memcpy(out, in, columnsPerBlock * sizeof(T));
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = in[i];
    }
}

} // namespace

float* PictureAssembler::blockRow(int r) {
    return block_.data() + static_cast<std::size_t>((r - 1) * columnsPerBlock);
}

void PictureAssembler::copyWithoutPilot(int f) {
    const int pilotRow = profile_.rowOfBin(profile_.carriers.pilotBin);
    const auto take = [&](int from, int to) {
        copyColumns(buffer_.row(from) + f, columnsPerBlock, blockRow(to));
    };
    for (int r = pilotRow + 3; r <= profile_.bufferRows; r += 3) {
        take(r, r);
    }
    for (int r = 3; r <= pilotRow - 3; r += 3) {
        take(r, r + 3);
    }
}

void PictureAssembler::interpolate() {
    using Floats = float __attribute__((vector_size(16)));
    using Doubles = double __attribute__((vector_size(32)));
    // Nine columns: two groups of four, then the last one alone.
    const auto four = [](const float* upperRow, const float* lowerRow, float* nearLower,
                         float* nearUpper) {
        Floats u;
        Floats l;
        __builtin_memcpy(&u, upperRow, sizeof u);
        __builtin_memcpy(&l, lowerRow, sizeof l);
        const Doubles upper = __builtin_convertvector(u, Doubles);
        const Doubles lower = __builtin_convertvector(l, Doubles);
        const Floats a = __builtin_convertvector((2.0 * lower + upper) / 3.0, Floats);
        const Floats b = __builtin_convertvector((lower + 2.0 * upper) / 3.0, Floats);
        __builtin_memcpy(nearLower, &a, sizeof a);
        __builtin_memcpy(nearUpper, &b, sizeof b);
    };
    static_assert(columnsPerBlock == 9);
    for (int r = profile_.bufferRows; r >= profile_.geometry.levelRowFirst + 2; r -= 3) {
        if (r - 2 > readLast_) {
            continue; // rows below every one that is read
        }
        if (r - 1 < readFirst_) {
            break;
        }
        const float* upperRow = blockRow(r - 3);
        const float* lowerRow = blockRow(r);
        float* nearLower = blockRow(r - 1);
        float* nearUpper = blockRow(r - 2);
        four(upperRow, lowerRow, nearLower, nearUpper);
        four(upperRow + 4, lowerRow + 4, nearLower + 4, nearUpper + 4);
        const double upper = upperRow[8];
        const double lower = lowerRow[8];
        nearLower[8] = static_cast<float>((2.0 * lower + upper) / 3.0);
        nearUpper[8] = static_cast<float>((lower + 2.0 * upper) / 3.0);
    }
}

void PictureAssembler::applyLevels(const ReceiverSettings& settings) {
    const PictureGeometry& g = profile_.geometry;
    const int first = std::max(g.levelRowFirst, readFirst_);
    const int last = std::min(g.levelRowLast, readLast_);
    if (last < first) {
        return;
    }
    float* from = blockRow(first);
    pictureSteps::levels(from, from, static_cast<std::size_t>((last - first + 1) * columnsPerBlock),
                         settings);
}

void PictureAssembler::fillPlanes(int f) {
    const PictureGeometry& g = profile_.geometry;
    const int w = profile_.fieldWidth;
    // The plane rows and the rows above them, rounded at once.
    const int firstRow = g.planeRowFirst - 1;
    const auto at = [](int r) { return static_cast<std::size_t>((r - 1) * columnsPerBlock); };
    roundHalfEven(block_.data() + at(firstRow), rounded_.data() + at(firstRow),
                  static_cast<std::size_t>((g.planeRowLast - firstRow + 1) * columnsPerBlock));
    Matrix<std::int32_t>& same = store_.planes[plane(g.fieldPlanes[0])];
    Matrix<std::int32_t>& second = store_.planes[plane(g.fieldPlanes[1])];
    Matrix<std::int32_t>& third = store_.planes[plane(g.fieldPlanes[2])];
    // A field's columns keep their own run of the block (a block straddles two fields only
    // after a press in the monitor strip moved the frame phase).
    for (int j = 0; j < columnsPerBlock;) {
        const int c = f + 1 + j;
        const int field = (c - 1) / w;
        const int run = std::min(columnsPerBlock - j, (field + 1) * w - c + 1);
        const auto count = static_cast<std::size_t>(run);
        const auto column = static_cast<std::size_t>(c - 1 - field * w); // in the field
        if (field == 0) {
            // The first field's columns complete the planes: their own row, and the rows
            // above them that the second and third fields left when they were received.
            for (int r = g.planeRowFirst; r <= g.planeRowLast; ++r) {
                copyColumns(rounded_.data() + at(r) + j, count, same.row(r) + column);
                copyColumns(later_[0].row(r) + column, count, second.row(r) + column);
                copyColumns(later_[1].row(r) + column, count, third.row(r) + column);
            }
        } else if (field <= 2) {
            Matrix<std::int32_t>& keep = later_[static_cast<std::size_t>(field - 1)];
            for (int r = g.planeRowFirst; r <= g.planeRowLast; ++r) {
                copyColumns(rounded_.data() + at(r - 1) + j, count, keep.row(r) + column);
            }
        }
        j += run;
    }
}

void PictureAssembler::drawMonitor(int f, const ReceiverSettings& settings) {
    const PictureGeometry& g = profile_.geometry;
    PixelSurface& monitor = store_.monitorSurface;
    pictureSteps::drawMonitorColumns([&](int c, int r) { return blockRow(r)[c - f - 1]; }, g, f,
                                     monitor);
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
