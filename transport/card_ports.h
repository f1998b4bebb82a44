// The ports and callbacks start-up gives each card it opened. Runs on the
// host's thread inside Init, before the card listener starts.
#pragma once
#include <cstdint>
#include <string>

namespace transport {

struct CardLink;

// The card facts each of its ports carries.
struct CardFacts {
    uint32_t serial = 0;
    int32_t trunks = 0;
    uint32_t featureFlags = 0;
    uint8_t firmwareVersion = 0;
    std::string firmwareDate;
    std::string burnDate;
};
CardFacts ReadFacts(CardLink& card);

// How many of `trunks` trunks still fit in the port table, whole trunks only.
int TrunksWithRoom(int trunks);

// One port per bearer channel of the card's first `trunks` trunks, at the
// next free port numbers.
void CreateCardPorts(const CardLink& card, const CardFacts& facts, int trunks);

// The four callbacks with their contexts (first port, trunk base, card
// index, first port).
void RegisterCallbacks(CardLink& card, uint32_t firstPort, uint32_t trunkBase);

// A D-channel that came up while the card was being set up, before its
// callbacks existed, makes its trunk's ports active now.
void RaiseEarlyDChannelUps(CardLink& card);

}  // namespace transport
