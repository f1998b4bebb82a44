// Drives the card listener's handling of restart announcements with steps
// decoded from the input: datagrams (raw, or announcements for a listed or
// unknown serial) from a few addresses, cards going quiet, ending their
// connection or talking again, time passing and listener passes. The card
// list and the card links are set up from the input (equal serials, serial
// 0, refused cards); the reopen is a stand-in that checks what it is asked.
// Checks: a card that is up and talking is never reopened; a reopen names a
// listed, not refused card of the announced serial from the announcement's
// address; one held for a talking card happens within the hold time of the
// latest announcement; an announcement for a card that is not talking
// reopens it at once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/trace.h"
#include "transport/discovery.h"
#include "transport/listener.h"
#include "transport/restart_hold.h"

using namespace transport;

namespace {

constexpr size_t kMaxSteps = 96;
constexpr plat::Socket kFakeControl = 1000;  // never used as a socket: only compared

void Check(bool ok) {
    if (!ok) abort();
}

struct Model {
    int cards = 0;
    uint32_t announcedSerial[kMaxCards] = {};
    uint32_t announcedFrom[kMaxCards] = {};
    uint32_t announcedMs[kMaxCards] = {};
    bool announced[kMaxCards] = {};
    // Set while a datagram is being handled: what an immediate reopen must match.
    bool inDatagram = false;
    uint32_t datagramFrom = 0;
    uint32_t datagramSerial = 0;
    uint32_t nowMs = 0;
    int reopens = 0;
    bool reopenedInDatagram[kMaxCards] = {};
};
Model g_model;

void FakeReopen(int index, uint32_t from, uint32_t serial) {
    Check(index >= 0 && index < g_model.cards);
    CardLink& card = Card(index);
    Check(!CardTalking(card) && !card.refused.load() && card.serial.load() == serial && serial != 0);
    if (g_model.inDatagram) {
        Check(from == g_model.datagramFrom && serial == g_model.datagramSerial);
        g_model.reopenedInDatagram[index] = true;
    } else {
        Check(g_model.announced[index] && from == g_model.announcedFrom[index] &&
              serial == g_model.announcedSerial[index] && g_model.nowMs - g_model.announcedMs[index] < RestartHold::kHoldMs);
    }
    ++g_model.reopens;
    g_model.announced[index] = false;
    card.open = 1;  // set up again: talking on a new connection
    card.control = kFakeControl;
    card.controlEnded = false;
}

void SetTalking(CardLink& card, uint8_t how) {
    card.open = how & 1;
    card.control = how & 2 ? kFakeControl : plat::kNoSocket;
    card.controlEnded = (how & 4) != 0;
}

void SetUpCards(const uint8_t* data, size_t size, size_t* pos) {
    auto byte = [&]() -> uint8_t { return *pos < size ? data[(*pos)++] : 0; };
    g_cardList.Clear();
    ClearHeldAnnouncements();
    g_model = Model();
    const int cards = 1 + byte() % kMaxCards;
    for (int i = 0; i < cards; ++i) {
        const uint8_t b = byte();
        CardEntry e;
        e.cardAddress = 0x0000000Au | (uint32_t(i + 1) << 24);
        e.localAddress = 0x0100000Au;
        e.serial = b % 6;  // equal serials and serial 0 happen
        g_cardList.Add(e);
    }
    g_model.cards = g_cardList.size();
    for (int i = 0; i < g_model.cards; ++i) {
        CardLink& card = Card(i);
        card.serial = g_cardList[i].serial;
        card.refused = (byte() & 7) == 0;
        SetTalking(card, byte());
    }
}

size_t BuildDatagram(uint8_t how, const uint8_t* data, size_t size, size_t* pos, uint8_t* out) {
    auto byte = [&]() -> uint8_t { return *pos < size ? data[(*pos)++] : 0; };
    if ((how & 0x30) == 0) {  // raw bytes
        size_t n = byte() % 40;
        for (size_t i = 0; i < n; ++i) out[i] = byte();
        return n;
    }
    size_t n = 22;
    memcpy(out, "VAXO B\x01", 7);
    memset(out + 7, 0, 11);
    uint32_t serial = (how & 0x30) == 0x10 ? byte() % 6 : uint32_t(byte()) << 8 | byte();
    for (int i = 0; i < 4; ++i) out[18 + i] = static_cast<uint8_t>(serial >> (8 * i));
    if ((how & 0x30) == 0x30) {  // damaged or cut
        const uint8_t at = byte();
        if (at < 22) out[at] ^= byte() | 1;
        if (byte() & 1) n = byte() % 23;
    }
    return n;
}

void Datagram(uint8_t how, const uint8_t* data, size_t size, size_t* pos) {
    uint8_t d[64];
    const size_t n = BuildDatagram(how, data, size, pos, d);
    const uint32_t from = 0x0000000Au | (uint32_t(*pos < size ? data[(*pos)++] % 4 + 1 : 1) << 24);
    uint32_t serial = 0;
    const bool valid = ParseAnnouncement(d, n, Announcement::kRestart, &serial) && serial != 0;
    bool talking[kMaxCards];
    for (int i = 0; i < g_model.cards; ++i) talking[i] = CardTalking(Card(i));
    g_model.inDatagram = true;
    g_model.datagramFrom = from;
    g_model.datagramSerial = serial;
    for (bool& r : g_model.reopenedInDatagram) r = false;
    ListenerDatagram(d, n, from, g_model.nowMs, FakeReopen);
    g_model.inDatagram = false;
    for (int i = 0; i < g_model.cards; ++i) {
        CardLink& card = Card(i);
        const bool addressed = valid && card.serial.load() == serial && !card.refused.load();
        Check(g_model.reopenedInDatagram[i] == (addressed && !talking[i]));
        if (addressed && talking[i]) {
            g_model.announced[i] = true;
            g_model.announcedSerial[i] = serial;
            g_model.announcedFrom[i] = from;
            g_model.announcedMs[i] = g_model.nowMs;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    driver::g_traceLevel = 3;  // no log writer here
    size_t pos = 0;
    SetUpCards(data, size, &pos);
    for (size_t step = 0; step < kMaxSteps && pos < size; ++step) {
        const uint8_t how = data[pos++];
        switch (how & 3) {
        case 0:
        case 1:
            Datagram(how, data, size, &pos);
            break;
        case 2:
            if (pos < size && g_model.cards > 0) {
                const uint8_t b = data[pos++];
                SetTalking(Card(b % g_model.cards), b >> 5);
            }
            break;
        case 3:
            g_model.nowMs += uint32_t(how >> 2) * 100;
            ListenerPass(g_model.nowMs, FakeReopen);
            break;
        }
    }
    return 0;
}
