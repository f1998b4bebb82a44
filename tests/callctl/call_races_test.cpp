// Host operations racing the far end's messages: whichever runs first, the port ends in one state the host can trust.
#include "call_fixture.h"

namespace pritest {
namespace {

// Network side: a DISCONNECT handled right after CONNECT went out leaves the port idle and not active.
TEST_F(CallTest, NetworkSideAnswerRacingTheFarEndsDisconnect) {
    Start(1, true);
    driver::CDevice& port = Port(0, 5);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int id = Ring(0, 5);
        loop().HoldModuleFrames();
        ASSERT_TRUE(loop().Disconnect(id, 16));
        RaceHeldFrames(true, [&] { Answer(port); });  // true or false: both are sound here
        ASSERT_TRUE(WaitIdle(port));
        ASSERT_FALSE(IsCallActive(port));
        Progress(port);
        DrainEvents(port);
    }
}

// GetRings polled while the far end clears leaves no count on the idle port; a Dial starts from none, so its
// CONNECT is reported as an outgoing call's.
TEST_F(CallTest, RingCountPolledDuringTheClearingIsGoneOnceIdle) {
    driver::CDevice& port = Port(0, 8);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int id = Ring(0, 8);
        loop().HoldModuleFrames();
        ASSERT_TRUE(loop().Disconnect(id, 16));
        RaceHeldFrames(false, [&] {
            while (port.callHandle.load() != nullptr) port.Rings();
        });
        ASSERT_TRUE(WaitIdle(port));
        ASSERT_EQ(Info(port, "DIRECTION"), "OUTGOING");
        Progress(port);
        DrainEvents(port);
    }
    port.ringStart.store(1);  // as a poll racing an older clearing could leave it
    port.ringCount.store(1);
    loop().policy[0] = Policy::Answer;
    ASSERT_TRUE(Dial(port, "100"));
    EXPECT_EQ(Progress(port, 3), (Texts{"PROCEEDING", "RINGBACK", "CONNECTED"}));
    EXPECT_TRUE(Hangup(port));
}

// ResetChannel on an idle port while the far end's SETUP for it arrives: the call that came after the restart stays.
TEST_F(CallTest, ResetChannelRacingAnIncomingCallKeepsTheCall) {
    driver::CDevice& port = Port(0, 10);  // timeslot 11
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        loop().HoldModuleFrames();
        int id = loop().PlaceCall(0, 11, "0305555", "4711");
        ASSERT_GE(id, 0);
        RaceHeldFrames(true, [&] { DeviceSpecificCommand(port, "ResetChannel", nullptr); });
        ASSERT_TRUE(WaitCall(id, &PeerCall::gotAlerting));
        ASSERT_EQ(State(port), "call rings=1 CLI=0305555");
        ASSERT_TRUE(loop().Disconnect(id, 16));
        ASSERT_TRUE(WaitIdle(port));
        Progress(port);
        DrainEvents(port);
    }
}

// The host's Hangup for a call the far end ended comes after the next call
// has rung on the port: it is taken for the ended call and the new call can
// be answered. A Hangup the host owes nothing for (its own clearing, or one
// already made) still clears a ringing call.
TEST_F(CallTest, LateHangupOfAnEndedCallLeavesTheNextCallRinging) {
    driver::CDevice& port = Port(0, 6);
    int first = Ring(0, 6);
    ASSERT_TRUE(Answer(port));
    ASSERT_TRUE(loop().Disconnect(first, 16));
    ASSERT_TRUE(WaitIdle(port));
    int next = Ring(0, 6);
    ASSERT_TRUE(WaitEvent(port, driver::kEventRing));
    EXPECT_TRUE(Hangup(port));
    EXPECT_TRUE(Answer(port));
    EXPECT_TRUE(WaitCall(next, &PeerCall::gotConnect));
    EXPECT_FALSE(loop().Call(next).cleared);
    EXPECT_TRUE(Hangup(port));
    EXPECT_EQ(CauseOf(next), 16);
    DrainEvents(port);
    Progress(port);

    // Hung up in time, then the host's own clearing: nothing is owed.
    for (bool farEndFirst : {true, false}) {
        SCOPED_TRACE(farEndFirst ? "far end cleared, Hangup made" : "host cleared");
        int call = Ring(0, 6);
        ASSERT_TRUE(Answer(port));
        if (farEndFirst) {
            ASSERT_TRUE(loop().Disconnect(call, 16));
            ASSERT_TRUE(WaitIdle(port));
        }
        EXPECT_TRUE(Hangup(port));
        ASSERT_TRUE(WaitIdle(port));
        int ringing = Ring(0, 6);
        ASSERT_TRUE(WaitEvent(port, driver::kEventRing));
        EXPECT_TRUE(Hangup(port));
        EXPECT_EQ(CauseOf(ringing), 16) << "the ringing call was cleared";
        ASSERT_TRUE(WaitIdle(port));
        DrainEvents(port);
        Progress(port);
    }
}

}  // namespace
}  // namespace pritest
