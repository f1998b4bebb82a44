// The card listener: one module-wide thread that reopens a card when it
// announces a restart. Started and stopped by the transport start and stop
// on the host's thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace transport {

bool StartListener();
// Sets the stopping flag and waits for the thread (a reopen in progress is
// allowed to finish).
void StopListener();

// The listener thread's work, also driven by tests: one received datagram,
// and each pass the announcements held for cards that were up. reopen
// closes and sets the card up again from the announcement's address.
using ReopenCard = void (*)(int cardIndex, uint32_t from, uint32_t serial);
void ListenerDatagram(const uint8_t* data, size_t n, uint32_t from, uint32_t nowMs, ReopenCard reopen);
void ListenerPass(uint32_t nowMs, ReopenCard reopen);
void ClearHeldAnnouncements();

}  // namespace transport
