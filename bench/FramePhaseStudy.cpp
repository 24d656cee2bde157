// How often the automatic frame phase finds the field boundary and the colour order on real
// photographs (tests/data/photos), per program, mode and channel, joined at random moments:
//
//   phase  the tuning right, "Find frame phase" from the first block: right after two frames?
//          and still right after six?
//   auto   everything automatic (as nbtv decode --auto) on a signal 7.3 Hz mistuned and
//          recorded 0.13 % slow: right after twelve colour frames' time (36 mono fields)?
//   psnr   the same on a clean signal with the enhanced picture (--enhanced --denoise): its
//          PSNR against the photo, beside a careful user's (tuned by hand, in phase).
//
// Channels: white noise at 20 dB SNR ("noise"), the same through a receiver's 300-2700 Hz
// passband with AGC ("band"), and the same through MP3 at 32 kbit/s ("mp3"). The colour order of
// a grey photograph counts right whatever it is, once the boundary is: every order shows it alike.
//
//   build/release/bench/frame_phase_study [--half held-out|training|all] [--starts N]
//       [--conditions phase,auto,psnr] [--channels noise,band,mp3] [--programs LIST]
//       [--photos DIR] [--only PHOTO] [--verbose]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Mp3RoundTrip.h"
#include "core/Conversions.h"
#include "enhance/EnhancedReceiver.h"
#include "io/ImageFile.h"
#include "profiles/ReceiverProfile.h"
#include "session/ReceiveSession.h"
#include "session/Receiver.h"
#include "support/Reception.h"
#include "support/TuningSupport.h"
#include "tuning/FramePhaseSearch.h"
#include "tx/Transmitter.h"

namespace {

using namespace nbtv;

struct Photo {
    std::string name;
    bool heldOut = false;
    RgbImage square; // 48 x 48
    RgbImage wide;   // 96 x 72
    // Grey throughout: every order of the colour fields shows it the same.
    bool grey = false;
};

bool isGrey(const RgbImage& image) {
    for (std::size_t i = 0; i + 2 < image.rgb.size(); i += 3) {
        const int r = image.rgb[i];
        const int g = image.rgb[i + 1];
        const int b = image.rgb[i + 2];
        if (std::max({r, g, b}) - std::min({r, g, b}) > 2) {
            return false;
        }
    }
    return true;
}

std::vector<Photo> loadPhotos(const std::string& dir) {
    std::ifstream list(dir + "/photos.tsv");
    std::vector<Photo> photos;
    std::string line;
    while (std::getline(list, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        Photo p;
        std::string half;
        std::getline(fields, p.name, '\t');
        std::getline(fields, half, '\t');
        p.heldOut = half == "held-out";
        std::string error;
        if (!loadImageScaled(dir + "/48x48/" + p.name + ".png", 48, 48, p.square, error) ||
            !loadImageScaled(dir + "/96x72/" + p.name + ".png", 96, 72, p.wide, error)) {
            std::fprintf(stderr, "frame_phase_study: %s\n", error.c_str());
            std::exit(1);
        }
        p.grey = isGrey(p.square) && isGrey(p.wide);
        photos.push_back(std::move(p));
    }
    return photos;
}

struct Mode {
    const ReceiverProfile& (*profile)();
    bool mono;
    std::string name() const { return profile().name + (mono ? " mono" : " colour"); }
};

enum class Channel { Noise, Band, Mp3 };

const char* channelName(Channel c) {
    switch (c) {
    case Channel::Noise:
        return "noise";
    case Channel::Band:
        return "band";
    case Channel::Mp3:
        return "mp3";
    }
    return "";
}

struct Options {
    std::string half = "held-out";
    int starts = 5;
    std::vector<std::string> conditions{"phase", "auto", "psnr"};
    std::vector<Channel> channels{Channel::Noise, Channel::Band, Channel::Mp3};
    std::vector<std::string> programs{"nbtv48", "nbtv96", "nbtv96rggb"};
    std::string photos = NBTV_PHOTO_DIR;
    std::string only; // one photograph by name (to look into one case)
    bool verbose = false;
};

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        out.push_back(item);
    }
    return out;
}

long frameColumns(const ReceiverProfile& p, bool mono) {
    return mono ? p.fieldWidth : p.frameColumns();
}

