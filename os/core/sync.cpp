#include "os/core/sync.h"

#include <atomic>

#include "os/core/dispatcher.h"
#include "os/core/process.h"
#include "os/core/status.h"

namespace os {

using detail::Dispatcher;

DispatcherObject::~DispatcherObject() = default;

void DispatcherObject::SignalLocked() {
    Dispatcher::Get().SignalLocked(*this);
}

namespace {

thread_local uint32_t tThreadId = 0;

uint32_t NextThreadId() {
    static std::atomic<uint32_t> next{4};
    return next.fetch_add(4);
}

}  // namespace

uint32_t CurrentThreadId() {
    if (tThreadId == 0) {
        tThreadId = NextThreadId();
    }
    return tThreadId;
}

// ---- Event ----

Event::Event(EventType type, bool initialState) : type_(type), signaled_(initialState) {}

Event::~Event() {
    if (sources_ != nullptr) {
        Dispatcher::Get().RemoveSources(*this);
    }
}

void Event::AddSource(int fd) {
    auto& dispatcher = Dispatcher::Get();
    std::lock_guard guard(dispatcher.Lock());
    dispatcher.AddSourceLocked(*this, fd);
}

bool Event::Set() {
    // Forwarded first: a waiter woken below may be the event's last owner and free it at once,
    // so nothing of the event is touched once the lock is let go.
    if (forwarder_) {
        forwarder_();
    }
    std::lock_guard guard(Dispatcher::Get().Lock());
    const bool previous = signaled_;
    signaled_ = true;
    SignalLocked();
    return previous;
}

bool Event::Reset() {
    auto& dispatcher = Dispatcher::Get();
    std::lock_guard guard(dispatcher.Lock());
    // A count already in a source was a set before this reset.
    dispatcher.DrainSourcesLocked(*this);
    bool previous = signaled_;
    signaled_ = false;
    return previous;
}

bool Event::IsSet() const {
    auto& dispatcher = Dispatcher::Get();
    std::lock_guard guard(dispatcher.Lock());
    dispatcher.DrainSourcesLocked(const_cast<Event&>(*this));
    return signaled_;
}

bool Event::IsSignaledFor(uint32_t) const {
    return signaled_;
}

void Event::Acquire(uint32_t) {
    if (type_ == EventType::Synchronization) {
        signaled_ = false;
    }
}

// ---- Timer ----

Timer::Timer(EventType type) : type_(type) {}

Timer::~Timer() {
    Cancel();
}

bool Timer::Set(int64_t dueTime, uint32_t periodMs) {
    auto& dispatcher = Dispatcher::Get();
    std::lock_guard guard(dispatcher.Lock());
    bool wasArmed = armed_ && dispatcher.RemoveTimerLocked(*this);
    Clock& clock = dispatcher.ActiveClock();
    uint64_t now = clock.InterruptTime();
    uint64_t due;
    if (dueTime < 0) {
        due = now + static_cast<uint64_t>(-dueTime);
    } else {
        uint64_t systemNow = clock.SystemTime();
        uint64_t target = static_cast<uint64_t>(dueTime);
        due = target > systemNow ? now + (target - systemNow) : now;
    }
    signaled_ = false;
    periodMs_ = periodMs;
    armed_ = true;
    dispatcher.AddDeadlineLocked(due, detail::DeadlineEntry{nullptr, this});
    // A due time already reached fires at once, as on Windows.
    if (due <= now) {
        dispatcher.FireDueLocked(now);
    }
    return wasArmed;
}

bool Timer::Cancel() {
    auto& dispatcher = Dispatcher::Get();
    std::lock_guard guard(dispatcher.Lock());
    bool wasArmed = armed_ && dispatcher.RemoveTimerLocked(*this);
    armed_ = false;
    return wasArmed;
}

bool Timer::IsSet() const {
    std::lock_guard guard(Dispatcher::Get().Lock());
    return signaled_;
}

bool Timer::IsSignaledFor(uint32_t) const {
    return signaled_;
}

void Timer::Acquire(uint32_t) {
    if (type_ == EventType::Synchronization) {
        signaled_ = false;
    }
}

// ---- Mutant ----

bool Mutant::Release() {
    std::lock_guard guard(Dispatcher::Get().Lock());
    if (count_ == 0 || owner_ != CurrentThreadId()) {
        return false;
    }
    if (--count_ == 0) {
        owner_ = 0;
        SignalLocked();
    }
    return true;
}

bool Mutant::IsOwnedByCaller() const {
    std::lock_guard guard(Dispatcher::Get().Lock());
    return count_ != 0 && owner_ == CurrentThreadId();
}

bool Mutant::IsSignaledFor(uint32_t threadId) const {
    return count_ == 0 || (threadId != 0 && owner_ == threadId);
}

void Mutant::Acquire(uint32_t threadId) {
    owner_ = threadId;
    ++count_;
}

// ---- Thread ----

Thread::Thread(std::string name, uint32_t id) : name_(std::move(name)), id_(id) {}

std::shared_ptr<Thread> Thread::Start(std::function<void()> routine, std::string name) {
    std::shared_ptr<Thread> thread(new Thread(std::move(name), NextThreadId()));
    auto& dispatcher = Dispatcher::Get();
    {
        // The new thread counts as running from now, so a settling clock waits for its first wait.
        std::lock_guard guard(dispatcher.Lock());
        dispatcher.ThreadStartedLocked();
    }
    // A thread belongs to the process that created it.
    uint32_t processId = CurrentProcessId();
    try {
        thread->thread_ = std::thread([thread, processId, routine = std::move(routine)]() mutable {
            detail::MarkOsThread();
            tThreadId = thread->id_;
            ScopedProcessContext process(processId);
            Run(std::move(thread), std::move(routine));
        });
    } catch (...) {
        // The thread never ran: it must not count as running, or no virtual clock could settle.
        std::lock_guard guard(dispatcher.Lock());
        dispatcher.ThreadEndedLocked();
        throw;
    }
    return thread;
}

void Thread::Run(std::shared_ptr<Thread> self, std::function<void()> routine) {
    routine();
    routine = nullptr;
    auto& dispatcher = Dispatcher::Get();
    {
        std::lock_guard guard(dispatcher.Lock());
        self->ended_ = true;
        self->SignalLocked();
        dispatcher.ThreadEndedLocked();
    }
}

Thread::~Thread() {
    std::lock_guard guard(joinLock_);
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    bool ended;
    {
        std::lock_guard dispatcherGuard(Dispatcher::Get().Lock());
        ended = ended_;
    }
    // A thread that has not ended is left to end on its own; nothing kills it.
    if (ended) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

void Thread::Join() {
    WaitForSingleObject(*this, INFINITE);
    std::lock_guard guard(joinLock_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

bool Thread::HasEnded() const {
    std::lock_guard guard(Dispatcher::Get().Lock());
    return ended_;
}

bool Thread::IsSignaledFor(uint32_t) const {
    return ended_;
}

// ---- Waits ----

uint32_t WaitForMultipleObjects(std::span<DispatcherObject* const> objects, bool waitAll,
                                uint32_t milliseconds) {
    if (milliseconds == INFINITE) {
        return Dispatcher::Get().Wait(objects, waitAll, nullptr);
    }
    uint64_t ticks = static_cast<uint64_t>(milliseconds) * kTicksPerMillisecond;
    return Dispatcher::Get().Wait(objects, waitAll, &ticks);
}

uint32_t WaitForSingleObject(DispatcherObject& object, uint32_t milliseconds) {
    DispatcherObject* objects[] = {&object};
    return WaitForMultipleObjects(objects, false, milliseconds);
}

int32_t KeWaitForMultipleObjects(std::span<DispatcherObject* const> objects, bool waitAll,
                                 const int64_t* timeout) {
    uint32_t result;
    if (timeout == nullptr) {
        result = Dispatcher::Get().Wait(objects, waitAll, nullptr);
    } else {
        uint64_t ticks;
        if (*timeout < 0) {
            ticks = static_cast<uint64_t>(-*timeout);
        } else {
            uint64_t now = QuerySystemTime();
            uint64_t target = static_cast<uint64_t>(*timeout);
            ticks = target > now ? target - now : 0;
        }
        result = Dispatcher::Get().Wait(objects, waitAll, &ticks);
    }
    if (result == WAIT_FAILED) {
        return STATUS_INVALID_PARAMETER;
    }
    return static_cast<int32_t>(result);
}

int32_t KeWaitForSingleObject(DispatcherObject& object, const int64_t* timeout) {
    DispatcherObject* objects[] = {&object};
    return KeWaitForMultipleObjects(objects, false, timeout);
}

void Sleep(uint32_t milliseconds) {
    Event never(EventType::Notification);
    WaitForSingleObject(never, milliseconds);
}

}  // namespace os
