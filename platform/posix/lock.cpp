#include "platform/lock.h"

#include <pthread.h>

#include <new>

namespace plat {

static_assert(sizeof(pthread_mutex_t) <= 64, "lock storage too small");

static pthread_mutex_t* Mutex(unsigned char* storage) {
    return reinterpret_cast<pthread_mutex_t*>(storage);
}

RecursiveLock::RecursiveLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

RecursiveLock::~RecursiveLock() { pthread_mutex_destroy(Mutex(storage_)); }
void RecursiveLock::Enter() { pthread_mutex_lock(Mutex(storage_)); }
bool RecursiveLock::TryEnter() { return pthread_mutex_trylock(Mutex(storage_)) == 0; }
void RecursiveLock::Leave() { pthread_mutex_unlock(Mutex(storage_)); }

}  // namespace plat
