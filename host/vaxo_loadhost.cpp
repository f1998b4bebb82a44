// Load host: loads the module like an IVR host and keeps every port busy
// for load and soak runs against the card simulator's load generator. It
// answers every call, plays a prompt over and over, records and reads
// digits; on the ports kept for outgoing calls it dials, holds and hangs
// up. It measures what the module costs and reports: CPU time of the
// module's threads, answer and play latencies, and the module's media
// statistics (GetInfo). Every wait has a deadline.
//
//   vaxo-loadhost --module PATH [--seconds 60] [--dial-share 0] [--dial-number 200]
//                 [--dial-hold 20s-40s] [--prompt-ms 2000] [--record-ms 2000]
//                 [--workers 4] [--up-timeout 60] [--expect-ports N] [--report 1]
//                 [--cycles 1] [--cycle-gap-ms 0] [--rss-slack-mb 8] [--rss-per-cycle-kb 256] [--tail 0]
//                 [--max-rss-growth-mb N] [--keep-loaded 0|1]
//
// --tail S: no calls of our own in the last S seconds (the cards stop first).
// SIGUSR1 does the same at once (the calls of our own are ended); SIGINT or
// SIGTERM ends the run early, with the final report.
// --max-rss-growth-mb: resident memory may grow at most this much between
// the first report with calls up and the end of the run.
// --cycles N runs load, Init, calls, Shutdown and unload N times in this
// process, and checks that descriptors and threads come back to their level
// before the first cycle and resident memory to that after the first two
// (the allocator's arenas settle in), plus what libpri keeps per cycle.
// Exit status: 0 good, 2 the lab or module could not be brought up, 3 calls
// failed or audio was lost, 4 a resource did not come back.
#include <dirent.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/module_api.h"

