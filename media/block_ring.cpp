#include "media/block_ring.h"

#include <cstring>
#include <new>

namespace media {

BlockRing::~BlockRing() { Release(); }

bool BlockRing::Init(uint32_t capacity) {
    Release();
    if (capacity < 2) return false;
    slots_ = new (std::nothrow) uintptr_t[capacity]();
    if (slots_ == nullptr) return false;
    capacity_ = capacity;
    return true;
}

void BlockRing::Release() {
    delete[] slots_;
    slots_ = nullptr;
    capacity_ = 0;
    read_.store(0, std::memory_order_relaxed);
    write_.store(0, std::memory_order_relaxed);
}

BlockPool::~BlockPool() { Release(); }

bool BlockPool::Setup(uint32_t count, uint32_t blockBytes) {
    Release();
    if (count == 0 || blockBytes == 0) return false;
    const size_t stride = (kHeaderBytes + blockBytes + 15) / 16 * 16;
    auto* storage = static_cast<uint8_t*>(::operator new(stride * count, std::align_val_t(16), std::nothrow));
    if (storage == nullptr) return false;
    memset(storage, 0, stride * count);
    if (!data.Init(count + 2) || !free.Init(count + 2)) {
        data.Release();
        free.Release();
        ::operator delete(storage, std::align_val_t(16));
        return false;
    }
    storage_ = storage;
    stride_ = stride;
    count_ = count;
    blockBytes_ = blockBytes;
    for (uint32_t i = 0; i < count; ++i) free.Push(RingItem(storage_ + i * stride_ + kHeaderBytes, false));
    return true;
}

void BlockPool::Release() {
    data.Release();
    free.Release();
    if (storage_ != nullptr) ::operator delete(storage_, std::align_val_t(16));
    storage_ = nullptr;
    stride_ = 0;
    count_ = 0;
    blockBytes_ = 0;
}

bool BlockPool::Owns(const uint8_t* block) const {
    if (storage_ == nullptr || block < storage_ + kHeaderBytes) return false;
    const size_t offset = static_cast<size_t>(block - storage_);
    return offset < stride_ * count_ && offset % stride_ == kHeaderBytes;
}

}  // namespace media
