// The worker-thread groups and their stop procedure on a virtual clock, the duration text and the
// service timers' "set" helper.
#include "service/host/worker_threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/clock.h"
#include "os/core/status.h"
#include "os/core/sync.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Every line written while it lives.
class LOG_LINES {
  public:
    LOG_LINES() {
        DebugReset();
        DebugSetOutputHook([this](uint32_t, std::string_view text) {
            std::lock_guard guard(lock_);
            lines_.emplace_back(text);
        });
    }
    ~LOG_LINES() { DebugReset(); }
    LOG_LINES(const LOG_LINES&) = delete;
    LOG_LINES& operator=(const LOG_LINES&) = delete;

    // The lines but the threads' own "... thread started" lines, whose order the threads decide.
    std::vector<std::string> Procedure() const {
        std::lock_guard guard(lock_);
        std::vector<std::string> result;
        for (const auto& line : lines_) {
            if (!line.ends_with(" thread started")) {
                result.push_back(line);
            }
        }
        return result;
    }
    std::vector<std::string> All() const {
        std::lock_guard guard(lock_);
        return lines_;
    }
    size_t Count(std::string_view line) const {
        std::lock_guard guard(lock_);
        return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line));
    }
    size_t CountStartingWith(std::string_view part) const {
        std::lock_guard guard(lock_);
        return static_cast<size_t>(
            std::count_if(lines_.begin(), lines_.end(),
                          [&](const auto& line) { return line.starts_with(part); }));
    }
    void Clear() {
        std::lock_guard guard(lock_);
        lines_.clear();
    }

  private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

