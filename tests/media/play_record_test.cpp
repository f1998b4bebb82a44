// Play and record engines on a card's media path, driven cycle by cycle:
// the exact bytes a play puts on the line, when its end is posted, what a
// recording keeps, and the limits of both.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "common/cpu.h"
#include "media/card_media.h"
#include "media/play.h"
#include "media_rig.h"

namespace {

using mediatest::MediaRig;
using mediatest::Pattern;

constexpr int kSlot = 1;
constexpr int kChannel = kSlot;  // trunk 0
constexpr uint8_t kFill = 0xD5;
constexpr uint8_t kIdle = 0x54;

// Events of `code` taken from the port's queue (all others are taken too).
int Taken(driver::CDevice& port, uint32_t code) {
    const auto events = MediaRig::Events(port);
    return static_cast<int>(std::count(events.begin(), events.end(), code));
}

// First byte of a play on the line from `from` on: anything but fill and idle.
size_t FirstAudio(const std::vector<uint8_t>& line, size_t from = 0) {
    return std::find_if(line.begin() + from, line.end(), [](uint8_t b) { return b != kFill && b != kIdle; }) - line.begin();
}
bool NoAudio(const std::vector<uint8_t>& line) { return FirstAudio(line) == line.size(); }

bool AllAre(const std::vector<uint8_t>& line, size_t from, size_t n, uint8_t value) {
    return from + n <= line.size() &&
           std::all_of(line.begin() + from, line.begin() + from + n, [&](uint8_t b) { return b == value; });
}

// 10 ms cycles until the port posts KVEVENT_PLAYENDS (and 20 more to see a
// second one); the channel's bytes on the line at the tick before and at the
// tick that posted it. Until then the time left shrinks but stays above 0.
struct EndTiming { int events = 0; size_t sentBeforeTick = 0, sentAtTick = 0; };

EndTiming RunUntilPlayEnds(MediaRig& rig, driver::CDevice& port, int maxCycles) {
    EndTiming t;
    size_t previous = rig.SentBytes(kChannel).size();
    int left = media::PlayTimeLeft(port);
    for (int i = 0; i < maxCycles; ++i) {
        rig.Run(10);
        const size_t now = rig.SentBytes(kChannel).size();
        const int ends = Taken(port, driver::kEventPlayEnds), nowLeft = media::PlayTimeLeft(port);
        EXPECT_TRUE(t.events + ends > 0 || (nowLeft <= left && nowLeft >= 1)) << nowLeft << ": not 0 before the end is posted";
        if (ends > 0 && t.events == 0) t.sentBeforeTick = previous, t.sentAtTick = now, maxCycles = std::min(maxCycles, i + 21);
        t.events += ends, previous = now, left = nowLeft;
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
    driver::CDevice& port = rig.Port(0, kSlot);
};

// A play starts with a block of its own; the rest of its last block, the block that finds
// the play empty and the marked block are fill; the end is posted by the
// first tick after the marked block began to go out. A host thread holding
// the play lock makes the fill wait a cycle rather than block the tick thread.
TEST_F(PlayTest, ExactBytesOnTheLineAndWhenTheEndIsPosted) {
    struct Case { int bytes; size_t fill, marked; bool cached, lockHeld; };
    uint8_t salt = 0;
    for (const Case& c : {Case{320, 320, 480, false, false}, Case{100, 220, 160, true, false}, Case{480, 320, 640, false, true}}) {
        SCOPED_TRACE(c.bytes);
        const size_t from = rig.SentBytes(kChannel).size();
        const auto audio = Pattern(static_cast<size_t>(c.bytes), ++salt);
        ASSERT_TRUE(media::Play(port, audio.data(), c.bytes, c.cached));
        EXPECT_EQ(media::PlayTimeLeft(port), c.bytes / 8);
        if (c.lockHeld) {
            port.wave.playLock.Enter();
            std::thread([&] { rig.Run(20); }).join();  // a fill is due, on another thread than the lock holder
            EXPECT_EQ(media::PlayTimeLeft(port), c.bytes / 8) << "nothing copied while the lock is held";
            port.wave.playLock.Leave();
        }
        const EndTiming t = RunUntilPlayEnds(rig, port, 100);
        const auto line = rig.SentBytes(kChannel);
        const size_t a = FirstAudio(line, from);
        ASSERT_LT(a + c.bytes + c.fill, line.size());
        EXPECT_TRUE(std::equal(audio.begin(), audio.end(), line.begin() + a)) << a;
        EXPECT_TRUE(AllAre(line, a + c.bytes, c.fill, kFill));
        EXPECT_TRUE(t.events == 1 && t.sentBeforeTick <= a + c.marked && t.sentAtTick > a + c.marked)
            << t.events << " ends, posted between " << t.sentBeforeTick << " and " << t.sentAtTick << ", marked at " << a + c.marked;
        EXPECT_EQ(media::PlayTimeLeft(port), 0);
    }
}

// A play on a channel with nothing playing starts at the next fill, not
// behind the fill blocks queued ahead of the line; one queued behind a play
// still on its way waits its turn (no gap, nothing cut).
TEST_F(PlayTest, APlayOnAQuietChannelStartsAtTheNextFill) {
    const size_t ahead = 4 * 2 * 160;  // the send pool of 4 buffers, full of fill
    const size_t from = rig.SentBytes(kChannel).size();
    const auto first = Pattern(800, 1), second = Pattern(480, 2);
    ASSERT_TRUE(media::Play(port, first.data(), 800, false));
    rig.Run(20);
    ASSERT_TRUE(media::Play(port, second.data(), 480, false));
    RunUntilPlayEnds(rig, port, 100);
    const auto line = rig.SentBytes(kChannel);
    const size_t a = FirstAudio(line, from);
    EXPECT_LT(a - from, 2 * 160u) << "waited behind " << a - from << " bytes (" << ahead << " queued)";
    ASSERT_LT(a + 800 + 480, line.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), line.begin() + a));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), line.begin() + a + 800));
}

