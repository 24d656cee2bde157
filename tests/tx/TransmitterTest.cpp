#include "tx/Transmitter.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/Conversions.h"
#include "tx/TestCard.h"

namespace nbtv {
namespace {

using Signal = std::vector<std::int16_t>;
constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kLead = 555.0; // samples of frame 0 before the first output sample
constexpr int kColumn = 256;    // samples of one picture column

// A profile with few, widely spaced carriers at another rate and field order, so that one
// column's tones can be told apart within a fraction of that column.
ReceiverProfile sparseProfile() {
    ReceiverProfile p = nbtv48Profile();
    p.name = "sparse";
    p.sampleRate = 8000;
    p.carriers.lineBins = {8, 32, 56};
    p.carriers.pilotBin = 80;
    p.pictureColumns = 4;
    p.pictureLines = 3;
    p.fieldWidth = 12;
    p.fieldsPerFrame = 3;
    p.transmitFieldOrder = {ColourComponent::Green, ColourComponent::Blue, ColourComponent::Red};
    return p;
}

// Every component of every pixel different, 7 levels apart.
RgbImage distinctPicture(int width, int height) {
    RgbImage image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                image.pixel(x, y)[c] =
                    static_cast<std::uint8_t>(10 + 7 * (c * width * height + y * width + x));
            }
        }
    }
    return image;
}

// Hann-windowed correlation with a complex exponential referenced to the window's centre: for a
// tone near `cycles` (per sample) its argument is the tone's phase at that centre.
std::complex<double> correlate(const Signal& x, std::size_t start, int length, double cycles) {
    const double centre = 0.5 * (length - 1);
    std::complex<double> sum;
    for (int m = 0; m < length; ++m) {
        const double w = 0.5 - 0.5 * std::cos(kTwoPi * (m + 0.5) / length);
        sum += w * x[start + static_cast<std::size_t>(m)] *
               std::polar(1.0, -kTwoPi * cycles * (m - centre));
    }
    return sum;
}

struct Tone {
    double cycles = 0.0;      // per sample
    double firstPhase = 0.0;  // at the first window's centre
    double firstCentre = 0.0; // sample index
    double secondPhase = 0.0;
    double secondCentre = 0.0;
};

// The tone near `reference` (cycles per sample) from the phase it gains between two windows
// `lag` samples apart; unambiguous within 0.5 / lag cycles of the reference.
Tone measureTone(const Signal& x, std::size_t start, int length, int lag, double reference) {
    const std::complex<double> a = correlate(x, start, length, reference);
    const std::complex<double> b =
        correlate(x, start + static_cast<std::size_t>(lag), length, reference);
    const double gained = std::arg(b * std::conj(a));
    const double expected = kTwoPi * reference * lag;
    const double residual = std::remainder(gained - expected, kTwoPi);
    Tone t;
    t.cycles = reference + residual / (kTwoPi * lag);
    t.firstPhase = std::arg(a);
    t.firstCentre = static_cast<double>(start) + 0.5 * (length - 1);
    t.secondPhase = std::arg(b);
    t.secondCentre = t.firstCentre + lag;
    return t;
}

// The level a line tone carries over the middle of nominal column `column` (counted from the
// start of frame 0), read back through D = sin(2 pi e) = (L - 148) / 228.
double levelInColumn(const Signal& x, const ReceiverProfile& p, int bin, int column,
                     const ChannelImpairments& ch) {
    const double stretch = 1.0 / (1.0 - ch.rateError);
    const double columnStart = (kColumn * column - kLead) * (1.0 - ch.rateError);
    const auto start = static_cast<std::size_t>(-floorToInt(-(columnStart + 32.0)));
    const Tone t = measureTone(x, start, 128, 64, bin / 256.0 * stretch);
    const double bins = t.cycles * 256.0 / stretch - ch.frequencyOffsetHz * 256.0 / p.sampleRate;
    return 148.0 + 228.0 * std::sin(kTwoPi * (bins - bin));
}

int component(ColourComponent c) {
    return static_cast<int>(c);
}

TEST(DeviationForLevel, GivesTheDiscriminatorValueOfTheLevel) {
    EXPECT_DOUBLE_EQ(deviationForLevel(148.0), 0.0);
    double previous = -1.0;
    for (int level = 0; level <= 255; ++level) {
        const double e = deviationForLevel(level);
        EXPECT_NEAR(std::sin(kTwoPi * e), (level - 148.0) / 228.0, 1e-12) << level;
        EXPECT_GT(e, previous) << level;
        EXPECT_LT(std::abs(e), 0.25) << level; // within the bin, on the main branch
        previous = e;
    }
}

