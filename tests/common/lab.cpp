// Network lab built from named network namespaces: "ip" is run directly
// (no shell) to make them, and threads join them with setns.
#include "common/lab.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {
namespace {

constexpr const char* kNamePrefix = "vxl";        // every lab namespace starts with it
constexpr const char* kNetnsDir = "/run/netns/";  // where "ip netns" keeps its names
constexpr const char* kBridge = "vxbr0";          // lives in the lab's host namespace
constexpr const char* kCardDevice = "eth0";       // the card's end of its veth pair
constexpr uint32_t kSubnet = 0x0A630000;          // 10.99.0.0/24, host byte order
constexpr uint32_t kHostOctet = 1, kFirstCardOctet = 10;  // host i is kHostOctet + i
constexpr int kMaxHosts = static_cast<int>(kFirstCardOctet - kHostOctet);
constexpr int kMaxCards = 200;                    // keeps card addresses inside the /24

std::atomic<int> g_labSequence{0};

// Octet of the subnet as "a.b.c.d/24".
std::string Address(uint32_t octet) {
    in_addr a{htonl(kSubnet | octet)};
    char buf[INET_ADDRSTRLEN] = {};
    return std::string(inet_ntop(AF_INET, &a, buf, sizeof buf)) + "/24";
}

// Runs "ip args..." and waits for it. False with ip's error output in err.
bool RunIp(std::vector<std::string> args, std::string* err) {
    std::vector<char*> argv{const_cast<char*>("ip")};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return err && (*err = std::string("pipe: ") + strerror(errno)).empty();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "ip", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; rc == 0 && ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR));)
        if (n > 0 && text.size() < 2000) text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    if (rc != 0) return err && (*err = std::string("cannot run ip: ") + strerror(rc)).empty();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (err) {
        *err = "ip";
        for (const auto& a : args) *err += " " + a;
        *err += ": " + text;
    }
    return false;
}

// Deletes lab namespaces left behind by processes that no longer exist.
void SweepStaleNamespaces() {
    DIR* dir = opendir(kNetnsDir);
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind(kNamePrefix, 0) != 0) continue;
        const char* digits = name.c_str() + strlen(kNamePrefix);
        char* end = nullptr;
        long pid = strtol(digits, &end, 10);
        if (end != digits && pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(name);
    }
    closedir(dir);
    for (const auto& name : stale) RunIp({"netns", "del", name}, nullptr);
}

