// vaxo-cardsim: runs simulated cards for demos and manual tests.
//
//   vaxo-cardsim [--card serial=4711,trunks=1,frames=0,network-side=0,switch=5,keepalive=250,netns=NAME]...
//                [--incoming alert|answer|proceed|busy|ignore]
//                [--call "trunk=0 channel=0 calling=5551234 called=100 redirecting= digits=12#
//                         digits_after=0s after=2s speech=file.alaw speech_after=3s
//                         hangup_after=10s cause=16 card=0"]...
//                [--fault "after=5s card=0 COMMAND"]... [--commands SOCKET]
//                [--duration 60s] [--any-namespace]
//
// Each --card is one card; without any, one card with the defaults. A card
// with netns= runs in that named network namespace, otherwise in the
// program's own (start it with "ip netns exec"). Unless --any-namespace is
// given, a card runs only in a namespace made by "ip netns add", so that it
// never answers on the machine's own network.
//
// A call waits for its trunk's D-channel, then "after", then is placed.
// Counted from the module's answer: the digits start at "digits_after"
// (default at once), the A-law file at "speech_after" (default when the
// digits end), and "hangup_after" clears the call with "cause".
//
// A --fault runs one command of sim/fault_commands.h on a card, "after" the
// program started. --commands makes a Unix socket at that path; each line a
// client writes there ("card=1 dchannel-drop 0 3000", card 0 by default) is
// run at once and answered with "ok" or "error: ...".
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/fault_commands.h"
#include "sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTickMs = 20;
constexpr int kDefaultToneMs = 80;
constexpr int kDefaultGapMs = 80;
constexpr int kDefaultHangupCause = 16;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

using Options = std::map<std::string, std::string>;

// "k=v,k=v" or "k=v k=v" (a leading bare word such as "call" is ignored).
Options ParsePairs(const std::string& text) {
    Options out;
    std::string item;
    std::istringstream in(text);
    while (in >> item) {
        std::istringstream parts(item);
        std::string pair;
        while (std::getline(parts, pair, ',')) {
            size_t eq = pair.find('=');
            if (eq != std::string::npos) out[pair.substr(0, eq)] = pair.substr(eq + 1);
        }
    }
    return out;
}

// "2s", "500ms" or a bare number of seconds, in milliseconds.
long Millis(const std::string& text, long def) {
    if (text.empty()) return def;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    std::string unit = end ? end : "";
    return unit == "ms" ? static_cast<long>(v) : static_cast<long>(v * 1000);
}

long Int(const Options& o, const char* key, long def) {
    auto it = o.find(key);
    return it == o.end() || it->second.empty() ? def : std::strtol(it->second.c_str(), nullptr, 0);
}

std::string Str(const Options& o, const char* key) {
    auto it = o.find(key);
    return it == o.end() ? std::string() : it->second;
}

ino_t NetnsInode(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? st.st_ino : 0;
}

// True when the calling thread is in a namespace made with "ip netns add".
// Anything else may be the machine's own network, where cards must not run.
bool InNamedNamespace() {
    const ino_t mine = NetnsInode("/proc/thread-self/ns/net");
    DIR* dir = opendir("/run/netns");
    if (dir == nullptr || mine == 0) {
        if (dir) closedir(dir);
        return false;
    }
    bool found = false;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.' && NetnsInode((std::string("/run/netns/") + e->d_name).c_str()) == mine) found = true;
    closedir(dir);
    return found;
}

struct Card {
    Options options;
    std::unique_ptr<sim::SimCard> sim;
    std::vector<bool> upReported;
};

struct ScriptedCall {
    Options options;
    size_t card = 0;
    enum Stage { WaitLink, WaitAfter, Placed, Talking, Done } stage = WaitLink;
    Clock::time_point since{};
    bool digitsStarted = false;
    bool speechStarted = false;
    bool clearedReported = false;
    int id = -1;
};

bool StartCard(Card& c, bool allowAny, sim::IncomingPolicy policy) {
    sim::CardProfile profile;
    profile.serial = static_cast<uint32_t>(Int(c.options, "serial", profile.serial));
    profile.trunks = static_cast<int>(Int(c.options, "trunks", profile.trunks));
    profile.framesPerPacket = static_cast<int>(Int(c.options, "frames", 0));
    profile.moduleIsNetworkSide = Int(c.options, "network-side", 0) != 0;
    profile.switchType = static_cast<int>(Int(c.options, "switch", profile.switchType));
    profile.keepAliveMs = static_cast<uint32_t>(Int(c.options, "keepalive", profile.keepAliveMs));
    c.sim = std::make_unique<sim::SimCard>(profile);
    c.upReported.assign(static_cast<size_t>(std::max(profile.trunks, 0)), false);
    for (int t = 0; t < profile.trunks; ++t) c.sim->SetIncomingPolicy(t, policy);

    const std::string ns = Str(c.options, "netns");
    bool ok = false;
    std::string why;
    // The card's threads inherit the namespace of the thread that starts it.
    std::thread starter([&] {
        if (!ns.empty()) {
            int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
                why = "cannot enter network namespace " + ns;
                if (fd >= 0) close(fd);
                return;
            }
            close(fd);
        }
        if (!allowAny && !InNamedNamespace()) {
            why = "refusing to run outside a named network namespace (use ip netns exec, netns= or --any-namespace)";
            return;
        }
        ok = c.sim->Start();
        if (!ok) why = "cannot bind port 5854";
    });
    starter.join();
    std::printf("card %u: %s\n", profile.serial, ok ? "started" : why.c_str());
    return ok;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void StartSpeech(sim::SimCard& card, int trunk, int channel, const std::string& file) {
    sim::AudioSource s;
    s.kind = sim::AudioSource::Alaw;
    if (!ReadFile(file, &s.alaw)) {
        std::printf("cannot read %s\n", file.c_str());
        return;
    }
    card.SetSource(trunk, channel, s);
}

