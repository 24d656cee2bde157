// PSNR against the sent card of the third received picture (of four sent), ordinary path against
// the enhanced path with and without shrinkage, for every program and mode, test card and noise
// level; or, with `channels`, the mean PSNR of every picture from the third on of real
// photographs (the held-out half) through the channels a short-wave listener meets, for a careful
// user (settings right at the start, nothing automatic). With `channels`, `--only TEXT` keeps
// the channels whose name holds TEXT, `--program NAME` one program, and `--training` measures on
// the training half instead (for choosing constants). With `--auto` the receiver starts as a
// careful user starts it (settings right) and then tunes itself as `nbtv decode --auto` does:
// automatic fine tune and calibration (the frame phase is left as set: this measures the
// tuning, not the frame-phase search). With `--moving` the photograph pans by one column a
// frame, each picture measured against the frame it shows: what combining still frames must not
// smear.
//
// `drift` sends one photograph (the first of the half) for ten minutes through a radio whose
// oscillator drifts (2 Hz a minute, `--rate HZ` a minute; 0 for a steady signal), receives it
// with `--auto` (or, with `--fixed`, with the settings fixed; with `--find-phase`, also "Find
// frame phase" from the start, whose looks must follow the creep of the ordinary picture) and
// prints, minute by minute, the PSNR of the enhanced and the ordinary picture and the fine
// tune's error (mean and RMS scatter about the mean, Hz), then the first and the last picture's
// PSNR.
//
//   build/release/bench/enhanced_quality [bars|ramp|detail]
//   build/release/bench/enhanced_quality channels [--only TEXT] [--program NAME] [--training]
//       [--auto] [--moving]
//   build/release/bench/enhanced_quality drift [--minutes N] [--rate HZ] [--program NAME]
//       [--training] [--fixed] [--find-phase]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Mp3RoundTrip.h"
#include "enhance/EnhancedReceiver.h"
#include "io/ImageFile.h"
#include "profiles/ReceiverProfile.h"
#include "session/ReceiveSession.h"
#include "session/Receiver.h"
#include "support/Reception.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace {

using namespace nbtv;

struct Pictures {
    std::vector<RgbImage> ordinary;
    std::vector<RgbImage> enhanced;
};

// The session as a careful user starts it (settings right for a signal with no offset and no
// rate error), with the automatic fine tune and calibration on when `automatic`.
void startSession(ReceiveSession& session, bool mono, bool denoise, bool automatic) {
    Receiver& receiver = session.receiver();
    receiver.keepScopeHistories(false);
    receiver.settings().colourMode = mono ? 0 : 1;
    session.setEnhanced(true, denoise);
    if (automatic) {
        session.tuner().setFineTune(true);
        session.tuner().setCalibration(true);
    }
}

Pictures receive(const ReceiverProfile& profile, const std::vector<std::int16_t>& signal, bool mono,
                 bool denoise, bool automatic = false) {
    ReceiveSession session(profile);
    Receiver& receiver = session.receiver();
    session.setEnhancedSecondThread(true); // as nbtv decode runs it: the same pictures, sooner
    startSession(session, mono, denoise, automatic);
    Pictures out;
    session.setPictureListener(
        [&](const SessionPicture& picture) { out.enhanced.push_back(*picture.picture); });
    std::size_t at = 0;
    for (;;) {
        const auto length = static_cast<std::size_t>(receiver.settings().blockLength);
        if (at + length > signal.size()) {
            break;
        }
        if (session.processBlock(std::span(signal).subspan(at, length)).frameCompleted) {
            out.ordinary.push_back(
                toRgbImage(receiver.pictureSurface(), profile.geometry.pictureCrop));
        }
        at += length;
    }
    session.finish();
    return out;
}

