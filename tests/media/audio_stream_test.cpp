// The audio stream of one card without network: which datagrams are taken,
// the packets sent in answer, where each channel's bytes sit, the dispatcher
// at the edges of the port range, DTMF delivery and the echo canceller.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "media/g711.h"
#include "media/play.h"
#include "media_rig.h"

namespace {

using mediatest::MediaRig;
using mediatest::Pattern;

uint64_t Processed(MediaRig& rig) { return rig.media().stats.processed.load(); }

TEST(AudioStream, TakesOnlyWellFormedDatagramsFromTheCard) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    auto sized = [&](uint32_t seq, size_t length) {
        auto p = rig.MakePacket(seq);
        p.resize(length, 0x11);
        return p;
    };
    rig.Deliver(sized(0, 583));
    rig.Deliver(sized(0, 1449));
    EXPECT_EQ(Processed(rig), 0u);
    rig.Deliver(sized(0, 584));
    rig.Deliver(sized(1, 1448));
    EXPECT_EQ(Processed(rig), 2u);
    EXPECT_EQ(rig.media().lastProcessed.load(), 1u);

    auto other = rig.MakePacket(2);
    rig.Deliver(other, mediatest::kRigCardAddress + 1);  // another sender
    other[1] = 0x56;
    rig.Deliver(other);  // no magic
    EXPECT_EQ(Processed(rig), 2u);
    EXPECT_EQ(rig.media().stats.dropped.load(), 4u);
    rig.Deliver(rig.MakePacket(2));
    EXPECT_EQ(Processed(rig), 3u);
}

TEST(AudioStream, AnUnusableTrunkCountDropsEverything) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    for (int trunks : {0, 9, -1}) {
        rig.card().trunkCount = trunks;
        rig.Deliver(rig.MakePacket(0, 1));
        rig.Tick();
        media::SendAudioPacket(rig.card());
    }
    EXPECT_EQ(Processed(rig), 0u);
    EXPECT_TRUE(rig.sent().empty());
    transport::CardLink other;
    other.trunkCount = 0;
    EXPECT_FALSE(media::SetUpAudioPools(other));
}

TEST(AudioStream, AudioBuffersOutsideReasonAreBounded) {
    {
        MediaRig rig(1, 0);  // none at all would leave every channel silent
        ASSERT_TRUE(rig.ok());
        EXPECT_EQ(rig.media().channels[1].receive.count(), 1u);
        EXPECT_EQ(rig.media().channels[1].send.count(), 2u);
    }
    MediaRig rig(1, 1 << 20);  // would be 80 GB for the card
    ASSERT_TRUE(rig.ok());
    EXPECT_EQ(rig.media().channels[1].receive.count(), 256u);
    EXPECT_EQ(rig.media().channels[40].receive.count(), 0u) << "no pools beyond the card's trunks";
}

TEST(AudioStream, AnswersPacketForPacketInTheCardsShape) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    auto first = rig.MakePacket(0, 2);
    first.resize(600);  // 18 whole frames and 16 bytes more
    rig.Deliver(first);
    ASSERT_EQ(rig.sent().size(), 2u);  // the card's re-sync count
    for (uint32_t i = 0; i < 2; ++i) {
        const auto& p = rig.sent()[i];
        ASSERT_EQ(p.size(), 600u);
        EXPECT_EQ(p[0], 0xFF);
        EXPECT_EQ(p[1], 0x55);
        EXPECT_EQ(media::PacketSequence(p.data()), i);
        EXPECT_EQ(p[6], 0);
        EXPECT_EQ(p[7], 0);
        EXPECT_TRUE(std::all_of(p.begin() + 8, p.begin() + 8 + 18 * 32, [](uint8_t b) { return b == 0x54; }))
            << "the first samples of every channel are idle";
        EXPECT_TRUE(std::all_of(p.begin() + 8 + 18 * 32, p.end(), [](uint8_t b) { return b == 0; }));
    }
    for (uint32_t q = 1; q < 30; ++q) rig.Deliver(rig.MakePacket(q));
    ASSERT_EQ(rig.sent().size(), 31u);
    EXPECT_EQ(rig.sent().back().size(), rig.packetLength()) << "as long as the last packet received";
    EXPECT_EQ(media::PacketSequence(rig.sent().back().data()), 30u);

    rig.Deliver(rig.MakePacket(30, 0, 3));  // the card lost three of ours
    EXPECT_EQ(rig.sent().size(), 35u);
    rig.Deliver(rig.MakePacket(30));  // a repeat: no answer
    EXPECT_EQ(rig.sent().size(), 35u);
}

