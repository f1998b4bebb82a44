// Outgoing calls and clearing by the host, through real libpri on both
// ends.
#include <thread>

#include "call_fixture.h"

namespace pritest {
namespace {

using callctl::Dial;
using callctl::GetCallProgress;
using callctl::Hangup;
using callctl::IsCallActive;

TEST_F(CallTest, DialFollowsProceedingAlertingAndConnect) {
    loop().SetPolicy(0, Policy::Proceed);
    driver::CDevice& port = Port(0, 17);  // timeslot 19
    ASSERT_TRUE(Dial(port, "5551234"));
    int id = -1;
    ASSERT_TRUE(Wait([&] { return (id = loop().LastModuleCall(0)) >= 0; }));
    PeerCall seen = loop().Call(id);
    EXPECT_EQ(seen.called, "5551234");
    EXPECT_EQ(seen.calling, "") << "no DIALCLI set";
    EXPECT_EQ(seen.channel, 19);
    EXPECT_EQ(Info(port, "DIRECTION"), "OUTGOING");
    EXPECT_EQ(Info(port, "DLI"), "5551234");
    EXPECT_EQ(Info(port, "CHANNELSTATE"), "INUSE");

    ASSERT_TRUE(WaitEvent(port, driver::kEventCallProgress));
    loop().Alert(id);
    loop().Answer(id);
    ASSERT_TRUE(Wait([&] { return IsCallActive(port); }));
    EXPECT_TRUE(loop().WaitCall(id, [](const PeerCall& c) { return c.gotConnectAck; }, kSignalMs));
    EXPECT_EQ(ProgressUntil(port, 3), (std::vector<std::string>{"PROCEEDING", "RINGBACK", "CONNECTED"}));
    EXPECT_STREQ(GetCallProgress(port), "");

    EXPECT_TRUE(Hangup(port));
    EXPECT_EQ(port.callHandle.load(), nullptr);
    EXPECT_FALSE(IsCallActive(port));
    ASSERT_TRUE(loop().WaitCall(id, [](const PeerCall& c) { return c.done; }, kSignalMs));
    EXPECT_EQ(loop().Call(id).cause, 16);
    EXPECT_EQ(Progress(port), (std::vector<std::string>{"DISCONNECTED-NORMALCLEARING-Q931_16"}));
}

TEST_F(CallTest, DialToABusyNumber) {
    loop().SetPolicy(0, Policy::Busy);
    driver::CDevice& port = Port(0, 1);
    ASSERT_TRUE(Dial(port, "123"));
    ASSERT_TRUE(Wait([&] { return port.callHandle.load() == nullptr; }));
    EXPECT_EQ(ProgressUntil(port, 2), (std::vector<std::string>{"PROCEEDING", "DISCONNECTED-BUSY-Q931_17"}));
    EXPECT_STREQ(GetCallProgress(port), "");
    // The port is free for the next call.
    loop().SetPolicy(0, Policy::Alert);
    EXPECT_TRUE(Dial(port, "124"));
}

TEST_F(CallTest, DialSendsTheDialCliAndANullNumberAsEmpty) {
    loop().SetPolicy(0, Policy::Proceed);
    driver::CDevice& port = Port(0, 5);
    EXPECT_TRUE(driver::SetInfoKey(port, "DialCli", "0301111"));
    ASSERT_TRUE(Dial(port, nullptr));
    int id = -1;
    ASSERT_TRUE(Wait([&] { return (id = loop().LastModuleCall(0)) >= 0; }));
    EXPECT_EQ(loop().Call(id).calling, "0301111");
    EXPECT_EQ(loop().Call(id).called, "");
    EXPECT_EQ(Info(port, "CLI"), "0301111");
}

TEST_F(CallTest, DialOnAPortWithACallSendsNothing) {
    driver::CDevice& port = Port(0, 6);
    Ring(0, 6);
    TraceCapture trace;
    std::string longNumber(5000, '9');
    EXPECT_FALSE(Dial(port, longNumber.c_str()));
    EXPECT_STREQ(port.errorText, "");
    EXPECT_EQ(loop().SetupsFromModule(), 0);
    EXPECT_EQ(port.ringCount.load(), 1) << "the offered call is untouched";
    EXPECT_NE(trace.Text().find("Dial() -> call handle in use"), std::string::npos);
}

TEST_F(CallTest, HangupOnAlertingClearsOnlyAnActiveCall) {
    loop().card().trunks[0].hangupOnAlerting = true;
    loop().SetPolicy(0, Policy::Proceed);
    // Not active: the ALERTING is reported as usual.
    driver::CDevice& ringing = Port(0, 2);
    ASSERT_TRUE(Dial(ringing, "100"));
    int first = -1;
    ASSERT_TRUE(Wait([&] { return (first = loop().LastModuleCall(0)) >= 0; }));
    loop().Alert(first);
    EXPECT_EQ(ProgressUntil(ringing, 2), (std::vector<std::string>{"PROCEEDING", "RINGBACK"}));

    // Active (as after CONNECT): the ALERTING makes the module clear.
    driver::CDevice& active = Port(0, 3);
    ASSERT_TRUE(Dial(active, "101"));
    int second = -1;
    ASSERT_TRUE(Wait([&] { return (second = loop().LastModuleCall(0)) > first; }));
    ASSERT_TRUE(WaitEvent(active, driver::kEventCallProgress));
    active.callActive.store(true);
    loop().Alert(second);
    ASSERT_TRUE(loop().WaitCall(second, [](const PeerCall& c) { return c.cleared; }, kSignalMs));
    EXPECT_EQ(loop().Call(second).cause, 16);
    ASSERT_TRUE(Wait([&] { return active.callHandle.load() == nullptr; }));
    for (const std::string& text : Progress(active)) EXPECT_NE(text, "RINGBACK");
}

TEST_F(CallTest, HangupOfAnIdlePortIsTracedAtEveryLevel) {
    driver::g_traceLevel = 3;
    TraceCapture trace;
    EXPECT_TRUE(Hangup(Port(0, 0)));
    EXPECT_NE(trace.Text().find("  0 :Hangup()-> Call is already released. hCall is NULL.\r\n"), std::string::npos);
}

// The far end's RELEASE COMPLETE answers a release at once: the port must
// not keep the call libpri has freed until the hangup wait runs out.
TEST_F(CallTest, HangupBeforeTheFarEndRespondsLeavesNoStaleCall) {
    loop().SetPolicy(0, Policy::Ignore);
    driver::CDevice& port = Port(0, 8);
    ASSERT_TRUE(Dial(port, "100"));
    bool done = false;
    std::thread host([&] { done = Hangup(port); });
    int id = -1;
    ASSERT_TRUE(Wait([&] { return (id = loop().LastModuleCall(0)) >= 0; }));
    EXPECT_TRUE(Wait([&] { return port.callHandle.load() == nullptr; }, 5000));
    host.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(Info(port, "CHANNELSTATE"), "READY");
}

// The host hangs up while the far end clears: however the messages cross,
// the port ends idle and the host reads exactly one disconnect entry.
TEST_F(CallTest, HangupRacingTheFarEndsClearingEndsInOneDisconnect) {
    driver::CDevice& port = Port(0, 11);
    for (int round = 0; round < 20; ++round) {
        int id = Connected(0, 11);
        callctl::GetCallProgress(port);
        std::thread host([&] { EXPECT_TRUE(Hangup(port)); });
        loop().Disconnect(id, 16);
        host.join();
        ASSERT_TRUE(loop().WaitCall(id, [](const PeerCall& c) { return c.done; }, kSignalMs)) << "round " << round;
        ASSERT_TRUE(Wait([&] { return port.callHandle.load() == nullptr; })) << "round " << round;
        // Late messages of the call must not add a second entry.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<std::string> texts = Progress(port);
        ASSERT_EQ(texts.size(), 1u) << "round " << round;
        EXPECT_EQ(texts[0].rfind("DISCONNECTED-", 0), 0u) << texts[0];
        PriLoop::DrainEvents(port);
    }
}

// Slow: waits the full hangup time. A call offered on the channel in the
// meantime survives the timeout's reset.
TEST_F(CallTest, HangupNeverConfirmedResetsThePortButNotItsNextCall) {
    loop().SetPolicy(0, Policy::Answer);
    driver::CDevice& port = Port(0, 12);  // timeslot 13
    ASSERT_TRUE(Dial(port, "100"));
    ASSERT_TRUE(Wait([&] { return IsCallActive(port); }));
    ProgressUntil(port, 3);
    loop().SetIgnoreClearing(true);
    bool done = false;
    std::thread host([&] { done = Hangup(port); });
    int old = loop().LastModuleCall(0);
    ASSERT_TRUE(loop().WaitCall(old, [](const PeerCall& c) { return c.cleared; }, kSignalMs));
    int next = loop().PlaceCall(0, 13, "0309876", "4711");
    ASSERT_TRUE(Wait([&] { return port.ringCount.load() == 1; }));
    host.join();
    EXPECT_TRUE(done);
    EXPECT_NE(port.callHandle.load(), nullptr) << "the new call was wiped";
    EXPECT_EQ(Info(port, "CLI"), "0309876");
    EXPECT_TRUE(loop().Call(next).gotAlerting);
    EXPECT_EQ(Progress(port), std::vector<std::string>{});
}

}  // namespace
}  // namespace pritest