// A second play queued at once (4 buffers), or only after the first was
// copied and marked ahead of the line (16): no gap, one end, posted when
// the second play's marked block goes out.
TEST(PlayBackToBack, TwoPlaysEndOnce) {
    for (int buffers : {4, 16}) {
        SCOPED_TRACE(buffers);
        MediaRig rig(1, buffers);
        ASSERT_TRUE(rig.ok());
        driver::CDevice& port = rig.Port(0, kSlot);
        port.Open();
        rig.Run(buffers * 50);
        const auto first = Pattern(320, 3), second = Pattern(100, 4);
        ASSERT_TRUE(media::Play(port, first.data(), 320, false));
        auto untilMarked = [&] { for (int i = 0; buffers > 4 && i < 50 && port.wave.playEnded.load() != 2; ++i) rig.Run(10); };
        untilMarked();
        ASSERT_TRUE(media::Play(port, second.data(), 100, false));
        untilMarked();
        ASSERT_TRUE(buffers == 4 || (port.wave.playEnded.load() == 2 && MediaRig::Events(port).empty()))
            << "the first play's end is still on its way";
        const EndTiming t = RunUntilPlayEnds(rig, port, 200);
        const auto line = rig.SentBytes(kChannel);
        const size_t a = FirstAudio(line);
        ASSERT_LT(a + 320, line.size());
        EXPECT_TRUE(std::equal(first.begin(), first.end(), line.begin() + a));
        const size_t b = std::search(line.begin() + a + 320, line.end(), second.begin(), second.end()) - line.begin();
        ASSERT_LT(b + 160, line.size());
        EXPECT_TRUE(buffers > 4 || b == a + 320) << "no gap between plays";
        EXPECT_TRUE(t.events == 1 && t.sentBeforeTick <= b + 160 && t.sentAtTick > b + 160)
            << t.events << " ends, posted between " << t.sentBeforeTick << " and " << t.sentAtTick << ", marked at " << b + 160;
    }
}

