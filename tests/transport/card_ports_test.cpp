// Ports of a card: numbering, names, the port table limit, and a D-channel
// that comes up before the card's callbacks are registered.
#include <gtest/gtest.h>

#include <string>

#include "driver/port_table.h"
#include "transport/card_link.h"
#include "transport/card_ports.h"
#include "transport/pri_glue.h"

using namespace transport;

namespace {

CardFacts TwoTrunkCard() {
    CardFacts f;
    f.serial = 4711;
    f.trunks = 2;
    f.featureFlags = 0x55;
    f.firmwareVersion = 3;
    f.firmwareDate = "26120110";
    f.burnDate = "261130";
    return f;
}

class CardPortsTest : public ::testing::Test {
protected:
    void SetUp() override { driver::DestroyAllPorts(); }
    void TearDown() override { driver::DestroyAllPorts(); }
};

}  // namespace

TEST_F(CardPortsTest, NumbersTrunkByTrunkSkippingTheDChannelAndNamesEachPort) {
    CardLink& card = Card(3);
    CreateCardPorts(card, TwoTrunkCard(), 2);
    ASSERT_EQ(driver::g_portCount.load(), 60);
    const driver::CDevice* p15 = driver::LookupPort(15);
    EXPECT_EQ(p15->timeslot, 17u);
    EXPECT_EQ(p15->trunkIndex, 0u);
    EXPECT_STREQ(p15->portName, "VaxoBoard (2P 4711) Trunk 1 Chn 17");
    const driver::CDevice* p45 = driver::LookupPort(45);
    EXPECT_STREQ(p45->portName, "VaxoBoard (2P 4711) Trunk 2 Chn 17");
    EXPECT_EQ(p45->portNumber, 45u);
    EXPECT_EQ(p45->cardIndex, 3u);
    EXPECT_STREQ(p45->serialText, "4711");
    EXPECT_EQ(p45->featureFlags, 0x55u);
    EXPECT_EQ(p45->firmwareDate, "26120110");
    EXPECT_EQ(p45->burnDate, "261130");
    EXPECT_EQ(p45->firmwareVersion, 3);
}

TEST_F(CardPortsTest, RoomIsCountedInWholeTrunksUpTo1024Ports) {
    CardFacts f = TwoTrunkCard();
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
    CreateCardPorts(card, TwoTrunkCard(), 1);

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
