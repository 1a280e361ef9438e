// The file protection of an installed program folder on a real Linux machine, where the other
// processes do not issue their file operations through this face but straight to the kernel.
//
// Linux lets a permission event refuse only opens (and reads and executions); create, rename,
// delete, link, truncate, chmod and time changes can at most be reported after they happened. So
// two mechanisms stand together while protection is on:
// - The immutable attribute (FS_IMMUTABLE_FL) on every file and folder of the tree but log files:
//   the kernel then refuses writes, truncation, renames, deletes, hard links, attribute and time
//   changes of them and new names in the folders, to every process, before any permission event.
//   Only attributes this guard set are lifted again; ones that were there stay. Each one it sets
//   carries a mark (the extended attribute "trusted.wexo.held"), so a guard started after a
//   crash of the one before takes the leftovers as its own and lifts them in turn.
// - fanotify permission events (FAN_OPEN_PERM) on every folder of the tree: an open for writing or
//   truncating by a process other than the exempt one is refused (EPERM), with a report. This
//   holds where the attribute cannot be set, or after a privileged process took it off a file.
//   The open's flags are read from the opening thread's system call (/proc/<pid>/syscall), which
//   the kernel holds still while the listener decides.
// Log files ("*.log") stay writable, as the driver's own filter leaves them.
//
// What stays open on Linux: a folder above the program folder can be renamed (making /usr or /opt
// immutable would break the machine's own updates); a process with CAP_LINUX_IMMUTABLE can lift
// the attribute of a folder and then add, remove or rename its entries (only the opens are still
// seen); hard links made before protection was on are other names of the same files that the
// attribute covers, but an open through them is judged by the event like any other.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace os {

class PROGRAM_GUARD {
  public:
    // Whether this machine lets the guard run (fanotify permission events); why not otherwise.
    static bool Available(std::string* why);

    // `exempt`: the process that may change the folder (the registered service) besides this one.
    // `refused`: told of each refused open (pid, the file's path, the open's flags).
    using EXEMPT = std::function<bool(uint32_t processId)>;
    using REFUSED = std::function<void(uint32_t processId, const std::string& path, int flags)>;

    PROGRAM_GUARD(EXEMPT exempt, REFUSED refused);
    ~PROGRAM_GUARD();
    PROGRAM_GUARD(const PROGRAM_GUARD&) = delete;
    PROGRAM_GUARD& operator=(const PROGRAM_GUARD&) = delete;

    // Protects `folder` (a Linux path; empty: nothing) when `on`, else lifts the protection. A
    // change of folder lifts the old one first. False with the reason when the folder cannot be
    // watched (nothing is then held).
    bool Protect(const std::string& folder, bool on, std::string* why);
    // Lifts everything and stops the listener.
    void Stop();
    // For tests: forgets what it holds without lifting it, as a killed host leaves it.
    void LeaveHeldForTest();

    // What the guard did, for tests and the host's lines.
    struct COUNTS {
        uint64_t allowed = 0;
        uint64_t refused = 0;
        uint64_t unknown = 0;    // opens whose flags could not be read (let through)
        uint64_t immutable = 0;  // attributes set and held now
    };
    COUNTS Counts() const;

  private:
    struct STATE;
    std::unique_ptr<STATE> state_;
};

}  // namespace os
