#include "transport/discovery.h"

#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/trace.h"
#include "platform/adapters.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace transport {

CardList g_cardList;

namespace {

constexpr char kAnnouncementMagic[] = "VAXO ";  // then the kind letter
constexpr size_t kMagicBytes = 6;
constexpr size_t kVersionOffset = 6;
constexpr uint8_t kAnnouncementVersion = 0x01;
constexpr char kQuery[] = "VAXO D";
constexpr int kMaxAdapters = 64;
constexpr int kAttempts = 3;
constexpr int kReplyWaitMs = 50;
// An attempt ends after this at the latest: a host that keeps sending to the
// port must not hold Init in discovery.
constexpr uint32_t kMaxAttemptMs = 1000;
constexpr int kReceiveBufferBytes = 65536;
constexpr unsigned kMaxSkipsListed = 40;  // a longer skip list ends with a count

// Sockets of one adapter, closed when the adapter is done (host's thread).
struct AdapterSockets {
    plat::Socket receive = plat::kNoSocket;
    plat::Socket send = plat::kNoSocket;
    ~AdapterSockets() {
        plat::CloseSocket(receive);
        plat::CloseSocket(send);
    }
};

bool OpenSockets(uint32_t address, AdapterSockets* s) {
    s->receive = plat::UdpSocket();
    if (s->receive == plat::kNoSocket) return false;
    plat::SetBufferSizes(s->receive, -1, kReceiveBufferBytes);
    // Shared with other modules on this machine (their card listeners hold
    // the same port on every address).
    plat::SetReuseAddress(s->receive);
    if (!plat::Bind(s->receive, address, kCardPort)) {
        char text[16];
        plat::Ipv4ToText(address, text, sizeof text);
        VAXO_TRACE(2, driver::kGeneralPort,
                   "Discovery cannot bind UDP port %u on adapter %s (held by a program that does not share it); "
                   "adapter skipped",
                   static_cast<unsigned>(kCardPort), text);
        return false;
    }
    s->send = plat::UdpSocket();
    if (s->send == plat::kNoSocket) return false;
    plat::SetBroadcast(s->send);
    return true;
}

// Remembers cards that answered after the list was full, to report each
// once; used by discovery on the host's thread.
class OverflowReport {
public:
    void Note(const CardEntry& e) {
        for (uint32_t a : reported_)
            if (a == e.cardAddress) return;
        reported_.push_back(e.cardAddress);
        char text[16];
        plat::Ipv4ToText(e.cardAddress, text, sizeof text);
        VAXO_TRACE(2, driver::kGeneralPort, "Card serial no %u at %s ignored: at most %d cards are driven", e.serial,
                   text, kMaxCards);
    }

private:
    std::vector<uint32_t> reported_;
};

// Cards and adapters left out by Cards= and Adapters=, listed in one line
// per start; used by discovery on the host's thread.
class SkipReport {
public:
    void NoteCard(const CardEntry& e) {
        for (uint32_t a : cards_)
            if (a == e.cardAddress) return;
        cards_.push_back(e.cardAddress);
        char text[16];
        plat::Ipv4ToText(e.cardAddress, text, sizeof text);
        Add(&cardText_, &cardCount_, driver::FormatText("serial no %u at %s", e.serial, text));
    }
    void NoteAdapter(uint32_t address) {
        char text[16];
        plat::Ipv4ToText(address, text, sizeof text);
        Add(&adapterText_, &adapterCount_, text);
    }
    void Write() const {
        if (adapterCount_ > 0)
            VAXO_TRACE(2, driver::kGeneralPort, "Discovery skipped %u adapter(s) outside Adapters=: %s%s",
                       adapterCount_, adapterText_.c_str(), More(adapterCount_).c_str());
        if (cardCount_ > 0)
            VAXO_TRACE(2, driver::kGeneralPort, "Discovery skipped %u card(s) outside Cards=: %s%s", cardCount_,
                       cardText_.c_str(), More(cardCount_).c_str());
    }

private:
    static void Add(std::string* text, unsigned* count, const std::string& entry) {
        if (++*count > kMaxSkipsListed) return;
        if (!text->empty()) *text += ", ";
        *text += entry;
    }
    static std::string More(unsigned count) {
        return count > kMaxSkipsListed ? driver::FormatText(" and %u more", count - kMaxSkipsListed) : "";
    }
    std::vector<uint32_t> cards_;
    std::string cardText_, adapterText_;
    unsigned cardCount_ = 0, adapterCount_ = 0;
};

// Three queries; each attempt lasts until kReplyWaitMs pass without a reply
// (or kMaxAttemptMs in all).
int QueryAdapter(const plat::AdapterAddress& adapter, uint8_t* buffer, OverflowReport* overflow,
                 SkipReport* skipped) {
    AdapterSockets sockets;
    if (!OpenSockets(adapter.address, &sockets)) return 0;
    uint32_t broadcast = adapter.address | ~adapter.mask;
    int added = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        plat::SendTo(sockets.send, kQuery, kMagicBytes, broadcast, kCardPort);
        const uint32_t startMs = plat::TickCountMs();
        while (plat::TickCountMs() - startMs < kMaxAttemptMs &&
               plat::WaitReadable(sockets.receive, kReplyWaitMs) == 1) {
            uint32_t from = 0;
            int n = plat::ReceiveFrom(sockets.receive, buffer, kMaxDatagramBytes, &from, nullptr);
            CardEntry entry;
            if (n < 0 || !ParseAnnouncement(buffer, static_cast<size_t>(n), Announcement::kDiscoveryReply,
                                            &entry.serial))
                continue;
            entry.cardAddress = from;
            entry.localAddress = adapter.address;
            if (!driver::g_config.selection.AllowsSerial(entry.serial)) {
                skipped->NoteCard(entry);
                continue;
            }
            CardList::AddResult r = g_cardList.Add(entry);
            if (r == CardList::AddResult::kAdded) ++added;
            if (r == CardList::AddResult::kFull) overflow->Note(entry);
        }
    }
    return added;
}

}  // namespace