TEST_F(PlayTest, StopPlaySilencesAtOnceWithoutAnEvent) {
    const auto audio = Pattern(8000);
    ASSERT_TRUE(media::Play(port, audio.data(), 8000, false));
    for (int i = 0; i < 50 && NoAudio(rig.SentBytes(kChannel)); ++i) rig.Run(10);
    ASSERT_FALSE(NoAudio(rig.SentBytes(kChannel)));
    media::StopPlay(port);
    EXPECT_EQ(media::PlayTimeLeft(port), 0);
    const size_t from = rig.sent().size();
    rig.Step();  // the very next packet: what was queued is gone
    EXPECT_TRUE(AllAre(rig.SentBytes(kChannel, from), 0, rig.SentBytes(kChannel, from).size(), kIdle));
    rig.Run(300);
    EXPECT_TRUE(NoAudio(rig.SentBytes(kChannel, from)));
    EXPECT_EQ(Taken(port, driver::kEventPlayEnds), 0);
}

TEST_F(PlayTest, BadBuffersAreRefusedButAnEmptyPlayEnds) {
    uint8_t byte = 1;
    EXPECT_FALSE(media::Play(port, nullptr, 10, false));
    EXPECT_NE(std::string(port.errorText).find("invalid"), std::string::npos) << port.errorText;
    port.ClearError();
    EXPECT_FALSE(media::Play(port, &byte, -1, true));
    EXPECT_NE(std::string(port.errorText), "");
    EXPECT_FALSE(media::Play(port, nullptr, INT_MIN, false));
    EXPECT_TRUE(port.wave.head == nullptr && media::PlayTimeLeft(port) == 0) << "nothing queued";
    for (bool cached : {false, true}) {
        ASSERT_TRUE(media::Play(port, nullptr, 0, cached));
        EXPECT_EQ(RunUntilPlayEnds(rig, port, 100).events, 1);
    }
}

// A Play from another host thread that comes once StopPlay has emptied the
// list plays whole, whatever the tick thread fills meanwhile: the stop and
// the silencing of what was queued are one step. A long list to free makes
// the stop take long. Both threads share one CPU: the stop runs in the
// lowest scheduling class, and the other thread, which plays and then runs
// the media cycle that fills, takes over the moment it looks again, so it
// plays wherever the stop is once the list looks empty.
TEST_F(PlayTest, APlayRightAfterAStopFromAnotherThreadPlaysWhole) {
    static const uint8_t kOld = 0x11;
    const int cpu = testsupport::LastCpu();
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        for (int i = 0; i < 100000; ++i) ASSERT_TRUE(media::Play(port, &kOld, 1, true));
        const size_t from = rig.SentBytes(kChannel).size();
        const auto audio = Pattern(800, static_cast<uint8_t>(40 + round));
        bool played = false;
        std::thread other([&] {
            testsupport::OnCpu(cpu, SCHED_OTHER);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (media::PlayTimeLeft(port) != 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            played = media::Play(port, audio.data(), 800, false);
            for (int i = 0; i < 4; ++i) rig.Step();  // a send block freed and filled
            rig.Tick();
        });
        std::thread stop([&] {
            testsupport::OnCpu(cpu, SCHED_IDLE);
            media::StopPlay(port);
        });
        stop.join();
        other.join();
        ASSERT_TRUE(played);
        EXPECT_EQ(RunUntilPlayEnds(rig, port, 200).events, 1);
        const auto line = rig.SentBytes(kChannel, 0);
        EXPECT_NE(std::search(line.begin() + from, line.end(), audio.begin(), audio.end()), line.end())
            << "the play's first block went out whole";
    }
}

// A zero-length play with a real buffer keeps nothing of it: a static or a
// stack buffer goes through each path that frees play blocks untouched (one
// path a case, so each is seen on its own under AddressSanitizer), and the
// play still ends once.
enum class FreePath { NextPlay, StopPlay, ClosePort, OpenPort, Destruction };

class EmptyPlay : public ::testing::TestWithParam<FreePath> {};

