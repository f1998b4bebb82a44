// Incoming calls through real libpri on both ends: offering, answering, refusing, clearing, channel-less calls.
#include <chrono>
#include <thread>

#include "call_fixture.h"

namespace pritest {
namespace {

// Offset of the far end's Q.931 element `id` in an I-frame carrying message `type`, or 0.
size_t Element(const std::vector<uint8_t>& f, uint8_t type, uint8_t id) {
    if (f.size() < 9 || (f[2] & 0x01) != 0 || f[4] != 0x08) return 0;  // I-frame, Q.931 discriminator
    size_t at = 6 + (f[5] & 0x0F);
    if (at >= f.size() || f[at] != type) return 0;
    for (++at; at + 2 + 2 <= f.size();) {  // two check bytes end the frame
        if (f[at] & 0x80) {
            ++at;  // single-octet element
        } else if (f[at] == id) {
            return at;
        } else {
            at += 2 + f[at + 1];
        }
    }
    return 0;
}

constexpr uint8_t kSetup = 0x05, kRestart = 0x46;
constexpr uint8_t kChannelId = 0x18, kCallingNumber = 0x6C, kRestartIndicator = 0x79;

TEST_F(CallTest, IncomingCallRingsWithNumbersThenClearsFromFarEnd) {
    driver::CDevice& port = Port(0, 4);  // timeslot 5
    port.open.store(false);              // a port that is not open still rings
    int id = Ring(0, 4, "0301234567", "0309999");
    EXPECT_TRUE(WaitEvent(port, driver::kEventRing));
    EXPECT_EQ(port.Rings(), 1);
    const std::pair<const char*, const char*> keys[] = {
        {"CLI", "0301234567"}, {"DLI", "4711"}, {"RLI", "0309999"}, {"direction", "INCOMING"}, {"CALLTYPE", "Voice"}};
    for (const auto& key : keys) EXPECT_EQ(Info(port, key.first), key.second) << key.first;
    PeerCall seen = loop().Call(id);
    EXPECT_TRUE(seen.gotProceeding && seen.channel == 5 && !seen.cleared);

    ASSERT_TRUE(loop().Disconnect(id, 16));
    ASSERT_TRUE(WaitIdle(port));
    EXPECT_TRUE(WaitEvent(port, driver::kEventCallProgress));
    EXPECT_EQ(Progress(port), Texts{"DISCONNECTED-NORMALCLEARING-Q931_16"});
    EXPECT_EQ(State(port), "idle rings=0 CLI=");
    EXPECT_EQ(Info(port, "DIRECTION"), "OUTGOING");
    EXPECT_EQ(port.clearingCause.load(), 16);
}

TEST_F(CallTest, AlertingCarriesInbandProgressOnlyForCallingNumbersUpToOneDigit) {
    const char* numbers[] = {"", "7", "12"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(loop().Call(Ring(0, i, numbers[i])).alertingInband, i < 2) << numbers[i];
}

// User side: Answer succeeds once CONNECT ACKNOWLEDGE arrives; network side: at once, with none coming.
TEST_F(CallTest, AnswerOnUserSideAndOnNetworkSide) {
    for (bool network : {false, true}) {
        SCOPED_TRACE(network ? "network side" : "user side");
        Start(1, network);
        loop().withholdConnectAck.store(network);
        driver::CDevice& port = Port(0, 16);  // timeslot 18
        int id = Ring(0, 16);
        DrainEvents(port);
        ASSERT_TRUE(Answer(port));
        EXPECT_TRUE(IsCallActive(port));
        EXPECT_STREQ(port.errorText, "");
        EXPECT_TRUE(WaitCall(id, &PeerCall::gotConnect));
        EXPECT_EQ(TakeEvent(port), driver::kEventCallProgress);
        EXPECT_EQ(Progress(port), Texts{}) << "an incoming call's connection queues no entry";
        EXPECT_TRUE(Answer(port)) << "an active call answers at once";
        EXPECT_EQ(port.Rings(), 1) << "rings stop counting once connected";
    }
}

// Slow: the timeout takes the full 5 s; libpri's T313 (4 s) is set beyond it so it cannot clear the call first.
// When it then does, the reset port gets nothing of that late clearing.
TEST_F(CallTest, AnswerFailsWithoutACallOnFarEndClearingAndOnTimeout) {
    EXPECT_FALSE(Answer(Port(0, 0)));
    EXPECT_STREQ(Port(0, 0).errorText, "Answer() -> Answer() failed in Q931 Connect().");
    {
        plat::LockGuard guard(loop().card().trunks[0].lock);
        pri_set_timer(loop().card().trunks[0].controller, PRI_TIMER_T313, 6500);
    }
    loop().withholdConnectAck.store(true);
    driver::CDevice& cleared = Port(0, 3);
    int id = Ring(0, 3);
    bool answered = true;
    std::thread host([&] { answered = Answer(cleared); });
    EXPECT_TRUE(WaitCall(id, &PeerCall::gotConnect));
    loop().Disconnect(id, 16);
    host.join();
    EXPECT_FALSE(answered);
    EXPECT_STREQ(cleared.errorText, "Answer() -> Remote side disconnect received.");
    EXPECT_EQ(cleared.callHandle.load(), nullptr);

    driver::CDevice& port = Port(0, 7);
    id = Ring(0, 7);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Answer(port));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500)) << "waits 5 s";
    EXPECT_STREQ(port.errorText, "");
    EXPECT_EQ(State(port), "idle rings=0 CLI=");
    EXPECT_FALSE(loop().Call(id).cleared) << "a timeout sends nothing";
    DrainEvents(port);
    ASSERT_TRUE(WaitCall(id, &PeerCall::done)) << "libpri clears the call at T313";
    EXPECT_EQ(Progress(port), Texts{});
    EXPECT_EQ(TakeEvent(port), 0u);
}

