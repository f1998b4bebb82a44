// Card start-up and the driver stop, run by Init and Shutdown under the
// driver lock on the host's thread.
#pragma once

namespace transport {

bool StartTransport();
void StopTransport();
bool TransportStarted();

}  // namespace transport
