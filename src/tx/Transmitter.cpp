#include "tx/Transmitter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/Conversions.h"
#include "core/ReceiverSettings.h"
#include "picture/DisplayLevel.h"
#include "tx/Random.h"

namespace nbtv {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;
constexpr int columnSamples = 256;     // one hop: the receiver's transform length
constexpr double binsPerCycle = 256.0; // bin spacing is fs / 256
constexpr double pilotPeakDiscriminator = 0.5;
constexpr double peakFraction = 0.9; // of 16-bit full scale
constexpr double fullScale = 32767.0;
// Largest deviation any tone makes, in bins, with a margin: for the range check of the band.
constexpr double maxDeviationBins = 0.125;
// Start phases come from their own fixed stream, so noise seeds never change the clean signal.
constexpr std::uint64_t startPhaseSeed = 0x4e42'5456'7478'0001ULL;
// Enough for hours of signal while every sample index stays an int32.
constexpr double maxOutputSamples = 2.0e9;

void require(bool ok, const std::string& message) {
    if (!ok) {
        throw std::invalid_argument(message);
    }
}

void validateChannel(const ReceiverProfile& profile, bool mono, const ChannelImpairments& ch) {
    require(profile.sampleRate > 0, "profile sample rate must be positive");
    require(profile.pictureColumns > 0 && profile.pictureLines > 0,
            "profile picture size must be positive");
    require(static_cast<int>(profile.carriers.lineBins.size()) == profile.pictureLines,
            "profile has " + std::to_string(profile.carriers.lineBins.size()) + " line bins for " +
                std::to_string(profile.pictureLines) + " picture lines");
    require(profile.fieldsPerFrame >= 1 && profile.fieldsPerFrame <= 3,
            "profile fields per frame must be 1 to 3");
    if (profile.pictureScheme == PictureScheme::Rggb) {
        require(profile.fieldsPerFrame == 2, "an RGGB profile sends two fields per frame");
        require(!mono, profile.name + " sends colour only, not mono");
        const auto& lines = profile.carriers.lineBins;
        for (int bin : lines) {
            // Each line's pair partner is its even/odd neighbour: (11, 10), (13, 12) ...
            require(std::find(lines.begin(), lines.end(), bin ^ 1) != lines.end(),
                    "line bin " + std::to_string(bin) + " has no partner for red and blue");
        }
        require(profile.carriers.secondPilotBin > 0, "an RGGB profile has two pilots");
    }
    require(!mono || profile.hasMonochrome, profile.name + " has no mono mode");
    require(std::isfinite(ch.rateError) && std::abs(ch.rateError) < 0.5,
            "rate error must lie strictly between -0.5 and 0.5");
    require(std::isfinite(ch.frequencyOffsetHz), "frequency offset must be finite");
    require(!ch.snrDb || std::isfinite(*ch.snrDb), "SNR must be finite");
    if (ch.fading) {
        require(ch.fading->delayMs >= 0.0 && ch.fading->delayMs <= 50.0,
                "the second path's delay must lie between 0 and 50 ms");
        require(ch.fading->dopplerHz >= 0.0 && ch.fading->dopplerHz <= 50.0,
                "the Doppler spread must lie between 0 and 50 Hz");
    }
    if (ch.interferer) {
        require(ch.interferer->hz > 0.0 && ch.interferer->hz < profile.sampleRate / 2.0,
                "the interferer must lie between 0 Hz and the Nyquist frequency");
        require(ch.interferer->db >= -100.0 && ch.interferer->db <= 40.0,
                "the interferer's level must lie between -100 and 40 dB");
    }
    require(std::isfinite(ch.driftHzPerMinute) && std::abs(ch.driftHzPerMinute) <= 1000.0,
            "drift must lie between -1000 and 1000 Hz a minute");
    require(std::isfinite(ch.wobbleHz) && std::abs(ch.wobbleHz) <= 1000.0,
            "wobble must lie between -1000 and 1000 Hz");
    require(ch.wobblePeriodS > 0.0 && ch.wobblePeriodS <= 3600.0,
            "the wobble's period must lie between 0 and 3600 s");
    require(ch.crashesPerSecond >= 0.0 && ch.crashesPerSecond <= 1000.0,
            "crashes must lie between 0 and 1000 a second");
    require(!ch.passband || (ch.passband->lowHz > 0.0 && ch.passband->highHz > ch.passband->lowHz &&
                             std::isfinite(ch.passband->highHz)),
            "the passband must run from a positive frequency up to a higher one");

    // Every tone must stay between 0 Hz and the recording's Nyquist frequency, or it folds back
    // onto other carriers.
    const std::vector<int> bins = profile.carriers.allCarriers();
    const int lowBin = *std::min_element(bins.begin(), bins.end());
    const int highBin = *std::max_element(bins.begin(), bins.end());
    const double offsetBins = ch.frequencyOffsetHz * binsPerCycle / profile.sampleRate;
    const double lowest = lowBin - maxDeviationBins + offsetBins;
    const double highest = (highBin + maxDeviationBins + offsetBins) / (1.0 - ch.rateError);
    require(lowest > 0.0 && highest < binsPerCycle / 2.0,
            "tones fall outside the band from 0 Hz to the Nyquist frequency (check the frequency "
            "offset and rate error)");
}

void validatePicture(const ReceiverProfile& profile, const RgbImage& picture) {
    require(picture.width == profile.pictureColumns && picture.height == profile.pictureLines,
            "picture is " + std::to_string(picture.width) + " x " + std::to_string(picture.height) +
                ", " + profile.name + " sends " + std::to_string(profile.pictureColumns) + " x " +
                std::to_string(profile.pictureLines));
    require(picture.rgb.size() == static_cast<std::size_t>(picture.width) *
                                      static_cast<std::size_t>(picture.height) * 3,
            "picture pixel data does not match its size");
}

std::uint8_t componentLevel(const RgbImage& picture, int x, int y, ColourComponent c) {
    return picture.pixel(x, y)[static_cast<std::size_t>(c)];
}

// RGGB: field 0 (first on air, the receiver's columns W+1..2W) sends red on the even bin and
// blue on the odd bin of every pair, each the mean of the pair's two lines, which the receiver
// shows on both; field 1 sends every line's green. The top-copy tone repeats the top line.
std::vector<std::uint8_t> rggbFrameLevels(const ReceiverProfile& profile, const RgbImage& picture) {
    const int columns = profile.pictureColumns;
    const int lines = profile.pictureLines;
    const std::vector<int> bins = profile.carriers.levelTones();
    const int tones = static_cast<int>(bins.size());
    std::vector<std::uint8_t> levels(static_cast<std::size_t>(2 * tones * columns));
    for (int tone = 0; tone < tones; ++tone) {
        const int bin = bins[static_cast<std::size_t>(tone)];
        const bool copy = tone >= lines;
        const int y = copy ? 0 : lines - 1 - tone;
        // The partner is the neighbouring line bin of the pair; the top copy pairs with a pilot.
        const int partnerY = copy ? y : (bin % 2 == 0 ? y - 1 : y + 1);
        const ColourComponent shared = bin % 2 == 0 ? ColourComponent::Red : ColourComponent::Blue;
        for (int x = 0; x < columns; ++x) {
            const double mean = 0.5 * (componentLevel(picture, x, y, shared) +
                                       componentLevel(picture, x, partnerY, shared));
            levels[static_cast<std::size_t>(tone * columns + x)] =
                static_cast<std::uint8_t>(std::clamp(roundHalfEven(mean), 0, 255));
            levels[static_cast<std::size_t>((tones + tone) * columns + x)] =
                componentLevel(picture, x, y, ColourComponent::Green);
        }
    }
    return levels;
}

// The level of every tone in every column of a frame: [(field * tones + tone) * columns + x],
// where tone 0 is the lowest bin (the bottom picture row).
std::vector<std::uint8_t> frameLevels(const ReceiverProfile& profile, const RgbImage& picture,
                                      bool mono) {
    if (profile.pictureScheme == PictureScheme::Rggb) {
        return rggbFrameLevels(profile, picture);
    }
    const int columns = profile.pictureColumns;
    const int lines = profile.pictureLines;
    const int fields = mono ? 1 : profile.fieldsPerFrame;
    std::vector<std::uint8_t> levels(static_cast<std::size_t>(fields * lines * columns));
    for (int field = 0; field < fields; ++field) {
        const auto component =
            static_cast<std::size_t>(profile.transmitFieldOrder[static_cast<std::size_t>(field)]);
        for (int line = 0; line < lines; ++line) {
            const int y = lines - 1 - line;
            for (int x = 0; x < columns; ++x) {
                const std::uint8_t* p = picture.pixel(x, y);
                int level = 0;
                if (mono) {
                    level = roundHalfEven(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]);
                } else {
                    level = p[component];
                }
                levels[static_cast<std::size_t>((field * lines + line) * columns + x)] =
                    static_cast<std::uint8_t>(std::clamp(level, 0, 255));
            }
        }
    }
    return levels;
}

