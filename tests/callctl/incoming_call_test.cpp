// Incoming calls through real libpri on both ends: offering, answering,
// refusing, clearing, channel-less calls and their limit.
#include <thread>

#include "call_fixture.h"

namespace pritest {
namespace {

using callctl::Answer;
using callctl::GetCallProgress;
using callctl::IsCallActive;

TEST_F(CallTest, IncomingCallRingsWithNumbersThenClearsFromFarEnd) {
    driver::CDevice& port = Port(0, 4);  // timeslot 5
    port.open.store(false);              // a port that is not open still rings
    int id = Ring(0, 4, "0301234567", "4711", "0309999");
    EXPECT_TRUE(WaitEvent(port, driver::kEventRing));
    EXPECT_EQ(Info(port, "CLI"), "0301234567");
    EXPECT_EQ(Info(port, "DLI"), "4711");
    EXPECT_EQ(Info(port, "RLI"), "0309999");
    EXPECT_EQ(Info(port, "direction"), "INCOMING");
    EXPECT_EQ(Info(port, "CALLTYPE"), "Voice");
    PeerCall seen = loop().Call(id);
    EXPECT_TRUE(seen.gotProceeding);
    EXPECT_EQ(seen.channel, 5);
    EXPECT_FALSE(seen.alertingInband);
    EXPECT_FALSE(seen.cleared);

    ASSERT_TRUE(loop().Disconnect(id, 16));
    ASSERT_TRUE(Wait([&] { return port.callHandle.load() == nullptr; }));
    EXPECT_TRUE(WaitEvent(port, driver::kEventCallProgress));
    EXPECT_EQ(std::string(GetCallProgress(port)), "DISCONNECTED-NORMALCLEARING-Q931_16");
    EXPECT_STREQ(GetCallProgress(port), "");
    EXPECT_EQ(Info(port, "CLI"), "");
    EXPECT_EQ(Info(port, "DIRECTION"), "OUTGOING");
    EXPECT_EQ(port.Rings(), 0);
    EXPECT_EQ(port.clearingCause.load(), 16);
}

TEST_F(CallTest, AlertingCarriesInbandProgressOnlyForShortCallingNumbers) {
    int none = Ring(0, 0, "");
    int one = Ring(0, 1, "7");
    int two = Ring(0, 2, "12");
    EXPECT_TRUE(loop().Call(none).alertingInband);
    EXPECT_TRUE(loop().Call(one).alertingInband);
    EXPECT_FALSE(loop().Call(two).alertingInband);
}

TEST_F(CallTest, AnswerOnUserSideWaitsForConnectAcknowledge) {
    driver::CDevice& port = Port(0, 16);  // timeslot 18
    int id = Ring(0, 16);
    ASSERT_TRUE(Answer(port));
    PeerCall seen = loop().Call(id);
    EXPECT_TRUE(seen.gotConnect);
    EXPECT_TRUE(IsCallActive(port));
    EXPECT_STREQ(port.errorText, "");
    // CONNECT ACKNOWLEDGE on an incoming call queues no entry.
    EXPECT_STREQ(GetCallProgress(port), "");
    EXPECT_TRUE(Answer(port)) << "an active call answers at once";
    EXPECT_EQ(port.Rings(), 1) << "rings stop counting once connected";
}

TEST_F(CallTest, AnswerOnNetworkSideSucceedsWithoutConnectAcknowledge) {
    LoopOptions options;
    options.moduleIsNetwork = true;
    Start(options);
    loop().SetWithholdConnectAck(true);
    driver::CDevice& port = Port(0, 0);
    int id = Ring(0, 0);
    PriLoop::DrainEvents(port);
    ASSERT_TRUE(Answer(port));
    EXPECT_TRUE(IsCallActive(port));
    EXPECT_TRUE(loop().WaitCall(id, [](const PeerCall& c) { return c.gotConnect; }, kSignalMs));
    EXPECT_EQ(PriLoop::TakeEvent(port), driver::kEventCallProgress);
    EXPECT_STREQ(GetCallProgress(port), "");
}

TEST_F(CallTest, AnswerFailsWhenTheFarEndClearsDuringTheWait) {
    loop().SetWithholdConnectAck(true);
    driver::CDevice& port = Port(0, 3);
    int id = Ring(0, 3);
    bool answered = true;
    std::thread host([&] { answered = Answer(port); });
    ASSERT_TRUE(loop().WaitCall(id, [](const PeerCall& c) { return c.gotConnect; }, kSignalMs));
    loop().Disconnect(id, 16);
    host.join();
    EXPECT_FALSE(answered);
    EXPECT_STREQ(port.errorText, "Answer() -> Remote side disconnect received.");
    EXPECT_EQ(port.callHandle.load(), nullptr);
}

TEST_F(CallTest, AnswerWithoutCallFailsWithConnectError) {
    driver::CDevice& port = Port(0, 0);
    EXPECT_FALSE(Answer(port));
    EXPECT_STREQ(port.errorText, "Answer() -> Answer() failed in Q931 Connect().");
}

// Slow: waits the full answer time. libpri's own wait for CONNECT
// ACKNOWLEDGE (T313, 4 s) would clear the call first and Answer would then
// report the far end's disconnect, so it is set beyond the answer wait here.
TEST_F(CallTest, AnswerTimesOutWhenConnectIsNeverAcknowledged) {
    {
        plat::LockGuard guard(loop().card().trunks[0].lock);
        pri_set_timer(loop().card().trunks[0].controller, PRI_TIMER_T313, 20000);
    }
    loop().SetWithholdConnectAck(true);
    driver::CDevice& port = Port(0, 7);
    int id = Ring(0, 7);
    EXPECT_FALSE(Answer(port));
    EXPECT_STREQ(port.errorText, "");
    EXPECT_EQ(port.callHandle.load(), nullptr);
    EXPECT_FALSE(IsCallActive(port));
    EXPECT_EQ(Info(port, "CLI"), "");
    EXPECT_FALSE(loop().Call(id).cleared) << "a timeout sends nothing";
}

TEST_F(CallTest, RejectRefusesWithCause21) {
    driver::CDevice& port = Port(0, 9);
    int id = Ring(0, 9);
    EXPECT_TRUE(callctl::Reject(port));
    EXPECT_TRUE(loop().WaitCall(id, [](const PeerCall& c) { return c.cleared; }, kSignalMs));
    EXPECT_EQ(loop().Call(id).cause, 21);
    EXPECT_EQ(port.callHandle.load(), nullptr);
    EXPECT_EQ(port.Rings(), 0);
}

TEST_F(CallTest, RejectLeavesAnActiveCallAlone) {
    driver::CDevice& port = Port(0, 9);
    int id = Connected(0, 9);
    EXPECT_TRUE(callctl::Reject(port));
    EXPECT_TRUE(IsCallActive(port));
    EXPECT_FALSE(loop().Call(id).cleared);
}

TEST_F(CallTest, PortNotAllowingIncomingCallsRefusesWithCause44) {
    driver::CDevice& port = Port(0, 2);
    EXPECT_FALSE(driver::SetInfoKey(port, "AllowIncoming", "0"));
    int id = loop().PlaceCall(0, 3, "123", "456");
    ASSERT_TRUE(loop().WaitCall(id, [](const PeerCall& c) { return c.cleared; }, kSignalMs));
    PeerCall seen = loop().Call(id);
    EXPECT_EQ(seen.cause, 44);
    EXPECT_FALSE(seen.gotProceeding);
    EXPECT_EQ(port.callHandle.load(), nullptr);
    EXPECT_EQ(PriLoop::TakeEvent(port), 0u);
}

TEST_F(CallTest, ChannelsWithoutPortOfThisTrunkAreIgnored) {
    LoopOptions options;
    options.trunks = 2;
    Start(options);
    // 40 would land on trunk 1's ninth port; 0 names no channel.
    int beyond = loop().PlaceCall(0, 40, "123", "456");
    int none = loop().PlaceCall(0, kNoChannelIe, "123", "456");
    int good = Ring(0, 0);
    EXPECT_TRUE(loop().Call(good).gotProceeding);
    for (int id : {beyond, none}) {
        PeerCall seen = loop().Call(id);
        EXPECT_FALSE(seen.gotProceeding || seen.gotSetupAck || seen.cleared) << "call " << id;
    }
    for (int position = 0; position < kPortsPerTrunk; ++position)
        EXPECT_EQ(Port(1, position).callHandle.load(), nullptr) << "trunk 1 port " << position;
}

TEST_F(CallTest, ChannellessCallsTakeTheFirstFreeOpenPortOfTheirTrunk) {
    LoopOptions options;
    options.trunks = 2;
    Start(options);
    // Trunk 1: every port open and free: the first one, channel 1.
    int first = loop().PlaceCall(1, kAnyChannel, "123", "456");
    ASSERT_TRUE(loop().WaitCall(first, [](const PeerCall& c) { return c.gotAlerting; }, kSignalMs));
    PeerCall seen = loop().Call(first);
    EXPECT_TRUE(seen.gotSetupAck);
    EXPECT_EQ(seen.channel, 1);
    EXPECT_EQ(Port(1, 0).ringCount.load(), 1);
    EXPECT_TRUE(WaitEvent(Port(1, 0), driver::kEventRing));
    // Trunk 1 again with its ports 2..15 closed or refusing: the 16th port, channel 17.
    for (int position = 1; position < 15; ++position) {
        if (position % 2 == 0) Port(1, position).open.store(false);
        else Port(1, position).allowIncoming.store(false);
    }
    int sixteenth = loop().PlaceCall(1, kAnyChannel, "123", "456");
    ASSERT_TRUE(loop().WaitCall(sixteenth, [](const PeerCall& c) { return c.gotAlerting; }, kSignalMs));
    EXPECT_EQ(loop().Call(sixteenth).channel, 17);
    EXPECT_EQ(Port(1, 15).ringCount.load(), 1);
    EXPECT_EQ(Port(0, 0).callHandle.load(), nullptr) << "trunk 0 untouched";
}

TEST_F(CallTest, ChannellessCallWithNoFreePortIsRefused) {
    for (int position = 0; position < kPortsPerTrunk; ++position) Port(0, position).open.store(false);
    TraceCapture trace;
    int id = loop().PlaceCall(0, kAnyChannel, "123", "456");
    ASSERT_TRUE(loop().WaitCall(id, [](const PeerCall& c) { return c.cleared; }, kSignalMs));
    EXPECT_EQ(loop().Call(id).cause, 44);
    EXPECT_NE(trace.Text().find("Card 0: Trunk 0 - New Call aborted due to BCHANNEL unavailable"), std::string::npos);
}

// The limit counts the channel-less calls that ports hold right now:
// refusals and releases of other calls never move it.
TEST_F(CallTest, ChannellessCallLimitCountsCallsInProgress) {
    driver::g_traceLevel = 1;
    TraceCapture trace;
    EXPECT_FALSE(driver::SetInfoKey(Port(0, 0), "MAXINCOMING", "2"));
    int a = loop().PlaceCall(0, kAnyChannel, "1", "2");
    int b = loop().PlaceCall(0, kAnyChannel, "1", "2");
    ASSERT_TRUE(loop().WaitCall(b, [](const PeerCall& c) { return c.gotAlerting; }, kSignalMs));
    int refused = loop().PlaceCall(0, kAnyChannel, "1", "2");
    ASSERT_TRUE(loop().WaitCall(refused, [](const PeerCall& c) { return c.cleared; }, kSignalMs));
    EXPECT_EQ(loop().Call(refused).cause, 44);
    EXPECT_TRUE(loop().Call(a).gotAlerting);
    EXPECT_EQ(callctl::IncomingCallCount(), 2);

    // An explicit-channel call neither counts nor, when released, frees room.
    int explicitCall = Ring(0, 20);
    loop().Disconnect(explicitCall, 16);
    ASSERT_TRUE(Wait([&] { return Port(0, 20).callHandle.load() == nullptr; }));
    EXPECT_EQ(callctl::IncomingCallCount(), 2);
    int stillRefused = loop().PlaceCall(0, kAnyChannel, "1", "2");
    ASSERT_TRUE(loop().WaitCall(stillRefused, [](const PeerCall& c) { return c.cleared; }, kSignalMs));

    // A counted call that ends, by the far end or by the host, frees room.
    loop().Disconnect(a, 16);
    ASSERT_TRUE(Wait([] { return callctl::IncomingCallCount() == 1; }));
    int accepted = loop().PlaceCall(0, kAnyChannel, "1", "2");
    ASSERT_TRUE(loop().WaitCall(accepted, [](const PeerCall& c) { return c.gotAlerting; }, kSignalMs));
    EXPECT_FALSE(loop().Call(accepted).cleared);
    EXPECT_EQ(callctl::IncomingCallCount(), 2);
    for (int position = 0; position < 3; ++position) callctl::Hangup(Port(0, position));
    EXPECT_EQ(callctl::IncomingCallCount(), 0);

    EXPECT_NE(trace.Text().find("Card 0: Trunk 0 - New Call aborted due to NoofISDNCalls(2) >= MaxISDNCalls(2) \r\n"),
              std::string::npos);
}

TEST_F(CallTest, NoChannellessLimitAtZeroOrBelow) {
    for (const char* limit : {"0", "-1"}) {
        EXPECT_FALSE(driver::SetInfoKey(Port(0, 0), "maxincoming", limit));
        int id = loop().PlaceCall(0, kAnyChannel, "1", "2");
        ASSERT_TRUE(loop().WaitCall(id, [](const PeerCall& c) { return c.gotAlerting; }, kSignalMs)) << limit;
    }
    EXPECT_EQ(callctl::IncomingCallCount(), 2);
}

}  // namespace
}  // namespace pritest
