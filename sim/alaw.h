// A-law coding for the simulated far end: its tones, its mix of echo and
// speech. The simulator's own, so that it checks the module rather than
// sharing its code. Pure functions; any thread.
#pragma once
#include <cstdint>

namespace sim {

// A 16-bit sample to its A-law code: sign, 3-bit segment, 4-bit step, with
// the even bits inverted as on the line.
// Negative samples are negated (not complemented), as the module does.
inline uint8_t LinearToAlaw(int16_t sample) {
    const int linear = sample;
    const int magnitude = (linear < 0 ? -linear : linear) >> 3;  // A-law codes 13 bits
    const uint8_t invert = linear < 0 ? 0x55 : 0xD5;                // sign bit set for positive samples
    int segment = 0;
    while (segment < 8 && magnitude >= (0x20 << segment)) ++segment;
    if (segment == 8) return static_cast<uint8_t>(0x7F ^ invert);
    const int step = (magnitude >> (segment < 2 ? 1 : segment)) & 0x0F;
    return static_cast<uint8_t>(((segment << 4) | step) ^ invert);
}

// An A-law code to the middle of its step as a 16-bit sample.
inline int16_t AlawToLinear(uint8_t code) {
    code ^= 0x55;
    const int segment = (code >> 4) & 0x07;
    int value = ((code & 0x0F) << 4) + 8;
    if (segment >= 1) value = (value + 0x100) << (segment - 1);
    return static_cast<int16_t>((code & 0x80) != 0 ? value : -value);
}

}  // namespace sim
