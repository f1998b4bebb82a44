#include "transport/restart_hold.h"

namespace transport {

bool RestartHold::Offer(int card, uint32_t serial, uint32_t from, uint32_t nowMs, bool talking) {
    if (!Valid(card)) return false;
    Entry& e = held_[card];
    if (!talking) {
        e.held = false;
        return true;
    }
    if (!e.held || e.serial != serial) e.sinceMs = nowMs;
    e.held = true;
    e.serial = serial;
    e.from = from;
    return false;
}

RestartHold::Due RestartHold::Check(int card, uint32_t nowMs, bool talking, uint32_t* from, uint32_t* serial) {
    if (!Valid(card) || !held_[card].held) return Due::kNothing;
    Entry& e = held_[card];
    const bool expired = nowMs - e.sinceMs >= kHoldMs;
    if (talking && !expired) return Due::kNothing;
    e.held = false;
    if (from != nullptr) *from = e.from;
    if (serial != nullptr) *serial = e.serial;
    return expired ? Due::kDropped : Due::kReopen;
}

void RestartHold::Clear() {
    for (Entry& e : held_) e.held = false;
}

bool CardTalking(const CardLink& card) {
    return card.open.load() != 0 && card.control.load() != plat::kNoSocket && !card.controlEnded.load();
}

}  // namespace transport