TEST(AudioStream, EachChannelHasItsPlaceInEveryFrame) {
    MediaRig rig(8, 4);
    ASSERT_TRUE(rig.ok());
    ASSERT_EQ(rig.packetLength(), 1288u);
    struct Spot {
        int trunk, slot;
    };
    const Spot spots[] = {{0, 1}, {3, 17}, {7, 31}, {5, 2}};
    std::vector<std::vector<uint8_t>> speech;
    for (const Spot& s : spots) {
        speech.push_back(Pattern(6000, static_cast<uint8_t>(s.trunk * 32 + s.slot)));
        rig.SetSource(s.trunk * 32 + s.slot, speech.back());
        rig.Port(s.trunk, s.slot).Open();
    }
    for (const Spot& s : spots) ASSERT_TRUE(media::Record(rig.Port(s.trunk, s.slot), -1));
    const auto tune = Pattern(800, 77);
    ASSERT_TRUE(media::Play(rig.Port(5, 2), tune.data(), 800, false));
    rig.Run(400);
    for (size_t i = 0; i < 4; ++i) {
        driver::CDevice& port = rig.Port(spots[i].trunk, spots[i].slot);
        const auto* data = static_cast<const uint8_t*>(media::RecordBuffer(port));
        const int size = media::RecordSize(port);
        ASSERT_GE(size, 160 * 15);
        auto at = std::search(speech[i].begin(), speech[i].end(), data, data + 160);
        ASSERT_NE(at, speech[i].end()) << "trunk " << spots[i].trunk << " slot " << spots[i].slot;
        EXPECT_TRUE(std::equal(data, data + size, at));
    }
    const auto line = rig.SentBytes(5 * 32 + 2);
    EXPECT_NE(std::search(line.begin(), line.end(), tune.begin(), tune.end()), line.end());
    const auto neighbour = rig.SentBytes(5 * 32 + 3);
    EXPECT_EQ(std::search(neighbour.begin(), neighbour.end(), tune.begin(), tune.begin() + 20), neighbour.end());
}

TEST(AudioStream, TimeslotsWithoutAPortSendTheirOwnFill) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    rig.Port(0, 1);  // the only port made
    rig.Run(200);
    const auto framing = rig.SentBytes(0), signalling = rig.SentBytes(16), missing = rig.SentBytes(2);
    ASSERT_GT(framing.size(), 400u);
    // The first block of each channel is the idle block; then what the dispatcher filled.
    EXPECT_TRUE(std::all_of(framing.begin() + 160, framing.end(), [](uint8_t b) { return b == 0x00; }));
    EXPECT_TRUE(std::all_of(signalling.begin() + 160, signalling.end(), [](uint8_t b) { return b == 0x00; }));
    EXPECT_TRUE(std::all_of(missing.begin(), missing.end(), [](uint8_t b) { return b == 0x54; }))
        << "not stale pool bytes";

    // Ports beyond the table: zero-filled, never looked up.
    MediaRig high(1, 4);
    high.card().mediaContext = driver::kMaxPorts - 3;  // timeslot 4 is port 1024
    high.Run(200);
    const auto beyond = high.SentBytes(4), inside = high.SentBytes(3);
    EXPECT_TRUE(std::all_of(beyond.begin() + 160, beyond.end(), [](uint8_t b) { return b == 0x00; }));
    EXPECT_TRUE(std::all_of(inside.begin() + 160, inside.end(), [](uint8_t b) { return b == 0x54; }));
}

std::vector<uint8_t> TonePair(double f1, double f2, int ms, int amplitude) {
    std::vector<uint8_t> out;
    for (int n = 0; n < ms * 8; ++n) {
        const double t = n / 8000.0;
        const double v = amplitude * (std::sin(2 * M_PI * f1 * t) + std::sin(2 * M_PI * f2 * t));
        out.push_back(media::LinearToAlaw(static_cast<int16_t>(v)));
    }
    return out;
}

