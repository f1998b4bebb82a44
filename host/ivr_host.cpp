// Sample IVR host: loads the driver module by path, gives every port an
// event handle and serves calls on all ports at once. Each call: answer,
// greeting, digits until '#' or a pause, digits played back, a recording
// with a time limit, hang-up. It can also place calls from a list.
//
// One thread reads every port's events and forwards them to the thread of
// the call on that port; each call runs its flow on its own thread.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/module_api.h"
#include "host/wav.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string module = VAXO_DEFAULT_MODULE;
    std::string prompts = VAXO_DEFAULT_PROMPTS;
    std::string outDir = ".";
    int recordMs = 5000;
    int digitTimeoutMs = 4000;
    int maxCalls = 0;       // stop after this many calls (0: run until the time is up)
    int runSeconds = 60;
    std::string dialList;   // lines "port number"
};

struct Stats {
    std::atomic<int> calls{0}, answered{0}, digits{0}, recordings{0}, dialled{0};
};

Clock::time_point g_start = Clock::now();
// SIGTERM or SIGINT: finish the calls under way, shut the module down, exit.
volatile sig_atomic_t g_terminate = 0;
std::mutex g_printLock;
Stats g_stats;

void Timeline(int port, const char* what, const std::string& detail = "") {
    double t = std::chrono::duration<double>(Clock::now() - g_start).count();
    std::lock_guard<std::mutex> guard(g_printLock);
    printf("[%7.3f] port %3d  %-12s %s\n", t, port, what, detail.c_str());
    fflush(stdout);
}

// Events of one port, handed from the event thread to the call thread.
struct PortInbox {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<int> events;
    std::deque<std::string> progress;
    bool callRunning = false;

    void Post(int event) {
        std::lock_guard<std::mutex> g(lock);
        events.push_back(event);
        wake.notify_all();
    }
    // Waits for one of the wanted events; false on timeout or disconnect.
    int WaitFor(std::initializer_list<int> wanted, int timeoutMs, bool* disconnected) {
        std::unique_lock<std::mutex> g(lock);
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            while (!progress.empty()) {
                bool gone = progress.front().rfind("DISCONNECTED", 0) == 0;
                progress.pop_front();
                if (gone) {
                    *disconnected = true;
                    return -1;
                }
            }
            while (!events.empty()) {
                int e = events.front();
                events.pop_front();
                for (int w : wanted)
                    if (w == e) return e;
            }
            if (wake.wait_until(g, deadline) == std::cv_status::timeout && events.empty() && progress.empty())
                return 0;
        }
    }
};

class IvrHost {
public:
    explicit IvrHost(const Options& o) : opt_(o) {}
    int Run();

private:
    bool LoadPrompts();
    void EventLoop(Clock::time_point end);
    void HandleEvent(int port, int event);
    void ServeCall(int port);
    bool PlayAndWait(int port, const std::vector<uint8_t>& audio, bool* gone);
    std::string CollectDigits(int port, bool* gone);
    void RecordMessage(int port, int callNumber, bool* gone);
    void PlaceCalls();
    void FinishCall(int port);

    Options opt_;
    hostapi::ModuleApi api_{};
    void* module_ = nullptr;
    int ports_ = 0;
    std::vector<int> eventFds_;
    std::vector<std::unique_ptr<PortInbox>> inbox_;
    std::vector<std::thread> callThreads_;
    std::mutex threadsLock_;
    std::vector<uint8_t> greeting_, beep_;
    std::map<char, std::vector<uint8_t>> digitPrompts_;
    std::atomic<bool> stop_{false};
};

std::vector<uint8_t> Beep() {
    // 400 ms of a 1 kHz tone, already A-law: a repeating 8-sample pattern.
    static const uint8_t kCycle[8] = {0x34, 0x21, 0x21, 0x34, 0xB4, 0xA1, 0xA1, 0xB4};
    std::vector<uint8_t> b(3200);
    for (size_t i = 0; i < b.size(); ++i) b[i] = kCycle[i % 8];
    return b;
}

bool IvrHost::LoadPrompts() {
    if (!hostapi::ReadAlawFile(opt_.prompts + "/greeting.alaw", &greeting_)) {
        fprintf(stderr, "no greeting in %s\n", opt_.prompts.c_str());
        return false;
    }
    const std::string names = "0123456789*#";
    for (char c : names) {
        std::string file = std::string(c == '*' ? "star" : c == '#' ? "hash" : std::string(1, c)) + ".alaw";
        std::vector<uint8_t> audio;
        if (hostapi::ReadAlawFile(opt_.prompts + "/" + file, &audio)) digitPrompts_[c] = audio;
    }
    beep_ = Beep();
    return true;
}

