// The system event log: event sources, and reports of numbered events with inserted strings. The
// program formats its messages itself; the log keeps what Windows keeps in a record (source, type,
// category, identifier, inserted strings). Every report goes to syslog (ident = the source name,
// priority from the type) and to an in-memory sink that tests read and clear. A test switch makes
// registration or reporting fail, so that callers' failure paths can be exercised.
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

// A registered event source (the HANDLE of RegisterEventSource). Move-only; destroying it
// deregisters it.
class EventSource {
  public:
    EventSource() = default;
    EventSource(EventSource&& other) noexcept;
    EventSource& operator=(EventSource&& other) noexcept;
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    ~EventSource() = default;

    bool IsValid() const { return !name_.empty(); }
    const std::string& Name() const { return name_; }

  private:
    friend EventSource RegisterEventSource(std::string_view sourceName);
    friend bool DeregisterEventSource(EventSource& source);
    std::string name_;
};

// Returns an invalid source and sets the last error on failure (an empty name gives
// ERROR_INVALID_PARAMETER; the failure switch gives its error).
EventSource RegisterEventSource(std::string_view sourceName);
// Deregisters; false with ERROR_INVALID_HANDLE for an invalid source.
bool DeregisterEventSource(EventSource& source);
// Reports one event. False with the last error set when the source is invalid
// (ERROR_INVALID_HANDLE), the type is not one of the types above (ERROR_INVALID_PARAMETER), or the
// failure switch is on (its error); nothing is recorded then.
bool ReportEvent(const EventSource& source, uint16_t type, uint16_t category, uint32_t eventId,
                 std::span<const std::string> strings);
bool ReportEvent(const EventSource& source, uint16_t type, uint16_t category, uint32_t eventId,
                 std::span<const std::string> strings, std::span<const uint8_t> data);

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
