// The media path end to end: the module loaded as a host loads it, a
// simulated card streaming audio in a private lab. What a play puts on the
// line and when its end is posted, what a recording keeps, a digit from the
// far end, and the host's audio callback on a port that is not open.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "transport_lab.h"

namespace {

using testsupport::WaitUntil;
using transport_e2e::Started;

constexpr int kPlayEnds = 50;
constexpr int kRecordEnds = 60;
constexpr int kKey = 40;
constexpr int kStreamMs = 10000;
constexpr uint8_t kFill = 0xD5;

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = 2463534242u + seed;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
        if (b == 0xD5 || b == 0x54) b = 0x99;
    }
    return out;
}

// True when data[0, n) is what the card sent from speech, in order: all of
// it from the second block on, and the first block's bytes as far as they
// come after the source was set (the rest is the silence before it).
bool FromSource(const uint8_t* data, size_t n, const std::vector<uint8_t>& speech) {
    if (n < 320) return false;
    const auto at = std::search(speech.begin(), speech.end(), data + 160, data + 320);
    if (at == speech.end()) return false;
    const size_t p = static_cast<size_t>(at - speech.begin());
    if (p + n - 160 > speech.size() || !std::equal(data + 160, data + n, at)) return false;
    for (size_t i = 0; i < 160; ++i) {
        if (p + i >= 160 && data[i] != speech[p + i - 160]) return false;
    }
    return true;
}

// One simulated card of one trunk and the module started against it.
class MediaLab : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        lab_ = testsupport::NetworkLab::Create(1, &why);
        if (!lab_) GTEST_SKIP() << "no private network lab: " << why;
        ASSERT_TRUE(lab_->EnterHost());
        sim::CardProfile oneTrunk;
        oneTrunk.trunks = 1;
        ASSERT_TRUE(transport_e2e::StartCards(*lab_, {oneTrunk}, &cards_));
        host_ = std::make_unique<testsupport::ModuleHost>("[General]\nAudioBuffers=4\n");
        started_ = std::make_unique<Started>(*host_);
        ASSERT_TRUE(started_->ok());
        ASSERT_GE(api()->NoofPorts(), 30);
        // Audio flows once the card knows the module's audio port.
        ASSERT_TRUE(WaitUntil([&] { return card().Captured(0, 1).size() > 1600; }, kStreamMs));
    }
    void TearDown() override {
        started_.reset();
        host_.reset();
        for (auto& c : cards_) c->Stop();
    }

    const testsupport::ModuleHost& api() const { return *host_; }
    sim::SimCard& card() { return *cards_[0]; }

    // Waits for an event of the port, keeping the others; false on timeout.
    bool WaitEvent(int port, int code, int timeoutMs) {
        return WaitUntil(
            [&] {
                for (int e = api()->GetEvent(port); e != 0; e = api()->GetEvent(port)) {
                    if (e == code) return true;
                }
                return false;
            },
            timeoutMs, 1);
    }

    void OpenWithEvents(int port) {
        api()->SetEventHandle(port, host_->NewEventHandle());
        ASSERT_TRUE(api()->OpenPort(port));
    }

    // Plays n bytes on port 0 (trunk 0, timeslot 1) and checks the line.
    void CheckPlayOnTheLine(size_t n, uint32_t seed) {
        const auto audio = Pattern(n, seed);
        ASSERT_TRUE(api()->Play(0, const_cast<uint8_t*>(audio.data()), static_cast<int>(n)));
        ASSERT_TRUE(WaitEvent(0, kPlayEnds, kStreamMs));
        const size_t atEnd = card().Captured(0, 1).size();
        EXPECT_EQ(api()->PlayTimeLeft(0), 0);
        ASSERT_TRUE(WaitUntil([&] { return card().Captured(0, 1).size() > atEnd + 800; }, kStreamMs));
        const auto line = card().Captured(0, 1);
        const auto at = std::search(line.begin(), line.end(), audio.begin(), audio.end());
        ASSERT_NE(at, line.end()) << "the play's bytes, unchanged and without a gap";
        const size_t a = static_cast<size_t>(at - line.begin());
        // Filled up with 0xD5 to the end of its block, then the block that
        // found the play empty and the marked one.
        const size_t fillEnd = (n % 160 == 0 ? n + 320 : (n / 160 + 1) * 160 + 160);
        EXPECT_TRUE(std::all_of(line.begin() + a + n, line.begin() + a + fillEnd, [](uint8_t b) { return b == kFill; }));
        EXPECT_GE(atEnd, a + n) << "the end is not posted before the play is out";
    }

    std::unique_ptr<testsupport::NetworkLab> lab_;
    std::vector<std::unique_ptr<sim::SimCard>> cards_;
    std::unique_ptr<testsupport::ModuleHost> host_;
    std::unique_ptr<Started> started_;
};

