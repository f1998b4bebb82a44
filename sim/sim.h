// Simulated E1 card: a stand-in for one card on the LAN, with a real ISDN
// peer (libpri) on every trunk and an audio stream paced by its own clock.
// Tests and the simulator program drive it from their own threads; its
// worker threads run inside the network namespace it was started in.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct CardProfile {
    uint32_t serial = 4711;
    int trunks = 1;                       // 1 to 8 (other values for fault tests)
    uint8_t firmwareVersion = 3;
    uint32_t featureFlags = 0;
    uint8_t firmwareDate[4] = {26, 12, 1, 10};
    uint8_t burnDate[3] = {26, 11, 30};
    int framesPerPacket = 0;              // 0: largest count within the packet bounds
    bool moduleIsNetworkSide = false;     // true: the simulator plays the user side
    int switchType = 5;                   // libpri switch type of the simulated peer
    bool answerInfoRequest = true;        // false: never sends the card information
    uint32_t keepAliveMs = 250;           // line status at least this often
    // Long runs turn these off: every control message kept for Received(),
    // the module's audio kept per channel for Captured().
    bool keepControlMessages = true;
    bool captureAudio = true;
};

// One message the card received on its control connection.
struct ControlMessage {
    uint8_t type;
    std::vector<uint8_t> bytes;  // the whole message, FF and type included
};

// What the far end saw of one call.
struct CallRecord {
    int id = -1;
    int trunk = 0;
    int channel = -1;            // B-channel timeslot, -1 none
    bool incomingToSim = false;  // SETUP came from the module
    std::string calling, called, redirecting;
    bool gotProceeding = false, gotAlerting = false, gotConnect = false, gotConnectAck = false;
    bool alertingHadInbandProgress = false;
    bool gotSetupAck = false;
    bool cleared = false;
    int cause = -1;              // cause the module sent when clearing, or -1
    bool clearedBySim = false;   // the simulated far end started the clearing
    bool releaseWithheld = false;  // the module's DISCONNECT waits for ReleaseWithheld
    // Steady-clock microseconds (SimClockUs) when the SETUP went out or came
    // in, and when ALERTING and CONNECT were seen; 0 until then.
    int64_t setupUs = 0, alertingUs = 0, connectUs = 0;
};

// The clock of the call timestamps: steady, microseconds.
int64_t SimClockUs();

// What the far end does with a SETUP from the module (default Alert:
// CALL PROCEEDING then ALERTING). Busy clears with DISCONNECT.
enum class IncomingPolicy { Ignore, Proceed, Alert, Answer, Busy };

// Audio stream counters.
struct AudioStats {
    uint64_t packetsSent = 0;         // card packets put on the wire (repeats included)
    uint64_t packetsReceived = 0;     // module packets with the magic
    uint64_t badPackets = 0;          // module packets without whole frames or with bytes 6/7 set
    uint32_t lastModuleSequence = 0;
    uint64_t moduleSequenceGaps = 0;  // module packets whose number was not last + 1
    size_t lastModuleLength = 0;
    uint64_t latePackets = 0;         // sent more than one packet time after due
    uint64_t skippedPackets = 0;      // never sent: the card's clock skipped ahead after a stall
};

// Frames per packet the card uses when CardProfile::framesPerPacket is 0.
int DefaultFramesPerPacket(int trunks);

// Audio source of one channel.
struct AudioSource {
    enum Kind { Silence, Tones, Digits, Alaw } kind = Silence;
    double freq1 = 0, freq2 = 0;  // Tones
    double level1 = 2000, level2 = 2000;  // linear amplitudes (Tones, Digits row/col)
    std::string digits;           // Digits
    int toneMs = 60, gapMs = 60;  // Digits
    std::vector<uint8_t> alaw;    // Alaw: played once, then silence (0xD5)
    bool loop = false;
};

class SimCard {
public:
    explicit SimCard(const CardProfile& profile);
    ~SimCard();
    SimCard(const SimCard&) = delete;
    SimCard& operator=(const SimCard&) = delete;

    // Binds UDP 5854 and TCP 5854 in the calling thread's network namespace
    // and starts the card's threads there. Sources, policies and registers
    // may be set before. Audio flows from each FF 05 on (numbered from 0)
    // until the connection ends; keep-alives start with the card information.
    bool Start();
    void Stop();
    const CardProfile& profile() const;

