// Opening and closing a card link. Runs on the host's thread inside Init
// and Shutdown (driver lock held) or on the card listener thread, the only
// thread that reopens cards.
#pragma once

namespace transport {

struct CardLink;

// Connects to the card, learns its facts, starts its threads and media,
// configures every trunk and creates one libpri controller per trunk.
// cardAddress is dotted text or a host name, localAddress dotted text.
bool CardSetUp(CardLink& card, const char* cardAddress, const char* localAddress);

// Stops the card's threads and releases everything CardSetUp made. Safe on
// a card link that was never opened.
void CardClose(CardLink& card);

}  // namespace transport
