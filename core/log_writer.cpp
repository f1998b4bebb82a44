#include "core/log_writer.h"

#include "core/trace.h"
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

// One writer thread's own state. Stop owns it while the thread runs or has
// ended; a writer Stop gave up on owns itself and frees it when it ends.
struct LogWriter::Writer {
    enum Phase : int { kRunning, kLeft, kEnded };

    std::shared_ptr<Shared> shared;
    plat::ManualResetEvent wake;
    std::atomic<bool> stop{false};
    std::atomic<int> phase{kRunning};
    plat::AppendFile file;
    uint32_t openTime = plat::TickCountMs();
    std::string fileName;

    bool left() const { return phase.load() == kLeft; }
};

LogWriter::LogWriter() : shared_(std::make_shared<Shared>()) {}

LogWriter::~LogWriter() { Stop(); }

void LogWriter::Append(const std::string& line) {
    Shared& s = *shared_;
    plat::LockGuard guard(s.lock);
    s.pending += line;
    if (s.pending.size() > kMaxKeptBytes) s.droppedLines += DropOldestLines(s.pending, kKeptAfterDropBytes);
    if (writer_ != nullptr) writer_->wake.Set();
}

bool LogWriter::Start(const char* path) {
    Stop();
    auto* w = new Writer;
    w->shared = shared_;
    w->fileName = path != nullptr ? path : "";
    {
        plat::LockGuard guard(shared_->lock);
        writer_ = w;
        if (!shared_->pending.empty()) w->wake.Set();  // lines logged while stopped
    }
    thread_.reset(new plat::Thread);
    if (!thread_->Start(&LogWriter::ThreadBody, w)) {
        thread_.reset();
        {
            plat::LockGuard guard(shared_->lock);
            writer_ = nullptr;
        }
        delete w;
        return false;
    }
    return true;
}

void LogWriter::Stop() {
    Writer* w;
    {
        plat::LockGuard guard(shared_->lock);
        w = writer_;
        writer_ = nullptr;  // Append no longer wakes it
    }
    if (w == nullptr) return;
    w->stop.store(true);
    w->wake.Set();
    if (thread_->Join(stopWaitMs_)) {
        delete w;  // closes its file
    } else {
        // Stuck on the disk: it keeps its file and event and frees them
        // itself, unless it ended right after the wait.
        shared_->strayWriters.fetch_add(1);
        if (w->phase.exchange(Writer::kLeft) == Writer::kEnded) {
            shared_->strayWriters.fetch_sub(1);
            delete w;
        }
    }
    thread_.reset();
}

void LogWriter::ThreadBody(void* raw) {
    auto* w = static_cast<Writer*>(raw);
    plat::SetCurrentThreadName("vaxo-log");
    Run(*w);
    w->file.Close();
    if (w->phase.exchange(Writer::kEnded) == Writer::kLeft) {
        std::shared_ptr<Shared> shared = w->shared;
        delete w;
        shared->strayWriters.fetch_sub(1);
    }
}

bool LogWriter::HasPending(Shared& s) {
    plat::LockGuard guard(s.lock);
    return !s.pending.empty() || s.droppedLines != 0;
}

// The pending text, led by a line that counts the lines dropped from it.
std::string LogWriter::TakePending(Shared& s) {
    plat::LockGuard guard(s.lock);
    std::string taken;
    if (s.droppedLines != 0) {
        std::string note = FormatText("%llu trace lines were dropped while the log could not be written",
                                      static_cast<unsigned long long>(s.droppedLines));
        taken = FormatLogLine(plat::LocalTimeNow(), kGeneralPort, note.c_str());
        s.droppedLines = 0;
    }
    taken += s.pending;
    s.pending.clear();
    return taken;
}

// Text the writer could not write goes back in front of the pending text,
// so that a later start writes it first.
void LogWriter::GiveBack(Shared& s, std::string& outgoing) {
    if (outgoing.empty()) return;
    plat::LockGuard guard(s.lock);
    s.pending.insert(0, outgoing);
    outgoing.clear();
    if (s.pending.size() > kMaxKeptBytes) s.droppedLines += DropOldestLines(s.pending, kKeptAfterDropBytes);
}

void LogWriter::Run(Writer& w) {
    std::string outgoing;  // taken but not yet written
    while (!w.stop.load()) {
        w.wake.Wait(plat::kWaitForever);
        plat::SleepMs(kBatchNapMs);
        w.wake.Reset();
        Pass(w, outgoing);
    }
    // A stop that came in mid-pass still gets the lines logged before it;
    // a writer left behind takes no more, they belong to the next one.
    if (!w.left()) Pass(w, outgoing);
    GiveBack(*w.shared, outgoing);
}

// One pass: text is taken from the pending store only once the file is
// open and the last batch is out, so while the file cannot be written the
// lines wait under the pending cap, in order.
void LogWriter::Pass(Writer& w, std::string& outgoing) {
    Shared& s = *w.shared;
    if (outgoing.empty() && !HasPending(s)) return;
    if (!w.file.IsOpen()) {
        w.file.Open(w.fileName.c_str());
        w.openTime = plat::TickCountMs();
        if (!w.file.IsOpen()) return;
    }
    bool retry = !outgoing.empty();
    if (w.left()) return;  // came back from the disk after its stop
    if (!retry) outgoing = TakePending(s);
    if (!WriteOnce(w, outgoing)) return;  // the file stays open for the retry
    if (retry && outgoing.empty() && HasPending(s) && !w.left()) {
        outgoing = TakePending(s);
        WriteOnce(w, outgoing);
    }
    CloseWhenDue(w);
}

// One write; a rest that did not go out stays for the next pass. False
// when the write failed.
bool LogWriter::WriteOnce(Writer& w, std::string& outgoing) {
    int64_t written = w.file.Write(outgoing.data(), outgoing.size());
    if (written < 0) return false;
    w.shared->writes.fetch_add(1);
    outgoing.erase(0, static_cast<size_t>(written));
    return true;
}

// FlushImmediate closes after every write; otherwise the file stays open
// for writes within kKeepOpenMs of its opening.
void LogWriter::CloseWhenDue(Writer& w) {
    if (w.shared->flushImmediate.load()) {
        w.file.Close();
    } else if (plat::TickCountMs() - w.openTime >= kKeepOpenMs) {
        w.openTime = plat::TickCountMs();
        w.file.Close();
    }
}

}  // namespace driver
