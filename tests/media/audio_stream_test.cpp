// The audio stream of one card without network: which datagrams are taken,
// the packets sent in answer, where each channel's bytes sit, the fill of
// timeslots without a port, and the echo canceller's reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "media/g711.h"
#include "media/play.h"
#include "platform/clock.h"
#include "media_rig.h"

namespace {

using mediatest::MediaRig;
using mediatest::Pattern;

uint64_t Processed(MediaRig& rig) { return rig.media().stats.processed.load(); }

bool AllAre(const std::vector<uint8_t>& v, size_t from, uint8_t value) {
    return from <= v.size() && std::all_of(v.begin() + from, v.end(), [&](uint8_t b) { return b == value; });
}

TEST(AudioStream, TakesOnlyWellFormedDatagramsFromTheCard) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    auto sized = [&](uint32_t seq, size_t length) {
        auto p = rig.MakePacket(seq);
        p.resize(length, 0x11);
        return p;
    };
    rig.Deliver(sized(0, 583)), rig.Deliver(sized(0, 1449));  // too short, too long
    EXPECT_EQ(Processed(rig), 0u);
    rig.Deliver(sized(0, 584)), rig.Deliver(sized(1, 1448));
    EXPECT_EQ(Processed(rig), 2u);
    auto other = rig.MakePacket(2);
    rig.Deliver(other, mediatest::kRigCardAddress + 1);  // another sender
    other[1] = 0x56;
    rig.Deliver(other);  // no magic
    EXPECT_TRUE(Processed(rig) == 2u && rig.media().stats.dropped.load() == 4u);
    rig.Deliver(rig.MakePacket(2));
    EXPECT_EQ(Processed(rig), 3u);
}

// The stream keeps to the source port it started with; another port of the
// card's address takes over only after the first has been quiet a while.
TEST(AudioStream, KeepsToTheSourcePortItStartedWith) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    constexpr uint16_t kOther = 40000;
    const uint32_t quiet = media::AudioSourceGate::kQuietMs;
    rig.Deliver(rig.MakePacket(0, 1), mediatest::kRigCardAddress, kOther);  // the first packet picks the port
    rig.Deliver(rig.MakePacket(1), mediatest::kRigCardAddress, transport::kCardPort);
    EXPECT_EQ(Processed(rig), 1u);
    plat::SetTickOffsetForTests(quiet - 100);
    rig.Deliver(rig.MakePacket(1), mediatest::kRigCardAddress, transport::kCardPort);
    EXPECT_EQ(Processed(rig), 1u) << "not quiet long enough";
    plat::SetTickOffsetForTests(quiet + 10);
    rig.Deliver(rig.MakePacket(1), mediatest::kRigCardAddress, transport::kCardPort);
    EXPECT_EQ(Processed(rig), 2u) << "the quiet port lost the stream to the other";
    rig.Deliver(rig.MakePacket(2), mediatest::kRigCardAddress, kOther);
    EXPECT_EQ(Processed(rig), 2u);
    EXPECT_EQ(rig.media().stats.dropped.load(), 3u);
    media::ResetAudioReceiveState(rig.card());  // a reopened card may use any port
    rig.Deliver(rig.MakePacket(0, 1), mediatest::kRigCardAddress, kOther);
    EXPECT_EQ(Processed(rig), 3u);
    plat::SetTickOffsetForTests(0);
}

TEST(AudioStream, BadTrunkCountsAndAudioBuffersAreBounded) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    for (int trunks : {0, 9, -1}) {
        rig.card().trunkCount = trunks;
        rig.Deliver(rig.MakePacket(0, 1));
        rig.Tick();
        media::SendAudioPacket(rig.card());
    }
    EXPECT_TRUE(Processed(rig) == 0u && rig.sent().empty());
    transport::CardLink noTrunks;
    noTrunks.trunkCount = 0;
    EXPECT_FALSE(media::SetUpAudioPools(noTrunks));

    MediaRig none(1, 0);  // no buffers would leave every channel silent
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none.media().channels[1].receive.count() == 1u && none.media().channels[1].send.count() == 2u);
    MediaRig huge(1, 1 << 20);  // would be 80 GB for the card
    ASSERT_TRUE(huge.ok());
    EXPECT_EQ(huge.media().channels[1].receive.count(), 256u);
    EXPECT_EQ(huge.media().channels[40].receive.count(), 0u) << "no pools beyond the card's trunks";
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
        EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 8), (std::vector<uint8_t>{0xFF, 0x55, uint8_t(i), 0, 0, 0, 0, 0}));
        EXPECT_TRUE(std::all_of(p.begin() + 8, p.begin() + 8 + 18 * 32, [](uint8_t b) { return b == 0x54; }))
            << "the first samples of every channel are idle";
        EXPECT_TRUE(AllAre(p, 8 + 18 * 32, 0));
    }
    for (uint32_t q = 1; q < 30; ++q) rig.Deliver(rig.MakePacket(q));
    ASSERT_EQ(rig.sent().size(), 31u);
    EXPECT_EQ(rig.sent().back().size(), rig.packetLength()) << "as long as the last packet received";
    EXPECT_EQ(media::PacketSequence(rig.sent().back().data()), 30u);
    rig.Deliver(rig.MakePacket(30, 0, 3));  // the card lost three of ours
    rig.Deliver(rig.MakePacket(30));        // a repeat: no answer
    EXPECT_EQ(rig.sent().size(), 35u);
}

