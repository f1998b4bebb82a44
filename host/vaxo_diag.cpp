// Diagnostics for the driver module: lists cards and ports, watches events
// live, and places or clears a call on a port. Loads the module by path as
// a host does.
//   vaxo-diag [--module PATH] list
//   vaxo-diag [--module PATH] watch SECONDS
//   vaxo-diag [--module PATH] dial PORT NUMBER [SECONDS]
//   vaxo-diag [--module PATH] hangup PORT
// Without --module it loads the installed module.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/module_api.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* EventName(int e) {
    switch (e) {
    case KVEVENT_RING: return "RING";
    case KVEVENT_CALLPROGRESS: return "CALLPROGRESS";
    case KVEVENT_KEY: return "KEY";
    case KVEVENT_PLAYENDS: return "PLAYENDS";
    case KVEVENT_RECORDENDS: return "RECORDENDS";
    default: return "UNKNOWN";
    }
}

// Waits until every port's D-channel had a chance to come up.
void Settle(const hostapi::ModuleApi& api, int ports, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        bool allUp = true;
        for (int p = 0; p < ports; ++p) allUp &= std::string(api.GetInfo(p, "CHANNELSTATE")) != "DOWN";
        if (allUp) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void List(const hostapi::ModuleApi& api, int ports) {
    std::string lastSerial;
    for (int p = 0; p < ports; ++p) {
        std::string serial = api.GetSerialNo(p);
        if (serial != lastSerial) {
            printf("card %s: firmware %s (%s), burned %s, features %s, %s trunks in the system\n", serial.c_str(),
                   api.GetInfo(p, "FIRMWAREVER"), api.GetInfo(p, "FIRMWAREDATE"), api.GetInfo(p, "BURNDATE"),
                   api.GetInfo(p, "FEATUREFLAGS"), api.GetInfo(p, "PHYSICALPORTS"));
            lastSerial = serial;
        }
        printf("  port %4d  %-40s  %s\n", p, api.GetPortName(p), api.GetInfo(p, "CHANNELSTATE"));
    }
}

void Watch(const hostapi::ModuleApi& api, int ports, int seconds) {
    std::vector<pollfd> fds;
    for (int p = 0; p < ports; ++p) {
        int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        fds.push_back(pollfd{fd, POLLIN, 0});
        api.SetEventHandle(p, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    }
    auto start = Clock::now();
    auto end = start + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        if (poll(fds.data(), fds.size(), 200) <= 0) continue;
        for (int p = 0; p < ports; ++p) {
            if (!(fds[p].revents & POLLIN)) continue;
            uint64_t n;
            if (read(fds[p].fd, &n, sizeof n) < 0) continue;
            for (int e = api.GetEvent(p); e != KVEVENT_NONE; e = api.GetEvent(p)) {
                double t = std::chrono::duration<double>(Clock::now() - start).count();
                printf("[%7.3f] port %4d %-12s", t, p, EventName(e));
                if (e == KVEVENT_CALLPROGRESS)
                    for (const char* s = api.GetCallProgress(p); s && *s; s = api.GetCallProgress(p)) printf(" %s", s);
                if (e == KVEVENT_RING) printf(" CLI=%s DLI=%s", api.GetInfo(p, "CLI"), api.GetInfo(p, "DLI"));
                if (e == KVEVENT_KEY) printf(" %c", api.GetKey(p));
                printf("\n");
                fflush(stdout);
            }
        }
    }
    for (int p = 0; p < ports; ++p) api.SetEventHandle(p, nullptr);
    for (auto& f : fds) close(f.fd);
}

}  // namespace

int main(int argc, char** argv) {
    // Without "--module PATH" the installed module is used; argv is then
    // read as if the option had been given.
    std::vector<char*> args(argv, argv + argc);
    char defaultModule[] = VAXO_DEFAULT_MODULE;
    char option[] = "--module";
    if (argc < 2 || std::string(argv[1]) != "--module") {
        args.insert(args.begin() + 1, {option, defaultModule});
    }
    argc = static_cast<int>(args.size());
    argv = args.data();
    if (argc < 4) {
        fprintf(stderr,
                "usage: vaxo-diag [--module PATH] list | watch SECONDS | dial PORT NUMBER [SECONDS] | hangup PORT\n"
                "default module: %s\n",
                VAXO_DEFAULT_MODULE);
        return 2;
    }
    hostapi::ModuleApi api{};
    std::string error;
    void* module = hostapi::LoadModule(argv[2], &api, &error);
    if (module == nullptr) {
        fprintf(stderr, "cannot load %s: %s\n", argv[2], error.c_str());
        return 2;
    }
    std::string cmd = argv[3];
    printf("%s %s\n", api.GetDriverName(), api.GetDriverVer());
    if (!api.Init()) {
        fprintf(stderr, "Init failed\n");
        return 1;
    }
    int ports = api.NoofPorts();
    for (int p = 0; p < ports; ++p) api.OpenPort(p);
    Settle(api, ports, 3000);
    int rc = 0;
    if (cmd == "list") {
        printf("%d ports\n", ports);
        List(api, ports);
    } else if (cmd == "watch" && argc >= 5) {
        Watch(api, ports, atoi(argv[4]));
    } else if (cmd == "dial" && argc >= 6) {
        int port = atoi(argv[4]);
        bool ok = api.Dial(port, argv[5]);
        printf("Dial(%d, %s) -> %s %s\n", port, argv[5], ok ? "true" : "false", api.GetError(port));
        if (ok) Watch(api, ports, argc >= 7 ? atoi(argv[6]) : 10);
        api.Hangup(port);
        rc = ok ? 0 : 1;
    } else if (cmd == "hangup" && argc >= 5) {
        int port = atoi(argv[4]);
        printf("Hangup(%d) -> %s\n", port, api.Hangup(port) ? "true" : "false");
    } else {
        fprintf(stderr, "unknown command\n");
        rc = 2;
    }
    for (int p = 0; p < ports; ++p) api.ClosePort(p);
    api.Shutdown();
    hostapi::UnloadModule(module);
    return rc;
}
