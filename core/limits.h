// The module's fixed limits and the constants of the cards' wire format,
// each with its unit. Every floor reads them from here; the subsystems'
// namespaces take them over by name. Compile-time only.
#pragma once
#include <cstdint>

namespace driver {

// Cards and lines.
constexpr int kMaxCards = 20;                                 // cards one module drives
constexpr int kMaxTrunks = 8;                                 // E1 trunks on one card
constexpr int kTimeslotsPerTrunk = 32;                        // timeslots 0-31 of an E1 frame
constexpr int kChannelsPerTrunk = 30;                         // bearer channels: timeslots 1-15, 17-31
constexpr int kMaxChannels = kMaxTrunks * kTimeslotsPerTrunk;  // timeslots of one card
constexpr int kDChannelTimeslot = 16;                         // the timeslot carrying the D-channel
constexpr int kMaxPorts = 1024;                               // ports (bearer channels) of one module

// Network.
constexpr uint16_t kCardPort = 5854;  // UDP and TCP port: discovery, control (TCP) and audio (UDP)

// Audio: A-law, one byte per sample at 8 kHz, moved in blocks of 20 ms.
constexpr uint32_t kBytesPerSecond = 8000;  // bytes of audio per second and channel
constexpr uint32_t kBlockBytes = 160;       // bytes of one block: 20 ms

}  // namespace driver
