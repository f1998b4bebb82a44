// Card set-up and close of the media side: detectors, audio socket, block
// pools, echo cancellers and the two media threads. Called by CardSetUp and
// CardClose (host thread or card listener thread) while the card's media
// threads are stopped, except where noted.
#include "media/card_media.h"

#include <algorithm>

#include "core/config.h"
#include "core/trace.h"
#include "media/audio_stream.h"
#include "platform/thread.h"

namespace media {

namespace {

using transport::CardLink;

constexpr int kAudioSocketBufferBytes = 4194304;
constexpr uint32_t kThreadJoinMs = 3000;

CardMedia* Media(CardLink& card) { return card.media.get(); }

// Pools for the channels of the card's trunks; the others have none.
void SetUpPools(CardLink& card, CardMedia& m, int trunks) {
    const int32_t configured = driver::g_config.audioBuffers;
    const int32_t count = std::min(std::max(configured, kMinAudioBuffers), kMaxAudioBuffers);
    if (count != configured) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: AudioBuffers %d taken as %d", card.cardIndex, configured, count);
    }
    int failed = 0;
    for (int c = 0; c < transport::kMaxChannels; ++c) {
        ChannelMedia& ch = m.channels[c];
        ch.deferredTx = nullptr;
        ch.marksQueued = 0;
        ch.marksHandled = 0;
        ch.markSent.store(0);
        if (c >= trunks * transport::kTimeslotsPerTrunk) {
            ch.send.Release();
            ch.receive.Release();
            continue;
        }
        // A channel without pools sends idle and loses what it receives.
        if (!ch.send.Setup(static_cast<uint32_t>(2 * count), kBlockBytes)) ++failed;
        if (!ch.receive.Setup(static_cast<uint32_t>(count), kBlockBytes)) ++failed;
    }
    KeepLastSentPacket(m);
    if (!m.echoReferences.Setup(kEchoReferenceCount, static_cast<uint32_t>(kAudioBufferBytes))) ++failed;
    if (failed > 0) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: %d audio block pools could not be allocated", card.cardIndex,
                   failed);
    }
}

bool StartThread(transport::ThreadSlot& slot, plat::Thread::Body body, CardLink& card) {
    slot.stop.store(false);
    slot.started.store(false);
    if (!slot.thread.Start(body, &card, plat::ThreadPriority::TimeCritical)) return false;
    slot.started.store(true);
    return true;
}

void JoinThread(CardLink& card, transport::ThreadSlot& slot, const char* name) {
    if (!slot.started.load()) return;
    const bool ended = slot.thread.Join(kThreadJoinMs);
    slot.started.store(false);
    if (!ended) {
        card.media->threadsLeftRunning = true;
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: %s thread did not end", card.cardIndex, name);
    }
}

void CloseRetiredSocket(CardMedia& m) {
    if (m.retiredSocket == plat::kNoSocket || m.threadsLeftRunning) return;
    plat::CloseSocket(m.retiredSocket);
    m.retiredSocket = plat::kNoSocket;
}

}  // namespace

void CardMediaDeleter::operator()(CardMedia* m) const {
    if (m == nullptr) return;
    if (m->threadsLeftRunning) return;  // a stray thread may still use it
    const plat::Socket s = m->socket.exchange(plat::kNoSocket);
    if (s != plat::kNoSocket) plat::CloseSocket(s);
    CloseRetiredSocket(*m);
    delete m;
}

void CreateCardMedia(CardLink& card) {
    if (!card.media) card.media.reset(new CardMedia());  // zeroed buffers
}

void PrepareCardMedia(CardLink& card) {
    CardMedia* m = Media(card);
    if (m == nullptr) return;
    const driver::DtmfThresholds& d = driver::g_config.dtmf;
    for (ChannelMedia& ch : m->channels) {
        ch.dtmf.Reset();
        ch.dtmf.SetThresholds(d.normalTwist, d.reverseTwist, d.rowPeak, d.colPeak, d.totalEnergy);
        ch.dtmfOn.store(true);
    }
}

bool OpenAudioSocket(CardLink& card, uint32_t localAddress) {
    CardMedia* m = Media(card);
    if (m == nullptr) return false;
    CloseAudioSocket(card);
    const plat::Socket s = plat::UdpSocket();
    if (s == plat::kNoSocket) return false;
    uint16_t port = 0;
    const bool ok = plat::Bind(s, localAddress, 0) && (port = plat::LocalPort(s)) != 0 &&
                    plat::SetBufferSizes(s, kAudioSocketBufferBytes, kAudioSocketBufferBytes) &&
                    plat::SetNonBlocking(s, true);
    if (!ok) {
        plat::CloseSocket(s);
        return false;
    }
    card.audio = s;
    card.audioPort = port;
    m->socket.store(s, std::memory_order_release);
    return true;
}

bool SetUpAudioPools(CardLink& card) {
    CardMedia* m = Media(card);
    if (m == nullptr || m->threadsLeftRunning) return false;
    const int trunks = card.trunkCount.load();
    if (!ValidTrunkCount(trunks)) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: no audio for a card with %d trunks", card.cardIndex, trunks);
        return false;
    }
    SetUpPools(card, *m, trunks);
    // Read here rather than on the receive thread, which must not touch files.
    m->primeEchoBuffers = std::min<int32_t>(std::max<int32_t>(driver::ReadCardPrimeEchoBuffers(card.serial.load()), 0),
                                            static_cast<int32_t>(kEchoReferenceCount));
    return true;
}

bool StartCardMedia(CardLink& card) {
    return SetUpAudioPools(card) && StartThread(card.mediaTick, MediaTickThread, card) &&
           StartThread(card.audioReceive, AudioReceiveThread, card);
}