// Sets TZ for the process while it lives (local time follows it after tzset), then restores it.
class SCOPED_TIME_ZONE {
  public:
    explicit SCOPED_TIME_ZONE(const char* zone) {
        if (const char* previous = std::getenv("TZ")) {
            previous_ = previous;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~SCOPED_TIME_ZONE() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    SCOPED_TIME_ZONE(const SCOPED_TIME_ZONE&) = delete;
    SCOPED_TIME_ZONE& operator=(const SCOPED_TIME_ZONE&) = delete;

  private:
    std::optional<std::string> previous_;
};

std::shared_ptr<os::Event> NewEvent() {
    return std::make_shared<os::Event>(os::EventType::Notification, false);
}

// A thread body that returns once `event` is set.
std::function<void()> WaitFor(std::shared_ptr<os::Event> event) {
    return [event] { os::WaitForSingleObject(*event, os::INFINITE); };
}

class WorkerThreadsTest : public ::testing::Test {
  protected:
    void TearDown() override {
        SetThreadGroupWaitForTesting(nullptr);
        // Whatever a test left stuck is released, and every thread it started is gone.
        release_->Set();
        for (auto& thread : kept_) {
            thread->Join();
        }
        EXPECT_TRUE(clock_.Settle());
    }

    // A group whose stop callback sets its own stop event.
    THREAD_GROUP Group(std::string name, bool array, std::shared_ptr<os::Event>* stop = nullptr) {
        THREAD_GROUP group;
        group.name = std::move(name);
        group.array = array;
        auto event = NewEvent();
        group.stop = [event] { event->Set(); };
        if (stop != nullptr) {
            *stop = event;
        }
        return group;
    }

    // Starts a thread and keeps a handle of the test's own, so that the test can join it at the
    // end whatever the procedure did with the group's handle.
    void Start(THREAD_GROUP& group, std::function<void()> body) {
        ASSERT_TRUE(StartGroupThread(group, std::move(body)));
        kept_.push_back(group.threads.back());
    }

    // Runs the stop procedure on an os/ thread, so that the virtual clock waits for it to block.
    std::shared_ptr<os::Thread> StopInBackground(uint32_t budgetMs,
                                                 std::vector<THREAD_GROUP*> groups) {
        auto thread = os::Thread::Start([budgetMs, groups] { StopThreadGroups(budgetMs, groups); },
                                        "Stop procedure");
        kept_.push_back(thread);
        return thread;
    }

    os::VirtualClock clock_;
    LOG_LINES log_;
    // Set by TearDown; stuck threads wait for it.
    std::shared_ptr<os::Event> release_ = NewEvent();
    std::vector<std::shared_ptr<os::Thread>> kept_;
};

TEST_F(WorkerThreadsTest, StartedThreadsLogTheirGroupAndTakeTheNextSlots) {
    std::shared_ptr<os::Event> stop;
    THREAD_GROUP group = Group("Service Call", true, &stop);
    for (int i = 0; i < 3; ++i) {
        Start(group, WaitFor(stop));
    }
    ASSERT_TRUE(clock_.Settle());
    ASSERT_EQ(group.threads.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(group.threads[i], kept_[i]);
        EXPECT_EQ(group.threads[i]->Name(), "Service Call");
        EXPECT_FALSE(group.threads[i]->HasEnded());
    }
    EXPECT_EQ(log_.Count("Service Call thread started"), 3u);
    EXPECT_EQ(log_.All().size(), 3u);

    THREAD_GROUP* groups[] = {&group};
    StopThreadGroups(30000, groups);
    EXPECT_TRUE(group.threads.empty());
    for (auto& thread : kept_) {
        EXPECT_TRUE(thread->HasEnded());
    }
}

TEST_F(WorkerThreadsTest, TwoHundredThreadsStopInFourBatches) {
    std::shared_ptr<os::Event> stop;
    THREAD_GROUP group = Group("Worker", true, &stop);
    for (int i = 0; i < 200; ++i) {
        Start(group, WaitFor(stop));
    }
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(log_.Count("Worker thread started"), 200u);

    THREAD_GROUP* groups[] = {&group};
    const uint64_t begin = os::QueryInterruptTime();
    StopThreadGroups(30000, groups);
    EXPECT_EQ(os::QueryInterruptTime(), begin);

    std::vector<std::string> expected;
    for (int i = 1; i <= 200; ++i) {
        expected.push_back("Stopping Worker thread #" + std::to_string(i));
    }
    for (int count : {64, 64, 64, 8}) {
        expected.push_back("Waiting 30.000 seconds for " + std::to_string(count) +
                           " threads to stop ...");
        expected.push_back(std::to_string(count) + " threads stopped normally in 0.000 seconds");
    }
    EXPECT_EQ(log_.Procedure(), expected);
    EXPECT_TRUE(group.threads.empty());
    for (auto& thread : kept_) {
        EXPECT_TRUE(thread->HasEnded());
    }
}

TEST_F(WorkerThreadsTest, TheTimeABatchTakesComesOffTheBudgetOfTheNext) {
    std::shared_ptr<os::Event> stop;
    THREAD_GROUP group = Group("Worker", true, &stop);
    // The first thread takes five seconds to end after its stop.
    Start(group, [stop] {
        os::WaitForSingleObject(*stop, os::INFINITE);
        os::Sleep(5000);
    });
    for (int i = 0; i < 64; ++i) {
        Start(group, WaitFor(stop));
    }
    ASSERT_TRUE(clock_.Settle());

    auto procedure = StopInBackground(30000, {&group});
    ASSERT_TRUE(clock_.Settle());
    EXPECT_FALSE(procedure->HasEnded());
    ASSERT_TRUE(clock_.Advance(seconds(5)));
    ASSERT_TRUE(clock_.Settle());
    ASSERT_TRUE(procedure->HasEnded());

    std::vector<std::string> lines = log_.Procedure();
    ASSERT_EQ(lines.size(), 65u + 4u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 65, lines.end()),
              (std::vector<std::string>{
                  "Waiting 30.000 seconds for 64 threads to stop ...",
                  "64 threads stopped normally in 5.000 seconds",
                  "Waiting 25.000 seconds for 1 thread to stop ...",
                  "1 thread stopped normally in 0.000 seconds",
              }));
}

TEST_F(WorkerThreadsTest, AThreadThatDoesNotEndIsLeftToEndOnItsOwn) {
    std::shared_ptr<os::Event> settingsStop;
    std::shared_ptr<os::Event> workerStop;
    THREAD_GROUP settings = Group("Settings", false, &settingsStop);
    THREAD_GROUP worker = Group("Worker", true, &workerStop);
    // Stuck: waits only for the release, which the test gives after the procedure returned.
    auto stuck = NewEvent();
    Start(settings, WaitFor(stuck));
    for (int i = 1; i <= 64; ++i) {
        Start(worker, WaitFor(workerStop));
    }
    Start(worker, WaitFor(stuck));  // #65, in the second batch
    std::shared_ptr<os::Thread> stuckSettings = settings.threads[0];
    std::shared_ptr<os::Thread> stuckWorker = worker.threads[64];
    ASSERT_TRUE(clock_.Settle());

    const uint64_t begin = os::QueryInterruptTime();
    auto procedure = StopInBackground(30000, {&settings, &worker});
    ASSERT_TRUE(clock_.Settle());
    ASSERT_TRUE(clock_.Advance(seconds(29)));
    ASSERT_TRUE(clock_.Settle());
    EXPECT_FALSE(procedure->HasEnded());
    ASSERT_TRUE(clock_.Advance(seconds(1)));
    ASSERT_TRUE(clock_.Settle());
    // Back within the budget, without a second wait for the second batch.
    ASSERT_TRUE(procedure->HasEnded());
    EXPECT_EQ(os::QueryInterruptTime() - begin, 30 * os::kTicksPerSecond);
    EXPECT_EQ(clock_.NextDeadline(), 0u);

    std::vector<std::string> expected = {"Stopping Settings thread"};
    for (int i = 1; i <= 65; ++i) {
        expected.push_back("Stopping Worker thread #" + std::to_string(i));
    }
    expected.push_back("Waiting 30.000 seconds for 64 threads to stop ...");
    expected.push_back("Terminating Settings thread");
    for (int i = 1; i <= 64; ++i) {
        expected.push_back("Worker thread #" + std::to_string(i) + " stopped");
    }
    expected.push_back("Terminating Worker thread #65");
    EXPECT_EQ(log_.Procedure(), expected);

    // The handles are dropped, nothing was killed: the stuck threads still run, then end.
    EXPECT_TRUE(settings.threads.empty());
    EXPECT_TRUE(worker.threads.empty());
    EXPECT_FALSE(stuckSettings->HasEnded());
    EXPECT_FALSE(stuckWorker->HasEnded());
    stuck->Set();
    stuckSettings->Join();
    stuckWorker->Join();
    EXPECT_TRUE(stuckSettings->HasEnded());
    EXPECT_TRUE(stuckWorker->HasEnded());
}

TEST_F(WorkerThreadsTest, GroupsStopInOrderEachCallbackBeforeTheWait) {
    // Each group's threads end only on their own group's stop, and each callback writes a line.
    auto makeGroup = [this](const std::string& name, bool array, int threads) {
        std::shared_ptr<os::Event> stop;
        THREAD_GROUP group = Group(name, array, &stop);
        group.stop = [stop, name] {
            DebugPrint("stop callback of %s", name.c_str());
            stop->Set();
        };
        for (int i = 0; i < threads; ++i) {
            Start(group, WaitFor(stop));
        }
        return group;
    };
    THREAD_GROUP settings = makeGroup("Settings", false, 1);
    THREAD_GROUP calls = makeGroup("Service Call", true, 2);
    THREAD_GROUP reuse = makeGroup("Session Reuse", false, 1);
    // No callback, a thread that has ended by itself, and an empty slot.
    THREAD_GROUP idle;
    idle.name = "Idle";
    Start(idle, [] {});
    idle.threads.push_back(nullptr);
    THREAD_GROUP none;
    none.name = "Unused";
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(log_.Count("Settings thread started"), 1u);
    EXPECT_EQ(log_.Count("Service Call thread started"), 2u);
    EXPECT_EQ(log_.Count("Session Reuse thread started"), 1u);
    EXPECT_EQ(log_.Count("Idle thread started"), 1u);

    THREAD_GROUP* groups[] = {&settings, nullptr, &calls, &reuse, &idle, &none};
    StopThreadGroups(30000, groups);
    EXPECT_EQ(log_.Procedure(), (std::vector<std::string>{
                                    "stop callback of Settings",
                                    "Stopping Settings thread",
                                    "stop callback of Service Call",
                                    "Stopping Service Call thread #1",
                                    "Stopping Service Call thread #2",
                                    "stop callback of Session Reuse",
                                    "Stopping Session Reuse thread",
                                    "Stopping Idle thread",
                                    "Waiting 30.000 seconds for 5 threads to stop ...",
                                    "5 threads stopped normally in 0.000 seconds",
                                }));
    for (THREAD_GROUP* group : groups) {
        if (group != nullptr) {
            EXPECT_TRUE(group->threads.empty());
        }
    }
}

TEST_F(WorkerThreadsTest, ABudgetOfZeroWaitsForNothing) {
    std::shared_ptr<os::Event> stop;
    THREAD_GROUP group = Group("Lookup", true, &stop);
    Start(group, [] {});
    Start(group, WaitFor(release_));
    ASSERT_TRUE(clock_.Settle());
    THREAD_GROUP* groups[] = {&group};
    StopThreadGroups(0, groups);
    EXPECT_EQ(log_.Procedure(), (std::vector<std::string>{
                                    "Stopping Lookup thread #1",
                                    "Stopping Lookup thread #2",
                                    "Lookup thread #1 stopped",
                                    "Terminating Lookup thread #2",
                                }));
}

uint32_t AbandonedWait(std::span<os::DispatcherObject* const>, bool, uint32_t) {
    return os::WAIT_ABANDONED_0;
}
uint32_t FailedWait(std::span<os::DispatcherObject* const>, bool, uint32_t) {
    os::SetLastError(os::ERROR_INVALID_HANDLE);
    return os::WAIT_FAILED;
}
uint32_t FailedWaitWithoutError(std::span<os::DispatcherObject* const>, bool, uint32_t) {
    return os::WAIT_FAILED;
}

class WorkerThreadsWaitResultTest : public WorkerThreadsTest {
  protected:
    // A stuck non-array thread and an array thread that has ended, stopped with `wait`.
    std::vector<std::string> StopWith(THREAD_GROUP_WAIT wait) {
        THREAD_GROUP settings = Group("Settings", false);
        THREAD_GROUP lookup = Group("Lookup", true);
        Start(settings, WaitFor(release_));
        Start(lookup, [] {});
        kept_.back()->Join();
        EXPECT_TRUE(clock_.Settle());
        SetThreadGroupWaitForTesting(wait);
        THREAD_GROUP* groups[] = {&settings, &lookup};
        StopThreadGroups(30000, groups);
        EXPECT_TRUE(settings.threads.empty());
        EXPECT_TRUE(lookup.threads.empty());
        return log_.Procedure();
    }
};

TEST_F(WorkerThreadsWaitResultTest, AnUnexpectedResultIsTreatedAsATimeOut) {
    EXPECT_EQ(StopWith(&AbandonedWait), (std::vector<std::string>{
                                            "Stopping Settings thread",
                                            "Stopping Lookup thread #1",
                                            "Waiting 30.000 seconds for 2 threads to stop ...",
                                            "Unexpected result = 128 waiting for 2 threads to stop",
                                            "Terminating Settings thread",
                                            "Lookup thread #1 stopped",
                                        }));
}

TEST_F(WorkerThreadsWaitResultTest, AFailedWaitIsTreatedAsATimeOut) {
    EXPECT_EQ(StopWith(&FailedWait),
              (std::vector<std::string>{
                  "Stopping Settings thread",
                  "Stopping Lookup thread #1",
                  "Waiting 30.000 seconds for 2 threads to stop ...",
                  "Failure waiting for 2 threads to complete. The handle is invalid. Error code = "
                  "6.",
                  "Terminating Settings thread",
                  "Lookup thread #1 stopped",
              }));
}

TEST_F(WorkerThreadsWaitResultTest, AFailedWaitWithoutALastErrorIsAnInvalidParameter) {
    std::vector<std::string> lines = StopWith(&FailedWaitWithoutError);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3],
              "Failure waiting for 2 threads to complete. The parameter is incorrect. Error code = "
              "87.");
}

