// Private network lab for tests that send traffic: a host namespace for the
// module (or several, one per host machine) and one namespace per simulated
// card, joined by a bridge, so that discovery broadcasts and card traffic
// never leave the lab.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace testsupport {

class NetworkLab {
public:
    // Creates the namespaces (needs root or unprivileged user namespaces);
    // null with the reason in whyNot when it cannot.
    // hosts: namespaces for module hosts (1 to 9); the first holds the bridge.
    static std::unique_ptr<NetworkLab> Create(int cards, std::string* whyNot, int hosts = 1);
    ~NetworkLab();  // deletes every namespace it made

    // Moves the calling thread into host namespace i. Call it on the
    // thread that will call Init, before Init; threads it starts inherit it.
    bool EnterHost(int i = 0);
    // Runs fn on a new thread inside card i's namespace and waits for it;
    // sockets and threads made there stay in that namespace. False (fn not
    // run) when i is out of range or the namespace cannot be joined.
    bool InCard(int i, const std::function<void()>& fn);
    uint32_t HostAddress(int i = 0) const;  // network byte order
    uint32_t CardAddress(int i) const;
    int cards() const;
    // Names for "ip netns exec" (demos, debugging).
    const std::string& HostNamespace(int i = 0) const;
    const std::string& CardNamespace(int i) const;

private:
    NetworkLab() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Moves the calling thread into a new network namespace that has only a
// loopback device, for tests that call Init but need no card. False (and
// the reason) where it cannot.
bool EnterEmptyNetworkNamespace(std::string* whyNot);

}  // namespace testsupport

// Skips the current test when no lab can be made.
#define VAXO_REQUIRE_LAB(lab, cards)                                                    \
    std::string lab##_why;                                                              \
    auto lab = ::testsupport::NetworkLab::Create((cards), &lab##_why);                  \
    if (!lab) GTEST_SKIP() << "no private network lab: " << lab##_why;                  \
    ASSERT_TRUE(lab->EnterHost())
