#include "os/win32/event_source.h"

#include "os/core/status.h"

namespace os {

EventSource::EventSource(EventSource&& other) noexcept : name_(std::move(other.name_)) {
    other.name_.clear();
}

EventSource& EventSource::operator=(EventSource&& other) noexcept {
    if (this != &other) {
        name_ = std::move(other.name_);
        other.name_.clear();
    }
    return *this;
}

EventSource RegisterEventSource(std::string_view sourceName) {
    EventSource source;
    if (sourceName.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return source;
    }
    uint32_t failure = EventLogRegisterFailure();
    if (failure != ERROR_SUCCESS) {
        SetLastError(failure);
        return source;
    }
    source.name_ = std::string(sourceName);
    return source;
}

bool DeregisterEventSource(EventSource& source) {
    if (!source.IsValid()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    source.name_.clear();
    return true;
}

bool ReportEvent(const EventSource& source, uint16_t type, uint16_t category, uint32_t eventId,
                 std::span<const std::string> strings) {
    return ReportEvent(source, type, category, eventId, strings, {});
}

bool ReportEvent(const EventSource& source, uint16_t type, uint16_t category, uint32_t eventId,
                 std::span<const std::string> strings, std::span<const uint8_t> data) {
    if (!source.IsValid()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    EVENT_LOG_RECORD record;
    record.source = source.Name();
    record.type = type;
    record.category = category;
    record.eventId = eventId;
    record.strings.assign(strings.begin(), strings.end());
    record.data.assign(data.begin(), data.end());
    uint32_t error = WriteEventLogRecord(std::move(record));
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return false;
    }
    return true;
}

}  // namespace os
