#include "driver/platform/scratch_buffer.h"

#include <memory>
#include <mutex>

#include "os/kernel/pool.h"

namespace wexo::drv {
namespace {

constexpr uint32_t kTag = os::MakePoolTag("TMPB");
constexpr uint64_t kFromPool = 1ull << 63;
constexpr size_t kHeader = 8;

std::mutex gPoolLock;
std::unique_ptr<os::LookasideList> gPool;

uint64_t& Header(void* buffer) {
    return *reinterpret_cast<uint64_t*>(static_cast<uint8_t*>(buffer) - kHeader);
}

void* FromPool(uint32_t capacity) {
    auto* block = static_cast<uint8_t*>(
        os::ExAllocatePoolWithTag(os::PoolType::Paged, kHeader + capacity, kTag));
    if (block == nullptr) {
        return nullptr;
    }
    *reinterpret_cast<uint64_t*>(block) = kFromPool | capacity;
    return block + kHeader;
}

}  // namespace

void ScratchBuffer::CreatePool() {
    std::lock_guard guard(gPoolLock);
    gPool = std::make_unique<os::LookasideList>(os::PoolType::Paged, kHeader + kStandardSize, kTag);
}

void ScratchBuffer::DeletePool() {
    std::lock_guard guard(gPoolLock);
    gPool.reset();
}

void* ScratchBuffer::Get(uint32_t* capacity) {
    *capacity = 0;
    void* block = nullptr;
    {
        std::lock_guard guard(gPoolLock);
        if (gPool) {
            block = gPool->Allocate();
        }
    }
    if (block != nullptr) {
        *static_cast<uint64_t*>(block) = kStandardSize;
        *capacity = kStandardSize;
        return static_cast<uint8_t*>(block) + kHeader;
    }
    void* pooled = FromPool(kStandardSize);
    if (pooled != nullptr) {
        *capacity = kStandardSize;
    }
    return pooled;
}

void* ScratchBuffer::Grow(void* buffer, uint32_t* capacity) {
    uint32_t old = buffer != nullptr ? Capacity(buffer) : 0;
    Release(buffer);
    void* grown = FromPool(old + kGrowth);
    *capacity = grown != nullptr ? old + kGrowth : 0;
    return grown;
}

void* ScratchBuffer::Ensure(void* buffer, uint32_t size) {
    if (buffer != nullptr && Capacity(buffer) >= size) {
        return buffer;
    }
    Release(buffer);
    return FromPool(size);
}

void ScratchBuffer::Release(void* buffer) {
    if (buffer == nullptr) {
        return;
    }
    uint64_t header = Header(buffer);
    void* block = static_cast<uint8_t*>(buffer) - kHeader;
    if ((header & kFromPool) != 0) {
        os::ExFreePoolWithTag(block, kTag);
        return;
    }
    std::lock_guard guard(gPoolLock);
    if (gPool) {
        gPool->Free(block);
    } else {
        os::ExFreePoolWithTag(block, kTag);
    }
}

uint32_t ScratchBuffer::Capacity(const void* buffer) {
    uint64_t header = Header(const_cast<void*>(buffer));
    return static_cast<uint32_t>(header & ~kFromPool);
}

}  // namespace wexo::drv
