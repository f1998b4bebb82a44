// The audio receive thread of a card: receives the card's audio packets,
// checks their sequence, runs the echo cancellers, cuts the samples into
// 160-byte blocks per channel and sends one packet back for every packet
// received. It never allocates and never takes a lock: everything it needs
// was set up before it started, and it meets the tick thread only in rings.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "media/audio_stream.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace media {

namespace {

using transport::CardLink;

constexpr int kReceiveWaitMs = 100;      // a wait ends this often to look at the stop flag
constexpr uint32_t kNoSocketSleepMs = 100;
constexpr uint32_t kFailedWaitSleepMs = 10;  // a failing wait must not spin
constexpr int kSendRetryWaitMs = 1;
constexpr size_t kStatusTextChars = 160;

// The shared idle block, sent on a channel with nothing queued; never
// returned to a pool.
struct IdleBlockStorage {
    alignas(16) uint8_t bytes[kBlockBytes];
    constexpr IdleBlockStorage() : bytes() {
        for (uint8_t& b : bytes) b = kAlawIdle;
    }
};
constexpr IdleBlockStorage kIdle{};

void ReportStatus(CardLink& card, const char* text) {
    transport::StatusCallback callback = card.statusCallback.load();
    if (callback != nullptr) callback(transport::kStatusText, card.statusContext, text, 0);
}

constexpr uint32_t kMaxFramesPerPacket =
    static_cast<uint32_t>((kMaxAudioPacket - kPacketHeaderBytes) / kTimeslotBytesPerFrame);

// Puts the byte of each of n frames (stride bytes apart) of one channel in
// its current receive block, handing full blocks to the tick thread; a full
// block that had to go in the scratch block (no free block left) is counted
// as dropped.
void CutChannel(ChannelMedia& ch, uint8_t* scratch, const uint8_t* src, size_t stride, uint32_t n,
                MediaDrops& drops) {
    if (n > kMaxFramesPerPacket) n = kMaxFramesPerPacket;
    for (uint32_t k = 0; k < n; ++k) {
        if (ch.rxFill == kBlockBytes) {
            if (ch.rxBlock != scratch) {
                ch.receive.data.Push(RingItem(ch.rxBlock, false));
            } else if (ch.rxStarved) {
                drops.droppedBlocks.fetch_add(1, std::memory_order_relaxed);
            }
            uintptr_t item;
            ch.rxStarved = !ch.receive.free.Pop(&item);
            ch.rxBlock = ch.rxStarved ? scratch : RingBlock(item);
            ch.rxFill = 0;
        }
        ch.rxBlock[ch.rxFill++] = src[k * stride];
    }
}

// The canceller's levels for GetInfo; zero while it does not run.
void PublishEchoLevels(ChannelMedia& ch, const EchoCancellerBank* bank, int lane) {
    const int32_t rx = bank != nullptr ? bank->levelRx(lane) : 0;
    const int32_t clean = bank != nullptr ? bank->levelClean(lane) : 0;
    if (ch.echoLevelRx.load(std::memory_order_relaxed) != rx) ch.echoLevelRx.store(rx, std::memory_order_relaxed);
    if (ch.echoLevelClean.load(std::memory_order_relaxed) != clean)
        ch.echoLevelClean.store(clean, std::memory_order_relaxed);
}

// Counts what the sequence logic noticed (relaxed counters for GetInfo).
void CountSequenceNote(AudioStats& stats, SequenceNote note, uint32_t a, uint32_t b) {
    switch (note) {
    case SequenceNote::kLost: stats.cardLost.fetch_add(a, std::memory_order_relaxed); break;
    case SequenceNote::kDuplicate: stats.duplicates.fetch_add(1, std::memory_order_relaxed); break;
    case SequenceNote::kTooManyDuplicates: stats.resyncs.fetch_add(1, std::memory_order_relaxed); break;
    case SequenceNote::kLoss:
        stats.resyncs.fetch_add(1, std::memory_order_relaxed);
        stats.lost.fetch_add(b - a, std::memory_order_relaxed);
        break;
    }
}

// Offsets of a bank's channels from its first timeslot.
struct EchoLaneOffsets {
    uint16_t offset[kBearersPerEchoBank];
    constexpr EchoLaneOffsets() : offset() {
        for (int l = 0; l < kBearersPerEchoBank; ++l) offset[l] = static_cast<uint16_t>(l);
    }
};
constexpr EchoLaneOffsets kEchoLanes{};
static_assert(kMaxFramesPerPacket <= EchoCancellerBank::kMaxFrames, "a bank cleans a whole packet at once");

// Cuts one trunk's channels of packets into their blocks, as they came
// (no canceller on the trunk).
void CutTrunk(CardMedia& m, int s, const CardMedia::DeferredCut* cuts, int count, size_t stride, int trunks) {
    for (int t = 0; t < transport::kTimeslotsPerTrunk; ++t) {
        const size_t c = static_cast<size_t>(s) * kTimeslotBytesPerFrame + static_cast<size_t>(t);
        for (int i = 0; i < count; ++i)
            CutChannel(m.channels[c], m.scratch[c].bytes, cuts[i].packet + kPacketHeaderBytes + c, stride,
                       FramesInPacket(cuts[i].length, trunks), m.drops);
        PublishEchoLevels(m.channels[c], nullptr, 0);
    }
}

// The same through the trunk's cancellers, packet by packet: both banks clean
// the packet's frames of their channels side by side, then every channel is
// cut (framing and D-channel timeslots as they came: their audio reaches no
// port, so they have no canceller).
void CutTrunkCancelled(CardMedia& m, int s, const CardMedia::DeferredCut* cuts, int count,
                       const uint8_t* const* refs, size_t stride, int trunks) {
    uint8_t cleaned[kEchoBanksPerTrunk][kBearersPerEchoBank][kMaxFramesPerPacket];
    const size_t trunkBase = static_cast<size_t>(s) * kTimeslotBytesPerFrame;
    for (int i = 0; i < count; ++i) {
        const uint32_t frames = std::min(FramesInPacket(cuts[i].length, trunks), kMaxFramesPerPacket);
        const uint8_t* rx = cuts[i].packet + kPacketHeaderBytes + trunkBase;
        const uint8_t* tx = refs[i] + kPacketHeaderBytes + trunkBase;
        for (int b = 0; b < kEchoBanksPerTrunk; ++b) {
            const size_t first = static_cast<size_t>(EchoBankFirstTimeslot(b));
            m.echo[s][b].UpdateAlaw(tx + first, rx + first, kEchoLanes.offset, stride, frames, &cleaned[b][0][0],
                                    kMaxFramesPerPacket);
        }
        for (int t = 0; t < transport::kTimeslotsPerTrunk; ++t) {
            const size_t c = trunkBase + static_cast<size_t>(t);
            const bool bearer = t != 0 && t != transport::kDChannelTimeslot;
            const int b = t < transport::kDChannelTimeslot ? 0 : 1;
            if (bearer) {
                CutChannel(m.channels[c], m.scratch[c].bytes, cleaned[b][t - EchoBankFirstTimeslot(b)], 1, frames,
                           m.drops);
            } else {
                CutChannel(m.channels[c], m.scratch[c].bytes, rx + t, stride, frames, m.drops);
            }
        }
    }
    for (int t = 0; t < transport::kTimeslotsPerTrunk; ++t) {
        const bool bearer = t != 0 && t != transport::kDChannelTimeslot;
        const int b = t < transport::kDChannelTimeslot ? 0 : 1;
        PublishEchoLevels(m.channels[trunkBase + static_cast<size_t>(t)], bearer ? &m.echo[s][b] : nullptr,
                          t - EchoBankFirstTimeslot(b));
    }
}

// Cuts packets into the channels, trunk by trunk (a channel's samples stay
// in packet order). refs[i] is the echo reference of packets[i] (its payload
// follows the same header).
void CutPackets(CardLink& card, CardMedia& m, const CardMedia::DeferredCut* cuts, int count,
                const uint8_t* const* refs, int trunks) {
    const size_t stride = static_cast<size_t>(trunks) * kTimeslotBytesPerFrame;
    for (int s = 0; s < trunks; ++s) {
        const bool cancel = card.trunks[s].echoCanceller.load(std::memory_order_acquire) && refs != nullptr &&
                            m.echo[s][0].created() && m.echo[s][1].created();
        if (cancel) {
            CutTrunkCancelled(m, s, cuts, count, refs, stride, trunks);
        } else {
            CutTrunk(m, s, cuts, count, stride, trunks);
        }
    }
}

// Cuts the packets deferred in the current batch and gives their echo
// references back.
void FlushCuts(CardLink& card, CardMedia& m, int trunks) {
    if (m.cutCount == 0) return;
    if (!ValidTrunkCount(trunks)) trunks = 0;  // only the references go back
    const uint8_t* refs[kReceiveBatch];
    for (int i = 0; i < m.cutCount; ++i) refs[i] = RingBlock(m.cuts[i].reference);
    CutPackets(card, m, m.cuts, m.cutCount, refs, trunks);
    for (int i = 0; i < m.cutCount; ++i) m.echoReferences.free.Push(m.cuts[i].reference);
    m.cutCount = 0;
}

bool InBatch(const CardMedia& m, const uint8_t* packet) {
    for (int i = 0; i < m.batchCount; ++i)
        if (packet == m.batch[i].data) return true;
    return false;
}

// The sequence logic's "process this packet". Inside a batch the cut waits
// for the end of the batch, with the echo reference taken now, in its turn.
// It is done at once when the packet is not one of the batch's own buffers
// (the sequence logic's held packet, or a datagram past kReceiveBatch), or
// when there is no reference (the last sent packet is the reference then,
// and later sends would overwrite it).
void ProcessPacket(CardLink& card, CardMedia& m, const uint8_t* packet, size_t length, int trunks) {
    m.lastProcessed.store(PacketSequence(packet), std::memory_order_relaxed);
    m.stats.processed.fetch_add(1, std::memory_order_relaxed);
    uintptr_t reference = 0;
    const bool haveReference = m.echoReferences.data.Pop(&reference);
    if (haveReference && m.cutCount < kReceiveBatch && InBatch(m, packet)) {
        m.cuts[m.cutCount++] = CardMedia::DeferredCut{packet, length, reference};
        return;
    }
    FlushCuts(card, m, trunks);
    const CardMedia::DeferredCut cut{packet, length, reference};
    const uint8_t* ref = haveReference ? RingBlock(reference) : m.lastSent;
    CutPackets(card, m, &cut, 1, &ref, trunks);
    if (haveReference) m.echoReferences.free.Push(reference);
}

// Moves the channel on to its next send block; blocks filled before the
// latest flush are dropped on the way.
void NextSendBlock(ChannelMedia& ch, uint32_t generation) {
    if (ch.txBlock != kIdle.bytes) ch.send.free.Push(RingItem(const_cast<uint8_t*>(ch.txBlock), false));
    ch.txBlock = kIdle.bytes;
    ch.txPos = 0;
    uintptr_t item;
    while (ch.send.data.Pop(&item)) {
        uint8_t* block = RingBlock(item);
        const BlockHeader& header = BlockPool::Header(block);
        if (header.flushGeneration != generation) {
            ch.send.free.Push(RingItem(block, false));
            continue;
        }
        if (RingMark(item)) ch.markSent.store(header.markNumber, std::memory_order_release);
        ch.txBlock = block;
        return;
    }
}

void FeedChannel(ChannelMedia& ch, uint8_t* out, size_t stride, uint32_t n) {
    const uint32_t generation = ch.flushGeneration.load(std::memory_order_acquire);
    if (ch.txBlock != kIdle.bytes &&
        BlockPool::Header(const_cast<uint8_t*>(ch.txBlock)).flushGeneration != generation) {
        NextSendBlock(ch, generation);  // stopped play: silence at once
    }
    for (uint32_t k = 0; k < n; ++k) {
        if (ch.txPos == kBlockBytes) NextSendBlock(ch, generation);
        out[k * stride] = ch.txBlock[ch.txPos++];
    }
}

void Transmit(CardLink& card, CardMedia& m, const uint8_t* packet, size_t length) {
    m.stats.sent.fetch_add(1, std::memory_order_relaxed);
    if (m.tap != nullptr) {
        m.tap(m.tapContext, packet, length);
        return;
    }
    const plat::Socket s = m.socket.load(std::memory_order_acquire);
    if (s == plat::kNoSocket) return;
    int sent = plat::SendTo(s, packet, length, card.cardAddress, transport::kCardPort);
    if (sent < 0 && plat::LastErrorWouldBlock() && plat::WaitWritable(s, kSendRetryWaitMs) > 0) {
        sent = plat::SendTo(s, packet, length, card.cardAddress, transport::kCardPort);
    }
    if (sent < 0) m.stats.sendFailures.fetch_add(1, std::memory_order_relaxed);
}

// Builds the packet straight into a free echo reference buffer when there
// is one (it goes on the reference ring as it is), else into the send
// buffer; lastSent points at it either way.
void SendPacket(CardLink& card, CardMedia& m, int trunks) {
    // A deferred cut holds its reference until the batch ends; a send that
    // finds no free reference would have found the ones given back by then.
    if (m.cutCount > 0 && m.echoReferences.free.Empty()) FlushCuts(card, m, trunks);
    const size_t length = m.lastReceivedLength;
    if (length < kMinAudioPacket || length > kMaxAudioPacket || !ValidTrunkCount(trunks)) return;
    uintptr_t reference = 0;
    const bool haveReference = m.echoReferences.free.Pop(&reference);
    uint8_t* out = haveReference ? RingBlock(reference) : m.sendBuffer;
    out[0] = kPacketMagic0;
    out[1] = kPacketMagic1;
    PutPacketSequence(out, m.sendSequence++);
    out[kPacketResyncOffset] = 0;
    out[kPacketLostOffset] = 0;
    const size_t stride = static_cast<size_t>(trunks) * kTimeslotBytesPerFrame;
    const uint32_t frames = FramesInPacket(length, trunks);
    for (size_t c = 0; c < stride; ++c) FeedChannel(m.channels[c], out + kPacketHeaderBytes + c, stride, frames);
    const size_t used = kPacketHeaderBytes + frames * stride;
    memset(out + used, 0, length - used);  // bytes after the last whole frame
    m.lastSent = out;
    Transmit(card, m, out, length);
    if (haveReference) m.echoReferences.data.Push(reference);
}

void Prime(CardLink& card, CardMedia& m, int trunks) {
    FlushCuts(card, m, trunks);
    for (int32_t i = 0; i < m.primeEchoBuffers; ++i) {
        uintptr_t reference;
        if (!m.echoReferences.free.Pop(&reference)) continue;
        // The last sent packet stays the fallback reference.
        if (RingBlock(reference) == m.lastSent) KeepLastSentPacket(m);
        memset(RingBlock(reference), kAlawSmallPositive, m.lastReceivedLength);
        m.echoReferences.data.Push(reference);
    }
}

// What the sequence logic asks for, done on the card.
class StreamActions final : public AudioSequenceSink {
public:
    StreamActions(CardLink& card, CardMedia& m, int trunks) : card_(card), m_(m), trunks_(trunks) {}

