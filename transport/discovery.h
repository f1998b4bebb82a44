// Card discovery: the card list that DiscoverCards builds on the host's
// thread inside Init and that the card listener thread reads afterwards.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "core/card_link.h"

namespace transport {

constexpr size_t kMinAnnouncementBytes = 15;
constexpr size_t kMaxDatagramBytes = 1500;
constexpr size_t kAnnouncementSerialOffset = 18;

// The two datagrams a card sends with the same layout: the discovery reply
// ("VAXO R") and the restart announcement ("VAXO B").
enum class Announcement : char { kDiscoveryReply = 'R', kRestart = 'B' };

// Checks a datagram and reads its serial number. A datagram shorter than
// 22 bytes has the serial bytes it lacks read as zero.
bool ParseAnnouncement(const uint8_t* data, size_t n, Announcement kind, uint32_t* serial);

struct CardEntry {
    uint32_t cardAddress = 0;   // network byte order, the reply's source
    uint32_t localAddress = 0;  // network byte order, the adapter it came in on
    uint32_t serial = 0;
};

// Cards found, ordered by serial number, at most one entry per address.
// Filled on the host's thread inside Init, only read afterwards.
class CardList {
public:
    enum class AddResult { kAdded, kKnown, kFull };

    // Inserts before the first entry with a greater serial number; an
    // address already listed is kept as it was.
    AddResult Add(const CardEntry& entry);
    void Clear() { count_ = 0; }
    int size() const { return count_; }
    const CardEntry& operator[](int i) const { return entries_[static_cast<size_t>(i)]; }

private:
    std::array<CardEntry, kMaxCards> entries_{};
    int count_ = 0;
};

// Module-wide result of the last discovery.
extern CardList g_cardList;

// Broadcasts the query on every adapter and fills g_cardList. Returns the
// number of cards, -1 when the adapter list size cannot be had, -2 when the
// list cannot be read.
int DiscoverCards();

}  // namespace transport
