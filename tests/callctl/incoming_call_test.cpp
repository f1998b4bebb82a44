// Incoming calls through real libpri on both ends: offering, answering, refusing, clearing, channel-less calls.
#include <chrono>
#include <thread>

#include "call_fixture.h"

namespace pritest {
namespace {

using callctl::Answer;
using callctl::IsCallActive;

TEST_F(CallTest, IncomingCallRingsWithNumbersThenClearsFromFarEnd) {
    driver::CDevice& port = Port(0, 4);  // timeslot 5
    port.open.store(false);              // a port that is not open still rings
    int id = Ring(0, 4, "0301234567", "4711", "0309999");
    EXPECT_TRUE(WaitEvent(port, driver::kEventRing));
    EXPECT_EQ(port.Rings(), 1);
    EXPECT_EQ(Info(port, "CLI"), "0301234567");
    EXPECT_EQ(Info(port, "DLI"), "4711");
    EXPECT_EQ(Info(port, "RLI"), "0309999");
    EXPECT_EQ(Info(port, "direction"), "INCOMING");
    EXPECT_EQ(Info(port, "CALLTYPE"), "Voice");
    PeerCall seen = loop().Call(id);
    EXPECT_TRUE(seen.gotProceeding);
    EXPECT_EQ(seen.channel, 5);
    EXPECT_FALSE(seen.cleared);

    ASSERT_TRUE(loop().Disconnect(id, 16));
    ASSERT_TRUE(Wait([&] { return port.callHandle.load() == nullptr; }));
    EXPECT_TRUE(WaitEvent(port, driver::kEventCallProgress));
    EXPECT_EQ(Progress(port), std::vector<std::string>{"DISCONNECTED-NORMALCLEARING-Q931_16"});
    EXPECT_EQ(Info(port, "CLI"), "");
    EXPECT_EQ(Info(port, "DIRECTION"), "OUTGOING");
    EXPECT_EQ(port.Rings(), 0);
    EXPECT_EQ(port.clearingCause.load(), 16);
}

TEST_F(CallTest, AlertingCarriesInbandProgressOnlyForCallingNumbersUpToOneDigit) {
    const std::pair<const char*, bool> cases[] = {{"", true}, {"7", true}, {"12", false}};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(loop().Call(Ring(0, i, cases[i].first)).alertingInband, cases[i].second) << cases[i].first;
}

// User side: Answer succeeds once CONNECT ACKNOWLEDGE arrives; network side: at once, with none coming.
TEST_F(CallTest, AnswerOnUserSideAndOnNetworkSide) {
    for (bool network : {false, true}) {
        SCOPED_TRACE(network ? "network side" : "user side");
        Start(1, network);
        loop().SetWithholdConnectAck(network);
        driver::CDevice& port = Port(0, 16);  // timeslot 18
        int id = Ring(0, 16);
        DrainEvents(port);
        ASSERT_TRUE(Answer(port));
        EXPECT_TRUE(IsCallActive(port));
        EXPECT_STREQ(port.errorText, "");
        EXPECT_TRUE(WaitCall(id, GotConnect));
        EXPECT_EQ(TakeEvent(port), driver::kEventCallProgress);
        EXPECT_EQ(Progress(port), std::vector<std::string>{}) << "an incoming call's connection queues no entry";
        EXPECT_TRUE(Answer(port)) << "an active call answers at once";
        EXPECT_EQ(port.Rings(), 1) << "rings stop counting once connected";
    }
}

// Slow: the timeout takes the full 5 s; libpri's T313 (4 s) is set beyond it so it cannot clear the call first.
TEST_F(CallTest, AnswerFailsWithoutACallOnFarEndClearingAndOnTimeout) {
    EXPECT_FALSE(Answer(Port(0, 0)));
    EXPECT_STREQ(Port(0, 0).errorText, "Answer() -> Answer() failed in Q931 Connect().");
    {
        plat::LockGuard guard(loop().card().trunks[0].lock);
        pri_set_timer(loop().card().trunks[0].controller, PRI_TIMER_T313, 20000);
    }
    loop().SetWithholdConnectAck(true);
    driver::CDevice& cleared = Port(0, 3);
    int id = Ring(0, 3);
    bool answered = true;
    std::thread host([&] { answered = Answer(cleared); });
    EXPECT_TRUE(WaitCall(id, GotConnect));
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
    EXPECT_EQ(port.callHandle.load(), nullptr);
    EXPECT_FALSE(IsCallActive(port));
    EXPECT_EQ(Info(port, "CLI"), "");
    EXPECT_FALSE(loop().Call(id).cleared) << "a timeout sends nothing";
}

TEST_F(CallTest, RejectRefusesWithCause21AndAPortNotAllowingIncomingCallsWith44) {
    driver::CDevice& port = Port(0, 9);
    int id = Ring(0, 9);
    EXPECT_TRUE(callctl::Reject(port));
    EXPECT_TRUE(WaitCall(id, Done));
    EXPECT_EQ(loop().Call(id).cause, 21);
    EXPECT_EQ(port.callHandle.load(), nullptr);
    EXPECT_EQ(port.Rings(), 0);
    id = Connected(0, 9);
    EXPECT_TRUE(callctl::Reject(port));
    EXPECT_TRUE(IsCallActive(port)) << "an active call is left alone";
    EXPECT_FALSE(loop().Call(id).cleared);

    driver::CDevice& refusing = Port(0, 2);
    EXPECT_FALSE(driver::SetInfoKey(refusing, "AllowIncoming", "0"));
    id = loop().PlaceCall(0, 3, "123", "456");
    ASSERT_TRUE(WaitCall(id, Cleared));
    EXPECT_EQ(loop().Call(id).cause, 44);
    EXPECT_FALSE(loop().Call(id).gotProceeding);
    EXPECT_EQ(refusing.callHandle.load(), nullptr);
    EXPECT_EQ(TakeEvent(refusing), 0u);
}

// Channels beyond 31 or none are ignored; a SETUP leaving the channel to us takes its trunk's first free open port.
TEST_F(CallTest, ChannelsWithoutPortAreIgnoredAndChannellessCallsTakeAFreePort) {
    Start(2);
    TraceCapture trace;
    int beyond = loop().PlaceCall(0, 40, "123", "456");  // 40 would land on trunk 1's ninth port
    int none = loop().PlaceCall(0, kNoChannelIe, "123", "456");
    EXPECT_TRUE(loop().Call(Ring(0, 0)).gotProceeding);
    for (int id : {beyond, none}) {
        PeerCall seen = loop().Call(id);
        EXPECT_FALSE(seen.gotProceeding || seen.gotSetupAck || seen.cleared) << "call " << id;
    }
    for (int position = 0; position < kPortsPerTrunk; ++position)
        EXPECT_EQ(Port(1, position).callHandle.load(), nullptr) << "trunk 1 port " << position;

    // Trunk 1: every port open and free: the first one, channel 1.
    int first = loop().PlaceCall(1, kAnyChannel, "123", "456");
    ASSERT_TRUE(WaitCall(first, Alerted));
    EXPECT_TRUE(loop().Call(first).gotSetupAck);
    EXPECT_EQ(loop().Call(first).channel, 1);
    EXPECT_EQ(Port(1, 0).ringCount.load(), 1);
    EXPECT_TRUE(WaitEvent(Port(1, 0), driver::kEventRing));
    // Ports 2..15 closed or refusing: the 16th port, channel 17.
    for (int position = 1; position < 15; ++position) {
        if (position % 2 == 0) Port(1, position).open.store(false);
        else Port(1, position).allowIncoming.store(false);
    }
    int sixteenth = loop().PlaceCall(1, kAnyChannel, "123", "456");
    ASSERT_TRUE(WaitCall(sixteenth, Alerted));
    EXPECT_EQ(loop().Call(sixteenth).channel, 17);
    EXPECT_EQ(Port(1, 15).ringCount.load(), 1);
    // No free open port left: refused.
    for (int position = 16; position < kPortsPerTrunk; ++position) Port(1, position).open.store(false);
    int refused = loop().PlaceCall(1, kAnyChannel, "123", "456");
    ASSERT_TRUE(WaitCall(refused, Cleared));
    EXPECT_EQ(loop().Call(refused).cause, 44);
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
    int b = place();
    ASSERT_TRUE(WaitCall(b, Alerted));
    int refused = place();
    ASSERT_TRUE(WaitCall(refused, Cleared));
    EXPECT_EQ(loop().Call(refused).cause, 44);
    EXPECT_TRUE(loop().Call(a).gotAlerting);
    EXPECT_EQ(callctl::IncomingCallCount(), 2);

    // An explicit-channel call neither counts nor, when released, frees room.
    loop().Disconnect(Ring(0, 20), 16);
    ASSERT_TRUE(Wait([&] { return Port(0, 20).callHandle.load() == nullptr; }));
    EXPECT_EQ(callctl::IncomingCallCount(), 2);
    ASSERT_TRUE(WaitCall(place(), Cleared));

    // A counted call that ends, by the far end or by the host, frees room.
    loop().Disconnect(a, 16);
    ASSERT_TRUE(Wait([] { return callctl::IncomingCallCount() == 1; }));
    int accepted = place();
    ASSERT_TRUE(WaitCall(accepted, Alerted));
    EXPECT_FALSE(loop().Call(accepted).cleared);
    EXPECT_EQ(callctl::IncomingCallCount(), 2);
    for (int position = 0; position < 3; ++position) callctl::Hangup(Port(0, position));
    EXPECT_EQ(callctl::IncomingCallCount(), 0);

    // No limit at zero or below.
    for (const char* limit : {"0", "-1"}) {
        EXPECT_FALSE(driver::SetInfoKey(Port(0, 0), "maxincoming", limit));
        ASSERT_TRUE(WaitCall(place(), Alerted)) << limit;
    }
    EXPECT_EQ(callctl::IncomingCallCount(), 2);
    EXPECT_NE(trace.Text().find("Card 0: Trunk 0 - New Call aborted due to NoofISDNCalls(2) >= MaxISDNCalls(2) \r\n"),
              std::string::npos);
}

}  // namespace
}  // namespace pritest
