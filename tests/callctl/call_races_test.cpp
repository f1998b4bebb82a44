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

}  // namespace
}  // namespace pritest