// The signal of `frames` frames of the photo through the channel.
std::vector<std::int16_t> signalFor(const Mode& mode, const RgbImage& photo, int frames,
                                    Channel channel, std::optional<double> snrDb, double offsetHz,
                                    double rateError, std::uint64_t seed) {
    const ReceiverProfile& p = mode.profile();
    TransmitOptions options;
    options.mono = mode.mono;
    options.frames = frames;
    options.channel.snrDb = snrDb;
    options.channel.frequencyOffsetHz = offsetHz;
    options.channel.rateError = rateError;
    options.channel.seed = seed;
    if (channel == Channel::Band) {
        options.channel.passband = Passband{300.0, 2700.0};
        options.channel.agc = true;
    }
    std::vector<std::int16_t> signal = transmit(p, photo, options);
    if (channel == Channel::Mp3) {
        std::string error;
        signal = bench::mp3RoundTrip(signal, p.sampleRate, 32000, error);
        if (signal.empty()) {
            std::fprintf(stderr, "frame_phase_study: %s\n", error.c_str());
            std::exit(1);
        }
    }
    return signal;
}

// Where the receiver's frame now ends against the transmitter's frames, in transmitter samples
// (0 when in phase), given the samples it has read of a signal joined `skip` samples in. The
// newest column of a block describes the signal 555 samples before the block's end.
double frameError(const Receiver& r, std::size_t consumed, std::size_t skip, double rateError,
                  double period) {
    const double newest = static_cast<double>(consumed + skip) / (1.0 - rateError);
    const double end = newest + r.frameOffset() * 256.0 / 3.0;
    const double e = std::fmod(end, period);
    return e < -period / 2 ? e + period : e > period / 2 ? e - period : e;
}

struct Verdict {
    bool boundary = false;
    bool colours = false;
};

// A grey photograph's colours are right whatever the order of its fields, once the boundary is.
Verdict judge(const Receiver& r, const Mode& mode, const Photo& photo, std::size_t consumed,
              std::size_t skip, double rateError) {
    const ReceiverProfile& p = mode.profile();
    const double field = p.fieldWidth * 256.0 / 3.0;
    const double frame = static_cast<double>(frameColumns(p, mode.mono)) * 256.0 / 3.0;
    // The receiver moves its frame in whole blocks (768 samples) and its picture creeps between
    // corrections: right is within half a block and a picture column of the truth.
    const double tolerance = 640.0;
    Verdict v;
    v.boundary = std::abs(frameError(r, consumed, skip, rateError, field)) < tolerance;
    v.colours = std::abs(frameError(r, consumed, skip, rateError, frame)) < tolerance ||
                (v.boundary && photo.grey);
    return v;
}

struct Tally {
    int runs = 0;
    int boundary = 0;
    int colours = 0;
    int lateBoundary = 0; // still (or by then) right at the later check
    int lateColours = 0;
    int guesses = 0; // colour order said to be a guess
    double psnrSum = 0.0;
    double psnrWorst = INFINITY; // auto minus careful, dB, over runs with the phase right
    int psnrRuns = 0;
    void add(Verdict v) {
        ++runs;
        boundary += v.boundary ? 1 : 0;
        colours += v.colours ? 1 : 0;
    }
};

double percent(int n, int of) {
    return of > 0 ? 100.0 * n / of : 0.0;
}

// "Find frame phase" with the tuning right, from the first block.
void runPhase(const Mode& mode, const Photo& photo, Channel channel, int start, Tally& tally,
              bool verbose) {
    const ReceiverProfile& p = mode.profile();
    const int blocks = static_cast<int>(frameColumns(p, mode.mono) / 9);
    std::mt19937 rng(static_cast<std::uint32_t>(
        1000 * start + 17 + 7919 * std::hash<std::string>{}(photo.name) % 1000));
    const int skipBlocks = std::uniform_int_distribution<int>(0, blocks - 1)(rng);
    const std::size_t skip = static_cast<std::size_t>(
        skipBlocks * 768 + std::uniform_int_distribution<int>(0, 300)(rng));
    const RgbImage& picture = p.pictureColumns == 48 ? photo.square : photo.wide;
    const std::vector<std::int16_t> full =
        signalFor(mode, picture, 8, channel, 20.0, 0.0, 0.0, static_cast<std::uint64_t>(start + 1));
    const std::span<const std::int16_t> signal = std::span(full).subspan(skip);
    Receiver receiver(p);
    receiver.keepScopeHistories(false);
    receiver.settings().colourMode = mode.mono ? 0 : 1;
    AutoTuner tuner(p);
    tuner.findFramePhase();
    const long early = 2L * blocks + 2;
    const long late = 6L * blocks;
    long block = 0;
    Verdict first;
    Verdict later;
    for (std::size_t at = 0; at + 768 <= signal.size() && block < late; at += 768) {
        const auto samples = signal.subspan(at, 768);
        receiver.processBlock(samples);
        tuner.afterBlock(receiver.tunerAccess(), samples);
        ++block;
        if (block == early) {
            first = judge(receiver, mode, photo, at + 768, skip, 0.0);
        }
        if (block == late) {
            later = judge(receiver, mode, photo, at + 768, skip, 0.0);
        }
    }
    tally.add(first);
    tally.lateBoundary += later.boundary ? 1 : 0;
    tally.lateColours += later.colours ? 1 : 0;
    if (verbose && (!first.boundary || !later.boundary || (!mode.mono && !first.colours))) {
        std::printf("    %s %s %s start %d: boundary %d/%d colours %d/%d\n", mode.name().c_str(),
                    channelName(channel), photo.name.c_str(), start, first.boundary, later.boundary,
                    first.colours, later.colours);
    }
}

