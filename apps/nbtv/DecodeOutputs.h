#pragma once
// The outputs of `nbtv decode`: every picture as a PNG file, into an AVI recording as the
// programs record it, and as a record of a frame file. They are checked before any work starts
// and made once the input is known good, so a mistake leaves nothing behind.

#include <memory>
#include <optional>

#include "DecodeRequest.h"
#include "Outputs.h"
#include "PictureWriter.h"
#include "io/FrameFile.h"
#include "picture/PixelSurface.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv::cli {

class DecodeOutputs {
  public:
    // Throws RunError when an output may not be written (see Outputs.h).
    DecodeOutputs(const DecodeRequest& request, const ReceiverProfile& profile);
    ~DecodeOutputs();
    DecodeOutputs(const DecodeOutputs&) = delete;
    DecodeOutputs& operator=(const DecodeOutputs&) = delete;

    // Makes the outputs.
    void open();
    // The next picture surface into every output.
    void add(const PixelSurface& surface);
    // Writes what is still pending and puts every file in place.
    void finish();

    int pictures() const { return pictures_; }

  private:
    class ViewRecording;

    const DecodeRequest& request_;
    const ReceiverProfile& profile_;
    std::optional<PictureFolder> folder_;
    std::unique_ptr<PictureWriter> pngs_;
    std::unique_ptr<ViewRecording> avi_;
    std::unique_ptr<FrameFileOutput> frameFile_;
    int pictures_ = 0;
};

} // namespace nbtv::cli
