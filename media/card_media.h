// The media side of a card link as card set-up and close drive it: block
// pools, audio socket, the audio receive and media tick threads, echo
// cancellers and DTMF detectors. Called by CardSetUp/CardClose only.
#pragma once
#include <cstdint>

namespace transport {
struct CardLink;
}

namespace media {

// Media callback codes. All are raised by the card's media tick thread: the
// audio receive thread only flags that a marked block has started to go
// out, and the tick thread raises that notice (MEDIA_PLAY_MARK without a
// flag) on its next cycle, so the receive thread never touches a port.
enum MediaCode : uint32_t {
    kMediaRxBlock = 0x201,
    kMediaTxFill = 0x202,
    kMediaDigit = 0x203,
    kMediaPlayMark = 0x204,
};

// Answers of a MEDIA_PLAY_MARK query (the 32-bit flag).
enum PlayMarkFlag : uint32_t {
    kPlayMarkNone = 0,   // the block carries on (or carries no) play
    kPlayMarkEnd = 1,    // the block ends the play: queue it with the play mark
    kPlayMarkRetry = 2,  // the fill could not take the play lock: keep the block and fill it next cycle
};

// Creates the card's media state (once, when the card link is constructed).
void CreateCardMedia(transport::CardLink& card);
// Set-up step 1: resets every channel's DTMF detector with the configured
// thresholds and turns detection on.
void PrepareCardMedia(transport::CardLink& card);
// Set-up step 10: the audio socket on localAddress (network order), port 0.
bool OpenAudioSocket(transport::CardLink& card, uint32_t localAddress);
// Set-up step 11: pools of every channel, then the media tick and audio
// receive threads.
bool StartCardMedia(transport::CardLink& card);
// Set-up step 14.5: the trunk's 32 echo cancellers with tailMs x 8 taps. A
// tail the canceller cannot take leaves the trunk without cancellers: its
// audio then passes unchanged. The trunk's switch must be off meanwhile.
void CreateEchoCancellers(transport::CardLink& card, int trunk, int32_t tailMs);

// CardClose: stop flags and socket, then the joins in order, then release.
void RequestMediaStop(transport::CardLink& card);
void CloseAudioSocket(transport::CardLink& card);
void JoinAudioReceiveThread(transport::CardLink& card);
void JoinMediaTickThread(transport::CardLink& card);
void ReleaseCardMedia(transport::CardLink& card);

// Blocks the module itself dropped on the card so far (any thread).
uint64_t DroppedBlocks(const transport::CardLink& card);
// Counts one such block on the card of that index (any thread).
void CountDroppedBlock(uint32_t cardIndex);

// The media dispatcher registered as every card's media callback; the
// context is the card's first port.
void MediaDispatch(uint16_t trunk, uint16_t timeslot, uint32_t code, uint32_t context, void* data,
                   uint32_t length);

}  // namespace media
