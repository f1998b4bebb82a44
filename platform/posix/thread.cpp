#include "platform/thread.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include "platform/posix/deadline.h"

#include <atomic>

namespace plat {

struct Thread::State {
    enum Phase : int { kRunning, kDetached, kEnded };
    pthread_t handle;
    Body body;
    void* arg;
    ThreadPriority priority;
    std::atomic<int> phase{kRunning};
};

// A thread given up on (detached) frees its state when it ends; if it has
// ended already, the one that gives up frees it.
static void GiveUp(Thread::State* state) {
    pthread_detach(state->handle);
    if (state->phase.exchange(Thread::State::kDetached) == Thread::State::kEnded) delete state;
}

static void* Trampoline(void* raw) {
    auto* state = static_cast<Thread::State*>(raw);
    if (state->priority == ThreadPriority::TimeCritical) {
        // Best effort: real-time scheduling needs privileges we may not have.
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
    state->body(state->arg);
    if (state->phase.exchange(Thread::State::kEnded) == Thread::State::kDetached) delete state;
    return nullptr;
}

Thread::Thread() : state_(nullptr), started_(false) {}

Thread::~Thread() {
    if (started_) {
        GiveUp(state_);
        started_ = false;
    }
}

bool Thread::Start(Body body, void* arg, ThreadPriority priority) {
    if (started_) return false;
    state_ = new State;
    state_->body = body;
    state_->arg = arg;
    state_->priority = priority;
    if (pthread_create(&state_->handle, nullptr, Trampoline, state_) != 0) {
        delete state_;
        state_ = nullptr;
        return false;
    }
    started_ = true;
    return true;
}

bool Thread::Join(uint32_t timeoutMs) {
    if (!started_) return true;
    timespec deadline = DeadlineAfter(CLOCK_REALTIME, timeoutMs);
    int rc = pthread_timedjoin_np(state_->handle, nullptr, &deadline);
    started_ = false;
    if (rc == 0) {
        delete state_;
        state_ = nullptr;
        return true;
    }
    GiveUp(state_);
    state_ = nullptr;
    return false;
}

void EnterProAudioClass() {}

void SetCurrentThreadName(const char* name) {
    if (name == nullptr) return;
    char shortName[16];
    size_t n = 0;
    for (; n + 1 < sizeof shortName && name[n] != '\0'; ++n) shortName[n] = name[n];
    shortName[n] = '\0';
    pthread_setname_np(pthread_self(), shortName);
}

}  // namespace plat