bool ParseAnnouncement(const uint8_t* data, size_t n, Announcement kind, uint32_t* serial) {
    if (data == nullptr || n < kMinAnnouncementBytes) return false;
    if (memcmp(data, kAnnouncementMagic, kMagicBytes - 1) != 0) return false;
    if (data[kMagicBytes - 1] != static_cast<uint8_t>(kind)) return false;
    if (data[kVersionOffset] != kAnnouncementVersion) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        size_t at = kAnnouncementSerialOffset + i;
        if (at < n) value |= static_cast<uint32_t>(data[at]) << (8 * i);
    }
    if (serial != nullptr) *serial = value;
    return true;
}

CardList::AddResult CardList::Add(const CardEntry& entry) {
    for (int i = 0; i < count_; ++i)
        if (entries_[static_cast<size_t>(i)].cardAddress == entry.cardAddress) return AddResult::kKnown;
    if (count_ >= kMaxCards) return AddResult::kFull;
    int at = 0;
    while (at < count_ && entries_[static_cast<size_t>(at)].serial <= entry.serial) ++at;
    for (int i = count_; i > at; --i) entries_[static_cast<size_t>(i)] = entries_[static_cast<size_t>(i - 1)];
    entries_[static_cast<size_t>(at)] = entry;
    ++count_;
    return AddResult::kAdded;
}

int DiscoverCards() {
    g_cardList.Clear();
    plat::AdapterAddress adapters[kMaxAdapters];
    int adapterCount = plat::ListAdapters(adapters, kMaxAdapters);
    if (adapterCount < 0) return adapterCount;
    std::vector<uint8_t> buffer(kMaxDatagramBytes, 0);
    OverflowReport overflow;
    SkipReport skipped;
    int found = 0;
    for (int a = 0; a < adapterCount; ++a) {
        if (adapters[a].address == 0) continue;
        if (!driver::g_config.selection.AllowsAdapter(adapters[a].address)) {
            skipped.NoteAdapter(adapters[a].address);
            continue;
        }
        found += QueryAdapter(adapters[a], buffer.data(), &overflow, &skipped);
    }
    skipped.Write();
    return found;
}

}  // namespace transport
