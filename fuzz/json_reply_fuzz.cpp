// The check-in reply reader: parse, the member look-ups the check-in makes, and the tree printer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "service/support/debug_log.h"
#include "service/support/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace wexo::svc;
    // A hook counts as an output, so the printer formats every line.
    static const bool kHooked = [] {
        DebugSetOutputHook([](uint32_t, std::string_view) {});
        return true;
    }();
    (void)kHooked;

    std::string error;
    JSON_TREE tree = ParseJson(std::string_view(reinterpret_cast<const char*>(data), size), error);
    if (!tree) {
        return 0;
    }
    PrintJson(*tree);
    const json_value* root = AsObject(tree.get());
    if (root == nullptr) {
        return 0;
    }
    std::string_view next;
    if (FindStringPointer(root, "NextCheckIn", next)) {
        unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
        std::string copy(next);
        std::sscanf(copy.c_str(), "%04u-%02u-%02u %02u:%02u:%02u UTC", &year, &month, &day, &hour,
                    &minute, &second);
    }
    std::string text;
    FindString(root, "CustomerID", text);
    FindString(root, "UpdateURL", text);
    uint8_t dormant = 0;
    FindBoolean(root, "Dormant", dormant);
    int64_t mode = 0;
    FindInteger(root, "ServerMode", mode);
    std::span<const json_value* const> servers;
    if (FindArray(root, "Servers", servers)) {
        for (const json_value* server : servers) {
            if (auto name = AsString(server)) {
                text.assign(*name);
            }
        }
    }
    return 0;
}
