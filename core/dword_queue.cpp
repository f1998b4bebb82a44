#include "core/dword_queue.h"

#include <new>

namespace driver {

CDwordQueue::~CDwordQueue() {
    head_ = 0;
    tail_ = 0;
    delete[] storage_;
    storage_ = nullptr;
    capacity_ = 0;
}

bool CDwordQueue::SetCapacity(uint32_t capacity) {
    plat::LockGuard guard(lock_);
    delete[] storage_;
    storage_ = nullptr;
    capacity_ = capacity;
    head_ = 0;
    tail_ = 0;
    if (capacity == 0) return false;
    storage_ = new (std::nothrow) uint32_t[capacity]();
    return storage_ != nullptr;
}

uint32_t CDwordQueue::CountLocked() const {
    return (tail_.load() + capacity_ - head_.load()) % capacity_;
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
    if (value != nullptr) *value = storage_[head_];
    head_ = Next(head_);
    return true;
}

bool CDwordQueue::PopPair(uint32_t* first, uint32_t* second) {
    plat::LockGuard guard(lock_);
    if (storage_ == nullptr || CountLocked() < 2) return false;
    uint32_t head = head_;
    if (first != nullptr) *first = storage_[head];
    if (second != nullptr) *second = storage_[Next(head)];
    head_ = Next(Next(head));
    return true;
}

void CDwordQueue::Clear() {
    plat::LockGuard guard(lock_);
    head_ = 0;
    tail_ = 0;
    for (uint32_t i = 0; storage_ != nullptr && i < capacity_; ++i) storage_[i] = 0;
}

bool CDwordQueue::LooksNonEmpty() const { return head_.load() != tail_.load(); }

}  // namespace driver
