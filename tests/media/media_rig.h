// A card's media path without network or threads: a card link with its
// pools, the dispatcher as media callback, port devices in the port table,
// and every packet the module sends captured. The test plays the card and
// both media threads (datagrams in, tick cycles run by hand), so every step
// is deterministic.
#pragma once
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "common/trace_capture.h"
#include "common/wait.h"
#include "core/card_link.h"
#include "core/config.h"
#include "core/device.h"
#include "core/port_table.h"
#include "media/audio_stream.h"
#include "media/card_media.h"

namespace mediatest {

constexpr uint32_t kRigCardAddress = 0x0100000Au;  // 10.0.0.1, network order
constexpr uint8_t kCardFill = 0x33;               // what the card sends where the test set nothing

class MediaRig {
public:
    static constexpr uint32_t kCardIndex = transport::kMaxCards - 1;

    // Packets of 40 frames for one trunk, else of 80 / (2 x trunks).
    explicit MediaRig(int trunks = 1, int audioBuffers = 4)
        : trunks_(trunks), frames_(trunks == 1 ? 40 : 80 / (trunks * 2)),
          savedCard_(transport::g_cards[kCardIndex]), savedBuffers_(driver::g_config.audioBuffers) {
        driver::g_config.audioBuffers = audioBuffers;
        card_.cardIndex = kCardIndex, card_.serial = 4711, card_.trunkCount = trunks;
        card_.cardAddress = kRigCardAddress, card_.mediaContext = 0;
        transport::g_cards[kCardIndex] = &card_;
        media::PrepareCardMedia(card_);
        ok_ = media::SetUpAudioPools(card_);
        media::ResetAudioReceiveState(card_);
        media::SetAudioPacketTap(card_, [](void* self, const uint8_t* p, size_t n) {
            static_cast<MediaRig*>(self)->sent_.emplace_back(p, p + n);
        }, this);
        card_.mediaCallback = media::MediaDispatch;
    }

    ~MediaRig() {
        media::ReleaseCardMedia(card_);
        for (auto& [number, device] : ports_) {
            driver::g_ports[number] = nullptr;
            close(static_cast<int>(reinterpret_cast<intptr_t>(device->hostEvent.load())));
        }
        transport::g_cards[kCardIndex] = savedCard_;
        driver::g_config.audioBuffers = savedBuffers_;
    }

    bool ok() const { return ok_; }
    transport::CardLink& card() { return card_; }
    media::CardMedia& media() { return *card_.media; }
    int frames() const { return frames_; }
    size_t packetLength() const { return 8 + static_cast<size_t>(frames_) * trunks_ * 32; }

    // The port device of a bearer channel, made on first use (open or not).
    driver::CDevice& Port(int trunk, int timeslot) {
        const int number = trunk * transport::kChannelsPerTrunk + (timeslot < 16 ? timeslot - 1 : timeslot - 2);
        auto& device = ports_[number];
        if (device) return *device;
        device = std::make_unique<driver::CDevice>();
        device->portNumber = static_cast<uint32_t>(number), device->cardIndex = kCardIndex;
        device->trunkIndex = static_cast<uint32_t>(trunk), device->timeslot = static_cast<uint32_t>(timeslot);
        device->hostEvent = reinterpret_cast<void*>(static_cast<intptr_t>(eventfd(0, EFD_NONBLOCK)));
        return *(driver::g_ports[number] = device.get());
    }

    static std::vector<uint32_t> Events(driver::CDevice& port) {
        std::vector<uint32_t> out;
        for (uint32_t code; port.eventQueue.Pop(&code);) out.push_back(code);
        return out;
    }

    // What the card sends on a channel (trunk x 32 + timeslot) from now on, then kCardFill.
    void SetSource(int channel, std::vector<uint8_t> bytes) { sources_[channel] = {std::move(bytes), 0}; }

    // The next card packet of the stream with the given header fields.
    std::vector<uint8_t> MakePacket(uint32_t seq, uint8_t resync = 0, uint8_t lost = 0) {
        std::vector<uint8_t> p(packetLength(), kCardFill);
        p[0] = 0xFF, p[1] = 0x55, p[6] = resync, p[7] = lost;
        memcpy(&p[2], &seq, 4);  // little-endian host
        const int stride = trunks_ * 32;
        for (auto& [c, src] : sources_)
            for (int k = 0; k < frames_ && src.second < src.first.size(); ++k) p[8 + k * stride + c] = src.first[src.second++];
        return p;
    }

    void Deliver(const std::vector<uint8_t>& packet, uint32_t from = kRigCardAddress,
                 uint16_t port = transport::kCardPort) {
        media::HandleAudioDatagram(card_, packet.data(), packet.size(), from, port);
    }

    // One in-order packet (the first one asks for one re-sync packet).
    void Step() { Deliver(MakePacket(seq_, seq_ == 0)); ++seq_; }
    void Tick() { media::MediaTickCycle(card_); }

    // ms of stream: per 10 ms the packets of 80 frames, then one tick.
    void Run(int ms) {
        for (int elapsed = 0; elapsed < ms; elapsed += 10) {
            for (int f = 0; f < 80; f += frames_) Step();
            Tick();
        }
    }

    const std::vector<std::vector<uint8_t>>& sent() const { return sent_; }

    // Bytes the module sent on a channel, packet after packet (whole frames only).
    std::vector<uint8_t> SentBytes(int channel, size_t firstPacket = 0) const {
        std::vector<uint8_t> out;
        const size_t stride = static_cast<size_t>(trunks_) * 32;
        for (size_t i = firstPacket; i < sent_.size(); ++i)
            for (size_t k = 8 + channel, end = 8 + (sent_[i].size() - 8) / stride * stride; k < end; k += stride)
                out.push_back(sent_[i][k]);
        return out;
    }

private:
    transport::CardLink card_;
    int trunks_, frames_;
    transport::CardLink* savedCard_;
    int32_t savedBuffers_;
    bool ok_ = false;
    uint32_t seq_ = 0;
    std::map<int, std::unique_ptr<driver::CDevice>> ports_;
    std::map<int, std::pair<std::vector<uint8_t>, size_t>> sources_;  // bytes, next position
    std::vector<std::vector<uint8_t>> sent_;
};

// Pseudo-random bytes that are neither 0xD5 nor 0x54 nor the card fill, so
// that any slice is found only where it belongs.
inline std::vector<uint8_t> Pattern(size_t n, uint8_t salt = 0) {
    std::vector<uint8_t> out(n);
    for (uint32_t x = 2463534242u + salt, i = 0; i < n; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        const auto b = static_cast<uint8_t>(x >> 24);
        out[i] = b == 0xD5 || b == 0x54 || b == kCardFill ? 0x99 : b;
    }
    return out;
}

using testsupport::TraceCapture;

}  // namespace mediatest
