// The real audio path: a PulseAudio server of the test's own, in private folders, with a virtual
// source fed from a file by paplay, captured through the sound-card source, the capture buffers
// and the receive core.

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capture/SoundCapture.h"
#include "capture/Sources.h"
#include "core/Conversions.h"
#include "dialogs/Dialogs.h"
#include "io/AudioFile.h"
#include "io/ImageFile.h"
#include "session/ReceiveSession.h"
#include "shell/MainWindow.h"
#include "shell/ProgramEntry.h"
#include "shell/TransmitterWindow.h"
#include "support/Reception.h"
#include "support/ViewPicture.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"
#include "widgets/Warning.h"

namespace nbtv {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t block = 768;
constexpr std::size_t frameSamples = 36864; // a colour frame of nbtv48

// A PulseAudio server in private folders. Every variable that tells a client (Qt's libpulse,
// paplay, pactl) where a server lives points at it, so no other server is touched. It runs in
// the foreground as our child and dies with us, even when a test crashes or hangs.
struct PrivateServer {
    bool start() {
        for (const char* program : {"pulseaudio", "paplay", "pactl"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
                error = std::string(program) + " is not installed (pulseaudio, pulseaudio-utils)";
                return false;
            }
        }
        if (root.empty()) {
            std::string pattern = (fs::temp_directory_path() / "nbtv-pulse-XXXXXX").string();
            if (mkdtemp(pattern.data()) == nullptr) {
                return false;
            }
            root = pattern;
        }
        for (const char* folder : {"run", "cfg", "home"}) {
            fs::create_directories(root / folder);
            fs::permissions(root / folder, fs::perms::owner_all, fs::perm_options::replace);
        }
        std::ofstream(root / "client.conf") << "autospawn = no\n"; // never a server of its own
        const std::string socket = (root / "run" / "pulse" / "native").string();
        setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "cfg").c_str(), 1);
        setenv("HOME", (root / "home").c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
        setenv("PULSE_CLIENTCONFIG", (root / "client.conf").c_str(), 1);
        const std::string log = "--log-target=file:" + (root / "pa.log").string();
        const std::string native = "module-native-protocol-unix auth-anonymous=1 socket=" + socket;
        // Without shared memory: PulseAudio 16 sometimes aborts on its own assertion
        // (memblock_replace_import, n_imported > 0) as a client that has played through shared
        // memory disconnects, most often on a loaded machine; samples over the socket avoid it.
        const pid_t parent = getpid();
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() == parent) {
                execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                       "--realtime=no", "--disable-shm=yes", log.c_str(), "-L", native.c_str(),
                       "-L", "module-null-sink sink_name=feed format=s16le rate=11025 channels=1",
                       "-L",
                       "module-remap-source master=feed.monitor source_name=nbtvsrc "
                       "source_properties=device.description=TestSource",
                       nullptr);
            }
            _exit(127);
        }
        // Ready once the virtual source is listed.
        for (int tries = 0; tries < 200 && alive(); ++tries) {
            if (std::system("pactl list short sources 2>/dev/null | grep -q nbtvsrc") == 0) {
                return true;
            }
            usleep(100'000);
        }
        error = "pulseaudio did not start; see " + (root / "pa.log").string();
        return false;
    }
    bool alive() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) != 0) {
            pid = -1;
        }
        return pid > 0;
    }
    void kill(int signal) {
        if (pid > 0) {
            ::kill(pid, signal);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    ~PrivateServer() {
        kill(SIGTERM);
        if (!root.empty()) {
            fs::remove_all(root);
        }
    }

    fs::path root;
    pid_t pid = -1;
    std::string error = "the server was not started";
};

PrivateServer* server = nullptr;

// The capture of a program: sound card source, capture buffers, receive core.
struct Reception {
    Reception() {
        receiver.settings().deviceIndex =
            static_cast<int>(source->deviceNames().indexOf(QStringLiteral("TestSource")));
    }
    bool open() {
        capture = std::make_unique<SoundCapture>(
            receiver.settings(), *source,
            SoundCapture::BlockHandlers{
                [this](std::span<const std::int16_t> samples) {
                    stream.insert(stream.end(), samples.begin(), samples.end());
                    receiver.analyseBlock(samples);
                },
                [this] {
                    if (receiver.completeBlock()) {
                        pictures.push_back({toRgbImage(receiver.pictureSurface(),
                                                       receiver.profile().geometry.pictureCrop),
                                            stream.size()});
                    }
                    if (afterBlock) {
                        afterBlock();
                    }
                }});
        QObject::connect(capture.get(), &SoundCapture::deviceLost, [this] { ++lost; });
        return receiver.settings().deviceIndex >= 0 && capture->open();
    }

    Receiver receiver{nbtv48Profile()};
    std::unique_ptr<WaveIn> source = makeSoundCardInput();
    std::unique_ptr<SoundCapture> capture;
    std::vector<std::int16_t> stream;
    std::vector<std::pair<RgbImage, std::size_t>> pictures; // with the samples captured by then
    std::function<void()> afterBlock;
    int lost = 0;
};

// Where a user clicks on the monitor strip (x moves the frame 3x columns) to start the receiver's
// frames with the signal's, to the block (the rest shows as a small shift); -1 when that is out
// of the click's reach this block.
int framePhaseClick(const Receiver& receiver, std::size_t samplesDone, std::size_t signalStart) {
    const int width = receiver.profile().frameColumns();
    // Where a receiver started on the signal's first sample would stand now.
    const double ideal =
        width - 9 - 9.0 * (static_cast<double>(samplesDone - signalStart) / block - 1.0);
    const int now = receiver.frameOffset();
    const double step = std::remainder(ideal - now, static_cast<double>(width));
    const int target = ((now + 9 * roundHalfEven(step / 9.0)) % width + width) % width;
    if (target < 1 || target > width - 9) {
        return -1;
    }
    return (target < now ? now - target : now + width - 9 - target) / 3;
}

bool clickFramePhase(Receiver& receiver, std::size_t samplesDone, std::size_t signalStart) {
    const int x = framePhaseClick(receiver, samplesDone, signalStart);
    if (x >= 0) {
        receiver.pressMonitor(x);
    }
    return x >= 0;
}

// Where `signal` begins in `stream`, searching from `searched` on.
std::optional<std::size_t> findSignal(const std::vector<std::int16_t>& stream,
                                      const std::vector<std::int16_t>& signal,
                                      std::size_t& searched) {
    if (stream.size() < searched + 256) {
        return std::nullopt;
    }
    const auto at = std::search(stream.begin() + static_cast<long>(searched), stream.end(),
                                signal.begin(), signal.begin() + 256);
    searched = stream.size() - 255;
    if (at == stream.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(at - stream.begin());
}

// PSNR against the card with colours rotated and moved `shift` pixels right, leaving out the
// outer columns, which a slightly shifted frame fills from the neighbouring field.
double fit(const RgbImage& picture, const RgbImage& card, int rotation, int shift) {
    double sum = 0.0;
    double count = 0.0;
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 9; x < picture.width - 9; ++x) {
            for (int c = 0; c < 3; ++c) {
                const int cx = std::clamp(x - shift, 0, card.width - 1);
                const double d = picture.pixel(x, y)[c] - card.pixel(cx, y)[(c + rotation) % 3];
                sum += d * d;
                count += 1.0;
            }
        }
    }
    return 10.0 * std::log10(255.0 * 255.0 * count / sum);
}

