// Discovery replies and the ordering of the card list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "transport/discovery.h"
#include "transport/listener.h"
#include "transport/restart_hold.h"

using namespace transport;

namespace {

constexpr auto kReply = Announcement::kDiscoveryReply;
constexpr auto kRestart = Announcement::kRestart;
constexpr auto kAdded = CardList::AddResult::kAdded;
constexpr auto kKnown = CardList::AddResult::kKnown;

CardEntry Entry(uint32_t address, uint32_t serial, uint32_t local = 0x0100000A) {
    CardEntry e;
    e.cardAddress = address;
    e.localAddress = local;
    e.serial = serial;
    return e;
}

}  // namespace

TEST(DiscoveryReply, MagicVersionLengthAndShortSerials) {
    struct Case {
        const char* magic;
        uint8_t version;
        size_t size;
        Announcement kind;
        bool ok;
        uint32_t serial;  // missing serial bytes read as zero
    };
    const Case cases[] = {
        {"VAXO R", 1, 22, kReply, true, 0xA1B2C3D4},  {"VAXO D", 1, 22, kReply, false, 0},  // our own query
        {"VAXO B", 1, 22, kReply, false, 0},           {"VAXO B", 1, 22, kRestart, true, 0xA1B2C3D4},
        {"VAXO R", 2, 22, kReply, false, 0},           {"VAXO R", 1, 14, kReply, false, 0},
        {"VAXO R", 1, 15, kReply, true, 0},            {"VAXO R", 1, 18, kReply, true, 0},
        {"VAXO R", 1, 19, kReply, true, 0xD4},         {"VAXO R", 1, 21, kReply, true, 0xB2C3D4},
        {"VAXO R", 1, 1500, kReply, true, 0xA1B2C3D4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.magic) + " v" + std::to_string(c.version) + " " + std::to_string(c.size) + " bytes");
        std::vector<uint8_t> d(22, 0xEE);
        memcpy(d.data(), c.magic, 6);
        d[6] = c.version;
        for (int i = 0; i < 4; ++i) d[18 + i] = static_cast<uint8_t>(0xA1B2C3D4u >> (8 * i));
        d.resize(c.size, 0x11);
        uint32_t serial = 0xFFFFFFFF;
        EXPECT_EQ(ParseAnnouncement(d.data(), d.size(), c.kind, &serial), c.ok);
        if (c.ok) {
            EXPECT_EQ(serial, c.serial);
        }
    }
    uint32_t serial = 0;
    EXPECT_FALSE(ParseAnnouncement(nullptr, 22, kReply, &serial));
}

TEST(CardList, OrdersBySerialAndListsACardOnce) {
    CardList list;
    for (const CardEntry& e : {Entry(0x0A, 9, 1), Entry(0x0B, 3), Entry(0x0C, 0xFFFFFFF0), Entry(0x0D, 9)})
        EXPECT_EQ(list.Add(e), kAdded);
    EXPECT_EQ(list.Add(Entry(0x0A, 9, 1)), kKnown) << "answering again";
    EXPECT_EQ(list.Add(Entry(0x0A, 9, 2)), kKnown) << "on a second adapter";
    ASSERT_EQ(list.size(), 4);
    EXPECT_EQ(list[0].serial, 3u);
    EXPECT_EQ(list[1].cardAddress, 0x0Au);
    EXPECT_EQ(list[1].localAddress, 1u) << "the adapter of the first reply";
    EXPECT_EQ(list[2].cardAddress, 0x0Du) << "the later of two equal serials comes after";
    EXPECT_EQ(list[3].serial, 0xFFFFFFF0u) << "unsigned order";
}

TEST(CardList, StopsAtTwentyCards) {
    CardList list;
    for (uint32_t i = 0; i < kMaxCards; ++i) EXPECT_EQ(list.Add(Entry(100 + i, 1000 - i)), kAdded);
    EXPECT_EQ(list.Add(Entry(999, 1)), CardList::AddResult::kFull);
    EXPECT_EQ(list.Add(Entry(100, 1)), kKnown);
    ASSERT_EQ(list.size(), kMaxCards);
    for (int i = 1; i < list.size(); ++i) EXPECT_LE(list[i - 1].serial, list[i].serial);
    list.Clear();
    EXPECT_EQ(list.size(), 0);
}

// A restart announcement for a card that is up waits until the card falls
// quiet, and is dropped when it keeps talking.
TEST(RestartHold, ReopensAtOnceOnlyACardThatIsNotTalking) {
    constexpr uint32_t kHold = RestartHold::kHoldMs;
    RestartHold hold;
    uint32_t from = 0, serial = 0;
    EXPECT_TRUE(hold.Offer(0, 7, 0x0A, 100, false));
    EXPECT_FALSE(hold.Held(0));

    EXPECT_FALSE(hold.Offer(1, 7, 0x0A, 100, true));
    EXPECT_FALSE(hold.Offer(1, 7, 0x0B, 100 + kHold - 1, true)) << "the latest address, the first start";
    EXPECT_EQ(hold.Check(1, 100 + kHold - 1, true, &from, &serial), RestartHold::Due::kNothing);
    EXPECT_EQ(hold.Check(1, 100 + kHold - 1, false, &from, &serial), RestartHold::Due::kReopen);
    EXPECT_TRUE(from == 0x0Bu && serial == 7u && !hold.Held(1));

    EXPECT_FALSE(hold.Offer(2, 7, 0x0C, 0xFFFFFF00u, true));  // across the tick count's wrap
    EXPECT_EQ(hold.Check(2, 0xFFFFFF00u + kHold, false, &from, &serial), RestartHold::Due::kDropped)
        << "too old even though the card is quiet now";
    EXPECT_EQ(hold.Check(2, 0xFFFFFF00u + kHold, false, &from, &serial), RestartHold::Due::kNothing);
    EXPECT_FALSE(hold.Offer(kMaxCards, 7, 0x0A, 0, false));
    EXPECT_EQ(hold.Check(-1, 0, false, nullptr, nullptr), RestartHold::Due::kNothing);

    CardLink card;
    EXPECT_FALSE(CardTalking(card));
    card.open = 1;
    card.control = 3;  // only compared
    EXPECT_TRUE(CardTalking(card));
    card.controlEnded = true;
    EXPECT_FALSE(CardTalking(card)) << "the card ended its connection";
    card.control = plat::kNoSocket;
}

// A restart announcement for a listed card outside Cards= (its information
// named a serial discovery did not) is another module's: never reopened.
TEST(CardListener, ActsOnRestartsOfSelectedCardsOnly) {
    static int reopened;
    auto reopen = [](int, uint32_t, uint32_t) { ++reopened; };
    uint8_t announcement[22] = {'V', 'A', 'X', 'O', ' ', 'B', 1};
    const uint32_t serial = 5001;
    for (int i = 0; i < 4; ++i) announcement[18 + i] = static_cast<uint8_t>(serial >> (8 * i));
    g_cardList.Clear();
    ClearHeldAnnouncements();
    g_cardList.Add(Entry(0x0A, 4711));
    Card(0).serial = serial;
    for (const char* cards : {"4711", "5000-5099"}) {
        driver::g_config.selection.ParseCards(cards);
        reopened = 0;
        ListenerDatagram(announcement, sizeof announcement, 0x0A, 0, reopen);
        EXPECT_EQ(reopened, std::string(cards) == "4711" ? 0 : 1) << cards;
    }
    driver::g_config.selection = driver::CardSelection();
    Card(0).serial = 0;
    g_cardList.Clear();
}
