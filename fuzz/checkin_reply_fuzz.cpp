// The check-in reply as CheckIn reads it: the JSON parse, every member with its type and value
// rules, the tree printer, and the properties the host relies on: a next check-in that is
// received is a real calendar time, server names carry no blank and no NUL, the mode is -1, 0 or 1.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "os/core/clock.h"
#include "service/checkin/check_in.h"
#include "service/support/debug_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace wexo::svc;
    // A hook counts as an output, so every line, the printed tree included, is formatted.
    static const bool kHooked = [] {
        DebugSetMode(DEBUG_OUTPUT_VERBOSE | DEBUG_OUTPUT_JSON);
        DebugSetOutputHook([](uint32_t, std::string_view) {});
        return true;
    }();
    (void)kHooked;

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CHECK_IN_REPLY reply;
    if (!ParseCheckInReply(text, &reply)) {
        return 0;
    }
    if (reply.serverMode < SERVER_MODE_NONE || reply.serverMode > SERVER_MODE_TIERED) {
        std::abort();
    }
    for (const std::string& server : reply.servers) {
        if (server.find(' ') != std::string::npos || server.find('\0') != std::string::npos) {
            std::abort();
        }
    }
    if ((reply.received & CHECK_IN_RECEIVED_NEXT_CHECK_IN) != 0) {
        // The time the host sets its timer from comes back unchanged.
        const os::CALENDAR_TIME back = os::SystemTimeToUtc(os::UtcToSystemTime(reply.nextCheckIn));
        if (back.year != reply.nextCheckIn.year || back.month != reply.nextCheckIn.month ||
            back.day != reply.nextCheckIn.day || back.hour != reply.nextCheckIn.hour ||
            back.minute != reply.nextCheckIn.minute || back.second != reply.nextCheckIn.second) {
            std::abort();
        }
    }
    if (reply.customerId.find('\0') != std::string::npos ||
        reply.updateUrl.find('\0') != std::string::npos) {
        std::abort();
    }
    // The time scan on its own, on the raw bytes.
    os::CALENDAR_TIME time{};
    ParseNextCheckIn(text, &time);
    return 0;
}