// The first `count` photographs of one half ("held-out" or "training"), scaled to the profile's
// picture.
std::vector<RgbImage> halfPhotos(const ReceiverProfile& profile, std::size_t count,
                                 const std::string& wanted) {
    const std::string dir = NBTV_PHOTO_DIR;
    std::ifstream list(dir + "/photos.tsv");
    const std::string size =
        std::to_string(profile.pictureColumns) + "x" + std::to_string(profile.pictureLines);
    std::vector<RgbImage> photos;
    std::string line;
    while (photos.size() < count && std::getline(list, line)) {
        std::istringstream fields(line);
        std::string name;
        std::string half;
        if (line.empty() || line[0] == '#' || !std::getline(fields, name, '\t') ||
            !std::getline(fields, half, '\t') || half != wanted) {
            continue;
        }
        RgbImage photo;
        std::string error;
        if (loadImageScaled(dir + "/" + size + "/" + name + ".png", profile.pictureColumns,
                            profile.pictureLines, photo, error)) {
            photos.push_back(photo);
        } else {
            std::fprintf(stderr, "%s\n", error.c_str());
        }
    }
    return photos;
}

struct Channel {
    const char* name;
    ChannelImpairments impairments;
    int mp3BitRate = 0; // the received signal went through MP3 at this rate (0: not)
};

std::vector<Channel> shortWaveChannels() {
    std::vector<Channel> channels;
    const auto add = [&](const char* name, auto&& set) {
        Channel c{name, {}};
        c.impairments.seed = 5;
        set(c.impairments);
        channels.push_back(c);
    };
    add("clean", [](ChannelImpairments&) {});
    add("SNR 20 dB", [](ChannelImpairments& c) { c.snrDb = 20.0; });
    add("SSB 300-2700 + AGC", [](ChannelImpairments& c) {
        c.passband = Passband{};
        c.agc = true;
    });
    add("two-path 1 ms 0.5 Hz", [](ChannelImpairments& c) { c.fading = Fading{}; });
    add("two-path + SNR 20", [](ChannelImpairments& c) {
        c.fading = Fading{};
        c.snrDb = 20.0;
    });
    add("flat fading 0.5 Hz", [](ChannelImpairments& c) {
        c.fading = Fading{Fading::Kind::Flat, 0.0, 0.5};
    });
    add("crashes 0.5/s", [](ChannelImpairments& c) { c.crashesPerSecond = 0.5; });
    add("drift 2 Hz/min", [](ChannelImpairments& c) { c.driftHzPerMinute = 2.0; });
    add("carrier -6 dB", [](ChannelImpairments& c) {
        c.interferer = Interferer{1010.0, -6.0, false};
    });
    add("keyed CW -6 dB", [](ChannelImpairments& c) {
        c.interferer = Interferer{1010.0, -6.0, true};
    });
    add("web receiver", [](ChannelImpairments& c) {
        c.snrDb = 20.0;
        c.crashesPerSecond = 0.5;
        c.driftHzPerMinute = 2.0;
        c.passband = Passband{};
        c.agc = true;
    });
    add("MP3 32 kbit/s", [](ChannelImpairments&) {});
    channels.back().mp3BitRate = 32000;
    return channels;
}

// Picture i shows frame i of `sent` (the frames repeat).
double meanPsnr(const std::vector<RgbImage>& received, const std::vector<RgbImage>& sent,
                int enlarge) {
    double sum = 0.0;
    int n = 0;
    for (std::size_t i = 2; i < received.size(); ++i) {
        const RgbImage& frame = sent[i % sent.size()];
        sum += test::psnr(received[i], enlarge > 1 ? test::enlarge(frame, enlarge) : frame);
        ++n;
    }
    return n > 0 ? sum / n : NAN;
}

// The frames of `photo` panning right by one column a frame (the column leaving on the right
// comes back on the left).
std::vector<RgbImage> panning(const RgbImage& photo, int frames) {
    std::vector<RgbImage> out;
    for (int f = 0; f < frames; ++f) {
        RgbImage frame(photo.width, photo.height);
        for (int y = 0; y < photo.height; ++y) {
            for (int x = 0; x < photo.width; ++x) {
                const std::uint8_t* from =
                    photo.pixel((x - f % photo.width + photo.width) % photo.width, y);
                std::copy(from, from + 3, frame.pixel(x, y));
            }
        }
        out.push_back(std::move(frame));
    }
    return out;
}