TEST(AudioStream, EachChannelHasItsPlaceInEveryFrame) {
    MediaRig rig(8, 4);
    ASSERT_TRUE(rig.ok());
    ASSERT_EQ(rig.packetLength(), 1288u);
    const int channels[] = {0 * 32 + 1, 3 * 32 + 17, 7 * 32 + 31, 5 * 32 + 2};  // trunk * 32 + timeslot
    for (int c : channels) {
        rig.SetSource(c, Pattern(6000, static_cast<uint8_t>(c)));
        rig.Port(c / 32, c % 32).Open();
        ASSERT_TRUE(media::Record(rig.Port(c / 32, c % 32), -1));
    }
    const auto tune = Pattern(800, 77);
    ASSERT_TRUE(media::Play(rig.Port(5, 2), tune.data(), 800, false));
    rig.Run(400);
    for (int c : channels) {
        SCOPED_TRACE(c);
        const auto speech = Pattern(6000, static_cast<uint8_t>(c));
        const auto* data = static_cast<const uint8_t*>(media::RecordBuffer(rig.Port(c / 32, c % 32)));
        const int size = media::RecordSize(rig.Port(c / 32, c % 32));
        ASSERT_GE(size, 160 * 15);
        auto at = std::search(speech.begin(), speech.end(), data, data + 160);
        ASSERT_NE(at, speech.end());
        EXPECT_TRUE(std::equal(data, data + size, at));
    }
    const auto line = rig.SentBytes(5 * 32 + 2), neighbour = rig.SentBytes(5 * 32 + 3);
    EXPECT_NE(std::search(line.begin(), line.end(), tune.begin(), tune.end()), line.end());
    EXPECT_EQ(std::search(neighbour.begin(), neighbour.end(), tune.begin(), tune.begin() + 20), neighbour.end());
}

// After each channel's first (idle) block: zeros on framing and signalling,
// idle where no port is made, zeros for ports beyond the table.
TEST(AudioStream, TimeslotsWithoutAPortSendTheirOwnFill) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    rig.Port(0, 1);  // the only port made
    rig.Run(200);
    ASSERT_GT(rig.SentBytes(0).size(), 400u);
    for (int framing : {0, 16}) EXPECT_TRUE(AllAre(rig.SentBytes(framing), 160, 0x00)) << framing;
    EXPECT_TRUE(AllAre(rig.SentBytes(2), 0, 0x54)) << "not stale pool bytes";
    MediaRig high(1, 4);
    high.card().mediaContext = driver::kMaxPorts - 3;  // timeslot 4 is port 1024
    high.Run(200);
    EXPECT_TRUE(AllAre(high.SentBytes(4), 160, 0x00));
    EXPECT_TRUE(AllAre(high.SentBytes(3), 160, 0x54));
}

std::vector<uint8_t> TonePair(double f1, double f2, int ms, int amplitude) {
    std::vector<uint8_t> out;
    for (double n = 0; n < ms * 8; ++n)
        out.push_back(media::LinearToAlaw(static_cast<int16_t>(amplitude * (std::sin(2 * M_PI * f1 * n / 8000) + std::sin(2 * M_PI * f2 * n / 8000)))));
    return out;
}

// With the trunk's canceller on, each received byte becomes the canceller's
// output for (the byte sent at the same place P packets earlier, the byte
// received), P primed silent packets coming first: the same as a canceller of
// our own fed those pairs. A loud prompt against quiet far-end audio makes
// the canceller's clipping show.
TEST(AudioStream, TheEchoCancellerSeesWhatWasSentAtTheSamePlace) {
    constexpr int kSlot = 3;
    const auto far = TonePair(440, 1100, 2000, 60), prompt = TonePair(300, 700, 1000, 6000);
    for (int prime : {0, 3}) {
        SCOPED_TRACE(prime);
        MediaRig rig(1, 4);
        ASSERT_TRUE(rig.ok());
        rig.media().primeEchoBuffers = prime;
        media::CreateEchoCancellers(rig.card(), 0, 16);
        rig.card().trunks[0].echoCanceller = true;
        driver::CDevice& port = rig.Port(0, kSlot);
        port.Open();
        rig.SetSource(kSlot, far);
        ASSERT_TRUE(media::Play(port, prompt.data(), static_cast<int>(prompt.size()), false) && media::Record(port, -1));
        rig.Run(800);
        const auto sent = rig.SentBytes(kSlot);
        const auto* recorded = static_cast<const uint8_t*>(media::RecordBuffer(port));
        const int size = media::RecordSize(port);
        ASSERT_GT(size, 4000);
        media::EchoCanceller mine;
        ASSERT_TRUE(mine.Create(128));
        const size_t shift = static_cast<size_t>(prime * rig.frames());
        std::vector<uint8_t> expected;
        for (size_t i = 0; i < far.size() && i < sent.size(); ++i)
            expected.push_back(mine.UpdateAlaw(i < shift ? media::kAlawSmallPositive : sent[i - shift], far[i]));
        ASSERT_GE(expected.size(), 160u + size);  // the first block went out before recording began
        EXPECT_TRUE(std::equal(recorded, recorded + size, expected.begin() + 160));
        EXPECT_FALSE(std::equal(recorded, recorded + size, far.begin() + 160)) << "the canceller changed something";
    }
}

