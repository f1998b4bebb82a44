// Two modules sharing one card LAN of four cards, each driving its two by
// Cards=: loaded by one host process, and by two host processes on two
// machines (namespaces) on one bridge. Each opens exactly its own cards,
// calls on all four cards work at once, each card's restart is picked up
// by its own module only, and no module ever connects to another's card.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e/transport_lab.h"

extern char** environ;

using namespace transport_e2e;

namespace {

#ifndef VAXO_IVR_HOST_PATH
#error "VAXO_IVR_HOST_PATH must name the sample host"
#endif

constexpr int kCallMs = 10000;
constexpr int kRing = 20;
constexpr int kPortsPerInstance = 60;   // two single-trunk cards
constexpr int kQuietMs = 1500;          // room for a wrong extra connection to show
constexpr int kHostExitMs = 20000;

// Cards 0 and 1 are instance A's (by serial), 2 and 3 instance B's (by a
// range; B also names its adapter network).
const uint32_t kSerials[4] = {4711, 4712, 5001, 5002};
const char kIniA[] = "[General]\nCards=4711, 4712 ; site A\n";
const char kIniB[] = "[General]\nCards=5000-5099\nAdapters=10.99.0.0/24\n";

int OwnerOf(int card) { return card < 2 ? 0 : 1; }

std::string SerialText(int card) { return std::to_string(kSerials[card]); }

// The four cards in one lab with `hosts` host namespaces; used by the
// test's thread (the cards run their own threads in their namespaces).
struct SharedLan {
    std::string why;
    std::unique_ptr<testsupport::NetworkLab> lab;
    std::vector<std::unique_ptr<sim::SimCard>> cards;

    explicit SharedLan(int hosts) : lab(testsupport::NetworkLab::Create(4, &why, hosts)) {}

    bool StartCards() {
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i) {
            cards.push_back(std::make_unique<sim::SimCard>(Card(kSerials[i])));
            ok = lab->InCard(i, [&] { ok = cards.back()->Start(); }) && ok;
        }
        return ok;
    }
    sim::SimCard& card(int i) { return *cards[size_t(i)]; }
    bool AllDChannelsUp() {
        for (auto& c : cards)
            if (!c->WaitDChannelUp(0, kDChannelMs)) return false;
        return true;
    }
    // One call into every card at once, on timeslot 1 of its trunk.
    std::vector<int> PlaceCalls() {
        std::vector<int> ids;
        for (int i = 0; i < 4; ++i) ids.push_back(card(i).PlaceCall(0, 1, "55500" + std::to_string(i), "100"));
        return ids;
    }
    bool AllConnected(const std::vector<int>& ids) {
        for (int i = 0; i < 4; ++i)
            if (ids[i] < 0 || !card(i).WaitCall(ids[i], [](const sim::CallRecord& c) { return c.gotConnect; }, kCallMs))
                return false;
        return true;
    }
    bool ClearAll(const std::vector<int>& ids) {
        bool ok = true;
        for (int i = 0; i < 4; ++i) ok = card(i).Disconnect(ids[i], 16) && ok;
        for (int i = 0; i < 4; ++i)
            ok = card(i).WaitCall(ids[i], [](const sim::CallRecord& c) { return c.cleared; }, kCallMs) && ok;
        return ok;
    }
    // Every card was connected `count` times, each time from its owner.
    void ExpectConnections(size_t count, const uint32_t owner[2]) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
        for (int i = 0; i < 4; ++i) {
            std::vector<uint32_t> peers = card(i).ControlPeers();
            EXPECT_EQ(peers.size(), count) << "card " << kSerials[i];
            for (uint32_t p : peers) EXPECT_EQ(p, owner[OwnerOf(i)]) << "card " << kSerials[i];
        }
    }
};

// Start-up as each module's log tells it: its two cards, the other two
// skipped in one line.
void ExpectStartLog(const std::string& log, int instance, const std::string& modulePath) {
    const int own = instance * 2, other = 2 - own;
    EXPECT_EQ(Count(log, "outside Cards="), 1u) << log;
    EXPECT_NE(log.find("Discovery skipped 2 card(s) outside Cards="), std::string::npos) << log;
    for (int k = 0; k < 2; ++k) {
        EXPECT_NE(log.find("Card " + std::to_string(k) + ": serial no " + SerialText(own + k)), std::string::npos)
            << log;
        EXPECT_NE(log.find("serial no " + SerialText(other + k) + " at"), std::string::npos) << log;
    }
    EXPECT_EQ(Count(log, "driven by " + modulePath), 2u) << log;
}

