// The card simulator on its own, against a small hand-written module side:
// discovery and card information formats, Q.921 against a user-side libpri
// controller through the control connection, a call both ways, and the
// audio stream's format, numbering, pacing and capture.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "common/lab.h"
#include "common/wait.h"
#include "media/g711.h"
#include "sim/audio_engine.h"
#include "sim/control_parser.h"
#include "sim/far_end.h"
#include "sim/sim.h"
#include "transport/pri_api.h"

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

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

// A started card inside card namespace 0 of a lab.
struct LabCard {
    std::unique_ptr<sim::SimCard> card;
    bool Start(testsupport::NetworkLab& lab, const sim::CardProfile& profile) {
        card = std::make_unique<sim::SimCard>(profile);
        bool ok = false;
        lab.InCard(0, [&] { ok = card->Start(); });
        return ok;
    }
    ~LabCard() {
        if (card) card->Stop();
    }
};

// The module's end of the control connection: connects, sends, and splits
// what the card sends into messages.
class ControlClient {
public:
    explicit ControlClient(int trunks) : trunks_(trunks) {}
    ~ControlClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool Connect(uint32_t card) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = Addr(card, kCardPort);
        return fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    void Send(const Bytes& b) { ASSERT_EQ(send(fd_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
    // Next whole message from the card, or empty when none came in time.
    Bytes Next(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            Bytes m = Take();
            if (!m.empty()) return m;
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                 std::chrono::steady_clock::now())
                               .count());
            if (left <= 0) return {};
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            uint8_t buf[4096];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return {};
            buf_.insert(buf_.end(), buf, buf + n);
        }
    }
    // Next message of a type, skipping others.
    Bytes NextOfType(uint8_t type, int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            Bytes m = Next(50);
            if (m.size() >= 2 && m[1] == type) return m;
        }
        return {};
    }
    int fd() const { return fd_; }

private:
    size_t Length() const {
        if (buf_.size() < 2) return 0;
        switch (buf_[1]) {
            case 0x01: return 24;
            case 0x02: return 6;
            case 0x07: return 2 + size_t(trunks_);
            case 0x11: return 4;
            case 0x10: return buf_.size() < 5 ? 0 : 5 + size_t(buf_[3] | (buf_[4] << 8));
            default: return 1;  // not a message start: skip a byte
        }
    }
    Bytes Take() {
        while (!buf_.empty() && buf_[0] != 0xFF) buf_.erase(buf_.begin());
        size_t n = Length();
        if (n == 0 || buf_.size() < n) return {};
        Bytes m(buf_.begin(), buf_.begin() + long(n));
        buf_.erase(buf_.begin(), buf_.begin() + long(n));
        return n == 1 ? Take() : m;
    }
    int trunks_;
    int fd_ = -1;
    Bytes buf_;
};

// A user-side libpri controller speaking through a ControlClient, with its
// own thread for frames and timers.
class UserSide {
public:
    struct Event {
        int e = 0, cause = -1, channel = -1, progressmask = 0;
        q931_call* call = nullptr;
        std::string calling, called;
    };

    explicit UserSide(ControlClient& c, int node = PRI_CPE) : client_(c) {
        ctrl_ = pri_new_cb(0, node, PRI_SWITCH_EUROISDN_E1, &Read, &Write, this);
        pri_connect_ack_enable(ctrl_, 1);
        thread_ = std::thread([this] { Loop(); });
    }
    ~UserSide() {
        stop_ = true;
        thread_.join();
        sim::RetireController(ctrl_);
    }
    template <typename Fn>
    auto Locked(Fn fn) {
        std::lock_guard<std::recursive_mutex> g(lock_);
        return fn(ctrl_);
    }