class PulseAudioCapture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server != nullptr && server->alive()) << (server ? server->error : "");
        alarm(150); // a hang (a blocked start or stop) ends the run; the server goes with it
    }
    void TearDown() override {
        alarm(0);
        // A server that died under a test is a failure of its own, with the server's last word.
        if (!server->alive()) {
            std::ifstream log(server->root / "pa.log");
            std::string line;
            std::string last;
            while (std::getline(log, line)) {
                last = line;
            }
            ADD_FAILURE() << "the sound server died: " << last;
        }
    }
};

TEST_F(PulseAudioCapture, TheBarsCardComesThroughTheSoundServer) {
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    TransmitOptions options;
    options.frames = 4;
    const std::vector<std::int16_t> signal = transmit(nbtv48Profile(), card, options);
    const std::string wav = (server->root / "bars.wav").string();
    std::string error;
    ASSERT_TRUE(writeWavFile(wav, 11025, signal, error)) << error;

    Reception reception;
    std::optional<std::size_t> start;
    std::size_t searched = 0;
    bool clicked = false;
    reception.afterBlock = [&] {
        const auto& s = reception.stream;
        if (!start) {
            start = findSignal(s, signal, searched);
        }
        if (start && !clicked && s.size() > *start + 3 * block) {
            clicked = clickFramePhase(reception.receiver, s.size(), *start);
        }
    };
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(reception.open()) << reception.source->lastError().toStdString();
    // A virtual source takes a while to deliver its first data: wait for it, not for a time.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reception.stream.empty(); }, 20000));
    const qint64 firstBlockMs = clock.elapsed();
    QProcess feed;
    feed.start(QStringLiteral("paplay"),
               {QStringLiteral("--latency-msec=500"), QStringLiteral("--device=feed"),
                QString::fromStdString(wav)});
    const bool whole = QTest::qWaitFor(
        [&] { return start && reception.stream.size() >= *start + signal.size(); }, 60000);
    reception.capture->shutdown();
    feed.waitForFinished(10000);
    std::printf("first block after %lld ms, whole signal after %lld ms\n",
                static_cast<long long>(firstBlockMs), static_cast<long long>(clock.elapsed()));
    ASSERT_TRUE(whole) << "the signal was " << (start ? "cut short" : "not found");
    EXPECT_TRUE(clicked);
    EXPECT_EQ(reception.lost, 0) << "a virtual source's slow start is no lost device";
    // The samples come through unchanged and in order: an unbroken run of at least a frame
    // (paplay may still run dry on a heavily loaded machine).
    std::size_t run = 0;
    std::size_t longest = 0;
    for (std::size_t n = 0; n < signal.size(); ++n) {
        run = reception.stream[*start + n] == signal[n] ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_GE(longest, frameSamples);

    // Pictures wholly of the signal, after the first one (met cold), against the card.
    double best = 0.0;
    for (const auto& [picture, end] : reception.pictures) {
        if (end >= *start + 2 * frameSamples && end <= *start + signal.size()) {
            for (int rotation = 0; rotation < 3; ++rotation) {
                for (int shift = -6; shift <= 6; ++shift) {
                    best = std::max(best, fit(picture, test::enlarge(card, 3), rotation, shift));
                }
            }
        }
    }
    std::printf("signal at sample %zu, %zu samples unchanged in a row, best picture %.1f dB\n",
                *start, longest, best);
    EXPECT_GE(best, 15.0);
}

// What a session receives of `signal`: the ordinary pictures and, with `enhanced`, the
// enhanced ones, each the picture area enlarged as the receivers show it.
std::vector<RgbImage> receiveSession(std::span<const std::int16_t> signal, bool enhanced) {
    ReceiveSession session(nbtv48Profile());
    std::vector<RgbImage> pictures;
    if (enhanced) {
        session.setEnhanced(true, false);
        session.setPictureListener([&](const SessionPicture& picture) {
            pictures.push_back(test::enlarge(*picture.picture, 3));
        });
    }
    const auto length = static_cast<std::size_t>(session.settings().blockLength);
    for (std::size_t at = 0; at + length <= signal.size(); at += length) {
        if (session.processBlock(signal.subspan(at, length)).frameCompleted && !enhanced) {
            pictures.push_back(toRgbImage(session.receiver().pictureSurface(),
                                          nbtv48Profile().geometry.pictureCrop));
        }
    }
    session.finish();
    return pictures;
}

// The worst PSNR against `card` of the pictures after the first (met cold) and before the last
// (partly after the signal).
double worstAfterFirst(const std::vector<RgbImage>& pictures, const RgbImage& card) {
    double worst = INFINITY;
    for (std::size_t i = 1; i + 1 < pictures.size(); ++i) {
        worst = std::min(worst, test::psnr(pictures[i], test::enlarge(card, 3)));
    }
    return worst;
}

// The live transmitter of the tool sends to the server's output; its monitor, recorded through
// our own capture source, is received as the file the transmitter writes would be.
TEST_F(PulseAudioCapture, ACardSentLiveComesBackAsFromTheFile) {
    const RgbImage card = makeTestCard(TestCardKind::Detail, 48, 48);
    TransmitOptions options;
    options.frames = 4;
    const std::vector<std::int16_t> file = transmit(nbtv48Profile(), card, options);
    const double fileOrdinary = worstAfterFirst(receiveSession(file, false), card);

    Reception reception;
    // The window stalls once amid the signal, for longer than both capture buffers last:
    // nothing may be lost.
    int signalBlocks = 0;
    reception.afterBlock = [&] {
        const auto last = reception.stream.end() - static_cast<long>(block);
        if (signalBlocks > 0 ||
            std::any_of(last, reception.stream.end(), [](std::int16_t s) { return s != 0; })) {
            if (++signalBlocks == 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
            }
        }
    };
    ASSERT_TRUE(reception.open()) << reception.source->lastError().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reception.stream.empty(); }, 20000));
    const std::string sentWav = (server->root / "sent.wav").string();
    QProcess sender;
    sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sender.start(QStringLiteral(NBTV_TOOL),
                 {"transmit", "--program", "nbtv48", "--card", "detail", "--frames", "4",
                  "--device", "feed", "-y", "-o", QString::fromStdString(sentWav)});
    ASSERT_TRUE(QTest::qWaitFor([&] { return sender.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(sender.exitCode(), 0);
    const std::size_t afterSending = reception.stream.size();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return reception.stream.size() > afterSending + 4 * block; }, 5000));
    reception.capture->shutdown();

    std::vector<std::int16_t> sent;
    std::string error;
    ASSERT_TRUE(readAudioFile(sentWav, 11025, sent, error)) << error;
    ASSERT_EQ(sent.size(), file.size()) << "--frames 4 sends what encode --frames 4 writes";
    std::size_t searched = 0;
    const std::optional<std::size_t> start = findSignal(reception.stream, sent, searched);
    ASSERT_TRUE(start) << "the signal never came through";
    ASSERT_GE(reception.stream.size(), *start + sent.size());
    const std::span<const std::int16_t> captured(reception.stream.data() + *start, sent.size());
    EXPECT_TRUE(std::equal(captured.begin(), captured.end(), sent.begin()))
        << "the output's monitor records what was sent, unchanged";

    const double liveOrdinary = worstAfterFirst(receiveSession(captured, false), card);
    const double liveEnhanced = worstAfterFirst(receiveSession(captured, true), card);
    std::printf("file %.2f dB, live %.2f dB ordinary, %.2f dB enhanced\n", fileOrdinary,
                liveOrdinary, liveEnhanced);
    EXPECT_NEAR(liveOrdinary, fileOrdinary, 1.0);
    EXPECT_GE(liveEnhanced, 40.0);
}

