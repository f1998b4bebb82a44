// Play and record engines on a card's media path, driven cycle by cycle:
// the exact bytes a play puts on the line, when its end is posted, what a
// recording keeps, and the host's audio callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <thread>
#include <vector>

#include "common/wait.h"
#include "media/play.h"
#include "media_rig.h"

namespace {

using mediatest::MediaRig;
using mediatest::Pattern;

constexpr int kTrunk = 0;
constexpr int kSlot = 1;
constexpr int kChannel = kTrunk * 32 + kSlot;
constexpr uint8_t kFill = 0xD5;
constexpr uint8_t kIdle = 0x54;

size_t CountOf(const std::vector<uint32_t>& events, uint32_t code) {
    return static_cast<size_t>(std::count(events.begin(), events.end(), code));
}

// First byte of a play on the line: anything but fill and idle.
size_t FirstAudio(const std::vector<uint8_t>& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != kFill && line[i] != kIdle) return i;
    }
    return line.size();
}

bool AllAre(const std::vector<uint8_t>& line, size_t from, size_t n, uint8_t value) {
    if (from + n > line.size()) return false;
    return std::all_of(line.begin() + from, line.begin() + from + n, [&](uint8_t b) { return b == value; });
}

// Runs 10 ms cycles until the port has posted KVEVENT_PLAYENDS (or the
// cycles run out); reports the channel's bytes on the line at the tick
// before and at the tick that posted it.
struct EndTiming {
    int events = 0;
    size_t sentBeforeTick = 0;
    size_t sentAtTick = 0;
};

EndTiming RunUntilPlayEnds(MediaRig& rig, driver::CDevice& port, int maxCycles, int extraCycles = 20) {
    EndTiming t;
    size_t previous = rig.SentBytes(kChannel).size();
    for (int i = 0; i < maxCycles; ++i) {
        for (int f = 0; f < 80; f += rig.frames()) rig.Step();
        rig.Tick();
        const size_t now = rig.SentBytes(kChannel).size();
        const auto events = MediaRig::Events(port);
        const int ends = static_cast<int>(CountOf(events, driver::kEventPlayEnds));
        if (ends > 0 && t.events == 0) {
            t.sentBeforeTick = previous;
            t.sentAtTick = now;
            maxCycles = std::min(maxCycles, i + 1 + extraCycles);  // look a while for a second one
        }
        t.events += ends;
        previous = now;
    }
    return t;
}

class PlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.ok());
        port.Open();
        rig.Run(200);  // the send ring is full of unfilled blocks ahead of the line
    }
    MediaRig rig{1, 4};
    driver::CDevice& port = rig.Port(kTrunk, kSlot);
};

TEST_F(PlayTest, Of320BytesGivesTwoBlocksThenTheMarkedSilence) {
    const auto audio = Pattern(320);
    ASSERT_TRUE(media::Play(port, audio.data(), 320, false));
    EndTiming t = RunUntilPlayEnds(rig, port, 100);
    const auto line = rig.SentBytes(kChannel);
    const size_t a = FirstAudio(line);
    ASSERT_LT(a + 640, line.size());
    EXPECT_EQ(a % 160, 0u) << "a play starts on a block";
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), line.begin() + a));
    EXPECT_TRUE(AllAre(line, a + 320, 320, kFill)) << "the emptying fill, then the marked block";
    // Posted by the first tick after the marked block (a + 480) began to go out.
    EXPECT_EQ(t.events, 1);
    EXPECT_LE(t.sentBeforeTick, a + 480);
    EXPECT_GT(t.sentAtTick, a + 480);
}

