// Speed of the enhanced receive path per program: one segment's fit, and whole receptions
// (ordinary path, enhanced path with shrinkage) against real time, with the column-phase search
// at the start included, also with a keyed carrier in the band (which the fit takes away).

#include <benchmark/benchmark.h>

#include <span>
#include <vector>

#include "enhance/EnhancedReceiver.h"
#include "profiles/ReceiverProfile.h"
#include "session/ReceiveSession.h"
#include "session/Receiver.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace {

// The benchmark's argument 0, 1, 2: nbtv48, nbtv96, nbtv96rggb.
const nbtv::ReceiverProfile& program(std::int64_t index) {
    return *nbtv::allProfiles().at(static_cast<std::size_t>(index));
}

std::vector<std::int16_t> signal(const nbtv::ReceiverProfile& profile, int frames,
                                 bool interferer = false) {
    nbtv::TransmitOptions options;
    options.frames = frames;
    options.channel.snrDb = 20.0;
    if (interferer) {
        options.channel.interferer = nbtv::Interferer{1010.0, -6.0, true};
    }
    return nbtv::transmit(profile,
                          nbtv::makeTestCard(nbtv::TestCardKind::Detail, profile.pictureColumns,
                                             profile.pictureLines),
                          options);
}

// A whole reception of `frames` frames: the column-phase search (once, at the start) and the
// steady fit of every segment; argument 2 adds a keyed carrier at -6 dB, argument 3 gives the fit
// a second thread. Processor time counts both threads; real time is the wall clock.
void BM_EnhancedReception(benchmark::State& state) {
    const nbtv::ReceiverProfile& profile = program(state.range(0));
    const int frames = static_cast<int>(state.range(1));
    const std::vector<std::int16_t> samples = signal(profile, frames, state.range(2) != 0);
    const double seconds = static_cast<double>(samples.size()) / profile.sampleRate;
    for (auto _ : state) {
        nbtv::ReceiveSession session(profile);
        session.receiver().keepScopeHistories(false);
        session.setEnhancedSecondThread(state.range(3) != 0);
        session.setEnhanced(true, true);
        std::size_t pictures = 0;
        session.setPictureListener([&](const nbtv::SessionPicture&) { ++pictures; });
        for (std::size_t at = 0; at + 768 <= samples.size(); at += 768) {
            session.processBlock(std::span(samples).subspan(at, 768));
        }
        session.finish();
        benchmark::DoNotOptimize(pictures);
    }
    state.counters["realtime_x"] = benchmark::Counter(
        seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(profile.name);
}
BENCHMARK(BM_EnhancedReception)
    ->ArgsProduct({{0, 1, 2}, {4, 40}, {0}, {0, 1}})
    ->ArgsProduct({{0, 1, 2}, {4}, {1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// One segment's fit (56 columns on air) on its own.
void BM_SegmentFit(benchmark::State& state) {
    const nbtv::ReceiverProfile& profile = program(state.range(0));
    const std::vector<std::int16_t> samples = signal(profile, 1);
    const int slots = nbtv::EnhancedReceiver::segmentSlots;
    std::vector<float> x(static_cast<std::size_t>(slots) * 256);
    std::vector<nbtv::SlotSpan> spans(static_cast<std::size_t>(slots));
    for (int j = 0; j < slots; ++j) {
        spans[static_cast<std::size_t>(j)] = {j * 256, 256, 0.0, 1.0 / 256.0, 0.0, 0.0};
    }
    // Samples from the start of column 3 (the transmitter's columns begin 555 samples early).
    for (std::size_t n = 0; n < x.size(); ++n) {
        x[n] = static_cast<float>(samples[n + 3 * 256 - 555] / 32768.0);
    }
    nbtv::SegmentFit fit(nbtv::fittedCarrierBins(profile));
    for (auto _ : state) {
        fit.fit(x, spans);
        benchmark::DoNotOptimize(fit.meanSquaredResidual());
    }
    const double seconds =
        static_cast<double>(nbtv::EnhancedReceiver::outputSlots * 256) / profile.sampleRate;
    state.counters["realtime_x"] = benchmark::Counter(
        seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(profile.name);
}
BENCHMARK(BM_SegmentFit)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
