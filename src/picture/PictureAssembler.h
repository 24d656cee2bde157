#pragma once
// Turns the frame buffer into pictures: pilot-scope histories, horizontal smoothing, the picture
// matrix without the pilot, vertical interpolation, brightness and contrast, colour planes, the
// monitor image per block, and the picture surface when a frame completes. Also the interface
// and the steps that the RGGB pipeline (RggbAssembler.h) shares.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Conversions.h"
#include "core/Matrix.h"
#include "picture/PixelSurface.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

struct ReceiverSettings;

// The long-lived arrays of the picture pipeline that the display reads, in both schemes.
struct PictureStore {
    PictureStore(const ReceiverProfile& profile);

    // The RGGB scheme's levels of every column (the three-field scheme keeps only a block's).
    Matrix<float> pictureMatrix;
    // Indexed by ColourComponent. RGB: the frame buffer's rows, one field wide; RGGB: three
    // rows per carrier row, a whole frame wide (only the first field's columns and the rows of
    // the picture area are written).
    std::array<Matrix<std::int32_t>, 3> planes;
    // One per pilot-scope trace, columns 1..frame width at [c].
    std::vector<std::vector<std::int32_t>> scopeHistory;
    PixelSurface pictureSurface;
    PixelSurface monitorSurface;
};

// What the receiver runs after placing a block; which pipeline depends on the profile's scheme.
class PicturePipeline {
  public:
    virtual ~PicturePipeline() = default;
    // The work of every block whose newest columns are f+1 .. f+columnsPerBlock.
    virtual void assembleBlock(int f, const ReceiverSettings& settings) = 0;
    // Fills the picture surface (when a frame completes).
    virtual void composePicture(const ReceiverSettings& settings) = 0;

    // The pilot-scope histories feed only the scope; without a scope (decoding files) they
    // can be left alone. The pictures do not depend on them.
    void keepScopeHistories(bool keep) { keepScopeHistories_ = keep; }
    // The monitor image feeds only the monitor strip; without one it can be left alone too.
    void keepMonitor(bool keep) { keepMonitor_ = keep; }
    // A pipeline that filters its own planes does so whether or not the filter is shown, so
    // that switching it on shows a settled picture; a decode whose filter stays off never
    // reads them.
    void keepFilteredPlanes(bool keep) { keepFilteredPlanes_ = keep; }

  protected:
    bool keepScopeHistories_ = true;
    bool keepMonitor_ = true;
    bool keepFilteredPlanes_ = true;
};

// A pilot-scope history averages every column in every block, while a block changes only a few
// columns of its input. A column whose input is the one it last averaged, and whose last average
// left it unchanged, stays unchanged: it is skipped, and the histories are exactly those of
// averaging every column.
class SettledColumns {
  public:
    explicit SettledColumns(int columns)
        : inputs_(static_cast<std::size_t>(columns) + 1),
          settled_(static_cast<std::size_t>(columns) + 1, 0) {}

    // Column c (from 1) with input `input` (the bits of the values it averages).
    bool settled(std::size_t c, std::uint64_t input) const {
        return settled_[c] != 0 && inputs_[c] == input;
    }
    void averaged(std::size_t c, std::uint64_t input, bool changed) {
        inputs_[c] = input;
        settled_[c] = changed ? 0 : 1;
    }

  private:
    std::vector<std::uint64_t> inputs_;
    std::vector<std::uint8_t> settled_;
};

// Steps that both pipelines take.
namespace pictureSteps {

// A scope history entry's running average: (100 x value + previous) / 2, rounded. Not-a-number
// (a silent bin) counts as 0, so the trace rests on its baseline.
std::int32_t scopeAverage(float value, std::int32_t previous);

// Smooths the centre columns f+8 .. f+2 of the block in place in every `rowStep`-th row; each
// centre uses its right neighbour as already smoothed.
void smoothBlock(Matrix<float>& buffer, int f, int rowStep);

// The grey monitor columns of the block (f+9, f+6, f+3), from the matrix rows the geometry names;
// `value(c, r)` is the picture matrix at column c, row r.
template <class Value>
void drawMonitorColumns(const Value& value, const PictureGeometry& g, int f,
                        PixelSurface& monitor) {
    for (int c = f + columnsPerBlock; c >= f + 3; c -= 3) {
        const int x = c / 3 - 1; // monitor column c / 3, counted from 1
        for (int y = 1; y <= g.monitorRows; ++y) {
            const std::int32_t grey = floorToInt(value(c, g.monitorRowStep * y + g.monitorRowBase));
            monitor.at(x, y - 1) = greyPixel(static_cast<std::uint32_t>(grey));
        }
    }
}

// Display levels (PictureAssembler::level) of `count` values, four at a time; `out` may be `in`.
void levels(const float* in, float* out, std::size_t count, const ReceiverSettings& settings);

// Colour pixels of `area` from the planes: surface pixel (x, y) from plane column
// x + 1 + columnShift, row y + 1 + rowShift.
void composeColour(const std::array<Matrix<std::int32_t>, 3>& planes, const PixelRect& area,
                   int rowShift, int columnShift, PixelSurface& surface);

} // namespace pictureSteps

// The three-field (RGB or monochrome) pipeline.
class PictureAssembler : public PicturePipeline {
  public:
    PictureAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer,
                     PictureStore& store);

    void assembleBlock(int f, const ReceiverSettings& settings) override;

    // Fills the picture surface from the colour planes (when a frame completes).
    void composePicture(const ReceiverSettings& settings) override;

    // Display level of a matrix value: (100 + contrast) x value + brightness + 20, clamped to
    // 0..255; not-a-number shows white.
    static float level(float value, const ReceiverSettings& settings);

  private:
    // Each step for the block whose columns are f+1 .. f+columnsPerBlock.
    void updateScopeHistory();
    void copyWithoutPilot(int f);
    void interpolate();
    void applyLevels(const ReceiverSettings& settings);
    void fillPlanes(int f);
    void drawMonitor(int f, const ReceiverSettings& settings);
    // Row r (from 1) of block_.
    float* blockRow(int r);

    const ReceiverProfile& profile_;
    Matrix<float>& buffer_;
    PictureStore& store_;
    std::vector<SettledColumns> scopeInputs_; // one per history
    // The block's columns of the picture matrix, row after row (all that the planes and the
    // monitor need of it); and the same rounded.
    std::vector<float> block_;
    std::vector<std::int32_t> rounded_;
    // The second and third fields' rounded rows, by column within the field, until the first
    // field's columns take them into the planes.
    std::array<Matrix<std::int32_t>, 2> later_;
    // The matrix rows that the planes and the monitor read: the only ones interpolated and
    // levelled (rows never written hold 0 in block_, as they always did in the matrix).
    int readFirst_ = 0;
    int readLast_ = 0;
};

} // namespace nbtv
