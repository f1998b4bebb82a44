// Play and record entry points behind the exports; host threads.
#pragma once
#include <cstdint>

#include "include/vaxo_dt_qpl.h"

namespace driver {
class CDevice;
}

namespace media {

bool Play(driver::CDevice& port, const void* buffer, int size, bool cached);
void StopPlay(driver::CDevice& port);
int PlayTimeLeft(driver::CDevice& port);

bool Record(driver::CDevice& port, int maxMs);
bool StopRecord(driver::CDevice& port);
void* RecordBuffer(driver::CDevice& port);
int RecordSize(driver::CDevice& port);
int RecordTimeLeft(driver::CDevice& port);
void SetAudioCallback(driver::CDevice& port, uint32_t context, KvAudioCallback callback);

}  // namespace media
