// Kernel pool memory and lookaside lists, with a failure switch so tests can take every
// "no memory" path the driver has, and per-tag accounting so tests can see leaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace os {

enum class PoolType { NonPaged, Paged };

// A pool tag as Windows shows it: MakePoolTag("TMPB") appears as "TMPB" in a pool dump.
constexpr uint32_t MakePoolTag(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

// Returns null when the pool (or the failure switch) refuses. Memory is not zeroed.
void* ExAllocatePoolWithTag(PoolType type, size_t size, uint32_t tag);
void ExFreePoolWithTag(void* block, uint32_t tag);

// The process heap of a user-mode program (HeapAlloc/HeapFree on GetProcessHeap()). It draws on the
// same accounting and failure switch under its own tag, so a program's "no memory" paths can be
// taken too. Returns null when refused; memory is not zeroed.
constexpr uint32_t kProcessHeapTag = MakePoolTag("Heap");
void* HeapAlloc(size_t size);
void HeapFree(void* block);

// Allocations of a tag not yet freed; for tests that check nothing leaked.
size_t PoolOutstanding(uint32_t tag);
size_t PoolOutstandingTotal();

// Makes matching allocations fail while it lives: those of one tag (or any, with tag 0), after
// `skip` successful ones, for `count` allocations (or all of them).
class ScopedPoolFailure {
  public:
    explicit ScopedPoolFailure(uint32_t tag = 0, uint64_t skip = 0,
                               std::optional<uint64_t> count = std::nullopt);
    ~ScopedPoolFailure();
    ScopedPoolFailure(const ScopedPoolFailure&) = delete;
    ScopedPoolFailure& operator=(const ScopedPoolFailure&) = delete;
    uint64_t Failed() const;
};

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
