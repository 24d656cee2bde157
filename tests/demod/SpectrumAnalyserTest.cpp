#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/ReceiverSettings.h"
#include "demod/SpectrumAnalyser.h"
#include "profiles/ReceiverProfile.h"
#include "support/Signals.h"

namespace nbtv {
namespace {

double power(const BlockSpectra& s, int p, int f, int k) {
    return static_cast<double>(s.re[p][f][k]) * s.re[p][f][k] +
           static_cast<double>(s.im[p][f][k]) * s.im[p][f][k];
}

int strongestBin(const BlockSpectra& s, int p, int f) {
    int best = 1;
    for (int k = 2; k <= keptBins; ++k) {
        if (power(s, p, f, k) > power(s, p, f, best)) {
            best = k;
        }
    }
    return best;
}

struct Analysed {
    ReceiverSettings settings = entrySettings(nbtv48Profile());
    SpectrumAnalyser analyser;
    BlockSpectra spectra{};
    long position = 0;

    // Feeds `blocks` blocks of a tone at `hz` (as recorded, at the settings' block length).
    void feedTone(double hz, int blocks, double rateScale = 1.0) {
        for (int b = 0; b < blocks; ++b) {
            const int length = settings.blockLength;
            auto samples = test::tone(hz * rateScale, settings.sampleRate, position, length);
            position += length;
            analyser.analyseBlock(samples, settings, spectra);
        }
    }
};

TEST(SpectrumAnalyser, WithoutOffsetTheResampledWindowIsTheWindowAndTheFractionStaysOne) {
    Analysed a;
    a.feedTone(1000.0, 3);
    const auto& w = a.analyser.window();
    const auto& y = a.analyser.resampled();
    ASSERT_EQ(w.size(), 2u * 768u);
    ASSERT_EQ(y.size(), 2u * 768u + 1u);
    for (std::size_t i = 0; i < w.size(); ++i) {
        ASSERT_EQ(y[i], w[i]) << i;
    }
    EXPECT_EQ(y.back(), 0.0); // beyond the window reads as silence
    EXPECT_EQ(a.settings.resampleFraction, 1.0);
}

TEST(SpectrumAnalyser, WindowHoldsPreviousAndCurrentBlockScaledToFullScale) {
    Analysed a;
    std::vector<std::int16_t> first(768, -32768);
    std::vector<std::int16_t> second(768, 16384);
    a.analyser.analyseBlock(first, a.settings, a.spectra);
    EXPECT_EQ(a.analyser.window()[0], 0.0);
    EXPECT_EQ(a.analyser.window()[768], -1.0);
    a.analyser.analyseBlock(second, a.settings, a.spectra);
    EXPECT_EQ(a.analyser.window()[767], -1.0);
    EXPECT_EQ(a.analyser.window()[768], 0.5);
}

TEST(SpectrumAnalyser, ZeroFineTuneMakesTheTransformInputPurelyImaginary) {
    Analysed a;
    a.feedTone(700.0, 2);
    const auto& y = a.analyser.resampled();
    const auto& s = a.analyser.sineProduct();
    const auto& c = a.analyser.cosineProduct();
    for (std::size_t i = 0; i < s.size(); ++i) {
        ASSERT_EQ(s[i], 0.0f);
        ASSERT_EQ(c[i], static_cast<float>(y[i]));
    }
}

TEST(SpectrumAnalyser, ToneAtABinCentreLandsInThatBinWithAndWithoutFineTune) {
    const double spacing = 11025.0 / 256.0;
    for (float fineTune : {0.0f, 5.0f, -7.4f}) {
        Analysed a;
        a.settings.fineTuneHz = fineTune;
        a.feedTone(20 * spacing - fineTune, 3);
        for (int p = 0; p < analysisPasses; ++p) {
            for (int f = 0; f < framesPerPass; ++f) {
                EXPECT_EQ(strongestBin(a.spectra, p, f), 20) << fineTune << " " << p << " " << f;
            }
        }
    }
}

TEST(SpectrumAnalyser, NegativeFineTuneMovesEveryToneDownByWholeBins) {
    const double spacing = 11025.0 / 256.0;
    Analysed a;
    a.settings.fineTuneHz = static_cast<float>(-3 * spacing); // phase runs far below -2 pi
    a.feedTone(40 * spacing, 3);
    for (int f = 0; f < framesPerPass; ++f) {
        EXPECT_EQ(strongestBin(a.spectra, 0, f), 37);
        EXPECT_EQ(strongestBin(a.spectra, 2, f), 37);
    }
}

TEST(SpectrumAnalyser, FirstBlockLeavesTheFramesBeforeTheCurrentBlockEmpty) {
    Analysed a;
    a.feedTone(1000.0, 1);
    auto energy = [&](int p, int f) {
        double e = 0;
        for (int k = 1; k <= keptBins; ++k) {
            e += power(a.spectra, p, f, k);
        }
        return e;
    };
    for (int f = 0; f <= 2; ++f) {
        EXPECT_EQ(energy(0, f), 0.0) << f;
    }
    for (int p = 1; p <= 2; ++p) {
        EXPECT_EQ(energy(p, 0), 0.0);
        EXPECT_EQ(energy(p, 1), 0.0);
        EXPECT_GT(energy(p, 2), 0.0); // reaches into the current block
    }
    EXPECT_GT(energy(0, 3), 0.0);
}

TEST(SpectrumAnalyser, CalibratedBlockLengthsCoverAllFramesAndCorrectTheRate) {
    // A card recording slow (fast) by 2 % delivers fewer (more) samples and higher (lower)
    // apparent frequencies; the calibration maps the tone back to its bin centre.
    const double spacing = 11025.0 / 256.0;
    for (double offset : {0.02, -0.02, 0.005}) {
        Analysed a;
        a.settings.sampleRateOffset = offset;
        a.settings.blockLength = calibratedBlockLength(offset);
        if (offset == 0.02) {
            EXPECT_EQ(a.settings.blockLength, 752);
        }
        if (offset == -0.02) {
            EXPECT_EQ(a.settings.blockLength, 783);
        }
        a.feedTone(30 * spacing, 4, 1.0 / (1.0 - offset));
        ASSERT_GE(a.analyser.resampled().size(), std::size_t{SpectrumAnalyser::framedLength});
        EXPECT_GE(a.settings.resampleFraction, 0.0);
        EXPECT_LE(a.settings.resampleFraction, 1.0);
        for (int p = 0; p < analysisPasses; ++p) {
            for (int f = 1; f < framesPerPass; ++f) {
                const double r0 = a.spectra.re[p][f - 1][30], i0 = a.spectra.im[p][f - 1][30];
                const double r1 = a.spectra.re[p][f][30], i1 = a.spectra.im[p][f][30];
                const double d = (i0 * r1 - r0 * i1) / (i1 * i1 + r1 * r1);
                EXPECT_NEAR(d, 0.0, 0.02) << offset;
            }
        }
    }
}

TEST(SpectrumAnalyser, FastPathGivesExactlyTheLiteralSpectra) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> sample(-20000, 20000);
    for (double offset : {0.0, 0.013, -0.0071}) {
        ReceiverSettings fastSettings = entrySettings(nbtv48Profile());
        fastSettings.fineTuneHz = 1.7f;
        fastSettings.sampleRateOffset = offset;
        fastSettings.blockLength = calibratedBlockLength(offset);
        ReceiverSettings literalSettings = fastSettings;
        SpectrumAnalyser fast;
        SpectrumAnalyser literal;
        literal.setLiteral(true);
        BlockSpectra a{};
        BlockSpectra b{};
        for (int block = 0; block < 5; ++block) {
            if (block == 3) {
                fastSettings.fineTuneHz = literalSettings.fineTuneHz = -250.5f;
            }
            std::vector<std::int16_t> samples(static_cast<std::size_t>(fastSettings.blockLength));
            for (auto& s : samples) {
                s = static_cast<std::int16_t>(sample(random));
            }
            fast.analyseBlock(samples, fastSettings, a);
            literal.analyseBlock(samples, literalSettings, b);
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << offset << " block " << block;
            ASSERT_EQ(fastSettings.resampleFraction, literalSettings.resampleFraction);
        }
    }
}

TEST(Fft256, MatchesADirectTransformWithPositiveExponentInBitReversedOrder) {
    Fft256 fft;
    float re[256];
    float im[256];
    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (int m = 0; m < 256; ++m) {
        re[m] = value(random);
        im[m] = value(random);
    }
    float inRe[256];
    float inIm[256];
    std::memcpy(inRe, re, sizeof re);
    std::memcpy(inIm, im, sizeof im);
    fft.transform(re, im);
    const double pi = 3.14159265358979323846;
    for (int k : {0, 1, 5, 34, 127, 128, 200, 255}) {
        double sr = 0;
        double si = 0;
        for (int m = 0; m < 256; ++m) {
            const double angle = 2 * pi * m * k / 256.0;
            sr += inRe[m] * std::cos(angle) - inIm[m] * std::sin(angle);
            si += inRe[m] * std::sin(angle) + inIm[m] * std::cos(angle);
        }
        EXPECT_NEAR(re[fft.position(k)], sr, 1e-3) << k;
        EXPECT_NEAR(im[fft.position(k)], si, 1e-3) << k;
    }
    EXPECT_EQ(fft.position(1), 128);
    EXPECT_EQ(fft.position(3), 192);
    EXPECT_EQ(fft.position(255), 255);
}

TEST(Fft256, TwelveSideBySideAreBitForBitTheSingleTransformAtEveryRegisterWidth) {
    Fft256 fft;
    constexpr int n = Fft256::size;
    constexpr int stride = Fft256::laneStride;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<float> re(n * stride);
    std::vector<float> im(n * stride);
    for (int m = 0; m < n; ++m) {
        for (int lane = 0; lane < Fft256::twelveLanes; ++lane) {
            // Lane 0 is silence, lane 1 silence with negative zeros: signs of zero survive too.
            const bool silent = lane < 2;
            re[m * stride + lane] = silent ? (lane == 1 ? -0.0f : 0.0f) : value(random);
            im[m * stride + lane] = silent ? (lane == 1 ? -0.0f : 0.0f) : value(random);
        }
    }
    std::vector<Fft256::Width> widths;
    for (const Fft256::Width width :
         {Fft256::Width::Four, Fft256::Width::Eight, Fft256::Width::Sixteen}) {
        if (static_cast<int>(width) <= static_cast<int>(Fft256::widest())) {
            widths.push_back(width);
        }
    }
    for (const Fft256::Width width : widths) {
        std::vector<float> laneRe = re;
        std::vector<float> laneIm = im;
        fft.transformTwelve(laneRe.data(), laneIm.data(), width);
        for (int lane = 0; lane < Fft256::twelveLanes; ++lane) {
            float oneRe[n];
            float oneIm[n];
            for (int m = 0; m < n; ++m) {
                oneRe[m] = re[m * stride + lane];
                oneIm[m] = im[m * stride + lane];
            }
            fft.transform(oneRe, oneIm);
            for (int m = 0; m < n; ++m) {
                ASSERT_EQ(std::memcmp(&oneRe[m], &laneRe[m * stride + lane], sizeof(float)), 0)
                    << "width " << static_cast<int>(width) << " lane " << lane << " value " << m;
                ASSERT_EQ(std::memcmp(&oneIm[m], &laneIm[m * stride + lane], sizeof(float)), 0)
                    << "width " << static_cast<int>(width) << " lane " << lane << " value " << m;
            }
        }
    }
}

} // namespace
} // namespace nbtv