// Everything automatic on a mistuned, off-rate signal joined at a random moment; with
// `enhanced`, on a clean signal, also the enhanced picture's PSNR against a careful user's.
void runAuto(const Mode& mode, const Photo& photo, Channel channel, int start, bool enhanced,
             Tally& tally, bool verbose) {
    const ReceiverProfile& p = mode.profile();
    const int blocks = static_cast<int>(frameColumns(p, mode.mono) / 9);
    constexpr double offsetHz = 7.3;
    constexpr double rateError = 0.0013;
    // Every mode the same time on air: twelve colour frames, as many fields in monochrome.
    const int frames = static_cast<int>(12 * frameColumns(p, false) / frameColumns(p, mode.mono));
    std::mt19937 rng(static_cast<std::uint32_t>(
        1000 * start + 29 + 7919 * std::hash<std::string>{}(photo.name) % 1000));
    const int skipBlocks = std::uniform_int_distribution<int>(0, blocks - 1)(rng);
    const std::size_t skip = static_cast<std::size_t>(
        skipBlocks * 768 + std::uniform_int_distribution<int>(0, 300)(rng));
    const RgbImage& picture = p.pictureColumns == 48 ? photo.square : photo.wide;
    const std::optional<double> snr = enhanced ? std::nullopt : std::optional<double>(20.0);
    const std::vector<std::int16_t> full =
        signalFor(mode, picture, frames + 1, channel, snr, offsetHz, rateError,
                  static_cast<std::uint64_t>(start + 1));
    const std::span<const std::int16_t> signal = std::span(full).subspan(skip);

    const RgbImage sent = mode.mono ? test::luminance(picture) : picture;
    // One session as nbtv decode runs it: with the tuner (--auto) or tuned by hand.
    auto receive = [&](std::span<const std::int16_t> input, bool automatic, bool careful) {
        ReceiveSession session(p);
        Receiver& receiver = session.receiver();
        receiver.keepScopeHistories(false);
        receiver.settings().colourMode = mode.mono ? 0 : 1;
        if (careful) {
            receiver.settings().fineTuneHz = static_cast<float>(-offsetHz);
            receiver.setCalibration(rateError);
        }
        if (automatic) {
            session.tuner().setFineTune(true);
            session.tuner().setCalibration(true);
            session.tuner().findFramePhase();
        }
        session.setEnhanced(enhanced, true);
        // The last picture before the end of the input: the one finish() composes from the
        // shorter last segment is not the steady picture.
        RgbImage last;
        int shownCount = 0;
        bool finishing = false;
        session.setPictureListener([&](const SessionPicture& shown) {
            if (shown.picture != nullptr && !finishing) {
                last = *shown.picture;
                if (verbose && enhanced) {
                    std::fprintf(stderr, "PICTURE %s %s %d %s %d %.1f dB\n", mode.name().c_str(),
                                 photo.name.c_str(), start, automatic ? "auto" : "careful",
                                 shownCount, test::psnr(last, sent));
                }
                ++shownCount;
            }
        });
        std::size_t at = 0;
        for (;;) {
            const auto length = static_cast<std::size_t>(receiver.settings().blockLength);
            if (at + length > input.size()) {
                break;
            }
            const BlockOutcome outcome = session.processBlock(input.subspan(at, length));
            at += length;
            if (verbose && automatic && outcome.tuning.framePlaced) {
                const double newest = static_cast<double>(at + skip) / (1.0 - rateError);
                const double period = static_cast<double>(frameColumns(p, mode.mono)) * 256.0 / 3.0;
                double e =
                    std::fmod(newest + outcome.tuning.placedFrameOffset * 256.0 / 3.0, period);
                e = e < -period / 2 ? e + period : e > period / 2 ? e - period : e;
                std::fprintf(stderr, "PLACE %s %s %d %zu %.1f\n", mode.name().c_str(),
                             photo.name.c_str(), start, at, e);
            }
        }
        finishing = true;
        session.finish(input.subspan(at));
        const Verdict v = judge(receiver, mode, photo, at, careful ? 0 : skip, rateError);
        if (verbose && !careful) {
            std::fprintf(stderr, "END %s %s frame error %.0f samples (field %d)\n",
                         mode.name().c_str(), photo.name.c_str(),
                         frameError(receiver, at, skip, rateError,
                                    static_cast<double>(frameColumns(p, mode.mono)) * 256.0 / 3.0),
                         p.fieldWidth * 256 / 3);
        }
        return std::pair{v, last};
    };

    const auto [verdict, picture1] = receive(signal, true, false);
    tally.add(verdict);
    if (enhanced && verdict.colours) {
        const RgbImage picture2 = receive(full, false, true).second;
        const double a = test::psnr(picture1, sent);
        const double b = test::psnr(picture2, sent);
        tally.psnrSum += a - b;
        tally.psnrWorst = std::min(tally.psnrWorst, a - b);
        ++tally.psnrRuns;
        if (verbose && a < b - 1.0) {
            std::printf("    %s %s start %d: enhanced %.1f dB, careful %.1f dB\n",
                        mode.name().c_str(), photo.name.c_str(), start, a, b);
        }
    }
    if (verbose && !verdict.colours) {
        std::printf("    %s %s %s start %d: boundary %d colours %d\n", mode.name().c_str(),
                    channelName(channel), photo.name.c_str(), start, verdict.boundary,
                    verdict.colours);
    }
}

