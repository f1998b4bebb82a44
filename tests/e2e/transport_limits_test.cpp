// Cards the module's tables cannot hold: a trunk count outside 1..8, and
// more trunks than the 1024-entry port table has room for.
#include <string>
#include <vector>

#include "e2e/transport_lab.h"

using namespace transport_e2e;

TEST(TransportE2e, ACardReportingNineTrunksIsRefused) {
    VAXO_REQUIRE_LAB(lab, 2);
    sim::CardProfile nine, good;
    nine.serial = 5;
    nine.trunks = 9;
    good.serial = 6;
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    ASSERT_TRUE(StartCards(*lab, {nine, good}, &cards));
    testsupport::ModuleHost host;
    Started started(host);
    ASSERT_TRUE(started.ok());
    EXPECT_TRUE(host.WaitForLog("Card 0: reports 9 trunks; card not used", kSetUpMs));
    ASSERT_EQ(host->NoofPorts(), 30);
    EXPECT_STREQ(host->GetSerialNo(0), "6");
    EXPECT_TRUE(host.WaitForLog("Card 1: Trunk 0 - DCHANNEL UP", kDChannelMs));
}

TEST(TransportE2e, PortsStopAtWholeTrunksWhenTheTableIsFull) {
    constexpr int kCards = 6;
    VAXO_REQUIRE_LAB(lab, kCards);
    std::vector<sim::CardProfile> specs(kCards);
    for (int i = 0; i < kCards; ++i) {
        specs[i].serial = 100 + static_cast<uint32_t>(i);
        specs[i].trunks = i < 5 ? 8 : 1;
    }
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    ASSERT_TRUE(StartCards(*lab, specs, &cards));
    testsupport::ModuleHost host;
    Started started(host);
    ASSERT_TRUE(started.ok());

    // 4 x 8 trunks = 960 ports; the fifth card gets two of its trunks
    // (1020 ports), the sixth none.
    ASSERT_EQ(host->NoofPorts(), 1020);
    EXPECT_STREQ(host->GetPortName(1019), "VaxoBoard (8P 104) Trunk 2 Chn 31");
    EXPECT_TRUE(host.WaitForLog("Card 4: port table full; only 2 of its 8 trunks get ports", kSetUpMs));
    EXPECT_TRUE(host.WaitForLog("Card 5: no room left in the port table; card not used", kSetUpMs));
    EXPECT_TRUE(cards[4]->WaitDChannelUp(1, kDChannelMs));
    EXPECT_TRUE(host.WaitForLog("Card 4: Trunk 1 - DCHANNEL UP", kDChannelMs));
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] { return Count(host.ReadLog(), "Internal Device Active, Line Plugged in.") == 1020; }, kDChannelMs,
        50));
    EXPECT_FALSE(cards[4]->DChannelUp(2)) << "a trunk without ports runs no signalling";
    EXPECT_EQ(host.ReadLog().find("Card 4: Trunk 2 - DCHANNEL"), std::string::npos);

    // The refused card is not reopened when it announces itself; a card
    // that announces afterwards is, so the first one has been read by then.
    cards[5]->AnnounceRestart();
    cards[0]->AnnounceRestart();
    EXPECT_TRUE(host.WaitForLog("Card reopen has Succeeded", kSetUpMs));
    std::string log = host.ReadLog();
    EXPECT_NE(log.find("Broadcast from Card serial no 100"), std::string::npos);
    EXPECT_EQ(log.find("Broadcast from Card serial no 105"), std::string::npos);
}
