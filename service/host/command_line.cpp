#include "service/host/command_line.h"

#include <cstdio>

#include "service/support/debug_log.h"
#include "service/support/event_log.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

enum class Value { None, Required, CheckIn, OptionalSeconds, DeviceId };

struct OPTION {
    const char* name;
    Value value;
    void (*apply)(COMMAND_LINE_OPTIONS& options, std::string_view value);
};

// The longest device ID the option takes: a GUID text with its braces is 38 characters and is
// refused, as it would not fit the buffers the ID travels in.
constexpr size_t kMaxDeviceIdLength = 37;

void SetTest(COMMAND_LINE_OPTIONS& o) {
    o.testMode = true;
}

const OPTION kOptions[] = {
    {"C", Value::None, [](COMMAND_LINE_OPTIONS&, std::string_view) {}},
    {"A", Value::None,
     [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.runAsApplication = true; }},
    {"X", Value::None, [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.runInForeground = true; }},
    {"IC", Value::None,
     [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.immediateCheckIn = true; }},
    {"PROD", Value::None, [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.deployment = 1; }},
    {"PRODUCTION", Value::None,
     [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.deployment = 1; }},
    {"STNG", Value::None, [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.deployment = 2; }},
    {"STAGING", Value::None, [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.deployment = 2; }},
    {"DEVL", Value::None, [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.deployment = 3; }},
    {"DEVELOP", Value::None, [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.deployment = 3; }},
    {"SHOW_PROCESSES", Value::None,
     [](COMMAND_LINE_OPTIONS& o, std::string_view) {
         o.showProcesses = true;
         SetTest(o);
     }},
    {"DEVICE", Value::None,
     [](COMMAND_LINE_OPTIONS& o, std::string_view) {
         o.device = true;
         SetTest(o);
     }},
    {"CHECK_IN", Value::CheckIn,
     [](COMMAND_LINE_OPTIONS& o, std::string_view mac) {
         o.checkIn = true;
         o.checkInMacAddress = std::string(mac);
         SetTest(o);
     }},
    {"POLICY_SERVER", Value::OptionalSeconds,
     [](COMMAND_LINE_OPTIONS& o, std::string_view) {
         o.policyServerTest = true;
         SetTest(o);
     }},
    {"PING_SERVER", Value::Required,
     [](COMMAND_LINE_OPTIONS& o, std::string_view v) {
         o.pingServer = std::string(v);
         SetTest(o);
     }},
    {"QUERY_URL", Value::Required,
     [](COMMAND_LINE_OPTIONS& o, std::string_view v) {
         o.queryUrl = std::string(v);
         SetTest(o);
     }},
    {"UDID", Value::DeviceId,
     [](COMMAND_LINE_OPTIONS& o, std::string_view v) { o.uniqueDeviceId = std::string(v); }},
    {"LOGON_ACCOUNT", Value::Required,
     [](COMMAND_LINE_OPTIONS& o, std::string_view v) { o.logonAccount = std::string(v); }},
    {"QUERY_DNS_REMAPPING", Value::None,
     [](COMMAND_LINE_OPTIONS& o, std::string_view) {
         o.dnsRemappingQuery = true;
         SetTest(o);
     }},
    {"UPDATE", Value::Required,
     [](COMMAND_LINE_OPTIONS& o, std::string_view v) {
         o.updatePackageUrl = std::string(v);
         SetTest(o);
     }},
    {"UPDATE_URL", Value::Required,
     [](COMMAND_LINE_OPTIONS& o, std::string_view v) { o.updateUrlOverride = std::string(v); }},
    {"VERSION", Value::None, [](COMMAND_LINE_OPTIONS& o, std::string_view) { o.version = true; }},
};

const OPTION* FindOption(std::string_view name) {
    for (const OPTION& option : kOptions) {
        if (EqualsNoCase(name, option.name)) {
            return &option;
        }
    }
    return nullptr;
}

// A whole decimal number of seconds that fits 32 bits.
bool ParseSeconds(std::string_view text, uint32_t* seconds) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) {
        return false;
    }
    *seconds = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

bool ParseCommandLine(std::span<const std::string> arguments, COMMAND_LINE_OPTIONS* options,
                      std::string* invalidArgument) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto invalid = [&](const std::string& which) {
            *invalidArgument = which;
            return false;
        };
        if (argument.size() < 2 || (argument[0] != '-' && argument[0] != '/')) {
            return invalid(argument);
        }
        const std::string_view name = std::string_view(argument).substr(1);
        if (uint32_t flags = DebugModeOption(name); flags != 0) {
            options->debugOutputFlags |= flags;
            continue;
        }
        const OPTION* option = FindOption(name);
        if (option == nullptr) {
            return invalid(argument);
        }
        const bool hasNext = i + 1 < arguments.size();
        switch (option->value) {
            case Value::None:
                option->apply(*options, {});
                break;
            case Value::Required:
                if (!hasNext) {
                    return invalid(argument);
                }
                option->apply(*options, arguments[++i]);
                break;
            case Value::CheckIn:
                // Whatever follows is the MAC address; as the last argument the option ends the
                // parse with the detected address.
                option->apply(*options, hasNext ? std::string_view(arguments[++i]) : "");
                break;
            case Value::OptionalSeconds:
                if (hasNext) {
                    ++i;
                    if (!ParseSeconds(arguments[i], &options->policyServerTestSeconds)) {
                        return invalid(arguments[i]);
                    }
                }
                option->apply(*options, {});
                break;
            case Value::DeviceId:
                if (!hasNext || arguments[i + 1].size() > kMaxDeviceIdLength) {
                    return invalid(argument);
                }
                option->apply(*options, arguments[++i]);
                break;
        }
    }
    return true;
}

std::string LogonAccountDomain(std::string_view account) {
    size_t at = account.rfind('@');
    return at == std::string_view::npos ? std::string() : std::string(account.substr(at + 1));
}

std::string InvalidArgumentText(std::string_view argument) {
    const char* caption = LoadResourceString(IDS_WARNING_CAPTION);
    const char* format = LoadResourceString(IDS_INVALID_ARGUMENT);
    std::string text = FormatText(format != nullptr ? format : "%s", std::string(argument).c_str());
    return std::string(caption != nullptr ? caption : "") + ": " + text;
}

void ShowInvalidArgument(std::string_view argument) {
    const std::string text = InvalidArgumentText(argument);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace wexo::svc
