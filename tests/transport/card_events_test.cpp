// The card event and status handlers acting on port devices.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "core/card_link.h"
#include "core/port_table.h"
#include "transport/card_events.h"

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
            card.cardEventContext = card.statusContext = static_cast<uint32_t>(c);  // trunk base, card index
            card.portTrunks = 1;
            card.cardEventCallback = CardEventHandler;
            card.statusCallback = StatusHandler;
            card.trunks[0].lineStatus = kLineStatusUp;
        }
    }
    void TearDown() override {
        for (int c = 0; c < 2; ++c) {
            Card(c).cardEventCallback = nullptr;
            Card(c).statusCallback = nullptr;
            Card(c).portTrunks = kMaxTrunks;
            Card(c).trunks[0].lineStatus = kLineStatusUnknown;
        }
        driver::DestroyAllPorts();
        if (eventFd_ >= 0) close(eventFd_);
    }

    // Ports [first, last) are in this state and got `events` host events (all call progress) since the last look.
    static void ExpectPorts(int first, int last, int32_t state, int events) {
        for (int p = first; p < last; ++p) {
            driver::CDevice& port = *driver::g_ports[p];
            EXPECT_EQ(port.channelState.load(), state) << p;
            EXPECT_EQ(port.lineUp.load(), state == driver::kChannelUp) << p;
            int n = 0;
            for (uint32_t code; port.eventQueue.Pop(&code); ++n) EXPECT_EQ(code, driver::kEventCallProgress);
            EXPECT_EQ(n, events) << p;
        }
    }

    int eventFd_ = -1;
};

}  // namespace

TEST_F(CardEventsTest, DChannelUpAndDownMoveTheTrunksPortsOnce) {
    CardEventHandler(0, kCardDChannelUp, 0, 0, 0);
    ExpectPorts(0, 30, driver::kChannelUp, 1);
    ExpectPorts(30, 60, driver::kChannelDown, 0);
    CardEventHandler(0, kCardDChannelUp, 0, 0, 0);
    ExpectPorts(0, 30, driver::kChannelUp, 0);  // already up: no second event

    CardEventHandler(0, kCardDChannelDown, 0, 0, 0);
    ExpectPorts(0, 30, driver::kChannelDown, 2);
    CardEventHandler(0, kCardDChannelDown, 0, 0, 0);
    ExpectPorts(0, 30, driver::kChannelDown, 0);
}

TEST_F(CardEventsTest, ALinkWithoutPortsNeverReachesTheNextCardsPorts) {
    CardEventHandler(1, kCardDChannelUp, 0, 0, 0);  // card 0's link 1 would be card 1's ports
    ExpectPorts(0, 60, driver::kChannelDown, 0);
    CardEventHandler(0, kCardDChannelUp, 1, 0, 0);
    ExpectPorts(0, 30, driver::kChannelDown, 0);
    ExpectPorts(30, 60, driver::kChannelUp, 1);
    // A context no registered card has is ignored.
    CardEventHandler(0, kCardDChannelUp, 7, 0, 0);
    CardEventHandler(0xFFFF, kCardLinkReset, 0, 0, 0);
    ExpectPorts(0, 30, driver::kChannelDown, 0);
}

TEST_F(CardEventsTest, CardDownMakesEveryPortOfThatCardInactive) {
    CardEventHandler(0, kCardDChannelUp, 0, 0, 0);
    CardEventHandler(0, kCardDChannelUp, 1, 0, 0);
    ExpectPorts(0, 60, driver::kChannelUp, 1);

    StatusHandler(kStatusUpDown, 1, nullptr, 0);
    ExpectPorts(30, 60, driver::kChannelDown, 2);
    EXPECT_EQ(Card(1).trunks[0].lineStatus.load(), kLineStatusUnknown);
    ExpectPorts(0, 30, driver::kChannelUp, 0);  // card 0 is not affected
    EXPECT_EQ(Card(0).trunks[0].lineStatus.load(), kLineStatusUp);

    StatusHandler(kStatusUpDown, 0, nullptr, 1);  // up: a log line only
    StatusHandler(kStatusText, 0, nullptr, 0);
    StatusHandler(kStatusUpDown, 0xFFFFFFFF, nullptr, 0);
    ExpectPorts(0, 30, driver::kChannelUp, 0);
}
