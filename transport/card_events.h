// The card event handler and the status handler every card link calls:
// they write the trace lines and bring the card's ports into line with its
// links. Called on the thread that raises the event (signalling thread,
// PRI event bridge, CardSetUp's thread, audio receive thread).
#pragma once
#include <cstdint>

namespace transport {

// context: the card's trunk base.
void CardEventHandler(uint16_t link, uint32_t code, uint32_t context, uint16_t value16, uint8_t value8);
// context: the card index.
void StatusHandler(uint32_t kind, uint32_t cardIndex, const char* text, uint32_t flag);

}  // namespace transport
