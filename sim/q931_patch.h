// Looks into the Q.931 message carried by a Q.921 frame the far end sends,
// to put a chosen cause into a clearing message that libpri only builds
// with causes of its own choosing. Pure functions; any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::q931 {

constexpr uint8_t kDisconnect = 0x45;
constexpr uint8_t kRelease = 0x4D;
constexpr uint8_t kReleaseComplete = 0x5A;
constexpr uint8_t kRestart = 0x46;

// Message type of the Q.931 message in an I or UI frame, or -1.
int MessageType(const uint8_t* frame, size_t size);
// Replaces the cause value of the first Cause element; false when the
// frame carries none.
bool ReplaceCause(uint8_t* frame, size_t size, uint8_t cause);
// Turns a RESTART for one channel into one for the whole interface: the
// Channel identification element goes and the restart class becomes "all
// interfaces". size is the frame without its check bytes, which follow it
// and stay. False when the frame is no such RESTART.
bool MakeWholeInterfaceRestart(std::vector<uint8_t>* frame, size_t size);

}  // namespace sim::q931
