#include "os/core/sync.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "os/core/clock.h"

namespace os {
namespace {

TEST(EventTest, SetAndResetReportThePreviousState) {
    Event event(EventType::Notification);
    EXPECT_FALSE(event.Set());
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(event.Reset());
    EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, AutoResetReleasesExactlyOneWaiter) {
    VirtualClock clock;
    Event event(EventType::Synchronization);
    std::atomic<int> released{0};
    auto a = Thread::Start([&] {
        if (WaitForSingleObject(event, 1000) == WAIT_OBJECT_0)
            ++released;
    });
    auto b = Thread::Start([&] {
        if (WaitForSingleObject(event, 1000) == WAIT_OBJECT_0)
            ++released;
    });
    ASSERT_TRUE(clock.Settle());
    event.Set();
    ASSERT_TRUE(clock.Settle());
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(event.IsSet());
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(1)));
    WaitForSingleObject(*a, INFINITE);
    WaitForSingleObject(*b, INFINITE);
    EXPECT_EQ(released.load(), 1);
}

TEST(EventTest, NotificationEventReleasesEveryWaiterAndStaysSet) {
    Event event(EventType::Notification);
    std::atomic<int> released{0};
    auto a =
        Thread::Start([&] { released += WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0; });
    auto b =
        Thread::Start([&] { released += WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0; });
    event.Set();
    WaitForSingleObject(*a, INFINITE);
    WaitForSingleObject(*b, INFINITE);
    EXPECT_EQ(released.load(), 2);
    EXPECT_TRUE(event.IsSet());
}

TEST(WaitTest, WaitAnyReportsTheLowestSignalledIndex) {
    Event first(EventType::Notification), second(EventType::Notification);
    DispatcherObject* objects[] = {&first, &second};
    EXPECT_EQ(WaitForMultipleObjects(objects, false, 0), WAIT_TIMEOUT);
    second.Set();
    EXPECT_EQ(WaitForMultipleObjects(objects, false, 0), WAIT_OBJECT_0 + 1);
    first.Set();
    EXPECT_EQ(WaitForMultipleObjects(objects, false, 0), WAIT_OBJECT_0);
}

TEST(WaitTest, WaitAllTakesAutoResetEventsOnlyTogether) {
    Event a(EventType::Synchronization), b(EventType::Synchronization);
    DispatcherObject* objects[] = {&a, &b};
    a.Set();
    EXPECT_EQ(WaitForMultipleObjects(objects, true, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(a.IsSet());  // not consumed by a wait that did not complete
    b.Set();
    EXPECT_EQ(WaitForMultipleObjects(objects, true, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(a.IsSet());
    EXPECT_FALSE(b.IsSet());
}

TEST(WaitTest, BadArgumentsFail) {
    EXPECT_EQ(WaitForMultipleObjects({}, false, 0), WAIT_FAILED);
    std::vector<Event> many(MAXIMUM_WAIT_OBJECTS + 1);
    std::vector<DispatcherObject*> objects;
    for (auto& e : many)
        objects.push_back(&e);
    EXPECT_EQ(WaitForMultipleObjects(objects, false, 0), WAIT_FAILED);
}

TEST(WaitTest, KernelRelativeAndAbsoluteTimeouts) {
    VirtualClock clock;
    Event never(EventType::Notification);
    std::atomic<int32_t> relative{-1}, absolute{-1};
    auto a = Thread::Start([&] {
        int64_t timeout = -static_cast<int64_t>(10 * kTicksPerSecond);
        relative = KeWaitForSingleObject(never, &timeout);
    });
    auto b = Thread::Start([&] {
        int64_t timeout = static_cast<int64_t>(QuerySystemTime() + 20 * kTicksPerSecond);
        absolute = KeWaitForSingleObject(never, &timeout);
    });
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(10)));
    EXPECT_EQ(relative.load(), 0x102);
    EXPECT_EQ(absolute.load(), -1);
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(10)));
    EXPECT_EQ(absolute.load(), 0x102);
    WaitForSingleObject(*a, INFINITE);
    WaitForSingleObject(*b, INFINITE);
}

