// nbtv info: what an audio, video (AVI) or frame (.tv) file holds, and for audio which program
// it suits, judged by the pilot bins.

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "Commands.h"
#include "ConvertInfo.h"
#include "audio/AudioFile.h"
#include "demod/Fft256.h"
#include "profiles/ReceiverProfile.h"
#include "recording/FrameFileReader.h"
#include "shell/AtomicFile.h"
#include "shell/FfmpegSupport.h"

namespace nbtv::cli {

namespace {

constexpr int bins = Fft256::size / 2;
// A pilot counts when its bin is within 13 dB of the strongest bin, not 3 dB below its
// neighbours nor 10 dB above them (a pilot rides among line carriers: a lone tone is no pilot),
// and its tone sits at the bin centre (see PilotMeasure::centring).
constexpr double minShareOfPeak = 0.05;
constexpr double minNeighbourRatio = 0.5;
constexpr double maxNeighbourRatio = 10.0;
constexpr int maxSampleRate = 768000;
constexpr double minCentring = 0.8;

bool endsWithTv(const std::string& path) {
    if (path.size() < 3) {
        return false;
    }
    std::string tail = path.substr(path.size() - 3);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".tv";
}

struct PilotMeasure {
    int bin = 0;
    double neighbourRatio = 0.0; // energy in the bin over the mean of the two either side
    double shareOfPeak = 0.0;    // energy in the bin over the strongest bin's
    // The mean cosine of the phase step of the bin from one 256-sample block to the next,
    // weighted by magnitude: near 1 for a tone at the bin centre, as every carrier of a program
    // is at its own rate; far lower for a tone between bins, as at another program's rate.
    double centring = 0.0;

    bool present() const {
        return shareOfPeak >= minShareOfPeak && neighbourRatio >= minNeighbourRatio &&
               neighbourRatio <= maxNeighbourRatio && centring >= minCentring;
    }
};

struct Spectrum {
    std::array<double, bins> energy{};
    std::array<double, bins> stepCosine{}; // sum of Re(X_b conj X_b-1)
    std::array<double, bins> stepSine{};   // sum of Im(X_b conj X_b-1)
    std::array<double, bins> stepWeight{}; // sum of |X_b| |X_b-1|
    long long blocks = 0;
};

// The whole file read at `rate` in 256-sample blocks.
Spectrum analyse(const std::string& path, int rate) {
    AudioFileReader reader;
    if (!reader.open(path, rate)) {
        throw RunError(reader.error());
    }
    static const Fft256 fft;
    Spectrum s;
    std::array<std::int16_t, Fft256::size> block{};
    std::array<float, Fft256::size> re{};
    std::array<float, Fft256::size> im{};
    std::array<double, bins> lastRe{};
    std::array<double, bins> lastIm{};
    while (reader.read(block.data(), block.size()) == block.size()) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            re[i] = static_cast<float>(block[i]);
            im[i] = 0.0f;
        }
        fft.transform(re.data(), im.data());
        for (int k = 0; k < bins; ++k) {
            const auto at = static_cast<std::size_t>(fft.position(k));
            const double xr = re[at];
            const double xi = im[at];
            const auto kk = static_cast<std::size_t>(k);
            s.energy[kk] += xr * xr + xi * xi;
            if (s.blocks > 0) {
                s.stepCosine[kk] += xr * lastRe[kk] + xi * lastIm[kk];
                s.stepSine[kk] += xi * lastRe[kk] - xr * lastIm[kk];
                s.stepWeight[kk] += std::hypot(xr, xi) * std::hypot(lastRe[kk], lastIm[kk]);
            }
            lastRe[kk] = xr;
            lastIm[kk] = xi;
        }
        ++s.blocks;
    }
    if (!reader.error().empty()) {
        throw RunError(reader.error());
    }
    return s;
}

// A mistuned radio moves every tone by the same few hertz, so at a program's rate every carrier's
// phase steps by the same angle from block to block. When the bins agree on one angle, it is
// taken out before the pilots are judged; when they do not (another program's rate, or a
// plain tone), nothing is taken out.
constexpr double minTuningAgreement = 0.6;

struct Rotation {
    double cosine = 1.0;
    double sine = 0.0;
};

Rotation commonTuning(const Spectrum& s) {
    double c = 0.0;
    double n = 0.0;
    double w = 0.0;
    for (std::size_t k = 1; k < bins; ++k) {
        c += s.stepCosine[k];
        n += s.stepSine[k];
        w += s.stepWeight[k];
    }
    const double length = std::hypot(c, n);
    if (w <= 0.0 || length < minTuningAgreement * w) {
        return {};
    }
    return {c / length, n / length};
}

