// Threads with a join that has a time limit. The owner starts and joins;
// the thread body runs on its own thread.
#pragma once
#include <cstdint>

namespace plat {

enum class ThreadPriority { Normal, TimeCritical };

class Thread {
public:
    using Body = void (*)(void* arg);

    Thread();
    ~Thread();  // detaches a thread that is still running
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts body(arg); false if the thread could not be created.
    bool Start(Body body, void* arg, ThreadPriority priority = ThreadPriority::Normal);
    // Waits up to timeoutMs for the thread to end. True when it ended (the
    // handle is then released); false leaves it running and detached.
    bool Join(uint32_t timeoutMs);
    bool Started() const { return started_; }

    struct State;

private:
    State* state_;
    bool started_;
};

// Joins the multimedia "Pro Audio" scheduling class at critical priority
// where the system has one; failure is ignored.
void EnterProAudioClass();

// Names the calling thread for debuggers and tools (cut to what the system
// keeps, 15 characters on Linux); failure is ignored.
void SetCurrentThreadName(const char* name);

}  // namespace plat
