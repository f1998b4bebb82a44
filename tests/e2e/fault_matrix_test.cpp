// Every call state through every card fault, end to end: ports of one lab
// are held in the six call states at once, a fault is injected with the
// simulator's fault commands, and after recovery every port is checked as a
// host sees it (channel state, call flag, one disconnect entry and event per
// ended call, play and record ended with their events), then a new call in
// each direction is made on the same ports. Faults that touch one trunk
// share a run on a card of several trunks; faults of the whole card follow
// one another on a card of one trunk.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/transport_lab.h"
#include "platform/clock.h"
#include "sim/fault_commands.h"

using namespace transport_e2e;

namespace {

constexpr int kRing = 20, kPlayEnds = 50, kRecordEnds = 60;
constexpr int kCallMs = 8000;        // one call's messages on a loaded machine
constexpr int kRecoveryMs = 45000;   // the longest fault and the link's return
constexpr int kSettleMs = 1500;      // room for a wrong late report
constexpr int kPlayBytes = 8000;     // 1 s
constexpr int kRecordMs = 1500;
constexpr int kLineEvents = 3;       // line lost (call, inactive), line back

enum class State { Idle, Ringing, AnsweredMedia, OutAlerting, OutConnected, Clearing, Trigger };
constexpr State kStates[] = {State::Idle,         State::Ringing,      State::AnsweredMedia,
                             State::OutAlerting,  State::OutConnected, State::Clearing};
const char* Name(State s) {
    static const char* names[] = {"idle", "ringing", "answered with media", "outgoing alerting",
                                  "outgoing connected", "clearing", "dialled into the fault"};
    return names[static_cast<int>(s)];
}

int Timeslot(int position) { return position < 15 ? position + 1 : position + 2; }

size_t CountEntries(const char* dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Open sockets of this process: what the module and the card hold. Other
// descriptors are left out, as an emulator running the tests opens and
// closes files of its own.
size_t CountSockets() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            char target[64] = {};
            const std::string path = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(path.c_str(), target, sizeof target - 1) > 0) n += std::strncmp(target, "socket:", 7) == 0;
        }
        closedir(d);
    }
    return n;
}

// One port of the run: its state, what the host has seen since the state
// was built, and the far end's call on it.
struct Slot {
    int port = 0, trunk = 0, timeslot = 0;
    State state = State::Idle;
    int farCall = -1;
    int progressEvents = 0, playEnds = 0, recordEnds = 0, rings = 0;
    std::vector<std::string> texts;
    std::unique_ptr<std::thread> hangup;
    std::atomic<bool> hangupDone{true};
    ~Slot() {
        if (hangup) hangup->join();
    }
};

// What a fault does to the ports it reaches.
struct Outcome {
    bool callsEnd;   // every call there ends
    int lineEvents;  // progress events of the line going and coming back
};

struct Matrix {
    CardLab& env;
    const testsupport::ModuleApi& api;
    sim::SimCard& card;
    std::vector<uint8_t> play = std::vector<uint8_t>(kPlayBytes, 0x55);

    explicit Matrix(CardLab& e) : env(e), api(e.api()), card(e.card()) {}

    void Command(const std::string& line) {
        std::string why;
        ASSERT_TRUE(sim::RunCommand(card, line, &why)) << why;
    }

    void Drain(Slot& s) {
        for (int e = api.GetEvent(s.port); e != 0; e = api.GetEvent(s.port)) {
            s.progressEvents += e == kCallProgress;
            s.playEnds += e == kPlayEnds;
            s.recordEnds += e == kRecordEnds;
            s.rings += e == kRing;
        }
        for (std::string t = api.GetCallProgress(s.port); !t.empty(); t = api.GetCallProgress(s.port))
            s.texts.push_back(t);
    }
    size_t Disconnects(const Slot& s) const {
        return size_t(std::count_if(s.texts.begin(), s.texts.end(),
                                    [](const std::string& t) { return t.rfind("DISCONNECTED", 0) == 0; }));
    }
    bool WaitFor(std::vector<std::unique_ptr<Slot>>& slots, const std::function<bool(Slot&)>& done, int ms) {
        return WaitUntil(
            [&] {
                bool all = true;
                for (auto& s : slots) Drain(*s), all = done(*s) && all;
                return all;
            },
            ms, 20);
    }
    int Incoming(const Slot& s) { return card.PlaceCall(s.trunk, s.timeslot, "0301234567", "4711"); }

