#include "transport/card_ports.h"

#include <cstdio>

#include "callctl/pri_events.h"
#include "core/card_link.h"
#include "core/device.h"
#include "core/port_table.h"
#include "media/card_media.h"
#include "platform/lock.h"
#include "transport/card_events.h"

namespace transport {

namespace {

driver::CDevice* NewPort(const CardLink& card, const CardFacts& facts, int trunk, int timeslot) {
    auto* port = new driver::CDevice;
    port->cardIndex = card.cardIndex;
    port->trunkIndex = static_cast<uint32_t>(trunk);
    port->timeslot = static_cast<uint32_t>(timeslot);
    snprintf(port->portName, driver::kPortNameChars, "VaxoBoard (%uP %u) Trunk %d Chn %d",
             static_cast<unsigned>(facts.trunks), facts.serial, trunk + 1, timeslot);
    snprintf(port->serialText, driver::kSerialTextChars, "%u", facts.serial);
    port->featureFlags = facts.featureFlags;
    port->firmwareDate = facts.firmwareDate;
    port->burnDate = facts.burnDate;
    port->firmwareVersion = facts.firmwareVersion;
    return port;
}

}  // namespace

CardFacts ReadFacts(CardLink& card) {
    plat::LockGuard guard(card.factsLock);
    CardFacts f;
    f.serial = card.serial.load();
    f.trunks = card.trunkCount.load();
    f.featureFlags = card.featureFlags;
    f.firmwareVersion = card.firmwareVersion;
    f.firmwareDate = card.firmwareDate;
    f.burnDate = card.burnDate;
    return f;
}

int TrunksWithRoom(int trunks) {
    int room = (driver::kMaxPorts - driver::g_portCount.load()) / kChannelsPerTrunk;
    if (room < 0 || trunks < 0) return 0;
    return trunks < room ? trunks : room;
}

void CreateCardPorts(const CardLink& card, const CardFacts& facts, int trunks) {
    for (int s = 0; s < trunks; ++s) {
        for (int t = 1; t < kTimeslotsPerTrunk; ++t) {
            if (t == kDChannelTimeslot) continue;
            driver::CDevice* port = NewPort(card, facts, s, t);
            if (!driver::AddPort(port)) delete port;  // the caller counted the room
        }
    }
}

// Contexts first, then the functions: a thread that sees a function also
// sees its context.
void RegisterCallbacks(CardLink& card, uint32_t firstPort, uint32_t trunkBase) {
    card.firstPort = firstPort;
    card.trunkBase = trunkBase;
    card.mediaContext = firstPort;
    card.cardEventContext = trunkBase;
    card.statusContext = card.cardIndex;
    card.priEventContext = firstPort;
    card.mediaCallback = media::MediaDispatch;
    card.cardEventCallback = CardEventHandler;
    card.statusCallback = StatusHandler;
    card.priEventCallback = callctl::PriEventCallback;
}

// Under the trunk lock, so that a D-channel event the signalling thread
// handles at the same time comes strictly before or after.
void RaiseEarlyDChannelUps(CardLink& card) {
    for (int s = 0; s < card.portTrunks.load() && s < kMaxTrunks; ++s) {
        TrunkLink& t = card.trunks[s];
        plat::LockGuard guard(t.lock);
        CardEventCallback cb = card.cardEventCallback.load();
        if (t.dchannelUp.load() && cb != nullptr)
            cb(static_cast<uint16_t>(s), kCardDChannelUp, card.cardEventContext, 0, 0);
    }
}

}  // namespace transport