TEST_F(PlayTest, Of100BytesFillsTheRestOfItsBlock) {
    const auto audio = Pattern(100);
    ASSERT_TRUE(media::Play(port, audio.data(), 100, false));
    EndTiming t = RunUntilPlayEnds(rig, port, 100);
    const auto line = rig.SentBytes(kChannel);
    const size_t a = FirstAudio(line);
    ASSERT_LT(a + 320, line.size());
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), line.begin() + a));
    EXPECT_TRUE(AllAre(line, a + 100, 60 + 160, kFill));
    EXPECT_EQ(t.events, 1);
    EXPECT_LE(t.sentBeforeTick, a + 160);
    EXPECT_GT(t.sentAtTick, a + 160);
}

TEST_F(PlayTest, TimeLeftCountsUncopiedAudioThenOneUntilTheEnd) {
    const auto audio = Pattern(1600);
    ASSERT_TRUE(media::Play(port, audio.data(), 1600, true));
    EXPECT_EQ(media::PlayTimeLeft(port), 200);
    int previous = 200;
    for (int i = 0; i < 100 && media::PlayTimeLeft(port) > 1; ++i) {
        rig.Run(10);
        const int left = media::PlayTimeLeft(port);
        EXPECT_LE(left, previous);
        EXPECT_EQ(left % 20, left > 1 ? 0 : 1) << "whole blocks are copied";
        previous = left;
    }
    // All copied: nothing left to count but the end still to come.
    ASSERT_EQ(media::PlayTimeLeft(port), 1);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        rig.Run(10);
        ended = CountOf(MediaRig::Events(port), driver::kEventPlayEnds) == 1;
        if (!ended) {
            ASSERT_EQ(media::PlayTimeLeft(port), 1);
        }
    }
    ASSERT_TRUE(ended);
    EXPECT_EQ(media::PlayTimeLeft(port), 0);
}

TEST_F(PlayTest, PlaysQueuedBackToBackEndOnce) {
    const auto first = Pattern(320, 1), second = Pattern(100, 2);
    ASSERT_TRUE(media::Play(port, first.data(), 320, false));
    ASSERT_TRUE(media::Play(port, second.data(), 100, false));
    EndTiming t = RunUntilPlayEnds(rig, port, 100);
    const auto line = rig.SentBytes(kChannel);
    const size_t a = FirstAudio(line);
    ASSERT_LT(a + 640, line.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), line.begin() + a));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), line.begin() + a + 320)) << "no gap between plays";
    EXPECT_EQ(t.events, 1);
    EXPECT_GT(t.sentBeforeTick, a + 420);
}

// With a deep send ring the first play's end block is still far from the
// line when a second play has been queued, copied and marked: only the
// second end may be posted, and only when it reaches the line.
TEST(PlayDeepRing, ASecondPlayMarkedBeforeTheFirstEndGoesOutEndsOnce) {
    MediaRig rig(1, 16);
    ASSERT_TRUE(rig.ok());
    driver::CDevice& port = rig.Port(kTrunk, kSlot);
    port.Open();
    rig.Run(800);
    const auto first = Pattern(320, 3), second = Pattern(100, 4);
    ASSERT_TRUE(media::Play(port, first.data(), 320, false));
    // Copied and marked, hundreds of ms ahead of the line.
    for (int i = 0; i < 50 && port.wave.playEnded.load() != 2; ++i) rig.Run(10);
    ASSERT_EQ(port.wave.playEnded.load(), 2);
    ASSERT_TRUE(media::Play(port, second.data(), 100, false));
    for (int i = 0; i < 50 && port.wave.playEnded.load() != 2; ++i) rig.Run(10);  // the second is marked too
    ASSERT_EQ(port.wave.playEnded.load(), 2);
    ASSERT_EQ(FirstAudio(rig.SentBytes(kChannel)), rig.SentBytes(kChannel).size()) << "nothing on the line yet";
    ASSERT_TRUE(MediaRig::Events(port).empty());
    EndTiming t = RunUntilPlayEnds(rig, port, 200);
    const auto line = rig.SentBytes(kChannel);
    const size_t a = FirstAudio(line);
    const size_t b = std::search(line.begin() + a + 320, line.end(), second.begin(), second.end()) - line.begin();
    ASSERT_LT(b + 160, line.size());
    EXPECT_EQ(t.events, 1);
    EXPECT_GT(t.sentAtTick, b + 160) << "posted at the end of the second play";
    EXPECT_LE(t.sentBeforeTick, b + 160);
}

