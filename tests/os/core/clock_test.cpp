#include "os/core/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "os/core/sync.h"

namespace os {
namespace {

TEST(ClockTest, SystemTimeConvertsToCalendarAndBack) {
    CALENDAR_TIME utc = SystemTimeToUtc(VirtualClock::kDefaultStart);
    EXPECT_EQ(utc.year, 2026);
    EXPECT_EQ(utc.month, 3);
    EXPECT_EQ(utc.day, 2);
    EXPECT_EQ(utc.hour, 9);
    EXPECT_EQ(utc.minute, 30);
    EXPECT_EQ(utc.dayOfWeek, 1);  // a Monday
    EXPECT_EQ(UtcToSystemTime(utc), VirtualClock::kDefaultStart);
    // 1601-01-01 is the origin of system time.
    CALENDAR_TIME origin{1601, 1, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(UtcToSystemTime(origin), 0u);
}

TEST(ClockTest, RealClockIsCloseToTheHostClock) {
    uint64_t system = QuerySystemTime();
    uint64_t unixNow = static_cast<uint64_t>(time(nullptr));
    uint64_t asUnix = (system - kUnixEpochSystemTime) / kTicksPerSecond;
    EXPECT_LE(asUnix > unixNow ? asUnix - unixNow : unixNow - asUnix, 2u);
    EXPECT_FALSE(ActiveClock().IsVirtual());
}

TEST(VirtualClockTest, TimeMovesOnlyWhenAdvanced) {
    VirtualClock clock;
    EXPECT_TRUE(ActiveClock().IsVirtual());
    uint64_t start = QuerySystemTime();
    uint64_t tick = GetTickCount64();
    EXPECT_EQ(QuerySystemTime(), start);
    ASSERT_TRUE(clock.Advance(std::chrono::milliseconds(1500)));
    EXPECT_EQ(QuerySystemTime(), start + 1500 * kTicksPerMillisecond);
    EXPECT_EQ(GetTickCount64(), tick + 1500);
    clock.SetSystemTime(start);
    EXPECT_EQ(QuerySystemTime(), start);
    EXPECT_EQ(GetTickCount64(), tick + 1500);  // monotonic time is not set back
}

TEST(VirtualClockTest, UninstallingReturnsToTheRealClock) {
    {
        VirtualClock clock;
        EXPECT_TRUE(ActiveClock().IsVirtual());
    }
    EXPECT_FALSE(ActiveClock().IsVirtual());
}

// A thread that waits in rounds of 10 seconds must see every round: one big jump would collapse
// them into one wake-up.
TEST(VirtualClockTest, AdvanceStopsAtEveryDeadlineInOrder) {
    VirtualClock clock;
    Event stop(EventType::Notification);
    std::atomic<int> rounds{0};
    std::vector<uint64_t> wakeTimes;
    auto thread = Thread::Start([&] {
        while (WaitForSingleObject(stop, 10'000) == WAIT_TIMEOUT) {
            wakeTimes.push_back(GetTickCount64());
            ++rounds;
        }
    });
    uint64_t start = GetTickCount64();
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(250)));
    EXPECT_EQ(rounds.load(), 25);
    ASSERT_EQ(wakeTimes.size(), 25u);
    for (size_t i = 0; i < wakeTimes.size(); ++i) {
        EXPECT_EQ(wakeTimes[i], start + (i + 1) * 10'000);
    }
    stop.Set();
    EXPECT_EQ(WaitForSingleObject(*thread, INFINITE), WAIT_OBJECT_0);
}

TEST(VirtualClockTest, ChainedThreadsSettleBeforeTheNextStep) {
    VirtualClock clock;
    Event ping(EventType::Synchronization);
    Event stop(EventType::Notification);
    std::atomic<int> echoes{0};
    // The first thread wakes every 5 s and pokes the second; both must finish their work inside
    // the same virtual instant before time moves on.
    auto poker = Thread::Start([&] {
        while (WaitForSingleObject(stop, 5000) == WAIT_TIMEOUT) {
            ping.Set();
        }
    });
    auto echo = Thread::Start([&] {
        DispatcherObject* objects[] = {&ping, &stop};
        while (WaitForMultipleObjects(objects, false, INFINITE) == WAIT_OBJECT_0) {
            ++echoes;
        }
    });
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(20)));
    EXPECT_EQ(echoes.load(), 4);
    stop.Set();
    WaitForSingleObject(*poker, INFINITE);
    WaitForSingleObject(*echo, INFINITE);
}

TEST(VirtualClockTest, PeriodicTimerFiresOncePerPeriod) {
    VirtualClock clock;
    Timer timer(EventType::Synchronization);
    Event stop(EventType::Notification);
    std::atomic<int> fired{0};
    timer.Set(-static_cast<int64_t>(60 * kTicksPerSecond), 60'000);
    auto thread = Thread::Start([&] {
        DispatcherObject* objects[] = {&timer, &stop};
        while (WaitForMultipleObjects(objects, false, INFINITE) == WAIT_OBJECT_0) {
            ++fired;
        }
    });
    ASSERT_TRUE(clock.Advance(std::chrono::minutes(5)));
    EXPECT_EQ(fired.load(), 5);
    EXPECT_TRUE(timer.Cancel());
    ASSERT_TRUE(clock.Advance(std::chrono::minutes(5)));
    EXPECT_EQ(fired.load(), 5);
    stop.Set();
    WaitForSingleObject(*thread, INFINITE);
}

TEST(VirtualClockTest, AbsoluteTimerFiresAtItsSystemTime) {
    VirtualClock clock;
    Timer timer;
    uint64_t due = QuerySystemTime() + 3 * kTicksPerSecond;
    timer.Set(static_cast<int64_t>(due));
    ASSERT_TRUE(clock.Advance(std::chrono::milliseconds(2999)));
    EXPECT_FALSE(timer.IsSet());
    ASSERT_TRUE(clock.Advance(std::chrono::milliseconds(1)));
    EXPECT_TRUE(timer.IsSet());
}

}  // namespace
}  // namespace os
