// Play engine: host threads queue play blocks on a port's wave; the card's
// media tick thread copies them into send blocks and marks the block that
// ends a play; the end is posted once that block has started to go out.
#include "media/play.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/device.h"
#include "core/trace.h"
#include "media/audio_stream.h"
#include "media/card_media.h"
#include "media/wave_paths.h"

namespace media {

namespace {

constexpr int kErrorChars = 160;

void Fail(driver::CDevice& port, const char* text) {
    port.SetError(text);
    VAXO_TRACE(2, static_cast<int>(port.portNumber), "%s", text);
}

PlayBlock* NewPlayBlock(CWave& wave, const void* buffer, int size, bool cached) {
    auto* block = new (std::nothrow) PlayBlock;
    if (block == nullptr) return nullptr;
    block->owner = &wave;
    block->size = static_cast<uint32_t>(size);
    // An empty play keeps no pointer at all: the host's buffer is neither
    // copied nor freed, whatever the buffer is.
    if (size == 0) return block;
    block->cached = cached;
    if (cached) {
        block->data = static_cast<const uint8_t*>(buffer);
        return block;
    }
    auto* copy = new (std::nothrow) uint8_t[static_cast<size_t>(size)];
    if (copy == nullptr) {
        delete block;
        return nullptr;
    }
    memcpy(copy, buffer, static_cast<size_t>(size));
    block->data = copy;
    return block;
}

void AppendChain(PlayBlock** chain, PlayBlock* more) {
    if (more == nullptr) return;
    PlayBlock** end = chain;
    while (*end != nullptr) end = &(*end)->next;
    *end = more;
}

// Appends a block and starts (or continues) the play; frees the blocks the
// fill has used up since the last call, outside the lock.
void QueueBlock(CWave& wave, PlayBlock* block) {
    PlayBlock* used;
    {
        plat::LockGuard guard(wave.playLock);
        // Nothing of an earlier play still on its way (its end posted): the
        // send ring, which runs far ahead of the line, holds only fill, and
        // the new play need not wait behind it.
        if (wave.head == nullptr && wave.playActive.load() == 0 && wave.playEnded.load() == 0 &&
            wave.owner != nullptr) {
            const driver::CDevice& port = *wave.owner;
            DropQueuedSendBlocks(port.cardIndex, port.trunkIndex, port.timeslot);
        }
        if (wave.tail != nullptr) {
            wave.tail->next = block;
        } else {
            wave.head = block;
        }
        wave.tail = block;
        wave.queuedBytes.fetch_add(block->size);
        wave.playActive.store(1);
        wave.playEnded.store(0);
        used = wave.used;
        wave.used = nullptr;
    }
    FreePlayBlocks(used);
}

// Empties the play list without an event and drops the send blocks already
// queued towards the line, in one step as a Play on another thread sees it:
// a Play queued after the list was emptied is never silenced.
void Flush(CWave& wave) {
    PlayBlock* drop;
    {
        plat::LockGuard guard(wave.playLock);
        drop = wave.head;
        AppendChain(&drop, wave.used);
        wave.head = nullptr;
        wave.tail = nullptr;
        wave.used = nullptr;
        wave.playActive.store(0);
        wave.playEnded.store(0);
        wave.queuedBytes.store(0);
        if (wave.owner != nullptr) {
            const driver::CDevice& port = *wave.owner;
            DropQueuedSendBlocks(port.cardIndex, port.trunkIndex, port.timeslot);
        }
    }
    FreePlayBlocks(drop);
}

void CallHost(CWave& wave, int direction, uint8_t* block, uint32_t length) {
    KvAudioCallback callback = wave.callback.load(std::memory_order_acquire);
    if (callback != nullptr) callback(direction, wave.callbackContext.load(), block, static_cast<int>(length));
}

// Copies queued bytes into the block from the head of the list. A block read
// exactly to its end stays at the head until the next fill finds it empty.
void CopyQueued(CWave& wave, uint8_t* out, uint32_t wanted) {
    uint32_t pos = 0;
    while (wanted > 0 && wave.head != nullptr) {
        PlayBlock* block = wave.head;
        const uint32_t avail = block->size - block->readPos;
        if (avail < wanted) {
            if (avail > 0) memcpy(out + pos, block->data + block->readPos, avail);
            pos += avail;
            wanted -= avail;
            wave.queuedBytes.fetch_sub(avail);
            wave.head = block->next;
            if (wave.head == nullptr) wave.tail = nullptr;
            block->next = wave.used;  // freed later by a host thread
            wave.used = block;
        } else {
            memcpy(out + pos, block->data + block->readPos, wanted);
            block->readPos += wanted;
            wave.queuedBytes.fetch_sub(wanted);
            wanted = 0;
        }
    }
}

}  // namespace

void FreePlayBlocks(PlayBlock* first) {
    while (first != nullptr) {
        PlayBlock* next = first->next;
        if (!first->cached) delete[] first->data;
        delete first;
        first = next;
    }
}

CWave::CWave(driver::CDevice* o) : format(AlawFormat()), owner(o) {}

CWave::~CWave() {
    FreePlayBlocks(head);
    FreePlayBlocks(used);
}

void WaveOpen(CWave& wave) {
    {
        plat::LockGuard guard(wave.playLock);
        wave.format = AlawFormat();
    }
    Flush(wave);
    {
        plat::LockGuard guard(wave.recordLock);
        wave.recordState.store(kRecordStopped);
    }
    wave.open.store(1);
}

void WaveClose(CWave& wave) {
    {
        plat::LockGuard guard(wave.recordLock);
        wave.recordState.store(kRecordClosed);
    }
    Flush(wave);
    wave.open.store(0);
}

bool Play(driver::CDevice& port, const void* buffer, int size, bool cached) {
    char text[kErrorChars];
    if (size < 0 || (buffer == nullptr && size > 0)) {
        snprintf(text, sizeof text, "%s() -> invalid buffer %p or length %d", cached ? "PlayCached" : "Play",
                 buffer, size);
        Fail(port, text);
        return false;
    }
    PlayBlock* block = NewPlayBlock(port.wave, buffer, size, cached);
    if (block == nullptr) {
        snprintf(text, sizeof text, "NewBlock() -> malloc() returned error when allocating %d bytes", size);
        Fail(port, text);
        return false;
    }
    QueueBlock(port.wave, block);
    return true;
}

void StopPlay(driver::CDevice& port) { Flush(port.wave); }

int PlayTimeLeft(driver::CDevice& port) {
    const CWave& wave = port.wave;
    const int64_t queued = wave.queuedBytes.load();
    if (queued < 0) return 0;
    if (queued >= 8) {
        const int64_t ms = queued >> 3;  // 8000 bytes per second
        return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    }
    return wave.playActive.load() == 1 || wave.playEnded.load() != 0 ? 1 : 0;
}

void FillSendBlock(CWave& wave, uint8_t* block, uint32_t length) {
    memset(block, kAlawSmallPositive, length);
    if (!wave.open.load()) {
        CallHost(wave, 1, block, length);
        return;
    }
    // A host thread holds the lock only for a few pointer moves; rather than
    // wait for it, the tick thread keeps the block and fills it next cycle
    // (the send ring is far ahead of the line, so nothing is heard).
    if (!wave.playLock.TryEnter()) {
        wave.fillDeferred = true;
        return;
    }
    // What the block holds belongs to the flushes made so far, no later one.
    if (wave.owner != nullptr) {
        const driver::CDevice& port = *wave.owner;
        TakeFillGeneration(port.cardIndex, port.trunkIndex, port.timeslot);
    }
    if (wave.playActive.load() == 1 && wave.head == nullptr) {
        wave.playActive.store(0);
        wave.playEnded.store(1);
    }
    CopyQueued(wave, block, length);
    wave.playLock.Leave();
    CallHost(wave, 1, block, length);
}

void QueryPlayMark(CWave& wave, uint32_t* flag) {
    if (wave.fillDeferred) {
        wave.fillDeferred = false;
        *flag = kPlayMarkRetry;
        return;
    }
    *flag = kPlayMarkNone;
    if (wave.playActive.load() != 0) return;
    // From 1 to 2 only: a Play queued meanwhile has set it to 0 and wins.
    uint8_t copied = 1;
    if (wave.playEnded.compare_exchange_strong(copied, 2)) *flag = kPlayMarkEnd;
}

void PlayEndNotice(CWave& wave) {
    uint8_t marked = 2;
    if (!wave.playEnded.compare_exchange_strong(marked, 0)) return;  // stopped, or a new play queued
    if (wave.owner != nullptr) wave.owner->PostEvent(driver::kEventPlayEnds);
}

}  // namespace media
