#include "sim/wire.h"

#include <cstring>

namespace sim::wire {

std::vector<uint8_t> Announcement(const char* tag, uint32_t serial) {
    std::vector<uint8_t> d(kAnnouncementBytes, 0);
    std::memcpy(d.data(), tag, kTagBytes);
    d[kTagBytes] = kAnnouncementVersion;
    PutLe32(&d[kAnnouncementSerialOffset], serial);
    return d;
}

std::vector<uint8_t> CardInfoMessage(const CardProfile& profile) {
    std::vector<uint8_t> m(2 + kCardInfoPayloadBytes, 0);
    m[0] = kMessageStart;
    m[1] = kCardInfo;
    uint8_t* p = &m[2];
    std::memcpy(p, "VAXO ", 5);
    p[5] = profile.firmwareVersion;
    p[6] = static_cast<uint8_t>(static_cast<int8_t>(profile.trunks));
    PutLe32(p + 7, profile.featureFlags);
    PutLe32(p + 11, profile.serial);
    std::memcpy(p + 15, profile.firmwareDate, 4);
    std::memcpy(p + 19, profile.burnDate, 3);
    return m;
}

int AudioTrunks(int trunks) {
    if (trunks < 1) return 1;
    return trunks > kMaxTrunks ? kMaxTrunks : trunks;
}

}  // namespace sim::wire

namespace sim {

// The largest packet within the upper length bound.
int DefaultFramesPerPacket(int trunks) {
    const int frameBytes = wire::AudioTrunks(trunks) * wire::kTimeslots;
    return static_cast<int>((wire::kMaxAudioPacketBytes - wire::kAudioHeaderBytes) /
                            static_cast<size_t>(frameBytes));
}

}  // namespace sim
