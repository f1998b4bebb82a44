// The module's log writer: callers on any thread append formatted lines to
// a pending text; one writer thread moves it to the log file in batches.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/lock.h"
#include "platform/shared_file.h"
#include "platform/thread.h"

namespace driver {

// Any thread appends; the one writer thread started by Start moves the text
// to the file; Start and Stop run on the thread of Init and Shutdown.
class LogWriter {
public:
    // Text kept in memory while it cannot be written: above this the oldest
    // whole lines go, and one line in their place says how many went. The
    // writer holds at most one more such batch while it retries a write.
    static constexpr size_t kMaxKeptBytes = 8u * 1024 * 1024;
    static constexpr size_t kKeptAfterDropBytes = kMaxKeptBytes * 3 / 4;  // drops come in batches
    static constexpr uint32_t kBatchNapMs = 100;     // lines close together share one write
    static constexpr uint32_t kKeepOpenMs = 500;     // file stays open this long after opening
    static constexpr uint32_t kStopJoinMs = 30000;   // the writer only waits for the disk

    LogWriter();
    ~LogWriter();

    bool Start(const char* path);
    void Stop();
    void Append(const std::string& line);
    void SetFlushImmediate(bool on) { flushImmediate_.store(on); }

    // For tests: number of writes made to the file.
    uint64_t writeCount() const { return writes_.load(); }

private:
    static void ThreadBody(void* self);
    void Run();
    void Pass(std::string& outgoing);
    bool WriteOnce(std::string& outgoing);
    void CloseWhenDue();
    bool HasPending();
    std::string TakePending();
    void GiveBack(std::string& outgoing);

    std::string pending_;
    uint64_t droppedLines_ = 0;
    plat::RecursiveLock lock_;  // pending_, droppedLines_, wake_
    std::unique_ptr<plat::ManualResetEvent> wake_;
    std::atomic<bool> stop_{false};
    bool abandoned_ = false;  // a writer outlived kStopJoinMs
    std::unique_ptr<plat::Thread> thread_;
    plat::AppendFile file_;
    uint32_t openTime_;
    std::string fileName_;
    std::atomic<bool> flushImmediate_{false};
    std::atomic<uint64_t> writes_{0};
};

LogWriter& TheLog();

// Drops the oldest whole lines of text until it is at most keep bytes;
// returns how many lines were dropped.
uint64_t DropOldestLines(std::string& text, size_t keep);

}  // namespace driver
