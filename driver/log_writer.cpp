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
    lock_.Enter();
    pending_ += line;
    if (pending_.size() > kMaxKeptBytes) droppedLines_ += DropOldestLines(pending_, kMaxKeptBytes * 3 / 4);
    if (wake_) wake_->Set();
    lock_.Leave();
}

bool LogWriter::Start(const char* path) {
    Stop();
    fileName_ = path != nullptr ? path : "";
    lock_.Enter();
    wake_.reset(new plat::ManualResetEvent);
    if (!pending_.empty()) wake_->Set();  // lines logged while stopped
    lock_.Leave();
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
        // The writer must be gone before its file and event are closed: it
        // can only be held up by a slow disk, so wait well past the nap.
        thread_->Join(kStopJoinMs);
    }
    thread_.reset();
    lock_.Enter();
    wake_.reset();
    lock_.Leave();
    file_.Close();
}

void LogWriter::ThreadBody(void* self) { static_cast<LogWriter*>(self)->Run(); }

std::string LogWriter::TakePending() {
    lock_.Enter();
    std::string taken;
    if (droppedLines_ != 0) {
        plat::CalendarTime t = plat::LocalTimeNow();
        taken = FormatText("%02u/%02u/%04u %02u:%02u:%02u   G :%llu trace lines were dropped while the log "
                           "could not be written\r\n",
                           t.day, t.month, t.year, t.hour, t.minute, t.second,
                           static_cast<unsigned long long>(droppedLines_));
        droppedLines_ = 0;
    }
    taken += pending_;
    pending_.clear();
    lock_.Leave();
    return taken;
}

void LogWriter::Run() {
    std::string outgoing;
    while (!stop_.load()) {
        wake_->Wait(plat::kWaitForever);
        plat::SleepMs(kBatchNapMs);
        wake_->Reset();
        outgoing += TakePending();
        if (outgoing.size() > kMaxKeptBytes) {
            uint64_t dropped = DropOldestLines(outgoing, kMaxKeptBytes * 3 / 4);
            lock_.Enter();
            droppedLines_ += dropped;
            lock_.Leave();
        }
        if (!outgoing.empty()) WritePass(outgoing);
    }
    // A stop that came in mid-pass still gets the lines logged before it.
    outgoing += TakePending();
    if (!outgoing.empty()) WritePass(outgoing);
    file_.Close();
}

void LogWriter::WritePass(std::string& outgoing) {
    if (!file_.IsOpen()) {
        file_.Open(fileName_.c_str());
        openTime_ = plat::TickCountMs();
        if (!file_.IsOpen()) return;  // kept for the next wake
    }
    int64_t written = file_.Write(outgoing.data(), outgoing.size());
    if (written < 0) return;
    writes_.fetch_add(1);
    outgoing.erase(0, static_cast<size_t>(written));
    if (flushImmediate_.load()) {
        file_.Close();
    } else if (plat::TickCountMs() - openTime_ >= kKeepOpenMs) {
        openTime_ = plat::TickCountMs();
        file_.Close();
    }
}

}  // namespace driver
