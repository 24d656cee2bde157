#pragma once
// Puts the picture pipeline's results on the screen: the picture (natural or big view), the pilot
// scope and the monitor strip, each drawn into its view's image and repainted at once.

#include "core/ReceiverSettings.h"
#include "display/SurfaceView.h"
#include "picture/PictureAssembler.h"
#include "picture/PixelSurface.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

// When a frame completes: the whole picture surface at natural size, or with `bigPicture` the
// picture area scaled smoothly to fill the view's height.
void drawPicture(SurfaceView& view, const PixelSurface& pictureSurface,
                 const ReceiverProfile& profile, int bigPicture);

// After every block: traces of the history rows, the fine-tune marker, the centre line and the
// caption, on black.
void drawPilotScope(SurfaceView& view, const PictureStore& store, const ReceiverProfile& profile,
                    const ReceiverSettings& settings);

// After every block, last: the top-left of the monitor surface into the strip.
void showMonitorStrip(SurfaceView& view, const PixelSurface& monitorSurface);

// A surface's pixels as an image, without copying (valid while the surface lives).
QImage surfaceImage(const PixelSurface& surface);

} // namespace nbtv
