#include "os/core/event_log.h"

#include <syslog.h>

#include <cstdio>
#include <deque>
#include <mutex>

#include "os/core/clock.h"
#include "os/core/process.h"
#include "os/core/status.h"

namespace os {
namespace {

constexpr size_t kSinkCapacity = 4096;

struct EventLogState {
    std::mutex lock;
    std::deque<EVENT_LOG_RECORD> records;
    bool syslogOutput = true;
    uint32_t reportFailure = ERROR_SUCCESS;
    uint32_t registerFailure = ERROR_SUCCESS;
};

EventLogState& State() {
    static EventLogState state;
    return state;
}

const char* TypeName(uint16_t type) {
    switch (type) {
        case EVENTLOG_SUCCESS:
            return "success";
        case EVENTLOG_ERROR_TYPE:
            return "error";
        case EVENTLOG_WARNING_TYPE:
            return "warning";
        case EVENTLOG_INFORMATION_TYPE:
            return "information";
        case EVENTLOG_AUDIT_SUCCESS:
            return "audit success";
        case EVENTLOG_AUDIT_FAILURE:
            return "audit failure";
        default:
            return nullptr;
    }
}

int SyslogPriority(uint16_t type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return LOG_ERR;
        case EVENTLOG_WARNING_TYPE:
            return LOG_WARNING;
        case EVENTLOG_AUDIT_FAILURE:
            return LOG_NOTICE;
        default:
            return LOG_INFO;
    }
}

void AppendQuoted(std::string& line, const std::string& text) {
    line += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"') {
            line += "\\\"";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\t') {
            line += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
            line += escaped;
        } else {
            line += c;
        }
    }
    line += '"';
}

}  // namespace

std::string FormatEventLogLine(const EVENT_LOG_RECORD& record) {
    const char* type = TypeName(record.type);
    char head[96];
    std::snprintf(head, sizeof(head), "event 0x%08X %s category %u:", record.eventId,
                  type != nullptr ? type : "unknown", static_cast<unsigned>(record.category));
    std::string line = head;
    for (const std::string& text : record.strings) {
        line += ' ';
        AppendQuoted(line, text);
    }
    return line;
}

uint16_t EventTypeOf(uint32_t eventId) {
    switch (eventId >> 30) {
        case 3:
            return EVENTLOG_ERROR_TYPE;
        case 2:
            return EVENTLOG_WARNING_TYPE;
        default:
            return EVENTLOG_INFORMATION_TYPE;
    }
}

bool IsEventType(uint16_t type) {
    return TypeName(type) != nullptr;
}

uint32_t EventLogRegisterFailure() {
    EventLogState& state = State();
    std::lock_guard guard(state.lock);
    return state.registerFailure;
}

uint32_t WriteEventLogRecord(EVENT_LOG_RECORD record) {
    if (!IsEventType(record.type)) {
        return ERROR_INVALID_PARAMETER;
    }
    record.timeWritten = QuerySystemTime();
    record.processId = CurrentProcessId();

    EventLogState& state = State();
    std::lock_guard guard(state.lock);
    if (state.reportFailure != ERROR_SUCCESS) {
        return state.reportFailure;
    }
    if (state.syslogOutput) {
        // openlog keeps the ident pointer until closelog; both happen under the lock.
        const std::string line = FormatEventLogLine(record);
        ::openlog(record.source.c_str(), LOG_PID, LOG_DAEMON);
        ::syslog(SyslogPriority(record.type), "%s", line.c_str());
        ::closelog();
    }
    state.records.push_back(std::move(record));
    if (state.records.size() > kSinkCapacity)
        state.records.pop_front();
    return ERROR_SUCCESS;
}

std::vector<EVENT_LOG_RECORD> EventLogRecords() {
    EventLogState& state = State();
    std::lock_guard guard(state.lock);
    return {state.records.begin(), state.records.end()};
}

void ClearEventLogRecords() {
    EventLogState& state = State();
    std::lock_guard guard(state.lock);
    state.records.clear();
}

bool SetEventLogSyslogOutput(bool enabled) {
    EventLogState& state = State();
    std::lock_guard guard(state.lock);
    bool previous = state.syslogOutput;
    state.syslogOutput = enabled;
    return previous;
}

ScopedEventLogFailure::ScopedEventLogFailure(uint32_t error, EventLogFailure which) {
    EventLogState& state = State();
    std::lock_guard guard(state.lock);
    previousReport_ = state.reportFailure;
    previousRegister_ = state.registerFailure;
    if (which != EventLogFailure::Register)
        state.reportFailure = error;
    if (which != EventLogFailure::Report)
        state.registerFailure = error;
}

ScopedEventLogFailure::~ScopedEventLogFailure() {
    EventLogState& state = State();
    std::lock_guard guard(state.lock);
    state.reportFailure = previousReport_;
    state.registerFailure = previousRegister_;
}

}  // namespace os
