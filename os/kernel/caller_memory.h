// The caller's memory as a driver sees it on a METHOD_NEITHER request: the driver gets the caller's
// own addresses and must probe, read and write them without trusting them, and may commit a region
// in the caller. Accesses go through the kernel's cross-address-space copy, so a bad address fails
// cleanly instead of crashing the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "os/core/process.h"

namespace os {

// User addresses end here (MmUserProbeAddress on x64).
constexpr uint64_t kUserProbeAddress = 0x7FFFFFFF0000ull;

class CallerMemory {
  public:
    explicit CallerMemory(std::shared_ptr<PROCESS> process);

    // ProbeForRead/ProbeForWrite: a zero length always passes; otherwise the range must be aligned,
    // must not wrap or reach past user space, and must be mapped: readable for ProbeForRead,
    // writable for ProbeForWrite (a read-only page fails it). Probing leaves the bytes as they are;
    // a range of many pages is judged by the caller's mappings and none of its pages is touched.
    bool ProbeForRead(uint64_t address, size_t length, size_t alignment = 1) const;
    bool ProbeForWrite(uint64_t address, size_t length, size_t alignment = 1) const;
    // Each fails (returns false, copies nothing useful) when the range is not accessible.
    bool Read(uint64_t address, void* destination, size_t length) const;
    bool Write(uint64_t address, const void* source, size_t length) const;
    template <typename T>
    bool ReadValue(uint64_t address, T* value) const {
        return Read(address, value, sizeof(T));
    }
    template <typename T>
    bool WriteValue(uint64_t address, const T& value) const {
        return Write(address, &value, sizeof(T));
    }
    // Several writes in one copy; false when any of them cannot be made (earlier ones may have
    // been).
    struct WRITE {
        uint64_t address;
        const void* source;
        size_t length;
    };
    bool WriteAll(std::span<const WRITE> writes) const;
    // Commits read-write memory in the caller (ZwAllocateVirtualMemory); 0 when it cannot.
    uint64_t Commit(size_t size) const;
    PROCESS& Process() const { return *process_; }

  private:
    bool RangeIsPlausible(uint64_t address, size_t length, size_t alignment) const;
    bool IsMapped(uint64_t address, size_t length) const;
    bool IsWritable(uint64_t address, size_t length) const;
    std::shared_ptr<PROCESS> process_;
    int pid_;
    // Pages this request has already found mapped: the small variables of one request usually
    // share a page, and each check is a system call.
    mutable uint64_t knownPages_[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    mutable size_t nextKnown_ = 0;
    // Pages found writable, kept apart: a readable page may still refuse writes.
    mutable uint64_t knownWritable_[4] = {~0ull, ~0ull, ~0ull, ~0ull};
    mutable size_t nextWritable_ = 0;
};

// Fails commits in the caller while it lives, for the driver's "cannot allocate" paths.
class ScopedCommitFailure {
  public:
    ScopedCommitFailure();
    ~ScopedCommitFailure();
    ScopedCommitFailure(const ScopedCommitFailure&) = delete;
    ScopedCommitFailure& operator=(const ScopedCommitFailure&) = delete;
};

}  // namespace os