// Runs pactl quietly; its exit status.
int pactl(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// Runs the tool with `arguments` to its end; its exit status (-1 when it did not end).
int runTool(const QStringList& arguments) {
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start(QStringLiteral(NBTV_TOOL), arguments);
    if (!QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 60000)) {
        tool.kill();
        tool.waitForFinished();
        return -1;
    }
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

// --loopback makes an output of its own, once, whose sound a receiver finds among its inputs.
TEST_F(PulseAudioCapture, TheLoopbackOffersWhatIsSentAsAnInput) {
    ASSERT_EQ(runTool({"transmit", "--program", "nbtv48", "--loopback", "--seconds", "0.2"}), 0);
    Reception reception;
    reception.receiver.settings().deviceIndex =
        static_cast<int>(reception.source->deviceNames().indexOf(QStringLiteral("NBTV loopback")));
    ASSERT_TRUE(reception.open()) << "the loopback is no input";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reception.stream.empty(); }, 20000));
    const std::string sentWav = (server->root / "loopback.wav").string();
    ASSERT_EQ(runTool({"transmit", "--program", "nbtv48", "--loopback", "--frames", "1", "-y", "-o",
                       QString::fromStdString(sentWav)}),
              0);
    const std::size_t afterSending = reception.stream.size();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return reception.stream.size() > afterSending + 4 * block; }, 5000));
    reception.capture->shutdown();
    std::vector<std::int16_t> sent;
    std::string error;
    ASSERT_TRUE(readAudioFile(sentWav, 11025, sent, error)) << error;
    std::size_t searched = 0;
    const std::optional<std::size_t> start = findSignal(reception.stream, sent, searched);
    ASSERT_TRUE(start) << "the signal never came through";
    ASSERT_GE(reception.stream.size(), *start + sent.size());
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(),
                           reception.stream.begin() + static_cast<std::ptrdiff_t>(*start)));
    // Made once: the second run found it.
    QProcess list;
    list.start(QStringLiteral("pactl"),
               {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("modules")});
    ASSERT_TRUE(list.waitForFinished(30000));
    EXPECT_EQ(
        QString::fromUtf8(list.readAllStandardOutput()).count(QStringLiteral("nbtv_loopback ")), 1);
}