// First output sample at or after nominal time t, given output sample n at lead + n * step.
std::int64_t firstSampleAtOrAfter(double t, double lead, double step) {
    const double n = std::ceil((t - lead) / step);
    return n <= 0.0 ? 0 : static_cast<std::int64_t>(floorToInt(n));
}

double wrapPhase(double phase) {
    phase = std::fmod(phase, twoPi);
    return phase < 0.0 ? phase + twoPi : phase;
}

} // namespace

// Everything the signal carries from one column to the next.
struct SignalGenerator::State {
    const ReceiverProfile& profile;
    bool mono;
    int columns;
    int frameColumns;
    std::vector<int> bins;
    std::size_t nLines;
    // Nominal samples per output sample: a recording that runs slow packs more signal into each
    // of its samples.
    double step;
    double lead = receiverFrameLead;
    double offsetCycles;
    std::array<double, 256> deviation{};

    // Phase of each line tone at the start of the current column, in radians.
    std::vector<double> boundaryPhase;
    std::vector<int> pilots;
    std::vector<double> pilotPhase;
    std::vector<double> pilotCycles;
    double swingRe = 0.0;
    double swingIm = 0.0;
    double swingStepRe = 0.0;
    double swingStepIm = 0.0;
    std::vector<double> re, im, stepRe, stepIm;