bool IvrHost::PlayAndWait(int port, const std::vector<uint8_t>& audio, bool* gone) {
    if (audio.empty()) return true;
    if (!api_.Play(port, const_cast<uint8_t*>(audio.data()), static_cast<int>(audio.size()))) {
        Timeline(port, "PLAY FAILED", api_.GetError(port));
        return false;
    }
    int waitMs = static_cast<int>(audio.size() / 8) + 3000;
    int e = inbox_[port]->WaitFor({KVEVENT_PLAYENDS}, waitMs, gone);
    if (*gone) api_.StopPlay(port);
    return e == KVEVENT_PLAYENDS;
}

std::string IvrHost::CollectDigits(int port, bool* gone) {
    // Digits keyed during the greeting are already queued in the module.
    std::string digits;
    for (;;) {
        char c;
        while ((c = api_.GetKey(port)) != 0) {
            g_stats.digits++;
            Timeline(port, "DIGIT", std::string(1, c));
            if (c == '#') return digits;
            digits += c;
        }
        if (inbox_[port]->WaitFor({KVEVENT_KEY}, opt_.digitTimeoutMs, gone) != KVEVENT_KEY) return digits;
    }
}

void IvrHost::RecordMessage(int port, int callNumber, bool* gone) {
    Timeline(port, "RECORD", std::to_string(opt_.recordMs) + " ms");
    api_.Record(port, opt_.recordMs);
    int e = inbox_[port]->WaitFor({KVEVENT_RECORDENDS}, opt_.recordMs + 3000, gone);
    if (e != KVEVENT_RECORDENDS) {
        api_.StopRecord(port);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the last block land
    }
    int size = api_.GetRecordSize(port);
    const uint8_t* data = static_cast<const uint8_t*>(api_.GetRecordBuffer(port));
    std::string file = opt_.outDir + "/port" + std::to_string(port) + "-call" + std::to_string(callNumber) + ".wav";
    if (data != nullptr && size > 0 && hostapi::WriteAlawWav(file, data, static_cast<size_t>(size))) {
        g_stats.recordings++;
        Timeline(port, "SAVED", file + " (" + std::to_string(size / 8) + " ms)");
    }
}

void IvrHost::ServeCall(int port) {
    auto started = Clock::now();
    int callNumber = ++g_stats.calls;
    std::string cli = api_.GetInfo(port, "CLI");
    std::string dli = api_.GetInfo(port, "DLI");
    Timeline(port, "RING", "from " + (cli.empty() ? std::string("(unknown)") : cli) + " to " + dli);
    if (!api_.Answer(port)) {
        Timeline(port, "ANSWER FAIL", api_.GetError(port));
        FinishCall(port);
        return;
    }
    g_stats.answered++;
    Timeline(port, "ANSWERED");
    bool gone = false;
    Timeline(port, "GREETING", std::to_string(greeting_.size() / 8) + " ms");
    PlayAndWait(port, greeting_, &gone);
    std::string digits = gone ? "" : CollectDigits(port, &gone);
    if (!gone) {
        Timeline(port, "DIGITS", digits.empty() ? "(none)" : digits);
        std::vector<uint8_t> echo;
        for (char c : digits) {
            auto it = digitPrompts_.find(c);
            if (it != digitPrompts_.end()) echo.insert(echo.end(), it->second.begin(), it->second.end());
        }
        PlayAndWait(port, echo, &gone);
    }
    if (!gone) PlayAndWait(port, beep_, &gone);
    if (!gone) RecordMessage(port, callNumber, &gone);
    if (gone) Timeline(port, "FAR END GONE");
    api_.Hangup(port);
    double secs = std::chrono::duration<double>(Clock::now() - started).count();
    char buf[64];
    snprintf(buf, sizeof buf, "after %.1f s", secs);
    Timeline(port, "HUNG UP", buf);
    FinishCall(port);
}

void IvrHost::FinishCall(int port) {
    std::lock_guard<std::mutex> g(inbox_[port]->lock);
    inbox_[port]->callRunning = false;
    inbox_[port]->events.clear();
    inbox_[port]->progress.clear();
}

void IvrHost::HandleEvent(int port, int event) {
    PortInbox& box = *inbox_[port];
    if (event == KVEVENT_CALLPROGRESS) {
        for (const char* p = api_.GetCallProgress(port); p != nullptr && *p; p = api_.GetCallProgress(port)) {
            Timeline(port, "PROGRESS", p);
            std::lock_guard<std::mutex> g(box.lock);
            box.progress.push_back(p);
            box.wake.notify_all();
        }
        return;
    }
    if (event == KVEVENT_RING) {
        std::lock_guard<std::mutex> g(box.lock);
        if (box.callRunning) return;
        box.callRunning = true;
        box.events.clear();
        box.progress.clear();
        std::lock_guard<std::mutex> t(threadsLock_);
        callThreads_.emplace_back([this, port] { ServeCall(port); });
        return;
    }
    box.Post(event);
}

