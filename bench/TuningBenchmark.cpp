// Cost of automatic tuning per block, beside the receiver's own work on the same block.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "profiles/ReceiverProfile.h"
#include "session/Receiver.h"
#include "tuning/AutoTuner.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace {

using namespace nbtv;

std::vector<std::int16_t> signalFor(const ReceiverProfile& profile) {
    TransmitOptions options;
    options.frames = 2;
    options.channel.snrDb = 20.0;
    options.channel.frequencyOffsetHz = 5.0;
    options.channel.rateError = 0.01;
    return transmit(profile,
                    makeTestCard(TestCardKind::Ramp, profile.pictureColumns, profile.pictureLines),
                    options);
}

// The receiver alone, then the receiver with everything automatic.
void run(benchmark::State& state, bool tuned) {
    const ReceiverProfile& profile = nbtv48Profile();
    const std::vector<std::int16_t> signal = signalFor(profile);
    Receiver receiver(profile);
    AutoTuner tuner(profile);
    tuner.setFineTune(tuned);
    tuner.setCalibration(tuned);
    if (tuned) {
        tuner.findFramePhase();
    }
    std::size_t at = 0;
    for (auto _ : state) {
        const std::size_t length = static_cast<std::size_t>(receiver.settings().blockLength);
        if (at + length > signal.size()) {
            at = 0;
        }
        const std::span<const std::int16_t> block(signal.data() + at, length);
        at += length;
        receiver.processBlock(block);
        if (tuned) {
            benchmark::DoNotOptimize(tuner.afterBlock(receiver.tunerAccess(), block));
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void receiverAlone(benchmark::State& state) {
    run(state, false);
}
void receiverTuned(benchmark::State& state) {
    run(state, true);
}

} // namespace

BENCHMARK(receiverAlone);
BENCHMARK(receiverTuned);
BENCHMARK_MAIN();
