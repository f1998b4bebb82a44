// Outgoing calls and clearing by the host, through real libpri on both ends.
#include <chrono>
#include <thread>

#include "call_fixture.h"

namespace pritest {
namespace {

TEST_F(CallTest, DialFollowsProceedingAlertingAndConnect) {
    loop().policy[0] = Policy::Proceed;
    driver::CDevice& port = Port(0, 17);  // timeslot 19
    ASSERT_TRUE(Dial(port, "5551234"));
    int id = NextModuleCall();
    PeerCall seen = loop().Call(id);
    EXPECT_EQ(seen.called, "5551234");
    EXPECT_EQ(seen.calling, "") << "no DIALCLI set";
    EXPECT_EQ(seen.channel, 19);
    EXPECT_EQ(Info(port, "DIRECTION") + Info(port, "DLI") + Info(port, "CHANNELSTATE"), "OUTGOING5551234INUSE");

    ASSERT_TRUE(WaitEvent(port, driver::kEventCallProgress));
    loop().Alert(id);
    loop().Answer(id);
    ASSERT_TRUE(Wait([&] { return IsCallActive(port); }));
    EXPECT_TRUE(WaitCall(id, &PeerCall::gotConnectAck));
    EXPECT_EQ(Progress(port, 3), (Texts{"PROCEEDING", "RINGBACK", "CONNECTED"}));
    EXPECT_STREQ(GetCallProgress(port), "");

    EXPECT_TRUE(Hangup(port));
    EXPECT_EQ(State(port), "idle rings=0 CLI=");
    EXPECT_EQ(CauseOf(id, &PeerCall::done), 16);
    EXPECT_EQ(Progress(port), Texts{"DISCONNECTED-NORMALCLEARING-Q931_16"});
}

TEST_F(CallTest, DialToABusyNumberWithTheDialCliAndANullNumber) {
    loop().policy[0] = Policy::Busy;
    driver::CDevice& port = Port(0, 1);
    EXPECT_TRUE(driver::SetInfoKey(port, "DialCli", "0301111"));
    ASSERT_TRUE(Dial(port, nullptr));
    PeerCall seen = loop().Call(NextModuleCall());
    EXPECT_EQ(seen.calling, "0301111");
    EXPECT_EQ(seen.called, "");
    ASSERT_TRUE(WaitIdle(port));
    EXPECT_EQ(Progress(port, 2), (Texts{"PROCEEDING", "DISCONNECTED-BUSY-Q931_17"}));
    EXPECT_STREQ(GetCallProgress(port), "");
    EXPECT_TRUE(Dial(port, "124")) << "the port is free for the next call";
    EXPECT_EQ(Info(port, "CLI"), "0301111");
}

// Both lines are written whatever the trace level.
TEST_F(CallTest, DialOnAPortWithACallSendsNothingAndHangupOfAnIdlePortIsTraced) {
    driver::CDevice& port = Port(0, 6);
    Ring(0, 6);
    driver::g_traceLevel = 3;
    TraceCapture trace;
    EXPECT_FALSE(Dial(port, std::string(5000, '9').c_str()));
    EXPECT_STREQ(port.errorText, "");
    EXPECT_EQ(port.ringCount.load(), 1) << "the offered call is untouched";
    EXPECT_TRUE(Hangup(Port(0, 0)));
    std::string text = trace.Text();
    EXPECT_NE(text.find("Dial() -> call handle in use"), std::string::npos);
    EXPECT_NE(text.find("  0 :Hangup()-> Call is already released. hCall is NULL.\r\n"), std::string::npos);
    EXPECT_EQ(loop().LastModuleCall(0), -1) << "no SETUP";
}

TEST_F(CallTest, HangupOnAlertingClearsOnlyAnActiveCall) {
    loop().card().trunks[0].hangupOnAlerting = true;
    loop().policy[0] = Policy::Proceed;
    // Not active: the ALERTING is reported as usual.
    driver::CDevice& ringing = Port(0, 2);
    ASSERT_TRUE(Dial(ringing, "100"));
    int first = NextModuleCall();
    loop().Alert(first);
    EXPECT_EQ(Progress(ringing, 2), (Texts{"PROCEEDING", "RINGBACK"}));

    // Active (as after CONNECT): the ALERTING makes the module clear.
    driver::CDevice& active = Port(0, 3);
    ASSERT_TRUE(Dial(active, "101"));
    int second = NextModuleCall(first);
    ASSERT_TRUE(WaitEvent(active, driver::kEventCallProgress));
    active.callActive.store(true);
    loop().Alert(second);
    ASSERT_EQ(CauseOf(second), 16);
    ASSERT_TRUE(WaitIdle(active));
    for (const std::string& text : Progress(active)) EXPECT_NE(text, "RINGBACK");
}

// RELEASE COMPLETE answers the release at once: the port must not keep the freed call until the wait runs out.
TEST_F(CallTest, HangupBeforeTheFarEndRespondsLeavesNoStaleCall) {
    loop().policy[0] = Policy::Ignore;
    driver::CDevice& port = Port(0, 8);
    ASSERT_TRUE(Dial(port, "100"));
    bool done = false;
    std::thread host([&] { done = Hangup(port); });
    EXPECT_GE(NextModuleCall(), 0);
    EXPECT_TRUE(Wait([&] { return port.callHandle.load() == nullptr; }, 5000));
    host.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(Info(port, "CHANNELSTATE"), "READY");
}

// Host and far end clear at once: however the messages cross, the port ends idle with exactly one disconnect entry.
TEST_F(CallTest, HangupRacingTheFarEndsClearingEndsInOneDisconnect) {
    driver::CDevice& port = Port(0, 11);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int id = Connected(0, 11);
        GetCallProgress(port);
        std::thread host([&] { EXPECT_TRUE(Hangup(port)); });
        loop().Disconnect(id, 16);
        host.join();
        ASSERT_TRUE(WaitCall(id, &PeerCall::done));
        ASSERT_TRUE(WaitIdle(port));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room for a wrong second entry
        Texts texts = Progress(port);
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0].rfind("DISCONNECTED-", 0), 0u) << texts[0];
        DrainEvents(port);
    }
}