// A picture whose rows each hold one grey level, the same in every column and field, makes every
// line a steady tone that a long window measures precisely.
void expectSteadyLines(const ChannelImpairments& ch) {
    const ReceiverProfile& p = nbtv48Profile();
    RgbImage picture(p.pictureColumns, p.pictureLines);
    for (int y = 0; y < p.pictureLines; ++y) {
        for (int x = 0; x < p.pictureColumns; ++x) {
            std::fill_n(picture.pixel(x, y), 3, static_cast<std::uint8_t>(10 + 5 * y));
        }
    }
    TransmitOptions options;
    options.channel = ch;
    const Signal x = transmit(p, picture, options);
    const double stretch = 1.0 / (1.0 - ch.rateError);
    for (int y = 0; y < p.pictureLines; ++y) {
        const int bin = p.carriers.lineBins[static_cast<std::size_t>(p.pictureLines - 1 - y)];
        // A short window finds the tone near its bin centre; a long one centred on that
        // estimate, where the tone dominates its neighbours, refines it.
        const double centre = (bin / 256.0 + ch.frequencyOffsetHz / p.sampleRate) * stretch;
        const Tone coarse = measureTone(x, 1000, 1024, 64, centre);
        const Tone t = measureTone(x, 1000, 16384, 64, coarse.cycles);
        const double measuredHz = t.cycles * p.sampleRate;
        const double expectedHz =
            ((bin + deviationForLevel(10 + 5 * y)) * p.sampleRate / 256.0 + ch.frequencyOffsetHz) *
            stretch;
        EXPECT_NEAR(measuredHz, expectedHz, 0.01) << "row " << y << " bin " << bin;
    }
}

TEST(Transmitter, LineTonesCarryTheirLevelsTopRowOnTheHighestBin) {
    expectSteadyLines({});
}

TEST(Transmitter, FrequencyOffsetMovesEveryLine) {
    ChannelImpairments ch;
    ch.frequencyOffsetHz = 7.5;
    expectSteadyLines(ch);
    ch.frequencyOffsetHz = -12.25;
    expectSteadyLines(ch);
}

TEST(Transmitter, RateErrorScalesEveryFrequency) {
    ChannelImpairments ch;
    ch.rateError = 0.01;
    expectSteadyLines(ch);
    ch.rateError = -0.004;
    ch.frequencyOffsetHz = 3.0;
    expectSteadyLines(ch);
}

// Reads every column of two frames back and checks which pixel it carries: columns right to
// left, fields in the profile's order, frames repeating.
void expectColumnOrder(const ChannelImpairments& ch, int frames) {
    const ReceiverProfile p = sparseProfile();
    const RgbImage picture = distinctPicture(p.pictureColumns, p.pictureLines);
    TransmitOptions options;
    options.frames = frames;
    options.channel = ch;
    const Signal x = transmit(p, picture, options);
    const int frameColumns = p.fieldsPerFrame * p.pictureColumns;
    // Column 3 is the first one whose middle is in the output.
    for (int column = 3; column < frames * frameColumns; ++column) {
        const int inFrame = column % frameColumns;
        const ColourComponent colour =
            p.transmitFieldOrder[static_cast<std::size_t>(inFrame / p.pictureColumns)];
        const int px = p.pictureColumns - 1 - inFrame % p.pictureColumns;
        for (int line = 0; line < p.pictureLines; ++line) {
            const int py = p.pictureLines - 1 - line;
            const int expected = picture.pixel(px, py)[component(colour)];
            const int bin = p.carriers.lineBins[static_cast<std::size_t>(line)];
            EXPECT_NEAR(levelInColumn(x, p, bin, column, ch), expected, 1.0)
                << "column " << column << " bin " << bin;
        }
    }
}

TEST(Transmitter, ColumnsGoRightToLeftAndFieldsFollowTheProfile) {
    expectColumnOrder({}, 2);
}

TEST(Transmitter, RateErrorStretchesTheColumnClock) {
    ChannelImpairments ch;
    ch.rateError = 0.02;
    expectColumnOrder(ch, 3);
    ch.rateError = -0.02;
    ch.frequencyOffsetHz = 4.0;
    expectColumnOrder(ch, 3);
}