TEST_F(PlayTest, StopPlaySilencesAtOnceWithoutAnEvent) {
    const auto audio = Pattern(8000);
    ASSERT_TRUE(media::Play(port, audio.data(), 8000, false));
    // Until the play is on the line.
    for (int i = 0; i < 50 && FirstAudio(rig.SentBytes(kChannel)) == rig.SentBytes(kChannel).size(); ++i) {
        rig.Run(10);
    }
    ASSERT_LT(FirstAudio(rig.SentBytes(kChannel)), rig.SentBytes(kChannel).size());
    media::StopPlay(port);
    EXPECT_EQ(media::PlayTimeLeft(port), 0);
    const size_t from = rig.sent().size();
    rig.Step();  // the very next packet: what was queued is gone
    const auto after = rig.SentBytes(kChannel, from);
    EXPECT_TRUE(AllAre(after, 0, after.size(), kIdle));
    rig.Run(300);
    const auto later = rig.SentBytes(kChannel, from);
    EXPECT_EQ(std::count_if(later.begin(), later.end(), [](uint8_t x) { return x != kFill && x != kIdle; }), 0);
    EXPECT_EQ(CountOf(MediaRig::Events(port), driver::kEventPlayEnds), 0u);
}

TEST_F(PlayTest, AnEmptyPlayStillEnds) {
    ASSERT_TRUE(media::Play(port, nullptr, 0, false));
    EXPECT_EQ(RunUntilPlayEnds(rig, port, 100).events, 1);
    ASSERT_TRUE(media::Play(port, nullptr, 0, true));
    EXPECT_EQ(RunUntilPlayEnds(rig, port, 100).events, 1);
}

TEST_F(PlayTest, BadBuffersAreRefusedAndQueueNothing) {
    uint8_t byte = 1;
    EXPECT_FALSE(media::Play(port, nullptr, 10, false));
    EXPECT_NE(std::string(port.errorText).find("invalid"), std::string::npos) << port.errorText;
    port.ClearError();
    EXPECT_FALSE(media::Play(port, &byte, -1, true));
    EXPECT_NE(std::string(port.errorText), "");
    EXPECT_FALSE(media::Play(port, nullptr, INT_MIN, false));
    EXPECT_EQ(port.wave.head, nullptr);
    EXPECT_EQ(port.wave.playActive.load(), 0);
    EXPECT_EQ(media::PlayTimeLeft(port), 0);
}

// A host thread holding the play lock makes the fill wait a cycle rather
// than block the tick thread; the play still goes out without a gap.
TEST_F(PlayTest, AFillThatFindsThePlayLockTakenIsRetriedNextCycle) {
    const auto audio = Pattern(480);
    ASSERT_TRUE(media::Play(port, audio.data(), 480, false));
    std::atomic<bool> held{false}, release{false};
    std::thread host([&] {
        port.wave.playLock.Enter();
        held = true;
        testsupport::WaitUntil([&] { return release.load(); }, 5000);
        port.wave.playLock.Leave();
    });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return held.load(); }, 5000));
    const int64_t before = port.wave.queuedBytes.load();
    rig.Tick();
    rig.Tick();
    EXPECT_EQ(port.wave.queuedBytes.load(), before) << "nothing copied while the lock is held";
    release = true;
    host.join();
    EXPECT_EQ(RunUntilPlayEnds(rig, port, 100).events, 1);
    const auto line = rig.SentBytes(kChannel);
    const size_t a = FirstAudio(line);
    ASSERT_LT(a + 480, line.size());
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), line.begin() + a));
}

