#include "transport/listener.h"

#include <atomic>
#include <vector>

#include "driver/trace.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "transport/card_link.h"
#include "transport/card_setup.h"
#include "transport/discovery.h"

namespace transport {

namespace {

constexpr int kWaitMs = 250;
constexpr int kReceiveBufferBytes = 65536;
// Long enough for a reopen under way to end (connect, three information
// waits, thread joins), so no card is closed under it.
constexpr uint32_t kJoinMs = 15000;

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

// A restart announcement reopens every listed card with its serial number;
// serial 0 (not known) and cards refused at start-up are never reopened.
void Announced(uint32_t from, uint32_t serial) {
    if (serial == 0) return;
    for (int i = 0; i < g_cardList.size() && !g_stopping.load(); ++i) {
        CardLink& card = Card(i);
        if (card.refused.load() || card.serial.load() != serial) continue;
        Reopen(i, from, serial);
    }
}

void ListenerBody(void*) {
    plat::Socket s = plat::UdpSocket();
    if (s == plat::kNoSocket) return;
    if (!plat::SetBufferSizes(s, -1, kReceiveBufferBytes) || !plat::Bind(s, plat::kAnyAddress, kCardPort)) {
        plat::CloseSocket(s);
        return;
    }
    std::vector<uint8_t> buffer(kMaxDatagramBytes, 0);
    while (!g_stopping.load()) {
        int ready = plat::WaitReadable(s, kWaitMs);
        if (ready < 0) plat::SleepMs(kWaitMs);  // keeps a failing wait from spinning
        if (ready != 1) continue;
        uint32_t from = 0;
        int n = plat::ReceiveFrom(s, buffer.data(), buffer.size(), &from, nullptr);
        uint32_t serial = 0;
        if (n < 0 || !ParseAnnouncement(buffer.data(), static_cast<size_t>(n), Announcement::kRestart, &serial))
            continue;
        Announced(from, serial);
    }
    plat::CloseSocket(s);
}

}  // namespace

bool StartListener() {
    g_stopping = false;
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
