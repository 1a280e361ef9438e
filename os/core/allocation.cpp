#include "os/core/allocation.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace os {
namespace {

struct FailureRule {
    bool active = false;
    uint32_t tag = 0;
    uint64_t skip = 0;
    std::optional<uint64_t> count;
    uint64_t failed = 0;
};

struct PoolState {
    std::mutex lock;
    std::map<uint32_t, size_t> outstanding;
    FailureRule failure;
};

PoolState& State() {
    static PoolState* state = new PoolState();
    return *state;
}

// Decides under the pool lock whether this allocation is one the test wants to fail.
bool ShouldFailLocked(PoolState& state, uint32_t tag) {
    FailureRule& rule = state.failure;
    if (!rule.active || (rule.tag != 0 && rule.tag != tag)) {
        return false;
    }
    if (rule.skip > 0) {
        --rule.skip;
        return false;
    }
    if (rule.count && rule.failed >= *rule.count) {
        return false;
    }
    ++rule.failed;
    return true;
}

}  // namespace

bool AllocationRefused(uint32_t tag) {
    PoolState& state = State();
    std::lock_guard guard(state.lock);
    return ShouldFailLocked(state, tag);
}

void* AllocateCounted(size_t size, uint32_t tag) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        return nullptr;
    }
    PoolState& state = State();
    std::lock_guard guard(state.lock);
    ++state.outstanding[tag];
    return block;
}

void* TaggedAllocate(size_t size, uint32_t tag) {
    return AllocationRefused(tag) ? nullptr : AllocateCounted(size, tag);
}

void TaggedFree(void* block, uint32_t tag) {
    if (block == nullptr) {
        return;
    }
    std::free(block);
    PoolState& state = State();
    std::lock_guard guard(state.lock);
    auto it = state.outstanding.find(tag);
    if (it != state.outstanding.end() && it->second > 0) {
        --it->second;
    }
}

size_t PoolOutstanding(uint32_t tag) {
    PoolState& state = State();
    std::lock_guard guard(state.lock);
    auto it = state.outstanding.find(tag);
    return it == state.outstanding.end() ? 0 : it->second;
}

size_t PoolOutstandingTotal() {
    PoolState& state = State();
    std::lock_guard guard(state.lock);
    size_t total = 0;
    for (const auto& [tag, count] : state.outstanding) {
        total += count;
    }
    return total;
}

ScopedPoolFailure::ScopedPoolFailure(uint32_t tag, uint64_t skip, std::optional<uint64_t> count) {
    PoolState& state = State();
    std::lock_guard guard(state.lock);
    state.failure = FailureRule{true, tag, skip, count, 0};
}

ScopedPoolFailure::~ScopedPoolFailure() {
    PoolState& state = State();
    std::lock_guard guard(state.lock);
    state.failure = FailureRule{};
}

uint64_t ScopedPoolFailure::Failed() const {
    PoolState& state = State();
    std::lock_guard guard(state.lock);
    return state.failure.failed;
}

}  // namespace os