TEST_F(CallTest, RejectRefusesWithCause21AndAPortNotAllowingIncomingCallsWith44) {
    driver::CDevice& port = Port(0, 9);
    int id = Ring(0, 9);
    EXPECT_TRUE(callctl::Reject(port));
    EXPECT_EQ(CauseOf(id, &PeerCall::done), 21);
    EXPECT_EQ(State(port), "idle rings=0 CLI=");
    id = Connected(0, 9);
    EXPECT_TRUE(callctl::Reject(port));
    EXPECT_EQ(State(port), "call active rings=1 CLI=0301234567") << "an active call is left alone";
    EXPECT_FALSE(loop().Call(id).cleared);

    driver::CDevice& refusing = Port(0, 2);
    EXPECT_FALSE(driver::SetInfoKey(refusing, "AllowIncoming", "0"));
    id = loop().PlaceCall(0, 3, "123", "456");
    EXPECT_EQ(CauseOf(id), 44);
    EXPECT_FALSE(loop().Call(id).gotProceeding);
    EXPECT_EQ(refusing.callHandle.load(), nullptr);
    EXPECT_EQ(TakeEvent(refusing), 0u);
}

// Channels beyond 31 or none are ignored; a SETUP leaving the channel to us takes its trunk's first free open port.
TEST_F(CallTest, ChannelsWithoutPortAreIgnoredAndChannellessCallsTakeAFreePort) {
    Start(2);
    TraceCapture trace;
    auto place = [&](int trunk, int channel) { return loop().PlaceCall(trunk, channel, "123", "456"); };
    int beyond = place(0, 40);  // 40 would land on trunk 1's ninth port
    int none = place(0, kNoChannelIe);
    EXPECT_TRUE(loop().Call(Ring(0, 0)).gotProceeding);
    for (int id : {beyond, none}) {
        PeerCall seen = loop().Call(id);
        EXPECT_FALSE(seen.gotProceeding || seen.gotSetupAck || seen.cleared) << "call " << id;
    }
    for (int position = 0; position < kPortsPerTrunk; ++position)
        EXPECT_EQ(Port(1, position).callHandle.load(), nullptr) << "trunk 1 port " << position;

    // Trunk 1: every port open and free: the first one, channel 1. Then ports 2..15 closed or refusing: the 16th,
    // channel 17. Then no free open port left: refused.
    int first = place(1, kAnyChannel);
    ASSERT_TRUE(WaitCall(first, &PeerCall::gotAlerting));
    EXPECT_TRUE(loop().Call(first).gotSetupAck && loop().Call(first).channel == 1);
    EXPECT_EQ(Port(1, 0).ringCount.load(), 1);
    EXPECT_TRUE(WaitEvent(Port(1, 0), driver::kEventRing));
    for (int position = 1; position < 15; ++position)
        (position % 2 == 0 ? Port(1, position).open : Port(1, position).allowIncoming).store(false);
    int sixteenth = place(1, kAnyChannel);
    ASSERT_TRUE(WaitCall(sixteenth, &PeerCall::gotAlerting));
    EXPECT_EQ(loop().Call(sixteenth).channel, 17);
    EXPECT_EQ(Port(1, 15).ringCount.load(), 1);
    for (int position = 16; position < kPortsPerTrunk; ++position) Port(1, position).open.store(false);
    EXPECT_EQ(CauseOf(place(1, kAnyChannel)), 44);
    EXPECT_EQ(Port(0, 1).callHandle.load(), nullptr) << "trunk 0 untouched";
    EXPECT_NE(trace.Text().find("Card 0: Trunk 1 - New Call aborted due to BCHANNEL unavailable"), std::string::npos);
}

