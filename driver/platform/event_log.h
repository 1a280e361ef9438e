// The driver's entries in the system event log: an error-log packet with the message identifier, a
// four-character unique value naming the call site, a final status, optional dump data and
// insertion strings (%1 is the driver's name, the entry's strings are %2 onwards), written from a
// list of tagged items.
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
// In the table, written by no call site.
constexpr uint32_t DRIVER_EVENT_IO_TIMER_FAILED = 0xC0000005;
constexpr uint32_t DRIVER_EVENT_ATTACH_FAILED = 0xC0000006;
constexpr uint32_t DRIVER_EVENT_DEVICE_POINTER_FAILED = 0xC0000007;
constexpr uint32_t DRIVER_EVENT_NO_MDL = 0xC0000008;
constexpr uint32_t DRIVER_EVENT_CREATE_THREAD_FAILED = 0xC000000A;
constexpr uint32_t DRIVER_EVENT_CREATE_KEY_FAILED = 0xC000000C;
constexpr uint32_t DRIVER_EVENT_QUERY_VALUE_FAILED = 0xC000000D;
constexpr uint32_t DRIVER_EVENT_BUILD_REQUEST_FAILED = 0xC000000E;
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

// ---- Writing an event: the message identifier and a list of tagged items ----

enum class EVENT_TAG : uint32_t {
    MajorFunction = 0,    // byte
    RetryCount = 1,       // byte
    EventCategory = 2,    // 16-bit
    UniqueValue = 4,      // 32-bit
    FinalStatus = 5,      // 32-bit
    SequenceNumber = 6,   // 32-bit
    ControlCode = 7,      // 32-bit
    Request = 8,          // major function, status as final status, device-control code
    DumpData = 9,         // pointer and byte length
    String = 10,          // NUL-terminated wide string
    CountedString = 11,   // wide string: pointer and byte length
    SignedNumber = 12,    // insertion string: signed 32-bit decimal
    UnsignedNumber = 13,  // insertion string: unsigned 32-bit decimal
    HexNumber = 14,       // insertion string: unsigned 32-bit upper-case hexadecimal
    End = 15,
};

constexpr uint8_t IRP_MJ_DEVICE_CONTROL = 0x0E;

// What an entry takes from a request (tag 8).
struct EVENT_REQUEST {
    uint8_t majorFunction = 0;
    os::NTSTATUS status = 0;
    uint32_t ioControlCode = 0;  // used for IRP_MJ_DEVICE_CONTROL only
};

struct EVENT_ITEM {
    EVENT_TAG tag = EVENT_TAG::End;
    uint32_t number = 0;
    const void* pointer = nullptr;
    uint32_t length = 0;
};

constexpr EVENT_ITEM EventMajorFunction(uint8_t code) {
    return {EVENT_TAG::MajorFunction, code};
}
constexpr EVENT_ITEM EventRetryCount(uint8_t count) {
    return {EVENT_TAG::RetryCount, count};
}
constexpr EVENT_ITEM EventCategory(uint16_t category) {
    return {EVENT_TAG::EventCategory, category};
}
constexpr EVENT_ITEM EventUniqueValue(uint32_t value) {
    return {EVENT_TAG::UniqueValue, value};
}
constexpr EVENT_ITEM EventFinalStatus(os::NTSTATUS status) {
    return {EVENT_TAG::FinalStatus, static_cast<uint32_t>(status)};
}
constexpr EVENT_ITEM EventSequenceNumber(uint32_t number) {
    return {EVENT_TAG::SequenceNumber, number};
}
constexpr EVENT_ITEM EventControlCode(uint32_t code) {
    return {EVENT_TAG::ControlCode, code};
}
constexpr EVENT_ITEM EventRequest(const EVENT_REQUEST& request) {
    return {EVENT_TAG::Request, 0, &request};
}
constexpr EVENT_ITEM EventDumpData(const void* data, uint32_t length) {
    return {EVENT_TAG::DumpData, 0, data, length};
}
constexpr EVENT_ITEM EventString(const char16_t* text) {
    return {EVENT_TAG::String, 0, text};
}
constexpr EVENT_ITEM EventCountedString(const char16_t* text, uint32_t byteLength) {
    return {EVENT_TAG::CountedString, 0, text, byteLength};
}
constexpr EVENT_ITEM EventSignedNumber(int32_t value) {
    return {EVENT_TAG::SignedNumber, static_cast<uint32_t>(value)};
}
constexpr EVENT_ITEM EventUnsignedNumber(uint32_t value) {
    return {EVENT_TAG::UnsignedNumber, value};
}
constexpr EVENT_ITEM EventHexNumber(uint32_t value) {
    return {EVENT_TAG::HexNumber, value};
}
constexpr EVENT_ITEM EventEnd() {
    return {EVENT_TAG::End};
}

// Builds and queues one entry for the driver. Items are taken in order up to an End item (or the
// end of the list); a later item of the same field wins. Strings are kept up to the first one
// that would take them past 200 bytes (as NUL-terminated UTF-16); dump data is rounded up to a
// multiple of 4 and cut, when it does not fit, to what is left of the 200 bytes rounded down to a
// multiple of 4. The packet is the 40-byte header, the dump data and the strings, at least 48
// bytes. Best effort: when the packet cannot be allocated nothing is written.
void WriteEvent(uint32_t messageId, std::span<const EVENT_ITEM> items);
inline void WriteEvent(uint32_t messageId, std::initializer_list<EVENT_ITEM> items) {
    WriteEvent(messageId, std::span<const EVENT_ITEM>(items.begin(), items.size()));
}

// The entry most call sites write: a unique value, a final status and UTF-8 strings (as counted
// wide strings).
void WriteDriverEvent(uint32_t messageId, uint32_t uniqueValue, os::NTSTATUS finalStatus,
                      std::initializer_list<std::string_view> strings);

// The message table text of an identifier with the insertion strings put in (%1 the driver's
// name, %2 onwards the entry's strings); empty for an identifier the table does not have.
std::string FormatDriverEventMessage(uint32_t messageId, std::span<const std::string> strings);

// The packet (IO_ERROR_LOG_PACKET) kept as the record's binary data: its header, the dump data
// from offset 40 and the strings from the string offset.
constexpr size_t kPacketMajorFunctionOffset = 0;
constexpr size_t kPacketRetryCountOffset = 1;
constexpr size_t kPacketDumpDataSizeOffset = 2;
constexpr size_t kPacketNumberOfStringsOffset = 4;
constexpr size_t kPacketStringOffsetOffset = 6;
constexpr size_t kPacketEventCategoryOffset = 8;
constexpr size_t kPacketErrorCodeOffset = 12;
constexpr size_t kPacketUniqueValueOffset = 16;
constexpr size_t kPacketFinalStatusOffset = 20;
constexpr size_t kPacketSequenceNumberOffset = 24;
constexpr size_t kPacketControlCodeOffset = 28;
constexpr size_t kPacketHeaderSize = 40;
constexpr size_t kPacketMinimumSize = 48;
// What the strings and the dump data may take together.
constexpr size_t kPacketMaximumDataSize = 200;

}  // namespace wexo::drv
