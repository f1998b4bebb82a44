// A call through the exports a host calls, against a simulated card in a
// private lab: what the host sets and reads on a port it never opened. Call
// handling itself is covered with libpri back to back (tests/callctl) and,
// end to end in every call state, by the fault matrix; GetInfo of an incoming
// call's calling number by the instances test.
#include <string>
#include <vector>

#include "e2e/transport_lab.h"

using namespace transport_e2e;
using Texts = std::vector<std::string>;

namespace {

constexpr int kCallMs = 5000;  // one call's messages, on a loaded machine

// Progress texts of a port until one starts with "DISCONNECTED" (or the deadline).
Texts Progress(const testsupport::ModuleApi& api, int port) {
    Texts texts;
    WaitUntil(
        [&] {
            for (std::string t = api.GetCallProgress(port); !t.empty(); t = api.GetCallProgress(port)) {
                texts.push_back(t);
                if (t.rfind("DISCONNECTED", 0) == 0) return true;
            }
            return false;
        },
        kCallMs);
    return texts;
}

TEST(CallctlE2e, DialCliBusyAndStatesOfAPortNeverOpened) {
    E2E_CARDS(env, {Card(812)});
    ASSERT_TRUE(env.Start());
    ASSERT_EQ(env->NoofPorts(), 30);
    ASSERT_TRUE(env.card().WaitDChannelUp(0, kDChannelMs));
    const testsupport::ModuleApi& api = env.api();
    sim::SimCard& card = env.card();
    // An outgoing call with a calling number to a busy number, on port 5.
    const int port = 5;
    const size_t id = card.Calls().size();
    card.SetIncomingPolicy(0, sim::IncomingPolicy::Proceed);
    EXPECT_TRUE(api.SetInfo(port, "DIALCLI", "0305550"));
    ASSERT_TRUE(api.Dial(port, "123"));
    ASSERT_TRUE(WaitUntil([&] { return card.Calls().size() == id + 1; }, kCallMs));
    EXPECT_EQ(card.Calls()[id].calling, "0305550");
    EXPECT_EQ(card.Calls()[id].called, "123");
    ASSERT_TRUE(card.Disconnect(int(id), 17));
    EXPECT_EQ(Progress(api, port), (Texts{"PROCEEDING", "DISCONNECTED-BUSY-Q931_17"}));
    EXPECT_STREQ(api.GetInfo(port, "CHANNELSTATE"), "DOWN");
    EXPECT_FALSE(api.IsCallActive(port));
    EXPECT_STREQ(api.GetError(port), "");
    EXPECT_TRUE(api.Hangup(port));
}

}  // namespace
