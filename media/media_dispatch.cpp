// The media dispatcher: the media callback of every card, which turns a
// channel's block or digit into work on the port it belongs to. Called by
// the card's media tick thread.
#include <algorithm>
#include <cstring>

#include "core/port_table.h"
#include "media/card_media.h"
#include "media/g711.h"
#include "media/wave_paths.h"
#include "core/card_link.h"

namespace media {

namespace {

constexpr uint32_t kNoPort = 0xFFFFFFFFu;

bool CarriesBlock(uint32_t code) { return code == kMediaRxBlock || code == kMediaTxFill; }

void FillBlock(uint32_t code, void* data, uint32_t length, uint8_t value) {
    if (data == nullptr || !CarriesBlock(code)) return;
    memset(data, value, std::min<uint32_t>(length, kBlockBytes));
}

// Port of a bearer channel: timeslots 1-15 and 17-31 of each trunk, 30 per
// trunk from the card's first port.
uint32_t PortOf(uint16_t trunk, uint16_t timeslot, uint32_t firstPort) {
    if (timeslot == 0 || timeslot == transport::kDChannelTimeslot || timeslot >= transport::kTimeslotsPerTrunk ||
        trunk >= transport::kMaxTrunks) {
        return kNoPort;
    }
    const uint64_t port = static_cast<uint64_t>(firstPort) + trunk * transport::kChannelsPerTrunk +
                          (timeslot < transport::kDChannelTimeslot ? timeslot - 1u : timeslot - 2u);
    return port < static_cast<uint64_t>(driver::kMaxPorts) ? static_cast<uint32_t>(port) : kNoPort;
}

}  // namespace

void MediaDispatch(uint16_t trunk, uint16_t timeslot, uint32_t code, uint32_t context, void* data,
                   uint32_t length) {
    const uint32_t port = PortOf(trunk, timeslot, context);
    if (port == kNoPort) {
        FillBlock(code, data, length, kAlawUnusedSlot);
        return;
    }
    driver::CDevice* device = driver::g_ports[port];
    if (device == nullptr) {
        // Not yet (or no longer) a port: send idle rather than what the
        // block held before.
        if (code == kMediaTxFill) FillBlock(code, data, length, kAlawIdle);
        return;
    }
    CWave& wave = device->wave;
    const uint32_t blockLength = std::min<uint32_t>(length, kBlockBytes);
    switch (code) {
    case kMediaRxBlock:
        if (data != nullptr) OfferReceivedBlock(wave, static_cast<uint8_t*>(data), blockLength);
        break;
    case kMediaTxFill:
        if (data != nullptr) FillSendBlock(wave, static_cast<uint8_t*>(data), blockLength);
        break;
    case kMediaDigit:
        device->DigitReceived(static_cast<char>(length & 0xFF));
        break;
    case kMediaPlayMark:
        if (data != nullptr) {
            QueryPlayMark(wave, static_cast<uint32_t*>(data));
        } else {
            PlayEndNotice(wave);
        }
        break;
    default:
        break;
    }
}

}  // namespace media
