// Shared set-up of the transport end-to-end tests: a private lab, one
// simulated card per lab card, and the module loaded as a host loads it.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/lab.h"
#include "common/module_host.h"
#include "common/wait.h"
#include "sim/sim.h"

namespace transport_e2e {

// Starts each card's simulator inside its own namespace.
inline bool StartCards(testsupport::NetworkLab& lab, const std::vector<sim::CardProfile>& specs,
                       std::vector<std::unique_ptr<sim::SimCard>>* cards) {
    for (size_t i = 0; i < specs.size(); ++i) {
        bool started = false;
        std::unique_ptr<sim::SimCard> card;
        bool ran = lab.InCard(static_cast<int>(i), [&] {
            card.reset(new sim::SimCard(specs[i]));
            started = card->Start();
        });
        if (!ran || !started) return false;
        cards->push_back(std::move(card));
    }
    return true;
}

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// Messages of one type the card received so far.
inline std::vector<sim::ControlMessage> Received(const sim::SimCard& card, uint8_t type) {
    std::vector<sim::ControlMessage> out;
    for (const sim::ControlMessage& m : card.Received())
        if (m.type == type) out.push_back(m);
    return out;
}

// Pops every event of a port; -1 entries never appear (GetEvent gives 0
// when the queue is empty).
inline std::vector<int> TakeEvents(const testsupport::ModuleHost& host, int port) {
    std::vector<int> events;
    for (int e = host->GetEvent(port); e != 0; e = host->GetEvent(port)) events.push_back(e);
    return events;
}

// Init for the life of a test: Shutdown runs when the test leaves, also
// after a failed assertion, so the module is never unloaded running.
class Started {
public:
    explicit Started(const testsupport::ModuleHost& host) : host_(host), ok_(host.loaded() && host->Init()) {}
    ~Started() { Stop(); }
    bool ok() const { return ok_; }
    void Stop() {
        if (ok_) host_->Shutdown();
        ok_ = false;
    }

private:
    const testsupport::ModuleHost& host_;
    bool ok_;
};

constexpr int kCallProgress = 30;
constexpr int kSetUpMs = 10000;     // Init with cards, generous for a loaded machine
constexpr int kDChannelMs = 10000;  // libpri's link set-up, retransmissions included

}  // namespace transport_e2e
