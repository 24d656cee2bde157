#pragma once
// Turns the frame buffer into pictures: pilot-scope histories, horizontal smoothing, the picture
// matrix without the pilot, vertical interpolation, brightness and contrast, colour planes, the
// monitor image per block, and the picture surface when a frame completes.

#include <array>
#include <cstdint>
#include <vector>

#include "picture/PixelSurface.h"
#include "shell/Matrix.h"

namespace nbtv {

struct ReceiverProfile;
struct ReceiverSettings;

// The long-lived arrays of the picture pipeline.
struct PictureStore {
    PictureStore(const ReceiverProfile& profile);

    Matrix<float> pictureMatrix;
    std::array<Matrix<std::int32_t>, 3> planes; // indexed by ColourComponent
    std::vector<std::vector<std::int32_t>>
        scopeHistory; // one per history row, columns 1..3W at [c]
    PixelSurface pictureSurface;
    PixelSurface monitorSurface;
};

class PictureAssembler {
  public:
    PictureAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer,
                     PictureStore& store);

    // The work of every block whose newest columns are f+1 .. f+9.
    void assembleBlock(int f, const ReceiverSettings& settings);

    // Fills the picture surface from the colour planes (when a frame completes).
    void composePicture(const ReceiverSettings& settings);

    // Display level of a matrix value: (100 + contrast) x value + brightness + 20, clamped to
    // 0..255; not-a-number shows white.
    static float level(float value, const ReceiverSettings& settings);

  private:
    void updateScopeHistory();
    void smooth(int f);
    void copyWithoutPilot(int c);
    void interpolate(int c);
    void applyLevels(int c, const ReceiverSettings& settings);
    void fillPlanes(int c);
    void drawMonitor(int f, const ReceiverSettings& settings);

    const ReceiverProfile& profile_;
    Matrix<float>& buffer_;
    PictureStore& store_;
};

} // namespace nbtv
