// Sequence logic of the audio stream: what gets processed, in which order,
// and how many packets are sent in answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/audio_sequence.h"

namespace {

using media::AudioSequence;
using media::SequenceNote;

std::vector<uint8_t> Packet(uint32_t seq, uint8_t resync = 0, uint8_t lost = 0) {
    std::vector<uint8_t> p(media::kMinAudioPacket, 0);
    p[0] = 0xFF;
    p[1] = 0x55;
    media::PutPacketSequence(p.data(), seq);
    p[6] = resync;
    p[7] = lost;
    return p;
}

// Writes every action as a short word: "P5" processed 5, "S" one packet
// sent, "prime", and the notes.
class Recorder : public media::AudioSequenceSink {
public:
    void Note(SequenceNote note, uint32_t a, uint32_t b) override {
        switch (note) {
        case SequenceNote::kLost: log.push_back("lost" + std::to_string(a)); break;
        case SequenceNote::kDuplicate: log.push_back("dup" + std::to_string(a)); break;
        case SequenceNote::kTooManyDuplicates: log.push_back("reset" + std::to_string(a)); break;
        case SequenceNote::kLoss: log.push_back("loss" + std::to_string(a) + "/" + std::to_string(b)); break;
        }
    }
    void PrimeEcho() override { log.push_back("prime"); }
    void SendPacket() override { log.push_back("S"); }
    void Process(const uint8_t* packet, size_t length) override {
        log.push_back("P" + std::to_string(media::PacketSequence(packet)));
        EXPECT_EQ(length, media::kMinAudioPacket);
    }
    std::vector<std::string> log;
};

std::string Join(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

struct Stream {
    AudioSequence seq;
    Recorder rec;
    void Feed(uint32_t q, uint8_t resync = 0, uint8_t lost = 0) {
        auto p = Packet(q, resync, lost);
        seq.Accept(p.data(), p.size(), rec);
    }
    std::string Take() {
        std::string s = Join(rec.log);
        rec.log.clear();
        return s;
    }
};

TEST(AudioSequence, FirstPacketDecidesHowTheStreamStarts) {
    {
        Stream s;  // 0: quiet start, echo primed once, r packets sent
        s.Feed(0, 2);
        EXPECT_EQ(s.Take(), "prime S S P0");
        s.Feed(1, 2);  // r only counts at a re-sync
        EXPECT_EQ(s.Take(), "S P1");
    }
    {
        Stream s;  // any other number: a loss re-sync at once
        s.Feed(77, 1);
        EXPECT_EQ(s.Take(), "loss0/77 prime S P77");
    }
    {
        Stream s;  // 1 is held; 2 then re-syncs and 1 is gone
        s.Feed(1, 1);
        EXPECT_EQ(s.Take(), "");
        EXPECT_TRUE(s.seq.holding());
        s.Feed(2, 1);
        EXPECT_EQ(s.Take(), "loss0/2 prime S P2");
        s.Feed(3);
        EXPECT_EQ(s.Take(), "S P3");
    }
    {
        Stream s;  // 1 held, then the late 0: both in order
        s.Feed(1);
        s.Feed(0, 1);
        EXPECT_EQ(s.Take(), "prime S P0 S P1");
    }
}

TEST(AudioSequence, OneLatePacketIsPutBackInOrder) {
    Stream s;
    s.Feed(5);
    s.Take();
    for (uint32_t q : {7u, 6u, 8u}) s.Feed(q);
    EXPECT_EQ(s.Take(), "S P6 S P7 S P8");
    EXPECT_FALSE(s.seq.holding());
}

TEST(AudioSequence, AHeldPacketIsLostWhenTheGapDoesNotFill) {
    Stream s;
    s.Feed(5);
    s.Take();
    s.Feed(7);
    s.Feed(8);
    EXPECT_EQ(s.Take(), "loss6/8 P8");  // no re-sync packets after the start
    s.Feed(7);                          // the held one is forgotten: now it is old
    EXPECT_EQ(s.Take(), "dup7");
}

TEST(AudioSequence, TenDuplicatesInARowRestartTheStream) {
    Stream s;
    s.Feed(0, 3);
    s.Feed(1);
    s.Take();
    for (int i = 0; i < 9; ++i) s.Feed(1, 3);
    EXPECT_EQ(s.Take(), "dup1 dup1 dup1 dup1 dup1 dup1 dup1 dup1 dup1");
    s.Feed(1, 3);  // the tenth: echo priming is not repeated, r packets are
    EXPECT_EQ(s.Take(), "dup1 reset1 S S S P1");
    EXPECT_EQ(s.seq.duplicates(), 0u);
}

TEST(AudioSequence, ProcessingClearsTheDuplicateCount) {
    Stream s;
    s.Feed(0);
    for (int i = 0; i < 8; ++i) s.Feed(0);
    s.Feed(1);
    for (int i = 0; i < 9; ++i) s.Feed(1);
    std::string log = s.Take();
    EXPECT_EQ(log.find("reset"), std::string::npos) << log;
}

TEST(AudioSequence, SequenceNumbersWrapQuietly) {
    Stream s;
    s.Feed(0xFFFFFFFEu);
    s.Take();
    s.Feed(0xFFFFFFFFu);
    s.Feed(0);
    s.Feed(1);
    EXPECT_EQ(s.Take(), "S P4294967295 S P0 S P1");
    // A held packet across the wrap.
    s.Feed(3);
    s.Feed(2);
    EXPECT_EQ(s.Take(), "S P2 S P3");
}

TEST(AudioSequence, OldPacketsFromBeforeAWrapStayOld) {
    Stream s;
    s.Feed(0xFFFFFFF0u);
    for (uint32_t q = 0xFFFFFFF1u; q != 3; ++q) s.Feed(q);
    s.Take();
    s.Feed(0xFFFFFFF5u);  // a stray repeat from before the wrap must not re-sync backwards
    EXPECT_EQ(s.Take(), "dup4294967285");
    s.Feed(3);
    EXPECT_EQ(s.Take(), "S P3");
    s.Feed(6);  // a plain gap of two still re-syncs
    EXPECT_EQ(s.Take(), "loss4/6 P6");
}

TEST(AudioSequence, ReportedLossesAreMadeGood) {
    Stream s;
    s.Feed(0);
    s.Take();
    s.Feed(1, 0, 1);
    EXPECT_EQ(s.Take(), "lost1 S S P1");
    s.Feed(2, 0, 3);
    EXPECT_EQ(s.Take(), "lost3 S S S S P2");
    s.Feed(3, 0, 255);  // 256 kept in 8 bits
    EXPECT_EQ(s.Take(), "lost255 P3");
    // At a re-sync the loss count is not looked at.
    Stream fresh;
    fresh.Feed(0, 1, 5);
    EXPECT_EQ(fresh.Take(), "prime S P0");
}

TEST(AudioSequence, NotesReadAsTheCardStatusTexts) {
    char text[160];
    media::FormatSequenceNote(SequenceNote::kLost, 1, 0, 4711, text, sizeof text);
    EXPECT_STREQ(text, "4711 : 1 Packet has been lost in transmission.");
    media::FormatSequenceNote(SequenceNote::kLost, 3, 0, 4711, text, sizeof text);
    EXPECT_STREQ(text, "4711 : 3 Packets has been lost in transmission.");
    media::FormatSequenceNote(SequenceNote::kDuplicate, 9, 0, 0, text, sizeof text);
    EXPECT_STREQ(text, "Old/Duplicate Packet -> 9, ignored.");
    media::FormatSequenceNote(SequenceNote::kTooManyDuplicates, 9, 0, 0, text, sizeof text);
    EXPECT_STREQ(text, "Too many Old/Duplicate Packets, so sequence reset to 9, processed.");
    media::FormatSequenceNote(SequenceNote::kLoss, 6, 8, 0, text, sizeof text);
    EXPECT_STREQ(text, "Packet loss?, so sequence reset, expected 6 got 8, processed.");
}

}  // namespace
