// Calls as the host and the far end see them: the module loaded as a host
// loads it, a simulated card in a private lab, real ISDN on its trunk.
#include <string>
#include <thread>
#include <vector>

#include "e2e/transport_lab.h"

using namespace transport_e2e;

namespace {

constexpr int kCallMs = 5000;      // one call's messages, on a loaded machine
constexpr int kChannels = 30;
constexpr int kRing = 20;

int TimeslotOf(int port) { return port < 15 ? port + 1 : port + 2; }

// A running module with one single-trunk card whose D-channel is up.
class CallLab {
public:
    bool Start(testsupport::NetworkLab& lab) {
        sim::CardProfile profile;
        profile.serial = 812;
        if (!StartCards(lab, {profile}, &cards_)) return false;
        host_.reset(new testsupport::ModuleHost());
        if (!host_->loaded()) return false;
        started_.reset(new Started(*host_));
        return started_->ok() && host_->api().NoofPorts() == kChannels && card().WaitDChannelUp(0, kDChannelMs) &&
               host_->WaitForLog("Card 0: Trunk 0 - DCHANNEL UP", kDChannelMs);
    }
    ~CallLab() {
        started_.reset();
        for (auto& c : cards_) c->Stop();
    }
    const testsupport::ModuleApi& api() { return host_->api(); }
    testsupport::ModuleHost& host() { return *host_; }
    sim::SimCard& card() { return *cards_[0]; }

    // Progress texts of a port until one starts with "DISCONNECTED" (or the
    // deadline); the texts read on the way are returned too.
    std::vector<std::string> ProgressUntilDisconnect(int port, int timeoutMs = kCallMs) {
        std::vector<std::string> texts;
        testsupport::WaitUntil([&] {
            for (std::string t = api().GetCallProgress(port); !t.empty(); t = api().GetCallProgress(port)) {
                texts.push_back(t);
                if (t.rfind("DISCONNECTED", 0) == 0) return true;
            }
            return false;
        }, timeoutMs);
        return texts;
    }

private:
    std::vector<std::unique_ptr<sim::SimCard>> cards_;
    std::unique_ptr<testsupport::ModuleHost> host_;
    std::unique_ptr<Started> started_;
};

int Events(const testsupport::ModuleApi& api, int port, int code) {
    int n = 0;
    for (int e = api.GetEvent(port); e != 0; e = api.GetEvent(port)) n += e == code ? 1 : 0;
    return n;
}

TEST(CallctlE2e, IncomingCallRingsOnAPortThatIsNotOpenAndIsAnswered) {
    VAXO_REQUIRE_LAB(lab, 1);
    CallLab calls;
    ASSERT_TRUE(calls.Start(*lab));
    auto& api = calls.api();
    const int port = 16;  // timeslot 18
    api.SetEventHandle(port, calls.host().NewEventHandle());
    int id = calls.card().PlaceCall(0, TimeslotOf(port), "0301234567", "4711", "0309999");
    ASSERT_GE(id, 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return api.GetEvent(port) == kRing; }, kCallMs));
    EXPECT_STREQ(api.GetInfo(port, "CLI"), "0301234567");
    EXPECT_STREQ(api.GetInfo(port, "DLI"), "4711");
    EXPECT_STREQ(api.GetInfo(port, "RLI"), "0309999");
    EXPECT_STREQ(api.GetInfo(port, "DIRECTION"), "INCOMING");
    EXPECT_EQ(api.GetRings(port), 1);
    ASSERT_TRUE(calls.card().WaitCall(id, [](const sim::CallRecord& c) { return c.gotAlerting; }, kCallMs));
    EXPECT_TRUE(calls.card().Calls()[id].gotProceeding);

    ASSERT_TRUE(api.OpenPort(port));
    EXPECT_TRUE(api.Answer(port));
    EXPECT_TRUE(api.IsCallActive(port));
    EXPECT_STREQ(api.GetInfo(port, "CHANNELSTATE"), "INUSE");
    ASSERT_TRUE(calls.card().Disconnect(id, 16));
    EXPECT_EQ(calls.ProgressUntilDisconnect(port), std::vector<std::string>{"DISCONNECTED-NORMALCLEARING-Q931_16"});
    EXPECT_FALSE(api.IsCallActive(port));
    EXPECT_TRUE(api.Hangup(port));
    EXPECT_STREQ(api.GetInfo(port, "CHANNELSTATE"), "READY");
}

TEST(CallctlE2e, OutgoingCallIsConnectedAndClearedByTheHost) {
    VAXO_REQUIRE_LAB(lab, 1);
    CallLab calls;
    ASSERT_TRUE(calls.Start(*lab));
    auto& api = calls.api();
    const int port = 2;  // timeslot 3
    calls.card().SetIncomingPolicy(0, sim::IncomingPolicy::Answer);
    ASSERT_TRUE(api.OpenPort(port));
    EXPECT_TRUE(api.SetInfo(port, "DIALCLI", "0305550"));
    ASSERT_TRUE(api.Dial(port, "0991234"));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return api.IsCallActive(port); }, kCallMs));
    std::vector<sim::CallRecord> seen = calls.card().Calls();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].incomingToSim);
    EXPECT_EQ(seen[0].called, "0991234");
    EXPECT_EQ(seen[0].calling, "0305550");
    EXPECT_EQ(seen[0].channel, 3);
    std::vector<std::string> texts;
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        for (std::string t = api.GetCallProgress(port); !t.empty(); t = api.GetCallProgress(port)) texts.push_back(t);
        return texts.size() >= 3;
    }, kCallMs));
    EXPECT_EQ(texts, (std::vector<std::string>{"PROCEEDING", "RINGBACK", "CONNECTED"}));

    EXPECT_TRUE(api.Hangup(port));
    EXPECT_FALSE(api.IsCallActive(port));
    ASSERT_TRUE(calls.card().WaitCall(0, [](const sim::CallRecord& c) { return c.cleared; }, kCallMs));
    EXPECT_EQ(calls.card().Calls()[0].cause, 16);
}

