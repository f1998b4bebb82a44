// Call control, measured inside a private network lab with the module
// loaded as a host loads it and one simulated card of 8 trunks:
// - latency from the far end's SETUP to KVEVENT_RING at the host, and from
//   Dial to the SETUP arriving at the far end (median and 99th percentile,
//   calls one at a time on an idle card);
// - the sustained rate of complete call cycles on the card, every trunk
//   busy at once: half the cycles incoming (ring, Answer, Hangup), half
//   outgoing (Dial, answered by the far end, Hangup).
// Times include the simulator, which runs in the same process.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/lab.h"
#include "common/module_host.h"
#include "sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTrunks = 8;
constexpr int kPortsPerTrunk = 30;
constexpr int kLatencySamples = 200;
constexpr int kRateSeconds = 10;
constexpr int kWorkersPerTrunk = 2;  // one places incoming calls, one outgoing
constexpr int kStepMs = 5000;        // deadline of any one step of a call
constexpr int kUpMs = 30000;
constexpr int kRing = 20;
constexpr auto kPollPause = std::chrono::microseconds(50);

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

int TimeslotOf(int position) { return position < 15 ? position + 1 : position + 2; }

int Fd(void* handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

// Waits until the port's host handle is signalled and its next event is
// kRing; false at the deadline.
bool WaitRing(const testsupport::ModuleApi& api, int port, int fd) {
    Clock::time_point start = Clock::now();
    while (MsSince(start) < kStepMs) {
        for (int e = api.GetEvent(port); e != 0; e = api.GetEvent(port))
            if (e == kRing) return true;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            uint64_t count;
            (void)!read(fd, &count, sizeof count);
        }
    }
    return false;
}

template <typename Pred>
bool Spin(Pred pred) {
    Clock::time_point start = Clock::now();
    while (!pred()) {
        if (MsSince(start) > kStepMs) return false;
        std::this_thread::sleep_for(kPollPause);
    }
    return true;
}

// Reads progress entries until a disconnect entry came (or the deadline).
bool DrainToDisconnect(const testsupport::ModuleApi& api, int port) {
    return Spin([&] {
        for (const char* t = api.GetCallProgress(port); t != nullptr && *t != '\0'; t = api.GetCallProgress(port))
            if (strncmp(t, "DISCONNECTED", 12) == 0) return true;
        return false;
    });
}

struct Percentiles {
    double median = 0, p99 = 0;
};

Percentiles Summarise(std::vector<double> ms) {
    Percentiles p;
    if (ms.empty()) return p;
    std::sort(ms.begin(), ms.end());
    p.median = ms[ms.size() / 2];
    p.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    return p;
}

class Bench {
public:
    bool Start() {
        std::string why;
        lab_ = testsupport::NetworkLab::Create(1, &why);
        if (!lab_ || !lab_->EnterHost()) {
            fprintf(stderr, "no private network lab: %s\n", why.c_str());
            return false;
        }
        sim::CardProfile profile;
        profile.serial = 4242;
        profile.trunks = kTrunks;
        bool started = false;
        lab_->InCard(0, [&] {
            card_.reset(new sim::SimCard(profile));
            started = card_->Start();
        });
        if (!started) return false;
        host_.reset(new testsupport::ModuleHost());
        if (!host_->loaded() || !api().Init()) return false;
        running_ = true;
        if (api().NoofPorts() != kTrunks * kPortsPerTrunk) return false;
        for (int port = 0; port < api().NoofPorts(); ++port) {
            handles_.push_back(host_->NewEventHandle());
            api().SetEventHandle(port, handles_.back());
            api().OpenPort(port);
        }
        for (int t = 0; t < kTrunks; ++t)
            if (!card_->WaitDChannelUp(t, kUpMs)) return false;
        return Spin([&] {
            for (int t = 0; t < kTrunks; ++t)
                if (strcmp(api().GetInfo(t * kPortsPerTrunk, "CHANNELSTATE"), "READY") != 0) return false;
            return true;
        });
    }

    ~Bench() {
        if (running_) api().Shutdown();
        if (card_) card_->Stop();
    }

    const testsupport::ModuleApi& api() { return host_->api(); }