// ---- Choosing the weights on the training half ----------------------------------------

// One search's cues with the truth.
struct Sample {
    std::string mode;
    bool heldOut = false;
    FrameKind kind = monoFrame;
    FramePhaseSearch::Cues cues;
    double trueBoundary = 0.0; // column phase, modulo the field width
    int fieldWidth = 0;
    std::vector<double> colours; // colour prior at the true boundary, by hypothesis
    int trueFirst = 0;           // the hypothesis that is right
    bool grey = false;           // every hypothesis shows the photograph the same
    bool rggbRight = true;       // the alternation's frame start at the true boundary
    double rggbStrength = 0.0;
    FramePhaseSearch::Swing swing;
};

double circular(double a, double b, double m) {
    const double d = std::fmod(std::abs(a - b), m);
    return std::min(d, m - d);
}

// The random start of a run: whole blocks and a part of one into the signal.
std::size_t randomSkip(const Photo& photo, int start, int salt, int blocks) {
    std::mt19937 rng(static_cast<std::uint32_t>(
        1000 * start + salt + 7919 * std::hash<std::string>{}(photo.name) % 1000));
    const int skipBlocks = std::uniform_int_distribution<int>(0, blocks - 1)(rng);
    return static_cast<std::size_t>(skipBlocks * 768 +
                                    std::uniform_int_distribution<int>(0, 300)(rng));
}

// Two frames of the tuned receiver's columns, as "Find frame phase" gathers them.
Sample gather(const Mode& mode, const Photo& photo, Channel channel, int start) {
    const ReceiverProfile& p = mode.profile();
    const long period = frameColumns(p, mode.mono);
    const int blocks = static_cast<int>(period / 9);
    const std::size_t skip = randomSkip(photo, start, 41, blocks);
    const RgbImage& picture = p.pictureColumns == 48 ? photo.square : photo.wide;
    const std::vector<std::int16_t> full = signalFor(mode, picture, 4, channel, 20.0, 0.0, 0.0,
                                                     static_cast<std::uint64_t>(start + 50));
    const std::span<const std::int16_t> signal = std::span(full).subspan(skip);
    Receiver receiver(p);
    receiver.keepScopeHistories(false);
    receiver.settings().colourMode = mode.mono ? 0 : 1;
    FramePhaseSearch search;
    search.start(p, mode.mono);
    // The first block's columns hold the silence before the signal too.
    for (long b = 0; b < 2L * blocks + 1; ++b) {
        receiver.processBlock(signal.subspan(static_cast<std::size_t>(b) * 768, 768));
        if (b >= 1) {
            search.addBlock(receiver.demodulated(), 9 * b);
        }
    }
    Sample out;
    out.mode = mode.name();
    out.heldOut = photo.heldOut;
    out.kind = search.kind();
    out.cues = search.boundaryCues();
    out.swing = search.pilotSwing();
    out.fieldWidth = p.fieldWidth;
    // Column t describes the transmitter's time skip + (t + 1) 256 / 3: a frame begins at the
    // column where skip + t 256 / 3 is a whole number of frames.
    const double frameStart =
        std::fmod(-3.0 * static_cast<double>(skip) / 256.0 + static_cast<double>(100 * period),
                  static_cast<double>(period));
    out.trueBoundary = std::fmod(frameStart, p.fieldWidth);
    const int boundary = roundHalfEven(out.trueBoundary) % p.fieldWidth;
    out.colours = search.colourScores(boundary);
    out.grey = photo.grey;
    out.trueFirst = static_cast<int>(std::floor(frameStart / p.fieldWidth)) % 3;
    if (p.pictureScheme == PictureScheme::Rggb) {
        const int got = search.alternationStart(boundary, &out.rggbStrength);
        out.rggbRight = circular(got, frameStart, static_cast<double>(period)) < 4.5;
    }
    return out;
}