// ---- Duration text and timers

TEST(DurationTextTest, PartsAsTheServiceWritesThem) {
    EXPECT_EQ(DurationText(0), "");
    EXPECT_EQ(DurationText(1), "1 second");
    EXPECT_EQ(DurationText(59), "59 seconds");
    EXPECT_EQ(DurationText(60), "60 seconds");
    EXPECT_EQ(DurationText(61), "1 minute, 1 second");
    EXPECT_EQ(DurationText(120), "2 minutes");
    EXPECT_EQ(DurationText(3600), "60 minutes");
    EXPECT_EQ(DurationText(3601), "1 hour, 1 second");
    EXPECT_EQ(DurationText(3661), "1 hour, 1 minute, 1 second");
    EXPECT_EQ(DurationText(7200), "2 hours");
    // The rest after the hours follows the same rule: 60 seconds stay seconds.
    EXPECT_EQ(DurationText(7260), "2 hours, 60 seconds");
    EXPECT_EQ(DurationText(7322), "2 hours, 2 minutes, 2 seconds");
    EXPECT_EQ(DurationText(21600), "6 hours");
    EXPECT_EQ(DurationText(259200), "72 hours");
}

class ServiceTimerTest : public ::testing::Test {
  protected:
    static constexpr uint64_t kStart = os::VirtualClock::kDefaultStart;  // Monday 09:30:00 UTC
    os::VirtualClock clock_;
    LOG_LINES log_;
};

