// Kernel pool memory and lookaside lists, over the tagged allocations of os/core/allocation.h (its
// failure switch and per-tag accounting cover them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "os/core/allocation.h"

namespace os {

enum class PoolType { NonPaged, Paged };

// Returns null when the pool (or the failure switch) refuses. Memory is not zeroed.
void* ExAllocatePoolWithTag(PoolType type, size_t size, uint32_t tag);
void ExFreePoolWithTag(void* block, uint32_t tag);

// Fixed-size blocks kept on a free list up to a depth (ExInitializeLookasideListEx).
class LookasideList {
  public:
    LookasideList(PoolType type, size_t entrySize, uint32_t tag, uint16_t depth = 256);
    ~LookasideList();
    LookasideList(const LookasideList&) = delete;
    LookasideList& operator=(const LookasideList&) = delete;

    void* Allocate();
    void Free(void* entry);
    size_t EntrySize() const { return entrySize_; }
    uint32_t Tag() const { return tag_; }
    PoolType Type() const { return type_; }
    // Entries handed out and not yet freed.
    size_t InUse() const;

  private:
    const PoolType type_;
    const size_t entrySize_;
    const uint32_t tag_;
    const uint16_t depth_;
    mutable std::mutex lock_;
    std::vector<void*> free_;
    size_t inUse_ = 0;
};

}  // namespace os