// On the real clock a short time-out ends on time whatever longer ones wait beside it, including
// one that came after them and one that follows the end of a wait whose deadline was the earliest.
TEST(WaitTest, AShortRealTimeOutIsNotHeldBackByLongerOnes) {
    Event never(EventType::Notification);
    std::atomic<uint32_t> longWait{0};
    auto holder = Thread::Start([&] { longWait = WaitForSingleObject(never, 60'000); });
    for (int round = 0; round < 3; ++round) {
        const auto begun = std::chrono::steady_clock::now();
        EXPECT_EQ(WaitForSingleObject(never, 20), WAIT_TIMEOUT);
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5)) << round;
    }
    never.Set();
    WaitForSingleObject(*holder, INFINITE);
    EXPECT_EQ(longWait.load(), WAIT_OBJECT_0);
}

// ---- Events another process sets through an eventfd ----

// The event owns the descriptor it is given; the test writes to a duplicate, as the other process
// writes to its own.
class EventSourceTest : public ::testing::Test {
  protected:
    void Feed(Event& event) {
        int fd = eventfd(0, EFD_CLOEXEC);
        ASSERT_GE(fd, 0);
        writer_ = dup(fd);
        event.AddSource(fd);
    }
    void Count() {
        uint64_t one = 1;
        ASSERT_EQ(write(writer_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    }
    ~EventSourceTest() override {
        if (writer_ >= 0) {
            close(writer_);
        }
    }
    int writer_ = -1;
};

TEST_F(EventSourceTest, EachCountReleasesOneBlockedWaiterOfAnAutoResetEvent) {
    Event event(EventType::Synchronization), stop(EventType::Notification);
    Feed(event);
    std::atomic<int> released{0};
    auto waiter = [&] {
        DispatcherObject* objects[] = {&event, &stop};
        if (WaitForMultipleObjects(objects, false, INFINITE) == WAIT_OBJECT_0) {
            ++released;
        }
    };
    std::shared_ptr<Thread> a, b;
    {
        VirtualClock clock;  // to know when both are blocked
        a = Thread::Start(waiter);
        b = Thread::Start(waiter);
        ASSERT_TRUE(clock.Settle());
    }
    DispatcherObject* threads[] = {a.get(), b.get()};
    Count();
    EXPECT_NE(WaitForMultipleObjects(threads, false, 5'000), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(threads, true, 0), WAIT_TIMEOUT);
    Count();
    EXPECT_EQ(WaitForMultipleObjects(threads, true, 5'000), WAIT_OBJECT_0);
    EXPECT_EQ(released.load(), 2);
    EXPECT_FALSE(event.IsSet());
    stop.Set();
    WaitForMultipleObjects(threads, true, INFINITE);
}

// A count that comes while nobody waits is a set, seen by the next look at the event; counts
// that pile up before anyone looks are one set, and one before a reset is undone by it.
TEST_F(EventSourceTest, ACountWhileNobodyWaitsIsASet) {
    Event event(EventType::Synchronization);
    Feed(event);
    Count();
    EXPECT_TRUE(event.IsSet());
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    Count();
    Count();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    Count();
    EXPECT_TRUE(event.Reset());
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST_F(EventSourceTest, AWaiterOnASourceStillEndsByItsOtherObjectsAndItsTimeOut) {
    Event event(EventType::Synchronization), stop(EventType::Notification);
    Feed(event);
    std::atomic<uint32_t> stopped{WAIT_FAILED}, timedOut{WAIT_FAILED};
    std::shared_ptr<Thread> a, b;
    {
        VirtualClock clock;
        a = Thread::Start([&] {
            DispatcherObject* objects[] = {&event, &stop};
            stopped = WaitForMultipleObjects(objects, false, 60'000);
        });
        b = Thread::Start([&] { timedOut = WaitForSingleObject(event, 10'000); });
        ASSERT_TRUE(clock.Settle());
        stop.Set();
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(10)));
    }
    DispatcherObject* threads[] = {a.get(), b.get()};
    EXPECT_EQ(WaitForMultipleObjects(threads, true, 5'000), WAIT_OBJECT_0);
    EXPECT_EQ(stopped.load(), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(timedOut.load(), WAIT_TIMEOUT);
    Count();  // a thread that waited on the source and is gone leaves the event to the next
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

// The service's workers already wait on its input event when the driver host takes it.
TEST_F(EventSourceTest, ASourceAddedWhileThreadsWaitReachesThem) {
    Event event(EventType::Notification), stop(EventType::Notification);
    auto waiter = [&] {
        DispatcherObject* objects[] = {&event, &stop};
        WaitForMultipleObjects(objects, false, INFINITE);
    };
    std::shared_ptr<Thread> a, b;
    {
        VirtualClock clock;
        a = Thread::Start(waiter);
        b = Thread::Start(waiter);
        ASSERT_TRUE(clock.Settle());
    }
    Feed(event);
    Count();
    DispatcherObject* threads[] = {a.get(), b.get()};
    EXPECT_EQ(WaitForMultipleObjects(threads, true, 5'000), WAIT_OBJECT_0);
    EXPECT_TRUE(event.IsSet());
    stop.Set();
    WaitForMultipleObjects(threads, true, INFINITE);
}

TEST(MutantTest, RecursiveOwnershipAndRelease) {
    Mutant mutant;
    ASSERT_EQ(WaitForSingleObject(mutant, 0), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(mutant, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(mutant.IsOwnedByCaller());
    std::atomic<uint32_t> other{0};
    auto thread = Thread::Start([&] { other = WaitForSingleObject(mutant, 0); });
    WaitForSingleObject(*thread, INFINITE);
    EXPECT_EQ(other.load(), WAIT_TIMEOUT);
    EXPECT_TRUE(mutant.Release());
    EXPECT_TRUE(mutant.Release());
    EXPECT_FALSE(mutant.Release());
}

// A thread waiting for a lock can give up when asked to stop: the lock holder never has to be
// killed.
TEST(MutantTest, WaiterGivesUpWhenItsStopEventIsSet) {
    Mutant mutant;
    Event stop(EventType::Notification);
    ASSERT_EQ(WaitForSingleObject(mutant, 0), WAIT_OBJECT_0);
    std::atomic<uint32_t> result{0};
    auto thread = Thread::Start([&] {
        DispatcherObject* objects[] = {&mutant, &stop};
        result = WaitForMultipleObjects(objects, false, INFINITE);
    });
    stop.Set();
    WaitForSingleObject(*thread, INFINITE);
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(mutant.Release());
}

TEST(ThreadTest, ThreadObjectIsSignalledWhenTheRoutineReturns) {
    Event go(EventType::Notification);
    auto thread = Thread::Start([&] { WaitForSingleObject(go, INFINITE); }, "worker");
    EXPECT_EQ(thread->Name(), "worker");
    EXPECT_NE(thread->Id(), 0u);
    EXPECT_NE(thread->Id(), CurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(*thread, 0), WAIT_TIMEOUT);
    go.Set();
    EXPECT_EQ(WaitForSingleObject(*thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(thread->HasEnded());
}

TEST(ThreadTest, JoinWaitsForTheSystemThreadAndCanBeRepeated) {
    std::atomic<int> ran{0};
    auto thread = Thread::Start([&] { ++ran; });
    thread->Join();
    thread->Join();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(thread->HasEnded());
}

TEST(ThreadTest, IdsAreMultiplesOfFourAndStable) {
    uint32_t id = CurrentThreadId();
    EXPECT_EQ(id % 4, 0u);
    EXPECT_EQ(CurrentThreadId(), id);
    std::atomic<uint32_t> inside{0};
    auto thread = Thread::Start([&] { inside = CurrentThreadId(); });
    WaitForSingleObject(*thread, INFINITE);
    EXPECT_EQ(inside.load(), thread->Id());
}

TEST(SleepTest, SleepFollowsTheVirtualClock) {
    VirtualClock clock;
    std::atomic<bool> woke{false};
    auto thread = Thread::Start([&] {
        Sleep(240'000);
        woke = true;
    });
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(239)));
    EXPECT_FALSE(woke.load());
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(1)));
    EXPECT_TRUE(woke.load());
    WaitForSingleObject(*thread, INFINITE);
}

}  // namespace
}  // namespace os
