#include "media/audio_sequence.h"

#include <cstdio>
#include <cstring>

namespace media {

void FormatSequenceNote(SequenceNote note, uint32_t a, uint32_t b, uint32_t serial, char* out, size_t size) {
    if (out == nullptr || size == 0) return;
    switch (note) {
    case SequenceNote::kLost:
        snprintf(out, size, "%u : %u Packet%s has been lost in transmission.", serial, a, a == 1 ? "" : "s");
        break;
    case SequenceNote::kDuplicate:
        snprintf(out, size, "Old/Duplicate Packet -> %u, ignored.", a);
        break;
    case SequenceNote::kTooManyDuplicates:
        snprintf(out, size, "Too many Old/Duplicate Packets, so sequence reset to %u, processed.", a);
        break;
    case SequenceNote::kLoss:
        snprintf(out, size, "Packet loss?, so sequence reset, expected %u got %u, processed.", a, b);
        break;
    }
}

void AudioSequence::Start() {
    last_ = 0xFFFFFFFFu;
    duplicates_ = 0;
    resyncPending_ = true;
    primePending_ = true;
    held_ = Held::kNone;
    heldLength_ = 0;
}

void AudioSequence::Accept(const uint8_t* packet, size_t length, AudioSequenceSink& sink) {
    if (packet == nullptr || length < kPacketHeaderBytes || length > sizeof heldPacket_) return;
    if (held_ == Held::kWaiting) held_ = Held::kDue;
    Decide(packet, length, sink);
    // Still due only when this datagram was the missing one and got processed.
    if (held_ == Held::kDue) {
        held_ = Held::kNone;
        Decide(heldPacket_, heldLength_, sink);
    }
}

void AudioSequence::Decide(const uint8_t* packet, size_t length, AudioSequenceSink& sink) {
    const uint32_t q = PacketSequence(packet);
    const uint8_t r = packet[kPacketResyncOffset];
    const uint8_t k = packet[kPacketLostOffset];
    const uint32_t e = last_ + 1;

    if (q == e) {
        if (resyncPending_) {
            Resync(r, sink);
        } else {
            if (k > 0) sink.Note(SequenceNote::kLost, k, 0);
            // One packet for this one plus one per reported loss; kept in 8
            // bits as the card counts them, so k = 255 sends none.
            const uint8_t sends = static_cast<uint8_t>(k + 1);
            for (uint8_t i = 0; i < sends; ++i) sink.SendPacket();
        }
        Process(q, packet, length, sink);
        return;
    }

    held_ = Held::kNone;
    // Distance in serial-number arithmetic once the stream runs, so that
    // old packets from before a wrap of the counter stay old. Before the
    // first packet everything but 0 and 1 is a fresh start.
    const int32_t ahead = static_cast<int32_t>(q - e);
    const bool old = resyncPending_ ? q < e : ahead < 0;
    if (old) {
        sink.Note(SequenceNote::kDuplicate, q, 0);
        if (++duplicates_ < kDuplicateLimit) return;
        sink.Note(SequenceNote::kTooManyDuplicates, q, 0);
        Resync(r, sink);
        Process(q, packet, length, sink);
        return;
    }
    if (q == e + 1) {
        Hold(packet, length);
        return;
    }
    sink.Note(SequenceNote::kLoss, e, q);
    Resync(r, sink);
    Process(q, packet, length, sink);
}

void AudioSequence::Resync(uint8_t resyncCount, AudioSequenceSink& sink) {
    if (primePending_) {
        sink.PrimeEcho();
        primePending_ = false;
    }
    for (uint8_t i = 0; i < resyncCount; ++i) sink.SendPacket();
    resyncPending_ = false;
}

void AudioSequence::Hold(const uint8_t* packet, size_t length) {
    if (packet != heldPacket_) memcpy(heldPacket_, packet, length);
    heldLength_ = length;
    held_ = Held::kWaiting;
}

void AudioSequence::Process(uint32_t seq, const uint8_t* packet, size_t length, AudioSequenceSink& sink) {
    last_ = seq;
    duplicates_ = 0;
    sink.Process(packet, length);
}

}  // namespace media