void CreateEchoCancellers(CardLink& card, int trunk, int32_t tailMs) {
    CardMedia* m = Media(card);
    if (m == nullptr || trunk < 0 || trunk >= transport::kMaxTrunks) return;
    const int taps = EchoCanceller::TapsForEchoTail(tailMs);
    if (taps == 0) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u trunk %d: EchoTail %d ms gives no echo canceller",
                   card.cardIndex, trunk + 1, tailMs);
    } else if (tailMs > EchoCanceller::kMaxEchoTailMs) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u trunk %d: EchoTail %d ms taken as %d ms", card.cardIndex,
                   trunk + 1, tailMs, EchoCanceller::kMaxEchoTailMs);
    }
    int failed = 0;
    for (EchoCancellerBank& bank : m->echo[trunk]) {
        if (taps == 0) {
            bank.Destroy();  // the trunk's audio passes unchanged
        } else if (!bank.Create(kBearersPerEchoBank, taps)) {
            failed += kBearersPerEchoBank;
        }
    }
    if (failed > 0) {
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u trunk %d: %d echo cancellers could not be created",
                   card.cardIndex, trunk + 1, failed);
    }
}

namespace {

ChannelMedia* ChannelOf(uint32_t cardIndex, uint32_t trunk, uint32_t timeslot) {
    if (cardIndex >= static_cast<uint32_t>(transport::kMaxCards) || trunk >= static_cast<uint32_t>(transport::kMaxTrunks) ||
        timeslot >= static_cast<uint32_t>(transport::kTimeslotsPerTrunk)) {
        return nullptr;
    }
    CardLink* card = transport::g_cards[cardIndex];
    CardMedia* m = card != nullptr ? Media(*card) : nullptr;
    return m != nullptr ? &m->channels[trunk * transport::kTimeslotsPerTrunk + timeslot] : nullptr;
}

}  // namespace

uint64_t DroppedBlocks(const CardLink& card) {
    const CardMedia* m = card.media.get();
    return m != nullptr ? m->drops.droppedBlocks.load(std::memory_order_relaxed) : 0;
}

void CountDroppedBlock(uint32_t cardIndex) {
    if (cardIndex >= static_cast<uint32_t>(transport::kMaxCards)) return;
    CardLink* card = transport::g_cards[cardIndex];
    CardMedia* m = card != nullptr ? Media(*card) : nullptr;
    if (m != nullptr) m->drops.droppedBlocks.fetch_add(1, std::memory_order_relaxed);
}

void DropQueuedSendBlocks(uint32_t cardIndex, uint32_t trunk, uint32_t timeslot) {
    ChannelMedia* ch = ChannelOf(cardIndex, trunk, timeslot);
    if (ch != nullptr) ch->flushGeneration.fetch_add(1);
}

void TakeFillGeneration(uint32_t cardIndex, uint32_t trunk, uint32_t timeslot) {
    ChannelMedia* ch = ChannelOf(cardIndex, trunk, timeslot);
    if (ch != nullptr) ch->fillGeneration = ch->flushGeneration.load(std::memory_order_acquire);
}

void RequestMediaStop(CardLink& card) {
    card.audioReceive.stop.store(true);
    card.mediaTick.stop.store(true);
}

// The receive thread may be waiting on the socket; closing it under the
// thread would let the number be reused by another socket, so it is only
// taken from the thread here and closed once the thread has ended.
void CloseAudioSocket(CardLink& card) {
    card.audio = plat::kNoSocket;
    CardMedia* m = Media(card);
    if (m == nullptr) return;
    const plat::Socket s = m->socket.exchange(plat::kNoSocket);
    if (s == plat::kNoSocket) return;
    if (!card.audioReceive.started.load()) {
        plat::CloseSocket(s);
        return;
    }
    if (m->retiredSocket != plat::kNoSocket && !m->threadsLeftRunning) plat::CloseSocket(m->retiredSocket);
    m->retiredSocket = s;
}

void JoinAudioReceiveThread(CardLink& card) {
    if (Media(card) == nullptr) return;
    JoinThread(card, card.audioReceive, "audio receive");
    CloseRetiredSocket(*card.media);
}

void JoinMediaTickThread(CardLink& card) {
    if (Media(card) == nullptr) return;
    JoinThread(card, card.mediaTick, "media tick");
}

// A play whose last block was queued towards the line but had not gone out
// when the card's media stopped still ends, with its event, as the block is
// dropped with the pools. Runs once the media threads have ended.
void EndCutOffPlays(CardLink& card, CardMedia& m) {
    const transport::MediaCallback callback = card.mediaCallback.load();
    if (callback == nullptr) return;
    for (int c = 0; c < transport::kMaxChannels; ++c) {
        ChannelMedia& ch = m.channels[c];
        if (ch.marksHandled == ch.marksQueued) continue;
        ch.marksHandled = ch.marksQueued;
        callback(static_cast<uint16_t>(c / transport::kTimeslotsPerTrunk),
                 static_cast<uint16_t>(c % transport::kTimeslotsPerTrunk), kMediaPlayMark, card.mediaContext, nullptr,
                 0);
    }
}

void ReleaseCardMedia(CardLink& card) {
    CardMedia* m = Media(card);
    if (m == nullptr || m->threadsLeftRunning) return;
    EndCutOffPlays(card, *m);
    CloseRetiredSocket(*m);
    for (ChannelMedia& ch : m->channels) {
        ch.send.Release();
        ch.receive.Release();
        ch.deferredTx = nullptr;
    }
    for (auto& trunk : m->echo)
        for (EchoCancellerBank& bank : trunk) bank.Destroy();
    KeepLastSentPacket(*m);
    m->echoReferences.Release();
}

}  // namespace media
