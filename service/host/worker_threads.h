// The service's worker threads in named groups, the one stop procedure that ends them all within a
// single time budget, and the "set" helper of the service's waitable timers with its log line.
// A thread is never killed (docs/architecture.md, "Threads are stopped, never killed"): one that
// overruns the budget is logged as terminated, its handle is dropped and it ends on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "os/core/sync.h"

namespace wexo::svc {

struct THREAD_GROUP {
    std::string name;                                  // "Settings", "Service Call", ...
    std::function<void()> stop;                        // the group's stop callback (may be empty)
    std::vector<std::shared_ptr<os::Thread>> threads;  // the slots, in start order
    bool array = false;  // an array group: threads are named "#n" (from 1) in lines
};

// Starts one thread of the group (an os::Thread named after the group); its handle goes into the
// next slot. The thread writes "<name> thread started" when it begins, then runs body. Returns
// false, with nothing added and the reason as the last error (os::GetLastError), when the thread
// cannot be started.
bool StartGroupThread(THREAD_GROUP& group, std::function<void()> body);
// The same for a thread another module starts (`start` returns it, null or throws when it cannot).
bool StartGroupThreadWith(THREAD_GROUP& group,
                          const std::function<std::shared_ptr<os::Thread>()>& start);

// Stops the groups in order within one budget of budgetMs milliseconds on the active clock: each
// group's stop callback, then its "Stopping" lines; then waits for the threads in batches of at
// most 64 while the budget lasts. Threads still running when it is spent are logged as
// terminated and left to end on their own. Every slot is cleared. Null group pointers are skipped.
void StopThreadGroups(uint32_t budgetMs, std::span<THREAD_GROUP* const> groups);

// "1 hour, 1 minute, 1 second": hours only above 3600 seconds, minutes of the rest only above 60,
// seconds of the rest when non-zero; "" for 0.
std::string DurationText(uint32_t seconds);

// "<name> timer set for <weekday>, yyyy/mm/dd hh:mm:ss (<duration or now>) ..." with the due time
// in local time.
std::string TimerLine(const char* name, uint64_t dueSystemTime, uint32_t secondsFromNow);

// Sets the timer to the absolute system time dueSystemTime, re-armed every periodSeconds (0: one
// shot), and writes the timer line. On failure (a due time or a period the timer cannot take)
// writes "Unable to set the <name> timer. ..." with the error, sets the last error and returns
// false.
bool SetServiceTimer(const char* name, os::Timer& timer, uint64_t dueSystemTime,
                     uint32_t secondsFromNow, uint32_t periodSeconds);

// For tests: the wait StopThreadGroups uses (WaitForMultipleObjects's signature); null restores
// os::WaitForMultipleObjects. Lets a test give the results a thread wait does not produce here.
using THREAD_GROUP_WAIT = uint32_t (*)(std::span<os::DispatcherObject* const> objects, bool waitAll,
                                       uint32_t milliseconds);
void SetThreadGroupWaitForTesting(THREAD_GROUP_WAIT wait);

// For tests: asked before each thread start of a group; a non-zero error refuses the start with
// it, as a system without a thread to give would. Null: every start goes ahead.
using THREAD_START_CHECK = uint32_t (*)(const std::string& groupName);
void SetThreadStartCheckForTesting(THREAD_START_CHECK check);

}  // namespace wexo::svc
