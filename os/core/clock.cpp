#include "os/core/clock.h"

#include <ctime>

#include "os/core/dispatcher.h"

namespace os {

using detail::Dispatcher;

Clock& ActiveClock() {
    return Dispatcher::Get().ActiveClock();
}

uint64_t QuerySystemTime() {
    return ActiveClock().SystemTime();
}
uint64_t QueryInterruptTime() {
    return ActiveClock().InterruptTime();
}
uint64_t GetTickCount64() {
    return QueryInterruptTime() / kTicksPerMillisecond;
}

namespace {

CALENDAR_TIME FromTm(const std::tm& tm, uint16_t milliseconds) {
    CALENDAR_TIME t;
    t.year = static_cast<uint16_t>(tm.tm_year + 1900);
    t.month = static_cast<uint16_t>(tm.tm_mon + 1);
    t.dayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    t.day = static_cast<uint16_t>(tm.tm_mday);
    t.hour = static_cast<uint16_t>(tm.tm_hour);
    t.minute = static_cast<uint16_t>(tm.tm_min);
    t.second = static_cast<uint16_t>(tm.tm_sec);
    t.milliseconds = milliseconds;
    return t;
}

std::time_t ToUnixSeconds(uint64_t systemTime, uint16_t* milliseconds) {
    int64_t sinceUnix =
        static_cast<int64_t>(systemTime) - static_cast<int64_t>(kUnixEpochSystemTime);
    int64_t seconds = sinceUnix / static_cast<int64_t>(kTicksPerSecond);
    int64_t rest = sinceUnix % static_cast<int64_t>(kTicksPerSecond);
    if (rest < 0) {
        rest += kTicksPerSecond;
        --seconds;
    }
    *milliseconds = static_cast<uint16_t>(rest / kTicksPerMillisecond);
    return static_cast<std::time_t>(seconds);
}

}  // namespace

CALENDAR_TIME SystemTimeToUtc(uint64_t systemTime) {
    uint16_t ms = 0;
    std::time_t seconds = ToUnixSeconds(systemTime, &ms);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return FromTm(tm, ms);
}

CALENDAR_TIME SystemTimeToLocal(uint64_t systemTime) {
    uint16_t ms = 0;
    std::time_t seconds = ToUnixSeconds(systemTime, &ms);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return FromTm(tm, ms);
}

uint64_t UtcToSystemTime(const CALENDAR_TIME& utc) {
    std::tm tm{};
    tm.tm_year = utc.year - 1900;
    tm.tm_mon = utc.month - 1;
    tm.tm_mday = utc.day;
    tm.tm_hour = utc.hour;
    tm.tm_min = utc.minute;
    tm.tm_sec = utc.second;
    std::time_t seconds = timegm(&tm);
    return kUnixEpochSystemTime + static_cast<uint64_t>(seconds) * kTicksPerSecond +
           static_cast<uint64_t>(utc.milliseconds) * kTicksPerMillisecond;
}

CALENDAR_TIME GetLocalTime() {
    return SystemTimeToLocal(QuerySystemTime());
}
CALENDAR_TIME GetSystemTime() {
    return SystemTimeToUtc(QuerySystemTime());
}

// The virtual clock's monotonic time starts at ten seconds so that 0 can keep meaning "never".
VirtualClock::VirtualClock(uint64_t startSystemTime)
    : interruptNow_(10 * kTicksPerSecond),
      systemOffset_(static_cast<int64_t>(startSystemTime) -
                    static_cast<int64_t>(10 * kTicksPerSecond)),
      previous_(&ActiveClock()) {
    Dispatcher::Get().SwitchClock(this);
}

VirtualClock::~VirtualClock() {
    Dispatcher::Get().SwitchClock(previous_->IsVirtual() ? previous_ : nullptr);
}

uint64_t VirtualClock::SystemTime() const {
    return static_cast<uint64_t>(static_cast<int64_t>(interruptNow_.load()) + systemOffset_.load());
}

uint64_t VirtualClock::InterruptTime() const {
    return interruptNow_.load();
}

void VirtualClock::SetSystemTime(uint64_t systemTime) {
    std::lock_guard guard(Dispatcher::Get().Lock());
    systemOffset_ = static_cast<int64_t>(systemTime) - static_cast<int64_t>(interruptNow_.load());
}

uint64_t VirtualClock::NextDeadline() const {
    auto& dispatcher = Dispatcher::Get();
    std::lock_guard guard(dispatcher.Lock());
    return dispatcher.EarliestDeadlineLocked();
}

bool VirtualClock::Settle(std::chrono::milliseconds realLimit) {
    auto& dispatcher = Dispatcher::Get();
    std::unique_lock lock(dispatcher.Lock());
    return dispatcher.WaitQuiescent(lock, realLimit);
}

bool VirtualClock::Advance(std::chrono::milliseconds amount) {
    constexpr auto kSettleLimit = std::chrono::seconds(10);
    auto& dispatcher = Dispatcher::Get();
    std::unique_lock lock(dispatcher.Lock());
    bool settled = dispatcher.WaitQuiescent(lock, kSettleLimit);
    uint64_t target =
        interruptNow_.load() + static_cast<uint64_t>(amount.count()) * kTicksPerMillisecond;
    for (;;) {
        uint64_t next = dispatcher.EarliestDeadlineLocked();
        if (next == 0 || next > target) {
            break;
        }
        if (next > interruptNow_.load()) {
            interruptNow_.store(next);
        }
        dispatcher.FireDueLocked(interruptNow_.load());
        settled = dispatcher.WaitQuiescent(lock, kSettleLimit) && settled;
    }
    interruptNow_.store(target);
    return dispatcher.WaitQuiescent(lock, kSettleLimit) && settled;
}

}  // namespace os
