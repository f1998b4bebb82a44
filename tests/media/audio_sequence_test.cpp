// Sequence logic of the audio stream: what gets processed, in which order,
// and how many packets are sent in answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "media/audio_sequence.h"

namespace {

using media::SequenceNote;

// Every action as a word: "P5" processed 5, "S" one packet sent, "prime", the notes.
class Recorder : public media::AudioSequenceSink {
public:
    void Note(SequenceNote note, uint32_t a, uint32_t b) override {
        static const char* const kNames[] = {"lost", "dup", "reset", "loss"};
        Add(kNames[static_cast<int>(note)] + std::to_string(a) + (note == SequenceNote::kLoss ? "/" + std::to_string(b) : ""));
    }
    void PrimeEcho() override { Add("prime"); }
    void SendPacket() override { Add("S"); }
    void Process(const uint8_t* packet, size_t length) override {
        Add("P" + std::to_string(media::PacketSequence(packet)));
        EXPECT_EQ(length, media::kMinAudioPacket);
    }
    void Add(const std::string& word) { log += (log.empty() ? "" : " ") + word; }
    std::string log;
};

std::string Times(const std::string& word, int n) {
    std::string out = word;
    while (--n > 0) out += " " + word;
    return out;
}

// Packets as "seq[/resync[/lost]]" words; the log expected after them ("*": not checked).
struct Step { std::string packets, log; };

TEST(AudioSequence, Scripts) {
    std::string beforeWrap;
    for (uint32_t q = 0xFFFFFFF0u; q != 3; ++q) beforeWrap += std::to_string(q) + " ";
    const struct { const char* name; std::vector<Step> steps; } cases[] = {
        {"first 0: quiet start, echo primed once, r packets sent", {{"0/2", "prime S S P0"}, {"1/2", "S P1"}}},
        {"any other first number re-syncs at once", {{"77/1", "loss0/77 prime S P77"}}},
        {"first 1 is held; 2 then re-syncs", {{"1/1", ""}, {"2/1", "loss0/2 prime S P2"}, {"3", "S P3"}}},
        {"first 1 held, then the late 0", {{"1 0/1", "prime S P0 S P1"}}},
        {"5,7,6,8: one late packet put back in order", {{"5", "*"}, {"7 6 8", "S P6 S P7 S P8"}}},
        {"5,7,8: the gap does not fill", {{"5", "*"}, {"7 8", "loss6/8 P8"}, {"7", "dup7"}}},
        {"nine duplicates, the tenth restarts (echo not primed again)", {{"0/3 1", "*"}, {Times("1/3", 9), Times("dup1", 9)}, {"1/3", "dup1 reset1 S S S P1"}, {Times("1", 9), Times("dup1", 9)}}},
        {"processing clears the duplicate count", {{"0 " + Times("0", 8) + " 1 " + Times("1", 9), "prime P0 " + Times("dup0", 8) + " S P1 " + Times("dup1", 9)}}},
        {"sequence numbers wrap quietly", {{"4294967294", "*"}, {"4294967295 0 1", "S P4294967295 S P0 S P1"}, {"3 2", "S P2 S P3"}}},
        {"old packets from before a wrap stay old", {{beforeWrap, "*"}, {"4294967285", "dup4294967285"}, {"3", "S P3"}, {"6", "loss4/6 P6"}}},
        {"reported losses k = 1, 3, 255 made good (k + 1 in 8 bits)", {{"0", "*"}, {"1/0/1", "lost1 S S P1"}, {"2/0/3", "lost3 S S S S P2"}, {"3/0/255", "lost255 P3"}}},
        {"at a re-sync the loss count is not looked at", {{"0/1/5", "prime S P0"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        media::AudioSequence seq;
        Recorder rec;
        for (const Step& step : c.steps) {
            std::istringstream in(step.packets);
            for (std::string word; in >> word;) {
                unsigned q = 0, r = 0, l = 0;
                ASSERT_GE(std::sscanf(word.c_str(), "%u/%u/%u", &q, &r, &l), 1) << word;
                std::vector<uint8_t> p(media::kMinAudioPacket, 0);
                p[0] = 0xFF, p[1] = 0x55, p[6] = static_cast<uint8_t>(r), p[7] = static_cast<uint8_t>(l);
                media::PutPacketSequence(p.data(), q);
                seq.Accept(p.data(), p.size(), rec);
            }
            EXPECT_TRUE(step.log == "*" || rec.log == step.log) << rec.log << " after " << step.packets;
            rec.log.clear();
        }
    }
}

TEST(AudioSequence, NotesReadAsTheCardStatusTexts) {
    struct Case { SequenceNote note; uint32_t a, b, serial; const char* text; };
    const Case cases[] = {
        {SequenceNote::kLost, 1, 0, 4711, "4711 : 1 Packet has been lost in transmission."},
        {SequenceNote::kLost, 3, 0, 4711, "4711 : 3 Packets has been lost in transmission."},
        {SequenceNote::kDuplicate, 9, 0, 0, "Old/Duplicate Packet -> 9, ignored."},
        {SequenceNote::kTooManyDuplicates, 9, 0, 0, "Too many Old/Duplicate Packets, so sequence reset to 9, processed."},
        {SequenceNote::kLoss, 6, 8, 0, "Packet loss?, so sequence reset, expected 6 got 8, processed."},
    };
    for (const Case& c : cases) {
        char text[160];
        media::FormatSequenceNote(c.note, c.a, c.b, c.serial, text, sizeof text);
        EXPECT_STREQ(text, c.text);
    }
}

}  // namespace
