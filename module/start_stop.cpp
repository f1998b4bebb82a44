#include "module/start_stop.h"

#include <atomic>

#include "core/config.h"
#include "core/log_writer.h"
#include "core/paths.h"
#include "core/trace.h"
#include "platform/lock.h"
#include "transport/transport.h"

namespace driver {

namespace {

plat::RecursiveLock& DriverLock() {
    static plat::RecursiveLock lock;
    return lock;
}

std::atomic<int32_t> g_startCount{0};

}  // namespace

bool DriverInit() {
    plat::LockGuard guard(DriverLock());
    if (g_startCount.fetch_add(1) + 1 != 1) return true;
    ComputePaths();
    TheLog().Start(g_paths.log);
    ReadConfiguration();
    TheLog().SetFlushImmediate(g_config.flushImmediate);
    VAXO_TRACE(0, kGeneralPort, "Enter %s()", "Init");
    bool result = transport::TransportStarted() ? true : transport::StartTransport();
    VAXO_TRACE(0, kGeneralPort, "Exit %s() -> %s", "Init", result ? "true" : "false");
    return result;
}

void DriverShutdown() {
    plat::LockGuard guard(DriverLock());
    // A Shutdown with nothing started is ignored: counting below zero would
    // make the next Init return true without starting anything.
    if (g_startCount.load() <= 0) return;
    if (g_startCount.load() == 1) {
        VAXO_TRACE(0, kGeneralPort, "Enter %s()", "Shutdown");
        transport::StopTransport();
        VAXO_TRACE(0, kGeneralPort, "Exit %s() -> void", "Shutdown");
        TheLog().Stop();
    }
    g_startCount.fetch_sub(1);
}

}  // namespace driver
