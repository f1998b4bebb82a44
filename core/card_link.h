// The record of one card: connection, card facts, per-trunk signalling
// state, callbacks, threads and audio stream. The card table holds 20 of
// them for the life of the module. CardSetUp/CardClose run on the host's
// thread (Init/Shutdown) or the card listener thread; the card's
// signalling, audio receive and media tick threads use it while it is open.
// The record lives on the ground floor because every subsystem reads it;
// transport builds the table (transport/card_table.cpp) and gives each card
// its media state there.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/limits.h"
#include "platform/lock.h"
#include "platform/shared_file.h"
#include "platform/socket.h"
#include "platform/thread.h"

#include "core/pri_api.h"  // pri_event is an unnamed union: no forward declaration

namespace media {
struct CardMedia;
struct CardMediaDeleter {
    void operator()(CardMedia* m) const;  // defined by the media subsystem
};
}

namespace transport {

// The card limits of core/limits.h, under the names transport code uses.
using driver::kCardPort;
using driver::kChannelsPerTrunk;
using driver::kDChannelTimeslot;
using driver::kMaxCards;
using driver::kMaxChannels;
using driver::kMaxTrunks;
using driver::kTimeslotsPerTrunk;
constexpr uint8_t kLineStatusUnknown = 3;
constexpr uint8_t kLineStatusUp = 0;

// Callbacks a card raises; each gets the context value registered with it.
using MediaCallback = void (*)(uint16_t trunk, uint16_t timeslot, uint32_t code, uint32_t context, void* data,
                               uint32_t length);
using CardEventCallback = void (*)(uint16_t link, uint32_t code, uint32_t context, uint16_t value16,
                                   uint8_t value8);
using StatusCallback = void (*)(uint32_t kind, uint32_t cardIndex, const char* text, uint32_t flag);
using PriEventCallback = void (*)(uint16_t trunk, uint16_t channel, uint32_t code, uint32_t context,
                                  struct pri* controller, pri_event* event);

// Card event codes.
enum CardEvent : uint32_t {
    kCardDChannelUp = 0x101,
    kCardDChannelDown = 0x102,
    kCardLineStatus = 0x104,
    kCardHdlcError = 0x106,
    kCardConfigError = 0x107,
    kCardLinkReset = 0x108,
    kCardRegisterValue = 0x109,
    kCardTimerPass = 0x10A,  // raised per trunk by the signalling thread every kTimerPassMs
};

// Status callback kinds.
enum StatusKind : uint32_t { kStatusText = 1, kStatusUpDown = 3 };

struct TrunkLink {
    plat::RecursiveLock lock;  // guards the controller and every libpri call on it
    struct pri* controller = nullptr;
    int32_t clientType = 2;
    int32_t switchType = 5;
    int32_t numberType = 33;
    std::atomic<uint8_t> lineStatus{kLineStatusUnknown};
    std::atomic<bool> echoCanceller{false};
    bool hangupOnAlerting = false;
    bool captureOn = false;
    plat::AppendFile capture;
    plat::RecursiveLock captureLock;  // lines come from two threads
    // A frame handed to libpri through its read callback (under the lock).
    const uint8_t* pendingFrame = nullptr;
    int pendingLength = 0;
    // Crc4 setting of the trunk, sent again by a link reset.
    int32_t crc4 = 0;
    // Last D-channel state libpri reported; an up that came before the
    // callbacks were registered is raised again once they are.
    std::atomic<bool> dchannelUp{false};
};

struct ThreadSlot {
    plat::Thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> started{false};
};

struct CardLink {
    CardLink();
    ~CardLink();
    CardLink(const CardLink&) = delete;
    CardLink& operator=(const CardLink&) = delete;

    uint32_t cardIndex = 0;

    // Card facts, from the card information. The texts are written by the
    // signalling thread and read by start-up: factsLock guards them.
    std::atomic<uint32_t> serial{0};
    std::atomic<int32_t> trunkCount{0};  // as the card reported it; see UsableTrunks
    uint8_t firmwareVersion = 0;
    uint32_t featureFlags = 0;
    std::string firmwareDate;
    std::string burnDate;
    plat::RecursiveLock factsLock;
    std::atomic<uint32_t> infoReceived{0};
    std::atomic<uint32_t> infoRejected{0};

    // Connection.
    uint32_t cardAddress = 0;  // network byte order
    std::atomic<plat::Socket> control{plat::kNoSocket};
    // The card ended the control connection or a receive on it failed; set
    // and cleared by the signalling thread (the silence check still decides
    // when the card is down).
    std::atomic<bool> controlEnded{false};
    // Taken from the signalling thread by CardClose; closed once the thread
    // has ended (kept for good when it does not end).
    plat::Socket retiredControl = plat::kNoSocket;
    plat::RecursiveLock controlLock;  // a send and the closing of the control socket exclude each other
    plat::Socket audio = plat::kNoSocket;
    uint16_t audioPort = 0;
    uint8_t txBuffer[256];
    uint32_t txLength = 0;
    plat::RecursiveLock txLock;  // the transmit buffer is shared by set-up and link resets
    std::atomic<uint8_t> open{0};
    // The card was reported down since its last set-up.
    std::atomic<bool> downReported{false};

    TrunkLink trunks[kMaxTrunks];

    // Callbacks (registered once by StartTransport).
    std::atomic<MediaCallback> mediaCallback{nullptr};
    uint32_t mediaContext = 0;
    std::atomic<CardEventCallback> cardEventCallback{nullptr};
    uint32_t cardEventContext = 0;
    std::atomic<StatusCallback> statusCallback{nullptr};
    uint32_t statusContext = 0;
    std::atomic<PriEventCallback> priEventCallback{nullptr};
    uint32_t priEventContext = 0;
    // Port number of the card's first port (for call control and media).
    uint32_t firstPort = 0;
    uint32_t trunkBase = 0;
    // Trunks that own ports, fixed by start-up: only these get a libpri
    // controller and card events. kMaxTrunks until start-up decides.
    std::atomic<int32_t> portTrunks{kMaxTrunks};
    // Start-up found no room for the card's ports: it stays closed and is
    // not reopened.
    std::atomic<bool> refused{false};

    ThreadSlot signalling;
    ThreadSlot audioReceive;
    ThreadSlot mediaTick;

    // Audio stream state, owned by the media subsystem.
    std::unique_ptr<media::CardMedia, media::CardMediaDeleter> media;
};

extern CardLink* g_cards[kMaxCards];
// Card link of an index 0..kMaxCards-1 (the table is built on first use).
CardLink& Card(int index);
// Null for an index outside the table.
CardLink* FindCard(int index);

// The card's trunk count when it lies within 1..kMaxTrunks, else 0: a card
// that reported no usable count has no trunks to index.
int UsableTrunks(const CardLink& card);

}  // namespace transport
