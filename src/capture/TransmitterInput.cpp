// The built-in transmitter behind the wave-input layer, paced in real time.

#include <memory>
#include <optional>
#include <stdexcept>

#include "capture/PacedInput.h"
#include "capture/Sources.h"
#include "tx/TransmitterLoop.h"

namespace nbtv {

namespace {

class TransmitterInput final : public PacedInput {
  public:
    TransmitterInput(const ReceiverProfile& profile, QObject* parent)
        : PacedInput(parent), profile_(profile) {}
    ~TransmitterInput() override { TransmitterInput::close(); }

    QStringList deviceNames() const override { return {QStringLiteral("Built-in transmitter")}; }

    bool open(int deviceIndex, int sampleRate) override {
        if (isOpen()) {
            lastError_ = QStringLiteral("The built-in transmitter is already open");
            return false;
        }
        if (deviceIndex != -1 && deviceIndex != 0) {
            lastError_ = QStringLiteral("No suitable device found");
            return false;
        }
        if (sampleRate != profile_.sampleRate) {
            lastError_ =
                QStringLiteral("The built-in transmitter sends %1 samples a second, not %2")
                    .arg(profile_.sampleRate)
                    .arg(sampleRate);
            return false;
        }
        if (!source_) {
            try {
                source_.emplace(profile_); // made at the first open, kept for later ones
            } catch (const std::exception& e) {
                lastError_ = QStringLiteral("The built-in transmitter cannot send: ") +
                             QString::fromStdString(e.what());
                return false;
            }
        }
        source_->rewind();
        lastError_.clear();
        beginStream(sampleRate);
        return true;
    }

  protected:
    void produce(std::span<std::int16_t> out) override { source_->produce(out); }

  private:
    ReceiverProfile profile_;
    std::optional<TransmitterSource> source_;
};

} // namespace

std::unique_ptr<WaveIn> makeTransmitterInput(const ReceiverProfile& profile, QObject* parent) {
    return std::make_unique<TransmitterInput>(profile, parent);
}

} // namespace nbtv
