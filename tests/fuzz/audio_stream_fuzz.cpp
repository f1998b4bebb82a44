// Drives one card's audio receive path (source checks, sequence handling,
// packets sent in answer, cutting into blocks, echo cancellers) and its
// media tick cycle with a stream of steps decoded from the input; the
// stream state carries from step to step. Steps: a datagram (sequence number
// next, near or anywhere; re-sync and loss counts; lengths at and past the
// limits; another address or port; no magic), tick cycles, a change of the
// card's trunk count, a stopped play, time passing, a receive thread
// restart. Checks: every packet sent in answer has the shape of the last one
// received and carries only idle or played bytes; every block handed to a
// port holds only its channel's bytes; only the sender the stream took is
// processed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/card_link.h"
#include "core/config.h"
#include "media/audio_stream.h"
#include "media/card_media.h"
#include "platform/clock.h"

namespace {

using transport::CardLink;

constexpr uint32_t kCardAddress = 0x0200000Au;  // 10.0.0.2, network order
constexpr int kMaxSteps = 64;
// A re-sync or loss count makes the module send that many packets at once,
// each through every channel's echo canceller: counts from this up are
// taken once per input, later ones are cut below it, so that the largest
// counts stay reachable without most inputs paying for thousands of packets.
constexpr uint8_t kSmallCount = 8;
constexpr size_t kMaxDatagram = media::kAudioBufferBytes;

void Check(bool ok) {
    if (!ok) abort();
}

// The byte the card sends on channel c, and the byte the host plays on it.
uint8_t RxTag(size_t c) { return static_cast<uint8_t>(c * 37 + 11); }
uint8_t TxTag(size_t c) { return static_cast<uint8_t>(c * 73 + 5); }

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t Word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }
    // Input bytes, reused from the start, for raw payloads.
    uint8_t Cycled(size_t i) const { return size_ == 0 ? 0 : data_[i % size_]; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct Run {
    CardLink* card = nullptr;
    bool tagged = true;     // payload bytes say their channel (else raw input bytes)
    bool echoTrunk0 = false;
    uint32_t sendSeq = 0;   // next sequence number the module must send
    uint8_t markAnswer = 0;
    bool largeCountTaken = false;
};
Run g_run;

void CheckSentPacket(void*, const uint8_t* p, size_t length) {
    media::CardMedia& m = *media::MediaOf(*g_run.card);
    const int trunks = g_run.card->trunkCount.load();
    Check(length == m.lastReceivedLength && length >= media::kMinAudioPacket && length <= media::kMaxAudioPacket);
    Check(media::ValidTrunkCount(trunks));
    Check(p[0] == media::kPacketMagic0 && p[1] == media::kPacketMagic1 && p[6] == 0 && p[7] == 0);
    Check(media::PacketSequence(p) == g_run.sendSeq++);
    const size_t stride = static_cast<size_t>(trunks) * media::kTimeslotBytesPerFrame;
    const size_t used = media::kPacketHeaderBytes + media::FramesInPacket(length, trunks) * stride;
    for (size_t i = media::kPacketHeaderBytes; i < used; ++i) {
        const size_t c = (i - media::kPacketHeaderBytes) % stride;
        Check(p[i] == media::kAlawIdle || p[i] == TxTag(c));
    }
    for (size_t i = used; i < length; ++i) Check(p[i] == 0);
}

void CheckMediaCallback(uint16_t s, uint16_t t, uint32_t code, uint32_t, void* data, uint32_t length) {
    Check(s < transport::kMaxTrunks && static_cast<int>(s) < g_run.card->trunkCount.load() &&
          t < transport::kTimeslotsPerTrunk);
    const size_t c = static_cast<size_t>(s) * transport::kTimeslotsPerTrunk + t;
    auto* block = static_cast<uint8_t*>(data);
    switch (code) {
    case media::kMediaRxBlock:
        Check(block != nullptr && length == media::kBlockBytes);
        for (uint32_t i = 0; i < length; ++i) {
            const bool exact = g_run.tagged && !(s == 0 && g_run.echoTrunk0);
            Check(!exact || block[i] == RxTag(c));
        }
        break;
    case media::kMediaTxFill:
        Check(block != nullptr && length == media::kBlockBytes);
        memset(block, TxTag(c), length);
        break;
    case media::kMediaDigit:
        Check(block == nullptr);
        break;
    case media::kMediaPlayMark:
        if (block != nullptr) {
            uint32_t answer = g_run.markAnswer % 3;
            memcpy(block, &answer, sizeof answer);
            ++g_run.markAnswer;
        }
        break;
    default:
        Check(false);
    }
}

// Every block back in its free ring, as fresh pools have them (a reopen
// sets the pools up anew; allocating them for every input would be slow).
void RecyclePools(media::CardMedia& m) {
    uintptr_t item;
    for (int c = 0; c < transport::kMaxChannels; ++c) {
        media::ChannelMedia& ch = m.channels[c];
        while (ch.receive.data.Pop(&item)) ch.receive.free.Push(item);
        if (ch.rxBlock != nullptr && ch.rxBlock != m.scratch[c].bytes) {
            ch.receive.free.Push(media::RingItem(ch.rxBlock, false));
        }
        while (ch.send.data.Pop(&item)) ch.send.free.Push(media::RingItem(media::RingBlock(item), false));
        if (ch.txBlock != nullptr && ch.send.Owns(ch.txBlock)) ch.send.free.Push(media::RingItem(const_cast<uint8_t*>(ch.txBlock), false));
        if (ch.deferredTx != nullptr) ch.send.free.Push(media::RingItem(ch.deferredTx, false));
        ch.deferredTx = nullptr;
        ch.marksQueued = ch.marksHandled = 0;
        ch.markSent = 0;
        ch.flushGeneration = 0;
        ch.rxBlock = nullptr;
        ch.txBlock = nullptr;
    }
}

// A fresh receive thread on pools with every block free, as a reopen gives.
void Restart(CardLink& card) {
    RecyclePools(*media::MediaOf(card));
    media::ResetAudioReceiveState(card);
}

// One card per trunk count at set-up, its pools made once (so channels past
// its trunks have none, as on a real card whose count later changes).
CardLink& CardFor(int trunks) {
    static CardLink* cards[transport::kMaxTrunks] = {};
    CardLink*& card = cards[trunks - 1];
    if (card != nullptr) return *card;
    card = new CardLink();
    card->cardIndex = transport::kMaxCards - 1;
    card->serial = 4711;
    card->cardAddress = kCardAddress;
    card->trunkCount = trunks;
    card->mediaCallback = CheckMediaCallback;
    driver::g_config.audioBuffers = 2;
    media::PrepareCardMedia(*card);
    Check(media::SetUpAudioPools(*card));
    media::CreateEchoCancellers(*card, 0, 1);  // the shortest tail: cheap
    media::SetAudioPacketTap(*card, CheckSentPacket, nullptr);
    media::ResetAudioReceiveState(*card);
    return *card;
}

CardLink& SetUp(uint8_t setup) {
    const int trunks = 1 + (setup & 7);
    CardLink& card = CardFor(trunks);
    g_run = Run();
    g_run.card = &card;
    g_run.tagged = (setup & 0x80) == 0;
    g_run.echoTrunk0 = (setup & 0x40) != 0;
    card.trunkCount = trunks;
    card.trunks[0].echoCanceller = g_run.echoTrunk0;
    plat::SetTickOffsetForTests(0);
    media::CardMedia& m = *media::MediaOf(card);
    m.sendSequence = 0;
    m.primeEchoBuffers = (setup >> 3) & 3;
    for (int c = 0; c < trunks * transport::kTimeslotsPerTrunk; ++c) m.channels[c].dtmf.Reset();
    Restart(card);
    return card;
}

size_t PickLength(Input& in) {
    static const size_t kEdges[] = {584, 1448, 583, 1449, 0, 7, 8, 600, 1522, 1000};
    const uint8_t b = in.Byte();
    if (b < 40) return kEdges[b % (sizeof kEdges / sizeof kEdges[0])];
    return media::kMinAudioPacket + (static_cast<size_t>(b) * 7 + in.Byte()) % (media::kMaxAudioPacket - media::kMinAudioPacket + 1);
}

// The card's packet with the given header: whole frames in the current
// layout, then bytes that must never reach a block.
void BuildPacket(Input& in, uint8_t* p, size_t length, uint32_t seq, uint8_t r, uint8_t k) {
    if (length >= media::kPacketHeaderBytes) {
        p[0] = media::kPacketMagic0;
        p[1] = media::kPacketMagic1;
        media::PutPacketSequence(p, seq);
        p[6] = r;
        p[7] = k;
    }
    const int trunks = g_run.card->trunkCount.load();
    const size_t stride = static_cast<size_t>(media::ValidTrunkCount(trunks) ? trunks : 1) * media::kTimeslotBytesPerFrame;
    for (size_t i = media::kPacketHeaderBytes; i < length; ++i) {
        p[i] = g_run.tagged ? RxTag((i - media::kPacketHeaderBytes) % stride) : in.Cycled(i);
    }
    const size_t used = media::kPacketHeaderBytes + media::FramesInPacket(length, trunks) * stride;
    for (size_t i = used; i < length && g_run.tagged; ++i) p[i] = 0xEE;
}

uint8_t PacketCount(Input& in) {
    const uint8_t b = in.Byte();
    if (b < kSmallCount) return b;
    if (g_run.largeCountTaken) return b % kSmallCount;
    g_run.largeCountTaken = true;
    return b;
}

void Datagram(Input& in, CardLink& card, uint32_t* next) {
    const uint8_t how = in.Byte();
    uint32_t seq;
    switch (how & 3) {
    case 0: seq = (*next)++; break;
    case 1: seq = *next + static_cast<uint32_t>(static_cast<int8_t>(in.Byte())); *next = seq + 1; break;
    case 2: seq = in.Word(); *next = seq + 1; break;
    default: seq = *next - 1; break;
    }
    const uint8_t r = how & 4 ? PacketCount(in) : 0;
    const uint8_t k = how & 8 ? PacketCount(in) : 0;
    const size_t length = PickLength(in);
    uint32_t from = kCardAddress;
    uint16_t port = transport::kCardPort;
    if ((how & 0x30) == 0x10) port = static_cast<uint16_t>(in.Byte() | 0x8000);
    if ((how & 0x30) == 0x20) from = kCardAddress + 0x01000000u;
    uint8_t packet[kMaxDatagram];
    BuildPacket(in, packet, length, seq, r, k);
    if ((how & 0xC0) == 0xC0 && length > 1) packet[1] ^= in.Byte() | 1;

    media::CardMedia& m = *media::MediaOf(card);
    const uint64_t processed = m.stats.processed.load();
    const uint64_t sent = m.stats.sent.load();
    media::HandleAudioDatagram(card, packet, length, from, port);
    const bool taken = from == kCardAddress && media::WellFormedAudioPacket(packet, length) &&
                       media::ValidTrunkCount(card.trunkCount.load());
    if (!taken) Check(m.stats.processed.load() == processed && m.stats.sent.load() == sent);
    if (m.stats.processed.load() != processed) Check(m.source.taken() && m.source.port() == port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Input in(data, size);
    CardLink& card = SetUp(in.Byte());
    uint32_t next = in.Byte() < 128 ? 0 : in.Word();  // the card's first sequence number
    int64_t offsetMs = 0;
    for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
        const uint8_t op = in.Byte();
        switch (op % 8) {
        case 4:
            for (int i = 0; i <= op / 8 % 3; ++i) media::MediaTickCycle(card);
            break;
        case 5:
            card.trunkCount = static_cast<int>(in.Byte() % 11) - 1;
            break;
        case 6:
            media::MediaOf(card)->channels[in.Byte()].flushGeneration.fetch_add(1);
            break;
        case 7:
            if (op & 8) {
                Restart(card);
            } else {
                offsetMs += static_cast<int64_t>(in.Byte()) * 16;
                plat::SetTickOffsetForTests(offsetMs);
            }
            break;
        default:
            Datagram(in, card, &next);
        }
    }
    plat::SetTickOffsetForTests(0);
    return 0;
}
