#include "callctl/port_call.h"

#include "callctl/pri_events.h"
#include "core/card_link.h"
#include "core/device.h"

namespace callctl {

transport::TrunkLink* TrunkOf(const driver::CDevice& port) {
    if (port.cardIndex >= static_cast<uint32_t>(transport::kMaxCards) ||
        port.trunkIndex >= static_cast<uint32_t>(transport::kMaxTrunks))
        return nullptr;
    transport::CardLink* card = transport::g_cards[port.cardIndex];
    return card != nullptr ? &card->trunks[port.trunkIndex] : nullptr;
}

TrunkGuard::TrunkGuard(transport::TrunkLink* trunk) : trunk_(trunk) {
    if (trunk_ != nullptr) trunk_->lock.Enter();
}

TrunkGuard::~TrunkGuard() {
    if (trunk_ != nullptr) trunk_->lock.Leave();
}

struct pri* ControllerOf(const transport::TrunkLink* trunk) {
    return trunk != nullptr ? trunk->controller : nullptr;
}

void QueueProgress(driver::CDevice& port, uint32_t code, uint32_t parameter) {
    port.progressQueue.PushPair(code, parameter);
}

bool ResetIfHolding(driver::CDevice& port, q931_call* call, int32_t cause) {
    TrunkGuard guard(TrunkOf(port));
    if (call == nullptr || port.callHandle.load() != call) return false;
    PortCallReset(port, cause);
    return true;
}

}  // namespace callctl