PilotMeasure measure(const Spectrum& s, int bin) {
    PilotMeasure m;
    m.bin = bin;
    const auto e = [&](int k) { return s.energy[static_cast<std::size_t>(k)]; };
    const double peak = *std::max_element(s.energy.begin() + 1, s.energy.end());
    const double self = e(bin);
    double around = 0.0;
    int count = 0;
    for (int k = bin - 2; k <= bin + 2; ++k) {
        if (k != bin && k > 0 && k < bins) {
            around += e(k);
            ++count;
        }
    }
    around /= std::max(count, 1);
    m.neighbourRatio = around > 0.0 ? self / around : (self > 0.0 ? 1e9 : 0.0);
    m.shareOfPeak = peak > 0.0 ? self / peak : 0.0;
    const double weight = s.stepWeight[static_cast<std::size_t>(bin)];
    const Rotation tuning = commonTuning(s);
    const auto b = static_cast<std::size_t>(bin);
    // The real part of the step with the common angle turned back.
    const double step = s.stepCosine[b] * tuning.cosine + s.stepSine[b] * tuning.sine;
    m.centring = weight > 0.0 ? step / weight : 0.0;
    return m;
}

std::vector<int> pilotsOf(const ReceiverProfile& profile) {
    std::vector<int> pilots{profile.carriers.pilotBin};
    if (profile.carriers.secondPilotBin > 0) {
        pilots.push_back(profile.carriers.secondPilotBin);
    }
    return pilots;
}

std::string decibels(double ratio) {
    char text[32];
    if (ratio <= 0.0) {
        return "-inf dB";
    }
    std::snprintf(text, sizeof text, "%+.1f dB", 10.0 * std::log10(ratio));
    return text;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", value);
    return text;
}

void reportAudioProgram(const std::string& path) {
    // Each rate once, whatever number of programs share it.
    std::vector<std::pair<int, Spectrum>> spectra;
    const auto spectrumAt = [&](int rate) -> const Spectrum& {
        for (const auto& [r, s] : spectra) {
            if (r == rate) {
                return s;
            }
        }
        spectra.emplace_back(rate, analyse(path, rate));
        return spectra.back().second;
    };
    std::string best;
    std::size_t bestPilots = 0;
    double bestScore = 0.0;
    std::printf("pilot bins (energy against the neighbouring bins, centring):\n");
    for (const std::string& name : profileNames()) {
        const ReceiverProfile& profile = *findProfile(name);
        const Spectrum& s = spectrumAt(profile.sampleRate);
        bool all = s.blocks > 1;
        double score = 1.0;
        std::string line;
        for (const int bin : pilotsOf(profile)) {
            const PilotMeasure m = measure(s, bin);
            char centring[32];
            std::snprintf(centring, sizeof centring, "%.2f", m.centring);
            line +=
                "  bin " + std::to_string(bin) + " " + decibels(m.neighbourRatio) + " " + centring;
            all = all && m.present();
            score = std::min(score, m.centring);
        }
        std::printf("  %-11s at %5d Hz:%s%s\n", name.c_str(), profile.sampleRate, line.c_str(),
                    all ? "  (pilot found)" : "");
        // Two pilots found together are the stronger evidence: one program's line carrier can
        // sit in another's single pilot bin, but not in both of nbtv96rggb's.
        const std::size_t pilots = pilotsOf(profile).size();
        if (all && (pilots > bestPilots || (pilots == bestPilots && score > bestScore))) {
            best = name;
            bestPilots = pilots;
            bestScore = score;
        }
    }
    std::printf("suits: %s\n", best.empty() ? "no pilot found" : best.c_str());
}

// The FFmpeg input, closed on every way out.
struct Input {
    AVFormatContext* format = nullptr;
    ~Input() { avformat_close_input(&format); }
};

double streamSeconds(const AVFormatContext* format, const AVStream* stream) {
    if (stream->duration > 0) {
        return static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    }
    return format->duration > 0 ? static_cast<double>(format->duration) / AV_TIME_BASE : 0.0;
}

std::string codecName(const AVCodecParameters* par) {
    const char* name = avcodec_get_name(par->codec_id);
    return name != nullptr ? name : "unknown";
}

