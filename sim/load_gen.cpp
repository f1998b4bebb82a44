#include "sim/load_gen.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/alaw.h"
#include "sim/wire.h"

namespace sim {
namespace {

constexpr int kChannelsPerTrunk = 30;
constexpr int kDChannelTimeslot = 16;
constexpr int kNormalClearing = 16;
constexpr int kNormalUnspecified = 31;
constexpr int kMaxCause = 127;
constexpr double kMaxRate = 10000;
constexpr long kMaxHoldMs = 24L * 3600 * 1000;
constexpr double kMaxEchoLossDb = 60;
constexpr int kMaxEchoDelayMs = 500;
constexpr double kToneLevel = 3000;            // linear peak, about -18 dBm0
constexpr long kLinkSettleMs = 1000;          // after the module set its link up again
constexpr long kClearingTimeoutMs = 10000;     // a clearing that never ends is a failure
constexpr double kMaxBurstSeconds = 0.1;       // arrival credit kept at most
constexpr int kDigitToneMs = 80, kDigitGapMs = 80;
constexpr long kMsPerSecond = 1000;
constexpr int kStepMs = 5;

int TimeslotOf(int channelIndex) { return channelIndex < 15 ? channelIndex + 1 : channelIndex + 2; }

// Whole-string numbers only: "12x" or "" is an error.
bool ReadDouble(const std::string& v, double* out) {
    if (v.empty()) return false;
    char* end = nullptr;
    *out = std::strtod(v.c_str(), &end);
    return end != nullptr && *end == '\0' && std::isfinite(*out);
}

bool ReadLong(const std::string& v, long* out) {
    double d = 0;
    if (!ReadDouble(v, &d) || d != std::floor(d) || std::fabs(d) > 1e15) return false;
    *out = static_cast<long>(d);
    return true;
}

// "30s", "500ms", "2m" or a bare number of seconds.
bool ReadDuration(const std::string& v, long* ms) {
    std::string number = v;
    double scale = kMsPerSecond;
    auto ends = [&](const char* unit) {
        const std::string u = unit;
        if (number.size() <= u.size() || number.compare(number.size() - u.size(), u.size(), u) != 0) return false;
        number.resize(number.size() - u.size());
        return true;
    };
    if (ends("ms")) scale = 1;
    else if (ends("s")) scale = kMsPerSecond;
    else if (ends("m")) scale = 60.0 * kMsPerSecond;
    double d = 0;
    if (!ReadDouble(number, &d) || d < 0 || d * scale > kMaxHoldMs) return false;
    *ms = std::lround(d * scale);
    return true;
}

// "30s" or "20s-40s".
bool ReadRange(const std::string& v, long* lo, long* hi) {
    const size_t dash = v.find('-');
    if (dash == std::string::npos) {
        if (!ReadDuration(v, lo)) return false;
        *hi = *lo;
        return true;
    }
    return ReadDuration(v.substr(0, dash), lo) && ReadDuration(v.substr(dash + 1), hi) && *lo <= *hi;
}

bool AllOf(const std::string& v, const char* allowed) {
    return std::all_of(v.begin(), v.end(), [&](char c) { return std::strchr(allowed, c) != nullptr; });
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    const auto k = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size()))) - 1;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(std::min(k, v.size() - 1)), v.end());
    return v[std::min(k, v.size() - 1)];
}

std::string Percentiles(const std::vector<double>& v) {
    char text[96];
    std::snprintf(text, sizeof text, "p50 %.1f p95 %.1f p99 %.1f max %.1f ms", Percentile(v, 0.5), Percentile(v, 0.95),
                  Percentile(v, 0.99), Percentile(v, 1.0));
    return text;
}