    bool RingLatency(std::vector<double>* ms) {
        const int port = 0;
        for (int i = 0; i < kLatencySamples; ++i) {
            Clock::time_point start = Clock::now();
            if (card_->PlaceCall(0, TimeslotOf(port), "0301234567", "100") < 0) return false;
            if (!WaitRing(api(), port, Fd(handles_[port]))) return false;
            ms->push_back(MsSince(start));
            api().Hangup(port);
            if (!DrainToDisconnect(api(), port)) return false;
        }
        return true;
    }

    bool DialLatency(std::vector<double>* ms) {
        const int port = 1;
        card_->SetIncomingPolicy(0, sim::IncomingPolicy::Proceed);
        for (int i = 0; i < kLatencySamples; ++i) {
            size_t before = card_->Calls().size();
            Clock::time_point start = Clock::now();
            if (!api().Dial(port, "0991234")) return false;
            if (!Spin([&] { return card_->Calls().size() > before; })) return false;
            ms->push_back(MsSince(start));
            api().Hangup(port);
            if (!DrainToDisconnect(api(), port)) return false;
        }
        return true;
    }

    // Complete cycles per second over kRateSeconds with every trunk busy.
    bool Rate(double* perSecond, uint64_t* failures) {
        for (int t = 0; t < kTrunks; ++t) card_->SetIncomingPolicy(t, sim::IncomingPolicy::Answer);
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> cycles{0}, failed{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < kTrunks; ++t)
            for (int w = 0; w < kWorkersPerTrunk; ++w)
                workers.emplace_back([&, t, w] {
                    const int first = w * (kPortsPerTrunk / kWorkersPerTrunk);
                    for (int k = 0; !stop.load(); k = (k + 1) % (kPortsPerTrunk / kWorkersPerTrunk)) {
                        bool ok = w == 0 ? IncomingCycle(t, first + k) : OutgoingCycle(t, first + k);
                        (ok ? cycles : failed).fetch_add(1);
                    }
                });
        Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(kRateSeconds));
        uint64_t done = cycles.load();
        double seconds = MsSince(start) / 1000.0;
        stop.store(true);
        for (std::thread& worker : workers) worker.join();
        *perSecond = done / seconds;
        *failures = failed.load();
        return true;
    }

private:
    bool IncomingCycle(int trunk, int position) {
        const int port = trunk * kPortsPerTrunk + position;
        if (card_->PlaceCall(trunk, TimeslotOf(position), "0301234567", "100") < 0) return false;
        if (!WaitRing(api(), port, Fd(handles_[port]))) return false;
        bool answered = api().Answer(port);
        api().Hangup(port);
        return DrainToDisconnect(api(), port) && answered;
    }

    bool OutgoingCycle(int trunk, int position) {
        const int port = trunk * kPortsPerTrunk + position;
        if (!api().Dial(port, "0991234")) return false;
        bool connected = Spin([&] { return api().IsCallActive(port); });
        api().Hangup(port);
        return DrainToDisconnect(api(), port) && connected;
    }

    std::unique_ptr<testsupport::NetworkLab> lab_;
    std::unique_ptr<sim::SimCard> card_;
    std::unique_ptr<testsupport::ModuleHost> host_;
    std::vector<void*> handles_;
    bool running_ = false;
};

}  // namespace

int main() {
    Bench bench;
    if (!bench.Start()) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    std::vector<double> ring, dial;
    if (!bench.RingLatency(&ring) || !bench.DialLatency(&dial)) {
        fprintf(stderr, "a call did not complete in time\n");
        return 1;
    }
    Percentiles r = Summarise(ring), d = Summarise(dial);
    printf("call control, 1 card x %d trunks (module + simulated card in a private lab)\n", kTrunks);
    printf("  far-end SETUP -> KVEVENT_RING: median %6.3f ms, p99 %6.3f ms (%d calls)\n", r.median, r.p99,
           kLatencySamples);
    printf("  Dial -> SETUP at the far end:  median %6.3f ms, p99 %6.3f ms (%d calls)\n", d.median, d.p99,
           kLatencySamples);
    double rate = 0;
    uint64_t failures = 0;
    bench.Rate(&rate, &failures);
    printf("  sustained call cycles: %.1f per second per card (%d workers, %d s, %llu failed cycles)\n", rate,
           kTrunks * kWorkersPerTrunk, kRateSeconds, static_cast<unsigned long long>(failures));
    return 0;
}
