// Transport start and stop: discovery, card set-up, ports, callbacks and
// the card listener. Runs on the host's thread under the driver lock.
#include "transport/transport.h"

#include "callctl/pri_events.h"
#include "core/card_link.h"
#include "core/config.h"
#include "core/paths.h"
#include "core/port_table.h"
#include "core/trace.h"
#include "platform/socket.h"
#include "transport/card_messages.h"
#include "transport/card_ports.h"
#include "transport/card_setup.h"
#include "transport/discovery.h"
#include "transport/listener.h"
#include "transport/pri_glue.h"

namespace transport {

namespace {

bool g_started = false;

// Start-up of one card found by discovery; returns the trunks it adds to
// the trunk base.
int StartCard(int index, uint32_t trunkBase) {
    CardLink& card = Card(index);
    char cardText[16];
    char localText[16];
    plat::Ipv4ToText(g_cardList[index].cardAddress, cardText, sizeof cardText);
    plat::Ipv4ToText(g_cardList[index].localAddress, localText, sizeof localText);
    if (!CardSetUp(card, cardText, localText)) return 0;
    CardFacts facts = ReadFacts(card);
    int trunks = UsableTrunks(card);
    int withPorts = TrunksWithRoom(trunks);
    if (withPorts == 0) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: no room left in the port table; card not used", card.cardIndex);
        card.portTrunks = 0;
        card.refused = true;
        CardClose(card);
        return 0;
    }
    if (withPorts < trunks)
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: port table full; only %d of its %d trunks get ports",
                   card.cardIndex, withPorts, trunks);
    card.portTrunks = withPorts;
    for (int s = withPorts; s < kMaxTrunks; ++s) ReleaseController(card, s);
    uint32_t firstPort = static_cast<uint32_t>(driver::g_portCount.load());
    CreateCardPorts(card, facts, withPorts);
    // Names the owner, for sites where several modules share the card LAN.
    VAXO_TRACE(2, driver::kGeneralPort, "Card %u: serial no %u at %s on adapter %s, ports %u to %u, driven by %s",
               card.cardIndex, card.serial.load(), cardText, localText, firstPort,
               static_cast<uint32_t>(driver::g_portCount.load()) - 1, driver::g_paths.module);
    RegisterCallbacks(card, firstPort, trunkBase);
    RaiseEarlyDChannelUps(card);
    for (int s = 0; s < trunks; ++s) SendRegisterReads(card, s);
    return withPorts;
}

// A card link as it was when the module loaded, for the next start.
void ForgetCard(CardLink& card) {
    card.mediaCallback = nullptr;
    card.cardEventCallback = nullptr;
    card.statusCallback = nullptr;
    card.priEventCallback = nullptr;
    card.serial = 0;
    card.trunkCount = 0;
    card.infoReceived = 0;
    card.infoRejected = 0;
    card.portTrunks = kMaxTrunks;
    card.refused = false;
    for (TrunkLink& t : card.trunks) t.lineStatus = kLineStatusUnknown;
}

}  // namespace

bool StartTransport() {
    plat::SocketsStartup();
    driver::DestroyAllPorts();
    pri_set_message(callctl::PriMessage);
    pri_set_error(callctl::PriError);
    const driver::CardSelection& selection = driver::g_config.selection;
    if (selection.LimitsCards() || selection.LimitsAdapters())
        VAXO_TRACE(2, driver::kGeneralPort, "This module (%s) drives Cards=%s on Adapters=%s", driver::g_paths.module,
                   selection.CardsText().c_str(), selection.AdaptersText().c_str());
    int count = DiscoverCards();
    if (count < 0) {
        g_started = true;
        return true;
    }
    uint32_t trunkBase = 0;
    for (int c = 0; c < g_cardList.size(); ++c) trunkBase += static_cast<uint32_t>(StartCard(c, trunkBase));
    if (!StartListener()) {
        g_started = true;  // lets the stop run
        StopTransport();
        return false;
    }
    g_started = true;
    return true;
}

void StopTransport() {
    if (!g_started) return;
    StopListener();
    for (int c = 0; c < kMaxCards; ++c) {
        CardClose(Card(c));
        ForgetCard(Card(c));
    }
    driver::DestroyAllPorts();
    // libpri keeps one message handler per process; a host may unload this
    // module while another module (or copy of it) still runs libpri there.
    pri_set_message(nullptr);
    pri_set_error(nullptr);
    g_started = false;
}

bool TransportStarted() { return g_started; }

}  // namespace transport
