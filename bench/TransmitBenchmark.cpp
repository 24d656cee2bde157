// The live transmitter's work against real time: a minute of each program's signal, pictures
// at every frame boundary, scaled and handed to a card that takes them at once. "core_percent"
// is the share of one core that sending in real time takes (the goal: under 5 %). The card's
// own pacing and underruns are measured live, with `nbtv transmit ... --seconds 600`, whose last
// line counts the underruns.

#include <benchmark/benchmark.h>

#include <string>

#include "profiles/ReceiverProfile.h"
#include "tx/LiveTransmitter.h"
#include "tx/TestCard.h"

namespace {

class TakingSink final : public nbtv::SampleSink {
  public:
    bool write(std::span<const std::int16_t> samples) override {
        benchmark::DoNotOptimize(samples.data());
        return true;
    }
    bool drain() override { return true; }
    void discard() override {}
};

// A new picture every frame, as from a video.
class AlternatingFeed final : public nbtv::PictureFeed {
  public:
    explicit AlternatingFeed(const nbtv::ReceiverProfile& p)
        : first_(nbtv::makeTestCard(nbtv::TestCardKind::Bars, p.pictureColumns, p.pictureLines)),
          second_(
              nbtv::makeTestCard(nbtv::TestCardKind::Detail, p.pictureColumns, p.pictureLines)) {}
    bool next(nbtv::RgbImage& picture) override {
        picture = (count_++ % 2 == 0) ? first_ : second_;
        return true;
    }

  private:
    nbtv::RgbImage first_;
    nbtv::RgbImage second_;
    int count_ = 0;
};

void BM_SendAMinute(benchmark::State& state) {
    const nbtv::ReceiverProfile& profile =
        *nbtv::findProfile(nbtv::profileNames()[static_cast<std::size_t>(state.range(0))]);
    constexpr double seconds = 60.0;
    nbtv::LiveOptions options;
    options.samples = static_cast<std::int64_t>(seconds) * profile.sampleRate;
    for (auto _ : state) {
        TakingSink sink;
        AlternatingFeed feed(profile);
        const nbtv::LiveResult result =
            nbtv::transmitLive(profile, options, feed, sink, nullptr, {});
        benchmark::DoNotOptimize(result.samples);
    }
    state.SetLabel(profile.name);
    // Time per signal second, in hundredths: the percentage of one core.
    state.counters["core_percent"] =
        benchmark::Counter(0.01 * seconds * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SendAMinute)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