TEST(Transmitter, MonoSendsOneFieldOfLuminance) {
    const ReceiverProfile p = sparseProfile();
    RgbImage picture(p.pictureColumns, p.pictureLines);
    for (int y = 0; y < p.pictureLines; ++y) {
        for (int x = 0; x < p.pictureColumns; ++x) {
            std::uint8_t* px = picture.pixel(x, y);
            px[0] = static_cast<std::uint8_t>(40 * x + 30);
            px[1] = static_cast<std::uint8_t>(60 * y + 20);
            px[2] = static_cast<std::uint8_t>(255 - 50 * x);
        }
    }
    TransmitOptions options;
    options.mono = true;
    options.frames = 2;
    const Signal x = transmit(p, picture, options);
    for (int column = 3; column < 10; ++column) {
        const int px = p.pictureColumns - 1 - column % p.pictureColumns;
        for (int line = 0; line < p.pictureLines; ++line) {
            const std::uint8_t* rgb = picture.pixel(px, p.pictureLines - 1 - line);
            const int luminance = roundHalfEven(0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2]);
            const int bin = p.carriers.lineBins[static_cast<std::size_t>(line)];
            EXPECT_NEAR(levelInColumn(x, p, bin, column, {}), luminance, 1.0)
                << "column " << column << " bin " << bin;
        }
    }
}

TEST(Transmitter, PilotSwingsSinusoidallyAboutItsBin) {
    const ReceiverProfile p = sparseProfile();
    const RgbImage picture = distinctPicture(p.pictureColumns, p.pictureLines);
    for (const double rateError : {0.0, 0.02}) {
        TransmitOptions options;
        options.frames = 2;
        options.channel.frequencyOffsetHz = 5.0;
        options.channel.rateError = rateError;
        const Signal x = transmit(p, picture, options);
        const double stretch = 1.0 / (1.0 - rateError);
        const double offsetBins = 5.0 * 256.0 / p.sampleRate;
        double lowest = 1.0;
        double highest = -1.0;
        for (std::size_t start = 0; start + 160 <= x.size(); start += 61) {
            const Tone t = measureTone(x, start, 128, 32, p.carriers.pilotBin / 256.0 * stretch);
            const double swing = t.cycles * 256.0 / stretch - p.carriers.pilotBin - offsetBins;
            // The phase gained between the window centres is the mean frequency between them.
            const double nominalTime = kLead + 0.5 * (t.firstCentre + t.secondCentre) * stretch;
            const double expected =
                std::asin(0.5 * std::sin(kTwoPi * nominalTime / 2457.6)) / kTwoPi;
            EXPECT_NEAR(swing, expected, 0.001) << "window at " << start;
            lowest = std::min(lowest, swing);
            highest = std::max(highest, swing);
        }
        // A peak discriminator value of 0.5 is a deviation of asin(0.5) / (2 pi) = 1/12 bin.
        EXPECT_NEAR(highest, 1.0 / 12.0, 0.004);
        EXPECT_NEAR(lowest, -1.0 / 12.0, 0.004);
    }
}

// Also where a moving picture changes at the frame boundary (after column 11).
TEST(Transmitter, PhaseIsContinuousAcrossColumnsAndPictureChanges) {
    const ReceiverProfile p = sparseProfile();
    const RgbImage picture = distinctPicture(p.pictureColumns, p.pictureLines);
    RgbImage next = picture;
    for (std::uint8_t& v : next.rgb) {
        v = static_cast<std::uint8_t>(255 - v);
    }
    TransmitOptions options;
    options.frames = 2;
    const Signal x = transmitSequence(p, {picture, next}, options);
    for (int column = 3; column < 19; ++column) {
        const auto boundary =
            static_cast<std::size_t>(roundHalfEven(kColumn * (column + 1) - kLead));
        for (int bin : p.carriers.lineBins) {
            // Extrapolate the phase to the boundary from each side.
            const Tone before = measureTone(x, boundary - 224, 128, 64, bin / 256.0);
            const Tone after = measureTone(x, boundary + 32, 128, 64, bin / 256.0);
            const double fromBefore =
                before.secondPhase +
                kTwoPi * before.cycles * (static_cast<double>(boundary) - before.secondCentre);
            const double fromAfter =
                after.firstPhase -
                kTwoPi * after.cycles * (after.firstCentre - static_cast<double>(boundary));
            EXPECT_NEAR(std::remainder(fromAfter - fromBefore, kTwoPi), 0.0, 0.005)
                << "boundary after column " << column << " bin " << bin;
            // The levels on both sides differ, so this boundary is a real frequency step.
            EXPECT_GT(std::abs(after.cycles - before.cycles) * 256.0, 0.003);
        }
    }
}

