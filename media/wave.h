// A port's media state: its audio format, play list and record buffer.
// Host threads queue plays and start recordings; the card's media tick
// thread fills send blocks and appends received ones; the audio receive
// thread reports the end of a play.
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

// Growable record buffer.
class CBuffer {
public:
    static constexpr uint32_t kGrowthBytes = 80000;  // 10 s of audio

    CBuffer() = default;
    virtual ~CBuffer();
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    void Reset();
    bool Append(const uint8_t* bytes, uint32_t n);
    uint8_t* data() const { return data_; }
    uint32_t length() const { return length_; }

private:
    uint32_t capacity_ = 0;
    uint32_t growth_ = kGrowthBytes;
    uint8_t* data_ = nullptr;
    uint32_t length_ = 0;
};

enum RecordState : int32_t { kRecordClosed = -1, kRecordStopped = 0, kRecordActive = 1 };
constexpr uint32_t kNoRecordLimit = 0xFFFFFFFFu;

class CWave {
public:
    explicit CWave(driver::CDevice* owner);
    virtual ~CWave();
    CWave(const CWave&) = delete;
    CWave& operator=(const CWave&) = delete;

    WaveFormat format;

    // Play state (play lock guards the list, queued bytes and flags).
    std::atomic<int32_t> playGuard{0};  // -1 while the list is flushed
    std::atomic<int32_t> queuedBytes{0};
    PlayBlock* head = nullptr;
    PlayBlock* tail = nullptr;
    plat::RecursiveLock playLock;
    std::atomic<uint8_t> playEnded{0};  // 0 none, 1 all copied, 2 end block marked
    std::atomic<uint8_t> playActive{0};

    // Host audio callback, shared by both directions.
    std::atomic<KvAudioCallback> callback{nullptr};
    std::atomic<uint32_t> callbackContext{0};

    driver::CDevice* owner;
    std::atomic<uint8_t> open{0};

    // Record state.
    std::atomic<int32_t> recordState{kRecordClosed};
    std::atomic<uint32_t> recordLimit{kNoRecordLimit};
    CBuffer record;
    plat::RecursiveLock recordLock;  // host reads against the media thread's appends
};

// Port open and close (see OpenPort / ClosePort).
void WaveOpen(CWave& wave);
void WaveClose(CWave& wave);

}  // namespace media
