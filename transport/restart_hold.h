// Restart announcements for cards that are up and talking on their control
// connection. Anyone on the LAN can send one, and acting on it would tear
// down the calls of a working card and connect to the sender's address, so
// it is held instead: a card that really restarted falls silent on its old
// connection (or ends it) and is then reopened; one that keeps talking for
// kHoldMs was not restarted and the announcement is dropped. Used by the
// card listener thread only (or a test).
#pragma once
#include <cstdint>

#include "core/card_link.h"

namespace transport {

class RestartHold {
public:
    // Longer than the silence that gets a card reported down, plus the
    // signalling thread's check interval and a listener wait.
    static constexpr uint32_t kHoldMs = 3000;

    enum class Due : uint8_t { kNothing, kReopen, kDropped };

    // An announcement for card index `card` (serial checked by the caller)
    // from address `from`. True: reopen now. False: held (a hold already
    // running keeps its start and takes the latest address).
    bool Offer(int card, uint32_t serial, uint32_t from, uint32_t nowMs, bool talking);

    // What to do now about the card's held announcement: kDropped once it
    // is kHoldMs old, else kReopen when the card has stopped talking. Either
    // ends the hold and gives its address and serial.
    Due Check(int card, uint32_t nowMs, bool talking, uint32_t* from, uint32_t* serial);

    bool Held(int card) const { return Valid(card) && held_[card].held; }
    void Clear();

private:
    struct Entry {
        bool held = false;
        uint32_t serial = 0;
        uint32_t from = 0;
        uint32_t sinceMs = 0;
    };
    static bool Valid(int card) { return card >= 0 && card < kMaxCards; }
    Entry held_[kMaxCards];
};

// The card link is open and its control connection still carries data: a
// card that restarted would have gone quiet on it.
bool CardTalking(const CardLink& card);

}  // namespace transport
