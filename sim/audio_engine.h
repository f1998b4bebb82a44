// The card's side of the audio stream: builds the card's packets from a
// source per channel (with the faults a test asked for), and takes apart
// the module's packets (capture, echo path). The card's audio thread calls
// NextPackets and OnModulePacket; test threads call the setters. One lock
// guards everything.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "sim/sim.h"
#include "sim/wire.h"

namespace sim {

class AudioEngine {
public:
    using Datagram = std::vector<uint8_t>;

    AudioEngine(int trunks, int framesPerPacket, bool capture = true);

    int trunks() const { return trunks_; }
    int frames() const { return frames_; }
    size_t PacketBytes() const;

    // Next packet of the stream: none (dropped or held back), one, or more
    // (repeats, a reordered pair).
    void NextPackets(std::vector<Datagram>* out);
    void OnModulePacket(const uint8_t* data, size_t size);
    // A new stream for a new module session: numbering from 0.
    void Restart();

    void SetSource(int trunk, int timeslot, const AudioSource& source);
    std::vector<uint8_t> Captured(int trunk, int timeslot) const;
    void ClearCaptured();
    void DropNextPackets(int count);
    void ReorderNextPair();
    void RepeatNextPacket(int times);
    void SetResyncCount(uint8_t r);
    void SetLostCount(uint8_t k);
    void SetEchoPath(int trunk, int timeslot, double lossDb, int delayMs);
    AudioStats Stats() const;
    // The card's clock fell behind: packets sent late, or skipped.
    void CountLate(uint64_t late, uint64_t skipped);

private:
    struct Channel {
        AudioSource source;
        uint64_t played = 0;  // samples since the source was set
        double phase1 = 0, phase2 = 0;
        size_t alawAt = 0;
        bool echo = false;
        double echoGain = 0;
        size_t echoDelay = 0;        // samples
        std::deque<int16_t> echoLine;  // the module's samples on their way back
        std::vector<uint8_t> captured;

        uint8_t NextByte();
        bool NextSource(int* linear, uint8_t* alaw);  // true: linear sample, false: A-law byte
    };

    Channel* At(int trunk, int timeslot);
    const Channel* At(int trunk, int timeslot) const;
    Datagram Build();
    void Capture(const uint8_t* payload, int frames);

    mutable std::mutex lock_;
    const int trunks_;
    const int frames_;
    const bool capture_;
    std::vector<Channel> channels_;
    uint32_t sequence_ = 0;
    uint8_t resync_ = 2;
    uint8_t pendingLost_ = 0;
    int dropCount_ = 0;
    bool reorderPending_ = false;
    bool holding_ = false;
    Datagram held_;
    int repeatTimes_ = 0;
    AudioStats stats_{};
};

}  // namespace sim
