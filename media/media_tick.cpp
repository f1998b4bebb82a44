// The media tick thread of a card: every 10 ms it fills each channel's next
// send block from the port's play list, runs the DTMF detector over each
// received block waiting and hands the block to the record path, all
// through the card's media callback. It also delivers the end of a play once the audio
// receive thread has flagged that the marked block went out, so that the
// receive thread itself never touches a port.
#include <algorithm>

#include "core/trace.h"
#include "media/audio_stream.h"
#include "media/card_media.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace media {

namespace {

using transport::CardLink;

constexpr uint32_t kTickMs = 10;
// Behind by more than this (a suspended process, a clock jump), the thread
// starts afresh instead of running every missed cycle back to back.
constexpr uint32_t kMaxCatchUpMs = 1000;
constexpr uint32_t kDropTraceIntervalMs = 1000;  // at most one line a second per card about dropped blocks

// Traces blocks the module dropped on the card since the last line, so
// that a load run sees them; rate-limited.
void TraceDrops(CardLink& card, CardMedia& m) {
    const uint64_t dropped = m.drops.droppedBlocks.load(std::memory_order_relaxed);
    if (dropped == m.dropsTraced) return;
    const uint32_t now = plat::TickCountMs();
    if (m.dropsTraced != 0 && now - m.dropTraceMs < kDropTraceIntervalMs) return;
    m.dropTraceMs = now;
    VAXO_TRACE(2, driver::kGeneralPort, "Card %u: %llu audio blocks dropped (%llu in all)", card.cardIndex,
               static_cast<unsigned long long>(dropped - m.dropsTraced), static_cast<unsigned long long>(dropped));
    m.dropsTraced = dropped;
}

void PlayEndStep(ChannelMedia& ch, transport::MediaCallback callback, uint32_t context, uint16_t s, uint16_t t) {
    const uint32_t sent = ch.markSent.load(std::memory_order_acquire);
    if (sent == ch.marksHandled) return;
    ch.marksHandled = sent;
    // A later play's end block already queued behind it: that one ends the play.
    if (sent == ch.marksQueued) callback(s, t, kMediaPlayMark, context, nullptr, 0);
}

void PlayStep(ChannelMedia& ch, transport::MediaCallback callback, uint32_t context, uint16_t s, uint16_t t) {
    uint8_t* block = ch.deferredTx;
    ch.deferredTx = nullptr;
    uintptr_t item;
    if (block == nullptr) {
        if (!ch.send.free.Pop(&item)) return;
        block = RingBlock(item);
    }
    BlockHeader& header = BlockPool::Header(block);
    // A fill that copies play audio takes the generation again under the
    // play lock, so a stop is seen before or after its copy as a whole.
    ch.fillGeneration = ch.flushGeneration.load(std::memory_order_acquire);
    callback(s, t, kMediaTxFill, context, block, kBlockBytes);
    header.flushGeneration = ch.fillGeneration;
    uint32_t flag = kPlayMarkNone;
    callback(s, t, kMediaPlayMark, context, &flag, 0);
    if (flag == kPlayMarkRetry) {
        ch.deferredTx = block;
        return;
    }
    const bool mark = flag == kPlayMarkEnd;
    if (mark) header.markNumber = ++ch.marksQueued;
    ch.send.data.Push(RingItem(block, mark));
}

// Every block waiting, not just one: after a burst from the card (or a late
// cycle) the whole pool is free again for the next one.
void ReceiveStep(ChannelMedia& ch, transport::MediaCallback callback, uint32_t context, uint16_t s, uint16_t t) {
    uintptr_t item;
    for (uint32_t n = ch.receive.count(); n > 0 && ch.receive.data.Pop(&item); --n) {
        uint8_t* block = RingBlock(item);
        // Timeslots 0 and 16 carry framing and signalling, never a port's digits.
        if (ch.dtmfOn.load(std::memory_order_relaxed) && t != 0 && t != transport::kDChannelTimeslot) {
            ch.dtmf.AddBlock(block, kBlockBytes);
            char digit = 0;
            while (ch.dtmf.TakeDigit(&digit) == 1 && digit != 0) {
                ch.digitsDetected.fetch_add(1, std::memory_order_relaxed);
                callback(s, t, kMediaDigit, context, nullptr, static_cast<uint8_t>(digit));
            }
        }
        callback(s, t, kMediaRxBlock, context, block, kBlockBytes);
        ch.receive.free.Push(item);
    }
}

// Counts a cycle that started lateUs after it was due.
void CountTickLateness(AudioStats& stats, uint64_t lateUs) {
    const uint64_t bucket = std::min<uint64_t>(lateUs / kTickLatenessBucketUs, kTickLatenessBuckets - 1);
    stats.tickLateness[bucket].fetch_add(1, std::memory_order_relaxed);
    stats.tickCycles.fetch_add(1, std::memory_order_relaxed);
    if (lateUs > stats.tickLateMaxUs.load(std::memory_order_relaxed))
        stats.tickLateMaxUs.store(lateUs, std::memory_order_relaxed);
}

}  // namespace

void MediaTickCycle(CardLink& card) {
    const transport::MediaCallback callback = card.mediaCallback.load();
    const int trunks = card.trunkCount.load();
    if (callback == nullptr || !ValidTrunkCount(trunks)) return;
    CardMedia& m = *card.media;
    const uint32_t context = card.mediaContext;
    for (int s = 0; s < trunks; ++s) {
        for (int t = 0; t < transport::kTimeslotsPerTrunk; ++t) {
            ChannelMedia& ch = m.channels[s * transport::kTimeslotsPerTrunk + t];
            const auto trunk = static_cast<uint16_t>(s);
            const auto slot = static_cast<uint16_t>(t);
            PlayEndStep(ch, callback, context, trunk, slot);
            PlayStep(ch, callback, context, trunk, slot);
            ReceiveStep(ch, callback, context, trunk, slot);
        }
    }
    TraceDrops(card, m);
}

void MediaTickThread(void* arg) {
    CardLink& card = *static_cast<CardLink*>(arg);
    CardMedia& m = *card.media;
    plat::SetCurrentThreadName("vaxo-media-tick");
    plat::EnterProAudioClass();
    auto next = static_cast<uint32_t>(plat::TickCountUs() / 1000u);
    while (!card.mediaTick.stop.load(std::memory_order_acquire)) {
        const uint64_t nowUs = plat::TickCountUs();
        const auto now = static_cast<uint32_t>(nowUs / 1000u);
        const uint32_t behind = now - next;
        if (behind < kTickMs) {
            plat::SleepMs(kTickMs - behind);
            continue;
        }
        next = behind > kMaxCatchUpMs ? now : next + kTickMs;
        // Due at the start of millisecond next; nowUs adds the part of the
        // current millisecond already gone.
        CountTickLateness(m.stats, uint64_t{now - next} * 1000u + nowUs % 1000u);
        const TickObserver observer = m.tickObserver.load(std::memory_order_acquire);
        if (observer != nullptr) observer(m.tickObserverContext, next);
        if (card.mediaCallback.load() != nullptr) MediaTickCycle(card);
    }
}

void SetTickObserver(CardLink& card, TickObserver observer, void* context) {
    card.media->tickObserverContext = context;
    card.media->tickObserver.store(observer, std::memory_order_release);
}

}  // namespace media
