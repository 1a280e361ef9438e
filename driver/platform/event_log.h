// The driver's entries in the system event log: an error-log packet with the message identifier, a
// four-character unique value naming the call site, a final status and insertion strings (%1 is the
// driver's name, the entry's strings are %2 onwards).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "os/core/status.h"

namespace wexo::drv {

// Message identifiers of the driver's message table.
constexpr uint32_t DRIVER_EVENT_STARTED = 0x40000001;
constexpr uint32_t DRIVER_EVENT_OPEN_FILE_FAILED = 0x80000012;
constexpr uint32_t DRIVER_EVENT_NO_POOL = 0xC0000002;
constexpr uint32_t DRIVER_EVENT_CREATE_DEVICE_FAILED = 0xC0000003;
constexpr uint32_t DRIVER_EVENT_CREATE_LINK_FAILED = 0xC0000004;
constexpr uint32_t DRIVER_EVENT_CREATE_THREAD_FAILED = 0xC000000A;
constexpr uint32_t DRIVER_EVENT_QUERY_VALUE_FAILED = 0xC000000D;
constexpr uint32_t DRIVER_EVENT_REGISTER_FILTER_FAILED = 0xC0000013;
constexpr uint32_t DRIVER_EVENT_START_FILTER_FAILED = 0xC0000014;

// "SCT " as the packet stores it: first character in the lowest byte.
constexpr uint32_t UniqueValue(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

// Statuses are written as upper-case hexadecimal without leading zeros ("0" for zero).
std::string StatusText(os::NTSTATUS status);

// Builds and queues one entry; strings past 200 bytes (as NUL-terminated UTF-16) are left out
// from the first one that does not fit. Best effort: a failure writes nothing.
void WriteDriverEvent(uint32_t messageId, uint32_t uniqueValue, os::NTSTATUS finalStatus,
                      std::initializer_list<std::string_view> strings);

// The message table text of an identifier with the insertion strings put in (%1 the driver's
// name, %2 onwards the entry's strings); empty for an identifier the table does not have.
std::string FormatDriverEventMessage(uint32_t messageId, std::span<const std::string> strings);

// The packet header kept as the record's binary data: where a reader finds the unique value and
// the final status.
constexpr size_t kPacketUniqueValueOffset = 16;
constexpr size_t kPacketFinalStatusOffset = 20;
constexpr size_t kPacketHeaderSize = 40;

}  // namespace wexo::drv
