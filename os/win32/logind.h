// logind's events as service controls: a watcher of org.freedesktop.login1 on the system bus
// (sd-bus), started and stopped with the control handler's registration (service_control.h).
//
//   PrepareForShutdown(true)      -> SERVICE_CONTROL_SHUTDOWN
//   PrepareForShutdown(false)     -> nothing (a cancelled shutdown has no Windows event)
//   PrepareForSleep(true)         -> SERVICE_CONTROL_POWEREVENT / PBT_APMSUSPEND
//   PrepareForSleep(false)        -> SERVICE_CONTROL_POWEREVENT / PBT_APMRESUMEAUTOMATIC
//   SessionNew                    -> SERVICE_CONTROL_SESSIONCHANGE / WTS_SESSION_LOGON
//   SessionRemoved                -> SERVICE_CONTROL_SESSIONCHANGE / WTS_SESSION_LOGOFF
//   Lock / Unlock of a session    -> SERVICE_CONTROL_SESSIONCHANGE / WTS_SESSION_LOCK / _UNLOCK
//
// Lock and Unlock are the signals logind sends a session's screen locker (loginctl lock-session,
// lock-sessions); a locker that locks on its own, without logind asking, is not seen.
//
// While it runs, the watcher holds a "delay" inhibitor lock on sleep and shutdown, so the machine
// waits (up to logind's InhibitDelayMaxSec) until the handler has had the SUSPEND or SHUTDOWN
// event; the lock is given back after that delivery and taken again on resume. Without the right
// to take it (not root) the events still come, without the delay.
//
// Without a system bus (a container) or without logind on it, the watcher writes one line through
// the control-source logger and the program runs without these events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/win32/service_control.h"

namespace os {

// Where the control sources' few lines go (default: one line on stderr). Returns the previous
// logger; null restores the default.
using ControlSourceLogger = std::function<void(std::string_view line)>;
ControlSourceLogger SetControlSourceLogger(ControlSourceLogger logger);
void LogControlSourceLine(std::string_view line);

// A signal of logind as the watcher reads it from the bus.
enum class LOGIND_SIGNAL_KIND {
    PrepareForShutdown,
    PrepareForSleep,
    SessionNew,
    SessionRemoved,
    SessionLock,
    SessionUnlock,
};
struct LOGIND_SIGNAL {
    LOGIND_SIGNAL_KIND kind = LOGIND_SIGNAL_KIND::PrepareForShutdown;
    bool start = false;     // the boolean of PrepareForShutdown / PrepareForSleep
    std::string sessionId;  // logind's session id (the session signals)
    std::string userName;   // the session's "Name" property, when it could be read
};

// A control to deliver. Data() is what the handler receives as its eventData.
struct SERVICE_CONTROL_EVENT {
    uint32_t control = 0;
    uint32_t eventType = 0;
    bool hasSession = false;
    WTSSESSION_NOTIFICATION session;
    const void* Data() const { return hasSession ? &session : nullptr; }
};

// The Windows session id of a logind session id: the number itself when the id is a decimal
// number below 2^31 ("2" -> 2); any other id ("c1", "10000000000", "") -> a stable FNV-1a hash of
// the id's bytes with the top bit set (0x80000000 | hash), so the two kinds never collide and a
// session keeps its number across logon, lock, unlock and logoff.
uint32_t LogindSessionNumber(std::string_view sessionId);

// The mapping above; nothing for PrepareForShutdown(false).
std::optional<SERVICE_CONTROL_EVENT> MapLogindSignal(const LOGIND_SIGNAL& signal);

// Where the watcher hands its controls (the control handler's registration delivers them).
using ControlSink =
    std::function<void(uint32_t control, uint32_t eventType, const void* eventData)>;

// What the watcher calls for each signal it reads: maps it and, when it maps, calls the sink.
void DispatchLogindSignal(const LOGIND_SIGNAL& signal, const ControlSink& sink);

// A running source of controls with a thread of its own.
class CONTROL_SOURCE {
  public:
    virtual ~CONTROL_SOURCE() = default;
    // Tells the source to stop; does not wait. The source calls its sink no more once it has
    // seen the request (a call in progress finishes).
    virtual void RequestStop() = 0;
    // Waits for the source's thread to end (a thread joining itself detaches instead).
    virtual void Join() = 0;
};

// Starts the sd-bus watcher: its thread opens the system bus, subscribes to the signals above and
// calls the sink for each. Never fails: without a bus it logs its line and its thread ends.
std::unique_ptr<CONTROL_SOURCE> StartLogindWatcher(ControlSink sink);

// How the control handler's registration starts its logind source (default: StartLogindWatcher).
// Tests install their own (or null: no logind source). Returns the previous starter.
using ControlSourceStarter = std::function<std::unique_ptr<CONTROL_SOURCE>(ControlSink sink)>;
ControlSourceStarter SetLogindSourceStarter(ControlSourceStarter starter);
ControlSourceStarter DefaultLogindSourceStarter();

namespace detail {
// Starts the logind source with the starter in place (null when the starter is null or makes
// none). For the control handler's registration.
std::unique_ptr<CONTROL_SOURCE> StartLogindSource(ControlSink sink);
}  // namespace detail

}  // namespace os