    // Puts positions 0..5 of the trunk into the six states.
    std::vector<std::unique_ptr<Slot>> Build(int trunk) {
        std::vector<std::unique_ptr<Slot>> slots;
        card.SetIncomingPolicy(trunk, sim::IncomingPolicy::Alert);
        for (State st : kStates) {
            auto s = std::make_unique<Slot>();
            s->trunk = trunk, s->state = st, s->timeslot = Timeslot(int(slots.size()));
            s->port = trunk * 30 + int(slots.size());
            Drain(*s);
            slots.push_back(std::move(s));
        }
        for (auto& s : slots) BuildOne(*s);
        for (auto& s : slots) {
            Drain(*s);
            s->texts.clear(), s->progressEvents = 0, s->rings = 0;
        }
        return slots;
    }

    void BuildOne(Slot& s) {
        SCOPED_TRACE(Name(s.state));
        const size_t before = card.Calls().size();
        switch (s.state) {
        case State::Idle:
        case State::Trigger: return;
        case State::Ringing:
        case State::AnsweredMedia:
        case State::Clearing:
            s.farCall = Incoming(s);
            ASSERT_TRUE(WaitUntil([&] { return api.GetRings(s.port) == 1; }, kCallMs));
            if (s.state == State::Ringing) return;
            ASSERT_TRUE(api.Answer(s.port));
            if (s.state == State::AnsweredMedia) {
                ASSERT_TRUE(api.Play(s.port, play.data(), kPlayBytes));
                ASSERT_TRUE(api.Record(s.port, kRecordMs));
                return;
            }
            card.SetWithholdRelease(true);
            s.hangupDone = false;
            s.hangup = std::make_unique<std::thread>([this, &s] {
                EXPECT_TRUE(api.Hangup(s.port));
                s.hangupDone = true;
            });
            ASSERT_TRUE(card.WaitCall(s.farCall, [](const sim::CallRecord& c) { return c.releaseWithheld; }, kCallMs));
            card.SetWithholdRelease(false);
            return;
        case State::OutAlerting:
        case State::OutConnected:
            ASSERT_TRUE(api.Dial(s.port, "0991234"));
            ASSERT_TRUE(WaitUntil([&] { return card.Calls().size() > before; }, kCallMs));
            s.farCall = int(before);
            ASSERT_TRUE(WaitUntil(
                [&] { return Drain(s), std::find(s.texts.begin(), s.texts.end(), "RINGBACK") != s.texts.end(); },
                kCallMs));
            if (s.state == State::OutConnected) {
                ASSERT_TRUE(card.Answer(s.farCall));
                ASSERT_TRUE(WaitUntil([&] { return api.IsCallActive(s.port); }, kCallMs));
            }
            return;
        }
    }

    // The network has let go of the port's call too (no call is left
    // hanging on the far side of the line).
    bool FarEndCleared(const Slot& s) const {
        return s.farCall < 0 || (card.WaitCall(s.farCall, [](const sim::CallRecord& c) { return c.cleared; }, 0));
    }

    // After the fault's recovery: every port idle and ready, one disconnect
    // entry per call, events as expected, the far end's calls gone.
    void Check(std::vector<std::unique_ptr<Slot>>& slots, const Outcome& o) {
        auto hadCall = [](const Slot& s) { return s.state != State::Idle; };
        // The line's first event carries the disconnect entry of its call.
        auto expectedEvents = [&](const Slot& s) { return o.lineEvents > 0 ? o.lineEvents : int(hadCall(s)); };
        const bool settled = WaitFor(
            slots,
            [&](Slot& s) {
                return s.hangupDone && std::string(api.GetInfo(s.port, "CHANNELSTATE")) == "READY" &&
                       s.progressEvents >= expectedEvents(s) && Disconnects(s) >= size_t(hadCall(s)) && FarEndCleared(s) &&
                       (s.state != State::AnsweredMedia || (s.playEnds >= 1 && s.recordEnds >= 1));
            },
            kRecoveryMs);
        EXPECT_TRUE(settled);
        plat::SleepMs(kSettleMs);
        for (auto& s : slots) {
            Drain(*s);
            SCOPED_TRACE(std::string(Name(s->state)) + ", port " + std::to_string(s->port));
            if (s->hangup) s->hangup->join(), s->hangup.reset();
            EXPECT_STREQ(api.GetInfo(s->port, "CHANNELSTATE"), "READY");
            EXPECT_FALSE(api.IsCallActive(s->port));
            EXPECT_EQ(api.GetRings(s->port), 0);
            EXPECT_TRUE(FarEndCleared(*s));
            EXPECT_EQ(Disconnects(*s), size_t(hadCall(*s))) << testing::PrintToString(s->texts);
            // The disconnect entries above are exact; a line that comes back
            // under heavy load may add a bare progress event (no entry).
            if (o.lineEvents > 0) {
                EXPECT_GE(s->progressEvents, expectedEvents(*s));
            } else {
                EXPECT_EQ(s->progressEvents, expectedEvents(*s));
            }
            if (s->state == State::AnsweredMedia) EXPECT_EQ(std::make_pair(s->playEnds, s->recordEnds), std::make_pair(1, 1));
        }
    }

