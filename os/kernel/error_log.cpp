#include "os/kernel/error_log.h"

#include "os/core/event_log.h"
#include "os/core/status.h"

namespace os {

bool IoWriteErrorLogEntry(std::string_view driverName, uint32_t messageId,
                          std::span<const std::string> strings, std::span<const uint8_t> packet) {
    EVENT_LOG_RECORD record;
    record.source = std::string(driverName);
    record.type = EventTypeOf(messageId);
    record.eventId = messageId;
    record.strings.emplace_back(driverName);
    record.strings.insert(record.strings.end(), strings.begin(), strings.end());
    record.data.assign(packet.begin(), packet.end());
    return WriteEventLogRecord(std::move(record)) == ERROR_SUCCESS;
}

}  // namespace os
