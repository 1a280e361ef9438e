// Time as Windows counts it: system time in 100-nanosecond units since 1601-01-01 UTC, a monotonic
// "interrupt time" for intervals, and local time. Every timed wait and timer in os/ follows the
// active clock, which is the real clock unless a test installs a VirtualClock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace os {

constexpr uint64_t kTicksPerMillisecond = 10'000;
constexpr uint64_t kTicksPerSecond = 10'000'000;
// 1970-01-01 00:00:00 UTC as system time.
constexpr uint64_t kUnixEpochSystemTime = 116'444'736'000'000'000ULL;

// Calendar fields of a point in time (SYSTEMTIME). Month 1-12, day of week 0 = Sunday.
struct CALENDAR_TIME {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t dayOfWeek = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    // UTC wall-clock time in 100 ns units since 1601 (KeQuerySystemTime, GetSystemTimeAsFileTime).
    virtual uint64_t SystemTime() const = 0;
    // Monotonic time in 100 ns units since an arbitrary start (KeQueryInterruptTime).
    virtual uint64_t InterruptTime() const = 0;
    virtual bool IsVirtual() const = 0;
};

// The clock every part of os/ uses now.
Clock& ActiveClock();

uint64_t QuerySystemTime();
uint64_t QueryInterruptTime();
// Milliseconds of monotonic time (GetTickCount64).
uint64_t GetTickCount64();

// Conversions between system time and calendar fields; local time follows the TZ of the process.
CALENDAR_TIME SystemTimeToUtc(uint64_t systemTime);
CALENDAR_TIME SystemTimeToLocal(uint64_t systemTime);
uint64_t UtcToSystemTime(const CALENDAR_TIME& utc);
CALENDAR_TIME GetLocalTime();
CALENDAR_TIME GetSystemTime();

// A clock that only moves when a test moves it. Construct it to install it; destroy it to return
// to the real clock. Advance() steps from deadline to deadline, waking the waiters and timers due
// at each one and letting the woken threads settle (block again or end) before the next step.
class VirtualClock final : public Clock {
  public:
    // 2026-03-02 09:30:00 UTC: a fixed, ordinary working-day morning.
    static constexpr uint64_t kDefaultStart = 134'169'174'000'000'000ULL;

    explicit VirtualClock(uint64_t startSystemTime = kDefaultStart);
    ~VirtualClock() override;
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    uint64_t SystemTime() const override;
    uint64_t InterruptTime() const override;
    bool IsVirtual() const override { return true; }

    // Moves time forward; returns false when some woken thread did not settle within the real-time
    // limit (a thread busy outside os/ waits, or a deadlock).
    bool Advance(std::chrono::milliseconds amount);
    bool AdvanceSeconds(double seconds) {
        return Advance(std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0)));
    }
    // Waits until every os/ thread is blocked in an os/ wait or has ended.
    bool Settle(std::chrono::milliseconds realLimit = std::chrono::seconds(10));
    // Changes the wall clock without moving monotonic time (a user changing the system time).
    void SetSystemTime(uint64_t systemTime);
    // The next pending deadline in interrupt time, or 0 when none.
    uint64_t NextDeadline() const;

  private:
    friend class DispatcherAccess;
    std::atomic<uint64_t> interruptNow_;  // changed under the dispatcher lock
    std::atomic<int64_t> systemOffset_;   // system time = interrupt time + offset
    Clock* previous_;
};

}  // namespace os
