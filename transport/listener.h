// The card listener: one module-wide thread that reopens a card when it
// announces a restart. Started and stopped by the transport start and stop
// on the host's thread.
#pragma once

namespace transport {

bool StartListener();
// Sets the stopping flag and waits for the thread (a reopen in progress is
// allowed to finish).
void StopListener();

}  // namespace transport
