// G.711 A-law coding, the port's audio format descriptor and the byte/time
// conversions. Pure functions; any thread.
#pragma once
#include <cstdint>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

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
// Inline: the echo canceller codes every sample it cleans.
inline uint8_t LinearToAlaw(int16_t sample) {
    int x = sample;
    int sign = 0x80;
    if (x < 0) {
        sign = 0;
        x = -x;  // negation, not complement: boundary values code one step lower
    }
    if (x > 32635) x = 32635;
    int code = x >> 4;
    if (x >= 256) {
        // Segment e (1..7) from the highest set bit: 256..511 is segment 1.
#if defined(_MSC_VER) && !defined(__clang__)
        unsigned long top;
        _BitScanReverse(&top, static_cast<unsigned long>(x));
        const int e = static_cast<int>(top) - 7;
#else
        const int e = (31 - __builtin_clz(static_cast<unsigned>(x))) - 7;
#endif
        code = (e << 4) | ((x >> (e + 3)) & 0x0F);
    }
    return static_cast<uint8_t>(code ^ sign ^ 0x55);
}

WaveFormat AlawFormat();
// "PCM8", "PCM16", "MULAW", "ALAW" or "".
const char* FormatName(const WaveFormat& format);

// Milliseconds of queued play audio.
inline int32_t PlayBytesToMs(int32_t bytes) { return bytes >> 3; }

}  // namespace media