TEST(Transmitter, LengthFollowsFramesModeAndRateError) {
    const ReceiverProfile& p = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    const auto length = [&](int frames, bool mono, double rateError) {
        TransmitOptions options;
        options.frames = frames;
        options.mono = mono;
        options.channel.rateError = rateError;
        return transmit(p, card, options).size();
    };
    // 3 fields x 48 columns x 256 samples = 36864 samples a colour frame.
    EXPECT_EQ(length(1, false, 0.0), 36864u);
    EXPECT_EQ(length(3, false, 0.0), 110592u);
    EXPECT_EQ(length(2, true, 0.0), 24576u);
    EXPECT_EQ(length(2, false, 0.01), 72991u);  // ceil(73728 * 0.99 = 72990.72)
    EXPECT_EQ(length(2, false, -0.01), 74466u); // ceil(73728 * 1.01 = 74465.28)
    EXPECT_EQ(length(1, false, 0.25), 27648u);  // exactly 36864 * 0.75
    EXPECT_EQ(length(1, true, 0.1), 11060u);    // ceil(12288 * 0.9 = 11059.2)
}

// The noise in `noisy` against the same signal without noise: the two are scaled differently
// to 90 % of full scale, so the clean part is found by least squares.
struct NoiseEstimate {
    double snrDb = 0.0;
    std::vector<double> residual;
};

NoiseEstimate estimateNoise(const Signal& clean, const Signal& noisy) {
    double cross = 0.0;
    double cleanPower = 0.0;
    for (std::size_t n = 0; n < clean.size(); ++n) {
        cross += static_cast<double>(clean[n]) * noisy[n];
        cleanPower += static_cast<double>(clean[n]) * clean[n];
    }
    const double gain = cross / cleanPower;
    NoiseEstimate e;
    double noisePower = 0.0;
    for (std::size_t n = 0; n < clean.size(); ++n) {
        e.residual.push_back(noisy[n] - gain * clean[n]);
        noisePower += e.residual.back() * e.residual.back();
    }
    e.snrDb = 10.0 * std::log10(gain * gain * cleanPower / noisePower);
    return e;
}

TEST(Transmitter, MeasuredSnrMatchesTheRequestedOne) {
    const ReceiverProfile& p = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    // Three frames hold the estimate's own scatter to a few hundredths of a decibel.
    TransmitOptions cleanOptions;
    cleanOptions.frames = 3;
    const Signal clean = transmit(p, card, cleanOptions);
    for (const double snr : {0.0, 10.0, 40.0}) {
        TransmitOptions options = cleanOptions;
        options.channel.snrDb = snr;
        options.channel.seed = 7;
        const Signal noisy = transmit(p, card, options);
        ASSERT_EQ(noisy.size(), clean.size());
        EXPECT_NEAR(estimateNoise(clean, noisy).snrDb, snr, 0.15);
    }
}

TEST(Transmitter, NoiseIsWhiteAndGaussian) {
    const ReceiverProfile& p = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Detail, 48, 48);
    TransmitOptions cleanOptions;
    cleanOptions.frames = 3;
    TransmitOptions options = cleanOptions;
    options.channel.snrDb = 0.0;
    const NoiseEstimate e =
        estimateNoise(transmit(p, card, cleanOptions), transmit(p, card, options));
    const auto count = static_cast<double>(e.residual.size());
    double mean = 0.0;
    for (double v : e.residual) {
        mean += v;
    }
    mean /= count;
    double m2 = 0.0;
    double m4 = 0.0;
    double lag1 = 0.0;
    for (std::size_t n = 0; n < e.residual.size(); ++n) {
        const double d = e.residual[n] - mean;
        m2 += d * d;
        m4 += d * d * d * d;
        if (n > 0) {
            lag1 += d * (e.residual[n - 1] - mean);
        }
    }
    const double sigma = std::sqrt(m2 / count);
    // Bounds at about six standard errors of each estimate for this many samples.
    EXPECT_LT(std::abs(mean), 6.0 * sigma / std::sqrt(count));
    EXPECT_NEAR(m4 * count / (m2 * m2), 3.0, 0.1); // kurtosis of a Gaussian
    EXPECT_LT(std::abs(lag1 / m2), 6.0 / std::sqrt(count));
}

