// A silent card goes down once and comes back when it announces a restart.
#include <string>
#include <thread>
#include <vector>

#include "e2e/transport_lab.h"

using namespace transport_e2e;

namespace {

// Adds each port's events to got until every port has at least `want`.
bool CollectEvents(const testsupport::ModuleApi& api, size_t want, std::vector<std::vector<int>>* got, int timeoutMs) {
    got->resize(30);
    return WaitUntil(
        [&] {
            bool all = true;
            for (int p = 0; p < 30; ++p) {
                std::vector<int> e = TakeEvents(api, p);
                (*got)[p].insert((*got)[p].end(), e.begin(), e.end());
                all = all && (*got)[p].size() >= want;
            }
            return all;
        },
        timeoutMs, 10);
}

}  // namespace

TEST(TransportE2e, SilentCardGoesDownOnceAndARestartReopensIt) {
    E2E_CARDS(env, {Card(4711)});
    ASSERT_TRUE(env.Start());
    ASSERT_EQ(env->NoofPorts(), 30);
    for (int p = 0; p < 30; ++p) env->SetEventHandle(p, env.host->NewEventHandle());
    ASSERT_TRUE(env.WaitActive(30));
    for (int p = 0; p < 30; ++p) TakeEvents(env.api(), p);

    env.card().SetSilent(true);
    ASSERT_TRUE(env.Log("Card 0 is down", kSetUpMs));
    std::vector<std::vector<int>> events, late;
    ASSERT_TRUE(CollectEvents(env.api(), 2, &events, kSetUpMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // room for a wrong second report
    CollectEvents(env.api(), 0, &late, 0);
    for (int p = 0; p < 30; ++p) {
        EXPECT_EQ(events[p], (std::vector<int>{kCallProgress, kCallProgress})) << p;
        EXPECT_TRUE(late[p].empty()) << p;
    }
    const std::string log = env.host->ReadLog();
    EXPECT_EQ(Count(log, "Card 0 is down"), 1u);
    EXPECT_EQ(Count(log, "Error: Internal Device Inactive"), 30u);

    env.card().SetSilent(false);
    env.card().AnnounceRestart();
    EXPECT_TRUE(env.Log("Broadcast from Card serial no 4711", kSetUpMs));
    EXPECT_TRUE(env.Log("Card reopen has Succeeded", kSetUpMs));
    EXPECT_TRUE(env.Log("Card 0 is up", kSetUpMs));
    // The reopened link comes up again and the ports are told.
    std::vector<std::vector<int>> again;
    EXPECT_TRUE(CollectEvents(env.api(), 1, &again, kDChannelMs));
    EXPECT_EQ(again[0], std::vector<int>{kCallProgress});
    EXPECT_EQ(Count(env.host->ReadLog(), "Card 0: Trunk 0 - DCHANNEL UP"), 2u);
    EXPECT_EQ(env->NoofPorts(), 30) << "a reopen keeps the ports";
}

// Anyone on the LAN can send an announcement: one for a card that is up and
// talking is held, dropped if the card goes on talking, and acted on once
// the card ends its connection as a restarting card does.
TEST(TransportE2e, AnAnnouncementForACardThatIsUpWaitsUntilItFallsQuiet) {
    E2E_CARDS(env, {Card(4711)});
    ASSERT_TRUE(env.Start());
    for (int p = 0; p < 30; ++p) env->SetEventHandle(p, env.host->NewEventHandle());
    ASSERT_TRUE(env.WaitActive(30));
    for (int p = 0; p < 30; ++p) TakeEvents(env.api(), p);

    env.card().AnnounceRestart();
    EXPECT_TRUE(env.Log("Restart announcement for card serial no 4711 held: the card is up", kSetUpMs));
    EXPECT_TRUE(env.Log("Restart announcement for card serial no 4711 ignored: the card stayed up", kSetUpMs));
    EXPECT_EQ(env.host->ReadLog().find("Broadcast from Card"), std::string::npos);
    for (int p = 0; p < 30; ++p) EXPECT_TRUE(TakeEvents(env.api(), p).empty()) << p;
    EXPECT_TRUE(env.card().Connected());

    env.card().AnnounceRestart();
    ASSERT_TRUE(WaitUntil([&] { return Count(env.host->ReadLog(), "held: the card is up") == 2; }, kSetUpMs, 10));
    env.card().CloseConnection();
    EXPECT_TRUE(env.Log("Broadcast from Card serial no 4711", kSetUpMs));
    EXPECT_TRUE(env.Log("Card reopen has Succeeded", kSetUpMs));
    EXPECT_EQ(Count(env.host->ReadLog(), "ignored: the card stayed up"), 1u);
}
