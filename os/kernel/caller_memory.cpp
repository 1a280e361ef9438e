#include "os/kernel/caller_memory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace os {
namespace {

std::atomic<int> gCommitFailures{0};

constexpr uint64_t kPageSize = 4096;

// One process_vm_* call; the kernel reports EFAULT instead of faulting on a bad range.
bool Copy(pid_t pid, bool toCaller, uint64_t address, void* local, size_t length) {
    if (length == 0) {
        return true;
    }
    if (pid <= 0) {
        return false;
    }
    iovec mine{local, length};
    iovec theirs{reinterpret_cast<void*>(address), length};
    ssize_t done = toCaller ? process_vm_writev(pid, &mine, 1, &theirs, 1, 0)
                            : process_vm_readv(pid, &mine, 1, &theirs, 1, 0);
    return done == static_cast<ssize_t>(length);
}

constexpr size_t kRewriteBatch = 16;

// One byte of each page, read and written back through the caller's address space: the kernel
// takes the caller's pages for writing, so a page that is only readable fails the write with
// EFAULT, and a writable one keeps its bytes. The bytes pass through a buffer of ours, because the
// caller may be another process. The driver writes these ranges next; a caller must not change
// them meanwhile, as with any buffer handed to a request.
bool RewriteInPlace(pid_t pid, const uint64_t* addresses, size_t count) {
    if (count == 0) {
        return true;
    }
    if (pid <= 0) {
        return false;
    }
    uint8_t bytes[kRewriteBatch];
    iovec mine[kRewriteBatch];
    iovec theirs[kRewriteBatch];
    for (size_t i = 0; i < count; ++i) {
        mine[i] = iovec{&bytes[i], 1};
        theirs[i] = iovec{reinterpret_cast<void*>(addresses[i]), 1};
    }
    const auto expected = static_cast<ssize_t>(count);
    return process_vm_readv(pid, mine, count, theirs, count, 0) == expected &&
           process_vm_writev(pid, mine, count, theirs, count, 0) == expected;
}

// Longer ranges are checked against the caller's mappings as the kernel lists them, not page by
// page: a caller may name gigabytes of address space it reserved and never touched, and a system
// call for each page (with a page made writable for each in a write probe) would keep the request
// busy for seconds and fill the caller's memory. The accesses that follow a probe fail cleanly
// either way, so the list is as good a check as the touch.
constexpr uint64_t kMostPagesTouched = 64;

bool TooLongToTouch(uint64_t address, size_t length) {
    return (address + length - 1) / kPageSize - address / kPageSize >= kMostPagesTouched;
}

// Whether the mappings of `pid` cover [address, address + length) without a hole, each readable,
// and writable too when `writable` is asked for.
bool CoveredByMappings(pid_t pid, uint64_t address, uint64_t length, bool writable) {
    if (pid <= 0) {
        return false;
    }
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/maps", static_cast<int>(pid));
    FILE* maps = std::fopen(path, "re");
    if (maps == nullptr) {
        return false;
    }
    const uint64_t end = address + length;
    uint64_t covered = address;
    char* line = nullptr;
    size_t capacity = 0;
    // The list is in address order.
    while (covered < end && getline(&line, &capacity, maps) > 0) {
        unsigned long long low = 0;
        unsigned long long high = 0;
        char permissions[5] = {};
        if (std::sscanf(line, "%llx-%llx %4s", &low, &high, permissions) != 3 || high <= covered) {
            continue;
        }
        if (low > covered || permissions[0] != 'r' || (writable && permissions[1] != 'w')) {
            break;
        }
        covered = high;
    }
    std::free(line);
    std::fclose(maps);
    return covered >= end;
}

}  // namespace

// A range is mapped when one byte of each of its pages can be read.
bool CallerMemory::IsMapped(uint64_t address, size_t length) const {
    if (TooLongToTouch(address, length)) {
        return CoveredByMappings(pid_, address, length, false);
    }
    uint8_t byte;
    uint64_t last = address + length - 1;
    for (uint64_t page = address & ~(kPageSize - 1); page <= last; page += kPageSize) {
        if (std::find(std::begin(knownPages_), std::end(knownPages_), page) !=
            std::end(knownPages_)) {
            continue;
        }
        uint64_t probe = page < address ? address : page;
        if (!Copy(pid_, false, probe, &byte, 1)) {
            return false;
        }
        knownPages_[nextKnown_++ % std::size(knownPages_)] = page;
    }
    return true;
}

