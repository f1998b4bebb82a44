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
// Inline: the echo canceller codes every sample it cleans. Written without
// branches on the sample (sign and segment change from sample to sample).
inline uint8_t LinearToAlaw(int16_t sample) {
    const int s = sample;
    const int sign = s < 0 ? 0 : 0x80;
    int x = s < 0 ? -s : s;  // negation, not complement: boundary values code one step lower
    x = x > 32635 ? 32635 : x;
    // Segment e (0..7) from the highest set bit: below 256 is segment 0,
    // 256..511 segment 1; the mantissa is the 4 bits below the top bit
    // (bits 4..7 in segment 0).
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long top;
    _BitScanReverse(&top, static_cast<unsigned long>(x | 0xFF));
    const int e = static_cast<int>(top) - 7;
#else
    const int e = (31 - __builtin_clz(static_cast<unsigned>(x | 0xFF))) - 7;
#endif
    const int shift = (e > 1 ? e : 1) + 3;
    const int code = (e << 4) | ((x >> shift) & 0x0F);
    return static_cast<uint8_t>(code ^ sign ^ 0x55);
}

WaveFormat AlawFormat();
// "PCM8", "PCM16", "MULAW", "ALAW" or "".
const char* FormatName(const WaveFormat& format);

// Milliseconds of queued play audio.
inline int32_t PlayBytesToMs(int32_t bytes) { return bytes >> 3; }

}  // namespace media