TEST(AudioStream, ADigitFromTheFarEndReachesThePort) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    driver::CDevice& port = rig.Port(0, 5);  // need not be open
    std::vector<uint8_t> source(800, media::kAlawSmallPositive);
    const auto five = TonePair(770, 1336, 60, 2000);
    source.insert(source.end(), five.begin(), five.end());
    source.insert(source.end(), 1600, media::kAlawSmallPositive);
    rig.SetSource(5, source);
    rig.Run(500);
    const auto events = MediaRig::Events(port);
    EXPECT_EQ(std::count(events.begin(), events.end(), driver::kEventKey), 1);
    EXPECT_EQ(port.TakeKey(), '5');
    EXPECT_EQ(port.TakeKey(), 0);

    // Detection off: nothing.
    rig.media().channels[5].dtmfOn = false;
    rig.SetSource(5, five);
    rig.Run(300);
    EXPECT_TRUE(MediaRig::Events(port).empty());
}

// With the trunk's canceller on, each received byte is replaced by the
// canceller's output for (what the module sent at that place, what came in):
// the same outputs as a canceller of our own fed the same pairs. A loud
// prompt against quiet far-end audio makes the canceller's clipping show.
TEST(AudioStream, TheEchoCancellerSeesWhatWasSentAtTheSamePlace) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    constexpr int kSlot = 3;
    media::CreateEchoCancellers(rig.card(), 0, 16);
    ASSERT_TRUE(rig.media().channels[kSlot].echo.created());
    rig.card().trunks[0].echoCanceller = true;
    driver::CDevice& port = rig.Port(0, kSlot);
    port.Open();
    std::vector<uint8_t> far = TonePair(440, 1100, 2000, 60);
    rig.SetSource(kSlot, far);
    const auto prompt = TonePair(300, 700, 1000, 6000);
    ASSERT_TRUE(media::Play(port, prompt.data(), static_cast<int>(prompt.size()), false));
    ASSERT_TRUE(media::Record(port, -1));
    rig.Run(800);
    const auto sent = rig.SentBytes(kSlot);
    const auto* recorded = static_cast<const uint8_t*>(media::RecordBuffer(port));
    const int size = media::RecordSize(port);
    ASSERT_GT(size, 4000);

    media::EchoCanceller mine;
    ASSERT_TRUE(mine.Create(128));
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < far.size() && i < sent.size(); ++i) expected.push_back(mine.UpdateAlaw(sent[i], far[i]));
    // The first block went to the scratch block before recording began.
    ASSERT_GE(expected.size(), 160u + size);
    EXPECT_TRUE(std::equal(recorded, recorded + size, expected.begin() + 160));
    EXPECT_FALSE(std::equal(recorded, recorded + size, far.begin() + 160)) << "the canceller did change something";

    // Switched off again: bytes pass unchanged.
    rig.card().trunks[0].echoCanceller = false;
    rig.Run(60);  // past the blocks cut while it was on
    ASSERT_TRUE(media::Record(port, -1));
    rig.Run(200);
    const auto* plain = static_cast<const uint8_t*>(media::RecordBuffer(port));
    auto at = std::search(far.begin(), far.end(), plain, plain + 160);
    ASSERT_NE(at, far.end());
    EXPECT_TRUE(std::equal(plain, plain + media::RecordSize(port), at));
}

TEST(AudioStream, SilentEchoReferencesDelayTheReference) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    rig.media().primeEchoBuffers = 3;
    rig.Deliver(rig.MakePacket(0, 1));
    // Three silent ones and the one just sent, less the one used.
    int queued = 0;
    uintptr_t item;
    std::vector<uintptr_t> taken;
    while (rig.media().echoReferences.data.Pop(&item)) {
        taken.push_back(item);
        ++queued;
    }
    EXPECT_EQ(queued, 3);
    const uint8_t* second = media::RingBlock(taken[1]);
    EXPECT_TRUE(std::all_of(second, second + rig.packetLength(), [](uint8_t b) { return b == 0xD5; }));
    const uint8_t* last = media::RingBlock(taken[2]);
    EXPECT_EQ(last[0], 0xFF) << "the sent packet, after the silent ones";
}

}  // namespace
