// Shared set-up of the end-to-end tests: a private lab, one simulated card
// per profile in its own namespace, and the module loaded as a host loads it.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/lab.h"
#include "common/module_host.h"
#include "common/wait.h"
#include "sim/sim.h"

namespace transport_e2e {

using testsupport::WaitUntil;

constexpr int kCallProgress = 30;
constexpr int kSetUpMs = 10000;     // Init with cards, generous for a loaded machine
constexpr int kDChannelMs = 10000;  // libpri's link set-up, retransmissions included

inline sim::CardProfile Card(uint32_t serial, int trunks = 1) {
    sim::CardProfile p;
    p.serial = serial, p.trunks = trunks;
    return p;
}

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// Pops every event of a port (GetEvent gives 0 when the queue is empty).
inline std::vector<int> TakeEvents(const testsupport::ModuleApi& api, int port) {
    std::vector<int> events;
    for (int e = api.GetEvent(port); e != 0; e = api.GetEvent(port)) events.push_back(e);
    return events;
}

// A lab with a running card per profile and the module started against them;
// Shutdown runs before the module is unloaded, also after a failed assertion.
struct CardLab {
    std::vector<sim::CardProfile> profiles;
    std::string why;
    std::unique_ptr<testsupport::NetworkLab> lab;
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    std::unique_ptr<testsupport::ModuleHost> host;
    bool inited = false;

    explicit CardLab(std::vector<sim::CardProfile> p)
        : profiles(std::move(p)), lab(testsupport::NetworkLab::Create(int(profiles.size()), &why)) {}
    ~CardLab() { Stop(); }

    bool StartCards() {
        bool started = true;
        for (size_t i = 0; i < profiles.size() && started; ++i) {
            cards.push_back(std::make_unique<sim::SimCard>(profiles[i]));
            started = lab->InCard(int(i), [&] { started = cards.back()->Start(); }) && started;
        }
        return started;
    }
    // Loads the module beside iniText; beforeInit runs between load and Init.
    bool Start(const std::string& iniText = "", const std::function<void()>& beforeInit = {}) {
        host = std::make_unique<testsupport::ModuleHost>(iniText);
        if (!host->loaded()) return false;
        if (beforeInit) beforeInit();
        return inited = host->api().Init();
    }
    void Stop() {
        if (inited) host->api().Shutdown();
        inited = false;
    }

    const testsupport::ModuleApi& api() const { return host->api(); }
    const testsupport::ModuleApi* operator->() const { return &host->api(); }
    sim::SimCard& card(int i = 0) { return *cards[size_t(i)]; }
    bool Log(const std::string& text, int timeoutMs = kDChannelMs) const { return host->WaitForLog(text, timeoutMs); }
    // Waits until n ports have been reported active (D-channel up).
    bool WaitActive(size_t n) const {
        return WaitUntil([&] { return Count(host->ReadLog(), "Internal Device Active, Line Plugged in.") == n; },
                         kDChannelMs, 50);
    }
    bool Open(int port) {
        api().SetEventHandle(port, host->NewEventHandle());
        return api().OpenPort(port);
    }
    // Waits for an event of a port, dropping the others.
    bool WaitEvent(int port, int code, int timeoutMs) const {
        auto seen = [&] {
            for (int e = api().GetEvent(port); e != 0; e = api().GetEvent(port))
                if (e == code) return true;
            return false;
        };
        return WaitUntil(seen, timeoutMs, 1);
    }
};

}  // namespace transport_e2e

// Declares env, a CardLab of the braced profiles with its cards running;
// skips the test where no lab can be made.
#define E2E_CARDS(env, ...)                                                         \
    ::transport_e2e::CardLab env{std::vector<sim::CardProfile> __VA_ARGS__};        \
    if (!env.lab) GTEST_SKIP() << "no private network lab: " << env.why;            \
    ASSERT_TRUE(env.lab->EnterHost());                                              \
    ASSERT_TRUE(env.StartCards())