bool CallerMemory::IsWritable(uint64_t address, size_t length) const {
    if (TooLongToTouch(address, length)) {
        return CoveredByMappings(pid_, address, length, true);
    }
    uint64_t pending[kRewriteBatch] = {};
    uint64_t pendingPages[kRewriteBatch] = {};
    size_t count = 0;
    auto flush = [&] {
        if (!RewriteInPlace(pid_, pending, count)) {
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            knownWritable_[nextWritable_++ % std::size(knownWritable_)] = pendingPages[i];
        }
        count = 0;
        return true;
    };
    uint64_t last = address + length - 1;
    for (uint64_t page = address & ~(kPageSize - 1); page <= last; page += kPageSize) {
        if (std::find(std::begin(knownWritable_), std::end(knownWritable_), page) !=
            std::end(knownWritable_)) {
            continue;
        }
        pending[count] = page < address ? address : page;
        pendingPages[count] = page;
        if (++count == kRewriteBatch && !flush()) {
            return false;
        }
    }
    return flush();
}

CallerMemory::CallerMemory(std::shared_ptr<PROCESS> process)
    : process_(std::move(process)),
      // A caller in another real process is reached through its pid, so a forged address can
      // only ever name that process's memory, never the driver's own.
      pid_(process_->Remote() != nullptr ? process_->Remote()->MemoryPid() : getpid()) {}

bool CallerMemory::RangeIsPlausible(uint64_t address, size_t length, size_t alignment) const {
    if (alignment > 1 && address % alignment != 0) {
        return false;
    }
    uint64_t end = address + length;
    return end >= address && end <= kUserProbeAddress && address != 0;
}

bool CallerMemory::ProbeForRead(uint64_t address, size_t length, size_t alignment) const {
    if (length == 0) {
        return true;
    }
    return RangeIsPlausible(address, length, alignment) && IsMapped(address, length);
}

bool CallerMemory::ProbeForWrite(uint64_t address, size_t length, size_t alignment) const {
    if (length == 0) {
        return true;
    }
    return RangeIsPlausible(address, length, alignment) && IsWritable(address, length);
}

bool CallerMemory::Read(uint64_t address, void* destination, size_t length) const {
    if (length == 0) {
        return true;
    }
    return RangeIsPlausible(address, length, 1) && Copy(pid_, false, address, destination, length);
}

bool CallerMemory::Write(uint64_t address, const void* source, size_t length) const {
    if (length == 0) {
        return true;
    }
    return RangeIsPlausible(address, length, 1) &&
           Copy(pid_, true, address, const_cast<void*>(source), length);
}

bool CallerMemory::WriteAll(std::span<const WRITE> writes) const {
    constexpr size_t kBatch = 16;
    iovec mine[kBatch];
    iovec theirs[kBatch];
    size_t count = 0;
    ssize_t expected = 0;
    for (const WRITE& w : writes) {
        if (w.length == 0) {
            continue;
        }
        if (!RangeIsPlausible(w.address, w.length, 1) || count == kBatch) {
            return false;
        }
        mine[count] = iovec{const_cast<void*>(w.source), w.length};
        theirs[count] = iovec{reinterpret_cast<void*>(w.address), w.length};
        expected += static_cast<ssize_t>(w.length);
        ++count;
    }
    if (count == 0) {
        return true;
    }
    return pid_ > 0 && process_vm_writev(pid_, mine, count, theirs, count, 0) == expected;
}

uint64_t CallerMemory::Commit(size_t size) const {
    if (gCommitFailures.load() > 0) {
        return 0;
    }
    return process_->CommitRegion(size);
}

ScopedCommitFailure::ScopedCommitFailure() {
    ++gCommitFailures;
}
ScopedCommitFailure::~ScopedCommitFailure() {
    --gCommitFailures;
}

}  // namespace os
