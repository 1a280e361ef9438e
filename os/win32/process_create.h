// Process creation as the service asks for it (CreateProcess from a command line alone) over
// posix_spawn: the program is the command line's first token, a Windows path on the C: drive, and
// the process object is signalled when the program ends, with its exit code readable then.
//
// A service's job, on Linux, is the systemd unit it runs as: whatever it starts shares the unit's
// control group and is ended with it when the unit stops. CREATE_BREAKAWAY_FROM_JOB starts the
// program outside it, as a transient service unit of its own (transient_unit.h) whose main
// process's exit status is read back from systemd; outside systemd it changes nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/sync.h"

namespace os {

struct PROCESS_INFORMATION;
class STARTED_PROCESS;

// The creation flag: the program is not part of the starter's job.
constexpr uint32_t CREATE_BREAKAWAY_FROM_JOB = 0x01000000;

namespace detail {
// For the ways of starting a program: its process object, and the report of its end (the exit
// status, or nothing when it cannot be known), which signals the object.
std::shared_ptr<STARTED_PROCESS> NewStartedProcess(uint32_t processId);
void FinishStartedProcess(STARTED_PROCESS& process, std::optional<uint32_t> exitCode);
}  // namespace detail

// A started program. The object outlives the handle of whoever started it: closing the handle
// (dropping the last reference) neither waits for nor ends the program, as on Windows.
class STARTED_PROCESS final {
  public:
    // Signalled (manual reset) once the program has ended and its status was collected.
    Event& Ended() { return ended_; }
    uint32_t ProcessId() const { return processId_; }
    // The exit status once ended; nothing while it runs, after a signal ended it, or when the
    // status could not be collected (the system reaped it first).
    std::optional<uint32_t> ExitCode() const;

  private:
    friend std::shared_ptr<STARTED_PROCESS> detail::NewStartedProcess(uint32_t);
    friend void detail::FinishStartedProcess(STARTED_PROCESS&, std::optional<uint32_t>);
    explicit STARTED_PROCESS(uint32_t processId) : processId_(processId) {}
    void Finish(std::optional<uint32_t> exitCode);

    const uint32_t processId_;
    Event ended_{EventType::Notification, false};
    mutable std::mutex lock_;
    std::optional<uint32_t> exitCode_;
};

struct PROCESS_INFORMATION {
    std::shared_ptr<STARTED_PROCESS> process;
    uint32_t processId = 0;
    // A Linux process's first thread has the process's ID.
    uint32_t threadId = 0;
    // With CREATE_BREAKAWAY_FROM_JOB: the transient unit the program runs as; empty when it was
    // started as the starter's own child, and then `breakaway` says why (not under systemd, or
    // what systemd answered).
    std::string unitName;
    std::string breakaway;
};

// The argument vector Windows gives a program for a command line: the first token ends at the
// next blank, or at the closing quote of a quoted one (no escapes in it); later tokens follow the
// C run-time's rules (2n backslashes and a quote: n backslashes and a quote that opens or closes,
// 2n+1 backslashes and a quote: n backslashes and a literal quote).
std::vector<std::string> CommandLineToArgv(std::string_view commandLine);

// Starts the command line's program with the command line's arguments, in `currentDirectory`
// (Windows form), without inheriting handles: the standard handles are the null device and
// nothing else is open in it. It runs in a session of its own, so a stop of the starter's
// terminal or process group does not reach it. False with the last error: ERROR_FILE_NOT_FOUND
// for a program that is not there or a path outside the C: drive, ERROR_ACCESS_DENIED for one
// that may not be run, 193 for a file that is not a program, ERROR_DIRECTORY (267) for a current
// directory that is not one.
//
// With CREATE_BREAKAWAY_FROM_JOB, under systemd, the program is the main process of a transient
// unit (its environment the starter's, without what systemd gave the starter's own unit) and
// its process object is signalled when that unit has ended; a unit that cannot be started for a
// reason of the bus or the manager (not of the program) falls back to a child of the starter.
bool CreateProcess(std::string_view commandLine, std::string_view currentDirectory,
                   PROCESS_INFORMATION* information, uint32_t creationFlags = 0);

}  // namespace os
