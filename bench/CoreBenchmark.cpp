// Speed of the receive core: the work of one block for nbtv48 colour (composition amortised
// over the frame), a whole decode measured against real time, and the twelve 256-point
// transforms of a block beside FFTW's for the same twelve.

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <complex>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "demod/Fft256.h"

#include "profiles/ReceiverProfile.h"
#include "session/Receiver.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace {

// The benchmark's argument 0, 1, 2: nbtv48, nbtv96, nbtv96rggb.
const nbtv::ReceiverProfile& program(std::int64_t index) {
    return *nbtv::allProfiles().at(static_cast<std::size_t>(index));
}

std::vector<std::int16_t> signal(int frames,
                                 const nbtv::ReceiverProfile& profile = nbtv::nbtv48Profile()) {
    nbtv::TransmitOptions options;
    options.frames = frames;
    options.channel.snrDb = 30.0;
    return nbtv::transmit(profile,
                          nbtv::makeTestCard(nbtv::TestCardKind::Detail, profile.pictureColumns,
                                             profile.pictureLines),
                          options);
}

// One block of a program (0 nbtv48, 1 nbtv96, 2 nbtv96rggb) in colour, on the fast path or
// literally (the literal path only for nbtv48), with the pilot-scope histories and the monitor
// image that a window shows.
void BM_ProcessBlock(benchmark::State& state) {
    const nbtv::ReceiverProfile& profile = program(state.range(0));
    const std::vector<std::int16_t> samples = signal(2, profile);
    nbtv::Receiver receiver(profile);
    const bool literal = state.range(1) != 0;
    receiver.setLiteral(literal);
    const auto length = static_cast<std::size_t>(receiver.settings().blockLength);
    const std::size_t blocks = samples.size() / length;
    std::size_t block = 0;
    for (auto _ : state) {
        const bool complete =
            receiver.processBlock(std::span(samples).subspan(block * length, length));
        benchmark::DoNotOptimize(complete);
        block = (block + 1) % blocks;
    }
    state.SetLabel(profile.name + (literal ? " literal" : " fast"));
}
BENCHMARK(BM_ProcessBlock)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Unit(benchmark::kMicrosecond);

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

// The same input for every transform benchmark: twelve 256-point series of values in -1 .. 1.
std::vector<std::complex<float>> transformInput() {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<std::complex<float>> input(nbtv::Fft256::size * nbtv::Fft256::twelveLanes);
    for (auto& v : input) {
        v = {value(random), value(random)};
    }
    return input;
}

// The receiver's twelve transforms at a register width (0: four floats, 1: eight, 2: sixteen;
// skipped where the processor lacks the registers). Each run starts again from the input, which the
// transform replaces in place, as FFTW's below.
void BM_TwelveTransforms(benchmark::State& state) {
    const auto width = static_cast<nbtv::Fft256::Width>(state.range(0));
    if (static_cast<int>(width) > static_cast<int>(nbtv::Fft256::widest())) {
        state.SkipWithError("the processor lacks these registers");
        return;
    }
    const nbtv::Fft256 fft;
    constexpr std::size_t stride = nbtv::Fft256::laneStride;
    const std::vector<std::complex<float>> input = transformInput();
    std::vector<float> startRe(nbtv::Fft256::size * stride);
    std::vector<float> startIm(nbtv::Fft256::size * stride);
    for (std::size_t lane = 0; lane < nbtv::Fft256::twelveLanes; ++lane) {
        for (std::size_t m = 0; m < nbtv::Fft256::size; ++m) {
            startRe[m * stride + lane] = input[lane * nbtv::Fft256::size + m].real();
            startIm[m * stride + lane] = input[lane * nbtv::Fft256::size + m].imag();
        }
    }
    std::vector<float> re(startRe.size());
    std::vector<float> im(startIm.size());
    for (auto _ : state) {
        std::memcpy(re.data(), startRe.data(), re.size() * sizeof(float));
        std::memcpy(im.data(), startIm.data(), im.size() * sizeof(float));
        fft.transformTwelve(re.data(), im.data(), width);
        benchmark::DoNotOptimize(re.data());
        benchmark::DoNotOptimize(im.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(width == nbtv::Fft256::Width::Sixteen ? "own, 16 floats a register"
                   : width == nbtv::Fft256::Width::Eight ? "own, 8 floats a register"
                                                         : "own, 4 floats a register");
}
BENCHMARK(BM_TwelveTransforms)->Arg(2)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// FFTW 3 on the same twelve transforms (positive exponent, in place, planned with
// FFTW_MEASURE): the yardstick.
void BM_TwelveTransformsFftw(benchmark::State& state) {
    const std::vector<std::complex<float>> input = transformInput();
    const int n = nbtv::Fft256::size;
    const int howMany = nbtv::Fft256::twelveLanes;
    auto* data = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * input.size()));
    const fftwf_plan plan = fftwf_plan_many_dft(1, &n, howMany, data, nullptr, 1, n, data, nullptr,
                                                1, n, FFTW_BACKWARD, FFTW_MEASURE);
    for (auto _ : state) {
        std::memcpy(data, input.data(), sizeof(fftwf_complex) * input.size());
        fftwf_execute(plan);
        benchmark::DoNotOptimize(data);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(data);
    state.SetLabel("FFTW");
}
BENCHMARK(BM_TwelveTransformsFftw)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
