// Load generator: keeps calls flowing on a set of simulated cards without a
// list of calls. It places calls from the network side up to a target
// number at once (paced by an arrival rate), answers the module's own
// calls, sends digits and speech or a tone, clears after a hold time, and
// counts what happened. One thread (the simulator's main loop) runs it.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

struct LoadOptions {
    int calls = -1;               // live calls to keep up; -1: every channel not kept for the module's calls
    double rate = 200;            // new network calls per second, at most
    long holdMinMs = 30000, holdMaxMs = 30000;  // hold time from the answer, drawn evenly
    long churnAfterMs = -1;       // from then on (-1 never): churn hold times, live calls re-timed
    long churnMinMs = 5000, churnMaxMs = 15000;
    double dialShare = 0;         // share of each trunk's channels kept for the module's own calls
    std::string calling = "5550000";  // first calling number; each call adds one
    std::string called = "100";
    std::string digits;           // DTMF digits sent after the answer
    long digitsAfterMs = 300;
    enum class Audio { Silence, Tone, Speech } audio = Audio::Tone;
    double toneHz = 425;
    std::string speechFile;       // A-law, looped
    bool echo = false;            // echo path on every channel
    double echoLossDb = 12;
    int echoDelayMs = 8;
    enum class Clear { Sim, Module, Mix } clear = Clear::Sim;  // who ends a call at its hold time
    int cause = 16;               // cause the network clears with
    long answerTimeoutMs = 10000; // a network call not answered by then fails
    long reportMs = 1000;
    long startAfterMs = 0;        // no network calls before this (the host opens its ports)
    long restMs = 2000;           // a channel's pause between two network calls
    long maxCalls = -1;           // network calls to place in all (-1: no limit)
    // Card loss: card lossCard (index) drops its connection at lossAtMs and
    // announces its restart lossDownMs later (-1: never).
    int lossCard = -1;
    long lossAtMs = 0, lossDownMs = 5000;
    uint32_t seed = 1;
};

// Parses "key=value ..." (blank or comma separated). Returns false with a
// message for an unknown key or a value out of range.
bool ParseLoadOptions(const std::string& text, LoadOptions* out, std::string* error);

// Channel index 0..29 of a trunk (timeslots 1-15, 17-31) that the module's
// own calls use when a share of dialShare is kept for them: the last ones.
bool ChannelKeptForModule(int channelIndex, double dialShare);

struct LoadTotals {
    uint64_t offered = 0, answered = 0, completed = 0, failed = 0;
    uint64_t offeredByModule = 0;  // the module's calls, answered by the card
    uint64_t lostWithCard = 0;     // calls of the card that was lost on purpose
    std::map<std::string, uint64_t> failures;  // by cause ("cause 34", "no answer", ...)
};

class LoadGenerator {
public:
    LoadGenerator(const LoadOptions& options, std::vector<SimCard*> cards);

    // One pass: follows the calls, places new ones, clears those due.
    // Call every few milliseconds.
    void Step();
    // Clears every live call (end of the run) and waits up to timeoutMs for
    // the clearing to finish.
    void ClearAll(long timeoutMs);
    // Prints the report of the interval since the last one (per second).
    void ReportInterval(double seconds);
    // Prints the totals; returns them.
    LoadTotals ReportFinal(double seconds);
    size_t Live() const { return live_.size(); }
    // True once max_calls network calls were placed and all have ended.
    bool Done() const;

private:
    struct Slot {
        size_t card;
        int trunk, timeslot;
    };
    struct LiveCall {
        Slot slot;
        int id = -1;
        bool byModule = false;
        bool talking = false;
        bool clearing = false;
        int audioStage = 0;  // 0 none yet, 1 digits, 2 speech or tone
        int64_t placedUs = 0, answeredUs = 0, endUs = 0;
    };
    struct Latencies {
        std::vector<double> alertingMs, connectMs;
    };

    void PlaceDue(int64_t nowUs);
    void Follow(LiveCall& c, const CallRecord& r, int64_t nowUs, bool* done);
    void StartAudio(LiveCall& c, int64_t nowUs);
    void StartTalking(LiveCall& c, const CallRecord& r, int64_t nowUs);
    void Finish(LiveCall& c, const CallRecord& r);
    void Fail(const std::string& why);
    void AdoptModuleCalls(int64_t nowUs);
    void Silence(const Slot& s);
    void Release(const Slot& s);
    int64_t HoldUs(bool churn);
    std::string NextCalling();
    void PrintAudio(bool total);
    void CardLoss(int64_t nowUs);
    void FollowLinks(int64_t nowUs);
    bool LinkUsable(size_t card, int trunk, int64_t nowUs) const;

    LoadOptions o_;
    std::vector<SimCard*> cards_;
    struct Resting {
        Slot slot;
        int64_t untilUs;
    };
    std::vector<Slot> free_;                      // network channels without a call
    std::deque<Resting> resting_;                 // freed channels, usable again later
    std::vector<size_t> seenCalls_;               // per card: call ids looked at
    // Per card and trunk, after the module's connection was lost: the
    // module's link set-ups counted then (-1: no loss pending), and when the
    // trunk takes calls again (a while after the module set its link up
    // anew: its RESTARTs of the channels it lost come first).
    struct LinkState {
        int64_t setUpsAtLoss = -1;
        int64_t usableAtUs = 0;
    };
    std::vector<std::vector<LinkState>> links_;
    std::vector<LiveCall> live_;
    std::vector<uint8_t> speech_;
    std::vector<uint8_t> tone_;
    std::mt19937 rng_;
    uint64_t callingCounter_ = 0;
    uint64_t networkPlaced_ = 0;
    int64_t startUs_ = 0, lastPlaceUs_ = 0;
    double placeCredit_ = 0;
    bool churning_ = false;
    int lossStage_ = 0;  // 0 before, 1 card gone, 2 announced again
    int target_ = 0;
    LoadTotals total_, interval_;
    Latencies allLat_, intervalLat_;
    std::vector<AudioStats> lastAudio_;
};

}  // namespace sim