// One step of a scripted call.
void Step(ScriptedCall& c, Card& card) {
    const auto now = Clock::now();
    const int trunk = static_cast<int>(Int(c.options, "trunk", 0));
    sim::CallRecord r;
    if (c.id >= 0) {
        auto calls = card.sim->Calls();
        if (static_cast<size_t>(c.id) < calls.size()) r = calls[static_cast<size_t>(c.id)];
        if (r.cleared && !c.clearedReported) {
            std::printf("call %d: cleared%s, cause %d\n", c.id, r.clearedBySim ? " by us" : " by the module",
                        r.clearedBySim ? static_cast<int>(Int(c.options, "cause", kDefaultHangupCause)) : r.cause);
            c.clearedReported = true;
            c.stage = ScriptedCall::Done;
        }
    }
    switch (c.stage) {
        case ScriptedCall::WaitLink:
            if (card.sim->DChannelUp(trunk)) {
                c.stage = ScriptedCall::WaitAfter;
                c.since = now;
            }
            break;
        case ScriptedCall::WaitAfter:
            if (now - c.since >= std::chrono::milliseconds(Millis(Str(c.options, "after"), 0))) {
                c.id = card.sim->PlaceCall(trunk, static_cast<int>(Int(c.options, "channel", 0)),
                                           Str(c.options, "calling"), Str(c.options, "called"),
                                           Str(c.options, "redirecting"));
                std::printf("call %d: placed on trunk %d\n", c.id, trunk);
                c.stage = c.id >= 0 ? ScriptedCall::Placed : ScriptedCall::Done;
            }
            break;
        case ScriptedCall::Placed:
            if (r.gotConnect) {
                std::printf("call %d: answered on timeslot %d\n", c.id, r.channel);
                c.stage = ScriptedCall::Talking;
                c.since = now;
            }
            break;
        case ScriptedCall::Talking: {
            const long digitsAt = Millis(Str(c.options, "digits_after"), 0);
            const long digitsEnd =
                digitsAt + static_cast<long>(Str(c.options, "digits").size()) * (kDefaultToneMs + kDefaultGapMs);
            if (!c.digitsStarted && now - c.since >= std::chrono::milliseconds(digitsAt)) {
                c.digitsStarted = true;
                sim::AudioSource d;
                d.kind = sim::AudioSource::Digits;
                d.digits = Str(c.options, "digits");
                d.toneMs = kDefaultToneMs;
                d.gapMs = kDefaultGapMs;
                if (r.channel > 0) card.sim->SetSource(trunk, r.channel, d);
            }
            const long speechAt = Millis(Str(c.options, "speech_after"), digitsEnd);
            if (!c.speechStarted && now - c.since >= std::chrono::milliseconds(speechAt)) {
                c.speechStarted = true;
                if (!Str(c.options, "speech").empty() && r.channel > 0)
                    StartSpeech(*card.sim, trunk, r.channel, Str(c.options, "speech"));
            }
            long hangup = Millis(Str(c.options, "hangup_after"), -1);
            if (hangup >= 0 && now - c.since >= std::chrono::milliseconds(hangup)) {
                card.sim->Disconnect(c.id, static_cast<int>(Int(c.options, "cause", kDefaultHangupCause)));
                c.stage = ScriptedCall::Done;
            }
            break;
        }
        case ScriptedCall::Done: break;
    }
}

void ReportLinks(Card& c) {
    for (size_t t = 0; t < c.upReported.size(); ++t) {
        bool up = c.sim->DChannelUp(static_cast<int>(t));
        if (up != c.upReported[t])
            std::printf("card %u: trunk %zu D-channel %s\n", c.sim->profile().serial, t, up ? "up" : "down");
        c.upReported[t] = up;
    }
}

struct ScheduledFault {
    long afterMs = 0;
    size_t card = 0;
    std::string command;
    bool done = false;
};