void IvrHost::EventLoop(Clock::time_point end) {
    std::vector<pollfd> fds(ports_);
    for (int p = 0; p < ports_; ++p) fds[p] = pollfd{eventFds_[p], POLLIN, 0};
    while (!stop_ && !g_terminate && Clock::now() < end) {
        if (opt_.maxCalls > 0 && g_stats.calls >= opt_.maxCalls) {
            bool busy = false;
            for (auto& b : inbox_) busy |= b->callRunning;
            if (!busy) break;
        }
        if (poll(fds.data(), fds.size(), 200) <= 0) continue;
        for (int p = 0; p < ports_; ++p) {
            if (!(fds[p].revents & POLLIN)) continue;
            uint64_t count;
            if (read(fds[p].fd, &count, sizeof count) < 0) continue;
            for (int e = api_.GetEvent(p); e != KVEVENT_NONE; e = api_.GetEvent(p)) HandleEvent(p, e);
        }
    }
}

void IvrHost::PlaceCalls() {
    std::ifstream list(opt_.dialList);
    int port;
    std::string number;
    while (list >> port >> number) {
        if (!api_.IsPort(port)) continue;
        g_stats.dialled++;
        bool ok = api_.Dial(port, number.c_str());
        Timeline(port, ok ? "DIAL" : "DIAL FAILED", number);
    }
}

int IvrHost::Run() {
    if (!LoadPrompts()) return 2;
    std::string error;
    module_ = hostapi::LoadModule(opt_.module, &api_, &error);
    if (module_ == nullptr) {
        fprintf(stderr, "cannot load %s: %s\n", opt_.module.c_str(), error.c_str());
        return 2;
    }
    printf("%s %s\n", api_.GetDriverName(), api_.GetDriverVer());
    if (!api_.Init()) {
        fprintf(stderr, "Init failed\n");
        return 2;
    }
    ports_ = api_.NoofPorts();
    for (int p = 0; p < ports_; ++p) {
        int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        eventFds_.push_back(fd);
        inbox_.emplace_back(new PortInbox);
        api_.SetEventHandle(p, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
        api_.OpenPort(p);
    }
    // Printed once every port is open and has its handle: from here on a
    // call is answered (the event loop follows at once).
    printf("%d ports\n", ports_);
    fflush(stdout);
    if (!opt_.dialList.empty()) PlaceCalls();
    EventLoop(Clock::now() + std::chrono::seconds(opt_.runSeconds));
    stop_ = true;
    {
        std::lock_guard<std::mutex> t(threadsLock_);
        for (auto& th : callThreads_) th.join();
    }
    for (int p = 0; p < ports_; ++p) {
        api_.SetEventHandle(p, nullptr);
        api_.ClosePort(p);
    }
    api_.Shutdown();
    for (int fd : eventFds_) close(fd);
    printf("\nsummary: %d calls, %d answered, %d digits, %d recordings, %d dialled\n", g_stats.calls.load(),
           g_stats.answered.load(), g_stats.digits.load(), g_stats.recordings.load(), g_stats.dialled.load());
    return 0;
}

void Usage() {
    fprintf(stderr,
            "usage: vaxo-ivr-host [--module PATH] [--prompts DIR] [--out DIR] [--record-ms N]\n"
            "                     [--digit-timeout-ms N] [--calls N] [--seconds N] [--dial FILE]\n"
            "defaults: --module %s --prompts %s --out .\n",
            VAXO_DEFAULT_MODULE, VAXO_DEFAULT_PROMPTS);
}

}  // namespace

static void OnTerminate(int) { g_terminate = 1; }

int main(int argc, char** argv) {
    signal(SIGTERM, OnTerminate);
    signal(SIGINT, OnTerminate);
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--module") o.module = next();
        else if (a == "--prompts") o.prompts = next();
        else if (a == "--out") o.outDir = next();
        else if (a == "--record-ms") o.recordMs = atoi(next().c_str());
        else if (a == "--digit-timeout-ms") o.digitTimeoutMs = atoi(next().c_str());
        else if (a == "--calls") o.maxCalls = atoi(next().c_str());
        else if (a == "--seconds") o.runSeconds = atoi(next().c_str());
        else if (a == "--dial") o.dialList = next();
        else {
            Usage();
            return 2;
        }
    }
    if (o.module.empty()) {
        Usage();
        return 2;
    }
    IvrHost host(o);
    return host.Run();
}
