// The audio receive thread of a card: receives the card's audio packets,
// checks their sequence, runs the echo cancellers, cuts the samples into
// 160-byte blocks per channel and sends one packet back for every packet
// received. It never allocates and never takes a lock: everything it needs
// was set up before it started, and it meets the tick thread only in rings.
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

// Puts the byte of each of n frames (stride bytes apart) of one channel in
// its current receive block, handing full blocks to the tick thread; a full
// block that had to go in the scratch block (no free block left) is counted
// as dropped. With a reference, each byte first passes the channel's echo
// canceller.
void CutChannel(ChannelMedia& ch, uint8_t* scratch, const uint8_t* src, const uint8_t* ref, size_t stride,
                uint32_t n, MediaDrops& drops) {
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
        uint8_t byte = src[k * stride];
        if (ref != nullptr) byte = ch.echo.UpdateAlaw(ref[k * stride], byte);
        ch.rxBlock[ch.rxFill++] = byte;
    }
}

void ProcessPacket(CardLink& card, CardMedia& m, const uint8_t* packet, size_t length, int trunks) {
    m.lastProcessed.store(PacketSequence(packet), std::memory_order_relaxed);
    m.stats.processed.fetch_add(1, std::memory_order_relaxed);
    uintptr_t reference = 0;
    const bool haveReference = m.echoReferences.data.Pop(&reference);
    const uint8_t* refPayload = (haveReference ? RingBlock(reference) : m.sendBuffer) + kPacketHeaderBytes;
    const uint8_t* payload = packet + kPacketHeaderBytes;
    const size_t stride = static_cast<size_t>(trunks) * kTimeslotBytesPerFrame;
    const uint32_t frames = FramesInPacket(length, trunks);
    for (int s = 0; s < trunks; ++s) {
        const bool cancel = card.trunks[s].echoCanceller.load(std::memory_order_acquire);
        for (uint32_t t = 0; t < kTimeslotBytesPerFrame; ++t) {
            const size_t c = static_cast<size_t>(s) * kTimeslotBytesPerFrame + t;
            CutChannel(m.channels[c], m.scratch[c].bytes, payload + c, cancel ? refPayload + c : nullptr, stride,
                       frames, m.drops);
        }
    }
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

void SendPacket(CardLink& card, CardMedia& m, int trunks) {
    const size_t length = m.lastReceivedLength;
    if (length < kMinAudioPacket || length > kMaxAudioPacket || !ValidTrunkCount(trunks)) return;
    uint8_t* out = m.sendBuffer;
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
    Transmit(card, m, out, length);
    uintptr_t reference;
    if (m.echoReferences.free.Pop(&reference)) {
        memcpy(RingBlock(reference), out, length);
        m.echoReferences.data.Push(reference);
    }
}

void Prime(CardMedia& m) {
    for (int32_t i = 0; i < m.primeEchoBuffers; ++i) {
        uintptr_t reference;
        if (!m.echoReferences.free.Pop(&reference)) continue;
        memset(RingBlock(reference), kAlawSmallPositive, m.lastReceivedLength);
        m.echoReferences.data.Push(reference);
    }
}

// What the sequence logic asks for, done on the card.
class StreamActions final : public AudioSequenceSink {
public:
    StreamActions(CardLink& card, CardMedia& m, int trunks) : card_(card), m_(m), trunks_(trunks) {}

    void Note(SequenceNote note, uint32_t a, uint32_t b) override {
        char text[kStatusTextChars];
        FormatSequenceNote(note, a, b, card_.serial.load(), text, sizeof text);
        ReportStatus(card_, text);
    }
    void PrimeEcho() override { Prime(m_); }
    void SendPacket() override { media::SendPacket(card_, m_, trunks_); }
    void Process(const uint8_t* packet, size_t length) override { ProcessPacket(card_, m_, packet, length, trunks_); }

private:
    CardLink& card_;
    CardMedia& m_;
    int trunks_;
};

// One datagram into the receive buffer, waiting a while for one; 0 when
// none came (or the wait failed).
int ReceiveDatagram(plat::Socket s, CardMedia& m, uint32_t* from) {
    uint16_t fromPort = 0;
    int n = plat::ReceiveFrom(s, m.receiveBuffer, sizeof m.receiveBuffer, from, &fromPort);
    if (n > 0) return n;
    const int ready = plat::WaitReadable(s, kReceiveWaitMs);
    if (ready < 0) plat::SleepMs(kFailedWaitSleepMs);
    if (ready <= 0) return 0;
    n = plat::ReceiveFrom(s, m.receiveBuffer, sizeof m.receiveBuffer, from, &fromPort);
    return n > 0 ? n : 0;
}

}  // namespace

CardMedia* MediaOf(CardLink& card) { return card.media.get(); }

void ResetAudioReceiveState(CardLink& card) {
    CardMedia& m = *card.media;
    m.sequence.Start();
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
    uintptr_t reference;
    while (m.echoReferences.data.Pop(&reference)) m.echoReferences.free.Push(reference);
}

void HandleAudioDatagram(CardLink& card, const uint8_t* data, size_t length, uint32_t fromAddress) {
    CardMedia& m = *card.media;
    m.stats.datagrams.fetch_add(1, std::memory_order_relaxed);
    const int trunks = card.trunkCount.load();
    if (data == nullptr || fromAddress != card.cardAddress || !WellFormedAudioPacket(data, length) ||
        !ValidTrunkCount(trunks)) {
        m.stats.dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    m.lastReceivedLength = static_cast<uint32_t>(length);
    StreamActions actions(card, m, trunks);
    m.sequence.Accept(data, length, actions);
}

void SendAudioPacket(CardLink& card) { SendPacket(card, *card.media, card.trunkCount.load()); }

void PrimeEchoReferences(CardLink& card) { Prime(*card.media); }

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
        uint32_t from = 0;
        const int n = ReceiveDatagram(s, m, &from);
        if (n > 0) HandleAudioDatagram(card, m.receiveBuffer, static_cast<size_t>(n), from);
    }
}

void SetAudioPacketTap(CardLink& card, PacketTap tap, void* context) {
    card.media->tap = tap;
    card.media->tapContext = context;
}

}  // namespace media