    // Waits for the event of a type that follows `skip` earlier ones.
    bool WaitEvent(int type, Event* out, int timeoutMs, int skip = 0) {
        return WaitUntil(
            [&] {
                std::lock_guard<std::recursive_mutex> g(lock_);
                int seen = 0;
                for (auto& e : events_)
                    if (e.e == type && seen++ == skip) {
                        if (out) *out = e;
                        return true;
                    }
                return false;
            },
            timeoutMs);
    }

private:
    static int Read(struct pri* p, void* buf, int size) {
        auto* self = static_cast<UserSide*>(pri_get_userdata(p));
        if (!self) return 0;
        int n = std::min(int(self->pending_.size()), size);
        std::memcpy(buf, self->pending_.data(), size_t(n));
        return n;
    }
    static int Write(struct pri* p, void* buf, int size) {
        auto* self = static_cast<UserSide*>(pri_get_userdata(p));
        if (!self || size < 2) return 0;
        const int n = size - 2;  // the module drops the check bytes
        Bytes m = {0xFF, 0x10, 0x01, uint8_t(n), uint8_t(n >> 8)};
        m.insert(m.end(), static_cast<uint8_t*>(buf), static_cast<uint8_t*>(buf) + n);
        m.push_back(0xFF);
        send(self->client_.fd(), m.data(), m.size(), MSG_NOSIGNAL);
        return size;
    }
    void Record(pri_event* e) {
        if (!e) return;
        Event r;
        r.e = e->e;
        switch (e->e) {
            case PRI_EVENT_RING:
                r.call = e->ring.call;
                r.channel = e->ring.channel;
                r.calling = e->ring.callingnum;
                r.called = e->ring.callednum;
                break;
            case PRI_EVENT_HANGUP:
            case PRI_EVENT_HANGUP_REQ:
            case PRI_EVENT_HANGUP_ACK:
                r.call = e->hangup.call;
                r.cause = e->hangup.cause;
                if (e->e != PRI_EVENT_HANGUP_ACK) pri_hangup(ctrl_, e->hangup.call, 16);
                break;
            case PRI_EVENT_ANSWER: r.call = e->answer.call; break;
            default: break;
        }
        events_.push_back(r);
    }
    void Loop() {
        while (!stop_) {
            Bytes m = client_.Next(10);
            std::lock_guard<std::recursive_mutex> g(lock_);
            if (m.size() > 5 && m[1] == 0x10 && m[2] == 1) {
                pending_.assign(m.begin() + 5, m.end());
                Record(pri_check_event(ctrl_));
            }
            timeval* next = pri_schedule_next(ctrl_);
            timeval now{};
            gettimeofday(&now, nullptr);
            if (next && timercmp(next, &now, <=)) Record(pri_schedule_run(ctrl_));
        }
    }

    ControlClient& client_;
    struct pri* ctrl_;
    std::recursive_mutex lock_;
    Bytes pending_;
    std::vector<Event> events_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(SimParser, SplitsTheModuleStream) {
    std::vector<sim::ControlMessage> got;
    sim::ModuleMessageParser p([&](const sim::ControlMessage& m) { got.push_back(m); });
    const Bytes stream = {0x00, 0xFF, 0xFF, 0x01,                          // stray byte, FF FF, info request
                          0xFF, 0x10, 0x02, 0x03, 0x00, 0xA, 0xB, 0xC, 0xFF,  // 3-byte frame for link 2
                          0xFF, 0x12, 0x01, 0x01, 0x01, 0, 0, 0, 0,          // trunk configuration
                          0xFF, 0x05, 0x34, 0x12, 0xFF, 0xFF, 0x77};         // audio port, unknown type
    for (uint8_t b : stream) p.Feed(&b, 1);  // one byte at a time
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].bytes, (Bytes{0xFF, 0x01}));
    EXPECT_EQ(got[1].bytes, (Bytes{0xFF, 0x10, 0x02, 0x03, 0x00, 0xA, 0xB, 0xC, 0xFF}));
    EXPECT_EQ(got[2].bytes.size(), 9u);
    EXPECT_EQ(got[3].bytes, (Bytes{0xFF, 0x05, 0x34, 0x12, 0xFF}));
    EXPECT_EQ(got[4].type, 0x77);
}