// "after=5s card=1 dchannel-drop 0 3000": leading key=value words, then the command.
ScheduledFault ParseFault(const std::string& text) {
    ScheduledFault f;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        if (word.rfind("after=", 0) == 0) f.afterMs = Millis(word.substr(6), 0);
        else if (word.rfind("card=", 0) == 0) f.card = static_cast<size_t>(std::strtoul(word.c_str() + 5, nullptr, 10));
        else {
            std::getline(in, f.command);
            f.command = word + f.command;
            break;
        }
    }
    return f;
}

std::string RunOn(std::vector<Card>& cards, size_t card, const std::string& command) {
    if (card >= cards.size()) return "error: no card " + std::to_string(card);
    std::string why;
    return sim::RunCommand(*cards[card].sim, command, &why) ? "ok" : "error: " + why;
}

// The command socket and its clients, served from the program's loop.
class CommandSocket {
public:
    bool Open(const std::string& path) {
        sockaddr_un a{};
        if (path.empty() || path.size() >= sizeof a.sun_path) return false;
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, path.c_str(), path.size());
        unlink(path.c_str());
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        path_ = path;
        return listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               listen(listener_, 4) == 0;
    }
    ~CommandSocket() {
        for (auto& c : clients_) close(c.fd);
        if (listener_ >= 0) close(listener_), unlink(path_.c_str());
    }
    void Serve(std::vector<Card>& cards) {
        if (listener_ < 0) return;
        for (int fd; (fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;)
            clients_.push_back(Client{fd, {}});
        for (size_t i = 0; i < clients_.size();) {
            char buf[512];
            ssize_t n = recv(clients_[i].fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                close(clients_[i].fd);
                clients_.erase(clients_.begin() + static_cast<long>(i));
                continue;
            }
            if (n > 0) clients_[i].pending.append(buf, static_cast<size_t>(n));
            for (size_t eol; (eol = clients_[i].pending.find('\n')) != std::string::npos;) {
                ScheduledFault f = ParseFault(clients_[i].pending.substr(0, eol));
                clients_[i].pending.erase(0, eol + 1);
                std::string reply = RunOn(cards, f.card, f.command) + "\n";
                (void)send(clients_[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            ++i;
        }
    }

private:
    struct Client {
        int fd;
        std::string pending;
    };
    int listener_ = -1;
    std::string path_;
    std::vector<Client> clients_;
};

sim::IncomingPolicy Policy(const std::string& name) {
    if (name == "answer") return sim::IncomingPolicy::Answer;
    if (name == "proceed") return sim::IncomingPolicy::Proceed;
    if (name == "busy") return sim::IncomingPolicy::Busy;
    if (name == "ignore") return sim::IncomingPolicy::Ignore;
    return sim::IncomingPolicy::Alert;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Card> cards;
    std::vector<ScriptedCall> calls;
    long durationMs = 0;
    bool allowAny = false;
    std::string incoming = "alert";
    std::vector<ScheduledFault> faults;
    std::string commandPath;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--card") cards.push_back(Card{ParsePairs(value()), nullptr, {}});
        else if (a == "--call") {
            ScriptedCall c;
            c.options = ParsePairs(value());
            c.card = static_cast<size_t>(Int(c.options, "card", 0));
            calls.push_back(c);
        } else if (a == "--incoming") incoming = value();
        else if (a == "--fault") faults.push_back(ParseFault(value()));
        else if (a == "--commands") commandPath = value();
        else if (a == "--duration") durationMs = Millis(value(), 0);
        else if (a == "--any-namespace") allowAny = true;
        else {
            std::fprintf(stderr, "usage: see the head of sim/main.cpp (unknown option %s)\n", a.c_str());
            return 2;
        }
    }
    if (cards.empty()) cards.push_back(Card{});
    for (auto& c : calls)
        if (c.card >= cards.size()) {
            std::fprintf(stderr, "call names card %zu of %zu\n", c.card, cards.size());
            return 2;
        }

    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    for (auto& c : cards)
        if (!StartCard(c, allowAny, Policy(incoming))) return 1;
    CommandSocket commands;
    if (!commandPath.empty() && !commands.Open(commandPath)) {
        std::fprintf(stderr, "cannot make the command socket %s\n", commandPath.c_str());
        return 1;
    }
    std::fflush(stdout);

    const auto start = Clock::now();
    while (!g_stop && (durationMs <= 0 || Clock::now() - start < std::chrono::milliseconds(durationMs))) {
        for (auto& c : cards) ReportLinks(c);
        for (auto& call : calls) Step(call, cards[call.card]);
        for (auto& f : faults)
            if (!f.done && Clock::now() - start >= std::chrono::milliseconds(f.afterMs)) {
                f.done = true;
                std::printf("fault on card %zu: %s: %s\n", f.card, f.command.c_str(),
                            RunOn(cards, f.card, f.command).c_str());
            }
        commands.Serve(cards);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
    }
    for (auto& c : cards) c.sim->Stop();
    return 0;
}
