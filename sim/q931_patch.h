// Looks into the Q.931 message carried by a Q.921 frame the far end sends,
// to put a chosen cause into a clearing message that libpri only builds
// with causes of its own choosing. Pure functions; any thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sim::q931 {

constexpr uint8_t kDisconnect = 0x45;
constexpr uint8_t kRelease = 0x4D;
constexpr uint8_t kReleaseComplete = 0x5A;

// Message type of the Q.931 message in an I or UI frame, or -1.
int MessageType(const uint8_t* frame, size_t size);
// Replaces the cause value of the first Cause element; false when the
// frame carries none.
bool ReplaceCause(uint8_t* frame, size_t size, uint8_t cause);

}  // namespace sim::q931