// Bytes of one channel over a run of card packets.
Bytes ChannelBytes(sim::AudioEngine& e, int packets, int trunk, int slot) {
    Bytes out;
    std::vector<sim::AudioEngine::Datagram> d;
    for (int i = 0; i < packets; ++i) {
        e.NextPackets(&d);
        for (int k = 0; k < e.frames(); ++k) out.push_back(d.at(0)[8 + size_t(k * e.trunks() * 32 + trunk * 32 + slot)]);
    }
    return out;
}

TEST(SimAudio, FaultsShapeTheNextPackets) {
    sim::AudioEngine e(1, 45);
    std::vector<sim::AudioEngine::Datagram> d;
    auto seq = [&](size_t i) { return Le32(&d.at(i)[2]); };
    e.ReorderNextPair();
    e.NextPackets(&d);
    EXPECT_TRUE(d.empty());
    e.NextPackets(&d);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(seq(0), 1u);
    EXPECT_EQ(seq(1), 0u);
    e.RepeatNextPacket(2);
    e.SetLostCount(3);
    e.NextPackets(&d);
    ASSERT_EQ(d.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(seq(i), 2u);
        EXPECT_EQ(d[i][7], 3);
    }
    e.DropNextPackets(1);
    e.NextPackets(&d);
    EXPECT_TRUE(d.empty());
    e.NextPackets(&d);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(seq(0), 4u);
    EXPECT_EQ(d[0][7], 0);
    EXPECT_EQ(e.Stats().packetsSent, 6u);
}

TEST(SimAudio, DigitsAlternateToneAndSilence) {
    sim::AudioEngine e(2, 0);
    sim::AudioSource s;
    s.kind = sim::AudioSource::Digits;
    s.digits = "5#";
    s.toneMs = 10;
    s.gapMs = 10;
    e.SetSource(1, 7, s);
    Bytes b = ChannelBytes(e, 20, 1, 7);  // 440 samples: two digits and silence after
    auto silent = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            if (b[i] != 0xD5) return false;
        return true;
    };
    EXPECT_FALSE(silent(0, 80));
    EXPECT_TRUE(silent(80, 160));
    EXPECT_FALSE(silent(160, 240));
    EXPECT_TRUE(silent(240, b.size()));
    EXPECT_NE(Bytes(b.begin(), b.begin() + 80), Bytes(b.begin() + 160, b.begin() + 240));
}

TEST(SimAudio, EchoPathReturnsModuleAudioDelayedAndAttenuated) {
    sim::AudioEngine e(1, 45);
    e.SetEchoPath(0, 1, 20 * std::log10(2.0), 10);  // half the amplitude, 80 samples late
    const uint8_t loud = media::LinearToAlaw(8000);
    Bytes module(8 + 45 * 32, 0xD5);
    module[0] = 0xFF;
    module[1] = 0x55;
    for (int k = 0; k < 45; ++k) module[8 + size_t(k) * 32 + 1] = loud;
    for (int i = 0; i < 4; ++i) e.OnModulePacket(module.data(), module.size());
    Bytes b = ChannelBytes(e, 4, 0, 1);
    const double expected = media::AlawToLinear(0xD5) + media::AlawToLinear(loud) / 2.0;
    for (size_t i = 0; i < 80; ++i) EXPECT_LT(std::abs(media::AlawToLinear(b[i])), 100) << i;
    for (size_t i = 80; i < b.size(); ++i) EXPECT_NEAR(media::AlawToLinear(b[i]), expected, expected * 0.07) << i;
    EXPECT_EQ(ChannelBytes(e, 1, 0, 2), Bytes(45, 0xD5));  // other channels untouched
}

