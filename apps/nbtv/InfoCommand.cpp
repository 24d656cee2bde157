// nbtv info: what an audio, video (AVI) or frame (.tv) file holds, and for audio which program
// it suits, judged by the pilot bins.

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <istream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/FfmpegLibrary.h"

#include "Commands.h"
#include "ConvertInfo.h"
#include "demod/Fft256.h"
#include "io/AtomicFile.h"
#include "io/AudioFile.h"
#include "io/FfmpegSupport.h"
#include "io/FrameFileReader.h"
#include "io/InputStream.h"
#include "profiles/ReceiverProfile.h"

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

// The spectrum of 256-sample blocks, gathered as samples arrive.
class SpectrumGatherer {
  public:
    void add(const std::vector<std::int16_t>& samples) {
        for (const std::int16_t v : samples) {
            block_[filled_++] = static_cast<float>(v);
            if (filled_ == block_.size()) {
                addBlock();
                filled_ = 0;
            }
        }
    }
    const Spectrum& spectrum() const { return s_; }

  private:
    void addBlock() {
        static const Fft256 fft;
        std::array<float, Fft256::size> re = block_;
        std::array<float, Fft256::size> im{};
        fft.transform(re.data(), im.data());
        for (int k = 0; k < bins; ++k) {
            const auto at = static_cast<std::size_t>(fft.position(k));
            const double xr = re[at];
            const double xi = im[at];
            const auto kk = static_cast<std::size_t>(k);
            s_.energy[kk] += xr * xr + xi * xi;
            if (s_.blocks > 0) {
                s_.stepCosine[kk] += xr * lastRe_[kk] + xi * lastIm_[kk];
                s_.stepSine[kk] += xi * lastRe_[kk] - xr * lastIm_[kk];
                s_.stepWeight[kk] += std::hypot(xr, xi) * std::hypot(lastRe_[kk], lastIm_[kk]);
            }
            lastRe_[kk] = xr;
            lastIm_[kk] = xi;
        }
        ++s_.blocks;
    }

    Spectrum s_;
    std::array<float, Fft256::size> block_{};
    std::size_t filled_ = 0;
    std::array<double, bins> lastRe_{};
    std::array<double, bins> lastIm_{};
};

// The spectra of the whole input at each program's rate, from one reading of it (a stream can
// be read only once), and the samples it held at its own rate.
struct Analysis {
    std::vector<std::pair<int, Spectrum>> spectra;
    std::uint64_t samples = 0;
};

Analysis analyse(AudioFileReader& reader) {
    struct Rate {
        int rate;
        std::unique_ptr<RateConverter> converter;
        SpectrumGatherer gatherer;
    };
    std::vector<Rate> rates;
    for (const std::string& name : profileNames()) {
        const int rate = findProfile(name)->sampleRate;
        if (std::none_of(rates.begin(), rates.end(),
                         [&](const Rate& r) { return r.rate == rate; })) {
            rates.push_back({rate, std::make_unique<RateConverter>(reader.rate(), rate), {}});
        }
    }
    Analysis analysis;
    std::vector<std::int16_t> chunk(1 << 14);
    std::vector<std::int16_t> converted;
    auto feed = [&](Rate& r, const std::int16_t* in, std::size_t count) {
        converted.clear();
        const bool ok = in != nullptr ? r.converter->convert(in, count, converted)
                                      : r.converter->finish(converted);
        if (!ok) {
            throw RunError("cannot convert the audio of " + reader.name() + " to " +
                           std::to_string(r.rate) + " Hz");
        }
        r.gatherer.add(converted);
    };
    for (;;) {
        const std::size_t got = reader.read(chunk.data(), chunk.size());
        analysis.samples += got;
        for (Rate& r : rates) {
            feed(r, chunk.data(), got);
        }
        if (got < chunk.size()) {
            break;
        }
    }
    if (!reader.error().empty()) {
        throw RunError(reader.error());
    }
    for (Rate& r : rates) {
        feed(r, nullptr, 0);
        analysis.spectra.emplace_back(r.rate, r.gatherer.spectrum());
    }
    return analysis;
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

void reportAudioProgram(const Analysis& analysis) {
    const auto spectrumAt = [&](int rate) -> const Spectrum& {
        for (const auto& [r, s] : analysis.spectra) {
            if (r == rate) {
                return s;
            }
        }
        throw RunError("no spectrum at " + std::to_string(rate) + " Hz");
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
        for (const int bin : profile.carriers.pilots()) {
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
        const std::size_t pilots = profile.carriers.pilots().size();
        if (all && (pilots > bestPilots || (pilots == bestPilots && score > bestScore))) {
            best = name;
            bestPilots = pilots;
            bestScore = score;
        }
    }
    std::printf("suits: %s\n", best.empty() ? "no pilot found" : best.c_str());
}

std::string codecName(const AVCodecParameters* par) {
    const char* name = ff().avcodec_get_name(par->codec_id);
    return name != nullptr ? name : "unknown";
}

void reportVideo(const InputStream& in, const MediaInput& media, int index) {
    AVFormatContext* format = media.format();
    AVStream* stream = format->streams[index];
    const AVCodecParameters* par = stream->codecpar;
    // The header's count may promise frames a cut file no longer holds: count the whole ones.
    AVPacket* packet = ff().av_packet_alloc();
    if (packet == nullptr) {
        throw RunError("out of memory reading " + in.name());
    }
    long long frames = 0;
    while (ff().av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == index && (packet->flags & AV_PKT_FLAG_CORRUPT) == 0) {
            ++frames;
        }
        ff().av_packet_unref(packet);
    }
    ff().av_packet_free(&packet);
    AVRational rate = stream->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) {
        rate = stream->r_frame_rate;
    }
    std::printf("%s: video\n", in.name().c_str());
    std::printf("format: %s\n", format->iformat->name);
    std::printf("codec: %s\n", codecName(par).c_str());
    std::printf("size: %d x %d\n", par->width, par->height);
    if (stream->nb_frames > frames) {
        std::printf("frames: %lld (its header gives %lld: the file is cut short)\n", frames,
                    static_cast<long long>(stream->nb_frames));
    } else {
        std::printf("frames: %lld\n", frames);
    }
    if (rate.num > 0 && rate.den > 0) {
        std::printf("rate: %g frames a second\n", av_q2d(rate));
        std::printf("duration: %s\n", seconds(static_cast<double>(frames) / av_q2d(rate)).c_str());
    } else {
        std::printf("rate: unknown\n");
    }
}