TEST(Transmitter, SeedGivesTheSameNoiseAndOtherSeedsOtherNoise) {
    const ReceiverProfile& p = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Ramp, 48, 48);
    TransmitOptions a;
    a.channel.snrDb = 20.0;
    a.channel.seed = 11;
    TransmitOptions b = a;
    b.channel.seed = 12;
    EXPECT_EQ(transmit(p, card, a), transmit(p, card, a));
    EXPECT_NE(transmit(p, card, a), transmit(p, card, b));
    // Without noise the seed changes nothing: the start phases do not depend on it.
    a.channel.snrDb.reset();
    b.channel.snrDb.reset();
    EXPECT_EQ(transmit(p, card, a), transmit(p, card, b));
}

TEST(Transmitter, PeakIsAboutNinetyPercentOfFullScaleWithoutClipping) {
    const ReceiverProfile& p = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Detail, 48, 48);
    for (const std::optional<double> snr :
         {std::optional<double>{}, std::optional(20.0), std::optional(-6.0)}) {
        TransmitOptions options;
        options.channel.snrDb = snr;
        const Signal x = transmit(p, card, options);
        const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
        const int peak = std::max(-static_cast<int>(*lo), static_cast<int>(*hi));
        EXPECT_GT(peak, 0.85 * 32767);
        EXPECT_LT(peak, 0.95 * 32767);
    }
}

TEST(Transmitter, StartPhasesKeepTheCrestFactorLow) {
    // Mid-grey puts every line on its bin centre, where equal start phases would line all tones
    // up once a column, with a crest factor near sqrt(2 * 49) = 9.9.
    const ReceiverProfile& p = nbtv48Profile();
    RgbImage grey(p.pictureColumns, p.pictureLines);
    std::fill(grey.rgb.begin(), grey.rgb.end(), std::uint8_t{148});
    const Signal x = transmit(p, grey, {});
    double power = 0.0;
    int peak = 0;
    for (std::int16_t s : x) {
        power += static_cast<double>(s) * s;
        peak = std::max(peak, std::abs(static_cast<int>(s)));
    }
    const double rms = std::sqrt(power / static_cast<double>(x.size()));
    EXPECT_LT(peak / rms, 5.0);
}

// The message of the std::invalid_argument that transmit throws, empty if it throws none.
std::string rejection(const ReceiverProfile& p, const RgbImage& picture,
                      const TransmitOptions& options) {
    try {
        transmit(p, picture, options);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return {};
}

TEST(Transmitter, BadArgumentsThrow) {
    const ReceiverProfile& p = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    std::vector<TransmitOptions> bad(7);
    bad[0].frames = 0;
    bad[1].frames = -2;
    bad[2].channel.rateError = 0.5;
    bad[3].channel.rateError = -0.5;
    bad[4].channel.rateError = std::numeric_limits<double>::quiet_NaN();
    bad[5].channel.snrDb = std::numeric_limits<double>::infinity();
    bad[6].channel.frequencyOffsetHz = 4000.0; // folds back past the Nyquist frequency
    bad.push_back({});
    bad.back().channel.passband = Passband{2700.0, 300.0};
    bad.push_back({});
    bad.back().channel.interferer = Interferer{6000.0, 0.0, false}; // above the Nyquist frequency
    bad.push_back({});
    bad.back().channel.driftHzPerMinute = std::numeric_limits<double>::quiet_NaN();
    bad.push_back({});
    bad.back().channel.crashesPerSecond = -1.0;
    bad.push_back({});
    bad.back().channel.fading = Fading{Fading::Kind::TwoPath, -1.0, 0.5};
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_NE(rejection(p, card, bad[i]), "") << "case " << i;
    }
    EXPECT_NE(rejection(p, card, bad[0]).find("frames"), std::string::npos);

    EXPECT_NE(rejection(p, makeTestCard(TestCardKind::Bars, 47, 48), {}), "");
    EXPECT_NE(rejection(p, makeTestCard(TestCardKind::Bars, 48, 72), {}), "");
    RgbImage truncated = card;
    truncated.rgb.erase(truncated.rgb.end() - 3, truncated.rgb.end());
    EXPECT_NE(rejection(p, truncated, {}), "");
    ReceiverProfile missingLine = p;
    missingLine.carriers.lineBins.pop_back();
    EXPECT_NE(rejection(missingLine, card, {}), "");
}

