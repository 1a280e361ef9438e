// The machinery under os/sync and os/clock: one lock over every waitable object, the list of
// pending deadlines (wait time-outs and timers), the count of os/ threads that are running rather
// than blocked (what the virtual clock settles on), and the real clock's timer thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "os/core/clock.h"
#include "os/core/sync.h"

namespace os::detail {

struct DeadlineEntry {
    WaitContext* wait = nullptr;  // a wait's time-out, or
    Timer* timer = nullptr;       // a timer's expiry
};

using DeadlineMap = std::multimap<uint64_t, DeadlineEntry>;

// What a blocked waiter sleeps on: one per thread, taken from a pool that never frees them.
// A plain mutex and condition variable, so that sanitizers and signal delivery see the thread
// blocked as they see it in any other wait.
class WAKER {
  public:
    void Post();
    void Wait();
    // False when the time ran out first.
    bool WaitFor(std::chrono::milliseconds limit);

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    bool posted_ = false;
};

// The dispatcher's lock. A waiter completed under it is woken once the lock is let go, not
// before: woken while it is still held, the waiter would only block on the lock again, one more
// switch there and back on every wake.
class DispatcherLock {
  public:
    void lock() { mutex_.lock(); }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock();

  private:
    std::mutex mutex_;
};

struct WaitContext {
    WAKER* waker = nullptr;
    std::span<DispatcherObject* const> objects;
    bool waitAll = false;
    uint32_t threadId = 0;
    bool counted = false;  // an os/ thread: its blocking counts for settling
    bool done = false;
    uint32_t result = WAIT_TIMEOUT;
    bool hasDeadline = false;
    DeadlineMap::iterator deadline;
    // Blocked on the sources of its objects rather than on `waker`: woken by a count on `kickFd`.
    bool polling = false;
    int kickFd = -1;
    // An object of the wait got a source: the waiter looks at how to block again.
    bool rewait = false;
};

// An event's descriptors (Event::AddSource), under the dispatcher lock.
struct EventSources {
    uint64_t id = 0;  // what a waiting thread's epoll reports for them
    std::vector<int> fds;
};

class Dispatcher {
  public:
    static Dispatcher& Get();

    DispatcherLock& Lock() { return lock_; }
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

    // Sources of events (Event::AddSource). The drain reads what the descriptors hold and sets
    // the event when they held a count, waking its waiters.
    void AddSourceLocked(Event& event, int fd);
    void RemoveSources(Event& event);
    void DrainSourcesLocked(Event& event);

    // Accounting of os/ threads for settling.
    void ThreadStartedLocked();
    void ThreadEndedLocked();
    bool WaitQuiescent(std::unique_lock<DispatcherLock>& lock, std::chrono::milliseconds realLimit);

  private:
    Dispatcher();
    bool TrySatisfyLocked(WaitContext& wait);
    void CompleteLocked(WaitContext& wait, uint32_t result, bool wake = true);
    // Wakes a blocked waiter, however it blocks.
    void PokeLocked(WaitContext& wait);
    // True when the object had sources and they held a count: it is set, nobody woken yet.
    bool TakeCountsLocked(DispatcherObject& object);
    // A count this waiter read sets its object: the waiter itself takes it first (it is awake),
    // then whoever else it satisfies.
    void DeliverCountsLocked(WaitContext& wait, DispatcherObject& object);
    // Blocks until `wait` may have changed, on the sources of its objects and the thread's own
    // kick descriptor.
    void BlockOnSourcesLocked(std::unique_lock<DispatcherLock>& lock, WaitContext& wait);
    void EnsureTimerThreadLocked();
    void TimerThreadMain();

    DispatcherLock lock_;
    std::atomic<Clock*> clock_;
    DeadlineMap deadlines_;
    int running_ = 0;  // os/ threads not blocked in a wait
    std::condition_variable_any quiescent_;
    std::condition_variable_any timerWake_;
    bool timerThreadStarted_ = false;
    // When the timer thread wakes by itself (its earliest deadline as it last looked; UINT64_MAX
    // while it waits for one; 0 while it is about to look). A deadline at or after that needs no
    // wake: a wait with a time-out on every call would otherwise wake it on every call.
    uint64_t timerWakeAt_ = 0;
    // Events with sources, by the id their descriptors carry in the waiting threads' epolls.
    std::unordered_map<uint64_t, Event*> sourced_;
    uint64_t nextSourceId_ = 1;
};

// Thread-local facts about the calling thread.
bool IsOsThread();
void MarkOsThread();

}  // namespace os::detail
