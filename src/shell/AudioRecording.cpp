#include "shell/AudioRecording.h"

#include "profiles/ReceiverProfile.h"

namespace nbtv {

bool AudioRecording::start(std::string& error) {
    return recorder_.start(audioFilePrefix, format_, sampleRate_, error);
}

bool AudioRecording::startFile(const std::string& path, std::string& error) {
    return recorder_.startFile(path, audioFormatOf(path), sampleRate_, error);
}

void AudioRecording::input(std::span<const std::int16_t> block) {
    if (!recorder_.recording()) {
        return;
    }
    std::string error;
    if (!recorder_.write(block, error) && failed_) {
        failed_(error);
    }
}

bool AudioRecording::save(std::span<const std::int16_t> samples, std::string& name,
                          std::string& error) const {
    AudioRecorder once;
    if (!once.start(audioFilePrefix, format_, sampleRate_, error)) {
        return false;
    }
    name = once.fileName();
    if (!once.write(samples, error)) {
        return false;
    }
    once.stop();
    return true;
}

} // namespace nbtv
