#include "enhance/Interferer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

#include "core/Conversions.h"
#include "core/Fourier.h"

namespace nbtv {

namespace {

using Complex = std::complex<double>;
constexpr double twoPi = 2.0 * std::numbers::pi;

// A segment shorter than this is not searched.
constexpr std::size_t minimumSamples = 4096;
// A tone is narrow where its peak in the long spectrum stands this many times above the median
// of the spectrum within a bin either side (a carrier that the picture moves spreads over half a
// bin); it is foreign where it lies more than `offGrid` bins from every carrier (they wander at
// most a quarter of a bin) with at least `weakShare` of a carrier's power, or anywhere with more
// than `strongShare` of it (a tone on a carrier's place that strong is no picture).
constexpr double narrowFactor = 30.0;
constexpr double offGrid = 0.3;
constexpr double weakShare = 0.1;
constexpr double strongShare = 4.0;
constexpr int maxTones = 2;
constexpr int maxExamined = 8; // peaks looked at closely
// Keying: the envelope, seen through a running mean this long (seconds), is taken as keyed when
// this share of the segment lies below half of its level; elements shorter than `shortest` are
// noise; each edge is found from the envelope within `edgeReach` of it and drawn as a raised
// cosine `edgeLength` long (a keyer's shaping filter).
constexpr double keyingSmoothing = 0.010;
constexpr double keyedShare = 0.1;
constexpr double shortest = 0.015;
constexpr double edgeReach = 0.025;
constexpr double edgeLength = 0.005;

double hann(std::size_t n, std::size_t count) {
    return 0.5 -
           0.5 * std::cos(twoPi * (static_cast<double>(n) + 0.5) / static_cast<double>(count));
}

// Sums over the samples of w(n) x(n) e^(-2 pi i f n) at three frequencies, with the window w
// (one value a sample): the three run side by side, each with the same steps as alone.
std::array<Complex, 3> transformAt(std::span<const float> x, std::array<double, 3> f,
                                   std::span<const double> window) {
    std::array<Complex, 3> sum = {0.0, 0.0, 0.0};
    std::array<Complex, 3> phasor = {1.0, 1.0, 1.0};
    std::array<Complex, 3> step;
    for (std::size_t i = 0; i < 3; ++i) {
        step[i] = std::polar(1.0, -twoPi * f[i]);
    }
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double wx = window[n] * static_cast<double>(x[n]);
        for (std::size_t i = 0; i < 3; ++i) {
            sum[i] += wx * phasor[i];
            phasor[i] *= step[i];
        }
        if ((n & 1023) == 1023) {
            for (std::size_t i = 0; i < 3; ++i) {
                phasor[i] /= std::abs(phasor[i]);
            }
        }
    }
    return sum;
}

// The samples moved down by f: x(n) e^(-2 pi i f n).
std::vector<Complex> demodulate(std::span<const float> x, double f) {
    std::vector<Complex> z(x.size());
    Complex phasor = 1.0;
    const Complex step = std::polar(1.0, -twoPi * f);
    for (std::size_t n = 0; n < x.size(); ++n) {
        z[n] = static_cast<double>(x[n]) * phasor;
        phasor *= step;
        if ((n & 1023) == 1023) {
            phasor /= std::abs(phasor);
        }
    }
    return z;
}

// The raised-cosine edge from 0 to 1 at u from 0 to 1 (a step through a Hann-shaped filter).
double edge(double u) {
    if (u <= 0.0) {
        return 0.0;
    }
    if (u >= 1.0) {
        return 1.0;
    }
    return u - std::sin(twoPi * u) / twoPi;
}

} // namespace

InterfererCanceller::InterfererCanceller(std::vector<int> carrierBins, int sampleRate)
    : bins_(std::move(carrierBins)), sampleRate_(sampleRate) {}

