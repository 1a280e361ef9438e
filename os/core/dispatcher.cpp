#include "os/core/dispatcher.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace os::detail {
namespace {

// How a thread blocks on the sources of the events it waits for: one epoll of its own with a
// kick descriptor (what wakes it for anything else) and every source it has waited on. A source
// is added edge-triggered and exclusive: a count wakes one of the threads that wait on it, never
// all of them, and a source whose event is gone (the descriptor closed here, its file still open
// in the process that writes it) costs at most a look on each count, never a busy loop.
class THREAD_POLLER {
  public:
    ~THREAD_POLLER() {
        if (epollFd_ >= 0) {
            close(epollFd_);
        }
        if (kickFd_ >= 0) {
            close(kickFd_);
        }
    }
    int EpollFd() const { return epollFd_; }
    int KickFd() const { return kickFd_; }

    // Watches every source of the wait's objects; false when the descriptors cannot be had.
    bool Watch(std::span<DispatcherObject* const> objects,
               const std::unordered_map<uint64_t, Event*>& sourced,
               EventSources* (*sourcesOf)(DispatcherObject&)) {
        if (epollFd_ < 0 && !Open()) {
            return false;
        }
        for (auto* object : objects) {
            EventSources* sources = sourcesOf(*object);
            if (sources == nullptr) {
                continue;
            }
            size_t& known = watched_[sources->id];
            for (; known < sources->fds.size(); ++known) {
                epoll_event in{};
                in.events = EPOLLIN | EPOLLET | EPOLLEXCLUSIVE;
                in.data.u64 = sources->id;
                if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, sources->fds[known], &in) != 0 &&
                    errno != EEXIST) {
                    return false;
                }
            }
        }
        // Events that are gone keep nothing here but their entry.
        if (watched_.size() > 64) {
            std::erase_if(watched_,
                          [&](const auto& entry) { return !sourced.contains(entry.first); });
        }
        return true;
    }

    void DrainKick() {
        uint64_t count;
        [[maybe_unused]] ssize_t n = read(kickFd_, &count, sizeof count);
    }

  private:
    bool Open() {
        kickFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epollFd_ = epoll_create1(EPOLL_CLOEXEC);
        epoll_event in{};
        in.events = EPOLLIN;
        in.data.u64 = 0;
        if (kickFd_ < 0 || epollFd_ < 0 || epoll_ctl(epollFd_, EPOLL_CTL_ADD, kickFd_, &in) != 0) {
            if (kickFd_ >= 0) {
                close(kickFd_);
            }
            if (epollFd_ >= 0) {
                close(epollFd_);
            }
            kickFd_ = epollFd_ = -1;
            return false;
        }
        return true;
    }

    int epollFd_ = -1;
    int kickFd_ = -1;
    // Source ids, and how many of each one's descriptors are in the epoll.
    std::unordered_map<uint64_t, size_t> watched_;
};

thread_local THREAD_POLLER tPoller;

// Waiters this thread completed under the dispatcher lock, woken as it lets the lock go. Plain
// storage, so that it is there for as long as the thread runs anything.
constexpr size_t kMaxPendingWakes = 16;
thread_local WAKER* tPendingWakes[kMaxPendingWakes];
thread_local size_t tPendingCount = 0;

// Wakers are never freed: a post that arrives after its waiter has gone (it saw its wait done
// before the post came) only wakes the waker's next owner once, who looks again and waits on.
struct WAKER_POOL {
    std::mutex lock;
    std::vector<WAKER*> free;
};
WAKER_POOL& Pool() {
    static WAKER_POOL* pool = new WAKER_POOL();
    return *pool;
}

struct THREAD_WAKER {
    WAKER* waker = nullptr;
    ~THREAD_WAKER() {
        if (waker != nullptr) {
            std::lock_guard guard(Pool().lock);
            Pool().free.push_back(waker);
            waker = nullptr;
        }
    }
};
thread_local THREAD_WAKER tWaker;

WAKER* ThreadWaker() {
    if (tWaker.waker == nullptr) {
        std::lock_guard guard(Pool().lock);
        if (Pool().free.empty()) {
            tWaker.waker = new WAKER();
        } else {
            tWaker.waker = Pool().free.back();
            Pool().free.pop_back();
        }
    }
    return tWaker.waker;
}

// How often a thread that cannot have descriptors of its own looks at the sources instead.
constexpr auto kSourceLookInterval = std::chrono::milliseconds(5);