TEST_F(ServiceTimerTest, TheLineGivesTheDueTimeInLocalTime) {
    {
        SCOPED_TIME_ZONE zone("UTC0");
        EXPECT_EQ(TimerLine("Check-in", kStart + 21600 * os::kTicksPerSecond, 21600),
                  "Check-in timer set for Monday, 2026/03/02 15:30:00 (6 hours) ...");
        EXPECT_EQ(TimerLine("Check-in", kStart, 0),
                  "Check-in timer set for Monday, 2026/03/02 09:30:00 (now) ...");
        EXPECT_EQ(TimerLine("Update", kStart + 3661 * os::kTicksPerSecond, 3661),
                  "Update timer set for Monday, 2026/03/02 10:31:01 (1 hour, 1 minute, 1 second) "
                  "...");
        EXPECT_EQ(TimerLine("Update", kStart + 5 * 86400 * os::kTicksPerSecond, 432000),
                  "Update timer set for Saturday, 2026/03/07 09:30:00 (120 hours) ...");
    }
    {
        // Ten hours west of UTC: the evening before, a Sunday.
        SCOPED_TIME_ZONE zone("WEX+10");
        EXPECT_EQ(TimerLine("Check-in", kStart + 60 * os::kTicksPerSecond, 60),
                  "Check-in timer set for Sunday, 2026/03/01 23:31:00 (60 seconds) ...");
    }
    {
        SCOPED_TIME_ZONE zone("WEX-5:30");
        EXPECT_EQ(TimerLine("Check-in", kStart, 0),
                  "Check-in timer set for Monday, 2026/03/02 15:00:00 (now) ...");
    }
}

