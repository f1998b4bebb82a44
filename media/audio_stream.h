// The work of a card's two media threads, as functions that tests and
// benchmarks can also call directly (one caller at a time per role: the
// receive-side functions from one thread, the tick cycle from one thread).
#pragma once
#include <cstddef>
#include <cstdint>

#include "media/card_media_state.h"

namespace media {

// Set-up (threads stopped): block pools of the card's channels and the echo
// reference pool; false for a card without a usable trunk count.
bool SetUpAudioPools(transport::CardLink& card);

// Audio receive thread.
void AudioReceiveThread(void* cardLink);
// The state a fresh receive thread starts from: re-sync pending, every
// channel sending the idle block and filling its scratch block.
void ResetAudioReceiveState(transport::CardLink& card);
// One datagram as received from fromAddress (network order) and fromPort:
// checks, sequence logic, packets sent in answer, cut into the channels'
// blocks.
void HandleAudioDatagram(transport::CardLink& card, const uint8_t* data, size_t length, uint32_t fromAddress,
                         uint16_t fromPort = transport::kCardPort);
// A batch of datagrams as the receive thread takes them: each as above,
// with the cutting of the whole batch done at its end, channel by channel
// (same blocks and cancellers' results as one datagram at a time).
void HandleAudioDatagrams(transport::CardLink& card, const plat::Datagram* datagrams, int count);
// Set-up and close, threads stopped: the last sent packet (the echo
// reference when none is queued) is moved out of the reference pool before
// the pool is released or replaced.
void KeepLastSentPacket(CardMedia& m);
// One packet to the card, as long as the last received one.
void SendAudioPacket(transport::CardLink& card);
// Queues the configured number of silent echo references.
void PrimeEchoReferences(transport::CardLink& card);

// Media tick thread.
void MediaTickThread(void* cardLink);
// One 10 ms cycle over every channel (needs a media callback).
void MediaTickCycle(transport::CardLink& card);

// Host threads, under the port's play lock: drops the send blocks queued on
// a channel (play stopped).
void DropQueuedSendBlocks(uint32_t cardIndex, uint32_t trunk, uint32_t timeslot);
// Media tick thread, in a fill under the port's play lock: the send block
// being filled belongs to the channel's flushes made so far.
void TakeFillGeneration(uint32_t cardIndex, uint32_t trunk, uint32_t timeslot);

// Seams for tests and benchmarks; set while the threads are stopped.
void SetAudioPacketTap(transport::CardLink& card, PacketTap tap, void* context);
void SetTickObserver(transport::CardLink& card, TickObserver observer, void* context);
CardMedia* MediaOf(transport::CardLink& card);

}  // namespace media
