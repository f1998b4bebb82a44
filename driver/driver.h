// Process-wide start and stop: the start count and driver lock that
// serialise Init and Shutdown on the host's threads.
#pragma once

namespace driver {

constexpr const char* kDriverName = "VaxoBoard Digital E1";
constexpr const char* kDriverVersion = "3.0.877:27123";

bool DriverInit();
void DriverShutdown();

}  // namespace driver