TEST_F(PlayTest, CloseDropsThePlayAndOpenStartsClean) {
    const auto audio = Pattern(3200);
    ASSERT_TRUE(media::Play(port, audio.data(), 3200, false));
    rig.Run(100);
    port.Close();
    EXPECT_EQ(media::PlayTimeLeft(port), 0);
    EXPECT_EQ(port.wave.head, nullptr);
    port.Open();
    rig.Run(300);
    EXPECT_TRUE(MediaRig::Events(port).empty());
}

class RecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.ok());
        rig.SetSource(kChannel, speech);
        port.Open();
        rig.Run(100);
    }
    MediaRig rig{1, 4};
    driver::CDevice& port = rig.Port(kTrunk, kSlot);
    const std::vector<uint8_t> speech = Pattern(200000, 5);
};

TEST_F(RecordTest, ALimitOf1000MsKeepsExactly8000ReceivedBytes) {
    ASSERT_TRUE(media::Record(port, 1000));
    EXPECT_EQ(media::RecordTimeLeft(port), 1001);
    int ticksToEnd = 0;
    while (ticksToEnd < 200 && CountOf(MediaRig::Events(port), driver::kEventRecordEnds) == 0) {
        rig.Run(10);
        ++ticksToEnd;
        if (media::RecordSize(port) == 8000 && port.wave.recordState.load() == media::kRecordActive) {
            EXPECT_EQ(media::RecordTimeLeft(port), 0) << "full, the end comes with the next block";
        }
    }
    ASSERT_EQ(media::RecordSize(port), 8000);
    EXPECT_EQ(media::RecordTimeLeft(port), 0);
    const auto* data = static_cast<const uint8_t*>(media::RecordBuffer(port));
    ASSERT_NE(data, nullptr);
    // The recording is the card's bytes unchanged, from a block boundary.
    auto at = std::search(speech.begin(), speech.end(), data, data + 160);
    ASSERT_NE(at, speech.end());
    EXPECT_TRUE(std::equal(data, data + 8000, at));
    rig.Run(100);
    EXPECT_EQ(media::RecordSize(port), 8000);
    EXPECT_TRUE(MediaRig::Events(port).empty());
}

TEST_F(RecordTest, ALimitOf30MsKeeps240Bytes) {
    ASSERT_TRUE(media::Record(port, 30));
    rig.Run(100);
    EXPECT_EQ(media::RecordSize(port), 240);
    EXPECT_EQ(port.wave.recordState.load(), media::kRecordStopped);
}

TEST_F(RecordTest, LimitsAndTimeLeft) {
    ASSERT_TRUE(media::Record(port, -1));
    EXPECT_EQ(static_cast<uint32_t>(media::RecordTimeLeft(port)), 0xFFFFFFFFu);
    rig.Run(200);
    ASSERT_TRUE(media::StopRecord(port));
    const int kept = media::RecordSize(port);
    EXPECT_GE(kept, 160 * 9);
    rig.Run(100);
    EXPECT_EQ(media::RecordSize(port), kept) << "final as soon as StopRecord returns";
    EXPECT_EQ(media::RecordTimeLeft(port), 0);
    EXPECT_TRUE(MediaRig::Events(port).empty()) << "no event for a stopped recording";

    ASSERT_TRUE(media::Record(port, 0));  // clears, records nothing
    EXPECT_EQ(media::RecordSize(port), 0);
    EXPECT_EQ(media::RecordBuffer(port), nullptr);
    rig.Run(100);
    EXPECT_EQ(media::RecordSize(port), 0);

    // A limit too long for 32 bits is cut, not wrapped round to a short one.
    ASSERT_TRUE(media::Record(port, 600000000));
    EXPECT_GE(media::RecordTimeLeft(port), 536870000);
}

