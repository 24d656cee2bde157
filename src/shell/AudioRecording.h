#pragma once
// The window's audio recording: the input as the session takes it, before any correction,
// written block by block to a FLAC or WAV file; and the last minute saved on request.

#include <functional>
#include <span>
#include <string>

#include "io/AudioRecorder.h"
#include "session/ReceiveSession.h"

namespace nbtv {

class AudioRecording : public InputTap {
  public:
    explicit AudioRecording(int sampleRate) : sampleRate_(sampleRate) {}

    void setFormat(AudioFormat format) { format_ = format; }
    AudioFormat format() const { return format_; }
    // A new NBTV_AUDIO_... file in the current folder, in the chosen format.
    bool start(std::string& error);
    // The named file (which must not exist), in the format its name asks for.
    bool startFile(const std::string& path, std::string& error);
    void stop() { recorder_.stop(); }
    bool recording() const { return recorder_.recording(); }
    const std::string& fileName() const { return recorder_.fileName(); }
    // Called with the reason when a write fails; the recording has then ended.
    void setFailureHandler(std::function<void(const std::string&)> handler) {
        failed_ = std::move(handler);
    }

    void input(std::span<const std::int16_t> block) override;

    // Writes `samples` as a recording of their own, named as a new recording; its name in
    // `name`.
    bool save(std::span<const std::int16_t> samples, std::string& name, std::string& error) const;

  private:
    int sampleRate_;
    AudioFormat format_ = AudioFormat::Flac;
    AudioRecorder recorder_;
    std::function<void(const std::string&)> failed_;
};

} // namespace nbtv
