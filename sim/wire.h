// Byte layouts the simulated card speaks: discovery and restart datagrams,
// control connection messages and audio packets. Pure helpers; any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/sim.h"

namespace sim::wire {

constexpr uint16_t kCardPort = 5854;  // discovery, control (TCP) and audio (UDP)

// Discovery and restart datagrams: tag, version byte, 11 free bytes, serial.
constexpr uint8_t kAnnouncementVersion = 0x01;
constexpr size_t kAnnouncementBytes = 22;
constexpr size_t kAnnouncementSerialOffset = 18;
constexpr char kDiscoveryQuery[] = "VAXO D";  // 6 characters, no terminator on the wire
constexpr size_t kTagBytes = 6;
constexpr char kReplyTag[] = "VAXO R";
constexpr char kRestartTag[] = "VAXO B";

// Control connection.
constexpr uint8_t kMessageStart = 0xFF;
constexpr uint8_t kMessageEnd = 0xFF;
// Module to card.
constexpr uint8_t kInfoRequest = 0x01;
constexpr uint8_t kRegisterRead = 0x02;
constexpr uint8_t kMediaStarted = 0x04;
constexpr uint8_t kAudioPort = 0x05;
constexpr uint8_t kFrame = 0x10;
constexpr uint8_t kTrunkConfig = 0x12;
// Card to module.
constexpr uint8_t kCardInfo = 0x01;
constexpr uint8_t kRegisterValue = 0x02;
constexpr uint8_t kLineStatus = 0x07;
constexpr uint8_t kHdlcError = 0x11;

constexpr size_t kCardInfoPayloadBytes = 22;
constexpr size_t kCheckSequenceBytes = 2;   // room libpri leaves after a frame
constexpr size_t kMaxModuleFrameBytes = 1024;  // larger lengths are taken as garbage

// Audio packets.
constexpr uint8_t kAudioMagic0 = 0xFF;
constexpr uint8_t kAudioMagic1 = 0x55;
constexpr size_t kAudioHeaderBytes = 8;
constexpr size_t kAudioSeqOffset = 2;
constexpr size_t kAudioResyncOffset = 6;
constexpr size_t kAudioLostOffset = 7;
constexpr size_t kMinAudioPacketBytes = 584;
constexpr size_t kMaxAudioPacketBytes = 1448;
constexpr int kTimeslots = 32;
constexpr int kDChannelTimeslot = 16;
constexpr int kMaxTrunks = 8;
constexpr int kFramesPerSecond = 8000;
constexpr uint8_t kAlawSilence = 0xD5;

inline void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// "VAXO R" or "VAXO B" datagram for a serial number.
std::vector<uint8_t> Announcement(const char* tag, uint32_t serial);
// Card information message: FF 01 and its 22-byte payload.
std::vector<uint8_t> CardInfoMessage(const CardProfile& profile);
// Trunk count used for audio packets and per-trunk tables: 1 to 8.
int AudioTrunks(int trunks);

}  // namespace sim::wire