    std::int64_t column = 0; // the next column to send
    std::int64_t sample = 0; // the next output sample

    State(const ReceiverProfile& p, bool m, const ChannelImpairments& ch)
        : profile(p), mono(m), columns(p.pictureColumns),
          frameColumns((m ? 1 : p.fieldsPerFrame) * p.pictureColumns),
          bins(p.carriers.levelTones()), nLines(bins.size()), step(1.0 / (1.0 - ch.rateError)),
          offsetCycles(ch.frequencyOffsetHz / p.sampleRate), boundaryPhase(nLines),
          pilots(p.carriers.pilots()), pilotPhase(pilots.size()), pilotCycles(pilots.size()),
          re(nLines), im(nLines), stepRe(nLines), stepIm(nLines) {
        for (std::size_t level = 0; level < deviation.size(); ++level) {
            deviation[level] = deviationForLevel(static_cast<double>(level));
        }
        SplitMix64 phaseRng(startPhaseSeed);
        for (double& phase : boundaryPhase) {
            phase = twoPi * phaseRng.uniformOpenZero();
        }
        // At the first output sample; drawn after the tones' phases, the first pilot's first.
        for (double& phase : pilotPhase) {
            phase = twoPi * phaseRng.uniformOpenZero();
        }
        // The pilots' swing comes from a rotating phasor; pilots swing in phase.
        const double swingStep = twoPi * step / pilotSwingPeriod;
        const double swingStart = twoPi * (lead + 0.5 * step) / pilotSwingPeriod;
        swingRe = std::cos(swingStart);
        swingIm = std::sin(swingStart);
        swingStepRe = std::cos(swingStep);
        swingStepIm = std::sin(swingStep);
        for (std::size_t k = 0; k < pilots.size(); ++k) {
            pilotCycles[k] = pilots[k] / binsPerCycle + offsetCycles;
        }
    }

