// Process-wide start and stop: the start count and driver lock that
// serialise Init and Shutdown on the host's threads.
#pragma once
#include "vaxo_dt_qpl.h"

namespace driver {

constexpr const char* kDriverName = "VaxoBoard Digital E1";
constexpr const char* kDriverVersion = VAXO_DRIVER_VERSION;

bool DriverInit();
void DriverShutdown();

}  // namespace driver
