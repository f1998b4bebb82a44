#include "sim/audio_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/alaw.h"

namespace sim {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr size_t kCaptureWindow = 20 * wire::kFramesPerSecond;  // samples kept per channel at least
constexpr size_t kEchoSlack = wire::kFramesPerSecond;           // echo line beyond its delay
constexpr int kMaxEchoDelayMs = 2000;
constexpr int kMaxRepeats = 1000;

struct DtmfPair {
    char key;
    double row, column;
};
constexpr DtmfPair kDtmf[] = {
    {'1', 697, 1209}, {'2', 697, 1336}, {'3', 697, 1477}, {'A', 697, 1633},
    {'4', 770, 1209}, {'5', 770, 1336}, {'6', 770, 1477}, {'B', 770, 1633},
    {'7', 852, 1209}, {'8', 852, 1336}, {'9', 852, 1477}, {'C', 852, 1633},
    {'*', 941, 1209}, {'0', 941, 1336}, {'#', 941, 1477}, {'D', 941, 1633},
};

const DtmfPair* FindDigit(char c) {
    if (c >= 'a' && c <= 'd') c = static_cast<char>(c - 'a' + 'A');
    for (const auto& d : kDtmf)
        if (d.key == c) return &d;
    return nullptr;
}

int16_t Clip(double v) {
    if (v > 32767) return 32767;
    if (v < -32768) return -32768;
    return static_cast<int16_t>(std::lround(v));
}

uint64_t MsToSamples(int ms) { return ms > 0 ? static_cast<uint64_t>(ms) * wire::kFramesPerSecond / 1000 : 0; }

}  // namespace

bool AudioEngine::Channel::NextSource(int* linear, uint8_t* alaw) {
    const AudioSource& s = source;
    const uint64_t t = played++;
    switch (s.kind) {
        case AudioSource::Silence: break;
        case AudioSource::Alaw:
            if (alawAt >= s.alaw.size() && s.loop) alawAt = 0;
            if (alawAt < s.alaw.size()) {
                *alaw = s.alaw[alawAt++];
                return false;
            }
            break;
        case AudioSource::Tones: {
            double v = s.level1 * std::sin(phase1) + s.level2 * std::sin(phase2);
            phase1 = std::fmod(phase1 + kTwoPi * s.freq1 / wire::kFramesPerSecond, kTwoPi);
            phase2 = std::fmod(phase2 + kTwoPi * s.freq2 / wire::kFramesPerSecond, kTwoPi);
            *linear = Clip(v);
            return true;
        }
        case AudioSource::Digits: {
            const uint64_t tone = MsToSamples(s.toneMs), slot = tone + MsToSamples(s.gapMs);
            if (slot == 0 || s.digits.empty()) break;
            uint64_t index = t / slot;
            if (index >= s.digits.size() && !s.loop) break;
            index %= s.digits.size();
            const uint64_t within = t % slot;
            const DtmfPair* d = FindDigit(s.digits[static_cast<size_t>(index)]);
            if (d == nullptr || within >= tone) break;
            const double x = kTwoPi * static_cast<double>(within) / wire::kFramesPerSecond;
            *linear = Clip(s.level1 * std::sin(d->row * x) + s.level2 * std::sin(d->column * x));
            return true;
        }
    }
    *alaw = wire::kAlawSilence;
    return false;
}

uint8_t AudioEngine::Channel::NextByte() {
    int linear = 0;
    uint8_t alaw = wire::kAlawSilence;
    const bool isLinear = NextSource(&linear, &alaw);
    if (!echo) return isLinear ? LinearToAlaw(static_cast<int16_t>(linear)) : alaw;
    double back = 0;
    if (!echoLine.empty()) {
        back = echoLine.front() * echoGain;
        echoLine.pop_front();
    }
    const double mixed = (isLinear ? linear : AlawToLinear(alaw)) + back;
    return LinearToAlaw(Clip(mixed));
}

AudioEngine::AudioEngine(int trunks, int framesPerPacket, bool capture)
    : trunks_(wire::AudioTrunks(trunks)),
      frames_(framesPerPacket > 0 ? framesPerPacket : DefaultFramesPerPacket(trunks)),
      capture_(capture),
      channels_(static_cast<size_t>(trunks_ * wire::kTimeslots)) {}

size_t AudioEngine::PacketBytes() const {
    return wire::kAudioHeaderBytes + static_cast<size_t>(frames_) * static_cast<size_t>(trunks_) * wire::kTimeslots;
}

AudioEngine::Channel* AudioEngine::At(int trunk, int timeslot) {
    if (trunk < 0 || trunk >= trunks_ || timeslot < 0 || timeslot >= wire::kTimeslots) return nullptr;
    return &channels_[static_cast<size_t>(trunk * wire::kTimeslots + timeslot)];
}

const AudioEngine::Channel* AudioEngine::At(int trunk, int timeslot) const {
    return const_cast<AudioEngine*>(this)->At(trunk, timeslot);
}

AudioEngine::Datagram AudioEngine::Build() {
    Datagram d(PacketBytes());
    d[0] = wire::kAudioMagic0;
    d[1] = wire::kAudioMagic1;
    wire::PutLe32(&d[wire::kAudioSeqOffset], sequence_++);
    d[wire::kAudioResyncOffset] = resync_;
    d[wire::kAudioLostOffset] = pendingLost_;
    const size_t frameBytes = static_cast<size_t>(trunks_) * wire::kTimeslots;
    for (size_t c = 0; c < channels_.size(); ++c) {
        uint8_t* p = &d[wire::kAudioHeaderBytes + c];
        for (int k = 0; k < frames_; ++k, p += frameBytes) *p = channels_[c].NextByte();
    }
    return d;
}