    // The output samples of the next column, with the levels of its frame, onto `out`.
    void sendColumn(const std::vector<std::uint8_t>& levels, std::vector<double>& out) {
        const double columnStart = static_cast<double>(column * columnSamples);
        const std::int64_t n0 = firstSampleAtOrAfter(columnStart, lead, step);
        const std::int64_t n1 = firstSampleAtOrAfter(columnStart + columnSamples, lead, step);
        const int inFrame = static_cast<int>(column % frameColumns);
        const int field = inFrame / columns;
        const int x = columns - 1 - inFrame % columns; // columns go on air right to left
        const double t0 = lead + static_cast<double>(n0) * step;
        // Within a column each tone's frequency is constant, so a phasor rotated by a fixed
        // step gives its samples; it starts from the exactly integrated phase at every column,
        // so rounding never accumulates.
        for (std::size_t i = 0; i < nLines; ++i) {
            const std::uint8_t level =
                levels[(static_cast<std::size_t>(field) * nLines + i) * columns + x];
            const double cycles = (bins[i] + deviation[level]) / binsPerCycle + offsetCycles;
            if (n0 < n1) {
                const double phase = boundaryPhase[i] + twoPi * cycles * (t0 - columnStart);
                re[i] = std::cos(phase);
                im[i] = std::sin(phase);
                stepRe[i] = std::cos(twoPi * cycles * step);
                stepIm[i] = std::sin(twoPi * cycles * step);
            }
            boundaryPhase[i] = wrapPhase(boundaryPhase[i] + twoPi * cycles * columnSamples);
        }
        for (std::int64_t n = n0; n < n1; ++n) {
            // Four partial sums break the dependency chain of one long sum.
            std::array<double, 4> acc{};
            std::size_t i = 0;
            for (; i + 4 <= nLines; i += 4) {
                acc[0] += im[i];
                acc[1] += im[i + 1];
                acc[2] += im[i + 2];
                acc[3] += im[i + 3];
            }
            for (; i < nLines; ++i) {
                acc[0] += im[i];
            }
            double value = (acc[0] + acc[1]) + (acc[2] + acc[3]);
            for (std::size_t k = 0; k < nLines; ++k) {
                const double r = re[k] * stepRe[k] - im[k] * stepIm[k];
                im[k] = re[k] * stepIm[k] + im[k] * stepRe[k];
                re[k] = r;
            }
            // A pilot's frequency changes every sample: its phase is integrated with the
            // deviation at the middle of each step.
            const double swingDeviation = std::asin(pilotPeakDiscriminator * swingIm) / twoPi;
            for (std::size_t p = 0; p < pilots.size(); ++p) {
                value += std::sin(pilotPhase[p]);
                pilotPhase[p] += twoPi * step * (pilotCycles[p] + swingDeviation / binsPerCycle);
            }
            const double r = swingRe * swingStepRe - swingIm * swingStepIm;
            swingIm = swingRe * swingStepIm + swingIm * swingStepRe;
            swingRe = r;
            if ((n & 255) == 255) {
                for (double& phase : pilotPhase) {
                    phase = wrapPhase(phase);
                }
                const double norm = 1.0 / std::hypot(swingRe, swingIm);
                swingRe *= norm;
                swingIm *= norm;
            }
            out.push_back(value);
        }
        sample = n1;
        ++column;
    }
};

SignalGenerator::SignalGenerator(const ReceiverProfile& profile, bool mono,
                                 const ChannelImpairments& channel) {
    validateChannel(profile, mono, channel);
    state_ = std::make_unique<State>(profile, mono, channel);
}

SignalGenerator::~SignalGenerator() = default;
SignalGenerator::SignalGenerator(SignalGenerator&&) noexcept = default;
SignalGenerator& SignalGenerator::operator=(SignalGenerator&&) noexcept = default;

void SignalGenerator::frame(const RgbImage& picture, std::vector<double>& out) {
    State& s = *state_;
    validatePicture(s.profile, picture);
    const std::vector<std::uint8_t> levels = frameLevels(s.profile, picture, s.mono);
    const std::int64_t end = (s.column / s.frameColumns + 1) * s.frameColumns;
    while (s.column < end) {
        s.sendColumn(levels, out);
    }
}

std::int64_t SignalGenerator::frames() const {
    return state_->column / state_->frameColumns;
}

std::int64_t SignalGenerator::samples() const {
    return state_->sample;
}

std::int64_t SignalGenerator::frameSamples() const {
    return static_cast<std::int64_t>(state_->frameColumns) * columnSamples;
}

std::int64_t signalSamples(const ReceiverProfile& profile, bool mono, double rateError,
                           int frames) {
    const int fields = mono ? 1 : profile.fieldsPerFrame;
    const double frameSamples =
        static_cast<double>(fields) * profile.pictureColumns * columnSamples;
    const double exactLength = frames * frameSamples * (1.0 - rateError);
    require(exactLength <= maxOutputSamples, "too many frames for one signal");
    // A hair below the exact product so that rounding in it never adds a sample.
    return floorToInt(std::ceil(exactLength * (1.0 - 1e-12)));
}

std::int64_t framesInSignal(const ReceiverProfile& profile, bool mono, double rateError,
                            std::int64_t samples) {
    const int fields = mono ? 1 : profile.fieldsPerFrame;
    const double frame =
        static_cast<double>(fields) * profile.pictureColumns * columnSamples * (1.0 - rateError);
    // A hair above, as signalSamples() rounds a hair below.
    return floorToInt(static_cast<double>(samples) / frame * (1.0 + 1e-12));
}

double deviationForLevel(double level) {
    // The level a receiver shows at its starting brightness and contrast.
    const ReceiverSettings start;
    return std::asin(discriminatorForLevel(level, start.brightness, start.contrast)) / twoPi;
}