    void Note(SequenceNote note, uint32_t a, uint32_t b) override {
        CountSequenceNote(m_.stats, note, a, b);
        char text[kStatusTextChars];
        FormatSequenceNote(note, a, b, card_.serial.load(), text, sizeof text);
        ReportStatus(card_, text);
    }
    void PrimeEcho() override { Prime(card_, m_, trunks_); }
    void SendPacket() override { media::SendPacket(card_, m_, trunks_); }
    void Process(const uint8_t* packet, size_t length) override { ProcessPacket(card_, m_, packet, length, trunks_); }

private:
    CardLink& card_;
    CardMedia& m_;
    int trunks_;
};

// Takes what is queued on the socket into the batch buffers, waiting a while
// when nothing is; 0 when none came (or the wait failed).
int ReceiveDatagrams(plat::Socket s, CardMedia& m, plat::Datagram* slots) {
    for (int i = 0; i < kReceiveBatch; ++i) {
        slots[i].data = m.receiveBuffers[i];
        slots[i].capacity = kAudioBufferBytes;
    }
    const int n = plat::ReceiveBatch(s, slots, kReceiveBatch);
    if (n > 0) return n;
    const int ready = plat::WaitReadable(s, kReceiveWaitMs);
    if (ready < 0) plat::SleepMs(kFailedWaitSleepMs);
    if (ready <= 0) return 0;
    const int again = plat::ReceiveBatch(s, slots, kReceiveBatch);
    return again > 0 ? again : 0;
}

}  // namespace

