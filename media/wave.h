// A port's media state: its audio format, play list and record buffer.
// Host threads queue plays and start recordings; the card's media tick
// thread fills send blocks, appends received ones and delivers the end of a
// play. The media tick thread only ever try-locks the two locks here, so a
// host thread holding one never stalls the audio path.
#pragma once
#include <atomic>
#include <cstdint>

#include "include/vaxo_dt_qpl.h"
#include "media/g711.h"
#include "platform/lock.h"

namespace driver {
class CDevice;
}

namespace media {

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
// at any time. Storage replaced by growth is kept until the next Replace, so
// a pointer a host took stays readable for the rest of the recording.
class CBuffer {
public:
    static constexpr uint32_t kGrowthBytes = 80000;  // 10 s of audio: the smallest growth step
    static constexpr int kMaxStorages = 40;           // growth doubles, so 4 GiB is reached long before

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
    // allocated with new[]) as its first storage; hands back everything it
    // held. Host threads, record lock held; free the result outside the lock.
    Detached Replace(uint8_t* storage, uint32_t capacity);
    static void Free(Detached& detached);

    // Media tick thread: appends n bytes, growing by at least kGrowthBytes
    // (doubling). False, nothing appended, when growth fails.
    bool Append(const uint8_t* bytes, uint32_t n);

    // Any thread: the current storage (null before any) and the bytes in it.
    uint8_t* data() const { return data_.load(std::memory_order_acquire); }
    uint32_t length() const { return length_.load(std::memory_order_acquire); }
    uint32_t capacity() const { return capacity_; }

private:
    bool Grow(uint32_t needed);

    std::atomic<uint8_t*> data_{nullptr};
    std::atomic<uint32_t> length_{0};
    uint32_t capacity_ = 0;
    uint32_t growth_ = kGrowthBytes;
    // Every storage of the current recording, the live one last.
    uint8_t* storages_[kMaxStorages] = {};
    int storageCount_ = 0;
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
    // buffer's Replace; the media tick thread try-locks it to append.
    std::atomic<int32_t> recordState{kRecordClosed};
    std::atomic<uint32_t> recordLimit{kNoRecordLimit};
    CBuffer record;
    plat::RecursiveLock recordLock;
};

// Port open and close (see OpenPort / ClosePort). Host threads.
void WaveOpen(CWave& wave);
void WaveClose(CWave& wave);

}  // namespace media
