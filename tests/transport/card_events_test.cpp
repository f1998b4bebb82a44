// The card event and status handlers acting on port devices.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "driver/port_table.h"
#include "transport/card_events.h"
#include "transport/card_link.h"

using namespace transport;

namespace {

// Two one-trunk cards: card 0 owns ports 0-29, card 1 ports 30-59.
class CardEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver::DestroyAllPorts();
        eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        ASSERT_GE(eventFd_, 0);
        for (int c = 0; c < 2; ++c) {
            for (int t = 0; t < kChannelsPerTrunk; ++t) {
                auto* port = new driver::CDevice;
                port->cardIndex = static_cast<uint32_t>(c);
                port->hostEvent = reinterpret_cast<void*>(static_cast<intptr_t>(eventFd_));
                ASSERT_TRUE(driver::AddPort(port));
            }
            CardLink& card = Card(c);
            card.cardEventContext = static_cast<uint32_t>(c);  // trunk base
            card.portTrunks = 1;
            card.cardEventCallback = CardEventHandler;
            card.statusContext = static_cast<uint32_t>(c);
            card.statusCallback = StatusHandler;
            card.trunks[0].lineStatus = kLineStatusUp;
        }
    }
    void TearDown() override {
        for (int c = 0; c < 2; ++c) {
            CardLink& card = Card(c);
            card.cardEventCallback = nullptr;
            card.statusCallback = nullptr;
            card.portTrunks = kMaxTrunks;
            card.trunks[0].lineStatus = kLineStatusUnknown;
        }
        driver::DestroyAllPorts();
        if (eventFd_ >= 0) close(eventFd_);
    }

    static int Events(int port) {
        int n = 0;
        uint32_t code;
        while (driver::g_ports[port]->eventQueue.Pop(&code)) {
            EXPECT_EQ(code, driver::kEventCallProgress);
            ++n;
        }
        return n;
    }
    static int32_t State(int port) { return driver::g_ports[port]->channelState.load(); }

    int eventFd_ = -1;
};

}  // namespace

TEST_F(CardEventsTest, DChannelUpAndDownMoveTheTrunksPorts) {
    CardEventHandler(0, kCardDChannelUp, 0, 0, 0);
    for (int p = 0; p < 30; ++p) {
        EXPECT_EQ(State(p), driver::kChannelUp) << p;
        EXPECT_TRUE(driver::g_ports[p]->lineUp.load());
        EXPECT_EQ(Events(p), 1) << p;
    }
    for (int p = 30; p < 60; ++p) EXPECT_EQ(State(p), driver::kChannelDown) << p;

    CardEventHandler(0, kCardDChannelUp, 0, 0, 0);
    EXPECT_EQ(Events(0), 0) << "already up: no second event";

    CardEventHandler(0, kCardDChannelDown, 0, 0, 0);
    for (int p = 0; p < 30; ++p) {
        EXPECT_EQ(State(p), driver::kChannelDown);
        EXPECT_FALSE(driver::g_ports[p]->lineUp.load());
        EXPECT_EQ(Events(p), 2) << p;
    }
    CardEventHandler(0, kCardDChannelDown, 0, 0, 0);
    EXPECT_EQ(Events(0), 0);
}

TEST_F(CardEventsTest, ALinkWithoutPortsNeverReachesTheNextCardsPorts) {
    // Card 0 owns one trunk; its link 1 would be card 1's ports.
    CardEventHandler(1, kCardDChannelUp, 0, 0, 0);
    for (int p = 30; p < 60; ++p) EXPECT_EQ(State(p), driver::kChannelDown);
    CardEventHandler(0, kCardDChannelUp, 1, 0, 0);
    EXPECT_EQ(State(30), driver::kChannelUp);
    EXPECT_EQ(State(0), driver::kChannelDown);
    // A context no registered card has is ignored.
    CardEventHandler(0, kCardDChannelUp, 7, 0, 0);
    CardEventHandler(0xFFFF, kCardLinkReset, 0, 0, 0);
    EXPECT_EQ(State(0), driver::kChannelDown);
}

TEST_F(CardEventsTest, CardDownMakesEveryPortOfThatCardInactive) {
    CardEventHandler(0, kCardDChannelUp, 0, 0, 0);
    CardEventHandler(0, kCardDChannelUp, 1, 0, 0);
    for (int p = 0; p < 60; ++p) Events(p);

    StatusHandler(kStatusUpDown, 1, nullptr, 0);
    for (int p = 30; p < 60; ++p) {
        EXPECT_EQ(State(p), driver::kChannelDown);
        EXPECT_EQ(Events(p), 2) << p;
    }
    EXPECT_EQ(Card(1).trunks[0].lineStatus.load(), kLineStatusUnknown);
    for (int p = 0; p < 30; ++p) {
        EXPECT_EQ(State(p), driver::kChannelUp) << "card 0 is not affected";
        EXPECT_EQ(Events(p), 0);
    }
    EXPECT_EQ(Card(0).trunks[0].lineStatus.load(), kLineStatusUp);

    StatusHandler(kStatusUpDown, 0, nullptr, 1);  // up: a log line only
    StatusHandler(kStatusText, 0, nullptr, 0);
    StatusHandler(kStatusUpDown, 0xFFFFFFFF, nullptr, 0);
    EXPECT_EQ(State(0), driver::kChannelUp);
}