// Whether the weights find the boundary; `swingShift` moves where the swing says the fields
// begin, as a transmitter that placed its swing otherwise would (before the receiver learns it).
bool boundaryRight(const Sample& s, const BoundaryWeights& w, double swingShift = 0.0) {
    const std::vector<double> swing =
        swingShift == 0.0
            ? s.cues.swing
            : FramePhaseSearch::swingCue(s.swing, swingFieldStart + swingShift, s.fieldWidth);
    int best = 0;
    double bestScore = -INFINITY;
    for (std::size_t c = 0; c < s.cues.vote.size(); ++c) {
        const double score = s.cues.vote[c] + w.colourStep * s.cues.colourStep[c] +
                             w.alternation * s.cues.alternation[c] +
                             w.continuity * s.cues.continuity[c] + w.swing * swing[c];
        if (score > bestScore) {
            bestScore = score;
            best = static_cast<int>(c);
        }
    }
    return circular(best, s.trueBoundary, s.fieldWidth) < 4.5;
}

// The hue prior from the training photographs: each pixel's hue, weighted by its strength, in
// hueBins bins; a floor of 0.2 % of the total in every bin, smoothed (1, 2, 1) / 4; logarithms
// of the shares.
void learnHues(const std::vector<Photo>& photos) {
    std::array<double, hueBins> count{};
    for (const Photo& photo : photos) {
        if (photo.heldOut) {
            continue;
        }
        for (const RgbImage* image : {&photo.square, &photo.wide}) {
            for (std::size_t i = 0; i + 2 < image->rgb.size(); i += 3) {
                double strength = 0.0;
                const int bin =
                    hueBin(image->rgb[i], image->rgb[i + 1], image->rgb[i + 2], strength);
                count[static_cast<std::size_t>(bin)] += strength;
            }
        }
    }
    double total = 0.0;
    for (double c : count) {
        total += c;
    }
    for (double& c : count) {
        c += 0.002 * total;
    }
    std::array<double, hueBins> smooth{};
    double all = 0.0;
    for (int i = 0; i < hueBins; ++i) {
        const auto at = [&](int j) {
            return count[static_cast<std::size_t>((j + hueBins) % hueBins)];
        };
        smooth[static_cast<std::size_t>(i)] = (at(i - 1) + 2.0 * at(i) + at(i + 1)) / 4.0;
        all += smooth[static_cast<std::size_t>(i)];
    }
    std::printf("hue prior from the training photos (naturalHueLog):\n");
    for (int i = 0; i < hueBins; ++i) {
        std::printf("%s%.3f",
                    i == 0       ? "    "
                    : i % 9 == 0 ? ",\n    "
                                 : ", ",
                    std::log(smooth[static_cast<std::size_t>(i)] / all));
    }
    std::printf("\n");
}

