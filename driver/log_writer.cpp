#include "driver/log_writer.h"

#include "driver/trace.h"
#include "platform/clock.h"

namespace driver {

LogWriter& TheLog() {
    static LogWriter log;
    return log;
}

uint64_t DropOldestLines(std::string& text, size_t keep) {
    if (text.size() <= keep) return 0;
    size_t cut = text.size() - keep;
    size_t nl = text.find('\n', cut - 1);
    cut = nl == std::string::npos ? text.size() : nl + 1;
    uint64_t lines = 0;
    for (size_t i = 0; i < cut; ++i)
        if (text[i] == '\n') ++lines;
    if (cut == text.size() && text.back() != '\n') ++lines;
    text.erase(0, cut);
    return lines;
}

LogWriter::LogWriter() : openTime_(plat::TickCountMs()) {}

LogWriter::~LogWriter() { Stop(); }

void LogWriter::Append(const std::string& line) {
    plat::LockGuard guard(lock_);
    pending_ += line;
    if (pending_.size() > kMaxKeptBytes) droppedLines_ += DropOldestLines(pending_, kKeptAfterDropBytes);
    if (wake_) wake_->Set();
}

bool LogWriter::Start(const char* path) {
    Stop();
    if (abandoned_) return false;
    fileName_ = path != nullptr ? path : "";
    {
        plat::LockGuard guard(lock_);
        wake_.reset(new plat::ManualResetEvent);
        if (!pending_.empty()) wake_->Set();  // lines logged while stopped
    }
    stop_.store(false);
    thread_.reset(new plat::Thread);
    if (!thread_->Start(&LogWriter::ThreadBody, this)) {
        Stop();
        return false;
    }
    return true;
}

void LogWriter::Stop() {
    if (thread_ && thread_->Started()) {
        stop_.store(true);
        wake_->Set();
        if (!thread_->Join(kStopJoinMs)) {
            // A writer stuck on the disk still owns the event and the file:
            // leave both to it, and start no second writer beside it.
            abandoned_ = true;
            thread_.reset();
            plat::LockGuard guard(lock_);
            (void)wake_.release();
            return;
        }
    }
    thread_.reset();
    {
        plat::LockGuard guard(lock_);
        wake_.reset();
    }
    file_.Close();
}

void LogWriter::ThreadBody(void* self) {
    plat::SetCurrentThreadName("vaxo-log");
    static_cast<LogWriter*>(self)->Run();
}

bool LogWriter::HasPending() {
    plat::LockGuard guard(lock_);
    return !pending_.empty() || droppedLines_ != 0;
}

// The pending text, led by a line that counts the lines dropped from it.
std::string LogWriter::TakePending() {
    plat::LockGuard guard(lock_);
    std::string taken;
    if (droppedLines_ != 0) {
        std::string note = FormatText("%llu trace lines were dropped while the log could not be written",
                                      static_cast<unsigned long long>(droppedLines_));
        taken = FormatLogLine(plat::LocalTimeNow(), kGeneralPort, note.c_str());
        droppedLines_ = 0;
    }
    taken += pending_;
    pending_.clear();
    return taken;
}

// Text the writer could not write goes back in front of the pending text,
// so that a later start writes it first.
void LogWriter::GiveBack(std::string& outgoing) {
    if (outgoing.empty()) return;
    plat::LockGuard guard(lock_);
    pending_.insert(0, outgoing);
    outgoing.clear();
    if (pending_.size() > kMaxKeptBytes) droppedLines_ += DropOldestLines(pending_, kKeptAfterDropBytes);
}

void LogWriter::Run() {
    std::string outgoing;  // taken but not yet written
    while (!stop_.load()) {
        wake_->Wait(plat::kWaitForever);
        plat::SleepMs(kBatchNapMs);
        wake_->Reset();
        Pass(outgoing);
    }
    // A stop that came in mid-pass still gets the lines logged before it.
    Pass(outgoing);
    GiveBack(outgoing);
    file_.Close();
}

// One pass: text is taken from the pending store only once the file is
// open and the last batch is out, so while the file cannot be written the
// lines wait under the pending cap, in order.
void LogWriter::Pass(std::string& outgoing) {
    if (outgoing.empty() && !HasPending()) return;
    if (!file_.IsOpen()) {
        file_.Open(fileName_.c_str());
        openTime_ = plat::TickCountMs();
        if (!file_.IsOpen()) return;
    }
    bool retry = !outgoing.empty();
    if (!retry) outgoing = TakePending();
    if (!WriteOnce(outgoing)) return;  // the file stays open for the retry
    if (retry && outgoing.empty() && HasPending()) {
        outgoing = TakePending();
        WriteOnce(outgoing);
    }
    CloseWhenDue();
}

// One write; a rest that did not go out stays for the next pass. False
// when the write failed.
bool LogWriter::WriteOnce(std::string& outgoing) {
    int64_t written = file_.Write(outgoing.data(), outgoing.size());
    if (written < 0) return false;
    writes_.fetch_add(1);
    outgoing.erase(0, static_cast<size_t>(written));
    return true;
}

// FlushImmediate closes after every write; otherwise the file stays open
// for writes within kKeepOpenMs of its opening.
void LogWriter::CloseWhenDue() {
    if (flushImmediate_.load()) {
        file_.Close();
    } else if (plat::TickCountMs() - openTime_ >= kKeepOpenMs) {
        openTime_ = plat::TickCountMs();
        file_.Close();
    }
}

}  // namespace driver
