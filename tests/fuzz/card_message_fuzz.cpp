// Feeds arbitrary bytes to the card message parser. The first byte picks
// the trunk count the card reports (including counts outside 1..8) and the
// line states; the sink checks that nothing reported lies outside the
// card's tables.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "transport/message_parser.h"

using namespace transport;

namespace {

class CheckingSink : public CardMessageSink {
public:
    explicit CheckingSink(uint8_t setup) : trunks_(static_cast<int8_t>(setup % 12) - 2) {
        for (int i = 0; i < kMaxTrunks; ++i) status_[i] = (setup >> (i % 8)) & 1 ? kLineStatusUp : kLineStatusUnknown;
    }
    int TrunkCount() override { return trunks_; }
    uint8_t LineStatus(int trunk) override {
        Check(trunk >= 0 && trunk < kMaxTrunks);
        return status_[trunk];
    }
    void StoreLineStatus(int trunk, uint8_t s) override {
        Check(trunk >= 0 && trunk < kMaxTrunks && trunk < trunks_);
        status_[trunk] = s;
    }
    void CardInformation(const CardInfo& info) override {
        Check(!info.valid || (info.firmwareDate.size() >= 8 && info.burnDate.size() >= 6));
    }
    void CardEvent(uint16_t link, uint32_t code, uint16_t, uint8_t) override {
        if (code != kCardRegisterValue) Check(link < kMaxTrunks);
    }
    void Frame(int trunk, const uint8_t* frame, size_t n) override {
        Check(trunk >= 0 && trunk < kMaxTrunks && n < kMaxIncomingFrameBytes);
        volatile uint8_t sum = 0;
        for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + frame[i]);  // reads every byte
    }
    uint32_t NowMs() override { return now_ += 700; }

private:
    static void Check(bool ok) {
        if (!ok) abort();
    }
    int trunks_;
    uint8_t status_[kMaxTrunks];
    uint32_t now_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    CheckingSink sink(data[0]);
    CardMessageParser parser(sink);
    // Feed in two pieces split where the second byte says, as receives do.
    size_t rest = size - 1;
    size_t split = size > 1 ? data[1] % (rest + 1) : 0;
    parser.Feed(data + 1, split);
    parser.Feed(data + 1 + split, rest - split);
    return 0;
}
