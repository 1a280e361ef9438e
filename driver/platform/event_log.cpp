#include "driver/platform/event_log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "os/event_log.h"

namespace wexo::drv {
namespace {

constexpr size_t kMaxStringBytes = 200;

uint16_t EventType(uint32_t messageId) {
    switch (messageId >> 30) {
        case 3:
            return os::EVENTLOG_ERROR_TYPE;
        case 2:
            return os::EVENTLOG_WARNING_TYPE;
        default:
            return os::EVENTLOG_INFORMATION_TYPE;
    }
}

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

}  // namespace

std::string StatusText(os::NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<uint32_t>(status));
    return text;
}

void WriteDriverEvent(uint32_t messageId, uint32_t uniqueValue, os::NTSTATUS finalStatus,
                      std::initializer_list<std::string_view> strings) {
    static std::mutex lock;
    static os::EventSource source;
    std::lock_guard guard(lock);
    if (!source.IsValid()) {
        source = os::RegisterEventSource("WexoWfp");
        if (!source.IsValid()) {
            return;
        }
    }
    std::vector<std::string> inserted{"WexoWfp"};
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
    Put<uint16_t>(packet, 4, static_cast<uint16_t>(inserted.size() - 1));
    Put<uint32_t>(packet, 12, messageId);
    Put<uint32_t>(packet, kPacketUniqueValueOffset, uniqueValue);
    Put<int32_t>(packet, kPacketFinalStatusOffset, finalStatus);
    os::ReportEvent(source, EventType(messageId), 0, messageId, inserted, packet);
}

}  // namespace wexo::drv
