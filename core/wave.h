// A port's media state: its audio format, play list and record buffer.
// Host threads queue plays and start recordings; the card's media tick
// thread fills send blocks, appends received ones and delivers the end of a
// play. The media tick thread only ever try-locks the two locks here, so a
// host thread holding one never stalls the audio path. Every port carries
// one, so it sits on the ground floor; the play and record code that works
// on it is media's (media/play.cpp, media/record.cpp).
#pragma once
#include <atomic>
#include <cstdint>

#include "core/limits.h"
#include "core/wave_format.h"
#include "include/vaxo_dt_qpl.h"
#include "platform/lock.h"

namespace driver {
class CDevice;
}

namespace media {

using driver::kBlockBytes;

class CWave;

// One host buffer queued for playing.
struct PlayBlock {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t readPos = 0;
    CWave* owner = nullptr;
    bool cached = false;  // the host's own buffer, never freed here
    PlayBlock* next = nullptr;
};

// Frees a chain of play blocks (and their data unless cached). Host threads.
void FreePlayBlocks(PlayBlock* first);

// Growable record buffer. The media tick thread appends; host threads swap
// in a fresh buffer (under the wave's record lock) and read data and length
// at any time. A storage the host has been handed stays allocated until the
// next Replace, so a pointer it read stays valid for the rest of the
// recording; a storage outgrown before the host saw it is freed at once.
// Growth is by half the capacity, so an open-ended recording holds at most
// about 1.5 times its bytes (plus what the host was handed on the way).
class CBuffer {
public:
    static constexpr uint32_t kGrowthBytes = 80000;  // 10 s of audio: the smallest growth step
    static constexpr int kMaxStorages = 40;           // growth by half: 4 GiB is reached within 30

    // Storage taken out of a buffer by Replace, freed by its holder.
    struct Detached {
        uint8_t* storages[kMaxStorages];
        int count = 0;
    };

    CBuffer() = default;
    virtual ~CBuffer();
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    // Empties the buffer and takes storage (may be null with capacity 0,
    // allocated with new[]) as its first storage; growth never goes beyond
    // ceiling bytes. Hands back everything it held. Host threads, record
    // lock held; free the result outside the lock.
    Detached Replace(uint8_t* storage, uint32_t capacity, uint32_t ceiling);
    static void Free(Detached& detached);

    // Media tick thread: appends n bytes, growing when needed. False,
    // nothing appended, when growth fails.
    bool Append(const uint8_t* bytes, uint32_t n);

    // Host threads: the current storage (null before any), which stays
    // allocated until the next Replace.
    uint8_t* HandOut();
    // Any thread: the bytes in the current storage.
    uint32_t length() const { return length_.load(std::memory_order_acquire); }
    uint32_t capacity() const { return capacity_; }
    // Bytes of every storage held (tests and diagnostics; media tick thread
    // or with the recording stopped).
    uint64_t heldBytes() const;

private:
    bool Grow(uint32_t needed);
    uint8_t* live() const;

    // Storages of the current recording by number, the live one at current_
    // (-1 before any). A number is never reused before the next Replace.
    std::atomic<uint8_t*> storages_[kMaxStorages] = {};
    uint32_t sizes_[kMaxStorages] = {};
    std::atomic<bool> handedOut_[kMaxStorages] = {};
    std::atomic<int> current_{-1};
    int count_ = 0;  // numbers used
    std::atomic<uint32_t> length_{0};
    uint32_t capacity_ = 0;
    uint32_t ceiling_ = 0xFFFFFFFFu;
};

enum RecordState : int32_t { kRecordClosed = -1, kRecordStopped = 0, kRecordActive = 1 };
constexpr uint32_t kNoRecordLimit = 0xFFFFFFFFu;
constexpr uint32_t kLargestRecordLimit = 0xFFFFFFFEu;  // bytes; longer limits are cut to this

class CWave {
public:
    explicit CWave(driver::CDevice* owner);
    virtual ~CWave();
    CWave(const CWave&) = delete;
    CWave& operator=(const CWave&) = delete;

    WaveFormat format;

    // Play state. The play lock guards the list, the used-up blocks and the
    // host's changes of the flags; the media tick thread try-locks it.
    std::atomic<int64_t> queuedBytes{0};  // bytes queued and not yet copied into send blocks
    PlayBlock* head = nullptr;
    PlayBlock* tail = nullptr;
    PlayBlock* used = nullptr;  // blocks the fill has used up; host threads free them
    plat::RecursiveLock playLock;
    std::atomic<uint8_t> playEnded{0};  // 0 none, 1 all copied, 2 end block marked
    std::atomic<uint8_t> playActive{0};
    bool fillDeferred = false;  // media tick thread: the last fill found the lock taken

    // Host audio callback, shared by both directions.
    std::atomic<KvAudioCallback> callback{nullptr};
    std::atomic<uint32_t> callbackContext{0};

    driver::CDevice* owner;
    std::atomic<uint8_t> open{0};

    // Record state. The record lock guards the state changes and the
    // buffer's Replace; the media tick thread try-locks it to append, and
    // while a host thread holds it keeps the blocks aside to append next.
    std::atomic<int32_t> recordState{kRecordClosed};
    std::atomic<uint32_t> recordLimit{kNoRecordLimit};
    CBuffer record;
    plat::RecursiveLock recordLock;
    static constexpr int kHeldRecordBlocks = 8;  // 160 ms of blocks waiting for the record lock
    uint8_t heldRecord[kHeldRecordBlocks][kBlockBytes];  // media tick thread only
    uint32_t heldRecordLength[kHeldRecordBlocks];
    int heldRecordCount = 0;
};

// Port open and close (see OpenPort / ClosePort). Host threads.
void WaveOpen(CWave& wave);
void WaveClose(CWave& wave);

}  // namespace media
