// The card simulator's own formats against a hand-written module side:
// discovery reply, card information, keep-alive, the audio stream's format,
// numbering and pacing, and the faults the media tests rely on. Q.921 and
// calls are checked against the module in the transport and call tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "common/lab.h"
#include "common/wait.h"
#include "sim/audio_engine.h"
#include "sim/sim.h"

namespace {

using testsupport::WaitUntil;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kCardPort = 5854;

sockaddr_in Addr(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

int Bound(int type, uint32_t address, uint16_t port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in sa = Addr(address, port);
    return bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? fd : -1;
}

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

// The first message of `size` bytes starting with `head` in what the card
// sent on fd so far (read into stream); empty when none came in time.
Bytes Await(int fd, Bytes* stream, const Bytes& head, size_t size, int timeoutMs) {
    Bytes found;
    WaitUntil(
        [&] {
            uint8_t buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) stream->insert(stream->end(), buf, buf + n);
            const auto at = std::search(stream->begin(), stream->end(), head.begin(), head.end());
            if (stream->end() - at < std::ptrdiff_t(size)) return false;
            found.assign(at, at + std::ptrdiff_t(size));
            return true;
        },
        timeoutMs, 1);
    return found;
}

// A started card of the profile inside card namespace 0 of the lab.
std::unique_ptr<sim::SimCard> StartCard(testsupport::NetworkLab& lab, const sim::CardProfile& profile) {
    auto card = std::make_unique<sim::SimCard>(profile);
    bool ok = false;
    lab.InCard(0, [&] { ok = card->Start(); });
    return ok ? std::move(card) : nullptr;
}

TEST(SimAudio, ReorderAndRepeatShapeTheNextPackets) {
    sim::AudioEngine e(1, 45);
    auto next = [&] {
        std::vector<sim::AudioEngine::Datagram> d;
        e.NextPackets(&d);
        std::vector<uint32_t> numbers;
        for (const auto& p : d) numbers.push_back(Le32(&p[2]));
        return numbers;
    };
    e.ReorderNextPair();
    EXPECT_EQ(next(), std::vector<uint32_t>{}) << "the first of the pair is held back";
    EXPECT_EQ(next(), (std::vector<uint32_t>{1, 0}));
    e.RepeatNextPacket(2);
    EXPECT_EQ(next(), (std::vector<uint32_t>{2, 2, 2}));
    EXPECT_EQ(next(), std::vector<uint32_t>{3});
}

TEST(SimCard, AnswersDiscoveryAndTheInformationRequest) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    profile.serial = 0x01020304;
    profile.trunks = 2;
    profile.featureFlags = 0xA0B0C0D0;
    profile.keepAliveMs = 100;
    auto card = StartCard(*lab, profile);
    ASSERT_TRUE(card);

