#pragma once
// Where a live transmission's pictures come from: a test card or still image (the same picture
// every frame), a video file or numbered image sequence (one picture a frame, decoded while
// sending), a camera or the desktop through FFmpeg's input devices (the newest picture at every
// frame boundary). Each is scaled to the program's picture.

#include <memory>
#include <string>

#include "tx/LiveTransmitter.h"

namespace nbtv {

struct FeedRequest {
    // A test card (bars, ramp, detail), an image, a video, numbered images (frame-%03d.png),
    // "camera" or a V4L2 device (/dev/video0), or "screen" (the X display's desktop).
    std::string card = "bars";
    int width = 0;
    int height = 0;
    // A video or sequence starts again from its first picture after its last.
    bool repeat = false;
};

// Null with a one-line `error` when the card cannot be opened (an absent camera or display
// among them).
std::unique_ptr<PictureFeed> openPictureFeed(const FeedRequest& request, std::string& error);

} // namespace nbtv
