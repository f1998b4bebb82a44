// Record engine: host threads start and stop a recording of a port; the
// card's media tick thread appends each received block up to the limit and
// gives every block to the host's audio callback. The tick thread only
// try-locks the record lock: while a host thread is starting or stopping a
// recording (a few stores under the lock) the blocks wait beside the
// recording and are appended on the next cycle that gets the lock.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/device.h"
#include "core/trace.h"
#include "media/card_media.h"
#include "media/play.h"
#include "media/wave_paths.h"

namespace media {

namespace {

constexpr uint32_t kMaxBufferBytes = 0xFFFFFFFFu;
constexpr int kNoTimeLimitMs = -1;
// Limits up to this (about 4.6 hours) are allocated whole when the
// recording starts; longer ones grow as open-ended recordings do.
constexpr uint32_t kLargestWholeRecordBytes = 128u * 1024 * 1024;

void CallHost(CWave& wave, int direction, uint8_t* block, uint32_t length) {
    KvAudioCallback callback = wave.callback.load(std::memory_order_acquire);
    if (callback != nullptr) callback(direction, wave.callbackContext.load(), block, static_cast<int>(length));
}

void CountDropped(const CWave& wave) {
    if (wave.owner != nullptr) CountDroppedBlock(wave.owner->cardIndex);
}

uint32_t BytesPerSample(const CWave& wave) { return std::max<uint32_t>(wave.format.bitsPerSample / 8u, 1u); }

}  // namespace

CBuffer::~CBuffer() {
    Detached all = Replace(nullptr, 0, kMaxBufferBytes);
    Free(all);
}

CBuffer::Detached CBuffer::Replace(uint8_t* storage, uint32_t capacity, uint32_t ceiling) {
    Detached out;
    for (int i = 0; i < count_; ++i) {
        uint8_t* old = storages_[i].exchange(nullptr);
        if (old != nullptr) out.storages[out.count++] = old;
        sizes_[i] = 0;
        handedOut_[i].store(false);
    }
    count_ = 0;
    current_.store(-1);
    length_.store(0, std::memory_order_release);
    capacity_ = 0;
    ceiling_ = ceiling;
    if (storage != nullptr) {
        storages_[0].store(storage);
        sizes_[0] = capacity;
        capacity_ = capacity;
        count_ = 1;
        current_.store(0);
    }
    return out;
}

void CBuffer::Free(Detached& detached) {
    for (int i = 0; i < detached.count; ++i) delete[] detached.storages[i];
    detached.count = 0;
}

uint8_t* CBuffer::live() const {
    const int c = current_.load();
    return c < 0 ? nullptr : storages_[c].load();
}

// The host marks the storage as handed out before it checks that it is
// still the live one; Grow publishes the new storage before it looks at
// the mark. So either Grow sees the mark and keeps the old storage, or the
// host sees the new one and takes that instead.
uint8_t* CBuffer::HandOut() {
    for (;;) {
        const int c = current_.load();
        if (c < 0) return nullptr;
        handedOut_[c].store(true);
        if (current_.load() == c) return storages_[c].load();
    }
}

uint64_t CBuffer::heldBytes() const {
    uint64_t held = 0;
    for (int i = 0; i < count_; ++i)
        if (storages_[i].load() != nullptr) held += sizes_[i];
    return held;
}

bool CBuffer::Grow(uint32_t needed) {
    if (count_ == kMaxStorages) return false;
    uint64_t bigger = std::max<uint64_t>(uint64_t{capacity_} + capacity_ / 2, uint64_t{capacity_} + kGrowthBytes);
    bigger = std::min<uint64_t>(bigger, std::max(ceiling_, needed));
    bigger = std::min<uint64_t>(std::max<uint64_t>(bigger, needed), kMaxBufferBytes);
    auto* storage = new (std::nothrow) uint8_t[bigger];
    if (storage == nullptr) return false;
    const uint32_t length = length_.load(std::memory_order_relaxed);
    const int old = current_.load();
    if (length > 0) memcpy(storage, storages_[old].load(), length);
    const int next = count_++;
    storages_[next].store(storage);
    sizes_[next] = static_cast<uint32_t>(bigger);
    capacity_ = static_cast<uint32_t>(bigger);
    current_.store(next);
    if (old >= 0 && !handedOut_[old].load()) {
        delete[] storages_[old].exchange(nullptr);  // the host never saw it
    }
    return true;
}

bool CBuffer::Append(const uint8_t* bytes, uint32_t n) {
    if (n == 0) return true;
    const uint32_t length = length_.load(std::memory_order_relaxed);
    const uint64_t needed = uint64_t{length} + n;
    if (needed > kMaxBufferBytes) return false;
    if (needed > capacity_ && !Grow(static_cast<uint32_t>(needed))) return false;
    memcpy(live() + length, bytes, n);
    length_.store(static_cast<uint32_t>(needed), std::memory_order_release);
    return true;
}

namespace {

// One block into the recording, record lock held. True when it ended the
// recording (its limit reached).
bool RecordLocked(CWave& wave, const uint8_t* block, uint32_t length) {
    if (wave.recordState.load() != kRecordActive) return false;
    const uint32_t limit = wave.recordLimit.load();
    const uint32_t recorded = wave.record.length();
    bool kept = true;
    bool ended = false;
    if (limit != kNoRecordLimit && uint64_t{recorded} + length > limit) {
        if (limit > recorded) kept = wave.record.Append(block, limit - recorded);
        wave.recordState.store(kRecordStopped);
        ended = true;
    } else {
        kept = wave.record.Append(block, length);
    }
    if (!kept) CountDropped(wave);  // the buffer could not grow
    return ended;
}

}  // namespace

void OfferReceivedBlock(CWave& wave, uint8_t* block, uint32_t length) {
    if (!wave.open.load()) {
        wave.heldRecordCount = 0;
    } else if (wave.recordState.load() == kRecordActive || wave.heldRecordCount > 0) {
        if (wave.recordLock.TryEnter()) {
            bool ended = false;
            for (int i = 0; i < wave.heldRecordCount; ++i)
                ended = RecordLocked(wave, wave.heldRecord[i], wave.heldRecordLength[i]) || ended;
            wave.heldRecordCount = 0;
            ended = RecordLocked(wave, block, length) || ended;
            wave.recordLock.Leave();
            if (ended && wave.owner != nullptr) wave.owner->PostEvent(driver::kEventRecordEnds);
        } else if (wave.heldRecordCount < CWave::kHeldRecordBlocks) {
            // A host thread is starting or stopping a recording: the block
            // waits for the next cycle rather than be lost.
            const int i = wave.heldRecordCount++;
            const uint32_t n = std::min(length, kBlockBytes);
            memcpy(wave.heldRecord[i], block, n);
            wave.heldRecordLength[i] = n;
        } else {
            CountDropped(wave);
        }
    }
    CallHost(wave, 0, block, length);
}

bool Record(driver::CDevice& port, int maxMs) {
    CWave& wave = port.wave;
    if (maxMs < kNoTimeLimitMs) {
        char text[96];
        snprintf(text, sizeof text, "Record() -> invalid time limit %d ms", maxMs);
        port.SetError(text);
        VAXO_TRACE(2, static_cast<int>(port.portNumber), "%s", text);
        return false;
    }
    uint32_t limit = kNoRecordLimit;
    if (maxMs != kNoTimeLimitMs) {
        const uint64_t bytes = uint64_t(static_cast<uint32_t>(maxMs)) * 8u * BytesPerSample(wave);
        limit = static_cast<uint32_t>(std::min<uint64_t>(bytes, kLargestRecordLimit));
    }
    // The first storage comes from this thread: a recording with a limit
    // gets all of it at once and never grows on the media thread; one
    // without starts with 10 s.
    uint8_t* storage = nullptr;
    uint32_t capacity = 0;
    if (maxMs != 0) {
        if (limit != kNoRecordLimit && limit <= kLargestWholeRecordBytes) {
            capacity = limit;
            storage = new (std::nothrow) uint8_t[capacity];
        }
        if (storage == nullptr) {
            capacity = std::min(limit, CBuffer::kGrowthBytes);
            storage = new (std::nothrow) uint8_t[capacity];
        }
        if (storage == nullptr) capacity = 0;
    }
    CBuffer::Detached old;
    {
        plat::LockGuard guard(wave.recordLock);
        old = wave.record.Replace(storage, capacity, limit);
        wave.recordLimit.store(limit);
        if (maxMs != 0) wave.recordState.store(kRecordActive);
    }
    CBuffer::Free(old);
    return true;
}

bool StopRecord(driver::CDevice& port) {
    CWave& wave = port.wave;
    plat::LockGuard guard(wave.recordLock);
    // Once this returns the media thread appends no more: the buffer is final.
    if (wave.recordState.load() == kRecordActive) wave.recordState.store(kRecordStopped);
    return true;
}

void* RecordBuffer(driver::CDevice& port) {
    CBuffer& buffer = port.wave.record;
    return buffer.length() > 0 ? buffer.HandOut() : nullptr;
}

int RecordSize(driver::CDevice& port) {
    return static_cast<int>(std::min<uint32_t>(port.wave.record.length(), INT_MAX));
}

int RecordTimeLeft(driver::CDevice& port) {
    const CWave& wave = port.wave;
    if (wave.recordState.load() != kRecordActive) return 0;
    const uint32_t limit = wave.recordLimit.load();
    if (limit == kNoRecordLimit) return static_cast<int>(kNoRecordLimit);
    const uint32_t recorded = wave.record.length();
    if (recorded >= limit) return 0;
    return static_cast<int>(((limit - recorded) >> 3) / BytesPerSample(wave) + 1);
}

void SetAudioCallback(driver::CDevice& port, uint32_t context, KvAudioCallback callback) {
    port.wave.callbackContext.store(context);
    port.wave.callback.store(callback, std::memory_order_release);
}

}  // namespace media