std::vector<std::int16_t> transmit(const ReceiverProfile& profile, const RgbImage& picture,
                                   const TransmitOptions& options) {
    return transmitSequence(profile, std::vector<RgbImage>{picture}, options);
}

// One making of the signal, through the channel when it has a mean power to work with.
class TransmitStream::Pass {
  public:
    Pass(const ReceiverProfile& profile, const std::vector<RgbImage>& pictures,
         const TransmitOptions& options, std::int64_t total, std::optional<double> power)
        : pictures_(pictures), generator_(profile, options.mono, options.channel), total_(total) {
        if (power && channelChangesSignal(options.channel)) {
            const ChannelImpairments& ch = options.channel;
            channel_.emplace(profile.sampleRate * (1.0 - ch.rateError), ch, *power,
                             static_cast<std::uint64_t>(total));
        }
    }

    // Replaces `out` by the next piece; false at the end.
    bool next(std::vector<double>& out) {
        out.clear();
        while (out.empty()) {
            if (made_ == total_) {
                if (channel_ && !finished_) {
                    channel_->finish(out);
                    finished_ = true;
                    continue;
                }
                return false;
            }
            // Frame f sends picture f modulo their number; the signal ends a little into the
            // frame after the last, where a receiver started on its first sample completes its
            // last frame.
            clean_.clear();
            generator_.frame(
                pictures_[static_cast<std::size_t>(generator_.frames()) % pictures_.size()],
                clean_);
            clean_.resize(static_cast<std::size_t>(
                std::min<std::int64_t>(static_cast<std::int64_t>(clean_.size()), total_ - made_)));
            made_ += static_cast<std::int64_t>(clean_.size());
            if (channel_) {
                channel_->push(clean_, out);
            } else {
                out.swap(clean_);
            }
        }
        return true;
    }

  private:
    const std::vector<RgbImage>& pictures_;
    SignalGenerator generator_;
    std::optional<ChannelStream> channel_;
    std::int64_t total_;
    std::int64_t made_ = 0;
    bool finished_ = false;
    std::vector<double> clean_;
};

TransmitStream::TransmitStream(const ReceiverProfile& profile,
                               const std::vector<RgbImage>& pictures,
                               const TransmitOptions& options) {
    require(!pictures.empty(), "no picture to send");
    const ChannelImpairments& ch = options.channel;
    // Checks the profile and the channel before the pictures, as the generator does.
    SignalGenerator check(profile, options.mono, ch);
    for (const RgbImage& picture : pictures) {
        validatePicture(profile, picture);
    }
    require(options.frames >= 1,
            "frames must be at least 1, not " + std::to_string(options.frames));
    total_ = signalSamples(profile, options.mono, ch.rateError, options.frames);

    const bool changes = channelChangesSignal(ch);
    double power = 0.0;
    double peak = 0.0;
    const auto measure = [&](bool withChannel) {
        Pass pass(profile, pictures, options, total_,
                  withChannel ? std::optional<double>(power) : std::nullopt);
        PowerMeter meter;
        while (pass.next(piece_)) {
            if (!withChannel) {
                meter.add(piece_);
            }
            for (double s : piece_) {
                peak = std::max(peak, std::abs(s));
            }
        }
        if (!withChannel) {
            power = meter.mean();
        }
    };
    // The clean signal's peak is the output's when the channel changes nothing.
    if (!changes || channelNeedsPower(ch)) {
        measure(false);
    }
    if (changes) {
        peak = 0.0;
        measure(true);
    }
    scale_ = peak > 0.0 ? peakFraction * fullScale / peak : 0.0;
    pass_ = std::make_unique<Pass>(profile, pictures, options, total_, power);
}

TransmitStream::~TransmitStream() = default;

std::int64_t TransmitStream::samples() const {
    return total_;
}

bool TransmitStream::next(std::vector<std::int16_t>& out) {
    if (!pass_->next(piece_)) {
        return false;
    }
    for (double s : piece_) {
        const std::int32_t v = roundHalfEven(s * scale_);
        out.push_back(static_cast<std::int16_t>(std::clamp(v, -32768, 32767)));
    }
    return true;
}

std::vector<std::int16_t> transmitSequence(const ReceiverProfile& profile,
                                           const std::vector<RgbImage>& pictures,
                                           const TransmitOptions& options) {
    TransmitStream stream(profile, pictures, options);
    std::vector<std::int16_t> out;
    out.reserve(static_cast<std::size_t>(stream.samples()));
    while (stream.next(out)) {
    }
    return out;
}

} // namespace nbtv