TEST(SimCard, AnswersDiscoveryAndControlRequests) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    profile.serial = 0x01020304;
    profile.trunks = 2;
    profile.featureFlags = 0xA0B0C0D0;
    profile.keepAliveMs = 100;
    LabCard lc;
    ASSERT_TRUE(lc.Start(*lab, profile));
    lc.card->SetRegisterValue(0x1006, 0x0A);

    // Discovery: the reply goes to the querier's address, port 5854.
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in local = Addr(lab->HostAddress(), kCardPort);
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    sockaddr_in bcast = Addr(lab->HostAddress() | htonl(0xFF), kCardPort);
    uint8_t reply[64] = {};
    ssize_t n = -1;
    sockaddr_in from{};
    ASSERT_TRUE(WaitUntil(
        [&] {
            sendto(udp, "VAXO D", 6, 0, reinterpret_cast<sockaddr*>(&bcast), sizeof bcast);
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

    ControlClient c(profile.trunks);
    ASSERT_TRUE(c.Connect(lab->CardAddress(0)));
    c.Send({0xFF, 0x01});
    Bytes info = c.NextOfType(0x01, 2000);
    ASSERT_EQ(info.size(), 24u);
    EXPECT_EQ(std::memcmp(&info[2], "VAXO ", 5), 0);
    EXPECT_EQ(info[7], profile.firmwareVersion);
    EXPECT_EQ(info[8], 2);
    EXPECT_EQ(Le32(&info[9]), profile.featureFlags);
    EXPECT_EQ(Le32(&info[13]), profile.serial);
    EXPECT_EQ(Bytes(info.begin() + 17, info.end()), (Bytes{26, 12, 1, 10, 26, 11, 30}));

    EXPECT_EQ(c.NextOfType(0x07, 1000), (Bytes{0xFF, 0x07, 0, 0}));  // keep-alive: both lines up
    c.Send({0xFF, 0x02, 0x01, 0x06, 0x10, 0xFF});
    EXPECT_EQ(c.NextOfType(0x02, 1000), (Bytes{0xFF, 0x02, 0x01, 0x06, 0x10, 0x0A}));
    c.Send({0xFF, 0x12, 0x02, 0x01, 0x01, 0, 0, 0, 0});
    ASSERT_TRUE(WaitUntil([&] { return lc.card->ReceivedOfType(0x12).size() == 1; }, 1000));
    EXPECT_EQ(lc.card->ReceivedOfType(0x12)[0].bytes.size(), 9u);

    lc.card->SetLineStatus(1, 5);
    EXPECT_EQ(c.NextOfType(0x07, 1000), (Bytes{0xFF, 0x07, 0, 5}));
    lc.card->SendHdlcError(0, 2);
    EXPECT_EQ(c.NextOfType(0x11, 1000), (Bytes{0xFF, 0x11, 0, 2}));
}

TEST(SimCard, BringsUpQ921AndCarriesCalls) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    LabCard lc;
    ASSERT_TRUE(lc.Start(*lab, profile));
    ControlClient c(1);
    ASSERT_TRUE(c.Connect(lab->CardAddress(0)));
    UserSide user(c);
    ASSERT_TRUE(user.WaitEvent(PRI_EVENT_DCHAN_UP, nullptr, 10000));
    ASSERT_TRUE(lc.card->WaitDChannelUp(0, 10000));

    // Far end calls in on timeslot 17; the module side proceeds, alerts
    // with in-band progress, then refuses with cause 21.
    int id = lc.card->PlaceCall(0, 17, "5551234", "100", "777");
    ASSERT_GE(id, 0);
    UserSide::Event ring;
    ASSERT_TRUE(user.WaitEvent(PRI_EVENT_RING, &ring, 5000));
    EXPECT_EQ(ring.channel & 0xFF, 17);
    EXPECT_EQ(ring.calling, "5551234");
    EXPECT_EQ(ring.called, "100");
    user.Locked([&](struct pri* p) {
        pri_proceeding(p, ring.call, ring.channel, 0);
        return pri_acknowledge(p, ring.call, ring.channel, 1);
    });
    ASSERT_TRUE(lc.card->WaitCall(id, [](const sim::CallRecord& r) { return r.gotAlerting; }, 5000));
    user.Locked([&](struct pri* p) { return pri_hangup(p, ring.call, 21); });
    ASSERT_TRUE(lc.card->WaitCall(id, [](const sim::CallRecord& r) { return r.cleared; }, 5000));
    sim::CallRecord r = lc.card->Calls()[size_t(id)];
    EXPECT_TRUE(r.gotProceeding);
    EXPECT_TRUE(r.alertingHadInbandProgress);
    EXPECT_EQ(r.channel, 17);
    EXPECT_EQ(r.cause, 21);
    EXPECT_FALSE(r.clearedBySim);

    // Far end clears with causes libpri would put in other messages: the
    // cause asked for goes out in the message asked for.
    auto offer = [&](int channel, int nth) {
        int simId = lc.card->PlaceCall(0, channel, "", "200");
        UserSide::Event e;
        EXPECT_TRUE(user.WaitEvent(PRI_EVENT_RING, &e, 5000, nth));
        user.Locked([&](struct pri* p) {
            pri_proceeding(p, e.call, e.channel, 0);
            return pri_acknowledge(p, e.call, e.channel, 0);
        });
        EXPECT_TRUE(lc.card->WaitCall(simId, [](const sim::CallRecord& r) { return r.gotAlerting; }, 5000));
        return simId;
    };
    const int second = offer(2, 1);
    ASSERT_TRUE(lc.card->Disconnect(second, 34));
    UserSide::Event req;
    ASSERT_TRUE(user.WaitEvent(PRI_EVENT_HANGUP_REQ, &req, 5000));
    EXPECT_EQ(req.cause, 34);
    ASSERT_TRUE(lc.card->WaitCall(second, [](const sim::CallRecord& r) { return r.cleared; }, 5000));
    EXPECT_TRUE(lc.card->Calls()[size_t(second)].clearedBySim);

    const int third = offer(3, 2);
    ASSERT_TRUE(lc.card->Release(third, 16));
    UserSide::Event rel;
    ASSERT_TRUE(user.WaitEvent(PRI_EVENT_HANGUP, &rel, 5000, 1));
    EXPECT_EQ(rel.cause, 16);
    EXPECT_TRUE(lc.card->WaitCall(third, [](const sim::CallRecord& r) { return r.cleared; }, 5000));

    // CONNECT ACKNOWLEDGE held back until asked for; RESTART recorded.
    lc.card->SetWithholdConnectAck(true);
    const int fourth = lc.card->PlaceCall(0, 4, "", "400");
    UserSide::Event ring4;
    ASSERT_TRUE(user.WaitEvent(PRI_EVENT_RING, &ring4, 5000, 3));
    user.Locked([&](struct pri* p) { return pri_answer(p, ring4.call, ring4.channel, 0); });
    ASSERT_TRUE(lc.card->WaitCall(fourth, [](const sim::CallRecord& r) { return r.gotConnect; }, 5000));
    EXPECT_FALSE(user.WaitEvent(PRI_EVENT_CONNECT_ACK, nullptr, 0));
    ASSERT_TRUE(lc.card->SendConnectAck(fourth));
    EXPECT_TRUE(user.WaitEvent(PRI_EVENT_CONNECT_ACK, nullptr, 5000));
    user.Locked([&](struct pri* p) { return pri_reset(p, 9); });
    EXPECT_TRUE(WaitUntil([&] { return lc.card->RestartsReceived(0) == std::vector<int>{9}; }, 5000));

    // A SETUP that names no channel reaches the module side without one.
    ASSERT_GE(lc.card->PlaceCall(0, -1, "1", "300"), 0);
    UserSide::Event open;
    ASSERT_TRUE(user.WaitEvent(PRI_EVENT_RING, &open, 5000, 4));
    EXPECT_EQ(open.channel & 0xFFFF, 0xFFFF) << std::hex << open.channel;
}

TEST(SimCard, PlaysTheUserSideWhenTheModuleIsTheNetwork) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    profile.moduleIsNetworkSide = true;
    LabCard lc;
    ASSERT_TRUE(lc.Start(*lab, profile));
    ControlClient c(1);
    ASSERT_TRUE(c.Connect(lab->CardAddress(0)));
    UserSide network(c, PRI_NETWORK);
    EXPECT_TRUE(network.WaitEvent(PRI_EVENT_DCHAN_UP, nullptr, 10000));
    EXPECT_TRUE(lc.card->WaitDChannelUp(0, 10000));
}

