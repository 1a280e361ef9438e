#include "driver/platform/event_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "driver/platform/debug_print.h"
#include "os/kernel/error_log.h"
#include "os/kernel/pool.h"

namespace wexo::drv {
namespace {

// The source the entries appear under: the driver object's name.
constexpr char kDriverSourceName[] = "WexoWfp";
constexpr uint32_t kErrorLogPacketTag = os::MakePoolTag("ELOG");

struct MESSAGE {
    uint32_t id;
    const char* text;
};

// The driver's message table (language 1033).
constexpr MESSAGE kMessages[] = {
    {0x40000001, "Corvane Ostrel driver version %2 build %3 started.\r\n"},
    {0x80000012, "Unable to open file %2. Status=0x%3.\r\n"},
    {0xC0000002, "Unable to allocate %2 bytes of non-paged pool.\r\n"},
    {0xC0000003, "Unable to create a device. Status=0x%2.\r\n"},
    {0xC0000004, "Unable to create a symbolic link to a device. Status=0x%2.\r\n"},
    {0xC0000005, "Unable to initialize I/O timer. Status=0x%2.\r\n"},
    {0xC0000006, "Unable to attach to device. Status=0x%2.\r\n"},
    {0xC0000007, "Unable to get object pointer to device \"%3\". Status=0x%2.\r\n"},
    {0xC0000008, "I/O manager was unable to allocate a memory descriptor list (MDL).\r\n"},
    {0xC000000A, "Unable to create a system thread. Status=0x%2.\r\n"},
    {0xC000000C, "Unable to create registry key %2. Status=0x%3.\r\n"},
    {0xC000000D, "Unable to query %2 in registry key %3. Status=0x%4.\r\n"},
    {0xC000000E, "Unable to build a device I/O request.\r\n"},
    {0xC0000013, "Unable to register the file system filter. Status=0x%2.\r\n"},
    {0xC0000014, "Unable to start the file system filter. Status=0x%2.\r\n"},
};

template <typename T>
void Put(uint8_t* packet, size_t offset, T value) {
    std::memcpy(packet + offset, &value, sizeof value);
}

}  // namespace

std::string FormatDriverEventMessage(uint32_t messageId, std::span<const std::string> strings) {
    const char* text = nullptr;
    for (const MESSAGE& message : kMessages) {
        if (message.id == messageId) {
            text = message.text;
        }
    }
    if (text == nullptr) {
        return {};
    }
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '%' && p[1] >= '1' && p[1] <= '9') {
            size_t index = static_cast<size_t>(p[1] - '1');
            if (index < strings.size()) {
                out += strings[index];
            }
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string StatusText(os::NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<uint32_t>(status));
    return text;
}

void WriteEvent(uint32_t messageId, std::span<const EVENT_ITEM> items) {
    uint8_t majorFunction = 0;
    uint8_t retryCount = 0;
    uint16_t category = 0;
    uint32_t uniqueValue = 0;
    uint32_t finalStatus = 0;
    uint32_t sequenceNumber = 0;
    uint32_t controlCode = 0;
    const uint8_t* dump = nullptr;
    uint32_t dumpLength = 0;
    std::vector<std::u16string> strings;

    for (const EVENT_ITEM& item : items) {
        if (item.tag == EVENT_TAG::End) {
            break;
        }
        char number[16];
        switch (item.tag) {
            case EVENT_TAG::MajorFunction:
                majorFunction = static_cast<uint8_t>(item.number);
                break;
            case EVENT_TAG::RetryCount:
                retryCount = static_cast<uint8_t>(item.number);
                break;
            case EVENT_TAG::EventCategory:
                category = static_cast<uint16_t>(item.number);
                break;
            case EVENT_TAG::UniqueValue:
                uniqueValue = item.number;
                break;
            case EVENT_TAG::FinalStatus:
                finalStatus = item.number;
                break;
            case EVENT_TAG::SequenceNumber:
                sequenceNumber = item.number;
                break;
            case EVENT_TAG::ControlCode:
                controlCode = item.number;
                break;
            case EVENT_TAG::Request:
                if (item.pointer != nullptr) {
                    const auto* request = static_cast<const EVENT_REQUEST*>(item.pointer);
                    majorFunction = request->majorFunction;
                    finalStatus = static_cast<uint32_t>(request->status);
                    if (request->majorFunction == IRP_MJ_DEVICE_CONTROL) {
                        controlCode = request->ioControlCode;
                    }
                }
                break;
            case EVENT_TAG::DumpData:
                dump = static_cast<const uint8_t*>(item.pointer);
                dumpLength = dump != nullptr ? item.length : 0;
                break;
            case EVENT_TAG::String:
                // A missing string is left out rather than read through.
                if (item.pointer != nullptr) {
                    strings.emplace_back(static_cast<const char16_t*>(item.pointer));
                }
                break;
            case EVENT_TAG::CountedString:
                if (item.pointer != nullptr || item.length == 0) {
                    const auto* text = static_cast<const char16_t*>(item.pointer);
                    strings.emplace_back(text, text + item.length / sizeof(char16_t));
                }
                break;
            case EVENT_TAG::SignedNumber:
                std::snprintf(number, sizeof number, "%d", static_cast<int32_t>(item.number));
                strings.push_back(WidenText(number));
                break;
            case EVENT_TAG::UnsignedNumber:
                std::snprintf(number, sizeof number, "%u", item.number);
                strings.push_back(WidenText(number));
                break;
            case EVENT_TAG::HexNumber:
                std::snprintf(number, sizeof number, "%X", item.number);
                strings.push_back(WidenText(number));
                break;
            default:
                break;  // an item this table does not know carries nothing
        }
    }

    // Strings first, up to the first that does not fit; the dump data gets what is left.
    size_t stringBytes = 0;
    size_t kept = 0;
    for (const std::u16string& text : strings) {
        size_t bytes = (text.size() + 1) * sizeof(char16_t);
        if (stringBytes + bytes > kPacketMaximumDataSize) {
            break;
        }
        stringBytes += bytes;
        ++kept;
    }
    size_t dumpSize = (static_cast<size_t>(dumpLength) + 3) & ~size_t{3};
    if (dumpSize > kPacketMaximumDataSize - stringBytes) {
        dumpSize = (kPacketMaximumDataSize - stringBytes) & ~size_t{3};
    }
    const size_t dumpCopied = std::min<size_t>(dumpLength, dumpSize);
    const size_t stringOffset = kPacketHeaderSize + dumpSize;
    const size_t packetSize = std::max(kPacketMinimumSize, stringOffset + stringBytes);

    auto* packet = static_cast<uint8_t*>(
        os::ExAllocatePoolWithTag(os::PoolType::NonPaged, packetSize, kErrorLogPacketTag));
    if (packet == nullptr) {
        return;
    }
    std::memset(packet, 0, packetSize);
    Put<uint8_t>(packet, kPacketMajorFunctionOffset, majorFunction);
    Put<uint8_t>(packet, kPacketRetryCountOffset, retryCount);
    Put<uint16_t>(packet, kPacketDumpDataSizeOffset, static_cast<uint16_t>(dumpSize));
    Put<uint16_t>(packet, kPacketNumberOfStringsOffset, static_cast<uint16_t>(kept));
    Put<uint16_t>(packet, kPacketStringOffsetOffset, static_cast<uint16_t>(stringOffset));
    Put<uint16_t>(packet, kPacketEventCategoryOffset, category);
    Put<uint32_t>(packet, kPacketErrorCodeOffset, messageId);
    Put<uint32_t>(packet, kPacketUniqueValueOffset, uniqueValue);
    Put<uint32_t>(packet, kPacketFinalStatusOffset, finalStatus);
    Put<uint32_t>(packet, kPacketSequenceNumberOffset, sequenceNumber);
    Put<uint32_t>(packet, kPacketControlCodeOffset, controlCode);
    if (dumpCopied != 0) {
        std::memcpy(packet + kPacketHeaderSize, dump, dumpCopied);
    }
    std::vector<std::string> inserted;
    size_t at = stringOffset;
    for (size_t i = 0; i < kept; ++i) {
        const std::u16string& text = strings[i];
        std::memcpy(packet + at, text.data(), text.size() * sizeof(char16_t));
        at += (text.size() + 1) * sizeof(char16_t);  // the NUL is already zero
        inserted.push_back(NarrowText(text));
    }
    os::IoWriteErrorLogEntry(kDriverSourceName, messageId, inserted,
                             std::span<const uint8_t>(packet, packetSize));
    os::ExFreePoolWithTag(packet, kErrorLogPacketTag);
}

void WriteDriverEvent(uint32_t messageId, uint32_t uniqueValue, os::NTSTATUS finalStatus,
                      std::initializer_list<std::string_view> strings) {
    std::vector<std::u16string> wide;
    wide.reserve(strings.size());
    for (std::string_view text : strings) {
        wide.push_back(WidenText(text));
    }
    std::vector<EVENT_ITEM> items = {EventUniqueValue(uniqueValue), EventFinalStatus(finalStatus)};
    for (const std::u16string& text : wide) {
        items.push_back(
            EventCountedString(text.data(), static_cast<uint32_t>(text.size() * sizeof(char16_t))));
    }
    items.push_back(EventEnd());
    WriteEvent(messageId, items);
}

}  // namespace wexo::drv