class RealClock final : public Clock {
  public:
    uint64_t SystemTime() const override {
        auto since = std::chrono::system_clock::now().time_since_epoch();
        return kUnixEpochSystemTime +
               static_cast<uint64_t>(
                   std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
    }
    uint64_t InterruptTime() const override {
        auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
    }
    bool IsVirtual() const override { return false; }
};

RealClock& TheRealClock() {
    // Never destroyed: the detached timer thread may still read it while the process exits.
    static RealClock* clock = new RealClock();
    return *clock;
}

thread_local bool tIsOsThread = false;

}  // namespace

void WAKER::Post() {
    {
        std::lock_guard guard(lock_);
        posted_ = true;
    }
    // After the lock: the waiter does not wake only to wait for it. A waker is never freed, so a
    // waiter that left meanwhile leaves nothing behind to touch.
    cv_.notify_one();
}

void WAKER::Wait() {
    std::unique_lock guard(lock_);
    cv_.wait(guard, [&] { return posted_; });
    posted_ = false;
}

bool WAKER::WaitFor(std::chrono::milliseconds limit) {
    std::unique_lock guard(lock_);
    if (!cv_.wait_for(guard, limit, [&] { return posted_; })) {
        return false;
    }
    posted_ = false;
    return true;
}

void DispatcherLock::unlock() {
    mutex_.unlock();
    // Only this thread adds to its list, and posting takes no lock: the list is read as it is.
    for (size_t i = 0; i < tPendingCount; ++i) {
        tPendingWakes[i]->Post();
    }
    tPendingCount = 0;
}

bool IsOsThread() {
    return tIsOsThread;
}
void MarkOsThread() {
    tIsOsThread = true;
}

Dispatcher& Dispatcher::Get() {
    // Never destroyed: detached threads may still wait while the process exits.
    static Dispatcher* instance = new Dispatcher();
    return *instance;
}

Dispatcher::Dispatcher() : clock_(&TheRealClock()) {}

void Dispatcher::SwitchClock(Clock* clock) {
    std::lock_guard guard(lock_);
    if (clock == nullptr) {
        clock = &TheRealClock();
    }
    Clock* old = clock_.load();
    if (old == clock) {
        return;
    }
    uint64_t oldNow = old->InterruptTime();
    uint64_t newNow = clock->InterruptTime();
    DeadlineMap moved;
    for (auto& [when, entry] : deadlines_) {
        uint64_t remaining = when > oldNow ? when - oldNow : 0;
        auto it = moved.emplace(newNow + remaining, entry);
        if (entry.wait != nullptr) {
            entry.wait->deadline = it;
        }
    }
    deadlines_.swap(moved);
    clock_.store(clock, std::memory_order_release);
    timerWakeAt_ = 0;
    timerWake_.notify_all();
}

bool Dispatcher::TrySatisfyLocked(WaitContext& wait) {
    if (wait.waitAll) {
        for (auto* object : wait.objects) {
            if (!object->IsSignaledFor(wait.threadId)) {
                return false;
            }
        }
        for (auto* object : wait.objects) {
            object->Acquire(wait.threadId);
        }
        wait.result = WAIT_OBJECT_0;
        return true;
    }
    for (size_t i = 0; i < wait.objects.size(); ++i) {
        if (wait.objects[i]->IsSignaledFor(wait.threadId)) {
            wait.objects[i]->Acquire(wait.threadId);
            wait.result = WAIT_OBJECT_0 + static_cast<uint32_t>(i);
            return true;
        }
    }
    return false;
}

void Dispatcher::CompleteLocked(WaitContext& wait, uint32_t result, bool wake) {
    wait.done = true;
    wait.result = result;
    if (wait.hasDeadline) {
        deadlines_.erase(wait.deadline);
        wait.hasDeadline = false;
    }
    // The woken thread counts as running from now on, so a settling clock waits for it.
    if (wait.counted) {
        ++running_;
    }
    if (wake) {
        PokeLocked(wait);
    }
}

void Dispatcher::PokeLocked(WaitContext& wait) {
    if (wait.polling) {
        // Now, under the lock: the descriptor is the waiting thread's, and that thread may end
        // once the lock is free.
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wait.kickFd, &one, sizeof one);
    } else if (tPendingCount < kMaxPendingWakes) {
        tPendingWakes[tPendingCount++] = wait.waker;
    } else {
        wait.waker->Post();
    }
}

void Dispatcher::AddSourceLocked(Event& event, int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (event.sources_ == nullptr) {
        event.sources_ = new EventSources{nextSourceId_++, {}};
        sourced_.emplace(event.sources_->id, &event);
    }
    event.sources_->fds.push_back(fd);
    // Its waiters block on its descriptors from now on, this one included.
    for (auto* wait : event.waiters_) {
        if (!wait->done) {
            wait->rewait = true;
            PokeLocked(*wait);
        }
    }
}

