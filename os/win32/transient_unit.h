// Programs started outside the starter's systemd unit: a transient service unit of their own,
// asked for over D-Bus (org.freedesktop.systemd1.Manager.StartTransientUnit), so that stopping,
// restarting or killing the starter's unit leaves them running.
//
// The unit is "wexo-<program>-<starter pid>-<n>.service" (the program's file name up to its first
// ".", in lower case), Type=exec (started once the program's execve succeeded; the start job
// fails when it did not), with the command line, the working directory, the starter's
// environment less what systemd set for the starter's own unit, and the null device as standard
// input, output and error. The unit is referenced by the starter's bus connection (AddRef) and
// collected once it has ended and that connection is gone, failed or not
// (CollectMode=inactive-or-failed): while the starter lives, the ended unit stays loaded and its
// main process's exit status (ExecMainCode, ExecMainStatus) can be read. A thread per program
// watches the unit: the unit's PropertiesChanged signals and a pidfd of its main process wake it,
// and it asks for the unit's state at least once a second; when the unit is inactive or failed
// the process object is signalled, with the exit status when the program exited (none when a
// signal ended it). When the starter stops first, systemd's journal keeps the unit's end and
// status ("Main process exited, code=exited, status=...").
//
// Why a service unit rather than a scope around a child of the starter: a scope takes the child
// only after it was started, so a program that stops the starter's unit at once could still be
// ended with it, and its status would be lost with the starter; a service unit is started by
// systemd itself, in its own control group from its first instruction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/win32/process_create.h"

struct sd_bus;

namespace os {

struct TRANSIENT_UNIT_START {
    enum class OUTCOME {
        STARTED,
        // The program did not start (the last error to give is `error`).
        FAILED,
        // No unit could be had (no systemd, no bus, a manager that refused): `note` says why.
        UNAVAILABLE,
    };
    OUTCOME outcome = OUTCOME::UNAVAILABLE;
    uint32_t error = 0;
    std::string note;
    std::string unitName;
    std::shared_ptr<STARTED_PROCESS> process;
    uint32_t processId = 0;
};

// Whether this process runs as a systemd unit: NOTIFY_SOCKET or INVOCATION_ID is set, or a test
// installed a manager.
bool RunsUnderServiceManager();

// `program` and `directory` are Linux paths, `arguments` the whole vector (the program's first).
// Ends within about ten seconds whatever the bus does.
TRANSIENT_UNIT_START StartTransientUnit(const std::string& program,
                                        const std::vector<std::string>& arguments,
                                        const std::string& directory);

// The connection to the service manager: the system bus, unless a test installed another (a
// connected bus it hands over, or a negative errno).
using ServiceManagerBusOpener = std::function<int(sd_bus** bus)>;

// Installs an opener while it lives; with one installed the process counts as running under the
// service manager.
class ScopedServiceManagerBus {
  public:
    explicit ScopedServiceManagerBus(ServiceManagerBusOpener opener);
    ~ScopedServiceManagerBus();
    ScopedServiceManagerBus(const ScopedServiceManagerBus&) = delete;
    ScopedServiceManagerBus& operator=(const ScopedServiceManagerBus&) = delete;

  private:
    ServiceManagerBusOpener previous_;
};

}  // namespace os