// Restarts every card in turn; its owner alone reopens it.
void RestartEachCard(SharedLan& lan, const std::vector<std::function<std::string()>>& logs) {
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("restart of card " + SerialText(i));
        lan.card(i).CloseConnection();
        lan.card(i).AnnounceRestart();
        const std::function<std::string()>& own = logs[OwnerOf(i)];
        EXPECT_TRUE(WaitUntil([&] { return Count(own(), "Card reopen has Succeeded") == size_t(i % 2 + 1); },
                              kSetUpMs, 20));
        EXPECT_TRUE(lan.card(i).WaitDChannelUp(0, kDChannelMs));
    }
    for (int i = 0; i < 4; ++i) {
        const std::string broadcast = "Broadcast from Card serial no " + SerialText(i);
        EXPECT_EQ(Count(logs[OwnerOf(i)](), broadcast), 1u);
        EXPECT_EQ(Count(logs[1 - OwnerOf(i)](), broadcast), 0u);
    }
}

// A copy of the built module in its own folder beside an INI, as a site
// installs it for a host process.
std::string Install(const testsupport::TempDir& dir, const char* ini) {
    std::filesystem::copy_file(VAXO_MODULE_PATH, dir.File("vaxo-dt-qpl.dev"));
    testsupport::WriteFile(dir.File("vaxo-dt-qpl.ini"), ini);
    return dir.File("vaxo-dt-qpl.dev");
}