// Slow: waits the full 10 s hangup time; a call offered on the channel meanwhile survives the timeout's reset.
// libpri's T305 is set beyond the wait: its late RELEASE and the answer to it give the idle port nothing.
TEST_F(CallTest, HangupNeverConfirmedResetsThePortButNotItsNextCall) {
    loop().policy[0] = Policy::Answer;
    {
        plat::LockGuard guard(loop().card().trunks[0].lock);
        pri_set_timer(loop().card().trunks[0].controller, PRI_TIMER_T305, 11500);
    }
    driver::CDevice& port = Port(0, 12);  // timeslot 13
    driver::CDevice& idle = Port(0, 13);
    int calls[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(Dial(i == 0 ? port : idle, "100"));
        calls[i] = NextModuleCall(i == 0 ? -1 : calls[0]);
    }
    ASSERT_TRUE(Wait([&] { return IsCallActive(port) && IsCallActive(idle); }));
    Progress(port, 3);
    Progress(idle, 3);
    loop().ignoreClearing = true;
    bool done = false;
    auto start = std::chrono::steady_clock::now();
    std::thread host([&] { done = Hangup(port); });
    std::thread other([&] { Hangup(idle); });
    EXPECT_TRUE(WaitCall(calls[0], &PeerCall::cleared));
    int next = loop().PlaceCall(0, 13, "0309876", "4711");
    EXPECT_TRUE(Wait([&] { return port.ringCount.load() == 1; }));
    host.join();
    other.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9500)) << "waits 10 s";
    EXPECT_TRUE(done);
    EXPECT_NE(port.callHandle.load(), nullptr) << "the new call was wiped";
    EXPECT_EQ(Info(port, "CLI"), "0309876");
    EXPECT_TRUE(loop().Call(next).gotAlerting);
    EXPECT_EQ(Progress(port), Texts{});

    EXPECT_EQ(State(idle), "idle rings=0 CLI=");
    DrainEvents(idle);
    ASSERT_TRUE(WaitCall(calls[1], &PeerCall::done)) << "libpri releases the call at T305";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the answer to the RELEASE reaches the module
    EXPECT_EQ(Progress(idle), Texts{});
    EXPECT_EQ(TakeEvent(idle), 0u);
}

}  // namespace
}  // namespace pritest