// The limit counts the channel-less calls ports hold now: refusals and other calls' releases never move it.
TEST_F(CallTest, ChannellessCallLimitCountsCallsInProgress) {
    driver::g_traceLevel = 1;
    TraceCapture trace;
    auto place = [&] { return loop().PlaceCall(0, kAnyChannel, "1", "2"); };
    EXPECT_FALSE(driver::SetInfoKey(Port(0, 0), "MAXINCOMING", "2"));
    int a = place();
    ASSERT_TRUE(WaitCall(place(), &PeerCall::gotAlerting));
    EXPECT_EQ(CauseOf(place()), 44);
    EXPECT_TRUE(loop().Call(a).gotAlerting);
    EXPECT_EQ(callctl::IncomingCallCount(), 2);

    // An explicit-channel call neither counts nor, when released, frees room.
    loop().Disconnect(Ring(0, 20), 16);
    ASSERT_TRUE(WaitIdle(Port(0, 20)));
    EXPECT_EQ(callctl::IncomingCallCount(), 2);
    EXPECT_EQ(CauseOf(place()), 44);

    // A counted call that ends, by the far end or by the host, frees room.
    loop().Disconnect(a, 16);
    ASSERT_TRUE(Wait([] { return callctl::IncomingCallCount() == 1; }));
    callctl::Hangup(Port(0, 0));  // the host's answer to the far end's clearing of a
    int accepted = place();
    ASSERT_TRUE(WaitCall(accepted, &PeerCall::gotAlerting));
    EXPECT_FALSE(loop().Call(accepted).cleared);
    EXPECT_EQ(callctl::IncomingCallCount(), 2);
    for (int position = 0; position < 3; ++position) callctl::Hangup(Port(0, position));
    EXPECT_EQ(callctl::IncomingCallCount(), 0);

    // No limit at zero or below.
    for (const char* limit : {"0", "-1"}) {
        EXPECT_FALSE(driver::SetInfoKey(Port(0, 0), "maxincoming", limit));
        ASSERT_TRUE(WaitCall(place(), &PeerCall::gotAlerting)) << limit;
    }
    EXPECT_EQ(callctl::IncomingCallCount(), 2);
    EXPECT_NE(trace.Text().find("Card 0: Trunk 0 - New Call aborted due to NoofISDNCalls(2) >= MaxISDNCalls(2) \r\n"),
              std::string::npos);
}

// A SETUP with a user-provided and a network-provided calling number: CLI is the user's while the call rings and
// the network's once the call is connected.
TEST_F(CallTest, CliAfterAnswerIsTheNetworkProvidedNumber) {
    loop().FilterPeerFrames([](std::vector<uint8_t>& f) {
        size_t at = Element(f, kSetup, kCallingNumber);
        if (at == 0) return;
        const std::string number = "0309876543";
        std::vector<uint8_t> network = {kCallingNumber, uint8_t(2 + number.size()), 0x21, 0x83};  // screened by the network
        network.insert(network.end(), number.begin(), number.end());
        f.insert(f.begin() + static_cast<long>(at + 2 + f[at + 1]), network.begin(), network.end());
    });
    driver::CDevice& port = Port(0, 4);
    Ring(0, 4, "0301234567");
    EXPECT_EQ(Info(port, "CLI"), "0301234567");
    ASSERT_TRUE(Answer(port));
    EXPECT_EQ(Info(port, "CLI"), "0309876543");
    EXPECT_TRUE(Hangup(port));
    EXPECT_EQ(Info(port, "CLI"), "");
}

// A RESTART of the whole interface restarts every B-channel of the trunk: each port with a call ends idle with one
// disconnect entry and one event; idle ports and the other trunk are left alone.
TEST_F(CallTest, WholeInterfaceRestartClearsEveryCallOfTheTrunkOnce) {
    Start(2);
    Ring(0, 1);
    Connected(0, 20);
    Ring(1, 3);
    for (driver::CDevice* port : {&Port(0, 1), &Port(0, 20), &Port(0, 2), &Port(1, 3)}) {
        DrainEvents(*port);
        Progress(*port);
    }
    loop().FilterPeerFrames([](std::vector<uint8_t>& f) {
        size_t ri = Element(f, kRestart, kRestartIndicator);
        size_t channel = Element(f, kRestart, kChannelId);
        if (ri == 0 || channel == 0) return;
        f[ri + 2] = 0x87;  // all interfaces
        f.erase(f.begin() + static_cast<long>(channel), f.begin() + static_cast<long>(channel + 2 + f[channel + 1]));
    });
    ASSERT_TRUE(loop().RestartChannel(0, 1));
    for (driver::CDevice* port : {&Port(0, 1), &Port(0, 20)}) {
        ASSERT_TRUE(WaitIdle(*port));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a wrong second report
        Texts texts = Progress(*port);
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0].rfind("DISCONNECTED-", 0), 0u) << texts[0];
        EXPECT_EQ(TakeEvent(*port), driver::kEventCallProgress);
        EXPECT_EQ(TakeEvent(*port), 0u);
        EXPECT_FALSE(IsCallActive(*port));
    }
    EXPECT_EQ(TakeEvent(Port(0, 2)), 0u);
    EXPECT_EQ(State(Port(1, 3)), "call rings=1 CLI=0301234567") << "the other trunk keeps its call";
}

}  // namespace
}  // namespace pritest