// The receiver's passband keeps the band and takes away what lies an octave outside it; its
// AGC then brings a weak stretch and a strong one to the same level.
TEST(Channel, PassbandAndAgcShapeTheRecording) {
    constexpr double rate = 11025.0;
    auto tone = [&](double hz, double amplitude, std::size_t n) {
        std::vector<double> x(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = amplitude * std::sin(kTwoPi * hz * static_cast<double>(i) / rate);
        }
        return x;
    };
    auto rms = [](const std::vector<double>& x, std::size_t from, std::size_t to) {
        double sum = 0.0;
        for (std::size_t i = from; i < to; ++i) {
            sum += x[i] * x[i];
        }
        return std::sqrt(sum / static_cast<double>(to - from));
    };
    ChannelImpairments band;
    band.passband = Passband{300.0, 2700.0};
    auto gainDb = [&](double hz) {
        std::vector<double> x = tone(hz, 1.0, 22050);
        applyChannel(x, rate, band);
        return 20.0 * std::log10(rms(x, 11025, 22050) / std::sqrt(0.5));
    };
    EXPECT_NEAR(gainDb(1000.0), 0.0, 0.2);
    EXPECT_NEAR(gainDb(150.0), -24.1, 1.0); // an octave below: 4 x 6 dB
    EXPECT_LT(gainDb(4200.0), -15.0);
    std::vector<double> x = tone(1000.0, 0.05, 22050);
    const std::vector<double> loud = tone(1000.0, 2.0, 22050);
    x.insert(x.end(), loud.begin(), loud.end());
    ChannelImpairments agc;
    agc.agc = true;
    applyChannel(x, rate, agc);
    EXPECT_NEAR(rms(x, 11025, 22050), std::sqrt(0.5), 0.05);
    EXPECT_NEAR(rms(x, 33075, 44100), std::sqrt(0.5), 0.05);
}

