// Placeholder until the card transport lands: no cards are found.
#include "transport/transport.h"

#include "driver/port_table.h"
#include "transport/card_link.h"

namespace transport {

static bool g_started = false;
CardLink* g_cards[kMaxCards];
CardLink::CardLink() {}
CardLink::~CardLink() {}

bool StartTransport() {
    g_started = true;
    return true;
}
void StopTransport() {
    if (!g_started) return;
    driver::DestroyAllPorts();
    g_started = false;
}
bool TransportStarted() { return g_started; }

}  // namespace transport
