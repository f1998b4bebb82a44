#include "platform/lock.h"

#include <windows.h>

#include <new>

namespace plat {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "lock storage too small");

static CRITICAL_SECTION* Section(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }

RecursiveLock::RecursiveLock() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }
RecursiveLock::~RecursiveLock() { DeleteCriticalSection(Section(storage_)); }
void RecursiveLock::Enter() { EnterCriticalSection(Section(storage_)); }
bool RecursiveLock::TryEnter() { return TryEnterCriticalSection(Section(storage_)) != FALSE; }
void RecursiveLock::Leave() { LeaveCriticalSection(Section(storage_)); }

}  // namespace plat