bool SetOption(LoadOptions& o, const std::string& key, const std::string& v, std::string* error) {
    double d = 0;
    long n = 0;
    auto bad = [&](const char* what) {
        *error = key + "=" + v + ": " + what;
        return false;
    };
    if (key == "calls") {
        if (!ReadLong(v, &n) || n < 0 || n > 20 * 8 * kChannelsPerTrunk) return bad("a number of calls 0 to 4800");
        o.calls = static_cast<int>(n);
    } else if (key == "rate") {
        if (!ReadDouble(v, &d) || d <= 0 || d > kMaxRate) return bad("calls per second, above 0 and at most 10000");
        o.rate = d;
    } else if (key == "hold") {
        if (!ReadRange(v, &o.holdMinMs, &o.holdMaxMs) || o.holdMinMs <= 0) return bad("a time or range such as 30s or 20s-40s, above 0");
    } else if (key == "churn_after") {
        if (!ReadDuration(v, &o.churnAfterMs)) return bad("a time such as 600s");
    } else if (key == "churn_hold") {
        if (!ReadRange(v, &o.churnMinMs, &o.churnMaxMs) || o.churnMinMs <= 0) return bad("a time or range such as 5s-15s, above 0");
    } else if (key == "dial_share") {
        if (!ReadDouble(v, &d) || d < 0 || d > 1) return bad("a share from 0 to 1");
        o.dialShare = d;
    } else if (key == "calling" || key == "called") {
        if (v.empty() || v.size() > 20 || !AllOf(v, "0123456789")) return bad("1 to 20 decimal digits");
        (key == "calling" ? o.calling : o.called) = v;
    } else if (key == "digits") {
        if (v.size() > 32 || !AllOf(v, "0123456789*#ABCD")) return bad("up to 32 of 0-9 * # A-D");
        o.digits = v;
    } else if (key == "digits_after") {
        if (!ReadDuration(v, &o.digitsAfterMs)) return bad("a time such as 300ms");
    } else if (key == "audio") {
        if (v == "silence") o.audio = LoadOptions::Audio::Silence;
        else if (v == "tone") o.audio = LoadOptions::Audio::Tone;
        else if (v.rfind("speech:", 0) == 0 && v.size() > 7) {
            o.audio = LoadOptions::Audio::Speech;
            o.speechFile = v.substr(7);
        } else return bad("silence, tone or speech:FILE (A-law)");
    } else if (key == "tone") {
        if (!ReadDouble(v, &d) || d < 50 || d > 3800) return bad("a frequency from 50 to 3800 Hz");
        o.toneHz = d;
    } else if (key == "echo") {
        // "off" or "LOSS_DB:DELAY_MS"
        if (v == "off") {
            o.echo = false;
            return true;
        }
        const size_t colon = v.find(':');
        long delay = 0;
        if (colon == std::string::npos || !ReadDouble(v.substr(0, colon), &d) || d < 0 || d > kMaxEchoLossDb ||
            !ReadLong(v.substr(colon + 1), &delay) || delay < 0 || delay > kMaxEchoDelayMs)
            return bad("off or LOSS_DB:DELAY_MS (loss 0-60 dB, delay 0-500 ms)");
        o.echo = true;
        o.echoLossDb = d;
        o.echoDelayMs = static_cast<int>(delay);
    } else if (key == "clear") {
        if (v == "sim") o.clear = LoadOptions::Clear::Sim;
        else if (v == "module") o.clear = LoadOptions::Clear::Module;
        else if (v == "mix") o.clear = LoadOptions::Clear::Mix;
        else return bad("sim, module or mix");
    } else if (key == "cause") {
        if (!ReadLong(v, &n) || n < 1 || n > kMaxCause) return bad("a Q.931 cause 1 to 127");
        o.cause = static_cast<int>(n);
    } else if (key == "answer_timeout") {
        if (!ReadDuration(v, &o.answerTimeoutMs) || o.answerTimeoutMs <= 0) return bad("a time above 0");
    } else if (key == "report") {
        if (!ReadDuration(v, &o.reportMs) || o.reportMs < 100) return bad("a time of at least 100ms");
    } else if (key == "start_after") {
        if (!ReadDuration(v, &o.startAfterMs)) return bad("a time such as 5s");
    } else if (key == "rest") {
        if (!ReadDuration(v, &o.restMs)) return bad("a time such as 2s");
    } else if (key == "max_calls") {
        if (!ReadLong(v, &n) || n < 1 || n > 1000000000L) return bad("a number of calls from 1");
        o.maxCalls = n;
    } else if (key == "card_loss") {
        // INDEX@AT+DOWN, e.g. 2@60s+5s
        const size_t at = v.find('@'), plus = v.find('+');
        if (at == std::string::npos || plus == std::string::npos || plus < at || !ReadLong(v.substr(0, at), &n) ||
            n < 0 || n >= 20 || !ReadDuration(v.substr(at + 1, plus - at - 1), &o.lossAtMs) ||
            !ReadDuration(v.substr(plus + 1), &o.lossDownMs))
            return bad("INDEX@AT+DOWN, such as 2@60s+5s");
        o.lossCard = static_cast<int>(n);
    } else if (key == "seed") {
        if (!ReadLong(v, &n) || n < 0 || n > 0xFFFFFFFFL) return bad("a number 0 to 4294967295");
        o.seed = static_cast<uint32_t>(n);
    } else {
        *error = "unknown load option " + key;
        return false;
    }
    return true;
}

}  // namespace

