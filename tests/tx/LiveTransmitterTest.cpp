// The live transmitter keys Hamlib's dummy rig before its first sample and releases it after the
// last has been played, and on every other way out: a picture source failing mid-run, a stop, a
// card that fails, an exception. A pseudo-terminal has no modem lines, so keying by its RTS is
// refused with one line before anything is sent.

#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "station/RigKey.h"
#include "tx/LiveTransmitter.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv {
namespace {

// What happened, in order: "key", "write", "drain", "discard", "release".
using Events = std::vector<std::string>;

// A card that takes everything at once, noting at each step whether the rig says it is keyed.
class WatchingSink final : public SampleSink {
  public:
    WatchingSink(RigKey& rig, Events& events) : rig_(rig), events_(events) {}
    bool write(std::span<const std::int16_t> samples) override {
        written += samples.size();
        keyedWhileWriting = keyedWhileWriting && rig_.keyed();
        if (events_.empty() || events_.back() != "write") {
            events_.push_back("write");
        }
        return failAfter == 0 || written < failAfter;
    }
    bool drain() override {
        keyedAtDrain = rig_.keyed();
        events_.push_back("drain");
        return true;
    }
    void discard() override { events_.push_back("discard"); }
    std::string error() const override { return "the card went away"; }

    std::size_t written = 0;
    std::size_t failAfter = 0; // 0: never
    bool keyedWhileWriting = true;
    bool keyedAtDrain = false;

  private:
    RigKey& rig_;
    Events& events_;
};

// The key of the dummy rig, noting each change.
class NotedKey final : public KeyLine {
  public:
    NotedKey(RigKey& rig, Events& events) : rig_(rig), events_(events) {}
    bool key(bool on) override {
        events_.push_back(on ? "key" : "release");
        return rig_.key(on);
    }
    std::string error() const override { return rig_.error(); }

  private:
    RigKey& rig_;
    Events& events_;
};

// The bars card for `good` frames, then a failure (or an exception).
class Pictures final : public PictureFeed {
  public:
    explicit Pictures(int good, bool throws = false) : good_(good), throws_(throws) {}
    bool next(RgbImage& picture) override {
        if (given_++ >= good_) {
            if (throws_) {
                throw std::runtime_error("decoder crashed");
            }
            return false;
        }
        picture = makeTestCard(TestCardKind::Bars, 48, 48);
        return true;
    }
    std::string error() const override { return "the video ended early"; }

  private:
    int good_;
    bool throws_;
    int given_ = 0;
};

class LiveTransmitter : public ::testing::Test {
  protected:
    void SetUp() override {
        RigSettings settings;
        settings.model = 1; // Hamlib's dummy rig
        ASSERT_TRUE(rig.open(settings)) << rig.error();
        ASSERT_FALSE(rig.keyed());
    }

    LiveOptions twoFrames() const {
        LiveOptions options;
        options.keyLeadMs = 30;
        options.samples = signalSamples(nbtv48Profile(), false, 0.0, 2);
        return options;
    }

    RigKey rig;
    Events events;
    WatchingSink sink{rig, events};
    NotedKey key{rig, events};
};

TEST_F(LiveTransmitter, KeysBeforeTheFirstSampleAndReleasesAfterTheLastIsPlayed) {
    Pictures pictures(100);
    bool keyedAtFirstFrame = false;
    LiveObserver observer;
    observer.frameStarted = [&](const RgbImage&, std::int64_t frame) {
        if (frame == 0) {
            keyedAtFirstFrame = rig.keyed();
        }
    };
    const LiveOptions options = twoFrames();
    const LiveResult result =
        transmitLive(nbtv48Profile(), options, pictures, sink, &key, {}, observer);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.frames, 2);
    EXPECT_EQ(static_cast<std::int64_t>(sink.written), *options.samples);
    EXPECT_TRUE(keyedAtFirstFrame);
    EXPECT_TRUE(sink.keyedWhileWriting);
    EXPECT_TRUE(sink.keyedAtDrain) << "released only after the last sample has been played";
    EXPECT_EQ(events, (Events{"key", "write", "drain", "release"}));
    EXPECT_FALSE(rig.keyed());
}

TEST_F(LiveTransmitter, ReleasesWhenTheSourceFailsMidRun) {
    Pictures pictures(1);
    const LiveResult result = transmitLive(nbtv48Profile(), twoFrames(), pictures, sink, &key, {});
    EXPECT_EQ(result.error, "the video ended early");
    EXPECT_GT(sink.written, 0u);
    EXPECT_EQ(events, (Events{"key", "write", "discard", "release"}));
    EXPECT_FALSE(rig.keyed());
}

TEST_F(LiveTransmitter, ReleasesWhenTheSourceThrows) {
    Pictures pictures(1, true);
    EXPECT_THROW(transmitLive(nbtv48Profile(), twoFrames(), pictures, sink, &key, {}),
                 std::runtime_error);
    EXPECT_EQ(events.back(), "release");
    EXPECT_FALSE(rig.keyed());
}

TEST_F(LiveTransmitter, ReleasesWhenTheCardFails) {
    Pictures pictures(100);
    sink.failAfter = 3000;
    const LiveResult result = transmitLive(nbtv48Profile(), twoFrames(), pictures, sink, &key, {});
    EXPECT_EQ(result.error, "the card went away");
    EXPECT_EQ(events, (Events{"key", "write", "discard", "release"}));
    EXPECT_FALSE(rig.keyed());
}

TEST_F(LiveTransmitter, AStopDropsWhatIsQueuedAndReleases) {
    Pictures pictures(100);
    LiveOptions options = twoFrames();
    options.samples.reset(); // for ever
    const LiveResult result = transmitLive(nbtv48Profile(), options, pictures, sink, &key,
                                           [&] { return sink.written >= 5000; });
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.error, "");
    EXPECT_LT(sink.written, 5000u + 11025u / 10) << "stopped within a small part of a second";
    EXPECT_EQ(events, (Events{"key", "write", "discard", "release"}));
    EXPECT_FALSE(rig.keyed());
}

TEST(RigKey, APseudoTerminalWithoutModemLinesIsRefusedInOneLine) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    RigKey line;
    RigSettings settings;
    settings.pttPort = name;
    settings.line = RigSettings::Line::Rts;
    // Linux's pseudo-terminals take no TIOCMSET, so Hamlib cannot drive RTS on one.
    EXPECT_FALSE(line.open(settings));
    EXPECT_EQ(line.error(), std::string("cannot open the rig on ") + name + ": IO error");
    EXPECT_EQ(line.error().find('\n'), std::string::npos);
    EXPECT_FALSE(line.key(true));
    ::close(slave);
    ::close(master);
}

} // namespace
} // namespace nbtv
