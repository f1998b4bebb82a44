// Ports of a card: numbering, names, the port table limit, a D-channel up before the callbacks are registered.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "core/card_link.h"
#include "core/port_table.h"
#include "transport/card_ports.h"
#include "transport/pri_glue.h"

using namespace transport;

namespace {

// Serial, trunks, feature flags, firmware version, firmware date, burn date.
const CardFacts kTwoTrunkCard = {4711, 2, 0x55, 3, "26120110", "261130"};

class CardPortsTest : public ::testing::Test {
protected:
    void SetUp() override { driver::DestroyAllPorts(); }
    void TearDown() override { driver::DestroyAllPorts(); }
};

}  // namespace

TEST_F(CardPortsTest, NumbersTrunkByTrunkSkippingTheDChannelAndNamesEachPort) {
    CardLink& card = Card(3);
    CreateCardPorts(card, kTwoTrunkCard, 2);
    ASSERT_EQ(driver::g_portCount.load(), 60);
    const driver::CDevice& p15 = *driver::LookupPort(15);
    EXPECT_EQ(p15.timeslot, 17u);
    EXPECT_EQ(p15.trunkIndex, 0u);
    EXPECT_STREQ(p15.portName, "VaxoBoard (2P 4711) Trunk 1 Chn 17");
    const driver::CDevice& p = *driver::LookupPort(45);
    EXPECT_STREQ(p.portName, "VaxoBoard (2P 4711) Trunk 2 Chn 17");
    EXPECT_STREQ(p.serialText, "4711");
    EXPECT_EQ(std::tie(p.portNumber, p.cardIndex, p.trunkIndex, p.featureFlags, p.firmwareVersion),
              std::make_tuple(45u, 3u, 1u, 0x55u, uint8_t{3}));
    EXPECT_EQ(p.firmwareDate + " " + p.burnDate, "26120110 261130");
}

TEST_F(CardPortsTest, RoomIsCountedInWholeTrunksUpTo1024Ports) {
    CardFacts f = kTwoTrunkCard;
    f.trunks = 8;
    EXPECT_EQ(TrunksWithRoom(8), 8);
    for (int c = 0; c < 4; ++c) CreateCardPorts(Card(c), f, 8);  // 960 ports
    EXPECT_EQ(TrunksWithRoom(8), 2);
    CreateCardPorts(Card(4), f, TrunksWithRoom(8));
    EXPECT_EQ(driver::g_portCount.load(), 1020);
    EXPECT_EQ(TrunksWithRoom(1), 0) << "four free entries do not make a trunk";
    EXPECT_EQ(TrunksWithRoom(-1), 0);
}

TEST_F(CardPortsTest, ADChannelUpBeforeRegistrationMakesThePortsActiveOnceRegistered) {
    CardLink& card = Card(4);
    card.portTrunks = 1;
    CreateCardPorts(card, kTwoTrunkCard, 1);

    pri_event up{};
    up.e = PRI_EVENT_DCHAN_UP;
    HandlePriEvent(card, 0, &up);  // no callbacks yet: the bridge has no one to tell
    EXPECT_TRUE(card.trunks[0].dchannelUp.load());
    EXPECT_EQ(driver::LookupPort(0)->channelState.load(), driver::kChannelDown);

    RegisterCallbacks(card, 0, 0);
    EXPECT_EQ(card.statusContext, 4u);
    RaiseEarlyDChannelUps(card);
    for (int p = 0; p < 30; ++p) EXPECT_EQ(driver::LookupPort(p)->channelState.load(), driver::kChannelUp) << p;

    pri_event down{};
    down.e = PRI_EVENT_DCHAN_DOWN;
    HandlePriEvent(card, 0, &down);
    EXPECT_FALSE(card.trunks[0].dchannelUp.load());
    EXPECT_EQ(driver::LookupPort(0)->channelState.load(), driver::kChannelDown);

    card.mediaCallback = nullptr;
    card.cardEventCallback = nullptr;
    card.statusCallback = nullptr;
    card.priEventCallback = nullptr;
    card.portTrunks = kMaxTrunks;
}