// Hamlib's dummy rig behind its network daemon, so that another process keys it and this one
// asks whether it is keyed.
struct NetworkRig {
    NetworkRig() {
        port = QString::number(20000 + getpid() % 20000);
        daemon.start(QStringLiteral("rigctld"),
                     {"-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", port});
    }
    ~NetworkRig() {
        daemon.terminate();
        daemon.waitForFinished(5000);
    }
    QString address() const { return "127.0.0.1:" + port; }
    // "1" keyed, "0" released, empty when the rig does not answer.
    QString ptt() const {
        QProcess ask;
        ask.start(QStringLiteral("rigctl"), {"-m", "2", "-r", address(), "t"});
        ask.waitForFinished(10000);
        return QString::fromUtf8(ask.readAllStandardOutput()).trimmed();
    }
    QString port;
    QProcess daemon;
};

// Ctrl-C or a kill stops the sending at once, releases the transmitter and ends as the signal
// does; what was sent until then is recorded whole.
TEST_F(PulseAudioCapture, ASignalStopsTheSendingAtOnceAndReleasesTheTransmitter) {
    NetworkRig rig;
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.ptt() == "0"; }, 10000))
        << "rigctld (libhamlib-utils) did not start";
    for (const int signal : {SIGINT, SIGTERM}) {
        const QString sentWav = QString::fromStdString(
            (server->root / ("signalled-" + std::to_string(signal) + ".wav")).string());
        QProcess sender;
        sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sender.start(QStringLiteral(NBTV_TOOL),
                     {"transmit", "--program", "nbtv48", "--device", "feed", "--seconds", "60",
                      "--rig", "2", "--rig-port", rig.address(), "--ptt-lead", "50", "--quiet",
                      "-y", "-o", sentWav});
        ASSERT_TRUE(sender.waitForStarted(10000));
        EXPECT_TRUE(QTest::qWaitFor([&] { return rig.ptt() == "1"; }, 20000)) << "never keyed";
        QTest::qWait(2000);
        QElapsedTimer clock;
        clock.start();
        ::kill(static_cast<pid_t>(sender.processId()), signal);
        ASSERT_TRUE(QTest::qWaitFor([&] { return sender.state() == QProcess::NotRunning; }, 20000));
        const qint64 stopMs = clock.elapsed();
        EXPECT_EQ(sender.exitStatus(), QProcess::CrashExit) << "ends as the signal does";
        EXPECT_EQ(rig.ptt(), "0") << "released on signal " << signal;
        EXPECT_LT(stopMs, 5000) << "stops at once, not at the end of the minute";
        std::vector<std::int16_t> sent;
        std::string error;
        EXPECT_TRUE(readAudioFile(sentWav.toStdString(), 11025, sent, error)) << error;
        EXPECT_GT(sent.size(), 0u) << "what was sent before the signal is recorded";
        std::printf("signal %d: stopped after %lld ms, %.1f s recorded\n", signal,
                    static_cast<long long>(stopMs), static_cast<double>(sent.size()) / 11025.0);
    }
}