    // A fault that leaves the calls up: they are still there and end
    // normally, each once.
    void EndNormally(std::vector<std::unique_ptr<Slot>>& slots) {
        for (auto& s : slots) {
            SCOPED_TRACE(Name(s->state));
            const bool connected = s->state == State::AnsweredMedia || s->state == State::OutConnected;
            if (s->state != State::Clearing) EXPECT_EQ(bool(api.IsCallActive(s->port)), connected);
            if (s->state == State::Ringing) EXPECT_EQ(api.GetRings(s->port) >= 1, true);
            if (s->state != State::Idle && s->state != State::Clearing) card.Disconnect(s->farCall, 16);
        }
        card.ReleaseWithheld();
    }

    // A new call each way on every port of the run.
    void NewCalls(std::vector<std::unique_ptr<Slot>>& slots) {
        std::vector<int> ids;
        for (auto& s : slots) {
            ASSERT_TRUE(card.WaitDChannelUp(s->trunk, kCallMs));
            card.SetIncomingPolicy(s->trunk, sim::IncomingPolicy::Answer);
            s->texts.clear();
            ids.push_back(Incoming(*s));
        }
        for (auto& s : slots) {
            SCOPED_TRACE("incoming on port " + std::to_string(s->port));
            ASSERT_TRUE(WaitUntil([&] { return api.GetRings(s->port) == 1; }, kCallMs));
            EXPECT_TRUE(api.Answer(s->port));
        }
        for (int id : ids) card.Disconnect(id, 16);
        for (auto& s : slots) {
            SCOPED_TRACE("outgoing on port " + std::to_string(s->port));
            ASSERT_TRUE(WaitUntil([&] { return Drain(*s), Disconnects(*s) == 1 && !api.IsCallActive(s->port); }, kCallMs));
            ASSERT_TRUE(api.Dial(s->port, "0997"));
        }
        for (auto& s : slots) {
            SCOPED_TRACE("outgoing on port " + std::to_string(s->port));
            EXPECT_TRUE(WaitUntil([&] { return api.IsCallActive(s->port); }, kCallMs));
            EXPECT_TRUE(api.Hangup(s->port));
            EXPECT_STREQ(api.GetInfo(s->port, "CHANNELSTATE"), "READY");
        }
    }
};

struct Resources {
    size_t sockets = CountSockets(), threads = CountEntries("/proc/self/task");
};

// A running module against the lab's card, every port open with a handle.
#define MATRIX_LAB(env, trunks)                                                   \
    E2E_CARDS(env, {Card(4711, trunks)});                                         \
    ASSERT_TRUE(env.Start());                                                     \
    ASSERT_EQ(env->NoofPorts(), 30 * (trunks));                                   \
    for (int p = 0; p < 30 * (trunks); ++p) ASSERT_TRUE(env.Open(p));            \
    for (int t = 0; t < (trunks); ++t) ASSERT_TRUE(env.card().WaitDChannelUp(t, kDChannelMs)); \
    ASSERT_TRUE(env.WaitActive(size_t(30 * (trunks))))

