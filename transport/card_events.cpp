#include "transport/card_events.h"

#include <string>

#include "callctl/pri_events.h"
#include "core/card_link.h"
#include "core/port_table.h"
#include "core/trace.h"
#include "platform/lock.h"
#include "platform/module.h"
#include "transport/card_messages.h"

namespace transport {

namespace {


// HDLC error codes of card message 0x11.
enum HdlcErrorCode : uint8_t { kHdlcCrc = 2, kHdlcAbort = 3, kHdlcOverrun = 4, kHdlcBufferOverflow = 8 };

const char* HdlcErrorText(uint8_t code) {
    switch (code) {
    case kHdlcCrc: return "CRC";
    case kHdlcAbort: return "ABORT";
    case kHdlcOverrun: return "OVERRUN";
    case kHdlcBufferOverflow: return "Buffer Overflow";
    default: return "Unknown";
    }
}

// The card whose events carry this trunk base: registered cards own ports,
// so their trunk bases differ.
CardLink* CardOfTrunkBase(uint32_t trunkBase) {
    for (int c = 0; c < kMaxCards; ++c) {
        CardLink* card = g_cards[c];
        if (card != nullptr && card->cardEventCallback.load() != nullptr && card->cardEventContext == trunkBase &&
            card->portTrunks.load() > 0)
            return card;
    }
    return nullptr;
}

// Ends the port's call and tells the host twice: once for the call (with
// its disconnect entry when there was one), once for the device going
// inactive.
void MakePortInactive(driver::CDevice& port) {
    callctl::EndCallOnLineLoss(port);
    port.lineUp = false;
    port.PostEvent(driver::kEventCallProgress);
}

template <typename Fn>
void ForEachTrunkPort(uint32_t trunkBase, uint16_t link, Fn fn) {
    int first = static_cast<int>((trunkBase + link) * kChannelsPerTrunk);
    for (int i = 0; i < kChannelsPerTrunk; ++i)
        if (driver::CDevice* port = driver::LookupPort(first + i)) fn(*port);
}

void DChannelUp(const CardLink& card, uint16_t link, uint32_t trunkBase) {
    VAXO_TRACE(2, driver::kGeneralPort, "Card %u: Trunk %u - DCHANNEL UP", card.cardIndex, link);
    ForEachTrunkPort(trunkBase, link, [](driver::CDevice& port) {
        callctl::RestartLostChannel(port);
        if (port.channelState.exchange(driver::kChannelUp) == driver::kChannelUp) return;
        port.lineUp = true;
        port.PostEvent(driver::kEventCallProgress);
        VAXO_TRACE(2, driver::kGeneralPort, "Internal Device Active, Line Plugged in.");
    });
}

void DChannelDown(const CardLink& card, uint16_t link, uint32_t trunkBase) {
    VAXO_TRACE(2, driver::kGeneralPort, "Card %u: Trunk %u - DCHANNEL DOWN", card.cardIndex, link);
    ForEachTrunkPort(trunkBase, link, [](driver::CDevice& port) {
        if (port.channelState.exchange(driver::kChannelDown) == driver::kChannelDown) return;
        MakePortInactive(port);
    });
}

void RegisterValue(const CardLink& card, uint16_t link, uint16_t reg, uint8_t value) {
    if (!driver::TraceOn(1)) return;
    std::string text = driver::FormatText("READREG: CardNo=%u LinkNo=%u, Reg[0x%04X] = %02X ", card.cardIndex,
                                          static_cast<unsigned>(link), static_cast<unsigned>(reg),
                                          static_cast<unsigned>(value));
    driver::LogLine(text.c_str(), driver::kGeneralPort);
    plat::DebugOutput((text + "\r\n").c_str());
}

void CardDown(CardLink& card) {
    int32_t count = driver::g_portCount.load();
    for (int32_t p = 0; p < count; ++p) {
        driver::CDevice* port = driver::LookupPort(p);
        if (port == nullptr || port->cardIndex != card.cardIndex) continue;
        VAXO_TRACE(2, driver::kGeneralPort, "Error: Internal Device Inactive");
        if (port->trunkIndex < static_cast<uint32_t>(kMaxTrunks))
            card.trunks[port->trunkIndex].lineStatus = kLineStatusUnknown;
        port->channelState = driver::kChannelDown;
        MakePortInactive(*port);
    }
}

}  // namespace

void CardEventHandler(uint16_t link, uint32_t code, uint32_t context, uint16_t value16, uint8_t value8) {
    CardLink* card = CardOfTrunkBase(context);
    if (card == nullptr) return;
    // Links beyond the trunks that own ports would reach the next card's ports.
    bool trunkHasPorts = link < card->portTrunks.load();
    switch (code) {
    case kCardDChannelUp:
        if (trunkHasPorts) DChannelUp(*card, link, context);
        break;
    case kCardDChannelDown:
        if (trunkHasPorts) DChannelDown(*card, link, context);
        break;
    case kCardHdlcError:
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: Trunk %u - HDLC %s Error", card->cardIndex, link,
                   HdlcErrorText(value8));
        break;
    case kCardConfigError:
        VAXO_TRACE(2, driver::kGeneralPort,
                   "Card %u: Trunk %u - Configuration Incorrect. Please set ClientType=1 for NT or ClientType=2 "
                   "for TE",
                   card->cardIndex, link);
        break;
    case kCardLinkReset:
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: Trunk %u - Link Reset (Too Many HDLC Errors)", card->cardIndex,
                   link);
        SendTrunkConfig(*card, link);
        break;
    case kCardRegisterValue: RegisterValue(*card, link, value16, value8); break;
    case kCardTimerPass:
        if (trunkHasPorts) ForEachTrunkPort(context, link, [](driver::CDevice& port) {
            if (port.channelState.load() == driver::kChannelUp) callctl::RepeatLostChannelRestart(port);
        });
        break;
    default: break;  // line status and unknown codes: nothing
    }
}

void StatusHandler(uint32_t kind, uint32_t cardIndex, const char* text, uint32_t flag) {
    CardLink* card = FindCard(static_cast<int>(cardIndex));
    if (card == nullptr) return;
    if (kind == kStatusText) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: %s", cardIndex, text != nullptr ? text : "");
        return;
    }
    if (kind != kStatusUpDown) return;
    // A card is reported down once until it is set up again, whoever
    // notices first (the silence check or a restart announcement).
    if (flag != 0) {
        card->downReported = false;
    } else if (card->downReported.exchange(true)) {
        return;
    }
    VAXO_TRACE(2, driver::kGeneralPort, "Card %u is %s", cardIndex, flag != 0 ? "up" : "down");
    if (flag == 0) CardDown(*card);
}

}  // namespace transport