void reportAudio(InputStream& in, std::unique_ptr<MediaInput> media) {
    AudioFileReader reader;
    if (!reader.open(in, std::move(media), AudioFileReader::inputRate)) {
        throw RunError(reader.error());
    }
    const AudioDescription& d = reader.description();
    // A stream's length is known only once it has been read: the facts then come after.
    const auto header = [&](std::optional<double> duration) {
        std::printf("%s: audio\n", in.name().c_str());
        std::printf("format: %s (%s)\n", d.container.c_str(), d.codec.c_str());
        std::printf("sample rate: %d Hz\n", d.sampleRate);
        std::printf("channels: %d\n", d.channels);
        std::printf("duration: %s\n", duration ? seconds(*duration).c_str() : "unknown");
        if (const auto shortfall = reader.shortfall()) {
            std::printf("truncated: its header gives %llu bytes of samples, the file holds %llu\n",
                        static_cast<unsigned long long>(shortfall->declaredBytes),
                        static_cast<unsigned long long>(shortfall->presentBytes));
        }
        std::fflush(stdout);
    };
    if (in.seekable()) {
        header(d.seconds);
    }
    const Analysis analysis = analyse(reader);
    if (!in.seekable()) {
        header(static_cast<double>(analysis.samples) / reader.rate());
    }
    reportAudioProgram(analysis);
}

void reportFrameFile(InputStream& in) {
    InputStreamBuffer buffer(in);
    std::istream stream(&buffer);
    FrameFileReader reader;
    reader.attach(stream, in.path());
    std::vector<std::uint8_t> pixels;
    FrameFileReader::Status status = FrameFileReader::Status::Record;
    while ((status = reader.next(pixels)) == FrameFileReader::Status::Record) {
    }
    if (status == FrameFileReader::Status::Bad && reader.records() == 0) {
        throw RunError(reader.error());
    }
    std::printf("%s: frame file\n", in.name().c_str());
    std::printf("records: %d of %d x %d\n", reader.records(), frameRecordWidth, frameRecordHeight);
    if (status == FrameFileReader::Status::Truncated) {
        std::printf("last record: truncated at byte offset %llu (%llu of %llu bytes)\n",
                    static_cast<unsigned long long>(reader.offset()),
                    static_cast<unsigned long long>(reader.partialBytes()),
                    static_cast<unsigned long long>(frameRecordBytes));
    } else if (status == FrameFileReader::Status::Bad) {
        std::printf("damaged: from byte offset %llu on, a record header is not %d x %d\n",
                    static_cast<unsigned long long>(reader.offset()), frameRecordWidth,
                    frameRecordHeight);
    } else {
        std::printf("last record: %s\n", reader.records() > 0 ? "complete" : "none");
    }
    std::printf("suits: nbtv96rggb (its recordings)\n");
}

// A frame file begins with the header of its first record: 288 and 219 as 32-bit integers.
bool startsLikeFrameFile(InputStream& in) {
    std::uint8_t head[8];
    const std::uint8_t expected[8] = {0x20, 0x01, 0, 0, 0xdb, 0, 0, 0};
    static_assert(frameRecordWidth == 0x120 && frameRecordHeight == 0xdb);
    return in.peek(0, head, sizeof head) == sizeof head &&
           std::equal(std::begin(head), std::end(head), std::begin(expected));
}

} // namespace

int runInfo(const std::vector<std::string>& args) {
    const Arguments arguments(args, {});
    if (arguments.positionals().size() != 1) {
        throw UsageError(arguments.positionals().empty()
                             ? "info takes a FILE (or - for standard input)"
                             : "info takes one FILE only, not '" + arguments.positionals()[1] +
                                   "'");
    }
    const std::string path = arguments.positionals().front();
    // Opened once and read once: a pipe or standard input works as a file does.
    InputStream in;
    std::string error;
    if (!in.open(path, error)) {
        throw RunError(error);
    }
    if (endsWithTv(path) || startsLikeFrameFile(in)) {
        reportFrameFile(in);
        return 0;
    }
    auto media = std::make_unique<MediaInput>();
    if (!media->open(in, "media", error)) {
        throw RunError(error);
    }
    AVFormatContext* format = media->format();
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
            reportVideo(in, *media, static_cast<int>(i));
            return 0;
        }
    }
    const int audio = ff().av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (audio < 0) {
        throw RunError(in.name() + " holds neither audio nor video");
    }
    // Far above any sound card; resampling from such a rate would need gigabytes of filter.
    const int rate = format->streams[audio]->codecpar->sample_rate;
    if (rate <= 0 || rate > maxSampleRate) {
        throw RunError(in.name() + ": absurd sample rate " + std::to_string(rate) + " Hz");
    }
    reportAudio(in, std::move(media));
    return 0;
}

} // namespace nbtv::cli
