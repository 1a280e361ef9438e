// The system event log that a program's event reports (os/win32/event_source.h) and a driver's
// error-log entries (os/kernel/error_log.h) are written to. It keeps what Windows keeps in a record
// (source, type, category, identifier, inserted strings, binary data); every record goes to syslog
// (ident = the source name, priority from the type) and to an in-memory sink that tests read and
// clear. A test switch makes registration or reporting fail, so that callers' failure paths can be
// exercised.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace os {

// Event types (ReportEvent wType).
constexpr uint16_t EVENTLOG_SUCCESS = 0x0000;
constexpr uint16_t EVENTLOG_ERROR_TYPE = 0x0001;
constexpr uint16_t EVENTLOG_WARNING_TYPE = 0x0002;
constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr uint16_t EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr uint16_t EVENTLOG_AUDIT_FAILURE = 0x0010;

// The event type a message identifier's severity bits name (error, warning, else information).
uint16_t EventTypeOf(uint32_t eventId);

struct EVENT_LOG_RECORD {
    std::string source;
    uint16_t type = 0;
    uint16_t category = 0;
    uint32_t eventId = 0;
    std::vector<std::string> strings;
    std::vector<uint8_t> data;  // the record's binary data (a driver's error-log packet header)
    uint64_t timeWritten = 0;   // system time
    uint32_t processId = 0;
};

// Whether a type is one of the types above.
bool IsEventType(uint16_t type);

// Adds a record (its time and process are set here) and copies it to syslog. Returns
// ERROR_SUCCESS, ERROR_INVALID_PARAMETER for a type not listed above, or the report failure of
// the switch below; nothing is recorded unless it succeeded.
uint32_t WriteEventLogRecord(EVENT_LOG_RECORD record);

// The line written to syslog for a record: the identifier, the type, the category and the inserted
// strings quoted, control characters escaped so that each event is one line.
std::string FormatEventLogLine(const EVENT_LOG_RECORD& record);

// The in-memory sink: every event reported since the last clear (the most recent 4096).
std::vector<EVENT_LOG_RECORD> EventLogRecords();
void ClearEventLogRecords();
// Turns the syslog copy off or on (on by default); returns the previous setting.
bool SetEventLogSyslogOutput(bool enabled);

enum class EventLogFailure {
    Report,    // ReportEvent fails
    Register,  // RegisterEventSource fails
    Both,
};

// The error a registration fails with while the switch is on (ERROR_SUCCESS when off).
uint32_t EventLogRegisterFailure();

// While it lives, the chosen calls fail with `error`.
class ScopedEventLogFailure {
  public:
    explicit ScopedEventLogFailure(uint32_t error, EventLogFailure which = EventLogFailure::Report);
    ~ScopedEventLogFailure();
    ScopedEventLogFailure(const ScopedEventLogFailure&) = delete;
    ScopedEventLogFailure& operator=(const ScopedEventLogFailure&) = delete;

  private:
    uint32_t previousReport_;
    uint32_t previousRegister_;
};

}  // namespace os
