#include "os/kernel/pool.h"

#include <cstdlib>

namespace os {

void* ExAllocatePoolWithTag(PoolType, size_t size, uint32_t tag) {
    return TaggedAllocate(size, tag);
}

void ExFreePoolWithTag(void* block, uint32_t tag) {
    TaggedFree(block, tag);
}

LookasideList::LookasideList(PoolType type, size_t entrySize, uint32_t tag, uint16_t depth)
    : type_(type), entrySize_(entrySize), tag_(tag), depth_(depth) {}

LookasideList::~LookasideList() {
    for (void* entry : free_) {
        ExFreePoolWithTag(entry, tag_);
    }
}

void* LookasideList::Allocate() {
    // The failure switch covers the list too, so a test can exhaust it whatever it caches.
    if (AllocationRefused(tag_)) {
        return nullptr;
    }
    {
        std::lock_guard guard(lock_);
        if (!free_.empty()) {
            void* entry = free_.back();
            free_.pop_back();
            ++inUse_;
            return entry;
        }
    }
    void* entry = AllocateCounted(entrySize_, tag_);
    if (entry == nullptr) {
        return nullptr;
    }
    std::lock_guard guard(lock_);
    ++inUse_;
    return entry;
}

size_t LookasideList::InUse() const {
    std::lock_guard guard(lock_);
    return inUse_;
}

void LookasideList::Free(void* entry) {
    if (entry == nullptr) {
        return;
    }
    {
        std::lock_guard guard(lock_);
        --inUse_;
        if (free_.size() < depth_) {
            free_.push_back(entry);
            return;
        }
    }
    ExFreePoolWithTag(entry, tag_);
}

}  // namespace os