// The short-wave path's steps: the oscillator moves a tone by exactly the drift and wobble asked
// for; the interferer has the asked-for level; crashes come at the asked-for rate; fading keeps
// the mean power and makes it wander; the seed repeats every step and a new seed changes it.
TEST(Channel, ShortWaveStepsDoWhatTheySay) {
    constexpr double rate = 8000.0;
    const auto tone = [&](double hz, std::size_t n) {
        std::vector<double> x(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = std::sin(kTwoPi * hz * static_cast<double>(i) / rate);
        }
        return x;
    };
    // Mean frequency over [from, to) from the first and last rising zero crossings.
    const auto frequency = [&](const std::vector<double>& x, std::size_t from, std::size_t to) {
        double first = -1.0;
        double last = -1.0;
        int crossings = 0;
        for (std::size_t i = from + 1; i < to; ++i) {
            if (x[i - 1] < 0.0 && x[i] >= 0.0) {
                const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
                first = first < 0.0 ? t : first;
                last = t;
                ++crossings;
            }
        }
        return (crossings - 1) * rate / (last - first);
    };
    const std::size_t second = 8000;

    ChannelImpairments drift;
    drift.driftHzPerMinute = 120.0; // 2 Hz a second
    std::vector<double> x = tone(1000.0, 10 * second);
    applyChannel(x, rate, drift);
    EXPECT_NEAR(frequency(x, 0, second), 1001.0, 0.05);               // mean over the first second
    EXPECT_NEAR(frequency(x, 9 * second, 10 * second), 1019.0, 0.05); // and the last

    ChannelImpairments wobble;
    wobble.wobbleHz = 3.0;
    wobble.wobblePeriodS = 4.0;
    x = tone(1000.0, 4 * second);
    applyChannel(x, rate, wobble);
    EXPECT_NEAR(frequency(x, 0, 2 * second), 1000.0 + 6.0 / std::numbers::pi, 0.05);
    EXPECT_NEAR(frequency(x, 2 * second, 4 * second), 1000.0 - 6.0 / std::numbers::pi, 0.05);

    // An interferer 6 dB below a 1000 Hz tone, measured at its own frequency.
    const auto powerAt = [&](const std::vector<double>& y, double hz) {
        double re = 0.0;
        double im = 0.0;
        for (std::size_t i = 0; i < y.size(); ++i) {
            re += y[i] * std::cos(kTwoPi * hz * static_cast<double>(i) / rate);
            im += y[i] * std::sin(kTwoPi * hz * static_cast<double>(i) / rate);
        }
        return 2.0 * (re * re + im * im) / static_cast<double>(y.size() * y.size());
    };
    ChannelImpairments carrier;
    carrier.interferer = Interferer{1310.0, -6.0, false};
    x = tone(1000.0, 2 * second);
    applyChannel(x, rate, carrier);
    EXPECT_NEAR(10.0 * std::log10(powerAt(x, 1310.0) / powerAt(x, 1000.0)), -6.0, 0.2);
    carrier.interferer->keyed = true;
    x = tone(1000.0, 20 * second);
    applyChannel(x, rate, carrier);
    const double keyedDb = 10.0 * std::log10(powerAt(x, 1310.0) / powerAt(x, 1000.0));
    EXPECT_LT(keyedDb, -7.0); // keyed part of the time
    EXPECT_GT(keyedDb, -14.0);

    // Crashes: bursts far above the signal, about as many as asked for.
    ChannelImpairments crashes;
    crashes.crashesPerSecond = 2.0;
    x = tone(1000.0, 60 * second);
    applyChannel(x, rate, crashes);
    int bursts = 0;
    for (std::size_t i = 0; i < x.size();) {
        if (std::abs(x[i]) > 3.0) {
            ++bursts;
            i += second / 20; // one burst lasts well under 50 ms
        } else {
            ++i;
        }
    }
    EXPECT_GT(bursts, 80);
    EXPECT_LT(bursts, 150);

    // Fading: the power of 100 ms stretches wanders over more than 10 dB, its mean stays near one.
    for (const Fading::Kind kind : {Fading::Kind::Flat, Fading::Kind::TwoPath}) {
        ChannelImpairments fading;
        fading.fading = Fading{kind, 1.0, 0.5};
        x = tone(1000.0, 120 * second);
        applyChannel(x, rate, fading);
        double lowest = 1e9;
        double highest = 0.0;
        double mean = 0.0;
        const std::size_t piece = second / 10;
        for (std::size_t i = 0; i + piece <= x.size(); i += piece) {
            double power = 0.0;
            for (std::size_t k = i; k < i + piece; ++k) {
                power += 2.0 * x[k] * x[k] / static_cast<double>(piece);
            }
            lowest = std::min(lowest, power);
            highest = std::max(highest, power);
            mean += power * static_cast<double>(piece) / static_cast<double>(x.size());
        }
        EXPECT_GT(10.0 * std::log10(highest / lowest), 10.0);
        EXPECT_NEAR(mean, 1.0, 0.5);
    }

    ChannelImpairments all;
    all.fading = Fading{};
    all.interferer = Interferer{1310.0, -6.0, true};
    all.driftHzPerMinute = 2.0;
    all.crashesPerSecond = 0.5;
    all.snrDb = 20.0;
    std::vector<double> a = tone(1000.0, 5 * second);
    std::vector<double> b = a;
    std::vector<double> c = a;
    applyChannel(a, rate, all);
    applyChannel(b, rate, all);
    all.seed = 2;
    applyChannel(c, rate, all);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);

    // A signal that comes a block at a time, cut anywhere, gets the same samples as the whole:
    // every step carries its state across (the second path's delay, the Hilbert filter's and
    // the key's edges, bursts that straddle a cut, the filter, the AGC's settling).
    all.seed = 1;
    all.passband = Passband{};
    all.agc = true;
    all.crashesPerSecond = 20.0;
    for (const Fading::Kind kind : {Fading::Kind::Flat, Fading::Kind::TwoPath}) {
        all.fading->kind = kind;
        std::vector<double> whole = tone(1000.0, 3 * second);
        const std::vector<double> sent = whole;
        applyChannel(whole, rate, all);
        double power = 0.0;
        for (double s : sent) {
            power += s * s;
        }
        power /= static_cast<double>(sent.size());
        ChannelStream stream(rate, all, power, sent.size());
        std::vector<double> pieces;
        const std::size_t cuts[] = {1, 5, 40, 300, 777, 5000};
        for (std::size_t at = 0, k = 0; at < sent.size(); ++k) {
            const std::size_t n = std::min(cuts[k % std::size(cuts)], sent.size() - at);
            stream.push(std::span(sent).subspan(at, n), pieces);
            at += n;
        }
        stream.finish(pieces);
        EXPECT_EQ(pieces, whole);
    }
}