bool JoinNamespace(const std::string& name) {
    int fd = open((kNetnsDir + name).c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace

struct NetworkLab::Impl {
    std::vector<std::string> hostNs;  // [0] holds the bridge
    std::vector<std::string> cardNs;
    std::vector<std::string> made;  // namespaces to delete, in creation order

    bool AddNamespace(const std::string& name, std::string* err) {
        if (access((kNetnsDir + name).c_str(), F_OK) == 0) RunIp({"netns", "del", name}, nullptr);  // earlier life
        if (!RunIp({"netns", "add", name}, err)) return false;
        made.push_back(name);
        return RunIp({"-n", name, "link", "set", "lo", "up"}, err);
    }

    bool BuildHost(std::string* err) {
        const std::string& ns = hostNs[0];
        // STP off and no forward delay: ports forward as soon as they are up.
        return AddNamespace(ns, err) &&
               (RunIp({"-n", ns, "link", "add", kBridge, "type", "bridge", "stp_state", "0", "forward_delay", "0"},
                      nullptr) ||
                RunIp({"-n", ns, "link", "add", kBridge, "type", "bridge"}, err)) &&
               RunIp({"-n", ns, "addr", "add", Address(kHostOctet), "broadcast", "+", "dev", kBridge}, err) &&
               RunIp({"-n", ns, "link", "set", kBridge, "up"}, err);
    }

    // A namespace joined to the bridge by a veth pair, its end named eth0.
    bool BuildMember(const std::string& ns, const std::string& bridgeEnd, uint32_t octet, std::string* err) {
        const std::string& bridgeNs = hostNs[0];
        return AddNamespace(ns, err) &&
               RunIp({"-n", bridgeNs, "link", "add", bridgeEnd, "type", "veth", "peer", "name", kCardDevice, "netns",
                      ns},
                     err) &&
               RunIp({"-n", bridgeNs, "link", "set", bridgeEnd, "master", kBridge}, err) &&
               RunIp({"-n", bridgeNs, "link", "set", bridgeEnd, "up"}, err) &&
               RunIp({"-n", ns, "addr", "add", Address(octet), "broadcast", "+", "dev", kCardDevice}, err) &&
               RunIp({"-n", ns, "link", "set", kCardDevice, "up"}, err);
    }

    bool BuildCard(int i, std::string* err) {
        return BuildMember(cardNs[static_cast<size_t>(i)], "vc" + std::to_string(i),
                           kFirstCardOctet + static_cast<uint32_t>(i), err);
    }

    void DeleteAll() {
        for (auto it = made.rbegin(); it != made.rend(); ++it) RunIp({"netns", "del", *it}, nullptr);
        made.clear();
    }
};

std::unique_ptr<NetworkLab> NetworkLab::Create(int cards, std::string* whyNot, int hosts) {
    std::string scratch;
    std::string* err = whyNot != nullptr ? whyNot : &scratch;
    if (cards < 0 || cards > kMaxCards) return *err = "card count out of range", nullptr;
    if (hosts < 1 || hosts > kMaxHosts) return *err = "host count out of range", nullptr;
    if (geteuid() != 0) return *err = "needs root to create named network namespaces", nullptr;
    SweepStaleNamespaces();
    std::unique_ptr<NetworkLab> lab(new NetworkLab());
    lab->impl_ = std::make_unique<Impl>();
    Impl& im = *lab->impl_;
    std::string base = kNamePrefix + std::to_string(getpid()) + "s" + std::to_string(g_labSequence++);
    im.hostNs.push_back(base + "h");
    for (int i = 1; i < hosts; ++i) im.hostNs.push_back(base + "h" + std::to_string(i));
    for (int i = 0; i < cards; ++i) im.cardNs.push_back(base + "c" + std::to_string(i));
    bool ok = im.BuildHost(err);
    for (int i = 1; ok && i < hosts; ++i)
        ok = im.BuildMember(im.hostNs[static_cast<size_t>(i)], "vh" + std::to_string(i),
                            kHostOctet + static_cast<uint32_t>(i), err);
    for (int i = 0; ok && i < cards; ++i) ok = im.BuildCard(i, err);
    if (!ok) im.DeleteAll();
    return ok ? std::move(lab) : nullptr;
}

NetworkLab::~NetworkLab() {
    if (impl_) impl_->DeleteAll();
}

bool NetworkLab::EnterHost(int i) {
    return i >= 0 && i < static_cast<int>(impl_->hostNs.size()) && JoinNamespace(impl_->hostNs[static_cast<size_t>(i)]);
}

bool NetworkLab::InCard(int i, const std::function<void()>& fn) {
    if (i < 0 || i >= cards()) return false;
    bool joined = false;
    // fn runs only inside the card's namespace, never in the caller's.
    std::thread([&] { (joined = JoinNamespace(impl_->cardNs[static_cast<size_t>(i)])) && (fn(), true); }).join();
    return joined;
}

uint32_t NetworkLab::HostAddress(int i) const { return htonl(kSubnet | (kHostOctet + static_cast<uint32_t>(i))); }
uint32_t NetworkLab::CardAddress(int i) const { return htonl(kSubnet | (kFirstCardOctet + static_cast<uint32_t>(i))); }
int NetworkLab::cards() const { return static_cast<int>(impl_->cardNs.size()); }
const std::string& NetworkLab::HostNamespace(int i) const { return impl_->hostNs.at(static_cast<size_t>(i)); }
const std::string& NetworkLab::CardNamespace(int i) const { return impl_->cardNs.at(static_cast<size_t>(i)); }

// unshare(CLONE_NEWNET) acts on the calling thread only; threads it starts
// afterwards (the module's) inherit the new namespace. Needs CAP_SYS_ADMIN;
// without it the test is skipped rather than run on the machine's adapters.
bool EnterEmptyNetworkNamespace(std::string* whyNot) {
    if (unshare(CLONE_NEWNET) == 0) return true;
    if (whyNot != nullptr) *whyNot = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
    return false;
}

}  // namespace testsupport
