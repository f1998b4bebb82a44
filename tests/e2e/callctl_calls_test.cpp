// Calls as the host and the far end see them: the module loaded as a host
// loads it, a simulated card in a private lab, real ISDN on its trunk.
#include <string>
#include <thread>
#include <vector>

#include "e2e/transport_lab.h"

using namespace transport_e2e;
using Texts = std::vector<std::string>;

namespace {

constexpr int kCallMs = 5000;  // one call's messages, on a loaded machine
constexpr int kChannels = 30;
constexpr int kRing = 20;

int TimeslotOf(int port) { return port < 15 ? port + 1 : port + 2; }

// Progress texts of a port until one starts with "DISCONNECTED" or `count`
// have come (or the deadline).
Texts Progress(const testsupport::ModuleApi& api, int port, size_t count = 0) {
    Texts texts;
    WaitUntil(
        [&] {
            for (std::string t = api.GetCallProgress(port); !t.empty(); t = api.GetCallProgress(port)) {
                texts.push_back(t);
                if (t.rfind("DISCONNECTED", 0) == 0) return true;
            }
            return count > 0 && texts.size() >= count;
        },
        kCallMs);
    return texts;
}

// A running module with one single-trunk card whose D-channel is up.
#define CALL_LAB(env)                                                  \
    E2E_CARDS(env, {Card(812)});                                       \
    ASSERT_TRUE(env.Start());                                          \
    ASSERT_EQ(env->NoofPorts(), kChannels);                            \
    ASSERT_TRUE(env.card().WaitDChannelUp(0, kDChannelMs));            \
    ASSERT_TRUE(env.Log("Card 0: Trunk 0 - DCHANNEL UP"))

// Three calls one after the other on different ports of one card.
TEST(CallctlE2e, IncomingOutgoingAndBusyCalls) {
    CALL_LAB(env);
    const testsupport::ModuleApi& api = env.api();
    sim::SimCard& card = env.card();
    [&] {
        SCOPED_TRACE("incoming call on a port that is not open rings and is answered");
        const int port = 16;
        api.SetEventHandle(port, env.host->NewEventHandle());
        const int id = card.PlaceCall(0, TimeslotOf(port), "0301234567", "4711", "0309999");
        ASSERT_GE(id, 0);
        ASSERT_TRUE(WaitUntil([&] { return api.GetEvent(port) == kRing; }, kCallMs));
        EXPECT_STREQ(api.GetInfo(port, "CLI"), "0301234567");
        EXPECT_STREQ(api.GetInfo(port, "DLI"), "4711");
        EXPECT_STREQ(api.GetInfo(port, "RLI"), "0309999");
        EXPECT_STREQ(api.GetInfo(port, "DIRECTION"), "INCOMING");
        EXPECT_EQ(api.GetRings(port), 1);
        ASSERT_TRUE(card.WaitCall(id, [](const sim::CallRecord& c) { return c.gotAlerting; }, kCallMs));
        EXPECT_TRUE(card.Calls()[id].gotProceeding);
        ASSERT_TRUE(api.OpenPort(port));
        EXPECT_TRUE(api.Answer(port));
        EXPECT_TRUE(api.IsCallActive(port));
        EXPECT_STREQ(api.GetInfo(port, "CHANNELSTATE"), "INUSE");
        ASSERT_TRUE(card.Disconnect(id, 16));
        EXPECT_EQ(Progress(api, port), Texts{"DISCONNECTED-NORMALCLEARING-Q931_16"});
        EXPECT_FALSE(api.IsCallActive(port));
        EXPECT_TRUE(api.Hangup(port));
        EXPECT_STREQ(api.GetInfo(port, "CHANNELSTATE"), "READY");
    }();
    [&] {
        SCOPED_TRACE("outgoing call connected and cleared by the host");
        const int port = 2, id = int(card.Calls().size());
        card.SetIncomingPolicy(0, sim::IncomingPolicy::Answer);
        ASSERT_TRUE(api.OpenPort(port));
        EXPECT_TRUE(api.SetInfo(port, "DIALCLI", "0305550"));
        ASSERT_TRUE(api.Dial(port, "0991234"));
        ASSERT_TRUE(WaitUntil([&] { return api.IsCallActive(port); }, kCallMs));
        const std::vector<sim::CallRecord> seen = card.Calls();
        ASSERT_EQ(seen.size(), size_t(id) + 1);
        EXPECT_TRUE(seen[id].incomingToSim);
        EXPECT_EQ(seen[id].called, "0991234");
        EXPECT_EQ(seen[id].calling, "0305550");
        EXPECT_EQ(seen[id].channel, TimeslotOf(port));
        EXPECT_EQ(Progress(api, port, 3), (Texts{"PROCEEDING", "RINGBACK", "CONNECTED"}));
        EXPECT_TRUE(api.Hangup(port));
        EXPECT_FALSE(api.IsCallActive(port));
        ASSERT_TRUE(card.WaitCall(id, [](const sim::CallRecord& c) { return c.cleared; }, kCallMs));
        EXPECT_EQ(card.Calls()[id].cause, 16);
    }();
    [&] {
        SCOPED_TRACE("outgoing call to a busy number on a port never opened");
        const int port = 5;
        const size_t id = card.Calls().size();
        card.SetIncomingPolicy(0, sim::IncomingPolicy::Proceed);
        ASSERT_TRUE(api.Dial(port, "123"));
        ASSERT_TRUE(WaitUntil([&] { return card.Calls().size() == id + 1; }, kCallMs));
        ASSERT_TRUE(card.Disconnect(int(id), 17));
        EXPECT_EQ(Progress(api, port), (Texts{"PROCEEDING", "DISCONNECTED-BUSY-Q931_17"}));
        EXPECT_STREQ(api.GetInfo(port, "CHANNELSTATE"), "DOWN");
        EXPECT_FALSE(api.IsCallActive(port));
        EXPECT_STREQ(api.GetError(port), "");
        EXPECT_TRUE(api.Hangup(port));
    }();
}

// Every channel of the trunk in a call at once: half placed by the far
// end, half by the host; then half cleared by each side at the same time.
TEST(CallctlE2e, AllThirtyChannelsInCallsAtOnceThenCleared) {
    CALL_LAB(env);
    const testsupport::ModuleApi& api = env.api();
    sim::SimCard& card = env.card();
    card.SetIncomingPolicy(0, sim::IncomingPolicy::Answer);
    for (int port = 0; port < kChannels; ++port) ASSERT_TRUE(env.Open(port));
    for (int port = 0; port < kChannels; port += 2)
        ASSERT_GE(card.PlaceCall(0, TimeslotOf(port), "0301234567", std::to_string(port)), 0);
    for (int port = 1; port < kChannels; port += 2) ASSERT_TRUE(api.Dial(port, std::to_string(port).c_str()));
    for (int port = 0; port < kChannels; port += 2) {
        ASSERT_TRUE(WaitUntil([&] { return api.GetRings(port) == 1; }, kCallMs)) << port;
        ASSERT_TRUE(api.Answer(port)) << port;
    }
    for (int port = 0; port < kChannels; ++port) {
        ASSERT_TRUE(WaitUntil([&] { return api.IsCallActive(port); }, kCallMs)) << port;
        TakeEvents(api, port);
        while (*api.GetCallProgress(port)) {}
    }
    ASSERT_EQ(card.Calls().size(), size_t(kChannels));

    // The far end clears the calls on ports 0..14, the host those on 15..29.
    const std::vector<sim::CallRecord> records = card.Calls();
    std::thread farEnd([&] {
        for (const sim::CallRecord& r : records)
            if (r.channel < 16) card.Disconnect(r.id, 16);
    });
    std::vector<std::thread> hosts;
    for (int first = 15; first < kChannels; first += 5)
        hosts.emplace_back([&api, first] {
            for (int port = first; port < first + 5; ++port) EXPECT_TRUE(api.Hangup(port));
        });
    farEnd.join();
    for (std::thread& h : hosts) h.join();

    for (int port = 0; port < kChannels; ++port)
        EXPECT_EQ(Progress(api, port), Texts{"DISCONNECTED-NORMALCLEARING-Q931_16"}) << "port " << port;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const sim::CallRecord& r : card.Calls())
                if (!r.cleared) return false;
            return true;
        },
        kCallMs));
    // Late messages of the clearing must not add a second entry.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int port = 0; port < kChannels; ++port) {
        SCOPED_TRACE("port " + std::to_string(port));
        EXPECT_STREQ(api.GetCallProgress(port), "");
        EXPECT_FALSE(api.IsCallActive(port));
        EXPECT_STREQ(api.GetInfo(port, "CHANNELSTATE"), "READY");
        EXPECT_EQ(api.GetRings(port), 0);
    }
}

}  // namespace
