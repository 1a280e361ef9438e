// The driver's system threads: one record per thread with its stop event, started and stopped in
// groups. A thread is never killed; a stop that runs out of time leaves the thread to end on its
// own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "os/core/status.h"
#include "os/core/sync.h"

namespace wexo::drv {

struct SystemThread;
using SystemThreadRoutine = void (*)(SystemThread* record);

struct SystemThread {
    std::shared_ptr<os::Thread> thread;
    // The caller's event (shared by several threads or doubling as a work signal), or ownEvent.
    os::Event* stopEvent = nullptr;
    uintptr_t context = 0;
    os::Event ownEvent{os::EventType::Synchronization, false};
    uint32_t threadId = 0;
    // Thread loops end when they find it set after a wake-up.
    std::atomic<bool> stopRequested{false};
};

// Creates the thread; on failure the record's thread and stop event are cleared.
os::NTSTATUS SystemThreadStart(SystemThread* record, os::Event* stopEvent,
                               SystemThreadRoutine routine, uintptr_t context);
// Signals the shared stop event, or each record's own, then waits for the threads in batches of at
// most 64, each batch for at most timeoutSeconds. Returns true when every thread ended in time.
bool SystemThreadStopAll(os::Event* sharedStopEvent, SystemThread* first, SystemThread* end,
                         uint32_t timeoutSeconds);
// Sleeps on the record's stop event; returns true when woken by it.
bool SystemThreadWait(SystemThread* record, uint32_t milliseconds);

// Makes the next thread creations fail, for the start-up failure paths.
class ScopedSystemThreadFailure {
  public:
    explicit ScopedSystemThreadFailure(int failures = 1, int skip = 0);
    ~ScopedSystemThreadFailure();
    ScopedSystemThreadFailure(const ScopedSystemThreadFailure&) = delete;
    ScopedSystemThreadFailure& operator=(const ScopedSystemThreadFailure&) = delete;
};

}  // namespace wexo::drv