bool InterfererCanceller::find(std::span<const float> samples, std::span<const SlotSpan> spans) {
    tones_.clear();
    const std::size_t n = samples.size();
    if (n < minimumSamples || bins_.empty() || spans.empty()) {
        return false;
    }
    // The grid: a carrier of bin b runs at b du + dtheta cycles a sample.
    const SlotSpan* middle = &spans[spans.size() / 2];
    for (const SlotSpan& span : spans) {
        if (middle->count > 0) {
            break;
        }
        middle = &span;
    }
    const double du = middle->du;
    const double tuning = middle->dtheta;
    std::size_t size = 1;
    while (size < n) {
        size <<= 1;
    }
    const double cell = du * static_cast<double>(size); // spectrum lines a bin
    if (!(cell >= 8.0)) {
        return false;
    }
    spectrumRe_.assign(size, 0.0);
    spectrumIm_.assign(size, 0.0);
    if (window_.size() != n) {
        window_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            window_[i] = hann(i, n);
        }
    }
    double windowSquares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = window_[i];
        spectrumRe_[i] = w * static_cast<double>(samples[i]);
        windowSquares += w * w;
    }
    fftInPlace(spectrumRe_, spectrumIm_);
    const std::size_t lines = size / 2;
    power_.resize(lines);
    for (std::size_t m = 0; m < lines; ++m) {
        power_[m] = spectrumRe_[m] * spectrumRe_[m] + spectrumIm_[m] * spectrumIm_[m];
    }
    // Power of a tone (or of a stretch of lines) from the lines' sum.
    const double perPower = 2.0 / (static_cast<double>(size) * windowSquares);
    const auto line = [&](double f) { return f * static_cast<double>(size); };

    // The median of the spectrum within a bin either side, on a grid of half bins.
    const auto halfCell = static_cast<std::size_t>(std::max<std::int64_t>(1, floorToInt(cell / 2)));
    const auto reach = static_cast<std::size_t>(floorToInt(cell));
    std::vector<double> medians((lines + halfCell - 1) / halfCell);
    std::vector<double> scratch;
    for (std::size_t b = 0; b < medians.size(); ++b) {
        const std::size_t centre = b * halfCell + halfCell / 2;
        const std::size_t from = centre > reach ? centre - reach : 0;
        const std::size_t to = std::min(lines, centre + reach + 1);
        scratch.assign(power_.begin() + static_cast<std::ptrdiff_t>(from),
                       power_.begin() + static_cast<std::ptrdiff_t>(to));
        const auto mid = scratch.begin() + static_cast<std::ptrdiff_t>(scratch.size() / 2);
        std::nth_element(scratch.begin(), mid, scratch.end());
        medians[b] = *mid;
    }
    // A carrier's power: the median over the comb of the power within half a bin of each.
    std::vector<double> carrierPowers;
    std::vector<double> carrierAt;
    for (int bin : bins_) {
        const double f = bin * du + tuning;
        carrierAt.push_back(f);
        const std::int64_t from = std::max<std::int64_t>(0, floorToInt(line(f - 0.5 * du)));
        const std::int64_t to = std::min<std::int64_t>(static_cast<std::int64_t>(lines),
                                                       floorToInt(line(f + 0.5 * du)));
        double sum = 0.0;
        for (std::int64_t m = from; m < to; ++m) {
            sum += power_[static_cast<std::size_t>(m)];
        }
        carrierPowers.push_back(sum * perPower);
    }
    const auto midCarrier =
        carrierPowers.begin() + static_cast<std::ptrdiff_t>(carrierPowers.size() / 2);
    std::nth_element(carrierPowers.begin(), midCarrier, carrierPowers.end());
    const double carrierPower = *midCarrier;
    if (!(carrierPower > 0.0)) {
        return false;
    }

    // Narrow peaks, strongest first.
    std::vector<std::size_t> peaks;
    for (std::size_t m = std::max<std::size_t>(reach, 2);
         m + std::max<std::size_t>(reach, 2) < lines; ++m) {
        const double p = power_[m];
        if (p > power_[m - 1] && p >= power_[m + 1] && p > power_[m - 2] && p >= power_[m + 2] &&
            p > narrowFactor * medians[m / halfCell]) {
            peaks.push_back(m);
        }
    }
    std::sort(peaks.begin(), peaks.end(),
              [&](std::size_t a, std::size_t b) { return power_[a] > power_[b]; });
    // Where the carriers are, in bins from the nearest.
    const auto offGridAt = [&](double f) {
        double offset = std::numeric_limits<double>::infinity();
        for (double c : carrierAt) {
            offset = std::min(offset, std::abs(f - c) / du);
        }
        return offset;
    };
    int examined = 0;
    for (std::size_t m : peaks) {
        if (static_cast<int>(tones_.size()) >= maxTones || examined >= maxExamined) {
            break;
        }
        // A first look from the lines alone (the window's main lobe), before any finer work.
        double lobe = 0.0;
        for (std::size_t i = m - 2; i <= m + 2; ++i) {
            lobe += power_[i];
        }
        lobe *= perPower;
        const double roughOffset = offGridAt(static_cast<double>(m) / static_cast<double>(size));
        if (!(roughOffset > offGrid - 0.05 && lobe > 0.5 * weakShare * carrierPower) &&
            !(lobe > 0.5 * strongShare * carrierPower)) {
            continue;
        }
        ++examined;
        // Between the lines (the log of a Hann window's peak is nearly a parabola), then on
        // the transform itself.
        const double lm = std::log(power_[m - 1]);
        const double l0 = std::log(power_[m]);
        const double lp = std::log(power_[m + 1]);
        const double curve = lm - 2.0 * l0 + lp;
        double f = (static_cast<double>(m) + (curve < 0.0 ? 0.5 * (lm - lp) / curve : 0.0)) /
                   static_cast<double>(size);
        double h = 0.25 / static_cast<double>(n);
        for (int i = 0; i < 3; ++i) {
            const std::array<Complex, 3> at = transformAt(samples, {f - h, f, f + h}, window_);
            const double a = std::abs(at[0]);
            const double b = std::abs(at[1]);
            const double c = std::abs(at[2]);
            const double d = a - 2.0 * b + c;
            if (d < 0.0) {
                f += std::clamp(0.5 * h * (a - c) / d, -h, h);
            }
            h *= 0.25;
        }
        bool near = false;
        for (const Tone& t : tones_) {
            near = near || std::abs(t.frequency - f) < 0.5 * du;
        }
        if (near) {
            continue;
        }
        const double amplitude = 2.0 * std::abs(transformAt(samples, {f, f, f}, window_)[0]) /
                                 (0.5 * static_cast<double>(n));
        const double power = 0.5 * amplitude * amplitude;
        const double offset = offGridAt(f);
        if ((offset > offGrid && power > weakShare * carrierPower) ||
            power > strongShare * carrierPower) {
            Tone tone;
            tone.frequency = f;
            tones_.push_back(tone);
        }
    }
    if (tones_.empty()) {
        return false;
    }
    // Each estimated with those before it taken away.
    std::vector<float> rest(samples.begin(), samples.end());
    for (Tone& tone : tones_) {
        estimate(tone, rest, true);
        applyTone(tone, rest, -1.0);
    }
    return true;
}