// The transmitter's window, driven with clicks: it sends a moving picture to the test's output,
// shows each picture as it goes on air, and stops; an output that is not there is one warning.
TEST_F(PulseAudioCapture, TheTransmitterWindowSendsShowsAndStops) {
    std::vector<QString> warnings;
    const WarningFunction previous = setWarningFunction(
        [&](QWidget*, const QString&, const QString& text) { warnings.push_back(text); });
    const RgbImage first = makeTestCard(TestCardKind::Bars, 48, 48);
    const RgbImage second = makeTestCard(TestCardKind::Ramp, 48, 48);
    std::string error;
    ASSERT_TRUE(writePng((server->root / "moving-1.png").string(), first, error)) << error;
    ASSERT_TRUE(writePng((server->root / "moving-2.png").string(), second, error)) << error;

    TransmitterWindow window;
    window.show();
    auto* source = window.findChild<QComboBox*>(QStringLiteral("source"));
    auto* path = window.findChild<QLineEdit*>(QStringLiteral("path"));
    auto* device = window.findChild<QComboBox*>(QStringLiteral("device"));
    auto* transmit = window.findChild<QPushButton*>(QStringLiteral("transmit"));
    auto* ptt = window.findChild<QLabel*>(QStringLiteral("ptt"));
    ASSERT_TRUE(source && path && device && transmit && ptt);
    source->setCurrentIndex(source->findText(QStringLiteral("Image or video")));
    path->setText(QString::fromStdString((server->root / "moving-%d.png").string()));
    const int feed = device->findData(QStringLiteral("feed"));
    ASSERT_GE(feed, 0) << "the output is listed";
    device->setCurrentIndex(feed);

    // The preview shows what is on air, as a receiver draws it: three samples a pixel.
    const auto shows = [&](const RgbImage& picture) {
        const QImage& image = window.preview().image();
        for (int y = 0; y < 144; y += 7) {
            for (int x = 0; x < 144; x += 5) {
                const std::uint8_t* p = picture.pixel(x / 3, y / 3);
                if (image.pixel(x, y) != qRgb(p[0], p[1], p[2])) {
                    return false;
                }
            }
        }
        return true;
    };
    QTest::mouseClick(transmit, Qt::LeftButton);
    ASSERT_TRUE(window.sending()) << (warnings.empty() ? "" : warnings.front().toStdString());
    EXPECT_EQ(transmit->text(), "Stop");
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows(first); }, 20000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ptt->text() == "PTT on"; }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows(second); }, 20000)) << "the next frame";
    EXPECT_GE(window.framesShown(), 2);
    QSignalSpy ended(&window, &TransmitterWindow::sendingEnded);
    QTest::mouseClick(transmit, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !ended.isEmpty(); }, 5000));
    EXPECT_FALSE(window.sending());
    EXPECT_EQ(transmit->text(), "Transmit");
    EXPECT_EQ(ptt->text(), "PTT off");
    EXPECT_TRUE(warnings.empty()) << warnings.front().toStdString();

    device->setEditText(QStringLiteral("absent"));
    QTest::mouseClick(transmit, Qt::LeftButton);
    QTest::qWait(200);
    EXPECT_FALSE(window.sending());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings.front().contains(QStringLiteral("'absent'")))
        << warnings.front().toStdString();
    setWarningFunction(previous);
}