TEST_F(ServiceTimerTest, AOneShotTimerFiresAtItsDueTime) {
    SCOPED_TIME_ZONE zone("UTC0");
    os::Timer timer(os::EventType::Synchronization);
    const uint64_t due = os::QuerySystemTime() + 3600 * os::kTicksPerSecond;
    ASSERT_TRUE(SetServiceTimer("Check-in", timer, due, 3600, 0));
    EXPECT_EQ(log_.All(), (std::vector<std::string>{
                              "Check-in timer set for Monday, 2026/03/02 10:30:00 (60 minutes) ...",
                          }));
    ASSERT_TRUE(clock_.Advance(seconds(3599)));
    EXPECT_EQ(os::WaitForSingleObject(timer, 0), os::WAIT_TIMEOUT);
    ASSERT_TRUE(clock_.Advance(seconds(1)));
    EXPECT_EQ(os::WaitForSingleObject(timer, 0), os::WAIT_OBJECT_0);
    ASSERT_TRUE(clock_.Advance(seconds(7200)));
    EXPECT_EQ(os::WaitForSingleObject(timer, 0), os::WAIT_TIMEOUT);
    EXPECT_EQ(clock_.NextDeadline(), 0u);
}

TEST_F(ServiceTimerTest, APeriodReArmsTheTimer) {
    os::Timer timer(os::EventType::Synchronization);
    const uint64_t due = os::QuerySystemTime() + 60 * os::kTicksPerSecond;
    ASSERT_TRUE(SetServiceTimer("Check-in", timer, due, 60, 21600));
    // The line is the one TimerLine gives, in whatever zone the machine has.
    EXPECT_EQ(log_.All(), (std::vector<std::string>{TimerLine("Check-in", due, 60)}));
    ASSERT_TRUE(clock_.Advance(seconds(60)));
    EXPECT_EQ(os::WaitForSingleObject(timer, 0), os::WAIT_OBJECT_0);
    EXPECT_EQ(os::WaitForSingleObject(timer, 0), os::WAIT_TIMEOUT);
    for (int period = 0; period < 3; ++period) {
        ASSERT_TRUE(clock_.Advance(seconds(21599)));
        EXPECT_EQ(os::WaitForSingleObject(timer, 0), os::WAIT_TIMEOUT);
        ASSERT_TRUE(clock_.Advance(seconds(1)));
        EXPECT_EQ(os::WaitForSingleObject(timer, 0), os::WAIT_OBJECT_0);
    }
    timer.Cancel();
}

