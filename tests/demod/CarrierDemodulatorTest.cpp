#include <gtest/gtest.h>

#include <cmath>

#include "core/ReceiverSettings.h"
#include "demod/CarrierDemodulator.h"
#include "demod/SpectrumAnalyser.h"
#include "profiles/ReceiverProfile.h"
#include "support/Signals.h"

namespace nbtv {
namespace {

// Discriminator values of bin `bin` for a steady tone `offsetBins` from its centre, taken from
// the third block so that the whole window holds the tone.
DemodulatedBlock demodulatedTone(int bin, double offsetBins, int rate = 11025) {
    ReceiverSettings settings = entrySettings(nbtv48Profile());
    settings.sampleRate = rate;
    SpectrumAnalyser analyser;
    BlockSpectra spectra{};
    for (int b = 0; b < 3; ++b) {
        auto samples = test::tone((bin + offsetBins) * rate / 256.0, rate, 768L * b, 768);
        analyser.analyseBlock(samples, settings, spectra);
    }
    DemodulatedBlock values{};
    demodulate(spectra, values);
    return values;
}

TEST(CarrierDemodulator, ToneOffCentreGivesTheSineOfItsDeviation) {
    const double pi = 3.14159265358979323846;
    struct Case {
        int bin;
        double offset;
        int rate;
    };
    for (Case c : {Case{20, 0.0, 11025}, Case{20, 0.1, 11025}, Case{45, -0.1, 11025},
                   Case{45, 0.1, 8000}, Case{58, 0.25, 11025}, Case{10, -0.07, 8000}}) {
        const DemodulatedBlock v = demodulatedTone(c.bin, c.offset, c.rate);
        const double expected = std::sin(2 * pi * c.offset);
        for (int p = 0; p < analysisPasses; ++p) {
            for (int f = 1; f < framesPerPass; ++f) {
                EXPECT_NEAR(v.d[p][f][c.bin], expected, 0.01)
                    << "bin " << c.bin << " offset " << c.offset << " pass " << p << " step " << f;
            }
        }
    }
}

TEST(CarrierDemodulator, ComparesEachFrameWithTheOneBeforeIt) {
    BlockSpectra s{};
    // Frame 0 at phase 0, frame 1 turned by -0.3 rad, frame 2 silent, frame 3 turned by +0.5.
    s.re[1][0][7] = 2.0f;
    s.re[1][1][7] = static_cast<float>(std::cos(-0.3));
    s.im[1][1][7] = static_cast<float>(std::sin(-0.3));
    s.re[1][3][7] = 4.0f * static_cast<float>(std::cos(0.5));
    s.im[1][3][7] = 4.0f * static_cast<float>(std::sin(0.5));
    DemodulatedBlock v{};
    demodulate(s, v);
    // Im(X0 / X1) = |X0| / |X1| sin(phase0 - phase1).
    EXPECT_NEAR(v.d[1][1][7], 2.0 * std::sin(0.3), 1e-6);
    EXPECT_TRUE(std::isnan(v.d[1][2][7])) << "silent newer frame, whatever the older held";
    EXPECT_NEAR(v.d[1][3][7], 0.0, 1e-6) << "silent older frame gives zero";
    EXPECT_TRUE(std::isnan(v.d[0][1][7]));
}

} // namespace
} // namespace nbtv
