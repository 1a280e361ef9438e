// The policy reply and DNS remap list readers: parse, find the root, read the fields, list the
// children, and one read by a path taken from the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/support/debug_log.h"
#include "service/support/xml_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace wexo::svc;
    static const bool kHooked = [] {
        DebugSetMode(DEBUG_OUTPUT_XML);
        DebugSetOutputHook([](uint32_t, std::string_view) {});
        return true;
    }();
    (void)kHooked;

    std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first line, when short, is also used as a path.
    std::string_view path;
    size_t newline = input.find('\n');
    if (newline != std::string_view::npos && newline <= 32) {
        path = input.substr(0, newline);
    }

    XML_PARSER policy;
    if (policy.Parse(input) && policy.FindRoot("Ostrel")) {
        uint8_t flag = 0;
        int32_t number = 0;
        std::string text;
        policy.GetBoolean("BlockOnFailure", flag);
        policy.GetBoolean("UnencryptedSearch", flag);
        policy.GetBoolean("DisableFiltering", flag);
        policy.GetInteger("CacheTimeout", number);
        policy.GetString("RedirectURL", text);
        if (!path.empty()) {
            policy.GetString(path, text);
            policy.GetInteger(path, number);
        }
    }

    XML_PARSER remap;
    if (remap.Parse(input)) {
        if (!path.empty()) {
            std::string_view text;
            remap.GetText(path, text);
        }
        if (remap.FindRoot("DNSRemap")) {
            for (size_t i = 0, count = remap.ChildCount(); i <= count; ++i) {
                remap.ChildName(i);
                remap.ChildText(i);
            }
        }
    }
    return 0;
}
