// The service's reports to the system event log: its message table, the throttle that keeps a
// fault loop from flooding the log (30 events per fixed 60-second window), and the copy of every
// event, throttled or not, into the debug log.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>

#include "os/core/sync.h"
#include "os/win32/event_source.h"

namespace wexo::svc {

// Event identifiers of the message table. The top two bits give the severity.
constexpr uint32_t EVENT_SERVICE_STARTED = 0x40000001;
constexpr uint32_t EVENT_RESTART_FOR_UPDATE = 0x40000050;
constexpr uint32_t EVENT_CREATE_PROCESS_FAILED = 0x80000066;
constexpr uint32_t EVENT_MODULE_PATH_FAILED = 0x80000067;
constexpr uint32_t EVENT_DEVICE_IO_CONTROL_FAILED = 0x8000006A;
// Written at every start while "AcceptAnyServerCertificate" turns server verification off.
constexpr uint32_t EVENT_SERVER_VERIFICATION_OFF = 0x80000070;
// A software update refused because nothing verified where its package came from.
constexpr uint32_t EVENT_UPDATE_NOT_VERIFIED = 0x80000071;
constexpr uint32_t EVENT_ENUM_NETWORK_EVENTS_FAILED = 0x800001FC;
constexpr uint32_t EVENT_READ_EVENT_ERROR = 0x800001FD;
constexpr uint32_t EVENT_WRITE_EVENT_ERROR = 0x800001FE;
constexpr uint32_t EVENT_INVALID_START_PARAMETER = 0xC0000002;
constexpr uint32_t EVENT_REGISTER_CONTROL_HANDLER_FAILED = 0xC0000003;
constexpr uint32_t EVENT_SET_SERVICE_STATUS_FAILED = 0xC0000004;
constexpr uint32_t EVENT_START_DISPATCHER_FAILED = 0xC0000005;
constexpr uint32_t EVENT_CREATE_REGISTRY_KEY_FAILED = 0xC0000064;
constexpr uint32_t EVENT_OPEN_REGISTRY_KEY_FAILED = 0xC0000065;
constexpr uint32_t EVENT_CREATE_EVENT_FAILED = 0xC0000068;
constexpr uint32_t EVENT_OPEN_DEVICE_FAILED = 0xC0000069;
constexpr uint32_t EVENT_DRIVER_INTERFACE_MISMATCH = 0xC000006B;
constexpr uint32_t EVENT_SET_WAITABLE_TIMER_FAILED = 0xC000006C;
constexpr uint32_t EVENT_SET_REGISTRY_VALUE_FAILED = 0xC000006D;
// A worker thread of the service could not be started (the message table has no other).
constexpr uint32_t EVENT_CREATE_THREAD_FAILED = 0xC000006E;
constexpr uint32_t EVENT_WINSOCK_STARTUP_FAILED = 0xC00001F4;
constexpr uint32_t EVENT_WINSOCK_VERSION_MISMATCH = 0xC00001F5;
constexpr uint32_t EVENT_CREATE_SOCKET_FAILED = 0xC00001F6;
constexpr uint32_t EVENT_BIND_SOCKET_FAILED = 0xC00001F7;
constexpr uint32_t EVENT_CREATE_SOCKET_EVENT_FAILED = 0xC00001F8;
constexpr uint32_t EVENT_SEND_DATAGRAM_FAILED = 0xC00001F9;
constexpr uint32_t EVENT_SELECT_SOCKET_EVENT_FAILED = 0xC00001FA;
constexpr uint32_t EVENT_RECEIVE_DATAGRAM_FAILED = 0xC00001FB;

struct EVENT_MESSAGE {
    uint32_t id;
    const char* text;  // with the message compiler's %1.., %n, %% sequences
};

// The service's message table.
std::span<const EVENT_MESSAGE> ServiceMessageTable();
// The text of an identifier in a table, or null.
const char* FindEventMessage(std::span<const EVENT_MESSAGE> table, uint32_t id);
// The event type for an identifier's severity: EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE or
// EVENTLOG_INFORMATION_TYPE (success severity counts as information).
using os::EventTypeOf;

// Formats a message as the system's message formatter does with a width of 80: %1..%99 take the
// inserted strings (an insert beyond the strings given stays as it is written), %n is a line
// break, %% a percent sign, %r, %t, %b, %. and %! their characters, %0 ends the text; the text's
// own line breaks count as nothing; lines are wrapped at blanks to 80 characters (a longer word is
// cut); trailing blanks and line breaks are cut. Line breaks are "\n".
std::string FormatEventMessage(std::string_view text, std::span<const std::string> strings);

// Resource strings of the program.
constexpr uint32_t IDS_WARNING_CAPTION = 100;
constexpr uint32_t IDS_INVALID_ARGUMENT = 101;
// The text of a string-table entry, or null.
const char* LoadResourceString(uint32_t id);

class EVENT_LOG {
  public:
    static constexpr uint32_t kLimit = 30;
    static constexpr uint32_t kWindowMs = 60'000;

    EVENT_LOG() = default;
    ~EVENT_LOG();
    EVENT_LOG(const EVENT_LOG&) = delete;
    EVENT_LOG& operator=(const EVENT_LOG&) = delete;

    // Registers the event source and starts the throttle thread. Without a source, events are
    // only copied into the debug log. Returns whether the source was registered.
    bool Start(std::string_view sourceName = "WexoSvc");
    // Stops the throttle thread and deregisters the source; events are then only copied.
    void Stop();
    // The table the debug-log copies are formatted from; an empty table turns the copies off.
    void SetMessageTable(std::span<const EVENT_MESSAGE> table);

    // Reports one event with its inserted strings in order. Returns whether it reached the event
    // log (false when throttled, unregistered or failed).
    bool Report(uint16_t type, uint32_t eventId, std::span<const std::string> strings);
    bool Report(uint16_t type, uint32_t eventId, std::initializer_list<std::string_view> strings);

    // Events counted in the current window.
    uint32_t Count() const;

  private:
    void ThrottleThread();
    // `text` is the message of the event (null when the table has none).
    void Mirror(const char* text, std::span<const std::string> strings);

    mutable std::mutex lock_;  // the count
    uint32_t count_ = 0;
    // Source, table and thread: changed exclusively, read shared, so that reports of different
    // threads never wait for each other; only the count is theirs to share.
    std::shared_mutex setupLock_;
    os::EventSource source_;
    std::span<const EVENT_MESSAGE> table_;
    std::unique_ptr<os::Event> stop_;
    std::shared_ptr<os::Thread> thread_;
};

// The process's writer: started by the program at start, stopped at exit.
EVENT_LOG& ServiceEventLog();
// Reports through the process's writer.
bool ReportServiceEvent(uint16_t type, uint32_t eventId,
                        std::initializer_list<std::string_view> strings = {});
// The usual inserted strings of an error event: %1 the system's text of `error`, %2 the error in
// decimal, then the names (%3, %4, ...).
bool ReportServiceErrorEvent(uint32_t eventId, uint32_t error,
                             std::initializer_list<std::string_view> names = {});

}  // namespace wexo::svc