TEST_P(EmptyPlay, NeverOwnsTheHostsBuffer) {
    static uint8_t staticBuffer[64];
    uint8_t stackBuffer[64] = {};
    for (uint8_t* buffer : {staticBuffer, stackBuffer}) {
        for (bool cached : {false, true}) {
            SCOPED_TRACE(std::string(buffer == staticBuffer ? "static" : "stack") + (cached ? ", cached" : ""));
            if (GetParam() == FreePath::Destruction && !cached) {
                driver::CDevice alone;  // never opened, never filled
                ASSERT_TRUE(media::Play(alone, buffer, 0, false));
            }
            MediaRig rig(1, 4);
            ASSERT_TRUE(rig.ok());
            driver::CDevice& port = rig.Port(0, kSlot);
            port.Open();
            rig.Run(100);
            if (GetParam() == FreePath::OpenPort) port.Close();
            ASSERT_TRUE(media::Play(port, buffer, 0, cached));
            switch (GetParam()) {
            case FreePath::NextPlay:
                EXPECT_EQ(RunUntilPlayEnds(rig, port, 100).events, 1);
                ASSERT_TRUE(media::Play(port, buffer, 0, cached));  // frees the used-up first block
                media::StopPlay(port);
                break;
            case FreePath::StopPlay: media::StopPlay(port); break;
            case FreePath::ClosePort: port.Close(); break;
            case FreePath::OpenPort: port.Open(); break;
            case FreePath::Destruction: break;  // the rig's port goes with the block queued
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EachFreeingPath, EmptyPlay,
                         ::testing::Values(FreePath::NextPlay, FreePath::StopPlay, FreePath::ClosePort,
                                           FreePath::OpenPort, FreePath::Destruction));

TEST_F(PlayTest, CloseDropsThePlayAndOpenStartsClean) {
    const auto audio = Pattern(3200);
    ASSERT_TRUE(media::Play(port, audio.data(), 3200, false));
    rig.Run(100);
    port.Close();
    EXPECT_EQ(media::PlayTimeLeft(port), 0);
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
    driver::CDevice& port = rig.Port(0, kSlot);
    const std::vector<uint8_t> speech = Pattern(200000, 5);
};

// The card's bytes unchanged, from a block boundary, exactly 8 per ms; one
// end event; time left counts down to 0 once full.
TEST_F(RecordTest, ALimitKeepsExactlyItsReceivedBytes) {
    for (int ms : {1000, 30}) {
        SCOPED_TRACE(ms);
        ASSERT_TRUE(media::Record(port, ms));
        EXPECT_EQ(media::RecordTimeLeft(port), ms + 1);
        for (int i = 0; i < 200 && Taken(port, driver::kEventRecordEnds) == 0; ++i) {
            rig.Run(10);
            const bool fullAndActive = media::RecordSize(port) == ms * 8 && port.wave.recordState.load() == media::kRecordActive;
            EXPECT_TRUE(!fullAndActive || media::RecordTimeLeft(port) == 0) << "full, the end comes with the next block";
        }
        ASSERT_EQ(media::RecordSize(port), ms * 8);
        EXPECT_TRUE(media::RecordTimeLeft(port) == 0 && port.wave.recordState.load() == media::kRecordStopped);
        const auto* data = static_cast<const uint8_t*>(media::RecordBuffer(port));
        ASSERT_NE(data, nullptr);
        const auto at = std::search(speech.begin(), speech.end(), data, data + 160);
        ASSERT_NE(at, speech.end());
        EXPECT_TRUE(std::equal(data, data + ms * 8, at));
        rig.Run(100);
        EXPECT_TRUE(media::RecordSize(port) == ms * 8 && MediaRig::Events(port).empty()) << "nothing after the end";
    }
}

TEST_F(RecordTest, LimitsAndStops) {
    ASSERT_TRUE(media::Record(port, -1));  // none
    EXPECT_EQ(static_cast<uint32_t>(media::RecordTimeLeft(port)), 0xFFFFFFFFu);
    rig.Run(200);
    const int size = media::RecordSize(port);
    EXPECT_FALSE(media::Record(port, -2));  // any other negative limit is refused
    EXPECT_NE(std::string(port.errorText).find("invalid"), std::string::npos);
    EXPECT_FALSE(media::Record(port, INT_MIN));
    rig.Run(20);
    EXPECT_GT(media::RecordSize(port), size) << "the running recording goes on";
    ASSERT_TRUE(media::StopRecord(port));
    const int kept = media::RecordSize(port);
    EXPECT_GE(kept, 160 * 9);
    rig.Run(100);
    EXPECT_EQ(media::RecordSize(port), kept) << "final as soon as StopRecord returns";
    EXPECT_TRUE(media::RecordTimeLeft(port) == 0 && MediaRig::Events(port).empty()) << "no event for a stopped recording";

    ASSERT_TRUE(media::Record(port, 5000));
    rig.Run(100);
    ASSERT_TRUE(media::Record(port, 0));  // ends the running recording, empty
    EXPECT_EQ(media::RecordBuffer(port), nullptr);
    rig.Run(100);
    EXPECT_TRUE(Taken(port, driver::kEventRecordEnds) == 1 && media::RecordSize(port) == 0);

    ASSERT_TRUE(media::Record(port, 600000000));  // too long for 32 bits: cut, not wrapped
    EXPECT_GE(media::RecordTimeLeft(port), 536870000);
}

// True when data[0, n) is the card's bytes from some point on, without a gap.
bool Contiguous(const std::vector<uint8_t>& speech, const uint8_t* data, size_t n) {
    if (data == nullptr || n < 160) return false;
    const auto at = std::search(speech.begin(), speech.end(), data, data + 160);
    return at != speech.end() && static_cast<size_t>(speech.end() - at) >= n && std::equal(data, data + n, at);
}

// Blocks that arrive while a host thread holds the record lock wait and are
// recorded once it is free: the recording keeps exactly its bytes, none
// lost. Held for longer than the module keeps blocks aside, the rest are
// dropped, counted per card and traced; so is a full receive block that
// finds no free block because the tick thread fell behind.
TEST_F(RecordTest, BlocksWaitForTheRecordLockAndEveryDropIsCountedAndTraced) {
    mediatest::TraceCapture trace;
    auto holdLockFor = [&](int ms) {
        port.wave.recordLock.Enter();
        std::thread([&] { rig.Run(ms); }).join();  // the cycles run on another thread than the lock holder
        port.wave.recordLock.Leave();
    };
    ASSERT_TRUE(media::Record(port, 1000));
    rig.Run(200);
    holdLockFor(100);  // 5 blocks
    for (int i = 0; i < 200 && Taken(port, driver::kEventRecordEnds) == 0; ++i) rig.Run(10);
    ASSERT_EQ(media::RecordSize(port), 8000);
    EXPECT_TRUE(Contiguous(speech, static_cast<const uint8_t*>(media::RecordBuffer(port)), 8000));
    EXPECT_EQ(media::DroppedBlocks(rig.card()), 0u);

    ASSERT_TRUE(media::Record(port, 1000));
    holdLockFor(400);  // 20 blocks, 8 kept aside
    for (int i = 0; i < 200 && Taken(port, driver::kEventRecordEnds) == 0; ++i) rig.Run(10);
    EXPECT_EQ(media::RecordSize(port), 8000);
    EXPECT_EQ(media::DroppedBlocks(rig.card()), 12u);

    for (int i = 0; i < 4 * 30; ++i) rig.Step();  // 30 blocks without a tick: the pool of 4 overflows
    rig.Tick();
    const uint64_t dropped = media::DroppedBlocks(rig.card());
    EXPECT_GE(dropped, 12u + 20u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    rig.Tick();
    // The first drop is traced at once, the rest within a second in one line.
    const std::string log = trace.Text();
    EXPECT_NE(log.find("Card 19: 1 audio blocks dropped (1 in all)"), std::string::npos) << log;
    EXPECT_NE(log.find("Card 19: " + std::to_string(dropped - 1) + " audio blocks dropped (" + std::to_string(dropped) +
                       " in all)"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

// Bursts from the card as large as the pool, one cycle apart, while host
// threads call the port's exports in a loop: the cycle takes every block
// waiting, so a recording with a limit ends with exactly its bytes.
TEST_F(RecordTest, BurstsAsLargeAsThePoolLoseNothingWhileHostThreadsCallTheExports) {
    static const uint8_t kPrompt[160] = {};
    std::atomic<bool> stop{false};
    std::vector<std::thread> host;
    for (int t = 0; t < 2; ++t)
        host.emplace_back([&] {
            while (!stop.load()) {
                media::RecordSize(port), media::RecordTimeLeft(port), media::RecordBuffer(port);
                media::PlayTimeLeft(port), port.Open(), port.Rings(), port.TakeKey();
                media::Play(port, kPrompt, sizeof kPrompt, true);
                media::StopPlay(port);
            }
        });
    ASSERT_TRUE(media::Record(port, 1000));
    rig.Run(100);
    for (int burst = 0; burst < 3; ++burst) {
        for (int i = 0; i < 4 * 3; ++i) rig.Step();  // 3 blocks at once; the pool has 4
        rig.Tick();
    }
    for (int i = 0; i < 200 && Taken(port, driver::kEventRecordEnds) == 0; ++i) rig.Run(10);
    stop = true;
    for (auto& t : host) t.join();
    ASSERT_EQ(media::RecordSize(port), 8000);
    EXPECT_TRUE(Contiguous(speech, static_cast<const uint8_t*>(media::RecordBuffer(port)), 8000));
    EXPECT_EQ(media::DroppedBlocks(rig.card()), 0u);
}

// Ten minutes without a limit hold at most about 1.5 times their bytes
// besides what the host was handed, and a pointer the host took stays
// readable with what it held; with a limit the whole buffer comes at the
// start.
TEST_F(RecordTest, LongRecordingsHoldLittleMoreThanTheirBytesAndPointersTakenStayValid) {
    constexpr int kSeconds = 600;
    constexpr int kBlocks = kSeconds * 50;
    constexpr uint64_t kSlack = 2 * media::CBuffer::kGrowthBytes + 160;  // the first storage, kept, and one step
    std::vector<uint8_t> block(160);
    auto offer = [&](int i) {
        std::fill(block.begin(), block.end(), static_cast<uint8_t>(i));
        media::MediaDispatch(0, kSlot, media::kMediaRxBlock, 0, block.data(), 160);
    };
    ASSERT_TRUE(media::Record(port, -1));
    const uint8_t* early = nullptr;
    for (int i = 0; i < kBlocks; ++i) {
        offer(i);
        if (i == 99) early = static_cast<const uint8_t*>(media::RecordBuffer(port));
        if (i % 500 == 0) {
            const uint64_t bytes = uint64_t(i + 1) * 160, held = port.wave.record.heldBytes();
            ASSERT_LE(held, bytes * 3 / 2 + kSlack) << "after " << bytes << " bytes";
        }
    }
    ASSERT_TRUE(media::RecordSize(port) == kBlocks * 160 && early != nullptr);
    EXPECT_TRUE(early[0] == 0 && early[99 * 160 + 159] == 99) << "an earlier pointer keeps what it held";
    const auto* now = static_cast<const uint8_t*>(media::RecordBuffer(port));
    EXPECT_TRUE(now[(kBlocks - 1) * 160] == static_cast<uint8_t>(kBlocks - 1) && now[500 * 160] == static_cast<uint8_t>(500));

    ASSERT_TRUE(media::Record(port, kSeconds * 1000));
    EXPECT_EQ(port.wave.record.capacity(), kSeconds * 8000u);
    offer(0);
    const void* first = media::RecordBuffer(port);
    for (int i = 1; i <= kBlocks; ++i) offer(i);
    EXPECT_TRUE(media::RecordSize(port) == kSeconds * 8000 && Taken(port, driver::kEventRecordEnds) == 1);
    EXPECT_TRUE(media::RecordBuffer(port) == first && port.wave.record.heldBytes() == kSeconds * 8000u) << "never grown";
}

}  // namespace
