#pragma once
// The RGGB picture pipeline: a frame of two fields on a frame buffer of one row per carrier, the
// second-received field (columns 1..W) green on every carrier and the first (W+1..2W) red and
// blue on alternate carriers. Per block: the three pilot-scope histories, smoothing and levels
// into the picture matrix, the colour lines of each carrier pair, planes of three rows per
// carrier, the noise-filtered planes and the monitor image; the picture when a frame completes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Matrix.h"
#include "picture/PictureAssembler.h"

namespace nbtv {

// The stores of the RGGB scheme besides the shared PictureStore (all indexed by
// ColourComponent, (column, row) from 1).
struct RggbStore {
    explicit RggbStore(const ReceiverProfile& profile);

    // The colour of every carrier row, for the first-field columns.
    std::array<Matrix<std::int32_t>, 3> lines;
    // The planes blended frame by frame; row y is picture row y.
    std::array<Matrix<std::int32_t>, 3> filteredPlanes;
};

class RggbAssembler : public PicturePipeline {
  public:
    RggbAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer,
                  PictureStore& store);

    void assembleBlock(int f, const ReceiverSettings& settings) override;

    // Fills the picture surface from the filtered planes when the noise filter is on, otherwise
    // from the planes.
    void composePicture(const ReceiverSettings& settings) override;

    const RggbStore& rggbStore() const { return rggb_; }

  private:
    // Each step for the block's first-field columns first .. last.
    void updateScopeHistories();
    void reconstructLines(int first, int last);
    void interpolatePlanes(int first, int last);
    void filterPlanes(int first, int last, const ReceiverSettings& settings);
    std::int32_t* lineRow(std::size_t colour, int r);
    std::int32_t* planeRow(std::size_t colour, int r);

    const ReceiverProfile& profile_;
    Matrix<float>& buffer_;
    PictureStore& store_;
    RggbStore rggb_;
    SettledColumns scopeInputs_; // of all three histories
    // The block's lines (rows 1..bufferRows) and planes (rows 1..3 bufferRows) per colour,
    // nine values a row; and whether every blend so far kept the filtered planes within 0..255.
    std::vector<std::int32_t> lineBlock_;
    std::vector<std::int32_t> planeBlock_;
    bool filteredWithin_ = true;
    int upperPilotRow_ = 0; // scope history 0
    int lowerPilotRow_ = 0; // scope history 2
};

} // namespace nbtv
