// Layout of the audio packets a card and the module exchange: an 8-byte
// header and n frames of T x 32 A-law bytes (one per timeslot of every
// trunk). Pure functions; any thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace media {

constexpr uint8_t kPacketMagic0 = 0xFF;
constexpr uint8_t kPacketMagic1 = 0x55;
constexpr size_t kPacketHeaderBytes = 8;
constexpr size_t kPacketSequenceOffset = 2;  // 32-bit, little-endian
constexpr size_t kPacketResyncOffset = 6;    // card: packets to send on a (re)start
constexpr size_t kPacketLostOffset = 7;      // card: module packets it has lost
constexpr size_t kMinAudioPacket = 584;      // bytes, datagrams outside are dropped
constexpr size_t kMaxAudioPacket = 1448;
constexpr size_t kAudioBufferBytes = 1522;   // receive, send and echo reference buffers
constexpr int kMinPacketTrunks = 1;
constexpr int kMaxPacketTrunks = 8;
constexpr uint32_t kTimeslotBytesPerFrame = 32;  // per trunk

inline uint32_t PacketSequence(const uint8_t* p) {
    return static_cast<uint32_t>(p[2]) | static_cast<uint32_t>(p[3]) << 8 | static_cast<uint32_t>(p[4]) << 16 |
           static_cast<uint32_t>(p[5]) << 24;
}

inline void PutPacketSequence(uint8_t* p, uint32_t seq) {
    p[2] = static_cast<uint8_t>(seq);
    p[3] = static_cast<uint8_t>(seq >> 8);
    p[4] = static_cast<uint8_t>(seq >> 16);
    p[5] = static_cast<uint8_t>(seq >> 24);
}

// Length within bounds and the magic in place (the source address is the
// caller's to check).
inline bool WellFormedAudioPacket(const uint8_t* p, size_t length) {
    return length >= kMinAudioPacket && length <= kMaxAudioPacket && p[0] == kPacketMagic0 &&
           p[1] == kPacketMagic1;
}

inline bool ValidTrunkCount(int trunks) { return trunks >= kMinPacketTrunks && trunks <= kMaxPacketTrunks; }

// Whole frames in a packet of length bytes; trunks must be valid.
inline uint32_t FramesInPacket(size_t length, int trunks) {
    if (length < kPacketHeaderBytes || !ValidTrunkCount(trunks)) return 0;
    return static_cast<uint32_t>((length - kPacketHeaderBytes) / (static_cast<uint32_t>(trunks) * kTimeslotBytesPerFrame));
}

}  // namespace media
