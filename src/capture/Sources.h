#pragma once
// The sources behind the wave-input layer.

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/WaveIn.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

// The sound card through the sound server (PulseAudio, or PipeWire's Pulse layer).
std::unique_ptr<WaveIn> makeSoundCardInput(QObject* parent = nullptr);

// An audio file (any format FFmpeg reads) played in real time at the rate the receiver opens
// with; silence after its end.
std::unique_ptr<WaveIn> makeFileInput(const QString& path, QObject* parent = nullptr);

// The built-in transmitter sending a test card of the profile, slightly mistuned, so that a
// newcomer without a radio can practise tuning.
std::unique_ptr<WaveIn> makeTransmitterInput(const ReceiverProfile& profile,
                                             QObject* parent = nullptr);

} // namespace nbtv
