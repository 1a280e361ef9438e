#include "service/host/worker_threads.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <system_error>

#include "os/core/clock.h"
#include "os/core/status.h"
#include "service/support/debug_log.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

constexpr size_t kMaxBatch = os::MAXIMUM_WAIT_OBJECTS;

std::atomic<THREAD_GROUP_WAIT> gWait{nullptr};
std::atomic<THREAD_START_CHECK> gStartCheck{nullptr};

// One thread being stopped, with what its lines say about it.
struct STOPPING {
    std::shared_ptr<os::Thread> thread;
    const std::string* name;
    unsigned long number;  // 1-based within an array group; 0 outside one
};

const char* Threads(size_t count) {
    return count == 1 ? "thread" : "threads";
}

// The lines of a batch that did not end as a whole: each thread that still runs is "terminated",
// the others have stopped.
void ReportOverrun(std::span<const STOPPING> batch) {
    for (const STOPPING& entry : batch) {
        const bool ended = entry.thread->HasEnded();
        if (!ended) {
            // Windows would call TerminateThread here. Linux has no safe way to kill a thread
            // (one holding a lock would leave it held), so the thread is only logged as
            // terminated: its handle is dropped with the others below (the os::Thread detaches
            // from it) and it ends on its own at its next look at its stop objects.
            if (entry.number != 0) {
                DebugPrint("Terminating %s thread #%lu", entry.name->c_str(), entry.number);
            } else {
                DebugPrint("Terminating %s thread", entry.name->c_str());
            }
        } else if (entry.number != 0) {
            DebugPrint("%s thread #%lu stopped", entry.name->c_str(), entry.number);
        } else {
            DebugPrint("%s thread stopped", entry.name->c_str());
        }
    }
}

}  // namespace

bool StartGroupThreadWith(THREAD_GROUP& group,
                          const std::function<std::shared_ptr<os::Thread>()>& start) {
    uint32_t error = os::ERROR_SUCCESS;
    try {
        if (THREAD_START_CHECK check = gStartCheck.load()) {
            error = check(group.name);
        }
        if (error == os::ERROR_SUCCESS) {
            // The slot is made before the thread exists, so that a started thread always finds
            // room.
            if (group.threads.size() == group.threads.capacity()) {
                group.threads.reserve(std::max<size_t>(4, 2 * group.threads.size()));
            }
            if (auto thread = start()) {
                group.threads.push_back(std::move(thread));
                return true;
            }
            error = os::ERROR_NOT_ENOUGH_MEMORY;
        }
    } catch (const std::system_error& failure) {
        error = os::Win32ErrorFromErrno(failure.code().value());
    } catch (const std::bad_alloc&) {
        error = os::ERROR_NOT_ENOUGH_MEMORY;
    }
    os::SetLastError(error);
    return false;
}

bool StartGroupThread(THREAD_GROUP& group, std::function<void()> body) {
    return StartGroupThreadWith(group, [&group, &body] {
        return os::Thread::Start(
            [name = group.name, body = std::move(body)] {
                DebugPrint("%s thread started", name.c_str());
                if (body) {
                    body();
                }
            },
            group.name);
    });
}