namespace {

volatile sig_atomic_t g_windDown = 0, g_interrupted = 0;
void OnWindDown(int) { g_windDown = 1; }
void OnInterrupt(int) { g_interrupted = 1; }

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int kPortsPerTrunk = 30;
constexpr int kDialConnectTimeoutMs = 10000;
constexpr int kRedialPauseMs = 500;
constexpr int kEpollWaitMs = 100;
constexpr int kTimerStepMs = 20;
constexpr int kSettlePollMs = 100;
constexpr int kSettleAfterUpMs = 2000;
constexpr int kAlawPerMs = 8;
constexpr int kDialPseudoEvent = -1;    // queued by the timer: dial now
constexpr int kHangupPseudoEvent = -2;  // queued by the timer: hold time is over
constexpr int kExitLab = 2, kExitCalls = 3, kExitResources = 4;

struct Options {
    std::string module;
    int seconds = 60;
    double dialShare = 0;
    std::string dialNumber = "200";
    long dialHoldMinMs = 20000, dialHoldMaxMs = 40000;
    int promptMs = 2000;
    int recordMs = 2000;
    int workers = 4;
    int upTimeoutS = 60;
    int expectPorts = 0;
    int reportS = 1;
    int cycles = 1;
    int cycleGapMs = 0;
    long rssSlackMb = 8;
    long rssPerCycleKb = 256;  // libpri's controllers of one cycle, never freed
    bool keepLoaded = false;  // cycles without unloading (leak checkers then see the module's frames)
    int tailS = 0;            // no new calls of our own in the last seconds of the run
    long maxRssGrowthMb = -1; // fail when resident memory grows more during the run
};

bool Usage(const char* why) {
    fprintf(stderr, "vaxo-loadhost: %s\n(see the head of host/vaxo_loadhost.cpp for the options)\n", why);
    return false;
}

bool ReadInt(const char* text, long lo, long hi, long* out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// "30s", "500ms" or "20s-40s".
bool ReadHold(const std::string& text, long* lo, long* hi) {
    auto one = [](const std::string& t, long* ms) {
        char* end = nullptr;
        const double v = std::strtod(t.c_str(), &end);
        const std::string unit = end ? end : "";
        if (end == t.c_str() || v <= 0 || (unit != "s" && unit != "ms" && !unit.empty())) return false;
        *ms = std::lround(unit == "ms" ? v : v * 1000);
        return *ms > 0;
    };
    const size_t dash = text.find('-');
    if (dash == std::string::npos) return one(text, lo) && one(text, hi);
    return one(text.substr(0, dash), lo) && one(text.substr(dash + 1), hi) && *lo <= *hi;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return Usage(("missing value after " + a).c_str());
        const char* v = argv[++i];
        long n = 0;
        double d = 0;
        char* end = nullptr;
        if (a == "--module") o->module = v;
        else if (a == "--seconds" && ReadInt(v, 1, 24 * 3600, &n)) o->seconds = static_cast<int>(n);
        else if (a == "--dial-share" && (d = std::strtod(v, &end), end != v && *end == '\0' && d >= 0 && d <= 1))
            o->dialShare = d;
        else if (a == "--dial-number" && *v != '\0' && std::strspn(v, "0123456789") == std::strlen(v)) o->dialNumber = v;
        else if (a == "--dial-hold" && ReadHold(v, &o->dialHoldMinMs, &o->dialHoldMaxMs)) {
        } else if (a == "--prompt-ms" && ReadInt(v, 20, 600000, &n)) o->promptMs = static_cast<int>(n);
        else if (a == "--record-ms" && ReadInt(v, 20, 600000, &n)) o->recordMs = static_cast<int>(n);
        else if (a == "--workers" && ReadInt(v, 1, 64, &n)) o->workers = static_cast<int>(n);
        else if (a == "--up-timeout" && ReadInt(v, 1, 3600, &n)) o->upTimeoutS = static_cast<int>(n);
        else if (a == "--expect-ports" && ReadInt(v, 1, 1024, &n)) o->expectPorts = static_cast<int>(n);
        else if (a == "--report" && ReadInt(v, 1, 3600, &n)) o->reportS = static_cast<int>(n);
        else if (a == "--cycles" && ReadInt(v, 1, 100000, &n)) o->cycles = static_cast<int>(n);
        else if (a == "--cycle-gap-ms" && ReadInt(v, 0, 600000, &n)) o->cycleGapMs = static_cast<int>(n);
        else if (a == "--rss-slack-mb" && ReadInt(v, 0, 65536, &n)) o->rssSlackMb = n;
        else if (a == "--rss-per-cycle-kb" && ReadInt(v, 0, 1 << 20, &n)) o->rssPerCycleKb = n;
        else if (a == "--tail" && ReadInt(v, 0, 3600, &n)) o->tailS = static_cast<int>(n);
        else if (a == "--keep-loaded" && (std::strcmp(v, "0") == 0 || std::strcmp(v, "1") == 0))
            o->keepLoaded = std::strcmp(v, "1") == 0;
        else if (a == "--max-rss-growth-mb" && ReadInt(v, 0, 65536, &n)) o->maxRssGrowthMb = n;
        else return Usage(("bad option or value: " + a + " " + v).c_str());
    }
    if (o->module.empty()) return Usage("--module PATH is required");
    return true;
}

// --- process resources -------------------------------------------------

int CountEntries(const char* dir) {
    DIR* d = opendir(dir);
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // the directory's own descriptor
}

long RssKb() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

struct Resources {
    int fds, threads;
    long rssKb;
};
Resources Snapshot() { return Resources{CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"), RssKb()}; }

// CPU seconds of the module's threads (named vaxo-*), by thread name. A
// thread that has ended (a card's threads are replaced when the card
// restarts) keeps the time last seen in `seen` (thread id -> its name and
// seconds in all and in the kernel).
struct SeenThread {
    std::string name;
    double seconds = 0, kernelSeconds = 0;
};
using ThreadCpu = std::map<std::string, SeenThread>;
std::map<std::string, double> ModuleCpu(ThreadCpu& seen) {
    std::map<std::string, double> out;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        const std::string name = stat.substr(open + 1, close - open - 1);
        if (name.rfind("vaxo-", 0) != 0 || name == "vaxo-loadhost") continue;  // the host's own threads
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
        }
        seen[e->d_name] = {name, static_cast<double>(utime + stime) / tick, static_cast<double>(stime) / tick};
    }
    closedir(d);
    for (const auto& kv : seen) out[kv.second.name] += kv.second.seconds;
    return out;
}

// The kernel's part of ModuleCpu, by thread name (system calls and the
// network stack's work done on their behalf).
std::map<std::string, double> ModuleKernelCpu(const ThreadCpu& seen) {
    std::map<std::string, double> out;
    for (const auto& kv : seen) out[kv.second.name] += kv.second.kernelSeconds;
    return out;
}

double Total(const std::map<std::string, double>& m) {
    double t = 0;
    for (const auto& kv : m) t += kv.second;
    return t;
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    size_t k = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
    k = std::min(v.size() - 1, k > 0 ? k - 1 : 0);
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

// --- the run ------------------------------------------------------------

struct Counters {
    std::atomic<uint64_t> rings{0}, answered{0}, answerFailed{0}, dialled{0}, dialFailed{0}, connected{0};
    std::atomic<uint64_t> noConnect{0}, completed{0}, hungUp{0}, plays{0}, playFailed{0}, keys{0}, recordings{0};
    std::mutex lock;  // for the maps and samples below
    std::map<std::string, uint64_t> abnormal;  // disconnects with another cause
    std::vector<double> answerMs, playOverrunMs;
};

// One port. The lock guards the event queue; the worker that handles the
// port writes the rest, and the timer thread reads state and times (atomics).
struct Port {
    std::mutex lock;
    std::deque<int> events;
    bool queued = false;
    bool outgoing = false;   // kept for the module's own calls
    enum class State { Idle, Ringing, Dialling, Talking };
    std::atomic<State> state{State::Idle};
    bool hungUpByUs = false;
    std::atomic<Clock::time_point> dialAt{Clock::time_point{}}, hangupAt{Clock::time_point{}},
        dialledAt{Clock::time_point{}};
    Clock::time_point playAt{};  // worker only
};

class LoadRun {
public:
    LoadRun(const Options& o, hostapi::ModuleApi& api) : o_(o), api_(api), rng_(1) {}
    int Run();

private:
    bool BringUp();
    void EventLoop();
    void Worker();
    void Timer();
    void Post(int port, int event);
    void Handle(int port, Port& p, int event);
    void StartTalking(int port, Port& p);
    void Play(int port, Port& p);
    void Progress(int port, Port& p);
    void Report(double seconds, bool final);
    long HoldMs();

    const Options& o_;
    hostapi::ModuleApi& api_;
    int ports_ = 0;
    std::vector<std::unique_ptr<Port>> port_;
    std::vector<int> efd_;
    int epoll_ = -1;
    std::vector<uint8_t> prompt_;
    std::mutex workLock_;
    std::condition_variable workWake_;
    std::deque<int> work_;
    std::atomic<bool> stop_{false};
    Counters c_;
    std::mt19937 rng_;
    std::mutex rngLock_;
    std::vector<int> cardFirstPort_;  // one port of each card, for the card statistics
    Clock::time_point dialEnd_{};
    // Per report: module CPU share of one core while this many ports talked.
    double lastCpu_ = 0, lastReportS_ = 0;
    ThreadCpu threadCpu_;
    std::vector<std::pair<int, double>> intervals_;
    long warmRssKb_ = -1;
    int failuresShown_ = 0;
    void Note(int port, const char* what);
};

long LoadRun::HoldMs() {
    std::lock_guard<std::mutex> g(rngLock_);
    return std::uniform_int_distribution<long>(o_.dialHoldMinMs, o_.dialHoldMaxMs)(rng_);
}

// Waits until every port's trunk is up; says which are not when it gives up.
bool LoadRun::BringUp() {
    if (ports_ <= 0) {
        fprintf(stderr, "vaxo-loadhost: the module found no ports (no card answered discovery in this namespace)\n");
        return false;
    }
    if (o_.expectPorts > 0 && ports_ != o_.expectPorts) {
        fprintf(stderr, "vaxo-loadhost: %d ports, expected %d (a card missing or refused?)\n", ports_, o_.expectPorts);
        return false;
    }
    std::string lastSerial;
    for (int p = 0; p < ports_; ++p) {
        const std::string serial = api_.GetSerialNo(p);
        if (serial != lastSerial) cardFirstPort_.push_back(p);
        lastSerial = serial;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(o_.upTimeoutS);
    for (;;) {
        std::vector<int> down;
        for (int p = 0; p < ports_; p += kPortsPerTrunk)
            if (std::string(api_.GetInfo(p, "CHANNELSTATE")) == "DOWN") down.push_back(p / kPortsPerTrunk);
        if (down.empty()) {
            // Let the trunks finish their start (restarts) before calls of our own.
            std::this_thread::sleep_for(Ms(kSettleAfterUpMs));
            return true;
        }
        if (Clock::now() >= deadline) {
            fprintf(stderr, "vaxo-loadhost: after %d s, %zu of %d trunks are still down (first: trunk %d, %s)\n",
                    o_.upTimeoutS, down.size(), ports_ / kPortsPerTrunk, down[0],
                    api_.GetPortName(down[0] * kPortsPerTrunk));
            return false;
        }
        std::this_thread::sleep_for(Ms(kSettlePollMs));
    }
}

// The first few failures, with the module's error text for the port.
void LoadRun::Note(int port, const char* what) {
    constexpr int kMaxNotes = 20;
    std::lock_guard<std::mutex> g(c_.lock);
    if (failuresShown_++ >= kMaxNotes) return;
    printf("  port %d: %s (%s)\n", port, what, api_.GetError(port));
}

void LoadRun::Post(int port, int event) {
    Port& p = *port_[static_cast<size_t>(port)];
    {
        std::lock_guard<std::mutex> g(p.lock);
        p.events.push_back(event);
        if (p.queued) return;
        p.queued = true;
    }
    std::lock_guard<std::mutex> g(workLock_);
    work_.push_back(port);
    workWake_.notify_one();
}

void LoadRun::EventLoop() {
    epoll_event ready[64];
    while (!stop_) {
        const int n = epoll_wait(epoll_, ready, 64, kEpollWaitMs);
        for (int i = 0; i < n; ++i) {
            const int port = static_cast<int>(ready[i].data.u32);
            uint64_t count;
            if (read(efd_[static_cast<size_t>(port)], &count, sizeof count) < 0) continue;
            for (int e = api_.GetEvent(port); e != KVEVENT_NONE; e = api_.GetEvent(port)) Post(port, e);
        }
    }
}

// One port at a time per worker: a port's events are handled in order.
void LoadRun::Worker() {
    for (;;) {
        int port;
        {
            std::unique_lock<std::mutex> g(workLock_);
            workWake_.wait_for(g, Ms(kEpollWaitMs), [&] { return stop_ || !work_.empty(); });
            if (work_.empty()) {
                if (stop_) return;
                continue;
            }
            port = work_.front();
            work_.pop_front();
        }
        Port& p = *port_[static_cast<size_t>(port)];
        for (;;) {
            int event;
            {
                std::lock_guard<std::mutex> g(p.lock);
                if (p.events.empty()) {
                    p.queued = false;
                    break;
                }
                event = p.events.front();
                p.events.pop_front();
            }
            Handle(port, p, event);
        }
    }
}

void LoadRun::Play(int port, Port& p) {
    p.playAt = Clock::now();
    if (api_.Play(port, prompt_.data(), static_cast<int>(prompt_.size()))) ++c_.plays;
    else ++c_.playFailed;
}

void LoadRun::StartTalking(int port, Port& p) {
    p.state = Port::State::Talking;
    api_.Record(port, o_.recordMs);
    Play(port, p);
    if (p.outgoing) p.hangupAt = Clock::now() + Ms(HoldMs());
}

void LoadRun::Progress(int port, Port& p) {
    for (const char* t = api_.GetCallProgress(port); t != nullptr && *t != '\0'; t = api_.GetCallProgress(port)) {
        const std::string text = t;
        if (text == "CONNECTED" && p.state == Port::State::Dialling) {
            ++c_.connected;
            StartTalking(port, p);
        } else if (text.rfind("DISCONNECTED", 0) == 0) {
            const bool normal = text.rfind("DISCONNECTED-NORMALCLEARING", 0) == 0 ||
                                text.rfind("DISCONNECTED-NORMALUNSPECIFIED", 0) == 0;
            if (p.state == Port::State::Talking && normal) ++c_.completed;
            if (!normal && !p.hungUpByUs) {
                Note(port, text.c_str());
                std::lock_guard<std::mutex> g(c_.lock);
                ++c_.abnormal[text];
            }
            if (p.state != Port::State::Idle) api_.Hangup(port);
            p.state = Port::State::Idle;
            p.dialAt = Clock::now() + Ms(kRedialPauseMs);
        }
    }
}

void LoadRun::Handle(int port, Port& p, int event) {
    switch (event) {
    case KVEVENT_RING: {
        ++c_.rings;
        p.hungUpByUs = false;
        const auto t0 = Clock::now();
        if (!api_.Answer(port)) {
            ++c_.answerFailed;
            Note(port, "Answer failed");
            api_.Hangup(port);
            p.state = Port::State::Idle;
            break;
        }
        ++c_.answered;
        {
            std::lock_guard<std::mutex> g(c_.lock);
            c_.answerMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        StartTalking(port, p);
        break;
    }
    case KVEVENT_CALLPROGRESS: Progress(port, p); break;
    case KVEVENT_PLAYENDS:
        if (p.state == Port::State::Talking) {
            // Time beyond the prompt's own length: start and end latency together.
            const double took = std::chrono::duration<double, std::milli>(Clock::now() - p.playAt).count();
            {
                std::lock_guard<std::mutex> g(c_.lock);
                c_.playOverrunMs.push_back(took - o_.promptMs);
            }
            Play(port, p);
        }
        break;
    case KVEVENT_KEY:
        while (api_.GetKey(port) != 0) ++c_.keys;
        break;
    case KVEVENT_RECORDENDS:
        if (api_.GetRecordSize(port) > 0) ++c_.recordings;
        if (p.state == Port::State::Talking) api_.Record(port, o_.recordMs);
        break;
    case kDialPseudoEvent:
        if (p.state != Port::State::Idle) break;
        ++c_.dialled;
        p.hungUpByUs = false;
        if (api_.Dial(port, o_.dialNumber.c_str())) {
            p.state = Port::State::Dialling;
            p.dialledAt = Clock::now();
        } else {
            ++c_.dialFailed;
            Note(port, "Dial failed");
            p.dialAt = Clock::now() + Ms(kRedialPauseMs);
        }
        break;
    case kHangupPseudoEvent:
        if (p.state == Port::State::Dialling) {
            ++c_.noConnect;
            Note(port, "no CONNECTED for our call");
        }
        if (p.state == Port::State::Talking) ++c_.completed;
        if (p.state != Port::State::Idle) {
            p.hungUpByUs = true;
            api_.StopPlay(port);
            api_.Hangup(port);
            ++c_.hungUp;
        }
        p.state = Port::State::Idle;
        p.dialAt = Clock::now() + Ms(kRedialPauseMs);
        break;
    default: break;
    }
}

// Dials idle outgoing ports and ends held calls; what it queues, the worker
// checks again against the port's state.
void LoadRun::Timer() {
    while (!stop_) {
        const auto now = Clock::now();
        for (int port = 0; port < ports_; ++port) {
            Port& p = *port_[static_cast<size_t>(port)];
            if (!p.outgoing) continue;
            int event = 0;
            {
                std::lock_guard<std::mutex> g(p.lock);
                if (p.queued) continue;
                const bool ending = now >= dialEnd_ || g_windDown;
                const Port::State state = p.state;
                if (state == Port::State::Idle && now >= p.dialAt.load() && !ending) event = kDialPseudoEvent;
                else if (state != Port::State::Idle && ending) event = kHangupPseudoEvent;  // the run ends
                else if (state == Port::State::Talking && now >= p.hangupAt.load()) event = kHangupPseudoEvent;
                else if (state == Port::State::Dialling && now - p.dialledAt.load() > Ms(kDialConnectTimeoutMs))
                    event = kHangupPseudoEvent;
            }
            if (event != 0) Post(port, event);
        }
        std::this_thread::sleep_for(Ms(kTimerStepMs));
    }
}

std::string Stat(hostapi::ModuleApi& api, int port, const char* key) { return api.GetInfo(port, key); }
unsigned long long StatN(hostapi::ModuleApi& api, int port, const char* key) {
    return std::strtoull(api.GetInfo(port, key), nullptr, 10);
}

void LoadRun::Report(double seconds, bool final) {
    int talking = 0, erlePorts = 0;
    double erleSum = 0;
    unsigned long long digits = 0;
    for (int port = 0; port < ports_; ++port) {
        {
            std::lock_guard<std::mutex> g(port_[static_cast<size_t>(port)]->lock);
            talking += port_[static_cast<size_t>(port)]->state == Port::State::Talking;
        }
        if (!final) continue;
        const std::string erle = Stat(api_, port, "ECHOERLE");
        if (!erle.empty()) {
            ++erlePorts;
            erleSum += std::atof(erle.c_str());
        }
        digits += StatN(api_, port, "DIGITSDETECTED");
    }
    const auto cpu = ModuleCpu(threadCpu_);
    const double pct = seconds > lastReportS_ ? 100.0 * (Total(cpu) - lastCpu_) / (seconds - lastReportS_) : 0;
    printf("[%6.0fs] talking %d rings %llu answered %llu dialled %llu connected %llu completed %llu | module CPU %.1f s,"
           " %.1f %% of a core\n",
           seconds, talking, (unsigned long long)c_.rings.load(), (unsigned long long)c_.answered.load(),
           (unsigned long long)c_.dialled.load(), (unsigned long long)c_.connected.load(),
           (unsigned long long)c_.completed.load(), Total(cpu), pct);
    if (!final) {
        intervals_.emplace_back(talking, pct);
        lastCpu_ = Total(cpu);
        lastReportS_ = seconds;
        if (warmRssKb_ < 0 && talking > 0) warmRssKb_ = RssKb();
    }
    if (!final) {
        fflush(stdout);
        return;
    }
    unsigned long long lost = 0, late = 0, cardLost = 0;
    for (int first : cardFirstPort_) {
        printf("  card %s: rx %llu tx %llu lost %llu dup %llu resync %llu card-lost %llu bad %llu dropped %llu |"
               " ticks %llu late %llu p99 %s us max %s us\n",
               api_.GetSerialNo(first), StatN(api_, first, "AUDIORXPACKETS"), StatN(api_, first, "AUDIOTXPACKETS"),
               StatN(api_, first, "AUDIOLOST"), StatN(api_, first, "AUDIODUPLICATES"),
               StatN(api_, first, "AUDIORESYNCS"), StatN(api_, first, "AUDIOCARDLOST"),
               StatN(api_, first, "AUDIOBADPACKETS"), StatN(api_, first, "AUDIODROPPED"),
               StatN(api_, first, "TICKCYCLES"), StatN(api_, first, "TICKLATE"),
               Stat(api_, first, "TICKLATEP99").c_str(), Stat(api_, first, "TICKLATEMAX").c_str());
        lost += StatN(api_, first, "AUDIOLOST") + StatN(api_, first, "AUDIODROPPED");
        cardLost += StatN(api_, first, "AUDIOCARDLOST");
        late += StatN(api_, first, "TICKLATE");
    }
    std::lock_guard<std::mutex> g(c_.lock);
    printf("  answer: p50 %.1f p99 %.1f max %.1f ms; play beyond the prompt: p50 %.1f p99 %.1f ms\n",
           Percentile(c_.answerMs, 0.5), Percentile(c_.answerMs, 0.99), Percentile(c_.answerMs, 1),
           Percentile(c_.playOverrunMs, 0.5), Percentile(c_.playOverrunMs, 0.99));
    printf("  echo cancellers running on %d ports, mean ERLE %.1f dB; digits detected %llu, read %llu\n", erlePorts,
           erlePorts ? erleSum / erlePorts : 0.0, digits, (unsigned long long)c_.keys.load());
    const auto kernelCpu = ModuleKernelCpu(threadCpu_);
    for (const auto& kv : cpu)
        printf("  module thread %-16s %8.2f s CPU (%.2f s in the kernel)\n", kv.first.c_str(), kv.second,
               kernelCpu.count(kv.first) ? kernelCpu.at(kv.first) : 0.0);
    for (const auto& kv : c_.abnormal) printf("  abnormal clearing: %s x%llu\n", kv.first.c_str(), (unsigned long long)kv.second);
    const unsigned long long failed = c_.answerFailed + c_.dialFailed + c_.noConnect + c_.playFailed;
    uint64_t abnormal = 0;
    for (const auto& kv : c_.abnormal) abnormal += kv.second;
    // CPU at full load: the reports while at least 95 % of the most ports talked.
    int most = 0;
    for (const auto& iv : intervals_) most = std::max(most, iv.first);
    double fullSum = 0;
    int fullCount = 0;
    for (const auto& iv : intervals_)
        if (most > 0 && iv.first * 100 >= most * 95) fullSum += iv.second, ++fullCount;
    printf("  at full load (%d ports talking, %d reports): module threads %.1f %% of one core\n", most, fullCount,
           fullCount ? fullSum / fullCount : 0.0);
    printf("  resident memory %ld kB with calls up, %ld kB at the end\n", warmRssKb_, RssKb());
    printf("result ports=%d seconds=%.0f answered=%llu connected=%llu completed=%llu failed=%llu abnormal=%llu"
           " cpu_s=%.2f cpu_pct_full_load=%.1f audio_lost=%llu card_lost=%llu ticks_late=%llu answer_p99_ms=%.2f\n",
           ports_, seconds, (unsigned long long)c_.answered.load(), (unsigned long long)c_.connected.load(),
           (unsigned long long)c_.completed.load(), failed, (unsigned long long)abnormal, Total(cpu),
           fullCount ? fullSum / fullCount : 0.0, lost, cardLost, late, Percentile(c_.answerMs, 0.99));
    fflush(stdout);
}

int LoadRun::Run() {
    ports_ = api_.NoofPorts();
    prompt_.resize(static_cast<size_t>(o_.promptMs) * kAlawPerMs);
    static const uint8_t kCycle[8] = {0x34, 0x21, 0x21, 0x34, 0xB4, 0xA1, 0xA1, 0xB4};  // 1 kHz, A-law
    for (size_t i = 0; i < prompt_.size(); ++i) prompt_[i] = kCycle[i % 8];
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    const int kept = static_cast<int>(std::lround(o_.dialShare * kPortsPerTrunk));
    for (int port = 0; port < ports_; ++port) {
        port_.emplace_back(new Port);
        port_.back()->outgoing = port % kPortsPerTrunk >= kPortsPerTrunk - kept;
        const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        efd_.push_back(fd);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(port);
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        api_.SetEventHandle(port, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
        api_.OpenPort(port);
    }
    const bool up = BringUp();
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    threads.emplace_back([this] { EventLoop(); });
    threads.emplace_back([this] { Timer(); });
    for (int i = 0; i < o_.workers; ++i) threads.emplace_back([this] { Worker(); });
    const auto end = start + std::chrono::seconds(o_.seconds);
    dialEnd_ = end - std::chrono::seconds(o_.tailS);
    auto nextReport = start + std::chrono::seconds(o_.reportS);
    constexpr auto kLookAtSignals = Ms(200);
    while (up && Clock::now() < end && !g_interrupted) {
        std::this_thread::sleep_until(std::min({end, nextReport, Clock::now() + kLookAtSignals}));
        if (Clock::now() >= nextReport) {
            Report(std::chrono::duration<double>(Clock::now() - start).count(), false);
            nextReport += std::chrono::seconds(o_.reportS);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (up) Report(seconds, true);
    stop_ = true;
    workWake_.notify_all();
    for (auto& t : threads) t.join();
    // Clear what is still up so that Shutdown finds quiet ports.
    for (int port = 0; port < ports_; ++port) {
        if (port_[static_cast<size_t>(port)]->state != Port::State::Idle) api_.Hangup(port);
        api_.SetEventHandle(port, nullptr);
        api_.ClosePort(port);
    }
    for (int fd : efd_) close(fd);
    close(epoll_);
    if (!up) return kExitLab;
    const unsigned long long failed = c_.answerFailed + c_.dialFailed + c_.noConnect + c_.playFailed;
    uint64_t abnormal = 0;
    for (const auto& kv : c_.abnormal) abnormal += kv.second;
    unsigned long long lost = 0;
    for (int first : cardFirstPort_) lost += StatN(api_, first, "AUDIOLOST") + StatN(api_, first, "AUDIODROPPED");
    if (o_.maxRssGrowthMb >= 0 && warmRssKb_ >= 0 && RssKb() > warmRssKb_ + o_.maxRssGrowthMb * 1024) {
        fprintf(stderr, "vaxo-loadhost: resident memory grew from %ld kB to %ld kB during the run\n", warmRssKb_, RssKb());
        return kExitResources;
    }
    return failed + abnormal + lost > 0 ? kExitCalls : 0;
}

// One cycle: load, Init, the run, Shutdown, unload.
int Cycle(const Options& o) {
    hostapi::ModuleApi api{};
    std::string error;
    void* module = hostapi::LoadModule(o.module, &api, &error);
    if (module == nullptr) {
        fprintf(stderr, "vaxo-loadhost: cannot load %s: %s\n", o.module.c_str(), error.c_str());
        return kExitLab;
    }
    int rc = kExitLab;
    if (!api.Init()) {
        fprintf(stderr, "vaxo-loadhost: Init failed (see the module's log next to it)\n");
    } else {
        LoadRun run(o, api);
        rc = run.Run();
        api.Shutdown();
    }
    if (!o.keepLoaded) hostapi::UnloadModule(module);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) return kExitLab;
    signal(SIGUSR1, OnWindDown);
    signal(SIGINT, OnInterrupt);
    signal(SIGTERM, OnInterrupt);
    const Resources before = Snapshot();
    Resources afterFirst{};
    int rc = 0;
    for (int i = 0; i < o.cycles && rc == 0 && !g_interrupted; ++i) {
        if (o.cycles > 1) printf("cycle %d of %d\n", i + 1, o.cycles);
        rc = Cycle(o);
        if (i == 0 || i == 1) afterFirst = Snapshot();  // the allocator settles in the first two
        if (o.cycles > 1) {
            const Resources now = Snapshot();
            printf("after cycle %d: descriptors %d, threads %d, resident %ld kB\n", i + 1, now.fds, now.threads, now.rssKb);
        }
        if (o.cycleGapMs > 0) std::this_thread::sleep_for(Ms(o.cycleGapMs));
    }
    const Resources after = Snapshot();
    // libpri offers no way to free a controller: each cycle keeps those of
    // its trunks, which the allowance per cycle covers.
    const long allowedKb = afterFirst.rssKb + o.rssSlackMb * 1024 + std::max(0, o.cycles - 2) * o.rssPerCycleKb;
    printf("resources: descriptors %d -> %d, threads %d -> %d, resident %ld kB -> %ld kB after the first cycles -> %ld kB"
           " (allowed %ld kB)\n",
           before.fds, after.fds, before.threads, after.threads, before.rssKb, afterFirst.rssKb, after.rssKb, allowedKb);
    if (rc == 0 && (after.fds != before.fds || after.threads != before.threads || after.rssKb > allowedKb)) {
        fprintf(stderr, "vaxo-loadhost: descriptors, threads or resident memory did not come back\n");
        rc = kExitResources;
    }
    return rc;
}