TEST_F(RecordTest, ANegativeLimitOtherThanNoneIsRefused) {
    ASSERT_TRUE(media::Record(port, 1000));
    rig.Run(100);
    const int size = media::RecordSize(port);
    EXPECT_FALSE(media::Record(port, -2));
    EXPECT_NE(std::string(port.errorText).find("invalid"), std::string::npos);
    EXPECT_FALSE(media::Record(port, INT_MIN));
    EXPECT_EQ(media::RecordSize(port), size) << "the running recording is untouched";
    EXPECT_EQ(port.wave.recordState.load(), media::kRecordActive);
}

TEST_F(RecordTest, RecordingZeroMsEndsARunningRecordingEmpty) {
    ASSERT_TRUE(media::Record(port, 5000));
    rig.Run(100);
    ASSERT_TRUE(media::Record(port, 0));
    rig.Run(30);
    EXPECT_EQ(CountOf(MediaRig::Events(port), driver::kEventRecordEnds), 1u);
    EXPECT_EQ(media::RecordSize(port), 0);
}

// Beyond ten seconds the buffer grows; a pointer the host took earlier
// stays readable with what it held.
TEST_F(RecordTest, LongRecordingsGrowAndEarlierPointersStayValid) {
    ASSERT_TRUE(media::Record(port, -1));
    std::vector<uint8_t> block(160);
    const uint8_t* early = nullptr;
    for (int i = 0; i < 1200; ++i) {  // 24 s
        std::fill(block.begin(), block.end(), static_cast<uint8_t>(i));
        media::MediaDispatch(0, kSlot, media::kMediaRxBlock, 0, block.data(), 160);
        if (i == 99) early = static_cast<const uint8_t*>(media::RecordBuffer(port));
    }
    ASSERT_EQ(media::RecordSize(port), 1200 * 160);
    ASSERT_NE(early, nullptr);
    EXPECT_EQ(early[0], 0);
    EXPECT_EQ(early[99 * 160 + 159], 99);
    const auto* now = static_cast<const uint8_t*>(media::RecordBuffer(port));
    EXPECT_EQ(now[1199 * 160], static_cast<uint8_t>(1199));
    EXPECT_EQ(now[500 * 160], static_cast<uint8_t>(500));
}

// The host's callback: what it saw, per direction, for context 77.
struct CallbackLog {
    std::vector<uint8_t> received, sent;
    int otherContexts = 0;
};
CallbackLog g_log;

void VAXO_CALL LogAudio(int direction, uint32_t context, unsigned char* data, int length) {
    if (context != 77) ++g_log.otherContexts;
    auto& to = direction == 0 ? g_log.received : g_log.sent;
    to.insert(to.end(), data, data + length);
}

TEST(AudioCallback, SeesBothDirectionsEvenOnAPortThatIsNotOpen) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    driver::CDevice& port = rig.Port(kTrunk, kSlot);  // never opened
    const auto speech = Pattern(4000, 9);
    rig.SetSource(kChannel, speech);
    CallbackLog& log = g_log;
    media::SetAudioCallback(port, 77, LogAudio);
    rig.Run(400);
    EXPECT_EQ(log.otherContexts, 0);
    ASSERT_GE(log.received.size(), 160u * 15);
    EXPECT_EQ(log.received.size() % 160, 0u);
    auto at = std::search(speech.begin(), speech.end(), log.received.begin(), log.received.begin() + 160);
    ASSERT_NE(at, speech.end());
    EXPECT_TRUE(std::equal(log.received.begin(), log.received.end(), at)) << "every received block, in order";
    ASSERT_GE(log.sent.size(), 160u * 15);
    EXPECT_TRUE(AllAre(log.sent, 0, log.sent.size(), kFill));
    // And the callback's blocks are the ones that went out.
    const auto line = rig.SentBytes(kChannel);
    EXPECT_TRUE(AllAre(line, 160, line.size() - 160, kFill));

    media::SetAudioCallback(port, 0, nullptr);
    const size_t before = log.received.size();
    rig.Run(100);
    EXPECT_EQ(log.received.size(), before);
}

}  // namespace
