// Sequence checking of a card's audio packets: in-order processing, one
// held packet for a single gap, duplicates, re-syncs and the packets the
// module sends to make good reported losses. No I/O: what to do is handed
// to a sink. Used by one thread at a time (the card's audio receive thread,
// or a test).
#pragma once
#include <cstddef>
#include <cstdint>

#include "media/audio_packet.h"

namespace media {

enum class SequenceNote : uint8_t {
    kLost,               // a = packets the card lost
    kDuplicate,          // a = sequence number
    kTooManyDuplicates,  // a = sequence number
    kLoss,               // a = expected, b = got
};

// Formats a note as the status text of the card ("serial" for kLost).
void FormatSequenceNote(SequenceNote note, uint32_t a, uint32_t b, uint32_t serial, char* out, size_t size);

class AudioSequenceSink {
public:
    virtual ~AudioSequenceSink() = default;
    virtual void Note(SequenceNote note, uint32_t a, uint32_t b) = 0;
    // First re-sync after a start: queue the silent echo references.
    virtual void PrimeEcho() = 0;
    // Send one audio packet to the card.
    virtual void SendPacket() = 0;
    // Cut the packet into the channels' blocks (header already checked).
    virtual void Process(const uint8_t* packet, size_t length) = 0;
};

class AudioSequence {
public:
    static constexpr uint32_t kDuplicateLimit = 10;

    AudioSequence() { Start(); }
    virtual ~AudioSequence() = default;

    // The state of a fresh receive thread: re-sync and echo priming pending.
    void Start();

    // One well-formed datagram from the card. Runs its actions on the sink,
    // then those of the held packet when the datagram was the missing one.
    void Accept(const uint8_t* packet, size_t length, AudioSequenceSink& sink);

    uint32_t last() const { return last_; }
    bool resyncPending() const { return resyncPending_; }
    bool holding() const { return held_ != Held::kNone; }
    uint32_t duplicates() const { return duplicates_; }

private:
    enum class Held : uint8_t { kNone, kWaiting, kDue };

    void Decide(const uint8_t* packet, size_t length, AudioSequenceSink& sink);
    void Resync(uint8_t resyncCount, AudioSequenceSink& sink);
    void Hold(const uint8_t* packet, size_t length);
    void Process(uint32_t seq, const uint8_t* packet, size_t length, AudioSequenceSink& sink);

    uint32_t last_ = 0xFFFFFFFFu;
    uint32_t duplicates_ = 0;
    bool resyncPending_ = true;
    bool primePending_ = true;
    Held held_ = Held::kNone;
    size_t heldLength_ = 0;
    uint8_t heldPacket_[kAudioBufferBytes];
};

}  // namespace media
