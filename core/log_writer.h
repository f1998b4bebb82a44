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
// to the file; Start and Stop run on the thread of Init and Shutdown. A
// writer that does not end within the stop's wait (stuck on the disk) is
// left with its own file and event and frees them itself when it comes
// back; the next Start gets a writer of its own.
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
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    bool Start(const char* path);
    void Stop();
    void Append(const std::string& line);
    void SetFlushImmediate(bool on) { shared_->flushImmediate.store(on); }

    // For tests: number of writes made to the file; how long Stop waits
    // for the writer; writers left running by a Stop that have not ended yet.
    uint64_t writeCount() const { return shared_->writes.load(); }
    void SetStopWait(uint32_t ms) { stopWaitMs_ = ms; }
    int strayWriters() const { return shared_->strayWriters.load(); }

private:
    // What every writer, current or left behind, shares with the callers.
    struct Shared {
        std::string pending;
        uint64_t droppedLines = 0;
        plat::RecursiveLock lock;  // pending, droppedLines
        std::atomic<bool> flushImmediate{false};
        std::atomic<uint64_t> writes{0};
        std::atomic<int> strayWriters{0};
    };
    struct Writer;

    static void ThreadBody(void* writer);
    static void Run(Writer& w);
    static void Pass(Writer& w, std::string& outgoing);
    static bool WriteOnce(Writer& w, std::string& outgoing);
    static void CloseWhenDue(Writer& w);
    static bool HasPending(Shared& s);
    static std::string TakePending(Shared& s);
    static void GiveBack(Shared& s, std::string& outgoing);

    std::shared_ptr<Shared> shared_;
    Writer* writer_ = nullptr;  // the current writer, null while stopped
    std::unique_ptr<plat::Thread> thread_;
    uint32_t stopWaitMs_ = kStopJoinMs;
};

LogWriter& TheLog();

// Drops the oldest whole lines of text until it is at most keep bytes;
// returns how many lines were dropped.
uint64_t DropOldestLines(std::string& text, size_t keep);

}  // namespace driver
