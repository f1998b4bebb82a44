// The port side of the media callback: what the dispatcher does with one
// port's blocks. Media tick thread (the end notice too: the audio receive
// thread only flags it, the tick thread delivers it).
#pragma once
#include <cstdint>

#include "core/wave.h"

namespace media {

// MEDIA_TX_FILL: the next length bytes to send (0xD5 where nothing is queued).
void FillSendBlock(CWave& wave, uint8_t* block, uint32_t length);
// MEDIA_PLAY_MARK with a flag: kPlayMarkEnd when this block ends the play,
// kPlayMarkRetry when the fill just before it was deferred.
void QueryPlayMark(CWave& wave, uint32_t* flag);
// MEDIA_PLAY_MARK without a flag: the marked block has started to go out.
void PlayEndNotice(CWave& wave);
// MEDIA_RX_BLOCK: record path and host audio callback.
void OfferReceivedBlock(CWave& wave, uint8_t* block, uint32_t length);

}  // namespace media
