// The service control manager's face of the program: the dispatcher, the control handler and the
// service status, over systemd. A Type=notify unit starts the program with NOTIFY_SOCKET set; the
// dispatcher then runs the service's main function and each status the service sets becomes an
// sd_notify datagram. Controls come from the process's own sources, each on a thread of its own:
// SIGTERM and SIGINT become SERVICE_CONTROL_STOP, logind's shutdown, sleep and session signals
// become SHUTDOWN, POWEREVENT and SESSIONCHANGE (os/win32/logind.h). Every delivery runs the one
// installed handler through DeliverServiceControl, one delivery at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/status.h"

namespace os {

// Controls (the dwControl of a handler).
constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;
constexpr uint32_t SERVICE_CONTROL_POWEREVENT = 13;
constexpr uint32_t SERVICE_CONTROL_SESSIONCHANGE = 14;

// Event types of SERVICE_CONTROL_POWEREVENT.
constexpr uint32_t PBT_APMSUSPEND = 4;
constexpr uint32_t PBT_APMRESUMESUSPEND = 7;
constexpr uint32_t PBT_APMRESUMEAUTOMATIC = 18;
constexpr uint32_t PBT_POWERSETTINGCHANGE = 0x8013;

// Event types of SERVICE_CONTROL_SESSIONCHANGE.
constexpr uint32_t WTS_CONSOLE_CONNECT = 1;
constexpr uint32_t WTS_CONSOLE_DISCONNECT = 2;
constexpr uint32_t WTS_SESSION_LOGON = 5;
constexpr uint32_t WTS_SESSION_LOGOFF = 6;
constexpr uint32_t WTS_SESSION_LOCK = 7;
constexpr uint32_t WTS_SESSION_UNLOCK = 8;

// Service types and states.
constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr uint32_t SERVICE_STOPPED = 1;
constexpr uint32_t SERVICE_START_PENDING = 2;
constexpr uint32_t SERVICE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_RUNNING = 4;
constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
constexpr uint32_t SERVICE_PAUSED = 7;

// Controls a service accepts (controlsAccepted).
constexpr uint32_t SERVICE_ACCEPT_STOP = 0x1;
constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x4;
constexpr uint32_t SERVICE_ACCEPT_POWEREVENT = 0x40;
constexpr uint32_t SERVICE_ACCEPT_SESSIONCHANGE = 0x80;

// Win32 errors of this face that os/core/status.h does not name.
constexpr uint32_t ERROR_INVALID_DATA = 13;
constexpr uint32_t ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr uint32_t ERROR_SERVICE_SPECIFIC_ERROR = 1066;

struct SERVICE_STATUS {
    uint32_t serviceType = 0;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

// Event data of SERVICE_CONTROL_SESSIONCHANGE: the session and, on Linux, its user's name when
// known (empty otherwise).
struct WTSSESSION_NOTIFICATION {
    uint32_t sessionId = 0;
    std::string userName;
};
// Event data of PBT_POWERSETTINGCHANGE is not produced on Linux: no source sends that event type.

using SERVICE_STATUS_HANDLE = uint64_t;
// The handler: its result is NO_ERROR (0) for a control it handled, ERROR_CALL_NOT_IMPLEMENTED for
// one it does not handle. eventData is null but for SESSIONCHANGE (a WTSSESSION_NOTIFICATION).
using HandlerEx =
    std::function<uint32_t(uint32_t control, uint32_t eventType, const void* eventData)>;
using ServiceMainFunction = std::function<void(std::vector<std::string> arguments)>;

// When the process was started by systemd as a notify service (NOTIFY_SOCKET set in the
// environment), runs serviceMain on the calling thread with the arguments {serviceName} and
// returns true when it returns; a control handler the service left installed is deregistered
// then. Otherwise returns false with last error 1063 (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), as
// a program not started by the service control manager sees it. A second dispatcher while one
// runs fails with ERROR_SERVICE_ALREADY_RUNNING; no function or no name, ERROR_INVALID_PARAMETER.
bool StartServiceCtrlDispatcher(std::string_view serviceName, ServiceMainFunction serviceMain);

// Installs the control handler (one per process; a second call replaces it and the handle it
// returned) and starts the control sources when they do not run yet: SIGTERM and SIGINT become
// SERVICE_CONTROL_STOP, logind's events are described in os/win32/logind.h. Returns a non-zero
// handle, or 0 with the last error (ERROR_INVALID_PARAMETER without a handler, ERROR_INVALID_NAME
// without a name, ERROR_SERVICE_DOES_NOT_EXIST when a dispatcher runs under another name, the
// mapped errno when a source cannot start).
//
// The last status is reset to SERVICE_START_PENDING accepting nothing, and from then on the
// sources deliver only what the last status accepts, as the service control manager does: a
// SHUTDOWN, POWEREVENT or SESSIONCHANGE event the status does not accept is dropped; a STOP
// (a signal cannot be refused) is held until a status accepts SERVICE_ACCEPT_STOP, then delivered
// once, and dropped when the service reports SERVICE_STOPPED first.
//
// The sources deliver on their own threads, acting for the process the registering thread acted
// for (os/core/process.h).
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(std::string_view serviceName, HandlerEx handler);

// The same control sources without a service manager: a program run in the foreground ("as an
// application") is stopped by SIGTERM or Ctrl-C through the same handler. Every control a source
// produces is delivered (there is no status to accept it). Replaces an installed handler (and
// invalidates a service handle). Returns false with the last error.
bool RegisterApplicationControlHandler(HandlerEx handler);

// Removes the handler, invalidates the service handle, stops the control sources and joins their
// threads: the signal dispositions that were in place before the registration come back, and no
// source thread outlives the call. A delivery in progress on another thread is waited for. Called
// from within a handler (a thread cannot join itself), the sources are stopped and the handler is
// gone at once; their threads are joined when the outermost DeliverServiceControl of a caller's
// thread returns, by the next registration or deregistration, or at process exit.
void DeregisterControlHandler();

// Under systemd (a dispatcher started with NOTIFY_SOCKET): every status is sent as one sd_notify
// datagram; a pending state with a wait hint also sends "EXTEND_TIMEOUT_USEC=<waitHint * 1000>"
// (the time by which the service promises its next status):
//   START_PENDING  "STATUS=start pending" (", check point N" when N is not 0)
//   RUNNING        "READY=1", "STATUS=running"
//   STOP_PENDING   "STOPPING=1", "STATUS=stop pending" (and the check point)
//   STOPPED        "STATUS=stopped"; with a failure "STATUS=stopped: <message> (error N)" or
//                  "STATUS=stopped: service-specific error N", and "EXIT_STATUS=<status>" with
//                  ServiceExitStatus (systemd 254 and later record it; older ones ignore it). No
//                  ERRNO=: Win32 codes are not errno values and would be shown as the wrong text.
//   pause states   "STATUS=continue pending", "pause pending", "paused"
// Without systemd the status is only kept. An invalid handle: false, ERROR_INVALID_HANDLE; a state
// outside 1..7: false, ERROR_INVALID_DATA. A datagram that cannot be sent: the status is kept and
// the result is false with the mapped errno.
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status);

// The last status set (or the START_PENDING a registration starts with); it outlives the
// deregistration, so the program can map its exit with ServiceExitStatus.
SERVICE_STATUS LastServiceStatus();

// The process exit status for a final SERVICE_STATUS:
//   win32ExitCode 0                          -> 0 (serviceSpecificExitCode is then ignored)
//   1066 with a service-specific code 1..255 -> that code
//   any other failure                        -> 1
// Never 0 for a failure: an exit status is 8 bits, and a code such as 256 or 1063 would lose its
// meaning (or become 0) if cut to its low byte. Note that systemd names the statuses 200..243 as
// its own failures; a service-specific code in that range is shown with systemd's name.
int ServiceExitStatus(const SERVICE_STATUS& status);

// Power-setting notifications (RegisterPowerSettingNotification) for a setting named by its GUID
// text. Linux has no such settings: a registration on a valid status handle succeeds and no
// change is ever reported (power events come from logind as suspend and resume). 0 with
// ERROR_INVALID_HANDLE for an invalid status handle, ERROR_INVALID_PARAMETER for an empty name.
using HPOWERNOTIFY = uint64_t;
HPOWERNOTIFY RegisterPowerSettingNotification(SERVICE_STATUS_HANDLE handle,
                                              std::string_view settingGuid);
bool UnregisterPowerSettingNotification(HPOWERNOTIFY notification);

// Test hook and the one delivery path every source uses: runs the installed handler with these
// arguments on the calling thread, serialised with every other delivery (a handler may deliver
// again from within itself on the same thread); returns its result, or ERROR_CALL_NOT_IMPLEMENTED
// when no handler is installed.
uint32_t DeliverServiceControl(uint32_t control, uint32_t eventType, const void* eventData);

}  // namespace os