// The program itself: its window opens the first listed input, the test's virtual source.
TEST_F(PulseAudioCapture, TheReceiverWindowShowsTheCardSentThroughTheSoundServer) {
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    TransmitOptions options;
    options.frames = 5;
    const std::vector<std::int16_t> signal = transmit(nbtv48Profile(), card, options);
    const std::string wav = (server->root / "window.wav").string();
    std::string error;
    ASSERT_TRUE(writeWavFile(wav, 11025, signal, error)) << error;

    std::vector<QString> warnings;
    const WarningFunction previous = setWarningFunction(
        [&](QWidget*, const QString&, const QString& text) { warnings.push_back(text); });
    MainWindow window(nbtv48Profile(), makeSoundCardInput());
    // What the window captured, read back from its analysis window (the newest block).
    std::vector<std::int16_t> stream;
    std::optional<std::size_t> start;
    std::size_t searched = 0;
    int clickX = -1;
    std::vector<RgbImage> shown; // pictures completed after the phase click
    QObject::connect(&window, &MainWindow::blockHandled, [&](bool frameCompleted) {
        const auto newest = window.receiver().analyser().window().subspan(
            static_cast<std::size_t>(window.settings().blockLength));
        for (double v : newest) {
            stream.push_back(static_cast<std::int16_t>(roundHalfEven(v * 32768.0)));
        }
        if (!start) {
            start = findSignal(stream, signal, searched);
        }
        if (start && clickX < 0 && stream.size() > *start + 3 * block) {
            clickX = framePhaseClick(window.receiver(), stream.size(), *start);
            if (clickX >= 0) {
                // The user's click between two fields of the monitor strip.
                QTest::mouseClick(window.centralWidget(), Qt::LeftButton, {}, QPoint(clickX, 260));
            }
        }
        if (frameCompleted && clickX >= 0) {
            const RgbImage picture = test::viewPicture(window.pictureView()->image(),
                                                       nbtv48Profile().geometry.pictureCrop);
            shown.push_back(picture);
        }
    });
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.blocksHandled() > 0; }, 20000))
        << "no block from the sound server";
    QProcess feed;
    feed.start(QStringLiteral("paplay"),
               {QStringLiteral("--latency-msec=500"), QStringLiteral("--device=feed"),
                QString::fromStdString(wav)});
    ASSERT_TRUE(feed.waitForStarted(10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return feed.state() == QProcess::NotRunning; }, 60000));
    window.close();
    setWarningFunction(previous);
    EXPECT_TRUE(warnings.empty()) << warnings.front().toStdString();
    ASSERT_TRUE(start) << "the signal never came through";
    ASSERT_GE(clickX, 0);
    ASSERT_GE(shown.size(), 2u);

    // After the click the fields land in place; a shift of a few pixels is left.
    double best = 0.0;
    for (const RgbImage& picture : shown) {
        for (int shift = -6; shift <= 6; ++shift) {
            best = std::max(best, fit(picture, test::enlarge(card, 3), 0, shift));
        }
    }
    std::printf("window: clicked at x = %d, %zu pictures after, best %.1f dB\n", clickX,
                shown.size(), best);
    EXPECT_GE(best, 15.0);
}

