#include "session/ReceiveSession.h"

namespace nbtv {

void followBlock(EnhancedReceiver& enhanced, const Receiver& receiver,
                 std::span<const std::int16_t> block, bool completed) {
    const ReceiverSettings& settings = receiver.settings();
    enhanced.addSamples(block, settings.sampleRateOffset, settings.fineTuneHz);
    if (completed) {
        enhanced.frameCompleted(settings, receiver.frameOffset());
    }
}

} // namespace nbtv