void learn(const std::vector<Photo>& all, const Options& o, const std::vector<Mode>& modes) {
    learnHues(all);
    std::vector<Sample> samples;
    for (const Photo& photo : all) {
        for (const Mode& mode : modes) {
            for (Channel channel : o.channels) {
                for (int s = 0; s < o.starts; ++s) {
                    samples.push_back(gather(mode, photo, channel, s));
                }
            }
        }
    }
    // The boundary weights per kind: the best on the training half over a grid (ties to the
    // smaller weights), then both halves with them. The swing's weight is the margin that makes
    // a boundary clear on its own (so that a picture overrules the swing only where it would be
    // trusted to teach a new one).
    const char* kindNames[frameKindCount] = {"mono", "rgb", "rggb"};
    const std::vector<double> colourSteps{0.0, 0.001, 0.002, 0.005, 0.01, 0.02};
    const std::vector<double> alternations{0.0, 0.05, 0.1, 0.2, 0.5, 1.0};
    const std::vector<double> continuities{0.0, 0.1, 0.2, 0.3, 0.5, 1.0, 2.0};
    for (int kind = 0; kind < frameKindCount; ++kind) {
        BoundaryWeights best;
        int bestRight = -1;
        for (double c : kind == monoFrame ? std::vector<double>{0.0} : colourSteps) {
            for (double a : kind == rggbFrame ? alternations : std::vector<double>{0.0}) {
                for (double n : continuities) {
                    int right = 0;
                    for (const Sample& s : samples) {
                        right += !s.heldOut && s.kind == kind &&
                                         boundaryRight(s, {c, a, n, clearBoundaryMargin})
                                     ? 1
                                     : 0;
                    }
                    if (right > bestRight) {
                        bestRight = right;
                        best = {c, a, n, clearBoundaryMargin};
                    }
                }
            }
        }
        const BoundaryWeights inUse = learnedBoundaryWeights(static_cast<FrameKind>(kind));
        std::printf("boundary weights, %s: colour step %.3f, alternation %.2f, continuity %.2f "
                    "(in use %.3f, %.2f, %.2f)\n",
                    kindNames[kind], best.colourStep, best.alternation, best.continuity,
                    inUse.colourStep, inUse.alternation, inUse.continuity);
    }
    // "picture": the weights in use without the swing; "foreign": with a swing half a swing
    // away from where this transmitter puts it (a transmitter not yet learnt).
    std::printf("\n%-18s %-9s %10s %10s %10s %10s %10s %10s\n", "mode", "half", "vote", "picture",
                "in use", "foreign", "colours", "guesses");
    for (const Mode& mode : modes) {
        for (bool heldOut : {false, true}) {
            int n = 0;
            int vote = 0;
            int inUse = 0;
            int picture = 0;
            int foreign = 0;
            int colourN = 0;
            int colourRight = 0;
            int guesses = 0;
            int guessRight = 0;
            for (const Sample& s : samples) {
                if (s.mode != mode.name() || s.heldOut != heldOut) {
                    continue;
                }
                ++n;
                vote += boundaryRight(s, {}) ? 1 : 0;
                const BoundaryWeights w = learnedBoundaryWeights(s.kind);
                inUse += boundaryRight(s, w) ? 1 : 0;
                picture += boundaryRight(s, {w.colourStep, w.alternation, w.continuity}) ? 1 : 0;
                foreign += boundaryRight(s, w, 0.5 * s.swing.period) ? 1 : 0;
                if (s.colours.size() == 3) {
                    ++colourN;
                    int first = 0;
                    for (int h = 1; h < 3; ++h) {
                        first = s.colours[static_cast<std::size_t>(h)] >
                                        s.colours[static_cast<std::size_t>(first)]
                                    ? h
                                    : first;
                    }
                    double second = -INFINITY;
                    for (int h = 0; h < 3; ++h) {
                        if (h != first) {
                            second = std::max(second, s.colours[static_cast<std::size_t>(h)]);
                        }
                    }
                    const bool right = first == s.trueFirst || s.grey;
                    colourRight += right ? 1 : 0;
                    const bool guess =
                        s.colours[static_cast<std::size_t>(first)] - second < colourGuessMargin;
                    guesses += guess ? 1 : 0;
                    guessRight += guess && right ? 1 : 0;
                    if (o.verbose) {
                        std::printf("    colour %s %s margin %.3f %s\n", mode.name().c_str(),
                                    heldOut ? "held-out" : "training",
                                    s.colours[static_cast<std::size_t>(first)] - second,
                                    right ? "right" : "wrong");
                    }
                } else if (mode.profile().pictureScheme == PictureScheme::Rggb) {
                    ++colourN;
                    colourRight += s.rggbRight ? 1 : 0;
                    if (o.verbose) {
                        std::printf("    rggb %s strength %.3f %s\n",
                                    heldOut ? "held-out" : "training", s.rggbStrength,
                                    s.rggbRight ? "right" : "wrong");
                    }
                }
            }
            std::printf("%-18s %-9s %9.1f%% %9.1f%% %9.1f%% %9.1f%%", mode.name().c_str(),
                        heldOut ? "held-out" : "training", percent(vote, n), percent(picture, n),
                        percent(inUse, n), percent(foreign, n));
            if (colourN > 0) {
                std::printf(" %9.1f%% %4d (%d right)", percent(colourRight, colourN), guesses,
                            guessRight);
            }
            std::printf("\n");
        }
    }
}

// ---- Dumping the folds for a study outside ------------------------------------------------