void StopThreadGroups(uint32_t budgetMs, std::span<THREAD_GROUP* const> groups) {
    // 1. Each group is told to stop before its threads are collected, in the order given.
    std::vector<STOPPING> stopping;
    for (THREAD_GROUP* group : groups) {
        if (group == nullptr) {
            continue;
        }
        if (group->stop) {
            group->stop();
        }
        unsigned long number = 0;
        for (const auto& thread : group->threads) {
            ++number;
            if (!thread) {
                continue;
            }
            if (group->array) {
                DebugPrint("Stopping %s thread #%lu", group->name.c_str(), number);
                stopping.push_back({thread, &group->name, number});
            } else {
                DebugPrint("Stopping %s thread", group->name.c_str());
                stopping.push_back({thread, &group->name, 0});
            }
        }
    }

    // 2. Batches of at most 64 under one budget, kept in 100 ns units of the active clock.
    THREAD_GROUP_WAIT wait = gWait.load();
    if (wait == nullptr) {
        wait = &os::WaitForMultipleObjects;
    }
    uint64_t remaining = static_cast<uint64_t>(budgetMs) * os::kTicksPerMillisecond;
    std::vector<os::DispatcherObject*> objects;
    objects.reserve(std::min(kMaxBatch, stopping.size()));
    for (size_t start = 0; start < stopping.size(); start += kMaxBatch) {
        const std::span<const STOPPING> batch(stopping.data() + start,
                                              std::min(kMaxBatch, stopping.size() - start));
        const auto count = static_cast<unsigned long>(batch.size());
        const auto remainingMs = static_cast<uint32_t>(
            std::min<uint64_t>(remaining / os::kTicksPerMillisecond, os::INFINITE - 1));
        if (remainingMs == 0) {
            // The budget is used up: this batch is not waited for.
            ReportOverrun(batch);
            continue;
        }
        objects.clear();
        for (const STOPPING& entry : batch) {
            objects.push_back(entry.thread.get());
        }
        DebugPrint("Waiting %.3f seconds for %lu %s to stop ...", remainingMs / 1000.0, count,
                   Threads(batch.size()));
        os::SetLastError(os::ERROR_SUCCESS);
        const uint64_t begin = os::QueryInterruptTime();
        const uint32_t result = wait(objects, true, remainingMs);
        const uint32_t error = os::GetLastError();
        const uint64_t spent = os::QueryInterruptTime() - begin;
        remaining -= std::min(remaining, spent);

        if (result >= os::WAIT_OBJECT_0 && result < os::WAIT_OBJECT_0 + batch.size()) {
            DebugPrint("%lu %s stopped normally in %.3f seconds", count, Threads(batch.size()),
                       static_cast<double>(spent) / os::kTicksPerSecond);
            continue;
        }
        if (result == os::WAIT_TIMEOUT) {
            // The wait ran out the budget, whatever the clock's rounding says.
            remaining = 0;
        } else if (result == os::WAIT_FAILED) {
            // os/ waits fail only for arguments they cannot take, without a last error.
            const uint32_t code = error != os::ERROR_SUCCESS ? error : os::ERROR_INVALID_PARAMETER;
            DebugPrint("Failure waiting for %lu %s to complete. %s. Error code = %lu.", count,
                       Threads(batch.size()), os::SystemMessageText(code).c_str(),
                       static_cast<unsigned long>(code));
        } else {
            DebugPrint("Unexpected result = %ld waiting for %lu %s to stop",
                       static_cast<long>(result), count, Threads(batch.size()));
        }
        ReportOverrun(batch);
    }

    // 3. Our handles go; a thread that still runs holds its own and ends on its own.
    objects.clear();
    stopping.clear();
    for (THREAD_GROUP* group : groups) {
        if (group != nullptr) {
            group->threads.clear();
        }
    }
}

std::string DurationText(uint32_t seconds) {
    std::string text;
    auto add = [&text](uint32_t value, const char* unit) {
        if (!text.empty()) {
            text += ", ";
        }
        text += std::to_string(value);
        text += ' ';
        text += unit;
        if (value != 1) {
            text += 's';
        }
    };
    uint32_t rest = seconds;
    if (rest > 3600) {
        add(rest / 3600, "hour");
        rest %= 3600;
    }
    if (rest > 60) {
        add(rest / 60, "minute");
        rest %= 60;
    }
    if (rest != 0) {
        add(rest, "second");
    }
    return text;
}

std::string TimerLine(const char* name, uint64_t dueSystemTime, uint32_t secondsFromNow) {
    static constexpr const char* kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                "Thursday", "Friday", "Saturday"};
    const os::CALENDAR_TIME local = os::SystemTimeToLocal(dueSystemTime);
    const char* weekday = local.dayOfWeek < 7 ? kWeekdays[local.dayOfWeek] : "?";
    const std::string duration = secondsFromNow == 0 ? "now" : DurationText(secondsFromNow);
    return FormatText("%s timer set for %s, %04u/%02u/%02u %02u:%02u:%02u (%s) ...", name, weekday,
                      unsigned{local.year}, unsigned{local.month}, unsigned{local.day},
                      unsigned{local.hour}, unsigned{local.minute}, unsigned{local.second},
                      duration.c_str());
}

bool SetServiceTimer(const char* name, os::Timer& timer, uint64_t dueSystemTime,
                     uint32_t secondsFromNow, uint32_t periodSeconds) {
    // SetWaitableTimer takes the due time as a signed count and the period in milliseconds: an
    // absolute time past the signed range or a period past 32 bits of milliseconds is refused.
    uint32_t error = os::ERROR_SUCCESS;
    if (dueSystemTime > static_cast<uint64_t>(INT64_MAX) ||
        periodSeconds > (os::INFINITE - 1) / 1000) {
        error = os::ERROR_INVALID_PARAMETER;
    }
    if (error != os::ERROR_SUCCESS) {
        DebugPrint("Unable to set the %s timer. %s. Error code = %lu.", name,
                   os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
        os::SetLastError(error);
        return false;
    }
    timer.Set(static_cast<int64_t>(dueSystemTime), periodSeconds * 1000);
    DebugWriteText(0, TimerLine(name, dueSystemTime, secondsFromNow));
    return true;
}

void SetThreadGroupWaitForTesting(THREAD_GROUP_WAIT wait) {
    gWait.store(wait);
}

void SetThreadStartCheckForTesting(THREAD_START_CHECK check) {
    gStartCheck.store(check);
}

}  // namespace wexo::svc
