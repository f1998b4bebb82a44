// Play and record entry points behind the exports; host threads.
#pragma once
#include <cstdint>

#include "include/vaxo_dt_qpl.h"

namespace driver {
class CDevice;
}

namespace media {

// Queues size bytes (copied, or the host's own buffer when cached). A null
// buffer with a size, or a negative size, is refused with an error text.
bool Play(driver::CDevice& port, const void* buffer, int size, bool cached);
// Empties the play list without an event and silences what is already
// queued towards the line.
void StopPlay(driver::CDevice& port);
int PlayTimeLeft(driver::CDevice& port);

// maxMs -1 records without a limit; other negative limits are refused with
// an error text; limits beyond 32 bits of bytes are cut to the largest.
bool Record(driver::CDevice& port, int maxMs);
// Once it returns the buffer no longer changes (until the next Record).
bool StopRecord(driver::CDevice& port);
// Safe during a recording as well: the bytes up to a size read before the
// pointer are final, and the pointer stays valid until the next Record.
void* RecordBuffer(driver::CDevice& port);
int RecordSize(driver::CDevice& port);
int RecordTimeLeft(driver::CDevice& port);
void SetAudioCallback(driver::CDevice& port, uint32_t context, KvAudioCallback callback);

}  // namespace media
