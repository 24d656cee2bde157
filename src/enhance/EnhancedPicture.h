#pragma once
// The enhanced picture of a frame, drawn from the fitted slots: each field's columns of every
// line carrier (shrunk along the field when denoising), turned into display levels and laid out
// as the program's fields make colours (three fields in the transmitter's order, one mono field,
// or the RGGB scheme's pairs).

#include <cstdint>

#include "picture/PixelSurface.h"
#include "picture/RgbImage.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

class SlotRing;

// One enhanced picture: the picture itself (pictureColumns x pictureLines).
struct EnhancedPicture {
    RgbImage picture;
    // Every column of it was fitted; otherwise the missing ones (before the signal, or before
    // the column phase was found) show white.
    bool complete = true;
};

// How a frame is drawn: its fields (1 in mono) and the levels' brightness and contrast.
struct FrameLook {
    int fields = 1;
    int brightness = 128;
    int contrast = 128;
};

// The picture of the frame that ends at slot `end`, from the slots of `ring`. Where the fit did
// not hold (SlotRing::trust), each colour of a column blends toward `ordinary`, the ordinary
// path's picture of the same frame (pictureColumns x pictureLines, or a whole multiple of that
// as the picture surface draws it), when there is one; and where the whole frame disagrees with
// that picture by more than the ordinary path's noise while the fit itself was noisy (a fade
// the model does not follow), the whole picture blends toward it. Only as far as the ordinary
// path's own tuning held: the fine tune in use off (a drifting radio with the settings fixed,
// which the fit follows from the pilots) leaves its levels wrong.
EnhancedPicture composeEnhancedPicture(const ReceiverProfile& profile, const SlotRing& ring,
                                       std::int64_t end, const FrameLook& look, bool denoise,
                                       const RgbImage* ordinary = nullptr);

// Draws an enhanced picture into a picture surface of the profile, three by three pixels a
// pixel in the surface's picture rectangle, the rest black.
void drawEnhancedSurface(const ReceiverProfile& profile, const RgbImage& picture,
                         PixelSurface& surface);

} // namespace nbtv