bool ParseLoadOptions(const std::string& text, LoadOptions* out, std::string* error) {
    LoadOptions o = *out;
    std::string spaced = text;
    std::replace(spaced.begin(), spaced.end(), ',', ' ');
    std::istringstream in(spaced);
    std::string item;
    while (in >> item) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            *error = "load option without a value: " + item;
            return false;
        }
        if (!SetOption(o, item.substr(0, eq), item.substr(eq + 1), error)) return false;
    }
    if (o.audio == LoadOptions::Audio::Speech) {
        std::ifstream f(o.speechFile, std::ios::binary);
        if (!f || f.peek() == std::ifstream::traits_type::eof()) {
            *error = "cannot read the speech file " + o.speechFile;
            return false;
        }
    }
    *out = o;
    return true;
}

bool ChannelKeptForModule(int channelIndex, double dialShare) {
    const int kept = static_cast<int>(std::lround(dialShare * kChannelsPerTrunk));
    return channelIndex >= kChannelsPerTrunk - kept;
}

LoadGenerator::LoadGenerator(const LoadOptions& options, std::vector<SimCard*> cards)
    : o_(options), cards_(std::move(cards)), rng_(options.seed) {
    seenCalls_.assign(cards_.size(), 0);
    links_.clear();
    for (SimCard* card : cards_) links_.emplace_back(static_cast<size_t>(std::max(card->profile().trunks, 0)));
    lastAudio_.resize(cards_.size());
    // Network channels, spread over cards and trunks: the last pushed is used first.
    for (int i = kChannelsPerTrunk - 1; i >= 0; --i) {
        if (ChannelKeptForModule(i, o_.dialShare)) continue;
        for (int s = wire::kMaxTrunks - 1; s >= 0; --s)
            for (size_t c = cards_.size(); c-- > 0;)
                if (s < cards_[c]->profile().trunks) free_.push_back(Slot{c, s, TimeslotOf(i)});
    }
    for (size_t c = 0; c < cards_.size(); ++c) {
        const int trunks = std::max(0, std::min(cards_[c]->profile().trunks, wire::kMaxTrunks));
        if (o_.echo)
            for (int s = 0; s < trunks; ++s)
                for (int t = 1; t < wire::kTimeslots; ++t)
                    if (t != kDChannelTimeslot) cards_[c]->SetEchoPath(s, t, o_.echoLossDb, o_.echoDelayMs);
        for (int s = 0; s < trunks; ++s) cards_[c]->SetIncomingPolicy(s, IncomingPolicy::Answer);
    }
    target_ = o_.calls >= 0 ? o_.calls : static_cast<int>(free_.size());
    if (o_.audio == LoadOptions::Audio::Speech) {
        std::ifstream f(o_.speechFile, std::ios::binary);
        speech_.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    // One second of the tone: a whole number of periods, so it loops cleanly.
    const double hz = std::round(o_.toneHz);
    for (int k = 0; k < wire::kFramesPerSecond; ++k)
        tone_.push_back(LinearToAlaw(static_cast<int16_t>(
            std::lround(kToneLevel * std::sin(2 * M_PI * hz * k / wire::kFramesPerSecond)))));
    startUs_ = lastPlaceUs_ = SimClockUs();
}

int64_t LoadGenerator::HoldUs(bool churn) {
    const long lo = churn ? o_.churnMinMs : o_.holdMinMs, hi = churn ? o_.churnMaxMs : o_.holdMaxMs;
    std::uniform_int_distribution<long> d(lo, hi);
    return int64_t{d(rng_)} * 1000;
}

std::string LoadGenerator::NextCalling() {
    // Adds the counter to the configured number, keeping its length.
    std::string n = o_.calling;
    uint64_t carry = callingCounter_++;
    for (size_t i = n.size(); i-- > 0 && carry > 0;) {
        const uint64_t v = static_cast<uint64_t>(n[i] - '0') + carry;
        n[i] = static_cast<char>('0' + v % 10);
        carry = v / 10;
    }
    return n;
}

void LoadGenerator::Fail(const std::string& why) {
    ++total_.failed;
    ++interval_.failed;
    ++total_.failures[why];
    ++interval_.failures[why];
}

void LoadGenerator::Silence(const Slot& s) { cards_[s.card]->SetSource(s.trunk, s.timeslot, AudioSource{}); }

void LoadGenerator::PlaceDue(int64_t nowUs) {
    placeCredit_ = std::min(placeCredit_ + o_.rate * static_cast<double>(nowUs - lastPlaceUs_) / 1e6,
                            std::max(1.0, o_.rate * kMaxBurstSeconds));
    lastPlaceUs_ = nowUs;
    int network = 0;
    for (const auto& c : live_) network += c.byModule ? 0 : 1;
    std::vector<Slot> down;
    while (placeCredit_ >= 1 && network < target_ && !free_.empty() &&
           (o_.maxCalls < 0 || networkPlaced_ < static_cast<uint64_t>(o_.maxCalls))) {
        const Slot s = free_.back();
        free_.pop_back();
        SimCard& card = *cards_[s.card];
        const bool lost = lossStage_ == 1 && s.card == static_cast<size_t>(o_.lossCard);
        if (lost || !LinkUsable(s.card, s.trunk, nowUs)) {  // no ports behind it, not up yet, or the card is gone
            down.push_back(s);
            continue;
        }
        placeCredit_ -= 1;
        ++networkPlaced_;
        ++total_.offered;
        ++interval_.offered;
        const int id = card.PlaceCall(s.trunk, s.timeslot, NextCalling(), o_.called);
        if (id < 0) {
            Fail("not placed");
            free_.insert(free_.begin(), s);
            continue;
        }
        LiveCall c;
        c.slot = s;
        c.id = id;
        c.placedUs = nowUs;
        live_.push_back(c);
        ++network;
    }
    free_.insert(free_.begin(), down.begin(), down.end());
}

// The module's own calls: the card answers them (policy Answer).
void LoadGenerator::AdoptModuleCalls(int64_t nowUs) {
    for (size_t c = 0; c < cards_.size(); ++c) {
        const size_t count = cards_[c]->CallCount();
        for (; seenCalls_[c] < count; ++seenCalls_[c]) {
            CallRecord r;
            if (!cards_[c]->FindCall(static_cast<int>(seenCalls_[c]), &r) || !r.incomingToSim) continue;
            ++total_.offered, ++interval_.offered, ++total_.offeredByModule, ++interval_.offeredByModule;
            LiveCall call;
            call.slot = Slot{c, r.trunk, r.channel};
            call.id = r.id;
            call.byModule = true;
            call.placedUs = r.setupUs != 0 ? r.setupUs : nowUs;
            live_.push_back(call);
        }
    }
}

void LoadGenerator::StartTalking(LiveCall& c, const CallRecord& r, int64_t nowUs) {
    c.talking = true;
    c.answeredUs = nowUs;
    ++total_.answered;
    ++interval_.answered;
    if (!c.byModule) {
        if (r.alertingUs != 0) {
            allLat_.alertingMs.push_back(static_cast<double>(r.alertingUs - r.setupUs) / 1000.0);
            intervalLat_.alertingMs.push_back(allLat_.alertingMs.back());
        }
        if (r.connectUs != 0) {
            allLat_.connectMs.push_back(static_cast<double>(r.connectUs - r.setupUs) / 1000.0);
            intervalLat_.connectMs.push_back(allLat_.connectMs.back());
        }
    }
    bool simClears = o_.clear == LoadOptions::Clear::Sim;
    if (o_.clear == LoadOptions::Clear::Mix) simClears = std::uniform_int_distribution<int>(0, 1)(rng_) == 0;
    c.endUs = simClears ? nowUs + HoldUs(churning_) : 0;
}

void LoadGenerator::Finish(LiveCall& c, const CallRecord& r) {
    if (c.talking) {
        const bool normal = c.clearing || r.clearedBySim || r.cause == kNormalClearing ||
                            r.cause == kNormalUnspecified || r.cause < 0;
        if (normal) {
            ++total_.completed;
            ++interval_.completed;
        } else {
            Fail("cause " + std::to_string(r.cause) + " while talking");
        }
    } else if (!c.clearing) {
        Fail("cause " + std::to_string(r.cause) + " before the answer");
    }
    if (c.slot.timeslot > 0) Silence(c.slot);
    if (!c.byModule) Release(c.slot);
}

// A channel rests a while before the next call, as an exchange lets it: the
// host may still be clearing the last call on its port.
void LoadGenerator::Release(const Slot& s) { resting_.push_back(Resting{s, SimClockUs() + int64_t{o_.restMs} * 1000}); }

bool LoadGenerator::Done() const {
    return o_.maxCalls >= 0 && networkPlaced_ >= static_cast<uint64_t>(o_.maxCalls) && live_.empty();
}

// Digits first (when configured), then speech or the tone, looped.
void LoadGenerator::StartAudio(LiveCall& c, int64_t nowUs) {
    SimCard& card = *cards_[c.slot.card];
    const int64_t digitsAt = c.answeredUs + int64_t{o_.digitsAfterMs} * 1000;
    const int64_t audioAt = digitsAt + static_cast<int64_t>(o_.digits.size()) * (kDigitToneMs + kDigitGapMs) * 1000;
    if (c.audioStage == 0 && !o_.digits.empty() && nowUs >= digitsAt) {
        AudioSource d;
        d.kind = AudioSource::Digits;
        d.digits = o_.digits;
        d.toneMs = kDigitToneMs;
        d.gapMs = kDigitGapMs;
        card.SetSource(c.slot.trunk, c.slot.timeslot, d);
        c.audioStage = 1;
    }
    if (nowUs < audioAt) return;
    c.audioStage = 2;
    if (o_.audio == LoadOptions::Audio::Silence) {
        Silence(c.slot);
        return;
    }
    AudioSource a;
    a.kind = AudioSource::Alaw;
    a.alaw = o_.audio == LoadOptions::Audio::Speech ? speech_ : tone_;
    a.loop = true;
    card.SetSource(c.slot.trunk, c.slot.timeslot, a);
}

void LoadGenerator::Follow(LiveCall& c, const CallRecord& r, int64_t nowUs, bool* done) {
    SimCard& card = *cards_[c.slot.card];
    if (c.byModule && c.slot.timeslot <= 0 && r.channel > 0) c.slot.timeslot = r.channel;
    if (r.cleared) {
        Finish(c, r);
        *done = true;
        return;
    }
    if (!c.talking) {
        if (r.gotConnect || (c.byModule && r.gotConnectAck) || (c.byModule && !c.clearing)) {
            StartTalking(c, r, nowUs);
        } else if (!c.clearing && nowUs - c.placedUs > int64_t{o_.answerTimeoutMs} * 1000) {
            Fail("no answer");
            card.Disconnect(c.id, o_.cause);
            c.clearing = true;
            c.endUs = nowUs;
        }
    }
    if (c.talking && c.audioStage < 2 && c.slot.timeslot > 0 && !c.clearing) StartAudio(c, nowUs);
    if (c.talking && !c.clearing && c.endUs != 0 && nowUs >= c.endUs) {
        card.Disconnect(c.id, o_.cause);
        c.clearing = true;
        c.endUs = nowUs;
    }
    if (c.clearing && nowUs - c.endUs > int64_t{kClearingTimeoutMs} * 1000) {
        Fail("clearing not finished");
        c.talking = false;
        c.clearing = true;
        if (c.slot.timeslot > 0) Silence(c.slot);
        if (!c.byModule) Release(c.slot);
        *done = true;
    }
}

// The lost card's calls end with it; they are counted apart, not as failures.
void LoadGenerator::CardLoss(int64_t nowUs) {
    if (o_.lossCard < 0 || static_cast<size_t>(o_.lossCard) >= cards_.size() || lossStage_ == 2) return;
    SimCard& card = *cards_[static_cast<size_t>(o_.lossCard)];
    const int64_t at = startUs_ + int64_t{o_.lossAtMs} * 1000;
    if (lossStage_ == 0 && nowUs >= at) {
        std::printf("card %u: connection dropped (card loss)\n", card.profile().serial);
        card.SetAnswerDiscovery(false);
        card.CloseConnection();
        for (size_t i = 0; i < live_.size();) {
            if (live_[i].slot.card != static_cast<size_t>(o_.lossCard)) {
                ++i;
                continue;
            }
            ++total_.lostWithCard;
            if (live_[i].slot.timeslot > 0) Silence(live_[i].slot);
            if (!live_[i].byModule) Release(live_[i].slot);
            live_[i] = live_.back();
            live_.pop_back();
        }
        lossStage_ = 1;
    } else if (lossStage_ == 1 && nowUs >= at + int64_t{o_.lossDownMs} * 1000) {
        std::printf("card %u: restart announced\n", card.profile().serial);
        card.SetAnswerDiscovery(true);
        card.AnnounceRestart();
        lossStage_ = 2;
    }
}

// While the module is gone (unloaded, restarting) the far end still holds
// its side of the link, and a SETUP sent then reaches no one: the calls it
// placed would be cleared when the module's new link comes up (cause 101
// after the status check). So a trunk takes no calls from the loss of the
// connection until the module has set its link up again, and a second
// more: the module restarts the channels whose calls the loss ended, and a
// call placed on one meanwhile would be cleared by that RESTART.
void LoadGenerator::FollowLinks(int64_t nowUs) {
    for (size_t c = 0; c < cards_.size(); ++c) {
        const bool connected = cards_[c]->Connected();
        for (size_t t = 0; t < links_[c].size(); ++t) {
            LinkState& l = links_[c][t];
            const auto setUps = static_cast<int64_t>(cards_[c]->LinkSetUps(static_cast<int>(t)));
            if (!connected) {
                l.setUpsAtLoss = setUps;
                l.usableAtUs = INT64_MAX;
            } else if (l.setUpsAtLoss >= 0 && setUps > l.setUpsAtLoss) {
                l.setUpsAtLoss = -1;
                l.usableAtUs = nowUs + int64_t{kLinkSettleMs} * 1000;
            }
        }
    }
}

bool LoadGenerator::LinkUsable(size_t card, int trunk, int64_t nowUs) const {
    if (!cards_[card]->DChannelUp(trunk)) return false;
    const auto& links = links_[card];
    return trunk < 0 || static_cast<size_t>(trunk) >= links.size() || nowUs >= links[static_cast<size_t>(trunk)].usableAtUs;
}

void LoadGenerator::Step() {
    const int64_t now = SimClockUs();
    CardLoss(now);
    FollowLinks(now);
    if (!churning_ && o_.churnAfterMs >= 0 && now - startUs_ >= int64_t{o_.churnAfterMs} * 1000) {
        churning_ = true;
        std::printf("churn: live calls get hold times of %ld-%ld ms from now\n", o_.churnMinMs, o_.churnMaxMs);
        for (auto& c : live_)
            if (c.talking && c.endUs != 0 && !c.clearing) c.endUs = now + HoldUs(true);
    }
    AdoptModuleCalls(now);
    for (size_t i = 0; i < live_.size();) {
        LiveCall& c = live_[i];
        CallRecord r;
        bool done = !cards_[c.slot.card]->FindCall(c.id, &r);
        if (!done) Follow(c, r, now, &done);
        if (done) {
            live_[i] = live_.back();
            live_.pop_back();
        } else {
            ++i;
        }
    }
    while (!resting_.empty() && resting_.front().untilUs <= now) {
        free_.insert(free_.begin(), resting_.front().slot);
        resting_.pop_front();
    }
    if (now - startUs_ >= int64_t{o_.startAfterMs} * 1000) PlaceDue(now);
    else lastPlaceUs_ = now;
}

void LoadGenerator::ClearAll(long timeoutMs) {
    const int64_t start = SimClockUs();
    target_ = 0;
    for (auto& c : live_) {
        if (c.clearing || c.byModule) continue;  // the host ends its own calls
        cards_[c.slot.card]->Disconnect(c.id, o_.cause);
        c.clearing = true;
        c.endUs = start;
    }
    while (!live_.empty() && SimClockUs() - start < int64_t{timeoutMs} * 1000) {
        Step();
        std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
    }
}

void LoadGenerator::PrintAudio(bool total) {
    for (size_t c = 0; c < cards_.size(); ++c) {
        const AudioStats now = cards_[c]->Stats();
        const AudioStats& was = total ? AudioStats{} : lastAudio_[c];
        std::printf("  card %u: audio sent %llu received %llu late %llu skipped %llu lost %llu bad %llu\n",
                    cards_[c]->profile().serial, static_cast<unsigned long long>(now.packetsSent - was.packetsSent),
                    static_cast<unsigned long long>(now.packetsReceived - was.packetsReceived),
                    static_cast<unsigned long long>(now.latePackets - was.latePackets),
                    static_cast<unsigned long long>(now.skippedPackets - was.skippedPackets),
                    static_cast<unsigned long long>(now.moduleSequenceGaps - was.moduleSequenceGaps),
                    static_cast<unsigned long long>(now.badPackets - was.badPackets));
        if (!total) lastAudio_[c] = now;
    }
}

void LoadGenerator::ReportInterval(double seconds) {
    size_t talking = 0;
    for (const auto& c : live_) talking += c.talking ? 1 : 0;
    std::printf("[%6.0fs] live %zu talking %zu | offered %llu (module %llu) answered %llu completed %llu failed %llu"
                " | alerting %s | connect %s\n",
                seconds, live_.size(), talking, static_cast<unsigned long long>(interval_.offered),
                static_cast<unsigned long long>(interval_.offeredByModule),
                static_cast<unsigned long long>(interval_.answered), static_cast<unsigned long long>(interval_.completed),
                static_cast<unsigned long long>(interval_.failed), Percentiles(intervalLat_.alertingMs).c_str(),
                Percentiles(intervalLat_.connectMs).c_str());
    for (const auto& f : interval_.failures)
        std::printf("  failed: %s x%llu\n", f.first.c_str(), static_cast<unsigned long long>(f.second));
    PrintAudio(false);
    interval_ = LoadTotals{};
    intervalLat_ = Latencies{};
    std::fflush(stdout);
}

LoadTotals LoadGenerator::ReportFinal(double seconds) {
    std::printf("\nload run of %.0f s: offered %llu (by the module %llu), answered %llu, completed %llu, failed %llu\n",
                seconds, static_cast<unsigned long long>(total_.offered),
                static_cast<unsigned long long>(total_.offeredByModule),
                static_cast<unsigned long long>(total_.answered), static_cast<unsigned long long>(total_.completed),
                static_cast<unsigned long long>(total_.failed));
    for (const auto& f : total_.failures)
        std::printf("  failed: %s x%llu\n", f.first.c_str(), static_cast<unsigned long long>(f.second));
    if (o_.lossCard >= 0)
        std::printf("  calls ended with the lost card: %llu\n", static_cast<unsigned long long>(total_.lostWithCard));
    std::printf("  SETUP to ALERTING: %s (%zu calls)\n", Percentiles(allLat_.alertingMs).c_str(),
                allLat_.alertingMs.size());
    std::printf("  SETUP to CONNECT:  %s (%zu calls)\n", Percentiles(allLat_.connectMs).c_str(), allLat_.connectMs.size());
    PrintAudio(true);
    uint64_t lost = 0, late = 0;
    for (auto* card : cards_) {
        const AudioStats s = card->Stats();
        lost += s.moduleSequenceGaps;
        late += s.latePackets + s.skippedPackets;
    }
    std::printf("result offered=%llu answered=%llu completed=%llu failed=%llu alerting_p99_ms=%.2f connect_p99_ms=%.2f"
                " audio_lost=%llu audio_late=%llu\n",
                static_cast<unsigned long long>(total_.offered), static_cast<unsigned long long>(total_.answered),
                static_cast<unsigned long long>(total_.completed), static_cast<unsigned long long>(total_.failed),
                Percentile(allLat_.alertingMs, 0.99), Percentile(allLat_.connectMs, 0.99),
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(late));
    std::fflush(stdout);
    return total_;
}

}  // namespace sim
