// Placeholder until the media path lands: no audio moves.
#include "driver/device.h"
#include "media/card_media.h"
#include "media/play.h"
#include "media/wave.h"
#include "transport/card_link.h"

namespace media {

struct CardMedia {};
void CardMediaDeleter::operator()(CardMedia* m) const { delete m; }

CBuffer::~CBuffer() { delete[] data_; }
void CBuffer::Reset() {}
bool CBuffer::Append(const uint8_t*, uint32_t) { return false; }

CWave::CWave(driver::CDevice* o) : format(AlawFormat()), owner(o) {}
CWave::~CWave() = default;
void WaveOpen(CWave& w) {
    w.format = AlawFormat();
    w.recordState = kRecordStopped;
    w.open = 1;
}
void WaveClose(CWave& w) {
    w.recordState = kRecordClosed;
    w.open = 0;
}

void CreateCardMedia(transport::CardLink& card) { card.media.reset(new CardMedia); }
void PrepareCardMedia(transport::CardLink&) {}
bool OpenAudioSocket(transport::CardLink&, uint32_t) { return true; }
bool StartCardMedia(transport::CardLink&) { return true; }
void CreateEchoCancellers(transport::CardLink&, int, int32_t) {}
void RequestMediaStop(transport::CardLink&) {}
void CloseAudioSocket(transport::CardLink&) {}
void JoinAudioReceiveThread(transport::CardLink&) {}
void JoinMediaTickThread(transport::CardLink&) {}
void ReleaseCardMedia(transport::CardLink&) {}
void MediaDispatch(uint16_t, uint16_t, uint32_t, uint32_t, void*, uint32_t) {}

bool Play(driver::CDevice&, const void*, int, bool) { return false; }
void StopPlay(driver::CDevice&) {}
int PlayTimeLeft(driver::CDevice&) { return 0; }
bool Record(driver::CDevice&, int) { return false; }
bool StopRecord(driver::CDevice&) { return true; }
void* RecordBuffer(driver::CDevice&) { return nullptr; }
int RecordSize(driver::CDevice&) { return 0; }
int RecordTimeLeft(driver::CDevice&) { return 0; }
void SetAudioCallback(driver::CDevice&, uint32_t, KvAudioCallback) {}

}  // namespace media