// The sample host run in a lab namespace, its output in a file; ended with
// SIGTERM (and killed if it does not end). Used by the test's thread.
class HostProcess {
public:
    HostProcess(const std::string& ns, const std::string& module, const std::string& outDir) : out_(outDir + "/host.out") {
        std::vector<std::string> args = {"ip", "netns", "exec", ns, VAXO_IVR_HOST_PATH, "--module", module,
                                         "--prompts", VAXO_SOURCE_DIR "/host/prompts", "--out", outDir,
                                         "--seconds", "300"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (posix_spawnp(&pid_, "ip", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~HostProcess() { Stop(); }
    bool running() const { return pid_ > 0; }
    std::string Output() const { return testsupport::ReadFile(out_); }
    // True when the host shut the module down and exited normally.
    bool Stop() {
        if (pid_ <= 0) return false;
        kill(pid_, SIGTERM);
        int status = 0;
        bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, kHostExitMs, 20);
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    std::string out_;
    pid_t pid_ = -1;
};

}  // namespace

TEST(InstancesE2e, OneHostProcessWithTwoModules) {
    SharedLan lan(1);
    if (!lan.lab) GTEST_SKIP() << "no private network lab: " << lan.why;
    ASSERT_TRUE(lan.lab->EnterHost());
    ASSERT_TRUE(lan.StartCards());
    testsupport::ModuleHost a(kIniA), b(kIniB);
    ASSERT_TRUE(a.loaded() && b.loaded());
    // Each started module is shut down before it is unloaded, also after a
    // failed assertion (its threads would run on in unloaded code).
    struct ShutdownAtEnd {
        std::vector<testsupport::ModuleHost*> started;
        ~ShutdownAtEnd() {
            for (auto h = started.rbegin(); h != started.rend(); ++h) (*h)->api().Shutdown();
        }
    } stop;
    stop.started.push_back(&a);
    ASSERT_TRUE(a->Init());
    stop.started.push_back(&b);
    ASSERT_TRUE(b->Init());
    testsupport::ModuleHost* hosts[2] = {&a, &b};
    for (int n = 0; n < 2; ++n) {
        const testsupport::ModuleApi& api = hosts[n]->api();
        ASSERT_EQ(api.NoofPorts(), kPortsPerInstance);
        EXPECT_EQ(std::string(api.GetSerialNo(0)), SerialText(2 * n));
        EXPECT_EQ(std::string(api.GetSerialNo(30)), SerialText(2 * n + 1));
        for (int p : {0, 30}) {
            api.SetEventHandle(p, hosts[n]->NewEventHandle());
            ASSERT_TRUE(api.OpenPort(p));
        }
    }
    ASSERT_TRUE(lan.AllDChannelsUp());
    ASSERT_TRUE(a.WaitForLog("Card 1: serial no", kSetUpMs) && b.WaitForLog("Card 1: serial no", kSetUpMs));
    ExpectStartLog(a.ReadLog(), 0, a.dir() + "/vaxo-dt-qpl.dev");
    ExpectStartLog(b.ReadLog(), 1, b.dir() + "/vaxo-dt-qpl.dev");
    EXPECT_NE(b.ReadLog().find("drives Cards=5000-5099 on Adapters=10.99.0.0/24"), std::string::npos);

    // The port of card i's timeslot 1: port 0 or 30 of its owner.
    auto portOf = [](int i) { return i % 2 == 0 ? 0 : 30; };
    std::vector<int> ids = lan.PlaceCalls();
    for (int i = 0; i < 4; ++i) {
        const testsupport::ModuleApi& api = hosts[OwnerOf(i)]->api();
        ASSERT_TRUE(WaitUntil([&] { return api.GetEvent(portOf(i)) == kRing; }, kCallMs)) << SerialText(i);
        EXPECT_STREQ(api.GetInfo(portOf(i), "CLI"), ("55500" + std::to_string(i)).c_str());
        EXPECT_TRUE(api.Answer(portOf(i)));
    }
    EXPECT_TRUE(lan.AllConnected(ids));
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(hosts[OwnerOf(i)]->api().IsCallActive(portOf(i))) << "all four at once";
    EXPECT_TRUE(lan.ClearAll(ids));
    for (int i = 0; i < 4; ++i) hosts[OwnerOf(i)]->api().Hangup(portOf(i));

    const uint32_t owner[2] = {lan.lab->HostAddress(), lan.lab->HostAddress()};
    lan.ExpectConnections(1, owner);
    RestartEachCard(lan, {[&] { return a.ReadLog(); }, [&] { return b.ReadLog(); }});
    lan.ExpectConnections(2, owner);
}

TEST(InstancesE2e, TwoHostProcessesOnOneBridge) {
    SharedLan lan(2);
    if (!lan.lab) GTEST_SKIP() << "no private network lab: " << lan.why;
    ASSERT_TRUE(lan.lab->EnterHost());
    ASSERT_TRUE(lan.StartCards());
    testsupport::TempDir dirs[2];
    const std::string modules[2] = {Install(dirs[0], kIniA), Install(dirs[1], kIniB)};
    HostProcess hostA(lan.lab->HostNamespace(0), modules[0], dirs[0].path());
    HostProcess hostB(lan.lab->HostNamespace(1), modules[1], dirs[1].path());
    ASSERT_TRUE(hostA.running() && hostB.running());
    HostProcess* hosts[2] = {&hostA, &hostB};
    for (HostProcess* h : hosts)
        ASSERT_TRUE(WaitUntil([&] { return h->Output().find(" ports\n") != std::string::npos; }, kSetUpMs * 2, 20))
            << h->Output();
    EXPECT_NE(hostA.Output().find("\n60 ports\n"), std::string::npos) << hostA.Output();
    EXPECT_NE(hostB.Output().find("\n60 ports\n"), std::string::npos) << hostB.Output();
    auto log = [&](int n) { return testsupport::ReadFile(dirs[n].File("vaxo-dt-qpl.log")); };
    ASSERT_TRUE(lan.AllDChannelsUp());
    for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(WaitUntil([&] { return log(n).find("Card 1: serial no") != std::string::npos; }, kSetUpMs, 20));
        ExpectStartLog(log(n), n, modules[n]);
    }

    // The sample hosts answer (each printed its port count once its ports
    // were open); the far ends clear once each host's Answer has returned.
    // The far end sees CONNECT before the module has its acknowledgement: a
    // clearing sent then ends the call inside Answer, which rightly fails.
    std::vector<int> ids = lan.PlaceCalls();
    EXPECT_TRUE(lan.AllConnected(ids));
    for (HostProcess* h : hosts)
        EXPECT_TRUE(WaitUntil([&] { return Count(h->Output(), "ANSWERED") == 2; }, kCallMs, 20)) << h->Output();
    EXPECT_TRUE(lan.ClearAll(ids));

    const uint32_t owner[2] = {lan.lab->HostAddress(0), lan.lab->HostAddress(1)};
    lan.ExpectConnections(1, owner);
    RestartEachCard(lan, {[&] { return log(0); }, [&] { return log(1); }});
    lan.ExpectConnections(2, owner);
    for (int n = 0; n < 2; ++n) {
        EXPECT_TRUE(hosts[n]->Stop());
        EXPECT_EQ(Count(hosts[n]->Output(), "ANSWERED"), 2u) << hosts[n]->Output();
    }
}
