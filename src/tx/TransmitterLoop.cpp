#include "tx/TransmitterLoop.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>

#include "core/Conversions.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv {

namespace {

constexpr double offsetHz = 2.0;
constexpr double snrDb = 35.0;
constexpr std::uint64_t noiseSeed = 48;
constexpr std::size_t columnSamples = 256;
// Loops of 1 to this many frames are tried; the one whose end meets its start best wins.
constexpr int maxLoopFrames = 16;
constexpr std::size_t seamWindows = 4; // transform windows compared across a candidate seam

using Spectrum = std::array<std::complex<double>, columnSamples / 2>;

// Hann-windowed spectrum of the 256 samples at `at`, in the receiver's bins.
Spectrum spectrum(const std::vector<std::int16_t>& signal, std::size_t at) {
    static const auto twiddles = [] {
        std::array<std::complex<double>, columnSamples> t{};
        for (std::size_t k = 0; k < t.size(); ++k) {
            t[k] = std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(k) /
                                       static_cast<double>(columnSamples));
        }
        return t;
    }();
    std::array<double, columnSamples> windowed{};
    for (std::size_t n = 0; n < columnSamples; ++n) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi *
                                              (static_cast<double>(n) + 0.5) / columnSamples);
        windowed[n] = w * signal[at + n];
    }
    Spectrum out{};
    for (std::size_t bin = 0; bin < out.size(); ++bin) {
        std::complex<double> sum;
        for (std::size_t n = 0; n < columnSamples; ++n) {
            sum += windowed[n] * twiddles[(bin * n) % columnSamples];
        }
        out[bin] = sum;
    }
    return out;
}

// How badly the signal from `loopLength` on differs from its start, carrier by carrier: 0 when
// the loop closes without a seam, 2 when some carrier comes back in opposite phase. Each tone
// keeps its frequency across the seam (the loop holds whole frames), so only phases differ.
double seamMismatch(const std::vector<std::int16_t>& signal, std::size_t loopLength,
                    const std::vector<Spectrum>& start) {
    std::array<double, columnSamples / 2> difference{};
    std::array<double, columnSamples / 2> energy{};
    for (std::size_t w = 0; w < start.size(); ++w) {
        const Spectrum later = spectrum(signal, loopLength + w * columnSamples);
        for (std::size_t bin = 0; bin < later.size(); ++bin) {
            difference[bin] += std::norm(later[bin] - start[w][bin]);
            energy[bin] += 0.5 * (std::norm(later[bin]) + std::norm(start[w][bin]));
        }
    }
    // Bins far below the strongest hold only leakage and noise.
    const double strongest = *std::max_element(energy.begin(), energy.end());
    double worst = 0.0;
    for (std::size_t bin = 0; bin < energy.size(); ++bin) {
        if (energy[bin] > 0.01 * strongest) {
            worst = std::max(worst, std::sqrt(difference[bin] / energy[bin]));
        }
    }
    return worst;
}

} // namespace

std::vector<std::int16_t> transmitterLoop(const ReceiverProfile& profile) {
    const RgbImage card =
        makeTestCard(TestCardKind::Bars, profile.pictureColumns, profile.pictureLines);
    TransmitOptions options;
    options.frames = maxLoopFrames + 1;
    options.channel.frequencyOffsetHz = offsetHz;
    options.channel.snrDb = snrDb;
    options.channel.seed = noiseSeed;
    const std::vector<std::int16_t> signal = transmit(profile, card, options);
    const std::size_t frame = signal.size() / static_cast<std::size_t>(options.frames);

    // A frame is a whole number of pilot swings and columns, so a loop of whole frames repeats
    // the picture exactly; what breaks at the seam is the phase of each tone, which the
    // frequencies and the picture decide. Choose the loop length where those phases meet best.
    std::vector<Spectrum> start;
    for (std::size_t w = 0; w < seamWindows; ++w) {
        start.push_back(spectrum(signal, w * columnSamples));
    }
    std::size_t frames = 1;
    double best = INFINITY;
    for (std::size_t f = 1; f <= static_cast<std::size_t>(maxLoopFrames); ++f) {
        const double mismatch = seamMismatch(signal, f * frame, start);
        if (mismatch < best) {
            best = mismatch;
            frames = f;
        }
    }

    // The loop's first frame fades from the continuation of its last frame into its own start,
    // so the seam itself is continuous and the remaining phase step is spread over a whole frame
    // (a shift of a few hundredths of a hertz, far below what the picture shows).
    const std::size_t length = frames * frame;
    std::vector<std::int16_t> loop(signal.begin(),
                                   signal.begin() + static_cast<std::ptrdiff_t>(length));
    for (std::size_t n = 0; n < frame; ++n) {
        const double w = 0.5 - 0.5 * std::cos(std::numbers::pi * (static_cast<double>(n) + 0.5) /
                                              static_cast<double>(frame));
        const double mixed = w * signal[n] + (1.0 - w) * signal[length + n];
        loop[n] = static_cast<std::int16_t>(std::clamp(roundHalfEven(mixed), -32768, 32767));
    }
    return loop;
}

std::size_t TransmitterSource::produce(std::span<std::int16_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t count = std::min(out.size() - done, loop_.size() - position_);
        std::copy_n(loop_.begin() + static_cast<std::ptrdiff_t>(position_), count,
                    out.begin() + static_cast<std::ptrdiff_t>(done));
        done += count;
        position_ = (position_ + count) % loop_.size();
    }
    return done;
}

} // namespace nbtv
