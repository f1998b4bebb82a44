#include "module/media_info.h"

#include <atomic>
#include <cmath>
#include <cstdint>

#include "core/card_link.h"
#include "core/device.h"
#include "core/trace.h"
#include "media/audio_stream.h"
#include "media/card_media.h"

namespace driver {

namespace {

// Tick cycles this late or later count as late.
constexpr uint64_t kLateTickUs = 2000;
constexpr double kPercentileP99 = 0.99;

// Same comparison as the other keys: case does not matter.
bool Is(const char* key, const char* name) {
    for (; *key != '\0' && *name != '\0'; ++key, ++name) {
        char a = *key >= 'a' && *key <= 'z' ? static_cast<char>(*key - 'a' + 'A') : *key;
        if (a != *name) return false;
    }
    return *key == '\0' && *name == '\0';
}

std::string Count(const std::atomic<uint64_t>& v) {
    return FormatText("%llu", static_cast<unsigned long long>(v.load(std::memory_order_relaxed)));
}

// Upper edge of the bucket that holds the fraction q of the cycles, in
// microseconds; 0 before the first cycle.
uint64_t TickLatenessPercentile(const media::AudioStats& s, double q) {
    uint64_t total = 0;
    for (const auto& b : s.tickLateness) total += b.load(std::memory_order_relaxed);
    if (total == 0) return 0;
    const auto wanted = static_cast<uint64_t>(std::ceil(q * static_cast<double>(total)));
    uint64_t seen = 0;
    for (uint32_t i = 0; i < media::kTickLatenessBuckets; ++i) {
        seen += s.tickLateness[i].load(std::memory_order_relaxed);
        if (seen >= wanted) {
            return i + 1 < media::kTickLatenessBuckets ? uint64_t{i + 1} * media::kTickLatenessBucketUs
                                                       : s.tickLateMaxUs.load(std::memory_order_relaxed);
        }
    }
    return s.tickLateMaxUs.load(std::memory_order_relaxed);
}

uint64_t LateTicks(const media::AudioStats& s) {
    uint64_t late = 0;
    for (uint64_t i = kLateTickUs / media::kTickLatenessBucketUs; i < media::kTickLatenessBuckets; ++i)
        late += s.tickLateness[i].load(std::memory_order_relaxed);
    return late;
}

bool CardReply(const transport::CardLink& card, const media::AudioStats& s, const char* key, std::string* out) {
    if (Is(key, "AUDIORXPACKETS")) *out = Count(s.processed);
    else if (Is(key, "AUDIODROPPED"))
        *out = FormatText("%llu", static_cast<unsigned long long>(media::DroppedBlocks(card)));
    else if (Is(key, "AUDIOTXPACKETS")) *out = Count(s.sent);
    else if (Is(key, "AUDIOLOST")) *out = Count(s.lost);
    else if (Is(key, "AUDIODUPLICATES")) *out = Count(s.duplicates);
    else if (Is(key, "AUDIORESYNCS")) *out = Count(s.resyncs);
    else if (Is(key, "AUDIOCARDLOST")) *out = Count(s.cardLost);
    else if (Is(key, "AUDIOBADPACKETS")) *out = Count(s.dropped);
    else if (Is(key, "TICKCYCLES")) *out = Count(s.tickCycles);
    else if (Is(key, "TICKLATE")) *out = FormatText("%llu", static_cast<unsigned long long>(LateTicks(s)));
    else if (Is(key, "TICKLATEP99"))
        *out = FormatText("%llu", static_cast<unsigned long long>(TickLatenessPercentile(s, kPercentileP99)));
    else if (Is(key, "TICKLATEMAX")) *out = Count(s.tickLateMaxUs);
    else return false;
    return true;
}

// Echo return loss enhancement in dB from the canceller's levels; empty
// while the canceller does not run on the port.
std::string EchoErle(const media::ChannelMedia& ch) {
    const int32_t rx = ch.echoLevelRx.load(std::memory_order_relaxed);
    const int32_t clean = ch.echoLevelClean.load(std::memory_order_relaxed);
    if (rx <= 0 && clean <= 0) return std::string();
    return FormatText("%.1f", 20.0 * std::log10(static_cast<double>(rx > 0 ? rx : 1) / (clean > 0 ? clean : 1)));
}

}  // namespace

bool MediaInfoReply(const CDevice& port, const char* key, std::string* reply) {
    if (key == nullptr || reply == nullptr) return false;
    transport::CardLink* card =
        port.cardIndex < static_cast<uint32_t>(transport::kMaxCards) ? transport::g_cards[port.cardIndex] : nullptr;
    media::CardMedia* m = card != nullptr ? media::MediaOf(*card) : nullptr;
    if (m == nullptr) return false;
    if (CardReply(*card, m->stats, key, reply)) return true;
    const uint32_t channel = port.trunkIndex * transport::kTimeslotsPerTrunk + port.timeslot;
    if (channel >= static_cast<uint32_t>(transport::kMaxChannels)) return false;
    const media::ChannelMedia& ch = m->channels[channel];
    if (Is(key, "ECHOERLE")) *reply = EchoErle(ch);
    else if (Is(key, "DIGITSDETECTED")) *reply = FormatText("%u", ch.digitsDetected.load(std::memory_order_relaxed));
    else return false;
    return true;
}

}  // namespace driver
