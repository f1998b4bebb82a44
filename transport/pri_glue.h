// The libpri side of a trunk: controller creation and release, the read and
// write callbacks, frames in, timers, and the hand-over of every libpri
// event to the PRI event bridge. Every function here takes the trunk's lock
// itself (it is recursive, so callers may already hold it).
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/card_link.h"

namespace transport {

// Shortest frame handed to libpri: address, control and check bytes.
constexpr size_t kMinFrameBytes = 5;

// Creates the trunk's controller with the trunk's client and switch type
// (under the trunk lock). A controller libpri refuses leaves the trunk
// without signalling.
void CreateController(CardLink& card, int trunk);
// Takes the controller out of the trunk under its lock and releases it.
void ReleaseController(CardLink& card, int trunk);

// Hands one received frame (check bytes included) to the trunk's
// controller and its event, if any, to the bridge. Frames too short for
// libpri and frames for a trunk without a controller are dropped.
void ReceiveFrame(CardLink& card, int trunk, const uint8_t* frame, size_t n);

// Runs the due timers of every trunk that has a controller.
void RunTimers(CardLink& card);
// Milliseconds until the earliest pending timer of the card's trunks
// (0 when one is due, at most maxMs), or -1 when none is pending.
int NextTimerMs(CardLink& card, int maxMs);

// Notes the D-channel state of an event, then calls the bridge.
void HandlePriEvent(CardLink& card, int trunk, pri_event* event);

}  // namespace transport
