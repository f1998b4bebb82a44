// A port's audio format descriptor, in the field order of the Windows
// WAVEFORMATEX structure hosts pass. Plain data; any thread.
#pragma once
#include <cstdint>

namespace media {

struct WaveFormat {
    uint16_t formatTag;
    uint16_t channels;
    uint32_t samplesPerSecond;
    uint32_t averageBytesPerSecond;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
    uint16_t extraSize;
};

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatAlaw = 6;
constexpr uint16_t kFormatMulaw = 7;

}  // namespace media