void InterfererCanceller::refine(std::span<const float> residual) {
    std::vector<float> all(residual.begin(), residual.end());
    add(all);
    for (std::size_t i = 0; i < tones_.size(); ++i) {
        std::vector<float> one = all;
        for (std::size_t j = 0; j < tones_.size(); ++j) {
            if (j != i) {
                applyTone(tones_[j], one, -1.0);
            }
        }
        estimate(tones_[i], one, false);
    }
}

void InterfererCanceller::subtract(std::span<const float> samples, std::vector<float>& out) const {
    out.assign(samples.begin(), samples.end());
    for (const Tone& tone : tones_) {
        applyTone(tone, out, -1.0);
    }
}

void InterfererCanceller::add(std::span<float> samples) const {
    for (const Tone& tone : tones_) {
        applyTone(tone, samples, 1.0);
    }
}

void InterfererCanceller::applyTone(const Tone& tone, std::span<float> samples, double sign) {
    Complex phasor = tone.phasor;
    const Complex step = std::polar(1.0, twoPi * tone.frequency);
    const double magnitude = std::abs(tone.phasor);
    const bool keyed = tone.keyed && tone.envelope.size() == samples.size();
    for (std::size_t n = 0; n < samples.size(); ++n) {
        const double k = keyed ? static_cast<double>(tone.envelope[n]) : 1.0;
        samples[n] = static_cast<float>(samples[n] + sign * k * phasor.real());
        phasor *= step;
        if ((n & 1023) == 1023 && magnitude > 0.0) {
            phasor *= magnitude / std::abs(phasor);
        }
    }
}

