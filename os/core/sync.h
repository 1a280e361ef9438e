// Waitable objects with Windows semantics (events, waitable timers, mutexes, threads), waits on one
// or many of them with time-outs, and the plain locks the Parts name. Every timed wait follows the
// active clock (os/clock.h), so tests move time instead of sleeping.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace os {

constexpr uint32_t INFINITE = 0xFFFFFFFF;
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_ABANDONED_0 = 0x80;
constexpr uint32_t WAIT_TIMEOUT = 0x102;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
constexpr size_t MAXIMUM_WAIT_OBJECTS = 64;

namespace detail {
struct WaitContext;
struct EventSources;
class Dispatcher;
}  // namespace detail

// Anything a thread can wait on. State changes happen under one process-wide dispatcher lock, which
// keeps multi-object waits exact (wait-all takes all objects at once or none).
class DispatcherObject {
  public:
    DispatcherObject() = default;
    DispatcherObject(const DispatcherObject&) = delete;
    DispatcherObject& operator=(const DispatcherObject&) = delete;
    virtual ~DispatcherObject();

  protected:
    friend class detail::Dispatcher;
    // Both run under the dispatcher lock.
    virtual bool IsSignaledFor(uint32_t threadId) const = 0;
    virtual void Acquire(uint32_t threadId) = 0;
    // Wakes the waiters that this object's new state satisfies (dispatcher lock held).
    void SignalLocked();

    // The descriptors that set the object from another process (an Event's sources); null for
    // nearly every object. Under the dispatcher lock.
    detail::EventSources* sources_ = nullptr;

  private:
    std::vector<detail::WaitContext*> waiters_;
};

enum class EventType {
    Notification,     // manual reset: stays signalled until reset
    Synchronization,  // auto reset: releases one waiter, then resets
};

class Event final : public DispatcherObject {
  public:
    explicit Event(EventType type = EventType::Synchronization, bool initialState = false);
    ~Event() override;
    // Both return the previous state, as KeSetEvent and KeResetEvent do.
    bool Set();
    bool Reset();
    bool IsSet() const;
    EventType Type() const { return type_; }
    // Called after every Set, outside the dispatcher's lock: a stand-in for another process's
    // event passes its signals on. Set before the event is shared.
    void SetForwarder(std::function<void()> forwarder) { forwarder_ = std::move(forwarder); }
    // A descriptor whose counts set the event: an eventfd another process writes (an event of
    // this process that the driver host holds through the device bridge). The event owns it from
    // now on. A thread that waits on the event waits on the descriptor itself, so a count wakes
    // one waiter (never all of them), which takes the event at once.
    void AddSource(int fd);

  private:
    friend class detail::Dispatcher;
    bool IsSignaledFor(uint32_t threadId) const override;
    void Acquire(uint32_t threadId) override;
    const EventType type_;
    bool signaled_;
    std::function<void()> forwarder_;
};

// A waitable timer. Due times use the Windows convention: negative is relative in 100 ns units,
// positive is an absolute system time. A period in milliseconds re-arms it after each expiry.
class Timer final : public DispatcherObject {
  public:
    explicit Timer(EventType type = EventType::Notification);
    ~Timer() override;
    // Returns whether the timer was armed before (KeSetTimerEx).
    bool Set(int64_t dueTime, uint32_t periodMs = 0);
    bool SetRelativeMs(uint64_t ms, uint32_t periodMs = 0) {
        return Set(-static_cast<int64_t>(ms * 10'000), periodMs);
    }
    // Returns whether the timer was armed.
    bool Cancel();
    bool IsSet() const;

  private:
    friend class detail::Dispatcher;
    bool IsSignaledFor(uint32_t threadId) const override;
    void Acquire(uint32_t threadId) override;
    const EventType type_;
    bool signaled_ = false;
    uint32_t periodMs_ = 0;
    bool armed_ = false;  // has a pending deadline in the dispatcher
};

// A recursive mutex that can be waited on together with other objects (KMUTEX / CreateMutex), so
// that a thread can give up waiting for it when its stop event is set.
class Mutant final : public DispatcherObject {
  public:
    Mutant() = default;
    // Returns false when the caller does not own it.
    bool Release();
    bool IsOwnedByCaller() const;

  private:
    bool IsSignaledFor(uint32_t threadId) const override;
    void Acquire(uint32_t threadId) override;
    uint32_t owner_ = 0;
    uint32_t count_ = 0;
};

// A thread whose object is signalled when its routine returns. Threads of os/ count for the virtual
// clock's settling. There is no way to kill one: a thread that overruns is left to end on its own.
class Thread final : public DispatcherObject {
  public:
    static std::shared_ptr<Thread> Start(std::function<void()> routine, std::string name = {});
    ~Thread() override;

    uint32_t Id() const { return id_; }
    const std::string& Name() const { return name_; }
    bool HasEnded() const;
    // Waits for the routine to return and for the system thread to be gone, so that nothing of the
    // thread outlives the call. Not from the thread itself.
    void Join();

  private:
    Thread(std::string name, uint32_t id);
    bool IsSignaledFor(uint32_t threadId) const override;
    void Acquire(uint32_t) override {}
    static void Run(std::shared_ptr<Thread> self, std::function<void()> routine);

    std::string name_;
    uint32_t id_;
    bool ended_ = false;
    std::mutex joinLock_;
    std::thread thread_;
};

// The Windows-style id of the calling thread (multiples of 4, never 0).
uint32_t CurrentThreadId();

// Waits; the result is WAIT_OBJECT_0 + index, WAIT_TIMEOUT or WAIT_FAILED (bad arguments).
uint32_t WaitForSingleObject(DispatcherObject& object, uint32_t milliseconds);
uint32_t WaitForMultipleObjects(std::span<DispatcherObject* const> objects, bool waitAll,
                                uint32_t milliseconds);
// Kernel form: timeout null = forever, negative = relative 100 ns units, positive = absolute
// system time (KeWaitForMultipleObjects). Returns STATUS_WAIT_0 + index or STATUS_TIMEOUT.
int32_t KeWaitForMultipleObjects(std::span<DispatcherObject* const> objects, bool waitAll,
                                 const int64_t* timeout);
int32_t KeWaitForSingleObject(DispatcherObject& object, const int64_t* timeout);
void Sleep(uint32_t milliseconds);

// Plain locks. They are ordinary mutexes here; their names keep the Parts readable.
using FastMutex = std::mutex;
using SpinLock = std::mutex;
using CriticalSection = std::recursive_mutex;

}  // namespace os
