#include "os/core/dispatcher.h"

#include <algorithm>
#include <thread>

namespace os::detail {
namespace {

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

void Dispatcher::CompleteLocked(WaitContext& wait, uint32_t result) {
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
    wait.cv.notify_one();
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
    wait.objects = objects;
    wait.waitAll = waitAll;
    wait.threadId = CurrentThreadId();
    wait.counted = IsOsThread();

    std::unique_lock lock(lock_);
    if (TrySatisfyLocked(wait)) {
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
    wait.cv.wait(lock, [&] { return wait.done; });
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

bool Dispatcher::WaitQuiescent(std::unique_lock<std::mutex>& lock,
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
