// The machinery under os/sync and os/clock: one lock over every waitable object, the list of
// pending deadlines (wait time-outs and timers), the count of os/ threads that are running rather
// than blocked (what the virtual clock settles on), and the real clock's timer thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "os/core/clock.h"
#include "os/core/sync.h"

namespace os::detail {

struct DeadlineEntry {
    WaitContext* wait = nullptr;  // a wait's time-out, or
    Timer* timer = nullptr;       // a timer's expiry
};

using DeadlineMap = std::multimap<uint64_t, DeadlineEntry>;

struct WaitContext {
    std::condition_variable cv;
    std::span<DispatcherObject* const> objects;
    bool waitAll = false;
    uint32_t threadId = 0;
    bool counted = false;  // an os/ thread: its blocking counts for settling
    bool done = false;
    uint32_t result = WAIT_TIMEOUT;
    bool hasDeadline = false;
    DeadlineMap::iterator deadline;
};

class Dispatcher {
  public:
    static Dispatcher& Get();

    std::mutex& Lock() { return lock_; }
    Clock& ActiveClock() { return *clock_.load(std::memory_order_acquire); }
    // Installs a clock, moving pending deadlines so they keep their remaining time.
    void SwitchClock(Clock* clock);

    uint32_t Wait(std::span<DispatcherObject* const> objects, bool waitAll,
                  const uint64_t* relativeTicks);
    void SignalLocked(DispatcherObject& object);
    void RemoveWaiterLocked(DispatcherObject& object, WaitContext* wait);

    DeadlineMap::iterator AddDeadlineLocked(uint64_t interruptTime, DeadlineEntry entry);
    void RemoveDeadlineLocked(DeadlineMap::iterator it);
    bool RemoveTimerLocked(Timer& timer);
    // Fires every deadline at or before now, in order (lock held).
    void FireDueLocked(uint64_t now);
    uint64_t EarliestDeadlineLocked() const;

    // Accounting of os/ threads for settling.
    void ThreadStartedLocked();
    void ThreadEndedLocked();
    bool WaitQuiescent(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds realLimit);

  private:
    Dispatcher();
    bool TrySatisfyLocked(WaitContext& wait);
    void CompleteLocked(WaitContext& wait, uint32_t result);
    void EnsureTimerThreadLocked();
    void TimerThreadMain();

    std::mutex lock_;
    std::atomic<Clock*> clock_;
    DeadlineMap deadlines_;
    int running_ = 0;  // os/ threads not blocked in a wait
    std::condition_variable quiescent_;
    std::condition_variable timerWake_;
    bool timerThreadStarted_ = false;
    // When the timer thread wakes by itself (its earliest deadline as it last looked; UINT64_MAX
    // while it waits for one; 0 while it is about to look). A deadline at or after that needs no
    // wake: a wait with a time-out on every call would otherwise wake it on every call.
    uint64_t timerWakeAt_ = 0;
};

// Thread-local facts about the calling thread.
bool IsOsThread();
void MarkOsThread();

}  // namespace os::detail