// Frequency, phase, amplitude and (when keyed) envelope of `tone` from `x`, where the tone's
// frequency is known roughly; with `decide`, also whether it is keyed.
void InterfererCanceller::estimate(Tone& tone, std::span<const float> x, bool decide) const {
    const std::size_t n = x.size();
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<Complex> z = demodulate(x, tone.frequency);
        keying(tone, z, decide && pass == 0);
        if (pass == 1) {
            break;
        }
        // The frequency from the phase that the tone gains between the two halves.
        Complex halves[2] = {0.0, 0.0};
        double weights[2] = {0.0, 0.0};
        double centres[2] = {0.0, 0.0};
        for (std::size_t i = 0; i < n; ++i) {
            const double k = tone.keyed ? static_cast<double>(tone.envelope[i]) : 1.0;
            const std::size_t h = 2 * i < n ? 0 : 1;
            halves[h] += k * z[i];
            weights[h] += k * k;
            centres[h] += k * k * static_cast<double>(i);
        }
        if (weights[0] > 0.125 * static_cast<double>(n) &&
            weights[1] > 0.125 * static_cast<double>(n)) {
            const double span = centres[1] / weights[1] - centres[0] / weights[0];
            const double move = std::arg(halves[1] * std::conj(halves[0])) / (twoPi * span);
            if (std::abs(move) < 1.0 / static_cast<double>(n)) {
                tone.frequency += move;
            }
        }
    }
}