// Every photo's fold of `frames` frames of the tuned receiver's columns (as a search gathers
// them), per mode, channel and start, as float32 [phase][line] in DIR/N.f32, indexed in
// DIR/index.tsv with the truth (the frame's first column phase).
void dump(const std::vector<Photo>& all, const Options& o, const std::vector<Mode>& modes,
          const std::string& dir, int frames) {
    std::ofstream index(dir + "/index.tsv");
    int n = 0;
    for (const Photo& photo : all) {
        for (const Mode& mode : modes) {
            for (Channel channel : o.channels) {
                for (int start = 0; start < o.starts; ++start) {
                    const ReceiverProfile& p = mode.profile();
                    const long period = frameColumns(p, mode.mono);
                    const int blocks = static_cast<int>(period / 9);
                    std::mt19937 rng(static_cast<std::uint32_t>(
                        1000 * start + 41 + 7919 * std::hash<std::string>{}(photo.name) % 1000));
                    const int skipBlocks = std::uniform_int_distribution<int>(0, blocks - 1)(rng);
                    const std::size_t skip = static_cast<std::size_t>(
                        skipBlocks * 768 + std::uniform_int_distribution<int>(0, 300)(rng));
                    const RgbImage& picture = p.pictureColumns == 48 ? photo.square : photo.wide;
                    const std::vector<std::int16_t> full =
                        signalFor(mode, picture, frames + 2, channel, 20.0, 0.0, 0.0,
                                  static_cast<std::uint64_t>(start + 50));
                    const std::span<const std::int16_t> signal = std::span(full).subspan(skip);
                    Receiver receiver(p);
                    receiver.keepScopeHistories(false);
                    receiver.settings().colourMode = mode.mono ? 0 : 1;
                    const std::vector<int>& bins = p.carriers.lineBins;
                    std::vector<double> sum(static_cast<std::size_t>(period) * bins.size());
                    std::vector<double> squares(sum.size());
                    std::vector<int> count(static_cast<std::size_t>(period));
                    for (long b = 0; b < frames * blocks + 1; ++b) {
                        receiver.processBlock(
                            signal.subspan(static_cast<std::size_t>(b) * 768, 768));
                        if (b < 1) {
                            continue;
                        }
                        const DemodulatedBlock& v = receiver.demodulated();
                        for (int step = 1; step <= 3; ++step) {
                            for (int pass = 0; pass < analysisPasses; ++pass) {
                                const long t = (9 * b + 3 * (step - 1) + pass) % period;
                                for (std::size_t k = 0; k < bins.size(); ++k) {
                                    float x = v.d[pass][step][bins[k]];
                                    x = std::isnan(x) ? 0.0f : std::clamp(x, -1.0f, 1.0f);
                                    sum[static_cast<std::size_t>(t) * bins.size() + k] += x;
                                    squares[static_cast<std::size_t>(t) * bins.size() + k] += x * x;
                                }
                                ++count[static_cast<std::size_t>(t)];
                            }
                        }
                    }
                    // The noise variance of a fold value (its spread over the frames, for the
                    // mean).
                    double noise = 0.0;
                    double cells = 0.0;
                    for (std::size_t t = 0; t < count.size(); ++t) {
                        const double c = count[t];
                        if (c < 2.0) {
                            continue;
                        }
                        for (std::size_t k = 0; k < bins.size(); ++k) {
                            const double x = sum[t * bins.size() + k];
                            noise += (squares[t * bins.size() + k] - x * x / c) / (c - 1.0) / c;
                            cells += 1.0;
                        }
                    }
                    noise = cells > 0.0 ? noise / cells : 0.0;
                    std::vector<float> out(sum.size());
                    for (std::size_t t = 0; t < count.size(); ++t) {
                        for (std::size_t k = 0; k < bins.size(); ++k) {
                            out[t * bins.size() + k] = static_cast<float>(sum[t * bins.size() + k] /
                                                                          std::max(count[t], 1));
                        }
                    }
                    std::ofstream data(dir + "/" + std::to_string(n) + ".f32", std::ios::binary);
                    data.write(reinterpret_cast<const char*>(out.data()),
                               static_cast<std::streamsize>(out.size() * sizeof(float)));
                    const double frameStart = std::fmod(-3.0 * static_cast<double>(skip) / 256.0 +
                                                            static_cast<double>(100 * period),
                                                        static_cast<double>(period));
                    index << n << '\t' << photo.name << '\t'
                          << (photo.heldOut ? "held-out" : "training") << '\t' << p.name << '\t'
                          << (mode.mono ? "mono" : "colour") << '\t' << channelName(channel) << '\t'
                          << start << '\t' << period << '\t' << p.fieldWidth << '\t' << bins.size()
                          << '\t' << frameStart << '\t' << noise << '\n';
                    ++n;
                }
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--half" && more) {
            o.half = argv[++i];
        } else if (a == "--starts" && more) {
            o.starts = std::atoi(argv[++i]);
        } else if (a == "--conditions" && more) {
            o.conditions = split(argv[++i]);
        } else if (a == "--channels" && more) {
            o.channels.clear();
            for (const std::string& c : split(argv[++i])) {
                o.channels.push_back(c == "band"  ? Channel::Band
                                     : c == "mp3" ? Channel::Mp3
                                                  : Channel::Noise);
            }
        } else if (a == "--programs" && more) {
            o.programs = split(argv[++i]);
        } else if (a == "--photos" && more) {
            o.photos = argv[++i];
        } else if (a == "--only" && more) {
            o.only = argv[++i];
        } else if (a == "--verbose") {
            o.verbose = true;
        } else {
            std::fprintf(stderr,
                         "usage: frame_phase_study [--half held-out|training|all] [--starts N]\n"
                         "  [--conditions phase,auto,psnr] [--channels noise,band,mp3]\n"
                         "  [--programs nbtv48,nbtv96,nbtv96rggb] [--photos DIR] [--only PHOTO]\n"
                         "  [--verbose]\n");
            return 2;
        }
    }
    std::vector<Photo> photos;
    std::vector<Photo> everything = loadPhotos(o.photos);
    for (Photo& p : everything) {
        if ((o.half == "all" || (o.half == "held-out") == p.heldOut) &&
            (o.only.empty() || o.only == p.name)) {
            photos.push_back(p);
        }
    }
    std::vector<Mode> modes;
    for (const std::string& name : o.programs) {
        const ReceiverProfile* profile = findProfile(name);
        if (profile == nullptr) {
            std::fprintf(stderr, "frame_phase_study: unknown program %s\n", name.c_str());
            return 2;
        }
        const auto fn = name == "nbtv48"   ? &nbtv48Profile
                        : name == "nbtv96" ? &nbtv96Profile
                                           : &nbtv96rggbProfile;
        modes.push_back({fn, false});
        if (profile->hasMonochrome) {
            modes.push_back({fn, true});
        }
    }
    std::printf("%zu %s photos, %d starts each, SNR 20 dB\n", photos.size(), o.half.c_str(),
                o.starts);
    for (const std::string& condition : o.conditions) {
        if (condition.rfind("dump:", 0) == 0) {
            // dump:DIR:FRAMES
            const std::vector<std::string> parts = [&] {
                std::vector<std::string> v;
                std::istringstream in(condition);
                std::string item;
                while (std::getline(in, item, ':')) {
                    v.push_back(item);
                }
                return v;
            }();
            dump(everything, o, modes, parts.at(1),
                 parts.size() > 2 ? std::atoi(parts[2].c_str()) : 2);
            continue;
        }
        if (condition == "learn") {
            learn(everything, o, modes);
            continue;
        }
        if (condition == "phase") {
            std::printf("\nphase (tuning right): boundary and colour order right after 2 frames; "
                        "after 6 frames\n");
            std::printf("%-18s %-6s %10s %10s %10s %10s\n", "program", "channel", "boundary",
                        "colours", "boundary6", "colours6");
        } else if (condition == "auto") {
            std::printf("\nauto (7.3 Hz, 0.13 %% slow, all automatic): right after 12 colour "
                        "frames' time\n");
            std::printf("%-18s %-6s %10s %10s\n", "program", "channel", "boundary", "colours");
        } else {
            std::printf("\npsnr (clean, 7.3 Hz, 0.13 %% slow, --auto --enhanced --denoise, 12 "
                        "colour frames' time): auto minus careful where the phase is right\n");
            std::printf("%-18s %10s %10s %10s %10s\n", "program", "boundary", "colours", "mean dB",
                        "worst dB");
        }
        for (const Mode& mode : modes) {
            const std::vector<Channel> channels =
                condition == "psnr" ? std::vector<Channel>{Channel::Noise} : o.channels;
            for (Channel channel : channels) {
                Tally t;
                for (const Photo& photo : photos) {
                    for (int s = 0; s < o.starts; ++s) {
                        if (condition == "phase") {
                            runPhase(mode, photo, channel, s, t, o.verbose);
                        } else {
                            runAuto(mode, photo, channel, s, condition == "psnr", t, o.verbose);
                        }
                    }
                }
                if (condition == "phase") {
                    std::printf("%-18s %-6s %9.1f%% %9.1f%% %9.1f%% %9.1f%%\n", mode.name().c_str(),
                                channelName(channel), percent(t.boundary, t.runs),
                                percent(t.colours, t.runs), percent(t.lateBoundary, t.runs),
                                percent(t.lateColours, t.runs));
                } else if (condition == "auto") {
                    std::printf("%-18s %-6s %9.1f%% %9.1f%%\n", mode.name().c_str(),
                                channelName(channel), percent(t.boundary, t.runs),
                                percent(t.colours, t.runs));
                } else {
                    std::printf("%-18s %9.1f%% %9.1f%% %10.2f %10.2f\n", mode.name().c_str(),
                                percent(t.boundary, t.runs), percent(t.colours, t.runs),
                                t.psnrRuns > 0 ? t.psnrSum / t.psnrRuns : 0.0,
                                t.psnrRuns > 0 ? t.psnrWorst : 0.0);
                }
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