// ---- nbtv96rggb

// The level of a tone that is steady over a long stretch starting at `start`.
double steadyLevel(const Signal& x, std::size_t start, int bin) {
    const Tone coarse = measureTone(x, start, 1024, 64, bin / 256.0);
    const Tone t = measureTone(x, start, 16384, 64, coarse.cycles);
    return 148.0 + 228.0 * std::sin(kTwoPi * (t.cycles * 256.0 - bin));
}

TEST(RggbTransmitter, RedAndBlueFieldSendsPairMeansThenGreenFieldEveryLine) {
    const ReceiverProfile& p = nbtv96rggbProfile();
    RgbImage picture(p.pictureColumns, p.pictureLines);
    for (int y = 0; y < p.pictureLines; ++y) {
        for (int x = 0; x < p.pictureColumns; ++x) {
            std::uint8_t* px = picture.pixel(x, y);
            px[0] = static_cast<std::uint8_t>(30 + 2 * y);  // pair means 31, 35, ...
            px[1] = static_cast<std::uint8_t>(250 - 3 * y); // green differs on every line
            px[2] = static_cast<std::uint8_t>(200 - 2 * y);
        }
    }
    const Signal x = transmit(p, picture, {});
    ASSERT_EQ(x.size(), 2u * 96u * 256u);
    const std::size_t redBlueField = 1000;         // field 0 ends at 96 x 256 - 555
    const std::size_t greenField = 96 * 256 + 500; // field 1
    for (int bin = 10; bin <= 81; ++bin) {
        const int y = 81 - bin;
        // Bin 80 (even, line 1) and bin 81 (odd, line 0) share the red and blue of lines 0, 1.
        const double expected = bin % 2 == 0 ? 30 + 2 * y - 1 : 200 - 2 * y - 1;
        EXPECT_NEAR(steadyLevel(x, redBlueField, bin), expected, 1.0) << "bin " << bin;
        EXPECT_NEAR(steadyLevel(x, greenField, bin), 250 - 3 * y, 1.0) << "bin " << bin;
    }
    // Bin 82 repeats the top line: its red (an even bin) and its green.
    EXPECT_NEAR(steadyLevel(x, redBlueField, 82), 30, 1.0);
    EXPECT_NEAR(steadyLevel(x, greenField, 82), 250, 1.0);
}

TEST(RggbTransmitter, BothPilotsSwingInPhase) {
    // Lines far from the pilots, so a short window hears each pilot alone.
    ReceiverProfile p = nbtv96rggbProfile();
    p.carriers.lineBins = {40, 41};
    p.carriers.topCopyBin = 0;
    p.pictureLines = 2;
    p.pictureColumns = 4;
    const Signal x = transmit(p, makeTestCard(TestCardKind::Ramp, 4, 2), {});
    for (int pilot : {9, 83}) {
        for (std::size_t start = 0; start + 160 <= x.size(); start += 97) {
            const Tone t = measureTone(x, start, 128, 32, pilot / 256.0);
            const double time = kLead + 0.5 * (t.firstCentre + t.secondCentre);
            const double expected = std::asin(0.5 * std::sin(kTwoPi * time / 2457.6)) / kTwoPi;
            EXPECT_NEAR(t.cycles * 256.0 - pilot, expected, 0.001) << pilot << " at " << start;
        }
    }
}

TEST(RggbTransmitter, SendsColourOnlyAndLinesInPairs) {
    const ReceiverProfile& p = nbtv96rggbProfile();
    const RgbImage card = makeTestCard(TestCardKind::Bars, 96, 72);
    TransmitOptions mono;
    mono.mono = true;
    EXPECT_NE(rejection(p, card, mono).find("colour only"), std::string::npos);
    ReceiverProfile unpaired = p;
    unpaired.carriers.lineBins.push_back(82); // 73 lines: 82 pairs with the pilot
    unpaired.carriers.topCopyBin = 0;
    unpaired.pictureLines = 73;
    EXPECT_NE(rejection(unpaired, makeTestCard(TestCardKind::Bars, 96, 73), {}).find("partner"),
              std::string::npos);
    EXPECT_EQ(rejection(p, card, {}), "");
}

} // namespace
} // namespace nbtv
