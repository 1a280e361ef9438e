// Event sources of a program and its reports of numbered events with inserted strings
// (RegisterEventSource, ReportEvent). The program formats its messages itself; the records go to
// the system event log of os/core/event_log.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "os/core/event_log.h"

namespace os {

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
// (ERROR_INVALID_HANDLE), the type is not an event type (ERROR_INVALID_PARAMETER), or the failure
// switch is on (its error); nothing is recorded then.
bool ReportEvent(const EventSource& source, uint16_t type, uint16_t category, uint32_t eventId,
                 std::span<const std::string> strings);
bool ReportEvent(const EventSource& source, uint16_t type, uint16_t category, uint32_t eventId,
                 std::span<const std::string> strings, std::span<const uint8_t> data);

}  // namespace os