const QStringList testSource = {QStringLiteral("module-remap-source"),
                                QStringLiteral("master=feed.monitor"),
                                QStringLiteral("source_name=nbtvsrc"),
                                QStringLiteral("source_properties=device.description=TestSource")};

// Last: it takes the server down. A lost source or server is reported once, without hanging;
// when it comes back capture resumes by itself and says so, and "Apply" works again.
TEST_F(PulseAudioCapture, ALostSourceOrServerIsReportedOnceWithoutHanging) {
    Reception reception;
    ASSERT_TRUE(reception.open()) << reception.source->lastError().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return reception.stream.size() >= 3 * block; }, 20000));
    EXPECT_EQ(reception.lost, 0);
    // A suspended source keeps the stream active but sends nothing, as a stalled one does.
    const auto suspend = [](const char* on) {
        return pactl(
            {QStringLiteral("suspend-source"), QStringLiteral("nbtvsrc"), QString::fromLatin1(on)});
    };
    ASSERT_EQ(suspend("1"), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return reception.lost > 0; }, 10000));
    QTest::qWait(1500);
    EXPECT_EQ(reception.lost, 1);
    suspend("0");
    const std::size_t suspended = reception.stream.size();
    EXPECT_TRUE(QTest::qWaitFor([&] { return reception.stream.size() > suspended + block; }, 20000))
        << "blocks flow again";
    reception.capture->shutdown();

    // The window: its status line and its warnings.
    std::vector<QString> warnings;
    const WarningFunction previous = setWarningFunction(
        [&](QWidget*, const QString&, const QString& text) { warnings.push_back(text); });
    MainWindow window(nbtv48Profile(), makeSoundCardInput());
    const auto status = [&] {
        return qobject_cast<QLabel*>(window.control(ids::statusLabel))->text();
    };
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.blocksHandled() > 0; }, 20000));

    // The source goes (its module unloaded), and comes back.
    ASSERT_EQ(pactl({QStringLiteral("unload-module"), QStringLiteral("module-remap-source")}), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !warnings.empty(); }, 10000));
    ASSERT_EQ(warnings, std::vector<QString>{"No suitable device found"});
    ASSERT_EQ(pactl(QStringList{QStringLiteral("load-module")} + testSource), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return status() == "Sound input back: TestSource"; }, 30000))
        << status().toStdString();
    const long back = window.blocksHandled();
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.blocksHandled() >= back + 3; }, 20000));
    EXPECT_EQ(warnings.size(), 1u);

    // The server dies as in a crash and stays away a while, longer than a client's own
    // reconnection attempts; then it starts again.
    server->kill(SIGKILL);
    EXPECT_TRUE(QTest::qWaitFor([&] { return warnings.size() == 2; }, 10000));
    EXPECT_EQ(warnings.back(), "No suitable device found");
    QTest::qWait(5000);
    EXPECT_EQ(warnings.size(), 2u) << "reported once";
    ASSERT_TRUE(server->start()) << server->error;

    // "Apply" in the sound-card dialog, on the test source.
    bool applied = false;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() != QLatin1String(soundCardDialogName) || !w->isVisible()) {
                continue;
            }
            for (QListWidget* list : w->findChildren<QListWidget*>()) {
                const QList<QListWidgetItem*> items =
                    list->findItems(QStringLiteral("TestSource"), Qt::MatchExactly);
                if (!items.isEmpty()) {
                    list->setCurrentItem(items.front());
                }
            }
            for (QPushButton* button : w->findChildren<QPushButton*>()) {
                if (button->text() == "Apply") {
                    QTest::mouseClick(button, Qt::LeftButton);
                }
            }
            applied = true;
            w->close();
        }
    });
    driver.start(50);
    window.action(ids::selectSoundcard)->trigger();
    driver.stop();
    EXPECT_TRUE(applied);
    const long restarted = window.blocksHandled();
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.blocksHandled() >= restarted + 3; }, 30000))
        << "no block after Apply";
    EXPECT_EQ(warnings.size(), 2u) << warnings.back().toStdString();
    EXPECT_EQ(window.settings().deviceIndex, 0);
    window.close();
    setWarningFunction(previous);
    EXPECT_FALSE(window.capture().isOpen());
}

} // namespace
} // namespace nbtv

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (::testing::GTEST_FLAG(list_tests)) {
        return RUN_ALL_TESTS(); // listing the tests needs no server
    }
    // The server, and every variable pointing at it, before the sound-card source's first use.
    nbtv::PrivateServer pulse;
    nbtv::server = &pulse;
    if (!pulse.start()) {
        std::fprintf(stderr, "%s\n", pulse.error.c_str());
    }
    QApplication app(argc, argv);
    nbtv::registerResources();
    return RUN_ALL_TESTS();
}
