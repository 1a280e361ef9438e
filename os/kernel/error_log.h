// A driver's error-log entries (IoWriteErrorLogEntry): the packet the driver filled and its
// inserted strings become one record of the system event log (os/core/event_log.h), under the
// driver's name as source, with the driver's name as the first inserted string as the event viewer
// shows it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace os {

// The record's type follows the message identifier's severity bits. Returns whether the log took
// it (the event log's failure switch can refuse it, as a full log would).
bool IoWriteErrorLogEntry(std::string_view driverName, uint32_t messageId,
                          std::span<const std::string> strings, std::span<const uint8_t> packet);

}  // namespace os
