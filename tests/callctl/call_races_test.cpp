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

}  // namespace
}  // namespace pritest
