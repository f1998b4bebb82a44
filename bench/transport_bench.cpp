// Start-up time of the card transport, measured inside a private network
// lab: Init with no card, and Init with 4 simulated cards of 8 trunks each
// until every D-channel is up (every trunk's first port READY).
#include <chrono>
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

constexpr int kCards = 4;
constexpr int kTrunks = 8;
constexpr int kPortsPerTrunk = 30;
constexpr int kRuns = 3;
constexpr int kGiveUpMs = 30000;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

bool NoCardRun(double* initMs) {
    std::string why;
    auto lab = testsupport::NetworkLab::Create(0, &why);
    if (!lab || !lab->EnterHost()) {
        fprintf(stderr, "no lab: %s\n", why.c_str());
        return false;
    }
    testsupport::ModuleHost host;
    if (!host.loaded()) return false;
    Clock::time_point start = Clock::now();
    bool ok = host->Init();
    *initMs = MsSince(start);
    host->Shutdown();
    return ok;
}

struct CardsResult {
    double initMs = 0;
    double allUpAfterInitMs = 0;
};

bool CardsRun(CardsResult* result) {
    std::string why;
    auto lab = testsupport::NetworkLab::Create(kCards, &why);
    if (!lab || !lab->EnterHost()) {
        fprintf(stderr, "no lab: %s\n", why.c_str());
        return false;
    }
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    for (int i = 0; i < kCards; ++i) {
        sim::CardProfile profile;
        profile.serial = 1000 + static_cast<uint32_t>(i);
        profile.trunks = kTrunks;
        bool started = false;
        std::unique_ptr<sim::SimCard> card;
        lab->InCard(i, [&] {
            card.reset(new sim::SimCard(profile));
            started = card->Start();
        });
        if (!started) {
            fprintf(stderr, "simulated card %d did not start\n", i);
            return false;
        }
        cards.push_back(std::move(card));
    }
    testsupport::ModuleHost host;
    if (!host.loaded()) return false;
    Clock::time_point start = Clock::now();
    bool ok = host->Init();
    result->initMs = MsSince(start);
    Clock::time_point initEnd = Clock::now();
    const int trunks = kCards * kTrunks;
    if (!ok || host->NoofPorts() != trunks * kPortsPerTrunk) {
        fprintf(stderr, "Init gave %d ports\n", host->NoofPorts());
        host->Shutdown();
        return false;
    }
    for (int s = 0; s < trunks; ++s) host->OpenPort(s * kPortsPerTrunk);
    int up = 0;
    while (up < trunks && MsSince(initEnd) < kGiveUpMs) {
        up = 0;
        for (int s = 0; s < trunks; ++s)
            if (strcmp(host->GetInfo(s * kPortsPerTrunk, "CHANNELSTATE"), "READY") == 0) ++up;
        if (up < trunks) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    result->allUpAfterInitMs = MsSince(initEnd);
    host->Shutdown();
    if (up < trunks) fprintf(stderr, "only %d of %d D-channels up\n", up, trunks);
    return up == trunks;
}

}  // namespace

int main() {
    printf("transport start-up (%d runs each)\n", kRuns);
    for (int run = 0; run < kRuns; ++run) {
        double ms = 0;
        if (!NoCardRun(&ms)) return 1;
        printf("  no card:            Init %7.1f ms\n", ms);
    }
    for (int run = 0; run < kRuns; ++run) {
        CardsResult r;
        if (!CardsRun(&r)) return 1;
        printf("  %d cards x %d trunks: Init %7.1f ms, all %d D-channels up %7.1f ms after Init returned\n", kCards,
               kTrunks, r.initMs, kCards * kTrunks, r.allUpAfterInitMs);
    }
    return 0;
}
