#include "platform/event.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include "platform/posix/deadline.h"
#include <unistd.h>

#include <new>

namespace plat {

namespace {
struct EventState {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool signalled;
};
static_assert(sizeof(EventState) <= 128, "event storage too small");

EventState* State(unsigned char* storage) { return reinterpret_cast<EventState*>(storage); }
}  // namespace

ManualResetEvent::ManualResetEvent() {
    EventState* s = new (storage_) EventState;
    pthread_mutex_init(&s->mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&s->cond, &attr);
    pthread_condattr_destroy(&attr);
    s->signalled = false;
}

ManualResetEvent::~ManualResetEvent() {
    EventState* s = State(storage_);
    pthread_cond_destroy(&s->cond);
    pthread_mutex_destroy(&s->mutex);
}

void ManualResetEvent::Set() {
    EventState* s = State(storage_);
    pthread_mutex_lock(&s->mutex);
    s->signalled = true;
    pthread_cond_broadcast(&s->cond);
    pthread_mutex_unlock(&s->mutex);
}

void ManualResetEvent::Reset() {
    EventState* s = State(storage_);
    pthread_mutex_lock(&s->mutex);
    s->signalled = false;
    pthread_mutex_unlock(&s->mutex);
}

bool ManualResetEvent::Wait(uint32_t timeoutMs) {
    EventState* s = State(storage_);
    timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    pthread_mutex_lock(&s->mutex);
    while (!s->signalled) {
        int rc = timeoutMs == kWaitForever ? pthread_cond_wait(&s->cond, &s->mutex)
                                           : pthread_cond_timedwait(&s->cond, &s->mutex, &deadline);
        if (rc == ETIMEDOUT) break;
    }
    bool result = s->signalled;
    pthread_mutex_unlock(&s->mutex);
    return result;
}

void SignalHostEvent(void* handle) {
    if (handle == nullptr) return;
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle));
    uint64_t one = 1;
    ssize_t written = write(fd, &one, sizeof one);
    (void)written;  // a full counter or a closed descriptor is the host's affair
}

}  // namespace plat
