// Discovery replies and the ordering of the card list.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "transport/discovery.h"

using namespace transport;

namespace {

std::vector<uint8_t> Reply(uint32_t serial, const char* magic = "VAXO R", uint8_t version = 1, size_t size = 22) {
    std::vector<uint8_t> d(22, 0xEE);
    memcpy(d.data(), magic, 6);
    d[6] = version;
    for (int i = 0; i < 4; ++i) d[18 + i] = static_cast<uint8_t>(serial >> (8 * i));
    d.resize(size);
    return d;
}

bool Parse(const std::vector<uint8_t>& d, uint32_t* serial, Announcement kind = Announcement::kDiscoveryReply) {
    return ParseAnnouncement(d.data(), d.size(), kind, serial);
}

CardEntry Entry(uint32_t address, uint32_t serial, uint32_t local = 0x0100000A) {
    CardEntry e;
    e.cardAddress = address;
    e.localAddress = local;
    e.serial = serial;
    return e;
}

}  // namespace

TEST(DiscoveryReply, AcceptsOnlyTheRightMagicVersionAndLength) {
    uint32_t serial = 0;
    EXPECT_TRUE(Parse(Reply(0xA1B2C3D4), &serial));
    EXPECT_EQ(serial, 0xA1B2C3D4u);
    EXPECT_FALSE(Parse(Reply(1, "VAXO D"), &serial)) << "our own query";
    EXPECT_FALSE(Parse(Reply(1, "VAXO B"), &serial)) << "a restart announcement is not a reply";
    EXPECT_FALSE(Parse(Reply(1, "VAXO R", 2), &serial));
    EXPECT_FALSE(Parse(Reply(1, "VAXO R", 1, 14), &serial));
    EXPECT_FALSE(ParseAnnouncement(nullptr, 22, Announcement::kDiscoveryReply, &serial));
    EXPECT_TRUE(Parse(Reply(77, "VAXO B"), &serial, Announcement::kRestart));
    EXPECT_EQ(serial, 77u);
    std::vector<uint8_t> longer = Reply(5);
    longer.resize(1500, 0x11);
    EXPECT_TRUE(Parse(longer, &serial));
    EXPECT_EQ(serial, 5u);
}

TEST(DiscoveryReply, ShortRepliesReadMissingSerialBytesAsZero) {
    uint32_t serial = 0xFFFFFFFF;
    EXPECT_TRUE(Parse(Reply(0x44332211, "VAXO R", 1, 15), &serial));
    EXPECT_EQ(serial, 0u);
    EXPECT_TRUE(Parse(Reply(0x44332211, "VAXO R", 1, 18), &serial));
    EXPECT_EQ(serial, 0u);
    EXPECT_TRUE(Parse(Reply(0x44332211, "VAXO R", 1, 19), &serial));
    EXPECT_EQ(serial, 0x11u);
    EXPECT_TRUE(Parse(Reply(0x44332211, "VAXO R", 1, 21), &serial));
    EXPECT_EQ(serial, 0x332211u);
}

TEST(CardList, OrdersBySerialAndKeepsEqualSerialsInArrivalOrder) {
    CardList list;
    EXPECT_EQ(list.Add(Entry(0x0A, 9)), CardList::AddResult::kAdded);
    EXPECT_EQ(list.Add(Entry(0x0B, 3)), CardList::AddResult::kAdded);
    EXPECT_EQ(list.Add(Entry(0x0C, 0xFFFFFFF0)), CardList::AddResult::kAdded);  // unsigned order
    EXPECT_EQ(list.Add(Entry(0x0D, 9)), CardList::AddResult::kAdded);
    ASSERT_EQ(list.size(), 4);
    EXPECT_EQ(list[0].serial, 3u);
    EXPECT_EQ(list[1].cardAddress, 0x0Au);
    EXPECT_EQ(list[2].cardAddress, 0x0Du) << "the later of two equal serials comes after";
    EXPECT_EQ(list[3].serial, 0xFFFFFFF0u);
}

TEST(CardList, ACardAnsweringAgainOrOnASecondAdapterIsListedOnce) {
    CardList list;
    EXPECT_EQ(list.Add(Entry(0x0A, 5, 0x01)), CardList::AddResult::kAdded);
    EXPECT_EQ(list.Add(Entry(0x0A, 5, 0x01)), CardList::AddResult::kKnown);
    EXPECT_EQ(list.Add(Entry(0x0A, 5, 0x01)), CardList::AddResult::kKnown);
    EXPECT_EQ(list.Add(Entry(0x0A, 5, 0x02)), CardList::AddResult::kKnown);
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].localAddress, 0x01u) << "the adapter of the first reply";
}

TEST(CardList, StopsAtTwentyCards) {
    CardList list;
    for (uint32_t i = 0; i < kMaxCards; ++i) EXPECT_EQ(list.Add(Entry(100 + i, 1000 - i)), CardList::AddResult::kAdded);
    EXPECT_EQ(list.Add(Entry(999, 1)), CardList::AddResult::kFull);
    EXPECT_EQ(list.Add(Entry(100, 1)), CardList::AddResult::kKnown);
    ASSERT_EQ(list.size(), kMaxCards);
    for (int i = 1; i < list.size(); ++i) EXPECT_LE(list[i - 1].serial, list[i].serial);
    list.Clear();
    EXPECT_EQ(list.size(), 0);
}
