#include "transport/listener.h"

#include <atomic>
#include <vector>

#include "core/card_link.h"
#include "core/config.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "transport/card_setup.h"
#include "transport/discovery.h"
#include "transport/restart_hold.h"

namespace transport {

namespace {

constexpr int kWaitMs = 250;
constexpr int kReceiveBufferBytes = 65536;
// Long enough for a reopen under way to end (connect, three information
// waits, thread joins), so no card is closed under it.
constexpr uint32_t kJoinMs = 15000;
// Pause between attempts to bind the port while another program holds it.
constexpr int kRebindMs = 5000;

std::atomic<bool> g_stopping{false};
bool g_listenerStarted = false;

plat::Thread& ListenerThread() {
    static plat::Thread thread;
    return thread;
}

void Reopen(int index, uint32_t from, uint32_t serial) {
    CardLink& card = Card(index);
    VAXO_TRACE(2, driver::kGeneralPort, "Broadcast from Card serial no %u", serial);
    if (card.open.load()) {
        // A card that restarted before its silence was noticed: its calls
        // end now, with the old link, as when it goes silent.
        StatusCallback cb = card.statusCallback.load();
        if (cb != nullptr) cb(kStatusUpDown, card.statusContext, nullptr, 0);
        CardClose(card);
    }
    uint32_t previous = card.serial.load();
    char cardText[16];
    char localText[16];
    plat::Ipv4ToText(from, cardText, sizeof cardText);
    plat::Ipv4ToText(g_cardList[index].localAddress, localText, sizeof localText);
    bool ok = CardSetUp(card, cardText, localText);
    if (!ok) card.serial = previous;
    VAXO_TRACE(2, driver::kGeneralPort, "Card reopen has %s", ok ? "Succeeded" : "failed");
}

RestartHold g_hold;  // listener thread only (cleared before it starts)

}  // namespace

// A restart announcement reopens every listed card with its serial number;
// serial 0 (not known), cards outside Cards= (another module's on the LAN)
// and cards refused at start-up are never reopened. A card that is up and
// talking is reopened only once it stops (RestartHold).
void ListenerDatagram(const uint8_t* data, size_t n, uint32_t from, uint32_t nowMs, ReopenCard reopen) {
    uint32_t serial = 0;
    if (!ParseAnnouncement(data, n, Announcement::kRestart, &serial) || serial == 0) return;
    if (!driver::g_config.selection.AllowsSerial(serial)) return;
    for (int i = 0; i < g_cardList.size() && !g_stopping.load(); ++i) {
        CardLink& card = Card(i);
        if (card.refused.load() || card.serial.load() != serial) continue;
        const bool wasHeld = g_hold.Held(i);
        if (g_hold.Offer(i, serial, from, nowMs, CardTalking(card))) {
            reopen(i, from, serial);
        } else if (!wasHeld) {
            VAXO_TRACE(2, driver::kGeneralPort, "Restart announcement for card serial no %u held: the card is up",
                       serial);
        }
    }
}

void ListenerPass(uint32_t nowMs, ReopenCard reopen) {
    for (int i = 0; i < g_cardList.size() && !g_stopping.load(); ++i) {
        if (!g_hold.Held(i)) continue;
        CardLink& card = Card(i);
        uint32_t from = 0;
        uint32_t serial = 0;
        switch (g_hold.Check(i, nowMs, CardTalking(card), &from, &serial)) {
        case RestartHold::Due::kReopen:
            if (card.serial.load() == serial && !card.refused.load()) reopen(i, from, serial);
            break;
        case RestartHold::Due::kDropped:
            VAXO_TRACE(2, driver::kGeneralPort,
                       "Restart announcement for card serial no %u ignored: the card stayed up", serial);
            break;
        case RestartHold::Due::kNothing:
            break;
        }
    }
}

void ClearHeldAnnouncements() { g_hold.Clear(); }

namespace {

// The port is bound with address reuse so that every module on this
// machine receives the cards' restart broadcasts.
plat::Socket OpenSocket() {
    plat::Socket s = plat::UdpSocket();
    if (s == plat::kNoSocket) return s;
    if (!plat::SetBufferSizes(s, -1, kReceiveBufferBytes) || !plat::SetReuseAddress(s) ||
        !plat::Bind(s, plat::kAnyAddress, kCardPort)) {
        plat::CloseSocket(s);
        return plat::kNoSocket;
    }
    return s;
}

// Retries every kRebindMs until bound or stopped; says once why it waits.
plat::Socket OpenSocketWhenFree() {
    plat::Socket s = OpenSocket();
    if (s != plat::kNoSocket) return s;
    VAXO_TRACE(2, driver::kGeneralPort,
               "Card listener cannot bind UDP port %u (held by a program that does not share it); card restarts "
               "are not picked up until it can",
               static_cast<unsigned>(kCardPort));
    while (s == plat::kNoSocket && !g_stopping.load()) {
        for (int waited = 0; waited < kRebindMs && !g_stopping.load(); waited += kWaitMs) plat::SleepMs(kWaitMs);
        if (!g_stopping.load()) s = OpenSocket();
    }
    if (s != plat::kNoSocket) VAXO_TRACE(2, driver::kGeneralPort, "Card listener bound UDP port %u",
                                         static_cast<unsigned>(kCardPort));
    return s;
}

void ListenerBody(void*) {
    plat::SetCurrentThreadName("vaxo-listener");
    plat::Socket s = OpenSocketWhenFree();
    if (s == plat::kNoSocket) return;
    std::vector<uint8_t> buffer(kMaxDatagramBytes, 0);
    while (!g_stopping.load()) {
        int ready = plat::WaitReadable(s, kWaitMs);
        if (ready < 0) plat::SleepMs(kWaitMs);  // keeps a failing wait from spinning
        if (ready == 1) {
            uint32_t from = 0;
            int n = plat::ReceiveFrom(s, buffer.data(), buffer.size(), &from, nullptr);
            if (n >= 0) ListenerDatagram(buffer.data(), static_cast<size_t>(n), from, plat::TickCountMs(), Reopen);
        }
        ListenerPass(plat::TickCountMs(), Reopen);
    }
    plat::CloseSocket(s);
}

}  // namespace

bool StartListener() {
    g_stopping = false;
    g_hold.Clear();
    if (!ListenerThread().Start(ListenerBody, nullptr)) return false;
    g_listenerStarted = true;
    return true;
}

void StopListener() {
    g_stopping = true;
    if (!g_listenerStarted) return;
    ListenerThread().Join(kJoinMs);
    g_listenerStarted = false;
}

}  // namespace transport
