// Speed of the receive core: the work of one block for nbtv48 colour (composition amortised
// over the frame), and a whole decode measured against real time.

#include <benchmark/benchmark.h>

#include <span>
#include <vector>

#include "profiles/ReceiverProfile.h"
#include "session/Receiver.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace {

std::vector<std::int16_t> signal(int frames) {
    const nbtv::ReceiverProfile& profile = nbtv::nbtv48Profile();
    nbtv::TransmitOptions options;
    options.frames = frames;
    options.channel.snrDb = 30.0;
    return nbtv::transmit(profile,
                          nbtv::makeTestCard(nbtv::TestCardKind::Detail, profile.pictureColumns,
                                             profile.pictureLines),
                          options);
}

void BM_ProcessBlock(benchmark::State& state) {
    const std::vector<std::int16_t> samples = signal(2);
    nbtv::Receiver receiver(nbtv::nbtv48Profile());
    receiver.setLiteral(state.range(0) != 0);
    const std::size_t length = 768;
    const std::size_t blocks = samples.size() / length;
    std::size_t block = 0;
    for (auto _ : state) {
        const bool complete =
            receiver.processBlock(std::span(samples).subspan(block * length, length));
        benchmark::DoNotOptimize(complete);
        block = (block + 1) % blocks;
    }
    state.SetLabel(state.range(0) != 0 ? "literal" : "fast");
}
BENCHMARK(BM_ProcessBlock)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_DecodeWhole(benchmark::State& state) {
    const int frames = 10;
    const std::vector<std::int16_t> samples = signal(frames);
    const double seconds = static_cast<double>(samples.size()) / 11025.0;
    for (auto _ : state) {
        nbtv::Receiver receiver(nbtv::nbtv48Profile());
        int pictures = 0;
        for (std::size_t at = 0; at + 768 <= samples.size(); at += 768) {
            pictures += receiver.processBlock(std::span(samples).subspan(at, 768)) ? 1 : 0;
        }
        benchmark::DoNotOptimize(pictures);
    }
    state.counters["realtime_x"] = benchmark::Counter(
        seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeWhole)->Unit(benchmark::kMillisecond);

void BM_Transmit(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(signal(10));
    }
}
BENCHMARK(BM_Transmit)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