std::vector<const ReceiverProfile*> chosenProfiles(const std::string& program) {
    std::vector<const ReceiverProfile*> profiles;
    for (const ReceiverProfile* profile : allProfiles()) {
        if (program.empty() || profile->name == program) {
            profiles.push_back(profile);
        }
    }
    return profiles;
}

int channelTable(const std::string& only, const std::string& program, const std::string& half,
                 bool automatic, bool moving) {
    std::vector<Channel> channels;
    for (const Channel& channel : shortWaveChannels()) {
        if (std::string(channel.name).find(only) != std::string::npos) {
            channels.push_back(channel);
        }
    }
    const std::vector<const ReceiverProfile*> profiles = chosenProfiles(program);
    std::printf("%-22s", "channel");
    for (const ReceiverProfile* profile : profiles) {
        std::printf(" %12s ord %12s enh", profile->name.c_str(), "");
    }
    std::printf("\n");
    std::vector<std::vector<RgbImage>> photos;
    for (const ReceiverProfile* profile : profiles) {
        photos.push_back(halfPhotos(*profile, 4, half));
    }
    for (const Channel& channel : channels) {
        std::printf("%-22s", channel.name);
        for (std::size_t p = 0; p < profiles.size(); ++p) {
            double ordinary = 0.0;
            double enhanced = 0.0;
            for (const RgbImage& photo : photos[p]) {
                TransmitOptions options;
                options.frames = 8;
                options.channel = channel.impairments;
                const std::vector<RgbImage> frames =
                    moving ? panning(photo, options.frames) : std::vector<RgbImage>{photo};
                auto signal = transmitSequence(*profiles[p], frames, options);
                if (channel.mp3BitRate > 0) {
                    std::string error;
                    signal = bench::mp3RoundTrip(signal, profiles[p]->sampleRate,
                                                 channel.mp3BitRate, error);
                    if (signal.empty()) {
                        std::fprintf(stderr, "%s\n", error.c_str());
                        return 1;
                    }
                }
                const Pictures got = receive(*profiles[p], signal, false, true, automatic);
                ordinary += meanPsnr(got.ordinary, frames, 3);
                enhanced += meanPsnr(got.enhanced, frames, 1);
            }
            const double n = static_cast<double>(std::max<std::size_t>(photos[p].size(), 1));
            std::printf(" %16.2f %16.2f", ordinary / n, enhanced / n);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}

// Ten minutes (or `minutes`) of one photograph through a drifting radio, received with the
// automatic tuning on (or the settings fixed): minute by minute, the pictures' PSNR and the
// fine tune's error.
int driftRun(const std::string& program, const std::string& half, double minutes,
             double hzPerMinute, bool automatic, bool findPhase) {
    std::printf("%s, drift %.2f Hz a minute, %s%s\n", half.c_str(), hzPerMinute,
                automatic ? "automatic fine tune and calibration" : "settings fixed",
                findPhase ? ", frame phase found and followed" : "");
    std::printf("%-12s %6s %8s %8s %10s %10s\n", "program", "minute", "enh dB", "ord dB",
                "tune mean", "tune rms");
    for (const ReceiverProfile* profile : chosenProfiles(program)) {
        const std::vector<RgbImage> photos = halfPhotos(*profile, 1, half);
        if (photos.empty()) {
            return 1;
        }
        const RgbImage& photo = photos.front();
        TransmitOptions options;
        options.channel.driftHzPerMinute = hzPerMinute;
        options.channel.seed = 5;
        const double frameSeconds =
            static_cast<double>(signalSamples(*profile, false, 0.0, 1)) / profile->sampleRate;
        options.frames = static_cast<int>(std::ceil(minutes * 60.0 / frameSeconds));
        const std::vector<std::int16_t> signal = transmit(*profile, photo, options);

        ReceiveSession session(*profile);
        Receiver& receiver = session.receiver();
        startSession(session, false, true, automatic);
        if (findPhase) {
            session.tuner().findFramePhase();
        }
        // Each picture with the transmitter's time (s) at which it was shown.
        std::vector<std::pair<double, double>> enhanced;
        std::vector<std::pair<double, double>> ordinary;
        std::size_t at = 0;
        session.setPictureListener([&](const SessionPicture& shown) {
            if (shown.picture != nullptr) {
                enhanced.emplace_back(static_cast<double>(at) / profile->sampleRate,
                                      test::psnr(*shown.picture, photo));
            }
        });
        // The fine tune's error (the tune plus the offset heard) block by block, per minute.
        const int minuteCount = static_cast<int>(std::ceil(minutes));
        std::vector<double> sum(static_cast<std::size_t>(minuteCount), 0.0);
        std::vector<double> squares(sum.size(), 0.0);
        std::vector<int> count(sum.size(), 0);
        const RgbImage big = test::enlarge(photo, 3);
        for (;;) {
            const auto length = static_cast<std::size_t>(receiver.settings().blockLength);
            if (at + length > signal.size()) {
                break;
            }
            const double t = static_cast<double>(at) / profile->sampleRate;
            const double error =
                static_cast<double>(receiver.settings().fineTuneHz) + hzPerMinute * t / 60.0;
            // After the first 20 s: the acquisition's own steps are not the loop's scatter.
            const auto minute =
                static_cast<std::size_t>(std::min<double>(t / 60.0, minuteCount - 1));
            if (t > 20.0) {
                sum[minute] += error;
                squares[minute] += error * error;
                ++count[minute];
            }
            const bool completed =
                session.processBlock(std::span(signal).subspan(at, length)).frameCompleted;
            at += length;
            if (completed) {
                ordinary.emplace_back(t, test::psnr(toRgbImage(receiver.pictureSurface(),
                                                               profile->geometry.pictureCrop),
                                                    big));
            }
        }
        // The picture finish() composes from the shorter last segment is not a steady one.
        auto meanOver = [](const std::vector<std::pair<double, double>>& pictures, double from,
                           double to) {
            double s = 0.0;
            int n = 0;
            for (std::size_t i = 2; i < pictures.size(); ++i) {
                if (pictures[i].first >= from && pictures[i].first < to) {
                    s += pictures[i].second;
                    ++n;
                }
            }
            return n > 0 ? s / n : NAN;
        };
        for (int m = 0; m < minuteCount; ++m) {
            const auto i = static_cast<std::size_t>(m);
            const double mean = count[i] > 0 ? sum[i] / count[i] : NAN;
            const double rms =
                count[i] > 0 ? std::sqrt(std::max(0.0, squares[i] / count[i] - mean * mean)) : NAN;
            std::printf("%-12s %6d %8.2f %8.2f %10.4f %10.4f\n", profile->name.c_str(), m + 1,
                        meanOver(enhanced, 60.0 * m, 60.0 * (m + 1)),
                        meanOver(ordinary, 60.0 * m, 60.0 * (m + 1)), mean, rms);
        }
        // The third picture (the first a careful user's table counts) and the first shown
        // after 20 s (the tuning's acquisition over), against the last.
        const double first = enhanced.size() > 2 ? enhanced[2].second : NAN;
        double settled = NAN;
        for (const auto& [t, value] : enhanced) {
            if (t > 20.0) {
                settled = value;
                break;
            }
        }
        const double last = enhanced.size() > 3 ? enhanced.back().second : NAN;
        std::printf("%-12s third %.2f dB, first after 20 s %.2f dB, last %.2f dB (%zu pictures): "
                    "last - first after 20 s %.2f dB\n",
                    profile->name.c_str(), first, settled, last, enhanced.size(), last - settled);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "drift") == 0) {
        std::string program;
        std::string half = "held-out";
        double minutes = 10.0;
        double rate = 2.0;
        bool automatic = true;
        bool findPhase = false;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--training") == 0) {
                half = "training";
            } else if (std::strcmp(argv[i], "--fixed") == 0) {
                automatic = false;
            } else if (std::strcmp(argv[i], "--find-phase") == 0) {
                findPhase = true;
            } else if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
                minutes = std::atof(argv[++i]);
            } else if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc) {
                rate = std::atof(argv[++i]);
            } else if (std::strcmp(argv[i], "--program") == 0 && i + 1 < argc) {
                program = argv[++i];
            } else {
                std::fprintf(stderr, "unknown argument %s\n", argv[i]);
                return 2;
            }
        }
        return driftRun(program, half, minutes, rate, automatic, findPhase);
    }
    if (argc > 1 && std::strcmp(argv[1], "channels") == 0) {
        std::string only;
        std::string program;
        std::string half = "held-out";
        bool automatic = false;
        bool moving = false;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--training") == 0) {
                half = "training";
            } else if (std::strcmp(argv[i], "--auto") == 0) {
                automatic = true;
            } else if (std::strcmp(argv[i], "--moving") == 0) {
                moving = true;
            } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
                only = argv[++i];
            } else if (std::strcmp(argv[i], "--program") == 0 && i + 1 < argc) {
                program = argv[++i];
            } else {
                std::fprintf(stderr, "unknown argument %s\n", argv[i]);
                return 2;
            }
        }
        return channelTable(only, program, half, automatic, moving);
    }
    TestCardKind kind = TestCardKind::Bars;
    if (argc > 1 && std::strcmp(argv[1], "ramp") == 0) {
        kind = TestCardKind::Ramp;
    } else if (argc > 1 && std::strcmp(argv[1], "detail") == 0) {
        kind = TestCardKind::Detail;
    }
    const std::vector<std::optional<double>> noise{std::nullopt, 30.0, 20.0, 10.0, 5.0};
    std::printf("%-18s %-9s %8s %8s %8s %8s %8s\n", "program", "path", "clean", "SNR 30", "SNR 20",
                "SNR 10", "SNR 5");
    for (const ReceiverProfile* profile :
         {&nbtv48Profile(), &nbtv96Profile(), &nbtv96rggbProfile()}) {
        for (bool mono : {false, true}) {
            if (mono && !profile->hasMonochrome) {
                continue;
            }
            const RgbImage card =
                makeTestCard(kind, profile->pictureColumns, profile->pictureLines);
            const RgbImage sent = mono ? test::luminance(card) : card;
            double rows[3][5] = {};
            for (std::size_t i = 0; i < noise.size(); ++i) {
                TransmitOptions options;
                options.mono = mono;
                options.frames = mono ? 4 * profile->fieldsPerFrame : 4;
                options.channel.snrDb = noise[i];
                options.channel.seed = 3;
                const auto signal = transmit(*profile, card, options);
                const Pictures plain = receive(*profile, signal, mono, false);
                const Pictures shrunk = receive(*profile, signal, mono, true);
                rows[0][i] = plain.ordinary.size() > 2
                                 ? test::psnr(plain.ordinary[2], test::enlarge(sent, 3))
                                 : NAN;
                rows[1][i] = plain.enhanced.size() > 2 ? test::psnr(plain.enhanced[2], sent) : NAN;
                rows[2][i] =
                    shrunk.enhanced.size() > 2 ? test::psnr(shrunk.enhanced[2], sent) : NAN;
            }
            const char* names[3] = {"ordinary", "enhanced", "+denoise"};
            for (int r = 0; r < 3; ++r) {
                std::printf("%-18s %-9s", (profile->name + (mono ? " mono" : " colour")).c_str(),
                            names[r]);
                for (double v : rows[r]) {
                    std::printf(" %8.2f", v);
                }
                std::printf("\n");
            }
        }
    }
    return 0;
}