    // Control connection.
    bool Connected() const;
    bool WaitConnected(int timeoutMs) const;
    std::vector<ControlMessage> Received() const;  // every message so far
    // Module address of every control connection accepted so far, in order
    // (its size is the card's connection count).
    std::vector<uint32_t> ControlPeers() const;
    uint16_t ModuleAudioPort() const;              // from FF 05, 0 until seen
    uint16_t ModuleAudioSourcePort() const;        // the module's audio packets come from it, 0 until one did
    bool DChannelUp(int trunk) const;              // the simulated peer's view
    uint64_t LinkSetUps(int trunk) const;          // SABME frames the module sent on the trunk
    bool WaitDChannelUp(int trunk, int timeoutMs) const;
    std::vector<ControlMessage> ReceivedOfType(uint8_t type) const;
    uint32_t Address() const;       // the card's IPv4 address, network byte order
    void SetRegisterValue(uint16_t reg, uint8_t value);  // answer to register reads (default 0)
    void SetAnswerDiscovery(bool on);                    // false: "VAXO D" goes unanswered

    // Faults and card behaviour. Each may be given at any moment, also
    // while another one lasts; sim/fault_commands.h names them for the
    // simulator program's command socket.
    void SendHdlcError(int trunkIndex, uint8_t code);
    // Line status byte of a trunk; while it is not 0 (line down) no
    // D-channel frame passes in either direction.
    void SetLineStatus(int trunkIndex, uint8_t status);
    // Stops all control traffic (keep-alive too); frames from the module
    // are then read and dropped.
    void SetSilent(bool silent);
    void CloseConnection();             // the module sees the connection end (FIN)
    void ResetConnection();             // the connection aborts (RST)
    // Power loss and restart: the connection aborts, the audio stops, and
    // after offMs the card announces itself. The network beyond the card
    // (the far end) keeps its own state.
    void Restart(int offMs);
    // D-channel frames of a trunk dropped both ways for ms.
    void DropDChannel(int trunk, int ms);
    void SendRaw(const std::vector<uint8_t>& bytes, bool splitEachByte = false);
    // Unasked card information with these facts.
    void SendCardInfo(const CardProfile& facts);
    // Random bytes on the control connection, between whole messages (no
    // 0xFF among them, so none starts a message).
    void SendGarbage(size_t bytes, uint32_t seed);
    // "VAXO B" broadcast on the card's subnet; the connection is left as it
    // is (call CloseConnection first to play a card that lost it).
    void AnnounceRestart();
    void SetAnswerInfoRequest(bool on);

    // Calls, as the far end. Call ids index Calls(); -1 when the call could
    // not be placed.
    int PlaceCall(int trunk, int channel, const std::string& calling, const std::string& called,
                  const std::string& redirecting = "");  // channel -1: no channel named
    bool Alert(int callId);
    bool Answer(int callId);
    bool Proceed(int callId);
    bool Progress(int callId);
    bool Disconnect(int callId, int cause);  // DISCONNECT carrying exactly this cause
    bool Release(int callId, int cause);     // RELEASE carrying exactly this cause
    // Withheld: the module's CONNECT gets no CONNECT ACKNOWLEDGE until
    // SendConnectAck.
    void SetWithholdConnectAck(bool on);
    // Withheld: the module's DISCONNECT gets no RELEASE until ReleaseWithheld,
    // which answers every one waiting.
    void SetWithholdRelease(bool on);
    void ReleaseWithheld();
    bool SendConnectAck(int callId);
    void SetIncomingPolicy(int trunk, IncomingPolicy policy, int busyCause = 17);
    std::vector<CallRecord> Calls() const;
    size_t CallCount() const;
    bool FindCall(int callId, CallRecord* out) const;
    bool WaitCall(int callId, bool (*pred)(const CallRecord&), int timeoutMs) const;
    std::vector<int> RestartsReceived(int trunk) const;  // channels named by RESTART, -1 all
    // RESTART from the network for one B-channel or the whole interface;
    // the far end forgets its calls there.
    bool RestartChannel(int trunk, int channel);
    bool RestartInterface(int trunk);

    // Audio.
    void SetSource(int trunk, int timeslot, const AudioSource& source);
    // Module's bytes so far on a channel: at least the latest 20 s.
    std::vector<uint8_t> Captured(int trunk, int timeslot) const;
    void ClearCaptured();
    void DropNextPackets(int count);
    void ReorderNextPair();
    void RepeatNextPacket(int times);
    void SetResyncCount(uint8_t r);  // byte 6 of every packet (default 2)
    void SetLostCount(uint8_t k);    // byte 7 of the next packet
    // The stream pauses for ms and then goes on with the next number.
    void StallAudio(int ms);
    uint64_t PacketsReceived() const;
    AudioStats Stats() const;
    int FramesPerPacket() const;
    // Echo path: what the module sends on a channel comes back attenuated
    // and delayed, added to the channel's source.
    void SetEchoPath(int trunk, int timeslot, double lossDb, int delayMs);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