TEST_F(MediaLab, PlaysGoOutByteForByteAndThenEnd) {
    OpenWithEvents(0);
    CheckPlayOnTheLine(320, 1);
    CheckPlayOnTheLine(100, 2);
}

TEST_F(MediaLab, ARecordingOfOneSecondHolds8000ReceivedBytes) {
    const auto speech = Pattern(80000, 3);
    sim::AudioSource source;
    source.kind = sim::AudioSource::Alaw;
    source.alaw = speech;
    card().SetSource(0, 1, source);
    OpenWithEvents(0);
    ASSERT_TRUE(api()->Record(0, 1000));
    ASSERT_TRUE(WaitEvent(0, kRecordEnds, kStreamMs));
    ASSERT_EQ(api()->GetRecordSize(0), 8000);
    const auto* data = static_cast<const uint8_t*>(api()->GetRecordBuffer(0));
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(FromSource(data, 8000, speech)) << "the card's bytes, in order, none lost";
}

// A pair swapped on the way and a packet repeated: the module puts the pair
// back in order and drops the repeats, so the recording misses nothing.
TEST_F(MediaLab, ReorderedAndRepeatedPacketsLoseNothing) {
    const auto speech = Pattern(80000, 6);
    sim::AudioSource source;
    source.kind = sim::AudioSource::Alaw;
    source.alaw = speech;
    card().SetSource(0, 1, source);
    OpenWithEvents(0);
    ASSERT_TRUE(api()->Record(0, 1000));
    plat::SleepMs(200);
    card().ReorderNextPair();
    plat::SleepMs(100);
    card().RepeatNextPacket(3);
    ASSERT_TRUE(WaitEvent(0, kRecordEnds, kStreamMs));
    ASSERT_EQ(api()->GetRecordSize(0), 8000);
    EXPECT_TRUE(FromSource(static_cast<const uint8_t*>(api()->GetRecordBuffer(0)), 8000, speech));
    EXPECT_TRUE(host_->WaitForLog("Old/Duplicate Packet", kStreamMs));
    EXPECT_EQ(host_->ReadLog().find("Packet loss?"), std::string::npos) << "the swapped pair needed no re-sync";
}

TEST_F(MediaLab, ADigitFromTheFarEndArrivesAsAKey) {
    OpenWithEvents(0);
    sim::AudioSource source;
    source.kind = sim::AudioSource::Digits;
    source.digits = "5";
    card().SetSource(0, 1, source);
    ASSERT_TRUE(WaitEvent(0, kKey, kStreamMs));
    EXPECT_EQ(api()->GetKey(0), '5');
}

std::mutex g_seenLock;
std::vector<uint8_t> g_seen[2];

void VAXO_CALL Seen(int direction, uint32_t context, unsigned char* data, int length) {
    if (context != 5 || direction < 0 || direction > 1) return;
    std::lock_guard<std::mutex> guard(g_seenLock);
    g_seen[direction].insert(g_seen[direction].end(), data, data + length);
}

TEST_F(MediaLab, TheAudioCallbackSeesBothDirectionsOfAPortNotOpen) {
    const auto speech = Pattern(40000, 4);
    sim::AudioSource source;
    source.kind = sim::AudioSource::Alaw;
    source.alaw = speech;
    card().SetSource(0, 2, source);  // port 1, never opened
    api()->SetAudioCallback(1, 5, Seen);
    auto size = [](int d) {
        std::lock_guard<std::mutex> guard(g_seenLock);
        return g_seen[d].size();
    };
    ASSERT_TRUE(WaitUntil([&] { return size(0) >= 3200 && size(1) >= 3200; }, kStreamMs));
    api()->SetAudioCallback(1, 0, nullptr);
    std::lock_guard<std::mutex> guard(g_seenLock);
    EXPECT_EQ(g_seen[0].size() % 160, 0u);
    EXPECT_TRUE(FromSource(g_seen[0].data(), 3200, speech));
    EXPECT_TRUE(std::all_of(g_seen[1].begin(), g_seen[1].end(), [](uint8_t b) { return b == kFill; }));
}

}  // namespace