void AudioEngine::NextPackets(std::vector<Datagram>* out) {
    std::lock_guard<std::mutex> g(lock_);
    out->clear();
    Datagram d = Build();
    if (dropCount_ > 0) {
        --dropCount_;
        return;
    }
    pendingLost_ = 0;
    if (reorderPending_ && !holding_) {
        held_ = std::move(d);
        holding_ = true;
        return;
    }
    out->push_back(d);
    if (holding_) {
        out->push_back(std::move(held_));
        holding_ = false;
        reorderPending_ = false;
    }
    for (; repeatTimes_ > 0; --repeatTimes_) out->push_back(out->front());
    stats_.packetsSent += out->size();
}

void AudioEngine::Capture(const uint8_t* payload, int frames) {
    const size_t frameBytes = static_cast<size_t>(trunks_) * wire::kTimeslots;
    for (size_t c = 0; c < channels_.size(); ++c) {
        Channel& ch = channels_[c];
        if (!capture_ && !ch.echo) continue;
        for (int k = 0; k < frames; ++k) {
            const uint8_t b = payload[static_cast<size_t>(k) * frameBytes + c];
            if (capture_) ch.captured.push_back(b);
            if (ch.echo) ch.echoLine.push_back(AlawToLinear(b));
        }
        if (ch.captured.size() > 2 * kCaptureWindow)
            ch.captured.erase(ch.captured.begin(), ch.captured.end() - static_cast<long>(kCaptureWindow));
        while (ch.echo && ch.echoLine.size() > ch.echoDelay + kEchoSlack) ch.echoLine.pop_front();
    }
}

void AudioEngine::OnModulePacket(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> g(lock_);
    if (data == nullptr || size < wire::kAudioHeaderBytes) return;
    const uint32_t seq = wire::GetLe32(data + wire::kAudioSeqOffset);
    if (stats_.packetsReceived > 0 && seq != stats_.lastModuleSequence + 1) ++stats_.moduleSequenceGaps;
    ++stats_.packetsReceived;
    stats_.lastModuleSequence = seq;
    stats_.lastModuleLength = size;
    const size_t frameBytes = static_cast<size_t>(trunks_) * wire::kTimeslots;
    const size_t payload = size - wire::kAudioHeaderBytes;
    if (payload % frameBytes != 0 || payload == 0 || data[wire::kAudioResyncOffset] != 0 ||
        data[wire::kAudioLostOffset] != 0)
        ++stats_.badPackets;
    Capture(data + wire::kAudioHeaderBytes, static_cast<int>(payload / frameBytes));
}

void AudioEngine::Restart() {
    std::lock_guard<std::mutex> g(lock_);
    sequence_ = 0;
    holding_ = false;
    reorderPending_ = false;
    held_.clear();
}

void AudioEngine::SetSource(int trunk, int timeslot, const AudioSource& source) {
    std::lock_guard<std::mutex> g(lock_);
    Channel* ch = At(trunk, timeslot);
    if (ch == nullptr) return;
    ch->source = source;
    ch->played = 0;
    ch->phase1 = ch->phase2 = 0;
    ch->alawAt = 0;
}

std::vector<uint8_t> AudioEngine::Captured(int trunk, int timeslot) const {
    std::lock_guard<std::mutex> g(lock_);
    const Channel* ch = At(trunk, timeslot);
    return ch != nullptr ? ch->captured : std::vector<uint8_t>{};
}

void AudioEngine::ClearCaptured() {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& ch : channels_) ch.captured.clear();
}

void AudioEngine::DropNextPackets(int count) {
    std::lock_guard<std::mutex> g(lock_);
    dropCount_ = std::max(0, count);
}

void AudioEngine::ReorderNextPair() {
    std::lock_guard<std::mutex> g(lock_);
    reorderPending_ = true;
}

void AudioEngine::RepeatNextPacket(int times) {
    std::lock_guard<std::mutex> g(lock_);
    repeatTimes_ = std::max(0, std::min(times, kMaxRepeats));
}

void AudioEngine::SetResyncCount(uint8_t r) {
    std::lock_guard<std::mutex> g(lock_);
    resync_ = r;
}

void AudioEngine::SetLostCount(uint8_t k) {
    std::lock_guard<std::mutex> g(lock_);
    pendingLost_ = k;
}

void AudioEngine::SetEchoPath(int trunk, int timeslot, double lossDb, int delayMs) {
    std::lock_guard<std::mutex> g(lock_);
    Channel* ch = At(trunk, timeslot);
    if (ch == nullptr) return;
    delayMs = std::max(0, std::min(delayMs, kMaxEchoDelayMs));
    ch->echo = true;
    ch->echoGain = std::pow(10.0, -lossDb / 20.0);
    ch->echoDelay = static_cast<size_t>(MsToSamples(delayMs));
    ch->echoLine.assign(ch->echoDelay, 0);
}

void AudioEngine::CountLate(uint64_t late, uint64_t skipped) {
    std::lock_guard<std::mutex> g(lock_);
    stats_.latePackets += late;
    stats_.skippedPackets += skipped;
}

AudioStats AudioEngine::Stats() const {
    std::lock_guard<std::mutex> g(lock_);
    return stats_;
}

}  // namespace sim
