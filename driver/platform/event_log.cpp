#include "driver/platform/event_log.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "os/kernel/error_log.h"

namespace wexo::drv {
namespace {

constexpr size_t kMaxStringBytes = 200;

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
void Put(std::vector<uint8_t>& bytes, size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
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

void WriteDriverEvent(uint32_t messageId, uint32_t uniqueValue, os::NTSTATUS finalStatus,
                      std::initializer_list<std::string_view> strings) {
    std::vector<std::string> inserted;
    size_t used = 0;
    for (std::string_view text : strings) {
        size_t bytes = (text.size() + 1) * sizeof(char16_t);
        if (used + bytes > kMaxStringBytes) {
            break;
        }
        used += bytes;
        inserted.emplace_back(text);
    }
    std::vector<uint8_t> packet(kPacketHeaderSize, 0);
    Put<uint16_t>(packet, 4, static_cast<uint16_t>(inserted.size()));
    Put<uint32_t>(packet, 12, messageId);
    Put<uint32_t>(packet, kPacketUniqueValueOffset, uniqueValue);
    Put<int32_t>(packet, kPacketFinalStatusOffset, finalStatus);
    os::IoWriteErrorLogEntry("WexoWfp", messageId, inserted, packet);
}

}  // namespace wexo::drv