TEST_F(ServiceTimerTest, ADueTimeInThePastFiresAtOnce) {
    os::Timer timer(os::EventType::Notification);
    ASSERT_TRUE(
        SetServiceTimer("Update", timer, os::QuerySystemTime() - os::kTicksPerSecond, 0, 0));
    EXPECT_TRUE(timer.IsSet());
    EXPECT_EQ(log_.CountStartingWith("Update timer set for "), 1u);
    EXPECT_TRUE(log_.All().at(0).ends_with(" (now) ..."));
}

TEST_F(ServiceTimerTest, ATimerThatCannotBeSetIsLoggedAndLeftAlone) {
    os::Timer timer(os::EventType::Notification);
    const uint64_t due = os::QuerySystemTime() + 60 * os::kTicksPerSecond;
    os::SetLastError(os::ERROR_SUCCESS);
    // A period past 32 bits of milliseconds.
    EXPECT_FALSE(SetServiceTimer("Check-in", timer, due, 60, 5'000'000));
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
    // An absolute time past the signed range.
    EXPECT_FALSE(SetServiceTimer("Update", timer, UINT64_MAX, 60, 0));
    EXPECT_EQ(log_.All(),
              (std::vector<std::string>{
                  "Unable to set the Check-in timer. The parameter is incorrect. Error code = 87.",
                  "Unable to set the Update timer. The parameter is incorrect. Error code = 87.",
              }));
    EXPECT_EQ(clock_.NextDeadline(), 0u);
    ASSERT_TRUE(clock_.Advance(seconds(120)));
    EXPECT_FALSE(timer.IsSet());
}

}  // namespace
}  // namespace wexo::svc
