// Recursive lock (a critical section on Win32, a recursive mutex on POSIX).
// Any thread may use it; the same thread may enter it again.
#pragma once

namespace plat {

class RecursiveLock {
public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void Enter();
    // Enters only when no other thread holds the lock; true when entered.
    bool TryEnter();
    void Leave();

private:
    alignas(16) unsigned char storage_[64];
};

// Holds a lock for the life of a scope.
class LockGuard {
public:
    explicit LockGuard(RecursiveLock& lock) : lock_(lock) { lock_.Enter(); }
    ~LockGuard() { lock_.Leave(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    RecursiveLock& lock_;
};

}  // namespace plat