// Faults of one trunk, all at once on one card: line down and up, D-channel
// loss shorter and longer than libpri's T309 (6 s from the link's release),
// a RESTART of each call's channel, and a RESTART of the whole interface.
// A call dialled by each side into the dead link makes both ends notice the
// loss within four seconds, so the durations are predictable.
TEST(FaultMatrix, TrunkFaultsInEveryCallState) {
    constexpr int kTrunks = 5;
    MATRIX_LAB(env, kTrunks);
    Matrix m(env);
    const Resources start;
    std::vector<std::unique_ptr<Slot>> all[kTrunks];
    for (int t = 0; t < kTrunks; ++t) all[t] = m.Build(t);
    ASSERT_FALSE(testing::Test::HasFatalFailure());

    // Trunk 0 line down 6 s; trunk 1 D-channel lost 10 s (back while T309
    // runs); trunk 2 lost 17 s (T309 has ended the calls in libpri).
    m.Command("line 0 down");
    m.Command("dchannel-drop 1 10000");
    m.Command("dchannel-drop 2 17000");
    for (int t = 0; t < 3; ++t) {
        auto dial = std::make_unique<Slot>();
        dial->trunk = t, dial->state = State::Trigger, dial->port = t * 30 + 6, dial->timeslot = Timeslot(6);
        ASSERT_TRUE(m.api.Dial(dial->port, "0998"));
        m.card.PlaceCall(t, Timeslot(7), "0301", "4711");
        all[t].push_back(std::move(dial));
    }
    for (auto& s : all[3]) ASSERT_TRUE(m.card.RestartChannel(3, s->timeslot)) << Name(s->state);
    ASSERT_TRUE(m.card.RestartInterface(4));
    plat::SleepMs(6000);
    m.Command("line 0 up");

    const Outcome lineLost{true, kLineEvents}, restarted{true, 0};
    for (int t = 0; t < kTrunks; ++t) {
        SCOPED_TRACE("trunk " + std::to_string(t));
        m.Check(all[t], t < 3 ? lineLost : restarted);
    }
    for (int t = 0; t < kTrunks; ++t) m.NewCalls(all[t]);
    EXPECT_LE(Resources().sockets, start.sockets);  // no growth
    EXPECT_EQ(Resources().threads, start.threads);
}

// Hostile card messages: noise between messages, card information with
// other facts and impossible trunk counts, lengths and links at and past
// their limits.
const char* const kHostile[] = {
    "garbage 600 7",         "card-info trunks=8 serial=99", "card-info trunks=0",          "card-info trunks=-1 serial=0",
    "card-info trunks=127",  "raw FF 10 01 2C 01",           "raw FF 10 00 03 00 01 02 03", "raw FF 10 09 03 00 01 02 03",
    "raw FF 10 01 00 00",    "raw FF 07 00",                 "raw FF 11 08 02",             "raw FF 02 01 06 10",
    "garbage 300 11"};

// Faults of the whole card, one after the other: hostile card messages; the control connection
// ended (FIN, then RST) and the card silent, each found by the module's
// silence check and mended by the card's announcement; a restart announced
// before the module noticed the loss; the audio stalled for 2 s.
TEST(FaultMatrix, CardFaultsInEveryCallState) {
    MATRIX_LAB(env, 1);
    Matrix m(env);
    const Resources start;
    struct Phase {
        const char* fault;
        const char* recover;  // after the module reported the card down, before the announcement
        Outcome outcome;
    };
    const Phase phases[] = {{"hostile", nullptr, {false, 0}},
                            {"fin", "", {true, kLineEvents}},
                            {"rst", "", {true, kLineEvents}},
                            {"silent on", "silent off", {true, kLineEvents}},
                            {"restart", nullptr, {true, kLineEvents}},
                            {"audio-stall 2000", nullptr, {false, 0}}};
    for (const Phase& p : phases) {
        SCOPED_TRACE(p.fault);
        std::vector<std::unique_ptr<Slot>> slots = m.Build(0);
        ASSERT_FALSE(testing::Test::HasFatalFailure());
        const size_t downs = Count(env.host->ReadLog(), "Card 0 is down");
        if (std::string(p.fault) == "hostile") {
            for (const char* c : kHostile) m.Command(c);
        } else {
            m.Command(p.fault);
        }
        if (p.recover != nullptr) {
            ASSERT_TRUE(WaitUntil([&] { return Count(env.host->ReadLog(), "Card 0 is down") > downs; }, kSetUpMs));
            if (*p.recover) m.Command(p.recover);
            m.Command("announce");
        }
        if (!p.outcome.callsEnd) {
            plat::SleepMs(2500);
            m.EndNormally(slots);
        }
        m.Check(slots, p.outcome.callsEnd ? p.outcome : Outcome{true, 0});
        if (std::string(p.fault) == "hostile") {
            EXPECT_TRUE(env.Log("Card 0: card information while open ignored (serial 99, 8 trunks)"));
        }
        EXPECT_EQ(Count(env.host->ReadLog(), "Card 0 is down"), downs + (p.outcome.callsEnd ? 1 : 0));
        m.NewCalls(slots);
    }
    EXPECT_LE(Resources().sockets, start.sockets);  // no growth
    EXPECT_EQ(Resources().threads, start.threads);
}

}  // namespace
