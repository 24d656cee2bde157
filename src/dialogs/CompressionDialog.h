#pragma once
// The compression-options dialog shown when a recording starts, standing in for the platform's:
// the compressors that work at the recorded size, the key-frame choice and the data rate. The
// choice lives in one record for the whole run.

#include <QDialog>

#include <vector>

#include "io/AviWriter.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace nbtv {

inline constexpr const char* compressionDialogName = "compressionDialog";

// The run's compression options: filled by the dialog, never reset, so the dialog opens with
// the previous choice at the next start. Uncompressed until the user picks otherwise.
AviCompression& runCompressionOptions();

// The candidates that open, write and close at this size in this FFmpeg, uncompressed first.
// Each is tried once a run.
const std::vector<const AviCodec*>& workingAviCodecs(int width, int height);

// A small always-on-top tool window without owner. OK stores the choice in the record it was
// given; Cancel and the close box leave the record as it was.
class CompressionDialog : public QDialog {
    Q_OBJECT
  public:
    CompressionDialog(AviCompression& options, int width, int height);

    // What the controls show now.
    AviCompression choice() const;

  private:
    void showCompressor();
    void keep();

    AviCompression& options_;
    std::vector<const AviCodec*> codecs_;
    QComboBox* compressor_ = nullptr;
    QLabel* details_ = nullptr;
    QCheckBox* keyFrames_ = nullptr;
    QSpinBox* keyFrameEvery_ = nullptr;
    QCheckBox* dataRate_ = nullptr;
    QSpinBox* dataRateValue_ = nullptr;
};

} // namespace nbtv