TEST(SimCard, StreamsPacedAudioAndCapturesTheModules) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    profile.trunks = 2;
    LabCard lc;
    ASSERT_TRUE(lc.Start(*lab, profile));
    const int n = sim::DefaultFramesPerPacket(2);
    ASSERT_EQ(n, 22);
    const size_t size = 8 + size_t(n) * 2 * 32;
    sim::AudioSource tone;
    tone.kind = sim::AudioSource::Tones;
    tone.freq1 = 1000;
    lc.card->SetSource(1, 3, tone);

    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = Addr(lab->HostAddress(), 0);
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t len = sizeof local;
    getsockname(udp, reinterpret_cast<sockaddr*>(&local), &len);
    ControlClient c(2);
    ASSERT_TRUE(c.Connect(lab->CardAddress(0)));
    const uint16_t port = ntohs(local.sin_port);
    c.Send({0xFF, 0x05, uint8_t(port), uint8_t(port >> 8), 0xFF});

    std::vector<Bytes> packets;
    auto first = std::chrono::steady_clock::now();
    auto last = first;
    ASSERT_TRUE(WaitUntil(
        [&] {
            pollfd p{udp, POLLIN, 0};
            while (poll(&p, 1, 0) > 0) {
                Bytes b(2048);
                ssize_t got = recv(udp, b.data(), b.size(), 0);
                b.resize(size_t(std::max<ssize_t>(got, 0)));
                if (packets.empty()) first = std::chrono::steady_clock::now();
                last = std::chrono::steady_clock::now();
                packets.push_back(b);
            }
            return packets.size() >= 400;
        },
        10000, 1));
    for (size_t i = 0; i < packets.size(); ++i) {
        ASSERT_EQ(packets[i].size(), size);
        ASSERT_EQ(packets[i][0], 0xFF);
        ASSERT_EQ(packets[i][1], 0x55);
        ASSERT_EQ(Le32(&packets[i][2]), uint32_t(i)) << "numbered from 0 without gaps";
        ASSERT_EQ(packets[i][6], 2);
        ASSERT_EQ(packets[i][7], 0);
    }
    // The card's clock: 8000 frames per second, loosely (a busy machine
    // delays packets but cannot make them early).
    const double seconds = std::chrono::duration<double>(last - first).count();
    const double expected = (packets.size() - 1) * double(n) / 8000;
    EXPECT_GT(seconds, expected * 0.8);
    // The tone is on trunk 1 timeslot 3 and nowhere else.
    const Bytes& p = packets.back();
    bool toneMoves = false;
    for (int k = 1; k < n; ++k) toneMoves |= p[8 + k * 64 + 32 + 3] != p[8 + 32 + 3];
    EXPECT_TRUE(toneMoves);
    for (int k = 0; k < n; ++k) EXPECT_EQ(p[8 + k * 64 + 32 + 4], 0xD5);

    // Module packets land per channel; a fault drops two numbers.
    Bytes mine(size, 0x54);
    mine[0] = 0xFF;
    mine[1] = 0x55;
    for (int k = 0; k < n; ++k) mine[8 + k * 64 + 5] = uint8_t(k);
    sockaddr_in card = Addr(lab->CardAddress(0), kCardPort);
    sendto(udp, mine.data(), mine.size(), 0, reinterpret_cast<sockaddr*>(&card), sizeof card);
    ASSERT_TRUE(WaitUntil([&] { return lc.card->PacketsReceived() == 1; }, 2000));
    Bytes captured = lc.card->Captured(0, 5);
    ASSERT_EQ(captured.size(), size_t(n));
    for (int k = 0; k < n; ++k) EXPECT_EQ(captured[size_t(k)], k);
    EXPECT_EQ(lc.card->Captured(1, 5), Bytes(size_t(n), 0x54));

    lc.card->DropNextPackets(2);
    uint32_t prev = Le32(&packets.back()[2]);
    bool gap = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
            Bytes b(2048);
            ssize_t got = recv(udp, b.data(), b.size(), MSG_DONTWAIT);
            if (got <= 0) return false;
            uint32_t seq = Le32(&b[2]);
            gap = seq - prev == 3;
            prev = seq;
            return gap;
        },
        3000, 0));
    close(udp);
}

}  // namespace
