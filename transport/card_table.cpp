// The card table: 20 card links built on first use and kept for the life
// of the module.
#include "core/card_link.h"
#include "media/card_media.h"

namespace transport {

CardLink* g_cards[kMaxCards];

namespace {

// Fills g_cards when it is built; first used by start-up on the host's thread.
struct CardTable {
    CardTable() {
        for (int i = 0; i < kMaxCards; ++i) {
            links[i].cardIndex = static_cast<uint32_t>(i);
            g_cards[i] = &links[i];
        }
    }
    CardLink links[kMaxCards];
};

CardTable& Table() {
    static CardTable table;
    return table;
}

}  // namespace

CardLink::CardLink() {
    txBuffer[0] = 0;
    media::CreateCardMedia(*this);
}

CardLink::~CardLink() = default;

CardLink& Card(int index) { return Table().links[index]; }

CardLink* FindCard(int index) {
    if (index < 0 || index >= kMaxCards) return nullptr;
    return &Card(index);
}

int UsableTrunks(const CardLink& card) {
    int32_t count = card.trunkCount.load();
    return count >= 1 && count <= kMaxTrunks ? count : 0;
}

}  // namespace transport
