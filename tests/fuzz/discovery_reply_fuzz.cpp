// Feeds discovery replies decoded from the input, each from one of a few
// source addresses, to the reply check and the card list, as discovery does
// with every datagram that reaches its socket. Checks: a reply is taken
// only with its magic, version and length; the serial number is the one at
// its offset (missing bytes zero); the list stays within its 20 entries,
// ordered by serial, one entry per address, equal serials in the order they
// came.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transport/discovery.h"

using namespace transport;

namespace {

constexpr size_t kMaxSteps = 64;

void Check(bool ok) {
    if (!ok) abort();
}

struct Cursor {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    size_t Take(uint8_t* out, size_t n) {
        n = n < size - pos ? n : size - pos;
        memcpy(out, data + pos, n);
        pos += n;
        return n;
    }
};

// The serial as the layout gives it, read independently of the parser.
uint32_t SerialAt(const uint8_t* d, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && kAnnouncementSerialOffset + i < n; ++i) v |= uint32_t(d[kAnnouncementSerialOffset + i]) << (8 * i);
    return v;
}

// order[x]: when address 10.0.0.x was entered.
void CheckList(const CardList& list, const uint32_t* order) {
    Check(list.size() >= 0 && list.size() <= kMaxCards);
    for (int i = 0; i < list.size(); ++i) {
        for (int j = i + 1; j < list.size(); ++j) Check(list[i].cardAddress != list[j].cardAddress);
        if (i == 0) continue;
        Check(list[i - 1].serial <= list[i].serial);
        if (list[i - 1].serial == list[i].serial) {
            Check(order[list[i - 1].cardAddress >> 24] < order[list[i].cardAddress >> 24]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Cursor in{data, size};
    CardList list;
    uint32_t addedAt[256] = {};  // when each address was entered (0: never)
    uint32_t stamp = 0;
    uint8_t datagram[kMaxDatagramBytes];
    for (size_t step = 0; step < kMaxSteps && in.pos < size; ++step) {
        const uint8_t how = in.Byte();
        const uint32_t from = 0x0000000Au | (uint32_t(in.Byte() % 32) << 24);  // 10.0.0.x, network order
        size_t wanted = how & 0x80 ? size_t(in.Byte()) * 8 : (how & 0x1F) + 10;
        if (wanted > kMaxDatagramBytes) wanted = kMaxDatagramBytes;
        size_t n = 0;
        if (how & 0x40) {  // a reply skeleton, the rest from the input
            memcpy(datagram, "VAXO R\x01", 7);
            n = 7 + in.Take(datagram + 7, wanted > 7 ? wanted - 7 : 0);
            if (wanted < 7) n = wanted;
        } else {
            n = in.Take(datagram, wanted);
        }

        uint32_t serial = 0xDEADBEEF;
        const bool reply = ParseAnnouncement(datagram, n, Announcement::kDiscoveryReply, &serial);
        const bool restart = ParseAnnouncement(datagram, n, Announcement::kRestart, nullptr);
        const bool wellFormed = n >= kMinAnnouncementBytes && memcmp(datagram, "VAXO R", 6) == 0 && datagram[6] == 1;
        Check(reply == wellFormed && !(reply && restart));
        if (!reply) continue;
        Check(serial == SerialAt(datagram, n));

        CardEntry entry;
        entry.cardAddress = from;
        entry.localAddress = 0x0100000Au;
        entry.serial = serial;
        const int before = list.size();
        const CardList::AddResult r = list.Add(entry);
        const bool known = addedAt[from >> 24] != 0;
        switch (r) {
        case CardList::AddResult::kAdded:
            Check(!known && list.size() == before + 1);
            addedAt[from >> 24] = ++stamp;
            break;
        case CardList::AddResult::kKnown:
            Check(known && list.size() == before);
            break;
        case CardList::AddResult::kFull:
            Check(!known && before == kMaxCards && list.size() == before);
            break;
        }
        CheckList(list, addedAt);
    }
    return 0;
}
