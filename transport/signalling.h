// The signalling thread of a card link: the only reader of the control
// connection. Started by CardSetUp, stopped by CardClose.
#pragma once

namespace transport {

struct CardLink;

// Thread body; arg is the CardLink.
void SignallingThread(void* arg);

}  // namespace transport