// Datagrams taken in batches (cut at the end of each batch, channel by
// channel) give the same answers, blocks and cancellers' results as the same
// datagrams one at a time, also with reordered, repeated and missing packets
// among them and with fewer echo references than packets.
TEST(AudioStream, BatchesGiveWhatSingleDatagramsGive) {
    constexpr int kSlot = 5;
    const auto far = TonePair(440, 1100, 2000, 60), prompt = TonePair(300, 700, 1000, 6000);
    std::vector<uint8_t> recorded[2];
    std::vector<std::vector<uint8_t>> sent[2];
    for (int batched = 0; batched < 2; ++batched) {
        MediaRig rig(2, 4);
        ASSERT_TRUE(rig.ok());
        rig.media().primeEchoBuffers = 2;
        for (int s = 0; s < 2; ++s) {
            media::CreateEchoCancellers(rig.card(), s, 16);
            rig.card().trunks[s].echoCanceller = true;
        }
        driver::CDevice& port = rig.Port(1, kSlot);
        port.Open();
        rig.SetSource(32 + kSlot, far);
        ASSERT_TRUE(media::Play(port, prompt.data(), static_cast<int>(prompt.size()), false) && media::Record(port, -1));
        std::vector<std::vector<uint8_t>> packets;
        for (uint32_t q = 0; q < 600; ++q) packets.push_back(rig.MakePacket(q, q == 0 ? 2 : 0));
        std::vector<size_t> order;
        for (size_t q = 0; q < packets.size(); ++q) {
            if (q % 50 == 20) continue;                          // lost
            if (q % 50 == 30) order.push_back(q), order.push_back(q);  // repeated
            else if (q % 50 == 40 && q + 1 < packets.size()) order.push_back(q + 1), order.push_back(q), ++q;  // swapped
            else order.push_back(q);
        }
        // Groups of 15 datagrams with a tick after each; batched, a group
        // goes in batches of 1 to 5.
        std::vector<plat::Datagram> slots;
        for (size_t group = 0; group < order.size(); group += 15) {
            const size_t end = std::min(order.size(), group + 15);
            for (size_t next = group, size = 1; next < end; ++size) {
                const size_t n = batched ? std::min(size, end - next) : 1;
                slots.assign(n, plat::Datagram{});
                for (size_t i = 0; i < n; ++i) {
                    auto& p = packets[order[next + i]];
                    slots[i] = plat::Datagram{p.data(), p.size(), static_cast<int>(p.size()),
                                              mediatest::kRigCardAddress, transport::kCardPort};
                }
                if (batched) media::HandleAudioDatagrams(rig.card(), slots.data(), static_cast<int>(n));
                else rig.Deliver(packets[order[next]]);
                next += n;
            }
            rig.Tick();
        }
        const auto* bytes = static_cast<const uint8_t*>(media::RecordBuffer(port));
        recorded[batched].assign(bytes, bytes + media::RecordSize(port));
        sent[batched] = rig.sent();
    }
    ASSERT_GT(recorded[0].size(), 4000u);
    EXPECT_TRUE(recorded[0] == recorded[1]) << recorded[0].size() << " against " << recorded[1].size() << " bytes";
    EXPECT_TRUE(sent[0] == sent[1]) << sent[0].size() << " against " << sent[1].size() << " packets";
}

// A tail beyond the largest is taken as the largest, with a trace line, so
// the trunk keeps a canceller; a tail below 1 ms still leaves it without.
TEST(AudioStream, EchoTailAboveTheLargestIsClamped) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    mediatest::TraceCapture trace;
    for (int32_t tail : {1025, INT32_MAX, 0}) {
        media::CreateEchoCancellers(rig.card(), 0, tail);
        EXPECT_EQ(rig.media().echo[0][0].taps(), tail > 0 ? media::EchoCanceller::kMaxTaps : 0) << tail;
    }
    const std::string log = trace.Text();
    EXPECT_NE(log.find("EchoTail 1025 ms taken as 1024 ms"), std::string::npos) << log;
    EXPECT_NE(log.find("EchoTail 2147483647 ms taken as 1024 ms"), std::string::npos);
    EXPECT_NE(log.find("EchoTail 0 ms gives no echo canceller"), std::string::npos);
}

}  // namespace