TEST(CallctlE2e, OutgoingCallToABusyNumber) {
    VAXO_REQUIRE_LAB(lab, 1);
    CallLab calls;
    ASSERT_TRUE(calls.Start(*lab));
    auto& api = calls.api();
    calls.card().SetIncomingPolicy(0, sim::IncomingPolicy::Proceed);
    ASSERT_TRUE(api.Dial(5, "123"));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return calls.card().Calls().size() == 1; }, kCallMs));
    ASSERT_TRUE(calls.card().Disconnect(0, 17));
    EXPECT_EQ(calls.ProgressUntilDisconnect(5), (std::vector<std::string>{"PROCEEDING", "DISCONNECTED-BUSY-Q931_17"}));
    EXPECT_STREQ(api.GetInfo(5, "CHANNELSTATE"), "DOWN") << "never opened";
    EXPECT_FALSE(api.IsCallActive(5));
    EXPECT_STREQ(api.GetError(5), "");
    EXPECT_TRUE(api.Hangup(5));
}

// Every channel of the trunk in a call at once: half placed by the far
// end, half by the host; then half cleared by each side at the same time.
TEST(CallctlE2e, AllThirtyChannelsInCallsAtOnceThenCleared) {
    VAXO_REQUIRE_LAB(lab, 1);
    CallLab calls;
    ASSERT_TRUE(calls.Start(*lab));
    auto& api = calls.api();
    sim::SimCard& card = calls.card();
    card.SetIncomingPolicy(0, sim::IncomingPolicy::Answer);
    for (int port = 0; port < kChannels; ++port) {
        api.SetEventHandle(port, calls.host().NewEventHandle());
        ASSERT_TRUE(api.OpenPort(port));
    }
    std::vector<int> farEndIds(kChannels, -1);
    for (int port = 0; port < kChannels; port += 2)
        farEndIds[port] = card.PlaceCall(0, TimeslotOf(port), "0301234567", std::to_string(port));
    for (int port = 1; port < kChannels; port += 2) ASSERT_TRUE(api.Dial(port, std::to_string(port).c_str()));
    for (int port = 0; port < kChannels; port += 2) {
        ASSERT_TRUE(testsupport::WaitUntil([&] { return api.GetRings(port) == 1; }, kCallMs)) << port;
        ASSERT_TRUE(api.Answer(port)) << port;
    }
    for (int port = 0; port < kChannels; ++port)
        ASSERT_TRUE(testsupport::WaitUntil([&] { return api.IsCallActive(port); }, kCallMs)) << port;
    ASSERT_EQ(card.Calls().size(), static_cast<size_t>(kChannels));
    for (int port = 0; port < kChannels; ++port) {
        Events(api, port, 0);
        for (std::string t = api.GetCallProgress(port); !t.empty(); t = api.GetCallProgress(port)) {}
    }

    // The far end clears the calls on ports 0..14, the host those on 15..29.
    std::vector<sim::CallRecord> records = card.Calls();
    std::thread farEnd([&] {
        for (const sim::CallRecord& r : records) {
            int port = r.channel < 16 ? r.channel - 1 : r.channel - 2;
            if (port < 15) card.Disconnect(r.id, 16);
        }
    });
    std::vector<std::thread> hosts;
    for (int first = 15; first < kChannels; first += 5)
        hosts.emplace_back([&api, first] {
            for (int port = first; port < first + 5; ++port) EXPECT_TRUE(api.Hangup(port));
        });
    farEnd.join();
    for (std::thread& h : hosts) h.join();

    for (int port = 0; port < kChannels; ++port) {
        std::vector<std::string> texts = calls.ProgressUntilDisconnect(port);
        ASSERT_EQ(texts.size(), 1u) << "port " << port;
        EXPECT_EQ(texts[0], "DISCONNECTED-NORMALCLEARING-Q931_16") << "port " << port;
    }
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        for (const sim::CallRecord& r : card.Calls())
            if (!r.cleared) return false;
        return true;
    }, kCallMs));
    // Late messages of the clearing must not add a second entry.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int port = 0; port < kChannels; ++port) {
        EXPECT_STREQ(api.GetCallProgress(port), "") << "port " << port;
        EXPECT_FALSE(api.IsCallActive(port)) << "port " << port;
        EXPECT_STREQ(api.GetInfo(port, "CHANNELSTATE"), "READY") << "port " << port;
        EXPECT_EQ(api.GetRings(port), 0) << "port " << port;
    }
}

}  // namespace