void Dispatcher::RemoveSources(Event& event) {
    EventSources* sources;
    {
        std::lock_guard guard(lock_);
        sources = event.sources_;
        event.sources_ = nullptr;
        sourced_.erase(sources->id);
    }
    for (int fd : sources->fds) {
        close(fd);
    }
    delete sources;
}

bool Dispatcher::TakeCountsLocked(DispatcherObject& object) {
    if (object.sources_ == nullptr) {
        return false;
    }
    bool counted = false;
    for (int fd : object.sources_->fds) {
        uint64_t count = 0;
        if (read(fd, &count, sizeof count) == sizeof count && count != 0) {
            counted = true;
        }
    }
    if (counted) {
        // Only events have sources.
        static_cast<Event&>(object).signaled_ = true;
    }
    return counted;
}

void Dispatcher::DrainSourcesLocked(Event& event) {
    if (TakeCountsLocked(event)) {
        SignalLocked(event);
    }
}

void Dispatcher::DeliverCountsLocked(WaitContext& wait, DispatcherObject& object) {
    if (!wait.done && TrySatisfyLocked(wait)) {
        CompleteLocked(wait, wait.result, false);  // the waiter is this thread, awake
    }
    SignalLocked(object);
}

void Dispatcher::BlockOnSourcesLocked(std::unique_lock<DispatcherLock>& lock, WaitContext& wait) {
    THREAD_POLLER& poller = tPoller;
    wait.rewait = false;
    if (!poller.Watch(wait.objects, sourced_,
                      [](DispatcherObject& object) { return object.sources_; })) {
        // No descriptors of its own (the process is out of them): the thread looks at the
        // sources every few milliseconds instead, which is late but loses nothing.
        lock.unlock();
        wait.waker->WaitFor(kSourceLookInterval);
        lock.lock();
        for (auto* object : wait.objects) {
            if (TakeCountsLocked(*object)) {
                DeliverCountsLocked(wait, *object);
            }
        }
        return;
    }
    wait.kickFd = poller.KickFd();
    wait.polling = true;
    lock.unlock();
    epoll_event events[8];
    int n = epoll_wait(poller.EpollFd(), events, 8, -1);
    lock.lock();
    wait.polling = false;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == 0) {
            poller.DrainKick();
            continue;
        }
        // Possibly an event this thread waited on before and does not wait on now: its count
        // sets it all the same, for whoever waits on it.
        auto it = sourced_.find(events[i].data.u64);
        if (it != sourced_.end() && TakeCountsLocked(*it->second)) {
            DeliverCountsLocked(wait, *it->second);
        }
    }
}

void Dispatcher::SignalLocked(DispatcherObject& object) {
    // Copy: completing a wait does not unlink it, but a waiter may be satisfied by another object.
    auto waiters = object.waiters_;
    for (auto* wait : waiters) {
        if (wait->done) {
            continue;
        }
        if (TrySatisfyLocked(*wait)) {
            CompleteLocked(*wait, wait->result);
        }
    }
}

void Dispatcher::RemoveWaiterLocked(DispatcherObject& object, WaitContext* wait) {
    auto& list = object.waiters_;
    auto it = std::find(list.begin(), list.end(), wait);
    if (it != list.end()) {
        list.erase(it);
    }
}

uint32_t Dispatcher::Wait(std::span<DispatcherObject* const> objects, bool waitAll,
                          const uint64_t* relativeTicks) {
    if (objects.empty() || objects.size() > MAXIMUM_WAIT_OBJECTS) {
        return WAIT_FAILED;
    }
    for (auto* object : objects) {
        if (object == nullptr) {
            return WAIT_FAILED;
        }
    }
    WaitContext wait;
    wait.waker = ThreadWaker();
    wait.objects = objects;
    wait.waitAll = waitAll;
    wait.threadId = CurrentThreadId();
    wait.counted = IsOsThread();

    std::unique_lock lock(lock_);
    // Counts that came while nobody waited set their events now.
    bool sourced = false;
    DispatcherObject* counted[MAXIMUM_WAIT_OBJECTS];
    size_t countedCount = 0;
    for (auto* object : objects) {
        if (object->sources_ != nullptr) {
            sourced = true;
            if (TakeCountsLocked(*object)) {
                counted[countedCount++] = object;
            }
        }
    }
    const bool satisfied = TrySatisfyLocked(wait);
    for (size_t i = 0; i < countedCount; ++i) {
        SignalLocked(*counted[i]);  // what this wait did not take goes to the others
    }
    if (satisfied) {
        return wait.result;
    }
    if (relativeTicks != nullptr && *relativeTicks == 0) {
        return WAIT_TIMEOUT;
    }
    for (auto* object : objects) {
        object->waiters_.push_back(&wait);
    }
    if (relativeTicks != nullptr) {
        uint64_t due = ActiveClock().InterruptTime() + *relativeTicks;
        wait.deadline = AddDeadlineLocked(due, DeadlineEntry{&wait, nullptr});
        wait.hasDeadline = true;
    }
    if (wait.counted && --running_ == 0) {
        quiescent_.notify_all();
    }
    while (!wait.done) {
        if (sourced) {
            BlockOnSourcesLocked(lock, wait);
            continue;
        }
        lock.unlock();
        wait.waker->Wait();
        lock.lock();
        if (!wait.rewait) {
            continue;  // done, or a post meant for an earlier wait of this thread's waker
        }
        wait.rewait = false;
        sourced = std::any_of(objects.begin(), objects.end(),
                              [](DispatcherObject* object) { return object->sources_ != nullptr; });
    }
    for (auto* object : objects) {
        RemoveWaiterLocked(*object, &wait);
    }
    return wait.result;
}

