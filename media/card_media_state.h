// The audio stream state of one card, fixed in size when the card link is
// constructed. Card set-up and close (host thread or card listener) set it
// up and release it while the media threads are stopped; the audio receive
// thread and the media tick thread share it through the block rings only;
// host threads touch nothing but the channels' flush generations.
#pragma once
#include <atomic>
#include <cstdint>

#include "media/audio_packet.h"
#include "media/audio_sequence.h"
#include "media/audio_source_gate.h"
#include "media/block_ring.h"
#include "media/dtmf_decode.h"
#include "media/echo_canceller.h"
#include "media/echo_canceller_bank.h"
#include "media/g711.h"
#include "platform/socket.h"
#include "core/card_link.h"

namespace media {

constexpr uint32_t kEchoReferenceCount = 128;  // buffers of kAudioBufferBytes
constexpr int32_t kMaxAudioBuffers = 256;      // receive blocks per channel (5.12 s); send pools hold twice
constexpr int32_t kMinAudioBuffers = 1;
// Datagrams the audio receive thread takes per wake-up at most.
constexpr int kReceiveBatch = 8;

struct ScratchBlock {
    alignas(16) uint8_t bytes[kBlockBytes];
};

// One timeslot of one trunk.
struct ChannelMedia {
    BlockPool send;     // data ring: tick thread -> receive thread; free ring: back
    BlockPool receive;  // data ring: receive thread -> tick thread; free ring: back

    // Audio receive thread only.
    const uint8_t* txBlock = nullptr;  // block going out (the idle block when none)
    uint32_t txPos = 0;
    uint8_t* rxBlock = nullptr;  // block being filled (the scratch block when none was free)
    uint32_t rxFill = 0;
    bool rxStarved = false;  // rxBlock is the scratch block because no free block was left

    // Media tick thread only.
    uint8_t* deferredTx = nullptr;  // send block whose fill found the play lock taken
    uint32_t fillGeneration = 0;    // flush generation of the block being filled
    uint32_t marksQueued = 0;       // number of the latest play mark queued
    uint32_t marksHandled = 0;      // latest going-out of a mark already looked at
    CDtmfDecode dtmf;

    std::atomic<bool> dtmfOn{false};
    // Host threads bump it to silence what is queued: send blocks filled
    // under an older generation are dropped by the receive thread.
    std::atomic<uint32_t> flushGeneration{0};
    // Receive thread: number of the last marked block that started to go out.
    std::atomic<uint32_t> markSent{0};

    // Published for GetInfo (relaxed): digits the tick thread detected, and
    // the canceller's received and cleaned levels after each packet the
    // receive thread ran it on (0 and 0 while it does not run).
    std::atomic<uint32_t> digitsDetected{0};
    std::atomic<int32_t> echoLevelRx{0};
    std::atomic<int32_t> echoLevelClean{0};
};

// Lateness of the media tick cycles, counted in buckets of
// kTickLatenessBucketUs; the last bucket takes everything later.
constexpr uint32_t kTickLatenessBucketUs = 100;
constexpr uint32_t kTickLatenessBuckets = 201;  // up to 20 ms, then later ones


// Counters for tests and diagnostics (relaxed).
struct AudioStats {
    std::atomic<uint64_t> datagrams{0};  // handed to the stream, before any check
    std::atomic<uint64_t> dropped{0};    // wrong address or port, length, magic or trunk count
    std::atomic<uint64_t> processed{0};
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> sendFailures{0};
    // Sequence checks of the card's stream.
    std::atomic<uint64_t> lost{0};          // packets missing in the card's stream
    std::atomic<uint64_t> duplicates{0};    // old or repeated packets
    std::atomic<uint64_t> resyncs{0};       // sequence restarts after losses or duplicates
    std::atomic<uint64_t> cardLost{0};      // the module's packets the card reported lost
    // Media tick thread: cycles run and how late each started.
    std::atomic<uint64_t> tickCycles{0};
    std::atomic<uint64_t> tickLateMaxUs{0};
    std::atomic<uint64_t> tickLateness[kTickLatenessBuckets] = {};
};

// Blocks the module itself lost on a card's channels: a full receive block
// that found no free block to go on in (the tick thread fell behind by more
// than the pool), or a received block the record path could not keep. Any
// thread adds (relaxed) and reads.
struct MediaDrops {
    std::atomic<uint64_t> droppedBlocks{0};
};

// Test and benchmark seams: where sent packets go instead of the socket, and
// a look at every tick cycle as it starts.
using PacketTap = void (*)(void* context, const uint8_t* packet, size_t length);
using TickObserver = void (*)(void* context, uint32_t dueMs);

// A trunk's bearer channels as its two canceller banks hold them: timeslots
// 1-15 in the first, 17-31 in the second, lane = timeslot - first timeslot.
constexpr int kEchoBanksPerTrunk = 2;
constexpr int kBearersPerEchoBank = transport::kDChannelTimeslot - 1;  // 15
static_assert(kBearersPerEchoBank <= EchoCancellerBank::kMaxChannels, "a bank holds half a trunk");
constexpr int EchoBankFirstTimeslot(int bank) { return bank == 0 ? 1 : transport::kDChannelTimeslot + 1; }

struct CardMedia {
    ChannelMedia channels[transport::kMaxChannels];
    EchoCancellerBank echo[transport::kMaxTrunks][kEchoBanksPerTrunk];  // audio receive thread
    ScratchBlock scratch[transport::kMaxChannels];  // audio receive thread only
    BlockPool echoReferences;                        // audio receive thread on both sides
    AudioSequence sequence;                          // audio receive thread only
    AudioSourceGate source;                          // audio receive thread only

    std::atomic<plat::Socket> socket{plat::kNoSocket};
    plat::Socket retiredSocket = plat::kNoSocket;  // closed once the receive thread has ended

    // Audio receive thread only. The packets of one batch are cut into the
    // channels after the whole batch went through the sequence logic, channel
    // by channel over all of them, so each canceller's state is fetched once
    // per batch; cuts[] holds what the sequence logic asked to be processed.
    struct DeferredCut {
        const uint8_t* packet;
        size_t length;
        uintptr_t reference;  // echo reference taken for it (its turn in the ring)
    };
    uint8_t receiveBuffers[kReceiveBatch][kAudioBufferBytes];
    DeferredCut cuts[kReceiveBatch];
    int cutCount = 0;
    const plat::Datagram* batch = nullptr;  // the batch being handled (cuts may wait)
    int batchCount = 0;
    uint8_t sendBuffer[kAudioBufferBytes];  // a packet built when no echo reference buffer was free
    const uint8_t* lastSent = sendBuffer;   // the packet sent last (reference when none is queued)
    uint32_t lastReceivedLength = 0;  // 0 until the first packet
    uint32_t sendSequence = 0;        // kept across reconnects

    std::atomic<uint32_t> lastProcessed{0xFFFFFFFFu};
    int32_t primeEchoBuffers = 0;    // read at set-up, at most kEchoReferenceCount
    bool threadsLeftRunning = false;  // a media thread did not end: keep the state alive

    AudioStats stats;
    MediaDrops drops;
    // Media tick thread only: the count last traced, and when.
    uint64_t dropsTraced = 0;
    uint32_t dropTraceMs = 0;

    PacketTap tap = nullptr;
    void* tapContext = nullptr;
    std::atomic<TickObserver> tickObserver{nullptr};
    void* tickObserverContext = nullptr;
};

}  // namespace media
