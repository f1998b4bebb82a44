// Card events and restarts end to end: a silent card goes down once and
// comes back when it announces a restart; HDLC errors and link resets.
#include <string>
#include <thread>
#include <vector>

#include "e2e/transport_lab.h"

using namespace transport_e2e;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return std::vector<uint8_t>(b); }

// Collects events per port until every port has at least `want`.
bool CollectEvents(const testsupport::ModuleHost& host, int ports, size_t want, std::vector<std::vector<int>>* got,
                   int timeoutMs) {
    got->resize(static_cast<size_t>(ports));
    return testsupport::WaitUntil(
        [&] {
            bool all = true;
            for (int p = 0; p < ports; ++p) {
                std::vector<int> e = TakeEvents(host, p);
                (*got)[p].insert((*got)[p].end(), e.begin(), e.end());
                all = all && (*got)[p].size() >= want;
            }
            return all;
        },
        timeoutMs, 10);
}

}  // namespace

TEST(TransportE2e, SilentCardGoesDownOnceAndARestartReopensIt) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    profile.serial = 4711;
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    ASSERT_TRUE(StartCards(*lab, {profile}, &cards));
    testsupport::ModuleHost host;
    ASSERT_TRUE(host.loaded());
    Started started(host);
    ASSERT_TRUE(started.ok());
    ASSERT_EQ(host->NoofPorts(), 30);
    for (int p = 0; p < 30; ++p) host->SetEventHandle(p, host.NewEventHandle());
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return Count(host.ReadLog(), "Internal Device Active, Line Plugged in.") == 30; }, kDChannelMs, 20));
    for (int p = 0; p < 30; ++p) TakeEvents(host, p);

    cards[0]->SetSilent(true);
    ASSERT_TRUE(host.WaitForLog("Card 0 is down", kSetUpMs));
    std::vector<std::vector<int>> events;
    ASSERT_TRUE(CollectEvents(host, 30, 2, &events, kSetUpMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // room for a wrong second report
    std::vector<std::vector<int>> late;
    CollectEvents(host, 30, 0, &late, 0);
    for (int p = 0; p < 30; ++p) {
        EXPECT_EQ(events[p], (std::vector<int>{kCallProgress, kCallProgress})) << p;
        EXPECT_TRUE(late[p].empty()) << p;
    }
    std::string log = host.ReadLog();
    EXPECT_EQ(Count(log, "Card 0 is down"), 1u);
    EXPECT_EQ(Count(log, "Error: Internal Device Inactive"), 30u);

    cards[0]->SetSilent(false);
    cards[0]->AnnounceRestart();
    EXPECT_TRUE(host.WaitForLog("Broadcast from Card serial no 4711", kSetUpMs));
    EXPECT_TRUE(host.WaitForLog("Card reopen has Succeeded", kSetUpMs));
    EXPECT_TRUE(host.WaitForLog("Card 0 is up", kSetUpMs));
    // The reopened link comes up again and the ports are told.
    std::vector<std::vector<int>> again;
    EXPECT_TRUE(CollectEvents(host, 30, 1, &again, kDChannelMs));
    EXPECT_EQ(again[0], std::vector<int>{kCallProgress});
    EXPECT_EQ(Count(host.ReadLog(), "Card 0: Trunk 0 - DCHANNEL UP"), 2u);
    EXPECT_EQ(host->NoofPorts(), 30) << "a reopen keeps the ports";
}

TEST(TransportE2e, HdlcErrorsAreLoggedAndTenInARowResetTheLinkWithItsOwnCrc4) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    profile.serial = 4711;
    profile.trunks = 2;
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    ASSERT_TRUE(StartCards(*lab, {profile}, &cards));
    testsupport::ModuleHost host("[General]\r\nCrc4=1\r\n[4711-2]\r\nCrc4=0\r\n");
    ASSERT_TRUE(host.loaded());
    Started started(host);
    ASSERT_TRUE(started.ok());
    sim::SimCard& card = *cards[0];
    ASSERT_TRUE(host.WaitForLog("Card 0: Trunk 0 - DCHANNEL UP", kDChannelMs));

    // Errors count only while the line is up: report until one is logged.
    card.SetLineStatus(0, 0);
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            card.SendHdlcError(0, 5);
            return host.ReadLog().find("Card 0: Trunk 0 - HDLC Unknown Error") != std::string::npos;
        },
        kSetUpMs, 150));
    // A frame too short for libpri still counts as a good frame.
    card.SendRaw({0xFF, 0x10, 0x01, 0x02, 0x00, 0x00, 0x00});
    for (uint8_t code : {2, 3, 4, 8}) card.SendHdlcError(0, code);
    EXPECT_TRUE(host.WaitForLog("Card 0: Trunk 0 - HDLC CRC Error", kSetUpMs));
    EXPECT_TRUE(host.WaitForLog("Card 0: Trunk 0 - HDLC ABORT Error", kSetUpMs));
    EXPECT_TRUE(host.WaitForLog("Card 0: Trunk 0 - HDLC OVERRUN Error", kSetUpMs));
    EXPECT_TRUE(host.WaitForLog("Card 0: Trunk 0 - HDLC Buffer Overflow Error", kSetUpMs));
    EXPECT_EQ(host.ReadLog().find("Link Reset"), std::string::npos);

    for (int i = 0; i < 6; ++i) card.SendHdlcError(0, 2);  // the tenth since the frame
    EXPECT_TRUE(host.WaitForLog("Card 0: Trunk 0 - Link Reset (Too Many HDLC Errors)", kSetUpMs));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Received(card, 0x12).size() == 3; }, kSetUpMs));
    EXPECT_EQ(Received(card, 0x12)[2].bytes, Bytes({0xFF, 0x12, 0x01, 0x01, 0x01, 0, 0, 0, 0}))
        << "trunk 1 is reset with its own Crc4, not the last one configured";
}

TEST(TransportE2e, RegisterValuesAreLoggedAtLevelOne) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    profile.serial = 4711;
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    ASSERT_TRUE(StartCards(*lab, {profile}, &cards));
    testsupport::ModuleHost host("[Debug]\r\nLevel=1\r\n");
    ASSERT_TRUE(host.loaded());
    Started started(host);
    ASSERT_TRUE(started.ok());
    // The card answers a read; a reply made up here needs no card support.
    cards[0]->SendRaw({0xFF, 0x02, 0x01, 0x06, 0x10, 0x5A});
    EXPECT_TRUE(host.WaitForLog("READREG: CardNo=0 LinkNo=1, Reg[0x1006] = 5A ", kSetUpMs));
}
