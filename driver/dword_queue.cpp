#include "driver/dword_queue.h"

#include <new>

namespace driver {

CDwordQueue::~CDwordQueue() {
    head_ = tail_ = 0;
    delete[] storage_;
    storage_ = nullptr;
    capacity_ = 0;
}

bool CDwordQueue::SetCapacity(uint32_t capacity) {
    plat::LockGuard guard(lock_);
    delete[] storage_;
    storage_ = nullptr;
    capacity_ = capacity;
    head_ = tail_ = 0;
    if (capacity == 0) return false;
    storage_ = new (std::nothrow) uint32_t[capacity]();
    return storage_ != nullptr;
}

void CDwordQueue::Push(uint32_t value) {
    plat::LockGuard guard(lock_);
    if (storage_ == nullptr || Next(tail_) == head_) return;
    storage_[tail_] = value;
    tail_ = Next(tail_);
}

bool CDwordQueue::PushPair(uint32_t first, uint32_t second) {
    plat::LockGuard guard(lock_);
    if (storage_ == nullptr) return false;
    uint32_t afterFirst = Next(tail_);
    if (afterFirst == head_ || Next(afterFirst) == head_) return false;
    storage_[tail_] = first;
    storage_[afterFirst] = second;
    tail_ = Next(afterFirst);
    return true;
}

bool CDwordQueue::Pop(uint32_t* value) {
    plat::LockGuard guard(lock_);
    if (storage_ == nullptr || head_ == tail_) return false;
    *value = storage_[head_];
    head_ = Next(head_);
    return true;
}

bool CDwordQueue::PopPair(uint32_t* first, uint32_t* second) {
    plat::LockGuard guard(lock_);
    if (storage_ == nullptr || head_ == tail_) return false;
    *first = storage_[head_];
    *second = storage_[Next(head_)];
    head_ = Next(Next(head_));
    return true;
}

void CDwordQueue::Clear() {
    plat::LockGuard guard(lock_);
    head_ = tail_ = 0;
    for (uint32_t i = 0; storage_ != nullptr && i < capacity_; ++i) storage_[i] = 0;
}

bool CDwordQueue::LooksNonEmpty() const { return head_ != tail_; }

}  // namespace driver