CardMedia* MediaOf(CardLink& card) { return card.media.get(); }

void ResetAudioReceiveState(CardLink& card) {
    CardMedia& m = *card.media;
    m.sequence.Start();
    m.source.Reset();
    m.lastReceivedLength = 0;
    memset(m.scratch, 0, sizeof m.scratch);
    for (int c = 0; c < transport::kMaxChannels; ++c) {
        ChannelMedia& ch = m.channels[c];
        ch.rxBlock = m.scratch[c].bytes;  // the first block after a start is not delivered
        ch.rxFill = 0;
        ch.rxStarved = false;
        ch.txBlock = kIdle.bytes;
        ch.txPos = 0;
    }
    for (int i = 0; i < m.cutCount; ++i) m.echoReferences.free.Push(m.cuts[i].reference);
    m.cutCount = 0;
    m.batch = nullptr;
    m.batchCount = 0;
    uintptr_t reference;
    while (m.echoReferences.data.Pop(&reference)) m.echoReferences.free.Push(reference);
}

void HandleAudioDatagram(CardLink& card, const uint8_t* data, size_t length, uint32_t fromAddress,
                         uint16_t fromPort) {
    CardMedia& m = *card.media;
    m.stats.datagrams.fetch_add(1, std::memory_order_relaxed);
    const int trunks = card.trunkCount.load();
    // Another host on the LAN may send from the card's address; one that
    // does so from another port while the card streams is kept out.
    if (data == nullptr || fromAddress != card.cardAddress || !WellFormedAudioPacket(data, length) ||
        !ValidTrunkCount(trunks) || !m.source.Admit(fromPort, plat::TickCountMs())) {
        m.stats.dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    m.lastReceivedLength = static_cast<uint32_t>(length);
    StreamActions actions(card, m, trunks);
    m.sequence.Accept(data, length, actions);
}

void HandleAudioDatagrams(CardLink& card, const plat::Datagram* datagrams, int count) {
    CardMedia& m = *card.media;
    if (datagrams == nullptr || count <= 0) return;
    m.batch = datagrams;
    m.batchCount = count < kReceiveBatch ? count : kReceiveBatch;
    for (int i = 0; i < count; ++i) {
        const plat::Datagram& d = datagrams[i];
        if (d.length > 0)
            HandleAudioDatagram(card, static_cast<const uint8_t*>(d.data), static_cast<size_t>(d.length),
                                d.fromAddress, d.fromPort);
    }
    m.batch = nullptr;
    m.batchCount = 0;
    FlushCuts(card, m, card.trunkCount.load());
}

void KeepLastSentPacket(CardMedia& m) {
    if (m.lastSent == m.sendBuffer || m.lastSent == nullptr) return;
    memcpy(m.sendBuffer, m.lastSent, kAudioBufferBytes);
    m.lastSent = m.sendBuffer;
}

void SendAudioPacket(CardLink& card) { SendPacket(card, *card.media, card.trunkCount.load()); }

void PrimeEchoReferences(CardLink& card) { Prime(card, *card.media, card.trunkCount.load()); }

void AudioReceiveThread(void* arg) {
    CardLink& card = *static_cast<CardLink*>(arg);
    CardMedia& m = *card.media;
    plat::SetCurrentThreadName("vaxo-audio-rx");
    plat::EnterProAudioClass();
    ResetAudioReceiveState(card);
    while (!card.audioReceive.stop.load(std::memory_order_acquire)) {
        const plat::Socket s = m.socket.load(std::memory_order_acquire);
        if (s == plat::kNoSocket) {
            plat::SleepMs(kNoSocketSleepMs);
            continue;
        }
        plat::Datagram slots[kReceiveBatch];
        const int n = ReceiveDatagrams(s, m, slots);
        if (n > 0) HandleAudioDatagrams(card, slots, n);
    }
}

void SetAudioPacketTap(CardLink& card, PacketTap tap, void* context) {
    card.media->tap = tap;
    card.media->tapContext = context;
}

}  // namespace media