DeadlineMap::iterator Dispatcher::AddDeadlineLocked(uint64_t interruptTime, DeadlineEntry entry) {
    auto it = deadlines_.emplace(interruptTime, entry);
    EnsureTimerThreadLocked();
    if (interruptTime < timerWakeAt_) {
        timerWakeAt_ = 0;  // it looks again before it waits again
        timerWake_.notify_all();
    }
    return it;
}

void Dispatcher::RemoveDeadlineLocked(DeadlineMap::iterator it) {
    deadlines_.erase(it);
}

bool Dispatcher::RemoveTimerLocked(Timer& timer) {
    for (auto it = deadlines_.begin(); it != deadlines_.end(); ++it) {
        if (it->second.timer == &timer) {
            deadlines_.erase(it);
            return true;
        }
    }
    return false;
}

uint64_t Dispatcher::EarliestDeadlineLocked() const {
    return deadlines_.empty() ? 0 : deadlines_.begin()->first;
}

void Dispatcher::FireDueLocked(uint64_t now) {
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        auto it = deadlines_.begin();
        uint64_t when = it->first;
        DeadlineEntry entry = it->second;
        if (entry.wait != nullptr) {
            entry.wait->hasDeadline = false;
            deadlines_.erase(it);
            if (!entry.wait->done) {
                CompleteLocked(*entry.wait, WAIT_TIMEOUT);
            }
            continue;
        }
        Timer* timer = entry.timer;
        deadlines_.erase(it);
        timer->armed_ = false;
        timer->signaled_ = true;
        if (timer->periodMs_ != 0) {
            uint64_t next = when + timer->periodMs_ * kTicksPerMillisecond;
            deadlines_.emplace(next, DeadlineEntry{nullptr, timer});
            timer->armed_ = true;
        }
        SignalLocked(*timer);
    }
}

void Dispatcher::ThreadStartedLocked() {
    ++running_;
}

void Dispatcher::ThreadEndedLocked() {
    if (--running_ == 0) {
        quiescent_.notify_all();
    }
}

bool Dispatcher::WaitQuiescent(std::unique_lock<DispatcherLock>& lock,
                               std::chrono::milliseconds realLimit) {
    int self = IsOsThread() ? 1 : 0;
    return quiescent_.wait_for(lock, realLimit, [&] { return running_ <= self; });
}

void Dispatcher::EnsureTimerThreadLocked() {
    if (timerThreadStarted_) {
        return;
    }
    timerThreadStarted_ = true;
    std::thread([this] { TimerThreadMain(); }).detach();
}

void Dispatcher::TimerThreadMain() {
    std::unique_lock lock(lock_);
    for (;;) {
        Clock& clock = ActiveClock();
        if (clock.IsVirtual() || deadlines_.empty()) {
            timerWakeAt_ = UINT64_MAX;
            timerWake_.wait(lock);
            timerWakeAt_ = 0;
            continue;
        }
        uint64_t now = clock.InterruptTime();
        uint64_t due = deadlines_.begin()->first;
        if (due <= now) {
            FireDueLocked(now);
            continue;
        }
        auto at = std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::nanoseconds(due * 100)));
        // Deadlines removed since (waits that ended) leave this wake in place: it only looks
        // again, once.
        timerWakeAt_ = due;
        timerWake_.wait_until(lock, at);
        timerWakeAt_ = 0;
    }
}

}  // namespace os::detail