void reportVideo(const std::string& path, Input& in, int index) {
    AVStream* stream = in.format->streams[index];
    const AVCodecParameters* par = stream->codecpar;
    long long frames = stream->nb_frames;
    if (frames <= 0) {
        // No count in the header: count the packets.
        AVPacket* packet = av_packet_alloc();
        frames = 0;
        while (packet != nullptr && av_read_frame(in.format, packet) >= 0) {
            frames += packet->stream_index == index ? 1 : 0;
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    AVRational rate = stream->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) {
        rate = stream->r_frame_rate;
    }
    std::printf("%s: video\n", quotedPath(path).c_str());
    std::printf("format: %s\n", in.format->iformat->name);
    std::printf("codec: %s\n", codecName(par).c_str());
    std::printf("size: %d x %d\n", par->width, par->height);
    std::printf("frames: %lld\n", frames);
    if (rate.num > 0 && rate.den > 0) {
        std::printf("rate: %g frames a second\n", av_q2d(rate));
    } else {
        std::printf("rate: unknown\n");
    }
    std::printf("duration: %s\n", seconds(streamSeconds(in.format, stream)).c_str());
}

void reportAudio(const std::string& path, Input& in, int index) {
    const AVStream* stream = in.format->streams[index];
    const AVCodecParameters* par = stream->codecpar;
    // Far above any sound card; resampling from such a rate would need gigabytes of filter.
    if (par->sample_rate <= 0 || par->sample_rate > maxSampleRate) {
        throw RunError(quotedPath(path) + ": absurd sample rate " +
                       std::to_string(par->sample_rate) + " Hz");
    }
    std::printf("%s: audio\n", quotedPath(path).c_str());
    std::printf("format: %s (%s)\n", in.format->iformat->name, codecName(par).c_str());
    std::printf("sample rate: %d Hz\n", par->sample_rate);
    std::printf("channels: %d\n", par->ch_layout.nb_channels);
    std::printf("duration: %s\n", seconds(streamSeconds(in.format, stream)).c_str());
    std::fflush(stdout);
    reportAudioProgram(path);
}

void reportFrameFile(const std::string& path) {
    FrameFileReader reader;
    if (!reader.open(path)) {
        throw RunError(reader.error());
    }
    std::vector<std::uint8_t> pixels;
    FrameFileReader::Status status = FrameFileReader::Status::Record;
    while ((status = reader.next(pixels)) == FrameFileReader::Status::Record) {
    }
    if (status == FrameFileReader::Status::Bad) {
        throw RunError(reader.error());
    }
    std::printf("%s: frame file\n", quotedPath(path).c_str());
    std::printf("records: %d of %d x %d\n", reader.records(), frameRecordWidth, frameRecordHeight);
    if (status == FrameFileReader::Status::Truncated) {
        std::printf("last record: truncated at byte offset %llu (%llu of %llu bytes)\n",
                    static_cast<unsigned long long>(reader.offset()),
                    static_cast<unsigned long long>(reader.partialBytes()),
                    static_cast<unsigned long long>(frameRecordBytes));
    } else {
        std::printf("last record: %s\n", reader.records() > 0 ? "complete" : "none");
    }
    std::printf("suits: nbtv96rggb (its recordings)\n");
}

} // namespace

int runInfo(const std::vector<std::string>& args) {
    const Arguments arguments(args, {});
    if (arguments.positionals().size() != 1) {
        throw UsageError(arguments.positionals().empty() ? "info takes a FILE"
                                                         : "info takes one FILE only, not '" +
                                                               arguments.positionals()[1] + "'");
    }
    const std::string path = arguments.positionals().front();
    if (endsWithTv(path)) {
        reportFrameFile(path);
        return 0;
    }
    silenceFfmpeg();
    Input in;
    int rc = avformat_open_input(&in.format, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        throw RunError(openFailure(path, rc, "media"));
    }
    rc = avformat_find_stream_info(in.format, nullptr);
    if (rc < 0) {
        throw RunError("cannot read " + quotedPath(path) + ": " + ffmpegMessage(rc));
    }
    for (unsigned i = 0; i < in.format->nb_streams; ++i) {
        const AVStream* stream = in.format->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
            reportVideo(path, in, static_cast<int>(i));
            return 0;
        }
    }
    const int audio = av_find_best_stream(in.format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (audio < 0) {
        throw RunError(quotedPath(path) + " holds neither audio nor video");
    }
    reportAudio(path, in, audio);
    return 0;
}

} // namespace nbtv::cli
