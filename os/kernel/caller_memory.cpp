#include "os/kernel/caller_memory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>

namespace os {
namespace {

std::atomic<int> gCommitFailures{0};

constexpr uint64_t kPageSize = 4096;

// One process_vm_* call; the kernel reports EFAULT instead of faulting on a bad range.
bool Copy(bool toCaller, uint64_t address, void* local, size_t length) {
    if (length == 0) {
        return true;
    }
    iovec mine{local, length};
    iovec theirs{reinterpret_cast<void*>(address), length};
    ssize_t done = toCaller ? process_vm_writev(getpid(), &mine, 1, &theirs, 1, 0)
                            : process_vm_readv(getpid(), &mine, 1, &theirs, 1, 0);
    return done == static_cast<ssize_t>(length);
}

constexpr size_t kRewriteBatch = 16;

// One byte of each page, copied onto itself through the caller's address space: the kernel takes
// the caller's pages for writing, so a page that is only readable fails the copy with EFAULT, and
// a writable one keeps its bytes. The driver writes these ranges next; a caller must not change
// them meanwhile, as with any buffer handed to a request.
bool RewriteInPlace(const uint64_t* addresses, size_t count) {
    iovec ranges[kRewriteBatch];
    for (size_t i = 0; i < count; ++i) {
        ranges[i] = iovec{reinterpret_cast<void*>(addresses[i]), 1};
    }
    return count == 0 || process_vm_writev(getpid(), ranges, count, ranges, count, 0) ==
                             static_cast<ssize_t>(count);
}

}  // namespace

// A range is mapped when one byte of each of its pages can be read.
bool CallerMemory::IsMapped(uint64_t address, size_t length) const {
    uint8_t byte;
    uint64_t last = address + length - 1;
    for (uint64_t page = address & ~(kPageSize - 1); page <= last; page += kPageSize) {
        if (std::find(std::begin(knownPages_), std::end(knownPages_), page) !=
            std::end(knownPages_)) {
            continue;
        }
        uint64_t probe = page < address ? address : page;
        if (!Copy(false, probe, &byte, 1)) {
            return false;
        }
        knownPages_[nextKnown_++ % std::size(knownPages_)] = page;
    }
    return true;
}

bool CallerMemory::IsWritable(uint64_t address, size_t length) const {
    uint64_t pending[kRewriteBatch] = {};
    uint64_t pendingPages[kRewriteBatch] = {};
    size_t count = 0;
    auto flush = [&] {
        if (!RewriteInPlace(pending, count)) {
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

CallerMemory::CallerMemory(std::shared_ptr<PROCESS> process) : process_(std::move(process)) {}

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
    return RangeIsPlausible(address, length, 1) && Copy(false, address, destination, length);
}

bool CallerMemory::Write(uint64_t address, const void* source, size_t length) const {
    if (length == 0) {
        return true;
    }
    return RangeIsPlausible(address, length, 1) &&
           Copy(true, address, const_cast<void*>(source), length);
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
    return process_vm_writev(getpid(), mine, count, theirs, count, 0) == expected;
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
