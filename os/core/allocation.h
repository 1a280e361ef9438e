// Tagged memory with per-tag accounting and a failure switch, under both faces' allocators (a
// kernel's pool and lookaside lists, a program's heap): tests take every "no memory" path and see
// leaks by tag, whichever side allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace os {

// A tag as Windows shows it: MakePoolTag("TMPB") appears as "TMPB" in a pool dump.
constexpr uint32_t MakePoolTag(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

// Whether the failure switch refuses this allocation (counting it as one the switch has seen).
bool AllocationRefused(uint32_t tag);
// Allocates and counts, without asking the switch (for allocators that asked already). Memory is
// not zeroed; null when the system has none.
void* AllocateCounted(size_t size, uint32_t tag);
// Asks the switch, then allocates and counts.
void* TaggedAllocate(size_t size, uint32_t tag);
void TaggedFree(void* block, uint32_t tag);

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

}  // namespace os
