// G.711 A-law coding, the port's audio format descriptor and the byte/time
// conversions. Pure functions; any thread.
#pragma once
#include <cstdint>

#include "core/limits.h"
#include "core/wave_format.h"

namespace media {

// A-law fill values.
constexpr uint8_t kAlawSmallPositive = 0xD5;  // +8: unfilled play bytes, silent echo references
constexpr uint8_t kAlawIdle = 0x54;           // idle block, stopped play
constexpr uint8_t kAlawUnusedSlot = 0x00;     // timeslots 0 and 16

using driver::kBlockBytes;
using driver::kBytesPerSecond;

extern const int16_t kAlawToLinear[256];

inline int16_t AlawToLinear(uint8_t code) { return kAlawToLinear[code]; }
uint8_t LinearToAlaw(int16_t sample);

WaveFormat AlawFormat();
// "PCM8", "PCM16", "MULAW", "ALAW" or "".
const char* FormatName(const WaveFormat& format);

// Milliseconds of queued play audio.
inline int32_t PlayBytesToMs(int32_t bytes) { return bytes >> 3; }

}  // namespace media