    // Discovery: the reply goes to the querier's address, port 5854.
    const int udp = Bound(SOCK_DGRAM, lab->HostAddress(), kCardPort);
    ASSERT_GE(udp, 0);
    int on = 1;
    setsockopt(udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const sockaddr_in bcast = Addr(lab->HostAddress() | htonl(0xFF), kCardPort);
    uint8_t reply[64] = {};
    ssize_t n = -1;
    sockaddr_in from{};
    ASSERT_TRUE(WaitUntil(
        [&] {
            sendto(udp, "VAXO D", 6, 0, reinterpret_cast<const sockaddr*>(&bcast), sizeof bcast);
            pollfd p{udp, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) return false;
            socklen_t len = sizeof from;
            n = recvfrom(udp, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &len);
            return n > 6 && reply[5] == 'R';  // our own broadcast comes back too
        },
        3000));
    close(udp);
    ASSERT_EQ(n, 22);
    EXPECT_EQ(std::memcmp(reply, "VAXO R", 6), 0);
    EXPECT_EQ(reply[6], 0x01);
    EXPECT_EQ(Le32(reply + 18), profile.serial);
    EXPECT_EQ(from.sin_addr.s_addr, lab->CardAddress(0));

    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in sa = Addr(lab->CardAddress(0), kCardPort);
    ASSERT_EQ(connect(tcp, reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(send(tcp, "\xFF\x01", 2, MSG_NOSIGNAL), 2);
    Bytes stream;
    const Bytes info = Await(tcp, &stream, {0xFF, 0x01}, 24, 2000);
    ASSERT_EQ(info.size(), 24u);
    EXPECT_EQ(std::memcmp(&info[2], "VAXO ", 5), 0);
    EXPECT_EQ(info[7], profile.firmwareVersion);
    EXPECT_EQ(info[8], 2);
    EXPECT_EQ(Le32(&info[9]), profile.featureFlags);
    EXPECT_EQ(Le32(&info[13]), profile.serial);
    EXPECT_EQ(Bytes(info.begin() + 17, info.end()), (Bytes{26, 12, 1, 10, 26, 11, 30}));
    EXPECT_EQ(Await(tcp, &stream, {0xFF, 0x07}, 4, 1000), (Bytes{0xFF, 0x07, 0, 0})) << "keep-alive: both lines up";
    close(tcp);
}

TEST(SimCard, StreamsNumberedAudioPacedByItsClock) {
    VAXO_REQUIRE_LAB(lab, 1);
    auto card = StartCard(*lab, [] {
        sim::CardProfile p;
        p.trunks = 2;
        return p;
    }());
    ASSERT_TRUE(card);
    const int n = sim::DefaultFramesPerPacket(2);
    ASSERT_EQ(n, 22);
    const size_t size = 8 + size_t(n) * 2 * 32;
    sim::AudioSource tone;
    tone.kind = sim::AudioSource::Tones;
    tone.freq1 = 1000;
    card->SetSource(1, 3, tone);

    const int udp = Bound(SOCK_DGRAM, lab->HostAddress(), 0);
    ASSERT_GE(udp, 0);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(udp, reinterpret_cast<sockaddr*>(&local), &len);
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in sa = Addr(lab->CardAddress(0), kCardPort);
    ASSERT_EQ(connect(tcp, reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
    const uint16_t port = ntohs(local.sin_port);
    const uint8_t audioPort[] = {0xFF, 0x05, uint8_t(port), uint8_t(port >> 8), 0xFF};
    ASSERT_EQ(send(tcp, audioPort, sizeof audioPort, MSG_NOSIGNAL), 5);

    std::vector<Bytes> packets;
    auto first = std::chrono::steady_clock::now(), last = first;
    ASSERT_TRUE(WaitUntil(
        [&] {
            Bytes b(2048);
            for (ssize_t got; (got = recv(udp, b.data(), b.size(), MSG_DONTWAIT)) >= 0;) {
                last = std::chrono::steady_clock::now();
                if (packets.empty()) first = last;
                packets.emplace_back(b.begin(), b.begin() + got);
            }
            return packets.size() >= 400;
        },
        10000, 1));
    close(udp);
    close(tcp);
    for (size_t i = 0; i < packets.size(); ++i) {
        ASSERT_EQ(packets[i].size(), size);
        ASSERT_EQ(packets[i][0], 0xFF);
        ASSERT_EQ(packets[i][1], 0x55);
        ASSERT_EQ(Le32(&packets[i][2]), uint32_t(i)) << "numbered from 0 without gaps";
        ASSERT_EQ(packets[i][6], 2);
        ASSERT_EQ(packets[i][7], 0);
    }
    // 8000 frames per second, loosely: a busy machine delays packets but
    // cannot make them early.
    const double seconds = std::chrono::duration<double>(last - first).count();
    EXPECT_GT(seconds, (packets.size() - 1) * double(n) / 8000 * 0.8);
    // The tone is on trunk 1 timeslot 3 and nowhere else.
    const Bytes& p = packets.back();
    bool toneMoves = false;
    for (int k = 1; k < n; ++k) toneMoves |= p[8 + k * 64 + 32 + 3] != p[8 + 32 + 3];
    EXPECT_TRUE(toneMoves);
    for (int k = 0; k < n; ++k) EXPECT_EQ(p[8 + k * 64 + 32 + 4], 0xD5);
}

}  // namespace