// The phasor and the envelope from the tone moved to 0 Hz (`z`); with `decide`, whether it is
// keyed: the envelope is read in phase with the tone, smoothed, cut into on and off by
// hysteresis, and each edge placed where the envelope's sum around it says.
void InterfererCanceller::keying(Tone& tone, std::span<const Complex> z, bool decide) const {
    const std::size_t n = z.size();
    Complex mean = 0.0;
    for (const Complex& v : z) {
        mean += v;
    }
    mean *= 2.0 / static_cast<double>(n);
    if (decide) {
        tone.keyed = false;
    }
    if (!decide && !tone.keyed) {
        tone.phasor = mean;
        tone.envelope.clear();
        return;
    }
    Complex phasor = decide || std::abs(tone.phasor) == 0.0 ? mean : tone.phasor;
    // The envelope in phase with the tone, and its running mean.
    std::vector<double> level(n);
    std::vector<double> sums(n + 1, 0.0);
    const auto smoothing = static_cast<std::size_t>(
        std::max<std::int64_t>(1, roundHalfEven(keyingSmoothing * sampleRate_)));
    for (int round = 0; round < 2; ++round) {
        const Complex turn = std::polar(1.0, -std::arg(phasor));
        for (std::size_t i = 0; i < n; ++i) {
            level[i] = 2.0 * (z[i] * turn).real();
            sums[i + 1] = sums[i] + level[i];
        }
        std::vector<double> smooth(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t from = i > smoothing / 2 ? i - smoothing / 2 : 0;
            const std::size_t to = std::min(n, from + smoothing);
            smooth[i] = (sums[to] - sums[from]) / static_cast<double>(to - from);
        }
        double on = std::abs(phasor);
        if (round == 0) {
            std::vector<double> sorted = smooth;
            const auto at = sorted.begin() + (n - 1) / 20 * 19;
            std::nth_element(sorted.begin(), at, sorted.end());
            on = *at;
        }
        if (!(on > 0.0)) {
            tone.keyed = false;
            tone.phasor = mean;
            return;
        }
        if (decide && round == 0) {
            std::size_t low = 0;
            for (double v : smooth) {
                low += v < 0.5 * on ? 1 : 0;
            }
            tone.keyed = static_cast<double>(low) > keyedShare * static_cast<double>(n);
            if (!tone.keyed) {
                tone.phasor = mean;
                tone.envelope.clear();
                return;
            }
        }
        // On and off with hysteresis; elements too short for keying are merged away.
        bool state = smooth[0] > 0.5 * on;
        const bool first = state;
        std::vector<std::size_t> changes;
        for (std::size_t i = 1; i < n; ++i) {
            if (state ? smooth[i] < 0.4 * on : smooth[i] > 0.6 * on) {
                state = !state;
                changes.push_back(i);
            }
        }
        const auto shortestRun =
            static_cast<std::size_t>(std::max<std::int64_t>(0, floorToInt(shortest * sampleRate_)));
        while (changes.size() >= 2) {
            std::size_t best = 0;
            std::size_t length = n;
            for (std::size_t c = 0; c + 1 < changes.size(); ++c) {
                if (changes[c + 1] - changes[c] < length) {
                    length = changes[c + 1] - changes[c];
                    best = c;
                }
            }
            if (length >= shortestRun) {
                break;
            }
            changes.erase(changes.begin() + static_cast<std::ptrdiff_t>(best),
                          changes.begin() + static_cast<std::ptrdiff_t>(best) + 2);
        }
        // Each edge's middle from the sum of the level around it: the sum over a stretch with
        // one rising edge is the on level times the part after the edge's middle.
        const double reachSamples = edgeReach * sampleRate_;
        const double edgeSamples = edgeLength * sampleRate_;
        std::vector<double> middles(changes.size());
        for (std::size_t c = 0; c < changes.size(); ++c) {
            const double p = static_cast<double>(changes[c]);
            const double before = c > 0 ? 0.5 * (p + static_cast<double>(changes[c - 1])) : 0.0;
            const double after = c + 1 < changes.size()
                                     ? 0.5 * (p + static_cast<double>(changes[c + 1]))
                                     : static_cast<double>(n);
            const bool rising = (c % 2 == 0) != first;
            // Within [from, to): the level's sum is the on level times the part after the
            // middle of a rising edge (before that of a falling one).
            const auto place = [&](double from, double to) {
                const auto a = static_cast<std::size_t>(std::max(0, floorToInt(from)));
                const auto b = std::min(n, static_cast<std::size_t>(std::max(0, floorToInt(to))));
                if (b <= a) {
                    return 0.5 * (from + to);
                }
                const double inside = (sums[b] - sums[a]) / on;
                const double middle =
                    rising ? static_cast<double>(b) - inside : static_cast<double>(a) + inside;
                return std::clamp(middle, static_cast<double>(a), static_cast<double>(b));
            };
            // Over a long stretch first, then over one just wider than the edge (the on level's
            // error counts in proportion to the stretch).
            double middle =
                place(std::max(before, p - reachSamples), std::min(after, p + reachSamples));
            for (int narrow = 0; narrow < 2; ++narrow) {
                middle = place(std::max(before, middle - edgeSamples),
                               std::min(after, middle + edgeSamples));
            }
            middles[c] = middle;
        }
        // The envelope, and the phasor that fits the samples with it best.
        const double length = edgeLength * sampleRate_;
        tone.envelope.assign(n, first ? 1.0f : 0.0f);
        bool now = first;
        std::size_t next = 0;
        for (std::size_t i = 0; i < n; ++i) {
            while (next < middles.size() &&
                   static_cast<double>(i) >= middles[next] + 0.5 * length) {
                now = !now;
                ++next;
            }
            double k = now ? 1.0 : 0.0;
            if (next < middles.size() && static_cast<double>(i) > middles[next] - 0.5 * length) {
                const double u = (static_cast<double>(i) - middles[next]) / length + 0.5;
                k = now ? 1.0 - edge(u) : edge(u);
            }
            tone.envelope[i] = static_cast<float>(k);
        }
        Complex fit = 0.0;
        double squares = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double k = tone.envelope[i];
            fit += k * z[i];
            squares += k * k;
        }
        if (!(squares > 0.0)) {
            tone.keyed = false;
            tone.phasor = mean;
            tone.envelope.clear();
            return;
        }
        phasor = 2.0 * fit / squares;
    }
    tone.phasor = phasor;
}

void fitWithoutInterferers(SegmentFit& fit, InterfererCanceller& canceller,
                           std::span<const float> samples, std::span<const SlotSpan> spans,
                           int iterations, const std::vector<bool>* crashes) {
    if (!canceller.find(samples, spans)) {
        fit.fit(samples, spans, iterations, crashes);
        return;
    }
    std::vector<float> cleaned;
    canceller.subtract(samples, cleaned);
    fit.fit(cleaned, spans, iterations, crashes);
    // What the carriers took of the first estimate's error comes back a round later: a keyed
    // carrier's edges take a second round.
    bool keyed = false;
    for (int i = 0; i < canceller.found(); ++i) {
        keyed = keyed || canceller.keyed(i);
    }
    for (int round = 0; round < (keyed ? 2 : 1); ++round) {
        const std::span<const float> residual = fit.residuals();
        if (residual.size() != samples.size()) {
            return;
        }
        canceller.refine(residual);
        canceller.subtract(samples, cleaned);
        fit.fit(cleaned, spans, iterations, crashes);
    }
}

} // namespace nbtv
